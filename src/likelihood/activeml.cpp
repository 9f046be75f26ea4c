#include "likelihood/activeml.h"

#include "data/data_services.h"
#include "likelihood/likelihood_settings.h"

namespace {

std::unique_ptr<ActiveML> gActiveML;

bool amlFlag(uint32_t mask) { return gActiveML && (gActiveML->flags & mask) != 0; }

}  // namespace

ActiveML *startActiveML()
{
    if (!gActiveML)
        gActiveML = std::make_unique<ActiveML>();
    return gActiveML.get();
}

void finishActiveML() { gActiveML.reset(); }

ActiveML *getActiveML() { return gActiveML.get(); }

void setAMLFlag(ActiveML *aml, uint32_t mask, bool on)
{
    if (on)
        aml->flags |= mask;
    else
        aml->flags &= ~mask;
}

bool isMultithreadingActive() { return amlFlag(kAMLMultithread); }
bool clockModelInEffect() { return amlFlag(kAMLClock); }
bool usingDistancesForML() { return amlFlag(kAMLUseDistances); }
bool doingMLdistances() { return amlFlag(kAMLDoingMLDist); }
bool usingFixedMLBranchLengths() { return amlFlag(kAMLFixedBrLens); }
bool rescalingCLs() { return amlFlag(kAMLRescale); }
bool loggingMLIters() { return amlFlag(kAMLLogIter); }
bool mlIsVectorized() { return amlFlag(kAMLVector); }
bool mlIsSinglePrecision() { return amlFlag(kAMLSinglePrecision); }
bool usingPartitionedModel() { return amlFlag(kAMLPartitioned); }
bool estimatingLocalClocks() { return amlFlag(kAMLLocalClocks); }
bool doingQuartetPuzzlingML() { return amlFlag(kAMLQuartetPuzzling); }

void invalidateMLprep()
{
    ml.prepValid[0] = ml.prepValid[1] = ml.prepValid[2] = 0;
    dataServices().forgetLastTreeOptimized();
}

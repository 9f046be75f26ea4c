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

namespace {

uint64_t gSetUpGeneration = 1;

}  // namespace

uint64_t mlSetUpStamp() { return ml.prepValid[0] ? gSetUpGeneration : 0; }
void noteNewMLSetUp() { ++gSetUpGeneration; }

void invalidateMLprep()
{
    ++gSetUpGeneration;
    ml.prepValid[0] = ml.prepValid[1] = ml.prepValid[2] = 0;
    dataServices().forgetLastTreeOptimized();
}

void setActiveTreeForML(Tree *tree)
{
    if (gActiveML)
        gActiveML->tree = tree;
}

Tree *getActiveTreeForML() { return gActiveML ? gActiveML->tree : nullptr; }

double getMinMLBranchLen() { return gActiveML ? gActiveML->minBrlen : 1e-8; }
double getMaxMLBranchLen() { return gActiveML ? gActiveML->maxBrlen : ml.maxBrlen; }

void setTargetThreshFactor(double percent)
{
    if (gActiveML)
        gActiveML->targetThreshFactor = 1.0 + 0.01 * percent;
}

void resetTargetThreshFactor()
{
    if (gActiveML) {
        setTargetThreshFactor(gActiveML->approxLim);
        gActiveML->swapRecheck = 0.0;
    }
}

namespace {

bool swapFlag(uint32_t mask, bool on)
{
    const bool was = amlFlag(mask);
    if (gActiveML)
        setAMLFlag(gActiveML.get(), mask, on);
    return was;
}

}  // namespace

bool setFixedMLBranchLengths(bool on) { return swapFlag(kAMLFixedBrLens, on); }
bool setMLVectorized(bool on) { return swapFlag(kAMLVector, on); }
bool usingApproxLimit() { return amlFlag(kAMLUseApproxLim); }
bool usingLSStartLengths() { return amlFlag(kAMLParsOrLSBrLens); }

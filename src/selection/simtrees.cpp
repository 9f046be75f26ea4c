#include "selection/simtrees.h"

#include <algorithm>

#include "cli/qel_cmdoptions.h"
#include "data/vorn_data.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_random.h"
#include "selection/sim_settings.h"
#include "selection/simblock.h"
#include "trees/treegen.h"

namespace {

int makeTrees(bool withSampling)
{
    const DataInfo *data = activeDataInfo();
    const uint32_t ntax = data ? static_cast<uint32_t>(std::max<int32_t>(data->nActive, 0)) : 0;
    if (ntax == 0)
        return qel_errorMsg(768, "Number of taxa for which trees are to be generated has not been defined (use TAXA "
                                 "block)."),
               1;
    gYuleTreeGen.ntrees = 0;
    if (withSampling) {
        simOpt.lambda = 1.0;
        simOpt.mu = 0.0;
        simOpt.rho = 1.0;
    }
    // Inside a simulation block an unknown keyword only warns, so that a
    // command file written for another version still simulates.
    const char *lenientNote = nullptr;
    if (inSimulationBlock())
        lenientNote = withSampling ? "in YangRannala command of simulation block" : "in YULE command of simulation block";
    if (getCmdParams(withSampling ? OptionSet::kYangRannala : OptionSet::kYule, ";", lenientNote) <= 0)
        return 1;
    if (withSampling && !(simOpt.lambda > 0.0 && simOpt.mu >= 0.0 && simOpt.rho > 0.0 && simOpt.rho <= 1.0))
        return qel_errorMsg(0, "The birth-death parameters must satisfy lambda > 0, mu >= 0 and 0 < rho <= 1."), 1;
    RNG rng;
    initRNG(&rng, seedForRun(gYuleTreeGen.seed));
    const int rc = makeBDTrees(static_cast<uint32_t>(std::max(gYuleTreeGen.ntrees, 0)), ntax, withSampling,
                               simOpt.lambda, simOpt.mu, simOpt.rho, &rng);
    if (rc == 2)
        setAbortedStatus(0);
    return rc;
}

}  // namespace

int makeYuleTrees() { return makeTrees(false); }
int makeYangRannalaTrees() { return makeTrees(true); }

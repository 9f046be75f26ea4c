#include "likelihood/surfcheck.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "cli/option_sets.h"
#include "cli/qel_cmdoptions.h"
#include "cli/shell_settings.h"
#include "data/prepdata.h"
#include "data/vorn_data.h"
#include "likelihood/activeml.h"
#include "likelihood/chgmatrix.h"
#include "likelihood/infocrit.h"
#include "likelihood/likelihood_settings.h"
#include "likelihood/lscores.h"
#include "likelihood/mlsettings_report.h"
#include "likelihood/modelgroup.h"
#include "likelihood/models.h"
#include "likelihood/ratevar.h"
#include "likelihood/treelike.h"
#include "qel/qel_brent.h"
#include "qel/qel_detmath.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_io.h"
#include "qel/qel_multithread.h"
#include "qel/qel_output.h"
#include "qel/qel_oututil.h"
#include "qel/qel_progress.h"
#include "qel/qel_random.h"
#include "search/describetrees.h"
#include "search/hsprep.h"
#include "search/pscores.h"
#include "search/scores.h"
#include "trees/roottree.h"
#include "trees/treebuf.h"
#include "trees/treeutil.h"

namespace {

// Random starting lengths are exponential with this mean.
constexpr double kMeanStartBrLen = 0.25;

SurfCheckSimulationFxn gSimulation = nullptr;
// The stream a simulation loop's SurfCheck runs continue from, and the
// seed it began with.
RNG gSimulationRng{};
RNGSeed gSimulationSeed{};

struct SurfCheckRun {
    DataInfo *d = nullptr;
    bool showParams = false;
    uint32_t treeNum = 0;  // 1-based
    RNGSeed seed{};
    bool brLens = false;
    std::vector<SurfCheckResult> results;  // replicate 0 first
    StreamInfo *file = nullptr;
    SurfCheckSimulation sim;
    bool continueStream = false;  // a later replicate of a simulation loop
};

// Every branch gets an exponential length, clamped to what the optimiser
// accepts.
void randomizeBranchLengths(Tree *tree, RNG *rng)
{
    checkTraversalSeq(tree);
    setMLVisitSequence(tree);
    const double lo = getMinMLBranchLen(), hi = getMaxMLBranchLen();
    for (TreeNode *n : mlVisitSequence()) {
        const double u = randUni(rng);
        n->edge.brlen = std::clamp(-kMeanStartBrLen * detLog(u), lo, hi);
    }
}

// Where the replicates start from is given back to the prepared state
// however the worker ends.
struct KeepStartMethod {
    ActiveML *aml;
    uint32_t saved;
    explicit KeepStartMethod(ActiveML *a) : aml(a), saved(a->initBrLenMethod) {}
    ~KeepStartMethod() { aml->initBrLenMethod = saved; }
};

// The estimates of the parameters marked for estimation, one a line below
// the replicate's row, for every active model.
void showEstimates()
{
    constexpr int kIndent = 52;
    const bool several = numActiveModels() > 1;
    for (const Model *m = firstActiveModel(); m != nullptr; m = nextActiveModel(m)) {
        const ModelEngineData *eng = modelEngine(m);
        const std::string prefix = several ? std::string(m->name) + ": " : std::string();
        auto line = [&](const char *label, double value) {
            qel_printf("%*s%s%s = %.5f\n", kIndent, "", prefix.c_str(), label, value);
        };
        if (m->type == kModelNucleotide && m->substClass == kSubstTwoRates && m->tratio == kEstimate)
            line("ti/tv", m->prevTratio);
        static constexpr const char *kRates[] = {"rAC", "rAG", "rAT", "rCG", "rCT", "rGT"};
        if (m->type == kModelNucleotide && m->substClass == kSubstSixRates && !m->rates.empty() &&
            m->rates[0] == kEstimate && eng != nullptr)
            for (size_t i = 0; i < kNumNucRates && i < eng->fullRates.size(); ++i)
                line(kRates[i], eng->fullRates[i]);
        if (!m->stateFreqs.empty() && m->stateFreqs[0] == kFreqCodeEstimate && eng != nullptr)
            for (size_t i = 0; i < eng->pi.size(); ++i) {
                const std::string label = std::string("freq ") + (m->symbols[i] ? m->symbols[i] : '?');
                line(label.c_str(), eng->pi[i]);
            }
        if (m->rateInfo != nullptr && m->gammaShape == kEstimate)
            line("shape", m->rateInfo->shape);
        if (m->rateInfo != nullptr && m->pinv == kEstimate)
            line("pinv", m->rateInfo->pinv);
    }
}

void showReplicate(SurfCheckRun &r, Tree *tree, uint32_t rep, int decimals)
{
    const SurfCheckResult &res = r.results.back();
    if (r.brLens) {
        qel_printf("\nBranch-lengths for replicate %u:\n\n", rep);
        // Listed as DescribeTrees lists them: rooted by the rooting
        // settings, the optimised lengths kept.
        if (!(tree->flags & kTreeRootedAtAnc) && rootTree(tree, r.d, r.treeNum, true, false, true) != 0)
            return;
        setTraversalSeq(tree);
        showLinks(tree, r.d, static_cast<int>(r.treeNum), false, 5, nullptr);
        qel_printf("\n-Ln likelihood for replicate %u = %.*f (%d passes)\n", rep, decimals, res.score,
                   static_cast<int>(res.passes));
        if (r.showParams)
            showEstimates();
        return;
    }
    qel_printf("%10u%16.*f", rep, decimals, res.score);
    // Under a clock, or when the parameters are estimated with the lengths,
    // the driver keeps no count of branch-length passes.
    if (clockModelInEffect() || anyModelParamsEstimated())
        qel_printf("%10c\n", '-');
    else
        qel_printf("%10d\n", static_cast<int>(res.passes));
    if (r.showParams)
        showEstimates();
}

void writeOptima(const SurfCheckRun &r, double toler)
{
    std::vector<double> scores;
    for (size_t i = 1; i < r.results.size(); ++i)
        scores.push_back(r.results[i].score);
    const std::string seed = seedString(r.seed);
    for (const SurfCheckOptimum &o : groupSurfCheckOptima(std::move(scores), toler)) {
        if (r.sim.running) {
            std::fprintf(r.file->fp, "%d", r.sim.replicate);
            for (double length : r.sim.nodeLengths)
                std::fprintf(r.file->fp, "\t%g", length);
            std::fputc('\t', r.file->fp);
        }
        std::fprintf(r.file->fp, "%u\t%s\t%.8f\t%u\n", r.treeNum, seed.c_str(), o.score, o.count);
    }
}

int surfCheckThreadProc(void *arg)
{
    SurfCheckRun &r = *static_cast<SurfCheckRun *>(arg);
    qel_printf("\nChecking likelihood surface for tree %u\n\n", r.treeNum);
    showMLSettings(false, nullptr);
    setStatusText("Checking likelihood surface for tree #%u...", r.treeNum);
    if (!r.brLens) {
        qel_printf("\n%10s%16s%10s%s\n", "Replicate", "-ln L", "  Passes", r.showParams ? "    Parameter estimates" : "");
        tableLine(kUnderlineLastLine, 0);
    }
    RNG rng = gSimulationRng;
    if (!r.continueStream)
        initRNG(&rng, r.seed);
    TreeHandle tree(createSearchTree(r.d));
    if (!tree)
        return 1;
    ActiveML *aml = getActiveML();
    KeepStartMethod keep(aml);
    const uint32_t nreps = static_cast<uint32_t>(std::max(surfChk.nreps, 0));
    int decimals = 5;
    for (uint32_t rep = 0; rep <= nreps; ++rep) {
        if (getTree(getActiveTreeBuffer(), r.treeNum, tree.get()) != 0)
            return 1;
        if (rep > 0) {
            aml->initBrLenMethod = static_cast<uint32_t>(kInitBrLenKeepCurrent);
            randomizeBranchLengths(tree.get(), &rng);
        }
        const double score = calcTreeLikelihood(tree.get(), kNoLScore);
        if (score >= kNoLScore)
            return getAbortedStatus() != 0 ? 2 : 1;
        if (rep == 0)
            decimals = setDecimalsForML(12, score);
        r.results.push_back({score, lastBranchLenPasses()});
        showReplicate(r, tree.get(), rep, decimals);
        if (getAbortedStatus() != 0) {
            AbortPoll poll;
            if (poll.stop())
                return 2;
        }
    }
    double best = r.results[0].score, worst = best;
    for (const SurfCheckResult &res : r.results) {
        best = std::min(best, res.score);
        worst = std::max(worst, res.score);
    }
    if (r.sim.running) {
        gSimulationRng = rng;
        gSimulationSeed = r.seed;
    }
    qel_printf("\n  Best=%.*f worst=%.*f (range = %.*f): improvement = %.*f\n", decimals, best, decimals, worst,
               decimals, worst - best, decimals, r.results[0].score - best);
    if (r.file)
        writeOptima(r, surfChk.toler);
    return 0;
}

// 0 go on, 1 after an error report.
int checkTreeNumber(int32_t n, uint32_t inMemory)
{
    if (n >= 1 && static_cast<uint32_t>(n) <= inMemory)
        return 0;
    qel_errorMsg(0, "You must specify a tree number between %d and %d", 1, static_cast<int>(inMemory));
    return 1;
}

}  // namespace

void installSurfCheckSimulation(SurfCheckSimulationFxn fxn) { gSimulation = fxn; }

std::vector<SurfCheckOptimum> groupSurfCheckOptima(std::vector<double> scores, double toler)
{
    std::sort(scores.begin(), scores.end());
    std::vector<SurfCheckOptimum> optima;
    double first = 0.0;
    for (double s : scores) {
        if (optima.empty() || s - first > toler) {
            optima.push_back({s, 0});
            first = s;
        }
        optima.back().count++;
    }
    return optima;
}

int doSurfCheckCmd()
{
    DataInfo *d = activeDataInfo();
    if (d == nullptr)
        return 1;
    TreeBuffer *buf = getActiveTreeBuffer();
    const uint32_t inMemory = numTreesInBuffer(buf);
    if (inMemory == 0)
        return qel_errorMsg(0, "There are no trees in memory.");
    const bool rooted = areTreesRooted(buf);
    if (checkMinTaxa(d, rooted ? 2 : 3, "Checking likelihood surface for ", rooted ? "rooted trees" : "unrooted trees"))
        return 1;
    if (ml.clock)
        return qel_errorMsg(824, "Likelihood surface check is not allowed with clock assumption.");

    surfChk.file[0] = '\0';
    gReplaceFile = gAppendToFile = 0;
    if (setCmdParamVals(OptionSet::kSurfCheck) != 0)
        return 1;
    if (checkTreeNumber(surfChk.treeNum, inMemory) != 0)
        return 1;

    SurfCheckRun r;
    r.d = d;
    r.treeNum = static_cast<uint32_t>(surfChk.treeNum);
    r.brLens = surfChk.brLens != 0;
    r.seed = seedForRun(surfChk.seed);
    r.results.reserve(static_cast<size_t>(surfChk.nreps) + 1);
    if (gSimulation != nullptr && gSimulation(&r.sim) != 0)
        return 1;
    r.continueStream = r.sim.running && !r.sim.first && isRNGinitialized(&gSimulationRng);
    if (r.continueStream)
        r.seed = gSimulationSeed;
    if (surfChk.file[0] != '\0') {
        // Later replicates of a simulation loop add their rows to the file
        // the first one began.
        if (r.continueStream)
            gAppendToFile = 1;
        const bool appending = gAppendToFile != 0;
        int opened = 1;
        if ((r.file = openScoreFile(surfChk.file, &opened)) == nullptr)
            return opened;  // 2 when the user declined to replace the file
        if (r.sim.running && r.sim.first) {
            std::fprintf(r.file->fp, "simRep");
            for (const std::string &name : r.sim.nodeNames)
                std::fprintf(r.file->fp, "\t%s", name.c_str());
            std::fprintf(r.file->fp, "\ttree\tseed\t-lnL\ttimes found\n");
        } else if (!appending) {
            std::fprintf(r.file->fp, "tree\tseed\t-lnL\ttimes found\n");
        }
    }

    const uint32_t oldCriterion = tempResetOptCrit(kCriterionLikelihood);
    setBusyMode(true);
    int status = prepareData(kPrepLikelihood, 0, false);
    if (status == 0 && (getActiveML() == nullptr || activeModelGroup() == nullptr))
        status = 1;
    // Only parameters marked for estimation have estimates to show.
    r.showParams = surfChk.showparam != 0 && anyModelParamsEstimated();
    if (status == 0)
        status = runSecondaryThread(surfCheckThreadProc, &r);
    return finishScoreCommand(r.file, status, oldCriterion, surfChk.file);
}

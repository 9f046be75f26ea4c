#include "selection/autopart.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <string>

#include "cli/option_sets.h"
#include "cli/qel_cmdoptions.h"
#include "data/assump.h"
#include "data/charstat.h"
#include "data/nexsets.h"
#include "data/prepdata.h"
#include "data/vorn_data.h"
#include "data/vorn_util.h"
#include "likelihood/activeml.h"
#include "likelihood/infocrit.h"
#include "likelihood/models.h"
#include "likelihood/treelike.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_multithread.h"
#include "qel/qel_output.h"
#include "qel/qel_oututil.h"
#include "qel/qel_progress.h"
#include "qel/qel_sets.h"
#include "qel/qel_setptn.h"
#include "qel/qel_time.h"
#include "search/hsprep.h"
#include "search/scores.h"
#include "search/search_settings.h"
#include "selection/automodel.h"
#include "selection/selection_settings.h"
#include "trees/treebuf.h"
#include "trees/treeutil.h"

namespace {

// Exhaustive search beyond this many subsets is out of reach: Bell(16) is
// about 10^10 schemes.
constexpr uint32_t kMaxAllSchemesSubsets = 15;
constexpr int kDecimals = 5;
// Narrow columns keep a row of the subset estimates short.
constexpr int kEstimateColumn = 6;

struct Block {
    std::vector<uint32_t> members;  // unit positions, increasing
    bool done = false;
    double lnL = 0;
    uint32_t k = 0;      // its model's parameters
    uint32_t model = 0;  // model number in the evaluation record
    ModelFit fit;
    uint32_t nsites = 0;
};

struct AutoPartRun {
    DataInfo *d = nullptr;
    const Nexset *ptnSet = nullptr;
    const SetPtn *ptn = nullptr;
    std::vector<uint32_t> units;  // the included subsets of the partition
    EvalModData e;
    Xic crit = Xic::kBIC;
    bool allSchemes = false, late = false, verbose = false, lset = false;
    int showSchemes = 0;  // "no", "yes", "suppressPtn"
    TreeHandle tree;
    uint32_t branches = 0;
    double n = 0;
    SetHandle saved;
    uint32_t lateModel = 0;  // model number of the one model of late selection
    std::map<std::vector<uint32_t>, size_t> blockIndex;
    std::vector<Block> blocks;
    uint32_t schemes = 0;
    double bestScore = std::numeric_limits<double>::max();
    uint32_t bestNumber = 0;
    std::vector<uint32_t> bestScheme;
    bool headingShown = false;
    SavedModelSettings savedSettings;
};

size_t critIndex(const AutoPartRun &r)
{
    for (size_t i = 0; i < r.e.criteria.size(); ++i)
        if (r.e.criteria[i] == r.crit)
            return i;
    return 0;
}

double critValue(Xic c, double k, double lnL, double n)
{
    switch (c) {
    case Xic::kAIC: return calcAIC(k, lnL);
    case Xic::kAICc: return calcAICc(k, lnL, n);
    default: return calcBIC(k, lnL, n);
    }
}

// Excludes every character, then includes those of the block's subsets
// that were included when the command began; the number included.
uint32_t setCharInclusionForBlock(AutoPartRun &r, const std::vector<uint32_t> &members, bool all)
{
    DataInfo *d = r.d;
    includeCharSubsetOnly(d, r.ptn, kSetEnd, r.saved.get());
    std::vector<bool> in(numPtnSubsets(r.ptn), false);
    for (uint32_t u = 0; u < r.units.size(); ++u)
        if (all || std::find(members.begin(), members.end(), u) != members.end())
            in[r.units[u]] = true;
    uint32_t count = 0;
    for (uint32_t c = 0; c < d->nchar; ++c) {
        const uint32_t s = whichPartitionSubset(r.ptn, c);
        if (d->status[c] & kCharExcluded)
            continue;
        if (s < in.size() && in[s])
            ++count;
        else
            d->status[c] |= kCharExcluded;
    }
    afterCharInclusionChange(d);
    return count;
}

// Each block is fitted with branch lengths of its own, and they count as
// parameters of the scheme: a block is no cheaper than the same sites fitted
// alone, so splitting is not favoured by lengths left uncounted.
uint32_t lengthParams(const AutoPartRun &r, size_t blocks)
{
    return r.branches * static_cast<uint32_t>(blocks);
}

std::string blockText(const AutoPartRun &r, const std::vector<uint32_t> &members)
{
    std::string s;
    for (uint32_t u : members) {
        if (!s.empty())
            s += ' ';
        s += std::to_string(r.units[u] + 1);
    }
    return s;
}

// Fits a block once: its best model by the criterion (early), or the one
// model of late selection. 0, 1 or 2 (abort).
int evaluateBlock(AutoPartRun &r, size_t index)
{
    Block &b = r.blocks[index];
    if (b.done)
        return 0;
    b.nsites = setCharInclusionForBlock(r, b.members, false);
    if (r.late) {
        b.k = setModelSettingsFromTable(r.e, r.lateModel);
        TreeHandle work(createSearchTree(r.d));
        if (!work || copyTree(r.tree.get(), work.get()) != 0 || prepareData(kPrepLikelihood, 0, false) != 0)
            return 1;
        b.lnL = calcTreeLikelihood(work.get(), kNoLScore);
        if (b.lnL >= kNoLScore)
            return getAbortedStatus() != 0 ? 2 : 1;
        b.model = r.lateModel;
        b.fit = currentFit(b.lnL, work.get(), false);
    } else {
        if (r.verbose) {
            qel_printf("\nChoosing model for ");
            if (b.members.size() == 1)
                qel_printf("subset %u (%u sites)\n", r.units[b.members[0]] + 1, b.nsites);
            else
                qel_printf("blockID=%zu (%u sites): \bsubsets %s\n", index + 1, b.nsites, blockText(r, b.members).c_str());
        }
        r.e.n = b.nsites;
        r.e.perTree.assign(1, std::vector<XicBest>(r.e.criteria.size()));
        r.e.overall.assign(r.e.criteria.size(), XicBest{});
        if (const int s = evaluateEvalModData(r.e, r.tree.get(), 0, !r.verbose); s != 0)
            return s;
        const XicBest &best = r.e.perTree[0][critIndex(r)];
        b.model = best.model;
        b.fit = best.fit;
        b.lnL = best.fit.lnL;
        b.k = best.fit.kSubst;
    }
    b.done = true;
    return 0;
}

size_t blockFor(AutoPartRun &r, const std::vector<uint32_t> &members)
{
    auto [it, fresh] = r.blockIndex.emplace(members, r.blocks.size());
    if (fresh) {
        Block b;
        b.members = members;
        r.blocks.push_back(std::move(b));
    }
    return it->second;
}

std::vector<std::vector<uint32_t>> blocksOf(const std::vector<uint32_t> &s)
{
    const uint32_t nb = s.empty() ? 0 : *std::max_element(s.begin(), s.end()) + 1;
    std::vector<std::vector<uint32_t>> out(nb);
    for (uint32_t u = 0; u < s.size(); ++u)
        out[s[u]].push_back(u);
    return out;
}

void showPartition(const AutoPartRun &r, const std::vector<uint32_t> &s)
{
    qel_printf("    ");
    const auto groups = blocksOf(s);
    for (size_t g = 0; g < groups.size(); ++g)
        qel_printf("%s%s", g ? "|" : "", blockText(r, groups[g]).c_str());
    qel_printf("\n");
}

// Scores a scheme, prints its line and, with keepBest, keeps it when it is
// the best so far. 0, 1 or 2.
int evaluatePartitionScheme(AutoPartRun &r, const std::vector<uint32_t> &s, bool keepBest, double *scoreOut)
{
    const auto groups = blocksOf(s);
    double lnL = 0.0;
    uint32_t k = lengthParams(r, groups.size());
    for (const auto &g : groups) {
        const size_t i = blockFor(r, g);
        if (const int st = evaluateBlock(r, i); st != 0)
            return st;
        lnL += r.blocks[i].lnL;
        k += r.blocks[i].k;
    }
    const double score = critValue(r.crit, k, lnL, r.n);
    ++r.schemes;
    if (r.showSchemes != 0) {
        if (!r.headingShown) {
            qel_printf("\nLikelihood and %s scores for each scheme", xicName(r.crit));
            if (r.late)
                qel_printf(" (%s model)", modelNameForNum(r.e, r.lateModel).c_str());
            qel_printf(":\n\n%*s%12s%10s%12s", 8, "Scheme", "-lnL", "#params", xicName(r.crit));
            if (r.showSchemes != 2)
                qel_printf("    %s", "Partition");
            qel_printf("\n");
            r.headingShown = true;
        }
        qel_printf("%*u%12.*f%10u%12.*f", 8, r.schemes, kDecimals, lnL, k, kDecimals, score);
        if (r.showSchemes != 2)
            showPartition(r, s);
        else
            qel_printf("\n");
    }
    if (scoreOut)
        *scoreOut = score;
    if (keepBest && score < r.bestScore) {
        r.bestScore = score;
        r.bestNumber = r.schemes;
        r.bestScheme = s;
    }
    return incrementProgressValue(r.e.progress) == kProgressAborted || getAbortedStatus() != 0 ? 2 : 0;
}

int searchAllSchemes(AutoPartRun &r)
{
    std::vector<uint32_t> s(r.units.size(), 0);
    auto visit = [&](const std::vector<uint32_t> &scheme) { return evaluatePartitionScheme(r, scheme, true, nullptr); };
    return forEachScheme(s, 0, 0, visit);
}

int searchGreedy(AutoPartRun &r)
{
    const auto k = static_cast<uint32_t>(r.units.size());
    std::vector<uint32_t> blockOf(k);
    for (uint32_t u = 0; u < k; ++u)
        blockOf[u] = u;
    if (const int s = evaluatePartitionScheme(r, blockOf, true, nullptr); s != 0)
        return s;
    // Every round joins the best pair for good, down to a single block,
    // whether or not the round improved.
    for (uint32_t nb = k; nb > 1; --nb) {
        double roundBest = std::numeric_limits<double>::max();
        uint32_t roundNumber = 0;
        std::vector<uint32_t> chosen;
        for (auto [a, b] : greedyPairs(nb)) {
            std::vector<uint32_t> joined = blockOf;
            for (uint32_t &x : joined)
                x = x == b ? a : x > b ? x - 1 : x;
            const std::vector<uint32_t> s = normalizedScheme(joined);
            double score = 0.0;
            if (const int st = evaluatePartitionScheme(r, s, false, &score); st != 0)
                return st;
            if (score < roundBest) {
                roundBest = score;
                roundNumber = r.schemes;
                chosen = s;
            }
        }
        blockOf = chosen;
        if (roundBest < r.bestScore) {
            r.bestScore = roundBest;
            r.bestNumber = roundNumber;
            r.bestScheme = chosen;
        }
    }
    return 0;
}

void showBestScheme(AutoPartRun &r)
{
    qel_printf("\nBest scheme found for %s", xicName(r.crit));
    if (r.showSchemes == 1)
        qel_printf(" (= #%u)", r.bestNumber);
    qel_printf(":\n\n");
    qel_printf("%10s%10s%14s%10s%14s%*s\n", "BlockID", "Model", "-lnL", "#params", xicName(r.crit), 12, "Subsets");
    tableLine(kUnderlineLastLine, 0);
    const auto groups = blocksOf(r.bestScheme);
    double lnL = 0.0;
    uint32_t k = lengthParams(r, groups.size());
    for (size_t g = 0; g < groups.size(); ++g) {
        const Block &b = r.blocks[blockFor(r, groups[g])];
        lnL += b.lnL;
        k += b.k;
        const double own = critValue(r.crit, b.k + r.branches, b.lnL, b.nsites);
        qel_printf("%10zu%10s%14.*f%10u%14.*f    %s\n", g + 1, modelNameForNum(r.e, b.model).c_str(), kDecimals, b.lnL,
                   b.k, kDecimals, own, blockText(r, b.members).c_str());
    }
    tableLine(kUnderlineLastLine, 0);
    qel_printf("%10s%10s%14.*f%10u*%13.*f\n", "Total", "", kDecimals, lnL, k, kDecimals, critValue(r.crit, k, lnL, r.n));
    qel_printf("\n  * includes %u branch lengths and %d rate-scaling parameters\n", lengthParams(r, groups.size()), 0);
}

// A model partition "autopart" with one subset "block<i>" per block, whose
// model (of the same name) holds the block's chosen settings.
int installAutopartModels(AutoPartRun &r)
{
    const auto groups = blocksOf(r.bestScheme);
    // Only the models change; the user's other settings come back, except
    // that blocks fitted apart keep their own overall rates: under one
    // shared rate a slow block and a fast one would score far worse than the
    // scheme that was chosen.
    ml = r.savedSettings.ml;
    if (groups.size() > 1) {
        ml.estModelRates = 1;
        ml.prevModelRates = 0;
        ml.equalModelRates = 0;
    }
    Nexset *ns = createNexset("autopart", kNexModelPartition);
    SetPtn *ptn = ns ? allocSetPtn(static_cast<uint32_t>(groups.size()), r.d->nchar) : nullptr;
    // Until it is installed the record is this function's to free.
    auto fail = [ns] {
        destroyNexset(ns, kNexModelPartition);
        return 1;
    };
    if (ptn == nullptr)
        return fail();
    // The record came with a partition of its own, sized for four subsets.
    deallocSetPtn(static_cast<SetPtn *>(ns->payload));
    ns->payload = ptn;
    for (size_t g = 0; g < groups.size(); ++g) {
        const Block &b = r.blocks[blockFor(r, groups[g])];
        const std::string name = "block" + std::to_string(g + 1);
        uint32_t row = 0, variant = 0;
        decodeModelNum(r.e, b.model, &row, &variant);
        applyModelFit(row, variant, b.fit);
        if (addCurrentModel(name.c_str(), r.d, false) == nullptr)
            return fail();
        PtnSubset *sub = addPtnSubset(ptn, name.c_str());
        if (sub == nullptr)
            return fail();
        setCharInclusionForBlock(r, b.members, false);
        for (uint32_t c = 0; c < r.d->nchar; ++c)
            if (!(r.d->status[c] & kCharExcluded))
                addSetMember(sub->set, c);
    }
    if (installModelPartition(ns) != 0)
        return fail();
    ml.modelPartition = ns;
    invalidateMLprep();
    qel_printf("\nModel partition 'autopart' installed (subsets");
    for (size_t g = 0; g < groups.size(); ++g)
        qel_printf(" block%zu", g + 1);
    qel_printf(")%s.\n", groups.size() > 1 ? "; model-subset rates will be estimated" : "");
    return 0;
}

// Each subset alone, fitted as a block of its own (the fit is kept for the
// schemes), with its estimates.
int showSubsetEstimates(AutoPartRun &r)
{
    qel_printf("\nEstimating model parameters for each subset...\n");
    std::vector<size_t> index;
    for (uint32_t u = 0; u < r.units.size(); ++u) {
        index.push_back(blockFor(r, {u}));
        if (const int s = evaluateBlock(r, index.back()); s != 0)
            return s;
    }
    // Model names run to ten characters ("TIM2ef+I+G").
    qel_printf("\n%6s %-10s%11s", "Subset", "Model", "-lnL");
    for (const char *label : {"pi_A", "pi_C", "pi_G", "pi_T", "r_AC", "r_AG", "r_AT", "r_CG", "r_CT", "r_GT", "shape",
                              "pinv"})
        qel_printf("%*s", kEstimateColumn, label);
    qel_printf("\n");
    tableLine(kUnderlineLastLine, 0);
    for (uint32_t u = 0; u < r.units.size(); ++u) {
        const Block &b = r.blocks[index[u]];
        const ModelFit &f = b.fit;
        uint32_t row = 0, variant = 0;
        decodeModelNum(r.e, b.model, &row, &variant);
        qel_printf("%6u %-10s%11.*f", r.units[u] + 1, modelNameForNum(r.e, b.model).c_str(), 3, b.lnL);
        for (double x : f.freqs)
            printParamCell(paramText(x, kEstimateColumn), kEstimateColumn);
        const ModelTableRow &m = gModelTable[row];
        for (size_t i = 0; i < 6; ++i) {
            const bool other = m.substClass != 0 && m.rateClass[i] != m.rateClass[5];
            printParamCell(paramText(!other ? 1.0 : m.substClass == 1 ? f.kappa : f.rates[i], kEstimateColumn),
                           kEstimateColumn);
        }
        printParamCell(variant & kVariantG ? paramText(f.shape, kEstimateColumn) : "-", kEstimateColumn);
        printParamCell(variant & kVariantI ? paramText(f.pinv, kEstimateColumn) : "-", kEstimateColumn);
        qel_printf("\n");
    }
    return 0;
}

// Late selection: the schemes were scored under one model; now each block
// of the best scheme gets its best model.
int chooseModelsLate(AutoPartRun &r)
{
    qel_printf("\nBest partition from initial subset screen:\n");
    qel_printf("  %4s = %g (scheme %u): ", xicName(r.crit), r.bestScore, r.bestNumber);
    showPartition(r, r.bestScheme);
    qel_printf("\nNow choosing best models for each block conditional on these schemes...\n\n");
    r.late = false;
    const auto groups = blocksOf(r.bestScheme);
    for (const auto &g : groups) {
        Block &b = r.blocks[blockFor(r, g)];
        b.done = false;
        const std::string label = "subsets " + blockText(r, b.members);
        qel_printf("\nModel selection for %s:\n", label.c_str());
        setStatusText("Choosing model for %s (step 2 of 2)", label.c_str());
        if (const int s = evaluateBlock(r, blockFor(r, g)); s != 0)
            return s;
        qel_printf("  %s: %s\n", xicName(r.crit), modelNameForNum(r.e, b.model).c_str());
    }
    return 0;
}

int searchSchemesThreadProc(void *arg)
{
    AutoPartRun &r = *static_cast<AutoPartRun *>(arg);
    TimeMark start{}, stop{};
    setTimeMark(&start);
    const auto k = static_cast<uint32_t>(r.units.size());
    qel_printf("\nSearching for optimal partitioning according to %s %s:\n", xicName(r.crit),
               r.allSchemes ? "by evaluation of all possible schemes" : "using greedy search");
    qel_printf("    Character partition = %s\n", r.ptnSet->name);
    qel_printf("    Number of possible partitioning schemes = %g\n", numPartitionSchemes(k));
    qel_printf("    Number of block subsets to be evaluated = %u\n",
               r.allSchemes ? (1u << k) - 1 : k * (k - 1) + 1);
    static const char *const kSetNames[] = {"j3", "j5", "j7", "j11", "GTR"};
    qel_printf("    Candidate model set = %s\n", kSetNames[std::clamp(autoPartOpt.modelset, 0, 4)]);
    qel_printf("    Equilibrium state frequencies = %s\n", r.e.estimateFreqs ? "estimated" : "empirical");
    qel_printf("    Model for setting branch lengths = %s\n", modelNameForNum(r.e, r.lateModel).c_str());
    qel_printf("    Model selection = ");
    if (r.late)
        qel_printf("\"late\" (model selection based on partition chosen using %s model)\n",
                   modelNameForNum(r.e, r.lateModel).c_str());
    else
        qel_printf("\"early\" (model selection performed for each trial partition)\n");
    qel_printf("\nPartition subsets defined by character-partition '%s':\n\n", r.ptnSet->name);
    qel_printf("%8s  %-20s%s\n", "Subset", "Name", "Included characters");
    tableLine(kUnderlineLastLine, 0);
    for (uint32_t u = 0; u < k; ++u) {
        const uint32_t n = setCharInclusionForBlock(r, {u}, false);
        const char *name = getPtnSubsetName(r.ptn, r.units[u]);
        qel_printf("%8u  %-20s%u\n", r.units[u] + 1, name ? name : "", n);
    }
    // Every block is fitted as AutoModel fits a model, branch lengths
    // included: with one block the result is AutoModel's on the same sites.
    int status = 0;
    if (r.verbose && (status = showSubsetEstimates(r)) != 0)
        return status;
    if (r.late)
        setStatusText("Choosing scheme using %s model (step 1 of %d)", modelNameForNum(r.e, r.lateModel).c_str(), 2);
    status = r.allSchemes ? searchAllSchemes(r) : searchGreedy(r);
    if (status == 0 && r.late)
        status = chooseModelsLate(r);
    setCharInclusionForBlock(r, {}, true);
    includeCharSubsetOnly(r.d, r.ptn, kSetEnd, r.saved.get());
    afterCharInclusionChange(r.d);
    if (status != 0)
        return status;
    showBestScheme(r);
    if (r.lset && installAutopartModels(r) != 0)
        return 1;
    includeCharSubsetOnly(r.d, r.ptn, kSetEnd, r.saved.get());
    afterCharInclusionChange(r.d);
    setTimeMark(&stop);
    qel_printf("\n");
    showTimeUsed(&start, &stop, 0, " for auto-partitioning analysis");
    return 0;
}

}  // namespace

double numPartitionSchemes(uint32_t k)
{
    // The Bell triangle.
    std::vector<double> row{1.0};
    for (uint32_t i = 1; i < k; ++i) {
        std::vector<double> next{row.back()};
        for (double x : row)
            next.push_back(next.back() + x);
        row = std::move(next);
    }
    return k == 0 ? 1.0 : row.back();
}

std::vector<uint32_t> normalizedScheme(const std::vector<uint32_t> &blockOf)
{
    std::map<uint32_t, uint32_t> label;
    std::vector<uint32_t> s(blockOf.size());
    for (size_t i = 0; i < blockOf.size(); ++i) {
        auto [it, fresh] = label.emplace(blockOf[i], static_cast<uint32_t>(label.size()));
        s[i] = it->second;
    }
    return s;
}

std::vector<std::pair<uint32_t, uint32_t>> greedyPairs(uint32_t n)
{
    std::vector<std::pair<uint32_t, uint32_t>> pairs;
    for (uint32_t j = 1; j < n; ++j)
        for (uint32_t i = 0; i < j; ++i)
            pairs.emplace_back(i, j);
    return pairs;
}

int doAutoPartCmd()
{
    DataInfo *d = activeDataInfo();
    if (numTreesInBuffer(getActiveTreeBuffer()) == 0) {
        qel_errorMsg(0, "One or more trees must be in memory prior to automated model selection or partitioning.\tAs "
                        "long as the tree is reasonable for the data, model selection using the methods available "
                        "here does not depend strongly on the specific topology; a common method for getting a base "
                        "tree is neighbor-joining with either LogDet or Jukes-Cantor distances.");
        return 1;
    }
    if (gNexsets.charPartitions == nullptr) {
        qel_errorMsg(0, "Automated partitioning requires prior definition of at least one character partition.\tThis "
                        "is used to define minimal subsets for combination into larger blocks.");
        return 1;
    }
    autoPartOpt.partition = nullptr;
    // One tree is fitted: the first of the list the "tree" option gives.
    std::vector<uint32_t> trees;
    if (readTreeListAndOptions(kAutoPartTreeSet, false, OptionSet::kAutopartition, trees) != 0)
        return 1;
    if (autoPartOpt.partition == nullptr || d == nullptr) {
        qel_errorMsg(0, "You must specify a previously defined character partition.\tThis partition defines the "
                        "minimal subsets to (possibly) be assembled into larger blocks.");
        return 1;
    }
    // Its blocks are fitted with the nucleotide models of AutoModel.
    if (verifyNucleotideData(d, "Autopartition") != 0)
        return 1;
    AutoPartRun r;
    r.d = d;
    r.ptnSet = autoPartOpt.partition;
    r.ptn = getNexPtn(r.ptnSet);
    // The sample size of the criterion is the number of characters scored:
    // those of the partition's subsets, not those it leaves out.
    for (uint32_t i = 0; r.ptn && i < numPtnSubsets(r.ptn); ++i)
        if (const uint32_t n = countIncludedCharsInPtnSubset(r.ptn, d, i); n > 0) {
            r.units.push_back(i);
            r.n += n;
        }
    r.allSchemes = autoPartOpt.method == 0;
    if (r.units.empty()) {
        qel_errorMsg(0, "No subset of character partition '%s' has included characters.", r.ptnSet->name);
        return 1;
    }
    if (r.allSchemes && r.units.size() > kMaxAllSchemesSubsets) {
        qel_errorMsg(0, "Evaluating all partitioning schemes of %zu subsets is not feasible (%g schemes).\tUse "
                        "method=greedy for more than %u subsets.",
                     r.units.size(), numPartitionSchemes(static_cast<uint32_t>(r.units.size())), kMaxAllSchemesSubsets);
        return 1;
    }
    // The installed models would leave the characters outside the subsets
    // with no model, and every later likelihood would refuse them.
    if (const uint32_t left = countIncludedChars(d, 0) - static_cast<uint32_t>(r.n); autoPartOpt.lset != 0 && left > 0) {
        qel_errorMsg(0, "Character partition '%s' leaves %u included character(s) outside its subsets, which the "
                        "chosen models could not be installed for.\tExclude those characters, add them to a subset, "
                        "or use lset=no.",
                     r.ptnSet->name, left);
        return 1;
    }
    r.crit = static_cast<Xic>(std::clamp(autoPartOpt.criterion, 0, 2));
    const bool want[3] = {r.crit == Xic::kAIC, r.crit == Xic::kAICc, r.crit == Xic::kBIC};
    r.e.d = d;
    if (createEvalModData(r.e, autoPartOpt.modelset, want[0], want[1], want[2], false, -1, 1,
                          autoPartOpt.stateFreq == 0) != 0)
        return 1;
    r.e.showScores = autoPartOpt.verbose != 0;
    r.e.ncat = static_cast<uint32_t>(std::max(ml.ncat, 2));
    r.late = autoPartOpt.modSel != 0;
    r.lateModel = r.e.numModels() - 1;
    r.verbose = autoPartOpt.verbose != 0;
    r.lset = autoPartOpt.lset != 0;
    r.showSchemes = autoPartOpt.showSchemes;
    r.saved.reset(createExcludedCharsetCopy(d));
    r.tree.reset(createSearchTree(d));
    if (!r.saved || !r.tree || getTree(getActiveTreeBuffer(), trees.front() + 1, r.tree.get()) != 0)
        return 1;
    r.branches = countTreeParams(r.tree.get(), ml.clock != 0);
    r.savedSettings = saveModelSettings();
    const uint32_t oldCriterion = tempResetOptCrit(kCriterionLikelihood);
    const auto k = static_cast<uint32_t>(r.units.size());
    const double schemes = r.allSchemes ? numPartitionSchemes(k) : k * (k - 1) / 2.0 + 1.0;
    r.e.progress = createProgressWindow(static_cast<uint32_t>(std::min(schemes * k, 4e9)), 0,
                                        r.late ? "Initial tree optimization" : "Evaluating partitioning schemes");
    // As in AutoModel, whose fits these are: an interrupt is confirmed first,
    // and the fits are made the same way, so one block scores as AutoModel
    // scores the same sites.
    const int32_t longOperation = setLongOperationStatus(1);
    const int status = runSecondaryThread(searchSchemesThreadProc, &r);
    setLongOperationStatus(longOperation);
    r.e.progress = destroyProgressWindow(r.e.progress);
    clearStatusText();
    if (status != 0 || !r.lset)
        restoreModelSettings(r.savedSettings);
    restoreOriginalOptCrit(oldCriterion);
    return status;
}

#include "search/randtests.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <numeric>
#include <string>
#include <vector>

#include "cli/qel_cmdoptions.h"
#include "data/data_util.h"
#include "data/nexsets.h"
#include "data/taxstat.h"
#include "data/vorn_data.h"
#include "parsimony/optimize.h"
#include "parsimony/packx.h"
#include "parsimony/pars_init.h"
#include "parsimony/parsimony_settings.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_malloc.h"
#include "qel/qel_matrices.h"
#include "qel/qel_output.h"
#include "qel/qel_progress.h"
#include "qel/qel_random.h"
#include "search/constrsearch.h"
#include "search/freqdist.h"
#include "search/hsearch.h"
#include "search/hsprep.h"
#include "search/scores.h"
#include "search/search.h"
#include "search/search_settings.h"
#include "search/xsearch.h"
#include "trees/constr.h"
#include "trees/treebuf.h"

double permutationTestP(uint32_t notGreater, uint32_t setsDone)
{
    return setsDone == 0 ? 1.0 : static_cast<double>(notGreater) / setsDone;
}

namespace {

// Reads the test's options up to "/" or ";" and, after "/", the options of
// the search it runs. 0, 1 after an error, -1 when the user cancelled.
int readTestOptions(OptionSet set, bool bandb)
{
    const int term = getCmdParams(set, ";/", nullptr);
    if (term <= 0)
        return term < 0 ? -1 : 1;
    if (term == '/' && getCmdParams(bandb ? OptionSet::kBandB : OptionSet::kHSearch, ";", nullptr) <= 0)
        return 1;
    return 0;
}

int runTestSearch(DataInfo *data, bool bandb)
{
    return bandb ? exactTreeSearch(false, 1) : stdHeuristicSearch(1, data);
}

std::string scoreText(double v) { return scoreToString(gCriterion, 0, -1, v); }

// ---------------------------------------------------------------------------
// Partition homogeneity

struct HomPartTest {
    DataInfo *data = nullptr;
    std::vector<double> savedWts;
    std::vector<uint32_t> chars;     // the characters taking part, in character order
    std::vector<uint32_t> subsetOf;  // per entry of chars
    std::vector<uint32_t> cum;       // per subset: characters before it (subsets + 1 entries)
    std::vector<uint32_t> order;     // a permutation of the entries of chars
    uint32_t nsub = 0;
    RNG rng{};
    double sum = 0.0, original = 0.0;
    uint32_t greater = 0, done = 0;
    std::vector<double> sums;  // per replicate, the first being the real partition
    ScoreDistribPtr dist;
};
HomPartTest *gHom = nullptr;

int initHomPartition(HomPartTest &h)
{
    DataInfo *d = h.data;
    const SetPtn *ptn = getNexPtn(homOpt.partition);
    if (!ptn || checkCharPartition(d, homOpt.partition, nullptr) != 0) {
        qel_printf("\nPartition homogeneity test abandoned due to errors.\n");
        return 1;
    }
    h.nsub = ptn->numSubsets;
    h.cum.assign(h.nsub + 1, 0);
    for (uint32_t c = 0; c < d->nchar; c++) {
        if (!isCharIncluded(d, c))
            continue;
        for (uint32_t k = 0; k < h.nsub; k++)
            if (isSetMember(getPtnSubset(ptn, k), c)) {
                h.chars.push_back(c);
                h.subsetOf.push_back(k);
                h.cum[k + 1]++;
                break;
            }
    }
    for (uint32_t k = 0; k < h.nsub; k++)
        h.cum[k + 1] += h.cum[k];
    h.order.resize(h.chars.size());
    std::iota(h.order.begin(), h.order.end(), 0u);
    h.savedWts.assign(d->weights, d->weights + d->nchar);
    return 0;
}

// Unit r x subsets + k: the characters of subset k (first replicate) or of
// the k-th stretch of a shuffled list; the others weigh nothing.
int applyHomPartition(Tree *, DataInfo *d, uint32_t rep)
{
    HomPartTest &h = *gHom;
    const uint32_t unit = rep - 1, r = unit / h.nsub, k = unit % h.nsub;
    if (r > 0 && k == 0)
        randomUIntShuffle(&h.rng, h.order.data(), static_cast<uint32_t>(h.order.size()));
    std::fill(d->weights, d->weights + d->nchar, 0.0);
    if (r == 0) {
        for (size_t i = 0; i < h.chars.size(); i++)
            if (h.subsetOf[i] == k)
                d->weights[h.chars[i]] = h.savedWts[h.chars[i]];
    } else {
        for (uint32_t p = h.cum[k]; p < h.cum[k + 1]; p++)
            d->weights[h.chars[h.order[p]]] = h.savedWts[h.chars[h.order[p]]];
    }
    setNeedParsPrep(1);
    return prepareParsimonyData(d);
}

int storeHomPartResults(DataInfo *, double score)
{
    HomPartTest &h = *gHom;
    const uint32_t unit = gSearchState.outerRep - 1, k = unit % h.nsub;
    if (k == 0)
        h.sum = 0.0;
    h.sum += score;
    if (k + 1 == h.nsub) {
        h.sums.push_back(h.sum);
        h.done++;
    }
    return 0;
}

// The sums are compared, merged and printed only once the user's weights are
// back: each unit packs its subset alone, and a last subset of whole weights
// would otherwise compare real-valued sums exactly and print them rounded.
int showHomPartResults(HomPartTest &h)
{
    std::copy(h.savedWts.begin(), h.savedWts.end(), h.data->weights);
    setNeedParsPrep(1);
    if (prepareParsimonyData(h.data) != 0)
        return 1;
    h.original = h.sums.front();
    for (const double sum : h.sums) {
        if (compareScores(sum, h.original) > 0)
            h.greater++;
        if (addScoreToDistrib(h.dist.get(), sum) != 0)
            return 1;
    }
    sortScoreDistrib(h.dist.get());
    qel_printf("\nResults of partition-homogeneity test:\n\n");
    qel_printf("        Sum of       Number of\n");
    qel_printf("  tree lengths       replicates\n");
    qel_printf("  -----------------------------\n");
    for (uint32_t i = 0; i < h.dist->n(); i++)
        qel_printf("%14s%c%12u\n", scoreText(h.dist->scores[i]).c_str(),
                   compareScores(h.dist->scores[i], h.original) == 0 ? '*' : ' ', h.dist->counts[i]);
    qel_printf("              * = sum of lengths for original partition\n");
    qel_printf("\n   P value = 1 - (%d/%d) = %f\n", static_cast<int>(h.greater), static_cast<int>(h.done),
               h.done ? 1.0 - static_cast<double>(h.greater) / h.done : 1.0);
    return 0;
}

// Everything a test changed goes back on every exit: weights or matrix,
// hooks, flags, and the memory of the last optimised tree; the next
// analysis repacks the data from the user's matrix.
struct TestCleanup {
    std::function<void()> restore;
    ~TestCleanup()
    {
        if (restore)
            restore();
        setReplicateHooks(nullptr);
        gSearchState.replicatedKind = 0;
        setNeedParsPrep(3);
        forgetLastTreeOptimized();
        clearStatusText();
    }
};

}  // namespace

int doPartHomTest()
{
    DataInfo *d = activeDataInfo();
    if (!d || !(d->flags & kHaveCharacters))
        return qel_errorMsg(0, "Character data are required for the partition-homogeneity test.");
    if (gCriterion != kCriterionParsimony)
        return qel_errorMsg(540, "Partition-homogeneity test is only available when optimality criterion is "
                                 "parsimony.");
    if (!firstCharPartition())
        return qel_errorMsg(541, "No character partitions have been defined.");
    if (checkCharStatusUpdate(d) != 0)
        return 1;
    const int read = readTestOptions(OptionSet::kHomPart, homOpt.search == 1);
    if (read != 0)
        return read < 0 ? 0 : 1;
    if (!homOpt.partition)
        return qel_errorMsg(542, "No character partition specified for partition-homogeneity test.\tYou must define "
                                 "a character partition and then select it using the 'partition=<partition-name>' "
                                 "option.");
    HomPartTest h;
    h.data = d;
    TestCleanup cleanup;
    cleanup.restore = [&] {
        if (h.savedWts.size() == d->nchar)
            std::copy(h.savedWts.begin(), h.savedWts.end(), d->weights);
    };
    if (initHomPartition(h) != 0)
        return 1;
    const auto nreps = static_cast<uint32_t>(std::max(homOpt.nreps, 1));
    h.dist = createScoreDistrib(nreps);
    const RNGSeed seed = seedForRun(homOpt.seed);
    initRNG(&h.rng, seed);
    const ReplicatedHeadingScope heading([seed, nreps] {
        qel_printf("\nPartition-homogeneity test with %s search:\n",
                   homOpt.search == 1 ? "branch-and-bound" : "heuristic");
        qel_printf("    Character partition = %s\n", getNexsetName(homOpt.partition));
        qel_printf("  Starting seed = %s\n  Number of replicates = %u\n", seedString(seed).c_str(), nreps);
    });
    setStatusText("Doing partition-homogeneity test...");
    gHom = &h;
    const ReplicateHooks hooks{nreps * h.nsub, applyHomPartition, storeHomPartResults, h.nsub};
    setReplicateHooks(&hooks);
    gSearchState.replicatedKind = kReplicatedHomPart;
    int status = runTestSearch(d, homOpt.search == 1);
    gHom = nullptr;
    if (h.done > 0 && (status == 0 || status == 2)) {
        if (status == 2)
            qel_printf("\nPartition-homogeneity test stopped by the user after %u replicates.\n", h.done);
        if (showHomPartResults(h) != 0)
            status = 1;
    }
    emptyTreeBuffer(getMainTreeBuffer(nullptr), true);
    return status;
}

// ---------------------------------------------------------------------------
// Permutation tests

namespace {

enum : uint32_t { kPTP = 0, kTPTP = 1, kCompare2 = 2 };

struct PermTest {
    DataInfo *data = nullptr;
    uint32_t test = kPTP;
    bool twoTree = false;
    std::vector<uint32_t> rows;       // stored rows of the nondeleted taxa
    std::vector<uint32_t> permuted;   // indices into rows that are shuffled
    std::vector<uint32_t> chars;      // included characters
    std::vector<uint8_t> savedCells;  // full storage: rows x nchar
    std::vector<uint8_t> savedPoly;   // rows x nchar polymorphism flags
    bool compact = false;
    uint8_t **ownPatterns = nullptr;  // compact storage: one column per character
    uint32_t *ownIndex = nullptr;
    uint8_t **savedPatterns = nullptr;
    uint32_t *savedIndex = nullptr;
    uint32_t savedNPatterns = 0;
    RNG rng{};
    double firstScore = 0.0, original = 0.0;
    uint32_t unitsDone = 0;
    ScoreDistribPtr dist;
    Constraint *constraint = nullptr, *first = nullptr, *second = nullptr;
};
PermTest *gPerm = nullptr;

bool polyBit(const DataInfo *d, uint32_t row, uint32_t c)
{
    return d->polyCells && row < d->polyCells->numSets && ((d->polyCells->rows[row][c / 64] >> (c % 64)) & 1);
}

void setPolyBit(DataInfo *d, uint32_t row, uint32_t c, bool on)
{
    if (!d->polyCells || row >= d->polyCells->numSets)
        return;
    uint64_t &w = d->polyCells->rows[row][c / 64];
    w = on ? w | (uint64_t{1} << (c % 64)) : w & ~(uint64_t{1} << (c % 64));
}

uint8_t &cellOf(PermTest &p, uint32_t row, uint32_t c)
{
    return p.compact ? p.ownPatterns[c][row] : p.data->matrix[row][c];
}

// Keeps what the permutations change: under full storage the cells, under
// compact storage the pattern matrix itself, which gives way for the test
// to one column per character (characters sharing a pattern are permuted
// apart); the polymorphism flags under both. 0, or 1 when memory ran out.
int saveMatrix(PermTest &p)
{
    DataInfo *d = p.data;
    p.savedPoly.resize(p.rows.size() * d->nchar);
    for (size_t i = 0; i < p.rows.size(); i++)
        for (uint32_t c = 0; c < d->nchar; c++)
            p.savedPoly[i * d->nchar + c] = polyBit(d, p.rows[i], c);
    if (!p.compact) {
        p.savedCells.resize(p.rows.size() * d->nchar);
        for (size_t i = 0; i < p.rows.size(); i++)
            for (uint32_t c = 0; c < d->nchar; c++)
                p.savedCells[i * d->nchar + c] = d->matrix[p.rows[i]][c];
        return 0;
    }
    p.ownPatterns = allocMatrixOf<uint8_t>(d->nchar, d->ntax);
    p.ownIndex = allocArrayOf<uint32_t>(d->nchar);
    if (!p.ownPatterns || !p.ownIndex)
        return 1;
    for (uint32_t c = 0; c < d->nchar; c++) {
        p.ownIndex[c] = c;
        std::memcpy(p.ownPatterns[c], d->patternMatrix[d->patternIndex[c]], d->ntax);
    }
    p.savedPatterns = d->patternMatrix;
    p.savedIndex = d->patternIndex;
    p.savedNPatterns = d->nPatterns;
    d->patternMatrix = p.ownPatterns;
    d->patternIndex = p.ownIndex;
    d->nPatterns = d->nchar;
    return 0;
}

void restoreMatrix(PermTest &p)
{
    DataInfo *d = p.data;
    if (p.savedPoly.size() == p.rows.size() * d->nchar)
        for (size_t i = 0; i < p.rows.size(); i++)
            for (uint32_t c = 0; c < d->nchar; c++)
                setPolyBit(d, p.rows[i], c, p.savedPoly[i * d->nchar + c] != 0);
    if (p.compact) {
        if (p.savedPatterns) {
            d->patternMatrix = p.savedPatterns;
            d->patternIndex = p.savedIndex;
            d->nPatterns = p.savedNPatterns;
        }
        deallocMatrix(p.ownPatterns);
        deallocArray(p.ownIndex);
        p.ownPatterns = nullptr;
        p.ownIndex = nullptr;
        return;
    }
    if (p.savedCells.size() == p.rows.size() * d->nchar)
        for (size_t i = 0; i < p.rows.size(); i++)
            for (uint32_t c = 0; c < d->nchar; c++)
                d->matrix[p.rows[i]][c] = p.savedCells[i * d->nchar + c];
}

// Each included character's states move among the taxa by a fresh random
// permutation (of the ingroup only under ingroup randomisation).
int permuteData(PermTest &p)
{
    DataInfo *d = p.data;
    const auto n = static_cast<uint32_t>(p.permuted.size());
    std::vector<uint32_t> perm(n);
    std::vector<uint8_t> cells(n), poly(n);
    for (uint32_t c : p.chars) {
        randIntegerPerm(&p.rng, perm.data(), n);
        for (uint32_t i = 0; i < n; i++) {
            const uint32_t row = p.rows[p.permuted[perm[i]]];
            cells[i] = cellOf(p, row, c);
            poly[i] = polyBit(d, row, c);
        }
        for (uint32_t i = 0; i < n; i++) {
            const uint32_t row = p.rows[p.permuted[i]];
            cellOf(p, row, c) = cells[i];
            setPolyBit(d, row, c, poly[i] != 0);
        }
    }
    setNeedParsPrep(3);
    return prepareParsimonyData(d);
}

int doPermAndConstr(Tree *tree, DataInfo *d, uint32_t rep)
{
    PermTest &p = *gPerm;
    const uint32_t unit = rep - 1;
    const bool even = unit % 2 == 0;
    const bool fresh = p.twoTree ? even && unit > 0 : unit > 0;
    if (fresh)
        if (int rc = permuteData(p); rc != 0)
            return rc;
    if (!p.twoTree)
        return 0;
    bool converse = false;
    Constraint *c = p.constraint;
    if (p.test == kTPTP)
        converse = even == (permOpt.converse != 0);
    else
        c = even == (permOpt.converse == 0) ? p.first : p.second;
    setActiveConstraint(c);
    srch.enforce = 1;
    srch.converse = converse;
    setTopolConstrained(converse ? -1 : 1);
    const int rc = prepareSearchConstraints(d, tree, converse, false, true);
    return rc < 0 ? 1 : rc;
}

int storePermTestResults(DataInfo *, double score)
{
    PermTest &p = *gPerm;
    const uint32_t unit = gSearchState.outerRep - 1;
    p.unitsDone = unit + 1;
    if (!p.twoTree) {
        if (unit == 0)
            p.original = score;
        return addScoreToDistrib(p.dist.get(), score);
    }
    if (unit % 2 == 0) {
        p.firstScore = score;
        return 0;
    }
    const double difference = p.firstScore - score;
    if (unit == 1)
        p.original = difference;
    return addScoreToDistrib(p.dist.get(), difference);
}

void showPermResults(PermTest &p)
{
    sortScoreDistrib(p.dist.get());
    if (p.test == kPTP) {
        qel_printf("\nResults of PTP test:\n\n");
        qel_printf("                  Number of\n");
        qel_printf("  Tree length    replicates\n");
    } else {
        qel_printf(p.test == kTPTP ? "\nResults of T-PTP test:\n\n" : "\nResults of \"compare-2\" T-PTP test:\n\n");
        qel_printf("  Tree length     Number of\n");
        qel_printf("   difference**  replicates\n");
    }
    qel_printf("  -------------------------\n");
    uint32_t notGreater = 0;
    for (uint32_t i = 0; i < p.dist->n(); i++) {
        const double v = p.dist->scores[i];
        char text[64];
        std::snprintf(text, sizeof text, "%12.5f", p.twoTree && v != 0.0 ? -v : v);
        const int cmp = compareScores(v, p.original);
        qel_printf("%13s%c%13d\n", text, cmp == 0 ? '*' : ' ', static_cast<int>(p.dist->counts[i]));
        if (cmp <= 0)
            notGreater += p.dist->counts[i];
    }
    if (p.test == kPTP) {
        qel_printf("          * = length for original (unpermuted) data\n");
    } else {
        qel_printf("          * = length difference for original (unpermuted) data\n");
        if (p.test == kTPTP) {
            qel_printf("         ** = \blength of shortest tree %scompatible with constraints minus length of shortest "
                       "tree %scompatible with constraints\n",
                       permOpt.converse ? "" : "not ", permOpt.converse ? "not " : "");
        } else {
            const Constraint *a = permOpt.converse ? p.first : p.second, *b = permOpt.converse ? p.second : p.first;
            qel_printf("         ** = \blength of shortest tree compatible with constraint tree \"%s\" minus length of "
                       "shortest tree compatible with constraint tree \"%s\"\n",
                       a->name, b->name);
        }
    }
    const uint32_t sets = p.twoTree ? p.unitsDone / 2 : p.unitsDone;
    qel_printf("\n  P = %f\n", permutationTestP(notGreater, sets));
}

// The constraints the test names, checked with the other constraint options
// before anything of the test is shown.
int checkPermConstraints(PermTest &p)
{
    // Only the names the test uses must still name a constraint.
    auto lookUp = [](const char *name, bool used, Constraint **out) {
        *out = used && *name ? constraintTagToPtr(name) : nullptr;
        if (used && *name && !*out)
            return qel_errorMsg(711, "Constraint \"%s\" has not been defined.", name), 1;
        return 0;
    };
    if (lookUp(permOpt.constraint, p.test == kTPTP, &p.constraint) != 0 ||
        lookUp(permOpt.first, p.test == kCompare2, &p.first) != 0 ||
        lookUp(permOpt.second, p.test == kCompare2, &p.second) != 0)
        return 1;
    ConstraintOptionCheck check{};
    check.converse = permOpt.converse != 0;
    check.permutationTest = p.test == kTPTP       ? PermutationTestKind::kTPTP
                            : p.test == kCompare2 ? PermutationTestKind::kCompare2
                                                  : PermutationTestKind::kNone;
    check.noSwapping = permOpt.search != 1 && hs.swap == 0;
    check.looseness = srch.looseConvex;
    check.tptp = p.constraint;
    check.first = p.first;
    check.second = p.second;
    return checkConstraintOptions(check);
}

const char *permTestName(const PermTest &p)
{
    if (p.test == kPTP)
        return "PTP test";
    if (p.test == kCompare2)
        return "Permutation test of two constrained topologies";
    const bool convex = p.constraint->type == kConConvexity;
    if (permOpt.converse)
        return convex ? "T-PTP test for nonconvexity" : "T-PTP test for nonmonophyly";
    return convex ? "T-PTP test for convexity" : "T-PTP test for monophyly";
}

void showPermTestSettings(const PermTest &p, uint32_t nreps, RNGSeed seed, bool ingroupOnly)
{
    qel_printf("\n%s with %s search:\n", permTestName(p), permOpt.search == 1 ? "branch-and-bound" : "heuristic");
    if (p.test == kTPTP) {
        char text[kMaxConstraintName + 64];
        makeConstrString(p.constraint, text, sizeof text);
        qel_printf("  Testing %s\n", text);
    } else if (p.test == kCompare2) {
        qel_printf("  Comparing constraint-trees \"%s\" and \"%s\"\n", p.first->name, p.second->name);
    }
    qel_printf("  Starting seed = %s\n", seedString(seed).c_str());
    qel_printf("  Number of replicates = %u\n", nreps);
    qel_printf("  %s taxa randomized\n", ingroupOnly ? "Only ingroup" : "All");
}

}  // namespace

int doPermuteCmd()
{
    DataInfo *d = activeDataInfo();
    if (gCriterion != kCriterionParsimony)
        return qel_errorMsg(557, "Permutation tests are only available when optimality criterion is parsimony.");
    if (!d || !(d->flags & kHaveCharacters))
        return qel_errorMsg(0, "Character data are required for permutation tests.");
    if (checkCharStatusUpdate(d) != 0)
        return 1;
    const int read = readTestOptions(OptionSet::kPermute, permOpt.search == 1);
    if (read != 0)
        return read < 0 ? 0 : 1;
    if (!d->matrix && !(d->compactStorage && d->patternMatrix && d->patternIndex))
        return qel_errorMsg(0, "The data matrix is not available for permutation.");
    PermTest p;
    p.data = d;
    p.test = permOpt.test;
    p.compact = !d->matrix;
    p.twoTree = p.test != kPTP;
    if (checkPermConstraints(p) != 0)
        return 1;
    const auto ntax = static_cast<uint32_t>(std::max(d->nActive, 0));
    for (uint32_t t = 0; t < ntax; t++)
        p.rows.push_back(d->taxa.activeToOriginal[t]);
    const bool ingroupOnly = permOpt.randomize == 1;
    bool anyOutgroup = false;
    for (uint32_t t = 0; t < ntax; t++)
        anyOutgroup |= isOutgroupTip(t, d);
    if (ingroupOnly && !anyOutgroup)
        qel_warningMsg(558, "Ingroup-only randomization requested but no outgroup has been defined. All taxa will be "
                            "permuted.");
    for (uint32_t t = 0; t < ntax; t++)
        if (!(ingroupOnly && anyOutgroup && isOutgroupTip(t, d)))
            p.permuted.push_back(t);
    if (isRootedSearch(d))
        qel_warningMsg(559, "When directed characters are present or an ancestor is included ancestral states are "
                            "not permuted.");
    for (uint32_t c = 0; c < d->nchar; c++)
        if (isCharIncluded(d, c))
            p.chars.push_back(c);

    const Constraint *savedActive = getActiveConstraint();
    const uint8_t savedEnforce = srch.enforce, savedConverse = srch.converse;
    TestCleanup cleanup;
    cleanup.restore = [&] {
        restoreMatrix(p);
        setActiveConstraint(const_cast<Constraint *>(savedActive));
        srch.enforce = savedEnforce;
        srch.converse = savedConverse;
    };
    if (saveMatrix(p) != 0)
        return 1;
    const auto nreps = static_cast<uint32_t>(std::max(permOpt.nreps, 1));
    p.dist = createScoreDistrib(nreps);
    const RNGSeed seed = seedForRun(permOpt.pseed);
    initRNG(&p.rng, seed);
    const bool ingroup = ingroupOnly && anyOutgroup;
    const ReplicatedHeadingScope heading([&p, nreps, seed, ingroup] { showPermTestSettings(p, nreps, seed, ingroup); });
    setStatusText("Doing permutation test...");
    if (p.twoTree) {
        // The searches enforce a constraint unit by unit; the first one is
        // named before the search is set up.
        setActiveConstraint(p.test == kTPTP ? p.constraint : p.first);
        srch.enforce = 1;
        srch.converse = 0;
    }
    gPerm = &p;
    const ReplicateHooks hooks{nreps * (p.twoTree ? 2 : 1), doPermAndConstr, storePermTestResults,
                               p.twoTree ? 2u : 1u};
    setReplicateHooks(&hooks);
    gSearchState.replicatedKind = kReplicatedPermute;
    const int status = runTestSearch(d, permOpt.search == 1);
    gPerm = nullptr;
    emptyTreeBuffer(getMainTreeBuffer(nullptr), true);
    const uint32_t sets = p.twoTree ? p.unitsDone / 2 : p.unitsDone;
    if (sets > 0 && (status == 0 || status == 2)) {
        if (status == 2)
            qel_printf("\nPermutation test stopped by the user after %u replicates.\n", sets);
        showPermResults(p);
    }
    return status;
}

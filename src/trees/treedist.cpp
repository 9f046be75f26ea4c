#include "trees/treedist.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "cli/qel_cmdline.h"
#include "cli/qel_cmdoptions.h"
#include "cli/shell_settings.h"
#include "data/vorn_data.h"
#include "qel/qel_auxout.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_malloc.h"
#include "qel/qel_multithread.h"
#include "qel/qel_output.h"
#include "qel/qel_oututil.h"
#include "qel/qel_progress.h"
#include "trees/abcdist.h"
#include "trees/agree.h"
#include "trees/tree_settings.h"
#include "trees/treebuf.h"
#include "trees/treebuf_extras.h"
#include "trees/treelist.h"

namespace {

using TablePtr = std::unique_ptr<SplitsTable, decltype(&destroySplitsTable)>;

TablePtr makeTable(uint32_t ntax, uint32_t capacity, uint32_t flags)
{
    return TablePtr(createSplitsTable(ntax, capacity, flags), destroySplitsTable);
}

// The node whose children the splits of a tree lie below: the single child
// of the root (a tip, or the ancestor node of a rooted tree), else the root.
TreeNode *basalFork(Tree *tree)
{
    TreeNode *root = tree->root;
    return root->firstChild && !root->firstChild->nextSib ? root->firstChild : root;
}

}  // namespace

SplitsTable *makeReferenceSplits(Tree *tree)
{
    TablePtr table = makeTable(tree->ntax, tree->ntax, kSplitsCounts);
    if (!table || updateSplitsTableFromTree(table.get(), tree, 0, true, 1.0) != 0)
        return nullptr;
    return table.release();
}

uint32_t robinsonFouldsDist(const SplitsTable *reference, Tree *tree, uint32_t *falsePositives,
                            uint32_t *falseNegatives)
{
    checkLeafSets(tree);
    checkTraversalSeq(tree);
    const TreeNode *stop = basalFork(tree);
    const uint32_t a = numSplitsInTable(reference);
    uint32_t b = 0, m = 0;
    for (TreeNode *n = tree->tail; n && n != stop; n = n->prev) {
        if (!n->firstChild || !n->anc)
            continue;
        b++;
        if (findMatchingSplit(reference, n->leafSet, nullptr) != kNoSplit)
            m++;
    }
    if (falsePositives)
        *falsePositives = b - m;
    if (falseNegatives)
        *falseNegatives = a - m;
    return a + b - 2 * m;
}

// ---------------------------------------------------------------------------
// All pairs

namespace {

struct PairCounter {
    TreeBuffer *buf;
    const std::vector<uint32_t> &trees;
    SplitsTable *table;
    std::vector<uint32_t> splitCounts;  // per list position
    std::vector<uint32_t> shared;       // block x block, [row - rowFirst][column - columnFirst]
    std::vector<uint32_t> members;      // scratch: the list positions holding one split
    uint32_t block;
    TreeDistProgress progress;
    void *context;

    // Enters the splits of the trees at list positions [from, to), each
    // under its position as member tree number.
    int enter(uint32_t from, uint32_t to)
    {
        for (uint32_t p = from; p < to; p++) {
            const uint32_t before = table->nextMember;
            uint32_t tips = 0;
            if (updateSplitsTableFromStoredTree(table, buf, trees[p], p, true, 1.0, &tips) != 0)
                return 1;
            if (tips != table->ntax)
                return qel_errorMsg(0, "One or more taxa missing from tree %d; cannot compute tree distances.",
                                    static_cast<int>(trees[p]));
            splitCounts[p] = table->nextMember - before;
            if (progress)
                if (int status = progress(context); status != 0)
                    return status;
        }
        return 0;
    }

    // For every split and every pair of its member entries e1 before e2,
    // e1's tree in the column range and e2's in the row range.
    void countMatchingSplits(uint32_t rowFirst, uint32_t rowEnd, uint32_t columnFirst, uint32_t columnEnd)
    {
        for (uint32_t i = 0; i < numSplitsInTable(table); i++) {
            members.clear();
            for (uint32_t e = table->memberFirst[i]; e != kNoSplit; e = table->memberNext[e])
                members.push_back(table->memberTree[e]);
            for (size_t x = 1; x < members.size(); x++) {
                const uint32_t row = members[x];
                if (row < rowFirst || row >= rowEnd)
                    continue;
                uint32_t *line = shared.data() + size_t(row - rowFirst) * block;
                for (size_t y = 0; y < x; y++) {
                    const uint32_t column = members[y];
                    if (column >= columnFirst && column < columnEnd && column < row)
                        line[column - columnFirst]++;
                }
            }
        }
    }
};

}  // namespace

int symDiffAllPairs(TreeBuffer *buf, const std::vector<uint32_t> &trees, uint32_t blockSize,
                    std::vector<uint32_t> &out, TreeDistProgress progress, void *context)
{
    const auto n = static_cast<uint32_t>(trees.size());
    blockSize = std::max(1u, std::min(blockSize, std::max(n, 1u)));
    const uint32_t s = buf->ntax;  // splits per tree stay below the taxon count
    TablePtr table = makeTable(buf->ntax, std::min(n, 5u) * s, kSplitsMembers);
    if (!table)
        return 1;
    try {
        out.assign(size_t(n) * (n > 0 ? n - 1 : 0) / 2, 0);
        PairCounter pc{buf, trees, table.get(), std::vector<uint32_t>(n), {}, {}, blockSize, progress, context};
        pc.shared.resize(size_t(blockSize) * blockSize);
        for (uint32_t rowFirst = 0; rowFirst < n; rowFirst += blockSize) {
            const uint32_t rowEnd = std::min(n, rowFirst + blockSize);
            for (uint32_t columnFirst = 0; columnFirst <= rowFirst; columnFirst += blockSize) {
                const uint32_t columnEnd = std::min(n, columnFirst + blockSize);
                resetSplitsTable(table.get());
                std::fill(pc.shared.begin(), pc.shared.end(), 0);
                if (columnFirst != rowFirst)
                    if (int status = pc.enter(columnFirst, columnEnd); status != 0)
                        return status;
                if (int status = pc.enter(rowFirst, rowEnd); status != 0)
                    return status;
                pc.countMatchingSplits(rowFirst, rowEnd, columnFirst, columnEnd);
                for (uint32_t i = rowFirst; i < rowEnd; i++)
                    for (uint32_t j = columnFirst; j < columnEnd && j < i; j++)
                        out[size_t(i) * (i - 1) / 2 + j] =
                            pc.splitCounts[i] + pc.splitCounts[j] -
                            2 * pc.shared[size_t(i - rowFirst) * blockSize + (j - columnFirst)];
            }
        }
    } catch (const std::bad_alloc &) {
        reportMemoryFailure();
        return 1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Branch score

namespace {

// Every edge of the tree as its split, with the edge's length as weight
// (two edges of one split, as at the root of an unrooted tree held at the
// ancestor node, add up). Unrooted splits are taken on the side without
// the first taxon, so that trees held at different tips agree.
TablePtr edgeSplits(Tree *tree)
{
    checkLeafSets(tree);
    checkTraversalSeq(tree);
    const uint32_t ntax = tree->ntax;
    const bool rooted = (tree->flags & kTreeRootedAtAnc) != 0;
    TablePtr table = makeTable(ntax, 2 * ntax, kSplitsWeights);
    if (!table)
        return table;
    std::vector<uint64_t> split(splitWords(ntax));
    for (TreeNode *n = tree->root; n; n = n->next) {
        if (n == tree->root)
            continue;
        std::fill(split.begin(), split.end(), 0);
        if (n->firstChild)
            std::copy_n(n->leafSet, split.size(), split.begin());
        else
            split[n->index / 64] |= uint64_t{1} << (n->index % 64);
        if (!rooted && (split[0] & 1)) {
            for (size_t w = 0; w < split.size(); w++)
                split[w] = ~split[w];
            if (ntax % 64)
                split.back() &= (uint64_t{1} << (ntax % 64)) - 1;
        }
        if (!updateTableWithSplit(table.get(), split.data(), 0, true, n->edge.brlen))
            return TablePtr(nullptr, destroySplitsTable);
    }
    return table;
}

}  // namespace

int calcKFBranchScore(Tree *a, Tree *b, double *score)
{
    *score = 0.0;
    TablePtr ea = edgeSplits(a), eb = edgeSplits(b);
    if (!ea || !eb)
        return 1;
    double sum = 0.0;
    for (uint32_t i = 0; i < numSplitsInTable(ea.get()); i++) {
        const uint32_t j = findMatchingSplit(eb.get(), getSplitFromTable(ea.get(), i), nullptr);
        const double other = j == kNoSplit ? 0.0 : eb->weights[j];
        sum += (other - ea->weights[i]) * (other - ea->weights[i]);
    }
    for (uint32_t j = 0; j < numSplitsInTable(eb.get()); j++)
        if (findMatchingSplit(ea.get(), getSplitFromTable(eb.get(), j), nullptr) == kNoSplit)
            sum += eb->weights[j] * eb->weights[j];
    *score = sum;
    return 0;
}
// ---------------------------------------------------------------------------
// The TreeDist command

namespace {

const char *measureName(uint32_t measure)
{
    switch (measure) {
    case kTreeDistAgD1:
        return "\"d1\" agreement";
    case kTreeDistAgreement:
        return "\"d\" agreement";
    case kTreeDistABC:
        return "ABC";
    case kTreeDistMatching:
        return "matching";
    default:
        return "symmetric difference (RF x 2)";
    }
}

struct TreeDistRun {
    TreeBuffer *buf = nullptr;
    uint32_t measure = kTreeDistSymDiff;
    uint32_t ntax = 0;
    bool rooted = false;
    std::vector<uint32_t> trees;  // listed tree numbers, increasing
    uint32_t refTree = 0;
    uint32_t largest = 0;         // the measure's largest possible value
    uint32_t s = 0;               // the most splits a tree has
    std::vector<double> values;   // all pairs: lower half; reference: one per listed tree
    std::vector<uint32_t> falsePlus, falseMinus;
    bool fractional = false;      // some distance is not an integer
    bool toFile = false;
    ProgData *progress = nullptr;
    ScaledProgress scale;
    // Work records of the measures other than the symmetric difference.
    AgreementWorkPtr agree;
    std::unique_ptr<LAPMatching, decltype(&destroyLAPMatching)> lap{nullptr, destroyLAPMatching};
    SplitsList refSplits, workSplits;
    PtnSets refSets, workSets;
};

uint32_t digits(uint32_t v) { return static_cast<uint32_t>(std::to_string(v).size()); }

int advance(void *context)
{
    auto *run = static_cast<TreeDistRun *>(context);
    return run->scale.step(run->progress) == kProgressAborted ? 2 : 0;
}

void writeValue(const TreeDistRun &run, double v)
{
    if (run.measure == kTreeDistAgreement)
        auxPrintf("\t%f", v);
    else
        auxPrintf("\t%u", static_cast<unsigned>(v));
}

// Makes ref the reference of the split-based measures.
void setReference(TreeDistRun &run, Tree *ref)
{
    if (run.measure != kTreeDistABC && run.measure != kTreeDistMatching)
        return;
    makeSplitsListFromTree(ref, &run.refSplits);
    if (run.measure == kTreeDistABC)
        initializePtnSetsForABC(&run.refSplits, run.ntax, run.refSets);
}

// The distance of tree from ref (ref's reference made by setReference, or
// the reference table of the symmetric difference). 0, 1.
int oneDistance(TreeDistRun &run, Tree *ref, const SplitsTable *table, Tree *tree, size_t slot)
{
    switch (run.measure) {
    case kTreeDistABC:
        run.values[slot] = abcDist(ref, run.refSets, run.refSplits.count, tree, &run.workSplits, run.workSets, run.ntax);
        return 0;
    case kTreeDistMatching:
        run.values[slot] = matchingDist(&run.refSplits, &run.workSplits, tree, run.lap.get());
        return 0;
    case kTreeDistAgD1:
    case kTreeDistAgreement: {
        uint32_t d1 = 0;
        double d = 0.0;
        if (int status = calcDistanceForOnePair(run.agree.get(), ref, tree, run.measure == kTreeDistAgreement, &d1, &d);
            status != 0)
            return status;
        run.values[slot] = run.measure == kTreeDistAgreement ? d : d1;
        return 0;
    }
    default:
        run.values[slot] = robinsonFouldsDist(table, tree, &run.falsePlus[slot], &run.falseMinus[slot]);
        return 0;
    }
}

int fromReference(TreeDistRun &run)
{
    TreeHandle ref(createTree(true)), work(createTree(true));
    if (!ref || !work || getTree(run.buf, run.refTree, ref.get()) != 0)
        return 1;
    if (verifyFullLeafSet(ref.get(), run.refTree, "; cannot compute tree distances") != 0)
        return 1;
    TablePtr reference(nullptr, destroySplitsTable);
    if (run.measure == kTreeDistSymDiff) {
        reference.reset(makeReferenceSplits(ref.get()));
        if (!reference)
            return 1;
    }
    setReference(run, ref.get());
    if (run.toFile)
        auxPrintf("tree\tdistance to tree %d\n", static_cast<int>(run.refTree));
    const auto n = run.trees.size();
    run.values.assign(n, 0);
    run.falsePlus.assign(n, 0);
    run.falseMinus.assign(n, 0);
    for (size_t k = 0; k < n; k++) {
        const uint32_t number = run.trees[k];
        if (number == run.refTree)
            continue;
        if (getTree(run.buf, number, work.get()) != 0)
            return 1;
        if (verifyFullLeafSet(work.get(), number, "; cannot compute tree distances") != 0)
            return 1;
        if (int status = oneDistance(run, ref.get(), reference.get(), work.get(), k); status != 0)
            return status;
        if (run.toFile) {
            auxPrintf("%d", static_cast<int>(number));
            writeValue(run, run.values[k]);
            auxPuts("\n");
        }
        if (advance(&run) != 0)
            return 2;
    }
    return 0;
}

void writeAllPairsHead(const TreeDistRun &run)
{
    auxPuts("tree");
    for (size_t k = 0; k < run.trees.size(); k++)
        auxPrintf("\t%d", static_cast<int>(k + 1));
    auxPuts("\n1\t0\n");
}

// Every pair of the measures compared tree by tree: tree i is the reference
// of trees 1..i-1.
int allPairsOneByOne(TreeDistRun &run)
{
    const auto n = run.trees.size();
    run.values.assign(n * (n - 1) / 2, 0);
    TreeHandle ref(createTree(true)), work(createTree(true));
    if (!ref || !work)
        return 1;
    for (size_t k = 0; k < n; k++) {
        if (getTree(run.buf, run.trees[k], work.get()) != 0)
            return 1;
        if (verifyFullLeafSet(work.get(), run.trees[k], "; cannot compute tree distances") != 0)
            return 1;
    }
    if (run.toFile)
        writeAllPairsHead(run);
    for (size_t i = 1; i < n; i++) {
        if (getTree(run.buf, run.trees[i], ref.get()) != 0)
            return 1;
        setReference(run, ref.get());
        if (run.toFile)
            auxPrintf("%d", static_cast<int>(i + 1));
        for (size_t j = 0; j < i; j++) {
            if (getTree(run.buf, run.trees[j], work.get()) != 0)
                return 1;
            const size_t slot = i * (i - 1) / 2 + j;
            if (int status = oneDistance(run, ref.get(), nullptr, work.get(), slot); status != 0)
                return status;
            if (run.toFile)
                writeValue(run, run.values[slot]);
            if (advance(&run) != 0)
                return 2;
        }
        if (run.toFile)
            auxPuts("\t0\n");
    }
    return 0;
}

int allPairs(TreeDistRun &run)
{
    if (run.measure != kTreeDistSymDiff)
        return allPairsOneByOne(run);
    std::vector<uint32_t> counts;
    if (int status = symDiffAllPairs(run.buf, run.trees, kTreeDistBlock, counts, advance, &run); status != 0)
        return status;
    run.values.assign(counts.begin(), counts.end());
    if (run.toFile) {
        writeAllPairsHead(run);
        for (size_t i = 1; i < run.trees.size(); i++) {
            auxPrintf("%d", static_cast<int>(i + 1));
            for (size_t j = 0; j < i; j++)
                auxPrintf("\t%d", static_cast<int>(counts[i * (i - 1) / 2 + j]));
            auxPuts("\t0\n");
        }
    }
    return 0;
}

std::string titleOf(const TreeDistRun &run)
{
    std::string title = std::string("Distribution of ") + measureName(run.measure) + " distances ";
    title += run.refTree ? "to tree " + std::to_string(run.refTree) : std::string("between trees");
    return title;
}

uint32_t largestShown(const TreeDistRun &run)
{
    double biggest = 0;
    for (double v : run.values)
        biggest = std::max(biggest, v);
    return static_cast<uint32_t>(biggest);
}

void printValue(const TreeDistRun &run, int width, double v)
{
    qel_printf("%*.*f", width, run.fractional ? 4 : 0, v);
}

void showReferenceTable(const TreeDistRun &run, bool errorRates)
{
    const int width = static_cast<int>(std::max(digits(run.trees.back()), digits(largestShown(run)) +
                                                                              (run.fractional ? 5 : 0)) +
                                       1);
    constexpr int kLabel = 13;
    const uint32_t perChunk = maxOutputColumns(static_cast<uint32_t>(width), kLabel);
    for (size_t from = 0; from < run.trees.size(); from += perChunk) {
        const size_t to = std::min(run.trees.size(), from + perChunk);
        qel_printf("\n\n%-*s", kLabel, "Tree number");
        for (size_t k = from; k < to; k++)
            qel_printf("%*d", width, static_cast<int>(run.trees[k]));
        auto row = [&](const char *label, auto value) {
            qel_printf("\n%-*s", kLabel, label);
            for (size_t k = from; k < to; k++) {
                if (run.trees[k] == run.refTree)
                    qel_printf("%*c", width, '-');
                else
                    value(k);
            }
        };
        row("Distance", [&](size_t k) { printValue(run, width, run.values[k]); });
        if (errorRates) {
            row("False +", [&](size_t k) { qel_printf("%*d", width, static_cast<int>(run.falsePlus[k])); });
            row("False -", [&](size_t k) { qel_printf("%*d", width, static_cast<int>(run.falseMinus[k])); });
        }
    }
    qel_printf("\n");
}

void showMatrix(const TreeDistRun &run, const std::string &title)
{
    const auto n = static_cast<uint32_t>(run.trees.size());
    const int labelWidth = static_cast<int>(digits(run.trees.back()) + 1);
    const int width = static_cast<int>(std::max(digits(run.trees.back()), digits(largestShown(run)) +
                                                                              (run.fractional ? 5 : 0)) +
                                       1);
    const uint32_t perChunk = maxOutputColumns(static_cast<uint32_t>(width), static_cast<uint32_t>(labelWidth));
    for (uint32_t from = 0; from < n; from += perChunk) {
        const uint32_t to = std::min(n, from + perChunk);
        if (from > 0)
            qel_printf("\n%s (continued)", title.c_str());
        qel_printf("\n\n%*s", labelWidth, "");
        for (uint32_t k = from; k < to; k++)
            qel_printf("%*d", width, static_cast<int>(run.trees[k]));
        for (uint32_t i = from; i < n; i++) {
            if (getAbortedStatus())
                return;
            qel_printf("\n%-*d", labelWidth, static_cast<int>(run.trees[i]));
            for (uint32_t j = from; j < std::min(i, to); j++)
                printValue(run, width, run.values[size_t(i) * (i - 1) / 2 + j]);
            if (i < to)
                qel_printf("%*c", width, '-');
        }
        qel_printf("\n");
    }
}

void showDistribution(const TreeDistRun &run, const std::string &title)
{
    // Fractional distances are counted by their integer part. The agreement
    // distance's fractional term can reach past the largest whole value, so
    // the table reaches the largest distance seen: a value is never counted
    // in a bin below its own.
    uint32_t top = run.largest;
    for (const double value : run.values)
        top = std::max(top, static_cast<uint32_t>(value));
    std::vector<uint32_t> counts(size_t(top) + 1, 0);
    bool allEven = run.measure != kTreeDistAgD1 && run.measure != kTreeDistAgreement;
    uint32_t lo = top, hi = 0, seen = 0;
    for (size_t k = 0; k < run.values.size(); k++) {
        if (run.refTree && run.trees[k] == run.refTree)
            continue;
        const uint32_t v = static_cast<uint32_t>(run.values[k]);
        counts[v]++;
        seen++;
        allEven &= v % 2 == 0;
        lo = std::min(lo, v);
        hi = std::max(hi, v);
    }
    if (seen == 0)
        return;
    const uint32_t step = allEven ? 2 : 1;
    uint32_t most = 0;
    for (uint32_t v = lo; v <= hi; v += step)
        most = std::max(most, counts[v]);
    if (most == 0)
        return;
    const bool normed = !run.fractional && (run.measure == kTreeDistSymDiff || run.measure == kTreeDistAgD1);
    const int labelWidth = static_cast<int>(std::max(digits(hi), 1u));
    const int label = run.fractional ? 2 * labelWidth + 9 : normed ? labelWidth + 10 : labelWidth + 2;
    const int countWidth = static_cast<int>(digits(most)) + 3;
    const int area = std::max(10, static_cast<int>(maxOutputColumns(1, 0)) - label - 3 - countWidth);
    const double scale = static_cast<double>(area) / most;
    qel_printf("\n%s\n\n", title.c_str());
    if (run.fractional)
        qel_printf("%*s\n", 2 * labelWidth + 7, "D range");
    else
        qel_printf(normed ? "%*s  normD\n" : "%*s\n", labelWidth, "D");
    const std::string dashes(static_cast<size_t>(area), '-');
    qel_printf("%*s /%s\n", label - 2, "", dashes.c_str());
    for (uint32_t v = lo; v <= hi; v += step) {
        if (run.fractional)
            qel_printf("%*d.00-%*d.99 |", labelWidth, static_cast<int>(v), labelWidth, static_cast<int>(v));
        else if (!normed)
            qel_printf("%*d |", labelWidth, static_cast<int>(v));
        else if (run.largest)
            qel_printf("%*d (%4.3f) |", labelWidth, static_cast<int>(v), static_cast<double>(v) / run.largest);
        else
            qel_printf("%*d (  -  ) |", labelWidth, static_cast<int>(v));
        const std::string bar(static_cast<size_t>(std::floor(counts[v] * scale + 0.5)), '#');
        qel_printf("%s (%d)\n", bar.c_str(), static_cast<int>(counts[v]));
    }
    qel_printf("%*s \\%s\n", label - 2, "", dashes.c_str());
}

int treeDistThreadProc(void *context)
{
    auto &run = *static_cast<TreeDistRun *>(context);
    const int status = run.refTree ? fromReference(run) : allPairs(run);
    hideProgressWindow(run.progress);
    if (status != 0)
        return status;
    for (size_t k = 0; k < run.values.size(); k++)
        if (!(run.refTree && run.trees[k] == run.refTree))
            run.fractional |= run.values[k] != std::floor(run.values[k]);
    const std::string title = titleOf(run);
    if (tdOpt.showAll) {
        std::string shown = title;
        shown[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(shown[0])));
        qel_printf("\n%s", shown.c_str());
        if (run.refTree)
            showReferenceTable(run, tdOpt.errorRates != 0 && run.measure == kTreeDistSymDiff);
        else
            showMatrix(run, shown);
    }
    if (tdOpt.fd)
        showDistribution(run, title);
    return getAbortedStatus() ? 2 : 0;
}

// Sizes the run for its measure; 1 when memory ran out.
int prepareMeasure(TreeDistRun &run)
{
    const uint32_t ntax = run.ntax;
    run.s = ntax >= 3 ? ntax - 3 + (run.rooted ? 1 : 0) : 0;
    switch (run.measure) {
    case kTreeDistAgD1:
    case kTreeDistAgreement:
        run.largest = ntax + (run.rooted ? 1 : 0) >= 3 ? ntax + (run.rooted ? 1 : 0) - 3 : 0;
        run.agree = initializeAgreement(ntax, run.rooted);
        return run.agree ? 0 : 1;
    case kTreeDistABC:
        run.largest = (ntax / 2 * 2) * run.s;
        break;
    case kTreeDistMatching:
        run.largest = run.s * run.s;
        run.lap.reset(createLAPMatching(std::max(1u, run.s)));
        if (!run.lap)
            return 1;
        break;
    default:
        run.largest = 2 * run.s;
        return 0;
    }
    for (SplitsList *list : {&run.refSplits, &run.workSplits}) {
        list->ntax = ntax;
        list->words = splitWords(ntax);
    }
    return 0;
}

}  // namespace

int doTreeDistCmd()
{
    if (int rc = noTreesAvailable(false, 0, nullptr); rc != 0)
        return rc;
    TreeBuffer *buf = getMainTreeBuffer(nullptr);
    const uint32_t inMemory = numTreesInBuffer(buf);
    SetHandle listSet(allocSet(inMemory));
    if (!listSet || getTreeList(listSet.get(), true, false) != 0)
        return 1;
    tdOpt.file[0] = '\0';
    tdOpt.saveToFile = 0;
    gReplaceFile = gAppendToFile = 0;
    const int got = getCmdParams(OptionSet::kTreeDist, ";", nullptr);
    if (got <= 0)
        return got < 0 ? 0 : 1;
    if (!tdOpt.showAll && !tdOpt.fd)
        return qel_errorMsg(727, "Nothing for \"%s\" to do. Request either 'ShowAll' or 'FD'.", "TreeDist");
    if (tdOpt.refTree > inMemory)
        return qel_errorMsg(749, "You must specify a tree number between %d and %d", 1, static_cast<int>(inMemory));

    TreeDistRun run;
    run.buf = buf;
    run.measure = tdOpt.measure;
    run.refTree = tdOpt.refTree;
    run.ntax = buf->ntax;
    run.rooted = areTreesRooted(buf);
    bool anyListed = false;
    for (uint32_t k = 0; k < inMemory; k++)
        anyListed |= isSetMember(listSet.get(), k) && isTreeVisible(k);
    for (uint32_t k = 0; k < inMemory; k++)
        if ((anyListed ? isSetMember(listSet.get(), k) && isTreeVisible(k) : isTreeVisible(k)) ||
            k + 1 == run.refTree)
            run.trees.push_back(k + 1);
    if (run.trees.size() > 65536)
        return qel_errorMsg(0, "VORN currently enforces a limit of 65536 trees for tree-to-tree distances.");
    // Worded and numbered as the refusal without trees in memory.
    if (run.trees.size() < 2)
        return qel_errorMsg(704, "There are fewer than two trees to compare.\tThe '%s' command requires the presence "
                                 "of at least two trees.",
                            "TreeDist");
    if (prepareMeasure(run) != 0)
        return 1;

    run.toFile = tdOpt.file[0] != '\0';
    AuxOut *aux = nullptr;
    int openStatus = 1;
    if (run.toFile && !(aux = openAuxOutStream(tdOpt.file, gReplaceFile != 0, gAppendToFile != 0, &openStatus)))
        return openStatus;
    const auto n = static_cast<uint32_t>(run.trees.size());
    const uint32_t blocks = (n + kTreeDistBlock - 1) / kTreeDistBlock;
    const uint64_t steps = run.refTree                         ? n
                           : run.measure == kTreeDistSymDiff ? uint64_t{blocks} * n
                                                             : uint64_t{n} * (n - 1) / 2;
    run.progress = createProgressWindow(run.scale.begin(steps), 0, "Computing tree-to-tree distances");
    int status = runOutputThread(treeDistThreadProc, &run);
    destroyProgressWindow(run.progress);
    if (aux) {
        std::string shown = auxPathnameForDisplay(aux, 255);
        if (status == 1)
            discardAuxOutStream(aux);
        else if (closeAuxOutStream(aux) != 0 && status == 0)
            status = 1;
        if (status == 0)
            qel_printf("\nTree-to-tree distances written to file: %s\n", shown.c_str());
    }
    return status;
}

// Tally: how the trees in memory compare with the true tree of the
// replicate (the share of its groups found, whether no wrong group was
// found, and the branch-score distance), kept for the results file.
#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

#include "cli/qel_cmdline.h"
#include "cli/qel_commands.h"
#include "data/prepdata.h"
#include "data/taxstat.h"
#include "data/vorn_data.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_time.h"
#include "search/search_settings.h"
#include "selection/simblock.h"
#include "selection/simblock_state.h"
#include "trees/drawtree.h"
#include "trees/treebuf.h"
#include "trees/treebuf_extras.h"
#include "trees/treeutil.h"

namespace {

using Split = std::vector<uint64_t>;

// The numbers under which the clustering commands keep their trees, with
// the lengths they found, beside the trees in memory.
constexpr uint32_t kSpecialNJ = 9;
constexpr uint32_t kSpecialUPGMA = 10;

// A tip's taxon in the numbering of the block's taxa, or -1 for a taxon
// deleted since: the true trees are numbered over every taxon of the block,
// the trees in memory over the active ones (activeNumbers), and the groups
// compared are those of the taxa that remain.
int32_t tipTaxon(const TreeNode *n, bool activeNumbers, uint32_t ntax)
{
    const DataInfo *d = activeDataInfo();
    if (n->index < 0)
        return -1;
    auto t = static_cast<uint32_t>(n->index);
    if (d != nullptr && static_cast<uint32_t>(d->nActive) < d->ntax) {
        // Internal nodes are numbered after the tips.
        if (activeNumbers)
            t = t < static_cast<uint32_t>(d->nActive) ? d->taxa.activeToOriginal[t] : ntax;
        if (t < d->ntax && isDeletedTaxon(t, d))
            return -1;
    }
    return t < ntax ? static_cast<int32_t>(t) : -1;
}

// The nodes of a tree in preorder, first child first (the order in which
// the simulation walks a true tree), each but the root with the split of
// its edge: unrooted, held on the side without the lowest taxon. Deleted
// taxa are in no split: the edges a pruning would join share one.
std::vector<std::pair<const TreeNode *, Split>> edgeSplitsInPreorder(const Tree *tree, bool rooted, uint32_t ntax,
                                                                     bool activeNumbers = false)
{
    const uint32_t words = (ntax + 63) / 64;
    std::vector<const TreeNode *> order;
    std::vector<const TreeNode *> stack{simTreeRoot(tree)};
    while (!stack.empty()) {
        const TreeNode *n = stack.back();
        stack.pop_back();
        order.push_back(n);
        std::vector<const TreeNode *> kids;
        for (const TreeNode *c = n->firstChild; c; c = c->nextSib)
            kids.push_back(c);
        stack.insert(stack.end(), kids.rbegin(), kids.rend());
    }
    std::map<const TreeNode *, Split> below;
    Split all(words, 0);
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
        const TreeNode *n = *it;
        Split s(words, 0);
        if (const int32_t t = tipTaxon(n, activeNumbers, ntax); t >= 0) {
            s[static_cast<uint32_t>(t) / 64] |= uint64_t{1} << (t % 64);
            all[static_cast<uint32_t>(t) / 64] |= uint64_t{1} << (t % 64);
        }
        for (const TreeNode *c = n->firstChild; c; c = c->nextSib)
            for (uint32_t w = 0; w < words; ++w)
                s[w] |= below[c][w];
        below[n] = std::move(s);
    }
    uint32_t lowest = 0;
    while (lowest < ntax && !(all[lowest / 64] >> (lowest % 64) & 1))
        ++lowest;
    std::vector<std::pair<const TreeNode *, Split>> out;
    for (const TreeNode *n : order) {
        Split s = below[n];
        if (n != order.front() && !rooted && (s[lowest / 64] >> (lowest % 64) & 1))
            for (uint32_t w = 0; w < words; ++w)
                s[w] = all[w] & ~s[w];
        out.emplace_back(n, std::move(s));
    }
    return out;
}

bool isSplitOfNoTaxa(const Split &s)
{
    return std::all_of(s.begin(), s.end(), [](uint64_t x) { return x == 0; });
}

// Every edge's split with its length. Unrooted: each split is held on the
// side without the lowest taxon and the two edges at a rooted tree's root
// merge into one. Trivial splits (one taxon) are kept for the branch score.
std::map<Split, double> splitsOf(const Tree *tree, bool rooted, uint32_t ntax, bool activeNumbers)
{
    std::map<Split, double> out;
    const auto edges = edgeSplitsInPreorder(tree, rooted, ntax, activeNumbers);
    const Split &all = edges.front().second;
    for (const auto &[n, s] : edges) {
        if (n == edges.front().first || s == all || isSplitOfNoTaxa(s))
            continue;
        out[s] += n->edge.brlen;
    }
    return out;
}

uint32_t splitSizeOf(const Split &s)
{
    uint32_t n = 0;
    for (uint64_t w : s)
        n += static_cast<uint32_t>(__builtin_popcountll(w));
    return n;
}

std::vector<Split> groupsOf(const std::map<Split, double> &splits, uint32_t leaves, bool rooted)
{
    std::vector<Split> groups;
    for (const auto &[s, len] : splits) {
        const uint32_t k = splitSizeOf(s);
        if (k >= 2 && (rooted || k + 2 <= leaves))
            groups.push_back(s);
    }
    return groups;  // sorted: the map is ordered
}

double branchScore(const std::map<Split, double> &a, const std::map<Split, double> &b)
{
    double sum = 0.0;
    for (const auto &[s, len] : a) {
        auto it = b.find(s);
        const double d = len - (it == b.end() ? 0.0 : it->second);
        sum += d * d;
    }
    for (const auto &[s, len] : b)
        if (!a.count(s))
            sum += len * len;
    return sum;
}

// Tree-source codes of neighbor-joining and UPGMA trees.
bool isClusteredSource()
{
    const uint32_t source = getTreeSource();
    return source == 4 || source == 5;
}

// The found tree n with branch lengths for the branch score, or null when
// its lengths are gone (reported once per tally).
bool loadFoundLengths(uint32_t n, Tree *tree, bool *reported)
{
    // The clustering commands' trees outlive the trees they were made for:
    // once a search has replaced them in memory, their lengths belong to
    // other trees and must not be scored against the true tree.
    const bool clustered = isClusteredSource();
    const uint32_t kind = clustered && n < gSpecialTree.count ? gSpecialTree.values[n] : 0;
    if ((kind == kSpecialNJ || kind == kSpecialUPGMA) && copySpecialTree(n, tree) == 0)
        return true;
    if (!clustered && haveUserBranchLengths())
        return getTree(getMainTreeBuffer(nullptr), n + 1, tree) == 0;
    // Likelihood and distance trees carry no lengths in memory: they are
    // fitted to the replicate's data and rooted, as when they are drawn.
    if (!clustered && (gCriterion == kCriterionLikelihood || gCriterion == kCriterionDistance)) {
        DataInfo *d = activeDataInfo();
        const uint32_t prep = gCriterion == kCriterionLikelihood ? kPrepLikelihood : kPrepDistance;
        if (prepareData(prep, 0, false) == 0 &&
            prepTreeForDrawing(tree, d, n + 1, false, false, true, false, false, nullptr) == 0)
            return true;
        if (!*reported)
            qel_warningMsg(0, "Branch lengths of tree %u could not be fitted under the current criterion; \"BS\" "
                              "is written as '-'.", n + 1);
        *reported = true;
        return false;
    }
    if (!*reported) {
        if (clustered)
            qel_errorMsg(0, "Branch lengths (needed for \"BS\" calculation) are no longer available for %s tree.",
                         getTreeSource() == 5 ? "UPGMA" : "neighbor-joining");
        else
            qel_warningMsg(0, "The trees in memory have no branch lengths; \"BS\" is written as '-'.");
        *reported = true;
    }
    return false;
}

}  // namespace

int trueTreeBranchNodes(std::vector<uint32_t> *nodes)
{
    TreeHandle truth(createTreeForTaxa(gSim->ntax, gSim->ntax, true));
    if (!truth || loadTrueTree(0, truth.get()) != 0)
        return 1;
    uint32_t next = gSim->ntax + 1;
    nodes->clear();
    const TreeNode *root = simTreeRoot(truth.get());
    for (const auto &[n, split] : edgeSplitsInPreorder(truth.get(), true, gSim->ntax)) {
        const bool tip = n->firstChild == nullptr && n->index >= 0;
        const uint32_t number = tip ? static_cast<uint32_t>(n->index) + 1 : next++;
        if (n != root)
            nodes->push_back(number);
    }
    return 0;
}

const TreeNode *simTreeRoot(const Tree *tree)
{
    const TreeNode *root = tree->root;
    if (root && root->index < 0 && root->firstChild && !root->firstChild->nextSib && root->firstChild->firstChild)
        return root->firstChild;
    return root;
}

bool foundLengthsOfTrueBranches(std::vector<double> *lengths)
{
    TreeBuffer *main = getMainTreeBuffer(nullptr);
    if (!main || numTreesInBuffer(main) == 0)
        return false;
    const bool rooted = areTreesRooted(main);
    const uint32_t ntax = gSim->ntax;
    TreeHandle truth(createTreeForTaxa(ntax, ntax, true)), found(createTree(true));
    bool quiet = true;  // no lengths is a "-" in the row, not a message
    if (!truth || !found || loadTrueTree(0, truth.get()) != 0 || !loadFoundLengths(0, found.get(), &quiet))
        return false;
    std::map<Split, double> foundSplits = splitsOf(found.get(), rooted, ntax, true);
    lengths->clear();
    const TreeNode *root = simTreeRoot(truth.get());
    for (const auto &[n, split] : edgeSplitsInPreorder(truth.get(), rooted, ntax)) {
        if (n == root)
            continue;
        // Unrooted, the two edges at the true root are one edge: the first
        // of them takes its length, the second 0.
        auto it = foundSplits.find(split);
        lengths->push_back(it == foundSplits.end() ? 0.0 : it->second);
        if (it != foundSplits.end())
            foundSplits.erase(it);
    }
    return true;
}

int tallySimResults()
{
    if (!gSim) {
        qel_errorMsg(0, "The \"%s\" command can only be issued from within a %s block.", "Tally", "simulation");
        skipRestOfCmd();
        return 1;
    }
    char word[256];
    if (readToken(word, sizeof word) < 0)
        return 1;
    if (std::strcmp(word, ";") != 0 && readSemicolon() != 0)
        return 1;
    SimBlock &s = *gSim;
    if (!s.results)
        return qel_errorMsg(0, "No results file has been opened for TALLY command.");
    if (!s.running)
        return qel_errorMsg(0, "The \"%s\" command is only valid inside a simulation loop started by '%s'.",
                            "Tally", "BeginSim");
    const uint32_t ntrue = numTrueTreesForTally();
    const uint32_t ordinal = s.tallyOrdinal++;
    if ((ordinal + 1) * ntrue > s.tallies.size())
        return qel_errorMsg(0, "More Tally commands were run than the results file has columns for.");
    TreeBuffer *main = getMainTreeBuffer(nullptr);
    const uint32_t nfound = main ? numTreesInBuffer(main) : 0;
    const bool rooted = main && areTreesRooted(main);
    const uint32_t ntax = s.ntax;
    // The true trees hold every taxon of the block, deleted ones included.
    TreeHandle truth(createTreeForTaxa(ntax, ntax, true)), found(createTree(true)), lengths(createTree(true));
    if (!truth || !found || !lengths)
        return 1;
    bool reported = false;
    int status = 0;
    for (uint32_t k = 0; k < ntrue; ++k) {
        if (loadTrueTree(k, truth.get()) != 0)
            return 1;
        const auto trueSplits = splitsOf(truth.get(), rooted, ntax, false);
        uint32_t leaves = 0;
        for (uint32_t p = 0; p < truth->maxNodes; ++p)
            leaves += truth->nodes[p].firstChild == nullptr && tipTaxon(&truth->nodes[p], false, ntax) >= 0 &&
                      (truth->nodes[p].anc != nullptr || &truth->nodes[p] == truth->root);
        const auto trueGroups = groupsOf(trueSplits, leaves, rooted);
        SimTally &t = s.tallies[ordinal * ntrue + k];
        for (uint32_t n = 0; n < nfound; ++n) {
            if (getTree(main, n + 1, found.get()) != 0)
                return 1;
            const TallyOutcome o = compareWithTrueSplits(
                trueGroups, groupsOf(splitsOf(found.get(), rooted, ntax, true), leaves, rooted));
            ++t.trees;
            t.P += o.f;
            if (o.correct)
                t.correct += o.f;
            if (s.BS && loadFoundLengths(n, lengths.get(), &reported)) {
                t.bs += branchScore(trueSplits, splitsOf(lengths.get(), rooted, ntax, true));
                t.haveBs = true;
            } else if (s.BS && reported && isClusteredSource()) {
                status = 1;
            }
        }
        TimeMark now;
        setTimeMark(&now);
        t.cpu = cpuTimeDiff(&s.timer, &now);
        t.done = true;
    }
    return status;
}

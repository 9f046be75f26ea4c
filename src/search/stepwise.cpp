#include "search/stepwise.h"

#include <algorithm>
#include <memory>
#include <numeric>
#include <vector>

#include "data/vorn_data.h"
#include "parsimony/calcsets.h"
#include "parsimony/packx.h"
#include "parsimony/pars_fxns.h"
#include "parsimony/pars_init.h"
#include "parsimony/pars_util.h"
#include "parsimony/stateset.h"
#include "parsimony/treelen.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_malloc.h"
#include "qel/qel_random.h"
#include "search/constrsearch.h"
#include "search/hsprep.h"
#include "search/scores.h"
#include "search/search.h"
#include "search/subtreehulls.h"
#include "search/critscore.h"
#include "search/swap.h"
#include "trees/treebuf.h"
#include "trees/treebuf_extras.h"
#include "trees/treeedit.h"
#include "trees/treeutil.h"

namespace {

ParsNodeSets *downOf(const TreeNode *n) { return nodeSets(n->abm[0]); }
ParsNodeSets *finalOf(const TreeNode *n) { return nodeSets(n->abm[2]); }

// Plain minimised length: a connection costs the current length plus the
// steps of joining the leaf to the edge's set, with no rescoring.
bool incrementalParsimony()
{
    return gCriterion == kCriterionParsimony && !gPars.threshold && !gPars.goloboff;
}

struct Connection {
    uint32_t edgePos = 0;
    int32_t taxon = 0;
    double score = kNoScoreValue;
};

class StepwiseBuilder {
public:
    StepwiseBuilder(DataInfo *d, Tree *tree, const StepwiseOptions &o) : d_(d), tree_(tree), opt_(o)
    {
        hold_ = std::max<uint32_t>(o.hold, 1);
        n_ = numSearchTaxa(d);
        base_ = getBaseScore(d, true);
    }

    int run(RNG *rng, int32_t *orderOut, double *scoreOut);
    TreeBuffer *out_ = nullptr;  // null: the active buffer
    // A parsimony length could not be had (an overflow, reported where it
    // was met): the tree built is no starting tree.
    bool lengthFailed_ = false;

private:
    int makeOrder(RNG *rng);
    void startTree();
    const std::vector<TreeNode *> &prepareTree(Tree *t, double *curLen);
    double connectionScore(Tree *t, TreeNode *edge, int32_t taxon, double curLen, double bound);
    void evaluateEdgesFast(Tree *t, const std::vector<TreeNode *> &edges, int32_t taxon, double curLen);
    void scanWithHulls(Tree *t, const std::vector<TreeNode *> &edges, int32_t taxon, const ParsNodeSets *leaf,
                       int64_t start);
    // Entry i of edgeWords_: the words of edge e's final set.
    void noteEdgeWords(const TreeNode *e, size_t i)
    {
        const ParsNodeSets *f = finalOf(e);
        edgeWords_[2 * i] = f->ord;
        edgeWords_[2 * i + 1] = f->uno;
    }
    // evaluate() for entry i of edges, noting the entry when it is taken.
    void evaluateAt(Tree *t, const std::vector<TreeNode *> &edges, size_t i, int32_t taxon, double s)
    {
        const double before = best_.score;
        evaluate(t, edges[i], taxon, s);
        if (best_.score != before)
            bestAt_ = i;
    }
    int32_t furthestTaxon();
    int32_t closestTaxon(const std::vector<int32_t> &candidates);
    void evaluate(Tree *t, TreeNode *edge, int32_t taxon, double s);
    double bound() const;
    double wholeTreeScore(Tree *t);
    int fastJoins(Tree *t, const std::vector<int32_t> &candidates);
    int poll() const;
    void noteHeld(double s);
    int storeResults(double *scoreOut);

    DataInfo *d_;
    Tree *tree_;
    StepwiseOptions opt_;
    uint32_t hold_ = 1;
    uint32_t n_ = 0;
    double base_ = 0.0;
    std::vector<int32_t> order_;  // taxa in the order added; -1 the ancestor
    std::vector<bool> inTree_;
    Connection best_;
    TreeHandle scratch_;
    TreeBufferHandle held_, next_;
    std::vector<double> heldScores_, nextScores_;
    uint32_t worst_ = 0;  // slot of the worst tree of next_
    // One tree grown a taxon at a time: after the first full pass its sets
    // follow each added leaf by the incremental update, not a full pass.
    bool incremental_ = false;
    // The criterion's fast joins (likelihood): each join scored with the
    // three edges at it fitted; null when every join is a whole-tree score.
    const FastStepwiseFxns *fast_ = nullptr;
    bool setsCurrent_ = false;
    // One tree held, plain lengths of the classes the span kernels count:
    // the edges are scored straight from their sets' words.
    bool fastSpan_ = false;
    FastSpanScorer span_;
    std::vector<const uint64_t *> edgeWords_;  // per edge: ordered words, unordered words
    // The edges of the tree last prepared, in preorder; edgesOfTree_: they
    // are tree_'s, kept in step with each join.
    std::vector<TreeNode *> edges_;
    bool edgesOfTree_ = false;
    // edgeWords_ holds the words of edges_, kept in step with each join
    // too: gathering them reads three records per edge, each from memory.
    bool edgeWordsOfTree_ = false;
    // From kFirstHulls taxa on, the edges are searched by subtrees, best
    // first by the cost of each subtree's hull. hullsOfTree_: hulls_ are
    // tree_'s, kept in step with each join from the nodes whose final sets
    // the join's update recomputed (joinChanged_).
    SubtreeHulls hulls_;
    bool hullsOfTree_ = false;
    std::vector<TreeNode *> joinChanged_;
    static constexpr size_t kFirstHulls = 256;
    // In the scan of one tree's edges: the list position of the best join.
    size_t bestAt_ = 0;
    // Subtrees yet to search, a heap that yields the least bound first (the
    // first in preorder of equal ones).
    struct Pending {
        int64_t bound;
        size_t at;
        bool operator<(const Pending &o) const { return bound != o.bound ? bound > o.bound : at > o.at; }
    };
    std::vector<Pending> pending_;
    // Joins that only add nodes take the forks in order: every node before
    // nextFork_ is in use.
    TreeNode *nextFork_ = nullptr;
    // Taxa on the tree at which the set words are next laid out in tree
    // order (layOutNodeSets): each time the tree has grown by a quarter.
    size_t nextLayout_ = kFirstLayout;
    static constexpr size_t kFirstLayout = 32;
};

double StepwiseBuilder::bound() const
{
    if (hold_ == 1)
        return best_.score;
    return nextScores_.size() >= hold_ ? nextScores_[worst_] : kNoScoreValue;
}

int StepwiseBuilder::makeOrder(RNG *rng)
{
    order_.clear();
    const bool rooted = opt_.rooted;
    if (rooted)
        order_.push_back(-1);
    std::vector<int32_t> taxa(n_);
    std::iota(taxa.begin(), taxa.end(), 0);
    switch (opt_.addSeq) {
    case kAddSeqRandom: {
        for (uint32_t t : randomAdditionOrder(rng, n_))
            order_.push_back(static_cast<int32_t>(t));
        return 0;
    }
    case kAddSeqSimple: {
        if (rooted) {
            order_.insert(order_.end(), taxa.begin(), taxa.end());
            std::vector<double> key(n_);
            for (uint32_t t = 0; t < n_; t++)
                key[t] = absoluteDist(d_, tree_, -1, static_cast<int32_t>(t));
            std::stable_sort(order_.begin() + 1, order_.end(), [&](int32_t a, int32_t b) { return key[a] < key[b]; });
            return 0;
        }
        const auto ref = static_cast<int32_t>(stepwiseReferenceTaxon(d_, opt_.refTax));
        std::vector<double> key(n_);
        for (uint32_t t = 0; t < n_; t++) {
            const int32_t ti = static_cast<int32_t>(t);
            key[t] = ti == ref ? -1.0 : meanDist(ref, ti, d_, absoluteDist(d_, tree_, ref, ti));
        }
        std::stable_sort(taxa.begin(), taxa.end(), [&](int32_t a, int32_t b) { return key[a] < key[b]; });
        order_.insert(order_.end(), taxa.begin(), taxa.end());
        return 0;
    }
    case kAddSeqClosest: {
        int32_t a = 0, b = 1, c = 2;
        double bestLen = kNoScoreValue;
        if (rooted) {
            for (int32_t i = 0; i < static_cast<int32_t>(n_); i++)
                for (int32_t j = i + 1; j < static_cast<int32_t>(n_); j++)
                    if (double len = getLen3(d_, tree_, i, j, -1); compareScores(len, bestLen) < 0)
                        bestLen = len, a = i, b = j;
            order_.insert(order_.end(), {a, b});
            return 0;
        }
        for (int32_t i = 0; i < static_cast<int32_t>(n_); i++)
            for (int32_t j = i + 1; j < static_cast<int32_t>(n_); j++) {
                if (absoluteDist(d_, tree_, i, j) >= bestLen)
                    continue;
                for (int32_t k = j + 1; k < static_cast<int32_t>(n_); k++)
                    if (double len = getLen3(d_, tree_, i, j, k); compareScores(len, bestLen) < 0)
                        bestLen = len, a = i, b = j, c = k;
            }
        order_.insert(order_.end(), {a, b, c});
        return 0;
    }
    case kAddSeqFurthest:
    case kAddSeqDivergentPair: {
        int32_t a = 0, b = 1, c = 2;
        // A rooted tree with an ancestor of known states starts from the
        // pair whose tree with it is longest; an ancestor that holds nothing
        // adds no length, and the most divergent pair is that pair.
        if (opt_.addSeq == kAddSeqFurthest && (!rooted || !ancestorAllMissing(d_))) {
            findLongest3Tree(d_, tree_, &a, &b, &c, rooted);
        } else {
            findMostDivergentPair(d_, tree_, &a, &b);
            if (!rooted) {
                double longest = -1.0;
                for (int32_t k = 0; k < static_cast<int32_t>(n_); k++)
                    if (k != a && k != b)
                        if (double len = getLen3(d_, tree_, a, b, k); compareScores(len, longest) > 0)
                            longest = len, c = k;
            }
        }
        order_.insert(order_.end(), {a, b});
        if (!rooted)
            order_.push_back(c);
        return 0;
    }
    default:  // asIs
        order_.insert(order_.end(), taxa.begin(), taxa.end());
        return 0;
    }
}

void StepwiseBuilder::startTree()
{
    const bool rooted = opt_.rooted;
    const int32_t root = rooted ? -1 : order_[0];
    make3Tree(tree_, n_, root, static_cast<uint32_t>(order_[1]), static_cast<uint32_t>(order_[2]));
    inTree_.assign(n_, false);
    for (size_t i = rooted ? 1 : 0; i < 3; i++)
        inTree_[static_cast<size_t>(order_[i])] = true;
    order_.resize(3);
}

const std::vector<TreeNode *> &StepwiseBuilder::prepareTree(Tree *t, double *curLen)
{
    *curLen = 0.0;
    if (t == tree_ && setsCurrent_) {
        *curLen = revTreeLength(d_, t);
        if (edgesOfTree_)
            return edges_;
    } else {
        setTraversalSeq(t);
        pointTreeAtPackedData(t, d_);
        if (incrementalParsimony()) {
            calcStatesetsForSearch(t, d_, false);
            *curLen = t->score[0];
            setsCurrent_ = incremental_ && t == tree_;
        }
    }
    edges_.clear();
    for (TreeNode *e = t->root->next; e; e = e->next)
        edges_.push_back(e);
    edgesOfTree_ = t == tree_;
    edgeWordsOfTree_ = hullsOfTree_ = false;
    return edges_;
}

double StepwiseBuilder::connectionScore(Tree *t, TreeNode *edge, int32_t taxon, double curLen, double bnd)
{
    TreeNode *leaf = nodeOfIndex(t, taxon);
    if (incrementalParsimony()) {
        double len = base_ + curLen;
        if (frvAddSpan(d_, finalOf(edge), downOf(leaf), false, &len, bnd) != 0)
            return kNoScoreValue;
        return len;
    }
    if (binConnectLeaf(leaf, edge, findFreeNode(t)) != 0)
        return kNoScoreValue;
    setTraversalSeq(t);
    double s = kNoScoreValue;
    if (gCriterion == kCriterionParsimony)
        lengthFailed_ |= (s = calcParsimonyScore(d_, t, false)) == kNoScoreValue;
    else
        s = criterionTreeScore(t, bnd);
    binPruneLeaf(leaf);
    setTraversalSeq(t);
    return s;
}

// The edges' sets lie wherever their nodes' records point, and at a few
// thousand taxa each edge's words come from memory: their addresses are
// gathered first (the loads of many edges overlap), and each edge's words
// are fetched a few edges before they are scored.
void StepwiseBuilder::evaluateEdgesFast(Tree *t, const std::vector<TreeNode *> &edges, int32_t taxon, double curLen)
{
    const ParsNodeSets *leaf = downOf(nodeOfIndex(t, taxon));
    const bool ofTree = t == tree_ && edgesOfTree_ && &edges == &edges_;
    if (!ofTree || !edgeWordsOfTree_) {
        edgeWords_.resize(2 * edges.size());
        for (size_t i = 0; i < edges.size(); i++)
            noteEdgeWords(edges[i], i);
        edgeWordsOfTree_ = ofTree;
    }
    constexpr size_t kAhead = 4;
    const auto fetch = [&](size_t i) {
        for (const uint64_t *w : {edgeWords_[2 * i], edgeWords_[2 * i + 1]})
            if (w) {
                __builtin_prefetch(w);
                __builtin_prefetch(w + 8);
            }
    };
    const auto start = static_cast<int64_t>(base_ + curLen);
    if (ofTree && edges.size() >= 2 * kFirstHulls) {
        if (!hullsOfTree_) {
            hulls_.reset(span_, t);
            hulls_.rebuild(edges_);
            hullsOfTree_ = true;
        }
        scanWithHulls(t, edges, taxon, leaf, start);
        return;
    }
    for (size_t i = 0; i < std::min(kAhead, edges.size()); i++)
        fetch(i);
    for (size_t i = 0; i < edges.size(); i++) {
        if (i + kAhead < edges.size())
            fetch(i + kAhead);
        const double bnd = bound();
        const int64_t limit = bnd >= kNoScore ? INT64_MAX : static_cast<int64_t>(bnd);
        const int64_t len =
            span_.length(edgeWords_[2 * i], edgeWords_[2 * i + 1], leaf->ord, leaf->uno, start, limit);
        evaluateAt(t, edges, i, taxon, len > limit ? kNoScoreValue : static_cast<double>(len));
    }
}

// The edges' subtrees are searched best first, each by its hull's cost, a
// lower bound of the cost of every join inside it, until none can hold a
// join better than the best found. The join taken is the one the scan in
// preorder takes: the first in preorder of the least cost among those the
// constraints allow. A subtree is a run of the preorder list, so one whose
// bound equals the best cost can hold such a join only if it begins before
// the best join's entry.
void StepwiseBuilder::scanWithHulls(Tree *t, const std::vector<TreeNode *> &edges, int32_t taxon,
                                    const ParsNodeSets *leaf, int64_t start)
{
    int64_t best = INT64_MAX;
    size_t bestAt = SIZE_MAX;
    const auto better = [&](int64_t s, size_t i) { return s < best || (s == best && i < bestAt); };
    const auto join = [&](size_t i) {
        const int64_t len = span_.lengthUnorderedFirst(edgeWords_[2 * i], edgeWords_[2 * i + 1], leaf->ord,
                                                       leaf->uno, start, best);
        if (better(len, i) && leafJoinAllowed(t, edges[i], taxon))
            best = len, bestAt = i;
    };
    // A leaf's hull is its final set: it is joined at once.
    const auto reach = [&](size_t i) {
        if (hulls_.size(edges[i]) == 1)
            return join(i);
        const TreeNode *e = edges[i];
        const int64_t bound =
            span_.lengthUnorderedFirst(hulls_.ord(e), hulls_.uno(e), leaf->ord, leaf->uno, start, best);
        if (better(bound, i)) {
            pending_.push_back(Pending{bound, i});
            std::push_heap(pending_.begin(), pending_.end());
        }
    };
    pending_.clear();
    if (!edges.empty())
        reach(0);
    while (!pending_.empty()) {
        std::pop_heap(pending_.begin(), pending_.end());
        const Pending p = pending_.back();
        pending_.pop_back();
        // Later entries bound no less, or equally from later in preorder.
        if (!better(p.bound, p.at))
            break;
        join(p.at);
        const size_t end = p.at + hulls_.size(edges[p.at]);
        for (size_t c = p.at + 1; c < end; c += hulls_.size(edges[c]))
            reach(c);
    }
    if (bestAt != SIZE_MAX) {
        best_ = Connection{nodePosition(t, edges[bestAt]), taxon, static_cast<double>(best)};
        bestAt_ = bestAt;
    }
}

double StepwiseBuilder::wholeTreeScore(Tree *t)
{
    setTraversalSeq(t);
    pointTreeAtPackedData(t, d_);
    if (gCriterion == kCriterionParsimony) {
        const double s = calcParsimonyScore(d_, t, false);
        lengthFailed_ |= s == kNoScoreValue;
        return s;
    }
    return criterionTreeScore(t, kNoScoreValue);
}

// Every candidate on every edge of the one tree, by the fast joins: the
// tree's lengths improved once for the step, then each join scored from the
// arrays the joins before it left valid.
int StepwiseBuilder::fastJoins(Tree *t, const std::vector<int32_t> &candidates)
{
    double curLen = 0.0;
    const auto edges = prepareTree(t, &curLen);
    TreeNode *junction = findFreeNode(t);
    beginConstrainedJoins(t);
    int r = 0;
    for (size_t k = 0; k < candidates.size() && r == 0; k++)
        for (size_t i = 0; i < edges.size() && r == 0; i++) {
            const double s = fast_->joinScore(t, nodeOfIndex(t, candidates[k]), edges[i], junction);
            evaluate(t, edges[i], candidates[k], s < kNoScoreValue ? s : kNoScoreValue);
            r = poll();
        }
    endConstrainedJoins();
    return r;
}

int StepwiseBuilder::poll() const
{
    const uint32_t added = static_cast<uint32_t>(order_.size()) - (opt_.rooted ? 1u : 0u);
    if (opt_.poll)
        return opt_.poll->fn(opt_.poll->ctx, added);
    return searchStopRequested() ? 2 : 0;
}

void StepwiseBuilder::noteHeld(double s)
{
    (void)s;
    worst_ = 0;
    for (uint32_t i = 1; i < nextScores_.size(); i++)
        if (compareScores(nextScores_[i], nextScores_[worst_]) > 0)
            worst_ = i;
}

void StepwiseBuilder::evaluate(Tree *t, TreeNode *edge, int32_t taxon, double s)
{
    // The constraint is tested only for a join that would be kept: the
    // test reads the whole tree, the score only the sets around the edge.
    if (s == kNoScoreValue)
        return;
    if (hold_ == 1) {
        if (compareScores(s, best_.score) < 0 && leafJoinAllowed(t, edge, taxon))
            best_ = Connection{nodePosition(t, edge), taxon, s};
        return;
    }
    if (nextScores_.size() >= hold_ && compareScores(s, nextScores_[worst_]) >= 0)
        return;
    if (!leafJoinAllowed(t, edge, taxon))
        return;
    Tree *sc = scratch_.get();
    copyTree(t, sc);
    if (binConnectLeaf(nodeOfIndex(sc, taxon), sc->nodes + nodePosition(t, edge), findFreeNode(sc)) != 0)
        return;
    sc->numLeaves++;
    setTraversalSeq(sc);
    const uint32_t k = putTree(sc, next_.get(), true);
    if (k == kPutTreeDuplicate || isPutTreeFull(k))
        return;
    nextScores_.push_back(s);
    if (nextScores_.size() > hold_) {
        moveTrees(next_.get(), k, worst_ + 1, 1, false);
        decrementNumTrees(next_.get());
        nextScores_[worst_] = s;
        nextScores_.pop_back();
    }
    noteHeld(s);
    if (compareScores(s, best_.score) < 0)
        best_ = Connection{0, taxon, s};
}

int32_t StepwiseBuilder::furthestTaxon()
{
    Tree *t = hold_ == 1 ? tree_ : scratch_.get();
    if (hold_ > 1)
        getTree(held_.get(), 1, t);
    double curLen = 0.0;
    const auto &edges = prepareTree(t, &curLen);
    int32_t chosen = -1;
    double largest = -1.0;
    for (uint32_t x = 0; x < n_; x++) {
        if (inTree_[x])
            continue;
        double cheapest = kNoScoreValue;
        for (TreeNode *e : edges)
            cheapest = std::min(cheapest, connectionScore(t, e, static_cast<int32_t>(x), curLen, kNoScoreValue));
        if (chosen < 0 || compareScores(cheapest, largest) > 0)
            chosen = static_cast<int32_t>(x), largest = cheapest;
    }
    return chosen;
}

// The taxon of the cheapest connection over every held tree (the first of
// equal ones), -1 when none could be scored. Every held tree then takes this
// taxon: trees of different taxa could not be carried on together.
int32_t StepwiseBuilder::closestTaxon(const std::vector<int32_t> &candidates)
{
    Connection best;
    best.taxon = -1;
    for (uint32_t h = 1, trees = numTreesInBuffer(held_.get()); h <= trees; h++) {
        getTree(held_.get(), h, tree_);
        double curLen = 0.0;
        const auto edges = prepareTree(tree_, &curLen);
        for (int32_t taxon : candidates)
            for (TreeNode *e : edges)
                if (const double s = connectionScore(tree_, e, taxon, curLen, best.score);
                    s != kNoScoreValue && compareScores(s, best.score) < 0)
                    best = Connection{0, taxon, s};
    }
    return best.taxon;
}

int StepwiseBuilder::run(RNG *rng, int32_t *orderOut, double *scoreOut)
{
    if (n_ < 3 && !opt_.rooted)
        return 1;
    scratch_.reset(createTreeForTaxa(n_, n_, true));
    if (!scratch_)
        return 1;
    if (hold_ > 1) {
        held_.reset(createTreeBuffer(n_, hold_ + 1, false, false, false));
        next_.reset(createTreeBuffer(n_, hold_ + 1, false, false, false));
        if (!held_ || !next_)
            return 1;
    }
    pointTreeAtPackedData(tree_, d_);
    makeOrder(rng);
    const std::vector<int32_t> fullOrder = order_;
    startTree();
    const bool fixedOrder = opt_.addSeq == kAddSeqSimple || opt_.addSeq == kAddSeqAsIs || opt_.addSeq == kAddSeqRandom;
    // Other sequences score trees of their own between additions, over the
    // same set store; a rooted tree's ancestor takes no incremental update.
    incremental_ = hold_ == 1 && fixedOrder && !opt_.rooted && incrementalParsimony();
    setsCurrent_ = edgesOfTree_ = edgeWordsOfTree_ = hullsOfTree_ = false;
    nextLayout_ = kFirstLayout;
    nextFork_ = nullptr;
    fastSpan_ = incremental_ && !altScoring(d_) && fastSpanApplies(d_);
    if (fastSpan_)
        span_ = fastSpanScorer(d_);
    if (hold_ > 1)
        putTree(tree_, held_.get(), false);
    const CriterionSearchFxns *f = criterionSearchFxns(gCriterion);
    if (hold_ == 1 && !opt_.rooted && f && f->fastStepwise && f->fastStepwise->inEffect())
        fast_ = f->fastStepwise;
    heldScores_.assign(1, wholeTreeScore(tree_));

    const uint32_t total = n_ + (opt_.rooted ? 1u : 0u);
    while (order_.size() < total) {
        if (const int r = poll(); r != 0)
            return r;
        std::vector<int32_t> candidates;
        if (fixedOrder)
            candidates.push_back(fullOrder[order_.size()]);
        else if (opt_.addSeq == kAddSeqClosest) {
            for (uint32_t x = 0; x < n_; x++) {
                if (!inTree_[x])
                    candidates.push_back(static_cast<int32_t>(x));
            }
            if (hold_ > 1) {
                const int32_t taxon = closestTaxon(candidates);
                if (taxon < 0)
                    return 1;
                candidates.assign(1, taxon);
            }
        } else {
            candidates.push_back(furthestTaxon());
        }

        best_ = Connection{};
        nextScores_.clear();
        worst_ = 0;
        if (next_)
            emptyTreeBuffer(next_.get(), true);
        const uint32_t trees = hold_ == 1 ? 1 : numTreesInBuffer(held_.get());
        if (fast_) {
            // The first step's tree was scored whole above.
            if (order_.size() > 3)
                heldScores_[0] = fast_->beginStep(tree_);
            if (const int r = fastJoins(tree_, candidates); r != 0)
                return r;
        }
        for (uint32_t h = 1; h <= trees && !fast_; h++) {
            Tree *t = tree_;
            if (hold_ > 1)
                getTree(held_.get(), h, t);
            double curLen = 0.0;
            const auto &edges = prepareTree(t, &curLen);
            beginConstrainedJoins(t);
            // A whole-tree score per connection is slow enough to read the
            // stop request and the clock after each.
            const bool slow = gCriterion != kCriterionParsimony;
            for (int32_t taxon : candidates) {
                if (fastSpan_) {
                    evaluateEdgesFast(t, edges, taxon, curLen);
                    continue;
                }
                for (TreeNode *e : edges) {
                    evaluate(t, e, taxon, connectionScore(t, e, taxon, curLen, bound()));
                    if (const int r = slow ? poll() : 0; r != 0) {
                        endConstrainedJoins();
                        return r;
                    }
                }
            }
            endConstrainedJoins();
        }
        if (best_.score == kNoScoreValue)
            return 1;
        inTree_[static_cast<size_t>(best_.taxon)] = true;
        order_.push_back(best_.taxon);
        if (hold_ == 1) {
            TreeNode *leaf = nodeOfIndex(tree_, best_.taxon);
            TreeNode *edge = tree_->nodes + best_.edgePos;
            TreeNode *fork = findFreeNode(tree_, fastSpan_ ? nextFork_ : nullptr);
            nextFork_ = fork ? fork + 1 : nullptr;
            if (fast_)
                fast_->join(tree_, leaf, edge, fork);
            else
                binConnectLeaf(leaf, edge, fork);
            tree_->numLeaves++;
            heldScores_[0] = best_.score;
            if (incremental_ && setsCurrent_) {
                // The join puts the new fork and the leaf just before the
                // edge in preorder, in the tree's order and in the list of
                // edges alike: no walk of the tree is needed.
                size_t at = 0;
                if (edgesOfTree_) {
                    at = bestAt_ < edges_.size() && edges_[bestAt_] == edge
                             ? bestAt_
                             : static_cast<size_t>(std::find(edges_.begin(), edges_.end(), edge) - edges_.begin());
                    edges_.insert(edges_.begin() + static_cast<std::ptrdiff_t>(at), {fork, leaf});
                }
                joinChanged_.clear();
                revWatchGraftFinalSets(hullsOfTree_ ? &joinChanged_ : nullptr);
                revUpdateAfterGraft(d_, leaf);
                revWatchGraftFinalSets(nullptr);
                if (hullsOfTree_)
                    hulls_.afterJoin(leaf, joinChanged_);
                if (fastSpan_ && order_.size() >= nextLayout_) {
                    layOutTreeSetsInPlace(d_, tree_);
                    nextLayout_ = order_.size() + order_.size() / 4;
                    // The hulls are made tight again too.
                    edgeWordsOfTree_ = hullsOfTree_ = false;
                }
                // The join exchanged the edge's final record; the fork and
                // the leaf are new edges.
                if (edgesOfTree_ && edgeWordsOfTree_) {
                    edgeWords_.insert(edgeWords_.begin() + static_cast<std::ptrdiff_t>(2 * at), 4, nullptr);
                    for (size_t i = at; i < at + 3; i++)
                        noteEdgeWords(edges_[i], i);
                }
            } else {
                setTraversalSeq(tree_);
                setsCurrent_ = edgesOfTree_ = edgeWordsOfTree_ = hullsOfTree_ = false;
            }
        } else {
            std::swap(held_, next_);
            heldScores_ = nextScores_;
        }
    }
    // A fast join's score fits three edges only: the tree built is scored
    // whole.
    if (fast_)
        heldScores_[0] = wholeTreeScore(tree_);
    if (orderOut)
        std::copy(order_.begin(), order_.end(), orderOut);
    return storeResults(scoreOut);
}

int StepwiseBuilder::storeResults(double *scoreOut)
{
    TreeBuffer *out = out_ ? out_ : getActiveTreeBuffer();
    if (out && !getTreeScoreArray(out))
        if (double *scores = allocArrayOf<double>(getTreeBufferCapacity(out)))
            setTreeScoreArray(out, scores);
    const bool converse = converseConstraintsActive();
    const uint32_t trees = hold_ == 1 ? 1 : numTreesInBuffer(held_.get());
    double best = kNoScoreValue;
    uint32_t bestIndex = 1;
    for (uint32_t h = 1; h <= trees; h++) {
        Tree *t = hold_ == 1 ? tree_ : scratch_.get();
        if (hold_ > 1)
            getTree(held_.get(), h, t);
        if (!opt_.rooted)
            rerootTree(t, nodeOfIndex(t, 0), true);
        const double s = converse ? kNoScoreValue : heldScores_[h - 1];
        const uint32_t k = putTree(t, out, true);
        if (isPutTreeFull(k))
            return 1;
        if (k != kPutTreeDuplicate)
            if (double *scores = getTreeScoreArray(out))
                scores[k - 1] = s;
        if (h == 1 || compareScores(s, best) < 0)
            best = s, bestIndex = h;
    }
    if (hold_ > 1) {
        getTree(held_.get(), bestIndex, tree_);
        if (!opt_.rooted)
            rerootTree(tree_, nodeOfIndex(tree_, 0), true);
    }
    if (scoreOut)
        *scoreOut = best;
    return 0;
}

}  // namespace

uint32_t stepwiseReferenceTaxon(const DataInfo *data, uint32_t refTax)
{
    // refTax names a taxon of the matrix; a deleted or unknown one leaves
    // the first nondeleted taxon as reference.
    if (refTax == 0 || refTax > data->ntax || isDeletedTaxon(refTax - 1, data))
        return 0;
    if (!data->taxa.originalToActive || numSearchTaxa(data) == data->ntax)
        return refTax - 1;
    return data->taxa.originalToActive[refTax - 1];
}

void findMostDivergentPair(const DataInfo *data, Tree *tree, int32_t *a, int32_t *b)
{
    double largest = -1.0;
    *a = 0, *b = 1;
    for (int32_t j = 1; j < static_cast<int32_t>(numSearchTaxa(data)); j++)
        for (int32_t i = 0; i < j; i++)
            if (double dist = absoluteDist(data, tree, j, i); dist > largest)
                largest = dist, *a = i, *b = j;
}

std::vector<uint32_t> randomAdditionOrder(RNG *rng, uint32_t n)
{
    std::vector<uint32_t> perm(n);
    std::iota(perm.begin(), perm.end(), 0u);
    randomUIntShuffle(rng, perm.data(), n);
    return perm;
}

int addStepwise(DataInfo *data, Tree *tree, const StepwiseOptions &options, RNG *rng, int32_t *orderOut,
                double *scoreOut, TreeBuffer *out)
{
    if (!data || !tree || (gCriterion != kCriterionParsimony && !criterionSearchFxns(gCriterion)))
        return 1;
    if (options.addSeq == kAddSeqRandom && !rng)
        return 1;
    // Converse constraints judge finished trees only: joins are tested under
    // positive constraints alone, and the trees built carry no score.
    const int32_t mode = getTopolConstrained();
    StepwiseBuilder builder(data, tree, options);
    builder.out_ = out;
    const int result = builder.run(rng, orderOut, scoreOut);
    if (mode < 0 && scoreOut)
        *scoreOut = kNoScoreValue;
    if (result == 0 && builder.lengthFailed_) {
        if (scoreOut)
            *scoreOut = kNoScoreValue;
        return 1;
    }
    // The tree built is the longest a search from it holds (swapping only
    // shortens), so its length decides whether the lengths overflow.
    if (result == 0 && scoreOut && gCriterion == kCriterionParsimony && *scoreOut != kNoScoreValue &&
        checkedSearchLength(data, *scoreOut) == kNoScoreValue) {
        *scoreOut = kNoScoreValue;
        return 1;
    }
    return result;
}

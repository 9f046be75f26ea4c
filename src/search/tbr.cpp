#include "search/tbr.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <utility>
#include <vector>

#include "parsimony/calcsets.h"
#include "parsimony/dollo_search.h"
#include "parsimony/pars_fxns.h"
#include "parsimony/packx.h"
#include "parsimony/stateset.h"
#include "parsimony/stmx.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_malloc.h"
#include "qel/qel_threadscratch.h"
#include "search/constrsearch.h"
#include "search/ecr.h"
#include "search/hitlist.h"
#include "search/hsearch.h"
#include "search/passhelpers.h"
#include "search/quartetswap.h"
#include "search/scores.h"
#include "search/search.h"
#include "search/swap.h"
#include "trees/treeedit.h"
#include "trees/treeutil.h"

// How a cut is scored. Cutting the edge above K splits the tree of length
// L into K's subtree and the rest; for the Fitch and additive rules
//   L = len(subtree) + len(rest) + steps(down(K), up(K)),
// and neither part's length depends on where it is rooted, so joining the
// parts again at edges R and T gives
//   L - steps(down(K), up(K)) + steps(edge set of R, edge set of T),
// the edge sets being those of each part on its own. The rest's edge sets are
// the final sets after a real prune of K and its fork with the exact
// incremental update (the merged edge is named by S); the subtree's are its
// final sets once the up sets of K's children are each other's down sets
// (the subtree seen alone). So a cut costs two incremental updates (cut and
// restore) and a move one span of two sets with an early exit at the bound.

namespace {

ParsNodeSets *down(const TreeNode *n) { return nodeSets(n->abm[0]); }
ParsNodeSets *up(const TreeNode *n) { return nodeSets(n->abm[1]); }
ParsNodeSets *fin(const TreeNode *n) { return nodeSets(n->abm[2]); }

TreeNode *sibling(const TreeNode *n)
{
    TreeNode *f = n->anc->firstChild;
    return f == n ? n->nextSib : f;
}

bool isBelow(const TreeNode *n, const TreeNode *top)
{
    for (; n; n = n->anc)
        if (n == top)
            return true;
    return false;
}

struct Item {
    TreeNode *node;
    uint32_t dist;
};

// The cut sequence from a centre (see setCutSequence), made one distance
// at a time as the cuts are read: a pass usually ends at a better move near
// the centre, long before its farthest cuts. The nodes at one distance come
// from sources: the centre's subtree, each ancestor on the path up to the
// basal fork, and the subtrees beside that path, each met at the distance
// of its ancestor. A subtree's nodes at one depth are listed as a walk that
// takes the last child first meets them, so its next depth is its children,
// last first, node by node; the cuts of one distance are the sources' nodes
// in the order the sources are met, reversed.
class CutOrder {
public:
    // Without a centre (or one not on the tree) the whole preorder at once.
    void begin(Tree *tree, TreeNode *centre);
    // Cut i of the sequence, or null past its end.
    TreeNode *at(uint32_t i)
    {
        while (i >= out_.size() && more()) {
        }
        return i < out_.size() ? out_[i] : nullptr;
    }

private:
    struct Source {
        uint32_t start;  // the distance of its top
        uint32_t level;  // index of its current depth's nodes in levels_
    };
    bool more();

    std::vector<TreeNode *> out_, path_, step_;
    std::vector<Source> sources_;
    std::vector<uint32_t> active_;
    std::vector<std::vector<TreeNode *>> levels_, spare_;
    uint32_t dist_ = 0, nextSource_ = 0;
    bool done_ = true;
};

// Scratch of the calling thread, grown once to the largest tree seen.
struct Scratch {
    std::vector<Item> items, stack;
    std::vector<TreeNode *> rerootNodes, graftNodes, path;
    std::vector<uint32_t> rerootFirst, graftFirst, cutFirst, fill;
    CutOrder cuts;
};
thread_local ThreadScratch<Scratch> gS;

void CutOrder::begin(Tree *tree, TreeNode *centre)
{
    checkTraversalSeq(tree);
    out_.clear();
    sources_.clear();
    active_.clear();
    for (auto &l : levels_)
        spare_.push_back(std::move(l));
    levels_.clear();
    dist_ = 0;
    nextSource_ = 0;
    done_ = false;
    if (!centre || !centre->anc || !isBelow(centre, tree->root)) {
        for (TreeNode *x = tree->root->next; x; x = x->next)
            out_.push_back(x);
        done_ = true;
        return;
    }
    auto source = [this](TreeNode *top, uint32_t start) {
        levels_.emplace_back();
        if (!spare_.empty()) {
            levels_.back() = std::move(spare_.back());
            spare_.pop_back();
        }
        levels_.back().assign(1, top);
        sources_.push_back({start, static_cast<uint32_t>(levels_.size() - 1)});
    };
    // path_[j - 1] is the ancestor at distance j; its sources follow it.
    path_.clear();
    source(centre, 0);
    uint32_t d = 0;
    for (TreeNode *cur = centre; cur->anc && cur->anc->anc; cur = cur->anc) {
        TreeNode *a = cur->anc;
        path_.push_back(a);
        d++;
        for (TreeNode *c = a->firstChild; c; c = c->nextSib)
            if (c != cur)
                source(c, d);
    }
}

bool CutOrder::more()
{
    if (done_)
        return false;
    const uint32_t d = dist_++;
    // The ancestor at this distance, then the sources that start here.
    step_.clear();
    for (uint32_t k : active_)
        for (TreeNode *x : levels_[sources_[k].level])
            step_.push_back(x);
    if (d >= 1 && d <= path_.size())
        step_.push_back(path_[d - 1]);
    for (; nextSource_ < sources_.size() && sources_[nextSource_].start == d; nextSource_++) {
        active_.push_back(nextSource_);
        for (TreeNode *x : levels_[sources_[nextSource_].level])
            step_.push_back(x);
    }
    out_.insert(out_.end(), step_.rbegin(), step_.rend());
    // Every active source goes one level deeper; an empty one is done.
    uint32_t kept = 0;
    for (uint32_t k : active_) {
        auto &level = levels_[sources_[k].level];
        const size_t n = level.size();
        for (size_t i = 0; i < n; i++) {
            TreeNode *first = level[i]->firstChild;
            const size_t at = level.size();
            for (TreeNode *c = first; c; c = c->nextSib)
                level.push_back(c);
            std::reverse(level.begin() + static_cast<std::ptrdiff_t>(at), level.end());
        }
        level.erase(level.begin(), level.begin() + static_cast<std::ptrdiff_t>(n));
        if (!level.empty())
            active_[kept++] = k;
    }
    active_.resize(kept);
    done_ = active_.empty() && nextSource_ == sources_.size() && d >= path_.size();
    return true;
}

// The items sorted by distance (stable), with the index of each distance.
void bucket(std::vector<Item> &items, std::vector<TreeNode *> &nodes, std::vector<uint32_t> &first, ReconList *out)
{
    uint32_t maxDist = 0;
    for (const Item &it : items)
        maxDist = std::max(maxDist, it.dist);
    first.assign(maxDist + 2, 0);
    for (const Item &it : items)
        first[it.dist + 1]++;
    for (uint32_t k = 1; k < first.size(); k++)
        first[k] += first[k - 1];
    gS->fill.assign(first.begin(), first.end() - 1);
    nodes.resize(items.size());
    for (const Item &it : items)
        nodes[gS->fill[it.dist]++] = it.node;
    *out = {nodes.data(), first.data(), maxDist};
}

// top at distance d and every node below it one more per level, up to limit.
void pushSubtree(std::vector<Item> &items, TreeNode *top, uint32_t d, uint32_t limit)
{
    auto &stack = gS->stack;
    stack.clear();
    stack.push_back({top, d});
    while (!stack.empty()) {
        Item it = stack.back();
        stack.pop_back();
        items.push_back(it);
        if (it.dist + 1 <= limit)
            for (TreeNode *c = it.node->firstChild; c; c = c->nextSib)
                stack.push_back({c, it.dist + 1});
    }
}

}  // namespace

double swapTreeScore(const DataInfo *d, const Tree *tree)
{
    return altScoring(d) ? altTreeScore(d) : getBaseScore(d, true) + revTreeLength(d, tree);
}

uint32_t tbrReconLimit(uint32_t reconLimit, uint32_t nTaxa)
{
    const uint32_t all = nTaxa > 1 ? nTaxa - 1 : 1;
    return reconLimit > 0 && reconLimit <= all ? reconLimit : all;
}

// Without a centre: the preorder from the basal fork. With a centre X: by
// distance from X (X's subtree one more per level; each ancestor one more
// than the child on the path, the ancestor's other child the same as the
// ancestor), the node labelled last first within one distance.
uint32_t setCutSequence(Tree *tree, TreeNode *centre, TreeNode **out)
{
    CutOrder &order = gS->cuts;
    order.begin(tree, centre);
    uint32_t n = 0;
    while (TreeNode *x = order.at(n))
        out[n++] = x;
    return n;
}

uint32_t setReconSeq(Tree *tree, TreeNode *K, uint32_t limit, ReconList *reroot, ReconList *graft)
{
    auto &items = gS->items;
    // Reroot edges: K's children's edges merge into K's, so a node below
    // them counts one less than its depth under K.
    items.clear();
    items.push_back({K, 0});
    if (limit >= 1)
        for (TreeNode *c = K->firstChild; c; c = c->nextSib)
            for (TreeNode *g = c->firstChild; g; g = g->nextSib)
                pushSubtree(items, g, 1, limit);
    bucket(items, gS->rerootNodes, gS->rerootFirst, reroot);

    // Graft edges: edges that meet at the upper end of an edge at distance
    // d are at d + 1; the merged edge S is at 0.
    items.clear();
    TreeNode *P = K->anc;
    if (!P->anc) {
        items.push_back({tree->root, 0});
    } else {
        pushSubtree(items, sibling(K), 0, limit);
        uint32_t d = 0;
        for (TreeNode *cur = P; cur->anc->anc && d + 1 <= limit; cur = cur->anc) {
            TreeNode *a = cur->anc;
            d++;
            for (TreeNode *c = a->firstChild; c; c = c->nextSib)
                if (c != cur)
                    pushSubtree(items, c, d, limit);
            items.push_back({a, d});
        }
    }
    bucket(items, gS->graftNodes, gS->graftFirst, graft);
    return reroot->maxDist + graft->maxDist;
}

// ---------------------------------------------------------------------------
// One cut

namespace {

// Starts reading the first words of a coming reconnection's unordered set
// (of `lanes` lanes; none, and a null pointer, in data without unordered
// characters), so that its span finds them at hand: the sets of a tree do
// not all fit the nearest cache, and a bounded span reads few words.
void prefetchSetWords(const uint64_t *words, uint32_t lanes)
{
    if (lanes == 0)
        return;
    __builtin_prefetch(words);
    if (lanes > 8)
        __builtin_prefetch(words + 8);
}

class Cut {
    // The rest's edge set of every graft item within reach, taken once the
    // rest is cut (a prune moves set records between slots): the moves of
    // a cut read each of them many times, and a list read in order spares
    // the chase from node to slot to record at every move.
    // The words' addresses are listed too, so that a move reads no set
    // record, only the list and the words.
    struct RestSet {
        RestSet() = default;
        explicit RestSet(const ParsNodeSets *s) : sets(s), ord(s->ord), uno(s->uno) {}
        const ParsNodeSets *sets = nullptr;
        const uint64_t *ord = nullptr, *uno = nullptr;
    };

public:
    // Reconnections are no farther than reach edges from the cut, so the
    // updates after a cut stop there: restore() grafts the subtree back
    // where it was, which makes every set beyond right again. A ring of
    // near reconnections passes its own farthest distance, so that its cut
    // updates no more than it reads.
    Cut(Tree *tree, const DataInfo *d)
        : tree_(tree), d_(d), alt_(d && altScoring(d)), fastSpan_(d && !alt_ && fastSpanApplies(d))
    {
        if (fastSpan_) {
            span_ = fastSpanScorer(d);
            rerootDelta_ = !packedData(d)->stmChars.empty();
        }
    }

    // graft lists the cut's graft edges and stays valid until restore().
    void begin(TreeNode *K, const ReconList &graft, bool scoring, double wholeLength, uint32_t reach)
    {
        K_ = K;
        graft_ = &graft;
        reach_ = reach;
        P_ = K->anc;
        rootCase_ = !P_->anc;
        S_ = rootCase_ ? nullptr : sibling(K);
        kFirst_ = P_->firstChild == K;
        flags_ = tree_->flags;
        restCut_ = subCut_ = false;
        subFor_ = nullptr;
        if (scoring) {
            double cutLen = 0.0;
            frvGetCutBranchLen(d_, K, &cutLen);
            start_ = wholeLength - cutLen;
        }
    }

    // Brings the sets to the cut state the move needs.
    void ensure(bool rerooted)
    {
        if (!restCut_ && !subCut_)
            logged_ = revOpenSetLog(d_);
        if (!restCut_) {
            if (!rootCase_) {
                pruneSubtree(K_, false);
                revUpdateAfterPrune(d_, S_, K_, P_, reach_);
                listRestSets();
            }
            restCut_ = true;
        }
        if (rerooted && !subCut_) {
            if (TreeNode *c1 = K_->firstChild) {
                TreeNode *c2 = c1->nextSib;
                revCopySets(d_, down(c2), up(c1));
                revCopySets(d_, down(c1), up(c2));
                revUpdateAbove(d_, c1, false, reach_);
                revUpdateAbove(d_, c2, false, reach_);
            }
            subCut_ = true;
        }
    }

    // The whole tree again, links, child order and traversal included. The
    // sets the cut overwrote were logged: copying them back is cheaper than
    // updating after the graft, which recomputes each of them.
    void restore()
    {
        if (restCut_ && !rootCase_) {
            graftSubtreeToEdge(tree_, K_, S_, P_);
            if (kFirst_) {
                P_->firstChild = K_;
                K_->nextSib = S_;
                S_->nextSib = nullptr;
            }
            if (logged_)
                revRelinkAfterGraft(K_);
            else
                revUpdateAfterGraft(d_, K_);
        } else if (subCut_ && !logged_) {
            revUpdateAbove(d_, K_, false);
        }
        if (logged_)
            revUndoSetLog();
        logged_ = false;
        restCut_ = subCut_ = false;
        subFor_ = nullptr;
        tree_->flags = flags_;
    }

    void recut(bool rest, bool sub)
    {
        if (rest)
            ensure(sub);
    }

    // T is item ti of the graft list.
    double score(TreeNode *T, uint32_t ti, TreeNode *R, double bound)
    {
        // The interchange that takes K to the edge of P's sibling is scored
        // on the whole tree from the four sets around it: the cut and its
        // two incremental updates are only made for moves that need them.
        if (!restCut_ && !alt_ && R == K_ && !rootCase_ && P_->anc->anc && T->anc == P_->anc && T != P_) {
            double s = start_;
            frvEvalSwap_NNI(d_, nullptr, K_, &s, bound);
            return s;
        }
        ensure(R != K_);
        const ParsNodeSets *sub = subtreeSet(R);
        const RestSet rest = rootCase_ ? RestSet(down(tree_->root)) : rest_[ti];
        if (alt_)
            return altSpan(d_, sub, rest.sets, packedData(d_)->altCounts[1].data());
        double s = startAt(R, sub);
        if (fastSpan_)
            return static_cast<double>(span_.length(sub->ord, sub->uno, rest.ord, rest.uno, static_cast<int64_t>(s),
                                                    fastSpanLimit(bound)));
        frvAddSpan(d_, sub, rest.sets, false, &s, bound);
        return s;
    }

    // The moves of a run share R and the bound, and are scored as score()
    // scores them, by the span alone: what the span reads is taken once.
    bool runsApply() const { return fastSpan_ && !rootCase_; }
    class RunScorer {
    public:
        // The score of the move onto graft item ti.
        double score(uint32_t ti) const
        {
            const RestSet &rest = rest_[ti];
            return static_cast<double>(span_.length(subOrd_, subUno_, rest.ord, rest.uno, start_, limit_));
        }
        // Without ordered lanes two moves are scored in one kernel call.
        bool pairs() const { return span_.ordLanes == 0; }
        // Where pairs(): the scores of the moves onto items ti and ti + 1.
        void scorePair(uint32_t ti, double *out) const
        {
            int64_t len[2];
            span_.unoLengths(subUno_, rest_[ti].uno, rest_[ti + 1].uno, start_, limit_, len);
            out[0] = static_cast<double>(len[0]);
            out[1] = static_cast<double>(len[1]);
        }
        // As prefetchTarget.
        void prefetch(uint32_t ti) const { prefetchSetWords(rest_[ti].uno, span_.uno.count); }

    private:
        friend class Cut;
        RunScorer(const Cut &c, const ParsNodeSets *sub, int64_t start, double bound)
            : span_(c.span_), rest_(c.rest_.data()), subOrd_(sub->ord), subUno_(sub->uno), start_(start),
              limit_(fastSpanLimit(bound))
        {
        }
        // A copy, which the compiler may keep in registers across the span calls.
        const FastSpanScorer span_;
        const RestSet *rest_;
        const uint64_t *subOrd_, *subUno_;
        int64_t start_, limit_;
    };
    // Where runsApply(); valid until the sets are restored.
    RunScorer runScorer(TreeNode *R, double bound)
    {
        ensure(R != K_);
        const ParsNodeSets *sub = subtreeSet(R);
        return RunScorer(*this, sub, static_cast<int64_t>(startAt(R, sub)), bound);
    }

    // The words of graft item ti's set, fetched ahead of its move.
    void prefetchTarget(uint32_t ti) const
    {
        if (fastSpan_ && restCut_ && !rootCase_)
            prefetchSetWords(rest_[ti].uno, span_.uno.count);
    }

    bool restCut() const { return restCut_; }
    bool subCut() const { return subCut_; }
    TreeNode *K() const { return K_; }
    TreeNode *S() const { return S_; }
    TreeNode *G() const { return P_->anc; }
    bool rootCase() const { return rootCase_; }

private:
    // The subtree's edge set at reroot edge R, once the cut is made.
    const ParsNodeSets *subtreeSet(TreeNode *R)
    {
        // Many moves in a row share R.
        if (R != subFor_) {
            subFor_ = R;
            sub_ = R == K_ ? down(K_) : fin(R);
        }
        return sub_;
    }
    // The length a move starts from before its span.
    double startAt(const TreeNode *R, const ParsNodeSets *sub) const
    {
        if (R == K_ || !rerootDelta_)
            return start_;
        return start_ + stmRerootDelta(d_, sub, down(K_)) + dolRerootDelta(d_, sub, down(K_));
    }

    // Lists rest_ (see RestSet).
    void listRestSets()
    {
        const uint32_t n = graft_->first[std::min(reach_, graft_->maxDist) + 1];
        rest_.resize(n);
        for (uint32_t i = 0; i < n; i++)
            rest_[i] = RestSet(fin(graft_->node[i]));
    }

    Tree *tree_;
    const DataInfo *d_;
    const ReconList *graft_ = nullptr;
    std::vector<RestSet> rest_;
    // The subtree's edge set at reroot edge subFor_.
    const TreeNode *subFor_ = nullptr;
    const ParsNodeSets *sub_ = nullptr;
    uint32_t reach_ = 0;
    TreeNode *K_ = nullptr, *P_ = nullptr, *S_ = nullptr;
    double start_ = 0.0;
    uint32_t flags_ = 0;
    bool rootCase_ = false, kFirst_ = false, restCut_ = false, subCut_ = false;
    // The sets the cut overwrites are in the thread's undo log.
    bool logged_ = false;
    // Threshold or Goloboff scoring: a move is scored from per-character
    // counts (the cut's, kept by frvGetCutBranchLen) and not from the length.
    bool alt_ = false;
    // Every class scores integer lengths without weights: the span of a
    // reconnection is taken in one call.
    bool fastSpan_ = false;
    FastSpanScorer span_;
    // Cost-vector characters and irreversible steps add the difference a
    // reroot makes to their subtree's length.
    bool rerootDelta_ = true;
};

uint32_t taxaOnTree(const Tree *tree) { return tree->activeTaxa ? tree->activeTaxa : tree->ntax; }

// The moves (R, T) for T = graft item ti, ti in [ti, end), one at a time.
template <class Visit>
int eachMove(Visit &visit, Cut &cut, TreeNode *K, TreeNode *R, const ReconList &gr, uint32_t ti, uint32_t end)
{
    for (; ti < end; ti++) {
        if (ti + 1 < end)
            cut.prefetchTarget(ti + 1);
        if (int rc = visit(cut, K, gr.node[ti], ti, R))
            return rc;
    }
    return 0;
}

// The pairs (R, T) of one cut with l <= distance <= top, after the swap-type
// filter and the rules that skip the unrearranged tree and moves that other
// cuts reach at distance one. visit takes one move; visitRun the moves of
// one R onto the graft items [ti, end), which need no skip rule.
template <class Visit, class VisitRun>
int scanCut(Cut &cut, int swapType, const ReconList &rr, const ReconList &gr, uint32_t l, uint32_t top, Visit &visit,
            VisitRun &visitRun)
{
    TreeNode *K = cut.K(), *S = cut.S(), *G = cut.G();
    const bool rootCase = cut.rootCase();
    for (uint32_t d = l; d <= top; d++) {
        for (uint32_t a = 0; a <= d; a++) {
            const uint32_t b = d - a;
            if (a > rr.maxDist || b > gr.maxDist || (swapType != kSwapTBR && a != 0 && b != 0))
                continue;
            for (uint32_t ri = rr.first[a]; ri < rr.first[a + 1]; ri++) {
                TreeNode *R = rr.node[ri];
                // K sits at reroot distance 0 and only its grandchildren at 1;
                // S is graft edge 0, and S's children and G are at 1.
                const bool rIsK = R == K;
                const bool rGrandK = a == 1 && R->anc->anc == K;
                if (rootCase && rGrandK)
                    continue;
                const uint32_t tEnd = gr.first[b + 1];
                if (!(rIsK && b <= 1) && !(rGrandK && b == 0)) {
                    if (int rc = visitRun(cut, K, R, gr, gr.first[b], tEnd))
                        return rc;
                    continue;
                }
                for (uint32_t ti = gr.first[b]; ti < tEnd; ti++) {
                    TreeNode *T = gr.node[ti];
                    if (ti + 1 < tEnd)
                        cut.prefetchTarget(ti + 1);
                    if (rIsK && b <= 1 && (T == S || T->anc == S || T == G))
                        continue;
                    if (rGrandK && T == S)
                        continue;
                    if (int rc = visit(cut, K, T, ti, R))
                        return rc;
                }
            }
        }
    }
    return 0;
}

// The reconnection lists of every cut of one pass, built in its first ring
// and read again by the later rings: the tree's shape does not change within
// a pass. Like the other scratch, they belong to the calling thread.
class ReconCache {
public:
    ReconCache() : m_(*gLists) { m_.clear(); }

    void add(const ReconList &rr, const ReconList &gr, uint32_t reach)
    {
        m_.entries.push_back({static_cast<uint32_t>(m_.nodes.size()), static_cast<uint32_t>(m_.first.size()),
                              rr.maxDist, gr.maxDist, reach});
        for (const ReconList *l : {&rr, &gr}) {
            m_.nodes.insert(m_.nodes.end(), l->node, l->node + l->first[l->maxDist + 1]);
            m_.first.insert(m_.first.end(), l->first, l->first + l->maxDist + 2);
        }
    }
    // The lists of the i-th cut added; returns its reach.
    uint32_t get(uint32_t i, ReconList *rr, ReconList *gr)
    {
        const Entry &e = m_.entries[i];
        TreeNode **nodes = m_.nodes.data() + e.nodes;
        uint32_t *first = m_.first.data() + e.first;
        *rr = {nodes, first, e.rrMax};
        *gr = {nodes + first[e.rrMax + 1], first + e.rrMax + 2, e.grMax};
        return e.reach;
    }

private:
    struct Entry {
        uint32_t nodes, first, rrMax, grMax, reach;
    };
    struct Lists {
        std::vector<TreeNode *> nodes;
        std::vector<uint32_t> first;
        std::vector<Entry> entries;
        void clear()
        {
            nodes.clear();
            first.clear();
            entries.clear();
        }
    };
    static thread_local ThreadScratch<Lists> gLists;
    Lists &m_;
};
thread_local ThreadScratch<ReconCache::Lists> ReconCache::gLists;

// Rings of reconnection distance: all cuts at distance 1, then 2-4, 5-16,
// ... (from a centre 1-4 first), so that near moves are tried first.
template <class Visit>
auto movesOneByOne(Visit &visit)
{
    return [&visit](Cut &cut, TreeNode *K, TreeNode *R, const ReconList &gr, uint32_t ti, uint32_t end) {
        return eachMove(visit, cut, K, R, gr, ti, end);
    };
}

template <class Visit, class VisitRun>
int enumerateMoves(Tree *tree, const DataInfo *d, int swapType, TreeNode *centre, uint32_t reconLimit, bool scoring,
                   Visit &visit, VisitRun &visitRun)
{
    checkTraversalSeq(tree);
    const uint32_t L = tbrReconLimit(reconLimit, taxaOnTree(tree));
    CutOrder &cuts = gS->cuts;
    cuts.begin(tree, centre);
    const double whole = scoring ? swapTreeScore(d, tree) : 0.0;
    uint32_t l = 1, h = swapType == kSwapNNI ? 1 : centre ? 4 : 1;
    Cut cut(tree, d);
    ReconCache cache;
    for (bool firstRing = true;; firstRing = false) {
        h = std::min(h, L);
        uint32_t maxMet = 0;
        uint32_t listed = 0;
        for (uint32_t i = 0; TreeNode *K = cuts.at(i); i++) {
            // A fork left with one child (a pair of taxa unrooted) has no
            // edge to merge when K is cut and no other place to take K.
            if (K->anc->anc && !sibling(K))
                continue;
            ReconList rr, gr;
            uint32_t reach;
            if (firstRing) {
                // Interchanges reach no farther than one edge.
                reach = setReconSeq(tree, K, swapType == kSwapNNI ? 1 : L, &rr, &gr);
                cache.add(rr, gr, reach);
            } else {
                reach = cache.get(listed++, &rr, &gr);
            }
            maxMet = std::max(maxMet, reach);
            const uint32_t top = std::min(reach, h);
            if (top < l)
                continue;
            cut.begin(K, gr, scoring, whole, top);
            const int rc = scanCut(cut, swapType, rr, gr, l, top, visit, visitRun);
            cut.restore();
            if (rc)
                return rc;
        }
        if (swapType == kSwapNNI || h >= maxMet || h >= L)
            return 0;
        l = h + 1;
        h = h * 4;
    }
}

}  // namespace

int forEachTbrMove(Tree *tree, const DataInfo *d, int swapType, uint32_t reconLimit, TbrMoveFxn fn, void *ctx)
{
    auto visit = [&](Cut &cut, TreeNode *K, TreeNode *T, uint32_t ti, TreeNode *R) {
        return fn(ctx, K, T, R, d ? cut.score(T, ti, R, kNoScore) : 0.0);
    };
    auto visitRun = movesOneByOne(visit);
    return enumerateMoves(tree, d, swapType, nullptr, reconLimit, d != nullptr, visit, visitRun);
}

double countTbrRearrangements(Tree *tree, int swapType, uint32_t reconLimit)
{
    double n = 0.0;
    auto visit = [&](Cut &, TreeNode *, TreeNode *, uint32_t, TreeNode *) {
        n += 1.0;
        return 0;
    };
    auto visitRun = movesOneByOne(visit);
    enumerateMoves(tree, nullptr, swapType, nullptr, reconLimit, false, visit, visitRun);
    return n;
}

// ---------------------------------------------------------------------------
// One pass split among threads
//
// The moves of a pass are taken cut by cut, ring by ring; each (ring, cut)
// is an item. Threads scan items in any order on copies of the tree, each
// noting the moves that are within the bound the pass began with. The
// thread that owns the pass then takes the items strictly in the serial
// order and offers each noted move as the one-thread pass would have: a
// bound can only fall during a pass, so a move the serial pass offers is
// among those noted, with the same score, and one it rejects is skipped
// here. The pass ends where the serial one ends (a better tree, a stop),
// and the work done on later items is dropped.

namespace {

uint32_t gTogetherMinTaxa = 150;
bool gOwnerScans = true;
// The item of a pass at which its owner calls the helpers.
uint32_t gCallHelpersAt = 128;
std::atomic<uint64_t> gTogetherPasses{0}, gHelperItems{0};
// evaluateTogether could not split the pass.
constexpr int kNotTogether = 1000;

// A move within the bound, its nodes by position so that they name the
// same nodes on every copy of the tree.
struct NotedMove {
    uint32_t K, T, R;
    uint32_t ordinal;  // the moves of its item before it
    double score;
};

struct PassItem {
    std::atomic<uint8_t> done{0};
    bool failed = false;  // a helper ran out of memory on it: the owner scans it
    uint32_t moves = 0;
    uint32_t reach = 0;
    std::vector<NotedMove> noted;
};

class TogetherPass final : public PassHelpers::Job {
public:
    // Everything the threads read, taken from the owner's tree (whose sets
    // are current); the items are made ready to be claimed.
    bool setUp(Tree *tree, int swapType, TreeNode *centre, uint32_t limit, double bound)
    {
        if (!snapshot_ || snapshot_->maxNodes != tree->maxNodes) {
            destroyTree(snapshot_, true);
            snapshot_ = createTreeForTaxa(tree->ntax, tree->activeTaxa, true);
            if (!snapshot_ || snapshot_->maxNodes != tree->maxNodes)
                return false;
        }
        if (copyTree(tree, snapshot_) != 0)
            return false;
        swapType_ = swapType;
        limit_ = limit;
        bound_ = bound;
        order_.resize(tree->maxNodes);
        const uint32_t n = setCutSequence(tree, centre, order_.data());
        cuts_.resize(n);
        for (uint32_t i = 0; i < n; i++)
            cuts_[i] = static_cast<uint32_t>(order_[i] - tree->nodes);
        // The rings enumerateMoves would take if every cut reached the
        // limit; the owner stops after the last one the serial pass takes.
        rings_.clear();
        uint32_t l = 1, h = swapType == kSwapNNI ? 1 : centre ? 4 : 1;
        for (;;) {
            h = std::min(h, limit);
            rings_.push_back({l, h});
            if (swapType == kSwapNNI || h >= limit)
                break;
            l = h + 1;
            h = h * 4;
        }
        count_ = static_cast<uint32_t>(rings_.size() * cuts_.size());
        if (count_ > capacity_) {
            items_ = std::make_unique<PassItem[]>(count_);
            capacity_ = count_;
        }
        for (uint32_t w = 0; w < count_; w++) {
            items_[w].done.store(0, std::memory_order_relaxed);
            items_[w].failed = false;
        }
        next_.store(0, std::memory_order_relaxed);
        cancel_.store(false, std::memory_order_relaxed);
        return true;
    }

    // A helper out of memory (its allocations failed or threw) hands every
    // item it takes from then on back to the owner unscanned, so that no
    // item the owner waits for is left unclaimed.
    void help(PassSeat &seat) override
    {
        bool failed = false;
        try {
            failed = !helpOn(seat);
        } catch (const std::bad_alloc &) {
            failed = true;
        }
        if (failed)
            for (uint32_t w; (w = next_.fetch_add(1, std::memory_order_relaxed)) < count_;) {
                items_[w].failed = true;
                markDone(w);
            }
    }

    // The owner scans an item a helper handed back.
    void scanHandedBack(Tree *tree, Cut &cut, double whole, uint32_t w)
    {
        if (!items_[w].failed)
            return;
        items_[w].failed = false;
        scanItem(tree, cut, whole, w);
    }

private:
    // False when the helper could not go on: its copies could not be made,
    // or an item it took was left unscanned (then handed back).
    bool helpOn(PassSeat &seat)
    {
        if (cancelled())
            return true;
        if (copyTree(snapshot_, seat.tree) != 0)
            return false;
        // The sets are laid out in the order of the first tree a seat
        // copies; later trees of a search differ from it by a few moves,
        // and laying them out again each pass would cost more than it saves.
        pointTreeAtPackedData(seat.tree, seat.data);
        checkTraversalSeq(seat.tree);
        if (!seat.laidOut) {
            layOutNodeSets(seat.data, seat.tree);
            seat.laidOut = true;
        }
        calcStatesetsForSearch(seat.tree, seat.data, false);
        if (workerAllocationFailed())
            return false;
        Cut cut(seat.tree, seat.data);
        const double whole = swapTreeScore(seat.data, seat.tree);
        uint64_t scanned = 0;
        for (uint32_t w; !cancelled() && (w = next_.fetch_add(1, std::memory_order_relaxed)) < count_;) {
            bool failed = false;
            try {
                scanItem(seat.tree, cut, whole, w);
            } catch (const std::bad_alloc &) {
                failed = true;
            }
            items_[w].failed = failed || workerAllocationFailed();
            markDone(w);
            if (items_[w].failed)
                return false;
            scanned++;
        }
        gHelperItems.fetch_add(scanned, std::memory_order_relaxed);
        return true;
    }

    void markDone(uint32_t w)
    {
        items_[w].done.store(1, std::memory_order_release);
        items_[w].done.notify_all();
    }

public:

    // Claims the next item and scans it on tree; false when none is left.
    bool claimAndScan(Tree *tree, Cut &cut, double whole)
    {
        if (cancelled())
            return false;
        const uint32_t w = next_.fetch_add(1, std::memory_order_relaxed);
        if (w >= count_)
            return false;
        scanItem(tree, cut, whole, w);
        markDone(w);
        return true;
    }

    bool cancelled() const { return cancel_.load(std::memory_order_relaxed); }
    void cancel() { cancel_.store(true, std::memory_order_relaxed); }
    bool claimable() const { return !cancelled() && next_.load(std::memory_order_relaxed) < count_; }
    uint32_t count() const { return count_; }
    uint32_t cutCount() const { return static_cast<uint32_t>(cuts_.size()); }
    uint32_t ringTop(uint32_t ring) const { return rings_[ring].second; }
    PassItem &item(uint32_t w) { return items_[w]; }
    // Waits until item w is scanned.
    void await(uint32_t w) { items_[w].done.wait(0, std::memory_order_acquire); }
    bool ready(uint32_t w) const { return items_[w].done.load(std::memory_order_acquire) != 0; }

    ~TogetherPass() override { destroyTree(snapshot_, true); }

private:
    // The moves of cut i in ring r, as enumerateMoves scans them, each
    // scored against the bound the pass began with.
    void scanItem(Tree *tree, Cut &cut, double whole, uint32_t w)
    {
        PassItem &item = items_[w];
        item.moves = 0;
        item.reach = 0;
        item.noted.clear();
        const uint32_t nc = cutCount();
        const uint32_t ring = w / nc, i = w % nc;
        const auto [l, h] = rings_[ring];
        TreeNode *K = tree->nodes + cuts_[i];
        if (K->anc->anc && !sibling(K))
            return;
        // A cut whose reach (known once its first ring was scanned) falls
        // short of this ring has no move in it.
        if (ring > 0 && ready(i) && items_[i].reach < l)
            return;
        ReconList rr, gr;
        const uint32_t reach = setReconSeq(tree, K, swapType_ == kSwapNNI ? 1 : limit_, &rr, &gr);
        item.reach = reach;
        const uint32_t top = std::min(reach, h);
        if (top < l)
            return;
        TreeNode *base = tree->nodes;
        const double bound = bound_;
        auto note = [&](TreeNode *k, TreeNode *t, TreeNode *r, double score) {
            if (!(score > bound))
                item.noted.push_back({static_cast<uint32_t>(k - base), static_cast<uint32_t>(t - base),
                                      static_cast<uint32_t>(r - base), item.moves, score});
            item.moves++;
        };
        auto visit = [&](Cut &c, TreeNode *k, TreeNode *t, uint32_t ti, TreeNode *r) {
            note(k, t, r, c.score(t, ti, r, bound));
            return 0;
        };
        auto visitRun = [&](Cut &c, TreeNode *k, TreeNode *r, const ReconList &g, uint32_t ti, uint32_t end) {
            if (!c.runsApply())
                return eachMove(visit, c, k, r, g, ti, end);
            const Cut::RunScorer scorer = c.runScorer(r, bound);
            const bool pairs = scorer.pairs();
            while (ti < end) {
                if (pairs && ti + 1 < end) {
                    for (uint32_t p = ti + 2; p < end && p < ti + 4; p++)
                        scorer.prefetch(p);
                    double score[2];
                    scorer.scorePair(ti, score);
                    note(k, g.node[ti], r, score[0]);
                    note(k, g.node[ti + 1], r, score[1]);
                    ti += 2;
                } else {
                    if (ti + 1 < end)
                        scorer.prefetch(ti + 1);
                    note(k, g.node[ti], r, scorer.score(ti));
                    ti++;
                }
            }
            return 0;
        };
        cut.begin(K, gr, true, whole, top);
        scanCut(cut, swapType_, rr, gr, l, top, visit, visitRun);
        cut.restore();
    }

    Tree *snapshot_ = nullptr;
    std::vector<TreeNode *> order_;
    std::vector<uint32_t> cuts_;
    std::vector<std::pair<uint32_t, uint32_t>> rings_;
    std::unique_ptr<PassItem[]> items_;
    uint32_t count_ = 0, capacity_ = 0;
    int swapType_ = kSwapTBR;
    uint32_t limit_ = 0;
    double bound_ = 0.0;
    std::atomic<uint32_t> next_{0};
    std::atomic<bool> cancel_{false};
};

// The pass of evaluateNeighbors_TBR with helpers, for a heuristic search
// whose scores compare as plain numbers and whose moves are all offered
// through tryToSaveTree (no n-best list, 2-ECR centre, constraints or
// rearrangement limit).
int evaluateTogether(PassHelpers &helpers, Tree *tree, HSearchData *hsd, int swapType, TreeNode *centre,
                     uint32_t reconLimit, double *scoreToBeat, double *best)
{
    thread_local ThreadScratch<TogetherPass> passScratch;
    TogetherPass &pass = *passScratch;
    const DataInfo *d = hsd->data;
    checkTraversalSeq(tree);
    const uint32_t L = tbrReconLimit(reconLimit, taxaOnTree(tree));
    if (!pass.setUp(tree, swapType, centre, L, *scoreToBeat))
        return kNotTogether;
    // Most passes that find a better tree find it among their first cuts,
    // nearest the centre: the helpers are called only once the pass has
    // gone beyond them, for each copies the tree and makes all its sets.
    const uint32_t callAt = gOwnerScans ? gCallHelpersAt : 0;
    bool called = false;
    Cut cut(tree, d);
    const double whole = swapTreeScore(d, tree);
    const uint32_t nc = pass.cutCount();
    uint32_t maxMet = 0;
    StopPoll poll;
    int rc = 0;
    for (uint32_t w = 0; w < pass.count() && rc == 0; w++) {
        if (!called && w >= callAt) {
            helpers.post(&pass);
            gTogetherPasses.fetch_add(1, std::memory_order_relaxed);
            called = true;
        }
        // The owner scans items too while the next one to take is not ready.
        while (gOwnerScans && !pass.ready(w) && pass.claimable())
            pass.claimAndScan(tree, cut, whole);
        pass.await(w);
        pass.scanHandedBack(tree, cut, whole, w);
        if (poll.stopRequested()) {
            rc = 2;
            break;
        }
        const PassItem &item = pass.item(w);
        uint32_t counted = 0;
        for (const NotedMove &m : item.noted) {
            const double bound = *scoreToBeat;
            if (m.score > bound || !scoreIsGood(hsd, m.score, bound, *best))
                continue;
            const uint32_t tried = m.ordinal + 1 - counted;
            counted = m.ordinal + 1;
            hsd->rearrTriedRep += tried;
            hsd->rearrTriedTotal += tried;
            TreeNode *K = tree->nodes + m.K, *T = tree->nodes + m.T, *R = tree->nodes + m.R;
            RearrObject r;
            makeRearrObject(&r, K, T, R, m.score);
            rc = tryToSaveTree(hsd, tree, &r, false, best);
            if (const int limit = finishEvaluations(hsd, tried))
                rc = limit;
            if (rc)
                break;
        }
        if (rc)
            break;
        const uint32_t rest = item.moves - counted;
        hsd->rearrTriedRep += rest;
        hsd->rearrTriedTotal += rest;
        if ((rc = finishEvaluations(hsd, rest)) != 0)
            break;
        const uint32_t ring = w / nc;
        if (ring == 0)
            maxMet = std::max(maxMet, item.reach);
        if ((w + 1) % nc == 0) {
            const uint32_t h = pass.ringTop(ring);
            if (swapType == kSwapNNI || h >= maxMet || h >= L)
                break;
        }
    }
    if (called) {
        pass.cancel();
        helpers.finish();
    }
    return rc;
}

}  // namespace

void setTogetherPassOptions(uint32_t minTaxa, uint32_t callHelpersAt, bool ownerScans)
{
    gTogetherMinTaxa = minTaxa;
    gCallHelpersAt = callHelpersAt;
    gOwnerScans = ownerScans;
}
uint32_t togetherPassMinTaxa() { return gTogetherMinTaxa; }
TogetherCounts togetherCounts()
{
    return {gTogetherPasses.load(std::memory_order_relaxed), gHelperItems.load(std::memory_order_relaxed)};
}

int evaluateNeighbors_TBR(Tree *tree, HSearchData *hsd, int swapType, TreeNode *centre, uint32_t reconLimit,
                          double *scoreToBeat, double *best)
{
    // A move is tested from the constraint records of its cut, begun while
    // the tree is still whole (the cut is made lazily, by the first score).
    const bool constrained = topolConstraintsActive();
    if (constrained)
        beginConstrainedPass(tree);
    const TreeNode *recordsFor = nullptr;
    auto beginRecords = [&](const Cut &cut, TreeNode *K) {
        if (constrained && K != recordsFor && !cut.restCut() && !cut.subCut()) {
            beginConstrainedCut(K);
            recordsFor = K;
        }
    };
    // Nearly every move of a pass scores worse than the bound. When scores
    // compare as plain numbers, such a move is settled by one comparison:
    // in a heuristic search it must not pass the bound (unless an n-best
    // list keeps worse trees), else it must beat the best score.
    const bool plainScores = gCompareScoresFxn == compareParsimonyScores && !gScoresAreFlt;
    const bool heuristic = hsd->rules.heuristicRunning;
    const bool worseKept = heuristic && hsd->rules.nbest != 0;
    if (PassHelpers *helpers = passHelpers();
        helpers && heuristic && plainScores && !worseKept && !constrained && !hsd->ecrNode && hsd->rearrLimit == 0 &&
        swapType != kSwapNNI && taxaOnTree(tree) >= gTogetherMinTaxa && passHelpersAllowed(hsd) &&
        helpers->tryHold()) {
        const int rc = evaluateTogether(*helpers, tree, hsd, swapType, centre, reconLimit, scoreToBeat, best);
        helpers->letGo();
        if (rc != kNotTogether)
            return rc;
    }
    StopPoll poll;
    auto rejected = [&](double score, double bound) {
        return plainScores && !worseKept && (heuristic ? score > bound : score >= *best);
    };
    auto visit = [&](Cut &cut, TreeNode *K, TreeNode *T, uint32_t ti, TreeNode *R) {
        if (hsd->ecrNode && (K == hsd->ecrNode || isRedundantEcrNNI(hsd, T) || isRedundantEcrNNI(hsd, R)))
            return 0;
        beginRecords(cut, K);
        const double bound = *scoreToBeat;
        const double score = cut.score(T, ti, R, bound);
        if (poll.stopRequested())
            return 2;
        hsd->rearrTriedRep += 1.0;
        hsd->rearrTriedTotal += 1.0;
        int rc = 0;
        if (!rejected(score, bound) && scoreIsGood(hsd, score, bound, *best) &&
            cutMoveAllowed(tree, K, T, R)) {
            RearrObject r;
            makeRearrObject(&r, K, T, R, score);
            // A save may flush the hit list, which applies moves to the
            // tree: it must be whole then.
            const bool mayFlush = hsd->rules.heuristicRunning &&
                                  (hsd->hitList.count + 1 >= hsd->hitList.capacity || hsd->rules.chuckActive);
            const bool rest = cut.restCut(), sub = cut.subCut();
            if (mayFlush)
                cut.restore();
            rc = tryToSaveTree(hsd, tree, &r, false, best);
            if (mayFlush && rc == 0)
                cut.recut(rest, sub);
        }
        return finishEvaluation(hsd, rc);
    };
    // Runs of moves that share R: most of them score worse than the bound,
    // and those are settled by the span alone and counted once per run.
    // Any other move goes through visit. With an n-best list, a 2-ECR
    // centre or a rearrangement limit (which stops at an exact move) every
    // move does.
    const bool runs = plainScores && !worseKept && !hsd->ecrNode && hsd->rearrLimit == 0;
    auto visitRun = [&](Cut &cut, TreeNode *K, TreeNode *R, const ReconList &gr, uint32_t ti, uint32_t end) {
        if (!runs || !cut.runsApply())
            return eachMove(visit, cut, K, R, gr, ti, end);
        beginRecords(cut, K);
        while (ti < end) {
            // A move that visit saves may change the bound and restore the
            // sets. Until then the loop works on local copies, which the
            // span calls cannot be assumed to leave alone otherwise.
            const double bound = *scoreToBeat;
            const Cut::RunScorer scorer = cut.runScorer(R, bound);
            const bool pairs = scorer.pairs();
            StopPoll runPoll = poll;
            bool stop = false, kept = false;
            uint32_t n = 0;
            while (ti < end && !kept && !stop) {
                double score[2] = {0.0, 0.0};
                uint32_t m = 1;
                if (pairs && ti + 1 < end) {
                    m = 2;
                    for (uint32_t p = ti + 2; p < end && p < ti + 4; p++)
                        scorer.prefetch(p);
                    scorer.scorePair(ti, score);
                } else {
                    if (ti + 1 < end)
                        scorer.prefetch(ti + 1);
                    score[0] = scorer.score(ti);
                }
                for (uint32_t j = 0; j < m; j++, ti++) {
                    kept = !rejected(score[j], bound);
                    if (kept)
                        break;
                    stop = runPoll.stopRequested();
                    if (stop)
                        break;
                    n++;
                }
            }
            poll = runPoll;
            hsd->rearrTriedRep += n;
            hsd->rearrTriedTotal += n;
            if (stop)
                return 2;
            if (int rc = finishEvaluations(hsd, n))
                return rc;
            if (ti == end)
                break;
            if (int rc = visit(cut, K, gr.node[ti], ti, R))
                return rc;
            ti++;
        }
        return 0;
    };
    return enumerateMoves(tree, hsd->data, swapType, centre, reconLimit, true, visit, visitRun);
}

// ---------------------------------------------------------------------------
// Applying a move

namespace {

// Reroots K's subtree at the edge above R (R at least a grandchild of K):
// the path from R up to K is reversed and K's children become R and R's old
// parent; each edge on the path keeps its data when carry is set.
void rerootSubtree(TreeNode *K, TreeNode *R, bool carry)
{
    auto &x = gS->path;
    x.clear();
    for (TreeNode *n = R; n != K; n = n->anc)
        x.push_back(n);
    const size_t m = x.size() - 1;  // x[m] is K's child on the path
    TreeNode *other = sibling(x[m]);
    auto replaceChild = [](TreeNode *parent, TreeNode *old, TreeNode *repl) {
        repl->anc = parent;
        repl->nextSib = old->nextSib;
        if (parent->firstChild == old) {
            parent->firstChild = repl;
        } else {
            TreeNode *q = parent->firstChild;
            while (q->nextSib != old)
                q = q->nextSib;
            q->nextSib = repl;
        }
    };
    for (size_t i = m; i >= 1; i--)
        replaceChild(x[i], x[i - 1], i == m ? other : x[i + 1]);
    if (carry)
        for (size_t i = m - 1; i >= 1; i--)
            x[i + 1]->edge = x[i]->edge;
    K->firstChild = x[0];
    x[0]->anc = K;
    x[0]->nextSib = x[1];
    x[1]->anc = K;
    x[1]->nextSib = nullptr;
}

bool validMove(const Tree *tree, TreeNode *K, TreeNode *T, TreeNode *R)
{
    if (!K || !T || !R || !K->anc || !isBelow(K, tree->root) || !isBelow(R, K))
        return false;
    if (R != K && R->anc == K)
        return false;
    TreeNode *P = K->anc;
    if (!P->anc)
        return T == tree->root;
    return T->anc && T != P && !isBelow(T, K) && isBelow(T, tree->root);
}

// Moves (K, T, R), the links alone.
void moveSubtree(Tree *tree, TreeNode *K, TreeNode *T, TreeNode *R, bool carry)
{
    TreeNode *P = K->anc;
    if (R != K && K->firstChild)
        rerootSubtree(K, R, carry);
    if (P->anc) {
        pruneSubtree(K, false);
        graftSubtreeToEdge(tree, K, T, P);
    }
    afterTreeChange(tree);
}

// Whether the sets can follow move (K, T, R) incrementally. A reroot leaves
// the length of K's subtree and the counts of each character in it as they
// were only for reversible characters: cost vectors under threshold or
// Goloboff scoring are recomputed whole.
bool incrementalMove(const DataInfo *d, TreeNode *K, TreeNode *R)
{
    if (R == K || !K->firstChild)
        return true;
    const PackedData *pd = packedData(d);
    return !(pd->altArrays && !pd->stmChars.empty());
}

// Moves (K, T, R) and brings the sets up to date with it, from the work the
// move touched: the prune and the graft as the incremental updates make
// them, and for a reroot the path from R to K (gS->path, which rerootSubtree
// leaves holding it) with the subtrees beside it as far as their sets change.
void moveSubtreeWithSets(Tree *tree, const DataInfo *d, TreeNode *K, TreeNode *T, TreeNode *R, bool carry)
{
    TreeNode *P = K->anc;
    const bool rerooted = R != K && K->firstChild;
    const bool pruned = P->anc != nullptr;
    if (pruned) {
        TreeNode *S = sibling(K);
        pruneSubtree(K, false);
        revUpdateAfterPrune(d, S, K, P);
    }
    if (rerooted) {
        rerootSubtree(K, R, carry);
        // gS->path runs from R up to K's child; the forks whose children
        // changed are the path above R, which from K down is that order.
        gS->path.erase(gS->path.begin());
        revRerootDownSets(d, K, gS->path.data(), static_cast<uint32_t>(gS->path.size()));
    }
    if (pruned) {
        graftSubtreeToEdge(tree, K, T, P);
        revUpdateAfterGraft(d, K, !rerooted);
    }
    if (rerooted)
        revRerootUpSets(d, K, gS->path.data(), static_cast<uint32_t>(gS->path.size()));
    afterTreeChange(tree);
}

// The preorder list of a tree kept in step with a move (K, T, R) that
// leaves the basal fork and its edges alone: K's block (K and the nodes
// below it, one run of the list) and its old parent P are taken out before
// the move, and after it P goes in before T and K's block after T's, as the
// graft makes P's children T and K. A reroot reorders K's block, which is
// then linked again from a walk of K's subtree. Every pointer written is
// logged first, so that undo gives the list back as it was.
class OrderSplice {
public:
    // Whether the move can be followed this way (else the list is made
    // again whole): neither P, T nor their parents is the root.
    static bool applies(const TreeNode *K, const TreeNode *T)
    {
        const TreeNode *P = K->anc, *G = P->anc;
        return G && G->anc && (T->anc == P || (T->anc && T->anc->anc));
    }

    // Before the move: K's block and P leave the list.
    void takeOut(Tree *tree, TreeNode *K)
    {
        log_.clear();
        tail_ = tree->tail;
        TreeNode *P = K->anc, *last = lastBelow(K);
        link(tree, P->prev, P->next);
        link(tree, K->prev, last->next);
        last_ = last;
    }

    // After it: P before T, then K's block after T's.
    void putBack(Tree *tree, TreeNode *K, TreeNode *T, bool reordered)
    {
        TreeNode *P = K->anc;
        link(tree, T->prev, P);
        link(tree, P, T);
        TreeNode *lastT = lastBelow(T), *after = lastT->next;
        if (!reordered) {
            link(tree, lastT, K);
            link(tree, last_, after);
            return;
        }
        TreeNode *prev = lastT;
        for (TreeNode *x = K; x; x = nextPreorderNode(x, K)) {
            link(tree, prev, x);
            prev = x;
        }
        link(tree, prev, after);
    }

    // The list as it was before takeOut.
    void restore(Tree *tree)
    {
        for (size_t i = log_.size(); i-- > 0;) {
            log_[i].node->prev = log_[i].prev;
            log_[i].node->next = log_[i].next;
        }
        tree->tail = tail_;
    }

private:
    struct Saved {
        TreeNode *node, *prev, *next;
    };

    static TreeNode *lastBelow(TreeNode *n)
    {
        while (TreeNode *c = n->firstChild) {
            while (c->nextSib)
                c = c->nextSib;
            n = c;
        }
        return n;
    }
    // a then b on the list (a never null here; b null at the end).
    void link(Tree *tree, TreeNode *a, TreeNode *b)
    {
        log_.push_back({a, a->prev, a->next});
        a->next = b;
        if (b) {
            log_.push_back({b, b->prev, b->next});
            b->prev = a;
        } else {
            tree->tail = a;
        }
    }

    std::vector<Saved> log_;
    TreeNode *tail_ = nullptr, *last_ = nullptr;
};

struct LinkSnapshot {
    TreeNode *node;
    TreeNode *anc, *firstChild, *nextSib;
    EdgeData edge;
};

// Which tree a record below belongs to: its address and its serial, since
// a tree made after that one is freed may get the same address.
struct TreeKey {
    const Tree *tree = nullptr;
    uint64_t serial = 0;

    static TreeKey of(const Tree *t) { return {t, t->serial}; }
    bool names(const Tree *t) const { return tree && tree == t && serial == t->serial; }
};

// What undoTbrRearr needs of the last move applied on this thread: the move
// back, and the links of every node the move may relink (child order and
// edge data included), taken before it.
struct UndoRecord {
    TreeKey tree;
    TreeNode *K = nullptr, *S = nullptr, *back = nullptr;
    bool withSets = false;
    // The list was kept in step (else it is made again whole).
    bool spliced = false;
    OrderSplice order;
    std::vector<LinkSnapshot> links;

    // n, its parent with every child of that parent, and n's children: all
    // a prune, graft or reroot at n relinks. A node noted twice is restored
    // twice to the same values.
    void noteFamily(TreeNode *n)
    {
        auto note = [this](TreeNode *x) { links.push_back({x, x->anc, x->firstChild, x->nextSib, x->edge}); };
        note(n);
        if (TreeNode *a = n->anc) {
            note(a);
            for (TreeNode *c = a->firstChild; c; c = c->nextSib)
                if (c != n)
                    note(c);
        }
        for (TreeNode *c = n->firstChild; c; c = c->nextSib)
            note(c);
    }
};
thread_local ThreadScratch<UndoRecord> gUndo;

struct LastMoved {
    TreeKey tree;
    TreeNode *node = nullptr;
};
thread_local LastMoved gLastMoved;

// The basal fork holds the root's lent down slot wherever links were
// restored: the loan moved with the basal fork, which is among the nodes
// the move relinked.
void fixRootSlotLoan(Tree *tree, const std::vector<LinkSnapshot> &touched)
{
    TreeNode *root = tree->root, *basal = root->firstChild;
    if (!root->abm[0] || !basal || basal->abm[1] == root->abm[0])
        return;
    for (const LinkSnapshot &l : touched) {
        if (l.node->abm[1] == root->abm[0]) {
            std::swap(l.node->abm[1], basal->abm[1]);
            return;
        }
    }
    for (uint32_t p = 0; p < tree->maxNodes; p++) {
        TreeNode *n = tree->nodes + p;
        if (n->abm[1] == root->abm[0]) {
            std::swap(n->abm[1], basal->abm[1]);
            return;
        }
    }
}

}  // namespace

int finishRearr_TBR(Tree *tree, TreeNode *K, TreeNode *T, TreeNode *R, bool carryEdgeData)
{
    if (!validMove(tree, K, T, R))
        return 1;
    moveSubtree(tree, K, T, R, carryEdgeData);
    setTraversalSeq(tree);
    gLastMoved = {TreeKey::of(tree), K};
    return 0;
}

TreeNode *lastMovedSubtree(const Tree *tree) { return gLastMoved.tree.names(tree) ? gLastMoved.node : nullptr; }

void setLastMovedSubtree(const Tree *tree, TreeNode *node) { gLastMoved = {TreeKey::of(tree), node}; }

int applyTbrRearr(RearrObject *inverse, Tree *tree, const DataInfo *d, const RearrObject *hit, bool updateSets)
{
    TreeNode *K = hit->node[0], *T = hit->node[1], *R = hit->node[2];
    if (!validMove(tree, K, T, R))
        return 1;
    TreeNode *P = K->anc;
    const bool rootCase = !P->anc;
    TreeNode *S = rootCase ? tree->root : sibling(K);
    // Rerooting back at K's old child off the path restores the subtree.
    TreeNode *back = K;
    if (R != K && K->firstChild) {
        TreeNode *onPath = R;
        while (onPath->anc != K)
            onPath = onPath->anc;
        back = sibling(onPath);
    }
    makeRearrObject(inverse, K, S, back, hit->score);
    inverse->storedScore = hit->storedScore;

    UndoRecord &u = *gUndo;
    u.tree = TreeKey::of(tree);
    u.K = K;
    u.S = S;
    u.back = back;
    u.links.clear();
    for (TreeNode *n : {K, P, S, T})
        u.noteFamily(n);
    if (R != K)
        for (TreeNode *n = R; n != K; n = n->anc)
            u.noteFamily(n);
    u.withSets = updateSets && incrementalMove(d, K, R);
    checkTraversalSeq(tree);
    u.spliced = OrderSplice::applies(K, T);
    if (u.spliced)
        u.order.takeOut(tree, K);
    if (u.withSets)
        moveSubtreeWithSets(tree, d, K, T, R, true);
    else
        moveSubtree(tree, K, T, R, true);
    if (u.spliced) {
        u.order.putBack(tree, K, T, R != K && K->firstChild);
        tree->flags |= kTreeTraversalValid;
    } else {
        setTraversalSeq(tree);
    }
    if (updateSets && !u.withSets)
        calcStatesetsForSearch(tree, d, false);
    gLastMoved = {TreeKey::of(tree), K};
    return 0;
}

int undoTbrRearr(Tree *tree, const DataInfo *d, bool updateSets)
{
    UndoRecord &u = *gUndo;
    if (!u.tree.names(tree))
        return 1;
    // The move back, with the same updates; then the links as they were,
    // which the move back gives up to child order and edge data.
    if (u.withSets && updateSets)
        moveSubtreeWithSets(tree, d, u.K, u.S, u.back, false);
    for (size_t i = u.links.size(); i-- > 0;) {
        const LinkSnapshot &l = u.links[i];
        l.node->anc = l.anc;
        l.node->firstChild = l.firstChild;
        l.node->nextSib = l.nextSib;
        l.node->edge = l.edge;
    }
    fixRootSlotLoan(tree, u.links);
    afterTreeChange(tree);
    if (u.spliced) {
        u.order.restore(tree);
        tree->flags |= kTreeTraversalValid;
    } else {
        setTraversalSeq(tree);
    }
    if (updateSets && !u.withSets)
        calcStatesetsForSearch(tree, d, false);
    u.tree = {};
    return 0;
}

int localSearchFromOneTreeViaTBR(Tree *tree, HSearchData *hsd, int swapType, uint32_t reconLimit,
                                 double *scoreToBeat)
{
    // Trees assembled from quartets are scored by their quartet weights.
    if (doingQuartetSearch())
        return quartetLocalSearchViaTBR(tree, hsd, swapType, reconLimit, scoreToBeat);
    const DataInfo *d = hsd->data;
    checkTraversalSeq(tree);
    calcStatesetsForSearch(tree, d, false);
    clearHits(hsd);
    hsd->rearrTriedRep = 0.0;
    for (;;) {
        double best = swapTreeScore(d, tree);
        tree->score[0] = best;
        *scoreToBeat = std::min(*scoreToBeat, best);
        const int rc = evaluateNeighbors_TBR(tree, hsd, swapType, nullptr, reconLimit, scoreToBeat, &best);
        if (rc != -1)
            return rc;
        RearrObject inverse;
        const RearrObject hit = *getSwapHit(hsd, 0);
        if (applyTbrRearr(&inverse, tree, d, &hit, true) != 0)
            return 1;
        clearHits(hsd);
    }
}

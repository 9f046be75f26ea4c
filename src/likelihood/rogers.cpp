#include "likelihood/rogers.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "data/model.h"
#include "distance/eirdist.h"
#include "likelihood/activeml.h"
#include "likelihood/clapool.h"
#include "likelihood/likelihood_settings.h"
#include "likelihood/models.h"
#include "likelihood/ratevar.h"
#include "qel/qel_brent.h"
#include "qel/qel_detmath.h"
#include "qel/qel_diag.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_output.h"
#include "trees/treeedit.h"
#include "trees/treeutil.h"

namespace {

std::vector<double> gPairCounts;

using StateSets = std::vector<uint64_t>;  // one state set per pattern

// The state set of a tip-like node at every pattern.
void tipSets(const TreeNode *n, const ModelGroup *g, StateSets &out)
{
    const TipRow *row = tipRowOfNode(n, g);
    const uint32_t ns = g->nstates;
    const uint64_t all = ns >= 64 ? ~uint64_t{0} : (uint64_t{1} << ns) - 1;
    out.assign(g->ngrp, all);
    if (row == nullptr)
        return;
    for (uint32_t p = 0; p < g->ngrp; ++p) {
        const uint32_t c = row->codes[p];
        if (c < ns) {
            out[p] = uint64_t{1} << c;
        } else if (c > ns) {
            const uint8_t *list = row->ambStates[c - ns - 1].data();
            uint64_t bits = 0;
            for (uint32_t k = 1; k <= list[0]; ++k)
                bits |= uint64_t{1} << list[k];
            out[p] = bits;
        }
    }
}

// Fitch sets of every node in postorder (position-indexed); each pattern
// whose child sets do not meet counts one change when counts is given.
void fitchPass(Tree *tree, const ModelGroup *g, std::vector<StateSets> &sets, std::vector<uint32_t> *counts)
{
    sets.assign(tree->maxNodes, {});
    if (counts)
        counts->assign(g->ngrp, 0);
    for (TreeNode *n = firstPostorderNode(tree->root); n != nullptr; n = nextPostorderNode(n, tree->root)) {
        StateSets &s = sets[static_cast<size_t>(n - tree->nodes)];
        if (!isInternalNode(n) || n == tree->root) {
            tipSets(n, g, s);
            continue;
        }
        s = sets[static_cast<size_t>(n->firstChild - tree->nodes)];
        for (TreeNode *c = n->firstChild->nextSib; c != nullptr; c = c->nextSib) {
            const StateSets &b = sets[static_cast<size_t>(c - tree->nodes)];
            for (uint32_t p = 0; p < g->ngrp; ++p) {
                const uint64_t i = s[p] & b[p];
                if (i != 0) {
                    s[p] = i;
                } else {
                    s[p] |= b[p];
                    if (counts)
                        ++(*counts)[p];
                }
            }
        }
    }
    if (tree->root->index >= 0 && counts) {
        // A tip root meets the basal node's set as one more child.
        const StateSets &r = sets[static_cast<size_t>(tree->root - tree->nodes)];
        const StateSets &b = sets[static_cast<size_t>(tree->root->firstChild - tree->nodes)];
        for (uint32_t p = 0; p < g->ngrp; ++p)
            if ((r[p] & b[p]) == 0)
                ++(*counts)[p];
    }
}

// Most-parsimonious state sets narrowed branch by branch to one
// reconstruction per pattern: the best first by its number of changes,
// then, among equally parsimonious ones, by a price of each change that
// depends on the branch it falls on (Sankoff's rule with integer costs, so
// that ties are exact and the fewest changes always win). Where a
// pattern's changes could fall on either of two branches, the model puts
// them on each about in proportion to its length; giving them all to the
// longer branch (or to the one nearer the root, as AccTran does) starves
// the other. So the price of a change on a branch is minus the log of its
// estimated length perturbed, for each pattern, by a Gumbel deviate drawn
// from a hash of the pattern and the branch: the cheaper of two branches
// is then the first with the chance its length share gives, and the result
// is reproducible. The rank of the branch in compareEdges order settles
// equal prices.
class MPRRefiner {
public:
    MPRRefiner(Tree *tree, const ModelGroup *g, std::vector<StateSets> &sets, const TreeNode *noBranch)
        : tree_(tree), g_(g), sets_(sets), ns_(g->nstates)
    {
        for (TreeNode *x = tree->root; x != nullptr; x = nextPreorderNode(x, tree->root))
            slot_.push_back(pos(x));
        std::vector<uint32_t> slotOf(tree->maxNodes, 0);
        for (uint32_t i = 0; i < slot_.size(); ++i)
            slotOf[slot_[i]] = i;
        up_.assign(slot_.size(), 0);
        for (uint32_t i = 1; i < slot_.size(); ++i)
            up_[i] = slotOf[pos(tree->nodes[slot_[i]].anc)];
        // Each branch is known by the taxa it splits off (a hash of the
        // smaller-keyed side), so that its price and rank do not depend on
        // how the nodes of the same tree are numbered or ordered. The
        // ancestor a rooted tree is held at is no taxon: every branch keeps
        // the key it has in the tree read unrooted, and the two branches at
        // the basal fork, which split off the same taxa, share the key of
        // the one branch they form there.
        std::vector<uint64_t> below(slot_.size(), 0);
        for (uint32_t i = static_cast<uint32_t>(slot_.size()); i-- > 0;) {
            const TreeNode &x = tree->nodes[slot_[i]];
            if ((!isInternalNode(&x) || i == 0) && x.index >= 0)
                below[i] ^= mix(static_cast<uint64_t>(x.index) + 1);
            if (i > 0)
                below[up_[i]] ^= below[i];
        }
        for (uint32_t i = 1; i < slot_.size(); ++i) {
            const uint64_t key = std::min(below[i], below[0] ^ below[i]);
            if (&tree->nodes[slot_[i]] != noBranch)
                edges_.push_back({i, key, 0.0, 0.0});
            else
                noBranchSlot_ = i;
        }
        // Integer prices: a change costs unit_ plus an extra below
        // maxExtra_, the extras of all changes together stay below unit_,
        // and a whole reconstruction stays far below kInf.
        const double e1 = static_cast<double>(edges_.size() + 1);
        quant_ = std::floor(std::min(4096.0, 0x1p60 / (kMaxPrice * e1 * e1 * e1)));
        maxExtra_ = static_cast<uint64_t>(kMaxPrice * quant_ + 1.0) * (edges_.size() + 1) + edges_.size();
        unit_ = (edges_.size() + 1) * maxExtra_ + 1;
        cost_.assign(slot_.size() * kBlock, unit_);
        // The edge below the ancestor carries no branch: a change there is
        // the dearest of all, so that none goes there while a branch can
        // take it.
        if (noBranchSlot_ != 0)
            std::fill_n(&cost_[size_t{noBranchSlot_} * kBlock], kBlock, unit_ + maxExtra_);
        rank_.assign(slot_.size(), 0);
        logLen_.assign(slot_.size(), 0.0);
        down_.resize(slot_.size() * kBlock * ns_);
        state_.resize(slot_.size() * kBlock);
    }

    // Weighs each branch's certain changes (patterns whose sets at its
    // two ends are disjoint) and uncertain ones (sets that meet but are
    // not one shared state) under the given sets, ranks the branches with
    // compareEdges and prices changes on them from then on by the length
    // those weights suggest.
    void rankEdges(const std::vector<StateSets> &sets)
    {
        for (EdgeWeights &e : edges_) {
            const StateSets &a = sets[slot_[up_[e.slot]]], &d = sets[slot_[e.slot]];
            e.certain = e.uncertain = 0.0;
            for (uint32_t p = 0; p < g_->ngrp; ++p) {
                const uint64_t shared = a[p] & d[p];
                if (shared == 0)
                    e.certain += g_->groupPatternWeight[p];
                else if (a[p] != d[p] || std::popcount(shared) != 1)
                    e.uncertain += g_->groupPatternWeight[p];
            }
        }
        std::sort(edges_.begin(), edges_.end(), compareEdges);
        for (uint32_t r = 0; r < edges_.size(); ++r) {
            const EdgeWeights &e = edges_[r];
            rank_[e.slot] = r;
            // Half of the uncertain changes are expected on the branch; the
            // half change more keeps an empty branch from being barred.
            logLen_[e.slot] = detLog(e.certain + 0.5 * e.uncertain + 0.5);
        }
    }

    // Narrows the sets of the given patterns (at most kBlock) to the single
    // states of each one's best reconstruction under the current prices
    // (from the root down, a node keeps its ancestor's state when that is
    // among its best, else takes its lowest best state); true when a set
    // changed. Every set must hold the states of at least one
    // most-parsimonious reconstruction. Patterns go by blocks so that each
    // node's sets are read and written in runs.
    bool narrow(const uint32_t *pats, uint32_t count)
    {
        // Nucleotides, by far the commonest, get loops of fixed length.
        return ns_ == 4 ? narrowWith<4>(pats, count) : narrowWith<0>(pats, count);
    }

    static constexpr uint32_t kBlock = 32;

private:
    // NS: the number of states when fixed at compile time, else 0.
    template <uint32_t NS>
    bool narrowWith(const uint32_t *pats, uint32_t count)
    {
        const uint32_t ns = NS != 0 ? NS : ns_;
        downPass<NS>(pats, count);
        const uint32_t n = static_cast<uint32_t>(slot_.size());
        bool changed = false;
        for (uint32_t b = 0; b < count; ++b) {
            const uint64_t *rootCost = &down_[size_t{b} * ns];
            state_[b] = static_cast<uint32_t>(std::min_element(rootCost, rootCost + ns) - rootCost);
        }
        for (uint32_t i = 0; i < n; ++i) {
            StateSets &sets = sets_[slot_[i]];
            for (uint32_t b = 0; b < count; ++b) {
                const size_t k = size_t{i} * kBlock + b;
                if (i > 0) {
                    const uint64_t *d = &down_[k * ns];
                    const uint64_t change = cost_[k];
                    uint32_t t = state_[size_t{up_[i]} * kBlock + b];
                    uint64_t best = d[t];
                    for (uint32_t s = 0; s < ns; ++s)
                        if (d[s] + change < best)
                            best = d[s] + change, t = s;
                    state_[k] = t;
                }
                const uint64_t single = uint64_t{1} << state_[k];
                changed = changed || sets[pats[b]] != single;
                sets[pats[b]] = single;
            }
        }
        return changed;
    }

    struct EdgeWeights {
        uint32_t slot;
        uint64_t key;
        double certain, uncertain;
    };
    static constexpr uint64_t kInf = ~uint64_t{0} >> 1;
    static constexpr double kMaxPrice = 64.0;  // range of the log-length price
    static constexpr unsigned kGumbelBits = 12;

    // By the sum of certain and uncertain changes, more first; then by the
    // uncertain ones, which alone order branches without a certain change;
    // then by the taxa they split off, so that the ranks are reproducible.
    static bool compareEdges(const EdgeWeights &a, const EdgeWeights &b)
    {
        const double sa = a.certain + a.uncertain, sb = b.certain + b.uncertain;
        if (sa != sb)
            return sa > sb;
        if (a.uncertain != b.uncertain)
            return a.uncertain > b.uncertain;
        return a.key != b.key ? a.key < b.key : a.slot < b.slot;
    }

    static uint64_t mix(uint64_t z)
    {
        z += 0x9E3779B97F4A7C15ull;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    // Gumbel deviates at the midpoints of 2^kGumbelBits equal quantile
    // steps: a hash picks the step, sparing two logarithms per branch and
    // pattern.
    static const std::vector<double> &gumbelTable()
    {
        static const std::vector<double> table = [] {
            std::vector<double> t(size_t{1} << kGumbelBits);
            for (size_t i = 0; i < t.size(); ++i)
                t[i] = -detLog(-detLog((static_cast<double>(i) + 0.5) / static_cast<double>(t.size())));
            return t;
        }();
        return table;
    }

    size_t pos(const TreeNode *x) const { return static_cast<size_t>(x - tree_->nodes); }

    // The price of a change on each branch for each pattern of a block.
    void priceFor(const uint32_t *pats, uint32_t count)
    {
        const std::vector<double> &gumbel = gumbelTable();
        const uint64_t stride = edges_.size() + 1;
        uint64_t pattern[kBlock];
        for (uint32_t b = 0; b < count; ++b)
            pattern[b] = mix(pats[b]);
        for (const EdgeWeights &e : edges_) {
            uint64_t *cost = &cost_[size_t{e.slot} * kBlock];
            const double base = kMaxPrice / 2 - logLen_[e.slot];
            const uint64_t fixed = unit_ + rank_[e.slot];
            for (uint32_t b = 0; b < count; ++b) {
                const uint64_t z = (e.key ^ pattern[b]) * 0x9E3779B97F4A7C15ull;
                const double price = std::clamp(base - gumbel[z >> (64 - kGumbelBits)], 0.0, kMaxPrice);
                cost[b] = fixed + static_cast<uint64_t>(price * quant_) * stride;
            }
        }
    }

    // Least cost of each node's subtree for each of its states (kInf for a
    // state outside its set), children before their ancestors.
    template <uint32_t NS>
    void downPass(const uint32_t *pats, uint32_t count)
    {
        const uint32_t ns = NS != 0 ? NS : ns_;
        priceFor(pats, count);
        const uint32_t n = static_cast<uint32_t>(slot_.size());
        for (uint32_t i = 0; i < n; ++i) {
            const StateSets &sets = sets_[slot_[i]];
            for (uint32_t b = 0; b < count; ++b) {
                const uint64_t set = sets[pats[b]];
                uint64_t *d = &down_[(size_t{i} * kBlock + b) * ns];
                for (uint32_t s = 0; s < ns; ++s)
                    d[s] = (set >> s) & 1 ? 0 : kInf;
            }
        }
        for (uint32_t i = n; i-- > 1;)
            for (uint32_t b = 0; b < count; ++b) {
                const size_t k = size_t{i} * kBlock + b;
                const uint64_t *c = &down_[k * ns];
                uint64_t *d = &down_[(size_t{up_[i]} * kBlock + b) * ns];
                uint64_t least = c[0];
                for (uint32_t s = 1; s < ns; ++s)
                    least = std::min(least, c[s]);
                const uint64_t viaChange = least + cost_[k];
                for (uint32_t s = 0; s < ns; ++s)
                    if (d[s] != kInf)
                        d[s] += std::min(c[s], viaChange);
            }
    }

    Tree *tree_;
    const ModelGroup *g_;
    std::vector<StateSets> &sets_;
    uint32_t ns_;
    std::vector<uint32_t> slot_;  // tree positions in preorder from the root
    std::vector<uint32_t> up_;    // preorder index of each node's ancestor
    uint32_t noBranchSlot_ = 0;
    std::vector<EdgeWeights> edges_;
    double quant_ = 0.0;
    uint64_t unit_ = 0, maxExtra_ = 0;
    // By preorder index, then pattern of the block (then state):
    std::vector<uint64_t> cost_;   // of a change on the edge above the node
    std::vector<uint64_t> down_;   // the least cost of the node's subtree
    std::vector<uint32_t> state_;  // of the reconstruction
    std::vector<uint32_t> rank_;   // of each branch in compareEdges order
    std::vector<double> logLen_;   // of each branch's estimated change count
};

// Fitch sets narrowed to single states from the root down: the lowest
// state a node shares with its (already single) ancestor, else its own
// lowest, which puts changes as near the root as they can go (AccTran).
void accTranStates(Tree *tree, const ModelGroup *g, std::vector<StateSets> &sets)
{
    auto pos = [&](const TreeNode *x) { return static_cast<size_t>(x - tree->nodes); };
    for (uint32_t p = 0; p < g->ngrp; ++p)
        sets[pos(tree->root)][p] = sets[pos(tree->root)][p] & (~sets[pos(tree->root)][p] + 1);
    for (TreeNode *x = tree->root->firstChild; x != nullptr; x = nextPreorderNode(x, tree->root)) {
        StateSets &s = sets[pos(x)];
        const StateSets &a = sets[pos(x->anc)];
        for (uint32_t p = 0; p < g->ngrp; ++p) {
            const uint64_t shared = s[p] & a[p];
            const uint64_t pick = shared != 0 ? shared : s[p];
            s[p] = pick & (~pick + 1);
        }
    }
}

// The model's distance for a divergence matrix F (pairs, rows the
// ancestor's state): the equal-input (F81) form, gamma-corrected when the
// model has rate categories.
double startDistance(const Model *m, const std::vector<double> &F, uint32_t n)
{
    double same = 0.0, b = 1.0;
    std::vector<double> pi(n, 0.0);
    for (uint32_t i = 0; i < n; ++i) {
        same += F[i * n + i];
        for (uint32_t j = 0; j < n; ++j)
            pi[i] += 0.5 * (F[i * n + j] + F[j * n + i]);
    }
    for (double f : pi)
        b -= f * f;
    if (b <= 1e-10)
        return 0.0;
    const double ratio = 1.0 - (1.0 - same) / b;
    if (ratio <= 0.0)
        return -1.0;
    const double shape = m->gammaShape == kEstimate ? 0.5 : std::max(m->gammaShape, 0.0);
    if (shape > 0.0 && m->ncat > 1)
        return b * std::max(shape, 0.1) * (detPow(ratio, -1.0 / std::max(shape, 0.1)) - 1.0);
    return -b * detLog(ratio);
}

}  // namespace

const std::vector<double> &rogersPairCounts() { return gPairCounts; }

namespace {

// A tree held at its ancestor node above a fork of two is, to the
// likelihood, the same tree unrooted: the two basal branches are one. Its
// starting values are those of that unrooted tree, held at the first taxon
// as an unrooted tree is, so that the rooted tree starts where the same
// tree unrooted does; the basal branch's length is shared equally. 1 when
// the tree has no such fork, else rogers' status.
int rogersAsUnrooted(Tree *tree, ModelGroup *g, bool accumulate, bool setLengths, bool keep)
{
    TreeNode *fork = tree->root->firstChild;
    if (!(tree->flags & kTreeRootedAtAnc) || fork == nullptr || fork->nextSib != nullptr ||
        fork->firstChild == nullptr || fork->firstChild->nextSib == nullptr ||
        fork->firstChild->nextSib->nextSib != nullptr)
        return 1;
    TreeNode *first = nullptr;
    for (TreeNode *x = fork; x != nullptr; x = nextPreorderNode(x, fork))
        if (!isInternalNode(x) && x->index >= 0 && (first == nullptr || x->index < first->index))
            first = x;
    TreeHandle copy(createTree(true));
    if (!copy || first == nullptr || copyTree(tree, copy.get()) != 0)
        return 1;
    auto at = [&](const TreeNode *x) { return copy->nodes + (x - tree->nodes); };
    // Drop the ancestor node, hold the copy at the first taxon, and join
    // the two basal branches through the fork, now a node of one child.
    TreeNode *cfork = at(fork);
    cfork->anc = nullptr;
    cfork->nextSib = nullptr;
    copy->root = cfork;
    copy->flags &= ~kTreeRootedAtAnc;
    if (rerootTree(copy.get(), at(first), true) != 0 || contractInternalEdge(copy.get(), cfork) != 0)
        return 1;
    setTraversalSeq(copy.get());
    const int status = rogers(copy.get(), g, accumulate, setLengths, keep);
    if (status != 0 || !setLengths || ml.userBrLens)
        return status;
    const TreeNode *a = fork->firstChild, *b = a->nextSib;
    for (TreeNode *x = copy->root->firstChild; x != nullptr; x = nextPreorderNode(x, copy->root)) {
        TreeNode *mine = tree->nodes + (x - copy->nodes), *above = tree->nodes + (x->anc - copy->nodes);
        if ((mine == a && above == b) || (mine == b && above == a))
            fork->firstChild->edge.brlen = fork->firstChild->nextSib->edge.brlen = x->edge.brlen / 2.0;
        else if (mine->anc == above)
            mine->edge.brlen = x->edge.brlen;
        else if (above->anc == mine)
            above->edge.brlen = x->edge.brlen;
    }
    return 0;
}

}  // namespace

int rogers(Tree *tree, ModelGroup *g, bool accumulate, bool setLengths, bool keep)
{
    if (const int status = rogersAsUnrooted(tree, g, accumulate, setLengths, keep); status != 1)
        return status;
    (void)keep;
    const uint32_t n = g->nstates;
    std::vector<StateSets> sets;
    auto pos = [&](const TreeNode *x) { return static_cast<size_t>(x - tree->nodes); };
    auto aborted = [] {
        if (getAbortedStatus() == 0)
            return false;
        AbortPoll poll;
        return poll.stop();
    };
    // A tree held at its ancestor node has no branch above the basal fork:
    // the ancestor is no taxon, so that edge has neither changes to count
    // nor a length, which would be listed and summed with the branches.
    const TreeNode *noBranch = (tree->flags & kTreeRootedAtAnc) ? tree->root->firstChild : nullptr;
    std::vector<uint32_t> changes;
    fitchPass(tree, g, sets, ml.useAcctran ? nullptr : &changes);
    if (aborted())
        return 2;
    std::vector<uint8_t> open;
    if (!ml.useAcctran) {
        // A pattern of at most one change and no ambiguous taxon has one
        // most-parsimonious reconstruction, which AccTran finds; the others
        // are open to the narrowing.
        open.resize(g->ngrp);
        for (uint32_t p = 0; p < g->ngrp; ++p)
            open[p] = changes[p] > 1;
        for (TreeNode *x = tree->root; x != nullptr; x = nextPreorderNode(x, tree->root))
            if (!isInternalNode(x) || x == tree->root)
                for (uint32_t p = 0; p < g->ngrp; ++p)
                    open[p] |= std::popcount(sets[pos(x)][p]) > 1;
    }
    accTranStates(tree, g, sets);
    if (!ml.useAcctran) {
        // The AccTran changes on each branch give the first estimate of its
        // length. The open patterns' sets then start again from the taxa's
        // states and every state of every internal node, so that the
        // narrowing keeps states of most-parsimonious reconstructions only,
        // and all of those open to the pricing. A narrowed pattern holds
        // single states, so that one pass leaves nothing for another.
        MPRRefiner refiner(tree, g, sets, noBranch);
        refiner.rankEdges(sets);
        const uint64_t all = n >= 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1;
        StateSets taxon;
        for (TreeNode *x = tree->root; x != nullptr; x = nextPreorderNode(x, tree->root)) {
            const bool tip = !isInternalNode(x) || x == tree->root;
            if (tip)
                tipSets(x, g, taxon);
            for (uint32_t p = 0; p < g->ngrp; ++p)
                if (open[p])
                    sets[pos(x)][p] = tip ? taxon[p] : all;
        }
        uint32_t block[MPRRefiner::kBlock], count = 0;
        for (uint32_t p = 0; p <= g->ngrp; ++p) {
            if (count == MPRRefiner::kBlock || (p == g->ngrp && count > 0)) {
                if (aborted())
                    return 2;
                refiner.narrow(block, count);
                count = 0;
            }
            if (p < g->ngrp && open[p])
                block[count++] = p;
        }
    }
    const bool clearFirst = accumulate || !(getActiveML() && (getActiveML()->flags & kAMLNotParsStartVals));
    if (clearFirst)
        gPairCounts.assign(size_t{n} * n, 0.0);
    const double m = getMinMLBranchLen() > 0.0 ? getMinMLBranchLen() : 1e-8;
    std::vector<double> counts(size_t{n} * n);
    const Model *model = firstActiveModel();
    for (TreeNode *x = tree->root->firstChild; x != nullptr; x = nextPreorderNode(x, tree->root)) {
        if (x == noBranch)
            continue;
        std::fill(counts.begin(), counts.end(), 0.0);
        double W = 0.0;
        const StateSets &s = sets[pos(x)];
        const StateSets &a = sets[pos(x->anc)];
        for (uint32_t p = 0; p < g->ngrp; ++p) {
            const double w = g->groupPatternWeight[p];
            if (w == 0.0 || std::popcount(s[p]) != 1 || std::popcount(a[p]) != 1)
                continue;
            counts[std::countr_zero(a[p]) * n + std::countr_zero(s[p])] += w;
            W += w;
        }
        if (clearFirst)
            for (size_t k = 0; k < counts.size(); ++k)
                gPairCounts[k] += counts[k];
        if (!setLengths || ml.userBrLens)
            continue;
        if (W == 0.0) {
            x->edge.brlen = 0.1;
            continue;
        }
        for (double &c : counts)
            c /= W;
        const double d = model ? startDistance(model, counts, n) : 0.1;
        x->edge.brlen = d < 0.0 || std::isnan(d) ? 2.0 : std::clamp(d, 4.0 * m, 2.0);
    }
    return 0;
}

// ---- Gamma shape ------------------------------------------------------------------------

namespace {

struct ShapeData {
    const std::vector<double> *hist;
    double mean;
};

double negBinomLike(const double *x, void *arg)
{
    const auto *d = static_cast<const ShapeData *>(arg);
    const double alpha = std::min(detExp(*x), 500.0), m = d->mean;
    double lnL = 0.0;
    for (size_t k = 0; k < d->hist->size(); ++k) {
        const double h = (*d->hist)[k];
        if (h == 0.0)
            continue;
        double s = 0.0;
        for (size_t j = 1; j <= k; ++j)
            s += detLog(alpha + static_cast<double>(k - j));
        s -= detLgamma(static_cast<double>(k) + 1.0);
        s += -alpha * detLog1p(m / alpha) + static_cast<double>(k) * (detLog(m / alpha) - detLog1p(m / alpha));
        lnL += h * s;
    }
    return -lnL;
}

// Change counts along N branches under equal rates within each of the
// gamma categories: a count of k has probability sum over categories of
// w (1 - p)^k p^(N - k), p the chance that a branch of the category shows
// no change under the Jukes-Cantor model.
struct YangKumarData {
    const std::vector<double> *hist;
    double mean;
    double branches;
    uint32_t ncat;
};

double yangKumarLike(const double *x, void *arg)
{
    const auto *d = static_cast<const YangKumarData *>(arg);
    const double alpha = std::min(detExp(*x), 500.0);
    std::vector<double> rates(d->ncat), probs(d->ncat);
    discretizeGammaDistrib(d->ncat, false, rates.data(), probs.data(), nullptr, alpha, 0.0);
    const double N = d->branches;
    double lnL = 0.0;
    for (size_t k = 0; k < d->hist->size(); ++k) {
        const double h = (*d->hist)[k];
        if (h == 0.0)
            continue;
        double like = 0.0;
        for (uint32_t c = 0; c < d->ncat; ++c) {
            const double p = 0.25 + 0.75 * detExp(-4.0 / 3.0 * rates[c] * d->mean / N);
            like += probs[c] * detPow(1.0 - p, static_cast<double>(k)) * detPow(p, N - static_cast<double>(k));
        }
        lnL += h * detLog(std::max(like, 1e-300));
    }
    return -lnL;
}

uint32_t countBranches(const Tree *tree)
{
    uint32_t n = 0;
    for (const TreeNode *x = tree->root->firstChild; x != nullptr; x = nextPreorderNode(x, tree->root))
        ++n;
    return n;
}

void printShapeLine(const char *label, double alpha)
{
    if (alpha < 500.0)
        qel_printf("   %s = %f\n", label, alpha);
    else
        qel_printf("   %s = infinity\n", label);
}

}  // namespace

double approxGammaShape(Tree *tree, ModelGroup *g, Model *m, bool print)
{
    std::vector<StateSets> sets;
    std::vector<uint32_t> counts;
    fitchPass(tree, g, sets, &counts);
    std::vector<double> hist(tree->ntax + 1, 0.0);
    for (uint32_t p = 0; p < g->ngrp; ++p)
        hist[std::min<size_t>(counts[p], hist.size() - 1)] += g->groupPatternWeight[p];
    double total = 0.0, sum = 0.0, sum2 = 0.0;
    size_t last = 0;
    for (size_t k = 0; k < hist.size(); ++k) {
        total += hist[k];
        sum += hist[k] * static_cast<double>(k);
        sum2 += hist[k] * static_cast<double>(k * k);
        if (hist[k] > 0.0)
            last = k;
    }
    const double mean = total > 0.0 ? sum / total : 0.0;
    const double var = total > 0.0 ? sum2 / total - mean * mean : 0.0;
    hist.resize(last + 1);
    if (print) {
        qel_printf("\nParsimony-based estimators of gamma shape parameter (alpha)\n");
        qel_printf("\n   Distribution of parsimony change counts (mean=%f, variance=%f)\n", mean, var);
        for (size_t k = 0; k < hist.size(); ++k)
            qel_printf("%8u%12g\n", static_cast<unsigned>(k), hist[k]);
    }
    double a = 200.0;
    if (var > mean) {
        a = mean * mean / (var - mean);
        if (print)
            qel_printf("   method-of-moments = %f\n", a);
    } else if (print) {
        qel_printf("\n   method-of-moments = undefined\n");
    }
    // Without a change the likelihoods of both estimators are flat in alpha
    // (and log(m / alpha) is not finite): nothing shows rate variation, the
    // shape is unbounded.
    if (mean <= 0.0) {
        if (print) {
            printShapeLine("negative binomial", 500.0);
            printShapeLine("Yang-Kumar       ", 500.0);
        }
        return 500.0;
    }
    ShapeData data{&hist, mean};
    double x = detLog(a);
    MinStatus status = MinStatus::kDone;
    minimizeBrent1D(negBinomLike, &data, &x, detLog(a), detLog(0.75 * a), 0.0,
                    getActiveML() ? getActiveML()->brentT : 1e-10, 10.0, &status);
    if (status == MinStatus::kAborted)
        return 0.0;
    const double alpha = std::min(detExp(x), 500.0);
    if (!print)
        return alpha;
    printShapeLine("negative binomial", alpha);
    YangKumarData yk{&hist, mean, static_cast<double>(countBranches(tree)),
                     m != nullptr && m->ncat > 1 ? m->ncat : 4};
    double y = detLog(alpha);
    minimizeBrent1D(yangKumarLike, &yk, &y, y, detLog(0.75 * alpha), 0.0,
                    getActiveML() ? getActiveML()->brentT : 1e-10, 10.0, &status);
    if (status == MinStatus::kAborted)
        return 0.0;
    printShapeLine("Yang-Kumar       ", std::min(detExp(y), 500.0));
    return alpha;
}

// ---- Rate matrix ------------------------------------------------------------------------

namespace {

constexpr uint32_t kPairRow[kNumBasePairs] = {0, 0, 0, 1, 1, 2};
constexpr uint32_t kPairCol[kNumBasePairs] = {1, 2, 3, 2, 3, 3};

void printMatrix4(const double (&X)[4][4], bool dashDiagonal)
{
    for (uint32_t i = 0; i < 4; ++i) {
        for (uint32_t j = 0; j < 4; ++j) {
            if (dashDiagonal && i == j)
                qel_printf("%14c", '-');
            else
                qel_printf("%14.8g", X[i][j]);
        }
        qel_printf("\n");
    }
}

double plainLog(double x) { return detLog(x); }

// Q = log(Pi^-1 F) relative to pi, off the diagonal; 1 when it cannot be taken.
int logOfDivergences(double (&F)[4][4], const double *pi, double (&Q)[4][4])
{
    for (uint32_t i = 0; i < 4; ++i)
        if (!(pi[i] > 0.0))
            return 1;  // a state never seen: the divergence matrix is singular
    MatrixDiag *work = allocMatrixDiag(4, false, true, 0, false);
    if (work == nullptr)
        return 1;
    double *rowsF[4] = {F[0], F[1], F[2], F[3]}, *rowsQ[4] = {Q[0], Q[1], Q[2], Q[3]};
    MatrixLogResult r;
    r.L = rowsQ;
    const int rc = matrixLog(4, rowsF, pi, work, nullptr, plainLog, &r);
    deallocMatrixDiag(work);
    return rc;
}

}  // namespace

int approxSubstPattern_Dna(const Model *m, const std::vector<double> &N, bool print, double *rates)
{
    if (print) {
        qel_printf("\nParsimony-based estimate of substition rate matrix\n");
        setOutputIndentLevel(3);
    }
    struct IndentReset {
        bool on;
        ~IndentReset()
        {
            if (on)
                setOutputIndentLevel(0);
        }
    } reset{print};
    double S = 0.0;
    for (size_t k = 0; k < 16 && k < N.size(); ++k)
        S += N[k];
    double F[4][4] = {}, pi[4] = {}, Q[4][4] = {};
    if (N.size() >= 16 && S > 0.0)
        for (uint32_t i = 0; i < 4; ++i)
            for (uint32_t j = 0; j < 4; ++j)
                F[i][j] = i == j ? N[i * 4 + i] / S : (N[i * 4 + j] + N[j * 4 + i]) / (2.0 * S);
    for (uint32_t i = 0; i < 4; ++i)
        for (uint32_t j = 0; j < 4; ++j)
            pi[i] += F[i][j];
    if (!print && m != nullptr && m->pooled && m->numPools >= 1 && m->numPools < kNumBasePairs) {
        double *rowsF[4] = {F[0], F[1], F[2], F[3]};
        doVeskaPooling(rowsF, pi, m->poolMap, m->numPools);
    }
    if (S <= 0.0 || logOfDivergences(F, pi, Q) != 0) {
        if (print)
            qel_printf("\n   Rate matrix Q could not be estimated due to numerical problems.\n");
        else if (rates != nullptr)
            std::fill(rates, rates + kNumBasePairs, 1.0);
        return 1;
    }
    // Negative rates are sampling noise of short branches: none is possible.
    double scale = 0.0;
    for (uint32_t i = 0; i < 4; ++i) {
        double row = 0.0;
        for (uint32_t j = 0; j < 4; ++j)
            if (j != i) {
                Q[i][j] = std::max(Q[i][j], 0.0);
                row += Q[i][j];
            }
        // 0 - row, not -row: a base that never changes shows 0, not -0.
        Q[i][i] = 0.0 - row;
        scale += pi[i] * row;
    }
    if (scale >= std::numeric_limits<double>::epsilon())
        for (auto &row : Q)
            for (double &q : row)
                q /= scale;
    if (print) {
        qel_printf("\nApproximated Q matrix:\n");
        printMatrix4(Q, false);
    }
    double R[kNumBasePairs], largest = 0.0;
    for (uint32_t e = 0; e < kNumBasePairs; ++e) {
        R[e] = Q[kPairRow[e]][kPairCol[e]] / pi[kPairCol[e]];
        largest = std::max(largest, R[e]);
    }
    double &gt = R[kNumBasePairs - 1];
    double factor;
    if (gt > 1e-10) {
        factor = 1.0 / gt;
    } else if (largest < 1e-10) {
        // No change between the bases at all: nothing tells the rates
        // apart, and rates of 0 would leave a rate matrix that cannot be
        // diagonalised (the fit could not start). All start equal.
        std::fill(R, R + kNumBasePairs, 1.0);
        factor = 1.0;
    } else {
        gt = largest / 10000.0;
        factor = 1.0 / gt;
    }
    for (double &r : R)
        r *= factor;
    if (rates != nullptr)
        std::copy(R, R + kNumBasePairs, rates);
    if (print) {
        double table[4][4] = {};
        for (uint32_t e = 0; e < kNumBasePairs; ++e)
            table[kPairRow[e]][kPairCol[e]] = table[kPairCol[e]][kPairRow[e]] = R[e];
        qel_printf("\nCorresponding R matrix:\n");
        printMatrix4(table, true);
    }
    return 0;
}

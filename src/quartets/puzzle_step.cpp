#include <algorithm>
#include <cmath>
#include <new>

#include "qel/qel_detmath.h"
#include "qel/qel_random.h"
#include "quartets/puzzle.h"
#include "trees/treeutil.h"

uint8_t choose1Randomly(RNG *rng, uint8_t mask)
{
    switch (mask) {
    case 7: {
        static constexpr uint8_t kOne[3] = {1, 2, 4};
        return kOne[randomInteger(rng, 3)];
    }
    case 3:
        return randomBool(rng) ? 1 : 2;
    case 5:
        return randomBool(rng) ? 1 : 4;
    case 6:
        return randomBool(rng) ? 2 : 4;
    default:
        return mask;
    }
}

uint8_t likelihoodMappingMask(const double lnL[3])
{
    // The corners, edge midpoints and centre of the triangle of the three
    // topologies' weights; a point's position from 1 is its mask.
    static constexpr double kPoints[7][3] = {{6, 0, 0}, {0, 6, 0}, {3, 3, 0}, {0, 0, 6},
                                             {3, 0, 3}, {0, 3, 3}, {2, 2, 2}};
    double p[3];
    for (int k = 0; k < 3; k++) {
        double sum = 0.0;
        bool negligible = false;
        for (int j = 0; j < 3; j++) {
            const double diff = lnL[j] - lnL[k];
            if (diff > 200.0) {
                negligible = true;
                break;
            }
            sum += detExp(diff);
        }
        p[k] = negligible ? 0.0 : 1.0 / sum;
    }
    int best = 0;
    double bestDist = HUGE_VAL;
    for (int i = 0; i < 7; i++) {
        double dist = 0.0;
        for (int k = 0; k < 3; k++) {
            const double e = p[k] - kPoints[i][k] / 6.0;
            dist += e * e;
        }
        if (dist < bestDist)
            bestDist = dist, best = i;
    }
    return static_cast<uint8_t>(best + 1);
}

uint8_t bestScoreMask(const double score[3])
{
    const double least = std::min({score[0], score[1], score[2]});
    uint8_t mask = 0;
    for (int k = 0; k < 3; k++)
        if (score[k] == least)
            mask |= static_cast<uint8_t>(1u << k);
    return mask;
}

bool PuzzleRelations::init(uint32_t ntax, bool triples)
{
    n_ = ntax;
    triples_ = triples;
    try {
        for (uint32_t k = 0; k <= 4; k++) {
            binom_[k].assign(ntax + 1, 0);
            for (uint32_t m = 0; m <= ntax; m++) {
                uint64_t c = 1;
                for (uint32_t i = 0; i < k; i++)
                    c = m < k ? 0 : c * (m - i) / (i + 1);
                binom_[k][m] = c;
            }
        }
        masks_.assign(binom_[triples ? 3 : 4][ntax], 0);
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}

void PuzzleRelations::countResolution(uint64_t out[3]) const
{
    out[0] = out[1] = out[2] = 0;
    for (uint8_t m : masks_) {
        const int bits = (m & 1) + ((m >> 1) & 1) + ((m >> 2) & 1);
        if (bits >= 1)
            out[bits - 1]++;
    }
}

// ---------------------------------------------------------------------------

namespace {

// One topology of a mask, ties drawn at random; a mask with no topology
// (none was scored) counts as a full tie.
uint8_t readMask(RNG *rng, uint8_t mask) { return choose1Randomly(rng, mask == 0 ? 7 : mask); }

}  // namespace

PuzzleStepper::PuzzleStepper(const PuzzleRelations &rel, PuzzlePenalties mode)
    : rel_(rel), mode_(mode), n_(rel.ntax()), triples_(rel.triples())
{
    const uint32_t nodes = 2 * n_ + 1;
    parent_.assign(nodes, kNone);
    child_[0].assign(nodes, kNone);
    child_[1].assign(nodes, kNone);
    junction_.assign(static_cast<size_t>(n_) * n_, kNone);
    taxonCalls_.assign(nodes, 0);
    meetCalls_.assign(nodes, 0);
    exempt_.assign(nodes, 0);
    below_.assign(nodes, 0);
    work_.assign(nodes, 0);
    acc_.assign(nodes, 0);
    mark_.assign(nodes, 0);
    perm_.resize(n_);
    placed_.reserve(n_);
    order_.reserve(nodes);
    stack_.reserve(nodes);
}

uint32_t PuzzleStepper::junction(uint32_t a, uint32_t b) const
{
    if (a >= n_ || b >= n_)
        return root_;  // the root of a rooted tree stands for itself
    return junction_[static_cast<size_t>(a) * n_ + b];
}

void PuzzleStepper::link(uint32_t parent, uint32_t child)
{
    parent_[child] = parent;
    (child_[0][parent] == kNone ? child_[0][parent] : child_[1][parent]) = child;
}

void PuzzleStepper::start(const uint32_t *first, RNG *rng)
{
    std::fill(parent_.begin(), parent_.end(), kNone);
    std::fill(child_[0].begin(), child_[0].end(), kNone);
    std::fill(child_[1].begin(), child_[1].end(), kNone);
    placed_.clear();
    const uint32_t k = triples_ ? 3 : 4;
    uint32_t t[4];
    std::copy(first, first + k, t);
    std::sort(t, t + k);
    nextInner_ = n_;
    uint32_t out, x, y;  // out is the outgroup of (x, y) below the first fork
    if (triples_) {
        const uint8_t m = readMask(rng, rel_.triple(t[0], t[1], t[2]));
        const uint32_t o = m == 2 ? 1 : m == 4 ? 2 : 0;
        out = t[o], x = t[o == 0 ? 1 : 0], y = t[o == 2 ? 1 : 2];
        root_ = 2 * n_;
    } else {
        const uint8_t m = readMask(rng, rel_.quartet(t[0], t[1], t[2], t[3]));
        // t[0] is the root leaf; its partner hangs from the first fork.
        const uint32_t partner = m == 2 ? 2 : m == 4 ? 3 : 1;
        out = t[partner];
        x = t[partner == 1 ? 2 : 1];
        y = t[partner == 3 ? 2 : 3];
        root_ = t[0];
    }
    const uint32_t f1 = nextInner_++, f2 = nextInner_++;
    link(root_, f1);
    link(f1, out);
    link(f1, f2);
    link(f2, x);
    link(f2, y);
    for (uint32_t i = 0; i < k; i++) {
        placed_.push_back(t[i]);
        for (uint32_t j = 0; j < k; j++)
            junction_[static_cast<size_t>(t[i]) * n_ + t[j]] = t[i];
    }
    auto setJ = [&](uint32_t a, uint32_t b, uint32_t node) {
        junction_[static_cast<size_t>(a) * n_ + b] = junction_[static_cast<size_t>(b) * n_ + a] = node;
    };
    setJ(x, y, f2);
    setJ(out, x, f1);
    setJ(out, y, f1);
    if (!triples_)
        for (uint32_t a : {out, x, y})
            setJ(root_, a, root_);
}

void PuzzleStepper::preorder(std::vector<uint32_t> &out)
{
    out.clear();
    stack_.clear();
    stack_.push_back(child_[0][root_]);
    while (!stack_.empty()) {
        const uint32_t v = stack_.back();
        stack_.pop_back();
        out.push_back(v);
        if (child_[1][v] != kNone)
            stack_.push_back(child_[1][v]);
        if (child_[0][v] != kNone)
            stack_.push_back(child_[0][v]);
    }
}

// One relationship u r | p q of the taxon u being inserted: the edges on
// which u would not take that place are penalised. p, q or r may be the
// root of a rooted tree.
void PuzzleStepper::updatePenalties(uint32_t p, uint32_t q, uint32_t r)
{
    const uint32_t J = junction(p, q);
    if (mode_ == PuzzlePenalties::Standard) {
        // Each edge on the path p-q counts the call once: the leaf edges
        // count every call naming their taxon, and a node's edge loses the
        // calls whose two ends both lie below it (twice counted there).
        taxonCalls_[p]++;
        taxonCalls_[q]++;
        meetCalls_[J] += 2;
        return;
    }
    const uint32_t rp = junction(r, p), rq = junction(r, q);
    if (r == root_ || (rp != J && rq != J)) {
        // r does not lie below the junction: only edges below it conflict.
        below_[J]++;
        return;
    }
    const uint32_t s = rp != J ? rp : rq;
    uint32_t w = r;
    while (parent_[w] != s)
        w = parent_[w];
    wholeTree_++;
    exempt_[w]++;
}

void PuzzleStepper::penalties(uint32_t u, RNG *rng, std::vector<uint32_t> &nodes, std::vector<uint64_t> &pen)
{
    preorder(order_);
    for (uint32_t v : order_)
        taxonCalls_[v] = meetCalls_[v] = exempt_[v] = below_[v] = 0;
    taxonCalls_[root_] = meetCalls_[root_] = exempt_[root_] = below_[root_] = 0;
    wholeTree_ = 0;
    const size_t k = placed_.size();
    if (triples_) {
        for (size_t i = 0; i < k; i++)
            for (size_t j = i + 1; j < k; j++) {
                const uint32_t x = placed_[i], y = placed_[j];
                uint32_t s[3] = {x, y, u};
                std::sort(s, s + 3);
                const uint8_t m = readMask(rng, rel_.triple(s[0], s[1], s[2]));
                const uint32_t o = s[m == 2 ? 1 : m == 4 ? 2 : 0];
                if (o == u)
                    updatePenalties(x, y, root_);
                else if (o == x)
                    updatePenalties(x, root_, y);
                else
                    updatePenalties(y, root_, x);
            }
    } else {
        for (size_t i = 0; i < k; i++)
            for (size_t j = i + 1; j < k; j++)
                for (size_t l = j + 1; l < k; l++) {
                    uint32_t s[4] = {placed_[i], placed_[j], placed_[l], u};
                    // The three placed taxa are sorted: u only moves down.
                    for (int z = 3; z > 0 && s[z] < s[z - 1]; z--)
                        std::swap(s[z], s[z - 1]);
                    const uint8_t m = readMask(rng, rel_.quartet(s[0], s[1], s[2], s[3]));
                    // Pairs of the resolved split: (s0, partner), (other two).
                    const uint32_t partner = m == 2 ? 2 : m == 4 ? 3 : 1;
                    const uint32_t o1 = partner == 1 ? 2 : 1, o2 = partner == 3 ? 2 : 3;
                    uint32_t a = s[0], b = s[partner], c = s[o1], d = s[o2];
                    if (c == u || d == u) {
                        std::swap(a, c);
                        std::swap(b, d);
                    }
                    // Now u is a or b.
                    updatePenalties(c, d, a == u ? b : a);
                }
    }
    pen.assign(order_.size(), 0);
    nodes.assign(order_.begin(), order_.end());
    if (mode_ == PuzzlePenalties::Standard) {
        for (size_t i = order_.size(); i-- > 0;) {
            const uint32_t v = order_[i];
            uint64_t sum = v < n_ ? taxonCalls_[v] : 0;
            if (v >= n_)
                sum = work_[child_[0][v]] + work_[child_[1][v]] - meetCalls_[v];
            work_[v] = sum;
            pen[i] = sum;
        }
    } else {
        // Two running sums down the tree: acc_ the exemptions of v and its
        // ancestors, work_ the below-penalties of v's strict ancestors.
        for (size_t i = 0; i < order_.size(); i++) {
            const uint32_t v = order_[i];
            const uint32_t a = parent_[v];
            const uint64_t fromAbove = a == root_ ? 0 : work_[a];
            const uint64_t exemptAbove = a == root_ ? 0 : acc_[a];
            const uint64_t ex = exemptAbove + exempt_[v];
            const uint64_t bl = fromAbove + below_[a];
            acc_[v] = ex;
            work_[v] = bl;
            pen[i] = wholeTree_ - ex + bl;
        }
    }
}

void PuzzleStepper::insert(uint32_t u, uint32_t v)
{
    const uint32_t m = nextInner_++;
    const uint32_t p = parent_[v];
    (child_[0][p] == v ? child_[0][p] : child_[1][p]) = m;
    parent_[m] = p;
    child_[0][m] = kNone;
    child_[1][m] = kNone;
    link(m, u);
    link(m, v);
    // Leaves below v meet u at m; every other taxon meets u where it met v's
    // leaves.
    ++stamp_;
    uint32_t anyLeaf = kNone;
    stack_.clear();
    stack_.push_back(v);
    while (!stack_.empty()) {
        const uint32_t x = stack_.back();
        stack_.pop_back();
        if (x < n_) {
            mark_[x] = stamp_;
            anyLeaf = x;
        } else {
            stack_.push_back(child_[0][x]);
            stack_.push_back(child_[1][x]);
        }
    }
    for (uint32_t t : placed_) {
        const uint32_t j = mark_[t] == stamp_ ? m : junction(anyLeaf, t);
        junction_[static_cast<size_t>(u) * n_ + t] = junction_[static_cast<size_t>(t) * n_ + u] = j;
    }
    junction_[static_cast<size_t>(u) * n_ + u] = u;
    placed_.insert(std::upper_bound(placed_.begin(), placed_.end(), u), u);
}

void PuzzleStepper::run(RNG *rng)
{
    randIntegerPerm(rng, perm_.data(), n_);
    start(perm_.data(), rng);
    std::vector<uint32_t> &nodes = tieNodes_;
    std::vector<uint64_t> &pen = tiePen_;
    for (uint32_t i = triples_ ? 3 : 4; i < n_; i++) {
        const uint32_t u = perm_[i];
        penalties(u, rng, nodes, pen);
        const uint64_t least = *std::min_element(pen.begin(), pen.end());
        uint32_t ties = 0;
        for (uint64_t x : pen)
            ties += x == least;
        uint32_t pick = ties > 1 ? randomInteger(rng, ties) : 0;
        uint32_t chosen = nodes[0];
        for (size_t j = 0; j < pen.size(); j++)
            if (pen[j] == least && pick-- == 0) {
                chosen = nodes[j];
                break;
            }
        insert(u, chosen);
    }
}

int PuzzleStepper::toTree(Tree *tree) const
{
    if (initNodes(tree, n_) != 0)
        return 1;
    TreeNode *tips = tree->firstTip;
    uint32_t nextPos = n_ + 1;
    bool failed = false;
    // The subtree of node v seen from its neighbour `from`, as tree nodes.
    auto make = [&](auto &self, uint32_t v, uint32_t from) -> TreeNode * {
        if (v < n_ && v != from && (child_[0][v] == kNone || child_[0][v] == from))
            return tips + v;
        uint32_t nbrs[3], count = 0;
        for (uint32_t c : {child_[0][v], child_[1][v], parent_[v]})
            if (c != kNone && c != from && c != 2 * n_)
                nbrs[count++] = c;
        if (nextPos >= tree->maxNodes) {
            failed = true;
            return nullptr;
        }
        TreeNode *node = tree->nodes + nextPos++;
        TreeNode *last = nullptr;
        for (uint32_t i = 0; i < count; i++) {
            TreeNode *c = self(self, nbrs[i], v);
            if (!c)
                return nullptr;
            c->anc = node;
            (last ? last->nextSib : node->firstChild) = c;
            last = c;
        }
        return node;
    };
    TreeNode *top;
    TreeNode *fork;
    if (triples_) {
        top = tree->nodes;
        fork = make(make, child_[0][root_], root_);
        tree->flags |= kTreeRootedAtAnc;
    } else {
        // Held at taxon 0: its one neighbour is the first fork.
        top = tips;
        const uint32_t nbr = parent_[0] != kNone ? parent_[0] : child_[0][0];
        fork = make(make, nbr, 0);
        tree->flags &= ~kTreeRootedAtAnc;
    }
    if (!fork || failed)
        return 1;
    top->firstChild = fork;
    fork->anc = top;
    tree->root = top;
    tree->numLeaves = n_;
    afterLeavesChanged(tree);
    setTraversalSeq(tree);
    determineIfTreeIsBinary(tree);
    resetABMPtrs(tree);
    return 0;
}

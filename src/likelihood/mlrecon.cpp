#include "likelihood/mlrecon.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "data/model.h"
#include "data/patterns.h"
#include "data/vorn_data.h"
#include "likelihood/chgmatrix.h"
#include "likelihood/clapool.h"
#include "likelihood/likelihood_settings.h"
#include "likelihood/modelgroup.h"
#include "likelihood/sitelikes.h"
#include "qel/qel_detmath.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_output.h"
#include "qel/qel_oututil.h"
#include "trees/treeedit.h"
#include "trees/treeutil.h"

namespace {

// The last reconstruction: per internal node (by position in the tree's
// node array) and group pattern, the state probabilities and the chosen
// state.
struct Reconstruction {
    const Tree *tree = nullptr;
    const ModelGroup *g = nullptr;
    uint32_t n = 0, npat = 0;
    std::vector<int32_t> slotOfNode;  // node position -> internal slot, -1 none
    std::vector<const TreeNode *> internal;
    std::vector<double> probs;   // slot x pattern x state
    std::vector<uint8_t> state;  // slot x pattern
    // Per pattern, as natural logs: the probability of the chosen states
    // of all internal nodes together with the tips' data, and the site
    // likelihood.
    std::vector<double> logReconProb, logSiteL;
};

Reconstruction gRecon;
bool gRequested = false;

// Nodes with states to reconstruct: every node with children, except a
// root that only carries the tree (one child).
bool isInternal(const TreeNode *v, const Tree *tree)
{
    if (v == tree->root)
        return v->firstChild != nullptr && v->firstChild->nextSib != nullptr;
    return v->firstChild != nullptr;
}

// Keeps a vector in range on deep trees; the log of the factor taken out.
double rescale(double *x, size_t count)
{
    const double big = *std::max_element(x, x + count);
    if (big <= 0.0 || big >= 1e-100)
        return 0.0;
    for (size_t i = 0; i < count; ++i)
        x[i] /= big;
    return detLog(big);
}

// The joint reconstruction of one pattern (the most probable assignment of
// states to all internal nodes together): partials that take the best state
// of each child for every parent state, then the choice from the top down.
// P holds node x category x n x n matrices; CL is scratch. Pjoin, when not
// null, holds the category matrices of the whole edge a drawing root sits
// on: that root is no node of the model's unrooted tree, so the assignment
// is made without it, across the joined edge, and the root then takes the
// state most probable between the states (or data) at the edge's two ends.
void jointStates(const std::vector<const TreeNode *> &order, const std::vector<size_t> &pos, const Tree *tree,
                 ModelGroup *g, uint32_t p, const std::vector<double> &P, const double *Pjoin,
                 const std::vector<double> &probs, const double *pi, double pinv, uint64_t common,
                 std::vector<double> &CL, Reconstruction &r)
{
    const uint32_t n = g->nstates;
    const size_t k = probs.size(), block = k * n, nodes = order.size(), nn = size_t{n} * n;
    auto at = [&](const TreeNode *v) { return pos[static_cast<size_t>(v - tree->nodes)]; };
    auto Pof = [&](size_t v) { return P.data() + v * k * nn; };
    std::vector<double> tip(n);
    std::vector<uint8_t> chosen(nodes, 0);
    // Per category q and state i at one end of an edge with matrices Pe:
    // the tip's data carried across it, or the state chosen at its other end.
    auto across = [&](const TreeNode *w, const double *Pe, size_t q, uint32_t i) {
        if (!isTipInput(w))
            return Pe[q * nn + i * n + chosen[at(w)]];
        double s = 0.0;
        for (uint32_t x = 0; x < n; ++x)
            s += Pe[q * nn + i * n + x] * tip[x];
        return s;
    };
    // Multiplies the partials by what node w sends across an edge with
    // matrices Pe: its data, or the best of its partials.
    auto absorb = [&](double *cl, const TreeNode *w, const double *Pe) {
        if (isTipInput(w)) {
            tipPartials(*tipRowOfNode(w, g), p, n, tip.data());
            for (size_t q = 0; q < k; ++q)
                for (uint32_t i = 0; i < n; ++i)
                    cl[q * n + i] *= across(w, Pe, q, i);
            return;
        }
        const double *cu = CL.data() + at(w) * block;
        for (size_t q = 0; q < k; ++q)
            for (uint32_t i = 0; i < n; ++i) {
                double best = 0.0;
                for (uint32_t j = 0; j < n; ++j)
                    best = std::max(best, Pe[q * nn + i * n + j] * cu[q * n + j]);
                cl[q * n + i] *= best;
            }
    };
    CL.assign(nodes * block, 1.0);
    const TreeNode *root = order[0];
    size_t top = isInternal(root, tree) ? 0 : 1;
    // With a drawing root: its first internal child is the top node, the
    // other child lies across the joined edge (later in preorder when it
    // has children, so its partials come first).
    const TreeNode *joined = nullptr;
    if (Pjoin != nullptr) {
        const TreeNode *first = root->firstChild, *second = first->nextSib;
        const bool firstTop = isInternal(first, tree);
        top = at(firstTop ? first : second);
        joined = firstTop ? second : first;
    }
    for (size_t v = nodes; v-- > top;) {
        const TreeNode *node = order[v];
        if (!isInternal(node, tree))
            continue;
        double *cl = CL.data() + v * block;
        for (const TreeNode *ch = node->firstChild; ch; ch = ch->nextSib)
            absorb(cl, ch, Pof(at(ch)));
        if (v == top && joined != nullptr)
            absorb(cl, joined, Pjoin);
        // A root that carries data (a taxon, or the ancestor) joins the top node.
        if (v == 1 && top == 1 && joined == nullptr && tipRowOfNode(root, g) != nullptr)
            absorb(cl, root, Pof(v));
        rescale(cl, block);
    }
    auto store = [&](const TreeNode *node, uint32_t state) {
        r.state[static_cast<size_t>(r.slotOfNode[static_cast<size_t>(node - tree->nodes)]) * r.npat + p] =
            static_cast<uint8_t>(state);
    };
    // From the top down: the top node by its frequencies, the others given
    // their parent's state (the node across the joined edge given the top's).
    for (size_t v = top; v < nodes; ++v) {
        const TreeNode *node = order[v];
        if (!isInternal(node, tree) || (node == root && joined != nullptr))
            continue;
        const double *cl = CL.data() + v * block;
        const double *Pv = node == joined ? Pjoin : Pof(v);
        const size_t parent = node == joined ? top : at(node->anc);
        uint32_t best = 0;
        double bestValue = -1.0;
        for (uint32_t i = 0; i < n; ++i) {
            double value = 0.0;
            for (size_t q = 0; q < k; ++q)
                value += probs[q] * (v == top ? 1.0 : Pv[q * nn + chosen[parent] * n + i]) * cl[q * n + i];
            if (v == top) {
                value *= pi[i];
                if (pinv > 0.0 && (common >> i & 1))
                    value += pinv * pi[i];
            }
            if (value > bestValue) {
                bestValue = value;
                best = i;
            }
        }
        chosen[v] = static_cast<uint8_t>(best);
        store(node, best);
    }
    if (joined == nullptr)
        return;
    // The drawing root between its two children's ends.
    const TreeNode *first = root->firstChild, *second = first->nextSib;
    for (const TreeNode *w : {first, second})
        if (isTipInput(w))
            tipPartials(*tipRowOfNode(w, g), p, n, tip.data());
    uint32_t best = 0;
    double bestValue = -1.0;
    for (uint32_t s = 0; s < n; ++s) {
        double value = 0.0;
        for (size_t q = 0; q < k; ++q)
            value += probs[q] * across(first, Pof(at(first)), q, s) * across(second, Pof(at(second)), q, s);
        value *= pi[s];
        if (value > bestValue) {
            bestValue = value;
            best = s;
        }
    }
    store(root, best);
}

// The log probability of pattern p with the internal nodes at their chosen
// states: per rate category the product of the transition probabilities of
// every edge (a tip's edge summed over the states its data allow), times the
// frequency of the top node's state; the invariable-sites term joins when
// every tip and node allows that state. Logs keep deep trees in range.
// Pjoin, when not null, holds the matrices of the edge a drawing root sits
// on (as for jointStates): the root's state then counts for nothing.
double logAssignmentProb(const std::vector<const TreeNode *> &order, const std::vector<size_t> &pos,
                         const Tree *tree, ModelGroup *g, uint32_t p, const std::vector<double> &P,
                         const double *Pjoin, const std::vector<double> &probs, const double *pi, double pinv,
                         uint64_t common, const Reconstruction &r)
{
    const uint32_t n = g->nstates;
    const size_t k = probs.size();
    auto at = [&](const TreeNode *v) { return pos[static_cast<size_t>(v - tree->nodes)]; };
    auto stateOf = [&](const TreeNode *v) {
        return r.state[static_cast<size_t>(r.slotOfNode[static_cast<size_t>(v - tree->nodes)]) * r.npat + p];
    };
    std::vector<double> logProd(k, 0.0), tip(n);
    // Adds the log of f(q) for each category q.
    auto addEdge = [&](auto f) {
        for (size_t q = 0; q < k; ++q) {
            const double x = f(q);
            logProd[q] += x > 0.0 ? detLog(x) : -1e300;
        }
    };
    const TreeNode *top = nullptr;
    bool allTop = true;
    for (size_t v = 1; v < order.size(); ++v) {
        const TreeNode *node = order[v], *parent = node->anc;
        const bool nodeIn = isInternal(node, tree), parentIn = isInternal(parent, tree);
        if (nodeIn && top == nullptr)
            top = node;
        if (nodeIn && top != nullptr && stateOf(node) != stateOf(top))
            allTop = false;
        // A drawing root is no node of the tree: its two edges are one,
        // counted below.
        if (Pjoin != nullptr && parent == order[0])
            continue;
        // The edge's two ends: a state, or the data of a tip (the root's
        // own data on the basal edge of an unrooted tree).
        const TipRow *row = nullptr;
        uint32_t from = 0, to = 0;
        if (nodeIn && parentIn) {
            from = stateOf(parent);
            to = stateOf(node);
        } else if (parentIn) {
            from = stateOf(parent);
            row = isTipInput(node) ? tipRowOfNode(node, g) : nullptr;
        } else if (nodeIn) {
            from = stateOf(node);
            row = isTipInput(parent) ? tipRowOfNode(parent, g) : nullptr;
            if (row == nullptr)
                continue;  // the ancestor of a rooted tree carries no data
        } else {
            continue;
        }
        if (row != nullptr)
            tipPartials(*row, p, n, tip.data());
        addEdge([&](size_t q) {
            const double *Pv = P.data() + (at(node) * k + q) * n * n + size_t{from} * n;
            double f = 0.0;
            if (row == nullptr && !(nodeIn && parentIn))
                f = 1.0;
            else if (row == nullptr)
                f = Pv[to];
            else
                for (uint32_t j = 0; j < n; ++j)
                    f += Pv[j] * tip[j];
            return f;
        });
    }
    if (top == nullptr)
        return -1e300;
    if (Pjoin != nullptr) {
        // The joined edge, from the top node (an internal child of the
        // drawing root) to the other child's state or data.
        const TreeNode *other = order[0]->firstChild == top ? top->nextSib : order[0]->firstChild;
        const bool otherIn = isInternal(other, tree);
        if (!otherIn)
            tipPartials(*tipRowOfNode(other, g), p, n, tip.data());
        const size_t from = stateOf(top);
        addEdge([&](size_t q) {
            const double *Pv = Pjoin + q * n * n + from * n;
            if (otherIn)
                return Pv[stateOf(other)];
            double f = 0.0;
            for (uint32_t j = 0; j < n; ++j)
                f += Pv[j] * tip[j];
            return f;
        });
    }
    const uint32_t s = stateOf(top);
    double big = -1e300;
    for (size_t q = 0; q < k; ++q)
        if (probs[q] > 0.0)
            big = std::max(big, logProd[q]);
    double sum = 0.0;
    for (size_t q = 0; q < k; ++q)
        if (probs[q] > 0.0 && big > -1e299)
            sum += probs[q] * detExp(logProd[q] - big);
    const bool invariant = pinv > 0.0 && allTop && (common >> s & 1);
    if (invariant) {
        // pinv beside the variable part, both brought to the scale of big.
        const double rest = big > -1e299 ? detExp(big) * sum : 0.0;
        return detLog((rest + pinv) * pi[s]);
    }
    return sum > 0.0 ? big + detLog(sum * pi[s]) : -1e300;
}

// The Mk model: each pattern is reconstructed in the space of its own k
// states (the model states it shows, equally frequent), with the branch
// matrices of k states, and its probabilities are conditioned on the
// character being variable as the site likelihoods are. The chosen states
// and the probabilities are those of the unconditioned model: conditioning
// divides every assignment of a pattern by the same number.
int findReconstructionMkv(const Tree *tree, ModelGroup *g, Reconstruction &r,
                          const std::vector<const TreeNode *> &order, const std::vector<size_t> &pos)
{
    if (g->mkvStateCount == nullptr || g->mkvStateList == nullptr)
        return 1;
    SiteLikes conditioned;
    if (calcSiteLikes(tree, g, false, conditioned) != 0)
        return 1;
    const uint32_t n = g->nstates, npat = g->ngrp;
    const size_t nodes = order.size();
    const bool joint = ml.recon == 1;
    auto at = [&](const TreeNode *v) { return pos[static_cast<size_t>(v - tree->nodes)]; };
    std::vector<const TipRow *> rows(nodes, nullptr);
    for (size_t v = 0; v < nodes; ++v)
        if (isTipInput(order[v]))
            rows[v] = tipRowOfNode(order[v], g);
    std::vector<double> rates, probs, same, diff, up, above, upScale(nodes), aboveScale(nodes), CL, side;
    for (const SiteCategory &c : g->engine->map.siteCats) {
        siteCategoryRates(c, rates, probs);
        const size_t nr = rates.size();
        // Per node, rate category and state count: the matrix entries.
        same.assign(nodes * nr * (n + 1), 1.0);
        diff.assign(nodes * nr * (n + 1), 0.0);
        auto entry = [&](size_t v, size_t q, uint32_t k) { return (v * nr + q) * (n + 1) + k; };
        for (size_t v = 1; v < nodes; ++v)
            for (size_t q = 0; q < nr; ++q)
                for (uint32_t k = 2; k <= n; ++k)
                    mkvChgDv(getBranchLen(order[v]), rates[q] * c.model->relRate, k, c.model,
                             &same[entry(v, q, k)], &diff[entry(v, q, k)], nullptr, nullptr, nullptr, nullptr);
        const size_t block = nr * n;
        for (uint32_t p = c.firstPattern; p < c.firstPattern + c.npat; ++p) {
            const uint32_t k = std::min<uint32_t>(g->mkvStateCount[p], n);
            const uint8_t *s = g->mkvStateList[p];
            if (k < 2)
                continue;
            auto code = [&](size_t v) { return uint32_t{rows[v]->codes[p]}; };
            // Sum over j of P(i, j) x[j] for the k states.
            auto carry = [&](size_t v, size_t q, const double *x, uint32_t i, double sum) {
                const size_t e = entry(v, q, k);
                return diff[e] * sum + (same[e] - diff[e]) * x[i];
            };
            // Multiplies x by what child w sends across its branch: the
            // tip's data, or its partials from below; returns their log scale.
            auto absorb = [&](double *x, size_t w) {
                for (size_t q = 0; q < nr; ++q) {
                    const size_t e = entry(w, q, k);
                    if (order[w]->firstChild == nullptr && rows[w] != nullptr) {
                        for (uint32_t i = 0; i < k; ++i)
                            x[q * n + i] *= mkTipEdgeTerm(*rows[w], code(w), n, s[i], same[e], diff[e]);
                        continue;
                    }
                    const double *below = up.data() + w * block + q * n;
                    double sum = 0.0;
                    for (uint32_t j = 0; j < k; ++j)
                        sum += below[j];
                    for (uint32_t i = 0; i < k; ++i)
                        x[q * n + i] *= carry(w, q, below, i, sum);
                }
                return order[w]->firstChild == nullptr && rows[w] != nullptr ? 0.0 : upScale[w];
            };
            // Postorder: each node's partials from below (its own data
            // when it is a tip input with children, as the root taxon is).
            up.assign(nodes * block, 0.0);
            for (size_t v = nodes; v-- > 0;) {
                double *u = up.data() + v * block;
                for (size_t q = 0; q < nr; ++q)
                    for (uint32_t i = 0; i < k; ++i)
                        u[q * n + i] = rows[v] == nullptr || mkTipAllows(*rows[v], code(v), n, s[i]) ? 1.0 : 0.0;
                upScale[v] = 0.0;
                for (const TreeNode *ch = order[v]->firstChild; ch; ch = ch->nextSib)
                    upScale[v] += absorb(u, at(ch));
                upScale[v] += rescale(u, block);
            }
            // Preorder: the partials from everything above each node.
            above.assign(nodes * block, 0.0);
            std::fill_n(above.begin(), block, 1.0);
            aboveScale[0] = 0.0;
            for (size_t v = 1; v < nodes; ++v) {
                const TreeNode *node = order[v];
                if (node->firstChild == nullptr)
                    continue;
                const size_t w = at(node->anc);
                aboveScale[v] = aboveScale[w];
                side.assign(above.begin() + static_cast<std::ptrdiff_t>(w * block),
                            above.begin() + static_cast<std::ptrdiff_t>((w + 1) * block));
                // The parent's own data, when it is a tip input.
                if (rows[w] != nullptr)
                    for (size_t q = 0; q < nr; ++q)
                        for (uint32_t i = 0; i < k; ++i)
                            side[q * n + i] *= mkTipAllows(*rows[w], code(w), n, s[i]) ? 1.0 : 0.0;
                for (const TreeNode *o = node->anc->firstChild; o; o = o->nextSib)
                    if (o != node)
                        aboveScale[v] += absorb(side.data(), at(o));
                double *a = above.data() + v * block;
                for (size_t q = 0; q < nr; ++q) {
                    double sum = 0.0;
                    for (uint32_t j = 0; j < k; ++j)
                        sum += side[q * n + j];
                    for (uint32_t i = 0; i < k; ++i)
                        a[q * n + i] = carry(v, q, side.data() + q * n, i, sum);
                }
                aboveScale[v] += rescale(a, block);
            }
            // The marginal posterior of each internal node; the first gives
            // the (unconditioned) site likelihood.
            double logRawSite = -1e300;
            std::vector<double> post(k);
            for (size_t slot = 0; slot < r.internal.size(); ++slot) {
                const size_t v = at(r.internal[slot]);
                double total = 0.0;
                for (uint32_t i = 0; i < k; ++i) {
                    double sum = 0.0;
                    for (size_t q = 0; q < nr; ++q)
                        sum += probs[q] * up[v * block + q * n + i] * above[v * block + q * n + i];
                    post[i] = sum / k;
                    total += post[i];
                }
                if (slot == 0 && total > 0.0)
                    logRawSite = detLog(total) + upScale[v] + aboveScale[v];
                double *out = r.probs.data() + (slot * npat + p) * n;
                uint32_t best = 0;
                for (uint32_t i = 0; i < k; ++i) {
                    out[s[i]] = total > 0.0 ? post[i] / total : 0.0;
                    if (post[i] > post[best])
                        best = i;
                }
                r.state[slot * npat + p] = s[best];
            }
            if (joint) {
                // Partials that take each child's best state for every state
                // of the node, then the choice from the top down.
                CL.assign(nodes * block, 1.0);
                size_t top = nodes;
                for (size_t v = nodes; v-- > 0;) {
                    const TreeNode *node = order[v];
                    if (!isInternal(node, tree))
                        continue;
                    top = v;
                    double *cl = CL.data() + v * block;
                    for (const TreeNode *ch = node->firstChild; ch; ch = ch->nextSib) {
                        const size_t w = at(ch);
                        for (size_t q = 0; q < nr; ++q)
                            for (uint32_t i = 0; i < k; ++i) {
                                const size_t e = entry(w, q, k);
                                double best = 0.0;
                                if (ch->firstChild == nullptr && rows[w] != nullptr) {
                                    best = mkTipEdgeTerm(*rows[w], code(w), n, s[i], same[e], diff[e]);
                                } else {
                                    for (uint32_t j = 0; j < k; ++j)
                                        best = std::max(best, (i == j ? same[e] : diff[e]) * CL[w * block + q * n + j]);
                                }
                                cl[q * n + i] *= best;
                            }
                    }
                    // A root taxon above the top node joins it across the top
                    // node's branch.
                    if (node->anc != nullptr && !isInternal(node->anc, tree) && rows[at(node->anc)] != nullptr)
                        for (size_t q = 0; q < nr; ++q)
                            for (uint32_t i = 0; i < k; ++i)
                                cl[q * n + i] *= mkTipEdgeTerm(*rows[at(node->anc)], code(at(node->anc)), n, s[i],
                                                               same[entry(v, q, k)], diff[entry(v, q, k)]);
                    rescale(cl, block);
                }
                std::vector<uint32_t> chosen(nodes, 0);
                for (size_t v = top; v < nodes; ++v) {
                    const TreeNode *node = order[v];
                    if (!isInternal(node, tree))
                        continue;
                    const bool isTop = !isInternal(node->anc ? node->anc : node, tree) || v == top;
                    uint32_t best = 0;
                    double bestValue = -1.0;
                    for (uint32_t i = 0; i < k; ++i) {
                        double value = 0.0;
                        for (size_t q = 0; q < nr; ++q) {
                            const size_t e = entry(v, q, k);
                            const double P = isTop ? 1.0 : (chosen[at(node->anc)] == i ? same[e] : diff[e]);
                            value += probs[q] * P * CL[v * block + q * n + i];
                        }
                        if (value > bestValue) {
                            bestValue = value;
                            best = i;
                        }
                    }
                    chosen[v] = best;
                    r.state[static_cast<size_t>(r.slotOfNode[static_cast<size_t>(node - tree->nodes)]) * npat + p] = s[best];
                }
            }
            // The probability of the chosen states with the tips' data: per
            // rate category the product over the edges, the top state 1/k.
            auto local = [&](uint8_t state) {
                return static_cast<uint32_t>(std::find(s, s + k, state) - s);
            };
            auto stateOf = [&](const TreeNode *v) {
                return local(r.state[static_cast<size_t>(r.slotOfNode[static_cast<size_t>(v - tree->nodes)]) * npat + p]);
            };
            std::vector<double> logProd(nr, 0.0);
            for (size_t v = 1; v < nodes; ++v) {
                const TreeNode *node = order[v], *parent = node->anc;
                const bool nodeIn = isInternal(node, tree), parentIn = isInternal(parent, tree);
                for (size_t q = 0; q < nr; ++q) {
                    const size_t e = entry(v, q, k);
                    double f = 1.0;
                    if (nodeIn && parentIn)
                        f = stateOf(node) == stateOf(parent) ? same[e] : diff[e];
                    else if (parentIn && rows[v] != nullptr)
                        f = mkTipEdgeTerm(*rows[v], code(v), n, s[stateOf(parent)], same[e], diff[e]);
                    else if (nodeIn && rows[at(parent)] != nullptr)
                        f = mkTipEdgeTerm(*rows[at(parent)], code(at(parent)), n, s[stateOf(node)], same[e], diff[e]);
                    logProd[q] += f > 0.0 ? detLog(f) : -1e300;
                }
            }
            double big = -1e300, sum = 0.0;
            for (size_t q = 0; q < nr; ++q)
                if (probs[q] > 0.0)
                    big = std::max(big, logProd[q]);
            for (size_t q = 0; q < nr; ++q)
                if (probs[q] > 0.0 && big > -1e299)
                    sum += probs[q] * detExp(logProd[q] - big);
            // Both the site likelihood and the reconstruction's probability
            // are conditioned on variability: the same divisor for each.
            const double logVariable = logRawSite - conditioned.lnL[p];
            r.logSiteL[p] = conditioned.lnL[p];
            r.logReconProb[p] = sum > 0.0 ? big + detLog(sum / k) - logVariable : -1e300;
        }
    }
    return 0;
}

// The pattern of the last reconstruction that holds the character, or
// kNoSite.
uint32_t reconPattern(const DataInfo *d, uint32_t character)
{
    const ModelGroup *g = gRecon.g;
    if (g == nullptr || gRecon.tree == nullptr || character >= d->nchar || g->siteToGroupPattern == nullptr)
        return kNoSite;
    const uint32_t p = g->siteToGroupPattern[character];
    return p >= gRecon.npat ? kNoSite : p;
}

}  // namespace

void setReconstructingForML(bool on) { gRequested = on; }
bool reconstructingForML() { return gRequested; }

int findReconstruction(const Tree *tree, ModelGroup *g, const DataInfo *)
{
    if (g->engine == nullptr)
        return 1;
    const ModelGroupEngine &e = *g->engine;
    const uint32_t n = g->nstates, npat = g->ngrp;
    const std::vector<const TreeNode *> order = nodesParentsFirst(tree);
    const size_t nodes = order.size();
    Reconstruction r;
    r.tree = tree;
    r.g = g;
    r.n = n;
    r.npat = npat;
    r.slotOfNode.assign(tree->maxNodes, -1);
    std::vector<size_t> pos(tree->maxNodes, 0);
    for (size_t k = 0; k < nodes; ++k) {
        const size_t at = static_cast<size_t>(order[k] - tree->nodes);
        pos[at] = k;
        if (isInternal(order[k], tree)) {
            r.slotOfNode[at] = static_cast<int32_t>(r.internal.size());
            r.internal.push_back(order[k]);
        }
    }
    r.probs.assign(r.internal.size() * npat * n, 0.0);
    r.state.assign(r.internal.size() * npat, 0);
    r.logReconProb.assign(npat, -1e300);
    r.logSiteL.assign(npat, -1e300);
    if (g->useMkv) {
        if (findReconstructionMkv(tree, g, r, order, pos) != 0)
            return 1;
        gRecon = std::move(r);
        return 0;
    }
    auto at = [&](const TreeNode *v) { return pos[static_cast<size_t>(v - tree->nodes)]; };

    std::vector<double> rates, probs, P, up, msg, above, tmp(n), work(n);
    std::vector<double> upScale(nodes), aboveScale(nodes);
    std::vector<double *> rows(n);
    // The states are the joint reconstruction's with LSet recon=joint; the
    // probabilities are always the marginal ones.
    const bool joint = ml.recon == 1;
    std::vector<double> jointCL, joinedP;
    // Under a model without a clock a root of two children is only drawn on
    // an edge of the unrooted tree: the joint assignment, and the probability
    // of any assignment, use that whole edge.
    const TreeNode *root = order[0];
    const bool joinEdge = !ml.clock && isDegreeTwoRoot(root) &&
                          (isInternal(root->firstChild, tree) || isInternal(root->firstChild->nextSib, tree));
    for (const SiteCategory &c : e.map.siteCats) {
        siteCategoryRates(c, rates, probs);
        const size_t k = rates.size(), block = k * n;
        const double *pi = c.model->engine->pi.data();
        const double pinv = c.model->engine->pinv;
        // The category x n x n matrices of an edge of length len, into dest.
        auto edgeMatrices = [&](double *dest, double len) {
            for (size_t q = 0; q < k; ++q) {
                for (uint32_t i = 0; i < n; ++i)
                    rows[i] = dest + (q * n + i) * n;
                if (calcChgMatrix(nullptr, g, c.model, n, rows.data(), len * rates[q] * c.model->relRate) != 0)
                    return false;
            }
            return true;
        };
        P.assign(nodes * k * n * n, 0.0);
        for (size_t v = 1; v < nodes; ++v)
            if (!edgeMatrices(P.data() + v * k * n * n, getBranchLen(order[v])))
                return 1;
        joinedP.clear();
        if (joinEdge) {
            joinedP.assign(k * n * n, 0.0);
            if (!edgeMatrices(joinedP.data(), getBranchLen(root->firstChild) + getBranchLen(root->firstChild->nextSib)))
                return 1;
        }
        up.assign(nodes * block, 0.0);
        msg.assign(nodes * block, 0.0);
        above.assign(nodes * block, 0.0);
        for (uint32_t qp = 0; qp < c.npat; ++qp) {
            const uint32_t p = c.firstPattern + qp;
            // The states every tip allows: the constant states of the pattern.
            uint64_t common = n >= 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1;
            // Postorder: partials from below and the message to the parent.
            for (size_t v = nodes; v-- > 0;) {
                const TreeNode *node = order[v];
                double *u = up.data() + v * block;
                if (isTipInput(node)) {
                    tipPartials(*tipRowOfNode(node, g), p, n, tmp.data());
                    uint64_t bits = 0;
                    for (uint32_t i = 0; i < n; ++i)
                        bits |= tmp[i] > 0.0 ? uint64_t{1} << i : 0;
                    common &= bits;
                    for (size_t q = 0; q < k; ++q)
                        std::copy(tmp.begin(), tmp.end(), u + q * n);
                } else {
                    std::fill_n(u, block, 1.0);
                }
                upScale[v] = 0.0;
                for (const TreeNode *ch = node->firstChild; ch; ch = ch->nextSib) {
                    const size_t w = at(ch);
                    upScale[v] += upScale[w];
                    for (size_t i = 0; i < block; ++i)
                        u[i] *= msg[w * block + i];
                }
                upScale[v] += rescale(u, block);
                if (v == 0)
                    continue;
                double *m = msg.data() + v * block;
                for (size_t q = 0; q < k; ++q) {
                    const double *Pv = P.data() + (v * k + q) * n * n;
                    for (uint32_t i = 0; i < n; ++i) {
                        double s = 0.0;
                        for (uint32_t j = 0; j < n; ++j)
                            s += Pv[i * n + j] * u[q * n + j];
                        m[q * n + i] = s;
                    }
                }
            }
            // Preorder: the partials from everything above each node; the
            // root's own data stand above the root.
            {
                const TipRow *rootRow = isTipInput(order[0]) ? tipRowOfNode(order[0], g) : nullptr;
                if (rootRow != nullptr)
                    tipPartials(*rootRow, p, n, tmp.data());
                else
                    std::fill(tmp.begin(), tmp.end(), 1.0);
                for (size_t q = 0; q < k; ++q)
                    std::copy(tmp.begin(), tmp.end(), above.begin() + static_cast<std::ptrdiff_t>(q * n));
                aboveScale[0] = 0.0;
            }
            for (size_t v = 1; v < nodes; ++v) {
                const TreeNode *node = order[v];
                const size_t w = at(node->anc);
                double *a = above.data() + v * block;
                aboveScale[v] = aboveScale[w];
                std::vector<double> side(above.begin() + static_cast<std::ptrdiff_t>(w * block),
                                         above.begin() + static_cast<std::ptrdiff_t>((w + 1) * block));
                for (const TreeNode *s = node->anc->firstChild; s; s = s->nextSib) {
                    if (s == node)
                        continue;
                    const size_t o = at(s);
                    aboveScale[v] += upScale[o];
                    for (size_t i = 0; i < block; ++i)
                        side[i] *= msg[o * block + i];
                }
                for (size_t q = 0; q < k; ++q) {
                    const double *Pv = P.data() + (v * k + q) * n * n;
                    for (uint32_t i = 0; i < n; ++i) {
                        double s = 0.0;
                        for (uint32_t j = 0; j < n; ++j)
                            s += Pv[i * n + j] * side[q * n + j];
                        a[q * n + i] = s;
                    }
                }
                aboveScale[v] += rescale(a, block);
            }
            // Each internal node: the posterior of its states.
            for (size_t slot = 0; slot < r.internal.size(); ++slot) {
                const size_t v = at(r.internal[slot]);
                const double ls = upScale[v] + aboveScale[v];
                double total = 0.0;
                for (uint32_t i = 0; i < n; ++i) {
                    double s = 0.0;
                    for (size_t q = 0; q < k; ++q)
                        s += probs[q] * up[v * block + q * n + i] * above[v * block + q * n + i];
                    s *= pi[i];
                    // The invariable-sites term is unscaled: bring the rest
                    // to its scale (a vanishing rest is negligible beside it).
                    if (pinv > 0.0 && (common >> i & 1))
                        s = s * detExp(ls) + pinv * pi[i];
                    work[i] = s;
                    total += s;
                }
                if (slot == 0) {
                    // The site likelihood: the variable part at its scale
                    // beside the unscaled invariable-sites term.
                    double variable = 0.0, invariant = 0.0;
                    for (uint32_t i = 0; i < n; ++i) {
                        double s = 0.0;
                        for (size_t q = 0; q < k; ++q)
                            s += probs[q] * up[v * block + q * n + i] * above[v * block + q * n + i];
                        variable += s * pi[i];
                        if (pinv > 0.0 && (common >> i & 1))
                            invariant += pinv * pi[i];
                    }
                    if (invariant > 0.0)
                        r.logSiteL[p] = detLog(variable * detExp(ls) + invariant);
                    else if (variable > 0.0)
                        r.logSiteL[p] = detLog(variable) + ls;
                }
                double *out = r.probs.data() + (slot * npat + p) * n;
                uint32_t best = 0;
                for (uint32_t i = 0; i < n; ++i) {
                    out[i] = total > 0.0 ? work[i] / total : 0.0;
                    if (work[i] > work[best])
                        best = i;
                }
                r.state[slot * npat + p] = static_cast<uint8_t>(best);
            }
            const double *Pjoin = joinedP.empty() ? nullptr : joinedP.data();
            if (joint)
                jointStates(order, pos, tree, g, p, P, Pjoin, probs, pi, pinv, common, jointCL, r);
            r.logReconProb[p] = logAssignmentProb(order, pos, tree, g, p, P, Pjoin, probs, pi, pinv, common, r);
        }
    }
    gRecon = std::move(r);
    return 0;
}

bool mlReconSiteProbs(const DataInfo *d, uint32_t character, double *logRecon, double *logSiteL)
{
    const uint32_t p = reconPattern(d, character);
    if (p == kNoSite)
        return false;
    *logRecon = gRecon.logReconProb[p];
    *logSiteL = gRecon.logSiteL[p];
    return true;
}

int64_t getAncStateFromMLRecon(const DataInfo *d, const TreeNode *node, uint32_t character)
{
    const ModelGroup *g = gRecon.g;
    const uint32_t p = reconPattern(d, character);
    if (p == kNoSite)
        return -1;
    const size_t at = static_cast<size_t>(node - gRecon.tree->nodes);
    if (at < gRecon.slotOfNode.size() && gRecon.slotOfNode[at] >= 0)
        return int64_t{1} << gRecon.state[static_cast<size_t>(gRecon.slotOfNode[at]) * gRecon.npat + p];
    if (node->index < 0 || g->engine == nullptr)
        return -1;
    const TipRow *row = tipRowOfNode(node, g);
    if (row == nullptr || row->codes.size() <= p || row->codes[p] == g->nstates)
        return -1;
    std::vector<double> x(g->nstates);
    tipPartials(*row, p, g->nstates, x.data());
    int64_t bits = 0;
    for (uint32_t i = 0; i < g->nstates; ++i)
        if (x[i] > 0.0)
            bits |= int64_t{1} << i;
    return bits;
}

int showMLBaseProbs(const Tree *tree, ModelGroup *g, const DataInfo *d)
{
    if (gRecon.tree != tree || gRecon.g != g)
        return 0;
    const uint32_t n = gRecon.n;
    qel_printf("\nMarginal probabilities of each base assignment\n\n");
    qel_printf("  Site    Node       ");
    // Purine/pyrimidine coding names its two states by their bases; other
    // two-state data (standard characters under the Mk model) by symbol.
    if (n == 2 && g->dataType == kModelRY) {
        qel_printf("A + G    C + T\n");
        tableLine(35, 0);
    } else {
        for (uint32_t i = 0; i < n; ++i)
            qel_printf(i == 0 ? "    %c" : "        %c", d->symbols[i]);
        qel_printf("\n");
        tableLine(n == 4 ? 53 : static_cast<int32_t>(21 + 9 * n), 0);
    }
    std::vector<size_t> byNumber(gRecon.internal.size());
    for (size_t k = 0; k < byNumber.size(); ++k)
        byNumber[k] = k;
    std::sort(byNumber.begin(), byNumber.end(), [&](size_t a, size_t b) {
        return nodeNum(gRecon.internal[a], tree) < nodeNum(gRecon.internal[b], tree);
    });
    for (uint32_t c = 0; c < d->nchar; ++c) {
        if (d->status[c] & kCharExcluded)
            continue;
        const uint32_t p = g->siteToGroupPattern ? g->siteToGroupPattern[c] : kNoSite;
        if (p == kNoSite)
            continue;
        bool first = true;
        for (size_t slot : byNumber) {
            if (getAbortedStatus())
                return 2;
            const uint32_t number = nodeNum(gRecon.internal[slot], tree);
            if (first)
                qel_printf("%6u%8u   ", c + 1, number);
            else
                qel_printf("%14u   ", number);
            first = false;
            const double *pr = gRecon.probs.data() + (slot * gRecon.npat + p) * n;
            for (uint32_t i = 0; i < n; ++i)
                qel_printf("%9.5f", pr[i]);
            qel_printf("\n");
        }
    }
    return 0;
}

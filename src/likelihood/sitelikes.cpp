#include "likelihood/sitelikes.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "data/model.h"
#include "data/patterns.h"
#include "likelihood/chgmatrix.h"
#include "likelihood/clapool.h"
#include "likelihood/modelgroup.h"
#include "likelihood/ratevar.h"
#include "qel/qel_brent.h"
#include "qel/qel_detmath.h"
#include "trees/treeutil.h"

void siteCategoryRates(const SiteCategory &c, std::vector<double> &rates, std::vector<double> &probs)
{
    const MLRateInfo *ri = c.model->rateInfo;
    rates.clear();
    probs.clear();
    if (ri == nullptr || ri->rates.empty()) {
        rates.push_back(1.0);
        probs.push_back(1.0);
    } else if (c.siteSpecific) {
        rates.push_back(ri->rates[c.rateIndex]);
        probs.push_back(1.0);
    } else {
        for (uint32_t r = 0; r < c.nRateCats; ++r) {
            rates.push_back(ri->rates[r]);
            probs.push_back(r < ri->probs.size() ? ri->probs[r] : 1.0 / c.nRateCats);
        }
    }
}

// The model has an invariable-sites category (estimated or fixed); its
// constant-site terms are in use once the working proportion is positive.
namespace {

bool hasInvar(const Model *m) { return m->pinv != 0.0; }
bool invarInUse(const Model *m) { return m->engine != nullptr && m->engine->pinv > 0.0; }

}  // namespace

std::vector<const TreeNode *> nodesParentsFirst(const Tree *tree)
{
    std::vector<const TreeNode *> order, stack{tree->root};
    while (!stack.empty()) {
        const TreeNode *v = stack.back();
        stack.pop_back();
        order.push_back(v);
        for (const TreeNode *c = v->firstChild; c != nullptr; c = c->nextSib)
            stack.push_back(c);
    }
    return order;
}

void tipPartials(const TipRow &row, uint32_t p, uint32_t n, double *x)
{
    const uint32_t code = row.codes[p];
    if (code < n) {
        std::fill_n(x, n, 0.0);
        x[code] = 1.0;
    } else if (code == n) {
        std::fill_n(x, n, 1.0);
    } else {
        std::fill_n(x, n, 0.0);
        const uint8_t *list = row.ambStates[code - n - 1].data();
        for (uint32_t i = 0; i < list[0]; ++i)
            x[list[1 + i]] = 1.0;
    }
}

void mulChildPartials(const double *P, const double *child, uint32_t n, double *x)
{
    for (uint32_t i = 0; i < n; ++i) {
        double s = 0.0;
        for (uint32_t j = 0; j < n; ++j)
            s += P[i * n + j] * child[j];
        x[i] *= s;
    }
}

uint32_t siteLikeCategories(const ModelGroup *g, bool *invarCateg)
{
    uint32_t most = 1;
    bool invar = false;
    for (const SiteCategory &c : g->engine->map.siteCats) {
        most = std::max(most, c.siteSpecific ? 1u : c.nRateCats);
        invar = invar || hasInvar(c.model);
    }
    if (invarCateg)
        *invarCateg = invar;
    return most + invar;
}

namespace {

// The pruning of calcSiteLikes with every branch length times `factor`, over
// every pattern or only one (the other entries of out.lnL are left alone).
int pruneSites(const Tree *tree, ModelGroup *g, bool categories, double factor, uint32_t only, SiteLikes &out)
{
    if (g->useMkv || g->engine == nullptr)
        return 1;
    const ModelGroupEngine &e = *g->engine;
    const uint32_t n = g->nstates, npat = g->ngrp;
    const std::vector<const TreeNode *> order = nodesParentsFirst(tree);
    const size_t nodes = order.size();
    if (out.lnL.size() != npat)
        out.lnL.assign(npat, 0.0);
    out.ncat = categories ? siteLikeCategories(g, &out.invarCateg) : 0;
    if (categories) {
        out.post.assign(size_t{npat} * out.ncat, -1.0);
        out.meanRate.assign(npat, 0.0);
        out.maxCateg.assign(npat, 0);
    }
    // Position of each node in the order, by its address in the node array.
    std::vector<size_t> slot(2 * nodes + 2, 0);
    auto at = [&](const TreeNode *v) -> size_t & { return slot[static_cast<size_t>(v - tree->nodes)]; };
    size_t maxIndex = 0;
    for (const TreeNode *v : order)
        maxIndex = std::max(maxIndex, static_cast<size_t>(v - tree->nodes));
    slot.assign(maxIndex + 1, 0);
    for (size_t k = 0; k < nodes; ++k)
        at(order[k]) = k;

    std::vector<double> rates, probs;
    std::vector<double> Pstore;
    std::vector<double *> rows(n);
    std::vector<double> x;      // nodes x categories x n
    std::vector<double> scale;  // ln of the factor taken out at each node
    std::vector<double> tmp(n);
    for (const SiteCategory &c : e.map.siteCats) {
        if (only != kNoSite && (only < c.firstPattern || only >= c.firstPattern + c.npat))
            continue;
        siteCategoryRates(c, rates, probs);
        const uint32_t k = static_cast<uint32_t>(rates.size());
        const double *pi = c.model->engine->pi.data();
        const double *constLikes = invarInUse(c.model) && c.model->engine->constSiteLikes.size() >= c.firstPattern + c.npat
                                       ? c.model->engine->constSiteLikes.data() + c.firstPattern
                                       : nullptr;
        // P(t) of every branch and category: node k's branch to its parent.
        Pstore.assign(nodes * k * n * n, 0.0);
        for (size_t v = 1; v < nodes; ++v)
            for (uint32_t r = 0; r < k; ++r) {
                double *P = Pstore.data() + (v * k + r) * n * n;
                for (uint32_t i = 0; i < n; ++i)
                    rows[i] = P + i * n;
                const double t = getBranchLen(order[v]) * factor * rates[r] * c.model->relRate;
                if (calcChgMatrix(nullptr, g, c.model, n, rows.data(), t) != 0)
                    return 1;
            }
        x.assign(nodes * k * n, 0.0);
        scale.assign(nodes, 0.0);
        for (uint32_t q = only == kNoSite ? 0 : only - c.firstPattern; q < c.npat; ++q) {
            const uint32_t p = c.firstPattern + q;
            if (only != kNoSite && p != only)
                break;
            for (size_t v = nodes; v-- > 0;) {
                const TreeNode *node = order[v];
                double *xv = x.data() + v * k * n;
                scale[v] = 0.0;
                const bool tip = isTipInput(node);
                if (tip) {
                    tipPartials(*tipRowOfNode(node, g), p, n, tmp.data());
                    for (uint32_t r = 0; r < k; ++r)
                        std::copy(tmp.begin(), tmp.end(), xv + r * n);
                } else {
                    std::fill_n(xv, k * n, 1.0);
                }
                for (const TreeNode *ch = node->firstChild; ch != nullptr; ch = ch->nextSib) {
                    const size_t w = at(ch);
                    const double *xw = x.data() + w * k * n;
                    scale[v] += scale[w];
                    for (uint32_t r = 0; r < k; ++r)
                        mulChildPartials(Pstore.data() + (w * k + r) * n * n, xw + r * n, n, xv + r * n);
                }
                // Keep the values in range on deep trees.
                const double big = *std::max_element(xv, xv + k * n);
                if (big > 0.0 && big < 1e-100) {
                    for (uint32_t i = 0; i < k * n; ++i)
                        xv[i] /= big;
                    scale[v] += detLog(big);
                }
            }
            // The root carries the ancestor's data; sum over its states.
            std::vector<double> byCat(k, 0.0);
            double S = 0.0;
            for (uint32_t r = 0; r < k; ++r) {
                for (uint32_t i = 0; i < n; ++i)
                    byCat[r] += pi[i] * x[r * n + i];
                byCat[r] *= probs[r];
                S += byCat[r];
            }
            const double ls = scale[0];
            const double C = constLikes ? constLikes[q] : 0.0;
            // ln(S e^ls + C) without underflow.
            double lnL;
            if (S <= 0.0 && C <= 0.0)
                lnL = -std::numeric_limits<double>::infinity();
            else if (C <= 0.0)
                lnL = detLog(S) + ls;
            else if (S <= 0.0)
                lnL = detLog(C);
            else {
                const double a = detLog(S) + ls, b = detLog(C), hi = std::max(a, b);
                lnL = hi + detLog(detExp(a - hi) + detExp(b - hi));
            }
            out.lnL[p] = lnL;
            if (!categories || !std::isfinite(lnL))
                continue;
            double *post = out.post.data() + size_t{p} * out.ncat;
            const uint32_t first = out.invarCateg ? 1 : 0;
            if (out.invarCateg)
                post[0] = C > 0.0 ? detExp(detLog(C) - lnL) : 0.0;
            double mean = 0.0, best = -1.0;
            for (uint32_t r = 0; r < k; ++r) {
                const double pr = byCat[r] > 0.0 ? detExp(detLog(byCat[r]) + ls - lnL) : 0.0;
                post[first + r] = pr;
                mean += pr * rates[r];
            }
            for (uint32_t col = 0; col < out.ncat; ++col)
                if (post[col] > best) {
                    best = post[col];
                    out.maxCateg[p] = col;
                }
            out.meanRate[p] = mean;
        }
    }
    return 0;
}

}  // namespace

// ---- The Mk model -----------------------------------------------------------------------------

bool mkTipAllows(const TipRow &row, uint32_t code, uint32_t n, uint32_t s)
{
    if (code < n)
        return code == s;
    if (code == n)
        return true;
    const uint8_t *list = row.ambStates[code - n - 1].data();
    return std::find(list + 1, list + 1 + list[0], s) != list + 1 + list[0];
}

double mkTipEdgeTerm(const TipRow &row, uint32_t code, uint32_t n, uint32_t s, double same, double diff)
{
    if (code < n)
        return code == s ? same : diff;
    if (code == n)
        return 1.0;
    const uint8_t *list = row.ambStates[code - n - 1].data();
    double sum = 0.0;
    for (uint32_t i = 0; i < list[0]; ++i)
        sum += list[1 + i] == s ? same : diff;
    return sum;
}

namespace {

struct MkEntries {
    double same = 1.0, diff = 0.0;
};

// The tree and its change probabilities as the Mk pruning walks them: nodes
// with parents first; for each, its tip row when it is a tip input, and per
// rate category and state count the entries of its branch's matrix.
struct MkvPrune {
    uint32_t n = 0, nr = 0;
    const TreeNode *nodes = nullptr;  // the tree's node array
    std::vector<const TreeNode *> order;
    std::vector<size_t> slot;  // position in order, by node index
    std::vector<const TipRow *> rows;
    std::vector<double> probs;
    std::vector<MkEntries> entries;
    std::vector<double> x, scale;

    size_t at(const TreeNode *v) const { return slot[static_cast<size_t>(v - nodes)]; }
    const MkEntries &entry(size_t v, uint32_t r, uint32_t k) const { return entries[(v * nr + r) * (n + 1) + k]; }
};

double mkTipTerm(const TipRow &row, uint32_t code, uint32_t n, uint32_t s, const MkEntries &e)
{
    return mkTipEdgeTerm(row, code, n, s, e.same, e.diff);
}

// ln L of one pattern of k states (model states s[0..k-1], equally
// frequent) before the conditioning on variability; codeOf(v) is the code of
// the tip input at position v.
template <class CodeOf>
double mkvPatternLnL(MkvPrune &w, uint32_t k, const uint8_t *s, CodeOf codeOf)
{
    const uint32_t n = w.n, nr = w.nr;
    for (size_t v = w.order.size(); v-- > 0;) {
        double *xv = w.x.data() + v * nr * n;
        double &sc = w.scale[v];
        sc = 0.0;
        const TipRow *row = w.rows[v];
        for (uint32_t r = 0; r < nr; ++r)
            for (uint32_t i = 0; i < k; ++i)
                xv[r * n + i] = row == nullptr || mkTipAllows(*row, codeOf(v), n, s[i]) ? 1.0 : 0.0;
        for (const TreeNode *ch = w.order[v]->firstChild; ch != nullptr; ch = ch->nextSib) {
            const size_t c = w.at(ch);
            sc += w.scale[c];
            const double *xc = w.x.data() + c * nr * n;
            for (uint32_t r = 0; r < nr; ++r) {
                const MkEntries &e = w.entry(c, r, k);
                if (const TipRow *tip = w.rows[c]) {
                    const uint32_t code = codeOf(c);
                    for (uint32_t i = 0; i < k; ++i)
                        xv[r * n + i] *= mkTipTerm(*tip, code, n, s[i], e);
                    continue;
                }
                double sum = 0.0;
                for (uint32_t j = 0; j < k; ++j)
                    sum += xc[r * n + j];
                for (uint32_t i = 0; i < k; ++i)
                    xv[r * n + i] *= e.diff * sum + (e.same - e.diff) * xc[r * n + i];
            }
        }
        double big = 0.0;
        for (uint32_t r = 0; r < nr; ++r)
            for (uint32_t i = 0; i < k; ++i)
                big = std::max(big, xv[r * n + i]);
        if (big > 0.0 && big < 1e-100) {
            for (uint32_t r = 0; r < nr; ++r)
                for (uint32_t i = 0; i < k; ++i)
                    xv[r * n + i] /= big;
            sc += detLog(big);
        }
    }
    double L = 0.0;
    for (uint32_t r = 0; r < nr; ++r)
        for (uint32_t i = 0; i < k; ++i)
            L += w.probs[r] * w.x[r * n + i] / k;
    return L > 0.0 ? detLog(L) + w.scale[0] : -std::numeric_limits<double>::infinity();
}

// The Mk model scores each pattern with its own state count and divides its
// likelihood by the chance that a character of that many states is variable,
// 1 - k L0, where L0 is the likelihood of the group's dummy pattern of k
// states (every taxon in the first state, the ancestor row missing).
int pruneSitesMkv(const Tree *tree, ModelGroup *g, SiteLikes &out)
{
    if (g->engine == nullptr || g->mkvStateCount == nullptr || g->mkvStateList == nullptr ||
        g->groupToCompressed == nullptr)
        return 1;
    MkvPrune w;
    w.n = g->nstates;
    w.nodes = tree->nodes;
    w.order = nodesParentsFirst(tree);
    size_t maxIndex = 0;
    for (const TreeNode *v : w.order)
        maxIndex = std::max(maxIndex, static_cast<size_t>(v - tree->nodes));
    w.slot.assign(maxIndex + 1, 0);
    w.rows.assign(w.order.size(), nullptr);
    for (size_t k = 0; k < w.order.size(); ++k) {
        w.slot[static_cast<size_t>(w.order[k] - w.nodes)] = k;
        if (isTipInput(w.order[k]))
            w.rows[k] = tipRowOfNode(w.order[k], g);
    }
    out.lnL.assign(g->ngrp, 0.0);
    out.ncat = 0;
    std::vector<double> rates;
    std::vector<double> lnVariable(w.n + 1);
    for (const SiteCategory &c : g->engine->map.siteCats) {
        siteCategoryRates(c, rates, w.probs);
        w.nr = static_cast<uint32_t>(rates.size());
        w.entries.assign(w.order.size() * w.nr * (w.n + 1), MkEntries{});
        for (size_t v = 1; v < w.order.size(); ++v)
            for (uint32_t r = 0; r < w.nr; ++r)
                for (uint32_t k = 2; k <= w.n; ++k) {
                    MkEntries &e = w.entries[(v * w.nr + r) * (w.n + 1) + k];
                    mkvChgDv(getBranchLen(w.order[v]), rates[r] * c.model->relRate, k, c.model, &e.same, &e.diff,
                             nullptr, nullptr, nullptr, nullptr);
                }
        w.x.assign(w.order.size() * w.nr * w.n, 0.0);
        w.scale.assign(w.order.size(), 0.0);
        std::fill(lnVariable.begin(), lnVariable.end(), std::numeric_limits<double>::quiet_NaN());
        const uint32_t end = c.firstPattern + c.npat;
        auto lnLOf = [&](uint32_t p) {
            return mkvPatternLnL(w, std::min<uint32_t>(g->mkvStateCount[p], w.n), g->mkvStateList[p],
                                 [&](size_t v) { return uint32_t{w.rows[v]->codes[p]}; });
        };
        for (uint32_t p = c.firstPattern; p < end; ++p)
            if (g->groupToCompressed[p] == kNoSite) {
                const uint32_t k = std::min<uint32_t>(g->mkvStateCount[p], w.n);
                const double q = 1.0 - k * detExp(lnLOf(p));
                lnVariable[k] = q > 0.0 ? detLog(q) : std::numeric_limits<double>::infinity();
            }
        for (uint32_t p = c.firstPattern; p < end; ++p) {
            const double lnV = lnVariable[std::min<uint32_t>(g->mkvStateCount[p], w.n)];
            if (std::isnan(lnV))
                return 1;
            out.lnL[p] = lnLOf(p) - lnV;
        }
    }
    return 0;
}

}  // namespace

int calcSiteLikes(const Tree *tree, ModelGroup *g, bool categories, SiteLikes &out)
{
    out.lnL.clear();
    if (g->useMkv)
        return pruneSitesMkv(tree, g, out);
    return pruneSites(tree, g, categories, 1.0, kNoSite, out);
}

// ---- One rate per site pattern ----------------------------------------------------------------

namespace {

struct PatternRate {
    const Tree *tree;
    ModelGroup *g;
    uint32_t pattern;
    SiteLikes *work;
};

double lnLAtLogRate(const double *x, void *arg)
{
    auto *c = static_cast<PatternRate *>(arg);
    if (pruneSites(c->tree, c->g, false, detExp(*x), c->pattern, *c->work) != 0)
        return std::numeric_limits<double>::max();
    const double lnL = c->work->lnL[c->pattern];
    return std::isfinite(lnL) ? -lnL : std::numeric_limits<double>::max();
}

// The states a constant pattern could be constant in (0 for a variable one).
uint64_t constantStates(const ModelGroup *g, uint32_t p)
{
    switch (getSizeofStateBits(g->patterns)) {
    case 1: return static_cast<const uint8_t *>(g->constMask)[p];
    case 4: return static_cast<const uint32_t *>(g->constMask)[p];
    default: return static_cast<const uint64_t *>(g->constMask)[p];
    }
}

const SiteCategory &categoryOfPattern(const ModelGroup *g, uint32_t p)
{
    const CLMappings &map = g->engine->map;
    return map.siteCats[map.patSiteCat[p]];
}

}  // namespace

int estimatePatternRates(const Tree *tree, ModelGroup *g, double brentEps, double brentT, PatternRates &out)
{
    if (g->useMkv || g->engine == nullptr || g->constMask == nullptr)
        return 1;
    const uint32_t npat = g->ngrp;
    out.rate.assign(npat, 0.0);
    out.lnL.assign(npat, -std::numeric_limits<double>::infinity());
    // The grid: 0, then 0.1 doubling up to 102.4.
    SiteLikes work;
    for (double r = 0.0; r <= 102.4 * 1.0001; r = r == 0.0 ? 0.1 : 2.0 * r) {
        if (pruneSites(tree, g, false, r, kNoSite, work) != 0)
            return 1;
        for (uint32_t p = 0; p < npat; ++p)
            if (work.lnL[p] > out.lnL[p]) {
                out.lnL[p] = work.lnL[p];
                out.rate[p] = r;
            }
    }
    AbortPoll poll;
    for (uint32_t p = 0; p < npat; ++p) {
        if (const uint64_t states = constantStates(g, p); states != 0) {
            const double *pi = categoryOfPattern(g, p).model->engine->pi.data();
            double sum = 0.0;
            for (uint32_t s = 0; s < g->nstates; ++s)
                if (states >> s & 1)
                    sum += pi[s];
            out.rate[p] = 0.0;
            out.lnL[p] = detLog(sum);
            continue;
        }
        const double r = out.rate[p];
        // A variable pattern has no likelihood at rate 0: its bracket starts
        // just above it.
        const double lo = r > 0.0 ? detLog(r / 2.0) : detLog(1e-6), hi = detLog(r > 0.0 ? 2.0 * r : 0.1);
        PatternRate ctx{tree, g, p, &work};
        double x = 0.5 * (lo + hi);
        MinStatus status = MinStatus::kDone;
        const double best = localMin(lnLAtLogRate, &ctx, &x, lo, hi, brentEps, brentT, &status);
        if (status == MinStatus::kAborted || poll.stop())
            return 2;
        if (-best > out.lnL[p]) {
            out.rate[p] = detExp(x);
            out.lnL[p] = -best;
        }
    }
    return 0;
}

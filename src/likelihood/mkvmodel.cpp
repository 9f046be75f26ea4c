#include "likelihood/mkvmodel.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "data/model.h"
#include "likelihood/clapool.h"
#include "likelihood/sitelikes.h"

namespace {

// Matrices of rate category r and state count k sit at block r (n + 1) + k.
size_t mkBlock(const ModelGroup *g, uint32_t r, uint32_t k) { return size_t{r} * (g->nstates + 1) + k; }

double *mkBuffer(ModelGroupEngine &e, int which, const ModelGroup *g, const SiteCategory &c, size_t block)
{
    auto &buf = e.flat.d[which];
    const size_t n = block * mkBlock(g, c.nRateCats, 0);
    if (buf.size() < n)
        buf.assign(n, 0.0);
    return buf.data();
}

void copyRows(const double *const *src, uint32_t rows, uint32_t n, double *dst)
{
    for (uint32_t i = 0; i < rows; ++i)
        std::memcpy(dst + size_t{i} * n, src[i], sizeof(double) * n);
}

}  // namespace

bool isMkvGroup(const ModelGroup *g)
{
    const ModelGroupEngine *e = g->engine;
    return e != nullptr && e->kernels.lik != nullptr && e->kernels.lik->evalLikeRooted != nullptr;
}

void setMkvLayout(ModelGroup *g)
{
    ModelGroupEngine &e = *g->engine;
    const uint32_t n = g->nstates;
    e.mkStateList.assign(size_t{g->ngrp} * n, 0);
    e.mkStateCounts.clear();
    // New patterns: weights kept for a partial tree would not fit them.
    e.mkPartialTree = false;
    if (g->mkvStateCount == nullptr || g->mkvStateList == nullptr)
        return;
    for (uint32_t p = 0; p < g->ngrp; ++p) {
        const uint32_t k = std::min<uint32_t>(g->mkvStateCount[p], n);
        std::copy_n(g->mkvStateList[p], k, e.mkStateList.begin() + size_t{p} * n);
        if (std::find(e.mkStateCounts.begin(), e.mkStateCounts.end(), k) == e.mkStateCounts.end())
            e.mkStateCounts.push_back(k);
    }
}

void noteMkvPlacedTaxa(ModelGroup *g, const TreeNode *node)
{
    ModelGroupEngine *e = g->engine;
    if (e == nullptr || node == nullptr || !isMkvGroup(g))
        return;
    e->mkPartialTree = false;
    if (g->mkvStateCount == nullptr || g->groupPatternWeight == nullptr || e->tips.empty())
        return;
    // The last row is the ancestor's, never a taxon to place.
    const size_t ntax = e->tips.size() - 1;
    std::vector<const TipRow *> placed;
    std::vector<bool> seen(ntax, false);
    while (node->anc != nullptr)
        node = node->anc;
    std::vector<const TreeNode *> stack{node};
    while (!stack.empty()) {
        const TreeNode *v = stack.back();
        stack.pop_back();
        if (v->index >= 0 && static_cast<size_t>(v->index) < ntax && !seen[v->index]) {
            seen[v->index] = true;
            placed.push_back(&e->tips[v->index]);
        }
        for (const TreeNode *c = v->firstChild; c != nullptr; c = c->nextSib)
            stack.push_back(c);
    }
    bool partial = false;
    for (size_t i = 0; i < ntax && !partial; ++i)
        partial = e->tips[i].present && !seen[i];
    if (!partial)
        return;
    // A pattern is variable among the taxa placed when no state of its own
    // is allowed by every one of them (missing data allow them all).
    const uint32_t n = g->nstates;
    e->mkPlacedWeights.assign(g->groupPatternWeight, g->groupPatternWeight + g->ngrp);
    for (uint32_t p = 0; p < g->ngrp; ++p) {
        if (e->mkPlacedWeights[p] == 0.0)
            continue;
        const uint32_t k = std::min<uint32_t>(g->mkvStateCount[p], n);
        const uint8_t *states = e->mkStateList.data() + size_t{p} * n;
        bool constant = false;
        for (uint32_t i = 0; i < k && !constant; ++i) {
            constant = true;
            for (const TipRow *row : placed)
                if (!mkTipAllows(*row, row->codes[p], n, states[i])) {
                    constant = false;
                    break;
                }
        }
        if (constant)
            e->mkPlacedWeights[p] = 0.0;
    }
    e->mkPartialTree = true;
}

void fillMkvContext(const ModelGroup *g, const SiteCategory &c, LikKernelContext &ctx)
{
    const ModelGroupEngine &e = *g->engine;
    if (e.mkPartialTree)
        ctx.weights = e.mkPlacedWeights.data() + c.firstPattern;
    ctx.mkStates = g->mkvStateCount + c.firstPattern;
    ctx.mkOffset = e.map.patOffset.data() + c.firstPattern;
    ctx.mkStateList = e.mkStateList.data() + size_t{c.firstPattern} * g->nstates;
    ctx.mkBlockValues = c.blockValues;
}

const double *mkvInputMatrices(TreeNode *in, TreeNode *junction, const SiteCategory &c, bool tip, int which,
                               ModelGroup *g)
{
    ModelGroupEngine &e = *g->engine;
    const uint32_t n = g->nstates;
    const size_t block = size_t{tip ? e.maxTipCodes : n} * n;
    double *dst = mkBuffer(e, which, g, c, block);
    const TipRow *row = tip ? tipRowOfNode(in, g) : nullptr;
    const TipInfo *info = row ? &row->info : nullptr;
    if (tip && info == nullptr)
        return nullptr;
    const uint32_t rows = tip ? info->nrows : n;
    ChgMatrixSet &s = e.threads[0].in[which];
    const double len = getBranchLen(getEdgeForClaCalc(in, junction));
    for (uint32_t r = 0; r < c.nRateCats; ++r) {
        const uint32_t categ = c.firstClCateg + r;
        const Model *m = getModelForClaCateg(g, categ);
        const double t = len * getRateForClaCateg(g, categ) * m->relRate;
        for (uint32_t k : e.mkStateCounts) {
            if (calcMkvChgMatrix(info, m, n, k, s.p.data(), t) != 0)
                return nullptr;
            copyRows(s.p.data(), rows, n, dst + mkBlock(g, r, k) * block);
        }
    }
    return dst;
}

uint32_t mkvEvalMatrices(const TreeNode *node, const TipInfo *tip, ModelGroup *g, uint32_t sc, bool derivs,
                         const double *W[3])
{
    ModelGroupEngine &e = *g->engine;
    const SiteCategory &c = e.map.siteCats[sc];
    const uint32_t n = g->nstates;
    const size_t block = size_t{tip ? e.maxTipCodes : n} * n;
    const uint32_t rows = tip ? tip->nrows : n;
    double *dst[3] = {mkBuffer(e, 2, g, c, block), nullptr, nullptr};
    if (derivs) {
        dst[1] = mkBuffer(e, 3, g, c, block);
        dst[2] = mkBuffer(e, 4, g, c, block);
    }
    ChgMatrixSet &s = e.threads[0].categ[0];
    for (uint32_t r = 0; r < c.nRateCats; ++r)
        for (uint32_t k : e.mkStateCounts) {
            if (calcMkvPiM(node, tip, g, sc, n, k, r, derivs, &s) != 0)
                return 0;
            const size_t at = mkBlock(g, r, k) * block;
            copyRows(s.p.data(), rows, n, dst[0] + at);
            if (derivs) {
                copyRows(s.d1.data(), rows, n, dst[1] + at);
                copyRows(s.d2.data(), rows, n, dst[2] + at);
            }
        }
    for (int d = 0; d < 3; ++d)
        W[d] = dst[d];
    return c.nRateCats;
}

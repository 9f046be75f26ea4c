#include "likelihood/clocktimes.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <vector>

#include "data/model.h"
#include "likelihood/activeml.h"
#include "likelihood/clapool.h"
#include "likelihood/modelgroup.h"
#include "likelihood/paramvec.h"
#include "qel/qel_detmath.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_minfunc.h"
#include "qel/qel_output.h"
#include "trees/treeutil.h"

namespace {

constexpr double kRootAgeBound = 1e-6;
constexpr double kRatioMax = 100.0;
// No local clocks: every branch evolves at the same relative rate.
constexpr double kRelRate = 1.0;

// The setter protocol carries no tree: the likelihood driver names it.
Tree *gClockTree = nullptr;
uint32_t gParamsInUse = 0;

double minBr()
{
    const ActiveML *a = getActiveML();
    return a ? std::max(a->minBrlen, 0.0) : 1e-8;
}

double maxBr()
{
    const ActiveML *a = getActiveML();
    return a && a->maxBrlen > 0 ? a->maxBrlen : 10.0;
}

bool rootedAtAncestor(const Tree *t) { return t->root != nullptr && t->root->index < 0 && t->root->firstChild; }
TreeNode *basal(const Tree *t) { return t->root->firstChild; }

void preorderInternals(TreeNode *n, std::vector<TreeNode *> &out)
{
    if (isTip(n))
        return;
    out.push_back(n);
    for (TreeNode *c = n->firstChild; c != nullptr; c = c->nextSib)
        preorderInternals(c, out);
}

std::vector<TreeNode *> internals(const Tree *t)
{
    std::vector<TreeNode *> v;
    preorderInternals(basal(t), v);
    return v;
}

void tipsBelow(TreeNode *n, std::vector<TreeNode *> &out)
{
    if (isTip(n)) {
        out.push_back(n);
        return;
    }
    for (TreeNode *c = n->firstChild; c != nullptr; c = c->nextSib)
        tipsBelow(c, out);
}

double oldestChildAge(const TreeNode *n)
{
    double a = 0;
    for (const TreeNode *c = n->firstChild; c != nullptr; c = c->nextSib)
        a = std::max(a, isTip(c) ? 0.0 : c->age);
    return a;
}

// Jukes-Cantor distances between the tips (by node position) over the
// group's patterns, counting only cells that are one state in both; a pair
// beyond saturation takes the largest branch length.
std::vector<double> tipDistances(const Tree *t, const std::vector<TreeNode *> &tips)
{
    const ModelGroup *g = activeModelGroup();
    const size_t n = tips.size();
    std::vector<double> dist(n * n, 0.0);
    if (g == nullptr || g->engine == nullptr)
        return dist;
    const uint32_t ns = g->nstates;
    for (size_t i = 0; i < n; ++i)
        for (size_t j = 0; j < i; ++j) {
            const TipRow *a = tipRowOfNode(tips[i], g), *b = tipRowOfNode(tips[j], g);
            if (a == nullptr || b == nullptr)
                continue;
            double compared = 0, differ = 0;
            for (uint32_t p = 0; p < g->ngrp; ++p) {
                const double w = g->groupPatternWeight[p];
                if (w == 0 || a->codes[p] >= ns || b->codes[p] >= ns)
                    continue;
                compared += w;
                differ += a->codes[p] != b->codes[p] ? w : 0.0;
            }
            double d = 0;
            if (compared > 0 && differ > 0) {
                const double k = std::max<double>(ns, 2.0), f = (k - 1) / k, p = differ / compared;
                d = p < f ? -f * detLog(1 - p / f) : maxBr();
            }
            dist[i * n + j] = dist[j * n + i] = std::min(d, maxBr());
        }
    (void)t;
    return dist;
}

// Starting ages: each internal node at half the mean distance between the
// taxa its children separate, above its oldest child. Returns the largest.
double startingAges(Tree *t, const std::vector<TreeNode *> &nodes)
{
    std::vector<TreeNode *> tips;
    tipsBelow(basal(t), tips);
    const std::vector<double> dist = tipDistances(t, tips);
    std::vector<size_t> slot(t->maxNodes, 0);
    for (size_t i = 0; i < tips.size(); ++i)
        slot[static_cast<size_t>(tips[i] - t->nodes)] = i;
    double largest = 0;
    for (auto it = nodes.rbegin(); it != nodes.rend(); ++it) {
        TreeNode *v = *it;
        std::vector<std::vector<TreeNode *>> groups;
        for (TreeNode *c = v->firstChild; c != nullptr; c = c->nextSib) {
            groups.emplace_back();
            tipsBelow(c, groups.back());
        }
        double sum = 0, pairs = 0;
        for (size_t a = 0; a < groups.size(); ++a)
            for (size_t b = 0; b < a; ++b)
                for (TreeNode *x : groups[a])
                    for (TreeNode *y : groups[b]) {
                        sum += dist[slot[static_cast<size_t>(x - t->nodes)] * tips.size() +
                                    slot[static_cast<size_t>(y - t->nodes)]] / 2;
                        ++pairs;
                    }
        const double mean = pairs > 0 ? sum / pairs : 0.0;
        largest = std::max(largest, mean);
        v->age = std::max(mean, oldestChildAge(v) + minBr());
    }
    return largest;
}

bool transformed()
{
    const ActiveML *a = getActiveML();
    return a != nullptr && (a->flags & kAMLTimesTransform) != 0;
}

uint32_t paramClock()
{
    const ActiveML *a = getActiveML();
    return a ? a->paramClock : kClockThorne;
}

double rootToX(double age, bool tr) { return tr ? logTransformForLB(std::max(age, 2 * kRootAgeBound), kRootAgeBound) : age; }
double xToRoot(double x, bool tr) { return tr ? logBacktransformForLB(x, kRootAgeBound) : x; }

void fillStart(Tree *t, const std::vector<TreeNode *> &nodes, double *x, bool tr)
{
    switch (paramClock()) {
    case kClockRelAge:
        initParamVecRelAge(t, x, tr);
        break;
    case kClockRambaut:
        for (size_t i = 0; i < nodes.size(); ++i) {
            const double h = nodes[i]->age - oldestChildAge(nodes[i]);
            x[i] = tr ? asinSqrtTransform(std::clamp(h, 0.0, maxBr()), 0.0, maxBr()) : h;
        }
        break;
    default:
        x[0] = rootToX(nodes[0]->age, tr);
        for (size_t i = 1; i < nodes.size(); ++i) {
            const double r = std::clamp(nodes[i]->edge.brlen / nodes[i]->anc->age, 0.0, 1.0);
            x[i] = tr ? asinSqrtTransform(r, 0.0, 1.0) : r;
        }
    }
}

void storeAges(Tree *t, const std::vector<TreeNode *> &nodes, const double *x, bool tr, bool log)
{
    switch (paramClock()) {
    case kClockRelAge:
        setTimesFromParamVecRatios(x, t, tr, log);
        return;
    case kClockRambaut:
        // Children follow their parents in preorder: backwards, every
        // child's age is known before its parent's.
        for (size_t i = nodes.size(); i-- > 0;) {
            const double h = tr ? asinSqrtBacktransform(x[i], 0.0, maxBr()) : std::max(x[i], 0.0);
            nodes[i]->age = h + oldestChildAge(nodes[i]);
        }
        if (log)
            for (size_t i = 0; i < nodes.size(); ++i)
                qel_printf("%g ", nodes[i]->age - oldestChildAge(nodes[i]));
        break;
    default:
        nodes[0]->age = xToRoot(x[0], tr);
        if (log)
            qel_printf("%g ", nodes[0]->age);
        for (size_t i = 1; i < nodes.size(); ++i) {
            const double r = tr ? asinSqrtBacktransform(x[i], 0.0, 1.0) : std::clamp(x[i], 0.0, 1.0);
            nodes[i]->edge.brlen = nodes[i]->anc->age * r;
            nodes[i]->age = nodes[i]->anc->age - nodes[i]->edge.brlen;
            if (log)
                qel_printf("%g ", r);
        }
    }
    setBranchLengthsFromAges(t);
}

}  // namespace

uint32_t numClockParams(const Tree *tree)
{
    if (tree == nullptr || !rootedAtAncestor(tree)) {
        // Every command that reaches a clock fit with an unrooted tree says
        // what LScores and DescribeTrees say, with the way out.
        qel_errorMsg(849, "Clock assumption requires rooted trees.\tYou must either turn off the clock "
                          "assumption or root the trees using the \"RootTrees\" command.");
        return 0;
    }
    return static_cast<uint32_t>(internals(tree).size());
}

void setClockTree(Tree *tree) { gClockTree = tree; }
uint32_t clockParamsInUse() { return gParamsInUse; }

void setBranchLengthsFromAges(Tree *t)
{
    const double floor = minBr();
    for (TreeNode *v : internals(t))
        for (TreeNode *c = v->firstChild; c != nullptr; c = c->nextSib)
            c->edge.brlen = isTip(c) ? std::max(v->age * kRelRate, floor) : (v->age - c->age) * kRelRate;
    basal(t)->edge.brlen = 0;
}

void initParamVecRelAge(Tree *tree, double *x, bool tr)
{
    const std::vector<TreeNode *> nodes = internals(tree);
    x[0] = rootToX(nodes[0]->age, tr);
    for (size_t i = 1; i < nodes.size(); ++i) {
        const double ratio = std::clamp(nodes[i]->anc->age / nodes[i]->age, 1.0, kRatioMax);
        x[i] = tr ? asinSqrtTransform(ratio, 1.0, kRatioMax) : ratio;
    }
}

void setTimesFromParamVecRatios(const double *x, Tree *tree, bool tr, bool log)
{
    const std::vector<TreeNode *> nodes = internals(tree);
    nodes[0]->age = xToRoot(x[0], tr);
    if (log)
        qel_printf("%g ", nodes[0]->age);
    for (size_t i = 1; i < nodes.size(); ++i) {
        const double ratio = tr ? asinSqrtBacktransform(x[i], 1.0, kRatioMax) : std::max(x[i], 1.0);
        nodes[i]->age = nodes[i]->anc->age / ratio;
        if (log)
            qel_printf("%g ", ratio);
    }
    setBranchLengthsFromAges(tree);
}

double setClockTimesForOptimizer(double *x, Model *, int mode, bool log)
{
    Tree *t = gClockTree;
    if (t == nullptr || !rootedAtAncestor(t))
        return 0;
    const std::vector<TreeNode *> nodes = internals(t);
    const bool tr = transformed();
    const uint32_t kind = paramClock();
    switch (mode) {
    case kParamLower:
    case kParamUpper:
        if (tr)
            return 0;
        for (size_t i = 0; i < nodes.size(); ++i) {
            const bool first = i == 0;
            if (mode == kParamLower)
                x[i] = kind == kClockRambaut ? minBr() : first ? kRootAgeBound : kind == kClockRelAge ? 1.0 : 0.0;
            else if (kind == kClockRambaut)
                x[i] = maxBr();
            else if (!first)
                x[i] = kind == kClockRelAge ? kRatioMax : 1.0;
        }
        return 0;
    case kParamStart: {
        // Without bounds from the optimiser the ages stay valid only on the
        // transformed scale.
        ActiveML *a = getActiveML();
        if (a != nullptr && (a->flags & kAMLLbfgsParams) != kAMLLbfgsParams)
            setAMLFlag(a, kAMLTimesTransform, true);
        const double largest = startingAges(t, nodes);
        if (largest < DBL_EPSILON) {
            gParamsInUse = 0;
            setBranchLengthsFromAges(t);
            return 0;
        }
        gParamsInUse = static_cast<uint32_t>(nodes.size());
        setBranchLengthsFromAges(t);
        fillStart(t, nodes, x, transformed());
        return 0;
    }
    case kParamStore:
        // Without parameters (all distances zero) the vector holds nothing
        // for the ages: they stay at their start, every one 0.
        if (gParamsInUse == 0) {
            setBranchLengthsFromAges(t);
            return 0;
        }
        storeAges(t, nodes, x, tr, log);
        return 0;
    default:
        return 1.1 * x[0];
    }
}

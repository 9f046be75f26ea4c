#include "likelihood/treelike.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <new>
#include <utility>
#include <vector>

#include "data/model.h"
#include "likelihood/activeml.h"
#include "likelihood/clapool.h"
#include "likelihood/likelihood_settings.h"
#include "likelihood/likeops.h"
#include "likelihood/mkvmodel.h"
#include "likelihood/mlinit.h"
#include "likelihood/paramvec.h"
#include "likelihood/ml_multithread.h"
#include "likelihood/rogers.h"
#include "qel/qel_brent.h"
#include "qel/qel_detmath.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_malloc.h"
#include "qel/qel_output.h"
#include "trees/treeedit.h"

namespace {

constexpr double kMinBrlen = 1e-8;
constexpr double kNewtonJumpLimit = 100.0;
constexpr uint32_t kNewtonIterations = 10;
// How much worse (relative to -ln L) an edge may end than it began before
// its step is undone: about the rounding of a single-precision score.
constexpr double kEdgeWorseTolerance = 1e-7;
// Mk edges: a length past which the likelihood is nearly flat, and the
// short length tried from there.
constexpr double kMkvFlatBrlen = 5.0;
constexpr double kMkvShortStartBrlen = 0.01;
// The largest multiple of a pass's change tried by the extrapolation.
constexpr double kMkvMostExtrapolation = 64.0;
// The passes a fit tried again under Mk from short lengths has to pass the
// first (short lengths approach the flat stretch slowly).
constexpr uint32_t kMkvRetryPasses = 6;
// The steps on all lengths at once after each pass, the moves remembered
// to correct them, the shortenings a step is tried with and their factor,
// and the least curvature a step trusts.
constexpr uint32_t kMkvQuasiNewtonSteps = 4;
constexpr size_t kMkvRememberedSteps = 6;
constexpr uint32_t kMkvStepTrials = 8;
constexpr double kMkvStepShrink = 0.3;
constexpr double kMkvLeastCurvature = 1e-8;

// The driver runs on the thread that asked for the score; these are the
// facts of its last call that reports read back.
struct DriverState {
    std::vector<TreeNode *> visit;
    uint32_t evals = 0;
    int zeroLenTest = 0;
    uint32_t passes = 0;
    bool needStdErr = false;
    // The search's time ran out inside a pass: the pass stopped at an edge.
    bool passTimedOut = false;
    // Fits that stopped at the pass limit while a pass still gained.
    uint32_t limitGains = 0;
    // The fit under way is one a user looks at, though a long operation
    // runs (the trees a search keeps, fitted afresh at its end).
    bool forItself = false;
    // A pass that only reads each edge's slope and curvature, by position
    // in the visit sequence.
    bool slopesOnly = false;
    std::vector<double> slope, curvature;
};
DriverState gDriver;

// A pass that gains this much -ln L is not a fit that has settled.
constexpr double kStillGaining = 0.001;

ActiveML &aml() { return *getActiveML(); }

// Every node's branch length, kept to be put back when a trial loses.
void keepLengths(const Tree *tree, std::vector<double> &lengths)
{
    lengths.resize(tree->maxNodes);
    for (uint32_t i = 0; i < tree->maxNodes; ++i)
        lengths[i] = tree->nodes[i].edge.brlen;
}

void putLengths(Tree *tree, const std::vector<double> &lengths)
{
    for (uint32_t i = 0; i < tree->maxNodes; ++i)
        tree->nodes[i].edge.brlen = lengths[i];
}

// The length a leaf joined to an edge starts from.
constexpr double kJoinedLeafBrlen = 0.05;

double minBrlen() { return getActiveML() ? std::max(aml().minBrlen, 0.0) : kMinBrlen; }
double maxBrlen() { return getActiveML() && aml().maxBrlen > 0.0 ? aml().maxBrlen : 10.0; }

// The ancestor node (a hypothetical root without data) rather than a tip.
bool rootIsAncestor(const TreeNode *root) { return root->index < 0; }

// A branch that hangs from a data-less ancestor carries no information: it
// is neither optimised nor tested.
bool isDeadEdge(const TreeNode *n) { return n->anc != nullptr && isRootNode(n->anc) && rootIsAncestor(n->anc); }

// The floor of a length: terminal branches and those at the root never
// reach 0, so that a tip stays distinguishable from its neighbour.
double floorFor(const TreeNode *n) { return isTipInput(n) || (n->anc && isRootNode(n->anc)) ? minBrlen() : 0.0; }

// The tree's own preorder: the release rules of a pass (releasePreorderCLAs)
// rest on children being visited in their sibling order.
void visitFrom(TreeNode *n, std::vector<TreeNode *> &out)
{
    for (TreeNode *c = n->firstChild; c != nullptr; c = c->nextSib) {
        if (!isDeadEdge(c))
            out.push_back(c);
        visitFrom(c, out);
    }
}

bool aborted(AbortPoll &poll) { return poll.stop(); }

double evalEdgeScore(TreeNode *node, ModelGroup *g)
{
    ++gDriver.evals;
    return evaluateEdge(node, g, kLikModeLnL).lnL;
}

// The edge every whole-tree evaluation uses: the basal node's, or the first
// below it when the basal node hangs from a data-less ancestor.
TreeNode *basalEdge(Tree *tree)
{
    TreeNode *e = tree->root->firstChild;
    return isDeadEdge(e) && e->firstChild != nullptr ? e->firstChild : e;
}

struct BrentEdge {
    ModelGroup *g;
    TreeNode *node;
};

double calcLForThisBranchLen(const double *x, void *arg)
{
    auto *ctx = static_cast<BrentEdge *>(arg);
    ctx->node->edge.brlen = std::max(*x, floorFor(ctx->node));
    return evalEdgeScore(ctx->node, ctx->g);
}

// Branch lengths to start from: the parsimony approximation, the arbitrary
// length, or those the tree has; then the floors.
int setStartingLengths(Tree *tree, ModelGroup *g)
{
    ActiveML &a = aml();
    // A search that estimates parameters scores neighbours of the tree it
    // swaps, whose lengths are nearly optimal for them and whose estimate
    // starts from the last tree's values; a tree fetched from a buffer
    // carries no lengths (all zero) and starts as any other.
    const bool warm = searchWarmStarts() && (a.numEstParams > 0 || estimatingMLParms());
    const bool keep = ml.userBrLens != 0 || a.initBrLenMethod == static_cast<uint32_t>(kInitBrLenKeepCurrent) ||
                      (warm && std::any_of(gDriver.visit.begin(), gDriver.visit.end(),
                                           [](const TreeNode *n) { return n->edge.brlen > 0.0; }));
    if (!keep && a.initBrLenMethod == static_cast<uint32_t>(kInitBrLenRogers) && (a.flags & kAMLNeedRogers)) {
        const int rc = rogers(tree, g, true, true, false);
        if (rc != 0)
            return rc;
    }
    // Least squares falls back to the arbitrary length when no fit could be
    // prepared (no distance layer, or no matrix).
    const bool ls = !keep && a.initBrLenMethod == static_cast<uint32_t>(kInitBrLenLS) && fitLSStartLengths(tree) == 0;
    const bool arbitrary = !keep && (a.initBrLenMethod == static_cast<uint32_t>(kInitBrLenArbitrary) ||
                                     (a.initBrLenMethod == static_cast<uint32_t>(kInitBrLenLS) && !ls));
    const double arb = a.initArbBrLen > 0.0 ? a.initArbBrLen : kFallbackStartBrLen;
    for (TreeNode *n : gDriver.visit) {
        if (arbitrary)
            n->edge.brlen = arb;
        n->edge.brlen = std::max(n->edge.brlen, floorFor(n));
        n->edge.savedBrlen = n->edge.brlen;
    }
    return 0;
}

// The user's lengths held fixed get the same floors as estimated ones; the
// user is told when one was raised, since the tree scored is then not quite
// the tree given.
void raiseUserLengthsToFloors()
{
    bool terminalRaised = false, internalRaised = false;
    for (TreeNode *n : gDriver.visit) {
        const double floor = floorFor(n);
        if (!(n->edge.brlen >= floor)) {
            (floor > 0.0 ? terminalRaised : internalRaised) = true;
            n->edge.brlen = floor;
        }
    }
    if (terminalRaised)
        qel_printf("\n  NOTE: \bOne or more terminal branch lengths < %g reset to %g\n", minBrlen(), minBrlen());
    if (internalRaised)
        qel_printf("\n  NOTE: \bOne or more internal branch lengths < 0 reset to 0\n");
}

void logPassLine(uint32_t pass, double score, double previous)
{
    qel_printf("%*spass %u:", static_cast<int>(pass % 50 + 1), "", pass);
    printLScore(score);
    if (previous != kNoLScore)
        qel_printf(" (delta=%.4e", previous - score);
}

// Standard errors from the curvature at the optimum and, when asked, the
// score lost with each branch at length 0.
int stdErrorsAndZeroLenTest(Tree *tree, ModelGroup *g, double best)
{
    AbortPoll poll;
    releaseAllCLAs(tree, g);
    if (ml.zeroLenTest != 0 && !usingFixedMLBranchLengths()) {
        const bool full = ml.zeroLenTest == 1;
        std::vector<double> saved;
        keepLengths(tree, saved);
        for (TreeNode *n : gDriver.visit) {
            double zero;
            if (full) {
                // The length goes to the neighbours so that the constrained
                // tree starts near its optimum; a terminal branch has no
                // children and gives its length to its parent's side.
                const double len = n->edge.brlen;
                TreeNode *p = n->anc;
                if (isInternalNode(n)) {
                    // Collapsing the edge joins its children to the parent's
                    // edges: each of those edges, the parent's own among them,
                    // takes a share.
                    const double share = len / countChildren(n);
                    for (TreeNode *c = n->firstChild; c; c = c->nextSib)
                        c->edge.brlen += share;
                    if (p != nullptr && !isRootNode(p) && p->anc != nullptr) {
                        for (TreeNode *c = p->firstChild; c; c = c->nextSib)
                            if (c != n)
                                c->edge.brlen += share;
                        if (!isDeadEdge(p))
                            p->edge.brlen += share;
                    }
                } else {
                    const uint32_t k = countChildren(p) - 1 + (isRootNode(p->anc ? p->anc : p) ? 0 : 1);
                    const double share = len / std::max<uint32_t>(k, 1);
                    for (TreeNode *c = p->firstChild; c; c = c->nextSib)
                        if (c != n)
                            c->edge.brlen += share;
                    if (!isDeadEdge(p) && p->anc != nullptr)
                        p->edge.brlen += share;
                }
                zero = optimizeBranchLensOneDim(tree, g, n, nullptr, nullptr, nullptr, kNoLScore, kNoLScore);
                // The constrained lengths may have more than one optimum:
                // they are fitted from the optimum's own lengths as well,
                // and the better fit is the score at length 0.
                putLengths(tree, saved);
                releaseAllCLAs(tree, g);
                zero = std::min(zero,
                                optimizeBranchLensOneDim(tree, g, n, nullptr, nullptr, nullptr, kNoLScore, kNoLScore));
                putLengths(tree, saved);
                releaseAllCLAs(tree, g);
            } else {
                const double len = n->edge.brlen;
                n->edge.brlen = 0.0;
                if (updateCLforEdge(n, g) != 0)
                    return 1;
                zero = evalEdgeScore(n, g);
                n->edge.brlen = len;
                releaseCLAsAbove(n, true, g);
                releaseAllCLAs(tree, g);
            }
            n->dbl2 = zero - best;
            if (aborted(poll))
                return 2;
        }
        gDriver.zeroLenTest = full ? 1 : 2;
    }
    for (TreeNode *n : gDriver.visit) {
        if (updateCLforEdge(n, g) != 0)
            return 1;
        const LikResult r = evaluateEdge(n, g, kLikModeD1 | kLikModeD2);
        n->edge.dbl2 = r.d2 > 1e-200 ? std::sqrt(1.0 / r.d2) : kNoStdErr;
        releasePreorderCLAs(g, n, true);
        if (aborted(poll))
            return 2;
    }
    releaseAllCLAs(tree, g);
    return 0;
}

}  // namespace

// ---- Visit sequence and reports ---------------------------------------------------------

void setMLVisitSequence(Tree *tree)
{
    gDriver.visit.clear();
    visitFrom(tree->root, gDriver.visit);
}

const std::vector<TreeNode *> &mlVisitSequence() { return gDriver.visit; }

void printLScore(double score)
{
    if (score >= kLikInfiniteScore)
        qel_printf("Infinite");
    else
        qel_printf("%.8f", score);
}

uint32_t numLikeFxnEvals() { return gDriver.evals; }
int didZeroLenTest() { return gDriver.zeroLenTest; }
uint32_t lastBranchLenPasses() { return gDriver.passes; }
uint32_t takePassLimitGains() { return std::exchange(gDriver.limitGains, 0u); }
void setNeedBrlenStdErr(bool on) { gDriver.needStdErr = on; }
bool needBrlenStdErr() { return gDriver.needStdErr; }
double brlenStdErr(const Tree *, const TreeNode *node) { return node->edge.dbl2; }
double zeroLenScoreDiff(const Tree *, const TreeNode *node) { return node->dbl2; }

// ---- One edge, one pass -------------------------------------------------------------------

double optimizeOneEdge(TreeNode *node, ModelGroup *g, bool wantScore, double *absD1, double newtonTol)
{
    AbortPoll poll;
    const double lo = floorFor(node);
    if (aml().blopt == kBloptBrent1D) {
        BrentEdge ctx{g, node};
        const double t = std::max(node->edge.brlen, lo > 0 ? lo : 1e-6);
        double x = t;
        MinStatus status = MinStatus::kDone;
        const double best = minimizeBrent1D(calcLForThisBranchLen, &ctx, &x, t, 1.01 * t, aml().brentEps,
                                            aml().brentT, 10.0, &status);
        if (status == MinStatus::kAborted)
            return 0.0;
        node->edge.brlen = std::max(x, lo);
        if (absD1)
            *absD1 = 0.0;
        return wantScore ? best : 0.0;
    }
    const bool logScale = (aml().flags & kAMLBrLenTransform) != 0;
    // The CLAs at both ends stay as they are while this length moves, so
    // the steps after the first read one table made from them. The first
    // reads the edge itself: an edge already at its optimum (most, in a
    // pass near convergence) takes one step, and a table costs about one
    // evaluation to make.
    bool table = false, first = true, tried = false;
    auto derivatives = [&](double r[3], uint32_t mode) {
        ++gDriver.evals;
        if (!first && !tried) {
            tried = true;
            table = prepareEdgeTable(node, g);
        }
        first = false;
        if (!table)
            return g->engine->kernels.evaluateDerivatives(r, node, g, static_cast<int>(mode));
        const LikResult x = evaluateEdgeTable(node, g, mode);
        r[0] = x.lnL;
        r[1] = x.d1;
        r[2] = x.d2;
    };
    double t = 0.0, tPrev = 0.0, prevAbs = DBL_MAX, out = 0.0;
    // Set when a step left Newton's rule (a surface bending the wrong way,
    // an overshoot, a proposal off either end): such a step may land worse
    // than where the edge began.
    bool unsafe = false;
    // Newton steps from the edge's current length; false when interrupted.
    auto newton = [&]() {
        t = node->edge.brlen;
        tPrev = t;
        prevAbs = DBL_MAX;
        out = 0.0;
        for (uint32_t it = 0; it < kNewtonIterations; ++it) {
            double r[3];
            derivatives(r, kLikModeD1 | kLikModeD2);
            double d1 = r[1], d2 = r[2];
            if (aborted(poll))
                return false;
            if (d1 == DBL_MAX) {
                out = 0.0;
                break;
            }
            if (logScale && t > 0.0) {
                d2 = d2 * t * t + d1 * t;
                d1 = d1 * t;
            }
            if (d2 < 0.0) {
                unsafe = true;
                t = d1 <= 0.0 ? std::min(2.0 * t, maxBrlen()) : std::max(t / 2.0, minBrlen());
                out = 0.0;
                node->edge.brlen = t;
                // Under Mk the conditioned surface bends the wrong way over
                // long stretches; one doubling a pass would take a pass for
                // every factor of 2, so the steps go on within the pass.
                if (!g->useMkv)
                    break;
                tPrev = t;
                prevAbs = DBL_MAX;
                continue;
            }
            if (d2 == 0.0) {
                out = 0.0;
                break;
            }
            if (it > 0 && std::fabs(d1) > prevAbs) {
                // The step overshot (the surface is far from quadratic here):
                // halve it and try again from the same length.
                unsafe = true;
                t = 0.5 * (t + tPrev);
                node->edge.brlen = t;
                continue;
            }
            prevAbs = std::fabs(d1);
            out = std::fabs(d1);
            const double proposal = logScale && t > 0.0 ? detExp(detLog(t) - d1 / d2) : t - d1 / d2;
            if (proposal < 0.0) {
                unsafe = true;
                // The optimum may lie on the floor itself: take it when the
                // slope there still points down, else halve the length and go
                // on (halving alone would need a pass for every factor of 2).
                node->edge.brlen = lo;
                double r0[3];
                derivatives(r0, kLikModeD1);
                if (r0[1] >= 0.0) {
                    t = lo;
                    out = 0.0;
                    break;
                }
                tPrev = t;
                t = std::max(t / 2.0, lo);
                node->edge.brlen = t;
                prevAbs = DBL_MAX;
                continue;
            }
            if (proposal > kNewtonJumpLimit) {
                unsafe = true;
                t = maxBrlen();
                node->edge.brlen = t;
                break;
            }
            tPrev = t;
            t = std::max(proposal, lo);
            node->edge.brlen = t;
            if (std::fabs(d1) < newtonTol)
                break;
        }
        return true;
    };
    const double t0 = node->edge.brlen;
    if (!newton())
        return 0.0;
    if (unsafe && t != t0) {
        // An edge never ends a pass worse than it began it: the passes
        // would otherwise swing between two sets of lengths (seen where
        // rates near 0 make an edge's surface far from quadratic) and stop
        // at the pass limit well short of the optimum.
        // A step within the scores' rounding stands: a length on a flat
        // stretch (an internal branch going to 0) is left where it went.
        gDriver.evals += 2;
        const double at = evaluateEdge(node, g, kLikModeLnL).lnL;
        node->edge.brlen = t0;
        const double before = evaluateEdge(node, g, kLikModeLnL).lnL;
        if (at - before > kEdgeWorseTolerance * std::fabs(before)) {
            t = t0;
            out = 0.0;
        } else {
            node->edge.brlen = t;
        }
    }
    if (g->useMkv && t > kMkvFlatBrlen) {
        // Past a few substitutions per site the conditioned likelihood of
        // an edge barely moves with its length, and an edge that got there
        // stays there, one small step a pass, though the shortest lengths
        // may score far better: a short start is tried as well.
        auto score = [&]() {
            ++gDriver.evals;
            return table ? evaluateEdgeTable(node, g, kLikModeLnL).lnL : evaluateEdge(node, g, kLikModeLnL).lnL;
        };
        const double tLong = t, outLong = out, longScore = score();
        node->edge.brlen = std::max(kMkvShortStartBrlen, lo);
        const bool shortBetter = score() < longScore;
        if (shortBetter && !newton())
            return 0.0;
        if (!shortBetter || !(score() < longScore)) {
            node->edge.brlen = t = tLong;
            out = outLong;
        }
    }
    if (absD1)
        *absD1 = out;
    return wantScore ? evalEdgeScore(node, g) : 0.0;
}

namespace {

// One edge of a pass: its length optimised, or held at 0 when constrained;
// the tree's score when it is the last edge. False when interrupted.
bool passEdge(TreeNode *n, size_t k, TreeNode *constrained, ModelGroup *g, bool last, double newtonTol,
              double &score, double &largest, AbortPoll &poll)
{
    // One pass over a large tree may outlast the margin a search's time
    // limit allows; the clock is cheap beside an edge's Newton steps.
    if (estimateDeadlinePassed()) {
        gDriver.passTimedOut = true;
        return false;
    }
    if (gDriver.slopesOnly) {
        // The lengths stay: the edge's slope and curvature are recorded.
        double r[3] = {0.0, 0.0, 0.0};
        if (n != constrained)
            g->engine->kernels.evaluateDerivatives(r, n, g, kLikModeD1 | kLikModeD2);
        gDriver.slope[k] = r[1];
        gDriver.curvature[k] = r[2];
        if (last)
            score = evalEdgeScore(n, g);
    } else if (n == constrained) {
        n->edge.brlen = 0.0;
        if (last)
            score = evalEdgeScore(n, g);
    } else {
        double d1 = 0.0;
        score = optimizeOneEdge(n, g, last, &d1, newtonTol);
        largest = std::max(largest, d1);
    }
    return !aborted(poll);
}

// The pass that keeps every up-CLA: a node's up-CLA is remade once, from
// its children's, when the pass leaves its subtree, so each internal node
// costs three CL updates (its children's down-CLAs and its own up-CLA).
// Held at once: every internal node's up-CLA and the down-CLAs on the path
// to the current edge. The preorder of the edges, and so every length
// reached, is that of the releasing pass.
double subtreePass(Tree *tree, TreeNode *constrained, ModelGroup *g, double *maxAbsD1, double newtonTol)
{
    AbortPoll poll;
    double score = 0.0, largest = 0.0;
    TreeNode *prev = nullptr;
    // Every node from the last edge up to (not including) stop is done
    // with: its down-CLA goes back, its up-CLA is made from its children's.
    auto leaveUpTo = [&](TreeNode *stop) {
        for (TreeNode *y = prev; y != nullptr && y != stop; y = y->anc) {
            returnCLAtoPool(dnCLA(y), g);
            if (isInternalNode(y) && updateUpCLs(y, g) != 0)
                return false;
        }
        return true;
    };
    const auto &visit = gDriver.visit;
    for (size_t k = 0; k < visit.size(); ++k) {
        TreeNode *n = visit[k], *x = n->anc;
        if (!leaveUpTo(x))
            break;
        prev = n;
        // The lengths below x are about to change.
        if (isInternalNode(x))
            returnCLAtoPool(upCLA(x), g);
        if (updateCLforEdge(n, g) != 0)
            break;
        // x's last down-CLA is made: no edge below x needs x's own.
        if (n->nextSib == nullptr && hasDownSide(x))
            returnCLAtoPool(dnCLA(x), g);
        if (!passEdge(n, k, constrained, g, k + 1 == visit.size(), newtonTol, score, largest, poll))
            break;
        if (k + 1 == visit.size()) {
            if (!leaveUpTo(nullptr))
                break;
            if (maxAbsD1)
                *maxAbsD1 = largest;
            return score;
        }
    }
    releaseAllCLAs(tree, g);
    return 0.0;
}

// Down-CLAs the subtree pass holds at once below x beyond the current pair:
// one for each ancestor whose later children still need its own.
uint32_t heldDownCLAs(const TreeNode *x)
{
    uint32_t most = 0;
    for (const TreeNode *c = x->firstChild; c != nullptr; c = c->nextSib)
        most = std::max(most, heldDownCLAs(c) + (c->nextSib != nullptr && hasDownSide(x) ? 1u : 0u));
    return most;
}

// Whether the pool holds what the subtree pass needs, grown by at most the
// taxon count; a tree that would need more takes the releasing pass.
bool poolHoldsSubtreePass(Tree *tree, ModelGroup *g)
{
    int32_t internal = 0;
    for (TreeNode *n : gDriver.visit)
        internal += isInternalNode(n) ? 1 : 0;
    internal += isInternalNode(tree->root->firstChild) && isDeadEdge(tree->root->firstChild) ? 1 : 0;
    const auto need = internal + static_cast<int32_t>(heldDownCLAs(tree->root)) + 3;
    const ClaPool *pool = g->engine->pool.get();
    const auto base = static_cast<int32_t>(numCLAsNeeded(g));
    return need <= pool->count || (need <= 2 * base && growClaPool(g, need));
}

// The pass that holds at most ntax + 2 CLAs: each edge's CLAs are released
// by the rules of releasePreorderCLAs as soon as a length they rest on may
// change, and made again when needed.
double preorderPass(Tree *tree, TreeNode *constrained, ModelGroup *g, double *maxAbsD1, double newtonTol)
{
    AbortPoll poll;
    double score = 0.0, largest = 0.0;
    const auto &visit = gDriver.visit;
    for (size_t k = 0; k < visit.size(); ++k) {
        TreeNode *n = visit[k];
        if (k == 0 && n->anc != nullptr && isDeadEdge(n->anc)) {
            // The release rules of the pass start at the basal node, which
            // hangs from a data-less ancestor and is not itself optimised.
            releasePreorderCLAs(g, n->anc, true);
        }
        if (updateCLforEdge(n, g) != 0 ||
            !passEdge(n, k, constrained, g, k + 1 == visit.size(), newtonTol, score, largest, poll)) {
            releaseAllCLAs(tree, g);
            return 0.0;
        }
        releasePreorderCLAs(g, n, true);
    }
    if (maxAbsD1)
        *maxAbsD1 = largest;
    return score;
}

}  // namespace

namespace {

// Variable-only characters leave the likelihood nearly flat over long
// lengths, where the passes can settle far from the short-length optimum
// that they cannot reach from there: the tree is tried with every length a
// thousandth as long, and one more pass is run from there when it scores
// better.
double mkvShortLengthsPass(Tree *tree, TreeNode *constrained, ModelGroup *g, std::vector<double> &saved, uint32_t p,
                           double score, double newtonTol)
{
    std::vector<double> shortened(tree->maxNodes);
    for (uint32_t i = 0; i < tree->maxNodes; ++i) {
        saved[i] = tree->nodes[i].edge.brlen;
        shortened[i] = tree->nodes[i].edge.brlen *= 0.001;
    }
    double result = score;
    const double shortScore = calcLForCurBranchLens(tree, false);
    if (shortScore < score && getAbortedStatus() == 0) {
        double largest = 0.0;
        const double extra = do1BranchLenPass(tree, constrained, g, &largest, newtonTol);
        if (extra != 0.0) {
            result = extra;
            if (extra > shortScore) {
                // Newton steps that lost ground: the shortened tree stands.
                putLengths(tree, shortened);
                result = shortScore;
            }
            if (loggingMLIters()) {
                qel_printf("%*sextra pass:", static_cast<int>((p + 2) % 50 + 1), "");
                printLScore(result);
                qel_printf(" (delta=%.4e)\n", score - result);
            }
            return result;
        }
    }
    putLengths(tree, saved);
    return result;
}

// Under Mk the passes creep: lengths on a nearly flat surface move a
// little each pass, in the same direction pass after pass, and a branch
// that must shorten with others does so in small steps. The change of the
// last pass is carried on, doubled while the score gains; the lengths
// that score best stand.
double mkvExtrapolate(Tree *tree, TreeNode *constrained, const std::vector<double> &before,
                      std::vector<double> &lastStep, double score)
{
    const auto &visit = gDriver.visit;
    std::vector<double> from(visit.size()), step(visit.size());
    lastStep.resize(visit.size(), 0.0);
    for (size_t i = 0; i < visit.size(); ++i) {
        from[i] = visit[i]->edge.brlen;
        step[i] = from[i] - before[static_cast<size_t>(visit[i] - tree->nodes)];
        const double moved = step[i];
        if (moved * lastStep[i] <= 0.0)
            step[i] = 0.0;
        lastStep[i] = moved;
    }
    auto stepBy = [&](double scale) {
        for (size_t i = 0; i < visit.size(); ++i)
            visit[i]->edge.brlen =
                visit[i] == constrained ? 0.0 : std::max(from[i] + scale * step[i], floorFor(visit[i]));
    };
    double best = score, bestScale = 0.0;
    for (double scale = 1.0; scale <= kMkvMostExtrapolation; scale *= 2.0) {
        stepBy(scale);
        const double trial = calcLForCurBranchLens(tree, false);
        if (getAbortedStatus() != 0 || !(trial < best))
            break;
        best = trial;
        bestScale = scale;
    }
    stepBy(bestScale);
    return best;
}

// What the quasi-Newton steps learn of how the edges' slopes change
// together: the last few moves of all lengths and the change of every
// edge's slope over each.
struct MkvCurvature {
    std::vector<std::vector<double>> moves, slopeChanges;
    // The edges out on the flat stretch of long lengths when they were
    // learnt: the slopes of the others change otherwise around those.
    std::vector<char> flat;
};

// Every edge's slope and curvature at the current lengths, by position in
// the visit sequence, read by a pass that changes no length; false when
// interrupted.
bool readEdgeSlopes(Tree *tree, TreeNode *constrained, ModelGroup *g, std::vector<double> &slope,
                    std::vector<double> &curvature)
{
    releaseAllCLAs(tree, g);
    gDriver.slopesOnly = true;
    gDriver.slope.assign(gDriver.visit.size(), 0.0);
    gDriver.curvature.assign(gDriver.visit.size(), 0.0);
    double largest = 0.0;
    const double score = do1BranchLenPass(tree, constrained, g, &largest, 1.0);
    gDriver.slopesOnly = false;
    releaseAllCLAs(tree, g);
    slope = gDriver.slope;
    curvature = gDriver.curvature;
    return getAbortedStatus() == 0 && score != 0.0;
}

// Under Mk the conditioning on variable characters ties every edge's
// optimum to the others: a pass that optimises one edge at a time then
// creeps along valleys where some lengths must grow as others shrink,
// a little each pass. Steps on all lengths at once follow those valleys:
// Newton steps of each edge, corrected by the moves and slope changes of
// the steps before (limited-memory BFGS), with lengths held at a bound
// the slope pushes them against; a step is shortened until it gains.
double mkvQuasiNewton(Tree *tree, TreeNode *constrained, ModelGroup *g, MkvCurvature &known, double score)
{
    const auto &visit = gDriver.visit;
    const size_t n = visit.size();
    std::vector<double> x(n), slope, curvature;
    for (size_t i = 0; i < n; ++i)
        x[i] = visit[i]->edge.brlen;
    // An edge out on the flat stretch of long lengths is left to the
    // passes, which try it short as well; the steps move the others.
    std::vector<char> flat(n);
    for (size_t i = 0; i < n; ++i)
        flat[i] = visit[i] == constrained || x[i] > kMkvFlatBrlen;
    if (std::all_of(flat.begin(), flat.end(), [](char f) { return f != 0; }))
        return score;
    auto forget = [&]() {
        known.moves.clear();
        known.slopeChanges.clear();
    };
    if (flat != known.flat) {
        forget();
        known.flat = flat;
    }
    if (!readEdgeSlopes(tree, constrained, g, slope, curvature))
        return score;
    std::vector<char> free(n);
    auto dot = [&](const std::vector<double> &u, const std::vector<double> &v) {
        double t = 0.0;
        for (size_t i = 0; i < n; ++i)
            t += free[i] ? u[i] * v[i] : 0.0;
        return t;
    };
    for (uint32_t step = 0; step < kMkvQuasiNewtonSteps; ++step) {
        // Each edge's own Newton step scales the direction; an edge whose
        // likelihood bends the wrong way takes none.
        std::vector<double> newton(n);
        for (size_t i = 0; i < n; ++i) {
            const bool atFloor = x[i] <= floorFor(visit[i]) && slope[i] > 0.0;
            const bool atCeiling = x[i] >= maxBrlen() && slope[i] < 0.0;
            free[i] = !flat[i] && !atFloor && !atCeiling && std::isfinite(slope[i]) &&
                      slope[i] != DBL_MAX;
            newton[i] = curvature[i] > kMkvLeastCurvature ? 1.0 / curvature[i] : 0.0;
        }
        const size_t m = known.moves.size();
        std::vector<double> d(n), a(m), rho(m);
        for (size_t i = 0; i < n; ++i)
            d[i] = free[i] ? slope[i] : 0.0;
        for (size_t j = m; j-- > 0;) {
            const double sy = dot(known.slopeChanges[j], known.moves[j]);
            rho[j] = sy > 0.0 ? 1.0 / sy : 0.0;
            a[j] = rho[j] * dot(known.moves[j], d);
            for (size_t i = 0; i < n; ++i)
                d[i] -= free[i] ? a[j] * known.slopeChanges[j][i] : 0.0;
        }
        for (size_t i = 0; i < n; ++i)
            d[i] *= newton[i];
        for (size_t j = 0; j < m; ++j) {
            const double b = rho[j] * dot(known.slopeChanges[j], d);
            for (size_t i = 0; i < n; ++i)
                d[i] += free[i] ? known.moves[j][i] * (a[j] - b) : 0.0;
        }
        for (double &v : d)
            v = -v;
        if (!(dot(d, slope) < 0.0)) {
            // What was learnt no longer holds here: plain Newton steps.
            forget();
            for (size_t i = 0; i < n; ++i)
                d[i] = free[i] ? -newton[i] * slope[i] : 0.0;
            if (!(dot(d, slope) < 0.0))
                break;
        }
        std::vector<double> to(n);
        double trial = score, scale = 1.0;
        bool gained = false;
        // Nor does a step lead an edge onto that stretch.
        const double ceiling = std::min(maxBrlen(), kMkvFlatBrlen);
        for (uint32_t k = 0; k < kMkvStepTrials && !gained; ++k, scale *= kMkvStepShrink) {
            for (size_t i = 0; i < n; ++i) {
                to[i] = visit[i] == constrained ? 0.0
                         : free[i]              ? std::clamp(x[i] + scale * d[i], floorFor(visit[i]), ceiling)
                                                : x[i];
                visit[i]->edge.brlen = to[i];
            }
            trial = calcLForCurBranchLens(tree, false);
            if (getAbortedStatus() != 0)
                break;
            gained = trial < score;
        }
        if (!gained) {
            for (size_t i = 0; i < n; ++i)
                visit[i]->edge.brlen = x[i];
            forget();
            break;
        }
        const bool settled = score - trial < score * aml().toler;
        score = trial;
        std::vector<double> slopeThere, curvatureThere;
        if (settled || !readEdgeSlopes(tree, constrained, g, slopeThere, curvatureThere))
            break;
        std::vector<double> move(n), change(n);
        double sy = 0.0;
        for (size_t i = 0; i < n; ++i) {
            move[i] = to[i] - x[i];
            change[i] = slopeThere[i] - slope[i];
            sy += move[i] * change[i];
        }
        if (sy > kMkvLeastCurvature) {
            known.moves.push_back(std::move(move));
            known.slopeChanges.push_back(std::move(change));
            if (known.moves.size() > kMkvRememberedSteps) {
                known.moves.erase(known.moves.begin());
                known.slopeChanges.erase(known.slopeChanges.begin());
            }
        }
        x = to;
        slope = std::move(slopeThere);
        curvature = std::move(curvatureThere);
    }
    return score;
}

}  // namespace

double do1BranchLenPass(Tree *tree, TreeNode *constrained, ModelGroup *g, double *maxAbsD1, double newtonTol)
{
    if (gDriver.visit.empty())
        return preorderPass(tree, constrained, g, maxAbsD1, newtonTol);
    return poolHoldsSubtreePass(tree, g) ? subtreePass(tree, constrained, g, maxAbsD1, newtonTol)
                                         : preorderPass(tree, constrained, g, maxAbsD1, newtonTol);
}

double optimizeBranchLensOneDim(Tree *tree, ModelGroup *g, TreeNode *constrained, uint32_t *passes,
                                bool *rejected, bool *stoppedEarly, double target, double start, double rival)
{
    ActiveML &a = aml();
    const bool log = loggingMLIters();
    if (rejected)
        *rejected = false;
    if (stoppedEarly)
        *stoppedEarly = false;
    if (constrained)
        constrained->edge.brlen = 0.0;
    // Without passes the current lengths are the answer: a pass routine
    // that ran none would report a perfect score of 0.
    if (a.maxPass == 0) {
        if (passes)
            *passes = 0;
        return calcLForCurBranchLens(tree, false);
    }
    std::vector<double> saved(tree->maxNodes), lastStep;
    MkvCurvature curvature;
    // The log's delta is the change from the score it printed last: under
    // Mk the steps between passes move the score the next pass starts from.
    double tol = 100.0, previous = start, score = start, shown = start;
    uint32_t p = 0, total = 0;
    // Passes until the fit settles or meets its limit; false when
    // interrupted. A fit stopped by the search's clock or rejected by its
    // target ends there.
    bool limitGain = false, ended = false;
    // The best lengths a fit has scored: a pass may end worse than a point
    // already reached (under Mk, one just after the steps on all lengths),
    // and the fit must not give that point up.
    std::vector<double> best;
    double bestScore = kNoLScore;
    auto noteBest = [&] {
        if (score < bestScore && score < kLikInfiniteScore) {
            bestScore = score;
            keepLengths(tree, best);
        }
    };
    auto keepBest = [&] {
        if (!(bestScore < score))
            return;
        putLengths(tree, best);
        if (log) {
            qel_printf("%*sbest lengths kept:", static_cast<int>(p % 50 + 1), "");
            printLScore(bestScore);
            qel_printf(" (delta=%.4e)\n", score - bestScore);
        }
        score = shown = bestScore;
    };
    auto fit = [&](double rival) {
        limitGain = false;
        bestScore = kNoLScore;
        for (p = 1;; ++p) {
            ++total;
            keepLengths(tree, saved);
            double largest = 0.0;
            gDriver.passTimedOut = false;
            score = do1BranchLenPass(tree, constrained, g, &largest, tol);
            if (getAbortedStatus() != 0 && score == 0.0)
                return false;
            if (gDriver.passTimedOut) {
                // Every edge the pass reached only gained: the lengths stand,
                // scored as they are, and the search sees its limit next.
                gDriver.passTimedOut = false;
                score = calcLForCurBranchLens(tree, false);
                if (log)
                    qel_printf("\n");
                ended = true;
                keepBest();
                return true;
            }
            const double delta = previous - score;
            if (log)
                logPassLine(p, score, shown);
            shown = score;
            const char *reason = nullptr;
            if (score < kLikInfiniteScore && delta > -0.001) {
                if (previous != kNoLScore && delta < previous * a.toler) {
                    if (delta < 0.0) {
                        putLengths(tree, saved);
                        score = previous;
                    }
                    reason = "converged";
                } else if (p != a.maxPass && target != kNoLScore &&
                           score - static_cast<double>(a.maxPass - p) * delta > target) {
                    reason = "rejected";
                    ended = true;
                    if (rejected)
                        *rejected = true;
                    if (stoppedEarly)
                        *stoppedEarly = true;
                }
            }
            // A second try that is back at the first one's score is not
            // followed further; nor one that cannot come below it even if
            // every pass left gains as much as this one (under Mk, one still
            // short of it after a few passes).
            if (reason == nullptr && rival != kNoLScore && score >= rival) {
                const bool noBetter =
                    g->useMkv ? score - rival < kStillGaining || p >= kMkvRetryPasses
                              : score - rival < rival * a.toler ||
                                    score - static_cast<double>(a.maxPass - p) * std::max(delta, 0.0) > rival;
                if (noBetter)
                    reason = "no better";
            }
            if (reason == nullptr && p == a.maxPass) {
                reason = "pass-limit reached";
                // Only the driver's own fits count (those that report their
                // passes), not the many inner ones of a parameter estimate.
                limitGain = passes != nullptr && score < kLikInfiniteScore && delta >= kStillGaining;
            }
            if (log) {
                if (reason)
                    qel_printf(previous != kNoLScore ? ", %s)\n" : " (%s)\n", reason);
                else
                    qel_printf(previous != kNoLScore ? ")\n" : "\n");
            }
            if (reason) {
                keepBest();
                return true;
            }
            noteBest();
            if (g->useMkv && p > 1 && score < kLikInfiniteScore) {
                const double passScore = score;
                score = mkvQuasiNewton(tree, constrained, g, curvature, score);
                score = mkvExtrapolate(tree, constrained, saved, lastStep, score);
                // The next pass's delta counts from here: the log shows
                // where the steps on all lengths took the score.
                if (log && score < passScore) {
                    qel_printf("%*ssteps on all lengths:", static_cast<int>(p % 50 + 1), "");
                    printLScore(score);
                    qel_printf(" (delta=%.4e)\n", passScore - score);
                    shown = score;
                }
                noteBest();
            }
            previous = score;
            tol = std::max(std::min(tol, largest), 1e-6);
        }
    };
    if (!fit(rival)) {
        releaseAllCLAs(tree, g);
        return 0.0;
    }
    // Under Mk a fit can settle with an edge out on the flat stretch of long
    // lengths and every other length fitted around it, where that edge
    // short would score better once the others followed; neither the
    // passes, which try it short with the others as they are, nor the steps
    // on all lengths leave that place. The fit is run again with those
    // edges short, and the better of the two stands.
    const auto &visit = gDriver.visit;
    auto isFlat = [&](const TreeNode *n) { return n != constrained && n->edge.brlen > kMkvFlatBrlen; };
    const size_t flat = static_cast<size_t>(std::count_if(visit.begin(), visit.end(), isFlat));
    if (g->useMkv && !ended && flat != 0 && score < kLikInfiniteScore && getAbortedStatus() == 0) {
        std::vector<double> kept;
        keepLengths(tree, kept);
        const double keptScore = score;
        const bool keptLimitGain = limitGain, keptRejected = rejected && *rejected,
                   keptStopped = stoppedEarly && *stoppedEarly;
        for (TreeNode *n : visit)
            if (isFlat(n))
                n->edge.brlen = std::max(kMkvShortStartBrlen, floorFor(n));
        if (log)
            qel_printf(" again with %zu long edge(s) short:\n", flat);
        previous = shown = kNoLScore;
        lastStep.clear();
        curvature = MkvCurvature{};
        if (!fit(keptScore)) {
            releaseAllCLAs(tree, g);
            return 0.0;
        }
        if (!(score < keptScore)) {
            putLengths(tree, kept);
            score = keptScore;
            limitGain = keptLimitGain;
            if (rejected)
                *rejected = keptRejected;
            if (stoppedEarly)
                *stoppedEarly = keptStopped;
        }
    }
    if (limitGain)
        ++gDriver.limitGains;
    if (g->useMkv && score < kLikInfiniteScore && getAbortedStatus() == 0)
        score = mkvShortLengthsPass(tree, constrained, g, saved, p, score, tol);
    releaseAllCLAs(tree, g);
    if (passes)
        *passes = total;
    return score;
}

double calcLForCurBranchLens(Tree *tree, bool keep)
{
    ModelGroup *g = activeModelGroup();
    checkTraversalSeq(tree);
    if (!keep)
        releaseAllCLAs(tree, g);
    TreeNode *e = basalEdge(tree);
    // The updates are recorded and run with the evaluation in one round of
    // the likelihood threads; whatever ends the pass early, what was
    // recorded is run, so that every CLA the tree keeps is valid.
    struct Batch {
        ModelGroup *g;
        bool on;
        ~Batch()
        {
            if (on)
                endClBatch(g);
        }
    } batch{g, beginClBatch(g)};
    // A pass that keeps nothing needs no CLA below the edge once its
    // parent's is made, and gives each back to the pool at once.
    struct Release {
        ModelGroupEngine &e;
        ~Release() { e.releaseConsumedCLAs = false; }
    } release{*g->engine};
    release.e.releaseConsumedCLAs = !keep;
    if (updateCLforEdge(e, g) != 0)
        return kNoLScore;
    const double score = evalEdgeScore(e, g);
    if (!keep)
        releaseAllCLAs(tree, g);
    return score;
}

double improveBranchLens(Tree *tree)
{
    ModelGroup *g = activeModelGroup();
    setMLVisitSequence(tree);
    if (loggingMLIters())
        qel_printf("\nMaximum-likelihood iterations (target=Infinite):\n");
    return optimizeBranchLensOneDim(tree, g, nullptr, nullptr, nullptr, nullptr, kNoLScore, kNoLScore);
}

// ---- The model group and the tree ------------------------------------------------------

namespace {

// How far the score from the starting lengths was from the optimised one.
// An error beyond the limit means the screen would reject trees that the
// optimisation would have found better than the target, so during a
// long operation (a search) the limit is widened to twice that error.
void noteApproximationError(double score, double approx, uint32_t passes, bool rejected, bool stopped)
{
    ActiveML &a = aml();
    if (approx >= kNoLScore)
        return;
    const double relative = std::fabs(score - approx) / score;
    if (loggingMLIters() && (a.flags & kAMLParsOrLSBrLens) != 0 && passes > 0 && !stopped)
        qel_printf("%*s approximation error=%.2f%%\n\n", static_cast<int>(passes % 50 + 1), "", 100.0 * relative);
    if (!rejected && (a.flags & kAMLAdjustApproxLim) != 0 && getLongOperationStatus() > 0 &&
        relative > a.targetThreshFactor - 1.0) {
        const double percent = 200.0 * relative;
        setTargetThreshFactor(percent);
        qel_printf("Note: Approximation limit dynamically readjusted to %g%%\n", percent);
    }
}

// The parsimony starting lengths put each change a reconstruction leaves
// ambiguous on one of the branches that could carry it, and a fit that
// moves one length at a time cannot hand that length over to another: it
// can settle several units short of the best fit. A tree scored for its
// own sake is fitted once more from equal lengths, with any estimated
// parameters at the values just found, and the better fit stands. Not so a
// tree with a target to beat, nor the many fits of a search or of model
// selection, whose cost it would double.
bool wantsSecondStart(double target, bool fixed, bool clockTimes, double score)
{
    const ActiveML &a = aml();
    const bool fromParsimony = ml.userBrLens == 0 && (a.flags & kAMLNeedRogers) != 0 &&
                               a.initBrLenMethod == static_cast<uint32_t>(kInitBrLenRogers);
    const bool ownSake =
        target >= kNoLScore && !searchWarmStarts() && (getLongOperationStatus() <= 0 || gDriver.forItself);
    return fromParsimony && ownSake && !fixed && !clockTimes && !clockModelInEffect() && a.maxPass != 0 &&
           score != 0.0 && score < kLikInfiniteScore && getAbortedStatus() == 0;
}

// `gainsBefore` is the count of fits stopped at the pass limit from before
// the first fit: only the fit that stands is counted.
double fitAgainFromEqualLengths(Tree *tree, ModelGroup *g, double score, uint32_t &passes, uint32_t gainsBefore)
{
    ActiveML &a = aml();
    std::vector<double> first;
    keepLengths(tree, first);
    const uint32_t gainsOfFirst = gDriver.limitGains;
    const double start = a.initArbBrLen > 0.0 ? a.initArbBrLen : kFallbackStartBrLen;
    for (TreeNode *n : gDriver.visit)
        n->edge.brlen = n->edge.savedBrlen = std::max(start, floorFor(n));
    releaseAllCLAs(tree, g);
    if (loggingMLIters())
        qel_printf(" again from every length %g:\n", start);
    uint32_t again = 0;
    const double other =
        optimizeBranchLensOneDim(tree, g, nullptr, &again, nullptr, nullptr, kNoLScore, kNoLScore, score);
    const bool aborted = other == 0.0 && getAbortedStatus() != 0;
    // A second fit that only matches the first within the fits' tolerance
    // leaves the first standing, lengths and all.
    if (!aborted && other < score - score * a.toler) {
        passes = again;
        gDriver.limitGains = gainsBefore + (gDriver.limitGains - gainsOfFirst);
        return other;
    }
    putLengths(tree, first);
    for (TreeNode *n : gDriver.visit)
        n->edge.savedBrlen = n->edge.brlen;
    releaseAllCLAs(tree, g);
    gDriver.limitGains = gainsOfFirst;
    return aborted ? 0.0 : score;
}

}  // namespace

double calcLikeForModelGroup(Tree *tree, ModelGroup *g, double target)
{
    ActiveML &a = aml();
    const bool estimating = a.numEstParams > 0 || estimatingMLParms();
    const bool fixed = usingFixedMLBranchLengths();
    // Under a clock the node ages are optimised with the model parameters.
    const bool clockTimes = clockModelInEffect() && !fixed;
    const bool screening = !estimating && !clockTimes && (a.flags & kAMLUseApproxLim) != 0;
    const bool log = loggingMLIters();
    g->approxScore = kNoLScore;
    if (!fixed && !clockModelInEffect()) {
        a.iterations = 0;
        if (int rc = setStartingLengths(tree, g); rc != 0)
            return kNoLScore;
        if (screening || (!estimating && a.maxPass == 0))
            g->approxScore = calcLForCurBranchLens(tree, false);
    } else if (fixed && ml.UCM) {
        // One length for every branch: the rate scaler, estimated, is it.
        for (TreeNode *n : gDriver.visit)
            n->edge.brlen = 1.0;
    } else if (fixed && ml.userBrLens) {
        raiseUserLengthsToFloors();
    }
    // An interrupt that came while the starting lengths were made is new to
    // this score: it is confirmed like one during the optimisation below (a
    // poll made now would count it as in force from the start).
    if (const int32_t flag = getAbortedStatus(); flag != 0 && (flag < 0 || confirmAbortRequest())) {
        releaseAllCLAs(tree, g);
        return kNoLScore;
    }
    if (log) {
        qel_printf("\nMaximum-likelihood iterations (target=");
        printLScore(target);
        qel_printf("):\n");
        if (screening) {
            qel_printf(" pass 0:");
            printLScore(g->approxScore);
        }
    }
    if (screening) {
        if (target != kNoLScore && target * a.targetThreshFactor < g->approxScore) {
            if (log)
                qel_printf(" (rejected)\n");
            g->lastScore = g->approxScore;
            return g->approxScore;
        }
        if (a.approxLim == 0.0) {
            g->lastScore = g->approxScore;
            return g->approxScore;
        }
        if (log)
            qel_printf("\n");
    } else {
        releaseAllCLAs(tree, g);
    }
    double score;
    uint32_t passes = 0;
    bool rejected = false, stopped = false;
    // With blopt multiDim the lengths are optimised with the parameters.
    const bool joint = (a.flags & kAMLJointBrLens) != 0 && !fixed;
    const uint32_t gainsBefore = gDriver.limitGains;
    if (!estimating && !clockTimes && !joint) {
        if (!fixed && !clockModelInEffect()) {
            score = a.maxPass != 0 ? optimizeBranchLensOneDim(tree, g, nullptr, &passes, &rejected, &stopped, target,
                                                              g->approxScore)
                                   : g->approxScore;
        } else {
            score = calcLForCurBranchLens(tree, false);
        }
    } else {
        score = calcLWithParamEst(tree, g, target);
        passes = 1;
    }
    if (wantsSecondStart(target, fixed, clockTimes, score))
        score = fitAgainFromEqualLengths(tree, g, score, passes, gainsBefore);
    gDriver.passes = passes;
    // A score of 0 is an abort the pass routine gave up on.
    if (screening && score != 0.0 && score < kLikInfiniteScore)
        noteApproximationError(score, g->approxScore, passes, rejected, stopped);
    if (log)
        qel_printf("\n");
    g->lastScore = score;
    return score;
}

namespace {

// The tree's score from calcLikeForModelGroup. When memory runs out while
// likelihood threads are running (this call's or a caller's, which ends
// them through the engine's record), they are ended and the tree is scored
// again from its lengths as given, on one thread, as the rest of the
// command is: the failure is told only when that runs out too.
double calcLikeFallingBackToOneThread(Tree *tree, ModelGroup *g, double target)
{
    ModelGroupEngine &e = *g->engine;
    if (e.likThreads == nullptr || memoryErrorHasOccurred())
        return calcLikeForModelGroup(tree, g, target);
    std::vector<double> lengths(tree->maxNodes);
    for (uint32_t i = 0; i < tree->maxNodes; ++i)
        lengths[i] = tree->nodes[i].edge.brlen;
    {
        const MemoryFailureHeld held;
        double score = kNoLScore;
        try {
            score = calcLikeForModelGroup(tree, g, target);
        } catch (const std::bad_alloc &) {
            reportMemoryFailure();
        }
        if (!memoryErrorHasOccurred())
            return score;
        e.likThreads = stopLikThreadsForMemory(e.likThreads);
        clearMemoryErrorStatus();
    }
    releaseAllCLAs(tree, g);
    for (uint32_t i = 0; i < tree->maxNodes; ++i)
        tree->nodes[i].edge.brlen = lengths[i];
    return calcLikeForModelGroup(tree, g, target);
}

}  // namespace

double calcTreeLikelihood(Tree *tree, double target)
{
    ModelGroup *g = activeModelGroup();
    if (getActiveML() == nullptr || g == nullptr || g->engine == nullptr || g->engine->pool == nullptr)
        return kNoLScore;
    gDriver.zeroLenTest = 0;
    gDriver.evals = 0;
    // The pattern split over the likelihood threads, for this call when no
    // caller has started it.
    ModelGroupEngine &e = *g->engine;
    const bool startedThreads = e.likThreads == nullptr && aml().nthreads > 1 && !g->singleThreaded;
    if (startedThreads)
        e.likThreads = startLikThreads(static_cast<int32_t>(aml().nthreads));
    struct ThreadsEnd {
        ModelGroupEngine &e;
        bool started;
        ~ThreadsEnd()
        {
            if (started)
                e.likThreads = destroyLikThreads(e.likThreads);
        }
    } threadsEnd{e, startedThreads};
    checkTraversalSeq(tree);
    setMLVisitSequence(tree);
    aml().iterations = 0;
    setActiveTreeForML(tree);
    noteMkvPlacedTaxa(g, tree->root);
    double score = calcLikeFallingBackToOneThread(tree, g, target);
    if (score >= kNoLScore || (getAbortedStatus() != 0 && score == 0.0)) {
        releaseAllCLAs(tree, g);
        return kNoLScore;
    }
    if (gDriver.needStdErr && score < kLikInfiniteScore) {
        const int rc = stdErrorsAndZeroLenTest(tree, g, score);
        if (rc != 0) {
            releaseAllCLAs(tree, g);
            return kNoLScore;
        }
    }
    releaseAllCLAs(tree, g);
    return score;
}

double calcTreeLikelihoodForItself(Tree *tree, double target)
{
    struct Mark {
        bool was = std::exchange(gDriver.forItself, true);
        ~Mark() { gDriver.forItself = was; }
    } mark;
    return calcTreeLikelihood(tree, target);
}

// ---- A taxon added on an edge ---------------------------------------------------------------

bool fastStepwiseInEffect() { return ml.fastStep != 0 && !clockModelInEffect(); }

// The most a pool grows to keep the arrays of every join of a step.
constexpr std::size_t kFastStepPoolBytes = std::size_t{256} << 20;

double fastStepwiseBegin(Tree *tree)
{
    ModelGroup *g = activeModelGroup();
    checkTraversalSeq(tree);
    setActiveTreeForML(tree);
    noteMkvPlacedTaxa(g, tree->root);
    releaseAllCLAs(tree, g);
    const double score = improveBranchLens(tree);
    // The joins of a step differ only around their edge: with room for
    // both arrays of every node, each join computes only what the joins
    // before it have not.
    const ClaPool *pool = g->engine ? g->engine->pool.get() : nullptr;
    const auto want = static_cast<int32_t>(2 * tree->maxNodes + numCLAsNeeded(g) + 3);
    if (pool != nullptr && want > pool->count && std::size_t(want) * pool->bufferBytes <= kFastStepPoolBytes)
        growClaPool(g, want);
    return score;
}

double fastStepwiseJoinScore(Tree *tree, TreeNode *leaf, TreeNode *edgeNode, TreeNode *junction)
{
    // A pool without room for a join computed from nothing gives back the
    // arrays the joins before kept.
    ModelGroup *g = activeModelGroup();
    if (numFreeCLAs(g) < static_cast<int32_t>(numCLAsNeeded(g)) + 3)
        releaseAllCLAs(tree, g);
    return calcLScoreWith3EdgeOpt(leaf, edgeNode, junction);
}

void fastStepwiseJoin(Tree *tree, TreeNode *leaf, TreeNode *edgeNode, TreeNode *junction)
{
    // The arrays left from the joins tried describe the tree without the
    // leaf.
    releaseAllCLAs(tree, activeModelGroup());
    binConnectLeaf(leaf, edgeNode, junction);
    const double half = std::max(edgeNode->edge.brlen / 2.0, minBrlen());
    edgeNode->edge.brlen = half;
    junction->edge.brlen = half;
    leaf->edge.brlen = kJoinedLeafBrlen;
}

double calcLScoreWith3EdgeOpt(TreeNode *leaf, TreeNode *edgeNode, TreeNode *junction)
{
    ModelGroup *g = activeModelGroup();
    TreeNode *parent = edgeNode->anc;
    const TreeNode savedEdge = *edgeNode, savedParent = *parent;
    void *edgeDown = dnCLA(edgeNode);
    binConnectLeaf(leaf, edgeNode, junction);
    noteMkvPlacedTaxa(g, junction);
    const double half = std::max(edgeNode->edge.brlen / 2.0, minBrlen());
    edgeNode->edge.brlen = half;
    junction->edge.brlen = half;
    leaf->edge.brlen = kJoinedLeafBrlen;
    // The junction now stands where the edge node's parent side was and
    // takes over that down-CLA; the three arrays around the junction are new.
    dnCLA(junction) = edgeDown;
    dnCLA(edgeNode) = nullptr;
    dnCLA(leaf) = nullptr;
    upCLA(junction) = nullptr;
    double score = kNoLScore;
    bool failed = false;
    for (int round = 0; round < 3 && !failed; ++round) {
        double d1[3] = {0, 0, 0};
        TreeNode *edges[3] = {edgeNode, leaf, junction};
        for (int k = 0; k < 3 && !failed; ++k) {
            TreeNode *n = edges[k];
            returnCLAtoPool(k == 2 ? upCLA(n) : dnCLA(n), g);
            failed = updateCLforEdge(n, g) != 0;
            if (!failed) {
                const double s = optimizeOneEdge(n, g, k == 2, &d1[k], 0.001);
                if (k == 2)
                    score = s;
            }
        }
        if (std::max({d1[0], d1[1], d1[2]}) < 0.001)
            break;
    }
    returnCLAtoPool(upCLA(junction), g);
    returnCLAtoPool(dnCLA(edgeNode), g);
    returnCLAtoPool(dnCLA(leaf), g);
    // The edge node's old down-CLA goes back to it; one made here for the
    // junction belongs to the pool.
    if (dnCLA(junction) != edgeDown)
        returnCLAtoPool(dnCLA(junction), g);
    dnCLA(junction) = nullptr;
    binPruneLeaf(leaf);
    // Back to the records as they were, keeping the arrays computed here
    // that stay valid (the edge node's subtree, the parent's side).
    void *edgeUp = upCLA(edgeNode);
    void *parentSlots[2] = {upCLA(parent), dnCLA(parent)};
    *edgeNode = savedEdge;
    *parent = savedParent;
    upCLA(edgeNode) = edgeUp;
    dnCLA(edgeNode) = edgeDown;
    upCLA(parent) = parentSlots[0];
    dnCLA(parent) = parentSlots[1];
    return failed ? kNoLScore : score;
}

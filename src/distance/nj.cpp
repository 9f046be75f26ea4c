#include "distance/nj.h"

#include "search/bootjack.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <new>

#include "data/vorn_data.h"
#include "distance/dmatrix.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_malloc.h"
#include "qel/qel_progress.h"
#include "qel/qel_random.h"
#include "qel/qel_sets.h"
#include "search/bootjack.h"
#include "search/search_settings.h"
#include "qel/qel_errormsg.h"
#include "trees/constr.h"
#include "trees/treebuf.h"
#include "trees/treebuf_extras.h"
#include "trees/treeedit.h"
#include "trees/treeutil.h"

namespace {

// Two join criteria within this relative distance are equal.
constexpr double kTieTolerance = 1e-10;
// A value above best + kFastCut * |best| cannot be within the tolerance of
// best (the tolerance is relative to the larger of the two magnitudes).
constexpr double kFastCut = kTieTolerance / (1.0 - kTieTolerance) * (1.0 + 1e-6);
constexpr double kNoJoin = 1e37;

// -1 smaller, 0 equal within the tolerance, 1 larger.
int compareJoin(double q, double best)
{
    const double diff = q - best;
    if (std::fabs(diff) <= kTieTolerance * std::max(std::fabs(q), std::fabs(best)))
        return 0;
    return diff < 0.0 ? -1 : 1;
}

// The running choice of the pair to join in one step.
struct PairChoice {
    double best;
    uint32_t a = 0, b = 0;
    uint32_t count = 0;
    RNG *rng;

    PairChoice(double start, RNG *random) : best(start), rng(random) {}

    // The pair (a, b) with criterion q: a smaller one replaces the choice,
    // an equal one with chance 1/count under random tie-breaking.
    void offer(double q, uint32_t pa, uint32_t pb)
    {
        const int c = compareJoin(q, best);
        if (c > 0)
            return;
        if (c < 0) {
            count = 1;
        } else if (++count > 1 && !(rng && shouldSwapTie(rng, count))) {
            return;
        }
        best = q, a = pa, b = pb;
    }
};

// A stop between joins: the progress record's answer, or the abort flag when
// there is no record.
int joinDone(ClustData *cd)
{
    if (cd->resampling)
        return 0;
    if (cd->progress)
        return incrementProgressValue(cd->progress) == kProgressAborted ? 2 : 0;
    return gAborted_.load() && confirmAbortRequest() ? 2 : 0;
}

void linkChildren(TreeNode *parent, TreeNode *first, double firstLen, TreeNode *second, double secondLen)
{
    parent->firstChild = first;
    first->nextSib = second;
    second->nextSib = nullptr;
    first->anc = second->anc = parent;
    first->edge.brlen = firstLen;
    second->edge.brlen = secondLen;
}

// Removes position j (after i) from the position lists; the new cluster
// takes position i.
void collapseMatrixAndUpdateNodePtrs(ClustData *cd, uint32_t i, uint32_t j, uint32_t r, TreeNode *node)
{
    cd->nodes[i] = node;
    const auto drop = [j, r](auto &v) { std::copy(v.begin() + j + 1, v.begin() + r, v.begin() + j); };
    drop(cd->index);
    drop(cd->nodes);
    if (cd->method == kClustUPGMA) {
        drop(cd->sizes);
        drop(cd->heights);
    } else {
        drop(cd->R);
    }
}

// Tips and the first internal node of a build over m clusters.
TreeNode *startTree(ClustData *cd, uint32_t m, const uint32_t *taxa)
{
    Tree *tree = cd->tree;
    initNodes(tree, cd->ntax);
    for (uint32_t p = 0; p < m; ++p) {
        cd->index[p] = p;
        cd->nodes[p] = tree->nodes + 1 + (taxa ? taxa[p] : p);
    }
    return tree->nodes + 1 + cd->ntax;
}

void finishTree(Tree *tree, uint32_t leaves, bool rooted)
{
    tree->root = tree->nodes;
    tree->numLeaves = leaves;
    tree->flags = (tree->flags & ~kTreeRootedAtAnc) | kTreeBinary | (rooted ? uint32_t{kTreeRootedAtAnc} : 0u);
    afterLeavesChanged(tree);
}

// The constraint records before the first join: every taxon but the first
// is a cluster at the hub, and above the hub lies the first taxon alone.
int startConstraintStar(ClustData *cd)
{
    const uint32_t n = cd->ntax;
    if (!cd->conTree && !(cd->conTree = createTreeForTaxa(n, n, true)))
        return 1;
    Tree *t = cd->conTree;
    if (constraintsAreStale(t) && initConstraints(t, cd->data, false) != 0)
        return 1;
    cd->conNodes.assign(n, nullptr);
    for (uint32_t p = 0; p < n; ++p)
        cd->conNodes[p] = t->nodes + 1 + p;
    cd->conUp = conRecord(t, 0, t->nodes + 1);
    cd->conNext = t->nodes + 1 + n;
    cd->conFold.assign(size_t(10) * t->conData->words, 0);
    return 0;
}

const ConRec *clusterRecord(const ClustData *cd, uint32_t p) { return conRecord(cd->conTree, 0, cd->conNodes[p]); }

// Sums up the hub's r - 1 clusters, so that a join is tested in a few word
// operations however many clusters are left.
void foldHub(ClustData *cd, uint32_t r)
{
    const uint32_t words = cd->conTree->conData->words;
    ConWord *f = cd->conFold.data();
    std::fill_n(f, 7 * words, ConWord{0});
    const auto count = [words](ConWord *level, uint32_t w, ConWord x) {
        level[2 * words + w] |= level[words + w] & x;
        level[words + w] |= level[w] & x;
        level[w] |= x;
    };
    for (uint32_t p = 1; p < r; ++p) {
        const ConRec *x = clusterRecord(cd, p);
        for (uint32_t w = 0; w < words; ++w) {
            count(f, w, x->mo[w]);
            count(f + 3 * words, w, ~x->mo[words + w]);
            f[6 * words + w] |= x->v[w];
        }
    }
}

// The bits counted at the three levels that some cluster other than those
// marked a and b still holds.
ConWord countedElsewhere(const ConWord *level, uint32_t words, uint32_t w, ConWord a, ConWord b)
{
    return (a & b & level[2 * words + w]) | ((a ^ b) & level[words + w]) | (~(a | b) & level[w]);
}

// The soft record of the hub's clusters other than those at positions x
// and y (y 0: none), plus the extra record when given, into node.
bool softRest(ClustData *cd, uint32_t x, uint32_t y, const ConRec *extra, ConRec *node)
{
    const uint32_t words = cd->conTree->conData->words;
    const ConWord *f = cd->conFold.data();
    ConWord *m = cd->conFold.data() + 7 * words, *o = m + words, *v = o + words;
    const ConRec *a = clusterRecord(cd, x);
    const ConRec *b = y > 0 ? clusterRecord(cd, y) : nullptr;
    for (uint32_t w = 0; w < words; ++w) {
        const ConWord bm = b ? b->mo[w] : 0, bz = b ? ~b->mo[words + w] : 0, bv = b ? b->v[w] : 0;
        // The hub's clusters share no V bit, or an earlier test had failed.
        v[w] = f[6 * words + w] & ~(a->v[w] | bv);
        m[w] = countedElsewhere(f, words, w, a->mo[w], bm);
        o[w] = ~countedElsewhere(f + 3 * words, words, w, ~a->mo[words + w], bz);
        if (extra) {
            if (extra->v[w] & v[w])
                return node->satisfied = 0, false;
            v[w] |= extra->v[w];
            m[w] |= extra->mo[w];
            o[w] &= extra->mo[words + w];
        }
    }
    return softConstraintFinish(cd->conTree->conData, node, m, o, v);
}

// Makes the join of positions i < j (r clusters) for good.
void commitConstraintJoin(ClustData *cd, uint32_t r, uint32_t i, uint32_t j)
{
    const ConData *k = cd->conTree->conData;
    TreeNode *fresh = cd->conNext++;
    if (i > 0) {
        conSetBin(k, clusterRecord(cd, i), clusterRecord(cd, j), conRecord(cd->conTree, 0, fresh));
        cd->conNodes[i] = fresh;
    } else {
        // Cluster j stays beside the path to the root; the hub's other
        // clusters become the clade below a new hub.
        ConRec *up = conRecord(cd->conTree, 1, fresh);
        conSetBin(k, cd->conUp, clusterRecord(cd, j), up);
        cd->conUp = up;
    }
    std::copy(cd->conNodes.begin() + j + 1, cd->conNodes.begin() + r, cd->conNodes.begin() + j);
    foldHub(cd, r - 1);
}

}  // namespace

bool njConstraintsOK(ClustData *cd, uint32_t r, uint32_t i, uint32_t j)
{
    if (r <= 3)
        return true;  // three clusters make one unrooted tree however joined
    Tree *t = cd->conTree;
    ConRec *fresh = conRecord(t, 0, cd->conNext), *hub = conRecord(t, 2, cd->conNext);
    if (i > 0) {
        // The joined pair becomes one more cluster of the hub.
        if (conSetBin(t->conData, clusterRecord(cd, i), clusterRecord(cd, j), fresh), !fresh->satisfied)
            return false;
        if (!softRest(cd, i, j, fresh, hub))
            return false;
    } else {
        // Cluster j joins the path to the root, the rest become one clade.
        if (!softRest(cd, j, 0, nullptr, fresh))
            return false;
        if (conSetBin(t->conData, clusterRecord(cd, j), fresh, hub), !hub->satisfied)
            return false;
    }
    return conCompat(t, hub, cd->conUp);
}

ClustData *createClustData(DataInfo *data, Tree *tree, bool isUPGMA, uint32_t ntax, bool withMatrix, bool bioNJ)
{
    // Callers test for null; the banner says why, as for every other
    // allocation that fails.
    auto *cd = new (std::nothrow) ClustData;
    if (!cd) {
        reportMemoryFailure();
        return nullptr;
    }
    try {
        cd->method = isUPGMA ? kClustUPGMA : kClustNJ;
        cd->data = data;
        cd->tree = tree;
        cd->ntax = ntax;
        cd->bioNJ = bioNJ && !isUPGMA;
        cd->index.resize(ntax);
        cd->nodes.resize(ntax);
        if (isUPGMA) {
            cd->sizes.resize(ntax);
            cd->heights.resize(ntax);
        } else {
            cd->R.resize(ntax);
        }
        if (withMatrix) {
            cd->rows.resize(ntax);
            if (cd->bioNJ) {
                cd->matrix.resize(static_cast<size_t>(ntax) * ntax);
                for (uint32_t a = 0; a < ntax; ++a)
                    cd->rows[a] = cd->matrix.data() + static_cast<size_t>(a) * ntax;
            } else {
                cd->matrix.resize(static_cast<size_t>(ntax) * (ntax > 0 ? ntax - 1 : 0) / 2 + 1);
                for (uint32_t a = 0; a < ntax; ++a)
                    cd->rows[a] = cd->matrix.data() + static_cast<size_t>(a) * (a > 0 ? a - 1 : 0) / 2;
            }
        }
    } catch (const std::bad_alloc &) {
        delete cd;
        reportMemoryFailure();
        return nullptr;
    }
    return cd;
}

ClustData *destroyClustData(ClustData *cd)
{
    if (cd && cd->conTree)
        destroyTree(cd->conTree, true);
    delete cd;
    return nullptr;
}

void loadClustMatrix(ClustData *cd, const double *const *half, uint32_t m, const uint32_t *taxa)
{
    for (uint32_t a = 1; a < m; ++a) {
        const uint32_t ta = taxa ? taxa[a] : a;
        for (uint32_t b = 0; b < a; ++b) {
            const uint32_t tb = taxa ? taxa[b] : b;
            const double d = ta > tb ? half[ta][tb] : half[tb][ta];
            cd->rows[a][b] = d;
            if (cd->bioNJ)
                cd->rows[b][a] = d;
        }
    }
}

int njCluster(ClustData *cd, bool bioNJ, RNG *rng)
{
    const uint32_t n = cd->ntax;
    if (n < 3 || (bioNJ && !cd->bioNJ))
        return 1;
    TreeNode *next = startTree(cd, n, nullptr);
    if (cd->constrained) {
        if (startConstraintStar(cd) != 0)
            return 1;
        foldHub(cd, n);
    }
    uint32_t *index = cd->index.data();
    double *R = cd->R.data();
    double *const *rows = cd->rows.data();
    const bool lengths = !cd->resampling || cd->replicateLengths;
    const auto dist = [&](uint32_t p, uint32_t q) {  // positions p < q
        return rows[index[q]][index[p]];
    };
    const auto distAny = [&](uint32_t p, uint32_t q) { return p < q ? dist(p, q) : dist(q, p); };
    const auto var = [&](uint32_t p, uint32_t q) {  // BioNJ, positions p != q
        return p < q ? rows[index[p]][index[q]] : rows[index[q]][index[p]];
    };

    for (uint32_t p = 0; p < n; ++p) {
        double s = 0.0;
        for (uint32_t q = 0; q < n; ++q)
            if (q != p)
                s += distAny(p, q);
        R[p] = s;
    }
    for (uint32_t r = n; r > 2; --r) {
        PairChoice choice(kNoJoin, rng);
        if (r == 3) {
            choice.a = 1, choice.b = 0, choice.count = 1;
        } else {
            const double rm2 = static_cast<double>(r - 2);
            for (uint32_t a = 1; a < r; ++a) {
                const double *row = rows[index[a]];
                const double Ra = R[a];
                const uint32_t last = r == 4 ? 1 : a;
                for (uint32_t b = 0; b < last; ++b) {
                    const double q = rm2 * row[index[b]] - Ra - R[b];
                    if (q > choice.best + kFastCut * std::fabs(choice.best))
                        continue;
                    if (cd->constrained && compareJoin(q, choice.best) <= 0 && !njConstraintsOK(cd, r, b, a))
                        continue;
                    choice.offer(q, a, b);
                }
            }
            // Some join always keeps the clusters resolvable; none passing
            // means the constraint records are wrong, and a tree that breaks
            // the constraint must not be stored as if it kept it.
            // Without a constraint only distances too large for the sums
            // (infinite or not numbers) leave every pair unscored.
            if (choice.count == 0 && !cd->constrained)
                return qel_errorMsg(0, "No neighbor-joining step can be chosen: the distances are too large to "
                                       "compare."),
                       1;
            if (choice.count == 0)
                return qel_errorMsg(0, "No neighbor-joining step keeps the tree compatible with the constraint."), 1;
        }
        if (choice.count > 1)
            cd->ties = true;
        const uint32_t i = choice.b, j = choice.a;
        if (cd->constrained && r > 3)
            commitConstraintJoin(cd, r, i, j);
        const double dij = dist(i, j);
        const double bi = dij / 2.0 + (R[i] - R[j]) / (2.0 * (r - 2));
        const double bj = dij - bi;
        const uint32_t mi = index[i];
        double lambda = 0.5, vij = 0.0;
        if (bioNJ) {
            vij = var(i, j);
            if (vij != 0.0) {
                double s = 0.0;
                for (uint32_t k = 0; k < r; ++k)
                    if (k != i && k != j)
                        s += var(i, k) - var(j, k);
                lambda = std::clamp(0.5 + s / (2.0 * (r - 2) * vij), 0.0, 1.0);
            }
        }
        double newSum = 0.0;
        for (uint32_t k = 0; k < r; ++k) {
            if (k == i || k == j)
                continue;
            const double dik = distAny(i, k), djk = distAny(j, k);
            double dnew;
            if (bioNJ) {
                dnew = lambda * (djk - bj) + (1.0 - lambda) * (dik - bi);
                const double vnew = lambda * var(j, k) + (1.0 - lambda) * var(i, k) - lambda * (1.0 - lambda) * vij;
                (k < i ? rows[index[k]][mi] : rows[mi][index[k]]) = vnew;
            } else {
                dnew = (dik + djk - dij) / 2.0;
            }
            (k < i ? rows[mi][index[k]] : rows[index[k]][mi]) = dnew;
            R[k] += dnew - dik - djk;
            newSum += dnew;
        }
        R[i] = newSum;
        TreeNode *node = next++;
        linkChildren(node, cd->nodes[i], lengths ? bi : 0.0, cd->nodes[j], lengths ? bj : 0.0);
        collapseMatrixAndUpdateNodePtrs(cd, i, j, r, node);
        if (joinDone(cd) != 0)
            return 2;
    }
    // The last two clusters meet under one more node below the ancestor;
    // dropping that degree-two root joins its two edges into one.
    TreeNode *last = next;
    linkChildren(last, cd->nodes[0], lengths ? dist(0, 1) : 0.0, cd->nodes[1], 0.0);
    Tree *tree = cd->tree;
    tree->nodes->firstChild = last;
    last->anc = tree->nodes;
    last->edge.brlen = 0.0;
    finishTree(tree, n, true);
    if (derootTree(tree, nullptr, lengths) != 0)
        return 1;
    tree->flags |= kTreeBinary;
    setTraversalSeq(tree);
    return 0;
}

int upgma(ClustData *cd, uint32_t m, const uint32_t *taxa, RNG *rng)
{
    if (m < 2 || m > cd->ntax)
        return 1;
    TreeNode *next = startTree(cd, m, taxa);
    uint32_t *index = cd->index.data();
    double *const *rows = cd->rows.data();
    const auto dist = [&](uint32_t p, uint32_t q) { return rows[index[q]][index[p]]; };
    std::fill_n(cd->sizes.begin(), m, 1u);
    std::fill_n(cd->heights.begin(), m, 0.0);
    for (uint32_t r = m; r > 2; --r) {
        PairChoice choice(DBL_MAX, rng);
        for (uint32_t a = 1; a < r; ++a) {
            const double *row = rows[index[a]];
            for (uint32_t b = 0; b < a; ++b) {
                const double d = row[index[b]];
                if (d > choice.best + kFastCut * std::fabs(choice.best))
                    continue;
                choice.offer(d, a, b);
            }
        }
        if (choice.count > 1)
            cd->ties = true;
        const uint32_t i = choice.b, j = choice.a;
        const double dij = dist(i, j);
        const uint32_t mi = index[i];
        const double ni = cd->sizes[i], nj = cd->sizes[j];
        for (uint32_t k = 0; k < r; ++k) {
            if (k == i || k == j)
                continue;
            const double dik = k < i ? dist(k, i) : dist(i, k);
            const double djk = k < j ? dist(k, j) : dist(j, k);
            (k < i ? rows[mi][index[k]] : rows[index[k]][mi]) = (ni * dik + nj * djk) / (ni + nj);
        }
        TreeNode *node = next++;
        linkChildren(node, cd->nodes[i], 0.0, cd->nodes[j], 0.0);
        node->age = dij / 2.0;
        cd->sizes[i] += cd->sizes[j];
        cd->heights[i] = node->age;
        collapseMatrixAndUpdateNodePtrs(cd, i, j, r, node);
        if (joinDone(cd) != 0)
            return 2;
    }
    TreeNode *last = next;
    linkChildren(last, cd->nodes[0], 0.0, cd->nodes[1], 0.0);
    last->age = dist(0, 1) / 2.0;
    Tree *tree = cd->tree;
    tree->nodes->firstChild = last;
    last->anc = tree->nodes;
    finishTree(tree, m, true);
    setTraversalSeq(tree);
    // Edge lengths are height differences; tips are at height 0.
    for (TreeNode *p = tree->root->firstChild; p; p = p->next) {
        const double h = p->firstChild ? p->age : 0.0;
        p->edge.brlen = p->anc == tree->nodes ? 0.0 : p->anc->age - h;
    }
    return 0;
}

RNG *setTieBreakRNG(RNG *state, const uint32_t seed[4], bool random)
{
    if (!random)
        return nullptr;
    initRNG(state, makeSeed(seed[0], seed[1], seed[2], seed[3]));
    return state;
}

namespace {

// The matrix of a tree build: a starting tree under likelihood takes the
// likelihood-start matrix, anything else the distances of the distance
// methods.
DMatrix *clusterMatrix(ClustData *cd, bool useCriterion)
{
    const bool forML = useCriterion && gCriterion == kCriterionLikelihood;
    DMatrix *dm = getDMatrix(forML ? kDMatrixForLikelihood : kDMatrixForDistance, cd->data, false);
    // The likelihood set-up fills its matrix when the search asks for it; a
    // caller that did not ask gets a message rather than a silent failure.
    if (forML && dm && (dm->type == kCurrentDistType || !dm->distances)) {
        qel_errorMsg(0, "The distances that likelihood starts from have not been computed; the neighbor-joining "
                        "tree cannot be built.");
        return nullptr;
    }
    if (!dm || dm->type == kCurrentDistType || !dm->distances)
        return nullptr;
    return dm;
}

RNG *tieBreaker(ClustData *cd, bool useCriterion)
{
    // Replicates draw their ties from the resampling generator, so that one
    // seed gives one run.
    if (!useCriterion && cd->resampling)
        return getBootJackRNG();
    const bool random = !useCriterion && clust.breakTies == kBreakTiesRandom;
    return setTieBreakRNG(&cd->tieRng, clust.tieSeed, random);
}

// The finished tree into the main buffer with the lengths the clustering
// gave it.
int storeClusterTree(ClustData *cd)
{
    TreeBuffer *buf = getMainTreeBuffer(nullptr);
    const uint32_t slot = putTree(cd->tree, buf, false);
    if (slot == kPutTreeDuplicate || isPutTreeFull(slot))
        return 1;
    if (!cd->resampling) {
        if (storeBranchLengths(buf, cd->tree, slot - 1, true, static_cast<uint32_t>(dist.precision)) != 0)
            return 1;
        setHaveUserBranchLengths(true);
    }
    setTraversalSeq(cd->tree);
    return 0;
}

// The work matrix in the layout the method needs; one allocation per tree
// at most, never per join.
int layoutMatrix(ClustData *cd, bool bioNJ)
{
    if (cd->bioNJ == bioNJ && !cd->rows.empty())
        return 0;
    ClustData *fresh = createClustData(cd->data, cd->tree, cd->method == kClustUPGMA, cd->ntax, true, bioNJ);
    if (!fresh)
        return 1;
    cd->matrix.swap(fresh->matrix);
    cd->rows.swap(fresh->rows);
    cd->bioNJ = fresh->bioNJ;
    destroyClustData(fresh);
    return 0;
}

}  // namespace

int makeNJTree(ClustData *cd, bool useCriterion, bool bioNJ)
{
    if (!cd || !cd->tree)
        return 1;
    DMatrix *dm = clusterMatrix(cd, useCriterion);
    if (!dm)
        return gAborted_.load() ? 2 : 1;
    if (dm->ntax < cd->ntax || layoutMatrix(cd, bioNJ) != 0)
        return 1;
    loadClustMatrix(cd, dm->distances, cd->ntax, nullptr);
    if (const int status = njCluster(cd, bioNJ, tieBreaker(cd, useCriterion)); status != 0)
        return status;
    return useCriterion ? 0 : storeClusterTree(cd);
}

int makeUPGMATree(ClustData *cd, const Set *taxonSubset, bool useCriterion)
{
    if (!cd || !cd->tree)
        return 1;
    DMatrix *dm = clusterMatrix(cd, useCriterion);
    if (!dm)
        return gAborted_.load() ? 2 : 1;
    if (dm->ntax < cd->ntax || layoutMatrix(cd, false) != 0)
        return 1;
    std::vector<uint32_t> taxa;
    if (taxonSubset)
        for (uint32_t t = 0; t < cd->ntax; ++t)
            if (t < taxonSubset->capacity && isSetMember(taxonSubset, t))
                taxa.push_back(t);
    const uint32_t m = taxonSubset ? static_cast<uint32_t>(taxa.size()) : cd->ntax;
    const uint32_t *list = taxonSubset ? taxa.data() : nullptr;
    loadClustMatrix(cd, dm->distances, m, list);
    if (const int status = upgma(cd, m, list, tieBreaker(cd, useCriterion)); status != 0)
        return status;
    // A tree over part of the taxa, or the start of a search, belongs to its caller.
    return useCriterion || taxonSubset ? 0 : storeClusterTree(cd);
}

int cluster(ClustData *cd)
{
    return cd->method == kClustUPGMA ? makeUPGMATree(cd, nullptr, false) : makeNJTree(cd, false, clust.BioNJ != 0);
}

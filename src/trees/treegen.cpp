#include "trees/treegen.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/qel_cmdoptions.h"
#include "cli/qel_commands.h"
#include "data/vorn_data.h"
#include "data/vorn_util.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_multithread.h"
#include "qel/qel_output.h"
#include "qel/qel_progress.h"
#include "trees/constr.h"
#include "trees/splits.h"
#include "trees/tree_settings.h"
#include "trees/treebuf.h"
#include "trees/treebuf_extras.h"
#include "trees/treeedit.h"

namespace {

// Sources of the trees in memory (as DescribeTrees names them).
constexpr uint32_t kSourceRandom = 7;
constexpr uint32_t kSourceAllPossible = 8;
// The largest count of trees a buffer can be asked to hold.
constexpr double kMaxGeneratedTrees = 2147483646.0;
// Progress is reported (and the user's stop polled) once per this many trees.
constexpr uint64_t kProgressEvery = 1024;

// ---------------------------------------------------------------------------
// All trees

struct Enumerator {
    AllTreesJob &job;
    std::vector<std::vector<TreeNode *>> places;  // per level: the attachment nodes
    std::vector<TreeNode *> forks;                // per level: the node that splits an edge

    explicit Enumerator(AllTreesJob &j) : job(j) {}

    int store()
    {
        if (storeGeneratedTree(job.tree, job.scratch, job.buf, false) != 0)
            return -1;
        if (++job.stored % kProgressEvery == 0) {
            if (job.progress && setProgressValue(job.progress, static_cast<uint32_t>(job.stored)) != 0)
                return 2;
            if (getAbortedStatus() != 0 && confirmAbortRequest())
                return 2;
        }
        return 0;
    }

    // The tree with the taxon just placed: kept, extended or dropped.
    int visit(uint32_t taxon, uint32_t level)
    {
        const bool last = taxon + 1 == job.ntax;
        if (job.conMode > 0 || (job.conMode < 0 && last)) {
            if (!constraintsSatisfied(job.tree, job.conMode < 0))
                return 0;
        }
        return last ? store() : place(taxon + 1, level + 1);
    }

    int place(uint32_t taxon, uint32_t level)
    {
        Tree *tree = job.tree;
        TreeNode *leaf = nodeOfIndex(tree, static_cast<int32_t>(taxon));
        TreeNode *fork = forks[level];
        std::vector<TreeNode *> &at = places[level];
        at.clear();
        TreeNode *basal = tree->root->firstChild;
        for (TreeNode *p = basal; p; p = nextPreorderNode(p, basal))
            at.push_back(p);
        for (TreeNode *p : at) {
            binConnectLeaf(leaf, p, fork);
            tree->numLeaves++;
            int rc = visit(taxon, level);
            binPruneLeaf(leaf);
            tree->numLeaves--;
            if (rc != 0)
                return rc;
            if (job.nonbinary && p->firstChild) {
                // The taxon as one more (last) child of p: a polytomy.
                TreeNode *lastChild = p->firstChild;
                while (lastChild->nextSib)
                    lastChild = lastChild->nextSib;
                lastChild->nextSib = leaf;
                leaf->anc = p;
                tree->numLeaves++;
                const uint32_t flags = tree->flags;
                tree->flags &= ~kTreeBinary;
                rc = visit(taxon, level);
                tree->flags = flags;
                lastChild->nextSib = nullptr;
                leaf->anc = nullptr;
                tree->numLeaves--;
                if (rc != 0)
                    return rc;
            }
        }
        return 0;
    }
};

// ---------------------------------------------------------------------------
// Random trees

// The node of draw r: the placed tips by taxon, then the forks made so far.
TreeNode *drawnNode(Tree *tree, uint32_t placedTips, uint32_t r)
{
    return r < placedTips ? tree->firstTip + r : tree->firstTip + tree->ntax + (r - placedTips);
}

void randomPairFromRng(void *state, uint32_t n, uint32_t *a, uint32_t *b)
{
    randomPair(static_cast<RNG *>(state), n, a, b);
}

// The tips (positions 1..ntax) moved to the positions perm gives; every
// other node keeps its place, and each node its edge data.
void moveTips(Tree *tree, const uint32_t *perm, uint32_t ntax)
{
    const uint32_t n = tree->maxNodes;
    auto map = [&](const TreeNode *p) -> TreeNode * {
        if (!p)
            return nullptr;
        const uint32_t pos = nodePosition(tree, p);
        return pos >= 1 && pos <= ntax ? tree->nodes + 1 + perm[pos - 1] : const_cast<TreeNode *>(p);
    };
    struct Links {
        TreeNode *firstChild, *nextSib, *anc;
        EdgeData edge;
    };
    std::vector<Links> old(n);
    for (uint32_t p = 0; p < n; p++) {
        const TreeNode *x = tree->nodes + p;
        old[p] = {map(x->firstChild), map(x->nextSib), map(x->anc), x->edge};
    }
    for (uint32_t p = 0; p < n; p++) {
        TreeNode *to = map(tree->nodes + p);
        to->firstChild = old[p].firstChild;
        to->nextSib = old[p].nextSib;
        to->anc = old[p].anc;
        to->edge = old[p].edge;
    }
    tree->root = map(tree->root);
    afterTreeChange(tree);
    resetABMPtrs(tree);
}

}  // namespace

// ---------------------------------------------------------------------------
// Counting

double countPossTrees(uint32_t n)
{
    if (n < 4)
        return 1.0;
    // Row of counts by number of internal edges, zero-padded so each step
    // reads one entry past the last filled one.
    std::vector<double> c(n + 1, 0.0), next(n + 1, 0.0);
    c[0] = 1.0;
    for (uint32_t s = 3; s < n; s++) {
        std::fill(next.begin(), next.end(), 0.0);
        next[0] = 1.0;
        for (uint32_t j = 0; j + 3 <= s; j++)
            next[j + 1] = (j + 2) * c[j + 1] + (s + j) * c[j];
        c.swap(next);
    }
    double sum = 0.0;
    for (double v : c)
        sum += v;
    return sum;
}

double countBinaryTrees(uint32_t n, bool rooted)
{
    double count = 1.0;
    const uint32_t top = rooted ? 2 * n - 3 : 2 * n - 5;
    for (uint32_t k = 3; n >= (rooted ? 2u : 3u) && k <= top; k += 2)
        count *= k;
    return count;
}

// ---------------------------------------------------------------------------
// Building blocks

uint32_t makeInitial3Tree(bool rooted, Tree *tree, uint32_t ntax)
{
    if (rooted) {
        if (make3Tree(tree, ntax, -1, 0, 1) != 0)
            return 0;
        tree->flags |= kTreeRootedAtAnc;
        return 2;
    }
    return make3Tree(tree, ntax, 0, 1, 2) != 0 ? 0 : 3;
}

int storeGeneratedTree(Tree *tree, Tree *scratch, TreeBuffer *buf, bool checkDuplicates)
{
    if (copyTree(tree, scratch) != 0)
        return -1;
    setTraversalSeq(scratch);
    return isPutTreeFull(putTree(scratch, buf, checkDuplicates)) ? -1 : 0;
}

int enumerateAllTrees(AllTreesJob &job)
{
    job.stored = 0;
    const uint32_t start = makeInitial3Tree(job.rooted, job.tree, job.ntax);
    if (start == 0)
        return 1;
    Enumerator e(job);
    // Each level splits edges with its own fork: positions after the start fork.
    const uint32_t levels = job.ntax - start;
    e.places.resize(levels);
    for (uint32_t l = 0; l < levels; l++) {
        e.forks.push_back(job.tree->firstTip + job.ntax + 1 + l);
        e.places[l].reserve(2 * job.ntax);
    }
    int rc;
    if (levels == 0) {
        rc = (job.conMode == 0 || constraintsSatisfied(job.tree, job.conMode < 0)) ? e.store() : 0;
    } else {
        // Under a positive constraint a start tree that breaks it has no
        // extension that keeps it.
        rc = job.conMode > 0 && !constraintsSatisfied(job.tree, false) ? 0 : e.place(start, 0);
    }
    if (job.progress)
        setProgressValue(job.progress, static_cast<uint32_t>(std::min<uint64_t>(job.stored, UINT32_MAX)));
    return rc;
}

int makeRandomEqProbTree(Tree *tree, uint32_t ntax, bool rooted, bool constrained, RNG *rng)
{
    const uint32_t start = makeInitial3Tree(rooted, tree, ntax);
    if (start == 0)
        return 1;
    uint32_t placedTips = start;
    const uint32_t skip = rooted ? 0 : 1;  // draw 0 would be the root tip
    for (uint32_t k = 0; start + k < ntax; k++) {
        TreeNode *leaf = tree->firstTip + start + k;
        TreeNode *fork = tree->firstTip + ntax + 1 + k;
        const uint32_t choices = 2 * k + 3;
        for (;;) {
            const uint32_t r = randomInteger(rng, choices) + skip;
            TreeNode *edge = drawnNode(tree, placedTips, r);
            binConnectLeaf(leaf, edge, fork);
            tree->numLeaves++;
            if (!constrained || constraintsSatisfied(tree, false))
                break;
            binPruneLeaf(leaf);
            tree->numLeaves--;
            if (getAbortedStatus() != 0 && confirmAbortRequest())
                return 2;
        }
        placedTips++;
    }
    tree->flags |= kTreeBinary;
    if (rooted)
        tree->flags |= kTreeRootedAtAnc;
    afterTreeChange(tree);
    setTraversalSeq(tree);
    return 0;
}

TreeNode *permuteTipLabels(Tree *tree, uint32_t *taxonMap, uint32_t ntax, RNG *rng)
{
    for (uint32_t t = 0; t < ntax; t++)
        taxonMap[t] = t;
    randomUIntShuffle(rng, taxonMap, ntax);
    moveTips(tree, taxonMap, ntax);
    setTraversalSeq(tree);
    return tree->firstTip;
}

int makeRandomYuleTree(Tree *tree, const Tree *constraintTree, uint32_t ntax, bool rooted, RNG *rng)
{
    if (constraintTree) {
        if (copyTree(constraintTree, tree) != 0)
            return 1;
        setTraversalSeq(tree);
        if (dichotomizeTree(tree, randomPairFromRng, rng) != 0)
            return 1;
        tree->numLeaves = ntax;
    } else {
        if (makeInitial3Tree(true, tree, ntax) == 0)
            return 1;
        std::vector<TreeNode *> tips = {tree->firstTip, tree->firstTip + 1};
        for (uint32_t k = 2; k < ntax; k++) {
            const uint32_t j = randomInteger(rng, k);
            TreeNode *old = tips[j];
            TreeNode *leaf = tree->firstTip + k;
            binConnectLeaf(leaf, old, tree->firstTip + ntax + k - 1);
            tips.push_back(leaf);
        }
        tree->numLeaves = ntax;
        std::vector<uint32_t> map(ntax);
        permuteTipLabels(tree, map.data(), ntax, rng);
    }
    tree->flags |= kTreeBinary | kTreeRootedAtAnc;
    if (!rooted && derootTree(tree, tree->firstTip, false) != 0)
        return 1;
    afterTreeChange(tree);
    setTraversalSeq(tree);
    return 0;
}

// ---------------------------------------------------------------------------
// The commands

namespace {

struct GenRun {
    DataInfo *data = nullptr;
    ProgData *progress = nullptr;
    bool fromTreesBlock = false;
    int status = 0;
};

const char *rootedWord(bool rooted) { return rooted ? "rooted" : "unrooted"; }

const char *runningCommandName()
{
    const CmdTableEntry *cur = cmdOpt.currentCmd;
    return cur && cur->name ? cur->name : "GenerateTrees";
}

// The constraint mode of this generation (+1, -1 under converse, 0 none)
// and, for random Markovian trees under a constraint, the tree of its groups.
int setConstraintsForTreeGen(Tree *tree, const DataInfo *data, int *mode)
{
    *mode = 0;
    Constraint *c = getActiveConstraint();
    if (!c)
        return 0;
    // The looseness of the current settings, not the one the last search
    // or filter left behind.
    useCurrentConvexLooseness();
    if (constraintsAreStale(tree) && initConstraints(tree, data, false) != 0)
        return 1;
    *mode = treeGen.converse ? -1 : 1;
    return 0;
}

// The tree of the active constraint's groups over the nondeleted taxa (for
// a backbone without its list of named taxa). Each group is a clade of it,
// so resolving its polytomies at random gives trees that keep the
// constraint.
int constraintTreeForActiveTaxa(const Constraint *c, const DataInfo *data, uint32_t ntax, Tree *out)
{
    const SplitsList *g = c->groups.get();
    const uint32_t groups = c->type == kConBackbone && g->count > 0 ? g->count - 1 : g->count;
    SplitsList active;
    active.ntax = ntax;
    active.words = splitWords(ntax);
    std::vector<uint64_t> bits(active.words);
    for (uint32_t k = 0; k < groups; k++) {
        const uint64_t *split = getSplitFromList(g, k);
        std::fill(bits.begin(), bits.end(), 0);
        for (uint32_t o = 0; o < g->ntax; o++) {
            if (!((split[o >> 6] >> (o & 63)) & 1u) || isDeletedTaxon(o, data))
                continue;
            const uint32_t t = data->taxa.originalToActive ? data->taxa.originalToActive[o] : o;
            bits[t >> 6] |= uint64_t{1} << (t & 63);
        }
        const uint32_t size = splitSize(bits.data(), active.words);
        bool seen = size < 2 || size >= ntax;
        for (uint32_t j = 0; j < active.count && !seen; j++)
            seen = std::equal(bits.begin(), bits.end(), getSplitFromList(&active, j));
        if (!seen && appendSplitToList(&active, bits.data()) != 0)
            return 1;
    }
    return makeTreeFromSplitsList(out, ntax, &active, nullptr, out->nodes);
}

void printConstraintClause()
{
    char text[512];
    makeConstrString(getActiveConstraint(), text, sizeof text);
    qel_printf(" %scompatible with %s", treeGen.converse ? "NOT " : "", text);
}

void compatibilityWarnings()
{
    if (treeGen.unlabelled)
        qel_warningMsg(763, "VORN does not support generation of unlabelled trees (option provided only for "
                            "compatibility with COMPONENT). Equiprobable model will be used instead.");
    if (treeGen.ntax)
        qel_warningMsg(764, "VORN does not support 'NTax' in TREES block (option provided only for compatibility "
                            "with COMPONENT); value is ignored.");
}

// Raises Maxtrees to n when the user agrees. 0 done, 2 declined, 1 error.
int raiseMaxtrees(uint32_t n, const char *question)
{
    if (n <= getMaxtreesValue())
        return 0;
    if (!userQuery(true, "%s", question))
        return 2;
    setMaxtreesValue(n);
    return resizeTreeBufferForMaxtrees(n) != 0 ? 1 : 0;
}

bool treesBlockRooted() { return !treeGen.unrooted; }

int genAllTrees(GenRun &run)
{
    DataInfo *data = run.data;
    const uint32_t ntax = static_cast<uint32_t>(std::max<int32_t>(data->nActive, 0));
    const bool rooted = run.fromTreesBlock ? treesBlockRooted() : treeGen.rooted != 0;
    if (checkMinTaxa(rooted ? 2 : 3, "Generation of ", rooted ? "rooted trees" : "unrooted trees") != 0)
        return 1;
    TreeHandle tree(createTreeForTaxa(ntax, ntax, true));
    TreeHandle scratch(createTreeForTaxa(ntax, ntax, false));
    if (!tree || !scratch)
        return 1;
    int conMode = 0;
    if (setConstraintsForTreeGen(tree.get(), data, &conMode) != 0)
        return 1;
    if (conMode == 0) {
        if (ntax + (rooted ? 1 : 0) > 20)
            return qel_errorMsg(765, "There are too many taxa to permit generation of all possible trees.\tConsider "
                                     "deleting taxa or generating random trees."),
                   1;
        const uint32_t n = ntax + (rooted ? 1 : 0);
        const double count = treeGen.nonbinary ? countPossTrees(n) : countBinaryTrees(ntax, rooted);
        if (count > kMaxGeneratedTrees)
            return qel_errorMsg(766, "The maximum possible number of %s trees for %d taxa (=%.16g) exceeds the limit "
                                     "on the number of trees (=%d) that can be stored in this version of VORN.",
                                rootedWord(rooted), static_cast<int>(ntax), count,
                                static_cast<int>(kMaxGeneratedTrees)),
                   1;
        const auto want = static_cast<uint32_t>(count);
        if (want > getMaxtreesValue()) {
            char question[256];
            std::snprintf(question, sizeof question,
                          "OK to reset 'Maxtrees' to %u (number of possible %s trees for %d taxa) ?", want,
                          rootedWord(rooted), static_cast<int>(ntax));
            if (const int rc = raiseMaxtrees(want, question); rc != 0)
                return rc;
        }
        if (run.progress)
            resetMaxProgressValue(run.progress, want);
    }
    clearTrees(true, false);
    compatibilityWarnings();
    qel_printf("\nGenerating all %s trees", rootedWord(rooted));
    if (conMode != 0)
        printConstraintClause();
    else
        qel_printf(" for %d taxa", static_cast<int>(ntax));
    qel_printf(":\n");
    setTreeSource(kSourceAllPossible);
    TreeBuffer *buf = getMainTreeBuffer(nullptr);
    setRootededness(buf, rooted);
    AllTreesJob job;
    job.tree = tree.get();
    job.scratch = scratch.get();
    job.buf = buf;
    job.progress = run.progress;
    job.ntax = ntax;
    job.rooted = rooted;
    job.nonbinary = treeGen.nonbinary != 0;
    job.conMode = conMode;
    return enumerateAllTrees(job);
}

int genRandomTrees(GenRun &run)
{
    DataInfo *data = run.data;
    const uint32_t ntax = static_cast<uint32_t>(std::max<int32_t>(data->nActive, 0));
    const bool permuting = !run.fromTreesBlock && treeGen.method == kTreeGenPermute;
    TreeBuffer *buf = getMainTreeBuffer(nullptr);
    bool rooted = run.fromTreesBlock ? treesBlockRooted() : treeGen.rooted != 0;
    if (permuting) {
        rooted = areTreesRooted(buf);
    } else if (checkMinTaxa(rooted ? 3 : 4, "Generation of ", rooted ? "rooted trees" : "unrooted trees") != 0) {
        return 1;
    }
    if (run.fromTreesBlock && treeGen.ntrees == 0)
        return qel_errorMsg(767, "You must specify NTrees=n in the \"Random\" command (with n > 0)."), 1;
    if (treeGen.ntrees > getMaxtreesValue()) {
        char question[160];
        std::snprintf(question, sizeof question, "OK to reset 'Maxtrees' to %d (value specified for 'NTrees')?",
                      static_cast<int>(treeGen.ntrees));
        if (const int rc = raiseMaxtrees(treeGen.ntrees, question); rc != 0)
            return rc;
    }
    TreeHandle tree(createTreeForTaxa(ntax, ntax, true));
    TreeHandle scratch(createTreeForTaxa(ntax, ntax, false));
    TreeHandle aux(createTreeForTaxa(ntax, ntax, false));
    if (!tree || !scratch || !aux)
        return 1;
    if (permuting) {
        if (treeGen.treeNum > numTreesInBuffer(buf))
            return qel_errorMsg(0, "Tree %u is not in memory (there %s %u).", treeGen.treeNum,
                                numTreesInBuffer(buf) == 1 ? "is" : "are", numTreesInBuffer(buf)),
                   1;
        if (getTree(buf, treeGen.treeNum, aux.get()) != 0)
            return 1;
    }
    int conMode = 0;
    if (!permuting && setConstraintsForTreeGen(tree.get(), data, &conMode) != 0)
        return 1;
    const bool markovian = !permuting && treeGen.model == 1;
    bool useConstraintTree = false;
    if (markovian && conMode != 0) {
        if (constraintTreeForActiveTaxa(getActiveConstraint(), data, ntax, aux.get()) != 0)
            return 1;
        useConstraintTree = true;
    }
    compatibilityWarnings();
    const RNGSeed seed = seedForRun(treeGen.seed);
    RNG rng;
    initRNG(&rng, seed);
    const uint32_t ntrees = treeGen.ntrees;
    qel_printf("\nGenerating %d (%s) random %s", static_cast<int>(ntrees), rootedWord(rooted),
               ntrees == 1 ? "tree" : "trees");
    if (permuting) {
        qel_printf(" by permuting tip labels on current tree %d\n", static_cast<int>(treeGen.treeNum));
    } else {
        if (conMode != 0)
            printConstraintClause();
        qel_printf(":\n  Model = %s\n", markovian ? "Markovian" : "equiprobable");
    }
    qel_printf("  Starting seed = %s\n", seedString(seed).c_str());
    if (treeGen.nonbinary)
        qel_printf("\n  Note: \"nonbinary\" option is ignored unless generating all possible trees.\n\n");
    clearTrees(true, false);
    setTreeSource(kSourceRandom);
    setRootededness(buf, rooted);
    std::vector<uint32_t> map(ntax);
    for (uint32_t i = 0; i < ntrees; i++) {
        int rc = 0;
        if (permuting) {
            if (copyTree(aux.get(), tree.get()) != 0)
                return 1;
            TreeNode *first = permuteTipLabels(tree.get(), map.data(), ntax, &rng);
            if (!rooted)
                rerootTree(tree.get(), first, true);
            setTraversalSeq(tree.get());
        } else if (markovian) {
            rc = makeRandomYuleTree(tree.get(), useConstraintTree ? aux.get() : nullptr, ntax, rooted, &rng);
        } else {
            rc = makeRandomEqProbTree(tree.get(), ntax, rooted, conMode != 0, &rng);
        }
        if (rc == 2 || (getAbortedStatus() != 0 && confirmAbortRequest())) {
            qel_printf("  Tree generation canceled by user\n");
            return 2;
        }
        if (rc != 0)
            return 1;
        if (storeGeneratedTree(tree.get(), scratch.get(), buf, false) != 0)
            return -1;
        if (run.progress && setProgressValue(run.progress, i + 1) != 0) {
            qel_printf("  Tree generation canceled by user\n");
            return 2;
        }
    }
    return 0;
}

int genTreesThreadProc(void *arg)
{
    auto *run = static_cast<GenRun *>(arg);
    const bool all = run->fromTreesBlock ? run->status == kTreeGenAll : treeGen.method == kTreeGenAll;
    run->status = all ? genAllTrees(*run) : genRandomTrees(*run);
    return 0;
}

// Runs a generator under a progress record; the settings the command changes
// for its own duration are restored by the caller.
int runGenerator(bool fromTreesBlock, bool all, DataInfo *data, ProgData *outer)
{
    GenRun run;
    run.data = data;
    run.fromTreesBlock = fromTreesBlock;
    run.status = all ? kTreeGenAll : kTreeGenRandom;
    ProgData *own = nullptr;
    if (!outer) {
        const char *title = all ? "Generating all trees"
                                : treeGen.method == kTreeGenPermute ? "Generating trees by permuting tip labels"
                                                                    : "Generating random trees";
        own = createProgressWindow(all ? (getActiveConstraint() ? 1 : treeGen.ntrees) : treeGen.ntrees, 0, title);
    }
    run.progress = outer ? outer : own;
    runSecondaryThread(genTreesThreadProc, &run);
    if (own) {
        finishProgress(own);
        destroyProgressWindow(own);
    }
    return run.status;
}

void reportStored(int status)
{
    qel_printf("  %u \btrees stored in tree buffer", numTreesInMainBuffer());
    if (status == 2)
        qel_printf(" (tree generation was aborted by user)");
    else if (status == -1)
        qel_printf(" (tree generation was canceled due to tree buffer becoming full)");
    qel_printf("\n");
    setTreesAreSaved(false);
}

// What one command changes for its own duration.
struct GenSettingsScope {
    Constraint *constraint = getActiveConstraint();
    TreeGenSettings saved = treeGen;
    ~GenSettingsScope()
    {
        setActiveConstraint(constraint);
        treeGen.converse = saved.converse;
        treeGen.treeNum = saved.treeNum;
        treeGen.all = treeGen.random = treeGen.permuteTips = 0;
        treeGen.unlabelled = treeGen.ntax = 0;
        treeGen.unrooted = 0;
    }
};

int treesBlockGenerate(bool all, DataInfo *data, ProgData *progress)
{
    GenSettingsScope scope;
    setActiveConstraint(nullptr);
    treeGen.converse = 0;
    treeGen.unlabelled = treeGen.ntax = 0;
    treeGen.unrooted = 0;
    treeGen.nonbinary = 0;
    const uint32_t savedNtrees = treeGen.ntrees;
    const uint32_t savedModel = treeGen.model;
    if (!all)
        treeGen.ntrees = 0;
    if (getCmdParams(all ? OptionSet::kMakeAllTrees : OptionSet::kMakeRandomTrees, ";", nullptr) <= 0) {
        treeGen.ntrees = savedNtrees;
        treeGen.model = savedModel;
        return 1;
    }
    if (!all && treeGen.model == 2) {
        treeGen.unlabelled = 1;
        treeGen.model = 0;
    }
    const int status = runGenerator(true, all, data, progress);
    treeGen.ntrees = savedNtrees;
    treeGen.model = savedModel;
    if (status == 0 || status == 2 || status == -1)
        reportStored(status);
    return status;
}

}  // namespace

int makeAllTrees(bool fromTreesBlock, DataInfo *data, ProgData *progress)
{
    if (fromTreesBlock)
        return treesBlockGenerate(true, data, progress);
    return runGenerator(false, true, data, progress);
}

int makeRandomTrees(bool fromTreesBlock, ProgData *progress)
{
    if (fromTreesBlock)
        return treesBlockGenerate(false, activeDataInfo(), progress);
    return runGenerator(false, false, activeDataInfo(), progress);
}

int doGenerateTreesCmd()
{
    DataInfo *data = activeDataInfo();
    if (!data)
        return 1;
    if (!verifyReplaceTrees())
        return -1;
    GenSettingsScope scope;
    setActiveConstraint(nullptr);
    treeGen.converse = 0;
    treeGen.treeNum = 1;
    treeGen.all = treeGen.random = treeGen.permuteTips = 0;
    if (getCmdParams(OptionSet::kGenerateTrees, ";", nullptr) <= 0)
        return 1;
    const char *name = runningCommandName();
    const int methods = (treeGen.all ? 1 : 0) + (treeGen.random ? 1 : 0) + (treeGen.permuteTips ? 1 : 0);
    if (methods == 0)
        return qel_errorMsg(759, "You must specify either \"All\", \"Random\" or \"PermuteTips\" on the \"%s\" "
                                 "command.\tChoose the method you want to be used for tree generation.",
                            name),
               1;
    if (methods > 1)
        return qel_errorMsg(760, "Only one of \"All\", \"Random\" or \"PermuteTips\" may be specified on the \"%s\" "
                                 "command.\tChoose which method you want to be used.",
                            name),
               1;
    treeGen.method = treeGen.all ? kTreeGenAll : treeGen.random ? kTreeGenRandom : kTreeGenPermute;
    if (treeGen.random && treeGen.converse && getActiveConstraint())
        return qel_errorMsg(762, "Converse constraints are not permitted with random tree generation.\tYou can only "
                                 "use this option with generation of all possible trees."),
               1;
    if (!treeGen.all && treeGen.ntrees == 0)
        return qel_errorMsg(761, "Number of trees to generate must exceed 0\tYou need to specify a valid value for "
                                 "'NTrees'."),
               1;
    if (treeGen.permuteTips && numTreesInMainBuffer() == 0)
        return qel_errorMsg(0, "There are no trees in memory whose tip labels could be permuted."), 1;
    const int status = runGenerator(false, treeGen.all != 0, data, nullptr);
    if (status == 0 || status == 2 || status == -1)
        reportStored(status);
    return status == -1 ? 0 : status;
}

// ---------------------------------------------------------------------------
// Birth-death trees

void setBirthDeathSplitTimes(RNG *rng, uint32_t ntax, std::vector<double> &times, double lambda, double mu,
                             double rho)
{
    times.clear();
    const double x = mu - lambda;
    const double e = std::exp(x);
    const double c = lambda != mu ? (e * x + rho * lambda * (e - 1.0)) / (e - 1.0) : 0.0;
    for (uint32_t i = 0; i + 2 < ntax; i++) {
        const double u = randUni(rng);
        double y;
        if (lambda != mu)
            y = (std::log(c - rho * u * lambda) - std::log(c - rho * u * lambda - u * x)) / x;
        else
            y = u / ((1.0 - u) * rho * lambda + 1.0);
        // y is the split's time before the present; its age from the root is 1 - y.
        times.push_back(1.0 - y);
    }
    std::sort(times.begin(), times.end());
}

int simulateYuleTree(Tree *tree, uint32_t ntax, bool withSampling, RNG *rng, std::vector<double> &times,
                     double lambda, double mu, double rho, double scale)
{
    if (ntax < 2 || makeRandomYuleTree(tree, nullptr, ntax, true, rng) != 0)
        return 1;
    if (withSampling)
        setBirthDeathSplitTimes(rng, ntax, times, lambda, mu, rho);
    TreeNode *basal = tree->root->firstChild;
    basal->age = 0.0;
    basal->edge.brlen = 0.0;
    std::vector<TreeNode *> lineages = {basal->firstChild, basal->firstChild->nextSib};
    uint32_t alive = 2;
    size_t nextTime = 0;
    double age = 0.0;
    for (;;) {
        std::erase_if(lineages, [](const TreeNode *p) { return p->firstChild == nullptr; });
        if (lineages.empty())
            break;
        const uint32_t j = randomInteger(rng, static_cast<uint32_t>(lineages.size()));
        TreeNode *p = lineages[j];
        lineages[j] = p->firstChild;
        lineages.push_back(p->firstChild->nextSib);
        if (withSampling)
            age = nextTime < times.size() ? times[nextTime++] : age;
        else
            age += randExponential(rng, alive);
        alive++;
        p->age = age;
        p->edge.brlen = age - p->anc->age;
    }
    const double present = withSampling ? 1.0 : age + randUni(rng) * randExponential(rng, alive);
    for (TreeNode *p = basal; p; p = nextPreorderNode(p, basal)) {
        if (!p->firstChild) {
            p->age = present;
            p->edge.brlen = present - p->anc->age;
        }
    }
    // Scaled once every leaf has read its ancestor's unscaled age.
    for (TreeNode *p = basal; p; p = nextPreorderNode(p, basal)) {
        p->edge.brlen = p->edge.brlen / present * scale;
        p->age = p->age / present * scale;
    }
    afterTreeChange(tree);
    setTraversalSeq(tree);
    return 0;
}

int makeBDTrees(uint32_t ntrees, uint32_t ntax, bool withSampling, double lambda, double mu, double rho, RNG *rng)
{
    clearTrees(true, false);
    TreeBuffer *buf = getMainTreeBuffer(nullptr);
    if (!buf)
        return 1;
    setRootededness(buf, true);
    setTreeSource(kSourceRandom);
    setHaveUserBranchLengths(true);
    TreeHandle tree(createTreeForTaxa(ntax, ntax, false));
    TreeHandle scratch(createTreeForTaxa(ntax, ntax, false));
    if (!tree || !scratch)
        return 1;
    std::vector<double> times;
    for (uint32_t i = 0; i < ntrees; i++) {
        if (simulateYuleTree(tree.get(), ntax, withSampling, rng, times, lambda, mu, rho, 1.0) != 0)
            return 1;
        if (copyTree(tree.get(), scratch.get()) != 0)
            return 1;
        setTraversalSeq(scratch.get());
        const uint32_t slot = putTree(scratch.get(), buf, false);
        if (isPutTreeFull(slot) || slot == kPutTreeDuplicate)
            return 1;
        if (storeBranchLengths(buf, scratch.get(), slot - 1, true, 8) != 0)
            return 1;
        if (getAbortedStatus() != 0 && confirmAbortRequest())
            return 2;
    }
    setTreesAreSaved(false);
    return 0;
}

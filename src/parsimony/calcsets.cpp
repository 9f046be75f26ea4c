#include "parsimony/calcsets.h"

#include <algorithm>
#include <vector>

#include "parsimony/dollo_search.h"
#include "parsimony/kernels/uno_kernels.h"
#include "parsimony/pars_fxns.h"
#include "parsimony/pars_init.h"
#include "parsimony/pars_util.h"
#include "parsimony/stateset.h"
#include "parsimony/stmx.h"
#include "parsimony/treelen.h"
#include "qel/qel_threadscratch.h"
#include "trees/treeutil.h"

namespace {

ParsNodeSets *down(const TreeNode *n) { return nodeSets(n->abm[0]); }
ParsNodeSets *up(const TreeNode *n) { return nodeSets(n->abm[1]); }
ParsNodeSets *fin(const TreeNode *n) { return nodeSets(n->abm[2]); }

bool isBinary(const TreeNode *n) { return n->firstChild && n->firstChild->nextSib && !n->firstChild->nextSib->nextSib; }

TreeNode *sibling(const TreeNode *n)
{
    TreeNode *f = n->anc->firstChild;
    return f == n ? n->nextSib : f;
}

double subtreeLen(const TreeNode *n) { return n->firstChild ? down(n)->len : 0.0; }

// The undo log of the calling thread: runs of words an update overwrote
// (where, how many, their old values in `old`) and the subtree lengths it
// changed, oldest first. An update rewrites only the words its flags name,
// so only the run from the first to the last of those is saved. The vectors
// keep their capacity from edit to edit: once grown to the largest edit
// seen, logging does not allocate.
struct SetLog {
    struct Run {
        uint64_t *at;
        uint32_t n;
    };
    bool open = false;
    std::vector<Run> runs;
    std::vector<uint64_t> old;
    std::vector<double *> lenAt;
    std::vector<double> lens;
};
thread_local ThreadScratch<SetLog> gLog;

void logWords(uint64_t *p, uint32_t n)
{
    if (n == 0)
        return;
    gLog->runs.push_back({p, n});
    gLog->old.insert(gLog->old.end(), p, p + n);
}

void logRecord(const DataInfo *d, ParsNodeSets *r)
{
    if (!gLog->open)
        return;
    const PackedData *pd = packedData(d);
    logWords(r->ord, 4 * pd->ordWords);
    logWords(r->uno, 2 * pd->unoWords);
    if (r->stm)
        logWords(reinterpret_cast<uint64_t *>(r->stm), pd->stmStride);
    if (r->dollo)
        logWords(r->dollo, dolRecordWords(d));
}

// The words of `stored` and `final` that rule may rewrite under the flags.
// An unordered word is two lanes; an ordered one two lanes in each of its
// two planes; the cost-vector class has one flag for its whole array.
void logFlagged(const DataInfo *d, SetUpdateFxn rule, const uint64_t *dirty, uint32_t nWords, ParsNodeSets *stored,
                ParsNodeSets *final)
{
    if (rule == stmSetUpdate) {
        if (dirty[0] & 1)
            for (ParsNodeSets *r : {stored, final})
                logWords(reinterpret_cast<uint64_t *>(r->stm), packedData(d)->stmStride);
        return;
    }
    if (rule == dolSetUpdate) {
        if (dirty[0] & 1)
            for (ParsNodeSets *r : {stored, final})
                logWords(r->dollo, dolRecordWords(d));
        return;
    }
    uint32_t lo = nWords, hi = 0;
    for (uint32_t blk = 0; 64 * blk < nWords; blk++) {
        if (const uint64_t bits = dirty[blk]) {
            lo = std::min(lo, 64 * blk + static_cast<uint32_t>(__builtin_ctzll(bits)));
            hi = 64 * blk + 64 - static_cast<uint32_t>(__builtin_clzll(bits));
        }
    }
    if (lo >= hi)
        return;
    const bool ord = rule == wagSetUpdate;
    const uint32_t lanes = 2 * nWords;
    for (ParsNodeSets *r : {stored, final}) {
        uint64_t *w = ord ? r->ord : r->uno;
        logWords(w + 2 * lo, 2 * (hi - lo));
        if (ord)
            logWords(w + lanes + 2 * lo, 2 * (hi - lo));
    }
}

// Runs one update of stored and final, logging what it may overwrite; an
// update that changed nothing leaves no entries.
int loggedUpdate(const DataInfo *d, SetUpdateFxn rule, uint32_t nWords, const ParsNodeSets *c1,
                 const ParsNodeSets *c2, ParsNodeSets *stored, const ParsNodeSets *above, ParsNodeSets *final,
                 uint64_t *dirty)
{
    if (!gLog->open)
        return rule(d, c1, c2, stored, above, final, dirty);
    const size_t runs = gLog->runs.size(), words = gLog->old.size();
    logFlagged(d, rule, dirty, nWords, stored, final);
    const int changed = rule(d, c1, c2, stored, above, final, dirty);
    if (!changed) {
        gLog->runs.resize(runs);
        gLog->old.resize(words);
    }
    return changed;
}

void setLen(ParsNodeSets *r, double len)
{
    if (gLog->open && r->len != len) {
        gLog->lenAt.push_back(&r->len);
        gLog->lens.push_back(r->len);
    }
    r->len = len;
}

void copySets(const DataInfo *d, const ParsNodeSets *from, ParsNodeSets *to)
{
    const PackedData *pd = packedData(d);
    if (from == to)
        return;
    logRecord(d, to);
    std::copy_n(from->ord, 4 * pd->ordWords, to->ord);
    std::copy_n(from->uno, 2 * pd->unoWords, to->uno);
    copyStmSets(d, from, to);
    copyDolSets(d, from, to);
}

// The basal fork sees the root's set from above.
TreeNode *basalFork(const DataInfo *d, Tree *tree)
{
    TreeNode *b = tree->root->firstChild;
    copySets(d, down(tree->root), up(b));
    return b;
}

// Up set of a non-basal node: its ancestor's other neighbours.
void upSet(const DataInfo *d, TreeNode *n, bool count, double *length)
{
    TreeNode *a = n->anc;
    if (isBinary(a))
        revSetBin(d, down(sibling(n)), up(a), count, false, up(n), length);
    else
        revSet(d, a, n, false, false, up(n), nullptr);
}

void finalSet(const DataInfo *d, TreeNode *n)
{
    if (!n->firstChild || isBinary(n))
        revSetBin(d, down(n), up(n), false, false, fin(n), nullptr);
    else
        revSet(d, n, nullptr, false, false, fin(n), nullptr);
}

}  // namespace

void calcPrelimSets(const DataInfo *d, TreeNode *node, bool perChar, double *length)
{
    if (!d->parsFxns && !(parsServices().constraintsActive && parsServices().constraintsActive()))
        return;
    if (isBinary(node))
        revSetBin(d, down(node->firstChild), down(node->firstChild->nextSib), true, perChar, down(node), length);
    else
        revSet(d, node, node->anc, true, perChar, down(node), length);
}

namespace {

// One fork of the down pass: the unordered sets of its two children and its
// own, or (other set) a fork that is not binary, which takes the general
// path in its turn.
struct DownJoin {
    const uint64_t *a, *b;
    uint64_t *r;
    TreeNode *other;
};

// Brings every node record's links and slots toward the cache at once. A
// walk of the tree follows one pointer per node, and the joins between two
// steps evict the records, so each step would wait for memory afresh; the
// records of one tree are one array, so their addresses are known without
// the walk.
void prefetchNodeRecords(const Tree *tree)
{
    const char *from = reinterpret_cast<const char *>(tree->nodes);
    const char *to = reinterpret_cast<const char *>(tree->nodes + tree->maxNodes);
    for (const char *p = from; p < to; p += 64)
        __builtin_prefetch(p);
}

// The first lines of a join's operands and result (of sets of `lanes`
// lanes): the hardware prefetcher takes up a stream only after a few lines
// of it.
void prefetchJoin(const DownJoin &j, uint32_t lanes)
{
    for (uint32_t line = 0; line < 4 && 8 * line < lanes; line++) {
        __builtin_prefetch(j.a + 8 * line);
        __builtin_prefetch(j.b + 8 * line);
        __builtin_prefetch(j.r + 8 * line, 1);
    }
}

// The down pass with the unordered class alone and plain joins
// (plainUnoJoinChain): the forks are listed first, then joined in postorder
// with the next fork's sets on their way to the cache, instead of going
// through the class records node by node. What it computes and the order in
// which lengths are checked are those of calcPrelimSets on each fork.
void plainUnoDownPass(const DataInfo *d, Tree *tree, bool perChar, double *length)
{
    thread_local ThreadScratch<std::vector<DownJoin>> forksScratch;
    std::vector<DownJoin> &forks = *forksScratch;
    forks.clear();
    prefetchNodeRecords(tree);
    for (TreeNode *n = tree->tail; n; n = n->prev) {
        if (!n->firstChild)
            continue;
        if (isBinary(n))
            forks.push_back({down(n->firstChild)->uno, down(n->firstChild->nextSib)->uno, down(n)->uno, nullptr});
        else
            forks.push_back({nullptr, nullptr, nullptr, n});
    }
    const UnoKernels &kern = unoKernels();
    const UnoLanes lanes = unoLanes(packedData(d));
    for (size_t k = 0; k < forks.size(); k++) {
        const DownJoin &j = forks[k];
        if (k + 1 < forks.size() && !forks[k + 1].other)
            prefetchJoin(forks[k + 1], lanes.count);
        if (j.other)
            calcPrelimSets(d, j.other, perChar, length);
        else
            *length += static_cast<double>(kern.join(lanes, j.a, j.b, j.r));
        if (!lengthIsValid(*length))
            return;
    }
}

}  // namespace

void calcAllPrelimSets(const DataInfo *d, Tree *tree, bool perChar, double *length)
{
    checkTraversalSeq(tree);
    if (plainUnoJoinChain(d, perChar)) {
        plainUnoDownPass(d, tree, perChar, length);
        return;
    }
    for (TreeNode *n = tree->tail; n; n = n->prev) {
        if (!n->firstChild)
            continue;
        calcPrelimSets(d, n, perChar, length);
        if (!lengthIsValid(*length))
            return;
    }
}

void calcStatesetsForSearch(Tree *tree, const DataInfo *d, bool withLengths)
{
    checkTraversalSeq(tree);
    double length = 0.0;
    PackedData *pd = packedData(d);
    if (pd->altArrays && parsCriterionActive())
        std::fill(pd->altCounts[0].begin(), pd->altCounts[0].end(), 0u);
    for (TreeNode *n = tree->tail; n; n = n->prev) {
        if (!n->firstChild)
            continue;
        double before = length;
        calcPrelimSets(d, n, false, &length);
        // Subtree lengths are kept in both variants: the incremental
        // updates carry them along to give the length of an edited tree.
        double sub = length - before;
        for (TreeNode *c = n->firstChild; c; c = c->nextSib)
            sub += subtreeLen(c);
        down(n)->len = sub;
    }
    TreeNode *b = basalFork(d, tree);
    if (withLengths) {
        b->edge.dbl1 = frvSpan(d, down(b), up(b));
        length += b->edge.dbl1;
        tree->score[0] = length;
        for (TreeNode *n = b->next; n; n = n->next) {
            upSet(d, n, false, nullptr);
            n->edge.dbl1 = frvSpan(d, down(n), up(n));
            up(n)->len = length - subtreeLen(n) - n->edge.dbl1;
        }
        pd->lastLength = length;
        return;
    }
    revSetBin(d, down(b), up(b), true, false, fin(b), &length);
    tree->score[0] = length;
    pd->lastLength = length;
    for (TreeNode *n = b->next; n; n = n->next) {
        upSet(d, n, false, nullptr);
        finalSet(d, n);
    }
}

void frvGetCutBranchLen(const DataInfo *d, const TreeNode *x, double *out)
{
    *out = 0.0;
    if (altScoring(d)) {
        // A threshold or Goloboff score is not a sum of steps: keep the
        // per-character counts of the two parts instead, for altSpan.
        PackedData *pd = packedData(d);
        pd->altCounts[1] = pd->altCounts[0];
        altSpan(d, down(x), up(x), nullptr);
        updateAltSingleStepCounts(d, pd->altCounts[1].data(), -1);
        return;
    }
    frvAddSpan(d, down(x), up(x), false, out, kNoScore);
}

bool altScoring(const DataInfo *d)
{
    const PackedData *pd = packedData(d);
    return pd && pd->altArrays && parsCriterionActive();
}

double altTreeScore(const DataInfo *d)
{
    // The working counts alone: no steps of a pending join.
    PackedData *pd = packedData(d);
    std::fill(pd->ordStepMask.begin(), pd->ordStepMask.end(), 0);
    std::fill(pd->unoStepMask.begin(), pd->unoStepMask.end(), 0);
    return altParsScoreFromCounts(d, pd->altCounts[0].data());
}

void revMprSet(const DataInfo *d, TreeNode *node) { frvMprSet(d, node); }

// ---------------------------------------------------------------------------
// Incremental updates after a prune or a graft.
//
// Invariants kept on a binary tree rooted at a tip R with basal fork B:
//   down(n) = rule(down(c1), down(c2)) for every fork n;
//   up(B)   = down(R);  up(n) = rule(down(sibling), up(anc)) otherwise;
//   fin(n)  = rule(down(n), up(n)) for every node but R;
//   down(n)->len = the length of n's subtree.
// An edit below a node changes the down sets only on the path from the edit
// to the root, and the up sets only off that path; each walk recomputes the
// flagged words and drops a word (and stops on a branch) as soon as the
// recomputed set equals the stored one, since every set beyond it depends on
// that word alone. Only fin and up records are exchanged between nodes, so
// down records always belong to their node.

namespace {

void swapRecords(StateSetSlot *a, StateSetSlot *b) { std::swap(a->states, b->states); }

uint32_t dirtyWords(uint32_t nWords) { return (nWords + 63) / 64; }

thread_local std::vector<TreeNode *> *tFinalWatch = nullptr;

// The final set of n was recomputed (or may have been).
void noteFinalSet(TreeNode *n)
{
    if (tFinalWatch)
        tFinalWatch->push_back(n);
}

void setAllDirty(uint64_t *dirty, uint32_t nWords)
{
    std::fill_n(dirty, dirtyWords(nWords), 0);
    for (uint32_t w = 0; w < nWords; w++)
        dirty[w >> 6] |= uint64_t{1} << (w & 63);
}

// Up and final sets of node's subtree (node itself when include), for the
// words flagged in dirtyIn, to maxDepth levels below the first nodes
// updated. Each child starts from its parent's surviving flags; a node whose
// up set did not change ends its branch.
void updateStatesetsAbove(const DataInfo *d, TreeNode *node, bool include, const uint64_t *dirtyIn,
                          uint32_t nWords, SetUpdateFxn rule, uint32_t maxDepth)
{
    const uint32_t dw = dirtyWords(nWords);
    thread_local ThreadScratch<std::vector<TreeNode *>> stackScratch;
    thread_local ThreadScratch<std::vector<uint32_t>> depthsScratch;
    thread_local ThreadScratch<std::vector<uint64_t>> bitsScratch, curScratch;
    std::vector<TreeNode *> &stack = *stackScratch;
    std::vector<uint32_t> &depths = *depthsScratch;
    std::vector<uint64_t> &bits = *bitsScratch, &cur = *curScratch;
    stack.clear();
    depths.clear();
    bits.clear();
    cur.resize(dw);
    auto push = [&](TreeNode *n, uint32_t depth, const uint64_t *flags) {
        stack.push_back(n);
        depths.push_back(depth);
        bits.insert(bits.end(), flags, flags + dw);
    };
    if (include) {
        push(node, 0, dirtyIn);
    } else {
        for (TreeNode *c = node->firstChild; c; c = c->nextSib)
            push(c, 0, dirtyIn);
    }
    while (!stack.empty()) {
        TreeNode *m = stack.back();
        const uint32_t depth = depths.back();
        stack.pop_back();
        depths.pop_back();
        std::copy(bits.end() - dw, bits.end(), cur.begin());
        bits.resize(bits.size() - dw);
        if (!loggedUpdate(d, rule, nWords, down(sibling(m)), up(m->anc), up(m), down(m), fin(m), cur.data()))
            continue;
        noteFinalSet(m);
        if (depth >= maxDepth)
            continue;
        for (TreeNode *c = m->firstChild; c; c = c->nextSib)
            push(c, depth + 1, cur.data());
    }
}

// Down and final sets from node toward the root, and the up sets of the
// subtree beside each node whose down set changed, as far as `reach` edges
// from node's lower edge (the first subtree beside the path starts two edges
// away). Returns how many nodes of the path changed.
uint32_t updateStatesetsBelow(const DataInfo *d, TreeNode *node, uint32_t nWords, SetUpdateFxn rule, uint32_t reach)
{
    uint64_t local[8];
    std::vector<uint64_t> heap;
    uint64_t *dirty = local;
    if (dirtyWords(nWords) > 8) {
        heap.resize(dirtyWords(nWords));
        dirty = heap.data();
    }
    setAllDirty(dirty, nWords);
    uint32_t changed = 0;
    for (TreeNode *m = node; m->anc; m = m->anc) {
        TreeNode *c1 = m->firstChild;
        if (!loggedUpdate(d, rule, nWords, down(c1), down(c1->nextSib), down(m), up(m), fin(m), dirty))
            break;
        noteFinalSet(m);
        changed++;
        const uint32_t away = changed + 1;
        if (TreeNode *s = sibling(m); s && reach >= away)
            updateStatesetsAbove(d, s, true, dirty, nWords, rule, reach == kWholeTree ? kWholeTree : reach - away);
    }
    return changed;
}

bool incrementalActive(const DataInfo *d) { return d->parsFxns && parsCriterionActive(); }

// After an edit below `node`, its subtree length and those of its ancestors.
// The first node whose down set did not change is recounted too: the cost of
// joining its children can change with a child's set even when the result
// does not (a cost vector keeps only differences). Above it both children's
// sets are unchanged, so the lengths only shift by the same amount.
void updateSubtreeLengths(const DataInfo *d, TreeNode *node, uint32_t changedNodes)
{
    double shift = 0.0;
    uint32_t k = 0;
    for (TreeNode *m = node; m->anc; m = m->anc, k++) {
        double old = down(m)->len;
        if (k <= changedNodes) {
            TreeNode *c1 = m->firstChild, *c2 = c1->nextSib;
            setLen(down(m), subtreeLen(c1) + subtreeLen(c2) + frvSpan(d, down(c1), down(c2)));
        } else {
            setLen(down(m), old + shift);
        }
        shift = down(m)->len - old;
    }
}

// The basal fork's up set is the root's down set; a lent slot already
// shares it, else it is copied.
void setBasalUpSet(const DataInfo *d, TreeNode *basal)
{
    copySets(d, down(basal->anc), up(basal));
}

}  // namespace

namespace {

void updateAbove(const DataInfo *d, TreeNode *node, bool includeNode, uint32_t maxDepth)
{
    if (!incrementalActive(d))
        return;
    uint64_t *dirty = packedData(d)->dirty.data();
    for (const ParsFxns *f = d->parsFxns; f; f = f->next) {
        if (!f->active)
            continue;
        setAllDirty(dirty, f->nWords);
        updateStatesetsAbove(d, node, includeNode, dirty, f->nWords, f->setUpdate, maxDepth);
    }
}

void updateBelow(const DataInfo *d, TreeNode *node, uint32_t reach)
{
    if (!incrementalActive(d))
        return;
    uint32_t changed = 0;
    for (const ParsFxns *f = d->parsFxns; f; f = f->next)
        if (f->active)
            changed = std::max(changed, updateStatesetsBelow(d, node, f->nWords, f->setUpdate, reach));
    updateSubtreeLengths(d, node, changed);
}

// Depth below the first nodes updated that keeps every node within reach
// edges, when those nodes are `away` edges off.
uint32_t depthWithin(uint32_t reach, uint32_t away)
{
    return reach == kWholeTree ? kWholeTree : reach - away;
}

}  // namespace

void revUpdateAbove(const DataInfo *d, TreeNode *node, bool includeNode, uint32_t reach)
{
    if (reach >= 1)
        updateAbove(d, node, includeNode, depthWithin(reach, 1));
}

void revUpdateBelow(const DataInfo *d, TreeNode *node) { updateBelow(d, node, kWholeTree); }

void revUpdateAfterPrune(const DataInfo *d, TreeNode *a, TreeNode *b, TreeNode *c, uint32_t reach)
{
    if (!incrementalActive(d))
        return;
    PackedData *pd = packedData(d);
    if (pd->altArrays) {
        altSpan(d, down(b), up(b), nullptr);
        updateAltSingleStepCounts(d, pd->altCounts[0].data(), -1);
    }
    TreeNode *g = a->anc;
    // a now sees what the fork saw, and its final set is what b saw.
    swapRecords(b->abm[1], a->abm[2]);
    if (g->anc)
        swapRecords(c->abm[1], a->abm[1]);
    else
        setBasalUpSet(d, a);
    // a's children and a's new sibling lie one edge from a's edge; the
    // subtrees beside the path to the root begin two edges away.
    if (a->firstChild)
        revUpdateAbove(d, a, false, reach);
    if (g->anc) {
        if (TreeNode *s = sibling(a))
            revUpdateAbove(d, s, true, reach);
        updateBelow(d, g, reach);
    }
}

void revUpdateAfterGraft(const DataInfo *d, TreeNode *n, bool subtreeToo)
{
    if (!incrementalActive(d))
        return;
    TreeNode *f = n->anc, *g = f->anc, *s = sibling(n);
    // f takes s's old place (and up set); n sees s and the rest, which is
    // s's old final set.
    if (g->anc)
        swapRecords(f->abm[1], s->abm[1]);
    else
        setBasalUpSet(d, f);
    swapRecords(n->abm[1], s->abm[2]);
    revSetBin(d, down(n), up(f), false, false, up(s), nullptr);
    revSetBin(d, down(s), up(s), false, false, fin(s), nullptr);
    if (s->firstChild)
        revUpdateAbove(d, s, false);
    revSetBin(d, down(s), down(n), false, false, down(f), nullptr);
    down(f)->len = subtreeLen(s) + subtreeLen(n) + frvSpan(d, down(s), down(n));
    revSetBin(d, down(f), up(f), false, false, fin(f), nullptr);
    // The new edge's steps join the alternative counts.
    double unused = 0.0;
    revSetBin(d, down(n), up(n), packedData(d)->altArrays, false, fin(n), &unused);
    noteFinalSet(s);
    noteFinalSet(f);
    noteFinalSet(n);
    if (n->firstChild && subtreeToo)
        revUpdateAbove(d, n, false);
    if (g->anc) {
        if (TreeNode *sf = sibling(f))
            revUpdateAbove(d, sf, true);
        revUpdateBelow(d, g);
    }
}

void revWatchGraftFinalSets(std::vector<TreeNode *> *list) { tFinalWatch = list; }

void revRerootDownSets(const DataInfo *d, TreeNode *n, TreeNode *const *path, uint32_t m)
{
    if (!incrementalActive(d))
        return;
    // The basal fork's edge joins the subtree to the root, and its steps
    // change with the subtree's down set: they leave the alternative counts
    // here and join them again with the final set.
    PackedData *pd = packedData(d);
    if (pd->altArrays && n->anc && !n->anc->anc) {
        altSpan(d, down(n), up(n), nullptr);
        updateAltSingleStepCounts(d, pd->altCounts[0].data(), -1);
    }
    // Only the forks of the path have new children; every other subtree of
    // n is as it was, and so are its down sets.
    for (uint32_t i = m + 1; i-- > 0;) {
        TreeNode *x = i == 0 ? n : path[i - 1];
        TreeNode *c1 = x->firstChild, *c2 = c1->nextSib;
        revSetBin(d, down(c1), down(c2), false, false, down(x), nullptr);
        down(x)->len = subtreeLen(c1) + subtreeLen(c2) + frvSpan(d, down(c1), down(c2));
    }
}

void revRerootUpSets(const DataInfo *d, TreeNode *n, TreeNode *const *path, uint32_t m)
{
    if (!incrementalActive(d))
        return;
    const bool basal = !n->anc->anc;
    double unused = 0.0;
    revSetBin(d, down(n), up(n), basal && packedData(d)->altArrays, false, fin(n), &unused);
    // A fork of the path has a new parent and a new sibling: its sets are
    // recomputed whatever they held. A node beside the path heads a subtree
    // as it was, whose sets agree with its own stored up set, so the usual
    // update stops wherever a recomputed set equals the stored one.
    for (uint32_t i = 0; i <= m; i++) {
        TreeNode *x = i == 0 ? n : path[i - 1];
        TreeNode *next = i < m ? path[i] : nullptr;
        if (next) {
            revSetBin(d, down(sibling(next)), up(x), false, false, up(next), nullptr);
            revSetBin(d, down(next), up(next), false, false, fin(next), nullptr);
        }
        for (TreeNode *c = x->firstChild; c; c = c->nextSib)
            if (c != next)
                updateAbove(d, c, true, kWholeTree);
    }
}

bool revOpenSetLog(const DataInfo *d)
{
    if (!incrementalActive(d) || packedData(d)->altArrays)
        return false;
    for (const ParsFxns *f = d->parsFxns; f; f = f->next)
        if (f->active && f->setUpdate != unoSetUpdate && f->setUpdate != wagSetUpdate && f->setUpdate != stmSetUpdate)
            return false;  // a class whose words logFlagged does not know
    gLog->open = true;
    gLog->runs.clear();
    gLog->old.clear();
    gLog->lenAt.clear();
    gLog->lens.clear();
    return true;
}

void revUndoSetLog()
{
    // Newest first, so that a word logged twice ends with its first value.
    size_t k = gLog->old.size();
    for (size_t i = gLog->runs.size(); i-- > 0;) {
        k -= gLog->runs[i].n;
        std::copy_n(gLog->old.data() + k, gLog->runs[i].n, gLog->runs[i].at);
    }
    for (size_t i = gLog->lenAt.size(); i-- > 0;)
        *gLog->lenAt[i] = gLog->lens[i];
    gLog->open = false;
}

void revRelinkAfterGraft(TreeNode *n)
{
    TreeNode *f = n->anc, *s = sibling(n);
    if (f->anc->anc)
        swapRecords(f->abm[1], s->abm[1]);
    swapRecords(n->abm[1], s->abm[2]);
}

void revCopySets(const DataInfo *d, const ParsNodeSets *from, ParsNodeSets *to) { copySets(d, from, to); }

double revTreeLength(const DataInfo *d, const Tree *tree)
{
    TreeNode *b = tree->root->firstChild;
    return subtreeLen(b) + frvSpan(d, down(b), up(b));
}

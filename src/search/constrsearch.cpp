#include "search/constrsearch.h"

#include <algorithm>
#include <vector>

#include "qel/qel_output.h"
#include "qel/qel_threadscratch.h"
#include "search/ecr.h"
#include "search/hitlist.h"
#include "search/nniswap.h"
#include "search/search.h"
#include "search/search_settings.h"
#include "search/tbr.h"
#include "trees/constr.h"
#include "trees/treeedit.h"

namespace {

// One scratch tree per search thread, sized like the search's trees and
// carrying the tip bits of the active constraint.
// Looking for it makes nothing: every search thread asks, and only the
// thread that prepares the constraints makes one.
class ScratchTree {
public:
    explicit operator bool() const { return get() != nullptr; }
    Tree *get() const
    {
        const TreeHandle *h = held_.ifMade();
        return h ? h->get() : nullptr;
    }
    Tree *operator->() const { return get(); }
    void reset(Tree *tree = nullptr)
    {
        TreeHandle owned(tree);
        if (tree || held_.ifMade())
            *held_ = std::move(owned);
    }

private:
    ThreadScratch<TreeHandle> held_;
};
thread_local ScratchTree gScratch;

TreeNode *same(Tree *to, const Tree *from, const TreeNode *n)
{
    return n ? to->nodes + (n - from->nodes) : nullptr;
}

// The links of `from` onto the scratch tree, node for node.
Tree *scratchCopy(const Tree *from)
{
    Tree *to = gScratch.get();
    for (uint32_t p = 0; p < from->maxNodes; p++) {
        const TreeNode &a = from->nodes[p];
        TreeNode &b = to->nodes[p];
        b.anc = same(to, from, a.anc);
        b.firstChild = same(to, from, a.firstChild);
        b.nextSib = same(to, from, a.nextSib);
    }
    to->root = same(to, from, from->root);
    to->flags = from->flags;
    afterTreeChange(to);
    return to;
}

bool verdict(Tree *candidate)
{
    const int32_t mode = getTopolConstrained();
    return mode == 0 || constraintsSatisfied(candidate, mode < 0);
}

// The constraint records of one cut, for testing its moves without touching
// the tree. With K's subtree cut away (its fork P spliced out), every edge of
// either part has a record of the part on each side of it; a move joins the
// subtree, seen from its edge R, to the rest, seen from the middle of its
// edge T, and the tree it makes satisfies the constraint exactly when those
// two records are compatible. The down records of the whole tree are taken
// once per pass; a cut changes the rest's down records only above P, and
// the up records (of the rest, and of the subtree alone) are made as moves
// ask for them, each once per cut. Only the links around P differ between
// the whole and the cut tree, and those are read from what begin saw, so
// the records can be asked for in either state.
class CutRecords {
public:
    void allocate(uint32_t nodes, uint32_t words)
    {
        nodes_ = nodes;
        const uint32_t w = std::max<uint32_t>(words, 1);
        const size_t count = static_cast<size_t>(kKinds) * nodes + kTemps;
        recs_.assign(count, ConRec{});
        mo_.assign(count * 2 * w, 0);
        v_.assign(count * w, 0);
        for (size_t i = 0; i < count; i++) {
            recs_[i].mo = mo_.data() + i * 2 * w;
            recs_[i].v = v_.data() + i * w;
        }
        down_.assign(nodes, nullptr);
        restDown_.assign(nodes, nullptr);
        restUp_.assign(nodes, nullptr);
        subUp_.assign(nodes, nullptr);
        stamp_.assign(nodes * 3, 0);
        cut_ = 0;
        tree_ = nullptr;
        K_ = nullptr;
    }
    void release()
    {
        recs_.clear();
        mo_.clear();
        v_.clear();
        tree_ = nullptr;
        K_ = nullptr;
    }

    // The down records of the whole tree as it is.
    void beginPass(const Tree *tree)
    {
        tree_ = tree;
        K_ = nullptr;
        joins_ = false;
        order_.clear();
        for (const TreeNode *n = tree->root; n; n = n->next)
            order_.push_back(n);
        for (auto it = order_.rbegin(); it != order_.rend(); ++it) {
            const TreeNode *n = *it;
            const uint32_t p = pos(n);
            if (!n->firstChild || n == tree->root) {
                down_[p] = own(n);
            } else {
                ConRec *r = rec(kDown, p);
                conSetBin(cd(), down_[pos(n->firstChild)], down_[pos(n->firstChild->nextSib)], r);
                down_[p] = r;
            }
        }
    }

    // The cut above K of the tree of the pass, still whole.
    void begin(const TreeNode *K)
    {
        K_ = K;
        joins_ = false;
        newStamp();
        P_ = K->anc;
        rootCase_ = !P_->anc;
        if (rootCase_)
            return;
        S_ = sibling(K);
        G_ = P_->anc;
        U_ = G_ == tree_->root ? nullptr : (G_->firstChild == P_ ? P_->nextSib : G_->firstChild);
        // The rest's down records above P: P gives way to S.
        const TreeNode *below = S_;
        for (const TreeNode *a = G_; a != tree_->root; below = a, a = a->anc) {
            const TreeNode *other = a == G_ ? U_ : sibling(below);
            ConRec *r = rec(kRestDown, pos(a));
            conSetBin(cd(), restDown(below), restDown(other), r);
            restDown_[pos(a)] = r;
            mark(kRestDown, a);
        }
    }

    bool isFor(const Tree *tree, const TreeNode *K) const { return K_ == K && tree_ == tree; }

    // Joins of single taxa to the edges of a whole tree: the tree's own up
    // records take the place of the rest's, each made once.
    void beginJoins(const Tree *tree)
    {
        beginPass(tree);
        newStamp();
        P_ = S_ = G_ = U_ = nullptr;
        rootCase_ = false;
        joins_ = true;
    }
    void endJoins()
    {
        joins_ = false;
        tree_ = nullptr;
    }
    bool isJoinsFor(const Tree *tree) const { return joins_ && tree_ == tree; }
    bool joinAllowed(const TreeNode *edge, int32_t taxon)
    {
        Tree *scratch = gScratch.get();
        conSetBin(cd(), restDown(edge), restUp(edge), temp(1));
        return conCompat(scratch, conRecord(scratch, 0, nodeOfIndex(scratch, taxon)), temp(1));
    }

    bool allowed(const TreeNode *T, const TreeNode *R, bool converse)
    {
        const ConRec *sub = down_[pos(K_)];
        if (R != K_) {
            conSetBin(cd(), down_[pos(R)], subUp(R), temp(0));
            sub = temp(0);
        }
        const ConRec *rest = down_[pos(tree_->root)];
        if (!rootCase_) {
            conSetBin(cd(), restDown(T), restUp(T), temp(1));
            rest = temp(1);
        }
        return conCompat(gScratch.get(), sub, rest) != converse;
    }

private:
    enum Kind : uint32_t { kRestDown, kRestUp, kSubUp, kDown, kKinds };
    static constexpr uint32_t kTemps = 2;

    void newStamp()
    {
        if (++cut_ == 0) {
            std::fill(stamp_.begin(), stamp_.end(), 0);
            cut_ = 1;
        }
    }
    uint32_t pos(const TreeNode *n) const { return static_cast<uint32_t>(n - tree_->nodes); }
    const ConData *cd() const { return gScratch->conData; }
    const ConRec *own(const TreeNode *n) const { return conRecord(gScratch.get(), 0, gScratch->nodes + pos(n)); }
    ConRec *rec(Kind kind, uint32_t p) { return &recs_[static_cast<size_t>(kind) * nodes_ + p]; }
    ConRec *temp(uint32_t i) { return &recs_[static_cast<size_t>(kKinds) * nodes_ + i]; }
    bool marked(Kind kind, const TreeNode *n) const { return stamp_[kind * nodes_ + pos(n)] == cut_; }
    void mark(Kind kind, const TreeNode *n) { stamp_[kind * nodes_ + pos(n)] = cut_; }
    static const TreeNode *sibling(const TreeNode *n)
    {
        const TreeNode *f = n->anc->firstChild;
        return f == n ? n->nextSib : f;
    }

    const ConRec *restDown(const TreeNode *n) const { return marked(kRestDown, n) ? restDown_[pos(n)] : down_[pos(n)]; }

    // Up record of n in the rest: from its parent there (S hangs on G) and
    // its sibling there (S and U are each other's).
    const ConRec *restUp(const TreeNode *n)
    {
        if (marked(kRestUp, n))
            return restUp_[pos(n)];
        const TreeNode *q = n == S_ ? G_ : n->anc;
        const ConRec *r;
        if (q == tree_->root) {
            r = own(q);
        } else {
            const TreeNode *sib = n == S_ ? U_ : n == U_ ? S_ : sibling(n);
            ConRec *out = rec(kRestUp, pos(n));
            conSetBin(cd(), restDown(sib), restUp(q), out);
            r = out;
        }
        restUp_[pos(n)] = r;
        mark(kRestUp, n);
        return r;
    }

    // Up record of n in K's subtree alone: K's children see each other.
    const ConRec *subUp(const TreeNode *n)
    {
        if (marked(kSubUp, n))
            return subUp_[pos(n)];
        const ConRec *r;
        if (n->anc == K_) {
            r = down_[pos(sibling(n))];
        } else {
            ConRec *out = rec(kSubUp, pos(n));
            conSetBin(cd(), down_[pos(sibling(n))], subUp(n->anc), out);
            r = out;
        }
        subUp_[pos(n)] = r;
        mark(kSubUp, n);
        return r;
    }

    const Tree *tree_ = nullptr;
    const TreeNode *K_ = nullptr, *P_ = nullptr, *S_ = nullptr, *G_ = nullptr, *U_ = nullptr;
    bool rootCase_ = false;
    bool joins_ = false;
    uint32_t nodes_ = 0, cut_ = 0;
    std::vector<ConRec> recs_;
    std::vector<ConWord> mo_, v_;
    std::vector<const ConRec *> down_, restDown_, restUp_, subUp_;
    std::vector<uint32_t> stamp_;
    std::vector<const TreeNode *> order_;
};
thread_local ThreadScratch<CutRecords> gCut;

}  // namespace

int prepareSearchConstraints(const DataInfo *data, const Tree *like, bool converse, bool noSwapping, bool quiet,
                             bool njStart)
{
    releaseSearchConstraints();
    gScratch.reset(createTreeForTaxa(like->ntax, like->activeTaxa, false));
    if (!gScratch)
        return 1;
    ConstraintOptionCheck check{};
    check.enforce = true;
    check.converse = converse;
    check.noSwapping = noSwapping;
    check.njStart = njStart;
    check.resampling = gSearchState.replicatedKind == 1 || gSearchState.replicatedKind == -1;
    check.looseness = srch.looseConvex;
    check.rooted = isRootedSearch(data);
    const int rc = initSearchConstraints(gScratch.get(), data, check, quiet);
    if (rc != 0)
        releaseSearchConstraints();
    else
        gCut->allocate(gScratch->maxNodes, gScratch->conData->words);
    return rc;
}

void stopEnforcingReleasedConstraints()
{
    if (!srch.enforce)
        return;
    srch.enforce = 0;
    qel_printf("\nNote: Constraint enforcement has been turned off along with the constraints it applied to.\n");
}

void releaseSearchConstraints()
{
    if (CutRecords *cut = gCut.ifMade())
        cut->release();
    if (gScratch)
        gScratch->conData = destroyConData(gScratch->conData);
    gScratch.reset();
}

bool searchTreeAllowed(const Tree *tree)
{
    if (getTopolConstrained() == 0 || !gScratch)
        return true;
    return verdict(scratchCopy(tree));
}

std::vector<uint8_t> constraintRequiredEdges(const Tree *tree)
{
    if (getTopolConstrained() <= 0 || !gScratch)
        return {};
    return findConstrainedEdges(scratchCopy(tree));
}

namespace {

bool joinVerdict(const Tree *tree, const TreeNode *edge, int32_t taxon)
{
    Tree *t = scratchCopy(tree);
    if (binConnectLeaf(nodeOfIndex(t, taxon), same(t, tree, edge), findFreeNode(t)) != 0)
        return false;
    return verdict(t);
}

}  // namespace

bool leafJoinAllowed(const Tree *tree, const TreeNode *edge, int32_t taxon)
{
    if (getTopolConstrained() <= 0 || !gScratch)
        return true;
    if (gCut->isJoinsFor(tree))
        return gCut->joinAllowed(edge, taxon);
    return joinVerdict(tree, edge, taxon);
}

void beginConstrainedJoins(const Tree *tree)
{
    // The step limit of a convexity partition counts the subsets present,
    // which a partial tree has fewer of than the scratch tree's: those joins
    // keep the whole-tree test.
    if (getTopolConstrained() > 0 && gScratch && activeConstraintType() != kConConvexity)
        gCut->beginJoins(tree);
}

void endConstrainedJoins()
{
    if (gScratch)
        gCut->endJoins();
}

bool finishingJoinAllowed(const Tree *tree, const TreeNode *edge, int32_t taxon)
{
    if (getTopolConstrained() == 0 || !gScratch)
        return true;
    return joinVerdict(tree, edge, taxon);
}

bool nniMoveAllowed(const Tree *tree, const TreeNode *x, const TreeNode *u)
{
    if (getTopolConstrained() == 0 || !gScratch)
        return true;
    Tree *t = scratchCopy(tree);
    exchangeSubtrees(t, same(t, tree, x), same(t, tree, u));
    return verdict(t);
}

bool tbrMoveAllowed(const Tree *tree, const TreeNode *K, const TreeNode *T, const TreeNode *R)
{
    if (getTopolConstrained() == 0 || !gScratch)
        return true;
    Tree *t = scratchCopy(tree);
    // Moving the scratch copy must not change which subtree the search
    // remembers as moved last.
    TreeNode *lastMoved = lastMovedSubtree(tree);
    const int rc = finishRearr_TBR(t, same(t, tree, K), same(t, tree, T), same(t, tree, R), false);
    setLastMovedSubtree(tree, lastMoved);
    return rc == 0 && verdict(t);
}

bool ecrMoveAllowed(const Tree *tree, const RearrObject *hit)
{
    if (getTopolConstrained() == 0 || !gScratch)
        return true;
    Tree *t = scratchCopy(tree);
    RearrObject moved = *hit;
    for (TreeNode *&n : moved.node)
        n = same(t, tree, n);
    moved.ecrFirst = same(t, tree, hit->ecrFirst);
    TreeNode *lastMoved = lastMovedSubtree(tree);
    const int rc = finishRearr_ECR(t, &moved, false);
    setLastMovedSubtree(tree, lastMoved);
    return rc == 0 && verdict(t);
}

void beginConstrainedPass(const Tree *tree)
{
    if (getTopolConstrained() != 0 && gScratch)
        gCut->beginPass(tree);
}

void beginConstrainedCut(const TreeNode *K)
{
    if (getTopolConstrained() != 0 && gScratch)
        gCut->begin(K);
}

bool cutMoveAllowed(const Tree *tree, const TreeNode *K, const TreeNode *T, const TreeNode *R)
{
    const int32_t mode = getTopolConstrained();
    if (mode == 0 || !gScratch)
        return true;
    // Without the records of this cut only a whole tree can be judged.
    if (!gCut->isFor(tree, K))
        return tbrMoveAllowed(tree, K, T, R);
    return gCut->allowed(T, R, mode < 0);
}

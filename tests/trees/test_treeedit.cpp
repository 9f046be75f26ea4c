#include <gtest/gtest.h>

#include <memory>

#include "trees/treeedit.h"
#include "trees/treeutil.h"

namespace {

struct Deleter {
    void operator()(Tree *t) const { destroyTree(t, true); }
};

// The basal fork is lent the root's down slot; pruning a subtree through
// the basal fork must hand the loan to the new basal fork (else the freed
// fork, grafted elsewhere, would write its up set over the root's data),
// and grafting onto the basal edge hands it to the new fork.
TEST(TreeEditLoan, PruneAndGraftMoveTheRootSlotLoan)
{
    std::unique_ptr<Tree, Deleter> t(createTreeForTaxa(5, 5, true));
    ASSERT_NE(t->slots, nullptr);
    initNodes(t.get(), 5);
    TreeNode *tip = t->firstTip, *b = t->nodes + 6, *f = t->nodes + 7;
    // root tip 0 -> b(1, f(2, 3)); taxon 4 unused
    auto link = [](TreeNode *p, TreeNode *x, TreeNode *y) {
        p->firstChild = x;
        x->nextSib = y;
        x->anc = y->anc = p;
    };
    t->root = tip;
    tip->firstChild = b;
    b->anc = tip;
    link(b, tip + 1, f);
    link(f, tip + 2, tip + 3);
    afterTreeChange(t.get());
    StateSetSlot *lent = tip->abm[0];
    t->displacedSlot = b->abm[1];
    b->abm[1] = lent;

    EXPECT_EQ(pruneSubtree(tip + 1, false), b);
    EXPECT_EQ(tip->firstChild, f);
    EXPECT_EQ(f->abm[1], lent);
    EXPECT_NE(b->abm[1], lent);

    // b goes onto the edge above taxon 3, away from the root: no loan there.
    ASSERT_EQ(graftSubtreeToEdge(t.get(), tip + 1, tip + 3, b), 0);
    EXPECT_NE(b->abm[1], lent);
    EXPECT_EQ(f->abm[1], lent);

    // A subtree grafted onto the basal edge: its fork becomes basal.
    TreeNode *away = pruneSubtree(tip + 2, false);
    ASSERT_NE(away, nullptr);
    ASSERT_EQ(graftSubtreeToEdge(t.get(), tip + 2, tip->firstChild, away), 0);
    EXPECT_EQ(tip->firstChild, away);
    EXPECT_EQ(away->abm[1], lent);
    int holders = 0;
    for (uint32_t p = 0; p < t->maxNodes; p++)
        holders += t->nodes[p].abm[1] == lent;
    EXPECT_EQ(holders, 1);
}

}  // namespace

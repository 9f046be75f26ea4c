#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "data/data_services.h"
#include "data/vorn_data.h"
#include "data/vorn_memory.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_io.h"
#include "qel/qel_malloc.h"
#include "trees/treebuf.h"
#include "trees/treebuf_extras.h"
#include "trees/treeedit.h"
#include "trees/treelist.h"
#include "cli/qel_cmdline.h"

namespace {

struct TreeDeleter {
    void operator()(Tree *t) const { destroyTree(t, true); }
};
using TreePtr = std::unique_ptr<Tree, TreeDeleter>;
using BufPtr = TreeBufferHandle;

TreePtr newTree(uint32_t ntax) { return TreePtr(createTreeForTaxa(ntax, ntax, false)); }

// A random tree: taxa joined two (or, with polytomies, sometimes three) at a
// time into forks at shuffled positions; rootTip < 0 hangs it under the
// ancestor node. Sibling order is random too.
void randomTree(Tree *tree, std::mt19937 &rng, int rootTip, bool polytomies)
{
    const uint32_t ntax = tree->ntax;
    initNodes(tree, ntax);
    tree->flags &= ~kTreeRootedAtAnc;
    std::vector<TreeNode *> groups;
    for (uint32_t t = 0; t < ntax; t++)
        if (static_cast<int>(t) != rootTip)
            groups.push_back(tree->firstTip + t);
    std::vector<uint32_t> forks;
    for (uint32_t p = ntax + 1; p <= 2 * ntax; p++)
        forks.push_back(p);
    std::shuffle(forks.begin(), forks.end(), rng);
    size_t nextFork = 0;
    while (groups.size() > 1) {
        size_t k = (polytomies && groups.size() > 2 && rng() % 3 == 0) ? 3 : 2;
        TreeNode *fork = tree->nodes + forks[nextFork++];
        TreeNode *last = nullptr;
        for (size_t i = 0; i < k; i++) {
            size_t j = rng() % groups.size();
            TreeNode *c = groups[j];
            groups.erase(groups.begin() + static_cast<long>(j));
            c->anc = fork;
            (last ? last->nextSib : fork->firstChild) = c;
            last = c;
        }
        groups.push_back(fork);
    }
    TreeNode *root = rootTip < 0 ? tree->nodes : tree->firstTip + rootTip;
    root->firstChild = groups[0];
    groups[0]->anc = root;
    tree->root = root;
    if (rootTip < 0)
        tree->flags |= kTreeRootedAtAnc;
}

// Reference canonical text of a topology held at its root, independent of
// child order and of where the forks sit in the node array.
std::string canon(const TreeNode *n, int *lowest)
{
    if (!n->firstChild) {
        *lowest = n->index;
        return std::to_string(n->index);
    }
    std::vector<std::pair<int, std::string>> kids;
    for (const TreeNode *c = n->firstChild; c; c = c->nextSib) {
        int low = 0;
        std::string s = canon(c, &low);
        kids.emplace_back(low, s);
    }
    std::sort(kids.begin(), kids.end());
    *lowest = kids[0].first;
    std::string out = "(";
    for (size_t i = 0; i < kids.size(); i++)
        out += (i ? "," : "") + kids[i].second;
    return out + ")";
}

std::string canon(const Tree *tree)
{
    int low = 0;
    std::string head = tree->root->index < 0 ? "A" : "T" + std::to_string(tree->root->index);
    return head + canon(tree->root->firstChild, &low);
}

// The links a decoded tree must satisfy: every child's anc is its parent,
// and the preorder list is the link walk from the root.
void expectConsistent(const Tree *tree)
{
    const TreeNode *p = tree->root;
    for (const TreeNode *n = tree->root; n; n = nextPreorderNode(n, tree->root)) {
        ASSERT_EQ(n, p);
        for (const TreeNode *c = n->firstChild; c; c = c->nextSib)
            ASSERT_EQ(c->anc, n);
        if (n->firstChild) {
            ASSERT_EQ(n->index, static_cast<int32_t>(n - tree->nodes) - 1);
        }
        p = n->next;
    }
    EXPECT_EQ(p, nullptr);
}

// Shuffles every sibling list.
void shuffleChildren(Tree *tree, std::mt19937 &rng)
{
    std::vector<TreeNode *> all;
    for (TreeNode *n = tree->root; n; n = nextPreorderNode(n, tree->root))
        all.push_back(n);
    for (TreeNode *n : all) {
        std::vector<TreeNode *> kids;
        for (TreeNode *c = n->firstChild; c; c = c->nextSib)
            kids.push_back(c);
        if (kids.empty())
            continue;
        std::shuffle(kids.begin(), kids.end(), rng);
        n->firstChild = kids[0];
        for (size_t i = 0; i < kids.size(); i++)
            kids[i]->nextSib = i + 1 < kids.size() ? kids[i + 1] : nullptr;
    }
    afterTreeChange(tree);
}

std::vector<uint32_t> gErrors;
int captureError(uint32_t code, const char *, ...)
{
    gErrors.push_back(code);
    return 1;
}
int quietPrint(const char *, ...) { return 0; }

std::string gShown;
int showPrint(const char *format, ...)
{
    char buf[512];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    gShown += buf;
    return n;
}

// A data set of ntax taxa with its main buffer, in non-interactive mode.
class MainBufferTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        savedPrint_ = qel_printf;
        savedError_ = qel_errorMsg;
        qel_printf = quietPrint;
        qel_errorMsg = captureError;
        gErrors.clear();
        savedDefault_ = setDefaultMode(true);
        resetTreeInfo();
        data_ = createDataInfo();
        data_->ntax = kTaxa;
        data_->nActive = kTaxa;
        data_->flags = kHaveTaxa;
        savedData_ = setActiveDataInfo(data_);
    }
    void TearDown() override
    {
        clearTrees(false, false);
        destroyTreeBuffer(data_->mainTreeBuffer);
        data_->mainTreeBuffer = nullptr;
        setActiveDataInfo(savedData_);
        destroyDataInfo(data_);
        setActiveTreeBuffer(nullptr);
        resetTreeInfo();
        setDefaultMode(savedDefault_);
        qel_printf = savedPrint_;
        qel_errorMsg = savedError_;
        clearMemoryErrorStatus();
    }
    TreeBuffer *makeMain(uint32_t maxtrees)
    {
        treeInfo.maxtrees = maxtrees;
        EXPECT_EQ(allocMainTreeBuffer(kTaxa, maxtrees + 1, false), 0);
        return getMainTreeBuffer(nullptr);
    }
    // Stores distinct random trees until count trees are stored.
    void fill(uint32_t count)
    {
        while (numTreesInMainBuffer() < count) {
            randomTree(tree_.get(), rng_, 0, false);
            uint32_t r = putTree(tree_.get(), nullptr, true);
            ASSERT_FALSE(isPutTreeFull(r));
        }
    }

    static constexpr uint32_t kTaxa = 12;
    DataInfo *data_ = nullptr;
    DataInfo *savedData_ = nullptr;
    PrintHook savedPrint_ = nullptr;
    MsgHook savedError_ = nullptr;
    bool savedDefault_ = false;
    TreePtr tree_ = newTree(kTaxa);
    std::mt19937 rng_{11};
};

}  // namespace

// ---------------------------------------------------------------------------
// Encoding

TEST(TreeBufEncoding, RoundTripsRandomTreesAtEveryWidth)
{
    std::mt19937 rng(2024);
    const uint32_t sizes[] = {4, 5, 7, 16, 31, 63, 64, 65, 100, 200, 1000, 2000};
    for (uint32_t ntax : sizes) {
        BufPtr buf(createTreeBuffer(ntax, 8, false, false, false));
        ASSERT_TRUE(buf);
        EXPECT_EQ(buf->bytesPerTree, ntax < 64 ? 4 * ntax + 2 : 8 * ntax + 4);
        TreePtr t = newTree(ntax);
        TreePtr back = newTree(ntax);
        for (int rep = 0; rep < 24; rep++) {
            const int rootTip = rep % 2 ? -1 : static_cast<int>(rng() % ntax);
            const bool poly = rep % 3 == 0;
            randomTree(t.get(), rng, rootTip, poly);
            const std::string before = canon(t.get());
            const bool binary = determineIfTreeIsBinary(t.get()) != 0;
            setNumTreesToZero(buf.get());
            ASSERT_EQ(putTree(t.get(), buf.get(), false), 1u);
            ASSERT_EQ(getTree(buf.get(), 1, back.get()), 0);
            expectConsistent(back.get());
            EXPECT_EQ(canon(back.get()), before) << "ntax " << ntax << " rep " << rep;
            EXPECT_EQ(back->numLeaves, ntax);
            EXPECT_EQ(isTreeBinary(back.get()), binary) << ntax;
            EXPECT_EQ((back->flags & kTreeRootedAtAnc) != 0, rootTip < 0);
            // Canonical: encoding the decoded tree gives the same bytes.
            std::vector<uint8_t> again(buf->bytesPerTree);
            const uint32_t pairs = treeToCompactRep(buf.get(), back.get(), again.data(), nullptr);
            ASSERT_EQ(pairs, numNodesInTree(buf.get(), 0));
            const size_t used = (pairs + 1) * 2 * buf->elemWidth;
            EXPECT_EQ(std::memcmp(again.data(), treeLocation(buf.get(), 0), used), 0);
        }
    }
}

TEST(TreeBufEncoding, HandEncodedRootedTree)
{
    // ((0,1),2) rooted at the ancestor: header (6, 0x80), basal fork 4,
    // fork 3 with sibling 2, tip 0 -> sibling 1, tip 1 closes one group,
    // tip 2 closes the basal fork; trailer (0, 0).
    BufPtr buf(createTreeBuffer(3, 4, false, false, false));
    TreePtr t = newTree(3);
    initNodes(t.get(), 3);
    TreeNode *n = t->nodes;
    TreeNode *a = n + 4, *b = n + 5;
    n[0].firstChild = b;
    b->anc = n;
    b->firstChild = n + 3;  // tip 2 first: the encoder must reorder
    n[3].nextSib = a;
    n[3].anc = a->anc = b;
    a->firstChild = n + 2;
    n[2].nextSib = n + 1;
    n[1].anc = n[2].anc = a;
    t->root = n;
    t->flags |= kTreeRootedAtAnc;
    std::vector<uint8_t> rep(buf->bytesPerTree);
    ASSERT_EQ(treeToCompactRep(buf.get(), t.get(), rep.data(), nullptr), 6u);
    const std::vector<uint8_t> expected = {6, 0x80, 4, 0x80, 3, 2, 0x80, 1, 0x81, 0x81, 0x82, 0x81, 0, 0};
    EXPECT_EQ(std::vector<uint8_t>(rep.begin(), rep.begin() + 14), expected);
}

TEST(TreeBufEncoding, SpecialNodeRoundTripsAndDoesNotSplitDuplicates)
{
    std::mt19937 rng(5);
    BufPtr buf(createTreeBuffer(20, 8, false, false, false));
    TreePtr t = newTree(20);
    TreePtr back = newTree(20);
    randomTree(t.get(), rng, 3, false);
    t->specialNode = t->firstTip + 7;
    ASSERT_EQ(putTree(t.get(), buf.get(), true), 1u);
    ASSERT_EQ(getTree(buf.get(), 1, back.get()), 0);
    ASSERT_NE(back->specialNode, nullptr);
    EXPECT_EQ(back->specialNode->index, 7);
    t->specialNode = nullptr;
    EXPECT_EQ(putTree(t.get(), buf.get(), true), kPutTreeDuplicate);
    EXPECT_EQ(getMatchingTree(buf.get()), 1u);
}

// ---------------------------------------------------------------------------
// Duplicates

TEST(TreeBufDuplicates, SameTopologyInAnyChildOrderIsOneTree)
{
    std::mt19937 rng(99);
    for (uint32_t ntax : {6u, 50u, 120u}) {
        BufPtr buf(createTreeBuffer(ntax, 4, false, false, false));
        TreePtr t = newTree(ntax);
        randomTree(t.get(), rng, -1, true);
        ASSERT_EQ(putTree(t.get(), buf.get(), true), 1u);
        for (int i = 0; i < 20; i++) {
            shuffleChildren(t.get(), rng);
            ASSERT_EQ(putTree(t.get(), buf.get(), true), kPutTreeDuplicate);
            EXPECT_EQ(getMatchingTree(buf.get()), 1u);
        }
        // The same unrooted topology held at another tip is another tree.
        TreePtr u = newTree(ntax);
        randomTree(u.get(), rng, 0, false);
        ASSERT_EQ(putTree(u.get(), buf.get(), true), 2u);
        ASSERT_EQ(rerootTree(u.get(), u->firstTip + 1, false), 0);
        ASSERT_EQ(u->root, u->firstTip + 1);
        EXPECT_EQ(putTree(u.get(), buf.get(), true), 3u);
        ASSERT_EQ(rerootTree(u.get(), u->firstTip, false), 0);
        EXPECT_EQ(putTree(u.get(), buf.get(), true), kPutTreeDuplicate);
        EXPECT_EQ(getMatchingTree(buf.get()), 2u);
    }
}

// Differential: the buffer keeps exactly the distinct topologies that a
// plain set of reference texts counts, over many small random trees.
TEST(TreeBufDuplicates, AgreesWithNaiveReference)
{
    std::mt19937 rng(7);
    for (int rooted = 0; rooted < 2; rooted++) {
        BufPtr buf(createTreeBuffer(6, 2, false, false, false));
        TreePtr t = newTree(6);
        std::set<std::string> seen;
        for (int i = 0; i < 3000; i++) {
            randomTree(t.get(), rng, rooted ? -1 : 0, i % 4 == 0);
            const std::string key = canon(t.get());
            const bool fresh = seen.insert(key).second;
            const uint32_t r = putTree(t.get(), buf.get(), true);
            ASSERT_FALSE(isPutTreeFull(r));
            ASSERT_EQ(r != kPutTreeDuplicate, fresh) << key;
        }
        EXPECT_EQ(numTreesInBuffer(buf.get()), seen.size());
        // 6 taxa, unrooted at a tip: 105 binary trees; with polytomies more.
        EXPECT_GT(seen.size(), 105u);
        for (uint32_t n = 1; n <= buf->numTrees; n++) {
            Set *marks = allocSet(buf->numTrees);
            ASSERT_EQ(getTree(buf.get(), n, t.get()), 0);
            EXPECT_EQ(markMatchingTrees(buf.get(), t.get(), marks), 1u);
            EXPECT_TRUE(isSetMember(marks, n - 1));
            EXPECT_EQ(treeInBuffer(buf.get(), n, buf.get()), 0u) << "a tree must not match itself";
            deallocSet(marks);
        }
    }
}

// ---------------------------------------------------------------------------
// Extras through deletion and compaction

TEST(TreeBufExtras, ExtrasFollowTheirTreesThroughMovesAndCopies)
{
    std::mt19937 rng(3);
    const uint32_t ntax = 30;
    BufPtr buf(createTreeBuffer(ntax, 4, false, false, false));
    TreePtr t = newTree(ntax);
    std::vector<std::string> shapes;
    for (uint32_t i = 0; i < 10; i++) {
        randomTree(t.get(), rng, 0, false);
        for (uint32_t p = 0; p < t->maxNodes; p++)
            t->nodes[p].edge.brlen = 100.0 * i + p;
        uint32_t n = putTree(t.get(), buf.get(), true);
        ASSERT_EQ(n, i + 1);
        ASSERT_EQ(storeBranchLengths(buf.get(), t.get(), i, true, 2), 0);
        ASSERT_EQ(storeTreeWt(buf.get(), i, 1.0 + i), 0);
        const std::string name = i == 4 ? "best" : "PAUP_" + std::to_string(i + 1);
        ASSERT_EQ(storeTreeName(buf.get(), name.c_str(), i), 0);
        shapes.push_back(canon(t.get()));
    }
    finishNames(buf.get());
    EXPECT_EQ(getMaxBranchLenDecimals(buf.get()), 2u);
    // Delete tree 3: trees 4..10 move down one place.
    ASSERT_EQ(moveTrees(buf.get(), 4, 3, 7, true), 0);
    decrementNumTrees(buf.get());
    shapes.erase(shapes.begin() + 2);
    ASSERT_EQ(numTreesInBuffer(buf.get()), 9u);
    TreePtr back = newTree(ntax);
    for (uint32_t n = 1; n <= 9; n++) {
        const uint32_t orig = n < 3 ? n : n + 1;  // the tree's number before the deletion
        ASSERT_EQ(getTree(buf.get(), n, back.get()), 0);
        EXPECT_EQ(canon(back.get()), shapes[n - 1]);
        EXPECT_DOUBLE_EQ(getTreeWtBuf(buf.get())[n - 1], static_cast<double>(orig));
        const std::string name = orig == 5 ? "best" : "PAUP_" + std::to_string(orig);
        EXPECT_EQ(getTreeName(buf.get(), n), name);
        // Lengths come back on the nodes in preorder.
        const double *len = getBranchLensArray(buf.get(), n - 1);
        ASSERT_NE(len, nullptr);
        uint32_t k = 0;
        for (TreeNode *p = back->root; p; p = p->next, k++)
            ASSERT_DOUBLE_EQ(p->edge.brlen, len[k]);
        EXPECT_EQ(static_cast<uint32_t>(len[0]) / 100, orig - 1);
    }
    EXPECT_EQ(getBranchLensArray(buf.get(), 9), nullptr) << "the vacated slot keeps nothing";
    // Still hashed after the move: re-adding old tree 6 (now 5) is a duplicate.
    ASSERT_EQ(getTree(buf.get(), 5, back.get()), 0);
    EXPECT_EQ(putTree(back.get(), buf.get(), true), kPutTreeDuplicate);
    EXPECT_EQ(getMatchingTree(buf.get()), 5u);

    BufPtr copy(cloneTreeBuffer(buf.get(), true));
    ASSERT_TRUE(copy);
    ASSERT_EQ(numTreesInBuffer(copy.get()), 9u);
    for (uint32_t n = 1; n <= 9; n++) {
        EXPECT_EQ(getTreeName(copy.get(), n), getTreeName(buf.get(), n));
        EXPECT_EQ(treeInBuffer(copy.get(), n, buf.get()), n);
        EXPECT_DOUBLE_EQ(copy->weights[n - 1], buf->weights[n - 1]);
    }
}

TEST(TreeBufExtras, NamesWeightsAndSupport)
{
    BufPtr buf(createTreeBuffer(8, 16, false, false, false));
    for (uint32_t s = 0; s < 5; s++)
        ASSERT_EQ(storeTreeName(buf.get(), ("tree" + std::to_string(s + 1)).c_str(), s), 0);
    finishNames(buf.get());
    EXPECT_EQ(buf->names, nullptr);
    EXPECT_EQ(buf->nameNumbers, nullptr);
    EXPECT_EQ(getTreeName(buf.get(), 5), "tree5");
    // A name with a leading zero is kept as it was given.
    ASSERT_EQ(storeTreeName(buf.get(), "tree007", 5), 0);
    ASSERT_EQ(storeTreeName(buf.get(), "tree99999999999", 6), 0);
    EXPECT_EQ(getTreeName(buf.get(), 6), "tree007");
    EXPECT_EQ(getTreeName(buf.get(), 7), "tree99999999999");
    char prefix[kTreeNameSize];
    EXPECT_EQ(treeNameToPrefixAndNum("abc12", prefix), 12);
    EXPECT_STREQ(prefix, "abc");
    EXPECT_EQ(treeNameToPrefixAndNum("abc012", prefix), -1);
    EXPECT_STREQ(prefix, "abc012");
    EXPECT_EQ(treeNameToPrefixAndNum(std::string(200, 'x').c_str(), prefix), -1);

    ASSERT_EQ(storeTreeWt(buf.get(), 2, 1.0), 0);
    EXPECT_TRUE(haveTreeWeights(buf.get()));
    EXPECT_FALSE(haveNonunitTreeWeights(buf.get()));
    ASSERT_EQ(incrementTreeWt(buf.get(), 2, 1.0), 0);
    EXPECT_TRUE(haveNonunitTreeWeights(buf.get()));
    EXPECT_DOUBLE_EQ(buf->weights[2], 2.0);

    std::mt19937 rng(1);
    TreePtr t = newTree(8);
    randomTree(t.get(), rng, -1, false);
    ASSERT_EQ(putTree(t.get(), buf.get(), false), 1u);
    checkTraversalSeq(t.get());
    float v = 1.0f;
    for (TreeNode *p = t->root->firstChild; p; p = p->next)
        p->edge.support = v++;
    ASSERT_EQ(storeSupportValues(t.get(), buf.get()), 0);
    TreePtr back = newTree(8);
    ASSERT_EQ(getTree(buf.get(), 1, back.get()), 0);
    v = 1.0f;
    for (TreeNode *p = back->root->firstChild; p; p = p->next)
        EXPECT_EQ(p->edge.support, v++);
}

// ---------------------------------------------------------------------------
// Allocation failure

TEST(TreeBufFailure, FailedGrowthLeavesTheBufferIntact)
{
    std::mt19937 rng(8);
    const uint32_t ntax = 40;  // 16-bit elements, 324-byte slots, 64 per block
    BufPtr buf(createTreeBuffer(ntax, 1, true, true, true));
    ASSERT_TRUE(buf);
    TreePtr t = newTree(ntax);
    std::vector<std::string> shapes;
    while (buf->numTrees < buf->capacity) {
        randomTree(t.get(), rng, 0, false);
        uint32_t n = putTree(t.get(), buf.get(), true);
        ASSERT_FALSE(isPutTreeFull(n));
        if (n) {
            shapes.push_back(canon(t.get()));
            storeTreeWt(buf.get(), n - 1, n);
        }
    }
    const uint32_t capacity = buf->capacity;
    // Fail each allocation of the growth in turn.
    bool grew = false;
    for (int64_t countdown = 0; countdown < 40 && !grew; countdown++) {
        randomTree(t.get(), rng, 0, false);
        qel_setAllocFailureCountdown(countdown);
        PrintHook saved = qel_printf;
        qel_printf = quietPrint;
        const uint32_t count = buf->numTrees;
        uint32_t r = putTree(t.get(), buf.get(), true);
        qel_printf = saved;
        qel_setAllocFailureCountdown(-1);
        clearMemoryErrorStatus();
        if (r == kPutTreeDuplicate)
            continue;
        if (isPutTreeFull(r)) {
            EXPECT_EQ(buf->capacity, capacity);
            EXPECT_EQ(buf->numTrees, count);
        } else {
            grew = true;
            shapes.push_back(canon(t.get()));
            storeTreeWt(buf.get(), r - 1, r);
        }
    }
    EXPECT_TRUE(grew);
    EXPECT_GT(buf->capacity, capacity);
    TreePtr back = newTree(ntax);
    ASSERT_EQ(buf->numTrees, shapes.size());
    for (uint32_t n = 1; n <= buf->numTrees; n++) {
        ASSERT_EQ(getTree(buf.get(), n, back.get()), 0);
        EXPECT_EQ(canon(back.get()), shapes[n - 1]);
        EXPECT_DOUBLE_EQ(buf->weights[n - 1], n);
        EXPECT_EQ(treeInBuffer(buf.get(), n, buf.get()), 0u);
    }
}

// ---------------------------------------------------------------------------
// Maxtrees on the main buffer

TEST_F(MainBufferTest, LeaveUnchangedRefusesWithoutFixing)
{
    makeMain(5);
    treeInfo.increase = static_cast<uint32_t>(MaxtreesAction::kLeave);
    fill(5);
    randomTree(tree_.get(), rng_, 0, false);
    // A search skips the store's work when putTree refuses every tree, so
    // the two must agree: not here, where the refusal depends on the tree.
    EXPECT_FALSE(putTreeRefusesAll(nullptr));
    EXPECT_EQ(putTree(tree_.get(), nullptr, true), kPutTreeNoRoom);
    EXPECT_FALSE(isMaxtreesFixed());
    EXPECT_EQ(numTreesInMainBuffer(), 5u);
    setMaxtreesFixed(true);
    EXPECT_TRUE(putTreeRefusesAll(nullptr));
    EXPECT_EQ(putTree(tree_.get(), nullptr, true), kPutTreeAtMaxtrees);
    EXPECT_TRUE(isTreeBufferAtMaxtrees(nullptr));
    // Only the main buffer has the limit.
    BufPtr other(createTreeBuffer(kTaxa, 5, false, false, false));
    EXPECT_FALSE(putTreeRefusesAll(other.get()));
}

TEST_F(MainBufferTest, AutomaticIncrease)
{
    makeMain(5);
    treeInfo.increase = static_cast<uint32_t>(MaxtreesAction::kAuto);
    treeInfo.autoInc = 0;  // counts as 100
    fill(6);
    EXPECT_EQ(getMaxtreesValue(), 105u);
    EXPECT_GE(getTreeBufferCapacity(nullptr), 106u);
    TreePtr back = newTree(kTaxa);
    EXPECT_EQ(getTree(nullptr, 6, back.get()), 0);
}

TEST_F(MainBufferTest, PromptAnsweredByDefault)
{
    makeMain(3);
    treeInfo.autoInc = 7;
    fill(4);
    EXPECT_EQ(getMaxtreesValue(), 10u);
    EXPECT_EQ(treeInfo.increase, static_cast<uint32_t>(MaxtreesAction::kPrompt));
}

// Quitting asks only about unsaved results of an analysis.
TEST_F(MainBufferTest, UnsavedTreesAskOnlyForAnalysisResults)
{
    std::string &shown = gShown;
    shown.clear();
    qel_printf = showPrint;
    const char *question = "Unsaved trees: quit anyway?";
    makeMain(5);
    EXPECT_TRUE(checkUnsavedTrees(true, question));  // no trees
    fill(2);
    setTreeSource(1);  // a heuristic search
    setTreesAreSaved(false);
    EXPECT_TRUE(checkUnsavedTrees(false, question));  // warning off
    EXPECT_EQ(shown, "");
    EXPECT_TRUE(checkUnsavedTrees(true, question));  // asked; the default is yes
    EXPECT_NE(shown.find(question), std::string::npos) << shown;
    shown.clear();
    for (uint32_t renewable : {0u, 6u, 7u, 8u}) {
        setTreeSource(renewable);
        EXPECT_TRUE(checkUnsavedTrees(true, question));
    }
    setTreeSource(1);
    setTreesAreSaved(true);
    EXPECT_TRUE(checkUnsavedTrees(true, question));
    EXPECT_EQ(shown, "");
}

TEST_F(MainBufferTest, MaxtreesLimitsAndLowering)
{
    makeMain(10);
    fill(6);
    EXPECT_EQ(checkMaxtrees(2147483647u, 1), 1);
    EXPECT_EQ(gErrors.back(), 733u);
    EXPECT_EQ(checkMaxtrees(kMaxtreesCeiling, 1), 0);
    // Lowering below the stored count: refused under a filter, asked otherwise
    // (the default answer is no).
    treeSets[kFilterTreeSet] = allocSet(6);
    EXPECT_EQ(checkMaxtrees(4, 1), 1);
    EXPECT_EQ(gErrors.back(), 784u);
    deleteTreeSets(true);
    EXPECT_EQ(checkMaxtrees(4, 1), kMaxtreesKept);
    // Keeping the trees leaves Maxtrees as it was, and the command succeeds.
    treeInfo.maxtrees = 4;
    EXPECT_EQ(handleMaxtreesChg(10u), 0);
    EXPECT_EQ(getMaxtreesValue(), 10u);
    ASSERT_EQ(resizeTreeBufferForMaxtrees(4), 0);
    EXPECT_EQ(numTreesInMainBuffer(), 4u);
    EXPECT_EQ(getTreeBufferCapacity(nullptr) >= 5u, true);
    // The surviving trees are still found as duplicates.
    TreePtr back = newTree(kTaxa);
    ASSERT_EQ(getTree(nullptr, 4, back.get()), 0);
    treeInfo.increase = static_cast<uint32_t>(MaxtreesAction::kLeave);
    EXPECT_EQ(putTree(back.get(), nullptr, true), kPutTreeDuplicate);
}

TEST_F(MainBufferTest, ClearTreesEmptiesBufferAndExtras)
{
    TreeBuffer *buf = makeMain(10);
    fill(3);
    storeTreeName(buf, "alpha", 0);
    storeTreeWt(buf, 1, 3.0);
    allocBranchLens(buf, -1, 3);
    treeInfo.userBrlens = 1;
    clearTrees(false, false);
    EXPECT_EQ(numTreesInMainBuffer(), 0u);
    EXPECT_EQ(buf->names, nullptr);
    EXPECT_EQ(buf->weights, nullptr);
    EXPECT_EQ(buf->brlens, nullptr);
    EXPECT_FALSE(haveTreeNames(buf));
    EXPECT_FALSE(haveUserBranchLengths());
    // A cleared buffer takes the same trees again.
    std::mt19937 again(11);
    randomTree(tree_.get(), again, 0, false);
    EXPECT_EQ(putTree(tree_.get(), nullptr, true), 1u);
}

// ---------------------------------------------------------------------------
// Tree lists

TEST_F(MainBufferTest, TreeListsResolve)
{
    TreeBuffer *buf = makeMain(20);
    fill(12);
    for (uint32_t slot = 0; slot < 12; slot++)
        storeTreeName(buf, slot == 6 ? "best" : ("tree" + std::to_string(slot + 1)).c_str(), slot);
    finishNames(buf);
    InputStatus doc{};
    std::string text;
    auto parse = [&](const std::string &input, Set *set, bool single = false) {
        text = input;
        initDocumentInput(&doc, text.data(), text.size());
        setActiveInput(&doc);
        gErrors.clear();
        return getTreeList(set, false, single);
    };
    auto members = [](Set *s) {
        std::vector<uint32_t> m;
        for (uint32_t i = 0; i < s->capacity; i++)
            if (isSetMember(s, i))
                m.push_back(i + 1);
        return m;
    };
    Set *set = allocSet(12);
    EXPECT_EQ(parse(".;", set), 0);
    EXPECT_EQ(members(set), std::vector<uint32_t>{12});
    EXPECT_EQ(parse("3-.;", set), 0);
    EXPECT_EQ(members(set), (std::vector<uint32_t>{3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
    EXPECT_EQ(parse("all\\5;", set), 0);
    EXPECT_EQ(members(set), (std::vector<uint32_t>{1, 6, 11}));
    EXPECT_EQ(parse("BEST 2;", set), 0);
    EXPECT_EQ(members(set), (std::vector<uint32_t>{2, 7}));
    const std::vector<uint32_t> kept = members(set);
    EXPECT_EQ(parse("5-3;", set), 1);
    EXPECT_EQ(gErrors, std::vector<uint32_t>{703});
    EXPECT_EQ(parse("1 13;", set), 1);
    EXPECT_EQ(gErrors, std::vector<uint32_t>{702});
    EXPECT_EQ(members(set), kept) << "an error restores the set";
    EXPECT_EQ(parse("0;", set), 1);
    EXPECT_EQ(parse("remainder;", set), 1);
    EXPECT_EQ(gErrors, std::vector<uint32_t>{434});
    EXPECT_EQ(parse("2 5;", set, true), 0);
    EXPECT_EQ(members(set), std::vector<uint32_t>{2});
    EXPECT_EQ(parse("(2 5) ;", set, true), 0);
    EXPECT_EQ(members(set), (std::vector<uint32_t>{2, 5}));
    EXPECT_EQ(parse(";", set), 0);
    EXPECT_EQ(members(set), (std::vector<uint32_t>{2, 5})) << "an empty list keeps the default";
    // Where a list is optional, its first word decides: ".", a number, "all",
    // an opener or a stored tree's whole name start a list; any other word is
    // left unread for the option parser.
    auto optional = [&](const std::string &input) {
        text = input;
        initDocumentInput(&doc, text.data(), text.size());
        setActiveInput(&doc);
        gErrors.clear();
        return getTreeList(set, true, false);
    };
    EXPECT_EQ(optional("BEST;"), 0);
    EXPECT_EQ(members(set), std::vector<uint32_t>{7});
    EXPECT_EQ(optional(".;"), 0);
    EXPECT_EQ(members(set), std::vector<uint32_t>{12});
    EXPECT_EQ(optional("3-.;"), 0);
    EXPECT_EQ(members(set), (std::vector<uint32_t>{3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
    EXPECT_EQ(optional("(tree2 best) ci;"), 0);
    EXPECT_EQ(members(set), (std::vector<uint32_t>{2, 7}));
    for (const char *option : {"ci;", "bestish;", "apolist;", "Best2;"}) {
        EXPECT_EQ(optional(option), 0) << option;
        EXPECT_EQ(members(set), (std::vector<uint32_t>{2, 7})) << option;
        char next[32];
        ASSERT_GE(readToken(next, sizeof next), 0);
        EXPECT_EQ(std::string(next) + ";", option) << "the option word stays unread";
        EXPECT_TRUE(gErrors.empty()) << option;
    }
    // A filter hiding trees 2..4.
    treeSets[kFilterTreeSet] = allocSet(12);
    fillSet(treeSets[kFilterTreeSet], 12);
    for (uint32_t s = 1; s <= 3; s++)
        removeSetMember(treeSets[kFilterTreeSet], s);
    EXPECT_EQ(parse("1-5;", set), 0);
    EXPECT_EQ(members(set), (std::vector<uint32_t>{1, 5}));
    EXPECT_EQ(parse("2-4;", set), 1);
    EXPECT_EQ(gErrors, std::vector<uint32_t>{745});
    Set *dflt = nullptr;
    ASSERT_EQ(makeTreeListSetWithinRange(&dflt, 2, 6), 0);
    EXPECT_EQ(members(dflt), (std::vector<uint32_t>{5, 6}));
    deallocSet(dflt);
    deallocSet(set);
    setActiveInput(nullptr);
}

// The largest data set the reader takes still fits the 16-bit encoding; one
// taxon more is refused with its message.
TEST(TreeBufEncoding, LargestTaxonCountRoundTrips)
{
    constexpr uint32_t kMost = 16384;
    std::mt19937 rng(16384);
    BufPtr buf(createTreeBuffer(kMost, 4, false, false, false));
    ASSERT_TRUE(buf);
    TreePtr t = newTree(kMost);
    TreePtr back = newTree(kMost);
    for (int rootTip : {-1, 0, static_cast<int>(kMost - 1)}) {
        for (bool poly : {false, true}) {
            randomTree(t.get(), rng, rootTip, poly);
            const std::string before = canon(t.get());
            setNumTreesToZero(buf.get());
            ASSERT_EQ(putTree(t.get(), buf.get(), true), 1u) << rootTip;
            ASSERT_EQ(getTree(buf.get(), 1, back.get()), 0);
            EXPECT_EQ(canon(back.get()), before) << rootTip << poly;
            EXPECT_EQ(back->numLeaves, kMost);
        }
    }
    const PrintHook savedPrint = qel_printf;
    const MsgHook savedError = qel_errorMsg;
    qel_printf = quietPrint;
    qel_errorMsg = captureError;
    gErrors.clear();
    EXPECT_EQ(createTreeBuffer(kMost + 1, 4, false, false, false), nullptr);
    qel_printf = savedPrint;
    qel_errorMsg = savedError;
    EXPECT_EQ(gErrors, std::vector<uint32_t>{302});
}

// A large Maxtrees commits nothing until trees arrive, and the buffer never
// takes more slots than Maxtrees allows.
TEST_F(MainBufferTest, SlotsAreAddedAsTreesArrive)
{
    TreeBuffer *buf = makeMain(200000);
    const uint32_t block = buf->treesPerBlock;
    EXPECT_LE(getTreeBufferCapacity(nullptr), block);
    fill(1);
    EXPECT_LE(getTreeBufferCapacity(nullptr), block);
    fill(3 * block);
    EXPECT_GT(getTreeBufferCapacity(nullptr), 3 * block);
    EXPECT_LE(getTreeBufferCapacity(nullptr), 8 * block);
    // Raising Maxtrees adds no slots either.
    treeInfo.maxtrees = 400000;
    const uint32_t before = getTreeBufferCapacity(nullptr);
    EXPECT_EQ(handleMaxtreesChg(200000u), 0);
    EXPECT_EQ(getTreeBufferCapacity(nullptr), before);
    // Every stored tree is still there and still found as a duplicate.
    TreePtr back = newTree(kTaxa);
    ASSERT_EQ(getTree(nullptr, 2, back.get()), 0);
    EXPECT_EQ(putTree(back.get(), nullptr, true), kPutTreeDuplicate);
    EXPECT_EQ(getMatchingTree(nullptr), 2u);

    // Near the limit growth stops at Maxtrees + 1 slots (rounded to a block).
    clearTrees(false, false);
    destroyTreeBuffer(data_->mainTreeBuffer);
    data_->mainTreeBuffer = nullptr;
    buf = makeMain(block + block / 2);
    treeInfo.increase = static_cast<uint32_t>(MaxtreesAction::kLeave);
    fill(block + block / 2);
    EXPECT_EQ(getTreeBufferCapacity(nullptr), 2 * block);
    randomTree(tree_.get(), rng_, 0, false);
    EXPECT_TRUE(isPutTreeFull(putTree(tree_.get(), nullptr, true)));
}

// Maxtrees above the ceiling is error 733, with or without a data set.
TEST_F(MainBufferTest, CeilingRefusedWithoutTrees)
{
    treeInfo.maxtrees = 2147483647u;
    EXPECT_EQ(handleMaxtreesChg(100u), 1);
    EXPECT_EQ(getMaxtreesValue(), 100u);
    ASSERT_FALSE(gErrors.empty());
    EXPECT_EQ(gErrors.back(), 733u);
}

// Taxa allocated for a record that is not active get a main buffer of their
// own; the active record keeps its buffer and its trees.
TEST_F(MainBufferTest, TaxaOfAnInactiveRecordLeaveTheActiveBufferAlone)
{
    const TreeDataHooks savedHooks = treeDataHooks();
    ASSERT_EQ(installTreeHooks(), 0);
    treeInfo.maxtrees = 100;
    TreeBuffer *active = makeMain(100);
    fill(3);
    DataInfo *other = createDataInfo();
    ASSERT_EQ(allocTaxaMemory(other, kTaxa), 0);
    EXPECT_EQ(activeDataInfo(), data_);
    EXPECT_EQ(getMainTreeBuffer(nullptr), active);
    EXPECT_EQ(numTreesInMainBuffer(), 3u);
    ASSERT_NE(other->mainTreeBuffer, nullptr);
    EXPECT_NE(other->mainTreeBuffer, active);
    destroyDataInfo(other);
    setActiveTreeBuffer(active);
    setTreeDataHooks(&savedHooks);
    resetDataServices();
}

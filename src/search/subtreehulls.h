// Subtree hulls for stepwise addition on thousands of taxa: per node a set
// that holds the final set of every edge of the node's subtree (its own
// edge included), so that the cost of joining a taxon to any of those edges
// is bounded below by the cost of joining it to the hull. A subtree whose
// bound already reaches the best join found is passed over whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "trees/treeutil.h"

struct FastSpanScorer;

class SubtreeHulls {
public:
    // Rows for the nodes of t, in the packed layout of sp's classes.
    void reset(const FastSpanScorer &sp, const Tree *t);
    // Every hull and subtree size from the final sets, tight; preorder lists
    // every node of the tree but the root, in preorder.
    void rebuild(const std::vector<TreeNode *> &preorder);
    // After leaf joined the tree with a new fork, and the graft's update
    // recomputed the final sets of `changed`: hulls are widened to hold the
    // new sets (never narrowed: a hull may hold more than its subtree's sets
    // until the next rebuild, which keeps the bound a bound).
    void afterJoin(TreeNode *leaf, const std::vector<TreeNode *> &changed);

    // The hull's ordered and unordered words, as a node record's.
    const uint64_t *ord(const TreeNode *n) const { return row(n); }
    const uint64_t *uno(const TreeNode *n) const { return row(n) + ordWords_; }
    // Nodes in n's subtree, n included: in preorder the subtree is the run
    // of that many nodes from n.
    uint32_t size(const TreeNode *n) const { return size_[index(n)]; }

private:
    size_t index(const TreeNode *n) const { return static_cast<size_t>(n - nodes_); }
    const uint64_t *row(const TreeNode *n) const { return words_.data() + rowOf_[index(n)] * stride_; }
    uint64_t *row(const TreeNode *n) { return words_.data() + rowOf_[index(n)] * stride_; }
    void copyFinal(const TreeNode *n);
    // Widens the hull of n to hold the set (ord, uno); true when it grew.
    bool widen(const TreeNode *n, const uint64_t *ord, const uint64_t *uno);
    // Widens n's hull and its ancestors' by (ord, uno), up to the first that
    // already held it.
    void widenUpward(const TreeNode *n, const uint64_t *ord, const uint64_t *uno);

    const TreeNode *nodes_ = nullptr;
    uint32_t ordLanes_ = 0, unoLanes_ = 0;
    size_t ordWords_ = 0, stride_ = 0;
    std::vector<uint64_t> words_;
    std::vector<uint32_t> size_;
    // Rows are given out in preorder by each rebuild, and to joined nodes
    // after it, so that the rows of a subtree mostly lie together.
    std::vector<size_t> rowOf_;
    size_t rowsUsed_ = 0;
};

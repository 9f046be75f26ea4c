// Small trees written as text for the tree and parsimony tests.
#pragma once

#include <algorithm>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "trees/treeutil.h"

struct TreeDeleter {
    void operator()(Tree *t) const { destroyTree(t, true); }
};
using TreePtr = std::unique_ptr<Tree, TreeDeleter>;

// Builds a tree from nested groups of 0-based taxa such as "((0,1),(2,3),4)";
// ":x" after a taxon or group gives its branch length. rootTip < 0 hangs the
// top group under the ancestor node, else under that tip. Internal nodes take
// the positions after the tips in reading order. The traversal is left stale.
inline void buildTestTree(Tree *tree, const std::string &text, int rootTip)
{
    initNodes(tree, tree->ntax);
    uint32_t nextFork = tree->ntax + 1;
    size_t pos = 0;
    std::function<TreeNode *()> group = [&]() -> TreeNode * {
        TreeNode *n;
        if (text[pos] == '(') {
            pos++;
            n = tree->nodes + nextFork++;
            TreeNode *last = nullptr;
            for (;;) {
                TreeNode *c = group();
                c->anc = n;
                (last ? last->nextSib : n->firstChild) = c;
                last = c;
                if (text[pos++] == ')')
                    break;
            }
        } else {
            size_t used = 0;
            n = tree->firstTip + std::stoi(text.substr(pos), &used);
            pos += used;
        }
        if (text[pos] == ':') {
            size_t used = 0;
            n->edge.brlen = std::stod(text.substr(pos + 1), &used);
            pos += used + 1;
        }
        return n;
    };
    TreeNode *top = group();
    TreeNode *root = rootTip < 0 ? tree->nodes : tree->firstTip + rootTip;
    root->firstChild = top;
    top->anc = root;
    tree->root = root;
    if (rootTip < 0)
        tree->flags |= kTreeRootedAtAnc;
}

// A random tree text: taxa joined two or three at a time (polytomies when
// allowed) until one group is left; rootTip is kept out of it.
inline std::string randomTreeText(std::mt19937 &rng, uint32_t ntax, int rootTip, bool polytomies)
{
    std::vector<std::string> groups;
    for (uint32_t t = 0; t < ntax; t++)
        if (static_cast<int>(t) != rootTip)
            groups.push_back(std::to_string(t));
    std::shuffle(groups.begin(), groups.end(), rng);
    while (groups.size() > 1) {
        size_t k = (polytomies && groups.size() > 2 && rng() % 3 == 0) ? 3 : 2;
        std::string merged = "(";
        for (size_t i = 0; i < k; i++) {
            size_t j = rng() % groups.size();
            merged += (i ? "," : "") + groups[j];
            groups.erase(groups.begin() + static_cast<long>(j));
        }
        groups.push_back(merged + ")");
    }
    return groups[0];
}

// Random inputs shared by the parsimony and search benchmarks.
#pragma once

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "data/vorn_data.h"
#include "data/vorn_memory.h"
#include "trees/treeutil.h"

// An empty DNA matrix of ntax taxa and nchar sites, ready for setXijRaw.
inline DataInfo *createDnaMatrix(uint32_t ntax, uint32_t nchar)
{
    DataInfo *d = createDataInfo();
    std::strcpy(d->symbols, "ACGT");
    d->nchar = nchar;
    allocTaxaMemory(d, ntax);
    initCharInfo(d);
    initializeRawData(d, 0);
    d->flags |= kHaveTaxa | kHaveCharacters;
    return d;
}

// A random binary tree rooted at taxon 0: random pairs of groups are joined
// until one is left.
inline Tree *randomBinaryTree(uint32_t ntax, std::mt19937 &rng)
{
    Tree *tree = createTreeForTaxa(ntax, ntax, true);
    initNodes(tree, ntax);
    std::vector<TreeNode *> groups;
    for (uint32_t t = 1; t < ntax; t++)
        groups.push_back(tree->firstTip + t);
    uint32_t next = ntax + 1;
    while (groups.size() > 1) {
        std::shuffle(groups.begin(), groups.end(), rng);
        TreeNode *a = groups.back();
        groups.pop_back();
        TreeNode *b = groups.back();
        groups.pop_back();
        TreeNode *f = tree->nodes + next++;
        f->firstChild = a;
        a->nextSib = b;
        a->anc = b->anc = f;
        groups.push_back(f);
    }
    tree->root = tree->firstTip;
    tree->root->firstChild = groups[0];
    groups[0]->anc = tree->root;
    afterTreeChange(tree);
    return tree;
}

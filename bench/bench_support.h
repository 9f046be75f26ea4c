// Random inputs shared by the parsimony and search benchmarks.
#pragma once

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "data/vorn_data.h"
#include "data/vorn_memory.h"
#include "parsimony/packx.h"
#include "parsimony/pars_init.h"
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

// States evolved down a random tree (each edge redraws a site with
// probability percent/100, 8 by default), so that the matrix has a tree in it.
inline void simulateOnTree(DataInfo *d, Tree *model, std::mt19937 &rng, uint32_t ntax, uint32_t nchar,
                           uint32_t percent = 8)
{
    setTraversalSeq(model);
    std::vector<uint8_t> state(size_t{model->maxNodes} * nchar);
    for (TreeNode *n = model->root; n; n = n->next)
        for (uint32_t c = 0; c < nchar; c++) {
            uint8_t s = n->anc ? state[nodePosition(model, n->anc) * nchar + c] : static_cast<uint8_t>(rng() % 4);
            if (n->anc && rng() % 100 < percent)
                s = static_cast<uint8_t>(rng() % 4);
            state[nodePosition(model, n) * nchar + c] = s;
        }
    for (uint32_t t = 0; t < ntax; t++)
        for (uint32_t c = 0; c < nchar; c++)
            setXijRaw(d, t, c, state[nodePosition(model, model->firstTip + t) * nchar + c]);
}

// A DNA matrix simulated on a random tree, made the active data set and
// prepared for parsimony.
inline DataInfo *simulatedDnaMatrix(uint32_t ntax, uint32_t nchar, std::mt19937 &rng)
{
    DataInfo *d = createDnaMatrix(ntax, nchar);
    Tree *model = randomBinaryTree(ntax, rng);
    simulateOnTree(d, model, rng, ntax, nchar);
    destroyTree(model, true);
    setActiveDataInfo(d);
    resetParsSettings();
    prepareParsimonyData(d);
    return d;
}

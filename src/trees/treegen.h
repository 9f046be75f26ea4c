// Tree generation: every possible tree for the taxa (binary, or with any
// degree of resolution), random trees under the equiprobable or the Markovian
// (Yule) model, and copies of a tree with permuted tip labels, optionally
// held to (or, for all trees, away from) the active topological constraint.
//
// Working trees are over the nondeleted taxa numbered 0..ntax-1. Unrooted
// trees are held rooted at taxon 0; rooted ones at the ancestor node.
#pragma once

#include <cstdint>
#include <vector>

#include "qel/qel_random.h"
#include "trees/treeutil.h"

struct DataInfo;
struct ProgData;
struct TreeBuffer;

// Number of unrooted labelled trees of n taxa with any degree of resolution
// (4 for 4 taxa, 26 for 5); a double since it outgrows every integer type.
double countPossTrees(uint32_t n);
// Number of binary trees: (2n-5)!! unrooted, (2n-3)!! rooted.
double countBinaryTrees(uint32_t n, bool rooted);

// The start of every generator: rooted, taxa 0 and 1 below the ancestor
// (returns 2); unrooted, taxa 1 and 2 on a fork below the root tip 0
// (returns 3). 0 when the tree cannot hold ntax taxa.
uint32_t makeInitial3Tree(bool rooted, Tree *tree, uint32_t ntax);

// Stores a copy of tree (its canonical form is taken on the copy, so the
// working tree keeps its shape) in buf. 0 stored, -1 the buffer cannot take
// it. checkDuplicates off is for generators whose trees are all distinct.
int storeGeneratedTree(Tree *tree, Tree *scratch, TreeBuffer *buf, bool checkDuplicates);

// Every tree for ntax taxa into buf, in the order of insertion of the taxa
// 2.. (rooted) or 3.. (unrooted) into the edges visited in preorder from the
// root's child: the edge above a node, then (nonbinary) the node itself, then
// its subtrees. conMode +1 keeps the trees that satisfy tree's constraint
// data, -1 those that violate it (tested on complete trees only), 0 all.
// progress may be null. Status 0, 2 aborted, -1 buffer full.
struct AllTreesJob {
    Tree *tree = nullptr;     // working tree, ntax taxa (with conData under a constraint)
    Tree *scratch = nullptr;  // same size, receives the copies that are stored
    TreeBuffer *buf = nullptr;
    ProgData *progress = nullptr;
    uint32_t ntax = 0;
    bool rooted = false;
    bool nonbinary = false;
    int conMode = 0;
    uint64_t stored = 0;  // out: trees stored
};
int enumerateAllTrees(AllTreesJob &job);

// One equiprobable random binary tree: every labelled binary tree equally
// likely. Under tree->conData (conMode +1) a placement that breaks the
// constraint is drawn again. 0 done, 2 aborted by the user.
int makeRandomEqProbTree(Tree *tree, uint32_t ntax, bool rooted, bool constrained, RNG *rng);
// One random tree of the Markovian (Yule) model: each split falls on a
// uniformly chosen tip of the growing rooted tree, labels assigned at random.
// With constraintTree (a rooted tree of the constraint's groups) its
// polytomies are resolved at random instead. 0 done, 1 error.
int makeRandomYuleTree(Tree *tree, const Tree *constraintTree, uint32_t ntax, bool rooted, RNG *rng);
// Gives the tips a random permutation of the taxa (taxonMap, ntax entries,
// receives old tip -> new taxon); returns the node that now holds taxon 0.
TreeNode *permuteTipLabels(Tree *tree, uint32_t *taxonMap, uint32_t ntax, RNG *rng);

// Commands
int doGenerateTreesCmd();
// The "all" and "random" commands of TREES blocks (the option sets are read
// first). 0 done, 1 error, 2 aborted or declined, -1 buffer full.
int makeAllTrees(bool fromTreesBlock, DataInfo *data, ProgData *progress);
int makeRandomTrees(bool fromTreesBlock, ProgData *progress);

// ---------------------------------------------------------------------------
// Clock-like trees of a birth-death process

// The n - 2 non-root split times of a birth-death process with sampling
// (birth rate lambda, death rate mu, sampling fraction rho) on a tree of
// height 1, as ages measured from the root, ascending.
void setBirthDeathSplitTimes(RNG *rng, uint32_t ntax, std::vector<double> &times, double lambda, double mu,
                             double rho);
// One rooted tree with branch lengths, height `scale`: a random Markovian
// topology whose splits are timed by the pure-birth process, or with
// sampling by the split times above. 0 done, 1 error.
int simulateYuleTree(Tree *tree, uint32_t ntax, bool withSampling, RNG *rng, std::vector<double> &times,
                     double lambda, double mu, double rho, double scale);
// ntrees such trees replace the trees in memory. 0 done, 1 error, 2 aborted.
int makeBDTrees(uint32_t ntrees, uint32_t ntax, bool withSampling, double lambda, double mu, double rho, RNG *rng);

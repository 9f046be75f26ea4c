// Agglomerative trees from a distance matrix: neighbor joining, its BioNJ
// variant and UPGMA. The work record is made once per command (or once per
// caller that wants quick trees) and reused by every tree built with it, so
// no join allocates.
#pragma once

#include <cstdint>
#include <vector>

#include "qel/qel_random.h"

struct DataInfo;
struct ProgData;
struct Set;
struct Tree;
struct TreeNode;
struct ConRec;

inline constexpr uint32_t kClustNJ = 3;
inline constexpr uint32_t kClustUPGMA = 4;

struct ClustData {
    uint32_t method = kClustNJ;  // kClustNJ or kClustUPGMA
    DataInfo *data = nullptr;
    Tree *tree = nullptr;        // the result tree; not owned
    ProgData *progress = nullptr;  // set by the caller; null: no progress
    // Row sums by position (NJ and BioNJ).
    std::vector<double> R;
    // Position p holds the cluster whose matrix row and column is index[p];
    // positions stay in increasing order of their matrix index, so for
    // positions p < q the distance is rows[index[q]][index[p]].
    std::vector<uint32_t> index;
    // A half matrix (row a holds d(a, b) for b < a) or, for BioNJ, a full
    // one whose upper triangle holds the variances.
    std::vector<double> matrix;
    std::vector<double *> rows;
    // Per position: the subtree of the cluster, and for UPGMA its size and
    // height.
    std::vector<TreeNode *> nodes;
    std::vector<uint32_t> sizes;
    std::vector<double> heights;
    uint32_t ntax = 0;
    bool ties = false;       // some join met more than one best pair
    bool bioNJ = false;      // the matrix is laid out for BioNJ
    bool resampling = false; // a bootstrap or jackknife replicate: no progress, no lengths
    bool replicateLengths = false;  // ... unless its tree is written with them
    RNG tieRng{};            // the random tie-breaker, when ties are broken at random
    // Joins that would break the active topological constraint are skipped
    // (NJ only). The constraint records mirror the clusters of a tree rooted
    // at the first taxon's tip, as stored unrooted trees are: the clusters
    // without that taxon hang from a hub still to be resolved (conNodes by
    // position; position 0 is the first taxon's cluster), and conUp sums up
    // the rest of the tree above the hub.
    bool constrained = false;
    Tree *conTree = nullptr;  // owned; holds the records
    std::vector<TreeNode *> conNodes;
    const ConRec *conUp = nullptr;
    TreeNode *conNext = nullptr;  // next free internal node of conTree
    // Per 128-bit word, over the hub's clusters: their M bits and their
    // missing O bits counted up to three (levels >= 1, >= 2, >= 3), and
    // their V bits; then room for one fold.
    std::vector<unsigned __int128> conFold;
};

// Allocates for ntax taxa (with the work matrix when withMatrix is set; a
// full matrix when bioNJ is set). Null when out of memory.
ClustData *createClustData(DataInfo *data, Tree *tree, bool isUPGMA, uint32_t ntax, bool withMatrix, bool bioNJ);
ClustData *destroyClustData(ClustData *cd);

// Loads the work matrix from a half distance matrix over m taxa (m at most
// the record's ntax), in the order of `taxa` when given (entries are the
// rows of `half` to use); the BioNJ variances start equal to the distances.
void loadClustMatrix(ClustData *cd, const double *const *half, uint32_t m, const uint32_t *taxa);

// The agglomerations on the loaded matrix, building the record's tree (tips
// are taxa 0 .. m-1 of the matrix as loaded, or the entries of `taxa`). rng
// is null for systematic tie-breaking. 0, or 2 when the user stopped it.
int njCluster(ClustData *cd, bool bioNJ, RNG *rng);
int upgma(ClustData *cd, uint32_t m, const uint32_t *taxa, RNG *rng);

// The tree-building entries of other analyses and of the NJ and UPGMA
// commands: the matrix is the one the distance methods use, or with
// useCriterion the one for the current optimality criterion. The commands'
// trees are stored in the main tree buffer with their lengths; a starting
// tree (useCriterion) stays in the work tree only. 0, 1 on failure, 2 when
// stopped.
int makeNJTree(ClustData *cd, bool useCriterion, bool bioNJ);
int makeUPGMATree(ClustData *cd, const Set *taxonSubset, bool useCriterion);
// The command's choice: UPGMA or NJ/BioNJ by the options.
int cluster(ClustData *cd);

// Whether joining positions i < j (of r clusters) still leaves the clusters
// resolvable into a tree that satisfies the active constraint. A few word
// operations per 128 groups, whatever r is.
bool njConstraintsOK(ClustData *cd, uint32_t r, uint32_t i, uint32_t j);

// Null unless ties are broken at random; then the generator seeded from
// the tie seed.
RNG *setTieBreakRNG(RNG *state, const uint32_t seed[4], bool random);

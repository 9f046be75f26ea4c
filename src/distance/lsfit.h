// Least-squares and minimum-evolution scores of a tree against a distance
// matrix: the fitted branch lengths (unweighted in O(n^2) from subtree sums,
// weighted through the normal equations), the nonnegative fits by active
// sets, the balanced minimum-evolution length, and the fit statistics %SD and
// g%SD printed beside least-squares scores.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct DataInfo;
struct Tree;
struct TreeNode;

// The seven normalisers of the fit statistics, in this order.
enum LSNormaliser : uint32_t { kNormN1 = 0, kNormN2, kNormMeanD, kNormGeoD, kNormMeanW, kNormGeoW, kNormPairs };

// The tree being scored seen as an unrooted tree hanging from one of its
// leaves (the working root, position 0 of the leaf order): internal nodes of
// degree two are merged away, so every working edge may stand for a chain of
// the tree's edges, the last of which receives the fitted length.
struct LSWorkTree {
    uint32_t nNodes = 0;                   // working node 0 is the root leaf
    std::vector<int32_t> parent;           // -1 for the root
    std::vector<int32_t> firstChild, nextSib;
    std::vector<int32_t> taxon;            // -1 for internal nodes
    std::vector<uint32_t> lo, hi;          // leaf-order range below the node
    std::vector<uint32_t> postorder;       // children before parents, root excluded
    std::vector<uint32_t> chainStart;      // edge chain of node w: chain[chainStart[w] .. chainStart[w+1])
    std::vector<TreeNode *> chain;
    std::vector<TreeNode *> deadEdges;     // edges leading to no taxon: length 0
    bool binary = true;
    // Construction scratch over the tree's node positions.
    std::vector<uint32_t> adjStart, adj, order, stack;
    std::vector<TreeNode *> adjEdge, parentEdge;
    std::vector<int32_t> dfsParent, wid;
    std::vector<uint8_t> useful, usefulChildren, seen;
};

struct LSData {
    double **distances = nullptr;          // borrowed half matrix
    double **weights = nullptr;            // half matrix; borrowed under user weights
    std::vector<double> weightStore;
    std::vector<double *> weightRows;
    std::vector<double> AtWd;              // by branch (working node - 1)
    std::vector<double> brLen;             // the solution by branch
    std::vector<double> savedBrLen;        // active-set interpolation point
    std::vector<double> AtWA;              // branches x branches, row-major
    std::vector<double *> AtWARows;
    std::vector<double> Atd;               // by working node: A'd (A'Wd when weighted)
    std::vector<double> cholDiag;
    std::vector<uint32_t> leafOrder;       // taxa: the root leaf, then the leaves in preorder
    std::vector<uint32_t> freeList;        // free branches of the active-set fits
    std::vector<uint8_t> active;           // branch held at 0 (contracted)
    std::vector<uint8_t> blocked;          // active branch not to be freed for now
    double normalisers[7] = {1, 1, 0, 0, 1, 1, 0};
    Tree *tree = nullptr;
    double sumWd2 = 0.0;                   // over all pairs
    uint32_t nLeaves = 0, nBranches = 0, ntax = 0, npairs = 0;
    bool weighted = false, bme = false, residualShortcut = false, nonnegative = false, partial = false;
    bool ownWeights = false, withMatrices = false;

    // Work storage of one score, grown once and reused.
    LSWorkTree wt;
    std::vector<double> fullD, fullW;      // taxon-order square copies, read row by row
    std::vector<double> ww;                // BME: leaf-order path weights
    std::vector<uint32_t> identity;        // 0, 1, 2, ...: the leaf order of ww
    std::vector<double> nodeL;             // summed fitted lengths below a node
    std::vector<double> inSum, outSum;     // fitted path sums (multipliers of contracted edges)
    std::vector<double> cholWork;          // reduced-system factor of the weighted active sets
    std::vector<double> rhsWork, solWork;
    std::vector<uint32_t> scratch, nbIds;
    std::vector<double> dep, logWt;
    std::vector<double> rowSum, between;   // pair sums of the unweighted A'd
    double sumTreeD2 = 0.0;                // sum d^2 over the tree's leaf pairs
    const struct DMatrix *matrix = nullptr;  // the matrix the distances belong to
};

extern LSData *gLSData;

// Fit statistics of one tree.
struct APSDs {
    double psd = 0.0, gpsd = 0.0;  // %SD, g%SD; negative when not computable
    double meanD = 0.0, geoD = 0.0, meanW = 0.0, geoW = 0.0;
    double iblp = 0.0;              // internal-branch-length proportion
    int32_t k = 0;
};

LSData *createLSData(double **distances, Tree *tree, uint32_t ntax, bool forceUnweighted);
LSData *destroyLSData(LSData *ls);
// 0, or 1 after an error report (user weights).
int prepLS(LSData *ls, bool internal);

// Makes the chosen matrix ready and, with a slot, a new LSData in it.
int setDistances(uint32_t matrixChoice, bool computeIfNeeded, LSData **lsSlot, DataInfo *d);

// The score of the tree (null ls: gLSData), its branch lengths set by the
// fit; 1e37 when there is no score (no distances, an abort).
double calcDistanceFitForTree(LSData *ls, Tree *tree, bool keepBMEWeights, double bound);
// The score of the fit held in ls (branchLengths by branch, or null for the
// current solution).
double calcDScore(LSData *ls, const double *branchLengths, bool useShortcut);
double lsqScore(LSData *ls, bool useShortcut);
// Unconstrained OLS lengths of the tree into ls; the number of negative ones.
uint32_t olsFitUnconstr(LSData *ls, Tree *tree, bool initialise);
// The fitted length of a tree edge as the fit left it (0 for merged edges).
void copyBrLensToTree(LSData *ls);

// The weight of a pair under the current settings (0 for d <= 0).
double lsPairWeight(const LSData *ls, uint32_t i, uint32_t j);
// Recomputes the weights and normalisers (after a change of power).
void computeLSWeights(LSData *ls);
void computeNormalisers(LSData *ls, bool treeLeavesOnly);

APSDs calcAPSDs(LSData *ls, double score);
// "%s (%%SD=..., g%%SD=...[k=..])"; "-" in place of statistics that cannot
// be computed.
void makeLeastSquaresScoreStr(LSData *ls, char *buffer, size_t size, double score);
// g%SD under power weights P, or exponential weights P', for the tree.
double calcGeomPSDstd(LSData *ls, double P);
double calcGeomPSDexp(LSData *ls, double Pexp);
// The description of the distance objective.
const char *distObjFxnStr(char *buffer, size_t size);

// Search entry: the fit of the current distances with no kept weights.
double hsCalcDistanceFitForTree(Tree *tree, double bound);

// Path lengths between the leaves of the last tree fitted (negative lengths
// under the current rule), as an N x N matrix in leaf order.
void calcExpectedDistances(LSData *ls, std::vector<double> &out);

// Prints the note on the obsolete DSet options when any of them was given
// (their holders are -1 otherwise).
void checkObsoleteDistOptions();

// Fits the tree (null context: gLSData) and contracts its internal edges of
// length zero, to within 1e-10 (negative lengths as the current rule counts
// them).
void collapseZeroLengthEdges(Tree *tree);

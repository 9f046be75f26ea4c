// Consensus trees: strict, semistrict and majority-rule consensus (with
// compatible minority groups, LE50) made from the splits of many trees, the
// Adams consensus made by the adams unit, consensus indices, the ConTree
// command, and the split selection that the resampling and tree-summary
// commands reuse.
#pragma once

#include <cstdint>
#include <vector>

#include "trees/splits.h"
#include "trees/treeutil.h"

struct DataInfo;
struct TreeBuffer;

// The number of a kind is also the special-tree kind the finished tree is
// kept under.
enum ConsensusKind : uint32_t {
    kConStrict = 1,
    kConSemistrict = 2,
    kConMajRule = 3,
    kConAdams = 4,
    kConPuzzle = 11,
    kConSumTrees = 13,
};

bool consensusHasEdgeValues(uint32_t kind);

// A working tree with extras, marked rooted when the trees in memory are.
Tree *createConsensusTree();

// Gathers the splits of the trees (1-based numbers of buf) into a new table
// in *tableOut. Weights are summed for kinds 3, 11 and 13 when asked and the
// buffer has weights other than 1; *totalOut is their sum, else the number
// of trees. 0, 1 (memory, missing taxa, rooting), 2 (user abort).
int majRuleConsensus(uint32_t kind, bool useTreeWts, TreeBuffer *buf, const std::vector<uint32_t> &trees,
                     DataInfo *data, Tree *work, SplitsTable **tableOut, double *totalOut);
// Selects the consensus splits of a table into list (support percentages in
// table->support, in selection order; the frequency order in table->order).
// 0, 1 (memory), 2 (user abort).
int selectConsensusSplits(SplitsTable *table, uint32_t kind, bool LE50, uint32_t percent, SplitsList *list,
                          double total);
// Builds the consensus tree of the selected splits into tree and keeps it as
// the special tree of its kind. Unrooted trees are held at the basal fork,
// or at the first taxon when the outgroup is to root them for output
// (which rootForOutput then does).
int finishContree(Tree *tree, uint32_t kind, const float *support, const SplitsList *list, DataInfo *data,
                  bool rooted);
int rootConsensusForOutput(Tree *tree, DataInfo *data);

// Adams consensus of the listed trees: the taxon sets of its groups (the set
// of all taxa left out). 0, 1 (memory or rooting failure), 2 (abort).
int adamsConsensus(DataInfo *data, TreeBuffer *buf, const std::vector<uint32_t> &trees, Tree *work,
                   SplitsList *out);

// The consensus indices of a tree as ConTree prints them. A value whose
// divisor is 0 is NaN (printed "n/a").
struct ConsensusIndices {
    uint32_t components;
    double componentNorm;
    // Sums over the components grow as n^2 and n^3 (the Schuh-Farris sum of
    // a caterpillar of n taxa is C(n - 1, 3)): 64 bits hold them.
    uint64_t npTerm;
    uint64_t npTotal;
    double mickevich;
    double colless;
    uint64_t schuhFarris;
    double schuhFarrisNorm;
    double rohlfCI1;
    double rohlfLnCI2;  // -ln CI(2)
};
// tree: rooted at the ancestor node, or unrooted held at a tip or internal
// node; n the number of taxa on it.
ConsensusIndices computeConsensusIndices(Tree *tree, uint32_t n);
void showConsensusIndices(const ConsensusIndices &ci);

int doContreeCmd();

// The matrices DescribeTrees prints beside its tables: the reconstructed
// states or MPR sets of a tree's nodes, the taxon-by-taxon patristic and
// homoplasy matrices, and the file of reconstructed ancestral states.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

struct DataInfo;
struct Tree;
struct TreeNode;

enum class ReconMatrix : uint32_t {
    Terminal = 1,  // the observed cells of the taxa
    Internal = 2,  // the reconstructed states of the internal nodes
    Both = 3,      // taxa, then internal nodes
    MprSets = 4,   // the MPR sets of the internal nodes
};
// The states of internal nodes come from `internalStates` when it is given
// (a likelihood reconstruction: state bits, negative for none), else from
// the parsimony reconstruction. 0, or 2 when the user aborted.
int showReconMatrix(Tree *tree, const DataInfo *d, ReconMatrix mode,
                    const std::function<int64_t(const TreeNode *, uint32_t)> &internalStates = {});

enum class Triangles : uint32_t { Lower, Upper, Both };
// A taxon-by-taxon table of an ntax x ntax row-major matrix (row i, column j
// below the diagonal when i > j) over the taxa on the tree, in blocks of
// columns that fit the output width. An upper table is laid out like a lower
// one and reads the transposed cells. With both triangles the cells above
// the diagonal use `decimals` and those below the parsimony length decimals.
void showPairwiseTaxaMatrix(const std::vector<double> &m, const Tree *tree, const DataInfo *d, Triangles tri,
                            const char *lowerCaption, const char *upperCaption, const char *title, int width,
                            int decimals);

// Writes the tree's reconstruction (the MPR sets with showAmbigs, or the
// states of a likelihood reconstruction given as for showReconMatrix) to the
// active auxiliary output; 0, or 1 when the file could not be written.
int saveReconToFile(Tree *tree, const DataInfo *d, uint32_t treeNumber,
                    const std::function<int64_t(const TreeNode *, uint32_t)> &internalStates = {});

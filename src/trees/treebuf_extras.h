// What a tree buffer keeps beside each stored tree (name, weight, branch
// lengths; one set of support values per buffer), the Newick writer that
// works on the encoding, the no-trees check of the tree commands, ClearTrees
// and the store of special trees some analyses keep beside the buffer.
//
// Slots are 0-based, tree numbers 1-based; a null buffer is the active one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "trees/treebuf.h"

inline constexpr double kMissingBrlen = -1234567.0;
inline constexpr size_t kTreeNameSize = 128;

// Names
int storeTreeName(TreeBuffer *buf, const char *name, uint32_t slot);
void finishNames(TreeBuffer *buf);
std::string getTreeName(TreeBuffer *buf, uint32_t n);
const char *getStoredTreeName(TreeBuffer *buf, uint32_t n);  // explicit name or null
uint32_t longestStoredTreeName(TreeBuffer *buf, Set *list, uint32_t count);
char *makeTreeName(uint32_t n, uint32_t width, char *buffer, size_t size);
void outputTreeNumAndName(uint32_t n);
// Number of a name's trailing digits, -1 when it has none (or they start
// with 0 or exceed i32); prefixOut (kTreeNameSize bytes) receives the rest.
int32_t treeNameToPrefixAndNum(const char *name, char *prefixOut);
void setTreenamePrefix(TreeBuffer *buf, const char *prefix, bool onlyIfEmpty);
void disposeTreeNames(TreeBuffer *buf);
bool haveTreeNames(const TreeBuffer *buf);

// Weights, scores, branch lengths, support values
int storeTreeWt(TreeBuffer *buf, uint32_t slot, double w);
int incrementTreeWt(TreeBuffer *buf, uint32_t slot, double w);
bool haveTreeWeights(const TreeBuffer *buf);
bool haveNonunitTreeWeights(const TreeBuffer *buf);
double *getTreeWtBuf(TreeBuffer *buf);
double *getTreeScoreArray(TreeBuffer *buf);
// Installs an array of at least capacity doubles (owned by the buffer from
// then on); the previous array is freed.
void setTreeScoreArray(TreeBuffer *buf, double *scores);
// slot -1: arrays for the first count slots (count 0: only the slot table).
int allocBranchLens(TreeBuffer *buf, int32_t slot, uint32_t count);
int storeBranchLengths(TreeBuffer *buf, Tree *tree, uint32_t slot, bool alloc, uint32_t decimals);
long checkMemForBrlenStorage(TreeBuffer *buf, long thresholdMB);
double *getBranchLensArray(TreeBuffer *buf, uint32_t slot);
uint32_t getMaxBranchLenDecimals(const TreeBuffer *buf);
void setMaxBranchLenDecimals(TreeBuffer *buf, uint32_t decimals);
int storeSupportValues(Tree *tree, TreeBuffer *buf);
float *getSupportValuesArray(TreeBuffer *buf);
void setSupportValuesArray(TreeBuffer *buf, float *values);  // owned from then on
bool haveTreeSupportValues(const TreeBuffer *buf);
void disposeBranchLens(TreeBuffer *buf);
void disposeTreeWeights(TreeBuffer *buf);
void disposeTreeScores(TreeBuffer *buf);
void disposeSupportValues(TreeBuffer *buf);
// Change callbacks of "storeBrLens" and "storeTreeWts": switching storage off
// drops what the main buffer already holds, so no later command works on
// lengths or weights the user has asked not to keep. Always 0.
int storeBrlensParm(CmdParam *option);
int storeTreeWtsParm(CmdParam *option);

// Newick topology of stored tree n, without the semicolon, to the auxiliary
// output stream; returns the stream's error state. Tips are taxon numbers,
// words[taxon] when words are given, else NEXUS-quoted labels.
int fastTreeSave(TreeBuffer *buf, const DataInfo *data, uint32_t n, bool useNumbers,
                 const std::vector<std::string> *words = nullptr);

int noTreesAvailable(bool quiet, uint32_t errorCode, const char *message);
void clearTrees(bool keepLabels, bool keepSpecial);
int doClearTreesCmd();

// Special trees
struct SpecialTreeStore {
    Tree **trees;
    uint32_t *values;
    uint32_t count;
    uint32_t capacity;
};
extern SpecialTreeStore gSpecialTree;
int allocSpecialTreeData(uint32_t n);
int saveSpecialTree(const Tree *tree, uint32_t value);
int copySpecialTree(uint32_t i, Tree *dst);
Tree *getSpecialTree(uint32_t i);
void deallocSpecialTreeData();

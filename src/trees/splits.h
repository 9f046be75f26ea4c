// Splits: the taxa below one internal node of a tree, as bit vectors of
// (ntax + 63) / 64 words. In a tree rooted at the ancestor node a split is a
// cluster; in an unrooted tree (held at a tip) it is the side of the
// bipartition without the root tip, so two splits are compatible when they
// are disjoint or nested.
//
// A SplitsList is a plain growable list of splits; a SplitsTable gathers the
// distinct splits of many trees behind a hash index, with per-split counts,
// summed tree weights and member-tree lists as its flags select. Every
// split of a list or table lives in one contiguous word array, so a lookup
// is one hash over the words and, almost always, one comparison.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "trees/treeutil.h"

struct DataInfo;
struct TreeBuffer;

inline constexpr uint32_t kNoSplit = 0xFFFFFFFFu;

inline uint32_t splitWords(uint32_t ntax) { return (ntax + 63) / 64; }

struct SplitsList {
    uint32_t ntax = 0;
    uint32_t words = 0;  // per split
    uint32_t count = 0;
    std::vector<uint64_t> bits;  // count x words
};

// createSplitsTable flags.
enum : uint32_t {
    kSplitsWeights = 1,
    kSplitsCounts = 2,
    kSplitsSupport = 4,
    kSplitsWeight2 = 8,   // with kSplitsWeights
    kSplitsNoHash = 32,
    kSplitsContiguous = 64,
    kSplitsMembers = 128,
};

struct SplitsTable {
    SplitsList splits;                // distinct splits in order of first insertion
    std::vector<uint32_t> counts;     // kSplitsCounts
    std::vector<double> weights;      // kSplitsWeights: summed weights of the trees holding the split
    std::vector<double> weights2;     // kSplitsWeight2: filled by the caller
    std::vector<float> support;       // kSplitsSupport: per selected split, in selection order
    std::vector<uint32_t> memberFirst, memberLast;  // kSplitsMembers: per split
    std::vector<uint32_t> memberNext, memberTree;   // kSplitsMembers: per entry
    std::vector<uint32_t> order;      // the last frequency order, when a caller kept it
    // Open-addressed index: slot -> the split's hash in the high half and
    // its index + 1 in the low half (0 empty), so that a probe reads the
    // split's words only when the hashes match. The hash of each split is
    // also kept by index, for growing the index.
    std::vector<uint64_t> slots;
    std::vector<uint32_t> hashes;
    std::vector<uint64_t> scratch;    // one split of working space
    std::vector<uint64_t> forkSets;   // working space of the stored-tree reader: one split per fork
    std::vector<uint32_t> forkStack;
    std::vector<uint32_t> forkHashes;
    uint32_t flags = 0;
    uint32_t nextMember = 0;
    uint32_t ntax = 0;
    uint32_t words = 0;
};

// ---------------------------------------------------------------------------
// Lists

SplitsList *createSplitsList(uint32_t ntax, uint32_t capacity, bool contiguous);
SplitsList *destroySplitsList(SplitsList *list);
inline uint32_t numSplitsInList(const SplitsList *list) { return list->count; }
inline uint64_t *getSplitFromList(SplitsList *list, uint32_t i) { return list->bits.data() + size_t(i) * list->words; }
inline const uint64_t *getSplitFromList(const SplitsList *list, uint32_t i)
{
    return list->bits.data() + size_t(i) * list->words;
}
int setSplitsListSize(SplitsList *list, uint32_t n);
inline void clearSplitsList(SplitsList *list) { list->count = 0; }
// Copies the split in; 1 when the list could not grow.
int appendSplitToList(SplitsList *list, const uint64_t *split);

// ---------------------------------------------------------------------------
// Tables

SplitsTable *createSplitsTable(uint32_t ntax, uint32_t capacity, uint32_t flags);
SplitsTable *destroySplitsTable(SplitsTable *table);
void resetSplitsTable(SplitsTable *table);
inline uint32_t numSplitsInTable(const SplitsTable *table) { return table->splits.count; }
inline const uint64_t *getSplitFromTable(const SplitsTable *table, uint32_t i)
{
    return getSplitFromList(&table->splits, i);
}
inline SplitsList *getSplitsListForSplitsTable(SplitsTable *table) { return &table->splits; }

// Index of the split in the table, or kNoSplit; the split's hash in *hashOut.
uint32_t findMatchingSplit(const SplitsTable *table, const uint64_t *split, uint32_t *hashOut);
// Adds the split (when add) or finds it, and updates its counters or member
// list. The stored split, or null when it is unknown and add is false, or
// the table could not grow.
const uint64_t *updateTableWithSplit(SplitsTable *table, const uint64_t *split, uint32_t treeNumber, bool add,
                                     double weight);
// Every split of the tree (internal nodes below the basal fork); 1 when
// adding and a split could not be stored.
int updateSplitsTableFromTree(SplitsTable *table, Tree *tree, bool add, double weight);
int updateSplitsTableFromTree(SplitsTable *table, Tree *tree, uint32_t treeNumber, bool add, double weight);
// The same for tree n (1-based) of buf (entered under treeNumber in member
// lists), read straight from its stored
// encoding without building the tree: the same splits in the same order as
// the overload above gives for the tree getTree makes. *tipsOut is the
// number of tips the tree holds, the root tip included; when it is not the
// table's taxon count nothing is added (the caller names the missing
// taxa). 1 when adding and a split could not be stored.
int updateSplitsTableFromStoredTree(SplitsTable *table, const TreeBuffer *buf, uint32_t n, uint32_t treeNumber,
                                    bool add, double weight, uint32_t *tipsOut);
// The splits of a tree (the basal fork's set left out) into the list.
void makeSplitsListFromTree(Tree *tree, SplitsList *list);

bool areSplitsCompatible(const uint64_t *a, const uint64_t *b, uint32_t words);
uint32_t splitSize(const uint64_t *split, uint32_t words);
inline bool isSubsetSplit(const uint64_t *a, const uint64_t *b, uint32_t words)  // a within b
{
    for (uint32_t w = 0; w < words; w++)
        if (a[w] & ~b[w])
            return false;
    return true;
}

// The split indices by decreasing weight (or count); ties in order of first
// insertion.
std::vector<uint32_t> sortSplitsTableByFreq(const SplitsTable *table);

// The tree made of a list of compatible splits, hung below `root` (the
// ancestor node, a tip, or the basal fork itself). With support values
// (one per split of the list) the nodes carry them; tips and a basal fork
// below the root carry 100. 0, or 1 when a split is not a proper subset of
// the taxa.
int makeTreeFromSplitsList(Tree *tree, uint32_t ntax, const SplitsList *list, const float *support,
                           TreeNode *root);

// Taxa-by-split plot of the frequencies: rows in the table's stored order
// (else index order), '*' for taxa in the split.
void showSplitsDotPlot(const SplitsTable *table, const DataInfo *data, uint32_t thresholdPercent, bool groups,
                       const char *titleSuffix, double totalWeight);
void debugShowSplitsTable(const SplitsTable *table);
void debugShowSplitsList(const SplitsList *list);

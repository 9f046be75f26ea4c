// Reading trees: the TREES block of a NEXUS file (met while a file is
// executed, or through GetTrees), plain Newick and PHYLIP tree files, with
// Translate tables, rooting and weight comments, branch lengths and the keep
// modes that decide which trees end up in the main buffer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "trees/treeutil.h"

struct DataInfo;
struct TreeBuffer;

// Keep modes of the reader.
enum : uint32_t {
    kKeepNotInMemory = 1,
    kKeepAlsoInMemory = 2,
    kKeepReplace = 3,
    kKeepMemoryNotInFile = 4,
    kKeepEitherNotBoth = 5,
    kKeepMemoryPlusFile = 7,
    kKeepSumT = 11,
};

// Read flags.
enum : uint32_t {
    kReadElimDups = 0x1,
    kReadStoreBrlens = 0x10,
    kReadStoreWeights = 0x20,
    kReadPruneDeleted = 0x40,
    kReadPhylipLabels = 0x80,
    kReadPlainFile = 0x100,
    kReadInExecutedFile = 0x200,
    kReadNoProgress = 0x400,
};

// One Translate entry: the key as written, the label it stands for and the
// original taxon the label resolved to (-1 while unresolved).
struct TransEntry {
    std::string key;
    std::string label;
    int32_t taxon;
};

struct TransTable {
    std::vector<TransEntry> entries;
    std::unordered_map<std::string, uint32_t> byKey;  // lower-case key -> entry
};

// Words met before, exactly as written, with the number each resolved to.
// Tree after tree names the same taxa with the same words, so one hash of
// the bytes and one comparison replace the case folding and the lookups
// that resolved a word the first time. Open addressing over one array.
class WordMemo {
public:
    static constexpr uint32_t kAbsent = 0xFFFFFFFFu;
    uint32_t find(std::string_view word) const;
    void insert(std::string_view word, uint32_t value);
    void clear();

private:
    struct Entry {
        uint64_t head;  // the first 8 bytes: a short word is compared here
        uint32_t offset, length;
        uint32_t value;
    };
    static uint64_t headOf(std::string_view word);
    static uint64_t hashOf(std::string_view word, uint64_t head);
    uint32_t findEntry(std::string_view word, uint64_t head, uint64_t hash) const;
    void place(uint64_t hash, uint32_t entry);
    // Slot: the hash's high half and entry + 1 (0 empty). Small, so that
    // the index stays in the nearest cache beside the tree being read.
    std::vector<uint64_t> slots_;
    std::vector<Entry> entries_;
    std::string bytes_;  // the words, end to end
};

struct TreeReader {
    DataInfo *data;
    std::vector<uint8_t> used;  // per original taxon: already on the tree being read
    TransTable trans;
    TreeBuffer *buffer;
    uint32_t readFlags;
    uint32_t treesRead;
    uint32_t treesKept;
    uint32_t firstMissingBrlenTree;  // 0 = none
    uint32_t firstNegativeBrlenTree; // 0 = none
    uint32_t nodeCount;
    uint32_t nodeLimit;              // 2 x active taxa - 1, plus one per deleted taxon
    uint32_t internalCount;
    uint32_t decimals;
    int32_t pruneAnswer;             // -1 not asked, 0 no, 1 yes
    uint32_t currentTree;
    bool ancFunction;
    bool newickFile;                 // labels may contain "-"
    bool brlensSeen;                 // this tree had a length
    bool storeBrlens;
    bool firstTree;
    bool pruned;
    bool missingBrlen;               // this tree lacked a length below its top
    bool anyBrlensRead;
    bool negativeBrlen;              // this tree had a length below 0
    // Taxa the description does not name join its outermost node (monophyly
    // constraint trees), before single-child nodes are removed.
    bool attachUnnamed;
    // A backbone constraint tree: every group it names is one of its
    // nodes, so a node of one descendant names nothing and is refused.
    bool backbone;
    // Tips sit at original taxon numbers instead of active ones: constraint
    // groups span every taxon, deleted ones included, so that they keep
    // naming the same taxa when the deleted set changes.
    bool originalNumbers;
    // The words our writers of this kind of file (NEXUS, or Newick and
    // PHYLIP) give the taxa (normalized) -> original taxon; built on first use.
    std::unordered_map<std::string, uint32_t> fileWords;
    bool fileWordsBuilt;
    // The taxon labels (lower case) -> original taxon, the first of equal
    // labels; built on first use, so a name is found with one hash.
    std::unordered_map<std::string, uint32_t> labelIndex;
    bool labelIndexBuilt;
    // With PHYLIP-style labels: each taxon label as PHYLIP programs write it
    // (punctuation dropped, underscores as blanks; lower case) -> original
    // taxon, so that their tree files match back to the taxa.
    std::unordered_map<std::string, uint32_t> phylipLabels;
    // Scratch of the fast description reader, kept from tree to tree.
    std::string text;
    std::vector<TreeNode *> openForks;
    std::string lowered;  // a label in lower case, for the label index
    // Words of this reader's descriptions already resolved to an original
    // taxon (through the Translate table or the labels); cleared with the
    // Translate table.
    WordMemo resolved;
};

TreeReader *createTreeReader(DataInfo *data, bool storeBrlens, bool phylipLabels);
TreeReader *destroyTreeReader(TreeReader *reader);

// Reads one tree description (from the first "(" through the ";") at the
// current input position into tree, rooted at the ancestor node. 0 or 1
// after an error has been reported.
int readNewickTree(TreeReader *reader, Tree *tree, bool rooted);
// Whether descriptions are read whole into memory and parsed there when the
// input allows (on at start); off leaves every description to the
// character-by-character reader, for comparing the two. Returns the
// previous setting.
bool setWholeDescriptionReading(bool on);
// After a description: removes internal nodes with fewer than two children.
void deleteUnneededNodes(Tree *tree);
// A weight text "w" or "n/d"; 0, or 1 after an error.
int storeTreeWtValue(const char *text, int terminator, double *weightOut);
// The Translate command of a TREES block (after its name).
int readTranslateTable(TreeReader *reader);
int32_t findStringInTransTable(const TreeReader *reader, const char *word);
void deallocTransTable(TreeReader *reader);

// Whether the criterion in force scores trees rooted, installed by the search
// code; trees read against it get a note (null: no note).
using CriterionRootednessFxn = bool (*)(const DataInfo *data);
void setCriterionRootednessFxn(CriterionRootednessFxn fxn);

// The TREES-block entry: reads the block at the current input position
// (or the whole plain tree file). to = 0xFFFFFFFF reads to the end.
int processTreesBlock(uint32_t mode, uint32_t flags, uint32_t from, uint32_t to, bool allBlocks,
                      bool rooted, bool unrooted, bool report);
// The reader the command loop calls for a TREES block in an executed file.
int readTreesBlockInFile();
// 0 found (positioned after "begin trees;"), -1 none.
int findNextTreesBlk();

// The implicit TAXA block of a TREES block met without taxa: the names of
// the descriptions (through the Translate table), in order of first
// appearance, become the taxa of data, and the input is rewound to where it
// was. 0, 1 or 2 (aborted).
int harvestTaxonNames(std::vector<std::string> &names);
int createImplicitTaxaBlock(DataInfo *data, bool report);

// SumTrees: every tree of the TREES block at the input position goes to
// store (with its 1-based position in the input); rootedness is checked
// against privateBuffer. 0, 1 or 2.
using SumTStoreFxn = int (*)(Tree *tree, uint32_t position);
int readTreesForSumT(TreeBuffer *privateBuffer, SumTStoreFxn store, uint32_t *treesRead);

// LoadConstr: every tree of the TREES block (or plain tree file) at the
// input position, read rooted, goes to store with its name ("Constraint n"
// in a plain file), with ctx. Monophyly trees join taxa a description
// leaves out to its basal node; backbone trees leave them out and refuse a
// node of one descendant. 0, 1 or 2; treesRead counts the trees stored.
using NamedTreeStoreFxn = int (*)(void *ctx, Tree *tree, const char *name);
int readNamedTrees(bool plain, bool backbone, NamedTreeStoreFxn store, void *ctx, uint32_t *treesRead);

// Positions the input at the first tree: a plain tree file (after a PHYLIP
// tree count) or the first TREES block; error 707 when there is none.
int skipToTrees(bool *plain, const char *fileName);

// GetTrees.
int doGetTreesCmd();

// Topological constraints: the registry of named constraints (monophyly and
// backbone trees, convexity partitions), the Constraints and ShowConstr
// commands, and the test of a tree against the active constraint.
//
// A tree's constraint data carry the constraint like one more character: per
// node and slot (0 the subtree below the node, 1 the rest of the tree, 2 both)
// a record of group bits, 128 groups to a word. For monophyly and backbone
// M marks a subtree that is pure for a group, O one that is pure or has been
// joined to a pure part, V a group whose clade has already closed below. For
// convexity a record holds the partition subsets possible at the node and
// the steps spent so far.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "trees/splits.h"
#include "trees/treeutil.h"

using ConWord = unsigned __int128;

enum ConstraintType : uint32_t { kConMonophyly = 0, kConBackbone = 1, kConConvexity = 2 };

inline constexpr uint32_t kMaxConstraintName = 127;
inline constexpr uint32_t kMaxConvexSubsets = 128;

struct Constraint {
    char name[kMaxConstraintName + 1];
    std::unique_ptr<SplitsList, SplitsList *(*)(SplitsList *)> groups{nullptr, destroySplitsList};
    Constraint *next = nullptr;
    uint32_t type = kConMonophyly;
    uint32_t words = 0;  // 128-bit words of group bits
    uint8_t show = 0;
};

struct ConRec {
    ConWord *mo;   // M[w] then O[w] per word (monophyly, backbone)
    ConWord *v;    // V[w]
    ConWord set;   // convexity: subsets possible here
    uint32_t count;  // convexity: steps so far
    uint8_t satisfied;
};

struct ConData {
    std::vector<ConRec> recs;  // slot-major: recs[slot * nodes + position]
    std::vector<ConWord> moWords;
    std::vector<ConWord> vWords;
    const Constraint *builtFor = nullptr;
    uint64_t generation = 0;
    uint32_t nodes = 0;
    uint32_t groups = 0;
    uint32_t words = 0;
    uint32_t type = kConMonophyly;
    uint32_t numConvexStates = 0;
    uint32_t stepLimit = 0;
};

// ---- Registry ---------------------------------------------------------------

Constraint *getActiveConstraint();
void setActiveConstraint(Constraint *c);
uint32_t activeConstraintType();
uint32_t numConstrWords();
Constraint *firstConstraint();
uint32_t numConstraints();
uint32_t constraintPos(const Constraint *c);
Constraint *constraintTagToPtr(const char *name);
Constraint *getConstraintRefFromInput();
// Appends a constraint made of the given groups; for a backbone the last
// group is the set of taxa the backbone names. Null when memory failed.
Constraint *addConstraint(const char *name, uint32_t type, SplitsList *groups, bool makeActive);
void deallocAllConstraints();
// Called by deallocAllConstraints once every constraint is gone, so that the
// search's enforce setting goes with them (null for none).
void setConstraintsReleasedHook(void (*hook)());
// Bumped whenever a constraint is freed or redefined, so that per-tree data
// built earlier, and any record above that names a constraint, never pass
// as fresh.
uint64_t constraintGeneration();
// The extra steps convexity constraints tolerate (the search's looseConvex).
void setConvexLooseness(int32_t looseness);
// Where the current looseness setting is kept (installed by the search
// settings), and the call that takes it from there for the next test.
void setConvexLoosenessSource(int32_t (*source)());
void useCurrentConvexLooseness();


int defineConstraint();
int doShowConstraintsCmd();
int readConstraintTree(DataInfo *data, Constraint *c, bool asBackbone);
int readAndStoreConstraintTree(bool asBackbone, bool makeActive, const char *name);
// The groups of a constraint tree read elsewhere (all taxa active).
int setConstraintFromTree(const DataInfo *d, Constraint *c, Tree *tree, bool asBackbone);
// Appends (or, for a name already defined, replaces) a constraint made from
// a tree; the first constraint defined becomes the active one.
int addConstraintFromTree(Tree *tree, const char *name, bool asBackbone);

// The "constraints" option of the settings and searches.
int getConstrName(int operation, struct CmdParam *option, void *place);
// The facts of the analysis about to run that the constraint options are
// checked against.
enum class PermutationTestKind : uint8_t { kNone, kTPTP, kCompare2 };
struct ConstraintOptionCheck {
    bool enforce;
    bool converse;
    PermutationTestKind permutationTest;
    bool njStart;     // a heuristic search starting from a neighbor-joining tree
    bool noSwapping;
    bool resampling;  // within bootstrap or jackknife
    int32_t looseness;
    bool rooted;  // the trees searched are rooted
    // What the permutation test names: the constraint of T-PTP, or the two
    // constraint trees that compare-2 compares.
    const Constraint *tptp;
    const Constraint *first;
    const Constraint *second;
};
int checkConstraintOptions(const ConstraintOptionCheck &check);
void makeConstrString(const Constraint *c, char *buffer, size_t size);
// The log count of binary trees compatible with a monophyly constraint.
double logCompatibleTrees(const Constraint *c, uint32_t ntax);
double logCompatibleTreesUnrooted(const Constraint *c, uint32_t ntax);
double logCompatibleTrees(const SplitsList *groups, uint32_t ntax);
double logCompatibleTreesUnrooted(const SplitsList *groups, uint32_t ntax);

// ---- Per-tree data and tests --------------------------------------------------

ConData *createConData(const Constraint *c, Tree *tree);
ConData *destroyConData(ConData *data);
int initConstraints(Tree *tree, const DataInfo *data, bool showStatus);
bool constraintsAreStale(const Tree *tree);
ConRec *conRecord(const Tree *tree, uint32_t slot, const TreeNode *node);
bool conSetBin(const ConData *cd, const ConRec *a, const ConRec *b, ConRec *node);
void countConvexStates(Tree *tree);
void setConstrBitsForTips(const Constraint *c, const DataInfo *data, Tree *tree);
bool conSet(const Tree *tree, TreeNode *node);
bool conCompat(const Tree *tree, const ConRec *a, const ConRec *b);
bool constraintsSatisfied(Tree *tree, bool converse);
// A node's record from parts joined as an unresolved polytomy: false when
// no resolution of it could keep the constraint. Per word, m is the OR of
// the parts' M bits, o the AND of their O bits and v the OR of their V bits
// (which no two parts may share). Monophyly and backbone only.
bool softConstraintFinish(const ConData *cd, ConRec *node, const ConWord *m, const ConWord *o, const ConWord *v);
// Whether the constraint excludes no tree: a star tree of the tree's taxa,
// rooted at the ancestor node for rooted trees and at a taxon for unrooted
// ones (where a group of all taxa but one is no group at all), satisfies it.
bool isConstraintTreeUninf(Tree *tree, bool rooted, bool converse);
// Whether joining the parts summarised by a and b closes some group of the
// constraint (convexity: the two sets share no subset), so that the edge
// between them is one the constraint needs.
bool isConstrainedGroup(const ConData *cd, const ConRec *a, const ConRec *b);
// Per node position: 1 when the edge from that internal node to its
// ancestor is one the active constraint needs. Needs the tree's constraint
// data with its tip bits; rewrites the records of slots 0 and 1.
std::vector<uint8_t> findConstrainedEdges(Tree *tree);
// Set-up at the start of a search: 0 go on, 1 refused, -1 cancelled.
int initSearchConstraints(Tree *tree, const DataInfo *data, const ConstraintOptionCheck &check, bool quiet);

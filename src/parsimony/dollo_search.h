// Dollo and irreversible characters scored bit-parallel in searches. Each
// character of n
// states is held as its n - 1 steps (step j between states j - 1 and j), and
// each step as a two-state Dollo character whose primitive condition is the
// ancestor's side: the step is derived where the state lies above it, or
// below it for a step the character's ancestor turns round (stmTurnedSteps).
// The lengths of the steps add up to the cost vectors' length of the
// character, so a search may score with these and leave the cost vectors to
// the reconstructions.
//
// One step on a tree held at the ancestor (the ancestor a terminal of state
// 0, or missing where it leaves the step open): the nodes of state 1 form one
// connected part R (one gain) holding every terminal of state 1 and none of
// state 0, and the length is the number of edges leaving R (the gain and the
// losses). Seen from a node v at the top of a part S of the tree:
//   L  S holds a terminal of state 1 (then R meets S);
//   F  S holds two such apart from v (v must lie in R);
//   c1 least steps inside S with v in R;
//   c0 least steps inside S with v outside R: R wholly inside S when L, else
//      R outside S (no step).
// A part without a 1 needs c1 only as "one step to leave it out": c1 is kept
// at 0 or 1 there. The counters of a part with a 1 are kept less their
// least, which is the part's own length (counted where the part is made),
// and the rules below add and take the least of them only, so the held
// counters give the same answers. A part's length does not depend on where
// it is hung, so a subtree rerooted by a rearrangement keeps its length.
//
// An irreversible step (a gain costs one, a loss is impossible) keeps one
// counter standing for two, c0 and c1 for its top node primitive and derived
// (the impossible one at a bound; see kernels/irr_steps_rule.h); which way an edge's gain runs depends on
// whether a record holds the ancestor, which its header says. A part's
// length does depend on where it is hung, so the header also holds the
// irreversible steps' own length of the part, from which a search takes the
// difference a reroot makes (dolRerootDelta). Irreversible steps turned
// opposite ways by an ancestor in the middle of the series add up to the
// cost vectors' length as well.
//
// Node record: a header (ancestor tag, own irreversible length), the L and F
// words, then the c1 counters (16 bits per step) of every word's 64 steps and
// the c0 counters of the Dollo words' steps. Steps of one word share one kind and one weight; the irreversible
// words come first.
// The joins and spans of whole words of either kind are kernels of their
// own (kernels/irr_steps.h, kernels/dol_steps.h), chosen at run time.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "parsimony/mprange.h"
#include "parsimony/packx.h"

struct Tree;
struct TreeNode;

struct DolSearch {
    uint32_t words = 0;             // irreversible words first, then Dollo words
    uint32_t irrWords = 0;
    uint32_t stride = 0;            // 64-bit words per node record
    std::vector<double> weight;     // per word
    std::vector<uint32_t> charOf;   // per step (word x 64 + bit); kDolNoChar past the used ones
    std::vector<uint32_t> firstStep; // per character: its first step, kDolNoChar when not scored here
    std::vector<uint64_t> used;     // per word: the steps in use
    std::vector<uint64_t> turned;   // per word: the steps an ancestor turns round (stmTurnedSteps)
    // Per terminal record (position: 0 the ancestor, 1 + taxon), the Dollo
    // steps held primitive for certain (a cell, not missing): with the L
    // words, a three-taxon length needs no counters.
    std::vector<uint64_t> primitive;
    std::vector<int32_t> fullChars; // the cost-vector class's stmChars when made
    // The cost-vector class's lists without the characters scored here,
    // exchanged with its own while a search scores by steps.
    std::vector<int32_t> restChars;
    std::vector<StmLane> restLanes;
    std::vector<StmBlock> restBlocks;
    uint32_t restBlockLanes = 0;
    // The kept characters' blocks (stmAll index, block index) in the lists
    // not in use, exchanged with their StmChar's own with the lists: a
    // character read alone (a polytomy's join, its MPR states) finds its
    // block in the lists in use.
    std::vector<std::pair<int32_t, int32_t>> restBlockOf;
    std::vector<uint64_t> sets;     // 3 x nodeCount records
    std::vector<uint64_t> scratch;  // two records for the interchange
    // Dollo characters left to the cost vectors (whose spans may take back
    // steps: see ParsRecord::stmTakesBack).
    bool restDollo = false;
    bool active = false;
    // Pauses alive: the steps are not turned on under one.
    uint32_t paused = 0;
};

inline constexpr uint32_t kDolNoChar = UINT32_MAX;

// Makes the step layout once the weights are final and writes the
// terminals' and the ancestor's records; clears it when no character
// qualifies (included Dollo and irreversible ones of two or more states
// whose cells are each one state, missing, or a run of neighbouring states;
// a Dollo character's steps all turned one way). 0 when done.
int prepareDolSearch(DataInfo *d);

// Turns the steps on or off for the life of the object, and back after.
class DolloStepsSwitch {
public:
    DolloStepsSwitch(const DolloStepsSwitch &) = delete;
    DolloStepsSwitch &operator=(const DolloStepsSwitch &) = delete;

protected:
    DolloStepsSwitch(DataInfo *d, bool on);
    ~DolloStepsSwitch();

private:
    DataInfo *d_;
    // The layout a pause holds (a repacking inside it makes another).
    std::shared_ptr<DolSearch> layout_;
    bool on_, changed_ = false;
};

// While alive, a search over trees held at the ancestor scores the Dollo
// and irreversible characters by steps and the cost-vector class leaves them out (their cost
// vectors are then stale). Nothing happens when no character qualifies.
class DolloSearchScope : DolloStepsSwitch {
public:
    explicit DolloSearchScope(DataInfo *d) : DolloStepsSwitch(d, true) {}
};

// The opposite, for work inside a search that reads the cost vectors (the
// edges' support): the cost vectors score every character again while
// alive, and reconstruct them too (the steps are not turned on meanwhile).
// It changes only the packed data's working lists, which a read-only data
// set holds too.
class DolloSearchPause : DolloStepsSwitch {
public:
    explicit DolloSearchPause(const DataInfo *d) : DolloStepsSwitch(const_cast<DataInfo *>(d), false) {}
};

// True while the steps score the Dollo characters.
bool dolSearchActive(const DataInfo *d);
// 64-bit words of one node record (0 when the steps are not in use).
uint32_t dolRecordWords(const DataInfo *d);

// What rerooting a subtree changes in its irreversible steps' length: that
// of the rerooted subtree's record less that of the subtree as rooted.
double dolRerootDelta(const DataInfo *d, const ParsNodeSets *rerooted, const ParsNodeSets *rooted);

// The class's function record (set, setBin, setUpdate, addSpan, evalNNI).
void dolSetBin(const DataInfo *d, const ParsNodeSets *a, const ParsNodeSets *b, bool count, bool perChar,
               ParsNodeSets *result, double *length);
void dolSet(const DataInfo *d, const TreeNode *node, const TreeNode *leaveOut, bool count, bool perChar,
            ParsNodeSets *result, double *length);
int dolSetUpdate(const DataInfo *d, const ParsNodeSets *c1, const ParsNodeSets *c2, ParsNodeSets *stored,
                 const ParsNodeSets *above, ParsNodeSets *final, uint64_t *dirty);
int dolAddSpan(const DataInfo *d, const ParsNodeSets *a, const ParsNodeSets *b, bool perChar, double *length,
               double bound);
int dolEvalNNI(const DataInfo *d, TreeNode *scratch, const TreeNode *x, double *length, double bound);
void copyDolSets(const DataInfo *d, const ParsNodeSets *from, ParsNodeSets *to);

// What the steps give where the cost vectors gave it before: most-parsimonious
// sets, the greatest length of an edge, three-taxon lengths. Each reads the
// records of a search's tree (held at the ancestor) while the steps are
// active.

// True when character c is scored by the steps now.
bool dolScoresChar(const DataInfo *d, uint32_t c);
// The node's most-parsimonious record: its set from all its neighbours.
void dolMprSet(const DataInfo *d, TreeNode *node);
// The most-parsimonious states of character c (raw data states) in such a
// record; 0 when c is not scored by the steps.
uint64_t dolStateSet(const DataInfo *d, const ParsNodeSets *rec, uint32_t c);
// Whether some most-parsimonious reconstruction changes a step of positive
// weight on the edge between a node's down set a and its up set b (the
// greatest length of the edge is then positive).
bool dolEdgeMayChange(const DataInfo *d, const ParsNodeSets *a, const ParsNodeSets *b);
// Length of the three-taxon tree ((a, b), c) of taxa (-1: the ancestor).
double dolLen3(const DataInfo *d, int32_t a, int32_t b, int32_t c);

// Reconstructions of a tree held at the ancestor by the steps, for the
// characters they score: the characters' decided states and branch steps,
// their most-parsimonious sets and the range of their branch lengths, each
// equal to what the cost vectors give.

// True when the steps score some character, no pause holds them and the
// tree is held at the ancestor (its root the ancestor, with one child).
bool dolStepsFitTree(const DataInfo *d, const Tree *tree);
// True when character c is one the steps score once turned on.
bool dolStepsHoldChar(const DataInfo *d, uint32_t c);
// The node's condition of every step, in preorder after its ancestor's,
// while the steps are on and the tree's down, up and most-parsimonious
// records are theirs: kept in the L and F words of an internal node's down
// record, and the steps that change on its branch added to its length.
// AccTran puts a change as near the ancestor as the subtree's counters let
// it, DelTran keeps the ancestor's condition wherever the node's
// most-parsimonious set allows it.
void dolDecide(const DataInfo *d, TreeNode *node, bool accTran);
// Once the steps are off again: every internal node's decided state and
// most-parsimonious set of those characters, written where the cost vectors
// keep theirs (the down and final records), so that whatever reads a
// reconstruction reads these.
void dolWriteDecisions(const DataInfo *d, const Tree *tree);
// Adds those characters' fewest and most weighted changes on every branch
// over all most-parsimonious reconstructions to `range` (by node position).
// Computes the steps' records of the tree afresh, touching no other class's.
void dolBLRange(const DataInfo *d, const Tree *tree, std::vector<BranchLengthRange> &range);

// Cost-vector (Sankoff) scoring of the character types whose changes are not
// all equal: stepmatrix characters (symmetric and asymmetric), Dollo and
// irreversible characters. Every node record holds, per character, the least
// cost of the part of the tree it summarises for each state of the node the
// record belongs to, less the smallest of them (the removed minima are the
// steps counted along the way). Characters sharing a whole-number table that
// fits narrower entries are held side by side in blocks (StmBlock), so that
// the vector kernels join many at once; the rest one by one in 64-bit
// entries.
//
// Direction. A record summarises either a part of the tree without the
// ancestor (a down set, or any set of a subtree cut off for rerooting) or a
// part that holds it (the up and final sets of a tree rooted at the
// ancestor). A change along an edge is charged from the side nearer the
// ancestor to the other, so a rule combining records reads each one's cost
// matrix the way round its tag says. Without the ancestor in the tree every
// tag is 0, which gives the cheapest rooting of the subtree at the joining
// node (the only sound answer for a symmetric matrix, and the rerooted
// subtree's own length for a directed one).
//
// Dollo characters are scored as the stepmatrix in which one gain of a state
// costs more than any number of losses can: the cost of a change is
// kDolloGain x gains + losses, so that the least cost first minimises the
// gains (one per state gained, as Dollo's law asks) and then the losses; the
// length counts both once. A given ancestor inside the series splits it in
// two, the steps above it and those below it, each gained once on its own:
// a node may then be derived both ways, so its states are pairs (see
// StmChar::pairs) and the cost of a change the sum of both sides'.
// Irreversible characters forbid every change against their direction.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <span>
#include <vector>

#include "parsimony/packx.h"

struct TreeNode;
struct ParsFxns;

inline constexpr int64_t kStmImpossible = kCostImpossible;
inline constexpr int64_t kDolloGain = int64_t{1} << 24;

// A set of a character's indices (its scored states, or its pairs). A
// character of up to 64 indices fits one word, but a Dollo character whose
// ancestor lies inside its series holds a pair per upper and lower state: a
// series of 63 states with the ancestor in the middle has 32 x 32 of them,
// so the set holds that many.
inline constexpr uint32_t kStmMaxIndices = 1024;
// Room for one character's entries and its zero mask word (see stmCharVector).
inline constexpr uint32_t kStmVecRoom = kStmMaxIndices + 1;
class StmIndexSet {
public:
    static constexpr uint32_t kWords = kStmMaxIndices / 64;
    StmIndexSet() = default;
    static StmIndexSet ofWord(uint64_t x)
    {
        StmIndexSet s;
        s.w_[0] = x;
        return s;
    }
    // Indices 0 to n - 1.
    static StmIndexSet below(uint32_t n)
    {
        StmIndexSet s;
        for (uint32_t k = 0; k < kWords && n > 64 * k; k++)
            s.w_[k] = n - 64 * k >= 64 ? ~uint64_t{0} : (uint64_t{1} << (n - 64 * k)) - 1;
        return s;
    }
    static StmIndexSet single(uint32_t i)
    {
        StmIndexSet s;
        s.set(i);
        return s;
    }
    bool test(uint32_t i) const { return i < kStmMaxIndices && ((w_[i / 64] >> (i % 64)) & 1); }
    void set(uint32_t i) { w_[i / 64] |= uint64_t{1} << (i % 64); }
    bool any() const
    {
        for (uint64_t x : w_)
            if (x)
                return true;
        return false;
    }
    bool none() const { return !any(); }
    int count() const
    {
        int n = 0;
        for (uint64_t x : w_)
            n += std::popcount(x);
        return n;
    }
    // The lowest index, -1 when empty.
    int lowest() const
    {
        for (uint32_t k = 0; k < kWords; k++)
            if (w_[k])
                return static_cast<int>(64 * k + static_cast<uint32_t>(std::countr_zero(w_[k])));
        return -1;
    }
    StmIndexSet lowestOnly() const
    {
        const int i = lowest();
        return i < 0 ? StmIndexSet{} : single(static_cast<uint32_t>(i));
    }
    // The first word, all there is of a character of at most 64 indices.
    uint64_t word() const { return w_[0]; }
    template <class F>
    void forEach(F &&f) const
    {
        for (uint32_t k = 0; k < kWords; k++)
            for (uint64_t x = w_[k]; x; x &= x - 1)
                f(64 * k + static_cast<uint32_t>(std::countr_zero(x)));
    }
    StmIndexSet &operator&=(const StmIndexSet &o)
    {
        for (uint32_t k = 0; k < kWords; k++)
            w_[k] &= o.w_[k];
        return *this;
    }
    StmIndexSet &operator|=(const StmIndexSet &o)
    {
        for (uint32_t k = 0; k < kWords; k++)
            w_[k] |= o.w_[k];
        return *this;
    }
    friend StmIndexSet operator&(StmIndexSet a, const StmIndexSet &b) { return a &= b; }
    friend StmIndexSet operator|(StmIndexSet a, const StmIndexSet &b) { return a |= b; }
    bool operator==(const StmIndexSet &o) const = default;

private:
    std::array<uint64_t, kWords> w_{};
};

// Phase-1 preparation of every character of the class (error 438 when the
// three-plus-one rule would go past 64 states); 0 when done.
int packStmPrelim(DataInfo *d);
// Copies the weights into the class's lanes and blocks.
void setStmLaneWeights(PackedData *pd, const double *weights);
// The entries of character sc in a node record, in the class's units
// (kStmImpossible when impossible), and its zero mask at out[sc.n] (room:
// kStmVecRoom). The mask is one word, so a character of more than 64
// indices leaves it 0: read its zeros from the entries (stmRecordIndices).
void stmCharVector(const DataInfo *d, const ParsNodeSets *rec, const StmChar &sc, int64_t *out);
// Room for the class's node arrays beside the other classes' sets.
int allocStmSets(DataInfo *d, uint32_t nodeCount);
void deallocStmSets(PackedData *pd);
// The terminal (or ancestor, taxon -1) vectors of one node position; 1 when
// a polymorphic cost could not be computed.
int writeStmCells(const DataInfo *d, int32_t taxon, uint32_t position);
// Minimum length of character c over all trees of the given taxa (-1 the
// ancestor) and whether the star test finds it uninformative. With
// ancestorCounts the ancestor's cell is one more that a symmetric
// stepmatrix character must reach.
double stmMinSteps(const DataInfo *d, const StmChar &sc, std::span<const int32_t> taxa, bool ancestorCounts);
// The least lengths of user-typed character sc over all trees of the given
// taxa (-1, the ancestor, a cell like the others), within polymorphic
// terminals not counted: m1 with the observed states, m2 with every state of
// the polymorphic terminals present too. False (both 0) when
// no bound is known: an asymmetric stepmatrix, a multistate cell that meets
// none of the single states of a stepmatrix of more than two states, or a
// table too wide for the least tree over many observed states to be found.
bool stmLengthBounds(const DataInfo *d, const StmChar &sc, std::span<const int32_t> taxa, double *m1, double *m2);
// The packed entry of character c, null when it is not of the class.
const StmChar *stmCharOf(const DataInfo *d, uint32_t c);
// Cost of a change from raw state a to raw state b of character c, as a
// length (Dollo: gains plus losses); kNoScore when impossible.
double stmChangeCost(const DataInfo *d, uint32_t c, uint32_t from, uint32_t to);
// The same in the class's cost units (kStmImpossible when impossible).
int64_t stmChangeUnits(const DataInfo *d, uint32_t c, uint32_t from, uint32_t to);
// Index of raw data state `raw` among the character's scored states; -1
// when it is not scored.
int stmIndexOfRaw(const DataInfo *d, const StmChar &sc, uint32_t raw);
// Directed characters (irreversible, Dollo, asymmetric stepmatrix) among the
// included ones: trees must then be rooted.
bool directedCharsIncluded(const DataInfo *d);
// Error 701 when unrooted trees are to be scored with directed characters.
int checkDirectedRooting(const DataInfo *d, bool rooted);
// True when character c is scored by this class.
bool isStmType(uint32_t status);
// A node record's most-parsimonious states of character c, raw data states.
uint64_t stmStateSet(const DataInfo *d, const ParsNodeSets *rec, uint32_t c);
// The raw data states of character sc's scored states `indexBits`.
uint64_t stmRawStates(const DataInfo *d, const StmChar &sc, const StmIndexSet &indices);
// The raw states an ancestor leaving Dollo character c open allows (its
// edge counts no step between them); 0 when c is not Dollo or its ancestor
// holds one state.
uint64_t stmOpenDolloAncestor(const DataInfo *d, uint32_t c);
// Characters whose nodes hold pairs of states (StmChar::pairs) are read by
// their indices: one state per node does not say what a node derived both
// ways is. True when character c is one (a Dollo character only).
bool stmHoldsPairs(const DataInfo *d, uint32_t c);
// The indices of character c a taxon's cell allows (every one when missing;
// a polymorphic terminal's single states).
StmIndexSet stmCellIndices(const DataInfo *d, uint32_t c, int32_t taxon);
// The most-parsimonious indices of character c in a node record.
StmIndexSet stmRecordIndices(const DataInfo *d, const ParsNodeSets *rec, uint32_t c);
// A change between two indices of character c: in the class's units
// (kStmImpossible when impossible) and as a length (kNoScore then); and the
// raw data states of an index set.
int64_t stmIndexChangeUnits(const DataInfo *d, uint32_t c, uint32_t from, uint32_t to);
double stmIndexChangeCost(const DataInfo *d, uint32_t c, uint32_t from, uint32_t to);
uint64_t stmIndexRawStates(const DataInfo *d, uint32_t c, const StmIndexSet &indices);
// The steps of character c on the branch to a polymorphic terminal whose
// neighbour may hold the indices `from`, and within the terminal, as the
// tree's length counts them (the terminal's cheapest tree over its states,
// met in the neighbour's state, less its least). With `entry`, the indices
// the branch may end in: those from which the terminal's least tree starts,
// reached at the branch's steps (its own states first; empty when none is).
// False when not known.
bool stmPolyTipSteps(const DataInfo *d, uint32_t c, int32_t taxon, const StmIndexSet &from, double *edge,
                     double *within, StmIndexSet *entry = nullptr);
// The least length, over every neighbour state, that the branch to a
// polymorphic terminal and its inside add beyond reaching the nearest one of
// its states (0 when not known or the cell holds one state).
double stmPolyTipLeastBeyond(const DataInfo *d, uint32_t c, int32_t taxon);
// Records that hold the ancestor (see Direction above).
void setStmAncestorTag(ParsNodeSets *rec, bool holdsAncestor);

// The class's function record (set, setBin, setUpdate, addSpan, evalNNI).
void stmSetBin(const DataInfo *d, const ParsNodeSets *a, const ParsNodeSets *b, bool count, bool perChar,
               ParsNodeSets *result, double *length);
void stmSet(const DataInfo *d, const TreeNode *node, const TreeNode *leaveOut, bool count, bool perChar,
            ParsNodeSets *result, double *length);
int stmAddSpan(const DataInfo *d, const ParsNodeSets *a, const ParsNodeSets *b, bool perChar, double *length,
               double bound);
int stmSetUpdate(const DataInfo *d, const ParsNodeSets *c1, const ParsNodeSets *c2, ParsNodeSets *stored,
                 const ParsNodeSets *above, ParsNodeSets *final, uint64_t *dirty);
int stmEvalNNI(const DataInfo *d, TreeNode *scratch, const TreeNode *x, double *length, double bound);
void copyStmSets(const DataInfo *d, const ParsNodeSets *from, ParsNodeSets *to);
// A subtree cut off and rerooted changes its own length when directed
// characters are scored: the class's length of the rerooted subtree (its set
// on the edge it is now rooted at) less that of the subtree as it was rooted.
// 0 without directed characters.
// Whether some most-parsimonious reconstruction of an included character of
// positive weight makes a costly change on the edge between records a and b
// (the greatest length of that edge is then positive).
bool stmEdgeMayChange(const DataInfo *d, const ParsNodeSets *a, const ParsNodeSets *b);
double stmRerootDelta(const DataInfo *d, const ParsNodeSets *rerooted, const ParsNodeSets *rooted);

// Reconstruction, in preorder after the ancestor's decision: the node's
// state (least cost of its subtree plus the change from the ancestor's; ties
// to the dearer change under AccTran, the cheaper under DelTran), its branch
// steps added to its length, and an internal node's set cut to that state.
enum class ParsOptChoice { AccTran, DelTran, First };
void stmDecide(const DataInfo *d, TreeNode *node, ParsOptChoice opt);
// A root with two children takes its lowest most-parsimonious state.
void stmDecideRoot(const DataInfo *d, TreeNode *root);
// Writes character sc's vector in a record as the states `indexBits` at no
// cost and every other at one unit, as a decision leaves it: what the
// reports read of a state decided, or of most-parsimonious states found,
// elsewhere. Only while the class's own lists are in use.
void stmSetStates(const DataInfo *d, ParsNodeSets *rec, const StmChar &sc, const StmIndexSet &indices);

// Kernels, exposed for the tests: the cost vector of a node joining records
// A and B (tags ta, tb), written to out with its zero mask; returns the
// removed minimum (kStmImpossible when every state is impossible).
int64_t stmJoin1(const StmChar &sc, const int64_t *cost, const int64_t *A, bool ta, const int64_t *B, bool tb,
                 int64_t *out);
// The same for any state count (stmJoin1 and stmSpan1 unroll 2 to 4 states).
int64_t stmJoinGeneric1(const StmChar &sc, const int64_t *cost, const int64_t *A, bool ta, const int64_t *B, bool tb,
                        int64_t *out);
// Least cost of joining A and B through one node.
int64_t stmSpan1(const StmChar &sc, const int64_t *cost, const int64_t *A, bool ta, const int64_t *B, bool tb);
int64_t stmSpanGeneric1(const StmChar &sc, const int64_t *cost, const int64_t *A, bool ta, const int64_t *B, bool tb);
// The same through the pair grids of a character that has them (sc.grid).
int64_t stmGridJoin1(const DataInfo *d, const StmChar &sc, const int64_t *A, bool ta, const int64_t *B, bool tb,
                     int64_t *out);
int64_t stmGridSpan1(const DataInfo *d, const StmChar &sc, const int64_t *A, bool ta, const int64_t *B, bool tb);
// Length of cost units (Dollo: gains plus losses, scaled for real matrices).
double stmUnitsToLength(const StmChar &sc, int64_t units);

// How many steps of a Dollo or irreversible character's series (index
// order), counted from its lowest state, are gained going down: those at or
// below the lowest state of a given ancestor (its index bits; 0 when open),
// or with an open ancestor every step of a ".dn" variant and none of the
// others.
uint32_t stmTurnedSteps(uint32_t status, const StmChar &sc, uint64_t ancestor);

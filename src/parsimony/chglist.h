// What a reconstruction says about each character: change lists (per
// character, the branches on which it changes), apomorphy lists (per branch,
// the characters that change on it) and the character diagnostics table
// (lengths, length bounds and fit indices per character).
//
// Every routine reads a tree that optimizeAndRootTree has scored, rooted and
// reconstructed: the per-character lengths of that scoring, the assigned
// states in the down records and the MPR sets in the final records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

struct DataInfo;
struct Tree;
struct TreeNode;

// Every label in these listings (taxon, node and character) is cut at this
// many characters; each printed piece is formatted into a buffer sized from
// it, so no label or state text can run past a field.
inline constexpr size_t kChgLabelLimit = 32;

// The state of toSet closest to a state of fromSet (bit set, raw state
// order) and the cost of the change; the lowest such state on ties.
uint64_t findClosestState(uint64_t toSet, uint64_t fromSet, uint32_t c, const DataInfo *d, double *outLen);
// For a tip whose cell is a polymorphism (and msTaxa not "uncertain"), the
// number of its states; 0 otherwise.
uint32_t termPoly(const TreeNode *node, uint32_t c, uint64_t set, const DataInfo *d);
// The cost inside a polymorphic terminal of nStates states reached at state.
double getTermSubtreeLen(const DataInfo *d, uint32_t c, uint32_t nStates, uint64_t set, uint32_t state);

// One change of a character on one branch, from the ancestor side (in the
// unrooted sense) to the other.
struct CharChange {
    const TreeNode *from;
    const TreeNode *to;
    uint64_t fromSet;   // assigned state, or a tip's cell
    uint64_t toSet;     // to's assigned state, or a tip's cell
    uint64_t toState;   // the closest state of to's set
    double cost;        // steps on the branch
    double terminal;    // steps inside a polymorphic tip (0 when none)
    bool reversed;      // the branch joining the two root edges: "<->"
    bool unambiguous;   // in every MPR: "==>"
};
// The state bits of an internal node in a likelihood reconstruction
// (negative for none). Empty: the listings read the parsimony
// reconstruction, with steps, CI and the changes common to every MPR.
using ReconStates = std::function<int64_t(const TreeNode *, uint32_t)>;

// The changes of character c in preorder of the branch's lower node; a
// polymorphic tip without a change on its branch still appears when it has
// terminal steps (under parsimony).
std::vector<CharChange> listCharChanges(Tree *tree, const DataInfo *d, uint32_t c, const ReconStates &ml = {});

void showChangeLists(Tree *tree, const DataInfo *d, const ReconStates &ml = {});
void showApoLists(Tree *tree, const DataInfo *d, const ReconStates &ml = {});
void showCharDiagnostics(const DataInfo *d);

// Column layout of the diagnostics table: true when the wide layout does not
// fit and the narrow one is used. *anyUnknown tells whether some character's
// within-terminal cost is unknown.
bool getFieldWidths(const DataInfo *d, int fixedWidth, int columns, int alternative, int *labelWidth,
                    int *columnWidth, bool *anyUnknown);

// Taxon-by-taxon distances of a reconstruction over the characters packed as
// ordered (binary and ordered multistate), in an ntax x ntax row-major
// matrix: below the diagonal (row i > column j) the observed distance of
// taxa i and j (a taxon whose cell is missing stands in for its ancestor's
// states), above it (row j, column i) the patristic distance, the sum of the
// adjusted branch lengths on the path between them. Entries of taxa not on
// the tree stay 0.
struct PatristicSums {
    double observed = 0.0;
    double homoplasy = 0.0;  // sum of patristic - observed: Farris's f value
    double ratio = -1.0;     // homoplasy / observed, -1 when observed is 0
    double largest = 0.0;    // largest patristic distance
};
// True when the sum of observed distances is positive.
bool getPDmatrix(const Tree *tree, const DataInfo *d, std::vector<double> &matrix, PatristicSums *sums);
// Whether characters that the matrices leave out (unordered with more than
// two states) are included.
bool patristicExcludesSome(const DataInfo *d);

// Bit-parallel lengths of two-state Dollo and irreversible characters on a
// tree rooted at the ancestor: one bit per character in 64-bit words, so that
// a node costs a few word operations per 64 characters where the cost
// vectors take a join per character.
//
// In each character one state is derived (the higher one, the lower for the
// ".dn" variants) and the other primitive; a terminal either must hold the
// derived state, must hold the primitive one, or may hold either (missing,
// uncertain and polymorphic cells: the cost vectors read them the same way).
//
// Irreversible (a gain costs 1, a loss is impossible): a node's subtree is
// summarised by N (some terminal must be primitive, so the node cannot be
// derived) and P (not N, and some terminal must be derived). A derived
// subtree hung from a node that must stay primitive costs one gain, so a
// node adds one step for each child with P when it has N itself. Below an
// ancestor that must be derived an N subtree is impossible.
//
// Dollo (gains cost more than any number of losses, so one gain at most):
// with H1 (some terminal must be derived) and H0 (some must be primitive),
// the derived state is gained once at the most recent common ancestor of the
// H1 terminals, and every child without H1 but with H0 of a derived node is a
// loss. Nodes above that ancestor (a chain from the root, each with exactly
// one H1 child) stay primitive, which a preorder pass marks. An ancestor that
// is derived makes every H1 node derived and gains nothing. An ancestor left
// open counts no step on its edge, so the character costs the lesser of what
// the two ancestral states cost: the primitive one's (the gain and the losses
// below it) less the gain when no H0 subtree hangs from the chain above the
// gain (under a derived ancestor each would be a loss).
#pragma once

#include <cstdint>
#include <vector>

#include "parsimony/packx.h"

struct Tree;

// The characters scored by bits, the cost-vector lists without them, and the
// terminal rows, made from the packed data by prepareDirBits.
struct DirBits {
    std::vector<int32_t> fullChars;  // the cost-vector class's stmChars it was made from
    std::vector<int32_t> restChars;  // the same without the characters scored here
    std::vector<StmLane> restLanes;
    std::vector<StmBlock> restBlocks;
    uint32_t restBlockLanes = 0;
    uint32_t words = 0;     // irreversible words first, then Dollo words
    uint32_t irrWords = 0;
    uint32_t ntax = 0;
    std::vector<double> weight;      // per word: every character of a word has one weight
    std::vector<uint32_t> charOf;    // word x 64 + bit -> character; kNoChar for padding
    std::vector<uint64_t> ancDer, ancPrim;  // per word: the ancestor must be derived / primitive
    std::vector<uint64_t> tipDer, tipPrim;  // ntax x words
};

inline constexpr uint32_t kNoChar = UINT32_MAX;

// True for the characters the bit path scores: two-state Dollo and
// irreversible ones (user-type stepmatrices stay with the cost vectors, and
// so do characters with polymorphic terminals, whose cost depends on the
// state they hang from in a way the bits do not hold).
inline bool dirBitsRoutes(const StmChar &sc) { return !sc.userType && sc.n == 2 && !sc.polyTips; }

// (Re)makes the bit layout once the weights are final; 0 when done. Clears it
// when no character qualifies.
int prepareDirBits(DataInfo *d);

// True when the tree's length may take the bit path: characters are routed
// to it, the layout belongs to the current packing and the tree hangs from
// the ancestor by one edge.
bool dirBitsApply(const DataInfo *d, const Tree *tree);

// The routed characters' length on the tree (per-character steps added to
// the counts when perChar); kNoScore when a change they need is impossible,
// kDirBitsNoTree when a terminal of the tree has no packed row.
inline constexpr double kDirBitsNoTree = -1.0;

double dirBitsTreeLength(const DataInfo *d, Tree *tree, bool perChar);

// While alive, the cost-vector class leaves the routed characters out of its
// passes (their node vectors are then stale: for lengths only).
class DirBitsAside {
public:
    explicit DirBitsAside(PackedData *pd);
    ~DirBitsAside();
    DirBitsAside(const DirBitsAside &) = delete;
    DirBitsAside &operator=(const DirBitsAside &) = delete;

private:
    PackedData *pd_;
};

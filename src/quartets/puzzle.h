// Quartet puzzling: every quartet of taxa (or, for rooted parsimony
// analyses, every rooted triple) is resolved once under the current
// criterion into a mask of its best topologies; many puzzling steps then
// each build a tree by inserting the taxa in random order on the edge that
// conflicts least with those masks, and the trees found are summarised by
// their weighted majority-rule consensus.
#pragma once

#include <cstdint>
#include <vector>

struct DataInfo;
struct RNG;
struct Tree;
struct TreeBuffer;

inline constexpr uint32_t kMaxPuzzleTaxa = 477;

// Topology masks of a quartet w < x < y < z: 1 = wx|yz, 2 = wy|xz,
// 4 = wz|xy. Of a rooted triple a < b < c: the outgroup, 1 = a, 2 = b, 4 = c.
uint8_t choose1Randomly(RNG *rng, uint8_t mask);

// The mask of a quartet from the log likelihoods of its three topologies:
// the point of the likelihood-mapping triangle nearest to the topologies'
// posterior weights.
uint8_t likelihoodMappingMask(const double lnL[3]);
// The mask of the topologies (or outgroups) whose score equals the least.
uint8_t bestScoreMask(const double score[3]);

// One mask byte per quartet (or rooted triple), addressed by its sorted
// taxa through the combinatorial number system.
class PuzzleRelations {
public:
    PuzzleRelations() = default;
    // False when the table cannot be allocated.
    bool init(uint32_t ntax, bool triples);
    uint32_t ntax() const { return n_; }
    bool triples() const { return triples_; }
    uint64_t count() const { return masks_.size(); }
    uint8_t &quartet(uint32_t a, uint32_t b, uint32_t c, uint32_t d)
    {
        return masks_[binom_[4][d] + binom_[3][c] + binom_[2][b] + a];
    }
    uint8_t quartet(uint32_t a, uint32_t b, uint32_t c, uint32_t d) const
    {
        return masks_[binom_[4][d] + binom_[3][c] + binom_[2][b] + a];
    }
    uint8_t &triple(uint32_t a, uint32_t b, uint32_t c) { return masks_[binom_[3][c] + binom_[2][b] + a]; }
    uint8_t triple(uint32_t a, uint32_t b, uint32_t c) const { return masks_[binom_[3][c] + binom_[2][b] + a]; }
    // Quartets with one, two and three best topologies.
    void countResolution(uint64_t out[3]) const;

private:
    uint32_t n_ = 0;
    bool triples_ = false;
    std::vector<uint64_t> binom_[5];  // binom_[k][m] = C(m, k)
    std::vector<uint8_t> masks_;
};

enum class PuzzlePenalties : uint8_t { Standard, Full };

// Builds the tree of one puzzling step. Nodes 0 .. n-1 are the taxa,
// internal nodes follow, and for rooted triples the last node is the root.
// Unrooted trees are held at the first taxon placed, as a root leaf.
class PuzzleStepper {
public:
    PuzzleStepper(const PuzzleRelations &rel, PuzzlePenalties mode);
    // One whole step with a fresh random insertion order.
    void run(RNG *rng);
    // The pieces of a step, in order: the starting tree of the first 3 (rooted
    // triples) or 4 taxa, then for each further taxon its penalties and its
    // insertion on the edge above a node.
    void start(const uint32_t *first, RNG *rng);
    // Penalty of the edge above each node, in preorder from the first fork;
    // nodes[i] is the node of penalties[i].
    void penalties(uint32_t u, RNG *rng, std::vector<uint32_t> &nodes, std::vector<uint64_t> &pen);
    void insert(uint32_t u, uint32_t node);
    // The tree as the program's tree record: unrooted trees held at taxon 0,
    // rooted triples at the ancestor. 0 or 1.
    int toTree(Tree *tree) const;

    uint32_t parentOf(uint32_t node) const { return parent_[node]; }
    uint32_t rootNode() const { return root_; }
    uint32_t junction(uint32_t a, uint32_t b) const;

private:
    static constexpr uint32_t kNone = UINT32_MAX;
    void updatePenalties(uint32_t p, uint32_t q, uint32_t r);
    void link(uint32_t parent, uint32_t child);
    void preorder(std::vector<uint32_t> &out);

    const PuzzleRelations &rel_;
    PuzzlePenalties mode_;
    uint32_t n_;
    bool triples_;
    uint32_t root_ = kNone;
    uint32_t nextInner_ = 0;
    std::vector<uint32_t> parent_, child_[2];
    std::vector<uint32_t> junction_;  // n x n
    std::vector<uint32_t> placed_;    // sorted
    std::vector<uint32_t> perm_;
    // Standard penalties: calls naming each taxon, and twice the calls whose
    // pair meets at each node. Full: penalties of the whole tree, exemptions
    // of subtrees, and penalties of everything below a node.
    std::vector<uint64_t> taxonCalls_, meetCalls_, exempt_, below_;
    uint64_t wholeTree_ = 0;
    std::vector<uint32_t> order_, stack_, mark_;
    std::vector<uint64_t> work_, acc_;
    std::vector<uint32_t> tieNodes_;
    std::vector<uint64_t> tiePen_;
    uint32_t stamp_ = 0;
};

// The mask of the quartet a < b < c < d under the current criterion, its
// three trees built and scored on `tree` (a working tree over every taxon);
// 0 when a tree could not be scored.
uint8_t evaluatePuzzleQuartet(Tree *tree, DataInfo *data, uint32_t a, uint32_t b, uint32_t c, uint32_t d,
                              bool likelihood);

int doPuzzleCmd();
bool doingQuartetPuzzling();

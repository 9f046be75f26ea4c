// The quartet assembly methods QSearch runs, and the small unrooted graph
// two of them assemble before the result is laid into a tree record.
//
// Each method builds its tree over the n taxa of the quartet data's table in
// the work tree (rooted at the tip of taxon 0) and returns 0, 1 on memory
// failure or 2 when the user stopped it.
#pragma once

#include <cstdint>
#include <vector>

struct ProgData;
struct QwtTable;
struct QuartetData;
struct RNG;
struct Tree;

struct QfmOptions {
    uint32_t ptn = 1;        // 0 Ostrel, 1 A, 2 B, 3 C
    uint32_t iter = 0;       // 0 new, 1 old, 2 Ostrel
    uint32_t maxSplitsB = 0; // 0: unlimited
};
struct WoOptions {
    bool random = false;     // random addition sequence (else dynamic)
    uint32_t nreps = 1;
    bool showReps = false;
};

int qsearch_QFM(QuartetData *qd, Tree *tree, ProgData *progress, const QfmOptions &options);
int qsearch_WO(QuartetData *qd, Tree *tree, RNG *rng, const WoOptions &options);
int qsearch_BS(QuartetData *qd, Tree *tree, bool useHashing);
int qsearch_QJ(QuartetData *qd, Tree *tree);

// The scores BS orders taxa by: for the pair (i, j) and a third taxon x, the
// sum over the other taxa y of w(ix|yj) - w(iy|xj). All of them are
// gathered in one pass over the table, since a lookup per (i, j, x, y) is
// random access to a table far larger than the caches; each is summed over
// y in increasing order, as a direct loop sums it, so the values are the
// same to the bit.
class BsOrderingScores {
public:
    explicit BsOrderingScores(const QwtTable *t);
    // i, j, x distinct.
    double of(uint32_t i, uint32_t j, uint32_t x) const;

private:
    static uint64_t pairIndex(uint32_t p, uint32_t q) { return uint64_t{q} * (q - 1) / 2 + p; }
    double *triple(uint32_t p, uint32_t q, uint32_t r)
    {
        return acc_.data() + 3 * (rowStart_[pairIndex(p, q)] + r - q - 1);
    }
    const double *triple(uint32_t p, uint32_t q, uint32_t r) const
    {
        return acc_.data() + 3 * (rowStart_[pairIndex(p, q)] + r - q - 1);
    }

    uint32_t n_;
    std::vector<uint64_t> rowStart_;  // by pair p < q
    std::vector<double> acc_;         // three per triple p < q < r
};

// Satisfied minus violated weight of the quartets with two taxa on each side
// of a bipartition of table indices (side[k] true: the first side).
double countSatisfiedViolated(const QuartetData *qd, const std::vector<uint8_t> &side);

// An unrooted tree under construction: nodes with neighbour lists; a leaf
// carries its taxon, an inner node -1.
struct QGraph {
    std::vector<std::vector<uint32_t>> adj;
    std::vector<int32_t> taxon;
    uint32_t addNode(int32_t t)
    {
        adj.emplace_back();
        taxon.push_back(t);
        return static_cast<uint32_t>(adj.size() - 1);
    }
    void link(uint32_t a, uint32_t b)
    {
        adj[a].push_back(b);
        adj[b].push_back(a);
    }
    void unlink(uint32_t a, uint32_t b);
};

// Lays the graph into the tree (taxa 0 .. ntax-1, every one a leaf of the
// graph), rooted at the tip of rootTaxon; inner nodes of degree two are
// passed over. 0, or 1 when the graph is not a tree over those taxa.
int buildTreeFromGraph(Tree *tree, uint32_t ntax, const QGraph &g, uint32_t rootTaxon);
// Over taxa 0 .. ntax-1 of which four are leaves: the tree a b | c d rooted
// at the tip of a, or with a < 0 the rooted tree in which b is the outgroup
// of (c, d). 0, or 1 when the nodes cannot be had.
int make4TreeForQuartets(Tree *tree, uint32_t ntax, int32_t a, uint32_t b, uint32_t c, uint32_t d);

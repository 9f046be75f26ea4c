// Astral: a species tree from the trees in memory taken as gene trees. Every
// quartet topology a gene tree displays adds 1 to that topology's weight in
// the data set's quartet table; the quartet search then finds the tree that
// best fits the summed weights.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

struct QwtTable;
struct Tree;

// Work arrays of the quartet counter, kept from one gene tree to the next so
// that counting allocates nothing once they have grown.
// Gene trees whose quartets are counted in one sweep of the table.
inline constexpr uint32_t kMaxGeneBatch = 16;

struct GeneQuartetCounter {
    std::vector<uint16_t> dist;      // per tree of a batch, path lengths in edges between leaves
    std::vector<uint32_t> leaves;    // the tree's leaves (table indices), increasing
    std::vector<uint32_t> preorder;  // the tree's leaves in preorder
    std::vector<uint32_t> depth;     // per node position, edges below the root
    std::vector<uint32_t> first;     // per node position, its leaves in preorder: [first, last)
    std::vector<uint32_t> last;
    std::vector<uint16_t> runSums;   // three topologies' counts over one run of cells
};

// Adds 1 for each gene tree to every quartet topology it displays, among the
// leaves it holds (a tip's index is its table index); a quartet that meets
// in a polytomy adds nothing, and where a tree is rooted does not matter.
// The table must hold float weights. Returns the number of additions.
uint64_t addGeneTreeQuartets(QwtTable *table, std::span<Tree *const> trees, GeneQuartetCounter &work);

// The table's nonzero count after weights were added directly.
uint32_t countNonzeroQuartetWts(const QwtTable *table);

int doAstralCmd();

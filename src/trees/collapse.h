// Contracting the internal edges of a tree that a collapse test did not
// mark: the tree side of branch collapsing. Which edges must stay is decided
// by the criterion's own test (the parsimony test lives with the searches);
// it marks each kept edge with kNodeKeepEdge on the node below it.
#pragma once

#include <cstdint>

struct Tree;

// The collapse rules of the "collapse" options, in keyword order.
enum class CollapseRule : uint32_t {
    kNo = 0,
    kMaxBrlen = 1,  // an edge goes when no character can change on it
    kMinBrlen = 2,  // an edge goes unless some character must change on it
    kAmbEqual = 3,  // an edge goes when its end nodes' MPR sets are equal
};

inline CollapseRule collapseRuleFromIndex(uint32_t index)
{
    return index <= static_cast<uint32_t>(CollapseRule::kAmbEqual) ? static_cast<CollapseRule>(index)
                                                                     : CollapseRule::kNo;
}

// Node flag bit: the edge from this node to its ancestor is kept.
inline constexpr uint8_t kNodeKeepEdge = 32;

void clearKeepFlags(Tree *tree);
// Contracts every internal node below the basal fork whose keep flag is
// clear; tips, the root and the basal fork stay. The keep flags are cleared
// afterwards. Returns the number of edges contracted.
uint32_t contractUnkeptEdges(Tree *tree);

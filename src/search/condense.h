// Branch collapsing and the Condense command: which internal edges of a tree
// no character supports (under parsimony) or have no fitted length (under
// likelihood and distance), contracting them so that trees that
// differ only in unsupported resolutions become one, and the command that
// does this to the trees in memory.
#pragma once

#include <cstdint>

#include "trees/collapse.h"

struct DataInfo;
struct Tree;
struct HSearchData;

// Step bits of one ordered lane pair (definitely-above, possibly-above words
// of two sets): the subcharacters whose sets are disjoint, or under ambEqual
// whose sets differ at all.
inline uint64_t setStepsForCollapse(uint64_t aD, uint64_t aP, uint64_t bD, uint64_t bP, CollapseRule rule)
{
    return rule == CollapseRule::kAmbEqual ? (aD ^ bD) | (aP ^ bP) : (aD ^ bD) & (aP ^ bP);
}

// Sets the keep flag on every edge that must stay under the rule (with
// useConstraints, also every edge the enforced constraint needs); under
// likelihood and distance on the tree's lengths instead. The parsimony state
// sets are computed in storage of this unit, so the sets of a tree being
// swapped are left alone. False when no test could be made (no packed
// parsimony data or a tree without set slots): then every edge is kept.
bool checkCollapse(Tree *tree, const DataInfo *data, bool useConstraints, CollapseRule rule);

// Contracts the edges the rule does not keep; true when any edge went.
// Under likelihood or distance any rule but kNo collapses by the tree's
// fitted lengths instead, fitted first when computeScore is set.
bool collapseUnsupportedEdges(Tree *tree, const DataInfo *data, bool useConstraints, CollapseRule rule,
                              bool computeScore = false);

// The rule a search collapses the trees it stores by: the PSet rule under
// parsimony, none under the other criteria.
CollapseRule searchCollapseRule();
// The store hook of the heuristic search.
void collapseForSearch(HSearchData *hsd, Tree *tree);
// Whether the trees a search stores are collapsed (by the parsimony rule, or
// by the criterion's own collapse), and how, for the settings report.
bool searchCollapses();
const char *searchCollapseDescription();

// Settings-report words for a rule, e.g. "maximum branch length is zero".
const char *collapseRuleDescription(CollapseRule rule);

int doCondenseCmd();

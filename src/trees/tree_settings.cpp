#include "trees/tree_settings.h"

RootingSettings rooting = {kRootOutgroup, kOutRootPolytomy, 0};
TreeDrawSettings treeDraw = {kTreeOrderStandard, 0, 0, 0};
GetTreesSettings getr = {1, 1};
TreeInfo treeInfo = {kDefaultMaxtrees, static_cast<uint32_t>(MaxtreesAction::kPrompt),
                     kDefaultAutoInc, 0, 0, 0, 0, 0};

uint32_t getMaxtreesValue() { return treeInfo.maxtrees; }

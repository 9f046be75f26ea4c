#include "selection/sim_surfcheck.h"

#include "data/vorn_data.h"
#include "selection/simblock_state.h"
#include "trees/treeutil.h"

int surfCheckSimulationState(SurfCheckSimulation *out)
{
    *out = SurfCheckSimulation{};
    if (!gSim || !gSim->running || gSim->rep < 0)
        return 0;
    const SimBlock &s = *gSim;
    out->running = true;
    out->first = s.rep == 0 && s.lengthIndex == 0;
    out->replicate = s.rep + 1;
    TreeHandle tree(createTree(false));
    if (!tree || loadTrueTree(0, tree.get()) != 0)
        return 1;
    setTraversalSeq(tree.get());
    const DataInfo *d = activeDataInfo();
    for (const TreeNode *p = tree->root; p != nullptr; p = p->next) {
        if (p->index < 0)
            continue;
        const auto k = static_cast<uint32_t>(p->index);
        out->nodeNames.push_back(isTip(p) && d ? std::string(getTaxLabel(d, k)) : "node" + std::to_string(k + 1));
        out->nodeLengths.push_back(p->edge.brlen);
    }
    return 0;
}

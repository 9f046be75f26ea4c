// Reads the taxa of a NEXUS data file and then a tree file (TREES block or
// plain Newick) through the tree reader, and prints every tree as its splits
// for the comparison with independent tree readers:
//   "TREE" TAB name TAB weight TAB "R"|"U"
//   then per branch: the labels below it, sorted, joined by "|", TAB length
// For unrooted trees the side without the first taxon is printed. Exit
// status 0, or 1 when a file was refused.
//
// Usage: treedump DATAFILE TREEFILE
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "dump_support.h"
#include "trees/readtree.h"
#include "trees/treebuf.h"
#include "trees/treebuf_extras.h"

namespace {

int readTrees()
{
    // As GetTrees finds them: a plain file's first "[&U]" or "[&W ...]"
    // stays with its tree.
    bool plain = false;
    if (skipToTrees(&plain, "") != 0)
        return 1;
    return processTreesBlock(kKeepReplace, (plain ? static_cast<uint32_t>(kReadPlainFile) : 0u) | kReadStoreBrlens | kReadStoreWeights,
                             0, 0xFFFFFFFFu, false, false, false, false);
}

void dumpTree(TreeBuffer *buf, DataInfo *d, uint32_t n, Tree *tree)
{
    getTree(buf, n, tree);
    makeAllLeafSets(tree);
    const double *w = getTreeWtBuf(buf);
    std::printf("TREE\t%s\t%.10g\t%c\n", getTreeName(buf, n).c_str(), w ? w[n - 1] : 1.0, buf->rooted ? 'R' : 'U');
    const uint32_t ntax = d->ntax;
    TreeNode *top = tree->root->index < 0 ? tree->root->firstChild : tree->root;
    std::map<std::string, double> splits;
    for (TreeNode *p = nextPreorderNode(top, top); p; p = nextPreorderNode(p, top)) {
        std::vector<bool> in(ntax);
        for (uint32_t t = 0; t < ntax; t++)
            in[t] = isTaxInLeafSet(static_cast<int32_t>(t), false, p->leafSet);
        if (!buf->rooted) {
            // The stored root tip is below no node; complement against the
            // taxa on the tree.
            if (in[0])
                for (uint32_t t = 0; t < ntax; t++)
                    in[t] = !in[t] && (tree->nodes[1 + t].anc || tree->root == tree->nodes + 1 + t);
        }
        std::vector<std::string> labels;
        for (uint32_t t = 0; t < ntax; t++)
            if (in[t])
                labels.push_back(taxLabelString(d, t));
        std::sort(labels.begin(), labels.end());
        std::string key;
        for (const auto &l : labels)
            key += (key.empty() ? "" : "|") + l;
        splits[key] += treeInfo.userBrlens ? p->edge.brlen : 0.0;
    }
    for (const auto &[key, len] : splits)
        std::printf("%s\t%.10g\n", key.c_str(), len);
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 3)
        return 2;
    if (dumptool::startDataReader() != 0)
        return 2;
    installTreeHooks();
    if (dumptool::withInput(argv[1], [] { return dumptool::readDataBlocks(false); }) != 0 ||
        !(activeDataInfo()->flags & kHaveTaxa))
        return 1;
    if (dumptool::withInput(argv[2], readTrees) != 0)
        return 1;
    DataInfo *d = activeDataInfo();
    TreeBuffer *buf = getMainTreeBuffer(d);
    Tree *tree = createTree(true);
    for (uint32_t n = 1; buf && n <= buf->numTrees; n++)
        dumpTree(buf, d, n, tree);
    destroyTree(tree, true);
    destroyDataInfo(d);
    qel_finalizeCmdOptions();
    return 0;
}

#include "quartets/astral.h"

#include <algorithm>
#include <cstdio>

#include "cli/qel_cmdline.h"
#include "data/taxstat.h"
#include "data/vorn_data.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_multithread.h"
#include "qel/qel_output.h"
#include "qel/qel_random.h"
#include "qel/qel_sets.h"
#include "qel/qel_time.h"
#include "quartets/qsearch.h"
#include "quartets/quartets.h"
#include "quartets/quartets_settings.h"
#include "search/hsprep.h"
#include "trees/treebuf.h"
#include "trees/treebuf_extras.h"
#include "trees/treeedit.h"
#include "trees/treelist.h"
#include "trees/treeutil.h"

namespace {

// Path lengths in edges between every two leaves of the tree, and its leaves
// in increasing order. Leaves are numbered by tip index; dist has tree->ntax
// columns. A quartet's topology follows from these lengths alone (below), so
// the root of the tree never matters: a node of degree two only lengthens
// paths through it.
void leafDistances(Tree *tree, GeneQuartetCounter &w)
{
    checkTraversalSeq(tree);
    const uint32_t nt = tree->ntax;
    w.dist.resize(static_cast<size_t>(nt) * nt);
    w.depth.resize(tree->maxNodes);
    w.first.resize(tree->maxNodes);
    w.last.resize(tree->maxNodes);
    w.preorder.clear();
    w.leaves.clear();
    TreeNode *root = tree->root;
    if (!root)
        return;
    const int32_t rootTip = root->index >= 0 && static_cast<uint32_t>(root->index) < nt ? root->index : -1;
    auto pos = [tree](const TreeNode *p) { return nodePosition(tree, p); };
    // In preorder the leaves below a node are one run of the leaf list.
    w.depth[pos(root)] = 0;
    for (TreeNode *p = root; p; p = p->next) {
        if (p != root)
            w.depth[pos(p)] = w.depth[pos(p->anc)] + 1;
        w.first[pos(p)] = static_cast<uint32_t>(w.preorder.size());
        if (!p->firstChild && p->index >= 0 && static_cast<uint32_t>(p->index) < nt)
            w.preorder.push_back(static_cast<uint32_t>(p->index));
    }
    for (TreeNode *p = tree->tail; p; p = p->prev) {
        uint32_t end = w.first[pos(p)] + (p->firstChild ? 0u : 1u);
        for (TreeNode *c = p->firstChild; c; c = c->nextSib)
            end = std::max(end, w.last[pos(c)]);
        w.last[pos(p)] = end;
    }
    const uint32_t *leaf = w.preorder.data();
    uint16_t *d = w.dist.data();
    auto depthOf = [&](uint32_t taxon) { return w.depth[pos(tree->firstTip + taxon)]; };
    for (TreeNode *v = root; v; v = v->next)
        for (TreeNode *c1 = v->firstChild; c1; c1 = c1->nextSib)
            for (TreeNode *c2 = c1->nextSib; c2; c2 = c2->nextSib)
                for (uint32_t i = w.first[pos(c1)]; i < w.last[pos(c1)]; i++) {
                    const uint32_t a = leaf[i], da = depthOf(a) - 2 * w.depth[pos(v)];
                    for (uint32_t j = w.first[pos(c2)]; j < w.last[pos(c2)]; j++) {
                        const uint32_t b = leaf[j];
                        d[static_cast<size_t>(a) * nt + b] = d[static_cast<size_t>(b) * nt + a] =
                            static_cast<uint16_t>(da + depthOf(b));
                    }
                }
    if (rootTip >= 0) {
        const auto r = static_cast<uint32_t>(rootTip);
        for (uint32_t b : w.preorder)
            d[static_cast<size_t>(r) * nt + b] = d[static_cast<size_t>(b) * nt + r] = static_cast<uint16_t>(depthOf(b));
        w.preorder.push_back(r);
    }
    w.leaves = w.preorder;
    std::sort(w.leaves.begin(), w.leaves.end());
}

// Adds the quartets w < x < y < z of the leaves leaf(0) < ... < leaf(m-1)
// in the table's own order (rows by x then w, cells by z then y), so that
// the weights are written in one forward sweep. The topology whose two pairs
// are closest is displayed: with path lengths d, wx|yz holds when
// d(w,x) + d(y,z) is less than both other sums; a quartet meeting in a
// polytomy has all three equal. Leaf is the identity when the tree holds
// every taxon of the table, which makes the innermost reads and writes
// contiguous.
template <typename Leaf>
uint64_t addQuartetsInTableOrder(QwtTable *table, const uint16_t *D, size_t N, uint32_t m, Leaf leaf)
{
    const uint32_t *offs = table->offs.data();
    float *wts = table->wts.data();
    uint64_t added = 0;
    for (uint32_t xi = 1; xi + 2 < m; xi++) {
        const uint32_t x = leaf(xi);
        const uint16_t *Dx = D + x * N;
        for (uint32_t wi = 0; wi < xi; wi++) {
            const uint32_t w = leaf(wi);
            const uint16_t *Dw = D + w * N;
            const uint32_t dwx = Dw[x];
            const uint64_t row = table->rowStart[offs[x] + w];
            for (uint32_t zi = xi + 2; zi < m; zi++) {
                const uint32_t z = leaf(zi);
                const uint16_t *Dz = D + z * N;
                const uint32_t dwz = Dw[z], dxz = Dx[z];
                // The cells of this z start at y = x + 1.
                float *cells = wts + 3 * (row + offs[z - x - 1]);
                uint32_t count = 0;
                for (uint32_t yi = xi + 1; yi < zi; yi++) {
                    const uint32_t y = leaf(yi);
                    const uint32_t s0 = dwx + Dz[y], s1 = Dw[y] + dxz, s2 = dwz + Dx[y];
                    const uint32_t t0 = s0 < s1 && s0 < s2, t1 = s1 < s0 && s1 < s2, t2 = s2 < s0 && s2 < s1;
                    float *c = cells + 3 * (y - x - 1);
                    c[0] += static_cast<float>(t0);
                    c[1] += static_cast<float>(t1);
                    c[2] += static_cast<float>(t2);
                    count += t0 + t1 + t2;
                }
                added += count;
            }
        }
    }
    return added;
}

}  // namespace

uint64_t addGeneTreeQuartets(QwtTable *table, Tree *tree, GeneQuartetCounter &work)
{
    leafDistances(tree, work);
    // Leaves beyond the table (none when the table is made for the buffer's
    // trees) cannot be counted.
    auto &leaves = work.leaves;
    leaves.erase(std::lower_bound(leaves.begin(), leaves.end(), table->n), leaves.end());
    const auto m = static_cast<uint32_t>(leaves.size());
    if (m < 4)
        return 0;
    table->totalWt = 0.0;
    const uint16_t *D = work.dist.data();
    const size_t N = tree->ntax;
    if (m == table->n)
        return addQuartetsInTableOrder(table, D, N, m, [](uint32_t i) { return i; });
    const uint32_t *L = leaves.data();
    return addQuartetsInTableOrder(table, D, N, m, [L](uint32_t i) { return L[i]; });
}

uint32_t countNonzeroQuartetWts(const QwtTable *table)
{
    return static_cast<uint32_t>(
        std::count_if(table->wts.begin(), table->wts.end(), [](float w) { return w != 0.0f; }));
}

namespace {

struct AstralTask {
    DataInfo *d;
    std::vector<uint32_t> trees;  // 1-based tree numbers, increasing
};

int astralAborted()
{
    qel_printf("\nAstral analysis aborted by user.\n");
    return 2;
}

int astralThreadProc(void *arg)
{
    auto *task = static_cast<AstralTask *>(arg);
    DataInfo *d = task->d;
    startGlobalTimer();
    struct TimerStop {
        ~TimerStop() { stopGlobalTimer(); }
    } timerStop;
    TreeBuffer *buf = getMainTreeBuffer(nullptr);
    QuartetData *qd = allocQuartetData(getTreeBufMaxLeaves(buf), true, false);
    if (!qd)
        return qel_errorMsg(0, "Not enough memory for the quartet weights of %u taxa.", getTreeBufMaxLeaves(buf)), 1;
    deallocQuartetData(d->quartets);
    d->quartets = qd;
    qel_printf("\nAnalysis using Astral method\n");
    TreeHandle tree(createTree(true));
    if (!tree)
        return 1;
    // The weights gathered stay installed however the gathering ends, so
    // the table's count and flag are made right on every exit.
    auto settle = [qd] {
        qd->table->numNonzero = countNonzeroQuartetWts(qd->table);
        qd->weighted = 1;
    };
    GeneQuartetCounter work;
    for (uint32_t k : task->trees) {
        if (getAbortedStatus() && confirmAbortRequest())
            return settle(), astralAborted();
        if (getTree(buf, k, tree.get()) != 0)
            return settle(), 1;
        addGeneTreeQuartets(qd->table, tree.get(), work);
    }
    settle();
    clearTrees(false, true);
    RNG rng{};
    initRNG(&rng, makeSeed1(0));
    double incompat = 0.0;
    const int status = runQuartetSearch(qd, tree.get(), d, &rng, nullptr, 0, "Astral", false, false, &incompat);
    if (status == 2)
        return astralAborted();
    return status;
}

}  // namespace

int doAstralCmd()
{
    DataInfo *d = activeDataInfo();
    if (!d)
        return 1;
    if (int rc = noTreesAvailable(true, 0, nullptr); rc != 0)
        return rc;
    TreeBuffer *buf = getMainTreeBuffer(nullptr);
    const uint32_t inMemory = numTreesInBuffer(buf);
    SetHandle listSet(allocSet(inMemory));
    if (!listSet || getTreeList(listSet.get(), true, false) != 0)
        return 1;
    // The command has no options of its own; the search takes the QSearch
    // settings.
    if (readSemicolon() != 0)
        return 1;
    if (qopt.method == kQMethodQMC)
        return qel_errorMsg(0, "The QMC method of QSearch is not available in this version.\tSet method=QFM, WO, "
                               "BS or QJ with QSearch before running Astral."),
               1;
    AstralTask task{d, {}};
    for (uint32_t k = 0; k < inMemory; k++)
        if (isSetMember(listSet.get(), k) && isTreeVisible(k))
            task.trees.push_back(k + 1);
    if (task.trees.empty())
        for (uint32_t k = 0; k < inMemory; k++)
            if (isTreeVisible(k))
                task.trees.push_back(k + 1);
    if (d->taxa.needTaxInit)
        initTaxStatus(d);
    // Refused here, before the gene trees and any earlier quartets are given
    // up, rather than by the search afterwards.
    if (getTreeBufMaxLeaves(buf) < 4)
        return qel_errorMsg(0, "The Astral command needs at least 4 taxa."), 1;
    if (!verifyReplaceTrees())
        return 1;
    const int status = runOutputThread(astralThreadProc, &task);
    if (status == 2)
        setAbortedStatus(0);
    return status;
}

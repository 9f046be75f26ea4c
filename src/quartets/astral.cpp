#include "quartets/astral.h"

#include <algorithm>
#include <cstdio>
#include <new>

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

// Path lengths in edges between every two leaves of the tree into d (tree->ntax
// columns), and its leaves in increasing order. Leaves are numbered by tip
// index. A quartet's topology follows from these lengths alone (below), so
// the root of the tree never matters: a node of degree two only lengthens
// paths through it.
void leafDistances(Tree *tree, GeneQuartetCounter &w, uint16_t *d)
{
    checkTraversalSeq(tree);
    const uint32_t nt = tree->ntax;
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

// One tree's topologies of the quartets w x y z for a run of leaves y, whose
// distances to w, x and z start at dw, dx and dz. A function of its own:
// its restricted arguments let the compiler keep the loop in vector
// registers.
void countRun(uint16_t *__restrict sum0, uint16_t *__restrict sum1, uint16_t *__restrict sum2,
              const uint16_t *__restrict dw, const uint16_t *__restrict dx, const uint16_t *__restrict dz,
              uint32_t dwx, uint32_t dwz, uint32_t dxz, size_t run)
{
    for (size_t j = 0; j < run; j++) {
        const uint32_t s0 = dwx + dz[j], s1 = dw[j] + dxz, s2 = dwz + dx[j];
        sum0[j] = static_cast<uint16_t>(sum0[j] + ((s0 < s1) & (s0 < s2)));
        sum1[j] = static_cast<uint16_t>(sum1[j] + ((s1 < s0) & (s1 < s2)));
        sum2[j] = static_cast<uint16_t>(sum2[j] + ((s2 < s0) & (s2 < s1)));
    }
}

// Adds the quartets w < x < y < z of the leaves leaf[0] < ... < leaf[m-1],
// held by each of ntrees trees whose distance matrices (N columns) lie
// `stride` apart from D. The topology whose two pairs are closest is
// displayed: with path lengths d, wx|yz holds when d(w,x) + d(y,z) is less
// than both other sums; a quartet meeting in a polytomy has all three equal.
// The table is visited in its own order (rows by x then w, cells by z then
// y), one run of cells y at a time: the trees' topologies of a run are
// summed in three small arrays first, so that the table is swept once for
// the whole batch. Dense: the leaves are every taxon of the table (leaf[i]
// would be i, and leaf is not read), which makes the innermost reads
// contiguous.
template <bool kDense>
uint64_t addQuartetsInTableOrder(QwtTable *table, GeneQuartetCounter &work, const uint16_t *D, size_t N,
                                 size_t stride, uint32_t ntrees, uint32_t m, const uint32_t *leaf)
{
    const uint32_t *offs = table->offs.data();
    float *wts = table->wts.data();
    work.runSums.resize(3 * static_cast<size_t>(m));
    uint16_t *sum0 = work.runSums.data(), *sum1 = sum0 + m, *sum2 = sum1 + m;
    auto at = [=](uint32_t i) {
        if constexpr (kDense)
            return i;
        else
            return leaf[i];
    };
    uint64_t added = 0;
    for (uint32_t xi = 1; xi + 2 < m; xi++) {
        const uint32_t x = at(xi);
        for (uint32_t wi = 0; wi < xi; wi++) {
            const uint32_t w = at(wi);
            const uint64_t row = table->rowStart[offs[x] + w];
            for (uint32_t zi = xi + 2; zi < m; zi++) {
                const uint32_t z = at(zi), run = zi - xi - 1;
                std::fill(sum0, sum0 + run, uint16_t{0});
                std::fill(sum1, sum1 + run, uint16_t{0});
                std::fill(sum2, sum2 + run, uint16_t{0});
                for (uint32_t t = 0; t < ntrees; t++) {
                    const uint16_t *Dw = D + t * stride + w * N, *Dx = D + t * stride + x * N,
                                   *Dz = D + t * stride + z * N;
                    const uint32_t dwx = Dw[x], dwz = Dw[z], dxz = Dx[z];
                    if constexpr (kDense) {
                        // Leaf y is x + 1 + j.
                        countRun(sum0, sum1, sum2, Dw + x + 1, Dx + x + 1, Dz + x + 1, dwx, dwz, dxz, run);
                    } else {
                        for (size_t j = 0; j < run; j++) {
                            const uint32_t y = leaf[xi + 1 + j];
                            const uint32_t s0 = dwx + Dz[y], s1 = Dw[y] + dxz, s2 = dwz + Dx[y];
                            sum0[j] = static_cast<uint16_t>(sum0[j] + ((s0 < s1) & (s0 < s2)));
                            sum1[j] = static_cast<uint16_t>(sum1[j] + ((s1 < s0) & (s1 < s2)));
                            sum2[j] = static_cast<uint16_t>(sum2[j] + ((s2 < s0) & (s2 < s1)));
                        }
                    }
                }
                // The cells of this z start at y = x + 1.
                float *cells = wts + 3 * (row + offs[z - x - 1]);
                for (uint32_t j = 0; j < run; j++) {
                    float *c = cells + 3 * (at(xi + 1 + j) - x - 1);
                    c[0] += sum0[j];
                    c[1] += sum1[j];
                    c[2] += sum2[j];
                    added += sum0[j] + sum1[j] + sum2[j];
                }
            }
        }
    }
    return added;
}

// Distance matrices held together: a batch takes at most this many bytes.
constexpr size_t kBatchBytes = size_t{1} << 20;

}  // namespace

uint64_t addGeneTreeQuartets(QwtTable *table, std::span<Tree *const> trees, GeneQuartetCounter &work)
{
    uint64_t added = 0;
    uint32_t pending = 0;
    size_t N = 0, stride = 0, batch = 1;
    auto flush = [&] {
        if (pending > 0)
            added += addQuartetsInTableOrder<true>(table, work, work.dist.data(), N, stride, pending, table->n,
                                                   nullptr);
        pending = 0;
    };
    table->totalWt = 0.0;
    for (Tree *tree : trees) {
        if (pending > 0 && tree->ntax != N)
            flush();
        N = tree->ntax;
        stride = N * N;
        batch = std::clamp<size_t>(kBatchBytes / (2 * stride + 1), 1, kMaxGeneBatch);
        work.dist.resize(batch * stride);
        uint16_t *slot = work.dist.data() + pending * stride;
        leafDistances(tree, work, slot);
        // Leaves beyond the table (none when the table is made for the
        // buffer's trees) cannot be counted.
        auto &leaves = work.leaves;
        leaves.erase(std::lower_bound(leaves.begin(), leaves.end(), table->n), leaves.end());
        const auto m = static_cast<uint32_t>(leaves.size());
        if (m < 4)
            continue;
        // Trees holding every taxon wait for a batch; others are counted now
        // over their own leaves, from the slot that stays free.
        if (m == table->n) {
            if (++pending == batch)
                flush();
        } else {
            added += addQuartetsInTableOrder<false>(table, work, slot, N, 0, 1, m, leaves.data());
        }
    }
    flush();
    return added;
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
    noteQuartetTaxa(qd, d);
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
    // The gene trees are read a batch at a time, so that the table is swept
    // once for each batch.
    try {
        std::vector<TreeHandle> genes;
        std::vector<Tree *> batch;
        for (uint32_t k = 0; k < kMaxGeneBatch && k < task->trees.size(); k++) {
            genes.emplace_back(createTree(true));
            if (!genes.back())
                return settle(), 1;
            batch.push_back(genes.back().get());
        }
        GeneQuartetCounter work;
        for (size_t next = 0; next < task->trees.size(); next += batch.size()) {
            if (getAbortedStatus() && confirmAbortRequest())
                return settle(), astralAborted();
            const size_t count = std::min(batch.size(), task->trees.size() - next);
            for (size_t k = 0; k < count; k++)
                if (getTree(buf, task->trees[next + k], batch[k]) != 0)
                    return settle(), 1;
            addGeneTreeQuartets(qd->table, std::span<Tree *const>(batch.data(), count), work);
        }
    } catch (const std::bad_alloc &) {
        settle();
        return qel_errorMsg(0, "Not enough memory to count the quartets of the gene trees."), 1;
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
    // settings. A slash with nothing after it is taken, as the usage shows.
    if (peekNextChar(nullptr) == '/') {
        readNextDarkChar(nullptr);
        if (peekNextChar(nullptr) != ';')
            return qel_errorMsg(0, "The Astral command has no options of its own.\tThe species tree is searched "
                                   "for with the QSearch settings (method, local search)."),
                   1;
    }
    if (readSemicolon() != 0)
        return 1;
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

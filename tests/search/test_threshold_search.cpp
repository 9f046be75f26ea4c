// Threshold parsimony and Goloboff fit in the searches: every move score,
// every stored score and the optimum found, against a plain scorer written
// here (one character at a time, Fitch sets on the unrooted tree, ordered
// characters as their binary threshold coding).
#include <bit>
#include <cstring>
#include <functional>
#include <random>
#include <set>

#include "parsimony/calcsets.h"
#include "search/hsearch.h"
#include "search/nniswap.h"
#include "search/search_settings.h"
#include "search/stepwise.h"
#include "search/swap_test_support.h"
#include "search/tbr.h"

namespace {

using namespace swaptest;

struct Criterion {
    uint32_t threshold = 0;  // 0: Goloboff fit with gK
    uint32_t gK = 2;
    bool gUninf = false;
};

// The matrix as the reference reads it: cells 0..ns-1, ns missing.
struct Matrix {
    uint32_t ntax = 0, nchar = 0, ns = 0;
    std::vector<std::vector<uint8_t>> cell;  // [taxon][char]
    std::vector<bool> ordered;
    std::vector<double> weight;
};

// Fitch steps of one character given as state masks of the leaves, over the
// unrooted tree adj (leaves 0..n-1), from leaf 0.
uint32_t fitchSteps(const std::vector<std::vector<int>> &adj, const std::vector<uint32_t> &leafSet)
{
    uint32_t steps = 0;
    std::function<uint32_t(int, int)> down = [&](int v, int from) -> uint32_t {
        if (v < static_cast<int>(leafSet.size()))
            return leafSet[v];
        uint32_t acc = 0;
        bool first = true;
        for (int w : adj[v]) {
            if (w == from)
                continue;
            const uint32_t s = down(w, v);
            if (first) {
                acc = s;
                first = false;
            } else if (acc & s) {
                acc &= s;
            } else {
                acc |= s;
                steps++;
            }
        }
        return acc;
    };
    const uint32_t below = down(adj[0][0], 0);
    if (!(below & leafSet[0]))
        steps++;
    return steps;
}

// Steps and minimum steps of character c on the tree.
std::pair<int64_t, int64_t> charStepsAndMin(const Matrix &m, const std::vector<std::vector<int>> &adj, uint32_t c)
{
    uint32_t seen = 0;
    for (uint32_t t = 0; t < m.ntax; t++)
        if (m.cell[t][c] < m.ns)
            seen |= 1u << m.cell[t][c];
    if (!seen)
        return {0, 0};
    const int lo = std::countr_zero(seen), hi = 31 - std::countl_zero(seen);
    std::vector<uint32_t> leaf(m.ntax);
    if (!m.ordered[c]) {
        const uint32_t all = (1u << m.ns) - 1;
        for (uint32_t t = 0; t < m.ntax; t++)
            leaf[t] = m.cell[t][c] < m.ns ? 1u << m.cell[t][c] : all;
        return {fitchSteps(adj, leaf), std::popcount(seen) - 1};
    }
    int64_t s = 0;
    for (int j = lo + 1; j <= hi; j++) {
        for (uint32_t t = 0; t < m.ntax; t++)
            leaf[t] = m.cell[t][c] >= m.ns ? 3u : m.cell[t][c] >= j ? 2u : 1u;
        s += fitchSteps(adj, leaf);
    }
    return {s, hi - lo};
}

// The criterion's score of a tree, from the characters one by one; unfit
// marks the characters a Goloboff score leaves out (constant ones, and
// uninformative ones unless gUninf is on: which they are is the data
// preparation's to say).
double referenceScore(const Matrix &m, const std::vector<std::vector<int>> &adj, const Criterion &k,
                      const std::vector<bool> &unfit)
{
    double score = 0.0;
    for (uint32_t c = 0; c < m.nchar; c++) {
        const auto [s, min] = charStepsAndMin(m, adj, c);
        if (k.threshold) {
            score += static_cast<double>(std::min<int64_t>(s, min + k.threshold)) * m.weight[c];
        } else if (!unfit[c]) {
            const double K = k.gK + 1.0;
            score -= m.weight[c] * K / (static_cast<double>(s - min) + K);
        }
    }
    return score;
}

class ThresholdSearch : public SwapTest {
protected:
    void SetUp() override
    {
        SwapTest::SetUp();
        savedHs = hs;
        savedSrch = srch;
        hs = HSearchOptions{};
        srch.dStatus = 0;
    }
    void TearDown() override
    {
        hs = savedHs;
        srch = savedSrch;
        SwapTest::TearDown();
    }

    // Random ordered and unordered characters with weights and missing
    // cells (no polymorphism, which threshold parsimony refuses), prepared
    // under the criterion k.
    void mixedData(std::mt19937 &rng, uint32_t ntax, uint32_t nchar, const Criterion &k)
    {
        dropData();
        resetParsSettings();
        if (k.threshold) {
            setThreshold(k.threshold);
        } else {
            setGoloboff(true);
            setGoloboffK(k.gK);
            gPars.gUninf = k.gUninf;
        }
        m = Matrix{ntax, nchar, 2 + static_cast<uint32_t>(rng() % 3), {}, {}, {}};
        m.cell.assign(ntax, std::vector<uint8_t>(nchar));
        data = createDataInfo();
        std::memcpy(data->symbols, "0123456789", m.ns);
        data->symbols[m.ns] = 0;
        data->nchar = nchar;
        ASSERT_EQ(allocTaxaMemory(data, ntax), 0);
        ASSERT_EQ(initCharInfo(data), 0);
        ASSERT_EQ(initializeRawData(data, 0), 0);
        data->flags |= kHaveTaxa | kHaveCharacters;
        for (uint32_t c = 0; c < nchar; c++) {
            m.ordered.push_back(rng() % 2);
            m.weight.push_back(1.0 + static_cast<double>(rng() % 3));
            data->status[c] = m.ordered[c] ? kCharOrdered : kCharUnordered;
            data->weights[c] = m.weight[c];
            for (uint32_t t = 0; t < ntax; t++) {
                m.cell[t][c] = static_cast<uint8_t>(rng() % 10 == 0 ? m.ns : rng() % m.ns);
                ASSERT_EQ(setXijRaw(data, t, c, m.cell[t][c]), 0);
            }
        }
        setActiveDataInfo(data);
        gPars.pending = 3;
        ASSERT_EQ(prepareParsimonyData(data), 0);
        crit = k;
    }

    double reference(const Tree *t) const
    {
        std::vector<bool> unfit(m.nchar);
        for (uint32_t c = 0; c < m.nchar; c++)
            unfit[c] = (data->status[c] & kCharConstant) || (!crit.gUninf && (data->status[c] & kCharUninformative));
        return referenceScore(m, adjacencyOf(t), crit, unfit);
    }

    // Every unrooted binary tree on ntax taxa, scored by the reference: the
    // best score and the split sets of the trees that have it.
    std::pair<double, std::set<Splits>> exhaustiveOptimum(uint32_t ntax)
    {
        double best = 1e37;
        std::set<Splits> optimal;
        forEachBinaryTree(ntax, [&](Tree *t) {
            const double s = reference(t);
            if (s < best - 1e-9) {
                best = s;
                optimal.clear();
            }
            if (s < best + 1e-9)
                optimal.insert(treeSplits(t));
        });
        return {best, optimal};
    }

    Matrix m;
    Criterion crit;
    HSearchOptions savedHs;
    SearchSettings savedSrch;
};

Criterion criterionOf(int trial)
{
    switch (trial % 4) {
    case 0: return {1 + static_cast<uint32_t>(trial / 4) % 3, 2, false};
    case 1: return {2, 2, false};
    case 2: return {0, 2 + static_cast<uint32_t>(trial / 4) % 3, false};
    default: return {0, 3, true};
    }
}

}  // namespace

// The swapper's score of every SPR and TBR neighbour, and of the tree it
// starts from, is the criterion's score of that tree; the evaluation leaves
// the working counts as it found them.
TEST_F(ThresholdSearch, EveryRearrangementIsScoredByTheCriterion)
{
    std::mt19937 rng(808);
    long checked = 0;
    for (int trial = 0; trial < 16; trial++) {
        SCOPED_TRACE(trial);
        const uint32_t ntax = 6 + trial % 7;
        mixedData(rng, ntax, 4 + rng() % 30, criterionOf(trial));
        TreePtr tree = randomTree(rng, ntax, trial % 2);
        ASSERT_TRUE(altScoring(data));
        EXPECT_NEAR(swapTreeScore(data, tree.get()), reference(tree.get()), 1e-9);
        const auto counts = packedData(data)->altCounts[0];
        struct Move {
            TreeNode *K, *T, *R;
            double score;
        };
        std::vector<Move> moves;
        forEachTbrMove(
            tree.get(), data, trial % 3 ? kSwapTBR : kSwapSPR, 0,
            [](void *ctx, TreeNode *K, TreeNode *T, TreeNode *R, double score) {
                static_cast<std::vector<Move> *>(ctx)->push_back({K, T, R, score});
                return 0;
            },
            &moves);
        ASSERT_FALSE(moves.empty());
        EXPECT_EQ(packedData(data)->altCounts[0], counts);
        for (const Move &mv : moves) {
            TreePtr copy(createTreeForTaxa(ntax, ntax, true));
            ASSERT_EQ(copyTree(tree.get(), copy.get()), 0);
            auto at = [&](TreeNode *x) { return copy->nodes + nodePosition(tree.get(), x); };
            ASSERT_EQ(finishRearr_TBR(copy.get(), at(mv.K), at(mv.T), at(mv.R), false), 0);
            ASSERT_NEAR(mv.score, reference(copy.get()), 1e-9) << "move " << checked;
            checked++;
        }
    }
    EXPECT_GT(checked, 1000);
}

// Whatever builds or swaps the trees (stepwise addition alone, NNI, SPR,
// TBR), every tree kept carries its criterion score, and the score the
// tree-score commands compute for it is the same.
TEST_F(ThresholdSearch, StoredScoresAreCriterionScores)
{
    std::mt19937 rng(4711);
    for (int trial = 0; trial < 16; trial++) {
        SCOPED_TRACE(trial);
        const uint32_t ntax = 7 + trial % 6;
        mixedData(rng, ntax, 10 + rng() % 25, criterionOf(trial));
        TreeBuffer *buf = activeBuffer(ntax, 500);
        hs.swap = static_cast<uint32_t>(trial % 4);  // none, NNI, SPR, TBR
        hs.addSeq = trial % 3 ? kAddSeqRandom : kAddSeqSimple;
        hs.nreps = 3;
        hs.rseed[0] = 100 + trial;
        ASSERT_EQ(runHeuristicSearch(data), 0);
        const uint32_t kept = numTreesInBuffer(buf);
        ASSERT_GT(kept, 0u);
        TreePtr t(createTreeForTaxa(ntax, ntax, true));
        for (uint32_t k = 1; k <= kept; k++) {
            ASSERT_EQ(getTree(buf, k, t.get()), 0);
            setTraversalSeq(t.get());
            const double want = reference(t.get());
            EXPECT_NEAR(getTreeScoreArray(buf)[k - 1], want, 1e-9) << "tree " << k;
            pointTreeAtPackedData(t.get(), data);
            EXPECT_NEAR(calcParsimonyScore(data, t.get(), false), want, 1e-9) << "tree " << k;
            if (hs.swap == 0)
                continue;
            // Swapped to a local optimum of the criterion: no interchange
            // (a move of every swap type) improves it.
            std::vector<std::pair<TreeNode *, TreeNode *>> nni;
            for (TreeNode *x = t->root; x; x = x->next) {
                TreeNode *f = x->anc;
                if (f && f->anc && f->anc->anc)
                    nni.emplace_back(x, f->anc->firstChild == f ? f->nextSib : f->anc->firstChild);
            }
            for (auto [x, u] : nni) {
                exchangeSubtrees(t.get(), x, u);
                setTraversalSeq(t.get());
                EXPECT_GE(reference(t.get()), want - 1e-9) << "tree " << k;
                exchangeSubtrees(t.get(), x, u);
                setTraversalSeq(t.get());
            }
        }
    }
}

// On 6 and 7 taxa a TBR search from random addition finds the optimum of
// the criterion that an exhaustive enumeration gives, and keeps only
// optimal trees; the criterion's optimal trees are not always the shortest.
TEST_F(ThresholdSearch, TbrFindsTheExhaustiveOptimum)
{
    std::mt19937 rng(9);
    int differFromShortest = 0;
    for (int trial = 0; trial < 12; trial++) {
        SCOPED_TRACE(trial);
        const uint32_t ntax = 6 + trial % 2;
        mixedData(rng, ntax, 12 + rng() % 12, criterionOf(trial));
        TreeBuffer *buf = activeBuffer(ntax, 500);
        hs.swap = 3;
        hs.addSeq = kAddSeqRandom;
        hs.nreps = 10;
        hs.rseed[0] = 7 + trial;
        ASSERT_EQ(runHeuristicSearch(data), 0);
        const auto [best, optimal] = exhaustiveOptimum(ntax);
        const uint32_t kept = numTreesInBuffer(buf);
        ASSERT_GT(kept, 0u);
        EXPECT_NEAR(getTreeScoreArray(buf)[0], best, 1e-9);
        TreePtr t(createTreeForTaxa(ntax, ntax, true));
        for (uint32_t k = 1; k <= kept; k++) {
            ASSERT_EQ(getTree(buf, k, t.get()), 0);
            setTraversalSeq(t.get());
            EXPECT_TRUE(optimal.count(treeSplits(t.get()))) << "tree " << k << " is not optimal";
        }
        // The same data under plain parsimony: are its shortest trees the
        // criterion's optimal ones?
        const Criterion k = crit;
        emptyTreeBuffer(buf, true);
        resetParsSettings();
        gPars.pending = 3;
        ASSERT_EQ(prepareParsimonyData(data), 0);
        ASSERT_EQ(runHeuristicSearch(data), 0);
        std::set<Splits> shortest;
        for (uint32_t j = 1; j <= numTreesInBuffer(buf); j++) {
            ASSERT_EQ(getTree(buf, j, t.get()), 0);
            setTraversalSeq(t.get());
            shortest.insert(treeSplits(t.get()));
        }
        differFromShortest += shortest != optimal;
        crit = k;
    }
    EXPECT_GT(differFromShortest, 0);
}

// Contract-and-refine under the criterion: each resolution is made and the
// tree scored whole, so every tree kept carries its criterion score, none of
// its 2-ECR neighbours (every tree that keeps all but two of its splits,
// scored by the reference) is better, and the best is the exhaustive
// optimum.
TEST_F(ThresholdSearch, EcrStopsWhereNoNeighbourIsBetter)
{
    std::mt19937 rng(6121);
    for (int trial = 0; trial < 8; trial++) {
        SCOPED_TRACE(trial);
        const uint32_t ntax = 6 + trial % 2;
        mixedData(rng, ntax, 10 + rng() % 15, criterionOf(trial));
        TreeBuffer *buf = activeBuffer(ntax, 500);
        hs.ecr = 1;
        hs.addSeq = kAddSeqRandom;
        hs.nreps = 5;
        hs.rseed[0] = 30 + trial;
        ASSERT_EQ(runHeuristicSearch(data), 0);
        // The reference reads the characters' status, which the search sets.
        std::vector<std::pair<Splits, double>> every;
        forEachBinaryTree(ntax, [&](Tree *t) { every.emplace_back(treeSplits(t), reference(t)); });
        double optimum = 1e37;
        for (const auto &e : every)
            optimum = std::min(optimum, e.second);
        const uint32_t kept = numTreesInBuffer(buf);
        ASSERT_GT(kept, 0u);
        EXPECT_NEAR(getTreeScoreArray(buf)[0], optimum, 1e-9);
        TreePtr t(createTreeForTaxa(ntax, ntax, true));
        for (uint32_t k = 1; k <= kept; k++) {
            ASSERT_EQ(getTree(buf, k, t.get()), 0);
            setTraversalSeq(t.get());
            const double score = reference(t.get());
            EXPECT_NEAR(getTreeScoreArray(buf)[k - 1], score, 1e-9) << "tree " << k;
            determineIfTreeIsBinary(t.get());
            if (!isTreeBinary(t.get()))
                continue;  // collapsed: its resolutions score the same
            const Splits own = treeSplits(t.get());
            for (const auto &[splits, s] : every) {
                Splits both;
                std::set_intersection(splits.begin(), splits.end(), own.begin(), own.end(),
                                      std::back_inserter(both));
                if (both.size() + 2 >= own.size()) {
                    EXPECT_GE(s, score - 1e-9) << "tree " << k;
                }
            }
        }
        hs.ecr = 0;
    }
}

// Contract-and-refine (2-ECR) swapping: each resolution's incremental score
// against a full rescoring, the neighbourhood against every tree that keeps
// all but two of the tree's splits, and searches against every tree there is.
#include <map>
#include <set>

#include "parsimony/calcsets.h"
#include "parsimony/treelen.h"
#include "search/ecr.h"
#include "search/hsearch.h"
#include "search/scores.h"
#include "search/stepwise.h"
#include "search/search_settings.h"
#include "search/swap_test_support.h"
#include "search/tbr.h"
#include "trees/treeedit.h"

namespace {

using namespace swaptest;

class Ecr : public SwapTest {
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

    // Every tree's splits with its length under the data (or 0).
    std::map<Splits, double> allTrees(uint32_t ntax)
    {
        std::map<Splits, double> out;
        forEachBinaryTree(ntax, [&](Tree *t) {
            double len = 0.0;
            if (data) {
                pointTreeAtPackedData(t, data);
                len = calcParsimonyScore(data, t, false);
            }
            out.emplace(treeSplits(t), len);
        });
        return out;
    }

    HSearchOptions savedHs;
    SearchSettings savedSrch;
};

size_t sharedSplits(const Splits &a, const Splits &b)
{
    std::vector<uint64_t> both;
    std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(both));
    return both.size();
}

// The naive 2-ECR neighbourhood: contracting two edges and refining keeps
// all other splits, and any tree with all but two of them refines the tree
// so contracted.
std::set<Splits> naiveEcrNeighbours(const std::map<Splits, double> &all, const Splits &of, uint32_t ntax)
{
    std::set<Splits> out;
    for (const auto &[splits, len] : all)
        if (splits != of && sharedSplits(splits, of) + 5 >= ntax)
            out.insert(splits);
    return out;
}

std::set<Splits> bufferSplits(TreeBuffer *buf, uint32_t ntax)
{
    std::set<Splits> out;
    TreePtr t(createTreeForTaxa(ntax, ntax, true));
    for (uint32_t k = 1; k <= numTreesInBuffer(buf); k++) {
        EXPECT_EQ(getTree(buf, k, t.get()), 0);
        out.insert(treeSplits(t.get()));
    }
    return out;
}

using Links = std::vector<std::tuple<TreeNode *, TreeNode *, TreeNode *>>;
Links linksOf(const Tree *tree)
{
    Links l;
    for (uint32_t p = 0; p < tree->maxNodes; p++)
        l.emplace_back(tree->nodes[p].anc, tree->nodes[p].firstChild, tree->nodes[p].nextSib);
    return l;
}

// The key test: on random 6- to 24-taxon trees every resolution of every
// contraction scores as a full rescoring of the resolved tree; the 14 of one
// contraction are 14 distinct trees, none the tree itself, and the identity
// entry of the type gives the tree back; the search's undo restores links
// and lengths exactly.
TEST_F(Ecr, EveryResolutionScoresAsAFullRescoring)
{
    std::mt19937 rng(6121);
    long checked = 0;
    for (int trial = 0; trial < 12; trial++) {
        const uint32_t ntax = 6 + (trial * 5) % 19;
        DataInfo *d = randomData(rng, ntax, 1 + rng() % 70, trial % 2);
        TreePtr tree = randomTree(rng, ntax, trial % 3 == 0);
        const Links links = linksOf(tree.get());
        const Splits original = treeSplits(tree.get());
        const double whole = calcTreeLength(d, tree.get(), true, false);
        prepareTreeForSwapping(tree.get(), d);
        SaveRules rules{};
        HSearchData *hsd = createHSearchData(d, ntax, rules, true);
        installEcrSwapFxns(hsd);
        std::vector<TreeNode *> nodes;
        for (TreeNode *x = tree->root; x; x = x->next)
            nodes.push_back(x);
        int contractions = 0;
        for (TreeNode *X : nodes)
            for (int type = 1; type <= 3; type++) {
                if (!ecrTypeApplies(X, type))
                    continue;
                contractions++;
                std::set<Splits> resolved;
                for (int entry = 0; entry < kNumRefinements; entry++) {
                    SCOPED_TRACE(testing::Message() << "trial " << trial << " type " << type << " entry " << entry);
                    const double score = ecrResolutionScore(tree.get(), d, X, type, entry);
                    RearrObject hit;
                    makeRearrObject(&hit, X, nullptr, nullptr, score);
                    hit.code[0] = static_cast<int16_t>(type);
                    hit.code[1] = static_cast<int16_t>(entry);
                    hit.isEcr = kEcrAdjacent;
                    ASSERT_EQ(hsd->fxns.apply(hsd, tree.get(), &hit), 0);
                    ASSERT_DOUBLE_EQ(score, calcTreeLength(d, tree.get(), true, false));
                    const Splits now = treeSplits(tree.get());
                    EXPECT_GE(sharedSplits(now, original) + 2, original.size());
                    if (refinementTable[entry].identityFor == type)
                        EXPECT_EQ(now, original);
                    else
                        resolved.insert(now);
                    hsd->fxns.undo(hsd, tree.get(), &hit);
                    ASSERT_EQ(linksOf(tree.get()), links);
                    ASSERT_DOUBLE_EQ(revTreeLength(d, tree.get()) + getBaseScore(d, true), whole);
                    checked++;
                }
                EXPECT_EQ(resolved.size(), 14u);
                EXPECT_EQ(resolved.count(original), 0u);
            }
        // Every pair of adjacent internal edges once: at each of the n - 2
        // forks, the three pairs of its edges that are both internal.
        int pairs = 0;
        for (TreeNode *x = tree->root; x; x = x->next) {
            if (!x->firstChild || !x->anc)
                continue;
            const int internalEdges = (x->firstChild->firstChild != nullptr) +
                                      (x->firstChild->nextSib->firstChild != nullptr) + (x->anc->anc != nullptr);
            pairs += internalEdges * (internalEdges - 1) / 2;
        }
        EXPECT_EQ(contractions, pairs);
        destroyHSearchData(hsd);
    }
    EXPECT_GT(checked, 2000);
}

// With every tree equally long, a swap with MulTrees saves every 2-ECR
// neighbour: the buffer ends with exactly the trees that keep all but two
// of the tree's splits, the tree itself not among them, and the tree with
// its links and lengths. Every contraction is scored 14 times.
TEST_F(Ecr, SwapTreeSavesExactlyTheNeighbourhood)
{
    std::mt19937 rng(4);
    const uint32_t savedMax = getMaxtreesValue();
    setMaxtreesValue(5000);
    for (uint32_t ntax = 5; ntax <= 8; ntax++) {
        SCOPED_TRACE(ntax);
        dropData();
        const auto every = allTrees(ntax);
        makeData(std::vector<std::string>(ntax, "??"));
        for (int trial = 0; trial < 3; trial++) {
            TreeBuffer *buf = activeBuffer(ntax, 5000);
            TreePtr tree = randomTree(rng, ntax, trial % 2);
            const Links links = linksOf(tree.get());
            SaveRules rules{};
            rules.heuristicRunning = rules.mulTrees = true;
            HSearchData *hsd = createHSearchData(data, ntax, rules, true);
            installEcrSwapFxns(hsd);
            hsd->bestScoreRep = 0.0;
            setMaxScoreToSave(hsd);
            EXPECT_EQ(swapTree(hsd, tree.get()), 0);
            const Splits original = treeSplits(tree.get());
            EXPECT_EQ(bufferSplits(buf, ntax), naiveEcrNeighbours(every, original, ntax));
            EXPECT_EQ(numTreesInBuffer(buf), naiveEcrNeighbours(every, original, ntax).size());
            EXPECT_EQ(linksOf(tree.get()), links);
            // At least the adjacent contractions, 14 each: n - 3 internal
            // edges meet in pairs at forks.
            double adjacent = 0;
            for (TreeNode *x = tree->root; x; x = x->next)
                for (int type = 1; type <= 3; type++)
                    adjacent += ecrTypeApplies(x, type) ? 14 : 0;
            EXPECT_GE(hsd->rearrTriedTotal, adjacent);
            if (ntax == 5) {
                EXPECT_EQ(hsd->rearrTriedTotal, 14.0);  // two internal edges, adjacent, nothing more
            }
            destroyHSearchData(hsd);
        }
    }
    setMaxtreesValue(savedMax);
}

// Characters that are the memberships of random clades, with a little noise,
// so that the shortest trees are few.
std::vector<std::string> cladeRows(std::mt19937 &gen, uint32_t ntax, uint32_t nchar, int noisePct)
{
    std::vector<std::string> rows(ntax, std::string(nchar, '0'));
    for (uint32_t c = 0; c < nchar; c++) {
        const uint32_t size = 2 + gen() % (ntax - 3), start = gen() % (ntax - size + 1);
        for (uint32_t i = start; i < start + size; i++)
            rows[i][c] = '1';
        for (uint32_t t = 0; t < ntax; t++)
            if (static_cast<int>(gen() % 100) < noisePct)
                rows[t][c] = rows[t][c] == '0' ? '1' : '0';
    }
    std::shuffle(rows.begin(), rows.end(), gen);
    return rows;
}

// A search with ecr=yes keeps trees that are scored exactly, that no 2-ECR
// neighbour beats (among every tree there is), and reaches the optimum of
// all trees and the score of a TBR search on the same matrices.
TEST_F(Ecr, SearchEndsAtLocalOptimaAndReachesTheTbrScore)
{
    std::mt19937 gen(39);
    for (int trial = 0; trial < 6; trial++) {
        SCOPED_TRACE(trial);
        dropData();
        const uint32_t ntax = 7 + trial % 2;
        makeData(cladeRows(gen, ntax, 18, trial % 3 == 2 ? 12 : 5));
        const auto every = allTrees(ntax);
        double optimum = 1e37;
        for (const auto &[splits, len] : every)
            optimum = std::min(optimum, len);
        TreeBuffer *buf = activeBuffer(ntax, 500);
        hs.addSeq = kAddSeqRandom;
        hs.nreps = 5;
        hs.rseed[0] = 7 + trial;
        hs.swap = 3;
        ASSERT_EQ(runHeuristicSearch(data), 0);
        const double tbrBest = getTreeScoreArray(buf)[0];
        hs.ecr = 1;
        gPrinted.clear();
        ASSERT_EQ(runHeuristicSearch(data), 0);
        EXPECT_NE(gPrinted.find("double-edge contract-and-refine (2-ECR)"), std::string::npos);
        const uint32_t kept = numTreesInBuffer(buf);
        ASSERT_GT(kept, 0u);
        const double best = getTreeScoreArray(buf)[0];
        EXPECT_DOUBLE_EQ(best, tbrBest);
        EXPECT_DOUBLE_EQ(best, optimum);
        TreePtr t(createTreeForTaxa(ntax, ntax, true));
        for (uint32_t k = 1; k <= kept; k++) {
            ASSERT_EQ(getTree(buf, k, t.get()), 0);
            setTraversalSeq(t.get());
            pointTreeAtPackedData(t.get(), data);
            EXPECT_DOUBLE_EQ(calcParsimonyScore(data, t.get(), false), best);
            determineIfTreeIsBinary(t.get());
            if (!isTreeBinary(t.get()))
                continue;  // collapsed: its resolutions are equally short
            for (const Splits &n : naiveEcrNeighbours(every, treeSplits(t.get()), ntax))
                EXPECT_GE(every.at(n), best);
        }
        hs.ecr = 0;
    }
}

// ECR=YES without swapping is refused before anything is searched.
TEST_F(Ecr, RefusedWithoutSwapping)
{
    makeData({"0011", "0101", "1100", "1010", "1111"});
    TreeBuffer *buf = activeBuffer(5, 50);
    hs.ecr = 1;
    hs.swap = 0;
    EXPECT_EQ(runHeuristicSearch(data), 1);
    EXPECT_EQ(numTreesInBuffer(buf), 0u);
    hs.swap = 3;
    EXPECT_EQ(runHeuristicSearch(data), 0);
    EXPECT_GT(numTreesInBuffer(buf), 0u);
}

}  // namespace

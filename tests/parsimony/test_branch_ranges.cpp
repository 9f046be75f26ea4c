#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "data/vorn_data.h"
#include "parsimony/chglist.h"
#include "parsimony/mprange.h"
#include "parsimony/optimize.h"
#include "parsimony/pars_init.h"
#include "parsimony/pars_util.h"
#include "trees/treeedit.h"
#include "trees/treeutil.h"
#include "pars_test_support.h"

namespace {

class BranchRangeTest : public ParsDataTest {
protected:
    // Rows of digits; characters listed in `ordered` are ordered, the rest
    // unordered. The tree is built afterwards.
    void makeTypedData(const std::vector<std::string> &rows, const std::vector<uint32_t> &ordered)
    {
        makeData(rows);
        for (uint32_t c : ordered)
            data->status[c] = (data->status[c] & ~kCharTypeMask) | kCharOrdered;
        gPars.pending = 3;
        ASSERT_EQ(prepareParsimonyData(data), 0);
        tree.reset(createTreeForTaxa(data->ntax, data->ntax, true));
    }
    BranchLengthRange rangeOf(const std::vector<BranchLengthRange> &r, const TreeNode *n) const
    {
        return r[nodePosition(tree.get(), n)];
    }

    // Reference: every assignment of states 0-2 to the forks, one character
    // at a time; among the assignments of least length, the fewest and the
    // most steps each branch takes, summed over characters.
    std::vector<BranchLengthRange> bruteForce()
    {
        std::vector<const TreeNode *> forks;
        for (const TreeNode *n = tree->root; n; n = n->next)
            if (n->firstChild && n->index >= static_cast<int32_t>(data->ntax))
                forks.push_back(n);
        std::vector<BranchLengthRange> out(tree->maxNodes);
        std::vector<int> state(tree->maxNodes, 0);
        for (uint32_t c = 0; c < data->nchar; c++) {
            const bool ordered = (data->status[c] & kCharTypeMask) == kCharOrdered;
            auto cost = [&](int a, int b) { return a == b ? 0 : ordered ? std::abs(a - b) : 1; };
            for (const TreeNode *n = tree->root; n; n = n->next)
                if (n->index >= 0 && n->index < static_cast<int32_t>(data->ntax))
                    state[nodePosition(tree.get(), n)] =
                        std::countr_zero(getXijAsBits(data, n->index, c, nullptr));
            int best = 1 << 30;
            std::vector<int> lo(tree->maxNodes, 1 << 30), hi(tree->maxNodes, 0);
            const size_t combos = static_cast<size_t>(std::pow(3, forks.size()));
            for (int pass = 0; pass < 2; pass++) {
                for (size_t code = 0; code < combos; code++) {
                    size_t rest = code;
                    for (const TreeNode *f : forks) {
                        state[nodePosition(tree.get(), f)] = static_cast<int>(rest % 3);
                        rest /= 3;
                    }
                    int len = 0;
                    for (const TreeNode *n = tree->root->next; n; n = n->next)
                        len += cost(state[nodePosition(tree.get(), n->anc)], state[nodePosition(tree.get(), n)]);
                    if (pass == 0) {
                        best = std::min(best, len);
                        continue;
                    }
                    if (len != best)
                        continue;
                    for (const TreeNode *n = tree->root->next; n; n = n->next) {
                        const uint32_t p = nodePosition(tree.get(), n);
                        const int step = cost(state[nodePosition(tree.get(), n->anc)], state[p]);
                        lo[p] = std::min(lo[p], step);
                        hi[p] = std::max(hi[p], step);
                    }
                }
            }
            for (const TreeNode *n = tree->root->next; n; n = n->next) {
                const uint32_t p = nodePosition(tree.get(), n);
                out[p].min += lo[p];
                out[p].max += hi[p];
            }
        }
        return out;
    }
};

// Taxa 0..3 on ((1,2),3) held at tip 0; f0 = ((1,2),3), f1 = (1,2).
// Character 0 (binary 0,1,0,1) has two reconstructions of length 2, f0 = f1
// = 0 and f0 = f1 = 1, so each branch but f0-f1 may or may not change.
// Character 1 (ordered 0,2,2,0) has one: f0 = 0, f1 = 2, two steps into f1.
TEST_F(BranchRangeTest, RangesOfAHandWorkedTreeCoverEveryMostParsimoniousReconstruction)
{
    makeTypedData({"00", "12", "02", "10"}, {1});
    buildTree("((1,2),3)");
    reconstruct(ParsOpt::AccTran);
    const std::vector<BranchLengthRange> r = possibleBranchLengths(tree.get(), data);
    auto is = [&](const TreeNode *n, double lo, double hi) {
        EXPECT_EQ(rangeOf(r, n).min, lo) << "node " << n->index;
        EXPECT_EQ(rangeOf(r, n).max, hi) << "node " << n->index;
    };
    is(fork(0), 0, 1);
    is(fork(1), 2, 2);
    is(tip(1), 0, 1);
    is(tip(2), 0, 1);
    is(tip(3), 0, 1);
}

// Random matrices and trees, unordered and ordered characters mixed: the
// ranges agree with exhaustive enumeration, and the lengths that AccTran and
// DelTran assign lie inside them.
TEST_F(BranchRangeTest, RangesAgreeWithExhaustiveEnumerationAndHoldTheAssignedLengths)
{
    std::mt19937 rng(20261207);
    for (int trial = 0; trial < 40; trial++) {
        const uint32_t ntax = 5 + trial % 3, nchar = 6;
        std::vector<std::string> rows(ntax, std::string(nchar, '0'));
        for (auto &row : rows)
            for (char &cell : row)
                cell = static_cast<char>('0' + rng() % 3);
        std::vector<uint32_t> ordered;
        for (uint32_t c = 0; c < nchar; c++)
            if (rng() % 2)
                ordered.push_back(c);
        makeTypedData(rows, ordered);
        buildTree(randomTree(rng, ntax));
        for (ParsOpt opt : {ParsOpt::AccTran, ParsOpt::DelTran}) {
            reconstruct(opt);
            const std::vector<BranchLengthRange> got = possibleBranchLengths(tree.get(), data);
            const std::vector<BranchLengthRange> want = bruteForce();
            for (const TreeNode *n = tree->root->next; n; n = n->next) {
                const uint32_t p = nodePosition(tree.get(), n);
                EXPECT_EQ(got[p].min, want[p].min) << "trial " << trial << " node " << n->index;
                EXPECT_EQ(got[p].max, want[p].max) << "trial " << trial << " node " << n->index;
                EXPECT_LE(got[p].min, n->edge.brlen) << "trial " << trial << " node " << n->index;
                EXPECT_GE(got[p].max, n->edge.brlen) << "trial " << trial << " node " << n->index;
            }
        }
    }
}

class PatristicTest : public BranchRangeTest {
protected:
    double at(uint32_t row, uint32_t col) const { return matrix[static_cast<size_t>(row) * data->ntax + col]; }
    std::vector<double> matrix;
    PatristicSums sums;
};

// Rows 00, 11, 10, 01 on ((1,2),3) held at tip 0. Character 0 fits the tree
// (one change into f1); character 1 needs two. AccTran puts them on the
// branch into f0 and back on the branch into tip 2, so the path from taxon 0
// to taxon 2 crosses three changes where the cells differ in one.
TEST_F(PatristicTest, PatristicDistancesAddTheChangesAlongThePath)
{
    makeTypedData({"00", "11", "10", "01"}, {});
    buildTree("((1,2),3)");
    reconstruct(ParsOpt::AccTran);
    ASSERT_TRUE(getPDmatrix(tree.get(), data, matrix, &sums));
    // Observed differences below the diagonal, path lengths above it.
    EXPECT_EQ(matrix, (std::vector<double>{0, 2, 3, 1,  //
                                           2, 0, 1, 1,  //
                                           1, 1, 0, 2,  //
                                           1, 1, 2, 0}));
    EXPECT_EQ(sums.observed, 8);
    EXPECT_EQ(sums.homoplasy, 2);
    EXPECT_DOUBLE_EQ(sums.ratio, 0.25);
    EXPECT_EQ(sums.largest, 3);
}

// Characters that all fit the tree leave no homoplasy: every patristic
// distance equals the observed one, and the f value is 0. With homoplasy a
// path can only be longer than the difference of its ends.
TEST_F(PatristicTest, HomoplasyIsZeroExactlyWhenTheCharactersFitTheTree)
{
    makeTypedData({"000", "110", "100", "001"}, {});
    buildTree("((1,2),3)");
    reconstruct(ParsOpt::DelTran);
    ASSERT_TRUE(getPDmatrix(tree.get(), data, matrix, &sums));
    for (uint32_t i = 0; i < 4; i++)
        for (uint32_t j = 0; j < i; j++)
            EXPECT_EQ(at(j, i), at(i, j)) << i << "," << j;
    EXPECT_EQ(sums.homoplasy, 0);
    EXPECT_EQ(sums.ratio, 0);

    std::mt19937 rng(7);
    for (int trial = 0; trial < 20; trial++) {
        std::vector<std::string> rows(6, std::string(8, '0'));
        for (auto &row : rows)
            for (char &cell : row)
                cell = static_cast<char>('0' + rng() % 2);
        makeTypedData(rows, {});
        buildTree(randomTree(rng, 6));
        reconstruct(ParsOpt::AccTran);
        getPDmatrix(tree.get(), data, matrix, &sums);
        double f = 0;
        for (uint32_t i = 0; i < 6; i++)
            for (uint32_t j = 0; j < i; j++) {
                EXPECT_GE(at(j, i), at(i, j)) << "trial " << trial;
                f += at(j, i) - at(i, j);
            }
        EXPECT_EQ(sums.homoplasy, f);
    }
}

// Multistate unordered characters have no distance along a line of states;
// they are left out and the caller is told so.
TEST_F(PatristicTest, MultistateUnorderedCharactersAreLeftOut)
{
    makeTypedData({"00", "11", "12", "10"}, {});
    buildTree("((1,2),3)");
    reconstruct(ParsOpt::AccTran);
    EXPECT_TRUE(patristicExcludesSome(data));
    ASSERT_TRUE(getPDmatrix(tree.get(), data, matrix, &sums));
    EXPECT_EQ(at(2, 1), 0);  // taxa 1 and 2 differ only in the three-state character
    EXPECT_EQ(at(1, 0), 1);

    makeTypedData({"00", "11", "12", "10"}, {1});
    EXPECT_FALSE(patristicExcludesSome(data));
}

}  // namespace

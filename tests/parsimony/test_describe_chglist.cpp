#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "data/vorn_data.h"
#include "data/vorn_memory.h"
#include "parsimony/chglist.h"
#include "parsimony/optimize.h"
#include "parsimony/pars_init.h"
#include "parsimony/pars_util.h"
#include "trees/treeedit.h"
#include "trees/treeutil.h"
#include "pars_test_support.h"

namespace {

class ChangeListTest : public ParsDataTest {
protected:

    // (from, to, from state, to state, cost, unambiguous) as a readable row.
    std::string row(const CharChange &ch) const
    {
        auto name = [&](const TreeNode *n) {
            return isActiveTaxonIndex(data, n->index) ? "t" + std::to_string(n->index)
                                                      : "f" + std::to_string(n - fork(0));
        };
        auto st = [](uint64_t bits) { return std::to_string(std::countr_zero(bits)); };
        return name(ch.from) + ">" + name(ch.to) + " " + st(ch.fromSet) + (ch.unambiguous ? "==>" : "-->") +
               st(ch.toState) + " x" + std::to_string(static_cast<int>(ch.cost));
    }
    std::vector<std::string> rows(uint32_t c)
    {
        std::vector<std::string> out;
        for (const CharChange &ch : listCharChanges(tree.get(), data, c))
            out.push_back(row(ch));
        return out;
    }
};

using Rows = std::vector<std::string>;

// From a likelihood reconstruction the lists read the given internal states
// and the tips' cells: a change wherever the two ends differ, never marked
// certain, and nothing for a character the reconstruction has no state for.
TEST_F(ChangeListTest, LikelihoodStatesGiveChangesWhereTheEndsDiffer)
{
    makeData({"00", "11", "02", "11"});
    buildTree("((1,2),3)");
    reconstruct(ParsOpt::AccTran);
    // f0 takes 1 and f1 takes 0 at character 0; character 1 has no states.
    const ReconStates ml = [&](const TreeNode *n, uint32_t c) -> int64_t {
        if (c == 1)
            return -1;
        return n == fork(0) ? 0b10 : 0b01;
    };
    std::vector<std::string> got;
    for (uint32_t c = 0; c < 2; ++c)
        for (const CharChange &ch : listCharChanges(tree.get(), data, c, ml)) {
            EXPECT_EQ(ch.terminal, 0.0);
            got.push_back(std::to_string(c) + " " + row(ch));
        }
    EXPECT_EQ(got, (Rows{"0 t0>f0 0-->1 x1", "0 f0>f1 1-->0 x1", "0 f1>t1 0-->1 x1"}));
}

// Taxa 0..3 = 00, 11, 02, 11 on ((1,2),3) held at tip 0; f0 = ((1,2),3),
// f1 = (1,2). Character 0 (binary): Fitch length 2 with both f0 and f1
// free to take 0 or 1, so no change is certain. Character 1 (three states):
// f0 and f1 must be 1, so 0 -> 1 below f0 and 1 -> 2 into tip 2 are in every
// most-parsimonious reconstruction.
TEST_F(ChangeListTest, AccTranAndDelTranPlaceTheAmbiguousChangesEarlyAndLate)
{
    makeData({"00", "11", "02", "11"});
    buildTree("((1,2),3)");
    reconstruct(ParsOpt::AccTran);
    EXPECT_EQ(rows(0), (Rows{"t0>f0 0-->1 x1", "f1>t2 1-->0 x1"}));
    EXPECT_EQ(rows(1), (Rows{"t0>f0 0==>1 x1", "f1>t2 1==>2 x1"}));

    reconstruct(ParsOpt::DelTran);
    EXPECT_EQ(rows(0), (Rows{"f1>t1 0-->1 x1", "f0>t3 0-->1 x1"}));
    EXPECT_EQ(rows(1), (Rows{"t0>f0 0==>1 x1", "f1>t2 1==>2 x1"}));
}

TEST_F(ChangeListTest, ClosestStateOfAnOrderedCharacterCountsTheStepsBetween)
{
    makeData({"0", "2", "1", "2"});
    data->status[0] = (data->status[0] & ~kCharTypeMask) | kCharOrdered;
    double len = -1;
    // From state 0 into a tip that may be 1 or 2: 1 is nearer, one step.
    EXPECT_EQ(findClosestState(0b110, 0b001, 0, data, &len), 0b010u);
    EXPECT_EQ(len, 1.0);
    EXPECT_EQ(findClosestState(0b100, 0b001, 0, data, &len), 0b100u);
    EXPECT_EQ(len, 2.0);
    // Sets that meet cost nothing; the lowest shared state is taken.
    EXPECT_EQ(findClosestState(0b110, 0b111, 0, data, &len), 0b010u);
    EXPECT_EQ(len, 0.0);
    EXPECT_EQ(getTermSubtreeLen(data, 0, 2, 0b101, 0), 2.0);
    data->status[0] = (data->status[0] & ~kCharTypeMask) | kCharUnordered;
    EXPECT_EQ(findClosestState(0b100, 0b001, 0, data, &len), 0b100u);
    EXPECT_EQ(len, 1.0);
    EXPECT_EQ(getTermSubtreeLen(data, 0, 3, 0b111, 0), 2.0);
}

// On random data and trees, every reconstruction's change lists account for
// each branch length exactly, and a change marked certain crosses a branch
// whose two MPR sets share no state.
TEST_F(ChangeListTest, ChangesAddUpToTheBranchLengthsOfEveryReconstruction)
{
    std::mt19937 rng(29);
    for (int rep = 0; rep < 10; rep++) {
        const uint32_t ntax = 5 + rep % 4;
        std::vector<std::string> taxa(ntax, std::string(12, '0'));
        for (auto &r : taxa)
            for (size_t c = 0; c < r.size(); c++)
                r[c] = static_cast<char>('0' + rng() % (c < 5 ? 2 : 3));
        makeData(taxa);
        const std::string shape = randomTree(rng, ntax);
        for (ParsOpt opt : {ParsOpt::AccTran, ParsOpt::DelTran}) {
            SCOPED_TRACE("rep " + std::to_string(rep) + " " + shape);
            buildTree(shape);
            reconstruct(opt);
            std::vector<double> perBranch(tree->maxNodes, 0.0);
            for (uint32_t c = 0; c < data->nchar; c++)
                for (const CharChange &ch : listCharChanges(tree.get(), data, c)) {
                    perBranch[nodePosition(tree.get(), ch.to)] += ch.cost;
                    auto mpr = [&](const TreeNode *n) {
                        return n->index < static_cast<int32_t>(ntax) ? getXijAsBits(data, n->index, c, nullptr)
                                                                      : getStatesOrMPRset(data, n, c, true);
                    };
                    const bool disjoint = !(mpr(ch.from) & mpr(ch.to));
                    EXPECT_EQ(ch.unambiguous, disjoint);
                }
            for (TreeNode *n = tree->root->next; n; n = n->next)
                EXPECT_EQ(perBranch[nodePosition(tree.get(), n)], n->edge.brlen);
        }
    }
}

}  // namespace

// A tree drawn with taxa deleted holds the nondeleted ones only, its forks
// numbered right after them. Random 8-taxon data with one or two rows
// deleted (any rows, ordered and weighted characters among them) must give
// the change lists and patristic distances of the same matrix with those
// rows left out, and the changes must add up to each branch's length.
TEST_F(ChangeListTest, DeletedTaxaGiveTheListsOfTheMatrixWithoutThem)
{
    std::mt19937 rng(43);
    for (int rep = 0; rep < 16; rep++) {
        std::vector<std::string> all(8, std::string(10, '0'));
        for (auto &r : all)
            for (char &x : r)
                x = static_cast<char>('0' + rng() % 3);
        std::vector<uint32_t> gone{static_cast<uint32_t>(rng() % 8)};
        if (rep % 2)
            gone.push_back((gone[0] + 1 + rng() % 7) % 8);
        std::vector<std::string> kept;
        for (uint32_t t = 0; t < all.size(); t++)
            if (std::find(gone.begin(), gone.end(), t) == gone.end())
                kept.push_back(all[t]);
        const auto nActive = static_cast<uint32_t>(kept.size());
        const std::string shape = randomTree(rng, nActive);
        const uint32_t kinds = static_cast<uint32_t>(rng());
        struct Result {
            std::vector<std::string> changes;
            std::vector<double> matrix;
            double f = 0.0;
        };
        auto run = [&](bool deleting) {
            makeData(deleting ? all : kept);
            for (uint32_t c = 0; c < data->nchar; c++) {
                if (kinds >> c & 1)
                    data->status[c] = (data->status[c] & ~kCharTypeMask) | kCharOrdered;
                data->weights[c] = 1 + (kinds >> (c + 10)) % 3;
            }
            // Deleting prepares the data again, as the new types need.
            deleteRowsAndPrepare(data, deleting ? gone : std::vector<uint32_t>{});
            tree.reset(createTreeForTaxa(nActive, nActive, true));
            buildTree(shape);
            reconstruct(ParsOpt::AccTran);
            Result r;
            std::vector<double> perBranch(tree->maxNodes, 0.0);
            for (uint32_t c = 0; c < data->nchar; c++)
                for (const CharChange &ch : listCharChanges(tree.get(), data, c)) {
                    r.changes.push_back(std::to_string(c) + " " + row(ch));
                    perBranch[nodePosition(tree.get(), ch.to)] += ch.cost * data->weights[c];
                }
            for (TreeNode *n = tree->root->next; n; n = n->next)
                EXPECT_EQ(perBranch[nodePosition(tree.get(), n)], n->edge.brlen);
            PatristicSums sums;
            getPDmatrix(tree.get(), data, r.matrix, &sums);
            r.f = sums.homoplasy;
            EXPECT_GE(r.f, 0.0);
            return r;
        };
        SCOPED_TRACE("rep " + std::to_string(rep) + " " + shape);
        const Result deleted = run(true), reduced = run(false);
        EXPECT_EQ(deleted.changes, reduced.changes);
        EXPECT_EQ(deleted.matrix, reduced.matrix);
        EXPECT_EQ(deleted.f, reduced.f);
    }
}

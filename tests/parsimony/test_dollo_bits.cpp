#include <gtest/gtest.h>

#include <bit>
#include <functional>
#include <string>

#include "data/data_services.h"
#include "parsimony/dollo_bits.h"
#include "parsimony/fitindex.h"
#include "parsimony/lenrange.h"
#include "parsimony/treelen.h"
#include "stmx_test_support.h"
#include "support/tree_test_support.h"
#include "trees/treeedit.h"

using namespace stmtest;

namespace {

uint64_t bit(uint32_t s) { return uint64_t{1} << s; }

class DolloBits : public CostVectorTest {
protected:
    std::vector<double> charLengths()
    {
        std::vector<double> v(d->nchar);
        for (uint32_t c = 0; c < d->nchar; c++)
            v[c] = charLengthOnTree(d, c);
        return v;
    }

    // The six characters below on ((a,b),((c,d),e)), read upside down for
    // the ".dn" types, each of the given type and ancestral cell.
    void loadSixOnFive(uint32_t type, bool down, uint64_t ancestor)
    {
        const char *rows[] = {"100011", "010001", "001110", "001100", "000000"};
        drop();
        std::vector<std::vector<uint64_t>> cells(5, std::vector<uint64_t>(6));
        for (uint32_t t = 0; t < 5; t++)
            for (uint32_t c = 0; c < 6; c++)
                cells[t][c] = bit((rows[t][c] - '0') ^ down);
        d = makeTypedData(2, cells);
        for (uint32_t c = 0; c < 6; c++) {
            setType(d, c, type, down);
            setAncestor(d, c, ancestor);
        }
        prepare();
        build("((0,1),((2,3),4))");
    }
};

// The key test of the bit path: on random rooted trees (with polytomies) and
// mixed matrices, the lengths of two-state Dollo and irreversible characters
// equal the cost vectors' and a plain Sankoff scorer's, character by
// character and in total; the cost-vector class still scores the rest.
TEST_F(DolloBits, RandomMixedMatricesMatchCostVectorsAndSankoff)
{
    std::mt19937 rng(3812);
    int routedCompared = 0, impossibleSeen = 0, applied = 0;
    for (int trial = 0; trial < 120; trial++) {
        drop();
        types.clear();
        msTaxa = trial % 4 == 3 ? kMsTaxaPolymorph : kMsTaxaUncertain;
        const uint32_t ntax = 3 + rng() % 14, nchar = 1 + rng() % (trial % 3 == 0 ? 150 : 12);
        std::vector<std::vector<uint64_t>> cells(ntax, std::vector<uint64_t>(nchar, 0));
        std::vector<uint32_t> kind(nchar), low(nchar);
        for (uint32_t c = 0; c < nchar; c++) {
            // Mostly two-state directed characters; some of three states
            // and of the other classes keep the matrix mixed.
            const uint32_t k = rng() % 12;
            kind[c] = k < 8 ? k % 4 : k;
            const uint32_t hi = kind[c] == 8 ? 2 : 1, lo = rng() % 3 == 0 ? 1 : 0;
            low[c] = lo;
            for (uint32_t t = 0; t < ntax; t++) {
                const uint32_t r = rng() % 8;
                const uint32_t s = lo + rng() % (hi + 1);
                cells[t][c] = r == 0 ? 0 : r == 1 ? bit(lo) | bit(lo + 1) : bit(s);
            }
        }
        d = makeTypedData(4, cells);
        for (uint32_t c = 0; c < nchar; c++) {
            switch (kind[c]) {
            case 0: setType(d, c, kCharDollo, false); break;
            case 1: setType(d, c, kCharDollo, true); break;
            case 2: setType(d, c, kCharIrreversible, false); break;
            case 3: setType(d, c, kCharIrreversible, true); break;
            case 8: setType(d, c, rng() % 2 ? kCharDollo : kCharIrreversible, rng() % 2); break;
            case 10: setType(d, c, kCharUnordered); break;
            case 11: setType(d, c, kCharOrdered); break;
            default:
                types.push_back(randomType(rng, 4, true, false));
                setType(d, c, kCharUserType, false, &types.back()->ut);
            }
            // Irreversible characters mostly get a given state, the
            // middle one of three states among them.
            const bool irrev = (d->status[c] & kCharTypeMask) == kCharIrreversible;
            const uint32_t a = irrev && trial % 6 != 0 ? 2 + rng() % 3 : rng() % 5;
            if (a < 3)
                setAncestor(d, c, a == 2 ? bit(low[c]) | bit(low[c] + 1) : bit(a + (rng() % 3 == 0 ? 1 : 0)));
            d->weights[c] = trial % 2 ? 1 + rng() % 3 : 1;
        }
        prepare();
        build(randomTreeText(rng, ntax, -1, trial % 3 != 1));
        applied += dirBitsApply(d, tree.get()) ? 1 : 0;

        // The bit path first, on a tree no pass has walked yet.
        const double fast = calcTreeLengthOnly(d, tree.get(), true);
        const std::vector<double> fastChars = charLengths();
        const double slow = calcTreeLength(d, tree.get(), true, true);
        const std::vector<double> slowChars = charLengths();
        EXPECT_EQ(calcTreeLengthOnly(d, tree.get(), false), fast) << "trial " << trial;
        if (slow == kNoScore) {
            EXPECT_EQ(fast, kNoScore) << "trial " << trial;
            impossibleSeen++;
            continue;
        }
        EXPECT_EQ(fast, slow) << "trial " << trial;
        for (uint32_t c = 0; c < nchar; c++) {
            EXPECT_EQ(fastChars[c], slowChars[c]) << "trial " << trial << " char " << c;
            if (kind[c] < 4 || kind[c] == 8) {
                EXPECT_EQ(fastChars[c], referenceLength(d, tree.get(), c, 0xF)) << "trial " << trial << " char " << c;
                routedCompared++;
            }
        }
        // The class chain is whole again: the cost vectors alone still give
        // the same length.
        EXPECT_EQ(calcTreeLength(d, tree.get(), true, false), slow) << "trial " << trial;
    }
    EXPECT_GT(applied, 110);
    EXPECT_GT(routedCompared, 1000);
    // A given ancestor is primitive both ways along the series, so every
    // state of an irreversible character can be reached from it.
    EXPECT_EQ(impossibleSeen, 0);
}

// An ancestor left open counts no step on its edge: each character costs the
// cheaper of its two ancestral states, on the bit path and in the cost
// vectors alike. On ((a,b),((c,d),e)) the four characters present in one
// clade need one gain each (a derived ancestor would need 8 losses); the
// fifth, in a and c, is cheaper derived at the root (losses in b, d and e)
// than gained there; the sixth, in a and b, costs one step either way.
// Dollo.dn reads the same cells upside down.
TEST_F(DolloBits, OpenAncestorCountsTheCheaperState)
{
    const double open[] = {1, 1, 1, 1, 3, 1}, zero[] = {1, 1, 1, 1, 4, 1};
    for (const bool down : {false, true}) {
        for (const bool given : {false, true}) {
            loadSixOnFive(kCharDollo, down, given ? bit(down) : 0);
            ASSERT_TRUE(dirBitsApply(d, tree.get()));
            const double *want = given ? zero : open;
            EXPECT_EQ(calcTreeLengthOnly(d, tree.get(), true), given ? 9 : 8) << down << given;
            for (uint32_t c = 0; c < 6; c++)
                EXPECT_EQ(charLengthOnTree(d, c), want[c]) << down << given << " char " << c;
            EXPECT_EQ(calcTreeLength(d, tree.get(), true, true), given ? 9 : 8) << down << given;
            for (uint32_t c = 0; c < 6; c++)
                EXPECT_EQ(charLengthOnTree(d, c), want[c]) << down << given << " char " << c;
        }
    }
}

// A given ancestral state is the primitive one, whichever it is: the
// character turns round when it is the state the type would derive. The
// cells of the test above with the ancestor given as 1 (0 for Dollo.dn):
// the other state is then derived, gained once (Dollo) at the node joining
// its holders, or only ever gained (irreversible) where it occurs; on these
// cells both types happen to cost the same.
TEST_F(DolloBits, GivenAncestorIsPrimitiveEitherWay)
{
    const double want[] = {2, 2, 2, 2, 3, 1};
    for (const bool down : {false, true}) {
        for (const uint32_t type : {kCharDollo, kCharIrreversible}) {
            loadSixOnFive(type, down, bit(!down));
            ASSERT_TRUE(dirBitsApply(d, tree.get()));
            EXPECT_EQ(calcTreeLengthOnly(d, tree.get(), true), 12) << down << type;
            for (uint32_t c = 0; c < 6; c++)
                EXPECT_EQ(charLengthOnTree(d, c), want[c]) << down << type << " char " << c;
            EXPECT_EQ(calcTreeLength(d, tree.get(), true, true), 12) << down << type;
            for (uint32_t c = 0; c < 6; c++) {
                EXPECT_EQ(charLengthOnTree(d, c), want[c]) << down << type << " char " << c;
                EXPECT_EQ(referenceLength(d, tree.get(), c, 0x3), want[c]) << down << type << " char " << c;
            }
        }
    }
}

// The hand examples with 64 and more characters of one class, which fill
// several words.
TEST_F(DolloBits, HandExamplesAcrossWords)
{
    for (const DolloHandCase &k : kDolloHandCases) {
        drop();
        constexpr uint32_t kEach = 70;
        std::vector<std::vector<uint64_t>> cells(4, std::vector<uint64_t>(2 * kEach));
        for (uint32_t t = 0; t < 4; t++)
            for (uint32_t c = 0; c < 2 * kEach; c++)
                cells[t][c] = bit(k.cells[t] - '0');
        d = makeTypedData(2, cells);
        for (uint32_t c = 0; c < 2 * kEach; c++) {
            setType(d, c, c < kEach ? kCharDollo : kCharIrreversible);
            setAncestor(d, c, bit(0));
            d->weights[c] = 1 + c % 2;
        }
        prepare();
        build("((0,1),(2,3))");
        ASSERT_TRUE(dirBitsApply(d, tree.get()));
        const double weightSum = 3.0 * kEach / 2;  // weights 1, 2, 1, 2, ...
        EXPECT_EQ(calcTreeLengthOnly(d, tree.get(), true), weightSum * (k.dollo + k.irrev)) << k.cells;
        EXPECT_EQ(charLengthOnTree(d, 0), k.dollo) << k.cells;
        EXPECT_EQ(charLengthOnTree(d, 2 * kEach - 1), k.irrev) << k.cells;
    }
}

// Every rooted binary tree on the taxa of `mask`, as text.
std::vector<std::string> rootedTrees(uint32_t mask)
{
    if (std::popcount(mask) == 1)
        return {std::to_string(std::countr_zero(mask))};
    std::vector<std::string> out;
    const uint32_t first = mask & (~mask + 1), rest = mask ^ first;
    // The side holding the lowest taxon, so each split is taken once.
    for (uint32_t sub = rest;; sub = (sub - 1) & rest) {
        const uint32_t left = first | sub, right = mask ^ left;
        if (right)
            for (const std::string &a : rootedTrees(left))
                for (const std::string &b : rootedTrees(right))
                    out.push_back("(" + a + "," + b + ")");
        if (!sub)
            break;
    }
    return out;
}

// A polymorphic terminal holds all its states, so the least length of a
// Dollo or irreversible character counts the steps inside it: over every
// rooted tree of five taxa, with the ancestor open, the shortest length
// (the steps inside polymorphic terminals included) is the minimum the
// length bounds give, for both variants of both types.
TEST_F(DolloBits, PolymorphicMinimumIsReachedOnSomeTree)
{
    const std::vector<std::string> trees = rootedTrees(0x1F);
    ASSERT_EQ(trees.size(), 105u);
    std::mt19937 rng(515);
    int checked = 0, withPoly = 0;
    for (int trial = 0; trial < 30; trial++) {
        drop();
        msTaxa = kMsTaxaPolymorph;
        constexpr uint32_t kChars = 8;
        std::vector<std::vector<uint64_t>> cells(5, std::vector<uint64_t>(kChars));
        for (auto &row : cells)
            for (auto &cell : row) {
                const uint32_t r = rng() % 7;
                cell = r == 0 ? 0 : r < 3 ? bit(0) | bit(1) : bit(r % 2);
            }
        // A third symbol, so that a cell of both states is not read as
        // "any state".
        d = makeTypedData(3, cells);
        for (uint32_t c = 0; c < kChars; c++)
            setType(d, c, c % 2 ? kCharDollo : kCharIrreversible, (c / 2) % 2 == 1);
        prepare();
        build(trees[0]);
        ASSERT_EQ(calcLengthBounds(d, tree.get(), true, false), 0);
        const std::vector<double> minLen = lengthBounds().minLen;
        const std::vector<uint8_t> inBounds = lengthBounds().inBounds;
        std::vector<double> best(kChars, 1e37);
        for (const std::string &t : trees) {
            build(t);
            for (uint32_t c = 0; c < kChars; c++)
                best[c] = std::min(best[c], referenceLength(d, tree.get(), c, 0x3));
        }
        for (uint32_t c = 0; c < kChars; c++) {
            if (!inBounds[c])
                continue;
            EXPECT_EQ(minLen[c], best[c]) << "trial " << trial << " char " << c;
            checked++;
            withPoly += packedData(d)->extraLen[c] > 0;
        }
    }
    EXPECT_GT(checked, 150);
    EXPECT_GT(withPoly, 100);
}

}  // namespace

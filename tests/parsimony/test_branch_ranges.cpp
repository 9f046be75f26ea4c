#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "data/vorn_data.h"
#include "parsimony/chglist.h"
#include "parsimony/mprange.h"
#include "parsimony/optimize.h"
#include "parsimony/pars_init.h"
#include "parsimony/pars_util.h"
#include "parsimony/treelen.h"
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

namespace {

// Every most-parsimonious reconstruction of a tree, found by trying every
// assignment of states to its nodes: the reference the reconstructions, the
// branch ranges and the change lists are held against.
class ReconstructionReferenceTest : public BranchRangeTest {
protected:
    // Rows over symbols 0-3: a digit, '?' missing, 'x' the uncertain {02},
    // 'y' the uncertain {13}. types: one of 'u' (unordered), 'o' (ordered),
    // 'i' (irreversible) per character.
    void makeCells(const std::vector<std::string> &rows, const std::string &types)
    {
        dropData();
        data = createDataInfo();
        std::snprintf(data->symbols, sizeof data->symbols, "0123");
        data->nchar = static_cast<uint32_t>(types.size());
        ASSERT_EQ(allocTaxaMemory(data, static_cast<uint32_t>(rows.size())), 0);
        ASSERT_EQ(initCharInfo(data), 0);
        ASSERT_EQ(initializeRawData(data, 0), 0);
        data->flags |= kHaveTaxa | kHaveCharacters;
        for (uint32_t c = 0; c < data->nchar; c++) {
            data->status[c] = (data->status[c] & ~kCharTypeMask) |
                              (types[c] == 'o' ? kCharOrdered : types[c] == 'i' ? kCharIrreversible : kCharUnordered);
            for (uint32_t t = 0; t < rows.size(); t++) {
                const char x = rows[t][c];
                const uint8_t code = x == '?'   ? static_cast<uint8_t>(4)
                                     : x == 'x' ? stateBitsToCode(0b0101, data)
                                     : x == 'y' ? stateBitsToCode(0b1010, data)
                                                : static_cast<uint8_t>(x - '0');
                ASSERT_EQ(setXijRaw(data, t, c, code), 0);
            }
        }
        setActiveDataInfo(data);
        gPars.pending = 3;
        ASSERT_EQ(prepareParsimonyData(data), 0);
        tree.reset(createTreeForTaxa(data->ntax, data->ntax, true));
    }

    struct Reference {
        double length = 0;
        std::vector<double> lo, hi;  // per node position: its branch's steps
    };
    // One character on the tree as it stands. Ordered and irreversible
    // characters read an uncertain cell as every state between its ends;
    // an irreversible character only gains, from the state at the root.
    Reference reference(uint32_t c)
    {
        const uint32_t type = data->status[c] & kCharTypeMask;
        auto cost = [&](int a, int b) {
            if (a == b)
                return 0;
            if (type == kCharUnordered)
                return 1;
            return type == kCharIrreversible && b < a ? 1 << 20 : std::abs(a - b);
        };
        std::vector<const TreeNode *> nodes;
        std::vector<std::vector<int>> choices;
        for (const TreeNode *n = tree->root; n; n = n->next) {
            nodes.push_back(n);
            uint64_t cell = 0b1111;
            if (isTaxonNode(n)) {
                cell = getXijAsBits(data, n->index, c, nullptr) & 0b1111;
                if (type != kCharUnordered && cell)
                    cell = (uint64_t{2} << (63 - std::countl_zero(cell))) - (cell & (~cell + 1));
            }
            choices.emplace_back();
            for (int s = 0; s < 4; s++)
                if (cell >> s & 1)
                    choices.back().push_back(s);
        }
        // Forks need no state beyond those the cells span.
        uint64_t span = 0;
        for (size_t i = 0; i < nodes.size(); i++)
            if (isTaxonNode(nodes[i]) && choices[i].size() < 4)
                for (int s : choices[i])
                    span |= uint64_t{1} << s;
        if (type != kCharUnordered && span)
            span = (uint64_t{2} << (63 - std::countl_zero(span))) - (span & (~span + 1));
        for (size_t i = 0; i < nodes.size(); i++)
            if (!isTaxonNode(nodes[i]) && span)
                std::erase_if(choices[i], [&](int s) { return !(span >> s & 1); });
        // Depth first over the nodes in preorder, each branch's cost added
        // as its lower end is set; no partial assignment above the least
        // length can end in a most parsimonious one.
        Reference r{1e9, std::vector<double>(tree->maxNodes, 1e9), std::vector<double>(tree->maxNodes, 0)};
        std::vector<int> state(tree->maxNodes);
        bool collect = false;
        std::function<void(size_t, double)> assign = [&](size_t i, double len) {
            if (len > r.length)
                return;
            if (i == nodes.size()) {
                if (!collect) {
                    r.length = len;
                    return;
                }
                for (size_t j = 1; j < nodes.size(); j++) {
                    const uint32_t p = nodePosition(tree.get(), nodes[j]);
                    const double step = cost(state[nodePosition(tree.get(), nodes[j]->anc)], state[p]);
                    r.lo[p] = std::min(r.lo[p], step);
                    r.hi[p] = std::max(r.hi[p], step);
                }
                return;
            }
            for (int s : choices[i]) {
                state[nodePosition(tree.get(), nodes[i])] = s;
                assign(i + 1, len + (i ? cost(state[nodePosition(tree.get(), nodes[i]->anc)], s) : 0));
            }
        };
        assign(0, 0);
        collect = true;
        assign(0, 0);
        return r;
    }
    bool isTaxonNode(const TreeNode *n) const { return n->index >= 0 && n->index < static_cast<int32_t>(data->ntax); }

    // The reconstruction on the tree as it stands against the reference:
    // lengths, the lengths assigned to the branches, their ranges, and the
    // steps of every character's change list.
    void expectAgreement(const std::string &what)
    {
        SCOPED_TRACE(what);
        const std::vector<BranchLengthRange> got = possibleBranchLengths(tree.get(), data);
        std::vector<double> lo(tree->maxNodes, 0), hi(tree->maxNodes, 0);
        double length = 0, assigned = 0;
        for (uint32_t c = 0; c < data->nchar; c++) {
            const Reference r = reference(c);
            length += r.length;
            for (const TreeNode *n = tree->root->next; n; n = n->next) {
                lo[nodePosition(tree.get(), n)] += r.lo[nodePosition(tree.get(), n)];
                hi[nodePosition(tree.get(), n)] += r.hi[nodePosition(tree.get(), n)];
            }
            double listed = 0;
            for (const CharChange &ch : listCharChanges(tree.get(), data, c))
                listed += ch.cost + ch.terminal;
            EXPECT_EQ(listed, r.length) << "change list of character " << c;
        }
        EXPECT_EQ(calcTreeLength(data, tree.get(), true, false), length);
        for (const TreeNode *n = tree->root->next; n; n = n->next) {
            const uint32_t p = nodePosition(tree.get(), n);
            assigned += n->edge.brlen;
            EXPECT_EQ(got[p].min, lo[p]) << "node " << n->index;
            EXPECT_EQ(got[p].max, hi[p]) << "node " << n->index;
            EXPECT_LE(lo[p], n->edge.brlen) << "node " << n->index;
            EXPECT_GE(hi[p], n->edge.brlen) << "node " << n->index;
        }
        EXPECT_EQ(assigned, length);
    }

    // Every binary tree over taxa firstTaxon .. ntax-1 as text: from 1, for
    // buildTree, every unrooted tree of ntax taxa (tip 0 above); from 0,
    // every rooted one.
    std::vector<std::string> allTrees(uint32_t ntax) const
    {
        std::vector<std::string> trees{std::to_string(firstTaxon)};
        for (uint32_t k = firstTaxon + 1; k < ntax; k++) {
            std::vector<std::string> next;
            for (const std::string &s : trees)
                for (size_t i = 0; i < s.size(); i++) {
                    size_t j = i;
                    if (std::isdigit(static_cast<unsigned char>(s[i]))) {
                        j = i + 1;
                    } else if (s[i] == '(') {
                        for (int depth = 0; j < s.size(); j++)
                            if ((depth += s[j] == '(' ? 1 : s[j] == ')' ? -1 : 0) == 0)
                                break;
                        j++;
                    } else {
                        continue;
                    }
                    next.push_back(s.substr(0, i) + "(" + s.substr(i, j - i) + "," + std::to_string(k) + ")" +
                                   s.substr(j));
                }
            trees = std::move(next);
        }
        return trees;
    }
    uint32_t firstTaxon = 1;
    // Every tree of `from` to `to` taxa (7 at most), then `random` random
    // ones of each larger count up to `upTo`, under fresh random cells of
    // the given types every 15 trees; the first taxon's cells are `first`
    // when given. Stops at the first tree that fails.
    void forTrees(uint32_t from, uint32_t to, uint32_t upTo, int random, const char *cells, const std::string &types,
                  const std::string &first, const std::function<void(const std::string &)> &body)
    {
        std::mt19937 rng(from * 100 + to + static_cast<uint32_t>(types[0]));
        for (uint32_t ntax = from; ntax <= upTo; ntax++) {
            std::vector<std::string> shapes = ntax <= to ? allTrees(ntax) : std::vector<std::string>{};
            for (int k = 0; ntax > to && k < random; k++)
                shapes.push_back(randomTree(rng, ntax));
            for (size_t k = 0; k < shapes.size(); k++) {
                if (k % 15 == 0) {
                    std::vector<std::string> rows(ntax, std::string(types.size(), '0'));
                    for (auto &row : rows)
                        for (char &x : row)
                            x = cells[rng() % std::strlen(cells)];
                    if (!first.empty())
                        rows[0] = first;
                    makeCells(rows, types);
                }
                SCOPED_TRACE(std::to_string(ntax) + " taxa, " + shapes[k]);
                body(shapes[k]);
                if (HasFailure())
                    return;
            }
        }
    }
};

}  // namespace

namespace {

// MinF on unrooted trees: every tree of 5 to 7 taxa and random ones of 8
// and 9, multistate unordered characters with missing cells. The one
// reconstruction is most parsimonious: each branch takes a length some most
// parsimonious reconstruction gives it, and they add up to the tree length.
TEST_F(ReconstructionReferenceTest, MinFGivesAMostParsimoniousReconstructionOnUnrootedTrees)
{
    forTrees(5, 7, 9, 200, "0123012301230123?", "uu", "", [&](const std::string &shape) {
        buildTree(shape);
        gPars.opt = static_cast<uint32_t>(ParsOpt::MinF);
        ASSERT_EQ(optimizeAndRootTree(tree.get(), data, 1, false, false), 0);
        expectAgreement("MinF");
    });
}

// A tree already rooted is not reconstructed under MinF, which places the
// root, but under AccTran: every rooted tree of 5 to 7 taxa hung from the
// ancestor gets AccTran's most parsimonious reconstruction, and the setting
// stays.
TEST_F(ReconstructionReferenceTest, RootedTreesUnderMinFGetAMostParsimoniousReconstruction)
{
    firstTaxon = 0;
    forTrees(5, 7, 7, 0, "0123012301230123?", "uu", "", [&](const std::string &shape) {
        buildTestTree(tree.get(), shape, -1);
        setTraversalSeq(tree.get());
        gPars.opt = static_cast<uint32_t>(ParsOpt::MinF);
        ASSERT_EQ(optimizeAndRootTree(tree.get(), data, 1, false, false), 0);
        EXPECT_EQ(gPars.opt, static_cast<uint32_t>(ParsOpt::MinF));
        expectAgreement("rooted");
        std::vector<double> minf;
        for (const TreeNode *n = tree->root->next; n; n = n->next)
            minf.push_back(n->edge.brlen);
        gPars.opt = static_cast<uint32_t>(ParsOpt::AccTran);
        ASSERT_EQ(optimizeAndRootTree(tree.get(), data, 1, false, false), 0);
        size_t i = 0;
        for (const TreeNode *n = tree->root->next; n; n = n->next)
            EXPECT_EQ(minf[i++], n->edge.brlen) << "node " << n->index;
    });
}

// Ordered characters with uncertain cells of states apart ({02}, {13}) are
// scored as the interval between their ends: the change lists and the
// branch ranges read them so as well, under every optimisation, on every
// tree of 5 to 7 taxa.
TEST_F(ReconstructionReferenceTest, OrderedGappedCellsAgreeWithTheLengthOnEveryTree)
{
    forTrees(5, 7, 7, 0, "0123xxy?", "ooo", "", [&](const std::string &shape) {
        for (ParsOpt opt : {ParsOpt::AccTran, ParsOpt::DelTran, ParsOpt::MinF}) {
            buildTree(shape);
            gPars.opt = static_cast<uint32_t>(opt);
            if (opt == ParsOpt::MinF)
                ASSERT_EQ(optimizeAndRootTree(tree.get(), data, 1, false, false), 0);
            else
                reconstruct(opt);
            expectAgreement("opt " + std::to_string(static_cast<int>(opt)));
        }
    });
}

// Irreversible characters pack an uncertain cell of states apart as the
// interval between its ends, as ordered and Dollo characters do: {02} may
// be 1 at no step. Lengths, branch ranges and change lists on every tree
// of 5 to 7 taxa, held at the first taxon.
TEST_F(ReconstructionReferenceTest, IrreversibleGappedCellsAreReadAsTheirInterval)
{
    forTrees(5, 7, 7, 0, "0123xxy?", "iii", "000", [&](const std::string &shape) {
        for (ParsOpt opt : {ParsOpt::AccTran, ParsOpt::DelTran}) {
            buildTree(shape);
            reconstruct(opt);
            expectAgreement("opt " + std::to_string(static_cast<int>(opt)));
        }
    });
}

}  // namespace

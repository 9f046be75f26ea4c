// Rearrangements with stepmatrix, Dollo and irreversible characters on trees
// held at the ancestor: every NNI, SPR and TBR move scores as a full
// rescoring of the rearranged tree, and the moves' best matches the
// exhaustive best over every rooted tree.
#include <functional>
#include <random>
#include <set>
#include <tuple>

#include "data/data_services.h"
#include "data/data_util.h"
#include "parsimony/calcsets.h"
#include "parsimony/dollo_bits.h"
#include "parsimony/chglist.h"
#include "parsimony/dollo_search.h"
#include "parsimony/mprange.h"
#include "parsimony/optimize.h"
#include "parsimony/pars_init.h"
#include "parsimony/pars_fxns.h"
#include "parsimony/pars_util.h"
#include "parsimony/stmx.h"
#include "parsimony/stmx_test_support.h"
#include "parsimony/treelen.h"
#include "search/condense.h"
#include "search/search.h"
#include "search/swap.h"
#include "search/swap_test_support.h"
#include "search/tbr.h"
#include "support/tree_test_support.h"
#include "trees/collapse.h"
#include "trees/treeedit.h"

namespace {

using namespace stmtest;

class StmMoves : public SwapTest {
protected:
    void SetUp() override
    {
        SwapTest::SetUp();
        DataServices s{};
        s.msTaxa = [] { return static_cast<int>(kMsTaxaUncertain); };
        installDataServices(s);
    }
    void TearDown() override
    {
        SwapTest::TearDown();
        resetDataServices();
    }

    // Random characters of the directed and stepmatrix types with an
    // ancestor, weights, missing and uncertain cells; with `shared`, the
    // stepmatrix characters share that many tables.
    void randomStmData(std::mt19937 &rng, uint32_t ntax, uint32_t nchar, uint32_t shared = 0)
    {
        dropData();
        types.clear();
        const uint32_t ns = 2 + rng() % 4;
        std::vector<std::vector<uint64_t>> cells(ntax, std::vector<uint64_t>(nchar));
        for (auto &row : cells)
            for (uint64_t &b : row) {
                const uint32_t k = rng() % 12, s = rng() % ns;
                b = k == 0 ? 0 : (uint64_t{1} << s) | (k == 1 ? uint64_t{1} << (s + 1 < ns ? s + 1 : s - 1) : 0);
            }
        data = makeTypedData(ns, cells);
        for (uint32_t t = 0; t < shared; t++)
            types.push_back(randomType(rng, ns, t % 2 == 1, false));
        for (uint32_t c = 0; c < nchar; c++) {
            const uint32_t kind = rng() % 6;
            if (kind < 2)
                setType(data, c, kind ? kCharDollo : kCharIrreversible, rng() % 2);
            else if (kind == 2)
                setType(data, c, kCharOrdered);
            else if (shared)
                setType(data, c, kCharUserType, false, &types[rng() % shared]->ut);
            else {
                types.push_back(randomType(rng, ns, kind == 3, false));
                setType(data, c, kCharUserType, false, &types.back()->ut);
            }
            setAncestor(data, c, rng() % 3 ? 0 : 1);
            data->weights[c] = 1 + rng() % 3;
        }
        ASSERT_EQ(prepared(), 0);
    }

    // Makes the data active and prepares them afresh for parsimony.
    int prepared()
    {
        setActiveDataInfo(data);
        gPars.pending = 3;
        return prepareParsimonyData(data);
    }

    TreePtr rootedTree(const std::string &text)
    {
        TreePtr t(createTreeForTaxa(data->ntax, data->ntax, true));
        buildTestTree(t.get(), text, -1);
        afterTreeChange(t.get());
        pointTreeAtPackedData(t.get(), data);
        prepareTreeForSwapping(t.get(), data);
        return t;
    }

    std::vector<std::unique_ptr<TestType>> types;
};

struct Move {
    TreeNode *K, *T, *R;
    double score;
};

std::vector<Move> allMoves(Tree *tree, const DataInfo *d, int type, uint32_t reach = 0)
{
    std::vector<Move> moves;
    forEachTbrMove(
        tree, d, type, reach,
        [](void *ctx, TreeNode *K, TreeNode *T, TreeNode *R, double score) {
            static_cast<std::vector<Move> *>(ctx)->push_back({K, T, R, score});
            return 0;
        },
        &moves);
    return moves;
}

// Applies each move, checks its score against `full` of the rearranged tree
// and undoes it; the number of moves checked.
long checkEveryMove(Tree *tree, DataInfo *d, int type, const std::function<double()> &full, int trial)
{
    long checked = 0;
    for (const Move &m : allMoves(tree, d, type)) {
        RearrObject hit, inverse;
        makeRearrObject(&hit, m.K, m.T, m.R, m.score);
        EXPECT_EQ(applyTbrRearr(&inverse, tree, d, &hit, true), 0);
        EXPECT_DOUBLE_EQ(m.score, full()) << "trial " << trial << " type " << type;
        EXPECT_EQ(undoTbrRearr(tree, d, true), 0);
        checked++;
    }
    return checked;
}

TEST_F(StmMoves, EveryMoveScoresAsAFullRescoring)
{
    std::mt19937 rng(6138);
    long checked = 0;
    for (int trial = 0; trial < 24; trial++) {
        const uint32_t ntax = 5 + trial % 8;
        randomStmData(rng, ntax, 1 + rng() % 12);
        TreePtr tree = rootedTree(randomTreeText(rng, ntax, -1, false));
        const int type = trial % 3 == 0 ? kSwapNNI : trial % 3 == 1 ? kSwapSPR : kSwapTBR;
        const auto moves = allMoves(tree.get(), data, type);
        ASSERT_FALSE(moves.empty());
        for (const Move &m : moves) {
            RearrObject hit, inverse;
            makeRearrObject(&hit, m.K, m.T, m.R, m.score);
            ASSERT_EQ(applyTbrRearr(&inverse, tree.get(), data, &hit, true), 0);
            const double full = calcTreeLength(data, tree.get(), true, false);
            ASSERT_DOUBLE_EQ(m.score, full) << "trial " << trial << " type " << type;
            ASSERT_EQ(undoTbrRearr(tree.get(), data, true), 0);
            checked++;
        }
    }
    EXPECT_GT(checked, 1500);
}

// The same with many characters sharing two tables, so that whole blocks of
// them are joined and spanned together.
TEST_F(StmMoves, MovesOverCharactersSharingTablesScoreAsFullRescorings)
{
    std::mt19937 rng(6140);
    long checked = 0;
    for (int trial = 0; trial < 9; trial++) {
        const uint32_t ntax = 6 + trial % 5;
        randomStmData(rng, ntax, 30 + rng() % 20, 2);
        ASSERT_FALSE(packedData(data)->stmBlocks.empty());
        TreePtr tree = rootedTree(randomTreeText(rng, ntax, -1, false));
        const int type = trial % 3 == 0 ? kSwapNNI : trial % 3 == 1 ? kSwapSPR : kSwapTBR;
        for (const Move &m : allMoves(tree.get(), data, type)) {
            RearrObject hit, inverse;
            makeRearrObject(&hit, m.K, m.T, m.R, m.score);
            ASSERT_EQ(applyTbrRearr(&inverse, tree.get(), data, &hit, true), 0);
            ASSERT_DOUBLE_EQ(m.score, calcTreeLength(data, tree.get(), true, false)) << "trial " << trial;
            ASSERT_EQ(undoTbrRearr(tree.get(), data, true), 0);
            checked++;
        }
    }
    EXPECT_GT(checked, 500);
}

// Two-state Dollo and irreversible characters with ancestors given, open
// between both states or missing: every NNI, SPR and TBR move of the cost
// vectors scores as the bit path (an independent scorer of the whole tree)
// rescores the rearranged tree.
TEST_F(StmMoves, TwoStateDirectedMovesScoreAsTheBitPath)
{
    std::mt19937 rng(6641);
    long checked = 0;
    for (int trial = 0; trial < 12; trial++) {
        dropData();
        const uint32_t ntax = 5 + trial % 7, nchar = 40 + rng() % 60;
        std::vector<std::vector<uint64_t>> cells(ntax, std::vector<uint64_t>(nchar));
        for (auto &row : cells)
            for (uint64_t &b : row) {
                const uint32_t k = rng() % 10;
                b = k == 0 ? 0 : k == 1 ? 3 : uint64_t{1} << (k % 2);
            }
        data = makeTypedData(2, cells);
        for (uint32_t c = 0; c < nchar; c++) {
            const bool dollo = rng() % 3 != 0, down = rng() % 2;
            setType(data, c, dollo ? kCharDollo : kCharIrreversible, down);
            // Dollo: missing, state 0, state 1 or both; irreversible: missing
            // or either state (a given state is the primitive one).
            const uint64_t a = rng() % 4;
            setAncestor(data, c, dollo ? a : a % 2 ? uint64_t{1} << (a / 2) : 0);
            data->weights[c] = trial % 2 ? 1 + rng() % 3 : 1;
        }
        ASSERT_EQ(prepared(), 0);
        TreePtr tree = rootedTree(randomTreeText(rng, ntax, -1, false));
        const int type = trial % 3 == 0 ? kSwapNNI : trial % 3 == 1 ? kSwapSPR : kSwapTBR;
        checked += checkEveryMove(tree.get(), data, type, [&] {
            EXPECT_TRUE(dirBitsApply(data, tree.get()));
            return calcTreeLengthOnly(data, tree.get(), false);
        }, trial);
    }
    EXPECT_GT(checked, 800);
}

// An ancestor of a character of w states by choice a: missing, the run
// {s, s + 1} (else s), the lowest state, or state s.
uint64_t seriesAncestor(uint32_t a, uint32_t s, uint32_t w)
{
    return a == 0 ? 0 : a == 1 && s + 1 < w ? uint64_t{3} << s : uint64_t{1} << (a == 3 ? 0 : s);
}

// The tree's length by the cost vectors, checked against its length by
// steps.
double stepsAsCostVectors(DataInfo *d, Tree *tree, int trial)
{
    double costVectors;
    {
        DolloSearchPause whole(d);
        costVectors = calcTreeLength(d, tree, true, false);
    }
    EXPECT_DOUBLE_EQ(calcTreeLength(d, tree, true, false), costVectors) << "trial " << trial;
    return costVectors;
}

// Cells of characters of 2 to 6 states (their widths): single states, runs
// of two or three neighbouring states, missing, and with `split` some sets
// of states not side by side ({s, s + 2}).
std::vector<std::vector<uint64_t>> randomSeriesCells(std::mt19937 &rng, uint32_t ntax, std::vector<uint32_t> &width,
                                                     bool split)
{
    std::vector<std::vector<uint64_t>> cells(ntax, std::vector<uint64_t>(width.size()));
    for (uint32_t &w : width)
        w = 2 + rng() % 5;
    for (auto &row : cells)
        for (size_t c = 0; c < width.size(); c++) {
            const uint32_t k = rng() % 16, s = rng() % width[c];
            const uint64_t one = uint64_t{1} << s;
            if (k == 0)
                row[c] = 0;
            else if (k == 1 && s + 1 < width[c])
                row[c] = one | one << 1 | (rng() % 2 && s + 2 < width[c] ? one << 2 : 0);
            else if (k == 2 && split && s + 2 < width[c])
                row[c] = one | one << 2;
            else
                row[c] = one;
        }
    return cells;
}

// Packed data of Dollo (half), irreversible and ordered characters over
// randomSeriesCells, with ancestors given, open over a run or missing
// (given Dollo ancestors at an end of the series unless `middle`) and
// ".dn" variants; with `weighted`, weights of 0 to 2.
DataInfo *randomDirectedData(std::mt19937 &rng, uint32_t ntax, uint32_t nchar, bool split, bool middle, bool weighted)
{
    std::vector<uint32_t> width(nchar);
    const auto cells = randomSeriesCells(rng, ntax, width, split);
    DataInfo *d = makeTypedData(6, cells);
    for (uint32_t c = 0; c < nchar; c++) {
        const uint32_t kind = rng() % 10;
        setType(d, c, kind < 5 ? kCharDollo : kind < 9 ? kCharIrreversible : kCharOrdered, rng() % 3 == 0);
        // Dollo ancestors in the middle of the series stay with the cost
        // vectors; irreversible ones anywhere are steps.
        const uint32_t a = rng() % 4, s = kind < 5 && !middle ? (rng() % 2 ? 0 : width[c] - 1) : rng() % width[c];
        setAncestor(d, c, seriesAncestor(a, s, width[c]));
        d->weights[c] = weighted ? rng() % 3 : 1;
    }
    setActiveDataInfo(d);
    gPars.pending = 3;
    EXPECT_EQ(prepareParsimonyData(d), 0);
    return d;
}

// Dollo characters of two to six states scored by steps, as a search scores
// them, beside the other classes: every NNI, SPR and TBR move scores as the
// whole rearranged tree does by steps and by the cost vectors of every
// character. Cells are single states, runs of two or three neighbouring
// states or missing; ancestors given, open over a run, or missing; ".dn"
// variants and weights. Split sets ({s, s + 2}) and ancestors given in the
// middle of the series keep their characters with the cost vectors.
TEST_F(StmMoves, DolloStepMovesScoreAsCostVectorRescorings)
{
    std::mt19937 rng(6688);
    long checked = 0;
    int byStepsTrials = 0, multiStateBySteps = 0;
    for (int trial = 0; trial < 30; trial++) {
        dropData();
        types.clear();
        const uint32_t ntax = 5 + trial % 9, nchar = 2 + rng() % (trial % 4 == 0 ? 90 : 14), ns = 6;
        std::vector<uint32_t> width(nchar);
        const auto cells = randomSeriesCells(rng, ntax, width, trial % 3 == 2);
        data = makeTypedData(ns, cells);
        for (uint32_t c = 0; c < nchar; c++) {
            const uint32_t kind = rng() % 8;
            if (kind < 5)
                setType(data, c, kCharDollo, rng() % 3 == 0);
            else if (kind == 5)
                setType(data, c, kCharIrreversible, rng() % 2);
            else if (kind == 6)
                setType(data, c, kCharOrdered);
            else
                setType(data, c, kCharUnordered);
            const uint32_t a = rng() % 4, s = rng() % width[c];
            setAncestor(data, c, seriesAncestor(a, s, width[c]));
            data->weights[c] = trial % 2 ? 1 + rng() % 3 : 1;
        }
        ASSERT_EQ(prepared(), 0);
        TreePtr tree;
        DolloSearchScope steps(data);
        byStepsTrials += dolSearchActive(data) ? 1 : 0;
        if (dolSearchActive(data)) {
            std::set<uint32_t> chars(packedData(data)->dolSearch->charOf.begin(),
                                     packedData(data)->dolSearch->charOf.end());
            for (uint32_t c : chars)
                multiStateBySteps += c != kDolNoChar && packedData(data)->nStates[c] > 2;
        }
        tree = rootedTree(randomTreeText(rng, ntax, -1, false));
        const int type = trial % 3 == 0 ? kSwapNNI : trial % 3 == 1 ? kSwapSPR : kSwapTBR;
        checked += checkEveryMove(tree.get(), data, type, [&] { return stepsAsCostVectors(data, tree.get(), trial); },
                                  trial);
    }
    EXPECT_GT(byStepsTrials, 25);
    EXPECT_GT(multiStateBySteps, 100);
    EXPECT_GT(checked, 1500);
}

// Irreversible characters of two to six states scored by steps beside Dollo,
// ordered and unordered ones: every NNI, SPR and TBR move (rerooting the
// subtree changes its own length) scores as the whole rearranged tree does
// by steps and by the cost vectors. Ancestors given anywhere in the series
// (steps turned both ways), open over a run, or missing; ".dn" variants and
// weights. Many characters share tables, so whole blocks of them are scored
// by steps; a block holding a character with a split cell stays with the
// cost vectors whole.
TEST_F(StmMoves, IrreversibleStepMovesScoreAsCostVectorRescorings)
{
    std::mt19937 rng(6694);
    long checked = 0, rerooted = 0;
    int multiState = 0, middle = 0, blocksBySteps = 0, blocksKept = 0;
    for (int trial = 0; trial < 27; trial++) {
        dropData();
        const uint32_t ntax = 5 + trial % 9, nchar = trial % 3 == 0 ? 40 + rng() % 60 : 2 + rng() % 14, ns = 6;
        std::vector<uint32_t> width(nchar);
        const auto cells = randomSeriesCells(rng, ntax, width, trial % 4 == 3);
        data = makeTypedData(ns, cells);
        for (uint32_t c = 0; c < nchar; c++) {
            const uint32_t kind = rng() % 10;
            setType(data, c, kind < 7 ? kCharIrreversible : kind == 7 ? kCharDollo : kind == 8 ? kCharOrdered
                                                                                              : kCharUnordered,
                    rng() % 3 == 0);
            const uint32_t a = rng() % 5, s = rng() % width[c];
            setAncestor(data, c, seriesAncestor(a, s, width[c]));
            data->weights[c] = trial % 2 ? 1 + rng() % 3 : 1;
        }
        ASSERT_EQ(prepared(), 0);
        const PackedData *pd = packedData(data);
        const size_t blocks = pd->stmBlocks.size();
        DolloSearchScope steps(data);
        if (dolSearchActive(data)) {
            blocksBySteps += static_cast<int>(blocks - pd->stmBlocks.size());
            blocksKept += static_cast<int>(pd->stmBlocks.size());
            std::set<uint32_t> chars(pd->dolSearch->charOf.begin(), pd->dolSearch->charOf.end());
            for (uint32_t c : chars) {
                if (c == kDolNoChar)
                    continue;
                const StmChar &sc = pd->stmAll[static_cast<size_t>(pd->stmIndex[c])];
                if (sc.dollo)
                    continue;
                multiState += sc.n > 2;
                middle += sc.turned != 0 && static_cast<int64_t>(sc.turned) + 1 != static_cast<int64_t>(sc.n);
            }
        }
        TreePtr tree = rootedTree(randomTreeText(rng, ntax, -1, false));
        const int type = trial % 3 == 0 ? kSwapNNI : trial % 3 == 1 ? kSwapSPR : kSwapTBR;
        if (type == kSwapTBR)
            for (const Move &m : allMoves(tree.get(), data, type))
                rerooted += m.R != m.K;
        checked += checkEveryMove(tree.get(), data, type, [&] { return stepsAsCostVectors(data, tree.get(), trial); },
                                  trial);
    }
    EXPECT_GT(multiState, 150);
    EXPECT_GT(middle, 40);
    EXPECT_GT(blocksBySteps, 5);
    EXPECT_GT(blocksKept, 0);
    EXPECT_GT(rerooted, 500);
    EXPECT_GT(checked, 1500);
}

// Trees with polytomies, whose forks join any number of neighbours: by
// steps every Dollo and irreversible character scores as by the cost
// vectors, per character too.
TEST_F(StmMoves, StepsScorePolytomousTreesAsCostVectors)
{
    std::mt19937 rng(6695);
    int trees = 0;
    for (int trial = 0; trial < 40; trial++) {
        dropData();
        const uint32_t ntax = 5 + trial % 10, nchar = 4 + rng() % 30;
        std::vector<uint32_t> width(nchar);
        const auto cells = randomSeriesCells(rng, ntax, width, false);
        data = makeTypedData(6, cells);
        for (uint32_t c = 0; c < nchar; c++) {
            setType(data, c, rng() % 3 ? kCharIrreversible : kCharDollo, rng() % 3 == 0);
            const uint32_t a = rng() % 5, s = rng() % width[c];
            setAncestor(data, c, seriesAncestor(a, s, width[c]));
            data->weights[c] = 1 + rng() % 2;
        }
        ASSERT_EQ(prepared(), 0);
        DolloSearchScope steps(data);
        ASSERT_TRUE(dolSearchActive(data));
        TreePtr tree = rootedTree(randomTreeText(rng, ntax, -1, true));
        std::vector<int32_t> bySteps, byVectors;
        const double len = calcTreeLength(data, tree.get(), true, true);
        bySteps.assign(packedData(data)->steps.begin(), packedData(data)->steps.end());
        {
            DolloSearchPause whole(data);
            EXPECT_DOUBLE_EQ(calcTreeLength(data, tree.get(), true, true), len) << "trial " << trial;
            byVectors.assign(packedData(data)->steps.begin(), packedData(data)->steps.end());
        }
        EXPECT_EQ(bySteps, byVectors) << "trial " << trial;
        trees++;
    }
    EXPECT_EQ(trees, 40);
}

// A TBR and SPR descent by steps, with and without a reconnection limit:
// after each move applied the moves score as on sets computed afresh, and
// the tree's length is the cost vectors'.
TEST_F(StmMoves, DolloStepDescentKeepsItsSetsFresh)
{
    std::mt19937 rng(6690);
    for (int trial = 0; trial < 12; trial++) {
        dropData();
        const uint32_t ntax = 8 + trial % 8, nchar = 10 + rng() % 40, ns = 6;
        SCOPED_TRACE(trial);
        std::vector<uint32_t> width(nchar);
        const auto cells = randomSeriesCells(rng, ntax, width, false);
        data = makeTypedData(ns, cells);
        for (uint32_t c = 0; c < nchar; c++) {
            setType(data, c, kCharDollo, rng() % 3 == 0);
            const uint32_t a = rng() % 4;
            setAncestor(data, c, a == 0 ? 0 : a == 1 ? 1 : uint64_t{1} << (a == 2 ? width[c] - 1 : rng() % width[c]));
        }
        ASSERT_EQ(prepared(), 0);
        DolloSearchScope steps(data);
        ASSERT_TRUE(dolSearchActive(data));
        TreePtr tree = rootedTree(randomTreeText(rng, ntax, -1, false));
        const int type = trial % 2 ? kSwapSPR : kSwapTBR;
        const uint32_t reach = trial % 4 < 2 ? 0 : 3;
        double current = calcTreeLength(data, tree.get(), true, false);
        prepareTreeForSwapping(tree.get(), data);
        for (int step = 0; step < 30; step++) {
            std::vector<double> kept;
            for (const Move &m : allMoves(tree.get(), data, type, reach))
                kept.push_back(m.score);
            calcTreeLength(data, tree.get(), true, false);
            prepareTreeForSwapping(tree.get(), data);
            const auto moves = allMoves(tree.get(), data, type, reach);
            ASSERT_EQ(moves.size(), kept.size());
            for (size_t i = 0; i < moves.size(); i++)
                ASSERT_DOUBLE_EQ(kept[i], moves[i].score) << "trial " << trial << " step " << step << " move " << i;
            const Move *better = nullptr;
            for (const Move &m : moves)
                if (m.score < current - 1e-9) {
                    better = &m;
                    break;
                }
            if (!better)
                break;
            RearrObject hit, inverse;
            makeRearrObject(&hit, better->K, better->T, better->R, better->score);
            ASSERT_EQ(applyTbrRearr(&inverse, tree.get(), data, &hit, true), 0);
            current = better->score;
            {
                DolloSearchPause whole(data);
                ASSERT_DOUBLE_EQ(calcTreeLength(data, tree.get(), true, false), current) << "trial " << trial;
            }
            calcTreeLength(data, tree.get(), true, false);
            prepareTreeForSwapping(tree.get(), data);
        }
    }
}

// A Dollo character's cost vector may take back steps that the classes
// before it in the chain counted: a span with a bound reports it passed
// only when the whole sum does, though a partial sum passed it first.
TEST_F(StmMoves, BoundedSpansBeforeDolloCostVectorsCompareTheWholeSum)
{
    std::mt19937 rng(6693);
    long tookBack = 0, checked = 0;
    for (int trial = 0; trial < 20; trial++) {
        dropData();
        const uint32_t ntax = 6 + trial % 7, nchar = 20;
        std::vector<std::vector<uint64_t>> cells(ntax, std::vector<uint64_t>(nchar));
        for (auto &row : cells)
            for (uint64_t &b : row)
                b = uint64_t{1} << (rng() % 4);
        data = makeTypedData(4, cells);
        for (uint32_t c = 0; c < nchar; c++) {
            setType(data, c, c % 2 ? kCharDollo : kCharOrdered);
            setAncestor(data, c, rng() % 2 ? uint64_t{2} : 0);
        }
        ASSERT_EQ(prepared(), 0);
        TreePtr tree = rootedTree(randomTreeText(rng, ntax, -1, false));
        for (TreeNode *n = tree->root->firstChild; n; n = n->next) {
            const ParsNodeSets *a = nodeSets(n->abm[0]), *b = nodeSets(n->abm[1]);
            double whole = 0.0, before = 0.0;
            for (const ParsFxns *f = data->parsFxns; f; f = f->next) {
                f->addSpan(data, a, b, false, &whole, kNoScore);
                if (f->next)
                    before = whole;
            }
            tookBack += before > whole;
            for (const double bound : {whole - 1, whole, before}) {
                double len = 0.0;
                EXPECT_EQ(frvAddSpan(data, a, b, false, &len, bound), whole > bound ? 1 : 0) << "trial " << trial;
                checked++;
            }
        }
    }
    EXPECT_GT(tookBack, 5);
    EXPECT_GT(checked, 500);
}

// Repeated TBR descent from random rooted trees reaches the best length of
// all 10,395 rooted trees of seven taxa (the ancestor as an eighth leaf).
TEST_F(StmMoves, TbrDescentReachesTheExhaustiveBest)
{
    std::mt19937 rng(6139);
    for (int trial = 0; trial < 6; trial++) {
        randomStmData(rng, 7, 10);
        // Every rooted tree: leaves inserted one at a time under the ancestor.
        TreePtr all(createTreeForTaxa(7, 7, true));
        buildTestTree(all.get(), "(0,1)", -1);
        afterTreeChange(all.get());
        double best = 1e37;
        long trees = 0;
        std::function<void(uint32_t)> grow = [&](uint32_t next) {
            setTraversalSeq(all.get());
            if (next == 7) {
                pointTreeAtPackedData(all.get(), data);
                best = std::min(best, calcTreeLength(data, all.get(), true, false));
                trees++;
                return;
            }
            std::vector<uint32_t> edges;
            for (TreeNode *e = all->root->next; e; e = e->next)
                edges.push_back(nodePosition(all.get(), e));
            for (uint32_t pos : edges) {
                TreeNode *leaf = nodeOfIndex(all.get(), static_cast<int32_t>(next));
                ASSERT_EQ(binConnectLeaf(leaf, all->nodes + pos, findFreeNode(all.get())), 0);
                grow(next + 1);
                binPruneLeaf(leaf);
                setTraversalSeq(all.get());
            }
        };
        grow(2);
        ASSERT_EQ(trees, 10395);
        double found = 1e37;
        for (int start = 0; start < 8; start++) {
            TreePtr tree = rootedTree(randomTreeText(rng, 7, -1, false));
            double current = calcTreeLength(data, tree.get(), true, false);
            for (bool improved = true; improved;) {
                improved = false;
                for (const Move &m : allMoves(tree.get(), data, kSwapTBR)) {
                    if (m.score < current - 1e-9) {
                        RearrObject hit, inverse;
                        makeRearrObject(&hit, m.K, m.T, m.R, m.score);
                        ASSERT_EQ(applyTbrRearr(&inverse, tree.get(), data, &hit, true), 0);
                        current = m.score;
                        improved = true;
                        break;
                    }
                }
            }
            found = std::min(found, current);
        }
        EXPECT_DOUBLE_EQ(found, best) << "trial " << trial;
    }
}

// What a search reads besides lengths, by steps against the cost vectors of
// every character, on random rooted trees (polytomies too): each fork's
// most-parsimonious states of every character the steps score, whether an
// edge may change, the edges each collapse rule keeps, and the length of
// every three-taxon tree with and without the ancestor. Dollo and
// irreversible characters of two to six states beside ordered and unordered
// ones; ancestors given, open over a run or missing; ".dn" variants;
// weights; few characters at a time, so that one character decides an edge.
TEST_F(StmMoves, StepsGiveTheCostVectorsMprSetsEdgesAndThreeTaxonLengths)
{
    std::mt19937 rng(6812);
    long mprCompared = 0, narrowed = 0, edgesCompared = 0, mayChange = 0, byStepsOnly = 0, triples = 0;
    int keptInBlocks = 0;
    const CollapseRule rules[] = {CollapseRule::kMaxBrlen, CollapseRule::kMinBrlen, CollapseRule::kAmbEqual};
    for (int trial = 0; trial < 160; trial++) {
        SCOPED_TRACE(trial);
        dropData();
        // Many characters share tables, whose blocks may hold one the
        // steps cannot score (a split cell).
        const uint32_t ntax = 4 + trial % 9, nchar = trial % 2 ? 1 + rng() % 3 : 4 + rng() % (trial % 3 ? 30 : 80);
        data = randomDirectedData(rng, ntax, nchar, trial % 6 == 2, false, trial % 3 == 0);
        DolloSearchScope steps(data);
        if (!dolSearchActive(data))
            continue;
        TreePtr tree = rootedTree(randomTreeText(rng, ntax, -1, trial % 4 == 3));
        keptInBlocks += !packedData(data)->dolSearch->restBlocks.empty();
        std::vector<uint32_t> scored;
        for (uint32_t c = 0; c < nchar; c++)
            if (dolScoresChar(data, c))
                scored.push_back(c);

        struct Seen {
            std::vector<uint64_t> states;
            std::vector<bool> change, keep;
        };
        auto look = [&](bool bySteps) {
            Seen seen;
            for (CollapseRule rule : rules) {
                EXPECT_TRUE(checkCollapse(tree.get(), data, false, rule));
                for (TreeNode *n = tree->root->firstChild->next; n; n = n->next)
                    seen.keep.push_back(n->firstChild && (n->flag & kNodeKeepEdge));
            }
            for (TreeNode *n = tree->root->firstChild; n; n = n->next) {
                const ParsNodeSets *dn = nodeSets(n->abm[0]), *un = nodeSets(n->abm[1]);
                // The characters left to the cost vectors are theirs either way.
                const bool steps = bySteps && dolEdgeMayChange(data, dn, un);
                seen.change.push_back(steps || stmEdgeMayChange(data, dn, un));
                byStepsOnly += steps && !stmEdgeMayChange(data, dn, un);
                if (n->firstChild)
                    for (uint32_t c : scored)
                        seen.states.push_back(bySteps ? dolStateSet(data, nodeSets(n->abm[2]), c)
                                                      : stmStateSet(data, nodeSets(n->abm[2]), c));
            }
            return seen;
        };
        const Seen bySteps = look(true);
        Seen byVectors;
        {
            DolloSearchPause whole(data);
            byVectors = look(false);
        }
        EXPECT_EQ(bySteps.states, byVectors.states);
        EXPECT_EQ(bySteps.keep, byVectors.keep);
        mprCompared += static_cast<long>(bySteps.states.size());
        for (size_t i = 0; i < bySteps.states.size(); i++)
            narrowed += std::popcount(bySteps.states[i]) == 1;
        EXPECT_EQ(bySteps.change, byVectors.change);
        edgesCompared += static_cast<long>(bySteps.change.size());
        mayChange += std::count(bySteps.change.begin(), bySteps.change.end(), true);

        // Searches of these characters hold their trees at the ancestor, so
        // every three-taxon tree they measure holds it too.
        for (int32_t i = -1; i < static_cast<int32_t>(ntax); i++)
            for (int32_t j = i + 1; j < static_cast<int32_t>(ntax); j++)
                for (int32_t k = -1; k < static_cast<int32_t>(ntax); k++) {
                    if (k == i || k == j || (i >= 0 && k >= 0))
                        continue;
                    const double len = getLen3(data, tree.get(), i, j, k);
                    DolloSearchPause whole(data);
                    EXPECT_DOUBLE_EQ(len, getLen3(data, tree.get(), i, j, k)) << i << " " << j << " " << k;
                    triples++;
                }
    }
    EXPECT_GT(mprCompared, 3000);
    EXPECT_GT(narrowed, 1000);
    EXPECT_GT(mprCompared - narrowed, 300);
    EXPECT_GT(edgesCompared, 800);
    EXPECT_GT(mayChange, 200);
    EXPECT_GT(edgesCompared - mayChange, 200);
    EXPECT_GT(byStepsOnly, 200);
    EXPECT_GT(keptInBlocks, 5);
    EXPECT_GT(triples, 10000);
}


// Assigns the tree's branch lengths under opt, as a report of the tree
// does, and returns the range each branch length may take.
std::vector<BranchLengthRange> reconstruct(DataInfo *data, Tree *tree, ParsOpt opt, double *score = nullptr)
{
    gPars.opt = static_cast<uint32_t>(opt);
    tree->flags |= kTreeRootedAtAnc;
    EXPECT_EQ(optimizeAndRootTree(tree, data, 1, false, false), 0);
    if (score)
        *score = getLastTreeScore();
    return possibleBranchLengths(tree, data);
}

// An ancestor left open between states of a Dollo character counts no step
// on its edge, so a reconstruction in which it takes a derived state is as
// short as one in which it is primitive. Here the clade (0, 1) holds the 1s
// and (2, 3) the 0s: one gain into (0, 1), or an ancestor of 1 and one loss
// into (2, 3). Each of the two edges may then have length 0 or 1; AccTran
// puts the step on the loss and DelTran on the gain, and the assigned
// lengths must lie within the ranges shown beside them.
TEST_F(StmMoves, AnOpenDolloAncestorLetsEitherCladeEdgeCarryTheStep)
{
    dropData();
    const uint64_t zero = 1, one = 2;
    data = makeTypedData(2, {{one}, {one}, {zero}, {zero}});
    setType(data, 0, kCharDollo, false);
    setAncestor(data, 0, 0);
    ASSERT_EQ(prepared(), 0);
    TreePtr tree = rootedTree("((0,1),(2,3))");
    const TreeNode *gains = nullptr, *loses = nullptr;
    for (const TreeNode *n = tree->root; n; n = n->next)
        if (n->firstChild && n->firstChild->index >= 0 && n->firstChild->index < 4)
            (n->firstChild->index < 2 ? gains : loses) = n;
    ASSERT_TRUE(gains && loses);
    for (const ParsOpt opt : {ParsOpt::AccTran, ParsOpt::DelTran}) {
        const std::vector<BranchLengthRange> range = reconstruct(data, tree.get(), opt);
        for (const TreeNode *n : {gains, loses}) {
            EXPECT_EQ(range[nodePosition(tree.get(), n)].min, 0.0);
            EXPECT_EQ(range[nodePosition(tree.get(), n)].max, 1.0);
        }
        EXPECT_EQ(range[nodePosition(tree.get(), tree->root->firstChild)].max, 0.0);
        EXPECT_EQ(gains->edge.brlen, opt == ParsOpt::DelTran ? 1.0 : 0.0);
        EXPECT_EQ(loses->edge.brlen, opt == ParsOpt::AccTran ? 1.0 : 0.0);
    }
}

// The same on random rooted trees (polytomies too) of Dollo and
// irreversible characters with ancestors given, open over a run or missing,
// ".dn" variants and weights: under AccTran and DelTran every branch length
// assigned lies within the range of lengths it may take, and the change
// lists count the steps the branch lengths do.
TEST_F(StmMoves, AssignedBranchLengthsOfDirectedCharactersLieWithinTheirRanges)
{
    std::mt19937 rng(4413);
    long edges = 0, spread = 0;
    for (int trial = 0; trial < 300; trial++) {
        SCOPED_TRACE(trial);
        dropData();
        const uint32_t ntax = 4 + trial % 8, nchar = 1 + rng() % 3;
        std::vector<uint32_t> width(nchar);
        const auto cells = randomSeriesCells(rng, ntax, width, false);
        data = makeTypedData(6, cells);
        for (uint32_t c = 0; c < nchar; c++) {
            const bool dollo = rng() % 3 != 0;
            setType(data, c, dollo ? kCharDollo : kCharIrreversible, rng() % 3 == 0);
            const uint32_t a = rng() % 4, s = dollo ? (rng() % 2 ? 0 : width[c] - 1) : rng() % width[c];
            setAncestor(data, c, seriesAncestor(a, s, width[c]));
            data->weights[c] = trial % 3 ? 1 : 1 + rng() % 3;
        }
        ASSERT_EQ(prepared(), 0);
        TreePtr tree = rootedTree(randomTreeText(rng, ntax, -1, trial % 4 == 3));
        for (const ParsOpt opt : {ParsOpt::AccTran, ParsOpt::DelTran}) {
            const std::vector<BranchLengthRange> range = reconstruct(data, tree.get(), opt);
            double assigned = 0.0, listed = 0.0;
            for (const TreeNode *n = tree->root->next; n; n = n->next) {
                const BranchLengthRange &r = range[nodePosition(tree.get(), n)];
                EXPECT_GE(n->edge.brlen, r.min - 1e-9) << "node " << n->index;
                EXPECT_LE(n->edge.brlen, r.max + 1e-9) << "node " << n->index;
                assigned += n->edge.brlen;
                edges++;
                spread += r.max > r.min;
            }
            // The change lists count the same steps.
            for (uint32_t c = 0; c < nchar; c++)
                for (const CharChange &ch : listCharChanges(tree.get(), data, c))
                    listed += ch.cost * data->weights[c];
            EXPECT_DOUBLE_EQ(listed, assigned);
        }
    }
    EXPECT_GT(edges, 3000);
    EXPECT_GT(spread, 300);
}

// A reconstruction as the reports read it: the tree's length, every node's branch length,
// assigned state and most-parsimonious set of every character, each
// character's change list, and every branch's range of lengths.
struct Reconstruction {
    double length = 0.0;
    std::vector<double> brlen, lo, hi;
    std::vector<uint64_t> states, mpr;
    std::vector<std::tuple<const TreeNode *, const TreeNode *, uint64_t, uint64_t, double, bool>> changes;
};

Reconstruction readReconstruction(DataInfo *data, Tree *tree, ParsOpt opt)
{
    Reconstruction r;
    const std::vector<BranchLengthRange> range = reconstruct(data, tree, opt, &r.length);
    for (const TreeNode *n = tree->root->next; n; n = n->next) {
        r.brlen.push_back(n->edge.brlen);
        r.lo.push_back(range[nodePosition(tree, n)].min);
        r.hi.push_back(range[nodePosition(tree, n)].max);
        if (n->firstChild)
            for (uint32_t c = 0; c < data->nchar; c++) {
                r.states.push_back(getStatesOrMPRset(data, n, c, false));
                r.mpr.push_back(getStatesOrMPRset(data, n, c, true));
            }
    }
    for (uint32_t c = 0; c < data->nchar; c++)
        for (const CharChange &ch : listCharChanges(tree, data, c))
            r.changes.emplace_back(ch.from, ch.to, ch.fromSet, ch.toSet, ch.cost, ch.unambiguous);
    return r;
}

// The reconstruction by the steps, and by the cost vectors with the steps
// paused. The steps go first: what they leave out of the cost vectors'
// records then holds the last option's reconstruction, not this one's.
std::pair<Reconstruction, Reconstruction> stepsAndCostVectors(DataInfo *data, Tree *tree, ParsOpt opt)
{
    Reconstruction bySteps = readReconstruction(data, tree, opt);
    DolloSearchPause whole(data);
    return {bySteps, readReconstruction(data, tree, opt)};
}

// Reconstructions of trees held at the ancestor decide the characters the
// steps score by the steps, and take their branch-length ranges from them:
// under AccTran and DelTran every node's assigned state and
// most-parsimonious set, every branch length, change and range equal what
// the cost vectors of every character give. Random rooted trees with
// polytomies; Dollo and irreversible characters of two to six states beside
// ordered ones; ancestors given (anywhere in the series for irreversible
// ones, an end for Dollo ones), open over a run or missing; ".dn" variants;
// weights, zero among them; now and then a split cell or a Dollo ancestor in
// the middle of the series, which keeps its character (and block) with the
// cost vectors.
TEST_F(StmMoves, StepsReconstructTreesAsTheCostVectors)
{
    std::mt19937 rng(7342);
    long nodesCompared = 0, open = 0, changed = 0, ranged = 0, keptWithVectors = 0;
    for (int trial = 0; trial < 240; trial++) {
        SCOPED_TRACE(trial);
        dropData();
        const uint32_t ntax = 4 + trial % 10, nchar = trial % 2 ? 1 + rng() % 3 : 4 + rng() % 40;
        data = randomDirectedData(rng, ntax, nchar, trial % 8 == 5, trial % 8 == 3, trial % 3 == 0);
        TreePtr tree = rootedTree(randomTreeText(rng, ntax, -1, trial % 3 == 1));
        if (!dolStepsFitTree(data, tree.get()))
            continue;
        for (uint32_t c = 0; c < nchar; c++)
            keptWithVectors += stmCharOf(data, c) && !dolStepsHoldChar(data, c);
        // MinF (which the program allows here) reconstructs from the sets
        // the tree's length left, which the steps must not leave stale.
        for (const ParsOpt opt : {ParsOpt::AccTran, ParsOpt::DelTran, ParsOpt::MinF}) {
            SCOPED_TRACE(static_cast<int>(opt));
            const auto [bySteps, byVectors] = stepsAndCostVectors(data, tree.get(), opt);
            EXPECT_EQ(bySteps.length, byVectors.length);
            EXPECT_EQ(bySteps.states, byVectors.states);
            EXPECT_EQ(bySteps.mpr, byVectors.mpr);
            EXPECT_EQ(bySteps.brlen, byVectors.brlen);
            EXPECT_EQ(bySteps.changes, byVectors.changes);
            EXPECT_EQ(bySteps.lo, byVectors.lo);
            EXPECT_EQ(bySteps.hi, byVectors.hi);
            nodesCompared += static_cast<long>(bySteps.brlen.size());
            for (size_t i = 0; i < bySteps.mpr.size(); i++)
                open += std::popcount(bySteps.mpr[i]) > 1;
            changed += std::count_if(bySteps.brlen.begin(), bySteps.brlen.end(), [](double x) { return x > 0; });
            for (size_t i = 0; i < bySteps.lo.size(); i++)
                ranged += bySteps.hi[i] > bySteps.lo[i];
        }
    }
    EXPECT_GT(nodesCompared, 5000);
    EXPECT_GT(open, 1000);
    EXPECT_GT(changed, 2000);
    EXPECT_GT(ranged, 1000);
    EXPECT_GT(keptWithVectors, 20);
}

// AccTran puts a Dollo gain as near the ancestor as the subtree allows, a
// tie going to the change: in ((A = 1, B = ?), C = 0) the fork (A, B) is 1
// under AccTran (the gain on its branch) and 0 under DelTran (the gain on
// A's), each one step on the tree.
TEST_F(StmMoves, StepsPutADolloGainByTheOption)
{
    dropData();
    data = makeTypedData(2, {{2}, {0}, {1}});
    setType(data, 0, kCharDollo, false);
    setAncestor(data, 0, 1);
    ASSERT_EQ(prepared(), 0);
    TreePtr tree = rootedTree("((0,1),2)");
    ASSERT_TRUE(dolStepsFitTree(data, tree.get()));
    const TreeNode *fork = nullptr, *a = nullptr;
    for (const TreeNode *n = tree->root; n; n = n->next) {
        if (n->firstChild && n->firstChild->index == 0)
            fork = n;
        if (n->index == 0)
            a = n;
    }
    ASSERT_TRUE(fork && a);
    for (const ParsOpt opt : {ParsOpt::AccTran, ParsOpt::DelTran}) {
        reconstruct(data, tree.get(), opt);
        const bool acc = opt == ParsOpt::AccTran;
        EXPECT_EQ(getStatesOrMPRset(data, fork, 0, false), acc ? 2u : 1u);
        EXPECT_EQ(fork->edge.brlen, acc ? 1.0 : 0.0);
        EXPECT_EQ(a->edge.brlen, acc ? 0.0 : 1.0);
    }
}

// Below an open ancestor a step whose cells are all open (uncertain or
// missing) may take either condition at no cost, and the cost vectors take
// the lower state: the primitive side of an irreversible step, or the
// derived side of one an ".dn" character turns round.
TEST_F(StmMoves, StepsTakeTheLowerStateOfAStepLeftOpenBelowAnOpenAncestor)
{
    for (const bool down : {false, true}) {
        SCOPED_TRACE(down);
        dropData();
        const uint64_t open = 6, one = 2;
        data = makeTypedData(3, {{open, one}, {0, one}, {open, 4}, {open, 4}});
        for (uint32_t c = 0; c < 2; c++) {
            setType(data, c, kCharIrreversible, down);
            setAncestor(data, c, 0);
        }
        // Cells all open make the character constant, and the program packs
        // no constant character; the rule for an open step is kept all the
        // same, so the mark is taken off here.
        ASSERT_EQ(initializeDataInfo(data), 0);
        data->status[0] &= ~kCharConstant;
        ASSERT_EQ(prepared(), 0);
        TreePtr tree = rootedTree("((0,1),(2,3))");
        ASSERT_TRUE(dolStepsFitTree(data, tree.get()));
        ASSERT_TRUE(dolStepsHoldChar(data, 0));
        for (const ParsOpt opt : {ParsOpt::AccTran, ParsOpt::DelTran}) {
            const auto [bySteps, byVectors] = stepsAndCostVectors(data, tree.get(), opt);
            EXPECT_EQ(bySteps.states, byVectors.states);
            EXPECT_EQ(bySteps.brlen, byVectors.brlen);
        }
    }
}

}  // namespace

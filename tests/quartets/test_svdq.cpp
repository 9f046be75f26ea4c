// SVD quartet scores: normalisation, the two decompositions, decisiveness,
// and an evaluation that gives the same entries whichever way the quartets
// are cut into thread shares.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <set>
#include <vector>

#include "data/patterns.h"
#include "quartets/svdq.h"

namespace {

// Site patterns of ntax taxa over the four DNA states, with R (code 5) and
// missing (code 4) cells, held as the pattern record would hold them.
struct Patterns {
    std::vector<std::vector<uint8_t>> cells;
    std::vector<uint8_t *> rows;
    std::vector<double> weights;
    std::vector<uint8_t> lists{1, 0, 1, 1, 1, 2, 1, 3, 4, 0, 1, 2, 3, 2, 0, 2};
    std::vector<uint32_t> offsets{0, 2, 4, 6, 8, 13};
    SitePatternData pd{};

    Patterns(uint32_t ntax, uint32_t npat, uint32_t seed, bool identical = false)
    {
        std::mt19937 gen(seed);
        cells.assign(ntax, std::vector<uint8_t>(npat));
        for (uint32_t p = 0; p < npat; p++) {
            const uint8_t first = static_cast<uint8_t>(gen() % 4);
            for (uint32_t t = 0; t < ntax; t++) {
                const uint32_t u = gen() % 100;
                cells[t][p] = identical ? first : u < 4 ? 4 : u < 8 ? 5 : static_cast<uint8_t>(u < 50 ? first : gen() % 4);
            }
        }
        for (auto &r : cells)
            rows.push_back(r.data());
        weights.assign(npat, 1.0);
        pd.rows = rows.data();
        pd.patternWeight = weights.data();
        pd.codeStateLists = lists.data();
        pd.codeListOffset = offsets.data();
        pd.npat = npat;
        pd.ntax = ntax;
        pd.nstates = 4;
    }
};

SvdqEvalData makeEval(const Patterns &p, uint32_t rank)
{
    SvdqEvalData ev;
    EXPECT_EQ(initSvdqScoring(ev, &p.pd), 0);
    ev.rank = rank;
    ev.nunits = ev.ntax;
    ev.totalQuartets = svdqTotalQuartets(ev);
    ev.nq = static_cast<uint64_t>(ev.totalQuartets);
    return ev;
}

bool sameEntries(const std::vector<QuartetEntry> &a, const std::vector<QuartetEntry> &b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](const auto &x, const auto &y) {
               return x.wt == y.wt && std::equal(x.t, x.t + 4, y.t);
           });
}

// The entries of the whole run when the quartets are cut into `shares`
// shares, each started afresh as a thread would start it.
std::vector<QuartetEntry> evaluateInShares(const SvdqEvalData &ev, uint32_t shares, RNG start)
{
    std::vector<QuartetEntry> all;
    const std::vector<uint64_t> starts = svdqShareStarts(ev.nq, shares);
    const uint64_t draws = ev.exhaustive ? 0 : ev.drawsPerQuartet;
    for (uint32_t t = 0; t < shares; t++) {
        SvdqWork w;
        RNG rng = start;
        skipDraws(&rng, draws * starts[t]);
        const uint64_t last = t + 1 < shares ? starts[t + 1] : ev.nq;
        std::vector<QuartetEntry> room((last - starts[t]) * 3);
        w.out = room.data();
        EXPECT_EQ(evaluateShare(ev, starts[t], last, &rng, w), 0);
        all.insert(all.end(), room.begin(), room.begin() + static_cast<ptrdiff_t>(w.count));
    }
    return all;
}

TEST(SvdqScoreTest, NormalisationKeepsRowsAndColumnsByTheirSums)
{
    // Rows 0-2 hold weight; column 5 sums to 2 and goes under column scaling.
    double m[256] = {};
    m[0 * 16 + 0] = 4, m[1 * 16 + 1] = 3, m[2 * 16 + 2] = 5, m[2 * 16 + 5] = 2, m[0 * 16 + 1] = 1;
    double out[256] = {};
    uint32_t rows = 0, cols = 0;
    EXPECT_FALSE(normalizeFlattening(3, false, m, 16, false, false, out, &rows, &cols));
    EXPECT_TRUE(normalizeFlattening(3, true, m, 16, false, false, out, &rows, &cols));
    EXPECT_EQ(rows, 4u);  // the four non-empty columns become the rows
    EXPECT_EQ(cols, 3u);
    EXPECT_DOUBLE_EQ(out[0], 4.0 / 15.0);
    EXPECT_TRUE(normalizeFlattening(2, false, m, 16, false, true, out, &rows, &cols));
    EXPECT_EQ(rows * cols, 9u);  // column 5 dropped
    EXPECT_DOUBLE_EQ(out[0], 1.0);          // 4 / 4
    EXPECT_DOUBLE_EQ(out[0 + kSvdqDim], 0.25);  // 1 / (1 + 3)
}

TEST(SvdqScoreTest, BothDecompositionsGiveTheSingularValues)
{
    // U diag(s) V' for orthogonal U, V made of rotations: s must come back.
    const double want[5] = {3.0, 2.0, 0.5, 1e-3, 0.0};
    double a[256] = {}, b[256] = {}, values[16], accurate[16];
    for (uint32_t i = 0; i < 5; i++)
        a[i + i * kSvdqDim] = want[i];
    const double c = std::cos(0.7), s = std::sin(0.7);
    for (uint32_t j = 0; j < 5; j++) {  // rotate rows 0 and 6, columns 1 and 3
        const double x = a[0 + j * kSvdqDim], y = a[6 + j * kSvdqDim];
        a[0 + j * kSvdqDim] = c * x - s * y, a[6 + j * kSvdqDim] = s * x + c * y;
    }
    for (uint32_t i = 0; i < 7; i++) {
        const double x = a[i + 1 * kSvdqDim], y = a[i + 3 * kSvdqDim];
        a[i + 1 * kSvdqDim] = c * x + s * y, a[i + 3 * kSvdqDim] = -s * x + c * y;
    }
    std::copy(a, a + 256, b);
    SvdqWork w;
    ASSERT_EQ(calcSingularValues(a, values, 7, 5, false, w), 0);
    ASSERT_EQ(calcSingularValues(b, accurate, 7, 5, true, w), 0);
    for (uint32_t i = 0; i < 5; i++) {
        EXPECT_NEAR(values[i], want[i], 1e-12);
        EXPECT_NEAR(accurate[i], want[i], 1e-12);
    }
    EXPECT_EQ(values[5], 0.0);
}

TEST(SvdqScoreTest, LakeScoreCountsItsInvariantCells)
{
    // One cell of each of P1 and N2 (AA|CC and AA|CT), one outside all four.
    double m[256] = {};
    m[0 * 16 + 5] = 2.0;   // AA, CC
    m[0 * 16 + 7] = 5.0;   // AA, CT
    m[3 * 16 + 3] = 9.0;   // AT, AT
    EXPECT_DOUBLE_EQ(calcLakescore(m), -(2.0 - 5.0));
}

TEST(SvdqScoreTest, IdenticalSequencesLeaveNoDecisiveQuartet)
{
    Patterns p(5, 200, 3, true);
    SvdqEvalData ev = makeEval(p, 10);
    SvdqWork w;
    std::vector<QuartetEntry> room(3);
    w.out = room.data();
    const uint32_t u[4] = {3, 0, 2, 1};
    ASSERT_EQ(scoreOneQuartet(ev, u, 0, &ev.rng, w), 0);
    EXPECT_EQ(w.count, 0u);
}

TEST(SvdqScoreTest, FlatteningCountsEachUsableSiteOnceAndSpreadsAmbiguity)
{
    Patterns p(4, 300, 9);
    SvdqEvalData ev = makeEval(p, 10);
    SvdqWork w;
    const double total = makeFlatteningMatrices(ev, 0, 1, 2, 3, w);
    double expected = 0.0;
    for (uint32_t s = 0; s < 300; s++)
        expected += std::all_of(p.cells.begin(), p.cells.end(), [&](const auto &r) { return r[s] != 4; });
    EXPECT_DOUBLE_EQ(total, expected);
    for (const auto &m : w.flat)
        EXPECT_NEAR(std::accumulate(m, m + 256, 0.0), expected, 1e-9);
    // Fractional weights take the other tally and give the same matrices.
    double whole[3][256];
    for (int k = 0; k < 3; k++)
        std::copy(w.flat[k], w.flat[k] + 256, whole[k]);
    std::vector<double> halves(300, 0.5);
    setSvdqWeights(ev, halves.data());
    ASSERT_FALSE(ev.integral);
    EXPECT_DOUBLE_EQ(makeFlatteningMatrices(ev, 0, 1, 2, 3, w), expected / 2);
    for (int k = 0; k < 3; k++)
        for (int i = 0; i < 256; i++)
            ASSERT_DOUBLE_EQ(2 * w.flat[k][i], whole[k][i]);
    setSvdqWeights(ev, p.weights.data());
    ev.distribute = false;
    ev.usable.clear();
    ASSERT_EQ(initSvdqScoring(ev, &p.pd), 0);
    EXPECT_LT(makeFlatteningMatrices(ev, 0, 1, 2, 3, w), expected);
}

TEST(SvdqEvalTest, SharesAreConsecutiveAndTheLastTakesTheRest)
{
    EXPECT_EQ(svdqShareStarts(5, 4), (std::vector<uint64_t>{0, 1, 2, 3, 5}));
    EXPECT_EQ(svdqShareStarts(10, 3), (std::vector<uint64_t>{0, 4, 8, 10}));
    EXPECT_EQ(svdqShareStarts(9, 3), (std::vector<uint64_t>{0, 3, 6, 9}));
}

TEST(SvdqEvalTest, EntriesDoNotDependOnHowTheQuartetsAreShared)
{
    Patterns p(9, 400, 17);
    SvdqEvalData ev = makeEval(p, 4);
    RNG start{};
    initRNG(&start, makeSeed(12345, 0, 0, 0));

    // Exhaustive, random sampling, and random species quartets (8 draws each).
    for (int mode = 0; mode < 3; mode++) {
        ev.exhaustive = mode == 0;
        ev.nq = mode == 0 ? 126 : 61;
        ev.drawsPerQuartet = mode == 2 ? 8 : 4;
        if (mode == 2) {
            ev.members = {{0, 1}, {2}, {3, 4, 5}, {6}, {7, 8}};
            ev.speciesOf = {0, 0, 1, 2, 2, 2, 3, 4, 4};
            ev.nunits = 5;
        }
        const std::vector<QuartetEntry> one = evaluateInShares(ev, 1, start);
        ASSERT_FALSE(one.empty());
        for (uint32_t shares : {2u, 3u, 8u})
            EXPECT_TRUE(sameEntries(one, evaluateInShares(ev, shares, start))) << "mode " << mode << ", " << shares;
    }
}

TEST(SvdqEvalTest, SpeciesQuartetsCountOneLineageFromEachOfFourSpecies)
{
    Patterns p(9, 50, 2);
    SvdqEvalData ev = makeEval(p, 4);
    ev.members = {{0, 1}, {2}, {3, 4, 5}, {6}, {7, 8}};
    ev.speciesOf = {0, 0, 1, 2, 2, 2, 3, 4, 4};
    ev.nunits = 5;
    // Sum over the five choices of four species of their size products.
    EXPECT_EQ(svdqTotalQuartets(ev), 2 * 1 * 3 * 1 + 2 * 1 * 3 * 2 + 2 * 1 * 1 * 2 + 2 * 3 * 1 * 2 + 1 * 3 * 1 * 2);
    // Every exhaustive species quartet names four distinct species, and each
    // species quartet carries a total weight of one.
    ev.exhaustive = true;
    ev.qweights = 2;
    ev.nq = static_cast<uint64_t>(svdqTotalQuartets(ev));
    SvdqWork w;
    std::vector<QuartetEntry> room(ev.nq * 3);
    w.out = room.data();
    ASSERT_EQ(evaluateShare(ev, 0, ev.nq, &ev.rng, w), 0);
    room.resize(w.count);
    double total = 0.0;
    for (const QuartetEntry &e : room) {
        EXPECT_LT(*std::max_element(e.t, e.t + 4), 5);
        EXPECT_EQ(std::set<uint16_t>(e.t, e.t + 4).size(), 4u);
        total += e.wt;
    }
    EXPECT_NEAR(total, 5.0, 1e-9);
}

}  // namespace

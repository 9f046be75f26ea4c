#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <numeric>

#include "data/data_services.h"
#include "data/data_util.h"
#include "parsimony/calcsets.h"
#include "parsimony/fitindex.h"
#include "parsimony/kernels/dol_steps.h"
#include "parsimony/kernels/irr_steps.h"
#include "parsimony/lenrange.h"
#include "parsimony/stmx.h"
#include "parsimony/treelen.h"
#include "stmx_test_support.h"
#include "support/tree_test_support.h"
#include "trees/treeedit.h"

using namespace stmtest;

namespace {

class Stmx : public CostVectorTest {
protected:
    double length() { return calcTreeLength(d, tree.get(), true, true); }
    // Dollo characters of ns states with ancestors anc (cells[t][c], data
    // prepared) against the step-by-step rule on every rooted tree of the
    // taxa: each character's length and the total, and the shortest totals.
    // The rule's least length of each character back.
    std::vector<int64_t> matchStepByStep(const std::vector<std::vector<uint64_t>> &cells,
                                         const std::vector<uint32_t> &anc, uint32_t ns, int trial, int &compared);
    int wideUncertainTrial(std::mt19937 &rng, int trial, int &compared);
    // Dollo data of ns states from cells[t][c], each character up or down
    // at random with its given ancestor, prepared.
    void loadDollo(uint32_t ns, const std::vector<std::vector<uint64_t>> &cells, const std::vector<uint32_t> &anc,
                   std::mt19937 &rng);
    // Checks that no character's minimum length (the fit indices') is above
    // `shortest`, its least over all trees; the count of characters bounded
    // added to `bounded`, of those whose minimum is that least back.
    int minimaReached(const std::vector<int64_t> &shortest, int trial, int &bounded)
    {
        EXPECT_EQ(calcLengthBounds(d, tree.get(), true, false), 0);
        int reached = 0;
        for (uint32_t c = 0; c < shortest.size(); c++)
            if (lengthBounds().inBounds[c]) {
                EXPECT_LE(lengthBounds().minLen[c], static_cast<double>(shortest[c]))
                    << "trial " << trial << " char " << c;
                bounded++;
                reached += lengthBounds().minLen[c] == static_cast<double>(shortest[c]);
            }
        return reached;
    }
};

uint64_t bit(uint32_t s) { return uint64_t{1} << s; }

// Random characters of every class with missing and uncertain cells,
// ancestral states and weights, 2 to 64 states.
struct RandomSet {
    uint32_t ns, ntax, nchar;
    std::vector<std::vector<uint64_t>> cells;
};

RandomSet randomCells(std::mt19937 &rng, uint32_t ns, uint32_t ntax, uint32_t nchar)
{
    RandomSet r{ns, ntax, nchar, {}};
    r.cells.assign(ntax, std::vector<uint64_t>(nchar, 0));
    for (auto &row : r.cells)
        for (uint64_t &b : row) {
            const uint32_t k = rng() % 12;
            // Few states in use per character keeps trees informative.
            const uint32_t s = rng() % std::min<uint32_t>(ns, 5);
            // Uncertain cells hold neighbouring states (the ordered class
            // reads a set as the interval it spans).
            b = k == 0 ? 0 : bit(s) | (k == 1 ? bit(s + 1 < ns ? s + 1 : s - 1) : 0);
        }
    return r;
}

// The key test of the class: every character's length on random trees
// equals the plain Sankoff scorer's, under each stepMatrix setting.
TEST_F(Stmx, RandomCharactersOfEveryClassMatchPlainSankoff)
{
    std::mt19937 rng(5120);
    const uint32_t sizes[] = {2, 3, 4, 5, 8, 16, 64};
    int compared = 0;
    for (int trial = 0; trial < 160; trial++) {
        drop();
        types.clear();
        const uint32_t ns = sizes[trial % 7], ntax = 4 + rng() % 6, nchar = 1 + rng() % 8;
        const uint32_t mode = (trial / 7) % 3;  // obsOnly, allStates, threePlus1
        const bool rooted = trial % 5 != 4;
        RandomSet r = randomCells(rng, ns, ntax, nchar);
        d = makeTypedData(ns, r.cells);
        for (uint32_t c = 0; c < nchar; c++) {
            const uint32_t kind = rooted ? rng() % 8 : rng() % 2 ? 2u : 7u;
            switch (kind) {
            case 0: setType(d, c, kCharDollo, false); break;
            case 1: setType(d, c, kCharDollo, true); break;
            case 2: setType(d, c, kCharOrdered); break;
            case 3: setType(d, c, kCharIrreversible, false); break;
            case 4: setType(d, c, kCharIrreversible, true); break;
            case 5: setType(d, c, kCharUnordered); break;
            default:
                types.push_back(randomType(rng, ns, kind == 6));
                setType(d, c, kCharUserType, false, &types.back()->ut);
            }
            if (rng() % 3)
                setAncestor(d, c, bit(rng() % std::min<uint32_t>(ns, 5)));
            d->weights[c] = trial % 2 ? 1 + rng() % 3 : 1;
        }
        gPars.stepMatrix = mode;
        prepare();
        build(randomTreeText(rng, ntax, rooted ? -1 : 0, trial % 3 == 0), rooted ? -1 : 0);
        const double total = length();
        std::vector<double> los(nchar), his(nchar);
        bool impossible = false;
        for (uint32_t c = 0; c < nchar; c++) {
            uint64_t observed = 0;
            for (uint32_t t = 0; t < ntax; t++)
                observed |= r.cells[t][c];
            if (rooted && !isMissing(-1, c, d))
                observed |= getXijAsBits(d, -1, c, nullptr);
            const uint64_t all = ns == 64 ? ~uint64_t{0} : bit(ns) - 1;
            const bool user = (d->status[c] & kCharTypeMask) == kCharUserType;
            los[c] = referenceLength(d, tree.get(), c, all);
            his[c] = user ? referenceLength(d, tree.get(), c, observed) : los[c];
            impossible = impossible || (mode == 1 ? los[c] : his[c]) >= 1e37;
        }
        // An impossible change stops the pass (error 516): no counts to compare.
        if (impossible) {
            EXPECT_EQ(total, kNoScore) << "trial " << trial;
            continue;
        }
        double expect = 0.0;
        for (uint32_t c = 0; c < nchar; c++) {
            const bool user = (d->status[c] & kCharTypeMask) == kCharUserType;
            const double got = charLengthOnTree(d, c);
            if (!user || mode == 1)
                EXPECT_EQ(got, los[c]) << "trial " << trial << " char " << c;
            else if (mode == 0)
                EXPECT_EQ(got, his[c]) << "trial " << trial << " char " << c;
            else
                EXPECT_TRUE(got >= los[c] && got <= his[c]) << "trial " << trial << " char " << c;
            expect += got * d->weights[c];
            compared++;
        }
        EXPECT_DOUBLE_EQ(total, expect) << "trial " << trial;
    }
    EXPECT_GT(compared, 400);
}

// The unrolled joins and spans of 2 to 4 states equal the generic ones on
// random vectors with impossible entries, in every direction (5 states
// checks the dispatch to the generic form).
TEST_F(Stmx, UnrolledJoinsAndSpansEqualTheGenericOnes)
{
    std::mt19937 rng(5122);
    for (int trial = 0; trial < 4000; trial++) {
        StmChar sc;
        sc.n = 2 + trial % 4;
        std::vector<int64_t> cost(sc.n * sc.n), A(sc.n + 1), B(sc.n + 1), x(sc.n + 1), y(sc.n + 1);
        auto entry = [&] { return rng() % 5 == 0 ? kStmImpossible : static_cast<int64_t>(rng() % 9); };
        for (uint32_t i = 0; i < sc.n * sc.n; i++)
            cost[i] = i % (sc.n + 1) == 0 ? 0 : entry();
        for (uint32_t s = 0; s < sc.n; s++) {
            A[s] = entry();
            B[s] = entry();
            A[sc.n] |= static_cast<int64_t>(A[s] == 0) << s;
            B[sc.n] |= static_cast<int64_t>(B[s] == 0) << s;
        }
        const bool ta = rng() % 2, tb = rng() % 2;
        ASSERT_EQ(stmJoin1(sc, cost.data(), A.data(), ta, B.data(), tb, x.data()),
                  stmJoinGeneric1(sc, cost.data(), A.data(), ta, B.data(), tb, y.data()))
            << "trial " << trial;
        ASSERT_EQ(x, y) << "trial " << trial;
        ASSERT_EQ(stmSpan1(sc, cost.data(), A.data(), ta, B.data(), tb),
                  stmSpanGeneric1(sc, cost.data(), A.data(), ta, B.data(), tb))
            << "trial " << trial;
    }
}

// A Dollo character with its ancestor inside the series, held as pairs, joins and spans through its grids as through its whole table, on
// random vectors with impossible entries, in every direction.
TEST_F(Stmx, PairGridJoinsAndSpansEqualTheGenericOnes)
{
    std::mt19937 rng(5125);
    int grids = 0;
    for (int trial = 0; trial < 40; trial++) {
        drop();
        const uint32_t ns = 3 + trial % 6, ntax = 6;
        std::vector<std::vector<uint64_t>> cells(ntax, std::vector<uint64_t>(1));
        const uint32_t anc = 1 + rng() % (ns - 2);
        for (uint32_t t = 0; t < ntax; t++)  // an uncertain cell across the ancestor now and then
            cells[t][0] = static_cast<int>(t) < trial % 3 ? bit(rng() % anc) | bit(anc + 1 + rng() % (ns - anc - 1))
                                                          : bit(rng() % ns);
        d = makeTypedData(ns, cells);
        setType(d, 0, kCharDollo, trial % 2);
        setAncestor(d, 0, bit(anc));
        prepare();
        const StmChar *sc = stmCharOf(d, 0);
        ASSERT_TRUE(sc) << "trial " << trial;
        if (!sc->pairs || sc->grid < 0)
            continue;
        grids++;
        const uint32_t n = sc->n;
        std::vector<int64_t> cost(n * n), A(n + 1), B(n + 1), x(n + 1), y(n + 1);
        for (uint32_t i = 0; i < n; i++)
            for (uint32_t j = 0; j < n; j++)
                cost[i * n + j] = stmIndexChangeUnits(d, 0, i, j);
        for (int k = 0; k < 200; k++) {
            auto entry = [&] {
                return rng() % 4 == 0 ? kStmImpossible : static_cast<int64_t>(rng() % 3) * kDolloGain + rng() % 7;
            };
            A[n] = B[n] = 0;
            for (uint32_t s = 0; s < n; s++) {
                A[s] = entry();
                B[s] = entry();
                A[n] |= static_cast<int64_t>(A[s] == 0) << s;
                B[n] |= static_cast<int64_t>(B[s] == 0) << s;
            }
            const bool ta = rng() % 2, tb = rng() % 2;
            ASSERT_EQ(stmGridJoin1(d, *sc, A.data(), ta, B.data(), tb, x.data()),
                      stmJoinGeneric1(*sc, cost.data(), A.data(), ta, B.data(), tb, y.data()))
                << "trial " << trial;
            ASSERT_EQ(x, y) << "trial " << trial;
            ASSERT_EQ(stmGridSpan1(d, *sc, A.data(), ta, B.data(), tb),
                      stmSpanGeneric1(*sc, cost.data(), A.data(), ta, B.data(), tb))
                << "trial " << trial;
        }
    }
    EXPECT_GT(grids, 25);
}

// Each variant of the four-state kernel equals the generic join on random
// tables and vectors with impossible entries (all four now and then), either
// side holding the ancestor.
TEST_F(Stmx, FourStateKernelsEqualTheGenericJoin)
{
    std::mt19937 rng(5124);
    StmChar sc;
    sc.n = 4;
    int variants = 0;
    for (UnoKernelVariant v : {UnoKernelVariant::Generic, UnoKernelVariant::Avx2}) {
        const StmKernels *k = stmKernelsOf(v);
        if (!k)
            continue;
        variants++;
        for (int trial = 0; trial < 3000; trial++) {
            std::vector<int64_t> cost(16), rows(16), A(5), B(5), x(5), y(5);
            auto entry = [&] { return rng() % 4 == 0 ? kStmImpossible : static_cast<int64_t>(rng() % 40); };
            for (uint32_t i = 0; i < 16; i++)
                cost[i] = i % 5 == 0 ? 0 : entry();
            for (uint32_t i = 0; i < 4; i++)
                for (uint32_t j = 0; j < 4; j++)
                    rows[j * 4 + i] = cost[i * 4 + j];
            for (uint32_t s = 0; s < 4; s++) {
                A[s] = entry();
                B[s] = entry();
            }
            const bool ta = rng() % 2, tb = rng() % 2;
            const int64_t m = k->join4(ta ? cost.data() : rows.data(), A.data(), tb ? cost.data() : rows.data(),
                                       B.data(), x.data());
            ASSERT_EQ(m, stmJoinGeneric1(sc, cost.data(), A.data(), ta, B.data(), tb, y.data()))
                << k->name << " trial " << trial;
            ASSERT_EQ(x, y) << k->name << " trial " << trial;
        }
    }
    EXPECT_GE(variants, 1);
}

// One variant's block kernels of one entry width against the generic join
// and span taken one character at a time; top bounds the possible entries.
template <typename Entry, typename Join, typename Span>
void checkBlockKernels(const char *name, Join join, Span span, Entry imp, int64_t top, std::mt19937 &rng)
{
    constexpr uint32_t W = kStmBlockWidth;
    for (int trial = 0; trial < 1500; trial++) {
        StmChar sc;
        sc.n = 2 + trial % 7;
        const uint32_t n = sc.n;
        // Small entries, or entries near the packer's limit (a quarter of
        // the range for any two of them and a change).
        const int64_t most = trial % 3 == 0 ? top : 9;
        auto entry = [&](int odds) { return rng() % odds == 0 ? imp : static_cast<Entry>(rng() % (most + 1)); };
        std::vector<Entry> cost(n * n), costT(n * n), A(n * W), B(n * W), out(n * W);
        std::vector<int16_t> weight(W);
        for (uint32_t i = 0; i < n; i++)
            for (uint32_t j = 0; j < n; j++)
                cost[i * n + j] = i == j ? 0 : entry(5);
        for (uint32_t i = 0; i < n; i++)
            for (uint32_t j = 0; j < n; j++)
                costT[j * n + i] = cost[i * n + j];
        const uint32_t dead = rng() % (2 * W);  // a lane with every entry impossible, now and then
        for (uint32_t l = 0; l < W; l++) {
            for (uint32_t s = 0; s < n; s++) {
                A[s * W + l] = l == dead ? imp : entry(4);
                B[s * W + l] = entry(4);
            }
            weight[l] = static_cast<int16_t>(rng() % 6);
        }
        const bool ta = rng() % 2, tb = rng() % 2;
        const StmBlockArgs<Entry> args{n, ta ? cost.data() : costT.data(), A.data(),
                                       tb ? cost.data() : costT.data(), B.data(), weight.data()};
        std::vector<int32_t> m(W), ms(W), m2(W);
        const int64_t sum = join(args, out.data(), m.data());
        const int64_t spanSum = span(args, ms.data());
        auto wide = [imp](int64_t x) { return x == imp ? kStmImpossible : x; };
        std::vector<int64_t> c64(n * n);
        for (uint32_t i = 0; i < n * n; i++)
            c64[i] = wide(cost[i]);
        int64_t want = 0, wantSpan = 0;
        for (uint32_t l = 0; l < W; l++) {
            std::vector<int64_t> a(n + 1), b(n + 1), joined(n + 1);
            for (uint32_t s = 0; s < n; s++) {
                a[s] = wide(A[s * W + l]);
                b[s] = wide(B[s * W + l]);
                a[n] |= static_cast<int64_t>(a[s] == 0) << s;
                b[n] |= static_cast<int64_t>(b[s] == 0) << s;
            }
            const int64_t jm = stmJoinGeneric1(sc, c64.data(), a.data(), ta, b.data(), tb, joined.data());
            const int64_t sm = stmSpanGeneric1(sc, c64.data(), a.data(), ta, b.data(), tb);
            ASSERT_EQ(wide(m[l]), jm) << name << " trial " << trial << " lane " << l;
            ASSERT_EQ(wide(ms[l]), sm) << name << " trial " << trial << " lane " << l;
            for (uint32_t s = 0; s < n; s++)
                ASSERT_EQ(wide(out[s * W + l]), joined[s]) << name << " trial " << trial << " lane " << l;
            want = want < 0 || jm >= kStmImpossible ? -1 : want + jm * weight[l];
            wantSpan = wantSpan < 0 || sm >= kStmImpossible ? -1 : wantSpan + sm * weight[l];
        }
        ASSERT_EQ(sum, want) << name << " trial " << trial;
        ASSERT_EQ(spanSum, wantSpan) << name << " trial " << trial;
        // The result may replace an input.
        std::vector<Entry> inPlace = A;
        const StmBlockArgs<Entry> same{n, args.ca, inPlace.data(), args.cb, B.data(), weight.data()};
        join(same, inPlace.data(), m2.data());
        ASSERT_EQ(inPlace, out) << name << " trial " << trial;
    }
}

// Each variant's block kernels, 16- and 32-bit, equal the generic join and
// span taken one character at a time: 2 to 8 states, asymmetric tables with
// impossible changes, impossible entries (a whole character now and then),
// entries up to the largest the packer admits, either side holding the
// ancestor, and the result written over one of its inputs.
TEST_F(Stmx, BlockKernelsEqualTheGenericJoinCharacterByCharacter)
{
    std::mt19937 rng(5125);
    int variants = 0;
    for (UnoKernelVariant v : {UnoKernelVariant::Generic, UnoKernelVariant::Avx2}) {
        const StmKernels *k = stmKernelsOf(v);
        if (!k)
            continue;
        variants++;
        checkBlockKernels<int16_t>(k->name, k->joinBlock, k->spanBlock, kCost16Impossible,
                                   kCost16Impossible / 12, rng);
        checkBlockKernels<int32_t>(k->name, k->joinBlock32, k->spanBlock32, kCost32Impossible,
                                   kCost32Impossible / 12, rng);
    }
    EXPECT_GE(variants, 1);
}

// Every variant's irreversible step kernels, for each way round the
// ancestor lies, against the generic cost-vector join and span of a
// two-state irreversible character, step by step: each record's value read
// as its two entries, impossible entries among them, and steps that can take
// neither condition; a join's values are the normalised entries with the one
// a record is never read by capped.
TEST_F(Stmx, IrreversibleStepKernelsEqualTheTwoStateCostVectors)
{
    std::mt19937 rng(5126);
    StmChar sc;
    sc.n = 2;
    const int64_t cost[4] = {0, 1, kStmImpossible, 0};
    auto entry = [](int16_t x) { return x >= kIrrNever ? kStmImpossible : int64_t{x}; };
    // The entries a record's value stands for (c0, c1), and their zero mask.
    auto entries = [&](int16_t v, int64_t *X) {
        X[0] = entry(std::max<int16_t>(v, 0));
        X[1] = entry(std::max<int16_t>(static_cast<int16_t>(-v), 0));
        X[2] = (X[0] == 0 ? 1 : 0) | (X[1] == 0 ? 2 : 0);
    };
    int variants = 0;
    long never = 0;
    for (UnoKernelVariant v : {UnoKernelVariant::Generic, UnoKernelVariant::Avx2}) {
        const IrrStepKernels *k = irrStepKernelsOf(v);
        if (!k)
            continue;
        variants++;
        for (int trial = 0; trial < 400; trial++) {
            const int ta = static_cast<int>(rng() % 2), tb = static_cast<int>(rng() % 2);
            alignas(32) int16_t a[64], b[64], r[64], m[64], ms[64];
            // Values as records hold them: the entry the record is read by
            // in full, the other at most one more.
            auto value = [&](bool above) -> int16_t {
                const uint32_t k = rng() % 8;
                const auto big = static_cast<int16_t>(k == 0 ? kIrrNever : k == 1 ? 2 + rng() % 40 : rng() % 2);
                return rng() % 2 ? (above ? big : std::min<int16_t>(big, 1)) : (above ? -std::min<int16_t>(big, 1) : -big);
            };
            for (uint32_t i = 0; i < 64; i++) {
                a[i] = value(ta);
                b[i] = value(tb);
            }
            bool joinNever = false, spanNever = false;
            const int32_t sum = k->join[2 * ta + tb](a, b, r, m, &joinNever);
            ASSERT_EQ(k->span[2 * ta + tb](a, b, ms, &spanNever), sum) << k->name;
            ASSERT_EQ(spanNever, joinNever) << k->name;
            int32_t expectSum = 0;
            bool expectNever = false;
            for (uint32_t i = 0; i < 64; i++) {
                int64_t A[3], B[3], out[3], R[3];
                entries(a[i], A);
                entries(b[i], B);
                const int64_t least = stmJoinGeneric1(sc, cost, A, ta, B, tb, out);
                ASSERT_EQ(stmSpanGeneric1(sc, cost, A, ta, B, tb), least) << k->name << " trial " << trial;
                if (least >= kStmImpossible) {
                    expectNever = true;
                    continue;
                }
                expectSum += static_cast<int32_t>(least);
                ASSERT_EQ(m[i], least) << k->name << " trial " << trial << " step " << i;
                ASSERT_EQ(ms[i], least) << k->name << " trial " << trial << " step " << i;
                // The node's record holds the ancestor when either does.
                entries(r[i], R);
                if (ta || tb)
                    out[1] = std::min(out[1], out[0] + 1);
                else
                    out[0] = std::min(out[0], out[1] + 1);
                ASSERT_EQ(R[0], out[0]) << k->name << " trial " << trial << " step " << i;
                ASSERT_EQ(R[1], out[1]) << k->name << " trial " << trial << " step " << i;
            }
            ASSERT_EQ(joinNever, expectNever) << k->name;
            if (!expectNever) {
                ASSERT_EQ(sum, expectSum) << k->name;
            }
            never += expectNever;
        }
    }
    EXPECT_GE(variants, 1);
    EXPECT_GT(never, 20);
}

// The Dollo step kernels of every variant the CPU runs give the generic
// one's joins and spans on records as a search holds them: F within L, a
// part without a 1 keeping c1 at 0 or 1 and c0 at 0, and the counters of one
// with a 1 less their least. Words mix steps with a 1 on both sides, on one
// side (forced there or not) and on neither. A join of several words gives
// the same record whether or not it sums the steps or hands them over, and
// when it writes over one of its inputs.
TEST_F(Stmx, DolloStepKernelsEqualTheGenericOnes)
{
    constexpr uint32_t kWords = 3, kSteps = 64 * kWords;
    struct Record {
        uint64_t L[kWords], F[kWords];
        int16_t c1[kSteps], c0[kSteps];
        DolWords in() const { return {L, F, c1, c0}; }
        DolWordsOut out() { return {L, F, c1, c0}; }
        bool operator==(const Record &o) const
        {
            return std::equal(L, L + kWords, o.L) && std::equal(F, F + kWords, o.F) &&
                   std::equal(c1, c1 + kSteps, o.c1) && std::equal(c0, c0 + kSteps, o.c0);
        }
    };
    std::mt19937 rng(7731);
    auto word = [&] { return (uint64_t{rng()} << 32) | rng(); };
    auto randomRecord = [&](Record &x) {
        for (uint32_t w = 0; w < kWords; w++) {
            x.L[w] = word() | (rng() % 4 ? 0 : ~uint64_t{0});
            x.F[w] = x.L[w] & word();
            for (uint32_t i = 0; i < 64; i++) {
                const uint32_t at = 64 * w + i;
                if ((x.L[w] >> i) & 1) {
                    const auto big = static_cast<int16_t>(rng() % 3 ? rng() % 3 : rng() % 200);
                    const bool lowC1 = rng() % 2;
                    x.c1[at] = lowC1 ? 0 : big;
                    x.c0[at] = lowC1 ? big : 0;
                } else {
                    x.c1[at] = static_cast<int16_t>(rng() % 2);
                    x.c0[at] = 0;
                }
            }
        }
    };
    const DolStepKernels &generic = dolStepKernelsGeneric();
    int variants = 0;
    long stepsCounted = 0;
    for (UnoKernelVariant v : {UnoKernelVariant::Generic, UnoKernelVariant::Avx2}) {
        const DolStepKernels *k = dolStepKernelsOf(v);
        if (!k)
            continue;
        variants++;
        for (int trial = 0; trial < 200; trial++) {
            Record a, b, r, gr, bare;
            randomRecord(a);
            randomRecord(b);
            int32_t sums[kWords], gsums[kWords];
            int16_t m[kSteps], gm[kSteps];
            k->join(a.in(), b.in(), r.out(), kWords, sums, m);
            generic.join(a.in(), b.in(), gr.out(), kWords, gsums, gm);
            ASSERT_TRUE(r == gr) << k->name << " trial " << trial;
            k->join(a.in(), b.in(), bare.out(), kWords, nullptr, nullptr);
            ASSERT_TRUE(bare == gr) << k->name << " trial " << trial;
            Record over = b;
            k->join(a.in(), over.in(), over.out(), kWords, nullptr, nullptr);
            ASSERT_TRUE(over == gr) << k->name << " trial " << trial;
            for (uint32_t w = 0; w < kWords; w++) {
                ASSERT_EQ(sums[w], gsums[w]) << k->name << " trial " << trial << " word " << w;
                ASSERT_EQ(sums[w], std::accumulate(m + 64 * w, m + 64 * (w + 1), 0));
                ASSERT_EQ(gr.L[w], a.L[w] | b.L[w]);
                ASSERT_EQ(gr.F[w], a.L[w] & b.L[w]);
                int16_t ms[64], gms[64];
                ASSERT_EQ(k->span(a.in(), b.in(), w, ms), generic.span(a.in(), b.in(), w, gms)) << k->name;
                for (uint32_t i = 0; i < 64; i++) {
                    const uint32_t at = 64 * w + i;
                    ASSERT_EQ(m[at], gm[at]) << k->name << " trial " << trial << " step " << at;
                    ASSERT_EQ(ms[i], gms[i]) << k->name << " trial " << trial << " step " << at;
                    // What a join adds is never negative, and the node's
                    // counters are held less their least.
                    ASSERT_GE(m[at], 0);
                    ASSERT_GE(gr.c1[at], 0);
                    ASSERT_GE(gr.c0[at], 0);
                    stepsCounted += m[at] > 0;
                }
            }
        }
    }
    EXPECT_GE(variants, 1);
    EXPECT_GT(stepsCounted, 1000);
}

// Many characters sharing a few tables fill blocks (padding too) of 16-bit
// entries, or 32-bit ones for dearer tables, beside characters that stay one
// by one (more than 8 states), and weights that are not whole. Under each kernel variant, each
// character's length equals the plain Sankoff scorer's and the tree length
// (the pass that sums whole blocks) their weighted sum; a character whose
// length reaches the 16-bit limit overflows the counts, never wrapping.
TEST_F(Stmx, CharactersSharingTablesScoreAsPlainSankoffUnderEveryKernel)
{
    std::mt19937 rng(5126);
    const uint32_t sizes[] = {2, 3, 4, 4, 6, 8, 12};
    const int scales[] = {1, 1, 60, 6000};
    int compared = 0, overflowed = 0, narrow = 0, wide = 0, single = 0;
    const StmKernels *saved = &stmKernels();
    for (int trial = 0; trial < 56; trial++) {
        drop();
        types.clear();
        const uint32_t ns = sizes[trial % 7], ntax = 5 + rng() % 6, nchar = 20 + rng() % 30;
        const int scale = scales[(trial / 7) % 4];
        const uint32_t mode = trial % 2;  // obsOnly, allStates
        RandomSet r = randomCells(rng, ns, ntax, nchar);
        d = makeTypedData(ns, r.cells);
        // Impossible changes in a quarter of the trials: one impossible
        // character makes the whole tree impossible.
        for (int t = 0; t < 3; t++) {
            auto base = randomType(rng, ns, t == 1, t == 0 && trial % 4 == 0);
            std::vector<int> costs(base->cells.begin(), base->cells.end());
            for (int &c : costs)
                if (c != kUserTypeIntInfinity)
                    c *= scale;
            types.push_back(std::make_unique<TestType>(ns, costs, t == 1));
        }
        for (uint32_t c = 0; c < nchar; c++) {
            if (rng() % 6 == 0) {
                // Some Dollo characters keep lanes outside the blocks, now
                // that the constant characters that once did are left out.
                setType(d, c, c % 4 == 0 ? kCharDollo : kCharIrreversible, rng() % 2);
            } else {
                setType(d, c, kCharUserType, false, &types[rng() % 3]->ut);
                if (rng() % 3)
                    setAncestor(d, c, bit(rng() % std::min<uint32_t>(ns, 5)));
            }
            d->weights[c] = trial % 4 == 3 ? 0.5 * (1 + rng() % 4) : 1 + rng() % 3;
        }
        gPars.stepMatrix = mode;
        prepare();
        for (const StmBlock &b : packedData(d)->stmBlocks)
            (b.wide ? wide : narrow)++;
        single += packedData(d)->stmLanes.size() > packedData(d)->stmBlockLanes;
        build(randomTreeText(rng, ntax, -1, trial % 3 == 0), -1);
        std::vector<double> want(nchar);
        bool impossible = false, over = false;
        for (uint32_t c = 0; c < nchar; c++) {
            uint64_t observed = getXijAsBits(d, -1, c, nullptr) * !isMissing(-1, c, d);
            for (uint32_t t = 0; t < ntax; t++)
                observed |= r.cells[t][c];
            const bool user = (d->status[c] & kCharTypeMask) == kCharUserType;
            const uint64_t all = bit(ns) - 1;
            want[c] = referenceLength(d, tree.get(), c, user && mode == 0 ? observed : all);
            impossible = impossible || want[c] >= 1e37;
            over = over || (want[c] < 1e37 && want[c] >= 32767);
        }
        for (UnoKernelVariant v : {UnoKernelVariant::Generic, UnoKernelVariant::Avx2}) {
            if (!selectUnoKernels(v))
                continue;
            const double total = calcTreeLength(d, tree.get(), true, false);
            double expect = 0.0;
            for (uint32_t c = 0; c < nchar; c++)
                expect += want[c] * d->weights[c];
            if (impossible) {
                EXPECT_EQ(total, kNoScore) << "trial " << trial;
                continue;
            }
            // The counts overflow; the tree length alone checks each
            // join's steps only, so it is either the overflow or exact.
            if (over) {
                EXPECT_EQ(length(), kNoScore) << "trial " << trial;
                EXPECT_TRUE(total == kNoScore || total == expect) << "trial " << trial << ": " << total;
                overflowed++;
                continue;
            }
            EXPECT_DOUBLE_EQ(total, expect) << "trial " << trial;
            EXPECT_DOUBLE_EQ(length(), expect) << "trial " << trial;
            for (uint32_t c = 0; c < nchar; c++, compared++)
                EXPECT_EQ(charLengthOnTree(d, c), want[c]) << "trial " << trial << " char " << c;
        }
    }
    selectUnoKernels(saved == stmKernelsOf(UnoKernelVariant::Avx2) ? UnoKernelVariant::Avx2
                                                                    : UnoKernelVariant::Generic);
    EXPECT_GT(compared, 1000);
    EXPECT_GT(narrow, 20);
    EXPECT_GT(wide, 20);
    EXPECT_GT(single, 5);
    EXPECT_GT(overflowed, 0);
}

// The whole-class rules over the records of real trees (Dollo, irreversible,
// stepmatrices of 2 to 6 states with missing and uncertain cells and
// weights) equal the generic join and span taken one character at a time:
// the joined vectors, the base, the counted length and the span's length.
TEST_F(Stmx, PassRulesEqualGenericJoinsCharacterByCharacter)
{
    std::mt19937 rng(5123);
    int pairs = 0, joined = 0;
    for (int trial = 0; trial < 24; trial++) {
        drop();
        types.clear();
        const uint32_t ns = 2 + trial % 5, ntax = 5 + rng() % 6, nchar = 3 + rng() % 12;
        RandomSet r = randomCells(rng, ns, ntax, nchar);
        d = makeTypedData(ns, r.cells);
        for (uint32_t c = 0; c < nchar; c++) {
            const uint32_t kind = rng() % 4;
            if (kind == 0)
                setType(d, c, kCharDollo, rng() % 2);
            else if (kind == 1)
                setType(d, c, kCharIrreversible, rng() % 2);
            else {
                types.push_back(randomType(rng, ns, kind == 2, false));
                setType(d, c, kCharUserType, false, &types.back()->ut);
            }
            setAncestor(d, c, rng() % 2 ? bit(0) : 0);
            d->weights[c] = 1 + rng() % 3;
        }
        prepare();
        build(randomTreeText(rng, ntax, -1, false), -1);
        calcStatesetsForSearch(tree.get(), d, false);
        const PackedData *pd = packedData(d);
        std::vector<const ParsNodeSets *> recs;
        for (TreeNode *n = tree->root; n; n = n->next)
            for (int k = 0; k < 3; k++)
                recs.push_back(nodeSets(n->abm[k]));
        std::vector<int64_t> out(pd->stmStride);
        for (int pair = 0; pair < 40; pair++, pairs++) {
            const ParsNodeSets *a = recs[rng() % recs.size()], *b = recs[rng() % recs.size()];
            const bool ta = a->stm[0] != 0, tb = b->stm[0] != 0;
            double base, counted = 0.0, spanned = 0.0, wantCount = 0.0, wantSpan = 0.0;
            std::memcpy(&base, a->stm + 1, sizeof base);
            double wantBase = base;
            std::memcpy(&base, b->stm + 1, sizeof base);
            wantBase += base;
            std::vector<std::vector<int64_t>> expect;
            for (int32_t k : pd->stmChars) {
                const StmChar &sc = pd->stmAll[static_cast<size_t>(k)];
                const int64_t *cost = pd->stmCosts.data() + sc.cost;
                std::vector<int64_t> va(sc.n + 1), vb(sc.n + 1), joined(sc.n + 1);
                stmCharVector(d, a, sc, va.data());
                stmCharVector(d, b, sc, vb.data());
                const int64_t m = stmJoinGeneric1(sc, cost, va.data(), ta, vb.data(), tb, joined.data());
                const int64_t s = stmSpanGeneric1(sc, cost, va.data(), ta, vb.data(), tb);
                expect.push_back(joined);
                // Records that cannot meet (both sides forcing states no
                // change joins) stop the sums: the length is 1e37.
                wantCount = m >= kStmImpossible || wantCount == kNoScore
                                ? kNoScore
                                : wantCount + stmUnitsToLength(sc, m) * d->weights[sc.c];
                wantSpan = s >= kStmImpossible || wantSpan == kNoScore
                               ? kNoScore
                               : wantSpan + stmUnitsToLength(sc, s) * d->weights[sc.c];
            }
            wantBase = wantCount == kNoScore ? kNoScore : wantBase + wantCount;
            ParsNodeSets res{};
            res.stm = out.data();
            stmSetBin(d, a, b, true, false, &res, &counted);
            std::memcpy(&base, out.data() + 1, sizeof base);
            EXPECT_EQ(out[0], ta || tb);
            if (wantCount != kNoScore) {
                for (size_t i = 0; i < pd->stmChars.size(); i++) {
                    const StmChar &sc = pd->stmAll[static_cast<size_t>(pd->stmChars[i])];
                    std::vector<int64_t> got(sc.n + 1);
                    stmCharVector(d, &res, sc, got.data());
                    EXPECT_EQ(got, expect[i]) << "trial " << trial << " char " << sc.c;
                }
                joined++;
            }
            EXPECT_DOUBLE_EQ(base, wantBase) << "trial " << trial;
            EXPECT_DOUBLE_EQ(counted, wantCount) << "trial " << trial;
            EXPECT_EQ(stmAddSpan(d, a, b, false, &spanned, kNoScore), 0);
            EXPECT_DOUBLE_EQ(spanned, wantSpan) << "trial " << trial;
        }
    }
    EXPECT_EQ(pairs, 960);
    EXPECT_GT(joined, 480);
}

// Hand-computed lengths of the four-taxon examples.
TEST_F(Stmx, HandExamples)
{
    // Costs 0-1 and 2-3 one step, every other change two.
    std::vector<int> costs(16, 2);
    for (int i = 0; i < 4; i++)
        costs[i * 5] = 0;
    costs[1] = costs[4] = costs[11] = costs[14] = 1;
    types.push_back(std::make_unique<TestType>(4, costs, false));
    d = makeTypedData(4, {{bit(0)}, {bit(1)}, {bit(2)}, {bit(3)}});
    setType(d, 0, kCharUserType, false, &types.back()->ut);
    prepare();
    build("((0,1),(2,3))", -1);
    EXPECT_EQ(length(), 4);
    build("((0,2),(1,3))", -1);
    EXPECT_EQ(length(), 5);

    // c(i,3) = 1, 2 among 0-2: state 3 helps only where it may be used.
    std::vector<int> star(16, 2);
    for (int i = 0; i < 4; i++) {
        star[i * 5] = 0;
        if (i < 3)
            star[i * 4 + 3] = star[12 + i] = 1;
    }
    types.push_back(std::make_unique<TestType>(4, star, false));
    const double want[3] = {4, 3, 3};  // obsOnly, allStates, threePlus1
    for (uint32_t mode = 0; mode < 3; mode++) {
        drop();
        d = makeTypedData(4, {{bit(0)}, {bit(1)}, {bit(2)}, {bit(2)}});
        setType(d, 0, kCharUserType, false, &types.back()->ut);
        gPars.stepMatrix = mode;
        prepare();
        build("((0,1),(2,3))", -1);
        EXPECT_EQ(length(), want[mode]) << "mode " << mode;
    }

    // Ancestor 0 on ((A,B),(C,D)): Dollo and irreversible.
    for (const DolloHandCase &k : kDolloHandCases) {
        drop();
        std::vector<std::vector<uint64_t>> cells;
        for (int t = 0; t < 4; t++)
            cells.push_back({bit(k.cells[t] - '0'), bit(k.cells[t] - '0')});
        d = makeTypedData(2, cells);
        setType(d, 0, kCharDollo);
        setType(d, 1, kCharIrreversible);
        setAncestor(d, 0, bit(0));
        setAncestor(d, 1, bit(0));
        prepare();
        build("((0,1),(2,3))", -1);
        length();
        EXPECT_EQ(charLengthOnTree(d, 0), k.dollo) << k.cells;
        EXPECT_EQ(charLengthOnTree(d, 1), k.irrev) << k.cells;
    }
}

// A given ancestor in the middle of the series is the primitive state: the
// states below it are derived as much as those above. Ancestor 2 of 0-2 on
// ((A,B),(C,D)) with A = C = 0 and B = D = 2: under Dollo each of the two
// lower steps is gained once at the basal fork and lost to B and D (6
// steps); irreversibly each is gained on A's and on C's edge (4 steps).
// Read as losses from the ancestor they would cost 4 and be impossible.
TEST_F(Stmx, GivenAncestorInTheMiddleIsPrimitiveBothWays)
{
    const std::vector<std::vector<uint64_t>> cells{{bit(0), bit(0)}, {bit(2), bit(2)}, {bit(0), bit(0)},
                                                  {bit(2), bit(2)}};
    // Ancestor 1 between them: 2 and 0 are each gained once at the root's
    // node (a node derived both ways) and lost twice, not one of them
    // gained twice more (5 steps).
    for (const uint32_t anc : {2u, 1u})
        for (const bool down : {false, true}) {
            drop();
            d = makeTypedData(3, cells);
            setType(d, 0, kCharDollo, down);
            setType(d, 1, kCharIrreversible, down);
            setAncestor(d, 0, bit(anc));
            setAncestor(d, 1, bit(anc));
            prepare();
            build("((0,1),(2,3))", -1);
            EXPECT_EQ(length(), 10) << "ancestor " << anc << " down " << down;
            EXPECT_EQ(charLengthOnTree(d, 0), 6) << "ancestor " << anc;
            EXPECT_EQ(charLengthOnTree(d, 1), 4) << "ancestor " << anc;
            // With A and C sisters one gain of each step does.
            build("((0,2),(1,3))", -1);
            length();
            EXPECT_EQ(charLengthOnTree(d, 0), 2) << "ancestor " << anc;
            EXPECT_EQ(charLengthOnTree(d, 1), 2) << "ancestor " << anc;
        }
}

// Every rooted binary tree over the taxa of `mask`, as build() reads them.
std::vector<std::string> rootedTrees(uint32_t mask)
{
    if (std::popcount(mask) == 1)
        return {std::to_string(std::countr_zero(mask))};
    std::vector<std::string> out;
    const uint32_t low = mask & (~mask + 1), rest = mask ^ low;
    for (uint32_t sub = rest;; sub = (sub - 1) & rest) {
        if (const uint32_t other = rest ^ sub)
            for (const std::string &a : rootedTrees(low | sub))
                for (const std::string &b : rootedTrees(other))
                    out.push_back("(" + a + "," + b + ")");
        if (!sub)
            break;
    }
    return out;
}

// Dollo's rule step by step, as a reference: each step of the series is a
// two-state character whose primitive condition is the ancestor's side, gained
// at most once on the tree held at the ancestor and lost any number of times.
// An uncertain cell with states on both sides of a step leaves that step
// open (missing), each step on its own; a polymorphic one holds every state,
// so a step it holds both ways costs a step inside it. cells[t] are raw
// states (0 missing).
struct StepCosts {
    int64_t derived, gainBelow, none;  // the node derived; primitive with the gain below it; neither
};

int64_t stepDollo(const TreeNode *n, const std::vector<uint64_t> &cells, const std::vector<bool> &poly, uint32_t step,
                  uint32_t anc, StepCosts *out)
{
    constexpr int64_t inf = int64_t{1} << 40;
    if (!n->firstChild) {
        const uint64_t b = cells[static_cast<size_t>(n->index)];
        const uint64_t derivedStates = step <= anc ? (uint64_t{1} << step) - 1 : ~((uint64_t{1} << step) - 1);
        const bool one = b & derivedStates, zero = b & ~derivedStates;
        if (!b || (one && zero && !poly[static_cast<size_t>(n->index)]))
            *out = {0, inf, 0};
        else if (one && zero)
            *out = {1, 1, inf};
        else
            *out = one ? StepCosts{0, inf, inf} : StepCosts{inf, inf, 0};
        return 0;
    }
    std::vector<StepCosts> ch;
    for (const TreeNode *c = n->firstChild; c; c = c->nextSib)
        stepDollo(c, cells, poly, step, anc, &ch.emplace_back());
    StepCosts r{0, inf, 0};
    for (const StepCosts &c : ch) {
        r.derived += std::min(c.derived, c.none + 1);
        r.none = std::min(inf, r.none + c.none);
    }
    for (size_t i = 0; i < ch.size(); i++) {
        int64_t x = std::min(ch[i].gainBelow, ch[i].derived + 1);
        for (size_t j = 0; j < ch.size(); j++)
            if (j != i)
                x += ch[j].none;
        r.gainBelow = std::min(r.gainBelow, x);
    }
    *out = r;
    return std::min({r.none, r.gainBelow, r.derived + 1});
}

int64_t thresholdDollo(const Tree *tree, const std::vector<uint64_t> &cells, const std::vector<bool> &poly,
                       uint32_t ns, uint32_t anc)
{
    int64_t sum = 0;
    StepCosts top;
    for (uint32_t j = 1; j < ns; j++)
        sum += stepDollo(tree->root->firstChild, cells, poly, j, anc, &top);
    return sum;
}

void Stmx::loadDollo(uint32_t ns, const std::vector<std::vector<uint64_t>> &cells, const std::vector<uint32_t> &anc,
                     std::mt19937 &rng)
{
    d = makeTypedData(ns, cells);
    for (uint32_t c = 0; c < anc.size(); c++) {
        setType(d, c, kCharDollo, rng() % 2);
        setAncestor(d, c, bit(anc[c]));
    }
    prepare();
}

std::vector<int64_t> Stmx::matchStepByStep(const std::vector<std::vector<uint64_t>> &cells,
                                           const std::vector<uint32_t> &anc, uint32_t ns, int trial, int &compared)
{
    const auto ntax = static_cast<uint32_t>(cells.size()), nchar = static_cast<uint32_t>(anc.size());
    std::vector<std::vector<bool>> poly(nchar, std::vector<bool>(ntax));
    std::vector<std::vector<uint64_t>> byChar(nchar, std::vector<uint64_t>(ntax));
    for (uint32_t c = 0; c < nchar; c++)
        for (uint32_t t = 0; t < ntax; t++) {
            // A cell of every symbol reads as missing.
            byChar[c][t] = cells[t][c] == bit(ns) - 1 ? 0 : cells[t][c];
            poly[c][t] = isPolymorphicMST(static_cast<int32_t>(t), c, d);
        }
    std::vector<int64_t> least(nchar, int64_t{1} << 40);
    double shortest = 1e300, shortestRule = 1e300;
    for (const std::string &text : rootedTrees((1u << ntax) - 1)) {
        build(text, -1);
        const double total = length();
        int64_t rule = 0;
        for (uint32_t c = 0; c < nchar; c++) {
            const int64_t want = thresholdDollo(tree.get(), byChar[c], poly[c], ns, anc[c]);
            rule += want;
            least[c] = std::min(least[c], want);
            EXPECT_EQ(charLengthOnTree(d, c), static_cast<double>(want))
                << "trial " << trial << " char " << c << " tree " << text;
            compared++;
        }
        EXPECT_EQ(total, static_cast<double>(rule)) << "trial " << trial << " tree " << text;
        shortest = std::min(shortest, total);
        shortestRule = std::min(shortestRule, static_cast<double>(rule));
    }
    EXPECT_EQ(shortest, shortestRule) << "trial " << trial;
    return least;
}

// One row of long series (20, 32 or 63 states) whose characters each have two
// to four uncertain cells across a middle ancestor, the other cells single
// states spread over the series; the count of characters held as pairs in
// more indices than a word holds.
int Stmx::wideUncertainTrial(std::mt19937 &rng, int trial, int &compared)
{
    constexpr uint32_t kStates[] = {20, 32, 63};
    drop();
    msTaxa = kMsTaxaUncertain;
    const uint32_t ntax = trial % 3 == 2 ? 6 : 5, nchar = 4, ns = kStates[trial % 3];
    std::vector<std::vector<uint64_t>> cells(ntax, std::vector<uint64_t>(nchar));
    std::vector<uint32_t> anc(nchar);
    for (uint32_t c = 0; c < nchar; c++) {
        anc[c] = ns / 2 - 2 + rng() % 5;
        const uint32_t uncertain = 2 + rng() % 3;
        for (uint32_t t = 0; t < ntax; t++) {
            if (t < uncertain) {
                // One or two states below the ancestor, one above (or the
                // other way round), far from it and near it alike.
                uint64_t b = bit(rng() % anc[c]) | bit(anc[c] + 1 + rng() % (ns - anc[c] - 1));
                b |= rng() % 2 ? bit(rng() % anc[c]) : bit(anc[c] + 1 + rng() % (ns - anc[c] - 1));
                cells[t][c] = b;
            } else {
                cells[t][c] = bit(rng() % ns);
            }
        }
        std::shuffle(cells.begin(), cells.end(), rng);
    }
    loadDollo(ns, cells, anc, rng);
    int wide = 0;
    for (uint32_t c = 0; c < nchar; c++) {
        const StmChar *sc = stmCharOf(d, c);
        wide += sc && sc->pairs && sc->n > 64;
    }
    int bounded = 0;
    minimaReached(matchStepByStep(cells, anc, ns, trial, compared), trial, bounded);
    return wide;
}

// Dollo characters of 2 to 6 states, and of 16 to 63 (more steps on each
// side of the ancestor than pairs of states fit one word), with a given
// ancestor, mostly inside the series, and uncertain or polymorphic cells on
// either side of it or across it: on every rooted tree of 5 and 6 taxa each
// character's length is the step-by-step rule's, so the shortest tree is the
// rule's shortest too, and no character's minimum length is above it. The
// last rows give long series two to four uncertain cells across the
// ancestor each, far past 64 indices.
TEST_F(Stmx, DolloAncestorInsideTheSeriesScoresStepByStepOverAllTrees)
{
    std::mt19937 rng(5122);
    int compared = 0, spanning = 0, wide = 0;
    constexpr uint32_t kLong[] = {16, 20, 32, 63};
    for (int trial = 0; trial < 41; trial++) {
        if (trial >= 32) {
            wide += wideUncertainTrial(rng, trial, compared);
            continue;
        }
        drop();
        const uint32_t ntax = trial % 4 == 3 ? 6 : 5, nchar = 4;
        const uint32_t ns = trial < 24 ? 2 + trial % 5 : kLong[(trial + trial / 28) % 4];
        msTaxa = trial % 2 ? kMsTaxaPolymorph : kMsTaxaUncertain;
        std::vector<std::vector<uint64_t>> cells(ntax, std::vector<uint64_t>(nchar));
        std::vector<uint32_t> anc(nchar);
        for (uint32_t c = 0; c < nchar; c++) {
            anc[c] = ns > 2 ? 1 + rng() % (ns - 2) : rng() % 2;
            for (uint32_t t = 0; t < ntax; t++) {
                const uint32_t k = rng() % 10;
                uint64_t b = bit(rng() % ns);
                if (k < 3 && ns > 2)  // across the ancestor
                    b = bit(rng() % anc[c]) | bit(anc[c] + 1 + rng() % (ns - anc[c] - 1));
                else if (k < 4)
                    b |= bit(rng() % ns);
                cells[t][c] = k == 9 ? 0 : b;
            }
        }
        loadDollo(ns, cells, anc, rng);
        for (uint32_t c = 0; c < nchar; c++)
            for (uint32_t t = 0; t < ntax; t++) {
                const uint64_t b = cells[t][c];
                spanning += ns > 2 && (b & (bit(anc[c]) - 1)) && (b >> (anc[c] + 1));
            }
        int bounded = 0;
        minimaReached(matchStepByStep(cells, anc, ns, trial, compared), trial, bounded);
    }
    EXPECT_GT(compared, 20000);
    EXPECT_GT(spanning, 40);
    EXPECT_GT(wide, 12);
}

// A polymorphic cell holding several states on each side of an ancestor
// inside the series costs one step inside it for each step it holds both
// ways, whatever states lie between its lowest and highest: over every rooted
// tree of 5 and 6 taxa, with most cells such, each character's length is the
// step-by-step rule's, from short series to the longest the data take.
TEST_F(Stmx, DolloPolymorphicCellsAcrossTheAncestorCountTheirStepsOnce)
{
    std::mt19937 rng(6122);
    constexpr uint32_t kStates[] = {4, 6, 9, 20, 32, 63};
    int compared = 0, wide = 0, bounded = 0, reached = 0;
    for (int trial = 0; trial < 12; trial++) {
        drop();
        msTaxa = kMsTaxaPolymorph;
        const uint32_t ntax = trial % 3 == 2 ? 6 : 5, nchar = 3, ns = kStates[trial % 6];
        std::vector<std::vector<uint64_t>> cells(ntax, std::vector<uint64_t>(nchar));
        std::vector<uint32_t> anc(nchar);
        for (uint32_t c = 0; c < nchar; c++) {
            anc[c] = 1 + rng() % (ns - 2);
            for (uint32_t t = 0; t < ntax; t++) {
                const uint32_t k = rng() % 8;
                uint64_t b = bit(rng() % ns);
                if (k < 5)  // one to three states on each side, the ancestor sometimes
                    for (uint32_t i = 0, m = 1 + rng() % 3; i < m; i++)
                        b |= bit(rng() % anc[c]) | bit(anc[c] + 1 + rng() % (ns - anc[c] - 1)) |
                             (rng() % 4 ? 0 : bit(anc[c]));
                cells[t][c] = k == 7 ? 0 : b;
                wide += std::popcount(cells[t][c]) > 2;
            }
        }
        loadDollo(ns, cells, anc, rng);
        // The minimum lengths the fit indices take are never above the
        // shortest tree's, and often equal to it.
        reached += minimaReached(matchStepByStep(cells, anc, ns, trial, compared), trial, bounded);
    }
    EXPECT_GT(compared, 5000);
    EXPECT_GT(wide, 60);
    // Each step on its own bounds every tree from below, which the shortest
    // tree reaches for 14 of the 36 characters (the bound from the cells'
    // interval reached one).
    EXPECT_GE(reached * 3, bounded);
}

// A single join whose least cost reaches the per-character limit (0 and 2
// meet through 1, each step half of it or more) overflows the tree length as
// it always did, now that such a table is held in a block of 32-bit entries;
// half the costs give the exact length.
TEST_F(Stmx, OneJoinPastThePerCharacterLimitOverflows)
{
    for (int step : {20000, 10000}) {
        drop();
        types.clear();
        const int inf = kUserTypeIntInfinity;
        types.push_back(std::make_unique<TestType>(3, std::vector<int>{0, step, inf, step, 0, step, inf, step, 0}, false));
        d = makeTypedData(3, {{bit(0)}, {bit(2)}, {bit(1)}, {bit(1)}});
        setType(d, 0, kCharUserType, false, &types.back()->ut);
        prepare();
        ASSERT_EQ(packedData(d)->stmBlocks.size(), 1u);
        EXPECT_TRUE(packedData(d)->stmBlocks[0].wide);
        build("((0,1),(2,3))", -1);
        EXPECT_EQ(calcTreeLength(d, tree.get(), true, false), step == 20000 ? kNoScore : 2.0 * step);
    }
}

// A polymorphic terminal of a stepmatrix character counts its own cheapest
// tree once: {0,2} under 0-1-2 costs of one step needs state 1 between them.
TEST_F(Stmx, PolymorphicTerminalCountsItsOwnTreeOnce)
{
    msTaxa = kMsTaxaPolymorph;
    std::vector<int> path = {0, 1, 2, 1, 0, 1, 2, 1, 0};
    types.push_back(std::make_unique<TestType>(3, path, false));
    d = makeTypedData(3, {{bit(0)}, {bit(0)}, {bit(0) | bit(2)}, {bit(2)}});
    setType(d, 0, kCharUserType, false, &types.back()->ut);
    gPars.stepMatrix = 1;
    prepare();
    EXPECT_EQ(packedData(d)->extraLen[0], 2);
    build("((1,2),3)", 0);
    // 0 0 | {0,2} 2: the polymorphic tip reaches 2 at no cost past its own two.
    EXPECT_EQ(length(), 2 + 2);
}

// Minimum lengths over all trees and the star test of informativeness.
TEST_F(Stmx, MinimumStepsAndInformativeness)
{
    std::vector<int> costs(16, 2);
    for (int i = 0; i < 4; i++) {
        costs[i * 5] = 0;
        if (i < 3)
            costs[i * 4 + 3] = costs[12 + i] = 1;
    }
    types.push_back(std::make_unique<TestType>(4, costs, false));
    // Character 1, states 0 0 1 2 2 (taxa 5, 1, 2, 3, 4): the cheapest tree
    // joins 0, 1 and 2 through 3 (3 steps); the best star (on 0 or 3) costs
    // 6 or 5, so trees differ: informative.
    d = makeTypedData(4, {{bit(0), bit(0)}, {bit(1), bit(0)}, {bit(2), bit(1)}, {bit(2), bit(1)}, {bit(0), bit(0)}});
    setType(d, 0, kCharUserType, false, &types.back()->ut);
    setType(d, 1, kCharUserType, false, &types.back()->ut);
    gPars.stepMatrix = 1;
    prepare();
    EXPECT_EQ(packedData(d)->minSteps[0], 3);
    EXPECT_FALSE(d->status[0] & kCharUninformative);
    // Character 2, three taxa in 0 and two in 1: 0 and 1 are 2 apart either
    // way (directly or through 3), the least length; a star on 0 costs 4 and
    // one on 3 costs 5: informative as well.
    EXPECT_EQ(packedData(d)->minSteps[1], 2);
    EXPECT_FALSE(d->status[1] & kCharUninformative);

    drop();
    d = makeTypedData(4, {{bit(0)}, {bit(0)}, {bit(0)}, {bit(1)}});
    setType(d, 0, kCharUserType, false, &types.back()->ut);
    prepare();
    EXPECT_EQ(packedData(d)->minSteps[0], 2);
    EXPECT_TRUE(d->status[0] & kCharUninformative);
}

// Stepmatrix minima past the exact Steiner search's terminal count: taxa
// holding 11 or 12 distinct states of a closed symmetric table of up to 20. The least
// length over all trees is the cheapest spanning tree over the observed
// states and any others (the table is closed), found here by trying every
// set of other states. The linear table |i - j| over 11 states needs 10.
TEST_F(Stmx, ManyStateMinimaEqualTheLeastSpanningTreeOverEveryStateSet)
{
    auto spanning = [](const TestType &t, uint64_t set) {
        std::vector<uint32_t> in;
        for (uint32_t s = 0; s < t.ut.n; s++)
            if (set >> s & 1)
                in.push_back(s);
        std::vector<int64_t> reach(in.size(), kInf);
        reach[0] = 0;
        std::vector<bool> done(in.size());
        int64_t total = 0;
        for (size_t round = 0; round < in.size(); round++) {
            size_t k = 0;
            while (done[k])
                k++;
            for (size_t j = k; j < in.size(); j++)
                if (!done[j] && reach[j] < reach[k])
                    k = j;
            done[k] = true;
            total += reach[k];
            for (size_t j = 0; j < in.size(); j++)
                reach[j] = std::min<int64_t>(reach[j], t.rows[in[k]][in[j]]);
        }
        return total;
    };
    std::mt19937 rng(57);
    for (int trial = 0; trial < 25; trial++) {
        const uint32_t n = trial == 0 ? 11 : 14 + trial % 7;
        // States at cells of a 5 x 5 grid, a change costing the city-block
        // distance (closed, and unobserved states often shorten the tree);
        // the first trial's states on a line.
        std::vector<int> x(25), y(25), costs;
        std::iota(x.begin(), x.end(), 0);
        if (trial)
            std::shuffle(x.begin(), x.end(), rng);
        for (uint32_t i = 0; i < n; i++)
            std::tie(x[i], y[i]) = trial ? std::pair{x[i] % 5, x[i] / 5} : std::pair{x[i], 0};
        for (uint32_t i = 0; i < n; i++)
            for (uint32_t j = 0; j < n; j++)
                costs.push_back(std::abs(x[i] - x[j]) + std::abs(y[i] - y[j]));
        types.push_back(std::make_unique<TestType>(n, costs, false));
        std::vector<uint32_t> states(n);
        std::iota(states.begin(), states.end(), 0u);
        std::shuffle(states.begin(), states.end(), rng);
        states.resize(trial == 0 ? n : 11 + rng() % 2);
        std::vector<std::vector<uint64_t>> cells;
        uint64_t seen = 0;
        for (uint32_t s : states) {
            cells.push_back({bit(s)});
            seen |= bit(s);
        }
        drop();
        d = makeTypedData(n, cells);
        setType(d, 0, kCharUserType, false, &types.back()->ut);
        prepare();
        const uint64_t others = ((uint64_t{1} << n) - 1) & ~seen;
        int64_t least = kInf;
        for (uint64_t x = others;; x = (x - 1) & others) {
            least = std::min(least, spanning(*types.back(), seen | x));
            if (!x)
                break;
        }
        SCOPED_TRACE("trial " + std::to_string(trial));
        if (trial == 0) {
            EXPECT_EQ(least, 10);
            EXPECT_FALSE(d->status[0] & kCharUninformative);
        }
        EXPECT_EQ(packedData(d)->minSteps[0], static_cast<double>(least));
        std::string caterpillar = "1";
        for (size_t t = 2; t < states.size(); t++)
            caterpillar = "(" + caterpillar + "," + std::to_string(t) + ")";
        build(caterpillar, 0);
        ASSERT_EQ(calcLengthBounds(d, tree.get(), false, false), 0);
        EXPECT_EQ(lengthBounds().minLen[0], static_cast<double>(least));
    }
}

// A polymorphic cell makes an irreversible or Dollo character informative:
// 1 1 (01) 1 1 1 irreversible from 0 takes 4 steps on ((A,B),((C,D),(E,F)))
// (1 gained in C and in the three groups around it) and 3 with C beside A
// (in C, A and the rest).
TEST_F(Stmx, PolymorphicCellMakesSeriesCharactersInformative)
{
    msTaxa = kMsTaxaPolymorph;
    for (const uint32_t type : {kCharIrreversible, kCharDollo}) {
        drop();
        d = makeTypedData(3, {{bit(1)}, {bit(1)}, {bit(0) | bit(1)}, {bit(1)}, {bit(1)}, {bit(1)}});
        setType(d, 0, type);
        setActiveDataInfo(d);
        ASSERT_EQ(initializeDataInfo(d), 0);
        prepare();
        EXPECT_FALSE(d->status[0] & kCharUninformative) << type;
        build("((0,1),((2,3),(4,5)))", -1);
        const double among = length();
        build("((0,2),((1,3),(4,5)))", -1);
        EXPECT_EQ(among, type == kCharIrreversible ? 4 : 1);
        EXPECT_EQ(length(), type == kCharIrreversible ? 3 : 1);
    }
}

// Incremental prune and graft keep every cost vector and subtree length
// equal to a full pass (directed characters on trees held at the ancestor).
TEST_F(Stmx, PruneAndGraftUpdatesEqualFullPasses)
{
    std::mt19937 rng(5121);
    int edits = 0;
    for (int trial = 0; trial < 30; trial++) {
        drop();
        types.clear();
        const uint32_t ns = 2 + rng() % 5, ntax = 6 + rng() % 8, nchar = 1 + rng() % 10;
        RandomSet r = randomCells(rng, ns, ntax, nchar);
        d = makeTypedData(ns, r.cells);
        for (uint32_t c = 0; c < nchar; c++) {
            const uint32_t kind = rng() % 5;
            if (kind == 0)
                setType(d, c, kCharDollo, rng() % 2);
            else if (kind == 1)
                setType(d, c, kCharIrreversible, rng() % 2);
            else if (kind == 2)
                setType(d, c, kCharUnordered);
            else {
                types.push_back(randomType(rng, ns, kind == 3, false));
                setType(d, c, kCharUserType, false, &types.back()->ut);
            }
            setAncestor(d, c, rng() % 2 ? bit(0) : 0);
            d->weights[c] = 1 + rng() % 2;
        }
        prepare();
        build(randomTreeText(rng, ntax, -1, false), -1);
        calcStatesetsForSearch(tree.get(), d, false);
        const PackedData *pd = packedData(d);
        auto snapshot = [&] {
            checkTraversalSeq(tree.get());
            std::vector<int64_t> s;
            for (TreeNode *n = tree->root->next; n; n = n->next)
                for (int k = 0; k < 3; k++) {
                    if (k == 0 && !n->firstChild)
                        continue;
                    const ParsNodeSets *rec = nodeSets(n->abm[k]);
                    s.insert(s.end(), rec->stm, rec->stm + pd->stmStride);
                    if (k == 0)
                        s.push_back(static_cast<int64_t>(rec->len * 16));
                }
            return s;
        };
        auto pick = [&](const std::function<bool(TreeNode *)> &ok) {
            std::vector<TreeNode *> v;
            for (TreeNode *n = tree->root->next; n; n = n->next)
                if (ok(n))
                    v.push_back(n);
            return v[rng() % v.size()];
        };
        for (int step = 0; step < 8; step++, edits++) {
            TreeNode *x = pick([](TreeNode *n) { return n->anc->anc != nullptr; });
            TreeNode *f = x->anc, *s = f->firstChild == x ? x->nextSib : f->firstChild;
            ASSERT_EQ(pruneSubtree(x, false), f);
            revUpdateAfterPrune(d, s, x, f);
            afterTreeChange(tree.get());
            auto inc = snapshot();
            double incLen = revTreeLength(d, tree.get());
            calcStatesetsForSearch(tree.get(), d, false);
            ASSERT_EQ(inc, snapshot()) << "prune, trial " << trial;
            ASSERT_DOUBLE_EQ(incLen, tree->score[0]) << "prune, trial " << trial;
            ASSERT_DOUBLE_EQ(incLen, calcTreeLength(d, tree.get(), true, false));
            calcStatesetsForSearch(tree.get(), d, false);

            TreeNode *u = pick([](TreeNode *) { return true; });
            ASSERT_EQ(graftSubtreeToEdge(tree.get(), x, u, f), 0);
            revUpdateAfterGraft(d, x);
            afterTreeChange(tree.get());
            inc = snapshot();
            incLen = revTreeLength(d, tree.get());
            calcStatesetsForSearch(tree.get(), d, false);
            ASSERT_EQ(inc, snapshot()) << "graft, trial " << trial;
            ASSERT_DOUBLE_EQ(incLen, tree->score[0]) << "graft, trial " << trial;
        }
    }
    EXPECT_EQ(edits, 240);
}

}  // namespace

// Character-state-tree characters: each character's length on random trees
// equals a plain Sankoff count over every node of its state tree (unnamed
// nodes included) with the number of tree edges between two nodes as the
// cost, and its minimum is the number of edges of the smallest subtree of
// the state tree that holds every observed state.
TEST_F(Stmx, StateTreeCharactersScoreTheTreesPathLengths)
{
    std::mt19937 rng(3123);
    int compared = 0;
    for (int trial = 0; trial < 60; trial++) {
        drop();
        const uint32_t ns = 3 + rng() % 4, extra = rng() % 3, nodes = ns + extra;
        // Nodes in creation order: a random parent among the earlier ones;
        // node k names state order[k] (unnamed past ns).
        std::vector<uint32_t> order(nodes), parent(nodes, 0), depth(nodes, 0);
        std::iota(order.begin(), order.end(), 0u);
        std::shuffle(order.begin(), order.end(), rng);
        std::vector<CSTreeNode *> made(nodes);
        for (uint32_t k = 0; k < nodes; k++) {
            parent[k] = k ? static_cast<uint32_t>(rng() % k) : 0;
            depth[k] = k ? depth[parent[k]] + 1 : 0;
            made[k] = createCSTreeNode(k ? made[parent[k]] : nullptr, order[k] < ns ? kSymbols[order[k]] : '*', k);
            if (k)
                made[k - 1]->nextNode = made[k];
        }
        std::string symbols;
        for (uint32_t k = 0; k < nodes; k++)
            symbols += made[k]->symbol;
        UserType ut{};
        ut.tree = made[0];
        ut.symbols = symbols.data();
        ut.n = static_cast<uint8_t>(nodes);
        auto edges = [&](uint32_t a, uint32_t b) {
            uint32_t n = 0;
            while (a != b) {
                uint32_t &deeper = depth[a] >= depth[b] ? a : b;
                deeper = parent[deeper];
                n++;
            }
            return n;
        };
        std::vector<uint32_t> nodeOf(ns);
        for (uint32_t k = 0; k < nodes; k++)
            if (order[k] < ns)
                nodeOf[order[k]] = k;

        const uint32_t ntax = 4 + rng() % 5, nchar = 1 + rng() % 4;
        std::vector<std::vector<uint64_t>> cells(ntax, std::vector<uint64_t>(nchar, 0));
        for (auto &row : cells)
            for (uint64_t &b : row)
                b = rng() % 8 ? bit(rng() % ns) : 0;
        d = makeTypedData(ns, cells);
        for (uint32_t c = 0; c < nchar; c++) {
            setType(d, c, kCharOrdered, false, &ut);
            d->status[c] |= kCharStateTree;
        }
        prepare();
        build(randomTreeText(rng, ntax, 0, false), 0);
        const double total = length();
        double expect = 0.0;
        for (uint32_t c = 0; c < nchar; c++) {
            std::function<std::vector<int64_t>(const TreeNode *)> f = [&](const TreeNode *n) {
                std::vector<int64_t> v(nodes, 0);
                if (!n->firstChild || n == tree->root)
                    if (const uint64_t b = cells[static_cast<size_t>(n->index)][c])
                        for (uint32_t k = 0; k < nodes; k++)
                            v[k] = k == nodeOf[static_cast<uint32_t>(std::countr_zero(b))] ? 0 : kInf;
                for (const TreeNode *ch = n->firstChild; ch; ch = ch->nextSib) {
                    const std::vector<int64_t> w = f(ch);
                    for (uint32_t s = 0; s < nodes; s++) {
                        int64_t best = kInf;
                        for (uint32_t t = 0; t < nodes; t++)
                            best = std::min(best, w[t] + edges(s, t));
                        v[s] = std::min(kInf, v[s] + best);
                    }
                }
                return v;
            };
            const std::vector<int64_t> r = f(tree->root);
            const auto want = static_cast<double>(*std::min_element(r.begin(), r.end()));
            EXPECT_EQ(charLengthOnTree(d, c), want) << "trial " << trial << " char " << c;
            expect += want;
            // The spanning subtree: the edges above nodes with observed
            // states both below and elsewhere.
            std::vector<uint32_t> below(nodes, 0);
            uint32_t seen = 0;
            for (uint32_t t = 0; t < ntax; t++)
                if (cells[t][c]) {
                    below[nodeOf[static_cast<uint32_t>(std::countr_zero(cells[t][c]))]]++;
                    seen++;
                }
            uint32_t span = 0;
            for (uint32_t k = nodes; k-- > 1;) {
                below[parent[k]] += below[k];
                span += below[k] > 0 && below[k] < seen;
            }
            EXPECT_EQ(packedData(d)->minSteps[c], span) << "trial " << trial << " char " << c;
            compared++;
        }
        EXPECT_EQ(total, expect) << "trial " << trial;
        drop();
        deallocCSTree(made[0]);
    }
    EXPECT_GT(compared, 100);
}

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <numeric>
#include <string>
#include <vector>

#include "qel/qel_errormsg.h"
#include "qel/qel_malloc.h"
#include "qel/qel_normal.h"
#include "qel/qel_random.h"
#include "capture_test_support.h"

namespace {

// ---------------------------------------------------------------------------
// Reference generators, restated from the recurrences with plain modular
// arithmetic (no folding tricks), to check the library's streams against.

uint32_t refLegacy(uint32_t x) { return static_cast<uint32_t>((uint64_t{397204094} * x) % 2147483647u); }

struct RefKiss {
    uint32_t x, y, z, c;
    explicit RefKiss(uint32_t seed)
    {
        x = seed;
        uint32_t s = seed % 2147483645u + 1;
        y = refLegacy(s);
        z = refLegacy(y);
        c = (refLegacy(z) - 1) % 698769068u + 1;
    }
    uint32_t next()
    {
        for (;;) {
            y ^= y << 13;
            y ^= y >> 17;
            y ^= y << 5;
            uint64_t t = uint64_t{698769069} * z + c;
            z = static_cast<uint32_t>(t & 0xFFFFFFFFu);
            c = static_cast<uint32_t>(t >> 32);
            x = x * 69069u + 12345u;
            uint32_t r = x + y + z;
            if (r != 0 && r != 0xFFFFFFFFu)
                return r;
        }
    }
};

RNG kissState(uint32_t seed)
{
    RNG r{};
    initRNG_KISS(&r, makeSeed1(seed));
    return r;
}

RNG legacyState(uint32_t seed)
{
    RNG r{};
    initRNG_Legacy(&r, makeSeed1(seed));
    return r;
}

// Kolmogorov-Smirnov distance between the sample and a continuous CDF.
template <typename Cdf>
double ksStatistic(std::vector<double> v, Cdf cdf)
{
    std::sort(v.begin(), v.end());
    const double n = static_cast<double>(v.size());
    double d = 0.0;
    for (size_t i = 0; i < v.size(); ++i) {
        double f = cdf(v[i]);
        d = std::max({d, (i + 1) / n - f, f - i / n});
    }
    return d;
}

// Asymptotic 1% critical value of the one-sample KS statistic.
double ksCritical1Percent(size_t n) { return 1.6276 / std::sqrt(static_cast<double>(n)); }

using captest::gCaptured;

}  // namespace

// ---------------------------------------------------------------------------
// Seeding and raw streams

TEST(RandomSeeding, KissOneWordSeedOneMatchesHandComputedState)
{
    // Worked out separately: x = 1, s = 2, y = 397204094 * 2 mod (2^31 - 1),
    // z and u two more steps, c = (u - 1) mod 698769068 + 1.
    RNG r = kissState(1);
    EXPECT_EQ(r.x, 1u);
    EXPECT_EQ(r.y, 794408188u);
    EXPECT_EQ(r.z, 2019015659u);
    EXPECT_EQ(r.c, 319694182u);
    EXPECT_EQ(r.maxRaw, 4294967294u);
    EXPECT_EQ(r.scale, 4294967295.0);
    EXPECT_EQ(r.legacy, 0);

    const uint32_t expected[] = {1002235706u, 4258819862u, 2873799767u, 4127053197u, 1740526010u};
    for (uint32_t e : expected)
        EXPECT_EQ(randUniRaw(&r), e);
    EXPECT_EQ(r.x, 2369698258u);
    EXPECT_EQ(r.y, 1782860383u);
    EXPECT_EQ(r.z, 1882934665u);
    EXPECT_EQ(r.c, 75238822u);
}

TEST(RandomSeeding, LegacySeedOneMatchesHandComputedValues)
{
    RNG r = legacyState(1);
    EXPECT_EQ(r.maxRaw, 2147483646u);
    EXPECT_EQ(r.scale, 2147483647.0);
    const uint32_t expected[] = {397204094u, 2083249653u, 858616159u, 557054349u, 1979126465u};
    for (uint32_t e : expected)
        EXPECT_EQ(randUniRaw(&r), e);
    // The seed is folded into 1..2^31-2.
    EXPECT_EQ(legacyState(0xFFFFFFFFu).x, 3u);
    EXPECT_EQ(legacyState(2147483647u).x, 1u);
}

TEST(RandomSeeding, StreamsAgreeWithPlainRecurrencesForManySeeds)
{
    RNG picker = kissState(20240611);
    for (int trial = 0; trial < 200; ++trial) {
        uint32_t seed = randUniRaw(&picker);
        RNG k = kissState(seed);
        RefKiss ref(seed);
        RNG l = legacyState(seed);
        uint32_t lx = (seed - 1) % 2147483646u + 1;
        for (int i = 0; i < 500; ++i) {
            ASSERT_EQ(randUniRaw(&k), ref.next()) << "seed " << seed << " draw " << i;
            lx = refLegacy(lx);
            ASSERT_EQ(randUniRaw(&l), lx) << "seed " << seed << " draw " << i;
        }
    }
    // The folding step at the extremes of its input.
    for (uint32_t x : {1u, 2u, 2147483646u, 1234567890u})
        EXPECT_EQ(legacyRandStep(x), refLegacy(x));
}

TEST(RandomSeeding, FourWordSeeds)
{
    RNG r{};
    initRNG_KISS(&r, makeSeed(7, 0xFFFFFFFFu, 0, 698769069u + 5));
    EXPECT_EQ(r.x, 7u);
    EXPECT_EQ(r.y, 1u);  // all-ones words are replaced
    EXPECT_EQ(r.z, 0u);
    EXPECT_EQ(r.c, 6u);  // (w3 - 1) mod 698769068 + 1
    initRNG_KISS(&r, makeSeed(0xFFFFFFFFu, 9, 10, 0));
    EXPECT_EQ(r.x, 1u);
    EXPECT_EQ(r.c, 0u);

    // 5:0:0:0 is the one-word seed 5.
    RNG a{}, b = kissState(5);
    initRNG_KISS(&a, makeSeed(5, 0, 0, 0));
    EXPECT_EQ(randUniRaw(&a), randUniRaw(&b));
    EXPECT_EQ(seedString(makeSeed(5, 0, 0, 0)), "5");
    EXPECT_EQ(seedString(makeSeed(1, 2, 3, 4)), "1:2:3:4");
    EXPECT_EQ(seedString(makeSeed(0, 2, 3, 4)), "generated automatically");

    // The settings choose the generator for initRNG; the legacy one ignores
    // the upper words.
    rngSettings.generator = kRNG_Legacy;
    initRNG(&r, makeSeed(12, 99, 98, 97));
    rngSettings.generator = kRNG_KISS;
    EXPECT_EQ(r.legacy, 1);
    EXPECT_EQ(r.x, 12u);
    EXPECT_EQ(r.y, 0u);
    initRNG(&r, makeSeed1(12));
    EXPECT_EQ(r.legacy, 0);
}

TEST(RandomSeeding, SeedTextSyntax)
{
    RNGSeed s{};
    EXPECT_EQ(seedFromText("1:2:3:4", &s), 0);
    EXPECT_EQ(s.w[0], 1u);
    EXPECT_EQ(s.w[3], 4u);
    EXPECT_EQ(seedFromText("42", &s), 0);
    EXPECT_EQ(s.w[0], 42u);
    EXPECT_EQ(s.w[1], 0u);
    EXPECT_EQ(seedFromText("1:2:3:4:junk", &s), 0);  // conversion stops after the fourth
    EXPECT_EQ(s.w[3], 4u);
    EXPECT_EQ(seedFromText("4294967295:0:0:1", &s), 0);
    EXPECT_EQ(s.w[0], 4294967295u);

    for (const char *bad : {"1:2:3", "", "1:2::4", "1:x:3:4", "-5", "4294967296", "1:2:3:4294967296", " 7", ":1:2:3"}) {
        s = makeSeed(9, 9, 9, 9);
        EXPECT_NE(seedFromText(bad, &s), 0) << bad;
        EXPECT_EQ(s.w[0] | s.w[1] | s.w[2] | s.w[3], 0u) << bad;
    }
}

TEST(RandomSeeding, AutomaticSeedsAndClockFallback)
{
    RNG a{}, b{};
    initRNG_KISS(&a, makeSeed(0, 5, 6, 7));
    initRNG_KISS(&b, makeSeed(0, 5, 6, 7));
    EXPECT_TRUE(isRNGinitialized(&a));
    EXPECT_GE(a.c, 1u);
    EXPECT_LE(a.c, kKissCarryMax);
    EXPECT_FALSE(a.x == b.x && a.y == b.y && a.z == b.z);

    // A run's automatic seed is one drawn word, whatever the other words
    // were, so that the seed shown reproduces the run; a given seed is kept.
    for (int i = 0; i < 20; ++i) {
        const uint32_t automatic[4] = {0, 5, 6, 7};
        const RNGSeed s = seedForRun(automatic);
        EXPECT_GE(s.w[0], 1u);
        EXPECT_LE(s.w[0], 0x7FFFFFFFu);
        EXPECT_EQ(s.w[1] | s.w[2] | s.w[3], 0u);
    }
    const uint32_t given[4] = {1, 2, 3, 4};
    EXPECT_EQ(seedString(seedForRun(given)), "1:2:3:4");

    uint32_t w = 77;
    makeInitialSeedValue(&w, 100);
    EXPECT_EQ(w, 77u);  // only a zero word is filled

    MsgHook saved = qel_warningMsg;
    qel_warningMsg = captest::captureMsg<0>;
    gCaptured.clear();
    qel_setRandomSourcePath("/nonexistent/random-source");
    for (int i = 0; i < 20; ++i) {
        w = 0;
        makeInitialSeedValue(&w, 10);
        EXPECT_GE(w, 1u);
        EXPECT_LE(w, 10u);
    }
    qel_setRandomSourcePath(nullptr);
    qel_warningMsg = saved;
    EXPECT_NE(gCaptured.find("Nondeterministic random-number seeding failed; clock-based seed used instead."),
              std::string::npos);
}

TEST(RandomSeeding, StateText)
{
    RNG r = kissState(1);
    char buf[64];
    showRNGState(&r, buf, sizeof buf);
    EXPECT_STREQ(buf, "1:794408188:2019015659:319694182");
    RNG l = legacyState(1);
    randUniRaw(&l);
    showRNGState(&l, buf, sizeof buf);
    EXPECT_STREQ(buf, "397204094");
}

// ---------------------------------------------------------------------------
// Integers, permutations and samples

TEST(RandomIntegers, RejectionProtocolMatchesReference)
{
    for (RNG r : {kissState(3), legacyState(3)}) {
        for (uint32_t n : {1u, 2u, 3u, 7u, 1000u, 123456789u, r.maxRaw / 2 + 1, r.maxRaw}) {
            RNG shadow = r;
            const uint32_t q = r.maxRaw / n;
            for (int i = 0; i < 200; ++i) {
                uint32_t expect;
                do
                    expect = randUniRaw(&shadow) / q;
                while (expect >= n);
                ASSERT_EQ(randomInteger(&r, n), expect) << "n " << n;
            }
            EXPECT_EQ(r.x, shadow.x);
        }
    }
}

TEST(RandomIntegers, OneConsumesOneDrawAndOutOfRangeIsRefused)
{
    RNG r = kissState(11), shadow = r;
    EXPECT_EQ(randomInteger(&r, 1), 0u);
    randUniRaw(&shadow);
    EXPECT_EQ(r.x, shadow.x);

    for (RNG g : {kissState(4), legacyState(4)}) {
        RNG before = g;
        EXPECT_EQ(randomInteger(&g, 0), kRandRefused);
        EXPECT_EQ(randomInteger(&g, g.maxRaw + 1), kRandRefused);
        EXPECT_EQ(g.x, before.x);  // nothing drawn
        uint32_t a = 9, b = 9;
        EXPECT_FALSE(randomPair(&g, 1, &a, &b));
        EXPECT_EQ(a, 9u);
    }
    RNG l = legacyState(4);
    EXPECT_EQ(randomInteger(&l, 0x80000000u), kRandRefused);
    std::vector<uint32_t> big(4, 5);
    randomUIntShuffle(&l, big.data(), 0x80000000u);  // refused before touching the array
    EXPECT_EQ(big, std::vector<uint32_t>(4, 5));
}

TEST(RandomIntegers, SmallRangesAreUniform)
{
    RNG r = kissState(99);
    const uint32_t n = 7, draws = 70000;
    std::vector<double> counts(n, 0);
    for (uint32_t i = 0; i < draws; ++i)
        counts[randomInteger(&r, n)] += 1;
    double chi2 = 0;
    for (double c : counts)
        chi2 += (c - draws / n) * (c - draws / n) / (draws / n);
    EXPECT_LT(chi2, 16.81);  // 1% point of chi-square with 6 df

    int pairs01 = 0, pairs10 = 0;
    for (int i = 0; i < 1000; ++i) {
        uint32_t a, b;
        ASSERT_TRUE(randomPair(&r, 2, &a, &b));
        pairs01 += a == 0 && b == 1;
        pairs10 += a == 1 && b == 0;
    }
    EXPECT_EQ(pairs01 + pairs10, 1000);
    EXPECT_GT(pairs01, 400);
    EXPECT_GT(pairs10, 400);

    for (int i = 0; i < 2000; ++i) {
        uint32_t a, b;
        ASSERT_TRUE(randomPair(&r, 5, &a, &b));
        ASSERT_NE(a, b);
        ASSERT_LT(std::max(a, b), 5u);
    }
}

TEST(RandomIntegers, ShufflesAndSamples)
{
    RNG r = kissState(5), shadow = r;
    std::vector<uint32_t> a(50);
    randIntegerPerm(&r, a.data(), 50);
    // Reference Fisher-Yates from the end on the same stream.
    std::vector<uint32_t> ref(50);
    std::iota(ref.begin(), ref.end(), 0u);
    for (uint32_t k = 50; k >= 2; --k) {
        uint32_t q = shadow.maxRaw / k, j;
        do
            j = randUniRaw(&shadow) / q;
        while (j >= k);
        std::swap(ref[k - 1], ref[j]);
    }
    EXPECT_EQ(a, ref);

    // The byte shuffle is a single cycle: following it from 0 visits all.
    for (uint32_t n : {2u, 3u, 10u, 200u}) {
        std::vector<uint8_t> b(n);
        std::iota(b.begin(), b.end(), uint8_t{0});
        randomUByteShuffle(&r, b.data(), n);
        uint32_t pos = 0, steps = 0;
        do {
            pos = b[pos];
            ++steps;
        } while (pos != 0 && steps <= n);
        EXPECT_EQ(steps, n);
    }
    uint8_t one = 42;
    randomUByteShuffle(&r, &one, 1);
    EXPECT_EQ(one, 42);

    // Samples: the first k are distinct members, and nothing is lost.
    std::vector<uint32_t> s(30);
    std::iota(s.begin(), s.end(), 100u);
    sampleNoReplacement(&r, s.data(), 10, 30);
    std::vector<uint32_t> sorted = s;
    std::sort(sorted.begin(), sorted.end());
    std::vector<uint32_t> orig(30);
    std::iota(orig.begin(), orig.end(), 100u);
    EXPECT_EQ(sorted, orig);
    // Every element is chosen first about equally often.
    std::vector<int> firstCounts(6, 0);
    for (int i = 0; i < 6000; ++i) {
        uint8_t v[6] = {0, 1, 2, 3, 4, 5};
        sampleUbyteNoReplacement(&r, v, 1, 6);
        ++firstCounts[v[0]];
    }
    for (int c : firstCounts)
        EXPECT_NEAR(c, 1000, 150);

    // A tie rule that keeps the n-th candidate with probability 1/n chooses
    // each of five tied candidates about equally often.
    std::vector<int> chosen(5, 0);
    for (int t = 0; t < 10000; ++t) {
        int keep = 0;
        for (uint32_t n = 2; n <= 5; ++n)
            if (shouldSwapTie(&r, n))
                keep = static_cast<int>(n - 1);
        ++chosen[keep];
    }
    for (int c : chosen)
        EXPECT_NEAR(c, 2000, 200);
}

// ---------------------------------------------------------------------------
// Uniforms and variates

TEST(RandomVariates, UniformEndpointsAndMapping)
{
    for (RNG r : {kissState(1), legacyState(1)}) {
        EXPECT_GT(mapRandUniRawToU01(&r, 1), 0.0);
        EXPECT_LT(mapRandUniRawToU01(&r, r.maxRaw), 1.0);
        EXPECT_EQ(mapU01toRandUniRaw(&r, 0.5), static_cast<uint32_t>(std::floor(r.scale * 0.5 + 0.5)));
        EXPECT_EQ(mapU01toRandUniRaw(&r, 1.0), static_cast<uint32_t>(r.scale));
        // Out-of-range probabilities stay on the raw scale instead of
        // overflowing the conversion.
        EXPECT_EQ(mapU01toRandUniRaw(&r, 3.0), static_cast<uint32_t>(r.scale));
        EXPECT_EQ(mapU01toRandUniRaw(&r, -0.5), 0u);
        EXPECT_EQ(mapU01toRandUniRaw(&r, std::nan("")), 0u);
        for (int i = 0; i < 10000; ++i) {
            double u = randUniFromInterval(&r, 2.0, 3.0);
            ASSERT_GT(u, 2.0);
            ASSERT_LT(u, 3.0);
        }
    }
    RNG r = kissState(8);
    int trues = 0, bern = 0;
    for (int i = 0; i < 20000; ++i) {
        trues += randomBool(&r);
        bern += randomBernoulli(&r, 0.2);
    }
    EXPECT_NEAR(trues, 10000, 400);
    EXPECT_NEAR(bern, 4000, 300);
    EXPECT_FALSE(randomBernoulli(&r, 0.0));
}

TEST(RandomVariates, UniformAndExponentialPassKolmogorovSmirnov)
{
    const size_t n = 1000000;
    const double crit = ksCritical1Percent(n);
    struct Case {
        const char *name;
        RNG state;
        bool zig;
    };
    for (Case c : {Case{"KISS inversion", kissState(17), false}, Case{"KISS ziggurat", kissState(18), true},
                   Case{"legacy inversion", legacyState(19), false}, Case{"legacy ziggurat", legacyState(20), true}}) {
        std::vector<double> v(n);
        const double rate = 2.5;
        for (double &x : v)
            x = randExponential(&c.state, c.zig, rate);
        double d = ksStatistic(std::move(v), [rate](double x) { return -std::expm1(-rate * x); });
        std::printf("KS exponential, %s: D = %.6f (1%% critical %.6f)\n", c.name, d, crit);
        EXPECT_LT(d, crit) << c.name;
    }
    for (RNG r : {kissState(21), legacyState(22)}) {
        std::vector<double> v(n);
        for (double &x : v)
            x = randUni(&r);
        double d = ksStatistic(std::move(v), [](double x) { return x; });
        std::printf("KS uniform, %s: D = %.6f\n", r.legacy ? "legacy" : "KISS", d);
        EXPECT_LT(d, crit) << (r.legacy ? "legacy" : "KISS");
    }
}

TEST(RandomVariates, NormalPassesKolmogorovSmirnov)
{
    const size_t n = 1000000;
    for (RNG r : {kissState(24), legacyState(25)}) {
        std::vector<double> v(n);
        for (double &x : v)
            x = randNormal(&r, 3.0, 2.0);
        // The reference CDF comes from the C library, not from the quantile
        // function the variates are drawn with.
        double d = ksStatistic(std::move(v), [](double x) { return 0.5 * std::erfc(-(x - 3.0) / (2.0 * std::sqrt(2.0))); });
        EXPECT_LT(d, ksCritical1Percent(n)) << (r.legacy ? "legacy" : "KISS");
    }
}

TEST(RandomVariates, KolmogorovSmirnovDetectsAWrongRate)
{
    // Guards the statistic itself: a 1% error in the rate must be caught.
    RNG r = kissState(23);
    std::vector<double> v(1000000);
    for (double &x : v)
        x = randExponential(&r, true, 1.01);
    EXPECT_GT(ksStatistic(std::move(v), [](double x) { return -std::expm1(-x); }), ksCritical1Percent(1000000));
}

// ---------------------------------------------------------------------------
// Multinomial sampling

TEST(RandomMultinomial, EqualWeightsGiveKnownCutoffs)
{
    RNG r = kissState(1);
    double w[2] = {1, 1};
    MultinomialSampler *s = createMultinomialSampler(w, 2, &r);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->cutoffs[0], 2147483648u);
    EXPECT_EQ(s->cutoffs[1], 4294967295u);
    EXPECT_EQ(findMulnomCateg(s, 1), 0u);
    EXPECT_EQ(findMulnomCateg(s, 2147483648u), 0u);
    EXPECT_EQ(findMulnomCateg(s, 2147483649u), 1u);
    EXPECT_EQ(findMulnomCateg(s, r.maxRaw), 1u);

    PrintHook saved = qel_printf;
    qel_printf = captest::capturePrint;
    gCaptured.clear();
    showMulNomCutoffs(s);
    qel_printf = saved;
    EXPECT_EQ(gCaptured, "\nMultinomial sampling cutoffs:\n"
                         "   0    0.50000000011641532183    2147483648\n"
                         "   1    1.00000000000000000000    4294967295\n");
    EXPECT_EQ(destroyMulnomSampler(s), nullptr);
    EXPECT_EQ(destroyMulnomSampler(nullptr), nullptr);
}

TEST(RandomMultinomial, UnusableWeightsAreRefused)
{
    RNG r = kissState(1);
    double zeros[3] = {0, 0, 0};
    EXPECT_EQ(createMultinomialSampler(zeros, 3, &r), nullptr);
    double negative[3] = {1, -1, 1};
    EXPECT_EQ(createMultinomialSampler(negative, 3, &r), nullptr);
    double nan[2] = {1, std::nan("")};
    EXPECT_EQ(createMultinomialSampler(nan, 2, &r), nullptr);
    EXPECT_EQ(createMultinomialSampler(nullptr, 0, &r), nullptr);

    double ok[3] = {1, 2, 3};
    MultinomialSampler *s = createMultinomialSampler(ok, 3, &r);
    ASSERT_NE(s, nullptr);
    std::vector<uint32_t> before(s->cutoffs, s->cutoffs + 3);
    EXPECT_NE(resetMulnomSampler(s, zeros), 0);
    EXPECT_EQ(std::vector<uint32_t>(s->cutoffs, s->cutoffs + 3), before);
    destroyMulnomSampler(s);

    clearMemoryErrorStatus();
    qel_setAllocFailureCountdown(1);  // the record succeeds, the cut-offs fail
    EXPECT_EQ(createMultinomialSampler(ok, 3, &r), nullptr);
    qel_setAllocFailureCountdown(-1);
    clearMemoryErrorStatus();
}

TEST(RandomMultinomial, LastCutoffCoversTheLargestRawValueAndSearchMatchesLinearScan)
{
    RNG picker = kissState(31);
    for (int trial = 0; trial < 300; ++trial) {
        RNG r = trial % 2 ? kissState(trial) : legacyState(trial);
        uint32_t n = 1 + randomInteger(&picker, 40);
        std::vector<double> w(n);
        for (double &x : w) {
            // Mixed magnitudes and zeros, trailing ones included, so that the
            // running sum rounds and empty categories sit at the end.
            uint32_t kind = randomInteger(&picker, 4);
            x = kind == 0 ? 0.0 : kind == 1 ? randUni(&picker) * 1e-9 : randUni(&picker) * 1e3;
        }
        if (std::all_of(w.begin(), w.end(), [](double x) { return x == 0; }))
            w[0] = 1;
        MultinomialSampler *s = createMultinomialSampler(w.data(), n, &r);
        ASSERT_NE(s, nullptr);
        // Every raw value, the largest included, falls in a category with
        // weight (a category below 1/scale of the total may get none).
        EXPECT_GT(s->cutoffs[n - 1], r.maxRaw);
        EXPECT_GT(w[findMulnomCateg(s, r.maxRaw)], 0.0);
        for (uint32_t i = 1; i < n; ++i)
            ASSERT_GE(s->cutoffs[i], s->cutoffs[i - 1]);

        // Linear reference of the category rule.
        auto linear = [&](uint32_t raw) {
            if (raw <= s->cutoffs[0])
                return 0u;
            for (uint32_t i = 1; i < n; ++i)
                if (s->cutoffs[i - 1] <= raw && raw < s->cutoffs[i])
                    return i;
            return n;
        };
        for (int k = 0; k < 200; ++k) {
            uint32_t raw = randUniRaw(&r);
            uint32_t cat = findMulnomCateg(s, raw);
            ASSERT_EQ(cat, linear(raw));
            ASSERT_GT(w[cat], 0.0);
        }
        for (uint32_t i = 0; i < n; ++i) {
            for (uint32_t raw : {s->cutoffs[i], s->cutoffs[i] - 1, s->cutoffs[i] + 1}) {
                if (raw >= 1 && raw <= r.maxRaw) {
                    ASSERT_EQ(findMulnomCateg(s, raw), linear(raw));
                }
            }
        }
        destroyMulnomSampler(s);
    }
}

TEST(RandomMultinomial, DrawsFollowTheWeights)
{
    RNG r = kissState(41);
    double w[4] = {1, 0, 3, 6};
    MultinomialSampler *s = createMultinomialSampler(w, 4, &r);
    ASSERT_NE(s, nullptr);
    uint32_t counts[4] = {9, 9, 9, 9};
    drawMulnomSample(s, &r, 100000, counts);
    EXPECT_EQ(counts[0] + counts[1] + counts[2] + counts[3], 100000u);
    EXPECT_EQ(counts[1], 0u);
    double chi2 = 0;
    for (int i : {0, 2, 3}) {
        double e = 100000 * w[i] / 10;
        chi2 += (counts[i] - e) * (counts[i] - e) / e;
    }
    EXPECT_LT(chi2, 9.21);  // 1% point with 2 df

    destroyMulnomSampler(s);

    // Absent weights are equal weights.
    double equal[3] = {1, 1, 1};
    MultinomialSampler *a = createMultinomialSampler(nullptr, 3, &r);
    MultinomialSampler *b = createMultinomialSampler(equal, 3, &r);
    ASSERT_TRUE(a != nullptr && b != nullptr);
    EXPECT_TRUE(std::equal(a->cutoffs, a->cutoffs + 3, b->cutoffs));
    EXPECT_EQ(a->cutoffs[2], 4294967295u);
    destroyMulnomSampler(a);
    destroyMulnomSampler(b);
}

TEST(RandomMultinomial, CumulativeSelection)
{
    const double cum[4] = {0.1, 0.4, 0.4, 1.0};
    EXPECT_EQ(selectUsingCumulProbs(cum, 4, 0.0), 0u);
    EXPECT_EQ(selectUsingCumulProbs(cum, 4, 0.1), 1u);
    EXPECT_EQ(selectUsingCumulProbs(cum, 4, 0.25), 1u);
    EXPECT_EQ(selectUsingCumulProbs(cum, 4, 0.4), 3u);  // skips the empty entry
    EXPECT_EQ(selectUsingCumulProbs(cum, 4, 0.99), 3u);
    EXPECT_EQ(selectUsingCumulProbs(cum, 4, 1.0 + 1e-12), 3u);
}

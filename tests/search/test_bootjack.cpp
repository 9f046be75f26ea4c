// The characters each bootstrap and jackknife replicate draws: over many
// replicates every included character must be deleted (or drawn) as often as
// the scheme says, whatever its place in the matrix.
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "data/patterns.h"
#include "search/bootjack.h"
#include "trees/treeutil.h"
#include "search/search_settings.h"
#include "search_fixture.h"

namespace {

constexpr uint32_t kReps = 2000;
constexpr uint32_t kChars = 30;

class BootJackDrawTest : public SearchTest {
protected:
    void SetUp() override
    {
        SearchTest::SetUp();
        savedHooks = treeDataHooks();
        ASSERT_EQ(installTreeHooks(), 0);
        saved = btjkOpt;
        std::mt19937 gen(7);
        std::vector<std::string> rows(6, std::string(kChars, '0'));
        for (auto &r : rows)
            for (auto &ch : r)
                ch = static_cast<char>('0' + gen() % 2);
        makeData(rows);
    }
    void TearDown() override
    {
        deallocBootJack(data);
        btjkOpt = saved;
        SearchTest::TearDown();
        // The tree-buffer services would change what later tests in this
        // process see (questions about unsaved trees, buffers freed twice).
        resetDataServices();
        setTreeDataHooks(&savedHooks);
    }
    TreeDataHooks savedHooks{};

    // Mean weight of each character over kReps replicates, and the share of
    // replicates in which its weight was 0.
    void draw(bool jackknife, uint32_t wts, std::vector<double> &meanWt, std::vector<double> &zeroShare)
    {
        const uint32_t seed[4] = {12345, 0, 0, 0};
        ASSERT_EQ(initBootJack(jackknife, wts, seed, data), 0);
        meanWt.assign(kChars, 0.0);
        zeroShare.assign(kChars, 0.0);
        for (uint32_t r = 0; r < kReps; r++) {
            ASSERT_EQ(bootJackSample(data), 0);
            for (uint32_t c = 0; c < kChars; c++) {
                meanWt[c] += data->weights[c] / kReps;
                zeroShare[c] += data->weights[c] == 0.0 ? 1.0 / kReps : 0.0;
            }
        }
        deallocBootJack(data);
    }

    BootJackOptions saved;
};

// Binomial share p over kReps trials: within five standard deviations.
void expectShare(double seen, double p, uint32_t c)
{
    const double sd = std::sqrt(p * (1.0 - p) / kReps);
    EXPECT_NEAR(seen, p, 5.0 * sd + 1e-12) << "character " << c + 1;
}

TEST_F(BootJackDrawTest, JackknifeDeletesEveryCharacterAtThePercentage)
{
    std::vector<double> mean, zero;
    for (const double pct : {50.0, 20.0}) {
        btjkOpt.pctDelete = pct;
        for (const uint8_t jac : {uint8_t{0}, uint8_t{1}}) {
            btjkOpt.resample = jac;
            draw(true, kBtjkWtsProportional, mean, zero);
            // Without Jac exactly round(pct% of 30) are deleted each time.
            const double p = jac ? pct / 100.0 : std::floor(pct / 100.0 * kChars + 0.5) / kChars;
            for (uint32_t c = 0; c < kChars; c++)
                expectShare(zero[c], p, c);
        }
    }
}

TEST_F(BootJackDrawTest, WeightedJackknifeKeepsEachWeightInProportion)
{
    // Weights 1, 2, 3, ...: with proportional handling each weight unit is
    // deleted at the percentage; with simple handling whole characters go.
    for (uint32_t c = 0; c < kChars; c++)
        data->weights[c] = 1.0 + c % 3;
    double total = 0.0;
    for (uint32_t c = 0; c < kChars; c++)
        total += data->weights[c];
    const std::vector<double> w(data->weights, data->weights + kChars);
    btjkOpt.pctDelete = 50.0;
    std::vector<double> mean, zero;
    for (const uint8_t jac : {uint8_t{0}, uint8_t{1}}) {
        btjkOpt.resample = jac;
        draw(true, kBtjkWtsProportional, mean, zero);
        const double kept = jac ? 0.5 : 1.0 - std::floor(0.5 * total + 0.5) / total;
        for (uint32_t c = 0; c < kChars; c++)
            EXPECT_NEAR(mean[c], w[c] * kept, 0.06 * w[c]) << "character " << c + 1 << " jac " << int(jac);
        draw(true, kBtjkWtsSimple, mean, zero);
        for (uint32_t c = 0; c < kChars; c++) {
            expectShare(zero[c], jac ? 0.5 : 15.0 / kChars, c);
            EXPECT_NEAR(mean[c], w[c] * (1.0 - zero[c]), 1e-9) << "character " << c + 1;
        }
    }
}

TEST_F(BootJackDrawTest, BootstrapDrawsEachCharacterOncePerReplicateOnAverage)
{
    std::vector<double> mean, zero;
    draw(false, kBtjkWtsProportional, mean, zero);
    // Each count is binomial(30, 1/30): mean 1, absent with (29/30)^30.
    const double absent = std::pow(1.0 - 1.0 / kChars, kChars);
    for (uint32_t c = 0; c < kChars; c++) {
        EXPECT_NEAR(mean[c], 1.0, 5.0 * std::sqrt(1.0 / kReps)) << "character " << c + 1;
        expectShare(zero[c], absent, c);
    }
    // An excluded character is never drawn: its weight is left alone, and
    // the 29 draws of a replicate all fall on the others.
    data->status[4] |= kCharExcluded;
    draw(false, kBtjkWtsProportional, mean, zero);
    EXPECT_NEAR(mean[4], 1.0, 1e-9);
    double drawn = 0.0;
    for (uint32_t c = 0; c < kChars; c++)
        drawn += c == 4 ? 0.0 : mean[c];
    EXPECT_NEAR(drawn, kChars - 1, 1e-9);
    data->status[4] &= ~kCharExcluded;
}

TEST_F(BootJackDrawTest, WeightedBootstrapRespectsTheWeights)
{
    for (uint32_t c = 0; c < kChars; c++)
        data->weights[c] = 1.0 + c % 3;
    const std::vector<double> w(data->weights, data->weights + kChars);
    std::vector<double> mean, zero;
    // Proportional: drawn in proportion to weight, each draw counting 1;
    // simple: drawn uniformly, each draw counting the character's weight.
    // Either way a character's mean weight is its own.
    for (const uint32_t wts : {kBtjkWtsProportional, kBtjkWtsSimple}) {
        draw(false, wts, mean, zero);
        for (uint32_t c = 0; c < kChars; c++)
            EXPECT_NEAR(mean[c], w[c], 0.1 * w[c] + 0.05) << "character " << c + 1 << " wts " << wts;
    }
}

}  // namespace

// Replicates drawn over site patterns in place must be distributed as those
// drawn over the characters the patterns stand for: for a pattern of k of
// the N sites, a bootstrap count binomial(N, k/N), a jackknife deletion
// hypergeometric, a Jac deletion binomial(k, p).
namespace {

constexpr uint32_t kPatReps = 4000;

struct Moments {
    std::vector<double> mean, var;
};

template <class Draw>
Moments patternMoments(uint32_t npat, Draw draw)
{
    std::vector<double> sum(npat, 0.0), sq(npat, 0.0), f(npat);
    for (uint32_t r = 0; r < kPatReps; r++) {
        draw(f.data());
        for (uint32_t p = 0; p < npat; p++) {
            sum[p] += f[p];
            sq[p] += f[p] * f[p];
        }
    }
    Moments m{std::vector<double>(npat), std::vector<double>(npat)};
    for (uint32_t p = 0; p < npat; p++) {
        m.mean[p] = sum[p] / kPatReps;
        m.var[p] = sq[p] / kPatReps - m.mean[p] * m.mean[p];
    }
    return m;
}

void expectMoments(const Moments &m, const std::vector<double> &mean, const std::vector<double> &var,
                   const char *what)
{
    for (size_t p = 0; p < mean.size(); p++) {
        EXPECT_NEAR(m.mean[p], mean[p], 5.0 * std::sqrt(var[p] / kPatReps) + 1e-9) << what << " pattern " << p;
        EXPECT_NEAR(m.var[p], var[p], 0.15 * var[p] + 1e-9) << what << " pattern " << p;
    }
}

class PatternDrawTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // 40 characters in 8 patterns of 1..11 sites; two more characters
        // (all missing, say) are in no pattern.
        const std::vector<uint32_t> sizes = {1, 2, 3, 4, 5, 6, 8, 11};
        for (uint32_t p = 0; p < sizes.size(); p++) {
            freqs.push_back(sizes[p]);
            for (uint32_t k = 0; k < sizes[p]; k++)
                charPattern.push_back(p);
        }
        charPattern.insert(charPattern.begin() + 7, kNoSite);
        charPattern.push_back(kNoSite);
        charWeight.assign(charPattern.size(), 1.0);
        initRNG(&rng, makeSeed1(2024));
    }
    PatternDraws src() const
    {
        return PatternDraws{freqs.data(), static_cast<uint32_t>(freqs.size()), charPattern.data(),
                            charWeight.data(), static_cast<uint32_t>(charPattern.size())};
    }
    std::vector<double> freqs, charWeight;
    std::vector<uint32_t> charPattern;
    RNG rng{};
};

TEST_F(PatternDrawTest, BootstrapCountsAreThoseOfDrawingCharacters)
{
    const uint32_t N = 40, P = static_cast<uint32_t>(freqs.size());
    MultinomialSampler *sampler = createMultinomialSampler(freqs.data(), P, &rng);
    ASSERT_NE(sampler, nullptr);
    const Moments m = patternMoments(P, [&](double *f) {
        bootPatternSample(f, src(), N, false, sampler, &rng);
        double total = 0.0;
        for (uint32_t p = 0; p < P; p++)
            total += f[p];
        ASSERT_EQ(total, N);
    });
    destroyMulnomSampler(sampler);
    std::vector<double> mean(P), var(P);
    for (uint32_t p = 0; p < P; p++) {
        const double q = freqs[p] / N;
        mean[p] = N * q;
        var[p] = N * q * (1.0 - q);
    }
    expectMoments(m, mean, var, "bootstrap");
}

TEST_F(PatternDrawTest, SimpleWeightsDrawCharactersWithTheirWeights)
{
    // Each character carries its weight; the two without a pattern count
    // nowhere, so a pattern's expected total is its characters' weights.
    for (size_t i = 0; i < charWeight.size(); i++)
        charWeight[i] = 1.0 + i % 3;
    const uint32_t n = static_cast<uint32_t>(charPattern.size()), P = static_cast<uint32_t>(freqs.size());
    std::vector<double> mean(P, 0.0), var(P, 0.0);
    for (uint32_t i = 0; i < n; i++)
        if (charPattern[i] != kNoSite)
            mean[charPattern[i]] += charWeight[i];
    // Var of the sum of n draws of X (X = w_i on a character of p, else 0).
    for (uint32_t p = 0; p < P; p++) {
        double ex = 0.0, ex2 = 0.0;
        for (uint32_t i = 0; i < n; i++)
            if (charPattern[i] == p)
                ex += charWeight[i] / n, ex2 += charWeight[i] * charWeight[i] / n;
        var[p] = n * (ex2 - ex * ex);
    }
    const Moments m = patternMoments(P, [&](double *f) { bootPatternSample(f, src(), n, true, nullptr, &rng); });
    expectMoments(m, mean, var, "simple bootstrap");
}

TEST_F(PatternDrawTest, JackknifeDeletionsAreThoseOfDeletingCharacters)
{
    const uint32_t N = 40, d = 20, P = static_cast<uint32_t>(freqs.size());
    std::vector<double> mean(P), var(P);
    for (uint32_t p = 0; p < P; p++) {
        const double q = freqs[p] / N;
        mean[p] = freqs[p] - d * q;
        var[p] = d * q * (1.0 - q) * (N - d) / (N - 1.0);
    }
    const Moments m = patternMoments(P, [&](double *f) {
        jackPatternSample(f, src(), N, d, -1.0, false, &rng);
        double total = 0.0;
        for (uint32_t p = 0; p < P; p++)
            total += f[p];
        ASSERT_EQ(total, N - d);
    });
    expectMoments(m, mean, var, "jackknife");
    // Jac: every site copy goes with probability 0.3.
    for (uint32_t p = 0; p < P; p++) {
        mean[p] = freqs[p] * 0.7;
        var[p] = freqs[p] * 0.3 * 0.7;
    }
    expectMoments(patternMoments(P, [&](double *f) { jackPatternSample(f, src(), N, 0, 0.3, false, &rng); }), mean,
                  var, "Jac");
}

}  // namespace

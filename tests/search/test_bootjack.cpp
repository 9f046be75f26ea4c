// The characters each bootstrap and jackknife replicate draws: over many
// replicates every included character must be deleted (or drawn) as often as
// the scheme says, whatever its place in the matrix.
#include <cmath>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "data/patterns.h"
#include "qel/qel_distrib.h"
#include "search/bootjack.h"
#include "search/search.h"
#include "support/tree_test_support.h"
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

// A replicate that ended with no tree (a time limit met before its starting
// tree was whole) is neither completed nor tallied: each group's support is
// its weight over the replicates that found trees.
TEST_F(BootJackDrawTest, ReplicateALimitLeftWithoutTreeIsNotCompletedAndWeighsNothing)
{
    const uint32_t seed[4] = {12345, 0, 0, 0};
    ASSERT_EQ(initBootJack(false, kBtjkWtsProportional, seed, data), 0);
    TreeBuffer *buf = activeBuffer(6);
    TreePtr t(createTreeForTaxa(6, 6, true));
    // Replicates a limit stopped with an empty buffer, between two with trees.
    gSearchState.outerRepLimited = 1;
    ASSERT_EQ(updateBootGroups(data), 0);
    gSearchState.outerRepLimited = 0;
    buildTestTree(t.get(), "(1,((2,3),(4,5)))", 0);
    putTree(t.get(), buf, true);
    ASSERT_EQ(updateBootGroups(data), 0);
    emptyTreeBuffer(buf, true);
    gSearchState.outerRepLimited = 1;
    ASSERT_EQ(updateBootGroups(data), 0);
    gSearchState.outerRepLimited = 0;
    buildTestTree(t.get(), "(1,((2,4),(3,5)))", 0);
    putTree(t.get(), buf, true);
    ASSERT_EQ(updateBootGroups(data), 0);
    EXPECT_EQ(bootRepsCompleted(), 2u);
    EXPECT_EQ(bootRepsWithoutTree(), 2u);
    // One that searched whole and kept no tree (none within the Keep score)
    // is completed and supports no group.
    emptyTreeBuffer(buf, true);
    ASSERT_EQ(updateBootGroups(data), 0);
    EXPECT_EQ(bootRepsCompleted(), 3u);
    EXPECT_EQ(bootRepsWithoutTree(), 2u);
    const uint32_t taxa23[] = {2, 3}, taxa24[] = {2, 4}, taxa2345[] = {2, 3, 4, 5};
    EXPECT_DOUBLE_EQ(bootGroupWeight(taxa23, 2), 1.0);
    EXPECT_DOUBLE_EQ(bootGroupWeight(taxa24, 2), 1.0);
    EXPECT_DOUBLE_EQ(bootGroupWeight(taxa2345, 4), 2.0);
    deallocBootJack(data);
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

// The same draws held to the whole distributions, not only their first two
// moments: chi-square tests of how often each count turns up against the
// binomial or hypergeometric law it should follow, and of how the draws
// spread over the characters (or patterns) taken together. Each must pass
// at the 1e-4 level; the seeds are fixed, so a pass is repeatable.
namespace {

constexpr double kChiSquareLevel = 1e-4;

double logChoose(double n, double k) { return std::lgamma(n + 1) - std::lgamma(k + 1) - std::lgamma(n - k + 1); }

double binomialPmf(uint32_t n, double p, uint32_t k)
{
    if (p <= 0.0 || p >= 1.0)
        return (p <= 0.0 ? k == 0 : k == n) ? 1.0 : 0.0;
    return std::exp(logChoose(n, k) + k * std::log(p) + (n - k) * std::log1p(-p));
}

// k of a population of n drawn in m draws without replacement from one
// holding `marked` marked members: the chance that k are marked.
double hypergeometricPmf(uint32_t n, uint32_t marked, uint32_t m, uint32_t k)
{
    if (k > marked || k > m || m - k > n - marked)
        return 0.0;
    return std::exp(logChoose(marked, k) + logChoose(n - marked, m - k) - logChoose(n, m));
}

// Upper-tail probability of Pearson's statistic for a histogram of counts
// 0, 1, ... against their probabilities, bins merged from each end inward
// until every bin expects at least five.
double histogramFit(const std::vector<uint32_t> &seen, const std::vector<double> &pmf)
{
    double total = 0.0;
    for (uint32_t s : seen)
        total += s;
    std::vector<double> obs, expct;
    double o = 0.0, e = 0.0;
    for (size_t k = 0; k < pmf.size(); k++) {
        o += k < seen.size() ? seen[k] : 0;
        e += pmf[k] * total;
        if (e >= 5.0) {
            obs.push_back(o), expct.push_back(e);
            o = e = 0.0;
        }
    }
    for (size_t k = pmf.size(); k < seen.size(); k++)
        o += seen[k];  // beyond the law's support: expected nowhere
    if (!obs.empty()) {
        obs.back() += o, expct.back() += e;
    }
    double x = 0.0;
    for (size_t b = 0; b < obs.size(); b++)
        x += (obs[b] - expct[b]) * (obs[b] - expct[b]) / expct[b];
    return obs.size() < 2 ? 1.0 : chiSquaredPvalue(static_cast<uint32_t>(obs.size() - 1), x);
}

// Upper-tail probability that totals over many replicates are spread over
// the cells as their shares say: Pearson's statistic over `cells`, scaled
// by `scale` for draws that are made without replacement.
double spreadFit(const std::vector<double> &totals, const std::vector<double> &expected, double scale)
{
    double x = 0.0;
    for (size_t i = 0; i < totals.size(); i++)
        x += (totals[i] - expected[i]) * (totals[i] - expected[i]) / expected[i];
    return chiSquaredPvalue(static_cast<uint32_t>(totals.size() - 1), scale * x);
}

class BootJackChiSquareTest : public BootJackDrawTest {
protected:
    // Each replicate's weights, character by character.
    std::vector<std::vector<double>> replicates(bool jackknife)
    {
        const uint32_t seed[4] = {4242, 0, 0, 0};
        std::vector<std::vector<double>> reps;
        EXPECT_EQ(initBootJack(jackknife, kBtjkWtsProportional, seed, data), 0);
        for (uint32_t r = 0; r < kReps; r++) {
            EXPECT_EQ(bootJackSample(data), 0);
            reps.emplace_back(data->weights, data->weights + kChars);
        }
        deallocBootJack(data);
        return reps;
    }
};

TEST_F(BootJackChiSquareTest, RebuiltBootstrapCountsFollowTheBinomialLaw)
{
    const auto reps = replicates(false);
    std::vector<double> pmf(kChars + 1);
    for (uint32_t k = 0; k <= kChars; k++)
        pmf[k] = binomialPmf(kChars, 1.0 / kChars, k);
    std::vector<double> totals(kChars, 0.0);
    for (uint32_t c = 0; c < kChars; c++) {
        std::vector<uint32_t> seen(kChars + 1, 0);
        for (const auto &w : reps) {
            ASSERT_EQ(w[c], std::floor(w[c]));
            seen[static_cast<uint32_t>(w[c])]++;
            totals[c] += w[c];
        }
        EXPECT_GT(histogramFit(seen, pmf), kChiSquareLevel) << "character " << c + 1;
    }
    // kReps x kChars draws, each character as likely as another.
    EXPECT_GT(spreadFit(totals, std::vector<double>(kChars, kReps), 1.0), kChiSquareLevel);
}

TEST_F(BootJackChiSquareTest, RebuiltJackknifeDeletionsFollowTheirLaws)
{
    btjkOpt.pctDelete = 30.0;
    // Exactly 9 of the 30 go each time: every character as often as the
    // others, the totals those of draws without replacement.
    btjkOpt.resample = 0;
    const uint32_t d = 9;
    std::vector<double> deleted(kChars, 0.0);
    for (const auto &w : replicates(true)) {
        uint32_t gone = 0;
        for (uint32_t c = 0; c < kChars; c++)
            gone += w[c] == 0.0, deleted[c] += w[c] == 0.0;
        ASSERT_EQ(gone, d);
    }
    EXPECT_GT(spreadFit(deleted, std::vector<double>(kChars, kReps * double(d) / kChars),
                        (kChars - 1.0) / (kChars - d)),
              kChiSquareLevel);
    // Jac: each character goes on its own with probability 0.3, so the
    // number gone in a replicate is binomial.
    btjkOpt.resample = 1;
    std::vector<uint32_t> seen(kChars + 1, 0);
    for (const auto &w : replicates(true)) {
        uint32_t gone = 0;
        for (uint32_t c = 0; c < kChars; c++)
            gone += w[c] == 0.0;
        seen[gone]++;
    }
    std::vector<double> pmf(kChars + 1);
    for (uint32_t k = 0; k <= kChars; k++)
        pmf[k] = binomialPmf(kChars, 0.3, k);
    EXPECT_GT(histogramFit(seen, pmf), kChiSquareLevel);
}

class PatternChiSquareTest : public PatternDrawTest {
protected:
    // The histogram of each pattern's frequency over kPatReps replicates,
    // and the totals over them.
    void collect(const std::function<void(double *)> &draw, std::vector<std::vector<uint32_t>> &seen,
                 std::vector<double> &totals)
    {
        const uint32_t P = static_cast<uint32_t>(freqs.size());
        seen.assign(P, std::vector<uint32_t>(64, 0));
        totals.assign(P, 0.0);
        std::vector<double> f(P);
        for (uint32_t r = 0; r < kPatReps; r++) {
            draw(f.data());
            for (uint32_t p = 0; p < P; p++) {
                ASSERT_EQ(f[p], std::floor(f[p]));
                ASSERT_LT(f[p], 64.0);
                seen[p][static_cast<uint32_t>(f[p])]++;
                totals[p] += f[p];
            }
        }
    }
};

TEST_F(PatternChiSquareTest, InPlaceBootstrapCountsFollowTheBinomialLaw)
{
    const uint32_t N = 40, P = static_cast<uint32_t>(freqs.size());
    MultinomialSampler *sampler = createMultinomialSampler(freqs.data(), P, &rng);
    ASSERT_NE(sampler, nullptr);
    std::vector<std::vector<uint32_t>> seen;
    std::vector<double> totals, expected(P);
    collect([&](double *f) { bootPatternSample(f, src(), N, false, sampler, &rng); }, seen, totals);
    destroyMulnomSampler(sampler);
    for (uint32_t p = 0; p < P; p++) {
        std::vector<double> pmf(N + 1);
        for (uint32_t k = 0; k <= N; k++)
            pmf[k] = binomialPmf(N, freqs[p] / N, k);
        EXPECT_GT(histogramFit(seen[p], pmf), kChiSquareLevel) << "pattern " << p;
        expected[p] = kPatReps * freqs[p];
    }
    EXPECT_GT(spreadFit(totals, expected, 1.0), kChiSquareLevel);
}

TEST_F(PatternChiSquareTest, InPlaceJackknifeKeepsTheHypergeometricLaw)
{
    const uint32_t N = 40, d = 14, P = static_cast<uint32_t>(freqs.size());
    std::vector<std::vector<uint32_t>> seen;
    std::vector<double> totals, expected(P);
    collect([&](double *f) { jackPatternSample(f, src(), N, d, -1.0, false, &rng); }, seen, totals);
    for (uint32_t p = 0; p < P; p++) {
        const auto k = static_cast<uint32_t>(freqs[p]);
        std::vector<double> pmf(k + 1);
        for (uint32_t kept = 0; kept <= k; kept++)
            pmf[kept] = hypergeometricPmf(N, k, N - d, kept);
        EXPECT_GT(histogramFit(seen[p], pmf), kChiSquareLevel) << "pattern " << p;
        expected[p] = kPatReps * freqs[p] * (N - d) / N;
    }
    // The copies kept, over the replicates, spread as the sites are: draws
    // without replacement, so the statistic is scaled to its law.
    std::vector<double> deleted(P), deletedExpected(P);
    for (uint32_t p = 0; p < P; p++)
        deleted[p] = kPatReps * freqs[p] - totals[p], deletedExpected[p] = kPatReps * freqs[p] - expected[p];
    EXPECT_GT(spreadFit(deleted, deletedExpected, (N - 1.0) / (N - d)), kChiSquareLevel);
    // Jac: each copy goes with probability 0.25.
    collect([&](double *f) { jackPatternSample(f, src(), N, 0, 0.25, false, &rng); }, seen, totals);
    for (uint32_t p = 0; p < P; p++) {
        const auto k = static_cast<uint32_t>(freqs[p]);
        std::vector<double> pmf(k + 1);
        for (uint32_t kept = 0; kept <= k; kept++)
            pmf[kept] = binomialPmf(k, 0.75, kept);
        EXPECT_GT(histogramFit(seen[p], pmf), kChiSquareLevel) << "Jac pattern " << p;
    }
}

}  // namespace

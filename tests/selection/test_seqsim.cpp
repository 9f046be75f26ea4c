// The sequence simulator checked by its statistics: pairwise differences
// under JC, 4-taxon pattern frequencies under HKY+G against a pruning
// computation written here, the coalescent's mean coalescence time, and
// the corner cases (zero-length branches, absorbing two-state models).
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <map>
#include <vector>

#include "data/model.h"
#include "selection/seqsim.h"

namespace {

// Builds a preorder tree from (parent, taxon, length) triples.
SimTree makeTree(std::initializer_list<std::tuple<int, int, double>> rows)
{
    SimTree t;
    for (auto [p, tx, len] : rows) {
        SimNode n;
        n.parent = p;
        n.taxon = tx;
        n.length = len;
        t.nodes.push_back(n);
    }
    return t;
}

// ((0:a,1:b):e,(2:c,3:d)) rooted on the internal branch.
SimTree fourTaxa(double a, double b, double c, double d, double e1, double e2)
{
    return makeTree({{-1, -1, 0.0}, {0, -1, e1}, {1, 0, a}, {1, 1, b}, {0, -1, e2}, {4, 2, c}, {4, 3, d}});
}

struct Sim {
    std::vector<uint8_t> matrix;
    uint32_t ncols;
    uint64_t changes;
};

Sim run(const SimTree &tree, const std::vector<SimModel> &models, uint32_t ntax, uint32_t nsites, uint32_t seed)
{
    RNG rng;
    initRNG(&rng, makeSeed1(seed));
    Sim s{std::vector<uint8_t>(static_cast<size_t>(ntax) * nsites, 0xFF), nsites, 0};
    std::vector<uint8_t> scratch;
    double rates = 0.0;
    s.changes = simulateSites(tree, models, 0, 0, nsites, s.matrix.data(), nsites, &rng, scratch, &rates);
    return s;
}

double differing(const Sim &s, uint32_t i, uint32_t j)
{
    uint32_t n = 0;
    for (uint32_t c = 0; c < s.ncols; ++c)
        n += s.matrix[i * s.ncols + c] != s.matrix[j * s.ncols + c];
    return static_cast<double>(n) / s.ncols;
}

SimModel jc(double pinv = 0.0)
{
    SimModel m;
    const double pi[4] = {0.25, 0.25, 0.25, 0.25}, ex[6] = {1, 1, 1, 1, 1, 1};
    makeSimModelFromRates(&m, 4, pi, ex, 0.0, pinv, true, 4);
    return m;
}

// Path lengths between the tips of fourTaxa(0.1, 0.2, 0.15, 0.3, 0.05, 0.1).
double pathLength(uint32_t i, uint32_t j)
{
    const double len[4] = {0.1, 0.2, 0.15, 0.3};
    const bool sameSide = (i < 2) == (j < 2);
    return len[i] + len[j] + (sameSide ? 0.0 : 0.15);
}

TEST(SeqSimTest, PairwiseDifferencesFollowJukesCantor)
{
    const SimTree tree = fourTaxa(0.1, 0.2, 0.15, 0.3, 0.05, 0.1);
    constexpr uint32_t n = 20000;
    for (double pinv : {0.0, 0.5}) {
        const Sim s = run(tree, {jc(pinv)}, 4, n, 11);
        for (uint32_t i = 0; i < 4; ++i)
            for (uint32_t j = i + 1; j < 4; ++j) {
                // With half the sites invariable the rest evolve at twice the rate.
                const double scale = 1.0 / (1.0 - pinv);
                const double expect = (1.0 - pinv) * 0.75 * (1.0 - std::exp(-4.0 * scale * pathLength(i, j) / 3.0));
                const double se = std::sqrt(expect * (1.0 - expect) / n);
                EXPECT_NEAR(differing(s, i, j), expect, 4.0 * se) << "pinv " << pinv << " pair " << i << j;
            }
    }
}

// ---- HKY+G4 pattern frequencies against Felsenstein's pruning ------------------

using Mat = std::array<std::array<double, 4>, 4>;

Mat hkyQ(const double *pi, double kappa)
{
    Mat q{};
    double mu = 0.0;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            if (i != j) {
                const bool transition = (i ^ j) == 2;  // A<->G, C<->T
                q[i][j] = (transition ? kappa : 1.0) * pi[j];
                mu += pi[i] * q[i][j];
            }
    for (int i = 0; i < 4; ++i) {
        double row = 0.0;
        for (int j = 0; j < 4; ++j)
            if (i != j)
                row += q[i][j] /= mu;
        q[i][i] = -row;
    }
    return q;
}

Mat mul(const Mat &a, const Mat &b)
{
    Mat c{};
    for (int i = 0; i < 4; ++i)
        for (int k = 0; k < 4; ++k)
            for (int j = 0; j < 4; ++j)
                c[i][j] += a[i][k] * b[k][j];
    return c;
}

// exp(Q t) by Taylor series on t / 2^10, then squaring.
Mat expm(const Mat &q, double t)
{
    Mat a{}, term{}, sum{};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            a[i][j] = q[i][j] * t / 1024.0;
    for (int i = 0; i < 4; ++i)
        term[i][i] = sum[i][i] = 1.0;
    for (int k = 1; k < 20; ++k) {
        term = mul(term, a);
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j)
                sum[i][j] += term[i][j] /= k;
    }
    for (int s = 0; s < 10; ++s)
        sum = mul(sum, sum);
    return sum;
}

TEST(SeqSimTest, FourTaxonPatternsMatchPruningProbabilities)
{
    const double pi[4] = {0.35, 0.15, 0.2, 0.3};
    const double kappa = 4.0;
    const double ex[6] = {1, kappa, 1, 1, kappa, 1};
    SimModel m;
    makeSimModelFromRates(&m, 4, pi, ex, 0.5, 0.0, true, 4);
    ASSERT_EQ(m.catRates.size(), 4u);
    const SimTree tree = fourTaxa(0.1, 0.2, 0.15, 0.3, 0.05, 0.1);
    constexpr uint32_t n = 100000;
    const Sim s = run(tree, {m}, 4, n, 2024);

    std::map<uint32_t, uint32_t> observed;
    for (uint32_t c = 0; c < n; ++c)
        ++observed[s.matrix[c] * 64 + s.matrix[n + c] * 16 + s.matrix[2 * n + c] * 4 + s.matrix[3 * n + c]];

    const Mat q = hkyQ(pi, kappa);
    double chi2 = 0.0, pooledObs = 0.0, pooledExp = 0.0, total = 0.0;
    int cells = 0;
    for (uint32_t pat = 0; pat < 256; ++pat) {
        const int x[4] = {int(pat >> 6), int(pat >> 4 & 3), int(pat >> 2 & 3), int(pat & 3)};
        double p = 0.0;
        for (double r : m.catRates) {
            const Mat pa = expm(q, r * 0.1), pb = expm(q, r * 0.2), pc = expm(q, r * 0.15), pd = expm(q, r * 0.3);
            const Mat e1 = expm(q, r * 0.05), e2 = expm(q, r * 0.1);
            for (int root = 0; root < 4; ++root) {
                double left = 0.0, right = 0.0;
                for (int u = 0; u < 4; ++u)
                    left += e1[root][u] * pa[u][x[0]] * pb[u][x[1]];
                for (int v = 0; v < 4; ++v)
                    right += e2[root][v] * pc[v][x[2]] * pd[v][x[3]];
                p += 0.25 * pi[root] * left * right;
            }
        }
        total += p;
        const double expect = p * n;
        const double obs = observed.count(pat) ? observed[pat] : 0.0;
        if (expect < 5.0) {
            pooledObs += obs;
            pooledExp += expect;
            continue;
        }
        chi2 += (obs - expect) * (obs - expect) / expect;
        ++cells;
    }
    if (pooledExp > 0.0) {
        chi2 += (pooledObs - pooledExp) * (pooledObs - pooledExp) / pooledExp;
        ++cells;
    }
    EXPECT_NEAR(total, 1.0, 1e-9);
    // Upper 0.1% point of chi-square by the Wilson-Hilferty approximation.
    const double df = cells - 1, z = 3.09;
    const double critical = df * std::pow(1.0 - 2.0 / (9.0 * df) + z * std::sqrt(2.0 / (9.0 * df)), 3.0);
    EXPECT_LT(chi2, critical) << cells << " cells";
}

TEST(SeqSimTest, ModelRecordsKeepTheirTransitionRatio)
{
    // The ratio of expected transitions to transversions is the model's
    // tratio, in the HKY and the F84 forms alike.
    for (bool f84 : {false, true}) {
        Model *rec = createModel("t");
        rec->type = kModelNucleotide;
        rec->nstates = 4;
        rec->substClass = kSubstTwoRates;
        rec->tratio = 3.0;
        rec->F84 = f84;
        rec->stateFreqs = {0.1, 0.2, 0.3, 0.4};
        SimModel m;
        ASSERT_EQ(makeSimModel(*rec, false, true, 4, &m), "");
        double ts = 0.0, tv = 0.0, mean = 0.0;
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j)
                if (i != j) {
                    ((i ^ j) == 2 ? ts : tv) += m.freqs[i] * m.q[i][j];
                    mean += m.freqs[i] * m.q[i][j];
                }
        EXPECT_NEAR(ts / tv, 3.0, 1e-12) << f84;
        EXPECT_NEAR(mean, 1.0, 1e-12);
        rec->gammaShape = kEstimate;
        EXPECT_EQ(makeSimModel(*rec, false, true, 4, &m), "estimated");
        destroyModel(rec);
    }
}

TEST(SeqSimTest, ZeroLengthBranchesCopyTheParentState)
{
    // Tips 0 and 1 hang from the same node on zero-length branches.
    const SimTree tree = makeTree({{-1, -1, 0.0}, {0, -1, 0.7}, {1, 0, 0.0}, {1, 1, 0.0}, {0, 2, 0.7}});
    const Sim s = run(tree, {jc()}, 3, 5000, 3);
    EXPECT_EQ(differing(s, 0, 1), 0.0);
    EXPECT_GT(differing(s, 0, 2), 0.3);
}

TEST(SeqSimTest, AbsorbingTwoStateModelFixesTheRootState)
{
    SimModel m;
    makeTwoStateSimModel(&m, 1.0, 0.0, 0.0, 0.0, true, 4);
    EXPECT_EQ(m.fixedRoot, 0);
    // Tip 0 sits on the root; tip 1 is far away and is almost always absorbed.
    const SimTree tree = makeTree({{-1, -1, 0.0}, {0, 0, 0.0}, {0, 1, 20.0}});
    const Sim s = run(tree, {m}, 2, 2000, 5);
    for (uint32_t c = 0; c < 2000; ++c)
        ASSERT_EQ(s.matrix[c], 0);
    EXPECT_GT(differing(s, 0, 1), 0.99);
    EXPECT_LE(s.changes, 2000u);  // one change at most per site: 1 absorbs

    SimModel other;
    makeTwoStateSimModel(&other, 0.0, 2.0, 0.0, 0.0, true, 4);
    EXPECT_EQ(other.fixedRoot, 1);
}

// A branch holding more changes than anyone would walk ends at once, its end
// states in the model's equilibrium frequencies; an absorbing chain is still
// walked to its end.
TEST(SeqSimTest, EndlesslyLongBranchesEndInTheEquilibriumFrequencies)
{
    SimModel m;
    const double pi[4] = {0.1, 0.2, 0.3, 0.4}, ex[6] = {1, 2, 1, 1, 2, 1};
    makeSimModelFromRates(&m, 4, pi, ex, 0.0, 0.0, true, 4);
    RNG rng{};
    initRNG(&rng, makeSeed(7, 0, 0, 0));
    constexpr uint32_t kDraws = 40000;
    uint32_t count[4] = {};
    for (uint32_t k = 0; k < kDraws; ++k) {
        uint32_t changes = 0;
        ++count[evolveState(m, k % 4, 1e12, &rng, &changes)];
        ASSERT_GE(changes, 1000000000u);
    }
    for (uint32_t i = 0; i < 4; ++i) {
        const double se = std::sqrt(pi[i] * (1 - pi[i]) / kDraws);
        EXPECT_NEAR(count[i] / double(kDraws), pi[i], 5 * se) << "state " << i;
    }

    SimModel absorbing;
    makeTwoStateSimModel(&absorbing, 1.0, 0.0, 0.0, 0.0, true, 4);
    uint32_t absorbed = 0;
    EXPECT_EQ(evolveState(absorbing, 0, 1e12, &rng, &absorbed), 1u);
    EXPECT_EQ(absorbed, 1u);
}

TEST(SeqSimTest, TwoStateAcceptanceRedrawsAndGivesUp)
{
    SimModel m;
    makeTwoStateSimModel(&m, 1.0, 1.0, 0.0, 0.0, true, 4);
    std::vector<SimModel> models{m};
    const SimTree four = fourTaxa(0.3, 0.3, 0.3, 0.3, 0.2, 0.2);
    RNG rng;
    initRNG(&rng, makeSeed1(9));
    std::vector<uint8_t> matrix(4 * 200), scratch;
    double rates = 0.0;
    uint64_t changes = 0;
    TwoStateRejections rej;
    ASSERT_TRUE(simulateAcceptedTwoStateSites(four, models, 0, 0, 200, matrix.data(), 200, 4, &rng, scratch,
                                              &rates, &changes, &rej));
    EXPECT_GT(rej.tooFewChanges, 0u);
    EXPECT_GE(changes, 400u);
    for (uint32_t c = 0; c < 200; ++c) {
        const int ones = matrix[c] + matrix[200 + c] + matrix[400 + c] + matrix[600 + c];
        ASSERT_EQ(ones, 2) << c;  // two of each state is the only split of 4 that passes
    }
    // Three taxa can never show two of each state: the redraws stop.
    const SimTree three = makeTree({{-1, -1, 0.0}, {0, 0, 0.5}, {0, 1, 0.5}, {0, 2, 0.5}});
    EXPECT_FALSE(simulateAcceptedTwoStateSites(three, models, 0, 0, 1, matrix.data(), 200, 3, &rng, scratch,
                                               &rates, &changes, &rej));
}

TEST(SeqSimTest, ContinuousGammaHasMeanOneAndVarianceOverShape)
{
    RNG rng;
    initRNG(&rng, makeSeed1(21));
    for (double a : {0.3, 2.0}) {
        constexpr int n = 40000;
        double sum = 0.0, sq = 0.0;
        for (int i = 0; i < n; ++i) {
            const double x = randGammaMean1(&rng, a);
            sum += x;
            sq += x * x;
        }
        const double mean = sum / n, var = sq / n - mean * mean;
        EXPECT_NEAR(mean, 1.0, 4.0 * std::sqrt(1.0 / a / n)) << a;
        EXPECT_NEAR(var, 1.0 / a, 0.1 / a) << a;
    }
}

TEST(SeqSimTest, CoalescentGeneTreesAreUltrametricWithTheExpectedDepth)
{
    // Two species joined at T: two lineages coalesce at T + theta/2 on average.
    const double T = 0.3, theta = 0.2;
    SimTree species = makeTree({{-1, -1, 0.0}, {0, 0, T}, {0, 1, T}});
    setSimNodeAges(species);
    RNG rng;
    initRNG(&rng, makeSeed1(31));
    constexpr int loci = 10000;
    double sum = 0.0, sq = 0.0;
    for (int i = 0; i < loci; ++i) {
        SimTree g = simulateGeneTree(species, SimUnits::kSubstPerSite, theta, &rng);
        ASSERT_EQ(g.nodes.size(), 3u);
        sum += g.nodes[0].age;
        sq += g.nodes[0].age * g.nodes[0].age;
    }
    const double mean = sum / loci, sd = std::sqrt(sq / loci - mean * mean);
    EXPECT_NEAR(mean, T + theta / 2.0, 4.0 * sd / std::sqrt(loci));

    // Five species on a clock tree: every gene tree is ultrametric and
    // older than the species tree.
    SimTree five = makeTree({{-1, -1, 0.0}, {0, -1, 0.2}, {1, 0, 0.3}, {1, 1, 0.3}, {0, -1, 0.1},
                             {4, 2, 0.4}, {4, -1, 0.2}, {6, 3, 0.2}, {6, 4, 0.2}});
    ASSERT_LT(setSimNodeAges(five), 1e-12);
    for (SimUnits u : {SimUnits::kSubstPerSite, SimUnits::kNgen, SimUnits::k2Ngen})
        for (int i = 0; i < 50; ++i) {
            SimTree g = simulateGeneTree(five, u, 0.05, &rng);
            ASSERT_EQ(g.nodes.size(), 9u);
            const double root = g.nodes[0].age;
            EXPECT_LT(setSimNodeAges(g), 1e-6);
            EXPECT_NEAR(g.nodes[0].age, root, 1e-9);
            if (u == SimUnits::kSubstPerSite) {
                EXPECT_GT(root, 0.5);
            }
            int tips = 0;
            for (const SimNode &n : g.nodes)
                tips += n.taxon >= 0;
            EXPECT_EQ(tips, 5);
        }
}

// A local rate on a species clade passes to the gene-tree branches inside
// it: with rate 3 on (c,d) and its stem, a gene branch whose tips are all
// in (c,d) runs at 3 below the species root's age and 1 above; any other
// branch at 1. Each branch's length is that integral of the rate between
// its ends' ages, worked out here from its tips; the pieces' models follow
// the species branches too.
TEST(SeqSimTest, GeneTreeBranchesTakeTheRatesOfTheSpeciesBranchesTheyCross)
{
    // ((a:0.1,b:0.1):0.3,(c:0.25,d:0.25):0.15), root age 0.4.
    SimTree species = makeTree({{-1, -1, 0.0}, {0, -1, 0.3}, {1, 0, 0.1}, {1, 1, 0.1}, {0, -1, 0.15},
                                {4, 2, 0.25}, {4, 3, 0.25}});
    ASSERT_LT(setSimNodeAges(species), 1e-12);
    for (size_t k : {4, 5, 6}) {
        species.nodes[k].rate = 3.0;
        species.nodes[k].model = 1;
        species.nodes[k].localModel = true;
    }
    RNG rng;
    initRNG(&rng, makeSeed1(41));
    int crossing = 0;
    for (int locus = 0; locus < 300; ++locus) {
        const SimTree g = simulateGeneTree(species, SimUnits::kSubstPerSite, 0.3, &rng);
        std::vector<uint32_t> tips(g.nodes.size(), 0);  // bit t: taxon t below
        for (size_t k = g.nodes.size(); k-- > 0;) {
            if (g.nodes[k].taxon >= 0)
                tips[k] |= 1u << g.nodes[k].taxon;
            if (k > 0)
                tips[static_cast<size_t>(g.nodes[k].parent)] |= tips[k];
        }
        for (size_t k = 1; k < g.nodes.size(); ++k) {
            const double lo = g.nodes[k].age, hi = g.nodes[static_cast<size_t>(g.nodes[k].parent)].age;
            const bool inCD = (tips[k] & 0b0011u) == 0;
            const double fast = inCD ? std::max(0.0, std::min(hi, 0.4) - lo) : 0.0;
            ASSERT_NEAR(g.nodes[k].length, 3.0 * fast + (hi - lo - fast), 1e-9) << locus << " " << k;
            double sum = 0.0;
            for (const SimPiece &p : g.nodes[k].pieces) {
                sum += p.length;
                EXPECT_EQ(p.localModel, p.rate == 3.0);
            }
            if (!g.nodes[k].pieces.empty()) {
                ASSERT_NEAR(sum, hi - lo, 1e-9);
            }
            crossing += inCD && hi > 0.4;
        }
    }
    EXPECT_GT(crossing, 20);  // branches leaving the (c,d) clade were tried
}

TEST(SeqSimTest, AgeConflictNamesTheNodeAndTheChildrenThatDisagree)
{
    SimAgeConflict c;
    EXPECT_FALSE(findAgeConflict(fourTaxa(0.1, 0.1, 0.2, 0.2, 0.15, 0.05), &c));
    // b implies 0.2 for node 1, a 0.1.
    ASSERT_TRUE(findAgeConflict(fourTaxa(0.1, 0.2, 0.2, 0.2, 0.15, 0.05), &c));
    EXPECT_EQ(c.node, 1u);
    EXPECT_EQ(std::min(c.childA, c.childB), 2u);
    EXPECT_EQ(std::max(c.childA, c.childB), 3u);
    EXPECT_NEAR(std::max(c.ageA, c.ageB), 0.2, 1e-12);
    EXPECT_NEAR(std::min(c.ageA, c.ageB), 0.1, 1e-12);
}

// Site rates of a model record: continuous gamma against its distribution
// function (the share of rates below quartiles of the gamma), the discrete
// record only its four category rates, and pinv's zero rates in both.
TEST(SeqSimTest, SiteRatesFollowContinuousOrDiscreteGamma)
{
    const double pi[4] = {0.25, 0.25, 0.25, 0.25}, ex[6] = {1, 1, 1, 1, 1, 1};
    const double shape = 0.5, pinv = 0.2;
    SimModel cont, disc;
    makeSimModelFromRates(&cont, 4, pi, ex, shape, pinv, false, 4);
    makeSimModelFromRates(&disc, 4, pi, ex, shape, pinv, true, 4);
    // Quartiles of Gamma(0.5, mean 1) (scipy: gamma(0.5, scale=2).ppf).
    const double quartile[3] = {0.10153104, 0.45493642, 1.3233037};
    RNG rng;
    initRNG(&rng, makeSeed1(51));
    constexpr int n = 80000;
    int zero = 0, below[3] = {0, 0, 0};
    std::map<double, int> discreteValues;
    double discreteZero = 0;
    for (int i = 0; i < n; ++i) {
        const double r = drawSiteRate(cont, &rng);
        if (r == 0.0) {
            ++zero;
            continue;
        }
        for (int q = 0; q < 3; ++q)
            below[q] += r * (1.0 - pinv) < quartile[q];
        const double d = drawSiteRate(disc, &rng);
        discreteZero += d == 0.0;
        ++discreteValues[d];
    }
    const double se = std::sqrt(pinv * (1 - pinv) / n);
    EXPECT_NEAR(static_cast<double>(zero) / n, pinv, 4 * se);
    const int variable = n - zero;
    for (int q = 0; q < 3; ++q)
        EXPECT_NEAR(static_cast<double>(below[q]) / variable, 0.25 * (q + 1), 4 * std::sqrt(0.25 / variable)) << q;
    EXPECT_EQ(discreteValues.size(), 5u);  // zero and four categories
    EXPECT_NEAR(discreteZero / variable, pinv, 4 * std::sqrt(pinv * (1 - pinv) / variable));
}

}  // namespace

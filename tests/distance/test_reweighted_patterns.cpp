// A resampling replicate may keep the site patterns and only sum its drawn
// character weights into them again. The distances computed from patterns
// so reweighted must be those of the same weights' data prepared afresh, to
// the last bit: gaps, ambiguities and missing cells, every distance type
// that reads the pattern weights, constant-site corrections, and the Mk
// patterns of standard data (a group that owns its weights).
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "data/charstat.h"
#include "distance_fixture.h"
#include "search/bootjack.h"
#include "search/critscore.h"
#include "search/search_settings.h"

namespace {

using disttest::DistanceTest;

constexpr uint32_t kTaxa = 9;
constexpr uint32_t kSites = 80;

// Tree-like rows: a random ancestor, each taxon a few changes from its
// neighbour, then gaps, missing cells and ambiguity codes sprinkled in.
std::vector<std::pair<std::string, std::string>> gappyRows(const char *symbols, uint32_t nsym, const char *extra)
{
    std::mt19937 gen(11);
    std::string row(kSites, 'x');
    for (auto &c : row)
        c = symbols[gen() % nsym];
    std::vector<std::pair<std::string, std::string>> rows;
    for (uint32_t t = 0; t < kTaxa; ++t) {
        for (uint32_t k = 0; k < 8; ++k)
            row[gen() % kSites] = symbols[gen() % nsym];
        std::string r = row;
        for (uint32_t s = 0; s < kSites; ++s)
            if (gen() % 100 < 9)
                r[s] = extra[gen() % std::strlen(extra)];
        rows.emplace_back("t" + std::to_string(t + 1), r);
    }
    return rows;
}

// Draws in the replicates' manner: bootstrap counts, a jackknife's zeros,
// and weights that are not whole.
std::vector<std::vector<double>> replicateWeights(uint32_t nchar)
{
    std::mt19937 gen(5);
    std::vector<std::vector<double>> all;
    for (uint32_t r = 0; r < 3; ++r) {
        std::vector<double> w(nchar, 0.0);
        for (uint32_t k = 0; k < nchar; ++k)
            w[gen() % nchar] += 1.0;
        all.push_back(w);
    }
    std::vector<double> jack(nchar, 1.0);
    for (uint32_t k = 0; k < nchar / 2; ++k)
        jack[gen() % nchar] = 0.0;
    all.push_back(jack);
    std::vector<double> fractional(nchar);
    for (auto &x : fractional)
        x = static_cast<double>(gen() % 7) / 3.0;
    all.push_back(fractional);
    return all;
}

class ReweightedPatternTest : public DistanceTest {
protected:
    std::vector<double> matrix() const
    {
        std::vector<double> m;
        const uint32_t n = gComputedDistances->ntax;
        for (uint32_t i = 1; i < n; ++i)
            for (uint32_t j = 0; j < i; ++j)
                m.push_back(D(i, j));
        return m;
    }

    void setWeights(const std::vector<double> &w)
    {
        DataInfo *d = activeDataInfo();
        std::copy(w.begin(), w.end(), d->weights);
    }

    // The matrix of weights w from data prepared afresh, as a replicate
    // that rebuilds sees it.
    std::vector<double> rebuilt(const std::vector<double> &w)
    {
        setWeights(w);
        afterWtsChange(nullptr, activeDataInfo());
        EXPECT_EQ(compute(), 0) << testcap::gErrorText;
        return matrix();
    }

    // The same weights summed into patterns built with the data's own.
    std::vector<double> reweighted(const std::vector<double> &w, const std::vector<double> &own)
    {
        setWeights(own);
        afterWtsChange(nullptr, activeDataInfo());
        EXPECT_EQ(compute(), 0) << testcap::gErrorText;
        const SitePatternData *before = activeModelGroup()->patterns;
        setWeights(w);
        refreshGroupPatternWeights(activeModelGroup(), activeDataInfo());
        dataServices().invalidateDistances();
        EXPECT_EQ(compute(), 0) << testcap::gErrorText;
        EXPECT_EQ(activeModelGroup()->patterns, before) << "the patterns were built again";
        return matrix();
    }

    // Every replicate's matrix both ways, bit for bit, with the summaries
    // of the weights that the distances read.
    void expectSameDistances(const char *what)
    {
        DataInfo *d = activeDataInfo();
        const std::vector<double> own(d->weights, d->weights + d->nchar);
        uint32_t rep = 0;
        for (const auto &w : replicateWeights(d->nchar)) {
            ++rep;
            const std::vector<double> fresh = rebuilt(w);
            const ModelGroup *g = activeModelGroup();
            const double total = g->totalWeight, propConst = g->patterns->propConstant;
            const std::vector<double> constFreqs(g->patterns->constStateFreqs,
                                                 g->patterns->constStateFreqs + g->patterns->nstates);
            const std::vector<double> inPlace = reweighted(w, own);
            EXPECT_EQ(inPlace, fresh) << what << ", replicate " << rep;
            EXPECT_EQ(g->totalWeight, total) << what << ", replicate " << rep;
            EXPECT_EQ(g->patterns->propConstant, propConst) << what << ", replicate " << rep;
            EXPECT_EQ(std::vector<double>(g->patterns->constStateFreqs,
                                          g->patterns->constStateFreqs + g->patterns->nstates),
                      constFreqs)
                << what << ", replicate " << rep;
        }
        setWeights(own);
        afterWtsChange(nullptr, d);
    }
};

// The nucleotide distances, each in a setting of its own.
struct DistCase {
    const char *name;
    uint32_t type;
    uint8_t rates;
    double pInvar;
    uint32_t estFreq;
    uint32_t missDist;
};
constexpr DistCase kNucleotideCases[] = {
    {"P", kDistP, 0, 0.0, 0, 0},         {"JC", kDistJC, 0, 0.0, 0, 0},
    {"JC ignoring missing", kDistJC, 0, 0.0, 0, 1},
    {"K2P", kDistK2P, 0, 0.0, 0, 0},     {"F84", kDistF84, 0, 0.0, 0, 0},
    {"HKY85", kDistHKY85, 0, 0.0, 0, 0}, {"TamNei", kDistTamNei, 0, 0.0, 0, 0},
    {"GTR", kDistGTR, 0, 0.0, 0, 0},     {"LogDet", kDistLogDet, 0, 0.0, 0, 0},
    {"abs", kDistAbs, 0, 0.0, 0, 0},     {"JC+G", kDistJC, 1, 0.0, 0, 0},
    // Invariable sites whose frequencies are those of the constant
    // sites: the constant patterns' weights reach the distances.
    {"F84+I, constant-site frequencies", kDistF84, 0, 0.25, 1, 0},
    {"HKY85+I, all-site frequencies", kDistHKY85, 0, 0.25, 0, 0},
};

void applyCase(const DistCase &c, const DistSettings &factory)
{
    dist = factory;
    dist.distance = c.type;
    dist.rates = c.rates;
    dist.shape = 0.5;
    dist.pInvar = c.pInvar;
    dist.estFreq = c.estFreq;
    dist.missDist = c.missDist;
}

TEST_F(ReweightedPatternTest, NucleotideDistancesOfReweightedPatternsAreThoseOfRebuiltData)
{
    ASSERT_EQ(read(dataBlock(gappyRows("ACGT", 4, "-?NRYKMSWB"), "datatype=dna gap=- missing=?")), 0);
    for (const DistCase &c : kNucleotideCases) {
        applyCase(c, factoryDist_);
        expectSameDistances(c.name);
    }
}

// A pair's counts taken from the patterns with weight alone, laid out by
// the table each is summed into, are those of every pattern counted in
// order, to the last bit: weights that are not whole make the order of each
// table's sums tell, and gaps and ambiguities fill the tables' other cells.
TEST_F(ReweightedPatternTest, PairCountsOverThePatternsWithWeightAreThoseOverEveryPattern)
{
    ASSERT_EQ(read(dataBlock(gappyRows("ACGT", 4, "-?NRYKMSWB"), "datatype=dna gap=- missing=?")), 0);
    DataInfo *d = activeDataInfo();
    for (uint32_t c = 0; c < d->nchar; ++c)
        d->weights[c] = c % 3 == 1 ? 0.0 : 0.1 + static_cast<double>(c % 7) / 3.0;
    afterWtsChange(nullptr, d);
    ASSERT_EQ(initPatternData(d), 0);
    const SitePatternData *pd = activeModelGroup()->patterns;
    using Calc = std::unique_ptr<DCalcData, DCalcData *(*)(DCalcData *)>;
    auto make = [&] { return Calc(createDCalcData(kDistJC, getDefaultModel(), nullptr, 4, nullptr, false, false, true),
                                  destroyDCalcData); };
    Calc laned = make(), every = make();
    ASSERT_TRUE(laned && every);
    every->lanes.patterns = pd;  // laid out as empty: every pattern is read
    auto cells = [](double **m) {
        std::vector<double> v;
        for (uint32_t a = 0; a < 4; ++a)
            v.insert(v.end(), m[a], m[a] + 4);
        return v;
    };
    for (uint32_t i = 1; i < pd->ntax; ++i)
        for (uint32_t j = 0; j < i; ++j) {
            const double a = calcFxy(laned.get(), i, j, pd, true, laned->F, laned->counts, nullptr, laned->work);
            const double b = calcFxy(every.get(), i, j, pd, true, every->F, every->counts, nullptr, every->work);
            EXPECT_EQ(a, b) << "taxa " << i << ", " << j;
            EXPECT_EQ(cells(laned->counts), cells(every->counts)) << "taxa " << i << ", " << j;
            EXPECT_EQ(cells(laned->F), cells(every->F)) << "taxa " << i << ", " << j;
        }
    EXPECT_GT(laned->lanes.stride, 0u) << "the patterns with weight were not laid out";
    EXPECT_NE(pd->npat % 4, 0u) << "no patterns after the last group of four";
}

TEST_F(ReweightedPatternTest, MkPatternsOfStandardDataOwnTheirWeightsAndFollowThem)
{
    ASSERT_EQ(read(dataBlock(gappyRows("012", 3, "?-"), "datatype=standard symbols=\"012\" gap=- missing=?")), 0);
    dist.distance = kDistP;
    ASSERT_EQ(compute(), 0) << testcap::gErrorText;
    ASSERT_TRUE(activeModelGroup()->expanded) << "expected the Mk expansion, whose group owns its weights";
    expectSameDistances("P on standard data");
}

}  // namespace

// Whole runs of bootstrap and jackknife replicates under the distance
// criterion, drawn with one seed: once with the criterion's record, which
// sums each replicate's weights into the patterns of the set-up the first
// replicate made, and once with the data prepared afresh for every
// replicate. Every replicate's matrix must be the same to the last bit;
// distances that read more than the patterns must stay on the fresh path.
namespace {

constexpr uint32_t kBootNJ = 3;  // btjkOpt.search: neighbour joining
uint32_t gPatternSetUps = 0;

class DistanceReplicateTest : public ReweightedPatternTest {
protected:
    void SetUp() override
    {
        ReweightedPatternTest::SetUp();
        savedBtjk_ = btjkOpt;
        btjkOpt.search = kBootNJ;
        oldCriterion_ = setOptimalityCriterion(kCriterionDistance, false);
        PatternServices counter{};
        counter.clearMLPrepared = [] { ++gPatternSetUps; };
        installPatternServices(counter);
    }
    void TearDown() override
    {
        deallocBootJack(activeDataInfo());
        btjkOpt = savedBtjk_;
        setOptimalityCriterion(oldCriterion_, false);
        ReweightedPatternTest::TearDown();
    }

    BootJackOptions savedBtjk_{};
    uint32_t oldCriterion_ = 0;

    struct Run {
        std::vector<std::vector<double>> matrices;
        std::vector<int> status;
        uint32_t setUps = 0;
    };

    // nreps replicates of one seed; inPlace false takes the record away, so
    // that every replicate is prepared afresh.
    Run replicates(bool jackknife, uint32_t weightMode, bool inPlace, uint32_t nreps = 6)
    {
        const CriterionSearchFxns record = *criterionSearchFxns(kCriterionDistance);
        if (!inPlace) {
            CriterionSearchFxns fresh = record;
            fresh.patternResample = nullptr;
            installCriterionSearchFxns(kCriterionDistance, fresh);
        }
        DataInfo *d = activeDataInfo();
        const uint32_t seed[4] = {4321, 0, 0, 0};
        Run run;
        EXPECT_EQ(initBootJack(jackknife, weightMode, seed, d), 0);
        const uint32_t before = gPatternSetUps;
        for (uint32_t r = 0; r < nreps; ++r) {
            run.status.push_back(bootJackSample(d));
            run.matrices.push_back(run.status.back() == 0 ? matrix() : std::vector<double>{});
        }
        run.setUps = gPatternSetUps - before;
        deallocBootJack(d);
        afterWtsChange(nullptr, d);
        installCriterionSearchFxns(kCriterionDistance, record);
        return run;
    }

    // Both runs alike, replicate by replicate; the replicates differ from
    // one another (or the comparison would say little). Returns the set-ups
    // of patterns the in-place run made.
    uint32_t expectReplicatesAsFresh(const std::string &what, bool jackknife = false,
                                     uint32_t weightMode = kBtjkWtsProportional)
    {
        const Run inPlace = replicates(jackknife, weightMode, true);
        const Run fresh = replicates(jackknife, weightMode, false);
        EXPECT_EQ(inPlace.status, fresh.status) << what << "\n" << testcap::gOut << testcap::gErrorText;
        for (size_t r = 0; r < fresh.matrices.size(); ++r)
            EXPECT_EQ(inPlace.matrices[r], fresh.matrices[r]) << what << ", replicate " << r + 1;
        EXPECT_NE(fresh.matrices.front(), fresh.matrices.back()) << what << ": the replicates drew alike";
        return inPlace.setUps;
    }
};

TEST_F(DistanceReplicateTest, ReplicatesSummedIntoThePatternsComputeTheMatricesOfReplicatesPreparedAfresh)
{
    ASSERT_EQ(read(dataBlock(gappyRows("ACGT", 4, "-?NRYKMSWB"), "datatype=dna gap=- missing=?")), 0);
    DataInfo *d = activeDataInfo();
    for (const DistCase &c : kNucleotideCases) {
        applyCase(c, factoryDist_);
        const std::string name = c.name;
        // Only the first replicate of a run sets the patterns up.
        EXPECT_EQ(expectReplicatesAsFresh(name + ", bootstrap"), 1u) << name;
        EXPECT_EQ(expectReplicatesAsFresh(name + ", jackknife", true), 1u) << name;
        // Weights that are not whole, drawn with them and in proportion.
        for (uint32_t ch = 0; ch < d->nchar; ++ch)
            d->weights[ch] = ch % 3 == 0 ? 2.5 : ch % 5 == 0 ? 0.75 : 1.0;
        afterWtsChange(nullptr, d);
        EXPECT_EQ(expectReplicatesAsFresh(name + ", simple weights", false, kBtjkWtsSimple), 1u) << name;
        for (uint32_t ch = 0; ch < d->nchar; ++ch)
            d->weights[ch] = 1.0 + ch % 3;
        afterWtsChange(nullptr, d);
        EXPECT_EQ(expectReplicatesAsFresh(name + ", jackknife of weight units", true), 1u) << name;
        std::fill(d->weights, d->weights + d->nchar, 1.0);
        afterWtsChange(nullptr, d);
    }
    // Excluded characters are neither drawn nor in a pattern.
    applyCase(kNucleotideCases[1], factoryDist_);
    excludeCharactersInRange(d, 10, 35);
    afterCharInclusionChange(d);
    EXPECT_EQ(expectReplicatesAsFresh("JC, characters excluded"), 1u);
    EXPECT_EQ(expectReplicatesAsFresh("JC, characters excluded, jackknife", true), 1u);
}

TEST_F(DistanceReplicateTest, OtherDataSumIntoTheirPatternsAndCharacterDifferencesArePreparedAfresh)
{
    ASSERT_EQ(read(dataBlock(gappyRows("ACDEFGHIKLMNPQRSTVWY", 20, "-?X"), "datatype=protein gap=- missing=?")),
              0);
    for (const uint32_t type : {kDistP, kDistJC}) {
        dist = factoryDist_;
        dist.distance = type;
        const std::string name = std::string("protein, ") + distTypeName(type);
        EXPECT_EQ(expectReplicatesAsFresh(name), 1u) << name;
        EXPECT_EQ(expectReplicatesAsFresh(name + ", jackknife", true), 1u) << name;
    }
    // Mean character differences read the parsimony state sets, which only
    // a preparation makes from the replicate's weights.
    dist = factoryDist_;
    dist.distance = kDistMean;
    expectReplicatesAsFresh("protein, mean character differences");
    EXPECT_EQ(distanceGroupToReweight(activeDataInfo()), nullptr);
}

TEST_F(DistanceReplicateTest, MkPatternsOfStandardDataTakeTheReplicatesInPlace)
{
    ASSERT_EQ(read(dataBlock(gappyRows("012", 3, "?-"), "datatype=standard symbols=\"012\" gap=- missing=?")), 0);
    // Reading characters other than sequences makes parsimony the criterion.
    ASSERT_EQ(getOptimalityCriterion(), static_cast<uint32_t>(kCriterionParsimony));
    setOptimalityCriterion(kCriterionDistance, false);
    dist.distance = kDistP;
    EXPECT_EQ(expectReplicatesAsFresh("standard data, P"), 1u);
    EXPECT_EQ(expectReplicatesAsFresh("standard data, P, jackknife", true), 1u);
}

TEST_F(DistanceReplicateTest, CharacterDifferencesOfNucleotidesArePreparedAfreshForEveryReplicate)
{
    ASSERT_EQ(read(dataBlock(gappyRows("ACGT", 4, "-?NRY"), "datatype=dna gap=- missing=?")), 0);
    DataInfo *d = activeDataInfo();
    for (const uint32_t type : {kDistMean, kDistTotal}) {
        dist = factoryDist_;
        // Patterns stand from another distance, but these do not read them.
        dist.distance = kDistJC;
        ASSERT_EQ(compute(), 0);
        ASSERT_NE(distanceGroupToReweight(d), nullptr);
        dist.distance = type;
        const std::string name = std::string("DNA, ") + distTypeName(type);
        EXPECT_EQ(distanceGroupToReweight(d), nullptr) << name;
        expectReplicatesAsFresh(name);
        expectReplicatesAsFresh(name + ", jackknife", true);
    }
}

}  // namespace

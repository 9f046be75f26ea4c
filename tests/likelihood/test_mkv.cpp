// The Mk model through the tree-likelihood driver: standard characters of
// two and three states (and nucleotides under NST=Mkv) on a five-taxon tree
// with given branch lengths score what a plain sum over all ancestral
// states gives, each character conditioned on being variable; with the
// branch lengths optimised the score equals IQ-TREE's MK+ASC on binary data
// (skipped when iqtree2 is not installed).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "likelihood/activeml.h"
#include "likelihood/chgmatrix.h"
#include "likelihood/clapool.h"
#include "likelihood/mlrecon.h"
#include "likelihood/models.h"
#include "likelihood/sitelikes.h"
#include "likelihood/treelike.h"
#include "data/data_util.h"
#include "ml_fixture.h"
#include "print_capture.h"
#include "support/tree_test_support.h"

namespace {

// ((0:a,1:b):e,2:c,(3:d,4:f):g) with the lengths in this order.
constexpr double kLen[7] = {0.1, 0.25, 0.05, 0.4, 0.12, 0.3, 0.08};
const char *const kTree = "((0:0.1,1:0.25):0.05,2:0.4,(3:0.12,4:0.3):0.08)";
constexpr int kMissing = -1;

double mkP(int from, int to, double t, int k)
{
    const double e = std::exp(-t * k / (k - 1.0));
    return from == to ? 1.0 / k + (1 - 1.0 / k) * e : (1 - e) / k;
}

// The likelihood of the tip states (local numbers 0..k-1, or missing) by
// summing over the states of the three internal nodes.
double sumOverAncestors(const int tip[5], int k)
{
    auto leaf = [&](int parent, int t, double len) {
        if (tip[t] == kMissing)
            return 1.0;
        return mkP(parent, tip[t], len, k);
    };
    double L = 0;
    for (int r = 0; r < k; ++r)
        for (int x = 0; x < k; ++x)
            for (int y = 0; y < k; ++y)
                L += (1.0 / k) * mkP(r, x, kLen[2], k) * leaf(x, 0, kLen[0]) * leaf(x, 1, kLen[1]) *
                     leaf(r, 2, kLen[3]) * mkP(r, y, kLen[6], k) * leaf(y, 3, kLen[4]) * leaf(y, 4, kLen[5]);
    return L;
}

// ln L of one character (five states, kMissing for '?') under Mkv: its
// likelihood divided by 1 - k L(all one state), k the number of states it
// shows.
// The states a character shows, in order, and its cells as local numbers
// into them (kMissing kept).
std::vector<int> localStates(const std::vector<int> &c, int local[5])
{
    std::vector<int> seen;
    for (int s : c)
        if (s != kMissing && std::find(seen.begin(), seen.end(), s) == seen.end())
            seen.push_back(s);
    std::sort(seen.begin(), seen.end());
    for (int t = 0; t < 5; ++t)
        local[t] = c[t] == kMissing ? kMissing
                                    : static_cast<int>(std::find(seen.begin(), seen.end(), c[t]) - seen.begin());
    return seen;
}

double referenceMkvChar(const std::vector<int> &c)
{
    int local[5], constant[5] = {0, 0, 0, 0, 0};
    const int k = static_cast<int>(localStates(c, local).size());
    return std::log(sumOverAncestors(local, k) / (1 - k * sumOverAncestors(constant, k)));
}

double referenceMkv(const std::vector<std::vector<int>> &chars)
{
    double lnL = 0;
    for (const auto &c : chars)
        lnL += referenceMkvChar(c);
    return -lnL;
}

// Rows are characters; the data matrix is taxa by characters.
const std::vector<std::vector<int>> kChars = {
    {0, 0, 1, 1, 1}, {0, 1, 0, 1, 1}, {1, 1, 1, 0, 0}, {0, 0, 0, 0, 1}, {0, 1, 2, 2, 1},
    {2, 0, 0, 1, 1}, {0, 0, 1, kMissing, 1}, {kMissing, 2, 2, 0, 2}, {1, 0, 2, 0, 0}, {0, 0, 1, 1, 1},
};

class MkvTest : public MLTreeFixture {
protected:
    void SetUp() override
    {
        MLTreeFixture::SetUp();
        PatternServices patterns{};
        patterns.nstIsMkv = [] { return ml.NST == static_cast<int32_t>(kNstMkv); };
        patterns.invalidateMLprep = invalidateMLprep;
        installPatternServices(patterns);
    }


    void load(const std::vector<std::vector<int>> &chars, const char *symbols, uint32_t dataType)
    {
        makeData(5, static_cast<uint32_t>(chars.size()), true, symbols);
        d->dataType = dataType;
        for (uint32_t c = 0; c < chars.size(); ++c)
            for (uint32_t t = 0; t < 5; ++t) {
                const int s = chars[c][t];
                ASSERT_EQ(setXijRaw(d, t, c, static_cast<uint8_t>(s == kMissing ? d->nstates : s)), 0);
            }
        ASSERT_EQ(updateCharStatus(d), 0);
    }

    // The five-taxon tree with its given lengths, prepared under the
    // current settings.
    void prepareTree()
    {
        tree.reset(createTreeForTaxa(5, 5, false));
        buildTestTree(tree.get(), kTree, -1);
        setTraversalSeq(tree.get());
        applySettings();
        EXPECT_EQ(initializeML(true, false, false, false, tree.get()), 0);
        g = activeModelGroup();
    }

    double score(bool givenLengths)
    {
        ml.userBrLens = givenLengths;
        prepareTree();
        return calcTreeLikelihood(tree.get(), kNoLScore);
    }
};

TEST_F(MkvTest, StandardCharactersScoreTheConditionedSumOverAncestors)
{
    load(kChars, "012", kDataTypeStandard);
    EXPECT_NEAR(score(true), referenceMkv(kChars), 1e-9);
    EXPECT_EQ(g->engine->map.siteCats[0].model->type, kModelMkv);
}

// The site likelihoods LScores prints, stores as weights and hands to the
// topology tests: each character's own conditioned likelihood; a constant
// character, which the Mk model cannot score, has no pattern.
TEST_F(MkvTest, SiteLikelihoodsAreEachCharactersConditionedLikelihood)
{
    std::vector<std::vector<int>> chars = kChars;
    chars.push_back({1, 1, kMissing, 1, 1});
    load(chars, "012", kDataTypeStandard);
    const double s = score(true);
    SiteLikes sl;
    ASSERT_EQ(calcSiteLikes(tree.get(), g, false, sl), 0);
    double total = 0;
    for (uint32_t c = 0; c < kChars.size(); ++c) {
        const uint32_t p = g->siteToGroupPattern[c];
        ASSERT_NE(p, kNoSite);
        EXPECT_NEAR(sl.lnL[p], referenceMkvChar(kChars[c]), 1e-9) << "character " << c;
        total += sl.lnL[p];
    }
    EXPECT_EQ(g->siteToGroupPattern[kChars.size()], kNoSite);
    EXPECT_NEAR(-total, s, 1e-9);
}

// Whatever the frequency setting, the Mk model's states are equally
// frequent: the information criteria count no frequency and none is
// estimated.
// Ancestral states under the Mk model against the sum over the three
// internal nodes' states in each character's own state space: the joint
// reconstruction is the most probable assignment, the marginal one each
// node's most probable state; the site likelihood is the conditioned one,
// and the reconstruction's probability is conditioned by the same divisor.
TEST_F(MkvTest, ReconstructionsAreTheSumsOverAncestorsInEachCharactersStates)
{
    load(kChars, "012", kDataTypeStandard);
    score(true);
    const TreeNode *X = tree->firstTip[0].anc, *Y = tree->firstTip[3].anc, *R = X->anc;
    ASSERT_EQ(R, Y->anc);
    for (int method : {1, 0}) {
        ml.recon = method;
        ASSERT_EQ(findReconstruction(tree.get(), g, d), 0);
        for (uint32_t c = 0; c < kChars.size(); ++c) {
            int tip[5], constant[5] = {0, 0, 0, 0, 0};
            const std::vector<int> seen = localStates(kChars[c], tip);
            const int k = static_cast<int>(seen.size());
            auto leaf = [&](int parent, int t, double len) { return tip[t] == kMissing ? 1.0 : mkP(parent, tip[t], len, k); };
            double best = -1, total = 0;
            int arg[3] = {0, 0, 0};
            std::vector<std::vector<double>> marginal(3, std::vector<double>(k, 0.0));
            for (int r = 0; r < k; ++r)
                for (int x = 0; x < k; ++x)
                    for (int y = 0; y < k; ++y) {
                        const double p = (1.0 / k) * mkP(r, x, kLen[2], k) * leaf(x, 0, kLen[0]) * leaf(x, 1, kLen[1]) *
                                         leaf(r, 2, kLen[3]) * mkP(r, y, kLen[6], k) * leaf(y, 3, kLen[4]) *
                                         leaf(y, 4, kLen[5]);
                        total += p;
                        marginal[0][r] += p;
                        marginal[1][x] += p;
                        marginal[2][y] += p;
                        if (p > best) {
                            best = p;
                            arg[0] = r;
                            arg[1] = x;
                            arg[2] = y;
                        }
                    }
            const TreeNode *nodes[3] = {R, X, Y};
            double chosen = 1.0 / k;
            int state[3];
            for (int n = 0; n < 3; ++n) {
                state[n] = arg[n];
                if (method == 0)
                    for (int s = 0; s < k; ++s)
                        if (marginal[n][s] > marginal[n][state[n]])
                            state[n] = s;
                EXPECT_EQ(getAncStateFromMLRecon(d, nodes[n], c), int64_t{1} << seen[state[n]])
                    << (method ? "joint" : "marginal") << ", character " << c + 1 << ", node " << n;
            }
            chosen *= mkP(state[0], state[1], kLen[2], k) * leaf(state[1], 0, kLen[0]) * leaf(state[1], 1, kLen[1]) *
                      leaf(state[0], 2, kLen[3]) * mkP(state[0], state[2], kLen[6], k) * leaf(state[2], 3, kLen[4]) *
                      leaf(state[2], 4, kLen[5]);
            const double variable = 1 - k * sumOverAncestors(constant, k);
            double logRecon = 0, logSite = 0;
            ASSERT_TRUE(mlReconSiteProbs(d, c, &logRecon, &logSite));
            EXPECT_NEAR(logSite, std::log(total / variable), 1e-9) << "character " << c + 1;
            EXPECT_NEAR(logRecon, std::log(chosen / variable), 1e-9)
                << (method ? "joint" : "marginal") << ", character " << c + 1;
        }
    }
    ml.recon = 0;
}

TEST_F(MkvTest, FrequencySettingsAddNoParameter)
{
    load(kChars, "012", kDataTypeStandard);
    for (const int32_t mode : {kFreqEmpirical, kFreqEstimate}) {
        ml.baseFreqMode = mode;
        EXPECT_NEAR(score(true), referenceMkv(kChars), 1e-9);
        EXPECT_EQ(setModelParamCounts(), 0u) << "frequency mode " << mode;
        EXPECT_EQ(countEstimatedModelParams(firstActiveModel()), 0u) << "frequency mode " << mode;
    }
}

TEST_F(MkvTest, NucleotidesUnderNstMkvScoreTheSame)
{
    load(kChars, "ACGT", kDataTypeDNA);
    ml.NST = static_cast<int32_t>(kNstMkv);
    EXPECT_NEAR(score(true), referenceMkv(kChars), 1e-9);
}

std::string slurp(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// IQ-TREE's log-likelihood of binary characters on the tree, its lengths
// optimised (or fixed); NaN when iqtree2 is absent or failed.
double iqtreeMkAsc(const std::vector<std::vector<int>> &chars, bool fixedLengths)
{
    if (std::system("command -v iqtree2 > /dev/null 2>&1") != 0)
        return std::nan("");
    const auto dir = std::filesystem::temp_directory_path() / ("vorn_mk_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    {
        std::ofstream phy(dir / "a.phy");
        phy << "5 " << chars.size() << "\n";
        for (int t = 0; t < 5; ++t) {
            phy << "t" << t << " ";
            for (const auto &c : chars)
                phy << (c[t] == kMissing ? '?' : static_cast<char>('0' + c[t]));
            phy << "\n";
        }
        std::ofstream(dir / "t.nwk") << std::regex_replace(kTree, std::regex("([(,])([0-9])"), "$1t$2") << ";\n";
    }
    const std::string pre = (dir / "run").string();
    const std::string cmd = "iqtree2 -s " + (dir / "a.phy").string() + " -te " + (dir / "t.nwk").string() +
                            " -st MORPH -m MK+ASC --epsilon 0.0001 -nt 1 -quiet -redo" +
                            (fixedLengths ? " -blfix" : "") + " -pre " + pre + " > /dev/null 2>&1";
    const bool ok = std::system(cmd.c_str()) == 0;
    const std::string report = ok ? slurp(pre + ".iqtree") : "";
    std::filesystem::remove_all(dir);
    std::smatch m;
    if (!std::regex_search(report, m, std::regex("Log-likelihood of the tree: (-?[0-9.]+)")))
        return std::nan("");
    return std::stod(m[1]);
}

// Binary characters only: IQ-TREE's MK+ASC conditions on variability over
// the two states, as Mkv does for each two-state character.
const std::vector<std::vector<int>> kBinary = {
    {0, 0, 1, 1, 1}, {0, 1, 0, 1, 1}, {1, 1, 1, 0, 0}, {0, 0, 0, 0, 1}, {0, 1, 1, 1, 1}, {1, 0, 0, 1, 1},
    {0, 0, 1, 0, 1}, {1, 1, 0, 0, 0}, {1, 0, 1, 0, 0}, {0, 0, 1, 1, 1}, {0, 1, 1, 0, 0}, {1, 1, 0, 1, 1},
};

TEST_F(MkvTest, BinaryCharactersMatchIqtreeMkAsc)
{
    const double fixed = iqtreeMkAsc(kBinary, true);
    if (std::isnan(fixed))
        GTEST_SKIP() << "iqtree2 is not installed";
    load(kBinary, "01", kDataTypeStandard);
    ml.precision = 0;
    EXPECT_NEAR(-score(true), fixed, 1e-3);
    EXPECT_NEAR(-score(false), iqtreeMkAsc(kBinary, false), 0.01);
}

// The Mk entries' derivatives (which drive Newton's branch-length steps)
// equal central differences of the entries, and one state never changes.
TEST(MkvMatrixTest, DerivativesAreCentralDifferencesAndOneStateIsTheIdentity)
{
    Model m{};
    m.nstates = 5;
    for (uint32_t k = 2; k <= 5; ++k)
        for (double t : {1e-4, 0.1, 0.7, 3.0}) {
            const double rate = 1.7, h = 1e-5;
            double v[6], lo[2], hi[2];
            mkvChgDv(t, rate, k, &m, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]);
            EXPECT_NEAR(v[0] + (k - 1) * v[1], 1.0, 1e-15);
            EXPECT_NEAR(v[0], mkP(0, 0, t * rate, static_cast<int>(k)), 1e-15);
            for (int dir = 0; dir < 2; ++dir)
                mkvChgDv(t + (dir ? h : -h), rate, k, &m, &(dir ? hi : lo)[0], &(dir ? hi : lo)[1], nullptr, nullptr,
                         nullptr, nullptr);
            for (int e = 0; e < 2; ++e) {
                EXPECT_NEAR(v[2 + e], (hi[e] - lo[e]) / (2 * h), 1e-7);
                EXPECT_NEAR(v[4 + e], (hi[e] - 2 * v[e] + lo[e]) / (h * h), 1e-3);
            }
        }
    double v[6];
    mkvChgDv(0.5, 1.0, 1, &m, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]);
    EXPECT_EQ(std::vector<double>(v, v + 6), (std::vector<double>{1, 0, 0, 0, 0, 0}));
}

}  // namespace

namespace {

// Characters that each change once on the tree, which Mkv (conditioned on
// variation) explains ever better as every length shrinks. From short and
// from long (flat) starting lengths the fit ends at the same score; when
// every length a thousandth as long scores better, one more pass from there
// ends at or below the last ordinary pass. The result is the score of the
// lengths left on the tree.
TEST_F(MkvTest, ExtraPassFromLengthsAThousandthAsLongEndsBelowTheOrdinaryPasses)
{
    const std::vector<std::vector<int>> oneChange = {
        {1, 1, 0, 0, 0}, {0, 0, 0, 1, 1}, {1, 0, 0, 0, 0}, {0, 1, 0, 0, 0}, {0, 0, 1, 0, 0},
        {0, 0, 0, 1, 0}, {0, 0, 0, 0, 1}, {0, 0, 1, 1, 1}, {1, 1, 1, 0, 0}, {1, 1, 0, 0, 0},
    };
    load(oneChange, "01", kDataTypeStandard);
    ml.initBrLenMethod = kInitBrLenKeepCurrent;
    ml.logIter = 1;
    std::vector<double> ends;
    for (const double start : {0.5, 8.0}) {
        prepareTree();
        for (uint32_t i = 0; i < tree->maxNodes; ++i)
            tree->nodes[i].edge.brlen = start;
        std::string log;
        double reached;
        {
            PrintCapture capture;
            reached = calcTreeLikelihood(tree.get(), kNoLScore);
            log = capture.text();
        }
        const size_t extra = log.find("extra pass:");
        if (extra != std::string::npos) {
            const size_t last = log.rfind(" pass ", extra);
            ASSERT_NE(last, std::string::npos) << log;
            const double ordinary = std::stod(log.substr(log.find(':', last) + 1));
            EXPECT_NEAR(std::stod(log.substr(extra + 11)), reached, 1e-6) << log;
            EXPECT_LT(reached, ordinary) << log;
        }
        EXPECT_NEAR(calcLForCurBranchLens(tree.get(), false), reached, 1e-6) << "start " << start;
        ends.push_back(reached);
    }
    EXPECT_NEAR(ends[1], ends[0], 1e-4);
}

// A tree without taxon 4 (a step of stepwise addition): each character
// variable among taxa 0-3 scores its likelihood there (taxon 4 as missing
// data, the states it shows in the whole matrix), conditioned on being
// variable among them; a character constant among them scores nothing,
// as the placed taxa cannot make it variable. Every such score is a true
// -ln L, at or above 0.
TEST_F(MkvTest, PartialTreeConditionsOnTheTaxaPlaced)
{
    load(kChars, "012", kDataTypeStandard);
    ml.userBrLens = 1;
    applySettings();
    tree.reset(createTreeForTaxa(5, 5, false));
    // Taxon 3's length is the two lengths that led to it.
    buildTestTree(tree.get(), "((0:0.1,1:0.25):0.05,2:0.4,3:0.2)", -1);
    setTraversalSeq(tree.get());
    ASSERT_EQ(initializeML(true, false, false, false, tree.get()), 0);
    g = activeModelGroup();
    double lnL = 0;
    for (const auto &c : kChars) {
        int local[5], constant[5] = {0, 0, 0, 0, kMissing};
        const int k = static_cast<int>(localStates(c, local).size());
        local[4] = kMissing;
        const bool variable = std::any_of(local, local + 4, [&](int s) {
            return s != kMissing && std::any_of(local, local + 4, [&](int o) { return o != kMissing && o != s; });
        });
        if (variable)
            lnL += std::log(sumOverAncestors(local, k) / (1 - k * sumOverAncestors(constant, k)));
    }
    const double partial = calcTreeLikelihood(tree.get(), kNoLScore);
    EXPECT_NEAR(partial, -lnL, 1e-9);
    EXPECT_GT(partial, 0.0);
    // With taxon 4 back on the tree the whole matrix counts again.
    resetCLAs(g, tree.get(), true);
    EXPECT_NEAR(score(true), referenceMkv(kChars), 1e-9);
}

}  // namespace

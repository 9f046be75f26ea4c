// Neighbor joining, BioNJ and UPGMA on matrices with known trees: additive
// distances give back the tree and every length, ultrametric ones the
// heights; ties follow the search order or the tie seed.
#include <algorithm>
#include <cmath>
#include <memory>
#include <set>

#include "distance/nj.h"
#include "distance_fixture.h"
#include "nj_support.h"
#include "search/starttree.h"
#include "trees/constr.h"
#include "trees/splits.h"
#include "trees/treebuf.h"

namespace {

using disttest::DistanceTest;
using njtest::SplitLengths;

class ClusterTest : public DistanceTest {
public:
    void TearDown() override
    {
        cd_.reset();
        tree_.reset();
        clust = ClustSettings{.BioNJ = 0, .showTree = 1, .breakTies = kBreakTiesSystematic,
                              .tieSeed = {0, 0, 0, 0}, .brLens = 0, .pref_saveFile = 0, .isUPGMA = 0};
        DistanceTest::TearDown();
    }

    // Reads the rows as DNA with P distances and makes the work record.
    void load(const std::vector<std::string> &seqs, bool upgmaRecord, bool bioNJ = false)
    {
        std::vector<std::pair<std::string, std::string>> rows;
        for (size_t t = 0; t < seqs.size(); ++t)
            rows.emplace_back("t" + std::to_string(t + 1), seqs[t]);
        ASSERT_EQ(read(dataBlock(rows)), 0);
        dist.distance = kDistP;
        tree_.reset(createTree(true));
        ASSERT_TRUE(tree_);
        cd_.reset(createClustData(activeDataInfo(), tree_.get(), upgmaRecord, static_cast<uint32_t>(seqs.size()), true,
                                  bioNJ));
        ASSERT_TRUE(cd_);
    }

    SplitLengths splits() { return njtest::treeSplits(tree_.get(), cd_->ntax); }

    TreeHandle tree_;
    std::unique_ptr<ClustData, ClustData *(*)(ClustData *)> cd_{nullptr, destroyClustData};
};

void expectSameTree(const SplitLengths &got, const SplitLengths &want, double scale, double tol)
{
    ASSERT_EQ(got.size(), want.size());
    for (const auto &[split, length] : want) {
        auto it = got.find(split);
        ASSERT_NE(it, got.end()) << "missing split " << split;
        EXPECT_NEAR(it->second, length * scale, tol) << split;
    }
}

TEST_F(ClusterTest, NJAndBioNJRebuildAdditiveTreesExactly)
{
    for (uint32_t seed : {1u, 2u, 3u}) {
        for (bool bioNJ : {false, true}) {
            const njtest::TrueTree truth = njtest::makeAdditiveData(9 + seed, seed, false);
            load(truth.seqs, false, bioNJ);
            ASSERT_EQ(makeNJTree(cd_.get(), false, bioNJ), 0);
            expectSameTree(splits(), truth.splits, 1.0 / truth.nchar, 1e-12);
            EXPECT_FALSE(cd_->ties);
            // The command's tree is stored with those lengths.
            EXPECT_EQ(numTreesInMainBuffer(), 1u);
            TearDown();
            SetUp();
        }
    }
}

// A search's starting tree is the NJ tree, left in the search's own tree.
TEST_F(ClusterTest, StartingTreesAreBuiltButNotStored)
{
    const njtest::TrueTree truth = njtest::makeAdditiveData(9, 4, false);
    load(truth.seqs, false);
    TreeHandle start(createTree(true));
    ASSERT_EQ(makeNJStartingTree(activeDataInfo(), start.get()), 0);
    EXPECT_EQ(numTreesInMainBuffer(), 0u);
    expectSameTree(njtest::treeSplits(start.get(), 9), truth.splits, 1.0 / truth.nchar, 1e-12);
}

TEST_F(ClusterTest, UPGMAGivesEachNodeHalfTheDistanceItJoins)
{
    const njtest::TrueTree truth = njtest::makeAdditiveData(12, 7, true);
    load(truth.seqs, true);
    ASSERT_EQ(makeUPGMATree(cd_.get(), nullptr, false), 0);
    expectSameTree(splits(), truth.splits, 1.0 / truth.nchar, 1e-12);
    // Heights: a clade's node sits at half the distance between its halves.
    checkLeafSets(tree_.get());
    std::set<std::string> seen;
    for (TreeNode *p = tree_->root->firstChild; p; p = p->next) {
        if (!p->firstChild)
            continue;
        std::string clade(cd_->ntax, '0');
        for (uint32_t t = 0; t < cd_->ntax; ++t)
            if (isTaxInLeafSet(static_cast<int32_t>(t), false, p->leafSet))
                clade[t] = '1';
        for (const auto &[c, h] : truth.heights)
            if (c == clade) {
                EXPECT_NEAR(p->age, static_cast<double>(h) / truth.nchar, 1e-12);
                seen.insert(c);
            }
    }
    EXPECT_EQ(seen.size(), truth.heights.size());
}

TEST_F(ClusterTest, UPGMAOnATaxonSubsetLeavesTheTreeToItsCaller)
{
    const njtest::TrueTree truth = njtest::makeAdditiveData(8, 11, true);
    load(truth.seqs, true);
    Set *subset = allocSet(8);
    for (uint32_t t : {1u, 2u, 5u, 6u})
        addSetMember(subset, t);
    ASSERT_EQ(makeUPGMATree(cd_.get(), subset, false), 0);
    deallocSet(subset);
    EXPECT_EQ(numTreesInMainBuffer(), 0u);
    const SplitLengths got = splits();
    // Four leaves: two tip edges on each side and one internal split (counted
    // once, from both root edges), all from taxa 2, 3, 6, 7 only.
    EXPECT_EQ(tree_->numLeaves, 4u);
    for (const auto &[split, length] : got)
        for (uint32_t t : {0u, 3u, 4u, 7u})
            EXPECT_EQ(split[t], '0') << split;
}

// A at 0.1 from B, C and D, which are 0.2 from one another: the three pairs
// with A have the same criterion.
const std::vector<std::string> kTiedSeqs{"AAAAAAAAAA", "CAAAAAAAAA", "ACAAAAAAAA", "AACAAAAAAA"};

TEST_F(ClusterTest, TiesKeepThePairFoundFirstOrFollowTheSeed)
{
    load(kTiedSeqs, false);
    ASSERT_EQ(makeNJTree(cd_.get(), false, false), 0);
    EXPECT_TRUE(cd_->ties);
    EXPECT_EQ(splits().count("0011"), 1u) << "AB|CD expected";

    clust.breakTies = kBreakTiesRandom;
    std::set<std::string> internal;
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        std::string first;
        for (int twice = 0; twice < 2; ++twice) {
            clust.tieSeed[0] = seed;
            ASSERT_EQ(makeNJTree(cd_.get(), false, false), 0);
            std::string split;
            for (const auto &[s, len] : splits())
                if (std::count(s.begin(), s.end(), '1') == 2)
                    split = s;
            if (twice == 0)
                first = split;
            else
                EXPECT_EQ(split, first) << "seed " << seed << " not reproducible";
        }
        internal.insert(first);
    }
    EXPECT_EQ(internal.size(), 3u) << "random tie-breaking never chose some tied pair";
}

TEST_F(ClusterTest, ThreeTaxaNeedNoSearch)
{
    load({"AAAAAAAAAA", "CCAAAAAAAA", "AACCCCAAAA"}, false);
    ASSERT_EQ(makeNJTree(cd_.get(), false, false), 0);
    // d12 = 0.2, d13 = 0.4, d23 = 0.6: lengths 0, 0.2, 0.4.
    const SplitLengths got = splits();
    EXPECT_NEAR(got.at("011"), 0.0, 1e-12);
    EXPECT_NEAR(got.at("010"), 0.2, 1e-12);
    EXPECT_NEAR(got.at("001"), 0.4, 1e-12);
}

// Random matrices that fit no tree, so that BioNJ's weights leave [0, 1]
// and the clamp decides: the fast code against the plain one.
TEST_F(ClusterTest, NJAndBioNJMatchAPlainImplementationOnRandomMatrices)
{
    std::mt19937 rng(99);
    std::uniform_real_distribution<double> value(0.05, 1.0);
    for (uint32_t n : {5u, 9u, 17u, 30u}) {
        std::vector<std::vector<double>> full(n, std::vector<double>(n, 0.0));
        std::vector<double> half;
        std::vector<const double *> rows(n);
        for (uint32_t a = 0; a < n; ++a)
            for (uint32_t b = 0; b < a; ++b)
                half.push_back(full[a][b] = full[b][a] = value(rng));
        for (uint32_t a = 0, k = 0; a < n; k += a, ++a)
            rows[a] = half.data() + k;
        for (bool bioNJ : {false, true}) {
            TreeHandle tree(createTreeForTaxa(n, n, true));
            std::unique_ptr<ClustData, ClustData *(*)(ClustData *)> cd(
                createClustData(nullptr, tree.get(), false, n, true, bioNJ), destroyClustData);
            ASSERT_TRUE(cd);
            loadClustMatrix(cd.get(), rows.data(), n, nullptr);
            ASSERT_EQ(njCluster(cd.get(), bioNJ, nullptr), 0);
            expectSameTree(njtest::treeSplits(tree.get(), n), njtest::referenceNJ(full, bioNJ, false), 1.0, 1e-12);
        }
    }
}

// Distances too large for NJ's sums leave no pair to join: without a
// constraint that is said as it is, not as a constraint no join keeps.
TEST_F(ClusterTest, DistancesTooLargeToCompareAreSaidSo)
{
    const uint32_t n = 5;
    // Each finite, their sums not.
    std::vector<double> half(n * (n - 1) / 2, 1e308);
    std::vector<const double *> rows(n);
    for (uint32_t a = 0, k = 0; a < n; k += a, ++a)
        rows[a] = half.data() + k;
    TreeHandle tree(createTreeForTaxa(n, n, true));
    std::unique_ptr<ClustData, ClustData *(*)(ClustData *)> cd(createClustData(nullptr, tree.get(), false, n, true, false),
                                                                destroyClustData);
    ASSERT_TRUE(cd);
    loadClustMatrix(cd.get(), rows.data(), n, nullptr);
    EXPECT_EQ(njCluster(cd.get(), false, nullptr), 1);
    EXPECT_NE(testcap::gErrorText.find("the distances are too large to compare"), std::string::npos)
        << testcap::gErrorText;
    EXPECT_EQ(testcap::gErrorText.find("constraint"), std::string::npos) << testcap::gErrorText;
}

// Groups of taxa as 0/1 strings; a clade of a random binary tree, so any
// set of them is compatible.
std::vector<std::string> randomClades(uint32_t n, std::mt19937 &rng)
{
    std::vector<std::string> live, clades;
    for (uint32_t t = 0; t < n; ++t)
        live.push_back(std::string(n, '0')), live.back()[t] = '1';
    while (live.size() > 2) {
        std::uniform_int_distribution<size_t> pick(0, live.size() - 1);
        size_t a = pick(rng), b = pick(rng);
        while (b == a)
            b = pick(rng);
        for (uint32_t t = 0; t < n; ++t)
            if (live[b][t] == '1')
                live[a][t] = '1';
        clades.push_back(live[a]);
        live.erase(live.begin() + static_cast<long>(b));
    }
    return clades;
}

// Two unrooted splits over the taxa of `within` can sit on one tree when
// some side of one holds no taxon of some side of the other.
bool compatible(const std::string &x, const std::string &g, const std::string &within)
{
    bool seen[2][2] = {};
    for (size_t t = 0; t < x.size(); ++t)
        if (within[t] == '1')
            seen[x[t] == '1'][g[t] == '1'] = true;
    return !seen[0][0] || !seen[0][1] || !seen[1][0] || !seen[1][1];
}

// Whether some split of the tree, seen on the taxa of `within`, is g.
bool hasGroup(const SplitLengths &tree, const std::string &g, const std::string &within)
{
    for (const auto &entry : tree) {
        std::string side = entry.first;
        for (size_t t = 0; t < side.size(); ++t)
            if (within[t] == '0')
                side[t] = '0';
        std::string other = within;
        for (size_t t = 0; t < side.size(); ++t)
            if (side[t] == '1')
                other[t] = '0';
        if (side == g || other == g)
            return true;
    }
    return false;
}

// Under a monophyly or backbone constraint NJ skips every join whose cluster
// could not be a clade of a tree that has the groups: the plain NJ with
// those pairs refused, on random matrices and random groups. Each group must
// be a split of the tree made, and a constraint the NJ tree already keeps
// changes nothing.
TEST_F(ClusterTest, ConstrainedNJSkipsExactlyTheJoinsThatBreakTheGroups)
{
    std::mt19937 rng(37);
    std::uniform_real_distribution<double> value(0.05, 1.0);
    uint32_t changed = 0;
    for (uint32_t n : {5u, 6u, 8u, 11u, 16u}) {
        for (uint32_t trial = 0; trial < 12; ++trial) {
            std::vector<std::vector<double>> full(n, std::vector<double>(n, 0.0));
            std::vector<double> half;
            std::vector<const double *> rows(n);
            for (uint32_t a = 0; a < n; ++a)
                for (uint32_t b = 0; b < a; ++b)
                    half.push_back(full[a][b] = full[b][a] = value(rng));
            for (uint32_t a = 0, k = 0; a < n; k += a, ++a)
                rows[a] = half.data() + k;
            // Odd trials make a backbone over a random part of the taxa:
            // the groups are clades seen on that part.
            const bool backbone = trial % 2 == 1;
            std::string within(n, '1');
            if (backbone)
                for (uint32_t t = 0; t < n; ++t)
                    within[t] = std::count(within.begin(), within.end(), '1') > 4 && rng() % 3 == 0 ? '0' : '1';
            const long inside = std::count(within.begin(), within.end(), '1');
            std::vector<std::string> clades = randomClades(n, rng), groups;
            std::shuffle(clades.begin(), clades.end(), rng);
            for (std::string c : clades) {
                for (uint32_t t = 0; t < n; ++t)
                    c[t] = within[t] == '1' ? c[t] : '0';
                const auto size = std::count(c.begin(), c.end(), '1');
                if (size >= 2 && size <= inside - 2 && groups.size() < 1 + trial % 4 &&
                    std::find(groups.begin(), groups.end(), c) == groups.end())
                    groups.push_back(c);
            }
            if (groups.empty())
                continue;
            std::vector<std::string> listed = groups;
            if (backbone)
                listed.push_back(within);
            SplitsList *list = createSplitsList(n, static_cast<uint32_t>(listed.size()), true);
            for (const std::string &g : listed) {
                std::vector<uint64_t> bits(splitWords(n), 0);
                for (uint32_t t = 0; t < n; ++t)
                    if (g[t] == '1')
                        bits[t >> 6] |= uint64_t{1} << (t & 63);
                appendSplitToList(list, bits.data());
            }
            deallocAllConstraints();
            ASSERT_NE(addConstraint("c", backbone ? kConBackbone : kConMonophyly, list, true), nullptr);
            const auto keepsGroups = [&](const std::string &clade) {
                return std::all_of(groups.begin(), groups.end(), [&](const auto &g) { return compatible(clade, g, within); });
            };
            const SplitLengths want = njtest::referenceNJ(full, false, false, keepsGroups);
            const SplitLengths plain = njtest::referenceNJ(full, false, false);
            ASSERT_FALSE(want.empty());

            TreeHandle tree(createTreeForTaxa(n, n, true));
            std::unique_ptr<ClustData, ClustData *(*)(ClustData *)> cd(
                createClustData(nullptr, tree.get(), false, n, true, false), destroyClustData);
            ASSERT_TRUE(cd);
            cd->constrained = true;
            loadClustMatrix(cd.get(), rows.data(), n, nullptr);
            ASSERT_EQ(njCluster(cd.get(), false, nullptr), 0);
            const SplitLengths got = njtest::treeSplits(tree.get(), n);
            expectSameTree(got, want, 1.0, 1e-12);
            for (const std::string &g : groups)
                EXPECT_TRUE(hasGroup(got, g, within)) << "group " << g << " within " << within;
            const bool plainKeeps = std::all_of(groups.begin(), groups.end(),
                                                [&](const std::string &g) { return hasGroup(plain, g, within); });
            if (plainKeeps)
                expectSameTree(got, plain, 1.0, 1e-12);
            changed += plainKeeps ? 0 : 1;
        }
    }
    deallocAllConstraints();
    // The data must have put the skipping to work.
    EXPECT_GT(changed, 30u) << changed;
}

}  // namespace

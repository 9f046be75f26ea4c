// NJ, BioNJ and UPGMA trees of Jukes-Cantor matrices of simulated
// alignments against PHYLIP neighbor, quicktree and ape's bionj, each given
// the matrix as SaveDist writes it in PHYLIP form. Every peer is skipped
// where it is not installed.
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "distance/nj.h"
#include "distance/showdist.h"
#include "distance_fixture.h"
#include "nj_support.h"
#include "simulate_support.h"

namespace {

using disttest::DistanceTest;
using njtest::SplitLengths;
using simtest::TempDir;
namespace fs = std::filesystem;

constexpr const char *kNeighbor = "/usr/lib/phylip/bin/neighbor";
constexpr const char *kQuicktree = "/usr/bin/quicktree";
constexpr const char *kRscript = "/usr/bin/Rscript";

std::string slurp(const fs::path &p)
{
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Splits of a Newick tree whose leaves are named t1 .. tn; a rooted tree's
// two root edges count as one edge.
class NewickSplits {
public:
    NewickSplits(std::string text, uint32_t ntax) : s_(std::move(text)), n_(ntax) {}

    SplitLengths parse()
    {
        pos_ = s_.find('(');
        if (pos_ == std::string::npos)
            return {};
        subtree();
        return out_;
    }

private:
    void skipSpace()
    {
        while (pos_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[pos_])))
            ++pos_;
    }
    double length()
    {
        skipSpace();
        if (pos_ >= s_.size() || s_[pos_] != ':')
            return 0.0;
        ++pos_;
        size_t used = 0;
        const double v = std::stod(s_.substr(pos_), &used);
        pos_ += used;
        return v;
    }
    // The taxa below the node at pos_.
    std::string subtree()
    {
        skipSpace();
        std::string set(n_, '0');
        if (s_[pos_] == '(') {
            ++pos_;
            for (;;) {
                const std::string child = subtree();
                const double len = length();
                out_[njtest::normalised(child)] += len;
                for (uint32_t t = 0; t < n_; ++t)
                    if (child[t] == '1')
                        set[t] = '1';
                skipSpace();
                if (s_[pos_++] == ')')
                    break;
            }
        } else {
            const size_t start = pos_;
            while (pos_ < s_.size() && !std::strchr(":,)", s_[pos_]))
                ++pos_;
            std::string name = s_.substr(start, pos_ - start);
            while (!name.empty() && std::isspace(static_cast<unsigned char>(name.back())))
                name.pop_back();
            const uint32_t t = static_cast<uint32_t>(std::stoul(name.substr(1))) - 1;
            set[t] = '1';
        }
        return set;
    }

    std::string s_;
    uint32_t n_;
    size_t pos_ = 0;
    SplitLengths out_;
};

class ClusterPeerTest : public DistanceTest {
public:
    void TearDown() override
    {
        cd_.reset();
        tree_.reset();
        DistanceTest::TearDown();
    }

    // Reads the alignment, computes JC distances and writes them as SaveDist
    // format=PHYLIP triangle=both ndecimals=10 into dir/infile.
    void prepare(uint32_t ntax, uint32_t seed, const TempDir &dir)
    {
        const std::vector<std::string> seqs = simtest::simulate(ntax, 1000, seed, 0.06);
        std::vector<std::pair<std::string, std::string>> rows;
        for (size_t t = 0; t < seqs.size(); ++t)
            rows.emplace_back(simtest::label(t), seqs[t]);
        ASSERT_EQ(read(dataBlock(rows)), 0);
        dist.distance = kDistJC;
        ASSERT_EQ(compute(), 0);
        ASSERT_EQ(gComputedDistances->nUndefined, 0u);
        SaveDistSettings opts{.format = kDistFmtPhylip, .file = {}, .triangle = kTriangleBoth, .diagonal = 0,
                              .undefined = 0, .ndecimals = 10};
        ASSERT_EQ(writeDistanceFile(gComputedDistances, activeDataInfo(), opts, (dir.path / "infile").c_str(), true,
                                    false),
                  0);
        n_ = ntax;
    }

    SplitLengths ours(bool upgmaTree, bool bioNJ)
    {
        tree_.reset(createTree(true));
        cd_.reset(createClustData(activeDataInfo(), tree_.get(), upgmaTree, n_, true, bioNJ));
        const int status = upgmaTree ? makeUPGMATree(cd_.get(), nullptr, false) : makeNJTree(cd_.get(), false, bioNJ);
        EXPECT_EQ(status, 0);
        return njtest::treeSplits(tree_.get(), n_);
    }

    uint32_t n_ = 0;
    TreeHandle tree_;
    std::unique_ptr<ClustData, ClustData *(*)(ClustData *)> cd_{nullptr, destroyClustData};
};

// Same splits; lengths within tol, except that a peer which writes negative
// lengths as 0 is only compared where ours are not negative.
void expectSameTree(const SplitLengths &peer, const SplitLengths &ours, double tol, bool peerClampsNegative,
                    const char *peerName)
{
    ASSERT_EQ(peer.size(), ours.size()) << peerName;
    for (const auto &[split, length] : ours) {
        const auto it = peer.find(split);
        ASSERT_NE(it, peer.end()) << peerName << " lacks split " << split;
        if (peerClampsNegative && length < 0.0)
            continue;
        EXPECT_NEAR(it->second, length, tol) << peerName << " " << split;
    }
}

bool sameLengths(const SplitLengths &a, const SplitLengths &b, double tol)
{
    if (a.size() != b.size())
        return false;
    for (const auto &[split, length] : a) {
        const auto it = b.find(split);
        if (it == b.end() || std::fabs(it->second - length) > tol)
            return false;
    }
    return true;
}

bool runs(const char *program) { return access(program, X_OK) == 0; }

constexpr uint32_t kSizes[][2] = {{10, 3}, {57, 5}, {200, 8}, {500, 13}};

TEST_F(ClusterPeerTest, NJAndUPGMAEqualNeighbor)
{
    if (!runs(kNeighbor))
        GTEST_SKIP() << "PHYLIP neighbor is not installed";
    for (const auto &[ntax, seed] : kSizes) {
        TempDir dir;
        prepare(ntax, seed, dir);
        for (bool upgmaTree : {false, true}) {
            std::filesystem::remove(dir.path / "outtree");
            std::filesystem::remove(dir.path / "outfile");
            std::ofstream(dir.path / "answers") << (upgmaTree ? "N\nY\n" : "Y\n");
            const std::string cmd = "cd " + dir.path.string() + " && " + kNeighbor + " < answers > screen 2>&1";
            ASSERT_EQ(std::system(cmd.c_str()), 0);
            const SplitLengths peer = NewickSplits(slurp(dir.path / "outtree"), ntax).parse();
            expectSameTree(peer, ours(upgmaTree, false), 1e-5, false, "neighbor");
        }
        TearDown();
        SetUp();
    }
}

TEST_F(ClusterPeerTest, NJAndUPGMAEqualQuicktree)
{
    if (!runs(kQuicktree))
        GTEST_SKIP() << "quicktree is not installed";
    for (const auto &[ntax, seed] : kSizes) {
        TempDir dir;
        prepare(ntax, seed, dir);
        for (bool upgmaTree : {false, true}) {
            const std::string cmd = std::string(kQuicktree) + (upgmaTree ? " -upgma" : "") + " -in m -out t " +
                                    (dir.path / "infile").string() + " > " + (dir.path / "tree").string();
            ASSERT_EQ(std::system(cmd.c_str()), 0);
            const SplitLengths peer = NewickSplits(slurp(dir.path / "tree"), ntax).parse();
            // One NJ edge of the 500-taxon tree lies 1.2e-5 from quicktree's
            // while neighbor agrees with ours to 1e-5 there: quicktree's own
            // rounding, so it gets twice the tolerance.
            expectSameTree(peer, ours(upgmaTree, false), ntax < 500 ? 1e-5 : 2e-5, true, "quicktree");
        }
        TearDown();
        SetUp();
    }
}

TEST_F(ClusterPeerTest, BioNJEqualsApe)
{
    if (!runs(kRscript) || std::system("Rscript -e 'library(ape)' > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "R with ape is not installed";
    for (const auto &[ntax, seed] : kSizes) {
        TempDir dir;
        prepare(ntax, seed, dir);
        const std::string script =
            "suppressMessages(library(ape)); m <- as.matrix(read.table('" + (dir.path / "infile").string() +
            "', skip=1, row.names=1)); colnames(m) <- rownames(m); cat(write.tree(bionj(as.dist(m)), digits=12))";
        const std::string cmd = std::string(kRscript) + " -e \"" + script + "\" > " + (dir.path / "tree").string();
        ASSERT_EQ(std::system(cmd.c_str()), 0);
        const SplitLengths peer = NewickSplits(slurp(dir.path / "tree"), ntax).parse();
        // ape reads the matrix as written (10 decimals) and keeps lengths in
        // single precision. With four clusters left it may join either of the
        // two pairs with the same criterion (rounding decides), which moves
        // the last lengths: its tree is ours, or the plain BioNJ's that
        // joins the other pair there.
        const SplitLengths mine = ours(false, true);
        const double *const *half = gComputedDistances->distances;
        std::vector<std::vector<double>> full(ntax, std::vector<double>(ntax, 0.0));
        for (uint32_t a = 1; a < ntax; ++a)
            for (uint32_t b = 0; b < a; ++b)
                full[a][b] = full[b][a] = half[a][b];
        const SplitLengths other = njtest::referenceNJ(full, true, true);
        const bool isOther = sameLengths(peer, other, 1e-6);
        if (!isOther)
            expectSameTree(peer, mine, 1e-6, false, "ape bionj");
        TearDown();
        SetUp();
    }
}

}  // namespace

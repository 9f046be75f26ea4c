// Distances against PHYLIP dnadist and R's ape on gap-free alignments
// simulated on random trees (fixed seeds). Each peer is skipped where it is
// not installed.
//
// dnadist estimates K2P at a fixed ti/tv ratio, so K2P is checked against a
// dnadist run on each pair alone with T set to that pair's own ratio. ape
// takes base frequencies from all sequences it is given, these distances
// from the pair: ape runs on each pair as a two-sequence alignment.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "distance_fixture.h"
#include "rate_reference.h"
#include "simulate_support.h"

namespace {

namespace fs = std::filesystem;
using disttest::DistanceTest;
using simtest::label;
using simtest::simulate;
using simtest::TempDir;

constexpr const char *kDnadist = "/usr/lib/phylip/bin/dnadist";
// Runs dnadist on the sequences with the menu answers given; the matrix it
// wrote, or an empty one when the run failed.
std::vector<std::vector<double>> runDnadist(const std::vector<std::string> &seqs, const std::string &menu)
{
    TempDir dir;
    std::ofstream(dir.path / "infile") << [&] {
        std::ostringstream s;
        s << seqs.size() << " " << seqs[0].size() << "\n";
        for (size_t t = 0; t < seqs.size(); ++t) {
            std::string name = label(t);
            name.resize(10, ' ');
            s << name << seqs[t] << "\n";
        }
        return s.str();
    }();
    std::ofstream(dir.path / "answers") << menu << "Y\n";
    const std::string cmd =
        "cd " + dir.path.string() + " && " + kDnadist + " < answers > screen 2>&1";
    if (std::system(cmd.c_str()) != 0)
        return {};
    std::ifstream out(dir.path / "outfile");
    size_t n = 0;
    out >> n;
    std::vector<std::vector<double>> m(n, std::vector<double>(n));
    for (size_t i = 0; i < n; ++i) {
        std::string name;
        out >> name;
        for (size_t j = 0; j < n; ++j)
            out >> m[i][j];
    }
    return out ? m : std::vector<std::vector<double>>{};
}

class PeerTest : public DistanceTest {
protected:
    void load(const std::vector<std::string> &seqs)
    {
        std::vector<std::pair<std::string, std::string>> rows;
        for (size_t t = 0; t < seqs.size(); ++t)
            rows.emplace_back(label(t), seqs[t]);
        ASSERT_EQ(read(dataBlock(rows)), 0);
    }
    // The matrix of a type, as rows of full matrices.
    std::vector<std::vector<double>> matrix(uint32_t type, uint32_t subst = kSubstAll)
    {
        dist.distance = type;
        dist.subst = subst;
        EXPECT_EQ(compute(), 0) << testcap::gErrorText;
        const uint32_t n = gComputedDistances->ntax;
        std::vector<std::vector<double>> m(n, std::vector<double>(n, 0.0));
        for (uint32_t i = 0; i < n; ++i)
            for (uint32_t j = 0; j < n; ++j)
                m[i][j] = i == j ? 0.0 : D(i, j);
        dist.subst = kSubstAll;
        return m;
    }
};

struct Alignment {
    uint32_t ntax, nsites, seed;
};
constexpr Alignment kAlignments[] = {{8, 400, 11}, {17, 600, 23}, {30, 500, 37}};

TEST_F(PeerTest, JukesCantorAndLogDetEqualDnadist)
{
    if (access(kDnadist, X_OK) != 0)
        GTEST_SKIP() << "PHYLIP dnadist is not installed";
    for (const Alignment &a : kAlignments) {
        const auto seqs = simulate(a.ntax, a.nsites, a.seed);
        load(seqs);
        struct {
            uint32_t type;
            const char *menu;
        } runs[] = {{kDistJC, "D\nD\n"}, {kDistLogDet, "D\nD\nD\n"}};
        for (const auto &run : runs) {
            const auto ours = matrix(run.type);
            const auto peer = runDnadist(seqs, run.menu);
            ASSERT_EQ(peer.size(), a.ntax) << "dnadist gave no matrix";
            for (uint32_t i = 0; i < a.ntax; ++i)
                for (uint32_t j = 0; j < i; ++j)
                    EXPECT_NEAR(ours[i][j], peer[i][j], 1e-6) << distTypeName(run.type) << " " << i << " " << j;
        }
    }
}

TEST_F(PeerTest, K2PEqualsDnadistAtThePairsOwnRatio)
{
    if (access(kDnadist, X_OK) != 0)
        GTEST_SKIP() << "PHYLIP dnadist is not installed";
    const auto seqs = simulate(12, 800, 5);
    load(seqs);
    const auto k2p = matrix(kDistK2P);
    const auto ratio = matrix(kDistK2P, kSubstTRatio);
    for (uint32_t i = 1; i < seqs.size(); i += 2)
        for (uint32_t j = 0; j < i; j += 3) {
            char menu[64];
            std::snprintf(menu, sizeof menu, "D\nT\n%.10f\n", ratio[i][j]);
            const auto peer = runDnadist({seqs[j], seqs[i]}, menu);
            ASSERT_EQ(peer.size(), 2u);
            EXPECT_NEAR(k2p[i][j], peer[1][0], 1e-6) << i << " " << j << " ratio " << ratio[i][j];
        }
}

bool haveApe()
{
    return std::system("Rscript -e 'quit(status = !requireNamespace(\"ape\", quietly = TRUE))' >/dev/null 2>&1") == 0;
}

// ape's distances of every pair, each pair run alone on the sites where both
// sequences hold a base (ape takes base frequencies from what it is given,
// these distances from the pair's shared sites), by ape model name; gamma 0
// means none. Rows are the lower triangle over the sequences.
std::map<std::string, std::vector<std::vector<double>>> apePairs(const std::vector<std::string> &seqs,
                                                                  const std::vector<std::string> &models,
                                                                  double gamma)
{
    TempDir dir;
    {
        std::ofstream fasta(dir.path / "aln.fasta");
        for (size_t t = 0; t < seqs.size(); ++t)
            fasta << ">" << label(t) << "\n" << seqs[t] << "\n";
        std::ofstream script(dir.path / "pairs.R");
        script << "suppressMessages(library(ape))\n"
                  "x <- toupper(read.dna('" << (dir.path / "aln.fasta").string()
               << "', format = 'fasta', as.character = TRUE))\n"
                  "models <- c(";
        for (size_t k = 0; k < models.size(); ++k)
            script << (k ? ", " : "") << "'" << models[k] << "'";
        script << ")\n"
                  "n <- nrow(x)\n"
                  "for (i in 2:n) for (j in 1:(i - 1)) {\n"
                  "  both <- x[i, ] %in% c('A', 'C', 'G', 'T') & x[j, ] %in% c('A', 'C', 'G', 'T')\n"
                  "  y <- as.DNAbin(x[c(j, i), both, drop = FALSE])\n"
                  "  for (m in models) {\n"
                  "    d <- if ("
               << gamma << " > 0) dist.dna(y, model = m, gamma = " << gamma
               << ")[1] else dist.dna(y, model = m)[1]\n"
                  "    cat(m, i - 1, j - 1, sprintf('%.17g', d), '\\n')\n"
                  "  }\n"
                  "}\n";
    }
    const fs::path result = dir.path / "result.txt";
    const std::string cmd = "Rscript " + (dir.path / "pairs.R").string() + " > " + result.string() + " 2>&1";
    std::map<std::string, std::vector<std::vector<double>>> ape;
    if (std::system(cmd.c_str()) != 0) {
        ADD_FAILURE() << std::ifstream(result).rdbuf();
        return ape;
    }
    std::ifstream in(result);
    std::string model;
    uint32_t i = 0, j = 0;
    double value = 0;
    while (in >> model >> i >> j >> value) {
        auto &m = ape[model];
        if (m.empty())
            m.assign(seqs.size(), std::vector<double>(seqs.size(), NAN));
        m[i][j] = value;
    }
    return ape;
}

struct ApeModel {
    uint32_t type;
    const char *ape;
};

TEST_F(PeerTest, PairDistancesEqualApe)
{
    if (!haveApe())
        GTEST_SKIP() << "R with ape is not installed";
    const ApeModel models[] = {{kDistP, "raw"},       {kDistK2P, "K80"}, {kDistF81, "F81"},        {kDistF84, "F84"},
                               {kDistTamNei, "TN93"}, {kDistK3P, "K81"}, {kDistLogDet, "paralin"}};
    std::vector<std::string> names;
    for (const ApeModel &m : models)
        names.push_back(m.ape);
    for (const Alignment &a : kAlignments) {
        const auto seqs = simulate(a.ntax, a.nsites, a.seed + 1);
        load(seqs);
        auto ape = apePairs(seqs, names, 0.0);
        for (const ApeModel &m : models) {
            ASSERT_EQ(ape[m.ape].size(), a.ntax) << m.ape;
            const auto ours = matrix(m.type);
            for (uint32_t r = 1; r < a.ntax; ++r)
                for (uint32_t c = 0; c < r; ++c)
                    EXPECT_NEAR(ours[r][c], ape[m.ape][r][c], 1e-9) << m.ape << " " << r << " " << c;
        }
    }
}

// Missing cells, gaps and ambiguity codes skipped pair by pair (missDist
// ignore), with and without the gamma correction: every pair as ape computes
// it on the sites both sequences hold a base at.
TEST_F(PeerTest, GappyAndGammaDistancesEqualApe)
{
    if (!haveApe())
        GTEST_SKIP() << "R with ape is not installed";
    auto seqs = simulate(12, 500, 41, 0.3);
    std::mt19937 rng(43);
    for (std::string &s : seqs)
        for (char &c : s)
            if (const uint32_t u = rng() % 100; u < 3)
                c = "?-RYN"[rng() % 5];
    seqs[2].replace(0, 40, 40, '-');
    std::vector<std::pair<std::string, std::string>> rows;
    for (size_t t = 0; t < seqs.size(); ++t)
        rows.emplace_back(label(t), seqs[t]);
    ASSERT_EQ(read(dataBlock(rows, "datatype=dna missing=? gap=-")), 0);
    dist.missDist = 1;
    const ApeModel models[] = {{kDistJC, "JC69"}, {kDistK2P, "K80"}, {kDistF81, "F81"}, {kDistTamNei, "TN93"}};
    std::vector<std::string> names;
    for (const ApeModel &m : models)
        names.push_back(m.ape);
    for (const double shape : {0.0, 0.35, 2.0}) {
        auto ape = apePairs(seqs, names, shape);
        dist.rates = shape > 0.0;
        dist.shape = shape > 0.0 ? shape : 0.5;
        for (const ApeModel &m : models) {
            ASSERT_EQ(ape[m.ape].size(), seqs.size()) << m.ape;
            const auto ours = matrix(m.type);
            for (uint32_t r = 1; r < seqs.size(); ++r)
                for (uint32_t c = 0; c < r; ++c)
                    EXPECT_NEAR(ours[r][c], ape[m.ape][r][c], 1e-9 * (1 + ours[r][c]))
                        << m.ape << " shape " << shape << " " << r << " " << c;
        }
    }
}

}  // namespace

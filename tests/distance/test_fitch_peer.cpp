// The weighted least-squares fit (power 2, negative lengths allowed) against
// PHYLIP fitch scoring the same user trees on the same matrices: fitch sums
// (obs - exp)^2 / obs^2 over both triangles, so its "Sum of squares" is
// twice ours, and its branch lengths give the same path lengths. Skipped
// where PHYLIP is not installed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>

#include "distance/distance_settings.h"
#include "distance/lsfit.h"
#include "lsfit_reference.h"

namespace {

namespace fs = std::filesystem;
constexpr const char *kFitch = "/usr/lib/phylip/bin/fitch";

std::string name(int32_t t) { return "t" + std::to_string(t); }

std::string newick(const TreeNode *n)
{
    if (!n->firstChild)
        return name(n->index);
    std::string s = "(";
    for (const TreeNode *c = n->firstChild; c; c = c->nextSib)
        s += (c == n->firstChild ? "" : ",") + newick(c);
    return s + ")";
}

// The tree as fitch reads it: unrooted, the root tip joined to the basal fork.
std::string newickOf(const Tree *t)
{
    const TreeNode *fork = t->root->firstChild;
    std::string s = "(" + name(t->root->index);
    for (const TreeNode *c = fork->firstChild; c; c = c->nextSib)
        s += "," + newick(c);
    return s + ");\n";
}

struct FitchResult {
    double ss = -1.0;
    std::map<std::string, std::vector<std::pair<std::string, double>>> adj;
};

FitchResult runFitch(const lsref::HalfMatrix &m, const Tree *t)
{
    FitchResult r;
    char tmpl[] = "/tmp/vornfitchXXXXXX";
    if (!mkdtemp(tmpl))
        return r;
    const fs::path dir(tmpl);
    const uint32_t n = static_cast<uint32_t>(m.rows.size());
    {
        std::ofstream in(dir / "infile");
        in << n << "\n";
        char cell[32];
        for (uint32_t i = 0; i < n; i++) {
            std::string label = name(static_cast<int32_t>(i));
            label.resize(10, ' ');
            in << label;
            for (uint32_t j = 0; j < n; j++) {
                std::snprintf(cell, sizeof cell, " %.10f", m.d(i, j));
                in << cell;
            }
            in << "\n";
        }
    }
    std::ofstream(dir / "intree") << newickOf(t);
    std::ofstream(dir / "answers") << "U\n-\nY\n";
    const std::string cmd = "cd " + dir.string() + " && " + kFitch + " < answers > screen 2>&1";
    if (std::system(cmd.c_str()) == 0) {
        std::ifstream out(dir / "outfile");
        std::string line;
        bool table = false;
        while (std::getline(out, line)) {
            // The formula in the heading also starts "Sum of squares =".
            if (line.rfind("Sum of squares =", 0) == 0) {
                const char *text = line.c_str() + line.find('=') + 1;
                char *end = nullptr;
                const double v = std::strtod(text, &end);
                if (end != text)
                    r.ss = v;
            }
            if (line.rfind("-------", 0) == 0) {
                table = true;
                continue;
            }
            std::istringstream row(line);
            std::string a, b;
            double len;
            if (table && row >> a >> b >> len) {
                r.adj[a].emplace_back(b, len);
                r.adj[b].emplace_back(a, len);
            }
        }
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
    return r;
}

// Branch lengths by split: the taxa on the side of an edge without t0.
using Splits = std::map<std::vector<bool>, double>;

std::vector<bool> normalised(std::vector<bool> side)
{
    if (side[0])
        side.flip();
    return side;
}

Splits fitchSplits(const FitchResult &r, uint32_t n)
{
    Splits out;
    std::function<void(const std::string &, const std::string &, std::vector<bool> &)> collect =
        [&](const std::string &at, const std::string &prev, std::vector<bool> &side) {
            if (at[0] == 't')
                side[std::stoul(at.substr(1))] = true;
            for (const auto &[next, len] : r.adj.at(at))
                if (next != prev)
                    collect(next, at, side);
        };
    for (const auto &[a, list] : r.adj)
        for (const auto &[b, len] : list) {
            std::vector<bool> side(n, false);
            collect(b, a, side);
            out[normalised(side)] = len;
        }
    return out;
}

Splits ourSplits(const Tree *t, uint32_t n)
{
    Splits out;
    for (const TreeNode *e = t->root->next; e; e = e->next) {
        std::vector<bool> side(n, false);
        for (const TreeNode *x = e; x; x = nextPreorderNode(x, e))
            if (!x->firstChild)
                side[static_cast<uint32_t>(x->index)] = true;
        out[normalised(side)] = e->edge.brlen;
    }
    return out;
}

// Path length between two leaves of a tree with branch lengths.
double ourPath(const Tree *t, uint32_t a, uint32_t b)
{
    auto up = [&](uint32_t x) {
        std::map<const TreeNode *, double> d;
        double s = 0.0;
        for (const TreeNode *n = nodeOfIndex(t, static_cast<int32_t>(x)); n; s += n->edge.brlen, n = n->anc)
            d[n] = s;
        return d;
    };
    const auto da = up(a), db = up(b);
    double best = 1e300;
    for (const auto &[node, len] : da)
        if (auto it = db.find(node); it != db.end())
            best = std::min(best, len + it->second);
    return best;
}

TEST(FitchPeerTest, WeightedFitEqualsFitchOnUserTrees)
{
    if (access(kFitch, X_OK) != 0)
        GTEST_SKIP() << "PHYLIP fitch is not installed";
    const DistSettings saved = dist;
    dist.objective = kObjectiveLsFit;
    dist.lsWts = 0;
    dist.power = 2.0;
    dist.negBrLen = kNegBrLenAllow;
    std::mt19937 rng(31337);
    std::uniform_real_distribution<double> len(0.02, 0.3);
    std::normal_distribution<double> noise(0.0, 0.05);
    for (uint32_t n : {5u, 8u, 12u, 20u, 30u}) {
        // Path lengths of a random tree with noise, fitted on that tree: fitch
        // iterates its lengths and reaches the optimum where the tree suits
        // the data; on a wrong tree it stops short of it (its sum of squares
        // stays above the exact minimum).
        TreeHandle t = lsref::randomTree(n, n, rng);
        for (TreeNode *e = t->root->next; e; e = e->next)
            e->edge.brlen = len(rng);
        lsref::HalfMatrix m(n);
        for (uint32_t i = 1; i < n; i++)
            for (uint32_t j = 0; j < i; j++)
                m.rows[i][j] = ourPath(t.get(), i, j) * (1.0 + noise(rng));
        LSData *ls = createLSData(m.get(), t.get(), n, false);
        ASSERT_EQ(prepLS(ls, false), 0);
        const double ss = calcDistanceFitForTree(ls, t.get(), false, 1e37);
        destroyLSData(ls);
        const FitchResult peer = runFitch(m, t.get());
        ASSERT_GE(peer.ss, 0.0) << "fitch gave no sum of squares";
        SCOPED_TRACE(testing::Message() << n << " taxa");
        EXPECT_NEAR(2.0 * ss, peer.ss, 5e-6 + 1e-6 * peer.ss);
        const Splits ours = ourSplits(t.get(), n), theirs = fitchSplits(peer, n);
        ASSERT_EQ(ours.size(), theirs.size());
        for (const auto &[split, len] : ours) {
            ASSERT_TRUE(theirs.count(split));
            // fitch stops iterating up to two units in the fourth decimal
            // short of the optimum on the larger trees.
            EXPECT_NEAR(len, theirs.at(split), 2e-4);
        }
        // Its lengths never fit better than ours: ours are the optimum.
        double fitchSS = 0.0;
        for (uint32_t a = 0; a < n; a++)
            for (uint32_t b = a + 1; b < n; b++) {
                double path = 0.0;
                for (const auto &[split, len] : theirs)
                    path += split[a] != split[b] ? len : 0.0;
                const double d = m.d(a, b);
                fitchSS += (d - path) * (d - path) / (d * d);
            }
        EXPECT_GE(fitchSS, ss - 1e-12);
    }
    dist = saved;
}

}  // namespace

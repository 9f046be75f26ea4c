#include <array>
#include <cmath>
#include <functional>
#include <random>
#include <set>

#include "parsimony/partitn.h"
#include "search/freqdist.h"
#include "search/scores.h"
#include "search/search_settings.h"
#include "search/xsearch.h"
#include "trees/constr.h"
#include "search_fixture.h"

namespace {

using Splits = std::vector<uint64_t>;

// A plain reference: every unrooted binary tree by insertion of taxa into
// the edges of a growing edge list, each scored one character at a time
// (Fitch sets for unordered characters, Farris intervals for ordered ones).
struct Matrix {
    uint32_t ntax = 0, nchar = 0;
    std::vector<std::string> rows;    // '0'..'3' or '?'
    std::vector<uint8_t> ordered;     // per character
    std::vector<double> weight;       // per character
};

struct Cell {
    uint32_t set;    // unordered: state bits
    int lo, hi;      // ordered: interval
};

Cell tipCell(const Matrix &m, uint32_t t, uint32_t c)
{
    const char ch = m.rows[t][c];
    if (ch == '?')
        return {0xF, 0, 3};
    const int s = ch - '0';
    return {1u << s, s, s};
}

int join(const Matrix &m, uint32_t c, Cell a, Cell b, Cell *out)
{
    int cost = 0;
    if (m.ordered[c]) {
        const int lo = std::max(a.lo, b.lo), hi = std::min(a.hi, b.hi);
        cost = std::max(0, lo - hi);
        *out = {0, std::min(lo, hi), std::max(lo, hi)};
    } else {
        cost = (a.set & b.set) ? 0 : 1;
        *out = {cost ? a.set | b.set : a.set & b.set, 0, 0};
    }
    return cost;
}

struct RefTree {
    std::vector<std::array<uint32_t, 2>> edges;  // nodes: tips 0..n-1, internal n..
    uint32_t nodes = 0;
};

int scoreChar(const Matrix &m, const std::vector<std::vector<uint32_t>> &adj, uint32_t c, uint32_t v, uint32_t from,
              Cell *out)
{
    if (v < m.ntax && from != UINT32_MAX)
        return *out = tipCell(m, v, c), 0;
    int len = 0;
    bool first = true;
    for (uint32_t w : adj[v]) {
        if (w == from)
            continue;
        Cell sub;
        len += scoreChar(m, adj, c, w, v, &sub);
        if (first)
            *out = sub, first = false;
        else
            len += join(m, c, *out, sub, out);
    }
    if (v < m.ntax) {  // the root tip
        Cell own = tipCell(m, v, c);
        len += join(m, c, own, *out, out);
    }
    return len;
}

std::vector<int> refCharLengths(const Matrix &m, const RefTree &t)
{
    std::vector<std::vector<uint32_t>> adj(t.nodes);
    for (auto e : t.edges)
        adj[e[0]].push_back(e[1]), adj[e[1]].push_back(e[0]);
    std::vector<int> lengths(m.nchar);
    for (uint32_t c = 0; c < m.nchar; c++) {
        Cell r{};
        lengths[c] = scoreChar(m, adj, c, 0, UINT32_MAX, &r);
    }
    return lengths;
}

double refScore(const Matrix &m, const RefTree &t)
{
    const std::vector<int> lengths = refCharLengths(m, t);
    double total = 0.0;
    for (uint32_t c = 0; c < m.nchar; c++)
        total += m.weight[c] * lengths[c];
    return total;
}

// Implied weighting with constant k, every character counted: each adds
// -w k' / (k' + extra steps), k' = k + 1, the extra steps over the fewest
// the character's observed states allow.
double refGoloboffFit(const Matrix &m, const RefTree &t, uint32_t k)
{
    const std::vector<int> lengths = refCharLengths(m, t);
    const double K = k + 1.0;
    double fit = 0.0;
    for (uint32_t c = 0; c < m.nchar; c++) {
        int lo = 4, hi = -1, distinct = 0;
        uint32_t seen = 0;
        for (uint32_t x = 0; x < m.ntax; x++)
            if (m.rows[x][c] != '?') {
                const int s = m.rows[x][c] - '0';
                lo = std::min(lo, s), hi = std::max(hi, s);
                distinct += !(seen >> s & 1);
                seen |= 1u << s;
            }
        const int least = hi < 0 ? 0 : m.ordered[c] ? hi - lo : distinct - 1;
        fit -= m.weight[c] * K / (K + lengths[c] - least);
    }
    return fit;
}

uint64_t sideMask(const std::vector<std::vector<uint32_t>> &adj, uint32_t ntax, uint32_t v, uint32_t from)
{
    uint64_t mask = v < ntax ? uint64_t{1} << v : 0;
    for (uint32_t w : adj[v])
        if (w != from)
            mask |= sideMask(adj, ntax, w, v);
    return mask;
}

Splits normalise(std::vector<uint64_t> s, uint32_t ntax)
{
    const uint64_t all = (uint64_t{1} << ntax) - 1;
    for (uint64_t &x : s)
        if (x & 1)
            x = all & ~x;
    std::sort(s.begin(), s.end());
    return s;
}

Splits refSplits(const RefTree &t, uint32_t ntax)
{
    std::vector<std::vector<uint32_t>> adj(t.nodes);
    for (auto e : t.edges)
        adj[e[0]].push_back(e[1]), adj[e[1]].push_back(e[0]);
    std::vector<uint64_t> s;
    for (auto e : t.edges)
        if (e[0] >= ntax && e[1] >= ntax)
            s.push_back(sideMask(adj, ntax, e[1], e[0]));
    return normalise(s, ntax);
}

struct RefResult {
    double best = 1e300, worst = -1e300;
    uint64_t trees = 0;
    std::set<Splits> optimal;
};

using TreeFilter = std::function<bool(const RefTree &)>;
using TreeScorer = std::function<double(const RefTree &)>;

// Scores within 1e-9 of each other tie (real-valued fits summed in another
// order differ in the last bits).
void enumerate(const Matrix &m, RefTree &t, uint32_t next, RefResult &r, const TreeFilter &keep,
               const TreeScorer &score)
{
    if (next == m.ntax) {
        if (keep && !keep(t))
            return;
        const double s = score ? score(t) : refScore(m, t);
        r.trees++;
        r.worst = std::max(r.worst, s);
        if (s < r.best - 1e-9)
            r.best = s, r.optimal.clear();
        if (s <= r.best + 1e-9)
            r.optimal.insert(refSplits(t, m.ntax));
        return;
    }
    const size_t edges = t.edges.size();
    for (size_t i = 0; i < edges; i++) {
        const auto e = t.edges[i];
        const uint32_t w = t.nodes++;
        t.edges[i] = {e[0], w};
        t.edges.push_back({w, e[1]});
        t.edges.push_back({w, next});
        enumerate(m, t, next + 1, r, keep, score);
        t.edges.resize(edges);
        t.edges[i] = e;
        t.nodes--;
    }
}

RefResult reference(const Matrix &m, const TreeFilter &keep = {}, const TreeScorer &score = {})
{
    RefTree t;
    t.nodes = m.ntax + 1;
    for (uint32_t i = 0; i < 3; i++)
        t.edges.push_back({m.ntax, i});
    RefResult r;
    enumerate(m, t, 3, r, keep, score);
    return r;
}

// Characters of nested random clades with noise, some four-state, some
// missing: ties among the best trees are common.
Matrix randomMatrix(std::mt19937 &gen, uint32_t ntax, uint32_t nchar, bool weighted)
{
    Matrix m;
    m.ntax = ntax;
    m.nchar = nchar;
    m.rows.assign(ntax, std::string(nchar, '0'));
    std::vector<uint32_t> order(ntax);
    std::iota(order.begin(), order.end(), 0u);
    std::shuffle(order.begin(), order.end(), gen);
    for (uint32_t c = 0; c < nchar; c++) {
        const uint32_t states = 2 + gen() % 3;
        for (uint32_t s = 1; s < states; s++) {
            const uint32_t size = 2 + gen() % (ntax - 3);
            const uint32_t start = gen() % (ntax - size + 1);
            for (uint32_t i = start; i < start + size; i++)
                m.rows[order[i]][c] = static_cast<char>('0' + s);
        }
        for (uint32_t t = 0; t < ntax; t++) {
            const uint32_t roll = gen() % 100;
            if (roll < 8)
                m.rows[t][c] = static_cast<char>('0' + gen() % states);
            else if (roll < 11)
                m.rows[t][c] = '?';
        }
        m.ordered.push_back(gen() % 3 == 0);
        m.weight.push_back(weighted ? 1 + static_cast<int>(gen() % 3) : 1);
    }
    return m;
}

class Xsearch : public SearchTest {
protected:
    void SetUp() override
    {
        SearchTest::SetUp();
        savedSrch = srch;
        savedBbex = bbex;
        savedPars = gPars;
        savedServices = parsServices();
        srch.dStatus = 0;
        srch.keep = 0;
        srch.mulTrees = 1;
        srch.fdOnly = 0;
        bbex = ExactSearchOptions{};
        gPars.collapse = 0;
    }
    void TearDown() override
    {
        srch = savedSrch;
        bbex = savedBbex;
        gPars = savedPars;
        installParsServices(savedServices);
        gPars.altPrep = 1;
        setXsearchPartitionBound(true);
        SearchTest::TearDown();
    }

    // A nonempty ancestor row ('0'..'3' or '?') becomes the user's ancestor.
    void load(const Matrix &m, const std::string &ancestor = {})
    {
        dropData();
        data = createDataInfo();
        std::snprintf(data->symbols, sizeof data->symbols, "0123");
        data->nchar = m.nchar;
        ASSERT_EQ(allocTaxaMemory(data, m.ntax), 0);
        ASSERT_EQ(initCharInfo(data), 0);
        ASSERT_EQ(initializeRawData(data, 0), 0);
        data->flags |= kHaveTaxa | kHaveCharacters;
        for (uint32_t t = 0; t < m.ntax; t++)
            for (uint32_t c = 0; c < m.nchar; c++) {
                const char ch = m.rows[t][c];
                ASSERT_EQ(setXijRaw(data, t, c,
                                    ch == '?' ? static_cast<uint8_t>(data->nstates) : static_cast<uint8_t>(ch - '0')),
                          0);
            }
        for (uint32_t c = 0; c < m.nchar; c++) {
            data->status[c] = (data->status[c] & ~kCharTypeMask) | (m.ordered[c] ? kCharOrdered : kCharUnordered);
            data->weights[c] = m.weight[c];
            if (!ancestor.empty())
                data->ancestor[c] = ancestor[c] == '?' ? static_cast<uint8_t>(data->nstates)
                                                       : stateBitsToCode(uint64_t{1} << (ancestor[c] - '0'), data);
        }
        setActiveDataInfo(data);
        gPars.pending = 3;
        ASSERT_EQ(prepareParsimonyData(data), 0);
        activeBuffer(m.ntax, 30000);
    }

    std::set<Splits> bufferTrees(uint32_t ntax)
    {
        std::set<Splits> out;
        TreeBuffer *buf = getActiveTreeBuffer();
        TreeHandle t(createTreeForTaxa(ntax, ntax, true));
        for (uint32_t k = 1; k <= numTreesInBuffer(buf); k++) {
            EXPECT_EQ(getTree(buf, k, t.get()), 0);
            std::vector<std::vector<uint32_t>> adj(t->maxNodes);
            for (uint32_t p = 0; p < t->maxNodes; p++) {
                TreeNode *n = t->nodes + p;
                if (n->anc)
                    adj[p].push_back(nodePosition(t.get(), n->anc)),
                        adj[nodePosition(t.get(), n->anc)].push_back(p);
            }
            std::vector<uint64_t> s;
            for (uint32_t p = 0; p < t->maxNodes; p++) {
                TreeNode *n = t->nodes + p;
                if (n->anc && n->firstChild && n->anc->anc)
                    s.push_back(sideMask(adj, p, nodePosition(t.get(), n->anc), ntax));
            }
            out.insert(normalise(s, ntax));
        }
        return out;
    }

    // The clusters of the rooted trees in the buffer (the root's left out).
    std::set<Splits> bufferClusters(uint32_t ntax)
    {
        std::set<Splits> out;
        TreeBuffer *buf = getActiveTreeBuffer();
        TreeHandle t(createTreeForTaxa(ntax, ntax, true));
        const uint64_t all = (uint64_t{1} << ntax) - 1;
        for (uint32_t k = 1; k <= numTreesInBuffer(buf); k++) {
            EXPECT_EQ(getTree(buf, k, t.get()), 0);
            std::function<uint64_t(const TreeNode *)> below = [&](const TreeNode *n) {
                uint64_t mask = n->firstChild ? 0 : uint64_t{1} << (nodePosition(t.get(), n) - 1);
                for (const TreeNode *c = n->firstChild; c; c = c->nextSib)
                    mask |= below(c);
                return mask;
            };
            Splits s;
            for (uint32_t p = 0; p < t->maxNodes; p++)
                if (const TreeNode *n = t->nodes + p; n->anc && n->firstChild && below(n) != all)
                    s.push_back(below(n));
            std::sort(s.begin(), s.end());
            out.insert(s);
        }
        return out;
    }

    // Node positions 1 + t are the tips; the mask is built over positions.
    static uint64_t sideMask(const std::vector<std::vector<uint32_t>> &adj, uint32_t v, uint32_t from, uint32_t ntax)
    {
        uint64_t mask = v >= 1 && v <= ntax ? uint64_t{1} << (v - 1) : 0;
        for (uint32_t w : adj[v])
            if (w != from)
                mask |= sideMask(adj, w, v, ntax);
        return mask;
    }

    SearchSettings savedSrch{};
    ExactSearchOptions savedBbex{};
    ParsSettings savedPars{};
    ParsServices savedServices{};
};

// The key test: branch and bound under every addition sequence, with and
// without the partition bound, keeps the best score and the very set of
// best trees of a plain exhaustive enumeration; the exhaustive search
// scores every tree once and finds the same best and worst.
TEST_F(Xsearch, BranchAndBoundAndExhaustiveMatchPlainEnumeration)
{
    std::mt19937 gen(2024);
    for (int trial = 0; trial < 8; trial++) {
        const uint32_t ntax = 6 + trial % 4;
        const Matrix m = randomMatrix(gen, ntax, 8 + gen() % 10, trial % 3 == 2);
        const RefResult ref = reference(m);
        load(m);
        ASSERT_EQ(exactTreeSearch(true, 1), 0);
        const XsearchResult &ex = lastXsearchResult();
        EXPECT_EQ(ex.evaluated, ref.trees) << "trial " << trial;
        EXPECT_EQ(ex.best, ref.best) << "trial " << trial;
        EXPECT_EQ(ex.worst, ref.worst) << "trial " << trial;
        EXPECT_EQ(bufferTrees(ntax), ref.optimal) << "trial " << trial;
        for (uint32_t seq = 0; seq < 5; seq++)
            for (bool ptn : {true, false}) {
                bbex.addSeq = seq;
                setXsearchPartitionBound(ptn);
                ASSERT_EQ(exactTreeSearch(false, 1), 0);
                EXPECT_EQ(lastXsearchResult().best, ref.best) << "trial " << trial << " addSeq " << seq;
                EXPECT_EQ(bufferTrees(ntax), ref.optimal)
                    << "trial " << trial << " addSeq " << seq << " ptn " << ptn << " optimal " << ref.optimal.size();
            }
    }
}

// Trees hung from a user's ancestor are the unrooted trees with the
// ancestor as one more taxon. The bound on what the taxa still to come must
// add counts the ancestor's states as present from the start; each
// addition sequence keeps the very best trees of the enumeration.
TEST_F(Xsearch, BranchAndBoundFromAncestorMatchesEnumerationWithAncestorAsTaxon)
{
    ParsServices named = parsServices();
    named.ancestorSetName = [] { return "A1"; };
    installParsServices(named);
    srch.includeAnc = 1;
    std::mt19937 gen(77);
    for (int trial = 0; trial < 10; trial++) {
        const uint32_t ntax = 5 + trial % 3;
        SCOPED_TRACE(::testing::Message() << "trial " << trial);
        const Matrix m = randomMatrix(gen, ntax, 4 + gen() % 8, trial % 4 == 3);
        std::string ancestor;
        for (uint32_t c = 0; c < m.nchar; c++)
            ancestor += gen() % 5 == 0 ? '?' : static_cast<char>('0' + gen() % 4);
        Matrix withAncestor = m;
        withAncestor.ntax++;
        withAncestor.rows.push_back(ancestor);
        const RefResult ref = reference(withAncestor);
        std::set<Splits> optimal;
        const uint64_t anc = uint64_t{1} << ntax, every = 2 * anc - 1;
        for (Splits s : ref.optimal) {
            for (uint64_t &x : s)
                x = x & anc ? every & ~x : x;
            std::sort(s.begin(), s.end());
            optimal.insert(s);
        }
        load(m, ancestor);
        ASSERT_EQ(exactTreeSearch(true, 1), 0);
        EXPECT_EQ(lastXsearchResult().evaluated, ref.trees);
        EXPECT_EQ(lastXsearchResult().best, ref.best);
        EXPECT_EQ(bufferClusters(ntax), optimal) << "optimal " << optimal.size();
        for (uint32_t seq = 0; seq < 5; seq++) {
            bbex.addSeq = seq;
            ASSERT_EQ(exactTreeSearch(false, 1), 0);
            EXPECT_EQ(lastXsearchResult().best, ref.best) << "addSeq " << seq;
            EXPECT_EQ(bufferClusters(ntax), optimal) << "addSeq " << seq;
        }
    }
}

// Under implied weighting neither search may stop without a reason: the
// exhaustive search scores every tree by its fit, and branch and bound
// (every addition sequence) bounds by the fits of partial trees, both
// keeping the best fit and the very best trees of a plain enumeration.
TEST_F(Xsearch, GoloboffFitSearchesMatchPlainEnumeration)
{
    std::mt19937 gen(77);
    for (int trial = 0; trial < 4; trial++) {
        const uint32_t ntax = 6 + trial % 3;
        const uint32_t k = 2 + trial % 2;
        SCOPED_TRACE(::testing::Message() << "trial " << trial << " k " << k);
        const Matrix m = randomMatrix(gen, ntax, 8 + gen() % 8, trial % 2 == 1);
        const RefResult ref = reference(m, {}, [&](const RefTree &t) { return refGoloboffFit(m, t, k); });
        gPars.goloboff = 1;
        gPars.gK = k;
        gPars.gUninf = 1;
        gPars.altPrep = 1;
        load(m);
        ASSERT_EQ(exactTreeSearch(true, 1), 0) << ::testing::PrintToString(gErrorCodes);
        EXPECT_EQ(lastXsearchResult().evaluated, ref.trees);
        EXPECT_NEAR(lastXsearchResult().best, ref.best, 1e-9);
        EXPECT_NEAR(lastXsearchResult().worst, ref.worst, 1e-9);
        EXPECT_EQ(bufferTrees(ntax), ref.optimal);
        for (uint32_t seq = 0; seq < 5; seq++) {
            bbex.addSeq = seq;
            ASSERT_EQ(exactTreeSearch(false, 1), 0) << "addSeq " << seq;
            EXPECT_NEAR(lastXsearchResult().best, ref.best, 1e-9) << "addSeq " << seq;
            EXPECT_EQ(bufferTrees(ntax), ref.optimal) << "addSeq " << seq;
        }
    }
}

// Weights that are not binary fractions give sums that differ from the
// exact values in their last bits, and differently from tree to tree: the
// searches must compare them within the weights' tolerance. AllTrees and
// BandB (every addition sequence, with and without the partition bound)
// keep the very best trees of a plain enumeration, and a bound given as
// the optimum typed in keeps them all, one step below it none.
TEST_F(Xsearch, RealWeightSearchesMatchPlainEnumeration)
{
    installScoreTypeHook();
    // Per weight set: a weight of character c, and the decimals of the set.
    struct WeightSet {
        std::function<double(std::mt19937 &)> draw;
        int decimals;
    };
    const std::vector<WeightSet> sets = {
        {[](std::mt19937 &) { return 0.1; }, 1},
        {[](std::mt19937 &g) { return 0.1 * static_cast<double>(1 + g() % 9); }, 1},
        {[](std::mt19937 &g) { return 0.01 * static_cast<double>(1 + g() % 300); }, 2},
        {[](std::mt19937 &g) { return g() % 2 ? 0.3 : 0.7; }, 1},
    };
    std::mt19937 gen(4711);
    for (int trial = 0; trial < 8; trial++) {
        const uint32_t ntax = 6 + trial % 3;
        const WeightSet &ws = sets[static_cast<size_t>(trial) % sets.size()];
        SCOPED_TRACE(::testing::Message() << "trial " << trial);
        Matrix m = randomMatrix(gen, ntax, 10 + gen() % 12, false);
        for (double &w : m.weight)
            w = ws.draw(gen);
        const RefResult ref = reference(m);
        load(m);
        ASSERT_EQ(exactTreeSearch(true, 1), 0);
        EXPECT_EQ(lastXsearchResult().evaluated, ref.trees);
        EXPECT_NEAR(lastXsearchResult().best, ref.best, 1e-9);
        EXPECT_EQ(bufferTrees(ntax), ref.optimal) << "optimal " << ref.optimal.size();
        for (uint32_t seq = 0; seq < 5; seq++)
            for (bool ptn : {true, false}) {
                bbex.addSeq = seq;
                setXsearchPartitionBound(ptn);
                ASSERT_EQ(exactTreeSearch(false, 1), 0);
                EXPECT_NEAR(lastXsearchResult().best, ref.best, 1e-9) << "addSeq " << seq << " ptn " << ptn;
                EXPECT_EQ(bufferTrees(ntax), ref.optimal) << "addSeq " << seq << " ptn " << ptn;
            }
        bbex.addSeq = 0;
        const double unit = std::pow(10.0, -ws.decimals);
        const double typed = std::round(ref.best / unit) * unit;
        for (double bound : {typed, typed - unit}) {
            bbex.upBound = bound;
            ASSERT_EQ(exactTreeSearch(false, 1), 0);
            EXPECT_EQ(bufferTrees(ntax), bound == typed ? ref.optimal : std::set<Splits>{}) << "upBound " << bound;
        }
        bbex.upBound = 0.0;
    }
}

// A constraint as the oracle sees it: monophyly groups, backbone groups
// over the backbone's taxa (the last mask), or the subsets of a convexity
// partition.
struct RefConstraint {
    uint32_t type;
    std::vector<uint64_t> groups;
};

// Split-based verdict: every group appears as one side of some split of the
// tree restricted to the constraint's taxa; a partition is convex when its
// subset character needs no extra step (Fitch over the reference tree).
bool refSatisfies(const RefTree &t, const RefConstraint &c, uint32_t ntax)
{
    const uint64_t all = (uint64_t{1} << ntax) - 1;
    if (c.type == kConConvexity) {
        Matrix sub;
        sub.ntax = ntax;
        sub.nchar = 1;
        sub.rows.assign(ntax, "0");
        for (size_t k = 0; k < c.groups.size(); k++)
            for (uint32_t x = 0; x < ntax; x++)
                if (c.groups[k] >> x & 1)
                    sub.rows[x][0] = static_cast<char>('0' + k);
        sub.ordered = {0};
        sub.weight = {1};
        return refScore(sub, t) <= static_cast<double>(c.groups.size()) - 1;
    }
    const uint64_t within = c.type == kConBackbone ? c.groups.back() : all;
    const size_t n = c.type == kConBackbone ? c.groups.size() - 1 : c.groups.size();
    std::vector<std::vector<uint32_t>> adj(t.nodes);
    for (auto e : t.edges)
        adj[e[0]].push_back(e[1]), adj[e[1]].push_back(e[0]);
    for (size_t k = 0; k < n; k++) {
        bool found = false;
        for (auto e : t.edges) {
            const uint64_t side = sideMask(adj, ntax, e[1], e[0]) & within;
            found |= side == c.groups[k] || side == (within & ~c.groups[k]);
        }
        if (!found)
            return false;
    }
    return true;
}

// The key test under constraints: AllTrees and BandB (every addition
// sequence, with and without the partition bound) keep the best score and
// the set of best trees of a plain enumeration filtered by the oracle,
// positive and converse; AllTrees counts exactly the trees admitted.
TEST_F(Xsearch, ConstrainedSearchesMatchFilteredEnumeration)
{
    std::mt19937 gen(3131);
    const std::vector<RefConstraint> cons = {
        {kConMonophyly, {0b00000110, 0b00110110}},
        {kConBackbone, {0b01000001, 0b11001001}},
        {kConConvexity, {0b10010011, 0b01100100, 0b00001000}},
    };
    int trial = 0;
    for (const RefConstraint &c : cons)
        for (bool converse : {false, true}) {
            const uint32_t ntax = 8 + trial % 2;
            SCOPED_TRACE(::testing::Message() << "trial " << trial << " type " << c.type << " converse " << converse);
            trial++;
            RefConstraint full = c;
            if (c.type == kConConvexity)  // the last subset takes the taxa beyond eight
                full.groups.back() |= ((uint64_t{1} << ntax) - 1) & ~uint64_t{0xFF};
            const Matrix m = randomMatrix(gen, ntax, 6 + gen() % 6, trial % 2 == 0);
            const RefResult ref = reference(m, [&](const RefTree &t) { return refSatisfies(t, full, ntax) != converse; });
            ASSERT_GT(ref.trees, 0u);
            load(m);
            deallocAllConstraints();
            SplitsList *groups = createSplitsList(ntax, static_cast<uint32_t>(full.groups.size()), true);
            for (uint64_t g : full.groups)
                appendSplitToList(groups, &g);
            ASSERT_NE(addConstraint("c", full.type, groups, true), nullptr);
            srch.enforce = 1;
            srch.converse = converse;
            ASSERT_EQ(exactTreeSearch(true, 1), 0) << ::testing::PrintToString(gErrorCodes);
            EXPECT_EQ(lastXsearchResult().evaluated, ref.trees);
            EXPECT_EQ(lastXsearchResult().best, ref.best);
            EXPECT_EQ(lastXsearchResult().worst, ref.worst);
            EXPECT_EQ(bufferTrees(ntax), ref.optimal);
            for (uint32_t seq = 0; seq < 5; seq++)
                for (bool ptn : {true, false}) {
                    bbex.addSeq = seq;
                    setXsearchPartitionBound(ptn);
                    ASSERT_EQ(exactTreeSearch(false, 1), 0);
                    EXPECT_EQ(lastXsearchResult().best, ref.best) << "addSeq " << seq << " ptn " << ptn;
                    EXPECT_EQ(bufferTrees(ntax), ref.optimal) << "addSeq " << seq << " ptn " << ptn;
                }
            srch.enforce = 0;
            srch.converse = 0;
            deallocAllConstraints();
        }
}

// In a replicated analysis the rows name the replicate, in a column that
// widens the heading; each row is as wide as its heading's rule.
TEST_F(Xsearch, StatusRowsNameTheReplicateWhenReplicated)
{
    struct Row {
        bool exhaustive, replicated;
        std::string expected;
    };
    const Row rows[] = {
        {false, false,
         "\n    Elapsed  % Search-    # Trees      Score of       Current\n"
         "       time  tree done      saved    best trees   upper bound\n" + std::string(61, '-') + "\n" +
             "    0:00:01     66.772          2           135           136\n"},
        {false, true,
         "\n    Elapsed         % Search-    # Trees      Score of       Current\n"
         "       time    Rep  tree done      saved    best trees   upper bound\n" + std::string(68, '-') + "\n" +
             "    0:00:01     12     66.772          2           135           136\n"},
        {true, true,
         "\n    Elapsed         % Search-    # Trees    # Trees      Score of\n"
         "       time    Rep  tree done  evaluated      saved    best trees\n" + std::string(65, '-') + "\n" +
             "    0:00:01     12     66.772        945          2           135\n"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(testing::Message() << row.exhaustive << row.replicated);
        gPrinted.clear();
        showXsearchStatusHeader(row.exhaustive, row.replicated);
        showXsearchStatusRow(row.exhaustive, "0:00:01", row.replicated ? "12" : nullptr, 66.772, 945, 2, 135, 136);
        EXPECT_EQ(gPrinted, row.expected);
        const size_t rule = gPrinted.rfind("-\n");
        EXPECT_EQ(gPrinted.size() - rule - 3, rule - gPrinted.rfind('\n', rule - 1)) << "row width";
    }
}

}  // namespace

#include "trees/agree.h"

#include <algorithm>
#include <bit>
#include <limits>
#include <new>

#include "qel/qel_clique.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_malloc.h"
#include "qel/qel_progress.h"

namespace {

constexpr uint32_t kNone = 0xFFFFFFFFu;
constexpr uint64_t kMaxCount = std::numeric_limits<uint64_t>::max();

uint64_t satAdd(uint64_t a, uint64_t b) { return a > kMaxCount - b ? kMaxCount : a + b; }
uint64_t satMul(uint64_t a, uint64_t b)
{
    if (a == 0 || b == 0)
        return 0;
    return a > kMaxCount / b ? kMaxCount : a * b;
}

bool hasBit(const uint64_t *set, uint32_t t) { return (set[t / 64] >> (t % 64)) & 1; }
void putBit(uint64_t *set, uint32_t t) { set[t / 64] |= uint64_t{1} << (t % 64); }

// One tree as an undirected node table (tips 0..ntax-1 are the taxa, then
// the internal nodes), oriented anew for every rooting.
struct RivalTree {
    std::vector<uint32_t> adjStart;  // numNodes + 1
    std::vector<uint32_t> adj;
    uint32_t numNodes = 0;
    uint32_t top = kNone;            // rooted trees: the basal fork
    std::vector<uint32_t> parent;    // of the current rooting; kNone at the top
    std::vector<uint64_t> clusters;  // numNodes x words, of the current rooting
    std::vector<uint32_t> order;     // preorder of the current rooting
};

// What the recursion chose at one pair: the tied best sides, and at a
// polytomy the candidates with their tied best subtrees and the heaviest
// cliques of compatible candidates.
struct PairChoice {
    uint32_t ySize = 1, xSize = 1;
    uint64_t yCount = 1, xCount = 1;
    std::vector<uint32_t> yTies, xTies;             // partners z of y / w of x (the taxon itself: alone)
    std::vector<uint32_t> cands;                    // candidate taxa c
    std::vector<std::vector<uint32_t>> candTies;    // per candidate, its tied partners w
    std::vector<uint32_t> candSize;
    std::vector<uint64_t> candCount;
    int32_t cliqueWeight = 0;
    std::vector<CliqueBits> cliques;                // every heaviest clique
};

}  // namespace

struct AgreementWork {
    uint32_t ntax = 0;
    uint32_t words = 0;
    bool rooted = false;
    bool polytomies = false;
    std::vector<RivalTree> trees;
    // The current rooting: taxa 0..k-1 take part.
    uint32_t k = 0;
    std::vector<uint64_t> outside;   // per pair: taxa inside the ancestor of the pair in some tree
    std::vector<uint64_t> between;   // per pair (polytomies): taxa in a third child of it in every tree
    std::vector<uint32_t> size;      // per pair, 0 = not yet computed
    std::vector<uint64_t> count;
    std::vector<uint64_t> best;      // per pair: the taxa of one best subtree
    // Enumeration: per pair its taxon sets (flat, words each) once made.
    std::vector<std::vector<uint64_t>> pairSets;
    std::vector<uint8_t> pairSetsMade;
    uint64_t setsMade = 0;
    bool capped = false;
    bool memoryFailed = false;
    AgreeProgress progress = nullptr;
    void *context = nullptr;

    static size_t pair(uint32_t x, uint32_t y) { return size_t(x) * (x - 1) / 2 + y; }  // x > y
    const uint64_t *unionAt(uint32_t x, uint32_t y) const { return outside.data() + pair(x, y) * words; }
    const uint64_t *betweenAt(uint32_t x, uint32_t y) const { return between.data() + pair(x, y) * words; }
};

void AgreementWorkDeleter::operator()(AgreementWork *work) const { delete work; }

AgreementWorkPtr initializeAgreement(uint32_t ntax, bool rooted)
{
    AgreementWork *work = new (std::nothrow) AgreementWork;
    if (!work)
        return AgreementWorkPtr();
    work->ntax = ntax;
    work->words = (ntax + 63) / 64;
    work->rooted = rooted;
    return AgreementWorkPtr(work);
}

void clearAgreementTrees(AgreementWork *work)
{
    work->trees.clear();
    work->polytomies = false;
}

bool agreementHasPolytomies(const AgreementWork *work) { return work->polytomies; }

uint64_t numAgreementPairs(uint64_t n, bool rooted)
{
    if (n < 2)
        return 0;
    return rooted ? n * (n - 1) / 2 : n * (n - 1) / 2 * (n - 2) / 3;
}

uint64_t numPairsPerRooting(const AgreementWork *work) { return numAgreementPairs(work->ntax, work->rooted); }

uint32_t ScaledProgress::begin(uint64_t total)
{
    constexpr uint64_t kMax = std::numeric_limits<uint32_t>::max();
    stride = total > kMax ? total / kMax + 1 : 1;
    pending = 0;
    return static_cast<uint32_t>(total / stride);
}

int ScaledProgress::step(ProgData *record)
{
    if (++pending < stride)
        return kProgressContinue;
    pending = 0;
    return incrementProgressValue(record);
}

int getRivalTree(AgreementWork *work, Tree *tree, uint32_t treeNumber)
{
    checkTraversalSeq(tree);
    if (treeNumber != 0 && verifyFullLeafSet(tree, treeNumber, "; cannot compute agreement subtrees") != 0)
        return 1;
    try {
        RivalTree rt;
        const uint32_t ntax = work->ntax;
        std::vector<uint32_t> id(tree->maxNodes, kNone);
        std::vector<std::pair<uint32_t, uint32_t>> edges;
        uint32_t next = ntax;
        uint32_t tips = 0;
        auto idOf = [&](TreeNode *n) -> uint32_t {
            const auto pos = static_cast<uint32_t>(n - tree->nodes);
            if (id[pos] == kNone)
                id[pos] = isTip(n) || !n->anc ? static_cast<uint32_t>(n->index) : next++;
            return id[pos];
        };
        for (TreeNode *n = tree->root; n; n = n->next) {
            if (n->index < 0)  // the ancestor node of a rooted tree
                continue;
            if (!n->firstChild || !n->anc) {
                if (static_cast<uint32_t>(n->index) >= ntax)
                    return 1;
                tips++;
            }
            const uint32_t me = idOf(n);
            if (n->anc && n->anc->index >= 0)
                edges.emplace_back(me, idOf(n->anc));
            else if (n->anc)
                rt.top = me;
        }
        if (tips != ntax) {
            if (treeNumber != 0)
                qel_errorMsg(0, "One or more taxa missing from tree %d%s.", static_cast<int>(treeNumber),
                             "; cannot compute agreement subtrees");
            return 1;
        }
        rt.numNodes = next;
        rt.adjStart.assign(next + 1, 0);
        for (auto [a, b] : edges) {
            rt.adjStart[a + 1]++;
            rt.adjStart[b + 1]++;
        }
        for (uint32_t v = 0; v < next; v++)
            rt.adjStart[v + 1] += rt.adjStart[v];
        rt.adj.resize(rt.adjStart[next]);
        std::vector<uint32_t> fill(rt.adjStart.begin(), rt.adjStart.end() - 1);
        for (auto [a, b] : edges) {
            rt.adj[fill[a]++] = b;
            rt.adj[fill[b]++] = a;
        }
        for (uint32_t v = ntax; v < next; v++) {
            const uint32_t degree = rt.adjStart[v + 1] - rt.adjStart[v];
            if (degree > 3 || (v == rt.top && degree > 2))
                work->polytomies = true;
        }
        rt.parent.resize(next);
        rt.clusters.resize(size_t(next) * work->words);
        work->trees.push_back(std::move(rt));
    } catch (const std::bad_alloc &) {
        reportMemoryFailure();
        return 1;
    }
    return 0;
}

namespace {

// Orients a tree at its top (rooted) or at the tip of taxon r (unrooted: the
// root tip's own cluster is left holding every taxon, so a walk up from any
// taxon ends there) and makes the clusters.
void orientTree(AgreementWork &w, RivalTree &t, uint32_t r)
{
    const uint32_t words = w.words;
    const uint32_t start = w.rooted ? t.top : r;
    std::fill(t.clusters.begin(), t.clusters.end(), 0);
    t.order.clear();
    t.parent[start] = kNone;
    t.order.push_back(start);
    for (size_t i = 0; i < t.order.size(); i++) {
        const uint32_t v = t.order[i];
        for (uint32_t e = t.adjStart[v]; e < t.adjStart[v + 1]; e++) {
            const uint32_t u = t.adj[e];
            if (u == t.parent[v])
                continue;
            t.parent[u] = v;
            t.order.push_back(u);
        }
    }
    for (size_t i = t.order.size(); i-- > 0;) {
        const uint32_t v = t.order[i];
        uint64_t *mine = t.clusters.data() + size_t(v) * words;
        if (v < w.ntax)
            putBit(mine, v);
        if (t.parent[v] != kNone) {
            uint64_t *up = t.clusters.data() + size_t(t.parent[v]) * words;
            for (uint32_t q = 0; q < words; q++)
                up[q] |= mine[q];
        }
    }
}

// The ancestor sets of every pair of taxa below k in the current rooting.
void prepareRooting(AgreementWork &w, uint32_t r)
{
    const uint32_t words = w.words;
    w.k = w.rooted ? w.ntax : r;
    for (RivalTree &t : w.trees)
        orientTree(w, t, r);
    const size_t pairs = w.k > 1 ? AgreementWork::pair(w.k, 0) : 0;
    w.outside.assign(pairs * words, 0);
    w.between.assign(w.polytomies ? pairs * words : 0, 0);
    w.size.assign(pairs, 0);
    w.count.assign(pairs, 0);
    w.best.assign(pairs * words, 0);
    std::vector<uint64_t> third(words);
    for (uint32_t x = 1; x < w.k; x++)
        for (uint32_t y = 0; y < x; y++) {
            const size_t p = AgreementWork::pair(x, y);
            uint64_t *uni = w.outside.data() + p * words;
            uint64_t *btw = w.polytomies ? w.between.data() + p * words : nullptr;
            bool firstTree = true;
            for (RivalTree &t : w.trees) {
                uint32_t u = x, below = kNone;
                while (!hasBit(t.clusters.data() + size_t(u) * words, y)) {
                    below = u;
                    u = t.parent[u];
                }
                const uint64_t *anc = t.clusters.data() + size_t(u) * words;
                for (uint32_t q = 0; q < words; q++)
                    uni[q] |= anc[q];
                if (!btw)
                    continue;
                uint32_t yChild = y;
                while (t.parent[yChild] != u)
                    yChild = t.parent[yChild];
                const uint64_t *cx = t.clusters.data() + size_t(below) * words;
                const uint64_t *cy = t.clusters.data() + size_t(yChild) * words;
                for (uint32_t q = 0; q < words; q++) {
                    third[q] = anc[q] & ~cx[q] & ~cy[q];
                    btw[q] = firstTree ? third[q] : btw[q] & third[q];
                }
                firstTree = false;
            }
        }
}

uint32_t recMast(AgreementWork &w, uint32_t x, uint32_t y);

uint32_t sizeOf(AgreementWork &w, uint32_t a, uint32_t b)
{
    const size_t p = AgreementWork::pair(a, b);
    return w.size[p] ? w.size[p] : recMast(w, a, b);
}

// The best subtree with smallest taxon c whose taxa lie apart from `away`
// (away outside the ancestor of c and its partner in every tree), among
// partners from..k-1: its size, tied partners and summed counts.
void bestSide(AgreementWork &w, uint32_t c, uint32_t away, uint32_t &bestSize, uint64_t &bestCount,
              std::vector<uint32_t> &ties)
{
    bestSize = 1;
    bestCount = 1;
    ties.assign(1, c);
    for (uint32_t z = c + 1; z < w.k; z++) {
        if (hasBit(w.unionAt(z, c), away))
            continue;
        const uint32_t s = sizeOf(w, z, c);
        const uint64_t n = w.count[AgreementWork::pair(z, c)];
        if (s > bestSize) {
            bestSize = s;
            bestCount = n;
            ties.assign(1, z);
        } else if (s == bestSize) {
            bestCount = satAdd(bestCount, n);
            ties.push_back(z);
        }
    }
}

// The choices at pair (x, y), x > y; false when memory ran out.
bool examinePair(AgreementWork &w, uint32_t x, uint32_t y, PairChoice &ch)
{
    bestSide(w, y, x, ch.ySize, ch.yCount, ch.yTies);
    bestSide(w, x, y, ch.xSize, ch.xCount, ch.xTies);
    if (!w.polytomies || x <= y + 1)
        return true;
    // Further children of the pair's ancestor: taxa c between y and x that
    // lie, in every tree, in a third child of it. A subtree at such a child
    // has c as its smallest taxon and any larger partner.
    const uint64_t *btw = w.betweenAt(x, y);
    for (uint32_t c = y + 1; c < x; c++)
        if (hasBit(btw, c) && hasBit(w.betweenAt(c, y), x))
            ch.cands.push_back(c);
    const auto n = static_cast<uint32_t>(ch.cands.size());
    if (n == 0)
        return true;
    ch.candTies.resize(n);
    ch.candSize.resize(n);
    ch.candCount.resize(n);
    for (uint32_t i = 0; i < n; i++)
        bestSide(w, ch.cands[i], y, ch.candSize[i], ch.candCount[i], ch.candTies[i]);
    const uint32_t rowWords = (n + 63) / 64;
    std::vector<uint64_t> rows(size_t(n) * rowWords, 0);
    std::vector<const uint64_t *> adjacency(n);
    for (uint32_t i = 0; i < n; i++) {
        adjacency[i] = rows.data() + size_t(i) * rowWords;
        for (uint32_t j = 0; j < i; j++)
            if (hasBit(w.betweenAt(ch.cands[i], ch.cands[j]), y)) {
                rows[size_t(i) * rowWords + j / 64] |= uint64_t{1} << (j % 64);
                rows[size_t(j) * rowWords + i / 64] |= uint64_t{1} << (i % 64);
            }
    }
    std::vector<uint32_t> clique(n);
    if (wclique(n, ch.candSize.data(), adjacency.data(), true, &ch.cliqueWeight, clique.data(), &ch.cliques) == 0) {
        w.memoryFailed = true;
        return false;
    }
    return true;
}

const uint64_t *bestSetOf(AgreementWork &w, uint32_t c, uint32_t partner)
{
    return w.best.data() + AgreementWork::pair(partner, c) * w.words;
}

uint32_t recMast(AgreementWork &w, uint32_t x, uint32_t y)
{
    PairChoice ch;
    if (!examinePair(w, x, y, ch))
        return 0;
    const size_t p = AgreementWork::pair(x, y);
    uint64_t *set = w.best.data() + p * w.words;
    auto addSide = [&](uint32_t c, uint32_t partner) {
        if (partner == c) {
            putBit(set, c);
            return;
        }
        const uint64_t *other = bestSetOf(w, c, partner);
        for (uint32_t q = 0; q < w.words; q++)
            set[q] |= other[q];
    };
    addSide(y, ch.yTies[0]);
    addSide(x, ch.xTies[0]);
    uint32_t size = ch.ySize + ch.xSize;
    uint64_t count = satMul(ch.yCount, ch.xCount);
    if (!ch.cands.empty()) {
        size += static_cast<uint32_t>(ch.cliqueWeight);
        uint64_t ways = 0;
        for (const CliqueBits &cl : ch.cliques) {
            uint64_t prod = 1;
            for (uint32_t i = 0; i < ch.cands.size(); i++)
                if (hasBit(cl.data(), i))
                    prod = satMul(prod, ch.candCount[i]);
            ways = satAdd(ways, prod);
        }
        count = satMul(count, ways);
        for (uint32_t i = 0; i < ch.cands.size(); i++)
            if (hasBit(ch.cliques.front().data(), i))
                addSide(ch.cands[i], ch.candTies[i][0]);
    }
    w.size[p] = size;
    w.count[p] = count;
    return size;
}

// Every OR of one set of a with one set of b (flat lists of sets).
bool crossSets(AgreementWork &w, const std::vector<uint64_t> &a, const std::vector<uint64_t> &b,
               std::vector<uint64_t> &out)
{
    const uint32_t words = w.words;
    const size_t na = a.size() / words, nb = b.size() / words;
    if (na * nb > kAgreementSetCap) {
        w.capped = true;
        return false;
    }
    out.assign(na * nb * words, 0);
    uint64_t *o = out.data();
    for (size_t i = 0; i < na; i++)
        for (size_t j = 0; j < nb; j++, o += words)
            for (uint32_t q = 0; q < words; q++)
                o[q] = a[i * words + q] | b[j * words + q];
    return true;
}

const std::vector<uint64_t> *setsOfPair(AgreementWork &w, uint32_t x, uint32_t y);

// The sets of the tied best subtrees with smallest taxon c.
bool sideSets(AgreementWork &w, uint32_t c, const std::vector<uint32_t> &ties, std::vector<uint64_t> &out)
{
    out.clear();
    for (uint32_t z : ties) {
        if (z == c) {
            out.resize(out.size() + w.words, 0);
            putBit(out.data() + out.size() - w.words, c);
            continue;
        }
        const std::vector<uint64_t> *sets = setsOfPair(w, z, c);
        if (!sets)
            return false;
        out.insert(out.end(), sets->begin(), sets->end());
    }
    if (out.size() / w.words > kAgreementSetCap) {
        w.capped = true;
        return false;
    }
    return true;
}

// The taxon sets of every best subtree of pair (x, y), made once.
const std::vector<uint64_t> *setsOfPair(AgreementWork &w, uint32_t x, uint32_t y)
{
    const size_t p = AgreementWork::pair(x, y);
    if (w.pairSetsMade[p])
        return &w.pairSets[p];
    sizeOf(w, x, y);
    PairChoice ch;
    if (!examinePair(w, x, y, ch))
        return nullptr;
    std::vector<uint64_t> ySets, xSets, sets;
    if (!sideSets(w, y, ch.yTies, ySets) || !sideSets(w, x, ch.xTies, xSets) || !crossSets(w, ySets, xSets, sets))
        return nullptr;
    if (!ch.cands.empty()) {
        std::vector<uint64_t> all, combos, cand, next;
        for (const CliqueBits &cl : ch.cliques) {
            combos.assign(w.words, 0);
            for (uint32_t i = 0; i < ch.cands.size(); i++) {
                if (!hasBit(cl.data(), i))
                    continue;
                if (!sideSets(w, ch.cands[i], ch.candTies[i], cand) || !crossSets(w, combos, cand, next))
                    return nullptr;
                combos.swap(next);
            }
            all.insert(all.end(), combos.begin(), combos.end());
        }
        if (!crossSets(w, sets, all, next))
            return nullptr;
        sets.swap(next);
    }
    w.setsMade += sets.size() / w.words;
    if (w.setsMade > kAgreementSetCap) {
        w.capped = true;
        return nullptr;
    }
    w.pairSets[p] = std::move(sets);
    w.pairSetsMade[p] = 1;
    return &w.pairSets[p];
}

struct RootingBest {
    uint32_t size = 0;     // of the pairs (the root taxon not counted)
    uint64_t count = 0;
    size_t pair = 0;       // the first pair attaining it
};

// Sizes of every pair of the current rooting; the best with its count.
int computeMastForOneRoot(AgreementWork &w, RootingBest &out)
{
    out = RootingBest{};
    for (uint32_t x = 1; x < w.k; x++)
        for (uint32_t y = 0; y < x; y++) {
            const uint32_t s = sizeOf(w, x, y);
            if (w.memoryFailed)
                return 1;
            const uint64_t n = w.count[AgreementWork::pair(x, y)];
            if (s > out.size) {
                out.size = s;
                out.count = n;
                out.pair = AgreementWork::pair(x, y);
            } else if (s == out.size) {
                out.count = satAdd(out.count, n);
            }
            if (w.progress)
                if (int status = w.progress(w.context); status != 0)
                    return status;
        }
    return 0;
}

int enumerateRooting(AgreementWork &w, uint32_t r, uint32_t pairSize, AgreementResult &out)
{
    w.pairSets.assign(w.size.size(), {});
    w.pairSetsMade.assign(w.size.size(), 0);
    for (uint32_t x = 1; x < w.k; x++)
        for (uint32_t y = 0; y < x; y++) {
            if (sizeOf(w, x, y) != pairSize)
                continue;
            const std::vector<uint64_t> *sets = setsOfPair(w, x, y);
            if (!sets)
                return w.memoryFailed ? 1 : 0;
            for (size_t i = 0; i < sets->size(); i += w.words) {
                if (out.sets.size() >= kAgreementSetCap) {
                    w.capped = true;
                    return 0;
                }
                std::vector<uint64_t> set(sets->begin() + i, sets->begin() + i + w.words);
                if (!w.rooted)
                    putBit(set.data(), r);
                out.sets.push_back(std::move(set));
            }
            if (w.progress)
                if (int status = w.progress(w.context); status != 0)
                    return status;
        }
    return 0;
}

}  // namespace

int calcAgreementSets(AgreementWork *work, bool enumerate, AgreeProgress progress, void *context,
                      AgreementResult &out)
{
    AgreementWork &w = *work;
    out = AgreementResult{};
    w.progress = progress;
    w.context = context;
    w.capped = w.memoryFailed = false;
    w.setsMade = 0;
    // Too few taxa to disagree on: the one agreement set is every taxon.
    if (w.ntax <= (w.rooted ? 2u : 3u) || w.trees.size() < 2) {
        out.size = w.ntax;
        out.numSets = 1;
        out.firstSet.assign(w.words, 0);
        for (uint32_t t = 0; t < w.ntax; t++)
            putBit(out.firstSet.data(), t);
        if (enumerate)
            out.sets.push_back(out.firstSet);
        return 0;
    }
    try {
        std::vector<uint32_t> bestRoots;
        const uint32_t first = w.rooted ? 0 : 2, last = w.rooted ? 1 : w.ntax;
        for (uint32_t r = first; r < last; r++) {
            prepareRooting(w, r);
            RootingBest rb;
            if (int status = computeMastForOneRoot(w, rb); status != 0)
                return status;
            const uint32_t total = rb.size + (w.rooted ? 0 : 1);
            if (total > out.size) {
                out.size = total;
                out.numSets = rb.count;
                bestRoots.assign(1, r);
                out.firstSet.assign(w.best.begin() + rb.pair * w.words, w.best.begin() + (rb.pair + 1) * w.words);
                if (!w.rooted)
                    putBit(out.firstSet.data(), r);
            } else if (total == out.size) {
                out.numSets = satAdd(out.numSets, rb.count);
                bestRoots.push_back(r);
            }
        }
        if (enumerate) {
            for (uint32_t r : bestRoots) {
                prepareRooting(w, r);
                if (int status = enumerateRooting(w, r, out.size - (w.rooted ? 0 : 1), out); status != 0)
                    return status;
                if (w.capped)
                    break;
            }
            out.capped = w.capped;
        }
        w.pairSets.clear();
        w.pairSetsMade.clear();
    } catch (const std::bad_alloc &) {
        reportMemoryFailure();
        return 1;
    }
    return w.memoryFailed ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Agreement distances

namespace {

// The reattachment cost of the taxa outside agreement set A: both trees
// are oriented alike (rooted trees at their tops, unrooted ones at A's
// first taxon), so that the sets cluster & A are the groups of the tree
// both make on A. A taxon's point is the group met first walking up from
// it; equal points cost 2, else 4 plus the steps from each point up to the
// lowest group holding both. The climb stops below the root: for unrooted
// trees the whole of A is the root taxon's node and a step onto it is not
// counted; for rooted trees it is the basal fork, which lies below the root
// and is counted like any other group.
uint64_t reattachmentCost(AgreementWork &w, const std::vector<uint64_t> &A)
{
    const uint32_t words = w.words;
    uint32_t first = 0;
    while (!hasBit(A.data(), first))
        first++;
    for (RivalTree &t : w.trees)
        orientTree(w, t, first);
    // The groups of the pruned tree, smallest first; the whole of A last.
    std::vector<std::vector<uint64_t>> groups;
    RivalTree &a = w.trees[0];
    std::vector<uint64_t> g(words);
    for (uint32_t v : a.order) {
        const uint64_t *c = a.clusters.data() + size_t(v) * words;
        bool any = false;
        for (uint32_t q = 0; q < words; q++)
            any |= (g[q] = c[q] & A[q]) != 0;
        if (any && std::find(groups.begin(), groups.end(), g) == groups.end())
            groups.push_back(g);
    }
    if (std::find(groups.begin(), groups.end(), A) == groups.end())
        groups.push_back(A);
    auto popcount = [&](const std::vector<uint64_t> &s) {
        uint32_t n = 0;
        for (uint64_t q : s)
            n += static_cast<uint32_t>(std::popcount(q));
        return n;
    };
    std::stable_sort(groups.begin(), groups.end(),
                     [&](const auto &l, const auto &r) { return popcount(l) < popcount(r); });
    auto contains = [&](const std::vector<uint64_t> &big, const std::vector<uint64_t> &small) {
        for (uint32_t q = 0; q < words; q++)
            if (small[q] & ~big[q])
                return false;
        return true;
    };
    const auto ng = static_cast<uint32_t>(groups.size());
    std::vector<uint32_t> up(ng, kNone);
    for (uint32_t i = 0; i < ng; i++)
        for (uint32_t j = i + 1; j < ng; j++)
            if (groups[j] != groups[i] && contains(groups[j], groups[i])) {
                up[i] = j;
                break;
            }
    auto groupIndex = [&](const std::vector<uint64_t> &s) {
        return static_cast<uint32_t>(std::find(groups.begin(), groups.end(), s) - groups.begin());
    };
    auto pointIn = [&](RivalTree &t, uint32_t taxon) {
        std::vector<uint64_t> meet(words);
        uint32_t u = taxon;
        while (true) {
            u = t.parent[u];
            if (u == kNone)
                return ng - 1;
            const uint64_t *c = t.clusters.data() + size_t(u) * words;
            bool any = false;
            for (uint32_t q = 0; q < words; q++)
                any |= (meet[q] = c[q] & A[q]) != 0;
            if (any) {
                const uint32_t i = groupIndex(meet);
                return i < ng ? i : ng - 1;
            }
        }
    };
    auto stepsUp = [&](uint32_t from, const std::vector<uint64_t> &target) {
        uint32_t steps = 0;
        for (uint32_t i = from; i != kNone && !contains(groups[i], target); i = up[i])
            if (up[i] != kNone && (w.rooted || up[i] != ng - 1))
                steps++;
        return steps;
    };
    uint64_t cost = 0;
    for (uint32_t t = 0; t < w.ntax; t++) {
        if (hasBit(A.data(), t))
            continue;
        const uint32_t p1 = pointIn(w.trees[0], t), p2 = pointIn(w.trees[1], t);
        if (p1 == p2) {
            cost += 2;
            continue;
        }
        std::vector<uint64_t> both(words);
        for (uint32_t q = 0; q < words; q++)
            both[q] = groups[p1][q] | groups[p2][q];
        cost += 4 + stepsUp(p1, both) + stepsUp(p2, both);
    }
    return cost;
}

}  // namespace

int calcDistanceForOnePair(AgreementWork *work, Tree *a, Tree *b, bool wantD, uint32_t *d1, double *d)
{
    clearAgreementTrees(work);
    if (getRivalTree(work, a, 0) != 0 || getRivalTree(work, b, 0) != 0)
        return 1;
    AgreementResult result;
    if (int status = calcAgreementSets(work, wantD, nullptr, nullptr, result); status != 0)
        return status;
    *d1 = work->ntax - result.size;
    if (!wantD)
        return 0;
    *d = 0.0;
    if (result.size == work->ntax)
        return 0;
    uint64_t c = std::numeric_limits<uint64_t>::max();
    try {
        for (const auto &set : result.sets)
            c = std::min(c, reattachmentCost(*work, set));
    } catch (const std::bad_alloc &) {
        reportMemoryFailure();
        return 1;
    }
    const double pruned = *d1;
    *d = pruned + static_cast<double>(c) / (pruned * (work->ntax + (work->rooted ? 1 : 0)));
    return 0;
}

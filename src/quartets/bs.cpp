// BS: among the trees whose clusters all belong to a candidate set, the one
// of largest quartet support, by dynamic programming over the candidates in
// an order that puts every cluster after its proper subsets.
//
// A cluster is the side of a split without taxon 0, as a bit vector.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <new>
#include <numeric>
#include <utility>
#include <vector>

#include "qel/qel_interrupts.h"
#include "qel/qel_sets.h"
#include "quartets/qmethods.h"
#include "quartets/quartets.h"
#include "trees/splits.h"
#include "trees/treeutil.h"

namespace {

struct SplitsDeleter {
    void operator()(SplitsTable *t) const { destroySplitsTable(t); }
};
using SplitsPtr = std::unique_ptr<SplitsTable, SplitsDeleter>;

constexpr uint32_t kCandidateBound = 4096;

struct Bs {
    const QwtTable *t;
    uint32_t n;
    uint32_t words;
    uint32_t limit;  // most candidates the extension step gathers
    std::vector<uint64_t> scratch;

    // Adds the cluster (its complement when it holds taxon 0).
    bool add(SplitsTable *table, const uint64_t *bits)
    {
        const uint64_t *use = bits;
        if (isBitVecMember(bits, 0)) {
            bitVecComplement(bits, n, words, scratch.data());
            use = scratch.data();
        }
        if (isBitVecAllZero(use, words))
            return true;
        return updateTableWithSplit(table, use, 0, true, 0.0) != nullptr;
    }

    static std::vector<uint32_t> members(const uint64_t *bits, uint32_t upTo)
    {
        std::vector<uint32_t> out;
        for (uint32_t x = 0; x < upTo; x++)
            if (isBitVecMember(bits, x))
                out.push_back(x);
        return out;
    }

    bool nonzero(uint32_t a, uint32_t b, uint32_t c, uint32_t d) const { return getQuartetWt(t, a, b, c, d) != 0.0f; }

    // Step 1: clusters grown taxon by taxon.
    SplitsPtr byExtension()
    {
        SplitsPtr cur(createSplitsTable(n, n * n, 0));
        if (!cur)
            return nullptr;
        std::vector<uint64_t> v(words, 0);
        for (std::initializer_list<uint32_t> c : {std::initializer_list<uint32_t>{1, 2}, {1}, {2}}) {
            zeroBitVec(v.data(), words);
            for (uint32_t m : c)
                addBitVecMember(v.data(), m);
            if (!add(cur.get(), v.data()))
                return nullptr;
        }
        for (uint32_t k = 3; k < n; k++) {
            SplitsPtr next(createSplitsTable(n, n * n, 0));
            if (!next)
                return nullptr;
            setSingletonBitVec(v.data(), k, words);
            if (!add(next.get(), v.data()))
                return nullptr;
            for (uint32_t i = 0; i < numSplitsInTable(cur.get()) && numSplitsInTable(next.get()) < limit; i++) {
                const uint64_t *A = getSplitFromTable(cur.get(), i);
                const std::vector<uint32_t> la = members(A, k);
                std::vector<uint32_t> lb;
                for (uint32_t x = 0; x < k; x++)
                    if (!isBitVecMember(A, x))
                        lb.push_back(x);
                bool keep = false, grow = false;
                for (uint32_t a : la)
                    for (uint32_t b : lb) {
                        if (!keep)
                            keep = std::all_of(la.begin(), la.end(),
                                               [&](uint32_t a2) { return a2 == a || nonzero(a, a2, k, b); });
                        if (!grow)
                            grow = std::all_of(lb.begin(), lb.end(),
                                               [&](uint32_t b2) { return b2 == b || nonzero(k, a, b, b2); });
                    }
                std::vector<uint64_t> copy(A, A + words);
                if (keep && !add(next.get(), copy.data()))
                    return nullptr;
                if (grow) {
                    addBitVecMember(copy.data(), k);
                    if (!add(next.get(), copy.data()))
                        return nullptr;
                }
            }
            cur = std::move(next);
        }
        return cur;
    }

    // Step 2: prefixes of the taxa ordered by how they group with i
    // against j, score(x) being the sum over y of w(ix|yj) - w(iy|xj).
    bool byOrderings(SplitsTable *table)
    {
        const BsOrderingScores scores(t);
        std::vector<double> score(n);
        std::vector<uint32_t> order(n);
        std::vector<uint64_t> v(words);
        for (uint32_t i = 0; i < n; i++)
            for (uint32_t j = 0; j < n; j++) {
                if (i == j)
                    continue;
                for (uint32_t x = 0; x < n; x++)
                    score[x] = x == i || x == j ? -DBL_MAX : scores.of(i, j, x);
                std::iota(order.begin(), order.end(), 0u);
                std::stable_sort(order.begin(), order.end(),
                                 [&](uint32_t a, uint32_t b) { return score[a] > score[b]; });
                setSingletonBitVec(v.data(), i, words);
                for (uint32_t m = 1; m + 2 <= n; m++) {
                    addBitVecMember(v.data(), order[m - 1]);
                    // A prefix that ends among taxa of equal score parts
                    // taxa the weights do not tell apart. Such a cluster can
                    // belong to the best tree, so it is a candidate while
                    // the candidates are few; past the bound, on data from a
                    // tree, such ties are whole subtrees and cutting through
                    // them only multiplies the candidates.
                    if (numSplitsInTable(table) >= limit &&
                        std::fabs(score[order[m - 1]] - score[order[m]]) <= 1e-9 * (1.0 + std::fabs(score[order[m]])))
                        continue;
                    if (!add(table, v.data()))
                        return false;
                }
            }
        return true;
    }
};

// Clusters in increasing order of their bit vectors read from the most
// significant word down: every cluster after its proper subsets.
bool splitBefore(const uint64_t *a, const uint64_t *b, uint32_t words)
{
    for (uint32_t w = words; w-- > 0;)
        if (a[w] != b[w])
            return a[w] < b[w];
    return false;
}

}  // namespace

BsOrderingScores::BsOrderingScores(const QwtTable *t) : n_(t->n), rowStart_(uint64_t{t->n} * (t->n - 1) / 2 + 1)
{
    // A row per pair p < q holds the triples p < q < r, three scores each:
    // (p, q; r), (p, r; q), (q, r; p).
    uint64_t at = 0;
    for (uint32_t q = 1; q < n_; q++)
        for (uint32_t p = 0; p < q; p++) {
            rowStart_[pairIndex(p, q)] = at;
            at += n_ - 1 - q;
        }
    acc_.assign(3 * at, 0.0);
    // Table order visits the quartets of each triple by increasing fourth
    // taxon, the order of a direct loop over y. The differences are taken
    // in float, as a direct loop takes them from the float cells.
    forEachQuartetWts(t, [&](uint32_t a, uint32_t b, uint32_t c, uint32_t d, const float *f) {
        const float d01 = f[0] - f[1], d02 = f[0] - f[2], d12 = f[1] - f[2];
        double *bcd = triple(b, c, d), *acd = triple(a, c, d), *abd = triple(a, b, d), *abc = triple(a, b, c);
        bcd[0] += -d01, bcd[1] += -d02, bcd[2] += -d12;
        acd[0] += -d02, acd[1] += -d01, acd[2] += d12;
        abd[0] += -d12, abd[1] += d01, abd[2] += d02;
        abc[0] += d12, abc[1] += d02, abc[2] += d01;
    });
}

double BsOrderingScores::of(uint32_t i, uint32_t j, uint32_t x) const
{
    // The terms of (j, i) are those of (i, j) with the sign changed.
    const bool flip = i > j;
    if (flip)
        std::swap(i, j);
    const double s = x > j ? triple(i, j, x)[0] : x > i ? triple(i, x, j)[1] : triple(x, i, j)[2];
    return flip ? -s : s;
}

int qsearch_BS(QuartetData *qd, Tree *tree, bool useHashing)
{
    const QwtTable *t = qd->table;
    const uint32_t n = t->n;
    const uint32_t words = setWordCount(n);
    try {
        // The candidates are bounded only for speed, and far enough out that
        // every cluster of up to 12 taxa fits: the decompositions are
        // quadratic in their number.
        Bs bs{t, n, words, std::max(n * n, kCandidateBound), std::vector<uint64_t>(words)};
        SplitsPtr cand = bs.byExtension();
        if (!cand || !bs.byOrderings(cand.get()))
            return 1;
        if (getAbortedStatus() && confirmAbortRequest())
            return 2;
        // Step 3: sort.
        const uint32_t C = numSplitsInTable(cand.get());
        std::vector<uint32_t> idx(C);
        std::iota(idx.begin(), idx.end(), 0u);
        std::sort(idx.begin(), idx.end(), [&](uint32_t a, uint32_t b) {
            return splitBefore(getSplitFromTable(cand.get(), a), getSplitFromTable(cand.get(), b), words);
        });
        std::vector<uint64_t> cl(uint64_t{C} * words);
        for (uint32_t k = 0; k < C; k++)
            copyBitVec(getSplitFromTable(cand.get(), idx[k]), cl.data() + uint64_t{k} * words, words);
        cand.reset();
        auto cluster = [&](uint32_t k) { return cl.data() + uint64_t{k} * words; };
        std::vector<uint32_t> size(C);
        for (uint32_t k = 0; k < C; k++)
            size[k] = countOneBits(cluster(k), words);

        // Step 4: decompositions, found through a hash of the clusters or by
        // binary search in the sorted array.
        SplitsPtr lookup;
        if (useHashing) {
            lookup.reset(createSplitsTable(n, C, 0));
            if (!lookup)
                return 1;
            for (uint32_t k = 0; k < C; k++)
                if (!updateTableWithSplit(lookup.get(), cluster(k), 0, true, 0.0))
                    return 1;
        }
        auto find = [&](const uint64_t *bits) -> uint32_t {
            if (useHashing) {
                uint32_t hash;
                return findMatchingSplit(lookup.get(), bits, &hash);
            }
            uint32_t lo = 0, hi = C;
            while (lo < hi) {
                const uint32_t mid = (lo + hi) / 2;
                if (splitBefore(cluster(mid), bits, words))
                    lo = mid + 1;
                else
                    hi = mid;
            }
            return lo < C && std::equal(bits, bits + words, cluster(lo)) ? lo : kNoSplit;
        };
        std::vector<std::vector<std::pair<uint32_t, uint32_t>>> decomp(C);
        std::vector<uint64_t> uni(words);
        for (uint32_t u = 0; u < C; u++)
            for (uint32_t v = u + 1; v < C; v++) {
                if (size[u] + size[v] >= n || !areBitVecsDisjoint(cluster(u), cluster(v), words))
                    continue;
                bitVecUnion(cluster(u), cluster(v), uni.data(), words);
                const uint32_t w = find(uni.data());
                if (w != kNoSplit)
                    decomp[w].push_back({u, v});
            }

        // Step 5: M_S[y][z] = sum over pairs a, a' of S of w(y z | a a'),
        // over the taxa outside S.
        struct Weights {
            std::vector<uint32_t> pos;  // taxon -> position among the outside taxa, or kSetEnd
            std::vector<float> m;       // lower triangle by position
            float at(uint32_t y, uint32_t z) const
            {
                uint32_t p = pos[y], q = pos[z];
                if (p < q)
                    std::swap(p, q);
                return m[uint64_t{p} * (p - 1) / 2 + q];
            }
        };
        std::vector<Weights> M(C);
        for (uint32_t k = 0; k < C; k++) {
            if (size[k] < 2 || size[k] >= n - 1)
                continue;
            Weights &W = M[k];
            W.pos.assign(n, kSetEnd);
            std::vector<uint32_t> out;
            for (uint32_t x = 0; x < n; x++)
                if (!isBitVecMember(cluster(k), x)) {
                    W.pos[x] = static_cast<uint32_t>(out.size());
                    out.push_back(x);
                }
            const uint64_t no = out.size();
            W.m.assign(no * (no - 1) / 2, 0.0f);
            // Through the decomposition with the fewest cross pairs, when
            // there is one: M_S = M_c1 + M_c2 + the pairs across c1 and c2.
            uint32_t c1 = kNoSplit, c2 = kNoSplit;
            uint64_t cost = UINT64_MAX;
            for (const auto &[u, v] : decomp[k])
                if (uint64_t{size[u]} * size[v] < cost)
                    cost = uint64_t{size[u]} * size[v], c1 = u, c2 = v;
            std::vector<uint32_t> left, right;
            if (c1 != kNoSplit) {
                left = Bs::members(cluster(c1), n);
                right = Bs::members(cluster(c2), n);
            } else {
                left = Bs::members(cluster(k), n);
            }
            for (uint64_t p = 1; p < no; p++)
                for (uint64_t q = 0; q < p; q++) {
                    const uint32_t y = out[p], z = out[q];
                    double sum = 0.0;
                    if (c1 != kNoSplit) {
                        if (size[c1] >= 2)
                            sum += M[c1].at(y, z);
                        if (size[c2] >= 2)
                            sum += M[c2].at(y, z);
                        for (uint32_t a : left)
                            for (uint32_t b : right)
                                sum += getQuartetWt(t, y, z, a, b);
                    } else {
                        for (size_t i = 0; i < left.size(); i++)
                            for (size_t j = i + 1; j < left.size(); j++)
                                sum += getQuartetWt(t, y, z, left[i], left[j]);
                    }
                    W.m[p * (p - 1) / 2 + q] = static_cast<float>(sum);
                }
            if (getAbortedStatus() && confirmAbortRequest())
                return 2;
        }

        // Step 6: the dynamic programme.
        std::vector<double> best(C, 0.0), count(C, 0.0);
        std::vector<std::vector<std::pair<uint32_t, uint32_t>>> optimal(C);
        for (uint32_t k = 0; k < C; k++) {
            if (getAbortedStatus() && confirmAbortRequest())
                return 2;
            if (size[k] == 1) {
                count[k] = 1.0;
                continue;
            }
            if (size[k] == 2) {
                if (!decomp[k].empty()) {
                    optimal[k].push_back(decomp[k][0]);
                    count[k] = 1.0;
                }
                continue;
            }
            best[k] = -DBL_MAX;
            const std::vector<uint32_t> outside = [&] {
                std::vector<uint32_t> o;
                for (uint32_t x = 0; x < n; x++)
                    if (!isBitVecMember(cluster(k), x))
                        o.push_back(x);
                return o;
            }();
            for (const auto &[c1, c2] : decomp[k]) {
                const std::vector<uint32_t> m1 = Bs::members(cluster(c1), n), m2 = Bs::members(cluster(c2), n);
                double join = 0.0;
                if (size[c1] >= 2)
                    for (uint32_t y : m2)
                        for (uint32_t z : outside)
                            join += M[c1].at(y, z);
                if (size[c2] >= 2)
                    for (uint32_t y : m1)
                        for (uint32_t z : outside)
                            join += M[c2].at(y, z);
                if (size[c1] >= 2)
                    for (size_t i = 0; i < m2.size(); i++)
                        for (size_t j = i + 1; j < m2.size(); j++)
                            join += M[c1].at(m2[i], m2[j]);
                const double score = join + best[c1] + best[c2];
                const double tol = 1e-9 * (1.0 + std::fabs(score));
                if (score > best[k] + tol) {
                    optimal[k].clear();
                    count[k] = 0.0;
                    best[k] = score;
                }
                if (score >= best[k] - tol) {
                    optimal[k].push_back({c1, c2});
                    count[k] += count[c1] * count[c2];
                }
            }
        }

        // Step 7: the tree, hanging from the tip of taxon 0.
        QGraph g;
        const uint32_t rootLeaf = g.addNode(0);
        uint32_t top = kNoSplit;
        for (uint32_t k = C; k-- > 0;)
            if (!optimal[k].empty() && count[k] != 0.0) {
                top = k;
                break;
            }
        std::vector<uint8_t> present(n, 0);
        present[0] = 1;
        auto extract = [&](auto &self, uint32_t k) -> uint32_t {
            if (size[k] == 1) {
                const uint32_t x = firstOneBit(cluster(k), words);
                present[x] = 1;
                return g.addNode(static_cast<int32_t>(x));
            }
            uint32_t c1 = optimal[k][0].first, c2 = optimal[k][0].second;
            for (const auto &[a, b] : optimal[k])
                if (count[a] != 0.0 && count[b] != 0.0) {
                    c1 = a, c2 = b;
                    break;
                }
            const uint32_t node = g.addNode(-1);
            g.link(node, self(self, c1));
            g.link(node, self(self, c2));
            return node;
        };
        uint32_t hub;
        if (top == kNoSplit) {
            hub = g.addNode(-1);
            g.link(rootLeaf, hub);
        } else {
            hub = extract(extract, top);
            g.link(rootLeaf, hub);
        }
        if (std::find(present.begin(), present.end(), 0) != present.end()) {
            // The missing taxa join at a node between the root and the rest.
            const uint32_t extra = g.addNode(-1);
            g.unlink(rootLeaf, hub);
            g.link(rootLeaf, extra);
            if (top != kNoSplit)
                g.link(extra, hub);
            for (uint32_t x = 1; x < n; x++)
                if (!present[x])
                    g.link(extra, g.addNode(static_cast<int32_t>(x)));
        }
        return buildTreeFromGraph(tree, n, g, 0);
    } catch (const std::bad_alloc &) {
        return 1;
    }
}

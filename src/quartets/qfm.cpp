// QFM: divide and conquer. The taxa are split into two sides that satisfy
// as much quartet weight as possible; each side is solved with one extra
// artificial taxon standing for the other side, and the two subtrees are
// joined where their artificial taxa were.
//
// Taxa of the whole problem and artificial taxa share one numbering (ids):
// 0 .. n-1 the taxa, n, n+1, ... the artificial ones in the order splits are
// made. Every sub-problem has a table over its own ids in increasing order.
#include <algorithm>
#include <cmath>
#include <memory>
#include <new>
#include <vector>

#include "distance/nj.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_malloc.h"
#include "qel/qel_output.h"
#include "qel/qel_progress.h"
#include "qel/qel_random.h"
#include "qel/qel_sets.h"
#include "quartets/qmethods.h"
#include "quartets/quartets.h"
#include "search/hitlist.h"
#include "trees/splits.h"
#include "trees/treeedit.h"
#include "trees/treeutil.h"

namespace {

enum : uint32_t { kPtnOstrel = 0, kPtnA = 1, kPtnB = 2, kPtnC = 3 };
enum : uint32_t { kIterNew = 0, kIterOld = 1, kIterOstrel = 2 };

struct TableDeleter {
    void operator()(QwtTable *t) const { destroyQwtTable(t); }
};
using TablePtr = std::unique_ptr<QwtTable, TableDeleter>;

// Satisfied minus violated weight of one quartet (sorted w < x < y < z, its
// three weights f) under side bits s: nonzero only for a 2-2 split, where
// the topology pairing w with its side-mate is satisfied and the two others
// are violated.
inline double splitScore(const float f[3], const uint8_t s[4])
{
    if (s[0] + s[1] + s[2] + s[3] != 2)
        return 0.0;
    const uint32_t t = s[1] == s[0] ? 0 : s[2] == s[0] ? 1 : 2;
    return 2.0 * f[t] - (static_cast<double>(f[0]) + f[1] + f[2]);
}

struct Qfm {
    const QuartetData *qd;
    uint32_t n;
    QfmOptions opt;
    bool weighted;
    ProgData *progress;
    RNG rng{};
    QGraph g{};
    uint32_t nextArtificial = 0;
    bool limitShown = false;

    struct Leaves {
        std::vector<std::pair<uint32_t, uint32_t>> of;  // (id, graph node)
    };

    bool stopped()
    {
        if (progress && incrementProgressValue(progress) == kProgressAborted)
            return confirmAbortRequest();
        return getAbortedStatus() && confirmAbortRequest();
    }

    Leaves star(const std::vector<uint32_t> &ids)
    {
        Leaves out;
        const uint32_t hub = g.addNode(-1);
        for (uint32_t id : ids) {
            const uint32_t leaf = g.addNode(static_cast<int32_t>(id));
            g.link(hub, leaf);
            out.of.push_back({id, leaf});
        }
        return out;
    }

    // ---- Partitions (local table indices; side 1 = A, 0 = B) ----------------

    // The heaviest topology; the first maximum in quartet and topology order.
    static bool maxWtQuartet(const QwtTable *t, std::vector<uint8_t> &side, std::vector<uint8_t> &placed)
    {
        double best = 0.0;
        uint32_t q[4] = {0, 0, 0, 0};
        bool found = false;
        forEachQuartetWts(t, [&](uint32_t w, uint32_t x, uint32_t y, uint32_t z, const float *f) {
            const uint32_t pairs[3][4] = {{w, x, y, z}, {w, y, x, z}, {w, z, x, y}};
            for (int k = 0; k < 3; k++)
                if (f[k] > best) {
                    best = f[k];
                    std::copy(pairs[k], pairs[k] + 4, q);
                    found = true;
                }
        });
        if (!found)
            return false;
        side[q[0]] = side[q[1]] = 1;
        side[q[2]] = side[q[3]] = 0;
        for (uint32_t k : q)
            placed[k] = 1;
        return true;
    }

    // w_AxBB: x joining the side `a` against pairs of side `b`.
    static double wAxBB(const QwtTable *t, const std::vector<uint32_t> &A, uint32_t x, const std::vector<uint32_t> &B)
    {
        double sum = 0.0;
        for (uint32_t a : A) {
            if (a == x)
                continue;
            for (size_t i = 0; i < B.size(); i++)
                for (size_t j = i + 1; j < B.size(); j++) {
                    const uint32_t b = B[i], b2 = B[j];
                    if (b == x || b2 == x)
                        continue;
                    sum += getQuartetWt(t, x, a, b, b2) - getQuartetWt(t, b, a, x, b2) - getQuartetWt(t, b2, a, x, b);
                }
        }
        return sum;
    }

    void partitionA(const QwtTable *t, std::vector<uint8_t> &side, std::vector<uint8_t> &placed)
    {
        std::vector<uint32_t> A, B;
        for (uint32_t k = 0; k < t->n; k++)
            if (placed[k])
                (side[k] ? A : B).push_back(k);
        for (uint32_t x = 0; x < t->n; x++) {
            if (placed[x])
                continue;
            const bool toA = wAxBB(t, A, x, B) > wAxBB(t, B, x, A);
            side[x] = toA;
            (toA ? A : B).push_back(x);
            placed[x] = 1;
        }
    }

    void partitionOstrel(const QwtTable *t, std::vector<uint8_t> &side)
    {
        const uint32_t m = t->n;
        QuartetList list;
        forEachQuartetWts(t, [&](uint32_t w, uint32_t x, uint32_t y, uint32_t z, const float *f) {
            if (f[0] != 0.0f)
                addQuartetToList(&list, w, x, y, z, f[0]);
            if (f[1] != 0.0f)
                addQuartetToList(&list, w, y, x, z, f[1]);
            if (f[2] != 0.0f)
                addQuartetToList(&list, w, z, x, y, f[2]);
        });
        std::vector<QuartetEntry *> sorted = getQuartetArray(&list);
        std::sort(sorted.begin(), sorted.end(), compareQuartetWeights);
        std::vector<int8_t> where(m, -1);  // -1 unplaced, 1 A, 0 B
        uint32_t placed = 0;
        auto put = [&](uint32_t k, int8_t s) {
            if (where[k] < 0) {
                where[k] = s;
                placed++;
            }
        };
        for (const QuartetEntry *e : sorted) {
            if (placed == m)
                break;
            const uint32_t a = e->t[0], b = e->t[1], c = e->t[2], d = e->t[3];
            if (where[a] < 0 && where[b] < 0 && where[c] < 0 && where[d] < 0) {
                put(a, 1), put(b, 1), put(c, 0), put(d, 0);
                continue;
            }
            if (where[a] >= 0 && where[b] < 0)
                put(b, where[a]);
            else if (where[b] >= 0 && where[a] < 0)
                put(a, where[b]);
            else if (where[a] < 0 && where[b] < 0)
                put(a, where[c] == 1 || where[d] == 1 ? 0 : 1), put(b, where[a]);
            if (where[c] >= 0 && where[d] < 0)
                put(d, where[c]);
            else if (where[d] >= 0 && where[c] < 0)
                put(c, where[d]);
            else if (where[c] < 0 && where[d] < 0)
                put(c, where[a] != 1 && where[b] != 1 ? 1 : 0), put(d, where[c]);
        }
        for (uint32_t k = 0; k < m; k++)
            side[k] = where[k] >= 0 ? static_cast<uint8_t>(where[k]) : randomBool(&rng);
    }

    // Whether the topology ab|cd counts as supported by the data.
    bool supported(const QwtTable *t, uint32_t a, uint32_t b, uint32_t c, uint32_t d) const
    {
        const float w = getQuartetWt(t, a, b, c, d);
        if (!weighted)
            return w != 0.0f;
        return w > getQuartetWt(t, a, c, b, d) && w > getQuartetWt(t, a, d, b, c);
    }

    // Score of a candidate bipartition by satisfied minus violated weight.
    static double ptnScore(const QwtTable *t, const std::vector<uint8_t> &side)
    {
        const uint32_t m = t->n;
        double sum = 0.0;
        for (uint32_t w = 0; w < m; w++)
            for (uint32_t x = w + 1; x < m; x++)
                for (uint32_t y = x + 1; y < m; y++)
                    for (uint32_t z = y + 1; z < m; z++) {
                        const uint8_t s[4] = {side[w], side[x], side[y], side[z]};
                        if (s[0] + s[1] + s[2] + s[3] != 2)
                            continue;
                        float f[3];
                        getQuartetCellWts(t, w, x, y, z, f);
                        sum += splitScore(f, s);
                    }
        return sum;
    }

    // Candidate splits grown taxon by taxon; false when the variant gives
    // nothing better than variant A's start.
    bool partitionB(const QwtTable *t, std::vector<uint8_t> &side)
    {
        const uint32_t m = t->n;
        const uint32_t words = setWordCount(m);
        std::vector<std::vector<uint64_t>> splits;
        auto bits = [&](std::initializer_list<uint32_t> members) {
            std::vector<uint64_t> v(words, 0);
            for (uint32_t k : members)
                addBitVecMember(v.data(), k);
            return v;
        };
        splits.push_back(bits({1, 2}));
        splits.push_back(bits({1}));
        splits.push_back(bits({2}));
        bool limited = false;
        for (uint32_t k = 3; k < m && !limited; k++) {
            std::vector<std::vector<uint64_t>> next;
            auto add = [&](std::vector<uint64_t> v) {
                if (std::find(next.begin(), next.end(), v) == next.end())
                    next.push_back(std::move(v));
            };
            for (const auto &A : splits) {
                std::vector<uint32_t> la, lb;
                for (uint32_t x = 0; x < k; x++)
                    (isBitVecMember(A.data(), x) ? la : lb).push_back(x);
                for (uint32_t a : la)
                    for (uint32_t b : lb) {
                        bool with = true, without = true;
                        for (uint32_t b2 : lb)
                            if (b2 != b && !supported(t, k, a, b, b2))
                                with = false;
                        for (uint32_t a2 : la)
                            if (a2 != a && !supported(t, a, a2, k, b))
                                without = false;
                        if (with) {
                            auto v = A;
                            addBitVecMember(v.data(), k);
                            add(v);
                        }
                        if (without)
                            add(A);
                    }
                if (opt.maxSplitsB != 0 && next.size() >= opt.maxSplitsB) {
                    if (!limitShown)
                        qel_printf("    mfm->maxSplitsB=%u reached\n", opt.maxSplitsB);
                    limitShown = limited = true;
                    break;
                }
            }
            splits.swap(next);
        }
        if (splits.size() == m)
            return false;
        double best = 0.0;
        bool found = false;
        std::vector<uint8_t> trial(m);
        for (const auto &A : splits) {
            uint32_t inA = 0;
            for (uint32_t x = 0; x < m; x++)
                inA += trial[x] = isBitVecMember(A.data(), x);
            if (inA < 2 || m - inA < 2)
                continue;
            const double s = ptnScore(t, trial);
            if (!found || s > best)
                best = s, side = trial, found = true;
        }
        return found;
    }

    int partitionC(const QwtTable *t, std::vector<uint8_t> &side)
    {
        const uint32_t m = t->n;
        std::vector<double> half(m * (m - 1) / 2 + 1, 0.0);
        std::vector<double *> rows(m);
        for (uint32_t i = 0; i < m; i++)
            rows[i] = half.data() + (i > 0 ? i * (i - 1) / 2 : 0);
        for (uint32_t x = 1; x < m; x++)
            for (uint32_t y = 0; y < x; y++) {
                uint32_t count = 0;
                for (uint32_t a = 0; a < m; a++)
                    for (uint32_t b = a + 1; b < m; b++)
                        if (a != x && a != y && b != x && b != y && supported(t, x, y, a, b))
                            count++;
                rows[x][y] = -static_cast<double>(count);
            }
        // UPGMA wants nonnegative distances: the shift changes no join.
        double low = 0.0;
        for (uint32_t x = 1; x < m; x++)
            for (uint32_t y = 0; y < x; y++)
                low = std::min(low, rows[x][y]);
        for (uint32_t x = 1; x < m; x++)
            for (uint32_t y = 0; y < x; y++)
                rows[x][y] -= low;
        TreeHandle ut(createTreeForTaxa(m, m, true));
        if (!ut)
            return 1;
        std::unique_ptr<ClustData, ClustData *(*)(ClustData *)> cd(
            createClustData(nullptr, ut.get(), true, m, true, false), destroyClustData);
        if (!cd)
            return 1;
        loadClustMatrix(cd.get(), rows.data(), m, nullptr);
        if (upgma(cd.get(), m, nullptr, nullptr) != 0)
            return 1;
        Tree *u = ut.get();
        checkTraversalSeq(u);
        checkLeafSets(u);
        const TreeNode *fork = getFirstFork(u);
        double best = 0.0;
        bool found = false;
        std::vector<uint8_t> trial(m);
        for (TreeNode *p = u->root; p; p = p->next) {
            if (!p->firstChild || p == fork || p == u->root)
                continue;
            if (p->anc == fork) {
                const TreeNode *sib = p->anc->firstChild == p ? p->nextSib : p->anc->firstChild;
                if (sib && !sib->firstChild)
                    continue;
            }
            uint32_t inA = 0;
            for (uint32_t x = 0; x < m; x++)
                inA += trial[x] = isBitVecMember(p->leafSet, x);
            if (inA < 2 || m - inA < 2)
                continue;
            const double s = ptnScore(t, trial);
            if (!found || s > best)
                best = s, side = trial, found = true;
        }
        return found ? 0 : -1;
    }

    // ---- Improvement ---------------------------------------------------------

    // gain[x]: change of the score if x changed sides.
    static void allGains(const QwtTable *t, const std::vector<uint8_t> &side, std::vector<double> &gain)
    {
        std::fill(gain.begin(), gain.end(), 0.0);
        forEachQuartetWts(t, [&](uint32_t w, uint32_t x, uint32_t y, uint32_t z, const float *f) {
            if (f[0] == 0.0f && f[1] == 0.0f && f[2] == 0.0f)
                return;
            uint8_t s[4] = {side[w], side[x], side[y], side[z]};
            const double now = splitScore(f, s);
            const uint32_t q[4] = {w, x, y, z};
            for (int k = 0; k < 4; k++) {
                s[k] ^= 1;
                gain[q[k]] += splitScore(f, s) - now;
                s[k] ^= 1;
            }
        });
    }

    // The gains of the other taxa after y changed sides (side already
    // holds y's new side): only quartets through both change. Each quartet
    // through y is read once and serves its three other taxa.
    static void updateGains(const QwtTable *t, const std::vector<uint8_t> &side, uint32_t y, std::vector<double> &gain)
    {
        const uint32_t m = t->n;
        for (uint32_t a = 0; a < m; a++) {
            if (a == y)
                continue;
            for (uint32_t b = a + 1; b < m; b++) {
                if (b == y)
                    continue;
                for (uint32_t c = b + 1; c < m; c++) {
                    if (c == y)
                        continue;
                    // The four in order, and where y stands among them.
                    uint32_t q[4];
                    int py;
                    if (y < a)
                        q[0] = y, q[1] = a, q[2] = b, q[3] = c, py = 0;
                    else if (y < b)
                        q[0] = a, q[1] = y, q[2] = b, q[3] = c, py = 1;
                    else if (y < c)
                        q[0] = a, q[1] = b, q[2] = y, q[3] = c, py = 2;
                    else
                        q[0] = a, q[1] = b, q[2] = c, q[3] = y, py = 3;
                    float f[3];
                    getQuartetCellWts(t, q[0], q[1], q[2], q[3], f);
                    if (f[0] == 0.0f && f[1] == 0.0f && f[2] == 0.0f)
                        continue;
                    uint8_t after[4] = {side[q[0]], side[q[1]], side[q[2]], side[q[3]]};
                    uint8_t before[4] = {after[0], after[1], after[2], after[3]};
                    before[py] ^= 1;
                    const double nowAfter = splitScore(f, after), nowBefore = splitScore(f, before);
                    for (int k = 0; k < 4; k++) {
                        if (k == py)
                            continue;
                        after[k] ^= 1;
                        before[k] ^= 1;
                        gain[q[k]] += (splitScore(f, after) - nowAfter) - (splitScore(f, before) - nowBefore);
                        after[k] ^= 1;
                        before[k] ^= 1;
                    }
                }
            }
        }
    }

    void improve(const QwtTable *t, std::vector<uint8_t> &side)
    {
        const uint32_t m = t->n;
        std::vector<double> gain(m);
        std::vector<uint8_t> locked(m), bestSide;
        std::vector<uint32_t> ties;
        for (;;) {
            allGains(t, side, gain);
            const std::vector<uint8_t> start = side;
            std::fill(locked.begin(), locked.end(), 0);
            uint32_t count[2] = {0, 0};
            for (uint32_t k = 0; k < m; k++)
                count[side[k]]++;
            double cum = 0.0, bestCum = 0.0;
            bestSide = side;
            for (uint32_t step = 0; step < m; step++) {
                double top = 0.0;
                ties.clear();
                for (uint32_t k = 0; k < m; k++) {
                    if (locked[k] || count[side[k]] <= 2)
                        continue;
                    if (ties.empty() || gain[k] > top + 1e-9) {
                        top = gain[k];
                        ties.assign(1, k);
                    } else if (std::fabs(gain[k] - top) <= 1e-9) {
                        ties.push_back(k);
                    }
                }
                if (ties.empty())
                    break;
                const uint32_t x = opt.iter == kIterNew && ties.size() > 1
                                       ? ties[randomInteger(&rng, static_cast<uint32_t>(ties.size()))]
                                       : ties[0];
                const double g = gain[x];
                count[side[x]]--;
                side[x] ^= 1;
                count[side[x]]++;
                locked[x] = 1;
                updateGains(t, side, x, gain);
                gain[x] = -g;
                cum += g;
                if (cum > bestCum) {
                    bestCum = cum;
                    bestSide = side;
                }
            }
            if (bestCum < 1e-6) {
                side = start;
                return;
            }
            side = bestSide;
        }
    }

    // ---- Sub-problems ----------------------------------------------------------

    // The table of side members plus the artificial id d: quartets with at
    // least three taxa on the side, the outside one replaced by d.
    static QwtTable *subTable(const QwtTable *t, const std::vector<uint32_t> &ids, const std::vector<uint8_t> &side,
                              uint8_t which, uint32_t universe, uint32_t d)
    {
        const uint32_t m = t->n;
        Set *members = allocSet(universe);
        if (!members)
            return nullptr;
        uint32_t size = 1;
        for (uint32_t k = 0; k < m; k++)
            if (side[k] == which) {
                addSetMember(members, ids[k]);
                size++;
            }
        addSetMember(members, d);
        QwtTable *sub = createQwtTable(universe, size, false, true, members);
        deallocSet(members);
        if (!sub)
            return nullptr;
        const uint32_t dIdx = size - 1;  // d is the largest id so far
        std::vector<uint32_t> local(m);
        for (uint32_t k = 0; k < m; k++)
            local[k] = side[k] == which ? sub->taxonToIndex[ids[k]] : dIdx;
        for (uint32_t w = 0; w < m; w++)
            for (uint32_t x = w + 1; x < m; x++)
                for (uint32_t y = x + 1; y < m; y++) {
                    const uint32_t in3 = (side[w] == which) + (side[x] == which) + (side[y] == which);
                    if (in3 < 2)
                        continue;
                    for (uint32_t z = y + 1; z < m; z++) {
                        if (in3 + (side[z] == which) < 3)
                            continue;
                        float f[3];
                        getQuartetCellWts(t, w, x, y, z, f);
                        const uint32_t a = local[w], b = local[x], c = local[y], e = local[z];
                        updateQuartetWt(sub, a, b, c, e, f[0]);
                        updateQuartetWt(sub, a, c, b, e, f[1]);
                        updateQuartetWt(sub, a, e, b, c, f[2]);
                    }
                }
        return sub;
    }

    // Solves the ids (in increasing order) with their table; the leaves of
    // the result by id.
    int rec(const std::vector<uint32_t> &ids, const QwtTable *t, Leaves *out)
    {
        if (stopped())
            return 2;
        const uint32_t m = static_cast<uint32_t>(ids.size());
        if (m < 4 || !qwtHasWeight(t)) {
            *out = star(ids);
            return 0;
        }
        std::vector<uint8_t> side(m, 0), placed(m, 0);
        if (m == 4) {
            maxWtQuartet(t, side, placed);
        } else {
            bool done = false;
            if (opt.ptn == kPtnOstrel) {
                partitionOstrel(t, side);
                done = true;
            } else if (opt.ptn == kPtnB) {
                done = partitionB(t, side);
            } else if (opt.ptn == kPtnC) {
                const int rc = partitionC(t, side);
                if (rc > 0)
                    return rc;
                done = rc == 0;
            }
            if (!done) {
                std::fill(side.begin(), side.end(), 0);
                maxWtQuartet(t, side, placed);
                partitionA(t, side, placed);
            }
            // Every side needs two taxa for its sub-problem to be smaller.
            uint32_t inA = 0;
            for (uint8_t s : side)
                inA += s;
            if (inA < 2 || m - inA < 2) {
                std::fill(side.begin(), side.end(), 0);
                std::fill(placed.begin(), placed.end(), 0);
                maxWtQuartet(t, side, placed);
                partitionA(t, side, placed);
            }
            improve(t, side);
        }
        const uint32_t d = nextArtificial++;
        const uint32_t universe = 2 * n - 1;
        Leaves sides[2];
        for (uint8_t which : {uint8_t{1}, uint8_t{0}}) {
            TablePtr sub(subTable(t, ids, side, which, universe, d));
            if (!sub)
                return 1;
            std::vector<uint32_t> subIds(sub->indexToTaxon);
            const int rc = rec(subIds, sub.get(), &sides[which]);
            if (rc != 0)
                return rc;
        }
        // Join where the artificial taxon stood on each side.
        uint32_t leaf[2] = {0, 0};
        out->of.clear();
        for (int s = 0; s < 2; s++)
            for (const auto &[id, node] : sides[s].of) {
                if (id == d)
                    leaf[s] = node;
                else
                    out->of.push_back({id, node});
            }
        const uint32_t na = g.adj[leaf[0]][0], nb = g.adj[leaf[1]][0];
        g.unlink(leaf[0], na);
        g.unlink(leaf[1], nb);
        g.link(na, nb);
        return 0;
    }
};

}  // namespace

double countSatisfiedViolated(const QuartetData *qd, const std::vector<uint8_t> &side)
{
    return Qfm::ptnScore(qd->table, side);
}

int qsearch_QFM(QuartetData *qd, Tree *tree, ProgData *progress, const QfmOptions &options)
{
    const QwtTable *t = qd->table;
    const uint32_t n = t->n;
    try {
        Qfm q{qd, n, options, qd->weighted != 0, progress};
        initRNG(&q.rng, makeSeed1(1));
        q.nextArtificial = n;
        if (progress)
            resetProgressWindow(progress, n > 3 ? n - 3 : 1, "QFM quartet assembly");
        std::vector<uint32_t> ids(n);
        for (uint32_t k = 0; k < n; k++)
            ids[k] = k;
        Qfm::Leaves leaves;
        const int rc = q.rec(ids, t, &leaves);
        if (rc != 0)
            return rc;
        return buildTreeFromGraph(tree, n, q.g, 0);
    } catch (const std::bad_alloc &) {
        reportMemoryFailure();
        return 1;
    }
}

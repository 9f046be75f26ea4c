#include "quartets/quartets.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <new>

#include "qel/qel_malloc.h"
#include "qel/qel_sets.h"
#include "trees/treeedit.h"
#include "trees/treeutil.h"

namespace {

uint64_t pairs(uint64_t k) { return k * (k - 1) / 2; }

// The members of a bit vector of capacity n, in increasing order.
uint32_t loadList(const uint64_t *set, uint32_t n, std::vector<uint32_t> &list)
{
    list.clear();
    if (!set)
        return 0;
    const uint32_t words = setWordCount(n);
    for (uint32_t w = 0; w < words; w++)
        for (uint64_t bits = set[w]; bits; bits &= bits - 1) {
            const uint32_t m = w * 64 + static_cast<uint32_t>(std::countr_zero(bits));
            if (m < n)
                list.push_back(m);
        }
    return static_cast<uint32_t>(list.size());
}

// The tip at which the tree is rooted, or -1 when it is rooted at the
// ancestor node.
int32_t rootTaxon(const Tree *tree)
{
    const TreeNode *r = tree->root;
    return r && r->index >= 0 && static_cast<uint32_t>(r->index) < tree->ntax ? r->index : -1;
}

}  // namespace

QwtTable *createQwtTable(uint32_t ntaxData, uint32_t n, bool binary, bool withMaps, const Set *taxonSet)
{
    try {
        auto *t = new QwtTable;
        t->n = n;
        t->binary = binary;
        t->offs.resize(std::max<uint32_t>(n, 1));
        for (uint32_t k = 0; k < n; k++)
            t->offs[k] = static_cast<uint32_t>(pairs(k));
        uint64_t cells = 0;
        if (n >= 4) {
            t->rowStart.resize(pairs(n - 2));
            for (uint32_t x = 1; x + 3 <= n; x++)
                for (uint32_t w = 0; w < x; w++) {
                    t->rowStart[t->offs[x] + w] = cells;
                    cells += pairs(n - 1 - x);
                }
        }
        if (binary)
            t->bits.assign(cells, 0);
        else
            t->wts.assign(3 * cells, 0.0f);
        if (withMaps) {
            t->taxonToIndex.assign(2 * std::max(ntaxData, n), kSetEnd);
            t->indexToTaxon.assign(n, kSetEnd);
            uint32_t k = 0;
            for (uint32_t taxon = 0; taxon < ntaxData && k < n; taxon++) {
                if (taxonSet && !isSetMember(taxonSet, taxon))
                    continue;
                t->taxonToIndex[taxon] = k;
                t->indexToTaxon[k++] = taxon;
            }
        }
        return t;
    } catch (const std::bad_alloc &) {
        // Its callers only unwind: the user is told here why.
        reportMemoryFailure();
        return nullptr;
    }
}

QwtTable *destroyQwtTable(QwtTable *table)
{
    delete table;
    return nullptr;
}

void setQuartetWt(QwtTable *t, uint32_t a, uint32_t b, uint32_t c, uint32_t d, float w)
{
    const QwtLoc loc = getQwtLoc(t, a, b, c, d);
    const uint64_t cell = t->rowStart[loc.row] + loc.cell;
    if (t->binary)
        t->bits[cell] = w != 0.0f ? static_cast<uint8_t>(1u << loc.topology) : 0;
    else
        t->wts[3 * cell + loc.topology] = w;
}

void updateQuartetWt(QwtTable *t, uint32_t a, uint32_t b, uint32_t c, uint32_t d, float w)
{
    if (w == 0.0f)
        return;
    const QwtLoc loc = getQwtLoc(t, a, b, c, d);
    const uint64_t cell = t->rowStart[loc.row] + loc.cell;
    if (t->binary) {
        const uint8_t bit = static_cast<uint8_t>(1u << loc.topology);
        if (!(t->bits[cell] & bit))
            t->numNonzero++;
        t->bits[cell] |= bit;
    } else {
        float &x = t->wts[3 * cell + loc.topology];
        if (x == 0.0f)
            t->numNonzero++;
        x += w;
    }
}

void zeroQwt(QwtTable *t)
{
    std::fill(t->wts.begin(), t->wts.end(), 0.0f);
    std::fill(t->bits.begin(), t->bits.end(), uint8_t{0});
    t->numNonzero = 0;
    t->totalWt = 0.0;
}

QwtTable *copyQwt(const QwtTable *t, bool keepBinary)
{
    const bool binary = keepBinary && t->binary;
    QwtTable *copy = createQwtTable(t->n, t->n, binary, true, nullptr);
    if (!copy || t->n < 4)
        return copy;
    // Both tables lay their cells out alike: every nonzero weight is carried
    // over cell by cell, as updateQuartetWt would add it.
    uint32_t nonzero = 0;
    if (binary) {
        copy->bits = t->bits;
        for (uint8_t b : t->bits)
            nonzero += std::popcount(static_cast<unsigned>(b));
    } else if (t->binary) {
        for (size_t c = 0; c < t->bits.size(); c++)
            for (uint32_t k = 0; k < 3; k++)
                if ((t->bits[c] >> k) & 1) {
                    copy->wts[3 * c + k] = 1.0f;
                    nonzero++;
                }
    } else {
        copy->wts = t->wts;
        nonzero = static_cast<uint32_t>(std::count_if(t->wts.begin(), t->wts.end(), [](float w) { return w != 0.0f; }));
    }
    copy->numNonzero = nonzero;
    return copy;
}

double calcTotalQuartetWt(const QwtTable *t)
{
    if (t->n < 4)
        return 0.0;
    double total = 0.0;
    if (t->binary) {
        for (uint8_t b : t->bits)
            total += std::popcount(static_cast<unsigned>(b));
    } else {
        for (float w : t->wts)
            total += w;
    }
    return total;
}

double cachedTotalQuartetWt(QwtTable *t)
{
    if (t->totalWt == 0.0)
        t->totalWt = calcTotalQuartetWt(t);
    return t->totalWt;
}

double calcQwtIncompat(QwtTable *t, double support) { return cachedTotalQuartetWt(t) - support; }

bool qwtHasWeight(const QwtTable *t)
{
    if (t->binary)
        return std::any_of(t->bits.begin(), t->bits.end(), [](uint8_t b) { return b != 0; });
    return std::any_of(t->wts.begin(), t->wts.end(), [](float w) { return w != 0.0f; });
}

QuartetData *allocQuartetData(uint32_t n, bool withTable, bool binary)
{
    try {
        auto *qd = new QuartetData;
        qd->n = n;
        for (auto &l : qd->list)
            l.reserve(n);
        if (withTable && !(qd->table = createQwtTable(n, n, binary, true, nullptr))) {
            delete qd;
            return nullptr;
        }
        return qd;
    } catch (const std::bad_alloc &) {
        reportMemoryFailure();
        return nullptr;
    }
}

QuartetData *deallocQuartetData(QuartetData *qd)
{
    if (qd) {
        destroyQwtTable(qd->table);
        delete qd;
    }
    return nullptr;
}

int allocLocalQuartetStorage(QuartetData *qd, uint32_t numNodes, uint32_t words)
{
    try {
        qd->numNodes = numNodes;
        qd->restWords = words;
        qd->support.assign(3 * uint64_t{numNodes}, QuartetSupportRec{0.0, 0.0, nullptr});
        qd->restSets.assign(uint64_t{numNodes} * words, 0);
        for (auto &w : qd->work)
            w.assign(numNodes, 0.0);
        return 0;
    } catch (const std::bad_alloc &) {
        deallocLocalQuartetStorage(qd);
        return 1;
    }
}

void deallocLocalQuartetStorage(QuartetData *qd)
{
    qd->support = {};
    qd->restSets = {};
    for (auto &w : qd->work)
        w = {};
    qd->numNodes = 0;
}

bool isQuartetCompatibleWithTree(uint32_t a, uint32_t b, uint32_t c, uint32_t d, Tree *tree)
{
    checkLeafSets(tree);
    const int32_t r = rootTaxon(tree);
    auto sideHolds = [&](uint32_t p, uint32_t q, uint32_t u, uint32_t v) {
        if (static_cast<int32_t>(p) == r || static_cast<int32_t>(q) == r)
            return false;
        const TreeNode *m = tree->firstTip + p;
        while (m && !isBitVecMember(m->leafSet, q))
            m = m->anc;
        return m && !isBitVecMember(m->leafSet, u) && !isBitVecMember(m->leafSet, v);
    };
    return sideHolds(a, b, c, d) || sideHolds(c, d, a, b);
}

double updateQuartetSupport(QuartetData *qd, const uint64_t *A, const uint64_t *B, const uint64_t *R)
{
    const QwtTable *t = qd->table;
    const uint32_t n = t->n;
    std::vector<uint32_t> &la = qd->list[0], &lb = qd->list[1], &lr = qd->list[2];
    const uint32_t na = loadList(A, n, la), nb = loadList(B, n, lb), nr = loadList(R, n, lr);
    double sum = 0.0;
    for (uint32_t i = 0; i + 1 < na; i++)
        for (uint32_t j = i + 1; j < na; j++) {
            const uint32_t a = la[i], a2 = la[j];
            for (uint32_t k = 0; k < nb; k++) {
                const uint32_t b = lb[k];
                for (uint32_t m = 0; m < nr; m++)
                    sum += getQuartetWt(t, a, a2, b, lr[m]);
                for (uint32_t m = k + 1; m < nb; m++)
                    sum += getQuartetWt(t, a, a2, b, lb[m]);
            }
        }
    if (R && nb >= 2)
        for (uint32_t i = 0; i + 1 < nb; i++)
            for (uint32_t j = i + 1; j < nb; j++)
                for (uint32_t k = 0; k < na; k++)
                    for (uint32_t m = 0; m < nr; m++)
                        sum += getQuartetWt(t, lb[i], lb[j], la[k], lr[m]);
    return sum;
}

namespace {

double fullQuartetSupport(QuartetData *qd, Tree *tree)
{
    const QwtTable *t = qd->table;
    if (t->n < 4)
        return 0.0;
    checkTraversalSeq(tree);
    checkLeafSets(tree);
    const TreeNode *fork = getFirstFork(tree);
    if (!fork)
        return 0.0;
    const uint32_t words = tree->wordsPerLeafSet;
    std::vector<uint64_t> present(fork->leafSet, fork->leafSet + words);
    const int32_t r = rootTaxon(tree);
    if (r >= 0)
        addBitVecMember(present.data(), static_cast<uint32_t>(r));
    const uint32_t n = t->n;
    auto taxon = [&](uint32_t k) { return t->indexToTaxon.empty() ? k : t->indexToTaxon[k]; };
    std::vector<uint32_t> idx;
    for (uint32_t k = 0; k < n; k++)
        if (taxon(k) < tree->ntax && isBitVecMember(present.data(), taxon(k)))
            idx.push_back(k);
    double sum = 0.0;
    const size_t m = idx.size();
    for (size_t i = 0; i < m; i++)
        for (size_t j = i + 1; j < m; j++)
            for (size_t k = j + 1; k < m; k++)
                for (size_t l = k + 1; l < m; l++) {
                    const uint32_t w = idx[i], x = idx[j], y = idx[k], z = idx[l];
                    float f[3];
                    getQuartetCellWts(t, w, x, y, z, f);
                    const uint32_t tw = taxon(w), tx = taxon(x), ty = taxon(y), tz = taxon(z);
                    if (f[0] != 0.0f && isQuartetCompatibleWithTree(tw, tx, ty, tz, tree))
                        sum += f[0];
                    if (f[1] != 0.0f && isQuartetCompatibleWithTree(tw, ty, tx, tz, tree))
                        sum += f[1];
                    if (f[2] != 0.0f && isQuartetCompatibleWithTree(tw, tz, tx, ty, tree))
                        sum += f[2];
                }
    return sum;
}

}  // namespace

double calcQuartetSupport(QuartetData *qd, Tree *tree, bool forceFull)
{
    if (forceFull || !determineIfTreeIsBinary(tree))
        return fullQuartetSupport(qd, tree);
    checkTraversalSeq(tree);
    if (!tree->root)
        return 0.0;
    const bool valid = tree->flags & kTreeLeafSetsValid;
    const uint32_t words = tree->wordsPerLeafSet;
    if (!valid)
        for (TreeNode *p = tree->tail; p; p = p->prev)
            if (p->firstChild)
                makeLeafSetFromChildren(p, words);
    const TreeNode *fork = getFirstFork(tree);
    std::vector<uint64_t> all(fork->leafSet, fork->leafSet + words), rest(words);
    const int32_t r = rootTaxon(tree);
    if (r >= 0)
        addBitVecMember(all.data(), static_cast<uint32_t>(r));
    double sum = 0.0;
    for (TreeNode *p = tree->tail; p; p = p->prev) {
        const TreeNode *c1 = p->firstChild;
        if (!c1 || !c1->nextSib)
            continue;
        const TreeNode *c2 = c1->nextSib;
        if (!c1->firstChild && !c2->firstChild)
            continue;
        bitVecSubtract(all.data(), p->leafSet, rest.data(), words);
        sum += updateQuartetSupport(qd, c1->leafSet, c2->leafSet, rest.data());
    }
    tree->flags |= kTreeLeafSetsValid;
    return sum;
}

QuartetList *allocQuartetList(uint32_t capacity)
{
    try {
        auto *list = new QuartetList;
        list->entries.reserve(capacity);
        return list;
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

QuartetList *deallocQuartetList(QuartetList *list)
{
    delete list;
    return nullptr;
}

void addQuartetToList(QuartetList *list, uint32_t a, uint32_t b, uint32_t c, uint32_t d, double wt)
{
    if (a > b)
        std::swap(a, b);
    if (c > d)
        std::swap(c, d);
    if (a > c) {
        std::swap(a, c);
        std::swap(b, d);
    }
    list->entries.push_back({wt, {static_cast<uint16_t>(a), static_cast<uint16_t>(b), static_cast<uint16_t>(c),
                                  static_cast<uint16_t>(d)}});
}

std::vector<QuartetEntry *> getQuartetArray(QuartetList *list)
{
    std::vector<QuartetEntry *> out;
    out.reserve(list->entries.size());
    for (QuartetEntry &e : list->entries)
        out.push_back(&e);
    return out;
}

bool compareQuartetWeights(const QuartetEntry *p, const QuartetEntry *q)
{
    if (std::fabs(p->wt - q->wt) >= 1e-10)
        return p->wt > q->wt;
    return std::lexicographical_compare(p->t, p->t + 4, q->t, q->t + 4);
}

// The store of weighted quartet topologies every quartet method shares: for
// each set of four taxa a weight for each of its three unrooted resolutions,
// the data set's quartet record around it, the quartet support of a tree and
// the sorted quartet list.
//
// A table's taxa are its own indices 0 .. n-1. For four indices sorted
// w < x < y < z, topology 0 is wx|yz, 1 is wy|xz and 2 is wz|xy. The pair
// (w, x) owns a row (only pairs with x <= n-3 have one) holding a cell for
// every pair (y, z) with x < y < z; the rows lie end to end in one array.
#pragma once

#include <cassert>
#include <cstdint>
#include <utility>
#include <string>
#include <vector>

struct Set;
struct Tree;

struct QwtLoc {
    uint32_t topology;
    uint32_t row;
    uint32_t cell;
};

struct QwtTable {
    uint32_t n = 0;
    uint8_t binary = 0;        // one bit per topology instead of a float
    uint32_t numNonzero = 0;   // entries made nonzero by updateQuartetWt
    double totalWt = 0.0;      // 0: not computed yet
    std::vector<uint32_t> offs;      // offs[k] = k(k-1)/2
    std::vector<uint64_t> rowStart;  // first cell of each row
    std::vector<float> wts;          // 3 per cell (float mode)
    std::vector<uint8_t> bits;       // 1 per cell, bits 0..2 (binary mode)
    // Present when made with maps: data-set taxon -> table index (kSetEnd
    // for a taxon outside the table) and table index -> data-set taxon.
    std::vector<uint32_t> taxonToIndex;
    std::vector<uint32_t> indexToTaxon;
};

QwtTable *createQwtTable(uint32_t ntaxData, uint32_t n, bool binary, bool withMaps, const Set *taxonSet);
QwtTable *destroyQwtTable(QwtTable *table);
inline QwtTable *deallocQuartetTable(QwtTable *table) { return destroyQwtTable(table); }

inline QwtLoc getQwtLoc(const QwtTable *t, uint32_t a, uint32_t b, uint32_t c, uint32_t d)
{
    assert(a != b && a != c && a != d && b != c && b != d && c != d);
    if (a > b)
        std::swap(a, b);
    if (c > d)
        std::swap(c, d);
    if (a > c) {
        std::swap(a, c);
        std::swap(b, d);
    }
    uint32_t x, y, z, topology;
    if (b < c)
        x = b, y = c, z = d, topology = 0;
    else if (b < d)
        x = c, y = b, z = d, topology = 1;
    else
        x = c, y = d, z = b, topology = 2;
    const uint32_t *offs = t->offs.data();
    return {topology, offs[x] + a, offs[z - x - 1] + (y - x - 1)};
}

inline float getQuartetWt(const QwtTable *t, uint32_t a, uint32_t b, uint32_t c, uint32_t d)
{
    const QwtLoc loc = getQwtLoc(t, a, b, c, d);
    const uint64_t cell = t->rowStart[loc.row] + loc.cell;
    if (t->binary)
        return (t->bits[cell] >> loc.topology) & 1 ? 1.0f : 0.0f;
    return t->wts[3 * cell + loc.topology];
}

void setQuartetWt(QwtTable *t, uint32_t a, uint32_t b, uint32_t c, uint32_t d, float w);
void updateQuartetWt(QwtTable *t, uint32_t a, uint32_t b, uint32_t c, uint32_t d, float w);
void zeroQwt(QwtTable *t);
QwtTable *copyQwt(const QwtTable *t, bool keepBinary);
double calcTotalQuartetWt(const QwtTable *t);
// The cached total, computed and stored when it is 0.
double cachedTotalQuartetWt(QwtTable *t);
double calcQwtIncompat(QwtTable *t, double support);

// The three weights of the quartet of sorted indices w < x < y < z, by
// topology (binary tables give 0 or 1).
inline void getQuartetCellWts(const QwtTable *t, uint32_t w, uint32_t x, uint32_t y, uint32_t z, float out[3])
{
    const uint64_t cell = t->rowStart[t->offs[x] + w] + t->offs[z - x - 1] + (y - x - 1);
    if (t->binary) {
        for (uint32_t k = 0; k < 3; k++)
            out[k] = (t->bits[cell] >> k) & 1 ? 1.0f : 0.0f;
    } else {
        const float *f = t->wts.data() + 3 * cell;
        out[0] = f[0], out[1] = f[1], out[2] = f[2];
    }
}

// Calls fn(w, x, y, z, f) for every quartet w < x < y < z of the table's
// taxa with its three weights (wx|yz, wy|xz, wz|xy), in table order.
template <typename Fn>
void forEachQuartetWts(const QwtTable *t, Fn fn)
{
    const uint32_t m = t->n;
    float f[3];
    for (uint32_t w = 0; w < m; w++)
        for (uint32_t x = w + 1; x < m; x++)
            for (uint32_t y = x + 1; y < m; y++)
                for (uint32_t z = y + 1; z < m; z++) {
                    getQuartetCellWts(t, w, x, y, z, f);
                    fn(w, x, y, z, f);
                }
}
// Whether any topology of the table has a nonzero weight.
bool qwtHasWeight(const QwtTable *t);

// The per-node support records of the quartet local search: the sum over
// the quartets resolved on one side of a node, a saved copy, and the leaf
// set it refers to.
struct QuartetSupportRec {
    double sum;
    double saved;
    const uint64_t *leafSet;
};

struct QuartetData {
    QwtTable *table = nullptr;
    // Local-search storage: three records per node (own leaf set, the rest
    // of the tree, a spare), the rest-of-tree leaf sets, node work arrays.
    std::vector<QuartetSupportRec> support;
    std::vector<uint64_t> restSets;
    uint32_t restWords = 0;
    std::vector<double> work[3];
    std::vector<uint32_t> list[3];  // taxon work lists of updateQuartetSupport
    uint32_t n = 0;
    uint32_t numNodes = 0;
    uint8_t weighted = 0;
    // The data-set row each table index stood for when the quartets were
    // stored; empty when index k is row k (quartets read by taxon number).
    std::vector<uint32_t> rows;
    // Quartets of species (a species-tree SVDQuartets run): the species'
    // names and the data rows of each one's lineages. Empty for quartets of
    // taxa.
    std::vector<std::string> species;
    std::vector<std::vector<uint32_t>> speciesRows;
};

QuartetData *allocQuartetData(uint32_t n, bool withTable, bool binary);
QuartetData *deallocQuartetData(QuartetData *qd);
int allocLocalQuartetStorage(QuartetData *qd, uint32_t numNodes, uint32_t words);
void deallocLocalQuartetStorage(QuartetData *qd);

bool isQuartetCompatibleWithTree(uint32_t a, uint32_t b, uint32_t c, uint32_t d, Tree *tree);
// Sets are bit vectors of table indices of the qd's table; R may be null.
double updateQuartetSupport(QuartetData *qd, const uint64_t *A, const uint64_t *B, const uint64_t *R);
double calcQuartetSupport(QuartetData *qd, Tree *tree, bool forceFull);

// Sorted quartet lists: weight, then the four taxa pair-normalised.
struct QuartetEntry {
    double wt;
    uint16_t t[4];
};
struct QuartetList {
    std::vector<QuartetEntry> entries;
};
QuartetList *allocQuartetList(uint32_t capacity);
QuartetList *deallocQuartetList(QuartetList *list);
void addQuartetToList(QuartetList *list, uint32_t a, uint32_t b, uint32_t c, uint32_t d, double wt);
std::vector<QuartetEntry *> getQuartetArray(QuartetList *list);
// Decreasing weight (differences below 1e-10 are ties), then ascending taxa.
bool compareQuartetWeights(const QuartetEntry *p, const QuartetEntry *q);

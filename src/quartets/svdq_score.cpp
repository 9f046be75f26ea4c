// The score of one quartet: pattern counts, the three flattening matrices,
// their normalisation and singular values, and the entries a quartet leaves.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <memory>
#include <numeric>

#include <emmintrin.h>

#include "data/patterns.h"
#include "data/vorn_data.h"
#include "qel/qel_detmath.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_files.h"
#include "qel/qel_fortran_lapack.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_output.h"
#include "qel/qel_oututil.h"
#include "qel/qel_progress.h"
#include "quartets/quartets_settings.h"
#include "quartets/svdq.h"
#include "trees/splits.h"
#include "trees/treeutil.h"

namespace {

// Far more than dgesdd (values only) or dgejsv need for a 16 x 16 matrix.
constexpr size_t kLapackWork = 4096;
constexpr size_t kLapackIWork = 256;

constexpr const char *kSplitLabels[3] = {"12|34", "13|24", "14|23"};

uint32_t digits(uint64_t n)
{
    uint32_t k = 1;
    while (n >= 10)
        n /= 10, k++;
    return k;
}

// The Frobenius norm of values[from .. q-1].
double tailNorm(const double *values, uint32_t from, uint32_t q)
{
    if (from >= q)
        return 0.0;
    if (q - from == 1)
        return values[from];
    double sum = 0.0;
    for (uint32_t i = from; i < q; i++)
        sum += values[i] * values[i];
    return std::sqrt(sum);
}

struct TableWidths {
    int quartet, taxon, indent;
    bool fits;
};

TableWidths tableWidths(const SvdqEvalData &ev)
{
    TableWidths t{};
    t.quartet = static_cast<int>(std::max<uint32_t>(7, digits(ev.nq))) + 2;
    t.taxon = static_cast<int>(digits(ev.ntax)) + 1;
    t.indent = t.quartet + 17 + 4 * t.taxon + (ev.qweights ? 10 : 0);
    t.fits = static_cast<uint32_t>(t.indent) + 10 * ev.s * ev.s <= getOutputLineLength();
    return t;
}

std::string fixed6(int width, double x)
{
    char buf[48];
    return fltValueToString(6, width, true, sizeof buf, buf, x, 1e15, 0.0);
}

void outputScoresLine(const SvdqEvalData &ev, int line, uint64_t quartetIndex, const uint32_t t[4],
                      const double *values, bool rejected, double score, double weight)
{
    const TableWidths w = tableWidths(ev);
    if (line == 0)
        qel_printf("%*llu", w.quartet, static_cast<unsigned long long>(quartetIndex + 1));
    else
        qel_printf("%*s", w.quartet, "");
    qel_printf("  %*u%*u |%*u%*u %12s", w.taxon, t[0] + 1, w.taxon, t[1] + 1, w.taxon, t[2] + 1, w.taxon, t[3] + 1,
               fixed6(10, score).c_str());
    if (ev.qweights)
        qel_printf("%10.6f", weight);
    if (ev.showSV) {
        const uint32_t n = ev.s * ev.s;
        for (uint32_t i = 0; i < n; i++) {
            if (i == 8 && !w.fits)
                qel_printf("\n%*s", w.indent, "");
            qel_printf("%10s", fixed6(8, values[i]).c_str());
        }
    }
    if (rejected && line == 0)
        qel_printf(" (rejected)");
    qel_printf("\n");
}

// Spreads weight wt of a site with an ambiguity code over every combination
// of the four codes' states.
void spreadSite(const SvdqEvalData &ev, const uint8_t code[4], double wt, double *counts)
{
    const uint8_t *list[4];
    double divisor = 1.0;
    for (int k = 0; k < 4; k++) {
        list[k] = ev.codeStateLists + ev.codeListOffset[code[k]];
        divisor *= list[k][0];
    }
    const double share = wt / divisor;
    for (uint32_t i = 1; i <= list[0][0]; i++)
        for (uint32_t j = 1; j <= list[1][0]; j++)
            for (uint32_t k = 1; k <= list[2][0]; k++)
                for (uint32_t l = 1; l <= list[3][0]; l++)
                    counts[(list[0][i] << 6) | (list[1][j] << 4) | (list[2][k] << 2) | list[3][l]] += share;
}

}  // namespace

SvdqWork::SvdqWork() : work(kLapackWork), iwork(kLapackIWork) {}

int initSvdqScoring(SvdqEvalData &ev, const SitePatternData *pd)
{
    ev.rows = pd->rows;
    ev.codeStateLists = pd->codeStateLists;
    ev.codeListOffset = pd->codeListOffset;
    ev.npat = pd->npat;
    ev.s = pd->nstates;
    ev.ntax = pd->ntax;
    ev.words = (ev.npat + 63) / 64;
    try {
        ev.intWeights.assign(ev.npat, 0);
        setSvdqWeights(ev, pd->patternWeight);
        ev.usable.assign(static_cast<size_t>(ev.words) * ev.ntax, 0);
        ev.single.assign(static_cast<size_t>(ev.words) * ev.ntax, 0);
    } catch (const std::bad_alloc &) {
        return 1;
    }
    // A single state is always usable; an ambiguity code only when its states
    // are spread; the missing code s never.
    for (uint32_t t = 0; t < ev.ntax; t++) {
        uint64_t *bits = ev.usable.data() + static_cast<size_t>(t) * ev.words;
        uint64_t *single = ev.single.data() + static_cast<size_t>(t) * ev.words;
        for (uint32_t p = 0; p < ev.npat; p++) {
            const uint8_t code = ev.rows[t][p];
            const uint64_t bit = uint64_t{1} << (p & 63);
            if (code < ev.s || (ev.distribute && code > ev.s))
                bits[p >> 6] |= bit;
            if (code < ev.s)
                single[p >> 6] |= bit;
        }
    }
    return 0;
}

void setSvdqWeights(SvdqEvalData &ev, const double *weights)
{
    ev.weights = weights;
    ev.integral = ev.intWeights.size() == ev.npat;
    double sum = 0.0;
    for (uint32_t p = 0; p < ev.npat && ev.integral; p++) {
        const double w = weights[p];
        sum += w;
        // No tally of whole weights may pass 32 bits.
        ev.integral = w >= 0.0 && w == std::floor(w) && sum < 2147483648.0;
        if (ev.integral)
            ev.intWeights[p] = static_cast<uint32_t>(w);
    }
}

namespace {

// The cells (4-based state codes of the four units) of 64 sites; a code
// above 3 gives some cell, which the caller must not count.
inline void siteCells(const uint8_t *ra, const uint8_t *rb, const uint8_t *rc, const uint8_t *rd, uint8_t *out)
{
    const __m128i three = _mm_set1_epi8(3);
    for (uint32_t i = 0; i < 64; i += 16) {
        auto load = [&](const uint8_t *r) {
            return _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i *>(r + i)), three);
        };
        // Each byte holds at most 3 before the shift, so 16-bit shifts keep
        // the bits inside their byte.
        const __m128i x = _mm_or_si128(_mm_or_si128(_mm_slli_epi16(load(ra), 6), _mm_slli_epi16(load(rb), 4)),
                                       _mm_or_si128(_mm_slli_epi16(load(rc), 2), load(rd)));
        _mm_store_si128(reinterpret_cast<__m128i *>(out + i), x);
    }
}

}  // namespace

double makeFlatteningMatrices(const SvdqEvalData &ev, uint32_t a, uint32_t b, uint32_t c, uint32_t d, SvdqWork &w)
{
    for (auto &table : w.counts)
        std::fill(std::begin(table), std::end(table), 0.0);
    if (ev.integral)
        for (auto &table : w.intCounts)
            std::fill(std::begin(table), std::end(table), 0u);
    const size_t words = ev.words;
    auto bitsOf = [&](const std::vector<uint64_t> &v, uint32_t t) { return v.data() + t * words; };
    const uint64_t *ua = bitsOf(ev.usable, a), *ub = bitsOf(ev.usable, b), *uc = bitsOf(ev.usable, c),
                   *ud = bitsOf(ev.usable, d);
    const uint64_t *sa = bitsOf(ev.single, a), *sb = bitsOf(ev.single, b), *sc = bitsOf(ev.single, c),
                   *sd = bitsOf(ev.single, d);
    const uint8_t *ra = ev.rows[a], *rb = ev.rows[b], *rc = ev.rows[c], *rd = ev.rows[d];
    const double *wt = ev.weights;
    double total = 0.0;
    double *c0 = w.counts[0], *c1 = w.counts[1], *c2 = w.counts[2], *c3 = w.counts[3];
    for (uint32_t word = 0; word < ev.words; word++) {
        const uint32_t base = word * 64;
        const uint64_t single = sa[word] & sb[word] & sc[word] & sd[word];
        if (base + 64 <= ev.npat && ev.integral) {
            // A whole word: the cells of all 64 sites, those that do not count
            // sent to the upper half, tallied in four interleaved tables so
            // that repeated cells do not wait on each other's additions.
            siteCells(ra + base, rb + base, rc + base, rd + base, w.cells);
            const uint32_t *x = ev.intWeights.data() + base;
            for (uint32_t i = 0; i < 64; i += 4) {
                auto cell = [&](uint32_t k) { return w.cells[k] | ((~single >> k & 1) << 8); };
                w.intCounts[0][cell(i)] += x[i];
                w.intCounts[1][cell(i + 1)] += x[i + 1];
                w.intCounts[2][cell(i + 2)] += x[i + 2];
                w.intCounts[3][cell(i + 3)] += x[i + 3];
            }
        } else if (base + 64 <= ev.npat) {
            siteCells(ra + base, rb + base, rc + base, rd + base, w.cells);
            for (uint32_t i = 0; i < 64; i++)
                w.siteWts[i] = (single >> i) & 1 ? wt[base + i] : 0.0;
            for (uint32_t i = 0; i < 64; i += 4) {
                c0[w.cells[i]] += w.siteWts[i];
                c1[w.cells[i + 1]] += w.siteWts[i + 1];
                c2[w.cells[i + 2]] += w.siteWts[i + 2];
                c3[w.cells[i + 3]] += w.siteWts[i + 3];
                total += (w.siteWts[i] + w.siteWts[i + 1]) + (w.siteWts[i + 2] + w.siteWts[i + 3]);
            }
        } else {
            for (uint64_t bits = single; bits; bits &= bits - 1) {
                const uint32_t p = base + static_cast<uint32_t>(std::countr_zero(bits));
                total += wt[p];
                c0[(ra[p] << 6) | (rb[p] << 4) | (rc[p] << 2) | rd[p]] += wt[p];
            }
        }
        // Sites usable by all four with an ambiguity code in one of them.
        for (uint64_t bits = ua[word] & ub[word] & uc[word] & ud[word] & ~single; bits; bits &= bits - 1) {
            const uint32_t p = base + static_cast<uint32_t>(std::countr_zero(bits));
            total += wt[p];
            const uint8_t code[4] = {ra[p], rb[p], rc[p], rd[p]};
            spreadSite(ev, code, wt[p], c0);
        }
    }
    if (ev.integral) {
        uint64_t counted = 0;
        for (const auto &table : w.intCounts)
            counted = std::accumulate(table, table + 256, counted);
        total += static_cast<double>(counted);
    }
    const uint32_t s = ev.s;
    const uint32_t n = s * s;
    for (auto &m : w.flat)
        std::fill(m, m + n * n, 0.0);
    for (uint32_t xa = 0; xa < s; xa++)
        for (uint32_t xb = 0; xb < s; xb++)
            for (uint32_t xc = 0; xc < s; xc++)
                for (uint32_t xd = 0; xd < s; xd++) {
                    const uint32_t k = (xa << 6) | (xb << 4) | (xc << 2) | xd;
                    double v = (c0[k] + c1[k]) + (c2[k] + c3[k]);
                    if (ev.integral)
                        v += static_cast<double>(static_cast<uint64_t>(w.intCounts[0][k]) + w.intCounts[1][k] +
                                                 w.intCounts[2][k] + w.intCounts[3][k]);
                    if (v == 0.0)
                        continue;
                    w.flat[0][(xa * s + xb) * n + xc * s + xd] += v;
                    w.flat[1][(xa * s + xc) * n + xb * s + xd] += v;
                    w.flat[2][(xa * s + xd) * n + xb * s + xc] += v;
                }
    return total;
}

bool normalizeFlattening(uint32_t rank, bool alwaysKeep, const double *m, uint32_t n, bool byRows, bool byColumns,
                         double *out, uint32_t *rowsOut, uint32_t *colsOut)
{
    double rowSum[kSvdqDim] = {}, colSum[kSvdqDim] = {};
    bool rowKept[kSvdqDim] = {}, colKept[kSvdqDim] = {};
    for (uint32_t i = 0; i < n; i++)
        for (uint32_t j = 0; j < n; j++) {
            const double v = m[i * n + j];
            if (v != 0.0) {
                rowKept[i] = colKept[j] = true;
                rowSum[i] += v;
                colSum[j] += v;
            }
        }
    // Columns (or rows) of hardly any sites give a ratio of noise; they go.
    if (byColumns) {
        for (uint32_t j = 0; j < n; j++)
            colKept[j] = colKept[j] && colSum[j] > 2.0;
    } else if (byRows) {
        for (uint32_t i = 0; i < n; i++)
            rowKept[i] = rowKept[i] && rowSum[i] > 2.0;
    }
    uint32_t rows[kSvdqDim], cols[kSvdqDim], R = 0, K = 0;
    double total = 0.0;
    for (uint32_t i = 0; i < n; i++)
        if (rowKept[i])
            rows[R++] = i, total += rowSum[i];
    for (uint32_t j = 0; j < n; j++)
        if (colKept[j])
            cols[K++] = j;
    const bool transpose = K > R;
    *rowsOut = std::max(R, K);
    *colsOut = std::min(R, K);
    if (!alwaysKeep && (R <= rank || K <= rank))
        return false;
    for (uint32_t i = 0; i < R; i++)
        for (uint32_t j = 0; j < K; j++) {
            const double v = m[rows[i] * n + cols[j]];
            const double divisor = byColumns ? colSum[cols[j]] : byRows ? rowSum[rows[i]] : total;
            const double x = divisor != 0.0 ? v / divisor : 0.0;
            // Column-major, the longer dimension first.
            if (transpose)
                out[j + i * kSvdqDim] = x;
            else
                out[i + j * kSvdqDim] = x;
        }
    return true;
}

int calcSingularValues(double *a, double *values, uint32_t m, uint32_t n, bool highAccuracy, SvdqWork &w)
{
    std::fill(values, values + kSvdqDim, 0.0);
    if (n == 0)
        return 0;
    const int M = static_cast<int>(m), N = static_cast<int>(n), lda = static_cast<int>(kSvdqDim);
    double dummy = 0.0;
    if (!highAccuracy)
        return qel_lapack_dgesdd('N', M, N, a, lda, values, &dummy, 1, &dummy, 1, w.work.data(),
                                 static_cast<int>(w.work.size()), w.iwork.data());
    const int info = qel_lapack_dgejsv('F', 'N', 'N', 'R', 'T', 'N', M, N, a, lda, values, &dummy, 1, &dummy, 1,
                                       w.work.data(), static_cast<int>(w.work.size()), w.iwork.data());
    // dgejsv returns the values scaled by work[1]/work[0] to avoid overflow.
    if (info == 0 && w.work[1] != 0.0 && w.work[0] != w.work[1]) {
        const double scale = w.work[0] / w.work[1];
        for (uint32_t i = 0; i < n; i++)
            values[i] *= scale;
    }
    return info;
}

double calcSVDscore(const SvdqEvalData &ev, SvdqWork &w, int k, bool highAccuracy)
{
    const uint32_t n = ev.s * ev.s;
    const bool showing = ev.showScores || ev.showSV;
    auto scoreOnce = [&](bool byRows, bool byColumns, bool frob) -> double {
        uint32_t rows = 0, cols = 0;
        std::fill(w.sv, w.sv + kSvdqDim, 0.0);
        if (!normalizeFlattening(ev.rank, showing, w.flat[k], n, byRows, byColumns, w.norm, &rows, &cols))
            return 0.0;
        if (calcSingularValues(w.norm, w.sv, rows, cols, highAccuracy, w) != 0)
            return -1.0;
        if (frob) {
            char buf[64];
            std::snprintf(buf, sizeof buf, "%s\t%u", kSplitLabels[k], ev.nchar);
            w.frob += buf;
            for (uint32_t i = 0; i < 16; i++) {
                std::snprintf(buf, sizeof buf, "\t%.10f", tailNorm(w.sv, i, cols));
                w.frob += buf;
            }
            w.frob += '\n';
        }
        return tailNorm(w.sv, ev.rank, cols);
    };
    if (!ev.plus2)
        return scoreOnce(false, false, ev.writeFrob);
    const double byCols = scoreOnce(false, true, false);
    if (byCols < 0.0)
        return -1.0;
    const double byRows = scoreOnce(true, false, false);
    if (byRows < 0.0)
        return -1.0;
    return 0.5 * (byCols + byRows);
}

double calcLakescore(const double *m)
{
    // Rows and columns are pairs of DNA states (A C G T = 0 1 2 3).
    auto pair = [](const char *p) {
        auto state = [](char c) { return c == 'A' ? 0u : c == 'C' ? 1u : c == 'G' ? 2u : 3u; };
        return state(p[0]) * 4 + state(p[1]);
    };
    auto sum = [&](const char *const (&cells)[8][2]) {
        double x = 0.0;
        for (const auto &c : cells)
            x += m[pair(c[0]) * 16 + pair(c[1])];
        return x;
    };
    static constexpr const char *kP1[8][2] = {{"AA", "CC"}, {"AA", "TT"}, {"CC", "AA"}, {"CC", "GG"},
                                              {"GG", "CC"}, {"GG", "TT"}, {"TT", "AA"}, {"TT", "GG"}};
    static constexpr const char *kP2[8][2] = {{"AG", "CT"}, {"AG", "TC"}, {"CT", "AG"}, {"CT", "GA"},
                                              {"GA", "CT"}, {"GA", "TC"}, {"TC", "AG"}, {"TC", "GA"}};
    static constexpr const char *kN1[8][2] = {{"AG", "CC"}, {"AG", "TT"}, {"CT", "AA"}, {"CT", "GG"},
                                              {"GA", "CC"}, {"GA", "TT"}, {"TC", "AA"}, {"TC", "GG"}};
    static constexpr const char *kN2[8][2] = {{"AA", "CT"}, {"AA", "TC"}, {"CC", "AG"}, {"CC", "GA"},
                                              {"GG", "CT"}, {"GG", "TC"}, {"TT", "AG"}, {"TT", "GA"}};
    return -(sum(kP1) + sum(kP2) - sum(kN1) - sum(kN2));
}

void outputScoresHeading(const SvdqEvalData &ev)
{
    const TableWidths w = tableWidths(ev);
    const uint32_t n = ev.s * ev.s;
    qel_printf("\nSVD scores for each quartet\n\n");
    if (ev.showSV && w.fits) {
        const int dashes = 5 * static_cast<int>(n & ~1u) - 10;
        qel_printf("%*s   %s singular values %s\n", w.indent, "", std::string(std::max(dashes, 0), '-').c_str(),
                   std::string(std::max(dashes, 0), '-').c_str());
    }
    const std::string dash(2 * w.taxon, '-');
    qel_printf("%*s   %ssplit%s %12s", w.quartet, "quartet", dash.c_str(), dash.c_str(), "score");
    if (ev.qweights)
        qel_printf("%10s", "weight");
    if (ev.showSV) {
        if (w.fits) {
            for (uint32_t i = 1; i <= n; i++)
                qel_printf("%10u", i);
        } else {
            qel_printf("  %s singular values %s", std::string(ev.s == 4 ? 31 : 10, '-').c_str(),
                       std::string(ev.s == 4 ? 30 : 9, '-').c_str());
        }
    }
    qel_printf("\n");
    tableLine(0x7fffffff, 0);
}

bool isQuartetCompatible(const SvdqEvalData &ev, uint32_t a, uint32_t b, uint32_t c, uint32_t d)
{
    if (ev.conGroups.empty() || ev.conFree[a] || ev.conFree[b] || ev.conFree[c] || ev.conFree[d])
        return true;
    // A group holding exactly one of a, b and exactly one of c, d cannot
    // be a clade of any tree with the split ab|cd.
    const uint64_t *ga = &ev.conGroups[size_t(a) * ev.conWords], *gb = &ev.conGroups[size_t(b) * ev.conWords];
    const uint64_t *gc = &ev.conGroups[size_t(c) * ev.conWords], *gd = &ev.conGroups[size_t(d) * ev.conWords];
    for (uint32_t k = 0; k < ev.conWords; k++)
        if (((ga[k] ^ gb[k]) & (gc[k] ^ gd[k])) != 0)
            return false;
    return true;
}

namespace {

using Split = std::vector<uint64_t>;

bool hasUnit(const Split &s, uint32_t x) { return (s[x >> 6] >> (x & 63) & 1u) != 0; }

// Both sides of the split meet both sides of the group, within the taxa
// the constraint names: no tree can hold the two.
bool splitConflicts(const Split &s, const Split &group, const Split &named)
{
    bool inIn = false, inOut = false, outIn = false, outOut = false;
    for (size_t k = 0; k < s.size(); k++) {
        const uint64_t g = group[k], rest = named[k] & ~group[k];
        inIn |= (s[k] & g) != 0;
        inOut |= (s[k] & rest) != 0;
        outIn |= (~s[k] & g) != 0;
        outOut |= (~s[k] & rest) != 0;
    }
    return inIn && inOut && outIn && outOut;
}

// Resolves the polytomies of a tree given by compatible splits (each the
// side without unit 0) by quartet support: at a vertex of degree four or
// more, joining two of its parts resolves every quartet with one taxon in
// each of four different parts, so the pair whose join shows the most
// quartet weight is joined first, and so on until the vertex is binary.
// Adding splits never breaks a group the splits hold.
void resolveBySupport(const QwtTable *table, uint32_t n, std::vector<Split> &splits)
{
    const uint32_t words = splitWords(n);
    auto contains = [&](const Split &big, const Split &small) {
        for (uint32_t k = 0; k < words; k++)
            if ((small[k] & ~big[k]) != 0)
                return false;
        return true;
    };
    for (;;) {
        // Clusters of the tree rooted at unit 0: the splits, the single
        // units and all units but 0.
        std::vector<Split> clusters = splits;
        for (uint32_t x = 1; x < n; x++) {
            Split s(words, 0);
            s[x >> 6] |= uint64_t{1} << (x & 63);
            clusters.push_back(std::move(s));
        }
        Split all(words, 0);
        for (uint32_t x = 1; x < n; x++)
            all[x >> 6] |= uint64_t{1} << (x & 63);
        clusters.push_back(all);
        std::vector<uint32_t> sizes;
        for (const Split &c : clusters)
            sizes.push_back(splitSize(c.data(), words));
        // A vertex with more than two child clusters; its parts are those
        // children and the rest of the units (the last part).
        std::vector<Split> parts;
        for (size_t c = 0; c < clusters.size() && parts.size() < 3; c++) {
            parts.clear();
            Split covered(words, 0);
            for (size_t k = 0; k < clusters.size(); k++) {
                if (sizes[k] >= sizes[c] || !contains(clusters[c], clusters[k]))
                    continue;
                bool maximal = true;
                for (size_t m = 0; m < clusters.size() && maximal; m++)
                    maximal = !(sizes[m] > sizes[k] && sizes[m] < sizes[c] && contains(clusters[c], clusters[m]) &&
                                contains(clusters[m], clusters[k]));
                if (maximal)
                    parts.push_back(clusters[k]);
            }
            if (parts.size() < 3)
                continue;
            Split rest(words, 0);
            for (uint32_t x = 0; x < n; x++)
                if (!hasUnit(clusters[c], x))
                    rest[x >> 6] |= uint64_t{1} << (x & 63);
            parts.push_back(std::move(rest));
        }
        if (parts.size() < 4)
            return;
        const size_t np = parts.size();
        std::vector<uint32_t> partOf(n);
        for (uint32_t p = 0; p < np; p++)
            for (uint32_t x = 0; x < n; x++)
                if (hasUnit(parts[p], x))
                    partOf[x] = p;
        std::vector<double> gain(np * np, 0.0);
        float f[3];
        for (uint32_t w = 0; w < n; w++)
            for (uint32_t x = w + 1; x < n; x++)
                for (uint32_t y = x + 1; y < n; y++)
                    for (uint32_t z = y + 1; z < n; z++) {
                        const uint32_t pw = partOf[w], px = partOf[x], py = partOf[y], pz = partOf[z];
                        if (pw == px || pw == py || pw == pz || px == py || px == pz || py == pz)
                            continue;
                        getQuartetCellWts(table, w, x, y, z, f);
                        // Topology k pairs w with x, y, z in turn; joining
                        // either pair of parts resolves it that way.
                        gain[pw * np + px] += f[0], gain[py * np + pz] += f[0];
                        gain[pw * np + py] += f[1], gain[px * np + pz] += f[1];
                        gain[pw * np + pz] += f[2], gain[px * np + py] += f[2];
                    }
        size_t bi = 0, bj = 1;
        double best = -1.0;
        for (size_t i = 0; i < np; i++)
            for (size_t j = i + 1; j < np; j++) {
                const double g = gain[i * np + j] + gain[j * np + i];
                if (g > best)
                    best = g, bi = i, bj = j;
            }
        // The joined side without unit 0 (which only the last part holds).
        Split joined(words, 0);
        for (size_t p = 0; p + 1 < np; p++)
            if (bj == np - 1 ? p != bi : (p == bi || p == bj))
                for (uint32_t k = 0; k < words; k++)
                    joined[k] |= parts[p][k];
        splits.push_back(std::move(joined));
    }
}

}  // namespace

bool fitTreeToConstraint(const SvdqEvalData &ev, const QwtTable *table, Tree *tree)
{
    const uint32_t n = ev.nunits;
    if (ev.conGroups.empty() || n < 4)
        return false;
    const uint32_t words = splitWords(n);
    // Splits are kept as the side without unit 0, so that two agree
    // exactly when they are disjoint or nested.
    auto normalized = [&](Split s) {
        if (hasUnit(s, 0))
            for (uint32_t x = 0; x < n; x++)
                s[x >> 6] ^= uint64_t{1} << (x & 63);
        return s;
    };
    auto informative = [&](const Split &s) {
        const uint32_t size = splitSize(s.data(), words);
        return size >= 2 && size + 2 <= n;
    };
    Split named(words, 0);
    for (uint32_t x = 0; x < n; x++)
        if (!ev.conFree[x])
            named[x >> 6] |= uint64_t{1} << (x & 63);
    std::vector<Split> groups;
    for (uint32_t k = 0; k < ev.conWords * 64; k++) {
        Split g(words, 0);
        for (uint32_t x = 0; x < n; x++)
            if (ev.conGroups[size_t(x) * ev.conWords + k / 64] >> (k % 64) & 1u)
                g[x >> 6] |= uint64_t{1} << (x & 63);
        if (splitSize(g.data(), words) > 0)
            groups.push_back(std::move(g));
    }

    std::unique_ptr<SplitsList, void (*)(SplitsList *)> own(createSplitsList(tree->ntax, n, true),
                                                             [](SplitsList *l) { destroySplitsList(l); });
    if (!own)
        return false;
    makeSplitsListFromTree(tree, own.get());
    std::vector<Split> treeSplits;
    bool conflict = false;
    for (uint32_t i = 0; i < own->count; i++) {
        const uint64_t *bits = getSplitFromList(own.get(), i);
        Split s(words, 0);
        std::copy(bits, bits + std::min(words, own->words), s.begin());
        for (const Split &g : groups)
            conflict |= splitConflicts(s, g, named);
        treeSplits.push_back(normalized(std::move(s)));
    }
    if (!conflict)
        return false;

    // The constraint's groups first (taxa a backbone leaves free go with
    // the rest), then the tree's splits that agree with all of them.
    std::vector<Split> kept;
    auto agrees = [&](const Split &a, const Split &b) { return areSplitsCompatible(a.data(), b.data(), words); };
    for (const Split &g : groups) {
        Split s = normalized(g);
        if (informative(s) && std::find(kept.begin(), kept.end(), s) == kept.end() &&
            std::all_of(kept.begin(), kept.end(), [&](const Split &k) { return agrees(s, k); }))
            kept.push_back(std::move(s));
    }
    const size_t fromConstraint = kept.size();
    for (const Split &s : treeSplits)
        if (informative(s) && std::find(kept.begin(), kept.end(), s) == kept.end() &&
            std::all_of(kept.begin(), kept.begin() + fromConstraint, [&](const Split &k) { return agrees(s, k); }))
            kept.push_back(s);
    resolveBySupport(table, n, kept);
    SplitsList list;
    list.ntax = n;
    list.words = words;
    for (const Split &s : kept)
        if (appendSplitToList(&list, s.data()) != 0)
            return false;
    // Held as the assembly holds its trees: at the ancestor, or at a tip (that
    // of unit 0, which no kept split holds).
    TreeNode *root = (tree->flags & kTreeRootedAtAnc) != 0 ? tree->nodes : tree->nodes + 1;
    return makeTreeFromSplitsList(tree, n, &list, nullptr, root) == 0;
}

int scoreOneQuartet(const SvdqEvalData &ev, const uint32_t u[4], uint64_t quartetIndex, RNG *rng, SvdqWork &w)
{
    uint32_t t[4];
    double factor = 1.0;
    const bool species = !ev.members.empty();
    if (species && !ev.exhaustive) {
        // Four species drawn: one of each one's lineages stands for it.
        for (int k = 0; k < 4; k++) {
            const auto &m = ev.members[u[k]];
            t[k] = m[randomInteger(rng, static_cast<uint32_t>(m.size()))];
        }
    } else {
        std::copy(u, u + 4, t);
        if (species)
            for (int k = 0; k < 4; k++)
                factor /= static_cast<double>(ev.members[ev.speciesOf[t[k]]].size());
    }
    std::sort(t, t + 4);
    makeFlatteningMatrices(ev, t[0], t[1], t[2], t[3], w);

    const bool showing = ev.showScores || ev.showSV;
    double score[3], values[3][kSvdqDim];
    auto scoreAll = [&](bool highAccuracy) {
        for (int k = 0; k < 3; k++) {
            if (ev.lake)
                std::fill(w.sv, w.sv + kSvdqDim, 0.0);  // no decomposition: nothing to show
            score[k] = ev.lake ? calcLakescore(w.flat[k]) : calcSVDscore(ev, w, k, highAccuracy);
            if (score[k] < 0.0 && !ev.lake)
                return false;
            if (showing)
                std::copy(w.sv, w.sv + kSvdqDim, values[k]);
        }
        return true;
    };
    auto decompositionFailed = [&]() {
        qel_errorMsg(0, "Unexpected error while computing singular value decomposition.\tThe data file was \"%s\".",
                     getDataFileName() ? getDataFileName() : "");
        return 1;
    };
    if (!scoreAll(false))
        return decompositionFailed();
    auto spread = [&](double &lo, double &mid, double &hi) {
        double x[3] = {score[0], score[1], score[2]};
        std::sort(x, x + 3);
        lo = x[0], mid = x[1], hi = x[2];
    };
    double lo, mid, hi;
    spread(lo, mid, hi);
    bool rejected = hi - lo < 1e-12;
    if (!rejected) {
        if (!ev.lake && mid - lo < 1e-6) {
            // The two best are close: decide with the more accurate method.
            if (!scoreAll(true))
                return decompositionFailed();
            spread(lo, mid, hi);
        }
        if (mid - lo < 1e-12)
            rejected = ev.qweights == 0 || hi - lo < 1e-12;
    }
    double weight[3] = {0.0, 0.0, 0.0};
    if (!rejected && ev.qweights == 1) {
        const int zeros = (score[0] == 0.0) + (score[1] == 0.0) + (score[2] == 0.0);
        if (zeros == 0) {
            const double sum = 1.0 / score[0] + 1.0 / score[1] + 1.0 / score[2];
            for (int k = 0; k < 3; k++)
                weight[k] = (1.0 / score[k]) / sum;
        } else if (zeros == 1) {
            for (int k = 0; k < 3; k++)
                weight[k] = score[k] == 0.0 ? 1.0 : 0.0;
        } else {
            rejected = true;
        }
    } else if (!rejected && ev.qweights == 2) {
        // Relative to the best score, so that a large lambda cannot underflow
        // all three terms.
        double e[3], sum = 0.0;
        for (int k = 0; k < 3; k++)
            sum += e[k] = detExp(-ev.wtlambda * (score[k] - lo));
        for (int k = 0; k < 3; k++)
            weight[k] = e[k] / sum;
    }
    if (showing) {
        static constexpr int kOrder[3][4] = {{0, 1, 2, 3}, {0, 2, 1, 3}, {0, 3, 1, 2}};
        for (int k = 0; k < 3; k++) {
            const uint32_t q[4] = {t[kOrder[k][0]], t[kOrder[k][1]], t[kOrder[k][2]], t[kOrder[k][3]]};
            outputScoresLine(ev, k, quartetIndex, q, values[k], rejected, score[k], weight[k]);
        }
    }
    if (!rejected) {
        // Entries name units: lineages go back to their species.
        uint32_t e[4];
        for (int k = 0; k < 4; k++)
            e[k] = species ? ev.speciesOf[t[k]] : t[k];
        auto add = [&](int a, int b, int c, int d, double wt) {
            w.out[w.count++] = (QuartetEntry{wt, {static_cast<uint16_t>(e[a]), static_cast<uint16_t>(e[b]),
                                                  static_cast<uint16_t>(e[c]), static_cast<uint16_t>(e[d])}});
        };
        // A split the constraint forbids keeps its entry at weight 0; its
        // weight still counts in the table's total.
        auto addChecked = [&](int a, int b, int c, int d, double wt) {
            if (!ev.conGroups.empty() && !isQuartetCompatible(ev, t[a], t[b], t[c], t[d])) {
                w.rejected += wt;
                wt = 0.0;
            }
            add(a, b, c, d, wt);
        };
        if (ev.qweights) {
            addChecked(0, 1, 2, 3, weight[0] * factor);
            addChecked(0, 2, 1, 3, weight[1] * factor);
            addChecked(0, 3, 1, 2, weight[2] * factor);
        } else if (score[2] <= score[0] && score[2] <= score[1]) {
            addChecked(0, 3, 1, 2, factor);
        } else if (score[1] <= score[0]) {
            addChecked(0, 2, 1, 3, factor);
        } else {
            addChecked(0, 1, 2, 3, factor);
        }
    }
    if (ev.progress && !ev.bootstrapping)
        return incrementProgressValue(ev.progress) == kProgressAborted ? 2 : 0;
    return getAbortedStatus() ? 2 : 0;
}

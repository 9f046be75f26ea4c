#include "distance/pairdiff.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "cli/qel_cmdline.h"
#include "cli/qel_cmdoptions.h"
#include "data/chartaxlist.h"
#include "data/patterns.h"
#include "data/prepdata.h"
#include "data/vorn_data.h"
#include "distance/dcalc.h"
#include "distance/distance_settings.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_oututil.h"
#include "qel/qel_sets.h"

namespace {

constexpr uint32_t kLabelCut = 32;
constexpr char kBases[] = "ACGT";

std::string cutLabel(const DataInfo *d, uint32_t t)
{
    const char *label = getTaxLabel(d, t);
    return std::string(label ? label : "").substr(0, kLabelCut);
}

int digitsOf(uint32_t x)
{
    int k = 1;
    for (; x >= 10; x /= 10)
        ++k;
    return k;
}

// The selected pairs (i < j, active order) in the order they are shown.
std::vector<std::pair<uint32_t, uint32_t>> selectedPairs(const DataInfo *d)
{
    std::vector<std::pair<uint32_t, uint32_t>> pairs;
    const uint32_t n = d->nActive > 0 ? static_cast<uint32_t>(d->nActive) : 0;
    auto selected = [&](uint32_t t) {
        const uint32_t row = d->taxa.activeToOriginal ? d->taxa.activeToOriginal[t] : t;
        const Set *sel = pairDiff.taxa;
        return !sel || (row < sel->capacity && isSetMember(sel, row));
    };
    for (uint32_t i = 0; i < n; ++i)
        for (uint32_t j = i + 1; j < n && selected(i); ++j)
            if (selected(j))
                pairs.emplace_back(i, j);
    return pairs;
}

bool stopRequested() { return gAborted_.load() && confirmAbortRequest(); }

// Transitions join states of the same parity (A G, C T).
bool isTransition(uint32_t a, uint32_t b) { return a != b && (a & 1) == (b & 1); }

void printLongTable(double **M, uint32_t n, bool adjusted)
{
    double rows[4]{}, cols[4]{}, total = 0.0;
    for (uint32_t a = 0; a < n; ++a)
        for (uint32_t b = 0; b < n; ++b) {
            rows[a] += M[a][b];
            cols[b] += M[a][b];
            total += M[a][b];
        }
    if (n == 4) {
        qel_printf(adjusted ? "                   A           C           G           T           totals\n"
                            : "                  A       C       G       T    totals\n");
        const char *rule = adjusted ? "     -------------------------------------------------------+------------\n"
                                    : "     ---------------------------------------+--------\n";
        qel_printf("%s", rule);
        for (uint32_t a = 0; a < 4; ++a)
            qel_printf(adjusted ? "        %c  %12.3f%12.3f%12.3f%12.3f |%12.3f\n" : "        %c  %8g%8g%8g%8g |%8g\n",
                       kBases[a], M[a][0], M[a][1], M[a][2], M[a][3], rows[a]);
        qel_printf("%s", rule);
        qel_printf(adjusted ? "     totals%12.3f%12.3f%12.3f%12.3f |%12.3f\n" : "     totals%8g%8g%8g%8g |%8g\n",
                   cols[0], cols[1], cols[2], cols[3], total);
    } else {
        qel_printf(adjusted ? "                  A + G       C + T      totals\n"
                            : "               A + G    C + T     totals\n");
        const char *rule = adjusted ? "     -------------------------------+----------\n"
                                    : "     -------------------------+---------\n";
        qel_printf("%s", rule);
        const char *names[2] = {"A + G", "C + T"};
        for (uint32_t a = 0; a < 2; ++a)
            qel_printf(adjusted ? "      %5s%12.3f%12.3f |%10.3f\n" : "      %5s%9g%9g |%9g\n", names[a], M[a][0],
                       M[a][1], rows[a]);
        qel_printf("%s", rule);
        qel_printf(adjusted ? "     totals%12.3f%12.3f |%10.3f\n" : "     totals%9g%9g |%9g\n", cols[0], cols[1], total);
    }
    double differing = 0.0, ti = 0.0, tv = 0.0;
    for (uint32_t a = 0; a < n; ++a)
        for (uint32_t b = 0; b < n; ++b)
            if (a != b) {
                differing += M[a][b];
                (isTransition(a, b) ? ti : tv) += M[a][b];
            }
    const double proportion = total > 0.0 ? differing / total : 0.0;
    qel_printf(adjusted ? "\n        Proportion of sites differing = %.4f/%g = %.4f\n"
                        : "\n        Proportion of sites differing = %g/%g = %.4f\n",
               differing, total, proportion);
    if (n != 4)
        return;
    qel_printf(adjusted ? "        Apparent transition/transversion ratio = %.4f/%.4f = "
                        : "        Apparent transition/transversion ratio = %g/%g = ",
               ti, tv);
    if (tv > 0.0)
        qel_printf("%.4f\n", ti / tv);
    else
        qel_printf("undefined\n");
}

}  // namespace

uint32_t calcNxy(uint32_t i, uint32_t j, const SitePatternData *pd, uint32_t *N)
{
    const uint32_t n = pd->nstates;
    std::fill(N, N + n * n, 0u);
    uint32_t total = 0;
    for (uint32_t p = 0; p < pd->npat; ++p) {
        const uint8_t a = pd->rows[i][p], b = pd->rows[j][p];
        if (a >= n || b >= n)
            continue;
        const auto w = static_cast<uint32_t>(pd->patternWeight[p]);
        N[a * n + b] += w;
        total += w;
    }
    return total;
}

int pairDiffShort(const SitePatternData *pd, DataInfo *d)
{
    const uint32_t n = pd->nstates;
    const auto pairs = selectedPairs(d);
    // Column order: the pair sums AG CT AC AT CG GT, then AA CC GG TT.
    constexpr uint32_t kSumA[6] = {0, 1, 0, 0, 1, 2}, kSumB[6] = {2, 3, 1, 3, 2, 3};
    uint32_t N[16];
    uint32_t largest[10]{};
    int labelField = 6;
    for (uint32_t t = 0; t < static_cast<uint32_t>(std::max(d->nActive, 0)); ++t)
        labelField = std::max(labelField, static_cast<int>(cutLabel(d, t).size()) + 2);
    for (auto [i, j] : pairs) {
        calcNxy(i, j, pd, N);
        if (n == 4) {
            for (uint32_t k = 0; k < 6; ++k)
                largest[k] = std::max(largest[k], N[kSumA[k] * 4 + kSumB[k]] + N[kSumB[k] * 4 + kSumA[k]]);
            for (uint32_t a = 0; a < 4; ++a)
                largest[6 + a] = std::max(largest[6 + a], N[a * 4 + a]);
        }
    }
    int width[10];
    for (uint32_t k = 0; k < 10; ++k) {
        const bool identity = k >= 6;
        const uint32_t from = identity ? 10000 : 1000;
        width[k] = largest[k] >= from ? digitsOf(largest[k]) + 1 : (identity ? 5 : 4);
    }
    if (n == 4) {
        qel_printf("%*s  ---ti--", labelField, " ");
        putRepeatedChar('-', width[0] + width[1] - 8);
        qel_printf(" -------tv------");
        putRepeatedChar('-', width[2] + width[3] + width[4] + width[5] - 16);
        qel_printf("  -------ident------");
        putRepeatedChar('-', width[6] + width[7] + width[8] + width[9] - 20);
        qel_printf(" prop ti/tv\n");
        qel_printf("%-*s ", labelField, "Taxa");
        const char *names[10] = {"AG", "CT", "AC", "AT", "CG", "GT", "AA", "CC", "GG", "TT"};
        for (uint32_t k = 0; k < 10; ++k)
            qel_printf("%*s", width[k], names[k]);
        qel_printf(" diff ratio total\n");
    } else {
        qel_printf("%-*s       AC      AA      CC  P-diff  total\n", labelField, "Taxa");
    }
    tableLine(kUnderlineLastLine, 0);
    for (auto [i, j] : pairs) {
        const uint32_t total = calcNxy(i, j, pd, N);
        qel_printf("%s vs.\n", cutLabel(d, i).c_str());
        const std::string second = cutLabel(d, j);
        uint32_t same = 0;
        for (uint32_t a = 0; a < n; ++a)
            same += N[a * n + a];
        const double proportion = total ? static_cast<double>(total - same) / total : 0.0;
        if (n == 4) {
            qel_printf(" %-*s", labelField, second.c_str());
            uint32_t ti = 0, tv = 0;
            for (uint32_t k = 0; k < 6; ++k) {
                const uint32_t s = N[kSumA[k] * 4 + kSumB[k]] + N[kSumB[k] * 4 + kSumA[k]];
                (k < 2 ? ti : tv) += s;
                qel_printf("%*d", width[k], static_cast<int>(s));
            }
            for (uint32_t a = 0; a < 4; ++a)
                qel_printf("%*d", width[6 + a], static_cast<int>(N[a * 4 + a]));
            qel_printf("%5.2f", proportion);
            if (tv)
                qel_printf("%6.2f", static_cast<double>(ti) / tv);
            else
                qel_printf("   ---");
            qel_printf("%6d\n", static_cast<int>(total));
        } else {
            qel_printf(" %-*s%8d%8d%8d%8.2f%7d\n", labelField, second.c_str(), static_cast<int>(total - same),
                       static_cast<int>(N[0]), static_cast<int>(N[3]), proportion, static_cast<int>(total));
        }
        if (stopRequested())
            return 2;
    }
    return 0;
}

int pairDiffLong(DCalcData *cd, const SitePatternData *pd, DataInfo *d)
{
    const uint32_t n = cd->n;
    // The tables show what the sequences hold: no invariable sites removed.
    const double savedPInvar = dist.pInvar;
    dist.pInvar = 0.0;
    int status = 0;
    for (auto [i, j] : selectedPairs(d)) {
        const double total = calcFxy(cd, i, j, pd, true, cd->F, cd->counts, nullptr, cd->work);
        if (total == 0.0)
            continue;
        qel_printf("\n%s vs. %s:\n\n", cutLabel(d, i).c_str(), cutLabel(d, j).c_str());
        printLongTable(cd->counts, n, false);
        double rawTotal = 0.0;
        for (uint32_t a = 0; a < n; ++a)
            for (uint32_t b = 0; b < n; ++b)
                rawTotal += cd->counts[a][b];
        if (total > rawTotal) {
            qel_printf("\n     After adjusting for gaps/ambiguities:\n\n");
            for (uint32_t a = 0; a < n; ++a)
                for (uint32_t b = 0; b < n; ++b)
                    cd->work[a][b] = cd->F[a][b] * total;
            printLongTable(cd->work, n, true);
        }
        if (stopRequested()) {
            status = 2;
            break;
        }
    }
    dist.pInvar = savedPInvar;
    return status;
}

void showSubstClass(const int32_t pairClasses[6], PrintHook printFn)
{
    // Pair index of (a, b), a < b, in the order A-C A-G A-T C-G C-T G-T.
    constexpr int kPair[4][4] = {{-1, 0, 1, 2}, {0, -1, 3, 4}, {1, 3, -1, 5}, {2, 4, 5, -1}};
    printFn("Substitution classification:   A C G T\n");
    for (uint32_t a = 0; a < 4; ++a) {
        char cell[4];
        for (uint32_t b = 0; b < 4; ++b)
            cell[b] = a == b ? '-' : static_cast<char>('a' + pairClasses[kPair[a][b]]);
        printFn("%*c%c %c %c %c %c\n", 29, ' ', kBases[a], cell[0], cell[1], cell[2], cell[3]);
    }
}

void releasePairDiffTaxa() { pairDiff.taxa = deallocSet(pairDiff.taxa); }

int doPairDiffCmd()
{
    DataInfo *d = activeDataInfo();
    if (!d || verifyNucleotideData(d, "PairDiff") != 0)
        return 1;
    if (!pairDiff.taxa || pairDiff.taxa->capacity < d->ntax) {
        releasePairDiffTaxa();
        if (!(pairDiff.taxa = allocSet(d->ntax)))
            return 1;
        fillSet(pairDiff.taxa, d->ntax);
    }
    const int next = peekNextChar(nullptr);
    if (next != ';' && next != '/') {
        // A list that fails to read leaves the selection in force.
        Set *list = allocSet(d->ntax);
        if (!list)
            return 1;
        const int failed = readTaxaList(d, ";/", list, nullptr);
        if (!failed)
            copySet(list, pairDiff.taxa);
        deallocSet(list);
        if (failed)
            return 1;
    }
    if (getCmdParams(OptionSet::kPairDiff, ";", nullptr) <= 0)
        return 1;
    setDistanceModelData(d);
    if (prepareDataForPatternBasedAnalysis(d, nullptr) != 0)
        return 1;
    Model *model = getDefaultModel();
    if (checkNStatesValidDna(model, d) != 0)
        return 1;
    const SitePatternData *pd = activeModelGroup()->patterns;
    qel_printf("\nBase differences for pairs of sequences:\n\n");
    if (!pairDiff.shortFmt && !pairDiff.longFmt) {
        qel_printf("\nNeither \"short\" nor \"long\" format requested.  Long format will be used.\n");
        pairDiff.longFmt = 1;
    }
    if (pairDiff.shortFmt && pairDiffShort(pd, d) != 0)
        return 2;
    if (!pairDiff.longFmt)
        return 0;
    DCalcData *cd = createDCalcData(kDistP, model, nullptr, pd->nstates, nullptr, false, false, true);
    if (!cd)
        return 1;
    const int status = pairDiffLong(cd, pd, d);
    destroyDCalcData(cd);
    return status;
}

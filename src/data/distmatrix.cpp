#include "data/distmatrix.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <vector>

#include "cli/qel_cmdline.h"
#include "cli/qel_cmdoptions.h"
#include "data/data_services.h"
#include "data/data_settings.h"
#include "data/datamatrix.h"
#include "data/getdata.h"
#include "data/prepdata.h"
#include "data/vorn_memory.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_io.h"
#include "qel/qel_sets.h"

namespace {

int noUserDistances()
{
    return qel_errorMsg(0, "Distance matrices cannot be stored in this program.");
}

constexpr UserDistanceStore kNoStore{
    .distances = [](uint32_t) -> double ** {
        noUserDistances();
        return nullptr;
    },
    .allocWeights = []() -> double ** { return nullptr; },
    .haveDistances = [] { return false; },
    .haveWeights = [] { return false; },
    .install = [](uint32_t, double, uint32_t, bool) {},
    .destroy = [] {},
    .selectDistanceCriterion = [] {},
    .fitMeasureToData = [](uint32_t) {},
};

UserDistanceStore gStore = kNoStore;

template <typename F>
void take(F &slot, F given)
{
    if (given)
        slot = given;
}

// Keyword positions of the triangle option.
constexpr uint32_t kTriangleLower = 0;
constexpr uint32_t kTriangleUpper = 1;
constexpr uint32_t kTriangleBoth = 2;

constexpr int kMaxAsymmetryLines = 5;

// Position of the pair (i, j), i > j, in a packed lower triangle.
inline size_t packedIndex(uint32_t i, uint32_t j) { return size_t{i} * (i - 1) / 2 + j; }

// The asymmetry report of the "both" layout: a warning before the first
// difference, five lines, then a note that the rest are not shown.
struct AsymmetryReport {
    int differences = 0;
    void add(uint32_t i, uint32_t j, double now, double before)
    {
        if (differences == 0)
            qel_warningMsg(343, "Distance matrix is not symmetric:");
        if (differences < kMaxAsymmetryLines)
            qel_printf("   d(%u,%u)=%.9f, d(%u,%u)=%.9f\n", i + 1, j + 1, now, j + 1, i + 1, before);
        else if (differences == kMaxAsymmetryLines)
            qel_printf("   (additional warnings suppressed)\n");
        ++differences;
    }
};

// The stored row of input row `expected`, from its label when labels are
// given; kSetEnd after an error. Rows are matched to taxa by name once the
// names are known (unless taxon-label matching is relaxed), so a matrix
// whose rows come in another order than the taxa is stored by name.
uint32_t rowOfLabel(DataInfo *d, uint32_t expected, bool storeLabels)
{
    const bool known = d->taxa.labelsKnown;
    const bool strict = nexOpt.taxlabMatch != 0;
    // Distances are not cells: the order restriction of compact storage
    // does not apply to them.
    const uint8_t compact = d->compactStorage;
    d->compactStorage = 0;
    const uint32_t row = readTaxLabel(d, expected, storeLabels && !known, known && strict, true,
                                      known && strict ? d->taxa.taxaInBlock : nullptr);
    d->compactStorage = compact;
    return row;
}

}  // namespace

void installUserDistanceStore(const UserDistanceStore &s)
{
    take(gStore.distances, s.distances);
    take(gStore.allocWeights, s.allocWeights);
    take(gStore.haveDistances, s.haveDistances);
    take(gStore.haveWeights, s.haveWeights);
    take(gStore.install, s.install);
    take(gStore.destroy, s.destroy);
    take(gStore.selectDistanceCriterion, s.selectDistanceCriterion);
    take(gStore.fitMeasureToData, s.fitMeasureToData);
}

void resetUserDistanceStore() { gStore = kNoStore; }

const UserDistanceStore &userDistanceStore() { return gStore; }

int invalidDistanceValue(const char *token)
{
    return qel_errorMsg(341,
                        "Invalid distance value: %s\tThis error often arises because the matrix format has been "
                        "specified incorrectly (e.g., lower triangular, lower triangular with diagonal, or full).  "
                        "Also make sure that the number of taxa was specified correctly for Phylip and relaxed "
                        "Phylip formats.",
                        token);
}

double readDistanceValue(const char *punctuation, bool isDiagonal, char *buffer, size_t size,
                         uint32_t *decimalsOut)
{
    const int rc = readSpecialToken(buffer, static_cast<uint32_t>(size), nullptr, punctuation, nullptr, false);
    if (rc < 0)
        return kBadDistanceValue;
    if (rc == kTokenPlain && std::strcmp(buffer, ";") == 0) {
        qel_errorMsg(118, "Unexpected semicolon (;).\tCheck input formatting carefully (e.g., verify "
                          "that the number of items supplied for a list is correct).");
        return kBadDistanceValue;
    }
    if (decimalsOut)
        *decimalsOut = 0;
    // A taxon's distance to itself is 0 whatever the file writes there
    // ("-", "?" and "x" are common), so the token only holds its place.
    if (isDiagonal)
        return 0.0;
    const char *end = buffer + std::strlen(buffer);
    const char *start = *buffer == '+' ? buffer + 1 : buffer;
    double value = 0.0;
    const auto [stop, ec] = std::from_chars(start, end, value);
    // A denormal is refused as the option readers refuse it: a distance that
    // small is no measurement but an underflow.
    if (rc != kTokenPlain || ec != std::errc() || stop != end || tokenWasTruncated() ||
        !(value > -kBadDistanceValue && value < kBadDistanceValue) || std::fpclassify(value) == FP_SUBNORMAL) {
        invalidDistanceValue(buffer);
        return kBadDistanceValue;
    }
    if (decimalsOut) {
        uint32_t decimals = 0;
        if (const char *point = std::strchr(buffer, '.'))
            for (const char *p = point + 1; *p >= '0' && *p <= '9'; ++p)
                ++decimals;
        *decimalsOut = decimals;
    }
    // "-0" is a zero distance, not a negative one to be shown with its sign.
    return value == 0.0 ? 0.0 : value;
}

int readDistanceMatrix(DataInfo *d, double **rows, bool weights, DistanceReadSummary &summary)
{
    const uint32_t n = d->ntax;
    const uint32_t triangle = dataBlockParam.triangle;
    const bool diagonal = dataBlockParam.diagonal || triangle == kTriangleBoth;
    const uint32_t labels = d->labelsPosition;
    const char *punct = getNumericPunct();
    summary = DistanceReadSummary{};
    // Values are gathered in input order and placed by the rows' labels at
    // the end: an upper-triangle row names columns whose rows come later.
    std::vector<double> packed(n > 1 ? packedIndex(n, 0) : 0, 0.0);
    std::vector<uint32_t> rowOf(n);
    if (d->taxa.taxaInBlock)
        clearSet(d->taxa.taxaInBlock);
    AsymmetryReport asymmetry;
    char buffer[64];
    for (uint32_t i = 0; i < n; ++i) {
        if (gAborted_)
            return 1;
        rowOf[i] = i;
        if (labels == kLabelsLeft && (rowOf[i] = rowOfLabel(d, i, !weights)) == kSetEnd)
            return 1;
        const uint32_t from = triangle == kTriangleLower ? 0 : triangle == kTriangleUpper ? i : 0;
        const uint32_t to = triangle == kTriangleLower ? i + 1 : n;
        for (uint32_t j = from; j < to; ++j) {
            if (j == i && !diagonal)
                continue;
            uint32_t decimals = 0;
            double v = readDistanceValue(punct, j == i, buffer, sizeof buffer, &decimals);
            if (v == kBadDistanceValue)
                return 1;
            if (j == i)
                continue;
            if (v < 0) {
                ++summary.nNegative;
                v = 0.0;
            }
            summary.maxDistance = std::max(summary.maxDistance, v);
            summary.decimals = std::max(summary.decimals, decimals);
            double &cell = packed[packedIndex(std::max(i, j), std::min(i, j))];
            if (triangle == kTriangleBoth && j < i && cell != v) {
                asymmetry.add(i, j, v, cell);
                cell = (cell + v) / 2;
            } else {
                cell = v;
            }
        }
        if (labels == kLabelsRight && (rowOf[i] = rowOfLabel(d, i, !weights)) == kSetEnd)
            return 1;
    }
    char token[64];
    const int rc = readSpecialToken(token, sizeof token, nullptr, punct, nullptr, false);
    if (rc < 0 || std::strcmp(token, ";") != 0)
        return qel_errorMsg(344, "Expecting semicolon at end of distance matrix. Make sure 'NTax' is specified "
                                 "correctly.");
    if (asymmetry.differences)
        qel_printf("\n");
    for (uint32_t i = 1; i < n; ++i)
        for (uint32_t j = 0; j < i; ++j) {
            const double v = packed[packedIndex(i, j)];
            rows[std::max(rowOf[i], rowOf[j])][std::min(rowOf[i], rowOf[j])] = v;
            summary.nZero += v == 0.0;
        }
    if (labels != kLabelsNone)
        d->taxa.labelsKnown = 1;
    return 0;
}

int readAndStoreDistanceMatrix(DataInfo *d)
{
    const DataServices &s = dataServices();
    double **rows = gStore.distances(d->ntax);
    if (!rows)
        return 1;
    dataBlockReader().matrixRead = 1;
    if (prepareData(kPrepCurrentCriterion, 0, true) != 0) {
        gStore.destroy();
        return 1;
    }
    s.setStatusText("Reading distance matrix...");
    DistanceReadSummary summary;
    if (readDistanceMatrix(d, rows, false, summary) != 0) {
        gStore.destroy();
        return 1;
    }
    if (summary.nNegative)
        qel_warningMsg(342, "%u negative distances were reset to zero.", summary.nNegative);
    qel_printf("Distance matrix read and stored\n");
    initializeFlagsForNewData(d, 0, 1);
    const bool adjust = d->nActive >= 0 && static_cast<uint32_t>(d->nActive) < d->ntax;
    gStore.install(summary.nZero, summary.maxDistance, summary.decimals, adjust);
    return 0;
}

int readAndStoreDistanceWts(DataInfo *d)
{
    int status = 0;
    double **rows = nullptr;
    // Weights belong to the matrix of their own block.
    if (!dataBlockReader().matrixRead || !gStore.haveDistances())
        status = qel_errorMsg(0, "User-supplied weights must follow a distance matrix.\tDefine a distance matrix "
                                 "via a 'Matrix' command in the Distances block.");
    else if (gStore.haveWeights())
        status = qel_errorMsg(0, "Only one weight matrix is allowed per distances block.");
    else if (!(rows = gStore.allocWeights()))
        status = 1;
    if (status == 0) {
        dataServices().setStatusText("Reading distance weights...");
        DistanceReadSummary summary;
        status = readDistanceMatrix(d, rows, true, summary);
    }
    if (status != 0) {
        gStore.destroy();
        return status;
    }
    qel_printf("User-supplied distance weights stored\n");
    return 0;
}

int doDistFormatCmd(DataInfo *d)
{
    DataBlockParams &p = dataBlockParam;
    dataServices().setStatusText("Processing 'Format' command...");
    p.labels = d->labelsPosition;
    p.interleave = 0;
    // A blank stands for "not given": no missing character can be a blank.
    p.distMissing = ' ';
    if (getCmdParams(OptionSet::kDistFormat, nullptr, nullptr) <= 0)
        return 1;
    if (p.interleave)
        return qel_errorMsg(0, "Sorry, the 'Interleave' option is not supported for distance matrices.");
    if (p.distMissing != ' ')
        qel_warningMsg(822, "The 'Missing' option is not supported for VORN. Distance matrices are not allowed to "
                            "contain missing data.");
    d->labelsPosition = p.labels;
    return 0;
}

#include "search/freqdist.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <new>

#include "qel/qel_interrupts.h"
#include "qel/qel_progress.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_malloc.h"
#include "qel/qel_output.h"
#include "cli/shell_settings.h"
#include "qel/qel_auxout.h"
#include "search/scores.h"
#include "search/search_settings.h"

namespace {

struct Row {
    std::string label;  // the class's upper bound, or the bar's score
    std::string lower;  // a histogram class's lower bound (for the file)
    uint32_t count;
};

struct Moments {
    double mean = 0.0, m2 = 0.0, m3 = 0.0, m4 = 0.0;
};

template <class Each>
Moments momentsOf(uint32_t n, double sum, Each each)
{
    Moments m;
    m.mean = sum / n;
    each([&](double x, double k) {
        const double e = x - m.mean;
        m.m2 += k * e * e;
        m.m3 += k * e * e * e;
        m.m4 += k * e * e * e * e;
    });
    return m;
}

std::string realLabel(double v, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", std::max(decimals, 3), v);
    return text;
}

// The class of value x among k classes of width w from lo; a value outside
// the range goes to the nearest class.
uint32_t classOf(double x, double lo, double w, uint32_t k)
{
    if (w <= 0.0)
        return 0;
    const double c = std::floor((x - lo) / w);
    return c < 0.0 ? 0 : static_cast<uint32_t>(std::min(c, static_cast<double>(k - 1)));
}

constexpr const char *kDefaultFreqDistFile = "scoredist.txt";

// Open while a distribution is being written, so that a stop or an error on
// the way still closes it.
AuxOut *gFreqDistFile = nullptr;

// Histogram: per class its lower bound, upper bound and count; bar chart:
// per score the score and its count. 0; 1 after reporting the error; 2
// when the user declined to replace the file.
int writeFreqDistFile(const std::vector<Row> &rows, bool barChart)
{
    const std::string name = initFreqDistFilename();
    AuxOut *previous = setActiveAuxOut(nullptr);
    int openStatus = 1;
    gFreqDistFile = openAuxOutStream(name.c_str(), gReplaceFile != 0, gAppendToFile != 0, &openStatus);
    if (!gFreqDistFile) {
        setActiveAuxOut(previous);
        return openStatus;
    }
    setActiveAuxOut(gFreqDistFile);
    for (const Row &r : rows) {
        if (barChart)
            auxPrintf("%s\t%u\n", r.label.c_str(), r.count);
        else
            auxPrintf("%s\t%s\t%u\n", r.lower.c_str(), r.label.c_str(), r.count);
    }
    const int failed = closeAuxOutStream(gFreqDistFile);
    gFreqDistFile = nullptr;
    setActiveAuxOut(previous);
    if (failed)
        return qel_errorMsg(0, "Error writing the frequency distribution to file \"%s\".", name.c_str()), 1;
    qel_printf("\nFrequency distribution written to file: %s\n", name.c_str());
    return 0;
}

}  // namespace

FreqDistPtr createHistogram(uint32_t capacity, bool realValued, int64_t lo, int64_t hi, uint32_t classes)
{
    auto fd = std::make_unique<FreqDist>();
    fd->realValued = realValued;
    fd->classes = std::max<uint32_t>(classes, 1);
    if (realValued)
        fd->values.reserve(std::min<uint32_t>(capacity, 1000000));
    else if (hi >= lo)
        fd->lo = lo, fd->hi = hi;
    return fd;
}

FreqDistPtr createBarChart(int64_t lo, int64_t hi)
{
    auto fd = createHistogram(0, false, lo, hi, 1);
    fd->barChart = true;
    return fd;
}

int updateFreqDistData(FreqDist *fd, double score)
{
    if (!fd || !isScoreValid(score))
        return 0;
    try {
        if (fd->realValued) {
            fd->values.push_back(score);
        } else {
            // Scores outside lo..hi widen the range rather than being lost.
            const auto v = static_cast<int64_t>(std::llround(score));
            fd->counts[v]++;
            if (fd->hi < fd->lo)
                fd->lo = fd->hi = v;
            fd->lo = std::min(fd->lo, v);
            fd->hi = std::max(fd->hi, v);
        }
    } catch (const std::bad_alloc &) {
        reportMemoryFailure();
        return 1;
    }
    fd->n++;
    fd->minimum = std::min(fd->minimum, score);
    fd->maximum = std::max(fd->maximum, score);
    return 0;
}

int showFreqDist(const FreqDist *fd, const char *title, bool moments)
{
    if (!fd || fd->n == 0)
        return 0;
    const int decimals = nDecimalsForCriterion(kCriterionCurrent, 0, fd->minimum);
    std::vector<Row> rows;
    std::string firstLabel;
    Moments m;
    if (fd->realValued) {
        double sum = 0.0;
        for (double v : fd->values)
            sum += v;
        m = momentsOf(fd->n, sum, [&](auto add) {
            for (double v : fd->values)
                add(v, 1.0);
        });
        const uint32_t k = fd->maximum > fd->minimum ? fd->classes : 1;
        const double w = (fd->maximum - fd->minimum) / k;
        std::vector<uint32_t> c(k, 0);
        for (double v : fd->values)
            c[classOf(v, fd->minimum, w, k)]++;
        for (uint32_t i = 0; i < k; i++)
            rows.push_back({realLabel(i + 1 == k ? fd->maximum : fd->minimum + (i + 1) * w, decimals),
                            realLabel(fd->minimum + i * w, decimals), c[i]});
        if (k > 1)
            firstLabel = realLabel(fd->minimum, decimals);
    } else {
        // Ascending scores, as over the whole range: the scores not met
        // would add nothing.
        double sum = 0.0;
        for (const auto &[v, count] : fd->counts)
            sum += static_cast<double>(count) * static_cast<double>(v);
        m = momentsOf(fd->n, sum, [&](auto add) {
            for (const auto &[v, count] : fd->counts)
                add(static_cast<double>(v), count);
        });
        const int64_t hi = fd->hi;
        if (fd->barChart) {
            // A bar for every score of the range, those not met included.
            auto next = fd->counts.begin();
            for (int64_t v = fd->lo; v <= hi; v++) {
                const bool met = next != fd->counts.end() && next->first == v;
                rows.push_back({std::to_string(v), {}, met ? next->second : 0});
                next = met ? std::next(next) : next;
            }
        } else {
            // The class width is real, so a range narrower than the number
            // of classes still has a width to divide by.
            const uint32_t k = hi > fd->lo ? fd->classes : 1;
            const double w = static_cast<double>(hi - fd->lo) / k;
            std::vector<uint32_t> c(k, 0);
            for (const auto &[v, count] : fd->counts)
                c[classOf(static_cast<double>(v - fd->lo), 0.0, w, k)] += count;
            for (uint32_t i = 0; i < k; i++)
                rows.push_back({realLabel(i + 1 == k ? static_cast<double>(hi) : fd->lo + (i + 1) * w, 0),
                                realLabel(fd->lo + i * w, 0), c[i]});
            if (k > 1)
                firstLabel = realLabel(static_cast<double>(fd->lo), 0);
        }
    }
    uint32_t largest = 0;
    size_t a = firstLabel.size();
    for (const Row &r : rows)
        largest = std::max(largest, r.count), a = std::max(a, r.label.size());
    if (largest == 0)
        return 0;
    const int b = std::snprintf(nullptr, 0, "%u", largest);
    const int L = static_cast<int>(getOutputLineLength());
    // The bar area keeps at least one column whatever the widths.
    const int area = std::max(1, L - static_cast<int>(a) - b - 5);
    const double scale = static_cast<double>(area) / largest;
    const int ai = static_cast<int>(a);

    setStatusText("Outputting frequency distribution...");
    qel_printf("%s", title);
    int status = 0;
    if (fdopt.pref_saveToFile)
        status = writeFreqDistFile(rows, fd->barChart);
    if (moments) {
        const double variance = m.m2 / fd->n;
        const double sd = std::sqrt(variance);
        if (variance > 1e-10)
            qel_printf("%*smean=%f sd=%f g1=%f g2=%f\n", ai + 2, "", m.mean, sd, m.m3 / (fd->n * variance * sd),
                       m.m4 / (fd->n * variance * variance) - 3.0);
        else
            qel_printf("%*smean=%f sd=%f\n", ai + 2, "", m.mean, sd);
    }
    drawFDTopBotLine(ai, area, '/', firstLabel.c_str());
    for (const Row &r : rows) {
        if (getAbortedStatus() && confirmAbortRequest()) {
            clearStatusText();
            return 2;
        }
        const std::string bar(static_cast<size_t>(std::floor(r.count * scale + 0.5)), '#');
        qel_printf("%*s |%s (%u)\n", ai, r.label.c_str(), bar.c_str(), r.count);
    }
    drawFDTopBotLine(ai, area, '\\', nullptr);
    clearStatusText();
    return status;
}

void drawFDTopBotLine(int labelWidth, int length, char corner, const char *label)
{
    const std::string dashes(static_cast<size_t>(std::max(length, 0)), '-');
    qel_printf("%*s %c%s\n", labelWidth, label ? label : "", corner, dashes.c_str());
}

const char *getDefaultFreqDistFilename() { return kDefaultFreqDistFile; }

std::string initFreqDistFilename() { return fdopt.fdFile[0] ? fdopt.fdFile : kDefaultFreqDistFile; }

void closeFreqDistFile()
{
    if (gFreqDistFile) {
        closeAuxOutStream(gFreqDistFile);
        gFreqDistFile = nullptr;
    }
}

std::vector<uint32_t> sortFreqDistValues(const FreqDist *fd)
{
    std::vector<uint32_t> order;
    if (!fd || !fd->realValued)
        return order;
    order.resize(fd->values.size());
    for (uint32_t i = 0; i < order.size(); i++)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [fd](uint32_t a, uint32_t b) { return fd->values[a] < fd->values[b]; });
    return order;
}

ScoreDistribPtr createScoreDistrib(uint32_t capacity)
{
    auto sd = std::make_unique<ScoreDistrib>();
    sd->capacity = capacity;
    sd->scores.reserve(capacity);
    sd->counts.reserve(capacity);
    return sd;
}

int addScoreToDistrib(ScoreDistrib *sd, double score)
{
    for (uint32_t i = 0; i < sd->n(); i++)
        if (compareScores(score, sd->scores[i]) == 0) {
            sd->counts[i]++;
            return 0;
        }
    if (sd->n() >= sd->capacity)
        return 1;
    sd->scores.push_back(score);
    sd->counts.push_back(1);
    return 0;
}

void sortScoreDistrib(ScoreDistrib *sd)
{
    std::vector<uint32_t> order(sd->n());
    for (uint32_t i = 0; i < order.size(); i++)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(), [sd](uint32_t a, uint32_t b) { return sd->scores[a] < sd->scores[b]; });
    std::vector<double> scores(order.size());
    std::vector<uint32_t> counts(order.size());
    for (uint32_t i = 0; i < order.size(); i++) {
        scores[i] = sd->scores[order[i]];
        counts[i] = sd->counts[order[i]];
    }
    sd->scores = std::move(scores);
    sd->counts = std::move(counts);
}

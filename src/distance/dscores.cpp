#include "distance/dscores.h"
#include "distance/dset.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "cli/option_sets.h"
#include "cli/qel_cmdoptions.h"
#include "cli/shell_settings.h"
#include "data/prepdata.h"
#include "data/vorn_data.h"
#include "distance/dcalc.h"
#include "distance/distance_settings.h"
#include "distance/dmatrix.h"
#include "distance/lsfit.h"
#include "qel/qel_brent.h"
#include "qel/qel_detmath.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_io.h"
#include "qel/qel_multithread.h"
#include "qel/qel_output.h"
#include "qel/qel_oututil.h"
#include "qel/qel_progress.h"
#include "qel/qel_sets.h"
#include "qel/qel_time.h"
#include "search/hsprep.h"
#include "search/pscores.h"
#include "search/scores.h"
#include "search/search_settings.h"
#include "trees/savetree.h"
#include "trees/treebuf.h"
#include "trees/treelist.h"
#include "trees/treeutil.h"

namespace {

constexpr double kNoScore = 1e37;

// Row kinds of the score table, in the order of their labels.
enum RowKind : int {
    kRowBME = 0, kRowME, kRowSS, kRowWtdSS, kRowPSD, kRowGPSD, kRowK, kRowAD, kRowGD, kRowAW, kRowGW, kRowIBLP
};
const char *const kRowLabels[] = {"BME-score", "ME-score", "SS", "Wtd. SS", "%SD", "g%SD",
                                  "k", "aD", "gD", "aW", "gW", "IBLP"};

struct StreamCloser {
    StreamInfo *s = nullptr;
    std::FILE *fp() const { return s ? s->fp : nullptr; }
};

struct DScoresRun {
    DataInfo *d = nullptr;
    TreeBuffer *buf = nullptr;
    std::vector<uint32_t> list;  // 0-based tree slots, in scoring order
    std::vector<double> scores, resid;
    std::vector<APSDs> stats;
    uint32_t done = 0;
    StreamCloser scoreFile, designFile, expFile;
    ProgData *progress = nullptr;
    bool bme = false, me = false, lsq = false;
    double minScore = kNoScore, maxScore = -kNoScore;
};

bool lsFitObjective() { return dist.objective == kObjectiveLsFit; }

int precision() { return std::clamp(dist.precision, 0, kMaxDistDecimals); }

// The expected-distance file is a relaxed PHYLIP matrix: its labels are
// written as SaveDist writes them there, so the two files name taxa alike.
std::string cleanLabel(const char *label)
{
    std::string s = label ? label : "";
    std::vector<char> buffer(s.size() + 1);
    return relaxedPhylipLabel(s.c_str(), buffer.data(), buffer.size());
}

// Node names of the design-file columns: tips by label and number.
std::string nodeName(const Tree *tree, const TreeNode *n, const DataInfo *d)
{
    char text[512];
    const uint32_t num = nodeNum(n, tree);
    if (n->index >= 0 && (isTip(n) || n == tree->root))
        std::snprintf(text, sizeof text, "%s (%u)", getTaxLabel(d, static_cast<uint32_t>(n->index)), num);
    else
        std::snprintf(text, sizeof text, "%u", num);
    return text;
}

bool onPath(const TreeNode *x, const TreeNode *y, const TreeNode *edge)
{
    auto below = [](const TreeNode *a, const TreeNode *top) {
        for (; a; a = a->anc)
            if (a == top)
                return true;
        return false;
    };
    return below(x, edge) != below(y, edge);
}

void writeFiles(DScoresRun &r, Tree *tree)
{
    LSData *ls = gLSData;
    std::vector<double> expected;
    calcExpectedDistances(ls, expected);
    const uint32_t N = ls->nLeaves;
    // Leaves in taxon order.
    std::vector<uint32_t> pos(N);
    std::iota(pos.begin(), pos.end(), 0u);
    std::sort(pos.begin(), pos.end(), [&](uint32_t a, uint32_t b) { return ls->leafOrder[a] < ls->leafOrder[b]; });
    auto exp = [&](uint32_t a, uint32_t b) { return expected[static_cast<size_t>(a) * N + b]; };
    if (std::FILE *f = r.expFile.fp()) {
        size_t width = 0;
        for (uint32_t a : pos)
            width = std::max(width, cleanLabel(getTaxLabel(r.d, ls->leafOrder[a])).size());
        std::fprintf(f, "%u\n", N);
        for (uint32_t a : pos) {
            std::fprintf(f, "%-*s", static_cast<int>(width + 2), cleanLabel(getTaxLabel(r.d, ls->leafOrder[a])).c_str());
            for (uint32_t b : pos) {
                char text[64];
                std::snprintf(text, sizeof text, "%.10f", exp(a, b));
                std::fprintf(f, "%16s", text);
            }
            std::fprintf(f, "\n");
        }
    }
    if (std::FILE *f = r.designFile.fp()) {
        std::vector<TreeNode *> edges;
        for (TreeNode *e = tree->root->next; e; e = e->next)
            edges.push_back(e);
        std::fprintf(f, "%s\t%s\t%s\t%s\t%s\t%s", "pair_index", "i", "j", "d_obs", "d_exp", "d_obs-d_exp");
        for (TreeNode *e : edges)
            std::fprintf(f, "\t%s-->%s", nodeName(tree, e->anc, r.d).c_str(), nodeName(tree, e, r.d).c_str());
        std::fprintf(f, "\n");
        uint32_t pair = 0;
        for (size_t i = 0; i < pos.size(); i++)
            for (size_t j = i + 1; j < pos.size(); j++) {
                const uint32_t ti = ls->leafOrder[pos[i]], tj = ls->leafOrder[pos[j]];
                const double obs = ti > tj ? ls->distances[ti][tj] : ls->distances[tj][ti];
                const double e = exp(pos[i], pos[j]);
                std::fprintf(f, "%u\t%s (%u)\t%s (%u)", ++pair, getTaxLabel(r.d, ti), ti + 1, getTaxLabel(r.d, tj),
                             tj + 1);
                std::fprintf(f, "\t%.10f\t%.10f\t%.10f", obs, e, obs - e);
                const TreeNode *x = nodeOfIndex(tree, static_cast<int32_t>(ti));
                const TreeNode *y = nodeOfIndex(tree, static_cast<int32_t>(tj));
                for (TreeNode *edge : edges)
                    std::fprintf(f, "\t%d", onPath(x, y, edge) ? 1 : 0);
                std::fprintf(f, "\n");
            }
    }
}

// A score or statistic in the table's column format.
std::string valueText(int width, double v)
{
    const double e = set_cutoff_for_e(1000000.0), z = set_cutoff_for_0(1e-37);
    std::string s = fltScoreToStr(width, precision(), v);
    set_cutoff_for_e(e);
    set_cutoff_for_0(z);
    return s;
}

std::string fileNumber(double v)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", std::max(6, precision()), v);
    return text;
}

std::string fileStat(double v)
{
    if (v < 0.0)
        return "-";
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", precision(), v);
    return text;
}

// An SS or Wtd. SS that is a perfect fit prints as 0.
double shownResidual(double ss, const APSDs &a) { return ss < 1e-8 && a.psd >= 0.0 && a.psd < 0.0001 ? 0.0 : ss; }

}  // namespace

void showDscoresLine(const std::vector<size_t> &order, int kind, const DScoresRun &r, size_t first, size_t last,
                     int width)
{
    qel_printf("%-10s", kRowLabels[kind]);
    for (size_t c = first; c < last; c++) {
        const size_t i = order[c];
        const APSDs &a = r.stats[i];
        std::string text;
        switch (kind) {
        case kRowBME:
        case kRowME: text = valueText(width, r.scores[i]); break;
        case kRowSS:
        case kRowWtdSS: {
            const double ss = r.bme ? r.resid[i] : r.scores[i];
            text = valueText(width, shownResidual(ss, a));
            break;
        }
        case kRowPSD: text = a.psd < 0 ? "-" : valueText(width, a.psd); break;
        case kRowGPSD: text = a.gpsd < 0 ? "-" : valueText(width, a.gpsd); break;
        case kRowK: text = std::to_string(a.k); break;
        case kRowAD: text = valueText(width, a.meanD); break;
        case kRowGD: text = valueText(width, a.geoD); break;
        case kRowAW: text = valueText(width, a.meanW); break;
        case kRowGW: text = valueText(width, a.geoW); break;
        default: text = valueText(width, a.iblp); break;
        }
        qel_printf("%*s", width, text.c_str());
    }
    qel_printf("\n");
}

void showInternalDeviations(const std::vector<size_t> &order, const DScoresRun &r, bool ig, size_t first, size_t last,
                            int width)
{
    qel_printf("%-10s", ig ? "ig%SD" : "i%SD");
    for (size_t c = first; c < last; c++) {
        const APSDs &a = r.stats[order[c]];
        const double v = ig ? a.gpsd : a.psd;
        qel_printf("%*s", width, a.iblp <= 0.0 || v < 0.0 ? "-" : valueText(width, v / a.iblp).c_str());
    }
    qel_printf("\n");
}

namespace {

void showTable(const DScoresRun &r, const std::vector<size_t> &order)
{
    qel_printf("\nDistance scores for trees in memory:\n");
    uint32_t largestTree = 0;
    for (size_t i = 0; i < r.done; i++)
        largestTree = std::max(largestTree, r.list[i] + 1);
    int width = static_cast<int>(std::to_string(largestTree).size());
    auto widen = [&](double v) { width = std::max<int>(width, static_cast<int>(valueText(0, v).size())); };
    widen(r.maxScore);
    widen(r.minScore);
    // Statistics wider than the scores (an i%SD beyond 100) widen the columns
    // too, so that no two values run together.
    for (size_t i = 0; i < r.done && !r.me; i++) {
        const APSDs &a = r.stats[i];
        for (double v : {a.psd, a.gpsd, a.meanD, a.geoD, a.meanW, a.geoW})
            widen(v);
        if (a.iblp > 0.0 && dist.lsDetails)
            widen(a.gpsd / a.iblp), widen(a.psd / a.iblp);
    }
    width = std::max({width, precision(), 6}) + 2;
    const size_t perBlock = maxOutputColumns(static_cast<uint32_t>(width), 10);
    const int scoreRow = r.bme ? kRowBME : r.me ? kRowME : dist.lsWts == 0 && dist.power == 0.0 ? kRowSS : kRowWtdSS;
    for (size_t first = 0; first < order.size(); first += perBlock) {
        const size_t last = std::min(order.size(), first + perBlock);
        qel_printf("\nTree #    ");
        for (size_t c = first; c < last; c++)
            qel_printf("%*u", width, r.list[order[c]] + 1);
        qel_printf("\n");
        tableLine(static_cast<int32_t>(10 + width * (last - first)), 0);
        showDscoresLine(order, scoreRow, r, first, last, width);
        if (r.bme)
            showDscoresLine(order, kRowWtdSS, r, first, last, width);
        if (r.me)
            continue;
        showDscoresLine(order, kRowPSD, r, first, last, width);
        showDscoresLine(order, kRowGPSD, r, first, last, width);
        if (dist.lsDetails) {
            for (int kind = kRowK; kind <= kRowIBLP; kind++)
                showDscoresLine(order, kind, r, first, last, width);
            showInternalDeviations(order, r, false, first, last, width);
            showInternalDeviations(order, r, true, first, last, width);
        }
    }
}

void writeScoreRows(const DScoresRun &r)
{
    std::FILE *f = r.scoreFile.fp();
    if (!f)
        return;
    for (size_t i = 0; i < r.done; i++) {
        const APSDs &a = r.stats[i];
        std::fprintf(f, "%u\t%s", r.list[i] + 1, fileNumber(r.bme ? r.scores[i] : shownResidual(r.scores[i], a)).c_str());
        if (r.bme)
            std::fprintf(f, "\t%s", fileNumber(r.resid[i]).c_str());
        if (!r.me) {
            std::fprintf(f, "\t%s\t%s", fileStat(a.psd).c_str(), fileStat(a.gpsd).c_str());
            if (dist.lsDetails) {
                std::fprintf(f, "\t%d\t%s\t%s\t%s\t%s\t%s", a.k, fileNumber(a.meanD).c_str(), fileNumber(a.geoD).c_str(),
                             fileNumber(a.meanW).c_str(), fileNumber(a.geoW).c_str(), fileNumber(a.iblp).c_str());
                if (a.iblp <= 0.0 || a.psd < 0.0)
                    std::fprintf(f, "\t-\t-");
                else
                    std::fprintf(f, "\t%s\t%s", fileStat(a.psd / a.iblp).c_str(), fileStat(a.gpsd / a.iblp).c_str());
            }
        }
        std::fprintf(f, "\n");
    }
}

// ---------------------------------------------------------------------------
// Optimal power search

struct PowerArg {
    LSData *ls;
    bool expo;
};

double gpsdAt(const double *x, void *arg)
{
    const auto *p = static_cast<const PowerArg *>(arg);
    const double g = p->expo ? calcGeomPSDexp(p->ls, *x) : calcGeomPSDstd(p->ls, *x);
    return g < 0.0 ? kNoScore : g;
}

}  // namespace

PowerPlotScale powerPlotScale(double lo, double hi)
{
    PowerPlotScale s;
    // A flat curve (g%SD alike at every power, as on distances that a tree
    // fits exactly) has no span to divide into rows: give it one unit above
    // its value, so the line is drawn on the bottom row of a readable axis.
    if (hi - lo <= 1e-9 * std::max(1.0, std::fabs(hi)))
        hi = lo + 1.0;
    const int e = static_cast<int>(std::round(std::log10(std::max(hi - lo, 1e-300) / 20.0)));
    s.step = detPow(10.0, e);
    s.decimals = e < 0 ? -e : 0;
    s.labelWidth = e < 0 ? std::max(8, 2 - e) : 8;
    // The base stays on the first step's grid while the step is halved:
    // the labelled rows are then whole multiples of that step, which the
    // label's decimals can show without two rows rounding to one label.
    s.base = std::floor(lo / s.step) * s.step;
    auto rowsFor = [&] { return static_cast<int>(std::round((std::ceil(hi / s.step) * s.step - s.base) / s.step)); };
    s.rows = rowsFor();
    s.labelEvery = 1;
    for (int halvings = 0; s.rows < 20 && halvings < 64; ++halvings) {
        s.step /= 2.0;
        s.labelEvery *= 2;
        s.rows = rowsFor();
    }
    s.labelEvery = std::max(s.labelEvery, 2);
    return s;
}

namespace {

int powerPlot(LSData *ls, uint32_t treeNumber)
{
    double dmin = kNoScore, dmax = 0.0;
    for (uint32_t a = 1; a < ls->nLeaves; a++)
        for (uint32_t b = 0; b < a; b++) {
            const uint32_t i = ls->leafOrder[a], j = ls->leafOrder[b];
            const double d = i > j ? ls->distances[i][j] : ls->distances[j][i];
            if (d > 0.0)
                dmin = std::min(dmin, d), dmax = std::max(dmax, d);
        }
    const double c = dmax > dmin ? detLog(dmax / dmin) / (dmax - dmin) : 1.0;
    qel_printf("\nPlot of %%gSD against weight P ('*') and corresponding exponential weight ('+') for tree %u:\n\n",
               treeNumber);
    if (calcGeomPSDstd(ls, dist.power) < 0.0) {
        qel_printf("No plot for tree %u: g%%SD cannot be computed (too few distances for the branches fitted)\n",
                   treeNumber);
        return 0;
    }
    PowerArg std{ls, false}, ex{ls, true};
    MinStatus status = MinStatus::kDone;
    double pOpt = 0.0, peOpt = 0.0;
    const double gOpt = minimizeBrent1D(gpsdAt, &std, &pOpt, -3.0, 3.0, 1e-10, 1e-10, 0.0, &status);
    if (status == MinStatus::kAborted)
        return 2;
    qel_printf("\n    Optimal P  = %g (%%gSD = %g)\n", pOpt, gOpt);
    const double geOpt = minimizeBrent1D(gpsdAt, &ex, &peOpt, -3.0 * c, 3.0 * c, 1e-10, 1e-10, 0.0, &status);
    if (status == MinStatus::kAborted)
        return 2;
    qel_printf("    Optimal P' = %g (%%gSD = %g)\n\n", peOpt, geOpt);

    constexpr int kSamples = 61;
    const double P0 = std::round(pOpt) - 6.0;
    double vs[kSamples], ve[kSamples];
    double lo = kNoScore, hi = -kNoScore;
    for (int s = 0; s < kSamples; s++) {
        const double P = P0 + 0.2 * s;
        vs[s] = calcGeomPSDstd(ls, P);
        ve[s] = calcGeomPSDexp(ls, c * P);
        if (getAbortedStatus() && confirmAbortRequest())
            return 2;
        for (double v : {vs[s], ve[s]})
            if (v >= 0.0 && v < kNoScore)
                lo = std::min(lo, v), hi = std::max(hi, v);
    }
    if (!(hi >= lo))
        return 0;
    const PowerPlotScale scale = powerPlotScale(lo, hi);
    const double step = scale.step;
    const int decimals = scale.decimals, labelWidth = scale.labelWidth, labelEvery = scale.labelEvery;
    double base = scale.base;
    int rows = scale.rows;
    auto rowOf = [&](double v) {
        return v < 0.0 || v >= kNoScore ? -1 : static_cast<int>(std::round((v - base) / step));
    };
    bool minOnRow0 = false;
    for (int s = 0; s < kSamples; s++)
        minOnRow0 |= rowOf(vs[s]) == 0 || rowOf(ve[s]) == 0;
    if (minOnRow0 && base - step >= -1e-6 * step) {
        base -= step;
        rows++;
    }
    for (int row = rows; row >= 0; row--) {
        const bool labelled = row % labelEvery == 0;
        if (labelled)
            qel_printf("%*.*f ", labelWidth, decimals, base + row * step);
        else
            qel_printf("%*s ", labelWidth, "");
        std::string line(1, row == 0 ? '+' : labelled ? '+' : '|');
        for (int col = 0; col < kSamples - 1; col++) {
            char ch = ' ';
            if (row == 0)
                ch = col % 5 == 0 ? '+' : '-';
            if (rowOf(ve[col]) == row)
                ch = '+';
            if (rowOf(vs[col]) == row)
                ch = '*';
            line += ch;
        }
        qel_printf("%s\n", line.c_str());
    }
    qel_printf("%*s", labelWidth - 2, "");
    for (int k = 0; k < 13; k++)
        qel_printf("%*.1f", 5, P0 + k);
    qel_printf("\n%*s (range for P' = %g to %g)\n", labelWidth, "", c * P0, c * (P0 + 0.2 * (kSamples - 1)));
    return 0;
}

}  // namespace

int dscoresThreadProc(void *arg)
{
    DScoresRun &r = *static_cast<DScoresRun *>(arg);
    setStatusText("Calculating distance scores...");
    TreeHandle tree(createSearchTree(r.d));
    if (!tree)
        return 1;
    LSData *ls = gLSData;
    r.scores.assign(r.list.size(), kNoScore);
    r.resid.assign(r.list.size(), 0.0);
    r.stats.assign(r.list.size(), APSDs{});
    TimeMark start{}, stop{};
    setTimeMark(&start);
    int status = 0;
    for (size_t i = 0; i < r.list.size(); i++) {
        if (getTree(r.buf, r.list[i] + 1, tree.get()) != 0)
            return 1;
        const double s = calcDistanceFitForTree(ls, tree.get(), true, kNoScore);
        if (getAbortedStatus() && (s >= kNoScore || confirmAbortRequest())) {
            status = 2;
            break;
        }
        r.scores[i] = s;
        if (r.bme) {
            r.resid[i] = lsqScore(ls, false);
            computeNormalisers(ls, false);
            r.stats[i] = calcAPSDs(ls, r.resid[i]);
        } else if (r.lsq) {
            r.stats[i] = calcAPSDs(ls, s);
        }
        r.minScore = std::min(r.minScore, s);
        r.maxScore = std::max(r.maxScore, s);
        writeFiles(r, tree.get());
        if (dist.pplot && r.lsq && dist.lsWts != 2 && powerPlot(ls, r.list[i] + 1) == 2) {
            status = 2;
            break;
        }
        r.done = static_cast<uint32_t>(i + 1);
        if (incrementProgressValue(r.progress) == kProgressAborted && confirmAbortRequest()) {
            status = 2;
            break;
        }
    }
    if (status == 2) {
        if (gSortTreesByScore || r.done == 0) {
            if (gSortTreesByScore)
                qel_printf("\nCalculation of distance scores aborted.\n");
            return 2;
        }
        setAbortedStatus(0);
    }
    std::vector<size_t> order(r.done);
    std::iota(order.begin(), order.end(), size_t{0});
    if (gSortTreesByScore)
        std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return r.scores[a] < r.scores[b]; });
    setTimeMark(&stop);
    showTimeUsed(&start, &stop, 0, " to compute distance scores");
    setStatusText("Outputting distance scores...");
    writeScoreRows(r);
    if (sfopt.displayOut)
        showTable(r, order);
    clearStatusText();
    return 0;
}

int doDScoresCmd()
{
    DataInfo *d = activeDataInfo();
    if (!d)
        return 1;
    felsMaxPasses = lsIterProg = -1;
    felsMaxDelta = -1.0;
    // The design and expected-distance files are written only when named on
    // this command; otherwise their names go back to the defaults.
    auto clearNames = [] { dist.designFile[0] = dist.expDistFile[0] = 0; };
    auto fileNames = [](bool parsed) {
        dist.pref_writeDsgn = parsed && dist.designFile[0] != 0;
        dist.pref_writeExpD = parsed && dist.expDistFile[0] != 0;
        if (!dist.pref_writeDsgn)
            std::snprintf(dist.designFile, sizeof dist.designFile, "design_matrix.txt");
        if (!dist.pref_writeExpD)
            std::snprintf(dist.expDistFile, sizeof dist.expDistFile, "expected_distances.txt");
    };
    ScoreCmdStart start;
    if (const int s = startScoreCmd(d, {"Calculating distance scores for ", OptionSet::kDScores, clearNames, fileNames, kCriterionDistance}, start);
        s != 0)
        return s < 0 ? 0 : 1;
    const bool wantScore = start.fileNamed;

    DScoresRun r;
    r.d = d;
    r.buf = getActiveTreeBuffer();
    r.list = std::move(start.trees);
    r.bme = dist.objective == kObjectiveBME;
    r.me = dist.objective == kObjectiveME;
    r.lsq = lsFitObjective();

    auto closeAll = [&](bool keep) {
        int status = 0;
        for (StreamCloser *c : {&r.scoreFile, &r.designFile, &r.expFile})
            if (c->s) {
                status |= finishStreamFile(c->s, keep) != 0 && keep;
                discardStream(&c->s);
            }
        return status;
    };
    if (wantScore && !(r.scoreFile.s = openScoreFile(sfopt.scoreFile)))
        return 1;
    if (dist.pref_writeDsgn && !(r.designFile.s = openScoreFile(dist.designFile)))
        return closeAll(false), 1;
    if (dist.pref_writeExpD && !(r.expFile.s = openScoreFile(dist.expDistFile)))
        return closeAll(false), 1;

    checkObsoleteDistOptions();
    const uint32_t oldCriterion = tempResetOptCrit(kCriterionDistance);
    int status = checkDistType(dist.distance, false, d) != 0 ? 1 : prepareData(kPrepDistance, 0, false);
    if (status == 0 && !gLSData)
        status = 1;
    if (status != 0) {
        // A declined question has been reported by the preparation itself.
        if (status != 2 || gAborted_.load())
            qel_printf("\nCalculation of distance scores abandoned.\n");
        restoreOriginalOptCrit(oldCriterion);
        closeAll(false);
        return status;
    }
    qel_printf("\nDistance settings:\n");
    showDistSettings(true, true, true, nullptr, 2);
    qel_printf("\n");
    if (std::FILE *f = r.scoreFile.fp()) {
        qel_printf("Tree scores written to file \"%s\"\n", sfopt.scoreFile);
        std::fprintf(f, "Tree\t%s", r.bme ? "BME-score\tWtdSS" : r.me ? "ME-score"
                                       : dist.lsWts == 0 && dist.power == 0.0 ? "SS" : "WtdSS");
        if (!r.me) {
            std::fprintf(f, "\t%%SD\tg%%SD");
            if (dist.lsDetails)
                std::fprintf(f, "\tk\tmean_D\tgeo_mean_D\tmean_W\tgeo_mean_W\tIBLP\ti%%SD\tig%%SD");
        }
        std::fprintf(f, "\n");
    }
    const char *noun = r.list.size() == 1 ? "matrix" : "matrices";
    if (r.designFile.s)
        qel_printf("Design %s written to file \"%s\"\n", noun, dist.designFile);
    if (r.expFile.s)
        qel_printf("Expected distance %s written to file \"%s\"\n", noun, dist.expDistFile);
    if (!sfopt.displayOut)
        qel_printf("Output to main window suppressed (results sent only to file)\n");

    r.progress = createProgressWindow(static_cast<uint32_t>(r.list.size()), 0, "Calculating distance scores");
    status = runSecondaryThread(dscoresThreadProc, &r);
    r.progress = destroyProgressWindow(r.progress);
    gLSData = destroyLSData(gLSData);
    restoreOriginalOptCrit(oldCriterion);
    return status | closeAll(status == 0);
}

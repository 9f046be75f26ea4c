#include "search/pscores.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "data/data_services.h"
#include "data/data_util.h"
#include "data/usertypes.h"
#include "data/vorn_data.h"
#include "parsimony/fitindex.h"
#include "parsimony/lenrange.h"
#include "parsimony/pars_init.h"
#include "parsimony/pars_util.h"
#include "parsimony/parstests.h"
#include "parsimony/stmx.h"
#include "parsimony/treelen.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_files.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_io.h"
#include "qel/qel_output.h"
#include "qel/qel_sets.h"
#include "search/hsprep.h"
#include "search/scores.h"
#include "search/search_settings.h"
#include "cli/qel_cmdoptions.h"
#include "cli/shell_settings.h"
#include "trees/treebuf.h"
#include "trees/treebuf_extras.h"
#include "trees/treelist.h"
#include "trees/treeutil.h"

namespace {

// One scored tree.
struct TreeRow {
    uint32_t number;  // 1-based
    double length;
    uint32_t compat;
    std::vector<uint32_t> compatList;  // 0-based characters
    double fit[kNumFitMeasures];       // tree-level values by measure code
    std::vector<double> charLen;       // per character
    std::vector<double> charFit[kNumFitMeasures];  // per character, shown measures only
    std::vector<double> testLen;       // included characters, for the tests
};

struct Run {
    DataInfo *d = nullptr;
    bool show[kNumFitMeasures]{};  // main-window rows
    bool file[kNumFitMeasures]{};  // score-file columns
    bool anyFit = false;
    bool marked = false;           // some character's extra length is unknown
    bool countCompat = false;
    bool tests = false;
    std::vector<TreeRow> rows;
    std::vector<uint32_t> included;  // characters the tests use
    size_t best = 0;
    double sumMin = 0.0, sumMax = 0.0, sumRange = 0.0;
    std::FILE *out = nullptr;
    StreamInfo *outStream = nullptr;  // owns `out`
};

std::string lengthText(double len) { return treeLengthToString(len); }

std::string diffText(double diff) { return fltScoreToStr(62, static_cast<int>(gPars.lengthDecimals), diff); }

int gfitDecimals(int usual) { return gPars.gPeeWee ? 1 : usual; }

std::string fitText(double v, int decimals)
{
    char buf[64];
    return fitMeasureToStr(buf, sizeof buf, decimals, v);
}

double get1CharLen(const DataInfo *d, uint32_t c)
{
    double len = charLengthOnTree(d, c);
    if (gPars.threshold) {
        const double cap = gPars.threshold + std::floor(lengthBounds().rangeMin[c]);
        len = std::min(len, cap);
    }
    // The tree lengths the tests compare are weighted, integer weights
    // included, so each character's difference must be weighted too: the
    // Kishino-Hasegawa mean is the mean of these differences, and the
    // Templeton ranks must order what the lengths count.
    return len * d->weights[c];
}

int scoreTrees(Run &r, TreeBuffer *buf, const std::vector<uint32_t> &list)
{
    DataInfo *d = r.d;
    TreeHandle tree(createSearchTree(d));
    if (!tree)
        return 1;
    for (uint32_t k : list) {
        if (getTree(buf, k + 1, tree.get()) != 0)
            return 1;
        if (const int u = updateLengthBounds(tree.get(), d); u != 0)
            return u;
        pointTreeAtPackedData(tree.get(), d);
        const double L = gPars.threshold ? calcParsimonyScore(d, tree.get(), true)
                                         : calcTreeLengthOnly(d, tree.get(), true);
        if (L == kNoScore)
            return getAbortedStatus() ? 2 : 1;
        const LengthBounds &b = lengthBounds();
        r.marked = b.unknownExtra || packedData(d)->unknownExtraLength;
        r.sumMin = sumMinLengths();
        r.sumMax = b.sumMaxFit;
        r.sumRange = b.sumRange;
        TreeRow row{};
        row.number = k + 1;
        row.length = L;
        row.charLen.resize(d->nchar);
        for (uint32_t c = 0; c < d->nchar; c++) {
            row.charLen[c] = charLengthOnTree(d, c);
            const bool compatible = (d->status[c] & (kCharExcluded | kCharConstant)) ||
                                    static_cast<int64_t>(b.rangeMin[c]) == static_cast<int64_t>(row.charLen[c]);
            if (compatible && r.countCompat) {
                row.compat++;
                row.compatList.push_back(c);
            }
        }
        // The sums cover the characters that have fit measures; so must
        // the length they are set against.
        const TreeFitIndices f = treeFitIndices(calcLengthForEnsembleFits(d, nullptr), r.sumMin, r.sumMax, r.sumRange);
        row.fit[kFitLength] = L;
        row.fit[kFitCompat] = row.compat;
        row.fit[kFitCI] = f.ci;
        row.fit[kFitRI] = f.ri;
        row.fit[kFitRC] = f.rc;
        row.fit[kFitHI] = f.hi;
        row.fit[kFitGFit] = goloboffFit(d, nullptr);
        if (gPars.singleChar)
            for (uint32_t m = kFitCI; m < kNumFitMeasures; m++)
                if (r.show[m] || r.file[m]) {
                    row.charFit[m].resize(d->nchar);
                    for (uint32_t c = 0; c < d->nchar; c++)
                        row.charFit[m][c] = get1FitMeasure(d, c, m, nullptr);
                }
        if (r.tests) {
            for (uint32_t c : r.included)
                row.testLen.push_back(get1CharLen(d, c));
            if (!r.rows.empty() && compareScores(L, r.rows[r.best].length) < 0)
                r.best = r.rows.size();
        }
        r.rows.push_back(std::move(row));
        if (getAbortedStatus() != 0 && confirmAbortRequest())
            return 2;
    }
    return 0;
}

bool charShown(const DataInfo *d, uint32_t c) { return !(d->status[c] & (kCharExcluded | kCharConstant)); }

void writeScoreFile(const Run &r)
{
    std::FILE *f = r.out;
    std::fprintf(f, "Tree");
    for (uint32_t m = 0; m < kNumFitMeasures; m++)
        if (r.file[m])
            std::fprintf(f, "\t%s", fitMeasureLabel(m));
    if (gPars.singleChar) {
        std::fprintf(f, "\tCharacter");
        for (uint32_t m = 0; m < kNumFitMeasures; m++)
            if (r.file[m])
                std::fprintf(f, "\t%s", fitMeasureLabel(m));
    }
    std::fprintf(f, "\n");
    const PackedData *pd = packedData(r.d);
    for (const TreeRow &row : r.rows) {
        std::fprintf(f, "%u", row.number);
        for (uint32_t m = 0; m < kNumFitMeasures; m++) {
            if (!r.file[m])
                continue;
            if (m == kFitLength)
                std::fprintf(f, "\t%s", lengthText(row.length).c_str());
            else if (m == kFitCompat)
                std::fprintf(f, "\t%u", row.compat);
            else if (m == kFitGFit)
                std::fprintf(f, "\t%.*f", gfitDecimals(6), row.fit[m]);
            else
                std::fprintf(f, "\t%s", fitText(row.fit[m], 6).c_str());
        }
        std::fprintf(f, "\n");
        if (!gPars.singleChar)
            continue;
        for (uint32_t c = 0; c < r.d->nchar; c++) {
            if (r.d->status[c] & kCharExcluded)
                continue;
            for (uint32_t m = 0; m < kNumFitMeasures; m++)
                if (r.file[m])
                    std::fprintf(f, "\t");
            std::fprintf(f, "\t%u", c + 1);
            const bool packed = !charLacksBounds(r.d, c);
            const char *plus = charHasUnknownExtraLength(r.d, c) ? "+" : "";
            for (uint32_t m = 0; m < kNumFitMeasures; m++) {
                if (!r.file[m])
                    continue;
                if (!packed && m >= kFitCI)
                    std::fprintf(f, "\t-");
                else if (m == kFitLength)
                    std::fprintf(f, "\t%g%s", row.charLen[c], plus);
                else if (m == kFitCompat)
                    std::fprintf(f, "\t%d", std::find(row.compatList.begin(), row.compatList.end(), c) !=
                                                    row.compatList.end());
                else
                    std::fprintf(f, "\t%s%s",
                                 fitText(row.charFit[m][c], m == kFitGFit ? gfitDecimals(6) : 6).c_str(), plus);
            }
            std::fprintf(f, "\n");
        }
    }
    (void)pd;
}

void showTable(const Run &r)
{
    const uint32_t labelWidth = 10;
    uint32_t w = 8;
    for (const TreeRow &row : r.rows)
        w = std::max<uint32_t>(w, static_cast<uint32_t>(lengthText(row.length).size()) + 3);
    const uint32_t lineLength = std::max<uint32_t>(getOutputLineLength(), labelWidth + w);
    const size_t perBlock = std::max<size_t>(1, (lineLength - labelWidth - 1) / w);
    const bool fits = r.sumMin > 0.0;
    for (size_t from = 0; from < r.rows.size(); from += perBlock) {
        const size_t to = std::min(r.rows.size(), from + perBlock);
        qel_printf("\n%-*s", static_cast<int>(labelWidth), "Tree #");
        for (size_t k = from; k < to; k++)
            qel_printf("%*u ", static_cast<int>(w - 1), r.rows[k].number);
        qel_printf("\n");
        for (uint32_t m = 0; m < kNumFitMeasures; m++) {
            if (!r.show[m] || (m >= kFitCI && !fits))
                continue;
            qel_printf("%-*s", static_cast<int>(labelWidth), fitMeasureLabel(m));
            for (size_t k = from; k < to; k++) {
                const TreeRow &row = r.rows[k];
                if (m == kFitLength) {
                    // The "+" of an unknown extra length sits right of the column.
                    std::string text = lengthText(row.length);
                    const bool plus = !text.empty() && text.back() == '+';
                    if (plus)
                        text.pop_back();
                    qel_printf("%*s%s", static_cast<int>(w - 1), text.c_str(), plus ? "+" : " ");
                } else if (m == kFitCompat) {
                    qel_printf("%*u ", static_cast<int>(w - 1), row.compat);
                } else if (m == kFitGFit) {
                    qel_printf("%*.*f ", static_cast<int>(w - 1), gfitDecimals(3), row.fit[m]);
                } else {
                    // "+" marks a length whose part inside polymorphic
                    // terminals is not known; the indices go without it.
                    qel_printf("%*s ", static_cast<int>(w - 1), fitText(row.fit[m], 3).c_str());
                }
            }
            qel_printf("\n");
        }
    }
}

void showCompatList(const Run &r)
{
    int w = 4;
    for (const TreeRow &row : r.rows)
        w = std::max(w, static_cast<int>(std::to_string(row.number).size()));
    qel_printf("\nCompatible characters for each tree:\n");
    qel_printf("\n%*s%14s      List of compatible characters\n", w, "Tree", "N");
    qel_printf("%s\n", std::string(static_cast<size_t>(w) + 14 + 36, '-').c_str());
    for (const TreeRow &row : r.rows) {
        qel_printf("%*d%14d      \b", w, static_cast<int>(row.number), static_cast<int>(row.compat));
        for (size_t i = 0; i < row.compatList.size(); i++)
            qel_printf("%s%u", i ? " " : "", row.compatList[i] + 1);
        qel_printf("\n");
    }
}

// Per-character value of measure m on tree row, or the length.
double charValue(const TreeRow &row, uint32_t m, uint32_t c)
{
    if (m == kFitLength)
        return row.charLen[c];
    if (m == kFitCompat)
        return std::find(row.compatList.begin(), row.compatList.end(), c) != row.compatList.end() ? 1.0 : 0.0;
    return row.charFit[m][c];
}

bool isAsymStepmatrix(const DataInfo *d, uint32_t c)
{
    if ((d->status[c] & kCharTypeMask) != kCharUserType || !d->userTypes)
        return false;
    const UserType *ut = d->userTypes[c];
    return ut && !ut->tree && ut->asymmetric;
}

void showSingleCharValues(const Run &r)
{
    const DataInfo *d = r.d;
    std::vector<uint32_t> chars;
    for (uint32_t c = 0; c < d->nchar; c++) {
        if (!charShown(d, c))
            continue;
        double lo = r.rows[0].charLen[c], hi = lo;
        for (const TreeRow &row : r.rows) {
            lo = std::min(lo, row.charLen[c]);
            hi = std::max(hi, row.charLen[c]);
        }
        if (gPars.singleChar == 2 || hi > lo)
            chars.push_back(c);
    }
    if (chars.empty()) {
        if (gPars.singleChar == 1)
            qel_printf("\nTree lengths constant over trees for all characters.\n");
        return;
    }
    const int w = 7;
    const size_t perBlock = std::max<size_t>(1, (std::max<uint32_t>(getOutputLineLength(), 20) - 8) / w);
    const bool summary = r.rows.size() >= 2 || gPars.showRange;
    for (uint32_t m = 0; m < kNumFitMeasures; m++) {
        if (!r.show[m] || (m >= kFitCI && m != kFitGFit && r.sumMin <= 0.0))
            continue;
        const bool fit = m >= kFitCI;
        const int decimals = m == kFitGFit ? gfitDecimals(3) : 3;
        qel_printf("\n%s for each character:\n", fitMeasureTitle(m));
        if (gPars.singleChar == 1)
            qel_printf("   (only characters whose lengths vary over trees are shown)\n");
        std::vector<uint32_t> shown;
        bool skipped = false, onlyAsym = true;
        for (uint32_t c : chars) {
            if (fit && charLacksBounds(d, c)) {
                skipped = true;
                onlyAsym = onlyAsym && isAsymStepmatrix(d, c);
            } else {
                shown.push_back(c);
            }
        }
        auto cell = [&](double v, uint32_t c) {
            const char *plus = charHasUnknownExtraLength(d, c) ? "+" : " ";
            if (m == kFitLength || m == kFitCompat)
                qel_printf("%*g%s", w - 1, v, plus);
            else
                qel_printf("%*s%s", w - 1, fitText(v, decimals).c_str(), plus);
        };
        bool uninfMarked = false;
        for (size_t from = 0; from < shown.size(); from += perBlock) {
            const size_t to = std::min(shown.size(), from + perBlock);
            qel_printf("\n%s", gPars.showRange ? "Range   " : "Tree    ");
            for (size_t i = from; i < to; i++)
                qel_printf("%*d ", w - 1, static_cast<int>(shown[i] + 1));
            qel_printf("\n%s\n", std::string(8 + w * (to - from), '-').c_str());
            if (!gPars.showRange)
                for (const TreeRow &row : r.rows) {
                    qel_printf("%4d    ", static_cast<int>(row.number));
                    for (size_t i = from; i < to; i++)
                        cell(charValue(row, m, shown[i]), shown[i]);
                    qel_printf("\n");
                }
            if (summary) {
                // Lengths and HI are best small; the other measures best large.
                const bool lowBest = m == kFitHI;
                const char *names[2] = {m == kFitLength ? "Minimum " : "Best    ",
                                        m == kFitLength ? "Maximum " : "Worst   "};
                for (int which = 0; which < 2; which++) {
                    qel_printf("%s", names[which]);
                    for (size_t i = from; i < to; i++) {
                        const uint32_t c = shown[i];
                        double best = charValue(r.rows[0], m, c), worst = best;
                        for (size_t k = 1; k < r.rows.size(); k++) {
                            const double v = charValue(r.rows[k], m, c);
                            if (fit && v == kFitUndefined)
                                continue;
                            const bool better = (m == kFitLength || lowBest) ? v < best : v > best;
                            const bool worse = (m == kFitLength || lowBest) ? v > worst : v < worst;
                            best = better ? v : best;
                            worst = worse ? v : worst;
                        }
                        cell(which ? worst : best, c);
                    }
                    qel_printf("\n");
                }
            }
            if (m == kFitGFit && !gPars.gUninf) {
                bool any = false;
                for (size_t i = from; i < to; i++)
                    any = any || (d->status[shown[i]] & kCharUninformative);
                if (any) {
                    uninfMarked = true;
                    qel_printf("        ");
                    for (size_t i = from; i < to; i++)
                        qel_printf("%*s ", w - 1, (d->status[shown[i]] & kCharUninformative) ? "*" : "");
                    qel_printf("\n");
                }
            }
        }
        if (uninfMarked)
            qel_printf("   * \bThese uninformative characters are not included in total Goloboff scores\n");
        if (skipped && onlyAsym)
            qel_printf("\n   Note: \b%s could not be calculated for asymmetric stepmatrix characters.\n",
                       fitMeasureTitle(m));
        else if (skipped)
            qel_printf("\n   Note: \b%s could not be calculated for characters whose minimum length could not be "
                       "determined.\n",
                       fitMeasureTitle(m));
    }
}

// Puts the score file in place (a write that failed, a full disk, shows
// here); 0 when it is.
int finishScoreFile(Run &r)
{
    // A table cut short by an error or an interrupt is not kept.
    const bool keep = getAbortedStatus() == 0;
    const int rc = finishStreamFile(r.outStream, keep);
    discardStream(&r.outStream);
    r.out = nullptr;
    if (rc != 0 && keep)
        return qel_errorMsg(0, "Error writing file \"%s\".", sfopt.scoreFile), 1;
    return keep ? 0 : 2;
}

int runBody(Run &r, TreeBuffer *buf, const std::vector<uint32_t> &list)
{
    dataServices().setStatusText("Calculating parsimony scores...");
    int status = scoreTrees(r, buf, list);
    if (status != 0)
        return status;
    if (gSortTreesByScore) {
        dataServices().setStatusText("Sorting trees by score...");
        const uint32_t bestNumber = r.rows[r.best].number;
        std::stable_sort(r.rows.begin(), r.rows.end(),
                         [](const TreeRow &a, const TreeRow &b) { return compareScores(a.length, b.length) < 0; });
        for (size_t k = 0; k < r.rows.size(); k++)
            if (r.rows[k].number == bestNumber)
                r.best = k;
    }
    // The table is complete here: the file is closed before its success is
    // told.
    const bool scoreFile = r.out != nullptr;
    if (scoreFile) {
        writeScoreFile(r);
        if (int rc = finishScoreFile(r))
            return rc;
    }
    const bool fits = r.sumMin > 0.0;
    qel_printf("\nLen\bgths ");
    if (r.anyFit && fits)
        qel_printf("and fit measures ");
    qel_printf("of trees in memory%s:\n", "");
    indentOutput(2);
    showParsSettings(qel_printf, r.d);
    indentOutput(-2);
    if (scoreFile)
        qel_printf("\nTree scores written to file \"%s\"\n", sfopt.scoreFile);
    if (!sfopt.displayOut)
        qel_printf("Output to main window suppressed (results sent only to file)\n");
    if (gPars.showOverall && sfopt.displayOut) {
        if (r.anyFit && fits) {
            // The score text already carries the "+" of an unknown
            // within-terminal length; the bounds may add it on their own.
            std::string minText = lengthText(r.sumMin);
            if (r.marked && (minText.empty() || minText.back() != '+'))
                minText += '+';
            qel_printf("  Sum of min. possible lengths = %s\n", minText.c_str());
            qel_printf("  Sum of max. possible lengths = %s\n", lengthText(r.sumMax).c_str());
        }
        showTable(r);
        if (gPars.showMeans) {
            double sumL = 0.0, sumG = 0.0;
            for (const TreeRow &row : r.rows) {
                sumL += row.length;
                sumG += row.fit[kFitGFit];
            }
            // Every tree's Goloboff fit is computed, so its mean is
            // printed with the mean length whether its row is shown or not.
            qel_printf("\nMean tree length = %f\n", sumL / r.rows.size());
            qel_printf("Mean Goloboff score = %f\n", sumG / r.rows.size());
        }
    }
    if (gPars.showCmpList && sfopt.displayOut)
        showCompatList(r);
    if (gPars.singleChar && sfopt.displayOut)
        showSingleCharValues(r);
    if (!r.tests)
        return 0;
    if (r.included.size() < 3) {
        qel_printf("\nParsimony tests are not performed when there are fewer than 3 (included) characters.\n");
        return 0;
    }
    std::vector<ParsTestTree> trees;
    for (const TreeRow &row : r.rows)
        trees.push_back({row.number, row.length, lengthText(row.length), row.testLen});
    if (gPars.showKHTest && (status = printKHTest(trees, r.best, diffText)) != 0)
        return status;
    if (gPars.showNonparam)
        status = printNonparTests(r.d, trees, r.best, r.included, packedData(r.d)->tolerance,
                                  gPars.showTestDetails != 0);
    return status;
}

}  // namespace

// Opened through the stream layer, so that a replaced score file takes the
// old one's place only once the table is complete.
StreamInfo *openScoreFile(const char *name, int *status)
{
    if (status)
        *status = 1;
    char path[kPathnameBufSize];
    const std::string base = getCurrentDirSpec();
    if (!expandPathname(name, base.empty() ? "." : base.c_str(), path)) {
        qel_errorMsg(0, "Invalid file name \"%s\".", name);
        return nullptr;
    }
    StreamInfo *stream = nullptr;
    const int rc = openOutputStream(path, gReplaceFile != 0, gAppendToFile != 0, &stream);
    if (rc == kOpenDeclined && status)
        *status = 2;
    return rc == kOpenOK ? stream : nullptr;
}

int closeScoreFile(StreamInfo **stream)
{
    if (!stream || !*stream)
        return 0;
    const std::string name = streamFilename(*stream);
    const int rc = finishStreamFile(*stream, true);
    discardStream(stream);
    if (rc != 0)
        return qel_errorMsg(0, "Error writing file \"%s\".", name.c_str()), 1;
    return 0;
}

int startScoreCmd(const DataInfo *d, const ScoreCmdRequest &request, ScoreCmdStart &start)
{
    TreeBuffer *buf = getActiveTreeBuffer();
    const uint32_t inMemory = numTreesInBuffer(buf);
    if (int rc = noTreesAvailable(false, 0, nullptr); rc != 0)
        return rc;
    start.rooted = areTreesRooted(buf);
    if (checkMinTaxa(d, start.rooted ? 2 : 3, request.subject, start.rooted ? "rooted trees" : "unrooted trees"))
        return 1;
    if (request.criterion && checkCritRootedness(start.rooted, *request.criterion) != 0)
        return 1;
    SetHandle listSet(allocSet(inMemory));
    if (!listSet || getTreeList(listSet.get(), true, false) != 0)
        return 1;

    sfopt.pref_saveToFile = 0;
    gSortTreesByScore = 0;
    gReplaceFile = gAppendToFile = 0;
    sfopt.displayOut = 1;
    char savedName[sizeof sfopt.scoreFile];
    std::memcpy(savedName, sfopt.scoreFile, sizeof savedName);
    sfopt.scoreFile[0] = 0;
    if (request.beforeOptions)
        request.beforeOptions();
    const int got = getCmdParams(request.options, ";", nullptr);
    start.fileNamed = got > 0 && sfopt.scoreFile[0] != 0;
    if (!start.fileNamed)
        std::memcpy(sfopt.scoreFile, savedName, sizeof savedName);
    if (request.afterOptions)
        request.afterOptions(got > 0);
    if (got <= 0)
        return got < 0 ? -1 : 1;
    if (!start.fileNamed && !sfopt.displayOut) {
        qel_errorMsg(920, "Output to main window is suppressed but no score file was specified either.");
        return 1;
    }

    for (uint32_t k = 0; k < inMemory; k++)
        if (isSetMember(listSet.get(), k))
            start.trees.push_back(k);
    if (start.trees.empty())
        for (uint32_t k = 0; k < inMemory; k++)
            if (isTreeVisible(k))
                start.trees.push_back(k);
    if (start.trees.empty()) {
        qel_errorMsg(0, "There are no trees in memory.");
        return 1;
    }
    return 0;
}

int doPScoresCmd()
{
    DataInfo *d = activeDataInfo();
    TreeBuffer *buf = getActiveTreeBuffer();
    if (!d || !d->nchar) {
        qel_errorMsg(0, "No character data are available.");
        return 1;
    }
    ScoreCmdStart start;
    if (const int s = startScoreCmd(d, {"Calculating tree lengths for ", OptionSet::kPScores, {}, {}, {}}, start); s != 0)
        return s < 0 ? 0 : 1;
    const bool named = start.fileNamed;
    const std::vector<uint32_t> &list = start.trees;

    Run r;
    r.d = d;

    if (numIncludedChars(d) == 0)
        qel_warningMsg(435, "No character-data are available for the current analysis.\tApparently, you have "
                            "excluded all characters, intentionally or otherwise.");
    const uint32_t oldCriterion = tempResetOptCrit(kCriterionParsimony);
    int status = checkCharStatusUpdate(d) != 0 || checkParsimonySettings(d) != 0 || prepareParsimonyData(d) != 0 ||
                 checkDirectedRooting(d, start.rooted) != 0;
    if (status == 0 && named) {
        r.outStream = openScoreFile(sfopt.scoreFile, &status);
        if (r.outStream) {
            r.out = r.outStream->fp;
            status = 0;
        }
    }
    if (status == 0) {
        const bool gfit = gPars.showGfit || gPars.goloboff;
        r.countCompat = gPars.showCompat || gPars.showCmpList || gPars.threshold == 1;
        r.show[kFitLength] = r.file[kFitLength] = gPars.showTL;
        r.show[kFitCompat] = gPars.showCompat || gPars.threshold == 1;
        r.file[kFitCompat] = r.countCompat;
        r.show[kFitCI] = r.file[kFitCI] = gPars.showCI;
        r.show[kFitRI] = r.file[kFitRI] = gPars.showRI;
        r.show[kFitRC] = r.file[kFitRC] = gPars.showRC;
        r.show[kFitHI] = r.file[kFitHI] = gPars.showHI;
        r.show[kFitGFit] = r.file[kFitGFit] = gfit;
        r.anyFit = gPars.showCI || gPars.showRI || gPars.showRC || gPars.showHI || gfit;
        r.tests = (gPars.showKHTest || gPars.showNonparam) && list.size() >= 2;
        for (uint32_t c = 0; c < d->nchar; c++)
            if (!(d->status[c] & kCharExcluded))
                r.included.push_back(c);
        status = runBody(r, buf, list);
    }
    dataServices().clearStatusText();
    if (parsServices().forgetLastTreeOptimized)
        parsServices().forgetLastTreeOptimized();
    restoreOriginalOptCrit(oldCriterion);
    if (r.outStream) {
        // The run stopped before the table was complete: not kept.
        finishStreamFile(r.outStream, false);
        discardStream(&r.outStream);
    }
    return status;
}

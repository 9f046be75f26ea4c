#include "search/scores.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "data/data_services.h"
#include "data/data_util.h"
#include "data/vorn_data.h"
#include "parsimony/optimize.h"
#include "parsimony/packx.h"
#include "parsimony/stmx.h"
#include "search/search_settings.h"
#include "search/critscore.h"
#include "search/constrsearch.h"
#include "search/swap.h"
#include "trees/constr.h"
#include "trees/describe.h"
#include "trees/readtree.h"
#include "trees/treebuf.h"
#include "parsimony/pars_init.h"
#include "parsimony/pars_util.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_oututil.h"
#include "qel/qel_strings.h"

CompareScoresFxn gCompareScoresFxn = compareParsimonyScores;
bool gScoresAreFlt = false;

namespace {

constexpr double kDefaultCutoffForE = 1e10;
constexpr double kDefaultCutoffFor0 = 1e-8;
constexpr double kSmallestNormalFloat = 1.1754943508222875e-38;
constexpr const char *kDefaultScoreFile = "treescores.txt";
constexpr uint32_t kAllBits = 0xFFFFFFFFu;

double g_cutoff_for_e = kDefaultCutoffForE;
double g_cutoff_for_0 = kDefaultCutoffFor0;
bool g_suppress_e_format = false;
double gLikeRelTolerance = 1e-8;
bool gHookInstalled = false;

const char *const kCriterionNames[] = {"parsimony", "likelihood", "distance", "quartet consistency"};

int sign(double x) { return x < 0.0 ? -1 : x > 0.0 ? 1 : 0; }

bool parsimonyScoresMaximised()
{
    return gPars.goloboff && gPars.threshold == 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// Comparison

void setCompareScoresFxn(uint32_t criterion)
{
    criterion = getActiveCriterion(criterion);
    gCompareScoresFxn = criterion == kCriterionParsimony    ? compareParsimonyScores
                        : criterion == kCriterionLikelihood ? compareLikelihoodScores
                                                            : compareDistanceScores;
}

int compareParsimonyScores(double a, double b)
{
    if (!gScoresAreFlt)
        return sign(a - b);
    const PackedData *pd = packedData(activeDataInfo());
    const double tol = pd ? pd->tolerance : 0.0;
    const double diff = a - b;
    return diff > tol ? 1 : diff < -tol ? -1 : 0;
}

int compareLikelihoodScores(double a, double b)
{
    return std::fabs(a - b) < b * gLikeRelTolerance ? 0 : sign(a - b);
}

int compareDistanceScores(double a, double b)
{
    return std::fabs(a - b) < 1e-10 ? 0 : sign(a - b);
}

void setLikelihoodRelTolerance(double tolerance) { gLikeRelTolerance = tolerance; }

void resetScoresForCriterion(uint32_t criterion)
{
    setFltScore(kCriterionCurrent);
    setCompareScoresFxn(criterion);
}

int installSearchCriterionHook()
{
    if (gHookInstalled)
        return 0;
    if (addCriterionResetHook(resetScoresForCriterion) != 0)
        return 1;
    gHookInstalled = true;
    return 0;
}

void installScoreTypeHook()
{
    ParsServices p = parsServices();
    p.recomputeScoreType = [] { gScoresAreFlt = criterionIsRealValued(kCriterionCurrent); };
    p.useParsimonyCriterion = [] { return tempResetOptCrit(kCriterionParsimony); };
    p.restoreCriterion = restoreOriginalOptCrit;
    installParsServices(p);
}

int installSearchHooks()
{
    DataServices s{};
    s.criterion = [] { return static_cast<int>(getOptimalityCriterion()); };
    s.resetCriterionToParsimony = [] { setOptimalityCriterion(static_cast<uint32_t>(kCriterionParsimony), true); };
    s.criterionText = []() -> std::string {
        char text[128];
        return makeFullCriterionString(text, sizeof text);
    };
    const int status = installDataServices(s);
    // Rooting and optimising a tree under another criterion score it with
    // its branch lengths fitted.
    OptimizeServices o{};
    // A Goloboff fit is negative: a length's test would refuse every tree.
    o.isScoreValid = isScoreValid;
    o.checkCritRootedness = [](bool rooted, int criterion) {
        return checkCritRootedness(rooted, static_cast<uint32_t>(criterion));
    };
    o.scoreOtherCriterion = [](Tree *tree, DataInfo *, double *score) {
        if (!criterionSearchFxns(gCriterion))
            return false;
        *score = criterionScoreWithLengths(tree, kNoScoreValue);
        return true;
    };
    setOptimizeServices(&o);
    setCriterionRootednessFxn(criterionSpecifiesRootedTrees);
    setConstraintsReleasedHook(stopEnforcingReleasedConstraints);
    setConvexLoosenessSource([] { return srch.looseConvex; });
    installScoreTypeHook();
    return installSearchCriterionHook() | status;
}

// ---------------------------------------------------------------------------
// Validity and kinds of scores

bool criterionIsRealValued(uint32_t criterion)
{
    criterion = getActiveCriterion(criterion);
    if (criterion != kCriterionParsimony)
        return true;
    return parsimonyScoreIsRealValued(activeDataInfo());
}

bool areScoresFlt() { return gScoresAreFlt; }

void setFltScore(uint32_t criterion)
{
    gScoresAreFlt = criterionIsRealValued(criterion);
    DataInfo *d = activeDataInfo();
    if (d && packedData(d))
        setParsDecimals(d);
}

bool isScoreValid(double s)
{
    if (gCriterion == kCriterionParsimony && parsimonyScoresMaximised())
        return s > kLowestScore && s <= 0.0;
    return s >= 0.0 && s < kNoScoreValue;
}

double getBaseScore(const DataInfo *data, bool wanted)
{
    const PackedData *pd = packedData(data);
    return wanted && pd ? pd->baseLength : 0.0;
}

// ---------------------------------------------------------------------------
// Temporary criterion switch

uint32_t tempResetOptCrit(uint32_t criterion)
{
    const uint32_t old = gCriterion;
    const bool wasFlt = gScoresAreFlt;
    gCriterion = criterion;
    setFltScore(criterion);
    if (criterion != old && criterion == kCriterionParsimony && wasFlt != gScoresAreFlt)
        setNeedParsPrep(1);
    return old;
}

void restoreOriginalOptCrit(uint32_t old)
{
    if (old == gCriterion)
        return;
    const bool wasFlt = gScoresAreFlt;
    gCriterion = old;
    setFltScore(kCriterionCurrent);
    if (old == kCriterionParsimony && wasFlt != gScoresAreFlt)
        setNeedParsPrep(1);
}

bool criterionSpecifiesRootedTrees(const DataInfo *data)
{
    if (gCriterion == kCriterionLikelihood) {  // a clock measures from a root
        const CriterionSearchFxns *fx = criterionSearchFxns(kCriterionLikelihood);
        return fx && fx->rootedTrees && fx->rootedTrees();
    }
    return gCriterion == kCriterionParsimony && data && data->nchar > 0 && (data->cls.nonRev || data->cls.dollo);
}

int checkCritRootedness(bool treesRooted, uint32_t criterion)
{
    switch (getActiveCriterion(criterion)) {
    case kCriterionParsimony: {
        DataInfo *d = activeDataInfo();
        if (!d)
            return 0;
        if (checkCharStatusUpdate(d) != 0)
            return 1;
        return checkDirectedRooting(d, treesRooted);
    }
    case kCriterionDistance:
        // UPGMA builds its trees rooted under this very criterion, and
        // scores and draws them as they are.
        if (!treesRooted || (getTreeSource() & kTreeSourceMask) == kTreeSourceUPGMA)
            return 0;
        qel_errorMsg(848, "Trees must be unrooted for distance analysis.");
        return 1;
    case kCriterionLikelihood: {
        const CriterionSearchFxns *fx = criterionSearchFxns(kCriterionLikelihood);
        if (treesRooted || !fx || !fx->rootedTrees || !fx->rootedTrees())
            return 0;
        qel_errorMsg(849, "Clock assumption requires rooted trees.\tYou must either turn off the clock "
                                     "assumption or root the trees using the \"RootTrees\" command.");
        return 1;
    }
    default:
        return 0;
    }
}

char *makeFullCriterionString(char *buffer, size_t size)
{
    if (!buffer || size == 0)
        return buffer;
    const uint32_t c = gCriterion < 4 ? gCriterion : 0;
    int n = std::snprintf(buffer, size, "%s", kCriterionNames[c]);
    if (c == kCriterionParsimony && n >= 0 && static_cast<size_t>(n) < size) {
        if (gPars.threshold)
            std::snprintf(buffer + n, size - n, ": threshold = %u extra step%s%s", gPars.threshold,
                          gPars.threshold == 1 ? "" : "s", gPars.threshold == 1 ? " (= maximum compatibility)" : "");
        else if (gPars.goloboff)
            std::snprintf(buffer + n, size - n, " (Goloboff fit with k=%u%s)", gPars.gK,
                          gPars.gPeeWee ? "; emulating PeeWee" : "");
    } else if (const CriterionSearchFxns *f = criterionSearchFxns(c);
               f && f->criterionSuffix && n >= 0 && static_cast<size_t>(n) < size) {
        f->criterionSuffix(buffer + n, size - n);
    }
    return buffer;
}

// ---------------------------------------------------------------------------
// Formatting

std::string intScoreToStr(int32_t n)
{
    if (n == kNoIntBound)
        return "-";
    return std::to_string(n);
}

std::string fltScoreToStr(int width, int decimals, double s)
{
    if (width == 0)
        width = 14;
    if (decimals == -1)
        decimals = 5;
    if (s == kNoScoreValue)
        return "-";
    if (s == kInfiniteScore)
        return g_suppress_e_format ? "999999.9" : "Inf";
    const double eCut = g_suppress_e_format ? HUGE_VAL : g_cutoff_for_e;
    char text[kScoreBufSize];
    // A score too small for its decimals is not 0: a fit that is all but
    // perfect must not read as a perfect one.
    if (s != 0.0 && std::fabs(s) < g_cutoff_for_0 && !g_suppress_e_format) {
        std::snprintf(text, sizeof text, "%.4e", s);
        return text;
    }
    fltValueToString(decimals, width, g_suppress_e_format, sizeof text, text, s, eCut, g_cutoff_for_0);
    if (g_cutoff_for_0 == kSmallestNormalFloat && s != 0.0) {
        const double back = std::strtod(text, nullptr);
        if (std::fabs((back - s) / s) > 0.0001)
            std::snprintf(text, sizeof text, "%.3e", s);
    }
    return text;
}

double set_cutoff_for_e(double v)
{
    const double old = g_cutoff_for_e;
    g_cutoff_for_e = v == 0.0 ? kDefaultCutoffForE : v;
    return old;
}

double set_cutoff_for_0(double v)
{
    const double old = g_cutoff_for_0;
    g_cutoff_for_0 = v == 0.0 ? kDefaultCutoffFor0 : v;
    return old;
}

void set_suppress_e_format(bool on) { g_suppress_e_format = on; }

int nDecimalsForCriterion(uint32_t criterion, int width, double s)
{
    const uint32_t c = getActiveCriterion(criterion);
    if (!criterionIsRealValued(c))
        return 0;
    const double a = std::fabs(s);
    if (a <= 2.220446049250313e-16)
        return 5;
    const int w = width == 0 ? 62 : width;
    int fit = w - 2 - static_cast<int>(std::log10(a));
    if (fit < 0)
        fit = 0;
    if (c == kCriterionParsimony) {
        const uint32_t setting = gPars.scoreDecimals;
        if (setting == kAllBits || static_cast<uint32_t>(fit) > setting) {
            if (gPars.goloboff && gPars.gPeeWee)
                return setting == kAllBits ? 1 : static_cast<int>(setting);
            if (setting != kAllBits)
                return static_cast<int>(setting);
        }
    }
    return fit < 5 ? fit : 5;
}

std::string scoreToString(uint32_t criterion, int width, int decimals, double s)
{
    if (!criterionIsRealValued(criterion))
        decimals = 0;
    else if (decimals == -1 || decimals == -2)
        decimals = nDecimalsForCriterion(criterion, width, s);
    return fltScoreToStr(width, decimals, s);
}

namespace {
std::string withUnknownMark(std::string text)
{
    const PackedData *pd = packedData(activeDataInfo());
    if (gCriterion == kCriterionParsimony && pd && pd->unknownExtraLength && text.size() + 1 < kScoreBufSize)
        text += '+';
    return text;
}
}  // namespace

std::string treeScoreToString(int width, double s)
{
    if (!isScoreValid(s))
        return "-";
    return withUnknownMark(scoreToString(kCriterionCurrent, width ? width : 62, -1, s));
}

std::string boundToString(double s)
{
    if (s == kNoScoreValue || s == kLowestScore)
        return "-";
    return withUnknownMark(scoreToString(kCriterionCurrent, 62, -1, s));
}

std::string treeLengthToString(double len)
{
    const int decimals = gPars.lengthDecimals == kAllBits ? 5 : static_cast<int>(gPars.lengthDecimals);
    std::string text = fltScoreToStr(62, decimals, len);
    if (len != kNoScoreValue)
        return withUnknownMark(std::move(text));
    return text;
}

std::string brLenToString(uint32_t criterion, int width, int decimals, double v)
{
    if (!criterionIsRealValued(criterion)) {
        char text[kScoreBufSize];
        std::snprintf(text, sizeof text, "%.0f", v);
        return text;
    }
    if (getActiveCriterion(criterion) == kCriterionParsimony && gPars.lengthDecimals != kAllBits)
        decimals = static_cast<int>(gPars.lengthDecimals);
    return scoreToString(criterion, width ? width : 62, decimals, v);
}

uint32_t getColumnWidth(int decimals, uint32_t minWidth, double s)
{
    uint32_t w = decimals > 0 ? numDigitsFlt(decimals, s) : numDigitsFlt(0, std::trunc(s));
    if (minWidth) {
        const uint32_t m = numDigits(minWidth);
        if (m > w)
            w = m;
    }
    return w;
}

// ---------------------------------------------------------------------------
// Score file

void initScoreFilename(const char *value)
{
    std::snprintf(sfopt.scoreFile, sizeof sfopt.scoreFile, "%s", value && *value ? value : kDefaultScoreFile);
}

void setDefaultScoreFilename() { initScoreFilename(nullptr); }
const char *getDefaultScoreFilename() { return kDefaultScoreFile; }

int closeScorefile()
{
    if (!sfopt.stream)
        return 0;
    std::fclose(sfopt.stream);
    sfopt.stream = nullptr;
    return 1;
}

#include "quartets/quartets_settings.h"

#include <cmath>
#include <limits>

#include "qel/qel_errormsg.h"
#include "qel/qel_strings.h"
#include "cli/qel_cmdline.h"

PuzzleSettings puzOpt{.nPuzzles = 1000, .nQuartets = 0.0, .cutoffPct = 5, .seed = {0, 0, 0, 0},
                      .useApproxLim = 1, .minMemReq = 0, .allowParEst = 0, .showTree = 1,
                      .grpFreq = 1, .compactStorage = 0, .penalties = 0, .pref_saveToFile = 0,
                      .treeFile = ""};

SvdqSettings svdqOpt{
    .partition = "", .qfile = "quartets.dat", .mrpFile = "quartets_mrp.nex",
    .treeFile = "svdq_boot.tre", .frobDFile = "frobenius_dist.txt", .loci = nullptr,
    .nquartets = 100000.0, .userTheta = 0.1, .treeInf = kSvdqTreeInfQFM,
    .qweights = 0, .bootstrap = kSvdqBootNo, .estNodeAges = 0, .wtlambda = 1000.0, .nthreads = 0,
    .forceRank = 0, .seed = {0, 0, 0, 0}, .nreps = 100, .treemodel = 0, .evalQuartets = 1,
    .speciesTree = 0, .showScores = 0, .showSV = 0, .pref_saveQrtFile = 0,
    .pref_saveMrpFile = 0, .pref_saveBtrFile = 0, .pref_writeFrobD = 0, .keepQuartets = 0,
    .qformat = 0, .preferAllQ = 1, .ambigs = 1, .plus2 = 0, .enforce = 0, .estTheta = 1,
    .lakeInvar = 0};

QSearchSettings qopt{.file = "", .startQMC = "qmc", .method = kQMethodQFM, .woAddSeq = 0,
                     .localSearch = 0, .nreps = 100, .reconLimit = 6, .seed = {0, 0, 0, 0},
                     .useHashing = 1, .qfmPtn = 1, .qfmIter = 0, .maxSplitsB = 500,
                     .slowTBR = 0, .woShowRandom = 0, .qmcOutput = 1};

char gQuartetModelName[kParamStringSize];

int readNthreadsParam(int operation, CmdParam *option, void *place)
{
    auto *value = reinterpret_cast<int32_t *>(&svdqOpt.nthreads);
    if (operation != kParamOpReadValue)
        return readIntFxnParamHelper(operation, option, place, value, "ncpus", 0);
    char word[kMaxKeywordChars + 1];
    if (readToken(word, sizeof word) < 0)
        return 1;
    int32_t n = 0;
    if (!tokenWasTruncated() && isAllDigit(word) && stringToInt(word, &n) == kConvOk &&
        n <= kMaxSvdqThreads) {
        *value = n;
        return 0;
    }
    if (word[0] != '\0' && substringMatches(word, "ncpus", 1)) {
        *value = 0;
        return 0;
    }
    return qel_errorMsg(0, "Invalid number specified for the number of threads.\tUse a small "
                           "integer value, or 'ncpus'.");
}

namespace {

// The saved copy of theta: "estimate" is kept as a NaN, which no typed value
// can be. A typed theta is the user's theta; estimating keeps the user's
// value for when estimation is turned off again.
double currentTheta()
{
    return svdqOpt.estTheta ? std::numeric_limits<double>::quiet_NaN() : svdqOpt.userTheta;
}

void setTheta(double saved)
{
    svdqOpt.estTheta = std::isnan(saved);
    if (!svdqOpt.estTheta)
        svdqOpt.userTheta = saved;
}

const char *thetaText(double value)
{
    return std::isnan(value) ? "Estimate" : makeCurDefaultString("%.6g", value);
}

bool sameTheta(double a, double b) { return std::isnan(a) ? std::isnan(b) : a == b; }

}  // namespace

int readThetaValue(int operation, CmdParam *option, void *place)
{
    switch (operation) {
    case kParamOpReadValue: {
        char word[64];
        if (readToken(word, sizeof word) < 0)
            return 1;
        double value = 0.0;
        if (word[0] != '\0' && substringMatches(word, "estimate", 1)) {
            setTheta(std::numeric_limits<double>::quiet_NaN());
            return 0;
        }
        if (tokenWasTruncated() || word[0] == '\0' || stringToDouble(word, &value) != kConvOk ||
            !std::isfinite(value))
            return errMsgBadParamValue(option->name, word);
        setTheta(value);
        return 0;
    }
    case kParamOpCurValue:
        if (place != nullptr)
            *static_cast<const char **>(place) = thetaText(currentTheta());
        return 0;
    case kParamOpValueList:
        if (place != nullptr)
            *static_cast<const char **>(place) = "<real-value>|estimate";
        return 0;
    case kParamOpChanged:
        return !sameTheta(currentTheta(), option->saved.d);
    case kParamOpSave:
        option->saved.d = currentTheta();
        return 0;
    case kParamOpRestore:
        setTheta(option->saved.d);
        return 0;
    case kParamOpEchoChanged:
        if (!sameTheta(currentTheta(), option->saved.d))
            qel_printf(" %s=%s", option->name, thetaText(currentTheta()));
        return 0;
    default:
        return 0;
    }
}

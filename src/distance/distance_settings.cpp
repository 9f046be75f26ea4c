#include "distance/distance_settings.h"

#include <cctype>
#include <cstring>

#include "qel/qel_errormsg.h"
#include "cli/qel_cmdline.h"

const char kDistanceKeywords[] =
    "user\0total\0mean\0abs\0P\0JC\0F81\0TajNei\0K2P\0F84\0HKY85\0K3P\0TamNei\0GTR\0custom\0ML\0"
    "logDet\0Upholt\0NeiLiSite\0NeiLiFrag\0";

DistSettings dist{
    .distance = kDistP, .objective = kObjectiveLsFit, .lsWts = 0, .power = 0.0, .pexp = 0.0,
    .pInvar = 0.0, .rates = 0, .shape = 0.5, .removeFreq = 0, .estFreq = 0, .allSitesMean = 1,
    .subst = 0, .recSeqLen = 6, .cAC = 0, .cAG = 0, .cAT = 0, .cCG = 0, .cCT = 0, .cGT = 0,
    .baseFreq = 1, .missDist = 0, .negBrLen = kNegBrLenSetZero, .undefMult = 2.0, .dCollapse = 0,
    .psdk = 1, .psdAddK = 0, .precision = 5, .lsDetails = 0, .pplot = 0, .pref_writeDsgn = 0,
    .pref_writeExpD = 0, .designFile = "", .expDistFile = ""};

int32_t felsMaxPasses = -1;
double felsMaxDelta = -1.0;
int32_t lsIterProg = -1;

ClustSettings clust{.BioNJ = 0, .showTree = 1, .breakTies = kBreakTiesSystematic,
                    .tieSeed = {0, 0, 0, 0}, .brLens = 0, .pref_saveFile = 0, .isUPGMA = 0};
StarDecompSettings starDcmp{.breakTies = kBreakTiesSystematic, .tieSeed = {0, 0, 0, 0}};
PairDiffSettings pairDiff{.shortFmt = 0, .longFmt = 1, .taxa = nullptr};
SaveDistSettings saveDist{.format = kDistFmtOneColumn, .file = {}, .triangle = kTriangleLower,
                          .diagonal = 0, .undefined = 0, .ndecimals = 8};
DConSeqSettings dconOpt{.partition = nullptr, .showSubsets = 0};

char gClustTreefileName[kParamPathSize];
char gDConSeqOutFile[kParamPathSize];

namespace {

int32_t *classField(int n)
{
    int32_t *fields[6] = {&dist.cAC, &dist.cAG, &dist.cAT, &dist.cCG, &dist.cCT, &dist.cGT};
    return fields[n];
}

int badClassSpec()
{
    return qel_errorMsg(841,
                        "Invalid substitution-class specification.\tThe correct format is (c_AC "
                        "c_AG c_AT c_CG c_CT c_GT), where each c is either a, b, c, d, e, f; e.g., "
                        "\"(a b a a c a)\" for the Tamura-Nei model.");
}

// Reads "(" six letters a..f ")" into classes; the letters may stand apart
// or together. Nothing is stored unless all of it is right.
int readDnaClasses(int32_t classes[6])
{
    char word[64];
    if (readToken(word, sizeof word) < 0)
        return 1;
    if (std::strcmp(word, "(") != 0)
        return badClassSpec();
    int n = 0;
    for (;;) {
        if (readToken(word, sizeof word) < 0)
            return 1;
        if (n == 6)
            break;
        if (std::strcmp(word, ")") == 0 || tokenWasTruncated())
            return badClassSpec();
        for (const char *c = word; *c != '\0'; ++c) {
            int letter = std::tolower(static_cast<unsigned char>(*c));
            if (letter < 'a' || letter > 'f' || n == 6)
                return badClassSpec();
            classes[n++] = letter - 'a';
        }
    }
    if (std::strcmp(word, ")") != 0)
        return qel_errorMsg(205,
                            "Expecting right parenthesis (')') found \"%s\".\tIt is possible that "
                            "this is a downstream effect of an earlier formatting mistake.",
                            word);
    return 0;
}

}  // namespace

int getDnaDistClass(int operation, CmdParam *, void *place)
{
    switch (operation) {
    case kParamOpReadValue: {
        int32_t classes[6];
        if (readDnaClasses(classes) != 0)
            return 1;
        for (int i = 0; i < 6; ++i)
            *classField(i) = classes[i];
        return 0;
    }
    case kParamOpCurValue:
        if (place != nullptr)
            *static_cast<const char **>(place) = makeCurDefaultString(
                "(%c %c %c %c %c %c)", 'a' + dist.cAC, 'a' + dist.cAG, 'a' + dist.cAT,
                'a' + dist.cCG, 'a' + dist.cCT, 'a' + dist.cGT);
        return 0;
    default:
        // The six classes are options of their own and are saved, restored
        // and reset with the others.
        return 0;
    }
}

const char *distFormatExtension(uint32_t format)
{
    static const char *const kExtensions[] = {".txt", ".txt", ".nxd", ".phy", ".phy"};
    return format < 5 ? kExtensions[format] : ".txt";
}

int getDistancesFlnam(int operation, CmdParam *option, void *place)
{
    setFilenameDefaultExt(option, distFormatExtension(saveDist.format));
    return handleFilenameCmdParam(operation, option, place);
}

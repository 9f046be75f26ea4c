#include "search/search_settings.h"
#include "search/starttree.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "qel/qel_errormsg.h"
#include "qel/qel_strings.h"
#include "cli/qel_cmdline.h"

SearchSettings srch = {0, 0, 1, 1, 0, 1, 1, 0, 0, 60, 0.0};
FreqDistOptions fdopt = {20, 0, {}};
uint32_t gCriterion = kCriterionParsimony;

HSearchOptions hs;
ExactSearchOptions bbex;
BootJackOptions btjkOpt;
ScoreFileOptions sfopt;
uint8_t gSortTreesByScore = 0;

namespace {
std::array<void (*)(uint32_t), kMaxCriterionResetHooks> gResetHooks{};
int gResetHookCount = 0;

const char *criterionName(uint32_t c)
{
    return c == kCriterionLikelihood ? "likelihood" : c == kCriterionDistance ? "distance"
                                                                              : "parsimony";
}
}  // namespace

NamedFileRequest::NamedFileRequest(char *name, size_t size) : name_(name), size_(std::min(size, sizeof saved_))
{
    std::memcpy(saved_, name_, size_);
    name_[0] = '\0';
}

bool NamedFileRequest::taken()
{
    given_ = name_[0] != '\0';
    if (!given_)
        std::memcpy(name_, saved_, size_);
    return given_;
}

FreqDistFileRequest::FreqDistFileRequest() : file_(fdopt.fdFile, sizeof fdopt.fdFile) { fdopt.pref_saveToFile = 0; }

FreqDistFileRequest::~FreqDistFileRequest() { fdopt.pref_saveToFile = 0; }

void FreqDistFileRequest::taken() { fdopt.pref_saveToFile = file_.taken() ? 1 : 0; }

uint64_t statusIntervalMs()
{
    if (srch.dStatus <= 0)
        return 0;
    return static_cast<uint64_t>(srch.dStatus) * 1000u;
}

uint32_t getOptimalityCriterion() { return gCriterion; }

uint32_t getActiveCriterion(uint32_t criterion)
{
    return criterion == kCriterionCurrent ? gCriterion : criterion;
}

int addCriterionResetHook(void (*hook)(uint32_t))
{
    if (hook == nullptr || gResetHookCount >= kMaxCriterionResetHooks)
        return 1;
    gResetHooks[gResetHookCount++] = hook;
    return 0;
}

void clearCriterionResetHooks()
{
    gResetHooks.fill(nullptr);
    gResetHookCount = 0;
}

const char *currentCriterionString() { return criterionName(gCriterion); }

int initOptimalityCriterion(bool announce)
{
    if (announce)
        qel_printf("\nOptimality criterion set to %s.\n", criterionName(gCriterion));
    for (int k = 0; k < gResetHookCount; ++k)
        gResetHooks[k](gCriterion);
    return 0;
}

uint32_t setOptimalityCriterion(uint32_t criterion, bool reinit)
{
    uint32_t previous = gCriterion;
    gCriterion = criterion;
    if (reinit)
        initOptimalityCriterion(false);
    return previous;
}

int criterionInfo(CmdParam *option)
{
    if (cmdParamChanged(option))
        initOptimalityCriterion(true);
    return 0;
}

// ---------------------------------------------------------------------------
// Option callbacks and readers

namespace {

// True when word abbreviates keyword (case ignored).
bool abbreviates(const char *word, const char *keyword)
{
    size_t n = std::strlen(word);
    return n > 0 && n <= std::strlen(keyword) && strnicmp(word, keyword, n) == 0;
}

// A positive number written in full; 0 otherwise.
int32_t treeNumber(const char *text)
{
    int32_t n = 0;
    if (text[0] == '\0' || !isAllDigit(text) || stringToInt(text, &n) != kConvOk)
        return 0;
    return n;
}

int readStartValue()
{
    char word[64];
    // The range n-m is one value: only the terminators end it.
    if (readSpecialToken(word, sizeof word, nullptr, ";/", nullptr, false) < 0)
        return 1;
    if (tokenWasTruncated())
        return qel_errorMsg(505, "Invalid tree identifier(s) for starting tree(s)."), 1;
    StartTreeSpec spec{};
    if (parseStartOption(word, &spec) != 0)
        return 1;
    hs.startSource = spec.source;
    hs.firstStartTree = static_cast<int32_t>(spec.first);
    hs.lastStartTree = static_cast<int32_t>(spec.last);
    return 0;
}

void restoreSavedValue(CmdParam *option)
{
    copy1ParamVal(option, getCmdParamValuePtr(option, false), option->variable);
}

}  // namespace

int getStarterOptions(int operation, CmdParam *option, void *place)
{
    switch (operation) {
    case kParamOpReadValue:
        return readStartValue();
    case kParamOpCurValue:
        if (place != nullptr)
            *static_cast<const char **>(place) = defaultStartString();
        return 0;
    case kParamOpFactory:
        // The default start is the one defaultStartString names.
        hs.startSource = gCriterion == kCriterionDistance ? kStartNJ : kStartStepwise;
        hs.firstStartTree = hs.lastStartTree = 0;
        return 0;
    case kParamOpChanged:
        return hs.startSource != option->saved.seed[0] ||
               static_cast<uint32_t>(hs.firstStartTree) != option->saved.seed[1] ||
               static_cast<uint32_t>(hs.lastStartTree) != option->saved.seed[2];
    case kParamOpSave:
        option->saved.seed[0] = hs.startSource;
        option->saved.seed[1] = static_cast<uint32_t>(hs.firstStartTree);
        option->saved.seed[2] = static_cast<uint32_t>(hs.lastStartTree);
        return 0;
    case kParamOpRestore:
        hs.startSource = option->saved.seed[0];
        hs.firstStartTree = static_cast<int32_t>(option->saved.seed[1]);
        hs.lastStartTree = static_cast<int32_t>(option->saved.seed[2]);
        return 0;
    default:
        return 0;
    }
}

int readNcharBoot(int operation, CmdParam *option, void *place)
{
    if (operation != kParamOpReadValue)
        return readIntFxnParamHelper(operation, option, place, &btjkOpt.nchar, "current", 0);
    char word[kMaxKeywordChars + 1];
    if (readToken(word, sizeof word) < 0)
        return 1;
    if (abbreviates(word, "current")) {
        btjkOpt.nchar = 0;
        return 0;
    }
    int32_t n = tokenWasTruncated() ? 0 : treeNumber(word);
    if (n < 1)
        return qel_errorMsg(522, "The number of characters to resample in each replicate must "
                                 "be an integer value between 1 and %d (inclusive), or "
                                 "'current'.",
                            2147483647),
               1;
    btjkOpt.nchar = n;
    return 0;
}

int checkBtjkWtsOption(CmdParam *option)
{
    auto *wts = static_cast<uint32_t *>(option->variable);
    if (*wts == kBtjkWtsIgnore) {
        qel_errorMsg(529, "The 'ignore' option for bootstrap/jackknife weights is no longer "
                          "supported.\tIf you want to ignore the current character weights, "
                          "just set them to unity for all characters before beginning the "
                          "analysis.");
        restoreSavedValue(option);
        return 1;
    }
    if (*wts == kBtjkWtsRepeatCnt) {
        qel_printf("\nNote: The 'repeatCnt' and 'proportional' options for weight handling have "
                   "been combined, and 'repeatCnt' has been deprecated.  Please change your "
                   "command files accordingly.\n");
        *wts = kBtjkWtsProportional;
    }
    return 0;
}

int checkJackFrac(CmdParam *option)
{
    double pct = *static_cast<const double *>(option->variable);
    if (pct > 0.0 && pct < 100.0)
        return 0;
    char typed[48];
    std::snprintf(typed, sizeof typed, " (%g)", pct);
    qel_errorMsg(525, "Jackknife deletion percentage%s must be greater than 0 and less than 100.",
                 typed);
    restoreSavedValue(option);
    return 1;
}

#include "data/charstat.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "data/chartaxlist.h"
#include "data/data_services.h"
#include "data/data_util.h"
#include "data/nexsets.h"
#include "data/patterns.h"
#include "data/prepdata.h"
#include "data/taxstat.h"
#include "data/usertypes.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_malloc.h"
#include "qel/qel_multithread.h"
#include "qel/qel_output.h"
#include "qel/qel_oututil.h"
#include "qel/qel_strings.h"
#include "cli/qel_cmdline.h"
#include "cli/qel_cmdoptions.h"

namespace {

constexpr double kMaxCharWeight = 1e20;
constexpr const char *kFormatHint =
    "\tIt is possible that this is a downstream effect of an earlier formatting mistake.";

// The status commands need the data and the characters' informativeness up to
// date, not the structures for scoring trees: they stop before the final
// step, whose packing refuses what the scorer lacks (some character types,
// fewer than two taxa). Likelihood goes all the way because the summary shows
// values of the initialised model.
int prepareForStatus()
{
    const bool likelihood = dataServices().criterion() == static_cast<int>(kPrepLikelihood);
    // Site patterns cannot be built from no characters at all; the status
    // commands must still run then, Include being the way out of it.
    const DataInfo *d = activeDataInfo();
    if (likelihood && d && d->status && std::none_of(d->status, d->status + d->nchar, [](uint32_t s) {
            return !(s & (kCharExcluded | kCharEliminated));
        }))
        return 0;
    return prepareData(kPrepCurrentCriterion, 0, !likelihood);
}

SetHandle newCharSet(const DataInfo *d, bool full)
{
    SetHandle s(allocSet(std::max<uint32_t>(d->nchar, 1)));
    if (s && full)
        fillSet(s.get(), d->nchar);
    return s;
}

bool isEliminated(const DataInfo *d, uint32_t c) { return (d->status[c] & kCharEliminated) != 0; }
bool isExcluded(const DataInfo *d, uint32_t c) { return (d->status[c] & (kCharExcluded | kCharEliminated)) != 0; }

const char *charWord(uint32_t n) { return n == 1 ? "character" : "characters"; }
const char *charsHasHave(uint32_t n) { return n == 1 ? "character has" : "characters have"; }

// A character as messages name it: its label when it has one, else its number.
const char *charName(const DataInfo *d, uint32_t c, char *buffer, size_t size)
{
    const char *label = d->charLabels ? getStringFromList(d->charLabels, c) : nullptr;
    if (label && *label)
        return label;
    std::snprintf(buffer, size, "%u", c + 1);
    return buffer;
}

// The number and, when there is one, the label in parentheses, cut so that
// the whole fits 16 columns and the label at most 10.
void charLabelOut(const DataInfo *d, uint32_t c, char out[17])
{
    int n = std::snprintf(out, 17, "%u", c + 1);
    const char *label = d->charLabels ? getStringFromList(d->charLabels, c) : nullptr;
    if (!label || !*label || n + 3 >= 16)
        return;
    const size_t room = std::min<size_t>(10, 16 - static_cast<size_t>(n) - 3);
    std::snprintf(out + n, 17 - static_cast<size_t>(n), " (%.*s)", static_cast<int>(room), label);
}

// A weight token: read with the numeric punctuation so that signs and
// exponents stay in the word. Negative, infinite and NaN weights would poison
// every summed score, so they are refused like any other invalid weight.
int readWeightValue(const char *token, double *weight)
{
    // A literal longer than the word buffer was read cut short: its head is
    // another number, never the one written.
    if (tokenWasTruncated())
        return qel_errorMsg(413, "Character weight \"%.40s...\" is not valid.", token);
    double w = 0.0;
    if (!*token || stringToDouble(token, &w) != kConvOk || !std::isfinite(w) || w < 0.0)
        return qel_errorMsg(413, "Character weight \"%s\" is not valid.", token);
    if (w > kMaxCharWeight)
        return qel_errorMsg(405,
                            "Character weights may not exceed %g.\tThis limit prevents numerical overflows "
                            "when weighted values are summed.",
                            kMaxCharWeight);
    *weight = w;
    return 0;
}

int readWordToken(char *buffer, uint32_t size, bool numeric)
{
    int r = readSpecialToken(buffer, size, nullptr, numeric ? getNumericPunct() : nullptr, nullptr, false);
    return r < 0 ? 1 : 0;
}

int expectColon()
{
    int c = readNextDarkChar(nullptr);
    if (c == ':')
        return 0;
    if (c < 0)
        return reportCharReaderEnd(c);
    putCharBack(c);
    return qel_errorMsg(203, "Expecting colon (:) found '%c'.%s", c, kFormatHint);
}

// After a list item: 0 more items follow (","), -1 the end (";"), 1 error.
int readItemSeparator()
{
    int c = readNextDarkChar(nullptr);
    if (c == ',')
        return 0;
    if (c == ';')
        return -1;
    if (c < 0)
        return qel_errorMsg(0, "Unexpected end of input.");
    return qel_errorMsg(124, "'%c' is not a valid character in this context.", c);
}

std::string currentCriterionName() { return dataServices().criterionText(); }

// ---- Weight reading ---------------------------------------------------------

struct WtsRequest {
    Nexset *wtset;
    DataInfo *d;
    int form;
    bool notokens;
};

int readWtsVector(double *wts, const DataInfo *d, bool notokens)
{
    char token[256];
    for (uint32_t c = 0; c < d->nchar; ++c) {
        if (notokens) {
            int ch = readNextDarkChar(nullptr);
            if (ch == ';')
                return qel_errorMsg(118, "Unexpected semicolon (;).\tCheck input formatting carefully (e.g., "
                                         "verify that the number of items supplied for a list is correct).");
            if (ch < 0)
                return reportCharReaderEnd(ch);
            if (ch < '0' || ch > '9')
                return qel_errorMsg(124, "'%c' is not a valid character in this context.", ch);
            wts[c] = ch - '0';
            continue;
        }
        if (peekNextChar(nullptr) == ';') {
            readNextDarkChar(nullptr);
            return qel_errorMsg(118, "Unexpected semicolon (;).\tCheck input formatting carefully (e.g., verify "
                                     "that the number of items supplied for a list is correct).");
        }
        if (readWordToken(token, sizeof token, true) != 0 || readWeightValue(token, &wts[c]) != 0)
            return 1;
    }
    return readSemicolon();
}

int applyScaledWts(double *wts, DataInfo *d, Set *list, Set *remaining)
{
    const int end = getCmdParams(OptionSet::kWeightsScale, ":;,", nullptr);
    if (end <= 0)
        return 1;
    if (end != ':')
        return qel_errorMsg(203, "Expecting colon (:) found '%c'.%s", end, kFormatHint);
    if (prepareForStatus() != 0)
        return 1;
    if (readCharList(d, nullptr, list, remaining, false, nullptr) != 0)
        return 1;
    for (uint32_t c = firstOneBit(list->words, list->nwords); c != kSetEnd; c = followingSetMember(list, c))
        wts[c] = calcScaledWt(charWts.baseWt, d->obsCount ? d->obsCount[c] : 0);
    return 0;
}

int readWtsStandard(double *wts, DataInfo *d)
{
    SetHandle list = newCharSet(d, false), remaining = newCharSet(d, true);
    if (!list || !remaining)
        return 1;
    char token[256];
    for (;;) {
        if (peekNextChar(nullptr) == ';') {
            readNextDarkChar(nullptr);
            return 0;
        }
        if (readWordToken(token, sizeof token, true) != 0)
            return qel_errorMsg(0, "Unexpected end of input.");
        if (stricmp(token, "scale") == 0) {
            if (applyScaledWts(wts, d, list.get(), remaining.get()) != 0)
                return 1;
        } else {
            double w = 0.0;
            if (readWeightValue(token, &w) != 0 || expectColon() != 0 ||
                readCharList(d, nullptr, list.get(), remaining.get(), false, nullptr) != 0)
                return 1;
            for (uint32_t c = firstOneBit(list->words, list->nwords); c != kSetEnd;
                 c = followingSetMember(list.get(), c))
                wts[c] = w;
        }
        int sep = readItemSeparator();
        if (sep == -1)
            return 0;
        if (sep != 0)
            return 1;
    }
}

int charWtsThreadProc(void *arg)
{
    auto &r = *static_cast<WtsRequest *>(arg);
    DataInfo *d = r.d;
    double *wts = r.wtset ? getWtsetArray(r.wtset) : d->weights;
    if (!wts)
        return 1;
    int form = r.form;
    if (form < 0) {
        form = 0;
        int c = peekNextChar(nullptr);
        if (c == 'V' || c == 'v') {
            char token[64];
            if (readWordToken(token, sizeof token, false) != 0 || stricmp(token, "vector") != 0)
                return qel_errorMsg(413, "Character weight \"%s\" is not valid.", token);
            form = 1;
        }
    }
    int result;
    if (form == 1) {
        result = readWtsVector(wts, d, r.notokens);
    } else {
        if (r.wtset)
            std::fill_n(wts, d->nchar, 1.0);
        result = readWtsStandard(wts, d);
    }
    if (result != 0 && gAborted_.load())
        return 2;
    return result != 0 ? 1 : 0;
}

// ---- Type reading -----------------------------------------------------------

int setTypesOfList(const Set *list, uint32_t code, UserType *ut, DataInfo *d, Nexset *typeset)
{
    for (uint32_t c = firstOneBit(list->words, list->nwords); c != kSetEnd; c = followingSetMember(list, c))
        if (!isEliminated(d, c) && set1CharType(c, code, ut, d, typeset) != 0)
            return 1;
    return 0;
}

// ---- Summary counts ---------------------------------------------------------

struct TypeRow {
    const char *name;
    uint32_t code;
};
constexpr TypeRow kSummaryTypes[] = {
    {"'ord' (Wagner)", kCharOrdered},
    {"'unord'", kCharUnordered},
    {"'Dollo.up'", kCharDollo},
    {"'Dollo.dn'", kCharDollo | kCharDownVariant},
    {"'irrev.up'", kCharIrreversible},
    {"'irrev.dn'", kCharIrreversible | kCharDownVariant},
};

struct StatusCounts {
    uint32_t excluded = 0, included = 0, constant = 0, undetermined = 0, uninformative = 0, informative = 0;
    uint32_t perType[std::size(kSummaryTypes)] = {};
    uint32_t weight1 = 0, otherWeight = 0;
    double distinct[5] = {};
    uint32_t distinctCount[5] = {};
    uint32_t nDistinct = 0;
    bool tooMany = false;
};

// The weighted share of constant characters among the included ones that
// hold data, as the data show it: the Mkv model's patterns hold variable
// characters alone, so their own proportion would be 0 whatever the data.
double observedConstantProportion(const DataInfo *d)
{
    double constant = 0.0, total = 0.0;
    for (uint32_t c = 0; c < d->nchar; ++c) {
        if ((d->status[c] & (kCharExcluded | kCharEliminated)) || (d->obsCount && d->obsCount[c] == 0))
            continue;
        const double w = d->weights ? d->weights[c] : 1.0;
        total += w;
        if (d->status[c] & kCharConstant)
            constant += w;
    }
    return total > 0 ? constant / total : 0.0;
}

StatusCounts countStatus(uint32_t mode, const DataInfo *d)
{
    StatusCounts n;
    const bool typesOrPars = mode & (kSummaryTypesChanged | kSummaryParsimony);
    for (UserType *ut = gFirstUsertype; ut; ut = ut->next)
        ut->useCount = 0;
    for (uint32_t c = 0; c < d->nchar; ++c) {
        const uint32_t st = d->status[c];
        if (st & kCharEliminated)
            continue;
        if (st & kCharExcluded) {
            ++n.excluded;
            continue;
        }
        ++n.included;
        if (typesOrPars) {
            if (st & kCharConstant)
                ++n.constant;
            else if (!d->dataInitialized || (st & kCharInformativenessUnknown))
                ++n.undetermined;
            else if (st & kCharUninformative)
                ++n.uninformative;
            else
                ++n.informative;
            UserType *userType = d->userTypes ? d->userTypes[c] : nullptr;
            if (userType)
                ++userType->useCount;
            const uint32_t code = st & (kCharTypeMask | kCharDownVariant);
            for (size_t t = 0; t < std::size(kSummaryTypes) && !userType; ++t)
                if (code == kSummaryTypes[t].code)
                    ++n.perType[t];
        }
        const double w = d->weights ? d->weights[c] : 1.0;
        if (w == 1.0) {
            ++n.weight1;
            continue;
        }
        ++n.otherWeight;
        uint32_t k = 0;
        while (k < n.nDistinct && n.distinct[k] != w)
            ++k;
        if (k < n.nDistinct) {
            ++n.distinctCount[k];
        } else if (n.nDistinct < 5) {
            n.distinct[n.nDistinct] = w;
            n.distinctCount[n.nDistinct++] = 1;
        } else {
            n.tooMany = true;
        }
    }
    return n;
}

void showWtStatus(const StatusCounts &n, PrintHook emit)
{
    if (n.otherWeight == 0) {
        emit("All characters have equal weight\n");
        return;
    }
    if (n.weight1)
        emit("%u %s weight 1\n", n.weight1, charsHasHave(n.weight1));
    if (n.tooMany) {
        emit("%u %s weights other than 1\n", n.otherWeight, charsHasHave(n.otherWeight));
        return;
    }
    char text[64];
    for (uint32_t k = 0; k < n.nDistinct; ++k)
        emit("%u %s weight %s\n", n.distinctCount[k], charsHasHave(n.distinctCount[k]),
             formatCharWt(text, sizeof text, n.distinct[k]));
}

void showParsimonySection(const StatusCounts &n, PrintHook emit)
{
    const char *variable = n.constant ? "variable " : "";
    int extraIndent = 0;
    if (n.constant)
        emit("%u %s constant\n", n.constant, charsIsAre(n.constant));
    const bool rest = n.informative || n.uninformative;
    if (n.undetermined) {
        emit("Informativeness of %u %s%s could not be determined\n", n.undetermined, variable,
             charWord(n.undetermined));
        if (rest) {
            emit("Of the remainder...\n");
            indentOutput(2);
            extraIndent = 2;
        }
    }
    if (rest) {
        if (n.uninformative == 0)
            emit("All %scharacters are parsimony-informative\n", variable);
        else
            emit("%u %s%s parsimony-uninformative\n", n.uninformative, variable, charsIsAre(n.uninformative));
    }
    if (n.constant || n.uninformative)
        emit("Nu\bmber of %sparsimony-informative characters = %u%s\n", n.excluded ? "(included) " : "",
             n.informative, n.undetermined ? " (or more)" : "");
    indentOutput(-extraIndent);
}

int cstatusOutputProc(void *)
{
    DataInfo *d = activeDataInfo();
    showCStatusSummary(cstatusModeForCriterion(dataServices().criterion()), d, qel_printf);
    if (!cstOpt.full)
        return 0;
    qel_printf("\nCurrent status of all characters:\n\n");
    qel_printf("Character        Type         Status      Weight   States\n\n");
    char label[17], type[32], weight[64], text[64];
    for (uint32_t c = 0; c < d->nchar && !gAborted_.load(); ++c) {
        const uint32_t st = d->status[c];
        if ((st & kCharEliminated) || ((st & kCharExcluded) && cstOpt.excluded))
            continue;
        charLabelOut(d, c, label);
        if (st & kCharConstant)
            std::strcpy(type, "-");
        else
            std::snprintf(type, 10, "%s", getCharTypeString(d, c, text, sizeof text));
        char status[5] = "-   ";
        if (st & kCharConstant) {
            status[0] = 'U';
            status[1] = 'C';
        } else if (!d->dataInitialized || (st & kCharInformativenessUnknown)) {
            status[0] = '?';
        } else if (st & kCharUninformative) {
            status[0] = 'U';
        }
        if (st & kCharExcluded)
            status[2] = 'X';
        formatCharWt(text, sizeof text, d->weights[c]);
        std::snprintf(weight, sizeof weight, (st & kCharExcluded) ? "(%s)" : "%s ", text);
        const char *states = d->obsSymbols && d->obsSymbols[c] ? d->obsSymbols[c] : "";
        qel_printf("%-16s %-13s  %s%12s   \b%s\n", label, type, status, weight, states);
    }
    if (d->nEliminated)
        qel_printf("\nStatus of %u eliminated (zapped) characters not shown above\n", d->nEliminated);
    return 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// Types

int getCharTypeFromString(const char *name, UserType **userType)
{
    if (userType)
        *userType = nullptr;
    if (UserType *ut = findUsertype(name)) {
        if (userType)
            *userType = ut;
        return static_cast<int>(ut->tree ? kCharOrdered : kCharUserType);
    }
    for (const StdType &t : stdTypes)
        if (stricmp(name, t.name) == 0)
            return static_cast<int>(t.code);
    qel_errorMsg(414,
                 "Character type \"%s\" is unrecognized.\tMake sure that the character type is one of the "
                 "predefined types or has been defined as a user-type",
                 name);
    return -1;
}

int set1CharType(uint32_t c, uint32_t code, UserType *userType, DataInfo *d, Nexset *typeset)
{
    if (userType && checkUsertypeCompat(c, userType, d, false) != 0)
        return 1;
    if (typeset) {
        setTypesetType(typeset, c, code, userType);
        return 0;
    }
    const bool stateTree = userType && (code & kCharTypeMask) == kCharOrdered;
    uint32_t &st = d->status[c];
    // Refused before anything changes, so the character keeps a whole type.
    if (stateTree && (st & kCharHasCombination)) {
        char buffer[16];
        return qel_errorMsg(417, "Multistate taxa are not permitted with character-state trees (character %s).",
                            charName(d, c, buffer, sizeof buffer));
    }
    if (d->userTypes)
        d->userTypes[c] = userType;
    st = (st & ~0x7Fu) | (code & (kCharTypeMask | kCharDownVariant)) | (stateTree ? kCharStateTree : 0);
    d->statusUpToDate = 0;
    const DataServices &s = dataServices();
    s.setNeedParsPrep(3);
    // Total and mean character differences count steps by character type.
    if (s.isStdDistance(d))
        s.invalidateDistances();
    return 0;
}

int setCharTypes(Nexset *typeset, DataInfo *d, bool vector)
{
    if (!d->dataInitialized && initializeDataInfo(d) != 0)
        return 1;
    if (!typeset)
        gNexsets.curTypeset = nullptr;
    char token[kMaxLabelLength + 1];
    UserType *ut = nullptr;
    if (vector) {
        for (uint32_t c = 0; c < d->nchar; ++c) {
            if (peekNextChar(nullptr) == ';')
                break;
            if (readWordToken(token, sizeof token, false) != 0)
                return 1;
            int code = getCharTypeFromString(token, &ut);
            if (code < 0 || (!isEliminated(d, c) && set1CharType(c, static_cast<uint32_t>(code), ut, d, typeset) != 0))
                return 1;
        }
        return readSemicolon();
    }
    SetHandle list = newCharSet(d, false), remaining = newCharSet(d, true);
    if (!list || !remaining)
        return 1;
    for (;;) {
        if (peekNextChar(nullptr) == ';') {
            readNextDarkChar(nullptr);
            return 0;
        }
        if (readWordToken(token, sizeof token, false) != 0)
            return qel_errorMsg(0, "Unexpected end of input.");
        int code = getCharTypeFromString(token, &ut);
        if (code < 0 || expectColon() != 0 || readCharList(d, nullptr, list.get(), remaining.get(), false, nullptr) != 0)
            return 1;
        if (setTypesOfList(list.get(), static_cast<uint32_t>(code), ut, d, typeset) != 0)
            return 1;
        int sep = readItemSeparator();
        if (sep == -1)
            return 0;
        if (sep != 0)
            return 1;
    }
}

int setDefltCharType(Nexset *typeset, DataInfo *d, const char *typeName)
{
    UserType *ut = nullptr;
    const int code = getCharTypeFromString(typeName, &ut);
    if (code < 0)
        return 1;
    for (uint32_t c = 0; c < d->nchar; ++c)
        if (set1CharType(c, static_cast<uint32_t>(code), ut, d, typeset) != 0)
            return 1;
    return 0;
}

const char *getCharTypeString(const DataInfo *d, uint32_t c, char *buffer, size_t size)
{
    const uint32_t st = d->status[c];
    const uint32_t code = st & kCharTypeMask;
    const bool down = st & kCharDownVariant;
    const uint8_t *anc = dataServices().currentAncestralStates(d);
    const bool ancMissing = !anc || anc[c] >= d->nstates;
    const UserType *ut = d->userTypes ? d->userTypes[c] : nullptr;
    const char *base = nullptr;
    switch (code) {
    case kCharOrdered: base = ut ? ut->name : "Ord"; break;
    case kCharUserType: base = ut ? ut->name : ""; break;
    case kCharUnordered: base = "Unord"; break;
    case kCharDollo: base = "Dollo"; break;
    case kCharIrreversible: base = "Irrev"; break;
    default: base = ""; break;
    }
    if (code == kCharDollo || code == kCharIrreversible)
        std::snprintf(buffer, size, "%s%s", base, ancMissing ? (down ? ".Dn" : ".Up") : (down ? "(Dn)" : "(Up)"));
    else
        std::snprintf(buffer, size, "%s", base);
    return buffer;
}

int checkAllStmCompat(DataInfo *d, bool gapModeChange)
{
    const Set *allMissing = getNexsetSet(&gNexsets.builtins[kBuiltinAllMissing]);
    for (uint32_t c = 0; c < d->nchar; ++c) {
        const UserType *ut = d->userTypes ? d->userTypes[c] : nullptr;
        if (!ut || isEliminated(d, c) || (d->status[c] & kCharTypeMask) != kCharUserType)
            continue;
        if (allMissing && c < allMissing->capacity && isSetMember(allMissing, c))
            continue;
        if (checkUsertypeCompat(c, ut, d, gapModeChange) != 0)
            return 1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Weights

int setCharWts(Nexset *wtset, DataInfo *d, int form, bool notokens)
{
    if (!wtset && saveWeights(d) != 0)
        return 1;
    WtsRequest request{wtset, d, form, notokens};
    const int result = runSecondaryThread(charWtsThreadProc, &request);
    if (wtset)
        return result;
    if (result != 0)
        restoreWeights(d);
    deallocSavedWeights(d);
    afterWtsChange(result == 0 ? nullptr : gNexsets.curWtset, d);
    return result;
}

void afterWtsChange(Nexset *wtset, DataInfo *d)
{
    double largest = 0.0;
    for (uint32_t c = 0; c < d->nchar; ++c)
        if (!(d->status[c] & (kCharExcluded | kCharEliminated | kCharConstant)))
            largest = std::max(largest, d->weights[c]);
    charWts.maxWt = largest;
    gNexsets.curWtset = wtset;
    invalidateSitePatternData(false);
    charWts.patWtsInvalid = 1;
    dataServices().setNeedParsPrep(1);
}

int saveWeights(DataInfo *d)
{
    deallocSavedWeights(d);
    d->savedWeights = allocArrayOf<double>(std::max<uint32_t>(d->nchar, 1));
    if (!d->savedWeights)
        return 1;
    std::copy_n(d->weights, d->nchar, d->savedWeights);
    charWts.prevWtset = gNexsets.curWtset;
    return 0;
}

void restoreWeights(DataInfo *d)
{
    if (!d->savedWeights)
        return;
    std::copy_n(d->savedWeights, d->nchar, d->weights);
    gNexsets.curWtset = charWts.prevWtset;
    afterWtsChange(charWts.prevWtset, d);
}

void deallocSavedWeights(DataInfo *d) { d->savedWeights = static_cast<double *>(deallocArray(d->savedWeights)); }

bool arePatternWeightsValid() { return !charWts.patWtsInvalid; }

char *formatCharWt(char *buffer, size_t size, double weight)
{
    // The fewest decimals (at most 5) that still show the weight exactly.
    int decimals = 0;
    while (decimals < 5) {
        const double scale = std::pow(10.0, decimals);
        if (std::fabs(std::round(weight * scale) - weight * scale) < 1e-6)
            break;
        ++decimals;
    }
    std::snprintf(buffer, size, "%.*f", decimals, weight);
    return buffer;
}

double calcScaledWt(double base, uint32_t nstates)
{
    const int k = static_cast<int>(nstates) - 1;
    if (base == 1.0)
        return k < 1 ? 0.0 : 1.0 / k;
    return k <= 0 ? 0.0 : std::floor(base / k + 0.5);
}

void setWtFlags(uint32_t, DataInfo *d)
{
    charWts.notOne = charWts.notWhole = 0;
    charWts.decimals = 0;
    for (uint32_t c = 0; c < d->nchar && d->weights; ++c) {
        const double w = d->weights[c];
        if (w == 1.0)
            continue;
        charWts.notOne = 1;
        if (w == std::floor(w))
            continue;
        charWts.notWhole = 1;
        char text[400];
        std::snprintf(text, sizeof text, "%.*f", 9, w);
        const char *point = std::strchr(text, '.');
        int places = 0;
        if (point) {
            int len = static_cast<int>(std::strlen(point + 1));
            while (len > 0 && point[len] == '0')
                --len;
            places = len;
        }
        charWts.decimals = std::max(charWts.decimals, places ? places : 8);
    }
    charWts.patWtsInvalid = 0;
}

// ---------------------------------------------------------------------------
// Inclusion

int doExcludeIncludeCmd(bool exclude)
{
    DataInfo *d = activeDataInfo();
    if (!d || !d->status)
        return 1;
    if (int r = prepareForStatus(); r != 0)
        return r;
    SetHandle list = newCharSet(d, false);
    SetHandle before(createExcludedCharsetCopy(d));
    if (!list || !before)
        return 1;
    if (readCharList(d, nullptr, list.get(), nullptr, false, nullptr) != 0)
        return 1;
    gOnly = 0;
    if (getCmdParams(OptionSet::kIncludeExclude, ";", nullptr) <= 0)
        return 1;
    return excludeOrIncludeCharacters(d, exclude, list.get(), before.get(), gOnly != 0, true);
}

int excludeOrIncludeCharacters(DataInfo *d, bool exclude, const Set *list, const Set *before, bool only,
                               bool report)
{
    for (uint32_t c = 0; c < d->nchar; ++c) {
        if (isEliminated(d, c))
            continue;
        const bool listed = isSetMember(list, c);
        if (!listed && !only)
            continue;
        if (listed == exclude)
            d->status[c] |= kCharExcluded;
        else
            d->status[c] &= ~kCharExcluded;
    }
    updateExcludedSet(d);
    if (report)
        finishCharMove(before, d, exclude, !exclude, only);
    else if (before && d->baseExcluded && !areSetsEqual(before, d->baseExcluded))
        afterCharInclusionChange(d);
    return 0;
}

int excludeCharacters(const Set *list, const Set *before, DataInfo *d)
{
    return excludeOrIncludeCharacters(d, true, list, before, false, false);
}

void finishCharMove(const Set *before, DataInfo *d, bool exclude, bool include, bool only)
{
    uint32_t left = 0, entered = 0, total = 0;
    // Leaving the excluded set is re-inclusion; entering it is exclusion.
    if (before && d->baseExcluded)
        countMovedItems(before, d->baseExcluded, &left, &entered, &total);
    const uint32_t nowExcluded = d->baseExcluded ? card(d->baseExcluded) : 0;
    const uint32_t excludedOnly = nowExcluded - std::min(nowExcluded, d->nEliminated);
    qel_printf("\nCharacter-exclusion status changed:\n");
    indentOutput(2);
    if (entered || exclude)
        qel_printf("%u %s excluded\n", entered, charWord(entered));
    if (left || (include && !only))
        qel_printf("%u %s re-included\n", left, charWord(left));
    qel_printf("Total number of characters now excluded = %u\n", excludedOnly);
    if (d->nEliminated)
        qel_printf("Number of characters hidden by Eliminate (or Zap) command = %u\n", d->nEliminated);
    qel_printf("Number of included characters = %u\n", d->nchar - nowExcluded);
    indentOutput(-2);
    if (left || entered)
        afterCharInclusionChange(d);
}

void afterCharInclusionChange(DataInfo *d)
{
    forceCharInitialization(d);
    initCharInclusionFlags(d);
    gNexsets.curExset = nullptr;
}

void excludeCharactersInRange(DataInfo *d, uint32_t first, uint32_t last)
{
    if (last == kSetEnd || last >= d->nchar)
        last = d->nchar ? d->nchar - 1 : 0;
    for (uint32_t c = first; c <= last && c < d->nchar; ++c)
        d->status[c] |= kCharExcluded;
}

uint32_t includeCharsInPtnSubset(const SetPtn *ptn, DataInfo *d, const Set *skip, uint32_t i)
{
    const Set *s = getPtnSubset(ptn, i);
    uint32_t n = 0;
    for (uint32_t c = s ? firstOneBit(s->words, s->nwords) : kSetEnd; c != kSetEnd; c = followingSetMember(s, c)) {
        if (c >= d->nchar || (skip && isSetMember(skip, c)))
            continue;
        d->status[c] &= ~kCharExcluded;
        ++n;
    }
    return n;
}

uint32_t includeCharSubsetOnly(DataInfo *d, const SetPtn *ptn, uint32_t i, const Set *saved)
{
    if (i == kSetEnd) {
        restoreExclusionStatus(saved, d);
        uint32_t n = 0;
        for (uint32_t c = 0; c < d->nchar; ++c)
            n += !isExcluded(d, c);
        return n;
    }
    for (uint32_t c = 0; c < d->nchar; ++c)
        d->status[c] |= kCharExcluded;
    return includeCharsInPtnSubset(ptn, d, saved, i);
}

uint32_t countIncludedCharsInSubset(const Set *set, const DataInfo *d)
{
    uint32_t n = 0;
    for (uint32_t c = set ? firstOneBit(set->words, set->nwords) : kSetEnd; c != kSetEnd; c = followingSetMember(set, c))
        n += c < d->nchar && !isExcluded(d, c);
    return n;
}

uint32_t countIncludedCharsInPtnSubset(const SetPtn *ptn, const DataInfo *d, uint32_t i)
{
    return countIncludedCharsInSubset(getPtnSubset(ptn, i), d);
}

uint32_t countIncludedCharsInPtn(const SetPtn *ptn, const DataInfo *d, uint32_t *nonEmpty)
{
    uint32_t total = 0, filled = 0;
    for (uint32_t i = 0; ptn && i < numPtnSubsets(ptn); ++i) {
        const uint32_t n = countIncludedCharsInPtnSubset(ptn, d, i);
        total += n;
        filled += n != 0;
    }
    if (nonEmpty)
        *nonEmpty = filled;
    return total;
}

uint32_t nextAllNucChar(uint32_t c, const DataInfo *d)
{
    for (++c; c < d->nchar; ++c)
        if (!isExcluded(d, c) && (d->status[c] & kCharNucleotide))
            return c;
    return d->nchar;
}

uint32_t firstAllNucChar(const DataInfo *d) { return nextAllNucChar(static_cast<uint32_t>(-1), d); }

Set *createExcludedCharsetCopy(const DataInfo *d)
{
    Set *s = allocSet(std::max<uint32_t>(d->nchar, 1));
    if (s)
        initializeCharSetFromFlags(s, d, kCharExcluded | kCharEliminated);
    return s;
}

void initializeCharSetFromFlags(Set *set, const DataInfo *d, uint32_t mask)
{
    clearSet(set);
    for (uint32_t c = 0; c < d->nchar; ++c)
        if (d->status[c] & mask)
            addSetMember(set, c);
}

void updateExcludedSet(DataInfo *d)
{
    if (d->baseExcluded)
        initializeCharSetFromFlags(d->baseExcluded, d, kCharExcluded | kCharEliminated);
}

int requireCharData(const DataInfo *d)
{
    if (!d || !(d->flags & kHaveCharacters) || d->nchar == 0)
        return qel_errorMsg(0, "No character-data are currently available.\tThe requested operation requires "
                               "character data, but no data matrix has been stored.");
    for (uint32_t c = 0; c < d->nchar; ++c)
        if (!isExcluded(d, c))
            return 0;
    return qel_errorMsg(435, "No character-data are available for the current analysis.\tApparently, you have "
                             "excluded all characters, intentionally or otherwise.");
}

const char *charsIsAre(uint32_t n) { return n == 1 ? "character is" : "characters are"; }

const char *charsIsAreAll(uint32_t n, uint32_t total, char *buffer, size_t size)
{
    if (n == total)
        std::snprintf(buffer, size, "All characters are");
    else
        std::snprintf(buffer, size, "%u %s", n, charsIsAre(n));
    return buffer;
}

uint32_t countMissingStates(const DataInfo *d, uint32_t taxon, const Set *set)
{
    const bool gapIsMissing = dataServices().gapMode() == kGapModeMissing;
    uint32_t n = 0;
    for (uint32_t c = set ? firstOneBit(set->words, set->nwords) : kSetEnd; c != kSetEnd; c = followingSetMember(set, c)) {
        if (c >= d->nchar || isExcluded(d, c))
            continue;
        const auto t = static_cast<int32_t>(taxon);
        n += isMissing(t, c, d) || (gapIsMissing && isGap(t, c, d));
    }
    return n;
}

// ---------------------------------------------------------------------------
// Assumptions

int applyTypeset(Nexset *typeset, DataInfo *d, bool report)
{
    // A character-state tree refuses characters with combination cells,
    // which only the character information knows.
    if (!d->dataInitialized && initializeDataInfo(d) != 0)
        return 1;
    const Nexset *allUnord = &gNexsets.builtins[kBuiltinAllUnord];
    const Nexset *allOrd = &gNexsets.builtins[kBuiltinAllOrd];
    for (uint32_t c = 0; c < d->nchar; ++c) {
        UserType *ut = nullptr;
        uint32_t code = typeset == allUnord ? kCharUnordered
                        : typeset == allOrd ? kCharOrdered
                                            : getTypesetType(typeset, c, &ut);
        if (set1CharType(c, code, ut, d, nullptr) != 0)
            return 1;
    }
    if (report)
        showCStatusSummary(kSummaryTypesChanged, d, qel_printf);
    gNexsets.curTypeset = typeset;
    return 0;
}

int applyWtset(Nexset *wtset, DataInfo *d, bool report)
{
    if (!wtset) {
        gNexsets.curWtset = nullptr;
        return 0;
    }
    if (wtset == &gNexsets.builtins[kBuiltinEqualWts]) {
        std::fill_n(d->weights, d->nchar, 1.0);
    } else {
        const double *w = getWtsetArray(wtset);
        if (!w)
            return 1;
        std::copy_n(w, d->nchar, d->weights);
    }
    afterWtsChange(wtset, d);
    if (report)
        showCStatusSummary(kSummaryWeightsChanged, d, qel_printf);
    return 0;
}

int applyExset(Nexset *exset, DataInfo *d)
{
    SetHandle before(createExcludedCharsetCopy(d));
    if (!before)
        return 1;
    const bool allIncl = exset == &gNexsets.builtins[kBuiltinAllIncl];
    const bool infOnly = exset == &gNexsets.builtins[kBuiltinInfOnly];
    if (infOnly && prepareForStatus() != 0)
        return 1;
    const Set *members = allIncl || infOnly ? nullptr : getNexsetSet(exset);
    for (uint32_t c = 0; c < d->nchar; ++c) {
        if (isEliminated(d, c))
            continue;
        bool excl = infOnly ? (d->status[c] & kCharUninformative) != 0 : !allIncl && isSetMember(members, c);
        if (excl)
            d->status[c] |= kCharExcluded;
        else
            d->status[c] &= ~kCharExcluded;
    }
    updateExcludedSet(d);
    finishCharMove(before.get(), d, false, false, false);
    gNexsets.curExset = exset;
    return 0;
}

// ---------------------------------------------------------------------------
// Status listing

uint32_t cstatusModeForCriterion(int criterion)
{
    if (criterion == kCriterionLikelihood)
        return kSummaryFull | kSummaryLikelihood;
    if (criterion == kCriterionDistance)
        return kSummaryFull | kSummaryDistance;
    return kSummaryFull | kSummaryParsimony;
}

void showCStatusSummary(uint32_t mode, DataInfo *d, PrintHook emit)
{
    if (!arePatternWeightsValid())
        setWtFlags(static_cast<uint32_t>(dataServices().criterion()), d);
    const StatusCounts n = countStatus(mode, d);
    const bool full = mode & kSummaryFull, types = mode & kSummaryTypesChanged,
               wtsChanged = mode & kSummaryWeightsChanged, pars = mode & kSummaryParsimony,
               lik = mode & kSummaryLikelihood;
    if (full || types || wtsChanged)
        emit("\n");
    if (!full && !pars) {
        if (types)
            emit("Character types changed:\n");
        else if (wtsChanged)
            emit("Character weights changed:\n");
    } else {
        emit("Character-status summary:\n");
        if (full)
            emit("  Current optimality criterion = \b%s\n", currentCriterionName().c_str());
    }
    const int indent = (full || types || wtsChanged || pars) ? 2 : 0;
    indentOutput(indent);
    if (d->nEliminated)
        emit("%u %s eliminated (zapped)\n", d->nEliminated, charsIsAre(d->nEliminated));
    if (n.excluded)
        emit("%u %s excluded\n", n.excluded, charsIsAre(n.excluded));
    else if (full)
        emit("No %scharacters are excluded\n", d->nEliminated ? "additional " : "");
    if (!types && !pars) {
        emit("%u %s included\n", n.included, charsIsAre(n.included));
    } else {
        bool heading = true;
        if (!n.excluded && !d->nEliminated)
            emit("Of %u total characters:\n", n.included);
        else if (n.included)
            emit("Of the remaining %u included characters:\n", n.included);
        else
            heading = false;
        if (heading) {
            indentOutput(2);
            char text[64];
            for (size_t t = 0; t < std::size(kSummaryTypes); ++t)
                if (n.perType[t])
                    emit("%s of type %s\n", charsIsAreAll(n.perType[t], n.included, text, sizeof text),
                         kSummaryTypes[t].name);
            for (const UserType *ut = gFirstUsertype; ut; ut = ut->next)
                if (ut->useCount)
                    emit("%s of user-defined type \"%s\"\n",
                         charsIsAreAll(ut->useCount, n.included, text, sizeof text), ut->name);
            indentOutput(-2);
        }
    }
    if (wtsChanged || pars)
        showWtStatus(n, emit);
    // The likelihood section reads the default group's site patterns, when
    // they have been built for the current data.
    const ModelGroup *g = lik ? activeModelGroup() : nullptr;
    const bool patterns = g != nullptr && g->patterns != nullptr && isSitePatternDataValid(g);
    if (!pars) {
        if (lik) {
            if (n.otherWeight) {
                emit("Character weights in effect:\n");
                indentOutput(2);
                showWtStatus(n, emit);
                indentOutput(-2);
            }
            if (full && patterns)
                emit("Observed proportion of constant sites = %g\n",
                     g->useMkv ? observedConstantProportion(d) : g->patterns->propConstant);
        } else if (full) {
            emit("Total number of included characters = %u\n", n.included);
            showWtStatus(n, emit);
        }
    } else {
        showParsimonySection(n, emit);
    }
    indentOutput(-indent);
    const uint32_t stops = patterns ? g->patterns->stopCells : 0;
    if (patterns && (nNonModelCharsIncluded || nAllMissingIncluded || stops)) {
        emit("\n");
        if (nNonModelCharsIncluded)
            emit("NOTE: %u included non-%s %s ignored in likelihood analyses.\n", nNonModelCharsIncluded,
                 g->dataType == kModelAminoAcid ? "amino-acid" : "nucleotide",
                 nNonModelCharsIncluded == 1 ? "character" : "characters");
        if (nAllMissingIncluded)
            emit("NOTE: %u all-missing %s ignored in likelihood analyses.\n", nAllMissingIncluded,
                 nAllMissingIncluded == 1 ? "character" : "characters");
        if (stops)
            emit("NOTE: %u stop-codon code%s converted to \"missing\" for likelihood analyses.\n", stops,
                 stops == 1 ? "" : "s");
        emit("\n");
    }
}

// ---------------------------------------------------------------------------
// Command handlers

int doCTypeCmd()
{
    DataInfo *d = activeDataInfo();
    return d ? setCharTypes(nullptr, d, false) : 1;
}

int doWeightsCmd()
{
    DataInfo *d = activeDataInfo();
    return d ? setCharWts(nullptr, d, -1, false) : 1;
}

int doIncludeCmd() { return doExcludeIncludeCmd(false); }
int doExcludeCmd() { return doExcludeIncludeCmd(true); }

int doCStatusCmd()
{
    DataInfo *d = activeDataInfo();
    if (!d)
        return 1;
    if (int r = prepareForStatus(); r != 0)
        return r;
    if (setCmdParamVals(OptionSet::kCStatus) != 0)
        return 1;
    return runOutputThread(cstatusOutputProc, nullptr);
}

// ---------------------------------------------------------------------------
// Assume

namespace {

// A set named by an Assume option, searched from the list's built-ins on.
int findAssumedSet(const char *tag, Nexset *first, const char *label, Nexset **found)
{
    *found = findMatchingNexset(tag, first);
    if (!*found)
        return qel_errorMsg(406, "%s name \"%s\" is unrecognized.", label, tag);
    return 0;
}

}  // namespace

int doAssumeCmd()
{
    DataInfo *d = activeDataInfo();
    if (!d || !d->status)
        return 1;
    typesetTag[0] = wtsetTag[0] = exsetTag[0] = '\0';
    if (setCmdParamVals(OptionSet::kAssume) != 0)
        return 1;
    Nexset *ns = nullptr;
    if (typesetTag[0] &&
        (findAssumedSet(typesetTag, gNexsets.typesets, "Type-set", &ns) != 0 || applyTypeset(ns, d, true) != 0))
        return 1;
    if (wtsetTag[0] &&
        (findAssumedSet(wtsetTag, gNexsets.wtsets, "Weight-set", &ns) != 0 || applyWtset(ns, d, true) != 0))
        return 1;
    if (exsetTag[0] &&
        (findAssumedSet(exsetTag, gNexsets.exsets, "Exclusion-set", &ns) != 0 || applyExset(ns, d) != 0))
        return 1;
    return 0;
}

// ---------------------------------------------------------------------------
// MissData

namespace {

uint32_t decimalDigits(uint32_t n)
{
    uint32_t digits = 1;
    for (; n >= 10; n /= 10)
        ++digits;
    return digits;
}

// Missing cells per subset and active taxon over the included characters.
struct MissCounts {
    uint32_t nsub = 0, ntax = 0;
    std::vector<uint32_t> missing;   // subset-major
    std::vector<uint32_t> included;  // included characters per subset

    uint32_t at(uint32_t i, uint32_t t) const { return missing[size_t{i} * ntax + t]; }
    // The taxon's non-missing share over the subset reaches the threshold
    // (percent). With no included character nothing is missing.
    bool meets(uint32_t i, uint32_t t, double threshold) const
    {
        const uint32_t n = included[i];
        return n == 0 || 100.0 * (n - at(i, t)) >= threshold * n;
    }
};

void showTaxonMissingSummary(const DataInfo *d, uint32_t ntax)
{
    uint32_t labelWidth = 8;
    for (uint32_t t = 0; t < ntax; ++t)
        labelWidth = std::max(labelWidth, static_cast<uint32_t>(std::strlen(getTaxLabel(d, t))));
    const int numWidth = static_cast<int>(std::max<uint32_t>(9, decimalDigits(d->nchar)) + 2);
    qel_printf("\nMissing data summary:\n\n");
    qel_printf("%-*s  %*s%13s\n", static_cast<int>(labelWidth), "Taxon", numWidth, "# Missing", "% Missing");
    tableLine(kUnderlineLastLine, 0);
    // An eliminated character has no cells (the matrix never stored them),
    // so it counts neither as missing nor in the share's base.
    const uint32_t nchar = d->nchar - d->nEliminated;
    for (uint32_t t = 0; t < ntax && !gAborted_.load(); ++t) {
        uint32_t n = 0;
        for (uint32_t c = 0; c < d->nchar; ++c)
            n += !isEliminated(d, c) && isMissingOrGapMiss(static_cast<int32_t>(t), c, d);
        qel_printf("%-*s  %*u%13.3f\n", static_cast<int>(labelWidth), getTaxLabel(d, t), numWidth, n,
                   nchar ? 100.0 * n / nchar : 0.0);
    }
}

// The subset-by-taxon tables of the full report, in pages of taxon columns.
void showSubsetTables(const DataInfo *d, const SetPtn *ptn, const char *ptnName, const MissCounts &m,
                      uint32_t nameWidth)
{
    uint32_t largest = 0;
    for (uint32_t v : m.missing)
        largest = std::max(largest, v);
    char title[2 * kNexsetNameSize + 128];
    for (int table = 0; table < 2; ++table) {
        const uint32_t colWidth = table == 0 ? decimalDigits(largest) + 1 : 2;
        if (table == 0)
            std::snprintf(title, sizeof title, "Missing data counts for character partition '%s'", ptnName);
        else
            std::snprintf(title, sizeof title,
                          "Subsets for which percentage of non-missing entries is at least %g%% (partition '%s')",
                          missdOpt.threshold, ptnName);
        const ItemColumns columns{.taxa = true, .title = title, .rowHeading = "Subset", .rowWidth = nameWidth,
                                  .colWidth = colWidth};
        std::vector<uint32_t> page;
        for (uint32_t first = 0; first != kNoMoreItems && !gAborted_.load();) {
            const uint32_t next = charTaxHeader(d, columns, first, first > 0, page);
            for (uint32_t i = 0; i < m.nsub; ++i) {
                qel_printf("%-*s ", static_cast<int>(nameWidth), getPtnSubsetName(ptn, i));
                for (uint32_t t : page) {
                    if (table == 0)
                        qel_printf("%*u", static_cast<int>(colWidth), m.at(i, t));
                    else
                        qel_printf("%*c", static_cast<int>(colWidth), m.meets(i, t, missdOpt.threshold) ? '*' : ' ');
                }
                qel_printf("\n");
            }
            first = next;
        }
    }
}

int missDataProc(void *)
{
    DataInfo *d = activeDataInfo();
    const auto ntax = static_cast<uint32_t>(std::max(d->nActive, 0));
    const bool full = missdOpt.output == 0;
    if (full)
        showTaxonMissingSummary(d, ntax);
    const Nexset *pns = missdOpt.partition;
    const SetPtn *ptn = pns ? getNexPtn(pns) : nullptr;
    if (!ptn)
        return gAborted_.load() ? 2 : 0;

    MissCounts m;
    m.nsub = numPtnSubsets(ptn);
    m.ntax = ntax;
    SetHandle incomplete = newCharSet(d, false);
    try {
        m.missing.assign(size_t{m.nsub} * ntax, 0);
        m.included.assign(m.nsub, 0);
    } catch (const std::bad_alloc &) {
        reportMemoryFailure();
        return 1;
    }
    if (!incomplete)
        return 1;
    for (uint32_t i = 0; i < m.nsub; ++i) {
        const Set *s = getPtnSubset(ptn, i);
        m.included[i] = countIncludedCharsInSubset(s, d);
        for (uint32_t t = 0; t < ntax; ++t)
            m.missing[size_t{i} * ntax + t] = countMissingStates(d, t, s);
    }
    const uint32_t nameWidth = std::max<uint32_t>(6, maxPtnSubsetNameLen(ptn, false));
    const char *ptnName = getNexsetName(pns);
    if (full)
        showSubsetTables(d, ptn, ptnName, m, nameWidth);
    if (gAborted_.load())
        return 2;

    const double threshold = missdOpt.threshold;
    qel_printf("\nCounts of taxa meeting non-missing threshold (%g%%) for subsets of partition '%s':\n\n", threshold,
               ptnName);
    qel_printf("%*s%*s%*s Complete?\n", static_cast<int>(nameWidth + 1), "subset", 10, "# Taxa", 10, "% Taxa");
    tableLine(kUnderlineLastLine, 0);
    bool anyIncomplete = false;
    for (uint32_t i = 0; i < m.nsub; ++i) {
        uint32_t meeting = 0;
        for (uint32_t t = 0; t < ntax; ++t)
            meeting += m.meets(i, t, threshold);
        const bool complete = meeting == ntax;
        if (full)
            qel_printf("%-*s%10u%10.2f %c\n", static_cast<int>(nameWidth + 1), getPtnSubsetName(ptn, i), meeting,
                       ntax ? 100.0 * meeting / ntax : 0.0, complete ? '*' : ' ');
        if (!complete) {
            anyIncomplete = true;
            setUnion(incomplete.get(), getPtnSubset(ptn, i), incomplete.get());
        }
    }
    if (!missdOpt.exclude)
        return 0;
    qel_printf("\nExcluding partition subsets that are incomplete (fail to achieve non-missing threshold of %g%% "
               "in one or more taxa)...\n\n",
               threshold);
    indentOutput(4);
    int result = 0;
    if (anyIncomplete) {
        SetHandle before(createExcludedCharsetCopy(d));
        result = before ? excludeOrIncludeCharacters(d, true, incomplete.get(), before.get(), false, true) : 1;
    } else {
        qel_printf("\nAll partition subsets reached the completeness threshold; no (additional) characters "
                   "excluded.\n");
    }
    indentOutput(-4);
    return result;
}

}  // namespace

int doMissDataCmd()
{
    DataInfo *d = activeDataInfo();
    if (!d || !d->status)
        return 1;
    if (int r = prepareForStatus(); r != 0)
        return r;
    missdOpt.partition = nullptr;
    int result = setCmdParamVals(OptionSet::kMissData);
    if (result == 0)
        result = runOutputThread(missDataProc, nullptr);
    // The partition is chosen anew by every run; a later run must not meet a
    // record that a new data set has destroyed.
    missdOpt.partition = nullptr;
    return result;
}

// ---------------------------------------------------------------------------
// Item-column pages

namespace {

bool showsItem(const DataInfo *d, const ItemColumns &columns, uint32_t item)
{
    if (columns.taxa)
        return true;
    const uint32_t st = d->status[item];
    return !(st & kCharEliminated) && (columns.withExcluded || !(st & kCharExcluded));
}

}  // namespace

uint32_t charTaxHeader(const DataInfo *d, const ItemColumns &columns, uint32_t first, bool continued,
                       std::vector<uint32_t> &items)
{
    const uint32_t end = columns.taxa ? static_cast<uint32_t>(std::max(d->nActive, 0)) : d->nchar;
    const uint32_t fit = maxOutputColumns(columns.colWidth, columns.rowWidth + 1);
    items.clear();
    uint32_t next = first;
    for (; next < end && items.size() < fit; ++next)
        if (showsItem(d, columns, next))
            items.push_back(next);
    while (next < end && !showsItem(d, columns, next))
        ++next;

    // A character without a label of its own keeps its number.
    const bool labels = columns.charLabels && !columns.taxa && d->charLabelsRead && d->charLabels;
    std::vector<std::string> numbers;
    size_t lines = 1;
    for (uint32_t item : items) {
        const char *label = labels ? getStringFromList(d->charLabels, item) : nullptr;
        numbers.push_back(label && *label ? std::string(label)
                                          : std::to_string(columns.taxa ? getTaxNum(d, item) : item + 1));
        lines = std::max(lines, numbers.back().size());
    }
    qel_printf(continued ? "\n%s (continued):\n" : "\n%s:\n", columns.title);
    for (size_t k = 0; k < lines; ++k) {
        std::string line(columns.rowWidth + 1, ' ');
        if (k + 1 == lines)
            line.replace(0, std::min<size_t>(std::strlen(columns.rowHeading), columns.rowWidth), columns.rowHeading);
        for (const std::string &number : numbers) {
            const size_t blanksAbove = lines - number.size();
            line.append(columns.colWidth - 1, ' ');
            line.push_back(k < blanksAbove ? ' ' : number[k - blanksAbove]);
        }
        line.erase(line.find_last_not_of(' ') + 1);
        qel_printf("%s\n", line.c_str());
    }
    tableLine(kUnderlineLastLine, 0);
    return next < end ? next : kNoMoreItems;
}

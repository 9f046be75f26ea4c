#include "cli/qel_cmdoptions.h"

#include "cli/option_registry.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "qel/qel_errormsg.h"
#include "qel/qel_files.h"
#include "qel/qel_io.h"
#include "qel/qel_malloc.h"
#include "qel/qel_strings.h"
#include "qel/qel_textbuffer.h"
#include "cli/qel_cmdline.h"
#include "cli/qel_commands.h"

size_t cmdParamScalarSize(uint32_t type)
{
    switch (type) {
    case kParamBool:
    case kParamBoolKeyword:
        return 1;
    case kParamInt:
    case kParamIntOrLabel:
    case kParamIntOrNo:
    case kParamChar:
    case kParamKeyword:
    case kParamKeywordOff:
        return 4;
    case kParamReal:
    case kParamRealOrNo:
    case kParamSlot:
        return 8;
    case kParamSeed:
        return 16;
    default:
        return 0;
    }
}

namespace {

CmdParamTraverser gTraverser = nullptr;
ResizText *gDefaultText = nullptr;
CmdOptionServices gServices{};

constexpr size_t kSavedStringSize = kParamStringSize + 1;
constexpr size_t kFactoryStringSize = kParamStringSize + 1;
constexpr int kKeywordColumn = 16;
constexpr int kTypeColumn = 33;
constexpr const char *kColumnHeader =
    "\nKeyword ------- Option type --------------------- Current setting ----------";
constexpr const char *kFactoryMessage = "\nAll options have been set to factory defaults.\n";

char lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }
char upper(char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }

// A nonempty `word` that is a case-insensitive prefix of `name`.
bool isPrefixNoCase(std::string_view word, std::string_view name)
{
    return !word.empty() && startsWithNoCase(name, word);
}

char *copyOut(const std::string &text, char *out, size_t outSize)
{
    if (out != nullptr && outSize > 0)
        strcpy_n(out, text.c_str(), outSize);
    return out;
}

size_t stringCapacity(uint32_t type)
{
    return type == kParamString ? kParamStringSize : type == kParamFilename ? kParamPathSize : 0;
}

// ---- Keyword lists -----------------------------------------------------------------

struct KeywordEntry {
    std::string_view text;
    int value;
    bool alias;
};

std::vector<KeywordEntry> keywordEntries(const char *keywords)
{
    std::vector<KeywordEntry> entries;
    if (keywords == nullptr)
        return entries;
    int position = 0;
    for (const char *p = keywords; *p != '\0'; p += std::strlen(p) + 1, ++position) {
        if (*p == kKeywordAliasMark && p[1] != '\0')
            entries.push_back({p + 2, static_cast<unsigned char>(p[1]) - 1, true});
        else
            entries.push_back({p, position, false});
    }
    return entries;
}

// Each entry shows in capitals the prefix that tells it apart from the others.
std::vector<std::string> abbreviateEntries(std::vector<std::string> entries)
{
    std::vector<std::string> folded;
    for (std::string &e : entries) {
        std::transform(e.begin(), e.end(), e.begin(), lower);
        folded.push_back(e);
    }
    for (size_t j = 1; j < entries.size(); ++j) {
        if (folded[j].empty() || !std::isalpha(static_cast<unsigned char>(folded[j][0])))
            continue;
        for (size_t i = 0; i < j; ++i) {
            size_t k = commonPrefixNoCase(folded[i], folded[j]);
            for (size_t idx : {i, j}) {
                std::string &e = entries[idx];
                for (size_t c = 0; c <= k && c < e.size(); ++c)
                    e[c] = upper(e[c]);
            }
        }
    }
    return entries;
}

std::string joinEntries(const std::vector<std::string> &entries)
{
    std::string out;
    for (const std::string &e : entries) {
        if (!out.empty())
            out += '|';
        out += e;
    }
    return out;
}

// The listed entries of a keyword list joined by "|", abbreviated when asked.
std::string keywordListText(const char *keywords)
{
    std::vector<std::string> shown;
    for (const KeywordEntry &e : keywordEntries(keywords))
        if (!e.alias)
            shown.emplace_back(e.text);
    if (cmdOpt.showAbbrev)
        shown = abbreviateEntries(std::move(shown));
    return joinEntries(shown);
}

// ---- Registration ------------------------------------------------------------------

struct Registration {
    const char *category;
    const char *name;
    uint32_t typeFlags;
    void *variable;
    CmdParamFxn fxn;
    const char *keywords;
    CmdParamChangeFxn change;
    const void *defaultValue;
    uint32_t valueSize;
    const char *defaultText;
    bool ranged;
    int32_t minValue;
    int32_t maxValue;
};

void registerParam(const Registration &r, CmdParamList *list)
{
    if (list == nullptr)
        return;
    uint32_t type = r.typeFlags & kParamTypeMask;
    if (list->lookup) {
        if (list->foundName == nullptr && type != kParamHeading && r.variable != nullptr &&
            r.variable == list->lookFor)
            list->foundName = r.name;
        return;
    }
    if (list->counting) {
        ++list->total;
        return;
    }
    if (list->failed || list->params == nullptr || list->count >= list->total) {
        list->failed = 1;
        return;
    }
    CmdParam &p = list->params[list->count];
    p = CmdParam{};
    p.name = r.name != nullptr ? r.name : "";
    p.category = r.category;
    p.typeFlags = r.typeFlags | (r.ranged ? kParamRanged : 0);
    p.variable = r.variable;
    p.parseFxn = r.fxn;
    p.keywords = r.keywords;
    p.changeFxn = r.change;
    p.minValue = r.minValue;
    p.maxValue = r.maxValue;

    if (isStringParam(&p)) {
        p.savedText = static_cast<char *>(
            allocBlock(type == kParamString ? kSavedStringSize : kParamPathSize));
        if (type == kParamString)
            p.factoryText = static_cast<char *>(allocBlock(kFactoryStringSize));
        if (p.savedText == nullptr || (type == kParamString && p.factoryText == nullptr)) {
            deallocBlock(p.savedText);
            deallocBlock(p.factoryText);
            list->failed = 1;
            return;
        }
    }
    if (type == kParamFxn && p.parseFxn != nullptr &&
        p.parseFxn(kParamOpInit, &p, nullptr) != 0) {
        list->failed = 1;
        return;
    }
    // A nonpersistent option starts each run from its declared value; without
    // 0x400 that value is kept for the reset alone (valueSize stays 0, so
    // Factory and the listings never see it).
    if ((p.typeFlags & kParamNonpersistent) && !(p.typeFlags & kParamHasFactory) &&
        !isStringParam(&p) && r.defaultValue != nullptr)
        std::memcpy(&p.factory, r.defaultValue, std::min<uint32_t>(r.valueSize, sizeof p.factory));
    if (p.typeFlags & kParamHasFactory) {
        if (isStringParam(&p)) {
            p.valueSize = static_cast<uint32_t>(stringCapacity(type));
            if (type == kParamString && !(p.typeFlags & kParamNoFactoryText) &&
                r.defaultText != nullptr)
                strcpy_n(p.factoryText, r.defaultText, kParamStringSize);
        } else if (r.defaultValue != nullptr) {
            p.valueSize = std::min<uint32_t>(r.valueSize, sizeof p.factory);
            std::memcpy(&p.factory, r.defaultValue, p.valueSize);
        }
        if (p.variable != nullptr)
            copy1ParamVal(&p, p.variable, getCmdParamValuePtr(&p, false));
    }
    ++list->count;
}

// ---- Value texts -------------------------------------------------------------------

std::string formatted(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string formatted(const char *format, ...)
{
    char buf[64];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    return buf;
}

std::string fxnText(CmdParam *p, int operation)
{
    const char *text = nullptr;
    if (p->parseFxn != nullptr)
        p->parseFxn(operation, p, &text);
    return text != nullptr ? text : "";
}

std::string typeText(CmdParam *p)
{
    const char *label = p->keywords != nullptr ? p->keywords : "";
    switch (cmdParamType(p)) {
    case kParamBool:
        return "no|yes";
    case kParamBoolKeyword:
    case kParamKeyword:
    case kParamKeywordOff:
        return keywordListText(p->keywords);
    case kParamInt:
        return "<integer-value>";
    case kParamIntOrLabel:
        return std::string("<integer-value>|") + label;
    case kParamIntOrNo:
        return "<integer-value>|No";
    case kParamReal:
        return "<real-value>";
    case kParamRealOrNo:
        return "<real-value>|No";
    case kParamChar:
        return "<single-character-value>";
    case kParamString:
    case kParamFilename:
        return label;
    case kParamFxn:
        return fmtFunctionValueList(p);
    case kParamSeed:
        return "<int> or <int:int:int:int>";
    default:
        return "";
    }
}

std::string valueText(CmdParam *p, bool savedOnly)
{
    if (p->typeFlags & kParamShowNone)
        return "(none)";
    uint32_t type = cmdParamType(p);
    if (type == kParamFxn) {
        std::string t = fxnText(p, kParamOpCurValue);
        return t.empty() ? "(none)" : t;
    }
    bool live = !savedOnly && !(p->typeFlags & kParamNonpersistent);
    const void *v = getCmdParamValuePtr(p, live);
    if (v == nullptr)
        return "";
    int32_t i = 0;
    double d = 0;
    if (cmdParamScalarSize(type) == 4)
        std::memcpy(&i, v, 4);
    if (type == kParamReal || type == kParamRealOrNo)
        std::memcpy(&d, v, 8);
    switch (type) {
    case kParamBool:
        return *static_cast<const uint8_t *>(v) ? "yes" : "no";
    case kParamBoolKeyword:
        return enumValue(p->keywords, *static_cast<const uint8_t *>(v));
    case kParamInt:
        return formatted("%d", i);
    case kParamIntOrLabel:
        return i == 0 && p->keywords != nullptr ? p->keywords : formatted("%d", i);
    case kParamIntOrNo:
        return i == 0 ? "No" : formatted("%d", i);
    case kParamReal:
        return formatted("%.10g", d);
    case kParamRealOrNo:
        return d == 0.0 ? "No" : formatted("%.10g", d);
    case kParamChar:
        return i == 0 ? "(undefined)" : std::string(1, static_cast<char>(i));
    case kParamString:
    case kParamFilename: {
        const char *s = static_cast<const char *>(v);
        return *s == '\0' ? "(none)" : std::string(s, strnlen(s, stringCapacity(type) - 1));
    }
    case kParamSeed: {
        uint32_t s[4];
        std::memcpy(s, v, sizeof s);
        return (s[1] | s[2] | s[3]) != 0 ? formatted("%u:%u:%u:%u", s[0], s[1], s[2], s[3])
                         : formatted("%u", s[0]);
    }
    case kParamKeyword:
    case kParamKeywordOff:
        return enumValue(p->keywords, static_cast<uint32_t>(i));
    default:
        return "";
    }
}

std::string keywordText(const CmdParam *p, const CmdParamList *list)
{
    char buf[kMaxKeywordChars + 1];
    return fmtKeywordStr(p, list, buf, sizeof buf);
}

// ---- Parsing -----------------------------------------------------------------------

struct Match {
    CmdParam *param = nullptr;
    bool negated = false;
};

bool takesNegatedForm(uint32_t type)
{
    return type == kParamBool || type == kParamIntOrNo || type == kParamRealOrNo ||
           type == kParamKeywordOff;
}

enum class MatchResult { Found, Ambiguous, None };

// A whole name or short name wins wherever it stands. Among partial matches
// a listed option beats a hidden one; a hidden option is reached by a prefix
// only when no listed option matches it; two listed partial matches are
// ambiguous.
MatchResult matchKeyword(CmdParamList *list, const char *kw, Match *found)
{
    std::string_view word = kw;
    Match firstVisible, secondVisible, firstHidden;
    for (uint32_t n = 0; n < list->count; ++n) {
        CmdParam *p = &list->params[n];
        uint32_t type = cmdParamType(p);
        if (type == kParamHeading || (p->typeFlags & kParamNotInput) || p->name[0] == '\0')
            continue;
        std::string_view name = p->name;
        Match m{p, false};
        if (p->shortName != nullptr) {
            const std::string_view shortName = p->shortName;
            const bool negated = takesNegatedForm(type) && word.size() == shortName.size() + 2 &&
                                 isPrefixNoCase("no", word) && isPrefixNoCase(word.substr(2), shortName);
            if (negated || (word.size() == shortName.size() && isPrefixNoCase(word, shortName))) {
                *found = Match{p, negated};
                return MatchResult::Found;
            }
        }
        if (isPrefixNoCase(word, name)) {
            if (word.size() == name.size()) {
                *found = m;
                return MatchResult::Found;
            }
        } else if (takesNegatedForm(type) && word.size() > 2 && isPrefixNoCase("no", word) &&
                   isPrefixNoCase(word.substr(2), name)) {
            m.negated = true;
            if (word.size() - 2 == name.size()) {
                *found = m;
                return MatchResult::Found;
            }
        } else {
            continue;
        }
        Match &slot = (p->typeFlags & kParamHidden) ? firstHidden
                      : firstVisible.param == nullptr ? firstVisible
                                                      : secondVisible;
        if (slot.param == nullptr)
            slot = m;
    }
    if (secondVisible.param != nullptr) {
        qel_errorMsg(145, "Ambiguous %s abbreviation: %s (%s %s)", "keyword", kw,
                     secondVisible.param->name, firstVisible.param->name);
        return MatchResult::Ambiguous;
    }
    *found = firstVisible.param != nullptr ? firstVisible : firstHidden;
    return found->param != nullptr ? MatchResult::Found : MatchResult::None;
}

// Drops the value of an unknown keyword: a double-quoted value through its
// closing quote, anything else as one word.
int dropUnknownValue()
{
    if (peekNextChar(nullptr) != '=')
        return 0;
    readNextDarkChar(nullptr);
    if (peekNextChar(nullptr) == '"') {
        readNextDarkChar(nullptr);
        for (;;) {
            int c = readNextNoncommentChar();
            if (c < 0)
                return 1;
            if (c == '"')
                return 0;
        }
    }
    std::vector<char> word(kMaxValueChars + 1);
    return readSpecialToken(word.data(), static_cast<uint32_t>(word.size()), nullptr, "\";/",
                            nullptr, false) < 0;
}

void showValueUsage(const CmdParam *p, const CmdParamList *list, const std::string &types,
                    const std::string &current)
{
    std::string kw = keywordText(p, list);
    if (current == "-")
        qel_printf("\nUsage: \b%s = %s\n", kw.c_str(), types.c_str());
    else
        qel_printf("\nUsage: \b%s = %s (current default = %s)\n", kw.c_str(), types.c_str(),
                   current.c_str());
}

bool outOfRange(const CmdParam *p, int32_t value)
{
    return (p->typeFlags & kParamRanged) && (value < p->minValue || value > p->maxValue);
}

// Converts and stores one value word; 0 on success, 1 after an error.
int storeValue(CmdParam *p, const char *value, bool truncated)
{
    uint32_t type = cmdParamType(p);
    void *v = p->variable;
    std::string_view word = value;
    switch (type) {
    case kParamBool: {
        bool yes = isPrefixNoCase(word, "yes") || (word.size() >= 2 && isPrefixNoCase(word, "on"));
        bool no = isPrefixNoCase(word, "no") || (word.size() >= 2 && isPrefixNoCase(word, "off"));
        if (!yes && !no)
            return errMsgBadParamValue(p->name, value);
        *static_cast<uint8_t *>(v) = yes ? 1 : 0;
        return 0;
    }
    case kParamBoolKeyword:
    case kParamKeyword:
    case kParamKeywordOff: {
        int n = paramValueNum(p->keywords, value);
        if (n == -2)
            return qel_errorMsg(142,
                                "Abbreviation \"%s\" for %s value is ambiguous.\tYou should type "
                                "enough of the value string to distinguish it from other "
                                "possible values.",
                                value, p->name),
                   1;
        if (n < 0)
            return errMsgBadParamValue(p->name, value);
        if (type == kParamBoolKeyword)
            *static_cast<uint8_t *>(v) = n != 0;
        else
            *static_cast<uint32_t *>(v) = static_cast<uint32_t>(n);
        return 0;
    }
    case kParamInt:
    case kParamIntOrLabel:
    case kParamIntOrNo: {
        int32_t n = 0;
        bool zeroWord = type == kParamIntOrNo && isPrefixNoCase(word, "no");
        // Every keyword of the list ("all" or "no", say) stands for 0.
        if (type == kParamIntOrLabel && p->keywords != nullptr)
            for (const char *k = p->keywords; *k && !zeroWord; k += std::strlen(k) + 1)
                zeroWord = isPrefixNoCase(word, k);
        if (!zeroWord) {
            if (word.empty() || stringToInt(value, &n) != kConvOk)
                return errMsgBadParamValue(p->name, value);
            // The 0 of "no" or of the label is not a size; every other value is.
            if (outOfRange(p, n) && !(n == 0 && type != kParamInt))
                return errMsgBadParamValue(p->name, value);
        }
        *static_cast<int32_t *>(v) = n;
        return 0;
    }
    case kParamReal:
    case kParamRealOrNo: {
        double d = 0.0;
        if (!(type == kParamRealOrNo && isPrefixNoCase(word, "no"))) {
            if (word.empty() || stringToDouble(value, &d) != kConvOk || !std::isfinite(d))
                return errMsgBadParamValue(p->name, value);
        }
        *static_cast<double *>(v) = d;
        return 0;
    }
    case kParamChar:
        if (word.size() != 1)
            return errMsgBadParamValue(p->name, value);
        *static_cast<int32_t *>(v) = static_cast<unsigned char>(word[0]);
        return 0;
    case kParamString:
    case kParamFilename:
        // A text that does not fit is refused whole: a cut name or label
        // would silently be another one.
        if (truncated || word.size() >= stringCapacity(type))
            return errMsgBadParamValue(p->name, value);
        strcpy_n(static_cast<char *>(v), value, stringCapacity(type));
        return 0;
    case kParamSeed: {
        uint32_t seed[4];
        if (truncated || stringToSeed(value, seed) != 0)
            return qel_errorMsg(140,
                                "Invalid seed specification: \"%s\".\tA seed must be either "
                                "given as a single integer value, or four integer values "
                                "delimited by colons (e.g., '1:2:3:4').",
                                value),
                   1;
        std::memcpy(v, seed, sizeof seed);
        return 0;
    }
    default:  // value slots accept and ignore a value
        return 0;
    }
}

// The parse proper; the caller restores every option unless the result is > 0.
int parseOptions(OptionSet set, CmdParamList *list, const char *terminators,
                 const char *lenientNote)
{
    std::string punct = std::string("=:") + terminators;
    if (punct.size() > 31)
        punct.resize(31);
    if (peekNextChar(nullptr) == '/')
        readNextDarkChar(nullptr);

    std::vector<char> valueBuf(kMaxValueChars + 1);
    for (;;) {
        char kw[kMaxKeywordChars + 1];
        int r = readSpecialToken(kw, sizeof kw, nullptr, punct.c_str(), nullptr, false);
        if (r < 0)
            return 0;
        if (r == kTokenPlain && kw[0] == '?') {
            showCmdUsage(nullptr, set, list, false);
            return -1;
        }
        if (r == kTokenPlain && kw[0] != '\0' && kw[1] == '\0' &&
            std::strchr(terminators, kw[0]) != nullptr)
            return runAuxFunctions(list) ? 0 : static_cast<unsigned char>(kw[0]);

        Match m;
        MatchResult mr = matchKeyword(list, kw, &m);
        if (mr == MatchResult::Ambiguous)
            return 0;
        if (mr == MatchResult::None) {
            if (lenientNote == nullptr)
                return qel_errorMsg(143,
                                    "Keyword \"%s\" is not recognized.\tIf the keyword is valid "
                                    "for the current command and it is spelled correctly, look "
                                    "for problems in a previous command, such as a missing "
                                    "semicolon.",
                                    kw),
                       0;
            qel_warningMsg(144, "Unrecognized keyword \"%s\" %s.", kw, lenientNote);
            if (dropUnknownValue())
                return 0;
            continue;
        }

        CmdParam *p = m.param;
        uint32_t type = cmdParamType(p);
        if (type == kParamFxn) {
            int rc = p->parseFxn != nullptr ? p->parseFxn(kParamOpKeyword, p, nullptr) : 1;
            if (rc == -1)
                continue;
            if (rc != 0)
                return 0;
        }
        if (m.negated) {
            if (type == kParamBool)
                *static_cast<uint8_t *>(p->variable) = 0;
            else if (type == kParamRealOrNo)
                *static_cast<double *>(p->variable) = 0.0;
            else
                *static_cast<int32_t *>(p->variable) = 0;
            continue;
        }

        int next = peekNextChar(nullptr);
        if (next == kCharOpenComment)
            return 0;
        if (next != '=') {
            if (type == kParamBool)
                *static_cast<uint8_t *>(p->variable) = 1;
            else if (type == kParamIntOrNo || type == kParamKeywordOff)
                *static_cast<int32_t *>(p->variable) = 1;
            else
                return qel_errorMsg(146,
                                    "The '%s' option requires a value field.\tMake sure the "
                                    "keyword is followed by an equal sign ('=') and a value.",
                                    p->name),
                       0;
            continue;
        }
        readNextDarkChar(nullptr);

        if (type == kParamFxn) {
            if (peekNextChar(nullptr) == '?') {
                readNextDarkChar(nullptr);
                showValueUsage(p, list, fmtFunctionValueList(p), fxnText(p, kParamOpCurValue));
                return -1;
            }
            if (p->parseFxn(kParamOpReadValue, p, nullptr) != 0)
                return 0;
            continue;
        }

        bool truncated = false;
        if (type == kParamFilename) {
            // Where "/" also ends the options (before a search's own options), it is
            // still the directory separator inside a path: only a "/" that closes
            // the name ends the options.
            std::string nameEnds;
            for (const char *t = terminators; *t; ++t)
                if (*t != '/')
                    nameEnds += *t;
            if (readFileNameValue(valueBuf.data(), static_cast<uint32_t>(valueBuf.size()), nameEnds.c_str(),
                                  &truncated) != 0)
                return 0;
            const size_t len = std::strlen(valueBuf.data());
            if (nameEnds.size() < std::strlen(terminators) && len > 1 && valueBuf[len - 1] == '/') {
                valueBuf[len - 1] = '\0';
                putCharBack('/');
            }
            r = kTokenPlain;
        } else {
            r = readSpecialToken(valueBuf.data(), static_cast<uint32_t>(valueBuf.size()), nullptr,
                                 type == kParamSeed ? terminators : punct.c_str(), nullptr, false);
            truncated = tokenWasTruncated();
            if (r < 0)
                return 0;
        }
        if (r == kTokenPlain && valueBuf[0] == '?' && type != kParamChar) {
            showValueUsage(p, list, typeText(p), valueText(p, true));
            return -1;
        }
        if (storeValue(p, valueBuf.data(), truncated) != 0)
            return 0;
    }
}

const char *defaultTextBuffer()
{
    if (gDefaultText == nullptr)
        gDefaultText = createResizText(256, 0);
    return gDefaultText != nullptr ? getResizTextBuffer(gDefaultText) : "";
}

void appendDefaultText(bool clear, const char *format, va_list args)
{
    defaultTextBuffer();
    if (gDefaultText == nullptr)
        return;
    char buf[2048];
    if (std::vsnprintf(buf, sizeof buf, format, args) < 0)
        buf[0] = '\0';
    if (clear)
        clearResizText(gDefaultText);
    appendResizText(gDefaultText, buf, 0);
}

}  // namespace

// ---- Registration ------------------------------------------------------------------

void traverseCmdParamSet(OptionSet set, CmdParamList *list)
{
    if (gTraverser != nullptr)
        gTraverser(set, list);
}

CmdParamTraverser setCmdParamTraverser(CmdParamTraverser traverser)
{
    CmdParamTraverser previous = gTraverser;
    gTraverser = traverser;
    return previous;
}

void do_Gen_Parm(const char *category, const char *name, uint32_t type, uint32_t flags,
                 void *variable, const void *defaultValue, uint32_t valueSize,
                 CmdParamChangeFxn change, const char *keywords, CmdParamList *list)
{
    registerParam({category, name, type | flags, variable, nullptr, keywords, change,
                   defaultValue, valueSize, nullptr, false, 0, 0},
                  list);
}

void do_Bool_Parm(const char *category, const char *name, uint32_t type, uint32_t flags,
                  uint8_t *variable, uint32_t defaultValue, CmdParamChangeFxn change,
                  const char *keywords, CmdParamList *list)
{
    uint8_t d = defaultValue != 0;
    do_Gen_Parm(category, name, type, flags, variable, &d, 1, change, keywords, list);
}

void do_Int_Parm(const char *category, const char *name, uint32_t type, uint32_t flags,
                 void *variable, uint32_t defaultValue, CmdParamChangeFxn change,
                 const char *keywords, CmdParamList *list)
{
    // A seed's factory value is "automatic": all four words clear, so that no
    // word of a seed typed earlier survives into the listing or the next draw.
    if (type == kParamSeed) {
        const uint32_t automatic[4] = {0, 0, 0, 0};
        do_Gen_Parm(category, name, type, flags, variable, automatic, sizeof automatic, change, keywords, list);
        return;
    }
    do_Gen_Parm(category, name, type, flags, variable, &defaultValue, 4, change, keywords, list);
}

void do_IntRange_Parm(const char *category, const char *name, uint32_t type, uint32_t flags,
                      int32_t *variable, int32_t defaultValue, int32_t minValue,
                      int32_t maxValue, CmdParamChangeFxn change, const char *label,
                      CmdParamList *list)
{
    registerParam({category, name, type | flags, variable, nullptr, label, change, &defaultValue,
                   4, nullptr, true, minValue, maxValue},
                  list);
}

void do_Flt_Parm(const char *category, const char *name, uint32_t type, uint32_t flags,
                 double *variable, CmdParamChangeFxn change, double defaultValue,
                 CmdParamList *list)
{
    do_Gen_Parm(category, name, type, flags, variable, &defaultValue, 8, change, nullptr, list);
}

void do_String_Parm(const char *name, const char *category, uint32_t type, uint32_t flags,
                    char *variable, const char *defaultText, CmdParamChangeFxn change,
                    const char *label, CmdParamList *list)
{
    registerParam({category, name, type | flags, variable, nullptr, label, change, nullptr, 0,
                   defaultText, false, 0, 0},
                  list);
}

void do_Fxn_Parm(const char *name, const char *category, uint32_t flags, void *variable,
                 CmdParamFxn fxn, CmdParamChangeFxn change, const char *label,
                 CmdParamList *list)
{
    registerParam({category, name, kParamFxn | flags, variable, fxn, label, change, nullptr, 0,
                   nullptr, false, 0, 0},
                  list);
}

void do_Separator(const char *heading, const char *category, CmdParamList *list)
{
    registerParam({category, heading, kParamHeading, nullptr, nullptr, nullptr, nullptr, nullptr,
                   0, nullptr, false, 0, 0},
                  list);
}

void do_ShortName(const char *shortName, CmdParamList *list)
{
    if (list == nullptr || list->lookup || list->counting || list->failed || list->params == nullptr ||
        list->count == 0)
        return;
    list->params[list->count - 1].shortName = shortName;
}

// ---- Lists -------------------------------------------------------------------------

CmdParamList *createCmdParamList(OptionSet set)
{
    auto *list = static_cast<CmdParamList *>(allocBlock(sizeof(CmdParamList)));
    if (list == nullptr)
        return nullptr;
    if (gTraverser == nullptr)
        return list;
    list->counting = 1;
    gTraverser(set, list);
    list->counting = 0;
    if (list->total > 0) {
        list->params = allocArrayOf<CmdParam>(list->total);
        if (list->params == nullptr)
            return destroyCmdParamList(list);
    }
    gTraverser(set, list);
    if (list->failed)
        return destroyCmdParamList(list);
    return list;
}

CmdParamList *destroyCmdParamList(CmdParamList *list)
{
    if (list == nullptr)
        return nullptr;
    for (uint32_t n = 0; n < list->count; ++n) {
        CmdParam *p = &list->params[n];
        if (cmdParamType(p) == kParamFxn && p->parseFxn != nullptr)
            p->parseFxn(kParamOpDestroy, p, nullptr);
        deallocBlock(p->savedText);
        deallocBlock(p->factoryText);
    }
    deallocArray(list->params);
    deallocBlock(list);
    return nullptr;
}

CmdParamList *allocAndSaveParamVals(OptionSet set)
{
    CmdParamList *list = createCmdParamList(set);
    if (list != nullptr)
        saveOriginalCmdParamVals(list);
    return list;
}

void saveOriginalCmdParamVals(CmdParamList *list)
{
    for (uint32_t n = 0; list != nullptr && n < list->count; ++n) {
        CmdParam *p = &list->params[n];
        if (cmdParamType(p) == kParamFxn) {
            if (p->parseFxn != nullptr)
                p->parseFxn(kParamOpSave, p, nullptr);
        } else if (p->variable != nullptr) {
            copy1ParamVal(p, p->variable, getCmdParamValuePtr(p, false));
        }
    }
}

void restoreCmdParamVals(CmdParamList *list)
{
    for (uint32_t n = 0; list != nullptr && n < list->count; ++n) {
        CmdParam *p = &list->params[n];
        if (cmdParamType(p) == kParamFxn) {
            if (p->parseFxn != nullptr)
                p->parseFxn(kParamOpRestore, p, nullptr);
        } else if (p->variable != nullptr) {
            copy1ParamVal(p, getCmdParamValuePtr(p, false), p->variable);
        }
    }
}

void copy1ParamVal(CmdParam *option, const void *from, void *to)
{
    if (option == nullptr || from == nullptr || to == nullptr)
        return;
    uint32_t type = cmdParamType(option);
    if (size_t cap = stringCapacity(type)) {
        strcpy_n(static_cast<char *>(to), static_cast<const char *>(from), cap);
        return;
    }
    std::memmove(to, from, cmdParamScalarSize(type));
}

void *getCmdParamValuePtr(CmdParam *option, bool live)
{
    if (option == nullptr)
        return nullptr;
    if (live)
        return option->variable;
    return isStringParam(option) ? static_cast<void *>(option->savedText)
                                 : static_cast<void *>(&option->saved);
}

CmdParam *getCmdParamListArray(CmdParamList *list) { return list ? list->params : nullptr; }
uint32_t getCmdParamListSize(const CmdParamList *list) { return list ? list->count : 0; }

bool isStringParam(const CmdParam *option)
{
    uint32_t type = cmdParamType(option);
    return type == kParamString || type == kParamFilename;
}

// ---- Parsing -----------------------------------------------------------------------

int getCmdParams(OptionSet set, const char *terminators, const char *lenientNote)
{
    if (terminators == nullptr || terminators[0] == '\0')
        terminators = ";";
    CmdParamList *list = allocAndSaveParamVals(set);
    if (list == nullptr)
        return 0;
    // A nonpersistent option applies to one run only: each run starts from
    // its reset value, whatever the previous run left. Listings still show the
    // value from before the command (the saved one).
    for (uint32_t n = 0; n < list->count; ++n)
        resetNonpersistentParam(&list->params[n]);
    int rc = parseOptions(set, list, terminators, lenientNote);
    if (rc <= 0)
        restoreCmdParamVals(list);
    // In a file the listing alone would not tell why the command did nothing
    // (and why, for most commands, the file stops here).
    if (rc < 0 && inBatchInputMode())
        qel_warningMsg(0, "Usage was shown (\"?\"); the command was not run.");
    destroyCmdParamList(list);
    return rc;
}

int setCmdParamVals(OptionSet set) { return getCmdParams(set, ";", nullptr) > 0 ? 0 : 1; }

int runAuxFunctions(CmdParamList *list)
{
    for (uint32_t n = 0; list != nullptr && n < list->count; ++n) {
        CmdParam *p = &list->params[n];
        if (p->changeFxn != nullptr && p->changeFxn(p) != 0)
            return 1;
    }
    return 0;
}

bool cmdParamChanged(CmdParam *option)
{
    uint32_t type = cmdParamType(option);
    if (type == kParamFxn)
        return option->parseFxn != nullptr && option->parseFxn(kParamOpChanged, option, nullptr);
    if (option->variable == nullptr || type == kParamHeading)
        return false;
    if (isStringParam(option))
        return option->savedText != nullptr &&
               std::strncmp(static_cast<const char *>(option->variable), option->savedText,
                            stringCapacity(type)) != 0;
    if (type == kParamReal || type == kParamRealOrNo) {
        double now = *static_cast<const double *>(option->variable);
        return std::isnan(now) || std::isnan(option->saved.d) || now != option->saved.d;
    }
    return std::memcmp(option->variable, &option->saved, cmdParamScalarSize(type)) != 0;
}

bool cmdParamValueIsNonzero(const CmdParam *option)
{
    uint32_t type = cmdParamType(option);
    if (option->variable == nullptr)
        return false;
    if (isStringParam(option))
        return *static_cast<const char *>(option->variable) != '\0';
    const auto *bytes = static_cast<const uint8_t *>(option->variable);
    size_t n = type == kParamBool || type == kParamBoolKeyword ? 1 : cmdParamScalarSize(type);
    return std::any_of(bytes, bytes + n, [](uint8_t b) { return b != 0; });
}

const char *optionName(OptionSet set, const void *variable)
{
    CmdParamList list{};
    list.lookup = 1;
    list.lookFor = variable;
    if (gTraverser != nullptr && variable != nullptr)
        gTraverser(set, &list);
    return list.foundName != nullptr ? list.foundName : "unknown";
}

// An exact entry wins at once. Among prefixes a listed entry beats an alias,
// and an alias never makes a word ambiguous.
int paramValueNum(const char *keywords, const char *word)
{
    std::string_view w = word != nullptr ? word : "";
    const KeywordEntry *firstListed = nullptr;
    const KeywordEntry *firstAlias = nullptr;
    std::vector<KeywordEntry> entries = keywordEntries(keywords);
    for (const KeywordEntry &e : entries) {
        if (!isPrefixNoCase(w, e.text))
            continue;
        if (w.size() == e.text.size())
            return e.value;
        if (e.alias) {
            if (firstAlias == nullptr)
                firstAlias = &e;
        } else if (firstListed == nullptr) {
            firstListed = &e;
        } else {
            return -2;
        }
    }
    if (firstListed != nullptr)
        return firstListed->value;
    return firstAlias != nullptr ? firstAlias->value : -1;
}

const char *enumValue(const char *keywords, uint32_t n)
{
    if (keywords == nullptr)
        return "";
    const char *p = keywords;
    for (uint32_t i = 0; *p != '\0'; p += std::strlen(p) + 1, ++i)
        if (i == n)
            return *p == kKeywordAliasMark && p[1] != '\0' ? p + 2 : p;
    return "";
}

int errMsgBadParamValue(const char *keyword, const char *value)
{
    qel_errorMsg(141,
                 "Invalid value specified for '%s': \"%s\".\tUse \"%s=?\" to see a list of "
                 "valid values for each option.",
                 keyword, value, keyword);
    return 1;
}

int readIntFxnParamHelper(int operation, CmdParam *option, void *place, int32_t *value,
                          const char *keyword, int32_t factory)
{
    switch (operation) {
    case kParamOpReadValue: {
        char word[kMaxKeywordChars + 1];
        if (readToken(word, sizeof word) < 0)
            return 999;
        int32_t n = 0;
        if (word[0] != '\0' && isAllDigit(word) && stringToInt(word, &n) == kConvOk)
            *value = n;
        else if (isPrefixNoCase(word, keyword))
            *value = 0;
        else
            return errMsgBadParamValue(option->name, word), 999;
        return 0;
    }
    case kParamOpCurValue:
        if (place != nullptr)
            *static_cast<const char **>(place) =
                option->saved.i == 0 ? keyword : makeCurDefaultString("%d", option->saved.i);
        return 0;
    case kParamOpFactory:
        *value = factory;
        return 0;
    case kParamOpChanged:
        return *value != option->saved.i;
    case kParamOpSave:
        option->saved.i = *value;
        return 0;
    case kParamOpRestore:
        *value = option->saved.i;
        return 0;
    case kParamOpEchoChanged:
        if (*value != option->saved.i) {
            if (*value == 0)
                qel_printf(" %s=%s", option->name, keyword);
            else
                qel_printf(" %s=%d", option->name, *value);
        }
        return 0;
    default:
        return 0;
    }
}

int notifyOptionGone(int operation, CmdParam *option, void *)
{
    if (operation != kParamOpKeyword)
        return 0;
    const CmdTableEntry *cur = cmdOpt.currentCmd;
    qel_printf("\nNOTE: \bThe '%s' option in the %s command is now ignored. Please update your "
               "input file and/or commands accordingly.\n",
               option->name, cur != nullptr ? cur->name : "(unknown)");
    if (peekNextChar(nullptr) == '=') {
        readNextDarkChar(nullptr);
        std::vector<char> word(kMaxValueChars + 1);
        readSpecialToken(word.data(), static_cast<uint32_t>(word.size()), nullptr, ";", nullptr,
                         false);
    }
    return -1;
}

const char *makeCurDefaultString(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    appendDefaultText(true, format, args);
    va_end(args);
    return defaultTextBuffer();
}

const char *printfToDefaultString(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    appendDefaultText(false, format, args);
    va_end(args);
    return defaultTextBuffer();
}

int qel_initializeCmdOptions()
{
    qel_cmdShowOptionTable = showCmdOptionTable;
    if (gDefaultText == nullptr)
        gDefaultText = createResizText(256, 0);
    return gDefaultText == nullptr;
}

void qel_finalizeCmdOptions() { gDefaultText = destroyResizText(gDefaultText); }

// ---- Listings ----------------------------------------------------------------------

char *typeString(CmdParam *option, char *out, size_t outSize)
{
    return copyOut(typeText(option), out, outSize);
}

char *curDefltString(CmdParam *option, bool savedOnly, char *out, size_t outSize)
{
    return copyOut(valueText(option, savedOnly), out, outSize);
}

char *fmtKeywordStr(const CmdParam *option, const CmdParamList *list, char *out, size_t outSize)
{
    std::string_view name = option->name;
    name = name.substr(0, kMaxKeywordChars);
    std::string shown(name);
    if (cmdOpt.showAbbrev) {
        // Matching ignores case, so the prefix that tells a keyword apart must too.
        size_t longest = 0;
        for (uint32_t n = 0; list != nullptr && n < list->count; ++n) {
            const CmdParam *q = &list->params[n];
            if (q == option || cmdParamType(q) == kParamHeading || (q->typeFlags & kParamHidden))
                continue;
            longest = std::max(longest, commonPrefixNoCase(name, q->name));
        }
        for (size_t i = 0; i < shown.size(); ++i)
            shown[i] = i <= longest ? upper(shown[i]) : lower(shown[i]);
    }
    return copyOut(shown, out, outSize);
}

std::string fmtFunctionValueList(CmdParam *option)
{
    std::string text;
    if (option->keywords != nullptr)
        text.assign(option->keywords, strnlen(option->keywords, 255));
    else
        text = fxnText(option, kParamOpValueList);
    if (cmdOpt.showAbbrev) {
        std::vector<std::string> entries;
        size_t start = 0;
        for (size_t bar; (bar = text.find('|', start)) != std::string::npos; start = bar + 1)
            entries.push_back(text.substr(start, bar - start));
        entries.push_back(text.substr(start));
        text = joinEntries(abbreviateEntries(std::move(entries)));
    }
    return text;
}

void showCmdParamSettings(CmdParamList *list, bool savedOnly)
{
    bool first = true;
    bool anyNonpersistent = false;
    for (uint32_t n = 0; list != nullptr && n < list->count; ++n) {
        CmdParam *p = &list->params[n];
        if (p->typeFlags & kParamHidden)
            continue;
        if (cmdParamType(p) == kParamHeading) {
            // Some heading texts bring their own colon.
            const size_t len = std::strlen(p->name);
            qel_printf(len > 0 && p->name[len - 1] == ':' ? "\n%s\n" : "\n%s:\n", p->name);
            qel_printf("%s\n", kColumnHeader);
            first = false;
            continue;
        }
        if (first) {
            qel_printf("\nAvailable options:\n");
            qel_printf("%s\n", kColumnHeader);
            first = false;
        }
        std::string keyword = keywordText(p, list);
        std::string rest = typeText(p);
        // A long type text breaks after a "|", with the keyword on its first line only.
        while (rest.size() > kTypeColumn) {
            size_t bar = rest.rfind('|', kTypeColumn - 1);
            if (bar == std::string::npos)
                break;
            qel_printf("%-*s\b%-*s\n", kKeywordColumn, keyword.c_str(), kTypeColumn,
                       rest.substr(0, bar + 1).c_str());
            keyword.clear();
            rest.erase(0, bar + 1);
        }
        bool nonpersistent = (p->typeFlags & kParamNonpersistent) != 0;
        anyNonpersistent |= nonpersistent;
        qel_printf("%-*s%-*s%c\b", kKeywordColumn, keyword.c_str(), kTypeColumn, rest.c_str(),
                   nonpersistent ? '*' : ' ');
        qel_printf("%s\n", valueText(p, savedOnly).c_str());
    }
    if (anyNonpersistent)
        qel_printf("%49c*Option is nonpersistent\n", ' ');
}

void showCmdOptionTable(OptionSet set, CmdParamList *list, bool showCurrent)
{
    if (list != nullptr) {
        showCmdParamSettings(list, !showCurrent);
        return;
    }
    list = allocAndSaveParamVals(set);
    showCmdParamSettings(list, true);
    destroyCmdParamList(list);
}

// ---- Defaults, Factory and Reset -----------------------------------------------------

void setCmdOptionServices(const CmdOptionServices &services) { gServices = services; }

void setCmdParamToFactory(CmdParam *p)
{
    uint32_t type = cmdParamType(p);
    if (type == kParamFxn) {
        if (p->parseFxn != nullptr)
            p->parseFxn(kParamOpFactory, p, nullptr);
    } else if (p->variable == nullptr) {
        return;
    } else if (type == kParamFilename) {
        std::memset(p->variable, 0, kParamPathSize);
    } else if (type == kParamString) {
        if (p->valueSize != 0)
            strcpy_n(static_cast<char *>(p->variable), p->factoryText, kParamStringSize);
    } else if (p->valueSize != 0) {
        std::memcpy(p->variable, &p->factory, p->valueSize);
    }
}

void resetNonpersistentParam(CmdParam *p)
{
    if (!(p->typeFlags & kParamNonpersistent) || (p->typeFlags & kParamOwnerPresets))
        return;
    const uint32_t type = cmdParamType(p);
    if ((p->typeFlags & kParamHasFactory) || type == kParamFxn) {
        setCmdParamToFactory(p);
    } else if (p->variable == nullptr) {
        return;
    } else if (isStringParam(p)) {
        static_cast<char *>(p->variable)[0] = '\0';
    } else if (size_t size = cmdParamScalarSize(type)) {
        std::memcpy(p->variable, &p->factory, std::min(size, sizeof p->factory));
    }
}

int setCmdParamValsToFactorySettings(OptionSet set, bool atStartup)
{
    CmdParamList *list = allocAndSaveParamVals(set);
    if (list == nullptr)
        return 1;
    for (uint32_t n = 0; n < list->count; ++n)
        setCmdParamToFactory(&list->params[n]);
    // Every callback runs, so that each owner sees the reset even when another
    // one rejects it; any rejection makes the reset a failure.
    int rc = 0;
    for (uint32_t n = 0; !atStartup && n < list->count; ++n) {
        CmdParam *p = &list->params[n];
        if (p->changeFxn != nullptr && p->changeFxn(p) != 0)
            rc = 1;
    }
    destroyCmdParamList(list);
    return rc;
}

int factorySettings(bool atStartup)
{
    int before = gServices.currentCriterion ? gServices.currentCriterion() : 0;
    int rc = setCmdParamValsToFactorySettings(OptionSet::kAll, atStartup);
    if (rc != 0 && atStartup) {
        if (gServices.exitProgram)
            gServices.exitProgram(8);
        std::exit(8);
    }
    int after = gServices.currentCriterion ? gServices.currentCriterion() : 0;
    if ((atStartup || after != before) && gServices.initOptimalityCriterion)
        gServices.initOptimalityCriterion();
    return rc;
}

int doDefaultsCmd()
{
    char word[kMaxKeywordChars + 1];
    if (readToken(word, sizeof word) < 0)
        return 1;
    if (isTokenSemicolon(word))
        return qel_errorMsg(118,
                            "Unexpected semicolon (;).\tCheck input formatting carefully (e.g., "
                            "verify that the number of items supplied for a list is correct).");
    const CmdTableEntry *row = validCmd(nullptr, word, 1);
    if (row == nullptr) {
        // validCmd has shown an ambiguity or a usage listing as plain lines;
        // the failure still needs saying. Only a word that begins no command
        // at all is unrecognised here.
        const CmdTable *table = getCmdTable();
        for (uint32_t i = 0; i < table->count; ++i)
            if (isPrefixNoCase(word, table->rows[i].name))
                return qel_errorMsg(0, "No defaults were changed for \"%s\".", word);
        return qel_errorMsg(151,
                            "Unrecognized command name: \"%s\"\tYou can use \"help commands;\" "
                            "to obtain a list of valid commands.",
                            word);
    }
    if (row->optionSet == CMD_NO_OPTIONS)
        return qel_errorMsg(150, "The command '%s' does not accept options.\n", row->name);

    char explanation[kMaxOverrideLength + 1];
    std::snprintf(explanation, sizeof explanation,
                  "You can use \"%s ?\" to get a list of valid keywords.\n", row->name);
    setErrorExplanation(143, explanation);
    // A "?" among the options lists the named command, not Defaults.
    const CmdTableEntry *running = cmdOpt.currentCmd;
    cmdOpt.currentCmd = row;
    int rc = setCmdParamVals(row->optionSet);
    cmdOpt.currentCmd = running;
    clearErrorExplanation(143);
    return rc;
}

int doFactoryCmd()
{
    if (readSemicolon() != 0)
        return 1;
    if (factorySettings(false) != 0)
        return 1;
    qel_printf("%s", kFactoryMessage);
    return 0;
}

int doResetCmd()
{
    char word[kMaxKeywordChars + 1];
    if (readToken(word, sizeof word) < 0)
        return 1;
    if (isTokenSemicolon(word))
        return factorySettings(false) != 0;
    bool factory = isPrefixNoCase(word, "factory");
    if (!factory && !isPrefixNoCase(word, "startup"))
        return qel_errorMsg(921,
                            "The only valid options for the %s command are 'startup' and "
                            "'factory'.\tCheck for a missing semicolon or a spelling mistake.",
                            "Reset");
    if (readSemicolon() != 0)
        return 1;
    if (factorySettings(false) != 0)
        return 1;
    if (factory)
        qel_printf("%s", kFactoryMessage);
    return 0;
}

// ---- File-name options --------------------------------------------------------------

const char *makeBaseFilenameForCmdParam()
{
    const char *data = getDataFileName();
    if (data != nullptr && data[0] != '\0')
        return data;
    const char *exec = getExecFileName();
    if (exec != nullptr && exec[0] != '\0')
        return exec;
    return "vorn";
}

int setDefaultCmdParamFilename(FilenameParamState *state, const char *extension)
{
    if (state->path == nullptr) {
        state->path = static_cast<char *>(allocBlock(kParamPathSize));
        if (state->path == nullptr)
            return 1;
    }
    state->nameIsDefault = 1;
    makeDefaultFilename(makeBaseFilenameForCmdParam(), extension != nullptr ? extension : "",
                        state->path);
    return 0;
}

int startCmdParamFilename(FilenameParamState *state, const char *extension, bool forceDefault,
                          char *out, size_t outSize)
{
    bool haveName = state->path != nullptr && state->path[0] != '\0';
    if (!haveName || forceDefault) {
        if (setDefaultCmdParamFilename(state, extension) != 0)
            return 1;
    }
    copyOut(filenameInPathname(state->path), out, outSize);
    return 0;
}

void finishCmdParamFilename(FilenameParamState *state, const char *extension, const char *name)
{
    if (state->path == nullptr || name == nullptr)
        return;
    if (std::strcmp(name, filenameInPathname(state->path)) != 0)
        state->nameIsDefault = 0;
    else if (state->nameIsDefault && extension != nullptr)
        replaceFileExtension(extension, state->path);
}

void setFilenameDefaultExt(CmdParam *option, const char *extension)
{
    if (option != nullptr && option->variable != nullptr)
        static_cast<FilenameParamState *>(option->variable)->defaultExt = extension;
}

int handleFilenameCmdParam(int operation, CmdParam *option, void *place)
{
    auto *state = static_cast<FilenameParamState *>(option->variable);
    if (state == nullptr)
        return 0;
    if (operation == kParamOpReadValue) {
        if (state->path == nullptr) {
            state->path = static_cast<char *>(allocBlock(kParamPathSize));
            if (state->path == nullptr)
                return 1;
        }
        std::vector<char> word(kParamPathSize - 1);  // at most 4094 characters
        bool truncated = false;
        if (readFileNameValue(word.data(), static_cast<uint32_t>(word.size()), ";", &truncated) != 0)
            return 1;
        if (truncated)
            return errMsgBadParamValue(option->name, word.data());
        strcpy_n(state->path, word.data(), kParamPathSize);
        state->nameIsDefault = 0;
        return 0;
    }
    if (operation == kParamOpCurValue && place != nullptr) {
        if (state->path == nullptr || state->path[0] == '\0' || state->nameIsDefault)
            setDefaultCmdParamFilename(state, state->defaultExt);
        *static_cast<const char **>(place) = state->path != nullptr ? state->path : "";
    }
    return 0;
}

void deallocFilenameCmdParamBuffer(FilenameParamState *state)
{
    if (state != nullptr)
        state->path = static_cast<char *>(deallocBlock(state->path));
}

int optreg::refuseOptionValue(int operation, CmdParam *option, void *)
{
    if (operation != kParamOpReadValue)
        return 0;
    char word[kMaxValueChars + 1];
    if (readSpecialToken(word, sizeof word, nullptr, ";", nullptr, false) < 0)
        return 1;
    return errMsgBadParamValue(option->name, word);
}

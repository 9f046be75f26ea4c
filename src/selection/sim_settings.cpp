#include "selection/sim_settings.h"

#include <cmath>
#include <cstring>
#include <string>

#include "qel/qel_errormsg.h"
#include "qel/qel_malloc.h"
#include "qel/qel_strings.h"
#include "cli/qel_cmdline.h"

SimSettings simOpt;

YuleSettings gYuleTreeGen{};

namespace {

int expectingPositive(const char *word)
{
    return qel_errorMsg(0, "Expecting positive integer value, found: %s", word);
}

int tooManyValues(const CmdParam *option)
{
    return qel_errorMsg(0, "At most %u values may be given for the '%s' option.",
                        kMaxSimListValues, option->name);
}

bool readPositive(const char *word, int32_t *out)
{
    int32_t n = 0;
    if (tokenWasTruncated() || !isAllDigit(word) || stringToInt(word, &n) != kConvOk || n < 1)
        return false;
    *out = n;
    return true;
}

// One value word: a sign stays with its digits, so that what was refused is
// shown whole ("-5", not "-").
int readValueWord(char *word, uint32_t size)
{
    return readSpecialToken(word, size, nullptr, "():;/=", nullptr, false) < 0 ? -1 : 0;
}

// Reads "n" or "(" n ... ")"; with weights each n in the list is followed by
// ":" and a weight. The list is stored only when all of it is right.
int readValueList(CmdParam *option, bool weights)
{
    SimValueList list{};
    char word[64];
    if (readValueWord(word, sizeof word) < 0)
        return 1;
    if (std::strcmp(word, "(") != 0) {
        if (!readPositive(word, &list.values[0]))
            return expectingPositive(word);
        list.weights[0] = 1.0;
        list.n = 1;
        *static_cast<SimValueList *>(option->variable) = list;
        return 0;
    }
    for (;;) {
        if (readValueWord(word, sizeof word) < 0)
            return 1;
        if (std::strcmp(word, ")") == 0 && list.n > 0)
            break;
        if (list.n == kMaxSimListValues)
            return tooManyValues(option);
        if (!readPositive(word, &list.values[list.n]))
            return expectingPositive(word);
        list.weights[list.n] = 1.0;
        if (weights) {
            if (readValueWord(word, sizeof word) < 0)
                return 1;
            if (std::strcmp(word, ":") != 0)
                return qel_errorMsg(0,
                                    "Expecting colon (:) found '%c'.\tIt is possible that this "
                                    "is a downstream effect of an earlier formatting mistake.",
                                    word[0]);
            if (readValueWord(word, sizeof word) < 0)
                return 1;
            double w = 0.0;
            if (tokenWasTruncated() || stringToDouble(word, &w) != kConvOk || !std::isfinite(w) ||
                w < 0.0)
                return qel_errorMsg(0, "Expecting a proportion or weight; instead found '%s'",
                                    word);
            list.weights[list.n] = w;
        }
        ++list.n;
    }
    *static_cast<SimValueList *>(option->variable) = list;
    return 0;
}

std::string listText(const SimValueList &list, bool weights)
{
    std::string text;
    char item[64];
    for (uint32_t i = 0; i < list.n && i < kMaxSimListValues; ++i) {
        if (weights)
            std::snprintf(item, sizeof item, "%s%d:%g", i ? " " : "", list.values[i],
                          list.weights[i]);
        else
            std::snprintf(item, sizeof item, "%s%d", i ? " " : "", list.values[i]);
        text += item;
    }
    return list.n > 1 ? "(" + text + ")" : text;
}

// The list options keep their saved copy in a block of their own, made when
// the option list is built and freed with it.
int listOption(int operation, CmdParam *option, void *place, bool weights)
{
    auto *live = static_cast<SimValueList *>(option->variable);
    auto *saved = reinterpret_cast<SimValueList *>(option->savedText);
    switch (operation) {
    case kParamOpInit:
        option->savedText = static_cast<char *>(allocBlock(sizeof(SimValueList)));
        return option->savedText == nullptr;
    case kParamOpReadValue:
        return readValueList(option, weights);
    case kParamOpCurValue:
        if (place != nullptr) {
            std::string text = listText(*live, weights);
            *static_cast<const char **>(place) = makeCurDefaultString("%s", text.c_str());
        }
        return 0;
    case kParamOpChanged:
        return saved != nullptr && std::memcmp(saved, live, sizeof *live) != 0;
    case kParamOpSave:
        if (saved != nullptr)
            *saved = *live;
        return 0;
    case kParamOpRestore:
        if (saved != nullptr)
            *live = *saved;
        return 0;
    default:
        return 0;
    }
}

}  // namespace

int readNSimChar(int operation, CmdParam *option, void *place)
{
    return listOption(operation, option, place, false);
}

int readTrueTreeNum(int operation, CmdParam *option, void *place)
{
    return listOption(operation, option, place, true);
}

int readResultFileOpts(int operation, CmdParam *, void *)
{
    if (operation != kParamOpReadValue)
        return 0;
    char word[64];
    if (readToken(word, sizeof word) < 0)
        return 1;
    if (std::strcmp(word, "(") != 0)
        return qel_errorMsg(0,
                            "Expecting left parenthesis ('(') found \"%s\".\tIt is possible that "
                            "this is a downstream effect of an earlier formatting mistake.",
                            word);
    int end = getCmdParams(OptionSet::kResultsFile, ");", nullptr);
    if (end <= 0)
        return 1;
    if (end != ')')
        return qel_errorMsg(0,
                            "Expecting right parenthesis (')') found \"%s\".\tIt is possible that "
                            "this is a downstream effect of an earlier formatting mistake.",
                            ";");
    return 0;
}

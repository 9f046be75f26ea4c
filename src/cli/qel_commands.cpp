#include "cli/qel_commands.h"

#include <algorithm>
#include <cctype>
#include <string>
#include <string_view>

#include "qel/qel_errormsg.h"
#include "qel/qel_strings.h"
#include "qel/qel_io.h"
#include "cli/qel_cmdoptions.h"

CmdTable gCmdTable = {nullptr, nullptr, 0};
CmdOpt cmdOpt = {nullptr, 0};

uint32_t (*qel_cmdBlocksPresent)() = nullptr;
bool (*qel_cmdErrorStop)() = nullptr;
int (*qel_cmdPeekNextChar)() = nullptr;
int (*qel_cmdSkipRestOfCmd)() = nullptr;
void (*qel_cmdShowOptionTable)(OptionSet, CmdParamList *, bool) = nullptr;

namespace {

constexpr const char *kUnknown = "(unknown)";
// Literal macros so that the quiet forms can be framed by newlines at compile
// time and every format stays a checked literal.
#define UNRECOGNIZED_MESSAGE "Command \"%s\" is unrecognized."
#define UNRECOGNIZED_EXPLANATION                                                               \
    "If it is spelled correctly, look for problems in a previous command, such as an "          \
    "unintentional semicolon."
#define UNRECOGNIZED_TEXT UNRECOGNIZED_MESSAGE "\t" UNRECOGNIZED_EXPLANATION
#define AMBIGUOUS_TEXT "Ambiguous %s abbreviation: %s (%s %s)"

uint32_t blocksPresent() { return qel_cmdBlocksPresent ? qel_cmdBlocksPresent() : 0; }
bool errorStopOn() { return qel_cmdErrorStop ? qel_cmdErrorStop() : true; }
int peekNextChar() { return qel_cmdPeekNextChar ? qel_cmdPeekNextChar() : -1; }
void skipRestOfCommand()
{
    if (qel_cmdSkipRestOfCmd)
        qel_cmdSkipRestOfCmd();
}

// A refused command the loop goes on after must not leave its options
// behind, or they would be read as commands of their own; where errors stop
// the input, nothing more of it is read.
void skipRefusedCommand(int quiet)
{
    if (!quiet && !errorStopOn())
        skipRestOfCommand();
}

char lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }
char upper(char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }

// True when `word` is a case-insensitive prefix of `name` (an empty word is a
// prefix of everything; callers exclude it).
bool isPrefixNoCase(std::string_view word, std::string_view name) { return startsWithNoCase(name, word); }

// Terminal control bytes (and 255) must not be echoed back inside a message.
bool hasControlChars(std::string_view word)
{
    return std::any_of(word.begin(), word.end(), [](char c) {
        auto u = static_cast<unsigned char>(c);
        return (u >= 1 && u <= 31) || u == 255;
    });
}

const RenamedCmd *findSynonym(const RenamedCmd *synonyms, std::string_view word)
{
    if (synonyms == nullptr)
        return nullptr;
    for (const RenamedCmd *s = synonyms; s->minPrefix != 0; ++s) {
        if (s->alias != nullptr && s->target != nullptr && word.size() >= s->minPrefix &&
            isPrefixNoCase(word, s->alias))
            return s;
    }
    return nullptr;
}

}  // namespace

void setCommandTable(CmdTable *saved, const CmdTableEntry *rows, uint32_t count,
                     const RenamedCmd *synonyms)
{
    if (saved != nullptr)
        *saved = gCmdTable;
    gCmdTable = {rows, synonyms, rows != nullptr ? count : 0};
}

const CmdTable *getCmdTable() { return &gCmdTable; }

const CmdTableEntry *validCmd(const CmdTable *table, const char *word, int quiet)
{
    if (table == nullptr)
        table = &gCmdTable;
    std::string_view w = word != nullptr ? word : "";

    if (const RenamedCmd *syn = findSynonym(table->synonyms, w)) {
        if (syn->renamed)
            qel_printf("Note: The '%s' command has been renamed.  Use '%s' instead.\n",
                       syn->alias, syn->target);
        w = syn->target;
    }

    // A whole name wins wherever it stands; only partial matches can clash.
    const CmdTableEntry *row = nullptr;
    const CmdTableEntry *firstPartial = nullptr;
    const CmdTableEntry *secondPartial = nullptr;
    for (uint32_t i = 0; i < table->count && !w.empty(); ++i) {
        const CmdTableEntry &r = table->rows[i];
        std::string_view name = r.name != nullptr ? r.name : "";
        if (!isPrefixNoCase(w, name))
            continue;
        if (w.size() == name.size()) {
            row = &r;
            break;
        }
        if (firstPartial == nullptr)
            firstPartial = &r;
        else if (secondPartial == nullptr)
            secondPartial = &r;
    }
    if (row == nullptr && secondPartial != nullptr) {
        std::string shown(w);
        if (quiet)
            qel_printf("\n" AMBIGUOUS_TEXT "\n", "command", shown.c_str(), secondPartial->name,
                       firstPartial->name);
        else
            qel_errorMsg(145, AMBIGUOUS_TEXT, "command", shown.c_str(), secondPartial->name,
                         firstPartial->name);
        skipRefusedCommand(quiet);
        return nullptr;
    }
    if (row == nullptr)
        row = firstPartial;

    if (row == nullptr) {
        std::string shown = hasControlChars(w) ? std::string(kUnknown) : std::string(w);
        if (quiet) {
            // The tab that parts message from explanation means something
            // only to the error display; a plain line breaks there instead.
            qel_printf("\n" UNRECOGNIZED_MESSAGE "\n" UNRECOGNIZED_EXPLANATION "\n", shown.c_str());
        } else if (errorStopOn()) {
            qel_errorMsg(152, UNRECOGNIZED_TEXT, shown.c_str());
        } else {
            qel_warningMsg(152, UNRECOGNIZED_TEXT, shown.c_str());
            skipRestOfCommand();
        }
        return nullptr;
    }

    int next = peekNextChar();
    if (next == '?') {
        showCmdUsage(row, row->optionSet, nullptr, false);
        skipRestOfCommand();
        // The caller stops a file here; say why, or the file would end in
        // failure with nothing but the listing to show for it.
        if (!quiet && errorStopOn() && inBatchInputMode())
            qel_errorMsg(0,
                         "The \"%s\" command was not run: its usage was requested (\"?\").\tA usage "
                         "request ends the processing of a file while the ErrorStop option is on.",
                         row->name);
        return nullptr;
    }
    if (next == -2)  // a comment that cannot be closed
        return nullptr;
    if (quiet)
        return row;
    const CmdTableEntry *confirmed = confirmAppCmdValid(row);
    if (!confirmed)
        skipRefusedCommand(quiet);
    return confirmed;
}

const CmdTableEntry *confirmAppCmdValid(const CmdTableEntry *row)
{
    if (row == nullptr)
        return nullptr;
    uint32_t needed = row->flags & CMD_NEEDED_BLOCKS;
    if (needed == 0 || (blocksPresent() & needed) != 0)
        return row;
    const char *block = (needed & CMD_NEEDS_CHARACTERS) ? "CHARACTERS"
                        : (needed & CMD_NEEDS_TAXA)     ? "TAXA"
                                                        : "DISTANCES";
    qel_errorMsg(210,
                 "The \"%s\" command is only valid when an active DATA or %s block exists.\t"
                 "You first need to execute a file containing one of these blocks.",
                 row->name, block);
    return nullptr;
}

const char *commandName(CmdHandler handler)
{
    if (handler == nullptr || gCmdTable.rows == nullptr)
        return kUnknown;
    const char *hidden = nullptr;
    for (uint32_t i = 0; i < gCmdTable.count; ++i) {
        const CmdTableEntry &r = gCmdTable.rows[i];
        if (r.handler != handler)
            continue;
        if ((r.flags & CMD_HIDDEN) == 0)
            return r.name;
        if (hidden == nullptr)
            hidden = r.name;
    }
    return hidden != nullptr ? hidden : kUnknown;
}

void showCmdUsage(const CmdTableEntry *row, OptionSet optionSet, CmdParamList *optionList,
                  bool showCurrent)
{
    if (row == nullptr)
        row = cmdOpt.currentCmd;
    if (row != nullptr) {
        if (row->optionSet != CMD_NO_OPTIONS) {
            qel_printf("\nUsage: \b%s", row->name);
            if (row->usage == nullptr)
                qel_printf(" %s", "[options...]");
            else if (row->usage[0] != '\0')
                qel_printf(" %s", row->usage);
            qel_printf("%s\n", " ;\n");
        } else {
            if (row->usage != nullptr)
                qel_printf("\nUsage: \b%s %s ;\n", row->name, row->usage);
            else
                qel_printf("\nUsage: \b%s ;\n", row->name);
            return;
        }
    }
    if (optionSet == CMD_NO_OPTIONS)
        return;
    if (qel_cmdShowOptionTable != nullptr)
        qel_cmdShowOptionTable(optionSet, optionList, showCurrent);
    else
        showCmdOptionTable(optionSet, optionList, showCurrent);
}

char *fmtCmdName(const CmdTable *table, const char *name, uint32_t index, char *out,
                 size_t outSize)
{
    if (out == nullptr || outSize == 0)
        return out;
    std::string_view n = name != nullptr ? name : "";
    size_t len = std::min(n.size(), outSize - 1);
    if (!cmdOpt.showAbbrev) {
        n.copy(out, len);
        out[len] = '\0';
        return out;
    }
    if (table == nullptr)
        table = &gCmdTable;
    // Lookup ignores case, so the prefix that tells a name apart must too.
    size_t longest = 0;
    for (uint32_t i = 0; i < table->count; ++i) {
        if (i == index || table->rows[i].name == nullptr)
            continue;
        longest = std::max(longest, commonPrefixNoCase(n, table->rows[i].name));
    }
    for (size_t i = 0; i < len; ++i)
        out[i] = i <= longest ? upper(n[i]) : lower(n[i]);
    out[len] = '\0';
    return out;
}

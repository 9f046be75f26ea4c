#include "shell/vorn_shellcmds.h"

#include "shell/parminit.h"

#include <cstring>
#include <vector>

#include "qel/qel_errormsg.h"
#include "qel/qel_files.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_io.h"
#include "qel/qel_logfile.h"
#include "qel/qel_output.h"
#include "qel/qel_oututil.h"
#include "qel/qel_strings.h"
#include "shell/qel_cmdline.h"
#include "shell/qel_cmdoptions.h"
#include "shell/vorn_app.h"
#include "shell/vorn_cmdloop.h"

namespace {

constexpr uint32_t kHelpColumnWidth = 15;
constexpr uint32_t kLogOptions = 31;
constexpr uint32_t kQuitOptions = 99;
bool gQuitConfirmed = false;
char gExecName[kPathnameBufSize];

bool listedIn(const CmdTableEntry &row, bool needsData)
{
    if (row.flags & CMD_HIDDEN)
        return false;
    return ((row.flags & CMD_NEEDED_BLOCKS) != 0) == needsData;
}

// Commands that need only taxa are starred in the list of data commands.
char helpMark(const CmdTableEntry &row, bool needsData)
{
    return needsData && !(row.flags & CMD_NEEDS_CHARACTERS) ? '*' : ' ';
}

}  // namespace

// ---- Help -------------------------------------------------------------------------

void showCmds(const CmdTable *table, bool withDescriptions, const char *heading, bool needsData)
{
    if (!table)
        table = getCmdTable();
    qel_printf("%s", heading);
    std::vector<uint32_t> listed;
    for (uint32_t i = 0; i < table->count; ++i)
        if (listedIn(table->rows[i], needsData))
            listed.push_back(i);
    if (listed.empty())
        return;
    char name[64];
    if (withDescriptions) {
        for (uint32_t i : listed) {
            if (getAbortedStatus())
                return;
            const CmdTableEntry &row = table->rows[i];
            qel_printf("  %c%-13s \b%s\n", helpMark(row, needsData),
                       fmtCmdName(table, row.name, i, name, sizeof name),
                       row.description ? row.description : "");
        }
        return;
    }
    const auto count = static_cast<uint32_t>(listed.size());
    const uint32_t columns = maxOutputColumns(kHelpColumnWidth, 0);
    const uint32_t rows = (count - 1) / columns + 1;
    for (uint32_t r = 0; r < rows; ++r) {
        if (getAbortedStatus())
            return;
        for (uint32_t c = 0; c < columns; ++c) {
            const uint32_t k = r + c * rows;
            if (k >= count)
                break;
            const CmdTableEntry &row = table->rows[listed[k]];
            qel_printf("%c%-14s", helpMark(row, needsData),
                       fmtCmdName(table, row.name, listed[k], name, sizeof name));
        }
        qel_printf("\n");
    }
}

void showBasicHelp(const CmdTable *table, bool withDescriptions)
{
    showCmds(table, withDescriptions, "\nThe following commands are always available:\n", false);
    showCmds(table, withDescriptions,
             "\nThe following commands require data from a DATA (or TAXA and CHARACTERS) or "
             "DISTANCES block (* = requires only TAXA block):\n",
             true);
    qel_printf("\nType \"HELP COMMANDS\" or \"HELP CMDS\" for a one-line description of each command.\n");
    qel_printf("\nType \"<cmdname> ?\" to see brief usage and current default settings.\n");
}

int doHelpCmd()
{
    char word[kHelpColumnWidth + 1];
    if (readSpecialToken(word, sizeof word, nullptr, ";", nullptr, false) < 0)
        return 1;
    if (std::strcmp(word, ";") == 0) {
        showBasicHelp(nullptr, false);
        return 0;
    }
    if (stricmp(word, "commands") == 0 || stricmp(word, "cmds") == 0) {
        showBasicHelp(nullptr, true);
        return readSemicolon();
    }
    const CmdTableEntry *row = validCmd(nullptr, word, 1);
    if (!row)
        return 0;
    qel_printf("\nThe online help system is unfinished.  The following usage summary is provided:\n");
    showCmdUsage(row, row->optionSet, nullptr, true);
    return skipRestOfCmd() == 0 ? 0 : 1;
}

// ---- Execute ----------------------------------------------------------------------

int doExecCmd()
{
    if (readPathName(gExecName, sizeof gExecName) != 0)
        return 1;
    setExecFileName(gExecName);
    StreamInfo *stream = nullptr;
    if (openStream(gExecName, kStreamRead | kStreamBinary | kStreamLock, nullptr, &stream) != kOpenOK)
        return 1;
    if (readSemicolon() != 0) {
        closeStream(&stream);
        return 1;
    }
    const int status = executeFile(&stream->fileSpec, nullptr, nullptr, &stream);
    const int closed = closeStream(&stream);
    return status != 0 ? status : (closed != 0 ? 1 : 0);
}

int doNexusCmd() { return 0; }

// ---- Quit -------------------------------------------------------------------------

int okToQuit()
{
    if (gQuitConfirmed)
        return 0;
    if (getCmdParams(kQuitOptions, nullptr, nullptr) <= 0)
        return 1;
    // Unsaved trees are the only thing a quit can lose; with standard input
    // redirected nobody could answer, and no tree subsystem keeps any yet.
    gQuitConfirmed = true;
    return 0;
}

int doQuitCmd()
{
    doQuit();
    return 0;
}

// ---- Log and Set ------------------------------------------------------------------

int doVornLogCmd()
{
    if (beginLogCommand() != 0)
        return 1;
    return finishLogCommandHandling(getCmdParams(kLogOptions, nullptr, nullptr) <= 0);
}


void installShellOptions()
{
    initVornOptions(exitVorn);
}

int initializeShellOptions() { return qel_initializeCmdOptions(); }
void finalizeShellOptions() { qel_finalizeCmdOptions(); }

#include "app/vorn_shellcmds.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "data/vorn_data.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_files.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_io.h"
#include "qel/qel_logfile.h"
#include "qel/qel_output.h"
#include "qel/qel_oututil.h"
#include "qel/qel_strings.h"
#include "cli/qel_cmdline.h"
#include "cli/qel_cmdoptions.h"
#include "app/parminit.h"
#include "app/vorn_app.h"
#include "app/vorn_cmdloop.h"
#include "app/vorn_shellescape.h"
#include "app/vorn_shellutil.h"
#include "trees/treeutil.h"

namespace {

constexpr uint32_t kHelpColumnWidth = 15;
constexpr uint32_t kDisplayPathLen = 255;
bool quitAlreadyConfirmed = false;
char gExecName[kPathnameBufSize];
// The directory CD gave each level of nested input; the input record only
// points at it, so it must outlive the command.
char gCdDirs[kMaxFileNestingLevels + 1][kPathnameBufSize];

// The name the running command was found under (several rows may share a
// handler); `fallback` outside the command loop.
const char *runningCmdName(const char *fallback)
{
    return cmdOpt.currentCmd ? cmdOpt.currentCmd->name : fallback;
}

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
    // A name as long as the usual cell would run into the mark of its right
    // neighbour: the columns widen so that a blank always separates them.
    uint32_t width = kHelpColumnWidth;
    for (uint32_t i : listed)
        width = std::max(width, static_cast<uint32_t>(std::strlen(table->rows[i].name)) + 2);
    const auto count = static_cast<uint32_t>(listed.size());
    const uint32_t columns = maxOutputColumns(width, 0);
    const uint32_t rows = (count - 1) / columns + 1;
    for (uint32_t r = 0; r < rows; ++r) {
        if (getAbortedStatus())
            return;
        for (uint32_t c = 0; c < columns; ++c) {
            const uint32_t k = r + c * rows;
            if (k >= count)
                break;
            const CmdTableEntry &row = table->rows[listed[k]];
            qel_printf("%c%-*s", helpMark(row, needsData), static_cast<int>(width - 1),
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

// ---- Working directory ---------------------------------------------------------

int myChdir(const char *path)
{
    if (path && setCurrentDirFromString(path) != 0)
        return qel_errorMsg(138, "Attempt to change current directory to '%s' failed.", path);
    char current[kPathnameBufSize];
    if (!getCurrentDirString(current))
        return 0;
    // Relative names in the running file are now taken against this directory.
    if (InputStatus *input = getActiveInput()) {
        const uint32_t level = input->fileDepth <= kMaxFileNestingLevels ? input->fileDepth : kMaxFileNestingLevels;
        input->dirText = copyPathname(current, gCdDirs[level]);
    }
    qel_printf("\nCurrent directory %s %s\n", path ? "set to" : "is", current);
    return 0;
}

int doPwdCmd() { return myChdir(nullptr); }

int doCdCmd()
{
    char path[kPathnameBufSize];
    const bool keep = setKeepUnderscores(true);
    const int rc = readSpecialToken(path, sizeof path, nullptr, ";", nullptr, false);
    const bool truncated = tokenWasTruncated();
    setKeepUnderscores(keep);
    if (rc < 0)
        return 1;
    if (rc == kTokenPlain && std::strcmp(path, ";") == 0)
        return myChdir(nullptr);
    if (truncated)  // a cut path would name some other directory
        return qel_errorMsg(0, "Directory name is too long (more than %u characters).", kMaxPathnameLen);
    const InputStatus *input = getActiveInput();
    if (path[0] == '*' && input && input->stream)
        copyPathname(input->stream->fileSpec.dirSpec, path);
    if (readSemicolon() != 0)
        return 1;
    return myChdir(path);
}

// ---- Edit ---------------------------------------------------------------------------

bool makeEditCommand(const char *editor, const char *fileName, char *dest, size_t size)
{
    // The editor may carry its own arguments, so it goes to the shell as the
    // user wrote it; the file name is one single-quoted word after "--", so
    // that a name beginning with "-" or "+" is never read as an option (an
    // editor's "+command" would run the command).
    std::string command = std::string(editor) + " -- '";
    for (const char *p = fileName; *p; ++p) {
        if (*p == '\'')
            command += "'\\''";
        else
            command += *p;
    }
    command += '\'';
    if (command.size() >= size)
        return false;
    std::memcpy(dest, command.c_str(), command.size() + 1);
    return true;
}

int doEditCmd()
{
    const char *name = runningCmdName("Edit");
    if (inBatchInputMode())
        return qel_errorMsg(209, "The \"%s\" command may only be issued from the command-line.", name);
    const char *editor = std::getenv("EDITOR");
    if (!editor)
        editor = "vi";
    if (editor[0] == '\0')
        return qel_errorMsg(162, "No default editor has been assigned.");
    char fileName[kPathnameBufSize];
    if (readPathName(fileName, sizeof fileName) != 0)
        return 1;
    char command[2 * kPathnameBufSize + kPathnameBufSize];
    if (!makeEditCommand(editor, fileName, command, sizeof command))
        return qel_errorMsg(0, "The editor command is too long.");
    return shellEscape(command);
}

// ---- Time, FStatus, Leave -----------------------------------------------------------

int doTimeCmd()
{
    if (readSemicolon() != 0)
        return 1;
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    char text[64];
    if (!localtime_r(&now, &local) || std::strftime(text, sizeof text, "%a %b %e %H:%M:%S %Y", &local) == 0)
        std::strcpy(text, "(unknown)");
    qel_printf("\nCurrent date and time:  %s\n", text);
    return 0;
}

int showFileStatus()
{
    if (readSemicolon() != 0)
        return 1;
    const DataInfo *d = activeDataInfo();
    const bool haveData = d && (d->flags & (kHaveTaxa | kHaveCharacters | kHaveDistances));
    const char *dataFile = getDataFileName();
    if (!dataFile || !dataFile[0])
        dataFile = "(none)";
    qel_printf("\nCurrent file status:\n\n");
    qel_printf(" Active data file: %s\n", haveData ? dataFile : "(none)");
    qel_printf("         Log file: %s\n", isLogging() && logFile.name ? logFile.name : "(none)");
    qel_printf("Default tree file: ");
    char treeFile[kPathnameBufSize];
    if (haveData && makeDefaultFilename(getDataFileName(), ".tre", treeFile))
        qel_printf("%s\n", treeFile);
    else
        qel_printf("(none)\n");
    return 0;
}

int doLeaveCmd()
{
    if (inBatchInputMode()) {
        const InputStatus *input = getActiveInput();
        const std::string path =
            input && input->stream ? streamPathnameForDisplay(input->stream, kDisplayPathLen) : "stdin";
        qel_printf("\nProcessing of file \"%s\" terminated by \"%s\" command.\n", path.c_str(), runningCmdName("Leave"));
        setBatchInputMode(false);
    }
    endOpenSimulation();
    return 0;
}

// ---- Quit -------------------------------------------------------------------------

int okToQuit()
{
    if (quitAlreadyConfirmed)
        return 0;
    if (getCmdParams(OptionSet::kQuit, nullptr, nullptr) <= 0)
        return 1;
    // Unsaved trees are the only thing a quit can lose; with standard input
    // redirected nobody could answer a question about them.
    if (!gQelIo.stdinNotTerminal) {
        const auto check = treeDataHooks().checkUnsavedTrees;
        if (check && !check(wrng.warnTSave != 0, "Warning: there are unsaved trees.  Do you want to quit anyway?"))
            return 1;
    }
    quitAlreadyConfirmed = true;
    return 0;
}

int doQuitCmd()
{
    doQuit();
    return 0;
}

// ---- Log and PSet ------------------------------------------------------------------

int doVornLogCmd()
{
    if (beginLogCommand() != 0)
        return 1;
    return finishLogCommandHandling(getCmdParams(OptionSet::kLog, nullptr, nullptr) <= 0);
}

// ---- Option table -------------------------------------------------------------------

// The factory values follow in start-up, once the input is active.
void installShellOptions() { installVornOptions(exitVorn); }

int initializeShellOptions() { return qel_initializeCmdOptions() != 0 || allocOutputTextBuf() != 0; }

void finalizeShellOptions()
{
    removeVornTimers();
    deallocOutputTextBuf();
    qel_finalizeCmdOptions();
}


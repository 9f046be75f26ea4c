#include "shell/vorn_shellcmds.h"

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
constexpr uint32_t kWarningOptions = 21;
constexpr uint32_t kSetOptions = 23;
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

int doSetCmd() { return setCmdParamVals(kSetOptions); }

// ---- Option sets ----------------------------------------------------------------
// The sets of the commands above. A complete option table, once installed,
// takes their place.

namespace {

// The Log command's "file": one word, underscores kept, into the log name.
int getLogFileName(int operation, CmdParam *, void *place)
{
    if (operation == kParamOpReadValue) {
        char word[kMaxLogFileNameToken + 1];
        const bool keep = setKeepUnderscores(true);
        const int rc = readSpecialToken(word, sizeof word, nullptr, ";", nullptr, false);
        setKeepUnderscores(keep);
        if (rc < 0)
            return 1;
        setLogFileName(word);
        return 0;
    }
    if (operation == kParamOpCurValue && place)
        *static_cast<const char **>(place) = logFileNameForDisplay();
    return 0;
}

int doFlushParm(CmdParam *option)
{
    if (cmdParamChanged(option) && logFile.flushLog)
        setFlushLogOption(true);
    return 0;
}

int changeOutputWidth(CmdParam *option)
{
    return cmdSetOutputWidth(outInfo.widthSetting, option->saved.u);
}

void registerWarnings(CmdParamList *list)
{
    const char *cat = "WarnErr";
    do_Bool_Parm(cat, "warnReset", kParamBool, kParamHasFactory, &wrng.warnReset, 1, nullptr, nullptr, list);
    do_Bool_Parm(cat, "warnTree", kParamBool, kParamHasFactory, &wrng.warnTree, 1, nullptr, nullptr, list);
    do_Bool_Parm(cat, "warnTSave", kParamBool, kParamHasFactory, &wrng.warnTSave, 1, nullptr, nullptr, list);
    do_Bool_Parm(cat, "warnBlkName", kParamBool, kParamHasFactory, &wrng.warnBlkName, 1, nullptr, nullptr, list);
    do_Bool_Parm(cat, "warnRoot", kParamBool, kParamHasFactory, &wrng.warnRoot, 1, nullptr, nullptr, list);
    do_Bool_Parm(cat, "warnRedef", kParamBool, kParamHasFactory, &wrng.warnRedef, 1, nullptr, nullptr, list);
    do_Bool_Parm(cat, "warnTFileNoData", kParamBool, kParamHasFactory, &wrng.warnTFileNoData, 0, nullptr,
                 nullptr, list);
    do_Bool_Parm(cat, "errorStop", kParamBool, kParamHasFactory, &gErrorStop, 1, nullptr, nullptr, list);
    do_Bool_Parm(cat, "errorBeep", kParamBool, kParamHasFactory, reinterpret_cast<uint8_t *>(&gQelIo.errorBeep),
                 1, nullptr, nullptr, list);
    do_Bool_Parm(cat, "queryBeep", kParamBool, kParamHasFactory, reinterpret_cast<uint8_t *>(&gQelIo.queryBeep),
                 1, nullptr, nullptr, list);
}

void registerFlushLog(const char *category, CmdParamList *list)
{
    do_Bool_Parm(category, "flushLog", kParamBool, kParamHasFactory, &logFile.flushLog, 0, doFlushParm, nullptr,
                 list);
}

uint32_t shellOptionTable(uint32_t set, CmdParamList *list)
{
    const bool all = set == 0;
    if (set == kWarningOptions || all)
        registerWarnings(list);
    if (set == kSetOptions || all) {
        const char *cat = "Settings";
        if (!all) {
            do_Separator("Warning/error settings", cat, list);
            registerWarnings(list);
        }
        do_Separator("Miscellaneous settings", cat, list);
        do_Bool_Parm(cat, "monitor", kParamBool, kParamHasFactory, &outInfo.monitoring, 1, nullptr, nullptr, list);
        registerFlushLog(cat, list);
        do_Bool_Parm(cat, "defaultMode", kParamBool, 0, reinterpret_cast<uint8_t *>(&gQelIo.defaultMode), 0,
                     nullptr, nullptr, list);
        do_Bool_Parm(cat, "showAbbrev", kParamBool, kParamHasFactory, &cmdOpt.showAbbrev, 0, nullptr, nullptr,
                     list);
        do_Int_Parm(cat, "outwidth", kParamIntOrLabel, kParamNonpersistent, &outInfo.widthSetting, 0,
                    changeOutputWidth, "auto\0", list);
        do_Int_Parm(cat, "pause", kParamKeywordOff, 0, &outInfo.pauseMode, 0, nullptr, "no\0silent\0beep\0msg\0",
                    list);
        do_Bool_Parm(cat, "fLock", kParamBool, kParamHasFactory, reinterpret_cast<uint8_t *>(&gQelIo.fileLocking),
                     1, nullptr, nullptr, list);
    }
    if (set == kLogOptions || all) {
        const char *cat = "LogFile";
        do_Fxn_Parm("file", cat, 0, nullptr, getLogFileName, nullptr, "<filename-for-log>", list);
        do_Bool_Parm(cat, "replace", kParamBool, kParamNonpersistent, &logFile.replace, 0, nullptr, nullptr, list);
        do_Bool_Parm(cat, "append", kParamBool, kParamNonpersistent, &logFile.append, 0, nullptr, nullptr, list);
        do_Bool_Parm(cat, "start", kParamBool, kParamNonpersistent, &logFile.start, 0, nullptr, nullptr, list);
        do_Bool_Parm(cat, "stop", kParamBool, kParamNonpersistent, &logFile.stop, 0, nullptr, nullptr, list);
        if (!all)
            registerFlushLog(cat, list);
    }
    if (set == kQuitOptions || all)
        do_Bool_Parm("Quit", "warnTSave", kParamBool, all ? 0 : kParamHasFactory, &wrng.warnTSave, 1, nullptr,
                     nullptr, list);
    return list->failed;
}

void exitThroughApp(int status) { exitVorn(status); }

}  // namespace

void installShellOptions()
{
    // A complete option table installed before us stays in charge.
    if (CmdParamTraverser previous = setCmdParamTraverser(shellOptionTable))
        setCmdParamTraverser(previous);
    setCmdOptionServices(CmdOptionServices{nullptr, nullptr, exitThroughApp});
}

int initializeShellOptions() { return qel_initializeCmdOptions(); }
void finalizeShellOptions() { qel_finalizeCmdOptions(); }

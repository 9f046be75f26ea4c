#include "app/vorn_app.h"
#include "app/qel_python.h"

#include <libtecla.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <unistd.h>

#include "data/assump.h"
#include "data/data_services.h"
#include "data/data_settings.h"
#include "data/getdata.h"
#include "data/nexsets.h"
#include "data/statefreq.h"
#include "data/vorn_data.h"
#include "data/vorn_memory.h"
#include "distance/dcalc.h"
#include "distance/distance_hooks.h"
#include "distance/dset.h"
#include "distance/distance_settings.h"
#include "distance/ml_start_lengths.h"
#include "qel/qel_auxout.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_files.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_io.h"
#include "qel/qel_linalg.h"
#include "qel/qel_malloc.h"
#include "qel/qel_logfile.h"
#include "qel/qel_output.h"
#include "qel/qel_time.h"
#include "likelihood/ml_cmd.h"
#include "likelihood/mlinit.h"
#include "likelihood/mldist.h"
#include "likelihood/mlsettings_report.h"
#include "likelihood/lscores.h"
#include "selection/sim_surfcheck.h"
#include "selection/selection_settings.h"
#include "selection/simblock.h"
#include "selection/topotests.h"
#include "parsimony/pars_init.h"
#include "parsimony/parsimony_settings.h"
#include "cli/qel_cmdline.h"
#include "cli/qel_commands.h"
#include "app/vorn_cmdloop.h"
#include "app/parminit.h"
#include "trees/constr.h"
#include "trees/readtree.h"
#include "app/vorn_commands.h"
#include "app/vorn_params.h"
#include "app/vorn_shellcmds.h"
#include "parsimony/optimize.h"
#include "quartets/qread.h"
#include "search/critscore.h"
#include "search/freqdist.h"
#include "search/scores.h"
#include "trees/treebuf.h"
#include "trees/treebuf_extras.h"
#include "trees/tree_settings.h"

uint8_t doingIniFile = 0;

namespace {

constexpr const char *kVersion = "1.0a1";
constexpr int kHistoryLines = 50;
constexpr const char *kHistoryComment = "#";
constexpr uint32_t kDisplayPathLen = 255;

AppShutdownHooks gShutdownHooks = {};
char gExecFileName[kPathnameBufSize];
char gDefaultTreeFileName[kPathnameBufSize];

// printf to standard error through a 256-character buffer: longer output is
// cut and still ends its line.
void stderrOut(const char *format, ...) __attribute__((format(printf, 1, 2)));
void stderrOut(const char *format, ...)
{
    char buffer[256];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (n < 0)
        return;
    if (static_cast<size_t>(n) >= sizeof buffer)
        buffer[sizeof buffer - 2] = '\n';
    std::fputs(buffer, stderr);
}

// One piece of the banner to the stream, or through the output engine.
void stampString(FILE *stream, const char *format, ...) __attribute__((format(printf, 2, 3)));
void stampString(FILE *stream, const char *format, ...)
{
    char buffer[kMyprintfBufferSize];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (stream)
        std::fputs(buffer, stream);
    else
        qel_printf("%s", buffer);
}

void logBanner(FILE *log, bool fresh) { showVersionAndDate(log, false, fresh); }

const char *commandLineWidthText(const char *text, int32_t *width)
{
    char *end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || value < INT32_MIN || value > INT32_MAX)
        return nullptr;
    *width = static_cast<int32_t>(value);
    return text;
}

uint32_t blocksPresent()
{
    const DataInfo *d = activeDataInfo();
    return d ? d->flags & (kHaveTaxa | kHaveCharacters | kHaveDistances) : 0;
}

bool errorStopSetting() { return gErrorStop != 0; }
int peekNextDarkChar() { return peekNextChar(nullptr); }
FILE *logStreamForInput() { return logFileStream(); }

void exitProgramHook(int status) { exitVorn(status); }

// Only a person at the terminal makes history worth keeping; batch runs
// (often many at once) must neither read nor rewrite it.
bool keepsHistory() { return !inDetachedMode() && !gQelIo.stdinNotTerminal; }

// Written beside the history file and renamed over it, so that a run ending
// at the same time as another never leaves a torn or emptied history.
void saveHistory(GetLine *editor)
{
    char path[kPathnameBufSize];
    if (!editor || !keepsHistory() || !makeHomeFilePath(".vornhistory", path))
        return;
    char temp[kPathnameBufSize + 8];
    std::snprintf(temp, sizeof temp, "%s.XXXXXX", path);
    const int fd = mkstemp(temp);
    if (fd < 0)
        return;
    close(fd);
    if (gl_save_history(editor, temp, kHistoryComment, kHistoryLines) != 0 || std::rename(temp, path) != 0)
        unlink(temp);
}

}  // namespace

// ---- Identity -------------------------------------------------------------------

const char *getAppName() { return "VORN"; }
const char *getAppBannerString() { return "V O R N"; }
const char *getProgramID() { return "vorn"; }
const char *getAppPromptString() { return "vorn> "; }
const char *getPlatformString() { return "Unix/Linux"; }

char *makeVersionString(char *buffer, size_t size)
{
    if (size > 0)
        std::snprintf(buffer, size, "%s", kVersion);
    return buffer;
}

void showVersionAndDate(FILE *stream, bool brief, bool details)
{
    char version[32];
    makeVersionString(version, sizeof version);
    if (brief) {
        stampString(stream, "\n%s %s for %s\n", getAppName(), version, getPlatformString());
    } else {
        stampString(stream, "\n%s\nVersion %s for %s (built on %s at %s)\n%s\n\n", getAppBannerString(),
                    version, getPlatformString(), __DATE__, __TIME__, getDateTimeString().c_str());
    }
    if (!details)
        return;
    if (!brief)
        stampString(stream, "\n");
    stampString(stream, "Running on Intel(R) 64 architecture\n");
    stampString(stream, "SSE vectorization enabled\n");
    stampString(stream, "Multithreading enabled for likelihood using Pthreads\n");
    stampString(stream, "Compiled using GNU C++ compiler (g++) %d.%d.%d\n", __GNUC__, __GNUC_MINOR__,
                __GNUC_PATCHLEVEL__);
    stampString(stream, "\n");
}

// ---- Command line ---------------------------------------------------------------

void showCmdArgHelp(const char *programPath)
{
    const char *name = filenameInPathname(programPath ? programPath : getProgramID());
    stderrOut("\n");
    // The summary names the letters the parser accepts (-L, -w), as the option
    // lines below do: "-l" or "-o" would be refused as unknown options.
    stderrOut("Usage: %s [ -L logfilename ] [ -r | -a ] [ -w width ] [ -fhnuV ] [ execfilename ]\n\n", name);
    stderrOut("Options:\n");
    stderrOut("    -L logfilename\n");
    stderrOut("    --logfile=logfilename\n");
    stderrOut("            Log output to file `logfilename'\n");
    stderrOut("    -r --replace\n");
    stderrOut("            Replace logfile (without asking) if it already exists\n");
    stderrOut("    -a --append\n");
    stderrOut("            Append output to logfile (without asking) if it already exists\n");
    stderrOut("    -w N\n");
    stderrOut("    --outwidth=N\n");
    stderrOut("            Force maximum output line width to N columns, where N is an\n");
    stderrOut("            integer between %d and %d (inclusive)\n", static_cast<int>(kMinOutputLineLength),
              static_cast<int>(kMaxOutputLineLength));
    stderrOut("    -f --noflock\n");
    stderrOut("            Suppress file locking. Use of this option is not recommended (file\n");
    stderrOut("            locking prevents multiple processes from writing to the same file).\n");
    stderrOut("    -h --help\n");
    stderrOut("            Display this help and quit.\n");
    stderrOut("    -n --noninteractive\n");
    stderrOut("            Use noninteractive mode. No input will be requested from the user;\n");
    stderrOut("            when necessary, a default response will be chosen instead.\n");
    stderrOut("    -u --unbuffered\n");
    stderrOut("            Use unbuffered (line-buffered) output. Output will be flushed to\n");
    stderrOut("            disk at the end of each line.\n");
    stderrOut("    -V --version\n");
    stderrOut("            Show the current version number and compilation settings.\n");
    stderrOut("    execfilename\n");
    stderrOut("            Execute the named file (equivalent to running the command\n");
    stderrOut("            \"execute <execfilename>;\" at the first command prompt).\n");
    stderrOut("\n");
}

int parseCommandLine(int argc, char **argv, CommandLineOptions *options)
{
    *options = CommandLineOptions{nullptr, nullptr, 0, false, false, false, false, false, false};
    if (argc < 2)
        return -1;
    static const struct option kLongOptions[] = {
        {"logfile", required_argument, nullptr, 'L'},  {"replacelog", no_argument, nullptr, 'r'},
        {"appendlog", no_argument, nullptr, 'a'},      {"outwidth", required_argument, nullptr, 'w'},
        {"noflock", no_argument, nullptr, 'f'},        {"help", no_argument, nullptr, 'h'},
        {"noninteractive", no_argument, nullptr, 'n'}, {"unbuffered", no_argument, nullptr, 'u'},
        {"version", no_argument, nullptr, 'V'},        {nullptr, 0, nullptr, 0},
    };
    optind = 0;  // a full restart of the parser, so that it can run more than once
    opterr = 0;  // the usage text says what was wrong
    int c;
    while ((c = getopt_long(argc, argv, "L:raw:fhnuV", kLongOptions, nullptr)) != -1) {
        switch (c) {
        case 'L':
            options->logName = optarg;
            break;
        case 'r':
        case 'a':
            if ((c == 'r' && options->appendLog) || (c == 'a' && options->replaceLog)) {
                stderrOut("Error: only one of '-r' and '-a' may be requested.\n");
                showCmdArgHelp(argv[0]);
                return kExitBadCommandLine;
            }
            (c == 'r' ? options->replaceLog : options->appendLog) = true;
            break;
        case 'w':
            options->widthGiven = commandLineWidthText(optarg, &options->width) != nullptr;
            break;
        case 'f':
            options->noFileLocking = true;
            break;
        case 'h':
            showCmdArgHelp(argv[0]);
            return 0;
        case 'n':
            options->nonInteractive = true;
            break;
        case 'u':
            options->unbuffered = true;
            break;
        case 'V':
            showVersionAndDate(stderr, true, true);
            return 0;
        default:
            showCmdArgHelp(argv[0]);
            return kExitBadCommandLine;
        }
    }
    if (optind < argc)
        options->execFile = argv[optind];
    return -1;
}

void applyCommandLineOptions(const CommandLineOptions &options)
{
    // Any integer counts, and is brought into the allowed range: a width
    // below it is the narrowest width, not an ignored one.
    if (options.widthGiven)
        setOutputLineLengthFromCommandLine(static_cast<uint32_t>(std::max<int32_t>(options.width, 0)));
    if (options.noFileLocking)
        gQelIo.fileLocking = false;
    if (options.nonInteractive) {
        setDefaultMode(true);
        setDetachedMode(true);
    }
    if (options.unbuffered) {
        gQelIo.lineBuffered = true;
        setLineBufferedOutputRequested(true);
    }
    if (options.replaceLog)
        logFile.replace = 1;
    if (options.appendLog)
        logFile.append = 1;
    if (options.logName)
        logFile.fromCommandLine = 1;
    if (options.execFile)
        copyPathname(options.execFile, gExecFileName);
}

// ---- Start-up -------------------------------------------------------------------

bool makeHomeFilePath(const char *fileName, char *dest)
{
    dest[0] = '\0';
    const char *env = std::getenv("HOME");
    std::string home;
    if (env && env[0]) {
        // A HOME too long for a path buffer names no file we could open; the
        // password entry's directory would be some other user's idea of home.
        if (std::strlen(env) > kMaxPathnameLen)
            return false;
        home = env;
    } else {
        home = getHomeDirectoryName();
    }
    return !home.empty() && makePathnameFromFilenameAndDirectory(fileName, home.c_str(), dest) != nullptr;
}


namespace {

// File names typed for one data set must not carry over to the next: a later
// SaveTrees, Export or SaveDist would otherwise overwrite that data set's
// results with the new one's. The tree file is then named again; the export
// and distance files take their defaults from the new data file.
void forgetDefaultFilenames()
{
    gTreefileName[0] = '\0';
    deallocFilenameCmdParamBuffer(&exprt.file);
    deallocFilenameCmdParamBuffer(&saveDist.file);
}

// Distance-criterion replicates with maximum-likelihood distances keep the
// likelihood set-up that computes the distances, as likelihood replicates
// do: each sums its drawn character weights into the set-up's patterns (and
// what a new set-up would compute from them follows), then computes its
// matrix from those patterns. Other distances go to the distance methods,
// which sum the weights into the patterns those distances read.
constexpr PatternResampleFxns kMLDistanceReweight{
    [](DataInfo *) -> ModelGroup * { return nullptr; },
    patternWeightsChanged,
    [](DataInfo *d) {
        return dataServices().isMLDistance() ? groupToReweightInPlace(d) : distanceGroupToReweight(d);
    },
    [](DataInfo *d) {
        if (!dataServices().isMLDistance())
            return distanceCharWeightsChanged(d);
        if (const int s = charWeightsChanged(d); s != 0)
            return s;
        return dataServices().setDistances(d);
    }};

int installMLDistanceReweighting()
{
    const CriterionSearchFxns *f = criterionSearchFxns(kCriterionDistance);
    if (f == nullptr)
        return 1;
    CriterionSearchFxns search = *f;
    search.patternResample = &kMLDistanceReweight;
    return installCriterionSearchFxns(kCriterionDistance, search);
}

}  // namespace

int installSubsystemHooks()
{
    // Bottom to top; each installs what it offers to the layers below it.
    int status = installDataHooks();
    status |= installTreeHooks();
    status |= installParsimonyHooks();
    status |= installSearchHooks();
    status |= installLikelihoodHooks();
    status |= installDistanceHooks();
    status |= installQuartetHooks();
    status |= installMLDistanceReweighting();
    // The model-selection commands hold their partition while they run.
    for (Nexset **slot : {&autoPartOpt.partition, &clkChkOpt.partition, &ofltOpt.partition})
        watchNexsetSlot(slot, nullptr);
    // The likelihood settings stand for the settings of maximum-likelihood
    // distances; the two layers do not see each other.
    setDistMLSettingsReporter([](PrintHook print) { showMLSettings(false, print); });
    installMLStartLengthHooks({prepareMLStartLengths, releaseMLStartLengths, fitMLStartLengths});
    // LScores runs the topology tests of the selection layer on its site
    // log-likelihoods.
    installTopologyTests(skhTests);
    // SurfCheck inside a simulation block continues the block's replicates.
    installSurfCheckSimulation(surfCheckSimulationState);
    // So do distances that a simulated data set leaves all undefined.
    installSimulationQuery(inSimulationBlock);
    // NSFilter (character data) shows its site ratios in the search layer's
    // frequency histogram.
    installSiteFilterHistogram(SiteFilterHistogram{
        [](uint32_t capacity, uint32_t classes) -> void * {
            return createHistogram(capacity, true, 0, 0, classes).release();
        },
        [](void *h, double x) { return updateFreqDistData(static_cast<FreqDist *>(h), x); },
        [](const void *h, const char *title) { return showFreqDist(static_cast<const FreqDist *>(h), title, false); },
        [](void *h) { delete static_cast<FreqDist *>(h); }});
    // Maximum-likelihood distances are computed by the likelihood engine.
    installMLDistanceHooks(mlDistanceHooks());
    return status;
}

int beginStartup()
{
    init_qel_io(myprintf, errorMsg, warningMsg);
    if (qel_initializeLogFile() != 0)
        return 1;
    setLogBannerFxn(logBanner);
    initVornCmdTable();

    IoServiceHooks io = ioServiceHooks();
    io.exitProgram = exitProgramHook;
    io.nextCommandChar = readCharFromCmdLine;
    io.logStream = logStreamForInput;
    setIoServiceHooks(io);
    setDiscardCommandLineFxn(discardTypedCommand);
    setFlushAppFilesFxn(flushAppFiles);
    setAppPromptFxn(getAppPromptString);
    setQuitHooks(QuitHooks{okToQuit, exitFromApp});
    setErrorStopQuery(errorStopSetting);

    qel_cmdBlocksPresent = blocksPresent;
    qel_cmdErrorStop = errorStopSetting;
    qel_cmdPeekNextChar = peekNextDarkChar;
    qel_cmdSkipRestOfCmd = skipRestOfCmd;
    // The search follows criterion changes from the first factory setting on,
    // so the subsystems' entry points are in place before the options are.
    if (installSubsystemHooks() != 0)
        return 1;
    installShellOptions();
    // "set maxtrees" resizes the main buffer and refuses values above the ceiling.
    GeneralOptionHandlers optionHandlers{};
    optionHandlers.handleMaxtreesChg = static_cast<int (*)(CmdParam *)>(handleMaxtreesChg);
    optionHandlers.getConstrName = getConstrName;
    optionHandlers.getAncStParm = getAncStParm;
    optionHandlers.storeBrlensParm = storeBrlensParm;
    optionHandlers.storeTreeWtsParm = storeTreeWtsParm;
    setGeneralOptionHandlers(optionHandlers);
    // The repacking requested by option callbacks reaches the parsimony settings.
    setVornParamServices(VornParamServices{nullptr, setNeedParsPrep, nullptr});
    BlockReaders readers = blockReaders();
    readers.readData = readDataAndInitAssumpSets;
    readers.processAssumptionsBlock = processAssumptionsBlock;
    readers.processSetsBlock = processSetsBlock;
    readers.processCodonsBlock = processCodonsBlock;
    readers.processTreesBlock = readTreesBlockInFile;
    readers.processPythonBlock = processPythonBlock;
    readers.beginSimulation = beginSimulation;
    readers.endSimulation = endSimulation;
    readers.inSimulationBlock = inSimulationBlock;
    readers.processQuartetsBlock = processQuartetsBlock;
    readers.forgetDefaultFilenames = forgetDefaultFilenames;
    setBlockReaders(readers);
    gShutdownHooks.finalizePython = finalizePython;
    DataServices python{};
    python.inPythonBlock = [] { return executingPythonBlock(); };
    python.forgetDefaultOutputFileNames = forgetDefaultFilenames;
    python.clearScoreOptions = zeroScoreOptions;
    if (installDataServices(python) != 0)
        return 1;
    return allocCmdLine();
}

int finishStartup()
{
    char name[kPathnameBufSize];
    if (logFile.name && logFile.name[0] == '\0' && makeDefaultFilename(getProgramID(), ".log", name))
        setLogFileName(name);
    makeDefaultFilename(getProgramID(), ".tre", gDefaultTreeFileName);
    int failed = initializeShellOptions();
    failed |= finishVersionSpecificStartup();
    failed |= qel_initializeOutputBuffer();
    failed |= qel_initializeParser(true);
    failed |= qel_initializeLinalg();
    setPythonModuleName(getProgramID());
    if (failed) {
        std::fputs("An unexpected, nonrecoverable, problem occurred during initialization.\n", stderr);
        exitVorn(kExitStartupFailure);
    }
    return 0;
}

int finishVersionSpecificStartup()
{
    initializeOutputDisplay();
    initSignalHandlers();
    startTerminationWatchdog();
    if (gQelIo.lineBuffered)
        setStreamLineBuffering(stdout, _IOLBF);
    gQelIo.parentPid = getppid();
    GetLine *editor = initTecla();
    if (editor) {
        char path[kPathnameBufSize];
        if (std::getenv("HOME") && makeHomeFilePath(".teclarc", path))
            gl_configure_getline(editor, nullptr, nullptr, path);
        if (keepsHistory() && makeHomeFilePath(".vornhistory", path))
            gl_load_history(editor, path, kHistoryComment);
    }
    return 0;
}

int openCommandLineLog(const CommandLineOptions &options)
{
    if (!options.logName)
        return 0;
    setLogFileName(options.logName);
    logFile.nameSetExplicitly = 1;
    char full[kPathnameBufSize];
    if (expandPathname(logFile.name, nullptr, full))
        setLogFileName(full);
    return openLogFile();
}

int runInitializationFile()
{
    char path[kPathnameBufSize];
    if (!makeHomeFilePath(".vornrc", path))
        return 0;
    StreamInfo *stream = nullptr;
    if (openStream(path, kStreamRead | kStreamBinary | kStreamQuiet | kStreamLock, nullptr, &stream) != kOpenOK)
        return 0;
    char savedExec[kPathnameBufSize];
    copyPathname(gExecFileName, savedExec);
    copyPathname(path, gExecFileName);
    setExecFileName(gExecFileName);

    doingIniFile = 1;
    const int status = executeFile(&stream->fileSpec, nullptr, nullptr, &stream);
    qel_printf("\nInitialization file %s processed.\n", streamPathnameForDisplay(stream, kDisplayPathLen).c_str());
    doingIniFile = 0;
    closeStream(&stream);

    copyPathname(savedExec, gExecFileName);
    setExecFileName(gExecFileName[0] ? gExecFileName : nullptr);
    return status;
}

int runCommandLineFile(const char *name)
{
    if (!name || !name[0])
        return 0;
    char full[kPathnameBufSize];
    FileSpec spec;
    if (!expandPathname(name, nullptr, full) || !initFileSpecFromPathname(full, &spec))
        return qel_errorMsg(102,
                            "Cannot find file \"%s\"\tMake sure the filename has been specified "
                            "correctly (including upper- vs. lower-case on operating systems where "
                            "case is important in filenames).",
                            name);
    setExecFileName(gExecFileName);
    return executeFile(&spec, nullptr, nullptr, nullptr);
}

void flushAppFiles() { auxFlushBuffer(0, true); }

// ---- Shut-down -------------------------------------------------------------------

void setAppShutdownHooks(const AppShutdownHooks &hooks) { gShutdownHooks = hooks; }

namespace {

// Closes what a run leaves open, as a Quit does: the log, the Python
// interpreter, an open simulation block, the options and the files.
void closeDown()
{
    if (isLogging())
        closeLogFile(true);
    if (gShutdownHooks.finalizePython)
        gShutdownHooks.finalizePython();
    endOpenSimulation();
    finalizeShellOptions();
    InputStatus *in = getActiveInput();
    if (in && in->stream)
        closeStream(&in->stream);
    closeLogFile(true);
    if (gShutdownHooks.closeTreefile)
        gShutdownHooks.closeTreefile();
    if (gShutdownHooks.closeFreqDistFile)
        gShutdownHooks.closeFreqDistFile();
    if (gShutdownHooks.closeScorefile)
        gShutdownHooks.closeScorefile();
    settleOpenOutputFiles();
    std::fflush(stdout);

    saveHistory(initTecla());
    shutdownTecla();
}

}  // namespace

void exitAtEndOfCommands()
{
    closeDown();
    std::exit(kExitMissingInput);
}

void exitVorn(int code)
{
    // Until the display is set up the output engine shows nothing: a
    // start-up that ran out of memory would end without a word.
    if (code == kExitStartupFailure && memoryErrorHasOccurred() && outInfo.displayRows == 0)
        std::fputs(kMemFailureMessage, stdout);
    switch (code) {
    case 1:
    case 4:
    case 8:
    case 64:
        settleOpenOutputFiles();
        std::fflush(stdout);
        std::_Exit(code);
    case 128:
        settleOpenOutputFiles();
        std::fflush(stdout);
        std::_Exit(0);
    case 16:
        qel_printf("\nExecution terminated.\n");
        break;
    case 32:
        qel_printf("\nExecution terminated due to errors.\n");
        break;
    default:
        break;
    }
    closeDown();
    std::exit(code);
}

void exitFromApp(int code) { exitVorn(code); }

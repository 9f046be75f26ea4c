#include "app/vorn_cmdloop.h"

#include <cstring>

#include "data/getdata.h"
#include "data/vorn_data.h"
#include "data/vorn_memory.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_malloc.h"
#include "qel/qel_multithread.h"
#include "qel/qel_output.h"
#include "qel/qel_progress.h"
#include "qel/qel_strings.h"
#include "trees/treebuf.h"
#include "cli/qel_cmdline.h"
#include "cli/qel_commands.h"
#include "app/vorn_app.h"
#include "app/qel_python.h"

namespace {

int gInMasterBlock = 0;
BlockReaders gReaders = {};

constexpr uint32_t kWordSize = 33;     // at most 32 characters
constexpr const char *kLoopPunct = ";./!";
constexpr uint32_t kDisplayPathLen = 255;

// A block whose reader belongs to a subsystem that is not built yet.
int skipUnreadableBlock(const char *name)
{
    qel_printf("\n*** The \"%s\" block cannot be read yet; it will be skipped.\n", name);
    return skipThruEndOfBlock();
}

int callReader(int (*reader)(), const char *name)
{
    return reader ? reader() : skipUnreadableBlock(name);
}

std::string activeInputPath()
{
    const InputStatus *in = getActiveInput();
    if (in && in->stream)
        return streamPathnameForDisplay(in->stream, kDisplayPathLen);
    return "stdin";
}

enum class DataKind { None = -1, Data = 0, Taxa = 1, Characters = 2, Distances = 3 };

DataKind dataBlockKind(const char *name)
{
    if (stricmp(name, "data") == 0)
        return DataKind::Data;
    if (stricmp(name, "taxa") == 0 || stricmp(name, "taxon") == 0)
        return DataKind::Taxa;
    if (stricmp(name, "characters") == 0)
        return DataKind::Characters;
    if (stricmp(name, "distances") == 0)
        return DataKind::Distances;
    return DataKind::None;
}

// After a failed block: says so when the data set that stood before it is
// gone, since the block's own error speaks only of the block. Asked before,
// a user may still not expect a failing block to leave nothing. When a TAXA
// block earlier in the same input replaced that data set, its taxa still
// stand; `earlierLost` marks that case.
void noteDataSetLost(uint32_t treesBefore, bool earlierLost)
{
    const DataInfo *now = activeDataInfo();
    const uint32_t flags = now ? now->flags : 0;
    if ((flags & (kHaveCharacters | kHaveDistances)) != 0)
        return;
    const bool taxaLeft = (flags & kHaveTaxa) != 0;
    if (taxaLeft && !earlierLost)
        return;
    qel_printf("\nNote: The data set read before %s cleared; %s\n",
               treesBefore > 0 ? "and its trees were" : "was",
               taxaLeft ? "only the taxa read since are active now." : "no data set is active now.");
}

struct LoopState {
    int ownBlockDepth = 0;
    bool headerExpected = true;
    bool firstDataBlock = true;
    bool leftBatch = false;  // a data-set reset was canceled
    // The data set that stood when this input's first data block began, and
    // its trees, for a later block of the input that fails.
    bool hadDataBefore = false;
    uint32_t treesBefore = 0;
};

// Reads a data block into the active data set (a new one where the block
// replaces or extends it).
int readDataBlock(DataKind kind, const char *name, LoopState &state)
{
    if (!gReaders.readData)
        return skipUnreadableBlock(name);
    DataInfo *d = activeDataInfo();
    // What a failing block can take with it: the data set it replaces is
    // purged before its matrix is read whole.
    const bool hadData = d && (d->flags & (kHaveTaxa | kHaveCharacters | kHaveDistances)) != 0;
    const uint32_t treesBefore = hadData ? numTreesInMainBuffer() : 0;
    const bool firstDataBlock = state.firstDataBlock;
    if (firstDataBlock) {
        state.hadDataBefore = hadData;
        state.treesBefore = treesBefore;
    }
    if (hadData) {
        if (kind == DataKind::Characters) {
            if (d->flags & kHaveCharacters) {
                DataInfo *fresh = startNewData(d);
                if (!fresh)
                    return kStatusError;
                setActiveDataInfo(fresh);
                d = fresh;
            }
        } else if (firstDataBlock && wrng.warnReset &&
                   !userQuery(true, "Are you sure you want to reset the active datafile?")) {
            showCompletionStatus(kStatusCanceled, getActiveInput());
            setBatchInputMode(false);
            state.leftBatch = true;
            return kStatusCanceled;
        }
    }
    if (!d) {
        d = createDataInfo();
        if (!d)
            return kStatusError;
        setActiveDataInfo(d);
    }
    setDataFileName(activeInputPath().c_str());
    // A further CHARACTERS block learns only from its Dimensions whether it
    // replaces the data set; it asks then, on the same terms as above.
    setAskBeforeReplacingData(firstDataBlock && wrng.warnReset);
    state.firstDataBlock = false;
    int status = gReaders.readData(static_cast<int>(kind), d);
    setAskBeforeReplacingData(false);
    const bool earlierLost = !firstDataBlock && state.hadDataBefore;
    if (status != 0 && (hadData || earlierLost))
        noteDataSetLost(treesBefore + (earlierLost ? state.treesBefore : 0), earlierLost);
    if (status == 0 && gReaders.forgetDefaultFilenames)
        gReaders.forgetDefaultFilenames();
    return status;
}

// A "begin" word: reads the block's name and hands the block on. Returns the
// block's status; the own block returns 0 and raises the depth.
int beginBlock(LoopState &state)
{
    char name[kWordSize];
    if (readSpecialToken(name, sizeof name, nullptr, ";", nullptr, false) < 0)
        return kStatusError;
    if (readSemicolon() != 0)
        return kStatusError;
    setParsingNexusBlock(true);

    int status = 0;
    const DataKind kind = dataBlockKind(name);
    if (kind != DataKind::None) {
        status = readDataBlock(kind, name, state);
    } else if (stricmp(name, "vorn") == 0) {
        if (state.ownBlockDepth == 0)
            setStatusText("Processing %s block...", getAppName());
        ++state.ownBlockDepth;
        return 0;  // commands follow until the matching "end"
    } else if (stricmp(name, "vornmaster") == 0) {
        setStatusText("Processing %sMaster block...", getAppName());
        ++state.ownBlockDepth;
        setInMasterBlock(1);
        return 0;
    } else if (stricmp(name, "trees") == 0) {
        status = callReader(gReaders.processTreesBlock, name);
    } else if (stricmp(name, "assumptions") == 0) {
        status = callReader(gReaders.processAssumptionsBlock, name);
    } else if (stricmp(name, "sets") == 0) {
        status = callReader(gReaders.processSetsBlock, name);
    } else if (stricmp(name, "codons") == 0) {
        status = callReader(gReaders.processCodonsBlock, name);
    } else if (stricmp(name, "quartets") == 0) {
        status = callReader(gReaders.processQuartetsBlock, name);
    } else if (stricmp(name, "continuous") == 0) {
        qel_printf("\nWARNING: \b%s does not support the \"Continuous\" block.  It will be skipped.\n",
                   getAppName());
        status = skipThruEndOfBlock();
    } else if (stricmp(name, "python") == 0) {
        status = callReader(gReaders.processPythonBlock, name);
    } else if (stricmp(name, "dnasim") == 0 || stricmp(name, "twostatesim") == 0) {
        if (!gReaders.beginSimulation)
            status = skipUnreadableBlock(name);
        else
            status = gReaders.beginSimulation(stricmp(name, "twostatesim") == 0);
    } else {
        if (wrng.warnBlkName && name[0] != ' ')
            qel_printf("\n*** Skipping \"%s\" block\n", name);
        status = skipThruEndOfBlock();
    }
    setParsingNexusBlock(false);
    return status;
}

// An "end" word. Returns the status, or 1 after error 117.
int endBlock(LoopState &state)
{
    if (state.ownBlockDepth == 0) {
        if (gReaders.inSimulationBlock && gReaders.inSimulationBlock())
            return endOpenSimulation();
        return qel_errorMsg(117,
                            "Unexpected 'End' (or 'EndBlock')\tThe end of the block was reached "
                            "before all of the expected contents were processed.  This may be due "
                            "to an incorrect option or parameter setting.");
    }
    if (--state.ownBlockDepth == 0) {
        clearStatusText();
        setParsingNexusBlock(false);
        setInMasterBlock(0);
    }
    return 0;
}

}  // namespace

const char *completionStatusWord(int status)
{
    switch (status) {
    case kStatusCompleted:
        return "completed";
    case kStatusAborted:
        return "aborted by user";
    case kStatusCanceled:
        return "canceled";
    default:
        return "terminated due to errors";
    }
}

void showCompletionStatus(int status, const InputStatus *input)
{
    if (!input) {
        qel_printf("\nProcessing %s.\n", completionStatusWord(status));
        return;
    }
    const std::string path = input->stream ? streamPathnameForDisplay(input->stream, kDisplayPathLen) : "stdin";
    qel_printf("\nProcessing of input file \"%s\" %s.\n", path.c_str(), completionStatusWord(status));
}

int inMasterBlock() { return gInMasterBlock; }
void setInMasterBlock(int flag) { gInMasterBlock = flag; }

void setBlockReaders(const BlockReaders &readers) { gReaders = readers; }
const BlockReaders &blockReaders() { return gReaders; }

int endOpenSimulation()
{
    if (gReaders.inSimulationBlock && gReaders.endSimulation && gReaders.inSimulationBlock())
        return gReaders.endSimulation();
    return 0;
}

int doCmds()
{
    setBusyMode(true);
    LoopState state;
    int status = 0;
    char word[kWordSize];

    for (;;) {
        const bool wasBatch = inBatchInputMode();
        clearMemoryErrorStatus();
        clearThreadsRefused();
        flushOutputFiles();
        if (getAbortedStatus()) {
            status = kStatusAborted;
            break;
        }

        const int rc = readSpecialToken(word, sizeof word, nullptr, kLoopPunct, nullptr, true);
        if (rc < 0) {
            // An input that ends inside a quote or a comment was cut short:
            // that is a failure of the file, not a completion.
            if (rc == kTokenUnterminated || getActiveCommentLevel() != 0) {
                status = kStatusError;
                break;
            }
            if (inBatchInputMode()) {
                if (!doingIniFile)
                    showCompletionStatus(kStatusCompleted, getActiveInput());
                setBatchInputMode(false);
            }
            status = 0;
            break;
        }
        if (std::strcmp(word, ";") == 0)
            continue;

        if (wasBatch && state.headerExpected) {
            state.headerExpected = false;
            if (stricmp(word, "#NEXUS") == 0)
                continue;
            if (!doingIniFile)
                qel_warningMsg(211, "File does not begin with '#NEXUS'.");
        }
        state.headerExpected = false;

        if (stricmp(word, "begin") == 0) {
            status = runReportingBadAlloc([&state] { return beginBlock(state); });
            if (state.leftBatch)
                break;
        } else if (isEndBlock(word)) {
            status = endBlock(state);
        } else {
            const CmdTableEntry *row = validCmd(nullptr, word, 0);
            if (!row) {
                if (gErrorStop) {
                    status = kStatusError;
                    break;
                }
                if (quitInProgress())
                    break;
                continue;
            }
            cmdOpt.currentCmd = row;
            takeFailureStop();
            status = runReportingBadAlloc(row->handler);
            if (takeFailureStop() && status == kStatusAborted)
                status = kStatusError;
            cmdOpt.currentCmd = nullptr;
            if (wasBatch && !inBatchInputMode())
                break;
        }
        if (status != 0 || quitInProgress())
            break;
    }

    // A command that a termination signal stopped through its worker
    // threads returns as aborted without polling on this thread: the run
    // ends here as the signal asks, not as a user's abort.
    if (status != 0)
        checkTermination();
    if (inBatchInputMode() && status != 0) {
        // A failing simulation loop reads its commands from its own copy of
        // the input: closing the block first reports and exits on the file.
        endOpenSimulation();
        showCompletionStatus(status, getActiveInput());
        // A text a script generated reports its failure back to the script,
        // which decides; only a file ends a detached run.
        const InputStatus *in = getActiveInput();
        if (inDetachedMode() && !(in && in->isDocument))
            exitVorn(status == kStatusAborted ? kExitBatchAborted : kExitBatchFailed);
        setBatchInputMode(false);
    }
    setActiveCommentLevel(0);
    setBusyMode(false);
    cmdOpt.currentCmd = nullptr;
    return status;
}

int executeFile(const FileSpec *fileSpec, const void *reserved, const char *pythonText,
                StreamInfo **heldStream)
{
    InputStatus *caller = getActiveInput();
    const uint8_t depth = caller ? caller->fileDepth : 0;
    if (depth >= kMaxFileNestingLevels)
        return qel_errorMsg(149,
                            "Too many levels of nested file execution (limit is %d).\tThis usually "
                            "indicates a recursive loop in the execution stack.",
                            static_cast<int>(kMaxFileNestingLevels));
    setMenuMode(false);

    const bool isFile = fileSpec != nullptr || reserved != nullptr;
    StreamInfo *opened = nullptr;
    StreamInfo *stream = nullptr;
    if (isFile) {
        if (heldStream && *heldStream) {
            stream = *heldStream;
        } else {
            if (!fileSpec ||
                openStream(fileSpec->filename, kStreamRead | kStreamBinary | kStreamLock,
                           fileSpec->dirSpec, &opened) != kOpenOK)
                return kStatusError;
            stream = opened;
        }
        if (refuseUnreadableText(stream) != 0) {
            if (opened)
                closeStream(&opened);
            return kStatusError;
        }
    }

    InputStatus input = {};
    input.prevInput = caller;
    if (isFile) {
        input.stream = stream;
    } else {
        input.docText = pythonText ? pythonText : "";
        input.docLength = std::strlen(input.docText);
        input.isDocument = 1;
    }
    input.fileDepth = static_cast<uint8_t>(depth + 1);
    initInputStatus(&input);

    if (isFile) {
        const std::string path = streamPathnameForDisplay(stream, kDisplayPathLen);
        setStatusText("Executing \"%s\"", path.c_str());
        if (!doingIniFile)
            qel_printf("\nProcessing of file \"%s\" begins...\n", path.c_str());
    } else {
        setStatusText("Executing Python code");
        if (!doingIniFile)
            qel_printf("\nProcessing Python code...\n");
    }
    forceBlankLine();
    clearMemoryErrorStatus();
    int status = doCmds();

    if (opened)
        closeStream(&opened);
    if (!isFile && status != 0)
        raisePythonException("Error in Python script");
    clearStatusText();
    setUserPrompt(0);
    setActiveInput(caller);
    return status;
}

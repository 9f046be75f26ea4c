// libFuzzer target: arbitrary bytes as an in-memory NEXUS document, read
// first by the tokenizer's word and character readers and then by the
// data-block reader, blocks handed over as the command loop hands them.
// Messages and output go nowhere; the program's exit paths abort, so that a
// path to them counts as a crash; every global the reader touches is back at
// its starting state when an input is done.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "data/data_settings.h"
#include "data/getdata.h"
#include "data/vorn_data.h"
#include "data/vorn_memory.h"
#include "parsimony/pars_init.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_io.h"
#include "qel/qel_malloc.h"
#include "qel/qel_strings.h"
#include "app/parminit.h"
#include "cli/qel_cmdline.h"
#include "cli/qel_cmdoptions.h"

// A file may ask for any matrix up to 2^40 cells; allocations above this cap
// fail as they would on a small machine, which runs the reader's failure
// paths instead of filling the fuzzer's memory.
extern "C" const char *__asan_default_options()
{
    return "allocator_may_return_null=1:max_allocation_size_mb=64:detect_leaks=1";
}

namespace {

int quietPrint(const char *, ...) { return 0; }
int quietMsg(uint32_t, const char *, ...) { return 1; }
void quietMemFailure() {}

[[noreturn]] void exitReached(int status)
{
    std::fprintf(stderr, "fuzz_nexus: the program's exit (status %d) was reached\n", status);
    std::abort();
}

// The settings a block can change, as they were before the first input.
DataBlockParams gSavedBlockParams;
ParsSettings gSavedPars;
NexusOptions gSavedNexOpt;

// The record the reader fills; kept for the whole run (a purged record is
// what the command loop holds after "clear data").
DataInfo *gRecord = nullptr;

void setUp()
{
    qel_printf = quietPrint;
    qel_errorMsg = quietMsg;
    qel_warningMsg = quietMsg;
    installMemFailureMsgFxn(quietMemFailure);
    IoServiceHooks io{};
    io.exitProgram = exitReached;
    setIoServiceHooks(io);
    setCmdOptionServices(CmdOptionServices{nullptr, nullptr, exitReached});
    qel_initializeParser(true);
    if (qel_initializeCmdOptions() != 0)
        exitReached(8);
    setCmdParamTraverser(traverseDataOptionSets);
    gSavedBlockParams = dataBlockParam;
    gSavedPars = gPars;
    gSavedNexOpt = nexOpt;
    gRecord = createDataInfo();
}

// Words with the standard sets, then with the loop's punctuation, then
// characters: every reader must end at the end of the input.
void tokenize(const std::string &text)
{
    static constexpr const char *kPunct[] = {nullptr, ";./!", ";"};
    InputStatus doc{};
    for (const char *punct : kPunct) {
        initDocumentInput(&doc, text.data(), text.size());
        char word[64];
        for (size_t n = 0; n <= text.size(); ++n)
            if (readSpecialToken(word, sizeof word, nullptr, punct, nullptr, true) < 0)
                break;
    }
    initDocumentInput(&doc, text.data(), text.size());
    for (size_t n = 0; n <= text.size(); ++n) {
        int c = readNextDarkChar(n % 2 ? " \t\r" : nullptr);
        if (c < 0)
            break;
        if (c == '(' && peekNextChar(nullptr) >= 0)
            readNextNoncommentChar();
    }
    setActiveInput(nullptr);
}

// Hands each "begin <name>;" block to its reader as the command loop does: a
// CHARACTERS block after a matrix goes to a new record that shares the taxa.
void readBlocks(const std::string &text)
{
    InputStatus doc{};
    initDocumentInput(&doc, text.data(), text.size());
    setActiveDataInfo(gRecord);
    char word[64];
    while (readSpecialToken(word, sizeof word, nullptr, nullptr, nullptr, true) >= 0) {
        clearMemoryErrorStatus();
        if (stricmp(word, "begin") != 0)
            continue;
        if (readSpecialToken(word, sizeof word, nullptr, ";", nullptr, false) < 0 || readSemicolon() != 0)
            break;
        int kind = -1;
        if (stricmp(word, "data") == 0)
            kind = kBlockData;
        else if (stricmp(word, "taxa") == 0 || stricmp(word, "taxon") == 0)
            kind = kBlockTaxa;
        else if (stricmp(word, "characters") == 0)
            kind = kBlockCharacters;
        else if (stricmp(word, "distances") == 0)
            kind = kBlockDistances;
        if (kind < 0) {
            if (skipThruEndOfBlock() != 0)
                break;
            continue;
        }
        DataInfo *d = gRecord;
        DataInfo *fresh = nullptr;
        if (kind == kBlockCharacters && (d->flags & kHaveCharacters)) {
            if (!(fresh = startNewData(d)))
                break;
            setActiveDataInfo(fresh);
            d = fresh;
        }
        const uint64_t replacements = installedDataReplacements();
        const int rc = readData(kind, d);
        if (fresh && installedDataReplacements() != replacements) {
            // New taxa replaced the data set: our record was freed with it.
            gRecord = fresh;
        } else if (fresh && activeDataInfo() == fresh) {
            // The new record kept its place: the old one is retired. Its
            // taxa belong to the new record now (or were released by it).
            gRecord->taxa = DataTaxa{};
            destroyDataInfo(gRecord);
            gRecord = fresh;
        }
        // A refused further block releases its record and goes back to the
        // installed one, which is ours.
        if (rc != 0)
            break;
    }
    setActiveInput(nullptr);
}

void resetState()
{
    purgeData(gRecord, 0, 0, 0);
    setActiveDataInfo(nullptr);
    dataBlockParam = gSavedBlockParams;
    gPars = gSavedPars;
    nexOpt = gSavedNexOpt;
    qel_initializeParser(true);
    clearMemoryErrorStatus();
    setAbortedStatus(0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool ready = (setUp(), true);
    (void)ready;
    const std::string text(reinterpret_cast<const char *>(data), size);
    tokenize(text);
    readBlocks(text);
    resetState();
    return 0;
}

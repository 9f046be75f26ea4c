#include "data/exchange.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sys/mman.h>
#include <unordered_map>
#include <vector>

#include "cli/option_sets.h"
#include "cli/qel_cmdline.h"
#include "cli/qel_cmdoptions.h"
#include "cli/shell_settings.h"
#include "data/data_services.h"
#include "data/data_settings.h"
#include "data/getdata.h"
#include "data/vorn_data.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_files.h"
#include "qel/qel_io.h"
#include "qel/qel_malloc.h"
#include "qel/qel_output.h"
#include "qel/qel_strings.h"
#include "qel/qel_textbuffer.h"
#include "qel/qel_time.h"

namespace {

constexpr uint64_t kInitialTextCapacity = 32768;
constexpr size_t kDisplayPathLength = 128;


// The text of a conversion is about as long as the foreign file: made that
// large at once, it never grows by copying, and a large one is backed by huge
// pages where the system offers them, which spares most of the page faults
// of filling it.
ResizText *createImportText(uint64_t inputSize)
{
    const uint64_t capacity = std::max<uint64_t>(kInitialTextCapacity, inputSize + inputSize / 8 + 4096);
    ResizText *text = createResizText(capacity, 0);
    constexpr uint64_t kHugePage = uint64_t{1} << 21;
    if (text && capacity >= 2 * kHugePage) {
        const auto begin = reinterpret_cast<uintptr_t>(getResizTextBuffer(text));
        const uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
        const uintptr_t last = (begin + capacity) & ~(kHugePage - 1);
        if (last > first)
            madvise(reinterpret_cast<void *>(first), last - first, MADV_HUGEPAGE);
    }
    return text;
}

}  // namespace

const ImporterEntry ImporterTable[10] = {
    {"PHYLIP", importPhylip, "PHYLIP"},
    {"RelPHYLIP", importPhylip, "Relaxed-PHYLIP"},
    {"FASTA", importFasta, "FASTA"},
    {"Hennig86", importHennig, "Hennig86"},
    {"tabText", importText, "tab-delimited-text"},
    {"text", importText, "simple-text"},
    {"GCG", importGCG, "GCG-MSF"},
    {"MEGA", importMega, "MEGA"},
    {"PIR", importPIR, "NBRF/PIR"},
    {"FreqPars", importFreqpars, "FREQPARS"},
};

int importRefused(const char *formatName)
{
    return qel_errorMsg(902,
                        "Could not import \"%s\" as a %s file according to the specified settings.\tIf you are "
                        "certain that the file you are trying to import is a valid file for the specified format, "
                        "please report this as a bug; I would like to fix it!",
                        imprt.fromFile, formatName);
}

int importUnexpectedEnd()
{
    return qel_errorMsg(114, "Unexpected end-of-file was encountered.\tMake sure the file format is correct for "
                             "the current operation.");
}

int importLengthMismatch(const char *name, bool shorter)
{
    return qel_errorMsg(910, "Sequence \"%s\" is %s than previous sequence(s).", name,
                        shorter ? "shorter" : "longer");
}

int importInvalidSymbol(int c, uint32_t t, uint64_t k)
{
    return qel_errorMsg(308,
                        "Invalid character state '%c' for taxon %d character %d.\tIn addition to use of an "
                        "undefined character-state symbol, other common causes of this error include incorrect "
                        "specification of number of taxa or characters, or failure to specify interleaved input "
                        "format.",
                        c, static_cast<int>(t + 1), static_cast<int>(k + 1));
}

int ForeignLines::next(std::string &line)
{
    line.clear();
    if (endPending_)
        readNextChar();
    endPending_ = readNextCharsThrough('\n', line);
    if (endPending_) {
        line.pop_back();
        putCharBack('\n');
        return 0;
    }
    return line.empty() ? -1 : 0;
}

int readForeignName(std::string &name, size_t maxLength)
{
    name.clear();
    auto keep = [&](int c) {
        if (name.size() < maxLength)
            name += static_cast<char>(c);
    };
    int c;
    while ((c = readNextChar()) == ' ' || c == '\t' || c == '\n') {
    }
    if (c < 0)
        return -1;
    if (c == '\'') {
        for (;;) {
            if ((c = readNextChar()) < 0)
                return importUnexpectedEnd();
            if (c == '\'') {
                c = readNextChar();
                if (c != '\'') {
                    putCharBack(c);
                    return 0;
                }
            }
            keep(c);
        }
    }
    for (; c >= 0 && c != ' ' && c != '\t' && c != '\n'; c = readNextChar())
        keep(c);
    putCharBack(c);
    return 0;
}

namespace {

// The names of the conversion in progress that had to be cut, by what they
// were cut to; the scanning and the writing pass both meet every name.
std::unordered_map<std::string, std::string> gCutNames;
bool gCutNamesClash = false;
std::vector<std::string> gTaxonLabels;  // of the conversion under way

}  // namespace

void resetImportedLabels()
{
    gCutNames.clear();
    gCutNamesClash = false;
    gTaxonLabels.clear();
}

void noteImportedTaxon(const std::string &label) { gTaxonLabels.push_back(label); }

bool importedLabelsClash() { return gCutNamesClash; }

std::string importedLabel(const char *name)
{
    std::string cut(name, strnlen(name, kMaxLabelLength));
    if (name[cut.size()] != '\0') {
        const auto [it, added] = gCutNames.try_emplace(cut, name);
        if (added) {
            qel_warningMsg(0, "Name \"%s...\" (%u characters) was cut to its first %u characters.", cut.c_str(),
                           static_cast<unsigned>(std::strlen(name)), static_cast<unsigned>(kMaxLabelLength));
        } else if (it->second != name && !gCutNamesClash) {
            gCutNamesClash = true;
            qel_errorMsg(0, "Two names begin with the same %u characters \"%s\": cut to that length, they would "
                            "be one name.\tShorten the names in the foreign file so that they differ in their "
                            "first %u characters.",
                         static_cast<unsigned>(kMaxLabelLength), cut.c_str(), static_cast<unsigned>(kMaxLabelLength));
        }
    }
    // Quoting at most doubles the length, plus the two quotes.
    std::string word(2 * cut.size() + 3, '\0');
    nexusizeString(cut.c_str(), word.data(), word.size());
    word.resize(std::strlen(word.c_str()));
    return word;
}

std::string commentSafe(std::string text)
{
    for (char &c : text) {
        if (c == '[')
            c = '(';
        else if (c == ']')
            c = ')';
    }
    return text;
}

int emitFormatCmd(ResizText *text, bool interleaved, const char *symbols)
{
    eprintf(text, "%*cFormat datatype=", 4, ' ');
    static constexpr const char *kMegaWords[] = {"DNA", "RNA", "nucleotide", "protein"};
    // A MEGA file names its own type (or has the one ToNEXUS was told, set
    // before it was read), whatever type an earlier conversion left.
    const bool megaType = imprt.format == kImportMega && imprt.megaDataType < 4;
    if (megaType) {
        eputs(kMegaWords[imprt.megaDataType], text);
        if (imprt.gapSymbol)
            eprintf(text, " gap=%c", imprt.gapSymbol);
    } else if (imprt.dataType == kImportStandard) {
        eprintf(text, "standard symbols=\"%s\"", symbols ? symbols : "");
        if (imprt.gapSymbol)
            eprintf(text, " gap=%c", imprt.gapSymbol);
    } else if (imprt.dataType == kImportDistance) {
        eputs("distance", text);
    } else {
        if (imprt.dataType == kImportProtein)
            eputs("protein", text);
        else if (imprt.dataType == kImportRestSite)
            // Restriction sites are present/absent characters; NEXUS has no
            // type word for them, so they go as standard data, absent "-" and
            // present "+" as the PHYLIP importer writes them.
            eputs("standard symbols=\"-+\"", text);
        else
            eputs("nucleotide", text);
        // "-" is a state of restriction sites, no gap.
        if (imprt.gapSymbol && imprt.dataType != kImportRestSite)
            eprintf(text, " gap=%c", imprt.gapSymbol);
    }
    if (imprt.missSymbol)
        eprintf(text, " missing=%c", imprt.missSymbol);
    if (imprt.identSymbol)
        eprintf(text, " matchchar=%c", imprt.identSymbol);
    if (interleaved)
        eputs(" interleave", text);
    if (imprt.equateMissing)
        eprintf(text, " equate=\"?=%c\"", imprt.missSymbol);
    eputs(";\n", text);
    return resizTextFailed(text) ? 1 : 0;
}

int importFile()
{
    gReplaceFile = 0;
    imprt.fromFile[0] = '\0';
    imprt.toFile[0] = '\0';
    if (setCmdParamVals(OptionSet::kToNexus) != 0)
        return 1;
    if (imprt.fromFile[0] == '\0')
        return qel_errorMsg(912, "No 'FromFile' file specified.");
    if (imprt.toFile[0] == '\0')
        return qel_errorMsg(913, "No 'ToFile' file specified.");
    if (imprt.format >= std::size(ImporterTable))
        return 1;
    const ImporterEntry &entry = ImporterTable[imprt.format];

    char dir[kPathnameBufSize];
    const char *directory = getActiveInputDirSpec(dir);
    InputStatus *caller = getActiveInput();
    InputStatus input;  // becomes the active input when opened
    if (openInputFile(imprt.fromFile, 0, directory, &input) != kOpenOK) {
        setActiveInput(caller);
        return 1;
    }
    const DataServices &services = dataServices();
    services.setStatusText("Importing file...");

    const std::string fromPath = streamPathnameForDisplay(input.stream, kDisplayPathLength);
    int status = 1;
    StreamInfo *out = nullptr;
    ResizText *text = createImportText(getInputDocSize(&input));
    // The output path is the user's as the input path was: resolved from the
    // same place, with a failure reported against the command, not against
    // the foreign file now being read.
    setActiveInput(caller);
    const int opened = text ? openOutputStream(imprt.toFile, gReplaceFile != 0, false, &out) : kOpenFailed;
    setActiveInput(&input);
    if (!text) {
        reportMemoryFailure();
    } else if (opened == kOpenDeclined) {
        status = 2;
    } else if (opened == kOpenOK) {
        eprintf(text, "#NEXUS \n\n[!\n%s file \"%s\"\n  (imported %s)\n]\n", entry.displayName,
                commentSafe(fromPath).c_str(), getDateTimeString().c_str());
        // Square brackets in a foreign file are data, not comments.
        const bool comments = setRecognizeNexusComments(false);
        resetImportedLabels();
        status = entry.importer(text);
        setRecognizeNexusComments(comments);
        if (status == 0 && importedLabelsClash())
            status = 1;  // reported where the names met
        // The NEXUS file reads with repeated names, but the taxa can then
        // be told apart only by number: said now, while the foreign file
        // can be mended.
        if (status == 0)
            warnRepeatedTaxonNames(gTaxonLabels);
        if (status == 0 && resizTextFailed(text)) {
            reportMemoryFailure();
            status = 1;
        }
        if (status == 0) {
            const uint64_t n = getResizTextLength(text);
            if (writeStreamData(out, getResizTextBuffer(text), n) != 0) {
                qel_errorMsg(0, "An error occurred while writing the converted file to disk.");
                status = 1;
            } else {
                qel_printf("\nFile \"%s\" (%s format) converted to NEXUS-format file ", fromPath.c_str(),
                           entry.displayName);
                qel_printf("\"%s\"\n", streamPathnameForDisplay(out, kDisplayPathLength).c_str());
            }
        }
    }
    // The new text goes to a temporary file that takes the target's name only
    // when closed: a failed conversion must leave an earlier file as it was,
    // and no empty file where none stood.
    if (status != 0)
        discardStream(&out);
    else if (out && closeStream(&out) != 0)
        status = 1;
    closeInputFile(&input);
    setActiveInput(caller);
    destroyResizText(text);
    services.clearStatusText();
    return status;
}

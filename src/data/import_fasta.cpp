// The FASTA and NBRF/PIR importers of ToNEXUS: aligned sequences, every one
// as long as the first, read once to count and measure and once to write.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

#include "cli/qel_cmdline.h"
#include "data/data_settings.h"
#include "data/exchange.h"
#include "data/getdata.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_io.h"
#include "qel/qel_textbuffer.h"

namespace {

constexpr size_t kMaxFastaNameLength = 1023;
constexpr size_t kMaxPirNameLength = 127;
// FASTA names end at white space only.
constexpr const char kNoPunctuation[] = "";

// What the scanning pass measures.
struct SequenceCounts {
    uint32_t ntax = 0;
    uint32_t nchar = 0;
    size_t maxNameWidth = 0;
};

bool isBlank(int c) { return c == ' ' || c == '\t' || c == '\n'; }

int nextNonBlank()
{
    int c;
    while ((c = readNextChar()) >= 0 && isBlank(c)) {
    }
    return c;
}

int tooManySequences()
{
    return qel_errorMsg(302, "Value of 'NTax' exceeds maximum permitted in this version of VORN (%d)",
                        static_cast<int>(kMaxTaxa));
}

// A sequence of `length` symbols, the ntax-th: the first fixes nchar.
int checkLength(SequenceCounts &counts, uint64_t length, const char *name)
{
    if (counts.ntax == 0) {
        if (length > UINT32_MAX)
            return qel_errorMsg(0, "Sequence \"%s\" is too long.", name);
        counts.nchar = static_cast<uint32_t>(length);
    } else if (length != counts.nchar) {
        return importLengthMismatch(name, length < counts.nchar);
    }
    if (counts.ntax == kMaxTaxa)
        return tooManySequences();
    counts.ntax++;
    return 0;
}

void writeDataHead(ResizText *text, const SequenceCounts &counts, const char *dataType)
{
    eprintf(text, "Begin data;\n    Dimensions ntax=%u nchar=%u;\n    Format datatype=%s gap=-;\n    Matrix\n",
            counts.ntax, counts.nchar, dataType);
}

void writeNameField(ResizText *text, const SequenceCounts &counts, const std::string &label)
{
    ewrite(label.data(), label.size(), text);
    for (size_t i = label.size(); i <= counts.maxNameWidth; i++)
        eputc(' ', text);
}

int readFastaFile(SequenceCounts &counts, bool writingPass, ResizText *text)
{
    SequenceCounts seen;
    std::string row;
    char name[kMaxFastaNameLength + 1];
    int c = nextNonBlank();
    while (c >= 0) {
        if (c == ';') {
            skipThruEOL();
            c = nextNonBlank();
            continue;
        }
        if (c != '>')
            return importRefused("FASTA");
        const int rc = readSpecialToken(name, sizeof name, nullptr, kNoPunctuation, nullptr, true);
        if (rc == kTokenEnd)
            break;
        if (rc < 0)
            return 1;
        if (skipThruEOL() != 0)
            return importUnexpectedEnd();
        const std::string label = importedLabel(name, kMaxFastaNameLength);
        if (writingPass)
            writeNameField(text, counts, label);
        else
            seen.maxNameWidth = std::max(seen.maxNameWidth, label.size());
        // The sequence runs to the next ">" or the end of the file.
        uint64_t length = 0;
        row.clear();
        while ((c = readNextChar()) >= 0 && c != '>') {
            if (isBlank(c))
                continue;
            if (c == ';') {
                skipThruEOL();
                continue;
            }
            length++;
            if (writingPass)
                row += static_cast<char>(c);
        }
        if (writingPass) {
            row += '\n';
            ewrite(row.data(), row.size(), text);
            continue;
        }
        if (checkLength(seen, length, name))
            return 1;
    }
    if (writingPass) {
        eputs("    ;\nEnd;\n", text);
        return 0;
    }
    if (seen.ntax == 0)
        return importRefused("FASTA");
    counts = seen;
    writeDataHead(text, counts, imprt.dataType == kImportNucleotide ? "nucleotide" : "protein");
    return 0;
}

// ---- NBRF/PIR -------------------------------------------------------------------

enum class PirType { None, Dna, Rna, Nucleotide, Protein };

const char *pirTypeWord(PirType type)
{
    switch (type) {
    case PirType::Dna:
        return "dna";
    case PirType::Rna:
        return "rna";
    case PirType::Protein:
        return "protein";
    default:
        return "nucleotide";
    }
}

int unsupportedPir(int code) { return qel_errorMsg(909, "Unsupported NBRF/PIR format: %c", code); }

// The type of a record with code letter c after the records so far.
int nextPirType(PirType &type, int c)
{
    const int u = std::toupper(c);
    const bool nucleotide = u == 'D' || u == 'R';
    const bool protein = u == 'F' || u == 'P';
    if (!nucleotide && !protein)
        return unsupportedPir(c);
    if (type == PirType::None) {
        type = u == 'D' ? PirType::Dna : u == 'R' ? PirType::Rna : PirType::Protein;
        return 0;
    }
    if ((nucleotide && type == PirType::Protein) || (protein && type != PirType::Protein))
        return qel_errorMsg(911, "You cannot mix different sequence types in the same NBRF/PIR file.");
    if ((u == 'R' && type == PirType::Dna) || (u == 'D' && type == PirType::Rna))
        type = PirType::Nucleotide;
    return 0;
}

// From after a record's ">" through its name; 0, -1 at the end of the
// records, or 1 after an error.
int readPirHeader(PirType *type, char *name, size_t size)
{
    const int code = readNextChar();
    if (code < 0)
        return importRefused("NBRF/PIR");
    if (type)
        if (int rc = nextPirType(*type, code))
            return rc;
    if (readNextChar() < 0)
        return importRefused("NBRF/PIR");
    if (skipThru(';') != 0)
        return qel_errorMsg(119, "Expecting semicolon (;), found \"%s\".\tCheck input formatting carefully (e.g., "
                                 "verify that the number of items supplied for a list is correct).",
                            "end-of-file");
    const int rc = readSpecialToken(name, static_cast<uint32_t>(size), nullptr, nullptr, nullptr, true);
    if (rc == kTokenEnd)
        return -1;
    if (rc < 0)
        return 1;
    // The rest of the name line, then the title line.
    if (skipThruEOL() != 0 || skipThruEOL() != 0)
        return importUnexpectedEnd();
    return 0;
}

int scanPir(SequenceCounts &counts, PirType &type)
{
    char name[kMaxPirNameLength + 1];
    int c;
    while ((c = nextNonBlank()) >= 0) {
        if (c != '>')
            return importRefused("NBRF/PIR");
        const int rc = readPirHeader(&type, name, sizeof name);
        if (rc < 0)
            break;
        if (rc > 0)
            return rc;
        counts.maxNameWidth = std::max(counts.maxNameWidth, importedLabel(name, kMaxPirNameLength).size());
        uint64_t length = 0;
        while ((c = readNextChar()) != '*') {
            if (c < 0)
                return importUnexpectedEnd();
            if (!isBlank(c))
                length++;
        }
        if (checkLength(counts, length, name))
            return 1;
    }
    return counts.ntax == 0 ? importRefused("NBRF/PIR") : 0;
}

int writePir(const SequenceCounts &counts, ResizText *text)
{
    char name[kMaxPirNameLength + 1];
    std::string row;
    for (uint32_t t = 0; t < counts.ntax; t++) {
        // Past the previous record's terminator.
        if (skipThru('>') != 0 || readPirHeader(nullptr, name, sizeof name) != 0)
            return importUnexpectedEnd();
        writeNameField(text, counts, importedLabel(name, kMaxPirNameLength));
        row.clear();
        while (row.size() < counts.nchar) {
            const int c = readNextChar();
            if (c < 0)
                return importUnexpectedEnd();
            if (!isBlank(c))
                row += static_cast<char>(c);
        }
        row += '\n';
        ewrite(row.data(), row.size(), text);
    }
    eputs("    ;\nEnd;\n", text);
    return 0;
}

}  // namespace

int importFasta(ResizText *text)
{
    const bool comments = setRecognizeNexusComments(false);
    SequenceCounts counts;
    int rc = readFastaFile(counts, false, text);
    if (rc == 0) {
        rewindCurrentInput();
        rc = readFastaFile(counts, true, text);
    }
    setRecognizeNexusComments(comments);
    return rc;
}

int importPIR(ResizText *text)
{
    const bool comments = setRecognizeNexusComments(false);
    SequenceCounts counts;
    PirType type = PirType::None;
    int rc = scanPir(counts, type);
    if (rc == 0) {
        writeDataHead(text, counts, pirTypeWord(type));
        rewindCurrentInput();
        rc = writePir(counts, text);
    }
    setRecognizeNexusComments(comments);
    return rc;
}

// The FASTA and NBRF/PIR importers of ToNEXUS: aligned sequences, every one
// as long as the first, read once to count and measure and once to write.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/qel_cmdline.h"
#include "data/data_settings.h"
#include "data/exchange.h"
#include "data/getdata.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_io.h"
#include "qel/qel_textbuffer.h"

namespace {

constexpr size_t kMaxFastaNameLength = 1023;
constexpr size_t kMaxPirNameLength = 127;

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

// The symbols of a FASTA sequence read through the input layer.
int readFastaSymbolsByChar(uint64_t &length, std::string *row)
{
    int c;
        while ((c = readNextChar()) >= 0 && c != '>') {
            if (isBlank(c))
                continue;
            if (c == ';') {
                skipThruEOL();
                continue;
            }
            length++;
        if (row)
            row->push_back(static_cast<char>(c));
    }
    return c;
}

constexpr size_t kBlockSize = 1 << 16;

bool isSymbol(char c) { return static_cast<unsigned char>(c) > ' ' && c != 127; }

// Written so that the compiler can count a line many bytes at a time.
size_t countSymbols(const char *p, const char *end)
{
    size_t n = 0;
    for (; p < end; p++)
        n += isSymbol(*p);
    return n;
}

void appendSymbols(std::string &row, const char *p, const char *end, size_t kept)
{
    if (kept == static_cast<size_t>(end - p)) {
        row.append(p, kept);
        return;
    }
    for (; p < end; p++)
        if (isSymbol(*p))
            row += *p;
}

// The symbols of a FASTA sequence up to the next ">" or the end of the
// input; returns that ">" (consumed) or -1. Sequence lines are nearly all of
// a file, so a file is read here in blocks straight from its stream, which is
// then put just after what was taken, with the input position brought up to
// date: in a sequence every control character and blank is skipped, so the
// symbols are those readNextChar would give.
int readFastaSymbols(uint64_t &length, std::string *row)
{
    InputStatus *in = getActiveInput();
    if (!in || !in->batch || in->isDocument || !in->stream || !in->stream->fp)
        return readFastaSymbolsByChar(length, row);
    FILE *fp = in->stream->fp;
    const char lineEnd = in->lineEndKind == kLineEndCR ? '\r' : '\n';
    const off_t start = ftello(fp);
    if (start < 0)
        return readFastaSymbolsByChar(length, row);
    std::vector<char> block(kBlockSize);
    uint64_t bytes = 0;  // consumed
    uint32_t lines = 0;
    bool inComment = false;
    int result = -1;
    size_t n;
    while (result < 0 && (n = std::fread(block.data(), 1, block.size(), fp)) > 0) {
        const char *p = block.data();
        const char *end = p + n;
        const char *semi = static_cast<const char *>(std::memchr(p, ';', n));
        const char *next = static_cast<const char *>(std::memchr(p, '>', n));
        while (p < end) {
            if (inComment) {
                const char *e = static_cast<const char *>(std::memchr(p, lineEnd, static_cast<size_t>(end - p)));
                if (!e) {
                    p = end;
                    break;
                }
                inComment = false;
                p = e;
                if (semi && semi < p)
                    semi = static_cast<const char *>(std::memchr(p, ';', static_cast<size_t>(end - p)));
                if (next && next < p)
                    next = static_cast<const char *>(std::memchr(p, '>', static_cast<size_t>(end - p)));
            }
            const char *stop = std::min(semi ? semi : end, next ? next : end);
            // Line by line up to the next ";" or ">".
            while (p < stop) {
                const char *e = static_cast<const char *>(std::memchr(p, lineEnd, static_cast<size_t>(stop - p)));
                const char *runEnd = e ? e : stop;
                const size_t kept = countSymbols(p, runEnd);
                length += kept;
                if (row)
                    appendSymbols(*row, p, runEnd, kept);
                if (!e) {
                    p = stop;
                    break;
                }
                lines++;
                p = e + 1;
            }
            if (p == end)
                break;
            if (p == next) {
                bytes += static_cast<uint64_t>(p + 1 - block.data());
                result = '>';
                break;
            }
            inComment = true;  // p is at the ";"
            p++;
        }
        if (result < 0)
            bytes += n;
        checkTermination();
    }
    // The stream goes on just after the ">" (or at the end).
    fseeko(fp, start + static_cast<off_t>(bytes), SEEK_SET);
    in->pos.lineNum += lines;
    in->pos.charCount += static_cast<uint32_t>(bytes - (result == '>' ? 1 : 0));
    in->prevPos = in->pos;
    if (result == '>')
        in->pos.charCount++;
    return result;
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
    if (writingPass)
        row.reserve(static_cast<size_t>(counts.nchar) + 1);
    std::string name;
    int c = nextNonBlank();
    while (c >= 0) {
        if (c == ';') {
            skipThruEOL();
            c = nextNonBlank();
            continue;
        }
        if (c != '>')
            return importRefused("FASTA");
        const int rc = readForeignName(name, kMaxFastaNameLength);
        if (rc < 0)
            break;
        if (rc > 0)
            return 1;
        if (skipThruEOL() != 0)
            return importUnexpectedEnd();
        const std::string label = importedLabel(name.c_str(), kMaxFastaNameLength);
        if (writingPass)
            writeNameField(text, counts, label);
        else
            seen.maxNameWidth = std::max(seen.maxNameWidth, label.size());
        uint64_t length = 0;
        row.clear();
        c = readFastaSymbols(length, writingPass ? &row : nullptr);
        if (writingPass) {
            row += '\n';
            ewrite(row.data(), row.size(), text);
            continue;
        }
        if (checkLength(seen, length, name.c_str()))
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

// The FASTA and NBRF/PIR importers of ToNEXUS: aligned sequences, every one
// as long as the first. FASTA is read once, PIR once to count and measure
// and once to write.
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
int readFastaSymbolsByChar(uint64_t &length, ResizText *row)
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
        eputc(c, row);
    }
    return c;
}

bool isSymbol(char c) { return static_cast<unsigned char>(c) > ' ' && c != 127; }

// Appends the symbols of [p, end) to row: in a sequence every control
// character and blank is skipped, so these are the characters readNextChar
// would give. Written so that the compiler can count a line many bytes at a
// time, and a line without blanks is copied whole.
void appendSymbols(ResizText *row, const char *p, const char *end, uint64_t &length)
{
    size_t kept = 0;
    for (const char *q = p; q < end; q++)
        kept += isSymbol(*q);
    length += kept;
    if (kept == static_cast<size_t>(end - p)) {
        ewrite(p, kept, row);
        return;
    }
    for (; p < end; p++)
        if (isSymbol(*p))
            eputc(*p, row);
}

// A line buffer for getdelim, freed with the reader.
struct LineBuffer {
    char *line = nullptr;
    size_t capacity = 0;
    LineBuffer() = default;
    LineBuffer(const LineBuffer &) = delete;
    LineBuffer &operator=(const LineBuffer &) = delete;
    ~LineBuffer() { std::free(line); }
};

// The symbols of a FASTA sequence up to the next ">" or the end of the
// input, appended to row; returns that ">" (consumed) or -1. Sequence lines
// are nearly all of a file, so a file's lines are taken whole from its
// stream and the input position is brought up to date once a line, not once
// a character: the line count stays exact for error reports.
int readFastaSymbols(uint64_t &length, ResizText *row, LineBuffer &buffer)
{
    InputStatus *in = getActiveInput();
    if (!in || !in->batch || in->isDocument || !in->stream || !in->stream->fp)
        return readFastaSymbolsByChar(length, row);
    FILE *fp = in->stream->fp;
    const char lineEnd = in->lineEndKind == kLineEndCR ? '\r' : '\n';
    for (uint32_t lines = 1;; lines++) {
        const int first = getc_unlocked(fp);
        if (first == EOF)
            return -1;
        if (first == '>') {
            in->prevPos = in->pos;
            in->pos.charCount++;
            return '>';
        }
        ungetc(first, fp);
        const ssize_t n = getdelim(&buffer.line, &buffer.capacity, lineEnd, fp);
        if (n <= 0)
            return -1;
        // A line holding a NUL byte goes back to the stream and is read
        // through the input layer, which skips it as a control byte.
        if (std::memchr(buffer.line, '\0', static_cast<size_t>(n))) {
            fseeko(fp, -static_cast<off_t>(n), SEEK_CUR);
            return readFastaSymbolsByChar(length, row);
        }
        const char *p = buffer.line;
        const char *end = p + n;
        const char *semi = static_cast<const char *>(std::memchr(p, ';', static_cast<size_t>(n)));
        const char *next = static_cast<const char *>(std::memchr(p, '>', static_cast<size_t>(semi ? semi - p : n)));
        if (next) {
            // A ">" inside a line starts the next record: the rest of the
            // line goes back to the stream.
            appendSymbols(row, p, next, length);
            fseeko(fp, -static_cast<off_t>(end - next - 1), SEEK_CUR);
            in->pos.charCount += static_cast<uint32_t>(next - p);
            in->prevPos = in->pos;
            in->pos.charCount++;
            return '>';
        }
        // A ";" makes the rest of its line a comment. The line end is no
        // symbol: left out here, the line is one run of symbols.
        const char *content = semi ? semi : end;
        while (content > p && (content[-1] == '\n' || content[-1] == '\r'))
            content--;
        appendSymbols(row, p, content, length);
        in->pos.charCount += static_cast<uint32_t>(n);
        if (end[-1] == lineEnd)
            in->pos.lineNum++;
        in->prevPos = in->pos;
        if (lines % 1024 == 0)
            checkTermination();
    }
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

std::string dataHead(const SequenceCounts &counts, const char *dataType)
{
    char head[160];
    std::snprintf(head, sizeof head,
                  "Begin data;\n    Dimensions ntax=%u nchar=%u;\n    Format datatype=%s gap=-;\n    Matrix\n",
                  counts.ntax, counts.nchar, dataType);
    return head;
}

void writeNameField(ResizText *text, const SequenceCounts &counts, const std::string &label)
{
    ewrite(label.data(), label.size(), text);
    for (size_t i = label.size(); i <= counts.maxNameWidth; i++)
        eputc(' ', text);
}

// Lays out the block in place once the counts and the label width are
// known: the rows were appended to the text at `rowsAt` one after the other,
// nchar symbols each. The text grows once to its full size and the rows move
// to their places from the last to the first; each moves forward, past the
// rows still to move, so none is overwritten before it has moved.
void layOutBlock(ResizText *text, uint64_t rowsAt, const SequenceCounts &counts,
                 const std::vector<std::string> &labels, const std::string &head)
{
    const uint64_t field = counts.maxNameWidth + 1;
    const uint64_t rowWidth = field + counts.nchar + 1;
    const uint64_t grow = head.size() + counts.ntax * (field + 1);
    ewrite(std::string(grow, ' ').data(), grow, text);
    if (resizTextFailed(text))
        return;
    char *base = getResizTextBuffer(text) + rowsAt;
    for (uint32_t t = counts.ntax; t-- > 0;) {
        char *to = base + head.size() + t * rowWidth;
        std::memmove(to + field, base + static_cast<uint64_t>(t) * counts.nchar, counts.nchar);
        std::memset(to, ' ', field);
        std::memcpy(to, labels[t].data(), labels[t].size());
        to[field + counts.nchar] = '\n';
    }
    std::memcpy(base, head.data(), head.size());
}

// One pass: the rows go straight into the text, and the block is laid out
// around them at the end, so that a large file is never held twice.
int readFastaFile(ResizText *text)
{
    SequenceCounts seen;
    std::vector<std::string> labels;
    const uint64_t rowsAt = getResizTextLength(text);
    LineBuffer buffer;
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
        const int rc = readForeignName(name, kMaxForeignName);
        if (rc < 0)
            break;
        if (rc > 0)
            return 1;
        if (skipThruEOL() != 0)
            return importUnexpectedEnd();
        std::string label = importedLabel(name.c_str());
        uint64_t length = 0;
        c = readFastaSymbols(length, text, buffer);
        if (checkLength(seen, length, name.c_str()))
            return 1;
        seen.maxNameWidth = std::max(seen.maxNameWidth, label.size());
        noteImportedTaxon(label);
        labels.push_back(std::move(label));
    }
    // Records without sequences would make an empty matrix.
    if (seen.ntax == 0 || seen.nchar == 0)
        return importRefused("FASTA");
    layOutBlock(text, rowsAt, seen, labels,
                dataHead(seen, imprt.dataType == kImportNucleotide ? "nucleotide" : "protein"));
    eputs("    ;\nEnd;\n", text);
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
    char name[kMaxForeignName + 1];
    int c;
    while ((c = nextNonBlank()) >= 0) {
        if (c != '>')
            return importRefused("NBRF/PIR");
        const int rc = readPirHeader(&type, name, sizeof name);
        if (rc < 0)
            break;
        if (rc > 0)
            return rc;
        counts.maxNameWidth = std::max(counts.maxNameWidth, importedLabel(name).size());
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
    return counts.ntax == 0 || counts.nchar == 0 ? importRefused("NBRF/PIR") : 0;
}

int writePir(const SequenceCounts &counts, ResizText *text)
{
    char name[kMaxForeignName + 1];
    std::string row;
    for (uint32_t t = 0; t < counts.ntax; t++) {
        // Past the previous record's terminator.
        if (skipThru('>') != 0 || readPirHeader(nullptr, name, sizeof name) != 0)
            return importUnexpectedEnd();
        const std::string label = importedLabel(name);
        noteImportedTaxon(label);
        writeNameField(text, counts, label);
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

int importFasta(ResizText *text) { return readFastaFile(text); }

int importPIR(ResizText *text)
{
    SequenceCounts counts;
    PirType type = PirType::None;
    int rc = scanPir(counts, type);
    if (rc == 0) {
        eputs(dataHead(counts, pirTypeWord(type)).c_str(), text);
        rewindCurrentInput();
        rc = writePir(counts, text);
    }
    return rc;
}

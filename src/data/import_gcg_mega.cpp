// The GCG-MSF and MEGA importers of ToNEXUS. Both keep the foreign header
// as NEXUS comments.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "cli/option_sets.h"
#include "cli/qel_cmdline.h"
#include "cli/qel_cmdoptions.h"
#include "data/data_settings.h"
#include "data/exchange.h"
#include "data/getdata.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_io.h"
#include "qel/qel_output.h"
#include "qel/qel_strings.h"
#include "qel/qel_textbuffer.h"

namespace {


// ---- GCG-MSF ----------------------------------------------------------------

int refusedGcg() { return importRefused("GCG/MSF"); }

std::string firstWord(const std::string &line, size_t from)
{
    const size_t b = line.find_first_not_of(" \t", from);
    if (b == std::string::npos)
        return "";
    return line.substr(b, line.find_first_of(" \t", b) - b);
}

// What the header says: the alignment length and whether it is nucleotide.
struct GcgHeader {
    uint32_t nchar = 0;
    bool nucleotide = false;
    uint32_t headLines = 0;  // lines through the ".." line
};

int readGcgHeader(GcgHeader &h)
{
    ForeignLines lines;
    std::string line;
    bool haveLength = false;
    bool haveType = false;
    while (lines.next(line) == 0) {
        h.headLines++;
        if (size_t at = line.find("MSF:"); at != std::string::npos && !haveLength) {
            const std::string n = firstWord(line, at + 4);
            if (n.empty() || n.size() > 9 || !std::all_of(n.begin(), n.end(), ::isdigit) || std::stoul(n) == 0)
                return refusedGcg();
            h.nchar = static_cast<uint32_t>(std::stoul(n));
            haveLength = true;
        }
        if (size_t at = line.find("Type:"); at != std::string::npos && !haveType) {
            const std::string t = firstWord(line, at + 5);
            h.nucleotide = !t.empty() && std::toupper(static_cast<unsigned char>(t[0])) == 'N';
            haveType = !t.empty();
        }
        if (line.find("..") != std::string::npos)
            return haveLength && haveType ? 0 : refusedGcg();
    }
    return refusedGcg();
}

bool startsWithName(const std::string &line, const std::string &name)
{
    const std::string word = firstWord(line, 0);
    return !word.empty() && stricmp(word.c_str(), name.c_str()) == 0;
}

// ---- MEGA -----------------------------------------------------------------

// kMegaRepeated: a sequential reading met a name a second time, the mark of
// an interleaved file.
enum : int { kMegaOK = 0, kMegaRefused = 1, kMegaReported = 2, kMegaRepeated = 3 };

int unterminatedQuote()
{
    qel_errorMsg(111, "Unterminated quote.\tMake sure quotes are balanced.");
    return kMegaReported;
}

// The rest of the current line, without its end (consumed).
std::string restOfLine()
{
    std::string rest;
    int c;
    while ((c = readNextChar()) >= 0 && c != '\n')
        rest += static_cast<char>(c);
    return rest;
}

bool onlyBlanks(const std::string &s, size_t from = 0)
{
    return s.find_first_not_of(" \t", from) == std::string::npos;
}

// Text through the next ";" (not kept), for a command's body.
int commandText(std::string &body)
{
    body.clear();
    int c;
    while ((c = readNextChar()) >= 0 && c != ';')
        body += static_cast<char>(c);
    return c < 0 ? -1 : 0;
}

// A word read from the input: the characters up to white space (the
// first `size` kept).
std::string readWord(size_t size)
{
    std::string word;
    int c;
    while ((c = readNextChar()) >= 0 && (c == ' ' || c == '\t' || c == '\n')) {
    }
    for (; c >= 0 && c != ' ' && c != '\t' && c != '\n'; c = readNextChar())
        if (word.size() < size)
            word += static_cast<char>(c);
    putCharBack(c);
    return word;
}

// The header of a MEGA file, through its title and commands; the first "#"
// or other command of the data is left unread.
int doMegaHeader(bool writingPass, ResizText *text)
{
    if (stricmp(readWord(16).c_str(), "#MEGA") != 0)
        return kMegaRefused;
    restOfLine();
    std::string title = readWord(16);
    // "TITLE:" is the old style with its colon.
    const bool colon = title.size() > 1 && title.back() == ':';
    if (colon)
        title.pop_back();
    const bool oldStyle = stricmp(title.c_str(), "TITLE") == 0 || stricmp(title.c_str(), "#TITLE") == 0;
    if (!oldStyle && stricmp(title.c_str(), "!TITLE") != 0)
        return kMegaRefused;
    std::string rest = restOfLine();
    if (oldStyle) {
        const size_t b = rest.find_first_not_of(" \t");
        if (!colon && b != std::string::npos && rest[b] == ':')
            rest.erase(0, b + 1);
        if (onlyBlanks(rest))
            return kMegaOK;
        if (writingPass)
            eprintf(text, "[!Title:%s", commentSafe(rest).c_str());
        // The title goes on to the first line that starts with "#".
        for (;;) {
            const int c = peekNextChar("");
            if (c < 0 || c == '#')
                break;
            const std::string line = restOfLine();
            if (writingPass)
                eprintf(text, "\n%s", commentSafe(line).c_str());
        }
        if (writingPass)
            eputs("]\n", text);
        return kMegaOK;
    }
    if (onlyBlanks(rest))
        return kMegaOK;
    if (const size_t semi = rest.find(';'); semi != std::string::npos)
        rest.erase(semi);
    if (writingPass)
        eprintf(text, "[!Title:%s\n]\n", commentSafe(rest).c_str());
    for (;;) {
        const int c = peekNextChar(nullptr);
        if (c < 0 || c == '#')
            return kMegaOK;
        if (c != '!') {
            readNextChar();
            continue;
        }
        InputStatus before;
        currentInputInfo(&before);
        const std::string command = readWord(16);
        if (stricmp(command.c_str(), "!Format") == 0) {
            if (setCmdParamVals(OptionSet::kMegaHeader) != 0)
                return kMegaReported;
        } else if (stricmp(command.c_str(), "!Description") == 0) {
            std::string body;
            if (commandText(body) != 0)
                return kMegaRefused;
            if (writingPass)
                eprintf(text, "\n[!Description:%s\n]\n", commentSafe(body).c_str());
        } else {
            // Another command belongs to the data.
            resetCurrentInput(&before);
            return kMegaOK;
        }
    }
}

struct MegaCounts {
    uint32_t ntax = 0;
    uint32_t nchar = 0;
    size_t labelWidth = 0;
};

// The data of a MEGA file after its header: rows and what lies between
// them. kMegaOK, kMegaRefused or kMegaReported.
int doMegaCharData(MegaCounts &counts, bool writingPass, ResizText *text)
{
    const bool interleaved = imprt.interleaved != 0;
    const int missing = imprt.missSymbol ? imprt.missSymbol : '?';
    uint32_t rowInBlock = 0;
    uint32_t blockCount = 0;
    uint64_t nchar = 0;
    uint32_t rows = 0;
    bool any = false;
    bool lineBlank = true;  // the line so far holds nothing but blanks
    std::unordered_set<std::string> names;  // folded, in a sequential scan
    int c = readNextChar();
    while (c >= 0) {
        if (c == '"') {
            std::string comment;
            while ((c = readNextChar()) >= 0 && c != '"')
                comment += static_cast<char>(c);
            if (c < 0)
                return unterminatedQuote();
            if (writingPass)
                eprintf(text, "[%s]", commentSafe(comment).c_str());
            lineBlank = false;
            c = readNextChar();
            continue;
        }
        if (c == '!') {
            std::string body;
            if (commandText(body) != 0)
                return kMegaRefused;
            if (writingPass)
                eprintf(text, "[%s]", commentSafe(body).c_str());
            lineBlank = false;
            c = readNextChar();
            continue;
        }
        if (c == '\n') {
            // Interleaved, an empty line after rows ends their block.
            if (interleaved && lineBlank && rowInBlock > 0) {
                nchar += blockCount;
                rowInBlock = 0;
            }
            lineBlank = true;
            if (writingPass)
                eputc('\n', text);
            c = readNextChar();
            continue;
        }
        if (c != '#') {
            if (c != ' ' && c != '\t') {
                lineBlank = false;
                if (writingPass)
                    eputc(c, text);
            }
            c = readNextChar();
            continue;
        }
        // A row.
        const std::string label = importedLabel(readWord(kMaxForeignName).c_str());
        if (!writingPass && !interleaved) {
            std::string key = label;
            for (char &k : key)
                k = static_cast<char>(std::tolower(static_cast<unsigned char>(k)));
            if (!names.insert(std::move(key)).second)
                return kMegaRepeated;
        }
        if (writingPass && nchar == 0)  // later blocks repeat the names
            noteImportedTaxon(label);
        std::string cells;
        uint32_t count = 0;
        for (c = readNextChar(); c >= 0; c = readNextChar()) {
            if (c == '\n' && interleaved)
                break;
            if (c == '#' && !interleaved)
                break;
            if (c == ' ' || c == '\t' || c == '\n')
                continue;
            if (c == '"') {
                std::string comment;
                while ((c = readNextChar()) >= 0 && c != '"')
                    comment += static_cast<char>(c);
                if (c < 0)
                    return unterminatedQuote();
                cells += "[" + commentSafe(comment) + "]";
                continue;
            }
            if (c == '?') {
                c = missing;
                if (missing != '?')
                    imprt.equateMissing = 1;
            }
            cells += static_cast<char>(c);
            count++;
        }
        if (rowInBlock == 0) {
            blockCount = count;
        } else if (count != blockCount) {
            qel_errorMsg(906,
                         "Taxon %u (%s) has %u characters%s; previous taxa had %u characters.\tIf \"interleave\" "
                         "setting is correct, check for other formatting problems.",
                         rowInBlock + 1, label.c_str(), count, interleaved ? " in this block" : "", blockCount);
            return kMegaReported;
        }
        if (rowInBlock == kMaxTaxa) {
            qel_errorMsg(302, "Value of 'NTax' exceeds maximum permitted in this version of VORN (%d)",
                         static_cast<int>(kMaxTaxa));
            return kMegaReported;
        }
        if (writingPass) {
            eprintf(text, "%-*s  %s\n", static_cast<int>(counts.labelWidth), label.c_str(), cells.c_str());
        } else {
            counts.labelWidth = std::max(counts.labelWidth, label.size());
        }
        any = true;
        rowInBlock++;
        rows = std::max(rows, rowInBlock);
        if (c == '\n') {
            // An interleaved row ends with its line.
            lineBlank = true;
            c = readNextChar();
        }
    }
    if (!any) {
        importUnexpectedEnd();
        return kMegaReported;
    }
    if (rowInBlock > 0)
        nchar += blockCount;
    if (nchar > UINT32_MAX - 1) {
        qel_errorMsg(0, "The MEGA file has too many sites.");
        return kMegaReported;
    }
    if (!writingPass) {
        counts.ntax = rows;
        counts.nchar = static_cast<uint32_t>(nchar);
    }
    return kMegaOK;
}

}  // namespace

int importGCG(ResizText *text)
{
    GcgHeader h;
    if (readGcgHeader(h) != 0)
        return 1;
    rewindCurrentInput();
    // The header, through the line after the ".." line, as a comment.
    ForeignLines lines;
    std::string line;
    eputs("\n[", text);
    for (uint32_t i = 0; i <= h.headLines && lines.next(line) == 0; i++)
        eprintf(text, "%s\n", commentSafe(line).c_str());
    eputs("]\n\n", text);
    // The names start right after the ".." line, whatever the comment took.
    rewindCurrentInput();
    lines = ForeignLines();
    for (uint32_t i = 0; i < h.headLines; i++)
        lines.next(line);
    std::vector<std::string> names;
    size_t width = 0;
    for (;;) {
        if (lines.next(line) != 0)
            return refusedGcg();
        if (line.rfind("//", 0) == 0)
            break;
        const size_t colon = line.find(':');
        if (colon == std::string::npos || onlyBlanks(line))
            continue;
        const std::string name = firstWord(line, colon + 2).substr(0, kMaxForeignName);
        if (name.empty())
            return refusedGcg();
        if (names.size() == kMaxTaxa)
            return qel_errorMsg(302, "Value of 'NTax' exceeds maximum permitted in this version of VORN (%d)",
                                static_cast<int>(kMaxTaxa));
        names.push_back(name);
    }
    if (names.empty())
        return refusedGcg();
    std::vector<std::string> labels;
    for (const std::string &name : names) {
        labels.push_back(importedLabel(name.c_str()));
        noteImportedTaxon(labels.back());
        width = std::max(width, labels.back().size() + 2);
    }
    eprintf(text,
            "Begin data;\n    Dimensions ntax=%u nchar=%u;\n    Format datatype=%s interleave gap=. missing=~ "
            "equate=\"-=.\";\n    Matrix\n",
            static_cast<uint32_t>(names.size()), h.nchar, h.nucleotide ? "nucleotide" : "protein");
    const char *accepted = h.nucleotide ? "ABCDGHKMNRSTUVWXY" : "ABCDEFGHIKLMNPQRSTVWXYZ*";
    std::vector<uint32_t> done(names.size(), 0);
    while (std::any_of(done.begin(), done.end(), [&](uint32_t n) { return n < h.nchar; })) {
        if (done[0] > 0)
            eputc('\n', text);
        for (size_t t = 0; t < names.size(); t++) {
            do {
                if (lines.next(line) != 0)
                    return refusedGcg();
            } while (!startsWithName(line, names[t]));
            std::string row(width > labels[t].size() ? width - labels[t].size() : 0, ' ');
            row += labels[t] + "  ";
            const size_t from = line.find_first_not_of(" \t");
            size_t i = line.find_first_of(" \t", from);
            for (; i < line.size() && done[t] < h.nchar; i++) {
                const char c = line[i];
                if (c == ' ' || c == '\t')
                    continue;
                if (c != '~' && c != '-' && c != '.' && !std::strchr(accepted, c))
                    return importInvalidSymbol(c, static_cast<uint32_t>(t), done[t]);
                row += c;
                if (++done[t] % 10 == 0)
                    row += ' ';
            }
            // Characters past the header's length would be lost without a
            // word; the file disagrees with itself and only the user can say
            // which is right.
            if (i < line.size() && line.find_first_not_of(" \t", i) != std::string::npos)
                return qel_errorMsg(0, "Sequence \"%s\" has more than the %u characters given by \"MSF:\".",
                                    names[t].c_str(), h.nchar);
            row += '\n';
            ewrite(row.data(), row.size(), text);
        }
    }
    eputs("    ;\nEnd;\n", text);
    return 0;
}

namespace {

// The counted matrix, written: the header again for its comments, then
// the rows.
int readMegaMatrix(int rc, MegaCounts &counts, ResizText *text)
{
    if (rc == kMegaRefused)
        return importRefused("MEGA");
    if (rc != kMegaOK)
        return 1;
    // Rows without sites (an interleaved reading of a file whose sequences
    // stand on the lines after their names) would make an empty matrix.
    if (counts.nchar == 0)
        return importRefused("MEGA");
    if (imprt.megaNtax > 0 && static_cast<uint32_t>(imprt.megaNtax) != counts.ntax)
        qel_printf("\nWarning: Number of taxa specified in MEGA format statement does not match file contents.\n");
    if (imprt.megaNsites > 0 && static_cast<uint32_t>(imprt.megaNsites) != counts.nchar)
        qel_printf("\nWarning: Number of sites specified in MEGA format statement does not match file contents.\n");
    rewindCurrentInput();
    eputs("\nBegin data;\n", text);
    // The header is read again only for its comments: its settings stand.
    const ImportOptions settings = imprt;
    rc = doMegaHeader(true, text);
    imprt = settings;
    if (rc != kMegaOK)
        return rc == kMegaRefused ? importRefused("MEGA") : 1;
    eprintf(text, "    Dimensions ntax=%u nchar=%u;\n", counts.ntax, counts.nchar);
    if (emitFormatCmd(text, imprt.interleaved != 0, nullptr) != 0)
        return 1;
    eputs("    Matrix\n", text);
    rc = doMegaCharData(counts, true, text);
    if (rc != kMegaOK)
        return rc == kMegaRefused ? importRefused("MEGA") : 1;
    eputs("    ;\nEnd;\n", text);
    return 0;
}

}  // namespace

int importMega(ResizText *text)
{
    // The header's symbols are this file's: the next conversion starts from
    // the ToNEXUS settings it was given, not from them.
    struct KeepSymbols {
        const int32_t gap = imprt.gapSymbol, missing = imprt.missSymbol, ident = imprt.identSymbol;
        ~KeepSymbols()
        {
            imprt.gapSymbol = gap, imprt.missSymbol = missing, imprt.identSymbol = ident;
            imprt.equateMissing = 0;
        }
    } keep;
    imprt.megaNtax = 0;
    imprt.megaNsites = 0;
    imprt.equateMissing = 0;
    // A file that names no type has the one ToNEXUS was told.
    imprt.megaDataType = imprt.dataType == kImportProtein ? kMegaProtein : kMegaNucleotide;
    MegaCounts counts;
    int rc = doMegaHeader(false, text);
    if (rc == kMegaOK)
        rc = doMegaCharData(counts, false, text);
    // Read as sequential, an interleaved file would give each taxon once per
    // block; it is read again as what it is.
    const uint8_t askedInterleaved = imprt.interleaved;
    if (rc == kMegaRepeated) {
        qel_printf("\nNote: Taxon names repeat in the MEGA file; it is read as interleaved.\n");
        imprt.interleaved = 1;
        rewindCurrentInput();
        counts = MegaCounts{};
        rc = doMegaHeader(false, text);
        if (rc == kMegaOK)
            rc = doMegaCharData(counts, false, text);
    }
    rc = readMegaMatrix(rc, counts, text);
    imprt.interleaved = askedInterleaved;
    return rc;
}

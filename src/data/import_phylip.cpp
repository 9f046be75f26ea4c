// The PHYLIP importer of ToNEXUS: strict (10-character names) and relaxed
// (a word) PHYLIP, character matrices sequential or interleaved, distance
// matrices in three layouts, and the trees that may follow a matrix.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "cli/qel_cmdline.h"
#include "data/data_settings.h"
#include "data/distmatrix.h"
#include "data/exchange.h"
#include "data/getdata.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_io.h"
#include "qel/qel_malloc.h"
#include "qel/qel_strings.h"
#include "qel/qel_textbuffer.h"

namespace {

constexpr size_t kFirstLineLength = 256;
constexpr size_t kStrictNameLength = 10;
constexpr uint64_t kMaxCells = uint64_t{1} << 40;
constexpr const char kTreeCountPunctuation[] = ";";

// Carried from the scanning pass to the writing pass.
struct PhylipMeasures {
    size_t maxLabelWidth = 0;
    double maxDistance = 0.0;
    uint32_t maxDecimals = 0;
};

const char *acceptedSymbols(uint32_t dataType)
{
    switch (dataType) {
    case kImportProtein:
        return "ABCDEFGHIKLMNPQRSTVWXYZ*?-.";
    case kImportRestSite:
        return "-+01?.";
    case kImportStandard:
        return "01PB?";
    default:
        // Without "X": a nucleotide matrix holding it could not be read back.
        return "ABCDGHKMNORSTUVWY?-.";
    }
}

bool isRowBlank(int c) { return c == ' ' || c == '\t'; }

class PhylipReader {
  public:
    PhylipReader(PhylipMeasures &m, bool writingPass, ResizText *text)
        : m_(m), writing_(writingPass), text_(text), dataType_(imprt.dataType),
          accepted_(acceptedSymbols(imprt.dataType)), isDistance_(imprt.dataType == kImportDistance),
          relaxed_(imprt.format == kImportRelPhylip)
    {
        for (int c = 1; c < 256; c++)
            if (const int s = convert(c))
                acceptedTable_[c] = std::strchr(accepted_, std::toupper(s)) != nullptr;
    }

    int read()
    {
        if (int rc = readFirstLine())
            return rc;
        if (writing_)
            writeHead();
        int rc = isDistance_ ? readDistances() : imprt.interleaved ? readInterleaved() : readSequential();
        if (rc)
            return rc;
        if (!writing_) {
            if (firstInvalid_)
                qel_warningMsg(908, "Invalid symbol(s) encountered in PHYLIP data matrix (first is '%c').",
                               firstInvalid_);
            return 0;
        }
        eputs("    ;\nEnd;\n", text_);
        copyTrees();
        return 0;
    }

  private:
    const char *formatName() const { return relaxed_ ? "relaxed PHYLIP" : "PHYLIP"; }

    int readFirstLine()
    {
        std::string line;
        int c;
        while ((c = readNextChar()) >= 0 && c != '\n')
            if (line.size() < kFirstLineLength)
                line += static_cast<char>(c);
        std::vector<std::string> words;
        for (size_t i = 0; i < line.size();) {
            if (isRowBlank(line[i])) {
                i++;
                continue;
            }
            const size_t j = line.find_first_of(" \t", i);
            words.push_back(line.substr(i, j - i));
            i = j == std::string::npos ? line.size() : j;
        }
        const size_t needed = isDistance_ ? 1 : 2;
        if (words.size() < needed || stringToUInt(words[0].c_str(), &ntax_) != kConvOk || ntax_ == 0 ||
            (!isDistance_ && (stringToUInt(words[1].c_str(), &nchar_) != kConvOk || nchar_ == 0)))
            return importRefused(formatName());
        if (ntax_ > kMaxTaxa)
            return qel_errorMsg(302, "Value of 'NTax' exceeds maximum permitted in this version of VORN (%d)",
                                static_cast<int>(kMaxTaxa));
        uint64_t cells;
        if (!isDistance_ && (!checkedSizeProduct(ntax_, nchar_, &cells) || cells > kMaxCells))
            return qel_errorMsg(0, "The data matrix of %u taxa by %u characters is too large.", ntax_, nchar_);
        if (words.size() > needed && !writing_)
            qel_warningMsg(904, "VORN does not understand PHYLIP options on the first line. You may need to delete "
                                "extra lines associated with these options before the file can be imported "
                                "successfully.\tTwo integers are expected for character data, and one integer for "
                                "distance data.  Any additional tokens will be ignored.");
        try {
            labels_.reserve(ntax_);
        } catch (...) {
            reportMemoryFailure();
            return 1;
        }
        return 0;
    }

    void writeHead()
    {
        if (isDistance_) {
            static constexpr const char *kTriangle[] = {"lower", "lower", "both"};
            static constexpr const char *kDiagonal[] = {" diagonal=no", " diagonal=yes", ""};
            const uint32_t layout = std::min<uint32_t>(imprt.dmatrix, kDmatrixFull);
            eprintf(text_, "Begin distances;\n    Dimensions newtaxa=y ntax=%u;\n    Format triangle=%s%s;\n",
                    ntax_, kTriangle[layout], kDiagonal[layout]);
        } else {
            const char *format = dataType_ == kImportStandard   ? "symbols=\"01\" missing=? equate=\"p=(01)\""
                                 : dataType_ == kImportRestSite ? "symbols=\"-+\" missing=? matchchar=."
                                 : dataType_ == kImportProtein  ? "datatype=protein gap=- missing=? matchchar=."
                                                                : "datatype=nucleotide gap=- missing=? matchchar=.";
            eprintf(text_, "Begin data;\n    Dimensions ntax=%u nchar=%u;\n    Format %s%s;\n", ntax_, nchar_,
                    format, imprt.interleaved ? " interleave" : "");
        }
        eputs("    Matrix\n", text_);
    }

    // The name at the start of a row of the first block; 0, or 1 after an
    // error report.
    int readName()
    {
        std::string name;
        nameEndedLine_ = false;
        if (relaxed_) {
            const int rc = readForeignName(name, kMaxForeignName);
            if (rc < 0)
                return importUnexpectedEnd();
            if (rc > 0)
                return 1;
        } else {
            int c;
            while ((c = readNextChar()) == '\n') {
            }
            for (size_t n = 0;;) {
                if (c < 0)
                    return importUnexpectedEnd();
                if (c == '\n') {
                    nameEndedLine_ = true;
                    break;
                }
                name += static_cast<char>(c);
                if (++n == kStrictNameLength)
                    break;
                c = readNextChar();
            }
            const size_t first = name.find_first_not_of(" \t");
            const size_t last = name.find_last_not_of(" \t");
            name = first == std::string::npos ? std::string() : name.substr(first, last - first + 1);
        }
        std::string label = importedLabel(name.c_str());
        if (!writing_)
            m_.maxLabelWidth = std::max(m_.maxLabelWidth, label.size());
        else
            noteImportedTaxon(label);
        names_.push_back(std::move(name));
        labels_.push_back(std::move(label));
        return 0;
    }

    void writeNameField(uint32_t t) const
    {
        eprintf(text_, "%-*s", static_cast<int>(m_.maxLabelWidth + 2), labels_[t].c_str());
    }

    // The symbol as written, or 0 when it is skipped.
    int convert(int c) const
    {
        switch (dataType_) {
        case kImportNucleotide:
            if (std::isdigit(c))
                return 0;
            return c == 'O' || c == 'o' ? '-' : c;
        case kImportProtein:
            return std::isdigit(c) ? 0 : c;
        case kImportRestSite:
            return c == '0' ? '-' : c == '1' ? '+' : c;
        case kImportStandard:
            return c == 'P' || c == 'p' || c == 'B' || c == 'b' ? 'p' : c;
        default:
            return c;
        }
    }

    // One symbol of taxon t, which has `count` so far; 0, or 1 after error
    // 308.
    int takeSymbol(int c, uint32_t t, uint64_t &count, std::string &row)
    {
        const int s = convert(c);
        if (!s)
            return 0;
        if (!writing_ && !acceptedTable_[c]) {
            if (std::isalnum(c))
                return importInvalidSymbol(c, t, count);
            if (!firstInvalid_)
                firstInvalid_ = c;
        }
        count++;
        if (writing_)
            row += static_cast<char>(s);
        return 0;
    }

    // The rest of the current line in line_, read in bulk; the reader
    // stays on the line (its end is given back) so that an error found in it
    // names it. True when the line has an end, which endLine then takes.
    bool takeLine()
    {
        line_.clear();
        const bool ended = readNextCharsThrough('\n', line_);
        if (ended) {
            line_.pop_back();
            putCharBack('\n');
        }
        return ended;
    }

    void endLine() { readNextChar(); }

    int readSequential()
    {
        std::string row;
        for (uint32_t t = 0; t < ntax_; t++) {
            if (int rc = readName())
                return rc;
            row.clear();
            uint64_t count = 0;
            while (count < nchar_) {
                const bool ended = takeLine();
                size_t i = 0;
                for (; i < line_.size() && count < nchar_; i++) {
                    const int c = static_cast<unsigned char>(line_[i]);
                    if (!isRowBlank(c) && takeSymbol(c, t, count, row))
                        return 1;
                }
                // A row that goes on past nchar would lose its last symbols:
                // that is an error, but position numbers at the end of a
                // sequence line are not symbols.
                for (; i < line_.size() && !writing_; i++) {
                    const int c = static_cast<unsigned char>(line_[i]);
                    if (!isRowBlank(c) && convert(c) != 0)
                        return importLengthMismatch(names_[t].c_str(), false);
                }
                if (ended)
                    endLine();
                else if (count < nchar_ || t + 1 < ntax_)
                    return importUnexpectedEnd();
            }
            if (writing_) {
                writeNameField(t);
                ewrite(row.data(), row.size(), text_);
                eputc('\n', text_);
            }
        }
        return 0;
    }

    int readInterleaved()
    {
        std::vector<uint64_t> counts(ntax_, 0);
        std::string row;
        for (uint32_t block = 0;; block++) {
            for (uint32_t t = 0; t < ntax_; t++) {
                if (block == 0)
                    if (int rc = readName())
                        return rc;
                row.clear();
                const bool ended = takeLine();
                for (const char ch : line_) {
                    const int c = static_cast<unsigned char>(ch);
                    if (!isRowBlank(c) && takeSymbol(c, t, counts[t], row))
                        return 1;
                }
                if (ended)
                    endLine();
                if (writing_) {
                    if (block > 0 && t == 0)
                        eputc('\n', text_);
                    writeNameField(t);
                    ewrite(row.data(), row.size(), text_);
                    eputc('\n', text_);
                }
                if (!ended && t + 1 < ntax_)
                    return importUnexpectedEnd();
            }
            if (counts[ntax_ - 1] >= nchar_)
                break;
            for (;;) {
                const int c = readNextChar();
                if (c < 0)
                    return importUnexpectedEnd();
                if (c != '\n' && !isRowBlank(c)) {
                    putCharBack(c);
                    break;
                }
            }
        }
        // Rows of unequal length would make a matrix the data reader refuses.
        if (!writing_)
            for (uint32_t t = 0; t < ntax_; t++)
                if (counts[t] != nchar_)
                    return importLengthMismatch(names_[t].c_str(), counts[t] < nchar_);
        return 0;
    }

    int readDistances()
    {
        const char *punct = getNumericPunct();
        char buffer[64];
        std::string row;
        for (uint32_t i = 0; i < ntax_; i++) {
            if (int rc = readName())
                return rc;
            const uint32_t n = imprt.dmatrix == kDmatrixFull ? ntax_ : imprt.dmatrix == kDmatrixDiagLower ? i + 1 : i;
            if (writing_)
                writeNameField(i);
            for (uint32_t j = 0; j < n; j++) {
                uint32_t decimals = 0;
                // A PHYLIP row holds numbers only, its diagonal too: a word
                // there means the layout (or the taxon count) is not what
                // the import was told, so the diagonal is checked as a value.
                double v = readDistanceValue(punct, false, buffer, sizeof buffer, &decimals);
                if (v == kBadDistanceValue)
                    return 1;
                if (j == i) {
                    if (v < 0)
                        return invalidDistanceValue(buffer);
                    v = 0.0;
                    decimals = 0;
                }
                if (!writing_) {
                    m_.maxDistance = std::max(m_.maxDistance, v);
                    m_.maxDecimals = std::max(m_.maxDecimals, decimals);
                } else {
                    const int places = static_cast<int>(m_.maxDecimals);
                    eprintf(text_, "%*.*f", static_cast<int>(numDigitsFlt(places, m_.maxDistance) + 2), places, v);
                }
            }
            if (writing_)
                eputc('\n', text_);
            // A row of no values may have ended with its name's line.
            if (n == 0 && nameEndedLine_)
                continue;
            if (skipThruEOL() != 0 && i + 1 < ntax_)
                return importUnexpectedEnd();
        }
        return 0;
    }

    // The trees that may follow the matrix: a count, then that many Newick
    // descriptions. The import stands even when they are cut short.
    void copyTrees()
    {
        char word[32];
        if (readSpecialToken(word, sizeof word, nullptr, kTreeCountPunctuation, nullptr, true) != kTokenPlain)
            return;
        uint32_t ntrees;
        if (!isAllDigit(word) || stringToUInt(word, &ntrees) != kConvOk || ntrees == 0)
            return;
        const bool comments = setRecognizeNexusComments(true);
        eputs("\nBegin trees;\n", text_);
        std::string tree;
        for (uint32_t k = 1; k <= ntrees; k++) {
            tree.clear();
            int c;
            bool quoted = false;  // blanks inside a quoted label are part of it
            while ((c = quoted ? readNextChar() : readNextNoncommentChar()) >= 0 && (quoted || c != ';')) {
                if (c == '\'')
                    quoted = !quoted;
                if (quoted || (c != ' ' && c != '\t' && c != '\n'))
                    tree += static_cast<char>(c);
            }
            if (c < 0) {
                // A description without its end would spoil the block.
                importUnexpectedEnd();
                break;
            }
            eprintf(text_, "    tree PHYLIP%u = %s;\n", k, tree.c_str());
            skipThruEOL();
        }
        eputs("End;\n", text_);
        setRecognizeNexusComments(comments);
    }

    PhylipMeasures &m_;
    const bool writing_;
    ResizText *text_;
    const uint32_t dataType_;
    const char *accepted_;
    bool acceptedTable_[256] = {};  // by input character: its symbol is accepted
    std::string line_;
    const bool isDistance_;
    const bool relaxed_;
    uint32_t ntax_ = 0;
    uint32_t nchar_ = 0;
    int firstInvalid_ = 0;
    bool nameEndedLine_ = false;  // a strict name was cut short by its line's end
    std::vector<std::string> names_;   // as read
    std::vector<std::string> labels_;  // NEXUS words
};

int readPhylipFile(PhylipMeasures &measures, bool writingPass, ResizText *text)
{
    PhylipReader reader(measures, writingPass, text);
    return reader.read();
}

}  // namespace

int importPhylip(ResizText *text)
{
    PhylipMeasures measures;
    int rc = readPhylipFile(measures, false, text);
    if (rc == 0) {
        rewindCurrentInput();
        rc = readPhylipFile(measures, true, text);
    }
    return rc;
}

#include "data/export.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#if defined(__SSSE3__) && defined(__SSE4_1__)
#include <smmintrin.h>
#endif

#include "cli/option_sets.h"
#include "cli/qel_cmdoptions.h"
#include "cli/shell_settings.h"
#include "data/codons.h"
#include "data/data_services.h"
#include "data/data_settings.h"
#include "data/prepdata.h"
#include "data/taxlabels.h"
#include "data/vorn_util.h"
#include "qel/qel_auxout.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_output.h"
#include "qel/qel_strings.h"

namespace {

constexpr const char *kMessageNames[kNumExportFormats] = {
    "PHYLIP", "Relaxed PHYLIP", "Fasta", "Hennig86", "tab-delimited text", "simple text", "Nexus", "MEGA"};
constexpr const char *kTypeWords[] = {"standard", "dna", "rna", "nucleotide", "protein"};
constexpr size_t kStrictPhylipName = 10;
constexpr size_t kMaxTextLabelField = 32;
constexpr size_t kMaxMegaLabel = 50;
constexpr uint32_t kShownPathLength = 255;

// How one written unit turns cells into columns.
enum class Unit : uint8_t {
    Plain,   // one column, the cell's symbol
    Binary,  // an ordered character as (states - 1) binary columns
    Codon,   // three characters translated to one amino acid
};

struct WrittenUnit {
    uint32_t c;       // the (first) character
    uint32_t width;   // columns written
    uint32_t column;  // its first column
    Unit kind;
    uint32_t codon[3];  // a codon's three characters
};

std::string blanksToUnderscores(std::string s)
{
    std::replace(s.begin(), s.end(), ' ', '_');
    return s;
}

char hennigStateSymbol(uint32_t s)
{
    if (s < 10)
        return static_cast<char>('0' + s);
    if (s < 36)
        return static_cast<char>('a' + s - 10);
    if (s < 62)
        return static_cast<char>('A' + s - 36);
    return '@';
}

// out[i] = table[codes[i]] for n cells. Codes below 16 and the gap code
// are looked up sixteen at a time where the processor has byte shuffles;
// any other code gives 0 there, which the caller finds and redoes.
void translateCodes(const char (&table)[256], const uint8_t *codes, size_t n, char *out)
{
    size_t i = 0;
#if defined(__SSSE3__) && defined(__SSE4_1__)
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i *>(table));
    const __m128i gap = _mm_set1_epi8(table[kGapCode]);
    const __m128i gapCode = _mm_set1_epi8(static_cast<char>(kGapCode));
    const __m128i fifteen = _mm_set1_epi8(15);
    for (; i + 16 <= n; i += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(codes + i));
        const __m128i small = _mm_cmpeq_epi8(_mm_min_epu8(x, fifteen), x);
        __m128i y = _mm_and_si128(_mm_shuffle_epi8(low, x), small);
        y = _mm_blendv_epi8(y, gap, _mm_cmpeq_epi8(x, gapCode));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i), y);
    }
#endif
    for (; i < n; i++)
        out[i] = table[codes[i]];
}

class Exporter {
  public:
    Exporter(DataInfo *d, uint32_t format, const char *lineBreak)
        : d_(d), format_(format), lb_(lineBreak), hennig_(format == kExportHennig),
          textFormat_(format == kExportTabText || format == kExportText || format == kExportNexus),
          // FASTA and Hennig86 have no interleaved form: a record per block
          // would repeat every name, and readers take the repeats as new
          // sequences or refuse the file; their sequences are written whole.
          interleaved_(exprt.interleaved && format != kExportFasta && format != kExportHennig)
    {
    }

    // Chooses the units written; 0, or 1 after an error report.
    int plan();
    void writeHead(const std::string &shownPath);
    // 0, or 2 when interrupted.
    int writeMatrix();
    void writeTrailer();
    void report(const std::string &shownPath) const;
    void warnAboutCutLabels() const;

  private:
    bool isOrdered(uint32_t c) const;
    uint32_t storedRow(int32_t t) const;
    bool isPolymorphicCell(int32_t t, uint32_t c) const;
    bool hasMultistateCell(uint32_t c) const;
    void makeLabels();
    char missingSymbol() const;
    void appendCell(int32_t t, const WrittenUnit &u, uint32_t from, uint32_t to, std::string &row);
    void appendPlainCell(int32_t t, uint32_t c, std::string &row);
    void appendBinaryColumns(int32_t t, uint32_t c, uint32_t from, uint32_t to, std::string &row);
    void appendCodon(int32_t t, const uint32_t (&three)[3], std::string &row);
    void appendPlainRun(int32_t t, uint32_t from, uint32_t to, std::string &row);
    template <typename CodeAt>
    void appendPlainColumns(int32_t t, uint32_t from, uint32_t to, std::string &row, CodeAt codeAt);
    void writeRow(int32_t t, uint32_t from, uint32_t to, bool firstBlock);

    DataInfo *d_;
    uint32_t format_;
    const char *lb_;
    bool hennig_;
    bool textFormat_;  // writes multistate cells in brackets
    bool interleaved_;
    bool hennigSpaced_ = false;
    char miss_ = '?';
    std::vector<WrittenUnit> units_;
    uint32_t columns_ = 0;
    uint32_t included_ = 0;
    uint32_t notExported_ = 0;
    bool someExcluded_ = false;
    std::vector<std::string> labels_;
    size_t labelField_ = 0;
    std::vector<uint32_t> codeSymbol_;  // initStateCodeMap, with its slot for the gap code
    char codonToAA_[kNumCodons] = {};
    std::string aaLetters_;
    std::vector<uint32_t> unitColumns_;
    // Every unit one plain column: rows are written through fast_, reading
    // the characters from plainChars_ (a small array that stays in cache
    // while the rows stream past), or straight along the row when every
    // character is written.
    bool plainOnly_ = false;
    bool allChars_ = false;
    std::vector<uint32_t> plainChars_;
    std::string cells_;  // one row's symbols, reused
    char fast_[256] = {};  // the symbol of a code, 0 where the cell needs a closer look
    // What the notes count.
    bool multistateToMissing_ = false;
    bool hennigLetters_ = false;
    uint32_t stops_ = 0;
    uint32_t ambiguous_ = 0;
    uint32_t partialGaps_ = 0;
    bool anyWritten_ = false;
};

bool Exporter::isOrdered(uint32_t c) const
{
    if (d_->status[c] & kCharStateTree)
        return true;
    const uint32_t type = dataServices().getPkdType(c, d_);
    return type == kCharOrdered || type == kCharIrreversible || type == kCharDollo;
}

uint32_t Exporter::storedRow(int32_t t) const
{
    return d_->taxa.activeToOriginal ? d_->taxa.activeToOriginal[t] : static_cast<uint32_t>(t);
}

// Whether the cell was read as a polymorphism, whatever msTaxa makes of it
// in analyses: the written file keeps what was read.
bool Exporter::isPolymorphicCell(int32_t t, uint32_t c) const
{
    const SetFamily *f = d_->polyCells;
    const uint32_t row = storedRow(t);
    return f && row < f->numSets && c < f->capacity && isBitVecMember(f->rows[row], c);
}

bool Exporter::hasMultistateCell(uint32_t c) const
{
    for (int32_t t = 0; t < d_->nActive; t++) {
        const uint8_t x = getXijRaw(d_, t, c);
        if (x != kGapCode && x > d_->nstates)
            return true;
    }
    return false;
}

int Exporter::plan()
{
    std::vector<uint32_t> chars;
    for (uint32_t c = 0; c < d_->nchar; c++) {
        if (d_->status[c] & kCharExcluded)
            someExcluded_ = true;
        else
            chars.push_back(c);
    }
    included_ = static_cast<uint32_t>(chars.size());
    auto states = [&](uint32_t c) { return d_->obsCount ? d_->obsCount[c] : 0u; };
    // The highest observed state: an ordered character of states 0..h is
    // written as h binary columns.
    auto binaryWidth = [&](uint32_t c) {
        const uint64_t seen = d_->obsStates ? d_->obsStates[c] : 0;
        return seen ? static_cast<uint32_t>(63 - std::countl_zero(seen)) : 1u;
    };
    bool hennigBinary = false;
    if (hennig_ && exprt.mstaxaHennig == 0) {
        for (uint32_t c : chars)
            if (states(c) > 2 && hasMultistateCell(c)) {
                hennigBinary = true;
                break;
            }
        if (hennigBinary)
            for (uint32_t c : chars) {
                const uint32_t type = d_->status[c] & kCharTypeMask;
                if (states(c) > 2 && type != kCharUnordered && type != kCharUserType)
                    hennigSpaced_ = true;
            }
    }
    const bool phylip = format_ == kExportPhylip || format_ == kExportRelPhylip;
    if (exprt.translateToAA) {
        int32_t codons = 0;
        if (!canDoCodonModels(d_, true, &codons))
            return 1;
        if (getGenCode(genCodeOpt.genCode, codonToAA_, &aaLetters_, nullptr) < 0)
            return 1;
        for (size_t i = 0; i + 2 < chars.size(); i += 3)
            units_.push_back({chars[i], 1, 0, Unit::Codon, {chars[i], chars[i + 1], chars[i + 2]}});
    } else {
        for (uint32_t c : chars) {
            Unit kind = Unit::Plain;
            if (phylip && d_->dataType == kDataTypeStandard && states(c) > 2) {
                const bool ordered = isOrdered(c);
                const uint32_t rule = ordered ? exprt.ordPhylip : exprt.unordPhylip;
                // ordPhylip: 0 Exclude, 1 BinCode, 2 Unmodified; unordPhylip: 0 Exclude, 1 Unmodified.
                if (rule == 0) {
                    notExported_++;
                    continue;
                }
                if (ordered && rule == 1)
                    kind = Unit::Binary;
            } else if (hennigBinary && states(c) > 2 && isOrdered(c)) {
                kind = Unit::Binary;
            }
            if (kind == Unit::Binary && (d_->status[c] & kCharStateTree))
                return qel_errorMsg(0, "Exporting of character-state tree characters is not currently supported.");
            units_.push_back({c, kind == Unit::Binary ? binaryWidth(c) : 1, 0, kind, {}});
        }
    }
    for (WrittenUnit &u : units_) {
        u.column = columns_;
        columns_ += u.width;
        unitColumns_.push_back(u.column);
    }
    codeSymbol_.assign(numStateCodes(d_) + 1, 0);
    initStateCodeMap(d_, codeSymbol_.data() + 1);
    miss_ = missingSymbol();
    plainOnly_ = std::all_of(units_.begin(), units_.end(), [](const WrittenUnit &u) { return u.kind == Unit::Plain; });
    if (plainOnly_) {
        for (const WrittenUnit &u : units_)
            plainChars_.push_back(u.c);
        allChars_ = plainChars_.size() == d_->nchar;
    }
    fast_[kGapCode] = '-';
    fast_[d_->nstates] = miss_;
    for (uint32_t x = 0; x < d_->nstates; x++)
        fast_[x] = hennig_ ? (x < 10 ? hennigStateSymbol(x) : '\0') : static_cast<char>(codeSymbol_[x + 1]);
    // Formats without brackets write a state set as its equate whatever the
    // cell's kind; a set without one is left to appendPlainCell, which notes it.
    if (!hennig_ && !textFormat_)
        for (uint32_t x = d_->nstates + 1; x < numStateCodes(d_) && x < kGapCode; x++)
            fast_[x] = static_cast<char>(codeSymbol_[x + 1]);
    makeLabels();
    return 0;
}

char Exporter::missingSymbol() const
{
    // FASTA readers take N and X as the unknown residue of sequences only;
    // standard (morphological) data keep the NEXUS question mark.
    if (format_ != kExportFasta)
        return '?';
    const bool protein = exprt.translateToAA || d_->dataType == kDataTypeProtein;
    if (!protein && (d_->dataType < kDataTypeDNA || d_->dataType > kDataTypeNucleotide))
        return '?';
    const char m = protein ? 'X' : 'N';
    return d_->letterCase == 1 ? static_cast<char>(std::tolower(m)) : m;
}

void Exporter::makeLabels()
{
    size_t longest = 0;
    for (int32_t t = 0; t < d_->nActive; t++) {
        const char *label = getTaxLabel(d_, static_cast<uint32_t>(t));
        std::vector<char> buffer(2 * std::strlen(label) + 8);
        std::string out;
        switch (format_) {
        case kExportPhylip:
            out = phylipLabel(label, false, true, buffer.data(), buffer.size());
            break;
        case kExportRelPhylip:
            out = phylipLabel(label, true, false, buffer.data(), buffer.size());
            break;
        case kExportHennig:
            out = hennigLabel(label, buffer.data(), buffer.size());
            break;
        case kExportTabText:
            out = label;
            break;
        case kExportNexus:
            out = nexusizeString(label, buffer.data(), buffer.size());
            break;
        case kExportMega:
            out = "#" + blanksToUnderscores(std::string(label, utf8CharCutPoint(label, kMaxMegaLabel)));
            break;
        case kExportText:
            // A table's label ends at a blank or a bracket: one that holds a
            // bracket or a quote is written as a quoted word, which reads back.
            out = blanksToUnderscores(label);
            if (out.find_first_of("(){}'\t") != std::string::npos)
                out = nexusizeString(label, buffer.data(), buffer.size());
            break;
        default:  // FASTA
            out = blanksToUnderscores(label);
            break;
        }
        longest = std::max(longest, utf8Length(out));
        labels_.push_back(std::move(out));
    }
    switch (format_) {
    case kExportPhylip:
        labelField_ = kStrictPhylipName;
        break;
    case kExportRelPhylip:
    case kExportNexus:
    case kExportMega:
        labelField_ = longest + 2;
        break;
    case kExportText:
        labelField_ = std::min(longest, kMaxTextLabelField) + 1;
        break;
    default:
        labelField_ = 0;
        break;
    }
}

// Strict PHYLIP keeps 10 characters of each name: names that meet there can
// no longer be told apart by the program that reads the file.
void Exporter::warnAboutCutLabels() const
{
    if (format_ != kExportPhylip)
        return;
    std::map<std::string, std::vector<uint32_t>> byName;
    for (uint32_t t = 0; t < labels_.size(); t++)
        byName[labels_[t]].push_back(t);
    for (const auto &[name, taxa] : byName) {
        if (taxa.size() < 2)
            continue;
        std::string list;
        for (uint32_t t : taxa)
            list += std::string(list.empty() ? "" : ", ") + "'" + getTaxLabel(d_, t) + "'";
        qel_warningMsg(0, "Taxa %s are all written as '%s' in the PHYLIP file; the program that reads it cannot "
                          "tell them apart.\tUse format=RelPHYLIP to keep whole names.",
                       list.c_str(), name.c_str());
    }
}

void Exporter::writeHead(const std::string &shownPath)
{
    const int ntax = d_->nActive;
    const int ncol = static_cast<int>(columns_);
    switch (format_) {
    case kExportPhylip:
    case kExportRelPhylip:
        auxPrintf("%d %d%s", ntax, ncol, lb_);
        break;
    case kExportHennig:
        auxPrintf("xread%s'File \"%s\" converted for Hennig86 by VORN'%s%d %d%s", lb_, shownPath.c_str(), lb_, ncol,
                  ntax, lb_);
        break;
    case kExportNexus: {
        auxPrintf("#NEXUS %s%s", lb_, lb_);
        if (nexOpt.nexusBlocks == 0) {
            auxPrintf("Begin data;%s\tDimensions ntax=%d nchar=%d;%s", lb_, ntax, ncol, lb_);
        } else {
            auxPrintf("Begin taxa;%s\tDimensions ntax=%d;%s\tTaxLabels%s", lb_, ntax, lb_, lb_);
            for (int t = 0; t < ntax; t++)
                auxPrintf("\t\t%s%s%s", labels_[static_cast<size_t>(t)].c_str(), t + 1 == ntax ? ";" : "", lb_);
            auxPrintf("End;%s%sBegin characters;%s\tDimensions nchar=%d;%s", lb_, lb_, lb_, ncol, lb_);
        }
        const bool translating = exprt.translateToAA != 0;
        auxPrintf("\tFormat datatype=%s", translating ? "protein" : kTypeWords[std::min<uint32_t>(d_->dataType, 4)]);
        if (exprt.interleaved)
            auxPuts(" interleave");
        // Standard data always name their symbols: a reader's default
        // ("01") would refuse any other state. A predefined type names only
        // the symbols added to it, as the reader refuses its own states.
        if (!translating && d_->dataType == kDataTypeStandard)
            auxPrintf(" symbols=\"%s\"", d_->symbols);
        else if (!translating && (d_->flags & kDataUserSymbols) && d_->userSymbols[0] != '\0')
            auxPrintf(" symbols=\"%s\"", d_->userSymbols);
        if (d_->gapSymbol)
            auxPuts(" gap=-");
        auxPrintf(";%s\tMatrix%s", lb_, lb_);
        break;
    }
    case kExportMega: {
        const char *name = std::strrchr(shownPath.c_str(), '/');
        auxPrintf("#mega%s!Title File \"%s\" converted for MEGA by VORN;%s", lb_, name ? name + 1 : shownPath.c_str(),
                  lb_);
        auxPrintf("!Format DataType=%s", exprt.translateToAA ? "protein" : kTypeWords[std::min<uint32_t>(d_->dataType, 4)]);
        if (d_->gapSymbol)
            auxPuts(" Indel=-");
        auxPrintf(" Missing=%c;%s", miss_, lb_);
        break;
    }
    default:
        break;
    }
}

void Exporter::appendPlainCell(int32_t t, uint32_t c, std::string &row)
{
    const uint8_t x = getXijRaw(d_, t, c);
    if (x == kGapCode) {
        row += '-';
        return;
    }
    if (x == d_->nstates) {
        row += miss_;
        return;
    }
    if (x < d_->nstates) {
        if (hennig_) {
            hennigLetters_ = hennigLetters_ || x > 9;
            row += hennigStateSymbol(x);
        } else {
            row += static_cast<char>(codeSymbol_[x + 1u]);
        }
        return;
    }
    if (!hennig_) {
        const uint64_t bits = stateBitsOfCode(d_, x);
        if (textFormat_) {
            // An equate the reader knows without being told, and only for an
            // uncertainty; anything else in brackets, so that it reads back
            // the same.
            const bool polymorphic = isPolymorphicCell(t, c);
            const int e = polymorphic ? 0 : statesToEquate(bits, d_->symbols, 0, d_);
            const Equate *known = nullptr;
            for (const Equate *q = d_->equates; q && e; q = q->next)
                if (std::strchr(q->symbols, e))
                    known = q;
            if (e && known && !known->userDefined) {
                row += static_cast<char>(e);
            } else {
                char states[65];
                row += polymorphic ? '(' : '{';
                row += stateString(bits, d_->symbols, states);
                row += polymorphic ? ')' : '}';
            }
            return;
        }
        if (uint32_t e = codeSymbol_[x + 1u]) {
            row += static_cast<char>(e);
            return;
        }
    }
    multistateToMissing_ = true;
    row += miss_;
}

void Exporter::appendBinaryColumns(int32_t t, uint32_t c, uint32_t from, uint32_t to, std::string &row)
{
    const uint8_t x = getXijRaw(d_, t, c);
    if (x == kGapCode || x == d_->nstates) {
        row.append(to - from, x == kGapCode ? '-' : miss_);
        return;
    }
    const uint64_t bits = stateBitsOfCode(d_, x);
    const auto lowest = static_cast<uint32_t>(std::countr_zero(bits));
    const auto highest = static_cast<uint32_t>(63 - std::countl_zero(bits));
    const char between = format_ == kExportPhylip && isPolymorphicCell(t, c) ? 'b' : miss_;
    for (uint32_t k = from; k < to; k++)
        row += k < lowest ? '1' : k >= highest ? '0' : between;
}

void Exporter::appendCodon(int32_t t, const uint32_t (&three)[3], std::string &row)
{
    int gaps = 0;
    int codon = 0;
    bool ambiguous = false;
    for (uint32_t k : three) {
        const uint8_t x = getXijRaw(d_, t, k);
        if (x == kGapCode) {
            gaps++;
            continue;
        }
        const int base = x < d_->nstates ? baseOfSymbol(static_cast<unsigned char>(d_->symbols[x])) : -1;
        if (base < 0)
            ambiguous = true;
        else
            codon = 4 * codon + base;
    }
    if (gaps == 3) {
        row += '-';
    } else if (gaps > 0) {
        partialGaps_++;
        row += miss_;
    } else if (ambiguous) {
        ambiguous_++;
        row += miss_;
    } else {
        const char aa = codonToAA_[codon];
        if (aa == kStopSymbol)
            stops_++;
        row += aa;
    }
}

// The plain columns [from, to) of taxon t: a stored row is read straight,
// one table look-up a cell.
// The columns [from, to) of plain units, each cell's code given by
// codeAt(k): a table look-up a cell, written in place, in blocks that are
// checked once at their end; a block with a cell the table leaves to
// appendPlainCell (which may write more than one character) is done again
// cell by cell.
template <typename CodeAt>
void Exporter::appendPlainColumns(int32_t t, uint32_t from, uint32_t to, std::string &row, CodeAt codeAt)
{
    constexpr uint32_t kBlock = 256;
    size_t n = row.size();
    row.resize(n + (to - from));
    std::string cell;
    for (uint32_t k = from; k < to;) {
        const uint32_t end = std::min(to, k + kBlock);
        char *out = row.data() + n;
        for (uint32_t j = k; j < end; j++)
            out[j - k] = fast_[codeAt(j)];
        if (!std::memchr(out, '\0', end - k)) {
            n += end - k;
            k = end;
            continue;
        }
        for (; k < end; k++) {
            if (const char s = fast_[codeAt(k)]) {
                row[n++] = s;
                continue;
            }
            cell.clear();
            appendPlainCell(t, plainChars_[k], cell);
            const size_t room = n + cell.size() + (to - k - 1);
            if (room > row.size())
                row.resize(room);
            std::memcpy(row.data() + n, cell.data(), cell.size());
            n += cell.size();
        }
    }
    row.resize(n);
}

// The plain columns [from, to) of taxon t, read straight from the stored
// matrix.
void Exporter::appendPlainRun(int32_t t, uint32_t from, uint32_t to, std::string &row)
{
    const uint32_t r = storedRow(t);
    const uint32_t *chars = plainChars_.data();
    if (d_->compactStorage) {
        // A matrix kept as column patterns: each column's pattern holds the cell.
        const bool patterns = d_->patternMatrix && d_->patternIndex && r < d_->ntax;
        const auto missing = static_cast<uint8_t>(d_->nstates);
        appendPlainColumns(t, from, to, row, [&](uint32_t k) {
            const uint32_t p = patterns ? d_->patternIndex[chars[k]] : d_->nPatterns;
            return p < d_->nPatterns ? d_->patternMatrix[p][r] : missing;
        });
    } else if (d_->matrix && r < d_->ntax) {
        const uint8_t *cells = d_->matrix[r];
        if (allChars_) {
            // Every character in order: the stored row is translated whole,
            // and only a row with a cell outside the table goes cell by cell.
            const size_t n = row.size();
            row.resize(n + (to - from));
            translateCodes(fast_, cells + from, to - from, row.data() + n);
            if (!std::memchr(row.data() + n, '\0', to - from))
                return;
            row.resize(n);
            appendPlainColumns(t, from, to, row, [cells](uint32_t k) { return cells[k]; });
        } else {
            appendPlainColumns(t, from, to, row, [cells, chars](uint32_t k) { return cells[chars[k]]; });
        }
    } else {
        // No stored row: every cell as getXijRaw gives it.
        appendPlainColumns(t, from, to, row, [&](uint32_t k) { return getXijRaw(d_, t, chars[k]); });
    }
}

void Exporter::appendCell(int32_t t, const WrittenUnit &u, uint32_t from, uint32_t to, std::string &row)
{
    switch (u.kind) {
    case Unit::Plain:
        appendPlainCell(t, u.c, row);
        break;
    case Unit::Binary:
        appendBinaryColumns(t, u.c, from, to, row);
        break;
    case Unit::Codon:
        appendCodon(t, u.codon, row);
        break;
    }
}

// The columns [from, to) of taxon t's row, with its label as the format
// wants it, and the line break that ends it.
void Exporter::writeRow(int32_t t, uint32_t from, uint32_t to, bool firstBlock)
{
    const std::string &label = labels_[static_cast<size_t>(t)];
    // A strict PHYLIP name is at most 10 bytes, padded to 10 characters:
    // readers that count the field in bytes meet blanks after the name,
    // which they skip, and readers that count characters (as most do for
    // UTF-8 text) meet the sequence only after the field.
    const size_t width = utf8Length(label);
    std::string row;
    switch (format_) {
    case kExportPhylip:
    case kExportRelPhylip:
        if (firstBlock)
            row = label + std::string(labelField_ > width ? labelField_ - width : 0, ' ');
        else
            row.assign(labelField_, ' ');
        break;
    case kExportFasta:
        row = ">" + label + lb_;
        break;
    case kExportHennig:
        row = label + lb_;
        break;
    case kExportTabText:
        row = label + "\t";
        break;
    default:
        // A name longer than its field is still followed by a blank: the
        // readers of a table end the name there.
        row = label + std::string(labelField_ > width ? labelField_ - width : 1, ' ');
        break;
    }
    const char separator = format_ == kExportTabText ? '\t' : hennigSpaced_ ? ' ' : '\0';
    // A text table holds one taxon a line (a block of one when interleaved):
    // a continuation line would be read as another taxon.
    const bool wholeRows = interleaved_ || format_ == kExportText || format_ == kExportTabText;
    const uint32_t perLine = wholeRows ? 0 : static_cast<uint32_t>(std::max(exprt.charsPerLine, 0));
    const std::string indent(format_ == kExportFasta || format_ == kExportHennig || format_ == kExportTabText
                                 ? 0
                                 : labelField_,
                             ' ');
    bool any = false;
    if (plainOnly_ && !separator) {
        // The row's symbols in one run, then cut into lines; a row with a
        // cell of several characters is written line by line instead.
        cells_.clear();
        appendPlainRun(t, from, to, cells_);
        const size_t lineBreak = std::strlen(lb_);
        row.reserve(row.size() + cells_.size() + (perLine ? cells_.size() / perLine * (indent.size() + lineBreak) : 0));
        if (!perLine) {
            row += cells_;
        } else if (cells_.size() == to - from) {
            for (size_t at = 0; at < cells_.size(); at += perLine) {
                if (at > 0)
                    row.append(lb_, lineBreak).append(indent);
                row.append(cells_, at, perLine);
            }
        } else {
            for (uint32_t col = from; col < to;) {
                if (col > from)
                    row.append(lb_).append(indent);
                const uint32_t stop = std::min(to, col + perLine);
                appendPlainRun(t, col, stop, row);
                col = stop;
            }
        }
        any = to > from;
        to = from;  // done
    }
    size_t i = static_cast<size_t>(std::upper_bound(unitColumns_.begin(), unitColumns_.end(), from) -
                                   unitColumns_.begin()) -
               1;
    uint32_t col = from;
    while (col < to && i < units_.size()) {
        const WrittenUnit &u = units_[i];
        const uint32_t unitEnd = std::min(to, u.column + u.width);
        // A unit may be cut by the block's end or by a line break.
        uint32_t stop = unitEnd;
        if (perLine && col > from && (col - from) % perLine == 0) {
            row += lb_;
            row += indent;
        } else if (any && separator) {
            row += separator;
        }
        if (perLine)
            stop = std::min(stop, col + (perLine - (col - from) % perLine));
        if (u.kind == Unit::Binary) {
            appendCell(t, u, col - u.column, stop - u.column, row);
        } else {
            appendCell(t, u, 0, 1, row);
        }
        any = true;
        col = stop;
        if (col == u.column + u.width)
            i++;
    }
    if (any || !anyWritten_)
        row += lb_;
    anyWritten_ = anyWritten_ || any;
    auxPuts(row.c_str());
}

int Exporter::writeMatrix()
{
    const uint32_t perBlock =
        interleaved_ && exprt.charsPerLine > 0 ? static_cast<uint32_t>(exprt.charsPerLine) : std::max(columns_, 1u);
    for (uint32_t from = 0; from < std::max(columns_, 1u); from += perBlock) {
        if (from > 0)
            auxPuts(lb_);
        const uint32_t to = std::min(columns_, from + perBlock);
        for (int32_t t = 0; t < d_->nActive; t++) {
            writeRow(t, from, to, from == 0);
            if (auxFileError())
                return 1;
            if (getAbortedStatus())
                return 2;
        }
    }
    return 0;
}

void Exporter::writeTrailer()
{
    if (format_ == kExportHennig)
        auxPrintf(";%s%sprocedure /;%s", lb_, lb_, lb_);
    else if (format_ == kExportNexus)
        auxPrintf("\t;%sEnd;%s", lb_, lb_);
}

void Exporter::report(const std::string &shownPath) const
{
    if (stops_)
        qel_printf("\nNote: %u stop codons were created during translation.  Are you sure you're using the right "
                   "genetic code?\n",
                   stops_);
    if (ambiguous_)
        qel_printf("\nNote: %u triplet%s containing DNA ambiguity codes were not translated to amino acids and have "
                   "been exported as 'missing'.",
                   ambiguous_, ambiguous_ == 1 ? "" : "s");
    if (partialGaps_)
        qel_printf("\nNote: %u triplet%s containing either 1 or 2 gap characters (rather than 3) have been "
                   "converted to 'missing'.",
                   partialGaps_, partialGaps_ == 1 ? "" : "s");
    qel_printf("\nData matrix exported to file \"%s\" in %s ", shownPath.c_str(), kMessageNames[format_]);
    if (format_ == kExportNexus)
        qel_printf(exprt.interleaved ? "(interleaved) " : "(non-interleaved) ");
    qel_printf("format.\n");
    indentOutput(2);
    if (exprt.interleaved && !interleaved_)
        qel_printf("\n%s files are not interleaved: each sequence was written whole.\n",
                   format_ == kExportFasta ? "FASTA" : "Hennig86");
    if (exprt.translateToAA) {
        qel_printf("\nSequences were translated from DNA to amino acids using genetic code '%s'\n",
                   genCodeOpt.genCode);
        if (genCodeOpt.showGenCode)
            showGeneticCode(nullptr, codonToAA_, aaLetters_);
    }
    if (multistateToMissing_ || hennigLetters_ || notExported_) {
        qel_printf("\n");
        if (multistateToMissing_)
            qel_printf("NOTE: Multistate taxa were set to '?'.\n");
        if (hennigLetters_)
            qel_printf("NOTE: \bMore than 10 states were observed for some characters.  Alphabetic designations have "
                       "been inserted for these states, but the file will not be acceptable to Hennig86.\n");
        if (notExported_)
            qel_printf("NOTE: %u of %u %scharacters could not be exported.\n", notExported_, included_,
                       someExcluded_ ? "currently included " : "");
    }
    indentOutput(-2);
}

}  // namespace

void initStateCodeMap(const DataInfo *d, uint32_t *table)
{
    table[-1] = d->gapSymbol ? d->gapSymbol : '-';
    const uint32_t codes = numStateCodes(d);
    for (uint32_t x = 0; x < codes; x++) {
        if (x < d->nstates)
            table[x] = static_cast<unsigned char>(d->symbols[x]);
        else if (x == d->nstates)
            table[x] = d->missingSymbol ? d->missingSymbol : '?';
        else
            table[x] = static_cast<uint32_t>(statesToEquate(stateBitsOfCode(d, static_cast<uint8_t>(x)), d->symbols, -1, d));
    }
}

int doExportCmd()
{
    DataInfo *d = activeDataInfo();
    if (!d)
        return 1;
    if (prepareData(kPrepCurrentCriterion, 0, true) != 0)
        return 1;
    char proposed[kParamPathSize];
    if (startCmdParamFilename(&exprt.file, exportFormatExtension(exprt.format), false, proposed, sizeof proposed) != 0)
        return 1;
    gReplaceFile = 0;
    exprt.translateToAA = 0;
    if (getCmdParams(OptionSet::kExport, ";", nullptr) <= 0)
        return 1;
    finishCmdParamFilename(&exprt.file, exportFormatExtension(exprt.format), proposed);
    if (exprt.lineBreaks == kLineBreakUnix)
        exprt.lineBreaks = kLineBreakNative;
    if (exprt.format >= kNumExportFormats)
        return 1;
    const char *lineBreak = exprt.lineBreaks == kLineBreakMac ? "\r" : exprt.lineBreaks == kLineBreakDos ? "\r\n" : "\n";

    // A MEGA file holds nucleotide or protein sequences: its readers, ours
    // included, know no type word for standard data.
    if (exprt.format == kExportMega && d->dataType == kDataTypeStandard)
        return qel_errorMsg(0, "Standard data cannot be exported in MEGA format.\tMEGA files hold nucleotide or "
                               "protein sequences; export standard data in another format."),
               1;
    Exporter exporter(d, exprt.format, lineBreak);
    if (exporter.plan() != 0)
        return 1;
    int openStatus = 1;
    AuxOut *aux = openAuxOutStream(exprt.file.path, gReplaceFile != 0, false, &openStatus);
    if (!aux)
        return openStatus;
    const std::string shown = auxPathnameForDisplay(aux, kShownPathLength);
    const DataServices &services = dataServices();
    services.setStatusText("Exporting file...");
    exporter.warnAboutCutLabels();
    exporter.writeHead(shown);
    const int rc = exporter.writeMatrix();
    services.clearStatusText();
    if (rc != 0) {
        // An interrupted or failed export leaves no part of a file behind;
        // an interruption says so (a failure has been reported).
        discardAuxOutStream(aux);
        if (rc == 2)
            showWriteLeftAsItWas(shown.c_str());
        return rc;
    }
    exporter.writeTrailer();
    if (closeAuxOutStream(aux) != 0)
        return 1;
    exporter.report(shown);
    return 0;
}

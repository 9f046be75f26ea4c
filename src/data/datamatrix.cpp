#include "data/datamatrix.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cctype>
#include <cstring>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "data/charpatterns.h"
#include "data/data_services.h"
#include "data/data_settings.h"
#include "data/dataformat.h"
#include "data/getdata.h"
#include "data/input_window.h"
#include "data/nexsets.h"
#include "data/vorn_memory.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_malloc.h"
#include "qel/qel_matrices.h"
#include "qel/qel_strings.h"
#include "cli/qel_cmdline.h"

namespace {

constexpr const char *kEofText =
    "Unexpected end-of-file was encountered.\tMake sure the file format is correct for the "
    "current operation.";
constexpr const char *kFormatHint =
    "\tCheck input formatting carefully (e.g., verify that the number of items supplied for a "
    "list is correct).";

int eofError() { return qel_errorMsg(114, "%s", kEofText); }

// Keeps error 121 explaining the likely cause while a matrix is read.
struct MatrixExplanation {
    MatrixExplanation()
    {
        setErrorExplanation(121, "This often occurs because the number of characters or taxa has "
                                 "been incorrectly specified.");
    }
    ~MatrixExplanation() { clearErrorExplanation(121); }
};

void markPolymorphic(DataInfo *d, uint32_t row, uint32_t c, uint64_t bits)
{
    if (std::popcount(bits & ~kGapMarker) < 2 || !d->polyCells || row >= d->polyCells->numSets)
        return;
    addBitVecMember(d->polyCells->rows[row], c);
    d->polyCellsPresent = 1;
}

void removeEquatedSymbol(DataInfo *d, int symbol)
{
    for (Equate **link = &d->equates; *link;) {
        Equate *e = *link;
        char *at = std::strchr(e->symbols, symbol);
        if (at && !e->userDefined) {
            std::memmove(at, at + 1, std::strlen(at));
            if (--e->nSymbols == 0) {
                *link = e->next;
                deallocBlock(e->expansion);
                deallocBlock(e);
                continue;
            }
        }
        link = &e->next;
    }
    if (char *at = d->equatedSymbols ? std::strchr(d->equatedSymbols, symbol) : nullptr) {
        std::memmove(at, at + 1, std::strlen(at));
        --d->nEquated;
    }
}

bool isUserEquated(const DataInfo *d, int symbol)
{
    for (const Equate *e = d->equates; e; e = e->next)
        if (e->userDefined && std::strchr(e->symbols, symbol))
            return true;
    return false;
}

void announceFormat(DataInfo *d)
{
    if (d->nchar > 0) {
        qel_printf("Valid character-state symbols: %s\n", d->symbols);
        qel_printf("Missing data identified by '%c'\n", static_cast<int>(d->missingSymbol));
        if (d->gapSymbol)
            qel_printf("Gaps identified by '%c'\n", static_cast<int>(d->gapSymbol));
    }
    if (d->equates) {
        // Missing data written with a letter that a predefined equate also
        // claims (N in nucleotide data) reads as missing.
        for (uint32_t m : {d->missingSymbol, d->missingOtherCase})
            if (m && !isUserEquated(d, static_cast<int>(m)))
                removeEquatedSymbol(d, static_cast<int>(m));
    }
    if (d->equates) {
        qel_printf("\"Equate\" macros in effect:\n");
        for (const Equate *e = d->equates; e; e = e->next) {
            char list[2 * sizeof e->symbols];
            size_t n = 0;
            for (int16_t i = 0; i < e->nSymbols; ++i) {
                if (i)
                    list[n++] = ',';
                list[n++] = e->symbols[i];
            }
            list[n] = '\0';
            qel_printf("   %s ==> ", list);
            if (std::strlen(e->expansion) == 1)
                qel_printf("%s\n", e->expansion);
            else
                qel_printf(e->polymorphism ? "(%s)\n" : "{%s}\n", e->expansion);
        }
    }
    if (d->matchChar)
        qel_printf("Character-state symbol '%c' matches state in first taxon\n",
                   static_cast<int>(d->matchChar));
    if (d->respectCase)
        qel_printf("Case significant for alphabetic character-state symbols\n");
}

// Reads a character label of a transposed matrix.
int readCharLabelAt(DataInfo *d, uint32_t c)
{
    char label[kMaxLabelLength + 1];
    if (readLabel(label, false) != 0)
        return 1;
    return setCharLabel(d, c, label);
}

int readTransposed(DataInfo *d, CellTables &tables)
{
    const bool labelsLeft = d->labelsPosition == kLabelsLeft;
    const bool labelsRight = d->labelsPosition == kLabelsRight;
    for (uint32_t c = 0; c < d->nchar; ++c) {
        if (labelsLeft && readCharLabelAt(d, c) != 0)
            return 1;
        for (uint32_t t = 0; t < d->ntax; ++t) {
            if (gAborted_)
                return 2;
            int symbol = readNextDarkChar(nullptr);
            if (symbol == kCharOpenComment)
                return 1;
            if (symbol < 0)
                return eofError();
            if (storeXij(t, c, symbol, tables, d) != 0)
                return 1;
        }
        if (c + 1 < d->nchar && !isNextCharWhite())
            return 1;
        if (labelsRight && readCharLabelAt(d, c) != 0)
            return 1;
    }
    if (d->labelsPosition != kLabelsNone)
        d->charLabelsRead = 1;
    return 0;
}

bool gBulkRows = true;

// Reads the cells of `row` from column c on straight from the input that is
// already in memory, as long as they are plain: symbols whose codes the
// tables already hold, with blanks and tabs between them. It stops before
// anything else (a line end, a comment, a bracket, an equate, the match
// character, a symbol met for the first time, an eliminated column, the end
// of the buffer) and at column `end`, and the caller reads that the slow way,
// with its errors and positions. The codes are those storeXij would store.
// Returns the column reached, kSetEnd when storing failed, and sets `next`
// to the byte it stopped before (-1 at the end of the buffer or at `end`).
uint32_t readPlainCells(DataInfo *d, const CellTables &tables, uint32_t row, uint32_t c,
                        uint32_t end, std::vector<uint8_t> &run, int &next)
{
    InputWindow window;
    const std::span<const char> bytes = window.bytes();
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.data());
    const unsigned char *const stop = p + bytes.size();
    const uint32_t *eliminated = d->nEliminated ? d->status : nullptr;
    // Full storage takes the codes in place; compact storage gets them as a
    // run, which goes to the pattern tree a cell at a time.
    const uint32_t first = c;
    uint8_t *out = d->compactStorage ? run.data() - first : d->matrix[row];
    if (d->compactStorage)
        end = std::min<uint32_t>(end, first + static_cast<uint32_t>(run.size()));
    while (c < end && p < stop) {
        const unsigned char b = *p;
        if (b == ' ' || b == '\t') {
            ++p;
            continue;
        }
        const uint16_t cached = tables.codeCache[b];
        if (!cached || (eliminated && (eliminated[c] & kCharEliminated)))
            break;
        out[c++] = static_cast<uint8_t>(cached - 2);
        ++p;
    }
    next = c < end && p < stop ? *p : -1;
    window.consume(static_cast<size_t>(p - reinterpret_cast<const unsigned char *>(bytes.data())));
    if (row == 0 && d->firstRowCodes)
        std::copy(out + first, out + c, d->firstRowCodes + first);
    if (d->compactStorage && c > first &&
        insertRowRunIntoPatternTST(d->patternTree, row, first, out + first, c - first) != 0)
        return kSetEnd;
    return c;
}

int segmentWidthError(int width, int expected)
{
    return qel_errorMsg(312,
                        "Number of characters in this row (%u) differs from that of preceding "
                        "rows (%d).\tThe most likely cause of this error is a problem earlier in "
                        "the data matrix, such as a missing row in the previous block.",
                        static_cast<unsigned>(width), expected);
}

// One pass over the rows: the whole matrix, or one block of an interleaved
// one starting at column `start`. Sets `width` to the pass's segment width.
int readPass(DataInfo *d, CellTables &tables, uint32_t start, uint32_t &width,
             std::vector<uint8_t> &run)
{
    const bool interleave = d->interleave;
    const bool labelsLeft = d->labelsPosition == kLabelsLeft;
    const bool labelsRight = d->labelsPosition == kLabelsRight;
    const bool known = d->taxa.labelsKnown;
    const bool strict = nexOpt.taxlabMatch != 0;
    const char *white = interleave ? " \t\r" : nullptr;
    int32_t passWidth = -1;
    if (d->taxa.taxaInBlock)
        clearSet(d->taxa.taxaInBlock);

    for (uint32_t expected = 0; expected < d->ntax; ++expected) {
        uint32_t row = expected;
        if (labelsLeft) {
            row = readTaxLabel(d, expected, !known, known && strict, true,
                               strict ? d->taxa.taxaInBlock : nullptr);
            if (row == kSetEnd)
                return 1;
        }
        uint32_t c = start;
        bool lineEnded = false;
        while (c < d->nchar) {
            if (gAborted_)
                return 2;
            if (gBulkRows) {
                int next = -1;
                c = readPlainCells(d, tables, row, c, d->nchar, run, next);
                if (c == kSetEnd)
                    return 1;
                if (c == d->nchar)
                    break;
                // The line end of an interleaved segment, as below.
                if (interleave && next == '\n' && c > start) {
                    lineEnded = true;
                    break;
                }
            }
            int symbol = readNextDarkChar(white);
            if (symbol == kCharOpenComment)
                return 1;
            if (symbol < 0)
                return eofError();
            if (symbol == '\n') {
                if (c == start)
                    continue;  // blank line ahead of the segment
                putCharBack(symbol);
                lineEnded = true;
                break;
            }
            if (storeXij(row, c, symbol, tables, d) != 0)
                return 1;
            ++c;
        }
        if (interleave) {
            if (!lineEnded) {
                int next = peekNextChar(" \t\r");
                if (next != ';' && next != '\n' && next >= 0)
                    return qel_errorMsg(313,
                                        "Expecting end-of-line.\tCheck 'NChar' specification, or if "
                                        "taxon names contain special characters, do \"Set "
                                        "AllowPunct=Yes\" before the DATA or CHARACTERS block is "
                                        "processed.");
            }
            const auto w = static_cast<int32_t>(c - start);
            if (passWidth < 0)
                passWidth = w;
            else if (w != passWidth)
                return segmentWidthError(w, passWidth);
            if (lineEnded)
                readNextChar();  // the newline that ended the segment
        } else if (expected + 1 < d->ntax && !isNextCharWhite()) {
            return 1;
        }
        if (d->compactStorage)
            finishCharGroupTST(d->patternTree);
        if (labelsRight) {
            row = readTaxLabel(d, expected, !known, known && strict, true,
                               strict ? d->taxa.taxaInBlock : nullptr);
            if (row == kSetEnd)
                return 1;
        }
    }
    width = passWidth < 0 ? d->nchar - start : static_cast<uint32_t>(passWidth);
    return 0;
}

int readRows(DataInfo *d, CellTables &tables)
{
    uint32_t start = 0;
    std::vector<uint8_t> run(d->compactStorage ? 4096 : 0);
    for (;;) {
        uint32_t width = 0;
        if (int rc = readPass(d, tables, start, width, run); rc != 0)
            return rc;
        if (d->labelsPosition != kLabelsNone)
            d->taxa.labelsKnown = 1;
        if (!d->interleave)
            return 0;
        start += width;
        if (width == 0 || start >= d->nchar)
            return 0;
    }
}

}  // namespace

void setBulkRowReading(bool on) { gBulkRows = on; }

uint8_t stateSymbolToCode(int symbol, uint32_t row, uint32_t c, DataInfo *d)
{
    const bool missing = symbol == static_cast<int>(d->missingSymbol) ||
                         (d->missingOtherCase && symbol == static_cast<int>(d->missingOtherCase));
    if (!d->respectCase && std::isalpha(symbol) && !missing &&
        symbol != static_cast<int>(d->gapSymbol)) {
        if (d->letterCase < 0) {
            d->letterCase = std::islower(symbol) ? 1 : 0;
            for (char *p = d->symbols; *p; ++p)
                *p = static_cast<char>(d->letterCase ? std::tolower(static_cast<unsigned char>(*p))
                                                     : std::toupper(static_cast<unsigned char>(*p)));
        } else {
            symbol = d->letterCase ? std::tolower(symbol) : std::toupper(symbol);
        }
    }
    if (d->dataType == kDataTypeNucleotide && (symbol == 'U' || symbol == 'u'))
        symbol = symbol == 'U' ? 'T' : 't';
    if (missing)
        return static_cast<uint8_t>(d->nstates);
    if (d->gapSymbol && symbol == static_cast<int>(d->gapSymbol))
        return kGapCode;
    for (uint32_t s = 0; s < d->nstates; ++s)
        if (static_cast<unsigned char>(d->symbols[s]) == symbol)
            return static_cast<uint8_t>(s);
    if (symbol == ';')
        qel_errorMsg(118, "Unexpected semicolon (;).%s", kFormatHint);
    else
        qel_errorMsg(308,
                     "Invalid character state '%c' for taxon %d character %d.\tIn addition to use "
                     "of an undefined character-state symbol, other common causes of this error "
                     "include incorrect specification of number of taxa or characters, or failure "
                     "to specify interleaved input format.",
                     symbol, static_cast<int>(row + 1), static_cast<int>(c + 1));
    return kRefusedCode;
}

int addStateToStateSet(int symbol, uint32_t row, uint32_t c, DataInfo *d, uint64_t &bits)
{
    uint8_t code = stateSymbolToCode(symbol, row, c, d);
    if (code == kRefusedCode)
        return 1;
    if (code == kGapCode)
        bits |= kGapMarker;
    else if (code < d->nstates)
        bits |= uint64_t{1} << code;
    return 0;
}

int addEquatedStatesToSet(const Equate *e, uint32_t row, uint32_t c, DataInfo *d, uint64_t &bits)
{
    for (const char *p = e->expansion; *p; ++p)
        if (addStateToStateSet(static_cast<unsigned char>(*p), row, c, d, bits) != 0)
            return 1;
    if (e->polymorphism)
        markPolymorphic(d, row, c, bits);
    return 0;
}

int readMultistateEntry(uint32_t row, uint32_t c, int closer, const CellTables &tables,
                        DataInfo *d, uint64_t &bits)
{
    // Nested entries are followed with a stack of their closers rather than
    // by recursion, so that no depth of brackets in a file can exhaust the
    // program's stack. A few levels fit in the string's own storage.
    std::string closers(1, static_cast<char>(closer));
    int previous = -1;
    while (!closers.empty()) {
        int symbol = readNextDarkChar(" ,\n\t\r");
        if (symbol == kCharOpenComment)
            return 1;
        if (symbol < 0)
            return eofError();
        if (symbol == static_cast<unsigned char>(closers.back())) {
            if (symbol == ')')
                markPolymorphic(d, row, c, bits);
            closers.pop_back();
            previous = -1;
        } else if (symbol == '(' || symbol == '{') {
            closers.push_back(symbol == '(' ? ')' : '}');
            previous = -1;
        } else if (symbol == '~') {
            int last = readNextDarkChar(" ,\n\t\r");
            if (last < 0)
                return last == kCharOpenComment ? 1 : eofError();
            if (previous < 0 || !validRange(previous, last))
                return qel_errorMsg(410, "Range of characters is not valid.");
            for (int s = previous + 1; s <= last; ++s)
                if (addStateToStateSet(s, row, c, d, bits) != 0)
                    return 1;
            previous = -1;
        } else if (const Equate *e = tables.equates[symbol]) {
            if (addEquatedStatesToSet(e, row, c, d, bits) != 0)
                return 1;
            previous = -1;
        } else {
            if (addStateToStateSet(symbol, row, c, d, bits) != 0)
                return 1;
            previous = symbol;
        }
    }
    return 0;
}

int storeXij(uint32_t row, uint32_t c, int symbol, CellTables &tables, DataInfo *d)
{
    uint8_t code;
    if (d->status && (d->status[c] & kCharEliminated)) {
        if (symbol == '(' || symbol == '{') {
            const char *closer = symbol == '(' ? "')'" : "'}'";
            if (skipThru(symbol == '(' ? ')' : '}') != 0)
                return qel_errorMsg(113,
                                    "End-of-file encountered while skipping for '%s'.\tThis error "
                                    "is sometimes caused by an unclosed comment or other "
                                    "formatting problems.",
                                    closer);
        }
        // The full matrix starts out missing; a pattern column must be
        // completed with the same code.
        if (!d->compactStorage)
            return 0;
        code = static_cast<uint8_t>(d->nstates);
    } else if (d->matchChar && symbol == static_cast<int>(d->matchChar)) {
        if (row == 0)
            return qel_errorMsg(311, "Match character not allowed in data for first taxon.");
        code = d->firstRowCodes ? d->firstRowCodes[c] : d->matrix[0][c];
        // The match copies the whole cell: a polymorphism stays one, where
        // the code alone would read it as an uncertainty.
        if (d->polyCells && row < d->polyCells->numSets && isBitVecMember(d->polyCells->rows[0], c)) {
            addBitVecMember(d->polyCells->rows[row], c);
            d->polyCellsPresent = 1;
        }
    } else if (symbol != '(' && symbol != '{' && !tables.equates[symbol]) {
        if (tables.codeCache[symbol]) {
            code = static_cast<uint8_t>(tables.codeCache[symbol] - 2);
        } else {
            code = stateSymbolToCode(symbol, row, c, d);
            if (code == kRefusedCode)
                return 1;
            tables.codeCache[symbol] = static_cast<uint16_t>(code + 2);
        }
    } else {
        uint64_t bits = 0;
        if (symbol == '(' || symbol == '{') {
            if (readMultistateEntry(row, c, symbol == '(' ? ')' : '}', tables, d, bits) != 0)
                return 1;
        } else if (addEquatedStatesToSet(tables.equates[symbol], row, c, d, bits) != 0) {
            return 1;
        }
        if (bits & kGapMarker) {
            if (bits & ~kGapMarker)
                dataBlockReader().gapInCombination = 1;
            code = kGapCode;
        } else {
            code = stateBitsToCode(bits, d);
            if (code == kRefusedCode)
                return 1;
            // An equate that is no polymorphism gives this code wherever it
            // stands, so the bulk reader may take it as a plain symbol.
            if (symbol != '(' && symbol != '{' && !tables.equates[symbol]->polymorphism)
                tables.codeCache[symbol] = static_cast<uint16_t>(code + 2);
        }
    }
    if (row == 0 && d->firstRowCodes)
        d->firstRowCodes[c] = code;
    if (!d->compactStorage) {
        d->matrix[row][c] = code;
        return 0;
    }
    if (!d->transpose)
        return insertStateIntoPatternTST(d->patternTree, row, c, code);
    d->columnBuffer[row] = code;
    return row + 1 == d->ntax ? insertFullPatternIntoTST(d->patternTree, d->columnBuffer, c) : 0;
}

namespace {

// Under compact storage each column is built taxon by taxon in stored
// order, so a row out of place cannot be stored.
uint32_t refuseOrderForCompactStorage(const DataInfo *d)
{
    if (d->compactStorage)
        qel_errorMsg(0, "Taxa must be input in a consistent order across blocks when using "
                        "compact data storage.\tEither rearrange the input matrix rows or do "
                        "\"set datastorage=full;\" from a VORN block or the command line before "
                        "reading in the data.");
    return kSetEnd;
}

}  // namespace

uint32_t readTaxLabel(DataInfo *d, uint32_t expectedRow, bool storeLabels, bool checkNames,
                      bool searchAll, Set *seen)
{
    char label[kMaxLabelLength + 1];
    if (readLabel(label, true) != 0)
        return kSetEnd;
    if (!d->taxa.labelsKnown || !checkNames) {
        if (storeLabels && setTaxLabel(d, expectedRow, label) != 0)
            return kSetEnd;
        return expectedRow;
    }
    uint32_t row = expectedRow;
    // Most labels repeat the expected one exactly: that is checked first, as
    // it costs far less than comparing letter case by case.
    const char *expectedLabel = taxLabelString(d, expectedRow);
    if (std::strcmp(label, expectedLabel) != 0 && stricmp(label, expectedLabel) != 0) {
        dataBlockReader().taxaOutOfOrder = 1;
        row = kSetEnd;
        if (searchAll)
            for (uint32_t t = 0; t < d->ntax && row == kSetEnd; ++t)
                if (stricmp(label, taxLabelString(d, t)) == 0)
                    row = t;
        if (row == kSetEnd) {
            qel_errorMsg(306,
                         "Unrecognized taxon identifier: \"%s\"\tYou can use the command \"Set "
                         "TaxlabMatch=Relaxed;\" (in a preceding VORN block or from the "
                         "command-line) to ignore taxon names in interleaved blocks following the "
                         "first block, or after a TaxLabels command has been issued.  Also check "
                         "for a missing semicolon.",
                         label);
            return refuseOrderForCompactStorage(d);
        }
    }
    if (seen) {
        if (isSetMember(seen, row)) {
            qel_errorMsg(307,
                         "Taxon \"%s\" has already been encountered in the current block.\tThis "
                         "usually indicates a problem earlier in the file, such as a missing row "
                         "in a previous interleaved block.",
                         label);
            return refuseOrderForCompactStorage(d);
        }
        addSetMember(seen, row);
    }
    if (row != expectedRow && d->compactStorage)
        return refuseOrderForCompactStorage(d);
    return row;
}

int doMatrixCmd(DataInfo *d)
{
    DataBlockReader &r = dataBlockReader();
    const DataServices &s = dataServices();
    s.setStatusText("Processing 'Matrix' command...");
    announceFormat(d);
    MatrixExplanation explanation;
    // The pattern tree lives until the block ends (finishCharMatrix makes
    // the pattern matrix from it); a failed Matrix command releases it.
    struct TreeGuard {
        DataInfo *d;
        bool keep = false;
        ~TreeGuard()
        {
            if (!keep)
                d->patternTree = destroyPatternTST(d->patternTree);
        }
    } tree{d};
    d->patternTree = destroyPatternTST(d->patternTree);
    if (d->compactStorage && !(d->patternTree = createPatternTST(d->ntax, d->nchar, true)))
        return 1;
    s.setStatusText("Reading data matrix...");
    r.matrixRead = 1;
    if (initializeRawData(d, 0) != 0)
        return 1;
    CellTables tables{};
    for (const Equate *e = d->equates; e; e = e->next)
        for (const char *p = e->symbols; *p; ++p)
            if (static_cast<unsigned char>(*p) >= 33)
                tables.equates[static_cast<unsigned char>(*p)] = e;
    d->letterCase = -1;

    int rc = d->transpose ? readTransposed(d, tables) : readRows(d, tables);
    if (rc != 0)
        return rc;

    char word[kMaxLabelLength + 1];
    int t = readSpecialToken(word, sizeof word, nullptr, nullptr, nullptr, true);
    if (t == kTokenUnterminated)
        return 1;
    if (t != kTokenPlain || std::strcmp(word, ";") != 0)
        return qel_errorMsg(314,
                            "Expecting semicolon (;) at end of data matrix found \"%s\".\tA common "
                            "cause of this error is that 'NTax' or 'NChar' was specified "
                            "incorrectly.",
                            t == kTokenEnd ? "end-of-file" : word);
    if (r.taxaOutOfOrder)
        qel_printf("\nWarning: Input taxa were not in the same order in all blocks!\n");
    if (r.gapInCombination)
        qel_printf("\nWarning: One or more \"gap\" symbols were found in ambiguity combinations "
                   "with other states.  These have been reset to simple gaps.\n");
    qel_printf("\n");
    trimStateCodeTables(d);
    tree.keep = true;
    return 0;
}

// ---------------------------------------------------------------------------
// Joining a further CHARACTERS block

namespace {

// The codes of the new block translated into the data set's, worked out the
// first time each occurs: only states that the block's cells use must exist
// in the data set.
class CodeTranslator {
public:
    CodeTranslator(DataInfo *a, const DataInfo *b) : a_(a), b_(b)
    {
        table_.fill(-1);
        table_[kGapCode] = kGapCode;
        table_[b->nstates & 0xFF] = static_cast<int16_t>(a->nstates);
    }
    // kRefusedCode after an error report.
    uint8_t operator()(uint8_t code)
    {
        int16_t &e = table_[code];
        if (e < 0)
            e = translate(code);
        return static_cast<uint8_t>(e);
    }

private:
    uint8_t translate(uint8_t code)
    {
        if (code >= numStateCodes(b_)) {
            qel_errorMsg(0, "A cell of the new block holds the unknown code %u.", code);
            return kRefusedCode;
        }
        uint64_t mapped = 0;
        for (uint64_t w = stateBitsOfCode(b_, code); w; w &= w - 1) {
            const int symbol = static_cast<unsigned char>(b_->symbols[std::countr_zero(w)]);
            const int to = stateDex(symbol, a_);
            if (to < 0 || static_cast<uint32_t>(to) >= a_->nstates) {
                qel_errorMsg(0,
                             "The characters of this block cannot be joined to the active data "
                             "set: state '%c' is not one of its symbols (%s).\tGive every "
                             "CHARACTERS block the same data type, and declare in the first "
                             "block every symbol that later blocks use.",
                             symbol, a_->symbols);
                return kRefusedCode;
            }
            mapped |= uint64_t{1} << to;
        }
        return stateBitsToCode(mapped, a_);
    }

    DataInfo *a_;
    const DataInfo *b_;
    std::array<int16_t, 256> table_;
};

void copyMembers(const Set *from, Set *to, uint32_t offset)
{
    if (!from || !to)
        return;
    for (uint32_t i = firstOneBit(from->words, from->nwords); i != kSetEnd; i = followingSetMember(from, i))
        addSetMember(to, i + offset);
}

// The characters of every pattern of a compact data set go into the tree
// under their new numbers (offset on), each pattern's column translated once.
int insertPatterns(PatternTST *tree, const DataInfo *d, uint32_t offset, CodeTranslator *xlat,
                   std::vector<uint8_t> &column)
{
    for (uint32_t p = 0; p < d->nPatterns; ++p) {
        const uint8_t *codes = d->patternMatrix[p];
        if (xlat) {
            for (uint32_t t = 0; t < d->ntax; ++t)
                if ((column[t] = (*xlat)(codes[t])) == kRefusedCode)
                    return 1;
            codes = column.data();
        }
        for (uint32_t c = getFirstItemInPtndList(d->patternList, p); c != kSetEnd;
             c = getNextItemInPtndList(d->patternList, c))
            if (insertFullPatternIntoTST(tree, codes, c + offset) != 0)
                return 1;
    }
    return 0;
}

// The joined matrix (full or compact) of a then b in j; 0 or 1.
int joinMatrices(DataInfo *j, const DataInfo *a, const DataInfo *b, CodeTranslator &xlat)
{
    const uint32_t ntax = a->ntax, nA = a->nchar;
    if (!a->compactStorage) {
        if (!a->matrix || !b->matrix || !(j->matrix = allocMatrixOf<uint8_t>(ntax, j->nchar)))
            return 1;
        for (uint32_t t = 0; t < ntax; ++t) {
            std::memcpy(j->matrix[t], a->matrix[t], nA);
            for (uint32_t c = 0; c < b->nchar; ++c)
                if ((j->matrix[t][nA + c] = xlat(b->matrix[t][c])) == kRefusedCode)
                    return 1;
        }
        return 0;
    }
    if (!a->patternMatrix || !b->patternMatrix)
        return 1;
    PatternTST *tree = createPatternTST(ntax, j->nchar, false);
    std::vector<uint8_t> column(ntax);
    int rc = !tree || insertPatterns(tree, a, 0, nullptr, column) != 0 ||
             insertPatterns(tree, b, nA, &xlat, column) != 0 || makePatternMatrix(tree, j) != 0;
    destroyPatternTST(tree);
    return rc;
}

// The per-character part, ancestral states, polymorphic cells and labels of
// a then b in j (whose per-character part is allocated); 0 or 1.
int joinCharacters(DataInfo *j, const DataInfo *a, const DataInfo *b, CodeTranslator &xlat)
{
    const uint32_t nA = a->nchar, nB = b->nchar, n = j->nchar, ntax = a->ntax;
    j->ancestor = allocArrayOf<uint8_t>(n);
    j->gappedChars = allocSet(n);
    j->missAmbigChars = allocSet(n);
    if (!j->ancestor || !j->gappedChars || !j->missAmbigChars)
        return 1;
    std::memcpy(j->ancestor, a->ancestor, nA);
    for (uint32_t c = 0; c < nB; ++c)
        if ((j->ancestor[nA + c] = xlat(b->ancestor[c])) == kRefusedCode)
            return 1;
    if (a->polyCells || b->polyCells) {
        if (!(j->polyCells = allocSetFamily(ntax, n)))
            return 1;
        for (uint32_t t = 0; t < ntax; ++t) {
            for (const auto &[from, offset] : {std::pair{a, 0u}, std::pair{b, nA}}) {
                const SetFamily *f = from->polyCells;
                for (uint32_t c = 0; f && c < from->nchar; ++c)
                    if (isBitVecMember(f->rows[t], c))
                        addBitVecMember(j->polyCells->rows[t], c + offset);
            }
        }
    }
    if (a->charLabels || b->charLabels) {
        if (!(j->charLabels = createStringList(n)))
            return 1;
        for (const auto &[from, offset] : {std::pair{a, 0u}, std::pair{b, nA}})
            for (uint32_t c = 0; from->charLabels && c < from->nchar; ++c)
                if (const char *label = getStringFromList(from->charLabels, c))
                    if (storeStringToList(j->charLabels, label, c + offset) != 0)
                        return 1;
    }
    for (const auto &[from, offset] : {std::pair{a, 0u}, std::pair{b, nA}}) {
        const uint32_t m = from->nchar;
        std::copy_n(from->status, m, j->status + offset);
        std::copy_n(from->userTypes, m, j->userTypes + offset);
        std::copy_n(from->obsCount, m, j->obsCount + offset);
        std::copy_n(from->parsStateCount, m, j->parsStateCount + offset);
        std::copy_n(from->obsStates, m, j->obsStates + offset);
        std::copy_n(from->weights, m, j->weights + offset);
        std::copy_n(from->rateDigits, m, j->rateDigits + offset);
        std::copy_n(from->packBlock, m, j->packBlock + offset);
        copyMembers(from->eliminated, j->eliminated, offset);
        copyMembers(from->baseExcluded, j->baseExcluded, offset);
        copyMembers(from->lastEliminated, j->lastEliminated, offset);
    }
    for (uint32_t c = 0; c < n; ++c)
        j->packBlock[c].character = c;
    return 0;
}

// Moves the new matrix and per-character part from j into a; j receives
// a's old ones (to be released with j).
void exchangeCharParts(DataInfo *a, DataInfo *j)
{
    using std::swap;
    swap(a->matrix, j->matrix);
    swap(a->patternMatrix, j->patternMatrix);
    swap(a->patternIndex, j->patternIndex);
    swap(a->patternList, j->patternList);
    swap(a->nPatterns, j->nPatterns);
    swap(a->ancestor, j->ancestor);
    swap(a->gappedChars, j->gappedChars);
    swap(a->missAmbigChars, j->missAmbigChars);
    swap(a->polyCells, j->polyCells);
    swap(a->charLabels, j->charLabels);
    swap(a->status, j->status);
    swap(a->userTypes, j->userTypes);
    swap(a->obsSymbolsBlock, j->obsSymbolsBlock);
    swap(a->obsSymbols, j->obsSymbols);
    swap(a->obsCount, j->obsCount);
    swap(a->parsStateCount, j->parsStateCount);
    swap(a->obsStates, j->obsStates);
    swap(a->packBlock, j->packBlock);
    swap(a->packInfo, j->packInfo);
    swap(a->weights, j->weights);
    swap(a->rateDigits, j->rateDigits);
    swap(a->baseExcluded, j->baseExcluded);
    swap(a->eliminated, j->eliminated);
    swap(a->rateSetWork, j->rateSetWork);
    swap(a->plotWork, j->plotWork);
    swap(a->lastEliminated, j->lastEliminated);
    swap(a->nchar, j->nchar);
}

bool isBuiltinNexset(const Nexset *ns)
{
    return ns >= gNexsets.builtins && ns < gNexsets.builtins + kNumBuiltinNexsets;
}

// Widens every named set from oldN characters to the data set's count:
// new characters get the fills of their kind (user exclusion sets exclude
// them); the built-ins that share the data set's arrays follow them.
int expandNamedSets(DataInfo *d, uint32_t oldN)
{
    const uint32_t n = d->nchar;
    NexsetStore &g = gNexsets;
    bool ok = true;
    for (Nexset *ns = g.typesets; ns && ok; ns = ns->next)
        ok = isBuiltinNexset(ns) || expandTypeset(ns, oldN, n) == 0;
    for (Nexset *ns = g.wtsets; ns && ok; ns = ns->next)
        ok = isBuiltinNexset(ns) || expandWtset(ns, oldN, n) == 0;
    for (Nexset *ns = g.exsets; ns && ok; ns = ns->next) {
        if (isBuiltinNexset(ns) || !getNexsetSet(ns))
            continue;
        ok = expandSet(getNexsetSet(ns), n) == 0;
        for (uint32_t c = oldN; ok && c < n; ++c)
            addSetMember(getNexsetSet(ns), c);
    }
    gNexsets.builtins[kBuiltinGapped].payload = d->gappedChars;
    gNexsets.builtins[kBuiltinMissAmbig].payload = d->missAmbigChars;
    for (Nexset *ns = g.charsets; ns && ok; ns = ns->next)
        if (ns != &gNexsets.builtins[kBuiltinGapped] && ns != &gNexsets.builtins[kBuiltinMissAmbig] &&
            getNexsetSet(ns))
            ok = expandSet(getNexsetSet(ns), n) == 0;
    for (Nexset *ns = g.ratesets; ns && ok; ns = ns->next)
        ok = expandRateset(ns, oldN, n) == 0;
    gNexsets.builtins[kBuiltinStandard].payload = d->ancestor;
    for (Nexset *ns = g.ancstates; ns && ok; ns = ns->next)
        ok = isBuiltinNexset(ns) ||
             expandAncStates(ns, oldN, n, static_cast<uint8_t>(d->nstates)) == 0;
    for (Nexset *ns = g.charPartitions; ns && ok; ns = ns->next)
        ok = expandPartition(ns, n) == 0;
    return ok ? 0 : 1;
}

// The partition "Chars" gets a subset for the characters first .. nchar-1
// of block number `block`; at the second block the partition is made, with
// a subset for the first block's characters.
int recordBlockInPartition(DataInfo *d, const char *firstTitle, const char *title, uint32_t first,
                           uint32_t block)
{
    auto subsetName = [](const char *blockTitle, uint32_t number) {
        return blockTitle && *blockTitle ? std::string(blockTitle) : "block" + std::to_string(number);
    };
    auto fill = [](PtnSubset *subset, uint32_t from, uint32_t to) {
        if (!subset)
            return false;
        for (uint32_t c = from; c < to; ++c)
            addSetMember(subset->set, c);
        return true;
    };
    Nexset *ns = block == 2 ? nullptr : findMatchingCharPartition("Chars");
    if (ns)
        return fill(addPtnSubset(getNexPtn(ns), subsetName(title, block).c_str()), first, d->nchar) ? 0 : 1;
    if (!(ns = createNexset("Chars", kNexCharPartition)))
        return 1;
    bool ok = true;
    if (block == 2)
        ok = fill(addPtnSubset(getNexPtn(ns), subsetName(firstTitle, 1).c_str()), 0, first);
    ok = ok && fill(addPtnSubset(getNexPtn(ns), subsetName(title, block).c_str()), first, d->nchar);
    if (!ok || installNexSet(ns, kNexCharPartition, "Character-partition", false) != 0) {
        destroyNexset(ns, kNexCharPartition);
        return 1;
    }
    return 0;
}

}  // namespace

int joinCharBlock(DataInfo *a, DataInfo *b)
{
    if (!a || !b || a == b || a->ntax != b->ntax || a->compactStorage != b->compactStorage)
        return qel_errorMsg(0, "The new CHARACTERS block does not match the active data set.");
    const uint32_t nA = a->nchar;
    if (uint64_t{nA} + b->nchar >= kSetEnd)
        return qel_errorMsg(0, "The joined data set would hold more than %u characters.", kSetEnd - 1);
    const uint32_t codesBefore = numStateCodes(a);
    CodeTranslator xlat(a, b);
    DataInfo *j = createDataInfo();
    int rc = 1;
    if (j) {
        j->ntax = a->ntax;
        j->nchar = nA + b->nchar;
        rc = allocCharInfo(j) != 0 || joinMatrices(j, a, b, xlat) != 0 ||
             joinCharacters(j, a, b, xlat) != 0 || memoryErrorHasOccurred();
    }
    if (rc != 0) {
        // Combination codes added for the translation are used by no cell.
        if (const uint32_t nCodes = numStateCodes(a); nCodes > codesBefore) {
            const auto bytes = static_cast<uint32_t>(
                stateListOfCode(a, static_cast<uint8_t>(codesBefore)) - stateListOfCode(a, 0));
            setVectorSize(a->stateBits, codesBefore);
            setVectorSize(a->stateListOffsets, codesBefore);
            setVectorSize(a->stateLists, bytes);
        }
        deallocRawData(j, 1);
        return 1;
    }
    exchangeCharParts(a, j);
    deallocRawData(j, 1);
    a->firstRowCodes = static_cast<uint8_t *>(deallocArray(a->firstRowCodes));
    a->columnBuffer = static_cast<uint8_t *>(deallocArray(a->columnBuffer));
    a->savedWeights = static_cast<double *>(deallocArray(a->savedWeights));
    a->nEliminated += b->nEliminated;
    a->polyCellsPresent |= b->polyCellsPresent;
    a->charLabelsRead |= b->charLabelsRead;
    a->allDigitCharName |= b->allDigitCharName;
    const uint32_t block = ++a->nCharBlocks;
    char title[sizeof b->title];
    std::memcpy(title, b->title, sizeof title);

    // b shares a's taxa: they are not b's to release.
    b->taxa = DataTaxa{};
    if (activeDataInfo() == b)
        setActiveDataInfo(a);
    deallocRawData(b, 1);
    setActiveDataInfo(a);

    const DataServices &s = dataServices();
    s.deallocPackedData(a);
    s.invalidateSitePatterns(a);
    s.setBootJackNChar(a->nchar);
    forceCharInitialization(a);
    const bool setsGrown =
        expandNamedSets(a, nA) == 0 && recordBlockInPartition(a, a->title, title, nA, block) == 0;
    initializeFlagsForNewData(a, 1, 0);
    if (!setsGrown) {
        // The characters are joined and b is gone; sets half widened must
        // not be used, so only the built-ins remain, and the user is told.
        clearMemoryErrorStatus();
        initializeAssumpSets(a);
        qel_warningMsg(0, "The named sets could not be extended to the joined characters and "
                          "have been discarded.");
    }
    return 0;
}

#include "data/datamatrix.h"

#include <bit>
#include <cctype>
#include <cstring>
#include <string>

#include "data/data_services.h"
#include "data/data_settings.h"
#include "data/dataformat.h"
#include "data/getdata.h"
#include "data/vorn_memory.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_malloc.h"
#include "qel/qel_strings.h"
#include "shell/qel_cmdline.h"

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
int readPass(DataInfo *d, CellTables &tables, uint32_t start, uint32_t &width)
{
    DataBlockReader &r = dataBlockReader();
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
        if (labelsRight) {
            row = readTaxLabel(d, expected, !known, known && strict, true,
                               strict ? d->taxa.taxaInBlock : nullptr);
            if (row == kSetEnd)
                return 1;
        }
    }
    (void)r;
    width = passWidth < 0 ? d->nchar - start : static_cast<uint32_t>(passWidth);
    return 0;
}

int readRows(DataInfo *d, CellTables &tables)
{
    uint32_t start = 0;
    for (;;) {
        uint32_t width = 0;
        if (int rc = readPass(d, tables, start, width); rc != 0)
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
        return 0;
    }
    uint8_t code;
    if (d->matchChar && symbol == static_cast<int>(d->matchChar)) {
        if (row == 0)
            return qel_errorMsg(311, "Match character not allowed in data for first taxon.");
        code = d->firstRowCodes ? d->firstRowCodes[c] : d->matrix[0][c];
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
        }
    }
    if (row == 0 && d->firstRowCodes)
        d->firstRowCodes[c] = code;
    d->matrix[row][c] = code;
    return 0;
}

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
    if (stricmp(label, taxLabelString(d, expectedRow)) != 0) {
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
            return kSetEnd;
        }
    }
    if (seen) {
        if (isSetMember(seen, row)) {
            qel_errorMsg(307,
                         "Taxon \"%s\" has already been encountered in the current block.\tThis "
                         "usually indicates a problem earlier in the file, such as a missing row "
                         "in a previous interleaved block.",
                         label);
            return kSetEnd;
        }
        addSetMember(seen, row);
    }
    return row;
}

int doMatrixCmd(DataInfo *d)
{
    DataBlockReader &r = dataBlockReader();
    const DataServices &s = dataServices();
    s.setStatusText("Processing 'Matrix' command...");
    if (d->compactStorage)
        return qel_errorMsg(0, "Compact data storage is not available in this version.\tDo "
                               "\"set datastorage=full;\" before the data are read.");
    announceFormat(d);
    MatrixExplanation explanation;
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
    return 0;
}

// The Hennig86 and text-table importers of ToNEXUS: xread matrices and
// tread tree lists, and tables of one taxon a row, its label first.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "cli/qel_cmdline.h"
#include "data/data_services.h"
#include "data/data_settings.h"
#include "data/exchange.h"
#include "data/getdata.h"
#include "data/vorn_data.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_io.h"
#include "qel/qel_strings.h"
#include "qel/qel_textbuffer.h"

namespace {

constexpr size_t kMaxHennigWord = 8;
constexpr size_t kMaxHennigToken = 255;

bool isSpace(int c) { return c == ' ' || c == '\t' || c == '\n'; }

// ---- Hennig86 -------------------------------------------------------------------

// The next token: a run of characters ended by white space or one of
// `singles`, each of which is a token of its own; a token in single quotes
// (a title) comes back with quoted set. At most `size` characters are kept.
// 0, or -1 at the end of the input.
int readHennigToken(std::string &token, bool &quoted, const char *singles, size_t size)
{
    token.clear();
    quoted = false;
    int c;
    while ((c = readNextChar()) >= 0 && isSpace(c)) {
    }
    if (c < 0)
        return -1;
    if (c == '\'') {
        quoted = true;
        while ((c = readNextChar()) >= 0 && c != '\'')
            if (token.size() < size)
                token += static_cast<char>(c == '\n' ? ' ' : c);
        return 0;
    }
    token += static_cast<char>(c);
    if (std::strchr(singles, c))
        return 0;
    while ((c = readNextChar()) >= 0 && !isSpace(c) && !std::strchr(singles, c))
        if (token.size() < size)
            token += static_cast<char>(c);
    putCharBack(c);
    return 0;
}

// Whether word abbreviates command (at least two letters), case ignored.
bool abbreviates(const std::string &word, const char *command)
{
    return word.size() >= 2 && word.size() <= std::strlen(command) && strnicmp(word.c_str(), command, word.size()) == 0;
}

bool readCount(const std::string &token, uint32_t limit, uint32_t &value)
{
    if (token.empty() || token.size() > 10 || !std::all_of(token.begin(), token.end(), ::isdigit))
        return false;
    const unsigned long long v = std::stoull(token);
    if (v == 0 || v > limit)
        return false;
    value = static_cast<uint32_t>(v);
    return true;
}

// The characters one row of an xread matrix may hold: the state set of a
// cell is one digit; "-" and "?" are missing data.
int doXRead(ResizText *text)
{
    dataServices().setStatusText("Processing XREAD command...");
    std::string token;
    bool quoted = false;
    if (readHennigToken(token, quoted, ";", kMaxHennigToken) != 0)
        return importRefused("Hennig86");
    if (quoted) {
        eprintf(text, "\n[!%s]\n", commentSafe(token).c_str());
        if (readHennigToken(token, quoted, ";", kMaxHennigToken) != 0)
            return importRefused("Hennig86");
    }
    uint32_t nchar = 0;
    uint32_t ntax = 0;
    std::string second;
    if (!readCount(token, UINT32_MAX - 1, nchar) || readHennigToken(second, quoted, ";", kMaxHennigToken) != 0 ||
        !readCount(second, kMaxTaxa, ntax))
        return importRefused("Hennig86");
    eprintf(text, "\nBegin data;\n    Dimensions ntax=%u nchar=%u;\n    Format symbols=\"", ntax, nchar);
    const uint64_t symbolsAt = getResizTextLength(text);
    eputs("Y~Z\";\n    Matrix\n", text);
    int lowest = '9' + 1;
    int highest = '0' - 1;
    std::string row;
    for (uint32_t t = 0; t < ntax; t++) {
        std::string name;
        if (readHennigToken(name, quoted, ";", kMaxHennigToken) != 0 || name == ";")
            return importUnexpectedEnd();
        const std::string label = importedLabel(name.c_str());
        noteImportedTaxon(label);
        eprintf(text, "%s\n", label.c_str());
        row.clear();
        for (uint32_t k = 0; k < nchar; k++) {
            int c;
            while ((c = readNextChar()) >= 0 && isSpace(c)) {
            }
            if (c < 0)
                return importUnexpectedEnd();
            if (c == '-' || c == '?') {
                row += '?';
            } else if (std::isdigit(c)) {
                lowest = std::min(lowest, c);
                highest = std::max(highest, c);
                row += static_cast<char>(c);
            } else {
                return importInvalidSymbol(c, t, k);
            }
        }
        row += '\n';
        ewrite(row.data(), row.size(), text);
    }
    if (skipThru(';') != 0)
        return importUnexpectedEnd();
    eputs("    ;\nEnd;\n", text);
    if (highest < lowest)
        lowest = highest = '0';
    // The symbols are known only now: the placeholders take them.
    if (!resizTextFailed(text)) {
        char *symbols = getResizTextBuffer(text) + symbolsAt;
        symbols[0] = static_cast<char>(lowest);
        // A range from a digit to itself is refused by the reader: one
        // digit stands alone, its range blanked out.
        if (highest == lowest)
            symbols[1] = symbols[2] = ' ';
        else
            symbols[2] = static_cast<char>(highest);
    }
    return 0;
}

int doTRead(ResizText *text)
{
    dataServices().setStatusText("Processing TREAD command...");
    const char *singles = "()*;";
    std::string token;
    bool quoted = false;
    if (readHennigToken(token, quoted, singles, kMaxHennigToken) != 0)
        return importUnexpectedEnd();
    if (quoted) {
        eprintf(text, "\n[!%s]\n", commentSafe(token).c_str());
        if (readHennigToken(token, quoted, singles, kMaxHennigToken) != 0)
            return importUnexpectedEnd();
    }
    eputs("\nBegin trees;\n", text);
    for (uint32_t tree = 1;; tree++) {
        eprintf(text, "    tree hennig%u = [&U] ", tree);
        for (;;) {
            if (token == "*" || token == ";")
                break;
            if (std::isdigit(static_cast<unsigned char>(token[0]))) {
                uint32_t taxon = 0;
                if (token.size() > 5 || !std::all_of(token.begin(), token.end(), ::isdigit))
                    return importRefused("Hennig86");
                taxon = static_cast<uint32_t>(std::stoul(token));
                eprintf(text, "%u", taxon + 1);
            } else if (token == "(" || token == ")") {
                eputs(token.c_str(), text);
            } else {
                eputs(importedLabel(token.c_str()).c_str(), text);
            }
            if (token != "(") {
                const int next = peekNextChar(nullptr);
                if (next != ')' && next != '*' && next != ';')
                    eputc(',', text);
            }
            if (readHennigToken(token, quoted, singles, kMaxHennigToken) != 0)
                return importUnexpectedEnd();
        }
        eputs(";\n", text);
        if (token == ";")
            break;
        if (readHennigToken(token, quoted, singles, kMaxHennigToken) != 0)
            return importUnexpectedEnd();
        if (token == ";")
            break;
    }
    eputs("End;\n", text);
    return 0;
}

// ---- Text tables ------------------------------------------------------------------

struct TextTable {
    uint32_t ntax = 0;
    uint32_t nchar = 0;
    size_t labelWidth = 0;
    std::set<char> symbols;
};

int unbalanced(int opener, uint32_t taxon)
{
    return qel_errorMsg(903, "Unbalanced '%c' for taxon %u.", opener, taxon);
}

char closerOf(char opener) { return opener == '(' ? ')' : '}'; }

// A bracketed group that starts at line[i]: blanks, tabs and commas
// inside dropped. The index after it, or npos when it does not close on
// the line.
size_t readGroup(const std::string &line, size_t i, std::string &cell)
{
    const char closer = closerOf(line[i]);
    cell.assign(1, line[i]);
    for (size_t k = i + 1; k < line.size(); k++) {
        const char c = line[k];
        if (c == closer) {
            cell += c;
            return k + 1;
        }
        if (c != ' ' && c != '\t' && c != ',')
            cell += c;
    }
    return std::string::npos;
}

// Restriction sites are written absent "-" and present "+".
char restSiteSymbol(char c) { return c == '0' ? '-' : c == '1' ? '+' : c; }

// The missing, match and gap characters the Format command names: no states,
// so kept out of the symbols (a data block refuses them there). "-" is a
// state of restriction sites, no gap.
bool isSpecialSymbol(char c, bool restSites)
{
    const auto is = [c](int32_t symbol) { return symbol != 0 && c == static_cast<char>(symbol); };
    return is(imprt.missSymbol) || is(imprt.identSymbol) || (!restSites && is(imprt.gapSymbol));
}

bool blankLine(const std::string &line)
{
    return line.find_first_not_of(" \t") == std::string::npos;
}

// Splits one simple-text row into its label and cells; 0, or 1 after an
// error report.
int splitTextRow(const std::string &line, uint32_t taxon, std::string &label, std::vector<std::string> &cells)
{
    size_t i = line.find_first_not_of(" \t");
    label.clear();
    if (line[i] == '\'') {
        for (i++; i < line.size(); i++) {
            if (line[i] == '\'') {
                if (i + 1 < line.size() && line[i + 1] == '\'') {
                    label += '\'';
                    i++;
                    continue;
                }
                i++;
                break;
            }
            label += line[i];
        }
    } else {
        for (; i < line.size() && !std::strchr(" \t(){}", line[i]); i++)
            label += line[i];
    }
    for (;;) {
        i = line.find_first_not_of(" \t", i);
        if (i == std::string::npos)
            return 0;
        std::string cell;
        if (line[i] == '(' || line[i] == '{') {
            const size_t next = readGroup(line, i, cell);
            if (next == std::string::npos)
                return unbalanced(line[i], taxon);
            i = next;
        } else {
            cell.assign(1, line[i++]);
        }
        cells.push_back(std::move(cell));
    }
}

// The same for a tab-delimited row. An empty cell is missing data.
int splitTabRow(const std::string &line, uint32_t taxon, std::string &label, std::vector<std::string> &cells)
{
    size_t tab = line.find('\t');
    label = line.substr(0, tab);
    while (tab != std::string::npos) {
        const size_t start = tab + 1;
        tab = line.find('\t', start);
        std::string raw = line.substr(start, tab == std::string::npos ? std::string::npos : tab - start);
        std::string cell;
        if (raw.empty()) {
            cell = "?";
        } else if (raw.size() == 1) {
            cell = raw;
        } else if (raw[0] == '(' || raw[0] == '{') {
            if (readGroup(raw, 0, cell) != raw.size())
                return unbalanced(raw[0], taxon);
        } else {
            cell = "{" + raw + "}";
        }
        cells.push_back(std::move(cell));
    }
    return 0;
}

int rowCountMismatch(uint32_t taxon, const std::string &label, size_t count, uint32_t previous, bool interleaved)
{
    return qel_errorMsg(906,
                        "Taxon %u (%s) has %u characters%s; previous taxa had %u characters.\tIf \"interleave\" "
                        "setting is correct, check for other formatting problems.",
                        taxon, label.c_str(), static_cast<uint32_t>(count), interleaved ? " in this block" : "",
                        previous);
}

// One pass over the table: measures it, or (writingPass) writes its rows.
// 0, or 1 after an error report.
int doText(bool writingPass, TextTable &table, ResizText *text)
{
    const bool tabbed = imprt.format == kImportTabText;
    const char *formatName = tabbed ? "Tab-delimited text" : "Simple text";
    const bool interleaved = imprt.interleaved != 0;
    const bool restSites = imprt.dataType == kImportRestSite;
    std::string line;
    std::string label;
    std::vector<std::string> cells;
    uint32_t rowInBlock = 0;
    uint32_t blockCells = 0;  // fixed by the block's first row
    uint64_t nchar = 0;
    uint32_t rows = 0;
    bool anyRow = false;
    ForeignLines lines;
    int rc;
    while ((rc = lines.next(line)) == 0) {
        if (blankLine(line)) {
            if (rowInBlock == 0)
                continue;  // blank lines before a block
            if (!interleaved)
                break;
            nchar += blockCells;
            rowInBlock = 0;
            if (writingPass)
                eputc('\n', text);
            continue;
        }
        const uint32_t taxon = rowInBlock + 1;
        cells.clear();
        if ((tabbed ? splitTabRow(line, taxon, label, cells) : splitTextRow(line, taxon, label, cells)) != 0)
            return 1;
        if (rowInBlock == 0) {
            if (cells.empty())
                return importRefused(formatName);
            blockCells = static_cast<uint32_t>(cells.size());
        } else if (cells.size() != blockCells) {
            return rowCountMismatch(taxon, label, cells.size(), blockCells, interleaved);
        }
        if (rowInBlock == kMaxTaxa)
            return qel_errorMsg(302, "Value of 'NTax' exceeds maximum permitted in this version of VORN (%d)",
                                static_cast<int>(kMaxTaxa));
        const std::string word = importedLabel(label.c_str());
        if (writingPass) {
            if (nchar == 0)  // later blocks repeat the names
                noteImportedTaxon(word);
            std::string row = word;
            row.append(table.labelWidth - std::min(table.labelWidth, word.size()) + 1, ' ');
            for (const std::string &cell : cells)
                for (char c : cell)
                    row += restSites ? restSiteSymbol(c) : c;
            row += '\n';
            ewrite(row.data(), row.size(), text);
        } else {
            table.labelWidth = std::max(table.labelWidth, word.size());
            for (const std::string &cell : cells)
                for (char c : cell)
                    if (!std::strchr("?{}()", c) && !isSpecialSymbol(c, restSites))
                        table.symbols.insert(restSites ? restSiteSymbol(c) : c);
        }
        anyRow = true;
        rowInBlock++;
        rows = rowInBlock;
    }
    if (rc > 0)
        return 1;
    if (!anyRow)
        return importUnexpectedEnd();
    if (rowInBlock > 0)
        nchar += blockCells;
    if (nchar > UINT32_MAX - 1)
        return qel_errorMsg(0, "The table has too many characters.");
    if (!writingPass) {
        table.ntax = rows;
        table.nchar = static_cast<uint32_t>(nchar);
    }
    return 0;
}

}  // namespace

int importHennig(ResizText *text)
{
    const char *singles = ";";
    bool found = false;
    std::string word;
    bool quoted = false;
    while (readHennigToken(word, quoted, singles, kMaxHennigWord) == 0) {
        int rc = -1;
        if (!quoted && abbreviates(word, "xread"))
            rc = doXRead(text);
        else if (!quoted && abbreviates(word, "tread"))
            rc = doTRead(text);
        else if (word != ";" && skipThru(';') != 0)
            break;
        if (rc > 0)
            return 1;
        found = found || rc == 0;
    }
    dataServices().clearStatusText();
    if (!found)
        return qel_errorMsg(905, "No 'xread' or 'tread' command found in file \"%s\".", imprt.fromFile);
    return 0;
}

int importText(ResizText *text)
{
    TextTable table;
    if (doText(false, table, text) != 0)
        return 1;
    eprintf(text, "Begin data;\n    Dimensions ntax=%u nchar=%u;\n", table.ntax, table.nchar);
    const std::string symbols(table.symbols.begin(), table.symbols.end());
    if (emitFormatCmd(text, imprt.interleaved != 0, symbols.c_str()) != 0)
        return 1;
    eputs("    Matrix\n", text);
    rewindCurrentInput();
    if (doText(true, table, text) != 0)
        return 1;
    eputs("    ;\nEnd;\n", text);
    return 0;
}

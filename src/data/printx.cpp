#include "data/printx.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "cli/qel_cmdline.h"
#include "cli/qel_cmdoptions.h"
#include "data/charstat.h"
#include "data/data_services.h"
#include "data/data_settings.h"
#include "data/nexsets.h"
#include "data/prepdata.h"
#include "data/taxstat.h"
#include "data/vorn_util.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_multithread.h"
#include "qel/qel_output.h"
#include "qel/qel_oututil.h"

namespace {

constexpr uint32_t kLabelLimit = 32;
constexpr int kStatusLabelEnd = 10;  // the status labels end in this column

constexpr const char *kTitles[] = {"",
                                   "Input data matrix",
                                   "Reconstructed states for internal nodes",
                                   "Data matrix and reconstructed states for internal nodes",
                                   "Possible character-state assignments to internal nodes",
                                   "Character states for ancestor"};
constexpr const char *kHeadings[] = {"", "Taxon", "Node", "Taxon/Node", "Node", "Ancestor"};

struct StatusKind {
    uint32_t bit;
    const char *label;
};
constexpr StatusKind kStatusKinds[] = {
    {kCharConstant, "Constant:"},
    {kCharEliminated, "Elim:"},
    {kCharUninformative, "Uninf:"},
    {kCharExcluded, "Excluded:"},
};

// One cell while its row is printed: the states still to write and the
// bracket that closes a multistate taxon cell.
struct CellText {
    uint64_t left = 0;
    char closer = 0;
};

// The first line of a cell.
char firstLine(CellText &cell, const MatrixDisplayRow &row, uint32_t c, const DataInfo *d)
{
    const uint64_t all = parsAllStates(d);
    const bool taxon = row.taxon >= 0;
    const DataServices &s = dataServices();
    if (cell.left == 0)
        return ' ';
    if (taxon && d->gapSymbol && isGap(row.taxon, c, d)) {
        cell.left = 0;
        return static_cast<char>(d->gapSymbol);
    }
    // With one state in the data a cell of that state holds every state:
    // only the missing cell is '?'.
    if ((cell.left & all) == all && (std::popcount(all) > 1 || (taxon && isMissing(row.taxon, c, d)))) {
        cell.left = 0;
        return '?';
    }
    const bool multi = std::popcount(cell.left) > 1;
    const bool poly = taxon && multi && isPolymorphicMST(row.taxon, c, d);
    if (multi && cmFmt.cmShowEq) {
        const int polyFlag = taxon && s.criterion() == kCriterionParsimony ? (poly ? 1 : 0) : -1;
        if (const int e = statesToEquate(cell.left, d->parsSymbols, polyFlag, d)) {
            cell.left = 0;
            return static_cast<char>(e);
        }
    }
    if (taxon && multi && s.msTaxa() == kMsTaxaVariable) {
        cell.closer = poly ? ')' : '}';
        return poly ? '(' : '{';
    }
    const int state = std::countr_zero(cell.left);
    cell.left &= cell.left - 1;
    return parsStateSymbol(state, d);
}

char laterLine(CellText &cell, const DataInfo *d)
{
    if (cell.left) {
        const int state = std::countr_zero(cell.left);
        cell.left &= cell.left - 1;
        return parsStateSymbol(state, d);
    }
    const char closer = cell.closer;
    cell.closer = 0;
    return closer ? closer : ' ';
}

// The lines of the status kinds present among the page's characters.
void printStatusLines(const std::vector<uint32_t> &chars, const DataInfo *d, int lw, int cw)
{
    uint32_t present = 0;
    for (uint32_t c : chars)
        present |= d->status[c];
    for (const StatusKind &kind : kStatusKinds) {
        if (!(present & kind.bit))
            continue;
        std::string line(kStatusLabelEnd - std::min<size_t>(kStatusLabelEnd, std::strlen(kind.label)), ' ');
        line += kind.label;
        for (size_t k = 0; k < chars.size(); ++k) {
            if (!(d->status[chars[k]] & kind.bit))
                continue;
            const size_t column = static_cast<size_t>(lw + 2) + k * static_cast<size_t>(cw) + static_cast<size_t>(cw - 1);
            if (line.size() < column)
                line.append(column - line.size(), ' ');
            line += '*';
        }
        qel_printf("%s\n", line.c_str());
    }
    tableLine(lw + 2 + cw * static_cast<int>(chars.size()), 0);
}

int printMatrix(const MatrixDisplay &m, const DataInfo *d, int lw)
{
    const auto mode = static_cast<uint32_t>(m.mode);
    const int cw = std::clamp<int>(static_cast<int>(cmFmt.cmColWidth), 1, 64);
    std::string title = kTitles[mode];
    if (m.mode == MatrixMode::Ancestor)
        title += " \"" + m.ancestorName + "\"";
    ItemColumns columns;
    columns.withExcluded = m.fromData && cmFmt.showExcluded;
    columns.charLabels = cmFmt.cmLabels != 0;
    columns.title = title.c_str();
    columns.rowHeading = kHeadings[mode];
    columns.rowWidth = static_cast<uint32_t>(lw + 1);
    columns.colWidth = static_cast<uint32_t>(cw);
    std::vector<uint32_t> chars;
    std::vector<CellText> cells;
    for (uint32_t first = 0; first != kNoMoreItems;) {
        if (getAbortedStatus())
            return 2;
        const uint32_t next = charTaxHeader(d, columns, first, first > 0, chars);
        if (chars.empty())
            break;
        if (cmFmt.cmCstatus)
            printStatusLines(chars, d, lw, cw);
        for (size_t r = 0; r < m.rows.size(); ++r) {
            const MatrixDisplayRow &row = m.rows[r];
            cells.assign(chars.size(), CellText{});
            for (size_t k = 0; k < chars.size(); ++k)
                cells[k].left = row.taxon >= 0 ? getXijAsBits(d, row.taxon, chars[k], nullptr) : m.states(r, chars[k]);
            std::string line;
            for (bool firstRowLine = true;; firstRowLine = false) {
                line.assign(static_cast<size_t>(lw + 2), ' ');
                if (firstRowLine)
                    line.replace(0, std::min<size_t>(row.label.size(), static_cast<size_t>(lw)), row.label, 0,
                                 static_cast<size_t>(lw));
                bool more = false;
                for (size_t k = 0; k < chars.size(); ++k) {
                    CellText &cell = cells[k];
                    line.append(static_cast<size_t>(cw - 1), ' ');
                    line += firstRowLine ? firstLine(cell, row, chars[k], d) : laterLine(cell, d);
                    more = more || cell.left || cell.closer;
                }
                line.erase(line.find_last_not_of(' ') + 1);
                qel_printf("%s\n", line.c_str());
                if (getAbortedStatus())
                    return 2;
                if (!more)
                    break;
            }
        }
        first = next;
    }
    return 0;
}

struct OutputJob {
    const MatrixDisplay *display;
    DataInfo *d;
};

int matrixJob(void *arg)
{
    auto *job = static_cast<OutputJob *>(arg);
    return showMatrixOutputProc(*job->display, job->d);
}

}  // namespace

int showMatrixOutputProc(const MatrixDisplay &m, const DataInfo *d)
{
    if (countIncludedChars(d, 0) == 0) {
        qel_printf("\nNo characters are currently included.\n");
        return 0;
    }
    const auto mode = static_cast<uint32_t>(m.mode);
    size_t lw = std::strlen(kHeadings[mode]);
    for (int32_t t = 0; t < d->nActive; ++t)
        lw = std::max(lw, std::min<size_t>(kLabelLimit, std::strlen(getTaxLabel(d, static_cast<uint32_t>(t)))));
    // The status labels fill the first ten columns; with short taxon labels
    // the first cells would fall under them and every mark would be shifted.
    if (cmFmt.cmCstatus)
        lw = std::max<size_t>(lw, kStatusLabelEnd - 2);
    return printMatrix(m, d, static_cast<int>(lw));
}

int showDataMatrix(MatrixMode mode, bool fromData)
{
    DataInfo *d = activeDataInfo();
    if (!d)
        return 1;
    MatrixDisplay m;
    m.mode = mode;
    m.fromData = fromData;
    if (fromData) {
        dataServices().setStatusText("Showing data matrix...");
        if (prepareData(kPrepCurrentCriterion, 0, true) != 0)
            return 1;
        if (mode != MatrixMode::Ancestor && setCmdParamVals(OptionSet::kShowMatrix) != 0)
            return 1;
    }
    if (mode == MatrixMode::Ancestor) {
        const Nexset *anc = gNexsets.curAncestor;
        m.ancestorName = anc ? getNexsetName(anc) : "";
        m.rows.push_back({m.ancestorName, -1});
        m.states = [d](size_t, uint32_t c) { return getXijAsBits(d, -1, c, nullptr); };
    } else {
        for (int32_t t = 0; t < d->nActive; ++t)
            m.rows.push_back({getTaxLabel(d, static_cast<uint32_t>(t)), t});
    }
    OutputJob job{&m, d};
    return runOutputThread(matrixJob, &job);
}

int doShowMatrixCmd() { return showDataMatrix(MatrixMode::Data, true); }

int doShowAncStatesCmd()
{
    Nexset *named = nullptr;
    const int status = peekNextChar(nullptr) == ';'
                           ? readSemicolon()
                           : whichNexusObject(gNexsets.ancstates, "Ancestral-states", &named, true);
    if (status != 0)
        return 1;
    // The named vector is the current one for this display only.
    Nexset *current = gNexsets.curAncestor;
    if (named)
        gNexsets.curAncestor = named;
    const int shown = showDataMatrix(MatrixMode::Ancestor, true);
    gNexsets.curAncestor = current;
    return shown;
}

#include "distance/showdist.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "cli/qel_cmdline.h"
#include "cli/qel_cmdoptions.h"
#include "cli/shell_settings.h"
#include "data/data_util.h"
#include "data/model.h"
#include "data/taxlabels.h"
#include "data/vorn_data.h"
#include "distance/dcalc.h"
#include "distance/dmatrix.h"
#include "distance/dset.h"
#include "parsimony/pars_init.h"
#include "parsimony/pars_util.h"
#include "qel/qel_auxout.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_output.h"
#include "qel/qel_progress.h"
#include "qel/qel_strings.h"
#include "qel/qel_time.h"
#include "search/scores.h"
#include "trees/savetree.h"
#include "trees/treeutil.h"

namespace {

constexpr uint32_t kLabelLimit = 32;
constexpr size_t kLabelBuf = 2 * kMaxLabelLength + 8;

uint32_t activeCount(const DataInfo *d) { return d->nActive > 0 ? static_cast<uint32_t>(d->nActive) : d->ntax; }

// The active taxon's full-list number (0-based) and label.
uint32_t fullNumber(const DataInfo *d, uint32_t t) { return getTaxNum(d, t) - 1; }
std::string label(const DataInfo *d, uint32_t t)
{
    const char *l = getTaxLabel(d, t);
    return l ? l : "";
}

int digits(uint64_t x)
{
    int k = 1;
    for (; x >= 10; x /= 10)
        ++k;
    return k;
}

double cell(const DMatrix *dm, uint32_t i, uint32_t j)
{
    return i == j ? 0.0 : i > j ? dm->distances[i][j] : dm->distances[j][i];
}

bool isUndefinedCell(const DMatrix *dm, uint32_t i, uint32_t j)
{
    return i != j && dm->nUndefined > 0 && cell(dm, i, j) == dm->maxDistance;
}

bool stopRequested() { return gAborted_.load() && confirmAbortRequest(); }

// A table stopped part way says so, or its last row would pass for the end.
bool displayStopped()
{
    if (!stopRequested())
        return false;
    qel_printf("\nDisplay of distance matrix canceled by user.\n");
    return true;
}

// ---------------------------------------------------------------------------
// The file writer

class DistanceWriter {
public:
    DistanceWriter(const DMatrix *dm, DataInfo *d, const SaveDistSettings &opts)
        : dm_(dm), d_(d), opts_(opts), n_(activeCount(d))
    {
        width_ = setDistFieldWidths(dm, &decimals_, opts.ndecimals);
        asterisk_ = opts.undefined != 0 || dm->subst == 3;
        for (uint32_t t = 0; t < n_; ++t)
            labels_.push_back(fileLabel(t));
        for (const std::string &l : labels_)
            labelField_ = std::max(labelField_, static_cast<int>(l.size()));
        if (opts.format == kDistFmtPhylip)
            labelField_ = 10;
    }

    void write()
    {
        switch (opts_.format) {
        case kDistFmtOneColumn: writeOneColumn(); return;
        case kDistFmtTabText: writeTabHead(); break;
        case kDistFmtNexus: writeNexusHead(); break;
        default: auxPrintf("%u\n", n_); break;
        }
        for (uint32_t i = 0; i < n_; ++i)
            writeRow(i);
        if (opts_.format == kDistFmtNexus)
            auxPuts("\t;\nEnd;\n");
    }

private:
    bool tab() const { return opts_.format == kDistFmtTabText; }
    // PHYLIP formats ignore the diagonal option; NEXUS and text honour it
    // for one triangle only.
    bool diagonal() const
    {
        return opts_.triangle != kTriangleBoth && opts_.diagonal && opts_.format != kDistFmtPhylip &&
               opts_.format != kDistFmtRelPhylip;
    }

    std::string fileLabel(uint32_t t) const
    {
        char buffer[kLabelBuf];
        const std::string l = label(d_, t);
        switch (opts_.format) {
        case kDistFmtNexus: return nexusizeString(l.c_str(), buffer, sizeof buffer);
        // Strict PHYLIP names are cut to 10 and keep their blanks, as the
        // exported data matrix writes them.
        case kDistFmtPhylip: return phylipLabel(l.c_str(), false, true, buffer, sizeof buffer);
        case kDistFmtRelPhylip: return relaxedPhylipLabel(l.c_str(), buffer, sizeof buffer);
        default: return l;
        }
    }

    std::string value(uint32_t i, uint32_t j, bool padded) const
    {
        char text[512];
        const int w = padded ? width_ : 0;
        if (i != j && isUndefinedCell(dm_, i, j) && asterisk_) {
            std::snprintf(text, sizeof text, "%*s", padded ? width_ : 1, "*");
            return text;
        }
        const double v = cell(dm_, i, j);
        if (v > 100.0)
            std::snprintf(text, sizeof text, "%*g", w, v);
        else
            std::snprintf(text, sizeof text, "%*.*f", w, decimals_, v);
        return text;
    }

    void writeOneColumn()
    {
        for (uint32_t i = 1; i < n_; ++i)
            for (uint32_t j = 0; j < i; ++j) {
                auxPrintf("%s\t%s\t", labels_[i].c_str(), labels_[j].c_str());
                if (isUndefinedCell(dm_, i, j) && asterisk_)
                    auxPuts("*\n");
                else if (cell(dm_, i, j) > 100.0)
                    auxPrintf("%g\n", cell(dm_, i, j));
                else
                    auxPrintf("%.*f\n", decimals_, cell(dm_, i, j));
            }
    }

    void writeTabHead()
    {
        const uint32_t first = opts_.triangle == kTriangleUpper && !diagonal() ? 1 : 0;
        for (uint32_t t = first; t < n_; ++t)
            auxPrintf("\t%s", labels_[t].c_str());
        auxPutNewline();
    }

    void writeNexusHead()
    {
        auxPutNEXUS();
        auxPrintf("\n[Distance matrix saved %s]\n[!\n", getDateTimeString().c_str());
        showDistSettings(false, false, true, auxPrintf, 2);
        auxPrintf("]\n\nBegin taxa;\n\tDimensions ntax=%u;\n\tTaxlabels\n", n_);
        for (const std::string &l : labels_)
            auxPrintf("\t\t%s\n", l.c_str());
        auxPuts("\t\t;\nEnd;\n\nBegin distances;\n");
        static const char *const kTriangles[] = {"lower", "upper", "both"};
        auxPrintf("\tFormat triangle=%s labels", kTriangles[opts_.triangle]);
        if (opts_.triangle != kTriangleBoth)
            auxPrintf("%sdiagonal", diagonal() ? " " : " no");
        auxPuts(";\n\tMatrix\n");
    }

    void writeRow(uint32_t i)
    {
        if (tab())
            auxPuts(labels_[i].c_str());
        else
            auxPrintf("%-*s", labelField_ + 4, labels_[i].c_str());
        uint32_t from = 0, to = n_;  // columns [from, to)
        switch (opts_.triangle) {
        case kTriangleLower: to = diagonal() ? i + 1 : i; break;
        case kTriangleUpper: {
            from = diagonal() ? i : i + 1;
            // Blank cells for the columns left of the triangle (the first
            // column is never written without the diagonal).
            for (uint32_t c = diagonal() ? 0 : 1; c < std::min(from, n_); ++c)
                auxPrintf(tab() ? "\t" : "%*s", width_, "");
            break;
        }
        default: break;
        }
        for (uint32_t j = from; j < to; ++j) {
            if (tab())
                auxPutc('\t');
            auxPuts(value(i, j, !tab()).c_str());
        }
        auxPutNewline();
    }

    const DMatrix *dm_;
    DataInfo *d_;
    const SaveDistSettings &opts_;
    uint32_t n_;
    int width_ = 0;
    int decimals_ = 0;
    int labelField_ = 0;
    bool asterisk_ = false;
    std::vector<std::string> labels_;
};

// ---------------------------------------------------------------------------
// Total and mean character differences, both triangles of one table

int showCharacterDifferences(DataInfo *d)
{
    const uint32_t n = activeCount(d);
    const uint32_t saved = tempResetOptCrit(kCriterionParsimony);
    // One active taxon has no pairs to count (and too few taxa for the
    // parsimony data): its matrix is the lone diagonal cell.
    const bool pairs = n > 1;
    int status = !pairs || getDMatrix(kDMatrixForDistance, d, false) ? 0 : 1;  // prepares the parsimony data
    TreeHandle tree(status == 0 && pairs ? createTree(true) : nullptr);
    std::vector<double> block(static_cast<size_t>(n) * n, 0.0);
    std::vector<const void *> rows(n);
    for (uint32_t i = 0; i < n; ++i)
        rows[i] = block.data() + static_cast<size_t>(i) * n;
    if (status == 0 && pairs && !tree)
        status = 1;
    setStatusText("Computing distance matrix...");
    double largest = 0.0;
    for (uint32_t i = 1; i < n && status == 0; ++i)
        for (uint32_t j = 0; j < i; ++j) {
            const double total = absoluteDist(d, tree.get(), static_cast<int32_t>(i), static_cast<int32_t>(j));
            block[static_cast<size_t>(i) * n + j] = total;
            block[static_cast<size_t>(j) * n + i] =
                meanDist(static_cast<int32_t>(i), static_cast<int32_t>(j), d, total);
            largest = std::max(largest, total);
            if (stopRequested()) {
                status = 2;
                break;
            }
        }
    clearStatusText();
    restoreOriginalOptCrit(saved);
    if (status != 0)
        return status;
    char text[64];
    const int totalWidth = std::snprintf(text, sizeof text, "%.*f", static_cast<int>(gPars.scoreDecimals), largest);
    const int meanWidth = std::snprintf(text, sizeof text, "%.5f", 1.0);
    const int width = std::max({totalWidth, meanWidth, digits(n)}) + 1;
    std::vector<uint32_t> taxa(n);
    for (uint32_t t = 0; t < n; ++t)
        taxa[t] = fullNumber(d, t);
    return showPairwiseTaxaMatrix(rows.data(), d, kCellDouble, kTriangleBoth, n, taxa.data(),
                                  "Pairwise distances between taxa", "Total character differences",
                                  missingDataIncluded(d) ? "Mean character differences (adjusted for missing data)"
                                                         : "Mean character differences",
                                  width, 5);
}

}  // namespace

// ---------------------------------------------------------------------------

std::string makeDistanceHeader(uint32_t type, uint32_t subst)
{
    char text[160];
    const Model *model = getDefaultModel();
    if (subst == 3) {
        std::snprintf(text, sizeof text, "Ti/tv ratios for %s distance", distTypeName(type));
        return text;
    }
    if ((type == kDistJC || type == kDistF81 || type == kDistLogDet) && model && model->nstates != 4)
        std::snprintf(text, sizeof text, "%s (%u-state) distance matrix", distTypeName(type), model->nstates);
    else
        std::snprintf(text, sizeof text, "%s distance matrix", distTypeName(type));
    text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    return text;
}

int setDistFieldWidths(const DMatrix *dm, int *decimalsOut, int requested)
{
    int decimals = requested;
    const DataInfo *d = activeDataInfo();
    if (dm->type == kDistUser) {
        decimals = static_cast<int>(dm->decimals);
    } else if (dm->type == kDistTotal) {
        decimals = static_cast<int>(gPars.scoreDecimals);
    } else if (dm->type == kDistAbs && dm->subst != 3) {
        // The weights' own decimals: the parsimony score decimals are those
        // of the last parsimony preparation, which may predate the weights.
        decimals = d ? static_cast<int>(weightDecimals(d)) : 0;
    }
    *decimalsOut = decimals;
    char text[512];
    const int printed = std::snprintf(text, sizeof text, "%.*f", decimals, dm->maxDistance);
    if (decimals > 0 && dm->maxDistance > 100.0)
        return 12;
    return printed + 2;
}

int showPairwiseTaxaMatrix(const void *const *matrix, const DataInfo *d, int cellKind, uint32_t triangle, uint32_t n,
                            const uint32_t *taxonList, const char *title, const char *captionBelow,
                            const char *captionAbove, int width, int decimals)
{
    const auto taxon = [&](uint32_t r) { return taxonList ? taxonList[r] : r; };
    const auto rowLabel = [&](uint32_t r) {
        const char *l = taxLabelString(d, taxon(r));
        return std::string(l ? l : "");
    };
    int labelWidth = 0;
    for (uint32_t r = 0; r < n; ++r)
        labelWidth = std::max(labelWidth, std::min(static_cast<int>(rowLabel(r).size()), static_cast<int>(kLabelLimit)));
    const int rowHead = labelWidth + 4;
    const int room = static_cast<int>(getOutputLineLength()) - rowHead;
    const uint32_t perBlock = static_cast<uint32_t>(std::max(1, room / std::max(width, 1)));
    const bool both = triangle == kTriangleBoth, upper = triangle == kTriangleUpper;
    const auto cellText = [&](uint32_t r, uint32_t c) {
        char text[512];
        if (r == c) {
            std::snprintf(text, sizeof text, "%*c", width, '-');
            return std::string(text);
        }
        const uint32_t a = upper ? c : r, b = upper ? r : c;  // upper tables read the transposed cell
        switch (cellKind) {
        case kCellScore:
            return treeScoreToString(width, static_cast<const int32_t *>(matrix[a])[b]);
        case kCellInt:
            std::snprintf(text, sizeof text, "%*d", width, static_cast<const int32_t *>(matrix[a])[b]);
            break;
        case kCellFloat:
            std::snprintf(text, sizeof text, "%*.*f", width, decimals, static_cast<const float *>(matrix[a])[b]);
            break;
        default: {
            const int dec = both && c < r ? static_cast<int>(gPars.scoreDecimals) : decimals;
            std::snprintf(text, sizeof text, "%*.*f", width, dec, static_cast<const double *>(matrix[a])[b]);
        }
        }
        return std::string(text);
    };
    for (uint32_t c0 = 0; c0 < n; c0 += perBlock) {
        const uint32_t c1 = std::min(n, c0 + perBlock);  // columns [c0, c1)
        qel_printf("\n%s%s\n", title, c0 ? " (continued)" : "");
        if (both)
            qel_printf("\n   Below diagonal: %s\n   Above diagonal: %s\n", captionBelow, captionAbove);
        qel_printf("\n%*s", rowHead, "");
        for (uint32_t c = c0; c < c1; ++c)
            qel_printf("%*u", width, taxon(c) + 1);
        qel_printf("\n");
        const uint32_t firstRow = both || upper ? 0 : c0;
        const uint32_t lastRow = upper ? c1 : n;
        for (uint32_t r = firstRow; r < lastRow; ++r) {
            std::string line;
            char head[64 + kLabelLimit];
            std::snprintf(head, sizeof head, "%3u %-*.*s", taxon(r) + 1, labelWidth, labelWidth, rowLabel(r).c_str());
            line = head;
            for (uint32_t c = c0; c < c1; ++c) {
                const bool shown = both || (upper ? c >= r : c <= r);
                line += shown ? cellText(r, c) : std::string(static_cast<size_t>(width), ' ');
            }
            while (!line.empty() && line.back() == ' ')
                line.pop_back();
            qel_printf("%s\n", line.c_str());
            if (displayStopped())
                return 2;
        }
    }
    return 0;
}

int showDistanceMatrix(const DMatrix *dm, DataInfo *d)
{
    if (!dm || !d)
        return 1;
    const uint32_t n = activeCount(d);
    int decimals = 0;
    const int w = setDistFieldWidths(dm, &decimals, 5);
    const int numField = digits(d->ntax);
    int labelField = 0;
    for (uint32_t t = 0; t < n; ++t)
        labelField = std::max(labelField, std::min(static_cast<int>(label(d, t).size()), static_cast<int>(kLabelLimit)));
    const int rowHead = numField + 1 + labelField + 1;
    const uint32_t perBlock =
        static_cast<uint32_t>(std::max(1, (static_cast<int>(getOutputLineLength()) - rowHead) / std::max(w, 1)));
    const std::string heading = makeDistanceHeader(dm->type, dm->subst);
    const bool titv = dm->subst == 3;
    qel_printf("\n%s\n", heading.c_str());
    indentOutput(2);
    showDistSettings(false, false, false);
    indentOutput(-2);
    for (uint32_t c0 = 0; c0 < n; c0 += perBlock) {
        const uint32_t c1 = std::min(n, c0 + perBlock);
        if (c0)
            qel_printf("\n%s (continued)\n", heading.c_str());
        std::string line(static_cast<size_t>(rowHead), ' ');
        char text[512];
        for (uint32_t c = c0; c < c1; ++c) {
            std::snprintf(text, sizeof text, "%*u", w, fullNumber(d, c) + 1);
            line += text;
        }
        qel_printf("\n%s\n", line.c_str());
        for (uint32_t i = c0; i < n; ++i) {
            std::snprintf(text, sizeof text, "%*u %-*.*s ", numField, fullNumber(d, i) + 1, labelField,
                          static_cast<int>(kLabelLimit), label(d, i).c_str());
            line = text;
            int narrower = 0;  // a cell after an undefined one gives up the column of its "*"
            for (uint32_t j = c0; j <= std::min(i, c1 - 1); ++j) {
                const int cw = w - narrower;
                narrower = 0;
                if (i == j) {
                    std::snprintf(text, sizeof text, "%*s", cw, "-");
                } else if (isUndefinedCell(dm, i, j) && titv) {
                    std::snprintf(text, sizeof text, "%*c", cw, '*');
                } else {
                    char number[256];
                    const double v = cell(dm, i, j);
                    if (decimals > 0 && v > 100.0)
                        std::snprintf(number, sizeof number, "%.*g", 5, v);
                    else
                        std::snprintf(number, sizeof number, "%.*f", decimals, v);
                    if (isUndefinedCell(dm, i, j)) {
                        std::snprintf(text, sizeof text, "%*s*", cw, number);
                        narrower = 1;
                    } else {
                        std::snprintf(text, sizeof text, "%*s", cw, number);
                    }
                }
                line += text;
            }
            qel_printf("%s\n", line.c_str());
            if (displayStopped())
                return 2;
        }
    }
    if (dm->nUndefined > 0)
        qel_printf(titv ? "\n  * Ti/tv ratio undefined\n" : "\n  * Undefined distance\n");
    return 0;
}

int doShowDistCmd()
{
    DataInfo *d = activeDataInfo();
    if (!d || readSemicolon() != 0 || checkDistType(kCurrentDistType, false, d) != 0)
        return 1;
    const uint32_t type = dist.distance;
    if (type == kDistUser) {
        DMatrix *dm = gUserDistances;
        if (!dm)
            return 0;
        if (checkUserDMatrix(dm, d) != 0)
            return 1;
        return showDistanceMatrix(dm, d);
    }
    if ((type == kDistTotal || type == kDistMean) && (d->flags & kHaveCharacters))
        return showCharacterDifferences(d);
    const DMatrix *dm = getDMatrix(kDMatrixForDistance, d, false);
    if (!dm)
        return gAborted_.load() ? 2 : 1;
    return showDistanceMatrix(dm, d);
}

int writeDistanceFile(const DMatrix *dm, DataInfo *d, const SaveDistSettings &opts, const char *path, bool replace,
                      bool append)
{
    int openStatus = 1;
    AuxOut *aux = openAuxOutStream(path, replace, append, &openStatus);
    if (!aux)
        return openStatus;
    setStatusText("Saving distance matrix...");
    DistanceWriter(dm, d, opts).write();
    clearStatusText();
    const std::string shown = auxPathnameForDisplay(aux, 255);
    // An interrupt is met by the close, which keeps the old file and says
    // so; the command was stopped by the user, not failed.
    if (closeAuxOutStream(aux) != 0)
        return getAbortedStatus() != 0 ? 2 : 1;
    qel_printf("\n%s written to file \"%s\"\n", makeDistanceHeader(dm->type, dm->subst).c_str(), shown.c_str());
    return 0;
}

int doExportDistCmd()
{
    DataInfo *d = activeDataInfo();
    if (!d || checkDistType(kCurrentDistType, false, d) != 0) {
        // The options are still unread: a command stopped here (the user
        // declined a question, or the distance cannot be had) must not leave
        // them to be taken for commands of their own.
        skipRestOfCmd();
        return 1;
    }
    char proposed[kParamPathSize];
    if (startCmdParamFilename(&saveDist.file, distFormatExtension(saveDist.format), false, proposed,
                              sizeof proposed) != 0)
        return 1;
    gReplaceFile = gAppendToFile = 0;
    if (getCmdParams(OptionSet::kSaveDist, ";", nullptr) <= 0)
        return 1;
    finishCmdParamFilename(&saveDist.file, distFormatExtension(saveDist.format), proposed);
    const DMatrix *dm = getDMatrix(kDMatrixForDistance, d, false);
    if (!dm)
        return gAborted_.load() ? 2 : 1;
    return writeDistanceFile(dm, d, saveDist, saveDist.file.path, gReplaceFile != 0, gAppendToFile != 0);
}

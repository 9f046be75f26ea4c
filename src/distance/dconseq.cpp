#include "distance/dconseq.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/option_sets.h"
#include "cli/qel_cmdoptions.h"
#include "cli/shell_settings.h"
#include "data/data_util.h"
#include "data/nexsets.h"
#include "data/taxstat.h"
#include "data/vorn_data.h"
#include "distance/distance_settings.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_io.h"
#include "qel/qel_multithread.h"
#include "qel/qel_output.h"
#include "qel/qel_oututil.h"
#include "qel/qel_progress.h"
#include "qel/qel_setptn.h"
#include "qel/qel_time.h"
#include "search/pscores.h"

namespace {

struct DConRun {
    DataInfo *d = nullptr;
    const SetPtn *ptn = nullptr;
    std::vector<uint32_t> subsets;       // partition subsets holding included characters
    std::vector<int32_t> subsetOfChar;   // column of each character (-1 none)
    std::vector<uint32_t> taxa;          // active taxa (the data's rows, deleted taxa left out)
    std::vector<std::vector<uint32_t>> counts;  // taxon x (subsets + total)
    StreamInfo *file = nullptr;
    ProgData *progress = nullptr;
};

bool included(const DataInfo *d, uint32_t c) { return !(d->status && (d->status[c] & kCharExcluded)); }

// The width of the subset-name field: the longest name + 2, at least 6.
size_t subsetNameWidth(const DConRun &r)
{
    size_t width = 6;
    for (uint32_t s : r.subsets)
        width = std::max(width, std::strlen(getPtnSubsetName(r.ptn, s)) + 2);
    return width;
}

// The header (column < 0) or the rows of one column; 2 when the user stopped.
int showDifferences(DConRun &r, bool header, int column, const char *subsetName)
{
    size_t labelWidth = 0;
    const size_t nameWidth = subsetNameWidth(r);
    for (uint32_t t : r.taxa)
        labelWidth = std::max(labelWidth, std::strlen(getTaxLabel(r.d, t)));
    labelWidth++;
    std::FILE *f = r.file ? r.file->fp : nullptr;
    indentOutput(4);
    if (header) {
        qel_printf("\n");
        if (r.ptn)
            qel_printf("%-*s    ", static_cast<int>(nameWidth), "Subset");
        qel_printf("%-*s%11s\n", static_cast<int>(labelWidth), "Taxon", "Distance");
        tableLine(static_cast<int32_t>(labelWidth + 11 + (r.ptn ? nameWidth + 4 : 0)), 0);
        if (f)
            std::fprintf(f, "subset\ttaxon\tdiff\n");
        indentOutput(-4);
        return 0;
    }
    for (size_t i = 0; i < r.taxa.size(); i++) {
        if (getAbortedStatus() && confirmAbortRequest()) {
            indentOutput(-4);
            return 2;
        }
        const char *label = getTaxLabel(r.d, r.taxa[i]);
        const uint32_t n = r.counts[i][static_cast<size_t>(column)];
        if (r.ptn)
            qel_printf("%-*s    ", static_cast<int>(nameWidth), i == 0 ? subsetName : "");
        qel_printf("%-*s%*u\n", static_cast<int>(labelWidth), label, 11, n);
        if (f) {
            if (r.ptn)
                std::fprintf(f, "%s\t", subsetName);
            std::fprintf(f, "%s\t%u\n", label, n);
        }
    }
    indentOutput(-4);
    return 0;
}

}  // namespace

int dconseqThreadProc(void *arg)
{
    DConRun &r = *static_cast<DConRun *>(arg);
    DataInfo *d = r.d;
    const size_t s = r.subsets.size();
    qel_printf("\nDistances from each taxon to the consensus sequence");
    if (r.ptn)
        qel_printf(" by subsets of partition \"%s\"", dconOpt.partition->name);
    qel_printf("\n");
    tableLine(60, 0);
    TimeMark start{}, stop{};
    setTimeMark(&start);
    if (r.ptn && dconOpt.showSubsets)
        showCharPtnSubsetMembership(d, dconOpt.partition, static_cast<int>(subsetNameWidth(r)), r.subsets);
    r.counts.assign(r.taxa.size(), std::vector<uint32_t>(s + 1, 0));
    // Every character unordered: the hub of a star takes the states held by
    // the most taxa (a missing cell holds them all), and a taxon differs
    // where it holds none of them.
    std::vector<uint64_t> bits(r.taxa.size());
    for (uint32_t c = 0; c < d->nchar; c++) {
        if (!included(d, c))
            continue;
        uint32_t stateCount[64] = {};
        for (size_t i = 0; i < r.taxa.size(); i++) {
            const auto t = static_cast<int32_t>(r.taxa[i]);
            bits[i] = isMissingOrGapMiss(t, c, d) ? ~uint64_t{0} : stateBitsOfCode(d, getXijRaw(d, t, c));
            for (uint64_t b = bits[i]; b; b &= b - 1)
                stateCount[std::countr_zero(b)]++;
        }
        const uint32_t most = *std::max_element(std::begin(stateCount), std::end(stateCount));
        uint64_t hub = 0;
        for (uint32_t k = 0; k < 64; k++)
            if (stateCount[k] == most)
                hub |= uint64_t{1} << k;
        const int32_t column = r.ptn ? r.subsetOfChar[c] : -1;
        for (size_t i = 0; i < r.taxa.size(); i++)
            if (!(bits[i] & hub)) {
                r.counts[i][s]++;
                if (column >= 0)
                    r.counts[i][static_cast<size_t>(column)]++;
            }
        if (incrementProgressValue(r.progress) == kProgressAborted && confirmAbortRequest())
            return 2;
    }
    showDifferences(r, true, -1, nullptr);
    int status = 0;
    for (size_t k = 0; k < s && status == 0; k++)
        status = showDifferences(r, false, static_cast<int>(k), getPtnSubsetName(r.ptn, r.subsets[k]));
    if (status == 0)
        status = showDifferences(r, false, static_cast<int>(s), "TOTAL");
    qel_printf("\n");
    if (r.file)
        qel_printf("\nOutput written to file \"%s\"\n", gDConSeqOutFile);
    setTimeMark(&stop);
    showTimeUsed(&start, &stop, 0, "");
    return status;
}

int doDConSeqCmd()
{
    DataInfo *d = activeDataInfo();
    if (!d || !(d->flags & kHaveCharacters)) {
        qel_errorMsg(0, "No character data are available.");
        return 1;
    }
    dconOpt.partition = nullptr;
    gDConSeqOutFile[0] = 0;
    gReplaceFile = gAppendToFile = 0;
    if (getCmdParams(OptionSet::kDConSeq, ";", nullptr) <= 0)
        return 1;
    if (checkCharStatusUpdate(d) != 0)
        return 1;
    DConRun r;
    r.d = d;
    // Labels and cells are read by active row, so a deleted taxon is already
    // out of the rows and no taxon past it is skipped.
    for (uint32_t t = 0; t < static_cast<uint32_t>(std::max(d->nActive, 0)); t++)
        r.taxa.push_back(t);
    if (dconOpt.partition) {
        r.ptn = static_cast<const SetPtn *>(dconOpt.partition->payload);
        r.subsetOfChar.assign(d->nchar, -1);
        for (uint32_t k = 0; r.ptn && k < numPtnSubsets(r.ptn); k++) {
            const Set *set = getPtnSubset(r.ptn, k);
            bool any = false;
            for (uint32_t c = 0; c < d->nchar; c++)
                any |= isSetMember(set, c) && included(d, c);
            if (!any)
                continue;
            for (uint32_t c = 0; c < d->nchar; c++)
                if (isSetMember(set, c))
                    r.subsetOfChar[c] = static_cast<int32_t>(r.subsets.size());
            r.subsets.push_back(k);
        }
    }
    if (gDConSeqOutFile[0] && !(r.file = openScoreFile(gDConSeqOutFile)))
        return 1;
    r.progress = createProgressWindow(d->nchar, 0, "Computing differences from consensus");
    int status = runSecondaryThread(dconseqThreadProc, &r);
    r.progress = destroyProgressWindow(r.progress);
    if (status == 2)
        setAbortedStatus(0);
    if (r.file) {
        if (finishStreamFile(r.file, status == 0) != 0 && status == 0) {
            qel_errorMsg(0, "Error writing file \"%s\".", gDConSeqOutFile);
            status = 1;
        }
        discardStream(&r.file);
    }
    return status;
}

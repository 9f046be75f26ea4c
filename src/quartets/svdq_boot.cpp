// The SVDQuartets bootstrap: quartets evaluated and assembled again on sites
// (or whole loci) drawn with replacement, the groups of the replicate trees
// tallied, and their 50% majority-rule consensus stored.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "data/nexsets.h"
#include "data/patterns.h"
#include "data/vorn_data.h"
#include "qel/qel_auxout.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_files.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_output.h"
#include "qel/qel_progress.h"
#include "qel/qel_setptn.h"
#include "qel/qel_sets.h"
#include "qel/qel_strings.h"
#include "quartets/qsearch.h"
#include "quartets/quartets_settings.h"
#include "quartets/svdq.h"
#include "search/hsprep.h"
#include "trees/contree.h"
#include "trees/describe.h"
#include "trees/drawtree.h"
#include "trees/savetree.h"
#include "trees/splits.h"
#include "trees/treebuf.h"
#include "trees/treebuf_extras.h"
#include "trees/roottree.h"
#include "trees/tree_settings.h"

namespace {

// The lineages (data rows) of each species of the last species trees stored,
// by which rooting finds the species of the outgroup.
std::vector<std::vector<uint32_t>> gSpeciesRows;

bool isSpeciesInOutgroup(uint32_t unit, const DataInfo *d)
{
    if (!d || !d->taxa.outgroup || unit >= gSpeciesRows.size())
        return false;
    return std::any_of(gSpeciesRows[unit].begin(), gSpeciesRows[unit].end(),
                       [&](uint32_t row) { return isSetMember(d->taxa.outgroup, row); });
}

}  // namespace

std::vector<std::vector<uint32_t>> speciesDataRows(const SvdqEvalData &ev)
{
    const DataInfo *d = ev.d;
    std::vector<std::vector<uint32_t>> rows(ev.nunits);
    for (uint32_t k = 0; k < ev.nunits && k < ev.members.size(); k++)
        for (uint32_t t : ev.members[k])
            rows[k].push_back(d->taxa.activeToOriginal ? d->taxa.activeToOriginal[t] : t);
    return rows;
}

int nameTreesBySpecies(const SvdqEvalData &ev, const std::vector<std::string> &names)
{
    return nameTreesBySpeciesRows(names, speciesDataRows(ev));
}

int nameTreesBySpeciesRows(const std::vector<std::string> &names, const std::vector<std::vector<uint32_t>> &rows)
{
    const uint32_t nunits = static_cast<uint32_t>(names.size());
    gSpeciesRows = rows;
    gSpeciesRows.resize(nunits);
    setSpeciesOutgroupFxn(isSpeciesInOutgroup);
    StringList *list = createStringList(nunits);
    if (!list)
        return 1;
    for (uint32_t k = 0; k < nunits; k++)
        if (storeStringToList(list, names[k].c_str(), k) != 0) {
            destroyStringList(list);
            return 1;
        }
    setTreebufNameList(getMainTreeBuffer(nullptr), list, true);
    setTreesAreSpeciesTrees(true);
    return 0;
}

namespace {

struct SplitsTableDeleter {
    void operator()(SplitsTable *t) const { destroySplitsTable(t); }
};
struct SplitsListDeleter {
    void operator()(SplitsList *l) const { destroySplitsList(l); }
};

// What one replicate draws from: the weight each included site gives its
// pattern, and per locus the summed weights by pattern.
struct Resampler {
    std::vector<uint32_t> sitePattern;
    std::vector<double> siteWeight;
    std::vector<std::vector<double>> locusWeights;
};

int makeResampler(const SitePatternData *pd, const SvdqBootSettings &s, Resampler &r)
{
    const uint32_t nchar = pd->siteToPattern ? pd->nchar : 0;
    for (uint32_t c = 0; c < nchar; c++) {
        const uint32_t p = pd->siteToPattern[c];
        if (p == kNoSite || pd->patternCount[p] <= 0.0)
            continue;
        r.sitePattern.push_back(p);
        r.siteWeight.push_back(pd->patternWeight[p] / pd->patternCount[p]);
    }
    if (!s.multilocus)
        return r.sitePattern.empty() ? 1 : 0;
    SetPtn *ptn = s.loci ? getNexPtn(s.loci) : nullptr;
    const uint32_t nloci = ptn ? numPtnSubsets(ptn) : 0;
    for (uint32_t k = 0; k < nloci; k++) {
        const Set *set = getPtnSubset(ptn, k);
        std::vector<double> w(pd->npat, 0.0);
        for (uint32_t c = 0; c < nchar; c++) {
            const uint32_t p = pd->siteToPattern[c];
            if (set && isSetMember(set, c) && p != kNoSite && pd->patternCount[p] > 0.0)
                w[p] += pd->patternWeight[p] / pd->patternCount[p];
        }
        r.locusWeights.push_back(std::move(w));
    }
    return r.locusWeights.empty() ? 1 : 0;
}

void drawReplicate(const Resampler &r, bool multilocus, RNG *rng, std::vector<double> &weights)
{
    std::fill(weights.begin(), weights.end(), 0.0);
    if (multilocus) {
        const uint32_t n = static_cast<uint32_t>(r.locusWeights.size());
        for (uint32_t i = 0; i < n; i++) {
            const auto &w = r.locusWeights[randomInteger(rng, n)];
            for (size_t p = 0; p < w.size(); p++)
                weights[p] += w[p];
        }
        return;
    }
    const uint32_t n = static_cast<uint32_t>(r.sitePattern.size());
    for (uint32_t i = 0; i < n; i++) {
        const uint32_t site = randomInteger(rng, n);
        weights[r.sitePattern[site]] += r.siteWeight[site];
    }
}

// The end of the tree file: the trees block closed, then the outgroup the
// replicate trees were rooted by, for a run that reads the file back:
// "outgroup" with the names of the file's taxa in a block of our own. Species
// trees name the species holding an outgroup lineage (species, null without
// them), as their rooting takes it.
std::string treeFileClosing(const DataInfo *d, const std::vector<std::string> *species)
{
    std::string text = "end;\n";
    const Set *outgroup = d ? d->taxa.outgroup : nullptr;
    if (!outgroup || isSetEmpty(outgroup))
        return text;
    std::string command;
    auto add = [&command](const char *label) {
        std::vector<char> quoted(2 * std::strlen(label) + 8);
        command += std::string(" ") + nexusizeString(label, quoted.data(), quoted.size());
    };
    if (species) {
        for (uint32_t k = 0; k < species->size(); k++)
            if (isSpeciesInOutgroup(k, d))
                add((*species)[k].c_str());
    } else {
        for (uint32_t t = 0; t < d->ntax; t++)
            if (isSetMember(outgroup, t))
                add(taxLabelString(d, t));
    }
    if (command.empty())
        return text;
    return text + "\nbegin VORN;\n\toutgroup" + command + ";\nend;\n";
}

void showStdOutProgress(uint32_t replicate, uint32_t total)
{
    const double p = (replicate + 1) * 100.0 / total;
    const int filled = static_cast<int>(p) / 2;
    std::printf("\r[%s%s] %.1f%% ", std::string(filled, '#').c_str(), std::string(50 - filled, ' ').c_str(), p);
    std::fflush(stdout);
}

int storeConsensus(SplitsTable *table, uint32_t reps, const SvdqEvalData &ev, const SvdqBootSettings &s)
{
    std::unique_ptr<SplitsList, SplitsListDeleter> list(createSplitsList(table->ntax, 16, true));
    if (!list)
        return 1;
    int status = selectConsensusSplits(table, kConMajRule, false, 50, list.get(), static_cast<double>(reps));
    if (status != 0)
        return status;
    TreeHandle tree(createConsensusTree());
    if (!tree || allocSpecialTreeData(1) != 0)
        return 1;
    tree->flags &= ~kTreeRootedAtAnc;
    const float *support = table->support.empty() ? nullptr : table->support.data();
    // Over the units (species or taxa), held at the first unit's tip when
    // the outgroup is to root it for output, else at the basal fork.
    TreeNode *root = rooting.rootMethod == kRootOutgroup ? tree->nodes + 1
                                                         : tree->nodes + tree->ntax + 1 + list->count;
    if (makeTreeFromSplitsList(tree.get(), ev.nunits, list.get(), support, root) != 0)
        return qel_errorMsg(0, "The consensus groups do not form a tree."), 1;
    if (saveSpecialTree(tree.get(), kConMajRule) != 0)
        return 1;
    TreeBuffer *buf = getMainTreeBuffer(nullptr);
    emptyTreeBuffer(buf, true);
    if (!ev.members.empty() && nameTreesBySpecies(ev, *s.unitNames) != 0)
        return 1;
    setRootededness(buf, false);
    if (isPutTreeFull(putTree(tree.get(), buf, false)))
        return 1;
    addTreeSourceFlag(kTreeSourceBootstrap);
    qel_printf("\nBootstrap 50%% majority-rule consensus tree (%u replicates)\n", reps);
    if ((status = rootConsensusForOutput(tree.get(), ev.d)) != 0)
        return status;
    drawTree(tree.get(), kDrawSupport, 0, true, ev.d);
    qel_printf("\nBootstrap consensus tree stored to tree buffer (replacing previously stored tree)\n");
    return 0;
}

}  // namespace

int svdqBootstrap(SvdqEvalData &ev, const SvdqBootSettings &s)
{
    DataInfo *d = ev.d;
    const SitePatternData *pd = s.patterns;
    AuxOut *file = s.treeFile;
    // Given up unwritten on the ways out before the replicates: the old file
    // stays.
    auto giveUp = [file](int status) {
        discardAuxOutStream(file);
        return status;
    };
    Resampler r;
    if (makeResampler(pd, s, r) != 0)
        return qel_errorMsg(0, "There are no %s to resample.", s.multilocus ? "loci" : "sites"), giveUp(1);
    std::vector<double> weights(ev.npat, 0.0);
    const double *original = ev.weights;
    std::unique_ptr<SplitsTable, SplitsTableDeleter> table(
        createSplitsTable(ev.nunits, 64, kSplitsCounts | kSplitsWeights));
    TreeHandle tree(createSearchTree(d));
    if (!table || !tree)
        return giveUp(1);
    if (file) {
        AuxOut *previous = setActiveAuxOut(file);
        auxPutTreesBlkCmd(false, false, d);
        const char *dataFile = getDataFileName();
        auxPrintf("[!>Trees found during each SVDQuartets bootstrap replicate using data file '%s'...]\n",
                  dataFile ? dataFile : "");
        writeTransTable(d);
        setActiveAuxOut(previous);
    }
    const OutgroupRootingScope outgroupRooting;
    const std::vector<std::string> *species = ev.members.empty() ? nullptr : s.unitNames;
    const std::string closing = treeFileClosing(d, species);
    setStatusText("Doing SVDQuartets bootstrap...");
    ev.bootstrapping = true;
    const bool terminal = isatty(STDOUT_FILENO) != 0;
    const uint32_t nreps = s.nreps;
    uint32_t done = 0;
    int status = 0;
    if (terminal)
        std::printf("\n"), showStdOutProgress(0, nreps);
    for (uint32_t rep = 0; rep < nreps && status == 0; rep++) {
        drawReplicate(r, s.multilocus, &ev.rng, weights);
        setSvdqWeights(ev, weights.data());
        if ((status = evaluateQuartets(ev)) != 0)
            break;
        loadSvdqWeightTable(ev, s.qd);
        double incompat = 0.0;
        // A replicate without a decisive quartet has no tree and counts no group.
        const bool assembled = qwtHasWeight(s.qd->table);
        if (assembled)
            status = runQuartetSearch(s.qd, tree.get(), d, &ev.rng, nullptr, 0, nullptr, !ev.members.empty(), true,
                                      &incompat, [&ev, &s](Tree *t) { return fitTreeToConstraint(ev, s.qd->table, t); });
        if (assembled && status == 0) {
            if (updateSplitsTableFromTree(table.get(), tree.get(), true, 1.0) != 0)
                status = 1;
            if (file && status == 0) {
                AuxOut *previous = setActiveAuxOut(file);
                auxPrintf("\ttree SVDQ_%u = [&U] ", rep + 1);
                outputTreeDescription(tree.get(), false, kDescrNoLengths, false, true, ',', 0, nexusTreeLabel, d);
                auxPuts(";\n");
                // A termination signal keeps the trees of the replicates
                // finished, closed as below.
                if (auxFlushBuffer(0, false) == 0 && setStreamClosing(file->stream, closing.c_str()) == 0)
                    markStreamKept(file->stream);
                setActiveAuxOut(previous);
            }
        }
        if (status == 0) {
            done++;
            if (getAbortedStatus())
                status = 2;
        }
        if (terminal && rep > 0 && (1000 * (rep + 1)) % nreps == 0)
            showStdOutProgress(rep, nreps);
    }
    if (terminal)
        std::printf("\n");
    setSvdqWeights(ev, original);
    ev.bootstrapping = false;
    // Stopped before a replicate was finished, there is nothing to report
    // or summarise: the command says it was stopped.
    if (status == 2 && done > 0)
        qel_printf("\nBootstrap aborted after %u replicates\n", done);
    int result = status;
    if ((status == 0 || status == 2) && done > 0) {
        const int saved = setAbortedStatus(0);
        const int cstatus = storeConsensus(table.get(), done, ev, s);
        setAbortedStatus(saved);
        if (cstatus != 0)
            result = cstatus;
        else if (s.consensusStored)
            *s.consensusStored = true;
    }
    // The file holds the trees of the finished replicates, each written
    // whole: a stopped run keeps them as a finished one does; after a
    // failure, or a stop before any replicate, the old file stays.
    if (file && (status == 0 || (status == 2 && done > 0))) {
        AuxOut *previous = setActiveAuxOut(file);
        auxPuts(closing.c_str());
        const std::string shown = auxPathnameForDisplay(file, 255);
        setActiveAuxOut(previous);
        file->keepOnInterrupt = 1;
        if (closeAuxOutStream(file) != 0)
            return qel_errorMsg(0, "Error writing the bootstrap trees to file \"%s\".", shown.c_str()), 1;
        if (done > 0)
            qel_printf("\nTrees from bootstrap replicates written to treefile: %s\n", shown.c_str());
    } else if (file) {
        if (status == 2)
            showWriteLeftAsItWas(auxPathnameForDisplay(file, 255).c_str());
        discardAuxOutStream(file);
    }
    clearStatusText();
    return result;
}

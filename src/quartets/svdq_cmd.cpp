// The SVDQuartets command: options and checks, the settings report, the
// quartet, MRP and Frobenius files, and the tree from the kept quartets.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <string>
#include <utility>

#include "cli/option_sets.h"
#include "cli/qel_cmdline.h"
#include "cli/qel_cmdoptions.h"
#include "cli/shell_settings.h"
#include "data/nexsets.h"
#include "data/patterns.h"
#include "data/prepdata.h"
#include "data/taxstat.h"
#include "data/vorn_data.h"
#include "data/vorn_util.h"
#include "qel/qel_auxout.h"
#include "qel/qel_detmath.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_io.h"
#include "qel/qel_multithread.h"
#include "qel/qel_output.h"
#include "qel/qel_oututil.h"
#include "qel/qel_progress.h"
#include "qel/qel_setptn.h"
#include "qel/qel_sets.h"
#include "qel/qel_strings.h"
#include "qel/qel_time.h"
#include "quartets/qsearch.h"
#include "quartets/svdq_ages.h"
#include "quartets/quartets_settings.h"
#include "quartets/svdq.h"
#include "search/hsprep.h"
#include "trees/constr.h"
#include "trees/treebuf.h"
#include "trees/treebuf_extras.h"
#include "trees/treeedit.h"
#include "trees/roottree.h"
#include "trees/treeutil.h"

namespace {

constexpr double kMaxQuartetCount = 4294967295.0;

// The four output files: option text, name buffer, write flag, default.
struct SvdqFile {
    char *name;
    uint8_t *write;
    const char *defaultName;
    std::string saved;
};

struct OpenFiles {
    StreamInfo *qfile = nullptr, *mrp = nullptr, *frob = nullptr;
    // The bootstrap's tree file, handed to the bootstrap, which closes it;
    // a run that ends before the bootstrap leaves the old file as it was.
    AuxOut *boot = nullptr;
    // Puts the quartet, MRP and Frobenius files in place once they hold
    // everything: they are written together after the evaluation, so a run
    // stopped before then leaves the old files as they were. 0, or 1 after
    // naming a file that could not be written whole.
    int finishWritten()
    {
        int status = 0;
        for (auto [slot, name] : {std::pair{&qfile, svdqOpt.qfile}, std::pair{&mrp, svdqOpt.mrpFile},
                                  std::pair{&frob, svdqOpt.frobDFile}})
            if (*slot && closeStream(slot) != 0)
                status = qel_errorMsg(0, "Error writing file \"%s\".", name);
        return status;
    }
    // Gives up whatever is still open: after a failure to open one of them,
    // or a run that ended before the files were complete.
    void discard()
    {
        discardAuxOutStream(boot);
        boot = nullptr;
        for (StreamInfo **slot : {&qfile, &mrp, &frob})
            if (*slot)
                discardStream(slot);
    }
    ~OpenFiles() { discard(); }
};

struct SvdqRun {
    SvdqEvalData ev;
    OpenFiles files;
    std::vector<std::string> unitNames;
    // Quartets of species stay with the run: the data set's quartet data
    // name taxa.
    const char *partitionName = "";
    const SitePatternData *patterns = nullptr;
    RNGSeed seed{};
    bool speciesMode = false;
    bool consensusStored = false;  // by the bootstrap, kept after an abort
};

std::string unitLabel(const SvdqRun &run, uint32_t u)
{
    char buf[512];
    return nexusizeString(run.unitNames[u].c_str(), buf, sizeof buf);
}

// Without weights in the file, a quartet the constraint took out would read
// as a kept one.
bool listed(const QuartetEntry &e, bool weighted)
{
    return weighted || e.wt != 0.0;
}

// The 1-based taxon number (data-set row) of active taxon t: files name taxa
// as the quartet reader and the user count them, deleted ones included.
uint32_t taxonNumber(const DataInfo *d, uint32_t t)
{
    return (d->taxa.activeToOriginal ? d->taxa.activeToOriginal[t] : t) + 1;
}

void writeQuartetFile(const SvdqRun &run, FILE *fp, bool weighted)
{
    // Species quartets keep their species numbers.
    auto number = [&run](uint32_t u) { return run.speciesMode ? u + 1 : taxonNumber(run.ev.d, u); };
    for (const QuartetEntry &e : run.ev.entries) {
        if (!listed(e, weighted))
            continue;
        const uint32_t a = number(e.t[0]), b = number(e.t[1]), c = number(e.t[2]), x = number(e.t[3]);
        if (svdqOpt.qformat == 1) {
            std::fprintf(fp, "((%u,%u),(%u,%u));\n", a, b, c, x);
        } else {
            std::fprintf(fp, "%u,%u|%u,%u", a, b, c, x);
            if (weighted)
                std::fprintf(fp, ":%.10f", e.wt);
            std::fprintf(fp, "\n");
        }
    }
}

void writeMrpFile(const SvdqRun &run, FILE *fp, bool weighted)
{
    std::vector<QuartetEntry> entries;
    for (const QuartetEntry &e : run.ev.entries)
        if (listed(e, weighted))
            entries.push_back(e);
    const uint32_t n = run.ev.nunits;
    std::vector<std::string> labels(n);
    size_t width = 0;
    for (uint32_t u = 0; u < n; u++)
        width = std::max(width, (labels[u] = unitLabel(run, u)).size());
    std::fprintf(fp, "#NEXUS\n\nbegin data;\n  dimensions ntax=%u nchar=%zu;\n", n, entries.size());
    std::fprintf(fp, "  format datatype=standard symbols=\"01\" missing=.;\n  matrix\n");
    std::string row(entries.size(), '.');
    for (uint32_t u = 0; u < n; u++) {
        for (size_t k = 0; k < entries.size(); k++) {
            const uint16_t *t = entries[k].t;
            row[k] = (t[0] == u || t[1] == u) ? '1' : (t[2] == u || t[3] == u) ? '0' : '.';
        }
        std::fprintf(fp, "    %-*s  %s\n", static_cast<int>(width), labels[u].c_str(), row.c_str());
    }
    std::fprintf(fp, "  ;\nend;\n");
    // No characters, no weights to give them.
    if (!weighted || entries.empty())
        return;
    std::fprintf(fp, "begin vorn;\n  wts vector\n    ");
    for (size_t k = 0; k < entries.size(); k++) {
        std::fprintf(fp, "%14.8g", entries[k].wt);
        if (k % 3 == 2 && k + 1 < entries.size())
            std::fprintf(fp, "\n    ");
    }
    std::fprintf(fp, ";\nend;\n");
}

}  // namespace

// Whether the trees in memory have the species as their tips, in the
// order of the partition, so that species quartets can score them.
bool treesAreOfSpecies(const std::vector<std::string> &names)
{
    const StringList *list = getTreeBufNameList(getMainTreeBuffer(nullptr));
    if (!areTreesSpeciesTrees() || !list || numStringListItems(list) != names.size())
        return false;
    for (uint32_t k = 0; k < names.size(); k++) {
        const char *s = getStringFromList(list, k);
        if (!s || names[k] != s)
            return false;
    }
    return true;
}

namespace {

// Species of a taxon partition: each subset's non-deleted members as pattern
// rows (active taxa). 0, or 1 after the error.
int setUpSpecies(SvdqRun &run, DataInfo *d, const Nexset *ns)
{
    SetPtn *ptn = getNexPtn(ns);
    const uint32_t nsub = ptn ? numPtnSubsets(ptn) : 0;
    if (nsub < 4)
        return qel_errorMsg(0, "\"Species-tree\" estimation with SVDQuartets is permitted only with taxon partitions "
                               "containing four or more subsets.\tFor fewer than four species, there is only one "
                               "possible unrooted tree, so the analysis would not be meaningful."),
               1;
    SvdqEvalData &ev = run.ev;
    const uint32_t nact = numSearchTaxa(d);
    ev.members.assign(nsub, {});
    ev.speciesOf.assign(nact, 0);
    run.unitNames.clear();
    for (uint32_t k = 0; k < nsub; k++) {
        const Set *set = getPtnSubset(ptn, k);
        for (uint32_t t = 0; t < nact; t++) {
            const uint32_t original = d->taxa.activeToOriginal ? d->taxa.activeToOriginal[t] : t;
            if (set && isSetMember(set, original)) {
                ev.members[k].push_back(t);
                ev.speciesOf[t] = k;
            }
        }
        run.unitNames.emplace_back(getPtnSubsetName(ptn, k));
        if (ev.members[k].empty())
            return qel_errorMsg(0, "Subset '%s' of partition '%s' has no members.\tFor species-tree estimation with "
                                   "multiple lineages per species, the taxon partition defining species membership "
                                   "must assign at least one lineage to each species.",
                                getPtnSubsetName(ptn, k), run.partitionName),
                   1;
    }
    // A lineage in no subset takes no part.
    ev.nunits = nsub;
    return 0;
}

// The constraint's groups by active taxon. A backbone's last group lists
// the taxa it names; the others are free. 0, or 1 when memory ran out.
int setUpConstraint(SvdqEvalData &ev, const DataInfo *d, const Constraint *c)
{
    const SplitsList *g = c->groups.get();
    const bool backbone = c->type == kConBackbone && g->count > 0;
    const uint32_t ngroups = backbone ? g->count - 1 : g->count;
    ev.conWords = std::max<uint32_t>(1, (ngroups + 63) / 64);
    try {
        ev.conGroups.assign(size_t(ev.ntax) * ev.conWords, 0);
        ev.conFree.assign(ev.ntax, 0);
    } catch (const std::bad_alloc &) {
        return qel_errorMsg(0, "Not enough memory for the SVDQuartets analysis."), 1;
    }
    auto has = [](const uint64_t *split, uint32_t x) { return ((split[x >> 6] >> (x & 63)) & 1u) != 0; };
    for (uint32_t t = 0; t < ev.ntax; t++) {
        const uint32_t x = d->taxa.activeToOriginal ? d->taxa.activeToOriginal[t] : t;
        if (backbone && !has(getSplitFromList(g, g->count - 1), x)) {
            ev.conFree[t] = 1;
            continue;
        }
        for (uint32_t k = 0; k < ngroups; k++)
            if (has(getSplitFromList(g, k), x))
                ev.conGroups[size_t(t) * ev.conWords + k / 64] |= uint64_t{1} << (k % 64);
    }
    return 0;
}

void showSettings(const SvdqRun &run, uint32_t requestedThreads)
{
    const SvdqEvalData &ev = run.ev;
    qel_printf("\nAnalysis using SVDQuartets method\n\n");
    indentOutput(2);
    qel_printf("Number of taxa (lineages) in the analysis = %u\n", ev.ntax);
    if (run.speciesMode)
        qel_printf("Doing species-tree analysis using taxon partition '%s'\n", run.partitionName);
    else
        qel_printf("No species-membership partition is in effect\n");
    qel_printf("Quartet sampling = ");
    if (ev.exhaustive) {
        qel_printf("exhaustive (%llu quartet%s)\n", static_cast<unsigned long long>(ev.nq), ev.nq == 1 ? "" : "s");
    } else {
        qel_printf("random (seed = %s)\n", seedString(run.seed).c_str());
        qel_printf("Number of random quartets sampled = %llu\n", static_cast<unsigned long long>(ev.nq));
        qel_printf("  This number equals the number of taxa raised to the power of %.4g,\n",
                   detLog(static_cast<double>(ev.nq)) / detLog(static_cast<double>(ev.ntax)));
        qel_printf("  and represents %.4g%% of the total number of distinct quartets\n",
                   100.0 * static_cast<double>(ev.nq) / ev.totalQuartets);
    }
    if (svdqOpt.qweights == 1)
        qel_printf("Quartets weighted using 'reciprocal' method\n");
    if (svdqOpt.plus2)
        qel_printf("Using \"Anvo+2\" normalization\n");
    if (svdqOpt.bootstrap != kSvdqBootNo) {
        if (svdqOpt.bootstrap == kSvdqBootStandard)
            qel_printf("Doing standard bootstrap analysis\n");
        else
            qel_printf("Doing multilocus bootstrap analysis using character partition '%s' to designate loci\n",
                       getNexsetName(svdqOpt.loci));
        if (ev.exhaustive)
            qel_printf("  Initial bootstrap seed = %s\n", seedString(run.seed).c_str());
        else
            qel_printf("  Initial bootstrap seed comes from same sequence as random quartet sampling\n");
        qel_printf("  Number of bootstrap replicates = %d\n", svdqOpt.nreps);
    }
    if (svdqOpt.forceRank == 0)
        qel_printf("Tree model = %s (expected rank of flattening matrix for true tree = %u)\n",
                   svdqOpt.treemodel == 0 ? "multispecies coalescent" : "shared tree for all sites", ev.rank);
    else
        qel_printf("Expected rank of flattening matrix = %u\n", ev.rank);
    if (svdqOpt.treeInf != kSvdqTreeInfCurTrees && svdqOpt.enforce)
        qel_printf("Forcing tree to be compatible with constraint-tree \"%s\"\n", getActiveConstraint()->name);
    if (svdqOpt.treeInf == kSvdqTreeInfQFM || svdqOpt.bootstrap != kSvdqBootNo) {
        qel_printf("Tree search:\n");
        showQuartetSearchSettings();
    }
    if (ev.nthreads == 1 && requestedThreads > 1 && (ev.showScores || ev.showSV))
        qel_printf("  (note: multithreading is not allowed when outputting SVD scores and/or singular values)\n");
    showMultithreadingStatus(static_cast<int32_t>(ev.nthreads));
    indentOutput(-2);
}

// 0 when opened or not wanted; 2 when the user declined to replace the
// file; 1 when it could not be opened.
int openFile(const char *name, bool write, StreamInfo **slot)
{
    if (!write)
        return 0;
    const int opened = openOutputStream(name, gReplaceFile != 0, false, slot);
    return opened == kOpenOK ? 0 : (opened == kOpenDeclined ? 2 : 1);
}

// The tree of the kept quartets, and the node ages on it when asked for.
int assembleTree(SvdqRun &run, QuartetData *qd)
{
    SvdqEvalData &ev = run.ev;
    setStatusText("Assembling quartets");
    TreeHandle tree(createSearchTree(ev.d));
    if (!tree)
        return 1;
    if (run.speciesMode && nameTreesBySpecies(ev, run.unitNames) != 0)
        return 1;
    RNG rng = ev.rng;
    double incompat = 0.0;
    int status = runQuartetSearch(qd, tree.get(), ev.d, &rng, nullptr, 0, "SVDQuartets", run.speciesMode, false,
                                  &incompat, [&ev, qd](Tree *t) { return fitTreeToConstraint(ev, qd->table, t); });
    if (status == 2) {
        qel_printf("\nQuartet assembly aborted by user.\n");
        return 2;
    }
    if (status == 0 && svdqOpt.estNodeAges != 0)
        status = estimateSvdqNodeAges(ev, tree.get(), static_cast<AgeMethod>(svdqOpt.estNodeAges),
                                      svdqOpt.estTheta != 0, svdqOpt.userTheta);
    return status;
}

// The node ages on each tree in memory, when those are the trees evaluated.
int estimateAgesOnTreesInMemory(SvdqEvalData &ev)
{
    TreeHandle tree(createSearchTree(ev.d));
    if (!tree)
        return 1;
    const uint32_t ntrees = numTreesInMainBuffer();
    for (uint32_t n = 1; n <= ntrees; n++) {
        if (getTree(getMainTreeBuffer(nullptr), n, tree.get()) != 0)
            return 1;
        qel_printf("\nTree %u:\n", n);
        if (int status = estimateSvdqNodeAges(ev, tree.get(), static_cast<AgeMethod>(svdqOpt.estNodeAges),
                                              svdqOpt.estTheta != 0, svdqOpt.userTheta))
            return status;
    }
    return 0;
}

// The kept quartets as the data set's quartet data, for QSearch and QScores
// as well as for the assembly here; in species-tree mode they are quartets of
// species and carry the species with them. Null when memory ran out.
QuartetData *storeQuartets(SvdqRun &run, bool weighted)
{
    QuartetData *qd = allocQuartetData(run.ev.nunits, true, false);
    if (!qd)
        return nullptr;
    qd->weighted = weighted;
    loadSvdqWeightTable(run.ev, qd);
    DataInfo *d = run.ev.d;
    if (run.speciesMode) {
        qd->species = run.unitNames;
        qd->speciesRows = speciesDataRows(run.ev);
    } else {
        noteQuartetTaxa(qd, d);
    }
    deallocQuartetData(d->quartets);
    d->quartets = qd;
    return qd;
}

int svdQuartetThreadProc(void *arg)
{
    auto *run = static_cast<SvdqRun *>(arg);
    SvdqEvalData &ev = run->ev;
    setStatusText("Evaluating SVD scores for quartets...");
    if (ev.showScores || ev.showSV)
        outputScoresHeading(ev);
    int status = evaluateQuartets(ev);
    if (status == 1)
        return 1;
    if (status == 2)
        return 2;
    if (run->files.frob)
        std::fputs(ev.frobText.c_str(), run->files.frob->fp);
    const uint64_t kept = ev.entriesPerQuartet == 3 ? ev.entries.size() / 3 : ev.entries.size();
    const bool informative = !ev.entries.empty();
    if (!informative)
        qel_printf("\nNo informative quartets were found in SVDQuartets analysis.\n");
    else if (kept < ev.nq)
        qel_printf("%llu uninformative/indecisive quartets were discarded\n",
                   static_cast<unsigned long long>(ev.nq - kept));
    // Weighted quartets, species factors and repeated random draws all make
    // weights other than one quartet each.
    const bool weighted = ev.qweights != 0 || !ev.members.empty() || !ev.exhaustive;
    // Files asked for are written even with no quartet kept (a matrix of no
    // characters, an empty list), so that what was announced is there.
    const bool mrp = run->files.mrp != nullptr, quartets = run->files.qfile != nullptr;
    if (mrp)
        writeMrpFile(*run, run->files.mrp->fp, weighted);
    if (quartets)
        writeQuartetFile(*run, run->files.qfile->fp, weighted);
    if (run->files.finishWritten() != 0)
        return 1;
    if (mrp)
        qel_printf("Quartet information written to file (MRP format): %s\n", svdqOpt.mrpFile);
    if (quartets)
        qel_printf("Quartet information written to file (%s format): %s\n", svdqOpt.qformat ? "QFM" : "QMC",
                   svdqOpt.qfile);
    if (!informative) {
        // The quartets of an earlier run must not stay installed as if
        // they were these data's: QScores then sees that none were kept.
        return storeQuartets(*run, weighted) ? 0 : 1;
    }
    QuartetData *qd = storeQuartets(*run, weighted);
    if (!qd)
        return 1;
    if (svdqOpt.treeInf == kSvdqTreeInfCurTrees && (status = showQuartetScoresOfTrees(qd)) != 0)
        return status;
    if (svdqOpt.treeInf == kSvdqTreeInfCurTrees && svdqOpt.estNodeAges != 0 &&
        (status = estimateAgesOnTreesInMemory(ev)) != 0)
        return status;
    if (svdqOpt.treeInf == kSvdqTreeInfQFM && (status = assembleTree(*run, qd)) != 0)
        return status;
    if (svdqOpt.bootstrap == kSvdqBootNo)
        return 0;
    // The consensus replaces the trees in memory; species replicates name
    // their tips by species from the start, as the assembly does.
    if (svdqOpt.treeInf != kSvdqTreeInfQFM && run->speciesMode) {
        clearTrees(false, true);
        if (nameTreesBySpecies(ev, run->unitNames) != 0)
            return 1;
    }
    SvdqBootSettings boot;
    boot.patterns = run->patterns;
    boot.qd = qd;
    boot.treeFile = std::exchange(run->files.boot, nullptr);
    boot.consensusStored = &run->consensusStored;
    boot.multilocus = svdqOpt.bootstrap == kSvdqBootMultilocus;
    boot.loci = svdqOpt.loci;
    boot.nreps = static_cast<uint32_t>(svdqOpt.nreps);
    boot.unitNames = &run->unitNames;
    return svdqBootstrap(ev, boot);
}

}  // namespace

int doSVDQuartetsCmd()
{
    DataInfo *d = activeDataInfo();
    if (!d)
        return 1;
    SvdqFile files[4] = {{svdqOpt.qfile, &svdqOpt.pref_saveQrtFile, "quartets.dat", {}},
                         {svdqOpt.mrpFile, &svdqOpt.pref_saveMrpFile, "quartets_mrp.nex", {}},
                         {svdqOpt.treeFile, &svdqOpt.pref_saveBtrFile, "svdq_boot.tre", {}},
                         {svdqOpt.frobDFile, &svdqOpt.pref_writeFrobD, "frobenius_dist.txt", {}}};
    for (SvdqFile &f : files) {
        if (f.name[0] == '\0')
            std::strcpy(f.name, f.defaultName);
        f.saved = f.name;
    }
    if (d->nstates > kSvdqMaxStates)
        return qel_errorMsg(0, "SVDQuartets is currently only supported for 4 or fewer character states."), 1;
    for (SvdqFile &f : files)
        *f.write = 0, f.name[0] = '\0';
    gReplaceFile = 0;
    const int parsed = getCmdParams(OptionSet::kSVDQuartets, ";", nullptr);
    // A file is written only when this command names it; the name stays.
    for (SvdqFile &f : files) {
        *f.write = parsed > 0 && f.name[0] != '\0';
        if (f.name[0] == '\0')
            std::snprintf(f.name, kParamPathSize, "%s", f.saved.c_str());
    }
    if (parsed <= 0)
        return 1;

    auto run = std::make_unique<SvdqRun>();
    SvdqEvalData &ev = run->ev;
    ev.d = d;
    run->speciesMode = svdqOpt.speciesTree != 0;
    run->partitionName = svdqOpt.partition;
    const Nexset *species = nullptr;
    if (run->speciesMode) {
        if (svdqOpt.partition[0] == '\0')
            return qel_errorMsg(0, "You must supply the name of a previously defined TaxPartition ('%s' option of the "
                                   "%s command) in order to perform a species-tree analysis.\tThis taxon partition "
                                   "associates each lineage with the species to which it belongs.",
                                "partition", "SVDQuartets"),
                   1;
        if (!(species = findMatchingTaxPartition(svdqOpt.partition)))
            return qel_errorMsg(0, "No taxon partition matching the name '%s' has been defined.\tThe name specified "
                                   "for '%s' must match a previously defined TaxPartition. (Alternatively, specify "
                                   "\"speciestree=no;\" for a non-species-tree analysis.)",
                                svdqOpt.partition, "partition"),
                   1;
        if (svdqOpt.enforce)
            return qel_errorMsg(0, "SVDQuartets does not currently allow constraint trees in \"species-tree\" mode."),
                   1;
    }
    // The assembly and every bootstrap replicate run the quartet search.
    const bool assembles = svdqOpt.treeInf == kSvdqTreeInfQFM || svdqOpt.bootstrap != kSvdqBootNo;
    if (svdqOpt.treeInf == kSvdqTreeInfCurTrees && numTreesInMainBuffer() == 0)
        return qel_errorMsg(0, "Evaluation of trees currently in memory was requested, but there are no trees in "
                               "memory.\tSpecify a different option for tree inference, or load trees into memory "
                               "first."),
               1;
    if (svdqOpt.enforce) {
        ConstraintOptionCheck check{};
        check.enforce = true;
        if (checkConstraintOptions(check) != 0)
            return 1;
        if (getActiveConstraint()->type == kConConvexity)
            return qel_errorMsg(0, "SVDQuartets can enforce only monophyly and backbone constraints.\tConstraint "
                                   "'%s' is a convexity constraint.",
                                getActiveConstraint()->name),
                   1;
    }
    if (svdqOpt.estNodeAges != 0 && !svdqOpt.estTheta && !(svdqOpt.userTheta > 0.0))
        return qel_errorMsg(0, "Theta must be greater than zero for the estimation of node ages.\tGive a positive "
                               "value with 'theta' or 'userTheta', or use theta=estimate."),
               1;
    if (svdqOpt.bootstrap != kSvdqBootNo && svdqOpt.bootstrap == kSvdqBootMultilocus && !svdqOpt.loci)
        return qel_errorMsg(0, "For multilocus bootstrapping, you must specify a character partition that defines the "
                               "loci.\tUse a 'charpartition' command to define the character partition, and then use "
                               "the '%s=<charpartition-name>' option in the '%s' command.",
                            "loci", "SVDQuartets"),
               1;
    if (prepareDataForPatternBasedAnalysis(d, nullptr) != 0)
        return 1;
    const SitePatternData *pd = activeModelGroup()->patterns;
    if (!pd || pd->nstates > kSvdqMaxStates)
        return qel_errorMsg(0, "SVDQuartets is currently only supported for 4 or fewer character states."), 1;
    run->patterns = pd;

    ev.distribute = svdqOpt.ambigs == 1;
    ev.plus2 = svdqOpt.plus2 != 0;
    ev.lake = svdqOpt.lakeInvar != 0;
    ev.showScores = svdqOpt.showScores != 0;
    ev.showSV = svdqOpt.showSV != 0;
    ev.qweights = svdqOpt.qweights;
    ev.wtlambda = svdqOpt.wtlambda;
    ev.nchar = d->nchar;
    if (initSvdqScoring(ev, pd) != 0)
        return qel_errorMsg(0, "Not enough memory for the SVDQuartets analysis."), 1;
    if (svdqOpt.estNodeAges != 0 && ev.s != 4)
        return qel_errorMsg(0, "Estimation of node ages needs nucleotide data with four states."), 1;
    if (ev.lake && ev.s != 4)
        return qel_errorMsg(0, "Lake invariants (lakeInvar) need nucleotide data with four states."), 1;
    ev.nunits = ev.ntax;
    // Units are the taxa left after deletions, labelled as such.
    for (uint32_t t = 0; t < ev.ntax; t++)
        run->unitNames.emplace_back(getTaxLabel(d, t));
    if (species && setUpSpecies(*run, d, species) != 0)
        return 1;
    if (svdqOpt.enforce && setUpConstraint(ev, d, getActiveConstraint()) != 0)
        return 1;
    if (!run->speciesMode && svdqOpt.treeInf == kSvdqTreeInfCurTrees && areTreesSpeciesTrees())
        return qel_errorMsg(0, "The trees in memory are species trees; quartets of lineages cannot score them.\tUse "
                               "speciesTree=yes with their taxon partition, or load trees of the taxa."),
               1;
    if (run->speciesMode && svdqOpt.treeInf == kSvdqTreeInfCurTrees && !treesAreOfSpecies(run->unitNames))
        return qel_errorMsg(0, "The trees in memory are not trees of the species of partition '%s'.\tSpecies quartets "
                               "can score only species trees over the same species (such as the tree of an earlier "
                               "species-tree analysis with this partition).",
                            run->partitionName),
               1;
    // The shared minimum-taxa refusal; in species mode the units are species.
    if (ev.nunits < 4 && !run->speciesMode) {
        checkMinTaxa(4, "SVDQuartets analysis", nullptr);  // the units are the nondeleted taxa
        return 1;
    }
    if (ev.nunits < 4)
        return qel_errorMsg(606, "%s is not allowed when there are fewer than %u species.\tThe taxon partition must "
                                 "assign nondeleted taxa to at least %u species.",
                            "SVDQuartets species-tree analysis", 4u, 4u),
               1;

    ev.totalQuartets = svdqTotalQuartets(ev);
    ev.exhaustive = svdqOpt.evalQuartets == 0 || (svdqOpt.preferAllQ && svdqOpt.nquartets >= ev.totalQuartets);
    const double count = std::round(ev.exhaustive ? ev.totalQuartets : svdqOpt.nquartets);
    if (count > kMaxQuartetCount)
        return qel_errorMsg(0, "Number of quartets to be sampled (%g) exceeds the limit of %u.\t%s", count,
                            4294967295u,
                            ev.exhaustive ? "You must instead use random sampling of quartets."
                                          : "Please specify a smaller number of quartets."),
               1;
    if (count < 1.0)
        return qel_errorMsg(0, "The number of quartets evaluated cannot be zero.\tPlease specify a different value for "
                               "'%s'.\n",
                            "nquartets"),
               1;
    ev.nq = static_cast<uint64_t>(count);
    ev.entriesPerQuartet = ev.qweights ? 3 : 1;
    ev.drawsPerQuartet = ev.members.empty() ? 4 : 8;
    // The quartet list is made whole now: a count whose list does not fit
    // in memory is refused, never evaluated short.
    try {
        if (ev.nq * ev.entriesPerQuartet > ev.entries.max_size())
            throw std::bad_alloc();
        ev.entries.resize(ev.nq * ev.entriesPerQuartet);
    } catch (const std::bad_alloc &) {
        ev.entries.clear();
        return qel_errorMsg(0, "Not enough memory for the list of %.0f quartets.\tPlease specify a smaller number of "
                               "quartets.",
                            count),
               1;
    }
    ev.rank = svdqOpt.forceRank ? svdqOpt.forceRank
                                : (svdqOpt.treemodel == 0 ? ev.s * (ev.s + 1) / 2 : ev.s);

    if (svdqOpt.nthreads == 0)
        svdqOpt.nthreads = static_cast<uint32_t>(std::max(availableProcessors(), 1));
    const uint32_t requested = svdqOpt.nthreads;
    ev.nthreads = static_cast<uint32_t>(std::clamp<uint64_t>(std::min<uint64_t>(requested, ev.nq), 1, 1u << 20));
    if (ev.showScores || ev.showSV)
        ev.nthreads = 1;
    // The assembly and the bootstrap consensus both replace the trees in
    // memory.
    if (assembles && !verifyReplaceTrees())
        return 1;
    run->seed = seedForRun(svdqOpt.seed);
    showSettings(*run, requested);
    ev.writeFrob = svdqOpt.pref_writeFrobD != 0 && !ev.plus2;
    if (svdqOpt.pref_saveQrtFile)
        qel_printf("Writing quartet information in %s format to file: %s\n", svdqOpt.qformat ? "QFM" : "QMC",
                   svdqOpt.qfile);
    if (svdqOpt.pref_saveMrpFile)
        qel_printf("Writing quartet information in MRP format to file: %s\n", svdqOpt.mrpFile);
    if (svdqOpt.pref_saveBtrFile && svdqOpt.bootstrap != kSvdqBootNo)
        qel_printf("Writing trees for bootstrap replicates to file: %s\n", svdqOpt.treeFile);
    if (svdqOpt.pref_writeFrobD)
        qel_printf("Writing Frobenius distances to file: %s\n", svdqOpt.frobDFile);

    initRNG(&ev.rng, run->seed);
    int opened = openFile(svdqOpt.qfile, svdqOpt.pref_saveQrtFile, &run->files.qfile);
    if (opened == 0)
        opened = openFile(svdqOpt.mrpFile, svdqOpt.pref_saveMrpFile, &run->files.mrp);
    if (opened == 0 && svdqOpt.pref_saveBtrFile && svdqOpt.bootstrap != kSvdqBootNo) {
        // Opened now, not made the active output until the bootstrap
        // writes to it.
        run->files.boot = openInactiveAuxOutStream(svdqOpt.treeFile, gReplaceFile != 0, false, &opened);
        if (run->files.boot)
            opened = 0;
    }
    if (opened == 0)
        opened = openFile(svdqOpt.frobDFile, svdqOpt.pref_writeFrobD, &run->files.frob);
    if (opened != 0) {
        run->files.discard();
        return opened;
    }
    if (run->files.frob)
        std::fputs("tree\tnsites\t0\t1\t2\t3\t4\t5\t6\t7\t8\t9\t10\t11\t12\t13\t14\t15\n", run->files.frob->fp);
    if (svdqOpt.treeInf == kSvdqTreeInfQFM)
        clearTrees(false, true);
    if (run->speciesMode && run->files.qfile) {
        size_t width = 0;
        for (const auto &n : run->unitNames)
            width = std::max(width, n.size());
        const int w = static_cast<int>(width) + 4;
        qel_printf("\nSpecies membership defined by taxon partition \"%s\" (used in quartet output files):\n\n",
                   run->partitionName);
        qel_printf("    %-*s%8s  %s\n", w, "", "Species", "Lineage");
        qel_printf("    %-*s%8s  %s\n", w, "Name", "index", "indices");
        tableLine(0x7fffffff, 4);
        for (uint32_t k = 0; k < ev.nunits; k++) {
            qel_printf("    %-*s%8u  ", w, run->unitNames[k].c_str(), k + 1);
            for (uint32_t t : ev.members[k])
                qel_printf(" %u", taxonNumber(d, t));
            qel_printf("\n");
        }
    }
    ProgData *progress = createProgressWindow(static_cast<uint32_t>(std::min<uint64_t>(ev.nq, 0xFFFFFFFEu)), 0,
                                              ev.exhaustive ? "Getting SVD scores for all quartets"
                                                            : "Getting SVD scores for random quartets");
    if (progress && ev.nthreads > 1)
        setProtectedProgressValue(progress);
    ev.progress = progress;
    TimeMark start{}, stop{};
    setTimeMark(&start);
    int status = runSecondaryThread(svdQuartetThreadProc, run.get());
    destroyProgressWindow(progress);
    run->files.discard();
    clearStatusText();
    if (status == 0) {
        setTimeMark(&stop);
        qel_printf("\n");
        showTimeUsed(&start, &stop, 0, " for SVDQuartet analysis");
    } else if (status == 2) {
        qel_printf("\nSVDQuartets analysis aborted.\n");
        setAbortedStatus(0);
    }
    // A stop during the bootstrap after a finished replicate leaves its
    // consensus, as it reported.
    if (status != 0 && svdqOpt.treeInf == kSvdqTreeInfQFM && !(status == 2 && run->consensusStored))
        clearTrees(false, true);
    return status;
}

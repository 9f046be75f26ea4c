#include "selection/simblock.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <filesystem>

#include "cli/qel_cmdoptions.h"
#include "cli/qel_commands.h"
#include "cli/shell_settings.h"
#include "data/chartaxlist.h"
#include "data/charstat.h"
#include "data/model.h"
#include "data/nexsets.h"
#include "data/vorn_data.h"
#include "likelihood/likelihood_settings.h"
#include "likelihood/models.h"
#include "likelihood/showmodel.h"
#include "qel/qel_detmath.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_output.h"
#include "qel/qel_progress.h"
#include "qel/qel_setptn.h"
#include "qel/qel_strings.h"
#include "selection/simblock_state.h"
#include "trees/treebuf.h"
#include "trees/treegen.h"
#include "trees/treeutil.h"

std::unique_ptr<SimBlock> gSim;

namespace {

constexpr const char *kFormatMistake = "\tIt is possible that this is a downstream effect of an earlier formatting mistake.";

const char *currentCommandName()
{
    const CmdTableEntry *cur = cmdOpt.currentCmd;
    return cur != nullptr ? cur->name : "simulation";
}

// Every command of the block refuses to run outside one.
bool outsideBlock()
{
    if (gSim)
        return false;
    qel_errorMsg(0, "The \"%s\" command can only be issued from within a %s block.", currentCommandName(),
                 "simulation");
    skipRestOfCmd();
    return true;
}

int expectingColon(const char *word)
{
    return qel_errorMsg(0, "Expecting colon (:) found '%c'.%s", word[0], kFormatMistake);
}

// The text of the last closed loop: an input nested in that loop (a file
// it executed) may return to it after the block has closed.
std::unique_ptr<SimBlock::LoopSource> gRetiredLoop;

void releaseBlock()
{
    if (!gSim)
        return;
    // Nothing more is read from it.
    gSim->loop->input.docIndex = gSim->loop->input.docLength;
    gRetiredLoop = std::move(gSim->loop);
    if (gSim->trueTrees)
        destroyTreeBuffer(gSim->trueTrees);
    if (gSim->generated)
        destroyTree(gSim->generated, true);
    if (gSim->savedExclusions)
        deallocSet(gSim->savedExclusions);
    destroyProgressWindow(gSim->progress);
    setInterruptOwner(nullptr);
    gSim->finisher.reset();
    gSim.reset();
    setModelsForSimulationBlock(false);
}

// ---- Results file -----------------------------------------------------------

// 0, or 1 when the file could not take the text. The writer has reported
// the failure and the file keeps its old text; every result is then lost,
// so the loop must stop with an error instead of running on and saying at
// the end that the results were written.
int writeResults(const std::string &text)
{
    if (!gSim->results)
        return 0;
    AuxOut *prev = setActiveAuxOut(gSim->results);
    auxPuts(text.c_str());
    const int rc = auxFlushBuffer(0, true);
    setActiveAuxOut(prev);
    if (rc == 0) {
        // Each row of the loop is a finished replicate: a signal that ends
        // the run keeps the file up to here. (A file that could not be
        // marked is abandoned then, as any other.)
        if (gSim->running)
            markStreamKept(gSim->results->stream);
        return 0;
    }
    closeAuxOutStream(gSim->results);
    gSim->results = nullptr;
    return 1;
}

std::string fmt(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char *format, ...)
{
    char buffer[256];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(buffer, sizeof buffer, format, ap);
    va_end(ap);
    return buffer;
}

int announceResultsFile();

int openResultsFile(const std::vector<std::string> &labels)
{
    SimBlock &s = *gSim;
    // An earlier loop of the block wrote a file of its own: it is finished
    // now, not dropped for the new one.
    if (s.results && announceResultsFile() != 0)
        return 1;
    s.resultsName = simOpt.resultsFile;
    s.meansOnly = simOpt.output != 0;
    s.BS = simOpt.BS != 0;
    s.times = simOpt.times != 0;
    s.tallies.clear();
    s.brlenNodes.clear();
    if (s.resultsName.empty())
        return 0;
    // Branch columns need one numbering of the true tree's branches for
    // every replicate: trees from memory.
    s.brLens = simOpt.brLens != 0 && s.source == kTrueTreeMemory;
    if (s.brLens && trueTreeBranchNodes(&s.brlenNodes) != 0)
        return 1;
    s.brlenSums.assign(s.brlenNodes.size(), 0.0);
    s.brlenCounts.assign(s.brlenNodes.size(), 0);
    std::error_code ec;
    const bool hasText = gAppendToFile && std::filesystem::file_size(s.resultsName, ec) > 0 && !ec;
    int openStatus = 1;
    s.results = openAuxOutStream(s.resultsName.c_str(), gReplaceFile != 0, gAppendToFile != 0, &openStatus);
    if (!s.results)
        return openStatus;
    // Every row is a finished replicate, flushed when it ended: an interrupt
    // that stops the loop, or comes after it, must not make the close
    // abandon them.
    s.results->keepOnInterrupt = 1;
    std::string head = hasText ? "\n" : "";
    if (!s.title.empty())
        head += s.title + "\n";
    head += s.multilocus ? "NLoci\tSitesPerLocus" : "Length";
    head += "\tRep";
    for (const uint32_t node : s.brlenNodes)
        head += fmt("\tbrlen %u", node);
    const uint32_t ntrees = numTrueTreesForTally();
    for (const std::string &label : labels)
        for (uint32_t k = 0; k < ntrees; ++k) {
            const std::string name = ntrees > 1 ? label + "(" + std::to_string(k + 1) + ")" : label;
            head += "\t" + name + "_Ntrees\t" + name + "_correct\t" + name + "_P";
            if (s.BS)
                head += "\t" + name + "_Bs";
            if (s.times)
                head += "\t" + name + "_CPUtime";
            SimTally t;
            t.label = name;
            s.tallies.push_back(t);
        }
    return writeResults(head + "\n");
}

// 0 when the whole file reached the disk; 1 when it did not (reported).
std::string partialReplicateRow();

// Finished replicates' rows are in the file already; a run stopped part way
// adds the row of its last replicate as far as its tallies went (nothing
// when none was taken), so that no tally it made is lost.
int closeResultsFile()
{
    if (!gSim || !gSim->results)
        return 1;
    if (gSim->running && !gSim->meansOnly) {
        const std::string partial = partialReplicateRow();
        if (!partial.empty() && writeResults(partial + "\n") != 0)
            return 1;
    }
    const int rc = closeAuxOutStream(gSim->results);
    gSim->results = nullptr;
    return rc != 0 ? 1 : 0;
}

// A termination signal ends the run: the interrupted replicate's row goes
// to the file as far as its tallies went, as when an error stops the loop;
// the file is then kept as it stands.
void writeRowOnTermination(void *)
{
    if (!gSim || !gSim->results || !gSim->running || gSim->meansOnly)
        return;
    gSim->terminating = true;
    if (const std::string partial = partialReplicateRow(); !partial.empty())
        writeResults(partial + "\n");
}

// Closes the open results file; only a file written whole is announced.
int announceResultsFile()
{
    if (closeResultsFile() != 0)
        return 1;
    const LoopOutputShown shown;
    qel_printf("\nSimulation results written to file: %s\n", gSim->resultsName.c_str());
    return 0;
}

std::string lengthPrefix()
{
    const SimBlock &s = *gSim;
    const int32_t n = s.lengths[s.lengthIndex];
    return s.multilocus ? fmt("%d\t%d", n, s.sitesPerLocus) : fmt("%d", n);
}

// The replicate's fields before its tallies: length, replicate and, when
// asked, the lengths of the true tree's branches (added to their sums when
// `sum` is set).
std::string replicateRowStart(bool sum)
{
    SimBlock &s = *gSim;
    std::string row = lengthPrefix() + fmt("\t%d", s.rep + 1);
    if (s.brLens) {
        // A termination stops whatever was running: no fit is started then.
        std::vector<double> lengths;
        const bool have = !s.terminating && foundLengthsOfTrueBranches(&lengths) &&
                          lengths.size() == s.brlenNodes.size();
        for (size_t b = 0; b < s.brlenNodes.size(); ++b) {
            row += have ? fmt("\t%.6g", lengths[b]) : std::string("\t-");
            if (have && sum) {
                s.brlenSums[b] += lengths[b];
                ++s.brlenCounts[b];
            }
        }
    }
    return row;
}

std::string tallyFields(const SimTally &t)
{
    const SimBlock &s = *gSim;
    const double n = t.trees;
    std::string row = fmt("\t%u\t%f\t%f", t.trees, n > 0 ? t.correct / n : 0.0, n > 0 ? t.P / n : 0.0);
    if (s.BS)
        row += t.haveBs && n > 0 ? fmt("\t%.6g", t.bs / n) : std::string("\t-");
    if (s.times)
        row += "\t" + formatSimCpuTime(t.cpu);
    return row;
}

// The row of a replicate the run stopped in: its tallies up to the first
// one it did not reach; empty when it reached none.
std::string partialReplicateRow()
{
    const SimBlock &s = *gSim;
    if (s.rep < 0 || s.tallies.empty() || !s.tallies.front().done)
        return {};
    std::string row = replicateRowStart(false);
    for (const SimTally &t : s.tallies) {
        if (!t.done)
            break;
        row += tallyFields(t);
    }
    return row;
}

// The replicate's row, then the sums; 1 when the row could not be written.
int finishReplicateRow()
{
    SimBlock &s = *gSim;
    std::string row = replicateRowStart(true);
    for (SimTally &t : s.tallies) {
        row += tallyFields(t);
        const double n = t.trees;
        if (n > 0) {
            t.sumCorrect += t.correct / n;
            t.sumP += t.P / n;
        }
        t.sumTrees += n;
        if (t.haveBs && n > 0) {
            t.sumBs += t.bs / n;
            ++t.nBs;
        }
        t.sumCpu += t.cpu;
        ++t.reps;
        t.trees = 0;
        t.correct = t.P = t.bs = t.cpu = 0.0;
        t.haveBs = t.done = false;
    }
    return !s.meansOnly && s.results ? writeResults(row + "\n") : 0;
}

int writeMeansLine()
{
    SimBlock &s = *gSim;
    std::string row = lengthPrefix() + "\tmeans";
    for (size_t b = 0; b < s.brlenNodes.size(); ++b) {
        row += s.brlenCounts[b] > 0 ? fmt("\t%.6g", s.brlenSums[b] / s.brlenCounts[b]) : std::string("\t-");
        s.brlenSums[b] = 0.0;
        s.brlenCounts[b] = 0;
    }
    for (SimTally &t : s.tallies) {
        const double r = std::max<uint32_t>(t.reps, 1);
        row += fmt("\t%f\t%f\t%f", t.sumTrees / r, t.sumCorrect / r, t.sumP / r);
        if (s.BS)
            row += t.nBs > 0 ? fmt("\t%.6g", t.sumBs / t.nBs) : std::string("\t-");
        if (s.times)
            row += "\t" + formatSimCpuTime(t.sumCpu / r);
        const std::string label = t.label;
        t = SimTally{};
        t.label = label;
    }
    return s.results ? writeResults(row + "\n") : 0;
}

// ---- Models -----------------------------------------------------------------

// The simulation record of one model, or 1 after saying why the model
// cannot be simulated from.
int makeSimModelFor(const Model *m, SimModel &sm)
{
    const SimBlock &s = *gSim;
    Model copy = *m;  // plain fields only are read
    if (s.twoState && copy.type != kModelTwoState) {
        // Two-state rates come from the settings unless the model was made
        // for two-state data.
        copy.q01 = ml.q01;
        copy.q10 = ml.q10;
    }
    const uint32_t ncat = m->ncat > 0 ? m->ncat : kSimGammaCategories;
    // Two-state frequencies follow from the two rates.
    const bool empirical = !s.twoState && modelHasEmpiricalFreqs(m);
    const std::string why = empirical ? "estimated" : makeSimModel(copy, s.twoState, true, ncat, &sm);
    if (why == "estimated")
        return qel_errorMsg(0, "Estimated parameters and/or empirical state frequencies are not allowed in models "
                               "used for simulation.\tModel \"%s\" must be fully specified.",
                            m->name);
    if (!why.empty())
        return qel_errorMsg(0, "Model \"%s\" cannot be used for simulation (%s).", m->name,
                            why == "type" ? "it is not a nucleotide model" : "its parameters are not valid");
    sm.name = m->name;
    return 0;
}

int addSimModel(const Model *m)
{
    SimModel sm;
    if (makeSimModelFor(m, sm) != 0)
        return 1;
    gSim->models.push_back(std::move(sm));
    return 0;
}

// The default model from the current settings, typed by the block's kind of
// data: data another block or file left in memory are replaced by the first
// replicate and must not make it a model of their own kind.
Model *defaultSimModel()
{
    const DataInfo *d = activeDataInfo();
    if (d && !(d->flags & kHaveCharacters))
        d = nullptr;
    if (d) {
        const bool nucleotide =
            d->dataType == kDataTypeDNA || d->dataType == kDataTypeRNA || d->dataType == kDataTypeNucleotide;
        if (nucleotide == gSim->twoState)
            d = nullptr;
    }
    Model *def = getDefaultModel();
    return def != nullptr && applyCurrentSettingsToModel(def, d) == 0 ? def : nullptr;
}

int prepareSimModels()
{
    SimBlock &s = *gSim;
    s.models.clear();
    Model *def = defaultSimModel();
    if (def == nullptr)
        return 1;
    if (s.siteModels.empty())
        s.siteModels.push_back({"default", 0, 1.0});
    for (const SimWeighted &w : s.siteModels) {
        Model *m = stricmp(w.model.c_str(), "default") == 0 ? def : findMatchingModel(w.model.c_str(), true);
        if (m == nullptr || addSimModel(m) != 0)
            return 1;
    }
    s.nSiteModels = static_cast<uint32_t>(s.models.size());
    for (const SimLocalChange &c : s.local) {
        if (c.isRate)
            continue;
        Model *m = stricmp(c.model.c_str(), "default") == 0 ? def : findMatchingModel(c.model.c_str(), true);
        if (m == nullptr || addSimModel(m) != 0)
            return 1;
    }
    return 0;
}

void showSimModels()
{
    const SimBlock &s = *gSim;
    qel_printf("\nModel(s) used for simulation:\n");
    indentOutput(4);
    auto show = [&](const std::string &name) {
        Model *m = stricmp(name.c_str(), "default") == 0 ? getDefaultModel() : findMatchingModel(name.c_str(), false);
        if (m)
            showModel(m, true, true, false, nullptr);
    };
    if (s.twoState) {
        // The record's own terms: the nucleotide settings do not apply.
        for (const SimModel &m : s.models) {
            qel_printf("Model '%s': two states, rate 0->1 = %g, rate 1->0 = %g (mean rate 1)\n", m.name.c_str(),
                       m.q[0][1], m.q[1][0]);
            qel_printf("  State frequencies = %g %g; gamma shape = %g; proportion invariable = %g\n", m.freqs[0],
                       m.freqs[1], m.shape, m.pinv);
        }
    } else {
        for (const SimWeighted &w : s.siteModels)
            show(w.model);
        for (const SimLocalChange &c : s.local)
            if (!c.isRate)
                show(c.model);
    }
    indentOutput(-4);
    if (s.source == kTrueTreeYule || s.source == kTrueTreeFixedYule) {
        qel_printf("Tree generated by Yule process (pure birth model)\n");
        qel_printf("  Tree height = %g substitutions/site\n", s.height);
    } else if (s.source == kTrueTreeBD || s.source == kTrueTreeFixedBD) {
        const double l = s.lambda, m = s.mu, r = s.rho;
        qel_printf("Tree generated by birth-death process with sampling\n");
        qel_printf("  Birth rate (lamba)   = %g\n", l);
        qel_printf("  Death rate (mu)      = %g\n", m);
        qel_printf("  Sampling fraction    = %g%%\n", 100.0 * r);
        qel_printf("  Expected tree height = %g substitutions/site\n", s.height);
        qel_printf("  Expected number of species at time 1.0 = %.3f\n",
                   (r * l - l + m - r * m * detExp(l - m)) / (m - l));
    }
    if (s.source != kTrueTreeMemory)
        qel_printf(s.treeRepDifferent ? "  True trees for each replicate vary for each sequence length\n"
                                      : "  True trees for each replicate are the same for all sequence lengths\n");
}

// ---- Reading the loop ahead -------------------------------------------------

// The position an error names: inside the loop, the line of the command
// file the loop's text was read from.
bool simLoopErrorPosition(uint32_t *line1Based, const char **fileName)
{
    const InputStatus *in = getActiveInput();
    if (gSim && gSim->running && in == &gSim->loop->input && !gSim->loop->fileName.empty()) {
        if (!inBatchInputMode() || gQelIo.suppressFilePosition)
            return false;
        *line1Based = gSim->loop->startLine + in->pos.lineNum;
        *fileName = gSim->loop->fileName.c_str();
        return true;
    }
    return activeInputErrorPosition(line1Based, fileName);
}

// Reads the rest of the loop, through "endsim;", from the active input.
int captureLoopText(std::vector<std::string> *labels)
{
    std::string &text = gSim->loop->text;
    text.clear();
    uint32_t line = 0;
    const char *file = nullptr;
    gSim->loop->fileName.clear();
    if (activeInputErrorPosition(&line, &file) && file) {
        gSim->loop->fileName = file;
        gSim->loop->startLine = line;
        setErrorPositionFxn(simLoopErrorPosition);
    }
    for (;;) {
        const bool more = readNextCharsThrough(';', text);
        labels->clear();
        const size_t end = scanSimLoopText(text, labels);
        if (end != std::string::npos) {
            text.resize(end);
            return 0;
        }
        if (!more)
            return qel_errorMsg(0, "The simulation loop has no end.\tEvery '%s' command must be followed by an "
                                   "'%s' command.",
                                "BeginSim", "EndSim");
    }
}

int checkLengths()
{
    const SimBlock &s = *gSim;
    if (!s.haveLengths || s.lengths.empty()) {
        if (s.multilocus)
            return qel_errorMsg(0, "In \"multilocus\" mode, you must specify values for both the number of loci "
                                   "('%s') and the number of sites per locus ('%s')\tAdd these settings to the "
                                   "'%s' command.",
                                "nloci", "nsitesPerLocus", "SimData");
        return qel_errorMsg(0, "No character counts or sequence lengths were specified.\tUse the '%s' option of "
                               "the '%s' command.",
                            "nchar", "SimData");
    }
    return 0;
}

}  // namespace

// ---- Block ------------------------------------------------------------------

bool inSimulationBlock() { return gSim != nullptr; }

int beginSimulation(int twoState)
{
    if (gSim) {
        qel_errorMsg(0, "Simulation blocks are not allowed to be nested.");
        return 1;
    }
    gSim = std::make_unique<SimBlock>();
    gSim->twoState = twoState != 0;
    setModelsForSimulationBlock(true);
    const DataInfo *d = activeDataInfo();
    gSim->ntax = d ? d->ntax : 0;
    return 0;
}

int endSimulation()
{
    if (!gSim)
        return 0;
    if (gSim->running && getActiveInput() == &gSim->loop->input)
        setActiveInput(gSim->loop->input.prevInput);
    if (gSim->monitoringSaved)
        setOutputMonitoring(gSim->savedMonitoring);
    if (gSim->running && gSim->stopAfterReplicate && !gSim->stopShown) {
        const LoopOutputShown shown;
        qel_printf("\nSimulation stopped by the user in replicate %d.\n", gSim->rep + 1);
    }
    const int status = gSim->results ? announceResultsFile() : 0;
    releaseBlock();
    return status;
}

int doSimTitleCmd()
{
    if (outsideBlock())
        return 1;
    std::string title;
    char word[1024];
    for (;;) {
        if (readToken(word, sizeof word) < 0)
            return 1;
        if (std::strcmp(word, ";") == 0)
            break;
        if (!title.empty())
            title += ' ';
        title += word;
    }
    gSim->title = title;
    return 0;
}

int doSiteModelsCmd()
{
    if (outsideBlock())
        return 1;
    std::vector<SimWeighted> list;
    char word[256];
    if (readToken(word, sizeof word) < 0)
        return 1;
    while (std::strcmp(word, ";") != 0) {
        if (std::strcmp(word, ",") == 0) {
            if (readToken(word, sizeof word) < 0)
                return 1;
            continue;
        }
        SimWeighted w;
        w.model = word;
        if (stricmp(word, "default") != 0 && findMatchingModel(word, false) == nullptr)
            return qel_errorMsg(0, "Model \"%s\" has not been defined.", word);
        if (readToken(word, sizeof word) < 0)
            return 1;
        if (std::strcmp(word, ":") == 0) {
            // Read as a number, so that a refused "-1" is shown whole.
            if (readSpecialToken(word, sizeof word, nullptr, getNumericPunct(), nullptr, false) < 0)
                return 1;
            if (tokenWasTruncated() || stringToDouble(word, &w.weight) != kConvOk || !(w.weight >= 0.0) ||
                !std::isfinite(w.weight))
                return qel_errorMsg(0, "Expecting a proportion or weight; instead found '%s'", word);
            if (readToken(word, sizeof word) < 0)
                return 1;
        }
        list.push_back(w);
    }
    // A model that cannot be simulated from is refused here, where it is
    // named, and not first when the loop starts.
    for (const SimWeighted &w : list) {
        const bool isDefault = stricmp(w.model.c_str(), "default") == 0;
        const Model *m = isDefault ? defaultSimModel() : findMatchingModel(w.model.c_str(), true);
        SimModel sm;
        if (m == nullptr || makeSimModelFor(m, sm) != 0)
            return 1;
    }
    gSim->siteModels = std::move(list);
    return 0;
}

namespace {

int readLocalChanges(bool rates)
{
    DataInfo *d = activeDataInfo();
    std::vector<SimLocalChange> items;
    char word[256];
    Set *taxa = allocSet(gSim->ntax > 0 ? gSim->ntax : 1);
    if (!taxa)
        return 1;
    auto fail = [&](int rc) {
        deallocSet(taxa);
        return rc;
    };
    for (;;) {
        // A rate is read as a number, so that a sign stays with it.
        if (readSpecialToken(word, sizeof word, nullptr, rates ? getNumericPunct() : nullptr, nullptr, false) < 0)
            return fail(1);
        if (std::strcmp(word, ";") == 0)
            break;
        if (std::strcmp(word, ",") == 0)
            continue;
        SimLocalChange c;
        c.isRate = rates;
        if (rates) {
            if (tokenWasTruncated() || stringToDouble(word, &c.rate) != kConvOk || !(c.rate >= 0.0) ||
                !std::isfinite(c.rate))
                return fail(qel_errorMsg(0, "Rate \"%s\" is not valid.", word));
        } else {
            if (stricmp(word, "default") != 0 && findMatchingModel(word, true) == nullptr)
                return fail(1);
            c.model = word;
        }
        if (readToken(word, sizeof word) < 0)
            return fail(1);
        if (std::strcmp(word, ":") != 0)
            return fail(expectingColon(word));
        if (readTaxaList(d, ",;", taxa, nullptr) != 0)
            return fail(1);
        for (uint32_t t = firstOneBit(taxa->words, taxa->nwords); t != kSetEnd; t = followingSetMember(taxa, t))
            c.taxa.push_back(t);
        items.push_back(std::move(c));
    }
    deallocSet(taxa);
    for (auto &c : items)
        gSim->local.push_back(std::move(c));
    return 0;
}

int readTrueTreesFromMemory()
{
    SimBlock &s = *gSim;
    TreeBuffer *main = getMainTreeBuffer(nullptr);
    const uint32_t inMemory = main ? numTreesInBuffer(main) : 0;
    if (simOpt.treeNum.n == 0)
        return qel_errorMsg(0, "No tree numbers were given in the '%s' command.\tUse the 'treeNum' option to "
                               "specify which tree(s) are to be used as model tree(s).",
                            "TrueTree");
    if (inMemory == 0)
        return qel_errorMsg(0, "The '%s' option was requested for specifying a model (\"true\") tree, but no trees "
                               "are currently in memory.\tInput trees with a TREES block or use a tree-search "
                               "command first.",
                            "source=Memory");
    std::vector<SimWeighted> list;
    for (uint32_t i = 0; i < simOpt.treeNum.n; ++i) {
        const int32_t n = simOpt.treeNum.values[i];
        if (n < 1 || static_cast<uint32_t>(n) > inMemory)
            return qel_errorMsg(0, "Invalid tree number specified: %d\tPlease use a number between 1 and the "
                                   "number of trees currently in memory (%u).",
                                n, inMemory);
        if (!main->brlens || !main->brlens[n - 1])
            return qel_errorMsg(0, "Trees used as true tree(s) for simulation must contain branch lengths.\tMake "
                                   "sure that all user-input trees contain branch length information.");
        list.push_back({"", n, simOpt.treeNum.weights[i]});
    }
    if (!areTreesRooted(main))
        return qel_errorMsg(0, "\"True\" trees for simulation must be rooted.\tInput the trees as rooted trees "
                               "(the [&R] comment or the 'rooted' option).");
    TreeBuffer *clone = cloneTreeBuffer(main, true);
    if (!clone)
        return 1;
    if (s.trueTrees)
        destroyTreeBuffer(s.trueTrees);
    s.trueTrees = clone;
    s.treeList = std::move(list);
    return 0;
}

}  // namespace

int doLocalModelCmd() { return outsideBlock() ? 1 : readLocalChanges(false); }
int doLocalRateCmd() { return outsideBlock() ? 1 : readLocalChanges(true); }

int doTrueTreeCmd()
{
    if (outsideBlock())
        return 1;
    const DataInfo *d = activeDataInfo();
    if (!d || d->ntax == 0) {
        qel_errorMsg(0, "Current setting of NTax=0 is invalid (missing TAXA block?)");
        skipRestOfCmd();
        return 1;
    }
    simOpt.source = -1;
    simOpt.height = -1.0;
    simOpt.treeNum.n = 0;
    if (getCmdParams(OptionSet::kTrueTree, ";", nullptr) <= 0)
        return 1;
    if (simOpt.source < 0)
        return qel_errorMsg(0, "You must specify a model tree type.\tUse the '%s' option of the '%s' command.",
                            "source", "TrueTree");
    // Lengths scaled by a negative number, or converted by a theta of 0,
    // are no lengths at all (negative, or not a number): every site would
    // come out constant without a word.
    if (simOpt.source == kTrueTreeMemory && !(simOpt.scaleBrlens >= 0.0 && std::isfinite(simOpt.scaleBrlens)))
        return qel_errorMsg(0, "The '%s' value must be a nonnegative number.", "scaleBrlens");
    if (simOpt.mscoalescent && !(simOpt.theta > 0.0 && std::isfinite(simOpt.theta)))
        return qel_errorMsg(0, "The '%s' value must be a positive number.", "theta");
    SimBlock &s = *gSim;
    if (simOpt.source == kTrueTreeMemory) {
        if (readTrueTreesFromMemory() != 0)
            return 1;
    } else {
        if (simOpt.mscoalescent)
            return qel_errorMsg(0, "Multispecies coalescent simulation is (currently) not permitted with true trees "
                                   "obtained under Yule/birth-death process.\tYou must use a tree currently in "
                                   "memory as the true tree.");
        if (!(simOpt.height > 0.0))
            return qel_errorMsg(0, "You must specify a (positive) tree height for Yule and birth-death models.");
        const bool bd = simOpt.source == kTrueTreeBD || simOpt.source == kTrueTreeFixedBD;
        if (bd && !(simOpt.lambda > simOpt.mu))
            return qel_errorMsg(0, "Lambda must exceed mu in the birth-death model.");
        if (bd && !(simOpt.mu >= 0.0 && simOpt.rho > 0.0 && simOpt.rho <= 1.0))
            return qel_errorMsg(0, "The birth-death parameters must satisfy mu >= 0 and 0 < rho <= 1.");
    }
    s.source = simOpt.source;
    s.mscoalescent = simOpt.mscoalescent;
    s.units = simOpt.units;
    s.storeTrueTrees = simOpt.storeTrueTrees;
    s.showTrueTrees = simOpt.showTrueTrees;
    s.showGeneTrees = simOpt.showGeneTrees;
    s.scaleBrlens = simOpt.scaleBrlens;
    s.theta = simOpt.theta;
    s.lambda = simOpt.lambda;
    s.mu = simOpt.mu;
    s.rho = simOpt.rho;
    s.height = simOpt.height;
    s.treeRepDifferent = simOpt.treeRep != 0;
    std::copy(simOpt.treeSeed, simOpt.treeSeed + 4, s.treeSeed);
    s.haveTrueTree = true;
    return 0;
}

int doSimDataCmd()
{
    if (outsideBlock())
        return 1;
    simOpt.nchar.n = 0;
    simOpt.nloci.n = 0;
    simOpt.nsitesPerLocus = 0;
    if (getCmdParams(OptionSet::kSimData, ";", nullptr) <= 0)
        return 1;
    SimBlock &s = *gSim;
    const bool multi = simOpt.multilocus != 0;
    if (multi && simOpt.nchar.n > 0)
        return qel_errorMsg(0, "The '%s' option is not valid in \"multilocus\" mode.\tUse the '%s' and '%s' options "
                               "instead, and remove '%s' from the '%s' command.",
                            "nchar", "nloci", "nsitesPerLocus", "nchar", "SimData");
    if (multi && (simOpt.nloci.n == 0 || simOpt.nsitesPerLocus < 1))
        return qel_errorMsg(0, "In \"multilocus\" mode, you must specify values for both the number of loci ('%s') "
                               "and the number of sites per locus ('%s')\tAdd these settings to the '%s' command.",
                            "nloci", "nsitesPerLocus", "SimData");
    if (!multi && simOpt.nloci.n > 0)
        return qel_errorMsg(0, "The '%s' option is only valid in \"multilocus\" mode.\tUse the '%s' option instead, "
                               "or specify '%s=yes' on the '%s' command.",
                            "nloci", "nchar", "multilocus", "SimData");
    if (!multi && simOpt.nchar.n == 0)
        return qel_errorMsg(0, "No character counts or sequence lengths were specified.\tUse the '%s' option of the "
                               "'%s' command.",
                            "nchar", "SimData");
    const SimValueList &list = multi ? simOpt.nloci : simOpt.nchar;
    s.multilocus = multi;
    s.lengths.assign(list.values, list.values + list.n);
    s.sitesPerLocus = multi ? simOpt.nsitesPerLocus : 0;
    for (int32_t n : s.lengths)
        if (multi && static_cast<int64_t>(n) * s.sitesPerLocus > 0x7FFFFFFF)
            return qel_errorMsg(0, "Too many sites: %d loci of %d sites.", n, s.sitesPerLocus);
    s.haveLengths = true;
    return 0;
}

int beginSimLoop()
{
    if (outsideBlock())
        return 1;
    SimBlock &s = *gSim;
    if (s.running) {
        qel_errorMsg(0, "Nested %s commands are not permitted.", "BeginSim");
        skipRestOfCmd();
        return 1;
    }
    if (!s.haveTrueTree) {
        qel_errorMsg(0, "No model trees have been defined.\tYou must issue a %s command prior to entering the "
                        "simulation loop.",
                     "TrueTree");
        skipRestOfCmd();
        return 1;
    }
    if (checkLengths() != 0) {
        skipRestOfCmd();
        return 1;
    }
    // The simulated data hold a row for every taxon, named by its label, and
    // the true trees number their tips over every taxon; trees made while
    // taxa are deleted number theirs over the remaining ones only.
    if (const DataInfo *d = activeDataInfo(); d != nullptr && static_cast<uint32_t>(d->nActive) < d->ntax) {
        qel_errorMsg(0, "A simulation cannot begin while taxa are deleted.\tThe simulated data hold every taxon: "
                        "restore the deleted taxa before the simulation block, and delete taxa inside the "
                        "replicate loop to analyse fewer of them.");
        skipRestOfCmd();
        return 1;
    }
    simOpt.resultsFile[0] = '\0';
    gReplaceFile = gAppendToFile = 0;
    std::fill(simOpt.seed, simOpt.seed + 4, 0u);
    simOpt.discreteMode = 0;
    // Monitoring goes on as it is unless the command says otherwise.
    simOpt.monitor = monitoringOutput();
    if (getCmdParams(OptionSet::kBeginSim, ";", nullptr) <= 0)
        return 1;
    s.nreps = simOpt.nreps;
    s.discreteMode = simOpt.discreteMode != 0;
    s.monitor = simOpt.monitor != 0;
    if (prepareSimModels() != 0)
        return 1;

    initRNG(&s.dataRng, seedForRun(simOpt.seed));
    RNGSeed tseed = makeSeed(s.treeSeed[0], s.treeSeed[1], s.treeSeed[2], s.treeSeed[3]);
    if (tseed.w[0] == 0 && tseed.w[1] == 0 && tseed.w[2] == 0 && tseed.w[3] == 0)
        tseed = makeSeed1(randUniRaw(&s.dataRng) | 1u);
    initRNG(&s.treeRng, tseed);
    s.treeRngAtStart = s.treeRng;
    s.fixedTreeDrawn = false;

    std::vector<std::string> labels;
    if (captureLoopText(&labels) != 0)
        return 1;
    if (const int opened = openResultsFile(labels); opened != 0)
        return opened;
    if (simOpt.showModel)
        showSimModels();

    s.loop->input = InputStatus{};
    initDocumentInput(&s.loop->input, s.loop->text.data(), s.loop->text.size());
    s.loop->input.fileDepth = getActiveInput() ? getActiveInput()->fileDepth : 0;
    setActiveInput(&s.loop->input);
    s.running = true;
    s.finisher = std::make_unique<TerminationFinisher>(writeRowOnTermination, nullptr);
    s.rep = 0;
    s.lengthIndex = 0;
    s.tallyOrdinal = 0;
    s.stopAfterReplicate = false;
    // From here to the loop's end every interrupt is the loop's: whatever
    // window of a replicate it falls in (simulating, reading the data,
    // an analysis, Tally, writing the row), it asks whether to stop after
    // the replicate, and the replicate runs to its end.
    setInterruptOwner(noteSimInterrupt);
    s.progress = destroyProgressWindow(s.progress);
    s.progress = createProgressWindow(static_cast<uint32_t>(s.lengths.size() * static_cast<size_t>(s.nreps)), 0,
                                      "Simulation progress");
    setTimeMark(&s.timer);
    // From here the commands of the loop print as monitor says; the block's
    // end puts back the state the first loop found.
    if (!s.monitoringSaved) {
        s.savedMonitoring = monitoringOutput();
        s.monitoringSaved = true;
    }
    setOutputMonitoring(s.monitor);
    return simulateReplicate();
}

void noteSimInterrupt()
{
    SimBlock &s = *gSim;
    if (getAbortedStatus() == 0)
        return;
    ++s.interruptsTaken;
    // The answer holds for the rest of the replicate.
    if (!s.stopAfterReplicate) {
        const LoopOutputShown shown;
        if (confirmAbortRequestFor("Do you really want to stop the simulation (after the current replicate)?"))
            s.stopAfterReplicate = true;
    }
    if (s.stopAfterReplicate && !s.inLoopStep) {
        // A command of the replicate is running, perhaps for long: it stops
        // now, as a stop of that command would, with no second question,
        // and the loop with it; the finished rows stay in the file.
        setInterruptOwner(nullptr);
        setConfirmedAbort();
        return;
    }
    setAbortedStatus(0);
}

int setSimTimer()
{
    if (outsideBlock())
        return 1;
    if (readSemicolon() != 0)
        return 1;
    setTimeMark(&gSim->timer);
    return 0;
}

int endSimLoop()
{
    if (outsideBlock())
        return 1;
    if (readSemicolon() != 0)
        return 1;
    SimBlock &s = *gSim;
    if (!s.running)
        return qel_errorMsg(0, "The \"%s\" command is only valid inside a simulation loop started by '%s'.",
                            "EndSim", "BeginSim");
    const LoopStep step(s);
    if (finishReplicateRow() != 0)
        return 1;
    s.tallyOrdinal = 0;
    noteSimInterrupt();
    setProgressValue(s.progress, getProgressValue(s.progress) + 1);
    const int32_t finished = s.rep + 1;
    if (++s.rep == s.nreps) {
        if (writeMeansLine() != 0)
            return 1;
        s.rep = 0;
        ++s.lengthIndex;
        if (s.source != kTrueTreeMemory && !s.treeRepDifferent)
            s.treeRng = s.treeRngAtStart;
        if (s.lengthIndex == s.lengths.size()) {
            setInterruptOwner(nullptr);
            setOutputMonitoring(s.savedMonitoring);
            s.running = false;
            s.finisher.reset();
            s.rep = -1;
            s.progress = destroyProgressWindow(s.progress);
            setActiveInput(s.loop->input.prevInput);
            return 0;
        }
    }
    if (s.stopAfterReplicate) {
        // Stopped between replicates: the file keeps every whole replicate
        // and ends with a newline when the block closes.
        const LoopOutputShown shown;
        qel_printf("\nSimulation stopped by the user after replicate %d.\n", finished);
        s.stopShown = true;
        return 2;
    }
    return simulateReplicate();
}

// ---- Iteration blocks -------------------------------------------------------

namespace {

void showIterationBanner(uint32_t i, const char *name, const Set *subset, DataInfo *d)
{
    const std::string banner = fmt("+  Iteration block %u (%s)  +", i + 1, name);
    const std::string rule(banner.size(), '+');
    qel_printf("\n%s\n%s\n%s\n", rule.c_str(), banner.c_str(), rule.c_str());
    qel_printf("\nIncluded characters =\b");
    std::string list;
    uint32_t c = firstOneBit(subset->words, subset->nwords);
    while (c != kSetEnd) {
        uint32_t last = c;
        while (followingSetMember(subset, last) == last + 1)
            ++last;
        list += last == c ? fmt(" %u", c + 1) : fmt(" %u-%u", c + 1, last + 1);
        c = followingSetMember(subset, last);
    }
    qel_printf("%s\n", list.c_str());
    (void)d;
}

// Includes subset i only (restores the saved exclusions past the end).
// Returns false past the last subset.
bool enterIterationSubset(uint32_t i)
{
    DataInfo *d = activeDataInfo();
    Nexset *ptn = findMatchingCharPartition("simloci");
    SetPtn *sp = ptn ? getNexPtn(ptn) : nullptr;
    if (!d || !sp || i >= numPtnSubsets(sp)) {
        if (d && sp)
            includeCharSubsetOnly(d, sp, kSetEnd, gSim->savedExclusions);
        afterCharInclusionChange(d);
        return false;
    }
    const uint32_t n = includeCharSubsetOnly(d, sp, i, gSim->savedExclusions);
    afterCharInclusionChange(d);
    showIterationBanner(i, getPtnSubsetName(sp, i), getPtnSubset(sp, i), d);
    if (n == 0)
        qel_warningMsg(0, "No characters (sites) are included for subset %u (%s)", i + 1, getPtnSubsetName(sp, i));
    return true;
}

}  // namespace

int beginIterationBlock()
{
    if (outsideBlock())
        return 1;
    // The command takes BeginSim's options, so that a loop body can be
    // written with either opening command.
    if (getCmdParams(OptionSet::kBeginSim, ";", nullptr) <= 0)
        return 1;
    SimBlock &s = *gSim;
    DataInfo *d = activeDataInfo();
    if (s.iterating)
        return qel_errorMsg(0, "Nested %s commands are not permitted.", "BeginIterBlock");
    if (!d || findMatchingCharPartition("simloci") == nullptr)
        return 0;
    if (s.savedExclusions)
        deallocSet(s.savedExclusions);
    s.savedExclusions = createExcludedCharsetCopy(d);
    if (!s.savedExclusions)
        return 1;
    markInput(&s.iterMark);
    s.iterTallyOrdinal = s.tallyOrdinal;
    s.iterating = true;
    s.iterSubset = 0;
    if (!enterIterationSubset(0))
        s.iterating = false;
    return 0;
}

int endIterationBlock()
{
    if (outsideBlock())
        return 1;
    if (readSemicolon() != 0)
        return 1;
    SimBlock &s = *gSim;
    if (!s.iterating)
        return 0;
    if (enterIterationSubset(++s.iterSubset)) {
        rewindInput(&s.iterMark);
        s.tallyOrdinal = s.iterTallyOrdinal;
        return 0;
    }
    s.iterating = false;
    return 0;
}

// ---- Pure helpers -----------------------------------------------------------

size_t scanSimLoopText(std::string_view text, std::vector<std::string> *tallyLabels)
{
    static constexpr std::string_view kPunct = "()[]{}/\\,;:=*\"`+-<>";
    size_t i = 0;
    uint32_t wordInCmd = 0;
    bool inTally = false, inEndSim = false;
    uint32_t tallies = 0;
    auto lower = [](std::string w) {
        for (char &c : w)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return w;
    };
    while (i < text.size()) {
        const char c = text[i];
        if (std::isspace(static_cast<unsigned char>(c))) {
            ++i;
            continue;
        }
        if (c == '[') {
            int depth = 0;
            for (; i < text.size(); ++i) {
                depth += text[i] == '[' ? 1 : text[i] == ']' ? -1 : 0;
                if (depth == 0)
                    break;
            }
            if (i >= text.size())
                return std::string_view::npos;
            ++i;
            continue;
        }
        std::string word;
        if (c == '\'') {
            for (++i; i < text.size(); ++i) {
                if (text[i] == '\'') {
                    if (i + 1 < text.size() && text[i + 1] == '\'') {
                        word += '\'';
                        ++i;
                        continue;
                    }
                    break;
                }
                word += text[i];
            }
            if (i >= text.size())
                return std::string_view::npos;
            ++i;
        } else if (kPunct.find(c) != std::string_view::npos) {
            word = c;
            ++i;
        } else {
            while (i < text.size() && !std::isspace(static_cast<unsigned char>(text[i])) && text[i] != '[' &&
                   text[i] != '\'' && kPunct.find(text[i]) == std::string_view::npos)
                word += text[i++];
        }
        if (word == ";") {
            if (inTally && wordInCmd == 1 && tallyLabels)
                tallyLabels->push_back(std::to_string(tallies));
            if (inEndSim)
                return i;
            wordInCmd = 0;
            inTally = false;
            continue;
        }
        if (wordInCmd == 0) {
            const std::string name = lower(word);
            inTally = name == "tally";
            inEndSim = name == "endsim";
            tallies += inTally;
        } else if (wordInCmd == 1 && inTally && tallyLabels) {
            tallyLabels->push_back(word);
        }
        ++wordInCmd;
    }
    return std::string_view::npos;
}

TallyOutcome compareWithTrueSplits(const std::vector<std::vector<uint64_t>> &truth,
                                   const std::vector<std::vector<uint64_t>> &found)
{
    uint32_t matched = 0;
    bool wrong = false;
    for (const auto &split : found) {
        if (std::binary_search(truth.begin(), truth.end(), split))
            ++matched;
        else
            wrong = true;
    }
    // A true tree without internal edges is recovered by any tree without
    // wrong groups: 1 rather than 0/0.
    const double f = truth.empty() ? 1.0 : static_cast<double>(matched) / truth.size();
    return {f, !wrong};
}

std::string formatSimCpuTime(double seconds)
{
    if (!(seconds >= 0.0))
        seconds = 0.0;
    const long hours = static_cast<long>(seconds / 3600.0);
    seconds -= hours * 3600.0;
    const long minutes = static_cast<long>(seconds / 60.0);
    seconds -= minutes * 60.0;
    return fmt("%02ld:%02ld:%05.2f", hours, minutes, seconds);
}

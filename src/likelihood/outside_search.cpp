#include "likelihood/outside_search.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <unordered_map>
#include <unordered_set>

#include "cli/option_sets.h"
#include "cli/qel_cmdoptions.h"
#include "data/codons.h"
#include "data/data_util.h"
#include "data/export.h"
#include "data/nexsets.h"
#include "data/prepdata.h"
#include "data/vorn_data.h"
#include "likelihood/infocrit.h"
#include "likelihood/likelihood_settings.h"
#include "likelihood/models.h"
#include "likelihood/showmodel.h"
#include "parsimony/optimize.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_files.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_output.h"
#include "qel/qel_progress.h"
#include "qel/qel_random.h"
#include "qel/qel_setptn.h"
#include "qel/qel_sets.h"
#include "qel/qel_strings.h"
#include "qel/qel_subprocess.h"
#include "search/bootjack.h"
#include "search/scores.h"
#include "trees/contree.h"
#include "trees/drawtree.h"
#include "trees/foreign_trees.h"
#include "trees/splits.h"
#include "trees/treebuf.h"
#include "trees/treebuf_extras.h"
#include "trees/treeedit.h"
#include "trees/treeutil.h"

namespace {

constexpr const char *kTempPrefix = "vorn.";
constexpr const char *kOutputPrefix = "| ";
constexpr int32_t kMaxDrawnSeed = 2147483646;

// RAxML 8 comes as several builds and none of them is called "raxml"; while
// the option keeps that factory name these are tried, fastest first.
constexpr const char *kRaxmlBuilds[] = {"raxmlHPC-PTHREADS-AVX", "raxmlHPC-PTHREADS-SSE3", "raxmlHPC-PTHREADS",
                                        "raxmlHPC"};

// The RAxML 8 builds to try while raxmlBin keeps its factory name, which
// no Debian program has; AVX only where the processor has it.
std::vector<std::string> raxmlAlternatives()
{
    std::vector<std::string> names;
    if (std::strcmp(raxmlOpt.raxmlBin, "raxml") != 0)
        return names;
    for (const char *build : kRaxmlBuilds)
        if (std::strstr(build, "AVX") == nullptr || __builtin_cpu_supports("avx"))
            names.emplace_back(build);
    return names;
}

std::string lowered(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

// The likelihood criterion and prepared data for the run, given back at its end.
struct PreparedRun {
    uint32_t oldCriterion;
    int status;
    explicit PreparedRun(DataInfo *d) : oldCriterion(tempResetOptCrit(kCriterionLikelihood))
    {
        status = checkCharStatusUpdate(d);
        if (status == 0)
            status = prepareData(kPrepLikelihood, 0, false);
    }
    ~PreparedRun()
    {
        clearStatusText();
        restoreOriginalOptCrit(oldCriterion);
    }
};

std::vector<uint32_t> includedChars(const DataInfo *d)
{
    std::vector<uint32_t> chars;
    for (uint32_t c = 0; c < d->nchar; ++c)
        if (!(d->status[c] & kCharExcluded))
            chars.push_back(c);
    return chars;
}

std::vector<std::string> activeLabels(const DataInfo *d)
{
    std::vector<std::string> labels;
    for (int32_t t = 0; t < d->nActive; ++t)
        labels.emplace_back(getTaxLabel(d, static_cast<uint32_t>(t)));
    return labels;
}

std::string nexusWord(const std::string &label)
{
    std::vector<char> buf(2 * label.size() + 8);
    return nexusizeString(label.c_str(), buf.data(), buf.size());
}

std::string format(const char *fmt, double x)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, fmt, x);
    return buf;
}

std::array<double, 4> modelFreqs(const Model *m)
{
    std::array<double, 4> f{0.25, 0.25, 0.25, 0.25};
    if (modelHasEqualFreqs(m))
        return f;
    const bool user = !m->stateFreqs.empty() && m->stateFreqs[0] >= 0.0;
    for (size_t i = 0; i < 4; ++i)
        f[i] = user ? m->stateFreqs[i] : m->freqs[i];
    return f;
}

bool freqsEstimated(const Model *m) { return !m->stateFreqs.empty() && m->stateFreqs[0] == kFreqCodeEstimate; }
bool ratesEstimated(const Model *m) { return !m->rates.empty() && m->rates[0] == kEstimate; }

// The subsets of the partition, as included-character numbers.
std::vector<std::pair<std::string, std::vector<uint32_t>>> partitionSubsets(const DataInfo *d, const Nexset *ptnSet)
{
    std::vector<std::pair<std::string, std::vector<uint32_t>>> subsets;
    const SetPtn *ptn = getNexPtn(ptnSet);
    if (ptn == nullptr)
        return subsets;
    std::vector<uint32_t> number(d->nchar, 0);
    uint32_t k = 0;
    for (uint32_t c = 0; c < d->nchar; ++c)
        number[c] = (d->status[c] & kCharExcluded) ? 0 : ++k;
    for (uint32_t i = 0; i < numPtnSubsets(ptn); ++i) {
        const Set *s = getPtnSubset(ptn, i);
        if (s == nullptr)
            continue;
        std::vector<uint32_t> members;
        for (uint32_t c = 0; c < d->nchar; ++c)
            if (number[c] != 0 && isSetMember(s, c))
                members.push_back(number[c]);
        if (!members.empty())
            subsets.emplace_back(getPtnSubsetName(ptn, i), std::move(members));
    }
    return subsets;
}

int writeTextFile(const std::string &path, const std::string &text)
{
    std::ofstream out(path);
    out << text;
    out.close();
    if (!out)
        return qel_errorMsg(0, "Could not write file \"%s\".", path.c_str());
    return 0;
}

// The majority-rule consensus of the trees just read, stored in place of
// them with its support values and shown as a bootstrap consensus is.
int showBootstrapConsensus(DataInfo *d, TreeBuffer *buf, uint32_t ntrees)
{
    std::vector<uint32_t> trees(ntrees);
    for (uint32_t k = 0; k < ntrees; ++k)
        trees[k] = k + 1;
    TreeHandle work(createTree(true));
    std::unique_ptr<SplitsList, decltype(&destroySplitsList)> list(createSplitsList(buf->ntax, buf->ntax, true),
                                                                   destroySplitsList);
    if (!work || !list)
        return 1;
    SplitsTable *t = nullptr;
    double total = ntrees;
    int status = majRuleConsensus(kConMajRule, false, buf, trees, d, work.get(), &t, &total);
    std::unique_ptr<SplitsTable, decltype(&destroySplitsTable)> table(t, destroySplitsTable);
    if (status == 0)
        status = selectConsensusSplits(table.get(), kConMajRule, false, 50, list.get(), total);
    if (status != 0)
        return status;
    emptyTreeBuffer(buf, true);
    return storeAndShowBootJackConsensus(
        d, table.get(), list.get(), false, false,
        "Bootstrap 50% majority-rule consensus tree (" + std::to_string(ntrees) + " bootstrap trees)", total);
}

int showAndStoreSearchResults(DataInfo *d, const ScratchDirectory &dir, bool raxml, bool bootstrap, bool showTree,
                              const std::vector<std::string> &labels)
{
    const char *program = raxml ? "RAxML" : "Garli";
    const char *name = raxml ? (bootstrap ? "RAxML_bootstrap.vorn" : "RAxML_bestTree.vorn")
                             : (bootstrap ? "vorn.boot.tre" : "vorn.best.tre");
    const std::string path = dir.file(name);
    if (!fileExists(path.c_str()))
        return qel_errorMsg(0, "%s wrote no tree file \"%s\"; no trees were stored.", program, name);
    setStatusText(bootstrap ? "Reading bootstrap trees from %s..." : "Reading tree from %s...", name);
    // RAxML knows the taxa by the words written to its data file, GARLI by
    // their NEXUS words; both are matched case-insensitively.
    std::unordered_map<std::string, int32_t> index;
    for (size_t t = 0; t < labels.size(); ++t) {
        index.emplace(lowered(labels[t]), static_cast<int32_t>(t));
        std::string blanks = labels[t];
        std::replace(blanks.begin(), blanks.end(), ' ', '_');
        index.emplace(lowered(blanks), static_cast<int32_t>(t));
    }
    const ForeignTaxonFxn taxonOf = [&](const std::string &word, bool quoted) {
        std::string w = word;
        if (!quoted)
            std::replace(w.begin(), w.end(), '_', ' ');
        auto it = index.find(lowered(w));
        if (it == index.end())
            it = index.find(lowered(word));
        return it == index.end() ? -1 : it->second;
    };
    // The trees are all read before any replaces those in memory, so a
    // file that cannot be read leaves the user's trees alone.
    std::vector<TreeHandle> trees;
    const ForeignTreeStoreFxn keep = [&](Tree *tree) {
        TreeHandle copy(createTree(true));
        if (!copy || copyTree(tree, copy.get()) != 0)
            return 1;
        trees.push_back(std::move(copy));
        return 0;
    };
    uint32_t read = 0;
    int status = readForeignTrees(path, program, taxonOf, keep, &read);
    clearStatusText();
    if (status != 0)
        return status;
    if (read == 0)
        return qel_errorMsg(0, "The file \"%s\" from %s holds no tree.", name, program);
    TreeBuffer *buf = getMainTreeBuffer(d);
    clearTrees(false, true);
    setRootededness(buf, false);
    for (TreeHandle &tree : trees) {
        const uint32_t k = putTree(tree.get(), buf, false);
        if (k == 0 || isPutTreeFull(k))
            return qel_errorMsg(0, "The trees from %s could not all be stored in memory (maxtrees).", program);
        if (!bootstrap && storeBranchLengths(buf, tree.get(), k - 1, true, 8) != 0)
            return 1;
    }
    setTreesAreSaved(false);
    if (bootstrap)
        return showBootstrapConsensus(d, buf, read);
    setHaveUserBranchLengths(true);
    if (!showTree) {
        qel_printf("\nTree from %s stored in tree buffer.\n", program);
        return 0;
    }
    TreeHandle tree(createTree(true));
    if (!tree || getTree(buf, 1, tree.get()) != 0)
        return 1;
    qel_printf("\nTree from %s (also stored in tree buffer):\n", program);
    if ((status = optimizeAndRootTree(tree.get(), d, 1, false, true)) != 0)
        return status;
    drawTree(tree.get(), kDrawCladogram, 0, false, d);
    return getAbortedStatus() ? 2 : 0;
}

// Runs the command line; 0, 1 after a failure report, 2 when stopped.
int runOutsideProgram(const std::string &commandLine, const char *program, bool showOutput)
{
    uint32_t exitCode = 0;
    const int rc = runCommandInNewShell(commandLine.c_str(), program, false, showOutput, kOutputPrefix, &exitCode);
    if (rc == kRunAborted)
        return 2;
    if (rc != kRunDone)
        return 1;
    if (exitCode != 0) {
        qel_printf("\n%s search failed, return code = %d\n", program, static_cast<int>(exitCode));
        return 1;
    }
    return 0;
}

int drawSeed(int32_t given)
{
    if (given > 0)
        return given;
    uint32_t w = 0;
    makeInitialSeedValue(&w, kMaxDrawnSeed);
    return static_cast<int>(w);
}

}  // namespace

std::vector<std::string> outsideProgramLabels(const std::vector<std::string> &labels)
{
    std::vector<std::string> out;
    std::unordered_set<std::string> taken;
    for (const std::string &label : labels) {
        std::string w = label;
        for (char &c : w)
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '.' && c != '-')
                c = '_';
        if (w.empty())
            w = "taxon";
        std::string unique = w;
        for (int k = 2; taken.count(lowered(unique)) != 0; ++k)
            unique = w + "_" + std::to_string(k);
        taken.insert(lowered(unique));
        out.push_back(unique);
    }
    return out;
}

std::string characterRanges(const std::vector<uint32_t> &numbers, const char *separator)
{
    std::string out;
    for (size_t i = 0; i < numbers.size();) {
        size_t j = i;
        while (j + 1 < numbers.size() && numbers[j + 1] == numbers[j] + 1)
            ++j;
        if (!out.empty())
            out += separator;
        out += std::to_string(numbers[i]);
        if (j > i)
            out += "-" + std::to_string(numbers[j]);
        i = j + 1;
    }
    return out;
}

std::string writeChangeToTempDirString(const std::string &command, const std::string &directory)
{
    return "cd " + shellQuote(directory.c_str()) + " && " + command;
}

int writeDataForRaxmlOrGarli(const DataInfo *d, const std::string &path, bool nexus,
                             const std::vector<std::string> &labels)
{
    const std::vector<uint32_t> chars = includedChars(d);
    std::vector<uint32_t> symbol(numStateCodes(d) + 1, 0);
    initStateCodeMap(d, symbol.data() + 1);
    auto cell = [&](int32_t t, uint32_t c) {
        const uint8_t x = getXijRaw(d, t, c);
        if (x == kGapCode)
            return '-';
        if (x == d->nstates || x + 1u >= symbol.size() || symbol[x + 1u] == 0)
            return '?';
        return static_cast<char>(symbol[x + 1u]);
    };
    std::string text;
    size_t width = 0;
    std::vector<std::string> words;
    for (const std::string &l : labels) {
        words.push_back(nexus ? nexusWord(l) : l);
        width = std::max(width, words.back().size());
    }
    char line[64];
    if (nexus) {
        std::snprintf(line, sizeof line, "dimensions ntax=%d nchar=%u;\n", d->nActive,
                      static_cast<uint32_t>(chars.size()));
        text = std::string("#nexus\n\nbegin data;\n") + line + "format datatype=dna missing=? gap=-;\nmatrix\n";
    } else {
        std::snprintf(line, sizeof line, "%d %u\n", d->nActive, static_cast<uint32_t>(chars.size()));
        text = line;
    }
    for (int32_t t = 0; t < d->nActive; ++t) {
        const std::string &w = words[static_cast<size_t>(t)];
        text += nexus ? "  " : "";
        text += w + std::string(width + (nexus ? 1 : 4) - w.size(), ' ');
        for (uint32_t c : chars)
            text += cell(t, c);
        text += '\n';
    }
    if (nexus) {
        text += "  ;\nend;\n";
        const Nexset *mp = ml.modelPartition;
        if (mp == nullptr) {
            text += "\nbegin garli;\n ";
            text += writeModelToGarliBlock(getModel0());
            text += "end;\n";
        } else {
            const auto subsets = partitionSubsets(d, mp);
            text += "\nbegin sets;\n  charpartition " + nexusWord(getNexsetName(mp)) + " =\n";
            for (size_t i = 0; i < subsets.size(); ++i) {
                text += "    " + nexusWord(subsets[i].first) + ":" + characterRanges(subsets[i].second, " ") + (i + 1 < subsets.size() ? ",\n" : ";\n");
            }
            text += "end;\n\nbegin garli;\n";
            if (usingModelRates() && !estimatingModelRates()) {
                text += "  S";
                for (const Model *m = firstActiveModel(); m != nullptr; m = nextActiveModel(m))
                    text += format(" %g", usingEqualModelRates() ? 1.0 : m->modelRateSetting);
                text += ";\n";
            }
            uint32_t k = 0;
            for (const Model *m = firstActiveModel(); m != nullptr; m = nextActiveModel(m))
                text += "  M" + std::to_string(k++) + writeModelToGarliBlock(m);
            text += "end;\n";
        }
    }
    return writeTextFile(path, text);
}

std::string writeModelToGarliBlock(const Model *m)
{
    std::string s;
    const std::array<double, 4> f = modelFreqs(m);
    if (m->substClass == kSubstTwoRates && m->tratio != kEstimate) {
        const double kappa = convertRtoK(f.data(), m->F84 != 0, m->tratio);
        s += format(" r 1 %g 1 1", kappa) + format(" %g 1", kappa);
    } else if (m->substClass == kSubstSixRates && !ratesEstimated(m) && m->rates.size() >= 5) {
        s += " r";
        for (size_t i = 0; i < 5; ++i)
            s += format(" %g", m->rates[i]);
    }
    if (!garliOpt.codonModel)
        s += format(" b %g", f[0]) + format(" %g", f[1]) + format(" %g", f[2]) + format(" %g", f[3]);
    if (m->gammaShape > 0.0)
        s += format(" a %g\n", m->gammaShape);
    if (m->pinv > 0.0)
        s += format(" p %g\n", m->pinv);
    if (!s.empty())
        s += "\t\t;\n";
    return s;
}

int writeGarliModel(const Model *m, std::string &out)
{
    if (m->type != kModelNucleotide)
        return qel_errorMsg(0, "Non-DNA models are not yet supported in the Garli interface (but they will be "
                               "eventually).");
    switch (m->substClass) {
    case kSubstOneRate:
        out += "ratematrix = 1rate\n";
        break;
    case kSubstTwoRates:
        out += m->tratio == kEstimate ? "ratematrix = 2rate\n" : "ratematrix = fixed\n";
        break;
    default:
        if (!ratesEstimated(m)) {
            out += "ratematrix = fixed\n";
        } else if (m->pooled) {
            char classes[64];
            std::snprintf(classes, sizeof classes, "(%d %d %d %d %d %d)", m->rateClass[0], m->rateClass[1],
                          m->rateClass[2], m->rateClass[3], m->rateClass[4], m->rateClass[5]);
            out += std::string("ratematrix = ") + classes + "\n";
        } else {
            out += "ratematrix = 6rate\n";
        }
    }
    if (!freqsEstimated(m))
        out += "statefrequencies = fixed\n";
    if (m->gammaShape == 0.0) {
        out += "ratehetmodel = none\nnumratecats = 1\n";
    } else {
        out += m->gammaShape == kEstimate ? "ratehetmodel = gamma\n" : "ratehetmodel = gammafixed\n";
        out += "numratecats = " + std::to_string(ml.ncat) + "\n";
    }
    out += m->pinv == 0.0 ? "invariantsites = none\n"
                          : (m->pinv == kEstimate ? "invariantsites = estimate\n" : "invariantsites = fixed\n");
    return 0;
}

int raxmlModelOptions(const Model *m, int32_t nst, std::string &options)
{
    if (m->type != kModelNucleotide)
        return qel_errorMsg(0, "Non-DNA models are not yet supported in the RAxML interface (but they will be "
                               "eventually).");
    const bool gamma = m->gammaShape != 0.0, pinv = m->pinv != 0.0;
    options += gamma ? " -m GTRGAMMA" : " -m GTRCAT";
    if (pinv && gamma)
        options += "I";
    if (freqsEstimated(m))
        options += "X";
    if (gamma && m->gammaShape != kEstimate)
        qel_printf("\n----- Note: \bCurrent model settings for VORN are for a fixed gamma shape parameter, but RAxML "
                   "only supports ML estimation of this parameter.  Be sure to specify shape=estimate in VORN to "
                   "compare likelihoods.\n");
    if (pinv && m->pinv != kEstimate)
        qel_printf("\n----- Note: \bCurrent model settings for VORN are for a fixed proportion of invariable sites, "
                   "but RAxML only supports ML estimation of this parameter.  Be sure to specify pinvar=estimate in "
                   "VORN to compare likelihoods.\n");
    if (!gamma && !pinv) {
        qel_printf("\n----- Note: \bRAxML (at least up to version 8.2.8) insists on doing a final gamma optimization, "
                   "even though gamma-distributed rates are not in effect.  The option -V is given to RAxML so "
                   "that the final tree is scored without rate heterogeneity.\n");
        options += " -V";
    }
    const bool equalFreqs = modelHasEqualFreqs(m);
    if (m->substClass == kSubstOneRate) {
        if (!equalFreqs)
            return qel_errorMsg(0, "RAxML does not support the F81 model (1 substitution type and unequal base "
                                   "frequencies.\tEither request equal base frequencies (JC69) or 2 substitution "
                                   "types (HKY85).");
        options += " --JC69";
    } else if (nst == 1 || m->substClass == kSubstTwoRates) {
        options += equalFreqs ? " --K80" : " --HKY85";
        if (m->tratio != kEstimate)
            qel_printf("\n----- Note: \bCurrent model settings for VORN are for a fixed transition/transversion "
                       "rate, but RAxML only supports ML estimation of the rate.  Be sure to specify "
                       "tratio=estimate in VORN to compare likelihoods.\n");
    } else if (ratesEstimated(m) && m->pooled) {
        qel_printf("\n----- Note: \bRAxML does not support \"custom\" GTR models.  Full 6ST GTR model will be "
                   "used.\n");
    } else if (!ratesEstimated(m)) {
        qel_printf("\n----- Note: \bCurrent model settings for VORN are for a fixed 6ST rate matrix, but RAxML only "
                   "supports ML estimation of the rate matrix parameters.  Be sure to specify rmatrix=estimate in "
                   "VORN to compare likelihoods.\n");
    }
    return 0;
}

int doRaxmlCmd()
{
    DataInfo *d = activeDataInfo();
    if (d == nullptr)
        return 1;
    raxmlOpt.pseed = raxmlOpt.bseed = 0;
    raxmlOpt.optPrecision = -1.0;
    raxmlOpt.otherOptions[0] = '\0';
    if (setCmdParamVals(OptionSet::kRAxMLSearch) != 0)
        return 1;
    if (raxmlOpt.cpartition != nullptr && ml.modelPartition != nullptr)
        return qel_errorMsg(0, "You specify both a character partition (\"cpartition\") when a model partition is "
                               "also in effect.\tEither do \"lset mpartition=none;\" or do not specify "
                               "'cpartition' on the RAxML command.");
    PreparedRun prep(d);
    if (prep.status != 0)
        return 1;
    const Model *m = getModel0();
    if (m->type != kModelNucleotide || !isDataTypeNucleotide(d->dataType))
        return qel_errorMsg(0, "Non-DNA models are not yet supported in the RAxML interface (but they will be "
                               "eventually).");
    const std::string program = resolveProgramCommand(raxmlOpt.raxmlBin, raxmlAlternatives(), "RAxMLSearch", "raxmlBin");
    if (program.empty() || !verifyReplaceTrees())
        return 1;

    qel_printf("\nRAxML search requested.\n\nCurrent model settings =\n");
    showModel(m, false, true, false, nullptr);
    std::string modelOptions;
    if (raxmlModelOptions(m, ml.NST, modelOptions) != 0)
        return 1;

    ScratchDirectory dir(kTempPrefix);
    if (!dir.made())
        return 1;
    dir.keep(raxmlOpt.keepTempFiles != 0);
    const std::vector<std::string> labels = outsideProgramLabels(activeLabels(d));
    const std::string data = dir.file("vorndata.txt");
    if (writeDataForRaxmlOrGarli(d, data, false, labels) != 0)
        return 1;
    std::string command = program + " -s " + data + modelOptions;
    if (const Nexset *ptn = raxmlOpt.cpartition ? raxmlOpt.cpartition : ml.modelPartition) {
        std::string text;
        for (const auto &[name, members] : partitionSubsets(d, ptn))
            text += "DNA, " + name + " = " + characterRanges(members) + "\n";
        if (writeTextFile(dir.file("partition.txt"), text) != 0)
            return 1;
        command += " -q " + dir.file("partition.txt");
    }
    command += " -T 2 -n vorn";
    command += raxmlOpt.algorithm ? " -f o" : " -f d";
    if (raxmlOpt.optPrecision > 0.0) {
        std::string e = format("%.12f", raxmlOpt.optPrecision);
        e.erase(e.find_last_not_of('0') + 1);
        if (e.back() == '.')
            e.pop_back();
        command += " -e " + e;
    }
    char seeds[96];
    if (raxmlOpt.bootstrap) {
        std::snprintf(seeds, sizeof seeds, " -b %d -N %u", drawSeed(raxmlOpt.bseed),
                      static_cast<uint32_t>(raxmlOpt.nBootReps));
        command += seeds;
    } else {
        command += " -N " + std::to_string(raxmlOpt.nRuns);
    }
    command += " -p " + std::to_string(drawSeed(raxmlOpt.pseed));
    if (raxmlOpt.otherOptions[0] != '\0')
        command += std::string(" ") + raxmlOpt.otherOptions;
    const std::string line = writeChangeToTempDirString(command, dir.path());

    qel_printf("\nStarting RAxML with command line: %s\n", line.c_str());
    qel_printf("\nBeginning RAxML tree search...\n\n");
    setStatusText("RAxML search is in progress...");
    int status = runOutsideProgram(line, "RAxML", raxmlOpt.showOutput != 0);
    clearStatusText();
    if (status == 0)
        status = showAndStoreSearchResults(d, dir, true, raxmlOpt.bootstrap != 0, raxmlOpt.showTree != 0, labels);
    if (raxmlOpt.keepTempFiles)
        qel_printf("\nTemporary files kept in %s\n", dir.path().c_str());
    return status;
}

int doGarliCmd()
{
    DataInfo *d = activeDataInfo();
    if (d == nullptr)
        return 1;
    if (setCmdParamVals(OptionSet::kGarliSearch) != 0)
        return 1;
    PreparedRun prep(d);
    if (prep.status != 0)
        return 1;
    const GarliSettings &g = garliOpt;
    const char *datatype = nullptr;
    if (isDataTypeNucleotide(d->dataType))
        datatype = "nucleotide";
    else if (d->dataType == kDataTypeProtein)
        datatype = "aminoacid";
    else
        return qel_errorMsg(0, "Current data type is not supported in the Garli interface.");
    // A codon model reads the included characters as whole codons, so they
    // must make whole codons, as CodonUsage requires.
    if (int32_t codons = 0; g.codonModel && !canDoCodonModels(d, true, &codons))
        return 1;
    std::string models;
    if (ml.modelPartition == nullptr) {
        if (writeGarliModel(getModel0(), models) != 0)
            return 1;
    } else {
        uint32_t k = 1;
        for (const Model *m = firstActiveModel(); m != nullptr; m = nextActiveModel(m)) {
            models += "\n[model" + std::to_string(k++) + "]\n";
            if (writeGarliModel(m, models) != 0)
                return 1;
        }
    }
    const std::string program = resolveProgramCommand(g.garliBin, {}, "GarliSearch", "garliBin");
    if (program.empty() || !verifyReplaceTrees())
        return 1;

    ScratchDirectory dir(kTempPrefix);
    if (!dir.made())
        return 1;
    dir.keep(g.keepTempFiles != 0);
    const std::vector<std::string> labels = activeLabels(d);
    if (writeDataForRaxmlOrGarli(d, dir.file("vorndata.nex"), true, labels) != 0)
        return 1;
    const int seed = drawSeed(g.seed);

    std::string outgroup;
    {
        std::vector<uint32_t> members;
        for (int32_t t = 0; t < d->nActive; ++t)
            if (isOutgroupTip(static_cast<uint32_t>(t), d))
                members.push_back(static_cast<uint32_t>(t) + 1);
        outgroup = members.empty() ? "1" : characterRanges(members, " ");
    }
    auto u = [](int32_t v) { return std::to_string(static_cast<uint32_t>(v)); };
    auto r = [](double v) { return format("%g", v); };
    std::string conf = "[general]\n";
    auto key = [&conf](const char *k, const std::string &v) { conf += std::string(k) + " = " + v + "\n"; };
    key("datafname", "vorndata.nex");
    key("constraintfile", "none");
    key("streefname", "stepwise");
    key("attachmentspertaxon", u(g.attachPerTaxon));
    key("ofprefix", "vorn");
    key("randseed", u(seed));
    key("availablememory", u(g.memory));
    key("logevery", u(g.logevery));
    key("saveevery", u(g.saveevery));
    key("refinestart", u(g.refinestart));
    key("outputeachbettertopology", u(g.outputBetter));
    key("outputcurrentbesttopology", u(g.outputBest));
    key("enforcetermconditions", u(g.enforceTerm));
    key("genthreshfortopoterm", u(g.threshTopoTerm));
    key("scorethreshforterm", r(g.scorethresh));
    key("significanttopochange", r(g.sigTopoChange));
    key("outputphyliptree", "1");
    key("outputmostlyuselessfiles", u(g.outputUselFiles));
    key("writecheckpoints", u(g.checkpoint));
    key("restart", u(g.restart));
    key("outgroup", outgroup);
    key("resampleproportion", r(g.resampleProp));
    key("inferinternalstateprobs", "0");
    key("outputsitelikelihoods", u(g.siteLikes));
    key("optimizeinputonly", "0");
    key("collapsebranches", u(g.collapse));
    key("searchreps", std::to_string(g.nSearchReps));
    key("bootstrapreps", std::to_string(g.bootstrap ? g.nBootReps : 0));
    key("linkmodels", u(g.linkModels));
    key("subsetspecificrates", std::to_string(usingModelRates() ? 1 : 0));
    if (g.codonModel && isDataTypeNucleotide(d->dataType)) {
        static constexpr const char *kCodes[] = {"standard", "vertmito", "invertmito"};
        static constexpr const char *kFreqs[] = {"equal", "empirical", "f1x4", "f3x4"};
        key("datatype", "codon");
        key("geneticcode", kCodes[std::clamp(g.genCode, 0, 2)]);
        key("statefrequencies", kFreqs[std::clamp(g.stateFreq, 0, 3)]);
        key("ratehetmodel", g.nOmegaCateg > 1 ? "nonsynonymous" : "none");
        key("numratecats", u(std::max(g.nOmegaCateg, 1)));
        key("invariantsites", "none");
    } else {
        key("datatype", datatype);
    }
    conf += models;
    conf += "\n[master]\n";
    key("nindivs", u(g.nIndivs));
    key("holdover", u(g.holdover));
    key("selectionintensity", r(g.intensity));
    key("holdoverpenalty", u(g.penHoldover));
    key("stopgen", u(g.stopGen));
    key("stoptime", u(g.stopTime));
    key("startoptprec", r(g.startOptPrec));
    key("minoptprec", r(g.minOptPrec));
    key("numberofprecreductions", u(g.nPrecReduct));
    key("treerejectionthreshold", r(g.treeRejThresh));
    key("topoweight", r(g.topoWeight));
    key("modweight", r(g.modWeight));
    key("brlenweight", r(g.brlenweight));
    key("randnniweight", r(g.randNniWeight));
    key("randsprweight", r(g.randSprWeight));
    key("limsprweight", r(g.limSprWeight));
    key("intervallength", u(g.intervalLen));
    key("intervalstostore", u(g.storeIntervals));
    key("limsprrange", u(g.limSprRange));
    key("meanbrlenmuts", u(g.meanBrlenMuts));
    key("gammashapebrlen", r(g.gshapeBrlen));
    key("gammashapemodel", r(g.gshapeModel));
    key("uniqueswapbias", r(g.uniqSwapBias));
    key("distanceswapbias", r(g.distSwapBias));
    constexpr const char *kGarliConf = "vorn_garli.conf";
    if (writeTextFile(dir.file(kGarliConf), conf) != 0)
        return 1;

    // The command changes into the temporary directory first, so the
    // configuration is named there; GARLI writes its results beside it.
    const std::string line = writeChangeToTempDirString(program + " -b " + kGarliConf, dir.path());
    qel_printf("\nStarting Garli with command line: %s\n", line.c_str());
    qel_printf("\nBeginning Garli tree search...\n\n");
    setStatusText("Garli search is in progress...");
    int status = runOutsideProgram(line, "Garli", g.showOutput != 0);
    clearStatusText();
    if (status == 0)
        status = showAndStoreSearchResults(d, dir, false, g.bootstrap != 0, g.showTree != 0, labels);
    if (g.keepTempFiles)
        qel_printf("\nTemporary files kept in %s\n", dir.path().c_str());
    return status;
}

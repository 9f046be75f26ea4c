#include "trees/contree.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>

#include "cli/qel_cmdline.h"
#include "cli/qel_cmdoptions.h"
#include "cli/shell_settings.h"
#include "data/exchange.h"
#include "data/vorn_data.h"
#include "data/vorn_util.h"
#include "qel/qel_outtext.h"
#include "qel/qel_auxout.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_multithread.h"
#include "qel/qel_output.h"
#include "qel/qel_progress.h"
#include "trees/drawtree.h"
#include "trees/roottree.h"
#include "trees/savetree.h"
#include "trees/tree_settings.h"
#include "trees/treebuf.h"
#include "trees/treebuf_extras.h"
#include "trees/treeedit.h"
#include "trees/treelist.h"

namespace {

constexpr const char *kDefaultConsensusFile = "consensus.tre";

uint32_t activeTaxa(const DataInfo *d)
{
    if (!d)
        return 0;
    return d->nActive > 0 ? static_cast<uint32_t>(d->nActive) : d->ntax;
}

const char *treeWord(uint32_t n) { return n == 1 ? "tree" : "trees"; }

// ln (2k - 3)!!, the number of rooted binary trees of k taxa (0 below 3).
double lnRootedTrees(uint32_t k)
{
    double sum = 0.0;
    for (uint32_t j = 3; j + 1 < 2 * k; j += 2)
        sum += std::log(static_cast<double>(j));
    return sum;
}

bool needsRootingByMethod(bool rooted)
{
    return !rooted && (rooting.rootMethod == kRootLundberg || rooting.rootMethod == kRootMidpoint);
}

bool useUserLengthsForRooting()
{
    const TreeDataHooks &h = treeDataHooks();
    return rooting.userBrLens || (h.mustUseUserBranchLens && h.mustUseUserBranchLens());
}

}  // namespace

bool consensusHasEdgeValues(uint32_t kind)
{
    return kind == 2 || kind == 3 || kind == 5 || kind == 6 || kind == 7 || kind == 11 || kind == 13;
}

Tree *createConsensusTree()
{
    Tree *tree = createTree(true);
    if (tree && areTreesRooted(getMainTreeBuffer(nullptr)))
        tree->flags |= kTreeRootedAtAnc;
    return tree;
}

// ---------------------------------------------------------------------------
// Gathering and selecting splits

int majRuleConsensus(uint32_t kind, bool useTreeWts, TreeBuffer *buf, const std::vector<uint32_t> &trees,
                     DataInfo *data, Tree *work, SplitsTable **tableOut, double *totalOut)
{
    *tableOut = nullptr;
    const bool weighted = (kind == kConMajRule || kind == kConPuzzle || kind == kConSumTrees) && useTreeWts &&
                          haveNonunitTreeWeights(buf);
    const double *wts = weighted ? getTreeWtBuf(buf) : nullptr;
    const uint32_t ntax = buf->ntax;
    const uint32_t n = static_cast<uint32_t>(trees.size());
    const bool strict = kind == kConStrict;
    const uint32_t capacity = strict ? ntax : std::min(n, 5u) * ntax;
    uint32_t flags = strict ? kSplitsCounts : (weighted ? kSplitsWeights : kSplitsCounts) | kSplitsSupport;
    std::unique_ptr<SplitsTable, decltype(&destroySplitsTable)> table(createSplitsTable(ntax, capacity, flags),
                                                                      destroySplitsTable);
    if (!table)
        return 1;
    const bool rooted = areTreesRooted(buf);
    const bool rootEach = needsRootingByMethod(rooted);
    // Trees kept as stored give their splits straight from the buffer; the
    // working tree is built only to root a tree or to name what is missing.
    const bool fromStore = !rootEach && work->tipBound == ntax;
    double total = 0.0;
    for (uint32_t k = 0; k < n; k++) {
        if (getAbortedStatus())
            return 2;
        const uint32_t number = trees[k];
        const double w = wts ? wts[number - 1] : 1.0;
        const bool add = !strict || k == 0;
        if (fromStore) {
            uint32_t tips = 0;
            if (updateSplitsTableFromStoredTree(table.get(), buf, number, number, add, w, &tips) != 0)
                return 1;
            if (tips == ntax) {
                total += w;
                continue;
            }
        }
        if (getTree(buf, number, work) != 0)
            return 1;
        if (verifyFullLeafSet(work, number, "; cannot compute consensus") != 0)
            return 1;
        if (rootEach) {
            if (int rc = rootTree(work, data, number, false, false, useUserLengthsForRooting()); rc != 0)
                return rc;
        }
        total += w;
        if (updateSplitsTableFromTree(table.get(), work, number, add, w) != 0)
            return 1;
    }
    *totalOut = weighted ? total : static_cast<double>(n);
    *tableOut = table.release();
    return 0;
}

int selectConsensusSplits(SplitsTable *table, uint32_t kind, bool LE50, uint32_t percent, SplitsList *list,
                          double total)
{
    const int32_t abortOnEntry = getAbortedStatus();
    clearSplitsList(list);
    table->support.clear();
    try {
        table->order = sortSplitsTableByFreq(table);
    } catch (const std::bad_alloc &) {
        return 1;
    }
    const bool weighted = !table->weights.empty();
    const uint32_t count = numSplitsInTable(table);
    const uint32_t words = table->words;
    auto freq = [&](uint32_t i) { return weighted ? table->weights[i] : static_cast<double>(table->counts[i]); };
    const uint32_t ntrees = static_cast<uint32_t>(std::llround(total));
    uint32_t countCutoff = 0;
    double weightCutoff = 0.0;
    if (weighted) {
        // The margin absorbs rounding in the summed weights. It scales with the
        // total: a fixed 1e-10 vanishes below one unit in the last place once the
        // total nears 1e7, and a group holding exactly half would then pass.
        const double margin = 1e-10 * std::max(1.0, total);
        weightCutoff = percent == 50 || LE50 ? total * 0.5 + margin : total / 100.0 * percent - margin;
    } else if (kind == kConStrict || kind == kConSemistrict) {
        countCutoff = ntrees;
    } else if (percent == 50) {
        countCutoff = ntrees * 50 / 100 + 1;
    } else {
        countCutoff = static_cast<uint32_t>((static_cast<uint64_t>(ntrees) * percent + 99) / 100);
    }
    auto passes = [&](uint32_t i) { return weighted ? table->weights[i] >= weightCutoff : table->counts[i] >= countCutoff; };
    auto compatibleWithSelected = [&](const uint64_t *s) {
        for (uint32_t j = 0; j < list->count; j++)
            if (!areSplitsCompatible(s, getSplitFromList(list, j), words))
                return false;
        return true;
    };
    const bool edgeValues = consensusHasEdgeValues(kind);
    bool failedOnce = false;
    for (uint32_t r = 0; r < count; r++) {
        const uint32_t i = table->order[r];
        const uint64_t *s = getSplitFromTable(table, i);
        bool take;
        if (kind == kConStrict) {
            take = table->counts[i] == ntrees;
        } else if (kind == kConSemistrict) {
            take = table->counts[i] == ntrees;
            if (!take) {
                take = true;
                for (uint32_t j = 0; j < count && take; j++)
                    take = j == i || areSplitsCompatible(s, getSplitFromTable(table, j), words);
            }
        } else if (!failedOnce && passes(i) && compatibleWithSelected(s)) {
            // A passing group conflicting with one already kept can only come
            // from a total that understates the table's weights; keeping both
            // would leave no tree to build.
            take = true;
        } else {
            failedOnce = true;
            if (!LE50)
                break;
            take = compatibleWithSelected(s);
        }
        if (take) {
            if (appendSplitToList(list, s) != 0)
                return 1;
            if (edgeValues)
                table->support.push_back(static_cast<float>(100.0 * freq(i) / total));
        }
        if (getAbortedStatus())
            return 2;
    }
    setAbortedStatus(static_cast<uint32_t>(abortOnEntry));
    return 0;
}

// ---------------------------------------------------------------------------
// Finishing the tree

int finishContree(Tree *tree, uint32_t kind, const float *support, const SplitsList *list, DataInfo *data,
                  bool rooted)
{
    const uint32_t ntax = activeTaxa(data) ? activeTaxa(data) : tree->ntax;
    TreeNode *basal = tree->nodes + tree->ntax + 1 + list->count;
    TreeNode *root;
    if (rooted)
        root = tree->nodes;
    else if (kind == kConAdams || rooting.rootMethod != kRootOutgroup)
        root = basal;
    else
        root = tree->nodes + 1;
    if (makeTreeFromSplitsList(tree, ntax, list, consensusHasEdgeValues(kind) ? support : nullptr, root) != 0)
        return qel_errorMsg(0, "The consensus groups do not form a tree.");
    if (saveSpecialTree(tree, kind) != 0)
        return 1;
    return 0;
}

int rootConsensusForOutput(Tree *tree, DataInfo *data)
{
    if ((tree->flags & kTreeRootedAtAnc) || tree->root->index < 0 || rooting.rootMethod != kRootOutgroup)
        return 0;
    if (tree->root->index >= static_cast<int32_t>(tree->tipBound))
        return 0;  // held at an internal node: drawn as it stands
    rootOutgroup(tree, data, false);
    if (finalizeRooting(tree, gBasalPolytomy, false) != 0)
        return 1;
    // The root now splits the edge of the outgroup: a drawing sums the two
    // root edges' values, and the tip's trivial 100 would count twice.
    for (uint32_t t = 1; t <= tree->ntax; t++)
        tree->nodes[t].edge.support = 0.0f;
    return 0;
}

// ---------------------------------------------------------------------------
// Consensus indices

ConsensusIndices computeConsensusIndices(Tree *source, uint32_t n)
{
    TreeHandle copy(createTreeForTaxa(source->ntax, source->activeTaxa, true));
    ConsensusIndices ci{};
    if (!copy || copyTree(source, copy.get()) != 0)
        return ci;
    Tree *tree = copy.get();
    // An unrooted tree held at a tip is read from its first fork, which then
    // holds every taxon.
    if (!(tree->flags & kTreeRootedAtAnc) && tree->root->index >= 0 &&
        static_cast<uint32_t>(tree->root->index) < tree->tipBound)
        rerootAtFirstFork(tree);
    setTraversalSeq(tree);
    makeAllLeafSets(tree);
    const uint32_t words = tree->wordsPerLeafSet;
    TreeNode *top = tree->root->index < 0 && tree->root->firstChild && !tree->root->firstChild->nextSib
                        ? tree->root->firstChild
                        : tree->root;
    const uint32_t c = countChildren(top);
    const uint32_t m = n - 1 + (c < 3 ? 1 : 0);
    auto taxaBelow = [&](const TreeNode *node) -> uint32_t {
        return node->firstChild ? splitSize(node->leafSet, words) : 1;
    };
    double micSum = 0.0;
    for (TreeNode *p = top->next; p; p = p->next) {
        if (!p->firstChild)
            continue;
        const uint32_t k = taxaBelow(p);
        ci.components++;
        ci.npTerm += k - 1;
        ci.npTotal += k;
        micSum += std::min<double>(k - 1.0, static_cast<double>(m) - 1.0 - (k - 1.0));
        ci.schuhFarris += uint64_t{k} * (k - 1) / 2;
    }
    const double nan = std::nan("");
    auto ratio = [&](double num, double den) { return den == 0.0 ? nan : num / den; };
    ci.componentNorm = ratio(ci.components, static_cast<double>(m) - 2.0);
    const uint64_t m64 = m;
    ci.mickevich = ratio(micSum, static_cast<double>((m64 / 2) * ((m64 - 1) / 2)));
    ci.colless = ratio(static_cast<double>(ci.npTotal), static_cast<double>(((m64 + 1) * (m >= 2 ? m64 - 2 : 0)) / 2));
    const uint64_t sfMax = m >= 2 ? m64 * (m64 - 1) * (m64 - 2) / 6 : 0;
    ci.schuhFarrisNorm = ratio(static_cast<double>(ci.schuhFarris), static_cast<double>(sfMax));
    double xSum = 0.0, lnSum = 0.0;
    for (TreeNode *p = top; p; p = p->next) {
        if (!p->firstChild || taxaBelow(p) <= 2)
            continue;
        std::vector<uint32_t> sizes;
        for (TreeNode *ch = p->firstChild; ch; ch = ch->nextSib)
            sizes.push_back(taxaBelow(ch));
        std::sort(sizes.begin(), sizes.end(), std::greater<>());
        if (p == top && c >= 3)
            sizes.pop_back();  // the smallest child stands for the root of an unrooted tree
        const uint32_t e = static_cast<uint32_t>(sizes.size());
        double cumulative = sizes.empty() ? 0.0 : sizes[0];
        for (uint32_t j = 1; j + 1 < e; j++) {
            cumulative += sizes[j];
            xSum += cumulative - 1.0;
        }
        lnSum += lnRootedTrees(e);
    }
    ci.rohlfCI1 = ratio(static_cast<double>(ci.npTerm), static_cast<double>(ci.npTerm) + xSum);
    ci.rohlfLnCI2 = lnRootedTrees(m) - lnSum;
    return ci;
}

void showConsensusIndices(const ConsensusIndices &ci)
{
    auto real = [](double v) {
        char text[32];
        if (std::isnan(v))
            return std::string("n/a");
        std::snprintf(text, sizeof text, "%.3f", v);
        return std::string(text);
    };
    qel_printf("\nStatistics derived from consensus tree:\n\n");
    indentOutput(5);
    qel_printf("Component information (consensus fork) = %d (normalized = %s)\n", static_cast<int>(ci.components),
               real(ci.componentNorm).c_str());
    qel_printf("Nelson-Platnick term information = %llu\n", static_cast<unsigned long long>(ci.npTerm));
    qel_printf("Nelson-Platnick total information = %llu\n", static_cast<unsigned long long>(ci.npTotal));
    qel_printf("Mickevich's consensus information = %s\n", real(ci.mickevich).c_str());
    qel_printf("Colless weighted consensus fork (proportion max. information) = %s\n", real(ci.colless).c_str());
    qel_printf("Schuh-Farris levels sum = %llu (normalized = %s)\n", static_cast<unsigned long long>(ci.schuhFarris),
               real(ci.schuhFarrisNorm).c_str());
    qel_printf("Rohlf's CI(1) = %s\n", real(ci.rohlfCI1).c_str());
    char ci2[32];
    std::snprintf(ci2, sizeof ci2, "%#.3g", std::exp(-ci.rohlfLnCI2));
    qel_printf("Rohlf's -ln CI(2) = %.3f (CI(2) = %s)\n", ci.rohlfLnCI2, ci2);
    indentOutput(-5);
}

// ---------------------------------------------------------------------------
// The ConTree command

namespace {

struct ContreeRun {
    DataInfo *data = nullptr;
    TreeBuffer *buf = nullptr;
    std::vector<uint32_t> trees;
    bool rooted = false;
    bool toFile = false;
    bool le50 = false;
    bool useWts = false;
    uint32_t percent = 50;
    SplitsList *list = nullptr;
    Tree *work = nullptr;
    Tree *result = nullptr;
};

const char *kindName(uint32_t kind)
{
    switch (kind) {
    case kConStrict:
        return "Strict";
    case kConSemistrict:
        return "Semistrict";
    case kConMajRule:
        return "MajRule";
    default:
        return "Adams";
    }
}

void writeConsensusTree(ContreeRun &run, uint32_t kind, Tree *tree)
{
    TreeHandle copy(createTreeForTaxa(tree->ntax, tree->activeTaxa, false));
    if (!copy || copyTree(tree, copy.get()) != 0)
        return;
    Tree *out = copy.get();
    out->tipBound = tree->tipBound;
    // An unrooted tree held at a tip is written from its first fork; the
    // fork's value belongs to no edge of the unrooted tree.
    if (out->root->index >= 0 && static_cast<uint32_t>(out->root->index) < out->tipBound) {
        rerootAtFirstFork(out);
        out->root->edge.support = 0.0f;
    }
    const bool majRule = kind == kConMajRule;
    const uint32_t mode = majRule ? conOpt.saveSupport : kSupportNo;
    auxPrintf("\ttree %s = [&%c] ", kindName(kind), run.rooted || kind == kConAdams ? 'R' : 'U');
    outputTreeDescription(out, majRule, (mode & kSupportBrlens) ? kDescrSupport : kDescrNoLengths,
                          (mode & kSupportNodeLabels) != 0, false, ',', 0, nexusTreeLabel, run.data);
    auxPuts(";\n");
}

int makeConsensus(uint32_t kind, ContreeRun &run)
{
    DataInfo *d = run.data;
    Tree *tree = run.result;
    tree->flags = run.rooted ? (tree->flags | kTreeRootedAtAnc) : (tree->flags & ~kTreeRootedAtAnc);
    std::unique_ptr<SplitsTable, decltype(&destroySplitsTable)> table(nullptr, destroySplitsTable);
    double total = static_cast<double>(run.trees.size());
    int status;
    if (kind == kConAdams) {
        gCouldNotRootMonophyletic = 0;
        status = adamsConsensus(d, run.buf, run.trees, run.work, run.list);
    } else {
        SplitsTable *t = nullptr;
        status = majRuleConsensus(kind, run.useWts, run.buf, run.trees, d, run.work, &t, &total);
        table.reset(t);
        if (status == 0)
            status = selectConsensusSplits(table.get(), kind, kind == kConMajRule && run.le50,
                                           kind == kConMajRule ? run.percent : 100, run.list, total);
    }
    if (status != 0)
        return status;
    const float *support = table && !table->support.empty() ? table->support.data() : nullptr;
    if ((status = finishContree(tree, kind, support, run.list, d, run.rooted)) != 0)
        return status;
    const uint32_t n = static_cast<uint32_t>(run.trees.size());
    switch (kind) {
    case kConStrict:
        qel_printf("\nStrict consensus of %d %s:\n", static_cast<int>(n), treeWord(n));
        break;
    case kConSemistrict:
        qel_printf("\nSemistrict consensus of %d %s:\n", static_cast<int>(n), treeWord(n));
        break;
    case kConAdams:
        qel_printf("\nAdams consensus of %d %s:\n", static_cast<int>(n), treeWord(n));
        if (gCouldNotRootMonophyletic)
            qel_warningMsg(731, "One or more trees could not be rooted such that specified ingroup was "
                                "monophyletic.");
        break;
    default:
        qel_printf("\n%d%% Majority-rule consensus of %d %s", static_cast<int>(run.percent), static_cast<int>(n),
                   treeWord(n));
        if (conOpt.useTreeWts)
            qel_printf(haveNonunitTreeWeights(run.buf) ? " (using tree weights, sum = %g)" : " (all trees equally "
                                                                                              "weighted)",
                       total);
        qel_printf("\n");
        if (conOpt.useTreeWts && haveNonunitTreeWeights(run.buf) && !(total > 0.0))
            qel_warningMsg(0, "The weights of the trees sum to 0: no group has any support, and the consensus "
                              "tree is unresolved.");
        break;
    }
    // Indices read the tree as built, before the outgroup roots it for show.
    const ConsensusIndices ci = computeConsensusIndices(tree, activeTaxa(d));
    // The file gets the tree as built: an unrooted consensus is written
    // unrooted, without the fork the outgroup adds for show.
    if (run.toFile)
        writeConsensusTree(run, kind, tree);
    if ((status = rootConsensusForOutput(tree, d)) != 0)
        return status;
    if (conOpt.showTree) {
        setStatusText("Showing consensus tree...");
        const bool support = consensusHasEdgeValues(kind);
        drawTree(tree, support ? kDrawSupport : kDrawCladogram, 0, support, d);
    }
    if (conOpt.indices)
        showConsensusIndices(ci);
    if (kind == kConMajRule && conOpt.grpFreq && table)
        showSplitsDotPlot(table.get(), d, 0, run.rooted, nullptr, total);
    return getAbortedStatus() ? 2 : 0;
}

int contreeThreadProc(void *context)
{
    auto &run = *static_cast<ContreeRun *>(context);
    const struct {
        uint8_t on;
        uint32_t kind;
    } kinds[] = {{conOpt.strict, kConStrict},
                 {conOpt.semistrict, kConSemistrict},
                 {conOpt.majRule, kConMajRule},
                 {conOpt.adams, kConAdams}};
    for (const auto &k : kinds)
        if (k.on)
            if (int status = makeConsensus(k.kind, run); status != 0)
                return status;
    return 0;
}

}  // namespace

int doContreeCmd()
{
    DataInfo *d = activeDataInfo();
    if (int rc = noTreesAvailable(true, 0, nullptr); rc != 0)
        return rc;
    TreeBuffer *buf = getMainTreeBuffer(nullptr);
    const bool rooted = areTreesRooted(buf);
    if (checkMinTaxa(rooted ? 2 : 3, "Computing consensus trees", rooted ? " (rooted trees)" : " (unrooted trees)"))
        return 1;
    const uint32_t inMemory = numTreesInBuffer(buf);
    SetHandle listSet(allocSet(inMemory));
    if (!listSet || getTreeList(listSet.get(), true, false) != 0)
        return 1;
    conOpt.treeFile[0] = '\0';
    conOpt.saveToFile = 0;
    gReplaceFile = gAppendToFile = 0;
    if (!haveTreeWeights(buf))
        conOpt.useTreeWts = 0;
    const int got = getCmdParams(OptionSet::kConTree, ";", nullptr);
    if (got <= 0)
        return got < 0 ? 0 : 1;

    ContreeRun run;
    run.data = d;
    run.buf = buf;
    run.rooted = rooted;
    for (uint32_t k = 0; k < inMemory; k++)
        if (isSetMember(listSet.get(), k) && isTreeVisible(k))
            run.trees.push_back(k + 1);
    if (run.trees.empty())
        for (uint32_t k = 0; k < inMemory; k++)
            if (isTreeVisible(k))
                run.trees.push_back(k + 1);
    conOpt.ntrees = static_cast<uint32_t>(run.trees.size());
    if (run.trees.empty())
        return 0;
    if (needsRootingByMethod(rooted) &&
        checkRootingOption(d, !(d && (d->flags & kHaveCharacters)), false, true, false) != 0)
        return 1;
    if (conOpt.majRule) {
        if (conOpt.useTreeWts && !haveTreeWeights(buf))
            return qel_errorMsg(756, "Option to use tree weights in majority-rule consensus requested but no tree "
                                     "weights are available.");
        if (conOpt.percent < 50 || conOpt.percent > 100)
            return qel_errorMsg(730, "The \"cutoff\" (majority) value must be between 50%% and 100%%.");
    }
    run.le50 = conOpt.LE50 && conOpt.percent == 50;
    run.useWts = conOpt.useTreeWts != 0;
    run.percent = conOpt.percent;
    const uint32_t kinds = conOpt.strict + conOpt.semistrict + conOpt.majRule + conOpt.adams;
    if (kinds == 0)
        return 0;
    if (allocSpecialTreeData(kinds) != 0)
        return 1;
    std::unique_ptr<SplitsList, decltype(&destroySplitsList)> list(createSplitsList(buf->ntax, buf->ntax, true),
                                                                  destroySplitsList);
    TreeHandle work(createTree(true));
    TreeHandle result(createConsensusTree());
    if (!list || !work || !result)
        return 1;
    run.list = list.get();
    run.work = work.get();
    run.result = result.get();

    run.toFile = conOpt.treeFile[0] != '\0' || conOpt.saveToFile;
    const char *fileName = conOpt.treeFile[0] ? conOpt.treeFile : kDefaultConsensusFile;
    AuxOut *aux = nullptr;
    if (run.toFile) {
        int openStatus = 1;
        if (!(aux = openAuxOutStream(fileName, gReplaceFile != 0, gAppendToFile != 0, &openStatus)))
            return openStatus;
        auxPutTreesBlkCmd(false, false, d);
        auxPrintf("[!\n>Consensus of %d %s\n", static_cast<int>(run.trees.size()),
                  treeWord(static_cast<uint32_t>(run.trees.size())));
        auxPuts(">\n>Source of trees from which consensus(es) calculated...\n");
        auxPuts(commentSafe(outputText()).c_str());
        auxPuts("]\n");
    }
    int status = runOutputThread(contreeThreadProc, &run);
    if (aux) {
        std::string shown = auxPathnameForDisplay(aux, 255);
        if (status == 0)
            auxPuts("end;\n");
        // A run that failed part way gives up its file whole, as SaveTrees
        // does: a file without all its trees or its end must not take the
        // place of a good one. An interrupt is left to the close, which
        // abandons the file and says so.
        if (status == 1)
            discardAuxOutStream(aux);
        else if (closeAuxOutStream(aux) != 0 && status == 0)
            status = 1;
        if (status == 0)
            qel_printf("\nConsensus tree(s) written to treefile: %s\n", shown.c_str());
    }
    if (status != 0)
        deallocSpecialTreeData();
    clearStatusText();
    return status;
}

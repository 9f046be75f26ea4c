// The Agree command: the size of the maximum agreement subtrees of the
// listed trees, their drawing, the table of agreement sets with their
// kernel, and the NEXUS file of the subtrees.
#include <algorithm>
#include <cstring>
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
#include "qel/qel_oututil.h"
#include "qel/qel_progress.h"
#include "trees/agree.h"
#include "trees/contree.h"
#include "trees/drawtree.h"
#include "trees/savetree.h"
#include "trees/tree_settings.h"
#include "trees/treebuf.h"
#include "trees/treebuf_extras.h"
#include "trees/treeedit.h"
#include "trees/treelist.h"

namespace {

constexpr const char *kDefaultAgreeFile = "agreement.tre";

struct AgreeRun {
    DataInfo *data = nullptr;
    TreeBuffer *buf = nullptr;
    std::vector<uint32_t> trees;
    bool rooted = false;
    bool enumerate = false;
    bool toFile = false;
    ProgData *progress = nullptr;
    ScaledProgress scale;
    AgreementResult result;
    std::vector<uint64_t> kernel;
    bool kernelNonempty = false;
};

int advance(void *context)
{
    auto *run = static_cast<AgreeRun *>(context);
    return run->scale.step(run->progress) == kProgressAborted ? 2 : 0;
}

// The first listed tree restricted to a taxon set, held as the drawing
// and the tree file want it. 0 or 1.
int getAgreementSubtreeForOutput(AgreeRun &run, const std::vector<uint64_t> &set, Tree *tree)
{
    if (getTree(run.buf, run.trees.front(), tree) != 0)
        return 1;
    const uint32_t ntax = tree->tipBound;
    SetHandle drop(allocSet(ntax));
    if (!drop)
        return 1;
    for (uint32_t t = 0; t < ntax; t++)
        if (!((set[t / 64] >> (t % 64)) & 1))
            addSetMember(drop.get(), t);
    if (pruneTipsetFromTree(tree, drop.get(), nullptr, false, JoinLengths::kAlways) != 0)
        return 1;
    afterTreeChange(tree);
    return 0;
}

void drawSubtree(AgreeRun &run, const std::vector<uint64_t> &set, Tree *tree)
{
    if (getAgreementSubtreeForOutput(run, set, tree) != 0)
        return;
    if (!run.rooted && rootConsensusForOutput(tree, run.data) != 0)
        return;
    drawTree(tree, kDrawAgreement, 0, false, run.data);
}

void writeSubtree(AgreeRun &run, const std::vector<uint64_t> &set, const std::string &name, Tree *tree)
{
    if (getAgreementSubtreeForOutput(run, set, tree) != 0)
        return;
    auxPrintf("\ttree %s = [&%c] ", name.c_str(), run.rooted ? 'R' : 'U');
    outputTreeDescription(tree, false, kDescrNoLengths, false, false, ',', 0, nexusTreeLabel, run.data);
    auxPuts(";\n");
}

// The sets as rows of '1' and '.', under taxon-number headings, in chunks
// of the output width less 8 columns.
void showAgreementSets(const AgreeRun &run, uint32_t ntax)
{
    qel_printf("\nAll agreement sets:\n");
    const uint32_t width = std::max(10u, maxOutputColumns(1, 0) - 8);
    const auto nsets = run.result.sets.size();
    for (uint32_t from = 0; from < ntax; from += width) {
        const uint32_t to = std::min(ntax, from + width);
        std::vector<uint32_t> numbers(to - from);
        for (uint32_t t = from; t < to; t++)
            numbers[t - from] = run.data ? getTaxNum(run.data, t) : t + 1;
        const uint32_t last = numbers.back();
        for (uint32_t divisor : {1000u, 100u, 10u, 1u}) {
            if (divisor > 1 && last < divisor)
                continue;
            std::string line(8, ' ');
            if (divisor == 1)
                line = "   Set  ";
            for (uint32_t v : numbers)
                line += v >= divisor ? static_cast<char>('0' + (v / divisor) % 10) : ' ';
            qel_printf("%s\n", line.c_str());
        }
        auto row = [&](const std::vector<uint64_t> &set) {
            std::string line;
            for (uint32_t t = from; t < to; t++)
                line += (set[t / 64] >> (t % 64)) & 1 ? '1' : '.';
            qel_printf("%s\n", line.c_str());
        };
        for (size_t i = 0; i < nsets; i++) {
            if (getAbortedStatus())
                return;
            qel_printf("%6u  ", static_cast<unsigned>(i + 1));
            row(run.result.sets[i]);
        }
        if (nsets >= 2) {
            qel_printf("  KAST  ");
            row(run.kernel);
        }
    }
}

int calcAgreementSubtrees(void *context)
{
    auto &run = *static_cast<AgreeRun *>(context);
    const auto n = static_cast<uint32_t>(run.trees.size());
    const uint32_t ntax = run.buf->ntax;
    qel_printf("\nComputing agreement subtree for %u input trees:\n", n);
    AgreementWorkPtr work = initializeAgreement(ntax, run.rooted);
    TreeHandle tree(createTree(true));
    if (!work || !tree)
        return 1;
    run.progress = createProgressWindow(run.scale.begin(n), 0, "Loading trees into memory");
    for (uint32_t number : run.trees) {
        if (getTree(run.buf, number, tree.get()) != 0)
            return 1;
        if (getRivalTree(work.get(), tree.get(), number) != 0) {
            qel_printf("   Agreement subtrees not calculated because some trees were missing one or more taxa.\n");
            return 1;
        }
        if (advance(&run) != 0) {
            qel_printf("\nCalculation of agreement subtree aborted.\n");
            return 2;
        }
    }
    destroyProgressWindow(run.progress);
    const uint64_t pairs = numPairsPerRooting(work.get());
    run.progress = createProgressWindow(run.scale.begin(run.enumerate ? 2 * pairs : pairs), 0,
                                        "Finding agreement subtree(s)");
    setStatusText("Computing agreement subtree...");
    const int status = calcAgreementSets(work.get(), run.enumerate, advance, &run, run.result);
    hideProgressWindow(run.progress);
    if (status == 2)
        qel_printf("\nCalculation of agreement subtree aborted.\n");
    if (status != 0)
        return status;
    const AgreementResult &r = run.result;
    qel_printf("   Size of agreement subtree(s) = %u/%u\n", r.size, ntax);
    if (r.size <= (run.rooted ? 2u : 3u)) {
        qel_printf("\nNo nontrivial agreement subtrees exist.\n");
        return 0;
    }
    if (r.capped)
        qel_printf("\n   Only the first %u of %llu agreement sets are listed: too many to enumerate.\n",
                   static_cast<unsigned>(r.sets.size()), static_cast<unsigned long long>(r.numSets));
    // Without enumeration the one set the search kept is drawn and written.
    std::vector<std::vector<uint64_t>> sets = r.sets;
    if (sets.empty())
        sets.push_back(r.firstSet);
    run.kernel = sets.front();
    for (const auto &s : sets)
        for (size_t q = 0; q < s.size(); q++)
            run.kernel[q] &= s[q];
    run.kernelNonempty = std::any_of(run.kernel.begin(), run.kernel.end(), [](uint64_t q) { return q != 0; });
    const uint64_t numSets = r.numSets;
    if (agree.showTree && !(agree.all & 2)) {
        if (numSets == 1 || !run.enumerate)
            qel_printf("\nAgreement subtree:\n");
        else
            qel_printf("\nFirst of %llu maximal agreement subtrees:\n", static_cast<unsigned long long>(numSets));
        drawSubtree(run, sets.front(), tree.get());
    }
    if (agree.all & 2) {
        for (size_t i = 0; i < sets.size() && !getAbortedStatus(); i++) {
            qel_printf("\nAgreement subtree %u of %llu:\n", static_cast<unsigned>(i + 1),
                       static_cast<unsigned long long>(numSets));
            drawSubtree(run, sets[i], tree.get());
        }
    }
    if (run.enumerate && sets.size() >= 2 && run.kernelNonempty && (agree.showTree || (agree.all & 2))) {
        qel_printf("\nKernel agreement subtree (intersection of all agreement sets):\n");
        drawSubtree(run, run.kernel, tree.get());
    }
    if (agree.all & 1)
        showAgreementSets(run, ntax);
    if (run.toFile) {
        if (run.enumerate) {
            for (size_t i = 0; i < sets.size(); i++)
                writeSubtree(run, sets[i], "Agrmnt_" + std::to_string(i + 1), tree.get());
            if (run.kernelNonempty && sets.size() >= 2)
                writeSubtree(run, run.kernel, "Agrmnt_KAST", tree.get());
        } else {
            writeSubtree(run, sets.front(), "Agrmnt_1", tree.get());
        }
    }
    return getAbortedStatus() ? 2 : 0;
}

}  // namespace

int doAgreeCmd()
{
    DataInfo *d = activeDataInfo();
    if (int rc = noTreesAvailable(true, 0, nullptr); rc != 0)
        return rc;
    TreeBuffer *buf = getMainTreeBuffer(nullptr);
    const bool rooted = areTreesRooted(buf);
    if (checkMinTaxa(rooted ? 2 : 3, "Agreement-subtree calculation for ", rooted ? "rooted trees" : "unrooted trees"))
        return 1;
    const uint32_t inMemory = numTreesInBuffer(buf);
    SetHandle listSet(allocSet(inMemory));
    if (!listSet || getTreeList(listSet.get(), true, false) != 0)
        return 1;
    agree.treefile[0] = '\0';
    agree.saveToFile = 0;
    gReplaceFile = gAppendToFile = 0;
    const int got = getCmdParams(OptionSet::kAgree, ";", nullptr);
    if (got <= 0)
        return got < 0 ? 0 : 1;

    AgreeRun run;
    run.data = d;
    run.buf = buf;
    run.rooted = rooted;
    run.enumerate = agree.all != 0;
    for (uint32_t k = 0; k < inMemory; k++)
        if (isSetMember(listSet.get(), k) && isTreeVisible(k))
            run.trees.push_back(k + 1);
    if (run.trees.empty())
        for (uint32_t k = 0; k < inMemory; k++)
            if (isTreeVisible(k))
                run.trees.push_back(k + 1);
    if (run.trees.empty())
        return 0;
    agree.firstTree = run.trees.front();
    run.toFile = agree.treefile[0] != '\0' || agree.saveToFile;
    const char *fileName = agree.treefile[0] ? agree.treefile : kDefaultAgreeFile;
    AuxOut *aux = nullptr;
    if (run.toFile) {
        int openStatus = 1;
        if (!(aux = openAuxOutStream(fileName, gReplaceFile != 0, gAppendToFile != 0, &openStatus)))
            return openStatus;
        auxPutTreesBlkCmd(false, false, d);
        auxPrintf("[!\n>Agreement subtrees for %u trees\n", static_cast<unsigned>(run.trees.size()));
        auxPuts(">\n>Source of trees for which agreement calculated...\n");
        auxPuts(commentSafe(outputText()).c_str());
        auxPuts("]\n");
    }
    int status = runOutputThread(calcAgreementSubtrees, &run);
    if (run.progress)
        destroyProgressWindow(run.progress);
    agree.nAgreeSets = static_cast<uint32_t>(std::min<uint64_t>(run.result.numSets, UINT32_MAX));
    agree.kernelNonempty = run.kernelNonempty;
    if (aux) {
        std::string shown = auxPathnameForDisplay(aux, 255);
        if (status == 0)
            auxPuts("end;\n");
        if (status == 1)
            discardAuxOutStream(aux);
        else if (closeAuxOutStream(aux) != 0 && status == 0)
            status = 1;
        if (status == 0)
            qel_printf("\nAgreement subtree(s) written to treefile: %s\n", shown.c_str());
    }
    clearStatusText();
    return status;
}

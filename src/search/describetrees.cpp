#include "search/describetrees.h"

#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

#include "data/data_util.h"
#include "data/vorn_data.h"
#include "parsimony/chglist.h"
#include "parsimony/fitindex.h"
#include "parsimony/lenrange.h"
#include "parsimony/optimize.h"
#include "parsimony/pars_init.h"
#include "parsimony/pars_util.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_multithread.h"
#include "qel/qel_output.h"
#include "qel/qel_oututil.h"
#include "qel/qel_progress.h"
#include "qel/qel_sets.h"
#include "search/hsprep.h"
#include "search/scores.h"
#include "cli/qel_cmdoptions.h"
#include "trees/describe.h"
#include "trees/drawtree.h"
#include "trees/roottree.h"
#include "trees/treebuf.h"
#include "trees/treelist.h"
#include "trees/treeutil.h"

bool describeWithBrlensOnly = false;

namespace {

constexpr int kLinkLeftWidth = 26;  // node and connected-node columns
constexpr int kLinkLengthWidth = 19;


struct DescribeRun {
    DataInfo *data;
    std::vector<uint32_t> list;  // 1-based tree numbers
    bool brlensOnly;
};

int linkDecimals(bool brlensOnly)
{
    if (!brlensOnly)
        return static_cast<int>(gPars.lengthDecimals);
    const TreeBuffer *buf = getActiveTreeBuffer();
    return buf ? static_cast<int>(buf->brlenDecimals) : 0;
}

const char *lengthField(double v, int decimals)
{
    static char buf[64];
    if (std::fabs(v) >= 100000.0)
        std::snprintf(buf, sizeof buf, "%*.*e", kLinkLengthWidth, decimals, v);
    else
        std::snprintf(buf, sizeof buf, "%*.*f", kLinkLengthWidth, decimals, std::fabs(v) < 1.17549435e-38 ? 0.0 : v);
    return buf;
}

void printIndex(const char *title, double value)
{
    if (value < -1e-10)
        qel_printf("%s = 0/0\n", title);
    else
        qel_printf("%s = %.4f\n", title, value);
}

// The parsimony score of the tree just optimised and its ensemble indices.
void showParsimonyScore(const DataInfo *d, double length)
{
    const PackedData *pd = packedData(d);
    const LengthBounds &b = lengthBounds();
    const double poly = pd ? pd->baseLength : 0.0;
    qel_printf("\nTree length = %s", treeLengthToString(length));
    if (poly > 0.0)
        qel_printf(" (includes length within polymorphic multistate taxa)");
    qel_printf("\n");
    if (length <= 0.0)
        return;
    const double m = sumMinLengths();
    const double ci = m / length;
    printIndex("Consistency index (CI)", ci);
    printIndex("Homoplasy index (HI)", poly > 0.0 && length > poly ? 1.0 - (m - poly) / (length - poly) : 1.0 - ci);
    // Uninformative characters take their minimum length on every tree.
    double u = 0.0;
    uint32_t undetermined = 0;
    for (uint32_t c = 0; c < d->nchar; c++) {
        if (d->status[c] & (kCharExcluded | kCharConstant))
            continue;
        if (d->status[c] & kCharUninformative)
            u += charLengthOnTree(d, c) * (gPars.realScores ? d->weights[c] : 1.0);
        if (pd && pd->slots[c].width && c < b.inBounds.size() && !b.inBounds[c])
            undetermined++;
    }
    if (u > 0.0) {
        const double ciEx = length - u > 0.0 ? (m - u) / (length - u) : kFitUndefined;
        printIndex("CI excluding uninformative characters", ciEx);
        printIndex("HI excluding uninformative characters", ciEx < 0.0 ? kFitUndefined : 1.0 - ciEx);
    }
    const double ri = calc1RI(m, length, b.sumMax);
    printIndex("Retention index (RI)", ri);
    printIndex("Rescaled consistency index (RC)", ri < 0.0 ? kFitUndefined : ci * ri);
    if (undetermined)
        qel_printf("\nNote: \b%u %s excluded from fit-measure calculations because minimum character length could "
                   "not be determined.\n",
                   undetermined, undetermined == 1 ? "character" : "characters");
}

int describeOutputProc(void *arg)
{
    const auto *run = static_cast<DescribeRun *>(arg);
    DataInfo *d = run->data;
    TreeHandle tree(createTree(true));
    if (!tree)
        return 1;
    const bool pars = !run->brlensOnly;
    for (uint32_t n : run->list) {
        if (getAbortedStatus() && confirmAbortRequest())
            return 2;
        if (getTree(nullptr, n, tree.get()) != 0)
            return 1;
        showTreeNum(tree.get(), d, n);
        if (pars) {
            if (const int rc = updateLengthBounds(tree.get(), d))
                return rc;
            if (const int rc = prepTreeForDrawing(tree.get(), d, n, true, true, true, false, false, nullptr))
                return rc;
        } else if (const int rc = prepTreeForDrawing(tree.get(), d, n, true, true, false, true, false, nullptr)) {
            return rc;
        }
        if (describe.brLens) {
            if (describe.brLens != 2) {
                setStatusText("Outputting branch lengths...");
                qel_printf("\nBranch lengths and linkages for tree #%u", n);
                if (!(tree->flags & kTreeRootedAtAnc))
                    qel_printf(" (unrooted)");
                qel_printf("\n");
            }
            showLinks(tree.get(), d, static_cast<int>(n), run->brlensOnly);
        }
        if (pars)
            showParsimonyScore(d, getLastTreeScore());
        if (describe.plot) {
            setStatusText("Drawing tree...");
            if (describe.plot & 2) {
                setBrlensForRootChildren(tree.get(), true, false);
                drawTree(tree.get(), kDrawPhylogram, 0, describe.labelNode != 0, d);
            }
            if (describe.plot & 1)
                drawTree(tree.get(), kDrawCladogram, 0, describe.labelNode != 0, d);
        }
        if (pars) {
            if (describe.chgList)
                showChangeLists(tree.get(), d);
            if (describe.apoList)
                showApoLists(tree.get(), d);
            if (describe.diagnose)
                showCharDiagnostics(d);
        }
        clearStatusText();
    }
    return getAbortedStatus() ? 2 : 0;
}

const char *optimizationName()
{
    switch (static_cast<ParsOpt>(gPars.opt)) {
    case ParsOpt::DelTran:
        return "Delayed transformation (DELTRAN)";
    case ParsOpt::MinF:
        return "Minimum F-value (MINF)";
    default:
        return "Accelerated transformation (ACCTRAN)";
    }
}

}  // namespace

void showLinks(Tree *tree, const DataInfo *data, int n, bool brlensOnly)
{
    (void)n;
    checkTraversalSeq(tree);
    const int dec = linkDecimals(brlensOnly);
    double total = 0.0;
    for (TreeNode *p = tree->root->next; p; p = p->next)
        total += p->edge.brlen;
    if (describe.brLens == 2) {
        char sum[64];
        std::snprintf(sum, sizeof sum, "%.*f", dec, total);
        qel_printf("  Sum of branch lengths = %s\n", sum);
        return;
    }
    qel_printf("\n                    Connected          Branch\n");
    qel_printf("   Node              to node           length\n");
    tableLine(45, 0);
    char label[kChgLabelLimit + 8], text[64];
    if (tree->root->index >= 0 && static_cast<uint32_t>(tree->root->index) < tree->tipBound)
        qel_printf("%6d%22s%17c%16s\n", tree->root->index + 1, "(root)", ' ', "-");
    for (TreeNode *p = tree->root->next; p; p = p->next) {
        const TreeNode *a = p->anc;
        if (a == tree->root && a->index < 0)
            std::snprintf(text, sizeof text, "root");
        else if (a == tree->root && !a->anc && a->index >= static_cast<int32_t>(tree->tipBound))
            std::snprintf(text, sizeof text, "root");
        else
            std::snprintf(text, sizeof text, "%u", a->index < static_cast<int32_t>(tree->tipBound)
                                                       ? static_cast<uint32_t>(a->index + 1)
                                                       : nodeNum(a, tree));
        if (!p->firstChild) {
            char cut[kChgLabelLimit + 1];
            nodeLabel(p, tree, data, cut, sizeof cut);
            std::snprintf(label, sizeof label, "%.16s (%d)%c", cut, p->index + 1, ' ');
            qel_printf("%-22s%4s", label, text);
        } else {
            qel_printf("%6u%20s", nodeNum(p, tree), text);
        }
        qel_printf("%s\n", lengthField(p->edge.brlen, dec));
    }
    tableLine(45, 0);
    char sum[64];
    std::snprintf(sum, sizeof sum, "%.*f", dec, total);
    qel_printf("%-*s%19s\n", kLinkLeftWidth, "Sum", sum);
}

int doDescribeTreesCmd()
{
    DataInfo *d = activeDataInfo();
    TreeBuffer *buf = getActiveTreeBuffer();
    const uint32_t inMemory = numTreesInBuffer(buf);
    if (inMemory == 0) {
        qel_errorMsg(0, "There are no trees in memory.");
        return 1;
    }
    const bool rooted = areTreesRooted(buf);
    if (checkMinTaxa(d, rooted ? 2 : 3, "Describing ", rooted ? "rooted trees" : "unrooted trees"))
        return 1;
    const bool haveChars = d && (d->flags & kHaveCharacters);
    if (!haveChars && !(d && (d->flags & kHaveDistances)) && !haveUserBranchLengths()) {
        qel_errorMsg(758, "Tree description requires character data, distance data or user-provided branch "
                          "lengths.");
        return 1;
    }
    describeWithBrlensOnly = !haveChars;
    if (!describeWithBrlensOnly && !parsCriterionActive()) {
        qel_errorMsg(0, "Tree descriptions are available only under the parsimony criterion (or for trees with "
                        "user branch lengths and no character data).");
        return 1;
    }
    SetHandle listSet(allocSet(inMemory));
    if (!listSet || getTreeList(listSet.get(), true, false) != 0)
        return 1;
    const int got = getCmdParams(OptionSet::kDescribeTrees, ";", nullptr);
    if (got <= 0)
        return got < 0 ? 0 : 1;
    if (!describeWithBrlensOnly &&
        (checkCharStatusUpdate(d) != 0 || checkParsimonySettings(d) != 0 || prepareParsimonyData(d) != 0))
        return 1;
    if (!rooted && checkRootingOption(d, describeWithBrlensOnly, true, true, false) != 0)
        return 1;

    DescribeRun run{d, {}, describeWithBrlensOnly};
    for (uint32_t k = 0; k < inMemory; k++)
        if (isSetMember(listSet.get(), k))
            run.list.push_back(k + 1);
    if (run.list.empty())
        for (uint32_t k = 0; k < inMemory; k++)
            if (isTreeVisible(k))
                run.list.push_back(k + 1);

    qel_printf("\nTree description:\n\n");
    indentOutput(2);
    if (!rooted) {
        if (rooting.rootMethod == kRootLundberg)
            qel_printf("Unrooted tree(s) rooted using Lundberg method (AncStates=%s)\n", ancStatesName());
        else if (rooting.rootMethod == kRootMidpoint)
            qel_printf("Unrooted tree(s) rooted using midpoint method\n");
        else
            qel_printf("Unrooted tree(s) rooted using outgroup method\n");
    }
    if (!describeWithBrlensOnly) {
        char text[256];
        qel_printf("Optimality criterion = \b%s\n", makeFullCriterionString(text, sizeof text));
        qel_printf("  Character-state optimization: %s\n", optimizationName());
        if (rooted)
            qel_printf("%*sAncStates = \"%s\"\n", 32, "", ancStatesName());
    }
    indentOutput(-2);
    const int status = runOutputThread(describeOutputProc, &run);
    clearStatusText();
    describeWithBrlensOnly = false;
    return status;
}

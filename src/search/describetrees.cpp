#include "search/describetrees.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "data/data_util.h"
#include "data/prepdata.h"
#include "data/vorn_data.h"
#include "parsimony/chglist.h"
#include "parsimony/fitindex.h"
#include "parsimony/lenrange.h"
#include "parsimony/mprange.h"
#include "parsimony/optimize.h"
#include "parsimony/pars_init.h"
#include "parsimony/pars_util.h"
#include "qel/qel_auxout.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_multithread.h"
#include "qel/qel_output.h"
#include "qel/qel_oututil.h"
#include "qel/qel_progress.h"
#include "qel/qel_sets.h"
#include "search/describe_matrices.h"
#include "search/hsprep.h"
#include "search/scores.h"
#include "search/critscore.h"
#include "search/swap.h"
#include "cli/qel_cmdoptions.h"
#include "cli/shell_settings.h"
#include "trees/describe.h"
#include "trees/drawtree.h"
#include "trees/roottree.h"
#include "trees/savetree.h"
#include "trees/treebuf.h"
#include "trees/treebuf_extras.h"
#include "search/search_settings.h"
#include "trees/treelist.h"
#include "trees/treeutil.h"

bool describeWithBrlensOnly = false;

namespace {

LikelihoodDescribeHooks gLikHooks{};

constexpr int kLinkLeftWidth = 26;  // node and connected-node columns
constexpr int kLinkLengthWidth = 19;
constexpr int kRangeWidth = 14;
constexpr int kHeightWidth = 16;  // clustering level, distances from the root and to the tips


struct DescribeRun {
    DataInfo *data;
    std::vector<uint32_t> list;  // 1-based tree numbers
    bool brlensOnly;
    bool patristicWanted;        // fValue, patristic or homoplasy
    AuxOut *ancStates;           // the reconstructed-states file, or null
    const CriterionSearchFxns *fit = nullptr;  // lengths fitted under distance
    bool lik = false;                            // lengths optimised under likelihood
};

// The tips below each node as a bit set over tip indices, flipped so that
// the lowest tip of the tree is never a member: an edge has the same key on
// either side of it, whichever way up the tree hangs.
std::vector<std::vector<uint64_t>> edgeKeys(Tree *tree)
{
    checkTraversalSeq(tree);
    const size_t words = (tree->tipBound + 63) / 64;
    std::vector<std::vector<uint64_t>> bits(tree->maxNodes, std::vector<uint64_t>(words, 0));
    std::vector<uint64_t> all(words, 0);
    auto isTip = [&](const TreeNode *v) { return v->index >= 0 && static_cast<uint32_t>(v->index) < tree->tipBound; };
    std::vector<TreeNode *> order;
    for (TreeNode *p = tree->root; p; p = p->next)
        order.push_back(p);
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
        TreeNode *v = *it;
        std::vector<uint64_t> &b = bits[static_cast<size_t>(v - tree->nodes)];
        if (isTip(v)) {
            b[static_cast<size_t>(v->index) / 64] |= uint64_t{1} << (v->index % 64);
            all[static_cast<size_t>(v->index) / 64] |= uint64_t{1} << (v->index % 64);
        }
        if (v == tree->root)
            continue;
        for (const TreeNode *c = v->firstChild; c; c = c->nextSib) {
            const std::vector<uint64_t> &cb = bits[static_cast<size_t>(c - tree->nodes)];
            for (size_t w = 0; w < words; ++w)
                b[w] |= cb[w];
        }
    }
    size_t lowWord = 0;
    while (lowWord < words && all[lowWord] == 0)
        ++lowWord;
    const uint64_t low = lowWord < words ? all[lowWord] & (~all[lowWord] + 1) : 0;
    for (std::vector<uint64_t> &b : bits)
        if (lowWord < words && (b[lowWord] & low))
            for (size_t w = 0; w < words; ++w)
                b[w] = all[w] & ~b[w];
    return bits;
}

// The likelihood score of the tree with its lengths optimised, then the tree
// rooted for display on those lengths; the standard errors and zero-length
// tests follow their branches through the rooting.
int scoreAndRootForLikelihood(Tree *tree, DataInfo *d, uint32_t n, bool wantErrors, double *score,
                              LinkExtras &extras)
{
    *score = gLikHooks.score(tree, wantErrors);
    if (*score >= 1e37)
        return getAbortedStatus() ? 2 : 1;
    extras.zeroLenTest = wantErrors ? gLikHooks.zeroLenTest() : 0;
    std::vector<std::pair<std::vector<uint64_t>, std::pair<double, double>>> byEdge;
    if (wantErrors) {
        const auto keys = edgeKeys(tree);
        for (TreeNode *p = tree->root->next; p; p = p->next)
            byEdge.push_back({keys[static_cast<size_t>(p - tree->nodes)],
                              {gLikHooks.stdErr(p), extras.zeroLenTest ? gLikHooks.zeroLenDiff(p) : 0.0}});
    }
    if (!(tree->flags & kTreeRootedAtAnc))
        if (const int rc = rootTree(tree, d, n, true, false, true))
            return rc;
    setTraversalSeq(tree);
    extras.stdErr.assign(tree->maxNodes, -1.0);
    extras.lnLDiff.assign(tree->maxNodes, 0.0);
    if (wantErrors) {
        const auto keys = edgeKeys(tree);
        for (TreeNode *p = tree->root->next; p; p = p->next) {
            const size_t i = static_cast<size_t>(p - tree->nodes);
            for (const auto &[key, values] : byEdge)
                if (key == keys[i]) {
                    extras.stdErr[i] = values.first;
                    extras.lnLDiff[i] = values.second;
                    break;
                }
        }
    }
    return 0;
}

// Patristic distances of the tree in hand: computed before the score so that
// the f value can follow the indices, printed after the listings.
struct PatristicRun {
    std::vector<double> matrix;
    PatristicSums sums;
    bool made = false;
};

int linkDecimals(bool brlensOnly)
{
    if (!brlensOnly)
        return static_cast<int>(gPars.lengthDecimals);
    const TreeBuffer *buf = getActiveTreeBuffer();
    return buf ? static_cast<int>(buf->brlenDecimals) : 0;
}

std::string lengthField(double v, int decimals, int width)
{
    char buf[64];
    if (std::fabs(v) >= 100000.0)
        std::snprintf(buf, sizeof buf, "%*.*e", width, decimals, v);
    else
        std::snprintf(buf, sizeof buf, "%*.*f", width, decimals, zeroBelowLastDecimal(v, decimals));
    return buf;
}

void printIndex(const char *title, double value)
{
    if (value < -1e-10)
        qel_printf("%s = 0/0\n", title);
    else
        qel_printf("%s = %.4f\n", title, value);
}

// The parsimony score of the tree just optimised: the score line and, from the tree's length, the ensemble indices. Under
// Goloboff weighting the score is the fit and the length follows it.
void showParsimonyScore(const DataInfo *d, double score, double treeLength)
{
    const PackedData *pd = packedData(d);
    const LengthBounds &b = lengthBounds();
    const double poly = pd ? pd->baseLength : 0.0;
    double length = score;
    if (gPars.goloboff && !gPars.threshold) {
        length = treeLength;
        qel_printf("\nGoloboff fit = %s", treeScoreToString(0, score).c_str());
        qel_printf(" (tree length = %s)\n", treeLengthToString(length).c_str());
    } else {
        qel_printf("\nTree length = %s", treeLengthToString(length).c_str());
        if (poly > 0.0)
            qel_printf(" (includes length within polymorphic multistate taxa)");
        qel_printf("\n");
    }
    if (length <= 0.0)
        return;
    // The minima cover the characters that have fit measures; so must the
    // length they are set against.
    uint32_t undetermined = 0;
    const double fitLength = pd ? calcLengthForEnsembleFits(d, &undetermined) : length;
    const double m = sumMinLengths();
    const double ci = fitLength > 0.0 ? m / fitLength : kFitUndefined;
    printIndex("Consistency index (CI)", ci);
    // The length inside polymorphic terminals that the minima count too is
    // left out of both.
    const double within = poly > 0.0 ? b.sumWithin : 0.0;
    printIndex("Homoplasy index (HI)", within > 0.0 && fitLength > within ? 1.0 - (m - within) / (fitLength - within)
                                       : ci < 0.0                      ? kFitUndefined
                                                                       : 1.0 - ci);
    // Uninformative characters take their minimum length on every tree.
    double u = 0.0;
    for (uint32_t c = 0; c < d->nchar; c++)
        if (!(d->status[c] & (kCharExcluded | kCharConstant)) && (d->status[c] & kCharUninformative) &&
            !charLacksBounds(d, c))
            u += charLengthOnTree(d, c) * d->weights[c];
    if (u > 0.0) {
        const double ciEx = fitLength - u > 0.0 ? (m - u) / (fitLength - u) : kFitUndefined;
        printIndex("CI excluding uninformative characters", ciEx);
        printIndex("HI excluding uninformative characters", ciEx < 0.0 ? kFitUndefined : 1.0 - ciEx);
    }
    const double ri = calc1RI(m, fitLength, b.sumMaxFit);
    printIndex("Retention index (RI)", ri);
    printIndex("Rescaled consistency index (RC)", ri < 0.0 || ci < 0.0 ? kFitUndefined : ci * ri);
    if (undetermined)
        qel_printf("\nNote: \b%u %s excluded from fit-measure calculations because minimum character length could "
                   "not be determined.\n",
                   undetermined, undetermined == 1 ? "character" : "characters");
}

void showFValue(const DataInfo *d, const PatristicRun &pr)
{
    if (!pr.made) {
        qel_printf("\nNote: \bPatristic distance/homoplasy matrices and f values can be computed only for binary and "
                   "ordered multistate (including Dollo and irreversible) characters.\n");
        return;
    }
    qel_printf("f value = %s\nf-ratio = %.4f\n", treeLengthToString(pr.sums.homoplasy).c_str(), pr.sums.ratio);
    if (patristicExcludesSome(d))
        qel_printf("   (multistate unordered and stepmatrix characters excluded from f-value calculations)\n");
}

// Columns wide enough for the largest value with the given decimals, and two
// blanks between them.
int matrixWidth(double largest, int decimals)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, largest);
    return static_cast<int>(std::strlen(buf)) + 2;
}

void showPatristicMatrices(Tree *tree, const DataInfo *d, PatristicRun &pr)
{
    if (!pr.made)
        return;
    const int dec = static_cast<int>(gPars.lengthDecimals);
    const size_t n = activeTaxonCount(d);
    if (describe.patristic) {
        if (patristicExcludesSome(d))
            qel_printf("\nNote: \bMultistate unordered and/or stepmatrix characters excluded from patristic distance "
                       "calculations.\n");
        setStatusText("Outputting patristic distance matrix...");
        double largest = pr.sums.largest;
        for (size_t i = 0; i < n; i++)
            for (size_t j = 0; j < i; j++)
                largest = std::max(largest, pr.matrix[i * n + j]);
        showPairwiseTaxaMatrix(pr.matrix, tree, d, Triangles::Both, "Adjusted character distances",
                               "Patristic distances", "Patristic distance matrix", matrixWidth(largest, dec), dec);
    }
    if (describe.homoplasy) {
        setStatusText("Outputting homoplasy matrix...");
        std::vector<double> h = pr.matrix;
        double largest = 0.0;
        for (size_t i = 0; i < n; i++)
            for (size_t j = 0; j < i; j++) {
                h[j * n + i] = pr.matrix[j * n + i] - pr.matrix[i * n + j];
                largest = std::max(largest, h[j * n + i]);
            }
        showPairwiseTaxaMatrix(h, tree, d, Triangles::Upper, nullptr, nullptr, "Pairwise homoplasy matrix",
                               matrixWidth(largest, dec), dec);
    }
}

int describeOutputProc(void *arg)
{
    const auto *run = static_cast<DescribeRun *>(arg);
    DataInfo *d = run->data;
    TreeHandle tree(createTree(true));
    if (!tree)
        return 1;
    const bool pars = !run->brlensOnly && !run->fit && !run->lik;
    for (uint32_t n : run->list) {
        if (getAbortedStatus() && confirmAbortRequest())
            return 2;
        if (getTree(nullptr, n, tree.get()) != 0)
            return 1;
        showTreeNum(tree.get(), d, n);
        LinkExtras extras;
        double likScore = 0.0;
        if (run->lik) {
            if (const int rc = scoreAndRootForLikelihood(tree.get(), d, n, describe.brLens != 0, &likScore, extras))
                return rc;
        } else if (pars) {
            if (const int rc = updateLengthBounds(tree.get(), d))
                return rc;
            if (const int rc = prepTreeForDrawing(tree.get(), d, n, true, true, true, false, false, nullptr))
                return rc;
        } else if (const int rc = prepTreeForDrawing(tree.get(), d, n, true, true, run->fit != nullptr,
                                                      run->brlensOnly, false, nullptr)) {
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
            if (run->lik)
                extras.columns = likelihoodLinkColumns();
            else
                extras.columns = run->fit && (tree->flags & kTreeRootedAtAnc) ? LinkColumns::kClusteringLevel
                                                                             : LinkColumns::kNone;
            showLinks(tree.get(), d, static_cast<int>(n), run->brlensOnly,
                      run->fit ? run->fit->lengthDecimals() : run->lik ? 5 : -1, &extras);
        }
        // The likelihood reconstruction: -1 not made, 0 made, 1 not possible (Mk model).
        int likRecon = -1;
        const ReconStates likStates = [d](const TreeNode *node, uint32_t c) { return gLikHooks.stateOf(d, node, c); };
        if (run->lik && (describe.xout || gLikHooks.allProbs() || describe.chgList || describe.apoList || run->ancStates)) {
            const int rc = likRecon = gLikHooks.reconstruct(tree.get(), d);
            if (rc == 1 && (describe.xout || gLikHooks.allProbs()))
                qel_printf("\nNote: Output of probabilities of state assignments is not supported for Mkv model.\n\n");
            else if (rc == 1)
                qel_printf("\nNote: Likelihood reconstructions (change lists, apomorphy lists, the file of states) are not supported for Mkv model.\n\n");
            else if (rc != 0)
                return rc;
            if (rc == 0 && describe.xout) {
                setStatusText("Outputting estimated states...");
                if (showReconMatrix(tree.get(), d, static_cast<ReconMatrix>(describe.xout), likStates) == 2)
                    return 2;
            }
            if (rc == 0 && run->ancStates && saveReconToFile(tree.get(), d, n, likStates) != 0)
                return 1;
            if (rc == 0 && gLikHooks.allProbs() && gLikHooks.showProbabilities(tree.get(), d) == 2)
                return 2;
        }
        if (run->lik) {
            qel_printf("\n-Ln likelihood = %s\n", scoreToString(kCriterionLikelihood, 0, 5, likScore).c_str());
            if (gLikHooks.paramsEstimated())
                qel_printf("(use the %s command (or Tree Scores->Likelihood menu command) to see model parameter "
                           "estimates)\n",
                           "LScores");
        }
        if (run->fit)
            qel_printf("\n%s = %s\n", run->fit->scoreLabel(), treeScoreToString(0, getLastTreeScore()).c_str());
        PatristicRun pr;
        if (pars) {
            if (run->patristicWanted)
                pr.made = getPDmatrix(tree.get(), d, pr.matrix, &pr.sums);
            if (describe.mprSets) {
                setStatusText("Outputting possible character-state assignments (MPR-sets)...");
                if (showReconMatrix(tree.get(), d, ReconMatrix::MprSets) == 2)
                    return 2;
            }
            if (describe.xout) {
                setStatusText("Outputting character-state information...");
                if (showReconMatrix(tree.get(), d, static_cast<ReconMatrix>(describe.xout)) == 2)
                    return 2;
            }
            if (run->ancStates && saveReconToFile(tree.get(), d, n) != 0)
                return 1;
            showParsimonyScore(d, getLastTreeScore(), getLastTreeLength());
            if (run->patristicWanted)
                showFValue(d, pr);
        }
        if (describe.plot) {
            setStatusText("Drawing tree...");
            if (describe.plot & 2) {
                setBrlensForRootChildren(tree.get(), true, false);
                drawTree(tree.get(), kDrawPhylogram, 0, describe.labelNode != 0, d);
            }
            if (describe.plot & 1)
                drawTree(tree.get(), kDrawCladogram, 0, describe.labelNode != 0, d);
        }
        if (likRecon == 0) {
            if (describe.chgList)
                showChangeLists(tree.get(), d, likStates);
            if (describe.apoList)
                showApoLists(tree.get(), d, likStates);
        }
        if (pars) {
            if (describe.chgList)
                showChangeLists(tree.get(), d);
            if (describe.apoList)
                showApoLists(tree.get(), d);
            if (describe.diagnose)
                showCharDiagnostics(d);
            showPatristicMatrices(tree.get(), d, pr);
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

LinkColumns likelihoodLinkColumns()
{
    return gLikHooks.clock && gLikHooks.clock()                 ? LinkColumns::kRootAndTips
           : gLikHooks.fixedLengths && gLikHooks.fixedLengths() ? LinkColumns::kNone
                                                                : LinkColumns::kStdErr;
}

int scoreLikelihoodForLinks(Tree *tree, DataInfo *d, uint32_t n, LinkExtras &extras)
{
    double score = 0.0;
    if (const int rc = scoreAndRootForLikelihood(tree, d, n, true, &score, extras))
        return rc;
    extras.columns = likelihoodLinkColumns();
    return 0;
}

void installLikelihoodDescribeHooks(const LikelihoodDescribeHooks &hooks) { gLikHooks = hooks; }

void showLinks(Tree *tree, const DataInfo *data, int n, bool brlensOnly, int decimals, const LinkExtras *extras)
{
    (void)n;
    checkTraversalSeq(tree);
    const int dec = decimals >= 0 ? decimals : linkDecimals(brlensOnly);
    double total = 0.0;
    for (TreeNode *p = tree->root->next; p; p = p->next)
        total += p->edge.brlen;
    if (describe.brLens == 2) {
        char sum[64];
        std::snprintf(sum, sizeof sum, "%.*f", dec, total);
        qel_printf("  Sum of branch lengths = %s\n", sum);
        return;
    }
    // Under parsimony the table also shows how far the length of each branch
    // can move among the equally parsimonious reconstructions.
    const bool ranges = !brlensOnly && parsCriterionActive();
    const std::vector<BranchLengthRange> range = ranges ? possibleBranchLengths(tree, data)
                                                        : std::vector<BranchLengthRange>{};
    const LinkColumns columns = extras && !ranges ? extras->columns : LinkColumns::kNone;
    const bool errors = columns == LinkColumns::kStdErr;
    const bool test = errors && extras->zeroLenTest;
    // Heights measured from the root: a node's distance from it, and the
    // rest of the way to the farthest tip.
    std::vector<double> fromRoot;
    double height = 0.0;
    if (columns == LinkColumns::kClusteringLevel || columns == LinkColumns::kRootAndTips) {
        fromRoot.assign(tree->maxNodes, 0.0);
        for (TreeNode *p = tree->root->next; p; p = p->next) {
            const double d = fromRoot[nodePosition(tree, p->anc)] + p->edge.brlen;
            fromRoot[nodePosition(tree, p)] = d;
            if (!p->firstChild)
                height = std::max(height, d);
        }
    }
    const int rule = ranges                                      ? 73
                     : test                                      ? 78
                     : errors                                    ? 57
                     : columns == LinkColumns::kRootAndTips      ? 77
                     : columns == LinkColumns::kClusteringLevel ? 61
                                                                 : 45;
    if (columns == LinkColumns::kRootAndTips) {
        qel_printf("\n                    Connected          Branch        Distance        Distance\n");
        qel_printf("   Node              to node           length       from root         to tips\n");
    } else if (columns == LinkColumns::kClusteringLevel) {
        qel_printf("\n                    Connected          Branch      Clustering\n");
        qel_printf("   Node              to node           length           level\n");
    } else if (errors) {
        qel_printf("\n                    Connected          Branch%s\n", test ? "    Standard    --- L.R. test ---"
                                                                              : "    Standard");
        qel_printf("   Node              to node           length%s\n", test ? "       error    lnL diff      P*"
                                                                            : "       error");
    } else if (ranges) {
        qel_printf("\n                                     Assigned       Minimum       Maximum\n");
        qel_printf("                    Connected          branch      possible      possible\n");
        qel_printf("   Node              to node           length        length        length\n");
    } else {
        qel_printf("\n                    Connected          Branch\n");
        qel_printf("   Node              to node           length\n");
    }
    tableLine(rule, 0);
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
        qel_printf("%s", lengthField(p->edge.brlen, dec, kLinkLengthWidth).c_str());
        if (!fromRoot.empty()) {
            const double d = fromRoot[nodePosition(tree, p)];
            if (columns == LinkColumns::kRootAndTips)
                qel_printf("%s", lengthField(d, dec, kHeightWidth).c_str());
            qel_printf("%s", lengthField(height - d, dec, kHeightWidth).c_str());
        }
        if (errors) {
            const size_t i = static_cast<size_t>(p - tree->nodes);
            const double se = i < extras->stdErr.size() ? extras->stdErr[i] : -1.0;
            if (se < 0.0)
                qel_printf("%12s", "-");
            else
                qel_printf("%s", lengthField(se, dec, 12).c_str());
            if (test) {
                // Twice the difference is a half-and-half mixture of 0 and a
                // chi-square with one degree of freedom at the boundary.
                const double diff = std::max(extras->lnLDiff[i], 0.0);
                const double P = 0.5 * std::erfc(std::sqrt(diff));
                // A difference below the printed precision shows as 0, not -0.
                const double shown = std::fabs(extras->lnLDiff[i]) < 5e-4 ? 0.0 : extras->lnLDiff[i];
                qel_printf("%12.3f", shown);
                if (P < 0.001)
                    qel_printf("%9s", "<0.001");
                else
                    qel_printf("%9.3f", P);
            }
        }
        if (ranges) {
            const BranchLengthRange &r = range[nodePosition(tree, p)];
            qel_printf("%s%s", lengthField(r.min, dec, kRangeWidth).c_str(),
                       lengthField(r.max, dec, kRangeWidth).c_str());
        }
        qel_printf("\n");
    }
    tableLine(rule, 0);
    // Written as the rows are, so that a sum in their range reads alike.
    qel_printf("%-*s%s\n", kLinkLeftWidth, "Sum", lengthField(total, dec, 19).c_str());
    if (test)
        qel_printf("\n   * \bProbability of obtaining a likelihood ratio as large or larger than the observed ratio "
                   "under the null hypothesis that a branch has zero length (%s reoptimization after forcing a "
                   "branch length to zero)\n",
                   extras->zeroLenTest == 2 ? "crude test with no" : "full");
}

int doDescribeTreesCmd()
{
    DataInfo *d = activeDataInfo();
    TreeBuffer *buf = getActiveTreeBuffer();
    const uint32_t inMemory = numTreesInBuffer(buf);
    if (int rc = noTreesAvailable(false, 0, nullptr); rc != 0)
        return rc;
    const bool rooted = areTreesRooted(buf);
    if (checkMinTaxa(d, rooted ? 2 : 3, "Describing ", rooted ? "rooted trees" : "unrooted trees"))
        return 1;
    const bool haveChars = d && (d->flags & kHaveCharacters);
    if (!haveChars && !(d && (d->flags & kHaveDistances)) && !haveUserBranchLengths()) {
        qel_errorMsg(758, "Tree description requires character data, distance data or user-provided branch "
                          "lengths.");
        return 1;
    }
    // Under the distance criterion the lengths are the fit to the matrix,
    // from characters or from a user matrix alone.
    const bool lik = gCriterion == kCriterionLikelihood && haveChars && gLikHooks.score != nullptr;
    const CriterionSearchFxns *fit = !lik && !parsCriterionActive() && (haveChars || (d->flags & kHaveDistances))
                                           ? criterionDescribeFxns(gCriterion)
                                           : nullptr;
    describeWithBrlensOnly = !haveChars && !fit && !lik;
    if (!describeWithBrlensOnly && !fit && !lik && !parsCriterionActive()) {
        qel_errorMsg(0, "Tree descriptions are available only under the parsimony criterion (or for trees with "
                        "user branch lengths and no character data).");
        return 1;
    }
    if (!describeWithBrlensOnly && checkCritRootedness(rooted, kCriterionCurrent) != 0)
        return 1;
    // The list given last holds until another is given (at first, every
    // tree shown).
    Set *&listSet = treeSets[kDescribeTreesTreeSet];
    if (initTreeListSet(&listSet, nullptr, true) != 0 || getTreeList(listSet, true, false) != 0)
        return 1;
    // The file name holds for the one command that gives it.
    specialFlnam[0] = '\0';
    const int got = getCmdParams(OptionSet::kDescribeTrees, ";", nullptr);
    if (got <= 0)
        return got < 0 ? 0 : 1;
    if (lik ? gLikHooks.prepare(d) != 0
        : fit ? prepareData(kPrepDistance, 0, false) != 0
            : !describeWithBrlensOnly && (checkCharStatusUpdate(d) != 0 || checkParsimonySettings(d) != 0 ||
                                          prepareParsimonyData(d) != 0 || checkMinFForTrees(d) != 0))
        return 1;
    if (!rooted && checkRootingOption(d, describeWithBrlensOnly || fit || lik, true, true, false) != 0)
        return 1;

    if (lik && (describe.mprSets || describe.patristic || describe.homoplasy || describe.fValue || describe.diagnose))
        qel_printf("\nNote: \bMPR sets, diagnostics, patristic distances and f values are available only under the "
                   "parsimony criterion.\n");
    if (fit && (describe.xout || describe.mprSets || describe.patristic || describe.homoplasy || describe.fValue ||
                describe.chgList || describe.apoList || describe.diagnose || specialFlnam[0])) {
        qel_printf("\nNote: \bReconstructions, change lists, diagnostics, patristic distances and f values are "
                   "available only under the parsimony criterion.\n");
        specialFlnam[0] = '\0';
    } else if (describeWithBrlensOnly && (describe.xout || describe.mprSets || describe.patristic || describe.homoplasy ||
                                   describe.fValue || describe.chgList || describe.apoList || describe.diagnose ||
                                   specialFlnam[0])) {
        qel_printf("\nNote: \bReconstructions, change lists, diagnostics, patristic distances and f values need "
                   "character data; they are not available for trees described by their user branch lengths "
                   "alone.\n");
        specialFlnam[0] = '\0';
    }

    DescribeRun run{d, {}, describeWithBrlensOnly, false, nullptr, fit, lik};
    run.patristicWanted = !describeWithBrlensOnly && !fit && !lik && (describe.fValue || describe.patristic || describe.homoplasy);
    for (uint32_t k = 0; k < inMemory; k++)
        if (isSetMember(listSet, k) && isTreeVisible(k))  // a filter set since may hide some
            run.list.push_back(k + 1);
    if (run.list.empty())
        for (uint32_t k = 0; k < inMemory; k++)
            if (isTreeVisible(k))
                run.list.push_back(k + 1);

    if (specialFlnam[0]) {
        int openStatus = 1;
        run.ancStates = openAuxOutStream(specialFlnam, gReplaceFile != 0, false, &openStatus);
        if (!run.ancStates) {
            specialFlnam[0] = '\0';
            return openStatus;
        }
    }

    qel_printf("\nTree description:\n\n");
    indentOutput(2);
    if (!rooted) {
        if (rooting.rootMethod == kRootLundberg)
            qel_printf("Unrooted tree(s) rooted using Lundberg method (AncStates=%s)\n", ancStatesName());
        else if (rooting.rootMethod == kRootMidpoint)
            qel_printf("Unrooted tree(s) rooted using midpoint method\n");
        else {
            qel_printf("Unrooted tree(s) rooted using outgroup method\n");
            noteOutgroupStatus(d, static_cast<uint32_t>(run.list.size()));
        }
    }
    if (!describeWithBrlensOnly) {
        char text[256];
        qel_printf("Optimality criterion = \b%s\n", makeFullCriterionString(text, sizeof text));
        if (!fit && !lik)
            qel_printf("  Character-state optimization: %s\n", optimizationName());
        if (rooted && !fit && !lik)
            qel_printf("%*sAncStates = \"%s\"\n", 32, "", ancStatesName());
    }
    indentOutput(-2);
    int status = runOutputThread(describeOutputProc, &run);
    if (run.ancStates) {
        const bool written = closeAuxOutStream(run.ancStates) == 0;
        if (!written) {
            qel_errorMsg(0, "Reconstructed ancestral states could not be written to file \"%s\".", specialFlnam);
            status = status ? status : 1;
        } else if (status == 0) {
            qel_printf("\nReconstructed ancestral states written to file \"%s\"\n", specialFlnam);
        }
        specialFlnam[0] = '\0';
    }
    clearStatusText();
    describeWithBrlensOnly = false;
    return status;
}

#include "trees/drawtree.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_output.h"
#include "cli/qel_cmdline.h"
#include "data/vorn_data.h"
#include "trees/roottree.h"
#include "trees/treebuf.h"
#include "trees/treebuf_extras.h"
#include "trees/treeedit.h"

namespace {

DrawStateStringFxn gStateString = nullptr;
OptimizeTreeFxn gOptimize = nullptr;
bool gAgreeTaxonNumbers = false;
bool gColorsPermitted = false;
bool gColorNoteShown[3] = {false, false, false};

constexpr uint32_t kTruncatedLabel = 32;
constexpr int kMinDrawingWidth = 20;

struct TreeDeleter {
    void operator()(Tree *t) const { destroyTree(t, false); }
};

bool isCharPlot(int mode) { return mode == kDrawCharPlot || mode == kDrawCharPlotPhylogram; }
bool isPhylogram(int mode) { return mode == kDrawPhylogram || mode == kDrawCharPlotPhylogram; }

uint32_t digits(uint32_t n)
{
    uint32_t d = 1;
    while (n >= 10) {
        n /= 10;
        d++;
    }
    return d;
}

struct Drawing {
    Tree *tree;
    int mode;
    uint32_t character;
    bool labelInternal;
    bool taxNums;
    const DataInfo *data;
    std::vector<double> x, y;
    std::vector<int> col, row;
    uint32_t leaves = 0;
    uint32_t labelWidth = 0;

    uint32_t pos(const TreeNode *n) const { return nodePosition(tree, n); }
    bool isLeaf(const TreeNode *n) const { return !n->firstChild; }

    const char *label(const TreeNode *n) const
    {
        if (n->index < 0)
            return "";
        const auto t = static_cast<uint32_t>(n->index);
        const char *s = nullptr;
        if (mode == kDrawConstraint) {
            const TreeDataHooks &h = treeDataHooks();
            s = h.taxonLabel ? h.taxonLabel(data, t) : nullptr;
        } else {
            s = taxLabelForMainTreeBuf(data, t);
        }
        return s ? s : "";
    }

    // The number shown beside a tip: a tree buffer with labels of its own
    // (species trees) numbers its tips itself; otherwise the taxon's number
    // in the data, deleted taxa counted.
    uint32_t number(const TreeNode *n) const
    {
        const TreeBuffer *buf = mode == kDrawConstraint ? nullptr : getMainTreeBuffer(data);
        if (buf && buf->labels && n->index >= 0 && static_cast<uint32_t>(n->index) < numStringListItems(buf->labels))
            return static_cast<uint32_t>(n->index) + 1;
        return origNodeNum(n, tree, data);
    }

    const char *stateString(const TreeNode *n) const
    {
        const char *s = gStateString ? gStateString(n, character, data) : nullptr;
        return s ? s : "";
    }

    double width(const TreeNode *n) const
    {
        if (!isPhylogram(mode))
            return 1.0;
        double len = n->edge.brlen;
        if (!(tree->flags & kTreeRootedAtAnc)) {
            if (n == tree->rootEdgeNode[0] && tree->rootEdgeNode[1])
                len = tree->rootEdgeLen[0];
            else if (n == tree->rootEdgeNode[1] && tree->rootEdgeNode[0])
                len = tree->rootEdgeLen[1];
        }
        return len == kMissingBrlen ? 0.0 : std::fabs(len);
    }
};

void put(std::vector<uint8_t> &cells, int at, uint8_t code)
{
    if (at < 0 || static_cast<size_t>(at) >= cells.size())
        return;
    uint8_t &c = cells[static_cast<size_t>(at)];
    if (code >= 16)
        c = code;
    else if (c < 16)
        c |= code;
}

void overwrite(std::string &line, int at, const std::string &text)
{
    at = std::max(at, 0);
    if (line.size() < at + text.size())
        line.resize(at + text.size(), ' ');
    line.replace(static_cast<size_t>(at), text.size(), text);
}

std::string internalLabel(const Drawing &d, const TreeNode *n)
{
    char buf[64];
    if (isCharPlot(d.mode)) {
        const bool bifurcatingRootedRoot =
            !n->anc && (d.tree->flags & kTreeRootedAtAnc) && n->firstChild && n->firstChild->nextSib;
        return bifurcatingRootedRoot ? std::string() : std::string(d.stateString(n));
    }
    if (d.mode == kDrawSupport) {
        double v = n->edge.support;
        if (!n->anc && d.tree->rootEdgeNode[0] && d.tree->rootEdgeNode[1])
            v = d.tree->rootEdgeNode[0]->edge.support + d.tree->rootEdgeNode[1]->edge.support;
        if (v <= 0.0 || v == DBL_MAX)
            return {};
        std::snprintf(buf, sizeof buf, "%.0f", v);
        return buf;
    }
    if (!n->anc && countChildren(n) < 3)
        return {};
    std::snprintf(buf, sizeof buf, "%u", nodeNum(n, d.tree));
    return buf;
}

}  // namespace

void setDrawStateStringFxn(DrawStateStringFxn fxn) { gStateString = fxn; }
void setDrawAgreeTaxonNumbers(bool on) { gAgreeTaxonNumbers = on; }
void setDrawOptimizeFxn(OptimizeTreeFxn fxn) { gOptimize = fxn; }

void drawTree(Tree *source, int mode, uint32_t character, bool labelInternal, const DataInfo *data)
{
    if (!source->root || !source->root->firstChild) {
        qel_printf("(tree has no terminal taxa)\n");
        return;
    }
    // Drawing reorders and may reroot: it works on a copy.
    std::unique_ptr<Tree, TreeDeleter> copy(createTreeForTaxa(source->ntax, source->activeTaxa, false));
    if (!copy || copyTree(source, copy.get()) != 0)
        return;
    Tree *tree = copy.get();
    tree->tipBound = source->tipBound;
    for (uint32_t p = 0; p < tree->maxNodes; p++)
        tree->nodes[p].flag = source->nodes[p].flag;

    Drawing d{tree, mode, character, labelInternal, false, data, {}, {}, {}, {}};
    d.taxNums = treeDraw.showTaxNum || (mode == kDrawAgreement && gAgreeTaxonNumbers) ||
                (mode == kDrawSupport && labelInternal);

    static constexpr int kOrderOf[] = {kOrderByLowestTaxon, kOrderSmallFirst, kOrderLargeFirst, kOrderAlpha};
    if (treeDraw.tOrder != kTreeOrderStandard && treeDraw.tOrder <= kTreeOrderAlphabet)
        orderTree(tree, kOrderOf[treeDraw.tOrder], data);

    TreeNode *root = tree->root;
    if (!(tree->flags & kTreeRootedAtAnc) && !root->firstChild->nextSib && root->index >= 0 &&
        static_cast<uint32_t>(root->index) < tree->tipBound) {
        rerootAtFirstFork(tree);
        tree->root->edge.brlen = 0.0;
    }
    setTraversalSeq(tree);
    root = tree->root;

    const uint32_t m = tree->maxNodes;
    d.x.assign(m, 0.0);
    d.y.assign(m, 0.0);
    d.col.assign(m, 0);
    d.row.assign(m, 0);
    double maxX = 0.0;
    for (TreeNode *n = root; n; n = n->next) {
        if (n->anc)
            d.x[d.pos(n)] = d.x[d.pos(n->anc)] + d.width(n);
        maxX = std::max(maxX, d.x[d.pos(n)]);
        if (d.isLeaf(n))
            d.y[d.pos(n)] = d.leaves++;
    }
    auto lastChild = [](const TreeNode *n) {
        const TreeNode *c = n->firstChild;
        while (c->nextSib)
            c = c->nextSib;
        return c;
    };
    for (TreeNode *n = tree->tail; n; n = n->prev) {
        if (d.isLeaf(n))
            continue;
        d.y[d.pos(n)] = 0.5 * (d.y[d.pos(n->firstChild)] + d.y[d.pos(lastChild(n))]);
        if (!isPhylogram(mode)) {
            double lowest = maxX;
            for (TreeNode *c = n->firstChild; c; c = c->nextSib)
                lowest = std::min(lowest, d.isLeaf(c) ? maxX : d.x[d.pos(c)]);
            d.x[d.pos(n)] = lowest - 1.0;
        }
    }
    if (!isPhylogram(mode))
        for (TreeNode *n = root; n; n = n->next)
            if (d.isLeaf(n))
                d.x[d.pos(n)] = maxX;
    if (maxX == 0.0)
        maxX = 1.0;

    // Widths: labels, state strings and taxon numbers share the line.
    uint32_t longest = 0, widestState = 0, largestTaxon = 0;
    for (TreeNode *n = root; n; n = n->next) {
        if (!d.isLeaf(n))
            continue;
        longest = std::max(longest, static_cast<uint32_t>(std::strlen(d.label(n))));
        if (isCharPlot(mode))
            widestState = std::max(widestState, static_cast<uint32_t>(std::strlen(d.stateString(n))));
        largestTaxon = std::max(largestTaxon, origNodeNum(n, tree, data));
    }
    if (!treeDraw.taxLabels)
        longest = std::min(longest, kTruncatedLabel);
    int L = static_cast<int>(longest);
    const int W = static_cast<int>(getOutputLineLength());
    int D = W - L - 1;
    if (isCharPlot(mode))
        D -= 1 + static_cast<int>(widestState);
    if (d.taxNums)
        D = W - L - 3 - static_cast<int>(digits(largestTaxon));
    if (D < kMinDrawingWidth) {
        L = std::max(0, L - (kMinDrawingWidth - D));
        D = kMinDrawingWidth;
    }

    for (TreeNode *n = tree->tail; n; n = n->prev) {
        const uint32_t k = d.pos(n);
        if (treeDraw.tCompress) {
            int r = static_cast<int>(std::floor(d.y[k] + 0.5));
            if (!d.isLeaf(n) && d.row[d.pos(n->firstChild)] == r)
                r++;
            d.row[k] = r;
        } else {
            d.row[k] = static_cast<int>(std::floor(2.0 * d.y[k] + 0.5));
        }
        d.col[k] = static_cast<int>(std::floor(d.x[k] * (D - 1) / maxX + 0.5));
    }
    if (tree->flags & kTreeRootedAtAnc)
        d.row[d.pos(root)] = d.row[d.pos(root->firstChild)];

    const int lines = treeDraw.tCompress ? static_cast<int>(d.leaves) : 2 * static_cast<int>(d.leaves) - 1;
    std::vector<uint8_t> cells;
    for (int r = 0; r < lines; r++) {
        if (getAbortedStatus() != 0)
            break;
        cells.assign(static_cast<size_t>(D) + 1, 0);
        std::string tipText;
        int tipCol = -1;
        for (TreeNode *n = root; n; n = n->next) {
            const uint32_t k = d.pos(n);
            if (d.row[k] == r && n->anc) {
                const int a = d.col[d.pos(n->anc)], c = d.col[k];
                if (a != c) {
                    if (n->flag) {
                        for (int i = a; i <= c; i++)
                            put(cells, i, 16);
                    } else {
                        const bool dotted = isPhylogram(mode) && n->edge.brlen < 0.0 && n->edge.brlen != kMissingBrlen;
                        put(cells, a, 2);
                        for (int i = a + 1; i < c; i++)
                            put(cells, i, dotted ? 17 : 10);
                        put(cells, c, 8);
                    }
                }
            }
            if (d.row[k] == r && d.isLeaf(n)) {
                put(cells, d.col[k], 2);
                std::string name(d.label(n));
                if (name.size() > static_cast<size_t>(L))
                    name.resize(static_cast<size_t>(L));
                char buf[64];
                if (isCharPlot(mode)) {
                    tipText = std::string(" ") + d.stateString(n) + " " + name;
                } else if (d.taxNums) {
                    std::snprintf(buf, sizeof buf, "(%u)", d.number(n));
                    tipText = " " + name + buf;
                } else {
                    tipText = " " + name;
                }
                tipCol = d.col[k];
            }
            if (!d.isLeaf(n)) {
                const int first = d.row[d.pos(n->firstChild)], last = d.row[d.pos(lastChild(n))];
                if (first <= r && r <= last) {
                    const bool heavyRoot = !n->anc && n->flag;
                    if (r > first)
                        put(cells, d.col[k], heavyRoot ? 16 : 1);
                    if (r < last)
                        put(cells, d.col[k], heavyRoot ? 16 : 4);
                }
            }
        }
        std::string line(cells.size(), ' ');
        for (size_t i = 0; i < cells.size(); i++)
            line[i] = grafChar[cells[i]];
        if (labelInternal) {
            for (TreeNode *n = root; n; n = n->next) {
                const uint32_t k = d.pos(n);
                if (d.isLeaf(n) || d.row[k] != r)
                    continue;
                const std::string text = internalLabel(d, n);
                if (text.empty())
                    continue;
                const auto len = static_cast<int>(text.size());
                int at = d.col[k] - len + 1;
                if (d.mode == kDrawSupport && n->anc)
                    at = (d.col[d.pos(n->anc)] + d.col[k] + 1 - len) / 2;
                overwrite(line, at, text);
            }
        }
        if (tipCol >= 0) {
            line.resize(static_cast<size_t>(tipCol) + 1);
            line += tipText;
        }
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        qel_printf("%s\n", line.c_str());
    }
}

int prepTreeForDrawing(Tree *tree, DataInfo *data, uint32_t treeNumber, bool alreadyLoaded, bool showNote,
                       bool optimize, bool userBrLens, bool distribute, bool *outOptimized)
{
    if (outOptimized)
        *outOptimized = false;
    if (!(alreadyLoaded && optimize) && getTree(nullptr, treeNumber, tree) != 0)
        return 1;
    const TreeDataHooks &h = treeDataHooks();
    const bool userLens = userBrLens || (h.mustUseUserBranchLens && h.mustUseUserBranchLens());
    if (optimize && gOptimize) {
        if (int rc = gOptimize(tree, data, treeNumber, userLens))
            return rc;
        if (outOptimized)
            *outOptimized = true;
    } else if (!(tree->flags & kTreeRootedAtAnc)) {
        if (int rc = rootTree(tree, data, treeNumber, showNote, false, userLens))
            return rc;
    }
    if (distribute)
        setBrlensForRootChildren(tree, true, false);
    return 0;
}

bool setTreeColorsPermitted(bool on)
{
    const bool old = gColorsPermitted;
    gColorsPermitted = on;
    return old;
}

namespace {

int colorCmd(int which, const char *name)
{
    if (!gColorNoteShown[which]) {
        gColorNoteShown[which] = true;
        qel_printf("\nNote: \"%s\" command is ignored in non-GUI versions.\n\n", name);
    }
    skipRestOfCmd();
    return 0;
}

}  // namespace

int doTipColorCmd() { return colorCmd(0, "TipColor"); }
int doTaxColorCmd() { return colorCmd(1, "TaxColor"); }
int doSubtreeColorCmd() { return colorCmd(2, "SubtreeColor"); }

#include "search/describe_matrices.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <string>

#include "data/data_settings.h"
#include "data/printx.h"
#include "data/vorn_data.h"
#include "data/vorn_util.h"
#include "parsimony/pars_init.h"
#include "parsimony/pars_util.h"
#include "qel/qel_auxout.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_output.h"
#include "qel/qel_oututil.h"
#include "trees/tree_settings.h"
#include "trees/treeutil.h"

namespace {

constexpr int kMatrixLabelLimit = 32;

bool isTaxonNode(const TreeNode *n, const DataInfo *d)
{
    return isActiveTaxonIndex(d, n->index);
}

// Taxa on the tree in taxon order.
std::vector<const TreeNode *> taxaOnTree(const Tree *tree, const DataInfo *d)
{
    std::vector<const TreeNode *> tips;
    for (const TreeNode *p = tree->root; p; p = p->next)
        if (isTaxonNode(p, d))
            tips.push_back(p);
    std::sort(tips.begin(), tips.end(), [](const TreeNode *a, const TreeNode *b) { return a->index < b->index; });
    return tips;
}

// Internal nodes (not the ancestor) in the order of their numbers.
std::vector<const TreeNode *> internalNodes(const Tree *tree, const DataInfo *d)
{
    std::vector<const TreeNode *> nodes;
    for (const TreeNode *p = tree->root; p; p = p->next)
        if (p->firstChild && p->index >= 0 && !isTaxonNode(p, d))
            nodes.push_back(p);
    std::sort(nodes.begin(), nodes.end(),
              [tree](const TreeNode *a, const TreeNode *b) { return nodeNum(a, tree) < nodeNum(b, tree); });
    return nodes;
}

int labelWidth(const std::vector<const TreeNode *> &tips, const DataInfo *d, size_t atLeast)
{
    size_t w = atLeast;
    for (const TreeNode *t : tips)
        w = std::max(w, std::min<size_t>(kMatrixLabelLimit, std::strlen(getTaxLabel(d, t->index))));
    return static_cast<int>(w);
}

// The symbol of a multistate set when an equate stands for it, else 0.
int equateFor(uint64_t bits, const DataInfo *d) { return statesToEquate(bits, d->parsSymbols, -1, d); }

// A node's states for display. A character left out of the packed data
// (constant or all missing) has no reconstruction: every node holds the
// state its taxa share.
uint64_t nodeStates(const Tree *tree, const DataInfo *d, const TreeNode *n, uint32_t c, bool mpr)
{
    if (isTaxonNode(n, d))
        return getXijAsBits(d, n->index, c, nullptr);
    if (charInPackedData(d, c))
        return getStatesOrMPRset(d, n, c, mpr);
    uint64_t shared = parsAllStates(d);
    for (const TreeNode *p = tree->root; p; p = p->next)
        if (isTaxonNode(p, d) && (getXijAsBits(d, p->index, c, nullptr) & shared))
            shared &= getXijAsBits(d, p->index, c, nullptr);
    return shared;
}

}  // namespace

int showReconMatrix(Tree *tree, const DataInfo *d, ReconMatrix mode,
                    const std::function<int64_t(const TreeNode *, uint32_t)> &internalStates)
{
    MatrixDisplay m;
    m.mode = static_cast<MatrixMode>(mode);
    std::vector<const TreeNode *> nodes;
    if (mode == ReconMatrix::Terminal || mode == ReconMatrix::Both)
        for (const TreeNode *t : taxaOnTree(tree, d)) {
            m.rows.push_back({getTaxLabel(d, static_cast<uint32_t>(t->index)), t->index});
            nodes.push_back(t);
        }
    if (mode != ReconMatrix::Terminal)
        for (const TreeNode *n : internalNodes(tree, d)) {
            m.rows.push_back({std::to_string(nodeNum(n, tree)), -1});
            nodes.push_back(n);
        }
    m.states = [&](size_t row, uint32_t c) -> uint64_t {
        if (internalStates && !isTaxonNode(nodes[row], d)) {
            const int64_t s = internalStates(nodes[row], c);
            return s < 0 ? parsAllStates(d) : static_cast<uint64_t>(s);
        }
        return nodeStates(tree, d, nodes[row], c, mode == ReconMatrix::MprSets);
    };
    return showMatrixOutputProc(m, d);
}

void showPairwiseTaxaMatrix(const std::vector<double> &m, const Tree *tree, const DataInfo *d, Triangles tri,
                            const char *lowerCaption, const char *upperCaption, const char *title, int width,
                            int decimals)
{
    const std::vector<const TreeNode *> tips = taxaOnTree(tree, d);
    if (tips.empty())
        return;
    const size_t n = activeTaxonCount(d);
    const int lw = labelWidth(tips, d, 0);
    const int head = lw + 4;
    const size_t fit = maxOutputColumns(static_cast<uint32_t>(width), static_cast<uint32_t>(head));
    const bool both = tri == Triangles::Both;
    const int lowerDecimals = both ? static_cast<int>(gPars.lengthDecimals) : decimals;
    for (size_t from = 0; from < tips.size(); from += fit) {
        const size_t to = std::min(tips.size(), from + fit);
        qel_printf("\n%s%s\n", title, from ? " (continued)" : "");
        if (both)
            qel_printf("\n   Below diagonal: %s\n   Above diagonal: %s\n", lowerCaption, upperCaption);
        qel_printf("\n%*s", head, "");
        for (size_t col = from; col < to; col++)
            qel_printf("%*d", width, tips[col]->index + 1);
        qel_printf("\n");
        for (size_t r = both ? 0 : from; r < tips.size(); r++) {
            if (getAbortedStatus())
                return;
            const auto i = static_cast<size_t>(tips[r]->index);
            qel_printf("%3zu %-*.*s", i + 1, lw, lw, getTaxLabel(d, tips[r]->index));
            const size_t last = both ? to : std::min(to, r + 1);
            for (size_t col = from; col < last; col++) {
                const auto j = static_cast<size_t>(tips[col]->index);
                if (i == j) {
                    qel_printf("%*c", width, '-');
                    continue;
                }
                const bool above = i < j;
                const double v = tri == Triangles::Upper ? m[j * n + i] : m[i * n + j];
                qel_printf("%*.*f", width, above ? decimals : lowerDecimals, v);
            }
            qel_printf("\n");
        }
    }
}

int saveReconToFile(Tree *tree, const DataInfo *d, uint32_t treeNumber,
                    const std::function<int64_t(const TreeNode *, uint32_t)> &internalStates)
{
    auxPrintf("Reconstructed ancestral states for tree %u\n", treeNumber);
    std::vector<uint32_t> chars;
    for (uint32_t c = 0; c < d->nchar; c++)
        if (!(d->status[c] & kCharExcluded))
            chars.push_back(c);
    const std::vector<const TreeNode *> nodes = internalNodes(tree, d);
    uint32_t largest = 0;
    for (const TreeNode *p : nodes)
        largest = std::max(largest, nodeNum(p, tree));
    const int field = static_cast<int>(std::to_string(largest).size()) + 7;
    const size_t perLine = describe.charsPerLine ? describe.charsPerLine
                           : describe.interleaved ? 60
                                                  : std::max<size_t>(1, chars.size());
    const size_t block = describe.interleaved ? perLine : std::max<size_t>(1, chars.size());
    const uint64_t all = parsAllStates(d);
    bool unmatched = false;
    for (size_t from = 0; from < chars.size(); from += block) {
        if (from)
            auxPutNewline();
        const size_t to = std::min(chars.size(), from + block);
        for (const TreeNode *p : nodes) {
            char name[32];
            std::snprintf(name, sizeof name, "Node_%u", nodeNum(p, tree));
            auxPrintf("%-*s", field, name);
            for (size_t k = from; k < to; k++) {
                if (k > from && (k - from) % perLine == 0)
                    auxPrintf("\n%*s", field, "");
                // A character without a likelihood pattern is unknown there.
                const int64_t ml = internalStates ? internalStates(p, chars[k]) : 0;
                const uint64_t set = !internalStates ? nodeStates(tree, d, p, chars[k], describe.showAmbigs != 0)
                                     : ml < 0       ? all
                                                    : static_cast<uint64_t>(ml);
                char sym = '?';
                if (!set) {
                    sym = '#';
                } else if ((set & all) == all) {
                    sym = '?';
                } else if (std::popcount(set) == 1) {
                    sym = parsStateSymbol(std::countr_zero(set), d);
                } else if (const int e = equateFor(set, d)) {
                    sym = static_cast<char>(e);
                } else {
                    unmatched = true;
                }
                auxPutc(sym);
            }
            auxPutNewline();
            if (auxFileError())
                return 1;
        }
    }
    auxPutNewline();
    if (unmatched)
        qel_printf("\nNote: Multistate ambiguities with no matching \"equate\" definition have been converted to "
                   "'?'\n");
    return 0;
}

#include "search/describe_matrices.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <string>

#include "data/data_settings.h"
#include "data/vorn_data.h"
#include "data/vorn_util.h"
#include "parsimony/packx.h"
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
    return n->index >= 0 && static_cast<uint32_t>(n->index) < d->ntax;
}

uint64_t allStates(const DataInfo *d)
{
    const size_t k = std::clamp<size_t>(std::strlen(d->symbols), 1, 64);
    return k >= 64 ? ~uint64_t{0} : (uint64_t{1} << k) - 1;
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
int equateFor(uint64_t bits, const DataInfo *d) { return statesToEquate(bits, d->symbols, -1, d); }

// A node's states for display. A character left out of the packed data
// (constant or all missing) has no reconstruction: every node holds the
// state its taxa share.
uint64_t nodeStates(const Tree *tree, const DataInfo *d, const TreeNode *n, uint32_t c, bool mpr)
{
    if (isTaxonNode(n, d))
        return getXijAsBits(d, n->index, c, nullptr);
    const PackedData *pd = packedData(d);
    if (pd && c < pd->slots.size() && pd->slots[c].width)
        return getStatesOrMPRset(d, n, c, mpr);
    uint64_t shared = allStates(d);
    for (const TreeNode *p = tree->root; p; p = p->next)
        if (isTaxonNode(p, d) && (getXijAsBits(d, p->index, c, nullptr) & shared))
            shared &= getXijAsBits(d, p->index, c, nullptr);
    return shared;
}

struct MatrixRow {
    std::string label;
    std::vector<uint64_t> cells;
    std::vector<char> gaps;  // a taxon's gap cells, shown by the gap symbol
};

void printHeader(const char *title, const char *heading, bool first, int lw, int cw,
                 const std::vector<uint32_t> &chars)
{
    qel_printf(first ? "\n%s:\n" : "\n%s (continued):\n", title);
    const int digits = static_cast<int>(std::to_string(chars.back() + 1).size());
    for (int line = 0; line < digits; line++) {
        qel_printf("%-*s  ", lw, line == digits - 1 ? heading : "");
        for (uint32_t c : chars) {
            const std::string num = std::to_string(c + 1);
            const int skip = digits - static_cast<int>(num.size());
            qel_printf("%*c", cw, line < skip ? ' ' : num[static_cast<size_t>(line - skip)]);
        }
        qel_printf("\n");
    }
    tableLine(lw + 2 + cw * static_cast<int>(chars.size()), 0);
}

// One row, its multistate cells written down their columns.
void printRow(const MatrixRow &row, const DataInfo *d, int lw, int cw)
{
    std::vector<uint64_t> left = row.cells;
    const uint64_t all = allStates(d);
    bool firstLine = true;
    for (bool more = true; more;) {
        more = false;
        qel_printf("%-*.*s  ", lw, lw, firstLine ? row.label.c_str() : "");
        for (size_t k = 0; k < left.size(); k++) {
            uint64_t &cell = left[k];
            char sym = ' ';
            if (firstLine && row.gaps[k]) {
                sym = row.gaps[k];
                cell = 0;
            } else if (firstLine && (cell & all) == all) {
                sym = '?';
                cell = 0;
            } else if (firstLine && cmFmt.cmShowEq && std::popcount(cell) > 1 && equateFor(cell, d)) {
                sym = static_cast<char>(equateFor(cell, d));
                cell = 0;
            } else if (cell) {
                const int s = std::countr_zero(cell);
                sym = s < static_cast<int>(std::strlen(d->symbols)) ? d->symbols[s] : '?';
                cell &= cell - 1;
            }
            more = more || cell;
            qel_printf("%*c", cw, sym);
        }
        qel_printf("\n");
        firstLine = false;
    }
}

}  // namespace

int showReconMatrix(Tree *tree, const DataInfo *d, ReconMatrix mode)
{
    static constexpr const char *kTitles[] = {"", "Input data matrix", "Reconstructed states for internal nodes",
                                              "Data matrix and reconstructed states for internal nodes",
                                              "Possible character-state assignments to internal nodes"};
    static constexpr const char *kHeadings[] = {"", "Taxon", "Node", "Taxon/Node", "Node"};
    const auto m = static_cast<uint32_t>(mode);
    std::vector<uint32_t> chars;
    for (uint32_t c = 0; c < d->nchar; c++)
        if (!(d->status[c] & kCharExcluded))
            chars.push_back(c);
    if (chars.empty()) {
        qel_printf("\nNo characters are currently included.\n");
        return 0;
    }
    const std::vector<const TreeNode *> tips = taxaOnTree(tree, d);
    std::vector<const TreeNode *> rows;
    if (mode == ReconMatrix::Terminal || mode == ReconMatrix::Both)
        rows = tips;
    if (mode != ReconMatrix::Terminal)
        for (const TreeNode *n : internalNodes(tree, d))
            rows.push_back(n);
    const int lw = labelWidth(tips, d, std::strlen(kHeadings[m]));
    const int cw = std::clamp<int>(cmFmt.cmColWidth, 1, 64);
    const size_t fit = maxOutputColumns(static_cast<uint32_t>(cw), static_cast<uint32_t>(lw + 2));
    for (size_t from = 0; from < chars.size(); from += fit) {
        const auto first = chars.begin() + static_cast<std::ptrdiff_t>(from);
        const auto last = first + static_cast<std::ptrdiff_t>(std::min(fit, chars.size() - from));
        const std::vector<uint32_t> chunk(first, last);
        printHeader(kTitles[m], kHeadings[m], from == 0, lw, cw, chunk);
        for (const TreeNode *n : rows) {
            if (getAbortedStatus())
                return 2;
            MatrixRow row;
            const bool taxon = isTaxonNode(n, d);
            row.label = taxon ? getTaxLabel(d, n->index) : std::to_string(nodeNum(n, tree));
            for (uint32_t c : chunk) {
                row.cells.push_back(nodeStates(tree, d, n, c, mode == ReconMatrix::MprSets));
                const bool gap = taxon && d->gapSymbol && isGap(n->index, c, d);
                row.gaps.push_back(gap ? static_cast<char>(d->gapSymbol) : '\0');
            }
            printRow(row, d, lw, cw);
        }
    }
    return 0;
}

void showPairwiseTaxaMatrix(const std::vector<double> &m, const Tree *tree, const DataInfo *d, Triangles tri,
                            const char *lowerCaption, const char *upperCaption, const char *title, int width,
                            int decimals)
{
    const std::vector<const TreeNode *> tips = taxaOnTree(tree, d);
    if (tips.empty())
        return;
    const size_t n = d->ntax;
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

int saveReconToFile(Tree *tree, const DataInfo *d, uint32_t treeNumber)
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
    const uint64_t all = allStates(d);
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
                const uint64_t set = nodeStates(tree, d, p, chars[k], describe.showAmbigs != 0);
                char sym = '?';
                if (!set) {
                    sym = '#';
                } else if ((set & all) == all) {
                    sym = '?';
                } else if (std::popcount(set) == 1) {
                    const int s = std::countr_zero(set);
                    sym = s < static_cast<int>(std::strlen(d->symbols)) ? d->symbols[s] : '?';
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

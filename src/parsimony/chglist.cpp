#include "parsimony/chglist.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "data/usertypes.h"
#include "data/vorn_data.h"
#include "data/vorn_util.h"
#include "parsimony/fitindex.h"
#include "parsimony/lenrange.h"
#include "parsimony/packx.h"
#include "parsimony/pars_init.h"
#include "parsimony/pars_util.h"
#include "parsimony/stmx.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_output.h"
#include "qel/qel_oututil.h"
#include "qel/qel_progress.h"
#include "trees/treeedit.h"
#include "trees/treeutil.h"

namespace {

constexpr int kStepsWidth = 8;
// A label, a blank and a one-symbol state.
constexpr size_t kPieceSize = 2 * kChgLabelLimit + 80;

// Appends one bounded piece to a line; nothing past kPieceSize - 1 characters
// of one piece is kept, so a line grows only by what its fields allow.
void appendf(std::string &line, const char *format, ...) __attribute__((format(printf, 2, 3)));
void appendf(std::string &line, const char *format, ...)
{
    char piece[kPieceSize];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(piece, sizeof piece, format, ap);
    va_end(ap);
    line += piece;
}

bool listed(const DataInfo *d, uint32_t c) { return !(d->status[c] & (kCharExcluded | kCharConstant)); }

// A character's label cut at the limit, or its number when it has none.
const char *charText(const DataInfo *d, uint32_t c, char (&buf)[kChgLabelLimit + 1])
{
    const char *label = getCharLabel(d, c);
    if (!label || std::strcmp(label, "-") == 0)
        std::snprintf(buf, sizeof buf, "%u", c + 1);
    else
        strcpy_n(buf, label, sizeof buf);
    return buf;
}

const char *nodeText(const Tree *tree, const DataInfo *d, const TreeNode *n, char (&buf)[kChgLabelLimit + 1])
{
    return nodeLabel(n, tree, d, buf, sizeof buf);
}

// A taxon's node, also when the tree is held at it (a tip with a child).
bool isTaxonNode(const TreeNode *n, const DataInfo *d)
{
    return isActiveTaxonIndex(d, n->index);
}

// A taxon's observed cell stands for its assigned state and its MPR set. A
// cell read as missing (one that holds every state, when gaps count as
// missing) is missing here too, as the lengths read it: it never costs a
// change inside the terminal.
uint64_t tipCell(const DataInfo *d, const TreeNode *n, uint32_t c)
{
    return isMissingOrGapMiss(n->index, c, d) ? ~uint64_t{0} : getXijAsBits(d, n->index, c, nullptr);
}
uint64_t assigned(const DataInfo *d, const TreeNode *n, uint32_t c)
{
    return isTaxonNode(n, d) ? tipCell(d, n, c) : getStatesOrMPRset(d, n, c, false);
}
// The hypothetical ancestor a rooted tree hangs from is given, not
// reconstructed: its only possible state is its own cell, and its final-set
// slot holds nothing that belongs to it.
bool isGivenAncestor(const TreeNode *n) { return !n->anc && n->firstChild && !n->firstChild->nextSib; }

// The states a taxon's cell may take as the lengths score it: an ordered,
// Dollo or irreversible cell of several states leaves every state between
// its lowest and highest open ({02} may be 1 at no step).
uint64_t scoredCell(const DataInfo *d, const TreeNode *n, uint32_t c)
{
    const uint64_t cell = tipCell(d, n, c);
    if ((d->status[c] & kCharTypeMask) == kCharOrdered && (cell & (cell - 1)) && cell != ~uint64_t{0})
        return (uint64_t{2} << (63 - std::countl_zero(cell))) - (cell & (~cell + 1));
    const StmChar *sc = stmCharOf(d, c);
    if (!sc || sc->userType || sc->pairs || !(cell & (cell - 1)) || cell == ~uint64_t{0})
        return cell;
    const uint64_t span = stmIndexRawStates(d, c, stmCellIndices(d, c, n->index));
    return span ? span : cell;
}

uint64_t mprSet(const DataInfo *d, const TreeNode *n, uint32_t c)
{
    if (isTaxonNode(n, d))
        return scoredCell(d, n, c);
    return getStatesOrMPRset(d, n, c, !isGivenAncestor(n));
}

// A node's state as shown: a tip's cell (or only the closest state of a
// polymorphic tip), else the assigned state.
std::string stateText(const DataInfo *d, const TreeNode *n, uint32_t c, uint64_t set, uint64_t closest)
{
    char buf[160];
    if (isTaxonNode(n, d) && !(closest && termPoly(n, c, set, d)))
        tipStateString(set, d->parsSymbols, n->index, c, false, d, buf);
    else
        stateString(closest ? closest : set, d->parsSymbols, buf);
    return buf;
}

// A change amount of character c: whole steps, or a real-valued
// stepmatrix's costs with as many decimals as its matrix was given with.
std::string charDiffToStr(const DataInfo *d, uint32_t c, double cost)
{
    int decimals = 0;
    if ((d->status[c] & kCharTypeMask) == kCharUserType && d->userTypes)
        if (const UserType *ut = d->userTypes[c]; ut && !ut->tree && ut->realValued)
            decimals = static_cast<int>(ut->decimals);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, cost);
    return buf;
}

const char *arrow(const CharChange &ch)
{
    if (ch.reversed)
        return ch.unambiguous ? "<=>" : "<->";
    return ch.unambiguous ? "==>" : "-->";
}

struct Layout {
    int label = 9;  // character labels
    int taxon = 9;  // taxon and node labels
    int from = 11;  // the "label state" text before the arrow
    int state = 1;  // the state after the arrow
    bool unknown = false;
};

// Under likelihood there are no within-terminal costs: tips keep their cells.
Layout listLayout(Tree *tree, const DataInfo *d, bool likelihood)
{
    Layout l;
    char buf[kChgLabelLimit + 1];
    for (uint32_t c = 0; c < d->nchar; c++)
        if (listed(d, c))
            l.label = std::max(l.label, static_cast<int>(std::strlen(charText(d, c, buf))));
    l.taxon = static_cast<int>(std::clamp<uint32_t>(longestLabelOnTree(tree, d, 16), 9, 16));
    l.from = l.taxon + 2;
    bool poly = false;
    for (uint32_t c = 0; !likelihood && c < d->nchar; c++) {
        l.unknown = l.unknown || (listed(d, c) && charHasUnknownExtraLength(d, c));
        for (uint32_t t = 0; gPars.msTaxa != 0 && !poly && t < activeTaxonCount(d); t++)
            poly = listed(d, c) && isPolymorphicMST(static_cast<int32_t>(t), c, d);
    }
    l.state = poly ? 20 : 1;
    return l;
}

std::string ciField(const DataInfo *d, uint32_t c)
{
    if (!charInPackedData(d, c) || charLacksBounds(d, c))
        return "   n/a";
    const double len = charLengthOnTree(d, c);
    if (len == 0.0)
        return "      ";
    char buf[32];
    std::snprintf(buf, sizeof buf, " %5.3f", calc1CI(boundMinSteps(c), len));
    return buf;
}

void putLine(const std::string &line) { qel_printf("%s", line.c_str()); }

}  // namespace

uint64_t findClosestState(uint64_t toSet, uint64_t fromSet, uint32_t c, const DataInfo *d, double *outLen)
{
    double best = 0.0;
    uint64_t pick = 0;
    if (uint64_t both = toSet & fromSet) {
        pick = both & (~both + 1);
    } else {
        for (uint64_t t = toSet; t; t &= t - 1) {
            const auto ts = static_cast<uint32_t>(std::countr_zero(t));
            for (uint64_t f = fromSet; f; f &= f - 1) {
                const double cost = stateDiff(static_cast<uint32_t>(std::countr_zero(f)), ts, c, d);
                if (!pick || cost < best) {
                    best = cost;
                    pick = uint64_t{1} << ts;
                }
            }
        }
    }
    if (outLen)
        *outLen = best;
    return pick;
}

uint32_t termPoly(const TreeNode *node, uint32_t c, uint64_t set, const DataInfo *d)
{
    if (gPars.msTaxa == 0 || !isTaxonNode(node, d) || std::popcount(set) < 2 || set == ~uint64_t{0})
        return 0;
    return isPolymorphicMST(node->index, c, d) ? static_cast<uint32_t>(std::popcount(set)) : 0;
}

double getTermSubtreeLen(const DataInfo *d, uint32_t c, uint32_t nStates, uint64_t set, uint32_t /*state*/)
{
    if (nStates < 2 || !set)
        return 0.0;
    if ((d->status[c] & kCharTypeMask) == kCharUnordered)
        return nStates - 1.0;
    const auto lo = static_cast<uint32_t>(std::countr_zero(set));
    const auto hi = static_cast<uint32_t>(63 - std::countl_zero(set));
    return stateDiff(lo, hi, c, d);
}

namespace {

// A polymorphic terminal of a character scored by its costs, met from the
// indices `from`: its branch change and the change inside it, as the tree's
// length splits them (see stmPolyTipChange); false when that is not known.
bool polyTipSplit(const DataInfo *d, uint32_t c, const StmIndexSet &from, CharChange &ch)
{
    double edge = 0.0, within = 0.0;
    StmIndexSet entry;
    if (!stmPolyTipSteps(d, c, ch.to->index, from, &edge, &within, &entry))
        return false;
    ch.cost = edge;
    ch.terminal = within;
    const StmIndexSet start = entry.any() ? entry.lowestOnly() : from.lowestOnly();
    if (const uint64_t raw = stmIndexRawStates(d, c, start))
        ch.toState = raw;
    return true;
}

// A character whose nodes hold pairs of states (a Dollo character whose
// ancestor lies inside its series) is followed by its indices: a node
// derived both ways shows two states, and the steps between it and its
// neighbours are those of the pairs, not of the states shown.
StmIndexSet pairIndices(const DataInfo *d, const TreeNode *n, uint32_t c, bool mpr)
{
    if (isTaxonNode(n, d))
        return stmCellIndices(d, c, n->index);
    if (isGivenAncestor(n))
        return stmCellIndices(d, c, -1);
    return stmRecordIndices(d, nodeSets(n->abm[mpr ? 2 : 0]), c);
}

// The change of such a character on the branch ch (its ends set); false
// when it does not change there.
bool pairChange(const DataInfo *d, uint32_t c, CharChange &ch)
{
    ch.fromSet = assigned(d, ch.from, c);
    ch.toSet = assigned(d, ch.to, c);
    const StmIndexSet from = pairIndices(d, ch.from, c, false), to = pairIndices(d, ch.to, c, false);
    if (from.none() || to.none() || !ch.fromSet || !ch.toSet)
        return false;
    StmIndexSet pick = (from & to).lowestOnly();
    if (pick.none()) {
        int64_t best = kStmImpossible;
        from.forEach([&](uint32_t i) {
            to.forEach([&](uint32_t j) {
                if (const int64_t u = stmIndexChangeUnits(d, c, i, j); u < best) {
                    best = u;
                    ch.cost = stmIndexChangeCost(d, c, i, j);
                    pick = StmIndexSet::single(j);
                }
            });
        });
        if (pick.none())
            return false;
    }
    ch.toState = stmIndexRawStates(d, c, pick);
    if (const uint32_t k = termPoly(ch.to, c, ch.toSet, d); k && !polyTipSplit(d, c, from, ch))
        ch.terminal = getTermSubtreeLen(d, c, k, ch.toSet, static_cast<uint32_t>(std::countr_zero(ch.toState)));
    if (ch.cost <= 0.0 && ch.terminal <= 0.0)
        return false;
    ch.unambiguous = ch.cost > 0.0 && (pairIndices(d, ch.from, c, true) & pairIndices(d, ch.to, c, true)).none();
    return true;
}

// A polymorphic terminal of a character scored by its costs (irreversible,
// Dollo) costs its cheapest tree over its states met in its neighbour's
// state: the least such tree is counted inside it, as the tree's length
// counts it, and the rest is the branch's. The branch ends where that least
// tree begins: with ancestor 2 an irreversible (013) met in 2 takes 2 to 1
// to 0 and 2 to 3 inside, while a Dollo (13) met in a node derived both
// ways, 3 and 0, first loses the step below 1 on its branch.
bool stmPolyTipChange(const DataInfo *d, uint32_t c, CharChange &ch)
{
    const StmChar *sc = stmCharOf(d, c);
    if (!sc)
        return false;
    StmIndexSet from;
    for (uint64_t raw = ch.fromSet; raw; raw &= raw - 1)
        if (const int x = stmIndexOfRaw(d, *sc, static_cast<uint32_t>(std::countr_zero(raw))); x >= 0)
            from.set(static_cast<uint32_t>(x));
    return polyTipSplit(d, c, from, ch);
}

// An ordered polymorphic terminal spans its states: a neighbour inside the
// span but outside the cell meets it there at no step (the terminal's span is
// all it adds), not at the closest of its states.
bool orderedSpanHoldsNeighbour(const DataInfo *d, uint32_t c, CharChange &ch)
{
    if ((d->status[c] & kCharTypeMask) != kCharOrdered || (ch.fromSet & ch.toSet) || std::popcount(ch.fromSet) != 1)
        return false;
    const auto f = static_cast<uint32_t>(std::countr_zero(ch.fromSet));
    const auto lo = static_cast<uint32_t>(std::countr_zero(ch.toSet));
    const auto hi = static_cast<uint32_t>(63 - std::countl_zero(ch.toSet));
    if (f < lo || f > hi)
        return false;
    ch.cost = 0.0;
    ch.toState = ch.fromSet;
    ch.terminal = stateDiff(lo, hi, c, d);
    return true;
}

}  // namespace

std::vector<CharChange> listCharChanges(Tree *tree, const DataInfo *d, uint32_t c, const ReconStates &ml)
{
    std::vector<CharChange> out;
    checkTraversalSeq(tree);
    const bool pairs = !ml && stmHoldsPairs(d, c);
    auto stateOf = [&](const TreeNode *n) -> uint64_t {
        if (!ml || isTaxonNode(n, d))
            return assigned(d, n, c);
        const int64_t s = ml(n, c);
        return s < 0 ? 0 : static_cast<uint64_t>(s);
    };
    for (TreeNode *n = tree->root; n; n = n->next) {
        int rev = 0;
        TreeNode *p = findUnrootedParent(tree, n, &rev);
        // The two root edges are one branch of the unrooted tree: listed once.
        if (!p || (n == tree->rootEdgeNode[1] && tree->rootEdgeNode[0]))
            continue;
        CharChange ch{};
        ch.from = rev ? n : p;
        ch.to = rev ? p : n;
        ch.reversed = rev != 0;
        if (pairs) {
            if (pairChange(d, c, ch))
                out.push_back(ch);
            continue;
        }
        ch.fromSet = stateOf(ch.from);
        ch.toSet = stateOf(ch.to);
        // An ancestor that leaves a Dollo character open may take any of its
        // open states at no step, as the tree's length counts it.
        if (!ml && ch.from == tree->root && ch.from->index < 0)
            if (const uint64_t open = stmOpenDolloAncestor(d, c))
                ch.fromSet = open;
        if (ch.fromSet == 0 || ch.toSet == 0)
            continue;  // a character the likelihood reconstruction has no pattern for
        const uint64_t toSet = ch.toSet;
        // Under parsimony a taxon at either end is met as the lengths score it.
        auto scored = [&](const TreeNode *n, uint64_t set) { return !ml && isTaxonNode(n, d) ? scoredCell(d, n, c) : set; };
        ch.toState = findClosestState(scored(ch.to, toSet), scored(ch.from, ch.fromSet), c, d, &ch.cost);
        if (const uint32_t k = ml ? 0 : termPoly(ch.to, c, toSet, d))
            if (!stmPolyTipChange(d, c, ch) && !orderedSpanHoldsNeighbour(d, c, ch))
                ch.terminal = getTermSubtreeLen(d, c, k, toSet, static_cast<uint32_t>(std::countr_zero(ch.toState)));
        if (ch.cost <= 0.0 && ch.terminal <= 0.0)
            continue;
        // The given ancestor's possible states are those it was taken at above.
        const uint64_t fromMpr = isGivenAncestor(ch.from) ? ch.fromSet : mprSet(d, ch.from, c);
        ch.unambiguous = !ml && ch.cost > 0.0 && !(fromMpr & mprSet(d, ch.to, c));
        out.push_back(ch);
    }
    return out;
}

namespace {

// The lines of one character's change list after its first-line prefix;
// false when the character does not change on the tree.
bool show1ChangeList(Tree *tree, const DataInfo *d, uint32_t c, const Layout &l, const std::string &prefix,
                     const ReconStates &ml)
{
    const std::vector<CharChange> changes = listCharChanges(tree, d, c, ml);
    if (changes.empty())
        return false;
    const std::string indent(prefix.size(), ' ');
    char a[kChgLabelLimit + 1], b[kChgLabelLimit + 1];
    bool first = true;
    for (const CharChange &ch : changes) {
        std::string line = first ? prefix : indent;
        first = false;
        const uint64_t toSet = ch.toSet;
        if (ch.cost > 0.0) {
            // Steps are counted under parsimony only.
            if (!ml && l.unknown)
                appendf(line, "%*s ", kStepsWidth - 1, charDiffToStr(d, c, ch.cost).c_str());
            else if (!ml)
                appendf(line, "%*s", kStepsWidth, charDiffToStr(d, c, ch.cost).c_str());
            char from[128];
            std::snprintf(from, sizeof from, "%s %s", nodeText(tree, d, ch.from, a),
                          stateText(d, ch.from, c, ch.fromSet, 0).c_str());
            appendf(line, " %*s %s ", l.from, from, arrow(ch));
            appendf(line, "%s %s\n", stateText(d, ch.to, c, toSet, ch.toState).c_str(), nodeText(tree, d, ch.to, b));
            putLine(line);
            line = indent;
        }
        if (ch.terminal > 0.0) {
            const bool partly = std::popcount(toSet) >= 3 && l.unknown;
            appendf(line, "%*s%c", kStepsWidth - 1, charDiffToStr(d, c, ch.terminal).c_str(), partly ? '+' : ' ');
            char from[128];
            std::snprintf(from, sizeof from, "%s %s", nodeText(tree, d, ch.to, a),
                          stateText(d, ch.to, c, ch.toState, 0).c_str());
            appendf(line, " %*s %s ", l.from, from, "-->");
            appendf(line, "%s (within terminal)\n", stateText(d, ch.to, c, toSet, 0).c_str());
            putLine(line);
        }
    }
    return true;
}

}  // namespace

void showChangeLists(Tree *tree, const DataInfo *d, const ReconStates &ml)
{
    setStatusText("Outputting change lists...");
    const Layout l = listLayout(tree, d, static_cast<bool>(ml));
    const int scoreColumns = ml ? 0 : 6 + kStepsWidth;
    qel_printf("\nCharacter change lists:\n\n");
    qel_printf("%-*s", l.label, "Character");
    if (ml)
        qel_printf("%*sChanges\n", l.from + 1 - 7, "");
    else
        qel_printf("    CI%*s%*s\n", kStepsWidth, "Steps", l.from + 1, "Changes");
    tableLine(l.label + scoreColumns + 1 + l.from + 5 + l.state + 1 + l.taxon, 0);
    char buf[kChgLabelLimit + 1];
    for (uint32_t c = 0; c < d->nchar; c++) {
        if (!listed(d, c))
            continue;
        if (getAbortedStatus() && confirmAbortRequest())
            break;
        std::string prefix;
        appendf(prefix, "%-*s", l.label, charText(d, c, buf));
        if (!ml)
            prefix += ciField(d, c);
        show1ChangeList(tree, d, c, l, prefix, ml);
    }
    clearStatusText();
}

void showApoLists(Tree *tree, const DataInfo *d, const ReconStates &ml)
{
    setStatusText("Outputting apomorphy lists...");
    const Layout l = listLayout(tree, d, static_cast<bool>(ml));
    // Changes by the branch's lower node, characters in order.
    std::vector<std::vector<std::pair<uint32_t, CharChange>>> byNode(tree->maxNodes);
    for (uint32_t c = 0; c < d->nchar; c++)
        if (listed(d, c))
            for (const CharChange &ch : listCharChanges(tree, d, c, ml)) {
                const TreeNode *lower = ch.reversed ? ch.from : ch.to;
                byNode[nodePosition(tree, lower)].emplace_back(c, ch);
            }
    const int branchWidth = 2 * l.taxon + 6;
    qel_printf("\nApomorphy lists:\n\n");
    qel_printf("%*s%*s%-*s", l.taxon + 4, "Branch", branchWidth - l.taxon - 4, " ", l.label, "Character");
    if (!ml)
        qel_printf("%*s     CI", kStepsWidth, "Steps");
    qel_printf("   Change\n");
    tableLine(branchWidth + l.label + (ml ? 0 : kStepsWidth + 1 + 7) + 2 + 5 + l.state, 0);
    char a[kChgLabelLimit + 1], b[kChgLabelLimit + 1], cl[kChgLabelLimit + 1];
    for (TreeNode *n = tree->root; n; n = n->next) {
        const auto &list = byNode[nodePosition(tree, n)];
        if (list.empty())
            continue;
        if (getAbortedStatus() && confirmAbortRequest())
            break;
        int rev = 0;
        const TreeNode *p = findUnrootedParent(tree, n, &rev);
        const TreeNode *from = rev ? n : p, *to = rev ? p : n;
        std::string head;
        appendf(head, "%*s %s %-*s ", l.taxon, nodeText(tree, d, from, a), rev ? "<->" : "-->", l.taxon,
                nodeText(tree, d, to, b));
        const std::string indent(head.size(), ' ');
        bool first = true;
        for (const auto &[c, ch] : list) {
            std::string line = first ? head : indent;
            first = false;
            const double cost = ch.cost + ch.terminal;
            const uint64_t toSet = ch.toSet;
            if (ml) {
                appendf(line, "%-*s  %s %s ", l.label, charText(d, c, cl),
                        stateText(d, ch.from, c, ch.fromSet, 0).c_str(), arrow(ch));
                appendf(line, "%s\n", stateText(d, ch.to, c, toSet, isTaxonNode(ch.to, d) ? 0 : ch.toState).c_str());
                putLine(line);
                continue;
            }
            char ci[16];
            if (!charInPackedData(d, c) || charLacksBounds(d, c))
                std::snprintf(ci, sizeof ci, "n/a ");
            else
                std::snprintf(ci, sizeof ci, "%5.3f", calc1CI(boundMinSteps(c), charLengthOnTree(d, c)));
            appendf(line, "%-*s%*s", l.label, charText(d, c, cl), kStepsWidth, charDiffToStr(d, c, cost).c_str());
            line += ch.terminal > 0.0 && std::popcount(toSet) >= 3 && l.unknown ? '+' : ' ';
            appendf(line, "%7s  %s %s ", ci, stateText(d, ch.from, c, ch.fromSet, 0).c_str(), arrow(ch));
            appendf(line, "%s\n", stateText(d, ch.to, c, toSet, isTaxonNode(ch.to, d) ? 0 : ch.toState).c_str());
            putLine(line);
        }
    }
    clearStatusText();
}

bool getFieldWidths(const DataInfo *d, int fixedWidth, int columns, int alternative, int *labelWidth,
                    int *columnWidth, bool *anyUnknown)
{
    const LengthBounds &bounds = lengthBounds();
    int label = 9, column = 7;
    bool unknown = false;
    char buf[kChgLabelLimit + 1];
    for (uint32_t c = 0; c < d->nchar; c++) {
        if (d->status[c] & kCharExcluded)
            continue;
        label = std::max(label, static_cast<int>(std::strlen(charText(d, c, buf))));
        const bool u = charHasUnknownExtraLength(d, c);
        unknown = unknown || u;
        const double max = c < bounds.maxLen.size() ? bounds.maxLen[c] : 0.0;
        char text[64];
        const int w = std::snprintf(text, sizeof text, "%.*f%s", static_cast<int>(gPars.lengthDecimals), max,
                                    u ? "+" : "");
        column = std::max(column, w + 1);
    }
    const int width = static_cast<int>(getOutputLineLength());
    bool narrow = false;
    if (fixedWidth + label + columns * column > width) {
        const int found = label;
        label -= fixedWidth + label + columns * column - width;
        if (label < 17 && alternative > 0) {
            narrow = true;
            label = std::max(found, width - (alternative + column));
        }
    }
    *labelWidth = label;
    *columnWidth = column;
    *anyUnknown = unknown;
    return narrow;
}

void showCharDiagnostics(const DataInfo *d)
{
    setStatusText("Outputting character diagnostics...");
    const LengthBounds &bounds = lengthBounds();
    int lw = 0, cw = 0;
    bool unknown = false;
    constexpr int kIndexWidth = 31;  // " %6s%6s%6s%6s%6s"
    const bool narrow = getFieldWidths(d, kIndexWidth, 4, kIndexWidth + 8, &lw, &cw, &unknown);
    qel_printf("\nCharacter diagnostics:\n\n");
    if (!narrow) {
        qel_printf("%*s%*s%*s%*s%*s%*s\n", lw + cw, "", cw, "Min", cw, "Tree", cw, "Max", kIndexWidth - 6, "", 6,
                   "G-");
        qel_printf("%-*s%*s%*s%*s%*s%s", lw, "Character", cw, "Range", cw, "steps", cw, "steps", cw, "steps",
                   "     CI    RI    RC    HI   fit\n");
        tableLine(lw + 4 * cw + kIndexWidth, 0);
    } else {
        qel_printf("%-*s%*s %s\n", lw, "Character", cw, "Steps", "   CI    RI    RC    HI  G-fit");
        tableLine(lw + cw + kIndexWidth + 1, 0);
    }
    const int dec = static_cast<int>(gPars.lengthDecimals);
    uint32_t constant = 0;
    char buf[kChgLabelLimit + 1];
    for (uint32_t c = 0; c < d->nchar; c++) {
        if (d->status[c] & kCharExcluded)
            continue;
        if (d->status[c] & kCharConstant) {
            constant++;
            continue;
        }
        if (getAbortedStatus() && confirmAbortRequest())
            break;
        const bool packed = charInPackedData(d, c) && c < bounds.inBounds.size() && bounds.inBounds[c];
        const char *mark = charHasUnknownExtraLength(d, c) ? "+" : unknown ? " " : "";
        char range[64], min[64], tree[64], max[64];
        if (packed) {
            std::snprintf(range, sizeof range, "%.*f%s", dec, bounds.rangeMin[c], unknown ? " " : "");
            std::snprintf(min, sizeof min, "%.*f%s", dec, bounds.minLen[c], unknown ? " " : "");
        } else {
            std::snprintf(range, sizeof range, "n/a%s", unknown ? " " : "");
            std::snprintf(min, sizeof min, "n/a%s", unknown ? " " : "");
        }
        std::snprintf(tree, sizeof tree, "%.*f%s", dec, charLengthOnTree(d, c), mark);
        std::snprintf(max, sizeof max, "%.*f%s", dec, c < bounds.maxLen.size() ? bounds.maxLen[c] : 0.0, mark);
        char fit[5][32];
        for (uint32_t m = kFitCI; m <= kFitGFit; m++) {
            const double v = packed ? get1FitMeasure(d, c, m, nullptr) : kFitNotApplicable;
            fitMeasureToStr(fit[m - kFitCI], sizeof fit[0], 3, v);
        }
        const char *label = charText(d, c, buf);
        if (!narrow) {
            qel_printf("%-*s%*s%*s%*s%*s", lw, label, cw, range, cw, min, cw, tree, cw, max);
            qel_printf(" %6s%6s%6s%6s%6s\n", fit[0], fit[1], fit[2], fit[3], fit[4]);
        } else {
            qel_printf("%s Range %*s\n", label, cw, range);
            qel_printf("%*s   Min %*s\n", lw, "", cw, min);
            qel_printf("%*s  Tree %*s\n", lw, "", cw, tree);
            qel_printf("%*s   Max %*s %6s%6s%6s%6s%6s\n", lw, "", cw, max, fit[0], fit[1], fit[2], fit[3], fit[4]);
        }
    }
    if (constant)
        qel_printf("(%u constant %s not shown)\n", constant, constant == 1 ? "character" : "characters");
    clearStatusText();
}

// ---------------------------------------------------------------------------
// Patristic distances

namespace {

// Steps between two state sets of an ordered-like character, 0 when they
// share a state: one for a two-state unordered character, else the gap
// between their nearest states.
double setDistance(const DataInfo *d, uint32_t c, uint64_t a, uint64_t b)
{
    if (!a || !b || (a & b))
        return 0.0;
    const uint32_t loA = std::countr_zero(a), hiA = 63 - std::countl_zero(a);
    const uint32_t loB = std::countr_zero(b), hiB = 63 - std::countl_zero(b);
    if ((d->status[c] & kCharTypeMask) != kCharOrdered)
        return 1.0;
    return hiA < loB ? loB - hiA : loA - hiB;
}

bool countsInPatristic(const DataInfo *d, uint32_t c)
{
    return isCharIncluded(d, c) && charInPackedData(d, c) && isPkdOrd(c, d);
}

// A missing cell says nothing: the taxon is taken at its ancestor's states.
uint64_t observedStates(const DataInfo *d, const TreeNode *tip, uint32_t c)
{
    const uint64_t set = assigned(d, tip, c);
    const uint32_t nStates = std::clamp<uint32_t>(static_cast<uint32_t>(std::strlen(d->symbols)), 1, 64);
    const uint64_t all = nStates >= 64 ? ~uint64_t{0} : (uint64_t{1} << nStates) - 1;
    if ((set & all) == all && tip->anc)
        return assigned(d, tip->anc, c);
    return set;
}

}  // namespace

bool patristicExcludesSome(const DataInfo *d)
{
    for (uint32_t c = 0; c < d->nchar; c++)
        if (isCharIncluded(d, c) && charInPackedData(d, c) && !isPkdOrd(c, d))
            return true;
    return false;
}

bool getPDmatrix(const Tree *tree, const DataInfo *d, std::vector<double> &matrix, PatristicSums *sums)
{
    setStatusText("Computing patristic distances...");
    const PackedData *pd = packedData(d);
    const uint32_t n = activeTaxonCount(d);
    matrix.assign(static_cast<size_t>(n) * n, 0.0);
    *sums = PatristicSums{};
    std::vector<double> adjusted(tree->maxNodes, 0.0);
    std::vector<const TreeNode *> tipOf(n, nullptr);
    for (const TreeNode *p = tree->root; p; p = p->next) {
        if (isTaxonNode(p, d))
            tipOf[static_cast<uint32_t>(p->index)] = p;
        if (!p->anc)
            continue;
        double len = 0.0;
        for (uint32_t c = 0; c < d->nchar; c++)
            if (countsInPatristic(d, c))
                len += setDistance(d, c, assigned(d, p, c), assigned(d, p->anc, c)) * pd->slots[c].weight;
        adjusted[nodePosition(tree, p)] = len;
    }
    std::vector<uint8_t> onPath(tree->maxNodes, 0);
    for (uint32_t i = 0; i < n; i++) {
        if (!tipOf[i])
            continue;
        std::fill(onPath.begin(), onPath.end(), 0);
        for (const TreeNode *p = tipOf[i]; p; p = p->anc)
            onPath[nodePosition(tree, p)] = 1;
        for (uint32_t j = 0; j < i; j++) {
            if (!tipOf[j])
                continue;
            double observed = 0.0;
            for (uint32_t c = 0; c < d->nchar; c++)
                if (countsInPatristic(d, c))
                    observed += setDistance(d, c, observedStates(d, tipOf[i], c), observedStates(d, tipOf[j], c)) *
                                pd->slots[c].weight;
            const TreeNode *meet = tipOf[j];
            double patristic = 0.0;
            for (; !onPath[nodePosition(tree, meet)]; meet = meet->anc)
                patristic += adjusted[nodePosition(tree, meet)];
            for (const TreeNode *p = tipOf[i]; p != meet; p = p->anc)
                patristic += adjusted[nodePosition(tree, p)];
            matrix[static_cast<size_t>(i) * n + j] = observed;
            matrix[static_cast<size_t>(j) * n + i] = patristic;
            sums->observed += observed;
            sums->homoplasy += patristic - observed;
            sums->largest = std::max(sums->largest, patristic);
        }
    }
    clearStatusText();
    sums->ratio = sums->observed > 0.0 ? sums->homoplasy / sums->observed : -1.0;
    return sums->observed > 0.0;
}

// One replicate of a simulation loop: the true tree (from memory, generated,
// or a coalescent gene tree per locus), the site runs of trees and models,
// the sequences, and the new character matrix that the loop's commands
// then analyse.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "data/assump.h"
#include "data/getdata.h"
#include "data/vorn_data.h"
#include "data/vorn_memory.h"
#include "likelihood/likelihood_settings.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_output.h"
#include "qel/qel_progress.h"
#include "qel/qel_strings.h"
#include "selection/simblock.h"
#include "selection/simblock_state.h"
#include "trees/drawtree.h"
#include "trees/treebuf.h"
#include "trees/treebuf_extras.h"
#include "trees/treeedit.h"
#include "trees/treegen.h"
#include "trees/treeutil.h"

namespace {

constexpr uint32_t kSitesBetweenPolls = 1u << 16;

// A tree held rooted at its ancestor node, in preorder.
SimTree toSimTree(const Tree *tree)
{
    SimTree out;
    std::vector<std::pair<const TreeNode *, int32_t>> stack{{tree->root, -1}};
    while (!stack.empty()) {
        auto [node, parent] = stack.back();
        stack.pop_back();
        SimNode n;
        n.parent = parent;
        n.taxon = node->firstChild == nullptr && node->index >= 0 ? node->index : -1;
        n.length = parent < 0 ? 0.0 : std::max(0.0, node->edge.brlen);
        out.nodes.push_back(n);
        const auto self = static_cast<int32_t>(out.nodes.size() - 1);
        std::vector<const TreeNode *> kids;
        for (const TreeNode *c = node->firstChild; c; c = c->nextSib)
            kids.push_back(c);
        for (auto it = kids.rbegin(); it != kids.rend(); ++it)
            stack.emplace_back(*it, self);
    }
    return out;
}

// The local rates of `applied` (laid out by toSimTree from a tree of this
// shape) multiplied into the tree's branch lengths, in the same walk.
void applyRatesToTree(Tree *tree, const SimTree &applied)
{
    std::vector<TreeNode *> stack{tree->root};
    size_t k = 0;
    while (!stack.empty() && k < applied.nodes.size()) {
        TreeNode *node = stack.back();
        stack.pop_back();
        if (applied.nodes[k].parent >= 0)
            node->edge.brlen *= applied.nodes[k].rate;
        ++k;
        std::vector<TreeNode *> kids;
        for (TreeNode *c = node->firstChild; c; c = c->nextSib)
            kids.push_back(c);
        for (auto it = kids.rbegin(); it != kids.rend(); ++it)
            stack.push_back(*it);
    }
}

// Subtree sizes in a preorder tree: node k's clade is [k, k + size[k]).
std::vector<uint32_t> cladeSizes(const SimTree &t)
{
    std::vector<uint32_t> size(t.nodes.size(), 1);
    for (size_t k = t.nodes.size(); k-- > 1;)
        size[static_cast<size_t>(t.nodes[k].parent)] += size[k];
    return size;
}

// The local models, then the local rates, each on the branch above the
// most recent common ancestor of its taxa and every branch of its clade. A
// rate multiplies the branch lengths, except on a coalescent species tree,
// whose lengths are times: there it becomes the branch's rate, which the
// gene-tree branches passing through take on.
void applyLocalChanges(SimTree &t, const std::vector<SimLocalChange> &changes, uint32_t firstLocalModel,
                       bool coalescent)
{
    const std::vector<uint32_t> size = cladeSizes(t);
    uint32_t modelIndex = firstLocalModel;
    for (int pass = 0; pass < 2; ++pass)
        for (const SimLocalChange &c : changes) {
            if (c.isRate != (pass == 1))
                continue;
            const uint32_t model = c.isRate ? 0 : modelIndex++;
            if (c.taxa.empty())
                continue;
            // The smallest clade holding every listed taxon.
            size_t best = 0;
            for (size_t k = 0; k < t.nodes.size(); ++k) {
                uint32_t held = 0;
                for (size_t j = k; j < k + size[k]; ++j)
                    held += t.nodes[j].taxon >= 0 &&
                            std::find(c.taxa.begin(), c.taxa.end(), static_cast<uint32_t>(t.nodes[j].taxon)) !=
                                c.taxa.end();
                if (held == c.taxa.size() && size[k] <= size[best])
                    best = k;
            }
            for (size_t j = best; j < best + size[best]; ++j) {
                if (c.isRate) {
                    t.nodes[j].rate = c.isRate && coalescent ? c.rate : t.nodes[j].rate * c.rate;
                    if (!coalescent)
                        t.nodes[j].length *= c.rate;
                } else {
                    t.nodes[j].model = model;
                    t.nodes[j].localModel = true;
                }
            }
        }
}

// Consecutive runs of n sites by weights; the last run takes what rounding
// left over.
std::vector<uint32_t> runEnds(uint32_t n, const std::vector<double> &weights)
{
    double total = 0.0;
    for (double w : weights)
        total += w;
    std::vector<uint32_t> ends;
    uint32_t at = 0;
    for (size_t i = 0; i < weights.size(); ++i) {
        const double share = total > 0.0 ? weights[i] / total : 1.0 / weights.size();
        at = std::min<uint32_t>(n, at + static_cast<uint32_t>(std::lround(n * share)));
        ends.push_back(i + 1 == weights.size() ? n : at);
    }
    return ends;
}

std::string quoteLabel(const char *label)
{
    std::string q = "'";
    for (const char *p = label; *p; ++p) {
        if (*p == '\'')
            q += '\'';
        q += *p;
    }
    return q + "'";
}

// Reads `text` as the active input and runs `reader` on it.
template <typename Reader>
int readFromText(const std::string &text, Reader reader)
{
    InputStatus *prev = getActiveInput();
    InputStatus doc{};
    initDocumentInput(&doc, text.data(), text.size());  // makes it active
    const int rc = reader();
    setActiveInput(prev);
    return rc;
}

// The simulated states become the active character matrix; in multilocus
// mode the loci become the character partition "simloci".
int installMatrix(const std::vector<uint8_t> &states, uint32_t ntax, uint32_t nchar, bool twoState,
                  uint32_t nloci, uint32_t perLocus)
{
    DataInfo *d = activeDataInfo();
    if (!d)
        return 1;
    const char *symbols = twoState ? "01" : "ACGT";
    std::string text = "dimensions nchar=" + std::to_string(nchar) + ";\nformat " +
                       (twoState ? std::string("symbols=\"01\"") : std::string("datatype=dna")) +
                       " missing=?;\nmatrix\n";
    text.reserve(text.size() + static_cast<size_t>(ntax) * (nchar + 40));
    // Rows follow the block's taxa, which a replicate's commands may have
    // deleted since: each row is named by its own label, not by its place
    // among the taxa that remain.
    for (uint32_t t = 0; t < ntax; ++t) {
        text += quoteLabel(taxLabelString(d, t));
        text += ' ';
        const uint8_t *row = states.data() + static_cast<size_t>(t) * nchar;
        for (uint32_t c = 0; c < nchar; ++c)
            text += row[c] < 4 ? symbols[row[c]] : '?';
        text += '\n';
    }
    text += ";\nend;\n";
    // The last replicate's matrix goes; the taxa, the models and the trees
    // stay (a new record would be read as a further block joined to it).
    if (d->flags & kHaveCharacters) {
        // Releasing data turns user frequencies back to empirical ones; every
        // replicate is analysed under the settings the loop started with.
        const int32_t baseFreqMode = ml.baseFreqMode, aaFreqMode = ml.aaFreqMode;
        purgeData(d, 1, 1, 0);
        ml.baseFreqMode = baseFreqMode;
        ml.aaFreqMode = aaFreqMode;
    }
    if (readFromText(text, [d] { return readDataAndInitAssumpSets(2, d); }) != 0)
        return 1;
    if (nloci == 0)
        return 0;
    std::string ptn = "simloci =";
    for (uint32_t i = 0; i < nloci; ++i)
        ptn += (i ? ", locus" : " locus") + std::to_string(i + 1) + ": " + std::to_string(i * perLocus + 1) + "-" +
               std::to_string((i + 1) * perLocus);
    ptn += ";";
    return readFromText(ptn, [] { return doCharPartitionCmd(); });
}

void showMessages(const SimBlock &s, uint32_t value, uint32_t nchar)
{
    if (s.monitor) {
        const std::string banner = s.multilocus
                                       ? "#  Simulation replicate " + std::to_string(s.rep + 1) + " for #loci = " +
                                             std::to_string(value) + "  #"
                                       : "#  Simulation replicate " + std::to_string(s.rep + 1) +
                                             " for sequence length " + std::to_string(value) + "  #";
        const std::string rule(banner.size(), '#');
        qel_printf("\n%s\n%s\n%s\n", rule.c_str(), banner.c_str(), rule.c_str());
        char state[128];
        showRNGState(&s.dataRng, state, sizeof state);
        qel_printf("\n\nCurrent sequence-data seed = %s\n", state);
    } else {
        const LoopOutputShown shown;
        if (s.rep == 0) {
            if (s.multilocus)
                qel_printf("\nSimulating %u loci (sites/locus=%u)\n", value, static_cast<uint32_t>(s.sitesPerLocus));
            else
                qel_printf("\nSimulating %u sites\n", nchar);
        }
        qel_printf("    Starting replicate %u\n", static_cast<uint32_t>(s.rep + 1));
    }
    setStatusText(s.twoState ? "Simulating 0/1 data..." : "Simulating DNA sequence data...");
}

constexpr const char *kUnitNames[] = {"substitutions/site", "N generations", "2N generations"};

const char *unitName(uint32_t units) { return kUnitNames[std::min<uint32_t>(units, 2)]; }

// A rooted tree as read carries an ancestor node with one child above its
// real root; the sites pass it unchanged, and the tables and warnings show
// the tree without it (as the results file's branch columns do).
SimTree withoutUnaryRoot(const SimTree &t)
{
    if (t.nodes.size() < 2 || t.nodes[0].taxon >= 0)
        return t;
    for (size_t k = 2; k < t.nodes.size(); ++k)
        if (t.nodes[k].parent == 0)
            return t;
    SimTree out;
    out.nodes.assign(t.nodes.begin() + 1, t.nodes.end());
    for (SimNode &n : out.nodes)
        --n.parent;
    out.nodes[0].parent = -1;
    out.nodes[0].length = 0.0;
    return out;
}

// The node numbers the tables and the warnings show: tips by taxon number,
// internal nodes after them in preorder (the root first).
std::vector<uint32_t> tableNodeNumbers(const SimTree &t, uint32_t ntax)
{
    std::vector<uint32_t> number(t.nodes.size());
    uint32_t next = ntax + 1;
    for (size_t k = 0; k < t.nodes.size(); ++k)
        number[k] = t.nodes[k].taxon >= 0 ? static_cast<uint32_t>(t.nodes[k].taxon) + 1 : next++;
    return number;
}

// A true tree's branch lengths as given (`shown`), with the node ages when
// it is a clock tree and the local rates and models that `applied` carries
// when there are any: tips first, then the internal nodes, then the sum.
void showBranchLengthTable(const SimBlock &s, const char *title, const SimTree &given, const SimTree *appliedGiven)
{
    const SimTree shown = withoutUnaryRoot(given);
    const SimTree appliedTree = appliedGiven ? withoutUnaryRoot(*appliedGiven) : SimTree{};
    const SimTree *applied = appliedGiven ? &appliedTree : nullptr;
    const std::vector<uint32_t> number = tableNodeNumbers(shown, s.ntax);
    SimAgeConflict conflict;
    const bool ultrametric = !findAgeConflict(shown, &conflict);
    SimTree aged = shown;
    setSimNodeAges(aged);
    bool rates = false, models = false;
    if (applied)
        for (const SimNode &n : applied->nodes) {
            rates = rates || n.rate != 1.0;
            models = models || n.localModel;
        }
    char head[160];
    int len = std::snprintf(head, sizeof head, "%10s%14s%21s", "node", "connected to", "length");
    if (ultrametric)
        len += std::snprintf(head + len, sizeof head - len, "%15s", "age");
    if (rates)
        len += std::snprintf(head + len, sizeof head - len, "%12s", "local rate");
    if (models)
        len += std::snprintf(head + len, sizeof head - len, "  %s", "local model");
    const std::string rule(static_cast<size_t>(len), '-');
    qel_printf("%s\n%s\n%s\n", title, head, rule.c_str());
    std::vector<size_t> order;
    for (int tips = 1; tips >= 0; --tips)
        for (size_t k = 0; k < shown.nodes.size(); ++k)
            if ((shown.nodes[k].taxon >= 0) == (tips == 1))
                order.push_back(k);
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        const bool tipA = shown.nodes[a].taxon >= 0, tipB = shown.nodes[b].taxon >= 0;
        return tipA != tipB ? tipA : number[a] < number[b];
    });
    double sum = 0.0;
    for (const size_t k : order) {
        const SimNode &n = shown.nodes[k];
        if (n.parent < 0) {
            qel_printf("%10u%14s%21s", number[k], "-", "");
        } else {
            qel_printf("%10u%14u%21.6f", number[k], number[static_cast<size_t>(n.parent)], n.length);
            sum += n.length;
        }
        if (ultrametric)
            qel_printf("%15.6f", aged.nodes[k].age);
        if (rates)
            qel_printf("%12g", applied->nodes[k].rate);
        if (models)
            qel_printf("  %s", applied->nodes[k].localModel ? s.models[applied->nodes[k].model].name.c_str() : "-");
        qel_printf("\n");
    }
    qel_printf("%s\nSum%42.6f\n", rule.c_str(), sum);
}

// A tree that must be a clock tree and is not: where its ages disagree.
void warnNotUltrametric(const SimBlock &s, const SimTree &given)
{
    const SimTree t = withoutUnaryRoot(given);
    SimAgeConflict c;
    if (!findAgeConflict(t, &c))
        return;
    const std::vector<uint32_t> number = tableNodeNumbers(t, s.ntax);
    qel_warningMsg(0, "Tree is not ultrametric.  For node %d:\n   age implied by node %d = %g\n   age implied by node "
                      "%d = %g\n(use '%s=brlens' in the '%s' command to see node numbers and branch lengths)",
                   static_cast<int>(number[c.node]), static_cast<int>(number[c.childA]), c.ageA,
                   static_cast<int>(number[c.childB]), c.ageB, "showTrueTrees", "TrueTree");
}

// Shows the true tree when asked (`shown` its lengths as given, `applied`
// with the local changes on them) and adds it to the trees in memory when
// asked; lengths already scaled.
void presentTrueTree(const SimBlock &s, Tree *tree, uint32_t k, const SimTree &shown, const SimTree &applied)
{
    DataInfo *d = activeDataInfo();
    if (s.showTrueTrees != 0) {
        if (s.mscoalescent) {
            qel_printf("\nTrue species tree:\n");
        } else if (s.source != kTrueTreeMemory) {
            char state[128];
            showRNGState(&s.treeRng, state, sizeof state);
            qel_printf("\nTrue tree (current seed = %s):\n", state);
        } else if (s.treeList.size() > 1) {
            double total = 0.0;
            for (const SimWeighted &w : s.treeList)
                total += w.weight;
            qel_printf("\nTrue tree %d (%g%%)\n", s.treeList[k].tree,
                       total > 0.0 ? 100.0 * s.treeList[k].weight / total : 0.0);
        } else {
            qel_printf("\nTrue tree\n");
        }
        drawTree(tree, s.showTrueTrees == 2 ? kDrawPhylogram : kDrawCladogram, 0, false, d);
        if (s.showTrueTrees == 2) {
            if (s.mscoalescent) {
                char title[96];
                std::snprintf(title, sizeof title, "\nBranch lengths for true species tree (units = %s)\n",
                              unitName(s.units));
                showBranchLengthTable(s, title, shown, &applied);
            } else {
                showBranchLengthTable(s, "\nBranch lengths for true tree\n", shown, &applied);
            }
        }
    }
    if (!s.storeTrueTrees)
        return;
    TreeBuffer *buf = getMainTreeBuffer(nullptr);
    if (!buf)
        return;
    if (numTreesInBuffer(buf) == 0) {
        setRootededness(buf, true);
        setHaveUserBranchLengths(true);
    }
    TreeHandle copy(createTree(false));
    if (!copy || copyTree(tree, copy.get()) != 0)
        return;
    // The tree stored is the one the sites evolved on: its lengths carry
    // the local rates. A coalescent species tree keeps its times.
    if (!s.mscoalescent)
        applyRatesToTree(copy.get(), applied);
    // Trees an analysis of the last replicate left are unrooted: the true
    // tree joins them unrooted, as Tally compares it with them.
    if (!areTreesRooted(buf) && derootTree(copy.get(), nullptr, true) != 0)
        return;
    setTraversalSeq(copy.get());
    const uint32_t slot = putTree(copy.get(), buf, false);
    // The same true tree once more (a tree from memory in every replicate)
    // is already there with the same lengths.
    if (slot == kPutTreeDuplicate)
        return;
    if (isPutTreeFull(slot)) {
        qel_printf("\nRequest to increase size of tree buffer was denied; no additional trees will be stored.\n");
        return;
    }
    storeBranchLengths(buf, copy.get(), slot - 1, true, 8);
}

// A simulation tree laid out as a rooted tree record for drawing: tips on
// their taxa's nodes, forks on the nodes after them, lengths as simulated.
// A root with a single child (the ancestor of a tree from memory) is
// passed over. 0, or 1 when the record is too small.
int simTreeToTree(const SimTree &st, uint32_t ntax, Tree *tree)
{
    if (st.nodes.empty() || initNodes(tree, ntax) != 0)
        return 1;
    std::vector<uint32_t> children(st.nodes.size(), 0);
    for (const SimNode &n : st.nodes)
        if (n.parent >= 0)
            children[static_cast<size_t>(n.parent)]++;
    size_t top = 0;
    while (children[top] == 1 && top + 1 < st.nodes.size())
        top++;
    std::vector<TreeNode *> node(st.nodes.size(), nullptr);
    TreeNode *nextFork = tree->firstTip + ntax;
    TreeNode *const end = tree->nodes + tree->maxNodes;
    uint32_t leaves = 0;
    for (size_t k = top; k < st.nodes.size(); ++k) {
        const SimNode &n = st.nodes[k];
        if (k != top && (n.parent < static_cast<int32_t>(top) || !node[static_cast<size_t>(n.parent)]))
            continue;
        TreeNode *t;
        if (n.taxon >= 0) {
            if (static_cast<uint32_t>(n.taxon) >= ntax)
                return 1;
            t = tree->firstTip + n.taxon;
            leaves++;
        } else {
            if (nextFork >= end)
                return 1;
            t = nextFork++;
        }
        t->firstChild = t->nextSib = nullptr;
        TreeNode *parent = k == top ? tree->nodes : node[static_cast<size_t>(n.parent)];
        t->anc = parent;
        t->edge.brlen = k == top ? 0.0 : n.length;
        if (!parent->firstChild) {
            parent->firstChild = t;
        } else {
            TreeNode *last = parent->firstChild;
            while (last->nextSib)
                last = last->nextSib;
            last->nextSib = t;
        }
        node[k] = t;
    }
    tree->root = tree->nodes;
    tree->numLeaves = leaves;
    tree->flags |= kTreeRootedAtAnc;
    tree->flags &= ~(kTreeTraversalValid | kTreeLeafSetsValid);
    setTraversalSeq(tree);
    return 0;
}

void showGeneTrees(const SimBlock &s, const std::vector<SimTree> &trees, const std::vector<uint32_t> &ends)
{
    if (s.showGeneTrees == 0)
        return;
    const DataInfo *d = activeDataInfo();
    uint32_t first = 0;
    for (size_t i = 0; i < trees.size(); ++i) {
        if (ends[i] - first == 1)
            qel_printf("\nTrue gene tree for locus %u (site %u):\n", static_cast<uint32_t>(i + 1), first + 1);
        else
            qel_printf("\nTrue gene tree for locus %u (sites %u-%u)\n", static_cast<uint32_t>(i + 1), first + 1,
                       ends[i]);
        TreeHandle drawn(createTree(true));
        if (drawn && simTreeToTree(trees[i], s.ntax, drawn.get()) == 0)
            drawTree(drawn.get(), s.showGeneTrees == 2 ? kDrawPhylogram : kDrawCladogram, 0, false, d);
        // Gene-tree lengths are in substitutions per site, local rates
        // already in them.
        if (s.showGeneTrees == 2)
            showBranchLengthTable(s, "\nBranch lengths for true gene tree (in substitutions/site)\n", trees[i],
                                  nullptr);
        first = ends[i];
    }
}

// The true trees of this replicate and the run of sites each covers.
int makeReplicateTrees(SimBlock &s, uint32_t nchar, uint32_t nloci, std::vector<SimTree> &trees,
                       std::vector<uint32_t> &ends)
{
    const uint32_t ntax = s.ntax;
    auto withLocalChanges = [&s](const SimTree &t) {
        SimTree applied = t;
        applyLocalChanges(applied, s.local, s.nSiteModels, s.mscoalescent);
        return applied;
    };
    if (s.source == kTrueTreeMemory) {
        Tree *t = createTree(true);
        if (!t)
            return 1;
        std::vector<double> weights;
        for (const SimWeighted &w : s.treeList) {
            if (loadTrueTree(static_cast<uint32_t>(trees.size()), t) != 0) {
                destroyTree(t, true);
                return 1;
            }
            const SimTree shown = toSimTree(t);
            SimTree applied = withLocalChanges(shown);
            presentTrueTree(s, t, static_cast<uint32_t>(trees.size()), shown, applied);
            trees.push_back(std::move(applied));
            weights.push_back(w.weight);
        }
        destroyTree(t, true);
        ends = runEnds(nchar, weights);
    } else {
        const bool fixed = s.source == kTrueTreeFixedYule || s.source == kTrueTreeFixedBD;
        const bool bd = s.source == kTrueTreeBD || s.source == kTrueTreeFixedBD;
        if (!fixed || !s.fixedTreeDrawn) {
            if (!s.generated && !(s.generated = createTree(true)))
                return 1;
            s.fixedTreeDrawn = true;
            if (simulateYuleTree(s.generated, ntax, bd, &s.treeRng, s.splitTimes, s.lambda, s.mu, s.rho,
                                 s.height) != 0)
                return 1;
        }
        const SimTree shown = toSimTree(s.generated);
        SimTree applied = withLocalChanges(shown);
        presentTrueTree(s, s.generated, 0, shown, applied);
        trees.push_back(std::move(applied));
        ends = {nchar};
    }
    if (!s.mscoalescent)
        return 0;
    // One gene tree per locus inside the (first) species tree; its local
    // rates and models pass to the gene-tree branches inside it.
    SimTree species = trees.front();
    const bool firstReplicate = s.rep == 0 && s.lengthIndex == 0;
    if (firstReplicate)
        warnNotUltrametric(s, species);
    setSimNodeAges(species);
    if (firstReplicate)
        qel_printf("\nSimulation is on species tree; input branch lengths are in units of %s.\n", unitName(s.units));
    trees.clear();
    ends.clear();
    const uint32_t loci = std::max<uint32_t>(nloci, 1);
    for (uint32_t i = 0; i < loci; ++i) {
        trees.push_back(simulateGeneTree(species, static_cast<SimUnits>(s.units), s.theta, &s.treeRng));
        ends.push_back(nloci ? (i + 1) * static_cast<uint32_t>(s.sitesPerLocus) : nchar);
    }
    showGeneTrees(s, trees, ends);
    return 0;
}

}  // namespace

uint32_t numTrueTreesForTally()
{
    return gSim && gSim->source == kTrueTreeMemory ? static_cast<uint32_t>(gSim->treeList.size()) : 1;
}

int loadTrueTree(uint32_t k, Tree *tree)
{
    const SimBlock &s = *gSim;
    if (s.source != kTrueTreeMemory)
        return s.generated ? copyTree(s.generated, tree) : 1;
    if (k >= s.treeList.size() || getTree(s.trueTrees, static_cast<uint32_t>(s.treeList[k].tree), tree) != 0)
        return 1;
    for (uint32_t p = 0; p < tree->maxNodes; ++p)
        tree->nodes[p].edge.brlen *= s.scaleBrlens;
    return 0;
}

int simulateReplicate()
{
    SimBlock &s = *gSim;
    const LoopStep step(s);
    const uint32_t value = static_cast<uint32_t>(s.lengths[s.lengthIndex]);
    const uint32_t nloci = s.multilocus ? value : 0;
    const uint32_t nchar = s.multilocus ? value * static_cast<uint32_t>(s.sitesPerLocus) : value;
    const uint32_t ntax = s.ntax;

    // The loop's commands run again from just after BeginSim (this also
    // makes the loop's text the active input).
    initInputStatus(&s.loop->input);
    showMessages(s, value, nchar);

    TimeMark start, stop;
    setTimeMark(&start);
    std::vector<SimTree> trees;
    std::vector<uint32_t> treeEnds;
    if (makeReplicateTrees(s, nchar, nloci, trees, treeEnds) != 0)
        return 1;
    std::vector<double> modelWeights;
    for (const SimWeighted &w : s.siteModels)
        modelWeights.push_back(w.weight);
    const std::vector<uint32_t> modelEnds = runEnds(nchar, modelWeights);

    s.states.assign(static_cast<size_t>(ntax) * nchar, 0xFF);
    std::vector<uint8_t> scratch;
    double rateSum = 0.0;
    uint64_t changes = 0;
    TwoStateRejections rejected;
    const bool accept = s.twoState && s.discreteMode;
    if (s.twoState && s.monitor && !trees.empty())
        qel_printf("Number of expected changes for rate %g = %g\n", 1.0, expectedFirstChanges(trees.front(), 1.0));
    uint32_t first = 0, ti = 0, mi = 0;
    while (first < nchar) {
        while (treeEnds[ti] <= first)
            ++ti;
        while (modelEnds[mi] <= first)
            ++mi;
        // Runs are simulated in chunks, so that an interrupt is noticed.
        const uint32_t end = std::min({treeEnds[ti], modelEnds[mi], first + kSitesBetweenPolls});
        noteSimInterrupt();
        if (accept) {
            if (!simulateAcceptedTwoStateSites(trees[ti], s.models, mi, first, end - first, s.states.data(), nchar,
                                               ntax, &s.dataRng, scratch, &rateSum, &changes, &rejected))
                return qel_errorMsg(0, "A character could not meet the criteria for acceptance in %llu attempts; "
                                       "the simulation is stopped.\tAt least four taxa and a model that is not "
                                       "absorbing are needed to show two taxa in each state.",
                                    static_cast<unsigned long long>(kMaxTwoStateRedraws));
        } else {
            changes += simulateSites(trees[ti], s.models, mi, first, end - first, s.states.data(), nchar,
                                     &s.dataRng, scratch, &rateSum);
        }
        first = end;
    }
    if (accept) {
        qel_printf("Proportion of replicates discarded in order to meet criteria for acceptance:\n");
        qel_printf("    too few changes  = %u\n", static_cast<uint32_t>(rejected.tooFewChanges));
        qel_printf("    too few 0 states = %u\n", static_cast<uint32_t>(rejected.tooFew0));
        qel_printf("    too few 1 states = %u\n", static_cast<uint32_t>(rejected.tooFew1));
    }
    if (s.monitor) {
        qel_printf("Mean rate for simulated sites = %.6f\n", nchar ? rateSum / nchar : 0.0);
        qel_printf("Mean number of changes over characters = %g\n", nchar ? static_cast<double>(changes) / nchar : 0.0);
        setTimeMark(&stop);
        showTimeUsed(&start, &stop, 0, " for sequence simulation");
    }
    // An interrupt stops the reading of the matrix; it is meant for the
    // loop, which asks and then reads the replicate's data again. The
    // reader may have seen the flag itself, or a poll on the way out may
    // already have handed the interrupt to the loop and cleared it.
    for (;;) {
        const uint32_t taken = s.interruptsTaken;
        if (installMatrix(s.states, ntax, nchar, s.twoState, nloci, static_cast<uint32_t>(s.sitesPerLocus)) == 0)
            // A stop asked for while the data were made comes before the
            // replicate's commands, which could run for long.
            return s.stopAfterReplicate ? 2 : 0;
        if (gAborted_.load() <= 0 && s.interruptsTaken == taken) {
            qel_errorMsg(0, "The simulated data could not be installed.");
            return 1;
        }
        noteSimInterrupt();
    }
}

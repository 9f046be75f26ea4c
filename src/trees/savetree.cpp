#include "trees/savetree.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "data/exchange.h"
#include "data/prepdata.h"
#include "data/vorn_data.h"
#include "qel/qel_auxout.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_files.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_malloc.h"
#include "qel/qel_output.h"
#include "qel/qel_outtext.h"
#include "qel/qel_progress.h"
#include "qel/qel_strings.h"
#include "qel/qel_time.h"
#include "cli/qel_cmdoptions.h"
#include "cli/shell_settings.h"
#include "trees/drawtree.h"
#include "trees/roottree.h"
#include "trees/tree_settings.h"
#include "trees/treebuf.h"
#include "trees/treebuf_extras.h"
#include "trees/treeedit.h"
#include "trees/treelist.h"

double zeroBelowLastDecimal(double v, int decimals)
{
    return std::fabs(v) < 0.5 * std::pow(10.0, -decimals) ? 0.0 : v;
}

namespace {

constexpr size_t kLabelBufSize = 2 * kMaxLabelLength + 8;
constexpr uint32_t kSupportTreeDecimals = 8;
constexpr uint32_t kDisplayPathSize = 256;

// Characters a Newick reader takes for syntax even inside a word: a quote
// opens a quoted word, brackets a comment, a colon a length; "=" ends a
// taxon word in our own reader.
bool breaksNewickWord(char c) { return std::strchr("'[]:=", c) != nullptr; }

// The label rule of the format, then every character that would change how
// the file parses dropped; other white space becomes "_" like a blank.
std::string plainTreeWord(const std::string &label, bool truncate)
{
    char buffer[kLabelBufSize];
    phylipLabel(label.c_str(), true, truncate, buffer, sizeof buffer);
    std::string word;
    for (const char *p = buffer; *p; p++) {
        if (breaksNewickWord(*p))
            continue;
        word += std::isspace(static_cast<unsigned char>(*p)) ? '_' : *p;
    }
    return word;
}

// Words already given, and every label, by normalized text; a label does not
// stand in its own taxon's way.
class WordClaims {
  public:
    explicit WordClaims(const std::vector<std::string> &labels)
    {
        for (const std::string &l : labels)
            labelCount_[normalizedTreeWord(l)]++;
    }
    bool isFree(const std::string &key, const std::string &ownLabelKey) const
    {
        if (key.empty() || given_.count(key) || other_.count(key))
            return false;
        const auto it = labelCount_.find(key);
        return it == labelCount_.end() || it->second - (key == ownLabelKey ? 1 : 0) == 0;
    }
    void give(const std::string &key) { given_.insert(key); }
    // Words of the other format, which the reader also tries.
    void reserveOther(const std::string &key) { other_.insert(key); }
    void releaseOther(const std::string &key) { other_.erase(key); }

  private:
    std::unordered_map<std::string, uint32_t> labelCount_;
    std::unordered_set<std::string> given_;
    std::unordered_set<std::string> other_;
};

std::string numberedWord(const std::string &base, uint32_t k, bool phylip)
{
    const std::string number = std::to_string(k);
    const std::string stem = base.empty() ? "taxon" : base;
    if (!phylip)
        return stem + "_" + number;
    return stem.substr(0, utf8CutPoint(stem, number.size() < 10 ? 10 - number.size() : 0)) + number;
}

bool isNexusFormat(uint32_t format) { return format == kTreeFmtNexus || format == kTreeFmtAltNexus; }

enum class WordRule { kNewick, kPhylip, kNexus };

// A NEXUS word is the label itself (the writer quotes it as the format
// needs), and so is a Newick word of a label that only quotes keep whole:
// other programs must find the alignment's name in the tree. The other plain
// words are the label rule's.
std::string baseWord(const std::string &label, WordRule rule)
{
    if (rule == WordRule::kNexus || (rule == WordRule::kNewick && needsNewickQuotes(label.c_str())))
        return label;
    return plainTreeWord(label, rule == WordRule::kPhylip);
}

WordRule wordRuleOf(uint32_t format)
{
    return isNexusFormat(format) ? WordRule::kNexus : format == kTreeFmtPhylip ? WordRule::kPhylip : WordRule::kNewick;
}

std::vector<std::string> distinctWords(const std::vector<std::string> &labels, WordRule rule,
                                       const std::vector<std::string> *newickWords)
{
    const bool phylip = rule == WordRule::kPhylip;
    WordClaims claims(labels);
    if (newickWords)
        for (const std::string &w : *newickWords)
            claims.reserveOther(normalizedTreeWord(w));
    std::vector<std::string> words;
    words.reserve(labels.size());
    for (size_t i = 0; i < labels.size(); i++) {
        const std::string ownKey = normalizedTreeWord(labels[i]);
        const std::string ownNewick = newickWords ? normalizedTreeWord((*newickWords)[i]) : std::string();
        // This taxon's own Newick word names it anyway.
        if (newickWords)
            claims.releaseOther(ownNewick);
        const std::string base = baseWord(labels[i], rule);
        std::string word = base;
        for (uint32_t k = static_cast<uint32_t>(i) + 1; !claims.isFree(normalizedTreeWord(word), ownKey); k++)
            word = numberedWord(base, k, phylip);
        if (newickWords)
            claims.reserveOther(ownNewick);
        claims.give(normalizedTreeWord(word));
        words.push_back(std::move(word));
    }
    return words;
}

const char *formatName(uint32_t format)
{
    switch (format) {
    case kTreeFmtFreqpars:
        return "FreqPars";
    case kTreeFmtNewick:
        return "raw Newick";
    case kTreeFmtHennig:
        return "Hennig86";
    case kTreeFmtPhylip:
        return "Phylip";
    default:
        return "";
    }
}


const char *treeWord(uint32_t n) { return n == 1 ? "tree" : "trees"; }

bool haveLengthData(const DataInfo *data) { return data && (data->flags & (kHaveCharacters | kHaveDistances)); }

// Lengths from the data need the data prepared for the criterion: packed
// characters under parsimony, the distance matrix and its least-squares fit
// under distance (from characters or from a user matrix alone).
int prepareLengthData(DataInfo *data)
{
    if (dataServices().criterion() == kCriterionDistance)
        return prepareData(kPrepDistance, 0, false);
    // Trees are scored one by one below with no command before them to
    // have built the model's patterns.
    if (dataServices().criterion() == kCriterionLikelihood)
        return prepareData(kPrepLikelihood, 0, false);
    const RootingServices &s = rootingServices();
    if (!(data->flags & kHaveCharacters) || !s.parsimonyCriterion || !s.parsimonyCriterion())
        return 0;
    return s.prepareData ? s.prepareData(data) : 0;
}

uint32_t numLabels(const DataInfo *data)
{
    const TreeBuffer *buf = getMainTreeBuffer(data);
    if (buf && buf->labels)
        return numStringListItems(buf->labels);
    return data ? (data->nActive > 0 ? static_cast<uint32_t>(data->nActive) : data->ntax) : 0;
}

struct DescrContext {
    bool isSupportTree;
    uint32_t lengthMode;
    bool supportAsLabels;
    bool useNumbers;
    char separator;
    uint32_t decimals;
    TreeLabelFxn labelFxn;
    const DataInfo *data;
    const std::vector<std::string> *words;  // per taxon, instead of labelFxn
};

// The shortest text that reads back as v.
std::string shortestNumber(double v)
{
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, v).ptr;
    return std::string(text, end);
}

// Lengths this large carry no digit after the point, and in fixed notation
// a run of digits past the precision of a double; they are written in their
// shortest form.
constexpr double kFixedLengthLimit = 1e15;

void putLength(const DescrContext &c, const TreeNode *node)
{
    if (c.lengthMode == kDescrSupport) {
        auxPrintf(":%s", formatEdgeSupportValue(node->edge.support).c_str());
    } else if (c.lengthMode == kDescrBrlens) {
        const double v = node->edge.brlen == kMissingBrlen ? 0.0 : node->edge.brlen;
        if (std::fabs(v) >= kFixedLengthLimit)
            auxPrintf(":%s", shortestNumber(v).c_str());
        else
            auxPrintf(":%.*f", static_cast<int>(c.decimals), zeroBelowLastDecimal(v, static_cast<int>(c.decimals)));
    }
}

void putTip(const DescrContext &c, const TreeNode *tip)
{
    const uint32_t taxon = static_cast<uint32_t>(tip->index);
    if (c.useNumbers) {
        auxPutInt(static_cast<int32_t>(taxon + 1));
        return;
    }
    if (c.words && taxon < c.words->size()) {
        auxPuts((*c.words)[taxon].c_str());
        return;
    }
    const char *label = taxLabelForMainTreeBuf(c.data, taxon);
    char buffer[kLabelBufSize];
    if (!label || !*label)
        auxPutInt(static_cast<int32_t>(taxon + 1));
    else
        auxPuts(c.labelFxn(label, buffer, sizeof buffer));
}

// Iterative so that a deep tree cannot exhaust the stack.
void recOutputDescr(const DescrContext &c, TreeNode *top)
{
    TreeNode *node = top;
    for (;;) {
        if (node->firstChild) {
            auxPutc('(');
            node = node->firstChild;
            continue;
        }
        putTip(c, node);
        if (node != top)
            putLength(c, node);
        // Close every subtree that ends with this node.
        while (node != top && !node->nextSib) {
            node = node->anc;
            auxPutc(')');
            if (c.supportAsLabels && node->edge.support > 0.0f)
                auxPuts(formatEdgeSupportValue(node->edge.support).c_str());
            if (node != top)
                putLength(c, node);
        }
        if (node == top || auxFileError())
            return;
        auxPutc(c.separator);
        node = node->nextSib;
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Labels

char *relaxedPhylipLabel(const char *label, char *buffer, size_t size)
{
    return phylipLabel(label, true, false, buffer, size);
}

std::string normalizedTreeWord(std::string_view word)
{
    std::string key;
    key.reserve(word.size());
    for (char c : word)
        key += c == '_' ? ' ' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    while (!key.empty() && (key.back() == ' ' || key.back() == '\t'))
        key.pop_back();
    return key;
}

std::vector<std::string> treeFileTaxonWords(const std::vector<std::string> &labels, uint32_t format)
{
    if (isNexusFormat(format))
        return distinctWords(labels, WordRule::kNexus, nullptr);
    const std::vector<std::string> newick = distinctWords(labels, WordRule::kNewick, nullptr);
    if (format != kTreeFmtPhylip)
        return newick;
    return distinctWords(labels, WordRule::kPhylip, &newick);
}

std::vector<std::string> treeFileTaxonWords(const DataInfo *data, uint32_t format, uint32_t *numbered)
{
    std::vector<std::string> labels;
    for (uint32_t t = 0, n = numLabels(data); t < n; t++) {
        const char *label = taxLabelForMainTreeBuf(data, t);
        labels.emplace_back(label ? label : "");
    }
    std::vector<std::string> words = treeFileTaxonWords(labels, format);
    if (numbered) {
        *numbered = 0;
        for (size_t t = 0; t < labels.size(); t++)
            if (words[t] != baseWord(labels[t], wordRuleOf(format)))
                ++*numbered;
    }
    return words;
}

char *nexusTreeLabel(const char *label, char *buffer, size_t size) { return nexusizeString(label, buffer, size); }

std::string formatEdgeSupportValue(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", value);
    stripTrailingZeros(text);
    return text;
}

// ---------------------------------------------------------------------------
// Headers

void auxPutTreesBlkCmd(bool withTaxaBlock, bool withStoreCmd, const DataInfo *data)
{
    auxPutNEXUS();
    if (withTaxaBlock) {
        const std::vector<std::string> words = treeFileTaxonWords(data, kTreeFmtNexus, nullptr);
        auxPrintf("Begin taxa;\n\tDimensions ntax=%d;\n\tTaxlabels\n", static_cast<int>(words.size()));
        char quoted[kLabelBufSize];
        for (const std::string &w : words)
            auxPrintf("\t\t%s\n", nexusizeString(w.c_str(), quoted, sizeof quoted));
        auxPuts("\t\t;\nEnd;\n");
    }
    if (withStoreCmd)
        auxPuts("\nBegin vorn;\n\tSet storebrlens=y;\nEnd;\n");
    auxPrintf("\nBegin trees;  [Treefile saved %s]\n", getDateTimeString().c_str());
}

void writeTransTable(const DataInfo *data)
{
    const std::vector<std::string> words = treeFileTaxonWords(data, kTreeFmtNexus, nullptr);
    const auto n = static_cast<uint32_t>(words.size());
    auxPuts("\tTranslate\n");
    char quoted[kLabelBufSize];
    for (uint32_t t = 0; t < n; t++)
        auxPrintf("\t\t%d %s%s\n", static_cast<int>(t + 1), nexusizeString(words[t].c_str(), quoted, sizeof quoted),
                  t + 1 < n ? "," : "");
    auxPuts("\t\t;\n");
}

namespace {

void writeDescription(const DescrContext &c, Tree *tree)
{
    TreeNode *root = tree->root;
    // Two taxa held at one of them have no fork to write from: the one edge
    // is written as the pair, or the root tip would be all that is written.
    TreeNode *only = root->index >= 0 ? root->firstChild : nullptr;
    if (only && !only->nextSib && !only->firstChild) {
        auxPutc('(');
        putTip(c, root);
        putLength(c, root);
        auxPutc(c.separator);
        putTip(c, only);
        putLength(c, only);
        auxPutc(')');
        return;
    }
    // A tree held at a tip names that tip only as the root: it is written
    // from its first fork instead, with the tip as one of the fork's children.
    if (root->index >= 0 && !root->firstChild->nextSib) {
        rerootAtFirstFork(tree);
        root = tree->root;
    }
    recOutputDescr(c, root->firstChild && !root->firstChild->nextSib ? root->firstChild : root);
}

}  // namespace

void outputTreeDescription(Tree *tree, bool isSupportTree, uint32_t lengthMode, bool supportAsLabels,
                           bool useNumbers, char separator, uint32_t decimals, TreeLabelFxn labelFxn,
                           const DataInfo *data)
{
    writeDescription(DescrContext{isSupportTree, lengthMode, supportAsLabels, useNumbers, separator, decimals,
                                  labelFxn ? labelFxn : nexusTreeLabel, data, nullptr},
                     tree);
}

TreeLabelFxn treeLabelWriter(uint32_t format)
{
    switch (format) {
    case kTreeFmtNewick:
        return newickTreeLabel;
    case kTreeFmtPhylip:
        return phylipTreeLabel;
    case kTreeFmtHennig:
        return hennigLabel;
    default:
        return nexusTreeLabel;
    }
}

int writeFreqParsDescription(Tree *tree)
{
    if (!determineIfTreeIsBinary(tree))
        return -1;
    // Tips are the first tipBound nodes (the nondeleted taxa); the forks
    // follow at once, so a count of all taxa would take forks for tips.
    const uint32_t tips = tree->tipBound;
    TreeNode *lastTip = nullptr;
    for (uint32_t t = tips; t >= 1 && !lastTip; t--)
        if (tree->nodes[t].anc || tree->root == tree->nodes + t)
            lastTip = tree->nodes + t;
    // A list for fewer taxa than the file's would be read as a list for
    // other taxa: such a tree is left out.
    if (countLeaves(tree) != tips)
        return -2;
    if (tree->root->index < 0) {
        if (derootTree(tree, lastTip, false) != 0)
            return 1;
    } else if (rerootTree(tree, lastTip, false) != 0) {
        return 1;
    }
    checkTraversalSeq(tree);
    const uint32_t leaves = countLeaves(tree);
    std::vector<int32_t> number(tree->maxNodes, -1);
    uint32_t next = leaves;
    TreeNode *basal = tree->root->firstChild;
    for (TreeNode *p = firstPostorderNode(basal); p; p = nextPostorderNode(p, basal))
        if (p->firstChild)
            number[nodePosition(tree, p)] = static_cast<int32_t>(next++);
    // Tips in taxon order among those on the tree.
    uint32_t k = 0;
    for (uint32_t t = 1; t <= tips; t++)
        if (tree->nodes[t].anc || tree->root == tree->nodes + t)
            number[t] = static_cast<int32_t>(k++);
    const uint32_t total = next;  // 2n - 2 nodes
    std::vector<int32_t> ancestor(total, -1);
    for (uint32_t p = 1; p < tree->maxNodes; p++) {
        const TreeNode *n = tree->nodes + p;
        if (number[p] >= 0 && n->anc)
            ancestor[static_cast<uint32_t>(number[p])] = number[nodePosition(tree, n->anc)];
    }
    ancestor[static_cast<uint32_t>(number[nodePosition(tree, lastTip)])] = static_cast<int32_t>(total - 1);
    // Entries run up to total (the top fork, 1-based): the width must hold
    // it, or at 2n - 2 = 10, 100, ... nodes two numbers run together.
    const int width = static_cast<int>(std::to_string(total).size()) + 1;
    for (uint32_t i = 0; i + 1 < total; i++)
        auxPrintf("%*u", width, static_cast<unsigned>(ancestor[i] + 1));
    auxPutNewline();
    return auxFileError() ? 1 : 0;
}

// ---------------------------------------------------------------------------
// SaveTrees

namespace {

struct SaveJob {
    DataInfo *data;
    TreeBuffer *buf;
    Tree *tree;
    Set *list;
    uint32_t count;           // trees in the list
    uint32_t format;
    uint32_t lengthMode;
    bool supportAsLabels;
    bool isSupportTree;
    bool rooted;              // the trees in memory are rooted
    bool rootForOutput;       // unrooted trees are rooted before writing
    bool optimize;            // lengths come from the data
    bool direct;              // write the stored encoding as it stands
    uint32_t decimals;        // of the tree being written
    uint32_t baseDecimals;    // of lengths as they are stored
    uint32_t skipped;         // FreqPars: nonbinary trees left out
    uint32_t lackingTaxa;     // FreqPars: trees without every taxon left out
    std::vector<std::string> words;  // the taxa's words as written (NEXUS-quoted in altNexus)
    uint32_t numberedWords;          // words numbered to keep them distinct
};

std::string treeNameFor(TreeBuffer *buf, uint32_t n)
{
    if (haveTreeNames(buf)) {
        std::string name = getTreeName(buf, n);
        if (!name.empty())
            return name;
    }
    return std::string(svtr.prefix[0] ? svtr.prefix : "VORN_") + std::to_string(n);
}

// FreqPars: nonbinary trees and trees that lack a taxon are counted and
// left out.
int writeFreqParsTree(SaveJob &job)
{
    const int rc = writeFreqParsDescription(job.tree);
    if (rc == -1)
        job.skipped++;
    else if (rc == -2)
        job.lackingTaxa++;
    return rc < 0 ? 0 : rc;
}

// An unrooted tree that optimisation held on a new root node is written
// unrooted again: the two root edges become one edge of the summed length.
void joinRootEdges(Tree *tree)
{
    TreeNode *top = tree->root;
    TreeNode *x = top->firstChild;
    if (!x || !x->nextSib || x->nextSib->nextSib)
        return;
    TreeNode *y = x->nextSib;
    if (!y->firstChild)
        std::swap(x, y);
    if (!y->firstChild)
        return;  // two taxa: nothing to join
    x->edge.brlen += y->edge.brlen;
    top->firstChild = x;
    x->nextSib = y->firstChild;
    for (TreeNode *c = y->firstChild; c; c = c->nextSib)
        c->anc = top;
    y->firstChild = y->nextSib = y->anc = nullptr;
    tree->flags &= ~static_cast<uint32_t>(kTreeTraversalValid | kTreeLeafSetsValid);
}

int optimizeForOutput(Tree *tree, DataInfo *data, uint32_t n)
{
    const uint64_t errorsBefore = errorsShown();
    const int rc = prepTreeForDrawing(tree, data, n, true, false, true, false, false, nullptr);
    // The criterion may have no way to give lengths yet: say so rather than
    // stop with a file cut short, unless it has said why already.
    if (rc == 1 && !getAbortedStatus() && errorsShown() == errorsBefore)
        qel_errorMsg(0, "Branch lengths for tree %u could not be obtained under the current criterion.", n);
    return rc;
}

// Tree n as it is written: with lengths from the data (optimised for the
// criterion, which roots it), rooted when unrooted trees are to be written
// rooted, and otherwise unrooted as it is stored.
int prepareOutputTree(SaveJob &job, uint32_t n)
{
    Tree *tree = job.tree;
    job.decimals = job.baseDecimals;
    const bool userLens = svtr.brLens == kSaveBrlensUser;
    if (job.optimize) {
        if (int rc = optimizeForOutput(tree, job.data, n))
            return rc;
    } else if (job.rootForOutput) {
        if (int rc = rootTree(tree, job.data, n, false, false, userLens))
            return rc;
    } else {
        return 0;
    }
    if (job.rooted)
        return 0;
    if (job.rootForOutput) {
        if (job.lengthMode == kDescrBrlens) {
            setBrlensForRootChildren(tree, true, true);
            // The root's two edges share a stored length: written with the
            // stored lengths' decimals alone, 0.4 and 1.6 would read back
            // as 0 and 2.
            if (svtr.brLens == kSaveBrlensUser)
                job.decimals = std::min(std::max({job.baseDecimals, decimalsFor(tree->rootEdgeLen[0]),
                                                  decimalsFor(tree->rootEdgeLen[1])}),
                                        svtr.maxDecimals);
        }
    } else {
        joinRootEdges(tree);
    }
    return 0;
}

// A support value belongs to a split of the taxa, not to a node: rooting
// reverses edges and adds a root node, so the values are carried across by
// split. Each split is keyed by the side without the lowest taxon on the
// tree, which makes both halves of the root edge the same split.
using SplitKey = std::vector<uint64_t>;

std::vector<SplitKey> splitKeysByNode(Tree *tree)
{
    checkTraversalSeq(tree);
    const size_t words = (tree->ntax + 63) / 64;
    std::vector<SplitKey> below(tree->maxNodes, SplitKey(words, 0));
    const auto addTaxon = [](SplitKey &key, const Tree *t, const TreeNode *p) {
        if (p->index >= 0 && static_cast<uint32_t>(p->index) < t->tipBound)
            key[static_cast<uint32_t>(p->index) / 64] |= uint64_t{1} << (static_cast<uint32_t>(p->index) % 64);
    };
    for (TreeNode *p = tree->tail; p; p = p->prev) {
        SplitKey &key = below[nodePosition(tree, p)];
        addTaxon(key, tree, p);
        for (TreeNode *c = p->firstChild; c; c = c->nextSib)
            for (size_t w = 0; w < words; w++)
                key[w] |= below[nodePosition(tree, c)][w];
    }
    const SplitKey all = below[nodePosition(tree, tree->root)];
    size_t lowWord = 0;
    while (lowWord < words && !all[lowWord])
        lowWord++;
    const uint64_t lowBit = lowWord < words ? all[lowWord] & (~all[lowWord] + 1) : 0;
    for (SplitKey &key : below)
        if (lowBit && (key[lowWord] & lowBit))
            for (size_t w = 0; w < words; w++)
                key[w] = all[w] & ~key[w];
    return below;
}

std::map<SplitKey, float> supportBySplit(Tree *tree)
{
    const std::vector<SplitKey> keys = splitKeysByNode(tree);
    std::map<SplitKey, float> support;
    for (TreeNode *p = tree->root; p; p = p->next)
        support.emplace(keys[nodePosition(tree, p)], p->edge.support);
    return support;
}

void restoreSupportBySplit(Tree *tree, const std::map<SplitKey, float> &support)
{
    const std::vector<SplitKey> keys = splitKeysByNode(tree);
    for (TreeNode *p = tree->root; p; p = p->next) {
        const auto it = support.find(keys[nodePosition(tree, p)]);
        p->edge.support = it == support.end() ? 0.0f : it->second;
    }
}

// A support tree written rooted: rooted by the current method with every
// support value kept on its split.
int rootSupportTree(SaveJob &job, uint32_t n)
{
    const std::map<SplitKey, float> support = supportBySplit(job.tree);
    if (int rc = rootTree(job.tree, job.data, n, false, false, false))
        return rc;
    restoreSupportBySplit(job.tree, support);
    return 0;
}

int write1Tree(SaveJob &job, uint32_t n, bool isLast)
{
    const uint32_t format = job.format;
    if (!job.direct && getTree(job.buf, n, job.tree) != 0)
        return 1;
    if (format == kTreeFmtFreqpars)
        return writeFreqParsTree(job);
    if (!job.direct && !job.isSupportTree)
        if (int rc = prepareOutputTree(job, n))
            return rc;
    if (!job.direct && job.isSupportTree && job.rootForOutput)
        if (int rc = rootSupportTree(job, n))
            return rc;
    if (isNexusFormat(format)) {
        char quoted[2 * kTreeNameSize + 8];
        auxPrintf("tree %s = [&%c] ", nexusizeString(treeNameFor(job.buf, n).c_str(), quoted, sizeof quoted),
                  job.rooted || job.rootForOutput ? 'R' : 'U');
        if (svtr.treeWts) {
            // Stored weights are written as they are, so that they read
            // back; without them every tree weighs 1/count.
            if (haveNonunitTreeWeights(job.buf))
                auxPrintf("[&W %s] ", shortestNumber(getTreeWtBuf(job.buf)[n - 1]).c_str());
            else if (job.count < 2)
                auxPuts("[&W 1] ");
            else
                auxPrintf("[&W 1/%d] ", static_cast<int>(job.count));
        }
    }
    if (job.direct) {
        if (fastTreeSave(job.buf, job.data, n, format == kTreeFmtNexus, job.words.empty() ? nullptr : &job.words) != 0)
            return 1;
    } else {
        writeDescription(DescrContext{job.isSupportTree, job.lengthMode, job.supportAsLabels, format == kTreeFmtNexus,
                                      format == kTreeFmtHennig ? ' ' : ',', job.decimals, treeLabelWriter(format),
                                      job.data, job.words.empty() ? nullptr : &job.words},
                         job.tree);
    }
    auxPuts(format == kTreeFmtHennig && !isLast ? "*\n" : ";\n");
    return auxFileError() ? 1 : 0;
}

// The nodes of one tree that MatrixRep writes as rows: every node below the
// tree's top in preorder (tips included). Used by both passes, so the
// character count always equals the rows written.
std::vector<TreeNode *> matrixRepRows(Tree *tree)
{
    if (tree->root->index >= 0)
        rerootAtFirstFork(tree);
    TreeNode *top = tree->root->index >= 0 || tree->root->firstChild->nextSib ? tree->root : tree->root->firstChild;
    std::vector<TreeNode *> rows;
    for (TreeNode *p = nextPreorderNode(top, top); p; p = nextPreorderNode(p, top))
        rows.push_back(p);
    return rows;
}

int writeMatrixRep(SaveJob &job)
{
    DataInfo *d = job.data;
    const uint32_t ntaxOut = numLabels(d);
    const bool supportWeights = job.isSupportTree && mrep.supportWts;
    const bool brlenWeights = !supportWeights && mrep.brlenWts && haveUserBranchLengths();
    std::vector<uint32_t> rowsPerTree;
    uint32_t nchar = 0;
    uint32_t highestNode = 0;
    for (uint32_t n = 1; n <= job.buf->numTrees; n++) {
        if (!isSetMember(job.list, n - 1))
            continue;
        if (getTree(job.buf, n, job.tree) != 0)
            return 1;
        const std::vector<TreeNode *> rows = matrixRepRows(job.tree);
        rowsPerTree.push_back(static_cast<uint32_t>(rows.size()));
        nchar += static_cast<uint32_t>(rows.size());
        for (TreeNode *p : rows)
            if (p->firstChild)
                highestNode = std::max(highestNode, nodeNum(p, job.tree));
    }
    char quoted[kLabelBufSize];
    uint32_t width = static_cast<uint32_t>(std::to_string(highestNode).size()) + 5;
    for (uint32_t t = 0; t < ntaxOut; t++)
        width = std::max(width, static_cast<uint32_t>(
                                    std::strlen(nexusizeString(taxLabelForMainTreeBuf(d, t), quoted, sizeof quoted))));
    auxPutNEXUS();
    auxPrintf("Begin data;\n\tDimensions ntax=%d nchar=%d;\n", static_cast<int>(ntaxOut), static_cast<int>(nchar));
    auxPuts("\tFormat transpose;\n\tTaxlabels\n");
    for (uint32_t t = 0; t < ntaxOut; t++)
        auxPrintf("\t\t%s\n", nexusizeString(taxLabelForMainTreeBuf(d, t), quoted, sizeof quoted));
    auxPuts("\t\t;\n\tFormat transpose;\n\tMatrix\n");
    std::vector<std::vector<double>> weights;
    uint32_t treeIndex = 0;
    for (uint32_t n = 1; n <= job.buf->numTrees; n++) {
        if (!isSetMember(job.list, n - 1))
            continue;
        if (getAbortedStatus()) {
            qel_printf("\nOutput of matrix representation canceled by user.\n");
            return 2;
        }
        if (getTree(job.buf, n, job.tree) != 0)
            return 1;
        const std::vector<TreeNode *> rows = matrixRepRows(job.tree);
        makeAllLeafSets(job.tree);
        std::vector<uint8_t> onTree(ntaxOut, 0);
        for (uint32_t t = 0; t < ntaxOut && t < job.tree->ntax; t++)
            onTree[t] = job.tree->nodes[1 + t].anc || job.tree->root == job.tree->nodes + 1 + t;
        auxPrintf("\n[Tree %d]\n", static_cast<int>(n));
        weights.emplace_back();
        for (TreeNode *p : rows) {
            if (p->firstChild)
                auxPrintf("node_%-*d ", static_cast<int>(width - 5), static_cast<int>(nodeNum(p, job.tree)));
            else
                auxPrintf("%-*s ", static_cast<int>(width),
                          nexusizeString(taxLabelForMainTreeBuf(d, static_cast<uint32_t>(p->index)), quoted,
                                         sizeof quoted));
            std::string cells(ntaxOut, '?');
            for (uint32_t t = 0; t < ntaxOut; t++)
                if (onTree[t])
                    cells[t] = isTaxInLeafSet(static_cast<int32_t>(t), false, p->leafSet) ? '1' : '0';
            auxPuts(cells.c_str());
            auxPutNewline();
            weights.back().push_back(supportWeights ? p->edge.support : p->edge.brlen);
        }
        treeIndex++;
        if (auxFileError())
            return 1;
    }
    auxPuts("\t;\nEnd;\n");
    const bool withWeights = supportWeights || brlenWeights;
    if (rowsPerTree.size() > 1 || withWeights) {
        auxPuts("\nBegin assumptions;\n");
        if (rowsPerTree.size() > 1) {
            uint32_t first = 1;
            uint32_t k = 0;
            for (uint32_t n = 1; n <= job.buf->numTrees; n++) {
                if (!isSetMember(job.list, n - 1))
                    continue;
                const uint32_t rows = rowsPerTree[k++];
                auxPrintf("\tCharset tree%d = %d-%d;\n", static_cast<int>(n), static_cast<int>(first),
                          static_cast<int>(first + rows - 1));
                first += rows;
            }
        }
        if (withWeights) {
            auxPuts("\tWtset brlens (vector) =");
            for (const auto &perTree : weights) {
                auxPuts("\n\t");
                for (double w : perTree)
                    auxPrintf(" %g", w);
            }
            auxPuts(";\n");
        }
        auxPuts("End;\n");
    }
    return auxFileError() ? 1 : 0;
}

}  // namespace

int optimizeTreeLengthsForOutput(Tree *tree, DataInfo *data, uint32_t treeNumber, bool rooted)
{
    if (int rc = optimizeForOutput(tree, data, treeNumber))
        return rc;
    if (!rooted)
        joinRootEdges(tree);
    return 0;
}

int saveTreesToFile(DataInfo *data, bool matrixRep)
{
    TreeBuffer *buf = getMainTreeBuffer(data);
    const bool isSupportTree = buf && haveTreeSupportValues(buf);
    const char *command = matrixRep ? "MatrixRep" : "SaveTrees";
    gReplaceFile = gAppendToFile = 0;
    svtr.from = svtr.to = 0;
    // A kept request that the data in memory cannot meet is dropped, so that
    // only one typed with this command is refused.
    if (!matrixRep && !isSupportTree &&
        ((svtr.brLens == kSaveBrlensUser && !haveUserBranchLengths()) ||
         (svtr.brLens == kSaveBrlensYes && !haveLengthData(data))))
        svtr.brLens = kSaveBrlensNo;
    if (setCmdParamVals(matrixRep ? OptionSet::kMatrixRep : OptionSet::kSaveTrees) != 0)
        return 1;
    if (gTreefileName[0] == '\0')
        return qel_errorMsg(129, "No file name was specified.\tThe current command was expecting specification of a "
                                 "file name, but none was found.");
    if (!buf || buf->numTrees == 0) {
        qel_printf("\nNo trees in memory; \"%s\" command ignored.\n", command);
        return 0;
    }
    const bool firstOnly = isSupportTree || (matrixRep ? mrep.firstOnly : svtr.firstOnly);
    uint32_t from = matrixRep || firstOnly ? 1 : (svtr.from ? svtr.from : 1);
    uint32_t to = firstOnly ? 1 : (!matrixRep && svtr.to ? std::min(svtr.to, buf->numTrees) : buf->numTrees);
    Set *list = nullptr;
    if (from > to || makeTreeListSetWithinRange(&list, from, to) != 0 || !list) {
        deallocSet(list);
        qel_printf("\nNo trees exist in the specified range.\n");
        return 0;
    }
    SaveJob job{};
    job.data = data;
    job.buf = buf;
    job.list = list;
    job.format = svtr.format;
    job.isSupportTree = isSupportTree;
    job.rooted = buf->rooted != 0;
    for (uint32_t n = from; n <= to; n++)
        if (isSetMember(list, n - 1))
            job.count++;
    // A range whose trees the filter hides all is empty too.
    if (job.count == 0) {
        deallocSet(list);
        qel_printf("\nNo trees exist in the specified range.\n");
        return 0;
    }
    if (!matrixRep) {
        const bool lengthsWritten = isNexusFormat(job.format) || job.format == kTreeFmtNewick ||
                                    job.format == kTreeFmtPhylip;
        if (!isSupportTree && svtr.brLens == kSaveBrlensUser && !haveUserBranchLengths()) {
            deallocSet(list);
            return qel_errorMsg(780, "Saving of trees with user-defined branch-lengths was requested but no "
                                     "user-defined branch lengths are available.\t");
        }
        if (!isSupportTree && svtr.brLens == kSaveBrlensYes && !haveLengthData(data)) {
            deallocSet(list);
            return qel_errorMsg(781, "Branch lengths cannot be saved because no character or distance data are "
                                     "available.\tIf user-defined branch lengths are available and you want to "
                                     "include them in the saved trees, specify \"brlens=user\" or use the equivalent "
                                     "GUI setting.");
        }
        job.rootForOutput = svtr.root && !job.rooted;
        job.optimize = !isSupportTree && svtr.brLens == kSaveBrlensYes;
        const RootingServices &rs = rootingServices();
        if ((job.optimize || job.rootForOutput) &&
            (checkRootingOption(data, false, !isSupportTree && svtr.brLens != kSaveBrlensNo, true, false) != 0 ||
             (job.optimize && rs.checkMinFCharTypes && rs.checkMinFCharTypes(data) != 0) ||
             (job.optimize && prepareLengthData(data) != 0))) {
            deallocSet(list);
            return 1;
        }
        if (lengthsWritten) {
            if (isSupportTree && svtr.supportValues != kSupportNo) {
                job.lengthMode = (svtr.supportValues & kSupportBrlens) ? kDescrSupport : kDescrNoLengths;
                job.supportAsLabels = (svtr.supportValues & kSupportNodeLabels) != 0;
            } else if (!isSupportTree && svtr.brLens != kSaveBrlensNo) {
                job.lengthMode = kDescrBrlens;
            }
        }
        // User lengths keep the decimals they were read with, up to the limit.
        job.decimals = job.baseDecimals = isSupportTree ? kSupportTreeDecimals
                       : svtr.brLens == kSaveBrlensUser ? std::min(getMaxBranchLenDecimals(buf), svtr.maxDecimals)
                                                        : svtr.maxDecimals;
        job.direct = isNexusFormat(job.format) && !isSupportTree && job.lengthMode == kDescrNoLengths &&
                     !job.rootForOutput;
        // Taxa whose labels the file's readers would take for one name are
        // written by words that tell them apart (the Translate table names
        // them in the NEXUS format).
        if (isNexusFormat(job.format) || job.format == kTreeFmtNewick || job.format == kTreeFmtPhylip)
            job.words = treeFileTaxonWords(data, job.format, &job.numberedWords);
        if (job.format == kTreeFmtNexus) {
            job.words.clear();
        } else if (job.format == kTreeFmtAltNexus) {
            char quoted[kLabelBufSize];
            for (std::string &w : job.words)
                w = nexusizeString(w.c_str(), quoted, sizeof quoted);
        } else if (job.format == kTreeFmtNewick) {
            for (std::string &w : job.words)
                if (needsNewickQuotes(w.c_str()))
                    w = newickQuotedWord(w);
        }
    }
    job.tree = createTree(true);
    int openStatus = 1;
    AuxOut *aux = job.tree ? openAuxOutStream(gTreefileName, gReplaceFile != 0, gAppendToFile != 0, &openStatus)
                           : nullptr;
    if (!aux) {
        destroyTree(job.tree, true);
        deallocSet(list);
        return openStatus;
    }
    int status = 0;
    uint32_t written = 0;
    if (matrixRep) {
        status = writeMatrixRep(job);
        written = job.count;
    } else {
        if (isNexusFormat(job.format)) {
            auxPutTreesBlkCmd(svtr.taxaBlk, job.lengthMode == kDescrBrlens && svtr.setStoreCmd, data);
            const char *file = getDataFileName();
            auxPuts("[!");
            if (file && *file)
                auxPrintf("\n>Data file = %s\n", file);
            // How the trees were made (the search settings, or where they
            // were read from), as the consensus files quote it.
            auxPuts(commentSafe(outputText()).c_str());
            auxPuts("]\n");
            if (job.format == kTreeFmtNexus)
                writeTransTable(data);
        } else if (job.format == kTreeFmtHennig) {
            auxPrintf("tread\n'%d tree(s) from VORN'\n", static_cast<int>(job.count));
        }
        uint32_t seen = 0;
        for (uint32_t n = from; n <= to && status == 0; n++) {
            if (!isSetMember(list, n - 1))
                continue;
            if (getAbortedStatus()) {
                auxPuts("[!Treefile output aborted by user]\n");
                status = 2;
                break;
            }
            seen++;
            status = write1Tree(job, n, seen == job.count);
            if (status == 0)
                written++;
        }
        if (status == 0) {
            if (isNexusFormat(job.format))
                auxPuts("End;\n");
            else if (job.format == kTreeFmtHennig)
                auxPuts("\nprocedure /;\n");
        }
        if (job.format == kTreeFmtFreqpars)
            written -= job.skipped + job.lackingTaxa;
    }
    char shown[kDisplayPathSize];
    strcpy_n(shown, auxPathnameForDisplay(aux, 255).c_str(), sizeof shown);
    // A save that failed part way is abandoned whole: a file without all its
    // trees (or without its End) must not take the place of a good one.
    // An interrupt is left to the close, which abandons it and says so.
    if (status == 1)
        discardAuxOutStream(aux);
    else if (closeAuxOutStream(aux) != 0 && status == 0)
        status = 1;
    // The trees written before the stop went with the file: none is saved.
    if (status == 2 && !matrixRep)
        qel_printf("%d %s not saved (%d not yet written when the output was stopped).\n", static_cast<int>(job.count),
                   treeWord(job.count), static_cast<int>(job.count - written));
    if (status == 0) {
        const char *verb = gAppendToFile ? "appended" : "saved";
        if (matrixRep) {
            qel_printf("\nMatrix representation for %d %s %s to file \"%s\"\n", static_cast<int>(written),
                       treeWord(written), verb, shown);
        } else {
            qel_printf("\n%d %s %s to file \"%s\"", static_cast<int>(written), treeWord(written), verb, shown);
            if (!isNexusFormat(job.format))
                qel_printf(" in %s format", formatName(job.format));
            qel_printf("\n");
            if (job.numberedWords)
                qel_printf("Note: %d taxon %s numbered at the end so that no two taxa share a name in the file.\n",
                           static_cast<int>(job.numberedWords), job.numberedWords == 1 ? "name was" : "names were");
            if (job.format == kTreeFmtFreqpars && job.skipped)
                qel_printf("Note: %d nonbinary %s not written to file (not accepted by FreqPars).\n",
                           static_cast<int>(job.skipped), treeWord(job.skipped));
            if (job.lackingTaxa)
                qel_warningMsg(0, "%d %s lacking one or more taxa not written to file (FreqPars trees hold every "
                                  "taxon).",
                               static_cast<int>(job.lackingTaxa), treeWord(job.lackingTaxa));
        }
        setTreesAreSaved(true);
    }
    destroyTree(job.tree, true);
    deallocSet(list);
    clearStatusText();
    return status;
}

int doSaveTreesCmd() { return saveTreesToFile(activeDataInfo(), false); }
int doMatrixRepCmd() { return saveTreesToFile(activeDataInfo(), true); }

#include "trees/readtree.h"

#include "data/taxlabels.h"

#include <algorithm>
#include <cstdlib>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <new>
#include <strings.h>
#include <utility>

#include "data/chartaxlist.h"
#include "data/data_util.h"
#include "data/getdata.h"
#include "data/nexsets.h"
#include "data/taxlabels.h"
#include "data/taxstat.h"
#include "data/vorn_data.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_files.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_io.h"
#include "qel/qel_malloc.h"
#include "qel/qel_output.h"
#include "qel/qel_outtext.h"
#include "qel/qel_progress.h"
#include "qel/qel_strings.h"
#include "qel/qel_time.h"
#include "cli/qel_cmdline.h"
#include "cli/qel_cmdoptions.h"
#include "cli/shell_settings.h"
#include "trees/savetree.h"
#include "trees/tree_settings.h"
#include "trees/treebuf.h"
#include "trees/treebuf_extras.h"
#include "trees/treeedit.h"
#include "trees/treefilter.h"
#include "trees/treegen.h"
#include "trees/treelist.h"

namespace {

constexpr uint32_t kWordSize = 260;  // labels are at most 255 characters
constexpr uint32_t kToEnd = 0xFFFFFFFFu;
constexpr uint32_t kStopReading = 999;  // internal: the rest of the input is not read
constexpr const char *kLabelPunct = "=;:(),-";
constexpr const char *kNewickLabelPunct = "=;:(),";
constexpr const char *kLengthPunct = "=;(),";

// Names are matched without regard to case, in the C locale the program
// runs in: only A-Z have lower-case forms.
void lowerInto(std::string &out, const char *s)
{
    out.assign(s);
    for (char &c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
}

std::string lowerCase(const char *s)
{
    std::string out;
    lowerInto(out, s);
    return out;
}

uint32_t numActive(const DataInfo *d) { return d->nActive > 0 ? static_cast<uint32_t>(d->nActive) : d->ntax; }

// The taxon a tree file we wrote names by word: the writers' words are made
// again from the labels of the taxa they could have written (those of the
// NEXUS writers in a NEXUS file, of the Newick and PHYLIP writers in a plain
// one).
int32_t taxonOfFileWord(TreeReader *r, const char *word)
{
    const DataInfo *d = r->data;
    if (!d)
        return -1;
    if (!r->fileWordsBuilt) {
        r->fileWordsBuilt = true;
        const uint32_t n = r->originalNumbers ? d->ntax : numActive(d);
        std::vector<std::string> labels;
        std::vector<uint32_t> original;
        for (uint32_t t = 0; t < n; t++) {
            const uint32_t o = d->taxa.activeToOriginal && !r->originalNumbers ? d->taxa.activeToOriginal[t] : t;
            labels.emplace_back(taxLabelString(d, o));
            original.push_back(o);
        }
        // Newick words first: a PHYLIP word never equals another taxon's.
        const std::vector<uint32_t> formats =
            r->newickFile ? std::vector<uint32_t>{kTreeFmtNewick, kTreeFmtPhylip} : std::vector<uint32_t>{kTreeFmtNexus};
        for (uint32_t format : formats) {
            const std::vector<std::string> words = treeFileTaxonWords(labels, format);
            for (uint32_t t = 0; t < n; t++)
                r->fileWords.emplace(normalizedTreeWord(words[t]), original[t]);
        }
    }
    const auto it = r->fileWords.find(normalizedTreeWord(word));
    return it == r->fileWords.end() ? -1 : static_cast<int32_t>(it->second);
}

// A word our tree-file writers made of a label, or a taxon number; -1 when
// it names none.
int32_t taxonOfFileWordOrNumber(const DataInfo *d, const char *word, TreeReader *r)
{
    if (r)
        if (const int32_t t = taxonOfFileWord(r, word); t >= 0)
            return t;
    uint32_t n;
    if (d->taxa.taxaByNumber && isAllDigit(word) && stringToUInt(word, &n) == kConvOk && n >= 1 && n <= d->ntax)
        return static_cast<int32_t>(n - 1);
    return -1;
}

// Original taxon of a label (through the reader's label index), of a word
// our tree-file writers made of a label, or of a number; -1 when the word
// names none. Names go before numbers.
int32_t taxonOfLabel(TreeReader *r, const char *word)
{
    const DataInfo *d = r->data;
    if (!d)
        return -1;
    if (!r->labelIndexBuilt) {
        r->labelIndexBuilt = true;
        r->labelIndex.reserve(d->ntax * 2);
        for (uint32_t t = 0; t < d->ntax; t++)
            r->labelIndex.emplace(lowerCase(taxLabelString(d, t)), t);
    }
    lowerInto(r->lowered, word);
    if (auto it = r->labelIndex.find(r->lowered); it != r->labelIndex.end())
        return static_cast<int32_t>(it->second);
    if (!r->phylipLabels.empty()) {
        char plain[2 * kMaxLabelLength + 8];
        phylipLabel(word, false, false, plain, sizeof plain);
        if (auto it = r->phylipLabels.find(lowerCase(plain)); it != r->phylipLabels.end())
            return static_cast<int32_t>(it->second);
    }
    return taxonOfFileWordOrNumber(d, word, r);
}

uint32_t activeOf(const DataInfo *d, uint32_t original)
{
    return d->taxa.originalToActive ? d->taxa.originalToActive[original] : original;
}

// A deleted taxon is left off the trees read, except those numbered by
// original taxon (constraint trees): they keep every taxon, so that a
// constraint defined after a deletion still holds its groups once the
// taxon comes back.
bool prunesTaxon(const TreeReader *r, uint32_t original)
{
    return !r->originalNumbers && isDeletedTaxon(original, r->data);
}

TreeNode *tipOfTaxon(const TreeReader *r, Tree *tree, uint32_t original)
{
    return tree->nodes + 1 + (r->originalNumbers ? original : activeOf(r->data, original));
}

void appendChild(TreeNode *parent, TreeNode *child)
{
    child->anc = parent;
    child->nextSib = nullptr;
    if (!parent->firstChild) {
        parent->firstChild = child;
        return;
    }
    TreeNode *c = parent->firstChild;
    while (c->nextSib)
        c = c->nextSib;
    c->nextSib = child;
}

int invalidTree() { return qel_errorMsg(720, "Tree description is invalid."); }
int tooManyNodes() { return qel_errorMsg(723, "Tree description invalid (too many nodes)."); }
int unbalanced() { return qel_errorMsg(725, "Unbalanced or missing parentheses in user-tree specification."); }
int expectingSemicolon()
{
    return qel_errorMsg(728, "Expecting semicolon.\tA common cause of this error is insufficient or unbalanced "
                             "parentheses in the tree description.");
}
int unexpectedSemicolon()
{
    return qel_errorMsg(118, "Unexpected semicolon (;).\tCheck input formatting carefully (e.g., verify that the "
                             "number of items supplied for a list is correct).");
}

// Counts the node against the description's limit: every node named or
// opened takes a slot, and internal nodes must also fit the node array.
bool roomForNode(TreeReader *r, bool internal, uint32_t ntax)
{
    return ++r->nodeCount <= r->nodeLimit && (!internal || ++r->internalCount <= ntax);
}

int countNode(TreeReader *r, bool internal, uint32_t ntax)
{
    return roomForNode(r, internal, ntax) ? 0 : tooManyNodes();
}

// The value of a branch-length word, stored in node; false when the word is
// not a finite number. The decimals written are noted for the writers.
bool storeBranchLength(TreeReader *r, TreeNode *node, const char *word)
{
    double v = 0.0;
    if (word[0] == '\0' || std::strchr(kLengthPunct, word[0]) || stringToDouble(word, &v) != kConvOk ||
        !std::isfinite(v))
        return false;
    // The decimals the value needs in fixed notation: those after the point,
    // less a positive exponent, plus a negative one ("1.5e-3" needs 4), so
    // that a length written with an exponent is not saved back as 0.
    const char *exponent = std::strpbrk(word, "eE");
    const char *dot = std::strchr(word, '.');
    long needed = dot && (!exponent || dot < exponent) ? (exponent ? exponent : word + std::strlen(word)) - dot - 1 : 0;
    // The exponent is bounded first: strtol saturates a huge one at the
    // long's limit, which the subtraction would then overflow.
    if (exponent)
        needed -= std::clamp(std::strtol(exponent + 1, nullptr, 10), -100000L, 100000L);
    constexpr long kMostDecimals = 12;  // beyond the precision of lengths anyone draws or saves
    r->decimals = std::max(r->decimals, static_cast<uint32_t>(std::clamp(needed, 0L, kMostDecimals)));
    node->edge.brlen = v;
    r->brlensSeen = true;
    if (v < 0.0)
        r->negativeBrlen = true;
    return true;
}

// A branch length after ":"; the colon has been read.
int readBranchLength(TreeReader *r, TreeNode *node)
{
    char word[kWordSize];
    if (readSpecialToken(word, sizeof word, nullptr, kLengthPunct, nullptr, false) < 0)
        return 1;
    if (!storeBranchLength(r, node, word))
        return qel_errorMsg(787, "Invalid branch length found in tree description: '%s'\tBranch lengths must be "
                                 "integers or real numbers.",
                            word);
    return 0;
}

// Tip nodes for one taxon reference (a taxon, a taxon set or a range),
// appended to parent. Pruned (deleted) taxa add nothing. 0 or 1.
int readTaxonReference(TreeReader *r, Tree *tree, TreeNode *parent, std::vector<TreeNode *> &added)
{
    DataInfo *d = r->data;
    char word[kWordSize];
    const char *punct = r->newickFile ? kNewickLabelPunct : kLabelPunct;
    if (readSpecialToken(word, sizeof word, nullptr, punct, nullptr, false) < 0)
        return 1;
    if (tokenWasTruncated())
        return showTaxIdError(word, d);
    std::vector<uint32_t> originals;
    int32_t t = findStringInTransTable(r, word);
    const Nexset *set = nullptr;
    if (t < 0 && (set = findMatchingTaxonSet(word)) != nullptr) {
        const Set *s = getNexsetSet(set);
        for (uint32_t m = 0; s && m < d->ntax && m < s->capacity; m++)
            if (isSetMember(s, m))
                originals.push_back(m);
        const int c = peekNextChar(nullptr);
        if (c == ':')
            return qel_errorMsg(774, "Assignment of branch lengths to a taxon-set is not allowed.");
        if (c == '-' && !r->newickFile)
            return qel_errorMsg(775, "Range of taxa is not allowed in this context (following taxon-set name).");
    } else {
        if (t < 0)
            t = taxonOfLabel(r, word);
        if (t < 0)
            return showTaxIdError(word, d);
        originals.push_back(static_cast<uint32_t>(t));
        if (!r->newickFile && peekNextChar(nullptr) == '-') {
            readNextDarkChar(nullptr);
            char last[kWordSize];
            if (readSpecialToken(last, sizeof last, nullptr, punct, nullptr, false) < 0)
                return 1;
            if (last[0] != '\0' && last[1] == '\0' && std::strchr(";(),:-", last[0]))
                return qel_errorMsg(601, "Range of taxa is not valid.");
            int32_t u = findStringInTransTable(r, last);
            if (u < 0)
                u = taxonOfLabel(r, last);
            if (u < 0)
                return showTaxIdError(last, d);
            if (u < t)
                return qel_errorMsg(601, "Range of taxa is not valid.");
            for (int32_t k = t + 1; k <= u; k++)
                originals.push_back(static_cast<uint32_t>(k));
        }
    }
    for (uint32_t o : originals) {
        if (prunesTaxon(r, o)) {
            if (r->pruneAnswer < 0)
                r->pruneAnswer = (r->readFlags & kReadPruneDeleted) ||
                                         userQuery(true, "An input tree description contains one or more deleted "
                                                         "taxa.  OK to prune these taxa from input trees?")
                                     ? 1
                                     : 0;
            if (r->pruneAnswer == 0)
                return qel_errorMsg(776, "Taxon \"%s\" (#%d) has been deleted; use in tree description here is not "
                                         "allowed.",
                                    taxLabelString(d, o), static_cast<int>(o + 1));
            r->pruned = true;
            continue;
        }
        if (r->used[o])
            return qel_errorMsg(748, "Taxon \"%s\" (#%d) appears more than once in tree description",
                                taxLabelString(d, o), static_cast<int>(o + 1));
        r->used[o] = 1;
        if (countNode(r, false, tree->ntax) != 0)
            return 1;
        TreeNode *tip = tipOfTaxon(r, tree, o);
        appendChild(parent, tip);
        added.push_back(tip);
    }
    return 0;
}

// Newick text from the first "(" through ";", iteratively so that deep
// nesting cannot exhaust the stack. The description hangs below node 0.
int readNewickNodes(TreeReader *r, Tree *tree)
{
    TreeNode *anc = tree->nodes;
    std::vector<TreeNode *> open;  // internal nodes not yet closed
    TreeNode *nextFork = tree->nodes + tree->ntax + 1;
    bool expectNode = true;
    TreeNode *last = nullptr;  // the node just completed
    for (;;) {
        int c = readNextDarkChar(nullptr);
        if (c < 0)
            return c == kCharEnd ? expectingSemicolon() : 1;
        if (expectNode) {
            if (c == '(') {
                if (countNode(r, true, tree->ntax) != 0)
                    return 1;
                TreeNode *fork = nextFork++;
                appendChild(open.empty() ? anc : open.back(), fork);
                open.push_back(fork);
                continue;
            }
            if (c == ';')
                return unexpectedSemicolon();
            if (c == ',' || c == ')')
                return invalidTree();
            putCharBack(c);
            std::vector<TreeNode *> added;
            if (readTaxonReference(r, tree, open.empty() ? anc : open.back(), added) != 0)
                return 1;
            last = added.size() == 1 ? added[0] : nullptr;
            if (peekNextChar(nullptr) == ':') {
                readNextDarkChar(nullptr);
                if (!last)  // a pruned taxon: its length goes with it
                    last = tree->nodes;  // scratch: node 0's length is reset below
                if (readBranchLength(r, last) != 0)
                    return 1;
            }
            expectNode = false;
            continue;
        }
        if (c == ',') {
            if (open.empty())
                return unbalanced();
            expectNode = true;
            continue;
        }
        if (c == ')') {
            if (open.empty())
                return unbalanced();
            TreeNode *closed = open.back();
            open.pop_back();
            if (!closed->firstChild) {
                // Every child was a pruned taxon: the node goes too.
                if (!r->pruned)
                    return invalidTree();
            }
            int next = peekNextChar(nullptr);
            if (next >= 0 && !std::strchr("(),;:", next)) {
                char label[kWordSize];  // an internal node label: read and dropped
                if (readSpecialToken(label, sizeof label, nullptr, kNewickLabelPunct, nullptr, false) < 0)
                    return 1;
                next = peekNextChar(nullptr);
            }
            if (next == ':') {
                readNextDarkChar(nullptr);
                if (readBranchLength(r, closed) != 0)
                    return 1;
            }
            last = closed;
            continue;
        }
        if (c == ';')
            return open.empty() ? 0 : unbalanced();
        if (open.empty())
            return expectingSemicolon();
        return invalidTree();
    }
}

// ---- Descriptions read whole ----------------------------------------------
// Taken a character at a time through the tokenizer, the descriptions of a
// large tree file cost far more in calls per character than in the trees
// themselves. So a description is first taken whole into memory (through
// its ";") and parsed there by the tokenizer's own rules for words, quotes,
// underscores and comments. Whatever this parser does not take on (any
// error, a taxon set or range, a deleted or repeated taxon, a visible
// comment, a ";" inside a quote or comment) puts the input back at the start
// of the description, where the general reader reads it again and reports
// what it finds.

constexpr int kGiveUp = -2;

bool gWholeDescriptions = true;

enum : uint8_t {
    kCharWhite = kCharClassWhite,
    kCharPunct = kCharClassPunct,
    kCharQuote = kCharClassQuote,
    kCharBracket = kCharClassBracket,
    kCharUnderscore = kCharClassUnderscore
};

constexpr std::array<uint8_t, 256> wordClasses(const char *punct) { return wordCharClasses(kStdWhitespaceChars, punct); }
constexpr std::array<uint8_t, 256> kLabelClasses = wordClasses(kLabelPunct);
constexpr std::array<uint8_t, 256> kNewickLabelClasses = wordClasses(kNewickLabelPunct);
constexpr std::array<uint8_t, 256> kLengthClasses = wordClasses(kLengthPunct);

class DescriptionCursor {
public:
    explicit DescriptionCursor(const std::string &text) : p_(text.data()), end_(text.data() + text.size()) {}

    bool atEnd() const { return p_ == end_; }
    void skip() { ++p_; }

    // The next character outside whitespace and comments, not taken; -1 at
    // the end, kGiveUp at a comment left to the tokenizer.
    int peekDark()
    {
        while (p_ < end_) {
            const unsigned char c = static_cast<unsigned char>(*p_);
            if (c == '[') {
                if (!skipComment())
                    return kGiveUp;
            } else if (kLengthClasses[c] & kCharWhite) {
                ++p_;
            } else {
                return c;
            }
        }
        return -1;
    }

    // The word at a dark character, as readSpecialToken reads it with the
    // punctuation of cls (out holds kWordSize bytes). False to give up.
    bool word(const std::array<uint8_t, 256> &cls, char *out, bool *truncated)
    {
        constexpr uint32_t cap = kWordSize - 1;
        uint32_t n = 0;
        *truncated = false;
        auto store = [&](char ch) {
            if (n < cap)
                out[n++] = ch;
            else
                *truncated = true;
        };
        const char first = *p_++;
        if (cls[static_cast<unsigned char>(first)] & kCharPunct) {
            out[0] = first;
            out[1] = '\0';
            return true;
        }
        if (first == '\'') {
            for (;;) {  // '' is one quote
                if (p_ == end_)
                    return false;
                const char ch = *p_++;
                if (ch == '\'') {
                    if (p_ == end_ || *p_ != '\'')
                        break;
                    ++p_;
                }
                store(ch);
            }
        } else {
            const bool keepUnderscores = gSettings.keepUnderscores != 0;
            store(first == '_' ? ' ' : first);  // a leading underscore is always a blank
            while (p_ < end_) {
                const char ch = *p_;
                const uint8_t k = cls[static_cast<unsigned char>(ch)];
                if (k == 0) {
                    store(ch);
                    ++p_;
                } else if (k & kCharBracket) {
                    if (!skipComment())
                        return false;
                } else if (k & (kCharWhite | kCharPunct | kCharQuote)) {
                    break;
                } else {
                    store((k & kCharUnderscore) && !keepUnderscores ? ' ' : ch);
                    ++p_;
                }
            }
        }
        while (n > 1 && (out[n - 1] == ' ' || out[n - 1] == '\t'))
            --n;
        out[n] = '\0';
        length_ = n;
        return true;
    }

    // The length of the last word read (punctuation words excepted).
    size_t wordLength() const { return length_; }

private:
    // At "[": past the (nested) comment. A visible comment, which may have
    // to be printed, and an open one are left to the tokenizer.
    bool skipComment()
    {
        ++p_;
        if (p_ < end_ && *p_ == '!')
            return false;
        for (uint32_t depth = 1; p_ < end_;) {
            const char c = *p_++;
            if (c == '[')
                depth++;
            else if (c == ']' && --depth == 0)
                return true;
        }
        return false;
    }

    const char *p_;
    const char *end_;
    size_t length_ = 0;
};

// The description at the input position, whole, in text; the input can be
// put back with `restore`. False (nothing read) for an input the fast
// readers do not serve: the terminal, or comments not recognized.
class WholeDescription {
public:
    bool take(std::string &text)
    {
        in_ = getActiveInput();
        if (!gWholeDescriptions || !in_ || !in_->batch || !(in_->isDocument || (in_->stream && in_->stream->fp)) ||
            !gSettings.recognizeNexusComments)
            return false;
        before_ = *in_;
        currentInputInfo(&seekable_);
        text.clear();
        taken_ = true;
        return readNextCharsThrough(';', text);
    }
    // Back to where take started, positions included.
    void restore()
    {
        if (!taken_)
            return;
        resetCurrentInput(&seekable_);
        *in_ = before_;
    }

private:
    InputStatus *in_ = nullptr;
    InputStatus before_{};
    InputStatus seekable_{};  // its charCount is the file offset to seek to
    bool taken_ = false;
};

// The fast parse of a description into tree (prepared as for the general
// reader); false to leave it to the general reader.
bool parseDescription(TreeReader *r, Tree *tree, DescriptionCursor &text)
{
    TreeNode *anc = tree->nodes;
    std::vector<TreeNode *> &open = r->openForks;
    open.clear();
    TreeNode *nextFork = tree->nodes + tree->ntax + 1;
    const auto &labelClasses = r->newickFile ? kNewickLabelClasses : kLabelClasses;
    char word[kWordSize];
    bool truncated = false;
    auto length = [&](TreeNode *node) {  // at ":"
        text.skip();
        return text.peekDark() >= 0 && text.word(kLengthClasses, word, &truncated) &&
               storeBranchLength(r, node, word);
    };
    bool expectNode = true;
    for (;;) {
        const int c = text.peekDark();
        if (c < 0)
            return false;
        if (expectNode) {
            if (c == '(') {
                text.skip();
                if (!roomForNode(r, true, tree->ntax))
                    return false;
                TreeNode *fork = nextFork++;
                appendChild(open.empty() ? anc : open.back(), fork);
                open.push_back(fork);
                continue;
            }
            if (c == ';' || c == ',' || c == ')')
                return false;
            if (!text.word(labelClasses, word, &truncated) || truncated)
                return false;
            const std::string_view spelled(word, text.wordLength());
            int32_t t = static_cast<int32_t>(r->resolved.find(spelled));
            if (t < 0) {
                t = findStringInTransTable(r, word);
                if (t < 0 && findMatchingTaxonSet(word))
                    return false;
                if (t < 0)
                    t = taxonOfLabel(r, word);
                if (t >= 0)
                    r->resolved.insert(spelled, static_cast<uint32_t>(t));
            }
            if (t < 0 || (!r->newickFile && text.peekDark() == '-'))
                return false;
            const auto o = static_cast<uint32_t>(t);
            if (prunesTaxon(r, o) || r->used[o] || !roomForNode(r, false, tree->ntax))
                return false;
            r->used[o] = 1;
            TreeNode *tip = tipOfTaxon(r, tree, o);
            appendChild(open.empty() ? anc : open.back(), tip);
            if (text.peekDark() == ':' && !length(tip))
                return false;
            expectNode = false;
            continue;
        }
        text.skip();
        if (c == ',') {
            if (open.empty())
                return false;
            expectNode = true;
        } else if (c == ')') {
            if (open.empty() || !open.back()->firstChild)
                return false;
            TreeNode *closed = open.back();
            open.pop_back();
            int next = text.peekDark();
            if (next >= 0 && !std::strchr("(),;:", next)) {  // an internal node label: dropped
                if (!text.word(kNewickLabelClasses, word, &truncated))
                    return false;
                next = text.peekDark();
            }
            if (next == ':' && !length(closed))
                return false;
        } else {
            return c == ';' && open.empty() && text.atEnd();
        }
    }
}

// Reads the description at the input position the fast way. False when it
// was left to the general reader: the input is then back where it was.
bool readNewickWhole(TreeReader *r, Tree *tree)
{
    WholeDescription whole;
    const uint32_t decimals = r->decimals;
    if (whole.take(r->text)) {
        DescriptionCursor cursor(r->text);
        if (parseDescription(r, tree, cursor))
            return true;
    }
    whole.restore();
    r->decimals = decimals;
    return false;
}

// Ancestor-function format: one 1-based ancestor number per node, tips
// first, ";" at the end. The input is bounded, checked for one root, for
// cycles and for nodes that cannot be reached from the root.
int readAncestorFunction(TreeReader *r, Tree *tree)
{
    const uint32_t tips = numActive(r->data);
    const uint32_t maxEntries = 2 * tips - 1;
    std::vector<int64_t> anc;
    char word[kWordSize];
    for (;;) {
        if (readToken(word, sizeof word) < 0)
            return 1;
        if (isTokenSemicolon(word))
            break;
        // A negative number marks the root as 0 does; the minus sign comes
        // as a token of its own.
        const bool negative = std::strcmp(word, "-") == 0;
        if (negative && readToken(word, sizeof word) < 0)
            return 1;
        int32_t v;
        if (stringToInt(word, &v) != kConvOk || v < 0 || (!negative && v > static_cast<int64_t>(2 * tree->ntax)))
            return qel_errorMsg(726, "Ancestor \"%s%s\" in ancestor function is not valid.", negative ? "-" : "",
                                word);
        if (anc.size() >= maxEntries)
            return qel_errorMsg(724, "Ancestor function is not valid.");
        anc.push_back(negative ? -int64_t{v} : v);
    }
    const size_t n = anc.size();
    auto invalid = [] { return qel_errorMsg(724, "Ancestor function is not valid."); };
    if (n < tips)
        return invalid();
    size_t root = n;
    for (size_t k = 0; k < n; k++) {
        if (anc[k] <= 0) {
            if (root != n)
                return invalid();
            root = k;
        } else if (static_cast<size_t>(anc[k]) > n || static_cast<size_t>(anc[k] - 1) == k ||
                   static_cast<size_t>(anc[k]) <= tips) {
            return invalid();  // beyond the list, itself, or a tip
        }
    }
    if (root == n || root < tips)
        return invalid();
    for (size_t k = 0; k < n; k++) {  // every node must reach the root
        size_t p = k;
        for (size_t steps = 0; p != root; steps++) {
            if (steps > n)
                return invalid();
            p = static_cast<size_t>(anc[p] - 1);
        }
    }
    auto position = [&](size_t k) -> TreeNode * {
        return k < tips ? tree->nodes + 1 + k : tree->nodes + tree->ntax + 1 + (k - tips);
    };
    if (n - tips > tree->ntax)
        return tooManyNodes();
    appendChild(tree->nodes, position(root));
    for (size_t k = 0; k < n; k++)
        if (k != root)
            appendChild(position(static_cast<size_t>(anc[k] - 1)), position(k));
    for (size_t k = 0; k < tips; k++)
        r->used[r->data->taxa.activeToOriginal ? r->data->taxa.activeToOriginal[k] : k] = 1;
    return 0;
}

// Unlinks node from its parent's child list.
void unlinkFromParent(TreeNode *node)
{
    childLinkTo(node) = node->nextSib;
    node->anc = node->nextSib = nullptr;
}

void replaceInParent(TreeNode *node, TreeNode *with)
{
    with->anc = node->anc;
    with->nextSib = node->nextSib;
    childLinkTo(node) = with;
    node->anc = node->nextSib = node->firstChild = nullptr;
}

struct SpecialComments {
    int rooted = 0;    // &R met
    int unrooted = 0;  // &U met
    double weight = 1.0;
    bool haveWeight = false;
    bool failed = false;
};

// "[&W value]": the value up to the bracket, which is left for the comment
// reader to close.
int weightComment(void *argument)
{
    auto *sc = static_cast<SpecialComments *>(argument);
    char text[kWordSize];
    if (readSpecialToken(text, sizeof text, nullptr, "]/", nullptr, true) < 0) {
        sc->failed = true;
        return 1;
    }
    if (std::strcmp(text, "]") == 0) {
        putCharBack(']');
        qel_errorMsg(773, "Expecting tree weight found \"%s\"", text);
        sc->failed = true;
        return 1;
    }
    std::string value = text;
    int c = readNextDarkChar(nullptr);
    if (c == '/') {
        char denominator[kWordSize];
        if (readSpecialToken(denominator, sizeof denominator, nullptr, "]/", nullptr, true) < 0 ||
            std::strcmp(denominator, "]") == 0) {
            qel_errorMsg(772, "Missing tree-weight denominator in fraction starting with \"%s/\".", text);
            sc->failed = true;
            return 1;
        }
        value += '/';
        value += denominator;
        c = readNextDarkChar(nullptr);
    }
    if (c != ']') {
        qel_errorMsg(122, "Expecting '%c', found '%c'.", ']', c < 0 ? ' ' : c);
        sc->failed = true;
        return 1;
    }
    putCharBack(c);
    if (storeTreeWtValue(value.c_str(), ']', &sc->weight) != 0) {
        sc->failed = true;
        return 1;
    }
    sc->haveWeight = true;
    return 0;
}

int flagComment(void *argument)
{
    *static_cast<int *>(argument) = 1;
    return 0;
}

int readSpecialComments(SpecialComments &sc)
{
    const SpecialCommentFxn table[] = {
        {"&R", flagComment, &sc.rooted},
        {"&U", flagComment, &sc.unrooted},
        {"&W", weightComment, &sc},
    };
    const int rc = checkSpecialComments(table, 3);
    return rc != 0 || sc.failed ? 1 : 0;
}

// The state of one read (one command or one TREES block met in a file).
struct ReadJob {
    TreeReader *reader = nullptr;
    Tree *tree = nullptr;
    uint32_t mode = kKeepReplace;
    uint32_t flags = 0;
    uint32_t from = 1;
    uint32_t to = kToEnd;
    bool forceRooted = false;
    bool forceUnrooted = false;
    TreeBuffer *originals = nullptr;  // the trees in memory before the read
    Set *marked = nullptr;            // originals matched by a file tree
    bool haveLengths = false;         // decided by the first tree kept
    bool lengthsNotStored = false;
    // Trees kept in memory without lengths, the file's trees joining them:
    // a length read then goes the way of a missing one.
    bool memoryLacksLengths = false;
    bool stopped = false;             // "to" reached or the buffer is full
    SumTStoreFxn sumTStore = nullptr; // SumTrees: every tree read goes here
    TreeBuffer *sumTBuffer = nullptr; // ... and is counted in this buffer
    NamedTreeStoreFxn namedStore = nullptr;  // LoadConstr: every tree with its name
    void *namedContext = nullptr;
};

// Trees generated in the block (Random, All) come unnamed; a name stored
// after them would start the buffer's naming and give them its prefix, or
// the names of the trees they replaced. They are named by number first.
int nameUnnamedTrees(TreeBuffer *buf, uint32_t slot)
{
    if (haveTreeNames(buf))
        return 0;
    for (uint32_t s = 0; s < slot; s++)
        if (storeTreeName(buf, ("Tree " + std::to_string(s + 1)).c_str(), s) != 0)
            return 1;
    return 0;
}

// Stores a tree read according to the keep mode. 0, 1 on error, kStopReading.
int keepTree(ReadJob &job, const char *name, const SpecialComments &sc)
{
    TreeReader *r = job.reader;
    if (job.sumTStore) {
        r->treesKept++;
        return job.sumTStore(job.tree, r->treesRead);
    }
    if (job.namedStore) {
        r->treesKept++;
        return job.namedStore(job.namedContext, job.tree, name);
    }
    TreeBuffer *buf = getMainTreeBuffer(nullptr);
    Tree *tree = job.tree;
    if (job.reader->firstTree) {
        job.reader->firstTree = false;
        job.haveLengths = r->storeBrlens && r->brlensSeen;
        job.lengthsNotStored = !r->storeBrlens && r->brlensSeen;
    } else if (job.haveLengths && r->missingBrlen && r->firstMissingBrlenTree == 0) {
        r->firstMissingBrlenTree = r->currentTree;
    } else if (job.memoryLacksLengths && r->storeBrlens && r->brlensSeen && r->firstMissingBrlenTree == 0) {
        r->firstMissingBrlenTree = 1;  // the first tree in memory
    }
    if (!r->storeBrlens && r->brlensSeen)
        job.lengthsNotStored = true;
    if (r->storeBrlens && r->negativeBrlen && r->firstNegativeBrlenTree == 0)
        r->firstNegativeBrlenTree = r->currentTree;
    const uint32_t result = putTree(tree, buf, (job.flags & kReadElimDups) != 0);
    if (isPutTreeFull(result)) {
        qel_warningMsg(769, "Processing of Trees block(s) terminated prematurely due to 'Maxtrees' limit.");
        return kStopReading;
    }
    if (result == kPutTreeDuplicate)
        return 0;
    const uint32_t slot = result - 1;
    if (job.originals) {
        const uint32_t match = markTreesInBuffer(buf, result, job.originals, job.marked);
        bool keep = true;
        switch (job.mode) {
        case kKeepNotInMemory:
        case kKeepEitherNotBoth:
            keep = match == 0;
            break;
        case kKeepAlsoInMemory:
            keep = match != 0;
            break;
        case kKeepMemoryNotInFile:
            keep = false;
            break;
        default:
            break;
        }
        if (!keep) {
            decrementNumTrees(buf);
            return 0;
        }
    }
    r->treesKept++;
    if (job.haveLengths && storeBranchLengths(buf, tree, slot, true, r->decimals) != 0)
        return 1;
    if ((job.flags & kReadStoreWeights) && sc.haveWeight && storeTreeWt(buf, slot, sc.weight) != 0)
        return 1;
    if (name && (nameUnnamedTrees(buf, slot) != 0 || storeTreeName(buf, name, slot) != 0))
        return 1;
    return 0;
}

// Stores the name of tree n of the trees that were in memory (`from`, or
// the buffer itself) in slot of buf: its own name, else "Tree n".
int nameKeptTree(TreeBuffer *buf, TreeBuffer *from, uint32_t n, uint32_t slot)
{
    std::string name;
    if (from && haveTreeNames(from))
        name = getTreeName(from, n);
    if (name.empty())
        name = "Tree " + std::to_string(n);
    if (nameUnnamedTrees(buf, slot) != 0)
        return 1;
    return storeTreeName(buf, name.c_str(), slot);
}

// One tree: "[*] name [(format)] = comments description ;" in a TREES block,
// or "comments description ;" in a plain file (name null).
int readOneTree(ReadJob &job, bool utree, bool plain)
{
    TreeReader *r = job.reader;
    r->currentTree++;
    if (r->currentTree < job.from || r->currentTree > job.to) {
        if (r->currentTree > job.to)
            job.stopped = true;
        else
            setStatusText("Looking for tree %u...", job.from);
        return plain ? (skipThru(';'), 0) : skipRestOfCmd();
    }
    char name[kWordSize] = "";
    r->ancFunction = false;
    if (!plain) {
        if (readToken(name, sizeof name) < 0)
            return 1;
        if (std::strcmp(name, "*") == 0 && readToken(name, sizeof name) < 0)
            return 1;
        if (peekNextChar(nullptr) == '(') {
            readNextDarkChar(nullptr);
            char format[kWordSize];
            if (readToken(format, sizeof format) < 0)
                return 1;
            if (stricmp(format, "ancfunction") == 0)
                r->ancFunction = true;
            else if (stricmp(format, "standard") != 0)
                return qel_errorMsg(0, "Tree format \"%s\" is unknown.", format);
            if (readNextDarkChar(nullptr) != ')')
                return invalidTree();
        }
        if (readEqualSign() != 0)
            return 1;
    } else if (job.namedStore) {
        std::snprintf(name, sizeof name, "Constraint %u", r->currentTree);
    } else {
        std::snprintf(name, sizeof name, "Tree %u", numTreesInMainBuffer() + 1);
    }
    SpecialComments sc;
    TokenLoc where;
    storeTokenLoc(&where);
    if (readSpecialComments(sc) != 0)
        return 1;
    if (plain && peekNextChar(nullptr) == kCharEnd) {
        r->currentTree--;  // only comments after the last tree
        return static_cast<int>(kStopReading);
    }
    if (sc.haveWeight && sc.weight < 0.0) {
        resetTokenLoc(&where);
        return qel_errorMsg(770, "Tree weight must be nonnegative: %g", sc.weight);
    }
    bool rooted = !utree && !plain ? true : !utree;
    if (job.forceRooted || job.forceUnrooted)
        rooted = job.forceRooted;
    else if (sc.rooted || sc.unrooted)
        rooted = sc.rooted != 0;
    TreeBuffer *buf = job.sumTStore ? job.sumTBuffer : job.namedStore ? nullptr : getMainTreeBuffer(nullptr);
    // The modes that compare the file's trees with those in memory empty the
    // buffer first; the trees set aside for the comparison still decide the
    // kind, or a rooted tree would be matched against unrooted ones.
    const TreeBuffer *kind = buf && buf->numTrees > 0                        ? buf
                             : buf && job.originals && job.originals->numTrees > 0 ? job.originals
                                                                                  : nullptr;
    if (kind && (kind->rooted != 0) != rooted) {
        resetTokenLoc(&where);
        return qel_errorMsg(729, "You cannot mix rooted and unrooted trees.");
    }
    if (readNewickTree(r, job.tree, rooted) != 0)
        return 1;
    r->treesRead++;
    return keepTree(job, name, sc);
}

int readTranslate(ReadJob &job) { return readTranslateTable(job.reader); }

// The commands of TREES blocks until the block's end. 0, 1 or kStopReading.
int readTreesBlockBody(ReadJob &job)
{
    char word[kWordSize];
    for (;;) {
        if (getAbortedStatus())
            return 2;
        if (readToken(word, sizeof word) < 0)
            return 1;
        if (isTokenSemicolon(word))
            continue;
        if (isEndBlock(word))
            return 0;
        int rc;
        const size_t len = std::strlen(word);
        auto is = [&](const char *cmd, size_t minimum) {
            return len >= minimum && len <= std::strlen(cmd) && strncasecmp(word, cmd, len) == 0;
        };
        if (job.stopped) {
            rc = skipRestOfCmd();
        } else if (is("tree", 4) || is("utree", 5)) {
            rc = readOneTree(job, stricmp(word, "utree") == 0, false);
        } else if (is("translate", 5)) {
            rc = readTranslate(job);
        } else if (is("title", 5) || is("link", 4)) {
            rc = skipRestOfCmd();
        } else if (is("random", 4) || is("all", 3)) {
            // Generated trees replace those read so far, as the command says.
            rc = is("all", 3) ? makeAllTrees(true, activeDataInfo(), nullptr) : makeRandomTrees(true, nullptr);
            if (rc == -1)
                rc = 0;
            // They are now the block's trees: the closing count that says
            // how many the block gave must include them.
            if ((rc == 0 || rc == 2) && !job.sumTStore && !job.namedStore)
                job.reader->treesRead = job.reader->treesKept = numTreesInMainBuffer();
        } else {
            return qel_errorMsg(112,
                                "Unrecognized command in %s block: \"%s\".\tIf the command is valid for the current "
                                "block and it is spelled correctly, look for problems earlier in the file, such as an "
                                "unterminated block (missing 'End;').",
                                "TREES", word);
        }
        if (rc == static_cast<int>(kStopReading)) {
            setStatusText("Skipping for end of TREES block...");
            job.stopped = true;
            continue;
        }
        if (rc != 0)
            return rc;
    }
}

int readPlainTreeFile(ReadJob &job)
{
    for (;;) {
        if (getAbortedStatus())
            return 2;
        // Comments stay unread here: one ahead of a tree may carry its weight
        // or rooting, which the tree's reader takes.
        const bool savedComments = setRecognizeNexusComments(false);
        const int c = peekNextChar(nullptr);
        setRecognizeNexusComments(savedComments);
        if (c == kCharEnd)
            return 0;
        if (c < 0)
            return 1;
        if (job.stopped)
            return 0;
        const int rc = readOneTree(job, false, true);
        if (rc == static_cast<int>(kStopReading))
            return 0;
        if (rc != 0)
            return rc;
    }
}

const char *modeText(uint32_t mode)
{
    switch (mode) {
    case kKeepNotInMemory:
        return "trees from file that are NOT currently in memory";
    case kKeepAlsoInMemory:
        return "trees from file that are also currently in memory";
    case kKeepMemoryNotInFile:
        return "trees currently in memory that are NOT in file";
    case kKeepEitherNotBoth:
        return "trees either currently in memory or in file (but not both)";
    case kKeepMemoryPlusFile:
        return "trees in memory plus trees from file";
    default:
        return "trees from file (replacing any trees already in memory)";
    }
}

const char *treeWord(uint32_t n) { return n == 1 ? "tree" : "trees"; }

// Swaps `saved` in as the main buffer (the failed read's buffer is freed).
void restoreMainBuffer(TreeBuffer *saved, bool savedUserBrlens, uint32_t savedSource)
{
    TreeBuffer *current = getMainTreeBuffer(nullptr);
    setMainTreeBuffer(saved);
    setActiveTreeBuffer(saved);
    destroyTreeBuffer(current);
    setHaveUserBranchLengths(savedUserBrlens);
    setTreeSource(savedSource);
    deleteTreeSets(false);
}

}  // namespace

// ---------------------------------------------------------------------------
// Reader records and the Translate table

// ---------------------------------------------------------------------------
// Word memo

uint64_t WordMemo::headOf(std::string_view word)
{
    // Byte by byte: a short copy into a word would stall the load after it.
    uint64_t head = 0;
    const size_t n = std::min<size_t>(word.size(), 8);
    for (size_t j = 0; j < n; j++)
        head |= uint64_t{static_cast<unsigned char>(word[j])} << (8 * j);
    return head;
}

uint64_t WordMemo::hashOf(std::string_view word, uint64_t head)
{
    uint64_t h = (0x9E3779B97F4A7C15ull ^ word.size() ^ head) * 0xBF58476D1CE4E5B9ull;
    for (size_t i = 8; i < word.size(); i += 8) {
        uint64_t chunk = 0;
        std::memcpy(&chunk, word.data() + i, std::min<size_t>(8, word.size() - i));
        h = ((h ^ (h >> 29)) ^ chunk) * 0xBF58476D1CE4E5B9ull;
    }
    h *= 0x94D049BB133111EBull;
    return h ^ (h >> 32);
}

uint32_t WordMemo::findEntry(std::string_view word, uint64_t head, uint64_t h) const
{
    const size_t mask = slots_.size() - 1;
    const auto tag = static_cast<uint32_t>(h >> 32);
    for (size_t s = h & mask;; s = (s + 1) & mask) {
        const uint64_t slot = slots_[s];
        if (slot == 0)
            return kAbsent;
        if (static_cast<uint32_t>(slot >> 32) != tag)
            continue;
        const Entry &e = entries_[static_cast<uint32_t>(slot) - 1];
        if (e.head == head && e.length == word.size() &&
            (word.size() <= 8 || std::memcmp(bytes_.data() + e.offset, word.data(), word.size()) == 0))
            return static_cast<uint32_t>(slot) - 1;
    }
}

uint32_t WordMemo::find(std::string_view word) const
{
    if (slots_.empty())
        return kAbsent;
    const uint64_t head = headOf(word);
    const uint32_t e = findEntry(word, head, hashOf(word, head));
    return e == kAbsent ? kAbsent : entries_[e].value;
}

void WordMemo::place(uint64_t h, uint32_t entry)
{
    const size_t mask = slots_.size() - 1;
    size_t s = h & mask;
    while (slots_[s] != 0)
        s = (s + 1) & mask;
    slots_[s] = (h >> 32 << 32) | (entry + 1);
}

void WordMemo::insert(std::string_view word, uint32_t value)
{
    const uint64_t head = headOf(word);
    const uint64_t h = hashOf(word, head);
    if (value == kAbsent || (!slots_.empty() && findEntry(word, head, h) != kAbsent))
        return;
    const auto entry = static_cast<uint32_t>(entries_.size());
    entries_.push_back(Entry{head, static_cast<uint32_t>(bytes_.size()), static_cast<uint32_t>(word.size()), value});
    bytes_.append(word);
    // At most a quarter full: most probes end at their first slot.
    if (4 * entries_.size() > slots_.size()) {
        slots_.assign(std::bit_ceil(std::max<size_t>(256, 8 * entries_.size())), 0);
        for (uint32_t e = 0; e < entries_.size(); e++) {
            const Entry &x = entries_[e];
            const std::string_view w(bytes_.data() + x.offset, x.length);
            place(hashOf(w, x.head), e);
        }
    } else {
        place(h, entry);
    }
}

void WordMemo::clear()
{
    slots_.clear();
    entries_.clear();
    bytes_.clear();
}

TreeReader *createTreeReader(DataInfo *data, bool storeBrlens, bool phylipLabels)
{
    auto *r = new (std::nothrow) TreeReader{};
    if (!r)
        return nullptr;
    r->data = data;
    try {
        r->used.assign(data ? data->ntax : 0, 0);
        if (phylipLabels && data) {
            char plain[2 * kMaxLabelLength + 8];
            for (uint32_t t = 0; t < data->ntax; t++) {
                phylipLabel(taxLabelString(data, t), false, false, plain, sizeof plain);
                r->phylipLabels.emplace(lowerCase(plain), t);
            }
        }
    } catch (...) {
        delete r;
        return nullptr;
    }
    r->storeBrlens = storeBrlens;
    r->firstTree = true;
    r->pruneAnswer = -1;
    // A binary tree of the active taxa has 2n - 1 nodes; each deleted taxon
    // a description still names (and the reader prunes) may bring one fork
    // more, which goes with it.
    r->nodeLimit = data ? numActive(data) + data->ntax - 1 : 0;
    return r;
}

TreeReader *destroyTreeReader(TreeReader *reader)
{
    delete reader;
    return nullptr;
}

int32_t findStringInTransTable(const TreeReader *reader, const char *word)
{
    const auto &entries = reader->trans.entries;
    if (entries.empty())
        return -1;
    uint32_t k;
    if (isAllDigit(word) && stringToUInt(word, &k) == kConvOk && k >= 1 && k <= entries.size() &&
        stricmp(entries[k - 1].key.c_str(), word) == 0)
        return entries[k - 1].taxon;
    auto it = reader->trans.byKey.find(lowerCase(word));
    return it == reader->trans.byKey.end() ? -1 : reader->trans.entries[it->second].taxon;
}

void deallocTransTable(TreeReader *reader)
{
    reader->resolved.clear();
    reader->trans.entries.clear();
    reader->trans.byKey.clear();
}

namespace {

// A key given twice would silently drop the taxon of one of its entries.
int duplicateTransKey(const char *key)
{
    return qel_errorMsg(0, "Translate key \"%s\" is given more than once in the translation table.", key);
}

}  // namespace

int readTranslateTable(TreeReader *r)
{
    char key[kWordSize];
    char label[kWordSize];
    deallocTransTable(r);
    for (;;) {
        if (readToken(key, sizeof key) < 0)
            return 1;
        if (isTokenSemicolon(key))
            return 0;
        if (readToken(label, sizeof label) < 0)
            return 1;
        if (isTokenSemicolon(label) || std::strcmp(label, ",") == 0)
            return qel_errorMsg(722, "Syntax error in translation table.");
        const int32_t taxon = taxonOfLabel(r, label);
        if (taxon < 0)
            return showTaxIdError(label, r->data);
        if (r->trans.byKey.count(lowerCase(key)))
            return duplicateTransKey(key);
        try {
            r->trans.byKey.emplace(lowerCase(key), static_cast<uint32_t>(r->trans.entries.size()));
            r->trans.entries.push_back(TransEntry{key, label, taxon});
        } catch (...) {
            return reportMemoryFailure(), 1;
        }
        char sep[kWordSize];
        if (readToken(sep, sizeof sep) < 0)
            return 1;
        if (isTokenSemicolon(sep))
            return 0;
        if (std::strcmp(sep, ",") != 0)
            return qel_errorMsg(201, "Expecting comma (,) or semicolon (;) found \"%s\".\tIt is possible that this is "
                                     "a downstream effect of an earlier formatting mistake.",
                                sep);
    }
}

// ---------------------------------------------------------------------------
// Descriptions

int storeTreeWtValue(const char *text, int terminator, double *weightOut)
{
    (void)terminator;
    const char *slash = std::strchr(text, '/');
    double w = 0.0;
    auto invalid = [&] { return qel_errorMsg(771, "Value specified in tree weight (\"%s\") is invalid.", text); };
    if (!slash) {
        if (!*text || stringToDouble(text, &w) != kConvOk || !std::isfinite(w))
            return invalid();
    } else {
        const std::string numerator(text, slash);
        double n = 0.0;
        double d = 0.0;
        if (!slash[1])
            return qel_errorMsg(772, "Missing tree-weight denominator in fraction starting with \"%s/\".",
                                numerator.c_str());
        if (numerator.empty() || stringToDouble(numerator.c_str(), &n) != kConvOk ||
            stringToDouble(slash + 1, &d) != kConvOk || d == 0.0 || !std::isfinite(n / d))
            return invalid();
        w = n / d;
    }
    // Bounded as character weights are, so that the weighted sums of any
    // number of trees (consensus frequencies, tree-set statistics) stay finite.
    constexpr double kMaxTreeWeight = 1e20;
    if (w > kMaxTreeWeight)
        return qel_errorMsg(771, "Value specified in tree weight (\"%s\") is invalid.\tTree weights may not exceed "
                                 "%g; this limit prevents numerical overflows when weighted values are "
                                 "summed.",
                            text, kMaxTreeWeight);
    // "0/-1" is a zero weight, not a signed one.
    *weightOut = w == 0.0 ? 0.0 : w;
    return 0;
}

void deleteUnneededNodes(Tree *tree)
{
    bool changed = true;
    while (changed) {
        changed = false;
        for (uint32_t p = tree->ntax + 1; p < tree->maxNodes; p++) {
            TreeNode *n = tree->nodes + p;
            if (!n->anc)
                continue;
            if (!n->firstChild) {
                unlinkFromParent(n);
                changed = true;
            } else if (!n->firstChild->nextSib) {
                TreeNode *c = n->firstChild;
                if (c->edge.brlen == kMissingBrlen)
                    c->edge.brlen = n->edge.brlen;
                else if (n->edge.brlen != kMissingBrlen)
                    c->edge.brlen += n->edge.brlen;
                replaceInParent(n, c);
                changed = true;
            }
        }
    }
    afterTreeChange(tree);
}

namespace {

void startDescription(TreeReader *r, Tree *tree)
{
    initNodes(tree, tree->ntax);
    for (uint32_t p = 0; p < tree->maxNodes; p++) {
        tree->nodes[p].edge.brlen = kMissingBrlen;
        tree->nodes[p].edge.support = 0.0f;
    }
    std::fill(r->used.begin(), r->used.end(), 0);
    r->nodeCount = r->internalCount = 0;
    r->brlensSeen = r->missingBrlen = r->negativeBrlen = false;
}

}  // namespace

bool setWholeDescriptionReading(bool on)
{
    const bool previous = gWholeDescriptions;
    gWholeDescriptions = on;
    return previous;
}

int readNewickTree(TreeReader *r, Tree *tree, bool rooted)
{
    startDescription(r, tree);
    int rc = 0;
    if (r->ancFunction) {
        rc = readAncestorFunction(r, tree);
    } else if (!readNewickWhole(r, tree)) {
        startDescription(r, tree);
        rc = readNewickNodes(r, tree);
    }
    if (rc != 0)
        return 1;
    TreeNode *anc = tree->nodes;
    anc->edge.brlen = 0.0;
    anc->anc = nullptr;
    if (r->backbone && anc->firstChild)
        for (TreeNode *n = anc->firstChild; n; n = nextPreorderNode(n, anc->firstChild))
            if (n->firstChild && !n->firstChild->nextSib)
                return qel_errorMsg(713, "Internal nodes must have at least two immediate descendants in "
                                         "backbone constraint trees.");
    if (r->attachUnnamed && anc->firstChild)
        for (uint32_t t = 1; t <= tree->ntax; t++)
            if (!tree->nodes[t].anc) {
                TreeNode *outer = anc->firstChild;
                tree->nodes[t].anc = outer;
                tree->nodes[t].nextSib = outer->firstChild;
                outer->firstChild = &tree->nodes[t];
            }
    deleteUnneededNodes(tree);
    uint32_t leaves = 0;
    for (uint32_t t = 1; t <= tree->ntax; t++)
        if (tree->nodes[t].anc)
            leaves++;
    const uint32_t minimum = rooted ? 2 : 3;
    if (leaves < minimum)
        return qel_errorMsg(721, "User-supplied %s trees must contain at least %d terminal taxa.\tThis message may "
                                 "reflect a more serious problem with the tree description syntax.",
                            rooted ? "rooted" : "unrooted", static_cast<int>(minimum));
    TreeNode *top = anc->firstChild;
    if (top->edge.brlen == kMissingBrlen)
        top->edge.brlen = 0.0;
    // Without a single length read, every node below the top lacks one:
    // no walk is needed to know it.
    if (!r->brlensSeen)
        r->missingBrlen = top->firstChild != nullptr;
    for (TreeNode *n = r->brlensSeen ? top->firstChild : nullptr; n; n = nextPreorderNode(n, top))
        if (n->edge.brlen == kMissingBrlen)
            r->missingBrlen = true;
    tree->root = anc;
    tree->numLeaves = leaves;
    tree->flags |= kTreeRootedAtAnc;
    afterLeavesChanged(tree);
    if (!rooted) {
        tree->flags &= ~kTreeRootedAtAnc;
        if (derootTree(tree, nullptr, true) != 0)
            return invalidTree();
    }
    setTraversalSeq(tree);
    // Kept as a plain zero; the tree is noted as lacking lengths. The node
    // array in order (nodes off the tree are set afresh for the next one).
    if (r->missingBrlen)
        for (uint32_t p = 0; p < tree->maxNodes; p++)
            if (tree->nodes[p].edge.brlen == kMissingBrlen)
                tree->nodes[p].edge.brlen = 0.0;
    return 0;
}

// ---------------------------------------------------------------------------
// TREES blocks

int findNextTreesBlk()
{
    char word[kWordSize];
    for (;;) {
        if (readSpecialToken(word, sizeof word, nullptr, nullptr, nullptr, true) < 0)
            return -1;
        if (std::strlen(word) >= 5 && strncasecmp(word, "begin", std::strlen(word)) == 0 &&
            std::strlen(word) <= 5) {
            if (readToken(word, sizeof word) < 0)
                return -1;
            const size_t len = std::strlen(word);
            if (len >= 4 && len <= 5 && strncasecmp(word, "trees", len) == 0) {
                readSemicolon();
                return 0;
            }
        }
    }
}

namespace {

// The names of the harvesting pass, in order of first appearance, with
// the lower-case names already met.
struct Harvest {
    const std::unordered_map<std::string, std::string> &trans;
    std::unordered_map<std::string, uint32_t> seen;
    std::vector<std::string> &names;
    std::string lowered;
    std::string text;  // a description read whole
    WordMemo noted;     // words as written that were noted (cleared with the Translate table)

    // A taxon word of a description: through the Translate table, noted
    // when it is new. Most words repeat one written before: one lookup of
    // its bytes, nothing else.
    void note(const char *word) { note(std::string_view(word)); }
    void note(std::string_view spelled)
    {
        if (noted.find(spelled) != WordMemo::kAbsent)
            return;
        noted.insert(spelled, 0);
        const std::string copy(spelled);
        const char *word = copy.c_str();
        lowerInto(lowered, word);
        const char *name = word;
        if (!trans.empty())
            if (auto it = trans.find(lowered); it != trans.end()) {
                name = it->second.c_str();
                lowerInto(lowered, name);
            }
        if (!seen.count(lowered)) {
            seen.emplace(lowered, static_cast<uint32_t>(names.size()));
            names.push_back(name);
        }
    }
};

// Reads the taxon words of a description in the harvesting pass: the
// reading pass takes the same words, so names are collected exactly as it
// will look them up.
int harvestDescription(Harvest &h)
{
    bool expectNode = true;
    for (;;) {
        int c = readNextDarkChar(nullptr);
        if (c < 0)
            return c == kCharEnd ? expectingSemicolon() : 1;
        if (c == ';')
            return 0;
        if (c == '(' || c == ',') {
            expectNode = true;
            continue;
        }
        char word[kWordSize];
        if (c == ':') {  // a branch length
            if (readSpecialToken(word, sizeof word, nullptr, kLengthPunct, nullptr, false) < 0)
                return 1;
            continue;
        }
        if (c == ')') {
            expectNode = false;
            continue;
        }
        putCharBack(c);
        if (readSpecialToken(word, sizeof word, nullptr, kNewickLabelPunct, nullptr, false) < 0)
            return 1;
        if (!expectNode)
            continue;  // an internal node's label
        expectNode = false;
        h.note(word);
    }
}

// The same from the description read whole; false to leave it to the
// general harvester (noting a name again changes nothing).
bool harvestWhole(Harvest &h, DescriptionCursor &text)
{
    char word[kWordSize];
    bool truncated = false;
    bool expectNode = true;
    for (;;) {
        const int c = text.peekDark();
        if (c < 0)
            return false;
        if (c == ';') {
            text.skip();
            return text.atEnd();
        }
        if (c == '(' || c == ',') {
            text.skip();
            expectNode = true;
        } else if (c == ')') {
            text.skip();
            expectNode = false;
        } else if (c == ':') {  // a branch length
            text.skip();
            if (text.peekDark() < 0 || !text.word(kLengthClasses, word, &truncated))
                return false;
        } else {
            if (!text.word(kNewickLabelClasses, word, &truncated))
                return false;
            if (expectNode)  // else an internal node's label
                h.note(std::string_view(word, text.wordLength()));
            expectNode = false;
        }
    }
}

// One description of the harvesting pass, read whole when it can be.
int harvestOneDescription(Harvest &h)
{
    WholeDescription whole;
    if (whole.take(h.text)) {
        DescriptionCursor cursor(h.text);
        if (harvestWhole(h, cursor))
            return 0;
    }
    whole.restore();
    return harvestDescription(h);
}

}  // namespace

int harvestTaxonNames(std::vector<std::string> &names)
{
    setStatusText("Harvesting taxon names from tree descriptions...");
    std::unordered_map<std::string, std::string> trans;
    names.clear();
    names.reserve(100);
    Harvest harvest{trans, {}, names, {}, {}, {}};
    char word[kWordSize];
    for (;;) {
        if (getAbortedStatus())
            return 2;
        if (readToken(word, sizeof word) < 0)
            return 1;
        if (isTokenSemicolon(word))
            continue;
        if (isEndBlock(word))
            return 0;
        const size_t len = std::strlen(word);
        auto is = [&](const char *cmd, size_t minimum) {
            return len >= minimum && len <= std::strlen(cmd) && strncasecmp(word, cmd, len) == 0;
        };
        if (is("translate", 5)) {
            trans.clear();
            harvest.noted.clear();
            for (;;) {
                char key[kWordSize], label[kWordSize], sep[kWordSize];
                if (readToken(key, sizeof key) < 0)
                    return 1;
                if (isTokenSemicolon(key))
                    break;
                if (readToken(label, sizeof label) < 0)
                    return 1;
                if (isTokenSemicolon(label) || std::strcmp(label, ",") == 0)
                    return qel_errorMsg(722, "Syntax error in translation table.");
                if (!trans.emplace(lowerCase(key), label).second)
                    return duplicateTransKey(key);
                if (readToken(sep, sizeof sep) < 0)
                    return 1;
                if (isTokenSemicolon(sep))
                    break;
                if (std::strcmp(sep, ",") != 0)
                    return qel_errorMsg(201, "Expecting comma (,) or semicolon (;) found \"%s\".\tIt is possible "
                                             "that this is a downstream effect of an earlier formatting mistake.",
                                        sep);
            }
        } else if (is("tree", 4) || is("utree", 5)) {
            // The name (and a format in parentheses) up to "=".
            for (;;) {
                if (readToken(word, sizeof word) < 0)
                    return 1;
                if (std::strcmp(word, "=") == 0)
                    break;
                if (isTokenSemicolon(word))
                    return invalidTree();
            }
            if (harvestOneDescription(harvest) != 0)
                return 1;
        } else if (skipRestOfCmd() != 0) {
            return 1;
        }
    }
}

int createImplicitTaxaBlock(DataInfo *data, bool report)
{
    InputStatus start;
    currentInputInfo(&start);
    if (report)
        qel_printf("First pass (harvesting taxon names)\n");
    std::vector<std::string> names;
    const bool savedNexus = setNexusMode(true);
    const bool savedParsing = setParsingNexusBlock(true);
    int status = harvestTaxonNames(names);
    setParsingNexusBlock(savedParsing);
    setNexusMode(savedNexus);
    if (status == 0 && names.empty())
        status = qel_errorMsg(0, "No taxon names were found in the TREES block.");
    if (status == 0)
        status = defineTaxaFromLabels(data, names);
    clearStatusText();
    if (status != 0)
        return status;
    resetCurrentInput(&start);
    if (report)
        qel_printf("Second pass (reading trees)\n");
    return 0;
}

namespace {

CriterionRootednessFxn gCriterionRootedness = nullptr;

// Trees read as rooted while the criterion scores them unrooted (or the
// reverse) are scored after a silent conversion; the user is told which
// command makes them agree.
void noteRootednessMismatch(DataInfo *d, const TreeBuffer *buf)
{
    if (!wrng.warnRoot || !gCriterionRootedness || !d || !(d->flags & kHaveCharacters) || buf->numTrees == 0)
        return;
    if (checkCharStatusUpdate(d) != 0)  // the character classes decide
        return;
    const bool wanted = gCriterionRootedness(d);
    if (buf->rooted != 0 && !wanted)
        qel_printf("\nNote: \bInput trees are rooted but current criterion and/or option settings would specify "
                   "unrooted trees.  (You can deroot the trees using the '%s' command.)\n", "DerootTrees");
    else if (buf->rooted == 0 && wanted)
        qel_printf("\nNote: \bInput trees are unrooted but current criterion and/or option settings would specify "
                   "rooted trees.  (You can root the trees using the '%s' command.)\n", "RootTrees");
}

}  // namespace

void setCriterionRootednessFxn(CriterionRootednessFxn fxn) { gCriterionRootedness = fxn; }

int processTreesBlock(uint32_t mode, uint32_t flags, uint32_t from, uint32_t to, bool allBlocks, bool rooted,
                      bool unrooted, bool report)
{
    TimeMark start;
    setTimeMark(&start);
    DataInfo *d = activeDataInfo();
    if (!d || d->ntax == 0) {
        if (flags & kReadPlainFile)
            return qel_errorMsg(0, "Trees cannot be read in the absence of an active TAXA or DATA block.");
        // Yes is the answer when the question is switched off, so batch runs
        // read such files.
        if (wrng.warnTree &&
            !userQuery(true, "A TREES block was encountered in the absence of an active TAXA or DATA block.  Do you "
                             "want to define an implicit TAXA block using the names found in the treefile?"))
            return skipThruEndOfBlock();
        if (!d)
            return 1;
        if (int rc = createImplicitTaxaBlock(d, report); rc != 0)
            return rc;
    }
    if (!getMainTreeBuffer(d) && allocMainTreeBuffer(d->ntax, getMaxtreesValue(), false) != 0)
        return 1;
    TreeBuffer *buf = getMainTreeBuffer(d);
    const uint32_t originalCount = buf->numTrees;
    if (originalCount == 0)
        mode = kKeepReplace;
    // The description of where the trees came from, which the consensus
    // and agreement tree files quote; a failed read puts the old one back.
    const std::string savedText = outputText();
    // Taken before the source is set for this read, which a failure undoes.
    const uint32_t savedSource = treeInfo.source;
    if (flags & kReadInExecutedFile) {
        // Lengths follow the storeBrLens setting here too: the note on
        // lengths not stored tells the user to set it before executing.
        flags |= (getr.storeBrLens ? kReadStoreBrlens : 0u) | kReadStoreWeights | kReadPruneDeleted;
        setTreeSource(0);
        setOutputText(">Tree(s) input to VORN as user-defined tree(s)\n");
    } else {
        setTreeSource(6);
        if (report) {
            const InputStatus *in = getActiveInput();
            qprintf("\nProcessing TREES block from file: %s\n",
                    in && in->stream ? streamPathnameForDisplay(in->stream, 255).c_str() : "");
            qprintf("  Keeping: %s\n", modeText(mode));
            // A "from" of 0 reads from the first tree, and says so; a "to"
            // before it (or none) reads to the end of the file, and says so.
            const uint32_t first = std::max(from, 1u);
            if (from > 1 || to != kToEnd) {
                if (to == kToEnd || to < first)
                    qprintf("           (file tree numbers %d through end)\n", static_cast<int>(first));
                else
                    qprintf("           (file tree numbers %d through %d)\n", static_cast<int>(first),
                            static_cast<int>(to));
            }
            if (flags & kReadElimDups)
                qprintf("  Duplicate trees will be eliminated\n");
            if (mode == kKeepAlsoInMemory || mode == kKeepMemoryNotInFile || mode == kKeepEitherNotBoth ||
                mode == kKeepMemoryPlusFile)
                qprintf("  %d %s originally in memory\n", static_cast<int>(originalCount), treeWord(originalCount));
        }
    }
    setStatusText("Processing TREES block...");

    // The trees in memory stay untouched in this copy until the read has
    // succeeded: a failure puts them back with names, weights and lengths.
    const bool savedUserBrlens = haveUserBranchLengths();
    TreeBuffer *saved = cloneTreeBuffer(buf, true);
    if (!saved)
        return 1;
    ReadJob job;
    job.mode = mode;
    job.flags = flags;
    job.from = from == 0 ? 1 : from;
    job.to = to < job.from ? kToEnd : to;
    job.forceRooted = rooted;
    job.forceUnrooted = unrooted;
    job.reader = createTreeReader(d, (flags & kReadStoreBrlens) != 0, (flags & kReadPhylipLabels) != 0);
    job.tree = createTree(false);
    bool ok = job.reader && job.tree;
    if (ok) {
        job.reader->newickFile = (flags & kReadPlainFile) != 0;
        job.reader->readFlags = flags;  // pruneDelTaxa answers the pruning question
    }
    if (ok && mode == kKeepReplace) {
        clearTrees(true, true);
    } else if (ok && mode != kKeepMemoryPlusFile) {
        job.originals = saved;
        job.marked = allocSet(originalCount + 1);
        ok = job.marked != nullptr;
        emptyTreeBuffer(buf, true);
        setHaveUserBranchLengths(false);
    }
    if (ok && (mode == kKeepMemoryNotInFile || mode == kKeepEitherNotBoth || mode == kKeepMemoryPlusFile))
        setTreenamePrefix(buf, "Tree ", true);
    // Unnamed trees kept from memory are named by their number there before
    // named trees join them; otherwise they would all share the bare prefix.
    if (ok && mode == kKeepMemoryPlusFile && !haveTreeNames(buf))
        for (uint32_t n = 1; n <= originalCount && ok; n++)
            ok = nameKeptTree(buf, nullptr, n, n - 1) == 0;
    if (originalCount == 0) {
        job.reader->firstTree = true;
    } else if (mode == kKeepMemoryPlusFile) {
        job.reader->firstTree = false;
        job.haveLengths = job.reader->storeBrlens && savedUserBrlens;
        job.memoryLacksLengths = !savedUserBrlens;
    }

    int status = ok ? 0 : 1;
    if (status == 0) {
        const bool savedNexus = setNexusMode(true);
        const bool savedParsing = setParsingNexusBlock(!(flags & kReadPlainFile));
        for (;;) {
            status = (flags & kReadPlainFile) ? readPlainTreeFile(job) : readTreesBlockBody(job);
            if (status != 0 || !allBlocks || (flags & kReadPlainFile))
                break;
            deallocTransTable(job.reader);
            if (findNextTreesBlk() != 0)
                break;
        }
        setParsingNexusBlock(savedParsing);
        setNexusMode(savedNexus);
    }
    // The originals mode 5 keeps after the file's trees may pass Maxtrees:
    // the user agrees to the larger limit, or the read fails as a whole.
    if (status == 0 && job.originals && mode == kKeepEitherNotBoth) {
        const uint32_t total = getMainTreeBuffer(nullptr)->numTrees + originalCount - card(job.marked);
        if (total > getMaxtreesValue() &&
            (!userQuery(true, "OK to reset 'Maxtrees' to %d?", static_cast<int>(total)) ||
             resizeTreeBufferForMaxtrees(total) != 0))
            status = 1;
    }
    // The originals the mode keeps besides the file's trees.
    if (status == 0 && job.originals && (mode == kKeepMemoryNotInFile || mode == kKeepEitherNotBoth)) {
        for (uint32_t n = 1; n <= originalCount && status == 0; n++)
            if (!isSetMember(job.marked, n - 1)) {
                TreeBuffer *main = getMainTreeBuffer(nullptr);
                status = appendTreeToBuffer(saved, n, main);
                if (status == 0)
                    status = nameKeptTree(main, saved, n, main->numTrees - 1);
            }
        if (status == 0 && savedUserBrlens && job.haveLengths == false && saved->brlens)
            job.haveLengths = true;
    }
    TreeReader *r = job.reader;
    buf = getMainTreeBuffer(nullptr);
    if (status != 0 && status != 2) {
        // "Keeping" above told what a successful read would have kept.
        if (report) {
            qel_printf("  *** Error reading treefile\n");
            if (originalCount > 0)
                qel_printf("  No trees were taken from the file; the %u %s already in memory %s kept.\n",
                           originalCount, treeWord(originalCount), originalCount == 1 ? "is" : "are");
            else
                qel_printf("  No trees were taken from the file.\n");
        }
        restoreMainBuffer(saved, savedUserBrlens, savedSource);
        setOutputText(savedText.c_str());
        saved = nullptr;
    } else if (r) {
        if (r->firstMissingBrlenTree || !job.haveLengths) {
            disposeBranchLens(buf);
            setHaveUserBranchLengths(false);
        } else {
            setHaveUserBranchLengths(true);
        }
        finishNames(buf);
        if (mode == kKeepReplace)
            setTreesAreSaved(false);
        if (report) {
            const char *suffix = status == 2 ? " before canceling" : "";
            if (flags & kReadInExecutedFile) {
                TimeMark stop;
                setTimeMark(&stop);
                qel_printf("\n%d %s read from TREES block%s; time used = ", static_cast<int>(r->treesRead),
                           treeWord(r->treesRead), suffix);
                showTimeUsed(&start, &stop, 0, nullptr);
                qel_printf("\n");
            } else {
                qel_printf("%d %s read from file%s\n", static_cast<int>(r->treesRead), treeWord(r->treesRead), suffix);
            }
            if (mode != kKeepReplace || (flags & kReadElimDups))
                qel_printf("%d %s from file kept\n", static_cast<int>(r->treesKept), treeWord(r->treesKept));
            if (job.marked && (mode == kKeepMemoryNotInFile || mode == kKeepEitherNotBoth)) {
                const uint32_t deleted = card(job.marked);
                qel_printf("%u %s originally in memory deleted\n", deleted, treeWord(deleted));
            }
            if (originalCount > 0 || status == 2)
                qel_printf("%d %s now in memory\n", static_cast<int>(buf->numTrees), treeWord(buf->numTrees));
            if (status == 2)
                qel_printf("  Treefile operation canceled.\n");
            noteRootednessMismatch(activeDataInfo(), buf);
            if (r->pruned)
                qel_printf("\nNote: \bDeleted taxa in tree descriptions were pruned.%s\n",
                           job.haveLengths ? "  Branch-lengths have been discarded for this reason.  If you want to "
                                             "preserve the branch lengths, you must wait until after the trees have "
                                             "been read in before deleting the taxa, then delete the taxa (with "
                                             "pruning)."
                                           : "");
            if (r->firstMissingBrlenTree)
                qel_printf("\nNote: \bBranch lengths were not stored because one or more trees contained missing "
                           "branch lengths for at least one branch (the first such tree was tree number %d).\n",
                           static_cast<int>(r->firstMissingBrlenTree));
            // Stored as read (a tree drawn by neighbor joining may hold
            // one), but no model of change takes a length below zero.
            if (r->firstNegativeBrlenTree && haveUserBranchLengths())
                qel_printf("\nNote: \bInput trees contain negative branch lengths (the first such tree was tree "
                           "number %d).  Likelihood calculations that use the input lengths reset them to the least "
                           "length a branch may have.\n",
                           static_cast<int>(r->firstNegativeBrlenTree));
            if (job.lengthsNotStored)
                qel_printf("\nNote: \bInput trees contained branch lengths that were not stored.  To store them, "
                           "specify \"storeBrLens\" when reading the trees, or use \"Set storeBrLens\" before "
                           "executing a file that contains a TREES block.\n");
        }
        if (haveUserBranchLengths())
            checkMemForBrlenStorage(buf, 4);
        status = status == 2 ? 2 : 0;
    }
    deallocSet(job.marked);
    destroyTreeBuffer(saved);
    destroyTree(job.tree, true);
    destroyTreeReader(job.reader);
    clearStatusText();
    return status;
}

int readNamedTrees(bool plain, bool backbone, NamedTreeStoreFxn store, void *ctx, uint32_t *treesRead)
{
    DataInfo *d = activeDataInfo();
    if (!d || d->ntax == 0)
        return 1;
    ReadJob job;
    job.flags = plain ? static_cast<uint32_t>(kReadPlainFile) : 0u;
    job.forceRooted = true;
    job.namedStore = store;
    job.namedContext = ctx;
    job.reader = createTreeReader(d, false, false);
    job.tree = createTreeForTaxa(d->ntax, d->ntax, true);
    int status = job.reader && job.tree ? 0 : 1;
    if (status == 0) {
        job.reader->attachUnnamed = !backbone;
        job.reader->backbone = backbone;
        job.reader->originalNumbers = true;
        const bool savedNexus = setNexusMode(true);
        const bool savedParsing = setParsingNexusBlock(!plain);
        status = plain ? readPlainTreeFile(job) : readTreesBlockBody(job);
        setParsingNexusBlock(savedParsing);
        setNexusMode(savedNexus);
        *treesRead = job.reader->treesKept;
    }
    destroyTree(job.tree, true);
    destroyTreeReader(job.reader);
    return status == static_cast<int>(kStopReading) ? 1 : status;
}

int readTreesForSumT(TreeBuffer *privateBuffer, SumTStoreFxn store, uint32_t *treesRead)
{
    DataInfo *d = activeDataInfo();
    if (!d || d->ntax == 0)
        return 1;
    qel_printf("+++++++++ Doing SUMT\n");
    setTreeSource(6);
    setStatusText("Processing TREES block...");
    ReadJob job;
    job.mode = kKeepSumT;
    job.flags = kReadElimDups;
    job.sumTStore = store;
    job.sumTBuffer = privateBuffer;
    job.reader = createTreeReader(d, false, false);
    job.tree = createTree(false);
    int status = job.reader && job.tree ? 0 : 1;
    if (status == 0) {
        const bool savedNexus = setNexusMode(true);
        const bool savedParsing = setParsingNexusBlock(true);
        status = readTreesBlockBody(job);
        setParsingNexusBlock(savedParsing);
        setNexusMode(savedNexus);
    }
    if (job.reader) {
        *treesRead = job.reader->treesRead;
        qel_printf("SUMT prelim results:\n");
        qel_printf("  %d trees read\n", static_cast<int>(job.reader->treesRead));
        qel_printf("  %d trees kept\n", static_cast<int>(job.reader->treesKept));
        if (status == 2)
            qel_printf("  Treefile operation canceled.\n");
        else if (status != 0)
            qel_printf("  *** Error reading treefile\n");
    }
    destroyTree(job.tree, true);
    destroyTreeReader(job.reader);
    clearStatusText();
    return status == static_cast<int>(kStopReading) ? 1 : status;
}

int readTreesBlockInFile()
{
    return processTreesBlock(kKeepReplace, kReadInExecutedFile, 0, kToEnd, false, false, false, true);
}

// ---------------------------------------------------------------------------
// GetTrees

// A plain tree file starts with "(" (after comments), or with the tree
// count of a PHYLIP file, which is skipped; otherwise the first TREES block
// is looked for. 1 when the file has none.
int skipToTrees(bool *plain, const char *fileName)
{
    // The comments ahead of the first tree may be its "[&W ...]" or "[&R]":
    // looked past quietly, then read again with the tree.
    InputMark start;
    markInput(&start);
    const bool savedVisible = setShowVisibleComments(false);
    const int c = peekNextChar(nullptr);
    setShowVisibleComments(savedVisible);
    if (c == '(')
        rewindInput(&start);
    if (c == '(' || (c >= '0' && c <= '9')) {
        if (c != '(')
            skipThruEOL();
        *plain = true;
        return 0;
    }
    *plain = false;
    setStatusText("Skipping for Trees block...");
    if (findNextTreesBlk() != 0)
        return qel_errorMsg(707, "File \"%s\" has no TREES block.", fileName);
    return 0;
}

int doGetTreesCmd()
{
    getr.from = getr.to = 0;
    getr.rooted = getr.unrooted = 0;
    const auto keptMode = getr.mode;
    if (setCmdParamVals(OptionSet::kGetTrees) != 0)
        return 1;
    if (!verifyReplaceTrees())
        return -1;
    if (gTreefileName[0] == '\0')
        return qel_errorMsg(129, "No file name was specified.\tThe current command was expecting specification of a "
                                 "file name, but none was found.");
    if (getr.mode == 0 || getr.mode == 6 || getr.mode > kMaxGetTreesMode) {
        // A refused mode is not remembered for the next GetTrees.
        const int refused = static_cast<int>(getr.mode);
        getr.mode = keptMode;
        return qel_errorMsg(746, "Mode '%d' for \"%s\" command is invalid.", refused, "GetTrees");
    }
    if (getr.rooted && getr.unrooted)
        return qel_errorMsg(747, "You cannot specify 'rooted' and 'unrooted' on the \"%s\" command.\tChoose one or "
                                 "the other, but not both.",
                            "GetTrees");
    // Every mode but replacing weighs the file's trees against those in
    // memory, hidden ones included, and the filter was made for other trees.
    if (getr.mode != kKeepReplace && isTreeFilterActive()) {
        if (!userQuery(true, "This operation is not permitted while trees are filtered.  OK to permanently delete "
                             "trees hidden by filter before proceeding?"))
            return 1;
        deleteFilteredTrees(true);
    }
    char dir[kPathnameBufSize];
    const char *directory = getActiveInputDirSpec(dir);
    InputStatus *caller = getActiveInput();
    InputStatus input;  // becomes the active input when opened
    if (openInputFile(gTreefileName, 0, directory, &input) != kOpenOK) {
        setActiveInput(caller);
        return 1;
    }
    bool plain = false;
    int status = skipToTrees(&plain, gTreefileName);
    if (status == 0) {
        uint32_t flags = plain ? static_cast<uint32_t>(kReadPlainFile) : 0u;
        if (getr.storeBrLens)
            flags |= kReadStoreBrlens;
        if (getr.storeTreeWts)
            flags |= kReadStoreWeights;
        if (getr.dupTrees)
            flags |= kReadElimDups;
        if (getr.pruneDelTaxa)
            flags |= kReadPruneDeleted;
        status = processTreesBlock(getr.mode, flags, getr.from, getr.to == 0 ? kToEnd : getr.to, getr.allBlocks,
                                   getr.rooted, getr.unrooted, true);
    }
    closeInputFile(&input);
    setActiveInput(caller);
    return status == static_cast<int>(kStopReading) ? 1 : status;
}

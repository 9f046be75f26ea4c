#include "trees/loadtree.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <string>
#include <vector>

#include "cli/qel_cmdline.h"
#include "cli/qel_cmdoptions.h"
#include "data/data_util.h"
#include "data/vorn_data.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_io.h"
#include "qel/qel_output.h"
#include "qel/qel_progress.h"
#include "qel/qel_strings.h"
#include "trees/constr.h"
#include "trees/readtree.h"
#include "trees/tree_settings.h"
#include "trees/treebuf.h"
#include "trees/treebuf_extras.h"
#include "trees/treelist.h"
#include "trees/treeutil.h"

namespace {

int storeConstraintTree(void *asBackbone, Tree *tree, const char *name)
{
    return addConstraintFromTree(tree, name, *static_cast<bool *>(asBackbone));
}

// Holds every taxon active while the trees are read: constraints name
// deleted taxa too.
struct EveryTaxonActive {
    explicit EveryTaxonActive(DataInfo *d) : d(d), saved(d->nActive) { d->nActive = static_cast<int32_t>(d->ntax); }
    ~EveryTaxonActive() { d->nActive = saved; }
    EveryTaxonActive(const EveryTaxonActive &) = delete;
    EveryTaxonActive &operator=(const EveryTaxonActive &) = delete;
    DataInfo *d;
    int32_t saved;
};

}  // namespace

int doLoadConstrCmd()
{
    DataInfo *d = activeDataInfo();
    if (!d)
        return 1;
    ldCnstrOpt.append = ldCnstrOpt.asBackbone = 0;
    if (setCmdParamVals(OptionSet::kLoadConstr) != 0)
        return 1;
    if (gTreefileName[0] == '\0')
        return qel_errorMsg(129, "No file name was specified.\tThe current command was expecting specification of a "
                                 "file name, but none was found.");
    char dir[kPathnameBufSize];
    const char *directory = getActiveInputDirSpec(dir);
    InputStatus *caller = getActiveInput();
    InputStatus input;
    if (openInputFile(gTreefileName, 0, directory, &input) != kOpenOK) {
        setActiveInput(caller);
        return 1;
    }
    bool plain = false;
    uint32_t loaded = 0;
    int status = skipToTrees(&plain, gTreefileName);
    if (status == 0) {
        setStatusText("Loading constraint trees...");
        // Constraints loaded before an error stay defined.
        if (!ldCnstrOpt.append)
            deallocAllConstraints();
        bool asBackbone = ldCnstrOpt.asBackbone != 0;
        EveryTaxonActive all(d);
        status = readNamedTrees(plain, asBackbone, storeConstraintTree, &asBackbone, &loaded);
        clearStatusText();
    }
    closeInputFile(&input);
    setActiveInput(caller);
    if (status == 0)
        qel_printf("\n%u constraint-tree definition(s) loaded from file \"%s\"\n", loaded, gTreefileName);
    return status == 0 ? 0 : 1;
}

// ---------------------------------------------------------------------------
// UserTree

int doUserTreeCmd()
{
    DataInfo *d = activeDataInfo();
    if (!d)
        return 1;
    bool rooted = false, given = false;
    if (peekNextChar(nullptr) != '(') {
        char word[64];
        if (readToken(word, sizeof word) < 0)
            return 1;
        const size_t n = std::strlen(word);
        if (n > 0 && n <= 7 && strncasecmp(word, "rooted", n) == 0)
            rooted = given = true;
        else if (n > 0 && n <= 9 && strncasecmp(word, "unrooted", n) == 0)
            given = true;
        else
            return qel_errorMsg(0, "Expecting 'rooted', 'unrooted' or a tree description, found \"%s\".", word);
    }
    if (!given) {
        // Dollo and irreversible characters need a root; without characters the
        // tree is taken as written.
        if (!(d->flags & kHaveCharacters)) {
            rooted = true;
        } else {
            if (checkCharStatusUpdate(d) != 0)
                return 1;
            rooted = nonFreeRevCharsIncluded(d) != 0;
        }
    }
    setStatusText("Reading user-tree...");
    TreeReader *reader = createTreeReader(d, true, false);
    // A typed tree is Newick text: a hyphen belongs to the label ("a-1"),
    // as in a plain tree file, and never makes a range of taxa.
    if (reader)
        reader->newickFile = true;
    TreeHandle tree(createTree(false));
    int rc = reader && tree ? readNewickTree(reader, tree.get(), rooted) : 1;
    const bool lengths = rc == 0 && reader->brlensSeen && !reader->missingBrlen;
    const uint32_t decimals = reader ? reader->decimals : 0;
    destroyTreeReader(reader);
    clearStatusText();
    if (rc != 0)
        return 1;
    clearTrees(true, false);
    TreeBuffer *buf = getMainTreeBuffer(d);
    setRootededness(buf, rooted);
    const uint32_t k = putTree(tree.get(), buf, false);
    if (k == 0 || isPutTreeFull(k))
        return 1;
    setTreeSource(0);
    if (lengths && storeBranchLengths(buf, tree.get(), k - 1, true, decimals) != 0)
        return 1;
    setHaveUserBranchLengths(lengths);
    setTreesAreSaved(false);
    qel_printf("\nTree successfully read and is now stored as %srooted tree.\n", rooted ? "a " : "an un");
    return 0;
}

// ---------------------------------------------------------------------------
// TreeWts

namespace {

void showTreeWts(TreeBuffer *buf)
{
    const uint32_t n = numTreesInBuffer(buf);
    if (!haveNonunitTreeWeights(buf)) {
        qel_printf("\nAll trees are equally weighted\n");
        return;
    }
    const double *w = getTreeWtBuf(buf);
    std::vector<std::string> text(n);
    size_t width = std::max<size_t>(7, std::to_string(n).size());
    for (uint32_t k = 0; k < n; k++) {
        char cell[64];
        std::snprintf(cell, sizeof cell, "%.3g", w ? w[k] : 1.0);
        text[k] = cell;
        width = std::max(width, text[k].size());
    }
    const auto line = static_cast<size_t>(std::max<uint32_t>(getOutputLineLength(), 20));
    const size_t columns = std::max<size_t>(1, (line - 7) / (width + 2));
    qel_printf("\nCurrent tree weights:\n");
    for (uint32_t first = 0; first < n; first += static_cast<uint32_t>(columns)) {
        const uint32_t last = std::min<uint32_t>(n, first + static_cast<uint32_t>(columns));
        std::string row = "\nTree   ";
        for (uint32_t k = first; k < last; k++) {
            char cell[64];
            std::snprintf(cell, sizeof cell, "  %*u", static_cast<int>(width), k + 1);
            row += cell;
        }
        row += "\nWeight ";
        for (uint32_t k = first; k < last; k++) {
            char cell[80];
            std::snprintf(cell, sizeof cell, "  %*s", static_cast<int>(width), text[k].c_str());
            row += cell;
        }
        qel_printf("%s\n", row.c_str());
    }
}

// One word of the list, ended only by a blank or the semicolon: the standard
// punctuation would cut "-1", "1e-3" and "3/4" into pieces.
int readWeightWord(char *word, uint32_t size)
{
    return readSpecialToken(word, size, nullptr, ";", nullptr, false) < 0 ? 1 : 0;
}

}  // namespace

int doTreeWtsCmd()
{
    if (noTreesAvailable(false, 0, nullptr) != 0)
        return 1;
    TreeBuffer *buf = getMainTreeBuffer(activeDataInfo());
    const uint32_t n = numTreesInBuffer(buf);
    char word[64];
    if (readWeightWord(word, sizeof word) != 0)
        return 1;
    if (stricmp(word, "show") == 0) {
        if (readToken(word, sizeof word) < 0)
            return 1;
        if (!isTokenSemicolon(word))
            return qel_errorMsg(119, "Expecting semicolon (;), found \"%s\".\tCheck input formatting carefully (e.g., "
                                     "verify that the number of items supplied for a list is correct).",
                                word);
        showTreeWts(buf);
        return 0;
    }
    if (isTokenSemicolon(word))
        return qel_errorMsg(778, "You must specify either 'Show' or a list of tree weights.");
    // Weights are given one per tree in order: hidden trees would take
    // weights meant for the visible ones.
    if (isTreeFilterActive())
        return qel_errorMsg(777, "Specification of tree weights is not allowed while a tree filter is in effect.");
    // Read the whole list before storing any: a bad list changes nothing.
    std::vector<double> weights;
    while (!isTokenSemicolon(word)) {
        if (weights.size() == n)
            return qel_errorMsg(119, "Expecting semicolon (;), found \"%s\".\tCheck input formatting carefully (e.g., "
                                     "verify that the number of items supplied for a list is correct).",
                                word);
        double w = 0.0;
        if (storeTreeWtValue(word, 0, &w) != 0)
            return 1;
        if (w < 0.0)
            return qel_errorMsg(770, "Tree weight must be nonnegative: %s", word);
        weights.push_back(w);
        if (readWeightWord(word, sizeof word) != 0)
            return 1;
    }
    if (weights.size() < n) {
        char supplied[48];
        if (weights.size() == 1)
            std::snprintf(supplied, sizeof supplied, "one weight was");
        else
            std::snprintf(supplied, sizeof supplied, "%u weights were", static_cast<uint32_t>(weights.size()));
        qel_warningMsg(779, "%d trees currently exist but only %s supplied. Remaining weights have been set to 1.",
                       static_cast<int>(n), supplied);
        weights.resize(n, 1.0);
    }
    for (uint32_t k = 0; k < n; k++)
        if (storeTreeWt(buf, k, weights[k]) != 0)
            return 1;
    return 0;
}

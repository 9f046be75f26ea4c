#include "trees/treebuf_extras.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>

#include "data/vorn_data.h"
#include "qel/qel_auxout.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_malloc.h"
#include "cli/qel_cmdline.h"
#include "cli/qel_cmdoptions.h"
#include "cli/qel_commands.h"
#include "trees/tree_settings.h"
#include "trees/treelist.h"

SpecialTreeStore gSpecialTree{};

namespace {

int ensureNameNumbers(TreeBuffer *buf)
{
    if (buf->nameNumbers)
        return 0;
    buf->nameNumbers = allocArrayOf<int32_t>(buf->capacity);
    if (!buf->nameNumbers)
        return 1;
    std::fill_n(buf->nameNumbers, buf->capacity, -1);
    return 0;
}

const char *currentCommandName()
{
    return cmdOpt.currentCmd && cmdOpt.currentCmd->name ? cmdOpt.currentCmd->name : "(unknown)";
}

}  // namespace

// ---------------------------------------------------------------------------
// Names

int32_t treeNameToPrefixAndNum(const char *name, char *prefixOut)
{
    prefixOut[0] = '\0';
    const size_t len = std::strlen(name);
    if (len >= kTreeNameSize)
        return -1;
    size_t start = len;
    while (start > 0 && name[start - 1] >= '0' && name[start - 1] <= '9')
        start--;
    const size_t digits = len - start;
    int64_t value = -1;
    // Leading zeros or too many digits would not survive prefix + number.
    if (digits > 0 && digits <= 10 && !(digits > 1 && name[start] == '0')) {
        value = 0;
        for (size_t i = start; i < len; i++)
            value = value * 10 + (name[i] - '0');
        if (value > INT32_MAX)
            value = -1;
    }
    const size_t prefixLen = value < 0 ? len : start;
    std::memcpy(prefixOut, name, prefixLen);
    prefixOut[prefixLen] = '\0';
    return static_cast<int32_t>(value);
}

int storeTreeName(TreeBuffer *buf, const char *name, uint32_t slot)
{
    buf = selectTreeBuffer(buf);
    if (!buf || !name || slot >= buf->capacity)
        return 1;
    char prefix[kTreeNameSize];
    const int32_t number = treeNameToPrefixAndNum(name, prefix);
    const bool splittable = std::strlen(name) < kTreeNameSize;
    if (!buf->namesStarted) {
        if (splittable && buf->namePrefix[0] == '\0')
            std::memcpy(buf->namePrefix, prefix, sizeof prefix);
        if (splittable && number >= 0 && std::strcmp(prefix, buf->namePrefix) == 0) {
            if (ensureNameNumbers(buf) != 0)
                return 1;
            buf->baseNameNum = number >= static_cast<int32_t>(slot) ? number - static_cast<int32_t>(slot) : number;
        }
        buf->namesStarted = 1;
    }
    if (buf->names && buf->names[slot])
        buf->names[slot] = static_cast<char *>(deallocBlock(buf->names[slot]));
    if (splittable && std::strcmp(prefix, buf->namePrefix) == 0) {
        if (number >= 0 || buf->baseNameNum >= 0) {
            if (ensureNameNumbers(buf) != 0)
                return 1;
            buf->nameNumbers[slot] = number;
            if (number < 0 || buf->baseNameNum < 0 ||
                static_cast<int64_t>(number) - buf->baseNameNum != static_cast<int64_t>(slot))
                buf->nameNumsNotConsecutive = 1;
        }
        return 0;
    }
    if (!buf->names && !(buf->names = allocArrayOf<char *>(buf->capacity)))
        return 1;
    char *copy = cloneString(name);
    if (!copy)
        return 1;
    buf->names[slot] = copy;
    buf->explicitNames = 1;
    return 0;
}

void finishNames(TreeBuffer *buf)
{
    if (!(buf = selectTreeBuffer(buf)))
        return;
    if (!buf->explicitNames)
        buf->names = static_cast<char **>(deallocArray(buf->names));
    if (!buf->nameNumsNotConsecutive)
        buf->nameNumbers = static_cast<int32_t *>(deallocArray(buf->nameNumbers));
}

const char *getStoredTreeName(TreeBuffer *buf, uint32_t n)
{
    buf = selectTreeBuffer(buf);
    if (!buf || n == 0 || n > buf->capacity || !buf->names)
        return nullptr;
    return buf->names[n - 1];
}

std::string getTreeName(TreeBuffer *buf, uint32_t n)
{
    buf = selectTreeBuffer(buf);
    if (!buf || n == 0 || n > buf->capacity)
        return {};
    if (const char *explicitName = getStoredTreeName(buf, n))
        return explicitName;
    int64_t number = buf->nameNumbers ? buf->nameNumbers[n - 1]
                     : buf->baseNameNum >= 0 ? int64_t{buf->baseNameNum} + n - 1
                                             : -1;
    // Built in a larger buffer: prefix and number together may exceed a
    // name's room, and the cut must be deliberate.
    char whole[kTreeNameSize + 24];
    if (number < 0)
        std::snprintf(whole, sizeof whole, "%s", buf->namePrefix);
    else
        std::snprintf(whole, sizeof whole, "%s%lld", buf->namePrefix, static_cast<long long>(number));
    char name[kTreeNameSize];
    strcpy_n(name, whole, sizeof name);
    return name;
}

uint32_t longestStoredTreeName(TreeBuffer *buf, Set *list, uint32_t count)
{
    buf = selectTreeBuffer(buf);
    if (!buf || !haveTreeNames(buf))
        return 0;
    size_t longest = 0;
    const uint32_t limit = std::min(count ? count : buf->numTrees, buf->numTrees);
    for (uint32_t s = 0; s < limit; s++)
        if (!list || isSetMember(list, s))
            longest = std::max(longest, getTreeName(buf, s + 1).size());
    return static_cast<uint32_t>(longest);
}

char *makeTreeName(uint32_t n, uint32_t width, char *buffer, size_t size)
{
    TreeBuffer *buf = getMainTreeBuffer(nullptr);
    if (!buf)
        buf = getActiveTreeBuffer();
    std::string name;
    if (buf && haveTreeNames(buf) && n >= 1 && n <= buf->numTrees) {
        name = getTreeName(buf, n);
        if (name == std::to_string(n))
            name.clear();
    }
    const int w = static_cast<int>(width);
    if (!name.empty())
        std::snprintf(buffer, size, "%*u (\"%s\")", w, n, name.c_str());
    else
        std::snprintf(buffer, size, "%*u", w, n);
    return buffer;
}

void outputTreeNumAndName(uint32_t n)
{
    char name[kTreeNameSize + 32];
    makeTreeName(n, 0, name, sizeof name);
    qel_printf("%5d  \b%s", static_cast<int>(n), name);
}

void setTreenamePrefix(TreeBuffer *buf, const char *prefix, bool onlyIfEmpty)
{
    if (!(buf = selectTreeBuffer(buf)) || (onlyIfEmpty && buf->namePrefix[0]))
        return;
    std::snprintf(buf->namePrefix, sizeof buf->namePrefix, "%s", prefix ? prefix : "");
}

void disposeTreeNames(TreeBuffer *buf)
{
    if (!(buf = selectTreeBuffer(buf)))
        return;
    if (buf->names)
        for (uint32_t s = 0; s < buf->capacity; s++)
            deallocBlock(buf->names[s]);
    buf->names = static_cast<char **>(deallocArray(buf->names));
    buf->nameNumbers = static_cast<int32_t *>(deallocArray(buf->nameNumbers));
    buf->namePrefix[0] = '\0';
    buf->baseNameNum = -1;
    buf->explicitNames = buf->nameNumsNotConsecutive = buf->namesStarted = 0;
}

bool haveTreeNames(const TreeBuffer *buf)
{
    buf = selectTreeBuffer(const_cast<TreeBuffer *>(buf));
    return buf && buf->namesStarted;
}

// ---------------------------------------------------------------------------
// Weights and scores

int storeTreeWt(TreeBuffer *buf, uint32_t slot, double w)
{
    buf = selectTreeBuffer(buf);
    if (!buf || slot >= buf->capacity)
        return 1;
    if (!buf->weights) {
        buf->weights = allocArrayOf<double>(buf->capacity);
        if (!buf->weights)
            return 1;
        std::fill_n(buf->weights, buf->capacity, 1.0);
    }
    buf->weights[slot] = w;
    if (w != 1.0)
        buf->nonUnitWeights = 1;
    return 0;
}

int incrementTreeWt(TreeBuffer *buf, uint32_t slot, double w)
{
    buf = selectTreeBuffer(buf);
    if (!buf || slot >= buf->capacity)
        return 1;
    const double current = buf->weights ? buf->weights[slot] : 1.0;
    return storeTreeWt(buf, slot, current + w);
}

bool haveTreeWeights(const TreeBuffer *buf)
{
    buf = selectTreeBuffer(const_cast<TreeBuffer *>(buf));
    return buf && buf->weights;
}

bool haveNonunitTreeWeights(const TreeBuffer *buf)
{
    buf = selectTreeBuffer(const_cast<TreeBuffer *>(buf));
    return buf && buf->weights && buf->nonUnitWeights;
}

double *getTreeWtBuf(TreeBuffer *buf)
{
    buf = selectTreeBuffer(buf);
    return buf ? buf->weights : nullptr;
}

double *getTreeScoreArray(TreeBuffer *buf)
{
    buf = selectTreeBuffer(buf);
    return buf ? buf->scores : nullptr;
}

void setTreeScoreArray(TreeBuffer *buf, double *scores)
{
    if (!(buf = selectTreeBuffer(buf)))
        return;
    if (buf->scores != scores)
        deallocArray(buf->scores);
    buf->scores = scores;
}

// ---------------------------------------------------------------------------
// Branch lengths and support values

int allocBranchLens(TreeBuffer *buf, int32_t slot, uint32_t count)
{
    buf = selectTreeBuffer(buf);
    if (!buf || (slot >= 0 && static_cast<uint32_t>(slot) >= buf->capacity) || count > buf->capacity)
        return 1;
    if (!buf->brlens && !(buf->brlens = allocArrayOf<double *>(buf->capacity)))
        return 1;
    if (slot < 0) {
        for (uint32_t s = 0; s < count; s++)
            if (!buf->brlens[s] && !(buf->brlens[s] = allocArrayOf<double>(buf->maxNodes)))
                return 1;
        buf->brlenDecimals = 0;
        return 0;
    }
    if (!buf->brlens[slot] && !(buf->brlens[slot] = allocArrayOf<double>(buf->maxNodes)))
        return 1;
    return 0;
}

int storeBranchLengths(TreeBuffer *buf, Tree *tree, uint32_t slot, bool alloc, uint32_t decimals)
{
    buf = selectTreeBuffer(buf);
    if (!buf || !tree || !tree->root || slot >= buf->capacity)
        return 1;
    if (alloc && allocBranchLens(buf, static_cast<int32_t>(slot), 1) != 0)
        return 1;
    if (!buf->brlens || !buf->brlens[slot])
        return 1;
    checkTraversalSeq(tree);
    double *out = buf->brlens[slot];
    uint32_t k = 0;
    for (TreeNode *p = tree->root; p && k < buf->maxNodes; p = p->next)
        out[k++] = p->edge.brlen;
    buf->brlenDecimals = std::max(buf->brlenDecimals, decimals);
    return 0;
}

long checkMemForBrlenStorage(TreeBuffer *buf, long thresholdMB)
{
    buf = selectTreeBuffer(buf);
    if (!buf)
        return 0;
    const long mb = static_cast<long>(uint64_t{buf->numTrees} * 8 * (uint64_t{buf->maxNodes} + 1) >> 20);
    if (mb >= thresholdMB) {
        qel_printf("\nNote: \bStorage of branch-lengths for input trees requires approximately %ld MB of memory.  "
                   "If you don't intend to use these branch lengths, you can save some memory by requesting ",
                   mb);
        qel_printf("\"Set storeBrlens=no\"");
        qel_printf(" prior to processing the Trees block, or using ");
        qel_printf("\"storeBrlens=no\"");
        qel_printf(" in a GetTrees command.\n");
    }
    return mb;
}

double *getBranchLensArray(TreeBuffer *buf, uint32_t slot)
{
    buf = selectTreeBuffer(buf);
    return buf && buf->brlens && slot < buf->capacity ? buf->brlens[slot] : nullptr;
}

uint32_t getMaxBranchLenDecimals(const TreeBuffer *buf)
{
    buf = selectTreeBuffer(const_cast<TreeBuffer *>(buf));
    return buf ? buf->brlenDecimals : 0;
}

void setMaxBranchLenDecimals(TreeBuffer *buf, uint32_t decimals)
{
    if ((buf = selectTreeBuffer(buf)) != nullptr)
        buf->brlenDecimals = decimals;
}

int storeSupportValues(Tree *tree, TreeBuffer *buf)
{
    buf = selectTreeBuffer(buf);
    if (!buf || !tree || !tree->root || !tree->root->firstChild)
        return 1;
    if (!buf->support && !(buf->support = allocArrayOf<float>(buf->maxNodes)))
        return 1;
    checkTraversalSeq(tree);
    uint32_t k = 0;
    for (TreeNode *p = tree->root->firstChild; p && k < buf->maxNodes; p = p->next)
        buf->support[k++] = p->edge.support;
    return 0;
}

float *getSupportValuesArray(TreeBuffer *buf)
{
    buf = selectTreeBuffer(buf);
    return buf ? buf->support : nullptr;
}

void setSupportValuesArray(TreeBuffer *buf, float *values)
{
    if (!(buf = selectTreeBuffer(buf)))
        return;
    if (buf->support != values)
        deallocArray(buf->support);
    buf->support = values;
}

bool haveTreeSupportValues(const TreeBuffer *buf)
{
    buf = selectTreeBuffer(const_cast<TreeBuffer *>(buf));
    return buf && buf->support;
}

void disposeBranchLens(TreeBuffer *buf)
{
    if (!(buf = selectTreeBuffer(buf)) || !buf->brlens)
        return;
    for (uint32_t s = 0; s < buf->capacity; s++)
        deallocArray(buf->brlens[s]);
    buf->brlens = static_cast<double **>(deallocArray(buf->brlens));
    buf->brlenDecimals = 0;
}

void disposeTreeWeights(TreeBuffer *buf)
{
    if ((buf = selectTreeBuffer(buf)) != nullptr) {
        buf->weights = static_cast<double *>(deallocArray(buf->weights));
        buf->nonUnitWeights = 0;
    }
}

void disposeTreeScores(TreeBuffer *buf)
{
    if ((buf = selectTreeBuffer(buf)) != nullptr)
        buf->scores = static_cast<double *>(deallocArray(buf->scores));
}

void disposeSupportValues(TreeBuffer *buf)
{
    if ((buf = selectTreeBuffer(buf)) != nullptr)
        buf->support = static_cast<float *>(deallocArray(buf->support));
}

int storeBrlensParm(CmdParam *)
{
    TreeBuffer *buf = getMainTreeBuffer(nullptr);
    if (getr.storeBrLens || !buf || !haveUserBranchLengths())
        return 0;
    disposeBranchLens(buf);
    setHaveUserBranchLengths(false);
    // The remembered optimisation may have used the lengths just dropped.
    if (const TreeDataHooks &h = treeDataHooks(); h.forgetLastTreeOptimized)
        h.forgetLastTreeOptimized();
    return 0;
}

int storeTreeWtsParm(CmdParam *)
{
    if (!getr.storeTreeWts)
        if (TreeBuffer *buf = getMainTreeBuffer(nullptr))
            disposeTreeWeights(buf);
    return 0;
}

// ---------------------------------------------------------------------------
// Newick straight from the encoding

int fastTreeSave(TreeBuffer *buf, const DataInfo *data, uint32_t n, bool useNumbers,
                 const std::vector<std::string> *words)
{
    buf = selectTreeBuffer(buf);
    if (!buf || n == 0 || n > buf->numTrees)
        return 1;
    const uint8_t *rep = treeLocation(buf, n - 1);
    const uint32_t pairs = repElement(buf, rep, 0);
    if (pairs < 2)
        return auxFileError() ? 1 : 0;
    const uint32_t tf = buf->tipFlag;
    if (!data)
        data = activeDataInfo();
    auto putTip = [&](uint32_t taxon) {
        if (useNumbers) {
            auxPrintf("%d", static_cast<int>(taxon + 1));
            return;
        }
        if (words && taxon < words->size()) {
            auxPuts((*words)[taxon].c_str());
            return;
        }
        const char *label = nullptr;
        if (buf->labels && taxon < numStringListItems(buf->labels))
            label = getStringFromList(buf->labels, taxon);
        else if (data)
            label = getTaxLabel(data, taxon);
        char quoted[2 * kTreeNameSize + 8];
        if (label)
            auxPuts(nexusizeString(label, quoted, sizeof quoted));
        else
            auxPrintf("%d", static_cast<int>(taxon + 1));
    };
    const bool unrooted = !buf->rooted;
    bool afterOpen = false;
    if (unrooted) {
        auxPutc('(');
        putTip(repElement(buf, rep, 1));
    }
    for (uint32_t i = 1; i < pairs; i++) {
        const uint32_t e0 = repElement(buf, rep, 2 * i);
        const uint32_t e1 = repElement(buf, rep, 2 * i + 1);
        const bool basalOfUnrooted = unrooted && i == 1;
        if (!basalOfUnrooted && i > 1 && !afterOpen)
            auxPutc(',');
        if (basalOfUnrooted && (e0 & tf))
            auxPutc(',');
        afterOpen = false;
        if (e0 & tf) {
            putTip(e0 & (tf - 1));
            if (e1 & tf)
                for (uint32_t c = e1 & (tf - 1); c > 0; c--)
                    auxPutc(')');
        } else if (!basalOfUnrooted) {
            auxPutc('(');
            afterOpen = true;
        }
    }
    return auxFileError() ? 1 : 0;
}

// ---------------------------------------------------------------------------
// The no-trees check and ClearTrees

int noTreesAvailable(bool quiet, uint32_t errorCode, const char *message)
{
    const uint32_t count = numTreesInMainBuffer();
    const bool allHidden = count > 0 && isTreeFilterActive() && isSetEmpty(treeSets[kFilterTreeSet]);
    if (count > 0 && !allHidden)
        return 0;
    const char *why = count == 0 ? "No trees are currently in memory" : "All trees are currently hidden by filter";
    if (!inMenuMode() && !quiet) {
        // The command fails, and its file with it: the message says so. The
        // rest of the command goes first, as an error drops what is left of
        // a typed line.
        const int skipped = skipRestOfCmd();
        qel_errorMsg(0, "%s; %s command ignored", why, currentCommandName());
        return skipped == 0 ? 1 : -1;
    }
    if (errorCode)
        return showErrorMsg(errorCode, message ? message : why);
    return qel_errorMsg(count == 0 ? 704 : 705, "%s.\tThe '%s' command requires the presence of at least one tree.",
                        count == 0 ? "There are no trees in memory" : why, currentCommandName());
}

void clearTrees(bool keepLabels, bool keepSpecial)
{
    const TreeDataHooks &h = treeDataHooks();
    if (h.forgetLastTreeOptimized)
        h.forgetLastTreeOptimized();
    treeInfo.treesSaved = 0;
    treeInfo.userBrlens = 0;
    deleteTreeSets(true);
    if (TreeBuffer *buf = getMainTreeBuffer(nullptr)) {
        emptyTreeBuffer(buf, keepLabels);
        buf->rooted = 0;
        buf->leafCount = buf->labels && keepLabels ? buf->leafCount : buf->ntax;
    }
    if (!keepSpecial)
        deallocSpecialTreeData();
}

int doClearTreesCmd()
{
    if (int rc = noTreesAvailable(false, 0, nullptr); rc != 0)
        return rc;
    if (setCmdParamVals(OptionSet::kClearTrees) != 0)
        return 1;
    clearTrees(false, false);
    qel_printf("\nAll trees have been cleared from memory.\n");
    return 0;
}

// ---------------------------------------------------------------------------
// Special trees

int allocSpecialTreeData(uint32_t n)
{
    deallocSpecialTreeData();
    if (n == 0)
        return 0;
    gSpecialTree.trees = allocArrayOf<Tree *>(n);
    gSpecialTree.values = allocArrayOf<uint32_t>(n);
    if (!gSpecialTree.trees || !gSpecialTree.values) {
        deallocSpecialTreeData();
        return 1;
    }
    gSpecialTree.capacity = n;
    for (uint32_t i = 0; i < n; i++) {
        if (!(gSpecialTree.trees[i] = createTree(true))) {
            deallocSpecialTreeData();
            return 1;
        }
    }
    return 0;
}

int saveSpecialTree(const Tree *tree, uint32_t value)
{
    SpecialTreeStore &s = gSpecialTree;
    if (!tree || s.count >= s.capacity || copyTree(tree, s.trees[s.count]) != 0)
        return 1;
    s.values[s.count++] = value;
    return 0;
}

int copySpecialTree(uint32_t i, Tree *dst)
{
    return i < gSpecialTree.count ? copyTree(gSpecialTree.trees[i], dst) : 1;
}

Tree *getSpecialTree(uint32_t i) { return i < gSpecialTree.count ? gSpecialTree.trees[i] : nullptr; }

void deallocSpecialTreeData()
{
    SpecialTreeStore &s = gSpecialTree;
    if (s.trees)
        for (uint32_t i = 0; i < s.capacity; i++)
            destroyTree(s.trees[i], true);
    deallocArray(s.trees);
    deallocArray(s.values);
    s = SpecialTreeStore{};
}

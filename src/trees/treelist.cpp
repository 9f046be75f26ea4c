#include "trees/treelist.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "data/vorn_data.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_strings.h"
#include "cli/qel_cmdline.h"
#include "trees/treebuf.h"
#include "trees/treebuf_extras.h"

Set *treeSets[kNumTreeSets] = {};

namespace {

constexpr uint32_t kWordSize = 256;

int badTreeId(const char *word)
{
    qel_errorMsg(702, "Tree identifier \"%s\" is invalid.\tThis often occurs when the slash ('/') character that "
                      "separates a list of tree identifiers from subsequent option settings is omitted in a command.",
                 word);
    return -1;
}

int invalidTreeList() { return qel_errorMsg(703, "Invalid tree list."); }

// Adds trees first..last (1-based) in steps of step, skipping hidden ones.
void addTreeRange(Set *set, uint64_t first, uint64_t last, uint64_t step, bool *skippedHidden)
{
    for (uint64_t n = first; n <= last; n += step) {
        if (isTreeVisible(static_cast<uint32_t>(n - 1)))
            addSetMember(set, static_cast<uint32_t>(n - 1));
        else
            *skippedHidden = true;
    }
}

// The default selection: every visible tree, or the first visible one.
void fillDefault(Set *set, uint32_t count, bool all)
{
    clearSet(set);
    for (uint32_t s = 0; s < count; s++) {
        if (isTreeVisible(s)) {
            addSetMember(set, s);
            if (!all)
                return;
        }
    }
}

// Whether the next word starts a tree list rather than an option keyword: ".",
// a number, "all", a delimited list, or the whole name of a stored tree. The
// word is only looked at; the input is left where it was.
bool treeListFollows()
{
    const int c = peekNextChar(nullptr);
    if (c == '.' || c == '(' || c == '"' || std::isdigit(c))
        return true;
    if (c < 0 || (!std::isalpha(c) && c != '_'))
        return false;
    InputMark where{};
    markInput(&where);
    char word[kWordSize];
    const bool gotWord = readToken(word, kWordSize) >= 0 && !tokenWasTruncated();
    rewindInput(&where);
    if (!gotWord)
        return false;
    if (stricmp(word, "all") == 0)
        return true;
    TreeBuffer *buf = selectTreeBuffer(getMainTreeBuffer(nullptr));
    if (!buf || !haveTreeNames(buf))
        return false;
    const uint32_t count = numTreesInBuffer(buf);
    for (uint32_t n = 1; n <= count; n++)
        if (stricmp(getTreeName(buf, n).c_str(), word) == 0)
            return true;
    return false;
}

}  // namespace

bool isTreeFilterActive() { return treeSets[kFilterTreeSet] != nullptr; }

bool isTreeVisible(uint32_t slot)
{
    return !treeSets[kFilterTreeSet] || isSetMember(treeSets[kFilterTreeSet], slot);
}

int64_t stringToTreeNum(TreeBuffer *buf, const char *word)
{
    buf = selectTreeBuffer(buf ? buf : getMainTreeBuffer(nullptr));
    const uint32_t count = numTreesInBuffer(buf);
    if (std::strcmp(word, ".") == 0)
        return count > 0 ? count : badTreeId(word);
    if (std::isdigit(static_cast<unsigned char>(word[0]))) {
        char *end = nullptr;
        unsigned long long v = std::strtoull(word, &end, 10);
        if (*end == '\0')
            return v >= 1 && v <= count ? static_cast<int64_t>(v) : badTreeId(word);
    }
    if (buf && haveTreeNames(buf))
        for (uint32_t n = 1; n <= count; n++)
            if (stricmp(getTreeName(buf, n).c_str(), word) == 0)
                return n;
    return badTreeId(word);
}

int getTreeList(Set *set, bool onlyIfListFollows, bool singleItem)
{
    if (onlyIfListFollows && !treeListFollows())
        return 0;
    int c = peekNextChar(nullptr);
    TreeBuffer *buf = getMainTreeBuffer(nullptr);
    const uint32_t count = numTreesInBuffer(buf);
    Set *work = allocSet(count > 0 ? count : 1);
    if (!work)
        return 1;
    int closer = 0;
    if (c == '(' || c == '"') {
        readNextDarkChar(nullptr);
        closer = c == '(' ? ')' : '"';
    }
    bool skippedHidden = false;
    int rc = 0;
    char word[kWordSize];
    for (;;) {
        c = peekNextChar(nullptr);
        if (closer && c == closer) {
            readNextDarkChar(nullptr);
            break;
        }
        if (c < 0 || (!closer && (c == '/' || c == ';')))
            break;
        if (readToken(word, kWordSize) < 0) {
            rc = 1;
            break;
        }
        if (stricmp(word, "remainder") == 0) {
            rc = qel_errorMsg(434, "REMAINDER is not allowed in this context.");
            break;
        }
        uint64_t first;
        uint64_t last;
        if (stricmp(word, "all") == 0) {
            first = 1;
            last = count;
        } else {
            int64_t a = stringToTreeNum(buf, word);
            if (a < 0) {
                rc = 1;
                break;
            }
            first = last = static_cast<uint64_t>(a);
            if (peekNextChar(nullptr) == '-') {
                readNextDarkChar(nullptr);
                if (readToken(word, kWordSize) < 0) {
                    rc = invalidTreeList();
                    break;
                }
                int64_t b = stringToTreeNum(buf, word);
                if (b < 0) {
                    rc = 1;
                    break;
                }
                if (b < a) {
                    rc = invalidTreeList();
                    break;
                }
                last = static_cast<uint64_t>(b);
            }
        }
        uint64_t step = 1;
        if (first != last || stricmp(word, "all") == 0) {
            const uint32_t inc = readListIncrement();
            if (inc == 0 || inc == 0xFFFFFFFFu) {
                rc = invalidTreeList();
                break;
            }
            step = inc;
        }
        if (count > 0 && last >= first)
            addTreeRange(work, first, last, step, &skippedHidden);
        if (singleItem && !closer)
            break;
    }
    if (rc == 0) {
        if (!isSetEmpty(work)) {
            if (set->capacity < work->capacity && expandSet(set, work->capacity) != 0)
                rc = 1;
            else
                copySet(work, set);
        } else if (skippedHidden) {
            rc = qel_errorMsg(745, "The requested trees are unavailable due to filter.");
        }
    }
    deallocSet(work);
    return rc;
}

int initTreeListSet(Set **setRef, Set **savedCopy, bool allByDefault)
{
    if (*setRef) {
        if (savedCopy) {
            deallocSet(*savedCopy);
            if (!(*savedCopy = cloneSet(*setRef)))
                return 1;
        }
        return 0;
    }
    const uint32_t count = numTreesInMainBuffer();
    if (!(*setRef = allocSet(count > 0 ? count : 1)))
        return 1;
    fillDefault(*setRef, count, allByDefault);
    return 0;
}

int initTreeListSetWithCheck(Set **setRef, Set **savedCopy, bool allByDefault, bool quiet)
{
    if (int rc = noTreesAvailable(quiet, 0, nullptr); rc != 0)
        return rc;
    return initTreeListSet(setRef, savedCopy, allByDefault);
}

int makeTreeListSetWithinRange(Set **setRef, uint32_t from, uint32_t to)
{
    const uint32_t count = numTreesInMainBuffer();
    if (!*setRef && !(*setRef = allocSet(count > 0 ? count : 1)))
        return 1;
    fillDefault(*setRef, count, true);
    for (uint32_t s = 0; s < count; s++)
        if (s + 1 < from || s + 1 > to)
            removeSetMember(*setRef, s);
    return 0;
}

void deleteTreeSets(bool includingFilter)
{
    for (uint32_t i = 0; i < kNumTreeSets; i++)
        if (i != kFilterTreeSet || includingFilter)
            treeSets[i] = deallocSet(treeSets[i]);
}

void initTreeStatus(bool includingFilter)
{
    const TreeDataHooks &h = treeDataHooks();
    if (h.forgetLastTreeOptimized)
        h.forgetLastTreeOptimized();
    deleteTreeSets(includingFilter);
}

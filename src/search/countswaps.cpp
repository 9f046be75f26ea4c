#include "search/countswaps.h"

#include <algorithm>
#include <array>
#include <string>
#include <utility>
#include <vector>

#include "data/vorn_data.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_random.h"
#include "qel/qel_sets.h"
#include "search/constrsearch.h"
#include "search/hsearch.h"
#include "search/hsprep.h"
#include "search/search.h"
#include "search/search_settings.h"
#include "cli/qel_cmdline.h"
#include "search/tbr.h"
#include "trees/treebuf.h"
#include "trees/treebuf_extras.h"
#include "trees/treeedit.h"
#include "trees/treelist.h"
#include "trees/treeutil.h"

namespace {

void randomPairFromRng(void *state, uint32_t n, uint32_t *a, uint32_t *b)
{
    randomPair(static_cast<RNG *>(state), n, a, b);
}

// A fork of more than two children. A tree can be nonbinary without one: a
// pair of taxa unrooted hangs on a fork of one child, with nothing to resolve.
bool hasPolytomy(Tree *tree)
{
    checkTraversalSeq(tree);
    for (TreeNode *p = tree->root; p; p = p->next)
        if (p->firstChild && p->firstChild->nextSib && p->firstChild->nextSib->nextSib)
            return true;
    return false;
}

}  // namespace

double countRearrangements(Tree *tree, uint32_t swapType, uint32_t reconLimit)
{
    // Counting scores nothing: every move of the type is one, whatever the
    // data say about it and whatever was counted before.
    if (swapType == 0)
        return 0.0;
    if (getTopolConstrained() == 0)
        return countTbrRearrangements(tree, static_cast<int>(swapType), reconLimit);
    // Under a constraint only the moves it admits count. A move is judged on
    // the whole tree, which is cut while the moves are listed: they are
    // collected first and tested after.
    using Move = std::array<TreeNode *, 3>;
    std::vector<Move> moves;
    forEachTbrMove(
        tree, nullptr, static_cast<int>(swapType), reconLimit,
        [](void *ctx, TreeNode *K, TreeNode *T, TreeNode *R, double) {
            static_cast<std::vector<Move> *>(ctx)->push_back({K, T, R});
            return 0;
        },
        &moves);
    return static_cast<double>(
        std::count_if(moves.begin(), moves.end(), [&](const Move &m) { return tbrMoveAllowed(tree, m[0], m[1], m[2]); }));
}

int doCountSwapsCmd()
{
    DataInfo *data = activeDataInfo();
    TreeBuffer *buf = getActiveTreeBuffer();
    const uint32_t inMemory = numTreesInBuffer(buf);
    if (int rc = noTreesAvailable(false, 0, nullptr); rc != 0)
        return rc;
    if (!data)
        return 1;
    // The list given last holds until another is given (at first, tree 1).
    Set *&list = treeSets[kCountSwapsTreeSet];
    if (initTreeListSet(&list, nullptr, false) != 0)
        return 1;
    // The command has no options: whatever follows its name is a tree list,
    // and a word that names no tree is refused, not passed over.
    if (getTreeList(list, false, false) != 0)
        return 1;
    // Nor does it take options after a slash: the counts are for HSearch's
    // swap and reconLimit, which a word here would seem to change.
    if (peekNextChar(nullptr) == '/') {
        readNextDarkChar(nullptr);
        if (peekNextChar(nullptr) != ';') {
            char word[256];
            if (readToken(word, sizeof word) < 0)
                return 1;
            return qel_errorMsg(143,
                                "Keyword \"%s\" is not recognized.\tIf the keyword is valid for the current command "
                                "and it is spelled correctly, look for problems in a previous command, such as a "
                                "missing semicolon.",
                                word),
                   1;
        }
    }
    // A kept list may name trees a filter set since hides.
    bool any = false;
    for (uint32_t k = 0; k < inMemory; k++) {
        if (isSetMember(list, k) && !isTreeVisible(k))
            removeSetMember(list, k);
        any = any || isSetMember(list, k);
    }
    for (uint32_t k = 0; k < inMemory && !any; k++)
        if (isTreeVisible(k))
            addSetMember(list, k), any = true;
    if (!any)
        addSetMember(list, 0);
    skipRestOfCmd();
    if (prepForSearch(data, kSearchNoMinTaxa | kSearchConstraintsOk) != 0)
        return 1;
    setSearchVariables(kSearchModeCountSwaps, data);
    const uint32_t swapType = hs.swap;
    const uint32_t reconLimit = static_cast<uint32_t>(std::max<int32_t>(hs.reconLimit, 0));
    TreeHandle tree(createSearchTree(data));
    if (!tree)
        return finishSearch(1);
    struct ConstraintsGuard {
        ~ConstraintsGuard() { releaseSearchConstraints(); }
    } constraintsGuard;
    if (srch.enforce) {
        const int rc = prepareSearchConstraints(data, tree.get(), srch.converse != 0, false, true);
        if (rc != 0)
            return finishSearch(rc < 0 ? 0 : 1);
    }
    RNG rng{};
    initRNG(&rng, makeSeed(0, 0, 0, 0));  // fresh for each command: the resolution of polytomies is arbitrary

    std::vector<std::pair<uint32_t, double>> rows;
    std::vector<bool> resolved;
    int status = 0;
    for (uint32_t k = 0; k < inMemory; k++) {
        if (!isSetMember(list, k))
            continue;
        if (getAbortedStatus() != 0 && confirmAbortRequest()) {
            status = 2;
            break;
        }
        getTree(buf, k + 1, tree.get());
        const bool binary = determineIfTreeIsBinary(tree.get()) != 0 || !hasPolytomy(tree.get());
        if (!binary) {
            dichotomizeTree(tree.get(), randomPairFromRng, &rng);
            setTraversalSeq(tree.get());
        }
        rows.emplace_back(k + 1, countRearrangements(tree.get(), swapType, reconLimit));
        resolved.push_back(!binary);
    }
    const bool limited = swapType > 1 && reconLimit > 0;
    // Without swapping there is no kind of rearrangement to name; the
    // count (none) still answers the question.
    const std::string kind = swapType == 0 ? std::string() : std::string(swapTypeName(swapType)) + " ";
    const char *name = kind.c_str();
    if (rows.size() == 1 && status == 0) {
        qel_printf("\nNumber of possible %srearrangements of tree %u", name, rows[0].first);
        if (limited)
            qel_printf(" with reconnection limit of %u", reconLimit);
        qel_printf(" = %g", rows[0].second);
        if (resolved[0])
            qel_printf(" (nonbinary tree was arbitrarily dichotomized)");
        qel_printf("\n");
    } else if (!rows.empty()) {
        qel_printf("\nNumber of possible %srearrangements:\n\n", name);
        qel_printf("    Tree      Rearrangements\n");
        qel_printf("    ------------------------\n");
        double lo = rows[0].second, hi = rows[0].second;
        bool anyResolved = false;
        for (size_t i = 0; i < rows.size(); i++) {
            qel_printf("%8u%20g%s\n", rows[i].first, rows[i].second, resolved[i] ? "*" : "");
            lo = std::min(lo, rows[i].second);
            hi = std::max(hi, rows[i].second);
            anyResolved = anyResolved || resolved[i];
        }
        qel_printf("\nminimum = %g, maximum = %g\n", lo, hi);
        if (anyResolved)
            qel_printf("* Nonbinary tree(s) arbitrarily dichotomized\n");
    }
    return finishSearch(status);
}

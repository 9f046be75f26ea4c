#include "trees/tree_settings.h"

#include "trees/constr.h"

#include "qel/qel_errormsg.h"
#include "qel/qel_sets.h"
#include "cli/qel_cmdline.h"
#include "trees/treebuf.h"
#include "trees/treelist.h"

RootingSettings rooting = {kRootOutgroup, kOutRootPolytomy, 0, 0};
TreeDrawSettings treeDraw = {kTreeOrderStandard, 0, 0, 0, 0};
GetTreesSettings getr = {1, 1, 0, 0, 0, 0, 0, 0, 0, kDefaultGetTreesMode};
TreeInfo treeInfo = {kDefaultMaxtrees, static_cast<uint32_t>(MaxtreesAction::kPrompt),
                     kDefaultAutoInc, 0, 0, 0, 0, 0};

char gTreefileName[kParamPathSize];

int checkMaxtreesCeiling(uint64_t value)
{
    if (value <= kMaxtreesCeiling)
        return 0;
    return qel_errorMsg(733, "'Maxtrees' may not exceed %u in this implementation.", kMaxtreesCeiling), 1;
}
AgreeSettings agree = {nullptr, 0, 0, 0, 1, 0, 0, nullptr, {}};
TreeGenSettings treeGen = {kDefaultGenTrees, 0, kTreeGenRandom, 1, 0, 0, {}, 0, 0, 0, 0, 0, 0, 0, 0};
LoadConstrSettings ldCnstrOpt = {0, 0};
SaveTreesSettings svtr = {kTreeFmtNexus, 0, 0, 0, 0, kSaveBrlensNo, kSupportBrlens, 6, 0, 0, 0, {}};
MatrixRepSettings mrep = {0, 1, 1};
uint32_t condenseCollapse = 1;
uint8_t condenseDelDupes = 1;
TreeDistSettings tdOpt = {kTreeDistSymDiff, 0, 1, 1, 0, 0, nullptr, {}};
DescribeSettings describe = {0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, nullptr};
char specialFlnam[kParamPathSize];
ConTreeSettings conOpt = {50, 0, kSupportNodeLabels, 1, 0, 0, 0, 0, 0, 1, 0, 1, 0, {}};
FilterSettings fltr = {};
char taxsetTag[kParamStringSize];
SumTreesSettings sumT = {{}, nullptr, nullptr, nullptr, 1};

uint32_t getMaxtreesValue() { return treeInfo.maxtrees; }

namespace {

// The copy of a tree list taken before a command's options are read, so that
// options that fail to parse leave the list as it was.
Set *savedTreeList(const CmdParam *option) { return reinterpret_cast<Set *>(static_cast<uintptr_t>(option->saved.slot)); }
void setSavedTreeList(CmdParam *option, Set *list) { option->saved.slot = reinterpret_cast<uintptr_t>(list); }

}  // namespace

namespace {

// The body of the tree-list options; they differ only in their default (the
// first visible tree, or all of them), which an unset list starts from.
int readOptTreeList(int operation, CmdParam *option, void *place, bool allByDefault)
{
    auto **ref = static_cast<Set **>(option->variable);
    switch (operation) {
    case kParamOpSave:
        deallocSet(savedTreeList(option));
        setSavedTreeList(option, *ref != nullptr ? cloneSet(*ref) : nullptr);
        return *ref != nullptr && savedTreeList(option) == nullptr;
    case kParamOpRestore:
        *ref = deallocSet(*ref);
        if (savedTreeList(option) != nullptr)
            *ref = cloneSet(savedTreeList(option));
        return 0;
    case kParamOpDestroy:
        setSavedTreeList(option, deallocSet(savedTreeList(option)));
        return 0;
    case kParamOpReadValue:
        if (*ref == nullptr && initTreeListSet(ref, nullptr, allByDefault) != 0)
            return 1;
        return getTreeList(*ref, false, true);
    case kParamOpCurValue: {
        const char *text = allByDefault ? "all" : "1";
        if (*ref != nullptr && !isSetEmpty(*ref)) {
            const char *sep = "";
            makeCurDefaultString("%s", "");
            for (uint32_t m = firstSetMember(*ref); m != kSetEnd; m = nextSetMember(*ref)) {
                text = printfToDefaultString("%s%u", sep, m + 1);
                sep = " ";
            }
        }
        if (place != nullptr)
            *static_cast<const char **>(place) = text;
        return 0;
    }
    case kParamOpValueList:
        if (place != nullptr)
            *static_cast<const char **>(place) = "# | all | (#-#) | (# ...)";
        return 0;
    default:
        return 0;
    }
}

}  // namespace

int readOptTreeList1st(int operation, CmdParam *option, void *place)
{
    return readOptTreeList(operation, option, place, false);
}

int readOptTreeListAll(int operation, CmdParam *option, void *place)
{
    return readOptTreeList(operation, option, place, true);
}

int getConstrNameNonp(int operation, CmdParam *, void *place)
{
    // The constraint named is made active; the setting itself is never shown.
    if (operation == kParamOpReadValue) {
        Constraint *c = getConstraintRefFromInput();
        if (!c)
            return 1;
        setActiveConstraint(c);
        return 0;
    }
    if (operation == kParamOpCurValue && place != nullptr)
        *static_cast<const char **>(place) = "(none)";
    return 0;
}

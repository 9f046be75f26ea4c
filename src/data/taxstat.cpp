#include "data/taxstat.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "data/chartaxlist.h"
#include "data/data_services.h"
#include "data/data_util.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_output.h"
#include "qel/qel_strings.h"
#include "cli/qel_cmdoptions.h"

DelRestOptions delRest;
uint8_t gOnly;
uint8_t gDoingOutgroup;
uint8_t fullTstatus;
uint32_t tstatusHideDel;

namespace {

const char *taxaWord(uint32_t n) { return n == 1 ? "taxon" : "taxa"; }
const char *treesWord(uint32_t n) { return n == 1 ? "tree" : "trees"; }

void registerRestoreOptions(CmdParamList *list)
{
    do_Bool_Parm("", "prune", kParamBool, kParamNonpersistent, &delRest.prune, 0, nullptr, nullptr, list);
    do_Bool_Parm("", "clearTrees", kParamBool, kParamNonpersistent, &delRest.clearTrees, 0, nullptr,
                 nullptr, list);
    do_Bool_Parm("", "only", kParamBool, kParamNonpersistent | kParamHidden, &gOnly, 0, nullptr, nullptr,
                 list);
}

// Original number of active taxon t (kSetEnd when there is none).
uint32_t originalOf(const DataInfo *d, uint32_t t)
{
    if (t >= static_cast<uint32_t>(std::max(d->nActive, 0)))
        return kSetEnd;
    return d->taxa.activeToOriginal ? d->taxa.activeToOriginal[t] : t;
}

}  // namespace

uint32_t registerTaxStatusOptions(OptionSet set, CmdParamList *list)
{
    switch (set) {
    case OptionSet::kDelete:
        registerRestoreOptions(list);
        do_Bool_Parm("", "condense", kParamBool, 0, &delRest.condense, 0, nullptr, nullptr, list);
        break;
    case OptionSet::kRestore:
        registerRestoreOptions(list);
        break;
    case OptionSet::kOutgroup:
        do_Bool_Parm("", "only", kParamBool, kParamNonpersistent | kParamHidden, &gOnly, 0, nullptr, nullptr,
                     list);
        break;
    case OptionSet::kTStatus:
        do_Bool_Parm("", "full", kParamBool, 0, &fullTstatus, 0, nullptr, nullptr, list);
        do_Int_Parm("", "deleted", kParamKeyword, 0, &tstatusHideDel, 0, nullptr, "show\0hide\0", list);
        break;
    default:
        return 0;
    }
    return list->failed;
}

// ---------------------------------------------------------------------------
// Maps and queries

void setNtax(DataInfo *d, uint32_t n)
{
    d->nActive = static_cast<int32_t>(std::min<uint32_t>(n, INT32_MAX));
    // Beyond 92681 taxa the pair count no longer fits its u32 field.
    uint64_t pairs = uint64_t{n} * (n ? n - 1 : 0) / 2;
    d->taxa.npairs = static_cast<uint32_t>(std::min<uint64_t>(pairs, UINT32_MAX));
}

bool isDeletedTaxon(uint32_t originalTaxon, const DataInfo *d)
{
    return d->taxa.deleted && isSetMember(d->taxa.deleted, originalTaxon);
}

void initTaxStatus(DataInfo *d)
{
    uint32_t active = 0;
    if (d->taxa.activeToOriginal && d->taxa.originalToActive) {
        for (uint32_t row = 0; row < d->ntax; ++row) {
            d->taxa.originalToActive[row] = active;
            if (!isDeletedTaxon(row, d))
                d->taxa.activeToOriginal[active++] = row;
        }
    } else {
        active = d->ntax;
    }
    setNtax(d, active);
    setTaxLabelFxn(getTaxLabel);
    d->taxa.longestLabel = 0;
    d->taxa.needTaxInit = 0;
}

bool isOutgroupTip(uint32_t activeTaxon, const DataInfo *d)
{
    uint32_t row = originalOf(d, activeTaxon);
    return row != kSetEnd && d->taxa.outgroup && isSetMember(d->taxa.outgroup, row);
}

uint32_t countOutgroupTaxa(const DataInfo *d, bool includeDeleted)
{
    const Set *out = d->taxa.outgroup;
    if (!out)
        return 0;
    if (includeDeleted || !d->taxa.deleted)
        return card(out);
    uint32_t n = 0;
    for (uint32_t t = firstOneBit(out->words, out->nwords); t != kSetEnd; t = followingSetMember(out, t))
        n += !isDeletedTaxon(t, d);
    return n;
}

void checkOutgroupStatus(const Set *treeSet, const DataInfo *d)
{
    if (countOutgroupTaxa(d, false) > 0)
        return;
    const bool anyDeleted = d->taxa.deleted && !isSetEmpty(d->taxa.deleted);
    qel_printf("\nNote: ");
    qel_printf("%s", countOutgroupTaxa(d, true) == 0 ? "No outgroup has been defined"
                                                     : "All outgroup taxa have been deleted");
    qel_printf("; %s (arbitrarily) rooted at first %staxon.\n",
               !treeSet || card(treeSet) < 2 ? "tree is" : "trees are", anyDeleted ? "nondeleted " : "");
}

uint32_t maxTaxLabelOutputLength(const Set *set, bool complement, bool nexusQuote, const DataInfo *d)
{
    uint32_t longest = 0;
    char buffer[256];
    const bool outgroup = set && set == d->taxa.outgroup;
    for (uint32_t row = 0; row < d->ntax; ++row) {
        if (set) {
            bool member = isSetMember(set, row);
            if (complement ? member : !member)
                continue;
            if (!complement && outgroup && isDeletedTaxon(row, d))
                continue;
        }
        const char *label = taxLabelString(d, row);
        if (nexusQuote)
            label = nexusizeString(label, buffer, sizeof buffer);
        longest = std::max(longest, static_cast<uint32_t>(std::strlen(label)));
    }
    return longest;
}

uint32_t longestTaxonLabel(DataInfo *d, uint32_t cap)
{
    if (d->taxa.longestLabel == 0) {
        TaxLabelFxn label = getTaxLabelFxn();
        uint32_t longest = 0;
        for (int32_t t = 0; t < d->nActive; ++t)
            longest = std::max(longest, static_cast<uint32_t>(std::strlen(label(d, static_cast<uint32_t>(t)))));
        d->taxa.longestLabel = longest;
    }
    uint32_t cached = d->taxa.longestLabel;
    return cap == 0 || cap > cached ? cached : cap;
}

void showTaxListByName(const Set *set, const Set *exclude, const DataInfo *d, uint32_t indent)
{
    std::vector<const char *> labels;
    size_t longest = 0;
    for (uint32_t row = 0; row < d->ntax; ++row) {
        if (!isSetMember(set, row) || (exclude && isSetMember(exclude, row)))
            continue;
        labels.push_back(taxLabelString(d, row));
        longest = std::max(longest, std::strlen(labels.back()));
    }
    if (labels.empty())
        return;
    const size_t width = longest + 2;
    const size_t line = getOutputLineLength();
    const size_t columns = std::max<size_t>(1, line > indent ? (line - indent) / width : 1);
    if (labels.size() <= columns) {
        qel_printf("%*s", static_cast<int>(indent), "");
        for (size_t i = 0; i < labels.size(); ++i)
            qel_printf("%s%s", i ? ", " : "", labels[i]);
        qel_printf("\n");
        return;
    }
    size_t column = 0;
    for (size_t i = 0; i < labels.size(); ++i) {
        if (column == 0)
            qel_printf("%*s", static_cast<int>(indent), "");
        const bool last = i + 1 == labels.size();
        if (last) {
            qel_printf("%s\n", labels[i]);
            column = 0;
        } else if (++column == columns) {
            qel_printf("%s,\n", labels[i]);
            column = 0;
        } else {
            qel_printf("%s,%*s", labels[i], static_cast<int>(width - std::strlen(labels[i]) - 1), "");
        }
    }
}

// ---------------------------------------------------------------------------
// Moving taxa

int removeTaxaQuery(uint32_t remaining)
{
    qel_printf("\nTrees in memory will be invalidated by deletion of taxa. Specify one of the following "
               "options:\n   (1) Clear trees from memory\n   (2) Abort taxon deletion");
    if (remaining > 1)
        qel_printf("\n   (3) Prune deleted taxa from trees");
    int choice = getUserResponse("\n(1)> ", "", '1', remaining > 1 ? "123" : "12") + 1;
    if (choice == 1) {
        delRest.clearTrees = 1;
    } else if (choice == 3) {
        delRest.prune = 1;
        delRest.condense = 0;
        if (!dataServices().treeFilterInEffect())
            delRest.condense = userQuery(false, "Condense trees that become identical after pruning?");
    }
    return choice;
}

namespace {

// The trees of the old buffer under a deletion: cleared, pruned into the new
// buffer, or (a refusal) left alone. 0 done, 1 refused or failed, 2 cancelled.
int treesAfterDeletion(TreeBuffer *oldBuffer, DataInfo *d, uint32_t remaining, uint32_t added,
                       uint32_t removed, bool prune, bool clearTrees, bool quiet)
{
    const DataServices &s = dataServices();
    const uint32_t nOld = s.numTreesInBuffer(oldBuffer);
    if (nOld == 0)
        return 0;
    if (s.haveUserBranchLengths() && s.allocBranchLens(d->mainTreeBuffer) != 0)
        return 1;
    bool condense = delRest.condense;
    if (prune && clearTrees)
        return qel_errorMsg(750, "The options PRUNE and CLEAR are incompatible."), 1;
    if (prune && condense && s.treeFilterInEffect())
        return qel_errorMsg(744, "Condensing of trees that become identical after taxon deletion is not "
                                 "allowed while a filter is in effect."),
               1;
    if (prune && remaining < 2)
        return qel_errorMsg(751, "Pruning of deleted taxa is not allowed when fewer than two taxa remain "
                                 "undeleted."),
               1;
    if (removed > 0) {
        if (!clearTrees &&
            !userQuery(true, "Trees in memory will be lost if taxa are restored. Do you want to proceed anyway?"))
            return 1;
        clearTrees = true;
        prune = false;
    } else if (!clearTrees && !prune) {
        int choice = removeTaxaQuery(remaining);
        if (choice == 2) {
            if (!quiet)
                qel_printf("\nNo taxa deleted.\n");
            return 2;
        }
        prune = delRest.prune;
        clearTrees = delRest.clearTrees;
        condense = delRest.condense;
    }
    if (clearTrees) {
        s.clearTrees(0, 0);
        qel_printf("\nAll trees cleared from memory.\n");
        return 0;
    }
    if (!prune)
        return 1;
    s.disposeSupportValues(oldBuffer);
    s.setStatusText("Pruning taxa from trees...");
    uint32_t stored = 0, dropped = 0, duplicates = 0;
    for (uint32_t i = 0; i < nOld; ++i) {
        int r = s.pruneTree(oldBuffer, i, d, condense);
        if (r < 0) {
            s.clearStatusText();
            return 1;
        }
        stored += r == 1;
        dropped += r == 0;
        duplicates += r == 2;
    }
    if (stored < nOld)
        s.deleteTreeSets(1);
    qel_printf("\n");
    if (dropped)
        qel_printf("%u %s deleted due to having too few remaining taxa.\n", dropped, treesWord(dropped));
    if (stored) {
        qel_printf("%u %s pruned from all%s trees in memory.\n", added, taxaWord(added), dropped ? " other" : "");
        if (condense)
            qel_printf("%u %s discarded due to redundancy after pruning taxa.\n", duplicates,
                       treesWord(duplicates));
    } else {
        qel_printf("No trees remain.\n");
    }
    s.clearStatusText();
    return 0;
}

}  // namespace

int finishTaxMove(const Set *oldSet, Set *newSet, DataInfo *d, bool prune, bool clearTrees, bool outgroupMode,
                  bool adding, bool removing, bool reportNoChange, bool quiet)
{
    uint32_t removed, added, oldTotal;
    if (countMovedItems(oldSet, newSet, &removed, &added, &oldTotal) != 0)
        return 1;
    const uint32_t total = card(newSet);
    const bool listOnly = gOnly != 0;
    if (added == 0 && removed == 0) {
        if (reportNoChange)
            qel_printf(outgroupMode ? "\nNote: Outgroup status not changed by Outgroup or Ingroup command.\n"
                                    : "\nNote: \bNo (additional) taxa deleted or restored in response to "
                                      "Delete or Undelete (Restore) command.\n");
        return 0;
    }
    const DataServices &s = dataServices();
    if (outgroupMode) {
        qel_printf("\nOutgroup status changed:\n");
        if (added || adding)
            qel_printf("  %u %s transferred to outgroup\n", added, taxaWord(added));
        if (removed || (removing && !listOnly))
            qel_printf("  %u %s transferred to ingroup\n", removed, taxaWord(removed));
        qel_printf("  Total number of taxa now in outgroup = %u\n", total);
        qel_printf("  Number of ingroup taxa = %u\n", d->ntax - total);
        s.forgetLastTreeOptimized();
        return 0;
    }
    const uint32_t remaining = d->ntax - total;
    TreeBuffer *oldBuffer = d->mainTreeBuffer;
    DataInfo *previousActive = setActiveDataInfo(d);
    d->mainTreeBuffer = nullptr;
    if (s.allocMainTreeBuffer(remaining, s.getTreeBufferCapacity(oldBuffer), s.haveTreeWeights(oldBuffer)) != 0) {
        s.destroyTreeBuffer(d->mainTreeBuffer);
        d->mainTreeBuffer = oldBuffer;
        setActiveDataInfo(previousActive);
        return 1;
    }
    setActiveDataInfo(previousActive);
    int r = treesAfterDeletion(oldBuffer, d, remaining, added, removed, prune, clearTrees, quiet);
    if (r != 0) {
        // A refusal leaves the trees exactly as they were.
        s.destroyTreeBuffer(d->mainTreeBuffer);
        d->mainTreeBuffer = oldBuffer;
        return r;
    }
    s.deallocDistanceStorage(0);
    forceTaxaInitialization(d);
    initCharInclusionFlags(d);
    initTaxStatus(d);
    updateStdCharsets(d);
    s.deallocSpecialTreeData();
    int status = s.replacePrimaryTree() != 0 ? 1 : 0;
    if (status == 0) {
        qel_printf("\nTaxon-deletion status changed:\n");
        if (added || adding)
            qel_printf("  %u %s deleted\n", added, taxaWord(added));
        if (removed || (removing && !listOnly))
            qel_printf("  %u %s restored\n", removed, taxaWord(removed));
        qel_printf("  Total number of taxa now deleted = %u\n", total);
        qel_printf("  Number of nondeleted taxa = %u\n", remaining);
    }
    s.forgetLastTreeOptimized();
    s.destroyTreeBuffer(oldBuffer);
    return status;
}

int deleteTax(bool adding, bool outgroupMode)
{
    DataInfo *d = activeDataInfo();
    if (!d || !d->taxa.workTaxa || !d->taxa.deleted || !d->taxa.outgroup)
        return 1;
    Set *list = d->taxa.workTaxa;
    if (readTaxaList(d, ";/,", list, nullptr) != 0)
        return 1;
    gOnly = 0;
    delRest.prune = delRest.clearTrees = 0;
    gDoingOutgroup = outgroupMode;
    Set *target = outgroupMode ? d->taxa.outgroup : d->taxa.deleted;
    Set *saved = cloneSet(target);
    if (!saved)
        return 1;
    const OptionSet set = outgroupMode ? OptionSet::kOutgroup
                          : adding     ? OptionSet::kDelete
                                       : OptionSet::kRestore;
    if (getCmdParams(set, ";", nullptr) <= 0) {
        deallocSet(saved);
        return 1;
    }
    if (adding) {
        if (gOnly)
            copySet(list, target);
        else
            setUnion(target, list, target);
    } else if (gOnly) {
        setComplement(list, target);
    } else {
        setSubtract(target, list, target);
    }
    // Nothing could be analysed or shown without a single taxon; the tree
    // buffer cannot even be made for none.
    if (!outgroupMode && card(target) >= d->ntax) {
        copySet(saved, target);
        deallocSet(saved);
        return qel_errorMsg(0, "Deleting all taxa is not allowed.\tAt least one taxon must remain undeleted.");
    }
    int r = finishTaxMove(saved, target, d, delRest.prune, delRest.clearTrees, outgroupMode, adding, !adding,
                          false, false);
    if (r != 0)
        copySet(saved, target);
    deallocSet(saved);
    return r;
}

int doDeleteCmd() { return deleteTax(true, false); }
int doRestoreCmd() { return deleteTax(false, false); }
int doOutgroupCmd() { return deleteTax(true, true); }
int doIngroupCmd() { return deleteTax(false, true); }

int doTStatusCmd()
{
    if (setCmdParamVals(OptionSet::kTStatus) != 0)
        return 1;
    DataInfo *d = activeDataInfo();
    if (!d || !d->taxa.deleted || !d->taxa.outgroup)
        return 1;
    if (d->taxa.needTaxInit)
        initTaxStatus(d);
    const bool full = fullTstatus != 0;
    const uint32_t nDeleted = card(d->taxa.deleted);
    qel_printf("\nTaxon-status summary:\n");
    qel_printf("   Original data matrix contains %u taxa\n", d->ntax);
    if (nDeleted) {
        if (full) {
            qel_printf("   %u taxa have been deleted\n", nDeleted);
        } else {
            if (nDeleted == 1)
                qel_printf("   The following taxon has been deleted:\n");
            else
                qel_printf("   The following %u taxa have been deleted:\n", nDeleted);
            showTaxListByName(d->taxa.deleted, nullptr, d, 6);
        }
        qel_printf("   Number of nondeleted taxa = %d\n", d->nActive);
    } else {
        qel_printf("   No taxa have been deleted\n");
    }
    const uint32_t outAll = countOutgroupTaxa(d, true), outLive = countOutgroupTaxa(d, false);
    if (outAll) {
        if (full) {
            qel_printf("   Number of (nondeleted) outgroup taxa = %u\n", outLive);
        } else {
            qel_printf("   Designated outgroup taxa:\n");
            showTaxListByName(d->taxa.outgroup, d->taxa.deleted, d, 6);
            if (outAll > outLive)
                qel_printf("      \bOutgroup %scontains %u deleted %s\n", outLive ? "also " : "", outAll - outLive,
                           taxaWord(outAll - outLive));
        }
    }
    if (outLive == 0) {
        qel_printf("   No \b%staxa have been assigned to the outgroup: outgroup defaults to first %staxon (%s)\n",
                   outAll && !full ? "nondeleted " : "", nDeleted && !full ? "nondeleted " : "",
                   getTaxLabel(d, 0));
    }
    if (full) {
        const int numWidth = static_cast<int>(numDigits(d->ntax));
        const int labelWidth = static_cast<int>(std::max<uint32_t>(maxTaxLabelOutputLength(nullptr, false, false, d), 10));
        qel_printf("\nCurrent status of all taxa:\n");
        qel_printf("\n%*s %-*s  Status\n", numWidth, "", labelWidth, "Taxon");
        for (uint32_t row = 0; row < d->ntax && !gAborted_.load(); ++row) {
            const bool del = isDeletedTaxon(row, d), out = isSetMember(d->taxa.outgroup, row);
            if (del && tstatusHideDel)
                continue;
            const char *status = del ? (out ? "DO" : "D") : (out ? " O" : "-");
            qel_printf("%*u %-*s  %s", numWidth, row + 1, labelWidth, taxLabelString(d, row), status);
            qel_printf("\n");
        }
    }
    return 0;
}

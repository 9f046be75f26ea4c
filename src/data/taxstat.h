// Taxon status: the deleted and outgroup sets, the maps between original and
// active taxon numbers, the Delete, Undelete (Restore), Outgroup, Ingroup and
// TStatus commands, and the taxon-label widths the printers use.
#pragma once

#include <cstdint>

#include "cli/option_sets.h"
#include "data/vorn_data.h"

struct CmdParamList;

// Options of the deletion commands.
struct DelRestOptions {
    uint8_t prune;
    uint8_t clearTrees;
    uint8_t condense;
    uint8_t pruneOffered;
    uint8_t condenseOffered;
};
extern DelRestOptions delRest;
extern uint8_t gOnly;
extern uint8_t gDoingOutgroup;
extern uint8_t fullTstatus;
extern uint32_t tstatusHideDel;  // keyword position: 0 show, 1 hide

// Registers the options of the Delete, Restore, Outgroup and TStatus sets;
// returns the list's failure mark, 0 for another set.
uint32_t registerTaxStatusOptions(OptionSet set, CmdParamList *list);

// ---- Maps and queries --------------------------------------------------------

void setNtax(DataInfo *d, uint32_t n);
// Rebuilds both taxon maps from the deleted set, sets the active count,
// installs getTaxLabel and clears the label cache and the init flag.
void initTaxStatus(DataInfo *d);
bool isDeletedTaxon(uint32_t originalTaxon, const DataInfo *d);
bool isOutgroupTip(uint32_t activeTaxon, const DataInfo *d);
uint32_t countOutgroupTaxa(const DataInfo *d, bool includeDeleted);
void checkOutgroupStatus(const Set *treeSet, const DataInfo *d);

uint32_t maxTaxLabelOutputLength(const Set *set, bool complement, bool nexusQuote, const DataInfo *d);
uint32_t longestTaxonLabel(DataInfo *d, uint32_t cap);
void showTaxListByName(const Set *set, const Set *exclude, const DataInfo *d, uint32_t indent);

// ---- Commands ------------------------------------------------------------------

// 0, 1 (error) or 2 (cancelled). oldSet is the target set before the change;
// newSet is the live target set (the outgroup or the deleted set).
int finishTaxMove(const Set *oldSet, Set *newSet, DataInfo *d, bool prune, bool clearTrees,
                  bool outgroupMode, bool adding, bool removing, bool reportNoChange, bool quiet);
int deleteTax(bool adding, bool outgroupMode);
// 1 clear trees, 2 abort, 3 prune (sets delRest.condense from its question).
int removeTaxaQuery(uint32_t remaining);

int doDeleteCmd();
int doRestoreCmd();
int doOutgroupCmd();
int doIngroupCmd();
int doTStatusCmd();

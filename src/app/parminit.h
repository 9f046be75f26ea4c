// The option table: every option of every command, registered set by set
// into a CmdParamList. This unit holds the general settings and the small
// shared sets; the sets of the data, tree, parsimony, distance, likelihood
// and quartet commands are registered by their own traversal functions.
#pragma once

#include <cstdint>

#include "cli/option_registry.h"
#include "cli/qel_cmdoptions.h"
#include "data/parminit_data.h"

// Registers option set `set` (OptionSet::kAll: every registration of the
// table once, with no nested inclusion) into `list`; returns the list's
// failure mark.
uint32_t traverseCmdParamList(OptionSet set, CmdParamList *list);

// The traversals of the other option groups. Each registers the sets it owns
// (all of them for OptionSet::kAll) and nothing for any other set; a set
// nested in one of them is included by calling traverseCmdParamList(K, list)
// unless `set` is OptionSet::kAll.
uint32_t traverseTreeOptionSets(OptionSet set, CmdParamList *list);
uint32_t traverseParsOptionSets(OptionSet set, CmdParamList *list);
uint32_t traverseDistOptionSets(OptionSet set, CmdParamList *list);
uint32_t traverseLikOptionSets(OptionSet set, CmdParamList *list);
uint32_t traverseQuartetOptionSets(OptionSet set, CmdParamList *list);

// Options of the general sets that bind the parsimony settings record are
// registered by the parsimony option group at these points.
enum class ParsSharedOptions : uint32_t {
    kCollapse,       // "collapse" of the multiple-trees set
    kMsTaxaAndOpt,   // "msTaxa", "opt" of Set
    kStepMatrix      // "stepMatrix" of Set
};
void registerParsSharedOptions(ParsSharedOptions which, CmdParamList *list);
// The same for the parsimony options of the data commands; installed as the
// data layer's registrar.
void registerDataParsOptions(DataParsOptions which, CmdParamList *list);

// Readers and callbacks of the general sets that belong to units linked in
// above the option table. Until one is installed its custom option refuses
// every value and its callback does nothing.
struct GeneralOptionHandlers {
    CmdParamFxn getConstrName;            // "constraints"
    CmdParamFxn getAncStParm;             // "ancStates"
    CmdParamChangeFxn handleMaxtreesChg;  // "maxtrees"
    CmdParamChangeFxn storeBrlensParm;    // "storeBrLens"
    CmdParamChangeFxn storeTreeWtsParm;   // "storeTreeWts"
};
void setGeneralOptionHandlers(const GeneralOptionHandlers &handlers);

// Installs the option table and the factory-reset services (a failed factory
// reset ends the program with status 8 through exitProgram, which may be null
// for std::exit). Start-up then gives every option its factory value itself.
void installVornOptions(void (*exitProgram)(int status));
// installVornOptions followed by the factory values, for callers that run
// no start-up of their own.
void initVornOptions(void (*exitProgram)(int status));

// The option table: every option of every command, registered set by set
// into a CmdParamList. This unit holds the general settings and the small
// shared sets; the sets of the data, tree, parsimony, distance, likelihood
// and quartet commands are registered by their own traversal functions.
#pragma once

#include <cstdint>

#include "cli/qel_cmdoptions.h"

// Registers option set `set` (0: every registration of the table once, with
// no nested inclusion) into `list`; returns the list's failure mark.
uint32_t traverseCmdParamList(uint32_t set, CmdParamList *list);

// The traversals of the other option groups. Each registers the sets it owns
// (all of them for set 0) and nothing for any other set; a set nested in one
// of them is included by calling traverseCmdParamList(K, list) unless `set`
// is 0.
uint32_t traverseDataOptionSets(uint32_t set, CmdParamList *list);
uint32_t traverseTreeOptionSets(uint32_t set, CmdParamList *list);
uint32_t traverseParsOptionSets(uint32_t set, CmdParamList *list);
uint32_t traverseDistOptionSets(uint32_t set, CmdParamList *list);
uint32_t traverseLikOptionSets(uint32_t set, CmdParamList *list);
uint32_t traverseQuartetOptionSets(uint32_t set, CmdParamList *list);

// Options of the general sets that bind the parsimony settings record are
// registered by the parsimony option group at these points.
enum class ParsSharedOptions : uint32_t {
    kCollapse,       // "collapse" of the multiple-trees set
    kMsTaxaAndOpt,   // "msTaxa", "opt" of Set
    kStepMatrix      // "stepMatrix" of Set
};
void registerParsSharedOptions(ParsSharedOptions which, CmdParamList *list);

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

// Numbers of the option sets of the shell's own commands.
inline constexpr uint32_t kSetOptionSet = 23;
inline constexpr uint32_t kLogOptionSet = 31;
inline constexpr uint32_t kQuitOptionSet = 99;
inline constexpr uint32_t kPsetOptionSet = 81;

// What the traversal functions of the option groups share.
namespace optreg {

inline constexpr uint32_t kOnOff = kParamBool;
inline constexpr uint32_t kFactory = kParamHasFactory;
inline constexpr uint32_t kHiddenFactory = kParamHidden | kParamHasFactory;
// Seeds and switches whose factory reset is recorded without a factory text.
inline constexpr uint32_t kFactoryNoText = kParamHasFactory | kParamNoFactoryText;
// Set only through another option or by the program: never typed, hidden,
// with a factory value.
inline constexpr uint32_t kDerived = kParamNotInput | kParamHidden | kParamHasFactory;
// Taken for one command only; not kept as the next command's default.
inline constexpr uint32_t kOnce = kParamNonpersistent;
inline constexpr uint32_t kNoShow = kParamShowNone;
inline constexpr int32_t kIntMax = INT32_MAX;

// Runs `set` nested inside the set being built; set 0 registers each set once
// by itself, so it never nests.
inline void include(uint32_t building, uint32_t set, CmdParamList *list)
{
    if (building != 0)
        traverseCmdParamList(set, list);
}

inline bool runs(uint32_t building, uint32_t set) { return building == set || building == 0; }

// Options keep some unsigned fields; the table writes them as signed integers.
inline int32_t *i32Of(uint32_t &value) { return reinterpret_cast<int32_t *>(&value); }

// A custom option whose owner (the constraint store, a tree list) is not
// linked in: it reads the value and refuses it, so that nothing pretends to
// have taken it.
int refuseOptionValue(int operation, CmdParam *option, void *place);

}  // namespace optreg

// Installs the option table and the factory-reset services (a failed factory
// reset ends the program with status 8 through exitProgram, which may be null
// for std::exit). Start-up then gives every option its factory value itself.
void installVornOptions(void (*exitProgram)(int status));
// installVornOptions followed by the factory values, for callers that run
// no start-up of their own.
void initVornOptions(void (*exitProgram)(int status));

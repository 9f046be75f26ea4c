// Named sets: taxon, character, type, weight, exclusion and rate sets,
// ancestral-state vectors and the three kinds of partition, held in one
// global store with its built-in sets, its lists and its current selections.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <span>

#include "data/vorn_data.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_setptn.h"
#include "qel/qel_sets.h"

// Kinds of named set.
inline constexpr uint32_t kNexTaxset = 0;
inline constexpr uint32_t kNexCharset = 1;
inline constexpr uint32_t kNexTypeset = 2;
inline constexpr uint32_t kNexWtset = 3;
inline constexpr uint32_t kNexExset = 4;
inline constexpr uint32_t kNexRateset = 5;
inline constexpr uint32_t kNexAncstates = 6;
inline constexpr uint32_t kNexTaxPartition = 7;
inline constexpr uint32_t kNexCharPartition = 8;
inline constexpr uint32_t kNexModelPartition = 9;

inline constexpr uint32_t kNexsetNameSize = 128;  // 127 characters and the NUL

struct Nexset {
    void *payload;  // Set, SetPtn or an array, by kind
    union {
        uint32_t *typeCodes;  // typeset: one code per character
        uint8_t codonFlag;    // character partition: defined by CodonPosSet
    } second;
    char name[kNexsetNameSize];
    uint32_t type;
    Nexset *next;
};

// The built-ins, in the order the store holds them.
enum NexsetBuiltin : uint32_t {
    kBuiltinAllUnord,
    kBuiltinAllOrd,
    kBuiltinStandard,
    kBuiltinEqualWts,
    kBuiltinAllIncl,
    kBuiltinInfOnly,
    kBuiltinGapped,
    kBuiltinMissAmbig,
    kBuiltinConstant,
    kBuiltinUninf,
    kBuiltinAllMissing,
    kNumBuiltinNexsets
};

struct NexsetStore {
    Nexset builtins[kNumBuiltinNexsets];
    Nexset *charsets;
    Nexset *taxsets;
    Nexset *charPartitions;
    Nexset *taxPartitions;
    Nexset *typesets;
    Nexset *wtsets;
    Nexset *exsets;
    Nexset *ratesets;
    Nexset *ancstates;
    Nexset *modelPartitions;
    Nexset *curTypeset;
    Nexset *curCodonPtn;
    Nexset *curWtset;
    Nexset *curExset;
    Nexset *curAncestor;
};
extern NexsetStore gNexsets;

struct StdType {
    const char *name;
    uint32_t code;
};
inline constexpr StdType stdTypes[9] = {
    {"ord", 1},     {"unord", 2},    {"Dollo.up", 8}, {"Dollo.dn", 0x28}, {"irrev.up", 4},
    {"irrev.dn", 0x24}, {"Wagner", 1}, {"Dollo", 8},  {"irrev", 4},
};

// ---- The store --------------------------------------------------------------

// Empties the store and links the eleven built-ins for data set d: the
// current typeset "AllUnord", wtset "EqualWts", exset "AllIncl", ancestor
// "standard". 1 on memory failure (the store is then empty).
int initializeAssumpSets(DataInfo *d);
// Destroys every user record, frees the sets the built-in charsets own,
// clears the lists and resets the current selections to the built-ins.
void deallocAssumpSets();
// The current ancestral-state vector (null when the store is empty).
const uint8_t *currentAncestralStates(const DataInfo *d);
// Makes ns the current ancestor. A different ancestor re-derives the
// constant and uninformative bits (a character whose every taxon holds one
// state is constant only when the ancestor holds it too) and the packed data.
void selectAncestor(Nexset *ns);

// ---- Records ---------------------------------------------------------------

// Sized for the active data set. Null on memory failure, and (after an error
// report) for a name of more than 127 characters.
Nexset *createNexset(const char *name, uint32_t type);
// Both tell what names the freed record (nexsetReplaced below): destroyNexset
// that it is gone, replaceNexset that ns, already linked in its place,
// replaces old.
Nexset *destroyNexset(Nexset *ns, uint32_t type);
void replaceNexset(Nexset *old, Nexset *ns, uint32_t type);
void destroyAllNexsets(Nexset *first, uint32_t type);
Nexset *nextNexset(const Nexset *ns);
void setNextNexset(Nexset *ns, Nexset *next);
const char *getNexsetName(const Nexset *ns);
// 1 (nothing copied) for a name of more than 127 characters.
int setNexsetName(Nexset *ns, const char *name);
Set *getNexsetSet(const Nexset *ns);
void setNexsetSet(Nexset *ns, Set *set);
uint32_t getTypesetType(const Nexset *ns, uint32_t i, UserType **userType);
void setTypesetType(Nexset *ns, uint32_t i, uint32_t code, UserType *userType);
void setUsertypeArray(Nexset *ns, UserType **array);
void setAncstatesArray(Nexset *ns, uint8_t *array);
double *getWtsetArray(const Nexset *ns);
double *getRatesetArray(const Nexset *ns);
SetPtn *getNexPtn(const Nexset *ns);
void setCharPtnCodon(Nexset *ns, uint8_t flag);
PtnSubset **getNexPtnSubsetsInfo(const Nexset *ns);
uint32_t numNexPtnSubsets(const Nexset *ns);

// ---- Settings that name a set ---------------------------------------------
// Settings all over the program hold records of the store, and a record is
// freed when its name is defined again (the new record takes its place) or
// when the store is cleared (another data set, a failed ASSUMPTIONS block).
// destroyNexset and replaceNexset call nexsetReplaced first, with the new
// record or null: the store keeps its own selections and the stored
// models right, every registered slot follows the new record (or is cleared,
// with a warning when it names one), and every watcher is told, for
// settings that are not a fixed slot or must do more than follow.

using NexsetWatcher = void (*)(const Nexset *old, Nexset *replacement);
// Registering the same slot or watcher again changes nothing. setting is
// the text the warning gives for a cleared slot ("LSet siteRates"); null
// clears it quietly (an option that holds a set only while its command runs).
void watchNexsetSlot(Nexset **slot, const char *setting);
void unwatchNexsetSlot(Nexset **slot);
void addNexsetWatcher(NexsetWatcher watcher);
void removeNexsetWatcher(NexsetWatcher watcher);
void nexsetReplaced(const Nexset *old, Nexset *replacement);

enum class NexsetRefChange { kNone, kFollowed, kDropped };
// For watchers: a slot holding old takes replacement (null when gone).
NexsetRefChange updateNexsetRef(Nexset **slot, const Nexset *old, Nexset *replacement);
// Warning: the set old no longer exists and `setting` was reset to none.
void warnNexsetRefDropped(const Nexset *old, const char *setting);

// ---- Lists -----------------------------------------------------------------

Nexset *firstCharacterSet();
Nexset *firstTaxonSet();
Nexset *firstCharPartition();
Nexset *firstTaxPartition();
Nexset *findMatchingNexset(const char *name, Nexset *first);
Nexset *findMatchingTaxonSet(const char *name);
Nexset *findMatchingCharPartition(const char *name);
Nexset *findMatchingTaxPartition(const char *name);
Nexset *findListLoc(Nexset *head, Nexset *first, const char *name, Nexset **found);
void updateNexsetList(Nexset *ns, Nexset *prev, Nexset *old, Nexset **listHead);
// Installs a taxset, charset or partition, replacing a record of the same
// name in its place; announces the redefinition when asked. 1 for a kind
// that is not installed this way.
int installNexSet(Nexset *ns, uint32_t type, const char *label, bool announce);

// ---- Reading names --------------------------------------------------------

int whichNexusObject(Nexset *first, const char *label, Nexset **result, bool mustEnd);
int readPartitionName(Nexset *first, int kind, bool noneAllowed, Nexset **result);
Set *findMatchingPtnSubset(const char *token, Nexset *firstPartition);

// ---- Option callbacks ------------------------------------------------------
// Operation codes as for every function option: 1 read, 2 current value,
// 7 changed, 8 save, 9 restore. The option's variable is a Nexset *.

struct CmdParam;
int handlePtnName(int op, CmdParam *param, void *place, Nexset *first, int kind, bool noneAllowed);
int handleCharPtnName(int op, CmdParam *param, void *place);
int handleCharPtnNameOrNone(int op, CmdParam *param, void *place);
// "ancStates": selects the current ancestor of the store.
int getAncStParm(int op, CmdParam *param, void *place);

// ---- Partition services ---------------------------------------------------

// 0 when every included nucleotide-compatible character is in a subset;
// warns about subsets holding excluded characters. exclusions null: the
// data set's own. needed, when given, names the characters that must be in
// a subset (others may be left out).
int checkCharPartition(const DataInfo *d, const Nexset *partition, const Set *exclusions,
                       const std::function<bool(uint32_t)> &needed = {});

// A character as messages name it: its number, and its label in
// parentheses when it has one ("3 (three)").
std::string charLabelOut(const DataInfo *d, uint32_t c);
uint32_t maxPtnSubsetNameLen(const SetPtn *ptn, bool quoted);
// A new array (free with deallocArray) of the subsets holding an included
// character; null with count 0 for a null partition or no such subset.
uint32_t *getIncludedPtnSubsets(const SetPtn *ptn, const DataInfo *d, uint32_t *count);
// Lists the characters of each subset of a character partition (those
// numbered in `subsets`, or all of them) under the heading "subset
// characters", the names right-aligned in a column `width` wide.
void showCharPtnSubsetMembership(const DataInfo *d, const Nexset *partition, int width,
                                 std::span<const uint32_t> subsets = {});

// ---- Growth ---------------------------------------------------------------

int expandTypeset(Nexset *ns, uint32_t oldN, uint32_t newN);
int expandWtset(Nexset *ns, uint32_t oldN, uint32_t newN);
int expandRateset(Nexset *ns, uint32_t oldN, uint32_t newN);
int expandAncStates(Nexset *ns, uint32_t oldN, uint32_t newN, uint8_t missing);
int expandPartition(Nexset *ns, uint32_t newN);

// ---- NEXUS list writers -----------------------------------------------------

using LineEmitFxn = PrintHook;
// Appends the members of a set as a NEXUS list at cursor; lineStart is the
// start of the line buffer, which must hold width + 32 characters. Returns
// the new end of the text.
char *putNexusList(const Set *set, char *cursor, char *lineStart, LineEmitFxn emit, uint32_t width,
                   uint32_t indent);
void putTaxList(const Set *set, const char *prefix, const DataInfo *d, LineEmitFxn emit);

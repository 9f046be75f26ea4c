// Option records and option parsing: the CmdParam record that an option
// declaration becomes, the lists of one option set, getCmdParams (the one
// parser of "keyword[=value]" options for every command), the "?" listings,
// and the Defaults, Factory and Reset machinery.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "cli/option_sets.h"

// ---- Types and flags ----------------------------------------------------------
// The type sits in the low five bits of CmdParam::typeFlags, the flags above.

inline constexpr uint32_t kParamTypeMask = 0x1F;
inline constexpr uint32_t kParamBool = 0;          // u8 0/1: "kw", "nokw", "kw=yes|on|no|off"
inline constexpr uint32_t kParamBoolKeyword = 1;   // u8 chosen from a two-entry keyword list
inline constexpr uint32_t kParamInt = 2;           // i32
// i32; every keyword of the list stores 0, the first being the one shown.
// The list ends with an empty keyword, as the other keyword lists do: a
// single label is written "none\0".
inline constexpr uint32_t kParamIntOrLabel = 3;
inline constexpr uint32_t kParamIntOrNo = 4;       // i32; "no" stores 0, "kw" alone stores 1
inline constexpr uint32_t kParamReal = 5;          // double
inline constexpr uint32_t kParamRealOrNo = 6;      // double; "no" stores 0.0
inline constexpr uint32_t kParamChar = 7;          // one character in an i32
inline constexpr uint32_t kParamString = 8;        // text in a kParamStringSize buffer
inline constexpr uint32_t kParamFxn = 9;           // handled by its parse function
inline constexpr uint32_t kParamFilename = 10;     // path in a kParamPathSize buffer
inline constexpr uint32_t kParamSeed = 11;         // four u32: "n" or "a:b:c:d"
inline constexpr uint32_t kParamKeyword = 12;      // u32 position in the keyword list
inline constexpr uint32_t kParamKeywordOff = 13;   // as 12; the first entry means off
inline constexpr uint32_t kParamSlot = 14;         // 8-byte value, saved and restored only
inline constexpr uint32_t kParamHeading = 15;      // a section heading of the listing

inline constexpr uint32_t kParamNonpersistent = 0x80;
inline constexpr uint32_t kParamShowNone = 0x100;     // current value always "(none)"
inline constexpr uint32_t kParamHidden = 0x200;       // accepted, never listed
inline constexpr uint32_t kParamHasFactory = 0x400;
inline constexpr uint32_t kParamNoFactoryText = 0x800;  // with 0x400: factory text is empty
inline constexpr uint32_t kParamNotInput = 0x1000;    // listed, not accepted on input
// The record carries a range (minValue..maxValue) that integer values must
// respect; options that size loops, buffers or formats are declared with one.
inline constexpr uint32_t kParamRanged = 0x2000;
// A nonpersistent option whose owner sets it up itself before each reading
// of its options (from the data being read, or the state it mirrors): the
// parser leaves it as the owner put it instead of resetting it.
inline constexpr uint32_t kParamOwnerPresets = 0x4000;

inline constexpr size_t kParamStringSize = 256;  // buffer of a text option (255 characters)
inline constexpr size_t kParamPathSize = 4096;   // buffer of a file-name option
inline constexpr size_t kMaxKeywordChars = 15;
inline constexpr size_t kMaxValueChars = 4095;

// A keyword-list entry that starts with this byte is followed by a byte
// holding a value plus one (so that 0 can be stored): an unlisted alias that
// stores that value.
inline constexpr char kKeywordAliasMark = '\x08';

// Operation codes of function options.
enum : int {
    kParamOpKeyword = 0,     // keyword read; -1: consumed everything itself, other nonzero: error
    kParamOpReadValue = 1,   // read the value after "="; 0 success
    kParamOpCurValue = 2,    // *(const char **)place = current value text
    kParamOpFactory = 3,     // set the factory value
    kParamOpValueList = 4,   // *(const char **)place = value-list text for listings
    kParamOpInit = 5,        // list built; nonzero fails the list
    kParamOpDestroy = 6,     // list freed
    kParamOpChanged = 7,     // nonzero when the value differs from the saved one
    kParamOpSave = 8,
    kParamOpRestore = 9,
    kParamOpEchoChanged = 10  // print " keyword=value" when changed
};

struct CmdParam;
using CmdParamFxn = int (*)(int operation, CmdParam *option, void *place);
// Returns 0 to accept the command's options, nonzero to reject them.
using CmdParamChangeFxn = int (*)(CmdParam *option);

union CmdParamValue {
    uint8_t b;
    int32_t i;
    uint32_t u;
    double d;
    uint32_t seed[4];
    uint64_t slot;
};

struct CmdParam {
    const char *name;
    const char *category;
    uint32_t typeFlags;
    void *variable;
    CmdParamFxn parseFxn;
    const char *keywords;  // keyword list; label for types 3, 8, 10; value-list text for 9
    CmdParamChangeFxn changeFxn;
    uint32_t valueSize;    // bytes restored by a factory reset; 0: no factory value
    CmdParamValue saved;
    char *savedText;       // types 8 and 10: the saved text (257 or 4096 bytes)
    CmdParamValue factory;  // nonpersistent scalars without one: the declared one-run start value
    char *factoryText;     // type 8: the factory text (257 bytes)
    int32_t minValue;      // with kParamRanged
    int32_t maxValue;
    // The name the option is known by where a longer name has a common
    // short form ("SH" for "SHTest"); typed whole, it selects the option as
    // its full name does, however many other names it begins.
    const char *shortName;
};

struct CmdParamList {
    CmdParam *params;
    uint32_t count;     // records filled
    uint32_t total;     // records counted
    uint8_t failed;     // an append failed: no more appends, the list is discarded
    uint8_t counting;   // counting pass
    uint8_t lookup;     // lookup pass: find the name bound to lookFor
    const void *lookFor;
    const char *foundName;
};

inline uint32_t cmdParamType(const CmdParam *p) { return p->typeFlags & kParamTypeMask; }
// Bytes that one value of a scalar option type occupies in its variable; 0
// for the string types and the others.
size_t cmdParamScalarSize(uint32_t type);

// ---- The option table ----------------------------------------------------------
// The option table registers the options of one option set into a list
// through the do_*_Parm routines below; it returns the list's failure mark.
// It is installed by the application; none installed means no set has options.
using CmdParamTraverser = uint32_t (*)(OptionSet set, CmdParamList *list);
CmdParamTraverser setCmdParamTraverser(CmdParamTraverser traverser);  // returns the previous one
// Runs the installed traversal for `set` into `list` (nothing without one):
// how one option set includes another that a different layer registers.
void traverseCmdParamSet(OptionSet set, CmdParamList *list);

// Registration routines (argument order as in the option table); `type` is
// the type code, `flags` the flag bits.
void do_Gen_Parm(const char *category, const char *name, uint32_t type, uint32_t flags,
                 void *variable, const void *defaultValue, uint32_t valueSize,
                 CmdParamChangeFxn change, const char *keywords, CmdParamList *list);
void do_Bool_Parm(const char *category, const char *name, uint32_t type, uint32_t flags,
                  uint8_t *variable, uint32_t defaultValue, CmdParamChangeFxn change,
                  const char *keywords, CmdParamList *list);
void do_Int_Parm(const char *category, const char *name, uint32_t type, uint32_t flags,
                 void *variable, uint32_t defaultValue, CmdParamChangeFxn change,
                 const char *keywords, CmdParamList *list);
// An integer option (types 2, 3, 4) whose values must lie in min..max (the 0
// of "no" or of the label is always accepted for types 3 and 4).
void do_IntRange_Parm(const char *category, const char *name, uint32_t type, uint32_t flags,
                      int32_t *variable, int32_t defaultValue, int32_t minValue,
                      int32_t maxValue, CmdParamChangeFxn change, const char *label,
                      CmdParamList *list);
void do_Flt_Parm(const char *category, const char *name, uint32_t type, uint32_t flags,
                 double *variable, CmdParamChangeFxn change, double defaultValue,
                 CmdParamList *list);
void do_String_Parm(const char *name, const char *category, uint32_t type, uint32_t flags,
                    char *variable, const char *defaultText, CmdParamChangeFxn change,
                    const char *label, CmdParamList *list);
void do_Fxn_Parm(const char *name, const char *category, uint32_t flags, void *variable,
                 CmdParamFxn fxn, CmdParamChangeFxn change, const char *label,
                 CmdParamList *list);
void do_Separator(const char *heading, const char *category, CmdParamList *list);
// Gives the option registered last its short name (see CmdParam).
void do_ShortName(const char *shortName, CmdParamList *list);

// ---- Lists ---------------------------------------------------------------------

// Runs the option table for `set` twice (count, then fill). Null when an
// allocation or a function option's initialisation failed.
CmdParamList *createCmdParamList(OptionSet set);
CmdParamList *destroyCmdParamList(CmdParamList *list);  // accepts null, returns null
CmdParamList *allocAndSaveParamVals(OptionSet set);
void saveOriginalCmdParamVals(CmdParamList *list);
void restoreCmdParamVals(CmdParamList *list);
void copy1ParamVal(CmdParam *option, const void *from, void *to);
void *getCmdParamValuePtr(CmdParam *option, bool live);
CmdParam *getCmdParamListArray(CmdParamList *list);
uint32_t getCmdParamListSize(const CmdParamList *list);
bool isStringParam(const CmdParam *option);

// ---- Parsing -------------------------------------------------------------------

// Reads the options of `set` up to one of the terminator characters (null
// means ";"). Returns the terminator found (> 0) on success, 0 on error and
// -1 after a "?" listing; in both of the latter cases every option of the set
// is back at its value before the call. Callers run their command only when
// the result is above 0. With `lenientNote` null an unknown keyword is an
// error, otherwise a warning ending with the note and the option is skipped.
int getCmdParams(OptionSet set, const char *terminators, const char *lenientNote);
// Puts a nonpersistent option back at the value each run starts from: its
// factory value, or else its declared value (function options: operation 3;
// file names and texts: empty). Owner-preset options are left alone.
void resetNonpersistentParam(CmdParam *option);
// getCmdParams(set, ";", null): 0 on success, 1 otherwise (a listing too).
int setCmdParamVals(OptionSet set);
// Each option's change callback; the first rejection stops and returns 1.
int runAuxFunctions(CmdParamList *list);
bool cmdParamChanged(CmdParam *option);
bool cmdParamValueIsNonzero(const CmdParam *option);
// The keyword of the option of `set` bound to `variable`, "unknown" when none.
const char *optionName(OptionSet set, const void *variable);
// Value of `word` in a keyword list: -1 not found, -2 ambiguous.
int paramValueNum(const char *keywords, const char *word);
// The n-th entry of a keyword list (alias marks skipped), "" past the end.
const char *enumValue(const char *keywords, uint32_t n);
// Error 141 for a refused value; returns 1.
int errMsgBadParamValue(const char *keyword, const char *value);

// Shared body of integer-or-keyword function options; the saved number is
// kept in option->saved.i. Operation 1 failure returns 999 without a message.
int readIntFxnParamHelper(int operation, CmdParam *option, void *place, int32_t *value,
                          const char *keyword, int32_t factory);
// Parse function of withdrawn options: a note at operation 0, value dropped.
int notifyOptionGone(int operation, CmdParam *option, void *place);

// The shared current-value text of function options: the first clears it and
// writes at most 2047 characters, the second appends. Both return the text.
const char *makeCurDefaultString(const char *format, ...) __attribute__((format(printf, 1, 2)));
const char *printfToDefaultString(const char *format, ...) __attribute__((format(printf, 1, 2)));
int qel_initializeCmdOptions();  // nonzero on memory failure
void qel_finalizeCmdOptions();

// ---- Listings ------------------------------------------------------------------

void showCmdParamSettings(CmdParamList *list, bool savedOnly);
// The texts of the listing columns, written into out (always terminated).
char *typeString(CmdParam *option, char *out, size_t outSize);
char *curDefltString(CmdParam *option, bool savedOnly, char *out, size_t outSize);
char *fmtKeywordStr(const CmdParam *option, const CmdParamList *list, char *out, size_t outSize);
std::string fmtFunctionValueList(CmdParam *option);
// Lists the option table of a set (or of `list` when given); installed as
// qel_commands' option-table hook by qel_initializeCmdOptions.
void showCmdOptionTable(OptionSet set, CmdParamList *list, bool showCurrent);

// ---- Defaults, Factory and Reset -----------------------------------------------

// One option to its factory value, without its change callback.
void setCmdParamToFactory(CmdParam *option);
// Every option of one set to its factory value; all change callbacks run
// (unless at start-up), even after one rejects. 0 on success, 1 when the list
// could not be built or a callback rejected.
int setCmdParamValsToFactorySettings(OptionSet set, bool atStartup);
// Every option of the program to its factory value; 0 or 1 as above. At
// start-up a failure ends the program with status 8.
int factorySettings(bool atStartup);

// What a factory reset needs from the search subsystem and the application;
// a null member has a safe default (no criterion, std::exit).
struct CmdOptionServices {
    int (*currentCriterion)();
    void (*initOptimalityCriterion)();
    void (*exitProgram)(int status);
};
void setCmdOptionServices(const CmdOptionServices &services);

// ---- File-name options --------------------------------------------------------------
// The variable of a file-name option read by handleFilenameCmdParam. Its
// default name follows the current data file until the user types a name.

struct FilenameParamState {
    char *path;              // kParamPathSize bytes, allocated when first needed
    const char *defaultExt;  // e.g. ".tre"
    uint8_t nameIsDefault;   // made by the program, not typed by the user
};

// The stem of default names: the data file, else the executed file, else "vorn".
const char *makeBaseFilenameForCmdParam();
// Marks the state default and makes its default name; 1 when no buffer could be had.
int setDefaultCmdParamFilename(FilenameParamState *state, const char *extension);
// The name (without directory) a command proposes, into out (outSize bytes).
int startCmdParamFilename(FilenameParamState *state, const char *extension, bool forceDefault,
                          char *out, size_t outSize);
// After the command: a name other than the proposed one is the user's own.
void finishCmdParamFilename(FilenameParamState *state, const char *extension, const char *name);
void setFilenameDefaultExt(CmdParam *option, const char *extension);
int handleFilenameCmdParam(int operation, CmdParam *option, void *place);
void deallocFilenameCmdParamBuffer(FilenameParamState *state);

int doDefaultsCmd();
int doFactoryCmd();
int doResetCmd();

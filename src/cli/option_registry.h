// What the registrations of option sets share, whichever layer owns them:
// the usual flag combinations and the nesting of one set inside another.
#pragma once

#include <cstdint>

#include "cli/qel_cmdoptions.h"

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

// Runs `set` nested inside the set being built; OptionSet::kAll registers
// each set once by itself, so it never nests.
inline void include(OptionSet building, OptionSet set, CmdParamList *list)
{
    if (building != OptionSet::kAll)
        traverseCmdParamSet(set, list);
}

inline bool runs(OptionSet building, OptionSet set)
{
    return building == set || building == OptionSet::kAll;
}

// Options keep some unsigned fields; the table writes them as signed integers.
inline int32_t *i32Of(uint32_t &value) { return reinterpret_cast<int32_t *>(&value); }

// A custom option whose owner (the constraint store, a tree list) is not
// linked in: it reads the value and refuses it, so that nothing pretends to
// have taken it.
int refuseOptionValue(int operation, CmdParam *option, void *place);

}  // namespace optreg

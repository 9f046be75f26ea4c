// The option sets of the data, assumptions, character-status, taxon-status
// and file-exchange commands, registered by the data layer itself so that it
// reads its block commands' options without the application above it.
#pragma once

#include <cstdint>

#include "cli/qel_cmdoptions.h"

// Registers the sets the data layer owns (all of them for OptionSet::kAll) and nothing
// for any other set; returns the list's failure mark.
uint32_t traverseDataOptionSets(OptionSet set, CmdParamList *list);

// The IGNORE option (of a DATA block's OPTIONS command and of Set) is kept
// only to say what replaced it: reading a value is an error.
int ignoreNowObsolete(int operation, CmdParam *option, void *place);

// Options of the data sets that bind the parsimony settings (the gap mode
// and multistate-taxa switches of the DATA block's OPTIONS command and of
// the ASSUMPTIONS block's OPTIONS command). The parsimony layer registers
// them through the installed registrar; without one they are not offered.
enum class DataParsOptions : uint32_t {
    kDataBlockOptions,     // hidden "gapMode" and "msTaxa" of a DATA block's OPTIONS
    kAssumptionsOptions    // "gapMode" of an ASSUMPTIONS block's OPTIONS
};
using DataParsOptionRegistrar = void (*)(DataParsOptions which, CmdParamList *list);
// 0, or 1 (reported) when another registrar is installed already.
int installDataParsOptionRegistrar(DataParsOptionRegistrar registrar);

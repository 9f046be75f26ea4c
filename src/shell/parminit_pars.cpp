// Option sets of the parsimony and tree search commands.
#include "shell/parminit.h"

uint32_t traverseParsOptionSets(uint32_t, CmdParamList *list) { return list->failed; }

void registerParsSharedOptions(ParsSharedOptions, CmdParamList *) {}

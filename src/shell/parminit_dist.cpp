// Option sets of the distance methods commands.
#include "shell/parminit.h"

uint32_t traverseDistOptionSets(uint32_t, CmdParamList *list) { return list->failed; }

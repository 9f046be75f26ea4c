// Option sets of the tree commands commands.
#include "shell/parminit.h"

uint32_t traverseTreeOptionSets(uint32_t, CmdParamList *list) { return list->failed; }

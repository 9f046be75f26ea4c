// Option sets of the likelihood and model selection commands.
#include "shell/parminit.h"

uint32_t traverseLikOptionSets(uint32_t, CmdParamList *list) { return list->failed; }

// Option sets of the data, assumptions and file exchange commands.
#include "shell/parminit.h"

#include <initializer_list>

#include "data/taxstat.h"

uint32_t traverseDataOptionSets(uint32_t set, CmdParamList *list)
{
    // Sets 41-44: Delete, Undelete/Restore, Outgroup/Ingroup, TStatus. Set 0
    // registers every option once.
    if (set == 0) {
        // Restore's options are a subset of Delete's.
        for (uint32_t s : {kOptSetDelete, kOptSetOutgroup, kOptSetTStatus})
            registerTaxStatusOptions(s, list);
    } else {
        registerTaxStatusOptions(set, list);
    }
    return list->failed;
}

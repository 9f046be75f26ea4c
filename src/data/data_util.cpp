#include "data/data_util.h"

#include "data/data_services.h"

void updateStdCharsets(DataInfo *d)
{
    if (!(d->flags & kHaveCharacters) || !d->status || !d->gappedChars || !d->missAmbigChars)
        return;
    clearSet(d->gappedChars);
    clearSet(d->missAmbigChars);
    for (uint32_t c = 0; c < d->nchar; ++c)
        d->status[c] &= ~kCharHasCombination;
    const uint32_t missing = d->nstates;
    for (uint32_t c = 0; c < d->nchar; ++c) {
        if (d->status[c] & kCharEliminated)
            continue;
        bool gap = false, combination = false;
        for (int32_t t = 0; t < d->nActive && !(gap && combination); ++t) {
            uint8_t code = getXijRaw(d, t, c);
            if (code == kGapCode) {
                gap = true;
                addSetMember(d->gappedChars, c);
            } else if (code >= missing) {
                addSetMember(d->missAmbigChars, c);
                if (code > missing) {
                    combination = true;
                    d->status[c] |= kCharHasCombination;
                }
            }
        }
    }
    const DataServices &s = dataServices();
    if (!(s.criterion() == kCriterionParsimony && s.gapMode() != kGapModeMissing))
        setUnion(d->missAmbigChars, d->gappedChars, d->missAmbigChars);
}

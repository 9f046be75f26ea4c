// Per-character information derived from the cells of the active taxa.
#pragma once

#include "data/vorn_data.h"

// Status bit 0x80 (combination cells) and the gapped and missing-or-ambiguous
// character sets; does nothing unless characters are present.
void updateStdCharsets(DataInfo *d);

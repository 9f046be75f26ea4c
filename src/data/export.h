// Export: the active matrix written for other programs (PHYLIP, relaxed
// PHYLIP, FASTA, Hennig86, tab-delimited and simple text, NEXUS, MEGA), only
// the taxa not deleted and the characters included, optionally translated
// from DNA codons to amino acids.
#pragma once

#include <cstdint>

#include "data/vorn_data.h"

// The Export command; 0 or 1.
int doExportCmd();

// Fills table[-1 .. number of codes - 1] with the output symbol of each raw
// state code: table[-1] the gap symbol, a single state its symbol, the
// missing code the missing symbol, each further code the equate symbol of
// its state set or 0 when none stands for it. The caller provides the slot
// before index 0 (the gap code, 255, is looked up there).
void initStateCodeMap(const DataInfo *d, uint32_t *table);

// Per-character information derived from the cells of the active taxa: the
// observed states, the constant, uninformative and missing/multistate bits,
// the predefined character sets, and the class flags of the included
// characters that every analysis consults.
#pragma once

#include <bit>
#include <cstdint>

#include "data/vorn_data.h"

// The parsimony-informativeness test that the data set and the parsimony
// packer share (one rule, or Goloboff totals and "Uninf" disagree): a
// character can favour one tree over another only when at least two of its
// states each turn up in two or more cells. Every state of a multistate cell
// counts, since a tree may resolve the cell to any of them. Feed it the
// state bits of every known cell, the ancestor's included; leave missing
// cells out.
struct RepeatedStates {
    uint64_t all = 0, repeated = 0;
    void add(uint64_t bits)
    {
        repeated |= bits & all;
        all |= bits;
    }
    bool uninformative() const { return std::popcount(repeated) <= 1; }
};

// Status bit 0x80 (combination cells) and the gapped and missing-or-ambiguous
// character sets; does nothing unless characters are present.
void updateStdCharsets(DataInfo *d);

// Observed states, constant and uninformative bits, the "Constant", "Uninf"
// and "AllMissing" sets and the observed-symbol strings. 1 on memory failure.
int initializeDataInfo(DataInfo *d);
// Refills the "Uninf" set from the uninformative status bits, once the
// parsimony preparation has settled them for the characters' own types.
void fillUninfSet(const DataInfo *d);
// Type, nucleotide and amino-acid class flags; 1 on memory failure.
int updateCharStatus(DataInfo *d);
// Recomputes the class flags when characters are present and they are stale.
int checkCharStatusUpdate(DataInfo *d);
// Only the inclusion, constant, missing and nucleotide/amino-acid flags,
// from the status words alone.
void initCharInclusionFlags(DataInfo *d);

// A new set of the excluded characters (null on memory failure).
Set *saveExclusionStatus(const DataInfo *d);
// Excluded exactly the members; a null set does nothing.
void restoreExclusionStatus(const Set *set, DataInfo *d);

// Class flags of the included characters.
uint8_t allCharsIncluded(const DataInfo *d);
uint8_t freeRevCharsIncluded(const DataInfo *d);
uint8_t revCharsIncluded(const DataInfo *d);
uint8_t wagCharsIncluded(const DataInfo *d);
uint8_t unordCharsIncluded(const DataInfo *d);
uint8_t stepmatCharsIncluded(const DataInfo *d);
uint8_t asymStepmatCharsIncluded(const DataInfo *d);
uint8_t nonRevCharsIncluded(const DataInfo *d);
uint8_t nonWagUnoCharsIncluded(const DataInfo *d);
uint8_t nonFreeRevCharsIncluded(const DataInfo *d);
uint8_t irrevCharsIncluded(const DataInfo *d);
uint8_t dolloCharsIncluded(const DataInfo *d);
uint8_t missingDataIncluded(const DataInfo *d);
uint8_t msTaxaIncluded(const DataInfo *d);
uint8_t polyMsTaxaIncluded(const DataInfo *d);

// DNA recoding: every cell of a nucleotide matrix replaced by a coarser code,
// either purine/pyrimidine coding of single bases or one of four codon-level
// schemes under which synonymous codons look alike (degeneracy coding).
#pragma once

#include <array>
#include <cstdint>

#include "data/codons.h"

// A base set is a 4-bit mask, A=1, C=2, G=4, T=8. A triplet of base sets is
// set1·256 + set2·16 + set3; the recoding table maps each triplet to the
// triplet it becomes. The RY scheme uses the entries 1..15 only.
using RecodeTable = std::array<uint16_t, 4096>;

inline constexpr uint32_t kBaseA = 1, kBaseC = 2, kBaseG = 4, kBaseT = 8, kAllBases = 15;

// IUPAC letter of each base set, by mask 0..15.
inline constexpr char dnaBitsToCode[] = "?ACMGRSVTWYHKDBN";
// The base set of an IUPAC letter (either case); 0 for U and anything that
// is not an IUPAC code.
uint32_t dnaCodeToBits(int letter);

inline constexpr uint32_t tripletIndex(uint32_t s1, uint32_t s2, uint32_t s3)
{
    return s1 << 8 | s2 << 4 | s3;
}

// The table of a scheme (kRecode*); codonToAA is the genetic code in the
// program's codon numbering (unused by RY and medrick).
void buildRecodeTable(uint32_t scheme, const char codonToAA[kNumCodons], RecodeTable &table);

// Prints the table as DnaRecode's showMappings does.
void showMappings(uint32_t scheme, const RecodeTable &table);

int doDnaRecodeCmd();

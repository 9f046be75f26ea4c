// Genetic codes and the codon services built on them: translating codons,
// checking that the included nucleotide characters form whole codons,
// counting codons per taxon, and the CodonUsage and ModProject commands.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "data/vorn_data.h"

// A codon is 16·b1 + 4·b2 + b3 with bases A=0, C=1, G=2, T=3.
inline constexpr uint32_t kNumCodons = 64;
// The stop symbol of the code tables.
inline constexpr char kStopSymbol = '*';

// The base of a nucleotide symbol (A, C, G, T or U in either case), else -1.
int baseOfSymbol(int symbol);
std::string makeCodonString(uint32_t codon);

// Fills codonToAA (amino-acid letters by codon) from the named table; with
// aaLetters, the code's distinct letters sorted (letters first, case ignored
// with upper case first on a tie, then other characters by code) and their
// number in *count. The table index, or -1 after an error report.
int getGenCode(const char *name, char codonToAA[kNumCodons], std::string *aaLetters, uint32_t *count);
// Whether the included characters are nucleotides forming whole codons; the
// number of codons, or -1, in *codons. Reports why not (data that are not
// nucleotides only when `report`).
bool canDoCodonModels(const DataInfo *d, bool report, int32_t *codons);
// The warning for `count` codons with one or two gaps; firstChar is the
// 0-based first character of the first one, in the named taxon.
void showIncompleteGapMsg(uint32_t count, const char *taxon, uint32_t firstChar);
void showGeneticCode(const char *title, const char codonToAA[kNumCodons], const std::string &aaLetters);

// One command run's codon counts and frequencies.
struct CodonFreqData {
    const DataInfo *d = nullptr;
    std::vector<std::array<uint32_t, kNumCodons>> counts;  // per active taxon
    double baseFreqs[4][4] = {};  // codon positions 1-3, then all positions; by base
    double fitted[3][4] = {};     // CF3x4 position frequencies
    double empirical[kNumCodons] = {};
    double f1x4[kNumCodons] = {};
    double f3x4[kNumCodons] = {};
    double cf3x4[kNumCodons] = {};
    double cf3x4AA[kNumCodons] = {};  // by amino-acid index
    double empiricalAA[kNumCodons] = {};
    char codonToAA[kNumCodons] = {};
    std::string aaLetters;
    uint32_t codonAAIndex[kNumCodons] = {};
    uint32_t codonsPerAA[kNumCodons] = {};
    bool observed[kNumCodons] = {};
    uint32_t nAA = 0;
};

// A fresh record for d with the named code; 0, or 1 after an error report.
int initCodonFreqData(CodonFreqData &cf, const DataInfo *d, const char *codeName);
// Counts the complete codons of every active taxon and reports the ignored
// ones (gaps, partial gaps, ambiguities).
void getCodonCounts(CodonFreqData &cf);
// The empirical codon and amino-acid frequencies, the base frequencies by
// position, and the F1x4, F3x4 and CF3x4 codon frequencies; 0, or 2 when
// interrupted.
int calcEmpirCodonFreqs(CodonFreqData &cf);
// Sum over taxa and sense codons of count · ln(CF3x4 codon / its amino acid).
double codonCorrectionTerm(const CodonFreqData &cf);

int doCodonUsageCmd();
int doModProjectCmd();

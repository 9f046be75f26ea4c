// The six empirical amino-acid exchangeability matrices and their
// equilibrium frequencies, in the state order A R N D C Q E G H I L K M F P
// S T W Y V. Exchangeabilities run by rows of the lower triangle: (R,A);
// (N,A), (N,R); (D,A), (D,R), (D,N); ... (V,Y). Their scale does not matter:
// the rate matrix built from them is normalised to a mean rate of 1.
#pragma once

#include <cstdint>

#include "data/model.h"

struct Model;

inline constexpr uint32_t kNumAAStates = 20;
inline constexpr uint32_t kNumAAExchangeabilities = 190;
inline constexpr const char *kAASymbols = kAminoAcidStates;

// Indexes of the LSet aaRMatrix keywords.
enum : uint32_t {
    kAAMatrixJTT = 0,
    kAAMatrixJTTPAML,
    kAAMatrixPAM,
    kAAMatrixMTrev24,
    kAAMatrixWAG,
    kAAMatrixLG,
    kNumAAMatrices
};

struct AAMatrix {
    const double *rmatrix;  // kNumAAExchangeabilities
    const double *pi;       // kNumAAStates
};

// Null for an index beyond the six.
const AAMatrix *getAAMatrix(uint32_t index);
// The matrix's display name ("JTT (DCMut)" ... "LG"); "" beyond the six.
const char *prmatrixString(uint32_t index);
// Installs the matrix named by ml.aaRMatrix: its index, its 190
// exchangeabilities copied into the model's rate array, and a reference to
// its frequencies, read when the model's frequency code is intrinsic.
void setAARateMatrix(Model *m);

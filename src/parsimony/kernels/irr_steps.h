// The irreversible steps' kernels of the search's step scoring
// (parsimony/dollo_search.h): one word of 64 steps joined at a node or by an
// edge, for each way round the two records hold the ancestor. The rule is
// written once (irr_steps_rule.h) and compiled for the baseline CPU and, in
// a file of its own, with AVX2 code generation; the variant follows the
// other kernels' choice (uno_select.cpp).
#pragma once

#include <cstdint>

#include "parsimony/kernels/uno_kernels.h"

// An entry for a condition a step cannot take (a loss would be needed). Two
// of them plus a step stay inside 16 bits.
inline constexpr int16_t kIrrNever = 8191;

// a and b: the two records' values of the word's 64 steps (see
// irr_steps_rule.h). A join writes the node's values to r; both put each
// step's least in m and return their sum, and set *never when a step can
// take no condition.
using IrrJoinWord = int32_t (*)(const int16_t *a, const int16_t *b, int16_t *r, int16_t *m, bool *never);
using IrrSpanWord = int32_t (*)(const int16_t *a, const int16_t *b, int16_t *m, bool *never);

struct IrrStepKernels {
    const char *name;
    // Indexed by 2 x (a holds the ancestor) + (b holds it).
    IrrJoinWord join[4];
    IrrSpanWord span[4];
};

const IrrStepKernels &irrStepKernels();
const IrrStepKernels *irrStepKernelsOf(UnoKernelVariant v);
const IrrStepKernels &irrStepKernelsGeneric();
const IrrStepKernels &irrStepKernelsAvx2();

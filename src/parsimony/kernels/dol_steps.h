// The Dollo steps' kernels of the search's step scoring
// (parsimony/dollo_search.h): one word of 64 steps joined at a node or by an
// edge. The rule is written once (dol_steps_rule.h) and compiled for the
// baseline CPU and, in a file of its own, with AVX2 code generation; the
// variant follows the other kernels' choice (uno_select.cpp).
#pragma once

#include <cstdint>

#include "parsimony/kernels/uno_kernels.h"

// One word of two records: the L and F bits of each (a part holds a
// terminal of state 1; it holds two apart from its top) and their c1 and c0
// counters, 64 of each.
struct DolWordPair {
    uint64_t La, Fa, Lb, Fb;
    const int16_t *a1, *a0, *b1, *b0;
};

// A join writes the node's counters to r1 and r0 (its L and F are the
// callers', plain bit operations); both put each step's least in m and
// return their sum.
using DolJoinWord = int32_t (*)(const DolWordPair &w, int16_t *r1, int16_t *r0, int16_t *m);
using DolSpanWord = int32_t (*)(const DolWordPair &w, int16_t *m);

struct DolStepKernels {
    const char *name;
    DolJoinWord join;
    DolSpanWord span;
};

const DolStepKernels &dolStepKernels();
const DolStepKernels *dolStepKernelsOf(UnoKernelVariant v);
const DolStepKernels &dolStepKernelsGeneric();
const DolStepKernels &dolStepKernelsAvx2();

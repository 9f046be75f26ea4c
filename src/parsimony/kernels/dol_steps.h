// The Dollo steps' kernels of the search's step scoring
// (parsimony/dollo_search.h): the Dollo words of two records joined at a
// node, all in one call (the loop over words and the steps' sums inside the
// kernel, so that a record costs one call through the table), and one word
// joined by an edge, which a search stops word by word at its bound. The
// generic variant (dol_generic.cpp) is the rule; the AVX2 one
// (dol_avx2.cpp) runs it sixteen steps to a vector and is tested against
// it. The variant follows the other kernels' choice (uno_select.cpp).
#pragma once

#include <cstdint>

#include "parsimony/kernels/uno_kernels.h"

// A record's Dollo words: the L and F bits (a part holds a terminal of
// state 1; it holds two apart from its top) and the c1 and c0 counters, 64
// of each per word, word w's at 64 w.
struct DolWords {
    const uint64_t *L, *F;
    const int16_t *c1, *c0;
};

struct DolWordsOut {
    uint64_t *L, *F;
    int16_t *c1, *c0;
};

// Joins words [0, n) of a and b at a node into r (which may be a or b).
// With sums, word w's steps (what its joining adds) sum to sums[w]; with m,
// each step's own goes to m[64 w + i].
using DolJoinWords = void (*)(const DolWords &a, const DolWords &b, const DolWordsOut &r, uint32_t n, int32_t *sums,
                              int16_t *m);
// The least steps of joining word w of a and b by an edge, each to m[i];
// returns their sum.
using DolSpanWord = int32_t (*)(const DolWords &a, const DolWords &b, uint32_t w, int16_t *m);

struct DolStepKernels {
    const char *name;
    DolJoinWords join;
    DolSpanWord span;
};

const DolStepKernels &dolStepKernels();
const DolStepKernels *dolStepKernelsOf(UnoKernelVariant v);
const DolStepKernels &dolStepKernelsGeneric();
const DolStepKernels &dolStepKernelsAvx2();

// The Dollo step kernels for the baseline CPU: the rule itself, step by
// step. What the counters mean is told in parsimony/dollo_search.h.
#include <algorithm>
#include <cstring>

#include "parsimony/kernels/dol_steps.h"

namespace dolgeneric {
namespace {

constexpr uint32_t kWordSteps = 64;

// Lane masks of a byte: lane i all ones where bit i is set, so that the
// rule works on whole lanes (no per-lane bit test in the loops, which the
// compiler then runs on vectors of the baseline CPU).
struct ByteLanes {
    alignas(16) int16_t m[256][8]{};
    constexpr ByteLanes()
    {
        for (uint32_t b = 0; b < 256; b++)
            for (uint32_t i = 0; i < 8; i++)
                m[b][i] = static_cast<int16_t>((b >> i) & 1 ? -1 : 0);
    }
};
constexpr ByteLanes kByteLanes;

// The lane masks of a word's 64 bits.
struct WordLanes {
    alignas(32) int16_t m[kWordSteps];
    explicit WordLanes(uint64_t w)
    {
        for (uint32_t k = 0; k < 8; k++)
            std::memcpy(m + 8 * k, kByteLanes.m[(w >> (8 * k)) & 0xFF], sizeof kByteLanes.m[0]);
    }
};

inline int16_t pick(int16_t mask, int16_t yes, int16_t no)
{
    return static_cast<int16_t>((mask & yes) | (~mask & no));
}

// One word of the join: each step's least to m; sums them.
int32_t joinWord(const DolWords &a, const DolWords &b, const DolWordsOut &r, uint32_t w, int16_t *__restrict m)
{
    const uint64_t La = a.L[w], Lb = b.L[w];
    // Where only one side holds a 1 (x), whether that side's part holds two.
    const WordLanes ha(La), hb(Lb), fx((La & a.F[w]) | (~La & b.F[w]));
    const size_t at = static_cast<size_t>(w) * kWordSteps;
    // Not __restrict: r may be a or b (the compiler checks the overlap).
    const int16_t *a1 = a.c1 + at, *a0 = a.c0 + at, *b1 = b.c1 + at, *b0 = b.c0 + at;
    int16_t *r1 = r.c1 + at, *r0 = r.c0 + at;
    int32_t sum = 0;
    for (uint32_t i = 0; i < kWordSteps; i++) {
        const auto s = static_cast<int16_t>(a1[i] + b1[i]);
        // With a 1 on one side only (x), the node stays outside R either
        // by one step above x in R or with R wholly below x.
        const int16_t x1 = pick(ha.m[i], a1[i], b1[i]), x0 = pick(ha.m[i], a0[i], b0[i]);
        const auto up = static_cast<int16_t>(x1 + 1);
        const int16_t out = pick(fx.m[i], up, std::min(up, x0));
        const auto both = static_cast<int16_t>(ha.m[i] & hb.m[i]), one = static_cast<int16_t>(ha.m[i] ^ hb.m[i]);
        const int16_t least = pick(both, s, static_cast<int16_t>(one & std::min(s, out)));
        r1[i] = pick(both, 0, pick(one, static_cast<int16_t>(s - least), std::min<int16_t>(s, 1)));
        r0[i] = static_cast<int16_t>(one & (out - least));
        m[i] = least;
        sum += least;
    }
    r.L[w] = La | Lb;
    r.F[w] = La & Lb;
    return sum;
}

void dolJoin(const DolWords &a, const DolWords &b, const DolWordsOut &r, uint32_t n, int32_t *sums, int16_t *m)
{
    alignas(32) int16_t own[kWordSteps];
    for (uint32_t w = 0; w < n; w++) {
        const int32_t sum = joinWord(a, b, r, w, m ? m + static_cast<size_t>(w) * kWordSteps : own);
        if (sums)
            sums[w] = sum;
    }
}

int32_t dolSpan(const DolWords &a, const DolWords &b, uint32_t w, int16_t *__restrict m)
{
    const uint64_t La = a.L[w], Lb = b.L[w];
    const WordLanes ha(La), hb(Lb), fx((La & a.F[w]) | (~La & b.F[w]));
    const size_t at = static_cast<size_t>(w) * kWordSteps;
    const int16_t *__restrict a1 = a.c1 + at, *__restrict a0 = a.c0 + at, *__restrict b1 = b.c1 + at,
                              *__restrict b0 = b.c0 + at;
    int32_t sum = 0;
    for (uint32_t i = 0; i < kWordSteps; i++) {
        const auto s = static_cast<int16_t>(a1[i] + b1[i]);
        const int16_t x0 = pick(ha.m[i], a0[i], b0[i]);
        const auto one = static_cast<int16_t>(ha.m[i] ^ hb.m[i]), any = static_cast<int16_t>(ha.m[i] | hb.m[i]);
        // Both ends in R, or (a 1 on one side only, not forced there) R
        // wholly on that side.
        const int16_t v = pick(static_cast<int16_t>(one & ~fx.m[i]), std::min(s, x0), s);
        m[i] = static_cast<int16_t>(any & v);
        sum += m[i];
    }
    return sum;
}

}  // namespace
constexpr DolStepKernels kTable{"generic", dolJoin, dolSpan};
}  // namespace dolgeneric

const DolStepKernels &dolStepKernelsGeneric() { return dolgeneric::kTable; }

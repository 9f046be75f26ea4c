// The four-state cost-vector join on one 256-bit vector: the four states of
// the joining node in the four lanes, one broadcast and one row of the table
// per state met. Compiled with AVX2 code generation like uno_avx2.cpp, under
// the same rules; the rule is the generic one lane for lane.
#include <immintrin.h>

#include <cstdint>

#include "parsimony/kernels/uno_kernels.h"

namespace stmavx2 {
namespace {

inline __m256i load(const int64_t *p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)); }

// AVX2 has no 64-bit minimum: compare and blend (entries are far below the
// sign bit, so the signed compare is exact).
inline __m256i min64(__m256i x, __m256i y) { return _mm256_blendv_epi8(x, y, _mm256_cmpgt_epi64(x, y)); }

// The least of X[t] + c[4t + s] for each state s, clamped.
inline __m256i half(const int64_t *c, const int64_t *X, __m256i impossible)
{
    __m256i best = load(X);
    for (int t = 0; t < 4; t++)
        best = min64(best, _mm256_add_epi64(_mm256_set1_epi64x(X[t]), load(c + 4 * t)));
    return min64(best, impossible);
}

int64_t join4(const int64_t *ca, const int64_t *A, const int64_t *cb, const int64_t *B, int64_t *out)
{
    const __m256i impossible = _mm256_set1_epi64x(kCostImpossible);
    const __m256i o = min64(_mm256_add_epi64(half(ca, A, impossible), half(cb, B, impossible)), impossible);
    // The least entry in every lane: swap the halves, then the neighbours.
    __m256i m = min64(o, _mm256_permute4x64_epi64(o, 0x4e));
    m = min64(m, _mm256_permute4x64_epi64(m, 0xb1));
    // Possible entries lose the minimum (none does when m is impossible).
    const __m256i possible = _mm256_cmpgt_epi64(impossible, o);
    const __m256i r = _mm256_sub_epi64(o, _mm256_and_si256(possible, m));
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(out), r);
    const int zeros = _mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpeq_epi64(r, _mm256_setzero_si256())));
    out[4] = zeros;
    return _mm_cvtsi128_si64(_mm256_castsi256_si128(m));
}

const StmKernels kAvx2{"avx2", join4};

}  // namespace
}  // namespace stmavx2

const StmKernels &stmKernelsAvx2() { return stmavx2::kAvx2; }

// The four-state cost-vector join for the baseline CPU: the reference the
// vector variant is tested against.
#include <algorithm>
#include <cstdint>

#include "parsimony/kernels/uno_kernels.h"

namespace {

int64_t join4(const int64_t *ca, const int64_t *A, const int64_t *cb, const int64_t *B, int64_t *out)
{
    int64_t m = kCostImpossible;
    for (uint32_t s = 0; s < 4; s++) {
        int64_t a = A[s], b = B[s];
        for (uint32_t t = 0; t < 4; t++) {
            a = std::min(a, A[t] + ca[4 * t + s]);
            b = std::min(b, B[t] + cb[4 * t + s]);
        }
        out[s] = std::min(std::min(a, kCostImpossible) + std::min(b, kCostImpossible), kCostImpossible);
        m = std::min(m, out[s]);
    }
    uint64_t zeros = 0;
    for (uint32_t s = 0; s < 4; s++) {
        if (out[s] < kCostImpossible)
            out[s] -= m;
        zeros |= static_cast<uint64_t>(out[s] == 0) << s;
    }
    out[4] = static_cast<int64_t>(zeros);
    return m;
}

const StmKernels kGeneric{"generic", join4};

}  // namespace

const StmKernels &stmKernelsGeneric() { return kGeneric; }

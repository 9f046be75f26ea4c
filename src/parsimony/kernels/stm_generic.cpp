// The cost-vector joins for the baseline CPU (one four-state character of
// 64-bit entries, and blocks of 16-bit ones): the reference the vector
// variant is tested against.
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

// Node arrays hold 64-bit words; their blocks are read as 16-bit entries.
using Entry = int16_t __attribute__((may_alias));
constexpr int32_t kImp = kCost16Impossible;
constexpr uint32_t kW = kStmBlockWidth;

inline int32_t sat16(int32_t x) { return std::min(x, kImp); }

// The least cost of meeting X (entries e, rows of the block) from state s of
// lane l: min over t of X[t] + c[t n + s].
inline int32_t halfBlock(uint32_t n, const int16_t *c, const Entry *X, uint32_t s, uint32_t l)
{
    int32_t best = kImp;
    for (uint32_t t = 0; t < n; t++)
        best = std::min(best, sat16(X[t * kW + l] + c[t * n + s]));
    return best;
}

// m's weighted sum, or -1 when some lane's m is impossible.
int64_t weighted(const int16_t *m, const int16_t *weight)
{
    int64_t sum = 0;
    for (uint32_t l = 0; l < kW; l++) {
        if (m[l] == kImp)
            return -1;
        sum += int64_t{m[l]} * weight[l];
    }
    return sum;
}

int64_t joinBlock(const StmBlockArgs &a, int16_t *outp, int16_t *m)
{
    const auto *A = reinterpret_cast<const Entry *>(a.A), *B = reinterpret_cast<const Entry *>(a.B);
    auto *out = reinterpret_cast<Entry *>(outp);
    for (uint32_t l = 0; l < kW; l++) {
        // out may be A or B: every entry of the lane is read first.
        int32_t o[64];
        int32_t least = kImp;
        for (uint32_t s = 0; s < a.n; s++) {
            o[s] = sat16(halfBlock(a.n, a.ca, A, s, l) + halfBlock(a.n, a.cb, B, s, l));
            least = std::min(least, o[s]);
        }
        for (uint32_t s = 0; s < a.n; s++)
            out[s * kW + l] = static_cast<int16_t>(o[s] < kImp ? o[s] - least : kImp);
        m[l] = static_cast<int16_t>(least);
    }
    return weighted(m, a.weight);
}

int64_t spanBlock(const StmBlockArgs &a, int16_t *m)
{
    const auto *A = reinterpret_cast<const Entry *>(a.A), *B = reinterpret_cast<const Entry *>(a.B);
    for (uint32_t l = 0; l < kW; l++) {
        int32_t least = kImp;
        for (uint32_t s = 0; s < a.n; s++)
            least = std::min(least, sat16(halfBlock(a.n, a.ca, A, s, l) + halfBlock(a.n, a.cb, B, s, l)));
        m[l] = static_cast<int16_t>(least);
    }
    return weighted(m, a.weight);
}

const StmKernels kGeneric{"generic", join4, joinBlock, spanBlock};

}  // namespace

const StmKernels &stmKernelsGeneric() { return kGeneric; }

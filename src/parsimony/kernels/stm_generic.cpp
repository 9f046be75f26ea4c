// The cost-vector joins for the baseline CPU (one four-state character of
// 64-bit entries, and blocks of 16-bit ones): the reference the vector
// variant is tested against.
#include <algorithm>
#include <cstdint>
#include <cstring>

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

// Node arrays hold 64-bit words; their blocks' narrower entries are copied
// in and out, which any type may do.
template <typename T>
inline T entryAt(const T *p, size_t i)
{
    T x;
    std::memcpy(&x, p + i, sizeof x);
    return x;
}
template <typename T>
inline void setEntryAt(T *p, size_t i, T x)
{
    std::memcpy(p + i, &x, sizeof x);
}
constexpr uint32_t kW = kStmBlockWidth;

template <typename T>
constexpr int64_t impossibleOf()
{
    return sizeof(T) == 2 ? kCost16Impossible : kCost32Impossible;
}

// The least cost of meeting X (rows of the block) from state s of lane l:
// min over t of X[t] + c[t n + s], clamped.
template <typename T>
inline int64_t halfBlock(uint32_t n, const T *c, const T *X, uint32_t s, uint32_t l)
{
    int64_t best = impossibleOf<T>();
    for (uint32_t t = 0; t < n; t++)
        best = std::min(best, int64_t{entryAt(X, t * kW + l)} + c[t * n + s]);
    return best;
}

// m's weighted sum, or -1 when some lane's m is impossible.
template <typename T>
int64_t weighted(const int32_t *m, const int16_t *weight)
{
    int64_t sum = 0;
    for (uint32_t l = 0; l < kW; l++) {
        if (m[l] == impossibleOf<T>())
            return -1;
        sum += int64_t{m[l]} * weight[l];
    }
    return sum;
}

template <typename T>
int64_t joinBlock(const StmBlockArgs<T> &a, T *out, int32_t *m)
{
    constexpr int64_t imp = impossibleOf<T>();
    const T *A = a.A, *B = a.B;
    for (uint32_t l = 0; l < kW; l++) {
        // out may be A or B: every entry of the lane is read first.
        int64_t o[kStmBlockMaxStates];
        int64_t least = imp;
        for (uint32_t s = 0; s < a.n; s++) {
            o[s] = std::min(imp, halfBlock(a.n, a.ca, A, s, l) + halfBlock(a.n, a.cb, B, s, l));
            least = std::min(least, o[s]);
        }
        for (uint32_t s = 0; s < a.n; s++)
            setEntryAt(out, s * kW + l, static_cast<T>(o[s] < imp ? o[s] - least : imp));
        m[l] = static_cast<int32_t>(least);
    }
    return weighted<T>(m, a.weight);
}

template <typename T>
int64_t spanBlock(const StmBlockArgs<T> &a, int32_t *m)
{
    constexpr int64_t imp = impossibleOf<T>();
    const T *A = a.A, *B = a.B;
    for (uint32_t l = 0; l < kW; l++) {
        int64_t least = imp;
        for (uint32_t s = 0; s < a.n; s++)
            least = std::min(least, halfBlock(a.n, a.ca, A, s, l) + halfBlock(a.n, a.cb, B, s, l));
        m[l] = static_cast<int32_t>(least);
    }
    return weighted<T>(m, a.weight);
}

const StmKernels kGeneric{"generic", join4, joinBlock<int16_t>, spanBlock<int16_t>, joinBlock<int32_t>,
                          spanBlock<int32_t>};

}  // namespace

const StmKernels &stmKernelsGeneric() { return kGeneric; }

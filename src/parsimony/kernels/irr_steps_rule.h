// The rule of the irreversible step kernels (irr_steps.h), included by each
// variant's file inside a namespace of its own.
//
// A record's c0 and c1 are the least steps of the part it summarises with
// its top node primitive (0) or derived (1), less the lesser of them
// (kIrrNever where the node cannot be so). A gain runs from the side nearer
// the ancestor to the other and a loss is impossible, so the cost of
// reaching a record from a node next to it depends on which side holds the
// ancestor: from a record above (holding it) the node is derived either as
// the record's top is or by a gain on the edge between, and primitive only
// if that top is; into a record below, a primitive node may have a derived
// top by a gain, a derived one only a derived top. Two records without the
// ancestor meet at the node the part is then rooted at, as the cost vectors
// take them.

constexpr uint32_t kWordSteps = 64;

template <bool above>
inline void irrHalf(int16_t x0, int16_t x1, int16_t &h0, int16_t &h1)
{
    if constexpr (above) {
        h0 = x0;
        h1 = std::min<int16_t>(static_cast<int16_t>(x0 + 1), x1);
    } else {
        h0 = std::min<int16_t>(x0, static_cast<int16_t>(x1 + 1));
        h1 = x1;
    }
}

// The least steps of a and b with a node between them primitive (o0) and
// derived (o1), each at most kIrrNever.
template <bool ta, bool tb>
inline void irrSums(int16_t a0, int16_t a1, int16_t b0, int16_t b1, int16_t &o0, int16_t &o1)
{
    int16_t ha0, ha1, hb0, hb1;
    irrHalf<ta>(a0, a1, ha0, ha1);
    irrHalf<tb>(b0, b1, hb0, hb1);
    o0 = std::min<int16_t>(static_cast<int16_t>(ha0 + hb0), kIrrNever);
    o1 = std::min<int16_t>(static_cast<int16_t>(ha1 + hb1), kIrrNever);
}

template <bool ta, bool tb, bool Join>
int32_t irrWord(const int16_t *__restrict a1, const int16_t *__restrict a0, const int16_t *__restrict b1,
                const int16_t *__restrict b0, int16_t *__restrict r1, int16_t *__restrict r0, int16_t *__restrict m,
                bool *never)
{
    int32_t sum = 0;
    int16_t worst = 0;
    for (uint32_t i = 0; i < kWordSteps; i++) {
        int16_t o0, o1;
        irrSums<ta, tb>(a0[i], a1[i], b0[i], b1[i], o0, o1);
        const int16_t least = std::min(o0, o1);
        if constexpr (Join) {
            r0[i] = o0 == kIrrNever ? kIrrNever : static_cast<int16_t>(o0 - least);
            r1[i] = o1 == kIrrNever ? kIrrNever : static_cast<int16_t>(o1 - least);
        }
        m[i] = least;
        worst = std::max(worst, least);
        sum += least;
    }
    *never = *never || worst >= kIrrNever;
    return sum;
}

template <bool ta, bool tb>
int32_t irrJoin(const int16_t *a1, const int16_t *a0, const int16_t *b1, const int16_t *b0, int16_t *r1, int16_t *r0,
                int16_t *m, bool *never)
{
    return irrWord<ta, tb, true>(a1, a0, b1, b0, r1, r0, m, never);
}

template <bool ta, bool tb>
int32_t irrSpan(const int16_t *a1, const int16_t *a0, const int16_t *b1, const int16_t *b0, int16_t *m, bool *never)
{
    return irrWord<ta, tb, false>(a1, a0, b1, b0, nullptr, nullptr, m, never);
}

inline IrrStepKernels irrTable(const char *name)
{
    return IrrStepKernels{name,
                          {irrJoin<false, false>, irrJoin<false, true>, irrJoin<true, false>, irrJoin<true, true>},
                          {irrSpan<false, false>, irrSpan<false, true>, irrSpan<true, false>, irrSpan<true, true>}};
}

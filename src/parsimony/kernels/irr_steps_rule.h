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
// take them. So a node reads a record above as c0 and min(c0 + 1, c1), one
// below as min(c0, c1 + 1) and c1.

constexpr uint32_t kWordSteps = 64;

// A record holds one value v per step: c0 = max(v, 0), c1 = max(-v, 0). The
// entry a record is never read by is capped so that one of them is 0: a
// record without the ancestor is only ever below a node, which reads its c0
// as no more than c1 + 1; one holding the ancestor only above, which reads
// its c1 as no more than c0 + 1. So capped, a record's half-join is its two
// entries as they stand, whichever way round the ancestor lies: the least
// steps of a node joining records with values v_k are the lesser of the sums
// of their c0 and of their c1, and the node's value is the sum of the v_k,
// capped for the node's own record (t: it holds the ancestor) and held at
// +-kIrrNever where a condition is impossible.
inline void irrUnpack(int16_t v, int16_t &x0, int16_t &x1)
{
    x0 = std::max<int16_t>(v, 0);
    x1 = std::max<int16_t>(static_cast<int16_t>(-v), 0);
}

// The value of a node whose entries sum to o0 and o1 (d = o0 - o1 when both
// are possible).
template <bool t>
inline int16_t irrNodeValue(int16_t o0, int16_t o1, int16_t d)
{
    d = o0 >= kIrrNever ? kIrrNever : d;
    d = o1 >= kIrrNever ? static_cast<int16_t>(-kIrrNever) : d;
    if constexpr (t)
        return std::min<int16_t>(std::max<int16_t>(d, -1), kIrrNever);
    else
        return std::max<int16_t>(std::min<int16_t>(d, 1), static_cast<int16_t>(-kIrrNever));
}

template <bool t, bool Join>
int32_t irrWord(const int16_t *__restrict a, const int16_t *__restrict b, int16_t *__restrict r,
                int16_t *__restrict m, bool *never)
{
    int32_t sum = 0;
    int16_t worst = 0;
    for (uint32_t i = 0; i < kWordSteps; i++) {
        int16_t a0, a1, b0, b1;
        irrUnpack(a[i], a0, a1);
        irrUnpack(b[i], b0, b1);
        const auto o0 = static_cast<int16_t>(a0 + b0), o1 = static_cast<int16_t>(a1 + b1);
        const int16_t least = std::min(std::min(o0, o1), kIrrNever);
        if constexpr (Join)
            r[i] = irrNodeValue<t>(o0, o1, static_cast<int16_t>(a[i] + b[i]));
        m[i] = least;
        worst = std::max(worst, least);
        sum += least;
    }
    *never = *never || worst >= kIrrNever;
    return sum;
}

template <bool t>
int32_t irrJoin(const int16_t *a, const int16_t *b, int16_t *r, int16_t *m, bool *never)
{
    return irrWord<t, true>(a, b, r, m, never);
}

inline int32_t irrSpan(const int16_t *a, const int16_t *b, int16_t *m, bool *never)
{
    return irrWord<false, false>(a, b, nullptr, m, never);
}

constexpr IrrStepKernels irrTable(const char *name)
{
    return IrrStepKernels{name, {irrJoin<false>, irrJoin<true>, irrJoin<true>, irrJoin<true>},
                          {irrSpan, irrSpan, irrSpan, irrSpan}};
}

// The rule of the Dollo step kernels (dol_steps.h), included by each
// variant's file inside a namespace of its own. What the counters mean is
// told in parsimony/dollo_search.h.

constexpr uint32_t kDolWordSteps = 64;

// Lane masks of a byte: lane i all ones where bit i is set, so that the word
// rules below work on whole lanes (no per-lane bit test in the loops). Made
// by the compiler: a table built at start-up would run this file's code
// generation before the CPU is asked what it has.
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

inline void lanesOf(uint64_t w, int16_t *out)
{
    for (uint32_t k = 0; k < 8; k++)
        std::memcpy(out + 8 * k, kByteLanes.m[(w >> (8 * k)) & 0xFF], sizeof kByteLanes.m[0]);
}

inline int16_t pick(int16_t mask, int16_t yes, int16_t no)
{
    return static_cast<int16_t>((mask & yes) | (~mask & no));
}

// The four masks of one word of two records: L and F of each.
struct WordLanes {
    alignas(32) int16_t ha[kDolWordSteps], hb[kDolWordSteps], fa[kDolWordSteps], fb[kDolWordSteps];
    explicit WordLanes(const DolWordPair &w)
    {
        lanesOf(w.La, ha);
        lanesOf(w.Lb, hb);
        lanesOf(w.Fa, fa);
        lanesOf(w.Fb, fb);
    }
};

// Joins one word of a and b at a node; each step's least (the steps its
// joining adds) goes to m. Returns their sum.
int32_t dolJoin(const DolWordPair &p, int16_t *__restrict r1, int16_t *__restrict r0, int16_t *__restrict m)
{
    const WordLanes w(p);
    const int16_t *__restrict a1 = p.a1, *__restrict a0 = p.a0, *__restrict b1 = p.b1, *__restrict b0 = p.b0;
    int32_t sum = 0;
    for (uint32_t i = 0; i < kDolWordSteps; i++) {
        const int16_t ha = w.ha[i], hb = w.hb[i];
        const auto s = static_cast<int16_t>(a1[i] + b1[i]);
        // With a 1 on one side only (x), the node stays outside R either
        // by one step above x in R or with R wholly below x.
        const int16_t x1 = pick(ha, a1[i], b1[i]), x0 = pick(ha, a0[i], b0[i]), fx = pick(ha, w.fa[i], w.fb[i]);
        const auto up = static_cast<int16_t>(x1 + 1);
        const int16_t out = pick(fx, up, std::min(up, x0));
        const auto both = static_cast<int16_t>(ha & hb), one = static_cast<int16_t>(ha ^ hb);
        const int16_t least = pick(both, s, static_cast<int16_t>(one & std::min(s, out)));
        m[i] = least;
        r1[i] = pick(both, 0, pick(one, static_cast<int16_t>(s - least), std::min<int16_t>(s, 1)));
        r0[i] = static_cast<int16_t>(one & (out - least));
        sum += least;
    }
    return sum;
}

// The least steps of joining one word of a and b by an edge.
int32_t dolSpan(const DolWordPair &p, int16_t *__restrict m)
{
    const WordLanes w(p);
    const int16_t *__restrict a1 = p.a1, *__restrict a0 = p.a0, *__restrict b1 = p.b1, *__restrict b0 = p.b0;
    int32_t sum = 0;
    for (uint32_t i = 0; i < kDolWordSteps; i++) {
        const int16_t ha = w.ha[i], hb = w.hb[i];
        const auto s = static_cast<int16_t>(a1[i] + b1[i]);
        const int16_t x0 = pick(ha, a0[i], b0[i]), fx = pick(ha, w.fa[i], w.fb[i]);
        const auto one = static_cast<int16_t>(ha ^ hb), any = static_cast<int16_t>(ha | hb);
        // Both ends in R, or (a 1 on one side only, not forced there) R
        // wholly on that side.
        const int16_t v = pick(static_cast<int16_t>(one & ~fx), std::min(s, x0), s);
        m[i] = static_cast<int16_t>(any & v);
        sum += m[i];
    }
    return sum;
}

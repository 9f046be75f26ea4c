// The rate categories touched by CL items [first, end): forEachCategory
// calls f(r, p0, p1) with the pattern range of each category, so that a
// matrix is fetched once per category rather than tested item by item.
//
// Included inside an unnamed namespace by the generic file and the vector
// kernel bodies, so each file has its own copy compiled with its own code
// generation. Hence plain helpers here rather than std::min
// and std::max, whose shared instances another file's flags could build.
// No include guard: each including namespace needs its copy.

inline uint32_t maxU(uint32_t a, uint32_t b) { return a > b ? a : b; }
inline uint32_t minU(uint32_t a, uint32_t b) { return a < b ? a : b; }

template <typename F>
inline void forEachCategory(const LikKernelContext &c, uint32_t first, uint32_t end, F f)
{
    const uint32_t np = c.npatterns;
    if (np == 0)
        return;
    for (uint32_t r = first / np; r < c.ncat && r * np < end; ++r) {
        const uint32_t lo = maxU(first, r * np), hi = minU(end, (r + 1) * np);
        f(r, lo - r * np, hi - r * np);
    }
}

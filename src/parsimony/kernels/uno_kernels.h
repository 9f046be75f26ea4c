// The unordered (Fitch) kernels over plain u64 lanes, in one variant per
// instruction set, reached through a table chosen once at start-up.
//
// This header is included by the AVX2 kernel file, which is compiled with
// AVX2 code generation: it must declare only plain records and functions.
// An inline function or template defined here would be emitted in that file
// with AVX2 instructions too, and the linker may keep that copy for callers
// that run on a CPU without AVX2.
#pragma once

#include <cstdint>

// The constants of a class's lanes, one entry per lane (two per 128-bit
// packed word). A field's top bit is the only bit notTop lacks, and shift is
// the field width less one; countMask holds the lowest bit of every field
// that counts steps.
struct UnoLanes {
    const uint64_t *notTop;
    const uint64_t *shift;
    const uint64_t *countMask;
    uint32_t count;
};

struct UnoKernels {
    const char *name;
    // r = the Fitch join of a and b (the intersection where it is not
    // empty, else the union, field by field). Returns the steps: counted
    // fields whose intersection is empty.
    uint64_t (*join)(const UnoLanes &k, const uint64_t *a, const uint64_t *b, uint64_t *r);
    // The same, writing the lowest bit of each counted empty field of lane l
    // to mask[l].
    uint64_t (*joinMask)(const UnoLanes &k, const uint64_t *a, const uint64_t *b, uint64_t *r, uint64_t *mask);
    // Steps of joining lanes [from, to) of a and b, nothing stored.
    uint64_t (*steps)(const UnoLanes &k, const uint64_t *a, const uint64_t *b, uint32_t from, uint32_t to);
};

enum class UnoKernelVariant { Generic, Avx2 };

// The table in use. Chosen on first use: AVX2 where the CPU has it, unless
// the environment variable VORN_KERNELS says "generic" (or "avx2").
const UnoKernels &unoKernels();
// Makes `v` the table in use; false (and no change) when this build or CPU
// cannot run it. For tests and benchmarks that compare the variants.
bool selectUnoKernels(UnoKernelVariant v);
bool unoKernelsAvailable(UnoKernelVariant v);
// A variant's table without selecting it; null when it cannot run here.
const UnoKernels *unoKernelsOf(UnoKernelVariant v);

// One table per variant, defined in the variant's own file.
const UnoKernels &unoKernelsGeneric();
const UnoKernels &unoKernelsAvx2();

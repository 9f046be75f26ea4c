// The unordered (Fitch) kernels over plain u64 lanes, in one variant per
// instruction set, reached through a table chosen once at start-up.
//
// The ordered (Wagner) kernels share the variants and the choice: a set is
// a run of D lanes then a run of P lanes, and a subcharacter bit steps
// where both D and P differ.
//
// This header is included by the AVX2 kernel files, which is compiled with
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
// fieldShift is the shift of every lane when all have one width (the usual
// case: one data type), else kMixedWidths; a kernel may then keep the
// constants in registers and count steps more cheaply.
constexpr uint32_t kMixedWidths = ~uint32_t{0};
struct UnoLanes {
    const uint64_t *notTop;
    const uint64_t *shift;
    const uint64_t *countMask;
    uint32_t count;
    uint32_t fieldShift = kMixedWidths;
};

// A bounded step count over every lane (UnoKernels::stepsWithin).
using UnoStepsWithinFxn = uint64_t (*)(const UnoLanes &k, const uint64_t *a, const uint64_t *b, int64_t budget);
// Two bounded step counts, of a with b0 and of a with b1, into out[0] and
// out[1] (UnoKernels::stepsWithinPairFor).
using UnoStepsWithinPairFxn = void (*)(const UnoLanes &k, const uint64_t *a, const uint64_t *b0, const uint64_t *b1,
                                       int64_t budget, uint64_t *out);

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
    // The step bits of lanes [from, to) into mask[from, to), and their count.
    uint64_t (*stepMask)(const UnoLanes &k, const uint64_t *a, const uint64_t *b, uint64_t *mask, uint32_t from,
                         uint32_t to);
    // The steps of joining every lane (k.count, even), packed word by packed
    // word in order, until their count passes `budget`: then the count up to
    // and including that word, else the whole count. A negative budget stops
    // at the first word. The bounded score of a reconnection: most pass the
    // bound, and stopping early is where the time goes.
    uint64_t (*stepsWithin)(const UnoLanes &k, const uint64_t *a, const uint64_t *b, int64_t budget);
    // The form of stepsWithin that these lanes' widths take, which gives
    // what stepsWithin gives on them: a caller that scores many spans over
    // one set of lanes chooses once instead of at every call.
    UnoStepsWithinFxn (*stepsWithinFor)(const UnoLanes &k);
    // The incremental rule over the packed words (two lanes each) flagged in
    // dirty: stored = join(c1, c2); a word whose stored value changed gets
    // final = join(stored, above), an unchanged one loses its flag. Returns
    // 1 when any word changed.
    int (*update)(const UnoLanes &k, const uint64_t *c1, const uint64_t *c2, uint64_t *stored,
                  const uint64_t *above, uint64_t *final, uint64_t *dirty);
    // For these lanes, the form that gives stepsWithin(k, a, b0, budget) and
    // stepsWithin(k, a, b1, budget) in one call. A bounded count is mostly
    // waiting for its sum before the test against the budget; two counts
    // at once keep the processor busy meanwhile, so a caller that scores
    // one set against many (the reconnections of one subtree) takes them
    // in pairs.
    UnoStepsWithinPairFxn (*stepsWithinPairFor)(const UnoLanes &k);
};

// The ordered rules over `lanes` lanes of D (then as many of P) per set.
struct WagKernels {
    const char *name;
    uint64_t (*join)(uint32_t lanes, const uint64_t *a, const uint64_t *b, uint64_t *r);
    uint64_t (*joinMask)(uint32_t lanes, const uint64_t *a, const uint64_t *b, uint64_t *r, uint64_t *mask);
    uint64_t (*steps)(uint32_t lanes, const uint64_t *a, const uint64_t *b, uint32_t from, uint32_t to);
    uint64_t (*stepMask)(uint32_t lanes, const uint64_t *a, const uint64_t *b, uint64_t *mask, uint32_t from,
                         uint32_t to);
    // As UnoKernels::stepsWithin over all `lanes` lanes.
    uint64_t (*stepsWithin)(uint32_t lanes, const uint64_t *a, const uint64_t *b, int64_t budget);
    int (*update)(uint32_t lanes, const uint64_t *c1, const uint64_t *c2, uint64_t *stored, const uint64_t *above,
                  uint64_t *final, uint64_t *dirty);
};

// The four-state min-plus join of the cost-vector class, one character:
// out[s] = the least A[t] + ca[4t + s] plus the least B[t] + cb[4t + s]
// (ca, cb: the cost of meeting A's or B's state t from state s), clamped at
// kCostImpossible; less its least entry m when m is possible; out[4] the
// mask of zero entries. Returns m. Entries are at most kCostImpossible, so
// no sum overflows.
inline constexpr int64_t kCostImpossible = int64_t{1} << 60;
// Blocks of kStmBlockWidth characters that share one cost table, held as
// 16-bit (or 32-bit) entries with state s of every character side by side
// (n rows of the block's width), so that one vector instruction serves many
// characters. kCost16Impossible (kCost32Impossible) is the impossible entry:
// sums are clamped there, and the packer admits a table only when every
// genuine sum stays far below it. The table arguments read as join4's,
// n x n.
inline constexpr uint32_t kStmBlockWidth = 16;
inline constexpr int16_t kCost16Impossible = 32767;
inline constexpr int32_t kCost32Impossible = int32_t{1} << 29;
inline constexpr uint32_t kStmBlockMaxStates = 8;
template <typename Entry>
struct StmBlockArgs {
    uint32_t n;
    const Entry *ca, *A;  // A's table (as join4's ca) and entries
    const Entry *cb, *B;
    const int16_t *weight;  // per character
};
struct StmKernels {
    const char *name;
    int64_t (*join4)(const int64_t *ca, const int64_t *A, const int64_t *cb, const int64_t *B, int64_t *out);
    // The join of every character of a block into out (normalised as join4,
    // without zero masks), each removed minimum into m; returns the sum of
    // m x weight, or -1 when some character's minimum is impossible.
    int64_t (*joinBlock)(const StmBlockArgs<int16_t> &a, int16_t *out, int32_t *m);
    // The least cost of joining A and B through one node, per character
    // into m; returns as joinBlock.
    int64_t (*spanBlock)(const StmBlockArgs<int16_t> &a, int32_t *m);
    // The same for blocks of 32-bit entries.
    int64_t (*joinBlock32)(const StmBlockArgs<int32_t> &a, int32_t *out, int32_t *m);
    int64_t (*spanBlock32)(const StmBlockArgs<int32_t> &a, int32_t *m);
};

enum class UnoKernelVariant { Generic, Avx2 };

// The tables in use. Chosen on first use: AVX2 where the CPU has it, unless
// the environment variable VORN_KERNELS says "generic" (or "avx2").
const UnoKernels &unoKernels();
const WagKernels &wagKernels();
// Makes `v` the variant in use (both tables); false (and no change) when
// this build or CPU cannot run it. For tests and benchmarks that compare
// the variants.
bool selectUnoKernels(UnoKernelVariant v);
bool unoKernelsAvailable(UnoKernelVariant v);
// A variant's tables without selecting them; null when it cannot run here.
const UnoKernels *unoKernelsOf(UnoKernelVariant v);
const WagKernels *wagKernelsOf(UnoKernelVariant v);
const StmKernels &stmKernels();
const StmKernels *stmKernelsOf(UnoKernelVariant v);

// One table per variant, defined in the variant's own file.
const UnoKernels &unoKernelsGeneric();
const UnoKernels &unoKernelsAvx2();
const WagKernels &wagKernelsGeneric();
const WagKernels &wagKernelsAvx2();
const StmKernels &stmKernelsGeneric();
const StmKernels &stmKernelsAvx2();

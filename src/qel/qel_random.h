// Pseudo-random generators and the draws built on them.
//
// Every randomised computation owns one RNG state, seeds it once and draws
// from it, so that a run is reproducible from its seed. Two generators exist:
// KISS (the default) and a 31-bit multiplicative congruential generator kept
// for reproducing older results; rngSettings chooses the one that initRNG
// seeds. A state is a plain value: copy it to replay a stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct RNG {
    uint32_t x;       // KISS congruential word; the whole legacy state
    uint32_t y;       // KISS xorshift word (0 for legacy)
    uint32_t z;       // KISS multiply-with-carry value (0 for legacy)
    uint32_t c;       // KISS multiply-with-carry carry (0 for legacy)
    uint32_t maxRaw;  // largest raw value the generator returns
    double scale;     // maps a raw value into (0, 1)
    uint8_t legacy;   // 1 for the 31-bit generator
};

// A 128-bit seed, w[0] lowest. w[0] == 0 asks for a nondeterministic state.
struct RNGSeed {
    uint32_t w[4];
};

enum : uint8_t { kRNG_KISS = 0, kRNG_Legacy = 1 };
enum : uint8_t { kRandExpInversion = 0, kRandExpZiggurat = 1 };

// The ziggurat tables are built once per generator range on first use, so
// the settings need not remember which range they were built for.
struct RNGSettings {
    uint8_t generator;  // kRNG_KISS or kRNG_Legacy (option rng)
    uint8_t expMethod;  // kRandExpInversion or kRandExpZiggurat (option randExp)
};
extern RNGSettings rngSettings;

inline constexpr uint32_t kKissMaxRaw = 0xFFFFFFFEu;
inline constexpr uint32_t kLegacyMaxRaw = 0x7FFFFFFEu;
inline constexpr uint32_t kKissCarryMax = 698769068u;
// randomInteger and friends answer this when the range cannot be drawn.
inline constexpr uint32_t kRandRefused = 0xFFFFFFFFu;

RNGSeed makeSeed(uint32_t w0, uint32_t w1, uint32_t w2, uint32_t w3);
RNGSeed makeSeed1(uint32_t n);
// The seed one run uses, from the four words of a seed option. A first word
// of 0 asks for an automatic seed: one nondeterministic word in
// 1..2147483647 is drawn and the other words are dropped, so that
// seedString of the result is the seed that reproduces the run.
RNGSeed seedForRun(const uint32_t words[4]);
// The seed syntax of the seed options: one unsigned integer, or four joined
// by ':'. Returns 0 on success; otherwise the seed is cleared and 1 returned.
int seedFromText(const char *text, RNGSeed *seed);

void initRNG(RNG *state, RNGSeed seed);
void initRNG_KISS(RNG *state, RNGSeed seed);
void initRNG_Legacy(RNG *state, RNGSeed seed);
bool isRNGinitialized(const RNG *state);

// One step of the 31-bit generator: 397204094 x mod (2^31 - 1).
uint32_t legacyRandStep(uint32_t x);

uint32_t randUniRaw(RNG *state);
double randUni(RNG *state);
double mapRandUniRawToU01(const RNG *state, uint32_t raw);
// p is taken into [0, 1] first (NaN as 0), so the result is always a value
// on the raw scale.
uint32_t mapU01toRandUniRaw(const RNG *state, double p);
double randUniFromInterval(RNG *state, double a, double b);

// Uniform integer in [0, n) by rejection. n == 0 or n above the generator's
// range draws nothing and returns kRandRefused.
uint32_t randomInteger(RNG *state, uint32_t n);
bool randomBool(RNG *state);
bool randomBernoulli(RNG *state, double p);
double randExponential(RNG *state, bool useZiggurat, double rate);
// The same by the method the randExp option chooses.
double randExponential(RNG *state, double rate);
// Two distinct integers in [0, n); false (nothing drawn) unless 2 <= n <= range.
bool randomPair(RNG *state, uint32_t n, uint32_t *first, uint32_t *second);

// The shuffles and samples leave the array untouched when n exceeds what the
// generator can index.
void randomUIntShuffle(RNG *state, uint32_t *a, uint32_t n);
void randomPtrShuffle(RNG *state, void **a, uint32_t n);
void randIntegerPerm(RNG *state, uint32_t *a, uint32_t n);
void randomUByteShuffle(RNG *state, uint8_t *a, uint32_t n);  // one cycle
void sampleNoReplacement(RNG *state, uint32_t *a, uint32_t k, uint32_t n);
void sampleUbyteNoReplacement(RNG *state, uint8_t *a, uint32_t k, uint32_t n);

bool shouldSwapTie(RNG *state, uint32_t n);
uint32_t selectUsingCumulProbs(const double *cumProbs, uint32_t n, double u);

// Fills *word, when it is 0, with a nondeterministic value in 1..max.
void makeInitialSeedValue(uint32_t *word, uint32_t max);

int showRNGState(const RNG *state, char *buffer, size_t size);
std::string seedString(RNGSeed seed);

// Category i is chosen when a raw value falls at or below cutoffs[i] and
// above the cut-off before it; cut-offs are on the raw-value scale of rng.
struct MultinomialSampler {
    uint32_t *cutoffs;
    uint32_t nCategories;
    RNG rng;
};

// weights null means equal weights. Null on memory failure or when the
// weights are unusable (negative, not finite, or summing to zero).
MultinomialSampler *createMultinomialSampler(const double *weights, uint32_t n, const RNG *state);
// 0 on success; 1 (cut-offs unchanged) for unusable weights.
int resetMulnomSampler(MultinomialSampler *sampler, const double *weights);
MultinomialSampler *destroyMulnomSampler(MultinomialSampler *sampler);
uint32_t findMulnomCateg(const MultinomialSampler *sampler, uint32_t raw);
uint32_t sampleFromMultinomial(const MultinomialSampler *sampler, RNG *state);
void drawMulnomSample(const MultinomialSampler *sampler, RNG *state, uint32_t k, uint32_t *counts);
void showMulNomCutoffs(const MultinomialSampler *sampler);

// Test hook: read nondeterministic seeds from another file (null restores the
// system source). A path that cannot be opened exercises the clock fallback.
void qel_setRandomSourcePath(const char *path);

#include "qel/qel_detmath.h"
#include "qel/qel_random.h"
#include "qel/qel_strings.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <utility>

#include "qel/qel_errormsg.h"
#include "qel/qel_malloc.h"

RNGSettings rngSettings = {kRNG_KISS, kRandExpZiggurat};

namespace {

constexpr uint32_t kLegacyModulus = 0x7FFFFFFFu;  // 2^31 - 1
constexpr double kKissScale = 4294967295.0;
constexpr double kLegacyScale = 2147483647.0;

// ---------------------------------------------------------------------------
// Nondeterministic seeding source. The file stays open for the life of the
// process; the mutex covers its first opening and the reads, since several
// analyses may seed at once.

std::mutex gSourceMutex;
FILE *gSourceFile = nullptr;
bool gSourceTried = false;
std::string gSourcePath = "/dev/urandom";

bool readSourceWord(uint32_t *v)
{
    std::lock_guard<std::mutex> lock(gSourceMutex);
    if (!gSourceTried) {
        gSourceTried = true;
        gSourceFile = std::fopen(gSourcePath.c_str(), "rb");
    }
    if (gSourceFile == nullptr)
        return false;
    for (;;) {
        if (std::fread(v, sizeof *v, 1, gSourceFile) != 1)
            return false;
        if (*v != 0)
            return true;
    }
}

// ---------------------------------------------------------------------------
// Exponential ziggurat tables, one set per generator range. Building each set
// once (rather than rebuilding whenever the last state used another range)
// keeps threads with different generators from rewriting a table that another
// is reading.

constexpr double kZigR = 7.697117470131487;
constexpr double kZigV = 0.003949659822581572;

struct ZigTables {
    uint32_t k[256];
    float w[256];
    float f[256];
};

ZigTables gZigKiss, gZigLegacy;
std::once_flag gZigKissOnce, gZigLegacyOnce;

void buildZigTables(ZigTables *t, double m)
{
    t->k[0] = static_cast<uint32_t>(std::floor(m * 0.8850193752772331));
    t->k[1] = 0;
    t->w[0] = static_cast<float>(8.697117470134886 / m);
    t->w[255] = static_cast<float>(kZigR / m);
    t->f[0] = 1.0f;
    t->f[255] = static_cast<float>(detExp(-kZigR));
    double d = kZigR;
    for (int i = 254; i >= 1; --i) {
        double dn = -detLog(kZigV / d + detExp(-d));
        t->k[i + 1] = static_cast<uint32_t>(std::floor((dn / d) * m));
        t->f[i] = static_cast<float>(detExp(-dn));
        t->w[i] = static_cast<float>(dn / m);
        d = dn;
    }
}

const ZigTables &zigTablesFor(const RNG *state)
{
    if (state->legacy) {
        std::call_once(gZigLegacyOnce, [] { buildZigTables(&gZigLegacy, kLegacyScale); });
        return gZigLegacy;
    }
    std::call_once(gZigKissOnce, [] { buildZigTables(&gZigKiss, kKissScale); });
    return gZigKiss;
}

double zigguratExponential(RNG *state)
{
    const ZigTables &t = zigTablesFor(state);
    for (;;) {
        uint32_t j = randUniRaw(state);
        uint32_t i = j & 0xFF;
        double x = j * static_cast<double>(t.w[i]);
        if (j < t.k[i])
            return x;
        double u = randUni(state);
        if (i == 0)
            return kZigR - detLog(u);
        if (detExp(-x) - t.f[i] > (static_cast<double>(t.f[i - 1]) - t.f[i]) * u)
            return x;
    }
}

template <typename T>
void fisherYates(RNG *state, T *a, uint32_t n)
{
    if (n > state->maxRaw)
        return;
    for (uint32_t k = n; k >= 2; --k)
        std::swap(a[k - 1], a[randomInteger(state, k)]);
}

template <typename T>
void partialSample(RNG *state, T *a, uint32_t k, uint32_t n)
{
    if (n > state->maxRaw)
        return;
    k = std::min(k, n);
    for (uint32_t i = 0; i < k; ++i) {
        uint32_t j = randomInteger(state, n - i);
        if (j != 0)
            std::swap(a[i], a[i + j]);
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Seeds and seeding

RNGSeed makeSeed(uint32_t w0, uint32_t w1, uint32_t w2, uint32_t w3) { return RNGSeed{{w0, w1, w2, w3}}; }

RNGSeed makeSeed1(uint32_t n) { return makeSeed(n, 0, 0, 0); }

RNGSeed seedForRun(const uint32_t words[4])
{
    if (words[0] != 0)
        return makeSeed(words[0], words[1], words[2], words[3]);
    uint32_t drawn = 0;
    makeInitialSeedValue(&drawn, 0x7FFFFFFF);
    return makeSeed1(drawn);
}

int seedFromText(const char *text, RNGSeed *seed)
{
    *seed = makeSeed(0, 0, 0, 0);
    if (text == nullptr)
        return 1;
    return stringToSeed(text, seed->w);
}

void makeInitialSeedValue(uint32_t *word, uint32_t max)
{
    if (*word != 0 || max == 0)
        return;
    uint32_t v = 0;
    if (!readSourceWord(&v)) {
        qel_warningMsg(0, "Nondeterministic random-number seeding failed; clock-based seed used instead.");
        do {
            v = static_cast<uint32_t>(std::clock());
        } while (v == 0);
    }
    *word = ((v - 1) % max) + 1;
}

uint32_t legacyRandStep(uint32_t x)
{
    // Schrage-free reduction: 2^31 == 1 modulo 2^31 - 1, so the high part
    // folds onto the low part.
    uint64_t t = 397204094ull * x;
    uint64_t r = (t & 0x7FFFFFFFull) + (t >> 31);
    if (r >= 0x80000000ull)
        r -= kLegacyModulus;
    return static_cast<uint32_t>(r);
}

void initRNG_KISS(RNG *state, RNGSeed seed)
{
    const uint32_t *w = seed.w;
    if (w[0] == 0) {
        uint32_t x = 0, y = 0, z = 0, c = 0;
        makeInitialSeedValue(&x, kKissMaxRaw);
        makeInitialSeedValue(&y, kKissMaxRaw);
        makeInitialSeedValue(&z, kKissMaxRaw);
        makeInitialSeedValue(&c, kKissCarryMax);
        state->x = x, state->y = y, state->z = z, state->c = c;
    } else if (w[1] == 0) {
        // Spread a one-word seed with the 31-bit generator so that nearby
        // seeds give unrelated xorshift and carry words.
        uint32_t s = (w[0] % 2147483645u) + 1;
        state->x = w[0];
        state->y = legacyRandStep(s);
        state->z = legacyRandStep(state->y);
        uint32_t u = legacyRandStep(state->z);
        state->c = ((u - 1) % kKissCarryMax) + 1;
    } else {
        auto fix = [](uint32_t v) { return v == 0xFFFFFFFFu ? 1u : v; };
        state->x = fix(w[0]);
        state->y = fix(w[1]);
        state->z = fix(w[2]);
        state->c = w[3] != 0 ? ((w[3] - 1) % kKissCarryMax) + 1 : 0;
    }
    state->maxRaw = kKissMaxRaw;
    state->scale = kKissScale;
    state->legacy = 0;
}

void initRNG_Legacy(RNG *state, RNGSeed seed)
{
    uint32_t x = 0;
    if (seed.w[0] != 0)
        x = ((seed.w[0] - 1) % (kLegacyModulus - 1)) + 1;
    else
        makeInitialSeedValue(&x, kLegacyModulus - 1);
    state->x = x;
    state->y = state->z = state->c = 0;
    state->maxRaw = kLegacyMaxRaw;
    state->scale = kLegacyScale;
    state->legacy = 1;
}

void initRNG(RNG *state, RNGSeed seed)
{
    if (rngSettings.generator == kRNG_Legacy)
        initRNG_Legacy(state, seed);
    else
        initRNG_KISS(state, seed);
}

bool isRNGinitialized(const RNG *state) { return state->x != 0; }

// ---------------------------------------------------------------------------
// Raw and uniform draws

uint32_t randUniRaw(RNG *state)
{
    if (state->legacy)
        return state->x = legacyRandStep(state->x);

    uint32_t x = state->x, y = state->y, z = state->z, c = state->c, r;
    do {
        y ^= y << 13;
        y ^= y >> 17;
        y ^= y << 5;
        uint64_t t = 698769069ull * z + c;
        z = static_cast<uint32_t>(t);
        c = static_cast<uint32_t>(t >> 32);
        x = 69069u * x + 12345u;
        r = x + y + z;
    } while (r == 0 || r == 0xFFFFFFFFu);
    state->x = x, state->y = y, state->z = z, state->c = c;
    return r;
}

double randUni(RNG *state) { return randUniRaw(state) / state->scale; }

double mapRandUniRawToU01(const RNG *state, uint32_t raw) { return raw / state->scale; }

uint32_t mapU01toRandUniRaw(const RNG *state, double p)
{
    if (!(p > 0.0))
        return 0;
    return static_cast<uint32_t>(std::floor(std::min(p, 1.0) * state->scale + 0.5));
}

double randUniFromInterval(RNG *state, double a, double b) { return a + (b - a) * randUni(state); }

uint32_t randomInteger(RNG *state, uint32_t n)
{
    // Rejection keeps the streams of older runs: one raw value per attempt.
    if (n == 0 || n > state->maxRaw)
        return kRandRefused;
    const uint32_t q = state->maxRaw / n;
    for (;;) {
        uint32_t v = randUniRaw(state) / q;
        if (v < n)
            return v;
    }
}

bool randomBool(RNG *state) { return randUni(state) > 0.5; }

bool randomBernoulli(RNG *state, double p) { return p > randUni(state); }

double randExponential(RNG *state, bool useZiggurat, double rate)
{
    double e = useZiggurat ? zigguratExponential(state) : -detLog(randUni(state));
    return e / rate;
}

double randExponential(RNG *state, double rate)
{
    return randExponential(state, rngSettings.expMethod == kRandExpZiggurat, rate);
}

bool randomPair(RNG *state, uint32_t n, uint32_t *first, uint32_t *second)
{
    if (n < 2 || n > state->maxRaw)
        return false;
    uint32_t i = randomInteger(state, n);
    uint32_t j = randomInteger(state, n - 1);
    *first = i;
    *second = j >= i ? j + 1 : j;
    return true;
}

// ---------------------------------------------------------------------------
// Permutations and samples

void randomUIntShuffle(RNG *state, uint32_t *a, uint32_t n) { fisherYates(state, a, n); }

void randomPtrShuffle(RNG *state, void **a, uint32_t n) { fisherYates(state, a, n); }

void randIntegerPerm(RNG *state, uint32_t *a, uint32_t n)
{
    for (uint32_t i = 0; i < n; ++i)
        a[i] = i;
    randomUIntShuffle(state, a, n);
}

void randomUByteShuffle(RNG *state, uint8_t *a, uint32_t n)
{
    // Drawing j below k (never k itself) makes the result one n-cycle.
    if (n < 2 || n > state->maxRaw)
        return;
    for (uint32_t k = n - 1; k >= 1; --k)
        std::swap(a[k], a[randomInteger(state, k)]);
}

void sampleNoReplacement(RNG *state, uint32_t *a, uint32_t k, uint32_t n) { partialSample(state, a, k, n); }

void sampleUbyteNoReplacement(RNG *state, uint8_t *a, uint32_t k, uint32_t n) { partialSample(state, a, k, n); }

bool shouldSwapTie(RNG *state, uint32_t n) { return randomInteger(state, n) == 0; }

uint32_t selectUsingCumulProbs(const double *cumProbs, uint32_t n, double u)
{
    if (n == 0)
        return 0;
    // First entry above u; the last entry when rounding left u above them all.
    const double *p = std::upper_bound(cumProbs, cumProbs + n, u);
    return p == cumProbs + n ? n - 1 : static_cast<uint32_t>(p - cumProbs);
}

// ---------------------------------------------------------------------------
// Texts

int showRNGState(const RNG *state, char *buffer, size_t size)
{
    if (state->legacy)
        return std::snprintf(buffer, size, "%u", state->x);
    return std::snprintf(buffer, size, "%u:%u:%u:%u", state->x, state->y, state->z, state->c);
}

std::string seedString(RNGSeed seed)
{
    char buf[48];
    if (seed.w[0] == 0)
        return "generated automatically";
    if (seed.w[1] != 0)
        std::snprintf(buf, sizeof buf, "%u:%u:%u:%u", seed.w[0], seed.w[1], seed.w[2], seed.w[3]);
    else
        std::snprintf(buf, sizeof buf, "%u", seed.w[0]);
    return buf;
}

// ---------------------------------------------------------------------------
// Multinomial sampling

MultinomialSampler *createMultinomialSampler(const double *weights, uint32_t n, const RNG *state)
{
    if (n == 0)
        return nullptr;
    auto *s = static_cast<MultinomialSampler *>(allocBlock(sizeof(MultinomialSampler)));
    if (s == nullptr)
        return nullptr;
    s->cutoffs = allocArrayOf<uint32_t>(n);
    if (s->cutoffs == nullptr)
        return destroyMulnomSampler(s);
    s->nCategories = n;
    s->rng = *state;
    if (resetMulnomSampler(s, weights) != 0)
        return destroyMulnomSampler(s);
    return s;
}

int resetMulnomSampler(MultinomialSampler *sampler, const double *weights)
{
    const uint32_t n = sampler->nCategories;
    auto weight = [&](uint32_t i) { return weights != nullptr ? weights[i] : 1.0; };
    double total = 0.0;
    uint32_t lastPositive = 0;
    for (uint32_t i = 0; i < n; ++i) {
        double w = weight(i);
        if (!(w >= 0.0) || !std::isfinite(w))
            return 1;
        if (w > 0.0)
            lastPositive = i;
        total += w;
    }
    if (!(total > 0.0) || !std::isfinite(total))
        return 1;

    // The top of the scale lies above every raw value; the last category with
    // any weight must reach it even when the running sum rounds below 1.
    const double scale = sampler->rng.scale;
    const uint32_t top = static_cast<uint32_t>(scale);
    double cum = 0.0;
    for (uint32_t i = 0; i < n; ++i) {
        cum += weight(i) / total;
        double c = std::floor(scale * cum + 0.5);
        sampler->cutoffs[i] = i >= lastPositive || c >= top ? top : static_cast<uint32_t>(c);
    }
    return 0;
}

MultinomialSampler *destroyMulnomSampler(MultinomialSampler *sampler)
{
    if (sampler != nullptr) {
        deallocArray(sampler->cutoffs);
        deallocBlock(sampler);
    }
    return nullptr;
}

uint32_t findMulnomCateg(const MultinomialSampler *sampler, uint32_t raw)
{
    const uint32_t *cut = sampler->cutoffs;
    if (raw <= cut[0])
        return 0;
    uint32_t lo = 0, hi = sampler->nCategories;
    for (;;) {
        uint32_t mid = (lo + hi - 1) / 2;
        if (mid > 0 && raw < cut[mid - 1])
            hi = mid;
        else if (raw >= cut[mid])
            lo = mid + 1;
        else
            return mid;
        if (lo >= hi)  // only reachable for raw values above the scale
            return sampler->nCategories - 1;
    }
}

uint32_t sampleFromMultinomial(const MultinomialSampler *sampler, RNG *state)
{
    return findMulnomCateg(sampler, randUniRaw(state));
}

void drawMulnomSample(const MultinomialSampler *sampler, RNG *state, uint32_t k, uint32_t *counts)
{
    std::fill(counts, counts + sampler->nCategories, 0u);
    for (uint32_t i = 0; i < k; ++i)
        ++counts[sampleFromMultinomial(sampler, state)];
}

void showMulNomCutoffs(const MultinomialSampler *sampler)
{
    qel_printf("\nMultinomial sampling cutoffs:\n");
    for (uint32_t i = 0; i < sampler->nCategories; ++i)
        qel_printf("%4d    %.20f    %u\n", static_cast<int>(i), sampler->cutoffs[i] / sampler->rng.scale,
                   sampler->cutoffs[i]);
}

void qel_setRandomSourcePath(const char *path)
{
    std::lock_guard<std::mutex> lock(gSourceMutex);
    if (gSourceFile != nullptr)
        std::fclose(gSourceFile);
    gSourceFile = nullptr;
    gSourceTried = false;
    gSourcePath = path != nullptr ? path : "/dev/urandom";
}

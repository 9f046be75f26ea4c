#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numeric>
#include <random>
#include <set>
#include <vector>

#include "qel/qel_malloc.h"
#include "qel/qel_sort.h"

namespace {

// Records the gaps (in elements) between the two compared addresses, or
// notes that a comparison involved an address outside the array.
struct GapRecorder {
    const unsigned char *base;
    size_t n;
    size_t size;
    std::set<size_t> gaps;
    bool outside = false;
};

int recordingCompare(const void *a, const void *b, void *arg)
{
    auto *rec = static_cast<GapRecorder *>(arg);
    auto *pa = static_cast<const unsigned char *>(a);
    auto *pb = static_cast<const unsigned char *>(b);
    const unsigned char *end = rec->base + rec->n * rec->size;
    if (pa < rec->base || pa >= end || pb < rec->base || pb >= end)
        rec->outside = true;
    else
        rec->gaps.insert(static_cast<size_t>(pb > pa ? pb - pa : pa - pb) / rec->size);
    return compareIntsAscending(a, b, nullptr);
}

std::vector<int32_t> randomInts(std::mt19937 &gen, size_t n, int32_t range)
{
    std::vector<int32_t> v(n);
    for (auto &x : v)
        x = static_cast<int32_t>(gen() % static_cast<uint32_t>(range)) - range / 2;
    return v;
}

TEST(Sorting, ShellSortGapSequence)
{
    std::mt19937 gen(1);
    auto v = randomInts(gen, 10, 100);
    GapRecorder rec{reinterpret_cast<unsigned char *>(v.data()), v.size(), sizeof(int32_t), {}};
    shellSort(v.data(), 10, sizeof(int32_t), recordingCompare, &rec);
    EXPECT_EQ(rec.gaps, (std::set<size_t>{4, 1}));
    EXPECT_TRUE(std::is_sorted(v.begin(), v.end()));

    // Threshold 0 means Shell sort for any n.
    auto w = randomInts(gen, 1000, 100000);
    GapRecorder rec2{reinterpret_cast<unsigned char *>(w.data()), w.size(), sizeof(int32_t), {}};
    sortArray(w.data(), 1000, sizeof(int32_t), recordingCompare, &rec2, 0);
    EXPECT_EQ(rec2.gaps, (std::set<size_t>{364, 121, 40, 13, 4, 1}));
    EXPECT_FALSE(rec2.outside);
    EXPECT_TRUE(std::is_sorted(w.begin(), w.end()));
}

TEST(Sorting, ThresholdSelectsTheAlgorithm)
{
    std::mt19937 gen(2);
    auto shellPattern = std::set<size_t>{364, 121, 40, 13, 4, 1};
    auto w = randomInts(gen, 1000, 100000);
    GapRecorder rec{reinterpret_cast<unsigned char *>(w.data()), w.size(), sizeof(int32_t), {}};
    sortArray(w.data(), 1000, sizeof(int32_t), recordingCompare, &rec, 1);
    EXPECT_TRUE(rec.outside || rec.gaps != shellPattern);
    EXPECT_TRUE(std::is_sorted(w.begin(), w.end()));

    // Just below the threshold: Shell sort; at it: quicksort.
    auto a = randomInts(gen, 499, 100000);
    GapRecorder ra{reinterpret_cast<unsigned char *>(a.data()), a.size(), sizeof(int32_t), {}};
    sortArray(a.data(), 499, sizeof(int32_t), recordingCompare, &ra, 500);
    EXPECT_EQ(ra.gaps, (std::set<size_t>{364, 121, 40, 13, 4, 1}));
    auto b = randomInts(gen, 500, 100000);
    GapRecorder rb{reinterpret_cast<unsigned char *>(b.data()), b.size(), sizeof(int32_t), {}};
    sortArray(b.data(), 500, sizeof(int32_t), recordingCompare, &rb, 500);
    EXPECT_TRUE(rb.outside || rb.gaps != ra.gaps);
    EXPECT_TRUE(std::is_sorted(b.begin(), b.end()));

    int32_t one = 7;
    sortArray(&one, 1, sizeof one, compareIntsAscending, nullptr, 1);
    EXPECT_EQ(one, 7);
    sortArray(nullptr, 0, sizeof one, compareIntsAscending, nullptr, 0);
}

// Many sizes, heavy ties, both algorithms, both directions, against std::sort.
TEST(Sorting, DoublesMatchStdSort)
{
    std::mt19937_64 gen(3);
    for (int trial = 0; trial < 400; trial++) {
        size_t n = gen() % 700;
        int distinct = 1 + static_cast<int>(gen() % 40);
        std::vector<double> v(n);
        for (auto &x : v)
            x = static_cast<double>(static_cast<int>(gen() % distinct)) * 0.5 - 3.0;
        std::vector<double> want = v;
        std::sort(want.begin(), want.end());
        std::vector<double> viaShell = v, viaQuick = v, down = v;
        sortArray(viaShell.data(), static_cast<uint32_t>(n), sizeof(double), compareDoublesAscending, nullptr, 0);
        sortArray(viaQuick.data(), static_cast<uint32_t>(n), sizeof(double), compareDoublesAscending, nullptr, 1);
        shellSort(down.data(), static_cast<uint32_t>(n), sizeof(double), compareDoublesDescending, nullptr);
        ASSERT_EQ(viaShell, want) << trial;
        ASSERT_EQ(viaQuick, want) << trial;
        std::reverse(down.begin(), down.end());
        ASSERT_EQ(down, want) << trial;
    }
}

struct Wide {
    int32_t key;
    unsigned char payload[296];   // over 256 bytes: exchanged in chunks
};

int compareWide(const void *a, const void *b, void *)
{
    return compareIntsAscending(&static_cast<const Wide *>(a)->key, &static_cast<const Wide *>(b)->key, nullptr);
}

TEST(Sorting, EverySwapMethodKeepsRecordsWhole)
{
    std::mt19937 gen(4);
    // 300-byte records: the payload must travel with its key.
    std::vector<Wide> recs(257);
    for (auto &r : recs) {
        r.key = static_cast<int32_t>(gen() % 50);
        std::memset(r.payload, r.key, sizeof r.payload);
    }
    shellSort(recs.data(), static_cast<uint32_t>(recs.size()), sizeof(Wide), compareWide, nullptr);
    for (size_t i = 0; i < recs.size(); i++) {
        if (i > 0) {
            EXPECT_LE(recs[i - 1].key, recs[i].key);
        }
        EXPECT_EQ(recs[i].payload[0], recs[i].key);
        EXPECT_EQ(recs[i].payload[295], recs[i].key);
    }

    // Misaligned 8- and 4-byte elements fall back to the byte-chunk exchange.
    alignas(8) unsigned char buf[1 + 8 * 64];
    EXPECT_EQ(chooseSwapMethod(buf + 1, 8), SwapMethod::chunks);
    EXPECT_EQ(chooseSwapMethod(buf, 8), SwapMethod::words64);
    EXPECT_EQ(chooseSwapMethod(buf + 4, 4), SwapMethod::words32);
    EXPECT_EQ(chooseSwapMethod(buf + 1, 4), SwapMethod::chunks);
    EXPECT_EQ(chooseSwapMethod(buf + 3, 1), SwapMethod::bytes);
    EXPECT_EQ(chooseSwapMethod(buf, 12), SwapMethod::chunks);
    std::vector<double> vals(64);
    for (auto &x : vals)
        x = static_cast<double>(gen() % 1000) / 7.0;
    std::memcpy(buf + 1, vals.data(), 8 * 64);
    shellSort(buf + 1, 64, 8, compareDoublesAscending, nullptr);
    std::vector<double> got(64);
    std::memcpy(got.data(), buf + 1, 8 * 64);
    std::sort(vals.begin(), vals.end());
    EXPECT_EQ(got, vals);

    std::vector<signed char> chars = {5, -3, 100, -128, 0, 127, -3};
    shellSort(chars.data(), static_cast<uint32_t>(chars.size()), 1, compareCharsAscending, nullptr);
    EXPECT_EQ(chars, (std::vector<signed char>{-128, -3, -3, 0, 5, 100, 127}));
}

TEST(Sorting, ComparatorTable)
{
    struct Case {
        CompareFxn fxn;
        const void *a;
        const void *b;
        int sign;
    };
    const signed char cm1 = -1, c1 = 1;
    const char lowA = 'a', upA = 'A', upB = 'B';
    const uint32_t u0 = 0, uMax = 0xFFFFFFFFu;
    const int32_t iMin = INT32_MIN, iOne = 1, iMax = INT32_MAX, iTwo = 2;
    const float f1 = 1.0f, f2 = 2.5f;
    const double d1 = -1e300, d2 = 1e-300;
    const Case cases[] = {
        {compareCharsAscending, &cm1, &c1, -1},
        {compareCharsDescending, &cm1, &c1, 1},
        {compareCharsAscendingIgnoreCase, &lowA, &upA, 0},
        {compareCharsAscendingIgnoreCase, &lowA, &upB, -1},
        {compareCharsDescendingIgnoreCase, &lowA, &upB, 1},
        {compareUIntsAscending, &u0, &uMax, -1},
        {compareUIntsDescending, &u0, &uMax, 1},
        {compareUIntsAscending, &uMax, &uMax, 0},
        // Differences beyond the int range must still order correctly.
        {compareIntsAscending, &iMin, &iOne, -1},
        {compareIntsAscending, &iMax, &iMin, 1},
        {compareIntsDescending, &iMin, &iMax, 1},
        {compareIntsAscending, &iTwo, &iTwo, 0},
        {compareFloatsAscending, &f1, &f2, -1},
        {compareFloatsDescending, &f1, &f2, 1},
        {compareDoublesAscending, &d1, &d2, -1},
        {compareDoublesDescending, &d1, &d2, 1},
        {compareDoublesAscending, &d2, &d2, 0},
    };
    for (size_t i = 0; i < std::size(cases); i++) {
        int r = cases[i].fxn(cases[i].a, cases[i].b, nullptr);
        EXPECT_EQ((r > 0) - (r < 0), cases[i].sign) << "case " << i;
    }
    // Small differences are returned exactly.
    const int32_t i5 = 5, i3 = 3;
    EXPECT_EQ(compareIntsAscending(&i5, &i3, nullptr), 2);
    EXPECT_EQ(compareIntsDescending(&i5, &i3, nullptr), -2);
    EXPECT_EQ(compareCharsAscending(&c1, &cm1, nullptr), 2);
    // Float and double comparators answer -1, 0, 1 only.
    EXPECT_EQ(compareDoublesAscending(&d2, &d1, nullptr), 1);
}

TEST(Sorting, IndexedSortIsStable)
{
    clearMemoryErrorStatus();
    const int32_t keys[] = {5, 3, 5, 1};
    uint32_t *idx = indexedSort(keys, 4, sizeof(int32_t), compareIntsAscending, 0, nullptr, nullptr);
    ASSERT_NE(idx, nullptr);
    EXPECT_EQ(std::vector<uint32_t>(idx, idx + 4), (std::vector<uint32_t>{3, 1, 0, 2}));
    deallocArray(idx);
    EXPECT_EQ(indexedSort(nullptr, 4, sizeof(int32_t), compareIntsAscending, 0, nullptr, nullptr), nullptr);

    std::mt19937 gen(6);
    for (int trial = 0; trial < 300; trial++) {
        uint32_t n = 1 + gen() % 600;
        auto k = randomInts(gen, n, 1 + static_cast<int32_t>(gen() % 30));
        std::vector<uint32_t> want(n);
        std::iota(want.begin(), want.end(), 0u);
        std::stable_sort(want.begin(), want.end(), [&](uint32_t a, uint32_t b) { return k[a] < k[b]; });
        std::vector<uint32_t> given(n, 12345);
        uint32_t threshold = trial % 2 == 0 ? 0 : 1;
        uint32_t *got = indexedSort(k.data(), n, sizeof(int32_t), compareIntsAscending, threshold, given.data(), nullptr);
        ASSERT_EQ(got, given.data());
        ASSERT_EQ(given, want) << trial;
    }
}

void swapStrings(void *base, uint32_t i, uint32_t j, void *)
{
    auto *v = static_cast<std::string *>(base);
    std::swap(v[i], v[j]);
}

TEST(Sorting, RearrangeByPermutation)
{
    clearMemoryErrorStatus();
    char abc[] = {'a', 'b', 'c'};
    const uint32_t p[] = {2, 0, 1};
    EXPECT_EQ(rearrangeArray(abc, 3, 1, p, nullptr), 0);
    EXPECT_EQ(std::string(abc, 3), "cab");

    std::mt19937 gen(7);
    for (int trial = 0; trial < 300; trial++) {
        uint32_t n = gen() % 300;
        std::vector<uint32_t> perm(n);
        std::iota(perm.begin(), perm.end(), 0u);
        std::shuffle(perm.begin(), perm.end(), gen);
        std::vector<double> v(n);
        for (auto &x : v)
            x = static_cast<double>(gen());
        std::vector<double> want(n);
        for (uint32_t i = 0; i < n; i++)
            want[i] = v[perm[i]];
        ASSERT_EQ(rearrangeArray(v.data(), n, sizeof(double), perm.data(), nullptr), 0);
        ASSERT_EQ(v, want) << trial;
    }

    // Through a swap function, for elements that cannot be moved bytewise.
    std::vector<std::string> s = {"zero", "one", "two", "three", "four"};
    const uint32_t q[] = {4, 2, 0, 3, 1};
    EXPECT_EQ(rearrangeArray(s.data(), 5, sizeof(std::string), q, swapStrings), 0);
    EXPECT_EQ(s, (std::vector<std::string>{"four", "two", "zero", "three", "one"}));

    // Sorting by an index and rearranging by it gives the sorted array.
    auto keys = randomInts(gen, 200, 20);
    uint32_t *idx = indexedSort(keys.data(), 200, sizeof(int32_t), compareIntsAscending, 1, nullptr, nullptr);
    ASSERT_NE(idx, nullptr);
    ASSERT_EQ(rearrangeArray(keys.data(), 200, sizeof(int32_t), idx, nullptr), 0);
    EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
    deallocArray(idx);
}

TEST(Sorting, RearrangeRefusesBadPermutationsAndMemoryFailure)
{
    clearMemoryErrorStatus();
    int32_t v[] = {10, 20, 30, 40};
    const uint32_t dup[] = {0, 1, 1, 3};
    const uint32_t outOfRange[] = {0, 1, 2, 4};
    EXPECT_EQ(rearrangeArray(v, 4, sizeof(int32_t), dup, nullptr), 1);
    EXPECT_EQ(rearrangeArray(v, 4, sizeof(int32_t), outOfRange, nullptr), 1);
    const uint32_t rev[] = {3, 2, 1, 0};
    setAllocQuietFailure(true);
    qel_setAllocFailureCountdown(0);
    EXPECT_EQ(rearrangeArray(v, 4, sizeof(int32_t), rev, nullptr), 1);
    qel_setAllocFailureCountdown(-1);
    setAllocQuietFailure(false);
    clearMemoryErrorStatus();
    EXPECT_EQ(std::vector<int32_t>(v, v + 4), (std::vector<int32_t>{10, 20, 30, 40}));
    EXPECT_EQ(rearrangeArray(v, 4, sizeof(int32_t), rev, nullptr), 0);
    EXPECT_EQ(std::vector<int32_t>(v, v + 4), (std::vector<int32_t>{40, 30, 20, 10}));
    EXPECT_EQ(rearrangeArray(v, 1, sizeof(int32_t), dup, nullptr), 0);   // nothing to do
}

TEST(Sorting, SortThreeDoubles)
{
    double lo, mid, hi;
    EXPECT_EQ(sort3DoublesAscending(&lo, &mid, &hi, 2, 2, 1), 2u);
    EXPECT_EQ(lo, 1.0);
    EXPECT_EQ(hi, 2.0);
    EXPECT_EQ(sort3DoublesAscending(&lo, &mid, &hi, 1, 1, 3), 0u);
    EXPECT_EQ(sort3DoublesAscending(&lo, &mid, &hi, 3, 1, 1), 1u);
    const double vals[] = {-2.0, 0.0, 0.0, 4.0};
    for (double x : vals)
        for (double y : vals)
            for (double z : vals) {
                uint32_t k = sort3DoublesAscending(&lo, &mid, &hi, x, y, z);
                double s[] = {x, y, z};
                std::sort(s, s + 3);
                EXPECT_EQ(lo, s[0]);
                EXPECT_EQ(mid, s[1]);
                EXPECT_EQ(hi, s[2]);
                const double in[] = {x, y, z};
                EXPECT_EQ(in[k], s[0]);
                for (uint32_t j = 0; j < k; j++)
                    EXPECT_GT(in[j], s[0]);   // the first smallest is named
            }
}

}   // namespace

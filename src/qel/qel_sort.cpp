#include "qel/qel_sort.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "qel/qel_malloc.h"

namespace {

// Elements may sit at any address (records packed into byte buffers), so
// they are read through memcpy, which costs nothing when aligned.
template <typename T>
T load(const void *p)
{
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// True when n elements of the given size span an addressable byte count.
bool sizeFits(uint32_t n, uint64_t size)
{
    uint64_t bytes;
    return checkedSizeProduct(n, size, &bytes) && bytes <= SIZE_MAX;
}

struct IndirectKeys {
    const unsigned char *keys;
    uint64_t keySize;
    CompareFxn compare;
    void *arg;
};

// Orders two indices by their keys, then by the indices themselves, so
// that the order is total and equal keys keep their positions.
int compareIndirect(const void *a, const void *b, void *arg)
{
    const auto *ctx = static_cast<const IndirectKeys *>(arg);
    uint32_t ia = load<uint32_t>(a);
    uint32_t ib = load<uint32_t>(b);
    int c = ctx->compare(ctx->keys + ia * ctx->keySize, ctx->keys + ib * ctx->keySize, ctx->arg);
    if (c != 0)
        return c;
    return ia < ib ? -1 : (ia > ib ? 1 : 0);
}

template <typename T>
int sign3(T a, T b)
{
    return a < b ? -1 : (a > b ? 1 : 0);
}

// The exact difference when it fits an int; otherwise its sign at full
// magnitude, so that widely separated values still order correctly.
int clampedDifference(int64_t d)
{
    if (d > INT32_MAX)
        return INT32_MAX;
    if (d < -INT32_MAX)
        return -INT32_MAX;
    return static_cast<int>(d);
}

}   // namespace

SwapMethod chooseSwapMethod(const void *base, uint64_t size)
{
    auto addr = reinterpret_cast<uintptr_t>(base);
    if (size == 1)
        return SwapMethod::bytes;
    if (size == 4 && addr % 4 == 0)
        return SwapMethod::words32;
    if (size == 8 && addr % 8 == 0)
        return SwapMethod::words64;
    return SwapMethod::chunks;
}

void swapItems(void *a, void *b, uint64_t size, SwapMethod method)
{
    switch (method) {
    case SwapMethod::bytes:
        std::swap(*static_cast<unsigned char *>(a), *static_cast<unsigned char *>(b));
        return;
    case SwapMethod::words32:
        std::swap(*static_cast<uint32_t *>(a), *static_cast<uint32_t *>(b));
        return;
    case SwapMethod::words64:
        std::swap(*static_cast<uint64_t *>(a), *static_cast<uint64_t *>(b));
        return;
    case SwapMethod::chunks:
        break;
    }
    unsigned char buf[256];
    auto *pa = static_cast<unsigned char *>(a);
    auto *pb = static_cast<unsigned char *>(b);
    while (size > 0) {
        size_t k = size < sizeof buf ? static_cast<size_t>(size) : sizeof buf;
        std::memcpy(buf, pa, k);
        std::memcpy(pa, pb, k);
        std::memcpy(pb, buf, k);
        pa += k;
        pb += k;
        size -= k;
    }
}

void quickSort(void *base, uint32_t n, uint64_t size, CompareFxn compare, void *arg)
{
    if (n < 2 || !sizeFits(n, size))
        return;
    qsort_r(base, n, static_cast<size_t>(size), compare, arg);
}

void shellSort(void *base, uint32_t n, uint64_t size, CompareFxn compare, void *arg)
{
    if (n < 2 || !sizeFits(n, size))
        return;
    SwapMethod method = chooseSwapMethod(base, size);
    auto *bytes = static_cast<unsigned char *>(base);
    uint64_t gap = 1;
    while (gap <= n)
        gap = 3 * gap + 1;
    do {
        gap /= 3;
        // Passes at this gap until one makes no exchange.
        bool exchanged;
        do {
            exchanged = false;
            unsigned char *lo = bytes;
            unsigned char *hi = bytes + gap * size;
            for (uint64_t i = gap; i < n; i++, lo += size, hi += size) {
                if (compare(lo, hi, arg) > 0) {
                    swapItems(lo, hi, size, method);
                    exchanged = true;
                }
            }
        } while (exchanged);
    } while (gap > 1);
}

void sortArray(void *base, uint32_t n, uint64_t size, CompareFxn compare, void *arg, uint32_t threshold)
{
    if (threshold != 0 && n >= threshold)
        quickSort(base, n, size, compare, arg);
    else
        shellSort(base, n, size, compare, arg);
}

uint32_t *indexedSort(const void *keys, uint32_t n, uint64_t keySize, CompareFxn compare, uint32_t threshold,
                      uint32_t *index, void *arg)
{
    if (!keys || !sizeFits(n, keySize))
        return nullptr;
    if (!index) {
        index = allocArrayOf<uint32_t>(n);
        if (!index)
            return nullptr;
    }
    for (uint32_t i = 0; i < n; i++)
        index[i] = i;
    IndirectKeys ctx{static_cast<const unsigned char *>(keys), keySize, compare, arg};
    sortArray(index, n, sizeof(uint32_t), compareIndirect, &ctx, threshold);
    return index;
}

int rearrangeArray(void *base, uint32_t n, uint64_t size, const uint32_t *permutation, SwapFxn swap)
{
    if (n < 2)
        return 0;
    if (!sizeFits(n, size))
        return 1;
    uint32_t *pos = allocArrayOf<uint32_t>(n);
    if (!pos)
        return 1;
    // pos[k] is where the element now at k has to go. A duplicate or
    // out-of-range entry would make the cycle walk run off the table.
    std::fill_n(pos, n, UINT32_MAX);
    for (uint32_t i = 0; i < n; i++) {
        uint32_t p = permutation[i];
        if (p >= n || pos[p] != UINT32_MAX) {
            deallocArray(pos);
            return 1;
        }
        pos[p] = i;
    }
    auto *bytes = static_cast<unsigned char *>(base);
    SwapMethod method = chooseSwapMethod(base, size);
    for (uint32_t i = 0; i + 1 < n; i++) {
        while (pos[i] != i) {
            uint32_t j = pos[i];
            if (swap)
                swap(base, i, j, nullptr);
            else
                swapItems(bytes + i * size, bytes + j * size, size, method);
            pos[i] = pos[j];
            pos[j] = j;
        }
    }
    deallocArray(pos);
    return 0;
}

uint32_t sort3DoublesAscending(double *smallest, double *middle, double *largest, double x, double y, double z)
{
    double v[3] = {x, y, z};
    std::sort(v, v + 3);
    *smallest = v[0];
    *middle = v[1];
    *largest = v[2];
    if (x <= y && x <= z)
        return 0;
    if (y <= x && y <= z)
        return 1;
    return 2;
}

int compareCharsAscending(const void *a, const void *b, void *)
{
    return *static_cast<const signed char *>(a) - *static_cast<const signed char *>(b);
}

int compareCharsDescending(const void *a, const void *b, void *)
{
    return *static_cast<const signed char *>(b) - *static_cast<const signed char *>(a);
}

int compareCharsAscendingIgnoreCase(const void *a, const void *b, void *)
{
    return std::toupper(*static_cast<const unsigned char *>(a)) - std::toupper(*static_cast<const unsigned char *>(b));
}

int compareCharsDescendingIgnoreCase(const void *a, const void *b, void *)
{
    return std::toupper(*static_cast<const unsigned char *>(b)) - std::toupper(*static_cast<const unsigned char *>(a));
}

int compareUIntsAscending(const void *a, const void *b, void *)
{
    return sign3(load<uint32_t>(a), load<uint32_t>(b));
}

int compareUIntsDescending(const void *a, const void *b, void *)
{
    return sign3(load<uint32_t>(b), load<uint32_t>(a));
}

int compareIntsAscending(const void *a, const void *b, void *)
{
    return clampedDifference(int64_t{load<int32_t>(a)} - load<int32_t>(b));
}

int compareIntsDescending(const void *a, const void *b, void *)
{
    return clampedDifference(int64_t{load<int32_t>(b)} - load<int32_t>(a));
}

int compareFloatsAscending(const void *a, const void *b, void *)
{
    return sign3(load<float>(a), load<float>(b));
}

int compareFloatsDescending(const void *a, const void *b, void *)
{
    return sign3(load<float>(b), load<float>(a));
}

int compareDoublesAscending(const void *a, const void *b, void *)
{
    return sign3(load<double>(a), load<double>(b));
}

int compareDoublesDescending(const void *a, const void *b, void *)
{
    return sign3(load<double>(b), load<double>(a));
}

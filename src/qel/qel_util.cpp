#include "qel/qel_util.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <chrono>
#include <thread>

#include "qel/qel_malloc.h"
#include "qel/qel_math.h"

void setDoubleArrayToValue(double *v, uint32_t n, double x) { std::fill_n(v, n, x); }
void setIntArrayToValue(int32_t *v, uint32_t n, int32_t x) { std::fill_n(v, n, x); }
void setUintArrayToValue(uint32_t *v, uint32_t n, uint32_t x) { std::fill_n(v, n, x); }
void setPtrArrayToValue(void **v, uint32_t n, void *x) { std::fill_n(v, n, x); }

void setDoubleMatrixToValue(double **m, uint32_t rows, uint32_t cols, double x)
{
    for (uint32_t i = 0; i < rows; i++)
        std::fill_n(m[i], cols, x);
}

float *copyDoubleArrayToFloat(const double *src, float *dst, uint32_t n)
{
    for (uint32_t i = 0; i < n; i++)
        dst[i] = static_cast<float>(src[i]);
    return dst;
}

void *concatArrays(void *a, uint32_t na, const void *b, uint32_t nb, void *out, uint64_t size)
{
    uint64_t bytesA, bytesB;
    if (!checkedSizeProduct(na, size, &bytesA) || !checkedSizeProduct(nb, size, &bytesB))
        return nullptr;
    auto *dst = static_cast<unsigned char *>(out);
    if (out != a && bytesA != 0)
        std::memmove(dst, a, bytesA);
    if (bytesB != 0)
        std::memmove(dst + bytesA, b, bytesB);
    return a;
}

double doubleArraySum(const double *v, uint32_t n)
{
    double s = 0.0;
    for (uint32_t i = 0; i < n; i++)
        s += v[i];
    return s;
}

int32_t intArraySum(const int32_t *v, uint32_t n)
{
    uint32_t s = 0;   // unsigned so that wrap-around is defined
    for (uint32_t i = 0; i < n; i++)
        s += static_cast<uint32_t>(v[i]);
    return static_cast<int32_t>(s);
}

uint32_t uintArraySum(const uint32_t *v, uint32_t n)
{
    uint32_t s = 0;
    for (uint32_t i = 0; i < n; i++)
        s += v[i];
    return s;
}

double doubleMatrixRowSum(double *const *m, uint32_t n, uint32_t row) { return doubleArraySum(m[row], n); }

double doubleMatrixColSum(double *const *m, uint32_t n, uint32_t col)
{
    double s = 0.0;
    for (uint32_t i = 0; i < n; i++)
        s += m[i][col];
    return s;
}

double doubleTrace(double *const *m, uint32_t n)
{
    double s = 0.0;
    for (uint32_t i = 0; i < n; i++)
        s += m[i][i];
    return s;
}

double doubleArrayMin(const double *v, uint32_t n)
{
    double m = kLargestDouble;
    for (uint32_t i = 0; i < n; i++)
        if (v[i] < m)
            m = v[i];
    return m;
}

double doubleArrayMax(const double *v, uint32_t n)
{
    double m = -kLargestDouble;
    for (uint32_t i = 0; i < n; i++)
        if (v[i] > m)
            m = v[i];
    return m;
}

int32_t intArrayMin(const int32_t *v, uint32_t n)
{
    int32_t m = INT32_MAX;
    for (uint32_t i = 0; i < n; i++)
        m = std::min(m, v[i]);
    return m;
}

int32_t intArrayMax(const int32_t *v, uint32_t n)
{
    int32_t m = INT32_MIN;
    for (uint32_t i = 0; i < n; i++)
        m = std::max(m, v[i]);
    return m;
}

uint32_t uintArrayMin(const uint32_t *v, uint32_t n)
{
    uint32_t m = UINT32_MAX;
    for (uint32_t i = 0; i < n; i++)
        m = std::min(m, v[i]);
    return m;
}

uint32_t uintArrayMax(const uint32_t *v, uint32_t n)
{
    uint32_t m = 0;
    for (uint32_t i = 0; i < n; i++)
        m = std::max(m, v[i]);
    return m;
}

uint32_t doubleArraySmallestElement(const double *v, uint32_t n)
{
    uint32_t k = 0;
    for (uint32_t i = 1; i < n; i++)
        if (v[i] < v[k])
            k = i;
    return k;
}

uint32_t doubleArrayLargestElement(const double *v, uint32_t n)
{
    uint32_t k = 0;
    for (uint32_t i = 1; i < n; i++)
        if (v[i] > v[k])
            k = i;
    return k;
}

double fmax3(double x, double y, double z) { return std::fmax(std::fmax(x, y), z); }
double fmin3(double x, double y, double z) { return std::fmin(std::fmin(x, y), z); }
double fmedian3(double x, double y, double z) { return std::fmax(std::fmin(x, y), std::fmin(std::fmax(x, y), z)); }

void reverseDoubleArray(double *v, uint32_t n) { std::reverse(v, v + n); }
void reversePtrArray(void **v, uint32_t n) { std::reverse(v, v + n); }

void normalizeWeights(const double *w, uint32_t n, double *out)
{
    double s = doubleArraySum(w, n);
    if (s == 0.0)
        return;
    for (uint32_t i = 0; i < n; i++)
        out[i] = w[i] / s;
}

void forceMinimumValue(double *v, uint32_t n, double floor)
{
    for (uint32_t i = 0; i < n; i++)
        if (v[i] < floor)
            v[i] = floor;
}

void initIndexArray(uint32_t *a, uint32_t n)
{
    for (uint32_t i = 0; i < n; i++)
        a[i] = i;
}

uint32_t *createIndexArray(uint32_t n)
{
    uint32_t *a = allocArrayOf<uint32_t>(n);
    if (a)
        initIndexArray(a, n);
    return a;
}

namespace {

template <typename T>
uint32_t binarySearch(T key, const T *a, uint32_t n, uint32_t absent)
{
    // Half-open range [lo, hi); the midpoint never overflows.
    uint32_t lo = 0, hi = n;
    while (lo < hi) {
        uint32_t mid = lo + (hi - lo) / 2;
        if (a[mid] < key)
            lo = mid + 1;
        else if (key < a[mid])
            hi = mid;
        else
            return mid;
    }
    return absent;
}

}   // namespace

uint32_t binarySearchInt(int32_t key, const int32_t *a, uint32_t n) { return binarySearch(key, a, n, kIntNotFound); }
uint32_t binarySearchUint(uint32_t key, const uint32_t *a, uint32_t n) { return binarySearch(key, a, n, kUintNotFound); }

// usleep may refuse a second or more, and ms x 1000 would overflow 32 bits.
void mySleep(uint32_t ms) { std::this_thread::sleep_for(std::chrono::microseconds(uint64_t{ms} * 1000u)); }

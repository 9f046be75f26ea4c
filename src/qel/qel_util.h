// Small array utilities (fill, sum, extremes, reverse, normalise, search)
// and a millisecond sleep. A "matrix" is an array of row pointers.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr uint32_t kIntNotFound = 2147483647u;
inline constexpr uint32_t kUintNotFound = 4294967295u;

void setDoubleArrayToValue(double *v, uint32_t n, double x);
void setIntArrayToValue(int32_t *v, uint32_t n, int32_t x);
void setUintArrayToValue(uint32_t *v, uint32_t n, uint32_t x);
void setPtrArrayToValue(void **v, uint32_t n, void *x);
void setDoubleMatrixToValue(double **m, uint32_t rows, uint32_t cols, double x);
float *copyDoubleArrayToFloat(const double *src, float *dst, uint32_t n);
// Copies na elements of a (unless out is a) then nb elements of b behind
// them into out. Returns a, or null when the byte counts overflow.
void *concatArrays(void *a, uint32_t na, const void *b, uint32_t nb, void *out, uint64_t size);

double doubleArraySum(const double *v, uint32_t n);
int32_t intArraySum(const int32_t *v, uint32_t n);     // wraps in 32 bits
uint32_t uintArraySum(const uint32_t *v, uint32_t n);  // wraps in 32 bits
double doubleMatrixRowSum(double *const *m, uint32_t n, uint32_t row);
double doubleMatrixColSum(double *const *m, uint32_t n, uint32_t col);
double doubleTrace(double *const *m, uint32_t n);

double doubleArrayMin(const double *v, uint32_t n);
double doubleArrayMax(const double *v, uint32_t n);
int32_t intArrayMin(const int32_t *v, uint32_t n);
int32_t intArrayMax(const int32_t *v, uint32_t n);
uint32_t uintArrayMin(const uint32_t *v, uint32_t n);
uint32_t uintArrayMax(const uint32_t *v, uint32_t n);
// Index of the first smallest / largest element; 0 when n <= 1.
uint32_t doubleArraySmallestElement(const double *v, uint32_t n);
uint32_t doubleArrayLargestElement(const double *v, uint32_t n);

double fmax3(double x, double y, double z);
double fmin3(double x, double y, double z);
double fmedian3(double x, double y, double z);

void reverseDoubleArray(double *v, uint32_t n);
void reversePtrArray(void **v, uint32_t n);
// out[i] = w[i] / sum(w); nothing is written when the sum is 0. out may be w.
void normalizeWeights(const double *w, uint32_t n, double *out);
void forceMinimumValue(double *v, uint32_t n, double floor);

void initIndexArray(uint32_t *a, uint32_t n);
uint32_t *createIndexArray(uint32_t n);

// Index of an element equal to key in an ascending array, or the
// not-found value of the element type.
uint32_t binarySearchInt(int32_t key, const int32_t *a, uint32_t n);
uint32_t binarySearchUint(uint32_t key, const uint32_t *a, uint32_t n);

void mySleep(uint32_t ms);

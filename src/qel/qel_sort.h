// Sorting: the platform's reentrant quicksort or an in-place Shell sort
// chosen by a threshold, an index sort that orders a permutation instead of
// the data, rearrangement by such a permutation, and the standard
// comparators. Comparators receive pointers to two elements and the caller's
// extra argument and return a negative, zero or positive value.
#pragma once

#include <cstdint>

using CompareFxn = int (*)(const void *a, const void *b, void *arg);
// Exchanges elements i and j of the array at base.
using SwapFxn = void (*)(void *base, uint32_t i, uint32_t j, void *arg);

enum class SwapMethod : uint8_t { bytes, words32, words64, chunks };

// Quicksort when threshold is nonzero and n >= threshold, else Shell sort:
// callers pass 1 to always use quicksort and 0 to always use Shell sort.
void sortArray(void *base, uint32_t n, uint64_t size, CompareFxn compare, void *arg, uint32_t threshold);
void quickSort(void *base, uint32_t n, uint64_t size, CompareFxn compare, void *arg);
// Not stable.
void shellSort(void *base, uint32_t n, uint64_t size, CompareFxn compare, void *arg);

// Fills index (allocated when null) with 0..n-1 ordered so that the keys
// they name ascend; equal keys keep their index order. Returns the index
// array, or null when the keys are null, n is 0 with no index given, or
// the allocation failed.
uint32_t *indexedSort(const void *keys, uint32_t n, uint64_t keySize, CompareFxn compare, uint32_t threshold,
                      uint32_t *index, void *arg);

// Reorders in place so that new element i is old element permutation[i].
// With a swap function, swap(base, i, j, null) exchanges elements. Returns 1
// when the work array cannot be allocated or the permutation is not one of
// 0..n-1 (the array is then untouched), else 0.
int rearrangeArray(void *base, uint32_t n, uint64_t size, const uint32_t *permutation, SwapFxn swap);

// Writes x, y, z in ascending order; returns 0, 1 or 2 for the input that
// was the smallest (the first such on ties).
uint32_t sort3DoublesAscending(double *smallest, double *middle, double *largest, double x, double y, double z);

SwapMethod chooseSwapMethod(const void *base, uint64_t size);
void swapItems(void *a, void *b, uint64_t size, SwapMethod method);

int compareCharsAscending(const void *a, const void *b, void *arg);
int compareCharsDescending(const void *a, const void *b, void *arg);
int compareCharsAscendingIgnoreCase(const void *a, const void *b, void *arg);
int compareCharsDescendingIgnoreCase(const void *a, const void *b, void *arg);
int compareUIntsAscending(const void *a, const void *b, void *arg);
int compareUIntsDescending(const void *a, const void *b, void *arg);
int compareIntsAscending(const void *a, const void *b, void *arg);
int compareIntsDescending(const void *a, const void *b, void *arg);
int compareFloatsAscending(const void *a, const void *b, void *arg);
int compareFloatsDescending(const void *a, const void *b, void *arg);
int compareDoublesAscending(const void *a, const void *b, void *arg);
int compareDoublesDescending(const void *a, const void *b, void *arg);

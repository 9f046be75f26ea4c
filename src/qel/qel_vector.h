// Vector: a growable array that holds elements by value, holds caller
// pointers, or owns pooled copies of its elements.
//
// A pooled vector (kVectorPointers | kVectorCopies) keeps its copies either
// in a second, contiguous Vector (kVectorContiguousPool; element addresses
// move when it grows and the slots are then updated) or in a chain of blocks
// that never move (element addresses are stable for the vector's life).
#pragma once

#include <cstdint>

inline constexpr uint32_t kVectorPointers = 1;        // slots hold pointers
inline constexpr uint32_t kVectorCopies = 2;          // elements are copied in
inline constexpr uint32_t kVectorOwnsElements = 4;    // pointed-to elements freed
inline constexpr uint32_t kVectorContiguousPool = 8;  // pool is a second Vector

// Called with code 1 after an element was added (nonzero means failure) and
// with code 0 when an element is disposed of.
using VectorElementFxn = int (*)(void *element, int code);
// Comparator of the sorting services: compare(a, b, extra).
using VectorCompareFxn = int (*)(const void *a, const void *b, void *extra);

struct Vector;

struct VectorBlock {
    uint32_t nUsed;
    uint32_t maxIndex;  // highest slot index this block serves
    unsigned char *elements;
    VectorBlock *next;
    uint32_t nElements;  // room in this block
};

struct VectorPool {
    Vector *elementVector;  // contiguous pools only
    uint64_t elementSize;
    VectorBlock *firstBlock;  // block pools only
    VectorBlock *lastBlock;
};

struct Vector {
    void *data;
    uint64_t slotSize;
    uint32_t count;
    uint32_t capacity;
    uint32_t increment;  // 0: the capacity doubles
    VectorPool *pool;
    VectorElementFxn callback;
    uint32_t flags;
};

Vector *createVector(uint32_t capacity, uint32_t increment, uint64_t elementSize, uint32_t flags,
                     VectorElementFxn callback);
Vector *allocVector(uint32_t capacity, uint32_t increment, uint64_t slotSize, uint32_t flags);
// Returns the stored element's address (the slot's address for a vector of
// bare pointers); null on failure, and the vector is then unchanged unless
// the element callback refused the element (it stays in the vector).
void *appendElementToVector(const void *element, Vector *v);
// The stored pointer for pointer vectors, else the slot's address; null
// when i is out of range.
void *getVectorElement(const Vector *v, uint32_t i);
// 0 on success, 1 when i is out of range.
int removeVectorElementAt(Vector *v, uint32_t i);
void clearVector(Vector *v);
int setVectorSize(Vector *v, uint32_t n);
int ensureVectorCapacity(Vector *v, uint32_t n);
int trimVectorToSize(Vector *v);
void detachVectorData(Vector *v);
int sortVector(Vector *v, VectorCompareFxn compare);
Vector *destroyVector(Vector *v);

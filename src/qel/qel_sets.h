// Sets of taxa or characters as bits of 64-bit words, and bare bit vectors.
//
// Member m is bit (m mod 64) of word m / 64. Bits at and above a set's
// capacity are always clear; every operation keeps them clear, so word-wise
// algebra and counting never need a final mask. A set of up to 64 members
// keeps its one word inline in the record and needs no heap block.
//
// Queries that return a member return kSetEnd when there is none.
#pragma once

#include <bit>
#include <cassert>
#include <memory>
#include <cstdint>

#include "qel/qel_errormsg.h"

inline constexpr uint32_t kSetEnd = 0xFFFFFFFFu;

// The cursor is an i32 and kSetEnd must never be a member, so capacities
// stop below 2^31.
inline constexpr uint32_t kMaxSetCapacity = 0x7FFFFFFFu;

struct Set {
    uint64_t *words;      // &inlineWord for a small set
    uint64_t inlineWord;
    uint32_t capacity;
    uint32_t nwords;
    int32_t cursor;       // last member returned by nextSetMember; -1 before the first
    uint8_t ownsWords;    // words was allocated separately
};

// A bare bit vector: (n + 63) / 64 words with the numbering of Set.
using BitVec = uint64_t *;

// n sets of one capacity as the rows of one word matrix.
struct SetFamily {
    uint64_t **rows;
    uint32_t numSets;
    uint32_t capacity;
    uint32_t nwords;
};

struct SetPair {
    Set *first;
    Set *second;
};

constexpr uint32_t setWordCount(uint32_t capacity)
{
    return static_cast<uint32_t>((uint64_t{capacity} + 63) / 64);
}

// Mask of the valid bits of the last word of a capacity (all ones when the
// capacity fills it).
constexpr uint64_t lastWordMask(uint32_t capacity)
{
    return (capacity & 63) ? (uint64_t{1} << (capacity & 63)) - 1 : ~uint64_t{0};
}

// ---------------------------------------------------------------------------
// Creation and storage

Set *allocSet(uint32_t capacity);
Set *deallocSet(Set *set);

// A set owned by a scope.
struct SetDestroyer {
    void operator()(Set *set) const { deallocSet(set); }
};
using SetHandle = std::unique_ptr<Set, SetDestroyer>;
void makeSmallSet(Set *set, uint32_t capacity);
void initializeSet(Set *set, uint32_t capacity);
Set *createSingletonSet(uint32_t capacity, uint32_t member);
Set *createSetFromBitVec(const uint64_t *words, uint32_t capacity);
Set *cloneSet(const Set *set);
int expandSet(Set *set, uint32_t newCapacity);
Set **allocArrayOfSets(uint32_t n, uint32_t capacity);
Set **deallocArrayOfSets(Set **array, uint32_t n);
SetFamily *allocSetFamily(uint32_t numSets, uint32_t capacity);
SetFamily *deallocSetFamily(SetFamily *family);
int expandSetsInFamily(SetFamily *family, uint32_t newCapacity);
SetPair *allocSetPair(uint32_t capacity);
SetPair *deallocSetPair(SetPair *pair);

uint64_t *allocBitVec(uint32_t n);
uint64_t *deallocBitVec(uint64_t *words);
// count rows of (n + 63) / 64 words, contiguous, in one block.
uint64_t **allocBitVecArray(uint32_t count, uint32_t n);
uint64_t **deallocBitVecArray(uint64_t **array);

// ---------------------------------------------------------------------------
// Single members. The debug build checks the bounds; release code in the
// searches cannot afford the test on every bit.

inline void addBitVecMember(uint64_t *words, uint32_t m)
{
    words[m >> 6] |= uint64_t{1} << (m & 63);
}
inline void removeBitVecMember(uint64_t *words, uint32_t m)
{
    words[m >> 6] &= ~(uint64_t{1} << (m & 63));
}
inline bool isBitVecMember(const uint64_t *words, uint32_t m)
{
    return (words[m >> 6] >> (m & 63)) & 1;
}
inline void addSetMember(Set *set, uint32_t m)
{
    assert(m < set->capacity);
    addBitVecMember(set->words, m);
}
inline void removeSetMember(Set *set, uint32_t m)
{
    assert(m < set->capacity);
    removeBitVecMember(set->words, m);
}
// Anything outside the capacity (kSetEnd included) is simply not a member.
inline bool isSetMember(const Set *set, uint32_t m)
{
    return m < set->capacity && isBitVecMember(set->words, m);
}

// ---------------------------------------------------------------------------
// Iteration

inline uint32_t firstOneBit(const uint64_t *words, uint32_t nwords)
{
    for (uint32_t i = 0; i < nwords; i++)
        if (words[i])
            return i * 64 + static_cast<uint32_t>(std::countr_zero(words[i]));
    return kSetEnd;
}

inline uint32_t nextOneBit(const uint64_t *words, uint32_t capacity, uint32_t nwords, uint32_t start)
{
    if (start >= capacity)
        return kSetEnd;
    uint32_t i = start >> 6;
    uint64_t w = words[i] & (~uint64_t{0} << (start & 63));
    for (;;) {
        if (w)
            return i * 64 + static_cast<uint32_t>(std::countr_zero(w));
        if (++i >= nwords)
            return kSetEnd;
        w = words[i];
    }
}

inline uint32_t nextSetMember(Set *set)
{
    // A cursor of -1 (reset or past the end) wraps to start 0.
    uint32_t m = nextOneBit(set->words, set->capacity, set->nwords,
                            static_cast<uint32_t>(set->cursor) + 1);
    set->cursor = static_cast<int32_t>(m);
    return m;
}
inline uint32_t firstSetMember(Set *set)
{
    set->cursor = -1;
    return nextSetMember(set);
}
inline uint32_t followingSetMember(const Set *set, uint32_t m)
{
    return nextOneBit(set->words, set->capacity, set->nwords, m + 1);
}
inline void setPreviousMember(Set *set, uint32_t m) { set->cursor = static_cast<int32_t>(m); }
uint32_t lastSetMember(Set *set);
uint32_t nthSetMember(const Set *set, uint32_t k);

// Draws the position with the caller's generator: randomInteger (gen, bound)
// is found by argument-dependent lookup on the generator's type.
template <typename Rng>
uint32_t randomSetMember(const Set *set, uint32_t bound, Rng *gen)
{
    return nthSetMember(set, randomInteger(gen, bound));
}

// ---------------------------------------------------------------------------
// Queries

inline uint32_t countOneBits(const uint64_t *words, uint32_t nwords)
{
    uint32_t n = 0;
    for (uint32_t i = 0; i < nwords; i++)
        n += static_cast<uint32_t>(std::popcount(words[i]));
    return n;
}
inline uint32_t card(const Set *set) { return countOneBits(set->words, set->nwords); }
uint32_t *storeSetSizes(uint64_t *const *arrays, uint32_t count, uint32_t nwords);

inline bool isBitVecAllZero(const uint64_t *words, uint32_t nwords)
{
    for (uint32_t i = 0; i < nwords; i++)
        if (words[i])
            return false;
    return true;
}
inline bool isSetEmpty(const Set *set) { return isBitVecAllZero(set->words, set->nwords); }
bool isBitVecSingleton(const uint64_t *words, uint32_t nwords);
inline bool isSetSingleton(const Set *set) { return isBitVecSingleton(set->words, set->nwords); }
bool isBitVecFull(const uint64_t *words, uint32_t n);
bool isSetFull(const Set *set, uint32_t n);
bool areSetsEqual(const Set *a, const Set *b);
// 0: a is not a subset of b; 1: proper subset; -1: equal.
int bitVecIsSubset(const uint64_t *a, const uint64_t *b, uint32_t nwords);
int isSubsetOfSet(const Set *a, const Set *b);
bool areBitVecsDisjoint(const uint64_t *a, const uint64_t *b, uint32_t nwords);
bool areSetsDisjoint(const Set *a, const Set *b);

// ---------------------------------------------------------------------------
// Algebra. The result may be an operand; a null result only computes the
// return value. Union and intersection return the sum over words of 0 (empty
// word), 1 (one bit) or 2 (several): 0 empty, 1 one member, 2+ several.

inline uint32_t wordSizeClass(uint64_t w) { return (w != 0) + ((w & (w - 1)) != 0); }

inline uint32_t bitVecIntersection(const uint64_t *a, const uint64_t *b, uint64_t *result, uint32_t nwords)
{
    uint32_t k = 0;
    if (result) {
        for (uint32_t i = 0; i < nwords; i++) {
            uint64_t w = a[i] & b[i];
            result[i] = w;
            k += wordSizeClass(w);
        }
    } else {
        for (uint32_t i = 0; i < nwords; i++)
            k += wordSizeClass(a[i] & b[i]);
    }
    return k;
}
inline uint32_t bitVecUnion(const uint64_t *a, const uint64_t *b, uint64_t *result, uint32_t nwords)
{
    uint32_t k = 0;
    if (result) {
        for (uint32_t i = 0; i < nwords; i++) {
            uint64_t w = a[i] | b[i];
            result[i] = w;
            k += wordSizeClass(w);
        }
    } else {
        for (uint32_t i = 0; i < nwords; i++)
            k += wordSizeClass(a[i] | b[i]);
    }
    return k;
}
inline int bitVecSubtract(const uint64_t *a, const uint64_t *b, uint64_t *result, uint32_t nwords)
{
    uint64_t any = 0;
    if (result) {
        for (uint32_t i = 0; i < nwords; i++) {
            uint64_t w = a[i] & ~b[i];
            result[i] = w;
            any |= w;
        }
    } else {
        for (uint32_t i = 0; i < nwords; i++)
            any |= a[i] & ~b[i];
    }
    return any != 0;
}

// Binary set operations work on sets of one word count.
inline uint32_t setIntersection(const Set *a, const Set *b, Set *result)
{
    assert(a->nwords == b->nwords && (!result || result->nwords == a->nwords));
    return bitVecIntersection(a->words, b->words, result ? result->words : nullptr, a->nwords);
}
inline uint32_t setUnion(const Set *a, const Set *b, Set *result)
{
    assert(a->nwords == b->nwords && (!result || result->nwords == a->nwords));
    return bitVecUnion(a->words, b->words, result ? result->words : nullptr, a->nwords);
}
inline int setSubtract(const Set *a, const Set *b, Set *result)
{
    assert(a->nwords == b->nwords && (!result || result->nwords == a->nwords));
    return bitVecSubtract(a->words, b->words, result ? result->words : nullptr, a->nwords);
}
void bitVecComplement(const uint64_t *words, uint32_t capacity, uint32_t nwords, uint64_t *result);
void setComplement(const Set *set, Set *result);

// ---------------------------------------------------------------------------
// Filling and copying

inline void zeroBitVec(uint64_t *words, uint32_t nwords)
{
    for (uint32_t i = 0; i < nwords; i++)
        words[i] = 0;
}
inline void clearSet(Set *set) { zeroBitVec(set->words, set->nwords); }
void setBitVecToMask(uint64_t *words, uint32_t n, uint32_t nwords);
void fillSet(Set *set, uint32_t n);
void setSingletonBitVec(uint64_t *words, uint32_t m, uint32_t nwords);
void makeSetSingleton(Set *set, uint32_t m);
void setBitVecFromItemList(uint64_t *words, const uint32_t *list, uint32_t count, uint32_t nwords);
inline void copyBitVec(const uint64_t *source, uint64_t *destination, uint32_t nwords)
{
    for (uint32_t i = 0; i < nwords; i++)
        destination[i] = source[i];
}
void copySet(const Set *source, Set *destination);
void copyArrayOfSets(Set *const *sources, Set *const *destinations, uint32_t n);
void restoreSet(const Set *saved, Set **variable);
void zeroBitVecArray(uint64_t *const *array, uint32_t count, uint32_t nwords);

// ---------------------------------------------------------------------------
// Item lists (ascending u32 arrays)

uint32_t loadItemListFromSet(const Set *set, uint32_t offset, bool complement, uint32_t *list);
uint32_t loadItemListFromBitVec(const uint64_t *words, uint32_t n, bool complement, uint32_t *list);
uint32_t *createItemListFromSet(const Set *set, uint32_t offset, bool complement, uint32_t *countOut);
uint32_t insertItemIntoSetList(uint32_t *list, uint32_t n, uint32_t item);
uint32_t removeItemFromSetList(uint32_t *list, uint32_t n, uint32_t item);

// ---------------------------------------------------------------------------
// Listing

// Prints the set in NEXUS list notation (1-based runs "3-7", strides
// "1-10\3", paired codon positions "1-7\3 2-8\3"), or 0-based numbers when
// plain. A null print function means the qel_printf hook; null separators
// mean " "; brackets, when given, is a two-character pair.
void outputSetMembers(const Set *set, PrintHook print, uint32_t allCount, const char *firstSep,
                      const char *laterSep, const char *brackets, bool plain);
void listBitVecMembers(const uint64_t *words, uint32_t n, PrintHook print, bool noNewline);
const char *setToString();

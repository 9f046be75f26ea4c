#include "qel/qel_sets.h"

#include <algorithm>
#include <cstring>

#include "qel/qel_malloc.h"

namespace {

// Clears words fromWord..toWord-1, which a capacity of `capacity` no longer
// covers, and the bits of its last word (when below toWord) at and above it.
void clearBitsFrom(uint64_t *words, uint32_t capacity, uint32_t fromWord, uint32_t toWord)
{
    for (uint32_t i = fromWord; i < toWord; i++)
        words[i] = 0;
    uint32_t n = setWordCount(capacity);
    if (n > 0 && n <= toWord)
        words[n - 1] &= lastWordMask(capacity);
}

bool capacityAllowed(uint32_t capacity)
{
    if (capacity <= kMaxSetCapacity)
        return true;
    // Treated like an allocation that cannot be satisfied, so that callers
    // testing only the failure flag still see it.
    reportMemoryFailure();
    return false;
}

// Calls f(member) for every member (or non-member below n) in ascending order.
template <typename F>
void forEachBit(const uint64_t *words, uint32_t n, bool complement, F f)
{
    uint32_t nw = setWordCount(n);
    for (uint32_t i = 0; i < nw; i++) {
        uint64_t w = complement ? ~words[i] : words[i];
        if (i == nw - 1)
            w &= lastWordMask(n);
        while (w) {
            f(i * 64 + static_cast<uint32_t>(std::countr_zero(w)));
            w &= w - 1;
        }
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Creation and storage

void initializeSet(Set *set, uint32_t capacity)
{
    set->capacity = capacity;
    set->nwords = setWordCount(capacity);
    set->inlineWord = 0;
    set->cursor = -1;
}

void makeSmallSet(Set *set, uint32_t capacity)
{
    assert(capacity <= 64);
    set->words = &set->inlineWord;
    set->ownsWords = 0;
    initializeSet(set, std::min(capacity, 64u));
}

Set *allocSet(uint32_t capacity)
{
    if (!capacityAllowed(capacity))
        return nullptr;
    auto *set = static_cast<Set *>(allocBlock(sizeof(Set)));
    if (!set)
        return nullptr;
    if (capacity <= 64) {
        makeSmallSet(set, capacity);
        return set;
    }
    initializeSet(set, capacity);
    set->words = allocArrayOf<uint64_t>(set->nwords);
    if (!set->words) {
        deallocBlock(set);
        return nullptr;
    }
    set->ownsWords = 1;
    return set;
}

Set *deallocSet(Set *set)
{
    if (set) {
        if (set->ownsWords)
            deallocArray(set->words);
        deallocBlock(set);
    }
    return nullptr;
}

Set *createSingletonSet(uint32_t capacity, uint32_t member)
{
    Set *set = allocSet(capacity);
    if (set && member != kSetEnd)
        addSetMember(set, member);
    return set;
}

Set *createSetFromBitVec(const uint64_t *words, uint32_t capacity)
{
    Set *set = allocSet(capacity);
    if (set) {
        copyBitVec(words, set->words, set->nwords);
        clearBitsFrom(set->words, capacity, set->nwords, set->nwords);
    }
    return set;
}

Set *cloneSet(const Set *set)
{
    Set *copy = allocSet(set->capacity);
    if (copy)
        copyBitVec(set->words, copy->words, set->nwords);
    return copy;
}

int expandSet(Set *set, uint32_t newCapacity)
{
    if (!capacityAllowed(newCapacity))
        return 1;
    uint32_t oldN = set->nwords;
    uint32_t newN = setWordCount(newCapacity);
    if (newN > oldN) {
        if (set->ownsWords) {
            // Words dropped by an earlier shrink were cleared then, so growth
            // from oldN exposes only clear words.
            if (reallocArrayOf(&set->words, newN, oldN) != 0)
                return 1;
            for (uint32_t i = oldN; i < newN; i++)
                set->words[i] = 0;
        } else if (newN > 1) {
            uint64_t *words = allocArrayOf<uint64_t>(newN);
            if (!words)
                return 1;
            words[0] = set->inlineWord;
            set->words = words;
            set->ownsWords = 1;
        }
    } else {
        clearBitsFrom(set->words, newCapacity, newN, oldN);
    }
    set->capacity = newCapacity;
    set->nwords = newN;
    return 0;
}

Set **allocArrayOfSets(uint32_t n, uint32_t capacity)
{
    Set **array = allocArrayOf<Set *>(n);
    if (!array)
        return nullptr;
    for (uint32_t i = 0; i < n; i++)
        array[i] = allocSet(capacity);
    if (memoryErrorHasOccurred())
        return deallocArrayOfSets(array, n);
    return array;
}

Set **deallocArrayOfSets(Set **array, uint32_t n)
{
    if (array) {
        for (uint32_t i = 0; i < n; i++)
            deallocSet(array[i]);
        deallocArray(array);
    }
    return nullptr;
}

uint64_t *allocBitVec(uint32_t n) { return allocArrayOf<uint64_t>(setWordCount(n)); }

uint64_t *deallocBitVec(uint64_t *words)
{
    deallocArray(words);
    return nullptr;
}

uint64_t **allocBitVecArray(uint32_t count, uint32_t n)
{
    // One block: count row pointers, then the rows' words.
    uint32_t nwords = setWordCount(n);
    uint64_t perRow = uint64_t{nwords} + 1, slots;
    if (!checkedSizeProduct(perRow, count, &slots)) {
        reportMemoryFailure();
        return nullptr;
    }
    auto *block = static_cast<uint64_t *>(allocArray(sizeof(uint64_t), slots));
    if (!block)
        return nullptr;
    auto **rows = reinterpret_cast<uint64_t **>(block);
    uint64_t *words = block + count;
    for (uint32_t i = 0; i < count; i++)
        rows[i] = words + uint64_t{i} * nwords;
    return rows;
}

uint64_t **deallocBitVecArray(uint64_t **array)
{
    deallocArray(array);
    return nullptr;
}

SetFamily *allocSetFamily(uint32_t numSets, uint32_t capacity)
{
    if (!capacityAllowed(capacity))
        return nullptr;
    auto *family = static_cast<SetFamily *>(allocBlock(sizeof(SetFamily)));
    if (!family)
        return nullptr;
    family->numSets = numSets;
    family->capacity = capacity;
    family->nwords = setWordCount(capacity);
    if (numSets > 0) {
        family->rows = allocBitVecArray(numSets, capacity);
        if (!family->rows)
            return deallocSetFamily(family);
    }
    return family;
}

SetFamily *deallocSetFamily(SetFamily *family)
{
    if (family) {
        deallocBitVecArray(family->rows);
        deallocBlock(family);
    }
    return nullptr;
}

int expandSetsInFamily(SetFamily *family, uint32_t newCapacity)
{
    if (!capacityAllowed(newCapacity))
        return 1;
    uint32_t newN = setWordCount(newCapacity);
    if (newN > family->nwords) {
        if (family->numSets > 0) {
            uint64_t **rows = allocBitVecArray(family->numSets, newCapacity);
            if (!rows)
                return 1;
            for (uint32_t i = 0; i < family->numSets; i++)
                copyBitVec(family->rows[i], rows[i], family->nwords);
            deallocBitVecArray(family->rows);
            family->rows = rows;
        }
        family->nwords = newN;
    } else {
        // Rows keep their stride; the bits beyond the new capacity go.
        for (uint32_t i = 0; i < family->numSets; i++)
            clearBitsFrom(family->rows[i], newCapacity, newN, family->nwords);
    }
    family->capacity = newCapacity;
    return 0;
}

SetPair *allocSetPair(uint32_t capacity)
{
    auto *pair = static_cast<SetPair *>(allocBlock(sizeof(SetPair)));
    if (pair) {
        pair->first = allocSet(capacity);
        pair->second = allocSet(capacity);
    }
    if (memoryErrorHasOccurred() || !pair || !pair->first || !pair->second)
        return deallocSetPair(pair);
    return pair;
}

SetPair *deallocSetPair(SetPair *pair)
{
    if (pair) {
        deallocSet(pair->first);
        deallocSet(pair->second);
        deallocBlock(pair);
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Iteration

uint32_t lastSetMember(Set *set)
{
    // Leaves the cursor where a full iteration would: at the end.
    set->cursor = -1;
    for (uint32_t i = set->nwords; i-- > 0;)
        if (set->words[i])
            return i * 64 + 63 - static_cast<uint32_t>(std::countl_zero(set->words[i]));
    return kSetEnd;
}

uint32_t nthSetMember(const Set *set, uint32_t k)
{
    for (uint32_t i = 0; i < set->nwords; i++) {
        uint64_t w = set->words[i];
        auto c = static_cast<uint32_t>(std::popcount(w));
        if (k >= c) {
            k -= c;
            continue;
        }
        while (k--)
            w &= w - 1;
        return i * 64 + static_cast<uint32_t>(std::countr_zero(w));
    }
    return kSetEnd;
}

// ---------------------------------------------------------------------------
// Queries

uint32_t *storeSetSizes(uint64_t *const *arrays, uint32_t count, uint32_t nwords)
{
    uint32_t *sizes = allocArrayOf<uint32_t>(count);
    if (sizes)
        for (uint32_t i = 0; i < count; i++)
            sizes[i] = countOneBits(arrays[i], nwords);
    return sizes;
}

bool isBitVecSingleton(const uint64_t *words, uint32_t nwords)
{
    uint32_t k = 0;
    for (uint32_t i = 0; i < nwords && k < 2; i++)
        k += wordSizeClass(words[i]);
    return k == 1;
}

bool isBitVecFull(const uint64_t *words, uint32_t n)
{
    uint32_t full = n / 64;
    for (uint32_t i = 0; i < full; i++)
        if (words[i] != ~uint64_t{0})
            return false;
    if (n & 63) {
        uint64_t mask = lastWordMask(n);
        return (words[full] & mask) == mask;
    }
    return true;
}

bool isSetFull(const Set *set, uint32_t n)
{
    if (n == 0)
        n = set->capacity;
    return n <= set->capacity && isBitVecFull(set->words, n);
}

bool areSetsEqual(const Set *a, const Set *b)
{
    return a->nwords == b->nwords &&
           std::memcmp(a->words, b->words, sizeof(uint64_t) * a->nwords) == 0;
}

int bitVecIsSubset(const uint64_t *a, const uint64_t *b, uint32_t nwords)
{
    bool equal = true;
    for (uint32_t i = 0; i < nwords; i++) {
        if (a[i] & ~b[i])
            return 0;
        equal = equal && a[i] == b[i];
    }
    return equal ? -1 : 1;
}

int isSubsetOfSet(const Set *a, const Set *b)
{
    assert(a->nwords == b->nwords);
    return bitVecIsSubset(a->words, b->words, a->nwords);
}

bool areBitVecsDisjoint(const uint64_t *a, const uint64_t *b, uint32_t nwords)
{
    for (uint32_t i = 0; i < nwords; i++)
        if (a[i] & b[i])
            return false;
    return true;
}

bool areSetsDisjoint(const Set *a, const Set *b)
{
    assert(a->nwords == b->nwords);
    return areBitVecsDisjoint(a->words, b->words, a->nwords);
}

// ---------------------------------------------------------------------------
// Algebra, filling and copying

void bitVecComplement(const uint64_t *words, uint32_t capacity, uint32_t nwords, uint64_t *result)
{
    for (uint32_t i = 0; i < nwords; i++)
        result[i] = ~words[i];
    clearBitsFrom(result, capacity, std::min(setWordCount(capacity), nwords), nwords);
}

void setComplement(const Set *set, Set *result)
{
    assert(set->nwords == result->nwords);
    bitVecComplement(set->words, set->capacity, set->nwords, result->words);
}

void setBitVecToMask(uint64_t *words, uint32_t n, uint32_t nwords)
{
    uint64_t limit = uint64_t{nwords} * 64;
    if (n > limit)
        n = static_cast<uint32_t>(limit);
    for (uint32_t i = 0; i < nwords; i++)
        words[i] = ~uint64_t{0};
    clearBitsFrom(words, n, setWordCount(n), nwords);
}

void fillSet(Set *set, uint32_t n)
{
    if (n == 0 || n > set->capacity)
        n = set->capacity;
    setBitVecToMask(set->words, n, set->nwords);
}

void setSingletonBitVec(uint64_t *words, uint32_t m, uint32_t nwords)
{
    zeroBitVec(words, nwords);
    if (uint64_t{m} < uint64_t{nwords} * 64)
        addBitVecMember(words, m);
}

void makeSetSingleton(Set *set, uint32_t m)
{
    assert(m < set->capacity || m == kSetEnd);
    clearSet(set);
    if (m < set->capacity)
        addBitVecMember(set->words, m);
}

void setBitVecFromItemList(uint64_t *words, const uint32_t *list, uint32_t count, uint32_t nwords)
{
    zeroBitVec(words, nwords);
    uint64_t limit = uint64_t{nwords} * 64;
    for (uint32_t i = 0; i < count; i++) {
        assert(list[i] < limit);
        if (list[i] < limit)
            addBitVecMember(words, list[i]);
    }
}

void copySet(const Set *source, Set *destination)
{
    // A destination of another size takes what fits and stays within its
    // own capacity.
    uint32_t n = std::min(source->nwords, destination->nwords);
    copyBitVec(source->words, destination->words, n);
    clearBitsFrom(destination->words, destination->capacity, n, destination->nwords);
}

void copyArrayOfSets(Set *const *sources, Set *const *destinations, uint32_t n)
{
    for (uint32_t i = 0; i < n; i++)
        copySet(sources[i], destinations[i]);
}

void restoreSet(const Set *saved, Set **variable)
{
    if (!saved)
        *variable = deallocSet(*variable);
    else if (!*variable)
        *variable = cloneSet(saved);
    else
        copySet(saved, *variable);
}

void zeroBitVecArray(uint64_t *const *array, uint32_t count, uint32_t nwords)
{
    for (uint32_t i = 0; i < count; i++)
        zeroBitVec(array[i], nwords);
}

// ---------------------------------------------------------------------------
// Item lists

uint32_t loadItemListFromSet(const Set *set, uint32_t offset, bool complement, uint32_t *list)
{
    uint32_t k = 0;
    forEachBit(set->words, set->capacity, complement, [&](uint32_t m) { list[k++] = m + offset; });
    return k;
}

uint32_t loadItemListFromBitVec(const uint64_t *words, uint32_t n, bool complement, uint32_t *list)
{
    uint32_t k = 0;
    forEachBit(words, n, complement, [&](uint32_t m) { list[k++] = m; });
    return k;
}

uint32_t *createItemListFromSet(const Set *set, uint32_t offset, bool complement, uint32_t *countOut)
{
    uint32_t members = card(set);
    uint32_t n = complement ? set->capacity - members : members;
    uint32_t *list = n ? allocArrayOf<uint32_t>(n) : nullptr;
    if (list)
        loadItemListFromSet(set, offset, complement, list);
    if (countOut)
        *countOut = list ? n : 0;
    return list;
}

uint32_t insertItemIntoSetList(uint32_t *list, uint32_t n, uint32_t item)
{
    uint32_t *pos = std::upper_bound(list, list + n, item);
    std::memmove(pos + 1, pos, sizeof(uint32_t) * static_cast<size_t>(list + n - pos));
    *pos = item;
    return n + 1;
}

uint32_t removeItemFromSetList(uint32_t *list, uint32_t n, uint32_t item)
{
    uint32_t *pos = std::find(list, list + n, item);
    if (pos == list + n)
        return n;  // not there: nothing removed
    std::memmove(pos, pos + 1, sizeof(uint32_t) * static_cast<size_t>(list + n - pos - 1));
    return n - 1;
}

// ---------------------------------------------------------------------------
// Listing

namespace {

// Length of a chain of member pairs (u, u+1) spaced by three from m, as the
// first two positions of codons; returns the start of the last pair, or
// kSetEnd when m does not start a pair.
uint32_t lastPairOfChain(const Set *set, uint32_t m)
{
    uint32_t last = kSetEnd;
    for (uint32_t u = m; isSetMember(set, u) && isSetMember(set, u + 1); u += 3) {
        last = u;
        if (isSetMember(set, u + 2))
            break;
    }
    return last;
}

// End (inclusive) of the run from m with stride k, cut so that no member
// lies hidden between its step points.
uint32_t endOfRun(const Set *set, uint32_t m, uint32_t k)
{
    uint32_t end = m;
    while (isSetMember(set, end + k))
        end += k;
    if (k > 1) {
        for (uint32_t x = followingSetMember(set, m); x < end; x = followingSetMember(set, x)) {
            if ((x - m) % k != 0) {
                end = m + (x - m) / k * k;
                break;
            }
        }
    }
    return end;
}

}  // namespace

void outputSetMembers(const Set *set, PrintHook print, uint32_t allCount, const char *firstSep,
                      const char *laterSep, const char *brackets, bool plain)
{
    if (!print)
        print = qel_printf;
    if (!firstSep)
        firstSep = " ";
    if (!laterSep)
        laterSep = " ";
    if (allCount != kSetEnd && isSetFull(set, allCount ? allCount : set->capacity)) {
        print("%sall", firstSep);
        return;
    }
    bool bracketed = brackets && brackets[0] && !isSetSingleton(set);
    if (bracketed)
        print("%c", brackets[0]);

    const char *sep = firstSep;
    uint32_t m = firstOneBit(set->words, set->nwords);
    if (plain) {
        for (; m != kSetEnd; m = followingSetMember(set, m)) {
            print("%s%d", sep, static_cast<int>(m));
            sep = laterSep;
        }
        print("%s", sep);
    }
    while (!plain && m != kSetEnd) {
        uint32_t lastPair = lastPairOfChain(set, m);
        if (lastPair != kSetEnd && lastPair >= m + 6) {
            print("%s%d-%d\\3 %d-%d\\3", sep, static_cast<int>(m + 1), static_cast<int>(lastPair + 1),
                  static_cast<int>(m + 2), static_cast<int>(lastPair + 2));
            sep = laterSep;
            m = followingSetMember(set, lastPair + 1);
            continue;
        }
        uint32_t k = 1;
        uint32_t n1 = followingSetMember(set, m);
        if (n1 != kSetEnd) {
            uint32_t n2 = followingSetMember(set, n1);
            if (n2 != kSetEnd && n2 - n1 == n1 - m)
                k = n1 - m;
        }
        uint32_t end = endOfRun(set, m, k);
        if (end == m)
            print("%s%d", sep, static_cast<int>(m + 1));
        else if (k == 1)
            print("%s%d%c%d", sep, static_cast<int>(m + 1), '-', static_cast<int>(end + 1));
        else
            print("%s%d%c%d\\%d", sep, static_cast<int>(m + 1), '-', static_cast<int>(end + 1),
                  static_cast<int>(k));
        sep = laterSep;
        m = followingSetMember(set, end);
    }

    if (bracketed)
        print("%c", brackets[1]);
}

void listBitVecMembers(const uint64_t *words, uint32_t n, PrintHook print, bool noNewline)
{
    if (!print)
        print = qel_printf;
    if (!words)
        print("(null)");
    else
        forEachBit(words, n, false, [&](uint32_t m) { print(" %d", static_cast<int>(m)); });
    if (!noNewline)
        print("\n");
}

const char *setToString() { return "null"; }

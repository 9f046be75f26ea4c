#include "qel/qel_vector.h"

#include <algorithm>
#include <cstring>

#include "qel/qel_malloc.h"

namespace {

unsigned char *bytesOf(const Vector *v) { return static_cast<unsigned char *>(v->data); }
void **pointerSlots(const Vector *v) { return static_cast<void **>(v->data); }

bool holdsPointers(const Vector *v) { return (v->flags & kVectorPointers) != 0; }
bool copiesElements(const Vector *v) { return (v->flags & kVectorCopies) != 0; }

bool isContiguousPool(const Vector *v)
{
    return holdsPointers(v) && copiesElements(v) && v->pool && v->pool->elementVector;
}

bool isBlockPool(const Vector *v)
{
    return holdsPointers(v) && copiesElements(v) && v->pool && !v->pool->elementVector;
}

// Pointer slots whose targets the vector frees itself; pooled copies are
// freed with the pool instead.
bool freesPointedElements(const Vector *v)
{
    return holdsPointers(v) && (v->flags & kVectorOwnsElements) && !copiesElements(v) && !v->pool;
}

// Capacity after growth: capacity + increment (or doubled), at least
// `needed`, and never beyond the 32-bit count.
uint32_t grownCapacity(const Vector *v, uint64_t needed)
{
    uint64_t cap = v->capacity;
    uint64_t grown = v->increment ? cap + v->increment : 2 * cap;
    return static_cast<uint32_t>(std::min<uint64_t>(std::max(grown, needed), UINT32_MAX));
}

VectorBlock *newBlock(uint32_t nElements, uint64_t elementSize, uint32_t maxIndex)
{
    auto *block = static_cast<VectorBlock *>(allocBlock(sizeof(VectorBlock)));
    if (!block)
        return nullptr;
    block->elements = static_cast<unsigned char *>(allocArray(elementSize, nElements));
    if (!block->elements)
        return static_cast<VectorBlock *>(deallocBlock(block));
    block->nElements = nElements;
    block->maxIndex = maxIndex;
    return block;
}

void linkBlock(VectorPool *pool, VectorBlock *block)
{
    if (pool->lastBlock)
        pool->lastBlock->next = block;
    else
        pool->firstBlock = block;
    pool->lastBlock = block;
}

// Resizes the slot array to newCap slots (new slots zeroed). A block pool
// gets a block serving exactly the added slots. 1 on failure, nothing changed.
int resizeSlots(Vector *v, uint32_t newCap)
{
    VectorBlock *block = nullptr;
    if (isBlockPool(v) && newCap > v->capacity) {
        block = newBlock(newCap - v->capacity, v->pool->elementSize, newCap - 1);
        if (!block)
            return 1;
    }
    void *p = v->data;
    if (reallocArray(&p, newCap, v->slotSize, v->capacity) != 0) {
        if (block)
            deallocArray(block->elements), deallocBlock(block);
        return 1;
    }
    v->data = p;
    v->capacity = newCap;
    if (block)
        linkBlock(v->pool, block);
    return 0;
}

int growForAppend(Vector *v)
{
    if (v->count < v->capacity)
        return 0;
    if (v->count == UINT32_MAX)
        return 1;
    return resizeSlots(v, grownCapacity(v, uint64_t{v->count} + 1));
}

// Slot i of a contiguous pool points at element i of the element Vector.
void recomputeSlots(Vector *v)
{
    Vector *ev = v->pool->elementVector;
    void **slots = pointerSlots(v);
    for (uint32_t i = 0; i < v->count; ++i)
        slots[i] = bytesOf(ev) + uint64_t{i} * ev->slotSize;
}

void copyOrZero(void *dest, const void *src, uint64_t size)
{
    if (src)
        std::memcpy(dest, src, static_cast<size_t>(size));
    else
        std::memset(dest, 0, static_cast<size_t>(size));
}

// Appends by value to a copying vector without running any callback.
void *appendValue(Vector *v, const void *element)
{
    if (growForAppend(v) != 0)
        return nullptr;
    void *slot = bytesOf(v) + uint64_t{v->count} * v->slotSize;
    copyOrZero(slot, element, v->slotSize);
    ++v->count;
    return slot;
}

void *appendToContiguousPool(Vector *v, const void *element)
{
    Vector *ev = v->pool->elementVector;
    if (v->count == UINT32_MAX || !appendValue(ev, element))
        return nullptr;
    // The element Vector may have moved even if the slot growth now fails.
    int rc = growForAppend(v);
    if (rc == 0)
        ++v->count;
    else
        --ev->count;
    recomputeSlots(v);
    return rc == 0 ? pointerSlots(v)[v->count - 1] : nullptr;
}

// The block that serves slot `index` when it has room, else any block with
// room, else null.
VectorBlock *blockWithRoom(const VectorPool *pool, uint32_t index)
{
    for (VectorBlock *b = pool->firstBlock; b; b = b->next)
        if (b->maxIndex >= index && b->nUsed < b->nElements)
            return b;
    for (VectorBlock *b = pool->firstBlock; b; b = b->next)
        if (b->nUsed < b->nElements)
            return b;
    return nullptr;
}

void *appendToBlockPool(Vector *v, const void *element)
{
    if (growForAppend(v) != 0)
        return nullptr;
    VectorPool *pool = v->pool;
    VectorBlock *block = blockWithRoom(pool, v->count);
    if (!block) {
        // Removed elements leave holes that only clearVector reclaims, so the
        // blocks can fill before the slots do.
        uint32_t n = std::max<uint32_t>({v->increment, v->capacity / 2, 1});
        block = newBlock(n, pool->elementSize, v->capacity ? v->capacity - 1 : 0);
        if (!block)
            return nullptr;
        linkBlock(pool, block);
    }
    void *e = block->elements + uint64_t{block->nUsed++} * pool->elementSize;
    copyOrZero(e, element, pool->elementSize);
    pointerSlots(v)[v->count++] = e;
    return e;
}

// Gives a block-pool element's place back when it is the last one used in
// its block, so appending after removing from the end reuses the space.
void releaseBlockElement(VectorPool *pool, const void *e)
{
    auto *p = static_cast<const unsigned char *>(e);
    for (VectorBlock *b = pool->firstBlock; b; b = b->next) {
        if (b->nUsed > 0 && p == b->elements + uint64_t{b->nUsed - 1} * pool->elementSize) {
            --b->nUsed;
            return;
        }
    }
}

// Drops the slots from n to the end (n <= count), disposing of each.
void dropTail(Vector *v, uint32_t n)
{
    for (uint32_t i = v->count; i-- > n;) {
        void *e = getVectorElement(v, i);
        if (v->callback && e)
            v->callback(e, 0);
        if (isBlockPool(v))
            releaseBlockElement(v->pool, e);
        else if (freesPointedElements(v))
            deallocBlock(e);
    }
    v->count = n;
    if (isContiguousPool(v)) {
        v->pool->elementVector->count = n;
        recomputeSlots(v);
    }
}

void swapBytes(unsigned char *a, unsigned char *b, uint64_t size)
{
    std::swap_ranges(a, a + size, b);
}

// Shell sort with the gaps 1, 4, 13, 40, ...; passes at each gap repeat
// until one makes no exchange.
template <typename Compare>
void shellSort(unsigned char *base, uint32_t n, uint64_t size, Compare greater)
{
    if (n < 2)
        return;
    uint64_t gap = 1;
    while (gap <= n)
        gap = 3 * gap + 1;
    do {
        gap /= 3;
        bool exchanged;
        do {
            exchanged = false;
            for (uint64_t i = gap; i < n; ++i) {
                unsigned char *a = base + (i - gap) * size;
                unsigned char *b = base + i * size;
                if (greater(a, b)) {
                    swapBytes(a, b, size);
                    exchanged = true;
                }
            }
        } while (exchanged);
    } while (gap > 1);
}

}  // namespace

Vector *allocVector(uint32_t capacity, uint32_t increment, uint64_t slotSize, uint32_t flags)
{
    auto *v = static_cast<Vector *>(allocBlock(sizeof(Vector)));
    if (!v)
        return nullptr;
    if (capacity > 0) {
        v->data = allocArray(slotSize, capacity);
        if (!v->data)
            return static_cast<Vector *>(deallocBlock(v));
    }
    v->slotSize = slotSize;
    v->capacity = capacity;
    v->increment = increment;
    v->flags = flags;
    return v;
}

Vector *createVector(uint32_t capacity, uint32_t increment, uint64_t elementSize, uint32_t flags,
                     VectorElementFxn callback)
{
    if (!(flags & kVectorPointers)) {
        if (elementSize == 0)
            return nullptr;
        Vector *v = allocVector(capacity, increment, elementSize,
                                flags | kVectorCopies | kVectorContiguousPool);
        if (v)
            v->callback = callback;
        return v;
    }
    if ((flags & kVectorCopies) && elementSize == 0)
        return nullptr;
    Vector *v = allocVector(capacity, increment, sizeof(void *), flags);
    if (!v)
        return nullptr;
    v->callback = callback;
    if (!(flags & kVectorCopies))
        return v;
    v->pool = static_cast<VectorPool *>(allocBlock(sizeof(VectorPool)));
    if (!v->pool)
        return destroyVector(v);
    v->pool->elementSize = elementSize;
    if (flags & kVectorContiguousPool) {
        v->pool->elementVector = allocVector(capacity, increment, elementSize,
                                             kVectorCopies | kVectorContiguousPool);
        if (!v->pool->elementVector)
            return destroyVector(v);
    } else if (capacity > 0) {
        VectorBlock *block = newBlock(capacity, elementSize, capacity - 1);
        if (!block)
            return destroyVector(v);
        linkBlock(v->pool, block);
    }
    return v;
}

void *appendElementToVector(const void *element, Vector *v)
{
    if (!v)
        return nullptr;
    void *result;
    if (isContiguousPool(v)) {
        result = appendToContiguousPool(v, element);
    } else if (isBlockPool(v)) {
        result = appendToBlockPool(v, element);
    } else if (copiesElements(v)) {
        result = appendValue(v, element);
    } else {
        if (growForAppend(v) != 0)
            return nullptr;
        result = pointerSlots(v) + v->count;
        pointerSlots(v)[v->count++] = const_cast<void *>(element);
    }
    if (!result)
        return nullptr;
    if (v->callback) {
        void *e = getVectorElement(v, v->count - 1);
        if (e && v->callback(e, 1) != 0)
            return nullptr;
    }
    return result;
}

void *getVectorElement(const Vector *v, uint32_t i)
{
    if (!v || i >= v->count)
        return nullptr;
    if (holdsPointers(v))
        return pointerSlots(v)[i];
    return bytesOf(v) + uint64_t{i} * v->slotSize;
}

int removeVectorElementAt(Vector *v, uint32_t i)
{
    if (!v || i >= v->count)
        return 1;
    if (freesPointedElements(v))
        deallocBlock(pointerSlots(v)[i]);
    else if (isBlockPool(v))
        releaseBlockElement(v->pool, pointerSlots(v)[i]);
    uint64_t tail = uint64_t{v->count - 1 - i} * v->slotSize;
    unsigned char *slot = bytesOf(v) + uint64_t{i} * v->slotSize;
    std::memmove(slot, slot + v->slotSize, static_cast<size_t>(tail));
    std::memset(slot + tail, 0, static_cast<size_t>(v->slotSize));
    --v->count;
    if (isContiguousPool(v)) {
        Vector *ev = v->pool->elementVector;
        removeVectorElementAt(ev, i);
        recomputeSlots(v);
    }
    return 0;
}

void clearVector(Vector *v)
{
    if (!v)
        return;
    v->count = 0;
    if (!v->pool)
        return;
    if (v->pool->elementVector)
        v->pool->elementVector->count = 0;
    for (VectorBlock *b = v->pool->firstBlock; b; b = b->next)
        b->nUsed = 0;
}

int setVectorSize(Vector *v, uint32_t n)
{
    if (!v)
        return 1;
    uint32_t old = v->count;
    if (n <= old) {
        if (isContiguousPool(v) || isBlockPool(v)) {
            dropTail(v, n);
        } else {
            if (freesPointedElements(v))
                for (uint32_t i = n; i < old; ++i)
                    deallocBlock(pointerSlots(v)[i]);
            v->count = n;
        }
        return 0;
    }
    if (isBlockPool(v)) {
        while (v->count < n) {
            uint32_t before = v->count;
            if (!appendElementToVector(nullptr, v)) {
                // An element the callback refused is still in the vector:
                // take it back without disposing of it, then dispose of
                // the ones accepted before it.
                if (v->count > before) {
                    VectorElementFxn cb = v->callback;
                    v->callback = nullptr;
                    dropTail(v, before);
                    v->callback = cb;
                }
                dropTail(v, old);
                return 1;
            }
        }
        return 0;
    }
    if (ensureVectorCapacity(v, n) != 0)
        return 1;
    if (!isContiguousPool(v)) {
        std::memset(bytesOf(v) + uint64_t{old} * v->slotSize, 0,
                    static_cast<size_t>(uint64_t{n - old} * v->slotSize));
        v->count = n;
        return 0;
    }
    Vector *ev = v->pool->elementVector;
    std::memset(bytesOf(ev) + uint64_t{old} * ev->slotSize, 0,
                static_cast<size_t>(uint64_t{n - old} * ev->slotSize));
    ev->count = v->count = n;
    recomputeSlots(v);
    for (uint32_t i = old; i < n && v->callback; ++i) {
        if (v->callback(pointerSlots(v)[i], 1) != 0) {
            // Dispose of the elements accepted before the refusal only.
            v->count = i;
            ev->count = i;
            dropTail(v, old);
            return 1;
        }
    }
    return 0;
}

int ensureVectorCapacity(Vector *v, uint32_t n)
{
    if (!v)
        return 1;
    if (isContiguousPool(v)) {
        if (ensureVectorCapacity(v->pool->elementVector, n) != 0)
            return 1;
        recomputeSlots(v);
    }
    if (v->capacity >= n)
        return 0;
    return resizeSlots(v, grownCapacity(v, n));
}

int trimVectorToSize(Vector *v)
{
    if (!v)
        return 1;
    if (isContiguousPool(v)) {
        if (trimVectorToSize(v->pool->elementVector) != 0)
            return 1;
        recomputeSlots(v);
    }
    if (v->capacity == v->count)
        return 0;
    void *p = v->data;
    if (reallocArray(&p, v->count, v->slotSize, 0) != 0)
        return 1;
    v->data = p;
    v->capacity = v->count;
    return 0;
}

void detachVectorData(Vector *v)
{
    if (v)
        v->flags &= ~kVectorCopies;
}

int sortVector(Vector *v, VectorCompareFxn compare)
{
    if (!v || !compare)
        return 1;
    if (isContiguousPool(v)) {
        Vector *ev = v->pool->elementVector;
        shellSort(bytesOf(ev), ev->count, ev->slotSize,
                  [compare](const void *a, const void *b) { return compare(a, b, nullptr) > 0; });
        recomputeSlots(v);
    } else if (holdsPointers(v)) {
        shellSort(bytesOf(v), v->count, v->slotSize, [compare](const void *a, const void *b) {
            return compare(*static_cast<void *const *>(a), *static_cast<void *const *>(b), nullptr) > 0;
        });
    } else {
        shellSort(bytesOf(v), v->count, v->slotSize,
                  [compare](const void *a, const void *b) { return compare(a, b, nullptr) > 0; });
    }
    return 0;
}

Vector *destroyVector(Vector *v)
{
    if (!v)
        return nullptr;
    for (uint32_t i = 0; i < v->count; ++i) {
        void *e = getVectorElement(v, i);
        if (v->callback && e)
            v->callback(e, 0);
        if (freesPointedElements(v))
            deallocBlock(e);
    }
    deallocArray(v->data);
    if (VectorPool *pool = v->pool) {
        destroyVector(pool->elementVector);
        for (VectorBlock *b = pool->firstBlock; b;) {
            VectorBlock *next = b->next;
            deallocArray(b->elements);
            deallocBlock(b);
            b = next;
        }
        deallocBlock(pool);
    }
    deallocBlock(v);
    return nullptr;
}

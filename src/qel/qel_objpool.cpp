#include "qel/qel_objpool.h"

#include <algorithm>

#include "qel/qel_malloc.h"

namespace {

constexpr uint64_t kBlockHeaderSize = 16;   // keeps the objects 16-byte aligned
static_assert(sizeof(PoolBlock) <= kBlockHeaderSize);

// Doubling stops here so that the count and the block size stay in range.
constexpr uint32_t kMaxObjectsPerBlock = 1u << 30;

// Hidden in front of an object array's pointers.
struct ObjectArrayHeader {
    uint32_t objectsPerBlock;
    uint32_t n;
    uint8_t aligned;
};

PoolBlock *allocPoolBlock(uint64_t objectSize, uint32_t count)
{
    uint64_t bytes;
    if (!checkedSizeProduct(objectSize, count, &bytes) || bytes > UINT64_MAX - kBlockHeaderSize) {
        reportMemoryFailure();
        return nullptr;
    }
    auto *raw = static_cast<unsigned char *>(allocBlock(kBlockHeaderSize + bytes));
    if (!raw)
        return nullptr;
    auto *block = reinterpret_cast<PoolBlock *>(raw);
    block->objects = raw + kBlockHeaderSize;
    block->next = nullptr;
    return block;
}

uint32_t objectsUnderCap(uint64_t objectSize, uint64_t capBytes)
{
    return static_cast<uint32_t>(std::min<uint64_t>(capBytes / objectSize, kMaxObjectsPerBlock));
}

}   // namespace

ObjectPool *createObjectPool(uint64_t objectSize, uint32_t objectsPerBlock, uint32_t capKB, bool grow)
{
    if (objectSize == 0)
        return nullptr;
    uint64_t capBytes = uint64_t{capKB} * 1024;
    uint32_t perBlock = std::min(objectsPerBlock, kMaxObjectsPerBlock);
    if (capBytes != 0) {
        uint32_t underCap = objectsUnderCap(objectSize, capBytes);
        if (perBlock == 0 || perBlock > underCap)
            perBlock = underCap;
    }
    perBlock = std::max(perBlock, 1u);

    auto *pool = static_cast<ObjectPool *>(allocBlock(sizeof(ObjectPool)));
    if (!pool)
        return nullptr;
    PoolBlock *block = allocPoolBlock(objectSize, perBlock);
    if (!block) {
        deallocBlock(pool);
        return nullptr;
    }
    pool->firstBlock = pool->currentBlock = block;
    pool->objectSize = objectSize;
    pool->capBytes = capBytes;
    pool->objectsLeft = perBlock;
    pool->objectsPerBlock = perBlock;
    pool->totalObjects = perBlock;
    pool->grow = grow ? 1 : 0;
    pool->nextFree = block->objects;
    return pool;
}

void *getObjectFromPool(ObjectPool *pool)
{
    if (pool->objectsLeft == 0) {
        uint32_t count = pool->objectsPerBlock;
        if (count > UINT32_MAX - pool->totalObjects)
            return nullptr;   // the total would no longer be countable
        PoolBlock *block = allocPoolBlock(pool->objectSize, count);
        if (!block)
            return nullptr;
        pool->currentBlock->next = block;
        pool->currentBlock = block;
        pool->nextFree = block->objects;
        pool->objectsLeft = count;
        pool->totalObjects += count;
        if (pool->grow) {
            uint32_t limit = pool->capBytes != 0 ? objectsUnderCap(pool->objectSize, pool->capBytes)
                                                 : kMaxObjectsPerBlock;
            pool->objectsPerBlock = std::max(std::min(count * 2, std::max(limit, 1u)), count);
        }
    }
    void *object = pool->nextFree;
    pool->nextFree += pool->objectSize;
    pool->objectsLeft--;
    return object;
}

ObjectPool *destroyObjectPool(ObjectPool *pool)
{
    if (!pool)
        return nullptr;
    for (PoolBlock *b = pool->firstBlock; b;) {
        PoolBlock *next = b->next;
        deallocBlock(b);
        b = next;
    }
    deallocBlock(pool);
    return nullptr;
}

void **allocObjectArray(uint64_t objectSize, uint32_t n, uint32_t blockKB, bool aligned)
{
    if (objectSize == 0)
        return nullptr;
    if (aligned) {
        if (objectSize > UINT64_MAX - 15) {
            reportMemoryFailure();
            return nullptr;
        }
        objectSize = (objectSize + 15) & ~uint64_t{15};
    }
    uint64_t per = uint64_t{blockKB} * 1024 / objectSize;
    auto perBlock = static_cast<uint32_t>(std::clamp<uint64_t>(per, 1, UINT32_MAX));

    auto **ptrs = static_cast<void **>(allocArray(sizeof(void *), uint64_t{n} + 1));
    auto *header = static_cast<ObjectArrayHeader *>(allocBlock(sizeof(ObjectArrayHeader)));
    if (!ptrs || !header || memoryErrorHasOccurred()) {
        deallocBlock(header);
        deallocArray(ptrs);
        return nullptr;
    }
    header->objectsPerBlock = perBlock;
    header->n = n;
    header->aligned = aligned ? 1 : 0;
    ptrs[0] = header;
    void **objects = ptrs + 1;

    for (uint32_t first = 0; first < n;) {
        uint32_t count = std::min(n - first, perBlock);
        uint64_t bytes;
        unsigned char *block = nullptr;
        if (checkedSizeProduct(objectSize, count, &bytes))
            block = static_cast<unsigned char *>(aligned ? allocBlockAligned(bytes) : allocBlock(bytes));
        else
            reportMemoryFailure();
        if (!block) {
            header->n = first;   // free only the blocks made so far
            deallocObjectArray(objects);
            return nullptr;
        }
        for (uint32_t j = 0; j < count; j++)
            objects[first + j] = block + j * objectSize;
        first += count;
    }
    return objects;
}

void **deallocObjectArray(void **array)
{
    if (!array)
        return nullptr;
    void **ptrs = array - 1;
    auto *header = static_cast<ObjectArrayHeader *>(ptrs[0]);
    for (uint64_t i = 0; i < header->n; i += header->objectsPerBlock) {
        if (header->aligned)
            deallocBlockAligned(array[i]);
        else
            deallocBlock(array[i]);
    }
    deallocBlock(header);
    deallocArray(ptrs);
    return nullptr;
}

// Object pools and object arrays: fixed-size zeroed objects carved from
// large blocks. Objects are never released one by one and never move.
#pragma once

#include <cstdint>

// One allocation: this header, then the objects (16-byte aligned).
struct PoolBlock {
    unsigned char *objects;
    PoolBlock *next;
};

struct ObjectPool {
    PoolBlock *firstBlock;
    PoolBlock *currentBlock;
    uint64_t objectSize;
    uint64_t capBytes;          // 0: no cap
    uint32_t objectsLeft;       // in the current block
    uint32_t objectsPerBlock;   // for the next block
    uint32_t totalObjects;      // in all blocks
    uint8_t grow;               // double objectsPerBlock after each new block
    unsigned char *nextFree;
};

// Null for object size 0 or when the first block cannot be allocated. With
// a cap, a block never holds more than cap / object size objects; every
// block holds at least one.
ObjectPool *createObjectPool(uint64_t objectSize, uint32_t objectsPerBlock, uint32_t capKB, bool grow);
void *getObjectFromPool(ObjectPool *pool);
ObjectPool *destroyObjectPool(ObjectPool *pool);

// n zeroed objects behind an array of n pointers (entries 0..n-1). With
// `aligned` the object size is rounded up to a multiple of 16 and the
// objects are 16-byte aligned. Null on any allocation failure.
void **allocObjectArray(uint64_t objectSize, uint32_t n, uint32_t blockKB, bool aligned);
void **deallocObjectArray(void **array);

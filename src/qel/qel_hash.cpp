#include "qel/qel_hash.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "qel/qel_malloc.h"
#include "qel/qel_math.h"

uint32_t oat_hash(const void *key, uint64_t n)
{
    const auto *p = static_cast<const unsigned char *>(key);
    uint32_t h = 0;
    for (uint64_t i = 0; i < n; i++) {
        h += p[i];
        h += h << 10;
        h ^= h >> 6;
    }
    if (n == 0)
        return 0;
    h += h << 3;
    h ^= h >> 11;
    h += h << 15;
    return h;
}

uint32_t pjw_hash(const void *key, uint64_t n)
{
    const auto *p = static_cast<const unsigned char *>(key);
    uint32_t h = 0;
    for (uint64_t i = 0; i < n; i++)
        h = h * 0x1003fu + p[i];
    return h;
}

uint32_t rot_hash(const void *key, uint64_t n)
{
    const auto *p = static_cast<const unsigned char *>(key);
    uint32_t h = 0;
    for (uint64_t i = 0; i < n; i++)
        h = std::rotr(h, 28) ^ p[i];
    return h;
}

uint32_t fnv1a_hash(const void *key, uint64_t n)
{
    const auto *p = static_cast<const unsigned char *>(key);
    uint32_t h = 0x811c9dc5u;
    for (uint64_t i = 0; i < n; i++)
        h = (h ^ p[i]) * 16777619u;
    return h;
}

namespace {

constexpr HashFxn kHashFxns[] = {oat_hash, pjw_hash, rot_hash, fnv1a_hash, oat_hash};

// Grows the links to hold at least n, zeroing the new ones.
int growChain(HashChain *chain, uint32_t n)
{
    if (chain->capacity >= n)
        return 0;
    uint64_t step = chain->increment != 0 ? chain->increment : chain->capacity;
    uint64_t want = std::max<uint64_t>(uint64_t{chain->capacity} + step, n);
    auto newCap = static_cast<uint32_t>(std::min<uint64_t>(want, UINT32_MAX));
    if (reallocArrayOf(&chain->links, newCap, chain->capacity) != 0)
        return 1;
    chain->capacity = newCap;
    return 0;
}

}   // namespace

HashTable *createHashTable(uint32_t minBuckets, uint32_t capacity, uint32_t kind)
{
    if (kind > 4)
        return nullptr;
    auto *table = static_cast<HashTable *>(allocBlock(sizeof(HashTable)));
    if (!table)
        return nullptr;
    uint32_t buckets = std::max(powerOfTwoFloor(capacity), minBuckets);
    // A zero bucket count would make every hash a division by zero.
    if (buckets == 0)
        buckets = kMinHashBuckets;
    table->numBuckets = buckets;
    table->capacity = capacity;
    table->hashKind = kind;
    table->hashFxn = kHashFxns[kind];
    table->chain.increment = capacity;
    table->heads = allocArrayOf<uint32_t>(buckets);
    if (capacity != 0)
        table->chain.links = allocArrayOf<uint32_t>(capacity);
    if (!table->heads || (capacity != 0 && !table->chain.links))
        return destroyHashTable(table);
    table->chain.capacity = capacity;
    return table;
}

HashTable *destroyHashTable(HashTable *table)
{
    if (!table)
        return nullptr;
    deallocArray(table->chain.links);
    deallocArray(table->heads);
    deallocBlock(table);
    return nullptr;
}

uint32_t getHashValue(const void *key, uint64_t length, const HashTable *table)
{
    uint32_t h = table->hashFxn(key, length);
    uint32_t nb = table->numBuckets;
    return (nb & (nb - 1)) == 0 ? h & (nb - 1) : h % nb;
}

uint32_t getCStringHashValue(const char *s, const HashTable *table)
{
    return getHashValue(s, std::strlen(s), table);
}

int ensureHashChainSize(HashTable *table, uint32_t n) { return growChain(&table->chain, n); }

int resizeHashChain(HashTable *table, uint32_t n)
{
    if (growChain(&table->chain, n) != 0)
        return 1;
    table->chain.count = n;
    return 0;
}

int insertIntoHashTable(uint32_t e, uint32_t bucket, HashTable *table)
{
    if (e == 0 || bucket >= table->numBuckets)
        return 1;
    // Find the tail first: re-inserting an entry of this chain would cut
    // the chain behind it.
    uint32_t *links = table->chain.links;
    uint32_t tail = 0;
    for (uint32_t cur = table->heads[bucket]; cur != 0; cur = links[cur - 1]) {
        if (cur == e)
            return 1;
        tail = cur;
    }
    if (growChain(&table->chain, e) != 0)
        return 1;
    links = table->chain.links;
    if (tail == 0)
        table->heads[bucket] = e;
    else
        links[tail - 1] = e;
    links[e - 1] = 0;
    table->chain.count = std::max(table->chain.count, e);
    return 0;
}

uint32_t firstHashEntry(uint32_t bucket, HashTable *table)
{
    table->cursor = bucket < table->numBuckets ? table->heads[bucket] : 0;
    return table->cursor;
}

uint32_t nextHashEntry(HashTable *table)
{
    uint32_t cur = table->cursor;
    if (cur == 0 || cur > table->chain.capacity)
        return table->cursor = 0;
    table->cursor = table->chain.links[cur - 1];
    return table->cursor;
}

void clearHashTable(HashTable *table)
{
    std::fill_n(table->heads, table->numBuckets, 0u);
    uint32_t used = std::min(std::max(table->capacity, table->chain.count), table->chain.capacity);
    std::fill_n(table->chain.links, used, 0u);
    table->chain.count = 0;
    table->cursor = 0;
}

uint32_t getHashTableSize(const HashTable *table) { return table->numBuckets; }

// Hash tables that index entries kept elsewhere.
//
// The table stores only 1-based entry numbers in bucket chains. A caller
// hashes its own key, walks the chain of the key's bucket with
// firstHashEntry / nextHashEntry comparing each candidate against its own
// record, and when nothing matches stores the record as entry count + 1,
// makes room with ensureHashChainSize and inserts the entry.
#pragma once

#include <cstdint>

using HashFxn = uint32_t (*)(const void *key, uint64_t n);

// The chain links: link e-1 holds the entry after entry e in its chain,
// 0 at the end. Grows like a value vector of u32 (capacity + increment, or
// doubling when the increment is 0, or straight to the size asked for).
struct HashChain {
    uint32_t *links;
    uint32_t count;
    uint32_t capacity;
    uint32_t increment;
};

struct HashTable {
    uint32_t *heads;        // first entry of each bucket's chain, 0 when empty
    HashChain chain;
    uint32_t numBuckets;
    uint32_t capacity;      // as given at creation
    uint32_t cursor;        // entry last returned while walking a chain
    uint32_t hashKind;
    HashFxn hashFxn;
};

// Used when both the capacity and the requested minimum are 0.
inline constexpr uint32_t kMinHashBuckets = 16;

uint32_t oat_hash(const void *key, uint64_t n);     // kinds 0 and 4
uint32_t pjw_hash(const void *key, uint64_t n);     // kind 1
uint32_t rot_hash(const void *key, uint64_t n);     // kind 2
uint32_t fnv1a_hash(const void *key, uint64_t n);   // kind 3

// Buckets: max(largest power of two <= capacity, minBuckets). Null for a
// kind above 4 or when an allocation failed (everything freed).
HashTable *createHashTable(uint32_t minBuckets, uint32_t capacity, uint32_t kind);
HashTable *destroyHashTable(HashTable *table);

uint32_t getHashValue(const void *key, uint64_t length, const HashTable *table);
uint32_t getCStringHashValue(const char *s, const HashTable *table);

// Appends entry e (1-based) at the end of the bucket's chain. The chain
// grows to hold e when it cannot yet. Returns 1, changing nothing, when e
// is 0, the bucket does not exist, e is already in that chain, or the chain
// cannot grow; else 0.
int insertIntoHashTable(uint32_t e, uint32_t bucket, HashTable *table);
int ensureHashChainSize(HashTable *table, uint32_t n);
int resizeHashChain(HashTable *table, uint32_t n);

uint32_t firstHashEntry(uint32_t bucket, HashTable *table);
uint32_t nextHashEntry(HashTable *table);

void clearHashTable(HashTable *table);
uint32_t getHashTableSize(const HashTable *table);

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "qel/qel_hash.h"
#include "qel/qel_malloc.h"
#include "qel/qel_objpool.h"
#include "alloc_test_support.h"

namespace {

int &gFailureReports = alloctest::gReports;

// Failure reports are counted instead of printed.
class HashPoolTest : public alloctest::AllocFailureTest {
protected:
    HashPoolTest() : AllocFailureTest(alloctest::countingReport) {}
    void TearDown() override
    {
        AllocFailureTest::TearDown();
        installMemFailureMsgFxn(stdMemFailureMsgFxn);
    }
};

using HashTableTest = HashPoolTest;
using ObjectPoolTest = HashPoolTest;

uint32_t hashOf(HashFxn f, const std::string &s) { return f(s.data(), s.size()); }

TEST_F(HashTableTest, HashFunctionsKnownValues)
{
    EXPECT_EQ(oat_hash("", 0), 0u);
    EXPECT_EQ(fnv1a_hash("", 0), 0x811c9dc5u);
    EXPECT_EQ(pjw_hash("", 0), 0u);
    EXPECT_EQ(rot_hash("", 0), 0u);
    // Published values of the one-at-a-time and FNV-1a hashes.
    EXPECT_EQ(hashOf(oat_hash, "a"), 0xca2e9442u);
    EXPECT_EQ(hashOf(oat_hash, "The quick brown fox jumps over the lazy dog"), 0x519e91f5u);
    EXPECT_EQ(hashOf(fnv1a_hash, "a"), 0xe40c292cu);
    EXPECT_EQ(hashOf(fnv1a_hash, "foobar"), 0xbf9cf968u);
    // By hand: 97 x 65599 + 98; and (97 rotated right by 28) xor 98.
    EXPECT_EQ(hashOf(pjw_hash, "ab"), 6363201u);
    EXPECT_EQ(hashOf(rot_hash, "ab"), (97u << 4) ^ 98u);
    // Bytes are unsigned: a high byte must not sign-extend.
    const unsigned char high[] = {0xff};
    EXPECT_EQ(pjw_hash(high, 1), 255u);
}

TEST_F(HashTableTest, BucketCounts)
{
    struct Case {
        uint32_t minimum, capacity, buckets;
    };
    const Case cases[] = {{1024, 100, 1024}, {16, 3000, 2048}, {0, 5, 4}, {1, 1, 1}, {1000, 10, 1000}, {0, 0, kMinHashBuckets}};
    for (const Case &c : cases) {
        HashTable *t = createHashTable(c.minimum, c.capacity, 0);
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(getHashTableSize(t), c.buckets) << c.minimum << " " << c.capacity;
        EXPECT_EQ(t->capacity, c.capacity);
        destroyHashTable(t);
    }
    EXPECT_EQ(createHashTable(16, 16, 5), nullptr);
    EXPECT_EQ(destroyHashTable(nullptr), nullptr);
}

TEST_F(HashTableTest, BucketOfAKeyIsTheHashModuloTheBuckets)
{
    for (uint32_t kind = 0; kind <= 4; kind++) {
        HashTable *t = createHashTable(1000, 0, kind);   // not a power of two
        HashTable *p = createHashTable(0, 300, kind);    // 256 buckets
        ASSERT_TRUE(t && p);
        HashFxn f = kind == 1 ? pjw_hash : kind == 2 ? rot_hash : kind == 3 ? fnv1a_hash : oat_hash;
        for (const char *key : {"", "x", "taxon_17", "((a,b),c);"}) {
            uint32_t h = f(key, std::strlen(key));
            EXPECT_EQ(getHashValue(key, std::strlen(key), t), h % 1000);
            EXPECT_EQ(getCStringHashValue(key, t), h % 1000);
            EXPECT_EQ(getCStringHashValue(key, p), h % 256);
        }
        destroyHashTable(t);
        destroyHashTable(p);
    }
}

TEST_F(HashTableTest, ChainsKeepInsertionOrder)
{
    HashTable *t = createHashTable(8, 4, 0);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(insertIntoHashTable(1, 3, t), 0);
    EXPECT_EQ(insertIntoHashTable(4, 5, t), 0);
    EXPECT_EQ(insertIntoHashTable(2, 3, t), 0);
    EXPECT_EQ(insertIntoHashTable(3, 3, t), 0);
    EXPECT_EQ(firstHashEntry(3, t), 1u);
    EXPECT_EQ(nextHashEntry(t), 2u);
    EXPECT_EQ(nextHashEntry(t), 3u);
    EXPECT_EQ(nextHashEntry(t), 0u);
    EXPECT_EQ(nextHashEntry(t), 0u);
    EXPECT_EQ(firstHashEntry(5, t), 4u);
    EXPECT_EQ(nextHashEntry(t), 0u);
    EXPECT_EQ(firstHashEntry(0, t), 0u);
    EXPECT_EQ(t->chain.count, 4u);

    // Refused without change: entry 0, a missing bucket, an entry already
    // in the chain (which would cut the chain behind it).
    EXPECT_EQ(insertIntoHashTable(0, 3, t), 1);
    EXPECT_EQ(insertIntoHashTable(5, 8, t), 1);
    EXPECT_EQ(insertIntoHashTable(2, 3, t), 1);
    EXPECT_EQ(firstHashEntry(8, t), 0u);
    EXPECT_EQ(firstHashEntry(3, t), 1u);
    EXPECT_EQ(nextHashEntry(t), 2u);
    EXPECT_EQ(nextHashEntry(t), 3u);
    EXPECT_EQ(nextHashEntry(t), 0u);

    // An entry beyond the chain's room makes room, and raises the count.
    EXPECT_EQ(insertIntoHashTable(40, 3, t), 0);
    EXPECT_GE(t->chain.capacity, 40u);
    EXPECT_EQ(t->chain.count, 40u);

    clearHashTable(t);
    EXPECT_EQ(t->chain.count, 0u);
    for (uint32_t b = 0; b < getHashTableSize(t); b++)
        EXPECT_EQ(firstHashEntry(b, t), 0u);
    EXPECT_EQ(insertIntoHashTable(1, 3, t), 0);
    EXPECT_EQ(firstHashEntry(3, t), 1u);
    EXPECT_EQ(nextHashEntry(t), 0u);
    destroyHashTable(t);
}

TEST_F(HashTableTest, ChainGrowthAndResize)
{
    HashTable *t = createHashTable(4, 10, 0);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(ensureHashChainSize(t, 10), 0);
    EXPECT_EQ(t->chain.capacity, 10u);
    EXPECT_EQ(ensureHashChainSize(t, 11), 0);   // capacity + increment
    EXPECT_EQ(t->chain.capacity, 20u);
    EXPECT_EQ(ensureHashChainSize(t, 55), 0);   // straight to the size asked
    EXPECT_EQ(t->chain.capacity, 55u);
    EXPECT_EQ(resizeHashChain(t, 30), 0);
    EXPECT_EQ(t->chain.count, 30u);
    destroyHashTable(t);

    HashTable *z = createHashTable(0, 0, 0);   // no increment: doubling
    ASSERT_NE(z, nullptr);
    EXPECT_EQ(ensureHashChainSize(z, 1), 0);
    EXPECT_EQ(z->chain.capacity, 1u);
    EXPECT_EQ(ensureHashChainSize(z, 2), 0);
    EXPECT_EQ(z->chain.capacity, 2u);
    EXPECT_EQ(ensureHashChainSize(z, 3), 0);
    EXPECT_EQ(z->chain.capacity, 4u);
    destroyHashTable(z);
}

TEST_F(HashTableTest, AllocationFailures)
{
    for (int64_t countdown = 0; countdown < 3; countdown++) {
        clearMemoryErrorStatus();
        qel_setAllocFailureCountdown(countdown);
        EXPECT_EQ(createHashTable(64, 64, 0), nullptr) << countdown;   // nothing may leak
        qel_setAllocFailureCountdown(-1);
    }
    clearMemoryErrorStatus();
    HashTable *t = createHashTable(4, 2, 0);
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(insertIntoHashTable(1, 0, t), 0);
    qel_setAllocFailureCountdown(0);
    EXPECT_EQ(ensureHashChainSize(t, 100), 1);
    qel_setAllocFailureCountdown(0);
    EXPECT_EQ(insertIntoHashTable(50, 0, t), 1);
    qel_setAllocFailureCountdown(-1);
    clearMemoryErrorStatus();
    EXPECT_EQ(t->chain.capacity, 2u);   // unchanged, still usable
    EXPECT_EQ(firstHashEntry(0, t), 1u);
    EXPECT_EQ(nextHashEntry(t), 0u);
    EXPECT_EQ(insertIntoHashTable(2, 0, t), 0);
    destroyHashTable(t);
}

// The caller's side of the lookup protocol: records live in `keys`,
// entry e is keys[e - 1].
struct KeyIndex {
    HashTable *table;
    std::vector<std::string> keys;

    uint32_t find(const std::string &key) const
    {
        uint32_t b = getHashValue(key.data(), key.size(), table);
        for (uint32_t e = firstHashEntry(b, table); e != 0; e = nextHashEntry(table))
            if (keys[e - 1] == key)
                return e;
        return 0;
    }
    uint32_t add(const std::string &key)
    {
        uint32_t e = find(key);
        if (e != 0)
            return e;
        keys.push_back(key);
        e = static_cast<uint32_t>(keys.size());
        if (ensureHashChainSize(table, e) != 0)
            return 0;
        if (insertIntoHashTable(e, getHashValue(key.data(), key.size(), table), table) != 0)
            return 0;
        return e;
    }
};

std::string randomKey(std::mt19937 &gen)
{
    std::string s(gen() % 6, ' ');   // short keys: plenty of repeats
    for (auto &c : s)
        c = static_cast<char>('a' + gen() % 4);
    return s;
}

TEST_F(HashTableTest, MatchesUnorderedMap)
{
    struct Shape {
        uint32_t minimum, capacity, kind;
    };
    const Shape shapes[] = {{0, 0, 0}, {16, 100, 0}, {1, 1, 1}, {1000, 50, 2}, {64, 5000, 3}, {2, 3, 4}};
    std::mt19937 gen(2024);
    for (const Shape &sh : shapes) {
        KeyIndex idx{createHashTable(sh.minimum, sh.capacity, sh.kind), {}};
        ASSERT_NE(idx.table, nullptr);
        for (int round = 0; round < 2; round++) {
            std::unordered_map<std::string, uint32_t> ref;
            for (int op = 0; op < 3000; op++) {
                std::string key = randomKey(gen);
                if (gen() % 3 == 0) {
                    auto it = ref.find(key);
                    ASSERT_EQ(idx.find(key), it == ref.end() ? 0u : it->second) << key;
                } else {
                    uint32_t e = idx.add(key);
                    ASSERT_NE(e, 0u);
                    auto [it, fresh] = ref.emplace(key, e);
                    ASSERT_EQ(it->second, e) << key;
                    if (fresh) {
                        ASSERT_EQ(e, ref.size());
                    }
                }
            }
            // Every key is reachable from exactly one bucket.
            size_t walked = 0;
            for (uint32_t b = 0; b < getHashTableSize(idx.table); b++)
                for (uint32_t e = firstHashEntry(b, idx.table); e != 0; e = nextHashEntry(idx.table))
                    walked++;
            EXPECT_EQ(walked, ref.size());
            clearHashTable(idx.table);
            idx.keys.clear();
        }
        destroyHashTable(idx.table);
    }
}

// ---- object pools ----

TEST_F(ObjectPoolTest, BlockSizesUnderACap)
{
    ObjectPool *p = createObjectPool(40, 100, 2, false);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->objectsPerBlock, 51u);   // 2048 / 40
    EXPECT_EQ(p->totalObjects, 51u);
    destroyObjectPool(p);

    ObjectPool *q = createObjectPool(40, 0, 2, false);   // 0 asks for the cap's count
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(q->objectsPerBlock, 51u);
    destroyObjectPool(q);

    ObjectPool *big = createObjectPool(4096, 10, 1, false);   // larger than the cap
    ASSERT_NE(big, nullptr);
    EXPECT_EQ(big->objectsPerBlock, 1u);
    destroyObjectPool(big);

    ObjectPool *one = createObjectPool(8, 0, 0, false);
    ASSERT_NE(one, nullptr);
    EXPECT_EQ(one->objectsPerBlock, 1u);
    destroyObjectPool(one);

    EXPECT_EQ(createObjectPool(0, 10, 0, false), nullptr);
    EXPECT_EQ(destroyObjectPool(nullptr), nullptr);
}

// Block sizes as seen through the running total after each new block.
std::vector<uint32_t> blockSizes(ObjectPool *p, uint32_t objects)
{
    std::vector<uint32_t> sizes{p->totalObjects};
    for (uint32_t i = 0; i < objects; i++) {
        uint32_t before = p->totalObjects;
        if (!getObjectFromPool(p))
            break;
        if (p->totalObjects != before)
            sizes.push_back(p->totalObjects - before);
    }
    return sizes;
}

TEST_F(ObjectPoolTest, GrowingBlocksDoubleUpToTheCap)
{
    ObjectPool *p = createObjectPool(16, 100, 0, true);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(blockSizes(p, 801), (std::vector<uint32_t>{100, 100, 200, 400, 800}));
    destroyObjectPool(p);

    ObjectPool *c = createObjectPool(8, 100, 8, true);   // cap 1024 objects
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(blockSizes(c, 3000), (std::vector<uint32_t>{100, 100, 200, 400, 800, 1024, 1024}));
    destroyObjectPool(c);

    ObjectPool *f = createObjectPool(8, 100, 0, false);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(blockSizes(f, 301), (std::vector<uint32_t>{100, 100, 100, 100}));
    destroyObjectPool(f);
}

TEST_F(ObjectPoolTest, ObjectsAreZeroedDistinctAndStable)
{
    std::mt19937 gen(9);
    for (uint64_t size : {1u, 7u, 24u, 100u}) {
        ObjectPool *p = createObjectPool(size, 1 + gen() % 20, 0, gen() % 2 == 0);
        ASSERT_NE(p, nullptr);
        std::vector<unsigned char *> objs;
        for (int i = 0; i < 500; i++) {
            auto *o = static_cast<unsigned char *>(getObjectFromPool(p));
            ASSERT_NE(o, nullptr);
            for (uint64_t k = 0; k < size; k++)
                ASSERT_EQ(o[k], 0);
            std::memset(o, i % 251 + 1, size);
            objs.push_back(o);
        }
        // Nothing handed out later overwrote an earlier object.
        for (int i = 0; i < 500; i++)
            for (uint64_t k = 0; k < size; k++)
                ASSERT_EQ(objs[i][k], i % 251 + 1) << size << " " << i;
        EXPECT_EQ(std::set<unsigned char *>(objs.begin(), objs.end()).size(), objs.size());
        destroyObjectPool(p);
    }
}

TEST_F(ObjectPoolTest, FailedBlockLeavesThePoolUsable)
{
    ObjectPool *p = createObjectPool(32, 2, 0, false);
    ASSERT_NE(p, nullptr);
    ASSERT_NE(getObjectFromPool(p), nullptr);
    ASSERT_NE(getObjectFromPool(p), nullptr);
    qel_setAllocFailureCountdown(0);
    EXPECT_EQ(getObjectFromPool(p), nullptr);
    EXPECT_EQ(gFailureReports, 1);
    qel_setAllocFailureCountdown(-1);
    clearMemoryErrorStatus();
    EXPECT_NE(getObjectFromPool(p), nullptr);
    EXPECT_EQ(p->totalObjects, 4u);
    destroyObjectPool(p);

    qel_setAllocFailureCountdown(1);   // record made, first block refused
    EXPECT_EQ(createObjectPool(32, 2, 0, false), nullptr);
    qel_setAllocFailureCountdown(-1);
    clearMemoryErrorStatus();
    // A block whose byte count overflows is refused rather than cut short.
    EXPECT_EQ(createObjectPool(UINT64_MAX / 2, 4, 0, false), nullptr);
}

TEST_F(ObjectPoolTest, ObjectArrayLayout)
{
    void **a = allocObjectArray(24, 10, 1, true);
    ASSERT_NE(a, nullptr);
    const auto *header = static_cast<const uint32_t *>(a[-1]);
    EXPECT_EQ(header[0], 32u);   // 1024 / 32 objects per block
    EXPECT_EQ(header[1], 10u);
    for (uint32_t i = 0; i < 10; i++) {
        auto addr = reinterpret_cast<uintptr_t>(a[i]);
        EXPECT_EQ(addr % 16, 0u);
        EXPECT_EQ(addr, reinterpret_cast<uintptr_t>(a[0]) + 32 * i);   // one block
    }
    deallocObjectArray(a);

    // 100 objects of 24 bytes, 42 per 1 KB block: blocks of 42, 42, 16.
    void **b = allocObjectArray(24, 100, 1, false);
    ASSERT_NE(b, nullptr);
    for (uint32_t i = 0; i < 100; i++) {
        auto *o = static_cast<unsigned char *>(b[i]);
        for (int k = 0; k < 24; k++)
            ASSERT_EQ(o[k], 0);
        std::memset(o, static_cast<int>(i + 1), 24);
        if (i % 42 != 0) {
            EXPECT_EQ(o, static_cast<unsigned char *>(b[i - 1]) + 24);
        }
    }
    for (uint32_t i = 0; i < 100; i++)
        ASSERT_EQ(static_cast<unsigned char *>(b[i])[23], i + 1);
    deallocObjectArray(b);

    void **none = allocObjectArray(8, 0, 1, false);
    ASSERT_NE(none, nullptr);
    deallocObjectArray(none);
    EXPECT_EQ(deallocObjectArray(nullptr), nullptr);
    EXPECT_EQ(allocObjectArray(0, 5, 1, false), nullptr);
}

TEST_F(ObjectPoolTest, ObjectArrayFailuresFreeEverything)
{
    // Pointer array, header, then blocks of 42: fail each in turn.
    for (int64_t countdown = 0; countdown < 5; countdown++) {
        clearMemoryErrorStatus();
        qel_setAllocFailureCountdown(countdown);
        EXPECT_EQ(allocObjectArray(24, 100, 1, false), nullptr) << countdown;
        qel_setAllocFailureCountdown(-1);
    }
    clearMemoryErrorStatus();
    // With the failure flag already set nothing is handed out.
    reportMemoryFailure();
    EXPECT_EQ(allocObjectArray(24, 3, 1, false), nullptr);
    clearMemoryErrorStatus();
    // Rounding a huge size up to 16 would wrap around.
    EXPECT_EQ(allocObjectArray(UINT64_MAX - 3, 2, 1, true), nullptr);
}

}   // namespace

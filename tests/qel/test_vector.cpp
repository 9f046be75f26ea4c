#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "qel/qel_malloc.h"
#include "qel/qel_vector.h"
#include "alloc_test_support.h"

namespace {

class VectorTest : public alloctest::AllocFailureTest {};

// An element whose size is not a power of two, so slot arithmetic is tested.
struct Elem {
    uint32_t key;
    uint32_t a;
    uint32_t b;
    bool operator==(const Elem &o) const = default;
};

Elem makeElem(uint32_t key) { return {key, key * 7u, ~key}; }

int compareElems(const void *x, const void *y, void *)
{
    uint32_t a = static_cast<const Elem *>(x)->key, b = static_cast<const Elem *>(y)->key;
    return (a > b) - (a < b);
}

const Elem &elemAt(const Vector *v, uint32_t i) { return *static_cast<const Elem *>(getVectorElement(v, i)); }

void expectSameAs(const Vector *v, const std::vector<Elem> &model)
{
    ASSERT_EQ(v->count, model.size());
    ASSERT_LE(v->count, v->capacity);
    for (uint32_t i = 0; i < v->count; ++i)
        ASSERT_EQ(elemAt(v, i), model[i]) << "element " << i;
}

// The three kinds of vector that copy their elements.
enum class Kind { value, contiguousPool, blockPool };

Vector *makeVector(Kind kind, uint32_t capacity, uint32_t increment)
{
    uint32_t flags = kind == Kind::value ? 0
                     : kind == Kind::contiguousPool
                         ? kVectorPointers | kVectorCopies | kVectorContiguousPool
                         : kVectorPointers | kVectorCopies;
    return createVector(capacity, increment, sizeof(Elem), flags, nullptr);
}

TEST_F(VectorTest, GrowthSteps)
{
    Vector *v = createVector(0, 0, sizeof(int), 0, nullptr);
    ASSERT_NE(v, nullptr);
    std::vector<uint32_t> caps;
    for (int i = 0; i < 5; ++i) {
        ASSERT_NE(appendElementToVector(&i, v), nullptr);
        caps.push_back(v->capacity);
    }
    EXPECT_EQ(caps, (std::vector<uint32_t>{1, 2, 4, 4, 8}));
    destroyVector(v);

    v = createVector(0, 10, sizeof(int), 0, nullptr);
    for (int i = 0; i < 11; ++i) {
        ASSERT_NE(appendElementToVector(&i, v), nullptr);
        if (i == 0) {
            EXPECT_EQ(v->capacity, 10u);
        }
    }
    EXPECT_EQ(v->capacity, 20u);
    EXPECT_EQ(ensureVectorCapacity(v, 25), 0);
    EXPECT_EQ(v->capacity, 30u);  // capacity + increment exceeds the request
    EXPECT_EQ(ensureVectorCapacity(v, 100), 0);
    EXPECT_EQ(v->capacity, 100u);
    EXPECT_EQ(trimVectorToSize(v), 0);
    EXPECT_EQ(v->capacity, 11u);
    for (int i = 0; i < 11; ++i)
        EXPECT_EQ(*static_cast<int *>(getVectorElement(v, i)), i);
    EXPECT_EQ(getVectorElement(v, 11), nullptr);
    EXPECT_EQ(destroyVector(v), nullptr);
    EXPECT_EQ(destroyVector(nullptr), nullptr);
}

TEST_F(VectorTest, NullElementAppendsZeros)
{
    for (Kind kind : {Kind::value, Kind::contiguousPool, Kind::blockPool}) {
        Vector *v = makeVector(kind, 0, 0);
        Elem e = makeElem(5);
        ASSERT_NE(appendElementToVector(&e, v), nullptr);
        auto *z = static_cast<Elem *>(appendElementToVector(nullptr, v));
        ASSERT_NE(z, nullptr);
        EXPECT_EQ(*z, (Elem{0, 0, 0}));
        EXPECT_EQ(z, getVectorElement(v, 1));
        destroyVector(v);
    }
}

// Random appends, removals, resizes and clears compared with std::vector.
TEST_F(VectorTest, MatchesStdVectorUnderRandomOperations)
{
    std::mt19937 rng(31337);
    for (Kind kind : {Kind::value, Kind::contiguousPool, Kind::blockPool}) {
        for (int run = 0; run < 12; ++run) {
            Vector *v = makeVector(kind, rng() % 5, rng() % 2 ? 0 : 1 + rng() % 7);
            ASSERT_NE(v, nullptr);
            std::vector<Elem> model;
            for (int op = 0; op < 400; ++op) {
                uint32_t r = rng() % 20;
                if (r < 10) {
                    Elem e = makeElem(rng());
                    auto *stored = static_cast<Elem *>(appendElementToVector(&e, v));
                    ASSERT_NE(stored, nullptr);
                    EXPECT_EQ(*stored, e);
                    model.push_back(e);
                } else if (r < 15 && !model.empty()) {
                    uint32_t i = rng() % model.size();
                    ASSERT_EQ(removeVectorElementAt(v, i), 0);
                    model.erase(model.begin() + i);
                } else if (r < 17) {
                    uint32_t n = rng() % (model.size() + 10);
                    ASSERT_EQ(setVectorSize(v, n), 0);
                    model.resize(n, Elem{0, 0, 0});
                } else if (r == 17) {
                    ASSERT_EQ(trimVectorToSize(v), 0);
                    EXPECT_EQ(v->capacity, model.size());
                } else if (r == 18) {
                    ASSERT_EQ(ensureVectorCapacity(v, static_cast<uint32_t>(model.size()) + rng() % 50), 0);
                } else if (rng() % 8 == 0) {
                    clearVector(v);
                    model.clear();
                }
                EXPECT_EQ(removeVectorElementAt(v, static_cast<uint32_t>(model.size())), 1);
                expectSameAs(v, model);
                if (HasFatalFailure()) {
                    ADD_FAILURE() << "kind " << static_cast<int>(kind) << " run " << run << " op " << op;
                    destroyVector(v);
                    return;
                }
            }
            destroyVector(v);
        }
    }
}

TEST_F(VectorTest, BlockPoolAddressesStayFixed)
{
    Vector *v = makeVector(Kind::blockPool, 4, 0);
    std::vector<Elem *> addresses;
    for (uint32_t i = 0; i < 10; ++i) {
        Elem e = makeElem(i);
        addresses.push_back(static_cast<Elem *>(appendElementToVector(&e, v)));
    }
    for (uint32_t i = 10; i < 1010; ++i) {
        Elem e = makeElem(i);
        ASSERT_NE(appendElementToVector(&e, v), nullptr);
    }
    for (uint32_t i = 0; i < 10; ++i) {
        EXPECT_EQ(getVectorElement(v, i), addresses[i]);
        EXPECT_EQ(*addresses[i], makeElem(i));
    }
    destroyVector(v);
}

TEST_F(VectorTest, ContiguousPoolSlotsFollowMovedElements)
{
    Vector *v = makeVector(Kind::contiguousPool, 1, 0);
    Elem e0 = makeElem(0);
    void *first = appendElementToVector(&e0, v);
    for (uint32_t i = 1; i < 1000; ++i) {
        Elem e = makeElem(i);
        ASSERT_NE(appendElementToVector(&e, v), nullptr);
    }
    // The copies are one contiguous array; slot i points at copy i.
    auto *base = static_cast<Elem *>(getVectorElement(v, 0));
    for (uint32_t i = 0; i < 1000; ++i) {
        ASSERT_EQ(getVectorElement(v, i), base + i);
        ASSERT_EQ(base[i], makeElem(i));
    }
    (void)first;  // may dangle by now: only the slots are kept current
    destroyVector(v);
}

TEST_F(VectorTest, SortMatchesStdSort)
{
    std::mt19937 rng(99);
    for (Kind kind : {Kind::value, Kind::contiguousPool, Kind::blockPool}) {
        for (uint32_t n : {0u, 1u, 2u, 10u, 257u}) {
            Vector *v = makeVector(kind, 0, 0);
            std::vector<Elem> model;
            for (uint32_t i = 0; i < n; ++i) {
                Elem e = makeElem(rng() % 50);  // many ties
                appendElementToVector(&e, v);
                model.push_back(e);
            }
            ASSERT_EQ(sortVector(v, compareElems), 0);
            std::sort(model.begin(), model.end(), [](const Elem &a, const Elem &b) { return a.key < b.key; });
            expectSameAs(v, model);
            destroyVector(v);
        }
    }
}

TEST_F(VectorTest, PointerVectorsStoreAndOwn)
{
    int a = 1, b = 2;
    Vector *refs = createVector(0, 0, 0, kVectorPointers, nullptr);
    void **slot = static_cast<void **>(appendElementToVector(&a, refs));
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(*slot, &a);
    appendElementToVector(&b, refs);
    EXPECT_EQ(getVectorElement(refs, 1), &b);
    removeVectorElementAt(refs, 0);
    EXPECT_EQ(getVectorElement(refs, 0), &b);
    destroyVector(refs);

    // An owning vector frees what it holds on removal, resize and
    // destruction; the sanitizer reports any leak or double free.
    Vector *owned = createVector(2, 0, 0, kVectorPointers | kVectorOwnsElements, nullptr);
    for (int i = 0; i < 8; ++i) {
        auto *p = static_cast<int *>(allocBlock(sizeof(int)));
        *p = i;
        ASSERT_NE(appendElementToVector(p, owned), nullptr);
    }
    removeVectorElementAt(owned, 3);
    EXPECT_EQ(*static_cast<int *>(getVectorElement(owned, 3)), 4);
    ASSERT_EQ(setVectorSize(owned, 5), 0);
    destroyVector(owned);
}

TEST_F(VectorTest, DetachedVectorStoresBarePointers)
{
    Vector *v = makeVector(Kind::contiguousPool, 2, 0);
    Elem e = makeElem(1);
    appendElementToVector(&e, v);
    detachVectorData(v);
    Elem outside = makeElem(2);
    void **slot = static_cast<void **>(appendElementToVector(&outside, v));
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(getVectorElement(v, 1), &outside);
    EXPECT_EQ(elemAt(v, 0), makeElem(1));
    destroyVector(v);
}

int gAdded, gDisposed, gRefuseKey;
int countingCallback(void *element, int code)
{
    auto *e = static_cast<Elem *>(element);
    if (code == 1) {
        if (e->key == static_cast<uint32_t>(gRefuseKey))
            return 1;
        ++gAdded;
        e->a = 1000 + e->key;  // the callback may initialise the element
    } else {
        ++gDisposed;
    }
    return 0;
}

TEST_F(VectorTest, ElementCallbackRunsOnAddAndDispose)
{
    gAdded = gDisposed = 0;
    gRefuseKey = 3;
    Vector *v = createVector(0, 0, sizeof(Elem), kVectorPointers | kVectorCopies, countingCallback);
    for (uint32_t k = 0; k < 5; ++k) {
        Elem e = makeElem(k);
        void *r = appendElementToVector(&e, v);
        EXPECT_EQ(r == nullptr, k == 3) << k;
    }
    EXPECT_EQ(gAdded, 4);
    EXPECT_EQ(v->count, 5u);  // the refused element stays
    EXPECT_EQ(elemAt(v, 2).a, 1002u);
    destroyVector(v);
    EXPECT_EQ(gDisposed, 5);
}

TEST_F(VectorTest, PooledResizeRunsCallbacksAndRollsBack)
{
    gAdded = gDisposed = 0;
    gRefuseKey = -1;
    Vector *v = createVector(2, 0, sizeof(Elem),
                             kVectorPointers | kVectorCopies | kVectorContiguousPool, countingCallback);
    ASSERT_EQ(setVectorSize(v, 6), 0);
    EXPECT_EQ(gAdded, 6);
    EXPECT_EQ(elemAt(v, 5).a, 1000u);  // zero-filled, then initialised
    ASSERT_EQ(setVectorSize(v, 2), 0);
    EXPECT_EQ(gDisposed, 4);

    gRefuseKey = 0;  // every new (zeroed) element is refused
    gAdded = gDisposed = 0;
    EXPECT_EQ(setVectorSize(v, 9), 1);
    EXPECT_EQ(v->count, 2u);
    EXPECT_EQ(v->pool->elementVector->count, 2u);
    EXPECT_EQ(gDisposed, 0);
    gRefuseKey = -1;
    destroyVector(v);
}

// Every allocation point of an append, resize or creation is made to fail
// in turn: the vector must come back unchanged and still usable.
TEST_F(VectorTest, FailedAllocationLeavesVectorUnchanged)
{
    for (Kind kind : {Kind::value, Kind::contiguousPool, Kind::blockPool}) {
        for (int64_t countdown = 0; countdown < 3; ++countdown) {
            Vector *v = makeVector(kind, 3, 0);
            std::vector<Elem> model;
            for (uint32_t i = 0; i < 3; ++i) {
                model.push_back(makeElem(i));
                appendElementToVector(&model.back(), v);
            }
            clearMemoryErrorStatus();
            bool appended = false, resized = false;
            qel_setAllocFailureCountdown(countdown);
            for (uint32_t k = 0; k < 4 && !appended; ++k) {  // enough to need growth
                Elem e = makeElem(100 + k);
                if (appendElementToVector(&e, v))
                    model.push_back(e);
                else
                    appended = true;
            }
            expectSameAs(v, model);
            if (!memoryErrorHasOccurred()) {
                qel_setAllocFailureCountdown(0);
                resized = setVectorSize(v, 1000) != 0;
                EXPECT_TRUE(resized);
                expectSameAs(v, model);
            }
            EXPECT_TRUE(appended || resized) << "kind " << static_cast<int>(kind) << " countdown " << countdown;
            qel_setAllocFailureCountdown(-1);
            clearMemoryErrorStatus();
            for (uint32_t k = 0; k < 40; ++k) {
                model.push_back(makeElem(200 + k));
                ASSERT_NE(appendElementToVector(&model.back(), v), nullptr);
            }
            expectSameAs(v, model);
            destroyVector(v);
        }
    }
}

TEST_F(VectorTest, FailedCreationFreesEverything)
{
    for (uint32_t flags : {0u, kVectorPointers | kVectorCopies,
                           kVectorPointers | kVectorCopies | kVectorContiguousPool}) {
        for (int64_t countdown = 0; countdown < 5; ++countdown) {
            clearMemoryErrorStatus();
            qel_setAllocFailureCountdown(countdown);
            Vector *v = createVector(4, 0, sizeof(Elem), flags, nullptr);
            qel_setAllocFailureCountdown(-1);
            EXPECT_EQ(v == nullptr, memoryErrorHasOccurred()) << flags << "/" << countdown;
            destroyVector(v);  // the sanitizer checks that nothing leaked
        }
    }
    EXPECT_EQ(createVector(4, 0, 0, 0, nullptr), nullptr);
}

}  // namespace

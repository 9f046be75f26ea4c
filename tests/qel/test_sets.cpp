#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "qel/qel_errormsg.h"
#include "qel/qel_malloc.h"
#include "qel/qel_sets.h"
#include "alloc_test_support.h"
#include "capture_test_support.h"

namespace {

using captest::capturePrint;
std::string &gOut = captest::gCaptured;

class SetsTest : public alloctest::AllocFailureTest {
protected:
    void SetUp() override
    {
        gOut.clear();
        AllocFailureTest::SetUp();
    }
};

using Ref = std::vector<bool>;

Set *makeSet(uint32_t capacity, std::initializer_list<uint32_t> members)
{
    Set *s = allocSet(capacity);
    for (uint32_t m : members)
        addSetMember(s, m);
    return s;
}

Ref randomRef(std::mt19937 &rng, uint32_t capacity)
{
    // Densities from sparse to nearly full so that empty words, single bits
    // and full words all occur.
    static const double densities[] = {0.0, 0.002, 0.05, 0.5, 0.95, 1.0};
    double d = densities[rng() % 6];
    std::bernoulli_distribution bit(d);
    Ref r(capacity);
    for (uint32_t i = 0; i < capacity; i++)
        r[i] = bit(rng);
    return r;
}

Set *setFromRef(const Ref &r)
{
    Set *s = allocSet(static_cast<uint32_t>(r.size()));
    for (uint32_t i = 0; i < r.size(); i++)
        if (r[i])
            addSetMember(s, i);
    return s;
}

Ref refFromSet(const Set *s)
{
    Ref r(s->capacity);
    for (uint32_t i = 0; i < s->capacity; i++)
        r[i] = isSetMember(s, i);
    return r;
}

uint32_t refCount(const Ref &r)
{
    uint32_t n = 0;
    for (bool b : r)
        n += b;
    return n;
}

uint32_t sizeClass(const Ref &r)
{
    uint32_t k = 0;
    for (size_t w = 0; w < r.size(); w += 64) {
        uint32_t c = 0;
        for (size_t i = w; i < r.size() && i < w + 64; i++)
            c += r[i];
        k += c == 0 ? 0 : c == 1 ? 1 : 2;
    }
    return k;
}

// The bits above the capacity in the last word must stay clear.
bool tailClear(const Set *s)
{
    return s->nwords == 0 || (s->words[s->nwords - 1] & ~lastWordMask(s->capacity)) == 0;
}

std::string listing(const Set *s, uint32_t allCount = kSetEnd, const char *first = nullptr,
                    const char *later = nullptr, const char *brackets = nullptr, bool plain = false)
{
    gOut.clear();
    outputSetMembers(s, capturePrint, allCount, first, later, brackets, plain);
    return gOut;
}

// Reads the compact list notation back: "a", "a-b", "a-b\k", 1-based.
Ref parseListing(const std::string &text, uint32_t capacity)
{
    Ref r(capacity);
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] == ' ') {
            i++;
            continue;
        }
        unsigned a = 0, b = 0, k = 1;
        int used = 0;
        if (sscanf(text.c_str() + i, "%u-%u\\%u%n", &a, &b, &k, &used) == 3) {
        } else if (k = 1, sscanf(text.c_str() + i, "%u-%u%n", &a, &b, &used) == 2) {
        } else if (sscanf(text.c_str() + i, "%u%n", &a, &used) == 1) {
            b = a;
        } else {
            ADD_FAILURE() << "unreadable listing: " << text;
            return r;
        }
        for (unsigned m = a; m <= b; m += k)
            r.at(m - 1) = true;
        i += static_cast<size_t>(used);
    }
    return r;
}

// ---------------------------------------------------------------------------

TEST_F(SetsTest, SmallSetsAreInlineAndLargeOnesOwnTheirWords)
{
    Set *s64 = allocSet(64);
    Set *s65 = allocSet(65);
    Set *s0 = allocSet(0);
    ASSERT_TRUE(s64 && s65 && s0);
    EXPECT_EQ(s64->nwords, 1u);
    EXPECT_EQ(s64->words, &s64->inlineWord);
    EXPECT_FALSE(s64->ownsWords);
    EXPECT_EQ(s65->nwords, 2u);
    EXPECT_NE(s65->words, &s65->inlineWord);
    EXPECT_TRUE(s65->ownsWords);
    EXPECT_EQ(s0->nwords, 0u);
    EXPECT_EQ(firstSetMember(s0), kSetEnd);
    EXPECT_TRUE(isSetEmpty(s0));
    EXPECT_EQ(deallocSet(s64), nullptr);
    deallocSet(s65);
    deallocSet(s0);
    EXPECT_EQ(deallocSet(nullptr), nullptr);

    Set local;
    makeSmallSet(&local, 40);
    addSetMember(&local, 39);
    EXPECT_EQ(firstSetMember(&local), 39u);
    EXPECT_EQ(local.words, &local.inlineWord);
}

TEST_F(SetsTest, WordCountArithmeticHoldsAtTheLimits)
{
    EXPECT_EQ(setWordCount(0), 0u);
    EXPECT_EQ(setWordCount(1), 1u);
    EXPECT_EQ(setWordCount(64), 1u);
    EXPECT_EQ(setWordCount(65), 2u);
    // (capacity + 63) in 32 bits would wrap to a tiny count here.
    EXPECT_EQ(setWordCount(0xFFFFFFFFu), 0x4000000u);
    EXPECT_EQ(lastWordMask(64), ~uint64_t{0});
    EXPECT_EQ(lastWordMask(65), uint64_t{1});

    // Capacities whose members could collide with the end value are refused
    // like an allocation that cannot be met.
    EXPECT_EQ(allocSet(0x80000000u), nullptr);
    EXPECT_TRUE(memoryErrorHasOccurred());
    clearMemoryErrorStatus();
    Set *s = allocSet(10);
    EXPECT_EQ(expandSet(s, 0xFFFFFFFFu), 1);
    EXPECT_EQ(s->capacity, 10u);
    deallocSet(s);
    clearMemoryErrorStatus();
    EXPECT_EQ(allocSetFamily(2, 0x80000000u), nullptr);
}

TEST_F(SetsTest, SingleMemberOperations)
{
    Set *s = allocSet(130);
    addSetMember(s, 0);
    addSetMember(s, 64);
    addSetMember(s, 129);
    addSetMember(s, 129);
    EXPECT_TRUE(isSetMember(s, 0));
    EXPECT_TRUE(isSetMember(s, 64));
    EXPECT_TRUE(isSetMember(s, 129));
    EXPECT_FALSE(isSetMember(s, 1));
    EXPECT_FALSE(isSetMember(s, 130));  // outside the capacity
    EXPECT_FALSE(isSetMember(s, kSetEnd));
    EXPECT_EQ(card(s), 3u);
    removeSetMember(s, 64);
    removeSetMember(s, 65);
    EXPECT_EQ(card(s), 2u);
    EXPECT_FALSE(isSetMember(s, 64));
    EXPECT_TRUE(tailClear(s));
#ifndef NDEBUG
    // Release builds drop the check, so out-of-range calls run only here.
    EXPECT_DEATH(addSetMember(s, 130), "");
    EXPECT_DEATH(removeSetMember(s, 200), "");
#endif
    deallocSet(s);
}

TEST_F(SetsTest, IterationCursorWrapsAfterTheEnd)
{
    Set *s = makeSet(200, {5, 63, 64, 199});
    std::vector<uint32_t> seen;
    for (uint32_t m = firstSetMember(s); m != kSetEnd; m = nextSetMember(s))
        seen.push_back(m);
    EXPECT_EQ(seen, (std::vector<uint32_t>{5, 63, 64, 199}));
    EXPECT_EQ(s->cursor, -1);
    EXPECT_EQ(nextSetMember(s), 5u);  // starts again
    setPreviousMember(s, 63);
    EXPECT_EQ(nextSetMember(s), 64u);
    EXPECT_EQ(followingSetMember(s, 64), 199u);
    EXPECT_EQ(followingSetMember(s, kSetEnd), 5u);
    EXPECT_EQ(s->cursor, 64);  // followingSetMember leaves it alone
    EXPECT_EQ(lastSetMember(s), 199u);
    EXPECT_EQ(nthSetMember(s, 2), 64u);
    EXPECT_EQ(nthSetMember(s, 4), kSetEnd);
    EXPECT_EQ(nextOneBit(s->words, s->capacity, s->nwords, 200), kSetEnd);
    EXPECT_EQ(nextOneBit(s->words, s->capacity, s->nwords, 64), 64u);
    deallocSet(s);
}

// Values from the generator are taken in turn, to show which position the
// member was drawn from.
struct FakeRng {
    std::vector<uint32_t> values;
    size_t next = 0;
    uint32_t lastBound = 0;
};
uint32_t randomInteger(FakeRng *g, uint32_t bound)
{
    g->lastBound = bound;
    return g->values[g->next++] % bound;
}

TEST_F(SetsTest, RandomMemberIsTheDrawnPosition)
{
    Set *s = makeSet(100, {2, 30, 70, 99});
    FakeRng g{{0, 3, 2}};
    EXPECT_EQ(randomSetMember(s, card(s), &g), 2u);
    EXPECT_EQ(g.lastBound, 4u);
    EXPECT_EQ(randomSetMember(s, card(s), &g), 99u);
    EXPECT_EQ(randomSetMember(s, card(s), &g), 70u);
    deallocSet(s);
}

TEST_F(SetsTest, KnownAnswersOfQueriesAndAlgebra)
{
    Set *a = makeSet(70, {1});
    Set *b = makeSet(70, {1});
    Set *c = makeSet(70, {69});
    EXPECT_EQ(setUnion(a, b, nullptr), 1u);
    EXPECT_EQ(setUnion(a, c, nullptr), 2u);  // one bit in each of two words
    EXPECT_EQ(setIntersection(a, c, nullptr), 0u);
    EXPECT_EQ(isSubsetOfSet(a, b), -1);
    addSetMember(b, 2);
    EXPECT_EQ(isSubsetOfSet(a, b), 1);
    EXPECT_EQ(isSubsetOfSet(b, a), 0);
    EXPECT_EQ(setSubtract(a, b, nullptr), 0);
    EXPECT_EQ(setSubtract(b, a, nullptr), 1);

    uint64_t e1[2] = {0, 0}, e2[2] = {0, 0};
    EXPECT_EQ(bitVecIsSubset(e1, e2, 2), -1);

    Set *full64 = allocSet(64);
    fillSet(full64, 0);
    EXPECT_TRUE(isSetFull(full64, 0));
    removeSetMember(full64, 63);
    EXPECT_FALSE(isSetFull(full64, 0));
    EXPECT_TRUE(isSetFull(full64, 63));
    Set *full70 = allocSet(70);
    fillSet(full70, 69);
    EXPECT_FALSE(isSetFull(full70, 0));
    addSetMember(full70, 69);
    EXPECT_TRUE(isSetFull(full70, 0));
    EXPECT_FALSE(isSetFull(full70, 71));
    EXPECT_TRUE(tailClear(full70));

    setComplement(full70, full70);
    EXPECT_TRUE(isSetEmpty(full70));
    setComplement(full70, full70);
    EXPECT_EQ(card(full70), 70u);
    EXPECT_TRUE(tailClear(full70));

    makeSetSingleton(full70, 68);
    EXPECT_TRUE(isSetSingleton(full70));
    EXPECT_EQ(firstSetMember(full70), 68u);
    makeSetSingleton(full70, kSetEnd);
    EXPECT_TRUE(isSetEmpty(full70));

    for (Set *s : {a, b, c, full64, full70})
        deallocSet(s);
}

// Set algebra, counting and iteration against a vector<bool> reference on
// random sets of 1 to 4096 members.
TEST_F(SetsTest, AlgebraAgreesWithNaiveReference)
{
    std::mt19937 rng(20240611);
    std::vector<uint32_t> capacities = {1, 2, 63, 64, 65, 127, 128, 129, 4095, 4096};
    for (int i = 0; i < 150; i++)
        capacities.push_back(1 + rng() % 4096);

    for (uint32_t cap : capacities) {
        SCOPED_TRACE(cap);
        Ref ra = randomRef(rng, cap), rb = randomRef(rng, cap);
        if (rng() % 4 == 0)
            rb = ra;  // equal sets must occur
        Set *a = setFromRef(ra), *b = setFromRef(rb), *r = allocSet(cap);
        Ref ru(cap), ri(cap), rs(cap), rc(cap);
        for (uint32_t i = 0; i < cap; i++) {
            ru[i] = ra[i] || rb[i];
            ri[i] = ra[i] && rb[i];
            rs[i] = ra[i] && !rb[i];
            rc[i] = !ra[i];
        }

        EXPECT_EQ(setUnion(a, b, r), sizeClass(ru));
        EXPECT_EQ(refFromSet(r), ru);
        EXPECT_EQ(setIntersection(a, b, r), sizeClass(ri));
        EXPECT_EQ(refFromSet(r), ri);
        EXPECT_EQ(setIntersection(a, b, nullptr), sizeClass(ri));
        EXPECT_EQ(setSubtract(a, b, r), refCount(rs) > 0 ? 1 : 0);
        EXPECT_EQ(refFromSet(r), rs);
        setComplement(a, r);
        EXPECT_EQ(refFromSet(r), rc);
        EXPECT_TRUE(tailClear(r));

        EXPECT_EQ(card(a), refCount(ra));
        EXPECT_EQ(isSetEmpty(a), refCount(ra) == 0);
        EXPECT_EQ(isSetSingleton(a), refCount(ra) == 1);
        EXPECT_EQ(isSetFull(a, 0), refCount(ra) == cap);
        EXPECT_EQ(areSetsEqual(a, b), ra == rb);
        EXPECT_EQ(areSetsDisjoint(a, b), refCount(ri) == 0);
        int sub = ra == rb ? -1 : (refCount(rs) == 0 ? 1 : 0);
        EXPECT_EQ(isSubsetOfSet(a, b), sub);

        // Iteration, positions, and the nested-loop form.
        std::vector<uint32_t> members;
        for (uint32_t i = 0; i < cap; i++)
            if (ra[i])
                members.push_back(i);
        std::vector<uint32_t> iterated, following;
        for (uint32_t m = firstSetMember(a); m != kSetEnd; m = nextSetMember(a))
            iterated.push_back(m);
        for (uint32_t m = followingSetMember(a, kSetEnd); m != kSetEnd; m = followingSetMember(a, m))
            following.push_back(m);
        EXPECT_EQ(iterated, members);
        EXPECT_EQ(following, members);
        EXPECT_EQ(lastSetMember(a), members.empty() ? kSetEnd : members.back());
        if (!members.empty()) {
            uint32_t k = static_cast<uint32_t>(rng() % members.size());
            EXPECT_EQ(nthSetMember(a, k), members[k]);
            uint32_t start = static_cast<uint32_t>(rng() % cap);
            auto it = std::lower_bound(members.begin(), members.end(), start);
            EXPECT_EQ(nextOneBit(a->words, cap, a->nwords, start), it == members.end() ? kSetEnd : *it);
        }

        std::vector<uint32_t> list(cap + 1);
        uint32_t n = loadItemListFromSet(a, 1, false, list.data());
        ASSERT_EQ(n, members.size());
        for (uint32_t i = 0; i < n; i++)
            EXPECT_EQ(list[i], members[i] + 1);
        EXPECT_EQ(loadItemListFromBitVec(a->words, cap, true, list.data()), cap - n);

        // The listing reads back as the same set: nothing hidden in a run.
        std::string text = listing(a);
        EXPECT_EQ(parseListing(text, cap), ra) << text;

        deallocSet(a);
        deallocSet(b);
        deallocSet(r);
    }
}

TEST_F(SetsTest, ExpandKeepsMembersAndShrinkClearsTheCutBits)
{
    Set *s = makeSet(64, {3, 60});
    ASSERT_EQ(expandSet(s, 100), 0);
    EXPECT_EQ(s->nwords, 2u);
    EXPECT_TRUE(s->ownsWords);
    EXPECT_NE(s->words, &s->inlineWord);
    EXPECT_EQ(card(s), 2u);
    EXPECT_TRUE(isSetMember(s, 3) && isSetMember(s, 60));
    addSetMember(s, 99);

    ASSERT_EQ(expandSet(s, 200), 0);
    EXPECT_EQ(s->nwords, 4u);
    EXPECT_EQ(s->words[2] | s->words[3], 0u);
    addSetMember(s, 150);

    // Shrink: the members at and above the new capacity go, the rest stays.
    ASSERT_EQ(expandSet(s, 60), 0);
    EXPECT_EQ(s->capacity, 60u);
    EXPECT_EQ(s->nwords, 1u);
    EXPECT_EQ(card(s), 1u);
    EXPECT_TRUE(isSetMember(s, 3));
    EXPECT_TRUE(tailClear(s));
    // Growing again must not bring the old members back.
    ASSERT_EQ(expandSet(s, 256), 0);
    EXPECT_EQ(card(s), 1u);
    fillSet(s, 0);
    EXPECT_EQ(card(s), 256u);
    ASSERT_EQ(expandSet(s, 0), 0);
    ASSERT_EQ(expandSet(s, 128), 0);
    EXPECT_TRUE(isSetEmpty(s));
    deallocSet(s);

    Set *small = makeSet(64, {10, 63});
    ASSERT_EQ(expandSet(small, 10), 0);
    EXPECT_TRUE(isSetEmpty(small));
    ASSERT_EQ(expandSet(small, 64), 0);
    EXPECT_TRUE(isSetEmpty(small));
    deallocSet(small);
}

TEST_F(SetsTest, ExpandReportsAllocationFailure)
{
    Set *s = makeSet(64, {5});
    qel_setAllocFailureCountdown(0);
    EXPECT_EQ(expandSet(s, 1000), 1);
    EXPECT_EQ(s->capacity, 64u);
    EXPECT_TRUE(isSetMember(s, 5));
    deallocSet(s);
}

TEST_F(SetsTest, CreationFromOtherForms)
{
    Set *single = createSingletonSet(300, 257);
    EXPECT_EQ(card(single), 1u);
    EXPECT_EQ(firstSetMember(single), 257u);
    Set *none = createSingletonSet(300, kSetEnd);
    EXPECT_TRUE(isSetEmpty(none));

    uint64_t words[2] = {0x5, ~uint64_t{0}};
    Set *fromVec = createSetFromBitVec(words, 70);
    EXPECT_EQ(card(fromVec), 2u + 6u);  // the bits beyond 70 are dropped
    EXPECT_TRUE(tailClear(fromVec));

    Set *clone = cloneSet(single);
    EXPECT_TRUE(areSetsEqual(clone, single));
    EXPECT_NE(clone->words, single->words);

    // restoreSet: copy into an existing set, clone into an empty variable,
    // free on a null saved set.
    Set *var = allocSet(300);
    restoreSet(single, &var);
    EXPECT_TRUE(areSetsEqual(var, single));
    Set *empty = nullptr;
    restoreSet(single, &empty);
    ASSERT_NE(empty, nullptr);
    EXPECT_TRUE(areSetsEqual(empty, single));
    restoreSet(nullptr, &var);
    EXPECT_EQ(var, nullptr);

    // Copying into a smaller set never writes past it.
    Set *small = allocSet(10);
    Set *big = makeSet(300, {2, 9, 11, 200});
    copySet(big, small);
    EXPECT_EQ(card(small), 2u);
    EXPECT_TRUE(tailClear(small));

    for (Set *s : {single, none, fromVec, clone, empty, small, big})
        deallocSet(s);
}

TEST_F(SetsTest, ArraysFamiliesAndPairs)
{
    Set **arr = allocArrayOfSets(5, 100);
    ASSERT_NE(arr, nullptr);
    Set **arr2 = allocArrayOfSets(5, 100);
    addSetMember(arr[4], 77);
    copyArrayOfSets(arr, arr2, 5);
    EXPECT_TRUE(isSetMember(arr2[4], 77));
    deallocArrayOfSets(arr, 5);
    deallocArrayOfSets(arr2, 5);

    // A failure part-way frees what was made.
    qel_setAllocFailureCountdown(3);
    EXPECT_EQ(allocArrayOfSets(5, 100), nullptr);
    clearMemoryErrorStatus();
    qel_setAllocFailureCountdown(1);
    EXPECT_EQ(allocSetPair(100), nullptr);
    clearMemoryErrorStatus();

    SetPair *pair = allocSetPair(100);
    ASSERT_NE(pair, nullptr);
    EXPECT_EQ(pair->first->capacity, 100u);
    EXPECT_EQ(deallocSetPair(pair), nullptr);

    SetFamily *fam = allocSetFamily(3, 64);
    ASSERT_NE(fam, nullptr);
    addBitVecMember(fam->rows[0], 63);
    addBitVecMember(fam->rows[2], 1);
    ASSERT_EQ(expandSetsInFamily(fam, 130), 0);
    EXPECT_EQ(fam->nwords, 3u);
    EXPECT_TRUE(isBitVecMember(fam->rows[0], 63));
    EXPECT_TRUE(isBitVecMember(fam->rows[2], 1));
    EXPECT_EQ(countOneBits(fam->rows[1], 3), 0u);
    addBitVecMember(fam->rows[1], 129);
    uint32_t *sizes = storeSetSizes(fam->rows, 3, fam->nwords);
    EXPECT_EQ(sizes[0] + sizes[1] + sizes[2], 3u);
    deallocArray(sizes);
    ASSERT_EQ(expandSetsInFamily(fam, 100), 0);
    EXPECT_FALSE(isBitVecMember(fam->rows[1], 129));
    zeroBitVecArray(fam->rows, 3, fam->nwords);
    EXPECT_EQ(countOneBits(fam->rows[0], fam->nwords), 0u);
    deallocSetFamily(fam);

    uint64_t **m = allocBitVecArray(4, 200);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m[1] - m[0], 4);  // rows are contiguous
    for (int r = 0; r < 4; r++)
        EXPECT_EQ(countOneBits(m[r], 4), 0u);
    deallocBitVecArray(m);
}

TEST_F(SetsTest, BitVecFillingAndSingletons)
{
    uint64_t w[3];
    setBitVecToMask(w, 130, 3);
    EXPECT_EQ(countOneBits(w, 3), 130u);
    EXPECT_TRUE(isBitVecFull(w, 130));
    EXPECT_FALSE(isBitVecFull(w, 131));
    setBitVecToMask(w, 1000, 3);  // no more than the words hold
    EXPECT_EQ(countOneBits(w, 3), 192u);
    setSingletonBitVec(w, 70, 3);
    EXPECT_TRUE(isBitVecSingleton(w, 3));
    EXPECT_EQ(firstOneBit(w, 3), 70u);
    uint32_t items[] = {0, 64, 191, 64};
    setBitVecFromItemList(w, items, 4, 3);
    EXPECT_EQ(countOneBits(w, 3), 3u);
    uint64_t x[3];
    bitVecComplement(w, 150, 3, x);
    EXPECT_EQ(countOneBits(x, 3), 150u - 2u);  // 191 lies above the capacity
    EXPECT_TRUE(areBitVecsDisjoint(w, x, 2));
    EXPECT_FALSE(isBitVecAllZero(x, 3));
    zeroBitVec(x, 3);
    EXPECT_TRUE(isBitVecAllZero(x, 3));
}

TEST_F(SetsTest, ItemLists)
{
    Set *s = makeSet(10, {1, 4, 8});
    uint32_t n = 99;
    uint32_t *list = createItemListFromSet(s, 0, true, &n);
    ASSERT_EQ(n, 7u);
    EXPECT_EQ(std::vector<uint32_t>(list, list + n), (std::vector<uint32_t>{0, 2, 3, 5, 6, 7, 9}));
    deallocArray(list);
    list = createItemListFromSet(s, 100, false, &n);
    EXPECT_EQ(std::vector<uint32_t>(list, list + n), (std::vector<uint32_t>{101, 104, 108}));
    deallocArray(list);
    clearSet(s);
    EXPECT_EQ(createItemListFromSet(s, 0, false, &n), nullptr);
    EXPECT_EQ(n, 0u);
    deallocSet(s);

    uint32_t buf[8] = {2, 5, 5, 9};
    n = insertItemIntoSetList(buf, 4, 5);
    n = insertItemIntoSetList(buf, n, 0);
    n = insertItemIntoSetList(buf, n, 10);
    EXPECT_EQ(std::vector<uint32_t>(buf, buf + n), (std::vector<uint32_t>{0, 2, 5, 5, 5, 9, 10}));
    n = removeItemFromSetList(buf, n, 5);
    n = removeItemFromSetList(buf, n, 10);
    EXPECT_EQ(std::vector<uint32_t>(buf, buf + n), (std::vector<uint32_t>{0, 2, 5, 5, 9}));
    EXPECT_EQ(removeItemFromSetList(buf, n, 7), n);  // absent: list unchanged
}

struct ListingCase {
    uint32_t capacity;
    std::vector<uint32_t> members;
    std::string expected;
};

TEST_F(SetsTest, ListingsInNexusNotation)
{
    const ListingCase cases[] = {
        {30, {0, 1, 2, 3, 4, 9, 12, 15, 18}, " 1-5 10-19\\3"},
        {30, {0, 1, 3, 4, 6, 7}, " 1-7\\3 2-8\\3"},
        {30, {0, 1, 3, 4, 6, 7, 9, 10, 20}, " 1-10\\3 2-11\\3 21"},
        {30, {0, 1, 3, 4}, " 1-2 4-5"},  // two pairs are no pattern
        {30, {5}, " 6"},
        {30, {0, 2, 3, 4}, " 1 3-5"},
        {30, {0, 2, 4, 5, 6, 8}, " 1-5\\2 6-7 9"},  // 5 would hide inside 1-9\2
        {30, {0, 3, 4, 6}, " 1 4-5 7"},
        {30, {0, 3, 6, 7, 9}, " 1-7\\3 8 10"},  // 8 would hide inside 1-10\3
        {30, {2, 9}, " 3 10"},
        {200, {63, 64, 65, 199}, " 64-66 200"},
        {30, {}, ""},
    };
    for (const auto &c : cases) {
        Set *s = allocSet(c.capacity);
        for (uint32_t m : c.members)
            addSetMember(s, m);
        EXPECT_EQ(listing(s), c.expected);
        deallocSet(s);
    }
}

TEST_F(SetsTest, ListingOptions)
{
    Set *s = makeSet(6, {0, 1, 2, 4});
    EXPECT_EQ(listing(s, kSetEnd, "[", ", "), "[1-3, 5");
    EXPECT_EQ(listing(s, kSetEnd, nullptr, nullptr, "{}"), "{ 1-3 5}");
    EXPECT_EQ(listing(s, kSetEnd, "<", ",", nullptr, true), "<0,1,2,4,");
    EXPECT_EQ(listing(s, 3), " all");  // 0..2 are all there
    EXPECT_EQ(listing(s, 0), " 1-3 5");
    fillSet(s, 0);
    EXPECT_EQ(listing(s, 0, "=", ","), "=all");
    EXPECT_EQ(listing(s, kSetEnd, "="), "=1-6");
    makeSetSingleton(s, 3);
    EXPECT_EQ(listing(s, kSetEnd, nullptr, nullptr, "()"), " 4");  // no brackets around one
    clearSet(s);
    EXPECT_EQ(listing(s, kSetEnd, "<", ",", nullptr, true), "<");
    EXPECT_EQ(listing(s, kSetEnd, nullptr, nullptr, "()"), "()");
    deallocSet(s);

    // A null print function means the qel_printf hook.
    PrintHook saved = qel_printf;
    qel_printf = capturePrint;
    Set *t = makeSet(10, {9});
    gOut.clear();
    outputSetMembers(t, nullptr, kSetEnd, nullptr, nullptr, nullptr, false);
    EXPECT_EQ(gOut, " 10");
    gOut.clear();
    listBitVecMembers(t->words, 10, nullptr, false);
    listBitVecMembers(nullptr, 10, nullptr, true);
    EXPECT_EQ(gOut, " 9\n(null)");
    qel_printf = saved;
    deallocSet(t);
    EXPECT_STREQ(setToString(), "null");
}

}  // namespace

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "qel/qel_malloc.h"
#include "qel/qel_setptn.h"
#include "alloc_test_support.h"

namespace {

class SetPtnTest : public alloctest::AllocFailureTest {};

std::vector<uint32_t> classItems(const PtndList *list, uint32_t cls)
{
    std::vector<uint32_t> items;
    for (uint32_t i = getFirstItemInPtndList(list, cls); i != kSetEnd; i = getNextItemInPtndList(list, i))
        items.push_back(i);
    return items;
}

using Items = std::vector<uint32_t>;

TEST_F(SetPtnTest, SubsetsAreNamedAndLookedUpInOrder)
{
    SetPtn *ptn = allocSetPtn(1, 12);  // grows past its first slot
    ASSERT_NE(ptn, nullptr);
    PtnSubset *first = addPtnSubset(ptn, "first");
    PtnSubset *second = addPtnSubset(ptn, "second");
    PtnSubset *third = addPtnSubset(ptn, "third");
    ASSERT_TRUE(first && second && third);
    EXPECT_EQ(numPtnSubsets(ptn), 3u);
    EXPECT_EQ(getPtnSubsetsInfo(ptn)[0], first);  // entries stay where they were
    EXPECT_STREQ(getPtnSubsetName(ptn, 2), "third");
    EXPECT_EQ(getPtnSubset(ptn, 1), second->set);
    EXPECT_EQ(getPtnSubset(ptn, 3), nullptr);
    EXPECT_EQ(getPtnSubsetName(ptn, 3), nullptr);
    EXPECT_EQ(second->set->capacity, 12u);

    addSetMember(first->set, 0);
    addSetMember(second->set, 5);
    addSetMember(third->set, 5);
    EXPECT_EQ(whichPartitionSubset(ptn, 0), 0u);
    EXPECT_EQ(whichPartitionSubset(ptn, 5), 1u);  // in two subsets: the first
    EXPECT_EQ(whichPartitionSubset(ptn, 7), kSetEnd);
    EXPECT_EQ(deallocSetPtn(ptn), nullptr);
    EXPECT_EQ(numPtnSubsets(nullptr), 0u);
}

TEST_F(SetPtnTest, FlattenedListOfDisjointSubsets)
{
    SetPtn *ptn = allocSetPtn(4, 6);
    Set *a = addPtnSubset(ptn, "a")->set;
    Set *b = addPtnSubset(ptn, "b")->set;
    addPtnSubset(ptn, "empty");
    addSetMember(a, 4);
    addSetMember(a, 0);
    addSetMember(b, 2);
    addSetMember(b, 1);
    SetPtnList *list = createSetPtnList(ptn);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->numSubsets, 3u);
    EXPECT_EQ(Items(list->members, list->members + 4), (Items{0, 4, 1, 2}));
    EXPECT_EQ(Items(list->counts, list->counts + 3), (Items{2, 2, 0}));
    EXPECT_EQ(list->starts[1], list->members + 2);
    EXPECT_EQ(destroySetPtnList(list), nullptr);
    deallocSetPtn(ptn);
}

// Overlapping subsets hold more members than the universe; the flattened list
// must keep them all (ASan checks that nothing is written past the array).
TEST_F(SetPtnTest, FlattenedListOfOverlappingSubsets)
{
    std::mt19937 rng(7);
    for (int round = 0; round < 20; round++) {
        uint32_t universe = 1 + rng() % 300;
        uint32_t nsub = 1 + rng() % 6;
        SetPtn *ptn = allocSetPtn(2, universe);
        std::vector<Items> expected(nsub);
        for (uint32_t s = 0; s < nsub; s++) {
            Set *set = addPtnSubset(ptn, "s")->set;
            for (uint32_t m = 0; m < universe; m++)
                if (rng() % 3 != 0) {
                    addSetMember(set, m);
                    expected[s].push_back(m);
                }
        }
        SetPtnList *list = createSetPtnList(ptn);
        ASSERT_NE(list, nullptr);
        for (uint32_t s = 0; s < nsub; s++)
            EXPECT_EQ(Items(list->starts[s], list->starts[s] + list->counts[s]), expected[s]);
        destroySetPtnList(list);
        deallocSetPtn(ptn);
    }
}

TEST_F(SetPtnTest, AllocationFailuresFreeEverything)
{
    qel_setAllocFailureCountdown(0);
    EXPECT_EQ(allocSetPtn(4, 10), nullptr);
    clearMemoryErrorStatus();

    SetPtn *ptn = allocSetPtn(4, 100);
    qel_setAllocFailureCountdown(2);  // the entry and its name succeed, the Set fails
    EXPECT_EQ(addPtnSubset(ptn, "x"), nullptr);
    EXPECT_EQ(numPtnSubsets(ptn), 0u);
    clearMemoryErrorStatus();
    addSetMember(addPtnSubset(ptn, "y")->set, 3);
    qel_setAllocFailureCountdown(2);
    EXPECT_EQ(createSetPtnList(ptn), nullptr);
    clearMemoryErrorStatus();
    deallocSetPtn(ptn);

    qel_setAllocFailureCountdown(2);
    EXPECT_EQ(allocPtndList(10, true), nullptr);
}

TEST_F(SetPtnTest, PtndListKeepsOrTurnsInsertionOrder)
{
    const uint32_t classes[] = {2, 0, 2, 0, 1, 1, 2, 0};
    PtndList *kept = allocPtndList(8, true);
    PtndList *pushed = allocPtndList(8, false);
    ASSERT_TRUE(kept && pushed);
    for (uint32_t i = 0; i < 8; i++) {
        EXPECT_EQ(addItemToPtndList(kept, i, classes[i]), 0);
        EXPECT_EQ(addItemToPtndList(pushed, i, classes[i]), 0);
    }
    EXPECT_EQ(classItems(kept, 0), (Items{1, 3, 7}));
    EXPECT_EQ(classItems(kept, 1), (Items{4, 5}));
    EXPECT_EQ(classItems(kept, 2), (Items{0, 2, 6}));
    EXPECT_EQ(classItems(kept, 3), Items{});
    EXPECT_EQ(classItems(pushed, 0), (Items{7, 3, 1}));
    EXPECT_EQ(classItems(pushed, 2), (Items{6, 2, 0}));

    // Adding an item twice would tie its class into a loop; it is refused.
    EXPECT_EQ(addItemToPtndList(kept, 3, 1), 1);
    EXPECT_EQ(addItemToPtndList(pushed, 7, 0), 1);
    EXPECT_EQ(addItemToPtndList(kept, 8, 0), 1);
    EXPECT_EQ(classItems(kept, 1), (Items{4, 5}));
    EXPECT_EQ(classItems(pushed, 0), (Items{7, 3, 1}));

    EXPECT_EQ(freezePtndList(kept, 3), 0);
    EXPECT_EQ(kept->tails, nullptr);
    EXPECT_EQ(kept->numClasses, 3u);
    EXPECT_EQ(classItems(kept, 0), (Items{1, 3, 7}));
    EXPECT_EQ(classItems(kept, 1), (Items{4, 5}));
    EXPECT_EQ(classItems(kept, 2), (Items{0, 2, 6}));
    EXPECT_EQ(getFirstItemInPtndList(kept, 3), kSetEnd);

    // Growing the class count gives empty classes, not lists headed by item 0.
    EXPECT_EQ(freezePtndList(pushed, 12), 0);
    EXPECT_EQ(classItems(pushed, 11), Items{});
    EXPECT_EQ(classItems(pushed, 1), (Items{5, 4}));

    EXPECT_EQ(deallocPtndList(kept), nullptr);
    deallocPtndList(pushed);
    EXPECT_EQ(deallocPtndList(nullptr), nullptr);
}

}  // namespace

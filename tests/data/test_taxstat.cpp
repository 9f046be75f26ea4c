#include <map>
#include <memory>
#include <set>

#include "data/data_util.h"
#include "data_fixture.h"

namespace {

using datatest::DataFixture;
using datatest::gErrors;
using datatest::gOut;
using datatest::members;
using V = std::vector<uint32_t>;

// Trees as the sets of their leaves (original taxon numbers); a buffer is a
// list of them. Rooted trees need two remaining leaves, as the tree code
// decides.
using FakeTree = std::set<uint32_t>;
std::map<const TreeBuffer *, std::vector<FakeTree>> gBuffers;
int gNextBuffer = 1;
std::vector<std::string> gTreeCalls;

TreeBuffer *newBuffer()
{
    auto *b = reinterpret_cast<TreeBuffer *>(static_cast<uintptr_t>(gNextBuffer++ * 16));
    gBuffers[b];
    return b;
}

void installTreeServices()
{
    DataServices s{};
    s.currentAncestralStates = currentAncestralStates;
    s.numTreesInBuffer = [](const TreeBuffer *b) -> uint32_t {
        auto it = gBuffers.find(b);
        return it == gBuffers.end() ? 0 : static_cast<uint32_t>(it->second.size());
    };
    s.destroyTreeBuffer = [](TreeBuffer *b) { gBuffers.erase(b); };
    s.allocMainTreeBuffer = [](uint32_t, uint32_t, bool) {
        setMainTreeBuffer(newBuffer());
        return 0;
    };
    s.clearTrees = [](int, int) {
        gTreeCalls.push_back("clear");
        gBuffers[activeDataInfo()->mainTreeBuffer].clear();
    };
    s.pruneTree = [](TreeBuffer *from, uint32_t i, const DataInfo *d, bool condense) {
        FakeTree kept;
        for (uint32_t t : gBuffers[from][i])
            if (!isDeletedTaxon(t, d))
                kept.insert(t);
        if (kept.size() < 2)
            return 0;
        auto &to = gBuffers[d->mainTreeBuffer];
        for (const FakeTree &other : to)
            if (condense && other == kept)
                return 2;
        to.push_back(kept);
        return 1;
    };
    s.deleteTreeSets = [](int) { gTreeCalls.push_back("treeSets"); };
    installDataServices(s);
}

class TaxStatusTest : public DataFixture {
protected:
    void SetUp() override
    {
        DataFixture::SetUp();
        gBuffers.clear();
        gTreeCalls.clear();
        installTreeServices();
        makeData(6, 3);
        gBuffers.clear();  // the buffer made with the taxa had no record to go to
        d->mainTreeBuffer = newBuffer();
        delRest = DelRestOptions{};
        fullTstatus = 0;
        tstatusHideDel = 0;
    }
    int run(int (*handler)(), const std::string &text)
    {
        gOut.clear();
        gErrors.clear();
        feed(text);
        return handler();
    }
    std::vector<FakeTree> &trees() { return gBuffers[d->mainTreeBuffer]; }

    // The two maps agree with the deleted set.
    void expectMapsConsistent()
    {
        uint32_t active = 0;
        for (uint32_t row = 0; row < d->ntax; ++row) {
            EXPECT_EQ(d->taxa.originalToActive[row], active) << row;
            if (!isDeletedTaxon(row, d)) {
                EXPECT_EQ(d->taxa.activeToOriginal[active], row);
                ++active;
            }
        }
        EXPECT_EQ(static_cast<uint32_t>(d->nActive), active);
        EXPECT_EQ(d->taxa.npairs, active * (active - 1) / 2);
    }
};

TEST_F(TaxStatusTest, DeleteUndeleteAndRepeatedDelete)
{
    ASSERT_EQ(run(doDeleteCmd, "t2 5;"), 0);
    EXPECT_EQ(members(d->taxa.deleted), (V{2, 5}));
    EXPECT_EQ(gOut, "\nTaxon-deletion status changed:\n  2 taxa deleted\n  Total number of taxa now deleted = 2\n"
                    "  Number of nondeleted taxa = 4\n");
    expectMapsConsistent();
    EXPECT_STREQ(getTaxLabel(d, 1), "t3");
    EXPECT_EQ(getTaxNum(d, 3), 6u);
    // Deleting them again changes nothing and prints nothing.
    ASSERT_EQ(run(doDeleteCmd, "5 t2;"), 0);
    EXPECT_EQ(gOut, "");
    ASSERT_EQ(run(doRestoreCmd, "t5;"), 0);
    EXPECT_EQ(members(d->taxa.deleted), V{2});
    EXPECT_NE(gOut.find("  1 taxon restored\n"), std::string::npos);
    EXPECT_EQ(gOut.find("deleted\n"), std::string::npos);
    expectMapsConsistent();
    // Undelete all/only: restores the list, deletes its complement.
    ASSERT_EQ(run(doRestoreCmd, "1-3 / only;"), 0);
    EXPECT_EQ(members(d->taxa.deleted), (V{4, 5, 6}));
    expectMapsConsistent();
    ASSERT_EQ(run(doRestoreCmd, "all / only;"), 0);
    EXPECT_TRUE(isSetEmpty(d->taxa.deleted));
    expectMapsConsistent();
    // Delete only replaces the deleted set.
    ASSERT_EQ(run(doDeleteCmd, "6;"), 0);
    ASSERT_EQ(run(doDeleteCmd, "1 / only;"), 0);
    EXPECT_EQ(members(d->taxa.deleted), V{1});
    EXPECT_NE(gOut.find("  1 taxon deleted\n  1 taxon restored\n"), std::string::npos);
}

TEST_F(TaxStatusTest, BadListsAndOptionsChangeNothing)
{
    EXPECT_EQ(run(doDeleteCmd, "t9;"), 1);
    EXPECT_EQ(gErrors, V{602});
    EXPECT_EQ(run(doDeleteCmd, "2 / bogus;"), 1);
    EXPECT_TRUE(isSetEmpty(d->taxa.deleted));
    expectMapsConsistent();
}

TEST_F(TaxStatusTest, OutgroupAndIngroupReports)
{
    ASSERT_EQ(run(doOutgroupCmd, "3;"), 0);
    EXPECT_EQ(gOut, "\nOutgroup status changed:\n  1 taxon transferred to outgroup\n"
                    "  Total number of taxa now in outgroup = 1\n  Number of ingroup taxa = 5\n");
    ASSERT_EQ(run(doIngroupCmd, "3;"), 0);
    EXPECT_EQ(gOut, "\nOutgroup status changed:\n  1 taxon transferred to ingroup\n"
                    "  Total number of taxa now in outgroup = 0\n  Number of ingroup taxa = 6\n");
    ASSERT_EQ(run(doOutgroupCmd, "1 2;"), 0);
    ASSERT_EQ(run(doDeleteCmd, "1 4;"), 0);
    // Active taxon 0 is original taxon 2 (an outgroup member).
    EXPECT_TRUE(isOutgroupTip(0, d));
    EXPECT_FALSE(isOutgroupTip(1, d));
    EXPECT_FALSE(isOutgroupTip(4, d));
    EXPECT_EQ(countOutgroupTaxa(d, true), 2u);
    EXPECT_EQ(countOutgroupTaxa(d, false), 1u);
    ASSERT_EQ(run(doDeleteCmd, "2;"), 0);
    gOut.clear();
    checkOutgroupStatus(nullptr, d);
    EXPECT_EQ(gOut, "\nNote: All outgroup taxa have been deleted; tree is (arbitrarily) rooted at first "
                    "nondeleted taxon.\n");
}

TEST_F(TaxStatusTest, PruningDropsTreesWithTooFewTaxa)
{
    trees() = {{0, 1, 2, 3, 4, 5}, {0, 1, 2}, {0, 2, 3}, {2, 3, 5}, {1, 2, 3}};
    ASSERT_EQ(run(doDeleteCmd, "1 2 / prune condense;"), 0);
    EXPECT_EQ(trees(), (std::vector<FakeTree>{{2, 3, 4, 5}, {2, 3}, {2, 3, 5}}));
    EXPECT_NE(gOut.find("\n1 tree deleted due to having too few remaining taxa.\n"
                        "2 taxa pruned from all other trees in memory.\n"
                        "1 tree discarded due to redundancy after pruning taxa.\n"),
              std::string::npos)
        << gOut;
    EXPECT_EQ(gTreeCalls, std::vector<std::string>{"treeSets"});
    expectMapsConsistent();
}

TEST_F(TaxStatusTest, RefusalsKeepTreesAndDeletions)
{
    trees() = {{0, 1, 2}, {0, 1, 3}};
    TreeBuffer *before = d->mainTreeBuffer;
    EXPECT_EQ(run(doDeleteCmd, "1-5 / prune;"), 1);
    EXPECT_EQ(gErrors, V{751});
    EXPECT_EQ(run(doDeleteCmd, "1 / prune clearTrees;"), 1);
    EXPECT_EQ(gErrors, V{750});
    EXPECT_EQ(d->mainTreeBuffer, before);
    EXPECT_EQ(trees().size(), 2u);
    EXPECT_TRUE(isSetEmpty(d->taxa.deleted));
    EXPECT_EQ(gBuffers.size(), 1u);  // every new buffer was discarded
    expectMapsConsistent();
    // clearTrees empties the buffer.
    ASSERT_EQ(run(doDeleteCmd, "1 / clearTrees;"), 0);
    EXPECT_TRUE(trees().empty());
    EXPECT_NE(gOut.find("\nAll trees cleared from memory.\n"), std::string::npos);
}

TEST_F(TaxStatusTest, TStatusTable)
{
    ASSERT_EQ(run(doDeleteCmd, "2;"), 0);
    ASSERT_EQ(run(doOutgroupCmd, "2 3;"), 0);
    ASSERT_EQ(run(doTStatusCmd, "full deleted=hide;"), 0);
    EXPECT_NE(gOut.find("   1 taxa have been deleted\n   Number of nondeleted taxa = 5\n"
                        "   Number of (nondeleted) outgroup taxa = 1\n"),
              std::string::npos)
        << gOut;
    EXPECT_NE(gOut.find("\n  Taxon       Status\n1 t1          -\n3 t3           O\n4 t4          -\n"),
              std::string::npos)
        << gOut;
    EXPECT_EQ(gOut.find("t2 "), std::string::npos);
    ASSERT_EQ(run(doTStatusCmd, "nofull deleted=show;"), 0);
    EXPECT_NE(gOut.find("   The following taxon has been deleted:\n      t2\n"), std::string::npos) << gOut;
    EXPECT_NE(gOut.find("   Designated outgroup taxa:\n      t3\n      \bOutgroup also contains 1 deleted taxon\n"),
              std::string::npos)
        << gOut;
}

TEST_F(TaxStatusTest, LabelWidthsAndListing)
{
    storeTaxLabel(d, 4, "a long label");
    storeTaxLabel(d, 5, "it's");
    initTaxStatus(d);
    EXPECT_EQ(longestTaxonLabel(d, 0), 12u);
    EXPECT_EQ(longestTaxonLabel(d, 5), 5u);
    addSetMember(d->taxa.deleted, 4);
    initTaxStatus(d);
    EXPECT_EQ(longestTaxonLabel(d, 0), 4u);
    // In NEXUS form blanks become underscores; the apostrophe is doubled
    // and the label quoted.
    EXPECT_EQ(maxTaxLabelOutputLength(nullptr, false, true, d), 12u);
    Set *s = allocSet(6);
    addSetMember(s, 5);
    EXPECT_EQ(maxTaxLabelOutputLength(s, false, true, d), 7u);
    EXPECT_EQ(maxTaxLabelOutputLength(s, true, false, d), 12u);
    gOut.clear();
    addSetMember(s, 0);
    showTaxListByName(s, nullptr, d, 2);
    EXPECT_EQ(gOut, "  t1, it's\n");
    deallocSet(s);
}

}  // namespace

#include "data_fixture.h"

#include <algorithm>

#include "data/data_settings.h"
#include "data/model.h"

namespace {

using datatest::DataFixture;
using datatest::gErrors;
using datatest::gErrorText;
using datatest::gOut;
using V = std::vector<uint32_t>;

class NexsetTest : public DataFixture {
protected:
    void SetUp() override
    {
        DataFixture::SetUp();
        makeData(4, 20);
    }
    Nexset *charset(const char *name, V items)
    {
        Nexset *ns = createNexset(name, kNexCharset);
        EXPECT_NE(ns, nullptr);
        for (uint32_t m : items)
            addSetMember(getNexsetSet(ns), m - 1);
        return ns;
    }
    std::vector<std::string> names(Nexset *first)
    {
        std::vector<std::string> v;
        for (; first; first = nextNexset(first))
            v.push_back(getNexsetName(first));
        return v;
    }
};

TEST_F(NexsetTest, BuiltinsHeadTheirListsAndSelections)
{
    using S = std::vector<std::string>;
    EXPECT_EQ(names(firstCharacterSet()), (S{"Gapped", "MissAmbig", "Constant", "Uninf", "AllMissing"}));
    EXPECT_EQ(names(gNexsets.exsets), (S{"AllIncl", "InfOnly"}));
    EXPECT_EQ(names(gNexsets.typesets), (S{"AllUnord", "AllOrd"}));
    EXPECT_EQ(firstTaxonSet(), nullptr);
    EXPECT_STREQ(getNexsetName(gNexsets.curAncestor), "standard");
    EXPECT_STREQ(getNexsetName(gNexsets.curWtset), "EqualWts");
    EXPECT_EQ(getNexsetSet(findMatchingNexset("GAPPED", firstCharacterSet())), d->gappedChars);
    EXPECT_STREQ(getNexsetName(findMatchingNexset("UNINF", firstCharacterSet())), "Uninf");
    EXPECT_EQ(currentAncestralStates(d), d->ancestor);
    EXPECT_STREQ(getNexsetName(nullptr), "(none)");
}

// The built-in ancestor is the data set's own vector, which moves when the
// characters are reallocated: the selection must follow it, not keep the
// address it had when the named sets were made.
TEST_F(NexsetTest, BuiltinAncestorFollowsTheDataSetsVector)
{
    uint8_t *before = d->ancestor;
    std::vector<uint8_t> moved(before, before + d->nchar);
    d->ancestor = moved.data();
    EXPECT_EQ(currentAncestralStates(d), moved.data());
    d->ancestor = before;
}

TEST_F(NexsetTest, RedefinitionKeepsThePlaceAndIsAnnounced)
{
    ASSERT_EQ(installNexSet(charset("a", {1}), kNexCharset, "Character-set", true), 0);
    ASSERT_EQ(installNexSet(charset("b", {2}), kNexCharset, "Character-set", true), 0);
    ASSERT_EQ(installNexSet(charset("c", {3}), kNexCharset, "Character-set", true), 0);
    EXPECT_TRUE(gOut.empty());
    ASSERT_EQ(installNexSet(charset("B", {4, 5}), kNexCharset, "Character-set", true), 0);
    using S = std::vector<std::string>;
    EXPECT_EQ(names(firstCharacterSet()),
              (S{"Gapped", "MissAmbig", "Constant", "Uninf", "AllMissing", "a", "B", "c"}));
    EXPECT_EQ(datatest::members(getNexsetSet(findMatchingNexset("b", firstCharacterSet()))), (V{4, 5}));
    EXPECT_NE(gOut.find("\nNote: Character-set \"B\" redefined.\n"), std::string::npos);
    gOut.clear();
    // The first record of a list without built-ins is replaced in place too.
    Nexset *t1 = createNexset("untitled", kNexTaxset);
    Nexset *t2 = createNexset("untitled", kNexTaxset);
    ASSERT_EQ(installNexSet(t1, kNexTaxset, "Taxon-set", true), 0);
    ASSERT_EQ(installNexSet(createNexset("x", kNexTaxset), kNexTaxset, "Taxon-set", true), 0);
    ASSERT_EQ(installNexSet(t2, kNexTaxset, "Taxon-set", true), 0);
    EXPECT_EQ(names(firstTaxonSet()), (S{"untitled", "x"}));
    EXPECT_EQ(firstTaxonSet(), t2);
    EXPECT_TRUE(gOut.empty());
    // A built-in is never replaced: its payload belongs to the data set.
    Nexset *clash = charset("Constant", {1});
    EXPECT_EQ(installNexSet(clash, kNexCharset, "Character-set", true), 1);
    destroyNexset(clash, kNexCharset);
    EXPECT_EQ(findMatchingNexset("constant", firstCharacterSet()), &gNexsets.builtins[kBuiltinConstant]);
}

TEST_F(NexsetTest, NamesAreLengthChecked)
{
    std::string longest(127, 'n'), tooLong(128, 'n');
    Nexset *ok = createNexset(longest.c_str(), kNexCharset);
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(std::string(getNexsetName(ok)), longest);
    EXPECT_EQ(setNexsetName(ok, tooLong.c_str()), 1);
    EXPECT_EQ(std::string(getNexsetName(ok)), longest);
    destroyNexset(ok, kNexCharset);
    EXPECT_EQ(createNexset(tooLong.c_str(), kNexCharset), nullptr);
    EXPECT_EQ(gErrors.size(), 1u);
}

TEST_F(NexsetTest, PartitionSubsetLookup)
{
    Nexset *cp = createNexset("cp", kNexCharPartition);
    addPtnSubset(getNexPtn(cp), "1st");
    Set *second = getPtnSubset(getNexPtn(cp), numNexPtnSubsets(cp) - 1);
    ASSERT_EQ(installNexSet(cp, kNexCharPartition, "Character-partition", true), 0);
    EXPECT_EQ(findMatchingPtnSubset("CP.1ST", firstCharPartition()), second);
    EXPECT_EQ(findMatchingPtnSubset(".1st", firstCharPartition()), nullptr);
    EXPECT_EQ(findMatchingPtnSubset("cp", firstCharPartition()), nullptr);
    EXPECT_EQ(findMatchingPtnSubset("cp.2nd", firstCharPartition()), nullptr);
    EXPECT_EQ(findMatchingPtnSubset(std::string(300, 'c').c_str(), firstCharPartition()), nullptr);
}

TEST_F(NexsetTest, NexusListWriterRuns)
{
    struct Case {
        V items;
        const char *text;
    } cases[] = {
        {{1, 3, 5, 7, 8}, " 1-7\\2 8"},
        {{1, 3, 4}, " 1 3 4"},
        {{3, 4}, " 3 4"},
        {{3, 4, 5}, " 3-5"},
        {{2, 5, 8, 11, 12, 13, 14}, " 2-11\\3 12-14"},
        {{20}, " 20"},
        {{}, ""},
    };
    for (const Case &c : cases) {
        Nexset *ns = charset("w", c.items);
        char line[256];
        char *end = putNexusList(getNexsetSet(ns), line, line, datatest::capturePrintf, 200, 0);
        EXPECT_EQ(std::string(line, end), c.text);
        destroyNexset(ns, kNexCharset);
    }
    Set *full = allocSet(20);
    fillSet(full, 20);
    char line[64];
    EXPECT_EQ(std::string(line, putNexusList(full, line, line, datatest::capturePrintf, 200, 0)), " all");
    deallocSet(full);
}

TEST_F(NexsetTest, NexusListWriterWrapsLongLines)
{
    Nexset *ns = charset("w", {1, 3, 6, 10, 15, 17});
    char line[256] = "x";
    char *end = putNexusList(getNexsetSet(ns), line + 1, line, datatest::capturePrintf, 6, 4);
    // Each line is emitted once it holds more than 6 characters.
    EXPECT_EQ(gOut, "x 1 3 6\n     10\n     15\n");
    EXPECT_EQ(std::string(line, end), "     17");
    destroyNexset(ns, kNexCharset);
}

TEST_F(NexsetTest, ShowNamesAndPartitionNames)
{
    feed("bogus;");
    Nexset *found = nullptr;
    EXPECT_EQ(whichNexusObject(gNexsets.ratesets, "Rate-set", &found, true), 1);
    EXPECT_NE(gOut.find("No rate-sets have been defined."), std::string::npos);
    EXPECT_EQ(whichNexusObject(firstCharacterSet(), "Character-set", &found, true), 1);
    EXPECT_EQ(gErrors, V{406});
    feed("uninf;");
    EXPECT_EQ(whichNexusObject(firstCharacterSet(), "Character-set", &found, true), 0);
    EXPECT_EQ(found, &gNexsets.builtins[kBuiltinUninf]);
    feed("None nope");
    EXPECT_EQ(readPartitionName(firstCharPartition(), 0, true, &found), 0);
    EXPECT_EQ(found, nullptr);
    EXPECT_EQ(readPartitionName(firstCharPartition(), 2, true, &found), 1);
    EXPECT_EQ(gErrors.back(), 843u);
}

TEST_F(NexsetTest, GrowthFillsNewCharacters)
{
    Nexset *wt = createNexset("w", kNexWtset);
    getWtsetArray(wt)[19] = 3.0;
    ASSERT_EQ(expandWtset(wt, 20, 22), 0);
    EXPECT_EQ(getWtsetArray(wt)[19], 3.0);
    EXPECT_EQ(getWtsetArray(wt)[21], 1.0);
    destroyNexset(wt, kNexWtset);
    Nexset *ty = createNexset("t", kNexTypeset);
    setTypesetType(ty, 0, kCharDollo, nullptr);
    ASSERT_EQ(expandTypeset(ty, 20, 21), 0);
    UserType *user = reinterpret_cast<UserType *>(1);
    EXPECT_EQ(getTypesetType(ty, 0, &user), kCharDollo);
    EXPECT_EQ(getTypesetType(ty, 20, &user), kCharUnordered);
    EXPECT_EQ(user, nullptr);
    destroyNexset(ty, kNexTypeset);
    Nexset *anc = createNexset("a", kNexAncstates);
    ASSERT_EQ(expandAncStates(anc, 20, 21, 7), 0);
    EXPECT_EQ(static_cast<uint8_t *>(anc->payload)[19], d->nstates);
    EXPECT_EQ(static_cast<uint8_t *>(anc->payload)[20], 7);
    destroyNexset(anc, kNexAncstates);
}

// Settings hold records of the store; a set defined again replaces its
// record and clearing the store destroys them all. Nothing may keep the
// freed record: slots and stored models follow a replacement, and lose a
// destroyed record with one warning per setting that names it.
std::vector<std::pair<const Nexset *, Nexset *>> gReplacements;
void recordReplacement(const Nexset *old, Nexset *replacement) { gReplacements.emplace_back(old, replacement); }

TEST_F(NexsetTest, SettingsFollowARedefinedSetAndLoseADestroyedOne)
{
    auto partition = [](V first) {
        Nexset *ns = createNexset("gg", kNexCharPartition);
        SetPtn *ptn = getNexPtn(ns);
        addPtnSubset(ptn, "a");
        addPtnSubset(ptn, "b");
        for (uint32_t c = 0; c < 20; ++c)
            addSetMember(getPtnSubset(ptn, std::find(first.begin(), first.end(), c + 1) != first.end() ? 0 : 1), c);
        return ns;
    };
    Nexset *old = partition({1, 2});
    ASSERT_EQ(installNexSet(old, kNexCharPartition, "Character-partition", false), 0);
    Nexset *named = old;
    Nexset *quiet = old;
    watchNexsetSlot(&named, "Test named");
    watchNexsetSlot(&quiet, nullptr);
    addNexsetWatcher(recordReplacement);
    gReplacements.clear();
    ASSERT_EQ(createModelList(), 0);
    Model *m1 = createModel("m1");
    m1->siteRatePartition = old;
    m1->prevSiteRatePartition = old;
    m1->estSiteRates = m1->siteRatesFromPartition = 1;
    m1->prevSiteRates = {0.5, 1.5};
    insertModel(m1);

    Nexset *redefined = partition({1, 2, 3});
    ASSERT_EQ(installNexSet(redefined, kNexCharPartition, "Character-partition", false), 0);
    EXPECT_EQ(named, redefined);
    EXPECT_EQ(quiet, redefined);
    EXPECT_EQ(m1->siteRatePartition, redefined);
    EXPECT_EQ(m1->estSiteRates, 1);
    // Estimates made under the old subsets do not carry over to the new ones.
    EXPECT_EQ(m1->prevSiteRatePartition, nullptr);
    EXPECT_TRUE(m1->prevSiteRates.empty());
    ASSERT_EQ(gReplacements.size(), 1u);
    EXPECT_EQ(gReplacements[0].second, redefined);
    EXPECT_TRUE(gErrors.empty()) << gErrorText;

    deallocAssumpSets();
    EXPECT_EQ(named, nullptr);
    EXPECT_EQ(quiet, nullptr);
    EXPECT_EQ(m1->siteRatePartition, nullptr);
    EXPECT_EQ(m1->estSiteRates, 0);
    EXPECT_EQ(m1->siteRatesFromPartition, 0);
    EXPECT_EQ(gReplacements.back(), (std::pair<const Nexset *, Nexset *>{redefined, nullptr}));
    EXPECT_EQ(gErrors.size(), 2u) << gErrorText;
    EXPECT_NE(gErrorText.find("Character-partition \"gg\" no longer exists; Test named reset to none."),
              std::string::npos)
        << gErrorText;
    EXPECT_NE(gErrorText.find("the site-specific rates of model 'm1' reset to none."), std::string::npos)
        << gErrorText;

    unwatchNexsetSlot(&named);
    unwatchNexsetSlot(&quiet);
    removeNexsetWatcher(recordReplacement);
    gReplacements.clear();
    destroyModelList();
}

TEST_F(NexsetTest, StoreSelectionsNeverNameAFreedRecord)
{
    Nexset *codons = createNexset("codons", kNexCharPartition);
    ASSERT_EQ(installNexSet(codons, kNexCharPartition, "Character-partition", false), 0);
    gNexsets.curCodonPtn = codons;
    Nexset *again = createNexset("codons", kNexCharPartition);
    ASSERT_EQ(installNexSet(again, kNexCharPartition, "Character-partition", false), 0);
    EXPECT_EQ(gNexsets.curCodonPtn, again);

    // A weight set in force that is defined again was applied as it was: the
    // selection goes back to the built-in rather than name the new weights.
    Nexset *w = createNexset("w", kNexWtset);
    gNexsets.curWtset = charWts.prevWtset = w;
    Nexset *w2 = createNexset("w", kNexWtset);
    replaceNexset(w, w2, kNexWtset);
    EXPECT_STREQ(getNexsetName(gNexsets.curWtset), "EqualWts");
    EXPECT_EQ(charWts.prevWtset, gNexsets.curWtset);
    destroyNexset(w2, kNexWtset);

    deallocAssumpSets();
    EXPECT_EQ(gNexsets.curCodonPtn, nullptr);
}

TEST_F(NexsetTest, IncludedPartitionSubsets)
{
    Nexset *cp = createNexset("cp", kNexCharPartition);
    SetPtn *ptn = getNexPtn(cp);
    for (const char *name : {"a", "b", "c"})
        addPtnSubset(ptn, name);
    addSetMember(getPtnSubset(ptn, 0), 0);
    addSetMember(getPtnSubset(ptn, 1), 1);
    addSetMember(getPtnSubset(ptn, 2), 2);
    d->status[1] |= kCharExcluded;
    uint32_t count = 0;
    uint32_t *list = getIncludedPtnSubsets(ptn, d, &count);
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(list[0], 0u);
    EXPECT_EQ(list[1], 2u);
    deallocArray(list);
    EXPECT_EQ(maxPtnSubsetNameLen(ptn, false), 1u);
    destroyNexset(cp, kNexCharPartition);
}

// The membership listing: the names right-aligned under "subset", the
// characters after them as ranges, every subset or those asked for.
TEST_F(NexsetTest, SubsetMembershipListsCharactersUnderTheHeading)
{
    Nexset *cp = createNexset("cp", kNexCharPartition);
    SetPtn *ptn = getNexPtn(cp);
    addPtnSubset(ptn, "a");
    addPtnSubset(ptn, "second");
    for (uint32_t c : {0, 1, 2, 3, 4, 6})
        addSetMember(getPtnSubset(ptn, 0), c);
    for (uint32_t c = 7; c < 20; ++c)
        addSetMember(getPtnSubset(ptn, 1), c);
    addSetMember(getPtnSubset(ptn, 1), 5);
    gOut.clear();
    showCharPtnSubsetMembership(d, cp, 8);
    EXPECT_EQ(gOut, "\nSubset membership for partition cp:\n"
                    "\n  subset  characters\n"
                    "       a \b 1-5 7\n"
                    "  second \b 6 8-20\n");
    gOut.clear();
    const uint32_t only[] = {1};
    showCharPtnSubsetMembership(d, cp, 6, only);
    EXPECT_EQ(gOut, "\nSubset membership for partition cp:\n\nsubset  characters\nsecond \b 6 8-20\n");
    destroyNexset(cp, kNexCharPartition);
}

}  // namespace

namespace {

using datatest::gErrors;
using datatest::gOut;

class NexsetOptionTest : public datatest::DataFixture {
protected:
    void SetUp() override
    {
        DataFixture::SetUp();
        makeData(2, 6, false, "ACGT");
        for (uint32_t c = 0; c < 6; ++c)
            d->status[c] |= kCharNucleotide;
        cp = createNexset("cp", kNexCharPartition);
        addPtnSubset(getNexPtn(cp), "a");
        addPtnSubset(getNexPtn(cp), "b");
        for (uint32_t c = 0; c < 4; ++c)
            addSetMember(getPtnSubset(getNexPtn(cp), c % 2), c);
        installNexSet(cp, kNexCharPartition, "Character-partition", true);
    }
    Nexset *cp = nullptr;
};

TEST_F(NexsetOptionTest, PartitionCheckWarnsAndRefusesUnassignedCharacters)
{
    d->status[1] |= kCharExcluded;
    d->status[3] |= kCharExcluded;
    d->status[4] |= kCharExcluded;
    // Character 6 is included, nucleotide-compatible and in no subset.
    EXPECT_EQ(checkCharPartition(d, cp, nullptr), 1);
    EXPECT_EQ(gErrors, (std::vector<uint32_t>{436, 437}));
    EXPECT_NE(gOut.find("         2 characters in subset b\n"), std::string::npos) << gOut;
    EXPECT_NE(datatest::gErrorText.find("Character '6' is not assigned"), std::string::npos);
    d->status[5] |= kCharExcluded;
    gErrors.clear();
    Set *none = allocSet(6);
    EXPECT_EQ(checkCharPartition(d, cp, none), 1);  // with no exclusions, 5 and 6 are unassigned
    EXPECT_EQ(gErrors, (std::vector<uint32_t>{437, 437}));
    deallocSet(none);
}

TEST_F(NexsetOptionTest, PartitionAndAncestorOptionValues)
{
    Nexset *value = nullptr;
    CmdParam param{};
    param.variable = &value;
    handleCharPtnNameOrNone(kParamOpSave, &param, nullptr);
    feed("CP");
    ASSERT_EQ(handleCharPtnNameOrNone(kParamOpReadValue, &param, nullptr), 0);
    EXPECT_EQ(value, cp);
    EXPECT_EQ(handleCharPtnNameOrNone(kParamOpChanged, &param, nullptr), 1);
    const char *shown = nullptr;
    handleCharPtnName(kParamOpCurValue, &param, &shown);
    EXPECT_STREQ(shown, "cp");
    handleCharPtnName(kParamOpRestore, &param, nullptr);
    EXPECT_EQ(value, nullptr);
    feed("none");
    EXPECT_EQ(handleCharPtnName(kParamOpReadValue, &param, nullptr), 1);
    EXPECT_EQ(gErrors.back(), 842u);

    static int prepLevel = 0;
    DataServices s{};
    s.parsIncludeAnc = [] { return true; };
    s.setNeedParsPrep = [](int level) { prepLevel = level; };
    installDataServices(s);
    Nexset *anc = createNexset("mine", kNexAncstates);
    gNexsets.ancstates->next = anc;
    CmdParam ap{};
    getAncStParm(kParamOpSave, &ap, nullptr);
    feed("MINE bogus");
    ASSERT_EQ(getAncStParm(kParamOpReadValue, &ap, nullptr), 0);
    EXPECT_EQ(gNexsets.curAncestor, anc);
    EXPECT_EQ(prepLevel, 3);
    EXPECT_EQ(currentAncestralStates(d), anc->payload);
    EXPECT_EQ(getAncStParm(kParamOpReadValue, &ap, nullptr), 1);
    EXPECT_EQ(gErrors.back(), 901u);
    getAncStParm(kParamOpRestore, &ap, nullptr);
    EXPECT_STREQ(getNexsetName(gNexsets.curAncestor), "standard");
}

}  // namespace

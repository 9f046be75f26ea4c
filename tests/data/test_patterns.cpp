#include <algorithm>
#include <bit>
#include <cstring>
#include <random>

#include "data/patterns.h"
#include "data_fixture.h"

namespace {

using datatest::DataFixture;

class PatternTest : public DataFixture {
protected:
    void SetUp() override
    {
        DataFixture::SetUp();
        resetDefaultModel();
        resetPatternServices();
    }
    void TearDown() override
    {
        ModelGroup *g = activeModelGroup();
        invalidateSitePatternData(true);
        *g = ModelGroup{};
        resetDefaultModel();
        DataFixture::TearDown();
    }
    // One string per taxon: a symbol, "?" missing, "-" gap, "{xy}" a combination.
    void fill(const std::vector<std::string> &rows)
    {
        for (uint32_t t = 0; t < rows.size(); ++t) {
            uint32_t c = 0;
            for (size_t i = 0; i < rows[t].size(); ++i, ++c)
                ASSERT_EQ(setXijRaw(d, t, c, cellCode(rows[t], i)), 0);
        }
    }
    uint8_t cellCode(const std::string &r, size_t &i)
    {
        if (r[i] == '?')
            return static_cast<uint8_t>(d->nstates);
        if (r[i] == '-')
            return kGapCode;
        if (r[i] != '{')
            return static_cast<uint8_t>(stateDex(r[i], d));
        uint64_t bits = 0;
        for (++i; r[i] != '}'; ++i)
            bits |= uint64_t{1} << stateDex(r[i], d);
        return stateBitsToCode(bits, d);
    }
    void deleteTaxa(std::initializer_list<uint32_t> rows)
    {
        for (uint32_t r : rows)
            addSetMember(d->taxa.deleted, r);
        initTaxStatus(d);
    }
    SitePatternData *build(bool allowMkv = false)
    {
        int status = initSitePatternData(d, activeModelGroup(), allowMkv);
        return status == 0 ? activeModelGroup()->patterns : nullptr;
    }
    std::vector<uint8_t> column(const SitePatternData *pd, uint32_t p)
    {
        std::vector<uint8_t> col;
        for (uint32_t t = 0; t < pd->ntax; ++t)
            col.push_back(pd->rows[t][p]);
        return col;
    }
};

using Col = std::vector<uint8_t>;

TEST_F(PatternTest, IdenticalColumnsMergeWithSummedWeights)
{
    makeData(4, 7, true, "ACGT");
    // Sites 0 and 3 alike; 1 and 5 alike with one ambiguity {AG}; 4 all missing;
    // 6 like 0 but excluded; 2 has a gap and a second ambiguity {CT}.
    fill({"ACAA?CA", "A{AG}-A?{AG}A", "CG{CT}C?GC", "TT{AG}T?TT"});
    d->weights[0] = 1.0;
    d->weights[3] = 2.5;
    d->weights[1] = 3.0;
    d->status[6] |= kCharExcluded;
    SitePatternData *pd = build();
    ASSERT_NE(pd, nullptr);
    ASSERT_EQ(pd->npat, 3u);
    EXPECT_EQ(pd->ntax, 4u);
    EXPECT_EQ(nAllMissingIncluded, 1u);
    EXPECT_EQ(pd->siteToPattern[4], kNoSite);
    EXPECT_EQ(pd->siteToPattern[6], kNoSite);
    EXPECT_EQ(pd->siteToPattern[0], pd->siteToPattern[3]);
    EXPECT_EQ(pd->siteToPattern[1], pd->siteToPattern[5]);
    // Lexicographic order of the rows: site 0 (A A C T) < site 2 (A ? {CT} {AG})
    // < site 1 (C {AG} G T), with {AG} met first as code 5 and {CT} as 6.
    EXPECT_EQ(column(pd, 0), (Col{0, 0, 1, 3}));
    EXPECT_EQ(column(pd, 1), (Col{0, 4, 6, 5}));
    EXPECT_EQ(column(pd, 2), (Col{1, 5, 2, 3}));
    EXPECT_EQ(pd->codeBits[5], 0b0101u);
    EXPECT_EQ(pd->codeBits[6], 0b1010u);
    EXPECT_EQ(pd->ncodes, 7u);
    EXPECT_EQ(pd->patternCount[0], 2.0);
    EXPECT_EQ(pd->patternWeight[0], 3.5);
    EXPECT_EQ(pd->patternWeight[2], 4.0);
    EXPECT_EQ(pd->firstSite[2], 1u);
    EXPECT_EQ(pd->nonIntegerWeights, 1);
    EXPECT_EQ(pd->hasNonSingle[0], 0);
    EXPECT_EQ(pd->hasNonSingle[1], 1);
    ModelGroup *g = activeModelGroup();
    EXPECT_TRUE(isSitePatternDataValid(g));
    EXPECT_EQ(g->ngrp, 3u);
    EXPECT_EQ(g->totalWeight, 3.5 + 1.0 + 4.0);
    EXPECT_EQ(g->totalCount, 5.0);
    EXPECT_FALSE(pd->hasConstant);
    // State lists: single states, then missing (every state), then {AG}.
    const uint8_t *agList = pd->codeStateLists + pd->codeListOffset[5];
    EXPECT_EQ(Col(agList, agList + 3), (Col{2, 0, 2}));
    EXPECT_EQ(pd->codeListOffset[4], 8u);
}

TEST_F(PatternTest, DeletedTaxaAreLeftOutAndConstantsCounted)
{
    makeData(4, 3, true, "ACGT");
    fill({"AAC", "ACC", "GAT", "AAG"});
    deleteTaxa({2});
    SitePatternData *pd = build();
    ASSERT_NE(pd, nullptr);
    // Without taxon 3, sites 0 and 1 differ (A A A, A C A) and site 0 is constant.
    ASSERT_EQ(pd->ntax, 3u);
    ASSERT_EQ(pd->npat, 3u);
    EXPECT_EQ(column(pd, 0), (Col{0, 0, 0}));
    EXPECT_TRUE(pd->hasConstant);
    EXPECT_DOUBLE_EQ(pd->propConstant, 1.0 / 3.0);
    EXPECT_EQ(pd->constStateFreqs[0], 1.0);
    EXPECT_EQ(static_cast<uint8_t *>(activeModelGroup()->constMask)[0], 1u);
}

TEST_F(PatternTest, OnlyExcludedSitesIsAnError)
{
    makeData(3, 2, true, "ACGT");
    fill({"AC", "CA", "GG"});
    d->status[0] |= kCharExcluded;
    d->status[1] |= kCharExcluded;
    EXPECT_EQ(build(), nullptr);
    EXPECT_EQ(datatest::gErrorText,
              "No included sites are compatible with the current likelihood or distance settings.");
    EXPECT_FALSE(isSitePatternDataValid(activeModelGroup()));
}

// A model with more states than the data have codes: the pattern code
// tables must hold the model's states, missing and the data's combinations.
TEST_F(PatternTest, ModelWiderThanTheData)
{
    makeData(3, 2, true, "01");
    fill({"0{01}", "1{01}", "01"});
    Model *m = getDefaultModel();
    m->type = kModelMkv;
    m->nstates = 6;
    std::strcpy(m->symbols, "012345");
    SitePatternData *pd = build();
    ASSERT_NE(pd, nullptr);
    EXPECT_EQ(pd->nstates, 6u);
    EXPECT_EQ(pd->ncodes, 8u);
    EXPECT_EQ(pd->codeBits[7], 0b11u);
    EXPECT_EQ(pd->codeCapacity, 8u);
}

TEST_F(PatternTest, MkvInsertsOneDummyPerStateCount)
{
    makeData(4, 4, true, "012");
    // Two different 2-state columns, one 3-state column, one constant column.
    fill({"0002", "0112", "1022", "1102"});
    Model *m = getDefaultModel();
    m->type = kModelMkv;
    m->nstates = 3;
    std::strcpy(m->symbols, "012");
    ASSERT_NE(build(true), nullptr);
    ModelGroup *g = activeModelGroup();
    ASSERT_TRUE(g->useMkv);
    ASSERT_EQ(g->ngrp, 5u);
    const uint32_t dummy = kNoSite;
    EXPECT_EQ(std::vector<uint32_t>(g->groupToCompressed, g->groupToCompressed + 5),
              (std::vector<uint32_t>{dummy, 0, 1, dummy, 2}));
    EXPECT_EQ(std::vector<uint16_t>(g->mkvStateCount, g->mkvStateCount + 5),
              (std::vector<uint16_t>{2, 2, 2, 3, 3}));
    EXPECT_EQ(g->siteToGroupPattern[2], 4u);
    EXPECT_EQ(g->siteToGroupPattern[3], kNoSite);  // constant: not chosen
    EXPECT_EQ(g->mkvStateList[4][2], 2u);
}

TEST_F(PatternTest, SiteRateClassesSplitPatternsIntoSlots)
{
    makeData(3, 4, true, "ACGT");
    fill({"AACA", "CCAC", "GGGG"});
    static const uint32_t classes[] = {1, 0, 1, 1};
    Model *m = getDefaultModel();
    m->numRates = 2;
    m->siteRateClass = classes;
    ASSERT_NE(build(), nullptr);
    ModelGroup *g = activeModelGroup();
    // Compressed: (A C G) sites 0,1,3 and (C A G) site 2; class 0 holds site 1.
    ASSERT_EQ(g->ngrp, 3u);
    EXPECT_EQ(g->slotOfPattern[0], 0u);
    EXPECT_EQ(g->groupFirstSite[0], 1u);
    EXPECT_EQ(g->groupPatternCount[1], 2.0);
    EXPECT_EQ(g->groupFirstSite[1], 0u);
    EXPECT_EQ(g->siteToGroupPattern[3], 1u);
    EXPECT_EQ(g->siteToGroupPattern[2], 2u);
}

TEST_F(PatternTest, AllFourTaxonPatterns)
{
    makeData(4, 1, true, "ACGT");
    SitePatternData *pd = makeAllPatterns(activeModelGroup(), d);
    ASSERT_NE(pd, nullptr);
    EXPECT_EQ(pd->npat, 256u);
    EXPECT_EQ(column(pd, 27), (Col{0, 1, 2, 3}));
    EXPECT_EQ(pd->siteToPattern[200], 200u);
    destroyCompressedPatterns(pd);
}

// Differential: the hashed build against a plain quadratic grouping of
// columns, on random matrices with combinations, gaps, deleted taxa,
// exclusions and weights.
TEST_F(PatternTest, MatchesQuadraticGroupingOnRandomMatrices)
{
    std::mt19937 rng(20240611);
    for (int trial = 0; trial < 40; ++trial) {
        const uint32_t ntax = 3 + rng() % 8, nchar = 1 + rng() % 120;
        makeData(ntax, nchar, true, "ACGT");
        const uint64_t combos[] = {0b0101, 0b1010, 0b0111};
        for (uint32_t t = 0; t < ntax; ++t)
            for (uint32_t c = 0; c < nchar; ++c) {
                uint32_t r = rng() % 100;
                // Few symbols per column, so that columns repeat.
                uint8_t code = r < 70 ? static_cast<uint8_t>(rng() % 2) : r < 80 ? 4 : r < 85 ? kGapCode
                                                                                     : stateBitsToCode(combos[r % 3], d);
                ASSERT_EQ(setXijRaw(d, t, c, code), 0);
            }
        for (uint32_t c = 0; c < nchar; ++c) {
            d->weights[c] = 0.5 * (1 + rng() % 4);
            if (rng() % 6 == 0)
                d->status[c] |= kCharExcluded;
        }
        if (ntax > 4)
            deleteTaxa({static_cast<uint32_t>(rng() % ntax)});
        const uint32_t nact = static_cast<uint32_t>(d->nActive);

        // Reference: columns as state sets over the active taxa.
        std::vector<std::vector<uint64_t>> groups;
        std::vector<double> count, weight;
        std::vector<uint32_t> first, groupOf(nchar, kNoSite);
        for (uint32_t c = 0; c < nchar; ++c) {
            if (d->status[c] & kCharExcluded)
                continue;
            std::vector<uint64_t> col;
            bool allMissing = true;
            for (uint32_t t = 0; t < nact; ++t) {
                uint8_t x = getXijRaw(d, static_cast<int32_t>(t), c);
                uint64_t bits = x == kGapCode || x == 4 ? 0b1111 : stateBitsOfCode(d, x);
                allMissing &= x == kGapCode || x == 4;
                col.push_back(bits);
            }
            if (allMissing)
                continue;
            uint32_t k = 0;
            while (k < groups.size() && groups[k] != col)
                ++k;
            if (k == groups.size()) {
                groups.push_back(col);
                count.push_back(0);
                weight.push_back(0);
                first.push_back(c);
            }
            count[k] += 1;
            weight[k] += d->weights[c];
            groupOf[c] = k;
        }

        SitePatternData *pd = build();
        ASSERT_NE(pd, nullptr) << "trial " << trial;
        ASSERT_EQ(pd->npat, groups.size()) << "trial " << trial;
        std::vector<uint32_t> patternOfGroup(groups.size(), kNoSite);
        for (uint32_t c = 0; c < nchar; ++c) {
            const uint32_t p = pd->siteToPattern[c], k = groupOf[c];
            ASSERT_EQ(p == kNoSite, k == kNoSite) << "trial " << trial << " site " << c;
            if (k == kNoSite)
                continue;
            if (patternOfGroup[k] == kNoSite)
                patternOfGroup[k] = p;
            ASSERT_EQ(patternOfGroup[k], p);
        }
        for (uint32_t k = 0; k < groups.size(); ++k) {
            const uint32_t p = patternOfGroup[k];
            for (uint32_t t = 0; t < nact; ++t)
                ASSERT_EQ(pd->codeBits[pd->rows[t][p]], groups[k][t]);
            EXPECT_EQ(pd->patternCount[p], count[k]);
            EXPECT_EQ(pd->patternWeight[p], weight[k]);
            EXPECT_EQ(pd->firstSite[p], first[k]);
        }
        for (uint32_t p = 1; p < pd->npat; ++p)
            ASSERT_LT(column(pd, p - 1), column(pd, p));
        invalidateSitePatternData(true);
        destroyDataInfo(d);
        d = nullptr;
        setActiveDataInfo(nullptr);
    }
}

}  // namespace

// The option sets of the distance commands: parsing into the distance
// settings, the substitution-class reader, ranges, nesting and factory values.
#include <string>
#include <vector>

#include "distance/distance_settings.h"
#include "qel/qel_io.h"
#include "app/option_test_support.h"
#include "app/parminit.h"
#include "cli/qel_cmdline.h"

namespace {

class DistOptionsTest : public OptionTest {
protected:
    void afterFactoryReset() override { deallocFilenameCmdParamBuffer(&saveDist.file); }
};

TEST_F(DistOptionsTest, DSetStartsFromItsFactoryValuesAndStoresWhatIsTyped)
{
    EXPECT_EQ(dist.distance, kDistP);
    EXPECT_EQ(dist.objective, kObjectiveLsFit);
    EXPECT_EQ(dist.lsWts, 0u);
    EXPECT_EQ(dist.negBrLen, kNegBrLenSetZero);
    EXPECT_EQ(dist.baseFreq, 1u);  // empirical
    EXPECT_EQ(dist.psdk, 1u);      // nbranches
    EXPECT_EQ(dist.precision, 5);
    EXPECT_EQ(dist.recSeqLen, 6);
    EXPECT_EQ(dist.undefMult, 2.0);
    EXPECT_EQ(dist.shape, 0.5);

    EXPECT_EQ(parse(OptionSet::kDSet,
                    "distance=logDet obj=ME pInvar=0.25 rates=gamma shape=0.7 "
                    "class=(a b A a c a) negBrLen=allow noAllSitesMean precision=9;"),
              ';');
    EXPECT_EQ(dist.distance, kDistLogDet);
    EXPECT_EQ(dist.objective, kObjectiveME);
    EXPECT_EQ(dist.pInvar, 0.25);
    EXPECT_EQ(dist.rates, 1u);
    EXPECT_EQ(dist.shape, 0.7);
    EXPECT_EQ(dist.negBrLen, kNegBrLenAllow);
    EXPECT_EQ(dist.allSitesMean, 0);
    EXPECT_EQ(dist.precision, 9);
    EXPECT_EQ((std::vector<int32_t>{dist.cAC, dist.cAG, dist.cAT, dist.cCG, dist.cCT, dist.cGT}),
              (std::vector<int32_t>{0, 1, 0, 0, 2, 0}));
    // The letters may also be written together.
    EXPECT_EQ(parse(OptionSet::kDSet, "class=(abcdef);"), ';');
    EXPECT_EQ((std::vector<int32_t>{dist.cAC, dist.cAG, dist.cAT, dist.cCG, dist.cCT, dist.cGT}),
              (std::vector<int32_t>{0, 1, 2, 3, 4, 5}));
    // The classes are set only through "class".
    EXPECT_EQ(parse(OptionSet::kDSet, "cAC=3;"), 0);

    // The obsolete options are still accepted, into their holders.
    EXPECT_EQ(parse(OptionSet::kDSet, "maxPass=7 sDelta=0.5 logIter;"), ';');
    EXPECT_EQ(felsMaxPasses, 7);
    EXPECT_EQ(felsMaxDelta, 0.5);
    EXPECT_EQ(lsIterProg, 1);

    EXPECT_EQ(factorySettings(false), 0);
    EXPECT_EQ(dist.distance, kDistP);
    EXPECT_EQ(dist.objective, kObjectiveLsFit);
    EXPECT_EQ(dist.pInvar, 0.0);
    EXPECT_EQ(dist.cCT, 0);
    EXPECT_EQ(dist.allSitesMean, 1);
    EXPECT_EQ(dist.precision, 5);
}

TEST_F(DistOptionsTest, RefusedValuesLeaveEverySettingAsItWas)
{
    const char *refused[] = {
        "distance=JC precision=18;",      "distance=JC precision=-1;",
        "distance=JC class=(a b g a a a);", "distance=JC class=(a b a a c a x;",
        "distance=JC class=(a b a);",     "distance=JC class=a;",
    };
    const uint32_t codes[] = {0, 0, 841, 205, 841, 841};
    for (size_t i = 0; i < std::size(refused); ++i) {
        EXPECT_EQ(parse(OptionSet::kDSet, refused[i]), 0) << refused[i];
        EXPECT_EQ(dist.distance, kDistP) << refused[i];
        EXPECT_EQ(dist.precision, 5) << refused[i];
        EXPECT_EQ(dist.cAG, 0) << refused[i];
        if (codes[i] != 0) {
            ASSERT_FALSE(cap.errors.empty()) << refused[i];
            EXPECT_EQ(cap.errors.back().code, codes[i]) << refused[i];
        }
    }
    EXPECT_EQ(parse(OptionSet::kSaveDist, "triangle=both ndecimals=40;"), 0);
    EXPECT_EQ(saveDist.triangle, kTriangleLower);
    EXPECT_EQ(saveDist.ndecimals, 8);
}

TEST_F(DistOptionsTest, NjTakesTheDSetOptionsAfterItsOwn)
{
    EXPECT_EQ(parse(OptionSet::kNJ, "BioNJ breakTies=random tieSeed=1:2:3:4 distance=K2P brLens;"), ';');
    EXPECT_EQ(clust.BioNJ, 1);
    EXPECT_EQ(clust.breakTies, kBreakTiesRandom);
    EXPECT_EQ((std::vector<uint32_t>(clust.tieSeed, clust.tieSeed + 4)),
              (std::vector<uint32_t>{1, 2, 3, 4}));
    EXPECT_EQ(dist.distance, kDistK2P);
    EXPECT_EQ(clust.brLens, 1);
}

TEST_F(DistOptionsTest, SaveDistPairDiffAndDConSeq)
{
    EXPECT_EQ(saveDist.format, kDistFmtOneColumn);
    EXPECT_EQ(saveDist.undefined, 0);  // twiceMax
    EXPECT_EQ(saveDist.diagonal, 0);
    EXPECT_EQ(parse(OptionSet::kSaveDist,
                    "format=phylip file=dist_out.phy triangle=upper diagonal "
                    "undefined=asterisk ndecimals=3 replace;"),
              ';');
    EXPECT_EQ(saveDist.format, kDistFmtPhylip);
    ASSERT_NE(saveDist.file.path, nullptr);
    EXPECT_STREQ(saveDist.file.path, "dist_out.phy");
    EXPECT_EQ(saveDist.triangle, kTriangleUpper);
    EXPECT_EQ(saveDist.undefined, 1);
    EXPECT_EQ(saveDist.ndecimals, 3);
    EXPECT_STREQ(distFormatExtension(kDistFmtNexus), ".nxd");

    EXPECT_EQ(parse(OptionSet::kPairDiff, "shortFmt nolongFmt;"), ';');
    EXPECT_EQ(pairDiff.shortFmt, 1);
    EXPECT_EQ(pairDiff.longFmt, 0);
    EXPECT_EQ(parse(OptionSet::kPairDiff, "?;"), -1);
    EXPECT_EQ(cap.out,
              "\nAvailable options:\n\n"
              "Keyword ------- Option type --------------------- Current setting ----------\n"
              "shortFmt        no|yes                            \byes\n"
              "longFmt         no|yes                            \bno\n");

    EXPECT_EQ(
        namesOf(OptionSet::kDConSeq),
        (std::vector<std::string>{"partition", "showSubsets", "outFile", "replace", "append"}));
    // No such partition: refused, and the subsets switch stays off.
    EXPECT_EQ(parse(OptionSet::kDConSeq, "showSubsets partition=genes;"), 0);
    EXPECT_EQ(dconOpt.showSubsets, 0);
    EXPECT_EQ(dconOpt.partition, nullptr);
}

}  // namespace

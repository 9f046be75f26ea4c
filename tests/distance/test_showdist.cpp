// The distance-matrix writer on hand-made matrices, and the settings block.
#include <filesystem>
#include <fstream>
#include <sstream>

#include "distance/dset.h"
#include "distance/showdist.h"
#include "qel/qel_interrupts.h"
#include "distance_fixture.h"
#include "simulate_support.h"

namespace {

using disttest::DistanceTest;

class ShowDistTest : public DistanceTest {
public:
    void SetUp() override
    {
        DistanceTest::SetUp();
        ASSERT_EQ(read(dataBlock({{"alpha", "ACGTACGTAC"}, {"beta", "ACGTACGTAA"}, {"gamma", "ACGTACGTTT"}})), 0);
        dm_ = createDMatrix(3);
        ASSERT_TRUE(dm_);
        dm_->type = kDistP;
        dm_->ntax = 3;
    }
    void TearDown() override
    {
        destroyDMatrix(dm_);
        DistanceTest::TearDown();
    }

    std::string write(SaveDistSettings opts)
    {
        const std::string path = (dir_.path / "m.txt").string();
        EXPECT_EQ(writeDistanceFile(dm_, activeDataInfo(), opts, path.c_str(), true, false), 0);
        std::ifstream in(path);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    DMatrix *dm_ = nullptr;
    simtest::TempDir dir_;
};

SaveDistSettings options(uint32_t format, uint8_t undefinedAsterisk, int32_t decimals)
{
    return SaveDistSettings{.format = format, .file = {}, .triangle = kTriangleLower, .diagonal = 0,
                            .undefined = undefinedAsterisk, .ndecimals = decimals};
}

TEST_F(ShowDistTest, LargeValuesTakeGeneralFormatAndUndefinedOnesTheirReplacementOrAStar)
{
    dm_->distances[1][0] = 123.456;
    dm_->distances[2][0] = 0.25;
    dm_->distances[2][1] = 246.912;  // undefined: replaced by twice the largest
    dm_->maxDistance = 246.912;
    dm_->nUndefined = 1;
    EXPECT_EQ(write(options(kDistFmtOneColumn, 0, 2)),
              "beta\talpha\t123.456\ngamma\talpha\t0.25\ngamma\tbeta\t246.912\n");
    EXPECT_EQ(write(options(kDistFmtOneColumn, 1, 2)), "beta\talpha\t123.456\ngamma\talpha\t0.25\ngamma\tbeta\t*\n");
    // Width 12 once decimals meet values above 100.
    EXPECT_EQ(write(options(kDistFmtPhylip, 1, 4)),
              "3\nalpha         \nbeta               123.456\ngamma               0.2500           *\n");
}

TEST_F(ShowDistTest, InterruptedWriteIsAStopByTheUserAndKeepsTheOldFile)
{
    const std::string path = (dir_.path / "m.txt").string();
    std::ofstream(path) << "old\n";
    dm_->distances[1][0] = dm_->distances[2][0] = dm_->distances[2][1] = 0.5;
    setAbortedStatus(1);
    const int status = writeDistanceFile(dm_, activeDataInfo(), options(kDistFmtOneColumn, 0, 2), path.c_str(), true,
                                         false);
    setAbortedStatus(0);
    EXPECT_EQ(status, 2);
    std::ifstream in(path);
    std::stringstream kept;
    kept << in.rdbuf();
    EXPECT_EQ(kept.str(), "old\n");
    EXPECT_NE(testcap::gOut.find("interrupted; the file was left as it was"), std::string::npos);
    EXPECT_EQ(testcap::gOut.find("written to file"), std::string::npos);
}

TEST_F(ShowDistTest, SettingsBlockFollowsTheNegativeBranchRuleAndDistanceType)
{
    dist.negBrLen = kNegBrLenAllow;
    showDistSettings(true, true, true);
    EXPECT_NE(testcap::gOut.find("Neg\bative branch lengths allowed\n"), std::string::npos);
    EXPECT_EQ(testcap::gOut.find("set to"), std::string::npos);
    EXPECT_NE(testcap::gOut.find("characters are included"), std::string::npos);
    testcap::clearCaptured();
    dist.negBrLen = kNegBrLenSetAbsVal;
    dist.distance = kDistUser;
    showDistSettings(false, true, true);
    EXPECT_NE(testcap::gOut.find("but set to absolute value for tree-score calculation\n"), std::string::npos);
    EXPECT_EQ(testcap::gOut.find("characters are included"), std::string::npos);
}

}  // namespace

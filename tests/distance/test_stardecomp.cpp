// StarDecomp refuses more taxa than it can join before it reads any option
// (the command's options are not even registered here).
#include "distance/stardecomp.h"
#include "distance_fixture.h"

namespace {

class StarDecompTest : public disttest::DistanceTest {};

TEST_F(StarDecompTest, TooManyTaxaAreRefusedBeforeTheOptions)
{
    std::vector<std::pair<std::string, std::string>> rows;
    for (uint32_t t = 0; t < kMaxStarDecompTaxa + 1; t++)
        rows.emplace_back("t" + std::to_string(t), t % 2 ? "AC" : "CA");
    ASSERT_EQ(read(dataBlock(rows)), 0);
    EXPECT_EQ(doStarDecompCmd(), 1);
    ASSERT_EQ(testcap::gErrorCodes.size(), 1u);
    EXPECT_EQ(testcap::gErrorCodes[0], 555u);
    EXPECT_NE(testcap::gErrorText.find("Limit of 2344 taxa exceeded for star decomposition."), std::string::npos);
}

}  // namespace

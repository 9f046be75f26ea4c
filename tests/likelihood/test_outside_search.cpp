#include "likelihood/outside_search.h"

#include <gtest/gtest.h>

namespace {

// Labels that differ only in punctuation, case or beyond ten characters must
// stay distinct words, or the program's tree would merge two taxa.
TEST(OutsideProgramLabels, StayWholeAndUnique)
{
    const std::vector<std::string> in{"Homo sapiens", "Homo_sapiens", "homo:sapiens", "LongTaxonName_1",
                                      "LongTaxonName_2", "", "(x,y);"};
    const std::vector<std::string> want{"Homo_sapiens", "Homo_sapiens_2", "homo_sapiens_3", "LongTaxonName_1",
                                        "LongTaxonName_2", "taxon", "_x_y__"};
    EXPECT_EQ(outsideProgramLabels(in), want);
}

TEST(CharacterRanges, JoinsRunsOfConsecutiveNumbers)
{
    EXPECT_EQ(characterRanges({1, 2, 3, 7, 9, 10, 11, 12}), "1-3, 7, 9-12");
    EXPECT_EQ(characterRanges({4}, " "), "4");
    EXPECT_EQ(characterRanges({2, 3, 5, 6}, " "), "2-3 5-6");
    EXPECT_EQ(characterRanges({}), "");
}

}  // namespace

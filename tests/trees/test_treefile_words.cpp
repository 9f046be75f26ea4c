// The words Newick and PHYLIP tree files name taxa by: known answers for the
// label rule, and, on labels made to collide, words that parse as one word,
// stay distinct and cannot be taken for another taxon by the tree reader.
#include <gtest/gtest.h>

#include <cctype>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "trees/savetree.h"
#include "trees/tree_settings.h"

namespace {

// How a reader that treats "_" as a blank and ignores case sees a word.
std::string seenAs(const std::string &w)
{
    std::string out;
    for (char c : w)
        out += c == '_' ? ' ' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    return out;
}

// Newick words keep a label that needs quotes whole (the writer quotes it);
// PHYLIP words, and Newick words of other labels, follow the label rule and
// drop what would break parsing.
TEST(TreeFileWords, NewickKeepsLabelsThatNeedQuotesPhylipDropsWhatWouldBreakParsing)
{
    struct Case {
        const char *label;
        const char *newick;
        const char *phylip;
    };
    const Case cases[] = {
        {"Homo sapiens (human)", "Homo sapiens (human)", "Homo_sapie"},
        {"Drosophila_melanogaster", "Drosophila_melanogaster", "Drosophila"},
        {"a,b;c", "a,b;c", "abc"},
        {"O'Brien sp.", "O'Brien sp.", "OBrien_sp"},
        {"Gor:illa [x]=y", "Gor:illa [x]=y", "Gorilla_"},
        {"tab\there", "tab_here", "tab_here"},
        {"E.coli", "E.coli", "E.coli"},
    };
    std::vector<std::string> labels;
    for (const Case &c : cases)
        labels.emplace_back(c.label);
    const std::vector<std::string> newick = treeFileTaxonWords(labels, kTreeFmtNewick);
    const std::vector<std::string> phylip = treeFileTaxonWords(labels, kTreeFmtPhylip);
    for (size_t i = 0; i < labels.size(); i++) {
        EXPECT_EQ(newick[i], cases[i].newick) << labels[i];
        EXPECT_EQ(phylip[i], cases[i].phylip) << labels[i];
    }
}

TEST(TreeFileWords, NamesThatCollideAreNumberedAtTheirEnd)
{
    // "a(1)" stays whole in Newick (quoted) but loses its parentheses in
    // PHYLIP and meets the label "a1" there; "x\ty" is written "x_y", which
    // reads as the label "x y"; the two long names share their first ten
    // characters with a third label.
    const std::vector<std::string> labels = {"a(1)", "a1", "Drosophila melanogaster", "Drosophila simulans",
                                             "Drosophila", "x\ty", "x y"};
    const std::vector<std::string> newick = treeFileTaxonWords(labels, kTreeFmtNewick);
    EXPECT_EQ(newick, (std::vector<std::string>{"a(1)", "a1", "Drosophila_melanogaster", "Drosophila_simulans",
                                                "Drosophila", "x_y_6", "x_y"}));
    const std::vector<std::string> phylip = treeFileTaxonWords(labels, kTreeFmtPhylip);
    EXPECT_EQ(phylip, (std::vector<std::string>{"a11", "a1", "Drosophil3", "Drosophil4", "Drosophila", "x_y6", "x_y"}));
}

// PHYLIP words are at most 10 bytes and never end inside a UTF-8 character,
// numbered ones included.
TEST(TreeFileWords, PhylipWordsCutOnCharacterBoundaries)
{
    const std::vector<std::string> labels = {"abcdefgh\xC3\xA9" "1", "abcdefgh\xC3\xA9" "2",
                                             "\xC3\x96sterg\xC3\xB6tland"};
    EXPECT_EQ(treeFileTaxonWords(labels, kTreeFmtPhylip),
              (std::vector<std::string>{"abcdefgh\xC3\xA9", "abcdefgh2", "\xC3\x96sterg\xC3\xB6t"}));
}

// NEXUS words keep the label as it is (the writer quotes it) and number only
// labels a NEXUS reader takes for one name: blanks and underscores alike,
// case ignored.
TEST(TreeFileWords, NexusWordsAreLabelsNumberedOnlyWhereTheyMeet)
{
    const std::vector<std::string> labels = {"a b", "a b", "A B", "e'f", "g (h)", "a b_2"};
    EXPECT_EQ(treeFileTaxonWords(labels, kTreeFmtNexus),
              (std::vector<std::string>{"a b_1", "a b_3", "A B_4", "e'f", "g (h)", "a b_2"}));
    EXPECT_EQ(treeFileTaxonWords(labels, kTreeFmtAltNexus), treeFileTaxonWords(labels, kTreeFmtNexus));
}

// Random labels from an alphabet rich in the characters the rule drops or
// changes, so that many labels meet.
TEST(TreeFileWords, RandomLabelsGetDistinctWordsNoReaderCanConfuse)
{
    std::mt19937 rng(9157);
    const std::string alphabet = "ab _(),;'[]:=A";
    for (int round = 0; round < 200; round++) {
        std::vector<std::string> labels;
        std::set<std::string> lower;
        while (labels.size() < 2 + rng() % 20) {
            std::string l;
            for (uint32_t k = 1 + rng() % 14; k > 0; k--)
                l += alphabet[rng() % alphabet.size()];
            while (!l.empty() && l.back() == ' ')
                l.pop_back();
            while (!l.empty() && l.front() == ' ')
                l.erase(0, 1);
            std::string key;
            for (char c : l)
                key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (!l.empty() && lower.insert(key).second)
                labels.push_back(l);
        }
        const std::vector<std::string> newick = treeFileTaxonWords(labels, kTreeFmtNewick);
        const std::vector<std::string> phylip = treeFileTaxonWords(labels, kTreeFmtPhylip);
        ASSERT_EQ(newick.size(), labels.size());
        ASSERT_EQ(phylip.size(), labels.size());
        for (const auto *words : {&newick, &phylip}) {
            std::set<std::string> seen;
            for (size_t i = 0; i < labels.size(); i++) {
                const std::string &w = (*words)[i];
                ASSERT_FALSE(w.empty()) << labels[i];
                if (words == &newick && needsNewickQuotes(w.c_str()))
                    EXPECT_EQ(w.rfind(labels[i], 0), 0u) << w << " is written quoted but is not the label";
                else
                    EXPECT_EQ(w.find_first_of(" ,;()'[]:=\t"), std::string::npos) << w;
                EXPECT_TRUE(seen.insert(seenAs(w)).second) << "two taxa named " << w;
                for (size_t j = 0; j < labels.size(); j++) {
                    if (j != i) {
                        EXPECT_NE(seenAs(w), seenAs(labels[j])) << w << " reads as the label " << labels[j];
                    }
                }
            }
        }
        for (size_t i = 0; i < labels.size(); i++) {
            EXPECT_LE(phylip[i].size(), 10u) << phylip[i];
            // The reader tries Newick words before PHYLIP words.
            for (size_t j = 0; j < labels.size(); j++) {
                if (j != i) {
                    EXPECT_NE(seenAs(phylip[i]), seenAs(newick[j])) << phylip[i];
                }
            }
        }
    }
}

}  // namespace

// Genetic codes against Biopython's NCBI tables, codon counts and usage,
// the F1x4 and F3x4 frequencies by hand, and CF3x4 against the fixed point
// of its equations solved here.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdarg>
#include <random>
#include <string>

#include "cli/qel_cmdline.h"
#include "data/codons.h"
#include "data/data_settings.h"
#include "qel/qel_strings.h"
#include "reader_test_support.h"
#include "support/format_support.h"

namespace {

std::string gOut, gError;

int capturePrint(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    gOut += testfmt::vformat(format, args);
    va_end(args);
    return 0;
}

int captureError(uint32_t, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    gError = testfmt::vformat(format, args);
    va_end(args);
    return 1;
}

class CodonTest : public DataReaderTest {
protected:
    CodonTest() : DataReaderTest(capturePrint, captureError, captureError) {}
    void SetUp() override
    {
        gOut.clear();
        gError.clear();
        DataReaderTest::SetUp();
    }
    void readDna(const std::vector<std::string> &rows, const std::string &format = "")
    {
        std::string s = "begin data; dimensions ntax=" + std::to_string(rows.size()) +
                        " nchar=" + std::to_string(rows[0].size()) + "; format datatype=dna gap=- " + format +
                        "; matrix\n";
        for (size_t t = 0; t < rows.size(); ++t)
            s += "t" + std::to_string(t + 1) + " " + rows[t] + "\n";
        feed(s + ";\nend;\n", true);
        char word[64];
        readToken(word, sizeof word);
        readToken(word, sizeof word);
        readSemicolon();
        ASSERT_EQ(readData(kBlockData, activeDataInfo()), 0) << gError;
    }
};

// NCBI tables 1, 2, 3, 5, 12, 4, 6, 9, 10, 13, 14, 16, 21 from
// Bio.Data.CodonTable.unambiguous_dna_by_id, written once with codons in
// this program's order (A, C, G, T; first position slowest).
constexpr const char *kBiopython[kNumGenCodes] = {
    "KNKNTTTTRSRSIIMIQHQHPPPPRRRRLLLLEDEDAAAAGGGGVVVV*Y*YSSSS*CWCLFLF",  // NCBI 1
    "KNKNTTTT*S*SMIMIQHQHPPPPRRRRLLLLEDEDAAAAGGGGVVVV*Y*YSSSSWCWCLFLF",  // NCBI 2
    "KNKNTTTTRSRSMIMIQHQHPPPPRRRRTTTTEDEDAAAAGGGGVVVV*Y*YSSSSWCWCLFLF",  // NCBI 3
    "KNKNTTTTSSSSMIMIQHQHPPPPRRRRLLLLEDEDAAAAGGGGVVVV*Y*YSSSSWCWCLFLF",  // NCBI 5
    "KNKNTTTTRSRSIIMIQHQHPPPPRRRRLLSLEDEDAAAAGGGGVVVV*Y*YSSSS*CWCLFLF",  // NCBI 12
    "KNKNTTTTRSRSIIMIQHQHPPPPRRRRLLLLEDEDAAAAGGGGVVVV*Y*YSSSSWCWCLFLF",  // NCBI 4
    "KNKNTTTTRSRSIIMIQHQHPPPPRRRRLLLLEDEDAAAAGGGGVVVVQYQYSSSS*CWCLFLF",  // NCBI 6
    "NNKNTTTTSSSSIIMIQHQHPPPPRRRRLLLLEDEDAAAAGGGGVVVV*Y*YSSSSWCWCLFLF",  // NCBI 9
    "KNKNTTTTRSRSIIMIQHQHPPPPRRRRLLLLEDEDAAAAGGGGVVVV*Y*YSSSSCCWCLFLF",  // NCBI 10
    "KNKNTTTTGSGSMIMIQHQHPPPPRRRRLLLLEDEDAAAAGGGGVVVV*Y*YSSSSWCWCLFLF",  // NCBI 13
    "NNKNTTTTSSSSIIMIQHQHPPPPRRRRLLLLEDEDAAAAGGGGVVVVYY*YSSSSWCWCLFLF",  // NCBI 14
    "KNKNTTTTRSRSIIMIQHQHPPPPRRRRLLLLEDEDAAAAGGGGVVVV*YLYSSSS*CWCLFLF",  // NCBI 16
    "NNKNTTTTSSSSMIMIQHQHPPPPRRRRLLLLEDEDAAAAGGGGVVVV*Y*YSSSSWCWCLFLF",  // NCBI 21
};

TEST_F(CodonTest, TablesEqualBiopythonAndNamesAreWhole)
{
    for (uint32_t k = 0; k < kNumGenCodes; ++k) {
        char aa[kNumCodons];
        std::string letters;
        uint32_t count = 0;
        ASSERT_EQ(getGenCode(kGenCodeNames[k], aa, &letters, &count), static_cast<int>(k));
        EXPECT_EQ(std::string(aa, kNumCodons), kBiopython[k]) << kGenCodeNames[k];
        EXPECT_EQ(letters.size(), count);
        EXPECT_EQ(letters.back(), kStopSymbol);  // letters first, the stop last
    }
    char aa[kNumCodons];
    EXPECT_EQ(getGenCode("VERTMITO", aa, nullptr, nullptr), 1);
    EXPECT_EQ(aa[8], '*');   // AGA
    EXPECT_EQ(aa[10], '*');  // AGG
    EXPECT_EQ(getGenCode("vert", aa, nullptr, nullptr), -1);
    EXPECT_NE(gError.find("Genetic code 'vert' is not defined."), std::string::npos);
}

TEST_F(CodonTest, WholeCodonsOnly)
{
    readDna({std::string(301, 'A'), std::string(301, 'C')});
    int32_t codons = 0;
    EXPECT_FALSE(canDoCodonModels(activeDataInfo(), true, &codons));
    EXPECT_EQ(codons, -1);
    EXPECT_EQ(gError.rfind("The number of included nucleotide characters must be a multiple of 3", 0), 0u);
}

// Two taxa: ATG AAA and ATG AAG; a third with a partial gap and an
// ambiguity adds nothing. Hand counts: ATG 2, AAA 1, AAG 1; position 1 all
// A; position 2 A and T halves; position 3 G 3/4, A 1/4; overall A 7/12,
// G 1/4, T 1/6. Under the standard code no stop codon has A first, so F3x4
// is the plain product; F1x4 is divided by 1 minus the stop mass
// T·A·A + T·A·G + T·G·A.
TEST_F(CodonTest, CountsUsageF1x4AndF3x4ByHand)
{
    readDna({"ATGAAA", "ATGAAG", "A-GNTG"});
    CodonFreqData cf;
    ASSERT_EQ(initCodonFreqData(cf, activeDataInfo(), "standard"), 0);
    ASSERT_EQ(calcEmpirCodonFreqs(cf), 0);
    const uint32_t ATG = 16 * 0 + 4 * 3 + 2, AAA = 0, AAG = 2;
    EXPECT_EQ(cf.counts[0][ATG] + cf.counts[1][ATG] + cf.counts[2][ATG], 2u);
    EXPECT_EQ(cf.counts[2][ATG], 0u);
    EXPECT_DOUBLE_EQ(cf.empirical[ATG], 0.5);
    EXPECT_DOUBLE_EQ(cf.empirical[AAA], 0.25);
    EXPECT_DOUBLE_EQ(cf.f3x4[ATG], 0.375);
    EXPECT_DOUBLE_EQ(cf.f3x4[AAG], 0.375);
    EXPECT_DOUBLE_EQ(cf.f3x4[AAA], 0.125);
    EXPECT_NEAR(cf.f1x4[ATG], 0.027166882276843468, 1e-15);
    EXPECT_NEAR(cf.f1x4[AAA], 0.22186287192755505, 1e-15);
    EXPECT_NEAR(cf.f1x4[AAG], 0.09508408796895215, 1e-15);
    EXPECT_NE(gError.find("(e.g., taxon t3, characters 1-3)"), std::string::npos) << gError;
    EXPECT_NE(gOut.find("1 codon(s) containing missing data and/or partial ambiguities"), std::string::npos);
}

// User symbols stand before A, C, G and T in the symbol list; codons are
// still read by their bases, and a codon holding a user symbol is ambiguous.
TEST_F(CodonTest, UserSymbolsDoNotShiftBases)
{
    readDna({"ATGAAAXTG", "ATGAAGATG"}, "symbols=\"XZ\"");
    ASSERT_EQ(std::string(activeDataInfo()->symbols).substr(0, 2), "XZ");
    CodonFreqData cf;
    ASSERT_EQ(initCodonFreqData(cf, activeDataInfo(), "standard"), 0);
    getCodonCounts(cf);
    const uint32_t ATG = 16 * 0 + 4 * 3 + 2, AAA = 0, AAG = 2;
    EXPECT_EQ(cf.counts[0][ATG], 1u);
    EXPECT_EQ(cf.counts[0][AAA], 1u);
    EXPECT_EQ(cf.counts[1][AAG], 1u);
    EXPECT_EQ(cf.counts[1][ATG], 2u);
    EXPECT_NE(gOut.find("1 codon(s) containing missing data"), std::string::npos);
}

// Random sense codons under the vertebrate mitochondrial code, whose stop
// codons (AGA, AGG, TAA, TAG) touch every position.
TEST_F(CodonTest, CF3x4IsTheFixedPointOfItsEquations)
{
    char aa[kNumCodons];
    getGenCode("vertMito", aa, nullptr, nullptr);
    std::mt19937 rng(7);
    std::vector<std::string> rows(6);
    for (std::string &row : rows)
        while (row.size() < 3 * 40) {
            const uint32_t codon = rng() % kNumCodons;
            // Uneven base use, so that the fitted frequencies differ from the observed.
            if (aa[codon] == '*' || (codon >= 32 && rng() % 3 == 0))
                continue;
            row += makeCodonString(codon);
        }
    readDna(rows);
    CodonFreqData cf;
    ASSERT_EQ(initCodonFreqData(cf, activeDataInfo(), "vertMito"), 0);
    ASSERT_EQ(calcEmpirCodonFreqs(cf), 0);

    // p[i][b] = observed[i][b] (1 - stop mass) / (1 - m[i][b]), renormalised.
    double p[3][4], obs[3][4];
    for (int i = 0; i < 3; ++i)
        for (int b = 0; b < 4; ++b)
            p[i][b] = obs[i][b] = cf.baseFreqs[i][b];
    auto baseAt = [](uint32_t codon, int i) { return (codon >> (2 * (2 - i))) & 3; };
    for (int iteration = 0; iteration < 20000; ++iteration) {
        double stop = 0, m[3][4] = {};
        for (uint32_t c = 0; c < kNumCodons; ++c)
            if (aa[c] == '*') {
                const uint32_t b0 = baseAt(c, 0), b1 = baseAt(c, 1), b2 = baseAt(c, 2);
                stop += p[0][b0] * p[1][b1] * p[2][b2];
                m[0][b0] += p[1][b1] * p[2][b2];
                m[1][b1] += p[0][b0] * p[2][b2];
                m[2][b2] += p[0][b0] * p[1][b1];
            }
        for (int i = 0; i < 3; ++i) {
            double sum = 0;
            for (int b = 0; b < 4; ++b)
                sum += (p[i][b] = obs[i][b] * (1 - stop) / (1 - m[i][b]));
            for (double &v : p[i])
                v /= sum;
        }
    }
    for (int i = 0; i < 3; ++i)
        for (int b = 0; b < 4; ++b)
            EXPECT_NEAR(cf.fitted[i][b], p[i][b], 1e-5) << i << " " << b;

    double cf3x4[kNumCodons], stop = 0, aaSum[128] = {};
    for (uint32_t c = 0; c < kNumCodons; ++c) {
        cf3x4[c] = p[0][baseAt(c, 0)] * p[1][baseAt(c, 1)] * p[2][baseAt(c, 2)];
        stop += aa[c] == '*' ? cf3x4[c] : 0;
    }
    for (uint32_t c = 0; c < kNumCodons; ++c)
        aaSum[static_cast<int>(aa[c])] += (cf3x4[c] /= 1 - stop);
    double term = 0;
    for (const auto &row : cf.counts)
        for (uint32_t c = 0; c < kNumCodons; ++c)
            if (row[c])
                term += row[c] * std::log(cf3x4[c] / aaSum[static_cast<int>(aa[c])]);
    EXPECT_NEAR(codonCorrectionTerm(cf), term, 1e-4 * std::fabs(term));
    EXPECT_TRUE(std::isfinite(term));
}

}  // namespace

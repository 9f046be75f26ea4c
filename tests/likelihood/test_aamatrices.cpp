// The compiled-in amino-acid matrices against the files PAML distributes
// (Debian's paml package): every exchangeability and frequency, to the
// decimals printed there.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "data/model.h"
#include "likelihood/aamatrices.h"
#include "likelihood/likelihood_settings.h"

namespace {

constexpr const char *kPamlDir = "/usr/lib/paml/data/dat/";

// The leading numbers of a PAML matrix file: 190 exchangeabilities by rows
// of the lower triangle, then 20 frequencies.
std::vector<double> readPamlMatrix(const std::string &file)
{
    std::ifstream in(kPamlDir + file);
    std::vector<double> values;
    std::string word;
    while (values.size() < kNumAAExchangeabilities + kNumAAStates && in >> word) {
        size_t used = 0;
        double v = std::stod(word, &used);
        if (used != word.size())
            break;
        values.push_back(v);
    }
    return values;
}

TEST(AAMatrices, EqualThePublishedFilesAndKeepEveryFrequencyPositive)
{
    if (!std::filesystem::exists(kPamlDir))
        GTEST_SKIP() << "paml is not installed";
    const char *files[kNumAAMatrices] = {"jones-dcmut.dat", "jones.dat", "dayhoff-dcmut.dat",
                                         "mtREV24.dat",     "wag.dat",   "lg.dat"};
    for (uint32_t k = 0; k < kNumAAMatrices; ++k) {
        SCOPED_TRACE(files[k]);
        const std::vector<double> published = readPamlMatrix(files[k]);
        ASSERT_EQ(published.size(), kNumAAExchangeabilities + kNumAAStates);
        const AAMatrix *matrix = getAAMatrix(k);
        ASSERT_NE(matrix, nullptr);
        for (uint32_t i = 0; i < kNumAAExchangeabilities; ++i)
            EXPECT_DOUBLE_EQ(matrix->rmatrix[i], published[i]) << "exchangeability " << i;
        for (uint32_t s = 0; s < kNumAAStates; ++s) {
            EXPECT_DOUBLE_EQ(matrix->pi[s], published[kNumAAExchangeabilities + s])
                << "frequency of " << kAASymbols[s];
            EXPECT_GE(matrix->pi[s], 1e-5);
        }
    }
    EXPECT_EQ(getAAMatrix(kNumAAMatrices), nullptr);
}

TEST(AAMatrices, InstallingCopiesTheChosenMatrixIntoTheModel)
{
    const int32_t saved = ml.aaRMatrix;
    Model *m = createModel("aa");
    ml.aaRMatrix = static_cast<int32_t>(kAAMatrixLG);
    setAARateMatrix(m);
    EXPECT_EQ(m->aaRMatrix, kAAMatrixLG);
    ASSERT_EQ(m->rates.size(), kNumAAExchangeabilities);
    EXPECT_EQ(m->rates[0], getAAMatrix(kAAMatrixLG)->rmatrix[0]);
    EXPECT_EQ(m->intrinsicFreqs, getAAMatrix(kAAMatrixLG)->pi);
    // A later choice replaces both.
    ml.aaRMatrix = static_cast<int32_t>(kAAMatrixJTT);
    setAARateMatrix(m);
    EXPECT_EQ(m->rates[189], getAAMatrix(kAAMatrixJTT)->rmatrix[189]);
    EXPECT_EQ(m->intrinsicFreqs, getAAMatrix(kAAMatrixJTT)->pi);
    EXPECT_STREQ(prmatrixString(kAAMatrixMTrev24), "MTRev24");
    destroyModel(m);
    ml.aaRMatrix = saved;
}

}  // namespace

// A data set read from an in-memory NEXUS text with the subsystems below the
// distance methods hooked in as at start-up, the distance settings at their
// factory values, and output, errors and warnings captured.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/qel_cmdline.h"
#include "cli/qel_cmdoptions.h"
#include "data/data_services.h"
#include "data/getdata.h"
#include "data/parminit_data.h"
#include "data/patterns.h"
#include "data/vorn_data.h"
#include "data/vorn_memory.h"
#include "distance/dcalc.h"
#include "distance/distance_hooks.h"
#include "distance/dmatrix.h"
#include "parsimony/parsimony_settings.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_io.h"
#include "qel/qel_strings.h"
#include "search/scores.h"
#include "support/capture_support.h"
#include "trees/treebuf.h"

namespace disttest {

inline std::vector<uint32_t> gWarnings;

inline int captureWarning(uint32_t code, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    testcap::gOut += "WARNING " + testfmt::vformat(format, args) + "\n";
    va_end(args);
    gWarnings.push_back(code);
    return 0;
}

class DistanceTest : public ::testing::Test {
public:
    void SetUp() override
    {
        testcap::clearCaptured();
        gWarnings.clear();
        saved_ = {qel_printf, qel_errorMsg, qel_warningMsg};
        qel_printf = testcap::capturePrintf;
        qel_errorMsg = testcap::captureError<true>;
        qel_warningMsg = captureWarning;
        qel_initializeParser(true);
        ASSERT_EQ(qel_initializeCmdOptions(), 0);
        setCmdParamTraverser(traverseDataOptionSets);
        installTreeHooks();
        installParsimonyHooks();
        installSearchHooks();
        installDistanceHooks();
        factoryDist_ = dist;
        resetDefaultModel();
        setActiveDataInfo(createDataInfo());
    }

    void TearDown() override
    {
        deallocDistanceStorage(1);
        invalidateSitePatternData(true);
        *activeModelGroup() = ModelGroup{};
        resetDefaultModel();
        if (DataInfo *d = activeDataInfo())
            purgeData(d, 0, 0, 1);
        setActiveInput(nullptr);
        resetDataServices();
        resetPatternServices();
        setCmdParamTraverser(nullptr);
        qel_finalizeCmdOptions();
        dist = factoryDist_;
        qel_printf = saved_.print;
        qel_errorMsg = saved_.error;
        qel_warningMsg = saved_.warning;
    }

    // Reads the blocks of a NEXUS text (DISTANCES blocks included) into the
    // active data set; 0 on success.
    int read(std::string input)
    {
        text_ = std::move(input);
        initDocumentInput(&doc_, text_.data(), text_.size());
        doc_.batch = 1;
        setActiveInput(&doc_);
        char word[64];
        for (;;) {
            if (readSpecialToken(word, sizeof word, nullptr, nullptr, nullptr, true) < 0)
                return 0;
            if (stricmp(word, "#nexus") == 0 || std::string(word) == ";")
                continue;
            readToken(word, sizeof word);
            readSemicolon();
            const int kind = stricmp(word, "taxa") == 0        ? kBlockTaxa
                             : stricmp(word, "distances") == 0 ? kBlockDistances
                                                               : kBlockData;
            if (int rc = readData(kind, activeDataInfo()); rc != 0)
                return rc;
        }
    }

    // A DATA block of the given datatype over rows "label sequence".
    static std::string dataBlock(const std::vector<std::pair<std::string, std::string>> &rows,
                                 const std::string &format = "datatype=dna")
    {
        std::string s = "#nexus\nbegin data; dimensions ntax=" + std::to_string(rows.size()) +
                        " nchar=" + std::to_string(rows[0].second.size()) + "; format " + format +
                        "; matrix\n";
        for (const auto &[label, seq] : rows)
            s += label + " " + seq + "\n";
        return s + ";\nend;\n";
    }

    // The matrix of the current type as a tree method asks for it; 0 when
    // it was had.
    int compute() { return getDMatrix(kDMatrixForDistance, activeDataInfo(), false) ? 0 : 1; }
    // d(i, j) of the computed matrix.
    static double D(uint32_t i, uint32_t j)
    {
        return i > j ? gComputedDistances->distances[i][j] : gComputedDistances->distances[j][i];
    }

    DistSettings factoryDist_{};

private:
    struct {
        PrintHook print;
        MsgHook error;
        MsgHook warning;
    } saved_{};
    std::string text_;
    InputStatus doc_{};
};

}  // namespace disttest

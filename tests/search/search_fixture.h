// A small data set built in memory, prepared for parsimony, with the output
// and error hooks captured.
#pragma once

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "data/data_services.h"
#include "data/vorn_data.h"
#include "data/vorn_memory.h"
#include "parsimony/packx.h"
#include "parsimony/pars_init.h"
#include "parsimony/treelen.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_malloc.h"
#include "support/tree_test_support.h"
#include "trees/treebuf.h"
#include "trees/treebuf_extras.h"
#include "trees/treeedit.h"
#include "trees/treeutil.h"

// The clades of a random rooted tree of ntax taxa (taxon lists, the root's
// two halves left out), for characters that follow a tree.
inline std::vector<std::vector<uint32_t>> randomClades(std::mt19937 &gen, uint32_t ntax)
{
    std::vector<std::vector<uint32_t>> clades;
    std::vector<std::vector<uint32_t>> groups(ntax);
    for (uint32_t t = 0; t < ntax; t++)
        groups[t] = {t};
    while (groups.size() > 2) {
        const size_t a = gen() % groups.size();
        std::vector<uint32_t> joined = groups[a];
        groups.erase(groups.begin() + static_cast<long>(a));
        const size_t b = gen() % groups.size();
        joined.insert(joined.end(), groups[b].begin(), groups[b].end());
        groups.erase(groups.begin() + static_cast<long>(b));
        clades.push_back(joined);
        groups.push_back(joined);
    }
    return clades;
}

inline std::string gPrinted;
inline std::vector<uint32_t> gErrorCodes;

// A search's output without the lines that change from run to run: the
// time used, and the count of replicates run ahead (printed only when
// they ran on several threads).
inline std::string withoutVolatileLines(std::string s)
{
    for (const char *line : {"   Time used", "   Replicates run ahead"}) {
        const size_t at = s.find(line);
        if (at != std::string::npos)
            s.erase(at, s.find('\n', at) + 1 - at);
    }
    return s;
}

inline int capturePrint(const char *fmt, ...)
{
    char text[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    gPrinted += text;
    return 0;
}

// As the program's own error hook, quiet where the thread asks for quiet;
// replicates run ahead on worker threads may report at once.
inline int captureErrorCode(uint32_t code, const char *, ...)
{
    static std::mutex mutex;
    if (messagesQuietOnThisThread())
        return 1;
    const std::lock_guard lock(mutex);
    gErrorCodes.push_back(code);
    return 1;
}

class SearchTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        savedPrint = qel_printf;
        savedError = qel_errorMsg;
        qel_printf = capturePrint;
        qel_errorMsg = captureErrorCode;
        gPrinted.clear();
        gErrorCodes.clear();
        resetParsSettings();
    }
    void TearDown() override
    {
        dropData();
        resetParsSettings();
        clearMemoryErrorStatus();
        qel_printf = savedPrint;
        qel_errorMsg = savedError;
    }

    // Frees the data set and the buffers so that a test can build another.
    void dropData()
    {
        setActiveTreeBuffer(nullptr);
        for (TreeBuffer *b : buffers)
            destroyTreeBuffer(b);
        if (data) {
            deallocPackedData(data);
            destroyDataInfo(data);
        }
        buffers.clear();
        data = nullptr;
        setActiveDataInfo(nullptr);
    }

    // Matrix from rows of digit text ('0'/'1' by default, up to the last of
    // symbols) and '?', one row per taxon.
    DataInfo *makeData(const std::vector<std::string> &rows, const char *symbols = "01")
    {
        data = createDataInfo();
        std::snprintf(data->symbols, sizeof data->symbols, "%s", symbols);
        data->nchar = static_cast<uint32_t>(rows[0].size());
        EXPECT_EQ(allocTaxaMemory(data, static_cast<uint32_t>(rows.size())), 0);
        EXPECT_EQ(initCharInfo(data), 0);
        EXPECT_EQ(initializeRawData(data, 0), 0);
        data->flags |= kHaveTaxa | kHaveCharacters;
        for (uint32_t t = 0; t < rows.size(); t++)
            for (uint32_t c = 0; c < rows[t].size(); c++) {
                const char ch = rows[t][c];
                const uint8_t code = ch == '?' ? static_cast<uint8_t>(data->nstates) : static_cast<uint8_t>(ch - '0');
                EXPECT_EQ(setXijRaw(data, t, c, code), 0);
            }
        setActiveDataInfo(data);
        gPars.pending = 3;
        EXPECT_EQ(prepareParsimonyData(data), 0);
        return data;
    }

    TreeBuffer *activeBuffer(uint32_t ntax, uint32_t capacity = 200)
    {
        TreeBuffer *b = createTreeBuffer(ntax, capacity, false, true, false);
        buffers.push_back(b);
        setActiveTreeBuffer(b);
        return b;
    }

    DataInfo *data = nullptr;
    std::vector<TreeBuffer *> buffers;
    PrintHook savedPrint = nullptr;
    MsgHook savedError = nullptr;
};

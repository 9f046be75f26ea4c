// Shared fixture of the named-set, list, derived-status and taxon-status
// tests: captured output and messages, a small active data set with the
// named-set store, and command text fed from an in-memory document.
#pragma once

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "data/data_services.h"
#include "data/nexsets.h"
#include "data/taxstat.h"
#include "data/vorn_memory.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_io.h"
#include "qel/qel_malloc.h"
#include "cli/qel_cmdline.h"
#include "cli/qel_cmdoptions.h"
#include "support/capture_support.h"

namespace datatest {

using testcap::capturePrintf;
using testcap::gErrorText;
using testcap::gOut;
inline std::vector<uint32_t> &gErrors = testcap::gErrorCodes;

class DataFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        testcap::clearCaptured();
        savedPrintf_ = qel_printf;
        savedError_ = qel_errorMsg;
        savedWarning_ = qel_warningMsg;
        qel_printf = capturePrintf;
        qel_errorMsg = testcap::captureError<false>;
        qel_warningMsg = testcap::captureError<false>;
        qel_initializeParser(true);
        savedTraverser_ = setCmdParamTraverser(registerTaxStatusOptions);
        ASSERT_EQ(qel_initializeCmdOptions(), 0);
        DataServices s{};
        s.currentAncestralStates = currentAncestralStates;
        installDataServices(s);
    }
    void TearDown() override
    {
        deallocAssumpSets();
        setActiveInput(nullptr);
        destroyDataInfo(d);
        setActiveDataInfo(nullptr);
        resetDataServices();
        qel_finalizeCmdOptions();
        setCmdParamTraverser(savedTraverser_);
        clearMemoryErrorStatus();
        qel_printf = savedPrintf_;
        qel_errorMsg = savedError_;
        qel_warningMsg = savedWarning_;
    }

    // An active data set of ntax taxa and nchar characters over "01" (every
    // cell missing), taxa numbered in order, labels t1.. when asked.
    DataInfo *makeData(uint32_t ntax, uint32_t nchar, bool labels = true, const char *symbols = "01")
    {
        d = createDataInfo();
        std::strcpy(d->symbols, symbols);
        d->nchar = nchar;
        EXPECT_EQ(allocTaxaMemory(d, ntax), 0);
        EXPECT_EQ(initCharInfo(d), 0);
        EXPECT_EQ(initializeRawData(d, 0), 0);
        d->flags |= kHaveTaxa | kHaveCharacters;
        d->taxa.taxaByNumber = 1;
        for (uint32_t t = 0; labels && t < ntax; ++t)
            EXPECT_EQ(storeTaxLabel(d, t, ("t" + std::to_string(t + 1)).c_str()), 0);
        setActiveDataInfo(d);
        initTaxStatus(d);
        EXPECT_EQ(initializeAssumpSets(d), 0);
        return d;
    }

    // Makes text the active input (a batch document).
    void feed(std::string text)
    {
        docText_ = std::move(text);
        initDocumentInput(&doc_, docText_.data(), docText_.size());
    }
    // What is left of the input, as one token (for checking what the reader
    // left behind).
    std::string nextWord()
    {
        char word[256];
        return readToken(word, sizeof word) < 0 ? std::string("<end>") : std::string(word);
    }

    DataInfo *d = nullptr;

private:
    std::string docText_;
    InputStatus doc_{};
    PrintHook savedPrintf_ = nullptr;
    MsgHook savedError_ = nullptr;
    MsgHook savedWarning_ = nullptr;
    CmdParamTraverser savedTraverser_ = nullptr;
};

// The members of a set, 1-based, as the reader's users see them.
inline std::vector<uint32_t> members(const Set *s)
{
    std::vector<uint32_t> m;
    for (uint32_t i = firstOneBit(s->words, s->nwords); i != kSetEnd; i = followingSetMember(s, i))
        m.push_back(i + 1);
    return m;
}

}  // namespace datatest

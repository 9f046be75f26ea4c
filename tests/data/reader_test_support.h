// The data-block reader over an in-memory NEXUS text, with the print and
// message hooks of the test in place and a fresh active data set.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "data/getdata.h"
#include "data/vorn_data.h"
#include "data/vorn_memory.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_io.h"
#include "data/parminit_data.h"
#include "cli/qel_cmdline.h"
#include "cli/qel_cmdoptions.h"

class DataReaderTest : public ::testing::Test {
protected:
    DataReaderTest(PrintHook print, MsgHook error, MsgHook warning)
        : print_(print), error_(error), warning_(warning)
    {
    }

    void SetUp() override
    {
        saved_ = {qel_printf, qel_errorMsg, qel_warningMsg};
        qel_printf = print_;
        qel_errorMsg = error_;
        qel_warningMsg = warning_;
        qel_initializeParser(true);
        ASSERT_EQ(qel_initializeCmdOptions(), 0);
        setCmdParamTraverser(traverseDataOptionSets);
        // Each test reads as the first blocks after start-up.
        dataBlockParam.ntaxGiven = dataBlockParam.ncharGiven = 0;
        DataInfo *d = createDataInfo();
        ASSERT_NE(d, nullptr);
        setActiveDataInfo(d);
    }

    void TearDown() override
    {
        destroyDataInfo(activeDataInfo());
        setActiveDataInfo(nullptr);
        setActiveInput(nullptr);
        setCmdParamTraverser(nullptr);
        qel_finalizeCmdOptions();
        qel_printf = saved_.print;
        qel_errorMsg = saved_.error;
        qel_warningMsg = saved_.warning;
    }

    // Makes `input` the active input, read as a batch run when `batch`.
    void feed(std::string input, bool batch)
    {
        text_ = std::move(input);
        initDocumentInput(&doc_, text_.data(), text_.size());
        if (batch) {
            doc_.batch = 1;
            setActiveInput(&doc_);
        }
    }

private:
    PrintHook print_;
    MsgHook error_;
    MsgHook warning_;
    struct {
        PrintHook print;
        MsgHook error;
        MsgHook warning;
    } saved_{};
    std::string text_;
    InputStatus doc_{};
};

// The option table over the real parser, fed from an in-memory command text,
// with what it prints captured: the ground of the option-set tests.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "capture.h"
#include "qel/qel_io.h"
#include "qel/qel_output.h"
#include "app/parminit.h"
#include "cli/qel_cmdline.h"

using Names = std::vector<std::string>;

// The option names `set` registers, in registration order.
inline Names namesOf(OptionSet set)
{
    Names names;
    CmdParamList *list = createCmdParamList(set);
    EXPECT_NE(list, nullptr);
    for (uint32_t i = 0; list != nullptr && i < list->count; ++i)
        names.push_back(list->params[i].name);
    destroyCmdParamList(list);
    return names;
}

class OptionTest : public ShellTest {
protected:
    InputStatus doc{};
    std::string text;

    // `fixedTerminal`: output goes to a 40 x 120 terminal instead of the real one.
    explicit OptionTest(bool fixedTerminal = false) : fixedTerminal_(fixedTerminal) {}

    void SetUp() override
    {
        ShellTest::SetUp();
        savedOut_ = outInfo;
        savedIo_ = gQelIo;
        if (fixedTerminal_)
            savedTerminal_ = setOutputTerminal(OutputTerminal{
                stdout, stderr, stdin, false, false, false,
                [](uint32_t *r, uint32_t *c) { return *r = 40, *c = 120, 0; },
                [](uint32_t, uint32_t) { return 0; }});
        qel_cmdPeekNextChar = [] { return peekNextChar(nullptr); };
        qel_cmdSkipRestOfCmd = skipRestOfCmd;
        qel_initializeParser(true);
        ASSERT_EQ(qel_initializeCmdOptions(), 0);
        qel_cmdShowOptionTable = showCmdOptionTable;
        initVornOptions(nullptr);
        outInfo.pauseMode = kPauseNo;
    }

    void TearDown() override
    {
        initVornOptions(nullptr);
        afterFactoryReset();
        qel_finalizeCmdOptions();
        setActiveInput(nullptr);
        if (fixedTerminal_)
            setOutputTerminal(savedTerminal_);
        outInfo = savedOut_;
        gQelIo = savedIo_;
        setCmdParamTraverser(nullptr);
        ShellTest::TearDown();
    }

    // What a fixture frees once the factory values are back (buffers they allocate).
    virtual void afterFactoryReset() {}

    // Makes `input` what the parser reads next, with output and errors emptied.
    void feed(std::string input)
    {
        text = std::move(input);
        initDocumentInput(&doc, text.data(), text.size());
        doc.batch = 1;
        setActiveInput(&doc);
        cap.out.clear();
        cap.errors.clear();
    }

    // getCmdParams over `input`: the terminator taken (> 0), 0 on error, -1 after "?".
    int parse(OptionSet set, std::string input, const char *terminators = ";")
    {
        feed(std::move(input));
        return getCmdParams(set, terminators, nullptr);
    }

    // `run` over `input` as the table's command `command` (none when null).
    template <class Run>
    int runAs(const char *command, std::string input, Run run)
    {
        feed(std::move(input));
        cmdOpt.currentCmd = command != nullptr ? row(command) : nullptr;
        int rc = run();
        cmdOpt.currentCmd = nullptr;
        return rc;
    }

    std::vector<uint32_t> errorCodes() const
    {
        std::vector<uint32_t> codes;
        for (const CapturedMsg &m : cap.errors)
            codes.push_back(m.code);
        return codes;
    }

private:
    bool fixedTerminal_;
    OutputInfo savedOut_{};
    QelIo savedIo_{};
    OutputTerminal savedTerminal_{};
};

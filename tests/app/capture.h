// Captures what the shell prints, and stands in for the services that command
// lookup takes from units not linked into these tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "qel/qel_errormsg.h"
#include "cli/qel_commands.h"
#include "app/vorn_commands.h"
#include "support/format_support.h"

using testfmt::vformat;

struct CapturedMsg {
    uint32_t code;
    std::string text;
    bool operator==(const CapturedMsg &) const = default;
};

inline std::ostream &operator<<(std::ostream &os, const CapturedMsg &m)
{
    return os << "{" << m.code << ", \"" << m.text << "\"}";
}

struct ShellCapture {
    std::string out;
    std::vector<CapturedMsg> errors;
    std::vector<CapturedMsg> warnings;
    uint32_t blocks = 0;
    bool errorStop = true;
    int nextChar = ' ';
    int skips = 0;
    std::vector<OptionSet> listedSets;
};

inline ShellCapture *gCapture = nullptr;

inline int capturePrintf(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    gCapture->out += vformat(format, args);
    va_end(args);
    return 0;
}

inline int captureError(uint32_t code, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    gCapture->errors.push_back({code, vformat(format, args)});
    va_end(args);
    return 1;
}

inline int captureWarning(uint32_t code, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    gCapture->warnings.push_back({code, vformat(format, args)});
    va_end(args);
    return 0;
}

// Installs the vorn table and capturing hooks; puts everything back afterwards.
class ShellTest : public ::testing::Test {
protected:
    ShellCapture cap;

    void SetUp() override
    {
        gCapture = &cap;
        savedPrintf_ = qel_printf;
        savedError_ = qel_errorMsg;
        savedWarning_ = qel_warningMsg;
        savedOpt_ = cmdOpt;
        qel_printf = capturePrintf;
        qel_errorMsg = captureError;
        qel_warningMsg = captureWarning;
        qel_cmdBlocksPresent = [] { return gCapture->blocks; };
        qel_cmdErrorStop = [] { return gCapture->errorStop; };
        qel_cmdPeekNextChar = [] { return gCapture->nextChar; };
        qel_cmdSkipRestOfCmd = [] {
            ++gCapture->skips;
            return 0;
        };
        qel_cmdShowOptionTable = [](OptionSet set, CmdParamList *, bool) {
            gCapture->listedSets.push_back(set);
        };
        setCommandTable(&savedTable_, nullptr, 0, nullptr);
        initVornCmdTable();
    }

    void TearDown() override
    {
        setCommandTable(nullptr, savedTable_.rows, savedTable_.count, savedTable_.synonyms);
        qel_cmdBlocksPresent = nullptr;
        qel_cmdErrorStop = nullptr;
        qel_cmdPeekNextChar = nullptr;
        qel_cmdSkipRestOfCmd = nullptr;
        qel_cmdShowOptionTable = nullptr;
        qel_printf = savedPrintf_;
        qel_errorMsg = savedError_;
        qel_warningMsg = savedWarning_;
        cmdOpt = savedOpt_;
        gCapture = nullptr;
    }

    // The row of the vorn table with this exact name.
    static const CmdTableEntry *row(const std::string &name)
    {
        for (const CmdTableEntry &r : vorn_commands)
            if (name == r.name)
                return &r;
        ADD_FAILURE() << "no row " << name;
        return nullptr;
    }

private:
    CmdTable savedTable_{};
    CmdOpt savedOpt_{};
    PrintHook savedPrintf_ = nullptr;
    MsgHook savedError_ = nullptr;
    MsgHook savedWarning_ = nullptr;
};

// Shared fixture pieces for the input-stream and user-question tests: output
// and message capture, and a scripted terminal.
#pragma once

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_io.h"
#include "support/capture_support.h"

namespace iotest {

using testcap::capturePrintf;
using testcap::gErrorCodes;
using testcap::gErrorText;
using testcap::gOut;

// A whole file as text, and a file made from a text.
inline std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void spit(const std::string &path, const std::string &content)
{
    std::ofstream(path, std::ios::binary) << content;
}

// Runs `body` in a forked child, which ends with its result; the wait
// status. For what changes a process for good: signal handlers, the
// termination state, the watchdog.
inline int childStatus(const std::function<int()> &body)
{
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0)
        _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

// How often `what` occurs in `text`, overlaps included.
inline size_t countOf(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1))
        ++n;
    return n;
}

// Every test starts from a quiet interactive run with the terminal replaced
// by a script; what the library prints and reports is captured.
class IoFixture : public ::testing::Test {
protected:
    MemoryTerminal terminal{};
    std::string script;

    void SetUp() override
    {
        testcap::clearCaptured();
        savedPrintf_ = qel_printf;
        savedError_ = qel_errorMsg;
        qel_printf = capturePrintf;
        qel_errorMsg = testcap::captureError<true>;
        savedIo_ = gQelIo;
        gQelIo.stdinNotTerminal = true;
        gQelIo.stdoutNotTerminal = true;
        gQelIo.defaultMode = false;
        gQelIo.detachedMode = false;
        gQelIo.fileLocking = true;
        gQelIo.lineBuffered = false;
        gQelIo.parentPid = 0;
        setTerminalInput(memoryTerminalByte, &terminal);
        setAbortedStatus(0);
        setLongOperationStatus(0);
        setActiveInput(nullptr);
    }
    void TearDown() override
    {
        setTerminalInput(nullptr, nullptr);
        setActiveInput(nullptr);
        gQelIo = savedIo_;
        qel_printf = savedPrintf_;
        qel_errorMsg = savedError_;
        setAbortedStatus(0);
        setLongOperationStatus(0);
    }
    // What the user will type, in order.
    void type(std::string text)
    {
        script = std::move(text);
        terminal = MemoryTerminal{script.data(), script.size(), 0};
    }
    size_t typedConsumed() const { return terminal.index; }

private:
    PrintHook savedPrintf_{};
    MsgHook savedError_{};
    QelIo savedIo_{};
};

}  // namespace iotest

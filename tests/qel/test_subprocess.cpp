// Commands run through the shell: their output reaches the output engine,
// the user can stop them, and their failures are reported with their label.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "capture_test_support.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_output.h"
#include "qel/qel_subprocess.h"

namespace {

class SubprocessTest : public ::testing::Test {
protected:
    FILE *screen = nullptr;
    OutputTerminal savedTerminal{};
    PrintHook savedPrint = nullptr;
    std::filesystem::path dir;

    void SetUp() override
    {
        qel_resetOutputEngine();
        screen = std::tmpfile();
        ASSERT_NE(screen, nullptr);
        OutputTerminal t = defaultOutputTerminal();
        t.out = t.err = screen;
        t.outIsTerminal = t.errIsTerminal = t.inIsTerminal = false;
        savedTerminal = setOutputTerminal(t);
        setOutputNumRows(1000);  // no pager
        savedPrint = qel_printf;
        qel_printf = captest::capturePrint;
        captest::gCaptured.clear();
        setAbortedStatus(0);
        setLongOperationStatus(0);
        char tmpl[] = "/tmp/vorn-subprocess-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }

    void TearDown() override
    {
        setAbortedStatus(0);
        qel_printf = savedPrint;
        setOutputTerminal(savedTerminal);
        qel_resetOutputEngine();
        std::fclose(screen);
        std::filesystem::remove_all(dir);
    }

    // What the command wrote through the output engine.
    std::string shown()
    {
        flushOutputFiles();
        std::fflush(screen);
        std::rewind(screen);
        std::string text;
        for (int c; (c = std::fgetc(screen)) != EOF;)
            text += static_cast<char>(c);
        return text;
    }
};

bool noChildLeft()
{
    errno = 0;
    return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

// Running or a zombie still counts as alive; gone or reaped does not.
bool processAlive(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string pidText, comm, state;
    if (!(stat >> pidText >> comm >> state))
        return false;
    return state != "Z" && state != "X";
}

TEST_F(SubprocessTest, SilentCommandStoppedByInterruptKillsItsWholeGroup)
{
    const std::string pidFile = (dir / "pid").string();
    // The shell starts a second process in its group and waits silently.
    const std::string command = "sleep 30 & echo $! > " + shellQuote(pidFile.c_str()) + "; wait";
    std::thread interrupter([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        setAbortedStatus(1);
    });
    uint32_t code = 99;
    const auto start = std::chrono::steady_clock::now();
    const int result = runCommandInNewShell(command.c_str(), nullptr, false, false, nullptr, &code);
    interrupter.join();
    EXPECT_EQ(result, kRunAborted);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(code, 0u);
    EXPECT_NE(captest::gCaptured.find("External command starting with 'sleep' aborted by user."),
              std::string::npos);
    EXPECT_TRUE(noChildLeft());

    pid_t sleeper = 0;
    std::ifstream(pidFile) >> sleeper;
    ASSERT_GT(sleeper, 0);
    bool gone = false;
    for (int i = 0; i < 100 && !gone; ++i) {
        gone = !processAlive(sleeper);
        if (!gone)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(gone) << "the command's own child survived the stop";
}

TEST_F(SubprocessTest, HiddenStandardOutputStillShowsErrorsOfEveryCommandInTheLine)
{
    uint32_t code = 99;
    EXPECT_EQ(runCommandInNewShell("echo out-1; echo err-1 >&2; echo out-2; echo err-2 >&2", nullptr,
                                   false, false, nullptr, &code),
              kRunDone);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(shown(), "err-1\nerr-2\n");
    EXPECT_EQ(captest::gCaptured, "");
}

TEST_F(SubprocessTest, ExitCodesAndSignalsAreReportedWithTheLabel)
{
    uint32_t code = 0;
    EXPECT_EQ(runCommandInNewShell("exit 3", nullptr, false, true, nullptr, &code), kRunDone);
    EXPECT_EQ(code, 3u);
    EXPECT_EQ(captest::gCaptured, "\nExternal command starting with 'exit' terminated with error code 3\n");

    captest::gCaptured.clear();
    EXPECT_EQ(runCommandInNewShell("kill -9 $$", "killer", false, true, nullptr, &code), kRunDone);
    EXPECT_EQ(code, 128u + SIGKILL);
    EXPECT_EQ(captest::gCaptured,
              "\nExternal command starting with 'killer' terminated with error code 137\n");
    EXPECT_TRUE(noChildLeft());
}

TEST_F(SubprocessTest, PathsWithBlanksAndQuotesReachTheShellWhole)
{
    const std::filesystem::path odd = dir / "a b'c";
    std::filesystem::create_directories(odd / "inner");
    std::filesystem::create_directories(dir / "a");
    std::ofstream(odd / "it's here.txt") << "first line\n";

    EXPECT_EQ(catFileToDisplay("it's here.txt", odd.c_str(), nullptr, true), kRunDone);
    EXPECT_EQ(shown(), "first line\n");
    EXPECT_EQ(captest::gCaptured, "\nFile 'it's here.txt' (" + odd.string() + "):\n");

    EXPECT_EQ(removeDirectory(odd.c_str()), kRunDone);
    EXPECT_FALSE(std::filesystem::exists(odd));
    EXPECT_TRUE(std::filesystem::exists(dir / "a"));
}

TEST(ShellQuoteTest, QuotesEveryQuoteAndKeepsEverythingElse)
{
    EXPECT_EQ(shellQuote("plain"), "'plain'");
    EXPECT_EQ(shellQuote("it's $HOME `x` \"y\""), "'it'\\''s $HOME `x` \"y\"'");
    EXPECT_EQ(shellQuote(""), "''");
}

}  // namespace

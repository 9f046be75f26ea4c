#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "qel/io_test_support.h"
#include "qel/qel_files.h"
#include "qel/qel_logfile.h"
#include "qel/qel_output.h"

namespace {

using iotest::gErrorCodes;

using iotest::countOf;
using iotest::slurp;
using iotest::spit;

int noSize(uint32_t *, uint32_t *) { return -1; }
int noResize(uint32_t, uint32_t) { return -1; }

void writeBanner(FILE *log, bool fresh) { std::fprintf(log, "BANNER fresh=%d\n", fresh ? 1 : 0); }

// The real output engine prints to a memory "terminal"; questions read a
// scripted terminal; errors are captured by the fixture.
class LogFileTest : public iotest::IoFixture {
protected:
    void SetUp() override
    {
        iotest::IoFixture::SetUp();
        char buf[kPathBufSize];
        ASSERT_NE(makeTempDirectory("qellogtest", buf), nullptr);
        dir_ = buf;
        qel_resetOutputEngine();
        out_ = open_memstream(&outBuf_, &outLen_);
        err_ = open_memstream(&errBuf_, &errLen_);
        savedTerminal_ = setOutputTerminal(OutputTerminal{out_, err_, nullptr, false, false, false, noSize, noResize});
        setOutputNumRows(10000);
        qel_printf = myprintf;
        logFile = LogFile{};
        ASSERT_EQ(qel_initializeLogFile(), 0);
    }
    void TearDown() override
    {
        qel_shutdownLogFile();
        logFile = LogFile{};
        setLogBannerFxn(nullptr);
        setDataFileName(nullptr);
        setExecFileName(nullptr);
        setOutputTerminal(savedTerminal_);
        qel_resetOutputEngine();
        std::fclose(out_);
        std::fclose(err_);
        std::free(outBuf_);
        std::free(errBuf_);
        std::filesystem::remove_all(dir_);
        iotest::IoFixture::TearDown();
    }

    std::string path(const std::string &name) const { return dir_ + "/" + name; }
    std::string console()
    {
        std::fflush(out_);
        return std::string(outBuf_, outLen_);
    }
    // One Log command: the handler's option parsing is played by `options`.
    int logCmd(const std::function<void()> &options)
    {
        if (beginLogCommand() != 0)
            return 1;
        options();
        return finishLogCommandHandling(false);
    }
    int logToFile(const std::string &file, bool replace, bool append)
    {
        return logCmd([&] {
            setLogFileName(file.c_str());
            logFile.replace = replace;
            logFile.append = append;
        });
    }
    int logStop()
    {
        return logCmd([] { logFile.stop = 1; });
    }

private:
    std::string dir_;
    FILE *out_ = nullptr;
    FILE *err_ = nullptr;
    char *outBuf_ = nullptr;
    char *errBuf_ = nullptr;
    size_t outLen_ = 0;
    size_t errLen_ = 0;
    OutputTerminal savedTerminal_{};
};

// What appears on the console while logging is on must appear in the log,
// byte for byte, and nothing else.
TEST_F(LogFileTest, LogHoldsExactlyTheEchoedOutput)
{
    const std::string p = path("echo.log");
    setLogFileName(p.c_str());
    ASSERT_EQ(openLogFile(), 0);
    EXPECT_TRUE(isLogging());
    EXPECT_EQ(ioServiceHooks().logStream(), logFileStream());
    const size_t start = console().size();
    EXPECT_NE(console().find("Logging output to file \"" + p + "\".\n"), std::string::npos);

    myprintf("Tree 1 has length %d.\n", 1234);
    std::string para;
    for (int i = 0; i < 80; ++i)
        para += "word" + std::to_string(i) + " ";
    myprintf("%s\n\n\n", para.c_str());
    indentOutput(6);
    myprintf("indented line\nand another\n");
    indentOutput(-6);
    myputs("last\n");
    const size_t end = console().size();
    EXPECT_EQ(closeLogFile(false), 0);
    EXPECT_FALSE(isLogging());
    EXPECT_EQ(ioServiceHooks().logStream(), nullptr);

    const std::string echoed = console().substr(start, end - start);
    EXPECT_NE(echoed.find("Tree 1 has length 1234."), std::string::npos);
    EXPECT_NE(echoed.find("      indented line"), std::string::npos);
    EXPECT_EQ(slurp(p), echoed);
    EXPECT_NE(console().find("Logging of output to file \"echo.log\" discontinued."), std::string::npos);
    myprintf("not logged\n");
    EXPECT_EQ(slurp(p), echoed);
}

TEST_F(LogFileTest, ReplaceAppendAndRestart)
{
    setLogBannerFxn(writeBanner);
    const std::string p = path("run.log");
    spit(p, "old\n");

    ASSERT_EQ(logToFile(p, true, false), 0);
    myprintf("first\n");
    ASSERT_EQ(logStop(), 0);
    std::string content = slurp(p);
    EXPECT_EQ(content.rfind("BANNER fresh=1\n", 0), 0u);
    EXPECT_EQ(content.find("old"), std::string::npos);
    EXPECT_NE(content.find("first\n"), std::string::npos);

    ASSERT_EQ(logToFile(p, false, true), 0);
    EXPECT_NE(console().find("Logging output to file \"" + p + "\" (appending).\n"), std::string::npos);
    myprintf("second\n");
    ASSERT_EQ(logStop(), 0);
    const std::string afterAppend = slurp(p);
    EXPECT_EQ(afterAppend.rfind(content, 0), 0u);
    EXPECT_EQ(afterAppend.substr(content.size()), "BANNER fresh=0\n\nsecond\n");

    // "start" without a file reopens the last log in its last mode: no
    // question even though the file exists.
    ASSERT_EQ(logCmd([] { logFile.start = 1; }), 0);
    EXPECT_TRUE(isLogging());
    myprintf("third\n");
    ASSERT_EQ(logStop(), 0);
    EXPECT_EQ(console().find("Do you want"), std::string::npos);
    EXPECT_EQ(slurp(p).rfind(afterAppend, 0), 0u);
    EXPECT_NE(slurp(p).find("third\n"), std::string::npos);

    // Both given: replace wins.
    ASSERT_EQ(logToFile(p, true, true), 0);
    myprintf("fourth\n");
    ASSERT_EQ(logStop(), 0);
    EXPECT_EQ(slurp(p).find("first"), std::string::npos);
    EXPECT_NE(slurp(p).find("fourth\n"), std::string::npos);
    EXPECT_TRUE(gErrorCodes.empty());
}

TEST_F(LogFileTest, ExistingFileQuestion)
{
    const std::string p = path("ask.log");

    // Questions answered by their default: replaced without asking.
    spit(p, "old\n");
    setDefaultMode(true);
    ASSERT_EQ(logToFile(p, false, false), 0);
    setDefaultMode(false);
    ASSERT_EQ(logStop(), 0);
    EXPECT_EQ(console().find("already exists"), std::string::npos);
    EXPECT_EQ(slurp(p).find("old"), std::string::npos);

    struct Case {
        const char *typed;
        int status;
        bool keepsOld;
        bool logs;
    };
    const Case cases[] = {{"c\n", 2, true, false}, {"a\n", 0, true, true}, {"\n", 0, false, true},
                          {"r\n", 0, false, true}, {"A\n", 0, true, true}};
    for (const Case &c : cases) {
        spit(p, "old\n");
        type(c.typed);
        const size_t mark = console().size();
        EXPECT_EQ(logToFile(p, false, false), c.status) << c.typed;
        const std::string shown = console().substr(mark);
        EXPECT_NE(shown.find("The file \"" + p + "\" already exists."), std::string::npos) << shown;
        EXPECT_NE(shown.find("  Do you want to replace, cancel, or append (R/c/a)?"), std::string::npos) << shown;
        EXPECT_EQ(isLogging(), c.logs) << c.typed;
        myprintf("new text\n");
        logStop();
        EXPECT_EQ(slurp(p).rfind("old\n", 0) == 0, c.keepsOld) << c.typed;
        EXPECT_EQ(slurp(p).find("new text") != std::string::npos, c.logs) << c.typed;
    }
}

TEST_F(LogFileTest, StatusMessagesWhenNothingIsOpened)
{
    size_t mark = console().size();
    EXPECT_EQ(logStop(), 0);
    EXPECT_NE(console().find("\nLog file status not changed (no log file open).\n", mark), std::string::npos);

    mark = console().size();
    EXPECT_EQ(logCmd([] { setFlushLogOption(true); }), 0);
    EXPECT_NE(console().find("Flushing of log file after each line enabled (but no log file is currently open)\n",
                             mark),
              std::string::npos);

    const std::string p = path("status.log");
    ASSERT_EQ(logToFile(p, true, false), 0);
    mark = console().size();
    EXPECT_EQ(logCmd([] {}), 0);
    EXPECT_NE(console().find("\nLog file status not changed (still logging to file \"" + p + "\").\n", mark),
              std::string::npos);
    mark = console().size();
    EXPECT_EQ(logCmd([] { setFlushLogOption(false); }), 0);
    const std::string shown = console().substr(mark);
    EXPECT_NE(shown.find("Flushing of log file after each line disabled\n"), std::string::npos);
    EXPECT_EQ(shown.find("but no log file"), std::string::npos);
    EXPECT_TRUE(isLogging());

    // Failed option parsing leaves everything as it was.
    ASSERT_EQ(beginLogCommand(), 0);
    setLogFileName(path("other.log").c_str());
    setFlushLogOption(true);
    EXPECT_EQ(finishLogCommandHandling(true), 1);
    EXPECT_EQ(std::string(logFileNameForDisplay()), p);
    EXPECT_FALSE(logFile.flushLog);
    EXPECT_TRUE(isLogging());
    EXPECT_FALSE(std::filesystem::exists(path("other.log")));
}

// Another process holds the lock: an error (status 1) with the lock message,
// the file untouched, not a user abort.
TEST_F(LogFileTest, LockHeldByAnotherProcessIsAnError)
{
    const std::string p = path("locked.log");
    spit(p, "held\n");
    int ready[2];
    int release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    console();
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        StreamInfo *s = nullptr;
        const int rc = openStream(p.c_str(), kStreamAppend | kStreamLock, nullptr, &s);
        char byte = rc == kOpenOK ? 'y' : 'n';
        (void)!write(ready[1], &byte, 1);
        (void)!read(release[0], &byte, 1);
        _exit(rc);
    }
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    ASSERT_EQ(byte, 'y');

    const size_t mark = console().size();
    EXPECT_EQ(logToFile(p, true, false), 1);
    EXPECT_FALSE(isLogging());
    EXPECT_NE(std::find(gErrorCodes.begin(), gErrorCodes.end(), 137u), gErrorCodes.end());
    EXPECT_NE(iotest::gErrorText.find("has been locked by another process"), std::string::npos);
    EXPECT_NE(console().find("\nLog file not opened.\n", mark), std::string::npos);
    EXPECT_EQ(slurp(p), "held\n");

    EXPECT_EQ(write(release[1], "x", 1), 1);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    for (int fd : {ready[0], ready[1], release[0], release[1]})
        close(fd);

    // Released: the same command now succeeds.
    EXPECT_EQ(logToFile(p, true, false), 0);
    EXPECT_TRUE(isLogging());
}

// A full disk shows at the flush after the line: logging stops with one
// report, and the console carries on.
TEST_F(LogFileTest, WriteFailureStopsLoggingWithOneReport)
{
    // /dev/full is one file for every process on the machine: a lock on it
    // would make tests running side by side refuse each other.
    const bool locking = gQelIo.fileLocking;
    gQelIo.fileLocking = false;
    setLogFileName("/dev/full");
    logFile.append = 1;  // a device cannot be emptied
    setFlushLogOption(true);
    ASSERT_EQ(openLogFile(), 0);
    myprintf("line one\n");
    EXPECT_FALSE(isLogging());
    myprintf("line two\n");
    const std::string shown = console();
    EXPECT_EQ(countOf(shown, "Logging of output to file \"full\" discontinued."), 1u) << shown;
    EXPECT_NE(shown.find("line one\n"), std::string::npos);
    EXPECT_NE(shown.find("line two\n"), std::string::npos);
    EXPECT_EQ(countOf(shown, "Error(#107)"), 1u) << shown;
    EXPECT_EQ(closeLogFile(false), 0);  // already closed: nothing to close twice
    EXPECT_EQ(countOf(console(), "Error(#107)"), 1u);
    gQelIo.fileLocking = locking;
}

// Without flushing after each line the failure shows once the file's buffer
// fills, on the engine's write of a line.
TEST_F(LogFileTest, BufferedWriteFailureStopsLoggingWithOneReport)
{
    const bool locking = gQelIo.fileLocking;
    gQelIo.fileLocking = false;  // as above: /dev/full is shared
    setLogFileName("/dev/full");
    logFile.append = 1;
    ASSERT_EQ(openLogFile(), 0);
    const std::string line(200, 'w');
    for (int i = 0; i < 200 && isLogging(); ++i)
        myprintf("%s\n", line.c_str());
    EXPECT_FALSE(isLogging());
    EXPECT_EQ(countOf(console(), "discontinued"), 1u);
    // One file-error report: 107 with the system's error number, or 105 when
    // the failure surfaced where no error number was left.
    EXPECT_EQ(countOf(console(), "Error(#107)") + countOf(console(), "Error(#105)"), 1u) << console();
    gQelIo.fileLocking = locking;
}

TEST_F(LogFileTest, DefaultNameFromDataFileExecFileOrProgram)
{
    setDataFileName("/data/primates.nex");
    setExecFileName("batch.cmd");
    setDefaultLogFileName();
    EXPECT_STREQ(logFile.name, "/data/primates.log");
    setDataFileName("");
    setDefaultLogFileName();
    EXPECT_STREQ(logFile.name, "batch.log");
    setExecFileName(nullptr);
    setDefaultLogFileName();
    EXPECT_STREQ(logFile.name, "vorn.log");

    // A name the user gave is kept.
    const std::string p = path("mine.log");
    ASSERT_EQ(logToFile(p, true, false), 0);
    ASSERT_EQ(logStop(), 0);
    setDataFileName("/data/other.nex");
    setDefaultLogFileName();
    EXPECT_EQ(std::string(logFile.name), p);
}

}  // namespace

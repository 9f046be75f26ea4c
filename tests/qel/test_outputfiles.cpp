// Files written from scratch replace the old file only when complete; a
// write that fails, is interrupted or is ended by a termination signal
// leaves the old file byte for byte, and leaves no temporary file behind.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "qel/io_test_support.h"
#include "qel/qel_auxout.h"
#include "qel/qel_logfile.h"
#include "qel/qel_output.h"

namespace {

using iotest::childStatus;
using iotest::slurp;
using iotest::spit;

class Scratch {
public:
    Scratch()
    {
        char buf[kPathBufSize];
        EXPECT_NE(makeTempDirectory("qelsafe", buf), nullptr);
        dir_ = buf;
    }
    ~Scratch() { std::filesystem::remove_all(dir_); }
    std::string path(const std::string &name) const { return dir_ + "/" + name; }
    // Every name in the directory, hidden ones included.
    std::vector<std::string> names() const
    {
        std::vector<std::string> out;
        for (const auto &e : std::filesystem::directory_iterator(dir_))
            out.push_back(e.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    }

private:
    std::string dir_;
};

// A text no prefix of which equals another: a fragment cannot pass for it.
std::string pattern(size_t size, char seed)
{
    std::string s(size, ' ');
    for (size_t i = 0; i < size; ++i)
        s[i] = static_cast<char>('a' + (i * 7 + static_cast<size_t>(seed)) % 26);
    return s;
}

// Writes `size` bytes through the aux stream in pieces; the close result.
int writeThroughAux(const std::string &path, bool append, size_t size)
{
    AuxOut *aux = openAuxOutStream(path.c_str(), !append, append);
    if (!aux)
        return -1;
    const std::string piece = pattern(4096, 'x');
    for (size_t done = 0; done < size && !auxFileError(); done += piece.size())
        auxPuts(piece.c_str());
    return closeAuxOutStream(aux);
}

// A file-size limit below what is written: the write fails part way, as on
// a full disk.
int writeUnderSizeLimit(const std::string &path, bool append, size_t limit, size_t size)
{
    std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit rl = {limit, limit};
    if (setrlimit(RLIMIT_FSIZE, &rl) != 0)
        return 90;
    return writeThroughAux(path, append, size) != 0 ? 0 : 91;
}

class OutputFilesTest : public iotest::IoFixture {
protected:
    void TearDown() override
    {
        setActiveAuxOut(nullptr);
        iotest::IoFixture::TearDown();
    }
    Scratch dir;
};

TEST_F(OutputFilesTest, ReplacementAppearsOnlyWhenClosed)
{
    const std::string p = dir.path("trees.tre");
    spit(p, "old trees\n");
    chmod(p.c_str(), 0640);
    AuxOut *aux = openAuxOutStream(p.c_str(), true, false);
    ASSERT_NE(aux, nullptr);
    auxPuts("new trees\n");
    ASSERT_EQ(auxFlushBuffer(0, true), 0);
    EXPECT_EQ(slurp(p), "old trees\n");  // the text so far went elsewhere
    EXPECT_EQ(closeAuxOutStream(aux), 0);
    EXPECT_EQ(slurp(p), "new trees\n");
    EXPECT_EQ(dir.names(), std::vector<std::string>{"trees.tre"});
    struct stat st;
    ASSERT_EQ(stat(p.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);

    // Through a symbolic link the linked file is replaced, the link stays.
    const std::string link = dir.path("link.tre");
    ASSERT_EQ(symlink(p.c_str(), link.c_str()), 0);
    aux = openAuxOutStream(link.c_str(), true, false);
    ASSERT_NE(aux, nullptr);
    auxPuts("via link\n");
    EXPECT_EQ(closeAuxOutStream(aux), 0);
    EXPECT_EQ(slurp(p), "via link\n");
    struct stat lst;
    ASSERT_EQ(lstat(link.c_str(), &lst), 0);
    EXPECT_TRUE(S_ISLNK(lst.st_mode));
}

// A large text written in stretches that are sent on to the disk as they
// go: an old file stays until the close and is then replaced whole; a new
// file (no sync, nothing old to keep) appears whole and alone; a write that
// fails part way leaves the old file as it was.
TEST_F(OutputFilesTest, LargeTextWrittenInStretchesReplacesOnlyWhenWhole)
{
    const std::string text = pattern((size_t{9} << 20) + 12345, 'n');
    const std::string old = pattern(5000, 'o');
    const std::string replaced = dir.path("replaced.nex");
    spit(replaced, old);
    for (const std::string &p : {replaced, dir.path("fresh.nex")}) {
        StreamInfo *out = nullptr;
        ASSERT_EQ(openOutputStream(p.c_str(), true, false, &out), kOpenOK);
        ASSERT_EQ(writeStreamData(out, text.data(), text.size()), 0);
        if (p == replaced) {
            EXPECT_TRUE(slurp(p) == old);
        }
        EXPECT_EQ(closeStream(&out), 0);
        EXPECT_TRUE(slurp(p) == text) << p << " size " << slurp(p).size();
    }
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"fresh.nex", "replaced.nex"}));

    const int status = childStatus([&] {
        std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl = {size_t{6} << 20, size_t{6} << 20};
        StreamInfo *out = nullptr;
        if (setrlimit(RLIMIT_FSIZE, &rl) != 0 || openOutputStream(replaced.c_str(), true, false, &out) != kOpenOK)
            return 90;
        if (writeStreamData(out, old.data(), old.size()) != 0 ||
            writeStreamData(out, text.data(), text.size()) == 0)
            return 91;
        discardStream(&out);
        return 0;
    });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(slurp(replaced) == text);
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"fresh.nex", "replaced.nex"}));
}

// The write fails part way (a file-size limit in a child, SIGXFSZ ignored):
// the old file is left byte for byte, whether it was being replaced or
// appended to, and a new file is not left as a fragment.
TEST_F(OutputFilesTest, FailedWriteLeavesOldFile)
{
    const std::string old = pattern(300000, 'o');
    const std::string replaced = dir.path("replaced.tre");
    spit(replaced, old);
    int status = childStatus([&] { return writeUnderSizeLimit(replaced, false, 200000, 600000); });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(slurp(replaced) == old) << "size " << slurp(replaced).size();

    const std::string appended = dir.path("appended.tre");
    spit(appended, old);
    status = childStatus([&] { return writeUnderSizeLimit(appended, true, 400000, 600000); });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(slurp(appended) == old) << "size " << slurp(appended).size();

    const std::string fresh = dir.path("fresh.tre");
    status = childStatus([&] { return writeUnderSizeLimit(fresh, false, 100000, 600000); });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_FALSE(std::filesystem::exists(fresh));
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"appended.tre", "replaced.tre"}));
}

// An interrupt pending when the writer closes means the text is incomplete.
TEST_F(OutputFilesTest, InterruptedWriteLeavesOldFile)
{
    const std::string p = dir.path("scores.txt");
    spit(p, "kept\n");
    for (bool append : {false, true}) {
        AuxOut *aux = openAuxOutStream(p.c_str(), !append, append);
        ASSERT_NE(aux, nullptr);
        auxPuts(pattern(50000, 'i').c_str());
        setAbortedStatus(1);
        iotest::gOut.clear();
        EXPECT_NE(closeAuxOutStream(aux), 0);
        setAbortedStatus(0);
        EXPECT_EQ(slurp(p), "kept\n");
        // The report names the file the user asked for.
        EXPECT_NE(iotest::gOut.find("Writing to file \""), std::string::npos) << iotest::gOut;
        EXPECT_NE(iotest::gOut.find("scores.txt\" interrupted; the file was left as it was."), std::string::npos) << iotest::gOut;
    }
    EXPECT_EQ(dir.names(), std::vector<std::string>{"scores.txt"});
    // Nothing pending: an append appends.
    ASSERT_EQ(writeThroughAux(p, true, 1), 0);
    EXPECT_EQ(slurp(p), "kept\n" + pattern(4096, 'x'));
}

// A writer that fails for a reason of its own (not the file's) gives the
// file up: whatever it had written, the old file is left byte for byte, an
// append is cut back, a new file is not made, and no temporary file stays.
TEST_F(OutputFilesTest, DiscardedWriteLeavesOldFile)
{
    const std::string replaced = dir.path("replaced.tre");
    const std::string appended = dir.path("appended.tre");
    spit(replaced, "old\n");
    spit(appended, "old\n");
    struct Case {
        std::string path;
        bool replace, append;
    };
    for (const Case &c : {Case{replaced, true, false}, Case{appended, false, true},
                          Case{dir.path("fresh.tre"), false, false}}) {
        AuxOut *aux = openAuxOutStream(c.path.c_str(), c.replace, c.append);
        ASSERT_NE(aux, nullptr) << c.path;
        auxPuts(pattern(50000, 'd').c_str());  // more than the buffer: some reached the disk
        discardAuxOutStream(aux);
        EXPECT_EQ(setActiveAuxOut(nullptr), nullptr);  // no writer is left active
    }
    EXPECT_EQ(slurp(replaced), "old\n");
    EXPECT_EQ(slurp(appended), "old\n");
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"appended.tre", "replaced.tre"}));
}

// A second process meets the lock of a file being replaced, and of a file
// being made; abandoning a new file removes the empty stand-in that carried
// the lock.
TEST_F(OutputFilesTest, LockHeldWhileReplacing)
{
    auto childOpen = [](const std::string &path, uint32_t flags) {
        StreamInfo *s = nullptr;
        const int rc = openStream(path.c_str(), flags | kStreamNoReplaceQuery | kStreamLock, nullptr, &s);
        closeStream(&s);
        return rc;
    };
    for (bool existed : {true, false}) {
        const std::string p = dir.path(existed ? "old.tre" : "new.tre");
        if (existed)
            spit(p, "old");
        StreamInfo *held = nullptr;
        ASSERT_EQ(openStream(p.c_str(), kStreamWrite | kStreamNoReplaceQuery | kStreamLock, nullptr, &held), 0);
        for (uint32_t flags : {kStreamWrite, kStreamRead, kStreamAppend}) {
            const int status = childStatus([&] { return childOpen(p, flags); });
            EXPECT_EQ(WEXITSTATUS(status), kOpenRefused) << "existed " << existed << " flags " << flags;
        }
        std::fputs("half", held->fp);
        discardStream(&held);
        EXPECT_EQ(held, nullptr);
        EXPECT_EQ(std::filesystem::exists(p), existed);
        if (existed) {
            EXPECT_EQ(slurp(p), "old");
        }
    }
    EXPECT_EQ(dir.names(), std::vector<std::string>{"old.tre"});
}

// A device is shared by nature: two programs that both send their output to
// /dev/null (or to one terminal) must not refuse each other through a lock.
TEST_F(OutputFilesTest, DeviceIsNotLocked)
{
    StreamInfo *held = nullptr;
    ASSERT_EQ(openStream("/dev/null", kStreamAppend | kStreamLock, nullptr, &held), kOpenOK);
    const int status = childStatus([&] {
        StreamInfo *s = nullptr;
        const int rc = openStream("/dev/null", kStreamAppend | kStreamLock, nullptr, &s);
        closeStream(&s);
        return rc;
    });
    EXPECT_EQ(WEXITSTATUS(status), kOpenOK);
    EXPECT_EQ(closeStream(&held), 0);
}

// A child that is sent a termination signal while it writes a tree file and
// a log: exit status 128 + the signal, the tree file untouched, the log
// flushed with everything printed before the signal. With `keptRows` the
// file is a table whose first rows were marked whole before an unfinished
// row reached the file; with `closing` as well, the kept rows are to be
// followed by a closing line.
int writeWhenSignalled(const std::string &treePath, const std::string &logPath, int signo, bool poll,
                       bool keptRows = false, bool closing = false)
{
    qel_printf = myprintf;
    setOutputNumRows(1000);
    setTerminationGraceMillis(300);
    initSignalHandlers();
    startTerminationWatchdog();
    if (qel_initializeLogFile() != 0)
        return 80;
    setLogFileName(logPath.c_str());
    logFile.append = 0;
    if (openLogFile() != 0)
        return 81;
    myprintf("before the signal\n");
    // The log is written in place: readable at its name while the run goes.
    flushLogFile();
    if (slurp(logPath).find("before the signal\n") == std::string::npos)
        return 85;
    AuxOut *aux = openAuxOutStream(treePath.c_str(), true, false);
    if (!aux)
        return 82;
    if (keptRows) {
        auxPuts("row 1\nrow 2\n");
        if (closing && setStreamClosing(aux->stream, "end;\n") != 0)
            return 88;
        if (auxFlushBuffer(0, true) != 0 || markStreamKept(aux->stream) != 0)
            return 86;
    }
    auxPuts(pattern(100000, 's').c_str());
    if (keptRows && auxFlushBuffer(0, true) != 0)
        return 87;
    raise(signo);
    if (poll) {
        for (int i = 0; i < 1000; ++i)
            getAbortedStatus();
        return 83;  // the polling point did not act
    }
    // Busy without polling (or blocked): the watchdog must end the run.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < until) {
    }
    return 84;
}

TEST_F(OutputFilesTest, TerminationSignalKeepsOldFileAndFlushesLog)
{
    struct Case {
        int signo;
        bool poll;
        bool keptRows;  // the file holds whole rows marked kept, then a fragment
        bool closing;   // which are to be followed by a closing line
    };
    for (const Case c : {Case{SIGTERM, true, false, false}, Case{SIGHUP, true, false, false},
                         Case{SIGTERM, false, false, false}, Case{SIGHUP, true, true, false},
                         Case{SIGTERM, false, true, false}, Case{SIGTERM, true, true, true},
                         Case{SIGHUP, false, true, true}}) {
        const std::string tree = dir.path("run.tre");
        const std::string log = dir.path("run.log");
        spit(tree, "old trees\n");
        spit(log, "old log\n");
        const auto start = std::chrono::steady_clock::now();
        const int status =
            childStatus([&] { return writeWhenSignalled(tree, log, c.signo, c.poll, c.keptRows, c.closing); });
        const auto took = std::chrono::steady_clock::now() - start;
        ASSERT_TRUE(WIFEXITED(status)) << "signal " << c.signo << " poll " << c.poll;
        EXPECT_EQ(WEXITSTATUS(status), 128 + c.signo) << "poll " << c.poll << " kept " << c.keptRows;
        EXPECT_LT(took, std::chrono::seconds(10));
        // The marked rows replace the old file, cut before the fragment.
        EXPECT_EQ(slurp(tree), !c.keptRows ? "old trees\n" : c.closing ? "row 1\nrow 2\nend;\n" : "row 1\nrow 2\n")
            << "poll " << c.poll;
        const std::string logText = slurp(log);
        EXPECT_NE(logText.find("before the signal\n"), std::string::npos) << logText;
        EXPECT_EQ(logText.find("old log"), std::string::npos);
        EXPECT_EQ(dir.names(), (std::vector<std::string>{"run.log", "run.tre"}));
    }
}

}  // namespace

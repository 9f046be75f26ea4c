#include <gtest/gtest.h>

#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "qel/io_test_support.h"
#include "qel/qel_auxout.h"
#include "qel/qel_malloc.h"
#include "qel/qel_output.h"

namespace {

using iotest::gOut;

class ScratchDir {
public:
    ScratchDir()
    {
        char buf[kPathBufSize];
        EXPECT_NE(makeTempDirectory("qelauxtest", buf), nullptr);
        path_ = buf;
    }
    ~ScratchDir() { std::filesystem::remove_all(path_); }
    std::string path(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

using iotest::countOf;
using iotest::slurp;
using iotest::spit;

// A file error may come from this unit (printed) or from the stream layer
// (through the error hook): count both, so that a second report shows.
size_t fileErrorReports()
{
    return countOf(gOut, "I/O error") + countOf(iotest::gErrorText, "I/O error");
}

int openDescriptorCount()
{
    int n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (readdir(d))
            ++n;
        closedir(d);
    }
    return n;
}

class AuxOutTest : public iotest::IoFixture {
protected:
    void TearDown() override
    {
        setActiveAuxOut(nullptr);
        setOutputIndentLevel(0);
        iotest::IoFixture::TearDown();
    }
    ScratchDir dir;
};

// Random mixes of every write operation against a string built alongside;
// long texts cross the buffer boundary and force growth.
TEST_F(AuxOutTest, RandomWritesMatchReference)
{
    std::mt19937 rng(20240611);
    for (int round = 0; round < 40; ++round) {
        const std::string p = dir.path("r" + std::to_string(round) + ".txt");
        AuxOut *aux = openAuxOutStream(p.c_str(), true, false);
        ASSERT_NE(aux, nullptr);
        ASSERT_EQ(gAux, aux);
        std::string expected;
        const int ops = std::uniform_int_distribution<int>(1, 60)(rng);
        for (int k = 0; k < ops; ++k) {
            const size_t len = std::uniform_int_distribution<size_t>(0, k % 7 == 0 ? 9000 : 300)(rng);
            std::string text(len, ' ');
            for (char &c : text)
                c = static_cast<char>(std::uniform_int_distribution<int>(32, 126)(rng));
            const int32_t number = static_cast<int32_t>(rng());
            switch (rng() % 6) {
            case 0:
                auxPuts(text.c_str());
                expected += text;
                break;
            case 1:
                auxPutc(text.empty() ? 'x' : text[0]);
                expected += text.empty() ? 'x' : text[0];
                break;
            case 2:
                auxPutInt(number);
                expected += std::to_string(number);
                break;
            case 3: {
                const int n = auxPrintf("[%s|%d]", text.c_str(), number);
                const std::string s = "[" + text + "|" + std::to_string(number) + "]";
                EXPECT_EQ(n, static_cast<int>(s.size()));
                expected += s;
                break;
            }
            case 4:
                auxMPuts(text.c_str(), "-", text.c_str(), nullptr);
                expected += text + "-" + text;
                break;
            default:
                auxPutNewline();
                expected += '\n';
            }
        }
        EXPECT_EQ(aux->capacity % kAuxBufferChunk, 0u);
        EXPECT_EQ(closeAuxOutStream(aux), 0);
        EXPECT_EQ(gAux, nullptr);
        EXPECT_EQ(slurp(p), expected) << "round " << round;
    }
    EXPECT_EQ(gOut.find("Error"), std::string::npos);
}

TEST_F(AuxOutTest, LongTextGrowsBufferInWholeChunks)
{
    const std::string p = dir.path("grow.txt");
    AuxOut *aux = openAuxOutStream(p.c_str(), true, false);
    ASSERT_NE(aux, nullptr);
    EXPECT_EQ(aux->capacity, 2048u);
    const std::string text(5000, 'g');
    auxPuts(text.c_str());
    EXPECT_EQ(aux->capacity, 6144u);
    EXPECT_EQ(aux->fill, 5000u);
    const std::string exact(6143, 'h');  // with its terminator exactly three chunks
    auxPuts(exact.c_str());
    EXPECT_EQ(aux->capacity, 6144u);
    EXPECT_EQ(closeAuxOutStream(aux), 0);
    EXPECT_EQ(slurp(p), text + exact);
}

// A tree description or a matrix row can be far longer than one formatting
// buffer; none of it may be lost.
TEST_F(AuxOutTest, PrintfNeverCutsLongText)
{
    const std::string p = dir.path("tree.tre");
    std::string newick = "(";
    for (int i = 0; i < 4000; ++i)
        newick += "taxon_" + std::to_string(i) + ":0.0125,";
    newick.back() = ')';
    AuxOut *aux = openAuxOutStream(p.c_str(), true, false);
    ASSERT_NE(aux, nullptr);
    const int n = auxPrintf("tree t%d = %s;\n", 1, newick.c_str());
    const std::string expected = "tree t1 = " + newick + ";\n";
    EXPECT_EQ(n, static_cast<int>(expected.size()));
    EXPECT_GT(expected.size(), 50000u);
    EXPECT_EQ(closeAuxOutStream(aux), 0);
    EXPECT_EQ(slurp(p), expected);
}

TEST_F(AuxOutTest, Watch010IndentsLinesAndDropsBackspaces)
{
    const std::string p = dir.path("w.txt");
    AuxOut *aux = openAuxOutStream(p.c_str(), true, false);
    ASSERT_NE(aux, nullptr);
    setOutputIndentLevel(4);
    auxSetWatch010(true);
    auxPuts("a\nb\bc");
    auxPutNewline();
    setOutputIndentLevel(2);
    auxPutc('\b');
    auxPutc('d');
    auxPrintf("\n%s", "e");
    auxSetWatch010(false);
    auxPuts("\nf\b");
    EXPECT_EQ(closeAuxOutStream(aux), 0);
    EXPECT_EQ(slurp(p), "a\n    bc\n  d\n  e\nf\b");
}

TEST_F(AuxOutTest, NexusHeaderOnlyAtHeadOfEmptyFile)
{
    const std::string fresh = dir.path("fresh.nex");
    AuxOut *aux = openAuxOutStream(fresh.c_str(), true, false);
    ASSERT_NE(aux, nullptr);
    auxPutNEXUS();
    auxPuts("begin trees;\n");
    auxPutNEXUS();  // no longer empty: text waits in the buffer
    EXPECT_EQ(closeAuxOutStream(aux), 0);
    EXPECT_EQ(slurp(fresh), "#NEXUS \nbegin trees;\n");

    const std::string old = dir.path("old.nex");
    spit(old, "#NEXUS\n[earlier]\n");
    aux = openAuxOutStream(old.c_str(), false, true);
    ASSERT_NE(aux, nullptr);
    auxPutNEXUS();
    auxPuts("[more]\n");
    EXPECT_EQ(closeAuxOutStream(aux), 0);
    EXPECT_EQ(slurp(old), "#NEXUS\n[earlier]\n[more]\n");

    const std::string empty = dir.path("empty.nex");
    spit(empty, "");
    aux = openAuxOutStream(empty.c_str(), false, true);
    ASSERT_NE(aux, nullptr);
    auxPutNEXUS();
    EXPECT_EQ(closeAuxOutStream(aux), 0);
    EXPECT_EQ(slurp(empty), "#NEXUS \n");
}

// A full device: the failure is reported once, the file is closed at once
// and never a second time, and every later write is dropped.
TEST_F(AuxOutTest, WriteFailureReportedOnceAndFileClosedOnce)
{
    const int fdsBefore = openDescriptorCount();
    AuxOut *aux = openAuxOutStream("/dev/full", false, true);
    ASSERT_NE(aux, nullptr);
    EXPECT_EQ(openDescriptorCount(), fdsBefore + 1);
    const std::string chunk(3000, 'z');
    for (int i = 0; i < 10 && !auxFileError(); ++i)
        auxPuts(chunk.c_str());
    ASSERT_TRUE(auxFileError());
    EXPECT_EQ(aux->errorCode, static_cast<uint32_t>(ENOSPC));
    EXPECT_EQ(openDescriptorCount(), fdsBefore);  // closed when the write failed
    auxPuts(chunk.c_str());
    auxPrintf("%s", chunk.c_str());
    auxMPuts("a", "b", nullptr);
    EXPECT_EQ(aux->fill, 0u);
    EXPECT_EQ(activeAuxPathnameForDisplay(), "/dev/full");
    EXPECT_NE(closeAuxOutStream(aux), 0);
    EXPECT_EQ(openDescriptorCount(), fdsBefore);
    EXPECT_EQ(fileErrorReports(), 1u) << gOut;
    EXPECT_NE(gOut.find("Error(#107)"), std::string::npos);
    EXPECT_NE(gOut.find("\"/dev/full\""), std::string::npos);
}

// Text small enough to sit in the buffers until the close fails there.
TEST_F(AuxOutTest, FailureAtCloseReportedOnce)
{
    AuxOut *aux = openAuxOutStream("/dev/full", false, true);
    ASSERT_NE(aux, nullptr);
    auxPuts("short");
    EXPECT_FALSE(auxFileError());
    EXPECT_NE(closeAuxOutStream(aux), 0);
    EXPECT_EQ(fileErrorReports(), 1u) << gOut;
}

TEST_F(AuxOutTest, BeginEndOnCallersStream)
{
    const std::string p = dir.path("begin.txt");
    StreamInfo *s = nullptr;
    ASSERT_EQ(openStream(p.c_str(), kStreamWrite | kStreamNoReplaceQuery, nullptr, &s), kOpenOK);
    ASSERT_EQ(auxBeginOutput(s), 0);
    const std::string text(7000, 'q');
    auxPuts(text.c_str());
    auxPutInt(-42);
    EXPECT_EQ(auxEndOutput(&s), 0);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(gAux, nullptr);
    EXPECT_EQ(slurp(p), text + "-42");
    EXPECT_EQ(auxEndOutput(&s), 0);  // none active

    // After a failed write the caller's stream record is still valid and
    // is closed exactly once by the end call.
    ASSERT_EQ(openStream("/dev/full", kStreamAppend, nullptr, &s), kOpenOK);
    ASSERT_EQ(auxBeginOutput(s), 0);
    auxPuts(text.c_str());
    EXPECT_EQ(auxFlushBuffer(0, true), 1);
    EXPECT_TRUE(auxFileError());
    EXPECT_NE(auxEndOutput(&s), 0);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(fileErrorReports(), 1u) << gOut;
}

TEST_F(AuxOutTest, GrowthFailureRecordedWithoutFileError)
{
    const std::string p = dir.path("nomem.txt");
    AuxOut *aux = openAuxOutStream(p.c_str(), true, false);
    ASSERT_NE(aux, nullptr);
    auxPuts("kept ");
    setAllocQuietFailure(true);
    qel_setAllocFailureCountdown(0);
    const std::string big(10000, 'b');
    auxPuts(big.c_str());
    qel_setAllocFailureCountdown(-1);
    clearMemoryErrorStatus();
    setAllocQuietFailure(false);
    EXPECT_EQ(aux->errorCode, kAuxErrorNoMemory);
    auxPuts("dropped");
    EXPECT_NE(closeAuxOutStream(aux), 0);
    EXPECT_EQ(fileErrorReports(), 0u);
    EXPECT_EQ(slurp(p), "");  // nothing was written out before the failure

    setAllocQuietFailure(true);
    qel_setAllocFailureCountdown(0);
    StreamInfo *s = nullptr;
    EXPECT_EQ(createAuxOut(s), nullptr);
    EXPECT_EQ(gAux, nullptr);
    qel_setAllocFailureCountdown(-1);
    clearMemoryErrorStatus();
    setAllocQuietFailure(false);
}

TEST_F(AuxOutTest, ActiveStreamSwitchingAndNulls)
{
    EXPECT_EQ(closeAuxOutStream(nullptr), 0);
    EXPECT_EQ(destroyAuxOut(nullptr), nullptr);
    EXPECT_EQ(auxPathnameForDisplay(nullptr, 255), "(none)");
    auxPuts("nowhere");  // no active stream: dropped, no crash
    EXPECT_FALSE(auxFileError());

    const std::string a = dir.path("a.txt");
    const std::string b = dir.path("b.txt");
    AuxOut *first = openAuxOutStream(a.c_str(), true, false);
    AuxOut *second = openAuxOutStream(b.c_str(), true, false);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    auxPuts("to b;");
    EXPECT_EQ(setActiveAuxOut(first), second);
    auxPuts("to a;");
    EXPECT_EQ(activeAuxPathnameForDisplay(), a);
    EXPECT_EQ(closeAuxOutStream(first), 0);
    EXPECT_EQ(gAux, nullptr);
    setActiveAuxOut(second);
    EXPECT_EQ(closeAuxOutStream(second), 0);
    EXPECT_EQ(slurp(a), "to a;");
    EXPECT_EQ(slurp(b), "to b;");
}

}  // namespace

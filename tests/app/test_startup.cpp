#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "data/vorn_data.h"
#include "data/vorn_memory.h"
#include "qel/qel_files.h"
#include "qel/qel_interrupts.h"
#include "cli/qel_cmdline.h"
#include "app/vorn_app.h"
#include "app/vorn_cmdloop.h"

namespace {

// Runs the option parser over a command line given as words.
struct Parsed {
    int rc;
    CommandLineOptions options;
};

Parsed parse(std::vector<std::string> words)
{
    words.insert(words.begin(), "/usr/local/bin/vorn");
    std::vector<char *> argv;
    for (auto &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    Parsed p{};
    testing::internal::CaptureStderr();
    p.rc = parseCommandLine(static_cast<int>(words.size()), argv.data(), &p.options);
    testing::internal::GetCapturedStderr();
    // The options point into `words`, which dies here: keep only what the
    // tests read by value.
    p.options.logName = p.options.logName ? "set" : nullptr;
    p.options.execFile = p.options.execFile ? "set" : nullptr;
    return p;
}

TEST(CommandLineTest, OptionsLongFormsAndTheirPrefixes)
{
    Parsed p = parse({"-n", "--logfile=out.log", "--replace", "-w", "120", "-fu", "file.nex"});
    EXPECT_EQ(p.rc, -1);
    EXPECT_TRUE(p.options.nonInteractive);
    EXPECT_TRUE(p.options.replaceLog);
    EXPECT_FALSE(p.options.appendLog);
    EXPECT_TRUE(p.options.noFileLocking);
    EXPECT_TRUE(p.options.unbuffered);
    EXPECT_EQ(p.options.width, 120);
    EXPECT_TRUE(p.options.widthGiven);
    EXPECT_NE(p.options.logName, nullptr);
    EXPECT_NE(p.options.execFile, nullptr);

    // A width that is not an integer is ignored, not an error.
    for (const char *bad : {"abc", "12x", ""})
        EXPECT_FALSE(parse({"-w", bad}).options.widthGiven) << bad;
    EXPECT_EQ(parse({"--outwidth=300"}).options.width, 300);
    // A negative width is an integer too: it is clamped, not ignored.
    Parsed negative = parse({"-w", "-5"});
    EXPECT_TRUE(negative.options.widthGiven);
    EXPECT_EQ(negative.options.width, -5);
}

TEST(CommandLineTest, RefusalsAndEarlyExits)
{
    EXPECT_EQ(parse({"-r", "-a"}).rc, kExitBadCommandLine);
    EXPECT_EQ(parse({"-a", "-r"}).rc, kExitBadCommandLine);
    EXPECT_EQ(parse({"-q"}).rc, kExitBadCommandLine);
    EXPECT_EQ(parse({"-L"}).rc, kExitBadCommandLine);  // missing argument
    EXPECT_EQ(parse({"-h"}).rc, 0);
    EXPECT_EQ(parse({"--version"}).rc, 0);
    // Running the parser again starts afresh.
    EXPECT_EQ(parse({"-r"}).rc, -1);
}

TEST(CommandLineTest, UsageNamesTheOptionsTheParserTakes)
{
    testing::internal::CaptureStderr();
    showCmdArgHelp("/some/dir/vorn");
    const std::string usage = testing::internal::GetCapturedStderr();
    EXPECT_NE(usage.find("Usage: vorn [ -L logfilename ] [ -r | -a ] [ -w width ]"), std::string::npos);
    EXPECT_NE(usage.find("integer between 100 and 254 (inclusive)\n"), std::string::npos);
    EXPECT_EQ(usage.find("/some/dir"), std::string::npos);
}

class HomeFileTest : public testing::Test {
protected:
    void SetUp() override
    {
        const char *h = std::getenv("HOME");
        hadHome_ = h != nullptr;
        if (h)
            savedHome_ = h;
    }
    void TearDown() override
    {
        if (hadHome_)
            setenv("HOME", savedHome_.c_str(), 1);
        else
            unsetenv("HOME");
    }
    bool hadHome_ = false;
    std::string savedHome_;
};

TEST_F(HomeFileTest, PathsFromHomeAreBounded)
{
    char path[kPathnameBufSize];
    setenv("HOME", "/home/someone", 1);
    ASSERT_TRUE(makeHomeFilePath(".vornrc", path));
    EXPECT_STREQ(path, "/home/someone/.vornrc");

    // The longest HOME whose joined path still fits, and one character more.
    const std::string name = ".vornhistory";
    std::string home = "/" + std::string(kMaxPathnameLen - name.size() - 2, 'h');
    setenv("HOME", home.c_str(), 1);
    ASSERT_TRUE(makeHomeFilePath(name.c_str(), path));
    EXPECT_EQ(std::string(path).size(), kMaxPathnameLen);
    home += "h";
    setenv("HOME", home.c_str(), 1);
    EXPECT_FALSE(makeHomeFilePath(name.c_str(), path));
    EXPECT_STREQ(path, "");

    // A HOME longer than any path must not fall back to another directory.
    setenv("HOME", std::string(kPathnameBufSize + 10, 'x').c_str(), 1);
    EXPECT_FALSE(makeHomeFilePath(".vornrc", path));
}

TEST(CompletionStatusTest, WordsForEachStatus)
{
    EXPECT_STREQ(completionStatusWord(kStatusCompleted), "completed");
    EXPECT_STREQ(completionStatusWord(kStatusAborted), "aborted by user");
    EXPECT_STREQ(completionStatusWord(kStatusCanceled), "canceled");
    EXPECT_STREQ(completionStatusWord(kStatusError), "terminated due to errors");
    EXPECT_STREQ(completionStatusWord(7), "terminated due to errors");
}

}  // namespace

// ---- Data blocks through the command loop -------------------------------------------


namespace {

struct ReadCall {
    int kind;
    DataInfo *record;
};
std::vector<ReadCall> gReads;

// Stands in for the data-block reader: marks the record as holding the
// block's kind of data and skips the block's contents.
int fakeReadData(int kind, DataInfo *record)
{
    gReads.push_back({kind, record});
    const uint32_t have[] = {kHaveTaxa | kHaveCharacters, kHaveTaxa, kHaveCharacters, kHaveDistances};
    record->flags |= have[kind];
    return skipThruEndOfBlock();
}

class DataBlockLoopTest : public testing::Test {
protected:
    void SetUp() override
    {
        gReads.clear();
        saved_ = blockReaders();
        BlockReaders readers = {};
        readers.readData = fakeReadData;
        setBlockReaders(readers);
        qel_initializeParser(true);
        setDefaultMode(true);  // the reset question takes its default (yes)
        setActiveDataInfo(nullptr);
    }
    void TearDown() override
    {
        setBlockReaders(saved_);
        setDefaultMode(false);
        DataInfo *last = nullptr;
        for (const ReadCall &r : gReads)
            if (r.record != last) {
                last = r.record;
                r.record->taxa = DataTaxa{};  // shared by records made with startNewData
            }
        last = nullptr;
        for (const ReadCall &r : gReads)
            if (r.record != last)
                destroyDataInfo(last = r.record);
        setActiveDataInfo(nullptr);
    }
    int run(const char *text)
    {
        testing::internal::CaptureStdout();
        const int status = executeFile(nullptr, nullptr, text, nullptr);
        out_ = testing::internal::GetCapturedStdout();
        return status;
    }
    BlockReaders saved_{};
    std::string out_;
};

TEST_F(DataBlockLoopTest, CharactersFillTaxaButStartAnewAfterData)
{
    ASSERT_EQ(run("#NEXUS\nbegin taxa; dimensions ntax=3; end;\nbegin characters; end;\n"
                  "begin characters; end;\n"),
              0);
    ASSERT_EQ(gReads.size(), 3u);
    EXPECT_EQ(gReads[0].kind, 1);
    EXPECT_EQ(gReads[1].kind, 2);
    // The taxa record takes the first CHARACTERS block; the second gets a new
    // data set that shares the taxa.
    EXPECT_EQ(gReads[1].record, gReads[0].record);
    EXPECT_NE(gReads[2].record, gReads[1].record);
    EXPECT_EQ(activeDataInfo(), gReads[2].record);
    EXPECT_NE(out_.find("completed"), std::string::npos);
}

TEST_F(DataBlockLoopTest, UnreadableBlocksAreSkippedAndTheLoopGoesOn)
{
    BlockReaders none = {};
    setBlockReaders(none);
    ASSERT_EQ(run("#NEXUS\nbegin data; matrix a 0; end;\nbegin trees; tree t=(a,b); end;\n"), 0);
    EXPECT_TRUE(gReads.empty());
    EXPECT_NE(out_.find("The \"data\" block cannot be read yet"), std::string::npos);
    EXPECT_NE(out_.find("The \"trees\" block cannot be read yet"), std::string::npos);
}

}  // namespace

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "qel/qel_files.h"
#include "shell/vorn_app.h"
#include "shell/vorn_cmdloop.h"

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
    EXPECT_NE(p.options.logName, nullptr);
    EXPECT_NE(p.options.execFile, nullptr);

    // A width that is not an integer is ignored, not an error.
    for (const char *bad : {"abc", "12x", ""})
        EXPECT_EQ(parse({"-w", bad}).options.width, -1) << bad;
    EXPECT_EQ(parse({"--outwidth=300"}).options.width, 300);
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

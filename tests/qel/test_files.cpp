#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "qel/qel_files.h"
#include "qel/qel_malloc.h"

namespace {

namespace fs = std::filesystem;

// Sets HOME for one test and puts the old value back afterwards.
class HomeOverride {
public:
    explicit HomeOverride(const char *home)
    {
        if (const char *old = std::getenv("HOME"))
            saved_ = old;
        setenv("HOME", home, 1);
    }
    ~HomeOverride()
    {
        if (saved_)
            setenv("HOME", saved_->c_str(), 1);
        else
            unsetenv("HOME");
    }

private:
    std::optional<std::string> saved_;
};

// A fresh directory under /tmp, by its resolved name, removed with its
// contents at the end of the test; the process's working directory is
// restored too.
class TempDir {
public:
    TempDir()
    {
        char templ[] = "/tmp/qelfilesXXXXXX";
        EXPECT_NE(mkdtemp(templ), nullptr);
        path_ = fs::canonical(templ).string();
        oldCwd_ = fs::current_path().string();
    }
    ~TempDir()
    {
        fs::current_path(oldCwd_);
        fs::remove_all(path_);
    }
    const std::string &path() const { return path_; }
    std::string file(const std::string &name, const std::string &content = "x") const
    {
        std::string p = path_ + "/" + name;
        FILE *f = std::fopen(p.c_str(), "w");
        EXPECT_NE(f, nullptr);
        std::fputs(content.c_str(), f);
        std::fclose(f);
        return p;
    }

private:
    std::string path_, oldCwd_;
};

std::string expand(const char *path, const char *base)
{
    char dest[kPathnameBufSize];
    return expandPathname(path, base, dest) != nullptr ? dest : "<null>";
}

TEST(PathBuffers, CopiesAreBoundedAndTerminated)
{
    std::string longText(5000, 'a');
    std::vector<char> dest(kPathnameBufSize, '#');
    copyPathname(longText.c_str(), dest.data());
    EXPECT_EQ(std::strlen(dest.data()), kMaxPathnameLen);

    char small[kPathnameBufSize];
    EXPECT_STREQ(copyPathname("/x/y", small), "/x/y");
}

TEST(PathBuffers, RememberedFileNameKeepsItsFirstValue)
{
    char *remembered = nullptr;
    char out[kPathnameBufSize] = "";
    ASSERT_EQ(initFilenameBuffer(&remembered, out, "first.log"), 0);
    ASSERT_NE(remembered, nullptr);
    EXPECT_STREQ(out, "first.log");

    copyPathname("chosen.log", remembered);
    ASSERT_EQ(initFilenameBuffer(&remembered, out, "other.log"), 0);
    EXPECT_STREQ(out, "chosen.log");

    char *existing = remembered;
    EXPECT_EQ(checkPathnameBuffer(&remembered, "ignored"), 0);
    EXPECT_EQ(remembered, existing);
    EXPECT_STREQ(remembered, "chosen.log");
    EXPECT_EQ(deallocPathnameBuffer(remembered), nullptr);
}

TEST(PathBuffers, AllocationFailureIsReported)
{
    clearMemoryErrorStatus();
    setAllocQuietFailure(true);
    qel_setAllocFailureCountdown(0);
    char *buffer = nullptr;
    EXPECT_EQ(checkPathnameBuffer(&buffer, "x"), 1);
    EXPECT_EQ(buffer, nullptr);
    qel_setAllocFailureCountdown(0);
    EXPECT_EQ(initFilenameBuffer(&buffer, nullptr, "x"), 1);
    EXPECT_EQ(buffer, nullptr);
    qel_setAllocFailureCountdown(-1);
    clearMemoryErrorStatus();
    setAllocQuietFailure(false);
}

TEST(PathParts, SeparatorPositionsAndFileNames)
{
    EXPECT_EQ(dirCharPos("ab/c/d"), 2u);
    EXPECT_EQ(dirCharPos("abc"), kNoDirChar);
    EXPECT_STREQ(filenameInPathname("/a/b/c.nex"), "c.nex");
    EXPECT_STREQ(filenameInPathname("c.nex"), "c.nex");
    EXPECT_STREQ(filenameInPathname("/a/"), "");
}

struct DotDotCase {
    const char *in;
    const char *out;
    bool ok;
};

TEST(RemoveDotDots, WholeComponentsOnly)
{
    const DotDotCase cases[] = {
        {"/a/b/../c", "/a/c", true},
        {"/a/b/c/../../d", "/a/d", true},
        {"/data/..old/x", "/data/..old/x", true},
        {"/data/old../x", "/data/old../x", true},
        {"/data/.../x", "/data/.../x", true},
        {"/data/..old/../x", "/data/x", true},
        {"/a/b/..", "/a", true},
        {"/a/..", "/", true},
        {"/a/b/../", "/a/", true},
        {"/a/./..", "/", true},
        {"/a//../b", "/b", true},
        {"/..", "/..", false},
        {"/a/../../b", "/a/../../b", false},
        {"rel/../x", "rel/../x", true},
        {"/", "/", true},
    };
    for (const DotDotCase &c : cases) {
        char buf[kPathnameBufSize];
        copyPathname(c.in, buf);
        EXPECT_EQ(removeDotDots(buf), c.ok) << c.in;
        EXPECT_STREQ(buf, c.out) << c.in;
    }
}

// The file system is the reference: random walks through a real directory
// tree, with ".." and names that merely start with dots, must resolve to
// what realpath() finds.
TEST(RemoveDotDots, AgreesWithRealpathOnRandomWalks)
{
    TempDir tmp;
    const char *names[] = {"d1", "..x", "x.."};
    std::vector<std::string> level = {tmp.path()};
    for (int depth = 0; depth < 4; ++depth) {
        std::vector<std::string> next;
        for (const std::string &dir : level)
            for (const char *n : names) {
                fs::create_directory(dir + "/" + n);
                next.push_back(dir + "/" + n);
            }
        level = std::move(next);
    }
    std::mt19937 rng(12345);
    for (int trial = 0; trial < 500; ++trial) {
        std::string path = tmp.path();
        int depth = 0;
        int steps = 1 + static_cast<int>(rng() % 8);
        for (int s = 0; s < steps; ++s) {
            bool up = depth > 0 && rng() % 3 == 0;
            if (!up && depth == 4)
                up = true;
            if (up) {
                path += "/..";
                --depth;
            } else {
                path += "/";
                path += names[rng() % 3];
                ++depth;
            }
        }
        char resolved[PATH_MAX];
        ASSERT_NE(realpath(path.c_str(), resolved), nullptr) << path;
        char buf[kPathnameBufSize];
        copyPathname(path.c_str(), buf);
        ASSERT_TRUE(removeDotDots(buf));
        EXPECT_STREQ(buf, resolved) << path;
    }
}

TEST(JoinPath, JoinsOrRefuses)
{
    char dest[kPathnameBufSize];
    EXPECT_STREQ(makePathnameFromFilenameAndDirectory("x.nex", "/d", dest), "/d/x.nex");
    EXPECT_STREQ(makePathnameFromFilenameAndDirectory("x.nex", "/d/", dest), "/d//x.nex");
    EXPECT_STREQ(makePathnameFromFilenameAndDirectory("/abs/x.nex", "/d", dest), "/abs/x.nex");

    // Exactly at the limit the join succeeds; one character more is an
    // error, and the destination holds no stray file name.
    std::string name = "x.nex";
    std::string dir(kMaxPathnameLen - 1 - name.size(), 'd');
    ASSERT_NE(makePathnameFromFilenameAndDirectory(name.c_str(), dir.c_str(), dest), nullptr);
    EXPECT_EQ(std::strlen(dest), kMaxPathnameLen);
    dir += 'd';
    copyPathname("previous", dest);
    EXPECT_EQ(makePathnameFromFilenameAndDirectory(name.c_str(), dir.c_str(), dest), nullptr);
    EXPECT_STREQ(dest, "");

    std::string absolute = "/" + std::string(kMaxPathnameLen, 'a');
    EXPECT_EQ(makePathnameFromFilenameAndDirectory(absolute.c_str(), "/d", dest), nullptr);
    EXPECT_STREQ(dest, "");
}

struct ExpandCase {
    const char *path;
    const char *base;
    const char *expected;
};

TEST(ExpandPathname, RelativeAbsoluteAndTilde)
{
    HomeOverride home("/h");
    const ExpandCase cases[] = {
        {"data/../x.nex", "/home/u", "/home/u/x.nex"},
        {"./x.nex", "/home/u", "/home/u/x.nex"},
        {"x.nex", "/home/u", "/home/u/x.nex"},
        {"../x.nex", "/home/u", "/home/x.nex"},
        {"..x/y.nex", "/home/u", "/home/u/..x/y.nex"},
        {"/abs/../y", "/home/u", "/y"},
        {"/abs/y", nullptr, "/abs/y"},
        {"~/x", "/home/u", "/h/x"},
        {"~", "/home/u", "/h"},
        {"~/a/../b", "/home/u", "/h/b"},
        // An unknown user leaves the name as it is: a relative name.
        {"~no_such_user_qel/x", "/home/u", "/home/u/~no_such_user_qel/x"},
    };
    for (const ExpandCase &c : cases)
        EXPECT_EQ(expand(c.path, c.base), c.expected) << c.path;
}

TEST(ExpandPathname, NamedUserFromPasswordDatabase)
{
    struct passwd *pw = getpwuid(geteuid());
    ASSERT_NE(pw, nullptr);
    std::string user = pw->pw_name, dir = pw->pw_dir;
    char dest[kPathnameBufSize];
    EXPECT_TRUE(expandTilde(("~" + user).c_str(), dest));
    EXPECT_EQ(std::string(dest), dir);
    EXPECT_TRUE(expandTilde(("~" + user + "/f.nex").c_str(), dest));
    EXPECT_EQ(std::string(dest), dir + "/f.nex");

    std::string tooLongUser = "~" + std::string(64, 'u') + "/f";
    EXPECT_FALSE(expandTilde(tooLongUser.c_str(), dest));
    EXPECT_EQ(std::string(dest), tooLongUser);
}

TEST(ExpandPathname, OverlongResultIsAnError)
{
    std::string base = "/" + std::string(kMaxPathnameLen - 7, 'b');
    EXPECT_EQ(expand("x.nex", base.c_str()), "/" + std::string(kMaxPathnameLen - 7, 'b') + "/x.nex");
    EXPECT_EQ(expand("xy.nex", base.c_str()), "<null>");
    // Dropping a component can bring a long join back within the limit.
    EXPECT_NE(expand("../xy.nex", base.c_str()), "<null>");
}

char *fixedBaseDir(char *buffer) { return copyPathname("/proj/run", buffer); }
char *noBatchInput(char *) { return nullptr; }

TEST(ExpandPathname, CommandFileDirectoryIsTheBase)
{
    TempDir tmp;
    fs::current_path(tmp.path());
    BaseDirProvider previous = setBaseDirProvider(fixedBaseDir);
    EXPECT_EQ(expand("out.tre", nullptr), "/proj/run/out.tre");
    EXPECT_EQ(expand("out.tre", "/given"), "/given/out.tre");
    setBaseDirProvider(noBatchInput);
    EXPECT_EQ(expand("out.tre", nullptr), tmp.path() + "/out.tre");
    setBaseDirProvider(previous);
}

struct DisplayCase {
    const char *path;
    uint32_t maxLen;
    const char *expected;
};

TEST(DisplayForm, ShortenedPaths)
{
    HomeOverride home("/h/user");
    const DisplayCase cases[] = {
        {"/a/bbbbbbbb/cccccccc/file.nex", 20, "/a/.../file.nex"},
        {"/a/b/file.nex", 20, "/a/b/file.nex"},
        {"/h/user/data/x.nex", 40, "~/data/x.nex"},
        {"/h/username/x.nex", 40, "/h/username/x.nex"},
        {"/h/user", 40, "~"},
        // The file name alone is too long: it is shown cut, ending in "...".
        {"/d/abcdefghijklmnopqrstuvwxyz.nex", 20, "abcdefghijklmnop..."},
        // No separator to cut at.
        {"abcdefghijklmnopqrstuvwxyz", 10, "abcdef..."},
        // The directory is cut back to nothing.
        {"/bbbbbbbbbbbbbbbbbbbbbbbbbbbb/f.nex", 20, "/.../f.nex"},
    };
    for (const DisplayCase &c : cases) {
        char dest[kPathnameBufSize];
        EXPECT_STREQ(makePathnameForDisplayFromString(c.path, dest, c.maxLen), c.expected)
            << c.path << " max " << c.maxLen;
    }
}

// Random paths into a destination of exactly maxLen bytes: under the address
// sanitizer any write past it fails the run; the text always fits and a path
// that fitted already is shown unchanged.
TEST(DisplayForm, NeverOverrunsAndKeepsShortPaths)
{
    HomeOverride home("/nonexistent-home-for-test");
    std::mt19937 rng(777);
    const char alphabet[] = "ab/./c";
    for (int trial = 0; trial < 2000; ++trial) {
        std::string path;
        size_t len = rng() % 80;
        for (size_t i = 0; i < len; ++i)
            path += alphabet[rng() % (sizeof alphabet - 1)];
        uint32_t maxLen = 1 + rng() % 40;
        std::vector<char> dest(maxLen);
        makePathnameForDisplayFromString(path.c_str(), dest.data(), maxLen);
        size_t shown = std::strlen(dest.data());
        ASSERT_LE(shown, maxLen - 1u) << path;
        if (path.size() <= maxLen - 1u) {
            EXPECT_EQ(std::string(dest.data()), path);
        }
    }
}

struct ExtensionCase {
    const char *name;
    const char *ext;
    const char *expected;
};

TEST(Extensions, ReplaceFileExtension)
{
    const ExtensionCase cases[] = {
        {"primates.nex", ".tre", "primates.tre"},
        {"primates.phylip", ".tre", "primates.phylip.tre"},
        {"primates.", ".tre", "primates.tre"},
        {"primates", ".tre", "primates.tre"},
        {"primates.NEXUS", ".tre", "primates.tre"},
        {"primates.nexus", ".log", "primates.log"},
        {"a.b.nex", ".tre", "a.b.tre"},
        {"/data/v1.2/primates", ".tre", "/data/v1.2/primates.tre"},
        {"/data/v1.2345/primates", ".tre", "/data/v1.2345/primates.tre"},
        {"/data/run.d/primates.nex", ".log", "/data/run.d/primates.log"},
    };
    for (const ExtensionCase &c : cases) {
        char buf[kPathnameBufSize];
        copyPathname(c.name, buf);
        char *at = replaceFileExtension(c.ext, buf);
        EXPECT_STREQ(buf, c.expected) << c.name;
        EXPECT_STREQ(at, c.ext) << c.name;
    }
}

TEST(Extensions, LongNameKeepsWithinTheBuffer)
{
    std::vector<char> buf(kPathnameBufSize);
    std::string name(kMaxPathnameLen - 2, 'n');
    copyPathname(name.c_str(), buf.data());
    char *at = replaceFileExtension(".tre", buf.data());
    EXPECT_EQ(std::strlen(buf.data()), kMaxPathnameLen);
    EXPECT_EQ(at, buf.data() + kMaxPathnameLen - 4);
    EXPECT_STREQ(at, ".tre");
}

TEST(Extensions, GetAndRemove)
{
    EXPECT_STREQ(getFileExtension("file.tar.gz"), ".gz");
    EXPECT_EQ(getFileExtension("/x.d/file"), nullptr);
    EXPECT_EQ(getFileExtension("file"), nullptr);
    char buf[kPathnameBufSize];
    EXPECT_STREQ(removeFileExtension(copyPathname("/x.d/file.nex", buf)), "/x.d/file");
    EXPECT_STREQ(removeFileExtension(copyPathname("/x.d/file", buf)), "/x.d/file");
}

TEST(Extensions, DefaultFileNames)
{
    char buf[kPathnameBufSize];
    EXPECT_STREQ(makeDefaultFilename("", ".log", buf), "untitled.log");
    EXPECT_STREQ(makeDefaultFilename(nullptr, ".log", buf), "untitled.log");
    EXPECT_STREQ(makeDefaultFilename("/d/run.nex", ".log", buf), "/d/run.log");

    setDataFileName("");
    EXPECT_STREQ(makeDataFileNameString(), "untitled");
    setExecFileName(nullptr);
    EXPECT_STREQ(makeExecFileNameString(), "untitled");
    setDataFileName(nullptr);
}

TEST(HomeDirectory, FromEnvironmentThenPasswordDatabase)
{
    {
        HomeOverride home("/h/someone");
        EXPECT_EQ(getHomeDirectoryName(), "/h/someone");
        char buf[kPathnameBufSize];
        EXPECT_STREQ(replaceHomeDirWithTilde(copyPathname("/h/someone/a.nex", buf)), "~/a.nex");
        EXPECT_STREQ(replaceHomeDirWithTilde(copyPathname("/h/someone2/a.nex", buf)), "/h/someone2/a.nex");
        EXPECT_STREQ(replaceHomeDirWithTilde(copyPathname("/other/a.nex", buf)), "/other/a.nex");
    }
    {
        HomeOverride home("");
        struct passwd *pw = getpwuid(geteuid());
        ASSERT_NE(pw, nullptr);
        EXPECT_EQ(getHomeDirectoryName(), pw->pw_dir);
    }
}

TEST(FileSpecs, FromRelativeAndAbsoluteNames)
{
    TempDir tmp;
    tmp.file("data.nex");
    fs::create_directory(tmp.path() + "/sub");
    fs::current_path(tmp.path() + "/sub");

    char full[kPathnameBufSize];
    ASSERT_NE(expandPathname("../data.nex", nullptr, full), nullptr);
    EXPECT_EQ(std::string(full), tmp.path() + "/data.nex");

    FileSpec fromRelative, fromAbsolute, fromParts;
    ASSERT_EQ(initFileSpec(full, nullptr, &fromRelative), &fromRelative);
    EXPECT_EQ(std::string(fromRelative.dirSpec), tmp.path());
    EXPECT_STREQ(fromRelative.filename, "data.nex");

    std::string absolute = tmp.path() + "/sub/../data.nex";
    ASSERT_NE(expandPathname(absolute.c_str(), nullptr, full), nullptr);
    ASSERT_EQ(initFileSpecFromPathname(full, &fromAbsolute), &fromAbsolute);
    ASSERT_EQ(initFileSpec("data.nex", tmp.path().c_str(), &fromParts), &fromParts);
    EXPECT_TRUE(sameFileSpec(&fromRelative, &fromAbsolute));
    EXPECT_TRUE(sameFileSpec(&fromRelative, &fromParts));

    char buf[kPathnameBufSize];
    EXPECT_EQ(std::string(getPathnameFromFileSpec(&fromParts, buf)), tmp.path() + "/data.nex");
    EXPECT_STREQ(getFilenameFromFileSpec(&fromParts, buf), "data.nex");
    EXPECT_EQ(std::string(getDirSpecFromFileSpec(&fromParts, nullptr, buf)), tmp.path());
    EXPECT_EQ(std::string(getPathnameFromDirSpec(fromParts.dirSpec, buf)), tmp.path());
}

TEST(FileSpecs, MissingFilesAndCaseMatter)
{
    TempDir tmp;
    tmp.file("data.nex");
    tmp.file("Data.nex");
    FileSpec lower, upper, missing;
    ASSERT_NE(initFileSpecFromNameAndDir("data.nex", tmp.path().c_str(), &lower), nullptr);
    ASSERT_NE(initFileSpecFromNameAndDir("Data.nex", tmp.path().c_str(), &upper), nullptr);
    EXPECT_FALSE(sameFileSpec(&lower, &upper));
    EXPECT_TRUE(sameFileSpec(&lower, &lower));
    EXPECT_FALSE(sameFileSpec(&lower, nullptr));
    EXPECT_FALSE(sameFileSpec(nullptr, &lower));

    // A new output file: null, but the file spec is filled in for the writer.
    EXPECT_EQ(initFileSpecFromNameAndDir("out.tre", tmp.path().c_str(), &missing), nullptr);
    EXPECT_STREQ(missing.filename, "out.tre");
    EXPECT_EQ(std::string(missing.dirSpec), tmp.path());

    EXPECT_EQ(initFileSpec("", tmp.path().c_str(), &missing), nullptr);
    EXPECT_EQ(initFileSpec(nullptr, nullptr, &missing), nullptr);

    FileSpec bare;
    EXPECT_EQ(initFileSpecFromPathname("nodir.nex", &bare), nullptr);
    EXPECT_STREQ(bare.dirSpec, "");
    EXPECT_STREQ(bare.filename, "nodir.nex");
}

TEST(FileSpecs, OverlongNamesLeaveTheSpecEmpty)
{
    TempDir tmp;
    FileSpec spec;
    std::string name(kFilenameBufSize, 'n');
    EXPECT_EQ(initFileSpecFromNameAndDir(name.c_str(), tmp.path().c_str(), &spec), nullptr);
    EXPECT_STREQ(spec.filename, "");
    EXPECT_STREQ(spec.dirSpec, "");

    std::string dir = "/" + std::string(kMaxPathnameLen, 'd');
    EXPECT_EQ(initFileSpecFromNameAndDir("x", dir.c_str(), &spec), nullptr);
    EXPECT_STREQ(spec.dirSpec, "");

    // Both fields at their limits: the joined path does not fit a buffer.
    std::string longDir = "/" + std::string(kMaxPathnameLen - 1, 'd');
    std::string longName(kMaxFilenameLen, 'n');
    initFileSpecFromNameAndDir(longName.c_str(), longDir.c_str(), &spec);
    char buf[kPathnameBufSize];
    EXPECT_EQ(getPathnameFromFileSpec(&spec, buf), nullptr);
    EXPECT_STREQ(buf, "");
}

TEST(FileSpecs, DisplayFormOfASpec)
{
    HomeOverride home("/nonexistent-home-for-test");
    FileSpec spec;
    initFileSpecFromPathname("/a/bbbbbbbb/cccccccc/file.nex", &spec);
    char dest[64];
    EXPECT_STREQ(makePathnameForDisplayFromFileSpec(&spec, dest, 20, false), "/a/.../file.nex");
    EXPECT_STREQ(makePathnameForDisplayFromFileSpec(&spec, dest, 64, true), "/a/bbbbbbbb/cccccccc/");
    EXPECT_STREQ(makePathnameForDisplayFromFileSpec(&spec, dest, 64, false), "/a/bbbbbbbb/cccccccc/file.nex");
}

TEST(WorkingDirectory, ChangeQueryAndSizes)
{
    TempDir tmp;
    setCurDirInited(false);
    EXPECT_EQ(setCurrentDirFromString((tmp.path() + "/missing").c_str()), 1);
    EXPECT_FALSE(isCurDirInited());
    ASSERT_EQ(setCurrentDirFromString(tmp.path().c_str()), 0);
    EXPECT_TRUE(isCurDirInited());
    char buf[kPathnameBufSize];
    ASSERT_NE(getCurrentDirString(buf), nullptr);
    EXPECT_EQ(std::string(buf), tmp.path());
    EXPECT_EQ(getCurrentDirSpec(), tmp.path());
    EXPECT_EQ(std::string(getBaseDir(buf)), tmp.path());

    {
        HomeOverride home(tmp.path().c_str());
        fs::create_directory(tmp.path() + "/sub");
        ASSERT_EQ(setCurrentDirFromString("~/sub"), 0);
        EXPECT_EQ(getCurrentDirSpec(), tmp.path() + "/sub");
    }

    std::string p = tmp.file("ten.txt", "0123456789");
    EXPECT_TRUE(fileExists(p.c_str()));
    EXPECT_FALSE(fileExists((tmp.path() + "/nope").c_str()));
    EXPECT_FALSE(fileExists(nullptr));
    FILE *f = std::fopen(p.c_str(), "r");
    ASSERT_NE(f, nullptr);
    std::fgetc(f);
    std::fgetc(f);
    EXPECT_EQ(getFileSize(f), 10);
    EXPECT_EQ(std::ftell(f), 2);  // position kept
    std::fclose(f);
    setCurDirInited(false);
}

}  // namespace

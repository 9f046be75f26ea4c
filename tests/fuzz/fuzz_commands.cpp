// libFuzzer target: the commands a user types, and TREES blocks, run by the
// program's own command loop on a small DNA data set. A fixed file reads the
// data; then each line of the input (a block from its "begin" line to its
// "end;") runs as a command file of its own, as the command line runs a
// file, so that a command refused for a hostile value does not end the
// session before the commands after it run. Then the data, trees and
// settings go back to where start-up left them.
//
// The program runs as root here and its commands write files, so the target
// works in a directory of its own, emptied after every input, and refuses
// inputs that could reach outside it or out of the process: paths, quotes,
// the home and environment shorthands, and the words that change directory,
// quit, or start an editor or an interpreter. The target changes
// directory, so the paths on its command line are made absolute first. A watchdog raises the user's
// interrupt once an input has run for a few seconds, so a hostile repetition
// count ends as a user would end it. The program's exit paths abort, so a path
// to them counts as a crash.
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "data/data_services.h"
#include "data/vorn_data.h"
#include "data/vorn_memory.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_io.h"
#include "qel/qel_malloc.h"
#include "qel/qel_output.h"
#include "qel/qel_time.h"
#include "cli/qel_cmdline.h"
#include "cli/qel_cmdoptions.h"
#include "app/vorn_app.h"
#include "app/vorn_cmdloop.h"
#include "app/qel_python.h"

extern "C" const char *__asan_default_options()
{
    return "allocator_may_return_null=1:max_allocation_size_mb=64:detect_leaks=1";
}

namespace {

constexpr auto kInputTimeLimit = std::chrono::seconds(3);

// Six taxa, twelve sites: small enough for exhaustive and branch-and-bound
// searches, varied enough for several most parsimonious trees.
constexpr std::string_view kHeader = "#NEXUS\n"
                                     "begin data; dimensions ntax=6 nchar=12;\n"
                                     "format datatype=dna missing=? gap=-;\n"
                                     "matrix\n"
                                     "alpha   ACGTACGTAC-T\n"
                                     "beta    ACGTACGAACGT\n"
                                     "gamma   ACCTAGGAAC?T\n"
                                     "delta   TCCTAGGTACGA\n"
                                     "epsilon TCCAAGCTRCGA\n"
                                     "zeta    TGCAAGCTACGA\n"
                                     ";\nend;\n";

[[noreturn]] void exitReached(int status)
{
    std::fprintf(stderr, "fuzz_commands: the program's exit (status %d) was reached\n", status);
    std::abort();
}

void exitFromAppReached(int status) { exitReached(status); }

std::filesystem::path gWorkDir;
std::atomic<int64_t> gInputStartedMs{-1};

int64_t nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void watchdog()
{
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const int64_t started = gInputStartedMs.load();
        if (started >= 0 && nowMs() - started > std::chrono::milliseconds(kInputTimeLimit).count())
            gAborted_.store(1);
    }
}

void setUp()
{
    char dir[] = "/tmp/fuzzcmdsXXXXXX";
    if (!mkdtemp(dir) || chdir(dir) != 0)
        exitReached(1);
    gWorkDir = dir;
    std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(gWorkDir, ec);
    });
    setenv("HOME", dir, 1);
    if (!std::freopen("/dev/null", "w", stdout) || !std::freopen("/dev/null", "r", stdin))
        exitReached(1);
    if (qel_init() != 0 || prelimDataAllocations() != 0 || beginStartup() != 0)
        exitReached(8);
    IoServiceHooks io = ioServiceHooks();
    io.exitProgram = exitReached;
    setIoServiceHooks(io);
    setQuitHooks(QuitHooks{nullptr, exitFromAppReached});
    setActiveInput(&gBaseInputInfo);
    if (factorySettings(true) != 0)
        exitReached(8);
    dataServices().clearTrees(0, 0);
    finishStartup();
    // Without a module name the interpreter refuses to start, however an
    // input spells its command or block.
    setPythonModuleName(nullptr);
    gQelIo.stdinNotTerminal = true;
    setDefaultMode(true);
    std::thread(watchdog).detach();
}

// A word of the input that names, or abbreviates, a command the target must
// not run.
bool forbiddenWord(std::string_view word)
{
    static constexpr std::string_view kCommands[] = {"cd", "quit", "edit", "python"};
    for (std::string_view cmd : kCommands)
        if (!word.empty() && word.size() <= cmd.size() && cmd.substr(0, word.size()) == word &&
            (word.size() >= 2 || cmd == "quit"))
            return true;
    return false;
}

// How a reading of the input treats bracket comments: as separators, or
// dropped from the word they sit in ("p[x]ython" reads as "python"), nested
// or not, and carried over a line end or not (each line runs as a file of
// its own, but a block's lines run as one).
struct CommentReading {
    bool dropped, nested, acrossLines;
};

// True when some word of the text, read as `r` says, names a forbidden
// command.
bool namesForbiddenCommand(std::string_view text, CommentReading r)
{
    std::string word;
    int depth = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
        const unsigned char c = i < text.size() ? static_cast<unsigned char>(text[i]) : ' ';
        if (r.dropped) {
            if (c == '\n' && !r.acrossLines)
                depth = 0;
            if (c == '[') {
                depth = r.nested ? depth + 1 : 1;
                continue;
            }
            if (c == ']' && depth > 0) {
                --depth;
                continue;
            }
            if (depth > 0 && i < text.size())
                continue;
        }
        if (std::isalnum(c)) {
            word += static_cast<char>(std::tolower(c));
            continue;
        }
        if (forbiddenWord(word))
            return true;
        word.clear();
    }
    return false;
}

// A slash is the options separator of most commands ("describetrees 1 /
// plot=none"), so it passes with blanks on both sides, where it cannot be part
// of a path; quotes, which could hold one, do not pass. A forbidden word
// refuses the input under every reading of its comments.
bool acceptable(std::string_view text)
{
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '/') {
            const bool blankBefore = i > 0 && std::isspace(static_cast<unsigned char>(text[i - 1]));
            const bool blankAfter = i + 1 < text.size() && std::isspace(static_cast<unsigned char>(text[i + 1]));
            if (!blankBefore || !blankAfter)
                return false;
        }
        if (c == '\\' || c == '~' || c == '$' || c == '!' || c == '`' || c == '\'' || c == '"' || c == 0)
            return false;
    }
    for (const CommentReading r : {CommentReading{false, false, false}, CommentReading{true, true, true},
                                   CommentReading{true, true, false}, CommentReading{true, false, true},
                                   CommentReading{true, false, false}})
        if (namesForbiddenCommand(text, r))
            return false;
    return text.find("..") == std::string_view::npos;
}

std::string lowered(std::string_view text)
{
    std::string out(text);
    for (char &c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

bool startsBlock(std::string_view line)
{
    const std::string l = lowered(line);
    const size_t first = l.find_first_not_of(" \t\r");
    return first != std::string::npos && l.compare(first, 5, "begin") == 0;
}

bool endsBlock(std::string_view line)
{
    const std::string l = lowered(line);
    return l.find("end;") != std::string::npos || l.find("endblock;") != std::string::npos;
}

// Runs head then text as one command file.
void runFile(std::string_view head, std::string_view text)
{
    const std::filesystem::path file = gWorkDir / "input.nex";
    FILE *f = std::fopen(file.c_str(), "wb");
    if (!f)
        exitReached(1);
    std::fwrite(head.data(), 1, head.size(), f);
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    runCommandLineFile("input.nex");
}

void resetState()
{
    dataServices().clearTrees(0, 0);
    if (DataInfo *d = activeDataInfo())
        purgeData(d, 0, 0, 0);
    factorySettings(false);
    qel_initializeParser(true);
    setActiveInput(&gBaseInputInfo);
    setBatchInputMode(false);
    clearMemoryErrorStatus();
    gAborted_.store(0);
    std::error_code ec;
    if (chdir(gWorkDir.c_str()) != 0)
        exitReached(1);
    for (const auto &entry : std::filesystem::directory_iterator(gWorkDir, ec))
        std::filesystem::remove_all(entry.path(), ec);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static std::vector<std::string> args;
    static std::vector<char *> pointers;
    for (int i = 0; i < *argc; ++i) {
        std::string a = (*argv)[i];
        if (i > 0 && !a.empty() && a[0] != '-')
            a = std::filesystem::absolute(a).string();
        for (const char *flag : {"-artifact_prefix=", "-exact_artifact_path="}) {
            const std::string_view f(flag);
            if (a.compare(0, f.size(), f) == 0 && a.size() > f.size() && a[f.size()] != '/') {
                std::string value = std::filesystem::absolute(a.substr(f.size())).string();
                if (a.back() == '/')
                    value += '/';
                a = std::string(f) + value;
            }
        }
        args.push_back(std::move(a));
    }
    for (std::string &a : args)
        pointers.push_back(a.data());
    pointers.push_back(nullptr);
    *argv = pointers.data();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool ready = (setUp(), true);
    (void)ready;
    const std::string_view input(reinterpret_cast<const char *>(data), size);
    if (!acceptable(input))
        return -1;  // not added to the corpus
    gInputStartedMs.store(nowMs());
    runFile(kHeader, {});
    std::string chunk;
    bool inBlock = false;
    size_t start = 0;
    while (start < input.size() && gAborted_.load() == 0) {
        size_t end = input.find('\n', start);
        end = end == std::string_view::npos ? input.size() : end + 1;
        const std::string_view line = input.substr(start, end - start);
        start = end;
        chunk += line;
        inBlock = inBlock ? !endsBlock(line) : startsBlock(line) && !endsBlock(line);
        if (!inBlock) {
            runFile({}, chunk);
            chunk.clear();
        }
    }
    if (!chunk.empty())
        runFile({}, chunk);
    gInputStartedMs.store(-1);
    resetState();
    return 0;
}

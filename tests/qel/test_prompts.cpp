// Questions asked at a real terminal (a pseudo-terminal here) must be on the
// screen before the program waits for the answer.
#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>

#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_io.h"
#include "qel/qel_output.h"

namespace {

// Reads what the child writes until `wanted` has appeared or the time is
// up; true when it appeared.
bool readUntil(int master, const std::string &wanted, std::string &seen, int millis)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(millis);
    while (seen.find(wanted) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        struct pollfd p = {master, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
            continue;
        char buf[512];
        const ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0)
            return false;
        seen.append(buf, static_cast<size_t>(n));
    }
    return true;
}

// The child's side: the real output engine on the terminal it was given.
int askAtTerminal(const std::function<int()> &ask)
{
    qel_printf = myprintf;
    setTerminalInput(nullptr, nullptr);
    setOutputTerminal(defaultOutputTerminal());
    recordTerminalFacts();
    gQelIo.defaultMode = false;
    gQelIo.detachedMode = false;
    qel_resetOutputEngine();
    setOutputNumRows(1000);
    return ask();
}

struct Question {
    const char *shows;   // text that must be visible before answering
    const char *answer;
    int exitCode;        // what the child returns for that answer
    std::function<int()> ask;
};

TEST(PromptAtTerminal, QuestionVisibleBeforeAnswer)
{
    const Question questions[] = {
        {"Do you want to quit anyway? (Y/n) ", "n", 10,
         [] { return userQuery(true, "Warning: there are unsaved trees.  Do you want to quit anyway?") ? 11 : 10; }},
        {"Are you sure you want to reset the active datafile? (Y/n) ", "y", 21,
         [] { return userQuery(true, "Are you sure you want to reset the active datafile?") ? 21 : 20; }},
        {"Do you really want to discard 3 trees? (y/N) ", "", 30,
         [] { return userQuery(false, "Do you really want to discard 3 trees?") ? 31 : 30; }},
        {"replace, cancel, or append (R/c/a)? ", "a", 42,
         [] { return 40 + getUserResponse("  Do you want to replace, cancel, or append (R/c/a)? ", nullptr, 'R', "RCA"); }},
        {"Number of trees (5):", "7", 57, [] { return 50 + getUserInteger("Number of trees", 5); }},
    };
    for (const Question &q : questions) {
        std::fflush(nullptr);
        int master = -1;
        const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
        ASSERT_GE(pid, 0);
        if (pid == 0)
            _exit(askAtTerminal(q.ask));
        std::string seen;
        const bool shownFirst = readUntil(master, q.shows, seen, 3000);
        const std::string line = std::string(q.answer) + "\n";
        ASSERT_EQ(write(master, line.data(), line.size()), static_cast<ssize_t>(line.size()));
        readUntil(master, "\x01never", seen, 1000);  // drain until the child is gone
        int status = 0;
        waitpid(pid, &status, 0);
        close(master);
        EXPECT_TRUE(shownFirst) << "not shown before the answer: " << q.shows << "\nseen: " << seen;
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), q.exitCode) << q.shows;
    }
}

}  // namespace

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <regex>
#include <string>

#include "qel/qel_files.h"
#include "qel/qel_io.h"
#include "qel/qel_output.h"
#include "qel/qel_time.h"

namespace {

std::string gPrinted;
int gPrintCalls = 0;

int capturePrint(const char *format, ...)
{
    char buf[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    gPrinted += buf;
    ++gPrintCalls;
    return 100 + gPrintCalls;  // lets the test see which call's result came back
}

long ticks() { return sysconf(_SC_CLK_TCK); }

// A pair of marks `cpuSecs` CPU seconds and `realSecs` real seconds apart;
// both clocks are given in whole ticks, as the system reports them.
struct MarkPair {
    TimeMark a{}, b{};
    MarkPair(long cpuTicks, time_t wallSecs, long elapsedTicks)
    {
        a.cpuTicks = 1000;
        a.wallTime = 1700000000;
        a.elapsedTicks = 5000;
        b.cpuTicks = a.cpuTicks + static_cast<uint64_t>(cpuTicks);
        b.wallTime = a.wallTime + wallSecs;
        b.elapsedTicks = a.elapsedTicks + elapsedTicks;
    }
};

struct SecsCase {
    double secs;
    const char *text;
};

TEST(TimeTexts, CpuTimeLayout)
{
    const SecsCase cases[] = {
        {0.0, "0.00 sec"},
        {0.004, "0.00 sec"},
        {1.5, "1.50 sec"},
        {59.994, "59.99 sec"},
        {60.0, "00:01:00.0"},
        {3725.5, "01:02:05.5"},
        {119.96, "00:02:00.0"},  // rounds into the next minute, not "01:60.0"
        {3599.94, "00:59:59.9"},
        {72061.24, "20:01:01.2"},
        {360000.0, "100:00:00.0"},
    };
    for (const SecsCase &c : cases) {
        char buf[kTimeTextSize];
        EXPECT_STREQ(formatCpuSeconds(c.secs, buf), c.text) << c.secs;
    }
}

TEST(TimeTexts, RealTimeLayout)
{
    const SecsCase cases[] = {
        {0.0, "0.00 sec"},
        {59.5, "59.50 sec"},
        {60.0, "00:01:00"},
        {90.0, "00:01:30"},
        {90.99, "00:01:30"},  // whole seconds, cut rather than rounded
        {3599.99, "00:59:59"},
        {3600.0, "01:00:00"},
        {86399.9, "23:59:59"},
        {360061.0, "100:01:01"},
    };
    for (const SecsCase &c : cases) {
        char buf[kTimeTextSize];
        EXPECT_STREQ(formatRealSeconds(c.secs, buf), c.text) << c.secs;
    }
}

// Absurd inputs still give a terminated text inside the 16-byte buffer.
TEST(TimeTexts, HugeValuesStayInTheBuffer)
{
    char buf[kTimeTextSize + 8];
    std::memset(buf, '#', sizeof buf);
    formatCpuSeconds(1e300, buf);
    EXPECT_LT(std::strlen(buf), kTimeTextSize);
    EXPECT_EQ(buf[kTimeTextSize], '#');
    formatRealSeconds(1e300, buf);
    EXPECT_LT(std::strlen(buf), kTimeTextSize);
    EXPECT_EQ(buf[kTimeTextSize], '#');
}

TEST(TimeMarks, DifferencesFromTicks)
{
    const long tck = ticks();
    MarkPair cpu(3725 * tck + tck / 2, 4000, 0);
    EXPECT_DOUBLE_EQ(cpuTimeDiff(&cpu.a, &cpu.b), 3725.5);
    EXPECT_EQ(makeCpuTimeString(&cpu.a, &cpu.b), "01:02:05.5");

    // Below an hour the finer elapsed ticks decide the real time...
    MarkPair shortRun(0, 30, 30 * tck + tck / 2);
    EXPECT_DOUBLE_EQ(secsBetweenTimeMarks(&shortRun.a, &shortRun.b), 30.5);
    EXPECT_EQ(showRealTimeUsed(&shortRun.a, &shortRun.b), "30.50 sec");
    MarkPair ninety(0, 90, 90 * tck);
    EXPECT_EQ(showRealTimeUsed(&ninety.a, &ninety.b), "00:01:30");

    // ...above it the wall clock does, whatever the tick counter says.
    MarkPair longRun(0, 7200, 12345);
    EXPECT_DOUBLE_EQ(secsBetweenTimeMarks(&longRun.a, &longRun.b), 7200.0);
    EXPECT_EQ(showRealTimeUsed(&longRun.a, &longRun.b), "02:00:00");
}

TEST(TimeMarks, ShowTimeUsedLines)
{
    const long tck = ticks();
    MarkPair m(3725 * tck + tck / 2, 90, 90 * tck);
    struct {
        int indent;
        const char *label;
        const char *expected;
    } cases[] = {
        {0, "", "Time used = 00:01:30 (CPU time = 01:02:05.5)\n"},
        {4, "", "    Time used = 00:01:30 (CPU time = 01:02:05.5)\n"},
        {0, " (search)", "Time used (search) = 00:01:30 (CPU time = 01:02:05.5)\n"},
        {0, nullptr, "00:01:30 (CPU time = 01:02:05.5)"},
        {2, nullptr, "  00:01:30 (CPU time = 01:02:05.5)"},
        // A label is data, never a format.
        {0, " %s%n", "Time used %s%n = 00:01:30 (CPU time = 01:02:05.5)\n"},
    };
    for (const auto &c : cases) {
        gPrinted.clear();
        gPrintCalls = 0;
        int rc = showTimeUsed(&m.a, &m.b, c.indent, c.label, capturePrint);
        EXPECT_EQ(gPrinted, c.expected) << c.indent << " " << (c.label ? c.label : "(none)");
        EXPECT_EQ(rc, 100 + gPrintCalls);
    }
}

TEST(GlobalTimer, SecondStopKeepsTheFirstMark)
{
    startGlobalTimer();
    EXPECT_TRUE(globalTimerRunning());
    stopGlobalTimer();
    EXPECT_FALSE(globalTimerRunning());
    TimeMark first = *globalStopMark();
    usleep(30000);
    stopGlobalTimer();
    EXPECT_EQ(globalStopMark()->elapsedTicks, first.elapsedTicks);
    EXPECT_EQ(globalStopMark()->wallTime, first.wallTime);

    // A local mark taken afterwards leaves the timer stopped, so a report
    // from the global marks still covers the timed operation only.
    TimeMark local;
    setTimeMark(&local);
    EXPECT_FALSE(globalTimerRunning());
    makeCpuTimeString();
    EXPECT_EQ(globalStopMark()->elapsedTicks, first.elapsedTicks);
}

TEST(GlobalTimer, ReportingFromTheStartMarkStopsIt)
{
    startGlobalTimer();
    usleep(60000);
    ASSERT_TRUE(globalTimerRunning());
    gPrinted.clear();
    showTimeUsed(nullptr, nullptr, 0, "", capturePrint);
    EXPECT_FALSE(globalTimerRunning());
    EXPECT_GE(secsBetweenTimeMarks(), 0.04);
    EXPECT_TRUE(std::regex_match(gPrinted, std::regex(R"(Time used = \d+\.\d\d sec \(CPU time = \d+\.\d\d sec\)\n)")))
        << gPrinted;

    startGlobalTimer();
    showRealTimeUsed();
    EXPECT_FALSE(globalTimerRunning());
}

// Sleeping costs real time but hardly any CPU time.
TEST(GlobalTimer, CpuAndRealClocksDiffer)
{
    TimeMark a, b;
    setTimeMark(&a);
    usleep(100000);
    setTimeMark(&b);
    const double real = secsBetweenTimeMarks(&a, &b);
    EXPECT_GE(real, 0.08);
    // Sleeping costs next to no processor time; the bound scales with the
    // real time, which a loaded machine stretches along with any stray work.
    EXPECT_LT(cpuTimeDiff(&a, &b), 0.5 * real);
}

TEST(DateTexts, CtimeLayoutWithoutNewline)
{
    time_t before = time(nullptr);
    std::string text = getDateTimeString();
    ASSERT_EQ(text.size(), 24u);
    EXPECT_TRUE(std::regex_match(text, std::regex(R"([A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d \d{4})")))
        << text;
    struct tm local;
    localtime_r(&before, &local);
    EXPECT_EQ(text.substr(20), std::to_string(1900 + local.tm_year));
}

TEST(DateTexts, ElapsedSecondsAsHoursMinutesSeconds)
{
    struct {
        time_t t1, t0;
        const char *text;
    } cases[] = {
        {0, 0, "0:00:00"},
        {1000059, 1000000, "0:00:59"},
        {3725, 0, "1:02:05"},
        {360000, 0, "100:00:00"},
        {0, 61, "-0:01:01"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(timeDiffToSecsStr(c.t1, c.t0), c.text) << c.t1 << " - " << c.t0;
}

TEST(Startup, HistoryFileInTheHomeDirectory)
{
    std::optional<std::string> saved;
    if (const char *h = std::getenv("HOME"))
        saved = h;
    char buf[kPathnameBufSize];
    setenv("HOME", "/h/u", 1);
    EXPECT_EQ(makeHistoryFlnam(buf), 0);
    EXPECT_STREQ(buf, "/h/u/.vornhistory");

    std::string longHome = "/" + std::string(kMaxPathnameLen - 5, 'h');
    setenv("HOME", longHome.c_str(), 1);
    EXPECT_EQ(makeHistoryFlnam(buf), 1);
    EXPECT_STREQ(buf, "");

    if (saved)
        setenv("HOME", saved->c_str(), 1);
    else
        unsetenv("HOME");
    EXPECT_EQ(qel_init(), 0);
}

TEST(LibraryStartUp, SetsTheOutputWidthAndFileLocking)
{
    qel_resetOutputEngine();
    setOutputLineLength(180);
    const bool savedLocking = gQelIo.fileLocking;
    gQelIo.fileLocking = false;
    EXPECT_EQ(qel_init(), 0);
    EXPECT_EQ(getOutputLineLength(), 100u);
    EXPECT_TRUE(gQelIo.fileLocking);
    gQelIo.fileLocking = savedLocking;
    qel_resetOutputEngine();
}

}  // namespace

#include "qel/qel_time.h"

#include <sys/times.h>
#include <unistd.h>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "qel/qel_files.h"
#include "qel/qel_io.h"
#include "qel/qel_output.h"

namespace {

TimeMark gStartMark{};
TimeMark gStopMark{};
bool gTimerRunning = false;

// Past this the h:mm:ss texts no longer mean anything, and converting a
// larger double to an integer would be undefined.
constexpr double kMaxReportedSecs = 1e12;

double ticksPerSecond()
{
    static const double tck = [] {
        long t = sysconf(_SC_CLK_TCK);
        return t > 0 ? static_cast<double>(t) : 100.0;
    }();
    return tck;
}

double clampSecs(double secs)
{
    if (std::isnan(secs))
        return 0.0;
    if (secs > kMaxReportedSecs)
        return kMaxReportedSecs;
    return secs;
}

// Formats into scratch space and keeps what fits the caller's time buffer,
// so that no value, however absurd, can write past it.
__attribute__((format(printf, 2, 3))) char *formatTimeText(char *buffer, const char *format, ...)
{
    char scratch[64];
    va_list args;
    va_start(args, format);
    std::vsnprintf(scratch, sizeof scratch, format, args);
    va_end(args);
    size_t n = strnlen(scratch, kTimeTextSize - 1);
    std::memcpy(buffer, scratch, n);
    buffer[n] = '\0';
    return buffer;
}

// Reporting from the global start mark means the operation has ended.
void stopIfGlobalStart(const TimeMark *a)
{
    if (a == &gStartMark && gTimerRunning)
        stopGlobalTimer();
}

}  // namespace

uint64_t getCPUTicks()
{
    struct tms t;
    times(&t);
    return static_cast<uint64_t>(t.tms_utime) + static_cast<uint64_t>(t.tms_stime);
}

void setTimeMark(TimeMark *mark)
{
    struct tms t;
    mark->elapsedTicks = times(&t);
    mark->cpuTicks = static_cast<uint64_t>(t.tms_utime) + static_cast<uint64_t>(t.tms_stime);
    mark->wallTime = time(nullptr);
    // Only the global start mark starts the global timer: a local mark taken
    // after the timer stopped must not let a later report overwrite the stop
    // mark of the operation that was timed.
    if (mark == &gStartMark)
        gTimerRunning = true;
}

void startGlobalTimer() { setTimeMark(&gStartMark); }

void stopGlobalTimer()
{
    if (gTimerRunning) {
        setTimeMark(&gStopMark);
        gTimerRunning = false;
    }
}

const TimeMark *globalStartMark() { return &gStartMark; }
const TimeMark *globalStopMark() { return &gStopMark; }
bool globalTimerRunning() { return gTimerRunning; }

double cpuTimeDiff(const TimeMark *a, const TimeMark *b)
{
    double ticks = static_cast<double>(b->cpuTicks) - static_cast<double>(a->cpuTicks);
    return ticks / ticksPerSecond();
}

double secsBetweenTimeMarks(const TimeMark *a, const TimeMark *b)
{
    if (a == nullptr)
        a = &gStartMark;
    if (b == nullptr)
        b = &gStopMark;
    double secs = difftime(b->wallTime, a->wallTime);
    if (secs < 3600.0)
        secs = static_cast<double>(b->elapsedTicks - a->elapsedTicks) / ticksPerSecond();
    return secs;
}

char *formatCpuSeconds(double secs, char *buffer)
{
    secs = clampSecs(secs);
    if (secs < 60.0) {
        return formatTimeText(buffer, "%.2f sec", secs);
    }
    // Whole tenths first, so that 119.96 s is 00:02:00.0 rather than a
    // seconds field of 60.0.
    long long tenths = std::llround(secs * 10.0);
    long h = static_cast<long>(tenths / 36000);
    long long rest = tenths - static_cast<long long>(h) * 36000;
    long m = static_cast<long>(rest / 600);
    long s10 = static_cast<long>(rest - static_cast<long long>(m) * 600);
    return formatTimeText(buffer, "%02ld:%02ld:%02ld.%ld", h, m, s10 / 10, s10 % 10);
}

char *formatRealSeconds(double secs, char *buffer)
{
    secs = clampSecs(secs);
    if (secs < 60.0) {
        return formatTimeText(buffer, "%.2f sec", secs);
    }
    long h = static_cast<long>(std::trunc(secs / 3600.0));
    long r = static_cast<long>(std::trunc(secs - 3600.0 * static_cast<double>(h)));
    long m = r / 60;
    return formatTimeText(buffer, "%02ld:%02ld:%02ld", h, m, r - 60 * m);
}

namespace {
// Absent marks are the global ones; reporting from the global start mark
// stops a running global timer first, so that the stop mark is current.
void resolveReportMarks(const TimeMark *&a, const TimeMark *&b)
{
    if (a == nullptr)
        a = &gStartMark;
    if (b == nullptr)
        b = &gStopMark;
    stopIfGlobalStart(a);
}
}  // namespace

std::string makeCpuTimeString(const TimeMark *a, const TimeMark *b)
{
    char buffer[kTimeTextSize];
    resolveReportMarks(a, b);
    return formatCpuSeconds(cpuTimeDiff(a, b), buffer);
}

std::string showRealTimeUsed(const TimeMark *a, const TimeMark *b)
{
    char buffer[kTimeTextSize];
    resolveReportMarks(a, b);
    return formatRealSeconds(secsBetweenTimeMarks(a, b), buffer);
}

int showTimeUsed(const TimeMark *a, const TimeMark *b, int indent, const char *labelSuffix, PrintHook print)
{
    if (print == nullptr)
        print = qel_printf;
    if (a == nullptr)
        a = &gStartMark;
    if (b == nullptr)
        b = &gStopMark;
    const std::string cpu = makeCpuTimeString(a, b);
    const std::string real = showRealTimeUsed(a, b);
    int rc = 0;
    if (indent > 0)
        rc = print("%*s", indent, " ");
    if (labelSuffix != nullptr)
        rc = print("Time used%s = ", labelSuffix);
    rc = print("%s (CPU time = %s)", real.c_str(), cpu.c_str());
    if (labelSuffix != nullptr)
        rc = print("\n");
    return rc;
}

std::string getDateTimeString()
{
    char text[32];
    time_t now = time(nullptr);
    if (ctime_r(&now, text) == nullptr)
        return {};
    char buffer[kDateTextSize];
    std::snprintf(buffer, sizeof buffer, "%.24s", text);
    return buffer;
}

std::string timeDiffToSecsStr(time_t t1, time_t t0)
{
    char buffer[kTimeTextSize];
    long long diff = static_cast<long long>(t1) - static_cast<long long>(t0);
    const char *sign = diff < 0 ? "-" : "";
    unsigned long long secs = diff < 0 ? 0ull - static_cast<unsigned long long>(diff)
                                       : static_cast<unsigned long long>(diff);
    return formatTimeText(buffer, "%s%llu:%02llu:%02llu", sign, secs / 3600, secs / 60 % 60, secs % 60);
}

int qel_init()
{
    setOutputLineLength(kMinOutputLineLength);
    gQelIo.fileLocking = true;
    return 0;
}

int makeHistoryFlnam(char *buffer)
{
    const std::string home = getHomeDirectoryName();
    if (home.empty()) {
        buffer[0] = '\0';
        return 1;
    }
    return makePathnameFromFilenameAndDirectory(".vornhistory", home.c_str(), buffer) != nullptr ? 0 : 1;
}

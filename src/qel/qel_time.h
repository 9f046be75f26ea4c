// Time marks, the "Time used" report, date texts and library start-up.
//
// Texts are returned in static buffers (16 bytes for times, 32 for the
// date), valid until the next call of the same function.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "qel/qel_errormsg.h"

inline constexpr uint32_t kTimeTextSize = 16;
inline constexpr uint32_t kDateTextSize = 32;

struct TimeMark {
    uint64_t cpuTicks;     // user + system CPU ticks of the process
    time_t wallTime;       // seconds
    clock_t elapsedTicks;  // the finer real-time clock of times()
};

uint64_t getCPUTicks();
void setTimeMark(TimeMark *mark);
void startGlobalTimer();
void stopGlobalTimer();  // only the first stop after a start takes a mark
const TimeMark *globalStartMark();
const TimeMark *globalStopMark();
bool globalTimerRunning();

// An absent mark stands for the global start (a) or stop (b) mark. Reporting
// from the global start mark stops a running global timer first.
double cpuTimeDiff(const TimeMark *a, const TimeMark *b);
double secsBetweenTimeMarks(const TimeMark *a = nullptr, const TimeMark *b = nullptr);
std::string makeCpuTimeString(const TimeMark *a = nullptr, const TimeMark *b = nullptr);
std::string showRealTimeUsed(const TimeMark *a = nullptr, const TimeMark *b = nullptr);
// Prints [indent blanks]["Time used<label> = "]<real> (CPU time = <cpu>)["\n"];
// the label parts only when labelSuffix is not null. Returns the result of
// the last call of the print function (the library's print hook when null).
int showTimeUsed(const TimeMark *a, const TimeMark *b, int indent, const char *labelSuffix,
                 PrintHook print = nullptr);

// The two time layouts, from seconds: below a minute "59.99 sec"; above it
// CPU time in tenths ("01:02:05.5") and real time in whole seconds
// ("00:01:30"). `buffer` holds kTimeTextSize bytes.
char *formatCpuSeconds(double secs, char *buffer);
char *formatRealSeconds(double secs, char *buffer);

std::string getDateTimeString();  // "Wed Jun 30 21:49:08 1993"
std::string timeDiffToSecsStr(time_t t1, time_t t0);  // "h:mm:ss" of t1 - t0

int qel_init();
// The line editor's history file in the home directory (a path buffer);
// 1 when there is no home directory or the name would not fit, else 0.
int makeHistoryFlnam(char *buffer);

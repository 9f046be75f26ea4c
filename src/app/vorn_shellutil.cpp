#include "app/vorn_shellutil.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <limits>

#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"

namespace {

// Written by the alarm handler, read by the search loop.
volatile std::sig_atomic_t gStatusDue = 0;
int gDstatusTimer = 0;  // nonzero while the timer is installed
uint32_t gDstatusMs = 0;

}  // namespace

// ---- Plurals ------------------------------------------------------------------------

const char *tree_(uint64_t n) { return n == 1 ? "tree" : "trees"; }
const char *character_(uint64_t n) { return n == 1 ? "character" : "characters"; }
const char *tax_(uint64_t n) { return n == 1 ? "taxon" : "taxa"; }

// ---- Search status timer ---------------------------------------------------------

void handleDstatusTimer(int) { gStatusDue = 1; }

void removeVornTimers()
{
    if (gDstatusTimer) {
        removeTimer(nullptr);
        gDstatusTimer = 0;
    }
    gDstatusMs = 0;
}

void setDStatusTimer(int32_t seconds)
{
    removeVornTimers();
    if (seconds > 0) {
        // The interval option goes up to 2^31 - 1 seconds, which in
        // milliseconds does not fit the timer's 32 bits: the longest
        // interval the timer holds is used instead of a wrapped short one.
        const uint64_t ms = static_cast<uint64_t>(seconds) * 1000u;
        gDstatusMs = ms > std::numeric_limits<uint32_t>::max() ? std::numeric_limits<uint32_t>::max()
                                                                : static_cast<uint32_t>(ms);
        gDstatusTimer = installTimer(handleDstatusTimer, nullptr, gDstatusMs);
    }
    gStatusDue = 0;
}

bool statusDisplayDue() { return gStatusDue != 0; }
void clearStatusDisplayDue() { gStatusDue = 0; }
uint32_t dstatusTimerInterval() { return gDstatusMs; }

// Small services of the shell that analyses use: the output text buffer that
// keeps an analysis' description lines for the tree files it writes later,
// the singular and plural words of messages, and the timer that paces the
// periodic status display of a running search.
#pragma once

#include <cstdint>

// The output text buffer lives with the output engine, where the tree
// writers below the shell read it.
#include "qel/qel_outtext.h"

// ---- Plurals ------------------------------------------------------------------------

const char *tree_(uint64_t n);       // "tree" / "trees"
const char *character_(uint64_t n);  // "character" / "characters"
const char *tax_(uint64_t n);        // "taxon" / "taxa"

// ---- Search status timer ---------------------------------------------------------

// Replaces the status timer: none for seconds <= 0, else one that marks the
// status display due every `seconds`. Clears the due mark.
void setDStatusTimer(int32_t seconds);
// The timer's callback (runs in the alarm signal handler).
void handleDstatusTimer(int signo);
void removeVornTimers();
// The status-due mark that a running search polls and clears.
bool statusDisplayDue();
void clearStatusDisplayDue();
// The interval the timer was armed with, in milliseconds (0: no timer).
uint32_t dstatusTimerInterval();

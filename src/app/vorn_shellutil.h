// Small services of the shell that analyses use: the output text buffer that
// keeps an analysis' description lines for the tree files it writes later,
// the singular and plural words of messages, and the timer that paces the
// periodic status display of a running search.
#pragma once

#include <cstdint>

struct ResizText;

// ---- Output text buffer -----------------------------------------------------------

// Created at start-up (qprintf creates it on first use when start-up did
// not); 0, or 1 when it cannot be allocated.
int allocOutputTextBuf();
void deallocOutputTextBuf();
// Prints like myprintf (at most 511 characters per call) and appends every
// finished line, prefixed ">", to the output text buffer. A line without its
// newline yet is held until a later call finishes it.
int qprintf(const char *format, ...) __attribute__((format(printf, 1, 2)));
ResizText *getOutputTextBuf();
void clearOutputTextBuf();

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

// The output text buffer: the description lines of the analysis that
// produced the trees in memory (or of their reading), kept for the comments
// of the tree files written from those trees later (consensus, agreement).
#pragma once

#include <cstdint>

struct ResizText;

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
// The buffer's text ("" when there is none), and the buffer made to hold
// exactly text (a copy taken before is put back this way); 0, or 1 when it
// cannot be allocated.
const char *outputText();
int setOutputText(const char *text);

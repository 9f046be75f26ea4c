// ResizText: a growable byte buffer written like a file (ewrite, eputs,
// eputc, eprintf). Importers, exporters and the shell escape collect text in
// it before writing or parsing it.
#pragma once

#include <cstdint>

struct ResizText {
    char *buffer;       // length bytes of text, followed by one NUL
    uint64_t length;
    uint64_t capacity;  // bytes of text the buffer holds before it must grow
    uint8_t flag;       // kept for the caller
    uint32_t failed;    // sticky: set by the first failed append
};

// A capacity of 0 starts from a small minimum.
ResizText *createResizText(uint64_t capacity, uint8_t flag);
ResizText *destroyResizText(ResizText *text);
uint64_t getResizTextLength(const ResizText *text);
// Truncates to n bytes; a larger n leaves the text unchanged and returns 1.
int setResizTextLength(ResizText *text, uint64_t n);
void clearResizText(ResizText *text);
// The text is always NUL-terminated at its length, so the buffer can be used
// as a C string when the text holds no NUL of its own.
char *getResizTextBuffer(const ResizText *text);
// True once an append has failed; every later append then fails at once.
bool resizTextFailed(const ResizText *text);

// Appends n bytes (n 0: the NUL-terminated string). 0 on success, 1 on
// failure. The bytes may lie inside the text's own buffer.
int appendResizText(ResizText *text, const char *bytes, uint64_t n);
int ewrite(const void *bytes, uint64_t n, ResizText *text);
int eputs(const char *s, ResizText *text);
int eputc(int c, ResizText *text);
// Formats and appends the whole result, however long; never cuts it.
int eprintf(ResizText *text, const char *format, ...) __attribute__((format(printf, 2, 3)));

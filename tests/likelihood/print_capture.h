// A printf-like output function that collects what the report and listing
// functions print, for tests that read their lines.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>

#include "qel/qel_errormsg.h"

inline std::string gPrinted;

inline int capturePrintf(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    char buffer[2048];
    const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    gPrinted += buffer;
    return n;
}

// A message hook that keeps the message's format.
inline int captureMsg(uint32_t, const char *format, ...)
{
    gPrinted += format;
    return 1;
}

// The text without the hanging-indentation marks of the output engine.
inline std::string printedText()
{
    std::string s;
    for (char c : gPrinted)
        if (c != '\b')
            s += c;
    return s;
}

// qel_printf collected for one scope.
struct PrintCapture {
    PrintHook saved = qel_printf;
    PrintCapture()
    {
        gPrinted.clear();
        qel_printf = capturePrintf;
    }
    ~PrintCapture() { qel_printf = saved; }
    std::string text() const { return printedText(); }
};

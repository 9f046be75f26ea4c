// Print and message hooks that collect what they are given into one text.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>

#include "support/format_support.h"

namespace captest {

// Appends the formatted text to `to`; returns its length, as printf does.
inline int appendFormatted(std::string &to, const char *format, va_list args)
{
    const std::string text = testfmt::vformat(format, args);
    to += text;
    return static_cast<int>(text.size());
}

inline std::string gCaptured;

inline int capturePrint(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int n = appendFormatted(gCaptured, format, args);
    va_end(args);
    return n;
}

// An error or warning hook that keeps only the text and answers `kResult`.
template <int kResult>
int captureMsg(uint32_t, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    appendFormatted(gCaptured, format, args);
    va_end(args);
    return kResult;
}

}  // namespace captest

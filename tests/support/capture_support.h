// What the library prints and reports, collected through its print and error
// hooks for the tests to read.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>
#include <vector>

#include "support/format_support.h"

namespace testcap {

inline std::string gOut;
inline std::vector<uint32_t> gErrorCodes;
inline std::string gErrorText;

inline void clearCaptured()
{
    gOut.clear();
    gErrorCodes.clear();
    gErrorText.clear();
}

inline int capturePrintf(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const std::string text = testfmt::vformat(format, args);
    va_end(args);
    gOut += text;
    return static_cast<int>(text.size());
}

// Keeps the code and the text; kLineEach ends each message's text with a
// line end.
template <bool kLineEach>
int captureError(uint32_t code, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    gErrorText += testfmt::vformat(format, args);
    va_end(args);
    if (kLineEach)
        gErrorText += '\n';
    gErrorCodes.push_back(code);
    return 1;
}

}  // namespace testcap

// printf-style text for the tests' capturing print and message hooks.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

namespace testfmt {

// The formatted text, whatever its length.
inline std::string vformat(const char *format, va_list args)
{
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (n <= 0)
        return {};
    std::string text(static_cast<size_t>(n), '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, args);
    return text;
}

}  // namespace testfmt

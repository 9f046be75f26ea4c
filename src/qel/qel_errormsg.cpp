#include "qel/qel_errormsg.h"

#include <cstdio>

PrintHook qel_printf = std_printf;
MsgHook qel_errorMsg = std_errorMsg;
MsgHook qel_warningMsg = std_warningMsg;

int std_printf(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int n = std::vfprintf(stdout, format, args);
    va_end(args);
    return n;
}

int std_errorMsg(uint32_t code, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::fputc('\n', stderr);
    std::vfprintf(stderr, format, args);
    va_end(args);
    if (code != 0)
        std::fprintf(stderr, " (error #%u)", code);
    std::fputc('\n', stderr);
    return 1;
}

int std_warningMsg(uint32_t code, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::fputc('\n', stdout);
    std::vfprintf(stdout, format, args);
    va_end(args);
    if (code != 0)
        std::fprintf(stdout, " (error #%u)", code);
    std::fputc('\n', stdout);
    return 0;
}

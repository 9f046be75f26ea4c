// Error and warning messages, and the three output hooks of the support
// library. Library code prints through the hooks so that it works with plain
// defaults before the application installs its output engine.
#pragma once

#include <cstdarg>
#include <cstdint>

using PrintHook = int (*)(const char *format, ...);
using MsgHook = int (*)(uint32_t code, const char *format, ...);

extern PrintHook qel_printf;
extern MsgHook qel_errorMsg;
extern MsgHook qel_warningMsg;

int std_printf(const char *format, ...) __attribute__((format(printf, 1, 2)));
int std_errorMsg(uint32_t code, const char *format, ...) __attribute__((format(printf, 2, 3)));
int std_warningMsg(uint32_t code, const char *format, ...) __attribute__((format(printf, 2, 3)));

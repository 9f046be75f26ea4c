#include "qel/qel_outtext.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "qel/qel_errormsg.h"
#include "qel/qel_textbuffer.h"

namespace {

constexpr uint64_t kOutputTextInitialSize = 1024;
constexpr size_t kQprintfBufSize = 512;  // 511 characters and the terminator

ResizText *gOutputText = nullptr;
std::string gPendingLine;  // text after the last newline, not yet in the buffer

}  // namespace

int allocOutputTextBuf()
{
    if (!gOutputText)
        gOutputText = createResizText(kOutputTextInitialSize, 0);
    return gOutputText ? 0 : 1;
}

void deallocOutputTextBuf()
{
    gOutputText = destroyResizText(gOutputText);
    gPendingLine.clear();
}

ResizText *getOutputTextBuf() { return gOutputText; }

void clearOutputTextBuf()
{
    if (gOutputText)
        clearResizText(gOutputText);
    gPendingLine.clear();
}

int qprintf(const char *format, ...)
{
    char text[kQprintfBufSize];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    const int rc = qel_printf("%s", text);

    if (allocOutputTextBuf() != 0)
        return rc;
    const char *p = text;
    while (const char *nl = std::strchr(p, '\n')) {
        gPendingLine.append(p, static_cast<size_t>(nl - p));
        eputc('>', gOutputText);
        eputs(gPendingLine.c_str(), gOutputText);
        eputc('\n', gOutputText);
        gPendingLine.clear();
        p = nl + 1;
    }
    gPendingLine.append(p);
    return rc;
}

const char *outputText()
{
    const char *text = gOutputText ? getResizTextBuffer(gOutputText) : nullptr;
    return text ? text : "";
}

int setOutputText(const char *text)
{
    clearOutputTextBuf();
    if (allocOutputTextBuf() != 0)
        return 1;
    eputs(text, gOutputText);
    return resizTextFailed(gOutputText) ? 1 : 0;
}

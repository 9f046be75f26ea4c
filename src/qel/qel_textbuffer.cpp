#include "qel/qel_textbuffer.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>

#include "qel/qel_malloc.h"

namespace {

constexpr uint64_t kMinResizTextCapacity = 16;
constexpr size_t kEprintfBufferSize = 2048;

// Grows the buffer so that `needed` bytes of text (plus the NUL) fit,
// doubling the capacity. 0 on success; on failure the text is unchanged.
int ensureRoom(ResizText *text, uint64_t needed)
{
    if (needed <= text->capacity)
        return 0;
    uint64_t cap = text->capacity;
    while (cap < needed) {
        if (cap > (UINT64_MAX - 1) / 2) {
            cap = needed;  // doubling would overflow: take what is needed
            break;
        }
        cap *= 2;
    }
    if (cap == UINT64_MAX) {  // no room left for the terminator
        reportMemoryFailure();
        return 1;
    }
    void *p = text->buffer;
    if (reallocArray(&p, cap + 1, 1, text->capacity + 1) != 0)
        return 1;
    text->buffer = static_cast<char *>(p);
    text->capacity = cap;
    return 0;
}

}  // namespace

ResizText *createResizText(uint64_t capacity, uint8_t flag)
{
    if (capacity < kMinResizTextCapacity)
        capacity = kMinResizTextCapacity;
    if (capacity == UINT64_MAX)
        return nullptr;
    auto *text = static_cast<ResizText *>(allocBlock(sizeof(ResizText)));
    if (!text)
        return nullptr;
    text->buffer = static_cast<char *>(allocBlock(capacity + 1));
    if (!text->buffer)
        return static_cast<ResizText *>(deallocBlock(text));
    text->capacity = capacity;
    text->flag = flag;
    return text;
}

ResizText *destroyResizText(ResizText *text)
{
    if (text) {
        deallocBlock(text->buffer);
        deallocBlock(text);
    }
    return nullptr;
}

uint64_t getResizTextLength(const ResizText *text) { return text ? text->length : 0; }

int setResizTextLength(ResizText *text, uint64_t n)
{
    if (!text || n > text->length)
        return 1;
    text->length = n;
    text->buffer[n] = '\0';
    return 0;
}

void clearResizText(ResizText *text) { setResizTextLength(text, 0); }

char *getResizTextBuffer(const ResizText *text) { return text ? text->buffer : nullptr; }

bool resizTextFailed(const ResizText *text) { return !text || text->failed != 0; }

int appendResizText(ResizText *text, const char *bytes, uint64_t n)
{
    if (!text || text->failed)
        return 1;
    if (!bytes)
        return n == 0 ? 0 : (text->failed = 1);
    if (n == 0)
        n = std::strlen(bytes);
    if (n > UINT64_MAX - 1 - text->length) {
        reportMemoryFailure();
        return text->failed = 1;
    }
    // The source may be part of this very buffer, which may move.
    const char *base = text->buffer;
    bool inside = std::less_equal<const char *>()(base, bytes) &&
                  std::less<const char *>()(bytes, base + text->length);
    uint64_t offset = inside ? static_cast<uint64_t>(bytes - base) : 0;
    if (ensureRoom(text, text->length + n) != 0)
        return text->failed = 1;
    if (inside)
        bytes = text->buffer + offset;
    std::memmove(text->buffer + text->length, bytes, static_cast<size_t>(n));
    text->length += n;
    text->buffer[text->length] = '\0';
    return 0;
}

int ewrite(const void *bytes, uint64_t n, ResizText *text)
{
    // Unlike appendResizText, a count of 0 writes nothing, as with fwrite.
    if (n == 0)
        return resizTextFailed(text) ? 1 : 0;
    return appendResizText(text, static_cast<const char *>(bytes), n);
}

int eputs(const char *s, ResizText *text)
{
    if (s && !*s)
        return resizTextFailed(text) ? 1 : 0;
    return appendResizText(text, s, 0);
}

int eputc(int c, ResizText *text)
{
    char ch = static_cast<char>(c);
    return appendResizText(text, &ch, 1);
}

int eprintf(ResizText *text, const char *format, ...)
{
    if (!text || text->failed)
        return 1;
    if (!format)
        return text->failed = 1;
    char local[kEprintfBufferSize];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int n = std::vsnprintf(local, sizeof local, format, args);
    va_end(args);
    int rc;
    if (n < 0) {
        rc = text->failed = 1;
    } else if (static_cast<size_t>(n) < sizeof local) {
        rc = ewrite(local, static_cast<uint64_t>(n), text);
    } else {
        // Too long for the local buffer: format again into a block of the
        // exact size rather than cut the text.
        auto *big = static_cast<char *>(allocBlock(static_cast<uint64_t>(n) + 1));
        if (!big) {
            rc = text->failed = 1;
        } else {
            std::vsnprintf(big, static_cast<size_t>(n) + 1, format, again);
            rc = ewrite(big, static_cast<uint64_t>(n), text);
            deallocBlock(big);
        }
    }
    va_end(again);
    return rc;
}

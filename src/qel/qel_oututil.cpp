#include "qel/qel_oututil.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "qel/qel_errormsg.h"
#include "qel/qel_output.h"
#include "qel/qel_strings.h"

namespace {

constexpr OutputLineMetrics kEngineMetrics = {getLastLineLength, getOutputIndentLevel,
                                              getOutputLineLength};
OutputLineMetrics gMetrics = kEngineMetrics;

constexpr const char *kArrayFormats[] = {" %d", " %u", " %d", " %u", " %d", " %u", " %g", " %g"};
constexpr const char *kMatrixFormats[] = {"%5d", "%5u", "%5d", "%5u", "%5d", "%5u", "%11.5g", "%11.5g"};
constexpr uint32_t kNumTypes = 8;

bool isRealType(uint32_t typeCode) { return typeCode == kNumFloat || typeCode == kNumDouble; }

std::string vformatted(const char *format, va_list args)
{
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (n <= 0)
        return {};
    std::string text(static_cast<size_t>(n), '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, args);
    return text;
}

std::string formatted(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string formatted(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::string text = vformatted(format, args);
    va_end(args);
    return text;
}

void printTitle(const char *titleFormat, va_list args)
{
    if (titleFormat)
        qel_printf("%s", vformatted(titleFormat, args).c_str());
}

// Reads element i of a packed array of the given type; memcpy because the
// caller's array may be any byte array.
template <typename T>
T elementAt(const void *base, uint32_t i)
{
    T v;
    std::memcpy(&v, static_cast<const unsigned char *>(base) + sizeof(T) * i, sizeof(T));
    return v;
}

void printElement(uint32_t typeCode, const void *base, uint32_t i, const char *format)
{
    char text[kElementTextSize];
    int n = -1;
    // The format was checked against the type, so each branch passes the
    // argument type its conversion expects.
    switch (typeCode) {
    case kNumI8: n = std::snprintf(text, sizeof text, format, int{elementAt<int8_t>(base, i)}); break;
    case kNumU8: n = std::snprintf(text, sizeof text, format, unsigned{elementAt<uint8_t>(base, i)}); break;
    case kNumI16: n = std::snprintf(text, sizeof text, format, int{elementAt<int16_t>(base, i)}); break;
    case kNumU16: n = std::snprintf(text, sizeof text, format, unsigned{elementAt<uint16_t>(base, i)}); break;
    case kNumI32: n = std::snprintf(text, sizeof text, format, int{elementAt<int32_t>(base, i)}); break;
    case kNumU32: n = std::snprintf(text, sizeof text, format, unsigned{elementAt<uint32_t>(base, i)}); break;
    case kNumFloat: n = std::snprintf(text, sizeof text, format, double{elementAt<float>(base, i)}); break;
    case kNumDouble: n = std::snprintf(text, sizeof text, format, elementAt<double>(base, i)); break;
    default: return;
    }
    if (n < 0)
        text[0] = '\0';
    qel_printf("%s", text);
}

const char *chooseFormat(uint32_t typeCode, const char *format, const char *const *defaults)
{
    return elementFormatSuits(typeCode, format) ? format : defaults[typeCode];
}

// Prints count elements of one row (or of a packed array) and nothing else.
void printRow(uint32_t typeCode, const void *row, uint32_t count, const char *format)
{
    if (!row)
        return;
    for (uint32_t i = 0; i < count; ++i)
        printElement(typeCode, row, i, format);
}

// Reads a run of at most three digits; false for a longer run, so that widths
// and precisions stay within what a column can hold.
bool skipSmallNumber(const char *&p)
{
    int digits = 0;
    int value = 0;
    while (std::isdigit(static_cast<unsigned char>(*p))) {
        value = value * 10 + (*p++ - '0');
        if (++digits > 3)
            return false;
    }
    return value <= kMaxRepeat;
}

// Removes the point that "%#.0e" leaves at the end of the mantissa.
void dropBarePoint(std::string &text)
{
    size_t e = text.find('e');
    if (e != std::string::npos && e > 0 && text[e - 1] == '.')
        text.erase(e - 1, 1);
}

}  // namespace

void setOutputLineMetrics(const OutputLineMetrics *metrics)
{
    gMetrics = metrics ? *metrics : kEngineMetrics;
}

void putRepeatedChar(char c, int32_t n)
{
    n = std::clamp<int32_t>(n, 0, kMaxRepeat);
    if (n == 0)
        return;
    char text[kMaxRepeat + 1];
    std::memset(text, c, static_cast<size_t>(n));
    text[n] = '\0';
    qel_printf("%s", text);
}

void tableLine(int32_t width, int32_t leadingBlanks)
{
    int64_t dashes = width;
    if (width == kUnderlineLastLine)
        dashes = int64_t{gMetrics.lastLineLength()} - gMetrics.indentLevel();
    putRepeatedChar(' ', leadingBlanks);
    putRepeatedChar('-', static_cast<int32_t>(std::clamp<int64_t>(dashes, 0, kMaxRepeat)));
    qel_printf("\n");
}

uint32_t maxOutputColumns(uint32_t columnWidth, uint32_t reserved)
{
    const uint32_t lineLength = gMetrics.lineLength();
    if (columnWidth == 0)
        columnWidth = 1;
    if (reserved >= lineLength)
        return 1;
    return std::max<uint32_t>((lineLength - reserved) / columnWidth, 1);
}

char *fltValueToString(int maxDecimals, int width, bool noExponent, size_t bufferSize,
                       char *buffer, double x, double exponentCutoff, double zeroCutoff)
{
    if (!buffer || bufferSize == 0)
        return buffer;
    const int w = std::clamp(width, 1, kMaxRepeat);
    const double ax = std::fabs(x);
    std::string text;
    if (ax < zeroCutoff) {
        text = "0";
    } else {
        // The sign takes a column too, so that a negative value below one
        // does not push the column out.
        const int sign = x < 0 ? 1 : 0;
        const int d = std::clamp(std::min(maxDecimals, w - 2 - sign), 0, kMaxRepeat);
        text = formatted("%.*f", d, x);
        if (!noExponent && ax <= 1.0 && x != 0.0) {
            // Small values: the shortest "%g" form that fits wins only when
            // it needed an exponent; otherwise the fixed text says the same.
            int p = std::min(d, w - 1);
            std::string g = formatted("%#.*g", p, x);
            while (static_cast<int>(g.size()) > w && p > 0)
                g = formatted("%#.*g", --p, x);
            if (g.find('e') != std::string::npos)
                text = std::move(g);
        } else if (ax > 1.0 && (static_cast<int>(text.size()) > w || ax > exponentCutoff)) {
            if (noExponent) {
                std::vector<char> fixed(text.begin(), text.end());
                fixed.push_back('\0');
                stripTrailingZeros(fixed.data());
                text = fixed.data();
            } else {
                // As many digits as the fixed text shows, fewer when the
                // field is narrower: a wide field must not fill with zeros.
                const int shown = static_cast<int>(std::log10(ax)) + d;
                for (int p = std::min(w, shown);; --p) {
                    text = formatted("%#.*e", p, x);
                    dropBarePoint(text);
                    if (static_cast<int>(text.size()) < w || p == 0)
                        break;
                }
            }
        }
    }
    const size_t n = std::min(text.size(), bufferSize - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    return buffer;
}

void showDoubleValueInField(int width, int maxDecimals, double x)
{
    const int w = std::clamp(width, 1, kMaxRepeat);
    const double ax = std::fabs(x);
    const bool finite = std::isfinite(x);
    // Integer part of log10|x|; a zero or non-finite value has none.
    const int t = (finite && ax > 0.0) ? static_cast<int>(std::log10(ax)) : 0;
    const int sign = x < 0 ? 1 : 0;
    // "0." or "-0." and the decimals must fit in the field, whatever the
    // caller allows, or small values would push the column out.
    const int d = std::max(0, std::min({maxDecimals, w - 2 - sign - 2 - t, w - 2 - sign}));
    // Compare magnitudes: a large negative value needs the exponent form as
    // much as a large positive one.
    if (!finite || std::pow(10.0, w - 3 - d) > ax)
        qel_printf("%*.*f", w, d, x);
    else
        qel_printf("%*.*e", w, d, x);
}

bool elementFormatSuits(uint32_t typeCode, const char *format)
{
    if (typeCode >= kNumTypes || !format)
        return false;
    const char *allowed = isRealType(typeCode) ? "fFeEgGaA" : "diouxXc";
    int conversions = 0;
    for (const char *p = format; *p; ++p) {
        if (*p != '%')
            continue;
        if (*++p == '%')
            continue;
        while (*p && std::strchr("-+ #0'", *p))
            ++p;
        if (!skipSmallNumber(p))
            return false;
        if (*p == '.') {
            ++p;
            if (!skipSmallNumber(p))
                return false;
        }
        // "l" means nothing to a real conversion and is common in "%lf".
        if (*p == 'l' && isRealType(typeCode))
            ++p;
        if (*p == '\0' || !std::strchr(allowed, *p))
            return false;
        ++conversions;
    }
    return conversions == 1;
}

const char *getDefaultMatrixFormat(uint32_t typeCode)
{
    return typeCode < kNumTypes ? kMatrixFormats[typeCode] : nullptr;
}

const char *getDefaultArrayFormat(uint32_t typeCode)
{
    return typeCode < kNumTypes ? kArrayFormats[typeCode] : nullptr;
}

void listArray(uint32_t typeCode, const void *array, uint32_t n, bool noNewline,
               const char *elementFormat, const char *titleFormat, ...)
{
    if (typeCode >= kNumTypes)
        return;
    va_list args;
    va_start(args, titleFormat);
    printTitle(titleFormat, args);
    va_end(args);
    printRow(typeCode, array, n, chooseFormat(typeCode, elementFormat, kArrayFormats));
    if (!noNewline)
        qel_printf("\n");
}

namespace {

// The title on a line of its own when there is one, then a line per row of
// an array of row pointers; row i holds rowLength(i) elements.
template <class RowLength>
void listRows(uint32_t typeCode, const void *matrix, uint32_t rows, RowLength rowLength,
              const char *elementFormat, const char *titleFormat, va_list args)
{
    if (titleFormat) {
        printTitle(titleFormat, args);
        qel_printf("\n");
    }
    const char *format = chooseFormat(typeCode, elementFormat, kMatrixFormats);
    const auto *rowPtrs = static_cast<const void *const *>(matrix);
    for (uint32_t i = 0; rowPtrs && i < rows; ++i) {
        printRow(typeCode, rowPtrs[i], rowLength(i), format);
        qel_printf("\n");
    }
}

}  // namespace

void listMatrix(uint32_t typeCode, const void *matrix, uint32_t rows, uint32_t columns,
                const char *elementFormat, const char *titleFormat, ...)
{
    if (typeCode >= kNumTypes)
        return;
    va_list args;
    va_start(args, titleFormat);
    listRows(typeCode, matrix, rows, [columns](uint32_t) { return columns; }, elementFormat,
             titleFormat, args);
    va_end(args);
}

void listMatrixLower(uint32_t typeCode, const void *halfMatrix, uint32_t n, bool withDiagonal,
                     const char *elementFormat, const char *titleFormat, ...)
{
    if (typeCode >= kNumTypes)
        return;
    va_list args;
    va_start(args, titleFormat);
    listRows(typeCode, halfMatrix, n, [withDiagonal](uint32_t i) { return withDiagonal ? i + 1 : i; },
             elementFormat, titleFormat, args);
    va_end(args);
}

std::string uintOrBlanks(uint32_t value, bool show) { return show ? std::to_string(value) : std::string(); }

std::string intOrBlanks(int32_t value, bool show) { return show ? std::to_string(value) : std::string(); }

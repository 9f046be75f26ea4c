// Small output routines for tables of numbers: rules under headings, how many
// columns fit, fixed-width real values with a fall-back to exponent form, and
// listings of whole arrays and matrices of any numeric element type.
//
// Everything prints through the qel_printf hook, and caller-supplied text is
// only ever an argument of "%s", never a format.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Element type codes of the listings.
enum NumTypeCode : uint32_t {
    kNumI8 = 0,
    kNumU8 = 1,
    kNumI16 = 2,
    kNumU16 = 3,
    kNumI32 = 4,
    kNumU32 = 5,
    kNumFloat = 6,  // printed as double
    kNumDouble = 7,
};

// Widths, blank runs and repeated characters are capped at this many columns.
inline constexpr int kMaxRepeat = 255;
// tableLine width meaning "underline the last line printed".
inline constexpr int32_t kUnderlineLastLine = 0x7FFFFFFF;
// Size of the text of one listed element, terminator included.
inline constexpr size_t kElementTextSize = 32;

void putRepeatedChar(char c, int32_t n);
void tableLine(int32_t width, int32_t leadingBlanks);
// Columns of the given width that fit beside `reserved` columns; never 0, so
// a caller that prints a table in blocks of that many columns always advances.
uint32_t maxOutputColumns(uint32_t columnWidth, uint32_t reserved);

// Formats x into buffer (bufferSize bytes, always terminated when bufferSize
// is nonzero) in about `width` columns; returns buffer.
char *fltValueToString(int maxDecimals, int width, bool noExponent, size_t bufferSize,
                       char *buffer, double x, double exponentCutoff, double zeroCutoff);
// Prints x right-aligned in exactly `width` columns (width capped at kMaxRepeat).
void showDoubleValueInField(int width, int maxDecimals, double x);

// The element format must hold exactly one conversion that suits the element
// type (d i u o x X c for integers, f F e E g G a A for reals) with no '*'
// width or precision; any other format is replaced by the type's default.
// Element texts are cut at kElementTextSize - 1 characters. The title is a
// printf format for the arguments that follow. Type codes above 7 print
// nothing.
void listArray(uint32_t typeCode, const void *array, uint32_t n, bool noNewline,
               const char *elementFormat, const char *titleFormat, ...)
    __attribute__((format(printf, 6, 7)));
// matrix is an array of row pointers.
void listMatrix(uint32_t typeCode, const void *matrix, uint32_t rows, uint32_t columns,
                const char *elementFormat, const char *titleFormat, ...)
    __attribute__((format(printf, 6, 7)));
// A lower-triangular half matrix: row i holds i elements, or i+1 with the diagonal.
void listMatrixLower(uint32_t typeCode, const void *halfMatrix, uint32_t n, bool withDiagonal,
                     const char *elementFormat, const char *titleFormat, ...)
    __attribute__((format(printf, 6, 7)));
const char *getDefaultMatrixFormat(uint32_t typeCode);  // null above 7
const char *getDefaultArrayFormat(uint32_t typeCode);   // null above 7
// True when format may be used for elements of this type.
bool elementFormatSuits(uint32_t typeCode, const char *format);

// "%u" / "%d" text, or "" when show is false.
std::string uintOrBlanks(uint32_t value, bool show);
std::string intOrBlanks(int32_t value, bool show);

// Where tableLine and maxOutputColumns learn the shape of the output: by
// default the output engine's last line length, indentation and line length.
struct OutputLineMetrics {
    int (*lastLineLength)();
    int (*indentLevel)();
    uint32_t (*lineLength)();
};
void setOutputLineMetrics(const OutputLineMetrics *metrics);  // null restores the engine's

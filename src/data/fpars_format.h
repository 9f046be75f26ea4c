// A reader of fixed-column text driven by a FORMAT statement in the
// notation of Fortran edit descriptors, such as "(A10,5F6.3)". The caller
// gives the FORMAT, an output buffer and a record reader, then asks for data
// items one at a time; each arrives in the output buffer as a normalised
// text for the usual number conversions. One FORMAT is active at a time.
#pragma once

#include <cstddef>
#include <cstdint>

// Supplies the next input record of at least `width` characters (shorter
// lines blank-padded): the text and its length. 0, 10 at the end of the
// input, 24 when out of memory.
using FormatRecordReader = int (*)(uint32_t width, const char **record, uint32_t *length);

// Codes of formatErrors (0 is success).
enum : int {
    kFmtBadStart = 2,
    kFmtBlankLine = 3,
    kFmtSyntax = 4,
    kFmtTrailing = 5,
    kFmtTooFewRight = 6,
    kFmtMissingArgument = 7,
    kFmtEmptyGroup = 8,
    kFmtTypeMismatch = 9,
    kFmtEndOfFile = 10,
    kFmtOutsideRecord = 11,
    kFmtNestingTooDeep = 15,
    kFmtWidthBelowDecimals = 16,
    kFmtBadLogical = 17,
    kFmtBadInteger = 18,
    kFmtBadOctal = 19,
    kFmtBadHex = 20,
    kFmtExponentOverflow = 21,
    kFmtBadReal = 22,
    kFmtOutputTooSmall = 23,
    kFmtNoMemory = 24,
};

extern int gFormatError;      // the last code returned
extern uint32_t gLineLenReq;  // the widest record the FORMAT reads

// Checks the FORMAT and restarts reading at its beginning (the next item
// reads a new record). 0 or an error code.
int initFormatParser(const char *format, size_t length, char *output, size_t outputSize,
                     FormatRecordReader reader);
// The next data item as text (A), real (F, E, EN, D, G) or integer (I, O,
// Z, L, Q); 0 or an error code.
int formatGetText();
int formatGetRealText();
int formatGetIntegerText();

// The message of a code ("Internal error %d in Fortran format parser." for
// a code without text), in buffer; returns buffer.
const char *fortranFmtErrStr(int code, char *buffer, size_t size);

// Text services: bounded copying, case handling, keyword abbreviations,
// range-checked number conversion, number formatting, NEXUS words, and the
// StringList of owned strings.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

inline constexpr uint32_t kNotFound = 0xFFFFFFFFu;

// Result codes of the text-to-number conversions.
inline constexpr int kConvOk = 0;
inline constexpr int kConvTrailingChars = 1;  // characters follow, or not all digits
inline constexpr int kConvOutOfRange = 2;

// ---- Copying and editing ----------------------------------------------------

// Copies at most n-1 characters, pads with NULs up to n; dest[n-1] is always 0.
char *strcpy_n(char *dest, const char *src, uint64_t n);
char *cloneString(const char *s);  // null on allocation failure or null input
void overlayString(char *dest, const char *src);  // no terminator written
char *stringToUpper(char *s);
char *stringToLower(char *s);
void stripChars(char *s, const char *set);
void replaceCharInString(char *s, char oldChar, char newChar);
void stripBlanks(char *s, bool keepLeading);
void stripTrailingZeros(char *s);

// ---- Searching and comparing ------------------------------------------------

uint32_t charPos(const char *s, char c, bool exact);  // kNotFound when absent
bool isAllDigit(const char *s);
int stricmp(const char *a, const char *b);
// Returns 0 as soon as either string ends: a prefix compares equal.
int strnicmp(const char *a, const char *b, uint64_t n);
int stringCompare(const char *a, const char *b, bool exact);
// True when word abbreviates name to at least minLength characters
// (minLength 0: the whole name is required).
bool substringMatches(const char *word, const char *name, uint32_t minLength);
// Case-insensitive prefix tests of the command language: `word` begins
// `name` (an empty word begins everything), and the length two words share.
bool startsWithNoCase(std::string_view name, std::string_view word);
size_t commonPrefixNoCase(std::string_view a, std::string_view b);

// ---- Numbers to text --------------------------------------------------------

// The text is cut to the caller's buffer of `size` bytes.
char *longToString(long value, char *buffer, uint64_t size);
char *intToString(int32_t value, char *buffer, uint64_t size);
char *uintToString(uint32_t value, char *buffer, uint64_t size);
uint32_t numDigits(uint32_t value);
uint32_t numDigitsFlt(int places, double value);
// Values whose fixed-point text would take more than 63 characters are
// written in "%.17g" form rather than cut.
std::string doubleToString(int places, double value);
const char *pluralize(long count);
uint32_t countDecimalPlaces(const char *text);

// ---- Text to numbers --------------------------------------------------------
// 0 success, 1 trailing characters, 2 out of range. On failure the output is
// not written. An empty (or null) text converts to 0 with result 0.

int convertIntValue(const char *text, bool allowLong, int64_t *out);
// A minus sign on a nonzero value is out of range, never a wrapped value.
int convertUintValue(const char *text, bool allowLong, uint64_t *out);
int stringToInt(const char *text, int32_t *out);
int stringToLong(const char *text, int64_t *out);
int stringToUByte(const char *text, uint8_t *out);  // 0..255, else 2
int stringToUInt(const char *text, uint32_t *out);  // digits only
// Decimal numbers only (sign, digits with an optional point, an optional
// exponent): hexadecimal, "inf" and "nan" are not numbers here.
int stringToDouble(const char *text, double *out);  // out may be null
bool isDecimalNumber(const char *text);
// "n" or "a:b:c:d" (at most 63 characters). Nonzero and all words 0 on failure.
int stringToSeed(const char *text, uint32_t seed[4]);

// ---- NEXUS words ------------------------------------------------------------

// Writes the label as one NEXUS word into dest (size bytes including the
// NUL); label and dest may be the same buffer. A quoted word that has to be
// cut keeps its quoting balanced: whole characters (a doubled quote counts
// as one) are dropped before the closing quote. *truncated, when given, tells
// whether anything was dropped. Returns dest.
char *nexusizeString(const char *label, char *dest, uint64_t size, bool *truncated = nullptr);

// ---- StringList -------------------------------------------------------------

struct StringList {
    char **items;     // every non-null item is an allocation owned by the list
    uint32_t nSlots;
};

StringList *createStringList(uint32_t n);
StringList *destroyStringList(StringList *list);
// Stores a copy of s in slot i (null clears it). 1 on allocation failure or
// a bad index; the slot is then unchanged.
int storeStringToList(StringList *list, const char *s, uint32_t i);
char *getStringFromList(const StringList *list, uint32_t i);
char **getStringListArray(const StringList *list);
uint32_t numStringListItems(const StringList *list);
// A new list of the first a items of `first` then the first b of `second`;
// the items move and both old lists are freed (items beyond a or b too).
// On allocation failure null is returned and both lists are left untouched.
StringList *combineStringLists(StringList *first, uint32_t a, StringList *second, uint32_t b);

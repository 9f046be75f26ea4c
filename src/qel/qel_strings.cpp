#include "qel/qel_strings.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "qel/qel_malloc.h"

namespace {

int upper(char c) { return std::toupper(static_cast<unsigned char>(c)); }
int lower(char c) { return std::tolower(static_cast<unsigned char>(c)); }
bool isBlankOrTab(char c) { return c == ' ' || c == '\t'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Characters that end an unquoted NEXUS word.
constexpr const char kNexusPunct[] = "()[]{}/\\,;:=*'\"+-_<>`";

bool isNexusPunct(char c) { return c != '\0' && std::strchr(kNexusPunct, c) != nullptr; }

// White space other than the blank, and control characters, would split or
// corrupt an unquoted word just as punctuation does.
bool needsQuotes(char c)
{
    auto u = static_cast<unsigned char>(c);
    return isNexusPunct(c) || (u < 0x20 && u != 0) || u == 0x7F;
}

// Skips leading white space as strtol does, so that the sign can be seen.
const char *skipSpace(const char *s)
{
    while (std::isspace(static_cast<unsigned char>(*s)))
        ++s;
    return s;
}

char *formatInto(char *buffer, uint64_t size, const char *format, long long value)
{
    if (buffer && size > 0)
        std::snprintf(buffer, static_cast<size_t>(size), format, value);
    return buffer;
}

}  // namespace

// ---- Copying and editing ----------------------------------------------------

char *strcpy_n(char *dest, const char *src, uint64_t n)
{
    if (!dest || n == 0)
        return dest;
    uint64_t i = 0;
    if (src)
        for (; i + 1 < n && src[i]; ++i)
            dest[i] = src[i];
    std::memset(dest + i, 0, static_cast<size_t>(n - i));
    return dest;
}

char *cloneString(const char *s)
{
    if (!s)
        return nullptr;
    size_t len = std::strlen(s);
    auto *copy = static_cast<char *>(allocBlock(static_cast<uint64_t>(len) + 1));
    if (copy)
        std::memcpy(copy, s, len + 1);
    return copy;
}

void overlayString(char *dest, const char *src)
{
    if (dest && src)
        std::memcpy(dest, src, std::strlen(src));
}

char *stringToUpper(char *s)
{
    for (char *p = s; p && *p; ++p)
        *p = static_cast<char>(upper(*p));
    return s;
}

char *stringToLower(char *s)
{
    for (char *p = s; p && *p; ++p)
        *p = static_cast<char>(lower(*p));
    return s;
}

void stripChars(char *s, const char *set)
{
    if (!s || !set)
        return;
    char *out = s;
    for (const char *p = s; *p; ++p)
        if (!std::strchr(set, *p))
            *out++ = *p;
    *out = '\0';
}

void replaceCharInString(char *s, char oldChar, char newChar)
{
    for (char *p = s; p && *p; ++p)
        if (*p == oldChar)
            *p = newChar;
}

void stripBlanks(char *s, bool keepLeading)
{
    if (!s)
        return;
    size_t len = std::strlen(s);
    while (len > 0 && isBlankOrTab(s[len - 1]))
        s[--len] = '\0';
    if (keepLeading)
        return;
    size_t start = 0;
    while (start < len && isBlankOrTab(s[start]))
        ++start;
    if (start > 0)
        std::memmove(s, s + start, len - start + 1);
}

void stripTrailingZeros(char *s)
{
    if (!s || !std::strchr(s, '.'))
        return;
    size_t len = std::strlen(s);
    while (len > 0 && s[len - 1] == '0')
        s[--len] = '\0';
    if (len > 0 && s[len - 1] == '.')
        s[len - 1] = '\0';
}

// ---- Searching and comparing ------------------------------------------------

uint32_t charPos(const char *s, char c, bool exact)
{
    if (!s)
        return kNotFound;
    for (uint32_t i = 0; s[i] && i < kNotFound; ++i)
        if (exact ? s[i] == c : upper(s[i]) == upper(c))
            return i;
    return kNotFound;
}

bool isAllDigit(const char *s)
{
    for (const char *p = s; p && *p; ++p)
        if (!isDigit(*p))
            return false;
    return true;
}

int stricmp(const char *a, const char *b)
{
    for (;; ++a, ++b) {
        int d = upper(*a) - upper(*b);
        if (d != 0 || *a == '\0')
            return d;
    }
}

int strnicmp(const char *a, const char *b, uint64_t n)
{
    for (uint64_t i = 0; i < n && a[i] && b[i]; ++i) {
        int d = upper(a[i]) - upper(b[i]);
        if (d != 0)
            return d;
    }
    return 0;
}

int stringCompare(const char *a, const char *b, bool exact)
{
    return exact ? std::strcmp(a, b) : stricmp(a, b);
}

bool substringMatches(const char *word, const char *name, uint32_t minLength)
{
    size_t wordLen = std::strlen(word);
    size_t nameLen = std::strlen(name);
    size_t needed = minLength == 0 ? nameLen : minLength;
    if (wordLen > nameLen || wordLen < needed)
        return false;
    for (size_t i = 0; i < wordLen; ++i)
        if (upper(word[i]) != upper(name[i]))
            return false;
    return true;
}

// ---- Numbers to text --------------------------------------------------------

char *longToString(long value, char *buffer, uint64_t size)
{
    return formatInto(buffer, size, "%lld", value);
}

char *intToString(int32_t value, char *buffer, uint64_t size)
{
    return formatInto(buffer, size, "%lld", value);
}

char *uintToString(uint32_t value, char *buffer, uint64_t size)
{
    return formatInto(buffer, size, "%lld", static_cast<long long>(value));
}

uint32_t numDigits(uint32_t value)
{
    return static_cast<uint32_t>(std::snprintf(nullptr, 0, "%u", value));
}

uint32_t numDigitsFlt(int places, double value)
{
    return static_cast<uint32_t>(std::snprintf(nullptr, 0, "%.*f", places, value));
}

std::string doubleToString(int places, double value)
{
    char text[64];
    int n;
    if (std::fabs(value) < 0.0001) {
        n = std::snprintf(text, sizeof text, "%.3g", value);
    } else if (places == 0) {
        n = std::snprintf(text, sizeof text, "%.6f", value);
        if (n >= 0 && static_cast<size_t>(n) < sizeof text)
            stripTrailingZeros(text);
    } else {
        n = std::snprintf(text, sizeof text, "%.*f", places, value);
    }
    if (n < 0 || static_cast<size_t>(n) >= sizeof text)
        std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

const char *pluralize(long count) { return count == 1 ? "" : "s"; }

uint32_t countDecimalPlaces(const char *text)
{
    const char *point = text ? std::strchr(text, '.') : nullptr;
    if (!point)
        return 0;
    uint32_t places = 0;
    for (uint32_t i = 1; isDigit(point[i]); ++i)
        if (point[i] != '0')
            places = i;
    return places;
}

// ---- Text to numbers --------------------------------------------------------

int convertIntValue(const char *text, bool allowLong, int64_t *out)
{
    if (!text || !*text) {
        *out = 0;
        return kConvOk;
    }
    char *end;
    errno = 0;
    long long v = std::strtoll(text, &end, 10);
    if (end == text || *end != '\0')
        return kConvTrailingChars;
    if (errno == ERANGE)
        return kConvOutOfRange;
    if (!allowLong && (v > INT32_MAX || v < INT32_MIN))
        return kConvOutOfRange;
    *out = v;
    return kConvOk;
}

int convertUintValue(const char *text, bool allowLong, uint64_t *out)
{
    if (!text || !*text) {
        *out = 0;
        return kConvOk;
    }
    char *end;
    errno = 0;
    // strtoull accepts "-1" and hands back its two's complement; the sign is
    // checked separately so that it is refused instead.
    bool negative = *skipSpace(text) == '-';
    unsigned long long v = std::strtoull(text, &end, 10);
    if (end == text || *end != '\0')
        return kConvTrailingChars;
    if (errno == ERANGE || (negative && v != 0))
        return kConvOutOfRange;
    if (!allowLong && v > UINT32_MAX)
        return kConvOutOfRange;
    *out = v;
    return kConvOk;
}

int stringToInt(const char *text, int32_t *out)
{
    int64_t v;
    int rc = convertIntValue(text, false, &v);
    if (rc == kConvOk)
        *out = static_cast<int32_t>(v);
    return rc;
}

int stringToLong(const char *text, int64_t *out) { return convertIntValue(text, true, out); }

int stringToUByte(const char *text, uint8_t *out)
{
    int64_t v;
    int rc = convertIntValue(text, false, &v);
    if (rc != kConvOk)
        return rc;
    if (v < 0 || v > UINT8_MAX)
        return kConvOutOfRange;
    *out = static_cast<uint8_t>(v);
    return kConvOk;
}

int stringToUInt(const char *text, uint32_t *out)
{
    if (!isAllDigit(text))
        return kConvTrailingChars;
    uint64_t v;
    int rc = convertUintValue(text, false, &v);
    if (rc == kConvOk)
        *out = static_cast<uint32_t>(v);
    return rc;
}

bool isDecimalNumber(const char *text)
{
    const char *p = text;
    if (*p == '+' || *p == '-')
        p++;
    size_t digits = 0;
    for (; *p >= '0' && *p <= '9'; p++)
        digits++;
    if (*p == '.')
        for (p++; *p >= '0' && *p <= '9'; p++)
            digits++;
    if (digits == 0)
        return false;
    if (*p == 'e' || *p == 'E') {
        p++;
        if (*p == '+' || *p == '-')
            p++;
        if (!(*p >= '0' && *p <= '9'))
            return false;
        while (*p >= '0' && *p <= '9')
            p++;
    }
    return *p == '\0';
}

int stringToDouble(const char *text, double *out)
{
    if (!text || !*text) {
        if (out)
            *out = 0.0;
        return kConvOk;
    }
    // Numbers in commands and files are decimal: strtod's hexadecimal and
    // "inf"/"nan" spellings would turn words nobody meant as numbers into
    // values ("0x10" into 16).
    if (!isDecimalNumber(text))
        return kConvTrailingChars;
    char *end;
    errno = 0;
    double v = std::strtod(text, &end);
    if (end == text || *end != '\0')
        return kConvTrailingChars;
    if (errno == ERANGE)
        return kConvOutOfRange;
    // "-0" is zero: a signed zero would pass every "not negative" check and
    // then print as "-0" in weights and tables.
    if (out)
        *out = v == 0.0 ? 0.0 : v;
    return kConvOk;
}

namespace {

// One seed field: digits only (no sign, no blanks), within 32 bits.
bool parseSeedField(const char *begin, const char *end, uint32_t *out)
{
    if (begin == end)
        return false;
    uint64_t v = 0;
    for (const char *p = begin; p < end; ++p) {
        if (*p < '0' || *p > '9')
            return false;
        v = v * 10 + static_cast<uint64_t>(*p - '0');
        if (v > 0xFFFFFFFFu)
            return false;
    }
    *out = static_cast<uint32_t>(v);
    return true;
}

}  // namespace

int stringToSeed(const char *text, uint32_t seed[4])
{
    seed[0] = seed[1] = seed[2] = seed[3] = 0;
    if (!text)
        return 1;
    // A longer text would have to be cut, which could silently change a
    // number; it is refused instead.
    constexpr size_t kMaxSeedText = 63;
    const size_t len = strnlen(text, kMaxSeedText + 1);
    if (len > kMaxSeedText)
        return 1;
    const char *end = text + len;
    const char *colon = std::find(text, end, ':');
    if (colon == end)
        return parseSeedField(text, end, &seed[0]) ? 0 : 1;

    uint32_t words[4];
    const char *p = text;
    for (int k = 0; k < 4; ++k) {
        const char *stop = std::find(p, end, ':');
        if (!parseSeedField(p, stop, &words[k]))
            return 1;
        if (stop == end && k < 3)
            return 1;  // fewer than four fields
        p = stop == end ? end : stop + 1;  // conversion stops after the fourth
    }
    std::memcpy(seed, words, sizeof words);
    return 0;
}

// ---- NEXUS words ------------------------------------------------------------

char *nexusizeString(const char *label, char *dest, uint64_t size, bool *truncated)
{
    if (!label)
        label = "";
    bool hasBlank = false, hasPunct = false;
    for (const char *p = label; *p; ++p) {
        hasBlank |= *p == ' ';
        hasPunct |= needsQuotes(*p);
    }
    const uint64_t room = size == 0 ? 0 : size - 1;
    std::string word;
    bool cut = false;
    if (!hasPunct && *label) {
        word = label;
        if (hasBlank)
            for (char &c : word)
                if (c == ' ')
                    c = '_';
        if (word.size() > room) {
            word.resize(static_cast<size_t>(room));
            cut = true;
        }
    } else if (room < 2) {
        // Not even an empty quoted word fits.
        cut = true;
    } else {
        // Keep room for the closing quote; a doubled quote is kept whole or
        // not at all, so the word always reads back as a prefix of the label.
        word = "'";
        for (const char *p = label; *p; ++p) {
            size_t need = *p == '\'' ? 2 : 1;
            if (word.size() + need + 1 > room) {
                cut = true;
                break;
            }
            word.append(need, *p);
        }
        word += '\'';
    }
    if (size > 0) {
        std::memcpy(dest, word.data(), word.size());
        dest[word.size()] = '\0';
    }
    if (truncated)
        *truncated = cut;
    return dest;
}

// ---- StringList -------------------------------------------------------------

StringList *createStringList(uint32_t n)
{
    auto *list = static_cast<StringList *>(allocBlock(sizeof(StringList)));
    if (!list)
        return nullptr;
    if (n > 0) {
        list->items = allocArrayOf<char *>(n);
        if (!list->items)
            return static_cast<StringList *>(deallocBlock(list));
    }
    list->nSlots = n;
    return list;
}

StringList *destroyStringList(StringList *list)
{
    if (!list)
        return nullptr;
    for (uint32_t i = 0; i < list->nSlots && list->items; ++i)
        deallocBlock(list->items[i]);
    deallocArray(list->items);
    deallocBlock(list);
    return nullptr;
}

int storeStringToList(StringList *list, const char *s, uint32_t i)
{
    if (!list || !list->items || i >= list->nSlots)
        return 1;
    // Copy before freeing: s may be the item being replaced.
    char *copy = nullptr;
    if (s && !(copy = cloneString(s)))
        return 1;
    deallocBlock(list->items[i]);
    list->items[i] = copy;
    return 0;
}

char *getStringFromList(const StringList *list, uint32_t i)
{
    if (!list || !list->items || i >= list->nSlots)
        return nullptr;
    return list->items[i];
}

char **getStringListArray(const StringList *list) { return list ? list->items : nullptr; }

uint32_t numStringListItems(const StringList *list) { return list ? list->nSlots : 0; }

StringList *combineStringLists(StringList *first, uint32_t a, StringList *second, uint32_t b)
{
    a = first ? std::min(a, first->nSlots) : 0;
    b = second ? std::min(b, second->nSlots) : 0;
    if (static_cast<uint64_t>(a) + b > UINT32_MAX)
        return nullptr;
    StringList *combined = createStringList(a + b);
    if (!combined)
        return nullptr;
    for (uint32_t i = 0; i < a; ++i) {
        combined->items[i] = first->items[i];
        first->items[i] = nullptr;
    }
    for (uint32_t i = 0; i < b; ++i) {
        combined->items[a + i] = second->items[i];
        second->items[i] = nullptr;
    }
    destroyStringList(first);
    if (second != first)
        destroyStringList(second);
    return combined;
}

namespace {
char foldCase(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }
}  // namespace

bool startsWithNoCase(std::string_view name, std::string_view word)
{
    return word.size() <= name.size() &&
           std::equal(word.begin(), word.end(), name.begin(),
                      [](char a, char b) { return foldCase(a) == foldCase(b); });
}

size_t commonPrefixNoCase(std::string_view a, std::string_view b)
{
    size_t n = 0;
    while (n < a.size() && n < b.size() && foldCase(a[n]) == foldCase(b[n]))
        ++n;
    return n;
}

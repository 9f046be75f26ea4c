#include "data/taxlabels.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "qel/qel_strings.h"

namespace {
constexpr size_t kStrictPhylipNameLength = 10;

bool isUtf8Continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }
}

size_t utf8CutPoint(std::string_view text, size_t maxBytes)
{
    if (text.size() <= maxBytes)
        return text.size();
    size_t cut = maxBytes;
    while (cut > 0 && isUtf8Continuation(text[cut]))
        cut--;
    return cut;
}

size_t utf8Length(std::string_view text)
{
    return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) { return !isUtf8Continuation(c); }));
}

size_t utf8CharCutPoint(std::string_view text, size_t maxChars)
{
    size_t chars = 0;
    for (size_t i = 0; i < text.size(); i++)
        if (!isUtf8Continuation(text[i]) && chars++ == maxChars)
            return i;
    return text.size();
}

char *phylipLabel(const char *label, bool underscores, bool truncate, char *buffer, size_t size)
{
    if (size == 0)
        return buffer;
    strcpy_n(buffer, label, size);
    if (truncate && std::strlen(buffer) > kStrictPhylipNameLength) {
        // The field is 10 bytes; a UTF-8 character that does not fit whole is
        // left out, since half of one makes the file invalid text.
        buffer[utf8CutPoint(buffer, kStrictPhylipNameLength)] = '\0';
    }
    if (!std::strpbrk(buffer, ",;() _"))
        return buffer;
    const char blank = underscores ? '_' : ' ';
    char *out = buffer;
    for (const char *p = buffer; *p; p++) {
        if (std::strchr(",;()", *p))
            continue;
        *out++ = (*p == ' ' || *p == '_') ? blank : *p;
    }
    *out = '\0';
    return buffer;
}

bool needsNewickQuotes(const char *label)
{
    // Unquoted, a blank is written "_": beside an underscore of the label
    // itself, readers could no longer tell which underscore was a blank.
    return std::strpbrk(label, "(),;:[]'=") != nullptr ||
           (std::strchr(label, ' ') != nullptr && std::strchr(label, '_') != nullptr);
}

std::string newickQuotedWord(const std::string &label)
{
    std::string word = "'";
    for (char c : label) {
        word += c;
        if (c == '\'')
            word += c;
    }
    return word + "'";
}

char *newickTreeLabel(const char *label, char *buffer, size_t size)
{
    if (!needsNewickQuotes(label))
        return phylipLabel(label, true, false, buffer, size);
    if (size > 0)
        strcpy_n(buffer, newickQuotedWord(label).c_str(), size);
    return buffer;
}

char *phylipTreeLabel(const char *label, char *buffer, size_t size)
{
    return phylipLabel(label, true, true, buffer, size);
}

char *hennigLabel(const char *label, char *buffer, size_t size)
{
    if (size < 3) {
        if (size)
            buffer[0] = '\0';
        return buffer;
    }
    if (!std::isalpha(static_cast<unsigned char>(label[0]))) {
        buffer[0] = 'T';
        strcpy_n(buffer + 1, label, size - 1);
    } else {
        strcpy_n(buffer, label, size);
    }
    for (char *p = buffer; *p; p++)
        if (!std::isalnum(static_cast<unsigned char>(*p)))
            *p = '_';
    return buffer;
}

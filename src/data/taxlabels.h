// Taxon labels rewritten for foreign formats and outside programs: PHYLIP
// and Newick readers split words at blanks and punctuation, Hennig86 readers
// take only letters, digits and "_". Each function copies the label into the
// caller's buffer and returns that buffer; none fails.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The length of the longest head of text, at most maxBytes long, that ends
// on a UTF-8 character boundary: names cut to a byte width stay valid text.
size_t utf8CutPoint(std::string_view text, size_t maxBytes);
// The number of characters in UTF-8 text (bytes that start one), and the
// length in bytes of its first maxChars characters: a field of a width in
// characters, as another program reading the file counts it.
size_t utf8Length(std::string_view text);
size_t utf8CharCutPoint(std::string_view text, size_t maxChars);
// ",", ";", "(" and ")" dropped; blanks and "_" become "_" with
// `underscores`, else blanks. With `truncate` the label is cut to the 10
// characters of a strict PHYLIP name first, so the result may be shorter.
char *phylipLabel(const char *label, bool underscores, bool truncate, char *buffer, size_t size);
// Whether a Newick reader would take part of the label for syntax (a
// bracket, comma, semicolon, colon, quote or "="), so that only a quoted
// word keeps it whole.
bool needsNewickQuotes(const char *label);
// The label in single quotes, inner quotes doubled.
std::string newickQuotedWord(const std::string &label);
// A label that needs quotes, quoted; any other is phylipLabel with
// underscores, whole.
char *newickTreeLabel(const char *label, char *buffer, size_t size);
// phylipLabel with underscores, cut to 10 characters.
char *phylipTreeLabel(const char *label, char *buffer, size_t size);
// A label that does not start with a letter gets a leading "T"; every
// character other than a letter or digit becomes "_".
char *hennigLabel(const char *label, char *buffer, size_t size);

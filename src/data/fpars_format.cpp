#include "data/fpars_format.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

int gFormatError = 0;
uint32_t gLineLenReq = 0;

namespace {

// Repeat counts, widths and tab positions above this are refused, so that
// record widths can be summed without overflow.
constexpr int64_t kMaxCount = 1000000;
constexpr int64_t kMaxRecordWidth = UINT32_MAX;
constexpr size_t kMaxLevels = 10;  // the outermost parentheses included
constexpr int kMaxExponent = 99999;

enum class Op : uint8_t { Data, Open, Close, Slash, BlankNull, BlankZero, Scale, Right, Left, Tab, None };
enum class Field : uint8_t { A, L, I, O, Z, F, E, EN, D, G, Q };

struct Item {
    Op op = Op::None;
    Field field = Field::A;
    uint32_t repeat = 1;
    uint32_t width = 0;  // 0 for A without a width: the rest of the record
    uint32_t decimals = 0;
    int32_t number = 0;  // T, TL, TR, X columns; P scale factor
    size_t match = 0;    // a group's other parenthesis
};

struct Level {
    size_t open;  // item index
    uint32_t left;
};

struct FormatParserState {
    std::vector<Item> items;
    size_t reversion = 1;
    char *out = nullptr;
    size_t outSize = 0;
    FormatRecordReader reader = nullptr;
    const char *record = nullptr;
    uint32_t length = 0;
    uint32_t cursor = 0;
    bool haveRecord = false;
    size_t pos = 1;
    uint32_t repeatLeft = 0;  // of the data item at pos; 0: not started
    std::vector<Level> stack;
    bool blankNull = false;
    int32_t scale = 0;
};

FormatParserState gFormatParserState;

int fail(int code) { return gFormatError = code; }

// ---- Checking the FORMAT ------------------------------------------------------

class FormatChecker {
  public:
    FormatChecker(const char *text, size_t n, std::vector<Item> &items) : f_(text), n_(n), items_(items) {}

    int check(size_t &reversion, uint32_t &widest)
    {
        skipBlanks();
        if (i_ == n_)
            return n_ == 0 ? kFmtBadStart : kFmtBlankLine;
        if (f_[i_] != '(')
            return kFmtBadStart;
        i_++;
        open(1);
        reversion = 1;
        for (;;) {
            skipBlanks();
            if (i_ == n_)
                return kFmtTooFewRight;
            const char c = f_[i_];
            if (c == ',') {
                i_++;
            } else if (c == ')') {
                i_++;
                if (!levels_.back().hasData)
                    return kFmtEmptyGroup;
                const size_t openItem = levels_.back().open;
                const int64_t width = levels_.back().width * items_[openItem].repeat;
                items_[openItem].match = items_.size();
                items_.push_back(Item{.op = Op::Close, .match = openItem});
                levels_.pop_back();
                if (levels_.empty()) {
                    skipBlanks();
                    if (i_ != n_)
                        return kFmtTrailing;
                    widest = static_cast<uint32_t>(widest_);
                    return 0;
                }
                if (levels_.size() == 1)
                    reversion = openItem;
                levels_.back().hasData = true;
                if (int rc = advance(width))
                    return rc;
            } else if (int rc = descriptor()) {
                return rc;
            }
        }
    }

  private:
    struct CheckLevel {
        size_t open;
        int64_t width;  // record columns the group spans once
        bool hasData;
    };

    void skipBlanks()
    {
        while (i_ < n_ && (f_[i_] == ' ' || f_[i_] == '\t'))
            i_++;
    }
    bool at(const char *word) const
    {
        const size_t k = std::strlen(word);
        return n_ - i_ >= k && std::memcmp(f_ + i_, word, k) == 0;
    }
    bool isDigit() const { return i_ < n_ && std::isdigit(static_cast<unsigned char>(f_[i_])); }
    // Digits at the cursor, if any; false when the number is too large.
    bool number(int64_t &value, bool &present)
    {
        value = 0;
        present = isDigit();
        while (isDigit()) {
            value = value * 10 + (f_[i_++] - '0');
            if (value > kMaxCount)
                return false;
        }
        return true;
    }
    int64_t column() const
    {
        int64_t c = 0;
        for (const CheckLevel &l : levels_)
            c += l.width;
        return c;
    }
    // Moves the record position of the innermost group by `delta` columns.
    int advance(int64_t delta)
    {
        levels_.back().width += delta;
        const int64_t c = column();
        if (c > kMaxRecordWidth)
            return kFmtSyntax;
        widest_ = std::max(widest_, c);
        return 0;
    }
    int open(uint32_t repeat)
    {
        if (levels_.size() == kMaxLevels)
            return kFmtNestingTooDeep;
        levels_.push_back(CheckLevel{items_.size(), 0, false});
        items_.push_back(Item{.op = Op::Open, .repeat = repeat});
        return 0;
    }
    int add(Op op, int32_t number = 0)
    {
        items_.push_back(Item{.op = op, .number = number});
        return 0;
    }

    int descriptor()
    {
        // Descriptors that take no number in front.
        static constexpr struct {
            const char *word;
            Op op;
        } kPlain[] = {{"/", Op::Slash}, {"BN", Op::BlankNull}, {"BZ", Op::BlankZero}, {"SP", Op::None},
                      {"SS", Op::None}, {"S", Op::None},        {"$", Op::None},         {":", Op::None}};
        for (const auto &p : kPlain) {
            if (!at(p.word))
                continue;
            i_ += std::strlen(p.word);
            if (p.op == Op::Slash) {
                // A new record: positions start again at its first column.
                for (CheckLevel &l : levels_)
                    l.width = 0;
            }
            return add(p.op);
        }
        int64_t n;
        bool present;
        if (at("TL") || at("TR")) {
            const bool left = f_[i_ + 1] == 'L';
            i_ += 2;
            if (!number(n, present))
                return kFmtSyntax;
            n = present ? n : 1;
            add(left ? Op::Left : Op::Right, static_cast<int32_t>(n));
            return advance(left ? -n : n);
        }
        if (f_[i_] == 'T') {
            i_++;
            if (!number(n, present) || !present || n == 0)
                return kFmtSyntax;
            add(Op::Tab, static_cast<int32_t>(n));
            return advance(n - 1 - column());
        }
        if (f_[i_] == '\'' || f_[i_] == '"')
            return literal();
        bool negative = false;
        const bool sign = f_[i_] == '+' || f_[i_] == '-';
        if (sign)
            negative = f_[i_++] == '-';
        if (!number(n, present))
            return kFmtSyntax;
        if (i_ == n_)
            return kFmtTooFewRight;
        const char c = f_[i_++];
        if (sign && (c != 'P' || !present))
            return kFmtSyntax;
        switch (c) {
        case 'P':
            if (!present)
                return kFmtSyntax;
            return add(Op::Scale, static_cast<int32_t>(negative ? -n : n));
        case 'X':
            add(Op::Right, static_cast<int32_t>(present ? n : 1));
            return advance(present ? n : 1);
        case '(':
            if (present && n == 0)
                return kFmtSyntax;
            return open(present ? static_cast<uint32_t>(n) : 1);
        case 'H':
            if (!present || n == 0 || static_cast<size_t>(n) > n_ - i_)
                return kFmtSyntax;
            i_ += static_cast<size_t>(n);
            return add(Op::None);
        case 'Q':
            if (present)
                return kFmtSyntax;
            return data(Field::Q, 1, 0, 0);
        default:
            break;
        }
        if (present && n == 0)
            return kFmtSyntax;
        const uint32_t repeat = present ? static_cast<uint32_t>(n) : 1;
        switch (c) {
        case 'A':
            if (!number(n, present) || (present && n == 0))
                return kFmtSyntax;
            return data(Field::A, repeat, present ? n : 0, 0);
        case 'L':
            return integerField(Field::L, repeat, false);
        case 'I':
            return integerField(Field::I, repeat, true);
        case 'O':
            return integerField(Field::O, repeat, true);
        case 'Z':
            return integerField(Field::Z, repeat, true);
        case 'F':
            return realField(Field::F, repeat, false);
        case 'E':
            if (i_ < n_ && f_[i_] == 'N') {
                i_++;
                return realField(Field::EN, repeat, true);
            }
            return realField(Field::E, repeat, true);
        case 'D':
            return realField(Field::D, repeat, true);
        case 'G':
            return realField(Field::G, repeat, true);
        default:
            return kFmtSyntax;
        }
    }

    int literal()
    {
        const char quote = f_[i_++];
        for (;;) {
            if (i_ == n_)
                return kFmtSyntax;
            if (f_[i_++] != quote)
                continue;
            if (i_ < n_ && f_[i_] == quote) {
                i_++;
                continue;
            }
            return add(Op::None);
        }
    }

    int data(Field field, uint32_t repeat, int64_t width, int64_t decimals)
    {
        items_.push_back(Item{.op = Op::Data, .field = field, .repeat = repeat,
                              .width = static_cast<uint32_t>(width), .decimals = static_cast<uint32_t>(decimals)});
        levels_.back().hasData = true;
        return advance(width * repeat);
    }

    int integerField(Field field, uint32_t repeat, bool minimumDigits)
    {
        int64_t w, m;
        bool present;
        if (!number(w, present) || !present || w == 0)
            return kFmtSyntax;
        if (minimumDigits && i_ < n_ && f_[i_] == '.') {
            i_++;
            if (!number(m, present) || !present)
                return kFmtSyntax;
        }
        return data(field, repeat, w, 0);
    }

    int realField(Field field, uint32_t repeat, bool exponentDigits)
    {
        int64_t w, d, e;
        bool present;
        if (!number(w, present) || !present || w == 0 || i_ == n_ || f_[i_++] != '.' || !number(d, present) ||
            !present)
            return kFmtSyntax;
        if (exponentDigits && i_ < n_ && f_[i_] == 'E') {
            i_++;
            if (!number(e, present) || !present)
                return kFmtSyntax;
        }
        if (w < d)
            return kFmtWidthBelowDecimals;
        return data(field, repeat, w, d);
    }

    const char *f_;
    size_t n_;
    size_t i_ = 0;
    std::vector<Item> &items_;
    std::vector<CheckLevel> levels_;
    int64_t widest_ = 0;
};

// ---- Reading ------------------------------------------------------------------

int newRecord()
{
    FormatParserState &s = gFormatParserState;
    const char *record = nullptr;
    uint32_t length = 0;
    if (int rc = s.reader(gLineLenReq, &record, &length))
        return fail(rc);
    s.record = record ? record : "";
    s.length = record ? length : 0;
    s.cursor = 0;
    s.haveRecord = true;
    return 0;
}

int moveCursor(int64_t to)
{
    FormatParserState &s = gFormatParserState;
    if (to < 0 || to > s.length)
        return fail(kFmtOutsideRecord);
    s.cursor = static_cast<uint32_t>(to);
    return 0;
}

// Carries out descriptors up to the next data item, which it returns.
int nextDataItem(const Item **item)
{
    FormatParserState &s = gFormatParserState;
    if (!s.haveRecord)
        if (int rc = newRecord())
            return rc;
    for (;;) {
        const Item &it = s.items[s.pos];
        int rc = 0;
        switch (it.op) {
        case Op::Data:
            if (s.repeatLeft == 0)
                s.repeatLeft = it.repeat;
            if (--s.repeatLeft == 0)
                s.pos++;
            *item = &it;
            return 0;
        case Op::Open:
            s.stack.push_back(Level{s.pos, it.repeat - 1});
            s.pos++;
            break;
        case Op::Close:
            if (it.match == 0) {
                // Format reversion: a new record, from the last group closed
                // inside the outermost parentheses.
                s.stack.assign(1, Level{0, 0});
                s.pos = s.reversion;
                rc = newRecord();
            } else if (s.stack.back().left > 0) {
                s.stack.back().left--;
                s.pos = it.match + 1;
            } else {
                s.stack.pop_back();
                s.pos++;
            }
            break;
        case Op::Slash:
            s.pos++;
            rc = newRecord();
            break;
        case Op::BlankNull:
        case Op::BlankZero:
            s.blankNull = it.op == Op::BlankNull;
            s.pos++;
            break;
        case Op::Scale:
            s.scale = it.number;
            s.pos++;
            break;
        case Op::Right:
        case Op::Left:
        case Op::Tab: {
            const int64_t to = it.op == Op::Tab   ? int64_t{it.number} - 1
                               : it.op == Op::Left ? int64_t{s.cursor} - it.number
                                                   : int64_t{s.cursor} + it.number;
            s.pos++;
            rc = moveCursor(to);
            break;
        }
        case Op::None:
            s.pos++;
            break;
        }
        if (rc)
            return rc;
    }
}

int put(const std::string &text)
{
    FormatParserState &s = gFormatParserState;
    if (text.size() + 1 > s.outSize)
        return fail(kFmtOutputTooSmall);
    std::memcpy(s.out, text.data(), text.size());
    s.out[text.size()] = '\0';
    return 0;
}

// The field of `width` columns at the cursor (blanks beyond the record).
std::string takeField(uint32_t width)
{
    FormatParserState &s = gFormatParserState;
    std::string field(width, ' ');
    if (s.cursor < s.length)
        std::memcpy(field.data(), s.record + s.cursor, std::min<uint32_t>(width, s.length - s.cursor));
    s.cursor = static_cast<uint32_t>(std::min<uint64_t>(uint64_t{s.cursor} + width, s.length));
    return field;
}

bool digitOf(char c, Field field)
{
    switch (field) {
    case Field::O:
        return c >= '0' && c <= '7';
    case Field::Z:
        return std::isxdigit(static_cast<unsigned char>(c)) != 0;
    default:
        return std::isdigit(static_cast<unsigned char>(c)) != 0;
    }
}

int convertLogical(const std::string &f)
{
    size_t i = f.find_first_not_of(' ');
    if (i != std::string::npos && f[i] == '.')
        i++;
    if (i < f.size() && (f[i] == 'T' || f[i] == 't'))
        return put("T");
    if (i < f.size() && (f[i] == 'F' || f[i] == 'f'))
        return put("F");
    return fail(kFmtBadLogical);
}

int convertInteger(const std::string &f, Field field)
{
    const int code = field == Field::O ? kFmtBadOctal : field == Field::Z ? kFmtBadHex : kFmtBadInteger;
    const bool blankNull = gFormatParserState.blankNull;
    size_t i = f.find_first_not_of(' ');
    std::string sign, digits;
    if (i != std::string::npos && (f[i] == '-' || f[i] == '+'))
        sign = f[i++] == '-' ? "-" : "";
    for (; i < f.size(); i++) {
        const char c = f[i];
        if (c == ' ' && blankNull)
            break;
        if (c != ' ' && !digitOf(c, field))
            break;
        digits += c == ' ' ? '0' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    if (i < f.size() && f.find_first_not_of(' ', i) != std::string::npos)
        return fail(code);
    const size_t first = digits.find_first_not_of('0');
    digits = first == std::string::npos ? "0" : digits.substr(first);
    return put(sign + (field == Field::Z ? "0x" : "") + digits);
}

int convertReal(const std::string &f, uint32_t decimals)
{
    const FormatParserState &s = gFormatParserState;
    size_t i = f.find_first_not_of(' ');
    if (i == std::string::npos)
        i = f.size();
    std::string sign, whole, fraction, exponent;
    bool point = false, hasExponent = false;
    if (i < f.size() && (f[i] == '-' || f[i] == '+'))
        sign = f[i++] == '-' ? "-" : "";
    for (; i < f.size(); i++) {
        if (f[i] == ' ' && s.blankNull) {
            while (i < f.size() && f[i] == ' ')
                i++;
            break;
        }
        if (f[i] != ' ' && !std::isdigit(static_cast<unsigned char>(f[i])))
            break;
        whole += f[i] == ' ' ? '0' : f[i];
    }
    if (i < f.size() && f[i] == '.') {
        point = true;
        // Blanks in the fraction are zeros.
        for (i++; i < f.size() && (f[i] == ' ' || std::isdigit(static_cast<unsigned char>(f[i]))); i++)
            fraction += f[i] == ' ' ? '0' : f[i];
    }
    if (i < f.size() && (f[i] == 'E' || f[i] == 'D' || f[i] == '+' || f[i] == '-')) {
        hasExponent = true;
        if (f[i] == 'E' || f[i] == 'D')
            i++;
        if (i < f.size() && (f[i] == '+' || f[i] == '-'))
            exponent += f[i++];
        size_t digits = 0;
        for (; i < f.size() && std::isdigit(static_cast<unsigned char>(f[i])); i++, digits++)
            exponent += f[i];
        if (digits == 0)
            return fail(kFmtBadReal);
        if (digits > 5 || std::stol(exponent) > kMaxExponent || std::stol(exponent) < -kMaxExponent)
            return fail(kFmtExponentOverflow);
    }
    if (i < f.size() && f.find_first_not_of(' ', i) != std::string::npos)
        return fail(kFmtBadReal);
    if (!point) {
        // The last d digits are the fraction.
        if (whole.size() < decimals)
            whole.insert(0, decimals - whole.size(), '0');
        fraction = whole.substr(whole.size() - decimals);
        whole.resize(whole.size() - decimals);
    }
    std::string text = sign + whole + "." + fraction;
    if (hasExponent)
        text += "E" + exponent;
    else if (s.scale != 0)
        text += "E" + std::to_string(-s.scale);
    return put(text);
}

enum class Request { Text, Real, Integer };

int getItem(Request request)
{
    FormatParserState &s = gFormatParserState;
    if (s.items.empty() || !s.reader || !s.out)
        return fail(kFmtMissingArgument);
    const Item *item = nullptr;
    if (int rc = nextDataItem(&item))
        return rc;
    const Field field = item->field;
    const bool fits = request == Request::Text      ? field == Field::A
                      : request == Request::Integer ? (field == Field::I || field == Field::O || field == Field::Z ||
                                                       field == Field::L || field == Field::Q)
                                                    : (field == Field::F || field == Field::E || field == Field::EN ||
                                                       field == Field::D || field == Field::G);
    if (!fits)
        return fail(kFmtTypeMismatch);
    switch (field) {
    case Field::A:
        return fail(put(takeField(item->width ? item->width : s.length > s.cursor ? s.length - s.cursor : 0)));
    case Field::Q:
        return fail(put(std::to_string(s.length > s.cursor ? s.length - s.cursor : 0)));
    case Field::L:
        return fail(convertLogical(takeField(item->width)));
    case Field::I:
    case Field::O:
    case Field::Z:
        return fail(convertInteger(takeField(item->width), field));
    default:
        return fail(convertReal(takeField(item->width), item->decimals));
    }
}

}  // namespace

int initFormatParser(const char *format, size_t length, char *output, size_t outputSize, FormatRecordReader reader)
{
    FormatParserState &s = gFormatParserState;
    s = FormatParserState{};
    gLineLenReq = 0;
    if (!format || !output || outputSize == 0 || !reader)
        return fail(kFmtMissingArgument);
    s.out = output;
    s.outSize = outputSize;
    s.reader = reader;
    uint32_t widest = 0;
    FormatChecker checker(format, length, s.items);
    if (int rc = checker.check(s.reversion, widest)) {
        s.items.clear();
        return fail(rc);
    }
    gLineLenReq = widest;
    s.stack.assign(1, Level{0, 0});
    return fail(0);
}

int formatGetText() { return getItem(Request::Text); }
int formatGetRealText() { return getItem(Request::Real); }
int formatGetIntegerText() { return getItem(Request::Integer); }

const char *fortranFmtErrStr(int code, char *buffer, size_t size)
{
    static constexpr struct {
        int code;
        const char *text;
    } kFormatErrors[] = {
        {2, "Bad format specification: first character not '('."},
        {3, "Bad format specification: blank line."},
        {4, "Bad format specification: syntax error."},
        {5, "Bad format specification: unexpected characters after last ')' or parentheses imbalanced."},
        {6, "Bad format specification: too few right parentheses."},
        {8, "Bad format specification: must have some emiting field inside each () block."},
        {9, "Type mismatch between format field and program expectation."},
        {10, "End-of-file encountered while reading data."},
        {15, "Bad format specification: parenthesis nesting too deep (>10)."},
        {16, "Bad format specification: W < D in \"D\", \"E\", \"EN\", \"F\", or \"G\" field."},
        {17, "Data syntax error in \"L\" field."},
        {18, "Data syntax error in \"I\" field."},
        {19, "Data syntax error in \"O\" field."},
        {20, "Data syntax error in \"Z\" field."},
        {21, "Data syntax error in real field, exponent overflow."},
        {22, "Data syntax error in real field."},
    };
    for (const auto &e : kFormatErrors)
        if (e.code == code) {
            std::snprintf(buffer, size, "%s", e.text);
            return buffer;
        }
    std::snprintf(buffer, size, "Internal error %d in Fortran format parser.", code);
    return buffer;
}

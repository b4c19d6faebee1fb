#include "warehouse_types.h"

#include <rapidjson/encodedstream.h>
#include <rapidjson/error/en.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include <cfloat>
#include <charconv>
#include <cmath>
#include <limits>
#include <set>
#include <vector>

#include "diagnostics.h"
#include "spark_lexer.h"

namespace whemu {

namespace {

constexpr int64_t kMicrosPerSecond = 1000000;
constexpr int64_t kSecondsPerDay = 86400;
constexpr int64_t kMicrosPerDay = kMicrosPerSecond * kSecondsPerDay;

// ---- types ----------------------------------------------------------------

long typeParameter(Lexer& lexer) {
    const Token& t = lexer.cur();
    if (t.kind != TokenKind::Number || t.hasDot || t.hasExponent || t.suffix != 0 ||
        t.text.size() > 10) {
        lexer.syntaxError();
    }
    long value = 0;
    std::from_chars(t.text.data(), t.text.data() + t.text.size(), value);
    lexer.advance();
    return value;
}

// ---- calendar ---------------------------------------------------------------

int64_t daysFromCivil(int64_t y, int m, int d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void civilFromDays(int64_t z, int64_t& y, int& m, int& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = yoe + era * 400;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y += m <= 2;
}

// Appends `value` (0 or more) with at least `width` digits.
void putDigits(std::string& out, int64_t value, int width) {
    char digits[24];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value > 0 && n < 20);
    for (int i = n; i < width; ++i)
        out += '0';
    while (n > 0)
        out += digits[--n];
}

int daysInMonth(int64_t y, int m) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m == 2 && ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0))
        return 29;
    return days[m - 1];
}

std::string_view trimSpaces(std::string_view s) {
    while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ')
        s.remove_prefix(1);
    while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ')
        s.remove_suffix(1);
    return s;
}

bool digitsAt(std::string_view s, size_t& i, int minCount, int maxCount, int& value) {
    int count = 0;
    value = 0;
    while (i < s.size() && count < maxCount && s[i] >= '0' && s[i] <= '9') {
        value = value * 10 + (s[i] - '0');
        ++i;
        ++count;
    }
    return count >= minCount;
}

// yyyy[-[m]m[-[d]d]] at s[i..]; leaves i after the date.
bool parseDatePart(std::string_view s, size_t& i, int64_t& days) {
    int year = 0, month = 1, day = 1;
    if (!digitsAt(s, i, 4, 4, year) || year < 1)
        return false;
    if (i < s.size() && s[i] == '-') {
        ++i;
        if (!digitsAt(s, i, 1, 2, month))
            return false;
        if (i < s.size() && s[i] == '-') {
            ++i;
            if (!digitsAt(s, i, 1, 2, day))
                return false;
        }
    }
    if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month))
        return false;
    days = daysFromCivil(year, month, day);
    return true;
}

bool startsWithIgnoreCase(std::string_view s, size_t i, std::string_view word) {
    return s.size() - i >= word.size() && equalsIgnoreCase(s.substr(i, word.size()), word);
}

// Z, UTC, GMT, UT, +h, +hh:mm, +hhmm, +hh:mm:ss, UTC+hh:mm ... up to the end.
bool parseZone(std::string_view s, size_t i, int64_t& offsetSeconds) {
    offsetSeconds = 0;
    while (i < s.size() && s[i] == ' ')
        ++i;
    if (i == s.size())
        return true;
    if ((s[i] == 'Z' || s[i] == 'z') && i + 1 == s.size())
        return true;
    if (startsWithIgnoreCase(s, i, "UTC") || startsWithIgnoreCase(s, i, "GMT")) {
        i += 3;
    } else if (startsWithIgnoreCase(s, i, "UT")) {
        i += 2;
    }
    if (i == s.size())
        return true;
    if (s[i] != '+' && s[i] != '-')
        return false;
    const int sign = s[i] == '-' ? -1 : 1;
    ++i;
    int hours = 0, minutes = 0, seconds = 0;
    if (!digitsAt(s, i, 1, 2, hours))
        return false;
    if (i < s.size()) {
        if (s[i] == ':')
            ++i;
        if (!digitsAt(s, i, 2, 2, minutes))
            return false;
        if (i < s.size()) {
            if (s[i] == ':')
                ++i;
            if (!digitsAt(s, i, 2, 2, seconds))
                return false;
        }
    }
    if (i != s.size() || minutes > 59 || seconds > 59)
        return false;
    const int64_t total = hours * 3600 + minutes * 60 + seconds;
    if (total > 18 * 3600)
        return false;
    offsetSeconds = sign * total;
    return true;
}

// ---- numbers ------------------------------------------------------------------

bool parseInt64(std::string_view text, int64_t& value) {
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    if (text.empty())
        return false;
    const auto r = std::from_chars(text.data(), text.data() + text.size(), value);
    return r.ec == std::errc() && r.ptr == text.data() + text.size();
}

// A decimal or scientific number; out-of-range magnitudes become infinity or
// zero, as Java's parser gives them.
bool parseDoubleText(std::string_view text, double& value) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty() || !((text[0] >= '0' && text[0] <= '9') || text[0] == '.'))
        return false;
    const auto r =
        std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::general);
    if (r.ptr != text.data() + text.size())
        return false;
    if (r.ec == std::errc::result_out_of_range) {
        // Decide between overflow and underflow from the exponent's sign.
        const size_t e = text.find_first_of("eE");
        const bool tiny = e != std::string_view::npos && e + 1 < text.size() && text[e + 1] == '-';
        value = tiny ? 0.0 : std::numeric_limits<double>::infinity();
    } else if (r.ec != std::errc()) {
        return false;
    }
    if (negative)
        value = -value;
    return true;
}

// The value of a Double or Float literal, CAST results (NaN, Infinity)
// included.
bool literalDouble(const Literal& l, double& value) {
    if (l.text == "NaN") {
        value = std::numeric_limits<double>::quiet_NaN();
        return true;
    }
    if (l.text == "Infinity" || l.text == "-Infinity") {
        value = l.text[0] == '-' ? -std::numeric_limits<double>::infinity()
                                 : std::numeric_limits<double>::infinity();
        return true;
    }
    return parseDoubleText(l.text, value);
}

bool isSpecialDouble(const Literal& l) {
    return (l.kind == Literal::Double || l.kind == Literal::Float) &&
           (l.text == "NaN" || l.text == "Infinity" || l.text == "-Infinity");
}

// A string cast to DOUBLE: Java's number syntax (with an optional d/f suffix)
// plus the special words NaN, Infinity and inf in any case.
bool stringToDouble(std::string_view text, double& value) {
    text = trimSpaces(text);
    const std::string lower = toLowerAscii(text);
    if (lower == "nan" || lower == "+nan" || lower == "-nan") {
        value = std::numeric_limits<double>::quiet_NaN();
        return true;
    }
    if (lower == "inf" || lower == "+inf" || lower == "infinity" || lower == "+infinity") {
        value = std::numeric_limits<double>::infinity();
        return true;
    }
    if (lower == "-inf" || lower == "-infinity") {
        value = -std::numeric_limits<double>::infinity();
        return true;
    }
    if (!lower.empty() && (lower.back() == 'd' || lower.back() == 'f')) {
        text.remove_suffix(1);
    }
    return parseDoubleText(text, value);
}

// A string cast to an integer: sign, digits, and an optional fraction that is
// cut off.
bool stringToInt64(std::string_view text, int64_t& value) {
    text = trimSpaces(text);
    const size_t dot = text.find('.');
    std::string_view whole = text.substr(0, dot);
    if (dot != std::string_view::npos) {
        for (char c : text.substr(dot + 1)) {
            if (c < '0' || c > '9')
                return false;
        }
    }
    std::string_view digits = whole;
    if (!digits.empty() && (digits[0] == '+' || digits[0] == '-'))
        digits.remove_prefix(1);
    if (digits.empty())
        return false;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return false;
    }
    return parseInt64(whole, value);
}

// Digits and a power of ten: value = digits * 10^exponent.
bool splitDecimal(std::string_view text, bool& negative, std::string& digits, long& exponent) {
    negative = false;
    digits.clear();
    exponent = 0;
    size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    bool any = false;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        digits += text[i++];
        any = true;
    }
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            digits += text[i++];
            --exponent;
            any = true;
        }
    }
    if (!any)
        return false;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        bool expNegative = false;
        if (i < text.size() && (text[i] == '+' || text[i] == '-'))
            expNegative = text[i++] == '-';
        long e = 0;
        bool expDigits = false;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            if (e < 100000)
                e = e * 10 + (text[i] - '0');
            ++i;
            expDigits = true;
        }
        if (!expDigits)
            return false;
        exponent += expNegative ? -e : e;
    }
    return i == text.size();
}

// Rounds digits*10^exponent half up to `scale` places; false when the result
// needs more than `precision` digits.
bool roundDecimal(bool negative, const std::string& digits, long exponent, int precision, int scale,
                  std::string& out) {
    std::string n;
    const long shift = exponent + scale;
    if (shift >= 0) {
        if (shift > 100) {
            n = digits;
            n.erase(0, n.find_first_not_of('0'));
            if (!n.empty())
                return false;  // far too large
        } else {
            n = digits + std::string(static_cast<size_t>(shift), '0');
        }
    } else {
        const long cut = -shift;
        const long keep = static_cast<long>(digits.size()) - cut;
        char dropped = '0';
        if (keep >= 0) {
            n = digits.substr(0, static_cast<size_t>(keep));
            if (keep < static_cast<long>(digits.size()))
                dropped = digits[static_cast<size_t>(keep)];
        }
        if (dropped >= '5') {
            int i = static_cast<int>(n.size()) - 1;
            while (i >= 0 && n[static_cast<size_t>(i)] == '9')
                n[static_cast<size_t>(i--)] = '0';
            if (i < 0) {
                n.insert(n.begin(), '1');
            } else {
                ++n[static_cast<size_t>(i)];
            }
        }
    }
    n.erase(0, n.find_first_not_of('0'));
    if (static_cast<int>(n.size()) > precision)
        return false;
    const bool zero = n.empty();
    if (n.size() < static_cast<size_t>(scale) + 1)
        n.insert(0, scale + 1 - n.size(), '0');
    if (scale > 0)
        n.insert(n.size() - static_cast<size_t>(scale), 1, '.');
    out = (negative && !zero) ? "-" + n : n;
    return true;
}

// Byte offset of the code point number `count`.
size_t utf8Offset(std::string_view s, size_t count) {
    size_t seen = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
            if (seen == count)
                return i;
            ++seen;
        }
    }
    return s.size();
}

// ---- errors -------------------------------------------------------------------

const char* literalTypeName(const Literal& l) {
    switch (l.kind) {
        case Literal::Null:
            return "VOID";
        case Literal::Integer:
            return "BIGINT";
        case Literal::Decimal:
            return "DECIMAL";
        case Literal::Double:
            return "DOUBLE";
        case Literal::Float:
            return "FLOAT";
        case Literal::String:
            return "STRING";
        case Literal::Boolean:
            return "BOOLEAN";
        case Literal::Json:
            return "VARIANT";
        case Literal::Timestamp:
            return "TIMESTAMP";
        case Literal::Date:
            return "DATE";
    }
    return "UNKNOWN";
}

std::string where(const Column& column, std::string_view table) {
    return " (column " + quoted(column.name) + " of table " + quoted(table) + ")";
}

[[noreturn]] void invalidInput(const char* state, const Literal& l, const Column& column,
                               std::string_view table) {
    fail(state, kNativeRuntime,
         std::string("[CAST_INVALID_INPUT] The value '") + printable(l.text) + "' of the type \"" +
             literalTypeName(l) + "\" cannot be cast to \"" + column.type.text() +
             "\" because it is malformed. Correct the value as per the syntax, or change its "
             "target type." +
             where(column, table));
}

[[noreturn]] void overflow(const Literal& l, const Column& column, std::string_view table) {
    fail("22003", kNativeRuntime,
         std::string("[CAST_OVERFLOW] The value ") + printable(l.text) + " of the type \"" +
             literalTypeName(l) + "\" cannot be cast to \"" + column.type.text() +
             "\" due to an overflow." + where(column, table));
}

[[noreturn]] void cannotCast(const Literal& l, const Column& column, std::string_view table) {
    fail("42804", kNativeAnalysis,
         "[INCOMPATIBLE_DATA_FOR_TABLE.CANNOT_SAFELY_CAST] Cannot write incompatible data for "
         "the table " +
             quoted(table) + ": Cannot safely cast " + quoted(column.name) + " \"" +
             literalTypeName(l) + "\" to \"" + column.type.text() + "\".");
}

// ---- conversions per target type ------------------------------------------------

void toInteger(const Literal& l, const Column& column, std::string_view table, Stored& out) {
    int64_t v = 0;
    switch (l.kind) {
        case Literal::Integer:
            if (!parseInt64(l.text, v))
                overflow(l, column, table);
            break;
        case Literal::Decimal: {
            const size_t dot = l.text.find('.');
            std::string_view whole = std::string_view(l.text).substr(0, dot);
            if (whole.empty() || whole == "-" || whole == "+") {
                v = 0;
            } else if (!parseInt64(whole, v)) {
                overflow(l, column, table);
            }
            break;
        }
        case Literal::Double:
        case Literal::Float: {
            double d = 0;
            if (!literalDouble(l, d) || !(d >= -9223372036854775808.0) ||
                !(d < 9223372036854775808.0)) {
                overflow(l, column, table);
            }
            v = static_cast<int64_t>(d);
            break;
        }
        case Literal::String:
            if (!stringToInt64(l.text, v))
                invalidInput("22018", l, column, table);
            break;
        default:
            cannotCast(l, column, table);
    }
    int64_t low = std::numeric_limits<int64_t>::min(), high = std::numeric_limits<int64_t>::max();
    if (column.type.kind == TypeKind::Int) {
        low = std::numeric_limits<int32_t>::min();
        high = std::numeric_limits<int32_t>::max();
    } else if (column.type.kind == TypeKind::SmallInt) {
        low = std::numeric_limits<int16_t>::min();
        high = std::numeric_limits<int16_t>::max();
    } else if (column.type.kind == TypeKind::TinyInt) {
        low = std::numeric_limits<int8_t>::min();
        high = std::numeric_limits<int8_t>::max();
    }
    if (v < low || v > high) {
        if (l.kind == Literal::String)
            invalidInput("22018", l, column, table);
        overflow(l, column, table);
    }
    out.tag = Stored::Int;
    out.i = v;
}

void toFloating(const Literal& l, const Column& column, std::string_view table, Stored& out) {
    double d = 0;
    switch (l.kind) {
        case Literal::Integer:
        case Literal::Decimal:
        case Literal::Double:
        case Literal::Float:
            if (!literalDouble(l, d))
                invalidInput("22018", l, column, table);
            if (std::isinf(d) && !isSpecialDouble(l))
                overflow(l, column, table);
            break;
        case Literal::String:
            if (!stringToDouble(l.text, d))
                invalidInput("22018", l, column, table);
            break;
        default:
            cannotCast(l, column, table);
    }
    if (column.type.kind == TypeKind::Float || l.kind == Literal::Float) {
        if (std::isfinite(d) && std::fabs(d) > static_cast<double>(FLT_MAX)) {
            d = std::copysign(std::numeric_limits<double>::infinity(), d);
        } else {
            d = static_cast<double>(static_cast<float>(d));
        }
    }
    if (std::isnan(d)) {
        // SQLite would store NaN as NULL; keep it as text in the REAL column.
        out.tag = Stored::Text;
        out.s = "NaN";
        return;
    }
    out.tag = Stored::Real;
    out.d = d;
}

void toDecimal(const Literal& l, const Column& column, std::string_view table, Stored& out) {
    std::string_view text = l.text;
    switch (l.kind) {
        case Literal::Double:
        case Literal::Float:
            if (isSpecialDouble(l))
                overflow(l, column, table);
            break;
        case Literal::Integer:
        case Literal::Decimal:
            break;
        case Literal::String:
            text = trimSpaces(text);
            break;
        default:
            cannotCast(l, column, table);
    }
    bool negative = false;
    std::string digits;
    long exponent = 0;
    if (!splitDecimal(text, negative, digits, exponent))
        invalidInput("22018", l, column, table);
    if (!roundDecimal(negative, digits, exponent, column.type.precision, column.type.scale,
                      out.s)) {
        fail("22003", kNativeRuntime,
             "[NUMERIC_VALUE_OUT_OF_RANGE] " + printable(l.text) +
                 " cannot be represented as Decimal(" + std::to_string(column.type.precision) +
                 ", " + std::to_string(column.type.scale) + ")." + where(column, table));
    }
    out.tag = Stored::Text;
}

void toBoolean(const Literal& l, const Column& column, std::string_view table, Stored& out) {
    if (l.kind == Literal::Boolean) {
        out.tag = Stored::Int;
        out.i = l.boolean ? 1 : 0;
        return;
    }
    if (l.kind != Literal::String)
        cannotCast(l, column, table);
    const std::string v = toLowerAscii(trimSpaces(l.text));
    out.tag = Stored::Int;
    if (v == "t" || v == "true" || v == "y" || v == "yes" || v == "1") {
        out.i = 1;
    } else if (v == "f" || v == "false" || v == "n" || v == "no" || v == "0") {
        out.i = 0;
    } else {
        invalidInput("22018", l, column, table);
    }
}

void toTimestamp(const Literal& l, const Column& column, std::string_view table, Stored& out) {
    int64_t micros = 0;
    if (l.kind == Literal::String || l.kind == Literal::Timestamp) {
        if (!parseTimestamp(l.text, micros))
            invalidInput("22007", l, column, table);
    } else if (l.kind == Literal::Date) {
        int64_t days = 0;
        if (!parseDate(l.text, days))
            invalidInput("22007", l, column, table);
        micros = days * kMicrosPerDay;
    } else {
        cannotCast(l, column, table);
    }
    out.tag = Stored::Text;
    out.s = formatTimestamp(micros);
}

void toDate(const Literal& l, const Column& column, std::string_view table, Stored& out) {
    int64_t days = 0;
    if (l.kind == Literal::String || l.kind == Literal::Date) {
        if (!parseDate(l.text, days))
            invalidInput("22007", l, column, table);
    } else if (l.kind == Literal::Timestamp) {
        int64_t micros = 0;
        if (!parseTimestamp(l.text, micros))
            invalidInput("22007", l, column, table);
        days =
            micros >= 0 ? micros / kMicrosPerDay : -((-micros + kMicrosPerDay - 1) / kMicrosPerDay);
    } else {
        cannotCast(l, column, table);
    }
    out.tag = Stored::Text;
    out.s = formatDate(days);
}

std::string decimalText(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    std::string s(text);
    if (!s.empty() && s.back() == '.')
        s.pop_back();
    if (s.empty() || s[0] == '.')
        s.insert(0, "0");
    // Leading zeros of the whole part go, but one digit stays.
    const size_t wholeEnd = std::min(s.find('.'), s.size());
    size_t zeros = 0;
    while (zeros + 1 < wholeEnd && s[zeros] == '0')
        ++zeros;
    s.erase(0, zeros);
    return negative ? "-" + s : s;
}

void toText(const Literal& l, const Column& column, std::string_view table, Stored& out) {
    out.tag = Stored::Text;
    switch (l.kind) {
        case Literal::String:
            out.s = l.text;
            break;
        case Literal::Integer: {
            int64_t v = 0;
            out.s = parseInt64(l.text, v) ? std::to_string(v) : decimalText(l.text);
            break;
        }
        case Literal::Decimal:
            out.s = decimalText(l.text);
            break;
        case Literal::Double:
        case Literal::Float: {
            double d = 0;
            literalDouble(l, d);
            out.s = l.kind == Literal::Float ? formatFloat(static_cast<float>(d)) : formatDouble(d);
            break;
        }
        case Literal::Boolean:
            out.s = l.boolean ? "true" : "false";
            break;
        case Literal::Timestamp: {
            int64_t micros = 0;
            if (!parseTimestamp(l.text, micros))
                invalidInput("22007", l, column, table);
            out.s = formatTimestamp(micros);
            break;
        }
        case Literal::Date: {
            int64_t days = 0;
            if (!parseDate(l.text, days))
                invalidInput("22007", l, column, table);
            out.s = formatDate(days);
            break;
        }
        default:
            cannotCast(l, column, table);
    }
    if (column.type.kind != TypeKind::Varchar)
        return;
    const size_t limit = static_cast<size_t>(column.type.length);
    if (utf8Length(out.s) <= limit)
        return;
    // Trailing blanks beyond the limit are dropped; anything else is an error.
    const size_t cut = utf8Offset(out.s, limit);
    if (out.s.find_first_not_of(' ', cut) == std::string::npos) {
        out.s.resize(cut);
        return;
    }
    fail("22001", kNativeRuntime,
         "[EXCEED_LIMIT_LENGTH] Exceeds char/varchar type length limitation: " +
             std::to_string(column.type.length) + "." + where(column, table));
}

void toVariant(const Literal& l, const Column& column, std::string_view table, Stored& out) {
    if (l.kind != Literal::Json)
        cannotCast(l, column, table);
    out.tag = Stored::Text;
    out.s = checkedJson(l.text);
}

std::string scientificParts(const char* begin, const char* end, bool& negative, std::string& digits,
                            int& exponent) {
    std::string_view s(begin, static_cast<size_t>(end - begin));
    negative = !s.empty() && s[0] == '-';
    if (negative)
        s.remove_prefix(1);
    const size_t e = s.find('e');
    std::string_view mantissa = s.substr(0, e);
    digits.clear();
    for (char c : mantissa) {
        if (c != '.')
            digits += c;
    }
    exponent = 0;
    std::from_chars(s.data() + e + 1 + (s[e + 1] == '+'), s.data() + s.size(), exponent);
    return digits;
}

// Java's Double.toString layout for shortest round-trip digits.
std::string javaLayout(bool negative, const std::string& digits, int exponent, double magnitude) {
    std::string out = negative ? "-" : "";
    if (magnitude >= 1e-3 && magnitude < 1e7) {
        if (exponent >= 0) {
            std::string whole = digits.substr(0, std::min(digits.size(), size_t(exponent) + 1));
            if (whole.size() < size_t(exponent) + 1)
                whole.append(size_t(exponent) + 1 - whole.size(), '0');
            std::string frac =
                digits.size() > size_t(exponent) + 1 ? digits.substr(size_t(exponent) + 1) : "0";
            out += whole + "." + frac;
        } else {
            out += "0." + std::string(size_t(-exponent - 1), '0') + digits;
        }
    } else {
        out += digits.substr(0, 1) + "." + (digits.size() > 1 ? digits.substr(1) : "0") + "E" +
               std::to_string(exponent);
    }
    return out;
}

}  // namespace

// ---- WarehouseType ---------------------------------------------------------------

std::string WarehouseType::text() const {
    switch (kind) {
        case TypeKind::BigInt:
            return "BIGINT";
        case TypeKind::Int:
            return "INT";
        case TypeKind::SmallInt:
            return "SMALLINT";
        case TypeKind::TinyInt:
            return "TINYINT";
        case TypeKind::Double:
            return "DOUBLE";
        case TypeKind::Float:
            return "FLOAT";
        case TypeKind::Boolean:
            return "BOOLEAN";
        case TypeKind::Date:
            return "DATE";
        case TypeKind::Decimal:
            return "DECIMAL(" + std::to_string(precision) + "," + std::to_string(scale) + ")";
        case TypeKind::Timestamp:
            return "TIMESTAMP";
        case TypeKind::String:
            return "STRING";
        case TypeKind::Varchar:
            return "VARCHAR(" + std::to_string(length) + ")";
        case TypeKind::Variant:
            return "VARIANT";
    }
    return "STRING";
}

const char* WarehouseType::dataType() const {
    switch (kind) {
        case TypeKind::BigInt:
            return "LONG";
        case TypeKind::Int:
            return "INT";
        case TypeKind::SmallInt:
            return "SHORT";
        case TypeKind::TinyInt:
            return "BYTE";
        case TypeKind::Double:
            return "DOUBLE";
        case TypeKind::Float:
            return "FLOAT";
        case TypeKind::Boolean:
            return "BOOLEAN";
        case TypeKind::Date:
            return "DATE";
        case TypeKind::Decimal:
            return "DECIMAL";
        case TypeKind::Timestamp:
            return "TIMESTAMP";
        case TypeKind::String:
        case TypeKind::Varchar:
            return "STRING";
        case TypeKind::Variant:
            return "VARIANT";
    }
    return "STRING";
}

std::string WarehouseType::fullDataType() const {
    return toLowerAscii(text());
}

const char* WarehouseType::storageType() const {
    switch (kind) {
        case TypeKind::BigInt:
        case TypeKind::Int:
        case TypeKind::SmallInt:
        case TypeKind::TinyInt:
            return "INTEGER";
        case TypeKind::Boolean:
            return "BOOLINT";  // INTEGER affinity, printed as true/false
        case TypeKind::Double:
            return "REAL";
        case TypeKind::Float:
            return "FLOAT";  // REAL affinity, printed as a float
        default:
            return "TEXT";
    }
}

WarehouseType parseType(Lexer& lexer) {
    const Token& t = lexer.cur();
    if (t.kind != TokenKind::Word)
        lexer.syntaxError();
    const std::string word = toLowerAscii(t.text);
    WarehouseType type;
    if (word == "bigint" || word == "long") {
        type.kind = TypeKind::BigInt;
    } else if (word == "int" || word == "integer") {
        type.kind = TypeKind::Int;
    } else if (word == "smallint" || word == "short") {
        type.kind = TypeKind::SmallInt;
    } else if (word == "tinyint" || word == "byte") {
        type.kind = TypeKind::TinyInt;
    } else if (word == "double") {
        type.kind = TypeKind::Double;
    } else if (word == "float" || word == "real") {
        type.kind = TypeKind::Float;
    } else if (word == "boolean") {
        type.kind = TypeKind::Boolean;
    } else if (word == "date") {
        type.kind = TypeKind::Date;
    } else if (word == "decimal" || word == "dec" || word == "numeric") {
        type.kind = TypeKind::Decimal;
        type.precision = 10;
    } else if (word == "timestamp" || word == "timestamp_ltz") {
        type.kind = TypeKind::Timestamp;
    } else if (word == "string") {
        type.kind = TypeKind::String;
    } else if (word == "varchar") {
        type.kind = TypeKind::Varchar;
    } else if (word == "variant") {
        type.kind = TypeKind::Variant;
    } else {
        fail("0A000", kNativeAnalysis,
             "[UNSUPPORTED_DATATYPE] Unsupported data type \"" + printable(t.text) +
                 "\" (the emulator knows BIGINT, INT, SMALLINT, TINYINT, DOUBLE, FLOAT, BOOLEAN, "
                 "DATE, DECIMAL, TIMESTAMP, STRING, VARCHAR and VARIANT).");
    }
    lexer.advance();
    if (type.kind == TypeKind::Varchar) {
        if (!lexer.acceptPunct('(')) {
            fail("42601", kNativeAnalysis,
                 "[DATATYPE_MISSING_SIZE] DataType \"VARCHAR\" requires a length parameter, for "
                 "example \"VARCHAR(10)\".");
        }
        type.length = typeParameter(lexer);
        lexer.expectPunct(')');
        if (type.length < 1 || type.length > 2147483647L) {
            fail("42601", kNativeAnalysis,
                 "[INVALID_VARCHAR_LENGTH] VARCHAR length " + std::to_string(type.length) +
                     " is out of range.");
        }
    } else if (type.kind == TypeKind::Decimal && lexer.acceptPunct('(')) {
        const long precision = typeParameter(lexer);
        long scale = 0;
        if (lexer.acceptPunct(','))
            scale = typeParameter(lexer);
        lexer.expectPunct(')');
        if (precision < 1 || precision > 38 || scale > precision) {
            fail("22003", kNativeAnalysis,
                 "[DECIMAL_PRECISION_EXCEEDS_MAX_PRECISION] DECIMAL(" + std::to_string(precision) +
                     "," + std::to_string(scale) +
                     ") is not valid: precision must be 1 to 38 and scale at most the precision.");
        }
        type.precision = static_cast<int>(precision);
        type.scale = static_cast<int>(scale);
    }
    return type;
}

WarehouseType parseTypeText(std::string_view text) {
    Lexer lexer(text);
    WarehouseType type = parseType(lexer);
    lexer.expectStatementEnd();
    return type;
}

// ---- values ------------------------------------------------------------------------

void storeValue(const Literal& l, const Column& column, std::string_view table, Stored& out) {
    if (l.kind == Literal::Null) {
        if (!column.nullable) {
            fail("23502", kNativeRuntime,
                 "[DELTA_NOT_NULL_CONSTRAINT_VIOLATED] NOT NULL constraint violated for column: " +
                     printable(column.name) + "." + where(column, table));
        }
        out.tag = Stored::Null;
        return;
    }
    switch (column.type.kind) {
        case TypeKind::BigInt:
        case TypeKind::Int:
        case TypeKind::SmallInt:
        case TypeKind::TinyInt:
            toInteger(l, column, table, out);
            return;
        case TypeKind::Double:
        case TypeKind::Float:
            toFloating(l, column, table, out);
            return;
        case TypeKind::Decimal:
            toDecimal(l, column, table, out);
            return;
        case TypeKind::Boolean:
            toBoolean(l, column, table, out);
            return;
        case TypeKind::Timestamp:
            toTimestamp(l, column, table, out);
            return;
        case TypeKind::Date:
            toDate(l, column, table, out);
            return;
        case TypeKind::String:
        case TypeKind::Varchar:
            toText(l, column, table, out);
            return;
        case TypeKind::Variant:
            toVariant(l, column, table, out);
            return;
    }
}

std::string castToDouble(const Literal& operand, const WarehouseType& type) {
    double d = 0;
    bool ok = false;
    if (operand.kind == Literal::String) {
        ok = stringToDouble(operand.text, d);
    } else {
        ok = literalDouble(operand, d);
    }
    if (!ok) {
        fail("22018", kNativeRuntime,
             "[CAST_INVALID_INPUT] The value '" + printable(operand.text) + "' of the type \"" +
                 literalTypeName(operand) + "\" cannot be cast to \"" + type.text() +
                 "\" because it is malformed. Correct the value as per the syntax, or change its "
                 "target type.");
    }
    if (type.kind == TypeKind::Float)
        return formatFloat(static_cast<float>(d));
    return formatDouble(d);
}

namespace {

constexpr size_t kMaxVariantBytes = 16 * 1024 * 1024;

// Reads a JSON text and notes the first object that names a key twice. Keeps
// one set of keys per open object, on the heap, so deep nesting is safe.
struct DuplicateKeyFinder : rapidjson::BaseReaderHandler<rapidjson::UTF8<>, DuplicateKeyFinder> {
    std::vector<std::set<std::string>> open;
    std::string duplicate;

    bool StartObject() {
        open.emplace_back();
        return true;
    }
    bool Key(const char* text, rapidjson::SizeType length, bool) {
        if (!open.back().emplace(text, length).second && duplicate.empty())
            duplicate.assign(text, length);
        return true;
    }
    bool EndObject(rapidjson::SizeType) {
        open.pop_back();
        return true;
    }
};

[[noreturn]] void malformedJson(std::string_view json, const std::string& why) {
    fail("22023", kNativeRuntime,
         "[MALFORMED_RECORD_IN_PARSING.WITHOUT_SUGGESTION] Malformed records are detected in "
         "record parsing: parse_json('" +
             printable(json) + "'): " + why + ".");
}

}  // namespace

std::string checkedJson(std::string_view json) {
    rapidjson::MemoryStream memory(json.data(), json.size());
    rapidjson::EncodedInputStream<rapidjson::UTF8<>, rapidjson::MemoryStream> input(memory);
    DuplicateKeyFinder handler;
    rapidjson::Reader reader;
    const rapidjson::ParseResult result =
        reader.Parse<rapidjson::kParseValidateEncodingFlag | rapidjson::kParseIterativeFlag>(
            input, handler);
    if (result.IsError()) {
        malformedJson(json, std::string(rapidjson::GetParseError_En(result.Code())) + " (offset " +
                                std::to_string(result.Offset()) + ")");
    }
    if (!handler.duplicate.empty()) {
        fail("22023", kNativeRuntime,
             "[VARIANT_DUPLICATE_KEY] Failed to build variant because of a duplicate object key `" +
                 printable(handler.duplicate) + "` in parse_json('" + printable(json) + "').");
    }
    std::string out;
    out.reserve(json.size());
    bool inString = false, escaped = false;
    for (char c : json) {
        if (inString) {
            out += c;
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c != ' ' && c != '\t' && c != '\n' && c != '\r') {
            out += c;
            inString = c == '"';
        }
    }
    if (out.size() > kMaxVariantBytes) {
        fail("22023", kNativeRuntime,
             "[VARIANT_SIZE_LIMIT] Cannot build variant bigger than 16.0 MiB in parse_json (the "
             "value has " +
                 std::to_string(out.size()) + " bytes).");
    }
    return out;
}

bool parseTimestamp(std::string_view text, int64_t& microsUtc) {
    const std::string_view s = trimSpaces(text);
    size_t i = 0;
    int64_t days = 0;
    if (!parseDatePart(s, i, days))
        return false;
    int hour = 0, minute = 0, second = 0;
    int64_t fraction = 0, offset = 0;
    if (i < s.size()) {
        if (s[i] != ' ' && s[i] != 'T')
            return false;
        ++i;
        if (i < s.size()) {
            if (!digitsAt(s, i, 1, 2, hour))
                return false;
            if (i >= s.size() || s[i] != ':')
                return false;
            ++i;
            if (!digitsAt(s, i, 1, 2, minute))
                return false;
            if (i < s.size() && s[i] == ':') {
                ++i;
                if (!digitsAt(s, i, 1, 2, second))
                    return false;
                if (i < s.size() && s[i] == '.') {
                    ++i;
                    int count = 0;
                    while (i < s.size() && s[i] >= '0' && s[i] <= '9' && count < 9) {
                        if (count < 6)
                            fraction = fraction * 10 + (s[i] - '0');
                        ++i;
                        ++count;
                    }
                    if (count == 0)
                        return false;
                    for (; count < 6; ++count)
                        fraction *= 10;
                }
            }
            if (hour > 23 || minute > 59 || second > 59)
                return false;
            if (!parseZone(s, i, offset))
                return false;
        }
    }
    const int64_t seconds = days * kSecondsPerDay + hour * 3600 + minute * 60 + second - offset;
    const int64_t micros = seconds * kMicrosPerSecond + fraction;
    const int64_t low = daysFromCivil(1, 1, 1) * kMicrosPerDay;
    const int64_t high = daysFromCivil(10000, 1, 1) * kMicrosPerDay;
    if (micros < low || micros >= high)
        return false;
    microsUtc = micros;
    return true;
}

std::string formatTimestamp(int64_t micros) {
    int64_t days = micros / kMicrosPerDay;
    int64_t rest = micros % kMicrosPerDay;
    if (rest < 0) {
        rest += kMicrosPerDay;
        --days;
    }
    std::string text = formatDate(days);
    const int64_t secondOfDay = rest / kMicrosPerSecond;
    text += ' ';
    putDigits(text, secondOfDay / 3600, 2);
    text += ':';
    putDigits(text, secondOfDay / 60 % 60, 2);
    text += ':';
    putDigits(text, secondOfDay % 60, 2);
    text += '.';
    putDigits(text, rest % kMicrosPerSecond, 6);
    return text;
}

bool parseDate(std::string_view text, int64_t& days) {
    const std::string_view s = trimSpaces(text);
    size_t i = 0;
    if (!parseDatePart(s, i, days))
        return false;
    // Anything after a blank or a T (a time, a zone) is ignored, as the
    // warehouse's cast to DATE does.
    return i == s.size() || s[i] == ' ' || s[i] == 'T';
}

std::string formatDate(int64_t days) {
    int64_t y = 0;
    int m = 0, d = 0;
    civilFromDays(days, y, m, d);
    std::string text;
    text.reserve(26);
    putDigits(text, y, 4);
    text += '-';
    putDigits(text, m, 2);
    text += '-';
    putDigits(text, d, 2);
    return text;
}

std::string formatDouble(double value) {
    if (std::isnan(value))
        return "NaN";
    if (std::isinf(value))
        return value > 0 ? "Infinity" : "-Infinity";
    if (value == 0)
        return std::signbit(value) ? "-0.0" : "0.0";
    char buffer[64];
    const auto r =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    bool negative = false;
    std::string digits;
    int exponent = 0;
    scientificParts(buffer, r.ptr, negative, digits, exponent);
    return javaLayout(negative, digits, exponent, std::fabs(value));
}

std::string formatFloat(float value) {
    if (std::isnan(value))
        return "NaN";
    if (std::isinf(value))
        return value > 0 ? "Infinity" : "-Infinity";
    if (value == 0)
        return std::signbit(value) ? "-0.0" : "0.0";
    char buffer[64];
    const auto r =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    bool negative = false;
    std::string digits;
    int exponent = 0;
    scientificParts(buffer, r.ptr, negative, digits, exponent);
    return javaLayout(negative, digits, exponent, std::fabs(static_cast<double>(value)));
}

}  // namespace whemu

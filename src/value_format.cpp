#include "value_format.h"

#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "json_text.h"
#include "number_text.h"
#include "text_util.h"

namespace {

// Bytes a literal needs beyond the character itself.
inline size_t escapeExtra(char c) {
    return static_cast<size_t>(c == '\\') + static_cast<size_t>(c == '\'') +
           5 * static_cast<size_t>(c == '\0');
}

// True when one of the eight bytes is a backslash, an apostrophe or a NUL.
inline bool mayNeedEscape(uint64_t word) {
    constexpr uint64_t kOnes = 0x0101010101010101ULL;
    constexpr uint64_t kHighs = 0x8080808080808080ULL;
    const auto hasZeroByte = [](uint64_t w) { return (w - kOnes) & ~w & kHighs; };
    return (hasZeroByte(word) | hasZeroByte(word ^ (kOnes * '\\')) |
            hasZeroByte(word ^ (kOnes * '\''))) != 0;
}

// True when the text is one whole JSON document (any root value).
bool isJsonDocument(const std::string& text) {
    // A raw NUL is never valid JSON, and the reader would take it for the end.
    if (text.empty() || text.find('\0') != std::string::npos)
        return false;
    // Iterative parsing: a value nested a million levels deep must not exhaust
    // the stack.
    rapidjson::MemoryStream stream(text.data(), text.size());
    rapidjson::BaseReaderHandler<> ignore;
    rapidjson::Reader reader;
    return !reader.Parse<rapidjson::kParseIterativeFlag>(stream, ignore).IsError();
}

// Length of the well-formed UTF-8 sequence at text[i] (no overlong forms, no
// surrogates, nothing above U+10FFFF); 0 when there is none.
size_t utf8SequenceAt(const std::string& text, size_t i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80)
        return 1;
    size_t length;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        if (c == 0xE0)
            low = 0xA0;
        else if (c == 0xED)
            high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        if (c == 0xF0)
            low = 0x90;
        else if (c == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    if (i + length > text.size())
        return 0;
    const unsigned char second = static_cast<unsigned char>(text[i + 1]);
    if (second < low || second > high)
        return 0;
    for (size_t k = 2; k < length; ++k) {
        if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
            return 0;
    }
    return length;
}

bool isUtf8(const std::string& text) {
    size_t i = 0;
    while (i < text.size()) {
        // Eight ASCII bytes at a time.
        if (i + 8 <= text.size()) {
            uint64_t word;
            std::memcpy(&word, text.data() + i, sizeof word);
            if ((word & 0x8080808080808080ULL) == 0) {
                i += 8;
                continue;
            }
        }
        const size_t length = utf8SequenceAt(text, i);
        if (length == 0)
            return false;
        i += length;
    }
    return true;
}

// The text with every byte that does not belong to a well-formed UTF-8
// sequence replaced by U+FFFD.
std::string utf8Repaired(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 16);
    size_t i = 0;
    while (i < text.size()) {
        const size_t length = utf8SequenceAt(text, i);
        if (length == 0) {
            out.append("\xEF\xBF\xBD", 3);
            ++i;
        } else {
            out.append(text, i, length);
            i += length;
        }
    }
    return out;
}

// The text as a JSON string value.
std::string jsonStringOf(const std::string& text) {
    std::string json;
    json.reserve(text.size() + 2);
    appendJsonString(json, text);
    return json;
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Optional sign, digits, optional fraction (a point and digits), optional
// exponent (e or E, optional sign, digits); nothing else.
bool isPlainNumber(const std::string& text) {
    size_t i = 0;
    const size_t n = text.size();
    if (i < n && (text[i] == '+' || text[i] == '-'))
        ++i;
    const size_t intStart = i;
    while (i < n && isDigit(text[i]))
        ++i;
    if (i == intStart)
        return false;
    if (i < n && text[i] == '.') {
        ++i;
        const size_t fracStart = i;
        while (i < n && isDigit(text[i]))
            ++i;
        if (i == fracStart)
            return false;
    }
    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < n && (text[i] == '+' || text[i] == '-'))
            ++i;
        const size_t expStart = i;
        while (i < n && isDigit(text[i]))
            ++i;
        if (i == expStart)
            return false;
    }
    return i == n;
}

bool isKeywordValue(const std::string& text) {
    return equalsIgnoringAsciiCase(text, "null") || equalsIgnoringAsciiCase(text, "true") ||
           equalsIgnoringAsciiCase(text, "false");
}

// Appends the parse_json call that stores `value` in a VARIANT column. The
// warehouse keeps a plain string literal as a string, not as a structured
// value: structured values go through parse_json. A text that is not JSON (a
// text datapoint arriving in a column made for structured values) would fail
// the whole batch in parse_json; it goes in as a JSON string instead, so it
// arrives unchanged. The warehouse reads JSON only as UTF-8: a byte that is
// not (noise from a serial line in a text) would make it refuse the batch on
// every resend, so such bytes become U+FFFD here.
void appendVariant(std::string& out, const std::string& value) {
    std::string repaired;
    const std::string& text = isUtf8(value) ? value : (repaired = utf8Repaired(value));
    out.append("parse_json(");
    appendSparkLiteral(out, isJsonDocument(text) ? text : jsonStringOf(text));
    out.push_back(')');
}

// Number of UTF-8 characters in the text (bytes that do not start one are
// not counted, so a text of bytes that are not UTF-8 counts them each once).
size_t utf8Length(const std::string& text) {
    size_t count = 0;
    for (char c : text)
        count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return count;
}

// Returns true iff the text holds at most `limit` characters; 0 is no limit.
bool withinLength(const std::string& text, int limit) {
    if (limit <= 0 || text.size() <= static_cast<size_t>(limit))
        return true;
    return utf8Length(text) <= static_cast<size_t>(limit);
}

bool readInteger(const std::string& text, int64_t* value) {
    const char* end = text.data() + text.size();
    auto result = std::from_chars(text.data(), end, *value);
    return result.ec == std::errc() && result.ptr == end;
}

// Returns true iff a plain number's digits fit DECIMAL(precision, scale):
// at most precision - scale before the point, at most scale after it
// (trailing zeros after the point do not count).
bool fitsDecimal(const std::string& text, int precision, int scale) {
    if (!isPlainNumber(text) || text.find_first_of("eE") != std::string::npos)
        return false;
    size_t i = (text[0] == '-' || text[0] == '+') ? 1 : 0;
    while (i + 1 < text.size() && text[i] == '0' && text[i + 1] != '.')
        ++i;  // leading zeros
    const size_t point = text.find('.', i);
    const size_t integerDigits = (point == std::string::npos ? text.size() : point) - i;
    size_t fractionDigits = 0;
    if (point != std::string::npos) {
        size_t last = text.size();
        while (last > point + 1 && text[last - 1] == '0')
            --last;
        fractionDigits = last - point - 1;
    }
    const bool zero = integerDigits == 1 && text[i] == '0';
    return static_cast<int>(fractionDigits) <= scale &&
           (zero || static_cast<int>(integerDigits) <= precision - scale);
}

// Returns true iff the text is one of the words a non-finite double is
// written as (the words parseDoubleText reads).
bool isNonFinite(const std::string& text) {
    double number = 0;
    return parseDoubleText(text, &number) && !std::isfinite(number);
}

ValueFit fitInteger(const std::string& value, const ColumnType& column) {
    int64_t number = 0;
    if (!readInteger(value, &number))
        return ValueFit::Rescue;
    switch (column.kind) {
        case ColumnType::Kind::TinyInt:
        case ColumnType::Kind::SmallInt:
        case ColumnType::Kind::Int:
        case ColumnType::Kind::BigInt:
            return number >= column.integerMin() && number <= column.integerMax()
                       ? ValueFit::Exact
                       : ValueFit::Rescue;
        case ColumnType::Kind::Double:
        case ColumnType::Kind::Float: {
            const int64_t limit =
                column.kind == ColumnType::Kind::Double ? (int64_t{1} << 53) : (int64_t{1} << 24);
            return number >= -limit && number <= limit ? ValueFit::Exact : ValueFit::Rescue;
        }
        case ColumnType::Kind::Decimal:
            return fitsDecimal(value, column.length, column.scale) ? ValueFit::Exact
                                                                   : ValueFit::Rescue;
        case ColumnType::Kind::String:
        case ColumnType::Kind::Varchar:
            return withinLength(value, column.length) ? ValueFit::Exact : ValueFit::Rescue;
        case ColumnType::Kind::Variant:
            return ValueFit::Exact;
        default:
            return ValueFit::Rescue;
    }
}

ValueFit fitDouble(const std::string& value, const ColumnType& column) {
    if (column.kind == ColumnType::Kind::Double)  // the common case, without reading the number
        return isPlainNumber(value) || isNonFinite(value) ? ValueFit::Exact : ValueFit::Rescue;
    double number = 0;
    if (!parseDoubleText(value, &number))
        return ValueFit::Rescue;
    switch (column.kind) {
        case ColumnType::Kind::Float:
            return !std::isfinite(number) ||
                           static_cast<double>(static_cast<float>(number)) == number
                       ? ValueFit::Exact
                       : ValueFit::Rescue;
        case ColumnType::Kind::TinyInt:
        case ColumnType::Kind::SmallInt:
        case ColumnType::Kind::Int:
        case ColumnType::Kind::BigInt:
            // 2^63 is the first double above the BIGINT range.
            if (!std::isfinite(number) || std::trunc(number) != number ||
                number < -9223372036854775808.0 || number >= 9223372036854775808.0)
                return ValueFit::Rescue;
            return static_cast<int64_t>(number) >= column.integerMin() &&
                           static_cast<int64_t>(number) <= column.integerMax()
                       ? ValueFit::Integral
                       : ValueFit::Rescue;
        case ColumnType::Kind::Decimal:
            return std::isfinite(number) && fitsDecimal(value, column.length, column.scale)
                       ? ValueFit::Exact
                       : ValueFit::Rescue;
        case ColumnType::Kind::String:
        case ColumnType::Kind::Varchar:
            return withinLength(value, column.length) ? ValueFit::Exact : ValueFit::Rescue;
        case ColumnType::Kind::Variant:
            return std::isfinite(number) ? ValueFit::Exact : ValueFit::Rescue;
        default:
            return ValueFit::Rescue;
    }
}

}  // namespace

bool isTimestampInRange(const std::string& text) {
    return text.size() >= 10 && text[4] == '-' && isDigit(text[0]) && isDigit(text[1]) &&
           isDigit(text[2]) && isDigit(text[3]) &&
           (text[0] != '0' || text[1] != '0' || text[2] != '0' || text[3] != '0');
}

ValueKind valueKindOf(const ColumnType& recordType) {
    switch (recordType.kind) {
        case ColumnType::Kind::TinyInt:
        case ColumnType::Kind::SmallInt:
        case ColumnType::Kind::Int:
        case ColumnType::Kind::BigInt:
            return ValueKind::Integer;
        case ColumnType::Kind::Float:
        case ColumnType::Kind::Double:
            return ValueKind::Double;
        case ColumnType::Kind::Variant:
            return ValueKind::Structured;
        case ColumnType::Kind::Timestamp:
            return ValueKind::Timestamp;
        default:
            return ValueKind::Text;
    }
}

bool fitsEveryValue(ValueKind kind, const ColumnType& column) {
    switch (column.kind) {
        case ColumnType::Kind::BigInt:
            return kind == ValueKind::Integer;
        case ColumnType::Kind::Double:
            return kind == ValueKind::Double;
        case ColumnType::Kind::String:
            return true;
        case ColumnType::Kind::Variant:
            return kind != ValueKind::Double && kind != ValueKind::Timestamp;
        default:
            return false;
    }
}

ValueFit fitValue(const std::string& value, ValueKind kind, const ColumnType& column) {
    switch (kind) {
        case ValueKind::Integer:
            return fitInteger(value, column);
        case ValueKind::Double:
            return fitDouble(value, column);
        case ValueKind::Text:
        case ValueKind::Label:
        case ValueKind::Structured:
            if (column.isText())
                return withinLength(value, column.length) ? ValueFit::Exact : ValueFit::Rescue;
            return column.kind == ColumnType::Kind::Variant ? ValueFit::Exact : ValueFit::Rescue;
        case ValueKind::Timestamp:
            if (column.kind == ColumnType::Kind::Timestamp)
                return isTimestampInRange(value) ? ValueFit::Exact : ValueFit::Rescue;
            return column.isText() && withinLength(value, column.length) ? ValueFit::Exact
                                                                         : ValueFit::Rescue;
    }
    return ValueFit::Rescue;
}

void appendFittedValue(std::string& out, const std::string& value, ValueKind kind,
                       const ColumnType& column, ValueFit fit) {
    if (fit == ValueFit::Integral) {
        double number = 0;
        parseDoubleText(value, &number);
        char digits[24];
        out.append(digits,
                   std::to_chars(digits, digits + sizeof digits, static_cast<int64_t>(number)).ptr);
        return;
    }
    if (column.isText() || column.kind == ColumnType::Kind::Timestamp) {
        appendSparkLiteral(out, value);
        return;
    }
    if (column.kind == ColumnType::Kind::Variant) {
        // Text stays text: a JSON string, so "123" is not read as a number.
        appendVariant(out, kind == ValueKind::Structured ? value : jsonStringOf(value));
        return;
    }
    // Numbers are written as they are: checked to be plain numbers, so that
    // no value text can become SQL even when a record's type lies.
    if (isPlainNumber(value)) {
        out.append(value);
        if (kind == ValueKind::Double && column.kind != ColumnType::Kind::Decimal)
            out.push_back('D');
        return;
    }
    double number = 0;
    if (kind == ValueKind::Double && isNonFinite(value) && parseDoubleText(value, &number)) {
        appendSparkDouble(out, number);
        return;
    }
    appendSparkLiteral(out, value);
}

void appendRescuedJson(std::string& out, const std::string& value, ValueKind kind) {
    switch (kind) {
        case ValueKind::Integer:
            if (isPlainNumber(value)) {
                out.append(value);
                return;
            }
            break;
        case ValueKind::Double: {
            double number = 0;
            if (parseDoubleText(value, &number)) {
                if (std::isfinite(number))
                    out.append(shortestDoubleText(number));
                else
                    appendJsonString(out, shortestDoubleText(number));
                return;
            }
            break;
        }
        case ValueKind::Structured:
            if (isJsonDocument(value)) {
                out.append(value);
                return;
            }
            break;
        default:
            break;
    }
    appendJsonString(out, value);
}

// Appends the warehouse literal of `value`. A backslash escapes in the
// warehouse's literals, and a doubled apostrophe would be read as two adjacent
// literals: both get a backslash. A NUL byte would end the statement text
// early, so it is written as \u0000 (not \0, which digits after it would turn
// into an octal escape).
void appendSparkLiteral(std::string& out, const std::string& value) {
    const char* data = value.data();
    const size_t length = value.size();
    size_t extra = 0;
    size_t i = 0;
    // Eight bytes at a time while none of them needs an escape.
    for (; i + 8 <= length; i += 8) {
        uint64_t word;
        std::memcpy(&word, data + i, sizeof word);
        if (mayNeedEscape(word)) {
            for (size_t j = i; j < i + 8; ++j)
                extra += escapeExtra(data[j]);
        }
    }
    for (; i < length; ++i)
        extra += escapeExtra(data[i]);

    if (extra == 0) {
        // The common case: appended as it is (a resize would first fill the
        // room it then overwrites).
        out.push_back('\'');
        out.append(data, length);
        out.push_back('\'');
        return;
    }
    // The literal is written at its final length, quotes in place.
    const size_t start = out.size();
    out.resize(start + length + extra + 2);
    char* p = &out[start];
    *p++ = '\'';
    if (extra == 0) {
        std::memcpy(p, data, length);
        p += length;
    } else {
        for (i = 0; i < length; ++i) {
            const char c = data[i];
            if (c == '\\' || c == '\'') {
                *p++ = '\\';
                *p++ = c;
            } else if (c == '\0') {
                std::memcpy(p, "\\u0000", 6);
                p += 6;
            } else {
                *p++ = c;
            }
        }
    }
    *p = '\'';
}

void appendSparkValue(std::string& out, const std::string& value, const ColumnType& type) {
    switch (type.kind) {
        case ColumnType::Kind::Variant:
            appendVariant(out, value);
            return;
        case ColumnType::Kind::String:
        case ColumnType::Kind::Varchar:
        case ColumnType::Kind::Timestamp:
        case ColumnType::Kind::Date:
            appendSparkLiteral(out, value);
            return;
        default:
            break;
    }
    if (isPlainNumber(value) || isKeywordValue(value)) {
        out.append(value);
    } else {
        appendSparkLiteral(out, value);
    }
}

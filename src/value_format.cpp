#include "value_format.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "json_text.h"
#include "number_text.h"
#include "text_util.h"
#include "utf8.h"

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
    appendSparkLiteral(out, isJsonDocument(text) ? text : jsonString(text));
    out.push_back(')');
}

// Returns true iff the text holds at most `limit` characters; 0 is no limit.
bool withinLength(const std::string& text, int limit) {
    if (limit <= 0 || text.size() <= static_cast<size_t>(limit))
        return true;
    return utf8Length(text) <= static_cast<size_t>(limit);
}

ValueFit fitInteger(const std::string& value, const ColumnType& column) {
    int64_t number = 0;
    if (!parseIntegerText(value, &number))
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
            return fitsDecimalDigits(value, column.length, column.scale) ? ValueFit::Exact
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
        return isPlainNumber(value) || isNonFiniteText(value) ? ValueFit::Exact : ValueFit::Rescue;
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
            return std::isfinite(number) && fitsDecimalDigits(value, column.length, column.scale)
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
        appendIntegerText(out, static_cast<int64_t>(number));
        return;
    }
    if (column.isText() || column.kind == ColumnType::Kind::Timestamp) {
        appendSparkLiteral(out, value);
        return;
    }
    if (column.kind == ColumnType::Kind::Variant) {
        // Text stays text: a JSON string, so "123" is not read as a number.
        appendVariant(out, kind == ValueKind::Structured ? value : jsonString(value));
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
    if (kind == ValueKind::Double && isNonFiniteText(value) && parseDoubleText(value, &number)) {
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

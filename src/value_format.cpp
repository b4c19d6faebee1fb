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
// every resend, so such bytes become U+FFFD here. It also refuses an object
// that repeats a key, on every resend: such a document is written the way the
// variant layout writes objects, the last value of a repeated key winning.
void appendVariant(std::string& out, const std::string& value) {
    std::string repaired;
    const std::string& text = isUtf8(value) ? value : (repaired = utf8Repaired(value));
    std::string unique;
    out.append("parse_json(");
    appendSparkLiteral(out, uniqueKeyJson(text, &unique) ? unique : jsonString(text));
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

// Every literal of one column of a VALUES list has the column's type: the
// warehouse gives the inline table's column the widest type among its
// literals, so one DOUBLE literal among BIGINT ones would turn every integer
// of the statement into a double and round those beyond 2^53.

// Appends the integer literal of a value that fits an integer column: an
// integer as it is, a whole double as the integer it is (22.0 -> 22).
void appendIntegerLiteral(std::string& out, const std::string& value, ValueKind kind) {
    double number = 0;
    if (kind != ValueKind::Double && isIntegerText(value)) {
        out.append(value);
    } else if (parseDoubleText(value, &number) && std::trunc(number) == number &&
               number >= -9223372036854775808.0 && number < 9223372036854775808.0) {
        appendIntegerText(out, static_cast<int64_t>(number));
    } else {
        appendSparkLiteral(out, value);  // no number: never SQL text
    }
}

// Appends the DOUBLE (suffix D) or FLOAT (suffix F) literal of a number:
// integers and doubles alike, NaN and the infinities as casts.
void appendFloatingLiteral(std::string& out, const std::string& value, char suffix) {
    if (isPlainNumber(value)) {
        out.append(value);
        out.push_back(suffix);
        return;
    }
    double number = 0;
    if (isNonFiniteText(value) && parseDoubleText(value, &number)) {
        if (suffix == 'D') {
            appendSparkDouble(out, number);
        } else {
            out.append("CAST('");
            out.append(shortestDoubleText(number));
            out.append("' AS FLOAT)");
        }
        return;
    }
    appendSparkLiteral(out, value);
}

// Appends parse_json of a JSON text known to be one document: only bytes
// that are not UTF-8 are repaired (see appendVariant).
void appendVariantJson(std::string& out, const std::string& json) {
    std::string repaired;
    out.append("parse_json(");
    appendSparkLiteral(out, isUtf8(json) ? json : (repaired = utf8Repaired(json)));
    out.push_back(')');
}

// Appends a value of kind `kind` that fits a VARIANT column: numbers as JSON
// numbers (integers exactly, doubles as the shortest text that reads back the
// same), text as a JSON string (so "123" stays text), structured values as
// their JSON, which fitValue has checked.
void appendVariantOfKind(std::string& out, const std::string& value, ValueKind kind) {
    int64_t integer = 0;
    double number = 0;
    if (kind == ValueKind::Integer && parseIntegerText(value, &integer)) {
        appendVariantJson(out, value);
    } else if (kind == ValueKind::Double && parseDoubleText(value, &number) &&
               std::isfinite(number)) {
        appendVariantJson(out, shortestDoubleText(number));
    } else if (kind == ValueKind::Structured || kind == ValueKind::Json) {
        appendVariantJson(out, value);
    } else {
        appendVariantJson(out, jsonString(value));
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
    if (kind == ValueKind::Binary)
        return false;
    switch (column.kind) {
        case ColumnType::Kind::BigInt:
            return kind == ValueKind::Integer;
        case ColumnType::Kind::Double:
            return kind == ValueKind::Double;
        case ColumnType::Kind::String:
            return true;
        case ColumnType::Kind::Variant:
            // Structured values are checked to be JSON (NaN has no JSON form);
            // the mapper's own JSON is strict already.
            return kind == ValueKind::Integer || kind == ValueKind::Text || kind == ValueKind::Json;
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
        case ValueKind::Json:
            if (column.isText())
                return withinLength(value, column.length) ? ValueFit::Exact : ValueFit::Rescue;
            if (column.kind != ColumnType::Kind::Variant)
                return ValueFit::Rescue;
            // A structured value holding NaN or an infinity is not JSON: a
            // VARIANT cannot hold it unaltered.
            return kind == ValueKind::Text || kind == ValueKind::Json || isJsonDocument(value)
                       ? ValueFit::Exact
                       : ValueFit::Rescue;
        case ValueKind::Timestamp:
            if (column.kind == ColumnType::Kind::Timestamp)
                return isTimestampInRange(value) ? ValueFit::Exact : ValueFit::Rescue;
            return column.isText() && withinLength(value, column.length) ? ValueFit::Exact
                                                                         : ValueFit::Rescue;
        case ValueKind::Binary:
            // No column type holds an image or a buffer as what it is.
            return ValueFit::Rescue;
    }
    return ValueFit::Rescue;
}

void appendFittedValue(std::string& out, const std::string& value, ValueKind kind,
                       const ColumnType& column, ValueFit fit) {
    if (fit == ValueFit::Integral) {
        appendIntegerLiteral(out, value, kind);
        return;
    }
    switch (column.kind) {
        case ColumnType::Kind::TinyInt:
        case ColumnType::Kind::SmallInt:
        case ColumnType::Kind::Int:
        case ColumnType::Kind::BigInt:
            if (kind == ValueKind::Integer && isIntegerText(value)) {
                out.append(value);  // the common case, spelled out
                return;
            }
            appendIntegerLiteral(out, value, kind);
            return;
        case ColumnType::Kind::Double:
            if (isPlainNumber(value)) {
                out.append(value);  // the common case, spelled out
                out.push_back('D');
                return;
            }
            appendFloatingLiteral(out, value, 'D');
            return;
        case ColumnType::Kind::Float:
            appendFloatingLiteral(out, value, 'F');
            return;
        case ColumnType::Kind::Variant:
            appendVariantOfKind(out, value, kind);
            return;
        default:
            break;
    }
    if (column.isText() || column.kind == ColumnType::Kind::Timestamp) {
        appendSparkLiteral(out, value);
    } else if (isPlainNumber(value)) {
        out.append(value);  // a DECIMAL's digits, a literal of no suffix
    } else {
        appendSparkLiteral(out, value);
    }
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
        case ValueKind::Json:
        case ValueKind::Binary:
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

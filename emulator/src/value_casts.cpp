// Store assignment: how the warehouse casts a literal of an INSERT to the value a column stores,
// its refusals with their SQLSTATEs, CAST to DOUBLE, and parse_json's checks.

#include <rapidjson/encodedstream.h>
#include <rapidjson/error/en.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include <cfloat>
#include <charconv>
#include <cmath>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "diagnostics.h"
#include "number_texts.h"
#include "spark_lexer.h"
#include "warehouse_types.h"

namespace whemu {

namespace {

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

}  // namespace

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

}  // namespace whemu

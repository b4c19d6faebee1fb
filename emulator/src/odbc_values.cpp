#include "odbc_values.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "diagnostics.h"
#include "spark_lexer.h"

namespace whemu {

namespace {

[[noreturn]] void refuse(const char* state, const std::string& message) {
    fail(state, kNativeDriver, message);
}

[[noreturn]] void notANumber(const std::string& text) {
    refuse("22018", "Invalid character value for cast: '" + printable(text) + "'.");
}

// Copies a character or binary value in pieces; `unit` is the size of the
// terminating zero (0 for binary).
SQLRETURN writePieces(const char* data, size_t size, size_t unit, const CellTarget& target,
                      CellCursor& cursor) {
    if (target.capacity < 0)
        refuse("HY090", "Invalid string or buffer length.");
    const size_t remaining = size - cursor.offset;
    if (target.indicator)
        *target.indicator = static_cast<SQLLEN>(remaining);
    size_t room = target.value ? static_cast<size_t>(target.capacity) : 0;
    room = room >= unit ? room - unit : 0;
    if (unit > 1)
        room -= room % unit;  // never half a UTF-16 unit
    const size_t n = remaining < room ? remaining : room;
    if (target.value) {
        std::memcpy(target.value, data + cursor.offset, n);
        if (unit > 0 && static_cast<size_t>(target.capacity) >= n + unit)
            std::memset(static_cast<char*>(target.value) + n, 0, unit);
    }
    cursor.offset += n;
    if (n < remaining)
        return SQL_SUCCESS_WITH_INFO;
    cursor.done = true;
    return SQL_SUCCESS;
}

// An integer cell; booleans read as 1 and 0, decimals lose their fraction.
long long integerOf(const std::string& text) {
    if (text == "true" || text == "false")
        return text == "true" ? 1 : 0;
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (!text.empty() && *end == '\0') {
        if (errno == ERANGE)
            refuse("22003", "Numeric value out of range: '" + printable(text) + "'.");
        return v;
    }
    const double d = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0')
        notANumber(text);
    if (!(d > -9.3e18 && d < 9.3e18))
        refuse("22003", "Numeric value out of range: '" + printable(text) + "'.");
    return static_cast<long long>(d);
}

double doubleOf(const std::string& text) {
    if (text == "NaN")
        return std::numeric_limits<double>::quiet_NaN();
    if (text == "Infinity" || text == "-Infinity") {
        return text[0] == '-' ? -std::numeric_limits<double>::infinity()
                              : std::numeric_limits<double>::infinity();
    }
    if (text == "true" || text == "false")
        return text == "true" ? 1 : 0;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0')
        notANumber(text);
    return v;
}

template <typename T>
SQLRETURN writeFixed(T value, const CellTarget& target, CellCursor& cursor) {
    if (target.value)
        std::memcpy(target.value, &value, sizeof value);
    if (target.indicator)
        *target.indicator = sizeof value;
    cursor.done = true;
    return SQL_SUCCESS;
}

template <typename T>
SQLRETURN writeInteger(const std::string& text, const CellTarget& target, CellCursor& cursor) {
    const long long v = integerOf(text);
    if (v < static_cast<long long>(std::numeric_limits<T>::min()) ||
        (v > 0 && static_cast<unsigned long long>(v) > std::numeric_limits<T>::max())) {
        refuse("22003", "Numeric value out of range: '" + printable(text) + "'.");
    }
    return writeFixed(static_cast<T>(v), target, cursor);
}

// "YYYY-MM-DD[ HH:MM:SS[.ffffff]]" as the warehouse prints dates and timestamps.
SQL_TIMESTAMP_STRUCT timestampOf(const std::string& text) {
    SQL_TIMESTAMP_STRUCT ts{};
    int64_t micros = 0;
    if (!parseTimestamp(text, micros))
        refuse("22018", "Invalid character value for cast: '" + printable(text) + "'.");
    const std::string canonical = formatTimestamp(micros);  // YYYY-MM-DD HH:MM:SS.ffffff
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    unsigned long fraction = 0;
    if (std::sscanf(canonical.c_str(), "%d-%d-%d %d:%d:%d.%lu", &year, &month, &day, &hour, &minute,
                    &second, &fraction) < 6) {
        refuse("22018", "Invalid character value for cast: '" + printable(text) + "'.");
    }
    ts.year = static_cast<SQLSMALLINT>(year);
    ts.month = static_cast<SQLUSMALLINT>(month);
    ts.day = static_cast<SQLUSMALLINT>(day);
    ts.hour = static_cast<SQLUSMALLINT>(hour);
    ts.minute = static_cast<SQLUSMALLINT>(minute);
    ts.second = static_cast<SQLUSMALLINT>(second);
    ts.fraction = static_cast<SQLUINTEGER>(fraction * 1000);  // nanoseconds
    return ts;
}

SQLRETURN writeText(const std::string& text, const CellTarget& target, CellCursor& cursor) {
    if (target.type == SQL_C_WCHAR) {
        const std::basic_string<SQLWCHAR> wide = utf16FromUtf8(text);
        return writePieces(reinterpret_cast<const char*>(wide.data()),
                           wide.size() * sizeof(SQLWCHAR), sizeof(SQLWCHAR), target, cursor);
    }
    return writePieces(text.data(), text.size(), target.type == SQL_C_BINARY ? 0 : 1, target,
                       cursor);
}

}  // namespace

SQLRETURN writeCell(const std::string& text, int sqlType, const CellTarget& target,
                    CellCursor& cursor) {
    switch (target.type) {
        case SQL_C_CHAR:
        case SQL_C_WCHAR:
        case SQL_C_BINARY:
        case SQL_C_DEFAULT:
            return writeText(text, target, cursor);
        case SQL_C_BIT:
            return writeFixed(static_cast<unsigned char>(integerOf(text) != 0), target, cursor);
        case SQL_C_TINYINT:
        case SQL_C_STINYINT:
            return writeInteger<signed char>(text, target, cursor);
        case SQL_C_UTINYINT:
            return writeInteger<unsigned char>(text, target, cursor);
        case SQL_C_SHORT:
        case SQL_C_SSHORT:
            return writeInteger<SQLSMALLINT>(text, target, cursor);
        case SQL_C_USHORT:
            return writeInteger<SQLUSMALLINT>(text, target, cursor);
        case SQL_C_LONG:
        case SQL_C_SLONG:
            return writeInteger<SQLINTEGER>(text, target, cursor);
        case SQL_C_ULONG:
            return writeInteger<SQLUINTEGER>(text, target, cursor);
        case SQL_C_SBIGINT:
            return writeInteger<SQLBIGINT>(text, target, cursor);
        case SQL_C_UBIGINT:
            return writeInteger<SQLUBIGINT>(text, target, cursor);
        case SQL_C_DOUBLE:
            return writeFixed(static_cast<SQLDOUBLE>(doubleOf(text)), target, cursor);
        case SQL_C_FLOAT:
            return writeFixed(static_cast<SQLREAL>(doubleOf(text)), target, cursor);
        case SQL_C_TYPE_TIMESTAMP:
        case SQL_C_TIMESTAMP:
            return writeFixed(timestampOf(text), target, cursor);
        case SQL_C_TYPE_DATE:
        case SQL_C_DATE: {
            const SQL_TIMESTAMP_STRUCT ts = timestampOf(text);
            return writeFixed(SQL_DATE_STRUCT{ts.year, ts.month, ts.day}, target, cursor);
        }
        default:
            (void)sqlType;
            refuse("HYC00", "Optional feature not implemented: target type " +
                                std::to_string(target.type) + ".");
    }
}

// ---- parameters ----------------------------------------------------------------------

namespace {

// The byte length of a character parameter's value.
size_t parameterLength(const BoundParameter& p, size_t unit) {
    const SQLLEN given = p.indicator ? *p.indicator : SQL_NTS;
    if (given >= 0)
        return static_cast<size_t>(given);
    if (given != SQL_NTS)
        refuse("HY090", "Invalid string or buffer length " + std::to_string(given) + ".");
    const size_t limit = p.bufferLength > 0 ? static_cast<size_t>(p.bufferLength) / unit
                                            : std::numeric_limits<size_t>::max() / unit;
    size_t n = 0;
    if (unit == 1) {
        while (n < limit && static_cast<const char*>(p.value)[n] != '\0')
            ++n;
    } else {
        while (n < limit && static_cast<const SQLWCHAR*>(p.value)[n] != 0)
            ++n;
    }
    return n * unit;
}

// A character parameter, read by the SQL type the application gave it.
Literal textLiteral(std::string text, SQLSMALLINT parameterType) {
    Literal literal{Literal::String, std::move(text), false, 0};
    int64_t check = 0;
    if ((parameterType == SQL_TYPE_TIMESTAMP || parameterType == SQL_TIMESTAMP) &&
        parseTimestamp(literal.text, check)) {
        literal.kind = Literal::Timestamp;
    } else if ((parameterType == SQL_TYPE_DATE || parameterType == SQL_DATE) &&
               parseDate(literal.text, check)) {
        literal.kind = Literal::Date;
    }
    return literal;
}

std::string twoDigits(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%02u", value % 100);
    return text;
}

std::string timestampText(const SQL_TIMESTAMP_STRUCT& ts) {
    char text[48];
    std::snprintf(
        text, sizeof text, "%04d-%s-%s %s:%s:%s.%06u", ts.year, twoDigits(ts.month).c_str(),
        twoDigits(ts.day).c_str(), twoDigits(ts.hour).c_str(), twoDigits(ts.minute).c_str(),
        twoDigits(ts.second).c_str(), static_cast<unsigned>(ts.fraction / 1000 % 1000000));
    return text;
}

// SQL_NUMERIC_STRUCT: a 128-bit little-endian magnitude, a scale and a sign.
Literal numericLiteral(const SQL_NUMERIC_STRUCT& n) {
    unsigned __int128 magnitude = 0;
    for (int i = 15; i >= 0; --i)
        magnitude = (magnitude << 8) | n.val[i];
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(magnitude % 10)));
        magnitude /= 10;
    } while (magnitude != 0);
    const int scale = n.scale > 0 ? n.scale : 0;
    if (n.scale < 0)
        digits.append(static_cast<size_t>(-n.scale), '0');
    if (static_cast<int>(digits.size()) <= scale)
        digits.insert(0, static_cast<size_t>(scale) - digits.size() + 1, '0');
    if (scale > 0)
        digits.insert(digits.size() - static_cast<size_t>(scale), ".");
    return Literal{Literal::Decimal, (n.sign == 0 ? "-" : "") + digits, false, scale};
}

Literal doubleLiteral(double v, Literal::Kind kind) {
    if (std::isnan(v))
        return Literal{kind, "NaN", false, 0};
    if (std::isinf(v))
        return Literal{kind, v < 0 ? "-Infinity" : "Infinity", false, 0};
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", v);
    std::string out = text;
    if (out.find_first_of(".eE") == std::string::npos)
        out += ".0";
    return Literal{kind, out, false, 0};
}

template <typename T>
Literal integerLiteral(const void* value) {
    T v;
    std::memcpy(&v, value, sizeof v);
    return Literal{Literal::Integer, std::to_string(v), false, 0};
}

// Parameters held in a C number or structure other than an integer.
Literal structLiteral(const BoundParameter& p) {
    switch (p.valueType) {
        case SQL_C_DOUBLE: {
            SQLDOUBLE v;
            std::memcpy(&v, p.value, sizeof v);
            return doubleLiteral(v, Literal::Double);
        }
        case SQL_C_FLOAT: {
            SQLREAL v;
            std::memcpy(&v, p.value, sizeof v);
            return doubleLiteral(v, Literal::Float);
        }
        case SQL_C_TYPE_TIMESTAMP:
        case SQL_C_TIMESTAMP: {
            SQL_TIMESTAMP_STRUCT ts;
            std::memcpy(&ts, p.value, sizeof ts);
            Literal literal{Literal::Timestamp, timestampText(ts), false, 0};
            int64_t check = 0;
            if (!parseTimestamp(literal.text, check))
                refuse("22007", "Invalid datetime format: " + literal.text + ".");
            return literal;
        }
        case SQL_C_TYPE_DATE:
        case SQL_C_DATE: {
            SQL_DATE_STRUCT d;
            std::memcpy(&d, p.value, sizeof d);
            Literal literal{Literal::Date,
                            timestampText({d.year, d.month, d.day, 0, 0, 0, 0}).substr(0, 10),
                            false, 0};
            int64_t check = 0;
            if (!parseDate(literal.text, check))
                refuse("22007", "Invalid datetime format: " + literal.text + ".");
            return literal;
        }
        case SQL_C_NUMERIC: {
            SQL_NUMERIC_STRUCT n;
            std::memcpy(&n, p.value, sizeof n);
            return numericLiteral(n);
        }
        default:
            refuse("HYC00", "Optional feature not implemented: parameter C type " +
                                std::to_string(p.valueType) + ".");
    }
}

}  // namespace

Literal parameterLiteral(const BoundParameter& p) {
    if (p.indicator && *p.indicator == SQL_NULL_DATA)
        return Literal{};
    if (p.indicator &&
        (*p.indicator == SQL_DATA_AT_EXEC || *p.indicator <= SQL_LEN_DATA_AT_EXEC_OFFSET)) {
        refuse("HYC00", "Optional feature not implemented: data at execution.");
    }
    if (!p.value)
        refuse("HY009", "Invalid use of null pointer: parameter value.");
    switch (p.valueType) {
        case SQL_C_CHAR:
        case SQL_C_DEFAULT:
            return textLiteral(
                std::string(static_cast<const char*>(p.value), parameterLength(p, 1)),
                p.parameterType);
        case SQL_C_WCHAR: {
            const size_t bytes = parameterLength(p, sizeof(SQLWCHAR));
            return textLiteral(
                utf8FromUtf16(static_cast<const SQLWCHAR*>(p.value), bytes / sizeof(SQLWCHAR)),
                p.parameterType);
        }
        case SQL_C_BIT:
            return Literal{Literal::Boolean, "", *static_cast<const unsigned char*>(p.value) != 0,
                           0};
        case SQL_C_TINYINT:
        case SQL_C_STINYINT:
            return integerLiteral<signed char>(p.value);
        case SQL_C_UTINYINT:
            return integerLiteral<unsigned char>(p.value);
        case SQL_C_SHORT:
        case SQL_C_SSHORT:
            return integerLiteral<SQLSMALLINT>(p.value);
        case SQL_C_USHORT:
            return integerLiteral<SQLUSMALLINT>(p.value);
        case SQL_C_LONG:
        case SQL_C_SLONG:
            return integerLiteral<SQLINTEGER>(p.value);
        case SQL_C_ULONG:
            return integerLiteral<SQLUINTEGER>(p.value);
        case SQL_C_SBIGINT:
            return integerLiteral<SQLBIGINT>(p.value);
        case SQL_C_UBIGINT:
            return integerLiteral<SQLUBIGINT>(p.value);
        default:
            return structLiteral(p);
    }
}

bool isSupportedCType(SQLSMALLINT type) {
    static const SQLSMALLINT kTypes[] = {
        SQL_C_CHAR,      SQL_C_WCHAR,    SQL_C_BINARY,   SQL_C_DEFAULT,        SQL_C_BIT,
        SQL_C_TINYINT,   SQL_C_STINYINT, SQL_C_UTINYINT, SQL_C_SHORT,          SQL_C_SSHORT,
        SQL_C_USHORT,    SQL_C_LONG,     SQL_C_SLONG,    SQL_C_ULONG,          SQL_C_SBIGINT,
        SQL_C_UBIGINT,   SQL_C_DOUBLE,   SQL_C_FLOAT,    SQL_C_TYPE_TIMESTAMP, SQL_C_TIMESTAMP,
        SQL_C_TYPE_DATE, SQL_C_DATE,     SQL_C_NUMERIC};
    for (SQLSMALLINT known : kTypes) {
        if (known == type)
            return true;
    }
    return false;
}

// ---- UTF-16 ----------------------------------------------------------------------------

std::string utf8FromUtf16(const SQLWCHAR* units, size_t count) {
    std::string out;
    out.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        unsigned long c = units[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        appendUtf8(out, c);
    }
    return out;
}

std::basic_string<SQLWCHAR> utf16FromUtf8(const std::string& text) {
    std::basic_string<SQLWCHAR> out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        const size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        unsigned long c = length == 1 ? lead : lead & (0xFF >> (length + 1));
        bool valid = lead < 0x80 || (lead >= 0xC2 && lead <= 0xF4 && i + length <= text.size());
        for (size_t k = 1; valid && k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            valid = (next & 0xC0) == 0x80;
            c = (c << 6) | (next & 0x3F);
        }
        if (!valid) {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        i += length;
        if (c >= 0x10000) {
            out.push_back(static_cast<SQLWCHAR>(0xD800 + ((c - 0x10000) >> 10)));
            out.push_back(static_cast<SQLWCHAR>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<SQLWCHAR>(c));
        }
    }
    return out;
}

}  // namespace whemu

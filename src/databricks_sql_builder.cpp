#include "databricks_sql_builder.h"

#include "value_format.h"

#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include <cstdint>
#include <cstring>

namespace {

const std::string kBigint = "BIGINT";
const std::string kDouble = "DOUBLE";
const std::string kTimestamp = "TIMESTAMP";
const std::string kVarchar = "VARCHAR(256)";
const std::string kVariant = "VARIANT";
const std::string kString = "STRING";
const std::string kEmpty;
const std::string kHintName = "databricksHint";

// Longest table name the warehouse accepts, in bytes.
constexpr size_t kMaxTableNameBytes = 255;

// Upper case as the C locale's toupper has it: only a to z change.
inline unsigned char upperAscii(unsigned char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - ('a' - 'A')) : c;
}

// True when `text`, upper-cased byte by byte, contains `upperNeedle`.
bool containsUpper(const std::string& text, const char* upperNeedle, size_t needleLength) {
    if (needleLength > text.size())
        return false;
    const unsigned char first = static_cast<unsigned char>(upperNeedle[0]);
    const size_t last = text.size() - needleLength;
    for (size_t start = 0; start <= last; ++start) {
        if (upperAscii(static_cast<unsigned char>(text[start])) != first)
            continue;
        size_t i = 1;
        while (i < needleLength && upperAscii(static_cast<unsigned char>(text[start + i])) ==
                                       static_cast<unsigned char>(upperNeedle[i])) {
            ++i;
        }
        if (i == needleLength)
            return true;
    }
    return false;
}

template <size_t N>
bool containsUpper(const std::string& text, const char (&upperNeedle)[N]) {
    return containsUpper(text, upperNeedle, N - 1);
}

bool isControlOrDelete(unsigned char c) {
    return c < 0x20 || c == 0x7F;
}

bool refusedInTableName(unsigned char c) {
    return c == '.' || c == ' ' || c == '/' || isControlOrDelete(c);
}

bool refusedInColumnName(unsigned char c) {
    switch (c) {
        case ' ':
        case ',':
        case ';':
        case '{':
        case '}':
        case '(':
        case ')':
        case '=':
            return true;
        default:
            return isControlOrDelete(c);
    }
}

template <typename Refused>
std::string replaceRefused(const std::string& name, Refused refused) {
    std::string result(name);
    for (char& c : result) {
        if (refused(static_cast<unsigned char>(c)))
            c = '_';
    }
    return result;
}

}  // namespace

std::string DatabricksSQLBuilder::escapeString(const std::string& value) const {
    std::string literal;
    appendSparkLiteral(literal, value);
    return literal;
}

std::string DatabricksSQLBuilder::formatValue(const std::string& value,
                                              const std::string& columnType) const {
    std::string sql;
    appendFormattedValue(sql, value, columnType);
    return sql;
}

std::string DatabricksSQLBuilder::formatValueForDatabricks(const std::string& value,
                                                           const std::string& columnType) const {
    return formatValue(value, columnType);
}

void DatabricksSQLBuilder::appendFormattedValue(std::string& out, const std::string& value,
                                                const std::string& columnType) const {
    appendSparkValue(out, value, ColumnType::parse(columnType));
}

void DatabricksSQLBuilder::appendFormattedValue(std::string& out, const std::string& value,
                                                const ColumnType& columnType) const {
    appendSparkValue(out, value, columnType);
}

std::string DatabricksSQLBuilder::toSQLTypeString(int typeTag) const {
    switch (typeTag) {
        case 1:
            return kBigint;
        case 2:
            return kDouble;
        case 3:
        case 4:
        case 5:
            return kVariant;
        default:
            // Unbounded text: a text datapoint of any length fits.
            return kString;
    }
}

std::string DatabricksSQLBuilder::normalizeColumnType(const std::string& type) const {
    if (containsUpper(type, "DOUBLE"))
        return kDouble;
    if (containsUpper(type, "LONG"))
        return kBigint;
    if (containsUpper(type, "TIMESTAMP"))
        return kTimestamp;
    if (containsUpper(type, "VARCHAR") || containsUpper(type, "STRING"))
        return kVarchar;
    if (containsUpper(type, "BIGINT") || containsUpper(type, "INT"))
        return kBigint;
    if (containsUpper(type, "VARIANT"))
        return kVariant;
    return kEmpty;
}

SQLBuilder* DatabricksSQLBuilder::createSQLBuilder() const {
    return new DatabricksSQLBuilder();
}

std::string DatabricksSQLBuilder::getHintName() const {
    return kHintName;
}

std::string DatabricksSQLBuilder::tableNameFor(const std::string& name) const {
    std::string result = replaceRefused(name, refusedInTableName);
    if (result.size() > kMaxTableNameBytes) {
        // Cut before a UTF-8 sequence that would not fit whole: step back over
        // continuation bytes (at most three, the longest tail a sequence has).
        size_t cut = kMaxTableNameBytes;
        size_t steps = 0;
        while (cut > 0 && steps < 3 && (static_cast<unsigned char>(result[cut]) & 0xC0) == 0x80) {
            --cut;
            ++steps;
        }
        if ((static_cast<unsigned char>(result[cut]) & 0xC0) == 0x80)
            cut = kMaxTableNameBytes;
        result.resize(cut);
    }
    return result;
}

std::string DatabricksSQLBuilder::columnNameFor(const std::string& name) const {
    return replaceRefused(name, refusedInColumnName);
}

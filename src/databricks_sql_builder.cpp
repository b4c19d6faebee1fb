#include "databricks_sql_builder.h"

#include <cstring>

#include "text_util.h"
#include "utf8.h"
#include "value_format.h"

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

ValueFit DatabricksSQLBuilder::fitValue(const std::string& value, ValueKind kind,
                                        const ColumnType& column) const {
    return ::fitValue(value, kind, column);
}

void DatabricksSQLBuilder::appendFittedValue(std::string& out, const std::string& value,
                                             ValueKind kind, const ColumnType& column,
                                             ValueFit fit) const {
    ::appendFittedValue(out, value, kind, column, fit);
}

std::string DatabricksSQLBuilder::columnTypeFor(ValueKind kind) const {
    switch (kind) {
        case ValueKind::Integer:
            return kBigint;
        case ValueKind::Double:
            return kDouble;
        case ValueKind::Structured:
        case ValueKind::Json:
            return kVariant;
        case ValueKind::Text:
        case ValueKind::Binary:
            // Unbounded text: a text datapoint of any length fits. An image's
            // column stays NULL; its content is in the rescued data.
            return kString;
        case ValueKind::Timestamp:
            return getTimestampType();
        case ValueKind::Label:
            return getStringType();
    }
    return kString;
}

std::string DatabricksSQLBuilder::normalizeColumnType(const std::string& type) const {
    if (containsIgnoringAsciiCase(type, "DOUBLE"))
        return kDouble;
    if (containsIgnoringAsciiCase(type, "LONG"))
        return kBigint;
    if (containsIgnoringAsciiCase(type, "TIMESTAMP"))
        return kTimestamp;
    if (containsIgnoringAsciiCase(type, "VARCHAR") || containsIgnoringAsciiCase(type, "STRING"))
        return kVarchar;
    if (containsIgnoringAsciiCase(type, "BIGINT") || containsIgnoringAsciiCase(type, "INT"))
        return kBigint;
    if (containsIgnoringAsciiCase(type, "VARIANT"))
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
    cutUtf8(result, kMaxTableNameBytes);
    return result;
}

std::string DatabricksSQLBuilder::columnNameFor(const std::string& name) const {
    // Column names have the same byte limit as table names.
    constexpr size_t kMaxColumnNameBytes = 255;
    std::string result = replaceRefused(name, refusedInColumnName);
    cutUtf8(result, kMaxColumnNameBytes);
    return result;
}

#include "dialect.h"

#include "statement_text.h"
#include "text_util.h"
#include "utf8.h"

namespace {

const std::string kBigint = "BIGINT";
const std::string kDouble = "DOUBLE";
const std::string kTimestamp = "TIMESTAMP";
const std::string kVarchar = "VARCHAR(256)";
const std::string kVariant = "VARIANT";
const std::string kString = "STRING";
const std::string kHintName = "databricksHint";

// Longest table or column name the warehouse accepts, in bytes.
constexpr size_t kMaxNameBytes = 255;

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
std::string acceptedName(const std::string& name, Refused refused) {
    std::string result(name);
    for (char& c : result) {
        if (refused(static_cast<unsigned char>(c)))
            c = '_';
    }
    cutUtf8(result, kMaxNameBytes);
    return result;
}

}  // namespace

const Dialect& Dialect::databricks() {
    static const Dialect dialect;
    return dialect;
}

void Dialect::appendIdentifier(std::string& out, const std::string& name) const {
    statement_text::appendQuoted(out, name, "`", "`");
}

std::string Dialect::quoteIdentifier(const std::string& name) const {
    std::string quoted;
    quoted.reserve(name.size() + 4);
    appendIdentifier(quoted, name);
    return quoted;
}

std::string Dialect::literal(const std::string& text) const {
    std::string out;
    appendSparkLiteral(out, text);
    return out;
}

std::string Dialect::columnTypeFor(ValueKind kind) const {
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
            return kTimestamp;
        case ValueKind::Label:
            return kVarchar;
    }
    return kString;
}

std::string Dialect::normalizeColumnType(const std::string& type) const {
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
    return std::string();
}

std::string Dialect::stringType() const {
    return kVarchar;
}

std::string Dialect::timestampType() const {
    return kTimestamp;
}

std::string Dialect::constraintText(ColumnConstraint constraint) const {
    return statement_text::constraintText(constraint);
}

std::string Dialect::tableNameFor(const std::string& name) const {
    return acceptedName(name, refusedInTableName);
}

std::string Dialect::columnNameFor(const std::string& name) const {
    return acceptedName(name, refusedInColumnName);
}

std::string Dialect::hintName() const {
    return kHintName;
}

namespace {
// The dialect's identifier writer, for the shared statement texts.
struct Identifiers {
    const Dialect& dialect;
    void operator()(std::string& out, const std::string& name) const {
        dialect.appendIdentifier(out, name);
    }
};
struct Literals {
    const Dialect& dialect;
    std::string operator()(const std::string& text) const { return dialect.literal(text); }
};
}  // namespace

std::string Dialect::createTable(const std::string& table, const ColumnDefinitions& columns) const {
    return statement_text::createTable(Identifiers{*this}, table, columns);
}

std::string Dialect::alterTable(const std::string& table, const std::string& column,
                                const std::string& definition) const {
    return statement_text::alterTable(Identifiers{*this}, table, column, definition);
}

std::string Dialect::columnsQuery(const std::string& schema, const std::string& table,
                                  SchemaQueryDetail detail) const {
    return statement_text::columnsQuery(Literals{*this}, schema, table, detail);
}

std::string Dialect::columnsQuery(const std::string& schema, const std::vector<std::string>& tables,
                                  SchemaQueryDetail detail) const {
    return statement_text::columnsQuery(Literals{*this}, schema, tables, detail);
}

StatementShape Dialect::insertShape(const std::string& table,
                                    const std::vector<std::string>& columns) const {
    return StatementShape{statement_text::insertHead(Identifiers{*this}, table, columns),
                          std::string()};
}

void Dialect::appendTimeRange(std::string& on, const TimeRange& range) const {
    // t.`ts` BETWEEN TIMESTAMP '<lowest>' AND TIMESTAMP '<highest>', or NULL.
    const std::string name = "t." + quoteIdentifier(range.column);
    const bool any = !range.lowest.empty();
    if (any && range.anyNull)
        on.push_back('(');
    if (any) {
        on.append(name).append(" BETWEEN TIMESTAMP ").append(literal(range.lowest));
        on.append(" AND TIMESTAMP ").append(literal(range.highest));
    }
    if (any && range.anyNull)
        on.append(" OR ");
    if (range.anyNull)
        on.append(name).append(" IS NULL");
    if (any && range.anyNull)
        on.push_back(')');
}

void Dialect::appendTypedValue(std::string& out, const std::string& value, ValueKind kind,
                               const ColumnType& column, ValueFit fit) const {
    if (column.kind == ColumnType::Kind::Timestamp && kind == ValueKind::Timestamp &&
        fit == ValueFit::Exact)
        out.append("TIMESTAMP ");
    ::appendFittedValue(out, value, kind, column, fit);
}

StatementShape Dialect::catchUpShape(const std::string& table, const TimeRange& range) const {
    StatementShape shape;
    shape.head.append("INSERT INTO ");
    appendIdentifier(shape.head, table);
    shape.head.append(" SELECT * FROM (VALUES ");
    shape.tail.append(") AS s EXCEPT ALL SELECT * FROM ");
    appendIdentifier(shape.tail, table);
    shape.tail.append(" AS t");
    if (!range.column.empty() && (!range.lowest.empty() || range.anyNull)) {
        shape.tail.append(" WHERE ");
        appendTimeRange(shape.tail, range);
    }
    return shape;
}

StatementShape Dialect::mergeShape(const std::string& table,
                                   const std::vector<std::string>& columns,
                                   const std::vector<ColumnMatch>& match,
                                   const TimeRange& range) const {
    // MERGE INTO `t` AS t USING (VALUES <rows>) AS s(`a`, `b`)
    // ON t.`ts` BETWEEN TIMESTAMP '..' AND TIMESTAMP '..' AND t.`a` <=> s.`a`
    // AND to_json(t.`b`) <=> to_json(s.`b`) WHEN NOT MATCHED THEN INSERT *
    std::string names;
    std::string on;
    if (!range.column.empty() && (!range.lowest.empty() || range.anyNull))
        appendTimeRange(on, range);
    const size_t bounded = on.size();
    for (size_t c = 0; c < columns.size(); ++c) {
        const std::string name = quoteIdentifier(columns[c]);
        names.append(c > 0 ? ", " : "").append(name);
        const ColumnMatch how = c < match.size() ? match[c] : ColumnMatch::Equal;
        if (how == ColumnMatch::Ignore)
            continue;
        on.append(on.empty() ? "" : " AND ");
        if (how == ColumnMatch::AsJson)
            on.append("to_json(t.").append(name).append(") <=> to_json(s.").append(name + ")");
        else
            on.append("t.").append(name).append(" <=> s.").append(name);
    }
    StatementShape shape;
    shape.head.append("MERGE INTO ");
    appendIdentifier(shape.head, table);
    shape.head.append(" AS t USING (VALUES ");
    // Comparing no column, every row is new.
    shape.tail.append(") AS s(").append(names).append(") ON ");
    shape.tail.append(on.size() == bounded ? "FALSE" : on);
    shape.tail.append(" WHEN NOT MATCHED THEN INSERT *");
    return shape;
}

#include "catalog_results.h"

#include <sql.h>
#include <sqlext.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "diagnostics.h"
#include "statement_analysis.h"
#include "storage.h"

namespace whemu {

namespace {

using Cell = std::optional<std::string>;

// Builds a result set column by column, then row by row.
class ResultBuilder {
  public:
    void column(const char* name, int sqlType = SQL_VARCHAR) {
        ResultColumn c;
        c.name = name;
        c.sqlType = sqlType;
        c.typed = true;
        c.columnSize = sqlType == SQL_VARCHAR ? 1 : (sqlType == SQL_SMALLINT ? 5 : 10);
        outcome_.result.columns.push_back(std::move(c));
    }
    void row(const std::vector<Cell>& cells) {
        ResultSet& r = outcome_.result;
        for (size_t i = 0; i < cells.size() && i < r.columns.size(); ++i) {
            r.cells.push_back(cells[i].value_or(std::string()));
            r.nulls.push_back(cells[i] ? 0 : 1);
            if (cells[i] && r.columns[i].sqlType == SQL_VARCHAR)
                r.columns[i].columnSize =
                    std::max(r.columns[i].columnSize, static_cast<long>(cells[i]->size()));
        }
        ++r.rows;
    }
    Outcome take() {
        outcome_.hasResultSet = true;
        return std::move(outcome_);
    }

  private:
    Outcome outcome_;
};

// Returns true iff `name` matches a Spark SHOW pattern: `*` any run,
// alternatives separated by `|`, letter case ignored.
bool matchesShowPattern(std::string_view pattern, std::string_view name) {
    size_t start = 0;
    for (;;) {
        const size_t bar = pattern.find('|', start);
        const std::string_view alternative = pattern.substr(start, bar - start);
        std::string like;
        for (char c : alternative)
            like += c == '*'                              ? std::string("%")
                    : (c == '%' || c == '_' || c == '\\') ? std::string("\\") + c
                                                          : std::string(1, c);
        if (matchesSearchPattern(like, name))
            return true;
        if (bar == std::string_view::npos)
            return false;
        start = bar + 1;
    }
}

// An optional [LIKE] 'pattern' and the end of the statement.
std::optional<std::string> readShowPattern(Lexer& lexer) {
    std::optional<std::string> pattern;
    const bool like = lexer.acceptKeyword("LIKE");
    if (lexer.cur().kind == TokenKind::String) {
        pattern = lexer.cur().value;
        lexer.advance();
    } else if (like) {
        lexer.syntaxError();
    }
    lexer.expectStatementEnd();
    return pattern;
}

// The tables of the schema's catalog in name order.
std::vector<std::string> catalogTables(sqlite3* db) {
    std::vector<std::string> tables;
    Statement select(db, std::string("SELECT DISTINCT table_name FROM ") + kCatalogTable +
                             " ORDER BY table_name");
    while (select.step() == SQLITE_ROW)
        tables.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(select.get(), 0)));
    return tables;
}

// The schemas of the warehouse directory: its SQLite files, by name.
std::vector<std::string> warehouseSchemas(const Session& session) {
    std::vector<std::string> schemas{session.settings().schema};
    std::error_code error;
    for (const auto& entry :
         std::filesystem::directory_iterator(session.settings().directory, error)) {
        if (entry.path().extension() == ".db")
            schemas.push_back(entry.path().stem().string());
    }
    std::sort(schemas.begin(), schemas.end());
    schemas.erase(std::unique(schemas.begin(), schemas.end()), schemas.end());
    return schemas;
}

}  // namespace

bool matchesSearchPattern(std::string_view pattern, std::string_view name) {
    if (pattern.empty())
        return name.empty();
    const char p = pattern[0];
    if (p == '%') {
        for (size_t skip = 0; skip <= name.size(); ++skip) {
            if (matchesSearchPattern(pattern.substr(1), name.substr(skip)))
                return true;
        }
        return false;
    }
    if (name.empty())
        return false;
    if (p == '\\' && pattern.size() > 1) {
        return equalsIgnoreCase(pattern.substr(1, 1), name.substr(0, 1)) &&
               matchesSearchPattern(pattern.substr(2), name.substr(1));
    }
    const bool one = p == '_' || equalsIgnoreCase(pattern.substr(0, 1), name.substr(0, 1));
    return one && matchesSearchPattern(pattern.substr(1), name.substr(1));
}

Outcome showTables(Session& session, Lexer& lexer) {
    if (lexer.acceptKeyword("FROM") || lexer.acceptKeyword("IN")) {
        TableRef schema;
        schema.schema = lexer.expectName();
        schema.name = "t";
        checkTableRef(session, schema);
    }
    const std::optional<std::string> pattern = readShowPattern(lexer);
    ResultBuilder result;
    result.column("database");
    result.column("tableName");
    result.column("isTemporary", SQL_BIT);
    for (const std::string& table : catalogTables(session.db())) {
        if (!pattern || matchesShowPattern(*pattern, table))
            result.row({session.settings().schema, table, std::string("false")});
    }
    return result.take();
}

Outcome showSchemas(Session& session, Lexer& lexer) {
    const std::optional<std::string> pattern = readShowPattern(lexer);
    ResultBuilder result;
    result.column("databaseName");
    for (const std::string& schema : warehouseSchemas(session)) {
        if (!pattern || matchesShowPattern(*pattern, schema))
            result.row({schema});
    }
    return result.take();
}

Outcome describeTable(Session& session, Lexer& lexer) {
    lexer.acceptKeyword("TABLE");
    const TableRef table = readTableName(lexer);
    lexer.expectStatementEnd();
    checkTableRef(session, table);
    Statement select(session.db(), std::string("SELECT column_name, type, comment FROM ") +
                                       kCatalogTable + " WHERE table_name = ?1 ORDER BY ordinal");
    select.bindText(1, table.name);
    ResultBuilder result;
    result.column("col_name");
    result.column("data_type");
    result.column("comment");
    bool any = false;
    while (select.step() == SQLITE_ROW) {
        const auto text = [&](int i) -> Cell {
            const unsigned char* value = sqlite3_column_text(select.get(), i);
            return value ? Cell(reinterpret_cast<const char*>(value)) : std::nullopt;
        };
        result.row({text(0), parseTypeText(*text(1)).fullDataType(), text(2)});
        any = true;
    }
    if (!any)
        tableNotFound(table.name);
    return result.take();
}

// ---- ODBC catalog functions ----------------------------------------------------------

namespace {

bool schemaMatches(const Session& session, const CatalogPatterns& patterns) {
    return !patterns.schema || patterns.schema->empty() ||
           matchesSearchPattern(*patterns.schema, session.settings().schema);
}

// Returns true iff a SQLTables type list ('TABLE', 'VIEW', ...) admits tables.
bool admitsTables(const std::optional<std::string>& types) {
    if (!types || types->empty() || *types == "%")
        return true;
    std::string list = toLowerAscii(*types);
    list.erase(std::remove(list.begin(), list.end(), '\''), list.end());
    list.erase(std::remove(list.begin(), list.end(), ' '), list.end());
    return ("," + list + ",").find(",table,") != std::string::npos;
}

}  // namespace

Outcome odbcTables(Session& session, const CatalogPatterns& patterns) {
    ResultBuilder result;
    for (const char* name : {"TABLE_CAT", "TABLE_SCHEM", "TABLE_NAME", "TABLE_TYPE", "REMARKS"})
        result.column(name);
    if (!schemaMatches(session, patterns) || !admitsTables(patterns.tableTypes))
        return result.take();
    for (const std::string& table : catalogTables(session.db())) {
        if (patterns.table && !patterns.table->empty() &&
            !matchesSearchPattern(*patterns.table, table)) {
            continue;
        }
        result.row({session.settings().catalog, session.settings().schema, table,
                    std::string("TABLE"), std::string()});
    }
    return result.take();
}

namespace {

Cell number(long value) {
    return Cell(std::to_string(value));
}

// Returns true iff a value of ODBC type `sqlType` is a date or a timestamp.
bool isDatetime(int sqlType) {
    return sqlType == SQL_TYPE_DATE || sqlType == SQL_TYPE_TIMESTAMP;
}

// Returns true iff ODBC type `sqlType` is a number (NUM_PREC_RADIX 10).
bool isNumeric(int sqlType) {
    return sqlType != SQL_VARCHAR && sqlType != SQL_BIT && !isDatetime(sqlType);
}

// SQL_DATA_TYPE: the verbose type, SQL_DATETIME for a date or a timestamp.
Cell verboseType(int sqlType) {
    return number(isDatetime(sqlType) ? SQL_DATETIME : sqlType);
}

// SQL_DATETIME_SUB: the subcode of a date or a timestamp, NULL for the rest.
Cell datetimeSubcode(int sqlType) {
    if (!isDatetime(sqlType))
        return std::nullopt;
    return number(sqlType == SQL_TYPE_DATE ? SQL_CODE_DATE : SQL_CODE_TIMESTAMP);
}

// One row of SQLColumns for `column`, at 1-based `ordinal`.
std::vector<Cell> columnRow(const Session& session, const std::string& table, const Column& column,
                            int ordinal) {
    long size = 0;
    int digits = 0;
    const int sqlType = sqlTypeOf(column.type, size, digits);
    const bool numeric = isNumeric(sqlType);
    return {session.settings().catalog,
            session.settings().schema,
            table,
            column.name,
            number(sqlType),
            std::string(column.type.name()),
            number(size),
            std::nullopt,
            numeric || isDatetime(sqlType) ? number(digits) : std::nullopt,
            numeric ? number(10) : std::nullopt,
            number(column.nullable ? SQL_NULLABLE : SQL_NO_NULLS),
            std::nullopt,
            std::nullopt,
            verboseType(sqlType),
            datetimeSubcode(sqlType),
            sqlType == SQL_VARCHAR ? number(size) : std::nullopt,
            number(ordinal),
            std::string(column.nullable ? "YES" : "NO")};
}

}  // namespace

Outcome odbcColumns(Session& session, const CatalogPatterns& patterns) {
    ResultBuilder result;
    static const std::pair<const char*, int> kColumns[] = {
        {"TABLE_CAT", SQL_VARCHAR},         {"TABLE_SCHEM", SQL_VARCHAR},
        {"TABLE_NAME", SQL_VARCHAR},        {"COLUMN_NAME", SQL_VARCHAR},
        {"DATA_TYPE", SQL_SMALLINT},        {"TYPE_NAME", SQL_VARCHAR},
        {"COLUMN_SIZE", SQL_INTEGER},       {"BUFFER_LENGTH", SQL_INTEGER},
        {"DECIMAL_DIGITS", SQL_SMALLINT},   {"NUM_PREC_RADIX", SQL_SMALLINT},
        {"NULLABLE", SQL_SMALLINT},         {"REMARKS", SQL_VARCHAR},
        {"COLUMN_DEF", SQL_VARCHAR},        {"SQL_DATA_TYPE", SQL_SMALLINT},
        {"SQL_DATETIME_SUB", SQL_SMALLINT}, {"CHAR_OCTET_LENGTH", SQL_INTEGER},
        {"ORDINAL_POSITION", SQL_INTEGER},  {"IS_NULLABLE", SQL_VARCHAR}};
    for (const auto& [name, type] : kColumns)
        result.column(name, type);
    if (!schemaMatches(session, patterns))
        return result.take();
    for (const std::string& table : catalogTables(session.db())) {
        if (patterns.table && !patterns.table->empty() &&
            !matchesSearchPattern(*patterns.table, table)) {
            continue;
        }
        std::vector<Column> columns;
        loadTable(session.db(), table, columns);
        for (size_t i = 0; i < columns.size(); ++i) {
            if (patterns.column && !patterns.column->empty() &&
                !matchesSearchPattern(*patterns.column, columns[i].name)) {
                continue;
            }
            result.row(columnRow(session, table, columns[i], static_cast<int>(i + 1)));
        }
    }
    return result.take();
}

Outcome odbcTypeInfo(int sqlType) {
    ResultBuilder result;
    static const std::pair<const char*, int> kColumns[] = {
        {"TYPE_NAME", SQL_VARCHAR},          {"DATA_TYPE", SQL_SMALLINT},
        {"COLUMN_SIZE", SQL_INTEGER},        {"LITERAL_PREFIX", SQL_VARCHAR},
        {"LITERAL_SUFFIX", SQL_VARCHAR},     {"CREATE_PARAMS", SQL_VARCHAR},
        {"NULLABLE", SQL_SMALLINT},          {"CASE_SENSITIVE", SQL_SMALLINT},
        {"SEARCHABLE", SQL_SMALLINT},        {"UNSIGNED_ATTRIBUTE", SQL_SMALLINT},
        {"FIXED_PREC_SCALE", SQL_SMALLINT},  {"AUTO_UNIQUE_VALUE", SQL_SMALLINT},
        {"LOCAL_TYPE_NAME", SQL_VARCHAR},    {"MINIMUM_SCALE", SQL_SMALLINT},
        {"MAXIMUM_SCALE", SQL_SMALLINT},     {"SQL_DATA_TYPE", SQL_SMALLINT},
        {"SQL_DATETIME_SUB", SQL_SMALLINT},  {"NUM_PREC_RADIX", SQL_INTEGER},
        {"INTERVAL_PRECISION", SQL_SMALLINT}};
    for (const auto& [name, type] : kColumns)
        result.column(name, type);
    // In DATA_TYPE order, as SQLGetTypeInfo requires.
    static const char* const kTypes[] = {"BOOLEAN", "TINYINT",  "BIGINT",   "DECIMAL(38,18)",
                                         "INT",     "SMALLINT", "FLOAT",    "DOUBLE",
                                         "STRING",  "DATE",     "TIMESTAMP"};
    for (const char* text : kTypes) {
        const WarehouseType type = parseTypeText(text);
        long size = 0;
        int digits = 0;
        const int data = sqlTypeOf(type, size, digits);
        if (sqlType != SQL_ALL_TYPES && sqlType != data)
            continue;
        const std::string name = type.name();
        const bool quoted = data == SQL_VARCHAR || isDatetime(data);
        const auto n = number;
        result.row({name, n(data), n(data == SQL_DECIMAL ? 38 : size),
                    quoted ? Cell("'") : std::nullopt, quoted ? Cell("'") : std::nullopt,
                    data == SQL_DECIMAL ? Cell("precision,scale") : std::nullopt, n(SQL_NULLABLE),
                    n(data == SQL_VARCHAR), n(SQL_SEARCHABLE), std::nullopt, n(SQL_FALSE),
                    std::nullopt, name, n(0), n(data == SQL_DECIMAL ? 38 : digits),
                    verboseType(data), datetimeSubcode(data),
                    isNumeric(data) ? n(10) : std::nullopt, std::nullopt});
    }
    return result.take();
}

}  // namespace whemu

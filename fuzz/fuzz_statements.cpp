// Fuzz target: statements built from arbitrary names and values.
//
// Input: a schema name, a table name, up to five column names with a type
// each, and up to three rows of values. The Databricks builder writes the
// information-schema query, CREATE TABLE, ALTER TABLE and the multi-row
// INSERT for the names as the warehouse can hold them. Oracle: each statement
// is read back with an independent Spark tokenizer and has exactly its shape
// (no second statement, no comment, nothing left over); every identifier
// decodes to the name given, every value to the value given.
//
// The same values then go through the warehouse emulator's prepared-statement
// path: the built INSERT holds no `?` marker (every '?' sits in a literal or a
// name); a prepared INSERT with one marker per value takes each value, bound
// as SQL_C_CHAR and as SQL_C_WCHAR, back as the same text, marker by marker;
// and a cell read through SQLGetData's conversion in pieces of any size joins
// back to the value, as bytes and as UTF-16.

#include <fuzzer/FuzzedDataProvider.h>
#include <rapidjson/document.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../tests/test_hostile_statements.h"
#include "databricks_sql_builder.h"
#include "fuzz_support.h"
#include "odbc_values.h"
#include "spark_lexer.h"
#include "warehouse_types.h"

namespace {

const char* const kTypes[] = {"VARCHAR(256)", "STRING", "TIMESTAMP", "BIGINT", "DOUBLE", "VARIANT"};

bool valueReadsBack(const sqlshape::Value& v, const std::string& value, const std::string& type) {
    switch (v.kind) {
        case sqlshape::Value::String:
            return v.text == value;
        case sqlshape::Value::Number:
            return type == "BIGINT" || type == "DOUBLE" ? v.text == value : false;
        case sqlshape::Value::Null:
            return fuzzsupport::lowerAscii(value) == "null";
        case sqlshape::Value::True:
            return fuzzsupport::lowerAscii(value) == "true";
        case sqlshape::Value::False:
            return fuzzsupport::lowerAscii(value) == "false";
        case sqlshape::Value::Json: {
            if (type != "VARIANT")
                return false;
            // Bytes that are not UTF-8 cannot be JSON: they are replaced.
            const std::string text = fuzzsupport::utf8Repaired(value);
            if (v.text == text)
                return true;
            rapidjson::Document document;
            document.Parse(v.text.c_str(), v.text.size());
            return !document.HasParseError() && document.IsString() &&
                   std::string(document.GetString(), document.GetStringLength()) == text;
        }
    }
    return false;
}

void parseOrDie(const std::string& sql, sqlshape::Statement& st) {
    std::string error;
    if (!sqlshape::parse(sql, st, error)) {
        std::fprintf(stderr, "statement of no known shape (%s): %.300s\n", error.c_str(),
                     sql.c_str());
        FUZZ_CHECK(false, "statement shape");
    }
}

// The bytes of `value` read back through the cell conversion into buffers
// with room for `piece` characters (bytes or UTF-16 units) each.
std::string readInPieces(const std::string& value, SQLSMALLINT type, size_t piece) {
    const size_t unit = type == SQL_C_WCHAR ? sizeof(SQLWCHAR) : 1;
    std::vector<char> buffer((piece + 1) * unit);
    whemu::CellCursor cursor;
    std::string joined;
    while (!cursor.done) {
        SQLLEN remaining = 0;
        const whemu::CellTarget target{type, buffer.data(), static_cast<SQLLEN>(buffer.size()),
                                       &remaining};
        whemu::writeCell(value, SQL_VARCHAR, target, cursor);
        const size_t copied = std::min(static_cast<size_t>(remaining), piece * unit);
        joined.append(buffer.data(), copied);
    }
    return joined;
}

// The value as a bound parameter of C type `type` reads back as a string literal.
std::string boundText(const std::string& value, SQLSMALLINT type) {
    const std::basic_string<SQLWCHAR> wide = whemu::utf16FromUtf8(value);
    whemu::BoundParameter parameter;
    parameter.valueType = type;
    parameter.value =
        const_cast<void*>(type == SQL_C_WCHAR ? static_cast<const void*>(wide.data())
                                              : static_cast<const void*>(value.data()));
    SQLLEN length =
        static_cast<SQLLEN>(type == SQL_C_WCHAR ? wide.size() * sizeof(SQLWCHAR) : value.size());
    parameter.indicator = &length;
    const whemu::Literal literal = whemu::parameterLiteral(parameter);
    FUZZ_CHECK(literal.kind == whemu::Literal::String, "bound text is no string literal");
    return literal.text;
}

void checkPrepared(const std::string& insert, const std::vector<std::vector<std::string>>& values,
                   size_t piece) {
    FUZZ_CHECK(whemu::countParameterMarkers(insert) == 0, "a built statement holds a marker");
    std::string prepared = "INSERT INTO t VALUES ";
    std::vector<whemu::Literal> bound;
    for (const auto& row : values) {
        prepared += bound.empty() ? "(" : ", (";
        for (size_t c = 0; c < row.size(); ++c) {
            prepared += c ? ", ?" : "?";
            const std::string& value = row[c];
            FUZZ_CHECK(boundText(value, SQL_C_CHAR) == value, "SQL_C_CHAR parameter changed");
            if (fuzzsupport::validUtf8(value))
                FUZZ_CHECK(boundText(value, SQL_C_WCHAR) == value, "SQL_C_WCHAR parameter changed");
            bound.push_back(whemu::Literal{whemu::Literal::String, value, false, 0});
            FUZZ_CHECK(readInPieces(value, SQL_C_CHAR, piece) == value, "cell read in pieces");
            const std::basic_string<SQLWCHAR> wide = whemu::utf16FromUtf8(value);
            FUZZ_CHECK(readInPieces(value, SQL_C_WCHAR, piece) ==
                           std::string(reinterpret_cast<const char*>(wide.data()),
                                       wide.size() * sizeof(SQLWCHAR)),
                       "wide cell read in pieces");
        }
        prepared += ")";
    }
    FUZZ_CHECK(whemu::countParameterMarkers(prepared) == bound.size(), "markers miscounted");
    whemu::Lexer lexer(prepared);
    lexer.bindParameters(&bound);
    size_t taken = 0;
    for (; lexer.cur().kind != whemu::TokenKind::End; lexer.advance()) {
        if (lexer.isPunct('?'))
            FUZZ_CHECK(lexer.takeParameter().text == bound[taken++].text,
                       "marker took another value");
    }
    FUZZ_CHECK(taken == bound.size(), "a value was not taken");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::quietLogger();
    static DatabricksSQLBuilder builder;
    FuzzedDataProvider in(data, size);

    const std::string schema = in.ConsumeRandomLengthString(30);
    const std::string table = builder.tableNameFor(in.ConsumeRandomLengthString(300));
    const size_t columnCount = in.ConsumeIntegralInRange<size_t>(1, 5);
    std::vector<std::string> columns, types;
    std::vector<bool> notNull;
    for (size_t i = 0; i < columnCount; ++i) {
        columns.push_back(builder.columnNameFor(in.ConsumeRandomLengthString(40)));
        types.push_back(kTypes[in.ConsumeIntegralInRange<size_t>(0, 5)]);
        notNull.push_back(in.ConsumeBool());
    }
    const size_t rowCount = in.ConsumeIntegralInRange<size_t>(1, 3);
    const size_t piece = in.ConsumeIntegralInRange<size_t>(1, 64);
    std::vector<std::vector<std::string>> values(rowCount);
    for (auto& row : values) {
        for (size_t c = 0; c < columnCount; ++c)
            row.push_back(in.ConsumeRandomLengthString(60));
    }

    sqlshape::Statement st;

    parseOrDie(builder.buildInformationSchemaQuery(schema, table), st);
    FUZZ_CHECK(st.kind == sqlshape::Statement::Select, "not a SELECT");
    FUZZ_CHECK(st.schema == fuzzsupport::lowerAscii(schema), "schema changed");
    FUZZ_CHECK(st.table == fuzzsupport::lowerAscii(table), "table changed");

    SQLBuilder::ColumnDefinitions definitions;
    for (size_t c = 0; c < columnCount; ++c)
        definitions.emplace_back(columns[c], types[c] + (notNull[c] ? " NOT NULL" : ""));
    parseOrDie(builder.buildCreateTable(table, definitions), st);
    FUZZ_CHECK(st.kind == sqlshape::Statement::Create, "not a CREATE");
    FUZZ_CHECK(
        st.table == table && st.columns == columns && st.types == types && st.notNull == notNull,
        "CREATE names or types changed");

    parseOrDie(builder.buildAlterTable(table, columns[0], types[0]), st);
    FUZZ_CHECK(st.kind == sqlshape::Statement::Alter, "not an ALTER");
    FUZZ_CHECK(st.table == table && st.columns.size() == 1 && st.columns[0] == columns[0] &&
                   st.types[0] == types[0],
               "ALTER names or type changed");

    SQLBuilder::Rows rows;
    for (const auto& row : values) {
        std::vector<std::string> formatted;
        for (size_t c = 0; c < columnCount; ++c)
            formatted.push_back(builder.formatValue(row[c], types[c]));
        rows.push_back(std::move(formatted));
    }
    builder.setTableName(table);
    builder.setColumns(columns);
    builder.setValues(std::move(rows));
    const std::string insert = builder.buildBulkInsert();
    if (table.empty()) {
        FUZZ_CHECK(insert.empty(), "INSERT without a table");
        return 0;
    }
    parseOrDie(insert, st);
    FUZZ_CHECK(st.kind == sqlshape::Statement::Insert, "not an INSERT");
    FUZZ_CHECK(st.table == table && st.columns == columns, "INSERT names changed");
    FUZZ_CHECK(st.rows.size() == rowCount, "INSERT rows lost");
    for (size_t r = 0; r < rowCount; ++r) {
        for (size_t c = 0; c < columnCount; ++c) {
            FUZZ_CHECK(valueReadsBack(st.rows[r][c], values[r][c], types[c]),
                       "INSERT value does not read back");
        }
    }
    checkPrepared(insert, values, piece);
    return 0;
}

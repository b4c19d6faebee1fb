#pragma once
// Runs one statement on a Session with the warehouse's semantics.
//
// CREATE TABLE, ALTER TABLE ... ADD COLUMN, DROP TABLE and INSERT ... VALUES
// are parsed here and carried out on SQLite inside one transaction each, with
// the warehouse's name rules, type checks and SQLSTATEs; a statement that
// fails writes nothing. Queries (SELECT, WITH) are translated (backtick names,
// Spark string literals as bound parameters) and run by SQLite; their rows are
// read completely into a ResultSet of texts. Failures are thrown as
// WarehouseError. Not thread-safe: one Session, one thread.

#include <string>
#include <string_view>
#include <vector>

#include "session.h"
#include "warehouse_types.h"

namespace whemu {

struct ResultColumn {
    std::string name;
    int sqlType = 12;  // ODBC SQL type reported by SQLDescribeCol (SQL_VARCHAR)
    long columnSize = 0;
    int decimalDigits = 0;  // scale of a DECIMAL, fraction digits of a TIMESTAMP
    bool typed = false;     // the type comes from a table column's warehouse type
};

struct ResultSet {
    std::vector<ResultColumn> columns;
    std::vector<std::string> cells;  // row-major, columns.size() per row
    std::vector<unsigned char> nulls;
    size_t rows = 0;
};

struct Outcome {
    bool hasResultSet = false;
    ResultSet result;
    long long rowCount = -1;  // rows written by an INSERT
};

Outcome execute(Session& session, std::string_view sql);
// Runs a statement whose `?` markers take `parameters` in order, as values
// (never as SQL text): each is read as the literal of its kind would be.
// Throws 07002 when a marker has no value.
Outcome execute(Session& session, std::string_view sql, const std::vector<Literal>& parameters);

}  // namespace whemu

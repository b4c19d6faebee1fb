#pragma once
// Runs one statement on a Session with the warehouse's semantics.
//
// execute() checks the fault files, reads the statement's first keyword and
// hands it to the unit of its kind (statement_kinds.h): CREATE, ALTER, DROP,
// INSERT, MERGE and DELETE are carried out on SQLite inside one transaction
// each, with the warehouse's name rules, type checks and SQLSTATEs, so a
// statement that fails writes nothing; queries (SELECT, WITH) are translated
// (backtick names, literals and `?` values as bound parameters) and run by
// SQLite; SHOW and DESCRIBE answer from the catalog. A result is read
// completely into a ResultSet of texts whose columns carry their ODBC types.
// Failures are thrown as WarehouseError. Not thread-safe: one Session, one
// thread.

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

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

namespace whemu {

struct ResultColumn {
    std::string name;
    int sqlType = 0;  // ODBC SQL type reported by SQLDescribeCol
    long columnSize = 0;
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

}  // namespace whemu

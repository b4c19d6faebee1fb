#pragma once
// Statements and ODBC catalog functions that describe the schema rather than
// read its tables: SHOW TABLES, SHOW SCHEMAS, DESCRIBE TABLE, and the result
// sets of SQLTables, SQLColumns and SQLGetTypeInfo.
//
// Each builds a whole ResultSet from the catalog of the connection's schema
// file (and, for SHOW SCHEMAS, the schema files of the warehouse directory).
// The SHOW and DESCRIBE statements answer with the warehouse's result columns;
// the ODBC functions with the columns the ODBC standard names. Failures
// are thrown as WarehouseError. Not thread-safe: one Session, one thread.

#include <optional>
#include <string>
#include <string_view>

#include "executor.h"
#include "session.h"
#include "spark_lexer.h"

namespace whemu {

// SHOW TABLES [{FROM | IN} schema] [[LIKE] 'pattern'], the lexer after SHOW.
Outcome showTables(Session& session, Lexer& lexer);
// SHOW {SCHEMAS | DATABASES} [[LIKE] 'pattern'], the lexer after SHOW.
Outcome showSchemas(Session& session, Lexer& lexer);
// DESCRIBE [TABLE] name, the lexer after DESCRIBE (or DESC).
Outcome describeTable(Session& session, Lexer& lexer);

// The search patterns of a catalog function; nullopt where the application
// passed a null pointer (no restriction). `%` and `_` are wildcards.
struct CatalogPatterns {
    std::optional<std::string> schema;
    std::optional<std::string> table;
    std::optional<std::string> column;
    std::optional<std::string> tableTypes;  // SQLTables: comma-separated list
};

Outcome odbcTables(Session& session, const CatalogPatterns& patterns);
Outcome odbcColumns(Session& session, const CatalogPatterns& patterns);
// SQLGetTypeInfo for one SQL type, or every type for SQL_ALL_TYPES.
Outcome odbcTypeInfo(int sqlType);

// Returns true iff `name` matches an ODBC search pattern (`%` any run, `_`
// one character, `\` escapes), ignoring ASCII letter case.
bool matchesSearchPattern(std::string_view pattern, std::string_view name);

}  // namespace whemu

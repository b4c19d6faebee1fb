#pragma once
// One unit per statement kind, called by execute() (executor.cpp) once the
// statement's first keyword is read: DDL (ddl_statements.cpp), INSERT
// (insert_statement.cpp, with its INSERT ... SELECT * FROM (VALUES ...)
// EXCEPT ALL form), MERGE (merge_statement.cpp), queries and DELETE
// (query_statements.cpp), SHOW and DESCRIBE (catalog_results.h). Each reads
// the rest of its statement from the lexer, analyses it, and carries it out
// on the session's SQLite file in one transaction; failures are thrown as
// WarehouseError and write nothing. Not thread-safe: one Session, one thread.

#include <string_view>
#include <utility>
#include <vector>

#include <sqlite3.h>

#include <string>

#include "executor.h"
#include "session.h"
#include "spark_lexer.h"
#include "warehouse_types.h"

namespace whemu {

// The lexer stands after CREATE, ALTER, DROP, INSERT or MERGE.
Outcome createTable(Session& session, Lexer& lexer);
Outcome alterTable(Session& session, Lexer& lexer);
Outcome dropTable(Session& session, Lexer& lexer);
Outcome insertRows(Session& session, Lexer& lexer);
Outcome mergeRows(Session& session, Lexer& lexer);
// The lexer stands after DELETE; `sql` is the whole statement.
Outcome deleteRows(Session& session, Lexer& lexer, std::string_view sql);
// The lexer stands on the query's first token (SELECT, WITH or '(').
Outcome runQuery(Session& session, Lexer& lexer);

// Fills the connection's temporary table _lakesink_merge_source (dropped
// first if left over) with rows of cast values: one column per name, of the
// storage type of its target column (none where there is no target).
void loadSourceRows(sqlite3* db, const std::vector<std::string>& names,
                    const std::vector<const Column*>& targetOf, const std::vector<Stored>& stored);

// Runs `sql` (an INSERT reading _lakesink_merge_source) with `parameters`
// bound, then drops the source table. Returns the rows inserted.
long long insertFromSource(sqlite3* db, const std::string& sql,
                           const std::vector<Literal>& parameters);

// The one-row result of counts the warehouse answers a DML statement with:
// BIGINT columns, the first one (num_affected_rows) also the row count.
Outcome dmlCounts(const std::vector<std::pair<const char*, long long>>& counts);

}  // namespace whemu

#pragma once
// Queries as SQLite runs them. The warehouse's query text is translated token
// by token: names quoted for SQLite, string literals and `?` markers turned
// into bound parameters (values never enter the SQL text), the connection's
// schema qualifier mapped to SQLite's `main` (a relation alias spelled like
// the schema stays the alias), `<=>` to IS, the VARIANT path `col:key` to
// json_extract and the cast `expr::type` to CAST or spark_double. Plain
// values and functions; no shared state.

#include <sqlite3.h>

#include <string>
#include <vector>

#include "relation_scope.h"
#include "session.h"
#include "spark_lexer.h"
#include "warehouse_types.h"

namespace whemu {

// Closes a prepared query on every way out.
struct PreparedQuery {
    sqlite3_stmt* stmt = nullptr;
    ~PreparedQuery() { sqlite3_finalize(stmt); }
};

// A query (or the condition of a DELETE) as SQLite runs it: string literals
// become parameters, names are quoted for SQLite, `schema.table` reads the
// connection's schema, and the warehouse's VARIANT path `col:key.key` and cast
// `expr::type` (on a name or a path) become json_extract and CAST.
struct TranslatedQuery {
    std::string sql;
    std::vector<Literal> parameters;  // bound to the `?` of `sql` in order
    bool readsInformationSchema = false;
};

// Translates from the current token to the end of the statement or, with
// `untilWhen`, to the keyword WHEN outside parentheses (left unread);
// `scope` tells relation aliases from the schema.
TranslatedQuery translateQuery(Lexer& lexer, const Session& session, bool untilWhen,
                               const RelationScope& scope);

// Binds each value as SQLite compares it with what the tables store.
void bindParameters(sqlite3_stmt* stmt, const std::vector<Literal>& parameters);

// Throws the WarehouseError for SQLite's refusal of a translated query
// (42P01, 42703, 42883, 42601, 54001, HYT00, ... as the warehouse names them).
[[noreturn]] void queryError(sqlite3* db);

}  // namespace whemu

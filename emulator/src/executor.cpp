#include "executor.h"

#include <sqlext.h>

#include <algorithm>
#include <charconv>
#include <optional>

#include "catalog_results.h"
#include "diagnostics.h"
#include "spark_lexer.h"
#include "statement_analysis.h"
#include "statement_kinds.h"
#include "storage.h"
#include "warehouse_types.h"

namespace whemu {

// ---- INSERT -------------------------------------------------------------------------

// The one-row result of counts the warehouse answers a DML statement with:
// BIGINT columns, the first one (num_affected_rows) also the row count.
Outcome dmlCounts(const std::vector<std::pair<const char*, long long>>& counts) {
    Outcome outcome;
    outcome.hasResultSet = true;
    outcome.rowCount = counts.front().second;
    ResultSet& result = outcome.result;
    for (const auto& [name, value] : counts) {
        result.columns.push_back(ResultColumn{name, SQL_BIGINT, 19});
        result.cells.push_back(std::to_string(value));
        result.nulls.push_back(0);
    }
    result.rows = 1;
    return outcome;
}

namespace {

Outcome dispatch(Session& session, std::string_view sql, const std::vector<Literal>* parameters) {
    Lexer lexer(sql);
    lexer.bindParameters(parameters);
    if (lexer.acceptKeyword("CREATE"))
        return createTable(session, lexer);
    if (lexer.acceptKeyword("ALTER"))
        return alterTable(session, lexer);
    if (lexer.acceptKeyword("INSERT"))
        return insertRows(session, lexer);
    if (lexer.acceptKeyword("DROP"))
        return dropTable(session, lexer);
    if (lexer.acceptKeyword("MERGE"))
        return mergeRows(session, lexer);
    if (lexer.acceptKeyword("DELETE"))
        return deleteRows(session, lexer, sql);
    if (lexer.acceptKeyword("SHOW")) {
        if (lexer.acceptKeyword("TABLES"))
            return showTables(session, lexer);
        if (lexer.acceptKeyword("SCHEMAS") || lexer.acceptKeyword("DATABASES"))
            return showSchemas(session, lexer);
        fail("0A000", kNativeAnalysis,
             "[NOT_EMULATED] The statement SHOW " + printable(lexer.cur().text, 40) +
                 " is not emulated.");
    }
    if (lexer.acceptKeyword("DESCRIBE") || lexer.acceptKeyword("DESC"))
        return describeTable(session, lexer);
    if (lexer.isKeyword("SELECT") || lexer.isKeyword("WITH") || lexer.isPunct('(')) {
        return runQuery(session, lexer);
    }
    if (lexer.cur().kind == TokenKind::End) {
        fail("42601", kNativeAnalysis,
             "[PARSE_EMPTY_STATEMENT] Syntax error, unexpected empty statement.");
    }
    if (lexer.cur().kind == TokenKind::Word) {
        fail("0A000", kNativeAnalysis,
             "[NOT_EMULATED] The statement " + printable(lexer.cur().text, 40) +
                 " is not emulated.");
    }
    lexer.syntaxError();
}

}  // namespace

Outcome execute(Session& session, std::string_view sql) {
    return execute(session, sql, std::vector<Literal>());
}

Outcome execute(Session& session, std::string_view sql, const std::vector<Literal>& parameters) {
    Outcome outcome;
    try {
        session.checkStatement(sql);
        outcome = dispatch(session, sql, &parameters);
    } catch (const WarehouseError&) {
        session.answerLost();
        throw;
    }
    session.answerLost();
    return outcome;
}

}  // namespace whemu

// The insert-only MERGE INTO ... USING (VALUES ...) ... WHEN NOT MATCHED THEN INSERT.

#include <sqlext.h>

#include <algorithm>
#include <charconv>
#include <optional>
#include <vector>

#include "diagnostics.h"
#include "query_translation.h"
#include "relation_scope.h"
#include "spark_lexer.h"
#include "statement_analysis.h"
#include "statement_kinds.h"
#include "storage.h"
#include "value_literals.h"
#include "warehouse_types.h"

namespace whemu {

namespace {

// ---- MERGE (insert-only) -----------------------------------------------------------

// MERGE INTO t [[AS] a] USING (VALUES ...) [AS] s(c1, ...) ON <condition>
// WHEN NOT MATCHED [BY TARGET] THEN INSERT (cols) VALUES (s.c1, ...) | INSERT *
struct MergeStatement {
    TableRef table;
    std::string targetAlias;
    std::string sourceAlias;
    std::vector<std::string> sourceColumns;
    std::vector<std::vector<Literal>> rows;
    TranslatedQuery condition;
    bool insertAll = false;                  // INSERT *
    std::vector<std::string> insertColumns;  // INSERT (cols)
    std::vector<std::string> insertValues;   // source column of each, as written
};

[[noreturn]] void mergeNotEmulated(const std::string& what) {
    fail("0A000", kNativeAnalysis,
         "[NOT_EMULATED] The emulator runs only the insert-only MERGE ... WHEN NOT MATCHED THEN "
         "INSERT, not " +
             what + ".");
}

// An optional alias: AS name, or a bare word that is not `stop`.
std::string readAlias(Lexer& lexer, const char* stop) {
    if (lexer.acceptKeyword("AS"))
        return lexer.expectName();
    if ((lexer.cur().kind == TokenKind::Word && !lexer.isKeyword(stop)) ||
        lexer.cur().kind == TokenKind::QuotedName) {
        return lexer.expectName();
    }
    return std::string();
}

void readMergeSource(Lexer& lexer, MergeStatement& merge, Pending& pending) {
    lexer.expectKeyword("USING");
    if (!lexer.acceptPunct('('))
        mergeNotEmulated("a source other than (VALUES ...)");
    if (!lexer.acceptKeyword("VALUES"))
        mergeNotEmulated("a source other than (VALUES ...)");
    do {
        lexer.expectPunct('(');
        std::vector<Literal>& row = merge.rows.emplace_back();
        do {
            readLiteral(lexer, row.emplace_back(), pending);
        } while (lexer.acceptPunct(','));
        lexer.expectPunct(')');
    } while (lexer.acceptPunct(','));
    lexer.expectPunct(')');
    merge.sourceAlias = readAlias(lexer, "ON");
    if (merge.sourceAlias.empty())
        lexer.syntaxError();
    if (lexer.acceptPunct('(')) {
        do {
            merge.sourceColumns.push_back(lexer.expectName());
        } while (lexer.acceptPunct(','));
        lexer.expectPunct(')');
    } else {
        // Spark names the columns of an inline table col1, col2, ...
        for (size_t i = 0; !merge.rows.empty() && i < merge.rows.front().size(); ++i)
            merge.sourceColumns.push_back("col" + std::to_string(i + 1));
    }
}

void readMergeClause(Lexer& lexer, MergeStatement& merge) {
    lexer.expectKeyword("WHEN");
    if (!lexer.acceptKeyword("NOT"))
        mergeNotEmulated("WHEN MATCHED");
    lexer.expectKeyword("MATCHED");
    if (lexer.acceptKeyword("BY")) {
        if (!lexer.acceptKeyword("TARGET"))
            mergeNotEmulated("WHEN NOT MATCHED BY SOURCE");
    }
    if (lexer.isKeyword("AND"))
        mergeNotEmulated("a condition on WHEN NOT MATCHED");
    lexer.expectKeyword("THEN");
    lexer.expectKeyword("INSERT");
    if (lexer.acceptPunct('*')) {
        merge.insertAll = true;
    } else {
        lexer.expectPunct('(');
        do {
            merge.insertColumns.push_back(lexer.expectName());
        } while (lexer.acceptPunct(','));
        lexer.expectPunct(')');
        lexer.expectKeyword("VALUES");
        lexer.expectPunct('(');
        do {
            std::string name = lexer.expectName();
            if (lexer.acceptPunct('.')) {
                if (!equalsIgnoreCase(name, merge.sourceAlias)) {
                    fail("42703", kNativeAnalysis,
                         "[UNRESOLVED_COLUMN.WITHOUT_SUGGESTION] A column, variable, or function "
                         "parameter with name " +
                             quoted(name) + " cannot be resolved.");
                }
                name = lexer.expectName();
            }
            merge.insertValues.push_back(name);
        } while (lexer.acceptPunct(','));
        lexer.expectPunct(')');
    }
    if (lexer.isKeyword("WHEN"))
        mergeNotEmulated("several WHEN clauses");
    lexer.expectStatementEnd();
}

size_t sourceIndex(const MergeStatement& merge, std::string_view name) {
    for (size_t i = 0; i < merge.sourceColumns.size(); ++i) {
        if (equalsIgnoreCase(merge.sourceColumns[i], name))
            return i;
    }
    fail("42703", kNativeAnalysis,
         "[UNRESOLVED_COLUMN.WITHOUT_SUGGESTION] A column, variable, or function parameter with "
         "name " +
             quoted(merge.sourceAlias) + "." + quoted(name) + " cannot be resolved.");
}

// For every target column, the source column inserted into it or npos (NULL).
std::vector<size_t> mergeMapping(const MergeStatement& merge, const std::vector<Column>& columns,
                                 std::string_view table) {
    std::vector<size_t> from(columns.size(), std::string::npos);
    if (merge.insertAll) {
        // Target columns missing from the source get NULL; extra source
        // columns are not written.
        for (size_t t = 0; t < columns.size(); ++t) {
            for (size_t c = 0; c < merge.sourceColumns.size(); ++c) {
                if (equalsIgnoreCase(columns[t].name, merge.sourceColumns[c]))
                    from[t] = c;
            }
        }
        return from;
    }
    if (merge.insertColumns.size() != merge.insertValues.size()) {
        fail("21S01", kNativeAnalysis,
             "[INSERT_COLUMN_ARITY_MISMATCH] Cannot write to " + quoted(table) + ": " +
                 std::to_string(merge.insertColumns.size()) + " columns but " +
                 std::to_string(merge.insertValues.size()) + " values.");
    }
    for (size_t i = 0; i < merge.insertColumns.size(); ++i) {
        checkColumnName(merge.insertColumns[i]);
        size_t t = 0;
        while (t < columns.size() && !equalsIgnoreCase(columns[t].name, merge.insertColumns[i]))
            ++t;
        if (t == columns.size()) {
            fail("42703", kNativeAnalysis,
                 "[UNRESOLVED_COLUMN.WITHOUT_SUGGESTION] A column, variable, or function "
                 "parameter with name " +
                     quoted(merge.insertColumns[i]) + " cannot be resolved (table " +
                     quoted(table) + ").");
        }
        if (from[t] != std::string::npos) {
            fail("42701", kNativeAnalysis,
                 "[COLUMN_ALREADY_EXISTS] The column " + quoted(merge.insertColumns[i]) +
                     " is named more than once in the INSERT column list.");
        }
        from[t] = sourceIndex(merge, merge.insertValues[i]);
    }
    return from;
}

// Checks the source rows and casts them: each source column to the type of
// the target column it is inserted into, so that the condition compares
// values as stored; a source column that is not inserted keeps its text.
std::vector<Stored> castMergeSource(MergeStatement& merge, const std::vector<Column>& columns,
                                    const std::vector<size_t>& from, Pending& pending) {
    const size_t width = merge.sourceColumns.size();
    std::vector<const Column*> targetOf(width, nullptr);
    for (size_t t = 0; t < columns.size(); ++t) {
        if (from[t] != std::string::npos)
            targetOf[from[t]] = &columns[t];
        else if (!columns[t].nullable)
            pending.setData(WarehouseError(
                "23502", kNativeRuntime,
                "[DELTA_NOT_NULL_CONSTRAINT_VIOLATED] NOT NULL constraint violated for column: " +
                    printable(columns[t].name) + " (not written by the MERGE into " +
                    quoted(merge.table.name) + ")."));
    }
    for (size_t r = 0; r < merge.rows.size(); ++r) {
        if (merge.rows[r].size() != width) {
            pending.setAnalysis(WarehouseError(
                "21S01", kNativeAnalysis,
                "[INVALID_INLINE_TABLE.NUM_COLUMNS_MISMATCH] Invalid inline table: row " +
                    std::to_string(r + 1) + " has " + std::to_string(merge.rows[r].size()) +
                    " values but the alias names " + std::to_string(width) + " columns."));
            return {};
        }
    }
    checkInlineTable(merge.rows, targetOf, pending);
    std::vector<Stored> stored(merge.rows.size() * width);
    for (size_t r = 0; r < merge.rows.size() && !pending.analysis; ++r) {
        for (size_t c = 0; c < width; ++c) {
            const Literal& literal = merge.rows[r][c];
            Stored& out = stored[r * width + c];
            if (!targetOf[c]) {
                out.tag = literal.kind == Literal::Null ? Stored::Null : Stored::Text;
                out.s = literal.kind == Literal::Boolean ? (literal.boolean ? "true" : "false")
                                                         : literal.text;
                continue;
            }
            try {
                storeValue(literal, *targetOf[c], merge.table.name, out);
            } catch (const WarehouseError& e) {
                if (e.diag().native == kNativeAnalysis)
                    pending.setAnalysis(e);
                else
                    pending.setData(e);
            }
        }
    }
    return stored;
}

// A name SQLite reads as the row id of `columns`' table, or empty when all
// three are taken by columns.
std::string rowIdName(const std::vector<Column>& columns) {
    for (const char* name : {"rowid", "_rowid_", "oid"}) {
        bool taken = false;
        for (const Column& column : columns)
            taken = taken || equalsIgnoreCase(column.name, name);
        if (!taken)
            return name;
    }
    return std::string();
}

// INSERT INTO main.t (...) SELECT the source rows that no target row matches.
// A LEFT JOIN lets SQLite index the target for the match; the NOT EXISTS form
// is kept for a table whose columns hide every row id name.
std::string mergeInsertSql(const MergeStatement& merge, const std::vector<Column>& columns,
                           const std::vector<size_t>& from) {
    const std::string target = sqliteName(merge.targetAlias);
    const std::string source = sqliteName(merge.sourceAlias);
    std::string names, values;
    for (size_t t = 0; t < columns.size(); ++t) {
        if (from[t] == std::string::npos)
            continue;
        names += (names.empty() ? "" : ", ") + sqliteName(columns[t].name);
        values +=
            (values.empty() ? "" : ", ") + source + "." + sqliteName(merge.sourceColumns[from[t]]);
    }
    std::string sql = "INSERT INTO main." + sqliteName(merge.table.name) + " (" + names +
                      ") SELECT " + values + " FROM temp._lakesink_merge_source AS " + source;
    const std::string rowId = rowIdName(columns);
    if (rowId.empty()) {
        return sql + " WHERE NOT EXISTS (SELECT 1 FROM main." + sqliteName(merge.table.name) +
               " AS " + target + " WHERE " + merge.condition.sql + ")";
    }
    return sql + " LEFT JOIN main." + sqliteName(merge.table.name) + " AS " + target + " ON " +
           merge.condition.sql + " WHERE " + target + "." + rowId + " IS NULL";
}

// Reads the statement after MERGE to its end; values the warehouse refuses
// while analysing go to `pending`.
MergeStatement readMerge(const Session& session, Lexer& lexer, Pending& pending) {
    lexer.expectKeyword("INTO");
    MergeStatement merge;
    merge.table = readTableName(lexer);
    merge.targetAlias = readAlias(lexer, "USING");
    if (merge.targetAlias.empty())
        merge.targetAlias = merge.table.name;
    readMergeSource(lexer, merge, pending);
    lexer.expectKeyword("ON");
    RelationScope scope;
    scope.relations = {merge.targetAlias, merge.sourceAlias};
    merge.condition = translateQuery(lexer, session, true, scope);
    if (merge.condition.sql.empty())
        lexer.syntaxError();
    readMergeClause(lexer, merge);
    return merge;
}

// Inserts the source rows no target row matches, in one transaction unless
// the table changed since it was analysed (2D521). Returns the rows inserted.
long long writeMerge(Session& session, const MergeStatement& merge,
                     const std::vector<Column>& columns, const std::vector<size_t>& from,
                     const std::vector<Stored>& stored, int64_t version) {
    std::vector<const Column*> targetOf(merge.sourceColumns.size(), nullptr);
    for (size_t t = 0; t < columns.size(); ++t) {
        if (from[t] != std::string::npos)
            targetOf[from[t]] = &columns[t];
    }
    sqlite3* db = session.db();
    session.waitCommit();
    Transaction transaction(db);
    if (tableVersion(db, merge.table.name) != version)
        metadataChanged(merge.table.name);
    loadSourceRows(db, merge.sourceColumns, targetOf, stored);
    const long long inserted =
        insertFromSource(db, mergeInsertSql(merge, columns, from), merge.condition.parameters);
    transaction.commit();
    return inserted;
}

}  // namespace

void loadSourceRows(sqlite3* db, const std::vector<std::string>& names,
                    const std::vector<const Column*>& targetOf, const std::vector<Stored>& stored) {
    const size_t width = names.size();
    std::string create = "CREATE TEMP TABLE _lakesink_merge_source (";
    std::string insert = "INSERT INTO temp._lakesink_merge_source VALUES (";
    for (size_t c = 0; c < width; ++c) {
        create += (c ? ", " : "") + sqliteName(names[c]);
        if (targetOf[c])
            create += std::string(" ") + targetOf[c]->type.storageType();
        insert += c ? ", ?" : "?";
    }
    exec(db, "DROP TABLE IF EXISTS temp._lakesink_merge_source");
    exec(db, (create + ")").c_str());
    Statement statement(db, insert + ")");
    for (size_t r = 0; r * width < stored.size(); ++r) {
        for (size_t c = 0; c < width; ++c)
            bindStored(statement.get(), static_cast<int>(c + 1), stored[r * width + c]);
        statement.step();
        sqlite3_reset(statement.get());
    }
}

long long insertFromSource(sqlite3* db, const std::string& sql,
                           const std::vector<Literal>& parameters) {
    PreparedQuery query;
    if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &query.stmt, nullptr) !=
        SQLITE_OK) {
        queryError(db);
    }
    bindParameters(query.stmt, parameters);
    if (sqlite3_step(query.stmt) != SQLITE_DONE)
        queryError(db);
    const long long inserted = sqlite3_changes(db);
    exec(db, "DROP TABLE temp._lakesink_merge_source");
    return inserted;
}

Outcome mergeRows(Session& session, Lexer& lexer) {
    Pending pending;
    MergeStatement merge = readMerge(session, lexer, pending);
    sqlite3* db = session.db();
    std::vector<Column> columns;
    std::vector<size_t> from;
    int64_t version = 0;
    try {
        checkTableRef(session, merge.table);
        {
            Transaction snapshot(db, Transaction::Read);
            if (!loadTable(db, merge.table.name, columns))
                tableNotFound(merge.table.name);
            version = tableVersion(db, merge.table.name);
            snapshot.commit();
        }
        from = mergeMapping(merge, columns, merge.table.name);
    } catch (const WarehouseError& e) {
        pending.setAnalysis(e);
    }
    std::vector<Stored> stored;
    if (!pending.analysis)
        stored = castMergeSource(merge, columns, from, pending);
    pending.raise();
    merge.rows.clear();
    const long long inserted = writeMerge(session, merge, columns, from, stored, version);
    return dmlCounts({{"num_affected_rows", inserted},
                      {"num_updated_rows", 0},
                      {"num_deleted_rows", 0},
                      {"num_inserted_rows", inserted}});
}

}  // namespace whemu

// INSERT INTO ... VALUES: analysis, the inline-table check, casts to the columns, and the commit.

#include <sqlext.h>

#include <algorithm>
#include <charconv>
#include <optional>
#include <vector>

#include "diagnostics.h"
#include "spark_lexer.h"
#include "statement_analysis.h"
#include "statement_kinds.h"
#include "storage.h"
#include "value_literals.h"
#include "warehouse_types.h"

namespace whemu {

Outcome insertRows(Session& session, Lexer& lexer) {
    lexer.expectKeyword("INTO");
    lexer.acceptKeyword("TABLE");
    const TableRef table = readTableName(lexer);
    std::vector<std::string> names;
    const bool haveList = lexer.acceptPunct('(');
    if (haveList) {
        do {
            names.push_back(lexer.expectName());
        } while (lexer.acceptPunct(','));
        lexer.expectPunct(')');
    }
    if (!lexer.acceptKeyword("VALUES")) {
        if (lexer.isKeyword("SELECT") || lexer.isKeyword("TABLE") || lexer.isKeyword("WITH")) {
            fail("0A000", kNativeAnalysis,
                 "[NOT_EMULATED] INSERT ... SELECT is not emulated; use VALUES.");
        }
        lexer.syntaxError();
    }

    // Analysis reads a snapshot of the table; the write checks at commit that
    // no ALTER changed it meanwhile, as Delta's optimistic commit does.
    sqlite3* db = session.db();
    Pending pending;
    std::vector<Column> columns;
    std::vector<const Column*> targets;
    int64_t version = 0;
    try {
        checkTableRef(session, table);
        for (const std::string& name : names)
            checkColumnName(name);
        {
            Transaction snapshot(db, Transaction::Read);
            if (!loadTable(db, table.name, columns))
                tableNotFound(table.name);
            version = tableVersion(db, table.name);
            snapshot.commit();
        }
        if (!haveList) {
            for (const Column& column : columns)
                targets.push_back(&column);
        } else {
            for (const std::string& name : names) {
                const Column* found = nullptr;
                for (const Column& column : columns) {
                    if (equalsIgnoreCase(column.name, name))
                        found = &column;
                }
                if (!found) {
                    fail("42703", kNativeAnalysis,
                         "[UNRESOLVED_COLUMN.WITHOUT_SUGGESTION] A column, variable, or function "
                         "parameter with name " +
                             quoted(name) + " cannot be resolved (table " + quoted(table.name) +
                             ").");
                }
                for (const Column* target : targets) {
                    if (target == found) {
                        fail("42701", kNativeAnalysis,
                             "[COLUMN_ALREADY_EXISTS] The column " + quoted(name) +
                                 " is named more than once in the INSERT column list.");
                    }
                }
                targets.push_back(found);
            }
        }
    } catch (const WarehouseError& e) {
        pending.setAnalysis(e);
        targets.clear();
    }
    if (!pending.any() && haveList) {
        // Columns left out get NULL, which a NOT NULL column refuses.
        for (const Column& column : columns) {
            bool named = false;
            for (const Column* target : targets)
                named = named || target == &column;
            if (!named && !column.nullable) {
                pending.setData(WarehouseError(
                    "23502", kNativeRuntime,
                    "[DELTA_NOT_NULL_CONSTRAINT_VIOLATED] NOT NULL constraint violated for "
                    "column: " +
                        printable(column.name) + " (not named in the INSERT into " +
                        quoted(table.name) + ")."));
            }
        }
    }

    std::vector<std::vector<Literal>> values;
    do {
        lexer.expectPunct('(');
        std::vector<Literal>& row = values.emplace_back();
        row.reserve(targets.size());
        for (;;) {
            readLiteral(lexer, row.emplace_back(), pending);
            if (lexer.acceptPunct(','))
                continue;
            lexer.expectPunct(')');
            break;
        }
        if (row.size() != targets.size() && !pending.analysis) {
            pending.setAnalysis(WarehouseError(
                "21S01", kNativeAnalysis,
                "[INSERT_COLUMN_ARITY_MISMATCH] Cannot write to " + quoted(table.name) + ": row " +
                    std::to_string(values.size()) + " has " + std::to_string(row.size()) +
                    " values but the table expects " + std::to_string(targets.size()) + "."));
        }
    } while (lexer.acceptPunct(','));
    lexer.expectStatementEnd();
    if (!pending.analysis)
        checkInlineTable(values, targets, pending);

    // Every value is cast before anything is written; a refusal found while
    // analysing (cannot safely cast) wins over one found while casting.
    const size_t width = targets.size();
    std::vector<Stored> stored;
    if (!pending.analysis) {
        stored.resize(values.size() * width);
        for (size_t r = 0; r < values.size() && !pending.analysis; ++r) {
            for (size_t c = 0; c < width; ++c) {
                try {
                    storeValue(values[r][c], *targets[c], table.name, stored[r * width + c]);
                } catch (const WarehouseError& e) {
                    if (e.diag().native == kNativeAnalysis) {
                        pending.setAnalysis(e);
                        break;
                    }
                    pending.setData(e);
                }
            }
        }
    }
    pending.raise();
    const long long rowCount = static_cast<long long>(values.size());
    values.clear();

    session.waitCommit();
    Transaction transaction(db);
    if (tableVersion(db, table.name) != version)
        metadataChanged(table.name);
    std::string sql = "INSERT INTO " + sqliteName(table.name) + " (";
    for (size_t i = 0; i < width; ++i) {
        if (i)
            sql += ", ";
        sql += sqliteName(targets[i]->name);
    }
    sql += ") VALUES (";
    for (size_t i = 0; i < width; ++i)
        sql += i ? ", ?" : "?";
    sql += ")";
    {
        Statement insert(db, sql);
        for (size_t r = 0; r * width < stored.size(); ++r) {
            for (size_t c = 0; c < width; ++c)
                bindStored(insert.get(), static_cast<int>(c + 1), stored[r * width + c]);
            insert.step();
            sqlite3_reset(insert.get());
        }
    }
    transaction.commit();
    return dmlCounts({{"num_affected_rows", rowCount}, {"num_inserted_rows", rowCount}});
}

}  // namespace whemu

// INSERT INTO ... VALUES, and INSERT INTO t SELECT * FROM (VALUES ...) EXCEPT ALL SELECT * FROM t:
// analysis, the inline-table check, casts to the columns, and the commit.

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

// INSERT INTO [TABLE] name [(cols)] VALUES (...), ... as it is read and analysed.
struct InsertStatement {
    TableRef table;
    std::vector<std::string> names;  // the column list, as written
    bool haveList = false;
    std::vector<Column> columns;         // the table's, as analysed
    std::vector<const Column*> targets;  // the column of each value of a row
    int64_t version = 0;                 // the table's metadata version, as analysed
    std::vector<std::vector<Literal>> values;
    // SELECT * FROM (VALUES ...) EXCEPT ALL SELECT * FROM t [WHERE ...]: only
    // the rows the table does not hold yet, copy for copy, are written.
    bool exceptAll = false;
    std::string targetAlias;    // of the table read by EXCEPT ALL
    TranslatedQuery condition;  // its WHERE; empty: every row
};

[[noreturn]] void insertSelectNotEmulated() {
    fail("0A000", kNativeAnalysis,
         "[NOT_EMULATED] INSERT ... SELECT is emulated only as SELECT * FROM (VALUES ...) "
         "EXCEPT ALL SELECT * FROM <the same table>; use VALUES.");
}

// Reads up to and including VALUES (or, for the EXCEPT ALL form, the opening
// "SELECT * FROM (VALUES").
void readInsertHead(Lexer& lexer, InsertStatement& insert) {
    lexer.expectKeyword("INTO");
    lexer.acceptKeyword("TABLE");
    insert.table = readTableName(lexer);
    insert.haveList = lexer.acceptPunct('(');
    if (insert.haveList) {
        do {
            insert.names.push_back(lexer.expectName());
        } while (lexer.acceptPunct(','));
        lexer.expectPunct(')');
    }
    if (lexer.acceptKeyword("VALUES"))
        return;
    if (lexer.acceptKeyword("SELECT")) {
        insert.exceptAll = true;
        if (insert.haveList || !lexer.acceptPunct('*') || !lexer.acceptKeyword("FROM") ||
            !lexer.acceptPunct('(') || !lexer.acceptKeyword("VALUES"))
            insertSelectNotEmulated();
        return;
    }
    if (lexer.isKeyword("TABLE") || lexer.isKeyword("WITH"))
        insertSelectNotEmulated();
    lexer.syntaxError();
}

// An optional alias: AS name, or a bare name that is not the keyword `stop`.
std::string readOptionalAlias(Lexer& lexer, const char* stop) {
    if (lexer.acceptKeyword("AS"))
        return lexer.expectName();
    if ((lexer.cur().kind == TokenKind::Word && !lexer.isKeyword(stop)) ||
        lexer.cur().kind == TokenKind::QuotedName)
        return lexer.expectName();
    return std::string();
}

// Reads ") [AS] s EXCEPT ALL SELECT * FROM t [[AS] a] [WHERE <condition>]" to
// the end of the statement; the table must be the one written.
void readExceptTail(const Session& session, Lexer& lexer, InsertStatement& insert) {
    lexer.expectPunct(')');
    readOptionalAlias(lexer, "EXCEPT");
    lexer.expectKeyword("EXCEPT");
    if (!lexer.acceptKeyword("ALL"))
        insertSelectNotEmulated();
    lexer.expectKeyword("SELECT");
    if (!lexer.acceptPunct('*'))
        insertSelectNotEmulated();
    lexer.expectKeyword("FROM");
    const TableRef read = readTableName(lexer);
    if (read.name != insert.table.name)
        insertSelectNotEmulated();
    insert.targetAlias = readOptionalAlias(lexer, "WHERE");
    if (insert.targetAlias.empty())
        insert.targetAlias = insert.table.name;
    if (lexer.acceptKeyword("WHERE")) {
        RelationScope scope;
        scope.relations = {insert.targetAlias};
        insert.condition = translateQuery(lexer, session, false, scope);
        if (insert.condition.sql.empty())
            lexer.syntaxError();
    }
    lexer.expectStatementEnd();
}

// The table column a name of the column list writes; throws 42703 or 42701.
const Column* namedTarget(const InsertStatement& insert, const std::string& name) {
    const Column* found = nullptr;
    for (const Column& column : insert.columns) {
        if (equalsIgnoreCase(column.name, name))
            found = &column;
    }
    if (!found) {
        fail("42703", kNativeAnalysis,
             "[UNRESOLVED_COLUMN.WITHOUT_SUGGESTION] A column, variable, or function parameter "
             "with name " +
                 quoted(name) + " cannot be resolved (table " + quoted(insert.table.name) + ").");
    }
    for (const Column* target : insert.targets) {
        if (target == found) {
            fail("42701", kNativeAnalysis,
                 "[COLUMN_ALREADY_EXISTS] The column " + quoted(name) +
                     " is named more than once in the INSERT column list.");
        }
    }
    return found;
}

// Analysis reads a snapshot of the table; the write checks at commit that
// no ALTER changed it meanwhile, as Delta's optimistic commit does.
void resolveTargets(const Session& session, InsertStatement& insert) {
    checkTableRef(session, insert.table);
    for (const std::string& name : insert.names)
        checkColumnName(name);
    sqlite3* db = session.db();
    {
        Transaction snapshot(db, Transaction::Read);
        if (!loadTable(db, insert.table.name, insert.columns))
            tableNotFound(insert.table.name);
        insert.version = tableVersion(db, insert.table.name);
        snapshot.commit();
    }
    if (!insert.haveList) {
        for (const Column& column : insert.columns)
            insert.targets.push_back(&column);
        return;
    }
    for (const std::string& name : insert.names)
        insert.targets.push_back(namedTarget(insert, name));
}

// Columns left out of the list get NULL, which a NOT NULL column refuses.
void checkOmittedColumns(const InsertStatement& insert, Pending& pending) {
    for (const Column& column : insert.columns) {
        bool named = false;
        for (const Column* target : insert.targets)
            named = named || target == &column;
        if (!named && !column.nullable) {
            pending.setData(WarehouseError(
                "23502", kNativeRuntime,
                "[DELTA_NOT_NULL_CONSTRAINT_VIOLATED] NOT NULL constraint violated for "
                "column: " +
                    printable(column.name) + " (not named in the INSERT into " +
                    quoted(insert.table.name) + ")."));
        }
    }
}

// Reads the rows of the VALUES list.
void readValueRows(Lexer& lexer, InsertStatement& insert, Pending& pending) {
    do {
        lexer.expectPunct('(');
        std::vector<Literal>& row = insert.values.emplace_back();
        row.reserve(insert.targets.size());
        do {
            readLiteral(lexer, row.emplace_back(), pending);
        } while (lexer.acceptPunct(','));
        lexer.expectPunct(')');
        // EXCEPT ALL checks its own arity (checkExceptAll).
        if (row.size() != insert.targets.size() && !pending.analysis && !insert.exceptAll) {
            pending.setAnalysis(WarehouseError(
                "21S01", kNativeAnalysis,
                "[INSERT_COLUMN_ARITY_MISMATCH] Cannot write to " + quoted(insert.table.name) +
                    ": row " + std::to_string(insert.values.size()) + " has " +
                    std::to_string(row.size()) + " values but the table expects " +
                    std::to_string(insert.targets.size()) + "."));
        }
    } while (lexer.acceptPunct(','));
}

// EXCEPT ALL compares values, which a VARIANT column's cannot be, and needs
// as many values per row as the table has columns.
void checkExceptAll(const InsertStatement& insert, Pending& pending) {
    for (const Column& column : insert.columns) {
        if (column.type.kind == TypeKind::Variant) {
            pending.setAnalysis(WarehouseError(
                "42K09", kNativeAnalysis,
                "[DATATYPE_MISMATCH.INVALID_ORDERING_TYPE] EXCEPT ALL cannot compare column " +
                    printable(column.name) + " of type VARIANT."));
            return;
        }
    }
    for (const std::vector<Literal>& row : insert.values) {
        if (row.size() != insert.columns.size()) {
            pending.setAnalysis(WarehouseError(
                "42826", kNativeAnalysis,
                "[NUM_COLUMNS_MISMATCH] EXCEPT ALL can only be performed on inputs with the same "
                "number of columns, but the first input has " +
                    std::to_string(row.size()) + " columns and the second input has " +
                    std::to_string(insert.columns.size()) + " columns."));
            return;
        }
    }
}

// Every value is cast before anything is written; a refusal found while
// analysing (cannot safely cast) wins over one found while casting.
std::vector<Stored> castRows(const InsertStatement& insert, Pending& pending) {
    const size_t width = insert.targets.size();
    std::vector<Stored> stored(insert.values.size() * width);
    for (size_t r = 0; r < insert.values.size() && !pending.analysis; ++r) {
        for (size_t c = 0; c < width; ++c) {
            try {
                storeValue(insert.values[r][c], *insert.targets[c], insert.table.name,
                           stored[r * width + c]);
            } catch (const WarehouseError& e) {
                if (e.diag().native == kNativeAnalysis) {
                    pending.setAnalysis(e);
                    break;
                }
                pending.setData(e);
            }
        }
    }
    return stored;
}

// Writes the cast rows in one transaction, unless the table changed since
// it was analysed (2D521).
void writeRows(Session& session, const InsertStatement& insert, const std::vector<Stored>& stored) {
    sqlite3* db = session.db();
    const size_t width = insert.targets.size();
    session.waitCommit();
    Transaction transaction(db);
    if (tableVersion(db, insert.table.name) != insert.version)
        metadataChanged(insert.table.name);
    std::string sql = "INSERT INTO " + sqliteName(insert.table.name) + " (";
    for (size_t i = 0; i < width; ++i)
        sql += (i ? ", " : "") + sqliteName(insert.targets[i]->name);
    sql += ") VALUES (";
    for (size_t i = 0; i < width; ++i)
        sql += i ? ", ?" : "?";
    sql += ")";
    {
        Statement statement(db, sql);
        for (size_t r = 0; r * width < stored.size(); ++r) {
            for (size_t c = 0; c < width; ++c)
                bindStored(statement.get(), static_cast<int>(c + 1), stored[r * width + c]);
            statement.step();
            sqlite3_reset(statement.get());
        }
    }
    transaction.commit();
}

// Copies of one row are told apart by their number among equal rows, so
// that SQLite's EXCEPT (which drops duplicates) takes away copy for copy.
std::string numberedRows(const std::string& names, const std::string& from) {
    return "SELECT " + names + ", row_number() OVER (PARTITION BY " + names + ") FROM " + from;
}

// Writes the cast rows less those the table holds already (within the
// condition), copy for copy, in one transaction unless the table changed
// since it was analysed (2D521). Returns the rows written.
long long writeMissingRows(Session& session, const InsertStatement& insert,
                           const std::vector<Stored>& stored) {
    sqlite3* db = session.db();
    session.waitCommit();
    Transaction transaction(db);
    if (tableVersion(db, insert.table.name) != insert.version)
        metadataChanged(insert.table.name);
    std::vector<std::string> names;
    std::vector<const Column*> targets;
    for (const Column& column : insert.columns) {
        names.push_back(column.name);
        targets.push_back(&column);
    }
    loadSourceRows(db, names, targets, stored);
    std::string list;
    for (const std::string& name : names)
        list += (list.empty() ? "" : ", ") + sqliteName(name);
    std::string table =
        "main." + sqliteName(insert.table.name) + " AS " + sqliteName(insert.targetAlias);
    if (!insert.condition.sql.empty())
        table += " WHERE " + insert.condition.sql;
    const std::string sql = "INSERT INTO main." + sqliteName(insert.table.name) + " (" + list +
                            ") SELECT " + list + " FROM (" +
                            numberedRows(list, "temp._lakesink_merge_source") + " EXCEPT " +
                            numberedRows(list, table) + ")";
    const long long inserted = insertFromSource(db, sql, insert.condition.parameters);
    transaction.commit();
    return inserted;
}

}  // namespace

Outcome insertRows(Session& session, Lexer& lexer) {
    InsertStatement insert;
    readInsertHead(lexer, insert);
    Pending pending;
    try {
        resolveTargets(session, insert);
    } catch (const WarehouseError& e) {
        pending.setAnalysis(e);
        insert.targets.clear();
    }
    if (!pending.any() && insert.haveList)
        checkOmittedColumns(insert, pending);
    readValueRows(lexer, insert, pending);
    if (insert.exceptAll) {
        readExceptTail(session, lexer, insert);
        if (!pending.analysis)
            checkExceptAll(insert, pending);
    } else {
        lexer.expectStatementEnd();
    }
    if (!pending.analysis)
        checkInlineTable(insert.values, insert.targets, pending);
    std::vector<Stored> stored;
    if (!pending.analysis)
        stored = castRows(insert, pending);
    pending.raise();
    long long rowCount = static_cast<long long>(insert.values.size());
    insert.values.clear();
    if (insert.exceptAll)
        rowCount = writeMissingRows(session, insert, stored);
    else
        writeRows(session, insert, stored);
    return dmlCounts({{"num_affected_rows", rowCount}, {"num_inserted_rows", rowCount}});
}

}  // namespace whemu

// CREATE TABLE, ALTER TABLE ... ADD COLUMN(S) and DROP TABLE.

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
#include "warehouse_types.h"

namespace whemu {

namespace {

struct ColumnDef {
    Column column;
    std::string comment;
};

ColumnDef readColumnDef(Lexer& lexer) {
    ColumnDef def;
    def.column.name = lexer.expectName();
    def.column.type = parseType(lexer);
    for (;;) {
        if (lexer.acceptKeyword("NOT")) {
            lexer.expectKeyword("NULL");
            def.column.nullable = false;
        } else if (lexer.acceptKeyword("PRIMARY")) {
            // Informational only, as in the warehouse: not enforced.
            lexer.expectKeyword("KEY");
        } else if (lexer.acceptKeyword("COMMENT")) {
            if (lexer.cur().kind != TokenKind::String)
                lexer.syntaxError();
            def.comment = lexer.cur().value;
            lexer.advance();
        } else {
            return def;
        }
    }
}

std::string storageColumn(const Column& column) {
    std::string text = sqliteName(column.name) + " " + column.type.storageType();
    if (!column.nullable)
        text += " NOT NULL";
    return text;
}

// ---- CREATE / ALTER / DROP --------------------------------------------------------

// CREATE TABLE [IF NOT EXISTS] name (column definitions) [USING x] [COMMENT '...'].
struct CreateStatement {
    TableRef table;
    bool ifNotExists = false;
    std::vector<ColumnDef> defs;
};

// Reads the statement after CREATE to its end.
CreateStatement readCreate(Lexer& lexer) {
    if (lexer.isKeyword("OR")) {
        fail("0A000", kNativeAnalysis, "[NOT_EMULATED] CREATE OR REPLACE TABLE is not emulated.");
    }
    if (!lexer.acceptKeyword("TABLE")) {
        if (lexer.cur().kind == TokenKind::Word) {
            fail("0A000", kNativeAnalysis,
                 "[NOT_EMULATED] CREATE " + printable(lexer.cur().text, 40) + " is not emulated.");
        }
        lexer.syntaxError();
    }
    CreateStatement create;
    if (lexer.acceptKeyword("IF")) {
        lexer.expectKeyword("NOT");
        lexer.expectKeyword("EXISTS");
        create.ifNotExists = true;
    }
    create.table = readTableName(lexer);
    lexer.expectPunct('(');
    do {
        create.defs.push_back(readColumnDef(lexer));
    } while (lexer.acceptPunct(','));
    lexer.expectPunct(')');
    for (;;) {
        if (lexer.acceptKeyword("USING")) {
            lexer.expectName();
        } else if (lexer.acceptKeyword("COMMENT")) {
            if (lexer.cur().kind != TokenKind::String)
                lexer.syntaxError();
            lexer.advance();
        } else {
            break;
        }
    }
    lexer.expectStatementEnd();
    return create;
}

// Names, duplicates and the column limit of a CREATE.
void checkCreate(const Session& session, const CreateStatement& create) {
    checkTableRef(session, create.table);
    const std::vector<ColumnDef>& defs = create.defs;
    for (size_t i = 0; i < defs.size(); ++i) {
        checkColumnName(defs[i].column.name);
        for (size_t j = 0; j < i; ++j) {
            if (equalsIgnoreCase(defs[i].column.name, defs[j].column.name))
                columnExists(defs[i].column.name);
        }
    }
    checkColumnCount(session, create.table.name, defs.size());
}

// Returns true iff the table exists (IF NOT EXISTS: nothing to do); throws
// 42P07 when it exists without IF NOT EXISTS.
bool createdAlready(const Session& session, const CreateStatement& create) {
    sqlite3* db = session.db();
    std::vector<Column> existing;
    if (!loadTable(db, create.table.name, existing) && !storageTableExists(db, create.table.name))
        return false;
    if (create.ifNotExists)
        return true;
    fail("42P07", kNativeAnalysis,
         "[TABLE_OR_VIEW_ALREADY_EXISTS] Cannot create table or view " +
             quoted(session.settings().schema) + "." + quoted(create.table.name) +
             " because it already exists.");
}

}  // namespace

Outcome createTable(Session& session, Lexer& lexer) {
    const CreateStatement create = readCreate(lexer);
    checkCreate(session, create);
    if (createdAlready(session, create))
        return Outcome{};
    checkMayCreate(session, create.table.name);
    session.waitCommit();
    sqlite3* db = session.db();
    Transaction transaction(db);
    if (createdAlready(session, create))
        return Outcome{};
    std::string sql = "CREATE TABLE " + sqliteName(create.table.name) + " (";
    for (size_t i = 0; i < create.defs.size(); ++i)
        sql += (i ? ", " : "") + storageColumn(create.defs[i].column);
    sql += ")";
    exec(db, sql.c_str());
    for (size_t i = 0; i < create.defs.size(); ++i) {
        addCatalogColumn(db, create.table.name, static_cast<int>(i), create.defs[i].column,
                         create.defs[i].comment);
    }
    bumpTableVersion(db, create.table.name);
    transaction.commit();
    return Outcome{};
}

namespace {

// Reads ALTER TABLE name ADD COLUMN[S] [(]definitions[)] after ALTER.
std::vector<ColumnDef> readAddColumns(Lexer& lexer, TableRef& table) {
    lexer.expectKeyword("TABLE");
    table = readTableName(lexer);
    if (!lexer.acceptKeyword("ADD")) {
        if (lexer.cur().kind == TokenKind::Word) {
            fail("0A000", kNativeAnalysis,
                 "[NOT_EMULATED] ALTER TABLE ... " + printable(lexer.cur().text, 40) +
                     " is not emulated; only ADD COLUMN is.");
        }
        lexer.syntaxError();
    }
    if (!lexer.acceptKeyword("COLUMN") && !lexer.acceptKeyword("COLUMNS"))
        lexer.syntaxError();
    const bool parenthesised = lexer.acceptPunct('(');
    std::vector<ColumnDef> defs;
    do {
        defs.push_back(readColumnDef(lexer));
    } while (lexer.acceptPunct(','));
    if (parenthesised)
        lexer.expectPunct(')');
    lexer.expectStatementEnd();
    return defs;
}

// Names of the new columns; NOT NULL is refused.
void checkAddedDefinitions(const std::vector<ColumnDef>& defs) {
    for (const ColumnDef& def : defs) {
        checkColumnName(def.column.name);
        if (!def.column.nullable) {
            fail("0A000", kNativeAnalysis,
                 "[DELTA_OPERATION_NOT_ALLOWED] Operation not allowed: `NOT NULL in ALTER TABLE "
                 "ADD COLUMNS` is not supported for Delta tables (column " +
                     quoted(def.column.name) + ").");
        }
    }
}

// A new column may not share a name with an existing or another new column.
void checkNoDuplicates(const std::vector<Column>& existing, const std::vector<ColumnDef>& defs) {
    for (size_t i = 0; i < defs.size(); ++i) {
        for (const Column& column : existing) {
            if (equalsIgnoreCase(column.name, defs[i].column.name))
                columnExists(defs[i].column.name);
        }
        for (size_t j = 0; j < i; ++j) {
            if (equalsIgnoreCase(defs[j].column.name, defs[i].column.name))
                columnExists(defs[i].column.name);
        }
    }
}

}  // namespace

Outcome alterTable(Session& session, Lexer& lexer) {
    TableRef table;
    const std::vector<ColumnDef> defs = readAddColumns(lexer, table);
    checkTableRef(session, table);
    checkAddedDefinitions(defs);
    sqlite3* db = session.db();
    std::vector<Column> existing;
    int64_t version = 0;
    {
        Transaction snapshot(db, Transaction::Read);
        if (!loadTable(db, table.name, existing))
            tableNotFound(table.name);
        version = tableVersion(db, table.name);
        snapshot.commit();
    }
    checkNoDuplicates(existing, defs);
    checkColumnCount(session, table.name, existing.size() + defs.size());
    // Two metadata changes racing: the later commit fails, as in Delta.
    session.waitCommit();
    Transaction transaction(db);
    if (tableVersion(db, table.name) != version)
        metadataChanged(table.name);
    for (size_t i = 0; i < defs.size(); ++i) {
        const std::string sql = "ALTER TABLE " + sqliteName(table.name) + " ADD COLUMN " +
                                storageColumn(defs[i].column);
        exec(db, sql.c_str());
        addCatalogColumn(db, table.name, static_cast<int>(existing.size() + i), defs[i].column,
                         defs[i].comment);
    }
    bumpTableVersion(db, table.name);
    transaction.commit();
    return Outcome{};
}

Outcome dropTable(Session& session, Lexer& lexer) {
    lexer.expectKeyword("TABLE");
    bool ifExists = false;
    if (lexer.acceptKeyword("IF")) {
        lexer.expectKeyword("EXISTS");
        ifExists = true;
    }
    const TableRef table = readTableName(lexer);
    lexer.expectStatementEnd();
    checkTableRef(session, table);
    sqlite3* db = session.db();
    std::vector<Column> existing;
    if (!loadTable(db, table.name, existing)) {
        if (ifExists)
            return Outcome{};
        tableNotFound(table.name);
    }
    session.waitCommit();
    Transaction transaction(db);
    if (!loadTable(db, table.name, existing)) {
        if (ifExists)
            return Outcome{};
        tableNotFound(table.name);
    }
    exec(db, ("DROP TABLE " + sqliteName(table.name)).c_str());
    dropCatalogTable(db, table.name);
    bumpTableVersion(db, table.name);
    transaction.commit();
    return Outcome{};
}

}  // namespace whemu

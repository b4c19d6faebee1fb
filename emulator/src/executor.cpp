#include "executor.h"

#include <sqlext.h>

#include <optional>

#include "diagnostics.h"
#include "spark_lexer.h"
#include "storage.h"
#include "warehouse_types.h"

namespace whemu {

namespace {

constexpr size_t kMaxTableNameLength = 255;

// Errors that the warehouse reports only once the whole statement has parsed:
// a syntax error further on wins over them, and analysis errors (names,
// arity) win over data errors (values).
struct Pending {
    std::optional<WarehouseError> analysis;
    std::optional<WarehouseError> data;
    bool any() const { return analysis.has_value() || data.has_value(); }
    void setAnalysis(const WarehouseError& e) {
        if (!analysis)
            analysis = e;
    }
    void setData(const WarehouseError& e) {
        if (!data)
            data = e;
    }
    void raise() const {
        if (analysis)
            throw *analysis;
        if (data)
            throw *data;
    }
};

size_t utf8Length(std::string_view s) {
    size_t n = 0;
    for (unsigned char c : s)
        n += (c & 0xC0) != 0x80;
    return n;
}

std::string describeCharacter(unsigned char c) {
    char code[16];
    std::snprintf(code, sizeof code, "U+%04X", c);
    if (c < 0x20 || c == 0x7f)
        return std::string("the control character ") + code;
    return std::string("the character '") + static_cast<char>(c) + "' (" + code + ")";
}

void checkTableName(std::string_view name) {
    if (name.empty())
        fail("42602", kNativeCatalog, "[INVALID_IDENTIFIER] The table name is empty.");
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7f || c == '.' || c == ' ' || c == '/') {
            fail("42602", kNativeCatalog,
                 "[INVALID_IDENTIFIER] The table name " + quoted(name) + " contains " +
                     describeCharacter(c) + ", which is not allowed in table names.");
        }
    }
    if (utf8Length(name) > kMaxTableNameLength) {
        fail("42602", kNativeCatalog,
             "[INVALID_IDENTIFIER] The table name " + quoted(name) + " is " +
                 std::to_string(utf8Length(name)) + " characters long; at most " +
                 std::to_string(kMaxTableNameLength) + " are allowed.");
    }
    const std::string lower = toLowerAscii(name);
    if (lower.rfind("sqlite_", 0) == 0 || lower == kCatalogTable) {
        fail("0A000", kNativeUnsupported,
             "The emulator cannot store a table named " + quoted(name) +
                 " (the name is reserved by its storage).");
    }
}

void checkColumnName(std::string_view name) {
    if (name.empty())
        fail("42602", kNativeCatalog, "[INVALID_IDENTIFIER] The column name is empty.");
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7f || c == ' ' || c == ',' || c == ';' || c == '{' || c == '}' ||
            c == '(' || c == ')' || c == '=') {
            fail("42602", kNativeCatalog,
                 "[INVALID_COLUMN_NAME] The column name " + quoted(name) + " contains " +
                     describeCharacter(c) +
                     ", which is not allowed in column names (invalid characters are ' "
                     ",;{}()=' and control characters).");
        }
    }
}

struct TableRef {
    std::string name;    // lower case
    std::string schema;  // as written, empty when unqualified
};

TableRef readTableName(Lexer& lexer) {
    std::vector<std::string> parts;
    parts.push_back(lexer.expectName());
    while (lexer.acceptPunct('.'))
        parts.push_back(lexer.expectName());
    if (parts.size() > 3)
        lexer.syntaxError();
    TableRef ref;
    ref.name = toLowerAscii(parts.back());
    if (parts.size() >= 2)
        ref.schema = parts[parts.size() - 2];
    return ref;
}

void checkTableRef(const Session& session, const TableRef& ref) {
    if (!ref.schema.empty() && toLowerAscii(ref.schema) != session.settings().schema) {
        fail("0A000", kNativeUnsupported,
             "The emulator reaches only the schema of the connection (" +
                 quoted(session.settings().schema) + "), not " + quoted(ref.schema) + ".");
    }
    checkTableName(ref.name);
}

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

[[noreturn]] void columnExists(std::string_view name) {
    fail("42711", kNativeCatalog,
         "[COLUMN_ALREADY_EXISTS] The column " + quoted(name) + " already exists.");
}

[[noreturn]] void tableNotFound(std::string_view name) {
    fail("42P01", kNativeCatalog,
         "[TABLE_OR_VIEW_NOT_FOUND] The table or view " + quoted(name) +
             " cannot be found. Verify the spelling and correctness of the schema and catalog.");
}

std::string storageColumn(const Column& column) {
    std::string text = sqliteName(column.name) + " " + column.type.storageType();
    if (!column.nullable)
        text += " NOT NULL";
    return text;
}

// ---- CREATE / ALTER / DROP --------------------------------------------------------

Outcome createTable(Session& session, Lexer& lexer) {
    if (lexer.isKeyword("OR")) {
        fail("0A000", kNativeUnsupported, "CREATE OR REPLACE TABLE is not emulated.");
    }
    if (!lexer.acceptKeyword("TABLE")) {
        if (lexer.cur().kind == TokenKind::Word) {
            fail("0A000", kNativeUnsupported,
                 "CREATE " + printable(lexer.cur().text, 40) + " is not emulated.");
        }
        lexer.syntaxError();
    }
    bool ifNotExists = false;
    if (lexer.acceptKeyword("IF")) {
        lexer.expectKeyword("NOT");
        lexer.expectKeyword("EXISTS");
        ifNotExists = true;
    }
    const TableRef table = readTableName(lexer);
    lexer.expectPunct('(');
    std::vector<ColumnDef> defs;
    do {
        defs.push_back(readColumnDef(lexer));
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

    checkTableRef(session, table);
    for (size_t i = 0; i < defs.size(); ++i) {
        checkColumnName(defs[i].column.name);
        for (size_t j = 0; j < i; ++j) {
            if (equalsIgnoreCase(defs[i].column.name, defs[j].column.name)) {
                columnExists(defs[i].column.name);
            }
        }
    }
    sqlite3* db = session.db();
    Transaction transaction(db);
    std::vector<Column> existing;
    if (loadTable(db, table.name, existing) || storageTableExists(db, table.name)) {
        if (ifNotExists)
            return Outcome{};
        fail("42P07", kNativeCatalog,
             "[TABLE_OR_VIEW_ALREADY_EXISTS] Cannot create table or view " +
                 quoted(session.settings().schema) + "." + quoted(table.name) +
                 " because it already exists.");
    }
    std::string sql = "CREATE TABLE " + sqliteName(table.name) + " (";
    for (size_t i = 0; i < defs.size(); ++i) {
        if (i)
            sql += ", ";
        sql += storageColumn(defs[i].column);
    }
    sql += ")";
    exec(db, sql.c_str());
    for (size_t i = 0; i < defs.size(); ++i) {
        addCatalogColumn(db, table.name, static_cast<int>(i), defs[i].column, defs[i].comment);
    }
    transaction.commit();
    return Outcome{};
}

Outcome alterTable(Session& session, Lexer& lexer) {
    lexer.expectKeyword("TABLE");
    const TableRef table = readTableName(lexer);
    if (!lexer.acceptKeyword("ADD")) {
        if (lexer.cur().kind == TokenKind::Word) {
            fail("0A000", kNativeUnsupported,
                 "ALTER TABLE ... " + printable(lexer.cur().text, 40) +
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

    checkTableRef(session, table);
    for (const ColumnDef& def : defs) {
        checkColumnName(def.column.name);
        if (!def.column.nullable) {
            fail("0A000", kNativeUnsupported,
                 "[DELTA_OPERATION_NOT_ALLOWED] Operation not allowed: `NOT NULL in ALTER TABLE "
                 "ADD COLUMNS` is not supported for Delta tables (column " +
                     quoted(def.column.name) + ").");
        }
    }
    sqlite3* db = session.db();
    Transaction transaction(db);
    std::vector<Column> existing;
    if (!loadTable(db, table.name, existing))
        tableNotFound(table.name);
    for (size_t i = 0; i < defs.size(); ++i) {
        for (const Column& column : existing) {
            if (equalsIgnoreCase(column.name, defs[i].column.name))
                columnExists(defs[i].column.name);
        }
        for (size_t j = 0; j < i; ++j) {
            if (equalsIgnoreCase(defs[j].column.name, defs[i].column.name)) {
                columnExists(defs[i].column.name);
            }
        }
    }
    for (size_t i = 0; i < defs.size(); ++i) {
        const std::string sql = "ALTER TABLE " + sqliteName(table.name) + " ADD COLUMN " +
                                storageColumn(defs[i].column);
        exec(db, sql.c_str());
        addCatalogColumn(db, table.name, static_cast<int>(existing.size() + i), defs[i].column,
                         defs[i].comment);
    }
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
    Transaction transaction(db);
    std::vector<Column> existing;
    if (!loadTable(db, table.name, existing)) {
        if (ifExists)
            return Outcome{};
        tableNotFound(table.name);
    }
    exec(db, ("DROP TABLE " + sqliteName(table.name)).c_str());
    dropCatalogTable(db, table.name);
    transaction.commit();
    return Outcome{};
}

// ---- INSERT -------------------------------------------------------------------------

void numberLiteral(const Token& token, bool negative, Literal& literal) {
    switch (token.suffix) {
        case 'L':
        case 'S':
        case 'Y':
            literal.kind = Literal::Integer;
            break;
        case 'D':
            literal.kind = Literal::Double;
            break;
        case 'F':
            literal.kind = Literal::Float;
            break;
        case 'B':
            literal.kind = Literal::Decimal;
            break;
        default:
            literal.kind = token.hasExponent ? Literal::Double
                                             : (token.hasDot ? Literal::Decimal : Literal::Integer);
    }
    literal.text.clear();
    if (negative)
        literal.text += '-';
    literal.text += token.digits();
}

void unresolved(std::string_view name, Pending& pending) {
    pending.setAnalysis(WarehouseError(
        "42703", kNativeCatalog,
        "[UNRESOLVED_COLUMN.WITHOUT_SUGGESTION] A column, variable, or function parameter with "
        "name " +
            quoted(name) + " cannot be resolved."));
}

void unsupportedExpression(std::string_view what, Pending& pending) {
    pending.setAnalysis(WarehouseError(
        "0A000", kNativeUnsupported,
        "The emulator accepts only literals, NULL and parse_json('...') in VALUES, not " +
            printable(what, 40) + "."));
}

// Skips a parenthesised argument list, the '(' being the current token.
void skipParentheses(Lexer& lexer) {
    int depth = 0;
    do {
        if (lexer.cur().kind == TokenKind::End)
            lexer.syntaxError();
        if (lexer.isPunct('('))
            ++depth;
        if (lexer.isPunct(')'))
            --depth;
        lexer.advance();
    } while (depth > 0);
}

// Skips one operand the emulator does not evaluate: a literal, a name, a
// call or a parenthesised expression. Iterative, so deep nesting cannot
// exhaust the stack.
void skipOperand(Lexer& lexer) {
    switch (lexer.cur().kind) {
        case TokenKind::String:
        case TokenKind::Number:
        case TokenKind::QuotedName:
            lexer.advance();
            return;
        case TokenKind::Word:
            lexer.advance();
            if (lexer.isPunct('('))
                skipParentheses(lexer);
            return;
        case TokenKind::Punct:
            if (lexer.isPunct('(')) {
                skipParentheses(lexer);
                return;
            }
            lexer.syntaxError();
        case TokenKind::End:
            lexer.syntaxError();
    }
}

// Reads one value of a VALUES row. Syntax errors are thrown; values the
// warehouse would reject on analysis are recorded in `pending`.
void readLiteral(Lexer& lexer, Literal& literal, Pending& pending) {
    const Token& token = lexer.cur();
    switch (token.kind) {
        case TokenKind::String:
            literal.kind = Literal::String;
            literal.text.assign(token.value);
            lexer.advance();
            return;
        case TokenKind::Number:
            numberLiteral(token, false, literal);
            lexer.advance();
            return;
        case TokenKind::Punct:
            if (lexer.isPunct('-') || lexer.isPunct('+')) {
                bool negative = false;
                while (lexer.isPunct('-') || lexer.isPunct('+')) {
                    if (lexer.isPunct('-'))
                        negative = !negative;
                    lexer.advance();
                }
                if (lexer.cur().kind == TokenKind::Number) {
                    numberLiteral(lexer.cur(), negative, literal);
                    lexer.advance();
                    return;
                }
                unsupportedExpression("a sign before a non-number", pending);
                skipOperand(lexer);
                return;
            }
            lexer.syntaxError();
        case TokenKind::QuotedName:
            unresolved(token.value, pending);
            lexer.advance();
            return;
        case TokenKind::Word: {
            if (lexer.acceptKeyword("NULL")) {
                literal.kind = Literal::Null;
                return;
            }
            if (lexer.isKeyword("TRUE") || lexer.isKeyword("FALSE")) {
                literal.kind = Literal::Boolean;
                literal.boolean = lexer.isKeyword("TRUE");
                lexer.advance();
                return;
            }
            const std::string word(token.text);
            lexer.advance();
            if ((equalsIgnoreCase(word, "TIMESTAMP") || equalsIgnoreCase(word, "DATE")) &&
                lexer.cur().kind == TokenKind::String) {
                literal.kind = equalsIgnoreCase(word, "DATE") ? Literal::Date : Literal::Timestamp;
                literal.text.assign(lexer.cur().value);
                int64_t check = 0;
                const bool ok = literal.kind == Literal::Date ? parseDate(literal.text, check)
                                                              : parseTimestamp(literal.text, check);
                if (!ok) {
                    fail("42601", kNativeSyntax,
                         "[INVALID_TYPED_LITERAL] The value of the typed literal " + word + " '" +
                             printable(literal.text) + "' is invalid.");
                }
                lexer.advance();
                return;
            }
            if (!lexer.isPunct('(')) {
                unresolved(word, pending);
                return;
            }
            if (!equalsIgnoreCase(word, "parse_json")) {
                unsupportedExpression("the function " + word + "()", pending);
                skipParentheses(lexer);
                return;
            }
            lexer.advance();
            if (lexer.cur().kind == TokenKind::String) {
                literal.kind = Literal::Json;
                literal.text.assign(lexer.cur().value);
                lexer.advance();
            } else if (lexer.acceptKeyword("NULL")) {
                literal.kind = Literal::Null;
            } else {
                unsupportedExpression("parse_json of a non-literal", pending);
                skipOperand(lexer);
            }
            lexer.expectPunct(')');
            return;
        }
        case TokenKind::End:
            lexer.syntaxError();
    }
}

void bindStored(sqlite3_stmt* stmt, int index, const Stored& value) {
    switch (value.tag) {
        case Stored::Null:
            sqlite3_bind_null(stmt, index);
            break;
        case Stored::Int:
            sqlite3_bind_int64(stmt, index, value.i);
            break;
        case Stored::Real:
            sqlite3_bind_double(stmt, index, value.d);
            break;
        case Stored::Text:
            sqlite3_bind_text(stmt, index, value.s.data(), static_cast<int>(value.s.size()),
                              SQLITE_STATIC);
            break;
    }
}

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
            fail("0A000", kNativeUnsupported, "INSERT ... SELECT is not emulated; use VALUES.");
        }
        lexer.syntaxError();
    }

    sqlite3* db = session.db();
    Transaction transaction(db);
    Pending pending;
    std::vector<Column> columns;
    std::vector<const Column*> targets;
    try {
        checkTableRef(session, table);
        for (const std::string& name : names)
            checkColumnName(name);
        if (!loadTable(db, table.name, columns))
            tableNotFound(table.name);
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
                    fail("42703", kNativeCatalog,
                         "[UNRESOLVED_COLUMN.WITHOUT_SUGGESTION] A column, variable, or function "
                         "parameter with name " +
                             quoted(name) + " cannot be resolved (table " + quoted(table.name) +
                             ").");
                }
                for (const Column* target : targets) {
                    if (target == found) {
                        fail("42701", kNativeCatalog,
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
                    "23502", kNativeData,
                    "[DELTA_NOT_NULL_CONSTRAINT_VIOLATED] NOT NULL constraint violated for "
                    "column: " +
                        printable(column.name) + " (not named in the INSERT into " +
                        quoted(table.name) + ")."));
            }
        }
    }

    std::optional<Statement> insert;
    if (!pending.any()) {
        std::string sql = "INSERT INTO " + sqliteName(table.name) + " (";
        for (size_t i = 0; i < targets.size(); ++i) {
            if (i)
                sql += ", ";
            sql += sqliteName(targets[i]->name);
        }
        sql += ") VALUES (";
        for (size_t i = 0; i < targets.size(); ++i)
            sql += i ? ", ?" : "?";
        sql += ")";
        insert.emplace(db, sql);
    }

    std::vector<Stored> stored(targets.size());
    Literal literal;
    long long rows = 0;
    do {
        lexer.expectPunct('(');
        size_t count = 0;
        for (;;) {
            readLiteral(lexer, literal, pending);
            if (!pending.any() && count < targets.size()) {
                try {
                    storeValue(literal, *targets[count], table.name, stored[count]);
                } catch (const WarehouseError& e) {
                    pending.setData(e);
                }
            }
            ++count;
            if (lexer.acceptPunct(','))
                continue;
            lexer.expectPunct(')');
            break;
        }
        ++rows;
        if (count != targets.size() && !pending.analysis) {
            pending.setAnalysis(WarehouseError(
                "21S01", kNativeCatalog,
                "[INSERT_COLUMN_ARITY_MISMATCH] Cannot write to " + quoted(table.name) + ": row " +
                    std::to_string(rows) + " has " + std::to_string(count) +
                    " values but the table expects " + std::to_string(targets.size()) + "."));
        }
        if (!pending.any()) {
            sqlite3_stmt* stmt = insert->get();
            for (size_t i = 0; i < targets.size(); ++i) {
                bindStored(stmt, static_cast<int>(i + 1), stored[i]);
            }
            insert->step();
            sqlite3_reset(stmt);
        }
    } while (lexer.acceptPunct(','));
    lexer.expectStatementEnd();
    pending.raise();
    insert.reset();
    transaction.commit();
    Outcome outcome;
    outcome.rowCount = rows;
    return outcome;
}

// ---- queries -----------------------------------------------------------------------

[[noreturn]] void queryError(sqlite3* db) {
    const std::string message = sqlite3_errmsg(db);
    const int rc = sqlite3_extended_errcode(db);
    if ((rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED)
        storageError(db, rc);
    auto after = [&](const char* prefix) { return message.substr(std::string(prefix).size()); };
    if (message.rfind("no such table: ", 0) == 0)
        tableNotFound(after("no such table: "));
    if (message.rfind("no such column: ", 0) == 0) {
        fail("42703", kNativeCatalog,
             "[UNRESOLVED_COLUMN.WITHOUT_SUGGESTION] A column, variable, or function parameter "
             "with name " +
                 quoted(after("no such column: ")) + " cannot be resolved.");
    }
    if (message.rfind("no such function: ", 0) == 0) {
        fail("42883", kNativeCatalog,
             "[UNRESOLVED_ROUTINE] Cannot resolve routine " + quoted(after("no such function: ")) +
                 ".");
    }
    if (message.find("syntax error") != std::string::npos ||
        message.find("incomplete input") != std::string::npos ||
        message.find("unrecognized token") != std::string::npos) {
        fail("42601", kNativeSyntax, "[PARSE_SYNTAX_ERROR] " + message + ".");
    }
    if (message.find("stack overflow") != std::string::npos ||
        message.find("too large") != std::string::npos ||
        message.find("too deep") != std::string::npos) {
        fail("54001", kNativeSyntax, "The query is too complex: " + message + ".");
    }
    fail("42000", kNativeSyntax, "The query cannot be run: " + message + ".");
}

// Closes a prepared query on every way out.
struct PreparedQuery {
    sqlite3_stmt* stmt = nullptr;
    ~PreparedQuery() { sqlite3_finalize(stmt); }
};

void renderCell(sqlite3_stmt* stmt, int column, const char* declared, std::string& out,
                bool& isNull) {
    isNull = false;
    switch (sqlite3_column_type(stmt, column)) {
        case SQLITE_NULL:
            isNull = true;
            out.clear();
            return;
        case SQLITE_INTEGER: {
            const int64_t v = sqlite3_column_int64(stmt, column);
            if (declared && equalsIgnoreCase(declared, "BOOLINT")) {
                out = v ? "true" : "false";
            } else {
                out = std::to_string(v);
            }
            return;
        }
        case SQLITE_FLOAT: {
            const double v = sqlite3_column_double(stmt, column);
            out = (declared && equalsIgnoreCase(declared, "FLOAT"))
                      ? formatFloat(static_cast<float>(v))
                      : formatDouble(v);
            return;
        }
        default: {
            const void* data = sqlite3_column_blob(stmt, column);
            const int size = sqlite3_column_bytes(stmt, column);
            out.assign(static_cast<const char*>(data ? data : ""), static_cast<size_t>(size));
            return;
        }
    }
}

int odbcType(const char* declared) {
    if (!declared)
        return SQL_VARCHAR;
    if (equalsIgnoreCase(declared, "INTEGER"))
        return SQL_BIGINT;
    if (equalsIgnoreCase(declared, "BOOLINT"))
        return SQL_BIT;
    if (equalsIgnoreCase(declared, "REAL"))
        return SQL_DOUBLE;
    if (equalsIgnoreCase(declared, "FLOAT"))
        return SQL_REAL;
    return SQL_VARCHAR;
}

Outcome runQuery(Session& session, std::string_view sql) {
    Lexer lexer(sql);
    std::string translated;
    translated.reserve(sql.size() + 16);
    std::vector<std::string> parameters;
    bool readsInformationSchema = false;
    size_t copied = 0;
    size_t lastNameAt = std::string::npos;  // where the previous token, a schema name, was written
    while (lexer.cur().kind != TokenKind::End) {
        const Token& token = lexer.cur();
        if (token.kind == TokenKind::Punct && token.text[0] == ';') {
            lexer.expectStatementEnd();
            break;
        }
        translated.append(sql.data() + copied, token.begin - copied);
        size_t nameAt = std::string::npos;
        switch (token.kind) {
            case TokenKind::Word:
            case TokenKind::QuotedName: {
                const std::string_view name = token.name();
                if (equalsIgnoreCase(name, "information_schema"))
                    readsInformationSchema = true;
                if (equalsIgnoreCase(name, session.settings().schema))
                    nameAt = translated.size();
                if (token.kind == TokenKind::Word) {
                    translated += token.text;
                } else {
                    translated += sqliteName(token.value);
                }
                break;
            }
            case TokenKind::String:
                translated += '?';
                parameters.push_back(token.value);
                break;
            case TokenKind::Number:
                translated += token.digits();
                break;
            case TokenKind::Punct:
                // schema.table reads the table of the connection's schema.
                if (token.text[0] == '.' && lastNameAt != std::string::npos) {
                    translated.replace(lastNameAt, std::string::npos, "main");
                }
                translated += token.text;
                break;
            case TokenKind::End:
                break;
        }
        lastNameAt = nameAt;
        copied = token.end;
        lexer.advance();
    }

    sqlite3* db = session.db();
    if (readsInformationSchema)
        refreshInformationSchema(db, session.settings().schema);
    PreparedQuery query;
    if (sqlite3_prepare_v2(db, translated.c_str(), static_cast<int>(translated.size()), &query.stmt,
                           nullptr) != SQLITE_OK) {
        queryError(db);
    }
    if (!query.stmt)
        fail("42601", kNativeSyntax, "[PARSE_SYNTAX_ERROR] The query is empty.");
    if (!sqlite3_stmt_readonly(query.stmt)) {
        fail("0A000", kNativeUnsupported, "The emulator runs only queries that read.");
    }
    for (size_t i = 0; i < parameters.size(); ++i) {
        sqlite3_bind_text(query.stmt, static_cast<int>(i + 1), parameters[i].data(),
                          static_cast<int>(parameters[i].size()), SQLITE_STATIC);
    }
    Outcome outcome;
    outcome.hasResultSet = true;
    ResultSet& result = outcome.result;
    const int count = sqlite3_column_count(query.stmt);
    std::vector<const char*> declared(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        ResultColumn column;
        const char* name = sqlite3_column_name(query.stmt, i);
        column.name = name ? name : "";
        declared[static_cast<size_t>(i)] = sqlite3_column_decltype(query.stmt, i);
        column.sqlType = odbcType(declared[static_cast<size_t>(i)]);
        result.columns.push_back(std::move(column));
    }
    for (;;) {
        const int rc = sqlite3_step(query.stmt);
        if (rc == SQLITE_DONE)
            break;
        if (rc != SQLITE_ROW)
            queryError(db);
        for (int i = 0; i < count; ++i) {
            std::string cell;
            bool isNull = false;
            renderCell(query.stmt, i, declared[static_cast<size_t>(i)], cell, isNull);
            ResultColumn& column = result.columns[static_cast<size_t>(i)];
            column.columnSize = std::max(column.columnSize, static_cast<long>(cell.size()));
            result.cells.push_back(std::move(cell));
            result.nulls.push_back(isNull ? 1 : 0);
        }
        ++result.rows;
    }
    for (ResultColumn& column : result.columns) {
        if (column.sqlType == SQL_BIGINT)
            column.columnSize = 19;
        if (column.sqlType == SQL_DOUBLE)
            column.columnSize = 15;
        if (column.sqlType == SQL_REAL)
            column.columnSize = 7;
        if (column.sqlType == SQL_BIT)
            column.columnSize = 1;
        if (column.columnSize == 0)
            column.columnSize = 1;
    }
    return outcome;
}

}  // namespace

Outcome execute(Session& session, std::string_view sql) {
    session.checkStatement(sql);
    Lexer lexer(sql);
    if (lexer.acceptKeyword("CREATE"))
        return createTable(session, lexer);
    if (lexer.acceptKeyword("ALTER"))
        return alterTable(session, lexer);
    if (lexer.acceptKeyword("INSERT"))
        return insertRows(session, lexer);
    if (lexer.acceptKeyword("DROP"))
        return dropTable(session, lexer);
    if (lexer.isKeyword("SELECT") || lexer.isKeyword("WITH") || lexer.isPunct('(')) {
        return runQuery(session, sql);
    }
    if (lexer.cur().kind == TokenKind::End) {
        fail("42601", kNativeSyntax,
             "[PARSE_EMPTY_STATEMENT] Syntax error, unexpected empty statement.");
    }
    if (lexer.cur().kind == TokenKind::Word) {
        fail("0A000", kNativeUnsupported,
             "The statement " + printable(lexer.cur().text, 40) + " is not emulated.");
    }
    lexer.syntaxError();
}

}  // namespace whemu

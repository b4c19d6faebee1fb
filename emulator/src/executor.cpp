#include "executor.h"

#include <sqlext.h>

#include <algorithm>
#include <charconv>
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
        fail("42602", kNativeAnalysis, "[INVALID_IDENTIFIER] The table name is empty.");
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7f || c == '.' || c == ' ' || c == '/') {
            fail("42602", kNativeAnalysis,
                 "[INVALID_IDENTIFIER] The table name " + quoted(name) + " contains " +
                     describeCharacter(c) + ", which is not allowed in table names.");
        }
    }
    if (utf8Length(name) > kMaxTableNameLength) {
        fail("42602", kNativeAnalysis,
             "[INVALID_IDENTIFIER] The table name " + quoted(name) + " is " +
                 std::to_string(utf8Length(name)) + " characters long; at most " +
                 std::to_string(kMaxTableNameLength) + " are allowed.");
    }
    const std::string lower = toLowerAscii(name);
    if (lower.rfind("sqlite_", 0) == 0 || lower == kCatalogTable || lower == kVersionsTable) {
        fail("0A000", kNativeAnalysis,
             "[NOT_EMULATED] The emulator cannot store a table named " + quoted(name) +
                 " (the name is reserved by its storage).");
    }
}

void checkColumnName(std::string_view name) {
    if (name.empty())
        fail("42602", kNativeAnalysis, "[INVALID_IDENTIFIER] The column name is empty.");
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7f || c == ' ' || c == ',' || c == ';' || c == '{' || c == '}' ||
            c == '(' || c == ')' || c == '=') {
            fail("42602", kNativeAnalysis,
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
        fail("0A000", kNativeAnalysis,
             "[NOT_EMULATED] The emulator reaches only the schema of the connection (" +
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
    fail("42711", kNativeAnalysis,
         "[COLUMN_ALREADY_EXISTS] The column " + quoted(name) + " already exists.");
}

[[noreturn]] void tableNotFound(std::string_view name) {
    fail("42P01", kNativeAnalysis,
         "[TABLE_OR_VIEW_NOT_FOUND] The table or view " + quoted(name) +
             " cannot be found. Verify the spelling and correctness of the schema and catalog.");
}

[[noreturn]] void metadataChanged(std::string_view table) {
    fail("2D521", kNativeRuntime,
         "[DELTA_METADATA_CHANGED] MetadataChangedException: The metadata of the Delta table " +
             quoted(table) +
             " has been changed by a concurrent update. Please try the operation again.");
}

// A table may hold at most the limits file's number of columns.
void checkColumnCount(const Session& session, std::string_view table, size_t count) {
    const long limit = session.limits().columns;
    if (count > static_cast<size_t>(limit)) {
        fail("54011", kNativeAnalysis,
             "[TOO_MANY_COLUMNS] The table " + quoted(table) + " would have " +
                 std::to_string(count) + " columns; a table may have at most " +
                 std::to_string(limit) + ".");
    }
}

void checkMayCreate(const Session& session, std::string_view table) {
    if (session.createDenied()) {
        fail("42501", kNativeAnalysis,
             "[INSUFFICIENT_PERMISSIONS] Insufficient privileges: User does not have CREATE "
             "TABLE on Schema '" +
                 printable(session.settings().catalog) + "." +
                 printable(session.settings().schema) + "' (table " + quoted(table) + ").");
    }
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
        fail("0A000", kNativeAnalysis, "[NOT_EMULATED] CREATE OR REPLACE TABLE is not emulated.");
    }
    if (!lexer.acceptKeyword("TABLE")) {
        if (lexer.cur().kind == TokenKind::Word) {
            fail("0A000", kNativeAnalysis,
                 "[NOT_EMULATED] CREATE " + printable(lexer.cur().text, 40) + " is not emulated.");
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
    checkColumnCount(session, table.name, defs.size());
    sqlite3* db = session.db();
    auto exists = [&] {
        std::vector<Column> existing;
        return loadTable(db, table.name, existing) || storageTableExists(db, table.name);
    };
    auto alreadyExists = [&] {
        fail("42P07", kNativeAnalysis,
             "[TABLE_OR_VIEW_ALREADY_EXISTS] Cannot create table or view " +
                 quoted(session.settings().schema) + "." + quoted(table.name) +
                 " because it already exists.");
    };
    if (exists()) {
        if (ifNotExists)
            return Outcome{};
        alreadyExists();
    }
    checkMayCreate(session, table.name);
    session.waitCommit();
    Transaction transaction(db);
    if (exists()) {
        if (ifNotExists)
            return Outcome{};
        alreadyExists();
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
    bumpTableVersion(db, table.name);
    transaction.commit();
    return Outcome{};
}

Outcome alterTable(Session& session, Lexer& lexer) {
    lexer.expectKeyword("TABLE");
    const TableRef table = readTableName(lexer);
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

    checkTableRef(session, table);
    for (const ColumnDef& def : defs) {
        checkColumnName(def.column.name);
        if (!def.column.nullable) {
            fail("0A000", kNativeAnalysis,
                 "[DELTA_OPERATION_NOT_ALLOWED] Operation not allowed: `NOT NULL in ALTER TABLE "
                 "ADD COLUMNS` is not supported for Delta tables (column " +
                     quoted(def.column.name) + ").");
        }
    }
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

constexpr int kMaxDecimalPrecision = 38;

// Precision of a decimal literal as the warehouse types it: its digits
// without leading zeros, and at least its scale (0.001 is DECIMAL(3,3)).
int decimalPrecision(std::string_view digits, int& scale) {
    const size_t dot = digits.find('.');
    scale = dot == std::string_view::npos ? 0 : static_cast<int>(digits.size() - dot - 1);
    int significant = 0;
    bool leading = true;
    for (char c : digits) {
        if (c < '0' || c > '9')
            continue;
        if (leading && c == '0')
            continue;
        leading = false;
        ++significant;
    }
    return std::max({significant, scale, 1});
}

void literalOutOfRange(std::string_view text, const char* type, const char* low, const char* high,
                       Pending& pending) {
    pending.setAnalysis(WarehouseError(
        "22003", kNativeAnalysis,
        "[INVALID_NUMERIC_LITERAL_RANGE] Numeric literal " + printable(text) +
            " is outside the valid range for " + type + " with minimum value of " + low +
            " and maximum value of " + high + ". Please adjust the value accordingly."));
}

// Types a number token as the warehouse's parser does: an exponent or the
// suffix D makes a DOUBLE, a point or BD a DECIMAL of as many digits as it
// has, an integer beyond 64 bits a DECIMAL too; L, S, Y, F keep their types.
void numberLiteral(const Token& token, bool negative, Literal& literal, Pending& pending) {
    const std::string_view digits = token.digits();
    literal.text.clear();
    if (negative)
        literal.text += '-';
    literal.text += digits;
    switch (token.suffix) {
        case 'L':
        case 'S':
        case 'Y': {
            literal.kind = Literal::Integer;
            int64_t v = 0;
            const auto r =
                std::from_chars(literal.text.data(), literal.text.data() + literal.text.size(), v);
            const bool parsed =
                r.ec == std::errc() && r.ptr == literal.text.data() + literal.text.size();
            if (token.suffix == 'L' && !parsed) {
                literalOutOfRange(literal.text, "bigint", "-9223372036854775808",
                                  "9223372036854775807", pending);
            } else if (token.suffix == 'S' && (!parsed || v < -32768 || v > 32767)) {
                literalOutOfRange(literal.text, "smallint", "-32768", "32767", pending);
            } else if (token.suffix == 'Y' && (!parsed || v < -128 || v > 127)) {
                literalOutOfRange(literal.text, "tinyint", "-128", "127", pending);
            }
            return;
        }
        case 'D':
            literal.kind = Literal::Double;
            return;
        case 'F':
            literal.kind = Literal::Float;
            return;
        default:
            break;
    }
    if (token.hasExponent && token.suffix != 'B') {
        literal.kind = Literal::Double;
        return;
    }
    if (token.suffix != 'B' && !token.hasDot) {
        int64_t v = 0;
        const auto r =
            std::from_chars(literal.text.data(), literal.text.data() + literal.text.size(), v);
        if (r.ec == std::errc() && r.ptr == literal.text.data() + literal.text.size()) {
            literal.kind = Literal::Integer;
            return;
        }
    }
    literal.kind = Literal::Decimal;
    int scale = 0;
    const int precision = decimalPrecision(digits, scale);
    literal.scale = scale;
    if (precision > kMaxDecimalPrecision) {
        pending.setAnalysis(
            WarehouseError("22003", kNativeAnalysis,
                           "[DECIMAL_PRECISION_EXCEEDS_MAX_PRECISION] Decimal precision " +
                               std::to_string(precision) + " exceeds max precision " +
                               std::to_string(kMaxDecimalPrecision) + " (the literal " +
                               printable(literal.text, 60) + ")."));
    }
}

void unresolved(std::string_view name, Pending& pending) {
    pending.setAnalysis(WarehouseError(
        "42703", kNativeAnalysis,
        "[UNRESOLVED_COLUMN.WITHOUT_SUGGESTION] A column, variable, or function parameter with "
        "name " +
            quoted(name) + " cannot be resolved."));
}

void unsupportedExpression(std::string_view what, Pending& pending) {
    pending.setAnalysis(WarehouseError("0A000", kNativeAnalysis,
                                       "[NOT_EMULATED] The emulator accepts only literals, CAST, "
                                       "NULL and parse_json('...') in VALUES, not " +
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

// Skips to the ')' that closes a list whose '(' was already read.
void skipToClosingParenthesis(Lexer& lexer) {
    int depth = 1;
    while (depth > 0) {
        if (lexer.cur().kind == TokenKind::End)
            lexer.syntaxError();
        if (lexer.isPunct('('))
            ++depth;
        if (lexer.isPunct(')'))
            --depth;
        lexer.advance();
    }
}

// CAST(<string or number> AS DOUBLE|FLOAT), the current token being the '('.
// This is how NaN and the infinities are written: CAST('NaN' AS DOUBLE).
void castLiteral(Lexer& lexer, Literal& literal, Pending& pending) {
    lexer.expectPunct('(');
    bool negative = false;
    while (lexer.isPunct('-') || lexer.isPunct('+')) {
        if (lexer.isPunct('-'))
            negative = !negative;
        lexer.advance();
    }
    Literal operand;
    if (lexer.cur().kind == TokenKind::String && !negative) {
        operand.kind = Literal::String;
        operand.text.assign(lexer.cur().value);
        lexer.advance();
    } else if (lexer.cur().kind == TokenKind::Number) {
        numberLiteral(lexer.cur(), negative, operand, pending);
        lexer.advance();
    } else if (!negative && lexer.acceptKeyword("NULL")) {
        operand.kind = Literal::Null;
    } else {
        unsupportedExpression("CAST of anything but a literal", pending);
        skipToClosingParenthesis(lexer);
        literal.kind = Literal::Null;
        return;
    }
    lexer.expectKeyword("AS");
    const WarehouseType type = parseType(lexer);
    lexer.expectPunct(')');
    if (type.kind != TypeKind::Double && type.kind != TypeKind::Float) {
        unsupportedExpression("CAST AS " + type.text(), pending);
        literal.kind = Literal::Null;
        return;
    }
    if (operand.kind == Literal::Null) {
        literal.kind = Literal::Null;
        return;
    }
    try {
        literal.text = castToDouble(operand, type);
    } catch (const WarehouseError& e) {
        pending.setData(e);
    }
    literal.kind = type.kind == TypeKind::Float ? Literal::Float : Literal::Double;
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
            numberLiteral(token, false, literal, pending);
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
                    numberLiteral(lexer.cur(), negative, literal, pending);
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
                    fail("42601", kNativeAnalysis,
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
            if (equalsIgnoreCase(word, "cast")) {
                castLiteral(lexer, literal, pending);
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

// The literal kinds one VALUES column may mix: numbers widen to one number
// type, DATE widens to TIMESTAMP, NULL agrees with all; anything else is
// incompatible.
enum class ValueFamily { None, Number, String, Boolean, Variant, Datetime };

ValueFamily familyOf(Literal::Kind kind) {
    switch (kind) {
        case Literal::Null:
            return ValueFamily::None;
        case Literal::Integer:
        case Literal::Decimal:
        case Literal::Double:
        case Literal::Float:
            return ValueFamily::Number;
        case Literal::String:
            return ValueFamily::String;
        case Literal::Boolean:
            return ValueFamily::Boolean;
        case Literal::Json:
            return ValueFamily::Variant;
        case Literal::Timestamp:
        case Literal::Date:
            return ValueFamily::Datetime;
    }
    return ValueFamily::None;
}

// The wider of two number kinds: INT < DECIMAL < DOUBLE, INT < FLOAT < DOUBLE,
// and DECIMAL with FLOAT gives DOUBLE.
Literal::Kind widerNumber(Literal::Kind a, Literal::Kind b) {
    if (a == b)
        return a;
    if (a == Literal::Integer)
        return b;
    if (b == Literal::Integer)
        return a;
    return Literal::Double;
}

// Brings a number literal to the column's common number type, so that every
// row of the column holds the same value the warehouse would compute.
void widen(Literal& l, Literal::Kind to, int scale) {
    if (l.kind == to && (to != Literal::Decimal || l.scale == scale))
        return;
    if (to == Literal::Decimal) {
        if (l.scale == 0)
            l.text += '.';
        l.text.append(static_cast<size_t>(scale - l.scale), '0');
        l.scale = scale;
    } else if (l.kind == Literal::Float && to == Literal::Double) {
        double d = 0;
        std::from_chars(l.text.data(), l.text.data() + l.text.size(), d);
        if (l.text != "NaN" && l.text != "Infinity" && l.text != "-Infinity")
            l.text = formatDouble(static_cast<double>(static_cast<float>(d)));
    }
    l.kind = to;
}

const char* familyName(ValueFamily family) {
    switch (family) {
        case ValueFamily::Number:
            return "a number";
        case ValueFamily::String:
            return "a string";
        case ValueFamily::Boolean:
            return "a boolean";
        case ValueFamily::Variant:
            return "parse_json(...)";
        case ValueFamily::Datetime:
            return "a date or timestamp";
        case ValueFamily::None:
            break;
    }
    return "NULL";
}

// The rows of one VALUES list must agree per column before anything is cast
// to the table's columns; numbers of different kinds are widened in place.
void checkInlineTable(std::vector<std::vector<Literal>>& rows,
                      const std::vector<const Column*>& targets, Pending& pending) {
    size_t width = 0;
    for (const auto& row : rows)
        width = std::max(width, row.size());
    for (size_t c = 0; c < width; ++c) {
        ValueFamily family = ValueFamily::None;
        Literal::Kind number = Literal::Integer;
        int scale = 0;
        bool mixed = false;
        for (const auto& row : rows) {
            if (c >= row.size())
                continue;
            const Literal& l = row[c];
            const ValueFamily f = familyOf(l.kind);
            if (f == ValueFamily::None)
                continue;
            if (family != ValueFamily::None && f != family) {
                pending.setAnalysis(WarehouseError(
                    "42000", kNativeAnalysis,
                    "[INVALID_INLINE_TABLE.INCOMPATIBLE_TYPES_IN_INLINE_TABLE] Invalid inline "
                    "table. Found incompatible types in the column `col" +
                        std::to_string(c + 1) + "`" +
                        (c < targets.size() && targets[c]
                             ? " (for " + quoted(targets[c]->name) + ")"
                             : "") +
                        " for inline table: " + familyName(family) + " and " + familyName(f) +
                        "."));
                return;
            }
            family = f;
            if (f == ValueFamily::Number) {
                if (row[c].kind != number)
                    mixed = true;
                number = widerNumber(number, l.kind);
                scale = std::max(scale, l.scale);
            }
        }
        if (family != ValueFamily::Number || !(mixed || number == Literal::Decimal))
            continue;
        for (auto& row : rows) {
            if (c < row.size() && familyOf(row[c].kind) == ValueFamily::Number)
                widen(row[c], number, scale);
        }
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
        fail("42703", kNativeAnalysis,
             "[UNRESOLVED_COLUMN.WITHOUT_SUGGESTION] A column, variable, or function parameter "
             "with name " +
                 quoted(after("no such column: ")) + " cannot be resolved.");
    }
    if (message.rfind("no such function: ", 0) == 0) {
        fail("42883", kNativeAnalysis,
             "[UNRESOLVED_ROUTINE] Cannot resolve routine " + quoted(after("no such function: ")) +
                 ".");
    }
    if (message.find("syntax error") != std::string::npos ||
        message.find("incomplete input") != std::string::npos ||
        message.find("unrecognized token") != std::string::npos) {
        fail("42601", kNativeAnalysis, "[PARSE_SYNTAX_ERROR] " + message + ".");
    }
    if (message.find("stack overflow") != std::string::npos ||
        message.find("too large") != std::string::npos ||
        message.find("too deep") != std::string::npos) {
        fail("54001", kNativeAnalysis,
             "[QUERY_TOO_COMPLEX] The query is too complex: " + message + ".");
    }
    fail("42000", kNativeAnalysis,
         "[QUERY_NOT_RUNNABLE] The query cannot be run: " + message + ".");
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

// The SQLite type a Spark `::type` cast of a query reads as.
const char* castTarget(std::string_view type) {
    for (const char* real : {"DOUBLE", "FLOAT", "REAL", "DECIMAL", "NUMERIC"}) {
        if (equalsIgnoreCase(type, real))
            return "REAL";
    }
    for (const char* integer : {"BIGINT", "INT", "INTEGER", "LONG", "SMALLINT", "TINYINT"}) {
        if (equalsIgnoreCase(type, integer))
            return "INTEGER";
    }
    if (equalsIgnoreCase(type, "STRING") || equalsIgnoreCase(type, "TIMESTAMP"))
        return "TEXT";
    fail("0A000", kNativeAnalysis,
         "[NOT_EMULATED] The cast to " + printable(type, 40) + " is not emulated.");
}

// A query (or the condition of a DELETE) as SQLite runs it: string literals
// become parameters, names are quoted for SQLite, `schema.table` reads the
// connection's schema, and the warehouse's VARIANT path `col:key.key` and cast
// `expr::type` (on a name or a path) become json_extract and CAST.
struct TranslatedQuery {
    std::string sql;
    std::vector<std::string> parameters;
    bool readsInformationSchema = false;
};

// Reads a `:key.key` path or a `::type` cast at the lexer's ':' and rewrites
// the operand that starts at `operandAt` of the translation; leaves the lexer
// on the token after it.
void translateColon(Lexer& lexer, TranslatedQuery& out, size_t operandAt) {
    lexer.advance();  // ':'
    std::string& sql = out.sql;
    const std::string operand = sql.substr(operandAt);
    if (lexer.acceptPunct(':')) {
        if (lexer.cur().kind != TokenKind::Word)
            lexer.syntaxError();
        sql.replace(operandAt, std::string::npos,
                    "CAST(" + operand + " AS " + castTarget(lexer.cur().text) + ")");
        lexer.advance();
        return;
    }
    std::string path = "$";
    for (;;) {
        const Token& key = lexer.cur();
        if (key.kind != TokenKind::Word && key.kind != TokenKind::QuotedName)
            lexer.syntaxError();
        const std::string_view name = key.name();
        if (name.find('"') != std::string_view::npos)
            fail("0A000", kNativeAnalysis, "[NOT_EMULATED] A path key holding '\"'.");
        path += ".\"" + std::string(name) + "\"";
        lexer.advance();
        if (!lexer.acceptPunct('.'))
            break;
    }
    sql.replace(operandAt, std::string::npos, "json_extract(" + operand + ", ?)");
    out.parameters.push_back(path);
}

// Replaces the word TIMESTAMP written at `wordAt` and the literal after it
// with a parameter: the instant's stored text (UTC), as a column holds it.
void bindTimestamp(TranslatedQuery& out, size_t wordAt, const std::string& text) {
    int64_t micros = 0;
    if (!parseTimestamp(text, micros))
        fail("22007", kNativeAnalysis,
             "[INVALID_TYPED_LITERAL] The value of the typed literal TIMESTAMP is invalid.");
    out.sql.resize(wordAt);
    out.sql += '?';
    out.parameters.push_back(formatTimestamp(micros));
}

// Translates from the current token to the end of the statement or, with
// `untilWhen`, to the keyword WHEN outside parentheses (left unread). `<=>`
// becomes SQLite's IS.
TranslatedQuery translateQuery(Lexer& lexer, const Session& session, bool untilWhen) {
    const std::string_view sql = lexer.source();
    TranslatedQuery out;
    std::string& translated = out.sql;
    translated.reserve(sql.size() + 16);
    size_t copied = lexer.cur().begin;
    size_t lastNameAt = std::string::npos;   // where the previous token, a schema name, was written
    size_t operandAt = std::string::npos;    // where the previous name or path began
    size_t timestampAt = std::string::npos;  // where a previous word TIMESTAMP was written
    int depth = 0;
    while (lexer.cur().kind != TokenKind::End) {
        const Token& token = lexer.cur();
        if (token.kind == TokenKind::Punct && token.text[0] == ';') {
            lexer.expectStatementEnd();
            break;
        }
        if (untilWhen && depth == 0 && lexer.isKeyword("WHEN"))
            break;
        if (token.kind == TokenKind::Punct && token.text[0] == ':' &&
            operandAt != std::string::npos) {
            translateColon(lexer, out, operandAt);
            lastNameAt = std::string::npos;
            copied = lexer.cur().begin;
            continue;
        }
        translated.append(sql.data() + copied, token.begin - copied);
        size_t nameAt = std::string::npos;
        const size_t timestampWordAt = timestampAt;
        timestampAt = std::string::npos;
        operandAt = std::string::npos;
        switch (token.kind) {
            case TokenKind::Word:
            case TokenKind::QuotedName: {
                const std::string_view name = token.name();
                if (token.kind == TokenKind::Word && equalsIgnoreCase(name, "TIMESTAMP"))
                    timestampAt = translated.size();
                if (equalsIgnoreCase(name, "information_schema"))
                    out.readsInformationSchema = true;
                if (equalsIgnoreCase(name, session.settings().schema))
                    nameAt = translated.size();
                operandAt = translated.size();
                if (token.kind == TokenKind::Word) {
                    translated += token.text;
                } else {
                    translated += sqliteName(token.value);
                }
                break;
            }
            case TokenKind::String:
                if (timestampWordAt != std::string::npos) {
                    bindTimestamp(out, timestampWordAt, token.value);
                    break;
                }
                translated += '?';
                out.parameters.push_back(token.value);
                break;
            case TokenKind::Number:
                translated += token.digits();
                break;
            case TokenKind::Punct:
                if (sql.substr(token.begin, 3) == "<=>") {
                    // Null-safe equality; the three characters are three tokens.
                    translated += " IS ";
                    lexer.advance();
                    lexer.advance();
                    copied = lexer.cur().end;
                    lastNameAt = std::string::npos;
                    lexer.advance();
                    continue;
                }
                depth += token.text[0] == '(' ? 1 : (token.text[0] == ')' ? -1 : 0);
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
    return out;
}

void bindParameters(sqlite3_stmt* stmt, const std::vector<std::string>& parameters) {
    for (size_t i = 0; i < parameters.size(); ++i) {
        sqlite3_bind_text(stmt, static_cast<int>(i + 1), parameters[i].data(),
                          static_cast<int>(parameters[i].size()), SQLITE_STATIC);
    }
}

Outcome runQuery(Session& session, std::string_view sql) {
    Lexer lexer(sql);
    const TranslatedQuery translation = translateQuery(lexer, session, false);
    const std::string& translated = translation.sql;
    const bool readsInformationSchema = translation.readsInformationSchema;
    sqlite3* db = session.db();
    if (readsInformationSchema) {
        refreshInformationSchema(db, session.settings().catalog, session.settings().schema,
                                 !session.hidesFullDataType());
    }
    PreparedQuery query;
    if (sqlite3_prepare_v2(db, translated.c_str(), static_cast<int>(translated.size()), &query.stmt,
                           nullptr) != SQLITE_OK) {
        queryError(db);
    }
    if (!query.stmt)
        fail("42601", kNativeAnalysis, "[PARSE_SYNTAX_ERROR] The query is empty.");
    if (!sqlite3_stmt_readonly(query.stmt)) {
        fail("0A000", kNativeAnalysis, "[NOT_EMULATED] The emulator runs only queries that read.");
    }
    bindParameters(query.stmt, translation.parameters);
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

// DELETE FROM name [WHERE condition]: the condition is read as a query's.
Outcome deleteRows(Session& session, Lexer& lexer, std::string_view sql) {
    lexer.expectKeyword("FROM");
    const TableRef table = readTableName(lexer);
    checkTableRef(session, table);
    std::string_view condition;
    if (lexer.isKeyword("WHERE")) {
        condition = sql.substr(lexer.cur().end);
    } else {
        lexer.expectStatementEnd();
    }
    Lexer conditionLexer(condition);
    const TranslatedQuery where = translateQuery(conditionLexer, session, false);
    sqlite3* db = session.db();
    std::vector<Column> existing;
    if (!loadTable(db, table.name, existing))
        tableNotFound(table.name);
    session.waitCommit();
    Transaction transaction(db);
    if (!loadTable(db, table.name, existing))
        tableNotFound(table.name);
    const std::string statement =
        "DELETE FROM " + sqliteName(table.name) + (condition.empty() ? "" : " WHERE " + where.sql);
    PreparedQuery query;
    if (sqlite3_prepare_v2(db, statement.c_str(), static_cast<int>(statement.size()), &query.stmt,
                           nullptr) != SQLITE_OK) {
        queryError(db);
    }
    bindParameters(query.stmt, where.parameters);
    if (sqlite3_step(query.stmt) != SQLITE_DONE)
        queryError(db);
    const long long deleted = sqlite3_changes(db);
    transaction.commit();
    return dmlCounts({{"num_affected_rows", deleted}});
}

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

// Fills the connection's temporary source table with the cast rows.
void loadMergeSource(sqlite3* db, const MergeStatement& merge,
                     const std::vector<const Column*>& targetOf,
                     const std::vector<Stored>& stored) {
    const size_t width = merge.sourceColumns.size();
    std::string create = "CREATE TEMP TABLE _lakesink_merge_source (";
    std::string insert = "INSERT INTO temp._lakesink_merge_source VALUES (";
    for (size_t c = 0; c < width; ++c) {
        create += (c ? ", " : "") + sqliteName(merge.sourceColumns[c]);
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

Outcome mergeRows(Session& session, Lexer& lexer) {
    lexer.expectKeyword("INTO");
    MergeStatement merge;
    merge.table = readTableName(lexer);
    merge.targetAlias = readAlias(lexer, "USING");
    if (merge.targetAlias.empty())
        merge.targetAlias = merge.table.name;
    Pending pending;
    readMergeSource(lexer, merge, pending);
    lexer.expectKeyword("ON");
    merge.condition = translateQuery(lexer, session, true);
    if (merge.condition.sql.empty())
        lexer.syntaxError();
    readMergeClause(lexer, merge);

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
    std::vector<const Column*> targetOf(merge.sourceColumns.size(), nullptr);
    if (!pending.analysis) {
        stored = castMergeSource(merge, columns, from, pending);
        for (size_t t = 0; t < columns.size(); ++t) {
            if (from[t] != std::string::npos)
                targetOf[from[t]] = &columns[t];
        }
    }
    pending.raise();
    merge.rows.clear();

    session.waitCommit();
    Transaction transaction(db);
    if (tableVersion(db, merge.table.name) != version)
        metadataChanged(merge.table.name);
    loadMergeSource(db, merge, targetOf, stored);
    PreparedQuery query;
    const std::string sql = mergeInsertSql(merge, columns, from);
    if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &query.stmt, nullptr) !=
        SQLITE_OK) {
        queryError(db);
    }
    bindParameters(query.stmt, merge.condition.parameters);
    if (sqlite3_step(query.stmt) != SQLITE_DONE)
        queryError(db);
    const long long inserted = sqlite3_changes(db);
    exec(db, "DROP TABLE temp._lakesink_merge_source");
    transaction.commit();
    return dmlCounts({{"num_affected_rows", inserted},
                      {"num_updated_rows", 0},
                      {"num_deleted_rows", 0},
                      {"num_inserted_rows", inserted}});
}

Outcome dispatch(Session& session, std::string_view sql) {
    Lexer lexer(sql);
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
    if (lexer.isKeyword("SELECT") || lexer.isKeyword("WITH") || lexer.isPunct('(')) {
        return runQuery(session, sql);
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
    Outcome outcome;
    try {
        session.checkStatement(sql);
        outcome = dispatch(session, sql);
    } catch (const WarehouseError&) {
        session.answerLost();
        throw;
    }
    session.answerLost();
    return outcome;
}

}  // namespace whemu

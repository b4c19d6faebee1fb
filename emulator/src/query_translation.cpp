// Queries as SQLite runs them: names quoted, literals and `?` values bound, the schema qualifier
// mapped, VARIANT paths and casts rewritten.

#include <sqlext.h>

#include <algorithm>
#include <charconv>
#include <optional>
#include <vector>

#include "calendar.h"
#include "diagnostics.h"
#include "query_translation.h"
#include "relation_scope.h"
#include "spark_lexer.h"
#include "statement_analysis.h"
#include "statement_kinds.h"
#include "storage.h"
#include "warehouse_types.h"

namespace whemu {

namespace {

// ---- queries -----------------------------------------------------------------------

}  // namespace

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

namespace {

// The SQLite type a Spark `::type` cast of a query reads as.
const char* castTarget(std::string_view type) {
    // spark_double: REAL, or the text NaN, Infinity, -Infinity for a string
    // that spells a non-finite double (SQLite's CAST reads those as 0.0).
    for (const char* real : {"DOUBLE", "FLOAT", "REAL"}) {
        if (equalsIgnoreCase(type, real))
            return "DOUBLE";
    }
    for (const char* decimal : {"DECIMAL", "NUMERIC"}) {
        if (equalsIgnoreCase(type, decimal))
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
        const std::string target = castTarget(lexer.cur().text);
        sql.replace(operandAt, std::string::npos,
                    target == "DOUBLE" ? "spark_double(" + operand + ")"
                                       : "CAST(" + operand + " AS " + target + ")");
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
    out.parameters.push_back(Literal{Literal::String, path, false, 0});
}

// Walks a query's tokens once, copying the text between them and rewriting
// names, literals, markers, `<=>`, the schema qualifier and `:` paths.
class QueryTranslator {
  public:
    QueryTranslator(Lexer& lexer, const Session& session, const RelationScope& scope)
        : lexer_(lexer), session_(session), scope_(scope), sql_(lexer.source()) {
        out_.sql.reserve(sql_.size() + 16);
        copied_ = lexer.cur().begin;
    }

    TranslatedQuery run(bool untilWhen) {
        while (lexer_.cur().kind != TokenKind::End) {
            const Token& token = lexer_.cur();
            if (token.kind == TokenKind::Punct && token.text[0] == ';') {
                lexer_.expectStatementEnd();
                break;
            }
            if (untilWhen && depth_ == 0 && lexer_.isKeyword("WHEN"))
                break;
            if (token.kind == TokenKind::Punct && token.text[0] == ':' &&
                operandAt_ != std::string::npos) {
                translateColon(lexer_, out_, operandAt_);
                schemaAt_ = std::string::npos;
                copied_ = lexer_.cur().begin;
                continue;
            }
            out_.sql.append(sql_.data() + copied_, token.begin - copied_);
            if (!translateToken(token))
                continue;
            copied_ = token.end;
            lexer_.advance();
        }
        return std::move(out_);
    }

  private:
    // Translates one token; returns false when it already moved the lexer on.
    bool translateToken(const Token& token) {
        size_t schemaAt = std::string::npos;
        const size_t timestampWordAt = timestampAt_;
        timestampAt_ = std::string::npos;
        operandAt_ = std::string::npos;
        switch (token.kind) {
            case TokenKind::Word:
            case TokenKind::QuotedName:
                if (token.kind == TokenKind::Word && equalsIgnoreCase(token.name(), "TIMESTAMP"))
                    timestampAt_ = out_.sql.size();
                schemaAt = name(token);
                break;
            case TokenKind::String:
                if (timestampWordAt != std::string::npos) {
                    bindTimestamp(timestampWordAt, token.value);
                    break;
                }
                out_.sql += '?';
                out_.parameters.push_back(Literal{Literal::String, token.value, false, 0});
                break;
            case TokenKind::Number:
                out_.sql += token.digits();
                break;
            case TokenKind::Punct:
                if (!punct(token))
                    return false;
                break;
            case TokenKind::End:
                break;
        }
        schemaAt_ = schemaAt;
        return true;
    }

    // Replaces the word TIMESTAMP written at `wordAt` and the literal after
    // it with a parameter: the instant's stored text (UTC), as a column
    // holds it, so that it compares with TIMESTAMP columns.
    void bindTimestamp(size_t wordAt, const std::string& text) {
        int64_t micros = 0;
        if (!parseTimestamp(text, micros))
            fail("22007", kNativeAnalysis,
                 "[INVALID_TYPED_LITERAL] The value of the typed literal TIMESTAMP is invalid.");
        out_.sql.resize(wordAt);
        out_.sql += '?';
        out_.parameters.push_back(Literal{Literal::String, formatTimestamp(micros), false, 0});
    }

    // A name, quoted for SQLite; returns where it was written when it may be
    // the schema qualifier of `schema.table`, else npos.
    size_t name(const Token& token) {
        const std::string_view text = token.name();
        if (equalsIgnoreCase(text, "information_schema"))
            out_.readsInformationSchema = true;
        const size_t at = out_.sql.size();
        operandAt_ = at;
        out_.sql +=
            token.kind == TokenKind::Word ? std::string(token.text) : sqliteName(token.value);
        return scope_.namesSchema(text, token.begin, session_.settings().schema)
                   ? at
                   : std::string::npos;
    }

    // Punctuation; returns false when it already moved the lexer on.
    bool punct(const Token& token) {
        if (sql_.substr(token.begin, 3) == "<=>") {
            // Null-safe equality; the three characters are three tokens.
            out_.sql += " IS ";
            lexer_.advance();
            lexer_.advance();
            copied_ = lexer_.cur().end;
            schemaAt_ = std::string::npos;
            lexer_.advance();
            return false;
        }
        if (token.text[0] == '?') {
            out_.sql += '?';
            out_.parameters.push_back(lexer_.takeParameter());
            return true;
        }
        depth_ += token.text[0] == '(' ? 1 : (token.text[0] == ')' ? -1 : 0);
        // schema.table reads the table of the connection's schema; a
        // relation alias spelled like the schema stays the alias.
        if (token.text[0] == '.' && schemaAt_ != std::string::npos)
            out_.sql.replace(schemaAt_, std::string::npos, "main");
        out_.sql += token.text;
        return true;
    }

    Lexer& lexer_;
    const Session& session_;
    const RelationScope& scope_;
    const std::string_view sql_;
    TranslatedQuery out_;
    size_t copied_ = 0;                     // source offset copied up to
    size_t schemaAt_ = std::string::npos;   // where the previous token, a schema name, was written
    size_t operandAt_ = std::string::npos;  // where the previous name or path began
    size_t timestampAt_ = std::string::npos;  // where a previous word TIMESTAMP was written
    int depth_ = 0;
};

}  // namespace

TranslatedQuery translateQuery(Lexer& lexer, const Session& session, bool untilWhen,
                               const RelationScope& scope) {
    return QueryTranslator(lexer, session, scope).run(untilWhen);
}

// Binds each value as SQLite compares it with what the tables store.
void bindParameters(sqlite3_stmt* stmt, const std::vector<Literal>& parameters) {
    for (size_t i = 0; i < parameters.size(); ++i) {
        const Literal& value = parameters[i];
        const int index = static_cast<int>(i + 1);
        int64_t integer = 0;
        const char* end = value.text.data() + value.text.size();
        if (value.kind == Literal::Null) {
            sqlite3_bind_null(stmt, index);
        } else if (value.kind == Literal::Boolean) {
            sqlite3_bind_int64(stmt, index, value.boolean ? 1 : 0);
        } else if (value.kind == Literal::Integer &&
                   std::from_chars(value.text.data(), end, integer).ptr == end) {
            sqlite3_bind_int64(stmt, index, integer);
        } else if ((value.kind == Literal::Double || value.kind == Literal::Float) &&
                   value.text != "NaN") {
            sqlite3_bind_double(stmt, index, std::strtod(value.text.c_str(), nullptr));
        } else {
            sqlite3_bind_text(stmt, index, value.text.data(), static_cast<int>(value.text.size()),
                              SQLITE_STATIC);
        }
    }
}

}  // namespace whemu

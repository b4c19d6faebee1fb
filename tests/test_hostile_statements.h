#pragma once
// An independent reader of the statements lakesink sends, for tests and
// fuzzers: it tokenizes a statement with the warehouse's (Spark SQL) rules and
// accepts it only when it has exactly one of the four shapes the plugin may
// send, decoding every identifier and string literal on the way:
//
//   SELECT column_name,data_type[,is_nullable[,<detail>]] FROM
//     information_schema.columns WHERE table_schema = '<s>' AND table_name = '<t>'
//     ORDER BY ordinal_position
//   SELECT table_name,column_name,data_type[,is_nullable[,<detail>]] FROM
//     information_schema.columns WHERE table_schema = '<s>' AND table_name IN
//     ('<t>', ...) ORDER BY table_name, ordinal_position
//   CREATE TABLE `<t>` (`<c>` <type> [NOT NULL], ...)
//   ALTER TABLE `<t>` ADD COLUMN `<c>` <type>
//   INSERT INTO `<t>` (`<c>`, ...) VALUES (<v>, ...), ...
// where <detail> is full_data_type, or character_maximum_length,
// numeric_precision,numeric_scale.
//
// <type> is one of VARCHAR(256), STRING, TIMESTAMP, BIGINT, DOUBLE, VARIANT;
// <v> is NULL, TRUE, FALSE (any case), a number with an optional sign (and the
// DOUBLE suffix D), CAST('NaN'|'Infinity'|'-Infinity' AS DOUBLE), a string
// literal, or parse_json(<string literal>). Comments, a second statement,
// adjacent string literals, raw literals or any other token make the reader
// refuse the text, so a statement that reading content has bent out of shape
// never passes. Header-only; no state.

#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

namespace sqlshape {

struct Token {
    enum Kind { End, Word, Name, String, Number, Punct } kind = End;
    std::string text;  // word or number as written; decoded name or string; punctuation
};

inline void appendUtf8(std::string& out, unsigned long cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

inline int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Decodes one Spark string literal starting at sql[i] (the quote); on success
// `i` is just past the closing quote.
inline bool readString(const std::string& sql, size_t& i, std::string& value, std::string& error) {
    const char quote = sql[i++];
    value.clear();
    while (i < sql.size()) {
        const char c = sql[i];
        if (c == quote) {
            ++i;
            return true;
        }
        if (c != '\\') {
            value += c;
            ++i;
            continue;
        }
        if (i + 1 >= sql.size())
            break;
        const char e = sql[i + 1];
        // Octal \ooo with a first digit 0 to 3.
        if (e >= '0' && e <= '3' && i + 3 < sql.size() && sql[i + 2] >= '0' && sql[i + 2] <= '7' &&
            sql[i + 3] >= '0' && sql[i + 3] <= '7') {
            value += static_cast<char>(((e - '0') << 6) | ((sql[i + 2] - '0') << 3) |
                                       (sql[i + 3] - '0'));
            i += 4;
            continue;
        }
        if (e == 'u' || e == 'U') {
            const size_t digits = e == 'u' ? 4 : 8;
            if (i + 2 + digits > sql.size()) {
                error = "short unicode escape";
                return false;
            }
            unsigned long cp = 0;
            for (size_t k = 0; k < digits; ++k) {
                const int d = hexDigit(sql[i + 2 + k]);
                if (d < 0) {
                    error = "bad unicode escape";
                    return false;
                }
                cp = cp * 16 + static_cast<unsigned long>(d);
            }
            i += 2 + digits;
            // A high surrogate followed by \u and a low surrogate is one character.
            if (cp >= 0xD800 && cp <= 0xDBFF && i + 6 <= sql.size() && sql[i] == '\\' &&
                sql[i + 1] == 'u') {
                unsigned long low = 0;
                bool ok = true;
                for (size_t k = 0; k < 4; ++k) {
                    const int d = hexDigit(sql[i + 2 + k]);
                    ok = ok && d >= 0;
                    low = low * 16 + static_cast<unsigned long>(d < 0 ? 0 : d);
                }
                if (ok && low >= 0xDC00 && low <= 0xDFFF) {
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    i += 6;
                }
            }
            appendUtf8(value, cp);
            continue;
        }
        switch (e) {
            case '0':
                value += '\0';
                break;
            case 'b':
                value += '\b';
                break;
            case 'n':
                value += '\n';
                break;
            case 'r':
                value += '\r';
                break;
            case 't':
                value += '\t';
                break;
            case 'Z':
                value += '\x1A';
                break;
            case '%':
            case '_':
                value += '\\';
                value += e;
                break;
            default:
                value += e;  // \\ \' \" and any other character stand for themselves
        }
        i += 2;
    }
    error = "unterminated string literal";
    return false;
}

inline bool tokenize(const std::string& sql, std::vector<Token>& tokens, std::string& error) {
    tokens.clear();
    size_t i = 0;
    while (i < sql.size()) {
        const char c = sql[i];
        if (c == ' ') {  // the plugin separates tokens with single blanks only
            ++i;
            continue;
        }
        Token t;
        if (c == '`') {
            t.kind = Token::Name;
            ++i;
            bool closed = false;
            while (i < sql.size()) {
                if (sql[i] == '`') {
                    if (i + 1 < sql.size() && sql[i + 1] == '`') {
                        t.text += '`';
                        i += 2;
                        continue;
                    }
                    ++i;
                    closed = true;
                    break;
                }
                t.text += sql[i++];
            }
            if (!closed) {
                error = "unterminated name";
                return false;
            }
        } else if (c == '\'' || c == '"') {
            t.kind = Token::String;
            if (!readString(sql, i, t.text, error))
                return false;
            if (!tokens.empty() && tokens.back().kind == Token::String) {
                error = "adjacent string literals";
                return false;
            }
        } else if (c >= '0' && c <= '9') {
            t.kind = Token::Number;
            size_t start = i;
            while (i < sql.size() && sql[i] >= '0' && sql[i] <= '9')
                ++i;
            if (i < sql.size() && sql[i] == '.') {
                ++i;
                while (i < sql.size() && sql[i] >= '0' && sql[i] <= '9')
                    ++i;
            }
            if (i < sql.size() && (sql[i] == 'e' || sql[i] == 'E')) {
                ++i;
                if (i < sql.size() && (sql[i] == '+' || sql[i] == '-'))
                    ++i;
                const size_t digits = i;
                while (i < sql.size() && sql[i] >= '0' && sql[i] <= '9')
                    ++i;
                if (digits == i) {
                    error = "bad exponent";
                    return false;
                }
            }
            t.text = sql.substr(start, i - start);
            // The DOUBLE suffix; any other letter after a number is refused.
            if (i < sql.size() && (sql[i] == 'D' || sql[i] == 'd') &&
                (i + 1 == sql.size() ||
                 !(std::isalnum(static_cast<unsigned char>(sql[i + 1])) || sql[i + 1] == '_')))
                ++i;
            if (i < sql.size() &&
                (std::isalpha(static_cast<unsigned char>(sql[i])) || sql[i] == '_')) {
                error = "number with a suffix";
                return false;
            }
        } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_') {
            t.kind = Token::Word;
            size_t start = i;
            while (i < sql.size() &&
                   (std::isalnum(static_cast<unsigned char>(sql[i])) || sql[i] == '_'))
                ++i;
            t.text = sql.substr(start, i - start);
            if (i < sql.size() && (sql[i] == '\'' || sql[i] == '"')) {
                error = "prefixed string literal";
                return false;
            }
        } else if (c == '(' || c == ')' || c == ',' || c == '.' || c == '=' || c == '-' ||
                   c == '+' || c == '<' || c == '>' || c == '*') {
            t.kind = Token::Punct;
            t.text = std::string(1, c);
            ++i;
            if (c == '-' && i < sql.size() && sql[i] == '-') {
                error = "comment";
                return false;
            }
        } else {
            error = std::string("unexpected character ") +
                    std::to_string(static_cast<unsigned char>(c));
            return false;
        }
        tokens.push_back(std::move(t));
    }
    tokens.push_back(Token{});
    return true;
}

struct Value {
    enum Kind { Null, True, False, Number, String, Json } kind = Null;
    std::string text;  // number as written (with its sign), decoded string or JSON text
};

struct Statement {
    enum Kind { Select, Create, Alter, Insert } kind = Select;  // a MERGE reads as an Insert
    std::string schema;                                         // Select only
    std::vector<std::string> tables;                            // Select of several tables only
    std::string table;
    std::vector<std::string> columns;
    std::vector<std::string> types;  // Create and Alter, parallel to columns
    std::vector<bool> notNull;       // Create and Alter, parallel to columns
    std::vector<std::vector<Value>> rows;
};

class Reader {
  public:
    explicit Reader(const std::vector<Token>& tokens) : t(tokens) {}

    bool word(const char* w) {
        if (t[p].kind == Token::Word && t[p].text == w) {
            ++p;
            return true;
        }
        return false;
    }
    bool punct(char c) {
        if (t[p].kind == Token::Punct && t[p].text[0] == c) {
            ++p;
            return true;
        }
        return false;
    }
    bool name(std::string& out) {
        if (t[p].kind != Token::Name)
            return false;
        out = t[p++].text;
        return true;
    }
    bool string(std::string& out) {
        if (t[p].kind != Token::String)
            return false;
        out = t[p++].text;
        return true;
    }
    bool end() const { return t[p].kind == Token::End; }
    size_t position() const { return p; }
    void rewind(size_t position) { p = position; }

    bool type(std::string& out) {
        if (word("VARCHAR")) {
            if (!punct('(') || t[p].kind != Token::Number || t[p].text != "256")
                return false;
            ++p;
            if (!punct(')'))
                return false;
            out = "VARCHAR(256)";
            return true;
        }
        for (const char* known : {"STRING", "TIMESTAMP", "BIGINT", "DOUBLE", "VARIANT"}) {
            if (word(known)) {
                out = known;
                return true;
            }
        }
        return false;
    }

    // A bare word equal to `lower` ignoring ASCII case.
    bool keyword(const char* lower) {
        if (t[p].kind != Token::Word)
            return false;
        const std::string& text = t[p].text;
        size_t i = 0;
        for (; lower[i] != 0 && i < text.size(); ++i) {
            const char c =
                (text[i] >= 'A' && text[i] <= 'Z') ? static_cast<char>(text[i] + 32) : text[i];
            if (c != lower[i])
                return false;
        }
        if (lower[i] != 0 || i != text.size())
            return false;
        ++p;
        return true;
    }

    bool value(Value& v) {
        if (keyword("null")) {
            v.kind = Value::Null;
            return true;
        }
        if (keyword("true")) {
            v.kind = Value::True;
            return true;
        }
        if (keyword("false")) {
            v.kind = Value::False;
            return true;
        }
        if (word("CAST")) {
            v.kind = Value::Number;
            return punct('(') && string(v.text) &&
                   (v.text == "NaN" || v.text == "Infinity" || v.text == "-Infinity") &&
                   word("AS") && word("DOUBLE") && punct(')');
        }
        if (word("parse_json")) {
            v.kind = Value::Json;
            return punct('(') && string(v.text) && punct(')');
        }
        if (string(v.text)) {
            v.kind = Value::String;
            return true;
        }
        std::string sign;
        if (punct('-'))
            sign = "-";
        else if (punct('+'))
            sign = "+";
        if (t[p].kind == Token::Number) {
            v.kind = Value::Number;
            v.text = sign + t[p++].text;
            return true;
        }
        return false;
    }

  private:
    const std::vector<Token>& t;
    size_t p = 0;
};

// Reads the optional ",is_nullable[,full_data_type | ,character_maximum_length,
// numeric_precision,numeric_scale]" after data_type; false when a comma is
// followed by anything else.
inline bool detailColumns(Reader& r) {
    if (!r.punct(','))
        return true;
    if (!r.word("is_nullable"))
        return false;
    if (!r.punct(','))
        return true;
    if (r.word("full_data_type"))
        return true;
    return r.word("character_maximum_length") && r.punct(',') && r.word("numeric_precision") &&
           r.punct(',') && r.word("numeric_scale");
}

// True when `sql` is one of the four shapes; fills `st`. `error` says why not.
// The rows of a VALUES list, each as long as the statement's column list
// (when it has one yet).
inline bool readRows(Reader& r, Statement& st, std::string& error) {
    do {
        if (!r.punct('(')) {
            error = "row does not open";
            return false;
        }
        std::vector<Value> row;
        do {
            Value v;
            if (!r.value(v)) {
                error = "bad value";
                return false;
            }
            row.push_back(std::move(v));
        } while (r.punct(','));
        if (!r.punct(')')) {
            error = "row does not close";
            return false;
        }
        if (!st.columns.empty() && row.size() != st.columns.size()) {
            error = "row length differs from the column list";
            return false;
        }
        st.rows.push_back(std::move(row));
    } while (r.punct(','));
    return true;
}

// A column of a MERGE's match: "t.`c` <=> s.`c`" or, for VARIANT columns,
// "to_json(t.`c`) <=> to_json(s.`c`)".
inline bool readMatch(Reader& r, const std::string& column) {
    std::string left;
    std::string right;
    const bool json = r.word("to_json");
    if ((json && !r.punct('(')) || !r.word("t") || !r.punct('.') || !r.name(left) ||
        (json && !r.punct(')')))
        return false;
    if (!r.punct('<') || !r.punct('=') || !r.punct('>'))
        return false;
    if ((json && (!r.word("to_json") || !r.punct('('))) || !r.word("s") || !r.punct('.') ||
        !r.name(right) || (json && !r.punct(')')))
        return false;
    return left == column && right == column;
}

// "TIMESTAMP '<text>'".
inline bool readTimestamp(Reader& r) {
    std::string text;
    return r.word("TIMESTAMP") && r.string(text);
}

// The time bound that may open a MERGE's match, followed by AND:
// "t.`ts` BETWEEN TIMESTAMP '..' AND TIMESTAMP '..'", "t.`ts` IS NULL", or
// "(<the first> OR <the second>)".
inline void skipTimeBound(Reader& r) {
    const size_t start = r.position();
    const auto column = [&r] {
        std::string name;
        return r.word("t") && r.punct('.') && r.name(name) && name == "ts";
    };
    const auto between = [&] {
        return column() && r.word("BETWEEN") && readTimestamp(r) && r.word("AND") &&
               readTimestamp(r);
    };
    const auto isNull = [&] { return column() && r.word("IS") && r.word("NULL"); };
    const size_t at = r.position();
    bool ok = false;
    if (r.punct('(')) {
        ok = between() && r.word("OR") && isNull() && r.punct(')');
    } else {
        ok = between();
        if (!ok) {
            r.rewind(at);
            ok = isNull();
        }
    }
    if (!ok || !r.word("AND"))
        r.rewind(start);
}

// The insert-only MERGE the plugin writes for tables in doubt:
// MERGE INTO `t` AS t USING (VALUES rows) AS s(cols) ON [time bound AND] match
// WHEN NOT MATCHED THEN INSERT *.
inline bool readMerge(Reader& r, Statement& st, std::string& error) {
    st.kind = Statement::Insert;
    if (!r.word("INTO") || !r.name(st.table) || !r.word("AS") || !r.word("t") || !r.word("USING") ||
        !r.punct('(') || !r.word("VALUES")) {
        error = "bad MERGE head";
        return false;
    }
    // The rows come before the column list: their lengths are checked after.
    if (!readRows(r, st, error))
        return false;
    if (!r.punct(')') || !r.word("AS") || !r.word("s") || !r.punct('(')) {
        error = "bad MERGE source";
        return false;
    }
    do {
        std::string column;
        if (!r.name(column)) {
            error = "bad MERGE column list";
            return false;
        }
        st.columns.push_back(column);
    } while (r.punct(','));
    for (const auto& row : st.rows) {
        if (row.size() != st.columns.size()) {
            error = "row length differs from the column list";
            return false;
        }
    }
    if (!r.punct(')') || !r.word("ON")) {
        error = "bad MERGE source end";
        return false;
    }
    skipTimeBound(r);
    size_t matched = 0;
    for (const std::string& column : st.columns) {
        const size_t before = r.position();
        if (matched > 0 && !r.word("AND")) {
            r.rewind(before);
            break;
        }
        if (!readMatch(r, column)) {
            r.rewind(before);
            if (matched == 0) {
                error = "bad MERGE match";
                return false;
            }
            continue;
        }
        ++matched;
    }
    if (!r.word("WHEN") || !r.word("NOT") || !r.word("MATCHED") || !r.word("THEN") ||
        !r.word("INSERT") || !r.punct('*')) {
        error = "bad MERGE clause";
        return false;
    }
    if (!r.end()) {
        error = "text after the MERGE";
        return false;
    }
    return true;
}

inline bool parse(const std::string& sql, Statement& st, std::string& error) {
    std::vector<Token> tokens;
    if (!tokenize(sql, tokens, error))
        return false;
    Reader r(tokens);
    st = Statement{};
    if (r.word("SELECT")) {
        st.kind = Statement::Select;
        if (r.word("table_name")) {
            bool ok = r.punct(',') && r.word("column_name") && r.punct(',') &&
                      r.word("data_type") && detailColumns(r) && r.word("FROM") &&
                      r.word("information_schema") && r.punct('.') && r.word("columns") &&
                      r.word("WHERE") && r.word("table_schema") && r.punct('=') &&
                      r.string(st.schema) && r.word("AND") && r.word("table_name") &&
                      r.word("IN") && r.punct('(');
            while (ok) {
                std::string table;
                ok = r.string(table);
                st.tables.push_back(table);
                if (!ok || !r.punct(','))
                    break;
            }
            ok = ok && r.punct(')') && r.word("ORDER") && r.word("BY") && r.word("table_name") &&
                 r.punct(',') && r.word("ordinal_position") && r.end();
            if (!ok)
                error = "not the information-schema query of several tables";
            return ok;
        }
        const bool ok =
            r.word("column_name") && r.punct(',') && r.word("data_type") && detailColumns(r) &&
            r.word("FROM") && r.word("information_schema") && r.punct('.') && r.word("columns") &&
            r.word("WHERE") && r.word("table_schema") && r.punct('=') && r.string(st.schema) &&
            r.word("AND") && r.word("table_name") && r.punct('=') && r.string(st.table) &&
            r.word("ORDER") && r.word("BY") && r.word("ordinal_position") && r.end();
        if (!ok)
            error = "not the information-schema query";
        return ok;
    }
    if (r.word("CREATE")) {
        st.kind = Statement::Create;
        if (!r.word("TABLE") || !r.name(st.table) || !r.punct('(')) {
            error = "bad CREATE TABLE head";
            return false;
        }
        do {
            std::string column, type;
            if (!r.name(column) || !r.type(type)) {
                error = "bad column definition";
                return false;
            }
            bool notNull = false;
            if (r.word("NOT")) {
                if (!r.word("NULL")) {
                    error = "NOT without NULL";
                    return false;
                }
                notNull = true;
            }
            st.columns.push_back(column);
            st.types.push_back(type);
            st.notNull.push_back(notNull);
        } while (r.punct(','));
        if (!r.punct(')') || !r.end()) {
            error = "bad CREATE TABLE end";
            return false;
        }
        return true;
    }
    if (r.word("ALTER")) {
        st.kind = Statement::Alter;
        std::string column, type;
        if (!r.word("TABLE") || !r.name(st.table) || !r.word("ADD") || !r.word("COLUMN") ||
            !r.name(column) || !r.type(type) || !r.end()) {
            error = "not ALTER TABLE ... ADD COLUMN";
            return false;
        }
        st.columns.push_back(column);
        st.types.push_back(type);
        st.notNull.push_back(false);
        return true;
    }
    if (r.word("INSERT")) {
        st.kind = Statement::Insert;
        if (!r.word("INTO") || !r.name(st.table) || !r.punct('(')) {
            error = "bad INSERT head";
            return false;
        }
        do {
            std::string column;
            if (!r.name(column)) {
                error = "bad INSERT column list";
                return false;
            }
            st.columns.push_back(column);
        } while (r.punct(','));
        if (!r.punct(')') || !r.word("VALUES")) {
            error = "bad INSERT column list end";
            return false;
        }
        if (!readRows(r, st, error))
            return false;
        if (!r.end()) {
            error = "text after the last row";
            return false;
        }
        return true;
    }
    if (r.word("MERGE"))
        return readMerge(r, st, error);
    error = "unknown statement";
    return false;
}

}  // namespace sqlshape

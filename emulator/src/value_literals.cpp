// The values of a VALUES list: literals with their Spark types, bound `?` values, CAST, parse_json,
// and the inline-table check.

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

namespace {

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

// Skips a parenthesised argument list, the '(' being the current token (any
// other token alone is skipped).
void skipParentheses(Lexer& lexer) {
    const bool opens = lexer.isPunct('(');
    if (lexer.cur().kind == TokenKind::End)
        lexer.syntaxError();
    lexer.advance();
    if (opens)
        skipToClosingParenthesis(lexer);
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

// A value after one or more signs: only a number may follow.
void signedLiteral(Lexer& lexer, Literal& literal, Pending& pending) {
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
}

// TIMESTAMP '...' or DATE '...', the lexer on the string after the word.
void typedLiteral(Lexer& lexer, const std::string& word, Literal& literal) {
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
}

// parse_json(...), the lexer on the '('.
void parseJsonLiteral(Lexer& lexer, Literal& literal, Pending& pending) {
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
}

// A value that starts with a word: NULL, TRUE, FALSE, a typed literal, CAST
// or parse_json; any other word is a name, which a VALUES list cannot resolve.
void wordLiteral(Lexer& lexer, Literal& literal, Pending& pending) {
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
    const std::string word(lexer.cur().text);
    lexer.advance();
    if ((equalsIgnoreCase(word, "TIMESTAMP") || equalsIgnoreCase(word, "DATE")) &&
        lexer.cur().kind == TokenKind::String) {
        typedLiteral(lexer, word, literal);
    } else if (!lexer.isPunct('(')) {
        unresolved(word, pending);
    } else if (equalsIgnoreCase(word, "cast")) {
        castLiteral(lexer, literal, pending);
    } else if (equalsIgnoreCase(word, "parse_json")) {
        parseJsonLiteral(lexer, literal, pending);
    } else {
        unsupportedExpression("the function " + word + "()", pending);
        skipParentheses(lexer);
    }
}

}  // namespace

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
            if (lexer.isPunct('?')) {
                literal = lexer.takeParameter();
                lexer.advance();
                return;
            }
            if (lexer.isPunct('-') || lexer.isPunct('+')) {
                signedLiteral(lexer, literal, pending);
                return;
            }
            lexer.syntaxError();
        case TokenKind::QuotedName:
            unresolved(token.value, pending);
            lexer.advance();
            return;
        case TokenKind::Word:
            wordLiteral(lexer, literal, pending);
            return;
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

namespace {

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
        if (!isNonFiniteSpelling(l.text))
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

}  // namespace

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

}  // namespace whemu

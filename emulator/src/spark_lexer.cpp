#include "spark_lexer.h"

#include "diagnostics.h"
#include "warehouse_types.h"

namespace whemu {

namespace {

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
bool isWordChar(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || isDigit(c) || u == '_' || u >= 0x80;
}
int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}
// Reads `count` hex digits at text[at..]; -1 when they are not all hex.
long hexRun(std::string_view text, size_t at, size_t count) {
    if (at + count > text.size())
        return -1;
    long value = 0;
    for (size_t i = 0; i < count; ++i) {
        const int h = hexValue(text[at + i]);
        if (h < 0)
            return -1;
        value = value * 16 + h;
    }
    return value;
}
bool isOctal(char c) {
    return c >= '0' && c <= '7';
}

}  // namespace

void appendUtf8(std::string& out, unsigned long cp) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        cp = 0xFFFD;
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

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

std::string toLowerAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

std::string_view Token::digits() const {
    if (suffix == 0)
        return text;
    return text.substr(0, text.size() - (suffix == 'B' ? 2 : 1));
}

Lexer::Lexer(std::string_view sql) : sql_(sql) {
    advance();
}

void Lexer::skipSpaceAndComments() {
    while (pos_ < sql_.size()) {
        const char c = sql_[pos_];
        if (isSpace(c)) {
            ++pos_;
        } else if (c == '-' && pos_ + 1 < sql_.size() && sql_[pos_ + 1] == '-') {
            while (pos_ < sql_.size() && sql_[pos_] != '\n')
                ++pos_;
        } else if (c == '/' && pos_ + 1 < sql_.size() && sql_[pos_ + 1] == '*') {
            // Bracketed comments nest, as in Spark.
            const size_t start = pos_;
            int depth = 0;
            while (pos_ < sql_.size()) {
                if (sql_.compare(pos_, 2, "/*") == 0) {
                    ++depth;
                    pos_ += 2;
                } else if (sql_.compare(pos_, 2, "*/") == 0) {
                    pos_ += 2;
                    if (--depth == 0)
                        break;
                } else {
                    ++pos_;
                }
            }
            if (depth != 0) {
                fail("42601", kNativeAnalysis,
                     "[UNCLOSED_BRACKETED_COMMENT] Found an unclosed bracketed comment at "
                     "position " +
                         std::to_string(start) + ".");
            }
        } else {
            return;
        }
    }
}

bool Lexer::atStringStart(size_t at, bool* raw) const {
    if (at >= sql_.size())
        return false;
    const char c = sql_[at];
    if (c == '\'' || c == '"') {
        *raw = false;
        return true;
    }
    if ((c == 'r' || c == 'R') && at + 1 < sql_.size() &&
        (sql_[at + 1] == '\'' || sql_[at + 1] == '"')) {
        *raw = true;
        return true;
    }
    return false;
}

namespace {

// A \u, \U or octal escape at `pos` (the backslash): appends its code point
// and returns the position after it, or npos when it is no such escape.
size_t readCodePointEscape(std::string_view sql, size_t pos, std::string& out) {
    const char e = sql[pos + 1];
    if (e == 'u') {
        const long unit = hexRun(sql, pos + 2, 4);
        if (unit < 0)
            return std::string_view::npos;
        pos += 6;
        unsigned long cp = static_cast<unsigned long>(unit);
        if (unit >= 0xD800 && unit <= 0xDBFF && sql.compare(pos, 2, "\\u") == 0) {
            const long low = hexRun(sql, pos + 2, 4);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                cp = 0x10000 + ((static_cast<unsigned long>(unit) - 0xD800) << 10) +
                     (static_cast<unsigned long>(low) - 0xDC00);
                pos += 6;
            }
        }
        appendUtf8(out, cp);
        return pos;
    }
    if (e == 'U') {
        const long cp = hexRun(sql, pos + 2, 8);
        if (cp < 0)
            return std::string_view::npos;
        appendUtf8(out, static_cast<unsigned long>(cp));
        return pos + 10;
    }
    if (e >= '0' && e <= '3' && pos + 3 < sql.size() && isOctal(sql[pos + 2]) &&
        isOctal(sql[pos + 3])) {
        appendUtf8(out, static_cast<unsigned long>((e - '0') * 64 + (sql[pos + 2] - '0') * 8 +
                                                   (sql[pos + 3] - '0')));
        return pos + 4;
    }
    return std::string_view::npos;
}

// The escape at `pos` (the backslash, with a character after it): appends
// what it stands for and returns the position after it.
size_t readEscape(std::string_view sql, size_t pos, std::string& out) {
    const size_t next = readCodePointEscape(sql, pos, out);
    if (next != std::string_view::npos)
        return next;
    switch (const char e = sql[pos + 1]) {
        case '0':
            out += '\0';
            break;
        case 'b':
            out += '\b';
            break;
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        case 't':
            out += '\t';
            break;
        case 'Z':
            out += '\x1A';
            break;
        case '%':
        case '_':
            out += '\\';  // kept for LIKE patterns
            out += e;
            break;
        default:
            out += e;  // \\ \' \" and any other character
            break;
    }
    return pos + 2;
}

}  // namespace

// One literal's body after its opening quote, to and past its closing quote.
void Lexer::lexStringBody(char quote, bool raw, std::string& out) {
    const size_t bodyStart = pos_;
    while (pos_ < sql_.size()) {
        const char c = sql_[pos_];
        if (c == quote) {
            ++pos_;
            return;
        }
        if (c != '\\' || raw) {
            // Copy the run of plain characters in one go.
            size_t run = pos_ + 1;
            while (run < sql_.size() && sql_[run] != quote && (raw || sql_[run] != '\\'))
                ++run;
            out.append(sql_.data() + pos_, run - pos_);
            pos_ = run;
            continue;
        }
        if (pos_ + 1 >= sql_.size())
            break;
        pos_ = readEscape(sql_, pos_, out);
    }
    fail("42601", kNativeAnalysis,
         "[PARSE_SYNTAX_ERROR] Syntax error at or near end of input: the string literal "
         "starting at position " +
             std::to_string(bodyStart - 1) + " is not closed.");
}

void Lexer::lexString(size_t start, bool raw) {
    token_.kind = TokenKind::String;
    token_.value.clear();
    for (;;) {
        if (raw)
            ++pos_;  // the r prefix
        const char quote = sql_[pos_++];
        lexStringBody(quote, raw, token_.value);
        // Adjacent literals are one literal.
        const size_t literalEnd = pos_;
        skipSpaceAndComments();
        if (atStringStart(pos_, &raw))
            continue;
        token_.end = literalEnd;
        break;
    }
    token_.text = sql_.substr(start, token_.end - start);
}

void Lexer::lexNumber(size_t start) {
    token_.kind = TokenKind::Number;
    token_.hasDot = false;
    token_.hasExponent = false;
    token_.suffix = 0;
    while (pos_ < sql_.size() && isDigit(sql_[pos_]))
        ++pos_;
    if (pos_ < sql_.size() && sql_[pos_] == '.') {
        token_.hasDot = true;
        ++pos_;
        while (pos_ < sql_.size() && isDigit(sql_[pos_]))
            ++pos_;
    }
    if (pos_ < sql_.size() && (sql_[pos_] == 'e' || sql_[pos_] == 'E')) {
        size_t at = pos_ + 1;
        if (at < sql_.size() && (sql_[at] == '+' || sql_[at] == '-'))
            ++at;
        if (at < sql_.size() && isDigit(sql_[at])) {
            token_.hasExponent = true;
            pos_ = at;
            while (pos_ < sql_.size() && isDigit(sql_[pos_]))
                ++pos_;
        }
    }
    // Type suffixes: 1L, 1S, 1Y, 1.5D, 1.5F, 1.5BD.
    size_t wordEnd = pos_;
    while (wordEnd < sql_.size() && isWordChar(sql_[wordEnd]))
        ++wordEnd;
    const std::string_view tail = sql_.substr(pos_, wordEnd - pos_);
    if (!tail.empty()) {
        char s = 0;
        if (equalsIgnoreCase(tail, "bd")) {
            s = 'B';
        } else if (tail.size() == 1) {
            const char c = static_cast<char>(tail[0] & ~0x20);
            if (c == 'L' || c == 'S' || c == 'Y' || c == 'D' || c == 'F')
                s = c;
        }
        const bool integral = !token_.hasDot && !token_.hasExponent;
        if (s == 0 || ((s == 'L' || s == 'S' || s == 'Y') && !integral)) {
            fail("42601", kNativeAnalysis,
                 "[PARSE_SYNTAX_ERROR] Syntax error at or near '" +
                     printable(sql_.substr(start, wordEnd - start)) + "'.");
        }
        token_.suffix = s;
        pos_ = wordEnd;
    }
    token_.end = pos_;
    token_.text = sql_.substr(start, pos_ - start);
}

void Lexer::advance() {
    skipSpaceAndComments();
    const size_t start = pos_;
    token_.begin = start;
    if (pos_ >= sql_.size()) {
        token_.kind = TokenKind::End;
        token_.end = pos_;
        token_.text = std::string_view();
        return;
    }
    const char c = sql_[pos_];
    bool raw = false;
    if (atStringStart(pos_, &raw)) {
        lexString(start, raw);
        return;
    }
    if (isDigit(c) || (c == '.' && pos_ + 1 < sql_.size() && isDigit(sql_[pos_ + 1]))) {
        lexNumber(start);
        return;
    }
    if (isWordChar(c)) {
        while (pos_ < sql_.size() && isWordChar(sql_[pos_]))
            ++pos_;
        token_.kind = TokenKind::Word;
        token_.end = pos_;
        token_.text = sql_.substr(start, pos_ - start);
        return;
    }
    if (c == '`') {
        token_.kind = TokenKind::QuotedName;
        token_.value.clear();
        ++pos_;
        for (;;) {
            const size_t close = sql_.find('`', pos_);
            if (close == std::string_view::npos) {
                fail("42601", kNativeAnalysis,
                     "[PARSE_SYNTAX_ERROR] Syntax error at or near end of input: the quoted name "
                     "starting at position " +
                         std::to_string(start) + " is not closed.");
            }
            token_.value.append(sql_.data() + pos_, close - pos_);
            pos_ = close + 1;
            if (pos_ < sql_.size() && sql_[pos_] == '`') {
                token_.value += '`';
                ++pos_;
                continue;
            }
            break;
        }
        token_.end = pos_;
        token_.text = sql_.substr(start, pos_ - start);
        return;
    }
    token_.kind = TokenKind::Punct;
    ++pos_;
    token_.end = pos_;
    token_.text = sql_.substr(start, 1);
}

bool Lexer::isKeyword(const char* keyword) const {
    return token_.kind == TokenKind::Word && equalsIgnoreCase(token_.text, keyword);
}

bool Lexer::acceptKeyword(const char* keyword) {
    if (!isKeyword(keyword))
        return false;
    advance();
    return true;
}

void Lexer::expectKeyword(const char* keyword) {
    if (!acceptKeyword(keyword))
        syntaxError();
}

bool Lexer::acceptPunct(char c) {
    if (!isPunct(c))
        return false;
    advance();
    return true;
}

void Lexer::expectPunct(char c) {
    if (!acceptPunct(c))
        syntaxError();
}

std::string Lexer::expectName() {
    if (token_.kind != TokenKind::Word && token_.kind != TokenKind::QuotedName)
        syntaxError();
    std::string name(token_.name());
    advance();
    return name;
}

void Lexer::expectStatementEnd() {
    if (isPunct(';')) {
        advance();
        if (token_.kind != TokenKind::End) {
            fail("42601", kNativeAnalysis,
                 "[PARSE_SYNTAX_ERROR] Syntax error at or near '" + printable(token_.text, 40) +
                     "': only one statement can be executed at a time.");
        }
        return;
    }
    if (token_.kind != TokenKind::End)
        syntaxError();
}

const Literal& Lexer::takeParameter() {
    if (!parameters_ || nextParameter_ >= parameters_->size()) {
        fail("07002", kNativeDriver,
             "COUNT field incorrect: no value is bound to parameter marker " +
                 std::to_string(nextParameter_ + 1) + ".");
    }
    return (*parameters_)[nextParameter_++];
}

size_t utf8Length(std::string_view text) {
    size_t n = 0;
    for (unsigned char c : text)
        n += (c & 0xC0) != 0x80;
    return n;
}

// Byte offset of the code point number `count`.
size_t utf8Offset(std::string_view s, size_t count) {
    size_t seen = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
            if (seen == count)
                return i;
            ++seen;
        }
    }
    return s.size();
}

size_t countParameterMarkers(std::string_view sql) {
    size_t count = 0;
    try {
        for (Lexer lexer(sql); lexer.cur().kind != TokenKind::End; lexer.advance())
            count += lexer.isPunct('?') ? 1 : 0;
    } catch (const WarehouseError&) {
        return 0;
    }
    return count;
}

void Lexer::syntaxError() const {
    if (token_.kind == TokenKind::End) {
        fail("42601", kNativeAnalysis,
             "[PARSE_SYNTAX_ERROR] Syntax error at or near end of input.");
    }
    fail("42601", kNativeAnalysis,
         "[PARSE_SYNTAX_ERROR] Syntax error at or near '" + printable(token_.text, 40) +
             "' (position " + std::to_string(token_.begin) + ").");
}

}  // namespace whemu

#pragma once
// Tokens of the Spark SQL dialect as the warehouse reads them.
//
// The lexer walks one statement text and yields one token at a time: bare
// words, `quoted` names (a doubled backtick stands for one), string literals
// with Spark's rules (backslash escapes, r'raw' literals, adjacent literals
// joined into one), numbers with their optional type suffix, and single
// punctuation characters. Comments and white space are skipped. Syntax errors
// are thrown as WarehouseError 42601. The lexer keeps a view of the text: the
// text must outlive it. One lexer serves one thread.

#include <string>
#include <string_view>
#include <vector>

namespace whemu {

struct Literal;

enum class TokenKind { End, Word, QuotedName, String, Number, Punct };

struct Token {
    TokenKind kind = TokenKind::End;
    size_t begin = 0;       // source offset of the first character
    size_t end = 0;         // source offset just past the last character
    std::string_view text;  // source text of the token (all literals of a joined string)
    std::string value;      // decoded string literal or quoted name
    // Numbers only.
    bool hasDot = false;
    bool hasExponent = false;
    char suffix = 0;  // 'L', 'S', 'Y', 'D', 'F', 'B' (for BD) or 0

    // Name of a Word or QuotedName token; empty for others.
    std::string_view name() const {
        return kind == TokenKind::Word
                   ? text
                   : (kind == TokenKind::QuotedName ? std::string_view(value) : std::string_view());
    }
    // Number text without its suffix.
    std::string_view digits() const;
};

class Lexer {
  public:
    explicit Lexer(std::string_view sql);
    Lexer(const Lexer&) = delete;
    Lexer& operator=(const Lexer&) = delete;

    const Token& cur() const { return token_; }
    void advance();

    bool isKeyword(const char* keyword) const;
    bool acceptKeyword(const char* keyword);
    void expectKeyword(const char* keyword);
    bool isPunct(char c) const { return token_.kind == TokenKind::Punct && token_.text[0] == c; }
    bool acceptPunct(char c);
    void expectPunct(char c);
    // A bare word or a `quoted` name.
    std::string expectName();
    // An optional ';' and then nothing but white space and comments.
    void expectStatementEnd();
    [[noreturn]] void syntaxError() const;

    std::string_view source() const { return sql_; }

    // The values bound to the `?` markers of a prepared statement, taken in
    // marker order from index `first`. The vector must outlive the lexer.
    void bindParameters(const std::vector<Literal>* values, size_t first = 0) {
        parameters_ = values;
        nextParameter_ = first;
    }
    const std::vector<Literal>* parameters() const { return parameters_; }
    size_t parametersTaken() const { return nextParameter_; }
    // The value bound to the `?` marker at the lexer's position, which the
    // caller then advances past. Throws 07002 when no value is bound to it.
    const Literal& takeParameter();

  private:
    void skipSpaceAndComments();
    void lexString(size_t start, bool raw);
    void lexStringBody(char quote, bool raw, std::string& out);
    void lexNumber(size_t start);
    bool atStringStart(size_t at, bool* raw) const;

    std::string_view sql_;
    size_t pos_ = 0;
    Token token_;
    const std::vector<Literal>* parameters_ = nullptr;
    size_t nextParameter_ = 0;
};

// The number of `?` parameter markers of a statement (outside literals,
// quoted names and comments); 0 for text the lexer cannot read.
size_t countParameterMarkers(std::string_view sql);

// Appends the UTF-8 encoding of a code point.
void appendUtf8(std::string& out, unsigned long codePoint);

// The number of code points of UTF-8 text (continuation bytes not counted).
size_t utf8Length(std::string_view text);
// The byte offset of code point number `count` (0-based), or the size.
size_t utf8Offset(std::string_view text, size_t count);

// Case-insensitive ASCII comparison.
bool equalsIgnoreCase(std::string_view a, std::string_view b);
std::string toLowerAscii(std::string_view text);

}  // namespace whemu

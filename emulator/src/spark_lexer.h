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

namespace whemu {

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

  private:
    void skipSpaceAndComments();
    void lexString(size_t start, bool raw);
    void lexNumber(size_t start);
    bool atStringStart(size_t at, bool* raw) const;

    std::string_view sql_;
    size_t pos_ = 0;
    Token token_;
};

// Appends the UTF-8 encoding of a code point.
void appendUtf8(std::string& out, unsigned long codePoint);

// Case-insensitive ASCII comparison.
bool equalsIgnoreCase(std::string_view a, std::string_view b);
std::string toLowerAscii(std::string_view text);

}  // namespace whemu

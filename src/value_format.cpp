#include "value_format.h"

#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include <cstdint>
#include <cstring>

#include "text_util.h"

namespace {

// Bytes a literal needs beyond the character itself.
inline size_t escapeExtra(char c) {
    return static_cast<size_t>(c == '\\') + static_cast<size_t>(c == '\'') +
           5 * static_cast<size_t>(c == '\0');
}

// True when one of the eight bytes is a backslash, an apostrophe or a NUL.
inline bool mayNeedEscape(uint64_t word) {
    constexpr uint64_t kOnes = 0x0101010101010101ULL;
    constexpr uint64_t kHighs = 0x8080808080808080ULL;
    const auto hasZeroByte = [](uint64_t w) { return (w - kOnes) & ~w & kHighs; };
    return (hasZeroByte(word) | hasZeroByte(word ^ (kOnes * '\\')) |
            hasZeroByte(word ^ (kOnes * '\''))) != 0;
}

// True when the text is one whole JSON document (any root value).
bool isJsonDocument(const std::string& text) {
    // A raw NUL is never valid JSON, and the reader would take it for the end.
    if (text.empty() || text.find('\0') != std::string::npos)
        return false;
    // Iterative parsing: a value nested a million levels deep must not exhaust
    // the stack.
    rapidjson::MemoryStream stream(text.data(), text.size());
    rapidjson::BaseReaderHandler<> ignore;
    rapidjson::Reader reader;
    return !reader.Parse<rapidjson::kParseIterativeFlag>(stream, ignore).IsError();
}

// Length of the well-formed UTF-8 sequence at text[i] (no overlong forms, no
// surrogates, nothing above U+10FFFF); 0 when there is none.
size_t utf8SequenceAt(const std::string& text, size_t i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80)
        return 1;
    size_t length;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        if (c == 0xE0)
            low = 0xA0;
        else if (c == 0xED)
            high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        if (c == 0xF0)
            low = 0x90;
        else if (c == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    if (i + length > text.size())
        return 0;
    const unsigned char second = static_cast<unsigned char>(text[i + 1]);
    if (second < low || second > high)
        return 0;
    for (size_t k = 2; k < length; ++k) {
        if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
            return 0;
    }
    return length;
}

bool isUtf8(const std::string& text) {
    size_t i = 0;
    while (i < text.size()) {
        // Eight ASCII bytes at a time.
        if (i + 8 <= text.size()) {
            uint64_t word;
            std::memcpy(&word, text.data() + i, sizeof word);
            if ((word & 0x8080808080808080ULL) == 0) {
                i += 8;
                continue;
            }
        }
        const size_t length = utf8SequenceAt(text, i);
        if (length == 0)
            return false;
        i += length;
    }
    return true;
}

// The text with every byte that does not belong to a well-formed UTF-8
// sequence replaced by U+FFFD.
std::string utf8Repaired(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 16);
    size_t i = 0;
    while (i < text.size()) {
        const size_t length = utf8SequenceAt(text, i);
        if (length == 0) {
            out.append("\xEF\xBF\xBD", 3);
            ++i;
        } else {
            out.append(text, i, length);
            i += length;
        }
    }
    return out;
}

// The text as a JSON string value.
std::string jsonStringOf(const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    std::string json;
    json.reserve(text.size() + 2);
    json.push_back('"');
    for (char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        switch (c) {
            case '"':
                json.append("\\\"");
                break;
            case '\\':
                json.append("\\\\");
                break;
            case '\n':
                json.append("\\n");
                break;
            case '\r':
                json.append("\\r");
                break;
            case '\t':
                json.append("\\t");
                break;
            default:
                if (u < 0x20) {
                    json.append("\\u00");
                    json.push_back(kHex[u >> 4]);
                    json.push_back(kHex[u & 0x0F]);
                } else {
                    json.push_back(c);
                }
        }
    }
    json.push_back('"');
    return json;
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Optional sign, digits, optional fraction (a point and digits), optional
// exponent (e or E, optional sign, digits); nothing else.
bool isPlainNumber(const std::string& text) {
    size_t i = 0;
    const size_t n = text.size();
    if (i < n && (text[i] == '+' || text[i] == '-'))
        ++i;
    const size_t intStart = i;
    while (i < n && isDigit(text[i]))
        ++i;
    if (i == intStart)
        return false;
    if (i < n && text[i] == '.') {
        ++i;
        const size_t fracStart = i;
        while (i < n && isDigit(text[i]))
            ++i;
        if (i == fracStart)
            return false;
    }
    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < n && (text[i] == '+' || text[i] == '-'))
            ++i;
        const size_t expStart = i;
        while (i < n && isDigit(text[i]))
            ++i;
        if (i == expStart)
            return false;
    }
    return i == n;
}

bool isKeywordValue(const std::string& text) {
    return equalsIgnoringAsciiCase(text, "null") || equalsIgnoringAsciiCase(text, "true") ||
           equalsIgnoringAsciiCase(text, "false");
}

// Appends the parse_json call that stores `value` in a VARIANT column. The
// warehouse keeps a plain string literal as a string, not as a structured
// value: structured values go through parse_json. A text that is not JSON (a
// text datapoint arriving in a column made for structured values) would fail
// the whole batch in parse_json; it goes in as a JSON string instead, so it
// arrives unchanged. The warehouse reads JSON only as UTF-8: a byte that is
// not (noise from a serial line in a text) would make it refuse the batch on
// every resend, so such bytes become U+FFFD here.
void appendVariant(std::string& out, const std::string& value) {
    std::string repaired;
    const std::string& text = isUtf8(value) ? value : (repaired = utf8Repaired(value));
    out.append("parse_json(");
    appendSparkLiteral(out, isJsonDocument(text) ? text : jsonStringOf(text));
    out.push_back(')');
}

}  // namespace

// Appends the warehouse literal of `value`. A backslash escapes in the
// warehouse's literals, and a doubled apostrophe would be read as two adjacent
// literals: both get a backslash. A NUL byte would end the statement text
// early, so it is written as \u0000 (not \0, which digits after it would turn
// into an octal escape).
void appendSparkLiteral(std::string& out, const std::string& value) {
    const char* data = value.data();
    const size_t length = value.size();
    size_t extra = 0;
    size_t i = 0;
    // Eight bytes at a time while none of them needs an escape.
    for (; i + 8 <= length; i += 8) {
        uint64_t word;
        std::memcpy(&word, data + i, sizeof word);
        if (mayNeedEscape(word)) {
            for (size_t j = i; j < i + 8; ++j)
                extra += escapeExtra(data[j]);
        }
    }
    for (; i < length; ++i)
        extra += escapeExtra(data[i]);

    // The literal is written at its final length, quotes in place.
    const size_t start = out.size();
    out.resize(start + length + extra + 2);
    char* p = &out[start];
    *p++ = '\'';
    if (extra == 0) {
        std::memcpy(p, data, length);
        p += length;
    } else {
        for (i = 0; i < length; ++i) {
            const char c = data[i];
            if (c == '\\' || c == '\'') {
                *p++ = '\\';
                *p++ = c;
            } else if (c == '\0') {
                std::memcpy(p, "\\u0000", 6);
                p += 6;
            } else {
                *p++ = c;
            }
        }
    }
    *p = '\'';
}

void appendSparkValue(std::string& out, const std::string& value, const ColumnType& type) {
    switch (type.kind) {
        case ColumnType::Kind::Variant:
            appendVariant(out, value);
            return;
        case ColumnType::Kind::String:
        case ColumnType::Kind::Varchar:
        case ColumnType::Kind::Timestamp:
        case ColumnType::Kind::Date:
            appendSparkLiteral(out, value);
            return;
        default:
            break;
    }
    if (isPlainNumber(value) || isKeywordValue(value)) {
        out.append(value);
    } else {
        appendSparkLiteral(out, value);
    }
}

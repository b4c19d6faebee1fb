#include "column_type.h"

#include <cctype>
#include <limits>

#include "text_util.h"

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// The leading word of the type in upper case, and where it ends.
std::string leadingWord(const std::string& text, size_t start, size_t* end) {
    std::string word;
    size_t i = start;
    while (i < text.size() &&
           (std::isalnum(static_cast<unsigned char>(text[i])) || text[i] == '_')) {
        word.push_back(upperAsciiCase(text[i]));
        ++i;
    }
    *end = i;
    return word;
}

// Reads "(a)" or "(a,b)" at `i` (blanks allowed); the numbers are left as they
// were when absent or malformed. Returns the position after the closing bracket.
size_t readArguments(const std::string& text, size_t i, int* first, int* second) {
    while (i < text.size() && isBlank(text[i]))
        ++i;
    if (i >= text.size() || text[i] != '(')
        return i;
    int* targets[2] = {first, second};
    for (int k = 0; k < 2 && i < text.size() && text[i] != ')'; ++k) {
        ++i;  // '(' or ','
        while (i < text.size() && isBlank(text[i]))
            ++i;
        long value = 0;
        bool digits = false;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            if (value < 1000000)
                value = value * 10 + (text[i] - '0');
            digits = true;
            ++i;
        }
        while (i < text.size() && isBlank(text[i]))
            ++i;
        if (digits && targets[k])
            *targets[k] = static_cast<int>(value);
    }
    while (i < text.size() && text[i] != ')')
        ++i;
    return i < text.size() ? i + 1 : i;
}

bool endsWithNotNull(const std::string& text) {
    static const char kNotNull[] = "NOT NULL";
    size_t end = text.size();
    while (end > 0 && isBlank(text[end - 1]))
        --end;
    const size_t length = sizeof(kNotNull) - 1;
    if (end < length)
        return false;
    for (size_t i = 0; i < length; ++i) {
        if (upperAsciiCase(text[end - length + i]) != kNotNull[i])
            return false;
    }
    return end == length || isBlank(text[end - length - 1]);
}

struct Name {
    const char* word;
    ColumnType::Kind kind;
};

const Name kNames[] = {
    {"TINYINT", ColumnType::Kind::TinyInt},
    {"BYTE", ColumnType::Kind::TinyInt},
    {"SMALLINT", ColumnType::Kind::SmallInt},
    {"SHORT", ColumnType::Kind::SmallInt},
    {"INT", ColumnType::Kind::Int},
    {"INTEGER", ColumnType::Kind::Int},
    {"BIGINT", ColumnType::Kind::BigInt},
    {"LONG", ColumnType::Kind::BigInt},
    {"FLOAT", ColumnType::Kind::Float},
    {"REAL", ColumnType::Kind::Float},
    {"DOUBLE", ColumnType::Kind::Double},
    {"DECIMAL", ColumnType::Kind::Decimal},
    {"DEC", ColumnType::Kind::Decimal},
    {"NUMERIC", ColumnType::Kind::Decimal},
    {"BOOLEAN", ColumnType::Kind::Boolean},
    {"STRING", ColumnType::Kind::String},
    {"TEXT", ColumnType::Kind::String},
    {"VARCHAR", ColumnType::Kind::Varchar},
    {"CHAR", ColumnType::Kind::Varchar},
    {"TIMESTAMP", ColumnType::Kind::Timestamp},
    {"TIMESTAMP_NTZ", ColumnType::Kind::Timestamp},
    {"TIMESTAMP_LTZ", ColumnType::Kind::Timestamp},
    {"DATE", ColumnType::Kind::Date},
    {"VARIANT", ColumnType::Kind::Variant},
};

}  // namespace

ColumnType ColumnType::parse(const std::string& text) {
    ColumnType type;
    size_t start = 0;
    while (start < text.size() && isBlank(text[start]))
        ++start;
    size_t end = start;
    const std::string word = leadingWord(text, start, &end);
    for (const Name& name : kNames) {
        if (word == name.word) {
            type.kind = name.kind;
            break;
        }
    }
    // A parameterised type followed by something other than its arguments
    // ("VARCHAR<...>") is not one the plugin knows.
    if (end < text.size() && text[end] == '<')
        type.kind = Kind::Unknown;
    if (type.kind == Kind::Varchar) {
        // CHAR without a length holds one character; a VARCHAR whose length
        // was not reported has no known bound (0).
        type.length = word == "CHAR" ? 1 : 0;
        readArguments(text, end, &type.length, nullptr);
    } else if (type.kind == Kind::Decimal) {
        type.length = 10;  // the warehouse's default DECIMAL is DECIMAL(10,0)
        readArguments(text, end, &type.length, &type.scale);
    }
    type.notNull = endsWithNotNull(text);
    return type;
}

int64_t ColumnType::integerMin() const {
    switch (kind) {
        case Kind::TinyInt:
            return std::numeric_limits<int8_t>::min();
        case Kind::SmallInt:
            return std::numeric_limits<int16_t>::min();
        case Kind::Int:
            return std::numeric_limits<int32_t>::min();
        case Kind::BigInt:
            return std::numeric_limits<int64_t>::min();
        default:
            return 0;
    }
}

int64_t ColumnType::integerMax() const {
    switch (kind) {
        case Kind::TinyInt:
            return std::numeric_limits<int8_t>::max();
        case Kind::SmallInt:
            return std::numeric_limits<int16_t>::max();
        case Kind::Int:
            return std::numeric_limits<int32_t>::max();
        case Kind::BigInt:
            return std::numeric_limits<int64_t>::max();
        default:
            return 0;
    }
}

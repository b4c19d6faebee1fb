// Fuzz target: value formatting and escaping of the Databricks dialect.
//
// Input: one value text. For every column type the plugin writes or reads
// back, the formatted value is read with the warehouse emulator's own lexer
// (Spark's literal rules) and must be exactly one value that reads back as
// the original:
//   - text and timestamp columns: one string literal whose decoded text is
//     the value, byte for byte;
//   - VARIANT columns: parse_json(<string literal>) whose decoded text the
//     warehouse accepts as JSON, and which is the value when the value is
//     JSON (an object that repeats a key keeping its last value), else a
//     JSON string holding the value (bytes that are not UTF-8 replaced by
//     U+FFFD in both cases);
//   - other columns: the value unchanged when it is a plain number or one of
//     null, true, false; otherwise a string literal as above.
// escapeString alone must also read back as the value.

#include <rapidjson/document.h>

#include <string>

#include "databricks_sql_builder.h"
#include "diagnostics.h"
#include "fuzz_support.h"
#include "json_text.h"
#include "spark_lexer.h"
#include "warehouse_types.h"

namespace {

// One string literal and nothing else; its decoded text.
bool readsAsOneString(const std::string& sql, std::string& decoded) {
    whemu::Lexer lexer(sql);
    if (lexer.cur().kind != whemu::TokenKind::String)
        return false;
    decoded = lexer.cur().value;
    lexer.advance();
    return lexer.cur().kind == whemu::TokenKind::End;
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Optional sign, digits, optional .digits, optional exponent.
bool plainNumber(const std::string& t) {
    size_t i = 0;
    if (i < t.size() && (t[i] == '+' || t[i] == '-'))
        ++i;
    size_t start = i;
    while (i < t.size() && isDigit(t[i]))
        ++i;
    if (i == start)
        return false;
    if (i < t.size() && t[i] == '.') {
        start = ++i;
        while (i < t.size() && isDigit(t[i]))
            ++i;
        if (i == start)
            return false;
    }
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        if (i < t.size() && (t[i] == '+' || t[i] == '-'))
            ++i;
        start = i;
        while (i < t.size() && isDigit(t[i]))
            ++i;
        if (i == start)
            return false;
    }
    return i == t.size();
}

bool keyword(const std::string& t) {
    const std::string lower = fuzzsupport::lowerAscii(t);
    return lower == "null" || lower == "true" || lower == "false";
}

// The value written unquoted lexes as one number (with its sign) or one word.
bool readsAsItself(const std::string& value) {
    whemu::Lexer lexer(value);
    if (keyword(value)) {
        if (lexer.cur().kind != whemu::TokenKind::Word)
            return false;
    } else {
        if (lexer.isPunct('-') || lexer.isPunct('+'))
            lexer.advance();
        if (lexer.cur().kind != whemu::TokenKind::Number)
            return false;
    }
    lexer.advance();
    return lexer.cur().kind == whemu::TokenKind::End;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::quietLogger();
    static DatabricksSQLBuilder builder;
    const std::string value(reinterpret_cast<const char*>(data), size);

    try {
        std::string decoded;
        FUZZ_CHECK(readsAsOneString(builder.escapeString(value), decoded),
                   "escapeString is not one literal");
        FUZZ_CHECK(decoded == value, "escapeString does not read back");

        for (const char* type : {"VARCHAR(256)", "VARCHAR(256) NOT NULL", "STRING", "TIMESTAMP",
                                 "string", "varchar(10)"}) {
            FUZZ_CHECK(readsAsOneString(builder.formatValue(value, type), decoded),
                       "text value is not one literal");
            FUZZ_CHECK(decoded == value, "text value does not read back");
        }

        for (const char* type : {"VARIANT", "variant"}) {
            const std::string sql = builder.formatValue(value, type);
            whemu::Lexer lexer(sql);
            FUZZ_CHECK(lexer.cur().kind == whemu::TokenKind::Word &&
                           whemu::equalsIgnoreCase(lexer.cur().text, "parse_json"),
                       "variant value without parse_json");
            lexer.advance();
            FUZZ_CHECK(lexer.isPunct('('), "parse_json without (");
            lexer.advance();
            FUZZ_CHECK(lexer.cur().kind == whemu::TokenKind::String, "parse_json of no string");
            const std::string json = lexer.cur().value;
            lexer.advance();
            FUZZ_CHECK(lexer.isPunct(')'), "parse_json without )");
            lexer.advance();
            FUZZ_CHECK(lexer.cur().kind == whemu::TokenKind::End, "text after parse_json");
            try {
                whemu::checkedJson(json);
            } catch (const whemu::WarehouseError& e) {
                std::fprintf(stderr, "%s\n", e.what());
                FUZZ_CHECK(false, "parse_json would refuse the variant value");
            }
            const std::string text = fuzzsupport::utf8Repaired(value);
            std::string unique;
            if (uniqueKeyJson(text, &unique)) {
                // A JSON document goes in as it is; one that repeats a key
                // keeps the last value of each repeated key.
                FUZZ_CHECK(json == unique, "JSON value changed");
                FUZZ_CHECK(jsonHasDuplicateKeys(text) || json == text, "JSON value rewritten");
            } else {
                rapidjson::Document document;
                document.Parse(json.c_str(), json.size());
                FUZZ_CHECK(!document.HasParseError() && document.IsString(),
                           "text in a variant column is not a JSON string");
                FUZZ_CHECK(std::string(document.GetString(), document.GetStringLength()) == text,
                           "JSON string does not hold the value");
            }
        }

        for (const char* type : {"BIGINT", "DOUBLE", "", "BOOLEAN", "DECIMAL(10,2)"}) {
            const std::string sql = builder.formatValue(value, type);
            if (sql == value && (plainNumber(value) || keyword(value))) {
                FUZZ_CHECK(readsAsItself(value), "unquoted value does not lex as itself");
            } else {
                FUZZ_CHECK(readsAsOneString(sql, decoded), "quoted value is not one literal");
                FUZZ_CHECK(decoded == value, "quoted value does not read back");
            }
        }
    } catch (const whemu::WarehouseError& e) {
        std::fprintf(stderr, "lexer refused a literal: %s\n", e.what());
        FUZZ_CHECK(false, "a literal the warehouse cannot read");
    }
    return 0;
}

#include "statement_analysis.h"

#include <cstdio>
#include <vector>

#include "storage.h"

namespace whemu {

namespace {

constexpr size_t kMaxTableNameLength = 255;

std::string describeCharacter(unsigned char c) {
    char code[16];
    std::snprintf(code, sizeof code, "U+%04X", c);
    if (c < 0x20 || c == 0x7f)
        return std::string("the control character ") + code;
    return std::string("the character '") + static_cast<char>(c) + "' (" + code + ")";
}

}  // namespace

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

}  // namespace whemu

// The warehouse's column types by name: parsing a type, its canonical text,
// data_type, full_data_type, SQLite storage type, and the ODBC SQL type
// clients see.

#include <sql.h>
#include <sqlext.h>

#include <cfloat>
#include <charconv>
#include <cmath>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "diagnostics.h"
#include "spark_lexer.h"
#include "warehouse_types.h"

namespace whemu {

namespace {

// ---- types ----------------------------------------------------------------

long typeParameter(Lexer& lexer) {
    const Token& t = lexer.cur();
    if (t.kind != TokenKind::Number || t.hasDot || t.hasExponent || t.suffix != 0 ||
        t.text.size() > 10) {
        lexer.syntaxError();
    }
    long value = 0;
    std::from_chars(t.text.data(), t.text.data() + t.text.size(), value);
    lexer.advance();
    return value;
}

}  // namespace

// ---- WarehouseType ---------------------------------------------------------------

std::string WarehouseType::text() const {
    switch (kind) {
        case TypeKind::BigInt:
            return "BIGINT";
        case TypeKind::Int:
            return "INT";
        case TypeKind::SmallInt:
            return "SMALLINT";
        case TypeKind::TinyInt:
            return "TINYINT";
        case TypeKind::Double:
            return "DOUBLE";
        case TypeKind::Float:
            return "FLOAT";
        case TypeKind::Boolean:
            return "BOOLEAN";
        case TypeKind::Date:
            return "DATE";
        case TypeKind::Decimal:
            return "DECIMAL(" + std::to_string(precision) + "," + std::to_string(scale) + ")";
        case TypeKind::Timestamp:
            return "TIMESTAMP";
        case TypeKind::String:
            return "STRING";
        case TypeKind::Varchar:
            return "VARCHAR(" + std::to_string(length) + ")";
        case TypeKind::Variant:
            return "VARIANT";
    }
    return "STRING";
}

const char* WarehouseType::dataType() const {
    switch (kind) {
        case TypeKind::BigInt:
            return "LONG";
        case TypeKind::Int:
            return "INT";
        case TypeKind::SmallInt:
            return "SHORT";
        case TypeKind::TinyInt:
            return "BYTE";
        case TypeKind::Double:
            return "DOUBLE";
        case TypeKind::Float:
            return "FLOAT";
        case TypeKind::Boolean:
            return "BOOLEAN";
        case TypeKind::Date:
            return "DATE";
        case TypeKind::Decimal:
            return "DECIMAL";
        case TypeKind::Timestamp:
            return "TIMESTAMP";
        case TypeKind::String:
        case TypeKind::Varchar:
            return "STRING";
        case TypeKind::Variant:
            return "VARIANT";
    }
    return "STRING";
}

std::string WarehouseType::fullDataType() const {
    return toLowerAscii(text());
}

const char* WarehouseType::storageType() const {
    switch (kind) {
        case TypeKind::BigInt:
        case TypeKind::Int:
        case TypeKind::SmallInt:
        case TypeKind::TinyInt:
            return "INTEGER";
        case TypeKind::Boolean:
            return "BOOLINT";  // INTEGER affinity, printed as true/false
        case TypeKind::Double:
            return "REAL";
        case TypeKind::Float:
            return "FLOAT";  // REAL affinity, printed as a float
        default:
            return "TEXT";
    }
}

namespace {

// The type named by `word` (lower case), without its parameters; false when
// the emulator does not know the name.
bool typeKindOf(const std::string& word, WarehouseType& type) {
    static const std::pair<const char*, TypeKind> kNames[] = {
        {"bigint", TypeKind::BigInt},
        {"long", TypeKind::BigInt},
        {"int", TypeKind::Int},
        {"integer", TypeKind::Int},
        {"smallint", TypeKind::SmallInt},
        {"short", TypeKind::SmallInt},
        {"tinyint", TypeKind::TinyInt},
        {"byte", TypeKind::TinyInt},
        {"double", TypeKind::Double},
        {"float", TypeKind::Float},
        {"real", TypeKind::Float},
        {"boolean", TypeKind::Boolean},
        {"date", TypeKind::Date},
        {"decimal", TypeKind::Decimal},
        {"dec", TypeKind::Decimal},
        {"numeric", TypeKind::Decimal},
        {"timestamp", TypeKind::Timestamp},
        {"timestamp_ltz", TypeKind::Timestamp},
        {"string", TypeKind::String},
        {"varchar", TypeKind::Varchar},
        {"variant", TypeKind::Variant}};
    for (const auto& [name, kind] : kNames) {
        if (word == name) {
            type.kind = kind;
            if (kind == TypeKind::Decimal)
                type.precision = 10;
            return true;
        }
    }
    return false;
}

// VARCHAR's required (n), the lexer after VARCHAR.
void readVarcharLength(Lexer& lexer, WarehouseType& type) {
    if (!lexer.acceptPunct('(')) {
        fail("42601", kNativeAnalysis,
             "[DATATYPE_MISSING_SIZE] DataType \"VARCHAR\" requires a length parameter, for "
             "example \"VARCHAR(10)\".");
    }
    type.length = typeParameter(lexer);
    lexer.expectPunct(')');
    if (type.length < 1 || type.length > 2147483647L) {
        fail("42601", kNativeAnalysis,
             "[INVALID_VARCHAR_LENGTH] VARCHAR length " + std::to_string(type.length) +
                 " is out of range.");
    }
}

// DECIMAL's (p[,s]), the lexer after its '('.
void readDecimalParameters(Lexer& lexer, WarehouseType& type) {
    const long precision = typeParameter(lexer);
    long scale = 0;
    if (lexer.acceptPunct(','))
        scale = typeParameter(lexer);
    lexer.expectPunct(')');
    if (precision < 1 || precision > 38 || scale > precision) {
        fail("22003", kNativeAnalysis,
             "[DECIMAL_PRECISION_EXCEEDS_MAX_PRECISION] DECIMAL(" + std::to_string(precision) +
                 "," + std::to_string(scale) +
                 ") is not valid: precision must be 1 to 38 and scale at most the precision.");
    }
    type.precision = static_cast<int>(precision);
    type.scale = static_cast<int>(scale);
}

}  // namespace

WarehouseType parseType(Lexer& lexer) {
    const Token& t = lexer.cur();
    if (t.kind != TokenKind::Word)
        lexer.syntaxError();
    WarehouseType type;
    if (!typeKindOf(toLowerAscii(t.text), type)) {
        fail("0A000", kNativeAnalysis,
             "[UNSUPPORTED_DATATYPE] Unsupported data type \"" + printable(t.text) +
                 "\" (the emulator knows BIGINT, INT, SMALLINT, TINYINT, DOUBLE, FLOAT, BOOLEAN, "
                 "DATE, DECIMAL, TIMESTAMP, STRING, VARCHAR and VARIANT).");
    }
    lexer.advance();
    if (type.kind == TypeKind::Varchar)
        readVarcharLength(lexer, type);
    else if (type.kind == TypeKind::Decimal && lexer.acceptPunct('('))
        readDecimalParameters(lexer, type);
    return type;
}

WarehouseType parseTypeText(std::string_view text) {
    Lexer lexer(text);
    WarehouseType type = parseType(lexer);
    lexer.expectStatementEnd();
    return type;
}

int sqlTypeOf(const WarehouseType& type, long& columnSize, int& decimalDigits) {
    decimalDigits = 0;
    switch (type.kind) {
        case TypeKind::BigInt:
            columnSize = 19;
            return SQL_BIGINT;
        case TypeKind::Int:
            columnSize = 10;
            return SQL_INTEGER;
        case TypeKind::SmallInt:
            columnSize = 5;
            return SQL_SMALLINT;
        case TypeKind::TinyInt:
            columnSize = 3;
            return SQL_TINYINT;
        case TypeKind::Double:
            columnSize = 15;
            return SQL_DOUBLE;
        case TypeKind::Float:
            columnSize = 7;
            return SQL_REAL;
        case TypeKind::Boolean:
            columnSize = 1;
            return SQL_BIT;
        case TypeKind::Date:
            columnSize = 10;
            return SQL_TYPE_DATE;
        case TypeKind::Decimal:
            columnSize = type.precision;
            decimalDigits = type.scale;
            return SQL_DECIMAL;
        case TypeKind::Timestamp:
            columnSize = 26;
            decimalDigits = 6;
            return SQL_TYPE_TIMESTAMP;
        case TypeKind::Varchar:
            columnSize = type.length;
            return SQL_VARCHAR;
        case TypeKind::String:
        case TypeKind::Variant:
            break;
    }
    columnSize = 255;  // what the vendor driver reports for STRING by default
    return SQL_VARCHAR;
}

bool isNonFiniteSpelling(std::string_view text) {
    return text == "NaN" || text == "Infinity" || text == "-Infinity";
}

}  // namespace whemu

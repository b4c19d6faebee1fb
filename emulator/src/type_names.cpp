// The warehouse's column types by name: parsing a type, its canonical text,
// data_type, full_data_type, SQLite storage type, and the ODBC SQL type
// clients see.

#include <sql.h>
#include <sqlext.h>

#include <cfloat>
#include <charconv>
#include <cmath>
#include <iterator>
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

// ---- WarehouseType ---------------------------------------------------------

namespace {

// What the warehouse, its catalog, its storage and its ODBC driver say of each
// kind of type, in TypeKind order. DECIMAL and VARCHAR add their parameters to
// the name and take their column size from them.
struct KindTraits {
    TypeKind kind;
    const char* name;      // the canonical text without parameters
    const char* dataType;  // information_schema.columns.data_type
    const char* storage;   // the declared SQLite type
    int sqlType;           // what a client sees
    long columnSize;       // as SQLDescribeCol reports it
    int decimalDigits;
};

constexpr KindTraits kKinds[] = {
    {TypeKind::BigInt, "BIGINT", "LONG", "INTEGER", SQL_BIGINT, 19, 0},
    {TypeKind::Int, "INT", "INT", "INTEGER", SQL_INTEGER, 10, 0},
    {TypeKind::SmallInt, "SMALLINT", "SHORT", "INTEGER", SQL_SMALLINT, 5, 0},
    {TypeKind::TinyInt, "TINYINT", "BYTE", "INTEGER", SQL_TINYINT, 3, 0},
    {TypeKind::Double, "DOUBLE", "DOUBLE", "REAL", SQL_DOUBLE, 15, 0},
    // REAL affinity, printed as a float.
    {TypeKind::Float, "FLOAT", "FLOAT", "FLOAT", SQL_REAL, 7, 0},
    // INTEGER affinity, printed as true/false.
    {TypeKind::Boolean, "BOOLEAN", "BOOLEAN", "BOOLINT", SQL_BIT, 1, 0},
    {TypeKind::Date, "DATE", "DATE", "TEXT", SQL_TYPE_DATE, 10, 0},
    {TypeKind::Decimal, "DECIMAL", "DECIMAL", "TEXT", SQL_DECIMAL, 0, 0},
    {TypeKind::Timestamp, "TIMESTAMP", "TIMESTAMP", "TEXT", SQL_TYPE_TIMESTAMP, 26, 6},
    // 255: what the vendor driver reports for STRING by default.
    {TypeKind::String, "STRING", "STRING", "TEXT", SQL_VARCHAR, 255, 0},
    {TypeKind::Varchar, "VARCHAR", "STRING", "TEXT", SQL_VARCHAR, 0, 0},
    {TypeKind::Variant, "VARIANT", "VARIANT", "TEXT", SQL_VARCHAR, 255, 0}};

constexpr bool inKindOrder() {
    for (size_t i = 0; i < std::size(kKinds); ++i) {
        if (static_cast<size_t>(kKinds[i].kind) != i)
            return false;
    }
    return std::size(kKinds) == static_cast<size_t>(TypeKind::Variant) + 1;
}
static_assert(inKindOrder(), "kKinds holds every TypeKind once, in order");

const KindTraits& traitsOf(TypeKind kind) {
    return kKinds[static_cast<size_t>(kind)];
}

}  // namespace

const char* WarehouseType::name() const {
    return traitsOf(kind).name;
}

std::string WarehouseType::text() const {
    if (kind == TypeKind::Decimal)
        return "DECIMAL(" + std::to_string(precision) + "," + std::to_string(scale) + ")";
    if (kind == TypeKind::Varchar)
        return "VARCHAR(" + std::to_string(length) + ")";
    return name();
}

const char* WarehouseType::dataType() const {
    return traitsOf(kind).dataType;
}

std::string WarehouseType::fullDataType() const {
    return toLowerAscii(text());
}

const char* WarehouseType::storageType() const {
    return traitsOf(kind).storage;
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
    const KindTraits& traits = traitsOf(type.kind);
    columnSize = traits.columnSize;
    decimalDigits = traits.decimalDigits;
    if (type.kind == TypeKind::Decimal) {
        columnSize = type.precision;
        decimalDigits = type.scale;
    } else if (type.kind == TypeKind::Varchar) {
        columnSize = type.length;
    }
    return traits.sqlType;
}

bool isNonFiniteSpelling(std::string_view text) {
    return text == "NaN" || text == "Infinity" || text == "-Infinity";
}

}  // namespace whemu

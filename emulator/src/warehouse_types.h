#pragma once
// The warehouse's column types and how it turns a literal of an INSERT into
// the value a column stores.
//
// SQLite never sees the warehouse's type names as column types (its affinity
// rules would read STRING as INTEGER): each WarehouseType names the SQLite
// storage type it maps to, and the emulator's catalog keeps the warehouse type.
// Conversions follow the warehouse's ANSI rules and throw WarehouseError with
// the warehouse's SQLSTATE when a value is refused. Plain values; no sharing.

#include <cstdint>
#include <string>
#include <string_view>

#include "calendar.h"

namespace whemu {

class Lexer;

enum class TypeKind {
    BigInt,
    Int,
    SmallInt,
    TinyInt,
    Double,
    Float,
    Boolean,
    Date,
    Decimal,
    Timestamp,
    String,
    Varchar,
    Variant
};

struct WarehouseType {
    TypeKind kind = TypeKind::String;
    long length = 0;    // VARCHAR(n)
    int precision = 0;  // DECIMAL(p,s)
    int scale = 0;

    // Canonical text: BIGINT, VARCHAR(256), DECIMAL(10,2).
    std::string text() const;
    // The canonical text without parameters: BIGINT, VARCHAR, DECIMAL.
    const char* name() const;
    // data_type as information_schema.columns reports it: LONG, STRING, ...
    const char* dataType() const;
    // full_data_type: the canonical text in lower case.
    std::string fullDataType() const;
    // Declared SQLite type of the storage column.
    const char* storageType() const;
};

// The ODBC SQL type a client sees for a column of `type` (SQL_BIGINT,
// SQL_TYPE_TIMESTAMP, SQL_DECIMAL, SQL_VARCHAR for STRING and VARIANT, ...),
// with its column size and decimal digits as SQLDescribeCol reports them.
int sqlTypeOf(const WarehouseType& type, long& columnSize, int& decimalDigits);

// Returns true iff `text` is NaN, Infinity or -Infinity as the warehouse
// prints a non-finite double.
bool isNonFiniteSpelling(std::string_view text);

// Reads a type at the lexer's position (BIGINT, VARCHAR(10), DECIMAL(5,2), ...).
// Throws 42601 for a malformed type and 0A000 for one the emulator lacks.
WarehouseType parseType(Lexer& lexer);
// Reads the canonical text kept in the catalog.
WarehouseType parseTypeText(std::string_view text);

struct Column {
    std::string name;
    WarehouseType type;
    bool nullable = true;
};

// A value as it appears in a VALUES list.
struct Literal {
    enum Kind { Null, Integer, Decimal, Double, Float, String, Boolean, Json, Timestamp, Date };
    Kind kind = Null;
    // Digits with sign, string value, JSON text, timestamp or date text; a
    // Double or Float made by CAST may also be NaN, Infinity or -Infinity.
    std::string text;
    bool boolean = false;
    int scale = 0;  // digits after the point of a Decimal
};

// What goes into the SQLite column.
struct Stored {
    enum Tag { Null, Int, Real, Text };
    Tag tag = Null;
    int64_t i = 0;
    double d = 0;
    std::string s;
};

// Converts `literal` for `column` of `table` as the warehouse's INSERT does.
void storeValue(const Literal& literal, const Column& column, std::string_view table, Stored& out);

// CAST(operand AS DOUBLE|FLOAT) of a string or number literal: the value as a
// literal text (NaN, Infinity and -Infinity spelled so). Throws 22018 for a
// string that is no number.
std::string castToDouble(const Literal& operand, const WarehouseType& type);

// Checks `json` as parse_json does and returns it without insignificant
// white space. Throws 22023: not one JSON value, an object with a key twice,
// or more than 16 MiB.
std::string checkedJson(std::string_view json);

// Doubles and floats as the warehouse prints them: 21.5, 3.0, 1.0E20, NaN,
// Infinity, -Infinity.
std::string formatDouble(double value);
std::string formatFloat(float value);

}  // namespace whemu

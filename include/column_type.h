#pragma once
// ColumnType: the type of one warehouse column, parsed once.
//
// A column's type reaches the plugin as text: the warehouse's information
// schema ("bigint", "varchar(300)", "decimal(10,2)") or the column definition
// the plugin wrote itself ("VARCHAR(256) NOT NULL"). It is parsed into this
// small value when the column is learned or created, and everything that
// decides how a value is written into the column switches on `kind`.
// A plain value type: copy it freely, from any thread.

#include <cstdint>
#include <string>

struct ColumnType {
    enum class Kind : uint8_t {
        Unknown,  // a type the plugin does not know (ARRAY, MAP, BINARY, ...)
        TinyInt,
        SmallInt,
        Int,
        BigInt,
        Float,
        Double,
        Decimal,
        Boolean,
        String,
        Varchar,  // VARCHAR(n) and CHAR(n): text of at most `length` characters
        Timestamp,
        Date,
        Variant,
    };

    Kind kind = Kind::Unknown;
    // VARCHAR(n)/CHAR(n): n; DECIMAL(p,s): p. 0 otherwise.
    int length = 0;
    // DECIMAL(p,s): s. 0 otherwise.
    int scale = 0;
    bool notNull = false;

    // Reads a type text, ignoring letter case, surrounding blanks and any
    // constraint text after the type (a trailing "NOT NULL" sets notNull).
    // Never fails: a text it does not know gives Kind::Unknown.
    static ColumnType parse(const std::string& text);

    // Returns true iff values of the column are whole numbers.
    bool isInteger() const {
        return kind == Kind::TinyInt || kind == Kind::SmallInt || kind == Kind::Int ||
               kind == Kind::BigInt;
    }
    // Returns true iff the column holds text (STRING, VARCHAR, CHAR).
    bool isText() const { return kind == Kind::String || kind == Kind::Varchar; }
    // The smallest and largest value of an integer kind (0 for other kinds).
    int64_t integerMin() const;
    int64_t integerMax() const;

    bool operator==(const ColumnType& other) const {
        return kind == other.kind && length == other.length && scale == other.scale &&
               notNull == other.notNull;
    }
    bool operator!=(const ColumnType& other) const { return !(*this == other); }
};

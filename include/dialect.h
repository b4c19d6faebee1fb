#pragma once
// Dialect: every text rule of Databricks SQL (Spark SQL) that the plugin
// writes.
//
// Identifiers (backticks, a backtick inside a name doubled), string literals
// (apostrophes and backslashes escaped), how a value of each kind is written
// into a column of each type and whether it fits there (value_format.h), the
// type names of new columns and of types read back from the warehouse, the
// names the warehouse accepts, and the texts of CREATE TABLE, ALTER TABLE,
// the information-schema column queries, and the text around the rows of an
// INSERT or an insert-only MERGE (a StatementShape, which a StatementBuffer
// fills with rows).
// A Dialect has no state at all: it is immutable, so one instance may be
// shared by any number of threads. Dialect::databricks() is the one the
// plugin uses.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "column_type.h"
#include "database_record.h"
#include "statement_buffer.h"
#include "value_format.h"

// What the information-schema column queries ask for beside column_name and
// data_type, from the most to the least: (column_name, data_type,
// is_nullable, full_data_type), else (column_name, data_type, is_nullable,
// character_maximum_length, numeric_precision, numeric_scale), else a prefix
// of those.
enum class SchemaQueryDetail : uint8_t {
    Plain,        // column_name, data_type
    Nullability,  // ... and is_nullable
    Bounds,       // ... and the bounds of a type: the length of a text, the digits of a number
    Full,         // ... and full_data_type (no bounds), the type with its parameters
};

// How a column of an insert-only MERGE matches the table's rows.
enum class ColumnMatch : uint8_t {
    Equal,   // null-safe equality of the values
    AsJson,  // null-safe equality of to_json of the values (VARIANT)
    Ignore,  // not compared
};

// The timestamps of a MERGE's rows in one column, from the lowest to the
// highest (texts a TIMESTAMP column takes), and whether a row has none (NULL).
// A MERGE bounded by it reads only the part of the table where a row can
// match, which the warehouse finds from its files' statistics.
struct TimeRange {
    std::string column;  // empty: no bound
    std::string lowest;
    std::string highest;
    bool anyNull = false;
};

class Dialect {
  public:
    using ColumnDefinitions = std::vector<std::pair<std::string, std::string>>;

    // The dialect the plugin writes.
    static const Dialect& databricks();

    // Appends the quoted identifier: a backtick, the name with every backtick
    // doubled, a backtick.
    void appendIdentifier(std::string& out, const std::string& name) const;
    std::string quoteIdentifier(const std::string& name) const;
    // The text as a string literal.
    std::string literal(const std::string& text) const;
    // Appends `value` as written into a column of `type` (no fitting check).
    void appendValue(std::string& out, const std::string& value, const ColumnType& type) const {
        appendSparkValue(out, value, type);
    }
    // Whether a value of `kind` fits a column of `column`, and how it is
    // written when it fits.
    ValueFit fitValue(const std::string& value, ValueKind kind, const ColumnType& column) const {
        return ::fitValue(value, kind, column);
    }
    void appendFittedValue(std::string& out, const std::string& value, ValueKind kind,
                           const ColumnType& column, ValueFit fit) const {
        ::appendFittedValue(out, value, kind, column, fit);
    }
    // As appendFittedValue, with the literal typed as the column where the
    // warehouse would otherwise compare it as text: TIMESTAMP '...' for a
    // time written into a TIMESTAMP column. For rows compared by a set
    // operation (catchUpShape), which compares values of a common type.
    void appendTypedValue(std::string& out, const std::string& value, ValueKind kind,
                          const ColumnType& column, ValueFit fit) const;

    // The type of a new column for values of `kind`.
    std::string columnTypeFor(ValueKind kind) const;
    // One of the dialect's own type names for a type read back from the
    // warehouse, or the empty text for a type it does not know.
    std::string normalizeColumnType(const std::string& type) const;
    std::string stringType() const;
    std::string timestampType() const;
    // The suffix of the constraint flags: " NOT NULL", " PRIMARY KEY", " UNIQUE".
    std::string constraintText(ColumnConstraint constraint) const;
    // The name under which the warehouse can hold a table / column of the
    // given name: characters it refuses become '_', cut to 255 bytes.
    std::string tableNameFor(const std::string& name) const;
    std::string columnNameFor(const std::string& name) const;
    // The datapoint that routes a reading to another table.
    std::string hintName() const;

    std::string createTable(const std::string& table, const ColumnDefinitions& columns) const;
    std::string alterTable(const std::string& table, const std::string& column,
                           const std::string& definition) const;
    // The columns of one table: rows of (column_name, data_type[,
    // is_nullable[, full_data_type]]) in table order; names lower-cased.
    std::string columnsQuery(const std::string& schema, const std::string& table,
                             SchemaQueryDetail detail) const;
    // The columns of several tables: rows of (table_name, column_name, ...)
    // ordered by table and column position.
    std::string columnsQuery(const std::string& schema, const std::vector<std::string>& tables,
                             SchemaQueryDetail detail) const;
    // "INSERT INTO `t` (`a`, `b`) VALUES " and nothing after the rows.
    StatementShape insertShape(const std::string& table,
                               const std::vector<std::string>& columns) const;
    // An insert-only MERGE that skips a row when the table holds one that
    // matches it in every compared column (`match` has one entry per column;
    // missing entries compare equal), in its shortest form: the source named
    // by the table's column names, INSERT *. With a `range`, only the table's
    // rows within it are compared.
    StatementShape mergeShape(const std::string& table, const std::vector<std::string>& columns,
                              const std::vector<ColumnMatch>& match,
                              const TimeRange& range = TimeRange()) const;
    // An INSERT of only the rows the table does not hold yet, copy for copy,
    // whatever the number of columns: "INSERT INTO `t` SELECT * FROM (VALUES
    // <rows>) AS s EXCEPT ALL SELECT * FROM `t` AS t [WHERE <range>]". The
    // rows carry a value for every column of the table, in table order,
    // typed as appendTypedValue writes them. No column can be a VARIANT,
    // which a set operation cannot compare.
    StatementShape catchUpShape(const std::string& table, const TimeRange& range) const;

  private:
    // Appends the condition that a table row's column lies within `range`.
    void appendTimeRange(std::string& on, const TimeRange& range) const;
};

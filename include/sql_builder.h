#pragma once
// SQLBuilder: the SQL builder the connector's parts are handed.
//
// A thin façade: the abstract builder writes the generic statement shapes
// (CREATE TABLE, ALTER TABLE ... ADD COLUMN, INSERT, multi-row INSERT, the
// information-schema column query) and the generic value, type and constraint
// rules, with the texts shared with Dialect (statement_text.h); a dialect
// subclass hands its rules to a Dialect (DatabricksSQLBuilder).
// Identifiers are written only by appendIdentifier (closing quote doubled) and
// string literals only by escapeString. A column's type is chosen from the
// kind of its values (columnTypeFor) only there: toSQLTypeString,
// getStringType and getTimestampType name the same types.
// The builder owns its INSERT state (table, columns, rows in a
// StatementBuffer) and nothing else; buildInsert and buildBulkInsert write
// that state and never change it. Writing a batch does not use this state:
// each table of a batch has a buffer of its own (TableWriter).
// Not thread-safe: one thread sets the INSERT state and builds; the stateless
// operations may be called from anywhere.

#include <string>
#include <utility>
#include <vector>

#include "column_type.h"
#include "database_record.h"
#include "dialect.h"
#include "statement_buffer.h"
#include "value_format.h"

class SQLBuilder {
  public:
    using ColumnDefinitions = std::vector<std::pair<std::string, std::string>>;
    using Rows = std::vector<std::vector<std::string>>;

    SQLBuilder() = default;
    SQLBuilder(const SQLBuilder&) = delete;
    SQLBuilder& operator=(const SQLBuilder&) = delete;
    virtual ~SQLBuilder() = default;

    virtual std::string buildCreateTable(const std::string& table,
                                         const ColumnDefinitions& columns) const;
    virtual std::string buildAlterTable(const std::string& table, const std::string& column,
                                        const std::string& definition) const;
    virtual std::string buildInsert() const;
    virtual std::string buildBulkInsert() const;
    virtual std::string escapeString(const std::string& value) const;
    virtual std::string formatValue(const std::string& value, const std::string& columnType) const;
    // Appends formatValue(value, columnType) to `out`: the form the send
    // pipeline uses, so that a row's texts can be made without a new string
    // per value. The generic builder calls formatValue; a dialect that writes
    // the text directly overrides both so that they always agree.
    virtual void appendFormattedValue(std::string& out, const std::string& value,
                                      const std::string& columnType) const;
    // As above for a column type already parsed: the form the send pipeline
    // uses for every value. The generic builder ignores the type, as its
    // formatValue does; a dialect that formats by type overrides both.
    virtual void appendFormattedValue(std::string& out, const std::string& value,
                                      const ColumnType& columnType) const;
    // Whether a value of kind `kind` fits a column of type `column`, and how
    // a fitting value is written (value_format.h has the rules). The generic
    // builder checks nothing: every value fits and is written by formatValue.
    virtual ValueFit fitValue(const std::string& value, ValueKind kind,
                              const ColumnType& column) const;
    virtual void appendFittedValue(std::string& out, const std::string& value, ValueKind kind,
                                   const ColumnType& column, ValueFit fit) const;
    // columnTypeFor the kind of a datapoint of host type tag `typeTag`.
    virtual std::string toSQLTypeString(int typeTag) const;
    // The column type for values of kind `kind` in CREATE and ALTER: a label
    // takes getStringType(), a time getTimestampType(); the generic builder
    // gives "VARCHAR(256)" for every other kind.
    virtual std::string columnTypeFor(ValueKind kind) const;
    // columnTypeFor(kind) followed by decodeConstraints(constraint).
    std::string columnDefinition(ValueKind kind, ColumnConstraint constraint) const;
    virtual std::string normalizeColumnType(const std::string& type) const;
    virtual std::string getTimestampType() const;
    virtual std::string getStringType() const;
    virtual std::string decodeConstraints(ColumnConstraint constraint) const;
    // The columns of one table, in table order: the Full form below.
    virtual std::string buildInformationSchemaQuery(const std::string& schema,
                                                    const std::string& table) const;
    // The columns of one table asking for `detail`: rows of (column_name,
    // data_type[, is_nullable[, full_data_type]]) in table order. The names
    // are lower-cased and written as string literals. The Plain form is the
    // query for an information schema that has neither extra column.
    std::string buildInformationSchemaQuery(const std::string& schema, const std::string& table,
                                            SchemaQueryDetail detail) const;
    // The columns of several tables of one schema in one query: rows of
    // (table_name, column_name, data_type[, is_nullable[, full_data_type]]),
    // ordered by table and by column position. Names are lower-cased and
    // written as literals as in the one-table query; each name is written as
    // given, so callers pass distinct names, at least one.
    std::string buildInformationSchemaQuery(
        const std::string& schema, const std::vector<std::string>& tables,
        SchemaQueryDetail detail = SchemaQueryDetail::Full) const;
    virtual SQLBuilder* createSQLBuilder() const = 0;
    virtual std::string getHintName() const = 0;
    virtual std::string getIdentifierQuote() const;
    virtual std::string getIdentifierCloseQuote() const;
    virtual std::string getStringQuote() const;
    // The name under which the warehouse can hold a table / column of the given
    // name; the base builder keeps every name as it is.
    virtual std::string tableNameFor(const std::string& name) const;
    virtual std::string columnNameFor(const std::string& name) const;

    void setTableName(const std::string& name) { tableName = name; }
    void setColumns(const std::vector<std::string>& names) { columns = names; }
    // Replaces the rows; each text is written as it is, rows of any length.
    void setValues(const Rows& rows);
    void setValues(Rows&& rows) { setValues(static_cast<const Rows&>(rows)); }
    // Adds one row behind those already set, exactly as setValues would.
    void appendRow(const std::vector<std::string>& row) { values.appendRow(row); }
    // Drops every row and releases their memory.
    void clearValues() { values.clear(); }
    size_t rowCount() const { return values.rowCount(); }

    // Appends the quoted identifier: opening quote, the name with every closing
    // quote doubled, closing quote.
    void appendIdentifier(std::string& out, const std::string& name) const;
    std::string quoteIdentifier(const std::string& name) const;
    // Appends the quoted column name, one blank and the definition.
    void appendColumnDefinition(std::string& out, const std::string& column,
                                const std::string& definition) const;

  private:
    // The INSERT of the first row only, or of every row.
    std::string buildInsertStatement(bool allRows) const;

    std::string tableName;
    std::vector<std::string> columns;
    StatementBuffer values;
};

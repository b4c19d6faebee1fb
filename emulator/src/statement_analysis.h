#pragma once
// The analyser's rules shared by every statement kind: which table and column
// names the warehouse refuses, how a (possibly qualified) table name is read
// and checked against the connection's schema, the errors of analysis
// (unknown table, existing column, concurrent metadata change, column limit,
// CREATE privilege), and Pending, which holds refusals until the statement has
// been read to its end so that a later syntax error wins. Failures are thrown
// as WarehouseError. Plain functions; no shared state.

#include <optional>
#include <string>
#include <string_view>

#include "diagnostics.h"
#include "session.h"
#include "spark_lexer.h"

namespace whemu {

// Errors that the warehouse reports only once the whole statement has parsed:
// a syntax error further on wins over them, and analysis errors (names,
// arity) win over data errors (values).
struct Pending {
    std::optional<WarehouseError> analysis;
    std::optional<WarehouseError> data;
    bool any() const { return analysis.has_value() || data.has_value(); }
    void setAnalysis(const WarehouseError& e) {
        if (!analysis)
            analysis = e;
    }
    void setData(const WarehouseError& e) {
        if (!data)
            data = e;
    }
    void raise() const {
        if (analysis)
            throw *analysis;
        if (data)
            throw *data;
    }
};

struct TableRef {
    std::string name;    // lower case
    std::string schema;  // as written, empty when unqualified
};

// Reads `name`, `schema.name` or `catalog.schema.name`; the table name in lower case.
TableRef readTableName(Lexer& lexer);
// Throws 0A000 for another schema than the connection's, 42602 for a refused name.
void checkTableRef(const Session& session, const TableRef& ref);
// Throws 42602 naming the first refused character (or the length), 0A000 for
// a name the storage reserves.
void checkTableName(std::string_view name);
// Throws 42602 naming the first refused character.
void checkColumnName(std::string_view name);

[[noreturn]] void columnExists(std::string_view name);
[[noreturn]] void tableNotFound(std::string_view name);
[[noreturn]] void metadataChanged(std::string_view table);
// Throws 54011 when a table would have more columns than the limits allow.
void checkColumnCount(const Session& session, std::string_view table, size_t count);
// Throws 42501 when the deny_create file refuses CREATE TABLE in this schema.
void checkMayCreate(const Session& session, std::string_view table);

}  // namespace whemu

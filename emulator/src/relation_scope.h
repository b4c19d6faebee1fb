#pragma once
// Which names of a query are relations and which are schemas.
//
// The warehouse resolves a qualifier `x.` against the relations in scope
// (FROM and JOIN aliases, unaliased table names, a MERGE's target and source)
// before it considers schemas; only a qualifier in table position (the first
// part of `schema.table` after FROM or JOIN) that is no relation names a
// schema. RelationScope records both so that the query translation maps the
// connection's schema to SQLite's `main` and leaves aliases alone, whatever
// the schema is called. Plain values; no state shared between threads.

#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace whemu {

struct RelationScope {
    std::vector<std::string> relations;  // aliases and unaliased table names
    std::set<size_t> tableQualifiers;    // source offsets of `schema.` in table position

    // Returns true iff `name` names a relation in scope (case-insensitive).
    bool isRelation(std::string_view name) const;
    // Returns true iff the qualifier token starting at `offset`, spelled
    // `name`, names the connection's schema `schema`.
    bool namesSchema(std::string_view name, size_t offset, std::string_view schema) const;
};

// Reads the FROM and JOIN clauses of a query (at any depth) and returns the
// relations they bring into scope. Throws WarehouseError 42601 for text the
// lexer cannot read.
RelationScope scanRelations(std::string_view sql);

}  // namespace whemu

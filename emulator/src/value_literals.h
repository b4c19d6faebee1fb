#pragma once
// The parser of the values of a VALUES list (INSERT and the MERGE source):
// each literal with the type Spark gives it, a `?` marker as its bound value,
// CAST(... AS DOUBLE|FLOAT), parse_json(...); the check that the rows of one
// VALUES list agree on each column's type; and binding a stored value to
// SQLite. Refusals of analysis and of values are collected in a Pending so
// that a later syntax error wins. Plain functions; no shared state.

#include <sqlite3.h>

#include <vector>

#include "spark_lexer.h"
#include "statement_analysis.h"
#include "warehouse_types.h"

namespace whemu {

// Reads one value of a VALUES row. Syntax errors are thrown; values the
// warehouse would reject on analysis are recorded in `pending`.
void readLiteral(Lexer& lexer, Literal& literal, Pending& pending);

// The rows of one VALUES list must agree per column before anything is cast
// to the table's columns (`targets`, nullptr where unknown); numbers of
// different kinds are widened in place. A refusal goes to `pending`.
void checkInlineTable(std::vector<std::vector<Literal>>& rows,
                      const std::vector<const Column*>& targets, Pending& pending);

// Binds `value` as parameter `index` of `stmt`.
void bindStored(sqlite3_stmt* stmt, int index, const Stored& value);

}  // namespace whemu

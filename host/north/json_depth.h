#pragma once
// A bound on how deeply the north service lets JSON nest. RapidJSON's reader,
// and the service's own walks over a parsed document, go one call deeper per
// level of objects and arrays, so a text nested tens of thousands of levels
// deep would overflow the stack. Every JSON text the service reads from a user
// (readings lines, the --config file) is checked against the bound first.
//
// Free functions without state; safe to call from any thread.

#include <cstddef>
#include <string>

// The deepest nesting of objects and arrays the service reads.
constexpr size_t MAX_JSON_DEPTH = 1000;

// Returns true iff the text opens objects and arrays more than `limit` levels
// deep. Brackets inside JSON strings do not count. The text need not be valid
// JSON: the check looks at brackets only, and the parser judges the rest.
bool jsonNestsDeeperThan(const std::string& text, size_t limit = MAX_JSON_DEPTH);

#pragma once
// The north service's stored position: how many readings of its input the
// plugin has acknowledged, kept in a small file so that a restart resends only
// what was not acknowledged.
//
// The file holds the count in decimal and a line end (a count without the
// line end is read too, as people write such files by hand). It is replaced
// atomically: the new count goes to "<file>.tmp" in the same directory, which
// is flushed to disk and renamed over the file, and the directory is flushed
// too, so after a crash the file holds either the old count or the new one.
// Free functions over a path; nothing is shared between calls.

#include <cstdint>
#include <optional>
#include <string>

// The count stored in `path`, or nothing when the file does not exist. Throws
// std::runtime_error naming the file when it cannot be read or does not hold
// a count.
std::optional<uint64_t> loadCheckpoint(const std::string& path);

// Stores `acknowledged` in `path` durably. Throws std::runtime_error naming
// the file and the failing step.
void storeCheckpoint(const std::string& path, uint64_t acknowledged);

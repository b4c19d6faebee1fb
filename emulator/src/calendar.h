#pragma once
// Dates and timestamps as the warehouse reads and prints them. A timestamp
// is read in any of Spark's forms (a zone or none, which is UTC) and kept as
// microseconds since 1970 in UTC, printed "YYYY-MM-DD HH:MM:SS.ffffff"; a
// date as days since 1970, printed "YYYY-MM-DD". Years 1 to 9999 only.
// Plain functions; no shared state.

#include <cstdint>
#include <string>
#include <string_view>

namespace whemu {

inline constexpr int64_t kMicrosPerSecond = 1000000;
inline constexpr int64_t kSecondsPerDay = 86400;
inline constexpr int64_t kMicrosPerDay = kMicrosPerSecond * kSecondsPerDay;

// Returns true iff `text` is a timestamp the warehouse accepts.
bool parseTimestamp(std::string_view text, int64_t& microsUtc);
std::string formatTimestamp(int64_t microsUtc);
// Returns true iff `text` is a date the warehouse accepts.
bool parseDate(std::string_view text, int64_t& days);
std::string formatDate(int64_t days);

}  // namespace whemu

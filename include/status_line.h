#pragma once
// StatusLine: how the site is doing, in one info line every few minutes.
//
// An unattended site is watched through its log. The connector adds what
// each send did (readings written to their tables, values rescued, readings
// rejected, statements and their time, failed batches, connection attempts);
// the line is logged when INTERVAL has passed since the last one, and once
// more at shutdown, with the counts since the last line, the row counts
// since the start, and the time of the last successful batch:
//   "Status: 1200 readings written, 3 values rescued, 1 reading rejected,
//    0 rows skipped as already written, 24 statements (mean 1.021 s),
//    0 failed batches, 0 reconnects; since the start: 36000 readings
//    written, 5 values rescued, 2 readings rejected, 0 rows skipped as
//    already written; last successful batch at 2026-12-08 16:40:55 UTC"
// Not thread-safe: the connector uses it from the sending thread.

#include <chrono>
#include <cstdint>
#include <string>

struct BatchOutcome;

class StatusLine {
  public:
    using SteadyTime = std::chrono::steady_clock::time_point;
    using WallTime = std::chrono::system_clock::time_point;
    static constexpr std::chrono::minutes INTERVAL{5};

    // The counts since the last line.
    struct Counts {
        uint64_t written = 0;   // readings written to their tables
        uint64_t rescued = 0;   // values kept in the rescued data column
        uint64_t rejected = 0;  // readings kept in the rejects table
        uint64_t skipped = 0;   // rows not written again because they were there
        uint64_t statements = 0;
        std::chrono::nanoseconds statementTime{0};
        uint64_t failedBatches = 0;
        uint64_t reconnects = 0;
    };

    // Adds what one send did; `now` is when it ended.
    void record(const BatchOutcome& outcome, WallTime now);
    void addStatements(uint64_t count, std::chrono::nanoseconds time);
    void addReconnects(uint64_t count) { counts.reconnects += count; }
    void addSkipped(uint64_t rows) { counts.skipped += rows; }
    // Logs the line when INTERVAL has passed since the last one (or since
    // the first call). Returns true iff it logged.
    bool logIfDue(SteadyTime now);
    // Logs the line now (at shutdown) when anything happened since the last.
    void logFinal(SteadyTime now);
    const Counts& current() const { return counts; }
    // The counts since the start, the current interval's included.
    Counts sinceStart() const { return totalsWith(counts); }
    // The line for the counts so far.
    std::string text() const;

  private:
    void log(SteadyTime now);
    Counts totalsWith(const Counts& interval) const;

    Counts counts;
    Counts totals;  // of the intervals already logged
    SteadyTime lastLine{};
    bool started = false;
    WallTime lastSuccess{};
    bool anySuccess = false;
    bool anything = false;
};

#pragma once
// The health file of a run (--status-file): one JSON object saying how far the
// service is, for a monitoring agent to read and alert on:
//
//   {"state": "sending", "updated": "2026-01-01T00:00:00Z", "pid": 4242,
//    "readings_read": 1500, "readings_sent": 1000, "readings_unsent": 500,
//    "lines_rejected": 0, "blocks": 2, "failed_attempts": 3,
//    "failed_attempts_in_a_row": 1, "backoff_seconds": 2.0,
//    "last_success": "2026-01-01T00:00:00Z", "position": 1000,
//    "checkpoint_position": 1000}
//
// The file is replaced atomically: the object is written to "<file>.tmp" in
// the same directory and renamed over the file, so a reader always finds a
// whole object. Free functions over plain data; nothing is shared.

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

struct ServiceStatus {
    std::string state;  // starting, sending, backing off, stopping, finished, stopped
    uint64_t read = 0;  // readings read in this run
    uint64_t sent = 0;  // readings of this run the plugin acknowledged
    uint64_t rejectedLines = 0;
    uint64_t blocks = 0;
    uint64_t failedAttempts = 0;
    uint64_t failedInARow = 0;  // refused attempts of the block being sent
    double backoffSeconds = 0;  // the wait before the next attempt; 0 when none
    std::optional<std::time_t> lastSuccess;
    uint64_t position = 0;    // readings of the input acknowledged, earlier runs included
    bool checkpoint = false;  // whether `position` is kept in a checkpoint
};

// The status as one JSON object (no line end).
std::string statusJson(const ServiceStatus& status);

// Replaces `path` with the status. Throws std::runtime_error naming the file
// and the failing step.
void writeStatusFile(const std::string& path, const ServiceStatus& status);

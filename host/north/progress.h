#pragma once
// Progress of a run on stderr: sent of expected readings, rate and failed
// attempts. On a terminal a bar is redrawn in place at most ten times a
// second; otherwise a plain line is written every `interval` seconds.
//
// Used by the sending thread only; not copyable.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>

class Progress {
  public:
    // On a terminal the bar is cleared before every log line the host logger
    // writes, so log lines never run into it; the next update redraws it.
    Progress(bool terminal, double intervalSeconds);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // Shows the state when it is time to; `force` shows it now.
    void update(uint64_t sent, std::optional<uint64_t> expected, uint64_t failedAttempts,
                bool force = false);
    // Ends the bar's line on a terminal.
    void finish();

  private:
    bool terminal;
    std::chrono::steady_clock::duration interval;
    std::chrono::steady_clock::time_point started;
    std::chrono::steady_clock::time_point lastShown;
    std::atomic<bool> shown{false};
};

#pragma once
// Progress of a run on stderr: sent of expected readings, rate, failed
// attempts and the latency of the blocks (the last block's send time and the
// average). On a terminal a bar is redrawn in place at most ten times a
// second; otherwise a plain line is written every `interval` seconds.
//
// Used by the sending thread only; not copyable.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

// Send times of the blocks the plugin took: the time spent inside plugin_send
// for a block, over all of its attempts, without the back-off waits between
// them. At a warehouse's latency this is what bounds the rate.
struct BlockLatency {
    uint64_t blocks = 0;
    double last = 0;     // seconds
    double total = 0;    // seconds
    double longest = 0;  // seconds

    void add(double seconds);
    // The average send time; 0 before the first block.
    double average() const;
};

// A duration for people: "850 ms" below a second, "2.35 s" from there on.
std::string formatDuration(double seconds);

class Progress {
  public:
    // On a terminal the bar is cleared before every log line the host logger
    // writes, so log lines never run into it; the next update redraws it.
    Progress(bool terminal, double intervalSeconds);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // Readings acknowledged before this run (a checkpoint's position): the
    // display shows the position in the whole input, the rate only this run's.
    void setAlreadySent(uint64_t count) { alreadySent = count; }
    // Shows the state when it is time to; `force` shows it now, unless the
    // last line written off a terminal already showed the same counts.
    void update(uint64_t sent, std::optional<uint64_t> expected, uint64_t failedAttempts,
                const BlockLatency& latency, bool force = false);
    // Ends the bar's line on a terminal.
    void finish();

  private:
    bool terminal;
    std::chrono::steady_clock::duration interval;
    std::chrono::steady_clock::time_point started;
    std::chrono::steady_clock::time_point lastShown;
    std::atomic<bool> shown{false};
    uint64_t alreadySent = 0;
    // The counts of the last line written, to write a final line only when it
    // says something new.
    std::optional<std::pair<uint64_t, uint64_t>> lastCounts;
};

#pragma once
// One sending run of corvane-north: takes the checkpoint's position, feeds the
// plugin blocks of readings, keeps a refused block and offers it again after a
// back-off, stores the position after every accepted block, keeps the health
// file current, and answers stop signals.
//
// Stopping: the first SIGINT or SIGTERM is answered at once with a warning
// saying that the run stops after the current block (and how long that block
// has been running); a second one ends the process at once with its summary
// and the exit status 128+signal. The checkpoint is written under the same
// lock the second signal takes, so it is never left half stored.
//
// NorthRun owns its signal watcher and its counters; the plugin and the
// source are the caller's. Construct it before the plugin is loaded, so that
// the plugin's threads never take the stop signals. The counters are shared
// with the signal watcher under `lock`; everything else is used by the
// calling thread only. Not copyable.

#include <chrono>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "config_category.h"
#include "north_plugin.h"
#include "options.h"
#include "progress.h"
#include "reading_source.h"
#include "status_file.h"
#include "stop_signals.h"

// The counters of a run, printed in its summary.
struct RunTotals {
    uint64_t skipped = 0;  // readings a checkpoint said were acknowledged before
    uint64_t read = 0;
    uint64_t sent = 0;
    uint64_t rejectedLines = 0;
    uint64_t blocks = 0;
    uint64_t failedAttempts = 0;
    BlockLatency latency;
};

// The summary line of a run or a dump on stderr.
void printSummary(const RunTotals& totals, double elapsedSeconds, const char* sentWord);

class NorthRun {
  public:
    explicit NorthRun(const Options& options);
    NorthRun(const NorthRun&) = delete;
    NorthRun& operator=(const NorthRun&) = delete;

    // Initialises the plugin with `category` and sends the source's readings.
    // Returns the exit status. Throws std::runtime_error, before anything is
    // sent, when the checkpoint or the status file cannot be used.
    int run(NorthPlugin& plugin, ReadingSource& source, ConfigCategory& category);

  private:
    void onSignal(int signal, bool first);
    // Loads the checkpoint, proves that it can be stored, and skips the
    // readings it counts.
    void takeCheckpoint(ReadingSource& source);
    // Reads the next block; returns false when there is nothing to send.
    bool fillBlock(ReadingSource& source);
    // Offers the block until the plugin has taken it, a stop or giving up.
    void sendBlock(NorthPlugin& plugin);
    // Counts a refused attempt of a block of `readings` and publishes it.
    // Returns true iff the block is to be offered again after `backoff`.
    bool refused(size_t readings, uint64_t attempts, double backoff);
    // Counts `count` readings as sent and stores the position; returns true iff
    // it was stored (or there is no checkpoint).
    bool acknowledge(uint64_t count);
    // Waits `seconds` before another attempt, unless a stop comes first.
    void backOff(double seconds);
    // Rewrites the status file; the caller holds `lock`.
    void publish(const char* state);
    void showProgress(bool force = false);
    std::optional<uint64_t> expected() const;
    int exitStatus() const;
    double elapsed() const;

    const Options& options;
    StopSignals signals;
    std::mutex lock;  // guards the counters, the status and the checkpoint
    RunTotals totals;
    ServiceStatus status;
    bool gaveUp = false;
    bool checkpointFailed = false;
    bool statusFailed = false;  // the last status write failed (logged once)
    ReadingSource* source = nullptr;
    std::unique_ptr<Progress> progress;
    std::chrono::steady_clock::time_point started;
    // Since when the current block is being sent; 0 when none is.
    std::atomic<int64_t> blockStartedNs{0};
    std::vector<std::unique_ptr<Reading>> owned;
    std::vector<Reading*> block;
};

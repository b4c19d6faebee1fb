#include "north_run.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <thread>

#include "checkpoint.h"
#include "logger.h"

namespace {

constexpr int EXIT_USAGE = 1;
constexpr int EXIT_UNSENT = 2;
constexpr int EXIT_REJECTED_LINES = 3;

// Slices of the waits for input and back-offs, so that a stop is noticed
// within a fifth of a second.
constexpr std::chrono::milliseconds kSlice(200);

int64_t steadyNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void printSummary(const RunTotals& totals, double elapsed, const char* sentWord) {
    const double rate = elapsed > 0 ? static_cast<double>(totals.sent) / elapsed : 0.0;
    fprintf(stderr,
            "summary: readings read %llu, %s %llu, unsent %llu; lines rejected %llu; "
            "blocks %llu; failed attempts %llu; elapsed %.3f s; %.1f readings/s; "
            "block send average %.3f s, longest %.3f s, last %.3f s\n",
            static_cast<unsigned long long>(totals.read), sentWord,
            static_cast<unsigned long long>(totals.sent),
            static_cast<unsigned long long>(totals.read - totals.sent),
            static_cast<unsigned long long>(totals.rejectedLines),
            static_cast<unsigned long long>(totals.blocks),
            static_cast<unsigned long long>(totals.failedAttempts), elapsed, rate,
            totals.latency.average(), totals.latency.longest, totals.latency.last);
    fflush(stderr);
}

NorthRun::NorthRun(const Options& options)
    : options(options),
      signals([this](int signal, bool first) { onSignal(signal, first); }),
      started(std::chrono::steady_clock::now()) {
    status.checkpoint = !options.checkpoint.empty();
}

void NorthRun::onSignal(int signal, bool first) {
    Logger* log = Logger::getLogger();
    if (first) {
        const int64_t since = blockStartedNs.load();
        if (since != 0) {
            log->warn(
                "Signal %d: stopping after the current block, which has been sending for %.1f s; "
                "a second signal stops at once",
                signal, static_cast<double>(steadyNanoseconds() - since) / 1e9);
        } else {
            log->warn("Signal %d: stopping; a second signal stops at once", signal);
        }
        return;
    }
    // The lock waits for a checkpoint being stored, so the file stays whole.
    std::lock_guard<std::mutex> hold(lock);
    log->warn("Signal %d: stopped at once; %llu readings read were not sent", signal,
              static_cast<unsigned long long>(totals.read - totals.sent));
    publish("stopped");
    if (progress)
        progress->finish();
    printSummary(totals, elapsed(), "sent");
    fflush(stdout);
    _exit(128 + signal);
}

double NorthRun::elapsed() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

std::optional<uint64_t> NorthRun::expected() const {
    return source ? source->expected() : std::nullopt;
}

void NorthRun::takeCheckpoint(ReadingSource& input) {
    const std::string& path = options.checkpoint;
    std::optional<uint64_t> stored = loadCheckpoint(path);
    if (stored && options.checkpointReset) {
        fprintf(stderr, "corvane-north: checkpoint %s held %llu; starting from the first reading\n",
                path.c_str(), static_cast<unsigned long long>(*stored));
        stored = 0;
    } else if (!stored) {
        fprintf(stderr, "corvane-north: checkpoint %s does not exist yet; sending from the start\n",
                path.c_str());
    }
    const uint64_t wanted = stored.value_or(0);
    uint64_t skipped = 0;
    while (skipped < wanted && !signals.received()) {
        if (input.next(kSlice))
            ++skipped;
        else if (input.atEnd())
            break;
    }
    if (skipped < wanted && !signals.received()) {
        throw std::runtime_error(
            "checkpoint " + path + " counts " + std::to_string(wanted) +
            " readings acknowledged, but the input holds only " + std::to_string(skipped) +
            "; it belongs to another input (give --checkpoint-reset to send this one from its "
            "start)");
    }
    // An unwritable place is found now rather than after the first block.
    storeCheckpoint(path, wanted);
    if (wanted > 0) {
        fprintf(stderr,
                "corvane-north: checkpoint %s: skipping %llu readings already acknowledged\n",
                path.c_str(), static_cast<unsigned long long>(wanted));
    }
    fflush(stderr);
    totals.skipped = wanted;
}

int NorthRun::run(NorthPlugin& plugin, ReadingSource& input, ConfigCategory& category) {
    source = &input;
    if (!options.checkpoint.empty())
        takeCheckpoint(input);
    {
        std::lock_guard<std::mutex> hold(lock);
        status.position = totals.skipped;
        status.state = "starting";
        // An unwritable status file stops the run before anything is sent.
        if (!options.statusFile.empty())
            writeStatusFile(options.statusFile, status);
    }
    plugin.init(category);
    {
        std::lock_guard<std::mutex> hold(lock);  // a second signal finishes the display
        progress = std::make_unique<Progress>(isatty(STDERR_FILENO) != 0, options.progressInterval);
        progress->setAlreadySent(totals.skipped);
    }
    const size_t reserve = std::min<size_t>(options.blockSize, 65536);
    owned.reserve(reserve);
    block.reserve(reserve);
    while (!signals.received() && !gaveUp && fillBlock(input)) {
        sendBlock(plugin);
        showProgress();
    }
    showProgress(true);
    progress->finish();
    Logger* log = Logger::getLogger();
    if (signals.received()) {
        log->warn("Stopped by signal %d; %llu readings read were not sent", signals.received(),
                  static_cast<unsigned long long>(totals.read - totals.sent));
    }
    plugin.shutdown();
    std::lock_guard<std::mutex> hold(lock);
    publish(signals.received() ? "stopped" : "finished");
    printSummary(totals, elapsed(), "sent");
    return exitStatus();
}

bool NorthRun::fillBlock(ReadingSource& input) {
    owned.clear();
    block.clear();
    const auto maxWait = std::chrono::milliseconds(options.maxWaitMs);
    auto lastArrival = std::chrono::steady_clock::now();
    while (block.size() < options.blockSize && !signals.received()) {
        // With readings waiting to be sent, the wait ends when the input has
        // been quiet for --max-wait.
        std::chrono::milliseconds wait = kSlice;
        bool quietEnds = false;
        if (!block.empty()) {
            const auto left = maxWait - std::chrono::duration_cast<std::chrono::milliseconds>(
                                            std::chrono::steady_clock::now() - lastArrival);
            if (left <= kSlice) {
                wait = std::max(left, std::chrono::milliseconds(0));
                quietEnds = true;
            }
        }
        auto reading = input.next(wait);
        if (reading) {
            block.push_back(reading.get());
            owned.push_back(std::move(reading));
            lastArrival = std::chrono::steady_clock::now();
            std::lock_guard<std::mutex> hold(lock);
            ++totals.read;
            continue;
        }
        if (input.atEnd() || quietEnds)
            break;
        showProgress();
    }
    std::lock_guard<std::mutex> hold(lock);
    totals.rejectedLines = input.rejected();
    return !block.empty() && !signals.received();
}

void NorthRun::sendBlock(NorthPlugin& plugin) {
    Logger* log = Logger::getLogger();
    // A refused block is kept whole and offered again after a back-off. The
    // block's send time counts the plugin_send calls only, not the back-offs.
    size_t offset = 0;
    double sendSeconds = 0;
    uint64_t attempts = 0;
    double backoff = std::min(1.0, options.maxBackoff);
    blockStartedNs = steadyNanoseconds();
    while (offset < block.size()) {
        std::vector<Reading*> pending(block.begin() + static_cast<std::ptrdiff_t>(offset),
                                      block.end());
        const auto sendStarted = std::chrono::steady_clock::now();
        const uint32_t accepted = plugin.send(pending);
        sendSeconds +=
            std::chrono::duration<double>(std::chrono::steady_clock::now() - sendStarted).count();
        if (accepted > pending.size()) {
            log->warn("The plugin reported %u readings sent of a block of %zu", accepted,
                      pending.size());
        }
        if (accepted > 0) {
            // The first `accepted` readings were taken; the rest are offered again.
            const size_t taken = std::min<size_t>(accepted, pending.size());
            offset += taken;
            if (!acknowledge(taken))
                break;
            continue;
        }
        if (!refused(pending.size(), ++attempts, backoff))
            break;
        backOff(backoff);
        backoff = std::min(backoff * 2, options.maxBackoff);
    }
    blockStartedNs = 0;
    if (offset == block.size()) {
        std::lock_guard<std::mutex> hold(lock);
        ++totals.blocks;
        totals.latency.add(sendSeconds);
        status.failedInARow = 0;
        status.backoffSeconds = 0;
        publish("sending");
    }
}

bool NorthRun::refused(size_t readings, uint64_t attempts, double backoff) {
    {
        std::lock_guard<std::mutex> hold(lock);
        ++totals.failedAttempts;
        status.failedInARow = attempts;
        status.backoffSeconds = backoff;
        publish("backing off");
    }
    Logger* log = Logger::getLogger();
    if (options.maxAttempts > 0 && attempts >= options.maxAttempts) {
        log->error("Giving up on a block of %zu readings after %llu attempts", readings,
                   static_cast<unsigned long long>(attempts));
        gaveUp = true;
        return false;
    }
    if (signals.received())
        return false;
    log->warn(
        "The plugin did not accept a block of %zu readings (attempt %llu); "
        "sending it again in %.1f s",
        readings, static_cast<unsigned long long>(attempts), backoff);
    return true;
}

bool NorthRun::acknowledge(uint64_t count) {
    std::lock_guard<std::mutex> hold(lock);
    totals.sent += count;
    status.lastSuccess = std::time(nullptr);
    if (options.checkpoint.empty())
        return true;
    try {
        storeCheckpoint(options.checkpoint, totals.skipped + totals.sent);
        return true;
    } catch (const std::exception& e) {
        // A restart would resend without bound from an old position.
        Logger::getLogger()->error("%s; stopping", e.what());
        checkpointFailed = gaveUp = true;
        return false;
    }
}

void NorthRun::backOff(double seconds) {
    const auto until = std::chrono::steady_clock::now() +
                       std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                           std::chrono::duration<double>(seconds));
    while (!signals.received()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= until)
            break;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            until - now, std::chrono::milliseconds(50)));
        showProgress();
    }
}

void NorthRun::publish(const char* state) {
    status.state = state;
    status.read = totals.read;
    status.sent = totals.sent;
    status.rejectedLines = totals.rejectedLines;
    status.blocks = totals.blocks;
    status.failedAttempts = totals.failedAttempts;
    status.position = totals.skipped + totals.sent;
    if (options.statusFile.empty())
        return;
    try {
        writeStatusFile(options.statusFile, status);
        statusFailed = false;
    } catch (const std::exception& e) {
        // Delivery goes on; the monitoring agent sees the file grow old.
        if (!statusFailed)
            Logger::getLogger()->error("%s", e.what());
        statusFailed = true;
    }
}

void NorthRun::showProgress(bool force) {
    uint64_t sent, failed;
    BlockLatency latency;
    {
        std::lock_guard<std::mutex> hold(lock);
        sent = totals.sent;
        failed = totals.failedAttempts;
        latency = totals.latency;
    }
    progress->update(sent, expected(), failed, latency, force);
}

int NorthRun::exitStatus() const {
    if (checkpointFailed)
        return EXIT_USAGE;
    if (signals.received())
        return 128 + signals.received();
    if (totals.sent < totals.read)
        return EXIT_UNSENT;
    if (totals.rejectedLines > 0)
        return EXIT_REJECTED_LINES;
    return 0;
}

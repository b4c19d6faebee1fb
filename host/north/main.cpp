// corvane-north: loads a north plugin, configures it and feeds it readings in
// blocks, keeping a refused block and sending it again after a back-off, the
// way the platform's north service does.

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "checkpoint.h"
#include "config_category.h"
#include "config_overlay.h"
#include "logger.h"
#include "north_plugin.h"
#include "options.h"
#include "progress.h"
#include "reading_json.h"
#include "reading_source.h"

#ifndef CORVANE_NORTH_DEFAULT_PLUGIN
#define CORVANE_NORTH_DEFAULT_PLUGIN "liblakesink.so.1"
#endif

namespace {

constexpr int EXIT_USAGE = 1;
constexpr int EXIT_UNSENT = 2;
constexpr int EXIT_REJECTED_LINES = 3;

volatile std::sig_atomic_t stopSignal = 0;

void onStopSignal(int signal) {
    stopSignal = signal;
}

// The first SIGINT or SIGTERM asks for a clean stop; the handler is then reset
// so that a second one ends the process at once.
void installStopHandlers() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;  // no SA_RESTART: a blocked read returns
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot open configuration file " + path);
    // A directory opens and reads as nothing, which would pass for "{}".
    std::error_code ignored;
    if (std::filesystem::is_directory(path, ignored))
        throw std::runtime_error("cannot read configuration file " + path + ": it is a directory");
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad())
        throw std::runtime_error("cannot read configuration file " + path);
    return text.str();
}

void printInfo(const PluginInfo& info) {
    auto text = [](const char* value) { return value ? value : "(none)"; };
    printf("name:      %s\nversion:   %s\ntype:      %s\ninterface: %s\noptions:   %u\n",
           text(info.name), text(info.version), text(info.type), text(info.interface),
           info.options);
    printf("default configuration:\n%s\n", prettyJson(text(info.config)).c_str());
}

struct Totals {
    uint64_t skipped = 0;  // readings a checkpoint said were acknowledged before
    uint64_t read = 0;
    uint64_t sent = 0;
    uint64_t rejectedLines = 0;
    uint64_t blocks = 0;
    uint64_t failedAttempts = 0;
    BlockLatency latency;
};

void printSummary(const Totals& totals, double elapsed) {
    const double rate = elapsed > 0 ? static_cast<double>(totals.sent) / elapsed : 0.0;
    fprintf(stderr,
            "summary: readings read %llu, sent %llu, unsent %llu; lines rejected %llu; "
            "blocks %llu; failed attempts %llu; elapsed %.3f s; %.1f readings/s; "
            "block send average %.3f s, longest %.3f s, last %.3f s\n",
            static_cast<unsigned long long>(totals.read),
            static_cast<unsigned long long>(totals.sent),
            static_cast<unsigned long long>(totals.read - totals.sent),
            static_cast<unsigned long long>(totals.rejectedLines),
            static_cast<unsigned long long>(totals.blocks),
            static_cast<unsigned long long>(totals.failedAttempts), elapsed, rate,
            totals.latency.average(), totals.latency.longest, totals.latency.last);
    fflush(stderr);
}

std::unique_ptr<ReadingSource> openSource(const Options& options) {
    if (options.generate) {
        return std::make_unique<GeneratedSource>(*options.generate, options.assets,
                                                 options.datapoints, options.seed);
    }
    return std::make_unique<JsonLinesSource>(options.readings);
}

int exitStatus(const Totals& totals, bool checkpointFailed = false) {
    if (checkpointFailed)
        return EXIT_USAGE;
    if (stopSignal)
        return 128 + stopSignal;
    if (totals.sent < totals.read)
        return EXIT_UNSENT;
    if (totals.rejectedLines > 0)
        return EXIT_REJECTED_LINES;
    return 0;
}

int dumpReadings(const Options& options) {
    installStopHandlers();
    const auto started = std::chrono::steady_clock::now();
    auto source = openSource(options);
    Totals totals;
    while (!stopSignal) {
        auto reading = source->next();
        if (!reading)
            break;
        ++totals.read;
        const std::string line = readingToJsonLine(*reading) + "\n";
        if (fwrite(line.data(), 1, line.size(), stdout) != line.size()) {
            Logger::getLogger()->error("Cannot write to standard output");
            break;
        }
        ++totals.sent;
    }
    fflush(stdout);
    totals.rejectedLines = source->rejected();
    printSummary(totals,
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    return exitStatus(totals);
}

// Waits up to `seconds`, keeping the progress display alive; returns early
// when a stop is requested.
void backOff(double seconds, Progress& progress, const Totals& totals,
             std::optional<uint64_t> expected) {
    const auto until = std::chrono::steady_clock::now() +
                       std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                           std::chrono::duration<double>(seconds));
    while (!stopSignal) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= until)
            break;
        const auto slice = std::min<std::chrono::steady_clock::duration>(
            until - now, std::chrono::milliseconds(50));
        std::this_thread::sleep_for(slice);
        progress.update(totals.sent, expected, totals.failedAttempts, totals.latency);
    }
}

// Reads the checkpoint and skips the readings it counts, saying so on stderr.
// Returns the stored count (0 without a checkpoint). Throws when the
// checkpoint cannot be read, before anything is sent.
uint64_t skipAcknowledged(const std::string& path, ReadingSource& source) {
    const std::optional<uint64_t> stored = loadCheckpoint(path);
    if (!stored) {
        fprintf(stderr, "corvane-north: checkpoint %s does not exist yet; sending from the start\n",
                path.c_str());
        return 0;
    }
    uint64_t skipped = 0;
    while (skipped < *stored && !stopSignal && source.next())
        ++skipped;
    fprintf(stderr, "corvane-north: checkpoint %s: skipping %llu readings already acknowledged\n",
            path.c_str(), static_cast<unsigned long long>(*stored));
    if (skipped < *stored && !stopSignal) {
        fprintf(stderr, "corvane-north: the input holds only %llu readings; none is left to send\n",
                static_cast<unsigned long long>(skipped));
    }
    fflush(stderr);
    return *stored;
}

int run(const Options& options) {
    NorthPlugin plugin(options.plugin);
    if (options.info) {
        printInfo(plugin.info());
        return 0;
    }
    const std::string overlay = options.configFile.empty() ? "{}" : readFile(options.configFile);
    const std::string categoryJson = overlayConfiguration(
        plugin.info().config, overlay, options.configFile.empty() ? "(none)" : options.configFile);
    ConfigCategory category(plugin.info().name ? plugin.info().name : "north", categoryJson);

    installStopHandlers();
    auto source = openSource(options);
    Totals totals;
    if (!options.checkpoint.empty())
        totals.skipped = skipAcknowledged(options.checkpoint, *source);
    plugin.init(category);

    Progress progress(isatty(STDERR_FILENO) != 0, options.progressInterval);
    const auto started = std::chrono::steady_clock::now();
    Logger* log = Logger::getLogger();
    bool gaveUp = false;
    bool checkpointFailed = false;
    // What is left to send once the checkpoint's readings are skipped.
    auto expected = [&]() -> std::optional<uint64_t> {
        const std::optional<uint64_t> all = source->expected();
        if (!all)
            return all;
        return *all > totals.skipped ? *all - totals.skipped : 0;
    };
    // Counts readings the plugin took and stores the new position durably; a
    // position that cannot be stored stops the run, since a restart would
    // then resend without bound.
    auto acknowledge = [&](uint64_t count) {
        totals.sent += count;
        if (options.checkpoint.empty())
            return true;
        try {
            storeCheckpoint(options.checkpoint, totals.skipped + totals.sent);
            return true;
        } catch (const std::exception& e) {
            log->error("%s; stopping", e.what());
            checkpointFailed = gaveUp = true;
            return false;
        }
    };
    std::vector<std::unique_ptr<Reading>> owned;
    std::vector<Reading*> block;
    const size_t reserve = std::min<size_t>(options.blockSize, 65536);
    owned.reserve(reserve);
    block.reserve(reserve);

    while (!stopSignal && !gaveUp) {
        owned.clear();
        block.clear();
        while (block.size() < options.blockSize && !stopSignal) {
            auto reading = source->next();
            if (!reading)
                break;
            block.push_back(reading.get());
            owned.push_back(std::move(reading));
            ++totals.read;
        }
        totals.rejectedLines = source->rejected();
        if (block.empty() || stopSignal)
            break;

        // Send the block until the plugin has taken all of it. A refused block
        // is kept whole and offered again after a back-off. The block's send
        // time counts the plugin_send calls only, not the back-offs.
        size_t offset = 0;
        double sendSeconds = 0;
        uint64_t attempts = 0;
        double backoff = std::min(1.0, options.maxBackoff);
        while (offset < block.size()) {
            std::vector<Reading*> pending(block.begin() + static_cast<std::ptrdiff_t>(offset),
                                          block.end());
            const auto sendStarted = std::chrono::steady_clock::now();
            const uint32_t accepted = plugin.send(pending);
            sendSeconds +=
                std::chrono::duration<double>(std::chrono::steady_clock::now() - sendStarted)
                    .count();
            if (accepted >= pending.size()) {
                if (accepted > pending.size()) {
                    log->warn("The plugin reported %u readings sent of a block of %zu", accepted,
                              pending.size());
                }
                acknowledge(pending.size());
                offset = block.size();
                ++totals.blocks;
                totals.latency.add(sendSeconds);
                break;
            }
            if (accepted > 0) {
                // The first `accepted` readings were taken; the rest are offered again.
                offset += accepted;
                if (acknowledge(accepted))
                    continue;
                break;
            }
            ++totals.failedAttempts;
            ++attempts;
            if (options.maxAttempts > 0 && attempts >= options.maxAttempts) {
                log->error("Giving up on a block of %zu readings after %llu attempts",
                           pending.size(), static_cast<unsigned long long>(attempts));
                gaveUp = true;
                break;
            }
            if (stopSignal)
                break;
            log->warn(
                "The plugin did not accept a block of %zu readings (attempt %llu); "
                "sending it again in %.1f s",
                pending.size(), static_cast<unsigned long long>(attempts), backoff);
            backOff(backoff, progress, totals, expected());
            backoff = std::min(backoff * 2, options.maxBackoff);
        }
        progress.update(totals.sent, expected(), totals.failedAttempts, totals.latency);
    }
    progress.update(totals.sent, expected(), totals.failedAttempts, totals.latency, true);
    progress.finish();
    if (stopSignal) {
        log->warn("Stopped by signal %d; %llu readings read were not sent",
                  static_cast<int>(stopSignal),
                  static_cast<unsigned long long>(totals.read - totals.sent));
    }
    plugin.shutdown();
    printSummary(totals,
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    return exitStatus(totals, checkpointFailed);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string program = "corvane-north";
    std::vector<std::string> arguments(argv + 1, argv + argc);
    Options options;
    try {
        options = parseOptions(arguments, CORVANE_NORTH_DEFAULT_PLUGIN);
    } catch (const std::exception& e) {
        fprintf(stderr, "%s: %s\n", program.c_str(), e.what());
        return EXIT_USAGE;
    }
    if (options.help) {
        fputs(usage(program, CORVANE_NORTH_DEFAULT_PLUGIN).c_str(), stdout);
        return 0;
    }
    try {
        Logger::getLogger()->setMinLevel(options.logLevel);
    } catch (const std::exception& e) {
        fprintf(stderr, "%s: --log-level: %s\n", program.c_str(), e.what());
        return EXIT_USAGE;
    }
    try {
        return options.dump ? dumpReadings(options) : run(options);
    } catch (const std::exception& e) {
        fprintf(stderr, "%s: %s\n", program.c_str(), e.what());
        return EXIT_USAGE;
    }
}

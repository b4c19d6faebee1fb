#include "progress.h"

#include <cstdio>
#include <string>

#include "logger.h"

void BlockLatency::add(double seconds) {
    ++blocks;
    last = seconds;
    total += seconds;
    if (seconds > longest)
        longest = seconds;
}

double BlockLatency::average() const {
    return blocks > 0 ? total / static_cast<double>(blocks) : 0.0;
}

std::string formatDuration(double seconds) {
    char text[32];
    if (seconds < 1.0)
        snprintf(text, sizeof text, "%.0f ms", seconds * 1000.0);
    else
        snprintf(text, sizeof text, "%.2f s", seconds);
    return text;
}

Progress::Progress(bool terminal, double intervalSeconds)
    : terminal(terminal),
      interval(terminal ? std::chrono::steady_clock::duration(std::chrono::milliseconds(100))
                        : std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(intervalSeconds))),
      started(std::chrono::steady_clock::now()),
      lastShown(started) {
    if (terminal) {
        Logger::getLogger()->setBeforeWrite([this] {
            if (shown.exchange(false))
                fputs("\r\033[K", stderr);
        });
    }
}

Progress::~Progress() {
    if (terminal)
        Logger::getLogger()->setBeforeWrite(nullptr);
}

void Progress::update(uint64_t sent, std::optional<uint64_t> expected, uint64_t failedAttempts,
                      const BlockLatency& latency, bool force) {
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - lastShown < interval)
        return;
    const std::pair<uint64_t, uint64_t> counts(sent, failedAttempts);
    if (force && !terminal && lastCounts == counts)
        return;
    lastCounts = counts;
    lastShown = now;
    const double elapsed = std::chrono::duration<double>(now - started).count();
    const double rate = elapsed > 0 ? static_cast<double>(sent) / elapsed : 0.0;
    const uint64_t position = alreadySent + sent;
    const unsigned long long s = static_cast<unsigned long long>(position);
    const unsigned long long failed = static_cast<unsigned long long>(failedAttempts);

    char text[128];
    if (expected && *expected > 0) {
        snprintf(text, sizeof text, "%llu/%llu readings", s,
                 static_cast<unsigned long long>(*expected));
    } else {
        snprintf(text, sizeof text, "%llu readings", s);
    }
    const std::string blockLast = latency.blocks > 0 ? formatDuration(latency.last) : "-";
    const std::string blockAverage = latency.blocks > 0 ? formatDuration(latency.average()) : "-";
    if (terminal) {
        std::string bar;
        if (expected && *expected > 0) {
            const int width = 30;
            double fraction = static_cast<double>(position) / static_cast<double>(*expected);
            if (fraction > 1)
                fraction = 1;
            const int filled = static_cast<int>(fraction * width);
            bar = "[" + std::string(filled, '#') + std::string(width - filled, '.') + "] ";
            char percent[16];
            snprintf(percent, sizeof percent, "%3d%% ", static_cast<int>(fraction * 100));
            bar += percent;
        }
        fprintf(stderr, "\r\033[K%s%s  %.0f/s  %llu failed attempts  block %s (avg %s)",
                bar.c_str(), text, rate, failed, blockLast.c_str(), blockAverage.c_str());
        fflush(stderr);
        shown = true;
    } else {
        fprintf(stderr,
                "progress: sent %s, %.0f readings/s, %llu failed attempts, last block %s, "
                "average block %s, %.1f s\n",
                text, rate, failed, blockLast.c_str(), blockAverage.c_str(), elapsed);
        fflush(stderr);
    }
}

void Progress::finish() {
    if (terminal && shown.exchange(false)) {
        fputs("\n", stderr);
        fflush(stderr);
    }
}

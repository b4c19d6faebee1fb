#include "progress.h"

#include <cstdio>
#include <string>

#include "logger.h"

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
                      bool force) {
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - lastShown < interval)
        return;
    lastShown = now;
    const double elapsed = std::chrono::duration<double>(now - started).count();
    const double rate = elapsed > 0 ? static_cast<double>(sent) / elapsed : 0.0;
    const unsigned long long s = static_cast<unsigned long long>(sent);
    const unsigned long long failed = static_cast<unsigned long long>(failedAttempts);

    char counts[128];
    if (expected && *expected > 0) {
        snprintf(counts, sizeof counts, "%llu/%llu readings", s,
                 static_cast<unsigned long long>(*expected));
    } else {
        snprintf(counts, sizeof counts, "%llu readings", s);
    }
    if (terminal) {
        std::string bar;
        if (expected && *expected > 0) {
            const int width = 30;
            double fraction = static_cast<double>(sent) / static_cast<double>(*expected);
            if (fraction > 1)
                fraction = 1;
            const int filled = static_cast<int>(fraction * width);
            bar = "[" + std::string(filled, '#') + std::string(width - filled, '.') + "] ";
            char percent[16];
            snprintf(percent, sizeof percent, "%3d%% ", static_cast<int>(fraction * 100));
            bar += percent;
        }
        fprintf(stderr, "\r\033[K%s%s  %.0f/s  %llu failed attempts", bar.c_str(), counts, rate,
                failed);
        fflush(stderr);
        shown = true;
    } else {
        fprintf(stderr, "progress: sent %s, %.0f readings/s, %llu failed attempts, %.1f s\n",
                counts, rate, failed, elapsed);
        fflush(stderr);
    }
}

void Progress::finish() {
    if (terminal && shown.exchange(false)) {
        fputs("\n", stderr);
        fflush(stderr);
    }
}

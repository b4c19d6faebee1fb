#include "status_line.h"

#include <cstdio>
#include <ctime>

#include "logger.h"
#include "table_writer.h"

namespace {
std::string utcText(StatusLine::WallTime time) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
    return text;
}
}  // namespace

void StatusLine::record(const BatchOutcome& outcome, WallTime now) {
    anything = true;
    for (const TableOutcome& table : outcome.tables) {
        counts.rescued += table.rescued;
        counts.rejected += table.rejected;
        counts.skipped += table.skipped;
        // Rows stored by a table that failed later count too: the resend
        // does not write them again.
        counts.written += table.written;
    }
    if (outcome.sent()) {
        lastSuccess = now;
        anySuccess = true;
    } else {
        ++counts.failedBatches;
    }
}

void StatusLine::addStatements(uint64_t count, std::chrono::nanoseconds time) {
    counts.statements += count;
    counts.statementTime += time;
    anything = anything || count > 0;
}

std::string StatusLine::text() const {
    const double mean = counts.statements == 0
                            ? 0.0
                            : std::chrono::duration<double>(counts.statementTime).count() /
                                  static_cast<double>(counts.statements);
    char line[512];
    std::snprintf(line, sizeof line,
                  "Status: %llu readings written, %llu values rescued, %llu readings rejected, "
                  "%llu rows skipped as already written, %llu statements (mean %.3f s), %llu "
                  "failed batches, %llu reconnects; last successful batch at %s",
                  static_cast<unsigned long long>(counts.written),
                  static_cast<unsigned long long>(counts.rescued),
                  static_cast<unsigned long long>(counts.rejected),
                  static_cast<unsigned long long>(counts.skipped),
                  static_cast<unsigned long long>(counts.statements), mean,
                  static_cast<unsigned long long>(counts.failedBatches),
                  static_cast<unsigned long long>(counts.reconnects),
                  anySuccess ? utcText(lastSuccess).c_str() : "never");
    return line;
}

bool StatusLine::logIfDue(SteadyTime now) {
    if (!started) {
        started = true;
        lastLine = now;
    }
    if (now < lastLine + INTERVAL)
        return false;
    log(now);
    return true;
}

void StatusLine::logFinal(SteadyTime now) {
    if (anything)
        log(now);
}

void StatusLine::log(SteadyTime now) {
    Logger::getLogger()->info("%s", text().c_str());
    counts = Counts{};
    lastLine = now;
    anything = false;
}

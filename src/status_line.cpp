#include "status_line.h"

#include <cstdio>
#include <ctime>

#include "logger.h"
#include "table_writer.h"
#include "text_util.h"

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

namespace {
// "<n> readings written, <n> values rescued, <n> readings rejected, <n> rows
// skipped as already written", each noun in the singular for one.
std::string rowCounts(const StatusLine::Counts& c) {
    return countOf(c.written, "reading", "readings") + " written, " +
           countOf(c.rescued, "value", "values") + " rescued, " +
           countOf(c.rejected, "reading", "readings") + " rejected, " +
           countOf(c.skipped, "row", "rows") + " skipped as already written";
}
}  // namespace

std::string StatusLine::text() const {
    const double mean = counts.statements == 0
                            ? 0.0
                            : std::chrono::duration<double>(counts.statementTime).count() /
                                  static_cast<double>(counts.statements);
    const Counts all = totalsWith(counts);
    char rest[256];
    std::snprintf(rest, sizeof rest, ", %s (mean %.3f s), %s, %s",
                  countOf(counts.statements, "statement", "statements").c_str(), mean,
                  countOf(counts.failedBatches, "failed batch", "failed batches").c_str(),
                  countOf(counts.reconnects, "reconnect", "reconnects").c_str());
    return "Status: " + rowCounts(counts) + rest + "; since the start: " + rowCounts(all) +
           "; last successful batch at " + (anySuccess ? utcText(lastSuccess) : "never");
}

StatusLine::Counts StatusLine::totalsWith(const Counts& interval) const {
    Counts all = totals;
    all.written += interval.written;
    all.rescued += interval.rescued;
    all.rejected += interval.rejected;
    all.skipped += interval.skipped;
    all.statements += interval.statements;
    all.statementTime += interval.statementTime;
    all.failedBatches += interval.failedBatches;
    all.reconnects += interval.reconnects;
    return all;
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
    totals = totalsWith(counts);
    counts = Counts{};
    lastLine = now;
    anything = false;
}

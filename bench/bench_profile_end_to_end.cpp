// A fixed end-to-end workload for profilers: one batch sent by a connector
// with its real ODBC client into an emulator warehouse, then the same INSERT
// texts executed straight through ODBC on a connection of its own (the
// baseline of the end_to_end benchmark). A first send, not measured, creates
// the tables and yields the INSERT texts through the logger's capture.
//
// Usage: bench_profile_end_to_end [readings [datapoints [tables]]]
// (defaults 10000 5 1). Under callgrind each part is dumped on its own:
//   valgrind --tool=callgrind --instr-atstart=no bench/bench_profile_end_to_end 10000 5 1
// writes callgrind.out.<pid>.1 (the send) and callgrind.out.<pid>.2 (the
// baseline); their totals give the ratio in instructions. Without callgrind
// the program prints wall-clock times of both parts.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench_support.h"
#include "logger.h"

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define LAKESINK_PROFILE_START()         \
    do {                                 \
        CALLGRIND_START_INSTRUMENTATION; \
        CALLGRIND_ZERO_STATS;            \
    } while (0)
#define LAKESINK_PROFILE_DUMP(name) CALLGRIND_DUMP_STATS_AT(name)
#else
#define LAKESINK_PROFILE_START() (void)0
#define LAKESINK_PROFILE_DUMP(name) (void)0
#endif

namespace {

double millisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

const char kExecuting[] = "Executing query: INSERT INTO ";

}  // namespace

int main(int argc, char** argv) {
    const size_t readings = bench::argument(argc, argv, 1, 10000);
    const size_t datapoints = bench::argument(argc, argv, 2, 5);
    const size_t tables = bench::argument(argc, argv, 3, 1);

    Logger* logger = Logger::getLogger();
    logger->setMinLevel(Logger::Level::WARNING);
    bench::BenchWarehouse warehouse;
    bench::SyntheticBatch batch(readings, datapoints, tables);
    auto connector = bench::makeConnector(new ODBCClient(), warehouse.additionalParams());

    std::vector<std::string> inserts;
    logger->setCapture([&inserts](Logger::Level, const std::string& text) {
        if (text.compare(0, sizeof(kExecuting) - 1, kExecuting) == 0)
            inserts.push_back(text.substr(sizeof("Executing query: ") - 1));
    });
    const bool warm = connector->send(batch.pointers());
    logger->setCapture(nullptr);
    // At least one INSERT per table: more when the rows are cut at the
    // statement limit.
    if (!warm || inserts.size() < tables) {
        std::fprintf(stderr, "the first send failed\n");
        return 1;
    }
    bench::RawSession session(warehouse.connectionString());

    LAKESINK_PROFILE_START();
    auto start = std::chrono::steady_clock::now();
    const bool sent = connector->send(batch.pointers());
    const double sendMs = millisecondsSince(start);
    LAKESINK_PROFILE_DUMP("send");
    start = std::chrono::steady_clock::now();
    for (const std::string& sql : inserts)
        session.execute(sql);
    const double baselineMs = millisecondsSince(start);
    LAKESINK_PROFILE_DUMP("baseline");
    if (!sent) {
        std::fprintf(stderr, "the measured send failed\n");
        return 1;
    }
    std::printf(
        "send %.2f ms, baseline %.2f ms, ratio %.2f (%zu readings x %zu datapoints, %zu "
        "tables)\n",
        sendMs, baselineMs, sendMs / baselineMs, readings, datapoints, tables);
    return 0;
}

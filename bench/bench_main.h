#pragma once
// What the Google Benchmark programs share around their benchmarks: the
// argument sets of readings, datapoints and tables, and the run of the
// benchmarks the command line selects. Header only, for the programs that
// link Google Benchmark (bench_support does not). Not thread-safe: main()
// calls it once.

#include <benchmark/benchmark.h>

#include <cstdint>

#include "logger.h"

namespace bench {

// Every combination of 500 or 10,000 readings, 5, 50 or 500 datapoints per
// reading and 1 or 20 tables.
inline void BatchShapeArguments(benchmark::internal::Benchmark* b) {
    b->ArgNames({"readings", "datapoints", "tables"});
    for (int64_t readings : {500, 10000})
        for (int64_t datapoints : {5, 50, 500})
            for (int64_t tables : {1, 20})
                b->Args({readings, datapoints, tables});
}

// Runs the benchmarks the command line selects, the plugin's configuration
// lines (info) kept out of the table. Returns main's exit status: 1 for an
// argument Google Benchmark does not know.
inline int runBenchmarks(int argc, char** argv) {
    Logger::getLogger()->setMinLevel(Logger::Level::WARNING);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

}  // namespace bench

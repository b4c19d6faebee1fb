// A fixed amount of send work for profilers (callgrind, perf): builds one
// batch, sends it once to fill the schema cache, then sends it `sends` more
// times through a connector on a client that accepts every statement without
// executing it (the map_and_build path).
//
// Usage: bench_profile_send [readings [datapoints [tables [sends]]]]
// (defaults 10000 5 1 3). For instruction counts of the warm sends only:
//   valgrind --tool=callgrind --instr-atstart=no bench/bench_profile_send 10000 5 1 3
// (collection is switched on around the warm sends when callgrind.h is there).

#include <cstdio>
#include <cstdlib>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define LAKESINK_COLLECT_ON() CALLGRIND_START_INSTRUMENTATION
#define LAKESINK_COLLECT_OFF() CALLGRIND_STOP_INSTRUMENTATION
#else
#define LAKESINK_COLLECT_ON() (void)0
#define LAKESINK_COLLECT_OFF() (void)0
#endif

#include "bench_support.h"
#include "logger.h"

int main(int argc, char** argv) {
    const size_t readings = bench::argument(argc, argv, 1, 10000);
    const size_t datapoints = bench::argument(argc, argv, 2, 5);
    const size_t tables = bench::argument(argc, argv, 3, 1);
    const size_t sends = bench::argument(argc, argv, 4, 3);

    Logger::getLogger()->setMinLevel(Logger::Level::WARNING);
    bench::SyntheticBatch batch(readings, datapoints, tables);
    auto* client = new bench::NullClient();
    auto connector = bench::makeConnector(client);
    // The first send creates the tables; it stays out of the profile.
    if (!connector->send(batch.pointers())) {
        std::fprintf(stderr, "the first send failed\n");
        return 1;
    }
    client->bytes = 0;
    LAKESINK_COLLECT_ON();
    for (size_t i = 0; i < sends; ++i) {
        if (!connector->send(batch.pointers())) {
            std::fprintf(stderr, "a send failed\n");
            return 1;
        }
    }
    LAKESINK_COLLECT_OFF();
    std::printf("%zu sends of %zu readings x %zu datapoints into %zu tables: %zu bytes of SQL\n",
                sends, readings, datapoints, tables, client->bytes);
    return 0;
}

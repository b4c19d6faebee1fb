// first_batch: the cost of the first batch a plugin instance sends after it
// starts, into a table that already holds 1,000,000 rows in the emulator.
// With `delivery` exactly-once the table existed before the instance, so its
// rows are written with the insert-only MERGE, which reads the target to skip
// rows already there; with at-least-once they are a plain INSERT.
//
// Setup (not timed): one warehouse under /dev/shm whose table asset_00 is
// filled by the plugin itself, 100 batches of 10,000 readings of 5 datapoints
// sent with delivery at-least-once. Each iteration then starts a new plugin
// instance (plugin_init), times its first plugin_send of a batch of 500
// readings of 5 datapoints, times a second send of a fresh batch (the steady
// state), and shuts the instance down.
//
// Arguments: `merge` 1 for exactly-once (MERGE), 0 for at-least-once
// (INSERT); `resent` 1 when the first batch is one an earlier instance had
// already written (the resend after a crash: the MERGE skips every row, the
// INSERT repeats them), 0 when its readings are new.
//
// Counters: first_s (seconds of the first send, also the reported time),
// steady_s (seconds of the second send), rows (rows in the table before the
// timed send, in millions).

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_main.h"
#include "bench_support.h"
#include "config_category.h"
#include "logger.h"
#include "plugin.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kFillBatch = 10000;
constexpr size_t kFillBatches = 100;  // 1,000,000 rows
constexpr size_t kReadings = 500;
constexpr size_t kDatapoints = 5;

const bench::PluginEntries& plugin() {
    return bench::loadPlugin(LAKESINK_PLUGIN_PATH);
}

// A batch of one table whose readings can be moved to the times of any
// numbered send.
class MovableBatch {
  public:
    explicit MovableBatch(size_t readings) : batch(readings, kDatapoints, 1) {}
    const std::vector<Reading*>& at(uint64_t send) { return batch.movedTo(send); }

  private:
    bench::SyntheticBatch batch;
};

// A started plugin instance, shut down with the object.
class Instance {
  public:
    Instance(const bench::BenchWarehouse& warehouse, bool merge)
        : instance(plugin(),
                   bench::categoryJson(warehouse.additionalParams(),
                                       std::string(R"(, "delivery": {"value": ")") +
                                           (merge ? "exactly-once" : "at-least-once") + R"("})")) {}

    void send(const std::vector<Reading*>& readings) {
        if (instance.send(readings) != readings.size())
            throw std::runtime_error("plugin_send failed");
    }

  private:
    bench::PluginInstance instance;
};

// The warehouse with its table of a million rows, and the next free send
// number (times no earlier send used).
struct Site {
    bench::BenchWarehouse warehouse;
    MovableBatch batch{kReadings};
    uint64_t nextSend = 0;

    Site() {
        MovableBatch fill(kFillBatch);
        Instance writer(warehouse, false);
        for (size_t i = 0; i < kFillBatches; ++i)
            writer.send(fill.at(nextSend++));
    }
    long rows() const {
        bench::RawSession session(warehouse.connectionString());
        return session.countRows("asset_00");
    }
};

Site& site() {
    static Site filled;
    return filled;
}

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

void BM_FirstBatch(benchmark::State& state) {
    const bool merge = state.range(0) != 0;
    const bool resent = state.range(1) != 0;
    double first = 0, steady = 0;
    long rows = 0;
    try {
        Site& s = site();
        rows = s.rows();
        for (auto _ : state) {
            const uint64_t send = s.nextSend++;
            if (resent)
                Instance(s.warehouse, false).send(s.batch.at(send));
            Instance instance(s.warehouse, merge);
            auto start = Clock::now();
            instance.send(s.batch.at(send));
            const double elapsed = seconds(Clock::now() - start);
            state.SetIterationTime(elapsed);
            first += elapsed;
            start = Clock::now();
            instance.send(s.batch.at(s.nextSend++));
            steady += seconds(Clock::now() - start);
        }
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
        return;
    }
    const auto n = static_cast<double>(state.iterations());
    state.counters["first_s"] = first / n;
    state.counters["steady_s"] = steady / n;
    state.counters["rows"] = static_cast<double>(rows) / 1e6;
}

}  // namespace

BENCHMARK(BM_FirstBatch)
    ->ArgNames({"merge", "resent"})
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({0, 1})
    ->Args({1, 1})
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    bench::useEmulatorDriver();
    return bench::runBenchmarks(argc, argv);
}

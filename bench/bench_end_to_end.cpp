// end_to_end: plugin_send into the emulator warehouse, beside a baseline that
// executes the identical INSERT texts straight through ODBC.
//
// The plugin is loaded with dlopen and initialised with a category pointing at
// a temporary emulator warehouse. A first send (not timed) creates the tables;
// while it runs the host logger's capture collects the statements the plugin
// executed ("Executing query: ..."), and its INSERT texts become the baseline.
// Each iteration then times, one after the other on the same warehouse and
// tables: plugin_send of the batch (the reported time) and the baseline, which
// runs the same INSERT texts on a connection of its own, one fresh statement
// handle per statement, as the plugin does. Timing both in every iteration
// keeps the machine's load drifts out of the ratio.
//
// Counters: plugin_ms and baseline_ms (per batch), ratio = plugin / baseline,
// items_per_second = readings/s through the plugin.

#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "bench_main.h"
#include "bench_support.h"
#include "config_category.h"
#include "logger.h"
#include "plugin.h"

namespace {

using Clock = std::chrono::steady_clock;

const bench::PluginEntries& plugin() {
    return bench::loadPlugin(LAKESINK_PLUGIN_PATH);
}

const char kExecuting[] = "Executing query: ";
const char kInsert[] = "INSERT INTO ";

// One warehouse, one plugin instance and one baseline session per argument set.
class Fixture {
  public:
    Fixture(size_t readings, size_t datapoints, size_t tables)
        : batch(readings, datapoints, tables),
          instance(plugin(), bench::categoryJson(warehouse.additionalParams())) {
        // The warm-up send creates the tables; the capture sees every
        // statement the plugin executes.
        Logger* logger = Logger::getLogger();
        logger->setCapture([this](Logger::Level, const std::string& text) {
            if (text.compare(0, sizeof(kExecuting) - 1, kExecuting) == 0 &&
                text.compare(sizeof(kExecuting) - 1, sizeof(kInsert) - 1, kInsert) == 0) {
                inserts.push_back(text.substr(sizeof(kExecuting) - 1));
            }
        });
        const uint32_t sent = instance.send(batch.pointers());
        logger->setCapture(nullptr);
        if (sent != batch.readings())
            throw std::runtime_error("the warm-up plugin_send failed");
        // A table's rows may be cut into several INSERTs at the statement
        // limit ("maxStatementBytes"); the baseline runs the same texts.
        if (inserts.size() < tables)
            throw std::runtime_error("expected at least one INSERT per table");

        session = std::make_unique<bench::RawSession>(warehouse.connectionString());
    }

    bench::BenchWarehouse warehouse;
    bench::SyntheticBatch batch;
    bench::PluginInstance instance;
    std::vector<std::string> inserts;
    std::unique_ptr<bench::RawSession> session;
};

std::tuple<size_t, size_t, size_t> fixtureKey{0, 0, 0};
std::unique_ptr<Fixture> fixture;

Fixture& fixtureFor(size_t readings, size_t datapoints, size_t tables) {
    const auto wanted = std::make_tuple(readings, datapoints, tables);
    if (!fixture || fixtureKey != wanted) {
        fixture.reset();
        fixture = std::make_unique<Fixture>(readings, datapoints, tables);
        fixtureKey = wanted;
    }
    return *fixture;
}

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

void BM_EndToEnd(benchmark::State& state) {
    const size_t readings = static_cast<size_t>(state.range(0));
    const size_t datapoints = static_cast<size_t>(state.range(1));
    const size_t tables = static_cast<size_t>(state.range(2));
    Fixture* f = nullptr;
    try {
        f = &fixtureFor(readings, datapoints, tables);
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
        return;
    }

    double pluginSeconds = 0;
    double baselineSeconds = 0;
    size_t bytes = 0;
    for (const std::string& sql : f->inserts)
        bytes += sql.size();

    for (auto _ : state) {
        const auto start = Clock::now();
        const uint32_t sent = f->instance.send(f->batch.pointers());
        const auto pluginDone = Clock::now();
        if (sent != readings) {
            state.SkipWithError("plugin_send failed");
            break;
        }
        try {
            for (const std::string& sql : f->inserts)
                f->session->execute(sql);
        } catch (const std::exception& e) {
            state.SkipWithError(e.what());
            break;
        }
        const auto baselineDone = Clock::now();
        const double plugin = seconds(pluginDone - start);
        pluginSeconds += plugin;
        baselineSeconds += seconds(baselineDone - pluginDone);
        state.SetIterationTime(plugin);
    }

    const auto iterations = static_cast<int64_t>(state.iterations());
    if (iterations == 0)
        return;
    state.SetItemsProcessed(iterations * static_cast<int64_t>(readings));
    state.SetBytesProcessed(iterations * static_cast<int64_t>(bytes));
    state.counters["plugin_ms"] = 1000.0 * pluginSeconds / static_cast<double>(iterations);
    state.counters["baseline_ms"] = 1000.0 * baselineSeconds / static_cast<double>(iterations);
    state.counters["ratio"] = baselineSeconds > 0 ? pluginSeconds / baselineSeconds : 0.0;
}

}  // namespace

BENCHMARK(BM_EndToEnd)
    ->Apply(bench::BatchShapeArguments)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    bench::useEmulatorDriver();
    const int status = bench::runBenchmarks(argc, argv);
    fixture.reset();
    return status;
}

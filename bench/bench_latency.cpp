// latency: plugin_send into an emulator warehouse that answers at a SQL
// warehouse's pace, for several table counts and numbers of parallel writers.
//
// The warehouse folder holds a `latency` file of "statement 300" and
// "commit 700": every statement waits 0.3 s and every write 0.7 s more, about
// one second per INSERT. A batch is 500 readings of 5 datapoints spread over
// 1, 5, 20 or 100 tables (assets); each table count has its own warehouse,
// shared by the writer settings 1, 4 and 8. Each setting gets its own plugin
// instance (loaded with dlopen, the configuration item `writers` set) and one
// warm-up send that is not timed: it creates the tables (first setting) or
// learns their columns and opens the writer connections (the others). The
// warm-up runs without the latency file, so it takes milliseconds; the file is
// written before the timed sends and removed again afterwards.
//
// Every send stamps the batch's readings with fresh timestamps, so each timed
// batch writes new rows. A batch costs seconds, so every argument set runs two
// timed batches only.
//
// Counters: readings_per_s (readings through the plugin per second) and
// s_per_batch (seconds per plugin_send).
//
// BM_AllRowsRefused is the worst case of one table: its 500 rows are all
// refused. The table is created beforehand with a NOT NULL column that no
// reading carries, so every INSERT of its rows fails with 23502 and the
// plugin sends them in parts until its budget of statements is spent, then
// keeps them in the rejects table. The warm-up send (without the latency
// file) adds the readings' columns, creates the rejects table and opens the
// writer connections. Counters per batch: s_per_batch, statements (every
// statement the plugin ran), inserts (those into the table and into the
// rejects table) and rejected (rows the rejects table gained, which must be
// every reading).
//
// `--quick` runs only 1 and 20 tables; --benchmark_filter selects any other
// subset (e.g. 'tables:100/', 'AllRowsRefused').

#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_support.h"
#include "config_category.h"
#include "logger.h"
#include "plugin.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kReadings = 500;
constexpr size_t kDatapoints = 5;
constexpr int64_t kTimedBatches = 2;
// Each send moves the batch this far forward in time: far more than the
// batch's own span (one reading per millisecond).
constexpr uint64_t kSendStrideMicros = 3600ull * 1000000ull;
const char kLatency[] = "statement 300\ncommit 700\n";

const bench::PluginEntries& plugin() {
    return bench::loadPlugin(LAKESINK_PLUGIN_PATH);
}

// One warehouse and one batch per table count. The batch's readings are
// restamped before every send.
class Site {
  public:
    explicit Site(size_t tables) : tables(tables), batch(kReadings, kDatapoints, tables) {
        for (const Reading* reading : batch.pointers()) {
            firstStamps.push_back(reading->getTimestamp());
            firstUserStamps.push_back(reading->getUserTimestamp());
        }
    }

    // Moves every reading of the batch to a time no earlier send used.
    const std::vector<Reading*>& freshBatch() {
        ++sends;
        const std::vector<Reading*>& readings = batch.pointers();
        for (size_t i = 0; i < readings.size(); ++i) {
            readings[i]->setTimestamp(firstStamps[i] + sends * kSendStrideMicros);
            readings[i]->setUserTimestamp(firstUserStamps[i] + sends * kSendStrideMicros);
        }
        return readings;
    }

    void setLatency(bool on) {
        const std::filesystem::path file = warehouse.directory() + "/latency";
        if (!on) {
            std::filesystem::remove(file);
            return;
        }
        std::ofstream out(file, std::ios::trunc);
        out << kLatency;
        if (!out.flush())
            throw std::runtime_error("cannot write " + file.string());
    }

    std::string connectionString() const { return warehouse.connectionString(); }

    // The category of a plugin instance writing to this warehouse.
    std::string categoryJson(int64_t writers) const {
        std::string json = bench::categoryJson(warehouse.additionalParams());
        json.pop_back();  // the closing brace
        return json + R"(, "writers": {"value": ")" + std::to_string(writers) + R"("}})";
    }

    const size_t tables;

  private:
    bench::BenchWarehouse warehouse;
    bench::SyntheticBatch batch;
    std::vector<uint64_t> firstStamps;
    std::vector<uint64_t> firstUserStamps;
    uint64_t sends = 0;
};

std::unique_ptr<Site> site;

Site& siteFor(size_t tables) {
    if (!site || site->tables != tables) {
        site.reset();
        site = std::make_unique<Site>(tables);
    }
    return *site;
}

// A plugin instance, shut down with the object.
class Instance {
  public:
    Instance(Site& site, int64_t writers) {
        ConfigCategory category("lakesink", site.categoryJson(writers));
        handle = plugin().init(&category);
        if (!handle)
            throw std::runtime_error("plugin_init failed");
    }
    ~Instance() { plugin().shutdown(handle); }
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;

    PLUGIN_HANDLE handle = nullptr;
};

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

void BM_Latency(benchmark::State& state) {
    const size_t tables = static_cast<size_t>(state.range(0));
    const int64_t writers = state.range(1);
    std::unique_ptr<Instance> instance;
    Site* s = nullptr;
    try {
        s = &siteFor(tables);
        s->setLatency(false);
        instance = std::make_unique<Instance>(*s, writers);
        if (plugin().send(instance->handle, s->freshBatch()) != kReadings)
            throw std::runtime_error("the warm-up plugin_send failed");
        s->setLatency(true);
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
        return;
    }

    double total = 0;
    for (auto _ : state) {
        const std::vector<Reading*>& readings = s->freshBatch();
        const auto start = Clock::now();
        const uint32_t sent = plugin().send(instance->handle, readings);
        const double elapsed = seconds(Clock::now() - start);
        if (sent != kReadings) {
            state.SkipWithError("plugin_send failed");
            break;
        }
        total += elapsed;
        state.SetIterationTime(elapsed);
    }
    s->setLatency(false);

    const auto batches = static_cast<double>(state.iterations());
    if (batches == 0 || total <= 0)
        return;
    state.counters["readings_per_s"] = batches * static_cast<double>(kReadings) / total;
    state.counters["s_per_batch"] = total / batches;
}

// Counts the statements the plugin runs while it is alive, and the INSERTs
// among them (from any thread: the logger calls the capture under its lock).
class StatementCounter {
  public:
    StatementCounter() {
        Logger::getLogger()->setCapture([this](Logger::Level, const std::string& text) {
            static const std::string executing = "Executing query: ";
            static const std::string insert = "INSERT INTO ";
            if (text.compare(0, executing.size(), executing) != 0)
                return;
            ++statements;
            if (text.compare(executing.size(), insert.size(), insert) == 0)
                ++inserts;
        });
    }
    ~StatementCounter() { Logger::getLogger()->setCapture(nullptr); }
    StatementCounter(const StatementCounter&) = delete;
    StatementCounter& operator=(const StatementCounter&) = delete;

    std::atomic<size_t> statements{0};
    std::atomic<size_t> inserts{0};
};

// The batch's one table exists with the columns its readings need and one
// more, which every INSERT leaves NULL and which must not be NULL.
void createRefusingTable(Site& site) {
    bench::RawSession session(site.connectionString());
    session.execute(
        "CREATE TABLE asset_00 (asset_code STRING NOT NULL, user_ts TIMESTAMP, ts TIMESTAMP, "
        "corvane STRING, dp_000 DOUBLE, dp_001 BIGINT, dp_002 DOUBLE, dp_003 STRING, "
        "dp_004 DOUBLE, required_code STRING NOT NULL)");
}

long rejectedRows(Site& site) {
    bench::RawSession session(site.connectionString());
    return session.countRows("lakesink_rejects");
}

void BM_AllRowsRefused(benchmark::State& state) {
    const int64_t writers = state.range(0);
    std::unique_ptr<Site> s;
    std::unique_ptr<Instance> instance;
    long rejectedBefore = 0;
    try {
        s = std::make_unique<Site>(1);
        createRefusingTable(*s);
        instance = std::make_unique<Instance>(*s, writers);
        if (plugin().send(instance->handle, s->freshBatch()) != kReadings)
            throw std::runtime_error("the warm-up plugin_send failed");
        rejectedBefore = rejectedRows(*s);
        s->setLatency(true);
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
        return;
    }

    double total = 0;
    size_t statements = 0;
    size_t inserts = 0;
    for (auto _ : state) {
        const std::vector<Reading*>& readings = s->freshBatch();
        StatementCounter counter;
        const auto start = Clock::now();
        const uint32_t sent = plugin().send(instance->handle, readings);
        const double elapsed = seconds(Clock::now() - start);
        if (sent != kReadings) {
            state.SkipWithError("plugin_send failed");
            break;
        }
        total += elapsed;
        statements += counter.statements.load();
        inserts += counter.inserts.load();
        state.SetIterationTime(elapsed);
    }
    s->setLatency(false);

    const auto batches = static_cast<double>(state.iterations());
    if (batches == 0 || total <= 0)
        return;
    const long rejected = rejectedRows(*s) - rejectedBefore;
    if (rejected != static_cast<long>(state.iterations() * kReadings)) {
        state.SkipWithError("the rejects table does not hold every refused reading");
        return;
    }
    state.counters["s_per_batch"] = total / batches;
    state.counters["statements"] = static_cast<double>(statements) / batches;
    state.counters["inserts"] = static_cast<double>(inserts) / batches;
    state.counters["rejected"] = static_cast<double>(rejected) / batches;
}

void LatencyArguments(benchmark::internal::Benchmark* b) {
    b->ArgNames({"tables", "writers"});
    // Table count outermost: the writer settings of one count share its
    // warehouse and tables.
    for (int64_t tables : {1, 5, 20, 100})
        for (int64_t writers : {1, 4, 8})
            b->Args({tables, writers});
}

}  // namespace

BENCHMARK(BM_Latency)
    ->Apply(LatencyArguments)
    ->Iterations(kTimedBatches)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

BENCHMARK(BM_AllRowsRefused)
    ->ArgName("writers")
    ->Arg(1)
    ->Arg(4)
    ->Iterations(kTimedBatches)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

int main(int argc, char** argv) {
    // Configuration lines (info) would only clutter the table.
    Logger::getLogger()->setMinLevel(Logger::Level::WARNING);
    bench::useEmulatorDriver();
    std::vector<char*> args(argv, argv + argc);
    static char quickFilter[] = "--benchmark_filter=tables:(1|20)/";
    for (char*& arg : args) {
        if (std::strcmp(arg, "--quick") == 0)
            arg = quickFilter;
    }
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data()))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    site.reset();
    return 0;
}

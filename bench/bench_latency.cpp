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
// BM_Site is a site of 200 assets at 500 ms per statement + 500 ms per
// write (about one second per INSERT): blocks of 500 readings of 5
// datapoints, round-robin over the assets, `writers` 4, in three layouts: a
// table per asset (`table` empty), one table `readings` with a column per
// datapoint (`columns`) and one table with the datapoints as one VARIANT
// (`variant`). Each layout gets its own warehouse and an untimed warm-up send
// without the latency file that creates the tables. One block is timed.
// Counters: readings_per_s, s_per_block, statements and inserts (per block).
// The shared-table layouts also check that the table holds every reading.
//
// BM_LargeBlock is one block of 10,000 readings of 50 datapoints from the 200
// assets into the one table `readings`, `maxStatementBytes` 1048576 and
// `writers` 8, at the same latency. The warehouse's `limits` file refuses
// any statement longer than 1048576 bytes, so a longer one fails the run, and
// the program also checks the longest statement it saw. Before the timed
// block, one single-row INSERT into a table of its own is timed: the latency
// of one statement. Counters: s_per_block, statements, inserts,
// longest_statement (bytes), latency_s (the single-row INSERT) and
// latencies (s_per_block / latency_s; the target is at most 3).
//
// BM_FirstBlock is the first block of a site of 200 new assets at 300 ms per
// statement (no commit latency), `writers` 4: every table is created in that
// block. It is timed, then the next block (tables known, one INSERT each).
// Counters: first_s, later_s, ratio (first_s / later_s; the target is at
// most 2.2: a new table costs its CREATE and then its INSERT, two statements
// where a later block spends one) and first_statements / later_statements.
//
// `--quick` runs only 1 and 20 tables; --benchmark_filter selects any other
// subset (e.g. 'tables:100/', 'AllRowsRefused').

#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_main.h"
#include "bench_support.h"
#include "config_category.h"
#include "logger.h"
#include "plugin.h"
#include "stream_emulator.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kReadings = 500;
constexpr size_t kDatapoints = 5;
constexpr int64_t kTimedBatches = 2;
const char kLatency[] = "statement 300\ncommit 700\n";
// The site cases: half a second to run a statement, half a second to commit.
const char kSiteLatency[] = "statement 500\ncommit 500\n";
constexpr size_t kSiteAssets = 200;
constexpr int64_t kSiteWriters = 4;
constexpr size_t kLargeReadings = 10000;
constexpr size_t kLargeDatapoints = 50;
constexpr int64_t kLargeWriters = 8;
constexpr size_t kStatementLimit = 1048576;

const bench::PluginEntries& plugin() {
    return bench::loadPlugin(LAKESINK_PLUGIN_PATH);
}

// One warehouse and one batch per table count. The batch's readings are
// moved in time before every send.
class Site {
  public:
    explicit Site(size_t tables, size_t readings = kReadings, size_t datapoints = kDatapoints)
        : tables(tables), batch(readings, datapoints, tables) {}

    // Moves every reading of the batch to a time no earlier send used.
    const std::vector<Reading*>& freshBatch() { return batch.movedTo(++sends); }

    // Writes `text` (kLatency when on and none is given) into the latency
    // file, or removes the file.
    void setLatency(bool on, const char* text = kLatency) {
        const std::string file = warehouse.directory() + "/latency";
        if (!on) {
            std::filesystem::remove(file);
            return;
        }
        writeFile(file, text);
    }

    void limitStatements(size_t bytes) {
        writeFile(warehouse.directory() + "/limits",
                  "statement_bytes " + std::to_string(bytes) + "\n");
    }

    std::string connectionString() const { return warehouse.connectionString(); }
    const std::string& directory() const { return warehouse.directory(); }

    // The category of a plugin instance writing to this warehouse. `items`
    // holds further items as JSON members, each starting with a comma.
    std::string categoryJson(int64_t writers, const std::string& items = "") const {
        std::string params = warehouse.additionalParams();
        // The stream needs a service principal (none of it a real credential).
        if (items.find("\"transport\"") != std::string::npos)
            params = params.substr(0, params.rfind('}')) +
                     R"(, "Auth_Client_ID": "bench", "Auth_Client_Secret": "bench-only"})";
        return bench::categoryJson(
            params, R"(, "writers": {"value": ")" + std::to_string(writers) + R"("})" + items);
    }

    const size_t tables;

  private:
    static void writeFile(const std::string& file, const std::string& text) {
        std::ofstream out(file, std::ios::trunc);
        out << text;
        if (!out.flush())
            throw std::runtime_error("cannot write " + file);
    }

    bench::BenchWarehouse warehouse;
    bench::SyntheticBatch batch;
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

using Instance = bench::PluginInstance;

// A plugin instance writing to `site` (`writers`, further `items`).
std::unique_ptr<Instance> startInstance(Site& site, int64_t writers,
                                        const std::string& items = "") {
    return std::make_unique<Instance>(plugin(), site.categoryJson(writers, items));
}

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// A plugin instance on `site` (`writers`, further `items`) after one untimed
// warm-up send, which runs without the latency file and so creates or learns
// the tables in milliseconds; then the latency file holds `latency`. Throws
// std::runtime_error when the warm-up send does not take every reading.
std::unique_ptr<Instance> warmedUpInstance(Site& site, int64_t writers, const std::string& items,
                                           const char* latency) {
    auto instance = startInstance(site, writers, items);
    const std::vector<Reading*>& readings = site.freshBatch();
    if (instance->send(readings) != readings.size())
        throw std::runtime_error("the warm-up plugin_send failed");
    site.setLatency(true, latency);
    return instance;
}

void BM_Latency(benchmark::State& state) {
    const size_t tables = static_cast<size_t>(state.range(0));
    const int64_t writers = state.range(1);
    std::unique_ptr<Instance> instance;
    Site* s = nullptr;
    try {
        s = &siteFor(tables);
        s->setLatency(false);
        instance = warmedUpInstance(*s, writers, "", kLatency);
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
        return;
    }

    double total = 0;
    for (auto _ : state) {
        const std::vector<Reading*>& readings = s->freshBatch();
        const auto start = Clock::now();
        const uint32_t sent = instance->send(readings);
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
            const size_t bytes = text.size() - executing.size();
            if (bytes > longest)
                longest = bytes;
        });
    }
    ~StatementCounter() { Logger::getLogger()->setCapture(nullptr); }
    StatementCounter(const StatementCounter&) = delete;
    StatementCounter& operator=(const StatementCounter&) = delete;

    std::atomic<size_t> statements{0};
    std::atomic<size_t> inserts{0};
    // Bytes of the longest statement (written under the logger's lock).
    std::atomic<size_t> longest{0};
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
        instance = startInstance(*s, writers);
        if (instance->send(s->freshBatch()) != kReadings)
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
        const uint32_t sent = instance->send(readings);
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

// What one timed block cost.
struct Block {
    double seconds = 0;
    size_t statements = 0;
    size_t inserts = 0;
    size_t longest = 0;
};

// Sends the site's next batch and times it. Throws std::runtime_error when
// the plugin does not take every reading.
Block timedBlock(Site& site, const Instance& instance) {
    const std::vector<Reading*>& readings = site.freshBatch();
    StatementCounter counter;
    const auto start = Clock::now();
    const uint32_t sent = instance.send(readings);
    Block block;
    block.seconds = seconds(Clock::now() - start);
    if (sent != readings.size()) {
        throw std::runtime_error("plugin_send took " + std::to_string(sent) + " of " +
                                 std::to_string(readings.size()) + " readings");
    }
    block.statements = counter.statements.load();
    block.inserts = counter.inserts.load();
    block.longest = counter.longest.load();
    return block;
}

// Times one block per iteration (the latency switched off afterwards); the
// blocks' seconds, statements and INSERTs added up, the longest statement.
Block timedBlocks(benchmark::State& state, Site& site, const Instance& instance) {
    Block sum;
    for (auto _ : state) {
        try {
            const Block block = timedBlock(site, instance);
            sum.seconds += block.seconds;
            sum.statements += block.statements;
            sum.inserts += block.inserts;
            sum.longest = std::max(sum.longest, block.longest);
            state.SetIterationTime(block.seconds);
        } catch (const std::exception& e) {
            state.SkipWithError(e.what());
            break;
        }
    }
    site.setLatency(false);
    return sum;
}

// The per-block counters of `sum`, blocks of `readings` readings.
void blockCounters(benchmark::State& state, const Block& sum, size_t readings) {
    const auto blocks = static_cast<double>(state.iterations());
    state.counters["readings_per_s"] = blocks * static_cast<double>(readings) / sum.seconds;
    state.counters["s_per_block"] = sum.seconds / blocks;
    state.counters["statements"] = static_cast<double>(sum.statements) / blocks;
    state.counters["inserts"] = static_cast<double>(sum.inserts) / blocks;
}

enum SiteLayout : int64_t { kTablePerAsset, kSharedColumns, kSharedVariant };

const char kSharedTable[] = "readings";

// The configuration items of a layout, as JSON members.
std::string siteItems(int64_t layout) {
    if (layout == kTablePerAsset)
        return "";
    std::string items = std::string(R"(, "table": {"value": ")") + kSharedTable + R"("})";
    if (layout == kSharedVariant)
        items += R"(, "datapoints": {"value": "variant"})";
    return items;
}

// What the shared table must hold after the timed blocks: nothing is
// checked (a table per asset), every reading sent (the warm-up block and the
// timed ones) exactly once, or at least once (a delivery that may repeat).
enum class RowCheck { kNone, kExactly, kAtLeast };

// Times one block per iteration (timedBlocks) and checks the shared table.
// Returns the blocks' sum, or nothing when no block was timed or the table
// fails `check` (the run is then skipped).
std::optional<Block> checkedBlocks(benchmark::State& state, Site& site, const Instance& instance,
                                   size_t perBlock, RowCheck check) {
    const Block sum = timedBlocks(state, site, instance);
    if (state.iterations() == 0 || sum.seconds <= 0)
        return std::nullopt;
    if (check == RowCheck::kNone)
        return sum;
    bench::RawSession session(site.connectionString());
    const long rows = session.countRows(kSharedTable);
    const auto sent = static_cast<long>((state.iterations() + 1) * perBlock);
    if (check == RowCheck::kAtLeast ? rows < sent : rows != sent) {
        state.SkipWithError("the shared table does not hold every reading");
        return std::nullopt;
    }
    return sum;
}

void BM_Site(benchmark::State& state, int64_t layout) {
    std::unique_ptr<Site> s;
    std::unique_ptr<Instance> instance;
    try {
        s = std::make_unique<Site>(kSiteAssets);
        instance = warmedUpInstance(*s, kSiteWriters, siteItems(layout), kSiteLatency);
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
        return;
    }

    const std::optional<Block> sum =
        checkedBlocks(state, *s, *instance, kReadings,
                      layout == kTablePerAsset ? RowCheck::kNone : RowCheck::kExactly);
    if (sum)
        blockCounters(state, *sum, kReadings);
}

// Seconds of one single-row INSERT into `latency_probe` on `session`.
double oneStatement(bench::RawSession& session) {
    const auto start = Clock::now();
    session.execute("INSERT INTO latency_probe VALUES ('probe', TIMESTAMP '2026-01-01 00:00:00')");
    return seconds(Clock::now() - start);
}

void BM_LargeBlock(benchmark::State& state) {
    std::unique_ptr<Site> s;
    std::unique_ptr<bench::RawSession> session;
    std::unique_ptr<Instance> instance;
    double latency = 0;
    try {
        s = std::make_unique<Site>(kSiteAssets, kLargeReadings, kLargeDatapoints);
        s->limitStatements(kStatementLimit);
        session = std::make_unique<bench::RawSession>(s->connectionString());
        session->execute("CREATE TABLE latency_probe (asset_code STRING NOT NULL, ts TIMESTAMP)");
        instance =
            warmedUpInstance(*s, kLargeWriters,
                             siteItems(kSharedColumns) + R"(, "maxStatementBytes": {"value": ")" +
                                 std::to_string(kStatementLimit) + R"("})",
                             kSiteLatency);
        latency = oneStatement(*session);
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
        return;
    }

    const std::optional<Block> sum =
        checkedBlocks(state, *s, *instance, kLargeReadings, RowCheck::kExactly);
    if (!sum)
        return;
    if (sum->longest > kStatementLimit) {
        state.SkipWithError("a statement is longer than maxStatementBytes");
        return;
    }
    blockCounters(state, *sum, kLargeReadings);
    state.counters["longest_statement"] = static_cast<double>(sum->longest);
    state.counters["latency_s"] = latency;
    state.counters["latencies"] = sum->seconds / static_cast<double>(state.iterations()) / latency;
}

// --- the stream transport ---------------------------------------------------

// lakesink-stream-emulator acknowledges after kStreamAckMs.
constexpr long kStreamAckMs = 200;

// The configuration items of the stream transport to `server`, as JSON
// members.
std::string streamItems(const StreamEmulator& server) {
    return R"(, "transport": {"value": "stream"}, "delivery": {"value": "at-least-once"})"
           R"(, "workspaceId": {"value": "1234"}, "streamEndpoint": {"value": ")" +
           server.streamEndpoint() + R"("}, "tokenEndpoint": {"value": ")" +
           server.tokenEndpoint() + R"("})";
}

// A shared variant table written over the stream: `readings` readings of
// kSiteAssets assets per block, the warehouse at its site latency (it sees
// only the first block's CREATE).
void BM_StreamSite(benchmark::State& state) {
    const size_t readings = static_cast<size_t>(state.range(0));
    const size_t datapoints = static_cast<size_t>(state.range(1));
    std::unique_ptr<Site> s;
    std::unique_ptr<StreamEmulator> server;
    std::unique_ptr<Instance> instance;
    try {
        s = std::make_unique<Site>(kSiteAssets, readings, datapoints);
        server = std::make_unique<StreamEmulator>(s->directory());
        server->setAckMillis(kStreamAckMs);
        instance = warmedUpInstance(*s, kSiteWriters,
                                    siteItems(kSharedVariant) + streamItems(*server), kSiteLatency);
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
        return;
    }
    const std::optional<Block> sum =
        checkedBlocks(state, *s, *instance, readings, RowCheck::kAtLeast);
    if (!sum)
        return;
    blockCounters(state, *sum, readings);
    state.counters["ack_ms"] = kStreamAckMs;
}

const char kFirstBlockLatency[] = "statement 300\n";

void BM_FirstBlock(benchmark::State& state) {
    Block first, later;
    for (auto _ : state) {
        try {
            Site s(kSiteAssets);
            const std::unique_ptr<Instance> instance = startInstance(s, kSiteWriters);
            s.setLatency(true, kFirstBlockLatency);
            first = timedBlock(s, *instance);
            later = timedBlock(s, *instance);
            s.setLatency(false);
            state.SetIterationTime(first.seconds);
        } catch (const std::exception& e) {
            state.SkipWithError(e.what());
            return;
        }
    }
    state.counters["first_s"] = first.seconds;
    state.counters["later_s"] = later.seconds;
    state.counters["ratio"] = first.seconds / later.seconds;
    state.counters["first_statements"] = static_cast<double>(first.statements);
    state.counters["later_statements"] = static_cast<double>(later.statements);
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

BENCHMARK_CAPTURE(BM_Site, table_per_asset, kTablePerAsset)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_Site, table_columns, kSharedColumns)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_Site, table_variant, kSharedVariant)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

BENCHMARK(BM_FirstBlock)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

BENCHMARK(BM_LargeBlock)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

BENCHMARK(BM_StreamSite)
    ->ArgNames({"readings", "datapoints"})
    ->Args({static_cast<int64_t>(kReadings), static_cast<int64_t>(kDatapoints)})
    ->Args({static_cast<int64_t>(kLargeReadings), static_cast<int64_t>(kLargeDatapoints)})
    ->Iterations(kTimedBatches)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

int main(int argc, char** argv) {
    bench::useEmulatorDriver();
    std::vector<char*> args(argv, argv + argc);
    static char quickFilter[] = "--benchmark_filter=tables:(1|20)/";
    for (char*& arg : args) {
        if (std::strcmp(arg, "--quick") == 0)
            arg = quickFilter;
    }
    const int status = bench::runBenchmarks(static_cast<int>(args.size()), args.data());
    site.reset();
    return status;
}

// map_and_build: the plugin's own work on one batch, without a database.
//
// Each iteration sends one batch through DatabricksODBCConnector::send on a
// client that accepts every statement without executing it: the readings are
// mapped to records and grouped by table, each record goes through the schema
// step (the cache is warm: the tables were created by a send before timing),
// every value is formatted for its column and one multi-row INSERT per table is
// built and handed to the client.
//
// BM_MapAndBuild writes a column per datapoint; BM_MapAndBuildVariant writes
// each reading's datapoints as one JSON object into the VARIANT column
// datapoints (the datapoints setting "variant").
//
// Arguments: readings per batch, datapoints per reading, tables per batch.
// Reported: items_per_second = readings/s, bytes_per_second = bytes of SQL/s,
// ns_per_datapoint = time per datapoint (the per-column cost).

#include <benchmark/benchmark.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>

#include "bench_main.h"
#include "bench_support.h"
#include "config_category.h"
#include "json_record.h"
#include "logger.h"
#include "schema_manager.h"

namespace {

// The batch of the benchmark running now; built once per argument set (the
// largest holds five million datapoints) and replaced when the arguments change.
struct BatchCache {
    std::tuple<size_t, size_t, size_t> key{0, 0, 0};
    std::unique_ptr<bench::SyntheticBatch> batch;

    const bench::SyntheticBatch& get(size_t readings, size_t datapoints, size_t tables) {
        const auto wanted = std::make_tuple(readings, datapoints, tables);
        if (!batch || key != wanted) {
            batch.reset();
            batch = std::make_unique<bench::SyntheticBatch>(readings, datapoints, tables);
            key = wanted;
        }
        return *batch;
    }
};

BatchCache cache;

// A connector owning `client`, configured as makeConnector does, with the
// datapoints setting `layout`.
std::unique_ptr<DatabricksODBCConnector> makeLayoutConnector(ODBCClient* client,
                                                             const std::string& layout) {
    auto connector = std::make_unique<DatabricksODBCConnector>(client);
    ConfigCategory category(
        "lakesink", bench::categoryJson("", R"(, "datapoints": {"value": ")" + layout + R"("})"));
    if (!connector->configure(&category))
        throw std::runtime_error("the benchmark connector could not be configured");
    return connector;
}

void mapAndBuild(benchmark::State& state, const std::string& layout) {
    const size_t readings = static_cast<size_t>(state.range(0));
    const size_t datapoints = static_cast<size_t>(state.range(1));
    const size_t tables = static_cast<size_t>(state.range(2));
    const bench::SyntheticBatch& batch = cache.get(readings, datapoints, tables);

    auto* client = new bench::NullClient();
    auto connector = makeLayoutConnector(client, layout);
    // Warm the schema cache: the first send creates every table.
    if (!connector->send(batch.pointers())) {
        state.SkipWithError("the warm-up send failed");
        return;
    }
    client->statements = 0;
    client->bytes = 0;

    for (auto _ : state) {
        const bool sent = connector->send(batch.pointers());
        benchmark::DoNotOptimize(sent);
    }

    // At least one INSERT per table and batch: more when the rows are cut at
    // the statement limit.
    if (client->statements < static_cast<size_t>(state.iterations()) * tables) {
        state.SkipWithError("expected at least one INSERT per table and batch");
        return;
    }
    const auto iterations = static_cast<int64_t>(state.iterations());
    state.SetItemsProcessed(iterations * static_cast<int64_t>(readings));
    state.SetBytesProcessed(static_cast<int64_t>(client->bytes));
    state.counters["sql_bytes_per_batch"] =
        static_cast<double>(client->bytes) / static_cast<double>(iterations);
    state.counters["ns_per_datapoint"] = benchmark::Counter(
        static_cast<double>(iterations) * static_cast<double>(readings * datapoints),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_MapAndBuild(benchmark::State& state) {
    mapAndBuild(state, "columns");
}

void BM_MapAndBuildVariant(benchmark::State& state) {
    mapAndBuild(state, "variant");
}

}  // namespace

// The JSON records of the stream transport: a variant-layout batch mapped
// once into the cells the table writer hands a transport, then every row
// encoded per iteration (what the stream sends instead of INSERT texts).
void BM_EncodeJsonRecords(benchmark::State& state) {
    const size_t readings = static_cast<size_t>(state.range(0));
    const size_t datapoints = static_cast<size_t>(state.range(1));
    const bench::SyntheticBatch& batch = cache.get(readings, datapoints, 1);
    auto* client = new bench::NullClient();
    auto connector = makeLayoutConnector(client, "variant");
    if (!connector->send(batch.pointers())) {
        state.SkipWithError("the warm-up send failed");
        return;
    }
    TableGroups groups = connector->transformReadingsToRecords(batch.pointers());
    const auto& [table, records] = *groups.begin();
    const CachedTable& cached = *connector->getSchemaManager()->findCachedTable(table);
    std::vector<TableColumn> columns;
    for (const CachedColumn& column : cached.columns)
        columns.push_back(TableColumn{column.name, column.type});
    std::vector<Cell> cells;
    for (const DatabaseRecord& record : records) {
        for (const TableColumn& column : columns) {
            const int64_t at = record.findColumn(column.name);
            cells.push_back(at < 0 ? Cell{}
                                   : Cell{&record.valueAt(static_cast<size_t>(at)),
                                          record.kindAt(static_cast<size_t>(at)), ValueFit::Exact});
        }
    }
    const JsonRecordEncoder encoder(columns);
    size_t bytes = 0;
    for (auto _ : state) {
        std::string json;
        for (size_t r = 0; r < records.size(); ++r) {
            json.clear();
            encoder.encode(RowView{r, &cells[r * columns.size()]}, json);
            bytes += json.size();
        }
        benchmark::DoNotOptimize(json.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(records.size()));
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

BENCHMARK(BM_EncodeJsonRecords)->Args({10000, 5})->Args({10000, 50})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MapAndBuild)->Apply(bench::BatchShapeArguments)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MapAndBuildVariant)
    ->ArgNames({"readings", "datapoints", "tables"})
    ->Args({500, 5, 1})
    ->Args({10000, 5, 1})
    ->Args({10000, 50, 1})
    ->Args({10000, 5, 20})
    ->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    const int status = bench::runBenchmarks(argc, argv);
    cache.batch.reset();
    return status;
}

#pragma once
// Shared pieces of the benchmark programs.
//
// SyntheticBatch owns the readings of one batch (and their datapoints) and
// hands out the host's pointer vector; its readings are built once, before any
// timing starts, and can be moved in time so that every send writes new rows. NullClient is an ODBC
// client that accepts every statement without executing it and only counts what it was given.
// BenchWarehouse is a temporary emulator warehouse directory, removed with the object, and
// RawSession runs statement texts through the driver manager on a connection
// of its own. A connector made by makeConnector owns the client it was given.
// PluginInstance is a plugin instance started through the loaded entry points,
// shut down with the object.
// None of these is thread-safe; each benchmark uses its own objects.

#include <sql.h>
#include <sqlext.h>
#include "plugin.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "databricks_odbc_connector.h"
#include "odbc_client.h"
#include "reading.h"

namespace bench {

// A batch of `readings` readings, each with `datapoints` datapoints, spread
// round-robin over `tables` assets (asset_00, asset_01, ...). Datapoint j of a
// reading is, by j % 5: a double, an integer, a double, a short text, a double;
// values change from reading to reading. Readings are 1 ms apart, starting at
// 2026-01-01 00:00:00 UTC; the user timestamp is 250 us before the timestamp.
class SyntheticBatch {
  public:
    SyntheticBatch(size_t readings, size_t datapoints, size_t tables);
    SyntheticBatch(const SyntheticBatch&) = delete;
    SyntheticBatch& operator=(const SyntheticBatch&) = delete;

    const std::vector<Reading*>& pointers() const { return raw; }
    // The readings moved to the times of send number `send` (0: where they
    // were built): `send` hours later, far more than a batch's own span, so
    // the sends of different numbers write different rows.
    const std::vector<Reading*>& movedTo(uint64_t send);
    size_t readings() const { return raw.size(); }
    size_t datapointsPerReading() const { return datapoints; }

  private:
    size_t datapoints;
    std::vector<std::unique_ptr<Reading>> owned;
    std::vector<Reading*> raw;
};

// Accepts every statement: connects at once, reports the link alive, answers
// every query with success and no rows (so an unknown table is created, after
// which the schema manager's cache answers). Counts statements and bytes.
class NullClient : public ODBCClient {
  public:
    void Init() override {}
    ODBCStatus Connect(const std::string&) override { return CORVANE_ODBC_SUCCESS; }
    bool isConnected() override { return true; }
    void Destroy() override {}
    QueryResult executeQuery(const std::string& query) override;

    size_t statements = 0;
    size_t bytes = 0;
    // When set, every statement text is kept in `kept`.
    bool keep = false;
    std::vector<std::string> kept;
};

// A configured Databricks connector (instance name "bench-edge") that owns
// `client`. `additionalParams` is the JSON text of the additionalParams item
// (empty for none).
std::unique_ptr<DatabricksODBCConnector> makeConnector(ODBCClient* client,
                                                       const std::string& additionalParams = "");

// The configuration category JSON text used by the benchmarks. `items` holds
// further items as JSON members, each starting with a comma.
std::string categoryJson(const std::string& additionalParams, const std::string& items = "");

// The positive integer at argv[index] of a profiling program, or `fallback`
// when it is absent or not a positive number.
size_t argument(int argc, char** argv, int index, size_t fallback);

// The plugin's entry points, loaded with dlopen from `path` once and kept
// loaded for the life of the process; throws std::runtime_error when the
// plugin cannot be loaded or lacks an entry point.
struct PluginEntries {
    PLUGIN_HANDLE (*init)(ConfigCategory*) = nullptr;
    uint32_t (*send)(PLUGIN_HANDLE, const std::vector<Reading*>&) = nullptr;
    void (*shutdown)(PLUGIN_HANDLE) = nullptr;
};
const PluginEntries& loadPlugin(const char* path);

// A plugin instance started with the configuration category `json`, shut
// down with the object.
class PluginInstance {
  public:
    // Throws std::runtime_error when plugin_init fails.
    PluginInstance(const PluginEntries& plugin, const std::string& json);
    ~PluginInstance();
    PluginInstance(const PluginInstance&) = delete;
    PluginInstance& operator=(const PluginInstance&) = delete;

    // Returns how many of the readings plugin_send took.
    uint32_t send(const std::vector<Reading*>& readings) const;

    const PluginEntries& plugin;
    const PLUGIN_HANDLE handle;
};

// Points the driver manager at the build's odbcinst.ini (the emulator driver)
// unless ODBCSYSINI is already set.
void useEmulatorDriver();

// A temporary warehouse directory (under /dev/shm when it is writable, so the
// disk's noise stays out of the figures), removed with the object.
class BenchWarehouse {
  public:
    BenchWarehouse();
    ~BenchWarehouse();
    BenchWarehouse(const BenchWarehouse&) = delete;
    BenchWarehouse& operator=(const BenchWarehouse&) = delete;

    const std::string& directory() const { return dir; }
    std::string connectionString() const;
    // The additionalParams item text pointing the plugin at this warehouse.
    std::string additionalParams() const;

  private:
    std::string dir;
};

// One connection through the driver manager. execute() runs one statement on
// a fresh statement handle, freed before it returns, as the plugin does.
class RawSession {
  public:
    explicit RawSession(const std::string& connectionString);
    ~RawSession();
    RawSession(const RawSession&) = delete;
    RawSession& operator=(const RawSession&) = delete;

    // Throws std::runtime_error with the driver's message on failure.
    void execute(const std::string& sql);
    // Number of rows of a table (SELECT COUNT(*)).
    long countRows(const std::string& table);

  private:
    SQLHENV env = SQL_NULL_HENV;
    SQLHDBC dbc = SQL_NULL_HDBC;
    bool connected = false;
};

}  // namespace bench

#include "bench_support.h"

#include <dlfcn.h>

#include <cstdlib>

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <stdexcept>

#include "config_category.h"
#include "datapoint.h"

namespace bench {

namespace {

// 2026-01-01 00:00:00 UTC in microseconds.
constexpr uint64_t kStartMicros = 1767225600000000ULL;
constexpr uint64_t kReadingSpacingMicros = 1000;
constexpr uint64_t kUserTimeLeadMicros = 250;

const char* const kTexts[] = {"running", "idle", "stopped", "valve 'B' open"};

std::string twoDigits(size_t n) {
    char text[32];
    std::snprintf(text, sizeof text, "%02zu", n);
    return text;
}

std::string datapointName(size_t j) {
    char text[32];
    std::snprintf(text, sizeof text, "dp_%03zu", j);
    return text;
}

Datapoint* makeDatapoint(const std::string& name, size_t reading, size_t j) {
    switch (j % 5) {
        case 1: {
            DatapointValue value(static_cast<long>(reading * 7 + j));
            return new Datapoint(name, value);
        }
        case 3: {
            DatapointValue value(std::string(kTexts[(reading + j) % 4]));
            return new Datapoint(name, value);
        }
        default: {
            DatapointValue value(20.0 + static_cast<double>(reading % 1000) * 0.125 +
                                 static_cast<double>(j));
            return new Datapoint(name, value);
        }
    }
}

std::string diagnostics(SQLSMALLINT type, SQLHANDLE handle) {
    SQLCHAR state[6] = {0};
    SQLCHAR message[1024] = {0};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    if (SQL_SUCCEEDED(
            SQLGetDiagRec(type, handle, 1, state, &native, message, sizeof message, &length))) {
        return std::string(reinterpret_cast<char*>(state)) + ": " +
               reinterpret_cast<char*>(message);
    }
    return "no diagnostics";
}

}  // namespace

size_t argument(int argc, char** argv, int index, size_t fallback) {
    if (argc <= index)
        return fallback;
    const long value = std::strtol(argv[index], nullptr, 10);
    return value > 0 ? static_cast<size_t>(value) : fallback;
}

SyntheticBatch::SyntheticBatch(size_t readings, size_t datapoints, size_t tables)
    : datapoints(datapoints) {
    std::vector<std::string> assets;
    for (size_t t = 0; t < tables; ++t)
        assets.push_back("asset_" + twoDigits(t));
    std::vector<std::string> names;
    for (size_t j = 0; j < datapoints; ++j)
        names.push_back(datapointName(j));

    owned.reserve(readings);
    raw.reserve(readings);
    for (size_t r = 0; r < readings; ++r) {
        std::vector<Datapoint*> values;
        values.reserve(datapoints);
        for (size_t j = 0; j < datapoints; ++j)
            values.push_back(makeDatapoint(names[j], r, j));
        auto reading = std::make_unique<Reading>(assets[r % tables], std::move(values));
        const uint64_t ts = kStartMicros + r * kReadingSpacingMicros;
        reading->setTimestamp(ts);
        reading->setUserTimestamp(ts - kUserTimeLeadMicros);
        raw.push_back(reading.get());
        owned.push_back(std::move(reading));
    }
}

const std::vector<Reading*>& SyntheticBatch::movedTo(uint64_t send) {
    // An hour, in microseconds.
    constexpr uint64_t kSendStrideMicros = 3600ull * 1000000ull;
    for (size_t r = 0; r < raw.size(); ++r) {
        const uint64_t ts = kStartMicros + r * kReadingSpacingMicros + send * kSendStrideMicros;
        raw[r]->setTimestamp(ts);
        raw[r]->setUserTimestamp(ts - kUserTimeLeadMicros);
    }
    return raw;
}

QueryResult NullClient::executeQuery(const std::string& query) {
    ++statements;
    bytes += query.size();
    if (keep)
        kept.push_back(query);
    QueryResult result;
    result.success = true;
    return result;
}

std::string categoryJson(const std::string& additionalParams, const std::string& items) {
    std::string json = R"({"corvaneInstance": {"value": "bench-edge"})";
    // Without a warehouse the connector's client is a NullClient: every
    // statement must run on it, none on a writer connection of its own.
    if (additionalParams.empty())
        json += R"(, "writers": {"value": "1"})";
    if (!additionalParams.empty()) {
        std::string escaped;
        for (char c : additionalParams) {
            if (c == '"' || c == '\\')
                escaped += '\\';
            escaped += c;
        }
        json += R"(, "additionalParams": {"value": ")" + escaped + R"("})";
    }
    json += items + "}";
    return json;
}

std::unique_ptr<DatabricksODBCConnector> makeConnector(ODBCClient* client,
                                                       const std::string& additionalParams) {
    auto connector = std::make_unique<DatabricksODBCConnector>(client);
    ConfigCategory category("lakesink", categoryJson(additionalParams));
    if (!connector->configure(&category))
        throw std::runtime_error("the benchmark connector could not be configured");
    return connector;
}

const PluginEntries& loadPlugin(const char* path) {
    static const PluginEntries entries = [path] {
        PluginEntries loaded;
        void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (!handle)
            throw std::runtime_error(dlerror());
        loaded.init = reinterpret_cast<decltype(loaded.init)>(dlsym(handle, "plugin_init"));
        loaded.send = reinterpret_cast<decltype(loaded.send)>(dlsym(handle, "plugin_send"));
        loaded.shutdown =
            reinterpret_cast<decltype(loaded.shutdown)>(dlsym(handle, "plugin_shutdown"));
        if (!loaded.init || !loaded.send || !loaded.shutdown)
            throw std::runtime_error("the plugin lacks an entry point");
        return loaded;
    }();
    return entries;
}

PluginInstance::PluginInstance(const PluginEntries& plugin, const std::string& json)
    : plugin(plugin), handle([&] {
          ConfigCategory category("lakesink", json);
          return plugin.init(&category);
      }()) {
    if (!handle)
        throw std::runtime_error("plugin_init failed");
}

PluginInstance::~PluginInstance() {
    plugin.shutdown(handle);
}

uint32_t PluginInstance::send(const std::vector<Reading*>& readings) const {
    return plugin.send(handle, readings);
}

void useEmulatorDriver() {
    setenv("ODBCSYSINI", LAKESINK_ODBCSYSINI, 0);
}

BenchWarehouse::BenchWarehouse() {
    useEmulatorDriver();
    std::filesystem::path base = "/dev/shm";
    if (access(base.c_str(), W_OK) != 0)
        base = std::filesystem::temp_directory_path();
    std::string pattern = (base / "lakesink-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create a temporary warehouse");
    dir = pattern;
}

BenchWarehouse::~BenchWarehouse() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

std::string BenchWarehouse::connectionString() const {
    return "Driver={DatabricksODBCDriver};Host=localhost;Port=443;UID=bench;PWD=bench;"
           "SCHEMA=default_schema;Warehouse=" +
           dir + ";";
}

std::string BenchWarehouse::additionalParams() const {
    return "{\"Warehouse\": \"" + dir + "\"}";
}

RawSession::RawSession(const std::string& connectionString) {
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env)))
        throw std::runtime_error("cannot allocate an ODBC environment");
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc))) {
        SQLFreeHandle(SQL_HANDLE_ENV, env);
        throw std::runtime_error("cannot allocate an ODBC connection");
    }
    std::string text = connectionString;
    if (!SQL_SUCCEEDED(SQLDriverConnect(dbc, nullptr, reinterpret_cast<SQLCHAR*>(text.data()),
                                        SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT))) {
        const std::string why = diagnostics(SQL_HANDLE_DBC, dbc);
        SQLFreeHandle(SQL_HANDLE_DBC, dbc);
        SQLFreeHandle(SQL_HANDLE_ENV, env);
        throw std::runtime_error("connect: " + why);
    }
    connected = true;
}

RawSession::~RawSession() {
    if (connected)
        SQLDisconnect(dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    SQLFreeHandle(SQL_HANDLE_ENV, env);
}

void RawSession::execute(const std::string& sql) {
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt)))
        throw std::runtime_error("cannot allocate a statement handle");
    SQLCHAR* text = const_cast<SQLCHAR*>(reinterpret_cast<const SQLCHAR*>(sql.c_str()));
    const SQLRETURN rc = SQLExecDirect(stmt, text, SQL_NTS);
    if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) {
        const std::string why = diagnostics(SQL_HANDLE_STMT, stmt);
        SQLFreeHandle(SQL_HANDLE_STMT, stmt);
        throw std::runtime_error("execute: " + why);
    }
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
}

long RawSession::countRows(const std::string& table) {
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt)))
        throw std::runtime_error("cannot allocate a statement handle");
    std::string sql = "SELECT COUNT(*) FROM `" + table + "`";
    long count = -1;
    if (SQL_SUCCEEDED(SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(sql.data()), SQL_NTS)) &&
        SQLFetch(stmt) == SQL_SUCCESS) {
        char cell[64] = {0};
        SQLLEN indicator = 0;
        if (SQL_SUCCEEDED(SQLGetData(stmt, 1, SQL_C_CHAR, cell, sizeof cell, &indicator)))
            count = std::strtol(cell, nullptr, 10);
    }
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    return count;
}

}  // namespace bench

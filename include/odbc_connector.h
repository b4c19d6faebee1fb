#pragma once
// ODBCConnector: the abstract north connector.
//
// Owns, for its whole life, the ODBC client (also one handed to the
// constructor), the current settings (by value), the reading mapper and the
// schema manager; points at the SQL builder that a concrete connector owns.
// Keeps the connection status (atomic), connects lazily on the first batch,
// retries a transient failure at most every 5 seconds (steady clock), stays
// failed after a permanent failure until the settings change, and runs the
// send pipeline: readings -> records grouped by table -> schema step -> one
// multi-row INSERT per table.
// Never copied or moved. configure() is serialised by a mutex; send() and
// configure() must not run concurrently (the host calls one at a time).

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "odbc_client.h"
#include "odbc_config.h"
#include "reading_mapper.h"

class ConfigCategory;
class Reading;
class SchemaManager;
class SQLBuilder;

class ODBCConnector {
  public:
    using SteadyClock = std::function<std::chrono::steady_clock::time_point()>;
    static constexpr std::chrono::nanoseconds RETRY_INTERVAL = std::chrono::seconds(5);

    explicit ODBCConnector(ODBCClient* client = nullptr);
    virtual ~ODBCConnector();
    ODBCConnector(const ODBCConnector&) = delete;
    ODBCConnector& operator=(const ODBCConnector&) = delete;
    ODBCConnector(ODBCConnector&&) = delete;
    ODBCConnector& operator=(ODBCConnector&&) = delete;

    virtual bool configure(const ConfigCategory* category);
    virtual bool send(const std::vector<Reading*>& readings);
    virtual std::string getConnectionString();
    virtual ODBCConfig* createConfig() const;
    virtual SQLBuilder* createSQLBuilder() const = 0;

    void connect();
    void disconnect();
    QueryResult executeQuery(const std::string& sql);
    void setSQLBuilder(SQLBuilder* builder);
    TableGroups transformReadingsToRecords(const std::vector<Reading*>& readings);

    ODBCStatus getStatus() const { return status.load(); }
    bool isValid() const { return client && readingMapper && schemaManager; }
    ODBCClient* getClient() const { return client; }
    ReadingMapper* getReadingMapper() const { return readingMapper; }
    SchemaManager* getSchemaManager() const { return schemaManager; }
    SQLBuilder* getBaseSQLBuilder() const { return sqlBuilder; }
    const ODBCConfig& getConfig() const { return config; }
    // Replaces the steady clock used for the retry interval (tests).
    void setClock(SteadyClock clock) { steadyNow = std::move(clock); }

  private:
    // Writes one table group; false when its INSERT failed.
    bool writeTable(const std::string& table, std::vector<DatabaseRecord>& records,
                    bool& schemaMissing);
    // Renames the record's columns that the cached table has in another letter
    // case to the cached spelling; true when a column is still missing.
    bool adoptCachedSpelling(const std::string& table, DatabaseRecord& record);
    // Adds the record's missing columns; when an ALTER fails because the
    // warehouse has the column already, learns the table's columns instead.
    void addMissingColumns(const std::string& table, DatabaseRecord& record);
    // Logs, at the error level, the warehouse's reason for the statement that
    // just failed.
    void logWarehouseReason();

    ODBCClient* client;
    ODBCConfig config;
    std::chrono::steady_clock::time_point lastConnectAttempt{};
    std::atomic<ODBCStatus> status{CORVANE_ODBC_NOTCONNECTED};
    std::mutex configMutex;
    ReadingMapper* readingMapper = nullptr;
    SchemaManager* schemaManager = nullptr;
    SQLBuilder* sqlBuilder = nullptr;
    SteadyClock steadyNow = [] { return std::chrono::steady_clock::now(); };
};

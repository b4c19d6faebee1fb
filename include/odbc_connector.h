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
#include <memory>
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
class StatementError;

// What writing one table's records came to.
enum class TableWrite {
    Written,        // the INSERT ran
    SchemaMissing,  // the table has no known columns: nothing was written
    Failed,         // the INSERT was refused
};

class ODBCConnector {
  public:
    using SteadyClock = std::function<std::chrono::steady_clock::time_point()>;
    static constexpr std::chrono::nanoseconds RETRY_INTERVAL = std::chrono::seconds(5);

    // Takes ownership of `client`; creates one when it is null.
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
    ODBCClient* getClient() const { return client.get(); }
    ReadingMapper* getReadingMapper() const { return readingMapper.get(); }
    SchemaManager* getSchemaManager() const { return schemaManager.get(); }
    SQLBuilder* getBaseSQLBuilder() const { return sqlBuilder; }
    const ODBCConfig& getConfig() const { return config; }
    // Replaces the steady clock used for the retry interval (tests).
    void setClock(SteadyClock clock) { steadyNow = std::move(clock); }

  private:
    // Writes one table group: the schema step, then one INSERT.
    TableWrite writeTable(const std::string& table, std::vector<DatabaseRecord>& records);
    // Formats the records into the builder's rows for the table's cached
    // columns and returns the INSERT; the records are emptied on the way.
    std::string buildInsert(const std::string& table, std::vector<DatabaseRecord>& records);
    // After a failed statement: disconnects when the link is gone, so the
    // next batch reconnects.
    void dropDeadConnection();
    // Logs, at the error level, the warehouse's reason for a refused statement.
    static void logWarehouseReason(const StatementError& error);

    std::unique_ptr<ODBCClient> client;
    ODBCConfig config;
    std::chrono::steady_clock::time_point lastConnectAttempt{};
    std::atomic<ODBCStatus> status{CORVANE_ODBC_NOTCONNECTED};
    std::mutex configMutex;
    std::unique_ptr<ReadingMapper> readingMapper;
    std::unique_ptr<SchemaManager> schemaManager;
    SQLBuilder* sqlBuilder = nullptr;  // owned by the concrete connector
    SteadyClock steadyNow = [] { return std::chrono::steady_clock::now(); };
};

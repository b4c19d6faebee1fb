#pragma once
// ODBCConnector: the abstract north connector.
//
// Owns, for its whole life, the connection (the ODBC client, also one handed
// to the constructor, and the writer connections), the current settings (by
// value), the reading mapper, the schema manager and the delivery ledger;
// points at the SQL builder that a concrete connector owns. It only
// orchestrates: configure() takes the settings over and hands them on; send()
// connects when needed, turns readings into records grouped by table, and
// has a TableWriter write each table, which records every table's outcome in
// one BatchOutcome; the ledger remembers which readings a failed batch wrote,
// so the host's resend writes only the rest.
// Never copied or moved. One mutex (configMutex) guards what send() reads:
// configure(), setSQLBuilder() and send() each hold it for their whole run,
// so new settings or a new builder never change under a batch.

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "connection.h"
#include "delivery_ledger.h"
#include "odbc_config.h"
#include "status_line.h"
#include "stream_client.h"
#include "table_writer.h"

class ConfigCategory;
class ODBCClient;
class ReadingMapper;
class Reading;
class SchemaManager;
class SQLBuilder;

class ODBCConnector {
  public:
    using SteadyClock = Connection::SteadyClock;
    using JitterSource = Connection::JitterSource;
    static constexpr std::chrono::nanoseconds RETRY_INTERVAL = Connection::RETRY_INTERVAL;
    static constexpr std::chrono::nanoseconds MAX_RETRY_INTERVAL = Connection::MAX_RETRY_INTERVAL;
    static constexpr double RETRY_JITTER = Connection::RETRY_JITTER;

    // Takes ownership of `client`; creates one when it is null.
    explicit ODBCConnector(ODBCClient* client = nullptr);
    explicit ODBCConnector(std::unique_ptr<ODBCClient> client);
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

    ODBCStatus getStatus() const { return connection.getStatus(); }
    bool isValid() const { return readingMapper && schemaManager; }
    ODBCClient* getClient() const { return connection.clientPointer(); }
    ReadingMapper* getReadingMapper() const { return readingMapper.get(); }
    SchemaManager* getSchemaManager() const { return schemaManager.get(); }
    SQLBuilder* getBaseSQLBuilder() const { return sqlBuilder; }
    const ODBCConfig& getConfig() const { return config; }
    // What the last send did, table by table.
    const BatchOutcome& getLastOutcome() const { return lastOutcome; }
    // Replaces the steady clock used for the retry interval (tests).
    void setClock(SteadyClock clock) { connection.setClock(std::move(clock)); }
    // Replaces the random source of the retry jitter (tests); values outside
    // [0, 1] are clamped, NaN counts as 0.
    void setJitter(JitterSource source) { connection.setJitter(std::move(source)); }
    // The wait, from the last attempt, before a failed connection is tried
    // again.
    std::chrono::nanoseconds getRetryDelay() const { return connection.getRetryDelay(); }

  protected:
    // The client of a writer connection (tests hand in their own).
    virtual std::unique_ptr<ODBCClient> createWriterClient() const;

  private:
    // send without the status line: the batch's outcome is in lastOutcome.
    bool sendBatch(const std::vector<Reading*>& readings);
    // Writes every pending reading of the batch.
    BatchOutcome writeBatch(DeliveryLedger::Batch& batch);
    // The warehouse's refusal of a table's schema step, by table.
    using RefusedSteps = std::map<std::string, std::shared_ptr<StatementError>>;
    // Runs the schema steps (CREATE, ALTER) the tables of the batch need side
    // by side on the writer connections, before their rows are written.
    // Returns the tables whose step the warehouse refused.
    RefusedSteps prepareSchemas(const TableGroups& groups);
    // Says once, at the info level, that a batch of more than kManyTables
    // tables costs a statement per table, and that the table setting helps.
    void noteManyTables(size_t tables);
    static constexpr size_t kManyTables = 50;
    // The pending readings that no table group holds (no table to go to).
    static std::vector<size_t> unroutedReadings(const TableGroups& groups,
                                                const DeliveryLedger::Batch& batch);
    // Takes the settings of `category` over; returns the previous ones.
    ODBCConfig adoptSettings(const ConfigCategory* category);
    // With datapoints written as one object: logs, once per table and
    // process, a table whose "datapoints" column is not VARIANT, which sends
    // every object to the rescued data.
    void reportDatapointsColumns(const std::vector<std::string>& tables);

    Connection connection;
    ODBCConfig config;
    std::mutex configMutex;  // held by configure, setSQLBuilder and send
    std::unique_ptr<ReadingMapper> readingMapper;
    std::unique_ptr<SchemaManager> schemaManager;
    SQLBuilder* sqlBuilder = nullptr;  // owned by the concrete connector
    DeliveryLedger ledger;
    BatchOutcome lastOutcome;
    StatusLine statusLine;
    // The stream transport's client while the transport is "stream"; made
    // anew when its settings change.
    std::unique_ptr<StreamClient> streamClient;
    uint64_t attemptsSeen = 1;  // the first connection is no reconnect
    bool manyTablesNoted = false;
    std::set<std::string> reportedDatapointsColumns;
};

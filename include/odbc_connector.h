#pragma once
// ODBCConnector: the abstract north connector.
//
// Owns, for its whole life, the ODBC client (also one handed to the
// constructor), the current settings (by value), the reading mapper and the
// schema manager; points at the SQL builder that a concrete connector owns.
// Keeps the connection status (atomic), connects lazily on the first batch,
// and runs the send pipeline: readings -> records grouped by table -> schema
// step -> one multi-row INSERT per table.
// Failed connections: a refused login or configuration stays failed until the
// settings change. Every other failure is retried with a back-off on the
// steady clock: 5 s after the first failure, doubling after each further one
// up to 5 minutes, each wait lengthened by a random 0 to 20% (never shortened,
// so attempts are never closer than 5 s) so that retries do not stay in step
// with an outage that recurs at a fixed period. A successful connect or a
// change of settings starts the sequence again from 5 s.
// Never copied or moved. configure() is serialised by a mutex; send() and
// configure() must not run concurrently (the host calls one at a time); the
// back-off state is written only by connect() and configure().

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
#include "resend_memory.h"
#include "writer_pool.h"

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
    // Returns a random fraction in [0, 1): how much of the jitter to add to
    // one retry interval.
    using JitterSource = std::function<double()>;
    // First wait after a failed connect, and the most it grows to by doubling.
    static constexpr std::chrono::nanoseconds RETRY_INTERVAL = std::chrono::seconds(5);
    static constexpr std::chrono::nanoseconds MAX_RETRY_INTERVAL = std::chrono::minutes(5);
    // The largest jitter, as a share of the interval it lengthens.
    static constexpr double RETRY_JITTER = 0.2;

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
    // Replaces the random source of the retry jitter (tests); values outside
    // [0, 1] are clamped, NaN counts as 0.
    void setJitter(JitterSource source) { jitter = std::move(source); }
    // The wait, from the last attempt, before a failed connection is tried
    // again.
    std::chrono::nanoseconds getRetryDelay() const { return retryDelay; }

  private:
    // The readings of one send, those still to write (not written by an
    // earlier attempt at the same batch), and which were written.
    struct Batch {
        Batch(const std::vector<Reading*>& all, const ResendMemory& memory);
        uint64_t fingerprint();
        // Flags the readings at these positions of `pending` as written.
        void markWritten(const std::vector<size_t>& indices);

        const std::vector<Reading*>& all;
        std::vector<Reading*> pending;
        std::vector<size_t> origin;  // position in `all` of each pending reading
        std::vector<char> written;   // per reading of `all`
        uint64_t print = 0;
        bool hasPrint = false;
    };
    // A reading the warehouse refused, by its position in Batch::pending.
    struct Reject {
        size_t index;
        std::string sqlState;
        std::string reason;
    };
    // What writing one table kept aside.
    struct TableReport {
        size_t rescued = 0;  // values kept in the rescued data column
        std::vector<Reject> rejects;
        std::string firstReason;
        bool inserting = false;  // the last statement run was the INSERT
        bool valuesFit = false;  // every value was checked and fits
    };

    // A table whose INSERT was handed to a writer connection.
    struct SubmittedTable {
        std::string table;
        std::vector<size_t> indices;  // its readings, by position in Batch::pending
        TableReport report;
    };

    // Writes every table of the batch; true iff all were written.
    bool writeBatch(Batch& batch);
    // As writeBatch's loop, with the INSERTs on the writer connections: the
    // schema step and the statement of each table are made here, in table
    // order, while the INSERTs before it run. Returns true iff every table was
    // written.
    bool writeTablesInParallel(TableGroups& groups, Batch& batch);
    // The loop of writeTablesInParallel: fits, builds and submits each table;
    // false when a table failed for good (the batch fails).
    bool submitTables(TableGroups& groups, std::vector<SubmittedTable>& submitted,
                      bool& everyTableWritten, Batch& batch);
    // Books the outcomes of the submitted tables (recovering refused ones on
    // the primary connection); true iff every one was written.
    bool settleSubmitted(std::vector<SubmittedTable>& tables,
                         const std::vector<WriterPool::Outcome>& outcomes, Batch& batch);
    // After a table was written: its rejects, its readings marked written,
    // the operator's warning.
    void finishTable(const std::string& table, const std::vector<size_t>& indices,
                     TableReport& report, Batch& batch);
    // The schema step of an INSERT (fitting the table, the rescued data
    // column when needed); false when the table has no known columns.
    bool prepareInsert(const std::string& table, std::vector<DatabaseRecord>& records,
                       TableReport& report);
    // The client of a writer connection (tests hand in their own).
    virtual std::unique_ptr<ODBCClient> createWriterClient() const;
    // Writes one table group: the schema step, then one INSERT; heals a stale
    // schema and isolates refused rows (recoverTable).
    TableWrite writeTable(const std::string& table, std::vector<DatabaseRecord>& records,
                          Batch& batch);
    TableWrite recoverTable(const std::string& table, const std::vector<size_t>& indices,
                            const StatementError& refused, Batch& batch, TableReport& report);
    // Sends the rows in halves until the refused ones are found; those go to
    // the report's rejects. Returns true iff every other row was written.
    bool isolateRows(const std::string& table, const std::vector<size_t>& indices,
                     const StatementError& refused, Batch& batch, TableReport& report);
    // The records of the pending readings at `indices`, for `table`.
    std::vector<DatabaseRecord> remap(const std::string& table, const std::vector<size_t>& indices,
                                      const Batch& batch);
    // Writes the report's rejects into the rejects table; throws when it
    // cannot, so that the batch fails and nothing is lost.
    void writeRejects(const std::string& table, TableReport& report, Batch& batch);
    // The schema step and one INSERT for the records; a refused statement
    // throws StatementError.
    TableWrite insertRecords(const std::string& table, std::vector<DatabaseRecord>& records,
                             TableReport& report);
    // What checking the values before the INSERT found.
    enum class ValueCheck {
        Unchecked,    // the table has the rescued data column: rows check as they go
        AllFit,       // every value fits its column
        SomeRescued,  // a value must be rescued and the table lacks the column
    };
    // Checks the values against the table only while the table has no
    // rescued data column, so that it can be added before the rows are made.
    ValueCheck checkValues(const std::string& table, const std::vector<DatabaseRecord>& records);
    void addRescueColumn(const std::string& table);
    // Formats the records into the builder's rows for the table's cached
    // columns and returns the INSERT; the records are emptied on the way.
    std::string buildInsert(const std::string& table, std::vector<DatabaseRecord>& records,
                            TableReport& report);
    // After a failed statement: disconnects when the link is gone, so the
    // next batch reconnects.
    void dropDeadConnection();
    // A table's INSERT failed for good: logs it with the warehouse's reason and
    // drops a dead link.
    void failTable(const std::string& table, const StatementError& refused);
    // Logs, at the error level, the warehouse's reason for a refused statement.
    static void logWarehouseReason(const StatementError& error);
    // After a connection attempt: resets the back-off on success, sets the
    // next (longer) wait after a failure that is retried.
    void updateBackoff(ODBCStatus outcome);
    // Forgets the failures so far: the next failure waits RETRY_INTERVAL.
    void resetBackoff();
    // The default jitter source: a generator seeded from the system's entropy.
    static JitterSource randomJitter();

    std::unique_ptr<ODBCClient> client;
    ODBCConfig config;
    std::chrono::steady_clock::time_point lastConnectAttempt{};
    std::atomic<ODBCStatus> status{CORVANE_ODBC_NOTCONNECTED};
    std::mutex configMutex;
    std::unique_ptr<ReadingMapper> readingMapper;
    std::unique_ptr<SchemaManager> schemaManager;
    SQLBuilder* sqlBuilder = nullptr;  // owned by the concrete connector
    ResendMemory resendMemory;
    WriterPool writerPool{[this] { return createWriterClient(); }};
    SteadyClock steadyNow = [] { return std::chrono::steady_clock::now(); };
    // Back-off of failed connections.
    unsigned failedConnects = 0;  // since the last success or change of settings
    std::chrono::nanoseconds retryDelay = RETRY_INTERVAL;
    std::string lastConnectException;  // reported once, like a failure's cause
    JitterSource jitter = randomJitter();
};

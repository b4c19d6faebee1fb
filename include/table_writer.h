#pragma once
// TableWriter: the one code path that writes a table's rows.
//
// For each table of a batch it fits the schema (creating the table or adding
// columns), checks the values against their columns (keeping those that do
// not fit in "_rescued_data"), builds the multi-row INSERT and hands it to the
// writer pool; when the statement has run it settles the table: a stale
// schema is healed and the rows sent again, refused rows are isolated and
// kept in the rejects table, and the readings written are marked in the
// batch's ledger. Every table's outcome is recorded in the BatchOutcome,
// whatever happened to the tables before or after it: an exception, a failed
// recovery or a refused rejects table ends only its own table.
//
// One TableWriter serves one send. It borrows the schema manager, the reading
// mapper, the dialect, the connection and the batch for its life. Schema
// steps, statement building and recovery run on the calling thread and the
// primary connection; only the INSERTs handed to the pool may run on writer
// threads. Not thread-safe.

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "database_record.h"
#include "delivery_ledger.h"
#include "dialect.h"
#include "statement_buffer.h"
#include "writer_pool.h"

class Connection;
class ReadingMapper;
class SchemaManager;
class StatementError;

// What became of one table of a batch.
struct TableOutcome {
    enum class State : uint8_t {
        Pending,   // started, not settled yet
        Written,   // every reading is in the table or in the rejects table
        NoSchema,  // the table has no known columns: nothing was written
        Failed,    // a statement failed: the batch fails and is sent again
    };
    std::string table;
    State state = State::Pending;
    // Each reading and value is counted once, when the statement that stores
    // its row has run: rows a MERGE skipped count as skipped only.
    size_t readings = 0;   // readings of the batch meant for the table
    size_t written = 0;    // of those, readings this send stored in the table
    size_t rescued = 0;    // values kept in the rescued data column of stored rows
    size_t rejected = 0;   // readings this send stored in the rejects table
    size_t checked = 0;    // rows written skipping those already there
    size_t skipped = 0;    // of those, rows that were there already
    size_t uncounted = 0;  // of those, rows of MERGEs whose counts could not be read
    std::string failure;   // why it failed, for the log
};

// What one send did: one outcome per table, in the order they were started.
struct BatchOutcome {
    std::vector<TableOutcome> tables;
    std::string failure;  // a failure outside any table (no connection, a schema query)

    // Returns true iff every table was written and nothing else failed.
    bool sent() const;
    // Returns true iff a table failed (a retriable or unknown error).
    bool anyFailed() const;
};

class TableWriter {
  public:
    // The parts a send works with; all borrowed.
    struct Parts {
        SchemaManager& schema;
        ReadingMapper& mapper;
        const Dialect& dialect;  // the text rules of the rows and statements
        Connection& connection;
        DeliveryLedger& ledger;  // which tables are in doubt
        DeliveryLedger::Batch& batch;
        const std::string& instance;  // written into rejected rows
        size_t statementLimit;        // the largest INSERT in bytes; 0 for no limit
    };

    // The most statements that finding the refused rows of one table may cost.
    static constexpr size_t kIsolationBudget = 40;

    explicit TableWriter(Parts parts) : parts(parts) {}

    // Keeps the pending readings at `indices`, which no table takes (an empty
    // asset code and no usable hint), in the rejects table.
    void rejectUnroutable(const std::vector<size_t>& indices);
    // Starts writing the records of one table (each knows its reading's
    // position in the batch's pending list); the records are consumed. The
    // statements may still run when this returns.
    void start(const std::string& table, std::vector<DatabaseRecord>& records);
    // Returns true iff a table has failed so far.
    bool anyFailed() const { return outcome.anyFailed(); }
    // Waits for every statement, settles every table and returns the outcome.
    BatchOutcome finish();

  private:
    // A reading the warehouse refused, by its position in the pending list.
    struct Reject {
        size_t index;
        std::string sqlState;
        std::string reason;
        bool tooLong = false;  // its row alone is longer than the warehouse takes
    };
    // What writing one table kept aside so far.
    struct Report {
        size_t rescued = 0;
        std::vector<Reject> rejects;
        std::string firstReason;
        bool valuesFit = false;  // every value was checked and fits
    };
    // One INSERT handed to the pool and the readings whose rows it holds.
    struct Piece {
        WriterPool::Ticket ticket = 0;
        std::vector<size_t> indices;
        bool merge = false;    // it skips rows the table holds already
        size_t bytes = 0;      // the length of its statement
        bool rejects = false;  // it writes into the rejects table
        size_t rescued = 0;    // values of its rows kept in the rescued data
    };
    // Rows of a table and the refusal they share.
    struct RefusedPart {
        std::vector<size_t> indices;
        std::shared_ptr<StatementError> refusal;
        size_t bytes = 0;  // the length of the refused statement, when known
    };
    // A table whose INSERTs were handed to the pool.
    struct InFlight {
        size_t slot;  // its outcome in outcome.tables
        Report report;
        std::vector<Piece> pieces;
        std::vector<RefusedPart> refused;  // pieces refused, still to recover
    };
    // What checking the values before the INSERT found.
    enum class ValueCheck {
        Unchecked,    // the table has the rescued data column: rows check as they go
        AllFit,       // every value fits its column
        SomeRescued,  // a value must be rescued and the table lacks the column
    };

    void settle(bool wait);
    // Books what the pool reports for a table's INSERTs: heals, isolates,
    // completes or fails it; with `mayDefer`, healing and isolating wait for
    // finish().
    void settleTable(InFlight& entry, bool mayDefer);
    // Runs `step` for the table; a standard exception fails the table only.
    template <typename Step>
    void guarded(TableOutcome& out, Step step);
    // The table's rows are in, and marked as their statements ran, but for
    // its rejects: writes the rejects and records the counts.
    void complete(TableOutcome& out, Report& report);
    // Rows of the table were refused (by a schema step when `schemaStep`):
    // heals a stale schema, isolates refused rows (also rows of a statement
    // of `bytes` refused for its length, after lowering the connection's
    // statement limit), keeps the readings of a table refused for good in
    // the rejects. Returns true iff every row is written or among the
    // report's rejects; otherwise the table has failed.
    bool recover(TableOutcome& out, std::vector<size_t> indices, const StatementError& refused,
                 Report& report, bool schemaStep, size_t bytes = 0);
    // A schema step was refused for good: keeps the readings that need what
    // was refused in the rejects, writes the others. Returns true iff every
    // row is written or among the report's rejects.
    bool keepUnfitting(TableOutcome& out, const std::vector<size_t>& indices,
                       const StatementError& refused, Report& report);
    // The table was dropped or changed behind the plugin's back: learns it
    // anew and sends the rows again. Returns true iff they were all written;
    // otherwise `indices` and `cause` are left with the rows still refused
    // and why (schemaStep set when a schema step refused them).
    bool heal(TableOutcome& out, std::vector<size_t>& indices,
              std::shared_ptr<StatementError>& cause, Report& report, bool& schemaStep);
    // Finds the refused rows by sending the rows in parts (kIsolationBudget
    // statements at most); those go to the report's rejects, with the rows
    // left undecided when the budget is spent. Returns true iff every other
    // row was written.
    bool isolateRows(TableOutcome& out, const std::vector<size_t>& indices,
                     const StatementError& refused, Report& report);
    // One round of isolateRows: sends every part; those refused for their
    // data go to `stillRefused`. Returns false when a part failed otherwise.
    bool tryParts(TableOutcome& out, const std::vector<RefusedPart>& tries, Report& report,
                  std::vector<RefusedPart>& stillRefused);
    // Adds the reading to the report's rejects, its reason the refusal's
    // message after `prefix`.
    static void reject(Report& report, size_t index, const StatementError& refused,
                       const char* prefix);
    void fail(TableOutcome& out, const std::string& why);
    void failStatement(TableOutcome& out, const StatementError& refused);
    // Fits the table to the records, builds their INSERTs (cut at the
    // statement limit) and hands each to the pool; the records are consumed.
    // Returns false when the table has no known columns. A refused schema
    // step throws StatementError.
    bool submitRows(const std::string& table, std::vector<DatabaseRecord>& records, Report& report,
                    std::vector<Piece>& pieces);
    // Waits for the pieces: marks the readings of those written, adds those
    // refused to `refused`. Returns false (the table failed) when a piece
    // failed for another reason than a refusal.
    bool awaitPieces(TableOutcome& out, std::vector<Piece>& pieces,
                     std::vector<RefusedPart>& refused);
    // The schema step of an INSERT (fitting the table, the rescued data
    // column when needed). Returns true iff the table has known columns.
    bool prepare(const std::string& table, std::vector<DatabaseRecord>& records, Report& report);
    ValueCheck checkValues(const std::string& table, const std::vector<DatabaseRecord>& records);
    void addRescueColumn(const std::string& table);
    // The INSERTs (MERGEs when `merge`) of the records for the table's cached
    // columns, cut at the statement limit; the records are emptied on the way.
    // `rescued` receives the number of rescued values of each statement.
    std::vector<StatementBuffer::Statement> buildInserts(const std::string& table,
                                                         std::vector<DatabaseRecord>& records,
                                                         Report& report, bool merge,
                                                         std::vector<size_t>& rescued);
    // The longest statement to build now.
    size_t statementLimit() const;
    // Returns true iff rows written to the table now may be in it already.
    bool isInDoubt(const std::string& table) const;
    // How each column of the INSERT matches rows already in the table, for
    // a table in doubt.
    std::vector<ColumnMatch> matchFor(const std::string& table,
                                      const std::vector<std::string>& columns) const;
    // The range of the records' timestamps, which bounds the rows of a table
    // in doubt that a MERGE compares them with; no bound when the table's
    // `ts` column is not a TIMESTAMP.
    TimeRange timeRangeOf(const std::string& table,
                          const std::vector<DatabaseRecord>& records) const;
    // Books a piece written by a MERGE: its rows checked and skipped. A
    // MERGE whose count cannot be read leaves the table in doubt (its rows
    // then count as inserted). Returns the number of rows it inserted.
    size_t countMerged(TableOutcome& out, const Piece& piece, const QueryRows& answer);
    // Books the rows of a piece that was written: readings written (or
    // rejected) and their rescued values.
    void countWritten(TableOutcome& out, const Piece& piece, const QueryRows& answer);
    // The records of the pending readings at `indices`, for `table`.
    std::vector<DatabaseRecord> remap(const std::string& table, const std::vector<size_t>& indices);
    // Writes the report's rejects into the rejects table and marks them;
    // throws when it cannot, so that the table fails and nothing is lost.
    void writeRejects(TableOutcome& out, Report& report);

    Parts parts;
    BatchOutcome outcome;
    std::vector<InFlight> inFlight;
    std::vector<InFlight> deferred;  // refused tables, recovered in finish()
};

// Logs, at the error level, the warehouse's reason for a refused statement.
void logWarehouseReason(const StatementError& error);

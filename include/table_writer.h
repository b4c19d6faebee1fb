#pragma once
// TableWriter: the one code path that writes a table's rows.
//
// For each table of a batch it fits the schema (creating the table or adding
// columns), checks the values against their columns (keeping those that do
// not fit in "_rescued_data"), and hands the table's rows to the transport
// (transport.h), which decides how they reach the warehouse (statements on
// the writer pool, or a record stream); when the transport has delivered
// them it settles the table: a stale
// schema is healed and the rows sent again, refused rows are isolated and
// kept in the rejects table, and the readings written are marked in the
// batch's ledger. Every table's outcome is recorded in the BatchOutcome,
// whatever happened to the tables before or after it: an exception, a failed
// recovery or a refused rejects table ends only its own table.
//
// One TableWriter serves one send. It borrows the schema manager, the reading
// mapper, the dialect, the transport and the batch for its life. It reports
// what happened and changes nothing about the connection: the connector
// reads the BatchOutcome (a failed table, a connection refused for good). Schema
// steps and recovery run on the calling thread and the primary connection;
// what runs behind the transport is the transport's affair. Not thread-safe.

#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "database_record.h"
#include "delivery_ledger.h"
#include "dialect.h"
#include "transport.h"

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
    // A connection the batch needed was refused in a way that never passes
    // with these settings (a refused login or configuration).
    bool neverConnects = false;
    std::string refusal;  // then: the driver's cause, "SQLSTATE=..., Message=..."

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
        const Dialect& dialect;  // which values fit their columns
        Transport& transport;    // how the rows reach the warehouse
        DeliveryLedger& ledger;  // which tables are in doubt
        DeliveryLedger::Batch& batch;
        const std::string& instance;  // written into rejected rows
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
    // Starts a table whose schema step, run ahead of the batch's rows, was
    // refused with `refused`: the refusal is settled as start() settles one
    // (the readings that need what was refused kept in the rejects, or the
    // table failed).
    void startRefused(const std::string& table, std::vector<DatabaseRecord>& records,
                      const StatementError& refused);
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
    // Rows of a table the warehouse refused, why, and what was tried.
    struct Refusal {
        std::vector<size_t> indices;
        std::shared_ptr<const StatementError> cause;
        bool schemaStep = false;  // a schema step refused them, not their send
        bool healed = false;      // the table was learned anew for them already
    };
    // What one step of settling a table came to.
    struct Done {};  // its rows are written or among the report's rejects
    struct Again {   // rows were refused anew: the next steps take them
        std::vector<Refusal> refusals;
    };
    struct Fail {  // the table fails; the cause is logged
        std::string why;
    };
    struct NoSchema {};  // the table has no known columns
    using Step = std::variant<Done, Again, Fail, NoSchema>;
    // What the sends of a table came to: the parts refused, and the first
    // failure of a part that may pass later.
    struct Collected {
        std::vector<Refusal> refused;
        std::optional<Fail> failure;
    };
    // A table whose rows were handed to the transport.
    struct InFlight {
        size_t slot;  // its outcome in outcome.tables
        Report report;
        std::vector<Transport::Ticket> sends;
        std::vector<Refusal> refused;  // parts refused, still to recover
    };
    // What checking the values before the rows are sent found.
    enum class ValueCheck {
        Unchecked,    // the table has the rescued data column: rows check as they go
        AllFit,       // every value fits its column
        SomeRescued,  // a value must be rescued and the table lacks the column
    };

    // Adds the outcome of a table of `readings` readings; its slot.
    size_t openSlot(const std::string& table, size_t readings);
    void settle(bool wait);
    // Books what the transport delivered for a table: heals, isolates,
    // completes or fails it; with `mayDefer`, healing and isolating wait for
    // finish().
    void settleTable(InFlight& entry, bool mayDefer);
    // Runs `work` for the table; a standard exception fails the table only.
    template <typename Work>
    void guarded(TableOutcome& out, Work work);
    // The one loop of recovery: takes refusals one at a time through
    // recover() until none is left (the table is then completed), a step
    // fails the table, or the table turns out to have no known columns.
    void settleRefusals(TableOutcome& out, std::vector<Refusal> refusals, Report& report);
    // The step for one refusal: heal a stale schema, isolate refused rows
    // (also rows of a statement refused for its length), keep what a refused
    // schema step cannot take, or fail.
    Step recover(TableOutcome& out, const Refusal& refusal, Report& report);
    // The table was dropped or changed behind the plugin's back: learns it
    // anew and sends the rows again.
    Step heal(TableOutcome& out, const Refusal& refusal, Report& report);
    // A schema step was refused for good: keeps the readings that need what
    // was refused in the rejects, sends the others.
    Step keepUnfitting(TableOutcome& out, const Refusal& refusal, Report& report);
    // Finds the refused rows by sending the rows in parts (kIsolationBudget
    // statements at most); those go to the report's rejects, with the rows
    // left undecided when the budget is spent. A row refused alone for its
    // length goes there too, its reading cut to fit.
    Step isolateRows(TableOutcome& out, const Refusal& refusal, Report& report);
    // One round of isolateRows: sends every part. Again holds the parts
    // refused for their data, none when every part was written.
    Step tryParts(TableOutcome& out, const std::vector<Refusal>& tries, Report& report);
    // Maps the readings at `indices` again and sends them. A refused schema
    // step comes back as Again, or is thrown on when `schemaRefusalFails`.
    Step sendAgain(TableOutcome& out, const std::vector<size_t>& indices, Report& report,
                   bool schemaRefusalFails);
    // The table's rows are in, and marked as they were delivered, but for its
    // rejects: writes the rejects and records the counts.
    void complete(TableOutcome& out, Report& report);
    // Waits for the sends into `table` (the table's own, or the rejects
    // table): marks and counts the readings of the parts written, and says
    // which were refused and whether one failed otherwise.
    Collected collect(TableOutcome& out, const std::string& table,
                      std::vector<Transport::Ticket> sends);
    // Adds the reading to the report's rejects, its reason the refusal's
    // message after `prefix`.
    static void reject(Report& report, size_t index, const StatementError& refused,
                       const char* prefix);
    void fail(TableOutcome& out, const std::string& why);
    // Logs a refused statement of the table; the failure it comes to.
    Fail statementFailure(const TableOutcome& out, const StatementError& refused);
    // Books a part of a send into `table` that may pass later (in doubt, a
    // connection refused for good) and logs it; the failure it comes to.
    Fail retryFailure(const TableOutcome& out, const std::string& table, const Retry& retry);
    // Books the rows of a part written into `table` (the table's own, or the
    // rejects table): readings stored, rows a MERGE skipped, and the values
    // rescued in the rows stored. A MERGE whose count cannot be read leaves
    // `table` in doubt (its rows then count as stored).
    void countWritten(TableOutcome& out, const std::string& table,
                      const std::vector<size_t>& readings, const Written& written,
                      const std::unordered_map<size_t, size_t>& rescued);
    // Fits the table to the records and hands their rows to the transport;
    // the records are consumed. Returns the send's ticket, or nothing when
    // the table has no known columns. A refused schema step throws
    // StatementError.
    std::optional<Transport::Ticket> submitRows(const std::string& table,
                                                std::vector<DatabaseRecord>& records,
                                                Report& report);
    // The schema step of an INSERT (fitting the table, the rescued data
    // column when needed). Returns true iff the table has known columns.
    bool prepare(const std::string& table, std::vector<DatabaseRecord>& records, Report& report);
    ValueCheck checkValues(const std::string& table, const std::vector<DatabaseRecord>& records);
    void addRescueColumn(const std::string& table);
    // The range of the records' timestamps, which bounds the rows of a table
    // in doubt that its rows are compared with; no bound when the table's
    // `ts` column is not a TIMESTAMP.
    TimeRange timeRangeOf(const std::string& table,
                          const std::vector<DatabaseRecord>& records) const;
    // Returns true iff rows written to the table now may be in it already.
    bool isInDoubt(const std::string& table) const;
    // How each column matches rows already in the table, for a table in doubt.
    std::vector<ColumnMatch> matchFor(const std::string& table,
                                      const std::vector<std::string>& columns) const;
    // The records of the pending readings at `indices`, for `table`.
    std::vector<DatabaseRecord> remap(const std::string& table, const std::vector<size_t>& indices);
    // Writes the report's rejects into the rejects table and marks them;
    // throws when it cannot, so that the table fails and nothing is lost.
    void writeRejects(TableOutcome& out, Report& report);

    Parts parts;
    BatchOutcome outcome;
    std::vector<InFlight> inFlight;
    std::vector<InFlight> deferred;  // refused tables, recovered in finish()
    // Per send not yet collected: the values rescued in each row, by the
    // row's reading (rows with none are left out).
    std::map<Transport::Ticket, std::unordered_map<size_t, size_t>> rescuedBySend;
};

// Logs, at the error level, the warehouse's reason for a refused statement.
void logWarehouseReason(const StatementError& error);

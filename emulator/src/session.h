#pragma once
// One open connection to the emulated warehouse.
//
// A Session is made from the connection string the driver manager hands to
// SQLDriverConnect. It checks the fault files of the warehouse directory
// (offline, credentials, faults, latency, limits, deny_create,
// no_full_data_type), opens the schema's SQLite file and
// owns that SQLite handle until it dies. The fault files are read on every
// connect and every statement, so a test can break, heal or slow down the
// warehouse from outside while connections are open; the faults file is
// consumed under a file lock so several processes share one budget of
// failures. The latency waits sleep without holding any lock, so connections
// in several threads and processes overlap as on the real warehouse. A Session
// serves one thread at a time.

#include <sqlite3.h>

#include <memory>
#include <string>
#include <string_view>

namespace whemu {

struct ConnectionSettings {
    std::string host;
    std::string port;
    std::string user;
    std::string password;
    std::string schema;     // lower case; "default" when none was given
    std::string catalog;    // lower case; "main" when none was given
    std::string directory;  // Warehouse=, else $LAKESINK_WAREHOUSE, else ./warehouse
};

// Reads "key=value;..." with ODBC's rule for braced values ({a;b}}c} is
// a;b}c). Keys are case-insensitive; unknown keys are ignored. Throws HY000 for
// an unterminated brace and 3F000 for a schema name that cannot be a file name.
ConnectionSettings parseConnectionString(std::string_view text);

// Delays of the latency file, in milliseconds; all 0 without the file.
struct Latency {
    long connect = 0;    // every connect (a warehouse that is starting)
    long statement = 0;  // every statement
    long commit = 0;     // every statement that writes, on top of `statement`
};

// Limits of the limits file. A statement longer than `statementBytes` bytes
// is refused (0: no limit); a table may have at most `columns` columns.
struct Limits {
    static constexpr long kMaxColumns = 2000;  // SQLite's own limit
    long statementBytes = 0;
    long columns = kMaxColumns;
};

// A line of the faults file that matched the current statement.
struct Fault {
    std::string state;   // empty when no line matched
    std::string filter;  // the line's TEXT, empty when it had none
    bool after = false;  // "after" line: the statement runs, then the answer is lost
};

// How the offline file makes the warehouse unreachable.
enum class Outage {
    None,
    Network,    // empty file: 08001 at connect, 08S01 on an open connection
    Transport,  // first line HY000: HY000 with the driver's HTTP transport message
};

class Session {
  public:
    // Waits the connect latency, then throws WarehouseError: 08001 (or HY000)
    // when offline or the directory is unreachable, 28000 when the
    // credentials are refused, HY000 when the schema file cannot be opened.
    explicit Session(const ConnectionSettings& settings);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    sqlite3* db() const { return db_; }
    const ConnectionSettings& settings() const { return settings_; }

    // True once this connection has seen the warehouse offline; it stays dead
    // until the application connects again.
    bool isDead();
    // Runs before every statement: 08S01 (or HY000) on a dead connection,
    // then the first matching line of the faults file (consumed) as that
    // line's SQLSTATE, then the statement latency, then the statement size
    // of the limits file (54000). A matching "after" line does not fail the
    // statement here: answerLost() then reports it once the statement ran.
    void checkStatement(std::string_view sql);
    // Throws the fault of a matching "after" line of the current statement
    // (once); does nothing otherwise. Called when the statement has run,
    // whether it succeeded or not.
    void answerLost();
    // The limits as read at the start of the current statement.
    const Limits& limits() const { return limits_; }
    // Returns true iff the deny_create file refuses CREATE TABLE in this
    // connection's schema.
    bool createDenied() const;
    // Returns true iff the no_full_data_type file hides that column of
    // information_schema.columns.
    bool hidesFullDataType() const;
    // The commit latency of the current statement; a writing statement calls
    // it after analysis and before it takes the storage's write lock.
    void waitCommit() const;

  private:
    Outage outageNow() const;
    Latency readLatency() const;
    Limits readLimits() const;
    Fault consumeFault(std::string_view sql);

    ConnectionSettings settings_;
    sqlite3* db_ = nullptr;
    bool dead_ = false;
    Outage deadBy_ = Outage::None;
    Latency latency_;  // as read at the start of the current statement
    Limits limits_;    // as read at the start of the current statement
    Fault lost_;       // an "after" fault waiting for the statement to run
};

}  // namespace whemu

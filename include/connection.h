#pragma once
// Connection: the connector's link to the warehouse.
//
// Owns the primary ODBC client (schema steps, recovery, and every statement
// when there is one writer), the writer pool (the extra connections that
// run a batch's statements side by side) and the statement limit (lowered as
// the warehouse refuses statements for their length, until new settings).
// Keeps the connection status, opens the primary connection lazily, and
// paces attempts after a failure: a refused login or configuration stays
// failed until the settings change.
// Every other failure is retried with a back-off on the steady clock: 5 s
// after the first failure, doubling after each further one up to 5 minutes,
// each wait lengthened by a random 0 to 20% (never shortened, so attempts are
// never closer than 5 s) so that retries do not stay in step with an outage
// that recurs at a fixed period. A successful connect or new settings start
// the sequence again from 5 s.
// Thread-safety: the status is atomic and may be read from any thread;
// everything else is used from the connector's thread (the host calls one
// entry point at a time).

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "query_result.h"
#include "statement_buffer.h"
#include "writer_pool.h"

class ODBCClient;

class Connection {
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

    // Takes ownership of `client` (not null); writer connections get their
    // clients from `writerClients`.
    Connection(std::unique_ptr<ODBCClient> client, WriterPool::ClientFactory writerClients);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Opens the primary connection with `connectionString` unless it is open,
    // failed for good, or still waiting out its back-off; the outcome is in
    // getStatus().
    void connect(const std::string& connectionString);
    // Closes the writer connections and the primary one; the status becomes
    // not connected.
    void disconnect();
    // New settings: disconnects, configures the writers, restarts the back-off
    // and reports the next failure even when it has the last one's cause;
    // forgets the lengths the warehouse refused.
    void applySettings(const std::string& connectionString, size_t writers);
    // Disconnects when the primary link is gone, so the next batch reconnects.
    // Returns true iff it did.
    bool dropIfDead();

    // The longest statement to send, lowered by the statements the
    // warehouse refused for their length.
    StatementLimit& statementLimit() { return limit; }

    ODBCStatus getStatus() const { return status.load(); }
    void setStatus(ODBCStatus value) { status = value; }
    // A connection (the primary or a writer's) was refused for good with
    // `cause` ("SQLSTATE=..., Message=..."): the status becomes failed until
    // the settings change.
    void refuseForGood(const std::string& cause);
    // While the connection is failed for good: logs one ERROR naming the
    // cause, its SQLSTATE and the settings to change, at most once per
    // REFUSAL_REPORT_INTERVAL. Returns true iff it logged.
    bool reportRefusal();
    static constexpr std::chrono::nanoseconds REFUSAL_REPORT_INTERVAL = std::chrono::minutes(1);
    ODBCClient& client() const { return *primary; }
    ODBCClient* clientPointer() const { return primary.get(); }
    WriterPool& writers() { return pool; }

    void setClock(SteadyClock clock) { steadyNow = std::move(clock); }
    // The steady clock's now.
    std::chrono::steady_clock::time_point now() const { return steadyNow(); }
    // The number of attempts to open the primary connection so far.
    uint64_t connectAttempts() const { return attempts; }
    // Values outside [0, 1] are clamped, NaN counts as 0.
    void setJitter(JitterSource source) { jitter = std::move(source); }
    // The wait, from the last attempt, before a failed connection is tried again.
    std::chrono::nanoseconds getRetryDelay() const { return retryDelay; }

  private:
    // After a connection attempt: resets the back-off on success, sets the
    // next (longer) wait after a failure that is retried.
    void updateBackoff(ODBCStatus outcome);
    void resetBackoff();
    // The default jitter source: a generator seeded from the system's entropy.
    static JitterSource randomJitter();

    std::unique_ptr<ODBCClient> primary;
    WriterPool pool;
    std::atomic<ODBCStatus> status{CORVANE_ODBC_NOTCONNECTED};
    std::chrono::steady_clock::time_point lastConnectAttempt{};
    SteadyClock steadyNow = [] { return std::chrono::steady_clock::now(); };
    uint64_t attempts = 0;
    unsigned failedConnects = 0;  // since the last success or change of settings
    std::chrono::nanoseconds retryDelay = RETRY_INTERVAL;
    std::string lastConnectException;  // reported once, like a failure's cause
    std::string refusal;               // why the connection is failed for good
    std::chrono::steady_clock::time_point lastRefusalReport{};
    bool refusalReported = false;
    StatementLimit limit;
    JitterSource jitter = randomJitter();
};

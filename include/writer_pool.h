#pragma once
// WriterPool: where a batch's statements run.
//
// A warehouse statement takes about a second, and appends to different
// tables (or to one Delta table) never conflict, so statements that run at
// once cost the latency of the slowest. The pool runs statements in one of
// two ways:
// - inline: on the primary connection, on the calling thread, before
//   submit() returns (one writer, or a batch with nothing to overlap);
// - in parallel: on up to `writers` extra connections, each served by a
//   thread of its own that waits on a condition variable for work; each
//   connection opens lazily with the connection string on first use and
//   again after its link was lost.
// Either way a statement's outcome is taken by its ticket. awaitFree()
// returns once a submit would not wait, so a caller that builds a statement
// only after it keeps at most `writers` statement texts alive.
// Thread-safety: one thread (the connector's) calls the members; the writer
// threads touch only their own connection's client and the pool's queue,
// under its mutex. close() waits for running statements and disconnects
// every writer; the destructor also ends the threads. The primary client is
// borrowed and must outlive the pool.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "query_result.h"

class ODBCClient;

class WriterPool {
  public:
    using ClientFactory = std::function<std::unique_ptr<ODBCClient>()>;
    using Ticket = size_t;

    // What became of one submitted statement.
    struct Outcome {
        enum class Kind { Written, Refused, ConnectFailed, Failed } kind = Kind::Failed;
        std::shared_ptr<StatementError> refusal;               // Refused: the warehouse's refusal
        ODBCStatus connectStatus = CORVANE_ODBC_NOTCONNECTED;  // ConnectFailed
        std::string failure;                                   // Failed: what was thrown
        QueryRows rows;                                        // Written: what it answered
    };

    WriterPool(ODBCClient& primary, ClientFactory factory);
    ~WriterPool();
    WriterPool(const WriterPool&) = delete;
    WriterPool& operator=(const WriterPool&) = delete;

    // Sets the number of writer connections and their connection string;
    // closes the open ones and ends their threads when either changes.
    void configure(size_t writers, const std::string& connectionString);
    // The number of writer connections configured.
    size_t size() const { return writerCount; }
    // Chooses where the next statements run: in parallel only when more than
    // one writer is configured and `parallel` is true.
    void setParallel(bool parallel);
    // Returns true iff statements run on the writer connections.
    bool isParallel() const { return parallelMode; }
    // Waits until a submit would not wait for a writer.
    void awaitFree();
    // Runs the statement (inline, or on a free writer connection, waiting for
    // one); its outcome is taken with take().
    Ticket submit(std::string sql);
    // Returns true iff the statement's outcome is there.
    bool isDone(Ticket ticket);
    // The statement's outcome, waiting for it; each ticket is taken once.
    Outcome take(Ticket ticket);
    // Waits for running statements and disconnects every writer connection.
    void close() noexcept;
    // The statements run and their time since the last call.
    std::pair<uint64_t, std::chrono::nanoseconds> takeStatementCounts();

  private:
    struct Job {
        Ticket ticket;
        std::string sql;
    };
    // Runs `sql` on `client`; what it came to. Counts it and its time.
    Outcome execute(ODBCClient& client, const std::string& sql);
    // execute on a writer connection, opening it first when `open` is false
    // and closing it when its link died.
    Outcome run(ODBCClient& client, bool& open, const std::string& connectionString,
                const std::string& sql);
    void serve(size_t writer);
    void startThreads();
    void stopThreads() noexcept;

    ODBCClient& primary;
    ClientFactory factory;
    std::string connectionString;
    size_t writerCount = 1;
    bool parallelMode = false;
    Ticket nextTicket = 0;

    std::mutex mutex;
    std::condition_variable workReady;  // a job was queued, or the threads stop
    std::condition_variable jobDone;    // a job finished
    std::vector<Job> queue;
    std::map<Ticket, Outcome> finished;
    size_t busy = 0;
    bool stopping = false;
    std::vector<std::unique_ptr<ODBCClient>> clients;  // one per writer thread
    std::vector<char> open;                            // per writer: its client is connected
    std::vector<std::thread> threads;
    std::atomic<uint64_t> statementsRun{0};
    std::atomic<int64_t> statementNanos{0};
};

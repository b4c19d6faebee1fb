#pragma once
// WriterPool: the extra connections that run a batch's INSERTs side by side.
//
// A warehouse INSERT takes about a second, and INSERTs into different tables
// never conflict, so a batch of several tables costs the latency of its
// slowest table when their INSERTs run at once. The pool holds up to `size`
// connections, each with a client of its own, opened lazily with the
// connector's connection string on first use and again after its link was
// lost. submit() hands a statement to a free connection (waiting while all
// are busy), so at most `size` statement texts are alive; finish() waits for
// all of them and returns what became of each, in submission order.
// The pool is used from one thread (the connector's); the statements run on
// threads of their own, each touching only its connection's client. close()
// (also the destructor) waits for running statements and frees every
// connection.

#include <cstddef>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "odbc_client.h"

class WriterPool {
  public:
    using ClientFactory = std::function<std::unique_ptr<ODBCClient>()>;

    // What became of one submitted statement.
    struct Outcome {
        enum class Kind { Written, Refused, ConnectFailed, Failed } kind = Kind::Failed;
        std::shared_ptr<StatementError> refusal;               // Refused: the warehouse's refusal
        ODBCStatus connectStatus = CORVANE_ODBC_NOTCONNECTED;  // ConnectFailed
        std::string failure;                                   // Failed: what was thrown
    };

    explicit WriterPool(ClientFactory factory) : factory(std::move(factory)) {}
    ~WriterPool() { close(); }
    WriterPool(const WriterPool&) = delete;
    WriterPool& operator=(const WriterPool&) = delete;

    // Sets the number of connections and their connection string; closes the
    // open ones when either changes.
    void configure(size_t size, const std::string& connectionString);
    size_t size() const { return slots.size(); }
    // Runs the statement on a free connection; returns its ticket (0, 1, ...
    // since the last finish()).
    size_t submit(std::string sql);
    // Waits for every submitted statement; the outcomes by ticket.
    std::vector<Outcome> finish();
    // Waits for running statements and disconnects every connection.
    void close() noexcept;

  private:
    struct Slot {
        std::unique_ptr<ODBCClient> client;
        bool open = false;
        std::future<Outcome> running;
        size_t ticket = 0;
    };
    // Runs on the slot's own thread.
    static Outcome run(Slot& slot, const std::string& connectionString, const std::string& sql);
    // Collects a finished statement of the slot, if any; true iff the slot is free.
    bool collect(Slot& slot, bool wait);

    ClientFactory factory;
    std::string connectionString;
    std::vector<std::unique_ptr<Slot>> slots;
    std::vector<Outcome> outcomes;
    size_t submitted = 0;
};

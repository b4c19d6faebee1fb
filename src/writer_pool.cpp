#include "writer_pool.h"

#include "odbc_client.h"

#include <exception>

WriterPool::WriterPool(ODBCClient& primary, ClientFactory factory)
    : primary(primary), factory(std::move(factory)) {}

WriterPool::~WriterPool() {
    stopThreads();
}

void WriterPool::configure(size_t writers, const std::string& newConnectionString) {
    if (writers == writerCount && newConnectionString == connectionString)
        return;
    stopThreads();
    writerCount = writers == 0 ? 1 : writers;
    connectionString = newConnectionString;
}

void WriterPool::setParallel(bool parallel) {
    parallelMode = parallel && writerCount > 1;
    if (parallelMode && threads.empty())
        startThreads();
}

void WriterPool::startThreads() {
    std::lock_guard<std::mutex> lock(mutex);
    stopping = false;
    clients.clear();
    open.assign(writerCount, 0);
    for (size_t i = 0; i < writerCount; ++i)
        clients.push_back(factory());
    for (size_t i = 0; i < writerCount; ++i)
        threads.emplace_back([this, i] { serve(i); });
}

void WriterPool::stopThreads() noexcept {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    workReady.notify_all();
    for (std::thread& thread : threads) {
        if (thread.joinable())
            thread.join();
    }
    threads.clear();
    for (auto& client : clients) {
        try {
            client->Destroy();
        } catch (...) {
        }
    }
    clients.clear();
    open.clear();
    std::lock_guard<std::mutex> lock(mutex);
    stopping = false;
}

void WriterPool::serve(size_t writer) {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        workReady.wait(lock, [this] { return stopping || !queue.empty(); });
        // Queued work is done before the thread ends: every ticket gets its outcome.
        if (queue.empty())
            return;
        Job job = std::move(queue.front());
        queue.erase(queue.begin());
        ++busy;
        bool isOpen = open[writer] != 0;
        const std::string connection = connectionString;
        lock.unlock();
        Outcome outcome = run(*clients[writer], isOpen, connection, job.sql);
        std::string().swap(job.sql);
        lock.lock();
        open[writer] = isOpen ? 1 : 0;
        finished[job.ticket] = std::move(outcome);
        --busy;
        jobDone.notify_all();
    }
}

WriterPool::Outcome WriterPool::execute(ODBCClient& client, const std::string& sql) {
    Outcome outcome;
    const auto started = std::chrono::steady_clock::now();
    struct Count {
        WriterPool& pool;
        std::chrono::steady_clock::time_point started;
        ~Count() {
            pool.statementsRun.fetch_add(1, std::memory_order_relaxed);
            pool.statementNanos.fetch_add(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                              std::chrono::steady_clock::now() - started)
                                              .count(),
                                          std::memory_order_relaxed);
        }
    } count{*this, started};
    try {
        outcome.rows = client.executeQuery(sql).rows;
        outcome.kind = Outcome::Kind::Written;
    } catch (const StatementError& refused) {
        outcome.kind = Outcome::Kind::Refused;
        outcome.refusal = std::make_shared<StatementError>(refused);
    } catch (const std::exception& error) {
        outcome.kind = Outcome::Kind::Failed;
        outcome.failure = error.what();
    }
    return outcome;
}

WriterPool::Outcome WriterPool::run(ODBCClient& client, bool& open,
                                    const std::string& connectionString, const std::string& sql) {
    if (!open) {
        Outcome failed;
        try {
            client.Init();
            failed.connectStatus = client.Connect(connectionString);
        } catch (const std::exception& error) {
            failed.kind = Outcome::Kind::Failed;
            failed.failure = error.what();
            client.Destroy();
            return failed;
        }
        if (failed.connectStatus != CORVANE_ODBC_SUCCESS) {
            failed.kind = Outcome::Kind::ConnectFailed;
            client.Destroy();
            return failed;
        }
        open = true;
    }
    Outcome outcome = execute(client, sql);
    // A connection whose link died is opened again on its next use.
    if (outcome.kind != Outcome::Kind::Written && !client.isConnected()) {
        client.Destroy();
        open = false;
    }
    return outcome;
}

void WriterPool::awaitFree() {
    if (!parallelMode)
        return;
    std::unique_lock<std::mutex> lock(mutex);
    jobDone.wait(lock, [this] { return queue.size() + busy < threads.size(); });
}

WriterPool::Ticket WriterPool::submit(std::string sql) {
    const Ticket ticket = nextTicket++;
    if (!parallelMode) {
        Outcome outcome = execute(primary, sql);
        std::lock_guard<std::mutex> lock(mutex);
        finished[ticket] = std::move(outcome);
        return ticket;
    }
    awaitFree();
    {
        std::lock_guard<std::mutex> lock(mutex);
        queue.push_back(Job{ticket, std::move(sql)});
    }
    workReady.notify_one();
    return ticket;
}

bool WriterPool::isDone(Ticket ticket) {
    std::lock_guard<std::mutex> lock(mutex);
    return finished.count(ticket) != 0;
}

WriterPool::Outcome WriterPool::take(Ticket ticket) {
    std::unique_lock<std::mutex> lock(mutex);
    jobDone.wait(lock, [this, ticket] { return finished.count(ticket) != 0; });
    auto found = finished.find(ticket);
    Outcome outcome = std::move(found->second);
    finished.erase(found);
    return outcome;
}

void WriterPool::close() noexcept {
    {
        std::unique_lock<std::mutex> lock(mutex);
        // Outcomes not yet taken stay: a table of the batch still waits for
        // them when a dead link closes the pool halfway.
        jobDone.wait(lock, [this] { return queue.empty() && busy == 0; });
    }
    for (size_t i = 0; i < clients.size(); ++i) {
        try {
            clients[i]->Destroy();
        } catch (...) {
        }
        open[i] = 0;
    }
}

std::pair<uint64_t, std::chrono::nanoseconds> WriterPool::takeStatementCounts() {
    return {statementsRun.exchange(0), std::chrono::nanoseconds(statementNanos.exchange(0))};
}

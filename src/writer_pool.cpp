#include "writer_pool.h"

#include <chrono>
#include <exception>
#include <thread>

#include "logger.h"

void WriterPool::configure(size_t size, const std::string& newConnectionString) {
    if (size == slots.size() && newConnectionString == connectionString)
        return;
    close();
    connectionString = newConnectionString;
    slots.clear();
    for (size_t i = 0; i < size; ++i)
        slots.push_back(std::make_unique<Slot>());
}

WriterPool::Outcome WriterPool::run(Slot& slot, const std::string& connectionString,
                                    const std::string& sql) {
    Outcome outcome;
    try {
        if (!slot.open) {
            slot.client->Init();
            outcome.connectStatus = slot.client->Connect(connectionString);
            if (outcome.connectStatus != CORVANE_ODBC_SUCCESS) {
                outcome.kind = Outcome::Kind::ConnectFailed;
                return outcome;
            }
            slot.open = true;
        }
        slot.client->executeQuery(sql);
        outcome.kind = Outcome::Kind::Written;
    } catch (const StatementError& refused) {
        outcome.kind = Outcome::Kind::Refused;
        outcome.refusal = std::make_shared<StatementError>(refused);
        // A connection whose link died is opened again on its next use.
        if (!slot.client->isConnected()) {
            slot.client->Destroy();
            slot.open = false;
        }
    } catch (const std::exception& error) {
        outcome.kind = Outcome::Kind::Failed;
        outcome.failure = error.what();
        slot.client->Destroy();
        slot.open = false;
    }
    return outcome;
}

bool WriterPool::collect(Slot& slot, bool wait) {
    if (!slot.running.valid())
        return true;
    if (!wait && slot.running.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready)
        return false;
    Outcome outcome = slot.running.get();
    if (outcomes.size() <= slot.ticket)
        outcomes.resize(slot.ticket + 1);
    outcomes[slot.ticket] = std::move(outcome);
    return true;
}

size_t WriterPool::submit(std::string sql) {
    Slot* free = nullptr;
    while (free == nullptr) {
        for (auto& slot : slots) {
            if (collect(*slot, false)) {
                free = slot.get();
                break;
            }
        }
        if (free == nullptr)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!free->client)
        free->client = factory();
    free->ticket = submitted++;
    const std::string* connection = &connectionString;
    free->running = std::async(std::launch::async, [free, connection, text = std::move(sql)] {
        return run(*free, *connection, text);
    });
    return free->ticket;
}

std::vector<WriterPool::Outcome> WriterPool::finish() {
    for (auto& slot : slots)
        collect(*slot, true);
    std::vector<Outcome> done = std::move(outcomes);
    done.resize(submitted);
    outcomes.clear();
    submitted = 0;
    return done;
}

void WriterPool::close() noexcept {
    try {
        finish();
    } catch (...) {
    }
    for (auto& slot : slots) {
        if (slot->client)
            slot->client->Destroy();
        slot->open = false;
    }
}

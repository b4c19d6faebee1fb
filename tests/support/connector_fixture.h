#pragma once
// Connectors for tests, each on a client the test controls and with a clock
// the test moves by hand (retry jitter zero), so the reconnect back-off is
// checked exactly and without waiting.
//
// - ConnectorOn<Client>: a connector on a new `Client` (a mock, or the real
//   client counting its calls). The connector owns the client; `client`
//   stays valid as long as the fixture lives.
// - MockedConnector: ConnectorOn a GoogleMock client.
// - RecordingConnector: a MockedConnector configured with one writer, whose
//   client records every statement and answers the information schema from
//   `tables`, as a warehouse holding those tables would.
// Not thread-safe: one test thread (one writer, so every statement runs on it).

#include <gmock/gmock.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "databricks_odbc_connector.h"
#include "mock_odbc_client.h"

template <class Client>
struct ConnectorOn {
    using Clock = std::chrono::steady_clock;

    ConnectorOn() {
        connector.setClock([this] { return now; });
        connector.setJitter([] { return 0.0; });
    }
    ConnectorOn(const ConnectorOn&) = delete;
    ConnectorOn& operator=(const ConnectorOn&) = delete;

    // Moves the clock to `delay` after `attempt`.
    void at(Clock::time_point attempt, Clock::duration delay) { now = attempt + delay; }

    Client* client = new Client();
    DatabricksODBCConnector connector{client};
    Clock::time_point now = Clock::time_point(std::chrono::hours(1000));
};

using MockedConnector = ConnectorOn<::testing::NiceMock<MockODBCClient>>;

struct RecordingConnector : MockedConnector {
    // How the information schema is asked about one table, and about the
    // tables of a batch (each row of the answer starts with its table).
    static const std::string kInfoSchema;
    static const std::string kInfoSchemaOfTables;

    RecordingConnector();

    // The INSERT statements sent, in order.
    std::vector<std::string> inserts() const;

    std::vector<std::string> statements;
    // The warehouse's tables: name to the information schema's rows.
    std::map<std::string, QueryRows> tables;
    // A statement containing this text is refused as the client refuses one.
    std::string failOn;
    // What a MERGE answers: by default one row of counts, every row new.
    QueryRows mergeAnswer = {{"1", "1", "0", "0", "1"}};
    // What isConnected answers.
    bool connected = true;

  private:
    QueryResult answer(const std::string& sql);
};

#pragma once
// CountingClient: the real ODBC client, counting the calls tests care about
// (connection attempts, liveness checks, product-name reads, statements by
// kind, statements refused for their length). Every call still goes to the
// real client. Not thread-safe: for tests that run statements on one thread
// (writers 1) or read the counts after the writers have finished.

#include <string>

#include "odbc_client.h"
#include "query_result.h"

class CountingClient : public ODBCClient {
  public:
    ODBCStatus Connect(const std::string& connectionString) override {
        ++connects;
        return ODBCClient::Connect(connectionString);
    }
    bool isConnected() override {
        ++isConnectedCalls;
        return ODBCClient::isConnected();
    }
    std::string getDatabaseProductName() override {
        ++productNameCalls;
        return ODBCClient::getDatabaseProductName();
    }
    QueryResult executeQuery(const std::string& query) override {
        ++statements;
        merges += query.rfind("MERGE", 0) == 0;
        inserts += query.rfind("INSERT", 0) == 0;
        try {
            return ODBCClient::executeQuery(query);
        } catch (const StatementError& error) {
            tooLarge += error.sqlState() == "54000";
            throw;
        }
    }

    int connects = 0;
    int isConnectedCalls = 0;
    int productNameCalls = 0;
    int statements = 0;
    int merges = 0;
    int inserts = 0;
    int tooLarge = 0;
};

#pragma once
// A GoogleMock ODBC client for tests of the parts above the client (connector,
// schema manager, send pipeline). It never calls the driver manager.

#include <gmock/gmock.h>

#include <string>

#include "odbc_client.h"

class MockODBCClient : public ODBCClient {
  public:
    MOCK_METHOD(void, Init, (), (override));
    MOCK_METHOD(ODBCStatus, Connect, (const std::string&), (override));
    MOCK_METHOD(bool, isConnected, (), (override));
    MOCK_METHOD(std::string, getDatabaseProductName, (), (override));
    MOCK_METHOD(std::string, getDatabaseType, (), (override));
    MOCK_METHOD(DatabaseType, getDatabaseTypeEnum, (), (override));
    MOCK_METHOD(void, cacheDatabaseType, (), (override));
    MOCK_METHOD(bool, isDatabaseTypeCached, (), (const, override));
    MOCK_METHOD(QueryResult, executeQuery, (const std::string&), (override));
    MOCK_METHOD(QueryResultEx, executeQueryEx, (const std::string&), (override));
    MOCK_METHOD(void, Destroy, (), (override));
};

// A successful result with the given rows.
inline QueryResult okResult(QueryRows rows = {}) {
    QueryResult result;
    result.success = true;
    result.rows = std::move(rows);
    return result;
}

#pragma once
// A schema manager on a mock ODBC client whose information schema the test
// sets, for tests of discovery, table creation and column additions. Every
// statement is recorded in `statements`; a SELECT answers with `infoRows`,
// any other statement with no rows; a statement containing `failOn` throws
// as the client does on a failed execution. The manager uses the Databricks
// builder held here. Not thread-safe: one test thread.

#include <gmock/gmock.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "databricks_sql_builder.h"
#include "mock_odbc_client.h"
#include "schema_manager.h"

struct MockedSchemaManager {
    explicit MockedSchemaManager(const std::string& schema = "Plant") : manager(&client, schema) {
        manager.setSQLBuilder(&builder);
        ON_CALL(client, executeQuery(::testing::_))
            .WillByDefault(::testing::Invoke([this](const std::string& sql) {
                statements.push_back(sql);
                if (!failOn.empty() && sql.find(failOn) != std::string::npos)
                    throw std::runtime_error("Failed to execute query.");
                return okResult(sql.rfind("SELECT", 0) == 0 ? infoRows : QueryRows{});
            }));
    }
    MockedSchemaManager(const MockedSchemaManager&) = delete;
    MockedSchemaManager& operator=(const MockedSchemaManager&) = delete;

    ::testing::NiceMock<MockODBCClient> client;
    DatabricksSQLBuilder builder;
    SchemaManager manager;
    std::vector<std::string> statements;
    QueryRows infoRows;
    std::string failOn;
};

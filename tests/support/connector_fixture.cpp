#include "connector_fixture.h"

#include "config_category.h"
#include "query_result.h"

using ::testing::_;
using ::testing::Invoke;
using ::testing::Return;

const std::string RecordingConnector::kInfoSchema =
    "SELECT column_name,data_type,is_nullable,full_data_type FROM information_schema.columns";
const std::string RecordingConnector::kInfoSchemaOfTables =
    "SELECT table_name,column_name,data_type,is_nullable,full_data_type FROM "
    "information_schema.columns";

RecordingConnector::RecordingConnector() {
    ON_CALL(*client, Connect(_)).WillByDefault(Return(CORVANE_ODBC_SUCCESS));
    ON_CALL(*client, isConnected()).WillByDefault(Invoke([this] { return connected; }));
    ON_CALL(*client, executeQuery(_)).WillByDefault(Invoke([this](const std::string& sql) {
        statements.push_back(sql);
        return answer(sql);
    }));
    // One writer: every statement goes through the mock client.
    ConfigCategory defaults("lakesink",
                            R"({"corvaneInstance": {"value": "edge"}, "writers": {"value": "1"}})");
    connector.configure(&defaults);
}

QueryResult RecordingConnector::answer(const std::string& sql) {
    if (!failOn.empty() && sql.find(failOn) != std::string::npos)
        throw StatementError("HY000", 0, "refused by the test", true);
    if (sql.rfind("MERGE", 0) == 0)
        return okResult(mergeAnswer);
    if (sql.rfind(kInfoSchema, 0) == 0) {
        for (const auto& [table, rows] : tables) {
            if (sql.find("table_name = '" + table + "'") != std::string::npos)
                return okResult(rows);
        }
    }
    if (sql.rfind(kInfoSchemaOfTables, 0) == 0) {
        QueryRows found;
        for (const auto& [table, rows] : tables) {
            if (sql.find("'" + table + "'") == std::string::npos)
                continue;
            for (QueryRow row : rows) {
                row.insert(row.begin(), table);
                found.push_back(row);
            }
        }
        return okResult(found);
    }
    return okResult();
}

std::vector<std::string> RecordingConnector::inserts() const {
    std::vector<std::string> found;
    for (const auto& s : statements) {
        if (s.rfind("INSERT", 0) == 0)
            found.push_back(s);
    }
    return found;
}

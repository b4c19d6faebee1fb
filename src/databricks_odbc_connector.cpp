#include "databricks_odbc_connector.h"

#include "databricks_odbc_config.h"
#include "logger.h"

DatabricksODBCConnector::DatabricksODBCConnector() : ODBCConnector(nullptr) {}

DatabricksODBCConnector::DatabricksODBCConnector(ODBCClient* client) : ODBCConnector(client) {}

// The builder goes before the base connector, which only points at it.
DatabricksODBCConnector::~DatabricksODBCConnector() = default;

bool DatabricksODBCConnector::configure(const ConfigCategory* category) {
    if (!ODBCConnector::configure(category)) {
        Logger::getLogger()->error("Databricks configuration failed");
        return false;
    }
    // The new builder is handed out before the old one is deleted, so no part
    // ever holds a pointer to a deleted builder.
    auto fresh = std::make_unique<DatabricksSQLBuilder>();
    setSQLBuilder(fresh.get());
    databricksBuilder = std::move(fresh);
    return true;
}

bool DatabricksODBCConnector::send(const std::vector<Reading*>& readings) {
    Logger::getLogger()->debug("Sending %zu readings to Databricks", readings.size());
    return ODBCConnector::send(readings);
}

ODBCConfig* DatabricksODBCConnector::createConfig() const {
    return new DatabricksODBCConfig();
}

SQLBuilder* DatabricksODBCConnector::createSQLBuilder() const {
    return new DatabricksSQLBuilder();
}

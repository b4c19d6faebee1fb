#include "databricks_odbc_config.h"

#include "logger.h"

DatabricksODBCConfig::DatabricksODBCConfig() {
    Logger::getLogger()->debug("DatabricksODBCConfig: Created default instance");
}

DatabricksODBCConfig::~DatabricksODBCConfig() {
    Logger::getLogger()->debug("DatabricksODBCConfig: Destroyed");
}

// Driver={DatabricksODBCDriver};Host=..;Port=..;UID=..;PWD=..;SCHEMA=..; followed
// by the additional parameters. Every attribute is written, also when empty.
void DatabricksODBCConfig::buildConnectionString() {
    connectionString = composeConnectionString();
}

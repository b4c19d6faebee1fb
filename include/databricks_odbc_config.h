#pragma once
// DatabricksODBCConfig: the settings of the Databricks connector, with the
// connection string naming the driver registered as DatabricksODBCDriver.

#include "odbc_config.h"

class DatabricksODBCConfig : public ODBCConfig {
  public:
    DatabricksODBCConfig();
    DatabricksODBCConfig(const DatabricksODBCConfig&) = default;
    DatabricksODBCConfig& operator=(const DatabricksODBCConfig&) = default;
    ~DatabricksODBCConfig() override;

    std::string getConnectionString() const override { return connectionString; }
    void buildConnectionString() override;
};

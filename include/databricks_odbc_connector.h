#pragma once
// DatabricksODBCConnector: the connector the plugin creates. Supplies the
// Databricks configuration class and owns the Databricks SQL builder, which it
// replaces on every successful configure and hands to the base connector, the
// schema manager and the reading mapper. Never copied; threading as
// ODBCConnector.

#include <memory>

#include "databricks_sql_builder.h"
#include "odbc_connector.h"

class DatabricksODBCConnector : public ODBCConnector {
  public:
    DatabricksODBCConnector();
    explicit DatabricksODBCConnector(ODBCClient* client);
    ~DatabricksODBCConnector() override;

    bool configure(const ConfigCategory* category) override;
    bool send(const std::vector<Reading*>& readings) override;
    ODBCConfig* createConfig() const override;
    SQLBuilder* createSQLBuilder() const override;

    DatabricksSQLBuilder* getSQLBuilder() const { return databricksBuilder.get(); }

  private:
    std::unique_ptr<DatabricksSQLBuilder> databricksBuilder;
};

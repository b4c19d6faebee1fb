// databricks_odbc_connector: not yet written

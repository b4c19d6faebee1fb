// databricks_odbc_config: not yet written

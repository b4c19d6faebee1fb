// odbc_config: not yet written

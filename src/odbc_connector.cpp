// odbc_connector: not yet written

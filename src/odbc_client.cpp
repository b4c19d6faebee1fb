// odbc_client: not yet written

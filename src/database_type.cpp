// database_type: not yet written

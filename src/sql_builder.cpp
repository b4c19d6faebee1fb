// sql_builder: not yet written

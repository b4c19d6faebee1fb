// databricks_sql_builder: not yet written

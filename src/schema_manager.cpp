// schema_manager: not yet written

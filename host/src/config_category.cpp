// config_category: not yet written

// logger: not yet written

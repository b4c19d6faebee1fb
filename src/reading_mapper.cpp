// reading_mapper: not yet written

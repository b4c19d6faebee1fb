// reading: not yet written

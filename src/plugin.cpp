// plugin: not yet written

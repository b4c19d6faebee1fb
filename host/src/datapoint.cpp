// datapoint: not yet written

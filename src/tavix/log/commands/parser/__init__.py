"""Results parsers of the run archive viewer."""

"""Commands and modules of the run archive viewer."""

"""Run-time logging (morlan, colour, warnings) and the run archive viewer (commands)."""

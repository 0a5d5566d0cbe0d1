"""Small helpers shared by the framework."""

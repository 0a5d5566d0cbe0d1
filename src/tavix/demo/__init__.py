"""A small simulated test job that shows the logging package at work."""

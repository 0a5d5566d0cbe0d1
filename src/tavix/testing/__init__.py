"""Helpers for testing and benchmarking tavix: realistic run archives, process figures."""

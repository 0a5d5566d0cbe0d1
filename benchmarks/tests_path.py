"""Puts tests/ on the import path, so that benchmarks import the test helpers
as the tests do:

    import tests_path  # noqa: F401
    from helpers.archives import generate_archive
"""
import os
import sys

TESTS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests")
if TESTS not in sys.path:
    sys.path.insert(0, TESTS)

"""Shared fixtures."""

import pytest

from tavix.testing.archives import generate_archive


@pytest.fixture(scope="session")
def generated_run(tmp_path_factory):
    """A small generated run archive (two scripts, 60 sections) and its description."""
    path = tmp_path_factory.mktemp("runs") / "run.zip"
    return generate_archive(path, log_bytes=240_000, sections=60, seed=7, scripts=2)


@pytest.fixture(scope="session")
def generated_run_invalid_utf8(tmp_path_factory):
    """Like `generated_run`, with bytes that are not UTF-8 in some device output."""
    path = tmp_path_factory.mktemp("runs") / "run-invalid.zip"
    return generate_archive(path, log_bytes=120_000, sections=30, seed=3, scripts=1, invalid_utf8=True)

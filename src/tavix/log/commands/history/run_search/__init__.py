"""Searching the task logs of every stored run: a search index per run
(built when the run is recorded), the section map that names the section of
each hit, where both are kept, and the search itself.

    for found in search_runs(index, "BGP neighbor", suite="nightly", since="2026-12-01"):
        ...  # hits newest run first, and {"notice": ...} among them
"""
from .building import build_run_search, rebuild_run_search
from .cancel import SearchCancel, cancellable
from .moments import moment_option, moment_seconds
from .search_files import DEFAULT_SEARCH_DIRECTORY, LocalSearchFiles, SearchFiles
from .searching import search_runs
from .section_map import SectionMap, SectionMapError

__all__ = ["DEFAULT_SEARCH_DIRECTORY", "LocalSearchFiles", "SearchCancel", "SearchFiles", "SectionMap", "cancellable",
           "SectionMapError", "build_run_search", "moment_option", "moment_seconds", "rebuild_run_search",
           "search_runs"]

"""The team service: every run of a team in one place.

`tavix logs serve` keeps run archives in a store, records them in the run
index, opens them on demand into a bounded cache and serves each one's viewer
under /runs/{request_id}, with a home page over every suite, an HTTP API for
CI and keys with roles.
"""

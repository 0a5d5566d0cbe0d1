"""Failure messages for the signature tests and benchmarks."""


def pathological_lines(size):
    """(message, signature) pairs for runs that make a naive reading slow
    (benchmarks/bench_signatures.py times them)."""
    unclosed = [(f" {quote}a" * (size // 3), " ".join([f"{quote}a"] * (size // 3))) for quote in "'\"\u201c\u00ab"]
    return unclosed + [
        (":" * size, "<IP>" * (size // 2)),
        ("a:" * (size // 2), "a:" * (size // 2 - 8) + "<IP>:"),
        ("1." * (size // 2), "<IP>." * (size // 8)),
    ]

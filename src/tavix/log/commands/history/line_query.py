"""A log line as a search of other runs: "where else has this line appeared?"

The line's message is masked as failure signatures mask a cause (numbers,
hexadecimal numbers, addresses, UUIDs, quoted strings, dates and times
become placeholders, blanks one blank), then made a regular expression in
which each placeholder matches any such field: the same line of another
run, its numbers and times its own, is found.
"""
import re
import shlex

__all__ = ["MAX_LINE", "line_query"]

# Characters of a message kept: its start tells the line well enough, and
# the query stays within what a search takes.
MAX_LINE = 400
# What each placeholder of a signature stands for, as the searcher's regular expressions write it.
FIELDS = {
    "N": r"\d+",
    "HEX": r"(0[xX])?[0-9a-fA-F]+",
    "IP": r"[0-9a-fA-F:.]+",
    "MAC": r"[0-9a-fA-F:.-]+",
    "UUID": r"[0-9a-fA-F-]+",
    "DATE": r"\d{4}[-/]\d{2}[-/]\d{2}",
    "TIME": r"\d{1,2}:\d{2}:\d{2}[0-9.,:+A-Za-z-]*",
    "STR": r".*",
}
_PLACEHOLDER = re.compile(r"<(%s)>" % "|".join(FIELDS))
_SPECIAL = frozenset("\\.^$|?*+()[]{}")


def _literal(text):
    """`text` as a regular expression matching itself; a blank matches any run of blanks."""
    escaped = "".join("\\" + c if c in _SPECIAL else c for c in text)
    return re.sub(r" +", r"\\s+", escaped)


def line_query(message):
    """{"masked", "query" (a regular expression), "command"} of a line's
    message (its header left out): the masked text, the search it makes, and
    the `tavix logs search` command line searching every indexed run for it.
    ValueError for a message that holds nothing to search for."""
    from tavix.log.commands.parser.base import failure_signature

    masked = failure_signature(str(message)[:MAX_LINE])
    if not masked:
        raise ValueError("the line holds nothing to search for")
    pieces = _PLACEHOLDER.split(masked)
    # split() alternates literal text and placeholder names.
    query = "".join(FIELDS[piece] if odd else _literal(piece) for odd, piece in
                    ((index % 2 == 1, piece) for index, piece in enumerate(pieces)))
    return {"masked": masked, "query": query,
            "command": "tavix logs search --runs all -E %s" % shlex.quote(query)}

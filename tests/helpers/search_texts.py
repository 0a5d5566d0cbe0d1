"""Texts and queries for search tests, and the literal reading of the bytes
with the interpreter's re that the searchers must agree with."""

import re

__all__ = ["ASCII_CLASSES", "LITERALS", "NOISE", "REGEXES", "WORDS", "random_log", "reference"]

# The searcher's \d, \w, \s and \b are the ASCII ones, whatever the case mode.
ASCII_CLASSES = {
    r"\d": "[0-9]", r"\D": "[^0-9]", r"\w": "[A-Za-z0-9_]", r"\W": "[^A-Za-z0-9_]",
    r"\s": "[ \t\n\r\f\v]", r"\S": "[^ \t\n\r\f\v]",
    r"\b": r"(?:(?<![A-Za-z0-9_])(?=[A-Za-z0-9_])|(?<=[A-Za-z0-9_])(?![A-Za-z0-9_]))",
    r"\B": r"(?:(?<![A-Za-z0-9_])(?![A-Za-z0-9_])|(?<=[A-Za-z0-9_])(?=[A-Za-z0-9_]))",
}


def reference(data, start, size, query, regex=False, case=False, offset=0):
    """Hits by the rules: lines of the section's bytes, line end dropped, text decoded."""
    section = data[start:start + size] if size > 0 else data[start:]
    pattern = query if regex else re.escape(query)
    if regex:
        pattern = re.sub(r"\\[dDwWsSbB]", lambda m: "(?-i:%s)" % ASCII_CLASSES[m.group()], pattern)
    compiled = re.compile(pattern, 0 if case else re.IGNORECASE)
    hits, position = [], 0
    for index, line in enumerate(section.split(b"\n")):
        line_start, position = position, position + len(line) + 1
        if line_start >= len(section) or line_start < offset:
            continue
        content = line[:-1] if line.endswith(b"\r") and position <= len(section) else line
        text = content.decode("utf-8", "replace")
        found = compiled.search(text)
        if found:
            hits.append({"offset": line_start, "line": index, "column": found.start(),
                         "length": found.end() - found.start(), "text": text})
    return hits


WORDS = ["error", "Error", "ERROR", "fail", "ok", "KELVIN", "\u212a", "\u017f", "straße", "STRASSE",
         "ı", "İ", "Ä", "ä", "\u00b5", "\u03bc", "x", "  ", "\t", "日本", "\U0001f600",
         "\u212aelvin", "\u017fki", "SKI", "skI"]
NOISE = [b"\r", b"\xff", b"\xc3", b"\xe2\x84", b"\n", b"\r\n", b"\n\n"]


def random_log(rng, lines, noise=NOISE):
    out = []
    for _ in range(lines):
        pieces = []
        for _ in range(rng.randrange(0, 8)):
            if rng.random() < 0.15:
                pieces.append(rng.choice(noise))
            else:
                pieces.append(rng.choice(WORDS).encode())
            pieces.append(b" " if rng.random() < 0.7 else b"")
        out.append(b"".join(pieces) + rng.choice([b"\n", b"\r\n"]))
    return b"".join(out)


LITERALS = ["error", "ERROR", "rror e", "k", "K", "s", "straße", "ä", "ı", "i", "\u00b5", "日本",
            "\U0001f600", "x ", " ", "\t", "ok\r", "kelvin", "ski", "ski sk"]
REGEXES = [r"err(or)?", r"^error", r"error$", r"e.r", r"[a-f]+", r"[^ ]+ok", r"\bok\b", r"(a|ab)(c|bcd)?",
           r"x*", r"\d|\w{3}", r"(?:ok|fail) \S+", r"^$", r"[ä-ö]", r"K.*?n", r"\Bo", r"e{2,}|r{1,2}o",
           r"\s$", r"(?P<word>fail)+"]

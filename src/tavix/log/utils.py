"""Helpers for the framework's log output."""
import logging

__all__ = ["banner"]


def banner(message, width=80, char="*", logger=None, level=logging.INFO):
    """Frame ``message`` in a box of ``char`` and return the box as text.

    Each line of the message is centred between border characters on a line
    of ``width`` characters (longer lines widen the box). When ``logger`` is
    given, the box is also logged on it at ``level``.
    """
    if not isinstance(char, str) or len(char) != 1:
        raise ValueError("char must be a single character, got %r" % (char,))
    lines = str(message).splitlines() or [""]
    inner = max([width - 4] + [len(line) for line in lines])
    rule = char * (inner + 4)
    body = ["%s %s %s" % (char, line.center(inner), char) for line in lines]
    text = "\n".join([rule] + body + [rule])
    if logger is not None:
        logger.log(level, text)
    return text

"""A self-updating progress line for long steps of command-line tools.

The line is drawn on standard error, and only while that is a terminal: in
a pipe, a file or a CI log it writes nothing at all. It redraws in place
(a carriage return, no escape sequences), at most ten times a second, and
`clear` erases it before the tool prints anything else.

    line = ProgressLine()
    for done in ...:
        line.transfer("Extracting", done, total)  # Extracting: 45.2 MiB of 210.0 MiB (21 %), 112.3 MiB/s
    line.clear()
"""
import os
import sys
import time

__all__ = ["ProgressLine", "format_bytes"]


def format_bytes(count):
    """A byte count for people: "512 B", "1.5 KiB", "45.2 MiB", "1.2 GiB"."""
    if count < 1024:
        return "%d B" % count
    for unit in ("KiB", "MiB", "GiB"):
        count /= 1024
        if count < 1024 or unit == "GiB":
            return "%.1f %s" % (count, unit)


class ProgressLine:
    """One line of progress redrawn in place on a terminal; silent elsewhere."""

    REFRESH = 0.1  # seconds between two drawings

    def __init__(self, stream=None):
        self.stream = sys.stderr if stream is None else stream
        try:
            self.active = self.stream.isatty()
        except (AttributeError, ValueError):  # no such method, or a closed stream
            self.active = False
        self.started = time.monotonic()
        self._next_drawing = self.started
        self._width = 0  # of the text on screen
        self._label, self._label_started = None, self.started

    def show(self, text, now=None):
        """Puts `text` on the line, unless it was redrawn less than REFRESH ago."""
        if not self.active:
            return
        now = time.monotonic() if now is None else now
        if now < self._next_drawing:
            return
        self._next_drawing = now + self.REFRESH
        # A line wider than the terminal would wrap, and the carriage return
        # would then redraw only its last row.
        text = text[:self._columns() - 1]
        self.stream.write("\r" + text + " " * (self._width - len(text)))
        self.stream.flush()
        self._width = len(text)

    def transfer(self, label, done, total):
        """Shows "label: done of total (percent), rate" for a count of bytes.

        The rate counts from the first call with this label.
        """
        now = time.monotonic()
        if label != self._label:
            self._label, self._label_started = label, now
        if not self.active or now < self._next_drawing:
            return
        percent = 100 * done // total if total else 100
        elapsed = now - self._label_started
        rate = ", %s/s" % format_bytes(done / elapsed) if elapsed > 0 else ""
        self.show("%s: %s of %s (%d %%)%s" % (label, format_bytes(done), format_bytes(total),
                                              percent, rate), now)

    def clear(self):
        """Erases the line."""
        if self._width:
            self.stream.write("\r" + " " * self._width + "\r")
            self.stream.flush()
            self._width = 0

    def elapsed(self):
        """Seconds since the line was made."""
        return time.monotonic() - self.started

    def _columns(self):
        try:
            columns = os.get_terminal_size(self.stream.fileno()).columns
        except (AttributeError, ValueError, OSError):
            columns = 0
        return columns if columns > 1 else 80  # a terminal of unknown size reports 0

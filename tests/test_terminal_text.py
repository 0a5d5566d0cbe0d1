"""Text of a hostile archive bound for a terminal: shown escaped by every
command, as JSON escaped and exact, through a pipe as it is."""
import io
import json
import os
import random
import re
import sys
import threading

import pytest

from helpers.history_runs import make_run
from tavix.cli.main import main
from tavix.log.commands.logs import json_text, terminal_text

# What a terminal acts on: a clipboard write, a screen clear, a link, a
# window title, backspaces, a bare carriage return.
CAUSE = "\x1b]52;c;cGF3bmVk\x07 \x1b[2J \x1b]8;;http://x/\x07here\x1b]8;;\x07 \x1b]0;title\x07 bs\x08\x08 cr\rback"
NAME = "case\x9b31m\u202eeman"  # an 8-bit CSI and a right-to-left override
SUITE, JOB = "nightly\u2066", "job\x9d0"
BIDI = "\u061c\u200e\u200f\u202a\u202b\u202c\u202d\u202e\u2066\u2067\u2068\u2069"
ACTED_ON = re.compile("[\x00-\x08\x0a-\x1f\x7f-\x9f%s]" % BIDI)


def literal_terminal_text(text):
    def shown(char):
        if (char < " " and char != "\t") or char == "\x7f":
            return "^" + chr(ord(char) ^ 0x40)
        if "\x80" <= char <= "\x9f" or char in BIDI:
            return "<U+%04X>" % ord(char)
        return char

    return "".join(map(shown, text))


class Terminal(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_the_terminal_and_json_forms_against_a_literal_rule(seed):
    rng = random.Random(seed)
    alphabet = ([chr(c) for c in range(0x00, 0xA1)] + list(BIDI) + list("\u2010\u2029\u205f\u0600é€𝄞")
                + ["\u202f", "\u2070", "\u061b"])  # neighbours of the bidirectional ones
    for _ in range(300):
        text = "".join(rng.choice(alphabet) for _ in range(rng.randrange(0, 40)))
        assert terminal_text(text, Terminal()) == literal_terminal_text(text)
        assert terminal_text(text, io.StringIO()) is text
        dumped = json_text({"k": [text]}, indent=rng.choice([None, 1]))
        assert json.loads(dumped) == {"k": [text]} and not ACTED_ON.search(dumped.replace("\n", ""))


@pytest.fixture
def runs(tmp_path):
    base = make_run(tmp_path / "base.zip", JOB, "2026-12-01 02:00:00",
                    [(NAME, "passed"), ("other", "failed", [], "old " + CAUSE)], suite=SUITE)
    new = make_run(tmp_path / "new.zip", JOB, "2026-12-02 02:00:00",
                   [(NAME, "failed", [], CAUSE), ("other", "failed", [], "new " + CAUSE)], suite=SUITE)
    return base, new


COMMANDS = {
    "compare": (["compare", "{base}", "{new}"], ["<U+009B>31m<U+202E>eman", "<U+2066>", "<U+009D>0", "^[]52;c;"]),
    "diff": (["diff", "{base}", "{new}", "--path", "s.py/other"], ["+", "new ^[]52;c;cGF3bmVk^G ^[[2J ^[]8;;"]),
    "index": (["index", "{base}", "{new}"], ["nightly<U+2066>, run job<U+009D>0"]),
    "history": (["history", "{new}"], ["<U+009B>31m<U+202E>eman", "^[]", "^G ^[[<N>J ^[]"]),
    "failures": (["failures", "{new}"], ["^[]52;c;cGF3bmVk^G ^[[2J", "<U+009B>31m<U+202E>eman"]),
    "search": (["search", "{new}", "cGF3bmVk"], ["^[]52;c;cGF3bmVk^G ^[[2J", "<U+009B>31m<U+202E>eman"]),
}


def on_terminal(monkeypatch, argv, errors_too=False):
    """(status, what the terminal received) of `tavix logs *argv` with standard
    output on a pseudo-terminal; standard error too if `errors_too`, else
    elsewhere (no progress line)."""
    master, slave = os.openpty()
    received = []

    def drain():
        while True:
            try:
                chunk = os.read(master, 65536)
            except OSError:  # the terminal's last writer has gone
                break
            if not chunk:
                break
            received.append(chunk)

    reader = threading.Thread(target=drain)
    reader.start()
    try:
        with open(slave, "w", encoding="utf-8") as screen:
            monkeypatch.setattr(sys, "stdout", screen)
            monkeypatch.setattr(sys, "stderr", screen if errors_too else io.StringIO())
            status = main(["logs", *argv])
            monkeypatch.undo()
    finally:
        reader.join(timeout=5)
        os.close(master)
    return status, b"".join(received).decode()


@pytest.mark.parametrize("command", sorted(COMMANDS))
def test_a_terminal_is_shown_the_archives_controls_as_escapes(runs, tmp_path, monkeypatch, command):
    argv, expected = COMMANDS[command]
    argv = [word.format(base=runs[0], new=runs[1]) for word in argv]
    monkeypatch.setenv("TAVIX_INDEX", str(tmp_path / "index.sqlite"))
    monkeypatch.delenv("NO_COLOR", raising=False)
    status, output = on_terminal(monkeypatch, argv)
    assert status == 0, output
    # The commands' own colours aside, the terminal receives no control but line ends.
    text = re.sub(r"\x1b\[[0-9;]*m", "", output).replace("\r\n", "\n")
    assert not ACTED_ON.search(text.replace("\n", "")), text
    assert all(part in text for part in expected), text


def test_an_error_on_a_terminal_shows_the_archives_text_escaped(runs, tmp_path, monkeypatch):
    monkeypatch.setenv("TAVIX_INDEX", str(tmp_path / "index.sqlite"))
    assert main(["logs", "index", str(runs[0]), str(runs[1])]) == 0
    runs[0].unlink()
    status, output = on_terminal(monkeypatch, ["compare", "previous", str(runs[1])], errors_too=True)
    text = output.replace("\r\n", "\n")
    assert status == 1 and "the archive of the previous run job<U+009D>0 is no longer at" in text
    assert not ACTED_ON.search(text.replace("\n", "")), text


def tavix(capsys, *argv):
    status = main(["logs", *map(str, argv)])
    out, err = capsys.readouterr()
    assert status == 0, err
    return out


def texts(value):
    if isinstance(value, dict):
        value = list(value.values())
    if isinstance(value, list):
        return "".join(texts(item) for item in value)
    return value if isinstance(value, str) else ""


def test_json_answers_escape_c1_and_bidirectional_characters_and_stay_exact(runs, tmp_path, capsys):
    base, new = map(str, runs)
    index = ["--index", str(tmp_path / "index.sqlite")]
    outputs = {
        "compare": tavix(capsys, "compare", base, new, "--json"),
        "diff": tavix(capsys, "diff", base, new, "--path", "s.py/other", "--json"),
        "history": tavix(capsys, "history", new, "--json", *index),
        "failures": tavix(capsys, "failures", new, "--json"),
        "search": tavix(capsys, "search", new, "cGF3bmVk", "--json"),
    }
    for command, out in outputs.items():
        assert not re.search("[\x7f-\x9f%s]" % BIDI, out), command
        decoded = texts([json.loads(line) for line in out.splitlines()] if command == "search" else json.loads(out))
        assert CAUSE.split("\r")[0] in decoded or NAME in decoded, command
    assert NAME in texts(json.loads(outputs["compare"])) and "\\u009b31m\\u202eeman" in outputs["compare"]
    assert SUITE in texts(json.loads(outputs["history"])) and JOB in texts(json.loads(outputs["history"]))


def test_a_pipe_gets_the_archives_text_as_it_is(runs, tmp_path, capsys):
    base, new = map(str, runs)
    out = tavix(capsys, "compare", base, new)
    assert NAME in out and f"suite {SUITE}, job {JOB}" in out and "\x1b]52;c;cGF3bmVk\x07 \x1b[2J" in out
    out = tavix(capsys, "diff", base, new, "--path", "s.py/other")
    assert "+" in out and "new \x1b]52;c;cGF3bmVk\x07 \x1b[2J \x1b]8;;http://x/\x07here" in out
    out = tavix(capsys, "index", base, "--index", str(tmp_path / "index.sqlite"))
    assert f"{SUITE}, run {JOB}" in out
    out = tavix(capsys, "history", new, "--index", str(tmp_path / "index.sqlite"))
    assert NAME in out and f"of {SUITE}" in out and "\x1b]" in out

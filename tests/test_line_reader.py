"""The native line reader and record-line parser, against literal readings of the rules."""

import itertools
import random
import re

import pytest

from tavix.log.commands.parser import base

HOST = "lab1"


@pytest.fixture(params=[False, True], ids=["vector", "scalar"])
def newline_branch(request):
    previous = base._force_scalar_newlines(request.param)
    yield request.param
    base._force_scalar_newlines(previous)


# ------------------------------------------------------------- line reader ---

def literal_lines(data, begin, end, finish_last_line):
    """(line start, number, bytes) of each line of the range, by the plain rules."""
    limit = min(end, len(data))
    lines, position, number = [], begin, 0
    while position < limit:
        newline = data.find(b"\n", position)
        stop = len(data) if newline < 0 else newline + 1
        if not finish_last_line:
            stop = min(stop, limit)
        lines.append((position, number, data[position:stop]))
        position, number = stop, number + 1
    return lines


def joined_pieces(pieces, begin, line_start, block):
    """The pieces glued back into lines, checking what each piece says of itself."""
    lines, current = [], None
    for offset, start, number, first, last, text in pieces:
        assert 0 < len(text) <= max(block, 4)
        if current is None:
            assert first and offset == (begin if not lines else lines[-1][0] + len(lines[-1][2]))
            expected_start = line_start if not lines else offset
            assert start == expected_start
            current = [offset, number, b""]
        else:
            assert not first and number == current[1]
        current[2] += text
        if not last:
            # A piece that does not end its line ends at a whole character
            # when the block had room for one.
            assert not text.endswith(b"\n")
            try:
                text[-4:].decode()
            except UnicodeDecodeError as error:
                assert error.reason != "unexpected end of data" or len(text) < 4
        else:
            lines.append(tuple(current))
            current = None
    assert current is None, "the last piece of the range is marked last"
    return lines


def random_bytes(rng):
    pieces = [b"a", b"bc", b"\n", b"\n", b"\r\n", b"\xe2\x82\xac", b"\xf0\x9f\x98\x80", b"\xff", b" ", b"xyz: "]
    data = b"".join(rng.choice(pieces) for _ in range(rng.randint(0, 60)))
    if rng.random() < 0.2:
        data += b"\xe2\x82\xac" * rng.randint(20, 80) + b"\n"  # longer than the small blocks
    return data


@pytest.mark.parametrize("block", [1, 2, 3, 5, 7, 16, 61, 4096])
def test_pieces_glue_into_the_literal_lines(tmp_path, newline_branch, block):
    rng = random.Random(block)
    path = tmp_path / "log"
    for round_ in range(60):
        data = random_bytes(rng)
        if rng.random() < 0.3:
            data = data.replace(b"\n", b"\r\n")
        path.write_bytes(data)
        begin = rng.randrange(len(data) + 1)
        end = rng.choice([len(data), len(data) + 5, rng.randrange(begin, len(data) + 2), -1])
        finish = rng.random() < 0.5
        pieces = base._read_line_pieces(str(path), begin, end, finish, -1, block)
        expected = literal_lines(data, begin, len(data) if end < 0 else end, finish)
        assert joined_pieces(pieces, begin, begin, block) == expected, (round_, data, begin, end, finish)


@pytest.mark.parametrize("block", [9, 16, 4096])
def test_skipping_to_a_needle_counts_the_lines_passed(tmp_path, newline_branch, block):
    rng = random.Random(block)
    path = tmp_path / "log"
    for round_ in range(80):
        lines = [rng.choice([b"plain\n", b"a +++ b\n", b"+\n", b"++\n", b"\xe2\x82\xac\n", b"x+++\r\n", b"\n"])
                 for _ in range(rng.randint(0, 30))]
        data = b"".join(lines)
        path.write_bytes(data)
        pieces = base._read_line_pieces(str(path), 0, -1, True, -1, block, "+++")
        expected = [line for line in literal_lines(data, 0, len(data), True) if b"+++" in line[2]]
        got = {}
        for offset, start, number, first, last, text in pieces:
            got[start, number] = got.get((start, number), b"") + text
        assert [(start, number, text) for (start, number), text in got.items()] == expected, round_


@pytest.mark.parametrize("block", [1, 2, 3, 5, 7, 16])
def test_skipping_finds_a_needle_split_between_pieces_of_a_long_line(tmp_path, newline_branch, block):
    rng = random.Random(block)
    path = tmp_path / "log"
    for round_ in range(80):
        lines = [rng.choice([b"plain\n", b"+ ++ +\n", b"\xe2\x82\xac+\n", b"\n"]) for _ in range(rng.randint(0, 6))]
        for _ in range(rng.randint(1, 3)):
            # Longer than a block, with the needle at any place.
            filler = b"".join(rng.choice([b"x", b"+", b"++", b"\xe2\x82\xac"]) for _ in range(rng.randint(8, 40)))
            at = rng.randrange(len(filler) + 1)
            lines.insert(rng.randrange(len(lines) + 1), filler[:at] + rng.choice([b"+++", b"++"]) + filler[at:] + b"\n")
        data = b"".join(lines)
        path.write_bytes(data)
        pieces = base._read_line_pieces(str(path), 0, -1, True, -1, block, "+++")
        got = {}
        for offset, start, number, first, last, text in pieces:
            got[start, number] = got.get((start, number), b"") + text
        expected = [line for line in literal_lines(data, 0, len(data), True) if b"+++" in line[2]]
        assert list(got) == [(start, number) for start, number, _ in expected], round_
        # A line longer than a block may be handed out from the piece where
        for (start, number, line), text in zip(expected, got.values()):
            assert line.endswith(text), round_
            # ... the first occurrence ends in the pieces handed out.
            cut = len(line) - len(text)
            assert b"+++" not in line[:cut] and b"+++" in line[max(cut - 2, 0):], round_


def test_a_range_starting_inside_a_line_keeps_that_line_start(tmp_path, newline_branch):
    path = tmp_path / "log"
    data = b"first line\nsecond line\nthird\n"
    path.write_bytes(data)
    pieces = base._read_line_pieces(str(path), 14, 26, False, 11, 4)
    assert joined_pieces(pieces, 14, 11, 4) == [(14, 0, b"ond line\n"), (23, 1, b"thi")]
    assert pieces[0][1] == 11 and pieces[0][3]


def test_a_size_hint_reads_the_lines_starting_up_to_its_end(tmp_path):
    # As readlines(hint): 5 + 5 reaches 10 exactly, so a third line is read.
    path = tmp_path / "log"
    path.write_bytes(b"1234\n" * 5)
    pieces = base._read_line_pieces(str(path), 0, 11, True, -1, 3)
    assert [p for p in pieces if p[4]][-1][2] == 2


def test_a_missing_file_is_the_interpreters_error(tmp_path):
    with pytest.raises(FileNotFoundError):
        base._read_line_pieces(str(tmp_path / "missing"), 0, -1, True, -1, 16)


# -------------------------------------------------------- record-line parser ---

def literal_record(line, host):
    """What the header rules say of `line` (bytes, any length)."""
    text = line.decode("utf-8", "surrogateescape").strip()
    pieces = text.split(": ")
    answer = {"record": host in text and len(pieces) > 4, "mentions_host": bool(text) and host in text}
    severity = None
    if len(pieces) > 4 and pieces[3].startswith("%"):
        found = re.match(r"%.*?-([0-9]+)-", pieces[3])
        if found:
            severity = min(int(found.group(1)), 1000)
    answer["severity"] = severity
    if severity is not None:
        answer["fields"] = tuple(p.encode("utf-8", "surrogateescape") for p in pieces[:4])
        rest = ": ".join(pieces[4:])
        if rest.startswith("%[") and "]: " in rest:
            rest = rest.split("]: ", 1)[1]
        elif rest.startswith("%[") and rest.endswith("]:"):
            rest = ""
        answer["message"] = rest
    return answer


def parsed(line, host, piece, fields_only=False, host_up_to_severity=1000):
    answer = base._parse_record_line(line, host.encode(), piece, fields_only, host_up_to_severity)
    if "message_start" in answer:
        start = answer.pop("message_start")
        answer["message"] = line[start:].decode("utf-8", "surrogateescape").rstrip(" \t\n\r\x0b\x0c\x1c\x1d\x1e\x1f\x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005\u2006\u2007\u2008\u2009\u200a\u2028\u2029\u202f\u205f\u3000")
    return answer


def random_line(rng):
    field = lambda: "".join(rng.choice(["1", "2", "a", "-", "%", ":", " ", "]", "[", "T", HOST, "\u00a0"])
                            for _ in range(rng.randint(0, 6)))
    seq = rng.choice(["12", "0", "", field()])
    host = rng.choice([HOST, "other", f"x{HOST}y", "", field()])
    stamp = rng.choice(["2026-12-07T11:53:04", "2026-12-07", "T", field()])
    app = rng.choice(["%SCRIPT-3-ERROR", "%A-1-B-7-INFO", "%S--3-E", "%S-x3-E", "SCRIPT-3-E", "%S-12000-X",
                      "%S-4-", field()])
    tags = rng.choice(["%[pid=1][pname=Main]: ", "", "%[pid=2]:", "%[x]]: ", "%[", field()])
    message = rng.choice(["+++ R1: config +++", "plain", "a: b: c", "]: late", "", field(), f"on {HOST}"])
    line = ": ".join([seq, host, stamp, app, tags + message])
    if rng.random() < 0.2:
        line = line.replace(": ", ":", 1)
    pad = rng.choice(["", " ", "\t", "\u3000", "\u00a0 "])
    return (pad + line + rng.choice(["", " ", "\r", pad]) + rng.choice(["\n", ""])).encode()


@pytest.mark.parametrize("piece", [0, 1, 3, 7, 64])
def test_record_lines_follow_the_header_rules(piece):
    rng = random.Random(piece)
    for _ in range(700):
        line = random_line(rng)
        if rng.random() < 0.05:
            line = line.replace(b"a", b"\xff", 1)
        expected = literal_record(line, HOST)
        assert parsed(line, HOST, piece) == expected, line
        # Readers that judge lines by severity gather less, with the same fields.
        del expected["record"]
        if expected["severity"] is None:
            del expected["mentions_host"]
        assert parsed(line, HOST, piece, fields_only=True) == expected, line
        if expected["severity"] is not None and expected["severity"] > 4:
            del expected["mentions_host"]
        assert parsed(line, HOST, piece, fields_only=True, host_up_to_severity=4) == expected, line


@pytest.mark.parametrize("piece", [0, 4096])
def test_a_line_longer_than_64_kib_is_judged_whole(piece):
    head = f"7: {HOST}: 2026-12-07T11:53:04: %SCRIPT-3-ERROR: %[pid=1]: ".encode()
    line = head + b"y" * 70000 + b" seen on other-host\n"
    assert parsed(line, "other-host", piece) == literal_record(line, "other-host")
    assert parsed(line, "other-host", piece)["mentions_host"] is True
    assert parsed(line, "other-host", piece, fields_only=True)["mentions_host"] is True
    # Fields are read from a header of at most 64 KiB: a longer one makes no
    # record line with a severity, though the line still counts its fields.
    raw = b"z" * 70000 + f" 1: {HOST}: t: %A-4-W: x".encode()
    assert parsed(raw, HOST, piece) == {"record": True, "mentions_host": True, "severity": None}


def test_utf8_sequences_are_taken_as_the_decoder_takes_them():
    """Every sequence of up to four bytes over the bytes that matter, against
    the interpreter's decoder with replacement."""
    from tavix.log.commands.parser.base import _utf8_sequence
    interesting = [0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xE1,
                   0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xFF]
    rng = random.Random(5)
    samples = [bytes([a]) for a in interesting] + [bytes([a, b]) for a in interesting for b in interesting]
    samples += [bytes(rng.choice(interesting) for _ in range(rng.randint(3, 4))) for _ in range(4000)]
    for data in samples:
        decoded = data.decode("utf-8", "replace")
        # The first character takes the fewest bytes whose text and the rest's make up the whole.
        taken = next(k for k in range(1, len(data) + 1)
                     if len(data[:k].decode("utf-8", "replace")) == 1
                     and data[:k].decode("utf-8", "replace") + data[k:].decode("utf-8", "replace") == decoded)
        length, whole, complete_end, boundary = _utf8_sequence(data)
        assert length == taken, data
        assert whole == (decoded[0] != "\ufffd"), data
        # Nothing that the next bytes could complete is left at the end, nothing else is held back.
        assert data[:complete_end].decode("utf-8", "replace") + data[complete_end:].decode("utf-8", "replace") \
            == decoded, data
        held = data[complete_end:]
        assert not held or any(completes(held + bytes(tail)) for n in range(1, 4)
                               for tail in itertools.product([0x80, 0x90, 0xA0, 0xBF], repeat=n)), data
        # A cut inside a well-formed character moves past it, anywhere else it stays.
        middle = len(data) // 2
        if boundary != middle:
            start = max(j for j in range(middle) if data[j] & 0xC0 != 0x80)
            assert completes(data[start:boundary]) and start < middle < boundary, data


def completes(data):
    """Whether `data` is one well-formed character."""
    try:
        return len(data.decode("utf-8")) == 1
    except UnicodeDecodeError:
        return False

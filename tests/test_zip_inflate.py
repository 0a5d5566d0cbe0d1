"""The native zip reader and inflate access points: members listed as zipfile
lists them, ranges read from access points equal a plain inflate, and damaged
or hostile zips give a clear ValueError."""

import io
import random
import struct
import zipfile
import zlib
from concurrent.futures import CancelledError

import pytest

from helpers.zip_surgery import BytesSource, ZipLayout, random_text, rewrite_as_zip64
from tavix.log.commands import archive
from tavix.log.commands.parser.base import _cancel_flag_for_tests

members_of = archive._zip_members_for_tests
inflate = archive._inflate_points_for_tests
read_range = archive._read_member_range_for_tests

WINDOW = 32768


def zip_bytes(members, **options):
    """members: (name, data) or (name, data, compress_type, compresslevel)."""
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED, **options) as zf:
        for name, data, *how in members:
            zf.writestr(name, data, *how)
    return out.getvalue()


def both_sources(tmp_path, data):
    path = tmp_path / "run.zip"
    path.write_bytes(data)
    return [str(path), BytesSource(data)]


def plain_members(data):
    with zipfile.ZipFile(io.BytesIO(data)) as zf:
        return [(i.filename, i.compress_size, i.file_size, i.CRC, i.compress_type, i.flag_bits)
                for i in zf.infolist()]


def listed(source, names=None):
    return [(m["name"], m["compressed_size"], m["size"], m["crc32"], m["method"], m["flags"])
            for m in members_of(source, names)]


@pytest.fixture(scope="module")
def text():
    return random_text(random.Random(5), 1_500_000, noise=0.02)


def test_members_are_listed_as_zipfile_lists_them(tmp_path, text):
    data = zip_bytes([("logs/", b""), ("logs/TaskLog.Task-1", text), ("ünïcode/日本.txt", b"x" * 100),
                      ("stored.bin", text[:5000], zipfile.ZIP_STORED), ("empty", b""),
                      ("bz.txt", b"y" * 1000, zipfile.ZIP_BZIP2)])
    for source in both_sources(tmp_path, data):
        assert listed(source) == plain_members(data)
    # The data offsets lead to each member's compressed bytes.
    with zipfile.ZipFile(io.BytesIO(data)) as zf:
        for member in members_of(BytesSource(data)):
            raw = data[member["data_offset"]:member["data_offset"] + member["compressed_size"]]
            if member["method"] == 8:
                raw = zlib.decompressobj(-15).decompress(raw)
            if member["method"] in (0, 8):
                assert raw == zf.read(member["name"])


@pytest.mark.filterwarnings("ignore:Duplicate name")
def test_named_members_are_located_alone(text):
    data = zip_bytes([("a", b"first"), ("b", text[:1000]), ("c", b"third"), ("a", b"again")])
    source = BytesSource(data)
    found = members_of(source, ["c", "a"])
    assert [m["name"] for m in found] == ["c", "a"]
    # A name held twice is its last entry, as zipfile reads it.
    assert found[1]["size"] == len(b"again")
    # The end records, the directory, and two local headers of four.
    assert len(source.reads) == 2 + 1 + 2 * 2
    with pytest.raises(ValueError, match="no member d in the zip"):
        members_of(source, ["a", "d"])


def test_names_without_the_utf8_flag_are_code_page_437():
    data = ZipLayout(zip_bytes([("é-x.txt", b"data")])).patch(0, flags=0).bytes()
    assert listed(BytesSource(data)) == plain_members(data)
    assert members_of(BytesSource(data))[0]["name"] == "├⌐-x.txt"


def test_zip64_records_and_data_descriptors(tmp_path, text):
    data = zip_bytes([("one", text), ("two", b"short"), ("three", text[:7000], zipfile.ZIP_STORED)])
    wide = rewrite_as_zip64(data)
    assert listed(BytesSource(wide)) == plain_members(wide) == plain_members(data)

    # Written to a stream that cannot seek, zipfile puts the sizes after the data.
    class Unseekable(io.RawIOBase):
        def __init__(self):
            self.out = bytearray()

        def writable(self):
            return True

        def write(self, chunk):
            self.out += chunk
            return len(chunk)

    sink = Unseekable()
    with zipfile.ZipFile(sink, "w", zipfile.ZIP_DEFLATED) as zf:
        with zf.open("streamed", "w") as member:
            member.write(text)
    described = bytes(sink.out)
    for source in both_sources(tmp_path, described):
        assert members_of(source)[0]["flags"] & 0x08
        assert inflate(source, "streamed", 1 << 16)["output"] == text
    assert inflate(BytesSource(wide), "one", 1 << 16)["output"] == text


@pytest.mark.parametrize("how", [(zipfile.ZIP_STORED, None)] + [(zipfile.ZIP_DEFLATED, level) for level in range(10)],
                         ids=["stored"] + ["level-%d" % level for level in range(10)])
def test_ranges_from_access_points_equal_a_plain_inflate(tmp_path, text, how):
    data = zip_bytes([("log", text, *how)])
    span = 1 << 16
    rng = random.Random(how[1])
    for source in both_sources(tmp_path, data):
        streamed = inflate(source, "log", span)
        assert streamed["output"] == text
        assert 0 < streamed["largest_piece"] <= 256 << 10
        points = streamed["points"]
        assert points[0] == (0, 0, 0, 0)
        outs = [p[0] for p in points]
        assert all(b - a >= span for a, b in zip(outs, outs[1:]))
        assert len(points) >= len(text) // (4 * span)
        if how[0] == zipfile.ZIP_STORED:
            assert all(p[0] == p[1] and p[3] == 0 for p in points)
        ranges = [(rng.randrange(len(text)), rng.randrange(1, 200_000)) for _ in range(25)]
        ranges += [(outs[-1], 10), (outs[1] - 1, 2), (len(text) - 5, 100), (0, len(text)), (len(text), 10), (7, 0)]
        for begin, length in ranges:
            got = read_range(source, "log", streamed["serialised"], begin, begin + length)
            assert got["output"] == text[begin:begin + length], (begin, length)
            assert got["trailing"] == 0


def test_a_range_reads_only_from_its_nearest_point(text):
    data = zip_bytes([("log", text * 4)])
    compressed = members_of(BytesSource(data))[0]["compressed_size"]
    serialised = inflate(BytesSource(data), "log", 1 << 16)["serialised"]
    source = BytesSource(data)
    begin = len(text) * 4 - 20_000
    got = read_range(source, "log", serialised, begin, begin + 1000)
    assert got["output"] == (text * 4)[begin:begin + 1000]
    assert got["counters"]["compressed_bytes_read"] < compressed // 8
    assert got["counters"]["bytes_inflated"] < 3 << 16
    # Without points, the whole member before the range is inflated.
    whole = read_range(BytesSource(data), "log", b"\x00", begin, begin + 1000)
    assert whole["output"] == got["output"]
    assert whole["counters"]["bytes_inflated"] == begin + 1000


def damaged_points(serialised):
    """Ways to damage serialised points, each meant to be refused."""
    yield "truncated", serialised[:len(serialised) // 2]
    yield "a count beyond its bytes", b"\xff\xff\x03" + serialised[1:]
    yield "a number too large", b"\x02" + b"\xff" * 11
    yield "bits beyond 7", b"\x01\x00\x00\x08\x00"
    yield "not starting at 0", b"\x01\x05\x00\x00\x00"
    yield "out of order", b"\x02\x00\x00\x00\x00\x00\x00\x00\x00"


def test_damaged_points_are_refused(text):
    data = zip_bytes([("log", text)])
    source = BytesSource(data)
    serialised = inflate(source, "log", 1 << 16)["serialised"]
    for _, damaged in damaged_points(serialised):
        with pytest.raises(ValueError, match="damaged access points"):
            read_range(source, "log", damaged, 0, 10)
    # Points of another member: beyond this one's compressed data.
    other = inflate(source, "log", 1 << 16)["serialised"]
    with pytest.raises(ValueError, match="access point at \\d+ does not fit member log"):
        read_range(BytesSource(zip_bytes([("log", b"a" * 200_000)])), "log", other, 150_000, 150_010)
    # A window shorter than the 10000 bytes before its point.
    window = zlib.compress(b"x" * 3)
    short = b"\x02\x00\x00\x00\x00" + b"\x90\x4e\x00\x00" + bytes([len(window)]) + window
    with pytest.raises(ValueError, match="access point at 10000 of member log has a damaged window"):
        read_range(source, "log", short, 10_000, 10_100)


def hostile_zips(text):
    """(what, zip bytes, member to read, message expected), each damaged in one way."""
    good = zip_bytes([("log", text), ("next", b"after the log")])
    layout = lambda: ZipLayout(good)  # noqa: E731
    size = len(text)
    compressed = layout().compressed_size(0)
    yield "empty", b"", None, "too short"
    yield "not a zip", b"PK" + b"\x00" * 100, None, "no end of central directory record"
    for cut in (len(good) - 1, len(good) - 30, len(good) // 2, 200):
        yield "truncated to %d" % cut, good[:cut], None, "not a readable zip"
    yield "directory beyond the file", layout().patch_end(directory_offset=len(good) + 10).bytes(), None, \
        "lies outside the file"
    yield "directory larger than the file", layout().patch_end(directory_size=1 << 30).bytes(), None, \
        "lies outside the file"
    yield "member beyond the file", layout().patch(0, local=False, compressed_size=len(good) * 4).bytes(), None, \
        "lies outside the file's data"
    yield "members overlapping", layout().patch(1, local=False, local_header=0).bytes(), None, "overlap"
    yield "data running into the next member", layout().patch(0, local=False, compressed_size=compressed + 1).bytes(), \
        None, "members log and next overlap"
    longer_extra = layout()
    struct.pack_into("<H", longer_extra.data, longer_extra.local(0) + 28, 10)
    yield "a local extra field pushing the data on", longer_extra.bytes(), None, "log's data run into what follows"
    yield "size too small", layout().patch(0, size=size - 1).bytes(), "log", "inflates to more than"
    yield "size too large", layout().patch(0, size=0xFFFFFFF0).bytes(), "log", "holds %d bytes, not" % size
    yield "compressed data cut short", layout().patch(0, local=False, compressed_size=compressed // 2).bytes(), \
        "log", "end inside its deflate stream"
    yield "CRC", layout().patch(0, crc32=1234).bytes(), "log", "CRC-32"
    yield "encrypted", layout().patch(0, flags=1).bytes(), "log", "is encrypted"
    yield "unknown method", layout().patch(0, method=99).bytes(), "log", "method 99, which is not supported"
    stored = ZipLayout(zip_bytes([("log", text[:1000], zipfile.ZIP_STORED)]))
    yield "stored with a size of its own", stored.patch(0, size=2000).bytes(), "log", "stored in 1000 bytes"
    damaged = layout()
    at = damaged.data_offset(0) + 1000
    damaged.data[at:at + 64] = bytes(64)
    yield "deflate data damaged", damaged.bytes(), "log", "damaged member log"
    bad_name = layout()
    bad_name.data[bad_name.local(0) + 30] = ord("L")
    yield "local header naming another", bad_name.bytes(), None, "named otherwise in its local header"
    invalid = ZipLayout(zip_bytes([("é", b"x")]))
    invalid.data[invalid.central[0] + 46] = 0xFF
    yield "name flagged UTF-8 that is not", invalid.bytes(), None, "flagged UTF-8 but is not"
    wide = bytearray(rewrite_as_zip64(good))
    struct.pack_into("<Q", wide, len(wide) - 22 - 20 + 8, len(wide) * 2)
    yield "zip64 record beyond the file", bytes(wide), None, "zip64 end record lies outside the file"
    wide = bytearray(rewrite_as_zip64(good))
    length_at = ZipLayout(good).directory_offset + 46 + len("log") + 8 + 2
    wide[length_at:length_at + 2] = b"\x08\x00"
    yield "zip64 field too short", bytes(wide), None, "zip64"


def test_hostile_zips_give_clear_errors(text):
    cases = list(hostile_zips(text))
    for what, data, member, message in cases:
        source = BytesSource(data)
        with pytest.raises(ValueError, match=message):
            if member is None:
                members_of(source)
            else:
                inflate(source, member, 1 << 20)
        # Locating one member refuses what listing them all refuses.
        if member is None:
            with pytest.raises(ValueError, match=message):
                members_of(BytesSource(data), ["log"])
        # No read beyond the source, and no read larger than a piece.
        assert all(offset + size <= len(data) and size <= 1 << 20 for offset, size in source.reads), what


def test_random_damage_never_crashes(text):
    data = zip_bytes([("log", text[:200_000])])
    serialised = inflate(BytesSource(data), "log", 1 << 14)["serialised"]
    rng = random.Random(3)
    refused = 0
    for _ in range(60):
        damaged = bytearray(data)
        for _ in range(rng.randint(1, 8)):
            damaged[rng.randrange(len(damaged))] = rng.randrange(256)
        try:
            inflate(BytesSource(damaged), "log", 1 << 14)
            read_range(BytesSource(damaged), "log", serialised, rng.randrange(200_000), 200_000)
        except ValueError:
            refused += 1
        damaged = bytearray(serialised)
        damaged[rng.randrange(len(damaged))] ^= 1 << rng.randrange(8)
        try:
            read_range(BytesSource(data), "log", bytes(damaged), rng.randrange(200_000), 200_000)
        except ValueError:
            pass
    assert refused > 30


def test_sources_that_fail_or_lie(tmp_path, text):
    data = zip_bytes([("log", text[:100_000])])
    with pytest.raises(FileNotFoundError):
        members_of(str(tmp_path / "missing.zip"))
    with pytest.raises(IsADirectoryError):
        members_of(tmp_path)

    class Short(BytesSource):
        def read_at(self, offset, size):
            return super().read_at(offset, size)[:-1]

    with pytest.raises(OSError, match=r"read_at\(\d+, \d+\) gave \d+ bytes"):
        members_of(Short(data))
    # A source claiming more than it holds reads short where the zip should end.
    longer = BytesSource(data)
    longer.size += 10
    with pytest.raises(OSError, match=r"read_at\(\d+, \d+\) gave \d+ bytes"):
        members_of(longer)

    def refuse(offset, size):
        if offset > 0 and size > 1000:
            raise ConnectionError("the store went away")

    with pytest.raises(ConnectionError, match="the store went away"):
        inflate(BytesSource(data, on_read=refuse), "log", 1 << 16)


def test_cancelling_stops_between_pieces(text):
    data = zip_bytes([("log", text * 3)])
    capsule, cancel = _cancel_flag_for_tests()
    cancel()
    with pytest.raises(CancelledError):
        inflate(BytesSource(data), "log", 1 << 16, cancel=capsule)

    # Set while the member streams: it stops after the piece under way.
    capsule, cancel = _cancel_flag_for_tests()
    piece = 256 << 10
    source = BytesSource(data, on_read=lambda offset, size: size == piece and cancel())
    with pytest.raises(CancelledError):
        inflate(source, "log", 1 << 16, cancel=capsule)
    assert len([r for r in source.reads if r[1] == piece]) == 1
    serialised = inflate(BytesSource(data), "log", 1 << 16)["serialised"]
    with pytest.raises(CancelledError):
        read_range(source, "log", serialised, 0, len(text), cancel=capsule)

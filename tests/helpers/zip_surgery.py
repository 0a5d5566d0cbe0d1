"""Zips made and damaged byte by byte, for tests of the native zip readers.

`ZipLayout(data)` finds the end record, the central directory entries and
the local headers of a zip written by the interpreter's zipfile (no comment,
no zip64), so a test can patch one field of them; `rewrite_as_zip64` gives
the same members with every size and offset moved into zip64 records;
`BytesSource` serves bytes through .size/.read_at as a store's ranged reads
do, counting them.
"""

import struct
import threading

__all__ = ["BytesSource", "ZipLayout", "random_text", "rewrite_as_zip64"]

END = struct.Struct("<IHHHHIIH")
CENTRAL = struct.Struct("<IHHHHHHIIIHHHHHII")
LOCAL = struct.Struct("<IHHHHHIIIHH")

# Field positions within the central entry and the local header.
CENTRAL_FIELDS = {"flags": 8, "method": 10, "crc32": 16, "compressed_size": 20, "size": 24,
                  "local_header": 42}
LOCAL_FIELDS = {"flags": 6, "method": 8, "crc32": 14, "compressed_size": 18, "size": 22}
WIDTHS = {"flags": 2, "method": 2}


class BytesSource:
    """Bytes read through .size and .read_at(offset, size), each read counted."""

    def __init__(self, data, *, on_read=None):
        self._data = bytes(data)
        self.size = len(self._data)
        self.reads = []
        self._on_read = on_read
        self._lock = threading.Lock()

    def read_at(self, offset, size):
        with self._lock:
            self.reads.append((offset, size))
        if self._on_read:
            self._on_read(offset, size)
        return self._data[offset:offset + size]


class ZipLayout:
    """Where the records of a zip lie, to patch them in `data` (a bytearray)."""

    def __init__(self, data):
        self.data = bytearray(data)
        self.end = len(self.data) - END.size
        fields = END.unpack_from(self.data, self.end)
        assert fields[0] == 0x06054B50, "a zip without a comment"
        self.directory_size, self.directory_offset = fields[5], fields[6]
        self.central = []
        at = self.directory_offset
        while at < self.directory_offset + self.directory_size:
            entry = CENTRAL.unpack_from(self.data, at)
            self.central.append(at)
            at += CENTRAL.size + entry[10] + entry[11] + entry[12]

    def local(self, index):
        return CENTRAL.unpack_from(self.data, self.central[index])[16]

    def data_offset(self, index):
        local = self.local(index)
        header = LOCAL.unpack_from(self.data, local)
        return local + LOCAL.size + header[9] + header[10]

    def compressed_size(self, index):
        return CENTRAL.unpack_from(self.data, self.central[index])[8]

    def patch(self, index, *, local=True, **values):
        """Sets fields of member `index` in its central entry (and local header)."""
        for name, value in values.items():
            width = WIDTHS.get(name, 4)
            code = "<H" if width == 2 else "<I"
            struct.pack_into(code, self.data, self.central[index] + CENTRAL_FIELDS[name], value)
            if local and name in LOCAL_FIELDS:
                struct.pack_into(code, self.data, self.local(index) + LOCAL_FIELDS[name], value)
        return self

    def patch_end(self, *, directory_offset=None, directory_size=None):
        if directory_offset is not None:
            struct.pack_into("<I", self.data, self.end + 16, directory_offset)
        if directory_size is not None:
            struct.pack_into("<I", self.data, self.end + 12, directory_size)
        return self

    def bytes(self):
        return bytes(self.data)


def rewrite_as_zip64(data):
    """The zip with its central entries' sizes and offsets in zip64 extra
    fields and a zip64 end record with its locator, as large archives have."""
    layout = ZipLayout(data)
    out = bytearray(data[:layout.directory_offset])
    directory = bytearray()
    for at in layout.central:
        entry = list(CENTRAL.unpack_from(layout.data, at))
        name_size, extra_size, comment_size = entry[10], entry[11], entry[12]
        name = layout.data[at + CENTRAL.size:at + CENTRAL.size + name_size]
        rest = layout.data[at + CENTRAL.size + name_size:at + CENTRAL.size + name_size + extra_size + comment_size]
        size, compressed, offset = entry[9], entry[8], entry[16]
        # Another extra field before the zip64 one: readers must walk them.
        extra = struct.pack("<HH4s", 0xCAFE, 4, b"skip") + struct.pack("<HHQQQ", 1, 24, size, compressed, offset)
        entry[8] = entry[9] = entry[16] = 0xFFFFFFFF
        entry[11] = len(extra) + extra_size
        directory += CENTRAL.pack(*entry) + name + extra + rest
    directory_offset = len(out)
    out += directory
    end64_offset = len(out)
    count = len(layout.central)
    out += struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, 45, 45, 0, 0, count, count, len(directory), directory_offset)
    out += struct.pack("<IIQI", 0x07064B50, 0, end64_offset, 1)
    out += END.pack(0x06054B50, 0, 0, 0xFFFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0)
    return bytes(out)


def random_text(rng, size, *, noise=0.0):
    """Log-like lines of `size` bytes about: words from a small vocabulary,
    with stretches of random bytes in about `noise` of them."""
    words = ["".join(rng.choice("abcdefghijklmnop") for _ in range(rng.randint(2, 9))) for _ in range(300)]
    parts, total = [], 0
    while total < size:
        if noise and rng.random() < noise:
            line = rng.randbytes(rng.randint(200, 4000))
        else:
            line = (" ".join(rng.choice(words) for _ in range(rng.randint(3, 20))) + "\n").encode()
        parts.append(line)
        total += len(line)
    return b"".join(parts)[:size]

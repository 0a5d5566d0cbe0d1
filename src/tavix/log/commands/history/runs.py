"""What the index records of an opened run: its sections by identity, and
its failure categories as the Failures view computes them."""
import datetime
import hashlib
import json
import math
from json.encoder import encode_basestring

from tavix.log.commands.parser.base import failure_categories

from .definitions import is_failing

__all__ = ["describe_run", "hash64", "is_failing", "path_key", "path_of", "section_paths"]


def path_key(path):
    """The stored text of a path (a list of names): its JSON, exact whatever the names hold."""
    return "[" + ",".join(map(encode_basestring, path)) + "]"


def path_of(key):
    """The list of names of a stored path."""
    return json.loads(key)


def hash64(text):
    """A signed 64-bit hash of a text, the key under which the index finds it."""
    return int.from_bytes(hashlib.blake2b(text.encode("utf-8", "surrogatepass"), digest_size=8).digest(),
                          "big", signed=True)


def seconds(text):
    """A start time as seconds since 1970 (read as UTC), or None when it is no date."""
    try:
        moment = datetime.datetime.fromisoformat(str(text).strip())
    except ValueError:
        return None
    if moment.tzinfo is None:
        moment = moment.replace(tzinfo=datetime.timezone.utc)
    return moment.timestamp()


def duration(text):
    """A run time ("12.5", "0:03:07.2") in seconds, or None."""
    try:
        total = float(text)
    except (TypeError, ValueError):
        try:
            total = 0.0
            for part in str(text).strip().split(":"):
                total = total * 60 + float(part)
        except ValueError:
            return None
    return total if math.isfinite(total) else None


def section_paths(parser):
    """(section record, path key) of every section of the parser's tasks, in tree order.

    A section's path is the names from its task's script down to itself (an
    unnamed one by its type); the 2nd, 3rd... section of an already seen
    path has "#2", "#3"... after its own name. Keys are built from the
    parent's key, as `path_key` would build them from the whole path.
    """
    seen = {}
    by_sequence = {}
    listed = []
    for task in parser.scripts:
        sections = task.get("sections")
        if not isinstance(sections, list):
            continue
        for record in sections:
            name = record.get("section_name") or record.get("section_type") or ""
            if not isinstance(name, str):
                name = str(name)
            parents = record.get("parents")
            parent = by_sequence.get(parents[-1]) if parents else None
            head = parent[:-1] + "," if parent is not None else "["
            key = head + encode_basestring(name) + "]"
            count = seen.get(key, 0) + 1
            seen[key] = count
            if count > 1:
                key = head + encode_basestring("%s#%d" % (name, count)) + "]"
                seen[key] = seen.get(key, 0) + 1
            by_sequence[record.get("sequence_number")] = key
            listed.append((record, key))
    return listed


class Section:
    __slots__ = ("key", "type", "result", "duration", "signature", "cause")

    def __init__(self, key, type_, result, run_time):
        self.key = key
        self.type, self.result = type_, result
        self.duration = duration(run_time)
        self.signature = self.cause = None


class Category:
    __slots__ = ("signature", "example", "count", "members")

    def __init__(self, signature, example, count):
        self.signature, self.example, self.count = signature, example, count
        self.members = []  # (section position, step id or None)


class DescribedRun:
    def __init__(self, meta, sections, categories):
        self.meta = meta
        self.started = seconds(meta.get("start_time") or "")
        self.sections = sections
        self.categories = categories

    def signatures(self):
        return {c.signature for c in self.categories}

    def words(self):
        return {s.type for s in self.sections} | {s.result for s in self.sections}

    def category_nodes(self):
        for category in self.categories:
            for position, step in category.members:
                yield category.signature, position, step


def _text(value):
    return value if isinstance(value, str) else ("" if value is None else str(value))


def describe_run(archive):
    """The run of an opened archive as the index records it."""
    parser = archive.results
    listed = section_paths(parser)
    sections = [Section(key, _text(r.get("section_type")), _text(r.get("result")), r.get("run_time") or "")
                for r, key in listed]
    position = {r.get("id"): i for i, (r, _) in enumerate(listed)}
    parent_of = [position.get(r.get("parent_id")) if r.get("parents") else None for r, _ in listed]

    answer = failure_categories(parser, cause_lines=True)
    categories = []
    # A failing section's cause is its own as a failing node, else that of
    # the first failing node below it.
    own = {}
    for found in answer["categories"]:
        category = Category(found["signature"], found["example"], found["count"])
        for node, line in zip(found["sections"], found["cause_lines"]):
            section_id, _, step_uuid = node.partition("#")
            at = position[section_id]
            step = None
            if step_uuid:
                step = _text(parser.get_section(step_uuid).data.get("step_id"))
            category.members.append((at, step))
            own.setdefault(at, []).append((not step_uuid, (found["signature"], line), at))
        categories.append(category)
    first_below = {}
    for at in sorted(own):
        # The section's own node first, then its steps' nodes.
        cause = sorted(own[at], key=lambda entry: not entry[0])[0][1]
        first_below.setdefault(at, cause)
        parent = parent_of[at]
        while parent is not None and parent not in first_below:
            first_below[parent] = cause
            parent = parent_of[parent]
    for at, cause in first_below.items():
        if is_failing(sections[at].result):
            sections[at].signature, sections[at].cause = cause
    return DescribedRun(dict(parser.meta), sections, categories)

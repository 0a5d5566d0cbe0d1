"""What the index records of an opened run: its sections by identity, and
its failure categories as the Failures view computes them."""
import datetime
import hashlib
import json

from tavix.log.commands.parser.base import failure_categories, section_identities

from .definitions import is_failing

__all__ = ["describe_run", "hash64", "is_failing", "path_key", "path_of", "paths_of", "section_identities"]


def path_key(path):
    """The stored text of a path (a list of names), as `section_identities` writes it."""
    return json.dumps(path, ensure_ascii=False, separators=(",", ":"))


def path_of(key):
    """The list of names of a stored path."""
    return json.loads(key)


def paths_of(keys):
    """The lists of names of stored paths, in order: decoded as one text, many
    times faster than one at a time."""
    return json.loads("[%s]" % ",".join(keys))


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


class Category:
    __slots__ = ("signature", "example", "count", "members")

    def __init__(self, signature, example, count):
        self.signature, self.example, self.count = signature, example, count
        self.members = []  # (section position, step id or None)


class DescribedRun:
    """sections: (record, path key, type, result, duration) in tree order, as
    `section_identities` gives them; causes: section position -> (signature,
    cause line) of the failing ones."""

    def __init__(self, meta, sections, categories, causes):
        self.meta = meta
        self.started = seconds(meta.get("start_time") or "")
        self.sections = sections
        self.categories = categories
        self.causes = causes

    def signatures(self):
        return {c.signature for c in self.categories}

    def words(self):
        return {s[2] for s in self.sections} | {s[3] for s in self.sections}

    def category_nodes(self):
        for category in self.categories:
            for position, step in category.members:
                yield category.signature, position, step


def describe_run(archive):
    """The run of an opened archive as the index records it."""
    parser = archive.results
    sections = section_identities(parser)
    position = {s[0].get("id"): i for i, s in enumerate(sections)}
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
                step_id = parser.get_section(step_uuid).data.get("step_id")
                step = step_id if isinstance(step_id, str) else str(step_id)
            category.members.append((at, step))
            own.setdefault(at, []).append((not step_uuid, (found["signature"], line)))
        categories.append(category)
    first_below = {}
    for at in sorted(own):
        # The section's own node first, then its steps' nodes.
        cause = sorted(own[at], key=lambda entry: not entry[0])[0][1]
        first_below.setdefault(at, cause)
        parent = _parent(sections, position, at)
        while parent is not None and parent not in first_below:
            first_below[parent] = cause
            parent = _parent(sections, position, parent)
    causes = {at: cause for at, cause in first_below.items() if is_failing(sections[at][3])}
    return DescribedRun(dict(parser.meta), sections, categories, causes)


def _parent(sections, position, at):
    record = sections[at][0]
    return position.get(record.get("parent_id")) if record.get("parents") else None

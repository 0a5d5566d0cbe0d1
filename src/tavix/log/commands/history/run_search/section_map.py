"""Where each section and step of a run lies in its task logs: what a search
of the run needs to name the section of a hit, without opening the archive.

A map lists the nodes (sections and steps) in tree order, each with its
name, the node above it, its task log, its byte range there and its result;
and the run's task logs in the order their first node comes, each with the
zip member that holds it (None when the zip has none). It is kept in a small
file of its own beside the run's search index, and inside the index.
"""
import bisect
import json
import zlib

__all__ = ["SectionMap", "SectionMapError", "member_key"]

# The version of the stored form; a map of another one is rebuilt.
FORMAT = 1
# Where a range open at its end stops: past any log.
_END = 1 << 62


class SectionMapError(ValueError):
    """A stored section map that cannot be read (damaged, or of another format)."""


def member_key(name):
    """A zip member name or a log file name as the extraction lays it out: the
    path's parts without the empty and "." ones."""
    return "/".join(part for part in str(name).split("/") if part not in ("", "."))


class SectionMap:
    """nodes: [name, parent (index, -1 for none), log (index in `logs`), start,
    end (exclusive), result] in tree order, start and end None for a node
    without a range; logs: [log_file, member or None] in the order their
    first node comes."""

    def __init__(self, nodes, logs):
        self.nodes = nodes
        self.logs = logs
        self._paths = {}
        self._owners = {}

    @classmethod
    def from_parser(cls, parser, member_names):
        """The map of a parsed run (a results parser); member_names: the zip's."""
        members = {}
        for name in member_names:
            members.setdefault(member_key(name), name)
        nodes, logs, log_at = [], [], {}
        for record, parent, step in _tree(parser):
            log_file = str(record.get("log_file", ""))
            if log_file not in log_at:
                log_at[log_file] = len(logs)
                logs.append([log_file, members.get(member_key(log_file))])
            # A node the parser has no view of names the nodes below it, and holds no line.
            section = parser.get_section(record.get("id"))
            start = end = None
            if section is not None:
                start, size = int(section.log_start), int(section.log_size)
                end = start + size if size > 0 else _END
            name = record.get("step_name" if step else "section_name", "")
            nodes.append([str(name), parent, log_at[log_file], start, end, str(record.get("result") or "")])
        return cls(nodes, logs)

    # ---------------------------------------------------------------- stored
    def to_bytes(self):
        return zlib.compress(json.dumps({"format": FORMAT, "logs": self.logs, "nodes": self.nodes},
                                        ensure_ascii=False, separators=(",", ":")).encode("utf-8", "surrogatepass"))

    @classmethod
    def from_bytes(cls, data):
        """SectionMapError for data that is not a map of this format."""
        try:
            stored = json.loads(zlib.decompress(data).decode("utf-8", "surrogatepass"))
        except (zlib.error, ValueError) as error:
            raise SectionMapError("not a section map: %s" % error) from None
        if not isinstance(stored, dict) or stored.get("format") != FORMAT:
            raise SectionMapError("a section map of another format")
        nodes, logs = stored.get("nodes"), stored.get("logs")
        if not (isinstance(nodes, list) and isinstance(logs, list) and all(_sound(n, i, len(logs)) for i, n in
                                                                            enumerate(nodes))):
            raise SectionMapError("a damaged section map")
        return cls(nodes, logs)

    # -------------------------------------------------------------- reading
    def members(self, result=None):
        """The zip members to search, in the order of their logs; with `result`
        (a set of results), only those of logs holding a node of one."""
        wanted = None if result is None else {n[2] for n in self.nodes if n[5] in result}
        return [member for at, (_, member) in enumerate(self.logs)
                if member is not None and (wanted is None or at in wanted)]

    def owner(self, member, offset):
        """The node (its index) a hit starting at `offset` of `member` belongs to:
        the deepest section or step whose range holds it; None outside all."""
        bounds, owners = self._owners_of(member)
        after = bisect.bisect_right(bounds, offset)
        if after == 0 or after == len(bounds):
            return None
        return owners[after - 1]

    def path(self, node):
        """The names from the node's task section down to it."""
        found = self._paths.get(node)
        if found is None:
            names, at = [], node
            while at >= 0:
                names.append(self.nodes[at][0])
                at = self.nodes[at][1]
            found = self._paths[node] = names[::-1]
        return found

    def log_file(self, node):
        return self.logs[self.nodes[node][2]][0]

    def result(self, node):
        return self.nodes[node][5]

    def _owners_of(self, member):
        found = self._owners.get(member)
        if found is None:
            logs = {at for at, (_, name) in enumerate(self.logs) if name == member}
            ranges = [(n[3], n[4], i) for i, n in enumerate(self.nodes) if n[2] in logs and n[3] is not None]
            found = self._owners[member] = _innermost(ranges)
        return found


def _innermost(ranges):
    """(bounds, owners): the edges of the intervals the ranges cut a log into,
    and for each interval the node of the innermost range holding it (None
    for none); ranges nest, as sections inside sections."""
    ranges = sorted(ranges, key=lambda r: (r[0], -r[1], r[2]))
    bounds = sorted({edge for start, end, _ in ranges for edge in (start, end)})
    owners, open_ranges, next_range = [], [], 0
    for at in bounds[:-1]:
        while open_ranges and open_ranges[-1][1] <= at:
            open_ranges.pop()
        while next_range < len(ranges) and ranges[next_range][0] <= at:
            if ranges[next_range][1] > at:
                open_ranges.append(ranges[next_range])
            next_range += 1
        owners.append(open_ranges[-1][2] if open_ranges else None)
    return bounds, owners


def _sound(node, at, log_count):
    return (isinstance(node, list) and len(node) == 6 and isinstance(node[0], str)
            and isinstance(node[1], int) and -1 <= node[1] < at and isinstance(node[2], int)
            and 0 <= node[2] < log_count and isinstance(node[5], str)
            and (node[3] is node[4] is None or isinstance(node[3], int) and isinstance(node[4], int)))


def _tree(parser):
    """(record, index of the node above it or -1, whether a step) of every section and step, in
    tree order: a section lies below the last of its parents, a step below
    the open step whose id its own extends ("1.2" below "1"), else its section."""
    at_sequence = {}
    count = 0
    for script in parser.scripts:
        sections = script.get("sections") if isinstance(script, dict) else None
        for section in sections if isinstance(sections, list) else []:
            parents = section.get("parents") if isinstance(section, dict) else None
            parent = at_sequence.get(parents[-1], -1) if isinstance(parents, list) and parents else -1
            section_at = count
            at_sequence[section.get("sequence_number")] = section_at
            yield section, parent, False
            count += 1
            open_steps = []
            steps = section.get("steps")
            for step in steps if isinstance(steps, list) else []:
                step_id = step.get("step_id")
                while open_steps and not _lies_below(step_id, open_steps[-1][0]):
                    open_steps.pop()
                yield step, open_steps[-1][1] if open_steps else section_at, True
                open_steps.append((step_id, count))
                count += 1


def _lies_below(step_id, outer_id):
    return isinstance(step_id, str) and isinstance(outer_id, str) and step_id.startswith(outer_id + ".")

"""The reviewed exceptions: Qt symbols the documentation cannot settle, each with its reason.

An entry is a demangled symbol on a line of its own, where "*" stands for any text, followed by
its reason on one or more indented lines; symbol lines in a row share the reason below them.
Lines starting with "#" are comments.
"""

import re
from dataclasses import dataclass, field


class AllowListError(Exception):
    pass


@dataclass
class Allowance:
    pattern: str
    reason: str
    line: int
    used: bool = False
    regex: re.Pattern = field(init=False, repr=False)

    def __post_init__(self):
        self.regex = re.compile(".*".join(re.escape(part) for part in self.pattern.split("*")))

    def matches(self, symbol):
        return self.regex.fullmatch(symbol) is not None


def parse(text):
    entries, group_start, in_reason = [], 0, False
    for number, line in enumerate(text.splitlines(), start=1):
        if not line.strip() or line.startswith("#"):
            continue
        if line[0] in " \t":
            if not entries:
                raise AllowListError("line %d: a reason without a symbol above it" % number)
            for entry in entries[group_start:]:
                entry.reason = (entry.reason + " " + line.strip()).strip()
            in_reason = True
            continue
        if in_reason:
            group_start, in_reason = len(entries), False
        entries.append(Allowance(line.strip(), "", number))
    for entry in entries:
        if not entry.reason:
            raise AllowListError("line %d: %s has no reason" % (entry.line, entry.pattern))
    return entries


def load(path):
    with open(path, encoding="utf-8") as allow_list:
        return parse(allow_list.read())


def find(entries, symbol):
    """The entry that lets the symbol pass, marked as used, or None."""
    for entry in entries:
        if entry.matches(symbol):
            entry.used = True
            return entry
    return None

"""Qt names in the product's sources that leave no symbol behind: enum values, macros, inline
and template functions called by their qualified name, classes used only inline.

A name is reported only when Qt's pages date every entry of that name after the floor, so that
an overloaded name with an old and a new meaning never fails the check by itself.
"""

import re
from dataclasses import dataclass

QUALIFIED = re.compile(r"(?<![\w:])((?:[A-Za-z_]\w*::)+~?[A-Za-z_]\w*)")
QT_IDENTIFIER = re.compile(r"(?<![\w:])([qQ]\w*)\b(?!::)")


@dataclass(frozen=True)
class Finding:
    file: str
    line: int
    name: str
    since: tuple
    page: str


def code_only(text):
    """The text with comments and string and character literals blanked, lines kept."""
    out, index, length = [], 0, len(text)
    while index < length:
        two = text[index:index + 2]
        if two == "//":
            end = text.find("\n", index)
            end = length if end < 0 else end
        elif two == "/*":
            end = text.find("*/", index + 2)
            end = length if end < 0 else end + 2
        elif text[index] in "\"'":
            end = literal_end(text, index)
        else:
            out.append(text[index])
            index += 1
            continue
        out.append(re.sub(r"[^\n]", " ", text[index:end]))
        index = end
    return "".join(out)


def literal_end(text, start):
    quote = text[start]
    raw = re.match(r'R"([^(\s]*)\(', text[start - 1:]) if start and text[start - 1] == "R" else None
    if raw and quote == '"':
        closing = text.find(")" + raw.group(1) + '"', start)
        return len(text) if closing < 0 else closing + len(raw.group(1)) + 2
    index = start + 1
    while index < len(text) and text[index] != quote and text[index] != "\n":
        index += 2 if text[index] == "\\" else 1
    return index + 1


class SourceScan:
    def __init__(self, docs, floor):
        self.docs = docs
        self.floor = floor

    def newer(self, entries_since):
        """The oldest version among the entries, if even that is after the floor."""
        if not entries_since or any(since is None or since <= self.floor
                                    for since, _ in entries_since):
            return None
        return min(entries_since)

    def qualified_name(self, name):
        scope, _, member = name.rpartition("::")
        found = [(self.docs.effective_since(entry), entry.page)
                 for entry in self.docs.lookup(scope, member)]
        if name in self.docs.classes:
            found.append((self.docs.classes[name], self.docs.class_pages[name]))
        return self.newer(found)

    def plain_name(self, name):
        found = [(self.docs.effective_since(entry), entry.page)
                 for entry in self.docs.lookup("", name)]
        if name in self.docs.classes:
            found.append((self.docs.classes[name], self.docs.class_pages[name]))
        return self.newer(found)

    def scan_text(self, filename, text):
        findings = []
        for number, line in enumerate(code_only(text).split("\n"), start=1):
            names = [(name, self.qualified_name) for name in QUALIFIED.findall(line)]
            names += [(name, self.plain_name) for name in QT_IDENTIFIER.findall(line)]
            for name, lookup in names:
                newer = lookup(name)
                if newer:
                    findings.append(Finding(filename, number, name, newer[0], newer[1]))
        return findings

    def scan(self, filenames):
        findings = []
        for filename in filenames:
            with open(filename, encoding="utf-8") as source:
                findings.extend(self.scan_text(filename, source.read()))
        return findings

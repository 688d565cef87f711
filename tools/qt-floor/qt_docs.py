"""Qt's reference pages (Debian's qtbase5-doc-html) as an index of "introduced in" notes.

Every documented function, enum, enum value, typedef, macro and class becomes an Entry with the
Qt version its page names, or None where the page names none (then it is as old as its class).
"""

import html
import os
import re
from dataclasses import dataclass, field

Version = tuple  # (major, minor)

SINCE_NOTE = re.compile(
    r"(?:was|has been) (?:introduced|added)(?: or modified)? in (?:Qt )?(\d+)\.(\d+)"
    r"|since Qt (\d+)\.(\d+)")
CLASS_NOTE = re.compile(r"This (?:class|namespace|struct) was introduced in Qt (\d+)\.(\d+)")
TITLE = re.compile(r"<title>(.*?)(?: \|[^<]*)?</title>", re.S)
SUBTITLE = re.compile(r'<span class="small-subtitle">(.*?)</span>', re.S)
HEADING = re.compile(r'<h3 class="(?:fn|flags)( fngroupitem)?" id="([^"]*)">(.*?)</h3>', re.S)
BLOCK_END = re.compile(r"<h3 |<!-- @@@|<h2 ")
# Headings of a group share the text below the last of them.
GROUP_END = re.compile(r"<!-- @@@|<h2 ")
VALUE_ROW = re.compile(r'<tr><td class="topAlign"><code>([^<]*)</code></td>(.*?)</tr>', re.S)
VALUE_TABLE = re.compile(r'<div class="table"><table class="valuelist">.*?</table></div>', re.S)
# A sentence below an enum's table that dates some of its values: "<code>QtInfoMsg</code> was
# added in Qt 5.5."
VALUE_SENTENCE = re.compile(
    r"<p>((?:<code>\w+</code>(?:, | and | or )?)+) (?:was|were|has been|have been) "
    r"(?:added|introduced) in (?:Qt )?(\d+)\.(\d+)[^<]*</p>")
NAME_SPAN = re.compile(r'<span class="name">(.*?)</span>', re.S)
INHERITS = re.compile(r"Inherits:</td><td[^>]*>(.*?)</td>", re.S)


@dataclass(frozen=True)
class Entry:
    scope: str  # "QNetworkRequest", "QMetaObject::Connection", "Qt"; "" for globals
    name: str  # "setTransferTimeout", "QFile", "~QFile", "operator<<", "SkipEmptyParts"
    kind: str  # function, enum, enumvalue, typedef, variable
    since: Version | None  # the entry's own note
    page: str  # "qtnetwork/qnetworkrequest.html#setTransferTimeout"
    params: tuple = ()  # parameter types as the page writes them, names and defaults dropped
    qualifiers: str = ""  # what follows the parameter list: "const", "const &", ...


@dataclass
class QtDocs:
    classes: dict = field(default_factory=dict)  # scope -> Version | None
    class_pages: dict = field(default_factory=dict)  # scope -> page
    bases: dict = field(default_factory=dict)  # scope -> [base class]
    entries: dict = field(default_factory=dict)  # (scope, name) -> [Entry]
    flags: dict = field(default_factory=dict)  # "QIODevice::OpenMode" -> "QFlags<...Flag>"

    def lookup(self, scope, name):
        return self.entries.get((scope, name), [])

    def effective_since(self, entry):
        """The entry's note, or its class's, whichever is newer."""
        return newest(entry.since, self.classes.get(entry.scope))

    def ancestors(self, scope):
        """The documented base classes of a class, nearest first."""
        found, queue = [], list(self.bases.get(scope, []))
        while queue:
            base = queue.pop(0)
            if base not in found:
                found.append(base)
                queue.extend(self.bases.get(base, []))
        return found

    def add(self, entry):
        self.entries.setdefault((entry.scope, entry.name), []).append(entry)


def newest(*versions):
    present = [version for version in versions if version is not None]
    return max(present) if present else None


def version_text(version):
    return "Qt %d.%d" % version if version else "no note (as old as Qt 5)"


def parse_version(text):
    major, minor = text.split(".")
    return (int(major), int(minor))


def since_in(text):
    match = SINCE_NOTE.search(text)
    if not match:
        return None
    numbers = [group for group in match.groups() if group is not None]
    return (int(numbers[0]), int(numbers[1]))


def plain(fragment):
    """Visible text of an HTML fragment, entities decoded, blanks collapsed."""
    return " ".join(html.unescape(re.sub(r"<[^>]+>", "", fragment)).split())


def page_scope(page_html):
    """The class or namespace a page documents, "" for a header's globals, None for others."""
    subtitle = SUBTITLE.search(page_html)
    if subtitle:
        match = re.search(r"\b(?:class|struct|namespace) ([\w:]+)", plain(subtitle.group(1)))
        if match:
            return match.group(1)
    title_match = TITLE.search(page_html)
    title = plain(title_match.group(1)) if title_match else ""
    if title.startswith("Obsolete Members for "):
        title = title.removeprefix("Obsolete Members for ") + " Class"
    if title.startswith("<"):
        return ""
    match = re.fullmatch(r"([\w:]+) (?:Class|Namespace|Struct)", title)
    return match.group(1) if match else None


def split_top_level(text, separator=","):
    """Splits at separators outside <>, () and []."""
    parts, depth, current = [], 0, ""
    for char in text:
        if char in "<([":
            depth += 1
        elif char in ">)]":
            depth -= 1
        if char == separator and depth == 0:
            parts.append(current)
            current = ""
        else:
            current += char
    if current.strip():
        parts.append(current)
    return [part.strip() for part in parts]


def parameter_list(after_name):
    """("(int a = 0, char b) const") -> (["int", "char"], "const")."""
    if not after_name.startswith("("):
        return None, ""
    depth = 0
    for index, char in enumerate(after_name):
        depth += char == "("
        depth -= char == ")"
        if depth == 0:
            inner, rest = after_name[1:index], after_name[index + 1:]
            params = [(split_top_level(part, "=") or [""])[0] for part in split_top_level(inner)]
            return [param for param in params if param not in ("", "void")], rest.strip()
    return None, ""


def heading_entry(scope, page, anchor, heading_html, block_text):
    name_match = NAME_SPAN.search(heading_html)
    if not name_match:
        return None
    # Parameter names are set in italics; dropping them leaves the types.
    without_names = re.sub(r"<i>.*?</i>", "", heading_html, flags=re.S)
    name_match = NAME_SPAN.search(without_names)
    before = plain(without_names[:name_match.start()])
    name = plain(name_match.group(1))
    after = plain(without_names[name_match.end():].split("<br/>")[0])
    qualifier = re.search(r"([\w:]+)::$", before)
    entry_scope = scope_of(scope, qualifier.group(1)) if qualifier else ""
    if anchor.endswith("-prop"):
        return None
    kind = ("enum" if anchor.endswith("-enum") else "typedef" if anchor.endswith("-typedef")
            else "variable" if anchor.endswith("-var") else "function")
    params, qualifiers = parameter_list(after) if kind == "function" else (None, "")
    return Entry(entry_scope, name, kind, since_in(block_text), page + "#" + anchor,
                 tuple(params or ()), qualifiers)


def scope_of(page_scope_name, qualifier):
    """A nested class's page writes "Connection::" for QMetaObject::Connection."""
    if page_scope_name and (page_scope_name == qualifier
                            or page_scope_name.endswith("::" + qualifier)):
        return page_scope_name
    return qualifier


def enum_value_entries(enum_entry, table_html, enum_note, sentence_notes):
    """Values with a note of their own take it. A table without any value note belongs to an
    enum that is new as a whole, whose note then stands for every value."""
    rows = VALUE_ROW.findall(table_html)
    notes = [sentence_notes.get(plain(code).rpartition("::")[2])
             or since_in(plain(description)) for code, description in rows]
    any_value_note = any(note is not None for note in notes)
    for (code, _), note in zip(rows, notes):
        qualified = plain(code)
        # Values of an enum at namespace level (QtMsgType's QtInfoMsg) are globals.
        value_scope, _, value_name = qualified.rpartition("::")
        since = note if any_value_note else enum_note
        yield Entry(value_scope, value_name, "enumvalue", since, enum_entry.page)


def flags_typedef(scope, heading_html):
    names = [plain(name) for name in NAME_SPAN.findall(heading_html)]
    if len(names) == 2 and scope:
        return scope + "::" + names[1], "QFlags<%s::%s>" % (scope, names[0])
    return None


def read_page(docs, module, filename, page_html):
    scope = page_scope(page_html)
    if scope is None:
        return
    page = module + "/" + filename
    if scope and not filename.endswith("-obsolete.html"):
        class_note = CLASS_NOTE.search(page_html)
        docs.classes[scope] = (
            (int(class_note.group(1)), int(class_note.group(2))) if class_note else None)
        docs.class_pages[scope] = page
        inherits = INHERITS.search(page_html)
        if inherits:
            docs.bases[scope] = re.findall(r"\bQ[\w:]*", plain(inherits.group(1)))
    for heading in HEADING.finditer(page_html):
        block_end = (GROUP_END if heading.group(1) else BLOCK_END).search(page_html, heading.end())
        block = page_html[heading.end():block_end.start() if block_end else len(page_html)]
        read_heading(docs, scope, page, heading, block)


def read_heading(docs, scope, page, heading, block):
    anchor, heading_html = heading.group(2), heading.group(3)
    table = VALUE_TABLE.search(block)
    sentence_notes = {}
    for sentence in VALUE_SENTENCE.finditer(block):
        for value in re.findall(r"<code>(\w+)</code>", sentence.group(1)):
            sentence_notes[value] = (int(sentence.group(2)), int(sentence.group(3)))
    block_text = plain(VALUE_SENTENCE.sub("", VALUE_TABLE.sub("", block)))
    entry = heading_entry(scope, page, anchor, heading_html, block_text)
    if entry is None:
        return
    docs.add(entry)
    if entry.kind == "enum":
        flags = flags_typedef(entry.scope, heading_html)
        if flags:
            docs.flags[flags[0]] = flags[1]
            docs.add(Entry(entry.scope, flags[0].rsplit("::", 1)[1], "typedef", entry.since,
                           entry.page))
        if table:
            for value in enum_value_entries(entry, table.group(0), entry.since, sentence_notes):
                docs.add(value)


def load(doc_root, modules):
    docs = QtDocs()
    for module in modules:
        directory = os.path.join(doc_root, module)
        for filename in sorted(os.listdir(directory)):
            if filename.endswith(".html") and not filename.endswith("-members.html"):
                with open(os.path.join(directory, filename), encoding="utf-8") as page:
                    read_page(docs, module, filename, page.read())
    return docs

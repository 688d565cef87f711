"""Decides, from Qt's pages, since which Qt version a referenced symbol exists.

A symbol is matched to its documented overload by its parameter types. When no overload matches
(templates, function-pointer typedefs, undocumented overloads), the answer still stands if every
overload of that name gives the same one, or if all of them are old enough; otherwise the symbol
is unsettled, and only a reviewed allow-list entry can let it pass.
"""

import re
from dataclasses import dataclass, field

from qt_docs import newest, version_text

TOKEN = re.compile(r"[A-Za-z_]\w*(?:::~?[A-Za-z_]\w*)*|&&|\S")
META_OBJECT_MEMBERS = {"staticMetaObject", "metaObject", "qt_metacast", "qt_metacall",
                       "qt_static_metacall"}
DROPPED_WORDS = {"const", "typename", "class", "struct", "enum"}

# Qt's integer typedefs as the demangler spells them; the pointer-sized ones differ by platform.
FIXED_TYPEDEFS = {
    "qint8": "signed char", "quint8": "unsigned char", "qint16": "short",
    "quint16": "unsigned short", "qint32": "int", "quint32": "unsigned int",
    "qint64": "long long", "quint64": "unsigned long long", "qlonglong": "long long",
    "qulonglong": "unsigned long long", "uchar": "unsigned char", "ushort": "unsigned short",
    "uint": "unsigned int", "ulong": "unsigned long", "qreal": "double",
}
POINTER_SIZED_TYPEDEFS = {
    8: {"size_t": "unsigned long", "qsizetype": "long long", "qintptr": "long long",
        "qptrdiff": "long long", "quintptr": "unsigned long long"},
    4: {"size_t": "unsigned int", "qsizetype": "int", "qintptr": "int", "qptrdiff": "int",
        "quintptr": "unsigned int"},
}


@dataclass
class Verdict:
    since: tuple | None  # the Qt version the symbol needs, None: as old as Qt 5
    settled: bool
    why: str  # where the answer comes from, or why there is none
    candidates: list = field(default_factory=list)  # documented overloads, when unsettled


class Lookup:
    def __init__(self, docs, pointer_size, floor):
        self.docs = docs
        self.floor = floor
        self.typedefs = dict(FIXED_TYPEDEFS, **POINTER_SIZED_TYPEDEFS[pointer_size])

    def canonical_type(self, text, scope):
        words = []
        for token in TOKEN.findall(text):
            if token in DROPPED_WORDS:
                continue
            token = self.qualified(token, scope)
            token = self.docs.flags.get(token, token)
            words.extend(self.typedefs.get(token, token).split())
        return " ".join(words).replace(" < ", "<").replace(" >", ">")

    def qualified(self, token, scope):
        """A class's page may name its own enums and typedefs without the class."""
        if "::" in token or not scope:
            return token
        candidate = scope + "::" + token
        if candidate in self.docs.flags or candidate in self.docs.classes or any(
                entry.kind in ("enum", "typedef") for entry in self.docs.lookup(scope, token)):
            return candidate
        return token

    @staticmethod
    def canonical_qualifiers(text):
        return "".join(token for token in TOKEN.findall(text) if token in ("const", "&", "&&"))

    def signature(self, params, qualifiers, scope):
        return (tuple(self.canonical_type(param, scope) for param in params),
                self.canonical_qualifiers(qualifiers))

    def class_verdict(self, scope, what):
        if scope not in self.docs.classes:
            return Verdict(None, False, "%s: the class is not in Qt's documentation" % what)
        since = self.docs.classes[scope]
        return Verdict(since, True, "class %s, %s (%s)" % (
            scope, version_text(since), self.docs.class_pages[scope]))

    def member_entries(self, scope, member):
        """The class's own entries for the name, else those of the nearest ancestor that has
        some: an inherited or overridden virtual exists wherever the ancestor's does."""
        for owner in [scope] + self.docs.ancestors(scope):
            entries = [entry for entry in self.docs.lookup(owner, member)
                       if entry.kind in ("function", "variable")]
            if entries:
                return entries
        return []

    def decide(self, name):
        if not name.member:
            return self.class_verdict(name.scope, "class symbol")
        if name.member in META_OBJECT_MEMBERS and name.scope:
            # The meta-object compiler gives every QObject class these from its first version.
            return self.class_verdict(name.scope, "meta-object")
        if name.scope and name.scope not in self.docs.classes:
            return Verdict(None, False, "%s is not in Qt's documentation" % name.scope)
        entries = self.member_entries(name.scope, name.member)
        if not entries and name.member.startswith("~"):
            return self.class_verdict(name.scope, "destructor")
        if not entries:
            return Verdict(None, False, "no documented %s" % (
                "member of " + name.scope if name.scope else "global of this name"))
        return self.overload_verdict(name, entries)

    def overload_verdict(self, name, entries):
        since_of = {entry: self.docs.effective_since(entry) for entry in entries}
        if name.params is not None:
            wanted = self.signature(name.params, name.qualifiers, name.scope)
            matches = [entry for entry in entries
                       if self.signature(entry.params, entry.qualifiers, entry.scope) == wanted]
            if matches:
                since = newest(*(since_of[entry] for entry in matches))
                return Verdict(since, True, "%s (%s)" % (version_text(since), matches[0].page))
        versions = set(since_of.values())
        since = newest(*versions)
        if len(versions) == 1 or self.old_enough(since):
            return Verdict(since, True, "%s or older, every overload (%s)" % (
                version_text(since), entries[0].page))
        return Verdict(newest(*versions), False, "overloads of different versions, none matched",
                       ["%s(%s) %s: %s" % (entry.name, ", ".join(entry.params), entry.qualifiers,
                                           version_text(since_of[entry])) for entry in entries])

    def old_enough(self, since):
        return since is None or since <= self.floor

    def within_floor(self, verdict):
        """True when the verdict shows that the floor version has the symbol."""
        return verdict.settled and self.old_enough(verdict.since)

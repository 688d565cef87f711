"""The Qt symbols that object files reference, and what each names: a class, a member, a global.

Only symbols that a Qt library itself exports count; everything else (the C library, the C++
runtime, the product's own code) is left out.
"""

import subprocess
from dataclasses import dataclass, field

from qt_docs import split_top_level

# Symbols the compiler makes for a class as a whole.
CLASS_PREFIXES = ("vtable for ", "typeinfo for ", "typeinfo name for ", "VTT for ")
# Stubs that stand for the function named after them.
THUNK_PREFIXES = ("non-virtual thunk to ", "virtual thunk to ", "covariant return thunk to ")


@dataclass
class Reference:
    mangled: str
    demangled: str
    objects: list = field(default_factory=list)  # object files that reference it


@dataclass(frozen=True)
class Name:
    """What a demangled symbol names."""

    scope: str  # "QNetworkRequest", "QMetaObject::Connection"; "" for a global
    member: str  # "setTransferTimeout", "~QFile", "staticMetaObject"; "" for a whole class
    params: tuple | None  # None for data
    qualifiers: str  # "const", "const &", ...


def run(command, stdin=None):
    return subprocess.run(command, input=stdin, capture_output=True, text=True,
                          check=True).stdout


def exported_by(libraries):
    """Names of the functions and data that the shared libraries define, version suffix cut."""
    names = set()
    for line in run(["nm", "-D", "--defined-only", "--format=posix", *libraries]).splitlines():
        fields = line.split()
        if len(fields) >= 2 and not line.endswith(":"):
            names.add(fields[0].split("@")[0])
    return names


def undefined_in(object_files):
    """mangled name -> object files (archive members as lib.a[member.o]) that reference it."""
    references = {}
    output = run(["nm", "-A", "--undefined-only", "--format=posix", *object_files])
    for line in output.splitlines():
        where, _, rest = line.rpartition(": ")
        fields = rest.split()
        if fields:
            references.setdefault(fields[0], []).append(where.rsplit("/", 1)[-1])
    return references


def inline_instances(object_files):
    """Functions and data the objects define weakly: the inline and template code they
    instantiated (in an unoptimised build, every inline function they call)."""
    output = run(["nm", "-A", "--defined-only", "--format=posix", *object_files])
    references = {}
    for line in output.splitlines():
        where, _, rest = line.rpartition(": ")
        fields = rest.split()
        if len(fields) >= 2 and fields[1] in ("W", "V", "u"):
            references.setdefault(fields[0], []).append(where.rsplit("/", 1)[-1])
    mangled = sorted(references)
    return [Reference(name, text, sorted(set(references[name])))
            for name, text in zip(mangled, demangle(mangled))]


def demangle(names):
    output = run(["c++filt"], stdin="".join(name + "\n" for name in names))
    return output.splitlines()


def qt_references(object_files, qt_libraries):
    exported = exported_by(qt_libraries)
    undefined = undefined_in(object_files)
    mangled = sorted(name for name in undefined if name in exported)
    return [Reference(name, text, sorted(set(undefined[name])))
            for name, text in zip(mangled, demangle(mangled))]


def strip_template_arguments(name):
    """QList<QString> -> QList; operator<< and operator< keep their angle brackets."""
    if not name.endswith(">") or name.startswith("operator"):
        return name
    depth = 0
    for index in range(len(name) - 1, -1, -1):
        depth += name[index] == ">"
        depth -= name[index] == "<"
        if depth == 0:
            return name[:index]
    return name


def split_scope(qualified):
    parts = [strip_template_arguments(part) for part in split_qualified(qualified)]
    return "::".join(parts[:-1]), parts[-1]


def split_qualified(qualified):
    """Splits at "::" outside template arguments and parentheses."""
    parts, depth, current, index = [], 0, "", 0
    while index < len(qualified):
        char = qualified[index]
        depth += char in "<("
        depth -= char in ">)"
        if depth == 0 and qualified.startswith("::", index):
            parts.append(current)
            current, index = "", index + 2
            continue
        current += char
        index += 1
    parts.append(current)
    return parts


def parameter_start(text):
    """Index of the "(" that opens the trailing parameter list, or -1."""
    end = text.rfind(")")
    depth = 0
    for index in range(end, -1, -1):
        depth += text[index] == ")"
        depth -= text[index] == "("
        if depth == 0:
            return index
    return -1


def without_return_type(text):
    """Template functions are demangled with their return type in front."""
    words = split_top_level(text, " ")
    # "operator new" and "operator unsigned int" are one name of several words.
    for index, word in enumerate(words):
        if word.endswith("operator") or word.startswith("operator"):
            return " ".join(words[index:])
    return words[-1] if words else text


def parse(demangled):
    for prefix in CLASS_PREFIXES:
        if demangled.startswith(prefix):
            scope, last = split_scope(demangled[len(prefix):])
            return Name(scope + "::" + last if scope else last, "", None, "")
    for prefix in THUNK_PREFIXES:
        if demangled.startswith(prefix):
            return parse(demangled[len(prefix):])
    start = parameter_start(demangled) if demangled.endswith((")", "const", "&")) else -1
    if start <= 0:
        scope, member = split_scope(demangled)
        return Name(scope, member, None, "")
    close = demangled.rfind(")")
    params = tuple(param for param in split_top_level(demangled[start + 1:close])
                   if param not in ("", "void"))
    scope, member = split_scope(without_return_type(demangled[:start]))
    return Name(scope, member, params, demangled[close + 1:].strip())

#!/usr/bin/python3
"""Fails when the product uses a Qt API newer than its Qt floor.

Two looks at the product, both against Qt's own reference pages:
  - every Qt symbol that its object files reference, matched to its documented function, class
    or variable and that entry's "introduced in" note;
  - the Qt names in its sources that leave no symbol: enum values, macros, inline functions
    called by their qualified name, classes used only inline.
What the pages cannot settle fails too, unless the allow-list names it with a reason.
"""

import argparse
import os
import sys

import allow_list
import qt_docs
import qt_lookup
import qt_sources
import qt_symbols

ELF_MAGIC = b"\x7fELF"


def pointer_size(object_file):
    """4 or 8, from the ELF class of the file or of an archive's first ELF member."""
    with open(object_file, "rb") as stream:
        data = stream.read()
    start = data.find(ELF_MAGIC)
    if start < 0:
        raise SystemExit("%s holds no ELF object" % object_file)
    return 4 if data[start + 4] == 1 else 8


def check_symbols(references, lookup, allowances):
    """Prints each symbol that fails; returns how many failed and how many were let pass."""
    failed, allowed, seen = 0, 0, set()
    for reference in references:
        if reference.demangled in seen:
            continue  # constructors and destructors come in several variants
        seen.add(reference.demangled)
        verdict = lookup.decide(qt_symbols.parse(reference.demangled))
        if lookup.within_floor(verdict):
            continue
        if allow_list.find(allowances, reference.demangled):
            allowed += 1
            continue
        failed += 1
        report_symbol(reference, verdict)
    return failed, allowed, len(seen)


def report_symbol(reference, verdict):
    where = ", ".join(reference.objects)
    if verdict.settled:
        print("NEWER      %s\n           %s; referenced by %s"
              % (reference.demangled, verdict.why, where))
        return
    print("UNSETTLED  %s\n           %s; referenced by %s"
          % (reference.demangled, verdict.why, where))
    for candidate in verdict.candidates:
        print("           documented: %s" % candidate)


def list_inline(object_files, lookup, docs):
    """Prints the documented Qt inline and template functions the objects instantiate, with the
    version their pages give: the material of a second look, since they leave no reference."""
    seen = set()
    for reference in qt_symbols.inline_instances(object_files):
        name = qt_symbols.parse(reference.demangled)
        documented = name.scope in docs.classes if name.scope else docs.lookup("", name.member)
        if not documented or reference.demangled in seen:
            continue
        seen.add(reference.demangled)
        verdict = lookup.decide(name)
        state = ("within" if lookup.within_floor(verdict)
                 else "NEWER" if verdict.settled else "unsettled")
        print("%-9s  %s\n           %s" % (state, reference.demangled, verdict.why))
    return 0


def source_files(directories):
    found = []
    for directory in directories:
        for root, _, names in os.walk(directory):
            found.extend(os.path.join(root, name) for name in names
                         if name.endswith((".cpp", ".h", ".h.in")))
    return sorted(found)


def check_sources(files, docs, floor):
    findings = qt_sources.SourceScan(docs, floor).scan(files)
    for finding in findings:
        print("NEWER      %s:%d: %s\n           %s (%s)" % (
            finding.file, finding.line, finding.name, qt_docs.version_text(finding.since),
            finding.page))
    return len(findings)


def arguments():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--floor", required=True, type=qt_docs.parse_version,
                        help="oldest Qt the product must build with, e.g. 5.6")
    parser.add_argument("--docs", default="/usr/share/qt5/doc",
                        help="Qt's HTML reference (Debian's qtbase5-doc-html)")
    parser.add_argument("--modules", default="qtcore,qtnetwork",
                        help="documentation modules of the Qt libraries the product links")
    parser.add_argument("--qt-library", action="append", required=True, dest="qt_libraries",
                        help="a Qt shared library the product links (repeat)")
    parser.add_argument("--allow-list", required=True)
    parser.add_argument("--sources", action="append", default=[],
                        help="a directory of the product's sources (repeat)")
    parser.add_argument("--list-inline", action="store_true",
                        help="only list the documented inline Qt code the objects instantiate "
                             "(build them unoptimised), for a second look")
    parser.add_argument("objects", nargs="+", help="the product's object files and archives")
    return parser.parse_args()


def main():
    options = arguments()
    try:
        allowances = allow_list.load(options.allow_list)
    except allow_list.AllowListError as error:
        print("%s: %s" % (options.allow_list, error), file=sys.stderr)
        return 2
    docs = qt_docs.load(options.docs, options.modules.split(","))
    lookup = qt_lookup.Lookup(docs, pointer_size(options.objects[0]), options.floor)
    if options.list_inline:
        return list_inline(options.objects, lookup, docs)
    references = qt_symbols.qt_references(options.objects, options.qt_libraries)
    failed, allowed, symbols = check_symbols(references, lookup, allowances)
    files = source_files(options.sources)
    failed += check_sources(files, docs, options.floor)
    for allowance in allowances:
        if not allowance.used:
            print("note: allow-list line %d matched no symbol: %s"
                  % (allowance.line, allowance.pattern))
    floor = "Qt %d.%d" % options.floor
    print("%s floor: %d Qt symbols in %d object files (%d allow-listed), Qt names in %d source "
          "files: %s" % (floor, symbols, len(options.objects), allowed, len(files),
                         "%d newer or unsettled" % failed if failed else "all within the floor"))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

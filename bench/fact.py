"""Prints, for the benchmarks' shell scripts, the value each name of the box's facts has in this
build, one a line (a path with the box root, as the tool uses it):
    RIRARUDE_BOX_FACTS=<build>/box-facts.json bench/fact.py UPDATER_ARCHIVE_FILE EXTRACT_WAIT_MS
Besides the C++ names: box_root, updater and board_simulator."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "fixtures"))
import facts  # noqa: E402


def value(name):
    if name in facts.PATH:
        return facts.BOX_ROOT + facts.PATH[name]
    for table in (facts.TEXT, facts.LIMIT, facts.STATE,
                  {"box_root": facts.BOX_ROOT, "updater": facts.UPDATER,
                   "board_simulator": facts.BOARD_SIMULATOR}):
        if name in table:
            return table[name]
    sys.exit(f"{name} is no fact of the box")


for name in sys.argv[1:]:
    print(value(name))

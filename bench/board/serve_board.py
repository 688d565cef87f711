"""The test fixture's board simulator at the sandbox box's DSP device, served until SIGTERM;
report.json and image.bin are left in the directory. Needs RIRARUDE_BOX_FACTS.
    serve_board.py <directory> [simulator option ...]"""

import os
import signal
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tests", "fixtures"))
from board import Board  # noqa: E402

signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
board = Board(*sys.argv[2:], directory=sys.argv[1]).start()
print("ready", flush=True)
try:
    signal.pause()
finally:
    board.stop()

"""The test firmware server, serving two files as they stand, for the download benchmark's
comparison with a plain server. Needs RIRARUDE_BOX_FACTS for the paths the box asks for.
    fixture_server.py --port P --archive F --checksum F"""

import argparse
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tests", "fixtures"))
from firmware_server import ARCHIVE_PATH, CHECKSUM_PATH, FirmwareServer  # noqa: E402

parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
parser.add_argument("--port", type=int, required=True)
parser.add_argument("--archive", required=True)
parser.add_argument("--checksum", required=True)
arguments = parser.parse_args()
server = FirmwareServer(arguments.port)
server.route(ARCHIVE_PATH, os.path.abspath(arguments.archive))
server.route(CHECKSUM_PATH, os.path.abspath(arguments.checksum))
try:
    server._serve()
except KeyboardInterrupt:
    pass

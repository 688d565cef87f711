"""The README's simulated update on this build: the road, and each fault it can inject, must end
in a passing verdict that shows the fault as the demo says; nothing it started outlives it."""

import os
import subprocess
import sys
import unittest

import box

DEMO = os.path.join(os.path.dirname(__file__), "..", "..", "scripts", "demo.py")

# The demo's options, and the verdict's line for the step where the fault shows. Exit status 0
# says that every step ended as the demo expects.
ROADS = [
    ([], "blockingdspupdate: the board's transfer: 'complete, image intact'"),
    (["--fault", "download-404"], "downloadfirmware: archive download error: 203"),
    (["--fault", "corrupt-archive"], "downloadfirmware: archive download error: 299"),
    (["--fault", "board-refuses"], "blockingdspupdate: the board's transfer: 'refused'"),
    (["--fault", "board-silent"], "blockingdspupdate: the board's transfer: 'incomplete'"),
]


class SimulatedUpdate(unittest.TestCase):
    def test_roads(self):
        for options, shown in ROADS:
            with self.subTest(options):
                result = subprocess.run([sys.executable, DEMO, "--build-dir",
                                         os.path.dirname(box.TOOL), *options],
                                        capture_output=True, text=True, timeout=300)
                self.assertEqual((result.returncode, result.stderr), (0, ""), result.stdout)
                self.assertIn("\n  [ok] " + shown + "\n", result.stdout)
                self.assertFalse(box.exists(box.DSP_DEVICE))


if __name__ == "__main__":
    unittest.main()

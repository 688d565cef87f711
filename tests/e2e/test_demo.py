"""The README's simulated update on this build: the road, and each fault it can inject, must end
in a passing verdict that shows the fault as the demo says; nothing it started outlives it."""

import os
import subprocess
import sys
import unittest

import box

DEMO = os.path.join(os.path.dirname(__file__), "..", "..", "scripts", "demo.py")

# --fault, the verdict's closing line, and its line for the step where the fault shows.
ROADS = [
    ([], "PASS: the update went through.",
     "[ok] blockingdspupdate: the board's transfer: 'complete, image intact'"),
    (["--fault", "download-404"], "PASS: the fault 'download-404' was reported as expected.",
     "[ok] downloadfirmware: archive download error: 203"),
    (["--fault", "corrupt-archive"], "PASS: the fault 'corrupt-archive' was reported as expected.",
     "[ok] downloadfirmware: archive download error: 299"),
    (["--fault", "board-refuses"], "PASS: the fault 'board-refuses' was reported as expected.",
     "[ok] blockingdspupdate: the board's transfer: 'refused'"),
    (["--fault", "board-silent"], "PASS: the fault 'board-silent' was reported as expected.",
     "[ok] blockingdspupdate: the board's transfer: 'incomplete'"),
]


class SimulatedUpdate(unittest.TestCase):
    def test_roads(self):
        for fault, closing, shown in ROADS:
            with self.subTest(fault):
                result = subprocess.run([sys.executable, DEMO, "--build-dir",
                                         os.path.dirname(box.TOOL), *fault],
                                        capture_output=True, text=True, timeout=300)
                self.assertEqual((result.returncode, result.stderr), (0, ""), result.stdout)
                self.assertNotIn("[FAILED]", result.stdout)
                self.assertIn("\n" + closing + "\n", result.stdout)
                self.assertIn("\n  " + shown + "\n", result.stdout)
                self.assertFalse(box.exists(box.DSP_DEVICE))


if __name__ == "__main__":
    unittest.main()

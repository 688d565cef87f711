"""The README's simulated update, run on this build: the whole road must end in a passing
verdict, and each injected fault must show the way the tool reports it."""

import os
import subprocess
import sys
import unittest
from dataclasses import dataclass

import box

DEMO = os.path.join(os.path.dirname(__file__), "..", "..", "scripts", "demo.py")
BUILD_DIR = os.path.dirname(box.TOOL)


def run_demo(*arguments):
    return subprocess.run([sys.executable, DEMO, "--build-dir", BUILD_DIR, *arguments],
                          capture_output=True, text=True, timeout=300)


@dataclass
class Fault:
    name: str
    shown: str  # the verdict's line for the step where the fault shows


FAULTS = [
    Fault("download-404", "[ok] downloadfirmware: archive download error: 203"),
    Fault("corrupt-archive", "[ok] downloadfirmware: archive download error: 299"),
    Fault("board-refuses", "[ok] blockingdspupdate: the board's transfer: 'refused'"),
    Fault("board-silent", "[ok] blockingdspupdate: the board's transfer: 'incomplete'"),
]


class SimulatedUpdate(unittest.TestCase):
    def assertVerdict(self, result, closing):
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertNotIn("[FAILED]", result.stdout)
        self.assertIn(closing, result.stdout)
        self.assertNotIn("Traceback", result.stderr)

    def test_whole_road_passes(self):
        result = run_demo()
        self.assertVerdict(result, "PASS: the update went through.")
        steps = [line[len("$ rirarude-updater --"):] for line in result.stdout.splitlines()
                 if line.startswith("$ ")]
        self.assertEqual(steps, ["getversions", "downloadfirmware", "uploadfirmware",
                                 "extractfirmware", "updatefirmware", "updatedspfirmware",
                                 "blockingdspupdate", "getversions", "reboot"])
        self.assertIn("[ok] blockingdspupdate: the board's transfer: 'complete, image intact'",
                      result.stdout)
        # Nothing the demo started outlives it.
        self.assertFalse(box.exists(box.DSP_DEVICE))

    def test_each_fault_is_reported(self):
        for fault in FAULTS:
            with self.subTest(fault=fault.name):
                result = run_demo("--fault", fault.name)
                self.assertVerdict(result,
                                   f"PASS: the fault '{fault.name}' was reported as expected.")
                self.assertIn(fault.shown, result.stdout)


if __name__ == "__main__":
    unittest.main()

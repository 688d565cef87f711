"""The README's simulated update, run on this build: the whole road must end in a passing
verdict, and each injected fault must show the way the tool reports it."""

import os
import subprocess
import sys
import unittest

import box

DEMO = os.path.join(os.path.dirname(__file__), "..", "..", "scripts", "demo.py")
BUILD_DIR = os.path.dirname(box.TOOL)


def run_demo(*arguments):
    return subprocess.run([sys.executable, DEMO, "--build-dir", BUILD_DIR, *arguments],
                          capture_output=True, text=True, timeout=300)


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
        # Nothing the demo started outlives it.
        self.assertFalse(box.exists(box.DSP_DEVICE))

    def test_each_fault_is_reported(self):
        for fault in ("download-404", "corrupt-archive", "board-refuses", "board-silent"):
            with self.subTest(fault=fault):
                self.assertVerdict(run_demo("--fault", fault),
                                   f"PASS: the fault '{fault}' was reported as expected.")


if __name__ == "__main__":
    unittest.main()

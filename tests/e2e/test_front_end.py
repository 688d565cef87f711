"""The command line, the reboot request and the event log, on the real binary."""

import os
import re
import shutil
import unittest

import box
import home
from box import BoxTestCase, exists, path, read, run_tool, write

REBOOT_FLAG = box.FLAG_FILES["reboot"]
REBOOT_LINE = "Debug: Triggering reboot. (int main(int, char**))"
UPDATE_STARTED = b"Started firmware update"


class CommandLine(BoxTestCase):
    def test_no_arguments_does_nothing_at_all(self):
        run = run_tool()
        self.assertEqual((run.stdout, run.stderr, run.log), (b"", b"", []))
        self.assertFalse(exists(box.LOG_FILE))
        self.assertEqual(home.entries(), {home.PERSISTENT_DATA})

    def test_reboot_empties_the_flag_and_each_run_appends_one_stamped_line(self):
        write(REBOOT_FLAG, b"stale")
        for _ in range(2):
            run = run_tool("--reboot")
            self.assertEqual((run.stdout, run.log), (b"", [REBOOT_LINE]))
        self.assertFileBytes(REBOOT_FLAG, b"")
        *lines, after_the_last = read(box.LOG_FILE).split(b"\n")
        self.assertEqual((len(lines), after_the_last), (2, b""))
        for line in lines:
            self.assertRegex(line, box.TIMESTAMP.pattern + re.escape(REBOOT_LINE.encode()) + b"$")

    def test_only_the_first_option_is_acted_on(self):
        run = run_tool("--reboot", "--updatefirmware")
        self.assertEqual(run.stdout, b"")
        self.assertFalse(exists(box.FLAG_FILES["update"]))
        box.reset()
        run = run_tool("--updatefirmware", "--reboot", "extra")
        self.assertEqual(run.stdout, UPDATE_STARTED)
        self.assertFalse(exists(REBOOT_FLAG))

    def test_abbreviations_work_while_unambiguous(self):
        self.assertEqual(run_tool("--rebo").log, [REBOOT_LINE])
        run = run_tool("--update")
        self.assertEqual((run.stdout, run.log), (b"", []))
        self.assertIn(b"ambiguous", run.stderr)
        self.assertEqual(run_tool("--updatef").stdout, UPDATE_STARTED)

    def test_short_forms_exist_only_for_the_letters_a_to_g(self):
        for unknown in ("-h", "-i", "-x", "--frobnicate"):
            with self.subTest(unknown):
                run = run_tool(unknown)
                self.assertEqual((run.stdout, run.log), (b"", []))
                self.assertNotEqual(run.stderr, b"")
        run = run_tool("-f")
        self.assertEqual((run.stdout, run.stderr, run.log), (b"", b"", []))
        self.assertEqual(run_tool("-e").stdout, UPDATE_STARTED)
        self.assertFalse(exists(REBOOT_FLAG))

    def test_missing_log_directory_sends_lines_to_standard_error(self):
        shutil.rmtree(path(os.path.dirname(box.LOG_FILE)))
        run = run_tool("--reboot")
        self.assertRegex(run.stderr, box.TIMESTAMP.pattern + re.escape(REBOOT_LINE.encode()) + b"\n$")
        self.assertFileBytes(REBOOT_FLAG, b"")


class UpdateRequests(BoxTestCase):
    def test_update_request_twice(self):
        updating = box.STATE["UPDATE_STATE_UPDATING"]
        for _ in range(2):
            run = run_tool("--updatefirmware")
            self.assertEqual(run.stdout, UPDATE_STARTED)
            self.assertProgress(updating)
            self.assertFileBytes(box.FLAG_FILES["update"], b"")
            self.assertEqual(run.log, [
                f"Debug: Changed state value to: {updating} (void WriteUpdateState(int))",
                "Debug: Firmware update request acknowledged (void cDovozUdiZedezod::UpdateFirmware())",
            ])


if __name__ == "__main__":
    unittest.main()

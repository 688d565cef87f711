"""The command line, the reboot request and the event log, on the real binary."""

import os
import re
import shutil

import box
from box import BoxTestCase, exists, path, read, run_tool, write

REBOOT_FLAG = box.FLAG_FILES["reboot"]
REBOOT_LINE = "Debug: Triggering reboot. (int main(int, char**))"


class CommandLine(BoxTestCase):
    def test_no_arguments_does_nothing_at_all(self):
        run = run_tool()
        self.assertEqual((run.stdout, run.stderr, run.log), (b"", b"", []))
        self.assertFalse(exists(box.LOG_FILE))
        self.assertEqual(os.listdir(path(box.HOME)), ["PXMPersistentData"])

    def test_reboot_leaves_an_empty_flag_and_one_log_line(self):
        run = run_tool("--reboot")
        self.assertEqual(run.stdout, b"")
        self.assertEqual(run.log, [REBOOT_LINE])
        self.assertFileBytes(REBOOT_FLAG, b"")
        self.assertRegex(read(box.LOG_FILE).decode(),
                         r"^\[\w{3} \w{3} [ 123]?\d \d\d:\d\d:\d\d \d{4}\] "
                         + re.escape(REBOOT_LINE) + "\n$")

    def test_reboot_empties_an_existing_flag_and_runs_append(self):
        write(REBOOT_FLAG, b"stale")
        run_tool("--reboot")
        run_tool("--reboot")
        self.assertFileBytes(REBOOT_FLAG, b"")
        lines = read(box.LOG_FILE).split(b"\n")
        self.assertEqual([box.strip_timestamp(line) for line in lines[:-1]], [REBOOT_LINE] * 2)

    def test_only_the_first_option_is_acted_on(self):
        run = run_tool("--reboot", "--updatefirmware")
        self.assertEqual(run.stdout, b"")
        self.assertFalse(exists(box.FLAG_FILES["update"]))
        box.reset()
        run = run_tool("--updatefirmware", "--reboot", "extra")
        self.assertEqual(run.stdout, b"Started firmware update")
        self.assertFalse(exists(REBOOT_FLAG))

    def test_abbreviations_work_while_unambiguous(self):
        self.assertEqual(run_tool("--rebo").log, [REBOOT_LINE])
        run = run_tool("--update")
        self.assertEqual((run.stdout, run.log), (b"", []))
        self.assertIn(b"ambiguous", run.stderr)
        self.assertEqual(run_tool("--updatef").stdout, b"Started firmware update")

    def test_short_forms_exist_only_for_the_letters_a_to_g(self):
        for option in ("-h", "-i", "-x", "--frobnicate"):
            with self.subTest(option=option):
                run = run_tool(option)
                self.assertEqual((run.stdout, run.log), (b"", []))
                self.assertNotEqual(run.stderr, b"")
        run = run_tool("-f")
        self.assertEqual((run.stdout, run.stderr, run.log), (b"", b"", []))
        self.assertEqual(run_tool("-e").stdout, b"Started firmware update")
        self.assertFalse(exists(REBOOT_FLAG))

    def test_missing_log_directory_sends_lines_to_standard_error(self):
        shutil.rmtree(path("/home/pxm/PXMPersistentData"))
        run = run_tool("--reboot")
        self.assertRegex(run.stderr.decode(), r"^\[[^]]+\] " + re.escape(REBOOT_LINE) + "\n$")
        self.assertFileBytes(REBOOT_FLAG, b"")


class UpdateRequests(BoxTestCase):
    def test_update_request_twice(self):
        for _ in range(2):
            run = run_tool("--updatefirmware")
            self.assertEqual(run.stdout, b"Started firmware update")
            self.assertProgress(9)
            self.assertFileBytes(box.FLAG_FILES["update"], b"")
            self.assertEqual(run.log, [
                "Debug: Changed state value to: 9 (void WriteUpdateState(int))",
                "Debug: Firmware update request acknowledged (void cDovozUdiZedezod::UpdateFirmware())",
            ])


if __name__ == "__main__":
    import unittest
    unittest.main()

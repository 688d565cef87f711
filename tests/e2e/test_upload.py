"""The uploadfirmware step on the real binary: the versions that an uploaded archive, or the
firmware directory extracted from one, carries."""

import os
import tempfile
import unittest

import archives
import box
from box import BoxTestCase, path, run_tool, write

CHECKED = (r"^Debug: Checked Firmware version in: \d+ ms "
           r"\(QString cDovozUdiZedezod::GetNewFirmwareVersion\(const QString&\)\)$")


def report(firmware, dsp):
    return ('{\n    "DSP Firmware Version": "%s",\n    "Firmware Version": "%s"\n}\n'
            % (dsp, firmware)).encode()


class UploadCheck(BoxTestCase):
    def check(self, env=None):
        run = run_tool("--uploadfirmware", env=env)
        self.assertEqual(run.log[0],
                         "Debug: Checking new firmware. (void cDovozUdiZedezod::CheckNewFirmware())")
        self.assertEqual(len(run.log), 3)
        for line in run.log[1:]:
            self.assertRegex(line, CHECKED)
        self.assertFalse(box.exists(box.PROGRESS_FILE))
        return run

    def test_versions_read_from_the_archive_without_unpacking_it(self):
        payload = {archives.PAYLOAD_MEMBER: archives.incompressible(1 << 20)}
        cases = [(archives.firmware(b"2.1\n", b"R9-7\n"), report("2.1", "R9-7")),
                 (archives.firmware(b"2.1\r\n", b"R9-7\nR9-6\n"), report("2.1\\r", "R9-7")),
                 ({**payload, **archives.firmware(b"3.0", b"")}, report("3.0", ""))]
        for members, expected in cases:
            with self.subTest(expected=expected):
                box.reset()
                archives.build(path(box.ARCHIVE_FILE), members)
                run = self.check()
                self.assertEqual((run.stdout, run.stderr), (expected, b""))
                self.assertEqual(sorted(os.listdir(path(box.HOME))),
                                 ["Firmware.tar.xz", "PXMPersistentData"])

    def test_a_member_missing_from_the_archive_reads_as_empty(self):
        archives.build(path(box.ARCHIVE_FILE), archives.firmware(dsp_version=None))
        run = self.check()
        self.assertEqual(run.stdout, report("2.1", ""))
        self.assertIn(b"R9_CoreRack_M4_Version", run.stderr)

    def test_the_extracted_directory_answers_instead_of_an_archive_beside_it(self):
        archives.build(path(box.ARCHIVE_FILE), archives.firmware(b"3.0\n", b"R9-9\n"))
        write(box.FIRMWARE_DIR + "/Version.txt", b"2.1\r\nsecond line\n")
        self.assertEqual(self.check().stdout, report("2.1\\r", ""))
        write(box.FIRMWARE_DIR + "/R9_CoreRack_M4_Version", b"R9-7")
        self.assertEqual(self.check().stdout, report("2.1\\r", "R9-7"))

    def test_neither_directory_nor_archive(self):
        run = self.check()
        self.assertEqual((run.stdout, run.stderr), (report("", ""), b""))

    def test_the_reading_command_is_ended_whole_after_the_first_line(self):
        # Stands in for a tar on a large archive: the line comes at once, the end never.
        stand_in = """#!/bin/sh
printf '%s\\n' "$@" >> "$RECORD/arguments"
sleep 1000 &
echo $! $$ >> "$RECORD/pids"
echo 4.0
wait
"""
        write(box.ARCHIVE_FILE, b"never read by the stand-in")
        with tempfile.TemporaryDirectory() as bin_dir:
            with open(os.path.join(bin_dir, "tar"), "w") as f:
                f.write(stand_in)
            os.chmod(os.path.join(bin_dir, "tar"), 0o755)
            run = self.check(env={"PATH": bin_dir + os.pathsep + os.environ["PATH"],
                                  "RECORD": bin_dir})
            with open(os.path.join(bin_dir, "arguments")) as f:
                arguments = f.read().split()
            with open(os.path.join(bin_dir, "pids")) as f:
                pids = f.read().split()
        self.assertEqual(run.stdout, report("4.0", "4.0"))
        self.assertEqual(arguments, ["-xJOf", path(box.ARCHIVE_FILE), archives.VERSION_MEMBER,
                                     "-xJOf", path(box.ARCHIVE_FILE), archives.DSP_VERSION_MEMBER])
        for pid in pids:
            self.assertFalse(os.path.exists(f"/proc/{pid}"), f"process {pid} lives on")


if __name__ == "__main__":
    unittest.main()

"""The uploadfirmware step on the real binary: the versions that an uploaded archive, or the
firmware directory extracted from one, carries."""

import os
import random
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

    def test_versions_come_from_the_directory_else_the_archive_unpacked_or_not(self):
        payload = {archives.PAYLOAD_MEMBER: random.Random(1).randbytes(1 << 20)}
        other = archives.firmware(b"3.0\n", b"R9-9\n")
        cases = [  # archive members, firmware directory, stdout, whether tar complains
            (archives.firmware(), {}, report("2.1", "R9-7"), False),
            (archives.firmware(b"2.1\r\n", b"R9-7\nR9-6\n"), {}, report("2.1\\r", "R9-7"), False),
            ({**payload, **archives.firmware(b"3.0", b"")}, {}, report("3.0", ""), False),
            (archives.firmware(dsp_version=None), {}, report("2.1", ""), True),
            (other, {"Version.txt": b"2.1\r\nsecond line\n"}, report("2.1\\r", ""), False),
            (other, {"Version.txt": b"2.1\n", "R9_CoreRack_M4_Version": b"R9-7"},
             report("2.1", "R9-7"), False),
            (None, {}, report("", ""), False),
        ]
        for members, directory, stdout, complaint in cases:
            with self.subTest(stdout=stdout, directory=directory):
                box.reset()
                if members:
                    archives.build(path(box.ARCHIVE_FILE), members)
                for name, content in directory.items():
                    write(box.FIRMWARE_DIR + "/" + name, content)
                run = self.check()
                self.assertEqual(run.stdout, stdout)
                self.assertTrue(b"R9_CoreRack_M4_Version" in run.stderr if complaint
                                else run.stderr == b"", run.stderr)
                self.assertEqual(sorted(os.listdir(path(box.HOME))),
                                 ["Firmware"] * bool(directory) + ["Firmware.tar.xz"]
                                 * bool(members) + ["PXMPersistentData"])


if __name__ == "__main__":
    unittest.main()

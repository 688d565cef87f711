"""The extractfirmware step on the real binary, with archives built by the real tar and xz."""

import os
import random
import re
import subprocess
import tempfile
import unittest

import archives
import box
from box import BoxTestCase, exists, path, run_tool, write

STEP = " (void cDovozUdiZedezod::ExtractNewFirmware())"
FLAG = box.FLAG_FILES["relaunch_daemon"]
DAEMON = "Firmware contains new UpdateDaemon"
PLANTED = {name: b"planted" for name in [
    os.path.basename(FLAG), ".update_progress", ".profile",
    "PXMPersistentData/Surface/RirarUdeHostName.dat", "FirmwareExtra/file"]}


def state(value):
    return f"Debug: Changed state value to: {value} (void WriteUpdateState(int))"


def step(message):
    return f"Debug: {message}{STEP}"


class Extract(BoxTestCase):
    def extract(self, members=None, env=None):
        if members is not None:
            archives.build(path(box.ARCHIVE_FILE), members)
            write(box.CHECKSUM_FILE, archives.md5_companion(path(box.ARCHIVE_FILE)))
        run = run_tool("--extractfirmware", env=env)
        self.assertEqual(run.stdout, b"")
        self.assertRegex(run.log[-2], "^" + re.escape("Debug: Extracted Firmware in: ")
                         + r"\d+ ms" + re.escape(STEP) + "$")
        self.assertFalse(exists(box.ARCHIVE_FILE) or exists(box.CHECKSUM_FILE), "not consumed")
        return run

    def assertFailed(self, run):
        self.assertIn(step('tar -xJf success? "no"'), run.log)
        self.assertEqual(run.log[-1], state(2))
        self.assertProgress(2)

    def test_good_archive_replaces_the_tree_and_asks_for_a_relaunch_of_a_usable_daemon(self):
        too_old = DAEMON + ", but it is version %d and the minimum supported is 1"
        unparsed = DAEMON + ", but the version could not be parsed"
        cases = [(b"d", b"2\n", DAEMON), (b"d", b"0\n", too_old % 0), (b"d", b" -3 ", too_old % -3),
                 (b"d", b"1.2\n", unparsed), (b"d", b"", unparsed), (b"d", b"2147483648", unparsed),
                 (b"d", None, DAEMON + ", but it is unversioned (old)"), (None, b"5\n", None)]
        for daemon, version, message in cases:
            with self.subTest(version=version, daemon=daemon):
                box.reset()
                write(FLAG, b"stale")
                write(box.FIRMWARE_DIR + "/old-only", b"previous firmware")
                members = archives.firmware(UpdateDaemon=daemon, UpdateDaemonVersion=version)
                run = self.extract({**members, **PLANTED})
                self.assertEqual(run.log[:-2] + run.log[-1:], [
                    state(7), step('Remove ExtractPath success? "Yes"'),
                    "Debug: Extracting with the following command:",
                    f' "sh -c \\"tar -xJf {path(box.ARCHIVE_FILE)} -C {path(box.HOME)} '
                    f'Firmware\\""{STEP}', step('untar stderr: ""'),
                    *([step(message)] if message else []),
                    step('tar -xJf success? "Yes"'), state(8)])
                self.assertProgress(8)
                self.assertFileBytes(FLAG, b"" if message == DAEMON else b"stale")
                for name, content in members.items():
                    self.assertFileBytes(box.HOME + "/" + name, content)
                self.assertEqual(len(os.listdir(path(box.FIRMWARE_DIR))), len(members))
                self.assertEqual(sorted(os.listdir(path(box.HOME))), sorted(
                    [os.path.basename(FLAG), ".update_progress", "Firmware", "PXMPersistentData"]))
                self.assertEqual(os.listdir(path(box.HOME + "/PXMPersistentData")),
                                 ["DovozUdiZedezod"])

    def test_no_archive_consumes_a_stale_companion_and_keeps_the_firmware(self):
        write(box.CHECKSUM_FILE, b"d41d8cd98f00b204e9800998ecf8427e  Firmware.tar.xz\n")
        write(box.FIRMWARE_DIR + "/Version.txt", b"1.0\n")
        run = self.extract()
        self.assertEqual(run.log[:2] + run.log[3:], [state(7), step("No firmware"), state(2)])
        self.assertProgress(2)
        self.assertFileBytes(box.FIRMWARE_DIR + "/Version.txt", b"1.0\n")

    def test_bad_archives_fail_with_tars_error_on_one_line(self):
        payload = {archives.PAYLOAD_MEMBER: random.Random(4).randbytes(4 << 20)}
        for members, truncated in (({"Other/Version.txt": b"2.1\n", "Version.txt": b"2.1\n"},
                                    False), ({**archives.firmware(), **payload}, True)):
            with self.subTest(truncated=truncated):
                box.reset()
                write(box.FIRMWARE_DIR + "/Version.txt", b"1.0\n")
                archive = archives.build(path(box.ARCHIVE_FILE), members)
                if truncated:
                    os.truncate(archive, os.path.getsize(archive) // 2)
                run = self.extract()
                self.assertFailed(run)
                [index] = [i for i, line in enumerate(run.log) if "untar stderr:" in line]
                self.assertRegex(run.log[index], r'^Debug: untar stderr: ".+"' + re.escape(STEP))
                self.assertTrue(run.log[index + 1].startswith("Debug: "), "error text split")
                self.assertTrue(any(re.match(r"Debug: untar exit code: [1-9]", line)
                                    for line in run.log))
                # A truncated archive leaves the part unpacked before the cut; nothing else stays.
                self.assertEqual(sorted(os.listdir(path(box.HOME))), [".update_progress"]
                                 + ["Firmware"] * truncated + ["PXMPersistentData"])

    def test_an_unremovable_old_tree_fails_the_step_though_unpacking_runs(self):
        write(box.FIRMWARE_DIR + "/locked", b"old")
        if subprocess.run(["chattr", "+i", path(box.FIRMWARE_DIR + "/locked")]).returncode == 0:
            self.addCleanup(subprocess.run, ["chattr", "-i", path(box.FIRMWARE_DIR + "/locked")])
        elif subprocess.run(["mount", "-t", "tmpfs", "none", path(box.FIRMWARE_DIR)]).returncode:
            self.skipTest("neither chattr +i nor a tmpfs mount works here")
        else:
            self.addCleanup(subprocess.run, ["umount", path(box.FIRMWARE_DIR)])
        run = self.extract(archives.firmware())
        self.assertIn(step('Remove ExtractPath success? "no"'), run.log)
        self.assertFileBytes(box.FIRMWARE_DIR + "/Version.txt", b"2.1\n")
        self.assertFailed(run)

    def test_a_command_outliving_the_wait_is_stopped_whole_and_fails(self):
        # Stands in for tar on a huge archive: it and a helper of its own outlive the wait.
        with tempfile.TemporaryDirectory() as bin_dir:
            with open(os.path.join(bin_dir, "tar"), "w") as f:
                f.write("""#!/bin/sh
sleep 1000 &
echo $$ $! >> "$RECORD/pids"
wait
""")
            os.chmod(os.path.join(bin_dir, "tar"), 0o755)
            run = self.extract(archives.firmware(), env={
                "PATH": bin_dir + os.pathsep + os.environ["PATH"], "RECORD": bin_dir})
            with open(os.path.join(bin_dir, "pids")) as f:
                for pid in f.read().split():
                    self.assertFalse(os.path.exists(f"/proc/{pid}"), f"process {pid} lives on")
        self.assertTrue(any(re.fullmatch(r"Debug: untar still running after \d+ ms, stopping it"
                                         + re.escape(STEP), line) for line in run.log))
        self.assertFailed(run)


if __name__ == "__main__":
    unittest.main()

"""The extractfirmware step on the real binary, with archives built by the real tar and xz."""

import os
import re
import subprocess
import tempfile
import time
import unittest

import archives
import box
from box import BoxTestCase, exists, path, run_tool, write

STEP = " (void cDovozUdiZedezod::ExtractNewFirmware())"
FLAG = box.FLAG_FILES["relaunch_daemon"]
DAEMON = "Firmware contains new UpdateDaemon"


def state(value):
    return f"Debug: Changed state value to: {value} (void WriteUpdateState(int))"


def step(message):
    return f"Debug: {message}{STEP}"


class ExtractTestCase(BoxTestCase):
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


class GoodArchive(ExtractTestCase):
    def test_whole_log_of_a_hand_over_to_a_new_daemon(self):
        write(box.FIRMWARE_DIR + "/old-only", b"previous firmware")
        run = self.extract(archives.firmware(UpdateDaemon=b"\x7fELF", UpdateDaemonVersion=b"2\n"))
        self.assertEqual(run.log[:-2] + run.log[-1:], [
            state(7),
            step('Remove ExtractPath success? "Yes"'),
            "Debug: Extracting with the following command:",
            f' "sh -c \\"tar -xJf {path(box.ARCHIVE_FILE)} -C {path(box.HOME)} Firmware\\""{STEP}',
            step('untar stderr: ""'),
            step(DAEMON),
            step('tar -xJf success? "Yes"'),
            state(8),
        ])
        self.assertProgress(8)
        self.assertFileBytes(FLAG, b"")
        self.assertEqual(sorted(os.listdir(path(box.FIRMWARE_DIR))), [
            "R9_CoreRack_M4_Version", "UpdateDaemon", "UpdateDaemonVersion", "Version.txt",
            "zImage"])
        self.assertFileBytes(box.FIRMWARE_DIR + "/Version.txt", b"2.1\n")

    def test_daemons_that_get_no_relaunch(self):
        too_old = DAEMON + ", but it is version %d and the minimum supported is 1"
        unparsed = DAEMON + ", but the version could not be parsed"
        cases = [(b"d", b"0\n", too_old % 0), (b"d", b" -3 ", too_old % -3),
                 (b"d", b"1.2\n", unparsed), (b"d", b"", unparsed), (b"d", b"2147483648", unparsed),
                 (b"d", None, DAEMON + ", but it is unversioned (old)"), (None, b"5\n", None)]
        for daemon, version, message in cases:
            with self.subTest(version=version, daemon=daemon):
                box.reset()
                write(FLAG, b"stale")
                run = self.extract(archives.firmware(UpdateDaemon=daemon,
                                                     UpdateDaemonVersion=version))
                self.assertEqual([line for line in run.log if DAEMON in line],
                                 [step(message)] if message else [])
                self.assertEqual(run.log[-1], state(8))
                self.assertFileBytes(FLAG, b"stale")

    def test_nothing_beside_the_firmware_directory_is_unpacked(self):
        planted = [".relaunch_update_daemon", ".update_progress", ".profile",
                   "PXMPersistentData/Surface/RirarUdeHostName.dat", "FirmwareExtra/file"]
        run = self.extract({**archives.firmware(), **{name: b"planted" for name in planted}})
        self.assertEqual(run.log[-1], state(8))
        self.assertEqual(sorted(os.listdir(path(box.HOME))),
                         [".update_progress", "Firmware", "PXMPersistentData"])
        self.assertEqual(os.listdir(path(box.HOME + "/PXMPersistentData")), ["DovozUdiZedezod"])


class BrokenArchive(ExtractTestCase):
    def test_no_archive_consumes_a_stale_companion_and_keeps_the_firmware(self):
        write(box.CHECKSUM_FILE, b"d41d8cd98f00b204e9800998ecf8427e  Firmware.tar.xz\n")
        write(box.FIRMWARE_DIR + "/Version.txt", b"1.0\n")
        run = self.extract()
        self.assertEqual(run.log[:2] + run.log[3:], [state(7), step("No firmware"), state(2)])
        self.assertProgress(2)
        self.assertFileBytes(box.FIRMWARE_DIR + "/Version.txt", b"1.0\n")

    def test_archive_without_a_firmware_directory(self):
        write(box.FIRMWARE_DIR + "/Version.txt", b"1.0\n")
        run = self.extract({"Other/Version.txt": b"2.1\n", "Version.txt": b"2.1\n"})
        self.assertFailed(run)
        self.assertIn("Firmware", self.untar_stderr(run))
        self.assertEqual(sorted(os.listdir(path(box.HOME))),
                         [".update_progress", "PXMPersistentData"])

    def test_truncated_archive_leaves_a_partial_tree_but_fails(self):
        archive = path(box.ARCHIVE_FILE)
        archives.build(archive, {**archives.firmware(),
                                 archives.PAYLOAD_MEMBER: archives.incompressible(4 << 20)})
        archives.truncate(archive, os.path.getsize(archive) // 2)
        run = self.extract()
        self.assertTrue(exists(box.FIRMWARE_DIR + "/Version.txt"), "tar never began")
        self.assertFailed(run)
        self.assertRegex(self.untar_stderr(run), r"^untar stderr: \".+\"$")
        self.assertTrue(any(re.match(r"Debug: untar exit code: [1-9]", line) for line in run.log))

    def untar_stderr(self, run):
        """tar's error text, which must stay on its one log line however many it printed."""
        [index] = [i for i, line in enumerate(run.log) if line.startswith("Debug: untar stderr:")]
        self.assertTrue(run.log[index + 1].startswith("Debug: "), "error text split over lines")
        return run.log[index][len("Debug: "):-len(STEP)]

    def test_an_unremovable_old_tree_fails_the_step_though_unpacking_runs(self):
        write(box.FIRMWARE_DIR + "/locked", b"old")
        self.lock(box.FIRMWARE_DIR + "/locked")
        run = self.extract(archives.firmware())
        self.assertIn(step('Remove ExtractPath success? "no"'), run.log)
        self.assertFileBytes(box.FIRMWARE_DIR + "/Version.txt", b"2.1\n")
        self.assertFailed(run)

    def lock(self, absolute):
        """An entry that root cannot remove either: immutable, or else a mount point."""
        if subprocess.run(["chattr", "+i", path(absolute)]).returncode == 0:
            self.addCleanup(subprocess.run, ["chattr", "-i", path(absolute)])
        elif subprocess.run(["mount", "-t", "tmpfs", "none", path(box.FIRMWARE_DIR)]).returncode:
            self.skipTest("neither chattr +i nor a tmpfs mount works here")
        else:
            self.addCleanup(subprocess.run, ["umount", path(box.FIRMWARE_DIR)])


class CommandOutlivingTheWait(ExtractTestCase):
    # Unpacks a little, then goes on writing for ever through helpers of its own, the way tar
    # and its decompressor would on a huge archive.
    STAND_IN_TAR = """#!/bin/sh
printf '%s\\n' "$@" > "$RECORD/arguments"
mkdir -p "$4/Firmware" && echo 2.1 > "$4/Firmware/Version.txt"
(while :; do echo tick >> "$4/Firmware/ticks"; sleep 0.05; done) &
sleep 1000 &
echo $$ $! >> "$RECORD/pids"
wait
"""

    def test_is_stopped_whole_before_the_archive_goes_and_fails(self):
        with tempfile.TemporaryDirectory() as bin_dir:
            with open(os.path.join(bin_dir, "tar"), "w") as f:
                f.write(self.STAND_IN_TAR)
            os.chmod(os.path.join(bin_dir, "tar"), 0o755)
            run = self.extract(archives.firmware(), env={
                "PATH": bin_dir + os.pathsep + os.environ["PATH"], "RECORD": bin_dir})
            with open(os.path.join(bin_dir, "arguments")) as f:
                self.assertEqual(f.read().split(), [
                    "-xJf", path(box.ARCHIVE_FILE), "-C", path(box.HOME), "Firmware"])
            with open(os.path.join(bin_dir, "pids")) as f:
                pids = f.read().split()
        for pid in pids:
            self.assertFalse(os.path.exists(f"/proc/{pid}"), f"process {pid} lives on")
        ticks = os.path.getsize(path(box.FIRMWARE_DIR + "/ticks"))
        time.sleep(0.3)
        self.assertEqual(os.path.getsize(path(box.FIRMWARE_DIR + "/ticks")), ticks)
        self.assertTrue(any(re.fullmatch(r"Debug: untar still running after \d+ ms, stopping it"
                                         + re.escape(STEP), line) for line in run.log))
        self.assertFailed(run)


if __name__ == "__main__":
    unittest.main()

"""The command line, the reboot request and the event log, on the real binary."""

import errno
import os
import re
import shutil
import subprocess
import unittest
from dataclasses import dataclass

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


DIRECTORY = "a directory"


@dataclass
class HardLink:
    to: str
STATE_WRITER = " (void WriteUpdateState(int))"
FLAG_WRITER = " (bool Touch(const QString&))"


def state_line(state):
    return f"Debug: Changed state value to: {state}" + STATE_WRITER


@dataclass
class HomeCase:
    name: str
    option: str
    fill: str  # "blocks": no free block left in the home; "inodes": no free inode either
    before: dict  # laid in the home first: path -> bytes, or DIRECTORY
    stdout: bytes
    after: dict  # path -> bytes, DIRECTORY, or None for nothing there
    lines: list  # of the state and flag writers, in the log or on standard error


UPDATE_FLAG = box.FLAG_FILES["update"]
DSP_FLAG = box.FLAG_FILES["dsp"]
UPDATING = box.STATE["UPDATE_STATE_UPDATING"]
UPDATING_DSP = box.STATE["UPDATE_STATE_UPDATING_DSP"]
EXTRACTING = box.STATE["UPDATE_STATE_EXTRACTING"]
EXTRACTED = box.STATE["UPDATE_STATE_EXTRACTED"]
FAILED = box.STATE["UPDATE_STATE_FAILED"]
NO_SPACE = os.strerror(errno.ENOSPC)
VICTIM = box.HOME + "/victim"  # any other file in the home

HOME_CASES = [
    # The old number's block takes the new, shorter one.
    HomeCase("--updatefirmware on a home without a free block", "--updatefirmware", "blocks",
             {box.PROGRESS_FILE: str(UPDATING_DSP).encode()}, UPDATE_STARTED,
             {box.PROGRESS_FILE: str(UPDATING).encode(), UPDATE_FLAG: b""},
             [state_line(UPDATING)]),
    # An empty progress file has no block to write into.
    HomeCase("--updatedspfirmware on a home without a free block, the progress file empty",
             "--updatedspfirmware", "blocks", {box.PROGRESS_FILE: b"", box.DSP_IMAGE: b"\x01"},
             b"Started DSP firmware update", {box.PROGRESS_FILE: b"", DSP_FLAG: b""},
             [f"Debug: Could not write state value {UPDATING_DSP}: {NO_SPACE}" + STATE_WRITER]),
    # The last run's 8 must not stand while the tree is replaced.
    HomeCase("--extractfirmware on a home without a free block", "--extractfirmware", "blocks",
             {box.PROGRESS_FILE: str(EXTRACTED).encode()}, b"",
             {box.PROGRESS_FILE: str(FAILED).encode()},
             [state_line(EXTRACTING), state_line(FAILED)]),
    HomeCase("--reboot on a home without a free inode, the flag there from before", "--reboot",
             "inodes", {box.FLAG_FILES["reboot"]: b"stale"}, b"",
             {box.FLAG_FILES["reboot"]: b""}, []),
    HomeCase("--updatefirmware on a home without a free inode", "--updatefirmware", "inodes",
             {box.PROGRESS_FILE: str(EXTRACTED).encode()}, UPDATE_STARTED,
             {box.PROGRESS_FILE: str(UPDATING).encode(), UPDATE_FLAG: None},
             [state_line(UPDATING),
              f"Debug: Could not leave the flag {path(UPDATE_FLAG)}: {NO_SPACE}" + FLAG_WRITER]),
    # Written in place, it would be written under the other name as well.
    HomeCase("--updatefirmware on a home without a free block, the progress file a hard link",
             "--updatefirmware", "blocks",
             {VICTIM: str(EXTRACTED).encode(), box.PROGRESS_FILE: HardLink(VICTIM)},
             UPDATE_STARTED, {box.PROGRESS_FILE: str(EXTRACTED).encode(),
                              VICTIM: str(EXTRACTED).encode()},
             [f"Debug: Could not write state value {UPDATING}: {NO_SPACE}" + STATE_WRITER]),
    HomeCase("--updatefirmware with a directory at the progress path", "--updatefirmware", "",
             {box.PROGRESS_FILE: DIRECTORY}, UPDATE_STARTED,
             {box.PROGRESS_FILE: DIRECTORY, UPDATE_FLAG: b""},
             [f"Debug: Could not write state value {UPDATING}: Is a directory" + STATE_WRITER]),
]


def fill(mount_point, inodes):
    """Takes every free block of the file system, and with inodes every free inode too."""
    with open(os.path.join(mount_point, "filler"), "wb") as filler:
        free = os.statvfs(mount_point)
        os.posix_fallocate(filler.fileno(), 0, free.f_bavail * free.f_frsize)
    for number in range(os.statvfs(mount_point).f_favail if inodes else 0):
        os.mknod(os.path.join(mount_point, f"inode-{number}"))


def lay(files):
    for absolute, content in files.items():
        if content == DIRECTORY:
            os.makedirs(path(absolute))
        elif isinstance(content, HardLink):
            os.link(path(content.to), path(absolute))
        else:
            write(absolute, content)


def found(absolute):
    if os.path.isdir(path(absolute)):
        return DIRECTORY
    return read(absolute) if exists(absolute) else None


class AHomeThatCannotTakeTheFiles(BoxTestCase):
    """The progress file shows the state a step reached, on a full home too; the log says what
    was written, and its lines reach standard error when the log cannot grow."""

    def test_states_and_flags(self):
        for case in HOME_CASES:
            with self.subTest(case.name):
                box.reset()
                home_directory = path(box.HOME)
                if case.fill:
                    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m,nr_inodes=64",
                                       "full", home_directory],
                                      stderr=subprocess.DEVNULL).returncode:
                        self.skipTest("cannot mount a small file system here")
                    os.makedirs(path(os.path.dirname(box.LOG_FILE)))
                try:
                    lay(case.before)
                    if case.fill:
                        fill(home_directory, inodes=case.fill == "inodes")
                    run = run_tool(case.option)
                    self.assertEqual(run.stdout, case.stdout)
                    self.assertEqual({absolute: found(absolute) for absolute in case.after},
                                     case.after)
                    on_stderr = [box.strip_timestamp(line)
                                 for line in run.stderr.split(b"\n")[:-1]]
                    self.assertEqual([line for line in run.log + on_stderr
                                      if line.endswith((STATE_WRITER, FLAG_WRITER))], case.lines)
                finally:
                    if case.fill:
                        subprocess.run(["umount", home_directory])


if __name__ == "__main__":
    unittest.main()

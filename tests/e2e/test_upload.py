"""The uploadfirmware step on the real binary: the versions that an uploaded archive, or the
firmware directory extracted from one, carries; and what a hostile one cannot make it do."""

import os
import re
import subprocess
import time
import unittest
from dataclasses import dataclass, field

import archives
import box
import home
from archives import Member
from box import LIMIT, BoxTestCase, path, run_tool

CHECKED = r"^Checked Firmware version in: \d+ ms$"
STOPPED = r"^untar still running after \d+ ms, stopping it$"
SECRET = os.path.join(os.path.dirname(box.ROOT), "secret.txt")  # outside the box
CAP = LIMIT["FIRST_LINE_CAP_BYTES"]
# A stalled check's one wait, with room for a loaded machine: a wait ten times as long fails.
CHECK_TIMEOUT_S = 5 * LIMIT["UPLOAD_CHECK_WAIT_MS"] / 1000
VERSION = archives.VERSION_MEMBER
DSP_VERSION = archives.DSP_VERSION_MEMBER


def report(firmware, dsp):
    return ('{\n    "DSP Firmware Version": "%s",\n    "Firmware Version": "%s"\n}\n'
            % (dsp, firmware)).encode()


def slow_archive(archive):
    """The version's first line lacks its end, and tar reads 64 GiB of zeros after it."""
    return archives.build_slow(archive, {DSP_VERSION: b"R9-7\n", VERSION: b"2."}, zeros_gib=64)


@dataclass
class Upload:
    title: str
    stdout: bytes
    archive: object = None  # members, packed by the real tar; or what puts an entry there
    tree: list = field(default_factory=list)  # an extracted tree, laid out by the real tar
    stopped: int = 0  # reads that the wait ended


OTHER = archives.firmware(b"3.0\n", b"R9-9\n")
TREE = Member(archives.FIRMWARE_MEMBER, "dir", mode=0o755)
UPLOADS = [
    Upload("members packed as ./Firmware/...", report("2.1", "R9-7"),
           {"./" + name: content for name, content in archives.firmware().items()}),
    Upload("a carriage return stays, a second line is not read", report("2.1\\r", "R9-7"),
           archives.firmware(b"2.1\r\n", b"R9-7\nR9-6\n")),
    Upload("a version behind a payload, without a line end; no DSP version", report("3.0", ""),
           {archives.PAYLOAD_MEMBER: bytes(1 << 20), **archives.firmware(b"3.0", None)}),
    Upload("a line cut by 64 GiB of zeros: the wait ends it", report("", "R9-7"), slow_archive,
           stopped=1),
    Upload("a FIFO for the archive is never read", report("", ""), os.mkfifo),
    Upload("an extracted tree answers rather than the archive beside it", report("2.1\\r", ""),
           OTHER, [TREE, Member(VERSION, content=b"2.1\r\nsecond line\n")]),
    Upload("the first line of a file of the tree is cut", report("7" * CAP, ""),
           tree=[TREE, Member(VERSION, content=b"7" * 2 * CAP)]),
    Upload("a version links out of the box, a DSP version is a FIFO", report("", ""), OTHER,
           [TREE, Member(VERSION, "symlink", target=SECRET), Member(DSP_VERSION, "fifo")]),
    Upload("the tree is a link to a directory that holds versions", report("", ""), OTHER,
           [Member("Versions", "dir", mode=0o755),
            Member("Versions/Version.txt", content=b"2.1\n"),
            Member(archives.FIRMWARE_MEMBER, "symlink", target="Versions")]),
]


class UploadCheck(BoxTestCase):
    def test_versions_come_from_the_tree_else_the_archive_and_never_from_outside(self):
        with open(SECRET, "wb") as f:
            f.write(b"secret\n")
        self.addCleanup(os.remove, SECRET)
        for case in UPLOADS:
            with self.subTest(case.title):
                box.reset()
                archive = path(box.ARCHIVE_FILE)
                if callable(case.archive):
                    case.archive(archive)
                elif case.archive:
                    archives.build(archive, case.archive)
                if case.tree:
                    archives.lay_out(path(box.HOME), case.tree)
                entries = home.entries()
                run = run_tool("--uploadfirmware", timeout=CHECK_TIMEOUT_S)
                self.assertEqual(run.stdout, case.stdout)
                log = [box.message(line) for line in run.log]
                self.assertEqual(len([line for line in log if re.match(STOPPED, line)]),
                                 case.stopped)
                self.assertEqual(log[0], "Checking new firmware.")
                self.assertEqual(len(log), 3 + case.stopped)
                self.assertRegex(log[-2], CHECKED)
                self.assertRegex(log[-1], CHECKED)
                self.assertEqual(home.entries(), entries)
                self.assertEqual(tars_reading(archive), [])

    def test_killing_the_tool_ends_its_tar_too(self):
        archive = slow_archive(path(box.ARCHIVE_FILE))
        self.addCleanup(subprocess.run, ["pkill", "-KILL", "-f", archive])
        with box.start_tool("--uploadfirmware") as tool:
            wait_until(lambda: tars_reading(archive), "tar never began")
            tool.kill()
        wait_until(lambda: not tars_reading(archive), "tar lives on")


def tars_reading(archive):
    """The processes whose command line names the archive: the tars of a check."""
    return subprocess.run(["pgrep", "-f", archive], capture_output=True).stdout.split()


def wait_until(condition, failure, timeout=10):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError(failure)
        time.sleep(0.01)


if __name__ == "__main__":
    unittest.main()

"""The uploadfirmware step on the real binary: the versions that an uploaded archive, or the
firmware directory extracted from one, carries; and what a hostile one cannot make it do."""

import os
import random
import re
import signal
import subprocess
import tempfile
import time
import unittest
from dataclasses import dataclass, field
from typing import Callable

import archives
import box
import home
from archives import Member
from box import BoxTestCase, path, run_tool

CHECKED = (r"^Debug: Checked Firmware version in: \d+ ms "
           r"\(QString cDovozUdiZedezod::GetNewFirmwareVersion\(const QString&\)\)$")
STOPPED = (r"^Debug: untar still running after \d+ ms, stopping it "
           r"\(QString cDovozUdiZedezod::GetNewFirmwareVersion\(const QString&\)\)$")
NOT_IN_ARCHIVE = ".*R9_CoreRack_M4_Version: Not found in archive.*"
SECRET = os.path.join(os.path.dirname(box.ROOT), "secret.txt")  # outside the box
LONG_LINE = b"7" * (1 << 20)


def report(firmware, dsp):
    return ('{\n    "DSP Firmware Version": "%s",\n    "Firmware Version": "%s"\n}\n'
            % (dsp, firmware)).encode()


@dataclass
class Upload:
    title: str
    stdout: bytes
    archive: dict = field(default_factory=dict)  # members, unpacked by the real tar
    tree: list = field(default_factory=list)  # entries of an extracted tree, laid out by hand
    home: set = field(default_factory=set)  # the home's entries afterwards
    # A pattern for what tar said. Given each member in both forms packers store, tar names the
    # one it did not find if it reaches the archive's end, cut off wherever it is stopped.
    stderr: str = ".*"


ARCHIVE_ONLY = {home.ARCHIVE, home.PERSISTENT_DATA}
TREE_ONLY = {home.FIRMWARE, home.PERSISTENT_DATA}
BOTH = {home.FIRMWARE, home.ARCHIVE, home.PERSISTENT_DATA}
PAYLOAD = {archives.PAYLOAD_MEMBER: random.Random(1).randbytes(1 << 20)}
OTHER = archives.firmware(b"3.0\n", b"R9-9\n")
TREE = [Member(archives.FIRMWARE_MEMBER, "dir", mode=0o755)]
UPLOADS = [
    Upload("both members, read out of the archive", report("2.1", "R9-7"), archives.firmware(),
           home=ARCHIVE_ONLY),
    Upload("both members, packed as tar -C dir -cJf Firmware.tar.xz . stores them",
           report("2.1", "R9-7"),
           {"./" + name: content for name, content in archives.firmware().items()},
           home=ARCHIVE_ONLY),
    Upload("a carriage return stays, a second line is not read", report("2.1\\r", "R9-7"),
           archives.firmware(b"2.1\r\n", b"R9-7\nR9-6\n"), home=ARCHIVE_ONLY),
    Upload("members behind a payload, without line ends", report("3.0", ""),
           {**PAYLOAD, **archives.firmware(b"3.0", b"")}, home=ARCHIVE_ONLY),
    Upload("an archive without the DSP member", report("2.1", ""),
           archives.firmware(dsp_version=None), home=ARCHIVE_ONLY, stderr=NOT_IN_ARCHIVE),
    Upload("an extracted tree answers rather than the archive beside it", report("2.1\\r", ""),
           OTHER, [*TREE, Member(archives.VERSION_MEMBER, content=b"2.1\r\nsecond line\n")],
           home=BOTH),
    Upload("an extracted tree alone", report("2.1", "R9-7"),
           tree=[*TREE, Member(archives.VERSION_MEMBER, content=b"2.1\n"),
                 Member(archives.DSP_VERSION_MEMBER, content=b"R9-7")], home=TREE_ONLY),
    Upload("neither archive nor tree", report("", ""), home={home.PERSISTENT_DATA}),
    Upload("a version in the tree that links out of the box", report("", "R9-7"), OTHER,
           [*TREE, Member(archives.VERSION_MEMBER, "symlink", target=SECRET),
            Member(archives.DSP_VERSION_MEMBER, content=b"R9-7\n")], home=BOTH),
    Upload("a DSP version in the tree that links to the root file system", report("2.1", ""),
           OTHER, [*TREE, Member(archives.VERSION_MEMBER, content=b"2.1\n"),
                   Member(archives.DSP_VERSION_MEMBER, "symlink", target="/etc/hostname")],
           home=BOTH),
    Upload("the tree is a link to a directory that holds versions", report("", ""), OTHER,
           [Member("Versions", "dir", mode=0o755),
            Member("Versions/Version.txt", content=b"2.1\n"),
            Member(archives.FIRMWARE_MEMBER, "symlink", target="Versions")],
           home={*BOTH, "Versions"}),
    Upload("a FIFO in the tree", report("", "R9-7"), OTHER,
           [*TREE, Member(archives.VERSION_MEMBER, "fifo"),
            Member(archives.DSP_VERSION_MEMBER, content=b"R9-7\n")], home=BOTH),
    Upload("a first line of 1 MiB in the tree is cut at 4 KiB", report("7" * 4096, ""),
           tree=[*TREE, Member(archives.VERSION_MEMBER, content=LONG_LINE)], home=TREE_ONLY),
    Upload("a first line of 1 MiB in the archive is cut at 4 KiB", report("7" * 4096, "R9-7"),
           archives.firmware(LONG_LINE), home=ARCHIVE_ONLY),
]


class UploadCheck(BoxTestCase):
    def check(self, env=None):
        run = run_tool("--uploadfirmware", env=env, timeout=60)
        self.assertEqual(run.log[0],
                         "Debug: Checking new firmware. (void cDovozUdiZedezod::CheckNewFirmware())")
        self.assertRegex(run.log[-1], CHECKED)
        self.assertFalse(box.exists(box.PROGRESS_FILE))
        return run

    def test_versions_come_from_the_directory_else_the_archive_and_never_from_outside(self):
        with open(SECRET, "wb") as f:
            f.write(b"secret\n")
        self.addCleanup(os.remove, SECRET)
        for case in UPLOADS:
            with self.subTest(case.title):
                box.reset()
                if case.archive:
                    archives.build(path(box.ARCHIVE_FILE), case.archive)
                if case.tree:
                    with tempfile.NamedTemporaryFile(suffix=".tar.xz") as tree:
                        archives.build_by_hand(tree.name, case.tree)
                        subprocess.run(["tar", "-xJf", tree.name, "-C", path(box.HOME)], check=True)
                run = self.check()
                self.assertEqual(len(run.log), 3)
                self.assertRegex(run.log[1], CHECKED)
                self.assertEqual(run.stdout, case.stdout)
                self.assertRegex(run.stderr.decode(), "^(?s:" + case.stderr + ")$")
                self.assertEqual(home.entries(), case.home)

    def test_an_archive_that_never_delivers_ends_within_the_wait(self):
        @dataclass
        class Case:
            title: str
            place: Callable  # puts it at the archive path
            stopped: int  # how many reads the wait ended

        cases = [
            Case("a FIFO", os.mkfifo, stopped=0),
            Case("a directory", os.mkdir, stopped=0),
            Case("64 GiB of zeros in front of the members",
                 lambda archive: archives.build_slow(archive, 64), stopped=2),
        ]
        for case in cases:
            with self.subTest(case.title):
                box.reset()
                archive = path(box.ARCHIVE_FILE)
                case.place(archive)
                run = self.check()
                self.assertEqual(run.stdout, report("", ""))
                self.assertEqual(len([line for line in run.log if re.match(STOPPED, line)]),
                                 case.stopped)
                self.assertEqual(processes_reading(archive), [])

    def test_killing_the_tool_ends_its_tar_too(self):
        archive = archives.build_slow(path(box.ARCHIVE_FILE), 64)
        for sig in (signal.SIGKILL, signal.SIGTERM):
            with self.subTest(signal=sig.name):
                tool = subprocess.Popen(box.EMULATOR + [box.TOOL, "--uploadfirmware"],
                                        stdout=subprocess.DEVNULL)
                deadline = time.monotonic() + 10
                while not processes_reading(archive):
                    self.assertLess(time.monotonic(), deadline, "tar never began")
                    time.sleep(0.01)
                tool.send_signal(sig)
                tool.wait()
                deadline = time.monotonic() + 5
                while processes_reading(archive) and time.monotonic() < deadline:
                    time.sleep(0.05)
                self.assertEqual(processes_reading(archive), [])


def processes_reading(archive):
    """Processes that name the archive on their command line or hold it open."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                named = archive.encode() in f.read().split(b"\0")
            fds = os.listdir(f"/proc/{pid}/fd")
            holding = any(os.readlink(f"/proc/{pid}/fd/{fd}") == archive for fd in fds)
        except OSError:
            continue  # ended meanwhile, or not ours to look at
        if named or holding:
            found.append(pid)
    return found


if __name__ == "__main__":
    unittest.main()

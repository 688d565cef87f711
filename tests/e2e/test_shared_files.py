"""Steps that share the update files: side by side, while another program holds their lock, and
against links planted at their fixed paths."""

import fcntl
import hashlib
import json
import os
import tempfile
import time
import unittest
from dataclasses import dataclass

import archives
import box
from box import BoxTestCase, files_below, path, write
from firmware_server import ARCHIVE_PATH, CHECKSUM_PATH, FirmwareServer, Reply, trickled

LOCK_WAIT_MS = box.LIMIT["UPDATE_FILES_LOCK_WAIT_MS"]
EXTRACTED = box.STATE["UPDATE_STATE_EXTRACTED"]
FAILED = box.STATE["UPDATE_STATE_FAILED"]
# Enough members that unpacking them takes about a second.
OLD_TREE = {f"Firmware/lib/{index:04}.so": b"old %04d\n" % index * 400 for index in range(3000)}
NEW_PAIR = (b"new archive " * 1000,
            hashlib.md5(b"new archive " * 1000).hexdigest().encode() + b"  Firmware.tar.xz\n")
VICTIM = os.path.join(os.path.dirname(box.ROOT), "victim-of-a-link")


def printed(placed):
    return (json.dumps({"Checksum Download Error": 0, "Checksum Download Successful": placed,
                        "Firmware Download Error": 0, "Firmware Download Successful": placed},
                       indent=4, sort_keys=True) + "\n").encode()


class SharedFilesTestCase(BoxTestCase):
    """The server offers a new pair; lay_out() leaves the old one in the home."""

    @classmethod
    def setUpClass(cls):
        with tempfile.TemporaryDirectory() as work:
            archive = archives.build(os.path.join(work, "old.tar.xz"), OLD_TREE)
            with open(archive, "rb") as f:
                cls.old_pair = (f.read(), archives.md5_companion(archive))

    def setUp(self):
        super().setUp()
        self.server = FirmwareServer(int(box.FIRMWARE_SERVER.rpartition(":")[2])).start()
        self.addCleanup(self.server.stop)
        self.server.route(CHECKSUM_PATH, NEW_PAIR[1])

    def lay_out(self, archive_reply=trickled(NEW_PAIR[0], pieces=1, pause=0)):
        box.reset()
        self.server.answer(ARCHIVE_PATH, archive_reply)
        write(box.ARCHIVE_FILE, self.old_pair[0])
        write(box.CHECKSUM_FILE, self.old_pair[1])

    def assertPair(self, pair):
        self.assertFileBytes(box.ARCHIVE_FILE, pair[0])
        self.assertFileBytes(box.CHECKSUM_FILE, pair[1])


@dataclass
class SideBySide:
    title: str
    first: str  # the step started first
    second: str
    cue: str  # the first step's log line after which the second one starts
    archive: Reply  # how the server sends the new archive


SIDE_BY_SIDE = [
    SideBySide("a download started during an extraction puts its pair in place after it",
               "--extractfirmware", "--downloadfirmware", "Extracting with the following command",
               trickled(NEW_PAIR[0], pieces=1, pause=0)),
    SideBySide("an extraction started during a download's transfer waits for nothing",
               "--downloadfirmware", "--extractfirmware", "getting",
               trickled(NEW_PAIR[0], pieces=6, pause=0.5)),
]


class SideBySideSteps(SharedFilesTestCase):
    def test_the_extraction_takes_the_old_pair_and_the_download_leaves_the_new_one(self):
        for case in SIDE_BY_SIDE:
            with self.subTest(case.title):
                self.lay_out(case.archive)
                log_start = len(box.log_bytes())
                first = box.start_tool(case.first)
                box.wait_for_line(case.cue, log_start)
                second = box.start_tool(case.second)
                runs = {case.first: box.finish(first, log_start),
                        case.second: box.finish(second, log_start)}

                self.assertEqual(runs["--downloadfirmware"].stdout, printed(True))
                self.assertPair(NEW_PAIR)
                self.assertProgress(EXTRACTED)
                self.assertEqual(files_below(box.FIRMWARE_DIR), OLD_TREE)


@dataclass
class Blocked:
    """A step run while another program holds the update files lock for longer than a step
    waits for it. The progress file holds EXTRACTED before."""
    option: str
    waits: bool  # for the whole wait; the others never ask for the lock
    stdout: bytes
    lock_lines: list  # what the step logs about the lock
    progress: int


BLOCKED = [
    Blocked("--downloadfirmware", True, printed(False),
            [f"Could not lock the update files: still in use after {LOCK_WAIT_MS} ms; the "
             "previous files stay"], EXTRACTED),
    Blocked("--extractfirmware", True, b"",
            [f"Could not lock the update files: still in use after {LOCK_WAIT_MS} ms; the "
             "archive stays"], FAILED),
    Blocked("--getversions", False,
            b'{\n    "DSP Firmware Version": "",\n    "Firmware Version": "Unknown"\n}\n', [],
            EXTRACTED),
    Blocked("--uploadfirmware", False,
            b'{\n    "DSP Firmware Version": "R9-7",\n    "Firmware Version": "1.0"\n}\n', [],
            EXTRACTED),
    Blocked("--updatefirmware", False, b"Started firmware update", [],
            box.STATE["UPDATE_STATE_UPDATING"]),
    Blocked("--updatedspfirmware", False, b"Started DSP firmware update", [],
            box.STATE["UPDATE_STATE_UPDATING_DSP"]),
    Blocked("--reboot", False, b"", [], EXTRACTED),
    Blocked("--blockingdspupdate", False, b"", [], EXTRACTED),
]


class LockHeldElsewhere(SharedFilesTestCase):
    def test_the_steps_that_change_the_files_wait_then_change_nothing_the_others_never_wait(self):
        tree = archives.firmware(version=b"1.0\n", **{"R9_CoreRack_M4.bin": b"dsp image"})
        for case in BLOCKED:
            with self.subTest(case.option):
                self.lay_out()
                write(box.PROGRESS_FILE, str(EXTRACTED).encode())
                for name, content in tree.items():
                    write(box.HOME + "/" + name, content)
                home = os.open(path(box.HOME), os.O_RDONLY | os.O_DIRECTORY)
                fcntl.flock(home, fcntl.LOCK_EX)
                started = time.monotonic()
                run = box.run_tool(case.option)
                took = time.monotonic() - started
                os.close(home)

                self.assertEqual(run.stdout, case.stdout)
                self.assertEqual([line.removeprefix("Debug: ").rpartition(" (")[0]
                                  for line in run.log if "update files" in line], case.lock_lines)
                self.assertEqual(took >= LOCK_WAIT_MS / 1000, case.waits)
                self.assertLess(took, LOCK_WAIT_MS / 1000 + 5)
                self.assertProgress(case.progress)
                self.assertPair(self.old_pair)
                self.assertEqual(files_below(box.FIRMWARE_DIR), tree)


@dataclass
class Planted:
    """A link to a file outside the box, planted at a fixed path that a step run by root
    writes."""
    option: str
    at: str
    content: bytes  # what the path holds afterwards, a regular file; None: nothing


PLANTED = [
    Planted("--reboot", box.FLAG_FILES["reboot"], b""),
    Planted("--updatefirmware", box.PROGRESS_FILE, str(box.STATE["UPDATE_STATE_UPDATING"]).encode()),
    Planted("--updatefirmware", box.FLAG_FILES["update"], b""),
    Planted("--updatedspfirmware", box.FLAG_FILES["dsp"], b""),
    Planted("--extractfirmware", box.FLAG_FILES["relaunch_daemon"], b""),
    Planted("--downloadfirmware", box.ARCHIVE_FILE, NEW_PAIR[0]),
    Planted("--downloadfirmware", box.CHECKSUM_FILE, NEW_PAIR[1]),
    Planted("--downloadfirmware", box.PARTIAL_ARCHIVE_FILE, None),
]


class PlantedLinks(SharedFilesTestCase):
    def test_a_link_at_a_fixed_path_is_replaced_and_nothing_outside_the_home_changes(self):
        tree = archives.firmware(UpdateDaemon=b"daemon", UpdateDaemonVersion=b"2\n",
                                 **{"R9_CoreRack_M4.bin": b"dsp image"})
        for case in PLANTED:
            with self.subTest(case.option, at=case.at):
                self.lay_out()
                archives.build(path(box.ARCHIVE_FILE), tree)
                write(box.DSP_IMAGE, b"dsp image")
                with open(VICTIM, "wb") as f:
                    f.write(b"not for the box\n")
                if os.path.lexists(path(case.at)):
                    os.remove(path(case.at))
                os.symlink(VICTIM, path(case.at))

                box.run_tool(case.option)

                with open(VICTIM, "rb") as f:
                    self.assertEqual(f.read(), b"not for the box\n")
                self.assertFalse(os.path.islink(path(case.at)))
                if case.content is None:
                    self.assertFalse(os.path.lexists(path(case.at)))
                else:
                    self.assertFileBytes(case.at, case.content)


if __name__ == "__main__":
    unittest.main()

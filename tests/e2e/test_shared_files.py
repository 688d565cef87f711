"""Steps that share the update files: side by side, while another program holds their lock, and
against links planted at their fixed paths."""

import fcntl
import hashlib
import json
import os
import tempfile
import time
import unittest

import archives
import box
from box import BoxTestCase, files_below, path, write
from firmware_server import ARCHIVE_PATH, CHECKSUM_PATH, FirmwareServer, trickled

LOCK_WAIT_S = box.LIMIT["UPDATE_FILES_LOCK_WAIT_MS"] / 1000
EXTRACTED = box.STATE["UPDATE_STATE_EXTRACTED"]
# Enough members that unpacking them takes a good part of a second.
OLD_TREE = {f"Firmware/lib/{index:04}.so": b"old %04d\n" % index * 400 for index in range(3000)}
NEW_ARCHIVE = b"new archive " * 1000
NEW_PAIR = (NEW_ARCHIVE, hashlib.md5(NEW_ARCHIVE).hexdigest().encode() + b"  Firmware.tar.xz\n")
VICTIM = os.path.join(os.path.dirname(box.ROOT), "victim-of-a-link")


def printed(placed):
    return (json.dumps({"Checksum Download Error": 0, "Checksum Download Successful": placed,
                        "Firmware Download Error": 0, "Firmware Download Successful": placed},
                       indent=4, sort_keys=True) + "\n").encode()


class SharedFiles(BoxTestCase):
    """The home holds the old pair and the old tree's files; the server offers the new pair."""

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

    def lay_out(self, pieces=1, pause=0):
        box.reset()
        self.server.answer(ARCHIVE_PATH, trickled(NEW_PAIR[0], pieces=pieces, pause=pause))
        write(box.ARCHIVE_FILE, self.old_pair[0])
        write(box.CHECKSUM_FILE, self.old_pair[1])

    def assertPair(self, pair):
        self.assertFileBytes(box.ARCHIVE_FILE, pair[0])
        self.assertFileBytes(box.CHECKSUM_FILE, pair[1])

    def test_side_by_side_the_extraction_takes_the_old_pair_the_download_leaves_the_new(self):
        # (first step, the line of it after which the second starts, the archive's trickle)
        for first, cue, pieces, pause in (
                ("--extractfirmware", "Extracting with the following command", 1, 0),
                ("--downloadfirmware", "getting", 6, 0.3)):
            with self.subTest(first):
                self.lay_out(pieces, pause)
                second = ({"--extractfirmware", "--downloadfirmware"} - {first}).pop()
                log_start = len(box.log_bytes())
                tools = {first: box.start_tool(first)}
                box.wait_for_line(cue, log_start)
                tools[second] = box.start_tool(second)
                runs = {option: box.finish(tool, log_start) for option, tool in tools.items()}
                self.assertEqual(runs["--downloadfirmware"].stdout, printed(True))
                self.assertPair(NEW_PAIR)
                self.assertProgress(EXTRACTED)
                self.assertEqual(files_below(box.FIRMWARE_DIR), OLD_TREE)

    def test_while_another_program_holds_the_lock(self):
        """The steps that change the update files wait for it, then change nothing; the others
        never wait. The progress file holds 8 before."""
        tree = archives.firmware(version=b"1.0\n")
        gave_up = (f"Could not lock the update files: still in use after "
                   f"{box.LIMIT['UPDATE_FILES_LOCK_WAIT_MS']} ms; the ")
        # (option, it waits, what it prints, its line about the lock, the progress afterwards)
        for option, waits, stdout, lock_line, progress in [
                ("--downloadfirmware", True, printed(False), gave_up + "previous files stay",
                 EXTRACTED),
                ("--extractfirmware", True, b"", gave_up + "archive stays",
                 box.STATE["UPDATE_STATE_FAILED"]),
                ("--uploadfirmware", False,
                 b'{\n    "DSP Firmware Version": "R9-7",\n    "Firmware Version": "1.0"\n}\n',
                 None, EXTRACTED),
                ("--updatefirmware", False, b"Started firmware update", None,
                 box.STATE["UPDATE_STATE_UPDATING"])]:
            with self.subTest(option):
                self.lay_out()
                write(box.PROGRESS_FILE, str(EXTRACTED).encode())
                for name, content in tree.items():
                    write(box.HOME + "/" + name, content)
                home = os.open(path(box.HOME), os.O_RDONLY | os.O_DIRECTORY)
                fcntl.flock(home, fcntl.LOCK_EX)
                started = time.monotonic()
                run = box.run_tool(option)
                took = time.monotonic() - started
                os.close(home)

                self.assertEqual(run.stdout, stdout)
                self.assertEqual([box.message(line) for line in run.log if "update files" in line],
                                 [lock_line] if lock_line else [])
                self.assertEqual(took >= LOCK_WAIT_S, waits)
                self.assertLess(took, LOCK_WAIT_S + 5)
                self.assertProgress(progress)
                self.assertPair(self.old_pair)
                self.assertEqual(files_below(box.FIRMWARE_DIR), tree)

    def test_a_link_planted_at_a_fixed_path_is_replaced_and_nothing_outside_changes(self):
        # (option, the path a link is planted at, what it holds afterwards; None: nothing): the
        # progress file, a flag, a file of the pair and the partial body, each written its own way
        for option, at, content in [
                ("--updatefirmware", box.PROGRESS_FILE,
                 str(box.STATE["UPDATE_STATE_UPDATING"]).encode()),
                ("--updatedspfirmware", box.FLAG_FILES["dsp"], b""),
                ("--downloadfirmware", box.ARCHIVE_FILE, NEW_PAIR[0]),
                ("--downloadfirmware", box.PARTIAL_ARCHIVE_FILE, None)]:
            with self.subTest(option, at=at):
                self.lay_out()
                write(box.DSP_IMAGE, b"dsp image")
                with open(VICTIM, "wb") as f:
                    f.write(b"not for the box\n")
                if os.path.lexists(path(at)):
                    os.remove(path(at))
                os.symlink(VICTIM, path(at))

                box.run_tool(option)

                with open(VICTIM, "rb") as f:
                    self.assertEqual(f.read(), b"not for the box\n")
                self.assertFalse(os.path.islink(path(at)))
                if content is None:
                    self.assertFalse(os.path.lexists(path(at)))
                else:
                    self.assertFileBytes(at, content)


if __name__ == "__main__":
    unittest.main()

"""The download step on the real binary, against a real HTTP server on loopback."""

import hashlib
import json
import os
import random
import resource
import signal
import unittest

import box
from box import BoxTestCase, path, run_tool, write
from firmware_server import ARCHIVE_PATH, CHECKSUM_PATH, FirmwareServer

ARCHIVE = random.Random(6).randbytes(6 << 20)
CHECKSUM = hashlib.md5(ARCHIVE).hexdigest().encode() + b"  Firmware.tar.xz\n"
OLD = {box.ARCHIVE_FILE: b"previous archive", box.CHECKSUM_FILE: b"previous checksum"}
NEW_CHECKSUM_ONLY = {**OLD, box.CHECKSUM_FILE: CHECKSUM}
GOT_CHECKSUM = {"Checksum": (0, True)}
BOTH_GOOD = (b'{\n    "Checksum Download Error": 0,\n    "Checksum Download Successful": true,\n'
             b'    "Firmware Download Error": 0,\n    "Firmware Download Successful": true\n}\n')


def printed(**outcomes):
    """The standard output for outcomes such as Firmware=(203, False)."""
    return (json.dumps({f"{name} Download {key}": value for name, (error, done) in outcomes.items()
                        for key, value in (("Error", error), ("Successful", done))},
                       indent=4, sort_keys=True) + "\n").encode()


def logged(text, function):
    return f"Debug: {text} (void cDovozUdiZedezod::{function}())"


class Download(BoxTestCase):
    def setUp(self):
        super().setUp()
        self.server = FirmwareServer(int(box.FIRMWARE_SERVER.rpartition(":")[2])).start()
        self.addCleanup(self.server.stop)
        for name, content in OLD.items():
            write(name, content)

    def download(self, archive=None, checksum=None, **run):
        self.server.route(ARCHIVE_PATH, **{"body": ARCHIVE, **(archive or {})})
        self.server.route(CHECKSUM_PATH, **{"body": CHECKSUM, **(checksum or {})})
        return run_tool("--downloadfirmware", **run)

    def assertHomeHolds(self, files):
        """Exactly these files beside the log directory: no temporary file left behind."""
        names = ["PXMPersistentData"] + [os.path.basename(name) for name in files]
        self.assertEqual(sorted(os.listdir(path(box.HOME))), sorted(names))
        for name, content in files.items():
            self.assertFileBytes(name, content)

    def test_good_transfers_in_either_order_and_what_they_ask_for(self):
        archive = ("FirmwareDownloadReply", "Firmware download", len(ARCHIVE))
        cases = [  # late reply, checksum body, InitrdVersion.txt, its part in the User-Agent
            ("archive", CHECKSUM, None, b"Unknown"), ("checksum", b"", b"1.2.3\n", b"1.2.3"),
            ("archive", CHECKSUM, b"1.2.3\r\nsecond line\n", b"1.2.3")]
        for late, checksum, version, shown in cases:
            with self.subTest(late=late, checksum=checksum, version=version):
                if version:
                    write("/etc/InitrdVersion.txt", version)
                self.server.requests.clear()
                reply = ("FirmwareChecksumDownloadReply", "Firmware checksum download",
                         len(checksum))
                order = (reply, archive) if late == "archive" else (archive, reply)
                faults = {"archive": {}, "checksum": {"body": checksum}}
                faults[late]["delay"] = 0.5
                run = self.download(**faults)
                self.assertEqual(run.stdout, BOTH_GOOD)
                self.assertHomeHolds({box.ARCHIVE_FILE: ARCHIVE, box.CHECKSUM_FILE: checksum})
                self.assertEqual(run.log, [
                    logged(f'getting QUrl("http://{box.FIRMWARE_SERVER}{served}")', function)
                    for served, function in ((ARCHIVE_PATH, "DownloadFirmware"),
                                             (CHECKSUM_PATH, "DownloadFirmwareChecksum"))
                ] + [line for handler, what, size in order
                     for line in (logged(f"{what} reply received", handler),
                                  logged(f"Wrote {size} bytes", handler))
                     ] + [logged("Got both", order[1][0])])
                for head, served in zip(sorted(self.server.requests), (ARCHIVE_PATH, CHECKSUM_PATH),
                                        strict=True):
                    self.assertTrue(head.startswith(f"GET {served} HTTP/1.1\r\n".encode()))
                    self.assertIn(f"\r\nHost: {box.FIRMWARE_SERVER}\r\n".encode(), head)
                    # Another header follows: the value did not end the head early.
                    self.assertRegex(head, rb"\r\nUser-Agent: Quorvane PXM RirarUde "
                                     + shown + rb"\r\n[\w-]+: ")

    def test_failed_transfers_keep_the_old_files(self):
        late = {"delay": 1}
        cases = [  # archive fault, checksum fault, stdout, files left
            ({"status": 404}, late, printed(Firmware=(203, False)), OLD),
            ({"status": 301}, late, printed(Firmware=(299, False)), OLD),
            ({"close_after": 100000}, late, printed(Firmware=(2, False)), OLD),
            ({"status": 500, "delay": 0.5}, None, printed(Firmware=(401, False), **GOT_CHECKSUM),
             NEW_CHECKSUM_ONLY),
            ({"stall_after": 100000}, None, printed(Firmware=(5, False), **GOT_CHECKSUM),
             NEW_CHECKSUM_ONLY),
            (late, {"status": 404}, printed(Checksum=(203, False)), OLD),
        ]
        for archive, checksum, stdout, files in cases:
            with self.subTest(archive=archive, checksum=checksum):
                write(box.CHECKSUM_FILE, OLD[box.CHECKSUM_FILE])
                run = self.download(archive, checksum, timeout=60)
                self.assertEqual(run.stdout, stdout)
                self.assertHomeHolds(files)
                self.assertFalse([line for line in run.log if "Got both" in line])

    def test_full_disk_keeps_the_old_archive_and_reports_false(self):
        def full_disk():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (256 << 10, 256 << 10))
        run = self.download(preexec_fn=full_disk)
        self.assertEqual(run.stdout, printed(Firmware=(0, False), **GOT_CHECKSUM))
        self.assertHomeHolds(NEW_CHECKSUM_ONLY)
        self.assertIn(logged(f"Wrote {256 << 10} bytes", "FirmwareDownloadReply"), run.log)
        self.assertEqual(len([line for line in run.log if "Got both" in line]), 1)


if __name__ == "__main__":
    unittest.main()

"""The download step on the real binary, against a real HTTP server on loopback."""

import hashlib
import json
import os
import resource
import signal

import box
from box import BoxTestCase, path, run_tool, write
from firmware_server import ARCHIVE_PATH, CHECKSUM_PATH, FirmwareServer, large_body

ARCHIVE = large_body(6 << 20)
CHECKSUM = hashlib.md5(ARCHIVE).hexdigest().encode() + b"  Firmware.tar.xz\n"
OLD = {box.ARCHIVE_FILE: b"previous archive", box.CHECKSUM_FILE: b"previous checksum"}
NEW = {box.ARCHIVE_FILE: ARCHIVE, box.CHECKSUM_FILE: CHECKSUM}
BOTH_GOOD = (b'{\n    "Checksum Download Error": 0,\n    "Checksum Download Successful": true,\n'
             b'    "Firmware Download Error": 0,\n    "Firmware Download Successful": true\n}\n')


def printed(firmware=None, checksum=None):
    members = {}
    for name, outcome in (("Firmware", firmware), ("Checksum", checksum)):
        if outcome:
            members[f"{name} Download Error"], members[f"{name} Download Successful"] = outcome
    return (json.dumps(members, indent=4, sort_keys=True) + "\n").encode()


def logged(text, function):
    return f"Debug: {text} (void cDovozUdiZedezod::{function}())"


def full_disk_at(size):
    def limit():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (size, size))
    return limit


class Download(BoxTestCase):
    def setUp(self):
        super().setUp()
        self.server = FirmwareServer(int(box.FIRMWARE_SERVER.rpartition(":")[2])).start()
        self.addCleanup(self.server.stop)
        for name, content in OLD.items():
            write(name, content)

    def serve(self, archive=None, checksum=None):
        self.server.route(ARCHIVE_PATH, **{"body": ARCHIVE, **(archive or {})})
        self.server.route(CHECKSUM_PATH, **{"body": CHECKSUM, **(checksum or {})})

    def assertHomeHolds(self, files):
        """Exactly these files beside the log directory: no temporary file left behind."""
        names = ["PXMPersistentData"] + [os.path.basename(name) for name in files]
        self.assertEqual(sorted(os.listdir(path(box.HOME))), sorted(names))
        for name, content in files.items():
            self.assertFileBytes(name, content)


class GoodTransfers(Download):
    def test_either_order_replaces_both_files_and_prints_once(self):
        archive = ("FirmwareDownloadReply", "Firmware download", len(ARCHIVE))
        checksum = ("FirmwareChecksumDownloadReply", "Firmware checksum download", len(CHECKSUM))
        for late, order in (("archive", (checksum, archive)), ("checksum", (archive, checksum))):
            with self.subTest(late=late):
                self.serve(**{late: {"delay": 0.5}})
                run = run_tool("--downloadfirmware")
                self.assertEqual(run.stdout, BOTH_GOOD)
                self.assertHomeHolds(NEW)
                self.assertEqual(run.log[2:], [
                    line for handler, what, size in order
                    for line in (logged(f"{what} reply received", handler),
                                 logged(f"Wrote {size} bytes", handler))
                ] + [logged("Got both", order[1][0])])

    def test_request_paths_host_and_one_line_user_agent(self):
        for version, shown in ((None, b"Unknown"), (b"1.2.3\n", b"1.2.3"),
                               (b"1.2.3\r\n", b"1.2.3")):
            with self.subTest(version=version):
                if version:
                    write("/etc/InitrdVersion.txt", version)
                self.server.requests.clear()
                self.serve()
                run = run_tool("--downloadfirmware")
                self.assertEqual(run.log[0], logged(
                    f'getting QUrl("http://{box.FIRMWARE_SERVER}{ARCHIVE_PATH}")',
                    "DownloadFirmware"))
                heads = sorted(request.head for request in self.server.requests)
                for head, served in zip(heads, (ARCHIVE_PATH, CHECKSUM_PATH), strict=True):
                    self.assertTrue(head.startswith(f"GET {served} HTTP/1.1\r\n".encode()))
                    self.assertIn(f"\r\nHost: {box.FIRMWARE_SERVER}\r\n".encode(), head)
                    # Another header follows: the value did not end the head early.
                    self.assertRegex(head, rb"\r\nUser-Agent: Quorvane PXM RirarUde "
                                     + shown + rb"\r\n[\w-]+: ")

    def test_slow_trickle_completes_and_empty_body_empties_the_target(self):
        # Longer in all than the test build's 3 s stall limit, never silent that long.
        self.serve(archive={"body": ARCHIVE[:4096], "trickle": (1024, 1.2)},
                   checksum={"body": b""})
        run = run_tool("--downloadfirmware")
        self.assertEqual(run.stdout, BOTH_GOOD)
        self.assertHomeHolds({box.ARCHIVE_FILE: ARCHIVE[:4096], box.CHECKSUM_FILE: b""})
        self.assertIn(logged("Wrote 0 bytes", "FirmwareChecksumDownloadReply"), run.log)


class FailedTransfers(Download):
    def test_archive_failing_first_keeps_old_files_and_prints_its_members_only(self):
        for fault, code in (({"status": 404}, 203), ({"status": 301}, 299),
                            ({"close_after": 100000}, 2)):
            with self.subTest(fault=fault):
                self.serve(archive=fault, checksum={"delay": 1})
                run = run_tool("--downloadfirmware")
                self.assertEqual(run.stdout, printed(firmware=(code, False)))
                self.assertHomeHolds(OLD)

    def test_archive_failing_after_good_checksum_prints_all_four_members(self):
        for fault, code in (({"status": 500, "delay": 0.5}, 401), ({"stall_after": 100000}, 5)):
            with self.subTest(fault=fault):
                write(box.CHECKSUM_FILE, OLD[box.CHECKSUM_FILE])
                self.serve(archive=fault)
                run = run_tool("--downloadfirmware", timeout=60)
                self.assertEqual(run.stdout, printed(firmware=(code, False), checksum=(0, True)))
                self.assertHomeHolds({**NEW, box.ARCHIVE_FILE: OLD[box.ARCHIVE_FILE]})
                self.assertFalse([line for line in run.log if "Got both" in line])

    def test_checksum_not_found_page_is_not_written(self):
        os.remove(path(box.CHECKSUM_FILE))
        self.serve(archive={"delay": 1}, checksum={"status": 404})
        run = run_tool("--downloadfirmware")
        self.assertEqual(run.stdout, printed(checksum=(203, False)))
        self.assertHomeHolds({box.ARCHIVE_FILE: OLD[box.ARCHIVE_FILE]})

    def test_full_disk_keeps_the_old_archive_and_reports_false(self):
        self.serve()
        run = run_tool("--downloadfirmware", preexec_fn=full_disk_at(256 << 10))
        self.assertEqual(run.stdout, printed(firmware=(0, False), checksum=(0, True)))
        self.assertHomeHolds({**NEW, box.ARCHIVE_FILE: OLD[box.ARCHIVE_FILE]})
        self.assertIn(logged(f"Wrote {256 << 10} bytes", "FirmwareDownloadReply"), run.log)
        self.assertEqual(len([line for line in run.log if "Got both" in line]), 1)


if __name__ == "__main__":
    import unittest
    unittest.main()

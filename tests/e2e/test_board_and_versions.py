"""The version report, the DSP update request and the blocking DSP update, on the real binary in
a sandbox box, with the board simulator playing the DSP board. Frame bytes, sizes, modes and
board faults are checked by the unit tests; here what the commands print, log and leave."""

import json
import shutil

import box
from board import Board
from box import BoxTestCase, exists, path, run_tool, write

VERSION_FILE = "/etc/InitrdVersion.txt"
ON_BOOT_FLAG = box.FLAG_FILES["dsp_on_boot"]
DSP_FLAG = box.FLAG_FILES["dsp"]

GET_VERSIONS = "(void cDovozUdiZedezod::GetVersions())"
BLOCKING = "(void cDovozUdiZedezod::BlockingDSPUpdate())"
UPDATE = "(bool cUSBDeviceUpdater::UpdateFirmware(int))"
SETUP = "(void cUSBDeviceUpdater::SetupFiles())"
CONSTRUCTOR = "(cUSBDeviceUpdater::cUSBDeviceUpdater(const char*, const char*, float, bool))"


def report(dsp, firmware):
    """The exact standard output of getversions: indented JSON, keys in order."""
    return ('{\n    "DSP Firmware Version": ' + json.dumps(dsp) + ',\n'
            '    "Firmware Version": ' + json.dumps(firmware) + '\n}\n').encode()


class BoardTestCase(BoxTestCase):
    def board(self, *arguments):
        simulator = Board(*arguments)
        self.addCleanup(simulator.cleanup)
        return simulator.start()


class VersionReport(BoardTestCase):
    def test_report(self):
        # version file (None: none), board arguments (None: nothing at the device path), stdout
        cases = [
            (b"1.2.3\n", ["--version", "R9-2.8"],
             b'{\n    "DSP Firmware Version": "R9-2.8",\n    "Firmware Version": "1.2.3\\n"\n}\n'),
            (None, ["--version", "2.8"], report("2.8", "Unknown")),
            (b"4.5.6-rc1\nbuilt yesterday\n\nmore\n", ["--version", "2.8"],
             report("2.8", "4.5.6-rc1\n")),
            (b"1.2\x00junk\n", ["--version", "2.8"], report("2.8", "1.2")),
            (b"1.2.3\n", ["--silent"], report("", "1.2.3\n")),
            (b"1.2.3\n", None, report("", "1.2.3\n")),
        ]
        for content, arguments, stdout in cases:
            with self.subTest(content=content, board=arguments):
                box.reset()
                if content is not None:
                    write(VERSION_FILE, content)
                board = self.board(*arguments) if arguments is not None else None
                run = run_tool("--getversions", timeout=60)
                self.assertEqual((run.stdout, run.stderr), (stdout, b""))
                # The document as the debug stream quotes and escapes a byte array.
                self.assertEqual(run.log, ["Debug: Getting versions... " + GET_VERSIONS,
                                           "Debug: Got version information:",
                                           " " + json.dumps(stdout.decode()) + " " + GET_VERSIONS])
                if board is None:
                    # "wb+" made a regular file there, and the request landed in it.
                    self.assertFileBytes(box.DSP_DEVICE, b"\x00\x03\x01")
                else:
                    board.stop()
                    self.assertEqual((board.report["queries"]["version"], board.report["errors"]),
                                     (1, []))


class DspUpdateRequest(BoxTestCase):
    def test_request_without_and_with_the_image_twice(self):
        request = "(void cDovozUdiZedezod::UpdateDSPBoardFirmware())"
        log = ["Debug: Changed state value to: 14 (void WriteUpdateState(int))",
               "Debug: Acknowledged request to update DSP Firmware. " + request]
        for image in (False, True, True):
            if image:
                write(box.DSP_IMAGE, b"\x01\x02")
                log = log[:2] + ["Debug: DSP Firmware found. Triggering update. " + request]
            run = run_tool("--updatedspfirmware")
            self.assertEqual((run.stdout, run.log), (b"Started DSP firmware update", log))
            self.assertProgress(14)
            self.assertEqual(exists(DSP_FLAG), image)
        self.assertFileBytes(DSP_FLAG, b"")
        self.assertFileBytes(box.DSP_IMAGE, b"\x01\x02")


class BlockingDspUpdate(BoardTestCase):
    def test_blocking_update(self):
        opened = ["Debug: Successfully opened firmware " + SETUP,
                  "Debug: Successfully opened device " + SETUP]
        sent = ['Debug: Firmware length = 3 ( "0x3" ) ' + UPDATE,
                'Debug: Complete Checksum = 6 ( "0x6" ) ' + UPDATE,
                'Debug: Header Checksum Sent: 15 ( "0xf" ) ' + UPDATE,
                "Debug: Send ok " + UPDATE, "Debug: flush ok " + UPDATE]
        failed = "Debug: DSP Firmware update failed. " + BLOCKING
        image = b"\x01\x02\x03"
        # image (None: none); board arguments (None: nothing at the device path, "no /dev");
        # the log after its first two lines; the board's exit status, transfers and image.
        cases = [
            (image, [], opened + sent + ["Debug: DSP Firmware update successful. " + BLOCKING],
             (0, [(0x0C, None, [19], "complete")], image)),  # mode 0: no version message
            (image, ["--refuse", "1:7"],
             opened + sent + ["Debug: Bad tx status ( 7 ) " + UPDATE, failed],
             (1, [(0x0C, None, [19], "refused")], image)),
            (image, None,
             opened + sent + ["Debug: Failed to read tx status: end of file " + UPDATE, failed],
             None),
            (image, "no /dev", [opened[0], "Debug: Couldn't open device " + SETUP, failed], None),
            (None, [], ["Debug: Couldn't open firmware " + SETUP, opened[1], failed],
             (0, [], None)),
        ]
        for content, arguments, log, outcome in cases:
            with self.subTest(image=content, board=arguments):
                box.reset()
                write(ON_BOOT_FLAG)
                write(box.PROGRESS_FILE, b"8")
                if content is not None:
                    write(box.DSP_IMAGE, content)
                if arguments == "no /dev":
                    shutil.rmtree(path("/dev"))
                board = self.board(*arguments) if isinstance(arguments, list) else None
                run = run_tool("--blockingdspupdate", timeout=30)
                self.assertEqual(run.stdout, b"")
                self.assertProgress(8)
                self.assertFalse(exists(ON_BOOT_FLAG))
                self.assertEqual(run.log, ["Debug: Updating DSP Firmware " + BLOCKING,
                                           "Debug: FW V 9.9 " + CONSTRUCTOR] + log)
                self.assertEqual(exists("/dev"), arguments != "no /dev")
                self.assertEqual(exists(box.DSP_IMAGE), content is not None)
                if board is not None:
                    code = board.stop()
                    transfers = [(t["command"], t["version"], t["frame_lengths"], t["result"])
                                 for t in board.transfers]
                    self.assertEqual((code, transfers, board.image), outcome)


if __name__ == "__main__":
    import unittest
    unittest.main()

"""The version report, the DSP update request and the blocking DSP update, on the real binary in
a sandbox box, with the board simulator playing the DSP board."""

import json
import shutil

import box
from board import Board
from box import BoxTestCase, exists, path, read, run_tool, write

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


def pattern(size):
    return bytes((i * 7 + 3) % 251 for i in range(size))


class BoardTestCase(BoxTestCase):
    def board(self, *arguments, device=box.DSP_DEVICE):
        simulator = Board(*arguments, device=device)
        self.addCleanup(simulator.cleanup)
        return simulator.start()


class VersionReport(BoardTestCase):
    def version_log(self, document):
        # The document as the debug stream shows a byte array, after the message's line end.
        shown = json.dumps(document.decode())  # quotes and escapes as QDebug writes them
        return ["Debug: Getting versions... " + GET_VERSIONS,
                "Debug: Got version information:",
                " " + shown + " " + GET_VERSIONS]

    def test_version_file_and_board(self):
        write(VERSION_FILE, b"1.2.3\n")
        board = self.board("--version", "R9-2.8")
        run = run_tool("--getversions")
        expected = report("R9-2.8", "1.2.3\n")
        self.assertEqual(run.stdout, expected)
        self.assertEqual(run.stdout, b'{\n    "DSP Firmware Version": "R9-2.8",\n'
                                     b'    "Firmware Version": "1.2.3\\n"\n}\n')
        self.assertEqual(run.log, self.version_log(expected))
        self.assertEqual(run.stderr, b"")
        board.stop()
        self.assertEqual(board.report["queries"]["version"], 1)
        self.assertEqual(board.report["errors"], [])

    def test_no_version_file_gives_unknown(self):
        self.board("--version", "2.8")
        run = run_tool("--getversions")
        self.assertEqual(run.stdout, report("2.8", "Unknown"))

    def test_only_the_first_line_of_the_version_file_up_to_a_nul(self):
        self.board("--version", "R9-3.0")
        for content, version in ((b"4.5.6-rc1\nbuilt yesterday\n\nmore\n", "4.5.6-rc1\n"),
                                 (b"7.8.9", "7.8.9"), (b"1.2\x00junk\n", "1.2"), (b"", "")):
            write(VERSION_FILE, content)
            self.assertEqual(run_tool("--getversions").stdout, report("R9-3.0", version))

    def test_no_board_reads_nothing_and_still_reports(self):
        # Nothing at the device path: "wb+" makes a regular file, the request lands in it.
        write(VERSION_FILE, b"1.2.3\n")
        run = run_tool("--getversions", timeout=30)
        self.assertEqual(run.stdout, report("", "1.2.3\n"))
        self.assertEqual(run.log, self.version_log(run.stdout))
        self.assertFileBytes(box.DSP_DEVICE, b"\x00\x03\x01")

    def test_device_that_cannot_be_opened(self):
        write(VERSION_FILE, b"1.2.3\n")
        shutil.rmtree(path("/dev"))
        run = run_tool("--getversions")
        self.assertEqual(run.stdout, report("", "1.2.3\n"))
        self.assertEqual(run.log[0], "Debug: Getting versions... " + GET_VERSIONS)
        self.assertEqual(run.log[1], "Debug: Failed to open  " + path(box.DSP_DEVICE)
                         + " (cUSBInterrogator::cUSBInterrogator(const char*))")
        self.assertEqual(run.log[2:], self.version_log(run.stdout)[1:])
        self.assertFalse(exists("/dev"))

    def test_silent_board_does_not_hang_the_report(self):
        write(VERSION_FILE, b"1.2.3\n")
        board = self.board("--silent")
        run = run_tool("--getversions", timeout=60)
        self.assertEqual(run.stdout, report("", "1.2.3\n"))
        self.assertEqual(run.log, self.version_log(run.stdout))
        board.stop()
        self.assertEqual(board.report["queries"]["version"], 1)


class DspUpdateRequest(BoardTestCase):
    def request_log(self, found):
        log = ["Debug: Changed state value to: 14 (void WriteUpdateState(int))",
               "Debug: Acknowledged request to update DSP Firmware. "
               "(void cDovozUdiZedezod::UpdateDSPBoardFirmware())"]
        if found:
            log.append("Debug: DSP Firmware found. Triggering update. "
                       "(void cDovozUdiZedezod::UpdateDSPBoardFirmware())")
        return log

    def test_with_the_dsp_image_twice(self):
        write(box.DSP_IMAGE, pattern(100))
        for _ in range(2):
            run = run_tool("--updatedspfirmware")
            self.assertEqual(run.stdout, b"Started DSP firmware update")
            self.assertProgress(14)
            self.assertFileBytes(DSP_FLAG, b"")
            self.assertEqual(run.log, self.request_log(True))
        self.assertFileBytes(box.DSP_IMAGE, pattern(100))

    def test_without_the_dsp_image_twice(self):
        for _ in range(2):
            run = run_tool("--updatedspfirmware")
            self.assertEqual(run.stdout, b"Started DSP firmware update")
            self.assertProgress(14)
            self.assertFalse(exists(DSP_FLAG))
            self.assertEqual(run.log, self.request_log(False))


class BlockingDspUpdate(BoardTestCase):
    def setUp(self):
        super().setUp()
        write(ON_BOOT_FLAG)
        write(box.PROGRESS_FILE, b"8")

    def assertUntouched(self, run):
        """Nothing on standard output, progress file unchanged, on-boot request removed."""
        self.assertEqual(run.stdout, b"")
        self.assertProgress(8)
        self.assertFalse(exists(ON_BOOT_FLAG))
        self.assertEqual(run.log[0], "Debug: Updating DSP Firmware " + BLOCKING)

    def test_three_byte_image_log(self):
        write(box.DSP_IMAGE, b"\x01\x02\x03")
        board = self.board()
        run = run_tool("--blockingdspupdate")
        self.assertUntouched(run)
        self.assertEqual(run.log, [
            "Debug: Updating DSP Firmware " + BLOCKING,
            "Debug: FW V 9.9 " + CONSTRUCTOR,
            "Debug: Successfully opened firmware " + SETUP,
            "Debug: Successfully opened device " + SETUP,
            'Debug: Firmware length = 3 ( "0x3" ) ' + UPDATE,
            'Debug: Complete Checksum = 6 ( "0x6" ) ' + UPDATE,
            'Debug: Header Checksum Sent: 15 ( "0xf" ) ' + UPDATE,
            "Debug: Send ok " + UPDATE,
            "Debug: flush ok " + UPDATE,
            "Debug: DSP Firmware update successful. " + BLOCKING,
        ])
        self.assertEqual(board.stop(), 0)
        self.assertEqual(board.image, b"\x01\x02\x03")
        self.assertEqual(board.transfers[0]["frame_lengths"], [19])

    def test_simulator_confirms_the_received_image(self):
        image = pattern(200_000)
        write(box.DSP_IMAGE, image)
        board = self.board()
        run = run_tool("--blockingdspupdate")
        self.assertUntouched(run)
        self.assertEqual(run.log[-1], "Debug: DSP Firmware update successful. " + BLOCKING)
        self.assertEqual(board.stop(), 0)
        transfer, = board.transfers
        self.assertEqual((transfer["result"], transfer["intact"]), ("complete", True))
        self.assertEqual(transfer["command"], 0x0C)  # update mode 0
        self.assertIsNone(transfer["version"])  # no version message in mode 0
        self.assertEqual(transfer["length"], len(image))
        self.assertEqual(board.image, image)
        self.assertFileBytes(box.DSP_IMAGE, image)

    def test_refusal_at_a_data_message(self):
        write(box.DSP_IMAGE, pattern(3000))
        board = self.board("--refuse", "3:7")
        run = run_tool("--blockingdspupdate")
        self.assertUntouched(run)
        self.assertEqual(run.log[-2:], ["Debug: Bad tx status ( 7 ) " + UPDATE,
                                        "Debug: DSP Firmware update failed. " + BLOCKING])
        self.assertEqual(run.log.count("Debug: Send ok " + UPDATE), 3)
        self.assertEqual(board.stop(), 1)
        transfer, = board.transfers
        self.assertEqual((transfer["result"], transfer["messages"]), ("refused", 3))
        self.assertEqual(board.report["frames"], 3)

    def test_missing_device(self):
        write(box.DSP_IMAGE, pattern(10))
        shutil.rmtree(path("/dev"))
        run = run_tool("--blockingdspupdate")
        self.assertUntouched(run)
        self.assertEqual(run.log, [
            "Debug: Updating DSP Firmware " + BLOCKING,
            "Debug: FW V 9.9 " + CONSTRUCTOR,
            "Debug: Successfully opened firmware " + SETUP,
            "Debug: Couldn't open device " + SETUP,
            "Debug: DSP Firmware update failed. " + BLOCKING,
        ])
        self.assertFalse(exists("/dev"))

    def test_no_board_behind_the_device_path(self):
        # /dev exists but nothing is linked there: a regular file takes the header, and the
        # status read finds its end at once.
        write(box.DSP_IMAGE, b"\x01\x02\x03")
        run = run_tool("--blockingdspupdate", timeout=30)
        self.assertUntouched(run)
        self.assertEqual(run.log[-2:], [
            "Debug: Failed to read tx status: end of file " + UPDATE,
            "Debug: DSP Firmware update failed. " + BLOCKING])

    def test_missing_image(self):
        board = self.board()
        run = run_tool("--blockingdspupdate")
        self.assertUntouched(run)
        self.assertEqual(run.log, [
            "Debug: Updating DSP Firmware " + BLOCKING,
            "Debug: FW V 9.9 " + CONSTRUCTOR,
            "Debug: Couldn't open firmware " + SETUP,
            "Debug: Successfully opened device " + SETUP,
            "Debug: DSP Firmware update failed. " + BLOCKING,
        ])
        self.assertFalse(exists(box.DSP_IMAGE))
        self.assertEqual(board.stop(), 0)
        self.assertEqual(board.report["frames"], 0)

    def test_silent_board_fails_without_hanging(self):
        write(box.DSP_IMAGE, pattern(1500))  # header and two data messages
        board = self.board("--silent-from", "2")
        run = run_tool("--blockingdspupdate", timeout=90)
        self.assertUntouched(run)
        self.assertRegex(run.log[-2], r"^Debug: No tx status within \d+ ms ")
        self.assertEqual(run.log[-1], "Debug: DSP Firmware update failed. " + BLOCKING)
        self.assertEqual(board.stop(), 1)
        self.assertEqual(board.transfers[0]["result"], "incomplete")


if __name__ == "__main__":
    import unittest
    unittest.main()

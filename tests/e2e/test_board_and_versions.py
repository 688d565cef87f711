"""The version report, the DSP update request and the blocking DSP update, on the real binary in
a sandbox box, with the board simulator playing the DSP board. Frame bytes, sizes and modes are
checked by the unit tests; here what the commands print, log and leave, whatever lies at the
device path and the image path."""

import fcntl
import json
import os
import shutil
import signal
import stat
import termios
import time
import unittest
from dataclasses import dataclass, field
from typing import Callable

import box
from board import QUERY_WAIT_MS, STATUS_WAIT_MS, Board
from box import BoxTestCase, exists, path, run_tool, write

VERSION_FILE = box.PATH["ROOTFS_RUNNING_UINITRD_VERSION_FILE"]
ON_BOOT_FLAG = box.FLAG_FILES["dsp_on_boot"]
DSP_FLAG = box.FLAG_FILES["dsp"]
# Stands in for any file of the box that must never be sent, written or truncated.
VICTIM = box.PATH["RIRARUDE_HOSTNAME_FILE_PATH"]
VICTIM_BYTES = b"stage-left\n"
# Well past every wait the tool has, well short of forever.
LEEWAY_S = 5
EXTRACTED = box.STATE["UPDATE_STATE_EXTRACTED"]

GET_VERSIONS = "(void cDovozUdiZedezod::GetVersions())"
GET_VERSION = "(virtual QString cUSBInterrogator::GetVersion())"
INTERROGATOR = "(cUSBInterrogator::cUSBInterrogator(const char*))"
BLOCKING = "(void cDovozUdiZedezod::BlockingDSPUpdate())"
UPDATE = "(bool cUSBDeviceUpdater::UpdateFirmware(int))"
SETUP = "(void cUSBDeviceUpdater::SetupFiles())"
CONSTRUCTOR = "(cUSBDeviceUpdater::cUSBDeviceUpdater(const char*, const char*, float, bool))"

# 500 bytes: a header message with 496 of them and a data message with the last 4.
IMAGE = bytes(range(250)) * 2
IMAGE_OPENED = "Debug: Successfully opened firmware " + SETUP
IMAGE_REFUSED = "Debug: Couldn't open firmware " + SETUP
DEVICE_OPENED = "Debug: Successfully opened device " + SETUP
DEVICE_REFUSED = "Debug: Couldn't open device " + SETUP
HEADER_SENT = ['Debug: Firmware length = 500 ( "0x1f4" ) ' + UPDATE,
               'Debug: Complete Checksum = 62250 ( "0xf32a" ) ' + UPDATE,
               'Debug: Header Checksum Sent: 61790 ( "0xf15e" ) ' + UPDATE,
               "Debug: Send ok " + UPDATE]
DATA_SENT = ['Debug: Data Checksum Sent: 990 ( "0x3de" ) ' + UPDATE,
             "Debug: Last part, DataLength: 4 , MessageLength: 12 " + UPDATE,
             "Debug: Send ok " + UPDATE]
TAKEN = "Debug: flush ok " + UPDATE
NOT_TAKEN = f"Debug: Message not taken within {STATUS_WAIT_MS} ms " + UPDATE
NO_STATUS = f"Debug: No tx status within {STATUS_WAIT_MS} ms " + UPDATE
SUCCEEDED = "Debug: DSP Firmware update successful. " + BLOCKING
FAILED = "Debug: DSP Firmware update failed. " + BLOCKING
NOT_A_DEVICE = [IMAGE_OPENED, DEVICE_REFUSED, FAILED]


def report(dsp, firmware):
    """The exact standard output of getversions: indented JSON, keys in order."""
    return ('{\n    "DSP Firmware Version": ' + json.dumps(dsp) + ',\n'
            '    "Firmware Version": ' + json.dumps(firmware) + '\n}\n').encode()


def unopened_device():
    return [f"Debug: Failed to open  {path(box.DSP_DEVICE)} {INTERROGATOR}"]


def state_of(absolute):
    """What a run could change at a path, links not followed: its kind, a link's target, a
    file's bytes, a device's number, a directory's entries."""
    where = path(absolute)
    if not os.path.lexists(where):
        return "absent"
    mode = os.lstat(where).st_mode
    if stat.S_ISLNK(mode):
        return ("link", os.readlink(where))
    if stat.S_ISREG(mode):
        with open(where, "rb") as f:
            return ("file", f.read())
    if stat.S_ISCHR(mode):
        return ("character device", os.lstat(where).st_rdev)
    if stat.S_ISDIR(mode):
        return ("directory", sorted(os.listdir(where)))
    return ("other", stat.S_IFMT(mode))


def null_device(absolute):
    """A character device that answers nothing and takes everything: a copy of /dev/null."""
    os.mknod(path(absolute), stat.S_IFCHR | 0o666, os.makedev(1, 3))


def open_device():
    return os.open(path(box.DSP_DEVICE), os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)


def terminal_settings():
    """The settings of the terminal at the device path, as the box's other programs find them."""
    descriptor = open_device()
    try:
        return termios.tcgetattr(descriptor)
    finally:
        os.close(descriptor)


def without(descriptor):
    """Starts the tool with that standard stream closed, as a daemon may."""
    return lambda: os.close(descriptor)


def started_with(number, ignored):
    """Starts the tool with that signal ignored, as nohup starts a program, or not: whatever the
    test itself was started with (a shell starts a background job with SIGINT ignored)."""
    return lambda: signal.signal(number, signal.SIG_IGN if ignored else signal.SIG_DFL)


class BoardTestCase(BoxTestCase):
    def board(self, *arguments):
        simulator = Board(*arguments)
        self.addCleanup(simulator.cleanup)
        return simulator.start()

    def run_within(self, option, wait_ms, runs=1, preexec_fn=None):
        """Runs the tool, as many times at once as asked, and checks that each ended within its
        wait (and the waits of those before it), with leeway. The last run's log holds the lines
        of all."""
        start = time.monotonic()
        log_start = len(box.log_bytes())
        tools = [box.start_tool(option, preexec_fn=preexec_fn) for _ in range(runs)]
        done = [box.finish(tool, log_start, timeout=runs * wait_ms / 1000 + 4 * LEEWAY_S)
                for tool in tools]
        self.assertLess(time.monotonic() - start, runs * wait_ms / 1000 + LEEWAY_S)
        self.assertEqual([run.returncode for run in done], [1] * runs)
        return done


# What lies at the device path. Each returns the paths whose state must survive a run.

def a_board():
    return []


def nothing():
    return [box.DSP_DEVICE]


def no_dev_directory():
    shutil.rmtree(path("/dev"))
    return ["/dev"]


def a_regular_file():
    write(box.DSP_DEVICE, b"not a board\n")
    return [box.DSP_DEVICE]


def a_link_to_a_regular_file():
    os.symlink(path(VICTIM), path(box.DSP_DEVICE))
    return [box.DSP_DEVICE, VICTIM]


def a_dangling_link():
    os.symlink(path(box.DSP_DEVICE + ".gone"), path(box.DSP_DEVICE))
    return [box.DSP_DEVICE, box.DSP_DEVICE + ".gone"]


def a_directory():
    os.mkdir(path(box.DSP_DEVICE))
    write(box.DSP_DEVICE + "/inside", b"kept")
    return [box.DSP_DEVICE, box.DSP_DEVICE + "/inside"]


def a_device_that_is_no_board():
    null_device(box.DSP_DEVICE)
    return [box.DSP_DEVICE]


@dataclass
class Transfer:
    """A transfer as the board saw it."""
    frame_lengths: list
    result: str  # "complete", "refused" or "incomplete"
    intact: bool  # the whole image arrived unchanged
    command: int = 0x0C


@dataclass
class DeviceCase:
    name: str
    place: Callable  # puts it at the device path (a_board: the simulator does)
    board_options: list = field(default_factory=list)  # the simulator's, for a board
    dsp_version: str = ""  # "DSP Firmware Version" of --getversions
    query_log: list = field(default_factory=list)  # its lines between the report's two lines
    transfer_log: list = field(default_factory=list)  # --blockingdspupdate after "FW V 9.9"
    transfers: list = field(default_factory=list)  # what the board saw, as Transfer
    # The tool starts without standard error, and the log is unusable, so that its lines go to
    # the closed stream.
    closed: bool = False
    at_once: int = 1  # runs started together; their log lines are checked in any order
    held: bool = False  # another program of the box holds the board's lock meanwhile


GOOD_TRANSFER = [IMAGE_OPENED, DEVICE_OPENED, *HEADER_SENT, TAKEN, *DATA_SENT, TAKEN, SUCCEEDED]
WHOLE = Transfer([512, 12], "complete", intact=True)


def still_locked(wait_ms, function):
    return (f"Debug: Could not lock {path(box.DSP_DEVICE)}: still in use after {wait_ms} ms "
            + function)


DEVICE_CASES = [
    DeviceCase("a good board", a_board, dsp_version="2.8", transfer_log=GOOD_TRANSFER,
               transfers=[WHOLE]),
    # In the settings a USB serial board shows up with (echo, canonical input, CR/NL
    # translation), and slow enough that the second run waits for the first.
    DeviceCase("a slow board on a terminal in its default settings, two runs at once", a_board,
               ["--cooked", "--delay", "300"], dsp_version="2.8", transfer_log=GOOD_TRANSFER,
               transfers=[WHOLE, WHOLE], at_once=2),
    DeviceCase("a board another program holds", a_board, held=True,
               query_log=[still_locked(QUERY_WAIT_MS, INTERROGATOR), *unopened_device()],
               transfer_log=[still_locked(STATUS_WAIT_MS, SETUP), IMAGE_OPENED, DEVICE_REFUSED,
                             FAILED]),
    DeviceCase("a board, standard error closed and the log unusable", a_board, dsp_version="2.8",
               transfer_log=GOOD_TRANSFER, transfers=[WHOLE], closed=True),
    DeviceCase("a board that refuses the header", a_board, ["--refuse", "1:7"], dsp_version="2.8",
               transfer_log=[IMAGE_OPENED, DEVICE_OPENED, *HEADER_SENT, TAKEN,
                             "Debug: Bad tx status ( 7 ) " + UPDATE, FAILED],
               transfers=[Transfer([512], "refused", intact=False)]),
    DeviceCase("a board that reads but never answers", a_board, ["--silent"],
               transfer_log=[IMAGE_OPENED, DEVICE_OPENED, *HEADER_SENT, TAKEN, NO_STATUS, FAILED],
               transfers=[Transfer([512], "incomplete", intact=False)]),
    DeviceCase("a board that stops reading before the first query", a_board,
               ["--stop-reading", "0"],
               query_log=["Debug: Failed to flush get version request " + GET_VERSION],
               transfer_log=[IMAGE_OPENED, DEVICE_OPENED, *HEADER_SENT, NOT_TAKEN, FAILED]),
    DeviceCase("a board that stops reading after the header", a_board, ["--stop-reading", "1"],
               dsp_version="2.8",
               transfer_log=[IMAGE_OPENED, DEVICE_OPENED, *HEADER_SENT, TAKEN, *DATA_SENT,
                             NOT_TAKEN, FAILED],
               transfers=[Transfer([512], "incomplete", intact=False)]),
    DeviceCase("a character device that is no board", a_device_that_is_no_board,
               transfer_log=[IMAGE_OPENED, DEVICE_OPENED, *HEADER_SENT, TAKEN,
                             "Debug: Failed to read tx status: end of file " + UPDATE, FAILED]),
    DeviceCase("nothing", nothing, query_log=unopened_device(), transfer_log=NOT_A_DEVICE),
    DeviceCase("no /dev at all", no_dev_directory, query_log=unopened_device(),
               transfer_log=NOT_A_DEVICE),
    DeviceCase("a regular file", a_regular_file, query_log=unopened_device(),
               transfer_log=NOT_A_DEVICE),
    DeviceCase("a link to a regular file", a_link_to_a_regular_file,
               query_log=unopened_device(), transfer_log=NOT_A_DEVICE),
    DeviceCase("a link to nothing", a_dangling_link, query_log=unopened_device(),
               transfer_log=NOT_A_DEVICE),
    DeviceCase("a directory", a_directory, query_log=unopened_device(),
               transfer_log=NOT_A_DEVICE),
]


class WhateverLiesAtTheDevicePath(BoardTestCase):
    """Every step on the board ends within its wait, and a path that holds no character device
    is left as it was: nothing made, truncated or written."""

    def set_up(self, case):
        box.reset()
        write(VICTIM, VICTIM_BYTES)
        write(VERSION_FILE, b"1.2.3\n")
        write(box.DSP_IMAGE, IMAGE)
        if case.closed:
            shutil.rmtree(path(os.path.dirname(box.LOG_FILE)))
        kept = case.place()
        before = {absolute: state_of(absolute) for absolute in kept}
        board = settings = None
        if case.place is a_board:
            board = self.board(*case.board_options)
            settings = terminal_settings()
        return board, before, settings

    def run_case(self, case, option, wait_ms):
        holder = open_device() if case.held else None
        if holder is not None:
            fcntl.flock(holder, fcntl.LOCK_EX)  # as the README tells the box's programs
        try:
            return self.run_within(option, wait_ms, runs=case.at_once,
                                   preexec_fn=without(2) if case.closed else None)
        finally:
            if holder is not None:
                os.close(holder)

    def assertLog(self, case, log, lines):
        expected = [] if case.closed else lines * case.at_once
        if case.at_once > 1:
            log, expected = sorted(log), sorted(expected)
        self.assertEqual(log, expected)

    def assertUntouched(self, before, settings):
        self.assertEqual({absolute: state_of(absolute) for absolute in before}, before)
        self.assertEqual(state_of(VICTIM), ("file", VICTIM_BYTES))
        if settings is not None:
            self.assertEqual(terminal_settings(), settings)

    def test_version_report(self):
        for case in DEVICE_CASES:
            with self.subTest(case.name):
                board, before, settings = self.set_up(case)
                runs = self.run_case(case, "--getversions", QUERY_WAIT_MS)
                stdout = report(case.dsp_version, "1.2.3\n")
                for run in runs:
                    self.assertEqual((run.stdout, run.stderr), (stdout, b""))
                # The document as the debug stream quotes and escapes a byte array.
                self.assertLog(case, runs[-1].log, [
                    "Debug: Getting versions... " + GET_VERSIONS, *case.query_log,
                    "Debug: Got version information:",
                    " " + json.dumps(stdout.decode()) + " " + GET_VERSIONS])
                self.assertUntouched(before, settings)
                if board is not None:
                    board.stop()
                    self.assertEqual(board.report["errors"], [])

    def test_blocking_update(self):
        for case in DEVICE_CASES:
            with self.subTest(case.name):
                board, before, settings = self.set_up(case)
                write(ON_BOOT_FLAG)
                write(box.PROGRESS_FILE, str(EXTRACTED).encode())
                runs = self.run_case(case, "--blockingdspupdate", STATUS_WAIT_MS)
                self.assertEqual([run.stdout for run in runs], [b""] * case.at_once)
                self.assertLog(case, runs[-1].log, ["Debug: Updating DSP Firmware " + BLOCKING,
                                                   "Debug: FW V 9.9 " + CONSTRUCTOR,
                                                   *case.transfer_log])
                self.assertFalse(exists(ON_BOOT_FLAG))
                self.assertProgress(EXTRACTED)
                self.assertFileBytes(box.DSP_IMAGE, IMAGE)
                self.assertUntouched(before, settings)
                if board is not None:
                    board.stop()
                    seen = []
                    for transfer in board.transfers:
                        seen.append(Transfer(transfer["frame_lengths"], transfer["result"],
                                             transfer["intact"], transfer["command"]))
                    self.assertEqual(seen, case.transfers)


@dataclass
class StopCase:
    signal: signal.Signals
    ignored: bool  # the tool was started with it ignored
    returncode: int
    log: list  # after the header was taken


STOP_CASES = [
    StopCase(signal.SIGTERM, ignored=False, returncode=-signal.SIGTERM, log=[]),
    StopCase(signal.SIGINT, ignored=False, returncode=-signal.SIGINT, log=[]),
    StopCase(signal.SIGHUP, ignored=False, returncode=-signal.SIGHUP, log=[]),
    StopCase(signal.SIGHUP, ignored=True, returncode=1, log=[NO_STATUS, FAILED]),
]


class StopWhileTheBoardIsRaw(BoardTestCase):
    """A program that stops the tool while it holds a terminal raw finds the tool ended by its
    signal, as ever, and the terminal in its own settings again."""

    def test_blocking_update_stopped_while_it_waits_for_a_status(self):
        for case in STOP_CASES:
            with self.subTest(signal=case.signal.name, ignored=case.ignored):
                box.reset()
                write(box.DSP_IMAGE, IMAGE)
                self.board("--cooked", "--silent")
                settings = terminal_settings()
                log_start = len(box.log_bytes())
                tool = box.start_tool("--blockingdspupdate",
                                      preexec_fn=started_with(case.signal, case.ignored))
                box.wait_for_line(TAKEN, log_start)
                self.assertNotEqual(terminal_settings(), settings)
                tool.send_signal(case.signal)
                run = box.finish(tool, log_start)
                self.assertEqual(run.returncode, case.returncode)
                self.assertEqual(run.log, ["Debug: Updating DSP Firmware " + BLOCKING,
                                           "Debug: FW V 9.9 " + CONSTRUCTOR, IMAGE_OPENED,
                                           DEVICE_OPENED, *HEADER_SENT, TAKEN, *case.log])
                self.assertEqual(terminal_settings(), settings)


# What lies at the image path. Each returns the paths whose state must survive a run.

def no_image():
    return [box.DSP_IMAGE]


def an_empty_image():
    write(box.DSP_IMAGE, b"")
    return [box.DSP_IMAGE]


def a_fifo():
    os.mkfifo(path(box.DSP_IMAGE))
    return [box.DSP_IMAGE]


def a_link_inside_the_tree():
    write(box.FIRMWARE_DIR + "/real.bin", IMAGE)
    os.symlink("real.bin", path(box.DSP_IMAGE))
    return [box.DSP_IMAGE, box.FIRMWARE_DIR + "/real.bin"]


def a_link_out_of_the_tree():
    os.symlink(path(VICTIM), path(box.DSP_IMAGE))
    return [box.DSP_IMAGE]


def an_image_directory():
    os.mkdir(path(box.DSP_IMAGE))
    return [box.DSP_IMAGE]


def a_device_node():
    null_device(box.DSP_IMAGE)
    return [box.DSP_IMAGE]


def a_sparse_image(size):
    """An image of size bytes, all of them a hole: no disk space, and zeros to read."""
    def place():
        write(box.DSP_IMAGE)
        os.truncate(path(box.DSP_IMAGE), size)
        return []
    return place


def a_linked_firmware_directory():
    """The image is a regular file, but its directory is a link out of the tree."""
    elsewhere = box.HOME + "/Elsewhere"
    write(elsewhere + "/" + os.path.basename(box.DSP_IMAGE), IMAGE)
    os.rmdir(path(box.FIRMWARE_DIR))
    os.symlink(path(elsewhere), path(box.FIRMWARE_DIR))
    return [box.FIRMWARE_DIR]


@dataclass
class ImageCase:
    name: str
    place: Callable  # puts it at the image path, in an existing firmware directory
    log: list  # --blockingdspupdate after "FW V 9.9"
    board_options: list = field(default_factory=list)
    transfers: list = field(default_factory=list)  # what the board saw, as Transfer


REFUSED_IMAGE = [IMAGE_REFUSED, DEVICE_OPENED, FAILED]
LARGEST_IMAGE = 2**32 - 1  # what the header's 32 bits can announce


def too_large(size):
    return [IMAGE_OPENED, DEVICE_OPENED,
            f"Debug: Firmware too large: {size} bytes, the header announces at most "
            f"{LARGEST_IMAGE} " + UPDATE, FAILED]

IMAGE_CASES = [
    ImageCase("no image", no_image, REFUSED_IMAGE),
    # Nothing to send counts as done.
    ImageCase("an empty regular file", an_empty_image, [IMAGE_OPENED, DEVICE_OPENED, SUCCEEDED]),
    ImageCase("a FIFO", a_fifo, REFUSED_IMAGE),
    ImageCase("a link to a file inside the tree", a_link_inside_the_tree, REFUSED_IMAGE),
    ImageCase("a link to a file outside the tree", a_link_out_of_the_tree, REFUSED_IMAGE),
    ImageCase("a directory", an_image_directory, REFUSED_IMAGE),
    ImageCase("a device node", a_device_node, REFUSED_IMAGE),
    ImageCase("a firmware directory that is a link", a_linked_firmware_directory, REFUSED_IMAGE),
    # The board refuses the header: nothing more is sent.
    ImageCase("the largest image the header can announce", a_sparse_image(LARGEST_IMAGE),
              [IMAGE_OPENED, DEVICE_OPENED,
               'Debug: Firmware length = 4294967295 ( "0xffffffff" ) ' + UPDATE,
               'Debug: Complete Checksum = 0 ( "0x0" ) ' + UPDATE,
               'Debug: Header Checksum Sent: 1020 ( "0x3fc" ) ' + UPDATE,
               "Debug: Send ok " + UPDATE, TAKEN, "Debug: Bad tx status ( 7 ) " + UPDATE, FAILED],
              board_options=["--refuse", "1:7"], transfers=[Transfer([512], "refused", False)]),
    ImageCase("an image one byte too large to announce", a_sparse_image(2**32),
              too_large(2**32)),
    ImageCase("an image the header would announce as 10 bytes", a_sparse_image(2**32 + 10),
              too_large(2**32 + 10)),
]


class WhateverLiesAtTheImagePath(BoardTestCase):
    """Only a regular file in the firmware tree, of a length the header can announce, is sent;
    everything else sends nothing and fails the update, which still ends and still drops the
    on-boot request."""

    def test_blocking_update(self):
        for case in IMAGE_CASES:
            with self.subTest(case.name):
                box.reset()
                write(VICTIM, VICTIM_BYTES)
                write(ON_BOOT_FLAG)
                os.makedirs(path(box.FIRMWARE_DIR), exist_ok=True)
                kept = case.place()
                before = {absolute: state_of(absolute) for absolute in kept}
                board = self.board(*case.board_options)
                [run] = self.run_within("--blockingdspupdate", STATUS_WAIT_MS)
                self.assertEqual(run.stdout, b"")
                self.assertEqual(run.log, ["Debug: Updating DSP Firmware " + BLOCKING,
                                           "Debug: FW V 9.9 " + CONSTRUCTOR, *case.log])
                self.assertFalse(exists(ON_BOOT_FLAG))
                self.assertEqual({absolute: state_of(absolute) for absolute in kept}, before)
                self.assertEqual(state_of(VICTIM), ("file", VICTIM_BYTES))
                board.stop()
                seen = [Transfer(transfer["frame_lengths"], transfer["result"], transfer["intact"])
                        for transfer in board.transfers]
                frames = sum(len(transfer.frame_lengths) for transfer in case.transfers)
                self.assertEqual((seen, board.report["frames"]), (case.transfers, frames))


@dataclass
class VersionFileCase:
    content: bytes
    firmware_version: str


class VersionReport(BoardTestCase):
    def test_the_running_version_is_the_first_line_of_its_file(self):
        cases = [
            VersionFileCase(b"4.5.6-rc1\nbuilt yesterday\n\nmore\n", "4.5.6-rc1\n"),
            VersionFileCase(b"1.2\x00junk\n", "1.2"),
        ]
        for case in cases:
            with self.subTest(content=case.content):
                box.reset()
                write(VERSION_FILE, case.content)
                board = self.board("--version", "R9-2.8")
                run = run_tool("--getversions")
                self.assertEqual(run.stdout, report("R9-2.8", case.firmware_version))
                board.stop()
                self.assertEqual(board.report["queries"]["version"], 1)


@dataclass
class DspRequest:
    """One --updatedspfirmware run, with or without the image in place."""
    image: bool  # laid in place before the run
    log: list
    flag: bool  # the DSP update flag exists afterwards


class DspUpdateRequest(BoxTestCase):
    def test_request_without_and_with_the_image_twice(self):
        request = "(void cDovozUdiZedezod::UpdateDSPBoardFirmware())"
        updating_dsp = box.STATE["UPDATE_STATE_UPDATING_DSP"]
        acknowledged = [
            f"Debug: Changed state value to: {updating_dsp} (void WriteUpdateState(int))",
            "Debug: Acknowledged request to update DSP Firmware. " + request]
        found = "Debug: DSP Firmware found. Triggering update. " + request
        runs = [
            DspRequest(image=False, log=acknowledged, flag=False),
            DspRequest(image=True, log=[*acknowledged, found], flag=True),
            DspRequest(image=True, log=[*acknowledged, found], flag=True),
        ]
        for number, step in enumerate(runs):
            with self.subTest(run=number):
                if step.image:
                    write(box.DSP_IMAGE, b"\x01\x02")
                run = run_tool("--updatedspfirmware")
                self.assertEqual((run.stdout, run.log), (b"Started DSP firmware update", step.log))
                self.assertProgress(updating_dsp)
                self.assertEqual(exists(DSP_FLAG), step.flag)
        self.assertFileBytes(DSP_FLAG, b"")
        self.assertFileBytes(box.DSP_IMAGE, b"\x01\x02")


if __name__ == "__main__":
    unittest.main()

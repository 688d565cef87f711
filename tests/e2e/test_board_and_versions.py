"""--getversions and --blockingdspupdate on the real binary, with the board simulator at the DSP
device: what each prints, logs and sends, within its wait, and what it leaves at the device path
and the image path. Each row's name says the fault it guards."""

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
from typing import Callable, Optional

import box
from board import Board
from box import BoxTestCase, exists, path, read, write

QUERY_WAIT_MS = box.LIMIT["BOARD_QUERY_WAIT_MS"]
STATUS_WAIT_MS = box.LIMIT["BOARD_STATUS_WAIT_MS"]
LEEWAY_S = 5  # well past every wait of the tool, well short of forever
VERSION_FILE = box.PATH["ROOTFS_RUNNING_UINITRD_VERSION_FILE"]
ON_BOOT_FLAG = box.FLAG_FILES["dsp_on_boot"]
EXTRACTED = box.STATE["UPDATE_STATE_EXTRACTED"]

GET_VERSIONS = " (void cDovozUdiZedezod::GetVersions())"
INTERROGATOR = " (cUSBInterrogator::cUSBInterrogator(const char*))"
BLOCKING = " (void cDovozUdiZedezod::BlockingDSPUpdate())"
UPDATE = " (bool cUSBDeviceUpdater::UpdateFirmware(int))"
SETUP = " (void cUSBDeviceUpdater::SetupFiles())"

UNOPENED = f"Debug: Failed to open  {path(box.DSP_DEVICE)}" + INTERROGATOR
# 500 bytes: a header message with 496 of them and a data message with the last 4.
IMAGE = bytes(range(250)) * 2
IMAGE_OPENED = "Debug: Successfully opened firmware" + SETUP
DEVICE_OPENED = "Debug: Successfully opened device" + SETUP
HEADER_SENT = ['Debug: Firmware length = 500 ( "0x1f4" )' + UPDATE,
               'Debug: Complete Checksum = 62250 ( "0xf32a" )' + UPDATE,
               'Debug: Header Checksum Sent: 61790 ( "0xf15e" )' + UPDATE,
               "Debug: Send ok" + UPDATE]
DATA_SENT = ['Debug: Data Checksum Sent: 990 ( "0x3de" )' + UPDATE,
             "Debug: Last part, DataLength: 4 , MessageLength: 12" + UPDATE,
             "Debug: Send ok" + UPDATE]
TAKEN = "Debug: flush ok" + UPDATE
SUCCEEDED = "Debug: DSP Firmware update successful." + BLOCKING
FAILED = "Debug: DSP Firmware update failed." + BLOCKING
STARTED = ["Debug: Updating DSP Firmware" + BLOCKING,
           "Debug: FW V 9.9 (cUSBDeviceUpdater::cUSBDeviceUpdater(const char*, const char*, "
           "float, bool))"]
SENT_WHOLE = [IMAGE_OPENED, DEVICE_OPENED, *HEADER_SENT, TAKEN, *DATA_SENT, TAKEN, SUCCEEDED]
IMAGE_REFUSED = ["Debug: Couldn't open firmware" + SETUP, DEVICE_OPENED, FAILED]
LARGEST_IMAGE = 2**32 - 1  # what the header's 32 bits can announce


def report(dsp, firmware):
    """The exact standard output of --getversions."""
    return ('{\n    "DSP Firmware Version": ' + json.dumps(dsp) + ',\n'
            '    "Firmware Version": ' + json.dumps(firmware) + '\n}\n').encode()


def device_path():
    """What lies at the device path, links not followed: a run leaves it as it was."""
    if not exists(box.DSP_DEVICE):
        return None
    status = os.lstat(path(box.DSP_DEVICE))
    content = read(box.DSP_DEVICE) if stat.S_ISREG(status.st_mode) else None
    return status.st_mode, status.st_rdev, content


def open_device():
    return os.open(path(box.DSP_DEVICE), os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)


def terminal_settings():
    descriptor = open_device()
    try:
        return termios.tcgetattr(descriptor)
    finally:
        os.close(descriptor)


# What a row lays at the device path or the image path.

def a_regular_file():
    write(box.DSP_DEVICE, b"not a board\n")


def a_null_device():
    """A character device that answers nothing and takes everything."""
    os.mknod(path(box.DSP_DEVICE), stat.S_IFCHR | 0o666, os.makedev(1, 3))


def an_image(size):
    """size bytes, all of them a hole: no disk space, and zeros to read."""
    def place():
        write(box.DSP_IMAGE)
        os.truncate(path(box.DSP_IMAGE), size)
    return place


def a_fifo():
    os.remove(path(box.DSP_IMAGE))
    os.mkfifo(path(box.DSP_IMAGE))


def a_link_out_of_the_tree():
    os.remove(path(box.DSP_IMAGE))
    os.symlink(path(box.PATH["RIRARUDE_HOSTNAME_FILE_PATH"]), path(box.DSP_IMAGE))


def a_linked_firmware_directory():
    shutil.move(path(box.FIRMWARE_DIR), path(box.HOME + "/Elsewhere"))
    os.symlink(path(box.HOME + "/Elsewhere"), path(box.FIRMWARE_DIR))


class BoardTestCase(BoxTestCase):
    def start_board(self, *options):
        self.simulator = Board(*options)
        self.addCleanup(self.simulator.cleanup)
        self.simulator.start()

    def run_within(self, option, wait_ms, runs=1, preexec_fn=None):
        """Runs the tool, as many times at once as asked; each must end within its wait and
        those of the runs before it. The last run's log holds the lines of all."""
        bound_s = runs * wait_ms / 1000 + LEEWAY_S
        start = time.monotonic()
        log_start = len(box.log_bytes())
        tools = [box.start_tool(option, preexec_fn=preexec_fn) for _ in range(runs)]
        done = [box.finish(tool, log_start, timeout=bound_s) for tool in tools]
        self.assertLess(time.monotonic() - start, bound_s)
        self.assertEqual([run.returncode for run in done], [1] * runs)
        return done

    def lay_out(self, row):
        """Lays what the row puts at the device or image path and starts its board, if any.
        Returns what lies at the device path and the board terminal's settings."""
        if row.place is not None:
            row.place()
        if row.board is not None:
            self.start_board(*row.board)
        return self.board_side(row)

    def board_side(self, row):
        return device_path(), terminal_settings() if row.board is not None else None

    def assertBoardLeft(self, row, before, transfers):
        """The run left the device path and the terminal as they were; the board saw these
        transfers, as (frame lengths, result, image intact, command), and no other frame."""
        self.assertEqual(self.board_side(row), before)
        if row.board is None:
            return
        self.simulator.stop()
        report = self.simulator.report
        seen = [(transfer["frame_lengths"], transfer["result"], transfer["intact"],
                 transfer["command"]) for transfer in report["transfers"]]
        self.assertEqual((seen, report["errors"]), (transfers, []))
        self.assertEqual(report["frames"] - sum(report["queries"].values()),
                         sum(len(transfer[0]) for transfer in seen))


@dataclass
class Query:
    name: str
    dsp: str  # "DSP Firmware Version"
    log: list  # between "Getting versions..." and the report
    place: Optional[Callable] = None  # lays something at the device path
    board: Optional[list] = field(default_factory=list)  # the simulator's options; None: none
    held: bool = False  # another program of the box holds the board's lock meanwhile
    version_file: Optional[bytes] = b"1.2.3\n"
    firmware: str = "1.2.3\n"  # "Firmware Version"


QUERIES = [
    Query("a version file of several lines: more than its first line, or its line end lost",
          "2.8", [], version_file=b"4.5.6-rc1\nbuilt yesterday\n", firmware="4.5.6-rc1\n"),
    Query("a NUL in the version file: what follows reported", "2.8", [],
          version_file=b"1.2\x00junk\n", firmware="1.2"),
    Query("no version file: not reported as Unknown", "2.8", [], version_file=None,
          firmware="Unknown"),
    Query("a board another program holds: asked all the same", "", held=True,
          log=[f"Debug: Could not lock {path(box.DSP_DEVICE)}: still in use after "
               f"{QUERY_WAIT_MS} ms" + INTERROGATOR, UNOPENED]),
    Query("a board that takes no request: waited on past the wait", "",
          ["Debug: Failed to flush get version request (virtual QString "
           "cUSBInterrogator::GetVersion())"], board=["--stop-reading", "0"]),
    Query("nothing at the device path: made there, or not logged", "", [UNOPENED], board=None),
]


class VersionReport(BoardTestCase):
    def test_queries(self):
        for row in QUERIES:
            with self.subTest(row.name):
                box.reset()
                if row.version_file is not None:
                    write(VERSION_FILE, row.version_file)
                before = self.lay_out(row)
                if row.held:
                    holder = open_device()
                    self.addCleanup(os.close, holder)
                    fcntl.flock(holder, fcntl.LOCK_EX)  # as the README tells the box's programs
                [run] = self.run_within("--getversions", QUERY_WAIT_MS)
                stdout = report(row.dsp, row.firmware)
                self.assertEqual((run.stdout, run.stderr), (stdout, b""))
                # The report as the debug stream quotes a byte array.
                self.assertEqual(run.log, ["Debug: Getting versions..." + GET_VERSIONS, *row.log,
                                           "Debug: Got version information:",
                                           " " + json.dumps(stdout.decode()) + GET_VERSIONS])
                self.assertBoardLeft(row, before, [])


# The image in two frames, all of it, in update mode 0.
WHOLE = ([512, 12], "complete", True, 0x0C)


@dataclass
class Send:
    name: str
    place: Optional[Callable]  # lays something other than a board or the 500-byte image
    log: list  # after "FW V 9.9"
    transfers: list = field(default_factory=list)
    board: Optional[list] = field(default_factory=list)  # the simulator's options; None: none
    at_once: int = 1  # runs started together; their lines are checked in any order
    # Started without standard error, the log unusable: lines go to the closed stream.
    closed: bool = False


SENDS = [
    Send("a board whose answers trail more bytes than a read buffers: the image not sent whole, "
         "not in mode 0, or a trailing byte taken for the next status", None, SENT_WHOLE,
         [WHOLE], board=["--extra", "2000"]),
    Send("two runs at once on a slow board in its terminal's default settings: frames "
         "interleaved, the terminal not raw, or its settings not put back", None, SENT_WHOLE,
         [WHOLE, WHOLE], board=["--cooked", "--delay", "200"], at_once=2),
    Send("standard error closed: log lines sent into the board", None, SENT_WHOLE, [WHOLE],
         closed=True),
    Send("a character device that answers nothing: no status taken for acceptance", a_null_device,
         [IMAGE_OPENED, DEVICE_OPENED, *HEADER_SENT, TAKEN,
          "Debug: Failed to read tx status: end of file" + UPDATE, FAILED], board=None),
    Send("a regular file at the device path: frames written into it", a_regular_file,
         [IMAGE_OPENED, "Debug: Couldn't open device" + SETUP, FAILED], board=None),
    Send("a FIFO at the image path: waited on, or sent", a_fifo, IMAGE_REFUSED),
    Send("a link at the image path: followed", a_link_out_of_the_tree, IMAGE_REFUSED),
    Send("a linked firmware directory: followed", a_linked_firmware_directory, IMAGE_REFUSED),
    Send("the largest image the header can announce: refused", an_image(LARGEST_IMAGE),
         [IMAGE_OPENED, DEVICE_OPENED,
          'Debug: Firmware length = 4294967295 ( "0xffffffff" )' + UPDATE,
          'Debug: Complete Checksum = 0 ( "0x0" )' + UPDATE,
          'Debug: Header Checksum Sent: 1020 ( "0x3fc" )' + UPDATE,
          "Debug: Send ok" + UPDATE, TAKEN, "Debug: Bad tx status ( 7 )" + UPDATE, FAILED],
         [([512], "refused", False, 0x0C)], board=["--refuse", "1:7"]),
    Send("an image too large to announce: announced cut", an_image(2**32),
         [IMAGE_OPENED, DEVICE_OPENED, "Debug: Firmware too large: 4294967296 bytes, the header "
          f"announces at most {LARGEST_IMAGE}" + UPDATE, FAILED]),
]


class BlockingUpdate(BoardTestCase):
    """Every run ends within its wait and drops the on-boot request; only a regular file in the
    firmware tree goes to the board, and only to a character device."""

    def test_sends(self):
        for row in SENDS:
            with self.subTest(row.name):
                box.reset()
                write(ON_BOOT_FLAG)
                write(box.PROGRESS_FILE, str(EXTRACTED).encode())
                write(box.DSP_IMAGE, IMAGE)
                if row.closed:
                    shutil.rmtree(path(os.path.dirname(box.LOG_FILE)))
                before = self.lay_out(row)
                closing = (lambda: os.close(2)) if row.closed else None
                runs = self.run_within("--blockingdspupdate", STATUS_WAIT_MS, row.at_once,
                                       preexec_fn=closing)
                self.assertEqual([run.stdout for run in runs], [b""] * row.at_once)
                log, expected = runs[-1].log, [] if row.closed else [*STARTED, *row.log]
                if row.at_once > 1:
                    log, expected = sorted(log), sorted(expected * row.at_once)
                self.assertEqual(log, expected)
                self.assertFalse(exists(ON_BOOT_FLAG))
                self.assertProgress(EXTRACTED)
                self.assertBoardLeft(row, before, row.transfers)


# Each stop signal with its default action, and one the tool was started with ignored, as nohup
# starts a program: the board then answers late, so that the signal comes while the transfer goes
# on, and the transfer ends as ever.
STOPS = [(signal.SIGTERM, False), (signal.SIGINT, False), (signal.SIGHUP, False),
         (signal.SIGHUP, True)]


class StopWhileTheBoardIsRaw(BoardTestCase):
    """A signal that stops the tool while it holds the terminal raw ends it as ever, with the
    terminal's own settings put back; one it was started with ignored stays ignored."""

    def test_stops(self):
        for stop, ignored in STOPS:
            with self.subTest(signal=stop.name, ignored=ignored):
                box.reset()
                write(box.DSP_IMAGE, IMAGE)
                self.start_board("--cooked", *(["--delay", "500"] if ignored else ["--silent"]))
                settings = terminal_settings()
                log_start = len(box.log_bytes())
                handling = signal.SIG_IGN if ignored else signal.SIG_DFL
                tool = box.start_tool("--blockingdspupdate",
                                      preexec_fn=lambda: signal.signal(stop, handling))
                box.wait_for_line(TAKEN, log_start)
                self.assertNotEqual(terminal_settings(), settings)
                tool.send_signal(stop)
                run = box.finish(tool, log_start, timeout=STATUS_WAIT_MS / 1000 + LEEWAY_S)
                rest = [*DATA_SENT, TAKEN, SUCCEEDED] if ignored else []
                self.assertEqual((run.returncode, run.log), (1 if ignored else -stop, [
                    *STARTED, IMAGE_OPENED, DEVICE_OPENED, *HEADER_SENT, TAKEN, *rest]))
                self.assertEqual(terminal_settings(), settings)


if __name__ == "__main__":
    unittest.main()

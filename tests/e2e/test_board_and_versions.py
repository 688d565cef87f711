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
NOT_A_DEVICE = [IMAGE_OPENED, "Debug: Couldn't open device" + SETUP, FAILED]
LARGEST_IMAGE = 2**32 - 1  # what the header's 32 bits can announce


def too_large(size):
    return [IMAGE_OPENED, DEVICE_OPENED, f"Debug: Firmware too large: {size} bytes, the header "
            f"announces at most {LARGEST_IMAGE}" + UPDATE, FAILED]


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

def nothing():
    pass


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


@dataclass
class Query:
    name: str
    place: Optional[Callable]  # None: a board, with the options below
    dsp: str  # "DSP Firmware Version"
    log: list  # between "Getting versions..." and the report
    board: list = field(default_factory=list)
    held: bool = False  # another program of the box holds the board's lock meanwhile
    version_file: Optional[bytes] = b"1.2.3\n"
    firmware: str = "1.2.3\n"  # "Firmware Version"


QUERIES = [
    Query("a version file of several lines: more than its first line, or its line end lost",
          None, "2.8", [], version_file=b"4.5.6-rc1\nbuilt yesterday\n", firmware="4.5.6-rc1\n"),
    Query("a NUL in the version file: what follows reported", None, "2.8", [],
          version_file=b"1.2\x00junk\n", firmware="1.2"),
    Query("no version file: not reported as Unknown", None, "2.8", [],
          version_file=None, firmware="Unknown"),
    Query("a board another program holds: asked all the same", None, "", held=True,
          log=[f"Debug: Could not lock {path(box.DSP_DEVICE)}: still in use after "
               f"{QUERY_WAIT_MS} ms" + INTERROGATOR, UNOPENED]),
    Query("a board that takes no request: waited on past the wait", None, "",
          ["Debug: Failed to flush get version request (virtual QString "
           "cUSBInterrogator::GetVersion())"], board=["--stop-reading", "0"]),
    Query("nothing at the device path: made there, or not logged", nothing, "", [UNOPENED]),
]


class VersionReport(BoardTestCase):
    def test_queries(self):
        for row in QUERIES:
            with self.subTest(row.name):
                box.reset()
                if row.version_file is not None:
                    write(VERSION_FILE, row.version_file)
                if row.place is None:
                    self.start_board(*row.board)
                else:
                    row.place()
                before = device_path()
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
                self.assertEqual(device_path(), before)
                if row.place is None:
                    self.simulator.stop()
                    self.assertEqual(self.simulator.report["errors"], [])


@dataclass
class Transfer:
    """A transfer as the board saw it."""
    frame_lengths: list
    result: str  # "complete", "refused" or "incomplete"
    intact: bool  # the whole image arrived unchanged
    command: int = 0x0C  # update mode 0's


WHOLE = Transfer([512, 12], "complete", intact=True)


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
    Send("a regular file at the device path: frames written into it", a_regular_file, NOT_A_DEVICE,
         board=None),
    Send("an empty image: not counted as sent", an_image(0),
         [IMAGE_OPENED, DEVICE_OPENED, SUCCEEDED]),
    Send("a FIFO at the image path: waited on, or sent", a_fifo, IMAGE_REFUSED),
    Send("a link at the image path: followed", a_link_out_of_the_tree, IMAGE_REFUSED),
    Send("a linked firmware directory: followed", a_linked_firmware_directory, IMAGE_REFUSED),
    Send("the largest image the header can announce: refused", an_image(LARGEST_IMAGE),
         [IMAGE_OPENED, DEVICE_OPENED,
          'Debug: Firmware length = 4294967295 ( "0xffffffff" )' + UPDATE,
          'Debug: Complete Checksum = 0 ( "0x0" )' + UPDATE,
          'Debug: Header Checksum Sent: 1020 ( "0x3fc" )' + UPDATE,
          "Debug: Send ok" + UPDATE, TAKEN, "Debug: Bad tx status ( 7 )" + UPDATE, FAILED],
         [Transfer([512], "refused", intact=False)], board=["--refuse", "1:7"]),
    Send("an image too large to announce: announced cut", an_image(2**32), too_large(2**32)),
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
                if row.place is not None:
                    row.place()
                settings = None
                if row.board is not None:
                    self.start_board(*row.board)
                    settings = terminal_settings()
                before = device_path()
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
                self.assertEqual(device_path(), before)
                if row.board is not None:
                    self.assertEqual(terminal_settings(), settings)
                    self.simulator.stop()
                    seen = [Transfer(transfer["frame_lengths"], transfer["result"],
                                     transfer["intact"], transfer["command"])
                            for transfer in self.simulator.transfers]
                    self.assertEqual(seen, row.transfers)
                    self.assertEqual(self.simulator.report["frames"],
                                     sum(len(transfer.frame_lengths) for transfer in seen))


@dataclass
class Stop:
    signal: signal.Signals
    ignored: bool  # the tool was started with it ignored, as nohup starts a program
    board: list
    returncode: int
    log: list  # after the header was taken


STOPS = [
    Stop(signal.SIGTERM, False, ["--cooked", "--silent"], -signal.SIGTERM, []),
    Stop(signal.SIGINT, False, ["--cooked", "--silent"], -signal.SIGINT, []),
    Stop(signal.SIGHUP, False, ["--cooked", "--silent"], -signal.SIGHUP, []),
    # The board answers late, so the signal comes while the transfer goes on.
    Stop(signal.SIGHUP, True, ["--cooked", "--delay", "500"], 1, [*DATA_SENT, TAKEN, SUCCEEDED]),
]


class StopWhileTheBoardIsRaw(BoardTestCase):
    """A signal that stops the tool while it holds the terminal raw ends it as ever, with the
    terminal's own settings put back; one it was started with ignored stays ignored."""

    def test_stops(self):
        for row in STOPS:
            with self.subTest(signal=row.signal.name, ignored=row.ignored):
                box.reset()
                write(box.DSP_IMAGE, IMAGE)
                self.start_board(*row.board)
                settings = terminal_settings()
                log_start = len(box.log_bytes())
                handling = signal.SIG_IGN if row.ignored else signal.SIG_DFL
                tool = box.start_tool("--blockingdspupdate",
                                      preexec_fn=lambda: signal.signal(row.signal, handling))
                box.wait_for_line(TAKEN, log_start)
                self.assertNotEqual(terminal_settings(), settings)
                tool.send_signal(row.signal)
                run = box.finish(tool, log_start, timeout=STATUS_WAIT_MS / 1000 + LEEWAY_S)
                self.assertEqual(run.returncode, row.returncode)
                self.assertEqual(run.log, [*STARTED, IMAGE_OPENED, DEVICE_OPENED, *HEADER_SENT,
                                           TAKEN, *row.log])
                self.assertEqual(terminal_settings(), settings)


if __name__ == "__main__":
    unittest.main()

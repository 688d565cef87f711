"""The download step against a real HTTP server on loopback that puts on the wire exactly the
bytes each row gives it. One table of server behaviours, each checked for what the step prints,
the pair it leaves byte for byte, where it asked the archive to start, the partial body it keeps,
the messages it logs, its peak memory and its time."""

import hashlib
import itertools
import json
import os
import random
import re
import resource
import signal
import time
import unittest
import zlib
from dataclasses import dataclass, field
from typing import Callable

import box
import home
from box import BoxTestCase, write
from firmware_server import (ARCHIVE_PATH, CHECKSUM_PATH, FirmwareServer, Reply, head, plain,
                             trickled)

ARCHIVE = random.Random(6).randbytes(6 << 20)
DIGEST = hashlib.md5(ARCHIVE).hexdigest().encode()
# The companion names the archive by the name it has on the server and in the home.
CHECKSUM = DIGEST + b"  " + os.path.basename(box.ARCHIVE_FILE).encode() + b"\n"
OTHER_DIGEST = hashlib.md5(b"another").hexdigest()
OLD = {box.ARCHIVE_FILE: b"previous archive", box.CHECKSUM_FILE: b"previous checksum"}
NEW = {box.ARCHIVE_FILE: ARCHIVE, box.CHECKSUM_FILE: CHECKSUM}
SIZE = len(ARCHIVE)
THIRD = SIZE // 3
ETAG = '"archive-1"'
STALL_MS = box.LIMIT["DOWNLOAD_STALL_TIMEOUT_MS"]
PAUSE_MS = box.LIMIT["DOWNLOAD_RETRY_PAUSE_MS"]
# A reply that comes this late is handled after the other one (seconds).
LATE = 0.3
# Seconds a server that cuts a transfer waits before it closes: Qt drops what it had received but
# not yet handed on when a connection closes.
LINGER = 0.2
# What the step may take whatever the server sends (about 15 MiB, 25 MiB with the sanitizers,
# room for an emulator): far below a 256 MiB inflated body or an endless one held in memory.
PEAK_MEMORY_KIB = 128 << 10


def printed(**outcomes):
    """The standard output for outcomes such as Firmware=(203, False)."""
    members = {}
    for name, (error, placed) in outcomes.items():
        members[f"{name} Download Error"] = error
        members[f"{name} Download Successful"] = placed
    return (json.dumps(members, indent=4, sort_keys=True) + "\n").encode()


BOTH_PLACED = printed(Checksum=(0, True), Firmware=(0, True))


def archive_failed(error):
    return printed(Checksum=(0, False), Firmware=(error, False))


def whole(body, *lines, delay=0):
    """A body with its true length, after any further header lines."""
    return Reply(head(f"Content-Length: {len(body)}", *lines, "Connection: close"),
                 lambda: [body], delay=delay)


def gzip_bomb(inflated_size):
    """A small gzip stream of zeros that inflates to inflated_size bytes."""
    compressor = zlib.compressobj(9, zlib.DEFLATED, 31)
    zeros = bytes(1 << 20)
    return b"".join(compressor.compress(zeros) for _ in range(inflated_size >> 20)) + \
        compressor.flush()


def chunked(body):
    """body in chunked framing, without the closing zero-size chunk."""
    return [b"%x\r\n" % len(body[at:at + (64 << 10)]) + body[at:at + (64 << 10)] + b"\r\n"
            for at in range(0, len(body), 64 << 10)]


def lingering(data):
    yield data
    time.sleep(LINGER)


def asked_from(request):
    """Where the request asked the archive to start: the Range's first byte, 0 without one."""
    match = re.search(rb"\r\nRange: bytes=(\d+)-\r\n", request)
    return int(match[1]) if match else 0


def resuming(cuts=(), stall_at=None, validator=f"ETag: {ETAG}", delay=0):
    """The archive as a server sends it that honours a range asked with If-Range naming its
    validator: the rest in a 206, else all of it in a 200. The connection closes at the first of
    cuts beyond where the answer starts, or falls silent at stall_at."""
    value = validator.partition(": ")[2]

    def answer(request):
        honoured = re.search(rb"\r\nIf-Range: (.*?)\r\n", request)
        start = asked_from(request) if honoured and honoured[1].decode() == value else 0
        end = min([at for at in (*cuts, stall_at or 0) if at > start], default=SIZE)
        lines = [f"Content-Length: {SIZE - start}", validator, "Connection: close"]
        if start:
            lines.insert(0, f"Content-Range: bytes {start}-{SIZE - 1}/{SIZE}")
        return Reply(head(*lines, status=206 if start else 200),
                     lambda: lingering(ARCHIVE[start:end]), delay=delay, stall=end == stall_at)
    return answer


def rest(start, etag=ETAG, delay=0):
    """A 206 that claims to hold the archive from start on."""
    return Reply(head(f"Content-Range: bytes {start}-{SIZE - 1}/{SIZE}",
                      f"Content-Length: {SIZE - start}", f"ETag: {etag}", "Connection: close",
                      status=206), lambda: [ARCHIVE[start:]], delay=delay)


@dataclass
class Earlier:
    """A run before the one a row is about, against these archive replies (none: no run): let
    end, or killed at its first log line that holds kill_at; then afterwards changes the box."""
    archive: tuple
    checksum: Reply = field(default_factory=lambda: whole(CHECKSUM))
    kill_at: str = ""
    afterwards: Callable = lambda: None


# Cut at a third, and each retry cut after one byte more: what is kept once the retries are spent.
KEPT = THIRD + 3
KEEPS_A_PART = Earlier((resuming(cuts=range(THIRD, KEPT + 1)),))


def kept_part(body=ARCHIVE[:KEPT]):
    """What a run that kept the archive's first KEPT bytes leaves for the next one, as the tool
    writes it: the body, and its record, which a later version of the tool must still read."""
    write(box.PARTIAL_ARCHIVE_FILE, body)
    write(box.PARTIAL_ARCHIVE_RECORD_FILE, json.dumps(
        {"kept": KEPT, "length": SIZE, "validator": ETAG}, separators=(",", ":")).encode() + b"\n")


KEPT_PART = Earlier((), afterwards=kept_part)
LINK_AT_THE_PARTIAL_BODY = Earlier((), afterwards=lambda: os.symlink(
    box.path(box.LOG_FILE), box.path(box.PARTIAL_ARCHIVE_FILE)))


@dataclass
class Behaviour:
    name: str
    archive: object  # a Reply, or a tuple of them: one for each request in turn, the last again
    printed: tuple  # what the step prints: one of these (Qt may see a fault in more than one way)
    files: dict  # the archive and companion afterwards: OLD or NEW, byte for byte
    checksum: Reply = field(default_factory=lambda: whole(CHECKSUM))
    asked: tuple = (0,)  # where the requests for the archive asked it to start, in any order
    kept: bytes = None  # the partial body kept afterwards, if any
    logged: tuple = ()  # messages the log holds, in this order among others
    earlier: Earlier = None
    at_once: int = 1  # steps started side by side
    largest_file: int = resource.RLIM_INFINITY  # the room the home has left


BEHAVIOURS = [
    Behaviour("a chunked body, whole", Reply(head("Transfer-Encoding: chunked",
                                                  "Connection: close"),
                                             lambda: chunked(ARCHIVE) + [b"0\r\n\r\n"]),
              (BOTH_PLACED,), NEW),
    Behaviour("a trickle, each pause within the stall limit, longer in all than it",
              trickled(ARCHIVE, pieces=2, pause=STALL_MS * 0.6 / 1000), (BOTH_PLACED,), NEW),
    Behaviour("a gzip body that inflates to 256 MiB: refused before a byte is inflated",
              whole(gzip_bomb(256 << 20), "Content-Encoding: gzip", delay=LATE),
              (archive_failed(299),), OLD),
    Behaviour("a length the body falls short of, closed, no validator",
              plain(ARCHIVE, close_after=100000, delay=LATE), (archive_failed(2),), OLD),
    Behaviour("a companion that describes another archive", whole(ARCHIVE),
              (archive_failed(299),), OLD,
              checksum=whole(OTHER_DIGEST.encode() + b"  Firmware.tar.xz\n", delay=LATE),
              logged=(f'Calculated: "{DIGEST.decode()}"', f'Read:       "{OTHER_DIGEST}"',
                      "The checksum does not describe the archive: the previous files stay",
                      f"Dropped the partial body ({SIZE} bytes): the archive does not match "
                      "the companion")),
    Behaviour("an endless companion", whole(ARCHIVE, delay=LATE),
              (printed(Checksum=(299, False)),), OLD,
              checksum=Reply(head("Connection: close"), lambda: itertools.repeat(CHECKSUM * 100))),
    Behaviour("an endless archive into a nearly full home",
              Reply(head("Connection: close"), lambda: itertools.repeat(ARCHIVE[:1 << 20]),
                    delay=LATE),
              (archive_failed(0),), OLD, largest_file=256 << 10),
    Behaviour("a 404 for the archive, the companion late: only what was handled is printed; a "
              "link planted at the partial body's name goes all the same",
              plain(status=404), (printed(Firmware=(203, False)),), OLD,
              checksum=whole(CHECKSUM, delay=LATE), earlier=LINK_AT_THE_PARTIAL_BODY),
    Behaviour("an interim 103 before the 200: Qt takes it for the answer",
              Reply(b"HTTP/1.1 103 Early Hints\r\nLink: </x>; rel=preload\r\n\r\n"
                    + head(f"Content-Length: {SIZE}", "Connection: close"), lambda: [ARCHIVE]),
              (printed(Firmware=(299, False)),), OLD, checksum=whole(CHECKSUM, delay=LATE)),
    # Qt parses the header whole at its end, holding the step's thread, unless a slow machine
    # lets the stall watchdog end the transfer while the lines still arrive; either way the step
    # ends in time. The companion may have been handled first.
    Behaviour("100,000 header lines at once hold Qt: the step ends itself",
              whole(ARCHIVE, *(f"X-Line-{line}: {line}" for line in range(100000))),
              (printed(Checksum=(5, False), Firmware=(5, False)), archive_failed(5),
               printed(Firmware=(5, False))), OLD),
    Behaviour("a companion trickled two bytes at a time: too little to keep a transfer alive",
              whole(ARCHIVE), (printed(Checksum=(5, False), Firmware=(0, False)),), OLD,
              checksum=trickled(CHECKSUM, pieces=len(CHECKSUM), pause=STALL_MS / 1500),
              logged=(f"Less than {box.LIMIT['DOWNLOAD_STALL_MIN_BYTES']} bytes received in "
                      f'{STALL_MS} ms: giving up on QUrl("http://{box.FIRMWARE_SERVER}'
                      f'{CHECKSUM_PATH}")',)),
    Behaviour("a cut at a third, a stall at two thirds: resumed each time",
              resuming(cuts=[THIRD], stall_at=2 * THIRD), (BOTH_PLACED,), NEW,
              asked=(0, THIRD, 2 * THIRD),
              logged=(f"The transfer broke off at byte {THIRD} of {SIZE} (error 2): "
                      f"asking for the rest in {PAUSE_MS} ms",
                      f"Resumed at byte {THIRD} of {SIZE}",
                      f"The transfer broke off at byte {2 * THIRD} of {SIZE} (error 5): "
                      f"asking for the rest in {2 * PAUSE_MS} ms")),
    Behaviour("a cut, resumed by Last-Modified",
              resuming(cuts=[THIRD], validator="Last-Modified: Sun, 06 Dec 2026 06:10:01 GMT"),
              (BOTH_PLACED,), NEW, asked=(0, THIRD)),
    Behaviour("a cut, then the range ignored", (resuming(cuts=[THIRD]), whole(ARCHIVE)),
              (BOTH_PLACED,), NEW, asked=(0, THIRD),
              logged=("The server ignored the range: starting over from byte 0",)),
    Behaviour("a cut, then the rest from a byte later", (resuming(cuts=[THIRD]), rest(THIRD + 1)),
              (archive_failed(299),), OLD, asked=(0, THIRD),
              logged=(f"Dropped the partial body ({THIRD} bytes): the server sent "
                      f'"bytes {THIRD + 1}-{SIZE - 1}/{SIZE}" for the rest from byte {THIRD} of '
                      f"{SIZE}",)),
    Behaviour("a cut, then a 416", (resuming(cuts=[THIRD]), plain(status=416)),
              (archive_failed(299),), OLD, asked=(0, THIRD),
              logged=(f"Dropped the partial body ({THIRD} bytes): the server answered the "
                      "request for the rest with status 416",)),
    Behaviour("a chunked body with an ETag, cut: no length to check the rest against",
              Reply(head("Transfer-Encoding: chunked", f"ETag: {ETAG}", "Connection: close"),
                    lambda: lingering(b"".join(chunked(ARCHIVE))[:THIRD])),
              (archive_failed(2),), OLD),
    Behaviour("a cut, and each retry cut after a byte: the partial body kept",
              KEEPS_A_PART.archive, (archive_failed(2),), OLD,
              asked=(0, THIRD, THIRD + 1, THIRD + 2), kept=ARCHIVE[:KEPT]),
    Behaviour("the rest of a kept body, its ETag changed since", rest(KEPT, '"archive-2"', LATE),
              (archive_failed(299),), OLD, asked=(KEPT,), earlier=KEPT_PART,
              logged=(f"Dropped the partial body ({KEPT} bytes): the server's validator "
                      f'changed from {ETAG} to "archive-2"',)),
    Behaviour("the rest of a body kept by a killed run", resuming(), (BOTH_PLACED,), NEW,
              asked=(THIRD,), earlier=Earlier((resuming(cuts=[THIRD]), Reply(b"", stall=True)),
                                              kill_at="asking for the rest")),
    Behaviour("a kept body corrupted: one failed run", resuming(), (archive_failed(299),), OLD,
              asked=(KEPT,),
              earlier=Earlier((), afterwards=lambda: kept_part(ARCHIVE[:1000] + b"!" +
                                                               ARCHIVE[1001:KEPT]))),
    Behaviour("a kept body shorter than its record", resuming(), (BOTH_PLACED,), NEW,
              earlier=Earlier((), afterwards=lambda: kept_part(ARCHIVE[:THIRD // 2])),
              logged=(f"Dropped the partial body of an earlier run: {THIRD // 2} bytes without "
                      "a record that fits them",)),
    Behaviour("a whole archive kept when the companion failed: its last byte asked again",
              resuming(), (BOTH_PLACED,), NEW, asked=(SIZE - 1,),
              earlier=Earlier((resuming(),), checksum=plain(status=404, delay=LATE))),
    Behaviour("two downloads at once while a body is kept: one resumes, one starts over",
              resuming(delay=LATE), (BOTH_PLACED,), NEW, asked=(0, KEPT), earlier=KEPT_PART,
              at_once=2),
]


def run_downloads(largest_file, at_once=1):
    """Runs the step at_once times side by side in a home with room for largest_file bytes.
    Returns the runs and the messages they logged, without level and function."""
    def limit_room():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (largest_file, largest_file))

    log_start = len(box.log_bytes())
    tools = [box.start_tool("--downloadfirmware", preexec_fn=limit_room, peak=True,
                            start_new_session=True) for _ in range(at_once)]
    runs = [box.finish(tool, log_start, timeout=60, check_exit=True) for tool in tools]
    return runs, runs[-1].log


class DownloadTestCase(BoxTestCase):
    def setUp(self):
        super().setUp()
        self.server = FirmwareServer(int(box.FIRMWARE_SERVER.rpartition(":")[2])).start()
        self.addCleanup(self.server.stop)

    def serve(self, archive, checksum):
        self.server.answer(ARCHIVE_PATH, *(archive if isinstance(archive, tuple) else (archive,)))
        self.server.answer(CHECKSUM_PATH, checksum)

    def assertHomeHolds(self, files, kept=None):
        """Exactly these files beside the log directory, and the partial body where one is kept:
        no temporary file left behind."""
        expected = {home.PERSISTENT_DATA, home.ARCHIVE, home.CHECKSUM}
        self.assertEqual(home.entries(), expected | (home.PARTIAL_BODY if kept else set()))
        if kept:
            files = {**files, box.PARTIAL_ARCHIVE_FILE: kept}
        for name, content in files.items():
            self.assertFileBytes(name, content)


class ServerBehaviours(DownloadTestCase):
    def run_earlier(self, earlier):
        if not earlier.archive:
            earlier.afterwards()
            return
        self.serve(earlier.archive, earlier.checksum)
        log_start = len(box.log_bytes())
        tool = box.start_tool("--downloadfirmware")
        if earlier.kill_at:
            box.wait_for_line(earlier.kill_at, log_start)
            tool.kill()
        tool.communicate(timeout=30)
        earlier.afterwards()

    def test_each_server_behaviour_leaves_the_old_pair_or_the_new_one(self):
        for behaviour in BEHAVIOURS:
            with self.subTest(behaviour.name):
                box.reset()
                for name, content in OLD.items():
                    write(name, content)
                if behaviour.earlier:
                    self.run_earlier(behaviour.earlier)
                self.serve(behaviour.archive, behaviour.checksum)
                self.server.requests.clear()
                runs, log = run_downloads(behaviour.largest_file, behaviour.at_once)
                for run in runs:
                    self.assertIn(run.stdout, behaviour.printed)
                    self.assertLess(run.peak_kib, PEAK_MEMORY_KIB)
                    # A refused or failed transfer ends the step without waiting for the rest; a
                    # stall costs the limit once.
                    self.assertLess(run.seconds, STALL_MS / 1000 + 5)
                self.assertHomeHolds(behaviour.files, behaviour.kept)
                # Qt itself sends a request again at times when its connection closes, and drops
                # that copy at once: which starts were asked is what counts.
                self.assertEqual({asked_from(request) for request in self.server.requests
                                  if request.startswith(f"GET {ARCHIVE_PATH} ".encode())},
                                 set(behaviour.asked))
                messages = iter(box.message(line) for line in log)
                for expected in behaviour.logged:
                    self.assertIn(expected, messages)
                self.assertEqual([line for line in log if "Warning" in line], [])


RUNNING_VERSION_FILE = box.PATH["ROOTFS_RUNNING_UINITRD_VERSION_FILE"]
# The companion as served, the running version's file (None: none), and the version's part of
# the User-Agent.
GOOD_RUNS = [(CHECKSUM, None, b"Unknown"),
             (DIGEST + b"\r\n", b"1.2.3\r\nsecond line\n", b"1.2.3")]


class GoodDownload(DownloadTestCase):
    def test_good_transfers_and_what_they_ask_for(self):
        for checksum, running_version, user_agent_version in GOOD_RUNS:
            with self.subTest(user_agent_version):
                box.reset()
                if running_version is not None:
                    write(RUNNING_VERSION_FILE, running_version)
                self.serve(whole(ARCHIVE), whole(checksum))
                self.server.requests.clear()

                run = box.run_tool("--downloadfirmware")

                self.assertEqual(run.stdout, BOTH_PLACED)
                self.assertHomeHolds({box.ARCHIVE_FILE: ARCHIVE, box.CHECKSUM_FILE: checksum})
                heads = sorted(self.server.requests)
                self.assertEqual([request.split(b"\r\n")[0] for request in heads],
                                 [f"GET {path} HTTP/1.1".encode()
                                  for path in (ARCHIVE_PATH, CHECKSUM_PATH)])
                for request in heads:
                    self.assertIn(f"\r\nHost: {box.FIRMWARE_SERVER}\r\n".encode(), request)
                    self.assertIn(b"\r\nAccept-Encoding: identity\r\n", request)
                    # Another header follows: the value did not end the head early.
                    self.assertRegex(request, rb"\r\nUser-Agent: Quorvane PXM RirarUde "
                                     + user_agent_version + rb"\r\n[\w-]+: ")


if __name__ == "__main__":
    unittest.main()

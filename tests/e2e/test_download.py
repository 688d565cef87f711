"""The download step on the real binary, against a real HTTP server on loopback that puts on the
wire exactly the bytes each case gives it, well-behaved or not."""

import hashlib
import itertools
import json
import os
import random
import re
import resource
import signal
import subprocess
import tempfile
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

SEED = 6
ARCHIVE = random.Random(SEED).randbytes(6 << 20)
DIGEST = hashlib.md5(ARCHIVE).hexdigest().encode()
# The companion names the archive by the name it has on the server and in the home.
COMPANION_TAIL = b"  " + os.path.basename(box.ARCHIVE_FILE).encode() + b"\n"
CHECKSUM = DIGEST + COMPANION_TAIL
OLD = {box.ARCHIVE_FILE: b"previous archive", box.CHECKSUM_FILE: b"previous checksum"}
NEW = {box.ARCHIVE_FILE: ARCHIVE, box.CHECKSUM_FILE: CHECKSUM}

# A reply that comes this late is handled after the other one (seconds).
LATE = 0.5
STALL_MS = box.LIMIT["DOWNLOAD_STALL_TIMEOUT_MS"]
PAUSE_MS = box.LIMIT["DOWNLOAD_RETRY_PAUSE_MS"]
# Memory the step may take whatever the server sends: what it needs (about 15 MiB, 25 MiB with
# the sanitizers) with room for an emulator's own, far below what the body that inflates to
# 256 MiB would take inflated, or an endless body held in memory.
PEAK_MEMORY_KIB = 128 << 10
# The file size a nearly full home still lets the step write.
ROOM_LEFT = 256 << 10


def printed(**outcomes):
    """The standard output for outcomes such as Firmware=(203, False)."""
    members = {}
    for name, (error, placed) in outcomes.items():
        members[f"{name} Download Error"] = error
        members[f"{name} Download Successful"] = placed
    return (json.dumps(members, indent=4, sort_keys=True) + "\n").encode()


BOTH_PLACED = printed(Checksum=(0, True), Firmware=(0, True))


def logged(text, function):
    return f"Debug: {text} (void cDovozUdiZedezod::{function}())"


def whole(body, *lines, delay=0):
    """A body with its true length, after any further header lines."""
    return Reply(head(f"Content-Length: {len(body)}", *lines, "Connection: close"),
                 lambda: [body], delay=delay)


def gzipped(data):
    compressor = zlib.compressobj(6, zlib.DEFLATED, 31)
    return compressor.compress(data) + compressor.flush()


def gzip_bomb(inflated_size):
    """A small gzip stream of zeros that inflates to inflated_size bytes."""
    compressor = zlib.compressobj(9, zlib.DEFLATED, 31)
    zeros = bytes(1 << 20)
    pieces = [compressor.compress(zeros) for _ in range(inflated_size >> 20)]
    return b"".join(pieces) + compressor.flush()


GZIP_ARCHIVE = gzipped(ARCHIVE)
GZIP_BOMB = gzip_bomb(256 << 20)


def chunks(body, size=64 << 10):
    """body in chunked framing, without the closing zero-size chunk."""
    framed = []
    for at in range(0, len(body), size):
        data = body[at:at + size]
        framed.append(b"%x\r\n" % len(data) + data + b"\r\n")
    return framed


def chunked(pieces, delay=0):
    return Reply(head("Transfer-Encoding: chunked", "Connection: close"), lambda: pieces,
                 delay=delay)


CUTS = random.Random(SEED)


def cut_at_a_random_chunk_boundary():
    """Some of the archive's chunks, never all of them, then the connection closes: a new cut
    for each request, the same ones on each run of the test."""
    all_chunks = chunks(ARCHIVE)
    return all_chunks[:CUTS.randrange(1, len(all_chunks))]


def after_one_chunk(size_line):
    """One good chunk of 50 KiB, then a chunk whose size line is size_line."""
    return chunks(ARCHIVE[:50 << 10]) + [size_line + b"\r\n" + ARCHIVE[50 << 10:100 << 10]]


THIRD = len(ARCHIVE) // 3
ETAG = '"archive-1"'
# Seconds a server that cuts a transfer waits before it closes the connection.
LINGER = 0.5
# Answers a request with no head, only silence.
SILENT = Reply(b"", stall=True)


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
        end = min([at for at in (*cuts, stall_at or 0) if at > start], default=len(ARCHIVE))
        lines = [f"Content-Length: {len(ARCHIVE) - start}", validator, "Connection: close"]
        if start:
            lines.insert(0, f"Content-Range: bytes {start}-{len(ARCHIVE) - 1}/{len(ARCHIVE)}")
        return Reply(head(*lines, status=206 if start else 200),
                     lambda: lingering(ARCHIVE[start:end]), delay=delay, stall=end == stall_at)
    return answer


def lingering(data):
    """data, then time for the step to take all of it before the connection closes: Qt drops
    what it had not handed on when a connection closes."""
    yield data
    time.sleep(LINGER)


def rest(start, length=len(ARCHIVE), etag=ETAG, delay=0):
    """A 206 that claims to hold the archive from start on, of length bytes in all."""
    return Reply(head(f"Content-Range: bytes {start}-{length - 1}/{length}",
                      f"Content-Length: {len(ARCHIVE) - start}", f"ETag: {etag}",
                      "Connection: close", status=206), lambda: [ARCHIVE[start:]], delay=delay)


def change_partial_body(at, content=None):
    """Overwrites the kept body from byte at on with content, or cuts it there."""
    with open(box.path(box.PARTIAL_ARCHIVE_FILE), "r+b") as f:
        if content is None:
            f.truncate(at)
        else:
            f.seek(at)
            f.write(content)


@dataclass
class Earlier:
    """A run before the one a behaviour is about, against these archive replies: let end, or
    killed at its first log line that holds kill_at; then afterwards changes the box."""
    archive: tuple
    checksum: Reply = field(default_factory=lambda: whole(CHECKSUM))
    kill_at: str = ""
    afterwards: Callable = lambda: None


# Cut at a third, and each retry cut after one byte more: what is kept when the retries are
# spent.
KEPT = THIRD + 3
KEEPS_A_PART = Earlier((resuming(cuts=range(THIRD, KEPT + 1)),))


@dataclass
class Behaviour:
    name: str
    archive: tuple  # one Reply for each request in turn, the last one from then on
    checksum: Reply
    # What the step prints: one object, or one per way Qt can see the fault (each run must
    # print one of them).
    printed: tuple
    files: dict  # the archive and companion afterwards: OLD or NEW, byte for byte
    runs: int = 1
    largest_file: int = resource.RLIM_INFINITY  # the room the home has left
    asked: tuple = (0,)  # where the requests for the archive asked it to start, in any order
    kept: bytes = None  # the partial body kept afterwards, if any
    logged: tuple = ()  # messages the log holds, in this order among others
    earlier: Earlier = None
    at_once: int = 1  # steps started side by side


BEHAVIOURS = [
    Behaviour("a chunked body, whole",
              archive=chunked(chunks(ARCHIVE) + [b"0\r\n\r\n"]),
              checksum=whole(CHECKSUM),
              printed=(BOTH_PLACED,), files=NEW),
    Behaviour("the identity encoding, named",
              archive=whole(ARCHIVE, "Content-Encoding: identity"),
              checksum=whole(CHECKSUM),
              printed=(BOTH_PLACED,), files=NEW),
    Behaviour("an archive that trickles, each pause well within the stall limit, longer in all",
              archive=trickled(ARCHIVE, pieces=5, pause=STALL_MS / 3000),
              checksum=whole(CHECKSUM),
              printed=(BOTH_PLACED,), files=NEW),
    Behaviour("a gzip body cut half-way, then closed",
              archive=Reply(head(f"Content-Length: {len(GZIP_ARCHIVE)}", "Content-Encoding: gzip",
                                 "Connection: close"),
                            lambda: [GZIP_ARCHIVE[:len(GZIP_ARCHIVE) // 2]], delay=LATE),
              checksum=whole(CHECKSUM),
              printed=(printed(Checksum=(0, False), Firmware=(299, False)),), files=OLD),
    Behaviour("a gzip body that inflates to 256 MiB",
              archive=whole(GZIP_BOMB, "Content-Encoding: gzip", delay=LATE),
              checksum=whole(CHECKSUM),
              printed=(printed(Checksum=(0, False), Firmware=(299, False)),), files=OLD),
    Behaviour("a gzip-encoded companion",
              archive=whole(ARCHIVE, delay=LATE),
              checksum=whole(gzipped(CHECKSUM), "Content-Encoding: gzip"),
              printed=(printed(Checksum=(299, False)),), files=OLD),
    Behaviour("a chunked body cut at a random chunk boundary",
              archive=Reply(head("Transfer-Encoding: chunked", "Connection: close"),
                            cut_at_a_random_chunk_boundary, delay=LATE),
              checksum=whole(CHECKSUM),
              # Qt reports the cut, misses it and waits for more until the stall limit, or
              # misses it and delivers the part, which the digest refuses.
              printed=(printed(Checksum=(0, False), Firmware=(2, False)),
                       printed(Checksum=(0, False), Firmware=(5, False)),
                       printed(Checksum=(0, False), Firmware=(299, False))),
              files=OLD, runs=5),
    Behaviour("a chunk size that is no number",
              archive=chunked(after_one_chunk(b"ZZ")),
              checksum=whole(CHECKSUM),
              printed=(printed(Checksum=(0, False), Firmware=(299, False)),), files=OLD),
    Behaviour("a chunk size beyond 64 bits",
              archive=chunked(after_one_chunk(b"f" * 21)),
              checksum=whole(CHECKSUM),
              printed=(printed(Checksum=(0, False), Firmware=(299, False)),), files=OLD),
    Behaviour("a negative chunk size",
              archive=chunked(after_one_chunk(b"-5")),
              checksum=whole(CHECKSUM),
              printed=(printed(Checksum=(0, False), Firmware=(299, False)),), files=OLD),
    Behaviour("two different lengths, the first short",
              archive=Reply(head("Content-Length: 3000", f"Content-Length: {len(ARCHIVE)}",
                                 "Connection: close"), lambda: [ARCHIVE]),
              checksum=whole(CHECKSUM),
              printed=(printed(Checksum=(0, False), Firmware=(299, False)),), files=OLD),
    Behaviour("no length, closed early",
              archive=Reply(head("Connection: close"), lambda: [ARCHIVE[:len(ARCHIVE) // 2]]),
              checksum=whole(CHECKSUM),
              printed=(printed(Checksum=(0, False), Firmware=(299, False)),), files=OLD),
    Behaviour("a length the body falls short of, closed",
              archive=plain(ARCHIVE, close_after=100000, delay=LATE),
              checksum=whole(CHECKSUM),
              printed=(printed(Checksum=(0, False), Firmware=(2, False)),), files=OLD),
    Behaviour("a companion that describes another archive",
              archive=whole(ARCHIVE),
              checksum=whole(hashlib.md5(b"another").hexdigest().encode() + COMPANION_TAIL),
              printed=(printed(Checksum=(0, False), Firmware=(299, False)),), files=OLD),
    Behaviour("a companion whose line begins with a blank",
              archive=whole(ARCHIVE),
              checksum=whole(b" " + CHECKSUM),
              printed=(printed(Checksum=(0, False), Firmware=(299, False)),), files=OLD),
    Behaviour("an endless companion",
              archive=whole(ARCHIVE, delay=LATE),
              checksum=Reply(head("Connection: close"), lambda: itertools.repeat(CHECKSUM * 100)),
              printed=(printed(Checksum=(299, False)),), files=OLD),
    Behaviour("an endless archive into a nearly full home",
              archive=Reply(head("Connection: close"),
                            lambda: itertools.repeat(ARCHIVE[:1 << 20]), delay=LATE),
              checksum=whole(CHECKSUM),
              printed=(printed(Checksum=(0, False), Firmware=(0, False)),), files=OLD,
              largest_file=ROOM_LEFT),
    Behaviour("a whole archive into a nearly full home",
              archive=whole(ARCHIVE, delay=LATE),
              checksum=whole(CHECKSUM),
              printed=(printed(Checksum=(0, False), Firmware=(0, False)),), files=OLD,
              largest_file=ROOM_LEFT),
    Behaviour("a 404 for the archive, the companion late",
              archive=plain(status=404),
              checksum=whole(CHECKSUM, delay=1),
              printed=(printed(Firmware=(203, False)),), files=OLD),
    Behaviour("a 404 for the archive after a good companion",
              archive=plain(status=404, delay=LATE),
              checksum=whole(CHECKSUM),
              printed=(printed(Checksum=(0, False), Firmware=(203, False)),), files=OLD),
    Behaviour("a redirect for the archive",
              archive=plain(status=301),
              checksum=whole(CHECKSUM, delay=1),
              printed=(printed(Firmware=(299, False)),), files=OLD),
    Behaviour("a 500 for the archive after a good companion",
              archive=plain(status=500, delay=LATE),
              checksum=whole(CHECKSUM),
              printed=(printed(Checksum=(0, False), Firmware=(401, False)),), files=OLD),
    Behaviour("an archive that stalls",
              archive=plain(ARCHIVE, stall_after=100000),
              checksum=whole(CHECKSUM),
              printed=(printed(Checksum=(0, False), Firmware=(5, False)),), files=OLD),
    Behaviour("a 404 for the companion, the archive late",
              archive=whole(ARCHIVE, delay=1),
              checksum=plain(status=404),
              printed=(printed(Checksum=(203, False)),), files=OLD),
    Behaviour("a cut at a third, a stall at two thirds: resumed each time",
              archive=resuming(cuts=[THIRD], stall_at=2 * THIRD),
              checksum=whole(CHECKSUM),
              printed=(BOTH_PLACED,), files=NEW, asked=(0, THIRD, 2 * THIRD),
              logged=(f"The transfer broke off at byte {THIRD} of {len(ARCHIVE)} (error 2): "
                      f"asking for the rest in {PAUSE_MS} ms",
                      f"Resumed at byte {THIRD} of {len(ARCHIVE)}",
                      f"The transfer broke off at byte {2 * THIRD} of {len(ARCHIVE)} (error 5): "
                      f"asking for the rest in {2 * PAUSE_MS} ms")),
    Behaviour("a cut, resumed by Last-Modified",
              archive=resuming(cuts=[THIRD],
                               validator="Last-Modified: Sun, 06 Dec 2026 06:10:01 GMT"),
              checksum=whole(CHECKSUM),
              printed=(BOTH_PLACED,), files=NEW, asked=(0, THIRD)),
    Behaviour("a cut, then the range ignored",
              archive=(resuming(cuts=[THIRD]), whole(ARCHIVE, f"ETag: {ETAG}")),
              checksum=whole(CHECKSUM),
              printed=(BOTH_PLACED,), files=NEW, asked=(0, THIRD),
              logged=("The server ignored the range: starting over from byte 0",)),
    Behaviour("a cut, then the rest from a byte later",
              archive=(resuming(cuts=[THIRD]), rest(THIRD + 1)),
              checksum=whole(CHECKSUM),
              printed=(printed(Checksum=(0, False), Firmware=(299, False)),), files=OLD,
              asked=(0, THIRD),
              logged=(f"Dropped the partial body ({THIRD} bytes): the server sent "
                      f'"bytes {THIRD + 1}-{len(ARCHIVE) - 1}/{len(ARCHIVE)}" for the rest '
                      f"from byte {THIRD} of {len(ARCHIVE)}",)),
    Behaviour("a cut, then the rest of a longer archive",
              archive=(resuming(cuts=[THIRD]), rest(THIRD, length=len(ARCHIVE) + 1)),
              checksum=whole(CHECKSUM),
              printed=(printed(Checksum=(0, False), Firmware=(299, False)),), files=OLD,
              asked=(0, THIRD)),
    Behaviour("a cut, then a 416",
              archive=(resuming(cuts=[THIRD]), plain(status=416)),
              checksum=whole(CHECKSUM),
              printed=(printed(Checksum=(0, False), Firmware=(299, False)),), files=OLD,
              asked=(0, THIRD),
              logged=(f"Dropped the partial body ({THIRD} bytes): the server answered the "
                      "request for the rest with status 416",)),
    Behaviour("a chunked body with an ETag, cut: no length to check the rest against",
              archive=Reply(head("Transfer-Encoding: chunked", f"ETag: {ETAG}",
                                 "Connection: close"),
                            lambda: lingering(b"".join(chunks(ARCHIVE))[:THIRD])),
              checksum=whole(CHECKSUM),
              printed=(printed(Checksum=(0, False), Firmware=(2, False)),), files=OLD),
    Behaviour("a cut, and each retry cut after a byte: the partial body kept",
              archive=KEEPS_A_PART.archive,
              checksum=whole(CHECKSUM),
              printed=(printed(Checksum=(0, False), Firmware=(2, False)),), files=OLD,
              asked=(0, THIRD, THIRD + 1, THIRD + 2), kept=ARCHIVE[:KEPT]),
    Behaviour("the rest of a kept body, its ETag changed since",
              earlier=KEEPS_A_PART,
              archive=rest(KEPT, etag='"archive-2"', delay=LATE),
              checksum=whole(CHECKSUM),
              printed=(printed(Checksum=(0, False), Firmware=(299, False)),), files=OLD,
              asked=(KEPT,),
              logged=(f"Dropped the partial body ({KEPT} bytes): the server's validator "
                      f"changed from {ETAG} to \"archive-2\"",)),
    Behaviour("the rest of a body kept by a killed run",
              earlier=Earlier((resuming(cuts=[THIRD]), SILENT), kill_at="asking for the rest"),
              archive=resuming(),
              checksum=whole(CHECKSUM),
              printed=(BOTH_PLACED,), files=NEW, asked=(THIRD,)),
    Behaviour("a kept body corrupted",
              earlier=Earlier(KEEPS_A_PART.archive,
                              afterwards=lambda: change_partial_body(1000, b"corrupted")),
              archive=resuming(),
              checksum=whole(CHECKSUM),
              printed=(printed(Checksum=(0, False), Firmware=(299, False)),), files=OLD,
              asked=(KEPT,)),
    Behaviour("a kept body shorter than its record",
              earlier=Earlier(KEEPS_A_PART.archive,
                              afterwards=lambda: change_partial_body(THIRD // 2)),
              archive=resuming(),
              checksum=whole(CHECKSUM),
              printed=(BOTH_PLACED,), files=NEW,
              logged=(f"Dropped the partial body of an earlier run: {THIRD // 2} bytes "
                      "without a record that fits them",)),
    Behaviour("a whole archive kept when the companion failed, then its last byte asked again",
              earlier=Earlier((resuming(),), checksum=plain(status=404, delay=LATE)),
              archive=resuming(),
              checksum=whole(CHECKSUM),
              printed=(BOTH_PLACED,), files=NEW, asked=(len(ARCHIVE) - 1,)),
    Behaviour("two downloads at once while a body is kept",
              earlier=KEEPS_A_PART,
              archive=resuming(delay=LATE),
              checksum=whole(CHECKSUM),
              printed=(BOTH_PLACED,), files=NEW, asked=(0, KEPT), at_once=2),
    Behaviour("100,000 header lines at once",
              archive=whole(ARCHIVE, *(f"X-Line-{line}: {line}" for line in range(100000))),
              checksum=whole(CHECKSUM),
              # The companion's reply may have been handled before Qt took the step's thread.
              printed=(printed(Checksum=(5, False), Firmware=(5, False)),
                       printed(Checksum=(0, False), Firmware=(5, False))), files=OLD,
              logged=("The step is held up inside Qt: ending it",)),
    Behaviour("a companion trickled two bytes at a time, each well within the stall limit",
              archive=whole(ARCHIVE),
              checksum=trickled(CHECKSUM, pieces=len(CHECKSUM), pause=STALL_MS / 1500),
              printed=(printed(Checksum=(5, False), Firmware=(0, False)),), files=OLD,
              logged=(f"Less than {box.LIMIT['DOWNLOAD_STALL_MIN_BYTES']} bytes received in "
                      f'{STALL_MS} ms: giving up on QUrl("http://{box.FIRMWARE_SERVER}'
                      f'{CHECKSUM_PATH}")',)),
    Behaviour("an interim 103 before the 200",
              archive=Reply(b"HTTP/1.1 103 Early Hints\r\nLink: </x>; rel=preload\r\n\r\n"
                            + head(f"Content-Length: {len(ARCHIVE)}", "Connection: close"),
                            lambda: [ARCHIVE]),
              checksum=whole(CHECKSUM, delay=1),
              printed=(printed(Firmware=(299, False)),), files=OLD),
]


@dataclass
class Measured:
    stdout: bytes
    peak_kib: int  # the step's peak resident memory
    seconds: float


def run_downloads(largest_file, at_once=1, timeout=60):
    """Runs the step as the box's programs do, at_once side by side, each under GNU time for its
    peak memory: the kernel counts what a process's parent held when it was started, so the step
    is started by that small program, not by this test. Returns the runs and the messages they
    logged."""
    log_before = len(box.log_bytes())

    def limit_room():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (largest_file, largest_file))

    started = time.monotonic()
    peaks = [tempfile.NamedTemporaryFile() for _ in range(at_once)]
    children = [subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", peak.name, *box.EMULATOR,
                                  box.TOOL, "--downloadfirmware"],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 env=dict(os.environ, LC_ALL="C", TZ="UTC"),
                                 preexec_fn=limit_room, start_new_session=True)
                for peak in peaks]
    runs = []
    for child, peak in zip(children, peaks):
        with child, peak:
            try:
                stdout, stderr = child.communicate(timeout=timeout)
            except subprocess.TimeoutExpired:
                os.killpg(child.pid, signal.SIGKILL)
                child.communicate()
                raise AssertionError(f"the step did not end within {timeout} s")
            if box.SANITIZER_REPORT.search(stderr):
                raise AssertionError("sanitizer report:\n" + stderr.decode("utf-8", "replace"))
            if child.returncode != 1:
                raise AssertionError(f"exit status {child.returncode}; stderr:\n{stderr}")
            runs.append(Measured(stdout, int(peak.read().split()[-1]),
                                 time.monotonic() - started))
    added = box.log_bytes()[log_before:]
    return runs, [box.strip_timestamp(line) for line in added.split(b"\n")[:-1]]


def message(line):
    """A log line without its level and the function that logged it."""
    return line.removeprefix("Debug: ").rpartition(" (")[0]


class DownloadTestCase(BoxTestCase):
    def setUp(self):
        super().setUp()
        self.server = FirmwareServer(int(box.FIRMWARE_SERVER.rpartition(":")[2])).start()
        self.addCleanup(self.server.stop)

    def assertHomeHolds(self, files, kept=None):
        """Exactly these files beside the log directory, and the partial body kept when one is
        expected: no temporary file left behind."""
        expected = {home.PERSISTENT_DATA, home.ARCHIVE, home.CHECKSUM}
        self.assertEqual(home.entries(), expected | (home.PARTIAL_BODY if kept else set()))
        for name, content in files.items():
            self.assertFileBytes(name, content)
        if kept:
            self.assertFileBytes(box.PARTIAL_ARCHIVE_FILE, kept)


def as_tuple(replies):
    return replies if isinstance(replies, tuple) else (replies,)


class Download(DownloadTestCase):
    def lay_out_old_pair(self):
        box.reset()
        for name, content in OLD.items():
            write(name, content)

    def run_earlier(self, earlier):
        self.server.answer(ARCHIVE_PATH, *earlier.archive)
        self.server.answer(CHECKSUM_PATH, earlier.checksum)
        if not earlier.kill_at:
            box.run_tool("--downloadfirmware")
        else:
            log_start = len(box.log_bytes())
            tool = box.start_tool("--downloadfirmware")
            box.wait_for_line(earlier.kill_at, log_start)
            tool.kill()
            tool.communicate(timeout=30)
        earlier.afterwards()

    def test_each_server_behaviour_leaves_a_matching_pair(self):
        for behaviour in BEHAVIOURS:
            for attempt in range(behaviour.runs):
                with self.subTest(behaviour.name, attempt=attempt):
                    self.lay_out_old_pair()
                    if behaviour.earlier:
                        self.run_earlier(behaviour.earlier)
                    self.server.answer(ARCHIVE_PATH, *as_tuple(behaviour.archive))
                    self.server.answer(CHECKSUM_PATH, behaviour.checksum)
                    self.server.requests.clear()
                    runs, log = run_downloads(behaviour.largest_file, behaviour.at_once)
                    for run in runs:
                        self.assertIn(run.stdout, behaviour.printed)
                        self.assertLess(run.peak_kib, PEAK_MEMORY_KIB)
                        # A refused or failed transfer ends the step without waiting for the
                        # rest; a stall costs the limit once.
                        self.assertLess(run.seconds, STALL_MS / 1000 + 5)
                    self.assertHomeHolds(behaviour.files, behaviour.kept)
                    # Qt itself sends a request again at times when its connection closes, and
                    # drops that copy at once: which starts were asked is what counts.
                    archive_requests = [request for request in self.server.requests
                                        if request.startswith(f"GET {ARCHIVE_PATH} ".encode())]
                    self.assertEqual(sorted({asked_from(request) for request in archive_requests}),
                                     sorted(set(behaviour.asked)))
                    messages = iter(message(line) for line in log)
                    for expected in behaviour.logged:
                        self.assertIn(expected, messages)
                    self.assertEqual([line for line in log if "Warning" in line], [])


@dataclass
class Reported:
    """The two replies as their handlers log them."""
    function: str
    what: str


ARCHIVE_REPLY = Reported("FirmwareDownloadReply", "Firmware download")
CHECKSUM_REPLY = Reported("FirmwareChecksumDownloadReply", "Firmware checksum download")


@dataclass
class GoodRun:
    checksum: bytes  # the companion as served
    first: Reported  # the reply handled first; the other one is served late
    second: Reported
    archive_delay: float
    checksum_delay: float
    etc_files: dict = field(default_factory=dict)  # the running version, when the box has one
    shown_version: bytes = b"Unknown"  # the version's part in the User-Agent


VERSION_FILE = box.PATH["ROOTFS_RUNNING_UINITRD_VERSION_FILE"]
GOOD_RUNS = [
    GoodRun(CHECKSUM, CHECKSUM_REPLY, ARCHIVE_REPLY, archive_delay=LATE, checksum_delay=0),
    GoodRun(DIGEST, ARCHIVE_REPLY, CHECKSUM_REPLY, archive_delay=0, checksum_delay=LATE,
            etc_files={VERSION_FILE: b"1.2.3\n"}, shown_version=b"1.2.3"),
    GoodRun(DIGEST + b"\r\n", CHECKSUM_REPLY, ARCHIVE_REPLY, archive_delay=LATE, checksum_delay=0,
            etc_files={VERSION_FILE: b"1.2.3\r\nsecond line\n"},
            shown_version=b"1.2.3"),
    GoodRun(CHECKSUM + hashlib.md5(b"other").hexdigest().encode() + b"  other\n",
            ARCHIVE_REPLY, CHECKSUM_REPLY, archive_delay=0, checksum_delay=LATE),
]


class GoodDownload(DownloadTestCase):
    def test_good_transfers_in_either_order_and_what_they_ask_for(self):
        for good in GOOD_RUNS:
            with self.subTest(checksum=good.checksum, first=good.first.function):
                box.reset()
                for name, content in good.etc_files.items():
                    write(name, content)
                self.server.requests.clear()
                self.server.answer(ARCHIVE_PATH, whole(ARCHIVE, delay=good.archive_delay))
                self.server.answer(CHECKSUM_PATH, whole(good.checksum, delay=good.checksum_delay))
                sizes = {ARCHIVE_REPLY.function: len(ARCHIVE),
                         CHECKSUM_REPLY.function: len(good.checksum)}

                run = box.run_tool("--downloadfirmware")

                self.assertEqual(run.stdout, BOTH_PLACED)
                self.assertHomeHolds({box.ARCHIVE_FILE: ARCHIVE, box.CHECKSUM_FILE: good.checksum})
                server = box.FIRMWARE_SERVER
                self.assertEqual(run.log, [
                    logged(f'getting QUrl("http://{server}{ARCHIVE_PATH}")', "DownloadFirmware"),
                    logged(f'getting QUrl("http://{server}{CHECKSUM_PATH}")',
                           "DownloadFirmwareChecksum"),
                    logged(f"{good.first.what} reply received", good.first.function),
                    logged(f"Wrote {sizes[good.first.function]} bytes", good.first.function),
                    logged(f"{good.second.what} reply received", good.second.function),
                    logged(f"Wrote {sizes[good.second.function]} bytes", good.second.function),
                    logged("Got both", good.second.function),
                    logged(f'Calculated: "{DIGEST.decode()}"', good.second.function),
                    logged(f'Read:       "{DIGEST.decode()}"', good.second.function),
                ])
                heads = sorted(self.server.requests)
                self.assertEqual(len(heads), 2)
                self.assertTrue(heads[0].startswith(f"GET {ARCHIVE_PATH} HTTP/1.1\r\n".encode()))
                self.assertTrue(heads[1].startswith(f"GET {CHECKSUM_PATH} HTTP/1.1\r\n".encode()))
                for request in heads:
                    self.assertIn(f"\r\nHost: {server}\r\n".encode(), request)
                    self.assertIn(b"\r\nAccept-Encoding: identity\r\n", request)
                    # Another header follows: the value did not end the head early.
                    self.assertRegex(request, rb"\r\nUser-Agent: Quorvane PXM RirarUde "
                                     + good.shown_version + rb"\r\n[\w-]+: ")

    def test_a_mismatch_logs_both_digests(self):
        box.reset()
        other = hashlib.md5(b"another").hexdigest()
        self.server.answer(ARCHIVE_PATH, whole(ARCHIVE, delay=LATE))
        self.server.answer(CHECKSUM_PATH, whole(other.encode() + COMPANION_TAIL))
        run = box.run_tool("--downloadfirmware")
        self.assertEqual(run.log[-4:], [
            logged(f'Calculated: "{DIGEST.decode()}"', ARCHIVE_REPLY.function),
            logged(f'Read:       "{other}"', ARCHIVE_REPLY.function),
            logged("The checksum does not describe the archive: the previous files stay",
                   ARCHIVE_REPLY.function),
            f"Debug: Dropped the partial body ({len(ARCHIVE)} bytes): the archive does not "
            "match the companion (void cDownloadBody::Drop(const QString&))",
        ])


if __name__ == "__main__":
    unittest.main()

"""The download step on the real binary, against a real HTTP server on loopback that puts on the
wire exactly the bytes each case gives it, well-behaved or not."""

import hashlib
import itertools
import json
import os
import random
import resource
import signal
import subprocess
import tempfile
import time
import unittest
import zlib
from dataclasses import dataclass, field

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


@dataclass
class Behaviour:
    name: str
    archive: Reply
    checksum: Reply
    # What the step prints: one object, or one per way Qt can see the fault (each run must
    # print one of them).
    printed: tuple
    files: dict  # the archive and companion afterwards: OLD or NEW, byte for byte
    runs: int = 1
    largest_file: int = resource.RLIM_INFINITY  # the room the home has left


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
]


@dataclass
class Measured:
    stdout: bytes
    log: list
    peak_kib: int  # the step's peak resident memory
    seconds: float


def run_download(largest_file, timeout=60):
    """Runs the step once, as the box's programs do, under GNU time for its peak memory: the
    kernel counts what a process's parent held when it was started, so the step is started by
    that small program, not by this test."""
    log_before = len(box.log_bytes())

    def limit_room():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (largest_file, largest_file))

    started = time.monotonic()
    with tempfile.NamedTemporaryFile() as peak:
        command = ["/usr/bin/time", "-f", "%M", "-o", peak.name, *box.EMULATOR, box.TOOL,
                   "--downloadfirmware"]
        with subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              env=dict(os.environ, LC_ALL="C", TZ="UTC"), preexec_fn=limit_room,
                              start_new_session=True) as child:
            try:
                stdout, stderr = child.communicate(timeout=timeout)
            except subprocess.TimeoutExpired:
                os.killpg(child.pid, signal.SIGKILL)
                child.communicate()
                raise AssertionError(f"the step did not end within {timeout} s")
        peak_kib = int(peak.read().split()[-1])
    if box.SANITIZER_REPORT.search(stderr):
        raise AssertionError("sanitizer report:\n" + stderr.decode("utf-8", "replace"))
    if child.returncode != 1:
        raise AssertionError(f"exit status {child.returncode}; stderr:\n{stderr}")
    added = box.log_bytes()[log_before:]
    lines = [box.strip_timestamp(line) for line in added.split(b"\n")[:-1]]
    return Measured(stdout, lines, peak_kib, time.monotonic() - started)


class DownloadTestCase(BoxTestCase):
    def setUp(self):
        super().setUp()
        self.server = FirmwareServer(int(box.FIRMWARE_SERVER.rpartition(":")[2])).start()
        self.addCleanup(self.server.stop)

    def assertHomeHolds(self, files):
        """Exactly these files beside the log directory: no temporary file left behind."""
        self.assertEqual(home.entries(), {home.PERSISTENT_DATA, home.ARCHIVE, home.CHECKSUM})
        for name, content in files.items():
            self.assertFileBytes(name, content)


class Download(DownloadTestCase):
    def lay_out_old_pair(self):
        box.reset()
        for name, content in OLD.items():
            write(name, content)

    def test_each_server_behaviour_leaves_a_matching_pair(self):
        for behaviour in BEHAVIOURS:
            self.server.answer(ARCHIVE_PATH, behaviour.archive)
            self.server.answer(CHECKSUM_PATH, behaviour.checksum)
            for attempt in range(behaviour.runs):
                with self.subTest(behaviour.name, attempt=attempt):
                    self.lay_out_old_pair()
                    run = run_download(behaviour.largest_file)
                    self.assertIn(run.stdout, behaviour.printed)
                    self.assertHomeHolds(behaviour.files)
                    self.assertLess(run.peak_kib, PEAK_MEMORY_KIB)
                    self.assertEqual([line for line in run.log if "Warning" in line], [])
                    # A refused or failed transfer ends the step without waiting for the rest.
                    self.assertLess(run.seconds, STALL_MS / 1000 + 5)


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
        self.assertEqual(run.log[-3:], [
            logged(f'Calculated: "{DIGEST.decode()}"', ARCHIVE_REPLY.function),
            logged(f'Read:       "{other}"', ARCHIVE_REPLY.function),
            logged("The checksum does not describe the archive: the previous files stay",
                   ARCHIVE_REPLY.function),
        ])


if __name__ == "__main__":
    unittest.main()

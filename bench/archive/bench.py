"""Benchmarks of the firmware archive steps, each set against the plain command it stands for,
measured in the same run: extraction against tar -xJf with and without a sync, the upload check
against the two full tar -xJOf scans, CheckChecksum against md5sum. Also estimates the largest
archive that the extraction step unpacks within its 30 s wait. Usage: bench.py <sandbox build
dir>"""

import glob
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

if len(sys.argv) != 2:
    sys.exit(__doc__)
# The fixtures read the paths, states and limits of this build from its box facts.
os.environ["RIRARUDE_BOX_FACTS"] = os.path.join(os.path.abspath(sys.argv[1]), "box-facts.json")
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../tests/fixtures"))
import archives  # noqa: E402
import box as sandbox  # noqa: E402
import facts  # noqa: E402
from large_archive import build_large  # noqa: E402

# The box's wait for the unpacking command (a sandbox build shortens it).
EXTRACT_WAIT_S = facts.BOX_BUILD_LIMIT["EXTRACT_WAIT_MS"] // 1000
ROUNDS = 3
EXTRACTION_ROUNDS = 9
MIB = 1 << 20


def note(text):
    print(text, file=sys.stderr, flush=True)


def row(measurement, value, anchor, anchor_value, ratio, goal, verdict):
    print("\t".join([measurement, value, anchor, anchor_value, ratio, goal, verdict]), flush=True)


def seconds(value):
    return f"{value:.3f} s"


def timed(command, check=True):
    """Seconds the command took. The updater exits with 1 whatever happened: check=False."""
    start = time.perf_counter()
    subprocess.run(command, check=check, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def best_of(*measures, rounds=ROUNDS):
    """Runs the measures in turns and keeps each one's fastest time: the other work on the
    machine only ever adds time."""
    times = [[] for _ in measures]
    for _ in range(rounds):
        for measure, kept in zip(measures, times):
            kept.append(measure())
    return [min(kept) for kept in times]


class Box:
    def __init__(self):
        self.tool = sandbox.TOOL
        self.archive = sandbox.path(sandbox.ARCHIVE_FILE)
        self.checksum = sandbox.path(sandbox.CHECKSUM_FILE)
        self.firmware = sandbox.path(sandbox.FIRMWARE_DIR)
        os.makedirs(os.path.dirname(sandbox.path(sandbox.LOG_FILE)), exist_ok=True)

    def place(self, archive):
        shutil.rmtree(self.firmware, ignore_errors=True)
        if os.path.lexists(self.archive):
            os.remove(self.archive)
        os.link(archive, self.archive)

    def extract(self, archive):
        self.place(archive)
        os.sync()  # the previous tree's write-back is no part of this one
        elapsed = timed([self.tool, "--extractfirmware"], check=False)
        extracted = str(sandbox.STATE["UPDATE_STATE_EXTRACTED"]).encode()
        if sandbox.read(sandbox.PROGRESS_FILE) != extracted:
            raise RuntimeError("extraction failed; see the event log")
        return elapsed

    def check_upload(self, archive):
        self.place(archive)
        start = time.perf_counter()
        out = subprocess.run([self.tool, "--uploadfirmware"], capture_output=True).stdout
        elapsed = time.perf_counter() - start
        if b'"Firmware Version": "2.1"' not in out:
            raise RuntimeError("upload check read no version: " + out.decode())
        return elapsed

    def clean(self):
        shutil.rmtree(self.firmware, ignore_errors=True)
        for leftover in (self.archive, self.checksum):
            if os.path.lexists(leftover):
                os.remove(leftover)


def bench_extraction(box, work, archive, label):
    target = os.path.join(work, "plain")

    def plain_tar(*then):
        shutil.rmtree(target, ignore_errors=True)
        os.mkdir(target)
        os.sync()
        return timed(["sh", "-c", f"tar -xJf {archive} -C {target}" + "".join(then)])

    # Other work on the machine swings single runs by a fifth either way: the step and the
    # anchors run back to back, and each ratio is the median of the rounds' ratios. The step has
    # its tree on the disk before it reports, which the second anchor does too.
    rounds = [(box.extract(archive), plain_tar(), plain_tar(f"; sync -f {target}"))
              for _ in range(EXTRACTION_ROUNDS)]
    shutil.rmtree(target)
    tool = min(times[0] for times in rounds)
    for index, anchor in ((1, "tar -xJf"), (2, "tar -xJf, sync -f")):
        ratio = statistics.median(times[0] / times[index] for times in rounds)
        row(f"extract {label}", seconds(tool), anchor,
            seconds(min(times[index] for times in rounds)), f"{ratio:.3f}", "<= 1.05",
            "met" if ratio <= 1.05 else "missed")
    return tool


def bench_upload(box, archive_of):
    first = {}
    for size in (64, 256):
        for members_first in (True, False):
            archive = archive_of[size, members_first]
            scans = ["sh", "-c", f"tar -xJOf {archive} {archives.VERSION_MEMBER}; "
                                 f"tar -xJOf {archive} {archives.DSP_VERSION_MEMBER}"]
            tool, anchor = best_of(lambda: box.check_upload(archive), lambda: timed(scans))
            where = "first" if members_first else "last"
            if members_first:
                first[size] = tool
                goal, verdict = "< 0.2 s", "met" if tool < 0.2 else "missed"
            else:
                goal, verdict = "-", "-"
            row(f"upload check {size} MiB, members {where}", seconds(tool), "2x tar -xJOf",
                seconds(anchor), f"{tool / anchor:.3f}", goal, verdict)
    flat = first[256] / first[64]
    row("upload check members first, 256 vs 64 MiB", seconds(first[256]),
        "same at 64 MiB", seconds(first[64]), f"{flat:.2f}", "<= 1.5 (flat)",
        "met" if flat <= 1.5 else "missed")


def bench_checksum(build, data):
    program = os.path.join(build, "bench", "archive", "checksum-bench")
    digest = subprocess.run(["md5sum", data], capture_output=True, check=True).stdout
    with open(data + ".md5", "wb") as f:
        f.write(digest)

    def check_checksum():
        out = subprocess.run([program, data], capture_output=True, check=True).stdout.split()
        return float(out[0])

    size = os.path.getsize(data) / MIB
    ours, anchor = best_of(check_checksum, lambda: timed(["md5sum", data]))
    ratio = anchor / ours
    row(f"CheckChecksum {size:.0f} MiB", f"{size / ours:.0f} MiB/s", "md5sum",
        f"{size / anchor:.0f} MiB/s", f"{ratio:.3f}", ">= 0.9", "met" if ratio >= 0.9 else "missed")

    ours, anchor = peak_memory([program, data]), peak_memory(["md5sum", data])
    row(f"CheckChecksum {size:.0f} MiB peak memory", f"{ours:.1f} MiB", "md5sum",
        f"{anchor:.1f} MiB", f"{ours / anchor:.2f}", "-", "-")


def firmware_like_tree(size, file_size=256 << 10):
    """Machine code and data of the installed libraries, up to file_size of each in a member of its
    own, as a firmware's root file system holds many files: compresses about as a firmware does,
    and gives the tree check an entry per file."""
    members = {}
    total = 0
    for library in sorted(glob.glob("/usr/lib/*/*.so*")):
        name = archives.FIRMWARE_MEMBER + "/lib/" + os.path.basename(library)
        if total >= size:
            break
        if os.path.isfile(library) and not os.path.islink(library) and name not in members:
            with open(library, "rb") as f:
                members[name] = f.read(min(file_size, size - total))
            total += len(members[name])
    return members


def peak_memory(command):
    """Peak resident memory in MiB of the command and of the children it waited for."""
    result = subprocess.run(["/usr/bin/time", "-f", "%M", *command], capture_output=True)
    return int(result.stderr.split()[-1]) / 1024


def bench_hostile_members(box, work):
    """Version files as a hostile archive may hold them: one line of hundreds of MiB. The steps
    read 4 KiB of it; the anchors are the plain commands that unpack or read the member."""
    daemon = archives.build(os.path.join(work, "daemon.tar.xz"), {
        **archives.firmware(), archives.member("FIRMWARE_UPDATE_NEW_DAEMON"): b"daemon",
        archives.member("FIRMWARE_UPDATE_NEW_DAEMON_VERSION_FILE"): b"1" * (200 * MIB)})
    target = os.path.join(work, "plain")
    os.makedirs(target, exist_ok=True)
    box.place(daemon)
    ours = peak_memory([box.tool, "--extractfirmware"])
    anchor = peak_memory(["tar", "-xJf", daemon, "-C", target])
    shutil.rmtree(target)
    row("extract, 200 MiB UpdateDaemonVersion, peak memory", f"{ours:.1f} MiB", "tar -xJf",
        f"{anchor:.1f} MiB", f"{ours / anchor:.2f}", "< 40 MiB", "met" if ours < 40 else "missed")

    version = archives.build(os.path.join(work, "version.tar.xz"), {
        archives.DSP_VERSION_MEMBER: b"R9-7\n", archives.VERSION_MEMBER: b"7" * (256 * MIB)})
    first_line = ["sh", "-c", f"tar -xJOf {version} {archives.VERSION_MEMBER} | head -c 4096"]
    box.place(version)
    ours = peak_memory([box.tool, "--uploadfirmware"])
    anchor = peak_memory(first_line)
    row("upload check, 256 MiB Version.txt, peak memory", f"{ours:.1f} MiB",
        "tar -xJOf | head -c 4096", f"{anchor:.1f} MiB", f"{ours / anchor:.2f}", "< 40 MiB",
        "met" if ours < 40 else "missed")
    tool, anchor = best_of(lambda: timed([box.tool, "--uploadfirmware"], check=False),
                           lambda: timed(first_line))
    row("upload check, 256 MiB Version.txt, wall time", seconds(tool), "tar -xJOf | head -c 4096",
        seconds(anchor), f"{tool / anchor:.3f}", "< 0.2 s", "met" if tool < 0.2 else "missed")


def bench_largest_archive(estimates):
    """Extrapolates the extraction rates measured: the step's time grows with the archive."""
    for label, archive, elapsed in estimates:
        rate = os.path.getsize(archive) / MIB / elapsed
        row(f"largest archive unpacked in {EXTRACT_WAIT_S} s, {label}",
            f"{rate * EXTRACT_WAIT_S:.0f} MiB", "extraction rate", f"{rate:.1f} MiB/s", "-", "-",
            "-")


def main():
    build = os.path.abspath(sys.argv[1])
    box = Box()
    work = tempfile.mkdtemp(prefix="bench-archive-", dir=build)
    try:
        note("building archives of 64 and 256 MiB, version members first and last")
        archive_of = {}
        for size in (64, 256):
            for members_first in (True, False):
                name = f"{size}-{'first' if members_first else 'last'}.tar.xz"
                archive_of[size, members_first] = build_large(
                    os.path.join(work, name), size, payload_first=not members_first)
        note("extraction")
        random_archive = archive_of[256, True]
        libraries = firmware_like_tree(48 * MIB)
        code_archive = archives.build(os.path.join(work, "code.tar.xz"),
                                      {**archives.firmware(), **libraries})
        code_mib = os.path.getsize(code_archive) / MIB
        estimates = [
            ("incompressible content", random_archive,
             bench_extraction(box, work, random_archive, "256 MiB, incompressible content")),
            ("library code", code_archive,
             bench_extraction(box, work, code_archive, f"{code_mib:.0f} MiB of library code "
                                                       f"({len(libraries)} files, 48 MiB unpacked)"))]
        note("hostile version files")
        bench_hostile_members(box, work)
        note("upload check")
        bench_upload(box, archive_of)
        note("checksum")
        bench_checksum(build, archive_of[256, True])
        note("largest archive within the wait")
        bench_largest_archive(estimates)
    finally:
        box.clean()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()

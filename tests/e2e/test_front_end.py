"""The command line and the request steps on the real binary, on a free home and on a full one.
Each row's name says the fault it guards; how the event log writes a line is the unit tests'."""

import errno
import os
import subprocess
import unittest
from dataclasses import dataclass, field
from typing import Optional

import box
import home
from box import BoxTestCase, exists, path, read, run_tool, write

REBOOT_FLAG = box.FLAG_FILES["reboot"]
UPDATE_FLAG = box.FLAG_FILES["update"]
DSP_FLAG = box.FLAG_FILES["dsp"]
REBOOTING = ["Debug: Triggering reboot. (int main(int, char**))"]
STARTED = b"Started firmware update"
DSP_STARTED = b"Started DSP firmware update"
UPDATING = box.STATE["UPDATE_STATE_UPDATING"]
UPDATING_DSP = box.STATE["UPDATE_STATE_UPDATING_DSP"]
EXTRACTED = box.STATE["UPDATE_STATE_EXTRACTED"]
STATE_WRITER = " (void WriteUpdateState(int))"
FLAG_WRITER = " (bool Touch(const QString&))"
DSP_REQUEST = " (void cDovozUdiZedezod::UpdateDSPBoardFirmware())"


def state_line(state):
    return f"Debug: Changed state value to: {state}" + STATE_WRITER


UPDATE_REQUESTED = [state_line(UPDATING), "Debug: Firmware update request acknowledged "
                    "(void cDovozUdiZedezod::UpdateFirmware())"]
DSP_ACKNOWLEDGED = [state_line(UPDATING_DSP),
                    "Debug: Acknowledged request to update DSP Firmware." + DSP_REQUEST]


@dataclass
class Step:
    name: str
    arguments: list
    stdout: bytes
    log: list
    flags: list  # the flag files left, all of them empty
    progress: Optional[int] = None  # None: no progress file
    laid: dict = field(default_factory=dict)  # laid in the box first: path -> bytes
    complains: bool = False  # getopt's complaint on standard error


STEPS = [
    # --updatefirmware itself runs on the full homes below.
    Step("-e: not --updatefirmware, or options after the first acted on", ["-e", "--reboot", "x"],
         STARTED, UPDATE_REQUESTED, [UPDATE_FLAG], UPDATING),
    Step("an unambiguous abbreviation refused, or a stale reboot flag not emptied", ["--rebo"],
         b"", REBOOTING, [REBOOT_FLAG], laid={REBOOT_FLAG: b"stale"}),
    Step("an ambiguous abbreviation: acted on", ["--update"], b"", [], [], complains=True),
    Step("-f: taken for an option", ["-f"], b"", [], []),
    Step("-h: a short form past -g taken for its option", ["-h"], b"", [], [], complains=True),
    Step("a DSP update requested without an image", ["--updatedspfirmware"], DSP_STARTED,
         DSP_ACKNOWLEDGED, [], UPDATING_DSP),
    Step("a DSP update not requested with an image", ["--updatedspfirmware"], DSP_STARTED,
         [*DSP_ACKNOWLEDGED, "Debug: DSP Firmware found. Triggering update." + DSP_REQUEST],
         [DSP_FLAG], UPDATING_DSP, laid={box.DSP_IMAGE: b"\x01"}),
]


class Steps(BoxTestCase):
    """What each command line prints, logs and leaves in the home, and nothing else."""

    def test_steps(self):
        for step in STEPS:
            with self.subTest(step.name):
                box.reset()
                for absolute, content in step.laid.items():
                    write(absolute, content)
                run = run_tool(*step.arguments)
                self.assertEqual((run.stdout, run.log), (step.stdout, step.log))
                self.assertEqual(run.stderr != b"", step.complains, run.stderr)
                self.assertEqual({flag: read(flag) for flag in box.FLAG_FILES.values()
                                  if exists(flag)}, dict.fromkeys(step.flags, b""))
                left = [*step.laid, *step.flags]
                if step.progress is not None:
                    self.assertProgress(step.progress)
                    left.append(box.PROGRESS_FILE)
                self.assertEqual(home.entries(),
                                 {home.PERSISTENT_DATA, *(home.entry(file) for file in left)})


@dataclass
class FullHome:
    name: str
    option: str
    fill: str  # "blocks": no free block left in the home; "inodes": no free inode either
    before: dict  # laid in the home first: path -> bytes, or the path (str) it is a hard link to
    after: dict  # path -> bytes, or None for nothing there
    lines: list  # of the state and flag writers, in the log or on standard error


NO_SPACE = os.strerror(errno.ENOSPC)
VICTIM = box.HOME + "/victim"  # any other file of the home

FULL_HOMES = [
    FullHome("no free block: the state not written over the old, longer one", "--updatefirmware",
             "blocks", {box.PROGRESS_FILE: str(UPDATING_DSP).encode()},
             {box.PROGRESS_FILE: str(UPDATING).encode(), UPDATE_FLAG: b""},
             [state_line(UPDATING)]),
    # An empty progress file has no block to write into.
    FullHome("no free block, an empty progress file: the state logged as written",
             "--updatedspfirmware", "blocks", {box.PROGRESS_FILE: b"", box.DSP_IMAGE: b"\x01"},
             {box.PROGRESS_FILE: b"", DSP_FLAG: b""},
             [f"Debug: Could not write state value {UPDATING_DSP}: {NO_SPACE}" + STATE_WRITER]),
    FullHome("no free inode: a stale flag not emptied in place", "--reboot", "inodes",
             {REBOOT_FLAG: b"stale"}, {REBOOT_FLAG: b""}, []),
    FullHome("no free inode: a flag that could not be left not logged", "--updatefirmware",
             "inodes", {box.PROGRESS_FILE: str(EXTRACTED).encode()},
             {box.PROGRESS_FILE: str(UPDATING).encode(), UPDATE_FLAG: None},
             [state_line(UPDATING),
              f"Debug: Could not leave the flag {path(UPDATE_FLAG)}: {NO_SPACE}" + FLAG_WRITER]),
    FullHome("no free block: a hard-linked progress file written in place, under both names",
             "--updatefirmware", "blocks",
             {VICTIM: str(EXTRACTED).encode(), box.PROGRESS_FILE: VICTIM},
             {box.PROGRESS_FILE: str(EXTRACTED).encode(), VICTIM: str(EXTRACTED).encode()},
             [f"Debug: Could not write state value {UPDATING}: {NO_SPACE}" + STATE_WRITER]),
]


def fill(mount_point, inodes):
    """Takes every free block of the file system, and with inodes every free inode too."""
    with open(os.path.join(mount_point, "filler"), "wb") as filler:
        free = os.statvfs(mount_point)
        os.posix_fallocate(filler.fileno(), 0, free.f_bavail * free.f_frsize)
    for number in range(os.statvfs(mount_point).f_favail if inodes else 0):
        os.mknod(os.path.join(mount_point, f"inode-{number}"))


class AFullHome(BoxTestCase):
    """The progress file shows the state a step reached on a full home too; the log says what
    was written, and its lines reach standard error when the log cannot grow."""

    def test_full_homes(self):
        for row in FULL_HOMES:
            with self.subTest(row.name):
                box.reset()
                home_directory = path(box.HOME)
                if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m,nr_inodes=64", "full",
                                   home_directory], stderr=subprocess.DEVNULL).returncode:
                    self.skipTest("cannot mount a small file system here")
                try:
                    os.makedirs(path(os.path.dirname(box.LOG_FILE)))
                    for absolute, content in row.before.items():
                        if isinstance(content, str):
                            os.link(path(content), path(absolute))
                        else:
                            write(absolute, content)
                    fill(home_directory, inodes=row.fill == "inodes")
                    run = run_tool(row.option)
                    self.assertEqual({absolute: read(absolute) if exists(absolute) else None
                                      for absolute in row.after}, row.after)
                    on_stderr = [box.strip_timestamp(line)
                                 for line in run.stderr.split(b"\n")[:-1]]
                    self.assertEqual([line for line in run.log + on_stderr
                                      if line.endswith((STATE_WRITER, FLAG_WRITER))], row.lines)
                finally:
                    subprocess.run(["umount", home_directory])


if __name__ == "__main__":
    unittest.main()

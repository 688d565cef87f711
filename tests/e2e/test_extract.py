"""The extractfirmware step on the real binary, with archives built by the real tar and xz, and
by hand as a hostile uploader would build them."""

import os
import re
import stat
import subprocess
import unittest
from dataclasses import dataclass, field, replace

import archives
import box
import home
from archives import Member
from box import BoxTestCase, exists, path, run_tool, write

STEP = " (void cDovozUdiZedezod::ExtractNewFirmware())"
FLAG = box.FLAG_FILES["relaunch_daemon"]
DAEMON = "Firmware contains new UpdateDaemon"
STAGING = ".Firmware-staging-"
EXTRACTING = box.STATE["UPDATE_STATE_EXTRACTING"]
EXTRACTED = box.STATE["UPDATE_STATE_EXTRACTED"]
FAILED = box.STATE["UPDATE_STATE_FAILED"]
HOST_NAME = os.path.relpath(box.PATH["RIRARUDE_HOSTNAME_FILE_PATH"], box.HOME)
# Archive members by the fixed paths they land at.
FW = archives.FIRMWARE_MEMBER
VERSION = archives.VERSION_MEMBER
DSP_VERSION = archives.DSP_VERSION_MEMBER
DSP_IMAGE = archives.member("DSP_FIRMWARE_IMAGE")
DAEMON_FILE = archives.member("FIRMWARE_UPDATE_NEW_DAEMON")
DAEMON_VERSION = archives.member("FIRMWARE_UPDATE_NEW_DAEMON_VERSION_FILE")
REMOVED = 'Remove ExtractPath success? "Yes"'
EXTRACTING_WITH = "Debug: Extracting with the following command:"
# The command's line: each run makes up a new name for its staging directory.
UNPACK_COMMAND = ("^" + re.escape(f' "sh -c \\"exec tar -xJf {path(box.ARCHIVE_FILE)} -C '
                                   f'{path(box.HOME)}/{STAGING}')
                  + r"[A-Za-z0-9]{6}" + re.escape(f'/unpacked\\""{STEP}') + "$")
UNPACKED = 'tar -xJf success? "Yes"'
TAR_FAILED = "untar exit code: 2"
# A directory outside the box, which no archive may read, change or remove.
VICTIM = os.path.join(os.path.dirname(box.ROOT), "victim")
SECRET = os.path.join(VICTIM, "secret.txt")
# What the box holds beside the firmware tree, which no archive may change either.
HOME_FILES = {".profile": b"PATH=/bin\n", HOST_NAME: b"box\n"}
# Entries of the home that the steps themselves write.
STEP_OUTPUTS = {home.FIRMWARE, home.ARCHIVE, home.CHECKSUM, home.PROGRESS, home.RELAUNCH_FLAG,
                os.path.relpath(box.LOG_FILE, box.HOME)}
# An ordinary tree, for hand-made archives to add their own members to.
ORDINARY = [Member(FW, "dir", mode=0o755), Member(VERSION, content=b"2.1\n"),
            Member(DSP_VERSION, content=b"R9-7\n"), Member(DSP_IMAGE, content=b"\x00dsp image")]
# What an extraction may take beyond a good one's peak memory, and add to the log, whatever the
# archive and whatever an earlier run left.
EXTRA_PEAK_KIB = 4 << 10
LOG_GROWTH_BYTES = 64 << 10


def state(value):
    return f"Debug: Changed state value to: {value} (void WriteUpdateState(int))"


def step(message):
    return f"Debug: {message}{STEP}"


def snapshot(directory, leave_out=()):
    """Every entry below directory with its kind, mode and content or link target."""
    found = {}
    for parent, directories, files in os.walk(directory):
        directories[:] = [name for name in directories
                          if os.path.relpath(os.path.join(parent, name), directory)
                          not in leave_out]
        for name in directories + files:
            entry = os.path.join(parent, name)
            relative = os.path.relpath(entry, directory)
            status = os.lstat(entry)
            if relative in leave_out:
                continue
            if stat.S_ISLNK(status.st_mode):
                found[relative] = ("link", os.readlink(entry))
            elif stat.S_ISREG(status.st_mode):
                with open(entry, "rb") as f:
                    found[relative] = ("file", status.st_mode, f.read())
            else:
                found[relative] = ("other", status.st_mode)
    return found


def outside_the_tree():
    return snapshot(VICTIM), snapshot(path(box.HOME), STEP_OUTPUTS)


def unpacked(members):
    """The regular files, by their path from the home, that a tree of these members holds."""
    files = {}
    for member in members:
        name = os.path.normpath(member.name)
        if not name.startswith(FW + "/"):
            continue
        if member.kind == "file":
            files[name] = member.content
        elif member.kind == "hardlink":
            files[name] = files[os.path.normpath(member.target)]
    return files


def lay_out_chain():
    """A firmware directory with a chain of directories below it that no path can name, made one
    level at a time."""
    levels = os.pathconf(path(box.HOME), "PC_PATH_MAX") // len("a/") + 1
    directory = os.open(path(box.HOME), os.O_RDONLY | os.O_DIRECTORY)
    for name in [FW] + ["a"] * levels:
        os.mkdir(name, dir_fd=directory)
        below = os.open(name, os.O_RDONLY | os.O_DIRECTORY, dir_fd=directory)
        os.close(directory)
        directory = below
    os.close(directory)


class ExtractTestCase(BoxTestCase):
    """A box with a victim directory outside it and files of its own beside the firmware tree."""

    def setUp(self):
        super().setUp()
        subprocess.run(["rm", "-rf", VICTIM], check=True)
        os.makedirs(VICTIM)
        with open(SECRET, "wb") as f:
            f.write(b"not for the firmware\n")
        for name, content in HOME_FILES.items():
            write(box.HOME + "/" + name, content)

    def extract(self, members, user="root", **options):
        if callable(members):
            members(path(box.ARCHIVE_FILE))
        elif isinstance(members, dict):
            archives.build(path(box.ARCHIVE_FILE), members)
        else:
            archives.build_by_hand(path(box.ARCHIVE_FILE), members)
        write(box.CHECKSUM_FILE, archives.md5_companion(path(box.ARCHIVE_FILE)))
        return self.run_extraction(user, **options)

    def run_extraction(self, user="root", **options):
        """Runs the step as user; options go to run_tool."""
        if user != "root" and not box.give_home_to(user):
            self.skipTest(f"{user} cannot reach {path(box.HOME)}")
        run = run_tool("--extractfirmware", preexec_fn=box.as_user(user), peak=True, **options)
        self.assertEqual(run.stdout, b"")
        # tar's errors too stay in their one line, their line ends escaped.
        self.assertEqual([line for line in run.log if not line.startswith(("Debug: ", ' "sh -c'))],
                         [])
        self.assertRegex(run.log[-2], "^" + re.escape("Debug: Extracted Firmware in: ")
                         + r"\d+ ms" + re.escape(STEP) + "$")
        self.assertFalse(exists(box.ARCHIVE_FILE) or exists(box.CHECKSUM_FILE), "not consumed")
        return run

    def assertFailed(self, run):
        self.assertIn(step('tar -xJf success? "no"'), run.log)
        self.assertEqual(run.log[-1], state(FAILED))
        self.assertProgress(FAILED)

    def assertTree(self, files):
        """The firmware directory holds these regular files, or is absent for none; no staging
        directory is left."""
        self.assertEqual(exists(box.FIRMWARE_DIR), bool(files))
        self.assertEqual(box.files_below(box.FIRMWARE_DIR), files)
        self.assertEqual([name for name in os.listdir(path(box.HOME)) if name.startswith(STAGING)],
                         [])


@dataclass
class Archive:
    """An archive made by hand, over what earlier runs left in the home; the log line that tells
    what became of it."""
    title: str
    members: list
    line: str
    state: int = FAILED  # EXTRACTED: its tree in place; FAILED: no firmware directory
    modes: dict = field(default_factory=dict)  # modes of firmware entries the case is about
    user: str = "root"
    relaunch: bool = False  # the new UpdateDaemon is told to take over
    left: object = ()  # members that earlier runs left in the home, or what lays them out


def rejected(entry, why):
    return f'Unpacked firmware rejected: "{entry}" {why}'


def daemon(title, version, line, relaunch=False):
    """The ordinary tree with an UpdateDaemon of version (None: without a version file)."""
    members = [*ORDINARY, Member(DAEMON_FILE, content=b"daemon")]
    if version is not None:
        members.append(Member(DAEMON_VERSION, content=version))
    return Archive(title, members, DAEMON + line, EXTRACTED, relaunch=relaunch)


def left(title, members, user="root"):
    """A good archive over what an earlier version of the tool, or a killed run, left."""
    return Archive(title, ORDINARY, UNPACKED, EXTRACTED, user=user, left=members)


UNPARSED = ", but the version could not be parsed"
PLANTED = [home.RELAUNCH_FLAG, home.PROGRESS, ".profile", HOST_NAME, FW + "Extra/file"]
KILLED_RUN = STAGING + "Kil1ed"
ARCHIVES = [
    daemon("an UpdateDaemon of the oldest version that may take over", b"1\n", "", relaunch=True),
    daemon("an UpdateDaemon too old, its version between blanks", b" 0 \n",
           ", but it is version 0 and the minimum supported is 1"),
    daemon("an UpdateDaemon version that is no integer", b"1.2\n", UNPARSED),
    daemon("an UpdateDaemon version past int", b"4294967297", UNPARSED),
    daemon("an UpdateDaemon without a version", None, ", but it is unversioned (old)"),
    Archive("an UpdateDaemon version without a daemon",
            [*ORDINARY, Member(DAEMON_VERSION, content=b"5\n")], UNPACKED, EXTRACTED),
    Archive("members beside the tree, for the home and its persistent data",
            [*ORDINARY, *(Member(name, content=b"planted") for name in PLANTED)], UNPACKED,
            EXTRACTED),
    Archive("Firmware links to the home, for later members to land beside it",
            [Member(FW, "symlink", target="."), Member(FW + "/" + home.entry(FLAG))],
            rejected("Firmware", "is a symbolic link, not a directory")),
    Archive("no Firmware, only members beside it", [Member("Other/Version.txt")],
            rejected("Firmware", "is missing")),
    Archive("a link in the tree, to a file outside the box",
            [*ORDINARY[:3], Member(DSP_IMAGE, "symlink", target=SECRET)],
            rejected(DSP_IMAGE, "is a symbolic link")),
    Archive("a FIFO in the tree", [*ORDINARY[:2], Member(DSP_VERSION, "fifo")],
            rejected(DSP_VERSION, "is a FIFO")),
    Archive("a device node in the tree", [*ORDINARY, Member(FW + "/console", "device")],
            rejected(FW + "/console", "is a device node")),
    Archive("set-id programs and directories",
            [*ORDINARY, Member(DAEMON_FILE, content=b"daemon", mode=0o4755),
             Member(FW + "/lib", "dir", mode=0o2775),
             Member(FW + "/lib/tool", content=b"tool", mode=0o6711)], UNPACKED, EXTRACTED,
            modes={DAEMON_FILE: 0o755, FW + "/lib": 0o775, FW + "/lib/tool": 0o711}),
    Archive("read-only directories, unpacked by the service user",
            [*ORDINARY, Member(FW + "/lib", "dir", mode=0o555),
             Member(FW + "/lib/a.so", content=b"code"), Member(FW + "/empty", "dir", mode=0)],
            UNPACKED, EXTRACTED, modes={FW + "/lib": 0o755, FW + "/empty": 0o700}, user="nobody"),
    Archive("hard links within the tree",
            [*ORDINARY, Member(FW + "/Version-copy.txt", "hardlink", target=VERSION)],
            UNPACKED, EXTRACTED),
    # tar -C dir -cJf Firmware.tar.xz . stores "./" with dir's mode, which tar gives to the
    # directory it unpacks into.
    Archive("packed from a read-only directory as \".\", unpacked by the service user",
            [Member(".", "dir", mode=0o555), *(replace(m, name="./" + m.name) for m in ORDINARY)],
            UNPACKED, EXTRACTED, user="nobody"),
    Archive("an archive that tar reads for longer than the wait, a tree before 64 GiB of zeros",
            lambda archive: archives.build_slow(archive, archives.firmware(), zeros_gib=64),
            'tar -xJf success? "no"'),
    Archive("members with names of 100,000 bytes, each named in an error of tar's",
            [*ORDINARY, *(Member(f"{FW}/{i}" + "x" * 100000) for i in range(3))], TAR_FAILED),
    left("Firmware links to a directory outside the box", [Member(FW, "symlink", target=VICTIM)]),
    left("links inside Firmware lead out of the box",
         [Member(FW, "dir", mode=0o755), Member(FW + "/lib", "symlink", target=VICTIM),
          Member(VERSION, "symlink", target=SECRET)]),
    left("killed runs' staging entries: read-only, with a link out, or a link out",
         [Member(KILLED_RUN, "dir", mode=0o700), Member(KILLED_RUN + "/" + FW, "dir", mode=0o555),
          Member(KILLED_RUN + "/" + FW + "/victim", "symlink", target=VICTIM),
          Member(KILLED_RUN + "/" + FW + "/locked", "dir", mode=0),
          Member(STAGING + "L1nked", "symlink", target=VICTIM)], user="nobody"),
    left("a tree deeper than any path can name", lay_out_chain),
]


class Archives(ExtractTestCase):
    def test_an_archive_unpacks_to_its_tree_or_fails_and_never_reaches_beyond_it(self):
        good = self.extract(ORDINARY)
        for case in ARCHIVES:
            with self.subTest(case.title):
                self.setUp()
                outside = outside_the_tree()
                write(FLAG, b"stale")
                if callable(case.left):
                    case.left()
                elif case.left:
                    archives.lay_out(path(box.HOME), case.left)
                else:
                    write(box.FIRMWARE_DIR + "/old-only", b"previous firmware")
                run = self.extract(case.members, case.user)
                self.assertEqual(run.log[:3], [state(EXTRACTING), step(REMOVED), EXTRACTING_WITH])
                self.assertRegex(run.log[3], UNPACK_COMMAND)
                self.assertIn(step(case.line), run.log)
                self.assertEqual(run.log[-1], state(case.state))
                self.assertProgress(case.state)
                self.assertTree(unpacked(case.members) if case.state == EXTRACTED else {})
                for name, mode in case.modes.items():
                    mode_found = stat.S_IMODE(os.lstat(path(box.HOME + "/" + name)).st_mode)
                    self.assertEqual(oct(mode_found), oct(mode), name)
                self.assertFileBytes(FLAG, b"" if case.relaunch else b"stale")
                self.assertEqual(outside_the_tree(), outside)
                self.assertLess(run.peak_kib, good.peak_kib + EXTRA_PEAK_KIB)
                self.assertLess(sum(len(line) + 1 for line in run.log), LOG_GROWTH_BYTES)


class Extract(ExtractTestCase):
    def test_an_archive_that_is_no_regular_file_fails_the_step_at_once(self):
        # tar would wait for a FIFO's writer; the pair is consumed all the same.
        write(box.CHECKSUM_FILE, b"d41d8cd98f00b204e9800998ecf8427e  Firmware.tar.xz\n")
        os.mkfifo(path(box.ARCHIVE_FILE))
        run = self.run_extraction()
        self.assertIn(step("Firmware archive is not a regular file"), run.log)
        self.assertFailed(run)


if __name__ == "__main__":
    unittest.main()

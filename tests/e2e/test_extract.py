"""The extractfirmware step on the real binary, with archives built by the real tar and xz, and
by hand as a hostile uploader would build them."""

import os
import random
import re
import stat
import subprocess
import tempfile
import unittest
from dataclasses import dataclass, field, replace

import archives
import box
from archives import Member
import home
from box import BoxTestCase, exists, path, run_tool, write

STEP = " (void cDovozUdiZedezod::ExtractNewFirmware())"
FLAG = box.FLAG_FILES["relaunch_daemon"]
DSP_FLAG = box.FLAG_FILES["dsp"]
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
DSP_IMAGE = archives.DSP_IMAGE_MEMBER
DAEMON_FILE = os.path.relpath(box.PATH["FIRMWARE_UPDATE_NEW_DAEMON"], box.HOME)
DAEMON_VERSION = os.path.relpath(box.PATH["FIRMWARE_UPDATE_NEW_DAEMON_VERSION_FILE"], box.HOME)
UNPACKED = 'tar -xJf success? "Yes"'
TAR_FAILED = "untar exit code: 2"
# Members beside the firmware tree, which the step never unpacks.
PLANTED = {home.RELAUNCH_FLAG: b"planted", home.PROGRESS: b"planted", ".profile": b"planted",
           HOST_NAME: b"planted", FW + "Extra/file": b"planted"}
# A directory outside the box, which no archive may read, change or remove.
VICTIM = os.path.join(os.path.dirname(box.ROOT), "victim")
VICTIM_FILES = {"secret.txt": b"not for the firmware\n", "sub/inner.txt": b"inner\n"}
# What the box holds beside the firmware tree, which no archive may change either.
HOME_FILES = {".profile": b"PATH=/bin\n", HOST_NAME: b"box\n"}
# Entries of the home that the steps themselves write.
STEP_OUTPUTS = {home.FIRMWARE, home.ARCHIVE, home.CHECKSUM, home.PROGRESS,
                home.entry(DSP_FLAG), os.path.relpath(box.LOG_FILE, box.HOME)}
# What archives.hand_made_firmware() unpacks to.
GOOD_TREE = {VERSION: b"2.1\n", DSP_VERSION: b"R9-7\n", DSP_IMAGE: b"\x00dsp image"}
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
                          if os.path.relpath(os.path.join(parent, name), directory) not in leave_out]
        for name in directories + files:
            entry = os.path.join(parent, name)
            relative = os.path.relpath(entry, directory)
            if relative in leave_out:
                continue
            status = os.lstat(entry)
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


def firmware_files():
    """The firmware directory's regular files, by their path from the home; any entry of another
    kind fails the test."""
    files = {}
    for relative, entry in snapshot(path(box.FIRMWARE_DIR)).items():
        if entry[0] == "file":
            files[FW + "/" + relative] = entry[2]
        elif not stat.S_ISDIR(entry[1]):
            raise AssertionError(f"{FW}/{relative} is {entry}")
    return files


def lay_out_chain(levels):
    """A firmware directory with a chain of directories levels deep below it, made one level at a
    time: deeper than any path can name. An archive builds one through links beside it."""
    directory = os.open(path(box.HOME), os.O_RDONLY | os.O_DIRECTORY)
    for name in [FW] + ["a"] * levels:
        os.mkdir(name, dir_fd=directory)
        below = os.open(name, os.O_RDONLY | os.O_DIRECTORY, dir_fd=directory)
        os.close(directory)
        directory = below
    os.close(directory)


def lay_out(members, user):
    """Unpacks hand-made members straight into the home, as the tool once did, for the tree an
    earlier version may have left."""
    with tempfile.NamedTemporaryFile(suffix=".tar.xz") as archive:
        archives.build_by_hand(archive.name, members)
        subprocess.run(["tar", "-xJf", archive.name, "-C", path(box.HOME)], check=True)
    box.give_home_to(user)


class ExtractTestCase(BoxTestCase):
    """A box with a victim directory outside it and files of its own beside the firmware tree."""

    def setUp(self):
        super().setUp()
        subprocess.run(["rm", "-rf", VICTIM], check=True)
        for name, content in VICTIM_FILES.items():
            os.makedirs(os.path.dirname(os.path.join(VICTIM, name)), exist_ok=True)
            with open(os.path.join(VICTIM, name), "wb") as f:
                f.write(content)
        for name, content in HOME_FILES.items():
            write(box.HOME + "/" + name, content)

    def extract(self, members=None, env=None, user="root"):
        if members is not None:
            archives.build(path(box.ARCHIVE_FILE), members)
            write(box.CHECKSUM_FILE, archives.md5_companion(path(box.ARCHIVE_FILE)))
        return self.run_extraction(env, user)

    def run_extraction(self, env=None, user="root"):
        if user != "root" and not box.give_home_to(user):
            self.skipTest(f"{user} cannot reach {path(box.HOME)}")
        run = run_tool("--extractfirmware", env=env, preexec_fn=box.as_user(user), peak=True)
        self.assertEqual(run.stdout, b"")
        self.assertRegex(run.log[-2], "^" + re.escape("Debug: Extracted Firmware in: ")
                         + r"\d+ ms" + re.escape(STEP) + "$")
        self.assertFalse(exists(box.ARCHIVE_FILE) or exists(box.CHECKSUM_FILE), "not consumed")
        return run

    def assertFailed(self, run):
        self.assertIn(step('tar -xJf success? "no"'), run.log)
        self.assertEqual(run.log[-1], state(FAILED))
        self.assertProgress(FAILED)

    def assertNoLeftovers(self):
        self.assertEqual([name for name in os.listdir(path(box.HOME)) if name.startswith(STAGING)],
                         [])

    def assertGoodExtraction(self, user):
        archives.build_by_hand(path(box.ARCHIVE_FILE), archives.hand_made_firmware())
        run = self.run_extraction(user=user)
        self.assertIn(step('Remove ExtractPath success? "Yes"'), run.log)
        self.assertEqual(run.log[-1], state(EXTRACTED))
        self.assertEqual(firmware_files(), GOOD_TREE)
        self.assertNoLeftovers()
        return run

    def assertBounded(self, run, good):
        """The run took a few MiB of memory more than a good extraction at most, and logged a few
        KiB."""
        self.assertLess(run.peak_kib, good.peak_kib + EXTRA_PEAK_KIB)
        self.assertLess(sum(len(line) + 1 for line in run.log), LOG_GROWTH_BYTES)


@dataclass
class DaemonCase:
    title: str
    daemon: dict  # UpdateDaemon members the archive holds beside the ordinary tree
    lines: list  # what the step logs about them
    flag: bytes  # the relaunch flag afterwards; it holds b"stale" before


def too_old(version):
    return step(f"{DAEMON}, but it is version {version} and the minimum supported is 1")


UNPARSED = step(DAEMON + ", but the version could not be parsed")
DAEMON_CASES = [
    DaemonCase("a daemon of version 2", {"UpdateDaemon": b"d", "UpdateDaemonVersion": b"2\n"},
               [step(DAEMON)], flag=b""),
    DaemonCase("version 0", {"UpdateDaemon": b"d", "UpdateDaemonVersion": b"0\n"},
               [too_old(0)], flag=b"stale"),
    DaemonCase("version -3 between blanks", {"UpdateDaemon": b"d", "UpdateDaemonVersion": b" -3 "},
               [too_old(-3)], flag=b"stale"),
    DaemonCase("version 1.2", {"UpdateDaemon": b"d", "UpdateDaemonVersion": b"1.2\n"},
               [UNPARSED], flag=b"stale"),
    DaemonCase("an empty version", {"UpdateDaemon": b"d", "UpdateDaemonVersion": b""},
               [UNPARSED], flag=b"stale"),
    DaemonCase("a version past int", {"UpdateDaemon": b"d", "UpdateDaemonVersion": b"2147483648"},
               [UNPARSED], flag=b"stale"),
    DaemonCase("a version of 16 MiB",
               {"UpdateDaemon": b"d", "UpdateDaemonVersion": b"1" * (16 << 20)},
               [UNPARSED], flag=b"stale"),
    DaemonCase("no version", {"UpdateDaemon": b"d"},
               [step(DAEMON + ", but it is unversioned (old)")], flag=b"stale"),
    DaemonCase("a version without a daemon", {"UpdateDaemonVersion": b"5\n"}, [], flag=b"stale"),
]


class Extract(ExtractTestCase):
    def test_good_archive_replaces_the_tree_and_asks_for_a_relaunch_of_a_usable_daemon(self):
        for case in DAEMON_CASES:
            with self.subTest(case.title):
                box.reset()
                write(FLAG, b"stale")
                write(box.FIRMWARE_DIR + "/old-only", b"previous firmware")
                members = archives.firmware(**case.daemon)
                run = self.extract({**members, **PLANTED})
                self.assertEqual(run.log[:3], [state(EXTRACTING),
                                               step('Remove ExtractPath success? "Yes"'),
                                               "Debug: Extracting with the following command:"])
                self.assertRegex(run.log[3], "^" + re.escape(
                    f' "sh -c \\"exec tar -xJf {path(box.ARCHIVE_FILE)} -C {path(box.HOME)}/'
                    f'{STAGING}') + r"[A-Za-z0-9]{6}" + re.escape(f'/unpacked\\""{STEP}') + "$")
                self.assertEqual(run.log[4:-2] + run.log[-1:], [
                    step('untar stderr: ""'), *case.lines, step(UNPACKED), state(EXTRACTED)])
                self.assertProgress(EXTRACTED)
                self.assertFileBytes(FLAG, case.flag)
                self.assertEqual(firmware_files(), members)
                self.assertEqual(home.entries(), {home.RELAUNCH_FLAG, home.PROGRESS,
                                                  home.FIRMWARE, home.PERSISTENT_DATA})
                self.assertEqual(box.files_below(box.HOME + "/" + home.PERSISTENT_DATA).keys(),
                                 {os.path.relpath(box.LOG_FILE, box.HOME)})

    def test_no_archive_consumes_a_stale_companion_and_keeps_the_firmware(self):
        write(box.CHECKSUM_FILE, b"d41d8cd98f00b204e9800998ecf8427e  Firmware.tar.xz\n")
        write(box.HOME + "/" + VERSION, b"1.0\n")
        run = self.extract()
        self.assertEqual(run.log[:2] + run.log[3:],
                         [state(EXTRACTING), step("No firmware"), state(FAILED)])
        self.assertProgress(FAILED)
        self.assertFileBytes(box.HOME + "/" + VERSION, b"1.0\n")

    def test_an_archive_cut_in_half_fails_with_tars_errors_on_one_line_and_leaves_no_tree(self):
        box.reset()
        for name, content in GOOD_TREE.items():
            write(box.HOME + "/" + name, content)
        payload = {archives.PAYLOAD_MEMBER: random.Random(4).randbytes(4 << 20)}
        archive = archives.build(path(box.ARCHIVE_FILE), {**archives.firmware(), **payload})
        os.truncate(archive, os.path.getsize(archive) // 2)
        run = self.extract()
        self.assertFailed(run)
        # Each of tar's lines keeps its end, escaped within the one log line.
        [index] = [i for i, line in enumerate(run.log) if "untar stderr:" in line]
        self.assertRegex(run.log[index],
                         r'^Debug: untar stderr: "[^"]+\\n[^"]+\\n"' + re.escape(STEP) + "$")
        self.assertIn(step(TAR_FAILED), run.log)
        self.assertEqual(home.entries(), {home.PROGRESS, home.PERSISTENT_DATA})
        # Nothing of the tree that was there, nor of the part unpacked, is left to use.
        self.assertEqual(run_tool("--uploadfirmware").stdout, VERSIONS_AFTER[FAILED])
        self.assertEqual(run_tool("--updatedspfirmware").stdout, b"Started DSP firmware update")
        self.assertFalse(exists(DSP_FLAG))

    def test_a_command_outliving_the_wait_is_stopped_whole_and_fails(self):
        # Stands in for tar on a huge archive: it and a helper of its own outlive the wait.
        with tempfile.TemporaryDirectory() as bin_dir:
            with open(os.path.join(bin_dir, "tar"), "w") as f:
                f.write("""#!/bin/sh
mkdir -p "$4/Firmware" && echo 2.1 > "$4/Firmware/Version.txt"
sleep 1000 &
echo $$ $! >> "$RECORD/pids"
wait
""")
            os.chmod(os.path.join(bin_dir, "tar"), 0o755)
            run = self.extract(archives.firmware(), env={
                "PATH": bin_dir + os.pathsep + os.environ["PATH"], "RECORD": bin_dir})
            with open(os.path.join(bin_dir, "pids")) as f:
                for pid in f.read().split():
                    self.assertFalse(os.path.exists(f"/proc/{pid}"), f"process {pid} lives on")
        self.assertTrue(any(re.fullmatch(r"Debug: untar still running after \d+ ms, stopping it"
                                         + re.escape(STEP), line) for line in run.log))
        self.assertFailed(run)
        self.assertFalse(exists(box.FIRMWARE_DIR))
        self.assertNoLeftovers()


@dataclass
class Hostile:
    """An archive made by hand, the log line that tells what became of it, and what it leaves."""
    title: str
    members: list
    line: str
    state: int  # EXTRACTED: unpacked and in place; FAILED: no firmware directory
    files: dict = field(default_factory=dict)  # the firmware directory's files afterwards
    modes: dict = field(default_factory=dict)  # modes of firmware entries the case is about
    user: str = "root"


def rejected(entry, why):
    return f'Unpacked firmware rejected: "{entry}" {why}'


SECRET = os.path.join(VICTIM, "secret.txt")
UPDATE_FLAG = home.entry(box.FLAG_FILES["update"])
ORDINARY = archives.hand_made_firmware()
FIRMWARE_DIRECTORY = Member(FW, "dir", mode=0o755)
HOSTILE = [
    Hostile("Firmware links to the home, for later members to land beside it",
            [Member(FW, "symlink", target="."), Member(FW + "/" + UPDATE_FLAG),
             Member(FW + "/" + home.entry(box.FLAG_FILES["reboot"]))],
            rejected("Firmware", "is a symbolic link, not a directory"), FAILED),
    Hostile("Firmware links to a directory outside the box",
            [Member(FW, "symlink", target=VICTIM),
             Member(FW + "/secret.txt", content=b"overwritten")], TAR_FAILED, FAILED),
    Hostile("Firmware links to the persistent data",
            [Member(FW, "symlink", target="../" + home.PERSISTENT_DATA),
             Member(FW + "/" + os.path.relpath(HOST_NAME, home.PERSISTENT_DATA),
                    content=b"overwritten")], TAR_FAILED, FAILED),
    Hostile("Version.txt links to a file outside the box",
            [FIRMWARE_DIRECTORY, Member(VERSION, "symlink", target=SECRET)],
            rejected("Firmware/Version.txt", "is a symbolic link"), FAILED),
    Hostile("the DSP version links to a file of the root file system",
            [FIRMWARE_DIRECTORY, Member(DSP_VERSION, "symlink", target="/etc/passwd")],
            rejected("Firmware/R9_CoreRack_M4_Version", "is a symbolic link"), FAILED),
    Hostile("the DSP image links to a file outside the box",
            [*ORDINARY[:3], Member(DSP_IMAGE, "symlink", target=SECRET)],
            rejected("Firmware/R9_CoreRack_M4.bin", "is a symbolic link"), FAILED),
    Hostile("a link that stays inside the tree",
            [*ORDINARY[:2], Member(DSP_VERSION, "symlink", target=os.path.basename(VERSION))],
            rejected("Firmware/R9_CoreRack_M4_Version", "is a symbolic link"), FAILED),
    Hostile("Firmware is a regular file", [Member(FW, content=b"2.1\n")],
            rejected("Firmware", "is a regular file, not a directory"), FAILED),
    Hostile("Firmware is a FIFO", [Member(FW, "fifo")],
            rejected("Firmware", "is a FIFO, not a directory"), FAILED),
    Hostile("Firmware is a device node", [Member(FW, "device")],
            rejected("Firmware", "is a device node, not a directory"), FAILED),
    Hostile("a FIFO for the UpdateDaemon version",
            [*ORDINARY, Member(DAEMON_FILE, content=b"daemon"), Member(DAEMON_VERSION, "fifo")],
            rejected("Firmware/UpdateDaemonVersion", "is a FIFO"), FAILED),
    Hostile("a FIFO for Version.txt", [FIRMWARE_DIRECTORY, Member(VERSION, "fifo")],
            rejected("Firmware/Version.txt", "is a FIFO"), FAILED),
    Hostile("a device node inside the tree", [*ORDINARY, Member(FW + "/console", "device")],
            rejected("Firmware/console", "is a device node"), FAILED),
    Hostile("a device node, unpacked by a user who may not make one",
            [*ORDINARY, Member(FW + "/console", "device")], TAR_FAILED, FAILED, user="nobody"),
    Hostile("a hard link to a file outside the tree",
            [FIRMWARE_DIRECTORY, Member(VERSION, "hardlink", target="../" + HOST_NAME)],
            TAR_FAILED, FAILED),
    Hostile("a member that climbs out of the tree",
            [*ORDINARY, Member(FW + "/../" + UPDATE_FLAG)], TAR_FAILED, FAILED),
    Hostile("set-id programs and directories",
            [*ORDINARY, Member(DAEMON_FILE, content=b"daemon", mode=0o4755),
             Member(FW + "/lib", "dir", mode=0o2775),
             Member(FW + "/lib/tool", content=b"tool", mode=0o6711)],
            UNPACKED, EXTRACTED,
            files={**GOOD_TREE, DAEMON_FILE: b"daemon", FW + "/lib/tool": b"tool"},
            modes={DAEMON_FILE: 0o755, FW + "/lib": 0o775, FW + "/lib/tool": 0o711}),
    Hostile("read-only directories, unpacked by the service user",
            [*ORDINARY, Member(FW + "/lib", "dir", mode=0o555),
             Member(FW + "/lib/a.so", content=b"code"), Member(FW + "/empty", "dir", mode=0)],
            UNPACKED, EXTRACTED, files={**GOOD_TREE, FW + "/lib/a.so": b"code"},
            modes={FW + "/lib": 0o755, FW + "/empty": 0o700}, user="nobody"),
    Hostile("hard links within the tree",
            [*ORDINARY, Member(FW + "/Version-copy.txt", "hardlink", target=VERSION)],
            UNPACKED, EXTRACTED, files={**GOOD_TREE, FW + "/Version-copy.txt": b"2.1\n"}),
    Hostile("no Firmware, only members beside it",
            [Member("Other/Version.txt", content=b"2.1\n"),
             Member("Version.txt", content=b"2.1\n")],
            rejected("Firmware", "is missing"), FAILED),
    # tar -C dir -cJf Firmware.tar.xz . stores "./" with dir's mode, which tar gives to the
    # directory it unpacks into.
    Hostile("packed from a read-only directory as \".\", unpacked by the service user",
            [Member(".", "dir", mode=0o555), *(replace(m, name="./" + m.name) for m in ORDINARY)],
            UNPACKED, EXTRACTED, files=GOOD_TREE, user="nobody"),
    Hostile("200 members with names of 100,000 bytes, each named in an error of tar's",
            [*ORDINARY, *(Member(f"{FW}/{i:03}" + "x" * 100000) for i in range(200))],
            TAR_FAILED, FAILED),
]


# What --uploadfirmware then reports: every tree that is accepted is the ordinary one.
VERSIONS_AFTER = {
    EXTRACTED: b'{\n    "DSP Firmware Version": "R9-7",\n    "Firmware Version": "2.1"\n}\n',
    FAILED: b'{\n    "DSP Firmware Version": "",\n    "Firmware Version": ""\n}\n',
}


class HostileArchives(ExtractTestCase):
    def test_no_archive_reaches_outside_the_tree_or_leaves_a_tree_half_made(self):
        for case in HOSTILE:
            with self.subTest(case.title):
                self.setUp()
                outside = outside_the_tree()
                archives.build_by_hand(path(box.ARCHIVE_FILE), case.members)
                run = self.run_extraction(user=case.user)
                self.assertIn(step(case.line), run.log)
                self.assertEqual(run.log[-1], state(case.state))
                self.assertProgress(case.state)
                self.assertEqual(exists(box.FIRMWARE_DIR), case.state == EXTRACTED)
                self.assertEqual(firmware_files(), case.files)
                for name, mode in case.modes.items():
                    mode_found = stat.S_IMODE(os.lstat(path(box.HOME + "/" + name)).st_mode)
                    self.assertEqual(oct(mode_found), oct(mode), name)
                self.assertNoLeftovers()
                self.assertEqual(outside_the_tree(), outside)

                # The next steps see only what the tree holds, and a good archive still follows.
                versions = run_tool("--uploadfirmware", preexec_fn=box.as_user(case.user))
                self.assertEqual(versions.stdout, VERSIONS_AFTER[case.state])
                run_tool("--updatedspfirmware", preexec_fn=box.as_user(case.user))
                self.assertEqual(exists(DSP_FLAG), case.state == EXTRACTED)
                self.assertBounded(run, self.assertGoodExtraction(case.user))
                self.assertEqual(outside_the_tree(), outside)


@dataclass
class Leftover:
    """What an earlier version of the tool, or a run that was killed, may have left in the home,
    laid out by the real tar from hand-made members."""
    title: str
    members: list
    user: str = "root"
    chain: int = 0  # levels of a chain of directories below Firmware (see lay_out_chain)


LEFTOVERS = [
    Leftover("Firmware links to the home", [Member(FW, "symlink", target=".")]),
    Leftover("Firmware links to a directory outside the box",
             [Member(FW, "symlink", target=VICTIM)]),
    Leftover("links inside Firmware lead out of the box",
             [FIRMWARE_DIRECTORY, Member(FW + "/lib", "symlink", target=VICTIM),
              Member(VERSION, "symlink", target=SECRET)]),
    Leftover("Firmware is a FIFO", [Member(FW, "fifo")]),
    Leftover("read-only directories, for the service user to remove",
             [*ORDINARY, Member(FW + "/lib", "dir", mode=0o555),
              Member(FW + "/lib/a.so", content=b"code"),
              Member(FW + "/lib/locked", "dir", mode=0)], user="nobody"),
    Leftover("a killed run's staging directory, read-only and with a link out",
             [Member(STAGING + "Kil1ed", "dir", mode=0o700),
              Member(STAGING + "Kil1ed/" + FW, "dir", mode=0o555),
              Member(STAGING + "Kil1ed/" + FW + "/victim", "symlink", target=VICTIM),
              Member(STAGING + "Kil1ed/" + FW + "/locked", "dir", mode=0)], user="nobody"),
    Leftover("a staging name that links out of the box",
             [Member(STAGING + "L1nked", "symlink", target=VICTIM)]),
    Leftover("a tree 10,000 levels deep, as links beside the tree let an archive build",
             [], chain=10000),
]


class WhatEarlierRunsLeft(ExtractTestCase):
    def test_the_next_extraction_removes_it_without_following_a_link(self):
        good = self.assertGoodExtraction("root")
        for case in LEFTOVERS:
            with self.subTest(case.title):
                self.setUp()
                outside = outside_the_tree()
                lay_out(case.members, case.user)
                if case.chain:
                    lay_out_chain(case.chain)
                self.assertBounded(self.assertGoodExtraction(case.user), good)
                self.assertEqual(outside_the_tree(), outside)

    def test_an_unremovable_entry_fails_the_step_and_never_leaves_a_mixed_tree(self):
        @dataclass
        class Case:
            immutable: str  # the entry of the old tree that nobody may remove
            line: str  # a pattern: a staging directory's name is made up anew by each run
            firmware_after: dict  # files of the firmware directory after the failed step
            next_state: int  # of an extraction while the entry still cannot be removed

        old_tree = {VERSION: b"1.0\n", FW + "/locked": b"old"}
        cases = [
            Case(FW + "/locked", 'Old firmware entry kept: "' + STAGING + r'\w{6}/removing/'
                 r'locked" could not be removed \(Operation not permitted\)', {}, EXTRACTED),
            Case(FW, r'Old firmware entry kept: "Firmware" could not be moved aside '
                 r'\(Operation not permitted\)', old_tree, FAILED),
        ]
        unlock = f"find {path(box.HOME)} -exec chattr -i {{}} +"
        for case in cases:
            with self.subTest(case.immutable):
                self.setUp()
                for name, content in old_tree.items():
                    write(box.HOME + "/" + name, content)
                if subprocess.run(["chattr", "+i", path(box.HOME + "/" + case.immutable)]).returncode:
                    self.skipTest("chattr +i does not work here")
                self.addCleanup(subprocess.run, unlock, shell=True, stderr=subprocess.DEVNULL)
                run = self.extract(archives.firmware())
                self.assertEqual(run.log[0], state(EXTRACTING))
                self.assertRegex(run.log[1], "^" + re.escape("Debug: ") + case.line + re.escape(STEP))
                self.assertEqual(run.log[2:4], [step('Remove ExtractPath success? "no"'),
                                                step('tar -xJf success? "no"')])
                self.assertFailed(run)
                self.assertEqual(exists(box.FIRMWARE_DIR), bool(case.firmware_after))
                self.assertEqual(firmware_files(), case.firmware_after)

                self.extract(archives.firmware())
                self.assertProgress(case.next_state)
                subprocess.run(unlock, shell=True, stderr=subprocess.DEVNULL)
                self.assertGoodExtraction("root")


class FullDisk(ExtractTestCase):
    def test_a_decompression_bomb_that_fills_the_disk_frees_it_again(self):
        mount_point = path(box.HOME)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=16m", "bomb", mount_point],
                          stderr=subprocess.DEVNULL).returncode:
            self.skipTest("cannot mount a small file system here")
        self.addCleanup(subprocess.run, ["umount", mount_point])
        os.makedirs(path(os.path.dirname(box.LOG_FILE)))
        archives.build_by_hand(path(box.ARCHIVE_FILE), [
            *ORDINARY, Member(archives.PAYLOAD_MEMBER, content=bytes(64 << 20))])
        free_before = os.statvfs(mount_point).f_bfree
        run = self.run_extraction()
        self.assertIn(step(TAR_FAILED), run.log)
        self.assertFailed(run)
        self.assertEqual(home.entries(), {home.PROGRESS, home.PERSISTENT_DATA})
        # The archive is gone too; only the log and the progress file have grown.
        self.assertGreaterEqual(os.statvfs(mount_point).f_bfree, free_before - 4)


if __name__ == "__main__":
    unittest.main()

"""The tool killed with SIGKILL at random moments of a download and of an extraction. After each
kill the archive and its companion are the old pair or the new one, the firmware tree is absent
or whole from one archive, the progress file holds a number, and the next run succeeds. Seeded,
so that a failure repeats; it takes minutes, so it carries the ctest label crash."""

import os
import random
import tempfile
import time
import unittest
from dataclasses import dataclass

import archives
import box
import home
from box import BoxTestCase, exists, path, read, run_tool, write
from firmware_server import ARCHIVE_PATH, CHECKSUM_PATH, FirmwareServer, trickled

SEED = 15
# The same members in both trees, with other content, so that a mix of the two shows.
OLD_TREE = {}
NEW_TREE = {}
for index in range(300):
    OLD_TREE[f"{archives.FIRMWARE_MEMBER}/lib/{index:04}.so"] = b"old %04d\n" % index * 200
    NEW_TREE[f"{archives.FIRMWARE_MEMBER}/lib/{index:04}.so"] = b"new %04d\n" % index * 200
NEW_TREE[archives.PAYLOAD_MEMBER] = random.Random(SEED).randbytes(1 << 20)
TREES = {"old tree": OLD_TREE, "new tree": NEW_TREE}
ARCHIVE = home.ARCHIVE
COMPANION = home.CHECKSUM
# What an extraction that ended well leaves in the home: nothing of what killed runs left, but
# the partial body a download keeps for the next one.
HOME_AFTER_EXTRACTION = {home.PROGRESS, home.FIRMWARE, home.PERSISTENT_DATA}
EXTRACTING = box.STATE["UPDATE_STATE_EXTRACTING"]
EXTRACTED = box.STATE["UPDATE_STATE_EXTRACTED"]
END_OF_RUN = "the end of the run"


@dataclass
class Phase:
    title: str
    start: str  # the log line that opens it
    end: str  # the log line that closes it
    kills: int  # at random moments within it


DOWNLOAD_PHASES = [
    Phase("the transfers", "getting", "Got both", kills=10),
    Phase("putting the pair in place", "Got both", END_OF_RUN, kills=10),
]
EXTRACTION_PHASES = [
    Phase("moving the old tree aside and removing it", f"Changed state value to: {EXTRACTING}",
          "Extracting with the following command", kills=7),
    Phase("unpacking", "Extracting with the following command", "untar stderr", kills=7),
    Phase("checking, moving into place, consuming the pair", "untar stderr", END_OF_RUN,
          kills=7),
]


@dataclass
class PairLayout:
    """What a killed download may leave of the pair, each entry named by what it holds, and the
    tree the next extraction, which puts a decided pair in place first, makes of it."""
    title: str
    entries: dict  # temporary files aside
    extracted: str


PAIR_LAYOUTS = [
    PairLayout("the old pair", {ARCHIVE: "old archive", COMPANION: "old companion"}, "old tree"),
    PairLayout("the old pair, the new archive pending",
               {ARCHIVE: "old archive", COMPANION: "old companion",
                ARCHIVE + ".pending": "new archive"}, "old tree"),
    PairLayout("the old pair, the new pair pending",
               {ARCHIVE: "old archive", COMPANION: "old companion",
                ARCHIVE + ".pending": "new archive", COMPANION + ".pending": "new companion"},
               "new tree"),
    PairLayout("the new archive in place, its companion pending",
               {ARCHIVE: "new archive", COMPANION: "old companion",
                COMPANION + ".pending": "new companion"}, "new tree"),
    PairLayout("the new pair", {ARCHIVE: "new archive", COMPANION: "new companion"}, "new tree"),
]
# What a killed extraction may leave of the pair: it removes the archive first.
EXTRACTION_PAIR_LEFTOVERS = [{ARCHIVE: "new archive", COMPANION: "new companion"},
                             {COMPANION: "new companion"}, {}]


def firmware_tree():
    """What the firmware directory holds: nothing, one of the two trees whole, or a mix."""
    if not exists(box.FIRMWARE_DIR):
        return "absent"
    found = box.files_below(box.FIRMWARE_DIR)
    return next((title for title, tree in TREES.items() if tree == found), "a mix")


def phase_lengths(option, phases):
    """Runs the step once to its end and measures how long each of its phases takes here."""
    log_start = len(box.log_bytes())
    tool = box.start_tool(option)
    seen = {}
    while tool.poll() is None:
        for phase in phases:
            if phase.start not in seen and phase.start.encode() in box.log_bytes()[log_start:]:
                seen[phase.start] = time.monotonic()
        time.sleep(0.001)
    seen[END_OF_RUN] = time.monotonic()
    box.finish(tool, log_start)
    return {phase.title: seen[phase.end] - seen[phase.start] for phase in phases}


class KilledAtAnyMoment(BoxTestCase):
    @classmethod
    def setUpClass(cls):
        cls.files = {}  # "old archive", "new companion" and so on: their content
        with tempfile.TemporaryDirectory() as work:
            for age in ("old", "new"):
                archive = archives.build(os.path.join(work, age + ".tar.xz"), TREES[age + " tree"])
                with open(archive, "rb") as f:
                    cls.files[age + " archive"] = f.read()
                cls.files[age + " companion"] = archives.md5_companion(archive)

    def setUp(self):
        super().setUp()
        self.random = random.Random(SEED)
        self.server = FirmwareServer(int(box.FIRMWARE_SERVER.rpartition(":")[2])).start()
        self.addCleanup(self.server.stop)
        # Slow enough that kills land all through the transfer.
        self.server.answer(ARCHIVE_PATH, trickled(self.files["new archive"], pieces=16,
                                                  pause=0.04))
        self.server.route(CHECKSUM_PATH, self.files["new companion"])

    def put_pair(self, age):
        write(box.ARCHIVE_FILE, self.files[age + " archive"])
        write(box.CHECKSUM_FILE, self.files[age + " companion"])

    def pair_entries(self):
        """The pair's entries in the home, temporary files and the partial body aside, each
        named by its content."""
        names = {content: name for name, content in self.files.items()}
        return {entry: names.get(read(box.HOME + "/" + entry), "something else")
                for entry in os.listdir(path(box.HOME))
                if entry.startswith(ARCHIVE) and ".new-" not in entry
                and entry not in home.PARTIAL_BODY}

    def assertPartialBodyIsTheNewArchivesStart(self):
        if exists(box.PARTIAL_ARCHIVE_FILE):
            self.assertTrue(self.files["new archive"].startswith(read(box.PARTIAL_ARCHIVE_FILE)))

    def kill_during(self, option, phase, length):
        log_start = len(box.log_bytes())
        tool = box.start_tool(option)
        box.wait_for_line(phase.start, log_start)
        time.sleep(self.random.uniform(0, length))
        tool.kill()
        # Whatever the tool had started must not outlive it, holding the caller's output open.
        tool.communicate(timeout=30)

    def assertNextExtractionMakes(self, tree):
        run = run_tool("--extractfirmware")
        self.assertEqual(run.log[-1],
                         f"Debug: Changed state value to: {EXTRACTED} (void WriteUpdateState(int))")
        self.assertEqual(firmware_tree(), tree)
        self.assertEqual(home.entries() - home.PARTIAL_BODY, HOME_AFTER_EXTRACTION)

    def test_a_killed_download_leaves_the_old_pair_or_the_new_one(self):
        self.put_pair("old")
        lengths = phase_lengths("--downloadfirmware", DOWNLOAD_PHASES)
        for phase in DOWNLOAD_PHASES:
            for kill in range(phase.kills):
                with self.subTest(phase.title, kill=kill):
                    box.reset()
                    self.put_pair("old")
                    self.kill_during("--downloadfirmware", phase, lengths[phase.title])

                    entries = self.pair_entries()
                    self.assertIn(entries, [layout.entries for layout in PAIR_LAYOUTS])
                    self.assertPartialBodyIsTheNewArchivesStart()
                    self.assertNextExtractionMakes(next(layout.extracted for layout in PAIR_LAYOUTS
                                                        if layout.entries == entries))

    def test_a_killed_extraction_leaves_no_tree_or_a_whole_one(self):
        def lay_out():
            box.reset()
            write(box.PROGRESS_FILE, str(EXTRACTED).encode())
            for name, content in TREES["old tree"].items():
                write(box.HOME + "/" + name, content)
            self.put_pair("new")

        lay_out()
        lengths = phase_lengths("--extractfirmware", EXTRACTION_PHASES)
        for phase in EXTRACTION_PHASES:
            for kill in range(phase.kills):
                with self.subTest(phase.title, kill=kill):
                    lay_out()
                    self.kill_during("--extractfirmware", phase, lengths[phase.title])

                    self.assertIn(read(box.PROGRESS_FILE),
                                  (str(EXTRACTING).encode(), str(EXTRACTED).encode()))
                    self.assertIn(firmware_tree(), ("absent", "old tree", "new tree"))
                    self.assertIn(self.pair_entries(), EXTRACTION_PAIR_LEFTOVERS)
                    if not exists(box.ARCHIVE_FILE):
                        # Consumed only once the new tree was in place.
                        self.assertEqual(firmware_tree(), "new tree")
                        self.put_pair("new")
                    self.assertNextExtractionMakes("new tree")


if __name__ == "__main__":
    unittest.main()

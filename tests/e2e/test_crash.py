"""The tool killed (SIGKILL) where a kill hurts most: at the named instants between renames that
belong together, where the sandbox build kills itself when RIRARUDE_CRASH_POINT names one, and
at a few seeded random moments. After each kill the archive and its companion are the old pair
or the new one, the firmware tree is absent or whole from one archive, the progress file holds a
number, and the next run makes the new firmware."""

import os
import random
import signal
import tempfile
import time
import unittest
from dataclasses import dataclass

import archives
import box
import home
from box import BoxTestCase, exists, path, read, run_tool, write
from firmware_server import ARCHIVE_PATH, CHECKSUM_PATH, FirmwareServer, Reply, head, trickled

SEED = 15
# The same members in both trees with other content, so that a mix of the two shows.
TREES = {age + " tree": {f"{archives.FIRMWARE_MEMBER}/lib/{index:02}.so": b"%s %02d\n" % (
    age.encode(), index) * 2000 for index in range(20)} for age in ("old", "new")}
ARCHIVE, COMPANION = home.ARCHIVE, home.CHECKSUM
EXTRACTING = box.STATE["UPDATE_STATE_EXTRACTING"]
EXTRACTED = box.STATE["UPDATE_STATE_EXTRACTED"]
RANDOM_KILLS = 3


@dataclass
class Point:
    """A named instant, what a kill there leaves of the pair (each entry by what it holds) and
    of the tree, and the tree the next extraction makes of it."""
    step: str
    name: str
    pair: dict
    tree: str
    next_tree: str


OLD_PAIR = {ARCHIVE: "old archive", COMPANION: "old companion"}
NEW_PAIR = {ARCHIVE: "new archive", COMPANION: "new companion"}
POINTS = [
    Point("--downloadfirmware", "archive-pending",
          {**OLD_PAIR, ARCHIVE + ".pending": "new archive"}, "old tree", "old tree"),
    Point("--downloadfirmware", "pair-decided",
          {**OLD_PAIR, ARCHIVE + ".pending": "new archive",
           COMPANION + ".pending": "new companion"},
          "old tree", "new tree"),
    Point("--downloadfirmware", "archive-in-place",
          {ARCHIVE: "new archive", COMPANION: "old companion",
           COMPANION + ".pending": "new companion"}, "old tree", "new tree"),
    Point("--extractfirmware", "old-tree-moved-aside", NEW_PAIR, "absent", "new tree"),
    Point("--extractfirmware", "tree-in-place", NEW_PAIR, "new tree", "new tree"),
    # The archive is consumed only once the new tree is in place; the next extraction has
    # nothing to make, and the one after a new upload makes the tree again.
    Point("--extractfirmware", "archive-consumed", {COMPANION: "new companion"}, "new tree",
          "new tree"),
]

# What a kill at any moment may leave of the pair, and the tree the next extraction makes of it.
DOWNLOAD_LAYOUTS = [(OLD_PAIR, "old tree"), (NEW_PAIR, "new tree")] + [
    (point.pair, point.next_tree) for point in POINTS if point.step == "--downloadfirmware"]
EXTRACTION_LAYOUTS = [(NEW_PAIR, "new tree"), ({COMPANION: "new companion"}, "new tree"),
                      ({}, "new tree")]


def firmware_tree():
    """What the firmware directory holds: nothing, one of the two trees whole, or a mix."""
    if not exists(box.FIRMWARE_DIR):
        return "absent"
    found = box.files_below(box.FIRMWARE_DIR)
    return next((title for title, tree in TREES.items() if tree == found), "a mix")


class Killed(BoxTestCase):
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
        self.server = FirmwareServer(int(box.FIRMWARE_SERVER.rpartition(":")[2])).start()
        self.addCleanup(self.server.stop)
        self.server.answer(ARCHIVE_PATH, trickled(self.files["new archive"], pieces=8,
                                                  pause=0.02))
        self.server.route(CHECKSUM_PATH, self.files["new companion"])

    def lay_out(self, age):
        """The old tree and the pair of that age; the server offers the new pair: a download
        brings it, an extraction makes the new tree of it."""
        box.reset()
        write(box.PROGRESS_FILE, str(EXTRACTED).encode())
        for name, content in TREES["old tree"].items():
            write(box.HOME + "/" + name, content)
        self.put_pair(age)

    def put_pair(self, age):
        write(box.ARCHIVE_FILE, self.files[age + " archive"])
        write(box.CHECKSUM_FILE, self.files[age + " companion"])

    def pair_entries(self):
        """The pair's entries in the home, temporary files and the partial body aside, each
        named by what it holds."""
        names = {content: name for name, content in self.files.items()}
        return {entry: names.get(read(box.HOME + "/" + entry), "something else")
                for entry in os.listdir(path(box.HOME))
                if entry.startswith(ARCHIVE) and ".new-" not in entry
                and entry not in home.PARTIAL_BODY}

    def assertConsistent(self, step):
        """What any kill may leave: a number in the progress file, no mix of trees, and a partial
        body that is the start of the new archive."""
        states = (EXTRACTING, EXTRACTED) if step == "--extractfirmware" else (EXTRACTED,)
        self.assertIn(read(box.PROGRESS_FILE), [str(state).encode() for state in states])
        self.assertIn(firmware_tree(), ("absent", "old tree", "new tree"))
        if step == "--extractfirmware" and ARCHIVE not in self.pair_entries():
            self.assertEqual(firmware_tree(), "new tree", "consumed before the tree was in place")
        if exists(box.PARTIAL_ARCHIVE_FILE):
            self.assertTrue(self.files["new archive"].startswith(read(box.PARTIAL_ARCHIVE_FILE)))

    def assertNextExtractionMakes(self, tree):
        if not exists(box.ARCHIVE_FILE):
            self.put_pair("new")
        run = run_tool("--extractfirmware")
        self.assertEqual(run.log[-1],
                         f"Debug: Changed state value to: {EXTRACTED} (void WriteUpdateState(int))")
        self.assertEqual(firmware_tree(), tree)
        self.assertEqual(home.entries() - home.PARTIAL_BODY,
                         {home.PROGRESS, home.FIRMWARE, home.PERSISTENT_DATA})

    def test_a_kill_at_a_named_instant(self):
        for point in POINTS:
            with self.subTest(point.name):
                self.lay_out("old" if point.step == "--downloadfirmware" else "new")
                run = run_tool(point.step, env={"RIRARUDE_CRASH_POINT": point.name},
                               check_exit=False)
                self.assertEqual(run.returncode, -signal.SIGKILL, "the point was never reached")
                self.assertEqual(self.pair_entries(), point.pair)
                self.assertEqual(firmware_tree(), point.tree)
                self.assertConsistent(point.step)
                self.assertNextExtractionMakes(point.next_tree)

    def test_a_kill_while_the_partial_body_is_kept(self):
        """The record of a partial body follows its bytes onto the disk, never the other way
        round: killed in between, the next download still ends with the whole new archive."""
        archive = self.files["new archive"]
        cut = Reply(head(f"Content-Length: {len(archive)}", 'ETag: "new"', "Connection: close"),
                    lambda: [archive[:len(archive) // 2]])
        self.lay_out("old")
        self.server.answer(ARCHIVE_PATH, cut)
        run = run_tool("--downloadfirmware", env={"RIRARUDE_CRASH_POINT": "partial-body-synced"},
                       check_exit=False)
        self.assertEqual(run.returncode, -signal.SIGKILL, "the point was never reached")
        self.assertEqual(self.pair_entries(), OLD_PAIR)
        self.assertConsistent("--downloadfirmware")
        self.server.route(ARCHIVE_PATH, archive)
        run_tool("--downloadfirmware")
        self.assertEqual(self.pair_entries(), NEW_PAIR)
        self.assertNextExtractionMakes("new tree")

    def test_a_kill_at_a_random_moment(self):
        rounds = random.Random(SEED)
        for step, age, layouts in (("--downloadfirmware", "old", DOWNLOAD_LAYOUTS),
                                   ("--extractfirmware", "new", EXTRACTION_LAYOUTS)):
            self.lay_out(age)
            started = time.monotonic()
            run_tool(step)
            length = time.monotonic() - started
            for kill in range(RANDOM_KILLS):
                with self.subTest(step, kill=kill):
                    self.lay_out(age)
                    tool = box.start_tool(step)
                    time.sleep(rounds.uniform(0, length))
                    tool.kill()
                    # Nothing the tool started may outlive it, holding the caller's output open.
                    tool.communicate(timeout=30)
                    self.assertConsistent(step)
                    entries = self.pair_entries()
                    next_tree = [tree for layout, tree in layouts if layout == entries]
                    self.assertEqual(len(next_tree), 1, entries)
                    self.assertNextExtractionMakes(next_tree[0])


if __name__ == "__main__":
    unittest.main()

"""Walks the update road on a simulated box, as the box's programs walk it, and shows for each
step what they would see: standard output, the progress state, the flag files and the lines
the step added to the event log. Ends with a verdict: per step the one thing that matters,
checked, and the road's outcome.

The box is a sandbox directory under the build directory; the firmware server is a real HTTP
server on loopback; the DSP board is the board simulator on a pseudo-terminal linked at the
box's DSP device. Everything started here is stopped again, also when interrupted; the box is
left for inspection. Paths, states and limits come from the build's box facts.
"""

import argparse
import hashlib
import json
import os
import signal
import sys
import tempfile

FIXTURES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "fixtures")

ROAD = ["getversions", "downloadfirmware", "uploadfirmware", "extractfirmware", "updatefirmware",
        "updatedspfirmware", "blockingdspupdate", "getversions", "reboot"]
FAULTS = {
    "download-404": "the firmware server answers the archive path with 404 Not Found",
    "corrupt-archive": "the firmware server sends an archive cut off in the middle",
    "board-refuses": "the DSP board refuses the third message of the transfer (status 5)",
    "board-silent": "the DSP board never answers",
}
BOARD_FAULTS = {"board-refuses": ["--refuse", "3:5"], "board-silent": ["--silent"]}

RUNNING_VERSION = "1.4.2"
NEW_VERSION = "2.0.0"
BOARD_VERSION = "R9-3.0"
NEW_DSP_VERSION = "R9-3.1"


# Per step, the one thing that matters, and how it reads at the end of a good road...
WATCHED = {
    "getversions": ("the board's DSP version", BOARD_VERSION),
    "downloadfirmware": ("archive download error", 0),
    "uploadfirmware": ("firmware version in the archive", NEW_VERSION),
    "extractfirmware": ("firmware tree as in the archive", "yes"),
    "updatefirmware": ("firmware update requested", "yes"),
    "updatedspfirmware": ("DSP update requested", "yes"),
    "blockingdspupdate": ("the board's transfer", "complete, image intact"),
    "reboot": ("reboot requested", "yes"),
}
# ... and what each fault changes.
WITHOUT_ARCHIVE = {"uploadfirmware": "", "extractfirmware": "no", "updatedspfirmware": "no",
                   "blockingdspupdate": "none"}
FAULT_CHANGES = {
    "download-404": {**WITHOUT_ARCHIVE, "downloadfirmware": 203},
    "corrupt-archive": {**WITHOUT_ARCHIVE, "downloadfirmware": 299},
    "board-refuses": {"blockingdspupdate": "refused"},
    "board-silent": {"getversions": "", "blockingdspupdate": "incomplete"},
}


def use_build(build_dir):
    """Makes the fixtures read the build's box facts."""
    facts_file = os.path.join(build_dir, "box-facts.json")
    if not os.path.exists(facts_file):
        sys.exit(f"{build_dir} has no box-facts.json: build it with scripts/configure-sandbox.sh")
    os.environ.update({"RIRARUDE_BOX_FACTS": facts_file, "LC_ALL": "C"})
    sys.path.insert(0, FIXTURES)


def release_members(archives, dsp_image):
    """A firmware tree as a release carries it, with a new UpdateDaemon."""
    initrd = os.urandom(256 * 1024)
    initrd_name = os.path.basename(archives.PATH["UPDATER_UINITRD_FILE"])
    members = archives.firmware(f"{NEW_VERSION}\n".encode(), f"{NEW_DSP_VERSION}\n".encode())
    members.update({
        archives.member("DSP_FIRMWARE_IMAGE"): dsp_image,
        archives.member("UPDATER_UINITRD_FILE"): initrd,
        archives.member("UPDATER_UINITRD_CHECKSUM_FILE"):
            f"{hashlib.md5(initrd).hexdigest()}  {initrd_name}\n".encode(),
        archives.member("FIRMWARE_UPDATE_NEW_DAEMON"): b"#!/bin/sh\n# the new UpdateDaemon\n",
        archives.member("FIRMWARE_UPDATE_NEW_DAEMON_VERSION_FILE"): b"2\n",
    })
    return members


def elided(lines, head=12, tail=6):
    """A long log (one line per message of a board transfer) shown by its ends."""
    if len(lines) <= head + tail + 1:
        return lines
    return lines[:head] + [f"... {len(lines) - head - tail} more lines ..."] + lines[-tail:]


class Demo:
    def __init__(self, fault, work_dir):
        import archives
        import box
        import facts
        import firmware_server

        self.box, self.facts, self.fault = box, facts, fault
        self.dsp_image = os.urandom(6 * 1024 + 123)
        self.members = release_members(archives, self.dsp_image)
        archive = archives.build(os.path.join(work_dir, "Firmware.tar.xz"), self.members)
        checksum = os.path.join(work_dir, "Firmware.tar.xz.md5")
        with open(checksum, "wb") as f:
            f.write(archives.md5_companion(archive))
        self.served_archive = archive
        if fault == "corrupt-archive":
            self.served_archive = os.path.join(work_dir, "Firmware-cut.tar.xz")
            with open(archive, "rb") as full, open(self.served_archive, "wb") as cut:
                cut.write(full.read()[: os.path.getsize(archive) // 2])

        self.server = firmware_server.FirmwareServer(int(box.FIRMWARE_SERVER.rpartition(":")[2]))
        self.server.route(firmware_server.CHECKSUM_PATH, checksum)
        status = 404 if fault == "download-404" else 200
        self.server.route(firmware_server.ARCHIVE_PATH, self.served_archive, status=status)
        self.board = None
        self.runs = {}  # the first run of each step

    def lay_out_box(self):
        box = self.box
        box.reset()
        box.write(box.PATH["ROOTFS_RUNNING_UINITRD_VERSION_FILE"], f"{RUNNING_VERSION}\n".encode())
        # The box's programs ask for a DSP update at the next boot; the blocking update takes
        # that request away whatever its outcome.
        box.write(box.FLAG_FILES["dsp_on_boot"])

    def start_services(self):
        import board

        self.server.start()
        self.board = board.Board("--version", BOARD_VERSION, *BOARD_FAULTS.get(self.fault, []))
        self.board.start()

    def stop_services(self):
        if self.board is not None:
            self.board.stop()
        self.server.stop()

    # --- what the box's programs see --------------------------------------------------------

    def progress(self):
        """The progress file's number and the text of that state."""
        box = self.box
        if not box.exists(box.PROGRESS_FILE):
            return "(no progress file)"
        text = box.read(box.PROGRESS_FILE).decode("ascii", "replace")
        name = "?"
        if text.isdigit():
            name = self.facts.STATE_TEXT.get(int(text), "?")
        return f"{text} ({name})"

    def flags(self):
        present = [os.path.basename(flag) for flag in self.box.FLAG_FILES.values()
                   if self.box.exists(flag)]
        return ", ".join(sorted(present)) or "(none)"

    def step(self, option):
        run = self.box.run_tool("--" + option, timeout=300)
        print(f"\n$ rirarude-updater --{option}")
        stdout = run.stdout.decode("utf-8", "replace")
        if not stdout:
            print("  standard output: (nothing)")
        elif "\n" in stdout.rstrip("\n"):
            print("  standard output:")
            for line in stdout.splitlines():
                print("    " + line)
        else:
            print(f"  standard output: {stdout!r}")
        print(f"  progress state:  {self.progress()}")
        print(f"  flag files:      {self.flags()}")
        print("  event log:")
        for line in elided(run.log):
            print("    " + line)
        self.runs.setdefault(option, run)

    def verdict(self):
        """Per step, once the board has ended its record: (step, what it shows, what it should
        show)."""
        expected = {option: value for option, (_, value) in WATCHED.items()}
        expected.update(FAULT_CHANGES.get(self.fault, {}))
        return [(option, getattr(self, option)(self.runs[option]), expected[option])
                for option in WATCHED]

    # --- per step, named after its option: the one thing that matters ---------------------------

    def getversions(self, run):
        return json.loads(run.stdout)["DSP Firmware Version"]

    def downloadfirmware(self, run):
        return json.loads(run.stdout)["Firmware Download Error"]

    def uploadfirmware(self, run):
        return json.loads(run.stdout)["Firmware Version"]

    def extractfirmware(self, run):
        return yes_or_no(self.box.files_below(self.box.FIRMWARE_DIR) == self.members)

    def updatefirmware(self, run):
        return yes_or_no(self.box.exists(self.box.FLAG_FILES["update"]))

    def updatedspfirmware(self, run):
        return yes_or_no(self.box.exists(self.box.FLAG_FILES["dsp"]))

    def blockingdspupdate(self, run):
        transfers = self.board.report["transfers"]
        if not transfers:
            return "none"
        if transfers[-1]["result"] == "complete" and self.board.image == self.dsp_image:
            return "complete, image intact"
        return transfers[-1]["result"]

    def reboot(self, run):
        return yes_or_no(self.box.exists(self.box.FLAG_FILES["reboot"]))


def yes_or_no(holds):
    return "yes" if holds else "no"


def run_demo(fault):
    with tempfile.TemporaryDirectory(prefix="rirarude-demo-") as work_dir:
        demo = Demo(fault, work_dir)
        demo.lay_out_box()
        print(f"Simulated box: {demo.box.ROOT}")
        print(f"Firmware server: http://{demo.box.FIRMWARE_SERVER}/ serving a "
              f"{os.path.getsize(demo.served_archive)}-byte archive of firmware {NEW_VERSION}")
        if fault:
            print(f"Injected fault: {FAULTS[fault]}")
        try:
            demo.start_services()
            print(f"DSP board: simulator on {demo.box.path(demo.box.DSP_DEVICE)}, "
                  f"answering version {BOARD_VERSION}")
            for option in ROAD:
                demo.step(option)
        finally:
            demo.stop_services()
        verdict = demo.verdict()

    print("\nVerdict:")
    for option, shown, expected in verdict:
        what = f"{option}: {WATCHED[option][0]}: {shown!r}"
        if shown == expected:
            print(f"  [ok] {what}")
        else:
            print(f"  [FAILED] {what}, expected {expected!r}")
    passed = all(shown == expected for _, shown, expected in verdict)
    if not passed:
        print("\nFAIL: a step did not end as it should.")
    elif fault:
        print(f"\nPASS: the fault '{fault}' was reported as expected.")
    else:
        print("\nPASS: the update went through.")
    print(f"The box is left at {demo.box.ROOT} for inspection.")
    return 0 if passed else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build-dir", default="build-demo",
                        help="a sandbox build (scripts/configure-sandbox.sh)")
    parser.add_argument("--fault", choices=sorted(FAULTS), help="inject one fault")
    args = parser.parse_args()

    use_build(os.path.abspath(args.build_dir))
    # An interruption unwinds through the clean-up like any other error.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(130))
    try:
        return run_demo(args.fault)
    except KeyboardInterrupt:
        print("\nInterrupted; everything started was stopped.", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())

"""Walks the update road on a simulated box, as the box's programs walk it, and shows for each
step what they would see: standard output, the progress state, the flag files and the lines
the step added to the event log. Ends with a verdict built from real checks.

The box is a sandbox directory under the build directory; the firmware server is a real HTTP
server on loopback; the DSP board is the board simulator on a pseudo-terminal linked at the
box's /dev/qv_core_rack. Everything started here is stopped again, also when interrupted; the
box is left for inspection.
"""

import argparse
import hashlib
import json
import os
import re
import signal
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
FIXTURES = os.path.join(HERE, "..", "tests", "fixtures")

STATE_NAMES = ["Unknown", "Ready", "Failed", "Uploading", "Uploaded", "Downloading", "Downloaded",
               "Extracting", "Extracted", "Updating", "Needs Reboot", "Rebooting", "Finished",
               "Updated", "Updating DSP", "Updated DSP", "Lost Comms", "Last Legacy State",
               "Waiting For FW version", "Received FW version", "KOV Extracting",
               "KOV Update Failed", "KOV Extracted", "KOV Extracted", "KOV Updating DSP"]
ROAD = ["getversions", "downloadfirmware", "uploadfirmware", "extractfirmware", "updatefirmware",
        "updatedspfirmware", "blockingdspupdate", "getversions", "reboot"]
FAULTS = {
    "download-404": "the firmware server answers the archive path with 404 Not Found",
    "corrupt-archive": "the firmware server sends an archive cut off in the middle",
    "board-refuses": "the DSP board refuses the third message of the transfer (status 5)",
    "board-silent": "the DSP board never answers",
}

RUNNING_VERSION = "1.4.2"
NEW_VERSION = "2.0.0"
BOARD_VERSION = "R9-3.0"
NEW_DSP_VERSION = "R9-3.1"


def build_configuration(build_dir):
    """The firmware server address and box root the sandbox build was configured with."""
    settings = {}
    with open(os.path.join(build_dir, "CMakeCache.txt")) as cache:
        for line in cache:
            match = re.match(r"(RIRARUDE_FIRMWARE_SERVER|RIRARUDE_BOX_ROOT):\w+=(.*)", line)
            if match:
                settings[match.group(1)] = match.group(2).strip()
    return settings


def prepare_environment(build_dir):
    settings = build_configuration(build_dir)
    if not settings.get("RIRARUDE_BOX_ROOT"):
        sys.exit(f"{build_dir} is not a sandbox build (RIRARUDE_BOX_ROOT is empty)")
    os.environ.update({
        "RIRARUDE_BOX_ROOT": settings["RIRARUDE_BOX_ROOT"],
        "RIRARUDE_FIRMWARE_SERVER": settings["RIRARUDE_FIRMWARE_SERVER"],
        "RIRARUDE_TOOL": os.path.join(build_dir, "rirarude-updater"),
        "RIRARUDE_BOARD_SIMULATOR": os.path.join(build_dir, "tools", "board-simulator"),
        "LC_ALL": "C",
    })
    os.environ.setdefault("RIRARUDE_EMULATOR", "")
    sys.path.insert(0, FIXTURES)


def firmware_members(archives):
    """A firmware tree as a release carries it."""
    dsp_image = os.urandom(6 * 1024 + 123)
    initrd = os.urandom(256 * 1024)
    initrd_md5 = hashlib.md5(initrd).hexdigest() + "  uInitrd\n"
    return archives.firmware(
        f"{NEW_VERSION}\n".encode(), f"{NEW_DSP_VERSION}\n".encode(),
        UpdateDaemon=b"#!/bin/sh\n# the new UpdateDaemon\n",
        UpdateDaemonVersion=b"2\n",
        **{"R9_CoreRack_M4.bin": dsp_image, "uInitrd": initrd,
           "uInitrd.md5": initrd_md5.encode()})


def elided(lines, head=12, tail=6):
    """A long log (one line per message of a board transfer) shown by its ends."""
    if len(lines) <= head + tail + 1:
        return lines
    return lines[:head] + [f"... {len(lines) - head - tail} more lines ..."] + lines[-tail:]


class Demo:
    def __init__(self, fault, work_dir):
        import archives
        import box
        import firmware_server

        self.box, self.archives, self.fault = box, archives, fault
        self.members = firmware_members(archives)
        self.archive = archives.build(os.path.join(work_dir, "Firmware.tar.xz"), self.members)
        self.checksum = os.path.join(work_dir, "Firmware.tar.xz.md5")
        with open(self.checksum, "wb") as f:
            f.write(archives.md5_companion(self.archive))
        self.served_archive = self.archive
        if fault == "corrupt-archive":
            self.served_archive = os.path.join(work_dir, "Firmware-cut.tar.xz")
            with open(self.archive, "rb") as full, open(self.served_archive, "wb") as cut:
                cut.write(full.read()[: os.path.getsize(self.archive) // 2])

        port = int(os.environ["RIRARUDE_FIRMWARE_SERVER"].rpartition(":")[2])
        self.server = firmware_server.FirmwareServer(port)
        self.server.route(firmware_server.CHECKSUM_PATH, self.checksum)
        self.server.route(firmware_server.ARCHIVE_PATH, self.served_archive,
                          **({"status": 404} if fault == "download-404" else {}))
        self.board = None
        self.runs = {}

    # --- the simulated box -------------------------------------------------------------------

    def lay_out_box(self):
        box = self.box
        box.reset()
        box.write("/etc/InitrdVersion.txt", f"{RUNNING_VERSION}\n".encode())
        # The box's programs ask for a DSP update at the next boot; the blocking update takes
        # that request away whatever its outcome.
        box.write(box.FLAG_FILES["dsp_on_boot"])

    def start_services(self):
        import board

        self.server.start()
        faults = {"board-refuses": ["--refuse", "3:5"], "board-silent": ["--silent"]}
        self.board = board.Board("--version", BOARD_VERSION, *faults.get(self.fault, []))
        self.board.start()

    def stop_services(self):
        if self.board is not None:
            self.board.stop()
        self.server.stop()

    # --- one step ----------------------------------------------------------------------------

    def progress(self):
        box = self.box
        if not box.exists(box.PROGRESS_FILE):
            return "(no progress file)"
        text = box.read(box.PROGRESS_FILE).decode()
        state = int(text) if re.fullmatch(r"-?\d+", text) else None
        name = STATE_NAMES[state] if state is not None and 0 <= state < len(STATE_NAMES) else "?"
        return f"{text} ({name})"

    def flags(self):
        present = [os.path.basename(flag) for flag in self.box.FLAG_FILES.values()
                   if self.box.exists(flag)]
        return ", ".join(sorted(present)) or "(none)"

    def step(self, option):
        run = self.box.run_tool("--" + option, timeout=300)
        self.runs.setdefault(option, []).append(run)
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
        return run

    # --- the verdict -------------------------------------------------------------------------

    def json_of(self, option, index=0):
        return json.loads(self.runs[option][index].stdout)

    def checks(self):
        """(description, passed) pairs: what a good update leaves, or how a fault shows."""
        box, members = self.box, self.members
        transfer = self.board.transfers[-1] if self.board.transfers else {}
        dsp_image = members["Firmware/R9_CoreRack_M4.bin"]
        firmware_intact = all(box.exists("/home/pxm/" + name) and box.read("/home/pxm/" + name)
                              == content for name, content in members.items())
        blocking_log = self.runs["blockingdspupdate"][0].log

        board_answers = self.fault != "board-silent"
        common = [
            ("getversions reports the running version and the board's",
             self.json_of("getversions") == {
                 "DSP Firmware Version": BOARD_VERSION if board_answers else "",
                 "Firmware Version": RUNNING_VERSION + "\n"}),
            ("the on-boot DSP request is gone after the blocking update",
             not box.exists(box.FLAG_FILES["dsp_on_boot"])),
            ("the reboot is requested, not carried out", box.exists(box.FLAG_FILES["reboot"])),
        ]
        good = [
            ("both downloads succeed",
             self.json_of("downloadfirmware") == {
                 "Checksum Download Error": 0, "Checksum Download Successful": True,
                 "Firmware Download Error": 0, "Firmware Download Successful": True}),
            ("uploadfirmware reports the versions the archive carries",
             self.json_of("uploadfirmware") == {"DSP Firmware Version": NEW_DSP_VERSION,
                                                 "Firmware Version": NEW_VERSION}),
            ("the firmware directory matches the archive, file by file", firmware_intact),
            ("the archive and its companion were consumed",
             not box.exists(box.ARCHIVE_FILE) and not box.exists(box.CHECKSUM_FILE)),
            ("the new UpdateDaemon is announced", box.exists(box.FLAG_FILES["relaunch_daemon"])),
            ("the firmware and DSP update requests are left",
             box.exists(box.FLAG_FILES["update"]) and box.exists(box.FLAG_FILES["dsp"])),
            ("the last progress state is 14 (Updating DSP)", self.progress().startswith("14 ")),
            ("the simulator received the DSP image intact",
             transfer.get("result") == "complete" and transfer.get("intact") is True
             and self.board.image == dsp_image),
            ("the tool logged the DSP update as successful",
             any("DSP Firmware update successful." in line for line in blocking_log)),
        ]
        if self.fault is None:
            return good + common
        extract_log = self.runs["extractfirmware"][0].log
        reported = {
            "download-404": [
                ("the download reports error 203 and no success for the archive",
                 self.json_of("downloadfirmware").get("Firmware Download Error") == 203
                 and self.json_of("downloadfirmware").get("Firmware Download Successful")
                 is False),
                ("no archive was written, so extraction finds none and fails",
                 any("No firmware" in line for line in extract_log)
                 and self.runs["extractfirmware"][0].log[-1].endswith(
                     "Changed state value to: 2 (void WriteUpdateState(int))")),
            ],
            "corrupt-archive": [
                ("the download refuses an archive its checksum does not describe (error 299)",
                 self.json_of("downloadfirmware") == {
                     "Checksum Download Error": 0, "Checksum Download Successful": False,
                     "Firmware Download Error": 299, "Firmware Download Successful": False}),
                ("the digests of both are in the log",
                 any("Calculated:" in line for line in self.runs["downloadfirmware"][0].log)
                 and any("Read:" in line for line in self.runs["downloadfirmware"][0].log)),
                ("no archive was stored, so extraction finds none and fails",
                 any("No firmware" in line for line in extract_log)
                 and self.runs["extractfirmware"][0].log[-1].endswith(
                     "Changed state value to: 2 (void WriteUpdateState(int))")),
            ],
            "board-refuses": good[:7] + [
                ("the transfer stopped at the refusal",
                 transfer.get("result") == "refused"),
                ("the tool logged the refusal and the failure",
                 any("Bad tx status ( 5 )" in line for line in blocking_log)
                 and any("DSP Firmware update failed." in line for line in blocking_log)),
            ],
            "board-silent": good[:7] + [
                ("the blocking update gives up and logs the failure",
                 any("DSP Firmware update failed." in line for line in blocking_log)),
            ],
        }[self.fault]
        return reported + common


def run_demo(fault):
    with tempfile.TemporaryDirectory(prefix="rirarude-demo-") as work_dir:
        demo = Demo(fault, work_dir)
        demo.lay_out_box()
        print(f"Simulated box: {demo.box.ROOT}")
        print(f"Firmware server: http://{os.environ['RIRARUDE_FIRMWARE_SERVER']}/ serving a "
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
        checks = demo.checks()

    print("\nVerdict:")
    for description, passed in checks:
        print(f"  [{'ok' if passed else 'FAILED'}] {description}")
    passed = all(ok for _, ok in checks)
    what = f"the fault '{fault}' was reported as expected" if fault else "the update went through"
    print(f"\n{'PASS' if passed else 'FAIL'}: {what if passed else 'a check failed'}.")
    print(f"The box is left at {demo.box.ROOT} for inspection.")
    return 0 if passed else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build-dir", default="build-demo",
                        help="a sandbox build (scripts/configure-sandbox.sh)")
    parser.add_argument("--fault", choices=sorted(FAULTS), help="inject one fault")
    args = parser.parse_args()

    prepare_environment(os.path.abspath(args.build_dir))
    # An interruption unwinds through the clean-up like any other error.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(130))
    try:
        return run_demo(args.fault)
    except KeyboardInterrupt:
        print("\nInterrupted; everything started was stopped.", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())

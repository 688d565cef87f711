"""Walks the update road on a simulated box and shows, step by step, what the box's programs
would see: standard output, the progress state, the flag files and the event-log lines."""

import argparse
import os
import subprocess
import sys

STATE_NAMES = ["Unknown", "Ready", "Failed", "Uploading", "Uploaded", "Downloading", "Downloaded",
               "Extracting", "Extracted", "Updating", "Needs Reboot", "Rebooting", "Finished",
               "Updated", "Updating DSP", "Updated DSP", "Lost Comms", "Last Legacy State",
               "Waiting For FW version", "Received FW version", "KOV Extracting",
               "KOV Update Failed", "KOV Extracted", "KOV Extracted", "KOV Updating DSP"]
HOME = "/home/pxm"
LOG_FILE = HOME + "/PXMPersistentData/DovozUdiZedezod/EventLogs/Updater.log"
FLAGS = [".reboot_required", ".update_requested", ".dsp_update_requested",
         ".dsp_update_on_boot_requested", ".relaunch_update_daemon"]


class Box:
    def __init__(self, build_dir):
        self.root = os.path.abspath(os.path.join(build_dir, "box"))
        self.tool = os.path.abspath(os.path.join(build_dir, "rirarude-updater"))

    def path(self, absolute):
        return self.root + absolute

    def lay_out(self):
        subprocess.run(["rm", "-rf", self.root], check=True)
        for directory in (os.path.dirname(LOG_FILE), "/etc", "/dev", "/boot"):
            os.makedirs(self.path(directory))
        with open(self.path("/etc/InitrdVersion.txt"), "w") as f:
            f.write("1.0.0\n")

    def log_size(self):
        try:
            return os.path.getsize(self.path(LOG_FILE))
        except FileNotFoundError:
            return 0

    def progress(self):
        try:
            with open(self.path(HOME + "/.update_progress")) as f:
                text = f.read()
        except FileNotFoundError:
            return "(no progress file)"
        state = int(text) if text.lstrip("-").isdigit() else None
        name = STATE_NAMES[state] if state is not None and 0 <= state < len(STATE_NAMES) else "?"
        return f"{text} ({name})"

    def flags(self):
        present = [flag for flag in FLAGS if os.path.exists(self.path(HOME + "/" + flag))]
        return ", ".join(present) if present else "(none)"

    def step(self, option):
        before = self.log_size()
        result = subprocess.run([self.tool, "--" + option], capture_output=True,
                                env=dict(os.environ, LC_ALL="C"))
        with open(self.path(LOG_FILE), "rb") as f:
            f.seek(before)
            added = f.read().decode("utf-8", "replace")
        print(f"\n$ rirarude-updater --{option}")
        print("  standard output:", repr(result.stdout.decode("utf-8", "replace"))
              if result.stdout else "(nothing)")
        print("  progress state: ", self.progress())
        print("  flag files:     ", self.flags())
        print("  event log:")
        for line in added.splitlines():
            print("    " + line)
        return result


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build-dir", default="build-demo")
    args = parser.parse_args()

    box = Box(args.build_dir)
    box.lay_out()
    print(f"Simulated box at {box.root}")
    for option in ("getversions", "updatefirmware", "reboot"):
        box.step(option)
    print(f"\nThe box is left at {box.root} for inspection.")
    return 0


if __name__ == "__main__":
    sys.exit(main())

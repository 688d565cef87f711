"""The Debian packages as an image builder gets them: files, control fields, lintian's verdict,
and the tools and logrotate rule they install, run in a private mount namespace (tmpfs on /dev
and /home, /etc behind an overlay) so that the machine is left untouched; the armhf tool runs
there under qemu. Needs root. Each case names the fault of the packaging it guards.

    PACKAGE_AMD64=... PACKAGE_ARMHF=... python3 packaging/test_package.py
"""

import os
import re
import shutil
import subprocess
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGES = {"amd64": os.environ["PACKAGE_AMD64"], "armhf": os.environ["PACKAGE_ARMHF"]}
ARMHF_ROOT = os.environ.get("RIRARUDE_ARMHF_ROOT", "/opt/rirarude-armhf")

EVENT_LOG = "/home/pxm/PXMPersistentData/DovozUdiZedezod/EventLogs/Updater.log"
LOGROTATE_RULE = "/etc/logrotate.d/rirarude-updater"
REBOOTING = b"Debug: Triggering reboot. (int main(int, char**))"
TIMESTAMP = re.compile(rb"^\[\w{3} \w{3} [ 123]?\d \d\d:\d\d:\d\d \d{4}\] ", re.M)

# Every file with its mode; every directory is drwxr-xr-x, and everything is root's.
FILES = {
    "./etc/logrotate.d/rirarude-updater": "-rw-r--r--",
    "./usr/bin/rirarude-updater": "-rwxr-xr-x",
    "./usr/share/doc/rirarude-updater/changelog.gz": "-rw-r--r--",
    "./usr/share/doc/rirarude-updater/copyright": "-rw-r--r--",
    "./usr/share/man/man1/rirarude-updater.1.gz": "-rw-r--r--",
}
# The Qt these packages are built against, as their binaries require it.
QT = "(>= 5.15)"
# For amd64 dpkg-shlibdeps adds the libraries; their versions are its own.
DEPENDS = {
    "amd64": ["tar (>= 1.22)", "xz-utils", "libc6", "libgcc-s1", "libqt5core5a", "libqt5network5",
              "libstdc++6"],
    "armhf": ["libc6", "libgcc-s1", "libqt5core5a " + QT, "libqt5network5 " + QT, "libstdc++6",
              "tar (>= 1.22)", "xz-utils"],
}


def output(*command):
    return subprocess.run(command, capture_output=True, check=True).stdout.decode()


def project_version():
    with open(os.path.join(HERE, "..", "CMakeLists.txt"), encoding="utf-8") as cmake:
        return re.search(r"^project\(\S+ VERSION (\S+)", cmake.read(), re.M).group(1)


class PackageFiles(unittest.TestCase):
    def test_a_file_extra_missing_or_misplaced(self):
        for arch, deb in PACKAGES.items():
            with self.subTest(arch):
                listing = [line.split() for line in output("dpkg-deb", "-c", deb).splitlines()]
                files = {entry[-1]: entry[0] for entry in listing if entry[0][0] != "d"}
                directories = {entry[0] for entry in listing if entry[0][0] == "d"}
                self.assertEqual((files, directories), (FILES, {"drwxr-xr-x"}))
                self.assertEqual({entry[1] for entry in listing}, {"root/root"})

    def test_a_control_field_a_dependency_or_the_conffile_lost(self):
        for arch, deb in PACKAGES.items():
            with self.subTest(arch):
                fields = dict(line.split(": ", 1) for line in output(
                    "dpkg-deb", "-f", deb, "Package", "Version", "Architecture", "Section",
                    "Priority", "Recommends", "Depends").splitlines())
                depends = fields.pop("Depends").split(", ")
                if arch == "amd64":
                    depends = [entry.split()[0] if entry.startswith("lib") else entry
                               for entry in depends]
                self.assertEqual((fields, depends), ({
                    "Package": "rirarude-updater", "Version": project_version(),
                    "Architecture": arch, "Section": "admin", "Priority": "optional",
                    "Recommends": "logrotate"}, DEPENDS[arch]))
                self.assertEqual(output("dpkg-deb", "-I", deb, "conffiles"), LOGROTATE_RULE + "\n")

    # Among what lintian finds: a manual page or changelog that is not what its name says, a
    # file of another mode, an unstripped binary, a file under /etc that is no conffile.
    def test_an_error_or_warning_of_lintian(self):
        for arch, deb in PACKAGES.items():
            with self.subTest(arch):
                run = subprocess.run(["lintian", "--pedantic", deb], capture_output=True,
                                     text=True)
                findings = [line for line in run.stdout.splitlines()
                            if line.startswith(("E:", "W:"))]
                self.assertEqual(findings, [], run.stdout + run.stderr)


# Mounted first in every namespace: nothing the run writes to /dev, /home or /etc reaches the
# machine, and the machine's own /dev and /home are out of sight.
PRIVATE_MOUNTS = """set -eu
mount -t tmpfs -o mode=755 rirarude-test-dev /dev
mount -t tmpfs -o mode=755 rirarude-test-home /home
mount -t tmpfs rirarude-test-etc "$RUN/etc-changes"
mkdir "$RUN/etc-changes/upper" "$RUN/etc-changes/work"
mount -t overlay rirarude-test-etc -o \
    "lowerdir=/etc,upperdir=$RUN/etc-changes/upper,workdir=$RUN/etc-changes/work" /etc
mkdir -p "$(dirname "$EVENT_LOG")"
"""


def machine_state():
    return {path: os.path.lexists(path) for path in ("/dev/qv_core_rack", "/home/pxm",
                                                     "/etc/InitrdVersion.txt", EVENT_LOG)}


class InstalledTool(unittest.TestCase):
    """The packages unpacked into a scratch directory, their tools run as the box runs them."""

    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="rirarude-package-")
        for arch, deb in PACKAGES.items():
            subprocess.run(["dpkg-deb", "-x", deb, os.path.join(cls.scratch, arch)], check=True)
        cls.machine_before = machine_state()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch)

    def in_namespace(self, script, **inputs):
        """Runs the script in a private mount namespace with the inputs as files in $IN, and
        returns the files it left in $OUT."""
        run_directory = tempfile.mkdtemp(dir=self.scratch)
        for directory in ("in", "out", "etc-changes"):
            os.makedirs(os.path.join(run_directory, directory))
        for name, data in inputs.items():
            with open(os.path.join(run_directory, "in", name), "wb") as stream:
                stream.write(data)
        environment = dict(os.environ, SCRATCH=self.scratch, RUN=run_directory,
                           IN=run_directory + "/in", OUT=run_directory + "/out",
                           EVENT_LOG=EVENT_LOG, ARMHF_ROOT=ARMHF_ROOT)
        run = subprocess.run(["unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
                              PRIVATE_MOUNTS + script], env=environment, capture_output=True)
        self.assertEqual(machine_state(), self.machine_before, "the machine was touched")
        self.assertEqual(run.returncode, 0, run.stderr)
        outputs = {}
        for name in os.listdir(run_directory + "/out"):
            with open(os.path.join(run_directory, "out", name), "rb") as stream:
                outputs[name] = stream.read()
        return outputs

    # The amd64 tool's paths show in the logrotate case below.
    def test_the_box_tool_built_for_other_paths_or_another_processor(self):
        outputs = self.in_namespace("""cp "$IN/InitrdVersion.txt" /etc
"$ARMHF_ROOT/bin/qemu-arm" -L "$ARMHF_ROOT/sysroot" "$SCRATCH/armhf/usr/bin/rirarude-updater" \\
    --getversions >"$OUT/stdout" 2>"$OUT/stderr" || true
""", **{"InitrdVersion.txt": b"2.4.1\n"})
        self.assertEqual(outputs, {"stdout": b'{\n    "DSP Firmware Version": "",\n'
                                             b'    "Firmware Version": "2.4.1\\n"\n}\n',
                                   "stderr": b""})

    def test_a_logrotate_rule_that_misses_the_log_or_rotates_it_otherwise(self):
        # One box's life: logrotate's daily run finds no log yet, the tool logs, a DSP update
        # adds megabytes, the next run rotates, the tool logs on into the emptied file, the
        # next run leaves it alone.
        script = """rule="$SCRATCH/amd64/etc/logrotate.d/rirarude-updater"
rotate() { logrotate --state "$OUT/state" "$rule" 2>>"$OUT/complaints"; }
tool() { "$SCRATCH/amd64/usr/bin/rirarude-updater" --reboot || true; }
rotate
ls -A "$(dirname "$EVENT_LOG")" >"$OUT/files-before"
tool
cat "$IN/filler" >>"$EVENT_LOG"
cp "$EVENT_LOG" "$OUT/before"
stat -c %i "$EVENT_LOG" >"$OUT/inode-before"
rotate
stat -c %i "$EVENT_LOG" >"$OUT/inode-after"
tool
rotate
cp "$EVENT_LOG" "$OUT/after"
cp "$EVENT_LOG.1" "$OUT/generation-1"
ls "$(dirname "$EVENT_LOG")" >"$OUT/files"
"""
        filler = b"".join(b"[Sun Dec 6 06:10:01 2026] Debug: Data Checksum Sent: %08d "
                          b"(void cUSBDeviceUpdater::UpdateFirmware(int))\n" % n
                          for n in range(60000))  # over 4 MiB
        outputs = self.in_namespace(script, filler=filler)
        self.assertEqual((outputs["complaints"], outputs["files-before"]), (b"", b""))
        self.assertEqual(outputs["generation-1"], outputs["before"])
        self.assertEqual(outputs["inode-after"], outputs["inode-before"])
        self.assertEqual(TIMESTAMP.sub(b"", outputs["after"]), REBOOTING + b"\n")
        self.assertEqual(outputs["files"], b"Updater.log\nUpdater.log.1\n")


if __name__ == "__main__":
    unittest.main(verbosity=2)

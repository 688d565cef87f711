"""The Debian packages as an image builder gets them: their files and control fields, lintian's
verdict, and the amd64 package's tool and logrotate rule run from a scratch root in a private
mount namespace (tmpfs on /dev and /home, /etc behind an overlay), so that the machine itself is
left untouched; the armhf package's tool runs there too, under qemu. Needs root, for the
namespace.

    PACKAGE_AMD64=... PACKAGE_ARMHF=... python3 packaging/test_package.py
"""

import gzip
import os
import re
import shutil
import subprocess
import tempfile
import unittest
from dataclasses import dataclass, field

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
PACKAGES = {"amd64": os.environ["PACKAGE_AMD64"], "armhf": os.environ["PACKAGE_ARMHF"]}
ARMHF_ROOT = os.environ.get("RIRARUDE_ARMHF_ROOT", "/opt/rirarude-armhf")

EVENT_LOG = "/home/pxm/PXMPersistentData/DovozUdiZedezod/EventLogs/Updater.log"
LOGROTATE_RULE = "/etc/logrotate.d/rirarude-updater"
DSP_DEVICE = "/dev/qv_core_rack"
TIMESTAMP = re.compile(rb"^\[\w{3} \w{3} [ 123]?\d \d\d:\d\d:\d\d \d{4}\] ", re.M)
GETTING_VERSIONS = b"Debug: Getting versions... (void cDovozUdiZedezod::GetVersions())"
GOT_VERSIONS = b"Debug: Got version information:"


def project_version():
    with open(os.path.join(SOURCE, "CMakeLists.txt"), encoding="utf-8") as cmake:
        return re.search(r"^project\(\S+ VERSION (\S+)", cmake.read(), re.M).group(1)


def output(*command):
    return subprocess.run(command, capture_output=True, check=True).stdout


@dataclass
class Package:
    arch: str
    machine: str  # readelf's Machine line
    depends: list  # Depends, entry by entry; for amd64 dpkg-shlibdeps fills in the libraries
    exact_depends: bool  # False: only the names of the libraries dpkg-shlibdeps found are fixed


QT_FLOOR = "(>= 5.15)"  # the Qt these packages are built against, as their binaries require
ARMHF_DEPENDS = ["libc6", "libgcc-s1", "libqt5core5a " + QT_FLOOR, "libqt5network5 " + QT_FLOOR,
                 "libstdc++6", "tar (>= 1.22)", "xz-utils"]
AMD64_DEPENDS = ["tar (>= 1.22)", "xz-utils", "libc6", "libgcc-s1", "libqt5core5a",
                 "libqt5network5", "libstdc++6"]

PACKAGE_CASES = [
    Package(arch="amd64", machine="Advanced Micro Devices X86-64", depends=AMD64_DEPENDS,
            exact_depends=False),
    Package(arch="armhf", machine="ARM", depends=ARMHF_DEPENDS, exact_depends=True),
]

# dpkg-deb -c, without sizes and dates: mode, owner, path.
CONTENTS = [
    ("drwxr-xr-x", "root/root", "./etc/"),
    ("drwxr-xr-x", "root/root", "./etc/logrotate.d/"),
    ("-rw-r--r--", "root/root", "." + LOGROTATE_RULE),
    ("drwxr-xr-x", "root/root", "./usr/"),
    ("drwxr-xr-x", "root/root", "./usr/bin/"),
    ("-rwxr-xr-x", "root/root", "./usr/bin/rirarude-updater"),
    ("drwxr-xr-x", "root/root", "./usr/share/"),
    ("drwxr-xr-x", "root/root", "./usr/share/doc/"),
    ("drwxr-xr-x", "root/root", "./usr/share/doc/rirarude-updater/"),
    ("-rw-r--r--", "root/root", "./usr/share/doc/rirarude-updater/changelog.gz"),
    ("-rw-r--r--", "root/root", "./usr/share/doc/rirarude-updater/copyright"),
    ("drwxr-xr-x", "root/root", "./usr/share/man/"),
    ("drwxr-xr-x", "root/root", "./usr/share/man/man1/"),
    ("-rw-r--r--", "root/root", "./usr/share/man/man1/rirarude-updater.1.gz"),
]

# Packed file, and its source in packaging/.
COMPRESSED = [
    ("usr/share/doc/rirarude-updater/changelog.gz", "changelog"),
    ("usr/share/man/man1/rirarude-updater.1.gz", "rirarude-updater.1"),
]


class PackageFiles(unittest.TestCase):
    def test_contents_modes_and_owners(self):
        for package in PACKAGE_CASES:
            with self.subTest(package.arch):
                listing = output("dpkg-deb", "-c", PACKAGES[package.arch]).decode().splitlines()
                entries = [(line.split()[0], line.split()[1], line.split()[-1]) for line in listing]
                self.assertEqual(entries, CONTENTS)

    def test_control_fields(self):
        for package in PACKAGE_CASES:
            with self.subTest(package.arch):
                deb = PACKAGES[package.arch]
                fields = {name: output("dpkg-deb", "-f", deb, name).decode().strip()
                          for name in ("Package", "Version", "Architecture", "Section",
                                       "Priority", "Recommends", "Depends")}
                self.assertEqual(fields["Package"], "rirarude-updater")
                self.assertEqual(fields["Version"], project_version())
                self.assertEqual(fields["Architecture"], package.arch)
                self.assertEqual((fields["Section"], fields["Priority"]), ("admin", "optional"))
                self.assertEqual(fields["Recommends"], "logrotate")
                self.assertDepends(fields["Depends"].split(", "), package)
                self.assertEqual(output("dpkg-deb", "-I", deb, "conffiles"),
                                 (LOGROTATE_RULE + "\n").encode())

    def assertDepends(self, depends, package):
        if package.exact_depends:
            self.assertEqual(depends, package.depends)
            return
        names = [entry.split(" ")[0] for entry in depends]
        self.assertEqual(names, [entry.split(" ")[0] for entry in package.depends])
        self.assertEqual(depends[:2], package.depends[:2])
        for entry in depends[2:]:
            self.assertRegex(entry, r"^[\w.+-]+ \(>= [\w.:~+-]+\)$")

    def test_binary_is_stripped_for_its_processor(self):
        for package in PACKAGE_CASES:
            with self.subTest(package.arch), tempfile.TemporaryDirectory() as root:
                subprocess.run(["dpkg-deb", "-x", PACKAGES[package.arch], root], check=True)
                tool = os.path.join(root, "usr/bin/rirarude-updater")
                header = output("readelf", "-h", tool).decode()
                self.assertRegex(header, r"Machine:\s+%s\n" % re.escape(package.machine))
                sections = output("readelf", "-S", "-W", tool).decode()
                self.assertNotIn(".symtab", sections)
                self.assertNotIn(".debug_", sections)

    def test_compressed_files_are_their_sources(self):
        with tempfile.TemporaryDirectory() as root:
            subprocess.run(["dpkg-deb", "-x", PACKAGES["amd64"], root], check=True)
            for packed_path, source_name in COMPRESSED:
                with self.subTest(source_name):
                    with gzip.open(os.path.join(root, packed_path)) as packed:
                        with open(os.path.join(HERE, source_name), "rb") as source:
                            self.assertEqual(packed.read(), source.read())

    # The manual page among what lintian checks: man renders it without a warning.
    def test_lintian_finds_no_error_and_no_warning(self):
        for package in PACKAGE_CASES:
            with self.subTest(package.arch):
                run = subprocess.run(["lintian", "--pedantic", PACKAGES[package.arch]],
                                     capture_output=True, text=True)
                findings = [line for line in run.stdout.splitlines()
                            if line.startswith(("E:", "W:"))]
                self.assertEqual(findings, [], run.stdout + run.stderr)


# Mounted first in every namespace: nothing the run writes to /dev, /home or /etc reaches the
# machine, and the machine's own /dev and /home are out of sight.
PRIVATE_MOUNTS = """set -eu
mount -t tmpfs -o mode=755 rirarude-test-dev /dev
mount -t tmpfs -o mode=755 rirarude-test-home /home
mount -t tmpfs rirarude-test-etc "$SCRATCH/etc-changes"
mkdir "$SCRATCH/etc-changes/upper" "$SCRATCH/etc-changes/work"
mount -t overlay rirarude-test-etc -o \
    "lowerdir=/etc,upperdir=$SCRATCH/etc-changes/upper,workdir=$SCRATCH/etc-changes/work" /etc
mkdir -p "$(dirname "$EVENT_LOG")"
"""


@dataclass
class VersionCase:
    name: str
    etc_files: dict  # what /etc holds beside the machine's own files
    stdout: bytes
    log_json: bytes  # the report as the event log quotes it


VERSION_CASES = [
    VersionCase(name="the running version from /etc, line end and all",
                etc_files={"InitrdVersion.txt": b"2.4.1\n"},
                stdout=b'{\n    "DSP Firmware Version": "",\n    "Firmware Version": "2.4.1\\n"\n}\n',
                log_json=b' "{\\n    \\"DSP Firmware Version\\": \\"\\",\\n    '
                         b'\\"Firmware Version\\": \\"2.4.1\\\\n\\"\\n}\\n"'),
    VersionCase(name="no version file",
                etc_files={},
                stdout=b'{\n    "DSP Firmware Version": "",\n    "Firmware Version": "Unknown"\n}\n',
                log_json=b' "{\\n    \\"DSP Firmware Version\\": \\"\\",\\n    '
                         b'\\"Firmware Version\\": \\"Unknown\\"\\n}\\n"'),
]


@dataclass
class Run:
    status: int
    stdout: bytes
    stderr: bytes
    outputs: dict = field(default_factory=dict)  # name -> bytes the script left in $OUT


def log_entries(log):
    """The log's lines with their time stamps cut off."""
    return TIMESTAMP.sub(b"", log).split(b"\n")[:-1]


class InstalledTool(unittest.TestCase):
    """The amd64 package unpacked into a scratch root, its tool run as the box runs it."""

    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="rirarude-package-")
        cls.root = os.path.join(cls.scratch, "root")
        subprocess.run(["dpkg-deb", "-x", PACKAGES["amd64"], cls.root], check=True)
        cls.machine_before = cls.machine_state()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch)

    @staticmethod
    def machine_state():
        return {path: os.path.lexists(path)
                for path in (DSP_DEVICE, "/home/pxm", "/etc/InitrdVersion.txt", EVENT_LOG)}

    def in_namespace(self, script, etc_files=None, inputs=None, arguments=()):
        """Runs the script in a private mount namespace; $ROOT is the unpacked package, $OUT a
        directory whose files come back in Run.outputs, $IN holds the inputs."""
        out = tempfile.mkdtemp(dir=self.scratch)
        inputs_dir = tempfile.mkdtemp(dir=self.scratch)
        os.makedirs(os.path.join(self.scratch, "etc-changes"), exist_ok=True)
        for name, data in (inputs or {}).items():
            with open(os.path.join(inputs_dir, name), "wb") as stream:
                stream.write(data)
        etc_writes = "".join('cp "$IN/etc.%s" "/etc/%s"\n' % (name, name)
                             for name in (etc_files or {}))
        for name, data in (etc_files or {}).items():
            with open(os.path.join(inputs_dir, "etc." + name), "wb") as stream:
                stream.write(data)
        environment = dict(os.environ, SCRATCH=self.scratch, ROOT=self.root, OUT=out,
                           IN=inputs_dir, EVENT_LOG=EVENT_LOG, ARMHF_ROOT=ARMHF_ROOT)
        run = subprocess.run(
            ["unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
             PRIVATE_MOUNTS + etc_writes + script, "namespace", *arguments],
            env=environment, capture_output=True)
        outputs = {}
        for name in os.listdir(out):
            with open(os.path.join(out, name), "rb") as stream:
                outputs[name] = stream.read()
        self.assertEqual(self.machine_state(), self.machine_before, "the machine was touched")
        return Run(run.returncode, run.stdout, run.stderr, outputs)

    def test_getversions(self):
        script = """
status=0
"$ROOT/usr/bin/rirarude-updater" --getversions >"$OUT/stdout" 2>"$OUT/stderr" || status=$?
echo $status >"$OUT/status"
ls -A /dev >"$OUT/dev"
cat "$EVENT_LOG" >"$OUT/log"
"""
        for case in VERSION_CASES:
            with self.subTest(case.name):
                run = self.in_namespace(script, etc_files=case.etc_files)
                self.assertEqual(run.status, 0, run.stderr)
                self.assertEqual(run.outputs["stdout"], case.stdout)
                self.assertEqual(run.outputs["status"], b"1\n")
                self.assertEqual(run.outputs["stderr"], b"")
                entries = log_entries(run.outputs["log"])
                self.assertEqual(entries[0], GETTING_VERSIONS)
                self.assertEqual(entries[-2:], [
                    GOT_VERSIONS, case.log_json + b" (void cDovozUdiZedezod::GetVersions())"])
                # No board answers here, and the tool must not leave a file in its place.
                self.assertEqual(run.outputs["dev"], b"")

    def test_armhf_tool_answers_alike_on_the_boxs_processor(self):
        root = os.path.join(self.scratch, "root-armhf")
        subprocess.run(["dpkg-deb", "-x", PACKAGES["armhf"], root], check=True)
        case = VERSION_CASES[0]
        run = self.in_namespace("""
"$ARMHF_ROOT/bin/qemu-arm" -L "$ARMHF_ROOT/sysroot" "$1/usr/bin/rirarude-updater" --getversions \
    >"$OUT/stdout" 2>"$OUT/stderr" || true
""", etc_files=case.etc_files, arguments=[root])
        self.assertEqual(run.status, 0, run.stderr)
        self.assertEqual((run.outputs["stdout"], run.outputs["stderr"]), (case.stdout, b""))

    def test_logrotate_rule_rotates_the_tools_own_log(self):
        # One box's life: the tool logs, a DSP update adds megabytes, logrotate's daily run
        # rotates, the tool logs on into the emptied file, the next daily run leaves it alone.
        script = """
rule="$ROOT/etc/logrotate.d/rirarude-updater"
rotate() { logrotate --state "$OUT/state" "$rule" 2>"$OUT/rotate-$1.stderr"; }
"$ROOT/usr/bin/rirarude-updater" --reboot || true
cat "$IN/filler" >>"$EVENT_LOG"
cp "$EVENT_LOG" "$OUT/before"
stat -c %i "$EVENT_LOG" >"$OUT/inode-before"
rotate 1
stat -c %i "$EVENT_LOG" >"$OUT/inode-after"
cp "$EVENT_LOG" "$OUT/emptied"
"$ROOT/usr/bin/rirarude-updater" --reboot || true
rotate 2
cp "$EVENT_LOG" "$OUT/after"
cp "$EVENT_LOG.1" "$OUT/generation-1"
ls "$(dirname "$EVENT_LOG")" >"$OUT/files"
"""
        filler = b"".join(b"[Sun Dec 6 06:10:01 2026] Debug: Data Checksum Sent: %08d "
                          b"(void cUSBDeviceUpdater::UpdateFirmware(int))\n" % n
                          for n in range(60000))
        self.assertGreater(len(filler), 4 * 1024 * 1024)
        run = self.in_namespace(script, inputs={"filler": filler})
        self.assertEqual(run.status, 0, run.stderr)
        self.assertEqual((run.outputs["rotate-1.stderr"], run.outputs["rotate-2.stderr"]),
                         (b"", b""))
        self.assertEqual(log_entries(run.outputs["before"])[0],
                         b"Debug: Triggering reboot. (int main(int, char**))")
        self.assertTrue(run.outputs["before"].endswith(filler))
        self.assertEqual(run.outputs["generation-1"], run.outputs["before"])
        self.assertEqual(run.outputs["inode-after"], run.outputs["inode-before"])
        self.assertEqual(run.outputs["emptied"], b"")
        self.assertEqual(log_entries(run.outputs["after"]),
                         [b"Debug: Triggering reboot. (int main(int, char**))"])
        self.assertEqual(run.outputs["files"], b"Updater.log\nUpdater.log.1\n")

    def test_logrotate_rule_without_a_log_does_nothing(self):
        run = self.in_namespace("""
logrotate --state "$OUT/state" "$ROOT/etc/logrotate.d/rirarude-updater" 2>"$OUT/stderr"
ls -A "$(dirname "$EVENT_LOG")" >"$OUT/files"
""")
        self.assertEqual(run.status, 0, run.stderr)
        self.assertEqual((run.outputs["stderr"], run.outputs["files"]), (b"", b""))


if __name__ == "__main__":
    unittest.main(verbosity=2)

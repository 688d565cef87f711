#!/usr/bin/env bash
# Prepares what a cross build for the box's main board (32-bit ARMv7-A, hard-float: Debian's
# armhf) needs: Debian's cross compiler on the host, and in one directory
#   sysroot/       Debian's armhf Qt 5 Core and Network, every library they load, GoogleTest
#   bin/qemu-arm   qemu's user-mode emulator, which runs the ARM programs here
# The directory is RIRARUDE_ARMHF_ROOT (default /opt/rirarude-armhf); cmake/toolchain-armhf.cmake
# must be given the same. Running the script again is cheap: the directory is rebuilt only when
# the Debian packages it is made of changed. Needs root (or sudo).
#
# The packages are fetched with apt configurations of this script's own (the host's sources,
# limited to one architecture, with private lists and an empty package status), and only unpacked
# with dpkg-deb -x: the host's apt and dpkg never see armhf. Installing Qt's armhf packages through
# multiarch would make apt remove the host's amd64 Qt, and while armhf is a dpkg architecture every
# `apt-get update` on the machine fails on the armhf security index, which does not download here.
#
# The emulator comes from the host release's backports when they have one: the stable release's
# qemu (7.2) refuses the clone(CLONE_PIDFD) with which Qt starts every process, and Qt then acts as
# if a process had run without starting it.
set -euo pipefail

root=${RIRARUDE_ARMHF_ROOT:-/opt/rirarude-armhf}
apt_dir=/var/cache/rirarude-armhf
triplet=arm-linux-gnueabihf
# Bump when the directory's layout changes, so that existing ones are rebuilt.
layout=1

case $root in
    /*) ;;
    *) echo "RIRARUDE_ARMHF_ROOT must be an absolute path" >&2; exit 1 ;;
esac
if [[ $root =~ [[:space:]] ]]; then
    # The tests pass the emulator's command line through the environment, split at blanks.
    echo "RIRARUDE_ARMHF_ROOT must not contain blanks" >&2; exit 1
fi

as_root=()
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "Run this script as root" >&2; exit 1; }
    as_root=(sudo)
fi

# The host's side: the cross compiler, and Qt's code generators, which run here.
host_packages=(crossbuild-essential-armhf qtbase5-dev-tools qt5-qmake)
missing=()
for package in "${host_packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing missing packages: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    "${as_root[@]}" apt-get update -qq
    "${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# What runs on the box: Qt Core and Network with everything they link or load (the bearer plugins
# that Network loads need D-Bus), and the C and C++ runtimes that qemu loads from the sysroot.
runtime_packages=(libc6 libgcc-s1 libstdc++6 libqt5core5a libqt5network5 libqt5dbus5)
# What only the build needs: headers, CMake package files, mkspecs, GoogleTest's static libraries.
build_packages=(qtbase5-dev qt5-qmake libgtest-dev libgmock-dev)

host_arch=$(dpkg --print-architecture)
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")

"${as_root[@]}" mkdir -p "$apt_dir"
# One preparation at a time; a second waits for the first and then finds everything in place.
exec 9<"$apt_dir"
flock 9

# Print the host's apt sources in one of the two formats, every entry limited to ARCH. With SUITE,
# only the entries of that suite, moved to SUITE-backports (main only).
one_line_sources_for() {
    local arch=$1 suite=${2:-} file
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$file" ] || continue
        awk -v arch="$arch" -v suite="$suite" '
            $1 != "deb" { next }
            {
                line = $0; options = ""
                if (match(line, /\[[^]]*\]/)) {
                    options = substr(line, RSTART + 1, RLENGTH - 2)
                    line = substr(line, 1, RSTART - 1) substr(line, RSTART + RLENGTH)
                }
                gsub(/(^|[[:space:]])arch=[^[:space:]]*/, "", options)
                n = split(line, field, /[[:space:]]+/)
                components = field[4]
                for (i = 5; i <= n; i++) components = components " " field[i]
                if (suite != "") {
                    if (field[3] != suite) next
                    field[3] = suite "-backports"; components = "main"
                }
                print "deb [arch=" arch " " options "] " field[2] " " field[3] " " components
            }' "$file"
    done
}
deb822_sources_for() {
    local arch=$1 suite=${2:-} file
    for file in /etc/apt/sources.list.d/*.sources; do
        [ -f "$file" ] || continue
        awk -v arch="$arch" -v suite="$suite" '
            BEGIN { RS = ""; FS = "\n" }
            {
                out = ""; binary = 0; keep = (suite == "")
                for (i = 1; i <= NF; i++) {
                    line = $i
                    if (line ~ /^Architectures:/) continue
                    if (line ~ /^Types:/) {
                        binary = (line ~ /[[:space:]]deb([[:space:]]|$)/)
                        line = "Types: deb\nArchitectures: " arch
                    }
                    if (suite != "" && line ~ /^Suites:/) {
                        n = split(substr(line, 8), suites, /[[:space:]]+/)
                        for (j = 1; j <= n; j++) if (suites[j] == suite) keep = 1
                        line = "Suites: " suite "-backports"
                    }
                    if (suite != "" && line ~ /^Components:/) line = "Components: main"
                    out = out line "\n"
                }
                if (binary && keep) printf "%s\n", out
            }' "$file"
    done
}

# A private apt for ARCH in $apt_dir/NAME, with the host's sources, and with the backports of
# each further SUITE.
setup_apt() {
    local name=$1 arch=$2 suite
    shift 2
    "${as_root[@]}" mkdir -p "$apt_dir/$name"/{sources.list.d,state/lists/partial,cache/archives/partial,debs}
    "${as_root[@]}" touch "$apt_dir/$name/status"
    {
        one_line_sources_for "$arch"
        for suite in "$@"; do one_line_sources_for "$arch" "$suite"; done
    } | "${as_root[@]}" tee "$apt_dir/$name/sources.list" >/dev/null
    {
        deb822_sources_for "$arch"
        for suite in "$@"; do deb822_sources_for "$arch" "$suite"; done
    } | "${as_root[@]}" tee "$apt_dir/$name/sources.list.d/host.sources" >/dev/null
}
apt_in() {
    local name=$1 arch=$2
    shift 2
    "${as_root[@]}" apt-get -q \
        -o "Dir::Etc::SourceList=$apt_dir/$name/sources.list" -o "Dir::Etc::SourceParts=$apt_dir/$name/sources.list.d" \
        -o "Dir::Etc::Preferences=/dev/null" -o "Dir::Etc::PreferencesParts=/dev/null" \
        -o "Dir::State=$apt_dir/$name/state" -o "Dir::State::status=$apt_dir/$name/status" \
        -o "Dir::Cache=$apt_dir/$name/cache" \
        -o "APT::Architecture=$arch" -o "APT::Architectures::=$arch" \
        -o "APT::Sandbox::User=root" "$@"
}
# An index that fails to download (the armhf security index does, here) is only left out.
update_apt() {
    if ! apt_in "$1" "$2" update >"$apt_dir/$1/update.log" 2>&1; then
        echo "Some $2 package indexes did not download; going on with the others:" >&2
        grep -E '^(E|W):' "$apt_dir/$1/update.log" | head -4 >&2 || true
    fi
}
# Prints the .deb file names (which carry the versions) of the given packages, one a line, or
# fails. (apt leaves out the files that the current directory has, so it is asked from another.)
deb_names() {
    local name=$1 arch=$2 uris
    shift 2
    uris=$(cd / && apt_in "$name" "$arch" download --print-uris "$@")
    [ -n "$uris" ] && awk '{ print $2 }' <<<"$uris"
}
# Fetches the given .deb files into $apt_dir/NAME/debs (apt checks each against the index's
# hash) and removes the ones that earlier runs fetched and are no longer wanted.
fetch_debs() {
    local name=$1 arch=$2 deb package version old
    shift 2
    local wanted=("$@") fetch=()
    for deb in "${wanted[@]}"; do
        [ -f "$apt_dir/$name/debs/$deb" ] && continue
        # name_version_arch.deb, the version's ':' written as %3a
        package=${deb%%_*}; version=${deb#*_}; version=${version%_*}
        fetch+=("$package:$arch=${version//%3a/:}")
    done
    if [ ${#fetch[@]} -gt 0 ]; then
        (cd "$apt_dir/$name/debs" && apt_in "$name" "$arch" download "${fetch[@]}" >/dev/null)
    fi
    for old in "$apt_dir/$name/debs"/*.deb; do
        [ -e "$old" ] || continue
        printf '%s\n' "${wanted[@]}" | grep -qxF "$(basename "$old")" || "${as_root[@]}" rm -f "$old"
    done
}

setup_apt armhf armhf
update_apt armhf armhf
# The resolver picks the runtime closure (first alternatives, as on a real armhf system).
if ! plan=$(apt_in armhf armhf -s install --no-install-recommends "${runtime_packages[@]}" 2>&1); then
    echo "$plan" >&2; exit 1
fi
mapfile -t closure < <(awk '$1 == "Inst" { print $2 }' <<<"$plan")
sysroot_debs=$(deb_names armhf armhf "${closure[@]}" "${build_packages[@]}") ||
    { echo "Found no armhf packages" >&2; exit 1; }
mapfile -t sysroot_debs < <(sort <<<"$sysroot_debs")

setup_apt emulator "$host_arch" ${codename:+"$codename"}
update_apt emulator "$host_arch"
# Since qemu 8 the package qemu-user holds the static emulators.
emulator_deb=$(deb_names emulator "$host_arch" "qemu-user/$codename-backports" 2>/dev/null) ||
    emulator_deb=$(deb_names emulator "$host_arch" qemu-user) ||
    { echo "Found no qemu-user package" >&2; exit 1; }

stamp="layout $layout"$'\n'"$(printf '%s\n' "${sysroot_debs[@]}" "$emulator_deb")"
if [ -f "$root/.prepared" ] && [ "$(cat "$root/.prepared")" = "$stamp" ]; then
    echo "armhf sysroot and emulator in $root are up to date"
    exit 0
fi

fetch_debs armhf armhf "${sysroot_debs[@]}"
fetch_debs emulator "$host_arch" "$emulator_deb"

staging="$root.new"
"${as_root[@]}" rm -rf "$staging"
"${as_root[@]}" mkdir -p "$staging/sysroot" "$staging/bin"
for deb in "${sysroot_debs[@]}"; do
    "${as_root[@]}" dpkg-deb -x "$apt_dir/armhf/debs/$deb" "$staging/sysroot"
done
dpkg-deb --fsys-tarfile "$apt_dir/emulator/debs/$emulator_deb" |
    "${as_root[@]}" tar -x -O ./usr/bin/qemu-arm | "${as_root[@]}" tee "$staging/bin/qemu-arm" >/dev/null
"${as_root[@]}" chmod 755 "$staging/bin/qemu-arm"

# Qt's CMake files expect its tools beside the armhf libraries; the host's run here. The
# generated code does not depend on the processor.
host_qt_bin=/usr/lib/qt5/bin
"${as_root[@]}" mkdir -p "$staging/sysroot/usr/lib/qt5/bin" "$staging/sysroot/usr/lib/$triplet/qt5/bin"
for tool in moc rcc; do
    "${as_root[@]}" ln -sfn "$host_qt_bin/$tool" "$staging/sysroot/usr/lib/qt5/bin/$tool"
done
"${as_root[@]}" ln -sfn "$host_qt_bin/qmake" "$staging/sysroot/usr/lib/$triplet/qt5/bin/qmake"

printf '%s\n' "$stamp" | "${as_root[@]}" tee "$staging/.prepared" >/dev/null
"${as_root[@]}" rm -rf "$root"
"${as_root[@]}" mv "$staging" "$root"
echo "armhf sysroot and emulator ready in $root (${#sysroot_debs[@]} packages, $emulator_deb)"

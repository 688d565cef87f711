#!/usr/bin/env bash
# Prepares what a cross build for the box's main board (32-bit ARMv7-A, hard-float: Debian's
# armhf) needs: Debian's cross compiler on the host, and in one directory
#   sysroot/       Debian's armhf Qt 5 Core and Network, every library they load, GoogleTest
#   bin/qemu-arm   qemu's user-mode emulator, which runs the ARM programs here
# The directory is RIRARUDE_ARMHF_ROOT (default /opt/rirarude-armhf); cmake/toolchain-armhf.cmake
# must be given the same. Running the script again is cheap: the directory is rebuilt only when
# the Debian packages it is made of changed. Needs root (or sudo).
#
# mmdebstrap fetches the packages from the host's sources with an apt of its own: the host's apt
# and dpkg never see armhf (through multiarch, Qt's armhf packages would replace the host's).
# The emulator comes from the host release's backports: the stable release's qemu (7.2) refuses the
# clone(CLONE_PIDFD) with which Qt starts every process, and Qt then acts as if a process had run
# without starting it.
set -euo pipefail
shopt -s nullglob inherit_errexit

root=${RIRARUDE_ARMHF_ROOT:-/opt/rirarude-armhf}
# Bump when the directory's layout changes, so that existing ones are rebuilt.
layout=1
# The tests pass the emulator's command line through the environment, split at blanks.
if [[ $root != /* || $root =~ [[:space:]] ]]; then
    echo "RIRARUDE_ARMHF_ROOT must be an absolute path without blanks" >&2; exit 1
fi
[ "$(id -u)" -eq 0 ] || exec sudo env RIRARUDE_ARMHF_ROOT="$root" "$0" "$@"

# The host's side: the cross compiler, Qt's code generators (they run here), and mmdebstrap.
host_packages=(crossbuild-essential-armhf qtbase5-dev-tools qt5-qmake mmdebstrap)
installed=$(dpkg-query -W -f='${db:Status-Abbrev}\n' "${host_packages[@]}" 2>/dev/null | grep -c '^ii') || true
if [ "$installed" -ne ${#host_packages[@]} ]; then
    echo "Installing what is missing of: ${host_packages[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${host_packages[@]}" >/dev/null
fi

# One preparation at a time; a second waits for the first and then finds everything in place.
mkdir -p "$(dirname "$root")"
exec 9>"$root.lock"
flock 9

codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
sources=(/etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources)
[ -f /etc/apt/sources.list ] && sources=(/etc/apt/sources.list "${sources[@]}")
mirror=$(apt-get indextargets --no-release-info --format '$(REPO_URI)' "Release: $codename" | awk 'NR == 1')
[ -n "$mirror" ] || { echo "The host's apt has no sources for $codename" >&2; exit 1; }

# Each unpacks packages and what they depend on into the root TARGET. The sysroot's: what runs on
# the box, Qt Core and Network with everything they link or load (the bearer plugins that Network
# loads need D-Bus), the C and C++ runtimes that qemu loads from the sysroot; GoogleTest.
sysroot_strap() { # TARGET [mmdebstrap OPTION...]
    mmdebstrap --variant=extract --architectures=armhf "${@:2}" \
        --include=libc6,libgcc-s1,libstdc++6,libqt5core5a,libqt5network5,libqt5dbus5,libgtest-dev,libgmock-dev \
        "$codename" "$1" "${sources[@]}"
}
emulator_strap() { # TARGET [mmdebstrap OPTION...]
    mmdebstrap --variant=extract --architectures="$(dpkg --print-architecture)" --include=qemu-user "${@:2}" \
        "$codename-backports" "$1" "$mirror"
}
# Prints the packages that a strap would unpack, as name=version.
resolve() {
    local out
    out=$("$1" /dev/null --simulate --verbose 2>&1) || { echo "$out" >&2; return 1; }
    awk '$1 == "Inst" { print $2 "=" substr($3, 2) }' <<<"$out" | sort
}
stamp=$(echo "layout $layout"; resolve sysroot_strap; resolve emulator_strap)
if [ "$(cat "$root/.prepared" 2>/dev/null)" = "$stamp" ]; then
    echo "armhf sysroot and emulator in $root are up to date"
    exit 0
fi

staging=$root.new
rm -rf "$staging"
mkdir -p "$staging/sysroot" "$staging/bin"
# mmdebstrap's root also holds /dev, /tmp and apt's state, and qemu looks up every path in the
# sysroot first: the sysroot gets only the packages' files, and Qt's headers, CMake files and
# mkspecs without what those depend on (Gui, OpenGL, X11...). They are built with Core and carry
# its version, which the stamp holds.
SYSROOT=$staging/sysroot sysroot_strap "$staging/scratch" --quiet --extract-hook='cd "$1/tmp" &&
    APT_CONFIG=$MMDEBSTRAP_APT_CONFIG apt-get download -qq qtbase5-dev qt5-qmake &&
    for deb in "$1"/var/cache/apt/archives/*.deb *.deb; do dpkg-deb -x "$deb" "$SYSROOT"; done'
emulator_strap "$staging/emulator" --quiet
mv "$staging/emulator/usr/bin/qemu-arm" "$staging/bin/qemu-arm"
rm -rf "$staging/scratch" "$staging/emulator"

# Qt's CMake files expect its tools beside the armhf libraries; the host's run here. The
# generated code does not depend on the processor.
mkdir -p "$staging/sysroot/usr/lib/qt5/bin" "$staging/sysroot/usr/lib/arm-linux-gnueabihf/qt5/bin"
ln -sfn /usr/lib/qt5/bin/moc /usr/lib/qt5/bin/rcc "$staging/sysroot/usr/lib/qt5/bin/"
ln -sfn /usr/lib/qt5/bin/qmake "$staging/sysroot/usr/lib/arm-linux-gnueabihf/qt5/bin/qmake"

printf '%s\n' "$stamp" >"$staging/.prepared"
rm -rf "$root"
mv "$staging" "$root"
echo "armhf sysroot and emulator ready in $root (their packages are listed in $root/.prepared)"

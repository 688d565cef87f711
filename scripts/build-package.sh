#!/usr/bin/env bash
# Builds the Debian package of the tool as the box runs it: a Release build with the box's own
# paths (no box root), installed under /usr, without tests, with Debian's hardening flags, packed
# by CPack. Prints the package's path.
#   scripts/build-package.sh [amd64|armhf]     (default amd64; armhf is the box's board)
#   RIRARUDE_FIRMWARE_SERVER  the firmware server's IPv4 address; without it the package keeps
#                             the placeholder 192.0.2.1, which answers nowhere
#   BUILD_DIR                 build directory (default build-deb-ARCH)
#   RIRARUDE_ARMHF_ROOT       for armhf, as for scripts/prepare-armhf-sysroot.sh
set -euo pipefail
cd "$(dirname "$0")/.."

arch=${1:-amd64}
build_dir=${BUILD_DIR:-build-deb-$arch}
cmake_args=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DRIRARUDE_BUILD_TESTS=OFF
            -DRIRARUDE_BOX_ROOT=)
case $arch in
    amd64) ;;
    armhf)
        scripts/prepare-armhf-sysroot.sh >&2
        cmake_args+=("-DCMAKE_TOOLCHAIN_FILE=$PWD/cmake/toolchain-armhf.cmake") ;;
    *) echo "usage: $0 [amd64|armhf]" >&2; exit 2 ;;
esac
if [ -n "${RIRARUDE_FIRMWARE_SERVER:-}" ]; then
    cmake_args+=("-DRIRARUDE_FIRMWARE_SERVER=$RIRARUDE_FIRMWARE_SERVER")
fi

scripts/install-deps.sh >&2
# Ninja alone runs two jobs more than the machine has cores.
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
flags() { DEB_HOST_ARCH=$arch dpkg-buildflags --get "$1"; }
CXXFLAGS="$(flags CPPFLAGS) $(flags CXXFLAGS)" LDFLAGS="$(flags LDFLAGS)" \
    cmake -S . -B "$build_dir" -G Ninja "${cmake_args[@]}" >/dev/null
cmake --build "$build_dir" >&2

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt")
package="$build_dir/rirarude-updater_${version}_$arch.deb"
rm -f "$package"
(cd "$build_dir" && cpack -G DEB >/dev/null)
[ -f "$package" ] || { echo "CPack made no $package" >&2; exit 1; }
echo "$package"

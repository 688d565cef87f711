#!/usr/bin/env bash
# Runs every test with the tool built for the box's processor (32-bit ARM, Debian armhf): prepares
# the cross compiler and the armhf sysroot, builds the sandbox configuration with
# cmake/toolchain-armhf.cmake, and runs ctest, every ARM program under qemu-arm.
#   BUILD_DIR  build directory (default build-armhf)
#   TEST_PORT  loopback port of the test firmware server (default 47381, apart from the native
#              build's, so both can run at once)
#   RIRARUDE_ARMHF_ROOT  where the sysroot and the emulator are (see prepare-armhf-sysroot.sh)
#   EXTRA_CMAKE_ARGS  further arguments for cmake
set -euo pipefail
cd "$(dirname "$0")/.."

export BUILD_DIR=${BUILD_DIR:-build-armhf}
export TEST_PORT=${TEST_PORT:-47381}
# Ninja alone runs two jobs more than the machine has cores.
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}

scripts/install-deps.sh
scripts/prepare-armhf-sysroot.sh
EXTRA_CMAKE_ARGS="-DCMAKE_TOOLCHAIN_FILE=$PWD/cmake/toolchain-armhf.cmake ${EXTRA_CMAKE_ARGS:-}" \
    scripts/configure-sandbox.sh

# A build that quietly fell back to the host's compiler would pass every test and prove nothing.
tool="$BUILD_DIR/rirarude-updater"
if ! arm-linux-gnueabihf-readelf -h "$tool" | grep -q 'Machine:[[:space:]]*ARM$' ||
   ! arm-linux-gnueabihf-readelf -h "$tool" | grep -q 'hard-float ABI'; then
    echo "$tool is no hard-float ARM program" >&2
    exit 1
fi

ctest --test-dir "$BUILD_DIR" --output-on-failure

#!/usr/bin/env bash
# Configures and builds the tool for a sandbox box: every absolute path it uses lies under
# <build dir>/box, the firmware server is on loopback, and the waits on boards, downloads,
# unpacking and the update files lock are short so that the fault tests finish quickly.
#   BUILD_DIR   build directory (default build-test)
#   TEST_PORT   loopback port of the test firmware server (default 47380)
#   SANITIZE=1  build with AddressSanitizer and UndefinedBehaviorSanitizer
#   EXTRA_CMAKE_ARGS  further arguments for cmake (a toolchain file, say)
#   BUILD_TARGETS     build only these targets (default: everything)
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${BUILD_DIR:-build-test}
port=${TEST_PORT:-47380}
flags="-DRIRARUDE_BOARD_QUERY_WAIT_MS=1000 -DRIRARUDE_BOARD_STATUS_WAIT_MS=3000"
flags+=" -DRIRARUDE_DOWNLOAD_STALL_MS=2000 -DRIRARUDE_DOWNLOAD_RETRY_PAUSE_MS=100"
flags+=" -DRIRARUDE_EXTRACT_WAIT_MS=3000"
flags+=" -DRIRARUDE_UPLOAD_CHECK_WAIT_MS=1500 -DRIRARUDE_UPDATE_FILES_LOCK_WAIT_MS=3000"
# The code is kept free of warnings; in the builds CI makes, one fails the build.
flags+=" -Werror"
if [ "${SANITIZE:-0}" = 1 ]; then
    flags+=" -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
fi

# shellcheck disable=SC2086
cmake -S . -B "$build_dir" -G Ninja \
    -DRIRARUDE_BOX_ROOT="$PWD/$build_dir/box" \
    -DRIRARUDE_FIRMWARE_SERVER="127.0.0.1:$port" \
    -DCMAKE_CXX_FLAGS="$flags" ${EXTRA_CMAKE_ARGS:-} >/dev/null
# shellcheck disable=SC2086
cmake --build "$build_dir" ${BUILD_TARGETS:+--target $BUILD_TARGETS}

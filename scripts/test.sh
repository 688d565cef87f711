#!/usr/bin/env bash
# Runs every test: installs what is missing, builds a sandbox configuration, runs ctest.
# Takes the settings of configure-sandbox.sh (BUILD_DIR, TEST_PORT, SANITIZE).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
scripts/configure-sandbox.sh
export ASAN_OPTIONS=${ASAN_OPTIONS:-exitcode=86:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1:exitcode=87}
ctest --test-dir "${BUILD_DIR:-build-test}" --output-on-failure

# What the suite costs in lines against the code it guards.
scripts/test-lines.sh

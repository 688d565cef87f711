#!/usr/bin/env bash
# Fails when the product (Updater/) uses a Qt API newer than the Qt version CMakeLists.txt asks
# for: its object files' Qt symbols and its sources' Qt names are looked up in Qt's reference
# pages (tools/qt-floor/README.md says how). Builds the product in BUILD_DIR first when needed.
#   BUILD_DIR  a native build directory to check (default build-test, the one scripts/test.sh
#              makes; only the tool's targets are built there)
#   TEST_PORT  as for scripts/configure-sandbox.sh, when BUILD_DIR is configured afresh
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${BUILD_DIR:-build-test}

scripts/install-deps.sh
if [ -f "$build_dir/CMakeCache.txt" ]; then
    cmake --build "$build_dir" --target rirarude-updater >/dev/null
else
    BUILD_DIR=$build_dir BUILD_TARGETS=rirarude-updater scripts/configure-sandbox.sh >/dev/null
fi

floor=$(sed -n 's/^find_package(Qt5 \([0-9][0-9.]*\) .*/\1/p' CMakeLists.txt)
[ -n "$floor" ] || { echo "CMakeLists.txt names no Qt 5 version in find_package" >&2; exit 2; }

# The Qt libraries this build linked against.
qt_library() {
    local dir
    dir=$(sed -n "s/^Qt5$1_DIR:PATH=//p" "$build_dir/CMakeCache.txt")
    echo "$(dirname "$(dirname "$dir")")/libQt5$1.so.5"
}

# The product: the shared code, the controller and the front end; no tests, tools or benchmarks.
objects=("$build_dir/librirarude_common.a" "$build_dir/librirarude_controller.a")
mapfile -t -O ${#objects[@]} objects < <(find "$build_dir/CMakeFiles/rirarude-updater.dir" -name '*.o' | sort)

exec /usr/bin/python3 tools/qt-floor/qt_floor.py --floor "$floor" \
    --qt-library "$(qt_library Core)" --qt-library "$(qt_library Network)" \
    --allow-list tools/qt-floor/allow-list.txt --sources Updater "${objects[@]}"

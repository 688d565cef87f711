# shellcheck shell=bash disable=SC2154  # build_dir and fact() come from the script that sources this
# The same tool from another revision, for this box: its source from git, its flags from this
# build. Sourced by the areas that measure against another revision, after they set build_dir
# and fact(). Prints nothing; the tool lands in $build_dir/baseline/build/rirarude-updater.
build_baseline() { # revision
    local baseline=$build_dir/baseline
    rm -rf "$baseline"
    mkdir -p "$baseline/source"
    git archive "$1" | tar -x -C "$baseline/source"
    cached() { sed -n "s/^$1:[A-Z]*=//p" "$build_dir/CMakeCache.txt"; }
    cmake -S "$baseline/source" -B "$baseline/build" -G Ninja -DRIRARUDE_BUILD_TESTS=OFF \
        -DRIRARUDE_BOX_ROOT="$(fact box_root)" \
        -DRIRARUDE_FIRMWARE_SERVER="$(fact UPDATE_DOWNLOAD_URL)" \
        -DCMAKE_CXX_FLAGS="$(cached CMAKE_CXX_FLAGS)" >/dev/null
    cmake --build "$baseline/build" --target rirarude-updater >&2
}

#!/usr/bin/env bash
# USB firmware transfer to the board simulator: a 4 MiB image sent in update mode 0 by the
# updater (rirarude-updater --blockingdspupdate), with its event log and without it (the log
# directory missing: every line goes to standard error, here /dev/null), against the anchor: a
# bare C client that sends the same frames and waits for each status byte in the plainest way
# (bench/board/stop_and_wait.c), the stop-and-wait limit of this link. Every run is timed from
# outside, process start included, and every transfer is checked: the simulator must report it
# complete and intact. The median of the runs counts.
#   bench/board/run.sh <sandbox build dir>
#   BASELINE_REF=<git revision>   also builds that revision's tool for the same box and measures
#                                 it in the same runs, for the cost of a change to the transfer
#   RUNS=<n>                      runs of each measurement (default 5)
set -euo pipefail
cd "$(dirname "$0")/../.."

build_dir=${1:?usage: bench/board/run.sh <sandbox build dir>}
tool=$build_dir/rirarude-updater
simulator=$build_dir/tools/board-simulator
anchor=$build_dir/bench/board/stop-and-wait
cached() { sed -n "s/^$1:[A-Z]*=//p" "$build_dir/CMakeCache.txt"; }
box=$(cached RIRARUDE_BOX_ROOT)
[[ -x $tool && -x $simulator && -x $anchor && -n $box ]] || {
    echo "$build_dir is not a built sandbox build (see scripts/configure-sandbox.sh)" >&2
    exit 1
}
runs=${RUNS:-5}
size_mib=4
device=$box/dev/qv_core_rack
image=$box/home/pxm/Firmware/R9_CoreRack_M4.bin
log_dir=$box/home/pxm/PXMPersistentData/DovozUdiZedezod/EventLogs
log=$log_dir/Updater.log

work=$(mktemp -d)
simulator_pid=
cleanup() {
    if [ -n "$simulator_pid" ]; then
        kill "$simulator_pid" 2>/dev/null || true
        wait "$simulator_pid" 2>/dev/null || true
    fi
    mkdir -p "$log_dir"
    rm -rf "$work" "$image" "$device" "$log"
}
trap cleanup EXIT

# The same tool from another revision, for this box: its source from git, its flags from this
# build.
build_baseline() { # revision
    local source=$work/baseline-source baseline=$build_dir/baseline
    mkdir -p "$source"
    git archive "$1" | tar -x -C "$source"
    cmake -S "$source" -B "$baseline" -G Ninja -DRIRARUDE_BUILD_TESTS=OFF \
        -DRIRARUDE_BOX_ROOT="$box" -DRIRARUDE_FIRMWARE_SERVER="$(cached RIRARUDE_FIRMWARE_SERVER)" \
        -DCMAKE_CXX_FLAGS="$(cached CMAKE_CXX_FLAGS)" >/dev/null
    cmake --build "$baseline" --target rirarude-updater >&2
    echo "$baseline/rirarude-updater"
}

start_simulator() {
    rm -f "$work/ready" "$work/report.json" "$work/received"
    "$simulator" --link "$device" --report "$work/report.json" --image "$work/received" \
        --timeout 600 >"$work/ready" 2>>"$work/simulator.err" &
    simulator_pid=$!
    for _ in $(seq 100); do
        grep -q '^ready ' "$work/ready" 2>/dev/null && return
        sleep 0.05
    done
    echo "board simulator did not start" >&2
    exit 1
}

stop_simulator() {
    kill "$simulator_pid" 2>/dev/null || true
    wait "$simulator_pid" 2>/dev/null || true
    simulator_pid=
}

check_received() {
    python3 - "$work/report.json" <<'PY'
import json, sys
transfer, = json.load(open(sys.argv[1]))["transfers"]
if transfer["result"] != "complete" or not transfer["intact"]:
    sys.exit(f"transfer {transfer['result']}, intact {transfer['intact']}: {transfer['error']}")
PY
    cmp -s "$image" "$work/received" || { echo "received image differs" >&2; exit 1; }
}

now_us() { echo $(( $(date +%s%N) / 1000 )); }
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# Appends the microseconds one transfer took to the file named after the measurement.
measure() { # name command...
    local name=$1 start end
    shift
    start_simulator
    start=$(now_us)
    "$@" >/dev/null 2>&1
    end=$(now_us)
    stop_simulator
    check_received
    echo "$(( end - start ))" >>"$work/$name"
}

# The tool's exit status is 1 whatever happens; the simulator's report tells the outcome.
with_log() { # tool
    mkdir -p "$log_dir"
    rm -f "$log"
    "$1" --blockingdspupdate || true
}

without_log() { # tool
    rm -rf "$log_dir"
    "$1" --blockingdspupdate || true
}

baseline=
if [ -n "${BASELINE_REF:-}" ]; then
    echo "building the tool of $BASELINE_REF" >&2
    baseline=$(build_baseline "$BASELINE_REF")
fi

mkdir -p "$(dirname "$image")" "$(dirname "$device")"
head -c "${size_mib}M" /dev/urandom >"$image"
messages=$(awk -v l=$((size_mib * 1048576)) 'BEGIN { print 1 + int((l - 496 + 503) / 504) }')

for run in $(seq "$runs"); do
    echo "run $run of $runs ($messages messages each)" >&2
    measure anchor "$anchor" "$device" "$image"
    measure tool-log with_log "$tool"
    grep -q "DSP Firmware update successful." "$log" || { echo "no success logged" >&2; exit 1; }
    measure tool-nolog without_log "$tool"
    if [ -n "$baseline" ]; then
        measure baseline-log with_log "$baseline"
        measure baseline-nolog without_log "$baseline"
    fi
done

us() { median <"$work/$1"; }
row() { # measurement value-us anchor-name anchor-us [least ratio]
    awk -v m="$1" -v v="$2" -v an="$3" -v a="$4" -v least="${5:-}" -v n="$messages" \
        -v s="$size_mib" '
    function rate(t) { return sprintf("%.0f msg/s (%.2f MiB/s)", n / (t / 1e6), s / (t / 1e6)) }
    BEGIN {
        ratio = a / v
        goal = least == "" ? "-" : ">= " least
        verdict = least == "" ? "-" : (ratio >= least + 0 ? "met" : "missed")
        printf "%s\t%s\t%s\t%s\t%.3f\t%s\t%s\n", m, rate(v), an, rate(a), ratio, goal, verdict
    }'
}
transfer="transfer ${size_mib} MiB"
client="stop-and-wait C client"
row "$transfer, updater tool, with the log" "$(us tool-log)" "$client" "$(us anchor)"
row "$transfer, updater tool, without the log" "$(us tool-nolog)" "$client" "$(us anchor)"
if [ -n "$baseline" ]; then
    row "$transfer, tool at $BASELINE_REF, with the log" "$(us baseline-log)" "$client" \
        "$(us anchor)"
    row "$transfer, tool at $BASELINE_REF, without the log" "$(us baseline-nolog)" "$client" \
        "$(us anchor)"
    # Bounded writes may cost at most 5 % of the transfer rate.
    row "$transfer, this tool against $BASELINE_REF's, with the log" "$(us tool-log)" \
        "tool at $BASELINE_REF" "$(us baseline-log)" 0.95
    row "$transfer, this tool against $BASELINE_REF's, without the log" "$(us tool-nolog)" \
        "tool at $BASELINE_REF" "$(us baseline-nolog)" 0.95
fi

#!/usr/bin/env bash
# USB firmware transfer to the board simulator: a 4 MiB image sent in update mode 0 by the
# updater (rirarude-updater --blockingdspupdate), with its event log and without it (the log
# directory missing: every line goes to standard error, here /dev/null), against the anchor: a
# bare C client that sends the same frames and waits for each status byte in the plainest way
# (bench/board/stop_and_wait.c), the stop-and-wait limit of this link. Every transfer is checked:
# the simulator must report it complete and intact.
#
# A transfer is a ping-pong of two processes, so on a shared machine its wall time swings with
# what else runs (by several times on a loaded 2-core machine). The fastest of the runs, the
# least disturbed, gives the rate; the median of the processor time (user and system) the
# process itself took gives its cost per message, which others' load hardly moves.
#   bench/board/run.sh <sandbox build dir>
#   BASELINE_REF=<git revision>   also builds that revision's tool for the same box and measures
#                                 it in the same runs, for the cost of a change to the transfer
#   RUNS=<n>                      runs of each measurement (default 7)
set -euo pipefail
cd "$(dirname "$0")/../.."

build_dir=${1:?usage: bench/board/run.sh <sandbox build dir>}
export RIRARUDE_BOX_FACTS=$build_dir/box-facts.json
# The box's paths and programs as this build has them, by their names in the code.
fact() { /usr/bin/python3 bench/fact.py "$@"; }
anchor=$build_dir/bench/board/stop-and-wait
[[ -f $RIRARUDE_BOX_FACTS && -x $anchor && -n $(fact box_root) ]] || {
    echo "$build_dir is not a built sandbox build (see scripts/configure-sandbox.sh)" >&2
    exit 1
}
tool=$(fact updater)
runs=${RUNS:-7}
size_mib=4
device=$(fact DSP_BOARD_DEVICE)
image=$(fact DSP_FIRMWARE_IMAGE)
log=$(fact UPDATER_LOG_FILE)
log_dir=$(dirname "$log")

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

# shellcheck source=bench/baseline.sh
source bench/baseline.sh

# The board on the box's device, through the tests' launcher; it leaves report.json and image.bin
# in the work directory once stopped.
start_simulator() {
    rm -f "$work/ready" "$work/report.json" "$work/image.bin"
    /usr/bin/python3 bench/board/serve_board.py "$work" >"$work/ready" 2>>"$work/simulator.err" &
    simulator_pid=$!
    for _ in $(seq 100); do
        grep -q '^ready' "$work/ready" 2>/dev/null && return
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
    cmp -s "$image" "$work/image.bin" || { echo "received image differs" >&2; exit 1; }
}

# Appends "wall user system" (seconds) of one transfer to the file named after the measurement.
measure() { # name set-up command...
    local name=$1 TIMEFORMAT='%3R %3U %3S'
    "$2"
    shift 2
    start_simulator
    # The tool's exit status is 1 whatever happens; the simulator's report tells the outcome.
    { time "$@" >/dev/null 2>&1 || true; } 2>>"$work/$name"
    stop_simulator
    check_received
    echo "  $name: $(tail -1 "$work/$name") s (wall user system)" >&2
}

keep_log() {
    mkdir -p "$log_dir"
    rm -f "$log"
}

drop_log() { rm -rf "$log_dir"; }

baseline=
if [ -n "${BASELINE_REF:-}" ]; then
    echo "building the tool of $BASELINE_REF" >&2
    build_baseline "$BASELINE_REF"
    baseline=$build_dir/baseline/build/rirarude-updater
fi

mkdir -p "$(dirname "$image")" "$(dirname "$device")"
head -c "${size_mib}M" /dev/urandom >"$image"
messages=$(awk -v l=$((size_mib * 1048576)) 'BEGIN { print 1 + int((l - 496 + 503) / 504) }')

for run in $(seq "$runs"); do
    echo "run $run of $runs ($messages messages each)" >&2
    measure anchor true "$anchor" "$device" "$image"
    measure tool-log keep_log "$tool" --blockingdspupdate
    grep -q "DSP Firmware update successful." "$log" || { echo "no success logged" >&2; exit 1; }
    measure tool-nolog drop_log "$tool" --blockingdspupdate
    if [ -n "$baseline" ]; then
        measure baseline-log keep_log "$baseline" --blockingdspupdate
        measure baseline-nolog drop_log "$baseline" --blockingdspupdate
    fi
done

fastest() { awk '{ print $1 }' "$work/$1" | sort -g | head -1; }
median_cpu() {
    awk '{ print $2 + $3 }' "$work/$1" | sort -g |
        awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

rate_row() { # measurement seconds anchor-name anchor-seconds [least ratio]
    awk -v m="$1" -v v="$2" -v an="$3" -v a="$4" -v least="${5:-}" -v n="$messages" \
        -v s="$size_mib" '
    function rate(t) { return sprintf("%.0f msg/s (%.2f MiB/s)", n / t, s / t) }
    BEGIN {
        ratio = a / v
        goal = least == "" ? "-" : ">= " least
        verdict = least == "" ? "-" : (ratio >= least + 0 ? "met" : "missed")
        printf "%s\t%s\t%s\t%s\t%.3f\t%s\t%s\n", m, rate(v), an, rate(a), ratio, goal, verdict
    }'
}

cpu_row() { # measurement seconds anchor-name anchor-seconds
    awk -v m="$1" -v v="$2" -v an="$3" -v a="$4" -v n="$messages" '
    BEGIN {
        printf "%s\t%.1f us/msg\t%s\t%.1f us/msg\t%.3f\t-\t-\n",
               m, v / n * 1e6, an, a / n * 1e6, v / a
    }'
}

transfer="transfer ${size_mib} MiB"
client="stop-and-wait C client"
rate_row "$transfer, updater tool, with the log" "$(fastest tool-log)" "$client" "$(fastest anchor)"
rate_row "$transfer, updater tool, without the log" "$(fastest tool-nolog)" "$client" \
    "$(fastest anchor)"
if [ -n "$baseline" ]; then
    # Bounded writes may cost at most 5 % of the transfer rate.
    for log in log nolog; do
        with=$([ $log = log ] && echo "with the log" || echo "without the log")
        rate_row "$transfer, this tool against $BASELINE_REF's, $with" "$(fastest tool-$log)" \
            "tool at $BASELINE_REF" "$(fastest baseline-$log)" 0.95
        cpu_row "$transfer, processor time of this tool against $BASELINE_REF's, $with" \
            "$(median_cpu tool-$log)" "tool at $BASELINE_REF" "$(median_cpu baseline-$log)"
    done
fi

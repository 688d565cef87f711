#!/usr/bin/env bash
# USB firmware transfer to the board simulator: a 4 MiB image sent in update mode 0 by the
# updater itself (rirarude-updater --blockingdspupdate, event log and all), and by the
# cUSBDeviceUpdater class in-process with the log muted, against the anchor: the same frames
# written to the pseudo-terminal the same way (one buffered write and flush per frame) without
# waiting for a status, the ceiling the device allows here. Messages per second and MiB/s; the
# median of the runs counts. Every transfer is checked: the simulator must report it intact.
#   bench/board/run.sh <sandbox build dir>
set -euo pipefail
cd "$(dirname "$0")/../.."

build_dir=${1:?usage: bench/board/run.sh <sandbox build dir>}
tool=$build_dir/rirarude-updater
simulator=$build_dir/tools/board-simulator
helper=$build_dir/bench/board/board-bench
box=$(sed -n 's/^RIRARUDE_BOX_ROOT:[A-Z]*=//p' "$build_dir/CMakeCache.txt")
[[ -x $tool && -x $simulator && -x $helper && -n $box ]] || {
    echo "$build_dir is not a built sandbox build (see scripts/configure-sandbox.sh)" >&2
    exit 1
}
runs=${RUNS:-3}
size_mib=4
device=$box/dev/qv_core_rack
image=$box/home/pxm/Firmware/R9_CoreRack_M4.bin
log=$box/home/pxm/PXMPersistentData/DovozUdiZedezod/EventLogs/Updater.log

work=$(mktemp -d)
simulator_pid=
cleanup() {
    if [ -n "$simulator_pid" ]; then
        kill "$simulator_pid" 2>/dev/null || true
        wait "$simulator_pid" 2>/dev/null || true
    fi
    rm -rf "$work" "$image" "$device" "$log"
}
trap cleanup EXIT

start_simulator() { # extra simulator options
    rm -f "$work/ready" "$work/report.json" "$work/received"
    "$simulator" --link "$device" --report "$work/report.json" --image "$work/received" \
        --timeout 600 "$@" >"$work/ready" 2>>"$work/simulator.err" &
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

check_received() { # expected result
    python3 - "$work/report.json" "$1" <<'PY'
import json, sys
transfer, = json.load(open(sys.argv[1]))["transfers"]
if transfer["result"] != sys.argv[2] or not transfer["intact"]:
    sys.exit(f"transfer {transfer['result']}, intact {transfer['intact']}: {transfer['error']}")
PY
    cmp -s "$image" "$work/received" || { echo "received image differs" >&2; exit 1; }
}

now_us() { echo $(( $(date +%s%N) / 1000 )); }
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

mkdir -p "$(dirname "$image")" "$(dirname "$device")" "$(dirname "$log")"
head -c "${size_mib}M" /dev/urandom >"$image"
messages=$(awk -v l=$((size_mib * 1048576)) 'BEGIN { print 1 + int((l - 496 + 503) / 504) }')
: >"$work/tool"; : >"$work/class"; : >"$work/frames"

for run in $(seq "$runs"); do
    echo "run $run of $runs: updater, class, frames ($messages messages each)" >&2

    start_simulator
    rm -f "$log"
    start=$(now_us)
    "$tool" --blockingdspupdate >/dev/null 2>&1 || true
    end=$(now_us)
    stop_simulator
    grep -q "DSP Firmware update successful." "$log" || { echo "updater transfer failed" >&2; exit 1; }
    check_received complete
    echo "$(( end - start ))" >>"$work/tool"

    start_simulator
    "$helper" updater "$device" "$image" | awk '{ print $1 * 1e6 }' >>"$work/class"
    stop_simulator
    check_received complete

    # The anchor: the simulator receives and checks every frame but gives no status.
    start_simulator --silent-from 1
    "$helper" frames "$device" "$image" | awk '{ print $1 * 1e6 }' >>"$work/frames"
    stop_simulator
    check_received unanswered
done

tool_us=$(median <"$work/tool")
class_us=$(median <"$work/class")
frames_us=$(median <"$work/frames")

row() { # measurement value-us anchor-us
    awk -v m="$1" -v v="$2" -v a="$3" -v n="$messages" -v s="$size_mib" 'BEGIN {
        printf "%s: messages/s\t%.0f msg/s\tframes, no status wait\t%.0f msg/s\t%.3f\t-\t-\n",
               m, n / (v / 1e6), n / (a / 1e6), a / v
        printf "%s: MiB/s\t%.2f MiB/s\tframes, no status wait\t%.2f MiB/s\t%.3f\t-\t-\n",
               m, s / (v / 1e6), s / (a / 1e6), a / v
    }'
}
row "transfer ${size_mib} MiB, updater tool" "$tool_us" "$frames_us"
row "transfer ${size_mib} MiB, class, log muted" "$class_us" "$frames_us"

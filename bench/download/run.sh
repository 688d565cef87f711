#!/usr/bin/env bash
# The download step against curl: wall time and peak resident memory of fetching the archive and
# its checksum from a loopback firmware server, for a 64 MiB and a 256 MiB archive. Both clients
# fetch from the same server in the same run, alternating, and the median of the runs counts.
#   bench/download/run.sh <sandbox build dir>
set -euo pipefail
cd "$(dirname "$0")/../.."

build_dir=${1:?usage: bench/download/run.sh <sandbox build dir>}
tool=$build_dir/rirarude-updater
cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$build_dir/CMakeCache.txt"; }
server=$(cache_value RIRARUDE_FIRMWARE_SERVER)
box=$(cache_value RIRARUDE_BOX_ROOT)
port=${server##*:}
[[ -x $tool && -n $box && $server == 127.0.0.1:* ]] || {
    echo "$build_dir is not a sandbox build (see scripts/configure-sandbox.sh)" >&2
    exit 1
}
home=$box/home/pxm
runs=${RUNS:-3}
time_goal=1.15
memory_goal_mib=40

work=$(mktemp -d)
server_pid=
cleanup() {
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
    rm -rf "$work" "$home/Firmware.tar.xz" "$home/Firmware.tar.xz.md5" "$home/curl."*
}
trap cleanup EXIT

# Prints "<seconds> <peak KiB>" for one run of the command.
measure() {
    local start end
    start=$(date +%s%N)
    /usr/bin/time -f %M -o "$work/rss" "$@" >/dev/null 2>&1 || true
    end=$(date +%s%N)
    echo "$(( (end - start) / 1000 )) $(tail -n1 "$work/rss")"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

start_server() {
    python3 tests/fixtures/firmware_server.py --quiet --port "$port" \
        --archive "$work/archive" --checksum "$work/archive.md5" >/dev/null &
    server_pid=$!
    for _ in $(seq 50); do
        curl -sf -o /dev/null "http://$server/Downloads/Latest/Firmware.tar.xz.md5" && return
        sleep 0.1
    done
    echo "firmware server did not start on $server" >&2
    exit 1
}

stop_server() {
    kill "$server_pid"
    wait "$server_pid" 2>/dev/null || true
    server_pid=
}

row() { # measurement value unit anchor-value goal-text verdict
    awk -v m="$1" -v v="$2" -v u="$3" -v a="$4" -v g="$5" -v verdict="$6" 'BEGIN {
        fmt = (u == "s") ? "%.2f %s" : "%.1f %s"
        printf "%s\t" fmt "\tcurl -o\t" fmt "\t%.2f\t%s\t%s\n", m, v, u, a, u, v / a, g, verdict
    }'
}

mkdir -p "$home/PXMPersistentData/DovozUdiZedezod/EventLogs"
for size in 64 256; do
    echo "generating a $size MiB archive" >&2
    head -c "${size}M" /dev/urandom >"$work/archive"
    md5sum "$work/archive" | cut -d' ' -f1 >"$work/archive.md5"
    start_server
    : >"$work/tool" && : >"$work/curl"
    for run in $(seq "$runs"); do
        echo "  run $run of $runs" >&2
        rm -f "$home/Firmware.tar.xz" "$home/Firmware.tar.xz.md5"
        measure "$tool" --downloadfirmware >>"$work/tool"
        cmp -s "$work/archive" "$home/Firmware.tar.xz" || { echo "archive differs" >&2; exit 1; }
        rm -f "$home/curl."*
        measure curl -s -o "$home/curl.archive" "http://$server/Downloads/Latest/Firmware.tar.xz" \
            -o "$home/curl.md5" "http://$server/Downloads/Latest/Firmware.tar.xz.md5" >>"$work/curl"
    done
    stop_server
    tool_time=$(cut -d' ' -f1 "$work/tool" | median)
    curl_time=$(cut -d' ' -f1 "$work/curl" | median)
    tool_rss=$(cut -d' ' -f2 "$work/tool" | median)
    curl_rss=$(cut -d' ' -f2 "$work/curl" | median)
    verdict=$(awk -v t="$tool_time" -v c="$curl_time" -v g="$time_goal" \
        'BEGIN { print (t <= g * c) ? "met" : "missed" }')
    row "download $size MiB: wall time" "$(awk -v t="$tool_time" 'BEGIN { print t / 1e6 }')" s \
        "$(awk -v t="$curl_time" 'BEGIN { print t / 1e6 }')" "<= $time_goal x curl" "$verdict"
    verdict=$(awk -v r="$tool_rss" -v g="$memory_goal_mib" \
        'BEGIN { print (r < g * 1024) ? "met" : "missed" }')
    row "download $size MiB: peak RSS" "$(awk -v r="$tool_rss" 'BEGIN { print r / 1024 }')" MiB \
        "$(awk -v r="$curl_rss" 'BEGIN { print r / 1024 }')" "< $memory_goal_mib MiB" "$verdict"
    rm -f "$work/archive"
done

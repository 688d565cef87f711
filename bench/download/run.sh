#!/usr/bin/env bash
# The download step against curl: wall time and peak resident memory of fetching the archive and
# its checksum over loopback, for a 64 MiB and a 256 MiB archive, from two servers: nginx with
# sendfile, as fast as loopback serves, and the test fixture, a Python server that limits both
# clients. The step has both files on the disk before it reports, so its first anchor is curl
# followed by sync of the two files; bare curl, which leaves them in the page cache, is the
# second. The third does all the step does: curl, md5sum of the archive, sync. The four take
# turns against the same server in the same run; the median counts.
#
# The cut case: the 256 MiB archive from nginx through a proxy (cutting_proxy.py) that cuts the
# connection once the file offset passes 64, 128 and 192 MiB, each cut once, as a venue's router
# drops connections under load. Time to a verified pair and the archive's bytes fetched, against
# the same download through the proxy uncut. With BASELINE_REF, also the tool of that revision,
# run again after each failure until it has a verified pair, as the box's programs would.
#   bench/download/run.sh <sandbox build dir>
#   RUNS=<n>               runs per measurement (default 5)
#   CASES="uncut cut"      which cases to run (default both)
#   BASELINE_REF=<git revision>  the tool of that revision in the cut case
set -euo pipefail
cd "$(dirname "$0")/../.."

build_dir=${1:?usage: bench/download/run.sh <sandbox build dir>}
export RIRARUDE_BOX_FACTS=$build_dir/box-facts.json
# The box's paths and texts as this build has them, by their names in the code.
fact() { /usr/bin/python3 bench/fact.py "$@"; }
[[ -f $RIRARUDE_BOX_FACTS ]] || {
    echo "$build_dir is not a built sandbox build (see scripts/configure-sandbox.sh)" >&2
    exit 1
}
tool=$(fact updater)
server=$(fact UPDATE_DOWNLOAD_URL)
port=${server##*:}
[[ -n $(fact box_root) && $server == 127.0.0.1:* ]] || {
    echo "$build_dir is not a sandbox build (see scripts/configure-sandbox.sh)" >&2
    exit 1
}
home=$(fact PXM_HOME)
archive=$(fact UPDATER_ARCHIVE_FILE)
checksum=$(fact UPDATER_CHECKSUM_FILE)
archive_path=$(fact UPDATE_DOWNLOAD_PATH_FIRMWARE)
checksum_path=$(fact UPDATE_DOWNLOAD_PATH_CHECKSUM)
runs=${RUNS:-5}
cases=${CASES:-uncut cut}
partial=$(fact UPDATER_PARTIAL_ARCHIVE_FILE)
partial_record=$(fact UPDATER_PARTIAL_ARCHIVE_RECORD_FILE)
# Where nginx listens while the proxy takes the build's server address.
upstream_port=$((port + 1000))
cuts_mib=(64 128 192)
cut_goal=1.2
fetched_goal=1.05
# The time goals hold for the 256 MiB archive.
synced_goal=1.0
bare_goal=1.15
memory_goal_mib=32
archive_url=http://$server/$archive_path
checksum_url=http://$server/$checksum_path

work=$(mktemp -d)
server_pid=
proxy_pid=
cleanup() {
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
    [ -n "$proxy_pid" ] && kill "$proxy_pid" 2>/dev/null && wait "$proxy_pid" 2>/dev/null
    rm -rf "$work" "$archive" "$checksum" "$partial" "$partial_record" "$home/curl."*
}
trap cleanup EXIT
# nginx's workers drop root for an unprivileged user, who must be able to read the files.
chmod 755 "$work"
# The server's files, at the paths the box asks for.
served_archive=$work/www/$archive_path
served_checksum=$work/www/$checksum_path
mkdir -p "$(dirname "$served_archive")" "$(dirname "$served_checksum")" "$work/nginx"

# Prints "<microseconds> <peak KiB>" for one run of the command.
measure() {
    local start end
    start=$(date +%s%N)
    /usr/bin/time -f %M -o "$work/rss" "$@" >/dev/null 2>&1 || true
    end=$(date +%s%N)
    echo "$(( (end - start) / 1000 )) $(tail -n1 "$work/rss")"
}

curl_both=(curl -s -o "$home/curl.archive" "$archive_url" -o "$home/curl.md5" "$checksum_url")
# sync with file names flushes just those files, as the step flushes its own.
curl_both_and_sync=(sh -c "${curl_both[*]} && sync $home/curl.archive $home/curl.md5")
curl_both_verified=(sh -c "${curl_both[*]} && md5sum $home/curl.archive >/dev/null &&
    sync $home/curl.archive $home/curl.md5")

# Each client starts with nothing of its own on the disk and nothing of the others' waiting to
# be written.
fresh_start() {
    rm -f "$archive" "$checksum" "$partial" "$partial_record" "$home/curl."*
    sync
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

wait_for_server() { # name [address]
    for _ in $(seq 50); do
        curl -sf -o /dev/null "http://${2:-$server}/$checksum_path" && return
        sleep 0.1
    done
    echo "the $1 server did not start on ${2:-$server}" >&2
    exit 1
}

start_nginx() { # [address]
    local address=${1:-$server}
    cat >"$work/nginx/nginx.conf" <<EOF
daemon off;
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 64; }
http {
    access_log off;
    sendfile on;
    tcp_nopush on;
    client_body_temp_path $work/nginx/client_body;
    proxy_temp_path $work/nginx/proxy;
    fastcgi_temp_path $work/nginx/fastcgi;
    uwsgi_temp_path $work/nginx/uwsgi;
    scgi_temp_path $work/nginx/scgi;
    server {
        listen $address;
        root $work/www;
        default_type application/octet-stream;
    }
}
EOF
    /usr/sbin/nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" -e "$work/nginx/error.log" &
    server_pid=$!
    wait_for_server nginx "$address"
}

start_fixture() {
    python3 bench/download/fixture_server.py --port "$port" \
        --archive "$served_archive" --checksum "$served_checksum" >/dev/null &
    server_pid=$!
    wait_for_server fixture
}

stop_server() {
    kill "$server_pid"
    wait "$server_pid" 2>/dev/null || true
    server_pid=
}

row() { # measurement value unit anchor anchor-value goal-ratio-or-limit goal-text
    awk -v m="$1" -v v="$2" -v u="$3" -v an="$4" -v a="$5" -v g="$6" -v gt="$7" 'BEGIN {
        fmt = (u == "s") ? "%.2f %s" : "%.1f %s"
        # A goal text with " x " sets a ratio to the anchor, any other a limit.
        met = (index(gt, " x ") > 0) ? (v <= g * a) : (v < g)
        verdict = (g == "") ? "-" : (met ? "met" : "missed")
        printf "%s\t" fmt "\t%s\t" fmt "\t%.2f\t%s\t%s\n", m, v, u, an, a, u, v / a, gt,
            verdict
    }'
}

seconds() { awk -v t="$1" 'BEGIN { print t / 1e6 }'; }
mib() { awk -v k="$1" 'BEGIN { print k / 1024 }'; }

mkdir -p "$(dirname "$(fact UPDATER_LOG_FILE)")"
serve_archive() { # MiB
    echo "generating a $1 MiB archive" >&2
    head -c "$1M" /dev/urandom >"$served_archive"
    md5sum "$served_archive" | cut -d' ' -f1 >"$served_checksum"
    chmod 644 "$served_archive" "$served_checksum"
}

[[ " $cases " == *" uncut "* ]] && for size in 64 256; do
    serve_archive "$size"
    for served_by in nginx fixture; do
        "start_$served_by"
        : >"$work/tool" && : >"$work/curl" && : >"$work/synced" && : >"$work/verified"
        for run in $(seq "$runs"); do
            echo "  $served_by, $size MiB: run $run of $runs" >&2
            fresh_start
            measure "$tool" --downloadfirmware >>"$work/tool"
            cmp -s "$served_archive" "$archive" || {
                echo "the archive the step stored differs from the one served" >&2
                exit 1
            }
            fresh_start
            measure "${curl_both_and_sync[@]}" >>"$work/synced"
            fresh_start
            measure "${curl_both[@]}" >>"$work/curl"
            fresh_start
            measure "${curl_both_verified[@]}" >>"$work/verified"
        done
        stop_server
        tool_time=$(seconds "$(cut -d' ' -f1 "$work/tool" | median)")
        synced_time=$(seconds "$(cut -d' ' -f1 "$work/synced" | median)")
        curl_time=$(seconds "$(cut -d' ' -f1 "$work/curl" | median)")
        verified_time=$(seconds "$(cut -d' ' -f1 "$work/verified" | median)")
        tool_rss=$(mib "$(cut -d' ' -f2 "$work/tool" | median)")
        curl_rss=$(mib "$(cut -d' ' -f2 "$work/curl" | median)")
        what="download $size MiB from $served_by"
        if [ "$size" = 256 ]; then
            row "$what: wall time" "$tool_time" s "curl -o, sync" "$synced_time" \
                "$synced_goal" "<= $synced_goal x curl+sync"
            row "$what: wall time" "$tool_time" s "curl -o" "$curl_time" \
                "$bare_goal" "<= $bare_goal x curl"
        else
            row "$what: wall time" "$tool_time" s "curl -o, sync" "$synced_time" "" none
            row "$what: wall time" "$tool_time" s "curl -o" "$curl_time" "" none
        fi
        row "$what: wall time" "$tool_time" s "curl -o, md5sum, sync" "$verified_time" "" none
        row "$what: peak RSS" "$tool_rss" MiB "curl -o" "$curl_rss" \
            "$memory_goal_mib" "< $memory_goal_mib MiB"
    done
done

[[ " $cases " == *" cut "* ]] || exit 0

start_proxy() { # cuts in bytes, comma-separated
    : >"$work/fetched"
    python3 bench/download/cutting_proxy.py --listen "$port" --upstream "$upstream_port" \
        --path "/$archive_path" --cuts "$1" --stats "$work/fetched" &
    proxy_pid=$!
    wait_for_server proxy
}

stop_proxy() {
    kill "$proxy_pid"
    wait "$proxy_pid" 2>/dev/null || true
    proxy_pid=
}

# Runs the tool until it has put a pair in place that is the archive served; prints the runs.
until_verified() { # tool
    local tries=0
    while [ $tries -lt 10 ]; do
        tries=$((tries + 1))
        # The exit status is 1 whatever happened.
        if { "$1" --downloadfirmware 2>/dev/null || true; } |
            grep -q '"Firmware Download Successful": true' && cmp -s "$served_archive" "$archive"
        then
            echo "$tries"
            return
        fi
    done
    echo "no verified pair after $tries runs" >&2
    exit 1
}

# Appends "<microseconds> <MiB fetched> <runs>" for one download through the proxy.
measure_through_proxy() { # file cuts tool
    local start end tries
    fresh_start
    start_proxy "$2"
    start=$(date +%s%N)
    tries=$(until_verified "$3")
    end=$(date +%s%N)
    stop_proxy
    echo "$(( (end - start) / 1000 )) $(awk '{ s += $1 } END { print s / 1048576 }' \
        "$work/fetched") $tries" >>"$work/$1"
}

baseline=
if [ -n "${BASELINE_REF:-}" ]; then
    echo "building the tool of $BASELINE_REF" >&2
    # shellcheck source=bench/baseline.sh
    source bench/baseline.sh
    build_baseline "$BASELINE_REF"
    baseline=$build_dir/baseline/build/rirarude-updater
fi

[ "$(stat -c %s "$served_archive" 2>/dev/null)" = $((256 << 20)) ] || serve_archive 256
cuts=$(printf '%s\n' "${cuts_mib[@]}" | awk '{ printf "%s%d", (NR > 1 ? "," : ""), $1 * 1048576 }')
start_nginx "127.0.0.1:$upstream_port"
: >"$work/uncut" && : >"$work/resumed" && : >"$work/restarted" && : >"$work/uncut_before"
for run in $(seq "$runs"); do
    echo "  cut case: run $run of $runs" >&2
    measure_through_proxy uncut "" "$tool"
    measure_through_proxy resumed "$cuts" "$tool"
    if [ -n "$baseline" ]; then
        measure_through_proxy restarted "$cuts" "$baseline"
        measure_through_proxy uncut_before "" "$baseline"
    fi
done
stop_server

column_median() { cut -d' ' -f"$2" "$work/$1" | median; }
what="download 256 MiB from nginx cut at $(IFS=/; echo "${cuts_mib[*]}") MiB"
uncut_time=$(seconds "$(column_median uncut 1)")
row "$what, resumed: time to a verified pair" "$(seconds "$(column_median resumed 1)")" s \
    "uncut, through the proxy" "$uncut_time" "$cut_goal" "<= $cut_goal x uncut"
row "$what, resumed: archive bytes fetched" "$(column_median resumed 2)" MiB "the archive" 256 \
    "$fetched_goal" "<= $fetched_goal x the archive"
if [ -n "$baseline" ]; then
    runs_needed=$(column_median restarted 3)
    row "$what, the tool at $BASELINE_REF run again until verified ($runs_needed runs): time" \
        "$(seconds "$(column_median restarted 1)")" s "uncut, through the proxy" "$uncut_time" "" \
        none
    row "$what, the tool at $BASELINE_REF: archive bytes fetched" \
        "$(column_median restarted 2)" MiB "the archive" 256 "" none
    # What keeping the body resumable costs a download that is not cut.
    row "download 256 MiB from nginx uncut, through the proxy: wall time" "$uncut_time" s \
        "the tool at $BASELINE_REF" "$(seconds "$(column_median uncut_before 1)")" "" none
fi

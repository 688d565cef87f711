#!/usr/bin/env bash
# The download step against curl: wall time and peak resident memory of fetching the archive and
# its checksum over loopback, for a 64 MiB and a 256 MiB archive, from two servers: nginx with
# sendfile, as fast as loopback serves, and the test fixture, a Python server that limits both
# clients. The step has both files on the disk before it reports, so its first anchor is curl
# followed by sync of the two files; bare curl, which leaves them in the page cache, is the
# second. The third does all the step does: curl, md5sum of the archive, sync. The four take
# turns against the same server in the same run; the median counts.
#   bench/download/run.sh <sandbox build dir>      (RUNS, default 5: runs per measurement)
set -euo pipefail
cd "$(dirname "$0")/../.."

build_dir=${1:?usage: bench/download/run.sh <sandbox build dir>}
export RIRARUDE_BOX_FACTS=$build_dir/box-facts.json
# The box's paths and texts as this build has them, by their names in the code.
fact() { /usr/bin/python3 tests/fixtures/facts.py "$@"; }
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
# The time goals hold for the 256 MiB archive.
synced_goal=1.0
bare_goal=1.15
memory_goal_mib=32
archive_url=http://$server/$archive_path
checksum_url=http://$server/$checksum_path

work=$(mktemp -d)
server_pid=
cleanup() {
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
    rm -rf "$work" "$archive" "$checksum" "$home/curl."*
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
    rm -f "$archive" "$checksum" "$home/curl."*
    sync
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

wait_for_server() {
    for _ in $(seq 50); do
        curl -sf -o /dev/null "$checksum_url" && return
        sleep 0.1
    done
    echo "the $1 server did not start on $server" >&2
    exit 1
}

start_nginx() {
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
        listen $server;
        root $work/www;
        default_type application/octet-stream;
    }
}
EOF
    /usr/sbin/nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" -e "$work/nginx/error.log" &
    server_pid=$!
    wait_for_server nginx
}

start_fixture() {
    python3 tests/fixtures/firmware_server.py --quiet --port "$port" \
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
        met = (u == "s") ? (v <= g * a) : (v < g)
        verdict = (g == "") ? "-" : (met ? "met" : "missed")
        printf "%s\t" fmt "\t%s\t" fmt "\t%.2f\t%s\t%s\n", m, v, u, an, a, u, v / a, gt,
            verdict
    }'
}

seconds() { awk -v t="$1" 'BEGIN { print t / 1e6 }'; }
mib() { awk -v k="$1" 'BEGIN { print k / 1024 }'; }

mkdir -p "$(dirname "$(fact UPDATER_LOG_FILE)")"
for size in 64 256; do
    echo "generating a $size MiB archive" >&2
    head -c "${size}M" /dev/urandom >"$served_archive"
    md5sum "$served_archive" | cut -d' ' -f1 >"$served_checksum"
    chmod 644 "$served_archive" "$served_checksum"
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

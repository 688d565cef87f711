#!/usr/bin/env bash
# Benchmarks of extraction, the upload check and CheckChecksum against the plain commands they
# stand for. Usage: bench/archive/run.sh <sandbox build dir>
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 <sandbox build dir>" >&2; exit 2; }
exec /usr/bin/python3 "$(dirname "$0")/bench.py" "$1"

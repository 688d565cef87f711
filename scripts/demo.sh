#!/usr/bin/env bash
# Runs the updater's main job on a simulated box: installs what is missing, builds a sandbox
# configuration of the tool and walks an update step by step. Arguments go to demo.py
# (for example --fault download-404).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
BUILD_DIR=build-demo TEST_PORT=${DEMO_PORT:-47390} \
    BUILD_TARGETS="rirarude-updater board-simulator box-facts-json" \
    scripts/configure-sandbox.sh >/dev/null
exec /usr/bin/python3 scripts/demo.py --build-dir build-demo "$@"

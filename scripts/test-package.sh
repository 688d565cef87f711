#!/usr/bin/env bash
# Builds the Debian packages for amd64 and for the box's armhf board (scripts/build-package.sh)
# and tests them (packaging/test_package.py): files, control fields, lintian, and the amd64
# package's tool and logrotate rule run from a scratch root in a private mount namespace. Needs
# root (or sudo), for the namespace and for the armhf sysroot.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
    exec sudo --preserve-env=RIRARUDE_ARMHF_ROOT "$0" "$@"
fi

amd64=$(scripts/build-package.sh amd64)
armhf=$(scripts/build-package.sh armhf)
PACKAGE_AMD64=$amd64 PACKAGE_ARMHF=$armhf exec /usr/bin/python3 packaging/test_package.py

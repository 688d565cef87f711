#!/usr/bin/env bash
# Installs the Debian packages that building, testing, the demo and the benchmarks need, when
# any is missing. Needs root (or sudo) only when something is missing.
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config
    qtbase5-dev libgtest-dev
    python3 xz-utils tar coreutils procps sudo curl time e2fsprogs bsdextrautils
    # The download benchmark's static server.
    nginx
    # The Qt floor check: nm and c++filt, and Qt's own pages with their "introduced in" notes.
    binutils qtbase5-doc-html
    # The Debian packages: CPack's dependency lookup (file, dpkg-shlibdeps), the package check,
    # and the installed rule's trial run.
    file dpkg-dev lintian logrotate util-linux
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing missing packages: ${missing[*]}"
as_root=()
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "As root, run: apt-get install ${missing[*]}" >&2; exit 1; }
    as_root=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null

#!/usr/bin/env bash
# Installs what building and testing need on Debian 12, as root. Idempotent and
# quick when everything is already there.
set -euo pipefail

packages=(
    cmake ninja-build
    g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix mingw-w64-i686-dev binutils-mingw-w64-i686
    googletest
    wine wine32:i386 wine64
    xvfb x11-utils imagemagick fonts-wqy-microhei
    lldb osslsigncode openssl zip
    python3
)

# The unprivileged test entries run as this user (scripts/winelib.sh).
. "$(dirname "$0")/winelib.sh"
if ! id -u "$ZEL_TEST_USER" >/dev/null 2>&1; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "run as root to create the test user $ZEL_TEST_USER" >&2
        exit 1
    fi
    useradd --create-home --shell /usr/sbin/nologin "$ZEL_TEST_USER"
fi

# Node.js and npm run the guides' link check (scripts/check-doc-links.sh).
# Debian's are taken only where no npm is on the PATH: a machine may carry a
# newer Node.js of its own, which Debian's npm package would conflict with.
command -v npm >/dev/null 2>&1 || packages+=(nodejs npm)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}" >&2
if [ "$(id -u)" -ne 0 ]; then
    echo "run as root to install the packages above" >&2
    exit 1
fi
dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"

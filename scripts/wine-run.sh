#!/usr/bin/env bash
# Runs one Windows program under Wine in a prefix and wineserver of its own,
# cloned from the build tree's template prefix, with a scratch current folder.
# Used as CMAKE_CROSSCOMPILING_EMULATOR, so CTest starts every test through it.
#
#   wine-run.sh PROGRAM.exe [ARGS...]
#
# Environment:
#   ZEL_DISPLAY=1       run under a fresh Xvfb display (message boxes are real)
#   ZEL_KEEP_PREFIX=1   keep the scratch folder for a look afterwards
# The program sees ZEL_BIN_DIR, the build's bin folder as a Windows path.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/winelib.sh"

program=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
shift
bin_dir=$(dirname "$program")
build_dir=${ZEL_BUILD_DIR:-$(dirname "$bin_dir")}

zel_make_template "$build_dir/wine-template"

scratch=
ZEL_XVFB_PID=
cleanup() {
    [ -n "$ZEL_XVFB_PID" ] && kill "$ZEL_XVFB_PID" 2>/dev/null
    [ -n "$scratch" ] || return 0
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
    cd /
    if [ -n "${ZEL_KEEP_PREFIX:-}" ]; then echo "kept $scratch" >&2; else rm -rf "$scratch"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

scratch=$(mktemp -d "${TMPDIR:-/tmp}/zelwine.XXXXXX")
zel_wine_env
export WINEPREFIX=$scratch/prefix
zel_clone_prefix "$build_dir/wine-template" "$WINEPREFIX"
mkdir -p "$scratch/cwd"
cd "$scratch/cwd"

if [ -n "${ZEL_DISPLAY:-}" ]; then zel_start_xvfb; else unset DISPLAY; fi

# Keep the server (and with it the services) up between the test's processes,
# and boot the prefix with its output sent away: services.exe and friends
# inherit the first process's stdout and would hold a reader's pipe open.
wineserver -p
wine wineboot >/dev/null 2>&1 || true

export ZEL_BIN_DIR
ZEL_BIN_DIR=$(zel_winpath "$bin_dir")
cp "$program" "$scratch/cwd/"
# The test program's exit code is the entry's result.
wine "$scratch/cwd/$(basename "$program")" "$@"

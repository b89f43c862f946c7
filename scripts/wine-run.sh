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
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/winelib.sh"

program=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
shift
bin_dir=$(dirname "$program")
build_dir=${ZEL_BUILD_DIR:-$(dirname "$bin_dir")}

zel_make_template "$build_dir/wine-template" || exit 1

scratch=$(mktemp -d "${TMPDIR:-/tmp}/zelwine.XXXXXX")
zel_wine_env
export WINEPREFIX=$scratch/prefix
zel_clone_prefix "$build_dir/wine-template" "$WINEPREFIX"
mkdir -p "$scratch/cwd"
cd "$scratch/cwd" || exit 1

ZEL_XVFB_PID=
cleanup() {
    wineserver -k >/dev/null 2>&1
    wineserver -w >/dev/null 2>&1
    [ -n "$ZEL_XVFB_PID" ] && kill "$ZEL_XVFB_PID" 2>/dev/null
    cd / && { [ -n "${ZEL_KEEP_PREFIX:-}" ] && echo "kept $scratch" >&2 || rm -rf "$scratch"; }
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if [ -n "${ZEL_DISPLAY:-}" ]; then zel_start_xvfb; else unset DISPLAY; fi

# Keep the server (and with it the services) up between the test's processes,
# and boot the prefix with its output sent away: services.exe and friends
# inherit the first process's stdout and would hold a reader's pipe open.
wineserver -p
wine wineboot >/dev/null 2>&1

export ZEL_BIN_DIR
ZEL_BIN_DIR=$(zel_winpath "$bin_dir")
cp "$program" "$scratch/cwd/"
wine "$scratch/cwd/$(basename "$program")" "$@"

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
#   ZEL_UNPRIVILEGED=1  run as the unprivileged test user (see winelib.sh) when
#                       started as root, in a prefix cloned from that user's
#                       own template
# The program sees ZEL_BIN_DIR, the build's bin folder as a Windows path.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/winelib.sh"

program=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
shift
bin_dir=$(dirname "$program")
build_dir=${ZEL_BUILD_DIR:-$(dirname "$bin_dir")}

if [ -n "${ZEL_UNPRIVILEGED:-}" ] && [ "$(id -u)" -eq 0 ]; then
    zel_run_as_test_user "$build_dir" "$0" "$program" "$@"
fi
template_root=${ZEL_TEMPLATE_ROOT:-$build_dir}
zel_make_template "$template_root/wine-template"
zel_enter_scratch_prefix "$template_root"
if [ -n "${ZEL_DISPLAY:-}" ]; then zel_start_xvfb; else unset DISPLAY; fi
zel_boot_prefix

export ZEL_BIN_DIR
ZEL_BIN_DIR=$(zel_winpath "$bin_dir")
cp "$program" "$ZEL_SCRATCH/cwd/"
# The test program's exit code is the script's. A GoogleTest entry passes on
# the program's closing summary instead (tests/CMakeLists.txt): Wine reports 0
# for a program that another process ended while one of its threads was
# suspended. A code other than 0 is named, for the entry to fail on.
status=0
wine "$ZEL_SCRATCH/cwd/$(basename "$program")" "$@" || status=$?
[ "$status" -eq 0 ] || echo "wine-run: the program ended with exit status $status"
exit "$status"

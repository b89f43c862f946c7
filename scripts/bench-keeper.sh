#!/usr/bin/env bash
# Builds the record keeper's benchmark, lays out zelunst.exe with the stand-in
# solution library (which returns at once), and runs the benchmark under Wine
# in a prefix and wineserver of its own.
#
#   scripts/bench-keeper.sh [BUILD_DIR]     (default: the preset's build folder)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
. "$root/scripts/winelib.sh"

[ -f "$build/build.ninja" ] || cmake --preset mingw -B "$build" >/dev/null
cmake --build "$build" --target keeper_bench zelunst zeldecs -j2 >/dev/null
zel_make_template "$build/wine-template"
zel_enter_scratch_prefix "$build" zelbench
unset DISPLAY
zel_boot_prefix
tool=$WINEPREFIX/drive_c/zk
mkdir -p "$tool/subsystem/zelde"
cp "$build/bin/zelunst.exe" "$tool/"
cp "$build/bin/zeldecs.dll" "$tool/subsystem/zelde/"
cp "$build/bin/keeper_bench.exe" .
wine ./keeper_bench.exe 'C:\zk'

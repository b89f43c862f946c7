#!/usr/bin/env bash
# Builds the record keeper's benchmark, lays out zelunst.exe and the tool built
# without its keeper, each with the stand-in solution library (which returns
# at once), and runs the benchmark under Wine in a prefix and wineserver of
# its own.
#
#   scripts/bench-keeper.sh [BUILD_DIR]     (default: the preset's build folder)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
. "$root/scripts/winelib.sh"

[ -f "$build/build.ninja" ] || cmake --preset mingw -B "$build" >/dev/null
cmake --build "$build" --target keeper_bench zelunst zelunst_without_keeper zeldecs -j2 >/dev/null
zel_make_template "$build/wine-template"
zel_enter_scratch_prefix "$build" zelbench
unset DISPLAY
zel_boot_prefix
for folder in zk zn; do
    mkdir -p "$WINEPREFIX/drive_c/$folder/subsystem/zelde"
    cp "$build/bin/zeldecs.dll" "$WINEPREFIX/drive_c/$folder/subsystem/zelde/"
done
cp "$build/bin/zelunst.exe" "$WINEPREFIX/drive_c/zk/"
cp "$build/bin/zelunst_without_keeper.exe" "$WINEPREFIX/drive_c/zn/"
cp "$build/bin/keeper_bench.exe" .
wine ./keeper_bench.exe 'C:\zk' 'C:\zn'

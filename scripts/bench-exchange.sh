#!/usr/bin/env bash
# Builds the update exchange benchmark, runs it under Wine in a prefix and
# wineserver of its own, and prints its figures together with a native
# cp -r / rm -r of the same trees for context.
#
#   scripts/bench-exchange.sh [BUILD_DIR]     (default: the preset's build folder)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
. "$root/scripts/winelib.sh"

[ -f "$build/build.ninja" ] || cmake --preset mingw -B "$build" >/dev/null
cmake --build "$build" --target exchange_bench -j2 >/dev/null
zel_make_template "$build/wine-template"
zel_enter_scratch_prefix "$build" zelbench
unset DISPLAY
zel_boot_prefix
cp "$build/bin/exchange_bench.exe" .

status=0
wine ./exchange_bench.exe 'C:\zb' || status=$?

# The same bytes with the Unix tools, on the trees the benchmark left.
trees=$WINEPREFIX/drive_c/zb
if [ -d "$trees/Rux/reupdate" ]; then
    start=$(date +%s.%N)
    mv "$trees/Rux/reupdate" "$trees/aside"
    cp -r "$trees/Rux" "$trees/nbackup"
    mv "$trees/aside" "$trees/Rux/reupdate"
    cp -r "$trees/Rux/reupdate/." "$trees/Rux/"
    rm -r "$trees/nbackup"
    end=$(date +%s.%N)
    printf 'native cp -r / rm -r of the same trees: %.2f s\n' "$(echo "$end - $start" | bc -l)"
fi
exit $status

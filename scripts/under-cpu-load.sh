#!/usr/bin/env bash
# Runs GoogleTest filters of one test program under full processor load, so
# that the races a quiet machine hides show: busy loops on every core but one
# for as long as they run, and the filters' own runs, at the same time, each
# through wine-run.sh (a prefix of its own), take that one whenever they
# compute. A loop on every core made the entry no shorter, only every entry
# beside it slower. The script fails when any of the filters does.
#
#   under-cpu-load.sh PROGRAM.exe FILTER...
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
program=$1
shift

loops=()
stop_loops() {
    for pid in "${loops[@]}"; do kill "$pid" 2>/dev/null || true; done
}
trap stop_loops EXIT
cores=$(nproc)
for _ in $(seq $((cores > 1 ? cores - 1 : 1))); do
    bash -c 'while :; do :; done' &
    loops+=($!)
done

runs=()
for filter in "$@"; do
    "$here/wine-run.sh" "$program" --gtest_filter="$filter" &
    runs+=($!)
done
status=0
for pid in "${runs[@]}"; do wait "$pid" || status=1; done
exit "$status"

#!/usr/bin/env bash
# Runs GoogleTest filters of one test program under full processor load: one
# busy loop per core for as long as they run, so that the races a quiet
# machine hides show. The filters run at the same time, each through
# wine-run.sh (a prefix of its own); the script fails when any of them does.
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
for _ in $(seq "$(nproc)"); do
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

#!/usr/bin/env bash
# Set-up, the log page's check, the guides' link check, build and every test:
# the one command CI runs. Extra arguments go to ctest (e.g. -R PATTERN).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/setup.sh
# Every text the tool logs, shows in a box or prints must be on the log page
# (docs/log-lines.md); a fraction of a second, before anything is built.
scripts/check-log-lines.sh
# The guides' relative links and anchors, checked while the build runs (its
# first run spends most of its seconds installing the checker); a broken link
# fails the run before any test starts.
scripts/check-doc-links.sh &
links=$!
cmake --preset mingw
cmake --build --preset mingw
wait "$links"
# Each test starts Wine in a prefix and a scratch current folder of its own
# (scripts/wine-run.sh) and removes both when it ends.
ctest --preset mingw "$@"

#!/usr/bin/env bash
# Set-up, the guides' link check, build and every test: the one command CI
# runs. Extra arguments go to ctest (e.g. -R PATTERN).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/setup.sh
# The guides' relative links and anchors first: they fail in seconds.
scripts/check-doc-links.sh
cmake --preset mingw
cmake --build --preset mingw
# Each test starts Wine in a prefix and a scratch current folder of its own
# (scripts/wine-run.sh) and removes both when it ends.
ctest --preset mingw "$@"

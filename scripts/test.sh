#!/usr/bin/env bash
# Set-up, build and every test: the one command CI runs.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/setup.sh
cmake --preset mingw
cmake --build --preset mingw
# Tests run from a scratch folder; each starts Wine in a prefix of its own.
cd "$(mktemp -d)"
ctest --test-dir "$root/build" --output-on-failure -j "$(nproc)" "$@"

#!/usr/bin/env bash
# Fails on a relative link or anchor in README.md, docs/ or standins/README.md
# that leads nowhere (a missing file, or a heading no file has). The checker
# is remark-validate-links, pinned in scripts/doc-links/package-lock.json and
# installed there on the first run (npm ci); it then runs offline, and never
# follows links to the web.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
tools=$root/scripts/doc-links
if [ ! -x "$tools/node_modules/.bin/remark" ]; then
    npm ci --prefix "$tools" --no-audit --no-fund --loglevel=error >&2
fi
cd "$root"
# No configuration file is read, no file is written; a warning fails the run.
"$tools/node_modules/.bin/remark" --no-config --no-stdout --frail --quiet --no-color \
    --use "$tools/node_modules/remark-validate-links/index.js=repository:false" \
    README.md docs standins/README.md

#!/usr/bin/env bash
# The release, built again through another path to the sources, in another
# folder, time zone and umask, holds this build's zelunst.exe and
# zelunst.debug byte for byte.
#   reproducible.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source=$1 build=$2
scratch=''
trap 'rm -rf "$scratch"' EXIT
scratch=$(mktemp -d "${TMPDIR:-/tmp}/zelrepro.XXXXXX")
ln -s "$source" "$scratch/source"
(umask 0077 && TZ=ZEL-14 "$scratch/source/scripts/release.sh" "$scratch/out" >/dev/null)
release=$(echo "$scratch"/out/zelunst-*/)
for f in zelunst.exe zelunst.debug; do
    cmp "$build/bin/$f" "$release/$f"
done
(cd "$release" && sha256sum -c --quiet SHA256SUMS)

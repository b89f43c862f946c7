#!/usr/bin/env bash
# Builds a release of the checked-out commit from a clean build folder:
#
#   scripts/release.sh DIR
#   ZEL_SIGN_PASSWORD=... scripts/release.sh --sign CERT.pfx [--timestamp URL] DIR
#
# writes DIR/zelunst-VERSION/ (zelunst.exe, zelunst.debug, SHA256SUMS) and
# DIR/zelunst-VERSION.zip holding that folder, replacing an older pair. The
# same commit gives the same bytes in any folder, time zone and umask; the
# files and the zip entries carry the commit's time (SOURCE_DATE_EPOCH when
# set). With --sign, zelunst.exe is signed (Authenticode, SHA-256) with the
# certificate and key of the PKCS#12 file before the checksums are taken,
# and --timestamp has the signature time-stamped by that RFC 3161 server.
# Nothing is written into DIR unless the whole release succeeds.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

die() { echo "release.sh: $*" >&2; exit 1; }
usage() { die "usage: [ZEL_SIGN_PASSWORD=...] $0 [--sign CERT.pfx [--timestamp URL]] DIR"; }

cert='' timestamp_url='' dir=''
while [ $# -gt 0 ]; do
    case $1 in
        --sign) [ $# -ge 2 ] || usage; cert=$2; shift 2 ;;
        --timestamp) [ $# -ge 2 ] || usage; timestamp_url=$2; shift 2 ;;
        -*) usage ;;
        *) [ -z "$dir" ] || usage; dir=$1; shift ;;
    esac
done
[ -n "$dir" ] || usage
[ -z "$timestamp_url" ] || [ -n "$cert" ] || die "--timestamp needs --sign"

"$root/scripts/setup.sh"

# The certificate is checked before anything is built: a missing file, a
# wrong password or a certificate not meant for code signing stops here.
if [ -n "$cert" ]; then
    [ -f "$cert" ] || die "$cert: no such certificate file"
    [ -n "${ZEL_SIGN_PASSWORD+set}" ] || die "set ZEL_SIGN_PASSWORD to the password of $cert"
    export ZEL_SIGN_PASSWORD
    signer=$(openssl pkcs12 -in "$cert" -passin env:ZEL_SIGN_PASSWORD -nokeys -clcerts 2>/dev/null) ||
        die "$cert: wrong password (ZEL_SIGN_PASSWORD), or not a PKCS#12 file"
    openssl x509 -noout -ext extendedKeyUsage <<<"$signer" 2>/dev/null | grep -q 'Code Signing' ||
        die "$cert: the certificate is not for code signing (no Code Signing extended key use)"
fi

epoch=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct 2>/dev/null)} ||
    die "not a git checkout: set SOURCE_DATE_EPOCH to the release's time"
if [ -n "$(git -C "$root" status --porcelain --untracked-files=no 2>/dev/null)" ]; then
    echo "release.sh: warning: uncommitted changes; this release is not the commit's" >&2
fi

scratch='' staging='' made_dir=''
# A failed release also takes back the DIR it made (emptied by then).
cleanup() { rm -rf "$scratch" "$staging"; [ -z "$made_dir" ] || rmdir "$made_dir" 2>/dev/null || true; }
trap cleanup EXIT
trap 'exit 130' INT TERM
scratch=$(mktemp -d "${TMPDIR:-/tmp}/zelrelease.XXXXXX")

build=$scratch/build
cmake -S "$root" --preset mingw -B "$build" -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target zelunst >/dev/null
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || die "no project version in $build/CMakeCache.txt"
name=zelunst-$version

[ -d "$dir" ] || made_dir=$dir
mkdir -p "$dir"
staging=$(mktemp -d "$dir/.$name.XXXXXX")
mkdir "$staging/$name"
cp "$build/bin/zelunst.debug" "$staging/$name/"
if [ -n "$cert" ]; then
    # The password goes through a pipe, never on a command line.
    osslsigncode sign -pkcs12 "$cert" -readpass <(printf '%s' "$ZEL_SIGN_PASSWORD") -h sha256 \
        ${timestamp_url:+-ts "$timestamp_url"} \
        -in "$build/bin/zelunst.exe" -out "$staging/$name/zelunst.exe" >/dev/null ||
        die "signing zelunst.exe with $cert failed"
else
    cp "$build/bin/zelunst.exe" "$staging/$name/"
fi
(cd "$staging/$name" && sha256sum zelunst.exe zelunst.debug >SHA256SUMS)

# Fixed modes and times, the commit's, and entries in a fixed order; zip
# keeps only MS-DOS times (-X), read in the local time zone, hence UTC.
chmod 0755 "$staging/$name"
chmod 0644 "$staging/$name"/*
touch -d "@$epoch" "$staging/$name"/* "$staging/$name"
(cd "$staging" && TZ=UTC zip -q -X -D "$name.zip" "$name/zelunst.exe" "$name/zelunst.debug" "$name/SHA256SUMS")
chmod 0644 "$staging/$name.zip"
touch -d "@$epoch" "$staging/$name.zip"

rm -rf "${dir:?}/$name" "$dir/$name.zip"
mv "$staging/$name" "$staging/$name.zip" "$dir/"
echo "release.sh: wrote $dir/$name/ and $dir/$name.zip" >&2
cat "$dir/$name/SHA256SUMS"

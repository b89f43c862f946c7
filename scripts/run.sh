#!/usr/bin/env bash
# Runs zelunst.exe in the sandbox: a Wine prefix with the stand-in product
# installed and running, as an administrator would find it.
#
#   scripts/run.sh [OPTION]      e.g. -smoothupdate, -install, -uninstall, -?
#   scripts/run.sh --fresh ...   start again from a new sandbox prefix
#
# Prints the exit code, the lines this run added to ZelUnst.log and what
# changed. With -smoothupdate it stages an update in "reupdate" first.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/winelib.sh"

fresh=
if [ "${1:-}" = "--fresh" ]; then fresh=1; shift; fi
option=${1:-}

"$root/scripts/setup.sh"
(cd "$root" && cmake --preset mingw >/dev/null && cmake --build --preset mingw >/dev/null)

build=$root/build
sandbox=$build/sandbox
zel_make_template "$build/wine-template"
zel_wine_env
export WINEPREFIX=$sandbox/prefix
[ -n "$fresh" ] && rm -rf "$sandbox"
if [ ! -d "$WINEPREFIX" ]; then
    mkdir -p "$sandbox"
    zel_clone_prefix "$build/wine-template" "$WINEPREFIX"
fi
mkdir -p "$sandbox/cwd"
cd "$sandbox/cwd"
unset DISPLAY

product_win='C:\Program Files\Ostiga'
engine_win='C:\Program Files\Zel Engine'
product=$WINEPREFIX/drive_c/Program\ Files/Ostiga
bin_win=$(zel_winpath "$build/bin")

cleanup() { wineserver -k >/dev/null 2>&1 || true; wineserver -w >/dev/null 2>&1 || true; }
trap cleanup EXIT
zel_boot_prefix

# Wine output goes through a file: services started on the way inherit the
# starting process's handles and would keep a pipe open.
sandbox_tool() {
    wine "$bin_win\\zelsandbox.exe" "$@" >"$sandbox/out.txt" 2>&1 || true
    tr -d '\r' <"$sandbox/out.txt"
}

echo "== the stand-in product: $product_win, engine in $engine_win"
# Booting the prefix has started ruxmain.exe from the Run key: end it (and the
# services) so the product's files can be laid out afresh.
sandbox_tool uninstall >/dev/null
sandbox_tool install "$product_win" "$engine_win"
# Each run starts from clean records, so what is shown below is this run's.
find "$product" "$WINEPREFIX/drive_c/Program Files/Zel Engine" -name '*.record' -delete
sandbox_tool start-product

if [ "$option" = "-smoothupdate" ]; then
    echo "== staging an update in $product_win\\reupdate"
    "$root/scripts/stage-update.sh" "$product"
    # As the product's updater does before it hands over: its service is
    # stopped so that its files can be replaced.
    echo "== stopping the product's service"
    sandbox_tool run "$product_win\\ruxserv.exe" -stop
fi

listing() { (cd "$product" && find . -type f ! -name '*.record' ! -name 'ZelUnst.log' -exec md5sum {} + | sort -k2); }
before=$(listing)
log=$product/ZelUnst.log
lines_before=$( [ -f "$log" ] && wc -l <"$log" || echo 0)

echo "== zelunst.exe ${option:-(no option)}"
sandbox_tool run "$product_win\\zelunst.exe" $option

echo "== lines this run added to ZelUnst.log"
[ -f "$log" ] && tail -n +"$((lines_before + 1))" "$log"

echo "== files of the product folder that changed"
after=$(listing)
awk 'NR == FNR { old[$2] = $1; next }
     { if (!($2 in old)) print "  added:    " substr($2, 3); else if (old[$2] != $1) print "  replaced: " substr($2, 3); delete old[$2] }
     END { for (f in old) print "  removed:  " substr(f, 3) }' <(echo "$before") <(echo "$after") | sort -k2

echo "== services, autostart value and what each stand-in recorded"
sleep 1
sandbox_tool state

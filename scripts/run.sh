#!/usr/bin/env bash
# Runs zelunst.exe in the sandbox: a Wine prefix with the stand-in product
# installed and running, as an administrator would find it.
#
#   scripts/run.sh [--fresh] [--library-loaded] [--file-held]
#                  [--engine-crash | --engine-hang] [OPTION]
#       OPTION             e.g. -smoothupdate, -install, -uninstall, -?
#       --fresh            start again from a new sandbox prefix
#       --library-loaded   a program outside the product keeps the product's
#                          shellext.dll loaded, and the update brings a new one
#       --file-held        a program holds the product's readme.txt, which the
#                          update replaces, until 1.5 s after the update's
#                          backup folder appears
#       --engine-crash     the engine's solution library crashes in its install
#       --engine-hang      the engine's solution library never returns from its
#                          install; the run gives it 10 s, set through the
#                          administrators' policy value EngineCallTimeout
#
# Prints the exit code, the lines this run added to ZelUnst.log and what
# changed. With -smoothupdate it stages an update in "reupdate" first. With
# either of the in-use choices it then shows what waits for the next restart,
# restarts the prefix (Wine deletes those files as it boots) and shows what
# is left.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/winelib.sh"

fresh= loaded= held= fault=
while [ $# -gt 0 ]; do
    case $1 in
        --fresh) fresh=1 ;;
        --library-loaded) loaded=1 ;;
        --file-held) held=1 ;;
        --engine-crash) fault=crash ;;
        --engine-hang) fault=hang ;;
        *) break ;;
    esac
    shift
done
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
others_win='C:\Program Files\Other Vendor'
others=$WINEPREFIX/drive_c/Program\ Files/Other\ Vendor
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

# A copy of the main program outside the product plays the other program:
# start_holder NAME EVENT KEY=VALUE... starts it with those settings and
# waits until it has recorded EVENT.
start_holder() {
    local name=$1 event=$2
    shift 2
    mkdir -p "$others"
    rm -f "$others/$name.record"
    cp "$build/bin/ruxmain.exe" "$others/$name.exe"
    sandbox_tool settings "$others_win\\$name.exe" "$@" >/dev/null
    sandbox_tool start "$others_win\\$name.exe"
    for _ in $(seq 100); do
        grep -q "event=$event" "$others/$name.record" 2>/dev/null && return 0
        sleep 0.1
    done
    echo "$name did not record $event" >&2
    return 1
}
if [ -n "$loaded" ]; then
    echo "== shellhost.exe, outside the product, loads shellext.dll; the update brings a new one"
    { cat "$product/shellext.dll"; printf 'version 2'; } >"$product/reupdate/shellext.dll"
    start_holder shellhost load_library "load_library=$product_win\\shellext.dll"
fi
if [ -n "$held" ]; then
    echo "== scanner.exe holds readme.txt (readable, not writable) until 1.5 s after updatetemp appears"
    start_holder scanner hold_file "hold_file=$product_win\\readme.txt" hold_readable=1 hold_ms=1500 \
        "hold_ms_after=$product_win\\updatetemp"
fi

# The solution library reads its faults from zeldecs.settings beside it; a
# dump an earlier run left is not this run's.
rm -f "$product/subsystem/zelde/zeldecs.settings" "$product/ZelUnst.dmp"
policy='HKLM\SOFTWARE\Policies\Ostiga\zelunst'
if [ -n "$fault" ]; then
    echo "== the engine's solution library will $([ "$fault" = crash ] && echo crash || echo hang) in its install"
    printf 'Fault=%s\r\n' "$fault" >"$product/subsystem/zelde/zeldecs.settings"
fi
if [ "$fault" = hang ]; then
    echo "== a limit of 10 s instead of 900 s, as an administrator sets it:"
    echo "   reg add $policy /v EngineCallTimeout /t REG_DWORD /d 10 /f"
    wine reg add "$policy" /v EngineCallTimeout /t REG_DWORD /d 10 /f >/dev/null 2>&1
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

echo "== services, autostart value, what waits for the next restart and what each stand-in recorded"
sleep 1
state=$(sandbox_tool state "$product_win" "$engine_win" "$others_win")
echo "$state"
rm -f "$product/subsystem/zelde/zeldecs.settings"
if [ "$fault" = hang ]; then wine reg delete "$policy" /f >/dev/null 2>&1 || true; fi
if [ -n "$fault" ]; then
    echo "== the engine's install $([ "$fault" = crash ] && echo crashed || echo hung); the product's service afterwards:"
    echo "$state" | grep '^service ruxserv' || true
    if [ -f "$product/ZelUnst.dmp" ]; then
        echo "$fault dump: $product_win\ZelUnst.dmp, read with: scripts/read-crash.sh '${product#"$root"/}/ZelUnst.dmp' build/bin"
    fi
fi

if [ -n "$loaded$held" ]; then
    echo "== after a restart (the prefix boots again and deletes what waited for it)"
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
    zel_boot_prefix
    sandbox_tool state "$product_win" "$engine_win" |
        awk '/^deleted at the next restart/ { shown = 1; print; next } shown && /^  / { print; next } { shown = 0 }'
    if [ -e "$product/updatetemp" ]; then
        echo "left in updatetemp:"; (cd "$product" && find updatetemp | sed 's/^/  /')
    else
        echo "updatetemp: gone"
    fi
fi

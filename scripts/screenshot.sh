#!/usr/bin/env bash
# Photographs one of the tool's two message boxes as it appears on screen,
# on an Xvfb desktop with a CJK font, in a throw-away sandbox prefix.
#
#   scripts/screenshot.sh notice  OUT.png   the "-smoothupdate" notice
#   scripts/screenshot.sh removal OUT.png   the failed-removal notice
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/winelib.sh"
which=$1
out=$(realpath -m "$2")

"$root/scripts/setup.sh"
(cd "$root" && cmake --preset mingw >/dev/null && cmake --build --preset mingw >/dev/null)

build=$root/build
zel_make_template "$build/wine-template"
zel_enter_scratch_prefix "$build" zelshot
zel_start_xvfb
zel_boot_prefix
# Chinese text through the dialog font (linked to WenQuanYi), and window
# frames drawn by Wine itself, since Xvfb has no window manager.
for face in Tahoma "Microsoft Sans Serif" "MS Shell Dlg" "MS Shell Dlg 2"; do
    wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' \
        /v "$face" /t REG_MULTI_SZ /d 'wqy-microhei.ttc,WenQuanYi Micro Hei' /f >/dev/null 2>&1
done
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1

bin_win=$(zel_winpath "$build/bin")
product_win='C:\Program Files\Ostiga'
wine "$bin_win\\zelsandbox.exe" install "$product_win" 'C:\Program Files\Zel Engine' >/dev/null
case $which in
    notice)
        caption=Ostiga
        wine "$bin_win\\zelsandbox.exe" start-product >/dev/null
        wine "$product_win\\zelunst.exe" -smoothupdate >/dev/null 2>&1 &
        ;;
    removal)
        caption=PellunaOstiga
        wine "$bin_win\\zelsandbox.exe" settings "$product_win\\ruxserv.exe" refuse_stop=1 stop.stop_wait_ms=500 >/dev/null
        wine "$bin_win\\zelsandbox.exe" start-product >/dev/null
        wine "$product_win\\zelunst.exe" >/dev/null 2>&1 &
        ;;
    *) echo "notice or removal" >&2; exit 2 ;;
esac

# Wait for the dialog's top-level window, then photograph the screen around it.
window=
for _ in $(seq 1 300); do
    window=$(xwininfo -root -tree 2>/dev/null | grep -a "$caption" | grep -v 'has no name' | head -1 | awk '{print $1}' || true)
    [ -n "$window" ] && break
    sleep 0.1
done
[ -n "$window" ] || { echo "no message box appeared" >&2; exit 1; }
sleep 1
geometry=$(xwininfo -id "$window" | awk '/Absolute upper-left X/ {x=$4} /Absolute upper-left Y/ {y=$4} /Width/ {w=$2} /Height/ {h=$2} END {printf "%dx%d+%d+%d", w+40, h+40, (x>20?x-20:0), (y>20?y-20:0)}')
import -window root -crop "$geometry" +repage "$out"
echo "wrote $out ($geometry)"

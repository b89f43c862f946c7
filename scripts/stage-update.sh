#!/usr/bin/env bash
# Lays out a product folder's own files and an update staged in its "reupdate"
# folder: new, changed and excluded files, in mixed-case names.
#   stage-update.sh PRODUCT_FOLDER (Unix path)
set -euo pipefail
product=$1
put() { mkdir -p "$(dirname "$1")"; printf '%s\r\n' "$2" >"$1"; }

# What the installed product has now (files an earlier rehearsal added go).
rm -rf "$product/data"
put "$product/readme.txt" "Ostiga 1.0"
put "$product/data/rules.dat" "rules 1"
put "$product/skin/main.bmp" "skin 1"
put "$product/settings.cfg" "user settings"
put "$product/settings.cfg.bak" "older settings backup"

# The update, in the product's own layout.
rm -rf "$product/reupdate"
put "$product/reupdate/Readme.TXT" "Ostiga 2.0"
put "$product/reupdate/Data/Rules.DAT" "rules 2"
put "$product/reupdate/Data/Signatures/New.DAT" "signatures 2"
put "$product/reupdate/skin/Main.bmp" "skin 2 (kept out: the user's skin stays)"
put "$product/reupdate/settings.cfg" "default settings (kept out)"
put "$product/reupdate/Lomifr.dll" "kept out"
echo "staged: Readme.TXT, Data/Rules.DAT (changed), Data/Signatures/New.DAT (new);"
echo "        skin/Main.bmp, settings.cfg, Lomifr.dll (excluded from the update)"

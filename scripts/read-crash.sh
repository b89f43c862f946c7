#!/usr/bin/env bash
# Prints what a crash dump of zelunst.exe holds: the exception, and the
# backtrace of every thread with the tool's function names.
#
#   read-crash.sh ZelUnst.dmp [FOLDER]
#
# FOLDER holds the very zelunst.exe that crashed and its zelunst.debug, as
# shipped together (build/bin by default). Libraries in FOLDER whose names the
# dump lists (the engine vendor's build of its solution library with its
# symbols, say) are used in place of the ones that were loaded.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
    echo "usage: read-crash.sh ZelUnst.dmp [folder with zelunst.exe and zelunst.debug]" >&2
    exit 2
fi
dump=$(realpath "$1")
folder=$(realpath "${2:-$here/../build/bin}")
for file in "$dump" "$folder/zelunst.exe" "$folder/zelunst.debug"; do
    if [ ! -f "$file" ]; then
        echo "read-crash.sh: $file not found" >&2
        exit 1
    fi
done

# Debian's lldb looks for its Python module in the wrong folder and then
# prints a Python error for every command; point it at the right one.
for module in /usr/lib/llvm-*/lib/python3*/dist-packages/lldb/__init__.py; do
    [ -f "$module" ] && export PYTHONPATH=${module%/lldb/__init__.py}
done

lldb --batch --no-lldbinit \
    -o "settings set target.exec-search-paths '$folder'" \
    -o "target create '$folder/zelunst.exe' --core '$dump'" \
    -o "target symbols add '$folder/zelunst.debug'" \
    -o "thread backtrace all" </dev/null

# Shell functions shared by the Wine scripts: a template prefix per build tree,
# cheap clones of it, and an Xvfb display when a test needs a desktop.
# Source this file; it changes nothing by itself, and it sets no shell options:
# those belong to the script that sources it.

zel_wine_env() {
    export WINEARCH=win32
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml="
}

# The unprivileged Unix user that ZEL_UNPRIVILEGED entries run as
# (scripts/setup.sh creates it). Wine run by root writes through read-only
# files; run by this user it refuses, as Windows does.
ZEL_TEST_USER=${ZEL_TEST_USER:-zeltest}

# zel_run_as_test_user BUILD_DIR WINE_RUN PROGRAM [ARGS...]: runs
# "WINE_RUN PROGRAM ARGS" as $ZEL_TEST_USER, the environment kept, and exits
# with its status. Wine refuses a prefix another user owns, so that user keeps
# its own template prefix in a folder of the build tree it owns, passed on as
# ZEL_TEMPLATE_ROOT. When the user cannot reach the tree (a checkout below a
# folder closed to others, such as root's home), the bin folder and these
# scripts are copied to a scratch folder of its own for this one run.
zel_run_as_test_user() {
    local build=$1 wine_run=$2 program=$3 home staging=
    shift 3
    if ! home=$(getent passwd "$ZEL_TEST_USER" | cut -d: -f6) || [ -z "$home" ]; then
        echo "no user $ZEL_TEST_USER: run scripts/setup.sh" >&2
        exit 1
    fi
    local as_user=(setpriv --reuid="$ZEL_TEST_USER" --regid="$ZEL_TEST_USER" --init-groups)
    if ! "${as_user[@]}" test -r "$program" -a -x "$build" -a -r "$wine_run"; then
        staging=$(mktemp -d "${TMPDIR:-/tmp}/zel-$ZEL_TEST_USER.XXXXXX")
        trap 'rm -rf "$staging"' EXIT
        cp -a "$(dirname "$program")" "$staging/bin"
        cp -a "$(dirname "$wine_run")" "$staging/scripts"
        chown -R "$ZEL_TEST_USER:$ZEL_TEST_USER" "$staging"
        program=$staging/bin/$(basename "$program")
        wine_run=$staging/scripts/$(basename "$wine_run")
        build=$staging
    fi
    local root=$build/wine-$ZEL_TEST_USER
    install -d -o "$ZEL_TEST_USER" -g "$ZEL_TEST_USER" "$root"
    local status=0
    "${as_user[@]}" env HOME="$home" USER="$ZEL_TEST_USER" LOGNAME="$ZEL_TEST_USER" \
        ZEL_BUILD_DIR="$build" ZEL_TEMPLATE_ROOT="$root" "$wine_run" "$program" "$@" || status=$?
    exit "$status"
}

# zel_make_template DIR: a booted 32-bit prefix in DIR/prefix, made once.
zel_make_template() {
    local dir=$1
    mkdir -p "$dir"
    (
        flock 9
        [ -f "$dir/ready" ] && exit 0
        rm -rf "$dir/prefix"
        zel_wine_env
        export WINEPREFIX=$dir/prefix
        cd "$dir" || exit 1
        wine wineboot -i >/dev/null 2>&1 || true
        # A crashing program must not open winedbg's dialog and hang the run.
        wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1 || true
        wineserver -w
        touch "$dir/ready"
    ) 9>"$dir.lock"
}

# zel_clone_prefix TEMPLATE_DIR TARGET: a copy of the template prefix that
# shares its files by hard link, so cloning costs almost nothing. A file that
# Wine writes into in place must be a real copy, or one test would change the
# template and every other clone: those are the registry hives (*.reg, saved
# by the wineserver) and the Windows folder's .ini files (rewritten through
# the profile API). Everything else in a prefix is only read. Tests create
# their files anew, which gives them inodes of their own; a test must never
# overwrite a file that came with the prefix (a system DLL, say).
zel_clone_prefix() {
    local template=$1/prefix target=$2 f
    cp -al "$template" "$target"
    for f in "$target"/*.reg "$target"/drive_c/windows/*.ini; do
        [ -e "$f" ] || continue
        cp --remove-destination "$template/${f#"$target"/}" "$f"
    done
}

# zel_enter_scratch_prefix DIR [NAME]: a clone of the template prefix in
# DIR/wine-template (the build tree's, or the test user's) in a new scratch
# folder ($ZEL_SCRATCH/prefix, exported as WINEPREFIX), with the Wine
# environment set and $ZEL_SCRATCH/cwd as the current folder. It first sets an
# EXIT trap that ends the prefix's wineserver and any Xvfb of zel_start_xvfb,
# and removes the folder (kept, and named on stderr, when ZEL_KEEP_PREFIX is
# set).
ZEL_SCRATCH=
ZEL_XVFB_PID=
zel_leave_scratch_prefix() {
    if [ -n "$ZEL_XVFB_PID" ]; then kill "$ZEL_XVFB_PID" 2>/dev/null || true; fi
    [ -n "$ZEL_SCRATCH" ] || return 0
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
    cd /
    # A volume a test mounted in its prefix and could not unmount itself.
    local mount
    awk -v scratch="$ZEL_SCRATCH/" 'index($2, scratch) == 1 { print $2 }' /proc/mounts | sort -r |
        while read -r mount; do umount "$mount" 2>/dev/null || true; done
    if [ -n "${ZEL_KEEP_PREFIX:-}" ]; then echo "kept $ZEL_SCRATCH" >&2; else rm -rf "$ZEL_SCRATCH"; fi
}
zel_enter_scratch_prefix() {
    trap zel_leave_scratch_prefix EXIT
    trap 'exit 130' INT TERM
    ZEL_SCRATCH=$(mktemp -d "${TMPDIR:-/tmp}/${2:-zelwine}.XXXXXX")
    zel_wine_env
    export WINEPREFIX=$ZEL_SCRATCH/prefix
    zel_clone_prefix "$1/wine-template" "$WINEPREFIX"
    mkdir -p "$ZEL_SCRATCH/cwd"
    cd "$ZEL_SCRATCH/cwd"
}

# zel_boot_prefix: keeps the prefix's wineserver (and with it the services)
# up between its processes, and boots the prefix with its output sent away:
# services.exe and friends inherit the first process's stdout and would hold
# a reader's pipe open.
zel_boot_prefix() {
    wineserver -p
    wine wineboot >/dev/null 2>&1 || true
}

# zel_start_xvfb: starts Xvfb on a free display, exports DISPLAY; its pid is
# in ZEL_XVFB_PID.
zel_start_xvfb() {
    local fifo
    fifo=$(mktemp -u)
    mkfifo "$fifo"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
    ZEL_XVFB_PID=$!
    local number
    read -r number <"$fifo"
    rm -f "$fifo"
    export DISPLAY=:$number
}

# Windows path of a Unix path, through Wine's Z: drive.
zel_winpath() {
    printf 'Z:%s' "$(printf '%s' "$1" | tr / '\\')"
}

#!/usr/bin/env bash
# Prints what a crash or hang dump of zelunst.exe holds: the exception (or,
# for a run that hung in the engine's library, which thread hung), and the
# backtrace of every thread with the tool's function names.
#
#   read-crash.sh ZelUnst.dmp [FOLDER]
#
# FOLDER holds the very zelunst.exe that crashed and its zelunst.debug, as
# shipped together (build/bin by default). Libraries in FOLDER whose names the
# dump lists (the engine vendor's build of its solution library with its
# symbols, say) are used in place of the ones that were loaded.
#
# lldb unwinds each thread; a frame is kept only while its return address lies
# just after a call in code lldb can read, in the stack slot where its callee's
# frame ends. Where unwinding stops (a library without unwind information or
# symbols, say), the faulting thread's stack is scanned for further return
# addresses, and those frames are marked "~": likely, not certain. A hang dump
# gives the hung thread the exception 0xE0000102 at the place it waits; it is
# read as the faulting thread of a crash is.
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

# Run in lldb's Python on the target made below.
read -r -d '' ZEL_BACKTRACE <<'PYTHON' || true
import lldb

target = lldb.debugger.GetSelectedTarget()
process = target.GetProcess()
MAX_SCANNED = 64
HANG_CODE = "0xe0000102"  # the tool's mark on the thread that hung


def read_bytes(address, size):
    """size bytes at address: from the dump, else from the module's file."""
    error = lldb.SBError()
    data = process.ReadMemory(address, size, error)
    if error.Success() and data is not None and len(data) == size:
        return data
    # lldb reports an error about the dump's memory list even when it hands
    # back the bytes of the file's section.
    data = target.ReadMemory(target.ResolveLoadAddress(address), size, error)
    return data if data is not None and len(data) == size else None


def in_code(address):
    """Whether address lies in an executable section of a module file lldb has."""
    section = target.ResolveLoadAddress(address).GetSection()
    while section.IsValid() and section.GetParent().IsValid():
        section = section.GetParent()
    return section.IsValid() and section.GetSectionType() == lldb.eSectionTypeCode


def after_call(address):
    """Whether the code before address ends in a call: E8 rel32, or FF /2 in
    any of its register and memory forms."""
    code = read_bytes(address - 7, 7)
    if code is None:
        return False
    if code[-5] == 0xE8:
        return True
    for length in range(2, 8):
        if code[-length] != 0xFF:
            continue
        modrm = code[-length + 1]
        mod, reg, rm = modrm >> 6, (modrm >> 3) & 7, modrm & 7
        size = 2
        if mod != 3 and rm == 4:  # a SIB byte, with a 32-bit displacement for base 5
            size += 1
            if mod == 0 and code[-length + 2] & 7 == 5:
                size += 4
        if mod == 0 and rm == 5:
            size += 4
        size += {1: 1, 2: 4}.get(mod, 0)
        if reg == 2 and size == length:
            return True
    return False


def is_return_address(address):
    return in_code(address) and after_call(address)


def word_at(address):
    data = read_bytes(address, 4)
    return int.from_bytes(data, "little") if data is not None else None


def module_offset(address):
    """The module and offset of address, " (zeldecs.dll+0x2c2d)"; empty outside modules."""
    module = target.ResolveLoadAddress(address).GetModule()
    if not module.IsValid():
        return ""
    base = module.GetObjectFileHeaderAddress().GetLoadAddress(target)
    return " (%s+0x%x)" % (module.GetFileSpec().GetFilename(), address - base)


def describe(address):
    """module`function at file:line, looked up at the call (address - 1)."""
    context = target.ResolveLoadAddress(address - 1).GetSymbolContext(lldb.eSymbolContextEverything)
    text = context.GetModule().GetFileSpec().GetFilename() or "?"
    for named in (context.GetFunction(), context.GetSymbol()):
        name = named.GetDisplayName() or named.GetName() if named.IsValid() else None
        if name:
            text += "`" + name
            break
    line = context.GetLineEntry()
    if line.IsValid() and line.GetFileSpec().GetFilename():
        text += " at %s:%d:%d" % (line.GetFileSpec().GetFilename(), line.GetLine(), line.GetColumn())
    return text


def print_thread(thread, selected):
    crashed = thread.GetStopReason() == lldb.eStopReasonException
    header = "thread #%d" % thread.GetIndexID()
    if crashed:
        description = thread.GetStopDescription(256)
        if HANG_CODE in description:
            description = "hung: it had not come back from the engine library within the run's time limit"
        header += ", stop reason = " + description
    print(("* " if selected else "  ") + header)
    # lldb's own frames, up to the first caller that is no return address in
    # readable code, or whose return address is not where its stack says.
    number = 0
    last_sp = None
    stopped_at = None
    callee = None
    for frame in thread:
        # A frame below an inlined one is the same stack frame, no caller.
        if callee is not None and not callee.IsInlined():
            pc, sp = frame.GetPC(), frame.GetSP()
            # Out of code lldb cannot read (a system library's wait, where a
            # hung thread stops) it unwinds by guesswork: no caller is sure.
            if not in_code(callee.GetPC()):
                print("    (unwinding stops below 0x%08x%s: its code is not at hand)"
                      % (callee.GetPC(), module_offset(callee.GetPC())))
                break
            if not is_return_address(pc) or sp <= last_sp or word_at(sp - 4) != pc:
                stopped_at = pc
                break
        callee, last_sp = frame, frame.GetSP()
        mark = "*" if selected and number == 0 else " "
        print("  %s %s" % (mark, str(frame).strip()))
        number += 1
    if stopped_at is not None:
        print("    (unwinding stops at 0x%08x%s: no return address in code lldb can read)"
              % (stopped_at, module_offset(stopped_at)))
    if not crashed:
        return
    # The faulting thread goes on past the last sure frame: each stack word
    # that is a return address in the code of a module lldb holds the file
    # of, in stack order. A word left behind by a call that has returned
    # passes too: these frames are likely, not certain.
    region = lldb.SBMemoryRegionInfo()
    if not process.GetMemoryRegionInfo(last_sp, region).Success():
        return
    stack = read_bytes(last_sp, (region.GetRegionEnd() - last_sp) & ~3)
    if stack is None:
        return
    found = 0
    for offset in range(0, len(stack), 4):
        word = int.from_bytes(stack[offset:offset + 4], "little")
        if not is_return_address(word):
            continue
        slot = last_sp + offset
        if found == 0:
            print("    (frames marked ~ were found by scanning the stack: return addresses, likely but not certain)")
        if found == MAX_SCANNED:
            print("    (scan ends after %d frames)" % MAX_SCANNED)
            break
        print("  ~ frame #%d: 0x%08x %s [stack 0x%08x]" % (number, word, describe(word), slot))
        number += 1
        found += 1

selected = process.GetSelectedThread().GetIndexID()
if HANG_CODE in process.GetSelectedThread().GetStopDescription(256):
    print("The run hung, it did not crash: thread #%d waits where its frames show (ZelUnst.log names the call)."
          % selected)
for thread in process:
    print_thread(thread, thread.GetIndexID() == selected)
PYTHON
export ZEL_BACKTRACE

# The runtime's start-up objects carry range lists lldb 14 cannot read; it
# says so on every lookup there, and still names those functions.
{
    lldb --batch --no-lldbinit \
        -o "settings set target.exec-search-paths '$folder'" \
        -o "target create '$folder/zelunst.exe' --core '$dump'" \
        -o "target symbols add '$folder/zelunst.debug'" \
        -o "script import os; exec(os.environ['ZEL_BACKTRACE'])" </dev/null 2>&1 >&3 3>&- |
        { grep -v 'range extraction failed' || true; } >&2
} 3>&1

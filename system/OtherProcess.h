#pragma once
// A process read from outside, through a handle on it: its memory, the module
// that holds an address, a thread stopped where it runs. Nothing here needs the
// process read to run, so it works on one whose threads hold its heap's lock
// or the loader's; nor does anything here allocate, so the calling process may
// be read the same way (GetCurrentProcess()) while one of its own threads
// holds its heap's lock.

#include <windows.h>

#include <cstdint>

// Reads a T at address in the process. False when any of its bytes cannot be
// read (the process ended, say).
template <typename T>
bool ReadFrom(HANDLE process, const void* address, T& value) {
    SIZE_T read = 0;
    return ReadProcessMemory(process, address, &value, sizeof(T), &read) && read == sizeof(T);
}

// Where an address lies: the file name of the module that holds it and the
// offset from that module's base.
struct ModulePlace {
    wchar_t fileName[MAX_PATH] = {};  // empty: in no module, or in one whose name cannot be read
    std::uintptr_t offset = 0;        // the address itself when fileName is empty
    const wchar_t* Name() const { return fileName[0] == L'\0' ? nullptr : fileName; }
};
// The process needs PROCESS_QUERY_INFORMATION and PROCESS_VM_READ.
ModulePlace ModuleHolding(HANDLE process, const void* address);

// Suspends the thread and takes its context once it has really stopped
// (GetThreadContext waits for that). False when either fails; a thread that
// was suspended is then let go again.
bool StopThread(HANDLE thread, CONTEXT& context);

// Resumes the thread until nothing holds it suspended any more: for a thread
// that was running when another process was handed the right to stop it, so
// that every suspension it holds now is that process's.
void LetGoFully(HANDLE thread);

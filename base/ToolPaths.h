#pragma once
// Where the tool, its product and the engine lie: what start-up learns, and
// what the workflows and the file exchange read. The launcher's run context
// (CUnstallContext) is built on it.

#include <windows.h>

struct ToolPaths {
    wchar_t engineDir[MAX_PATH + 1] = {};    // folder of zelserv.exe; empty when unknown
    wchar_t programDir[MAX_PATH + 1] = {};   // folder of the running exe, no trailing backslash
    wchar_t programFile[MAX_PATH + 1] = {};  // file name of the running exe
};

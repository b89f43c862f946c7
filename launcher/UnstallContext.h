#pragma once
// The run's context: what Init learns about where the tool and the engine live,
// and the engine solution the workflows load.

#include <windows.h>

#include "launcher/SolutionLoader.h"

struct CUnstallContext {
    int initialised = 0;
    wchar_t engineDir[MAX_PATH + 1] = {};     // folder of zelserv.exe; empty when unknown
    wchar_t programDir[MAX_PATH + 1] = {};    // folder of the running exe, no trailing backslash
    wchar_t programFile[MAX_PATH + 1] = {};   // file name of the running exe
    wchar_t solutionPath[MAX_PATH + 1] = {};  // programDir\subsystem\zelde\zeldecs.dll
    IZelSolution* solution = nullptr;         // one reference, released by Uninit
    CQIVUseComDll_v2 comDll;
};

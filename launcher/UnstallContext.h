#pragma once
// The run's context: what Init learns about where the tool and the engine live
// (the paths the workflows read), and the engine solution the launcher loads.

#include <windows.h>

#include "base/ToolPaths.h"
#include "launcher/SolutionLoader.h"

struct CUnstallContext : ToolPaths {
    int initialised = 0;
    wchar_t solutionPath[MAX_PATH + 1] = {};  // programDir\subsystem\zelde\zeldecs.dll
    IZelSolution* solution = nullptr;         // one reference, released by Uninit
    CQIVUseComDll_v2 comDll;
};

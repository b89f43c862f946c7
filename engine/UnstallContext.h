#pragma once
// The run's context: what Init learns about where the tool and the engine live
// (the paths the workflows read), and the engine solution the launcher loads
// and watches.

#include <windows.h>

#include "base/ToolPaths.h"
#include "engine/EngineWatchdog.h"
#include "engine/SolutionLoader.h"
#include "records/RecordKeeper.h"
#include "system/EngineCallLimit.h"

struct CUnstallContext : ToolPaths {
    int initialised = 0;
    wchar_t solutionPath[MAX_PATH + 1] = {};  // programDir\subsystem\zelde\zeldecs.dll
    IZelSolution* solution = nullptr;         // one reference, released by Uninit
    CQIVUseComDll_v2 comDll;
    // From the library's load until it is freed (0: no limit).
    DWORD engineCallLimitSeconds = kDefaultEngineCallLimitSeconds;
    // From before the library's load until it is freed; the watch ends first.
    RecordKeeper keeper;
    EngineWatchdog watchdog;
};

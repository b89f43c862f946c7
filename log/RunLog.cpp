#include "log/VLogger.h"

#include "base/KeeperCommandLine.h"

// Constructed before wWinMain runs: from here on the current directory is the
// executable's folder, and relative paths and inherited child directories
// resolve there.
VLogger runLog(KeeperValuesOfThisProcess() ? LogStart::LeaveClosed : LogStart::Open);

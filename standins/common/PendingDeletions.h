#pragma once
// What Windows deletes at the next restart: the entries of
// PendingFileRenameOperations (HKLM\System\CurrentControlSet\Control\Session
// Manager) that name no new path, as MoveFileExW(path, NULL,
// MOVEFILE_DELAY_UNTIL_REBOOT) writes them.

#include <string>
#include <vector>

namespace standin {

// The paths in the order they go, without the \??\ prefix Windows keeps them
// with; empty when nothing is pending.
std::vector<std::wstring> PendingDeletions();

}  // namespace standin

#pragma once
// Helpers for the file-tree tests: links made from the Unix side, listings
// and folder snapshots.

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "base/Handles.h"
#include "filetree/FileList.h"

namespace treetest {

// A Unix symbolic link at linkPath pointing to target, both C:\ paths of the
// test's prefix; Wine shows a link to a folder as a directory reparse point.
bool MakeUnixLink(const std::wstring& target, const std::wstring& linkPath);

using Paths = std::vector<std::wstring>;
using Files = std::map<std::wstring, std::string>;

Paths Entries(const FileList& list);
FileList ListOf(const Paths& entries);

// Every file below folder: relative path (as stored on disk) -> content.
Files Snapshot(const std::wstring& folder);
// Every folder below folder (empty ones included), relative and sorted;
// links are not entered.
Paths Folders(const std::wstring& folder);

// The name of path's last component as the file system stores it.
std::wstring StoredName(const std::wstring& path);

// Opens an existing file with the given sharing, so that other opens fail
// while the handle lives.
FileHandle Hold(const std::wstring& path, DWORD access, DWORD share);

}  // namespace treetest

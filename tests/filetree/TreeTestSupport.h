#pragma once
// Helpers for the file-tree tests: links made from the Unix side, listings
// and folder snapshots.

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "filetree/FileList.h"

namespace treetest {

// A Unix symbolic link at linkPath pointing to target, both C:\ paths of the
// test's prefix; Wine shows a link to a folder as a directory reparse point.
bool MakeUnixLink(const std::wstring& target, const std::wstring& linkPath);

std::vector<std::wstring> Entries(const FileList& list);
FileList ListOf(const std::vector<std::wstring>& entries);

// Every file below folder: relative path (as stored on disk) -> content.
std::map<std::wstring, std::string> Snapshot(const std::wstring& folder);

// The name of path's last component as the file system stores it.
std::wstring StoredName(const std::wstring& path);

// Holds a file open with the given sharing, so that other opens fail.
class HeldFile {
public:
    HeldFile(const std::wstring& path, DWORD access, DWORD share);
    ~HeldFile();
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;
    bool Valid() const { return handle_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE handle_;
};

}  // namespace treetest

#pragma once
// Helpers for the file-tree tests: links made from the Unix side, listings
// and folder snapshots.

#include <windows.h>

#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "base/Handles.h"
#include "base/ToolPaths.h"
#include "filetree/FileList.h"

namespace treetest {

// A Unix symbolic link at linkPath pointing to target, both C:\ paths of the
// test's prefix; Wine shows a link to a folder as a directory reparse point.
bool MakeUnixLink(const std::wstring& target, const std::wstring& linkPath);

// A tmpfs of the given size mounted over folder (made when missing) from the
// Unix side, which needs root; unmounted when the object goes. Wine shows it
// as a volume of its own: it runs full, and refuses links to files outside it.
class TmpfsMount {
public:
    TmpfsMount(const std::wstring& folder, ULONGLONG bytes);
    ~TmpfsMount();
    TmpfsMount(const TmpfsMount&) = delete;
    TmpfsMount& operator=(const TmpfsMount&) = delete;
    bool Mounted() const { return mounted_; }

private:
    std::wstring folder_;
    bool mounted_ = false;
};
// The bytes free on the volume that holds folder.
ULONGLONG FreeBytes(const std::wstring& folder);

using Paths = std::vector<std::wstring>;
using Files = std::map<std::wstring, std::string>;

Paths Entries(const FileList& list);
FileList ListOf(const Paths& entries);

// Every file below folder: relative path (as stored on disk) -> content.
Files Snapshot(const std::wstring& folder);
// Every folder below folder (empty ones included), relative and sorted;
// links are not entered.
Paths Folders(const std::wstring& folder);

// Writes each file (path relative to dir -> content), making its folders.
void WriteFiles(const std::wstring& dir, const Files& files);

// A product folder for the exchange, with the running tool's file name.
ToolPaths PathsFor(const std::wstring& programDir, const wchar_t* programFile = L"zelunst.exe");
// The files staged in productDir\reupdate in the order the exchange copies
// them: listed, filtered, made relative.
Paths StagedCopyOrder(const std::wstring& productDir);

// Every file with its content and every folder below a folder, except the
// paths leftOut names.
struct Tree {
    Files files;
    Paths folders;
    bool operator==(const Tree& other) const { return files == other.files && folders == other.folders; }
};
Tree TreeOf(const std::wstring& dir, const std::function<bool(const std::wstring&)>& leftOut);
void PrintTo(const Tree& tree, std::ostream* out);

// The name of path's last component as the file system stores it.
std::wstring StoredName(const std::wstring& path);

// Opens an existing file with the given sharing, so that other opens fail
// while the handle lives.
FileHandle Hold(const std::wstring& path, DWORD access, DWORD share);

}  // namespace treetest

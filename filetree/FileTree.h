#pragma once
// Folder-tree operations of the update: list, make relative, copy, delete,
// create. 0 for success and E_FAIL for failure where a result is given.

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "base/Paths.h"
#include "base/Text.h"
#include "filetree/FileList.h"
#include "filetree/FileOps.h"
#include "filetree/HeldFiles.h"

HRESULT _EnumFiles(const std::wstring& dir, int recurse, FileList& list);
HRESULT _MakeRelative(const std::wstring& baseDir, FileList& list);
// What a copy pass did to its destination, so that a failed pass can be undone.
struct CopyRecord {
    struct Target {
        std::wstring path;  // as the copy named it
        bool existed;       // a file (or folder) of that name was there before
        // Its attributes as the pass found them; INVALID_FILE_ATTRIBUTES when
        // nothing was there, or when read from a journal.
        DWORD attributes = INVALID_FILE_ATTRIBUTES;
        // For a pass that writes each file beside its target first: the
        // name it uses there.
        std::wstring temporary;
    };
    size_t copied = 0;                  // entries known to be copied, from the first on
    std::vector<Target> targets;        // per entry reached; a failing one is last
    std::vector<std::wstring> folders;  // folders the pass created, parents first
};

// How a pass puts each file at its target.
enum class Placement {
    // CopyFileW as it is: an existing target is written into.
    Overwrite,
    // A second name of the source (a hard link), made in the time of a
    // rename and without room for its data; where the volume or the file
    // refuses one (FAT, a network share), a copy. A folder that another
    // volume is mounted in is a reparse point, which the listing does not
    // enter: no file of it is ever linked. An existing target fails the
    // entry: it may be a name of another file, which a copy would write
    // into.
    Link,
};

// record, when given, is filled as the pass goes. held, when given, has the
// pass wait for files that other programs hold for a moment (and, with Link,
// move aside a name an earlier run left in the way); without it a file in use
// fails the pass at once. makeLink makes each link.
HRESULT _CopyFileList(const FileList& list, const std::wstring& destDir, const std::wstring& sourceDir,
                      CopyRecord* record = nullptr, Placement placement = Placement::Overwrite,
                      HeldFiles* held = nullptr, const MakeLink& makeLink = CreateHardLinkOnce);

// Puts one entry's file at its target: ERROR_SUCCESS, or the error that ends
// the pass. index is the entry's place in the list.
using PlaceFile = std::function<DWORD(const std::wstring& source, const CopyRecord::Target& target, size_t index)>;
// The walk that every pass makes: each entry's source below sourceDir and
// its target below destDir, its folder made as the walk reaches it, the
// target noted in record (when given) before place puts the file there.
// With a plan of the pass (_PlanCopyFileList, made just before, nothing
// changed in destDir since) the targets are the plan's, and no target is
// looked at again.
HRESULT PlaceFileList(const FileList& list, const std::wstring& destDir, const std::wstring& sourceDir,
                      CopyRecord* record, const PlaceFile& place, const CopyRecord* plan = nullptr);
// What a pass of list into destDir may change there, found before it starts
// and without changing anything: every entry's target as the pass will name
// it, whether it exists, and the folders the pass would create, parents
// first. copied is 0.
CopyRecord _PlanCopyFileList(const FileList& list, const std::wstring& destDir);

// A read-only file is deleted without its other names (hard links) losing
// the bit, unless the run ends in the middle of it. held, when given, has a
// file in use that can be renamed (a loaded library, a running program)
// moved aside, and another one waited for; one moved aside already is left
// as it is, in use until the program that loaded it ends. keepChild, when
// given, names an entry of path that is left as it is, with path itself.
void _DeleteTree(const std::wstring& path, int removeDirs, HeldFiles* held = nullptr,
                 const wchar_t* keepChild = nullptr);
bool _CreateDirectoryTree(const wchar_t* path, LPSECURITY_ATTRIBUTES securityAttributes);
bool _CreateParentDirs(const wchar_t* filePath);

// Has the file cache write out every file of the volume that holds path, so
// that what was written so far survives a power cut. False where refused: it
// needs administrative rights on Windows, and Wine does not offer it.
bool FlushVolumeOf(const std::wstring& path);

// The attribute bits that keep a file from being overwritten or deleted.
constexpr DWORD kBlockingAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
// Clears them on a file that has one; returns its attributes then, 0 otherwise.
DWORD ClearBlockingAttributes(const std::wstring& path);

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

class FilesInUse;

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
    // refuses one (FAT, a network share, another volume mounted in a folder),
    // a copy. An existing target fails the entry: it may be a name of
    // another file, which a copy would write into.
    Link,
};

// Gives the file existing the second name link: CreateHardLinkW, or what a
// test puts in its place to have links refused, as a FAT volume refuses them.
// ERROR_SUCCESS or the error.
using MakeLink = std::function<DWORD(const std::wstring& link, const std::wstring& existing)>;
DWORD CreateHardLinkOnce(const std::wstring& link, const std::wstring& existing);

// record, when given, is filled as the pass goes. inUse, when given, has the
// pass wait for files that other programs hold for a moment (and, with Link,
// move aside a name an earlier run left in the way); without it a file in use
// fails the pass at once. makeLink makes each link.
HRESULT _CopyFileList(const FileList& list, const std::wstring& destDir, const std::wstring& sourceDir,
                      CopyRecord* record = nullptr, Placement placement = Placement::Overwrite,
                      FilesInUse* inUse = nullptr, const MakeLink& makeLink = CreateHardLinkOnce);
// The update's own pass: every listed file of sourceDir reaches destDir as a
// new file, never written into an existing one, which may share its data
// with the backup in backupDir (where each lies under its entry's text). It
// is copied beside its target under TemporaryNameOf(target) and renamed over
// it (MoveFileExW with MOVEFILE_REPLACE_EXISTING), so that the target holds
// the whole old file or the whole new one at every instant. A target's
// read-only bit, which Windows' rename refuses to replace, is cleared just
// before the rename and put back on the backup's name of the old file. A
// target in use that can be renamed (a loaded library) is moved aside with
// inUse first (filetree/FilesInUse.h). The new file keeps the source's
// attributes. plan is the pass's plan (_PlanCopyFileList, made just before,
// nothing changed in destDir since): its targets are taken as they are,
// without looking at each again. record is filled as _CopyFileList fills it.
HRESULT _ReplaceFileList(const FileList& list, const std::wstring& destDir, const std::wstring& sourceDir,
                         const std::wstring& backupDir, const CopyRecord& plan, CopyRecord& record,
                         FilesInUse* inUse = nullptr);
// The name beside target under which _ReplaceFileList and _UndoCopyFileList
// make its new file before renaming it over target.
std::wstring TemporaryNameOf(const std::wstring& target);
// What a pass of list into destDir may change there, found before it starts
// and without changing anything: every entry's target as the pass will name
// it, whether it exists, and the folders the pass would create, parents
// first. copied is 0.
CopyRecord _PlanCopyFileList(const FileList& list, const std::wstring& destDir);
// Puts the destination of a failed pass back as it was: each replaced file
// gets the backup's file again (in backupDir under its entry's text), through
// a new name of that file (or, where a link is refused, a copy) made beside
// it and renamed over it, so that the backup stays whole; added files, and
// what a pass left under a temporary name, are removed, and created folders.
// E_FAIL when a changed file could not be put back or an added one removed;
// everything else is undone all the same. Targets past record.copied may
// never have been reached: one that is still the backup's file, or matches
// it, is left as it is (with its backup's read-only, hidden and system bits
// in the second case), a folder too. inUse as for _ReplaceFileList; an added
// file in use is moved aside. makeLink as for _CopyFileList.
HRESULT _UndoCopyFileList(const FileList& list, const std::wstring& backupDir, const CopyRecord& record,
                          FilesInUse* inUse = nullptr, const MakeLink& makeLink = CreateHardLinkOnce);
// A read-only file is deleted without its other names (hard links) losing
// the bit. inUse, when given, has a file in use waited for, except below its
// aside folder: a file there is in use until the program that loaded it ends.
void _DeleteTree(const std::wstring& path, int removeDirs, FilesInUse* inUse = nullptr);
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

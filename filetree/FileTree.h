#pragma once
// Folder-tree operations of the update: list, make relative, copy, delete,
// create. 0 for success and E_FAIL for failure where a result is given.

#include <windows.h>

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
    };
    size_t copied = 0;                  // entries known to be copied, from the first on
    std::vector<Target> targets;        // per entry reached; a failing one is last
    std::vector<std::wstring> folders;  // folders the pass created, parents first
};

// How a copy pass meets a file already at its target.
enum class ExistingFiles {
    Overwrite,  // CopyFileW as it is: on Windows a read-only, hidden or system file refuses it
    Replace,    // those bits are cleared first, and the file ends with the source's attributes
};

// record, when given, is filled as the pass goes. inUse, when given, has the
// pass wait for files that other programs hold for a moment, and (with
// Replace) move an existing target aside that is in use but can be renamed
// (filetree/FilesInUse.h); without it a file in use fails the pass at once.
HRESULT _CopyFileList(const FileList& list, const std::wstring& destDir, const std::wstring& sourceDir,
                      CopyRecord* record = nullptr, ExistingFiles existing = ExistingFiles::Overwrite,
                      FilesInUse* inUse = nullptr);
// What a pass of list into destDir may change there, found before it starts
// and without changing anything: every entry's target as the pass will name
// it, whether it exists, and the folders the pass would create, parents
// first. copied is 0.
CopyRecord _PlanCopyFileList(const FileList& list, const std::wstring& destDir);
// Puts the destination of a failed pass back as it was: replaced files from
// backupDir, where each lies under its entry's text, with their attributes;
// added files and created folders removed. E_FAIL when a changed file could
// not be put back or an added one removed; everything else is undone all the
// same. Targets past record.copied may never have been reached: one that
// still matches its backup is left as it is (its backup's read-only, hidden
// and system bits put back), a folder too. inUse as for _CopyFileList; an
// added file in use is moved aside.
HRESULT _UndoCopyFileList(const FileList& list, const std::wstring& backupDir, const CopyRecord& record,
                          FilesInUse* inUse = nullptr);
// inUse, when given, has a file in use waited for, except below its aside
// folder: a file there is in use until the program that loaded it ends.
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

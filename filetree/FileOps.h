#pragma once
// Single file-system operations that the tree operations and the update's
// exchange share, each on paths of any length (base/Paths.h, LongPathForm).
// ERROR_SUCCESS or the Win32 error where a DWORD is returned.

#include <windows.h>

#include <functional>
#include <string>

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// GetFileAttributesW: INVALID_FILE_ATTRIBUTES when nothing is there.
DWORD FileAttributesOf(const std::wstring& path);
bool PathExists(const std::wstring& path);
bool IsDirectory(const std::wstring& path);
// Removes path when it is an empty folder (or a folder link); the result is
// not looked at by any caller.
void RemoveFolder(const std::wstring& path);

// CopyFileW once; failIfExists refuses an existing target.
DWORD CopyFileOnce(const std::wstring& source, const std::wstring& target, bool failIfExists = false);

// The attributes without the read-only bit, as SetFileAttributesW takes
// them: FILE_ATTRIBUTE_NORMAL when no other bit is left.
DWORD WithoutReadOnly(DWORD attributes);
// Deletes the name path of a file with the given attributes (as listed, or
// INVALID_FILE_ATTRIBUTES when unknown). A read-only file refuses deletion,
// and its bit belongs to the file, not to the name: the bit is cleared for
// the deletion and set again through the same handle before it closes, so
// that the file's other names keep it.
DWORD DeleteName(const std::wstring& path, DWORD attributes);

// A folder where a file should go is no program's hold: ERROR_DIRECTORY in
// place of the ERROR_ACCESS_DENIED it gives, nothing to wait for.
DWORD FolderInTheWay(DWORD error, const std::wstring& target);

// Gives the file existing the second name link: CreateHardLinkW, or what a
// test puts in its place to have links refused, as a FAT volume refuses them.
// ERROR_SUCCESS or the error.
using MakeLink = std::function<DWORD(const std::wstring& link, const std::wstring& existing)>;
DWORD CreateHardLinkOnce(const std::wstring& link, const std::wstring& existing);
// One try at giving existing the new name target: a hard link, or a copy
// where the link is refused. Neither goes over an existing file; a target
// that is a name of existing already (one an earlier run could not delete)
// is kept.
DWORD LinkOrCopyOnce(const std::wstring& existing, const std::wstring& target, const MakeLink& makeLink);

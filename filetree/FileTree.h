#pragma once
// Folder-tree operations of the update: list, make relative, copy, delete,
// create. 0 for success and E_FAIL for failure where a result is given.

#include <windows.h>

#include <string>

#include "filetree/FileList.h"

// A-Z lowered to a-z, every other UTF-16 unit unchanged.
void AsciiLowercase(std::wstring& text);
// The form of path to hand to the Win32 file calls: unchanged while it is
// short, the \\?\ form (full path, \\?\UNC\ for shares) once it nears MAX_PATH.
std::wstring LongPathForm(const std::wstring& path);

HRESULT _EnumFiles(const std::wstring& dir, int recurse, FileList& list);
HRESULT _MakeRelative(const std::wstring& baseDir, FileList& list);
HRESULT _CopyFileList(const FileList& list, const std::wstring& destDir, const std::wstring& sourceDir);
void _DeleteTree(const std::wstring& path, int removeDirs);
bool _CreateDirectoryTree(const wchar_t* path, LPSECURITY_ATTRIBUTES securityAttributes);
bool _CreateParentDirs(const wchar_t* filePath);

#include "filetree/FileOps.h"

#include "base/Files.h"
#include "base/Handles.h"
#include "base/Paths.h"

DWORD FileAttributesOf(const std::wstring& path) { return GetFileAttributesW(LongPathForm(path).c_str()); }

bool PathExists(const std::wstring& path) { return FileAttributesOf(path) != INVALID_FILE_ATTRIBUTES; }

bool IsDirectory(const std::wstring& path) {
    const DWORD attributes = FileAttributesOf(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void RemoveFolder(const std::wstring& path) { RemoveDirectoryW(LongPathForm(path).c_str()); }

DWORD CopyFileOnce(const std::wstring& source, const std::wstring& target, bool failIfExists) {
    return CopyFileW(LongPathForm(source).c_str(), LongPathForm(target).c_str(), failIfExists) ? ERROR_SUCCESS
                                                                                               : GetLastError();
}

DWORD WithoutReadOnly(DWORD attributes) {
    const DWORD rest = attributes & ~FILE_ATTRIBUTE_READONLY;
    return rest != 0 ? rest : FILE_ATTRIBUTE_NORMAL;
}

DWORD DeleteName(const std::wstring& path, DWORD attributes) {
    const std::wstring name = LongPathForm(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY)) {
        return DeleteFileW(name.c_str()) ? ERROR_SUCCESS : GetLastError();
    }
    // Cleared by name first: Wine opens a read-only file for writing its
    // attributes only as root.
    SetFileAttributesW(name.c_str(), WithoutReadOnly(attributes));
    const FileHandle file(CreateFileW(name.c_str(), DELETE | FILE_WRITE_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) {
        const DWORD error = GetLastError();
        SetFileAttributesW(name.c_str(), attributes);
        return error;
    }
    FILE_DISPOSITION_INFO disposition{TRUE};
    const DWORD error = SetFileInformationByHandle(file.Get(), FileDispositionInfo, &disposition, sizeof(disposition))
                            ? ERROR_SUCCESS
                            : GetLastError();
    // Zero times leave the file's times as they are.
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = attributes;
    SetFileInformationByHandle(file.Get(), FileBasicInfo, &basic, sizeof(basic));
    return error;
}

DWORD FolderInTheWay(DWORD error, const std::wstring& target) {
    return error == ERROR_ACCESS_DENIED && IsDirectory(target) ? ERROR_DIRECTORY : error;
}

DWORD CreateHardLinkOnce(const std::wstring& link, const std::wstring& existing) {
    return CreateHardLinkW(LongPathForm(link).c_str(), LongPathForm(existing).c_str(), nullptr) ? ERROR_SUCCESS
                                                                                                : GetLastError();
}

DWORD LinkOrCopyOnce(const std::wstring& existing, const std::wstring& target, const MakeLink& makeLink) {
    const DWORD error = makeLink(target, existing);
    if (error == ERROR_SUCCESS || (error == ERROR_ALREADY_EXISTS && SameFile(target, existing))) return ERROR_SUCCESS;
    return CopyFileOnce(existing, target, true);
}

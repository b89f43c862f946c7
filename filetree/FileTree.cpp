#include "filetree/FileTree.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "base/Handles.h"
#include "filetree/FilesInUse.h"

namespace {

bool IsDotEntry(const wchar_t* name) {
    return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

bool IsFolder(const WIN32_FIND_DATAW& entry) { return (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }

// Junctions and symbolic links name another place; other reparse points
// (cloud placeholders, deduplicated folders) hold their own contents. Wine
// reports its Unix symbolic links with the tag left at 0.
bool IsLink(const WIN32_FIND_DATAW& entry) {
    if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) return false;
    return entry.dwReserved0 == 0 || IsReparseTagNameSurrogate(entry.dwReserved0);
}

FindHandle FindFirst(const std::wstring& pattern, WIN32_FIND_DATAW& entry) {
    return FindHandle(FindFirstFileExW(LongPathForm(pattern).c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch,
                                       nullptr, FIND_FIRST_EX_LARGE_FETCH));
}

DWORD Attributes(const std::wstring& path) { return GetFileAttributesW(LongPathForm(path).c_str()); }

bool Exists(const std::wstring& path) { return Attributes(path) != INVALID_FILE_ATTRIBUTES; }

bool IsDirectory(const std::wstring& path) {
    const DWORD attributes = Attributes(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// path grows by "\name" while a level is walked and is restored on return,
// so a deep walk forms each full path once, in one buffer.
HRESULT EnumFolder(std::wstring& path, int recurse, FileList& list) {
    const size_t folderLength = path.size();
    WIN32_FIND_DATAW entry;
    FindHandle find = FindFirst(path + L"\\*.*", entry);
    if (!find) return E_FAIL;
    do {
        path.resize(folderLength);
        path += L'\\';
        path += entry.cFileName;
        if (IsFolder(entry)) {
            if (!recurse || IsDotEntry(entry.cFileName) || IsLink(entry)) continue;
            if (EnumFolder(path, recurse, list) != S_OK) return E_FAIL;
        } else {
            std::wstring file = path;
            AsciiLowercase(file);
            list.Append(std::move(file), path);
        }
    } while (FindNextFileW(find.Get(), &entry));
    path.resize(folderLength);
    return S_OK;
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Runs one try of a file operation, and again while its file is in use when
// inUse is given. ERROR_SUCCESS or the last error.
template <typename Once>
DWORD TryWhileInUse(FilesInUse* inUse, Once once) {
    return inUse != nullptr ? inUse->Retry(once) : once();
}

void DeleteFileEntry(const std::wstring& path, const WIN32_FIND_DATAW& entry, FilesInUse* inUse) {
    // A file link's attributes would be changed on its target; the link
    // itself is deleted as it is.
    if (!IsLink(entry) && (entry.dwFileAttributes & kBlockingAttributes)) {
        SetFileAttributesW(LongPathForm(path).c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    // A file moved aside is in use until the program that loaded it ends.
    TryWhileInUse(inUse != nullptr && !inUse->IsAside(path) ? inUse : nullptr, [&path]() -> DWORD {
        return DeleteFileW(LongPathForm(path).c_str()) ? ERROR_SUCCESS : GetLastError();
    });
}

void RemoveFolder(const std::wstring& path) { RemoveDirectoryW(LongPathForm(path).c_str()); }

void DeleteFolderContents(std::wstring& path, int removeDirs, FilesInUse* inUse) {
    const size_t folderLength = path.size();
    WIN32_FIND_DATAW entry;
    FindHandle find = FindFirst(path + L"\\*.*", entry);
    if (!find) return;
    do {
        if (IsDotEntry(entry.cFileName)) continue;
        path.resize(folderLength);
        path += L'\\';
        path += entry.cFileName;
        if (!IsFolder(entry)) {
            DeleteFileEntry(path, entry, inUse);
        } else if (IsLink(entry)) {
            // Removes the link, never what it points to.
            if (removeDirs) RemoveFolder(path);
        } else {
            DeleteFolderContents(path, removeDirs, inUse);
            if (removeDirs) RemoveFolder(path);
        }
    } while (FindNextFileW(find.Get(), &entry));
    path.resize(folderLength);
}

// The entry of path itself, as its parent's listing shows it.
bool IsLinkPath(const std::wstring& path) {
    WIN32_FIND_DATAW entry;
    FindHandle find = FindFirst(path, entry);
    return find && IsFolder(entry) && IsLink(entry);
}

DWORD CopyFileOnce(const std::wstring& source, const std::wstring& target) {
    return CopyFileW(LongPathForm(source).c_str(), LongPathForm(target).c_str(), FALSE) ? ERROR_SUCCESS
                                                                                        : GetLastError();
}

// Gives target the attributes of source when source has a blocking bit:
// target holds none after a copy over it, and Wine's CopyFileW keeps an
// existing target's own attributes.
void CarryBlockingAttributes(const std::wstring& source, const std::wstring& target) {
    const DWORD attributes = Attributes(source);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & kBlockingAttributes)) {
        SetFileAttributesW(LongPathForm(target).c_str(), attributes);
    }
}

// Whether another program holds path so that it cannot be written.
bool HeldAgainstWriting(const std::wstring& path) {
    const FileHandle file(
        CreateFileW(LongPathForm(path).c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
    return !file && IsInUseError(GetLastError());
}

// One try at copying source over an existing target, which ends as Windows'
// CopyFileW leaves it: its blocking bits, which would refuse the copy, are
// cleared first, and the source's attributes are carried over. A target that
// another program holds against writing but lets rename (a library it has
// loaded) is moved aside with inUse, and the copy goes under its name. When
// the copy fails an unmoved target keeps its attributes, so that a rollback
// finds it unchanged.
DWORD CopyOverOnce(const std::wstring& source, const std::wstring& target, FilesInUse* inUse) {
    const DWORD cleared = ClearBlockingAttributes(target);
    DWORD error = CopyFileOnce(source, target);
    bool movedAside = false;
    if (error != ERROR_SUCCESS && inUse != nullptr && IsInUseError(error) && HeldAgainstWriting(target)) {
        movedAside = inUse->MoveAside(target) == ERROR_SUCCESS;
        if (movedAside) error = CopyFileOnce(source, target);
    }
    if (error != ERROR_SUCCESS) {
        if (cleared != 0 && !movedAside) SetFileAttributesW(LongPathForm(target).c_str(), cleared);
        return error;
    }
    CarryBlockingAttributes(source, target);
    return ERROR_SUCCESS;
}

// The one copy of a file that every pass makes, into the backup, from the
// staging folder and back from the backup: over an existing target as
// CopyOverOnce does when replace is set, else as CopyFileW does, tried again
// while a file is in use when inUse is given. ERROR_SUCCESS or the last error.
DWORD CopyEntry(const std::wstring& source, const std::wstring& target, bool replace, FilesInUse* inUse) {
    return TryWhileInUse(inUse, [&]() -> DWORD {
        const DWORD error = replace ? CopyOverOnce(source, target, inUse) : CopyFileOnce(source, target);
        // A folder where the file should go is no program's hold: nothing to wait for.
        return error == ERROR_ACCESS_DENIED && IsDirectory(target) ? ERROR_DIRECTORY : error;
    });
}

bool RemoveAddedFile(const std::wstring& path, FilesInUse* inUse) {
    return TryWhileInUse(inUse, [&]() -> DWORD {
        ClearBlockingAttributes(path);
        if (DeleteFileW(LongPathForm(path).c_str())) return ERROR_SUCCESS;
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return ERROR_SUCCESS;
        if (error == ERROR_ACCESS_DENIED && IsDirectory(path)) return ERROR_DIRECTORY;
        // An added library that another program has loaded already.
        if (inUse != nullptr && IsInUseError(error) && inUse->MoveAside(path) == ERROR_SUCCESS) return ERROR_SUCCESS;
        return error;
    }) == ERROR_SUCCESS;
}

bool SameContent(const std::wstring& a, const std::wstring& b) {
    const auto open = [](const std::wstring& path) {
        return FileHandle(CreateFileW(LongPathForm(path).c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    };
    const FileHandle fileA = open(a);
    const FileHandle fileB = open(b);
    if (!fileA || !fileB) return false;
    constexpr DWORD kChunk = 64 * 1024;
    std::vector<char> bufferA(kChunk);
    std::vector<char> bufferB(kChunk);
    for (;;) {
        DWORD readA = 0;
        DWORD readB = 0;
        if (!ReadFile(fileA.Get(), bufferA.data(), kChunk, &readA, nullptr) ||
            !ReadFile(fileB.Get(), bufferB.data(), kChunk, &readB, nullptr) || readA != readB) {
            return false;
        }
        if (readA == 0) return true;
        if (!std::equal(bufferA.begin(), bufferA.begin() + readA, bufferB.begin())) return false;
    }
}

// The missing folders of path, from the topmost down, that are not in known yet.
void AddMissingFolders(const std::wstring& path, std::vector<std::wstring>& known) {
    if (IsDirectory(path) || std::find(known.begin(), known.end(), path) != known.end()) return;
    const size_t lastBackslash = path.rfind(L'\\');
    if (lastBackslash != std::wstring::npos) AddMissingFolders(path.substr(0, lastBackslash), known);
    known.push_back(path);
}

// The destination folder of the entry being copied. A listing gives the
// files of one folder one after another, so the folder is looked up (and
// made when missing) once per run of entries that share it.
class TargetFolder {
public:
    enum class Missing {
        Create,  // a missing folder is made as the copy reaches it
        Note,    // nothing is made: a missing folder is only noted, for a plan
    };
    // created, when given, gets the folders made (or noted), parents first.
    TargetFolder(const std::wstring& destDir, std::vector<std::wstring>* created, Missing missing = Missing::Create)
        : destBase_(destDir + L'\\'), created_(created), missing_(missing) {}

    // Makes the folder of the entry whose name begins at nameStart current.
    // An existing folder is found by the entry's spelling; a missing one is
    // made as the entry's text writes it, unless its source is missing too:
    // then false and nothing is made. A plan notes it whatever the source.
    bool Enter(const std::wstring& text, const std::wstring& spelling, size_t nameStart, const std::wstring& source) {
        if (known_ && folderText_.size() == nameStart && text.compare(0, nameStart, folderText_) == 0) return true;
        folderText_.assign(text, 0, nameStart);
        path_ = destBase_ + spelling.substr(0, nameStart);
        existed_ = IsDirectory(path_);
        if (!existed_) {
            path_ = destBase_ + folderText_;
            const std::wstring folder = path_.substr(0, path_.size() - 1);
            if (missing_ == Missing::Note) {
                AddMissingFolders(folder, *created_);
            } else {
                if (!Exists(source)) return false;
                CreateDirectoryChain(folder, nullptr, created_);
            }
        }
        known_ = true;
        return true;
    }
    // The current folder, ending in its backslash.
    const std::wstring& Path() const { return path_; }
    // Whether it was there before the copy reached it.
    bool Existed() const { return existed_; }

private:
    const std::wstring destBase_;
    std::vector<std::wstring>* const created_;
    const Missing missing_;
    std::wstring folderText_;  // the current folder as the list writes it
    std::wstring path_;
    bool existed_ = false;
    bool known_ = false;
};

// Where an entry is copied in its folder: over an existing file under that
// file's own spelling; any other target is named as the entry's text writes it.
CopyRecord::Target TargetIn(const TargetFolder& folder, const std::wstring& text, const std::wstring& spelling,
                            size_t nameStart) {
    std::wstring path = folder.Path() + spelling.substr(nameStart);
    const bool existed = folder.Existed() && Exists(path);
    if (!existed) path = folder.Path() + text.substr(nameStart);
    return {std::move(path), existed};
}

}  // namespace

HRESULT _EnumFiles(const std::wstring& dir, int recurse, FileList& list) {
    std::wstring path = dir;
    return EnumFolder(path, recurse, list);
}

HRESULT _MakeRelative(const std::wstring& baseDir, FileList& list) {
    for (size_t i = 0; i < list.Size(); ++i) {
        if (baseDir.size() >= list.At(i).size()) return E_FAIL;
        list.CutFront(i, baseDir.size() + 1);
    }
    return S_OK;
}

HRESULT _CopyFileList(const FileList& list, const std::wstring& destDir, const std::wstring& sourceDir,
                      CopyRecord* record, ExistingFiles existing, FilesInUse* inUse) {
    const std::wstring sourceBase = sourceDir + L'\\';
    TargetFolder folder(destDir, record != nullptr ? &record->folders : nullptr);
    for (size_t i = 0; i < list.Size(); ++i) {
        const std::wstring& text = list.At(i);
        const std::wstring& spelling = list.Spelling(i);
        const std::wstring source = sourceBase + spelling;
        const size_t nameStart = text.rfind(L'\\') + 1;  // 0 when at the top
        if (!folder.Enter(text, spelling, nameStart, source)) return E_FAIL;
        CopyRecord::Target target = TargetIn(folder, text, spelling, nameStart);
        const bool replace = target.existed && existing == ExistingFiles::Replace;
        // Noted before the copy touches it, so that the record holds every
        // target the pass may have changed.
        const std::wstring* copiedTo = &target.path;
        if (record != nullptr) {
            record->targets.push_back(std::move(target));
            copiedTo = &record->targets.back().path;
        }
        if (CopyEntry(source, *copiedTo, replace, inUse) != ERROR_SUCCESS) return E_FAIL;
        if (record != nullptr) record->copied = i + 1;
    }
    return S_OK;
}

CopyRecord _PlanCopyFileList(const FileList& list, const std::wstring& destDir) {
    CopyRecord plan;
    TargetFolder folder(destDir, &plan.folders, TargetFolder::Missing::Note);
    for (size_t i = 0; i < list.Size(); ++i) {
        const std::wstring& text = list.At(i);
        const std::wstring& spelling = list.Spelling(i);
        const size_t nameStart = text.rfind(L'\\') + 1;
        folder.Enter(text, spelling, nameStart, std::wstring());
        plan.targets.push_back(TargetIn(folder, text, spelling, nameStart));
    }
    return plan;
}

HRESULT _UndoCopyFileList(const FileList& list, const std::wstring& backupDir, const CopyRecord& record,
                          FilesInUse* inUse) {
    const std::wstring backupBase = backupDir + L'\\';
    bool undone = true;
    for (size_t i = 0; i < record.targets.size(); ++i) {
        const CopyRecord::Target& target = record.targets[i];
        if (!target.existed) {
            undone = RemoveAddedFile(target.path, inUse) && undone;
            continue;
        }
        const std::wstring backup = backupBase + list.At(i);
        // The failing entry's target may never have been opened (a file in
        // use, a folder); then it was not changed either, and nothing need
        // wait for it to be let go.
        if (i >= record.copied) {
            if (IsDirectory(target.path)) continue;
            if (SameContent(target.path, backup)) {
                CarryBlockingAttributes(backup, target.path);
                continue;
            }
        }
        if (CopyEntry(backup, target.path, true, inUse) != ERROR_SUCCESS) undone = false;
    }
    // Only folders left empty go: one that still holds a file is not removed.
    for (auto folder = record.folders.rbegin(); folder != record.folders.rend(); ++folder) RemoveFolder(*folder);
    return undone ? S_OK : E_FAIL;
}

DWORD ClearBlockingAttributes(const std::wstring& path) {
    const DWORD attributes = Attributes(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) ||
        !(attributes & kBlockingAttributes)) {
        return 0;
    }
    SetFileAttributesW(LongPathForm(path).c_str(), FILE_ATTRIBUTE_NORMAL);
    return attributes;
}

bool FlushVolumeOf(const std::wstring& path) {
    // The volume's root is never longer than the path with a backslash added.
    const std::wstring longForm = LongPathForm(path);
    std::vector<wchar_t> root(longForm.size() + 2);
    if (!GetVolumePathNameW(longForm.c_str(), root.data(), static_cast<DWORD>(root.size()))) return false;
    std::wstring_view rootPath(root.data());
    if (rootPath.compare(0, 4, L"\\\\?\\") == 0) rootPath.remove_prefix(4);
    std::wstring device;
    if (rootPath.size() == 3 && rootPath[1] == L':' && rootPath[2] == L'\\') {
        device = L"\\\\.\\" + std::wstring(rootPath.substr(0, 2));
    } else {
        // A volume mounted in a folder is opened by its volume name.
        wchar_t volumeName[MAX_PATH + 1] = {};
        if (!GetVolumeNameForVolumeMountPointW(root.data(), volumeName, MAX_PATH + 1)) return false;
        device = volumeName;
        if (!device.empty() && device.back() == L'\\') device.pop_back();
    }
    const FileHandle volume(CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    return volume && FlushFileBuffers(volume.Get());
}

void _DeleteTree(const std::wstring& path, int removeDirs, FilesInUse* inUse) {
    if (IsLinkPath(path)) {
        if (removeDirs) RemoveFolder(path);
        return;
    }
    std::wstring folder = path;
    DeleteFolderContents(folder, removeDirs, inUse);
    if (removeDirs) RemoveFolder(path);
}

bool _CreateDirectoryTree(const wchar_t* path, LPSECURITY_ATTRIBUTES securityAttributes) {
    if (path == nullptr) return false;
    return CreateDirectoryChain(path, securityAttributes);
}

bool _CreateParentDirs(const wchar_t* filePath) {
    if (filePath == nullptr) return false;
    const std::wstring path = filePath;
    const size_t lastBackslash = path.rfind(L'\\');
    if (lastBackslash == std::wstring::npos) return false;
    return CreateDirectoryChain(path.substr(0, lastBackslash), nullptr);
}

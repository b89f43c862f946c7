#include "filetree/FileTree.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "base/Files.h"
#include "base/Handles.h"

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
            list.Append(std::move(file), path, entry.dwFileAttributes);
        }
    } while (FindNextFileW(find.Get(), &entry));
    path.resize(folderLength);
    return S_OK;
}

void DeleteFileEntry(const std::wstring& path, const WIN32_FIND_DATAW& entry, HeldFiles* held) {
    // A file link's attributes would be changed on its target; the link
    // itself is deleted as it is.
    const DWORD attributes = IsLink(entry) ? FILE_ATTRIBUTE_NORMAL : entry.dwFileAttributes;
    const DWORD error = DeleteName(path, attributes);
    // A file moved aside is in use until the program that loaded it ends.
    if (held == nullptr || !IsInUseError(error) || held->IsAside(path)) return;
    // A file that a program keeps loaded or running (a library, a service's
    // program) is not let go however long the wait, but can be renamed: out
    // of the way it is only something to delete.
    if (held->MoveAside(path) == ERROR_SUCCESS) return;
    // A name of a file that has others (the backup's name of a product file)
    // held without delete sharing cannot go while the program holds the
    // file, and costs no room: it stays.
    if (NameCount(path) > 1) return;
    TryWhileInUse(held, [&]() -> DWORD { return DeleteName(path, attributes); });
}

void DeleteFolderContents(std::wstring& path, int removeDirs, HeldFiles* held, const wchar_t* keepChild = nullptr) {
    const size_t folderLength = path.size();
    WIN32_FIND_DATAW entry;
    FindHandle find = FindFirst(path + L"\\*.*", entry);
    if (!find) return;
    do {
        if (IsDotEntry(entry.cFileName)) continue;
        if (keepChild != nullptr && CompareStringOrdinal(entry.cFileName, -1, keepChild, -1, TRUE) == CSTR_EQUAL) {
            continue;
        }
        path.resize(folderLength);
        path += L'\\';
        path += entry.cFileName;
        if (!IsFolder(entry)) {
            DeleteFileEntry(path, entry, held);
        } else if (IsLink(entry)) {
            // Removes the link, never what it points to.
            if (removeDirs) RemoveFolder(path);
        } else {
            DeleteFolderContents(path, removeDirs, held);
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
                if (!PathExists(source)) return false;
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
    const DWORD attributes = folder.Existed() ? FileAttributesOf(path) : INVALID_FILE_ATTRIBUTES;
    const bool existed = attributes != INVALID_FILE_ATTRIBUTES;
    if (!existed) path = folder.Path() + text.substr(nameStart);
    return {std::move(path), existed, attributes, {}};
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
                      CopyRecord* record, Placement placement, HeldFiles* held, const MakeLink& makeLink) {
    return PlaceFileList(list, destDir, sourceDir, record,
                         [&](const std::wstring& source, const CopyRecord::Target& target, size_t) {
                             return TryWhileInUse(held, [&]() -> DWORD {
                                 if (placement == Placement::Overwrite) {
                                     return FolderInTheWay(CopyFileOnce(source, target.path), target.path);
                                 }
                                 DWORD error = LinkOrCopyOnce(source, target.path, makeLink);
                                 // A name an earlier run could not delete, of another file
                                 // that a program keeps loaded or open, is moved aside.
                                 if (error == ERROR_FILE_EXISTS && held != nullptr &&
                                     held->MoveAside(target.path) == ERROR_SUCCESS) {
                                     error = LinkOrCopyOnce(source, target.path, makeLink);
                                 }
                                 return FolderInTheWay(error, target.path);
                             });
                         });
}

HRESULT PlaceFileList(const FileList& list, const std::wstring& destDir, const std::wstring& sourceDir,
                      CopyRecord* record, const PlaceFile& place, const CopyRecord* plan) {
    const std::wstring sourceBase = sourceDir + L'\\';
    TargetFolder folder(destDir, record != nullptr ? &record->folders : nullptr);
    for (size_t i = 0; i < list.Size(); ++i) {
        const std::wstring& text = list.At(i);
        const std::wstring& spelling = list.Spelling(i);
        const std::wstring source = sourceBase + spelling;
        const size_t nameStart = text.rfind(L'\\') + 1;  // 0 when at the top
        if (!folder.Enter(text, spelling, nameStart, source)) return E_FAIL;
        CopyRecord::Target target =
            plan != nullptr ? plan->targets[i] : TargetIn(folder, text, spelling, nameStart);
        // Noted before the pass touches it, so that the record holds every
        // target the pass may have changed.
        const CopyRecord::Target* placedAt = &target;
        if (record != nullptr) {
            record->targets.push_back(std::move(target));
            placedAt = &record->targets.back();
        }
        if (place(source, *placedAt, i) != ERROR_SUCCESS) return E_FAIL;
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

DWORD ClearBlockingAttributes(const std::wstring& path) {
    const DWORD attributes = FileAttributesOf(path);
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

void _DeleteTree(const std::wstring& path, int removeDirs, HeldFiles* held, const wchar_t* keepChild) {
    if (IsLinkPath(path)) {
        if (removeDirs && keepChild == nullptr) RemoveFolder(path);
        return;
    }
    std::wstring folder = path;
    DeleteFolderContents(folder, removeDirs, held, keepChild);
    if (removeDirs && keepChild == nullptr) RemoveFolder(path);
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

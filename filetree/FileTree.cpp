#include "filetree/FileTree.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "base/Files.h"
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

// The attributes without the read-only bit, as SetFileAttributesW takes
// them: FILE_ATTRIBUTE_NORMAL when no other bit is left.
DWORD WithoutReadOnly(DWORD attributes) {
    const DWORD rest = attributes & ~FILE_ATTRIBUTE_READONLY;
    return rest != 0 ? rest : FILE_ATTRIBUTE_NORMAL;
}

// Deletes the name path of a file with the given attributes. A read-only
// file refuses deletion, and its bit belongs to the file, not to the name:
// the bit is cleared for the deletion and set again through the same handle
// before it closes, so that the file's other names keep it.
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

void DeleteFileEntry(const std::wstring& path, const WIN32_FIND_DATAW& entry, FilesInUse* inUse) {
    // A file link's attributes would be changed on its target; the link
    // itself is deleted as it is.
    const DWORD attributes = IsLink(entry) ? FILE_ATTRIBUTE_NORMAL : entry.dwFileAttributes;
    // A file moved aside is in use until the program that loaded it ends.
    FilesInUse* const waitFor = inUse != nullptr && !inUse->IsAside(path) ? inUse : nullptr;
    const DWORD error = DeleteName(path, attributes);
    // A name of a file that has others (the backup's name of a product file)
    // cannot go while a program keeps the file open or loaded (a running
    // service, its data), however long the wait, and costs no room: it stays.
    if (waitFor == nullptr || !IsInUseError(error) || NameCount(path) > 1) return;
    TryWhileInUse(waitFor, [&]() -> DWORD { return DeleteName(path, attributes); });
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

DWORD CopyFileOnce(const std::wstring& source, const std::wstring& target, bool failIfExists = false) {
    return CopyFileW(LongPathForm(source).c_str(), LongPathForm(target).c_str(), failIfExists) ? ERROR_SUCCESS
                                                                                               : GetLastError();
}

// Gives target the attributes of source when source has a blocking bit:
// Wine's CopyFileW keeps an existing target's own attributes.
void CarryBlockingAttributes(const std::wstring& source, const std::wstring& target) {
    const DWORD attributes = Attributes(source);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & kBlockingAttributes)) {
        SetFileAttributesW(LongPathForm(target).c_str(), attributes);
    }
}

// A folder where a file should go is no program's hold: nothing to wait for.
DWORD FolderInTheWay(DWORD error, const std::wstring& target) {
    return error == ERROR_ACCESS_DENIED && IsDirectory(target) ? ERROR_DIRECTORY : error;
}

// One try at giving existing the new name target: a hard link, or a copy
// where the link is refused. Neither goes over an existing file; a target
// that is a name of existing already (one an earlier run could not delete)
// is kept.
DWORD LinkOrCopyOnce(const std::wstring& existing, const std::wstring& target, const MakeLink& makeLink) {
    const DWORD error = makeLink(target, existing);
    if (error == ERROR_SUCCESS || (error == ERROR_ALREADY_EXISTS && SameFile(target, existing))) return ERROR_SUCCESS;
    return CopyFileOnce(existing, target, true);
}

// Whether another program has path loaded, or holds it open, so that it
// cannot be written.
bool HeldAgainstWriting(const std::wstring& path) {
    const FileHandle file(
        CreateFileW(LongPathForm(path).c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
    return !file && GetLastError() == ERROR_SHARING_VIOLATION;
}

// Whether another program holds path so that it cannot be renamed.
bool HeldAgainstRenaming(const std::wstring& path) {
    const FileHandle file(CreateFileW(LongPathForm(path).c_str(), DELETE, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
    return !file && IsInUseError(GetLastError());
}

// Renames newFile, a file beside target, to target's name, over the file
// there when targetAttributes says there is one (its read-only bit, which
// Windows' rename refuses to replace, cleared first and put back when the
// rename fails). A target that another program holds but lets rename (a
// loaded library) is moved aside with inUse and newFile takes its name;
// while newFile itself is held (a scanner reading it), the rename waits.
DWORD RenameOver(const std::wstring& newFile, const std::wstring& target, DWORD targetAttributes, FilesInUse* inUse) {
    const std::wstring from = LongPathForm(newFile);
    const std::wstring to = LongPathForm(target);
    const bool exists = targetAttributes != INVALID_FILE_ATTRIBUTES;
    const bool readOnly = exists && (targetAttributes & FILE_ATTRIBUTE_READONLY);
    return TryWhileInUse(inUse, [&]() -> DWORD {
        // Cleared for this try alone: a run ended while it waits for the file
        // leaves the bit where it was.
        if (readOnly) SetFileAttributesW(to.c_str(), WithoutReadOnly(targetAttributes));
        if (MoveFileExW(from.c_str(), to.c_str(), exists ? MOVEFILE_REPLACE_EXISTING : 0)) return ERROR_SUCCESS;
        const DWORD renameError = FolderInTheWay(GetLastError(), target);
        if (inUse == nullptr || !exists || !IsInUseError(renameError) || HeldAgainstRenaming(newFile) ||
            inUse->MoveAside(target) != ERROR_SUCCESS) {
            if (readOnly) SetFileAttributesW(to.c_str(), targetAttributes);
            return renameError;
        }
        // The old file lies aside now; its bit comes back through the backup's name.
        return MoveFileExW(from.c_str(), to.c_str(), 0) ? ERROR_SUCCESS : GetLastError();
    });
}

// Removes a file the pass added, or left under a temporary name; one that is
// not there counts as removed. An added library that another program has
// loaded already is moved aside with inUse.
bool RemoveAddedFile(const std::wstring& path, FilesInUse* inUse) {
    return TryWhileInUse(inUse, [&]() -> DWORD {
        const DWORD attributes = Attributes(path);
        if (attributes == INVALID_FILE_ATTRIBUTES) return ERROR_SUCCESS;
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) return ERROR_DIRECTORY;
        const DWORD error = DeleteName(path, attributes);
        if (error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            return ERROR_SUCCESS;
        }
        if (inUse != nullptr && IsInUseError(error) && inUse->MoveAside(path) == ERROR_SUCCESS) return ERROR_SUCCESS;
        return error;
    }) == ERROR_SUCCESS;
}

// Puts a new file at target through a temporary name beside it: made by
// makeNew (a copy, or a second name of the backup's file), which never goes
// over an existing file, then renamed over target. Nothing is left under the
// temporary name when it fails.
template <typename MakeNew>
DWORD PutThroughTemporaryName(const std::wstring& target, DWORD targetAttributes, FilesInUse* inUse,
                              MakeNew makeNew) {
    const std::wstring temporary = TemporaryNameOf(target);
    const auto makeOnce = [&]() -> DWORD { return TryWhileInUse(inUse, [&]() -> DWORD { return makeNew(temporary); }); };
    DWORD error = makeOnce();
    // What a run that was ended before its rename left there.
    if ((error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) && RemoveAddedFile(temporary, inUse)) {
        error = makeOnce();
    }
    if (error == ERROR_SUCCESS) error = RenameOver(temporary, target, targetAttributes, inUse);
    // A copy that ran out of room may leave part of itself behind.
    if (error != ERROR_SUCCESS) RemoveAddedFile(temporary, inUse);
    return error;
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
    const DWORD attributes = folder.Existed() ? Attributes(path) : INVALID_FILE_ATTRIBUTES;
    const bool existed = attributes != INVALID_FILE_ATTRIBUTES;
    if (!existed) path = folder.Path() + text.substr(nameStart);
    return {std::move(path), existed, attributes};
}

// The walk that every pass makes: each entry's source below sourceDir and
// its target below destDir, its folder made as the walk reaches it, the
// target noted in record (when given) before place(source, target, index)
// puts the file there. With a plan of the pass (_PlanCopyFileList) the
// targets are the plan's, and no target is looked at again.
template <typename Place>
HRESULT PlaceFileList(const FileList& list, const std::wstring& destDir, const std::wstring& sourceDir,
                      CopyRecord* record, Place place, const CopyRecord* plan = nullptr) {
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

DWORD CreateHardLinkOnce(const std::wstring& link, const std::wstring& existing) {
    return CreateHardLinkW(LongPathForm(link).c_str(), LongPathForm(existing).c_str(), nullptr) ? ERROR_SUCCESS
                                                                                                : GetLastError();
}

HRESULT _CopyFileList(const FileList& list, const std::wstring& destDir, const std::wstring& sourceDir,
                      CopyRecord* record, Placement placement, FilesInUse* inUse, const MakeLink& makeLink) {
    return PlaceFileList(list, destDir, sourceDir, record,
                         [&](const std::wstring& source, const CopyRecord::Target& target, size_t) {
                             return TryWhileInUse(inUse, [&]() -> DWORD {
                                 if (placement == Placement::Overwrite) {
                                     return FolderInTheWay(CopyFileOnce(source, target.path), target.path);
                                 }
                                 DWORD error = LinkOrCopyOnce(source, target.path, makeLink);
                                 // A name an earlier run could not delete, of another file
                                 // that a program keeps loaded or open, is moved aside.
                                 if (error == ERROR_FILE_EXISTS && inUse != nullptr &&
                                     inUse->MoveAside(target.path) == ERROR_SUCCESS) {
                                     error = LinkOrCopyOnce(source, target.path, makeLink);
                                 }
                                 return FolderInTheWay(error, target.path);
                             });
                         });
}

HRESULT _ReplaceFileList(const FileList& list, const std::wstring& destDir, const std::wstring& sourceDir,
                         const std::wstring& backupDir, const CopyRecord& plan, CopyRecord& record,
                         FilesInUse* inUse) {
    const std::wstring backupBase = backupDir + L'\\';
    return PlaceFileList(
        list, destDir, sourceDir, &record, [&](const std::wstring& source, const CopyRecord::Target& target, size_t i) {
            const DWORD error = PutThroughTemporaryName(
                target.path, target.attributes, inUse,
                [&source](const std::wstring& temporary) { return CopyFileOnce(source, temporary, true); });
            // The old file, which the backup may name as well, gets its bit
            // back, wherever it is now: replaced, moved aside or left.
            if (target.existed && (target.attributes & FILE_ATTRIBUTE_READONLY)) {
                SetFileAttributesW(LongPathForm(backupBase + list.At(i)).c_str(), target.attributes);
            }
            return error;
        },
        &plan);
}

std::wstring TemporaryNameOf(const std::wstring& target) { return target + L".zelunst-new"; }

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
                          FilesInUse* inUse, const MakeLink& makeLink) {
    const std::wstring backupBase = backupDir + L'\\';
    bool undone = true;
    for (size_t i = 0; i < record.targets.size(); ++i) {
        const CopyRecord::Target& target = record.targets[i];
        // A target the pass had not finished with may have its new file, or
        // a link to its old one, still under the temporary name.
        const bool unfinished = i >= record.copied;
        if (unfinished && !RemoveAddedFile(TemporaryNameOf(target.path), inUse)) undone = false;
        if (!target.existed) {
            undone = RemoveAddedFile(target.path, inUse) && undone;
            continue;
        }
        const std::wstring backup = backupBase + list.At(i);
        // A target that is (still, or again) the backup's own file is the old
        // one: left as it is, where a copy onto itself would fail and a
        // rename of a name over another name of the same file does nothing.
        if (SameFile(target.path, backup)) continue;
        // The failing entry's target may never have been opened (a file in
        // use, a folder); then it was not changed either, and nothing need
        // wait for it to be let go.
        if (unfinished) {
            if (IsDirectory(target.path)) continue;
            // A backup copied rather than linked (where a link was refused,
            // or by a tool that copied every file).
            if (SameContent(target.path, backup)) {
                CarryBlockingAttributes(backup, target.path);
                continue;
            }
        }
        // A file that a program keeps loaded or open cannot be replaced under
        // the product's name, nor that name deleted, while it does: the product
        // gets a copy of it, which the next update replaces without moving
        // anything aside.
        const bool held = HeldAgainstWriting(backup);
        const DWORD error = PutThroughTemporaryName(
            target.path, Attributes(target.path), inUse, [&](const std::wstring& temporary) {
                return held ? CopyFileOnce(backup, temporary, true) : LinkOrCopyOnce(backup, temporary, makeLink);
            });
        if (error != ERROR_SUCCESS) undone = false;
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

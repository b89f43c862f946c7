#include "exchange/ReplaceFiles.h"

#include <algorithm>
#include <string>
#include <unordered_set>
#include <vector>

#include "base/Files.h"
#include "base/Handles.h"
#include "base/Paths.h"
#include "base/Text.h"

namespace {

// Gives target the attributes of source when source has a blocking bit:
// Wine's CopyFileW keeps an existing target's own attributes.
void CarryBlockingAttributes(const std::wstring& source, const std::wstring& target) {
    const DWORD attributes = FileAttributesOf(source);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & kBlockingAttributes)) {
        SetFileAttributesW(LongPathForm(target).c_str(), attributes);
    }
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
    const FileHandle file(
        CreateFileW(LongPathForm(path).c_str(), DELETE, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
    return !file && IsInUseError(GetLastError());
}

// Renames newFile, a file beside target, to target's name, over the file
// there when targetAttributes says there is one (its read-only bit, which
// Windows' rename refuses to replace, cleared first and put back when the
// rename fails). A target that another program holds but lets rename (a
// loaded library) is moved aside with inUse and newFile takes its name;
// while newFile itself is held (a scanner reading it), the rename waits.
DWORD RenameOver(const std::wstring& newFile, const std::wstring& target, DWORD targetAttributes, HeldFiles* inUse) {
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
bool RemoveAddedFile(const std::wstring& path, HeldFiles* inUse) {
    return TryWhileInUse(inUse, [&]() -> DWORD {
        const DWORD attributes = FileAttributesOf(path);
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

// Puts a new file at target through temporary, a free name beside it: made
// by makeNew (a copy, or a second name of the backup's file), which never
// goes over an existing file, then renamed over target. What it made under
// the temporary name is gone again when it fails; a file that was there
// already is no file of this run and stays.
template <typename MakeNew>
DWORD PutThroughTemporaryName(const std::wstring& target, const std::wstring& temporary, DWORD targetAttributes,
                              HeldFiles* inUse, MakeNew makeNew) {
    DWORD error = TryWhileInUse(inUse, [&]() -> DWORD { return makeNew(temporary); });
    const bool made = error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS;
    if (error == ERROR_SUCCESS) error = RenameOver(temporary, target, targetAttributes, inUse);
    // A copy that ran out of room may leave part of itself behind.
    if (error != ERROR_SUCCESS && made) RemoveAddedFile(temporary, inUse);
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

}  // namespace

void AssignTemporaryNames(CopyRecord& plan) {
    // Every target's path and every folder the plan makes, lowercased as the
    // system compares names: a temporary name must not be one that the pass
    // itself puts a file or a folder under.
    std::unordered_set<std::wstring> taken;
    const auto take = [&taken](std::wstring path) {
        AsciiLowercase(path);
        taken.insert(std::move(path));
    };
    for (const CopyRecord::Target& target : plan.targets) take(target.path);
    for (const std::wstring& folder : plan.folders) take(folder);
    for (size_t i = 0; i < plan.targets.size(); ++i) {
        CopyRecord::Target& target = plan.targets[i];
        const std::wstring folder = target.path.substr(0, target.path.rfind(L'\\') + 1);
        for (unsigned attempt = 0;; ++attempt) {
            std::wstring name = std::wstring(kTemporaryNamePrefix) + std::to_wstring(i);
            if (attempt > 0) name += L'-' + std::to_wstring(attempt);
            name += kTemporaryNameSuffix;
            std::wstring path = folder + name;
            std::wstring lowered = path;
            AsciiLowercase(lowered);
            if (taken.count(lowered) != 0 || PathExists(path)) continue;
            taken.insert(std::move(lowered));
            target.temporary = std::move(path);
            break;
        }
    }
}

std::wstring FirstLinkOnTheWay(const std::wstring& baseDir, const std::wstring& path,
                               std::unordered_set<std::wstring>& checked) {
    // Each folder from the first below baseDir down to path's own folder.
    for (size_t end = path.find(L'\\', baseDir.size() + 1); end != std::wstring::npos;
         end = path.find(L'\\', end + 1)) {
        std::wstring folder = path.substr(0, end);
        std::wstring key = folder;
        AsciiLowercase(key);
        if (checked.count(key) != 0) continue;
        const DWORD attributes = FileAttributesOf(folder);
        // Below a folder that is missing nothing exists yet.
        if (attributes == INVALID_FILE_ATTRIBUTES) return {};
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return folder;
        checked.insert(std::move(key));
    }
    return {};
}

HRESULT _StageFileList(const FileList& list, const std::wstring& destDir, const std::wstring& sourceDir,
                       const CopyRecord& plan, size_t& staged, HeldFiles* inUse) {
    staged = 0;
    return PlaceFileList(
        list, destDir, sourceDir, nullptr,
        [&](const std::wstring& source, const CopyRecord::Target& target, size_t) {
            const DWORD error =
                TryWhileInUse(inUse, [&]() -> DWORD { return CopyFileOnce(source, target.temporary, true); });
            // A copy that failed after it made the file (a full volume) may
            // leave part of it; a name that was taken is no file of this run.
            if (error == ERROR_SUCCESS || (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS)) ++staged;
            return error;
        },
        &plan);
}

HRESULT _SwitchFileList(const FileList& list, const std::wstring& backupDir, const CopyRecord& plan,
                        size_t& switched, HeldFiles* inUse) {
    const std::wstring backupBase = backupDir + L'\\';
    for (switched = 0; switched < plan.targets.size(); ++switched) {
        const CopyRecord::Target& target = plan.targets[switched];
        const DWORD error = RenameOver(target.temporary, target.path, target.attributes, inUse);
        // The old file, which the backup may name as well, gets its bit
        // back, wherever it is now: replaced, moved aside or left.
        if (target.existed && (target.attributes & FILE_ATTRIBUTE_READONLY)) {
            SetFileAttributesW(LongPathForm(backupBase + list.At(switched)).c_str(), target.attributes);
        }
        if (error != ERROR_SUCCESS) return E_FAIL;
    }
    return S_OK;
}

bool RemoveStagedFiles(const CopyRecord& plan, size_t count, HeldFiles* inUse) {
    bool removed = true;
    for (size_t i = 0; i < count && i < plan.targets.size(); ++i) {
        removed = RemoveAddedFile(plan.targets[i].temporary, inUse) && removed;
    }
    // Only folders left empty go: one that holds a file is not removed.
    for (auto folder = plan.folders.rbegin(); folder != plan.folders.rend(); ++folder) RemoveFolder(*folder);
    return removed;
}

HRESULT _UndoCopyFileList(const FileList& list, const std::wstring& backupDir, const CopyRecord& record,
                          HeldFiles* inUse, const MakeLink& makeLink) {
    const std::wstring backupBase = backupDir + L'\\';
    bool undone = true;
    for (size_t i = 0; i < record.targets.size(); ++i) {
        const CopyRecord::Target& target = record.targets[i];
        // A target the pass had not finished with may have its new file, or
        // a link to its old one, still under the temporary name.
        const bool unfinished = i >= record.copied;
        if (unfinished && !RemoveAddedFile(target.temporary, inUse)) undone = false;
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
            target.path, target.temporary, FileAttributesOf(target.path), inUse, [&](const std::wstring& temporary) {
                return held ? CopyFileOnce(backup, temporary, true) : LinkOrCopyOnce(backup, temporary, makeLink);
            });
        if (error != ERROR_SUCCESS) undone = false;
    }
    // Only folders left empty go: one that still holds a file is not removed.
    for (auto folder = record.folders.rbegin(); folder != record.folders.rend(); ++folder) RemoveFolder(*folder);
    return undone ? S_OK : E_FAIL;
}

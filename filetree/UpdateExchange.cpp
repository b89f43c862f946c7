#include "filetree/UpdateExchange.h"

#include <vector>

#include "base/ToolPaths.h"
#include "filetree/FileTree.h"
#include "log/VLogger.h"

namespace {

constexpr wchar_t kBackupFolderName[] = L"updatetemp";
constexpr wchar_t kStagingFolderName[] = L"reupdate";

// Paths below the base that neither the backup nor the update touches; the
// running tool's own file name goes between the folders and the libraries.
const wchar_t* const kExcludedFolders[] = {L"Update\\", L"reupdate\\", L"skin\\", L"icon\\", L"uninstall\\"};
const wchar_t* const kExcludedFiles[] = {
    L"msvcr80d.dll", L"msvcp80d.dll",     L"msvcr80.dll",
    L"msvcp80.dll",  L"reupdate.exe",     L"hvupdate.exe",
    L"vestrel.dll",  L"rux2upreport.exe", L"microsoft.vc80.crt.manifest",
    L"mfc80u.dll",   L"optarium.cfg",     L"settings.cfg",
    L"Lomifr.dll"};

// The texts after "base\" that an entry must not begin with, lowercased.
std::vector<std::wstring> ExcludedTails(const ToolPaths& context) {
    std::vector<std::wstring> tails(std::begin(kExcludedFolders), std::end(kExcludedFolders));
    // An empty file name would make "base\" itself an exclusion and drop every entry.
    if (context.programFile[0] != L'\0') tails.emplace_back(context.programFile);
    tails.insert(tails.end(), std::begin(kExcludedFiles), std::end(kExcludedFiles));
    for (std::wstring& tail : tails) AsciiLowercase(tail);
    return tails;
}

// Every exclusion is "base\" plus a tail: the common part is compared once.
bool IsExcluded(const std::wstring& entry, const std::wstring& basePrefix, const std::vector<std::wstring>& tails) {
    if (entry.compare(0, basePrefix.size(), basePrefix) != 0) return false;
    for (const std::wstring& tail : tails) {
        if (entry.compare(basePrefix.size(), tail.size(), tail) == 0) return true;
    }
    return false;
}

// One pass of the exchange: list a folder's files, drop the excluded ones and
// make the rest relative to the folder.
bool ListUpdateFiles(const std::wstring& folder, const ToolPaths& context, FileList& list) {
    if (_EnumFiles(folder, 1, list) != S_OK) return false;
    _FilterUpdateFiles(list, context, folder);
    return _MakeRelative(folder, list) == S_OK;
}

// A staged file below updatetemp\ would be copied into the backup, over the
// old version of the product file of the same relative path, which a
// rollback then could not put back. Entries are relative and lowercased.
void LeaveOutBackupFolder(FileList& list) {
    const std::wstring backupPrefix = std::wstring(kBackupFolderName) + L'\\';
    list.KeepIf([&backupPrefix](const std::wstring& entry) {
        return entry.compare(0, backupPrefix.size(), backupPrefix) != 0;
    });
}

// The backup must be a folder of its own, not a link to somewhere else.
bool IsOwnFolder(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(LongPathForm(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

}  // namespace

bool _FilterUpdateFiles(FileList& list, const ToolPaths& context, const std::wstring& baseDir) {
    std::wstring basePrefix = baseDir + L'\\';
    AsciiLowercase(basePrefix);
    const std::vector<std::wstring> tails = ExcludedTails(context);
    // An excluded entry takes every equal entry with it; since equal entries
    // are all excluded, dropping each excluded entry where it stands in one
    // walk leaves the same list.
    list.KeepIf([&](std::wstring& entry) {
        AsciiLowercase(entry);
        return !IsExcluded(entry, basePrefix, tails);
    });
    return true;
}

bool _DoCopyAndDelFile(const ToolPaths& context) {
    const std::wstring programDir = context.programDir;
    if (programDir.size() < 4) return false;
    LogLine(L"_DoCopyAndDelFile");

    const std::wstring backupDir = programDir + L'\\' + kBackupFolderName;
    _DeleteTree(backupDir, 1);
    FileList backupList;
    if (!ListUpdateFiles(programDir, context, backupList)) return false;
    CreateDirectoryW(LongPathForm(backupDir).c_str(), nullptr);
    if (!IsOwnFolder(backupDir)) return false;
    if (_CopyFileList(backupList, backupDir, programDir) != S_OK) {
        LogLine(L"Copy file rux to rux\\updatetemp Fail");
        return false;
    }

    const std::wstring stagingDir = programDir + L'\\' + kStagingFolderName;
    FileList updateList;
    if (!ListUpdateFiles(stagingDir, context, updateList)) return false;
    LeaveOutBackupFolder(updateList);
    CopyRecord copied;
    if (_CopyFileList(updateList, programDir, stagingDir, &copied, ExistingFiles::Replace) != S_OK) {
        LogLine(L"Copy file rux\\reupdate to rux\\ Fail");
        // A half-refreshed product would be backed up as it is by the next
        // run, losing the old files: put it back. The backup stays either way.
        if (_UndoCopyFileList(updateList, backupDir, copied) != S_OK) {
            LogLine(L"Restore rux from rux\\updatetemp Fail");
        }
        return false;
    }
    _DeleteTree(backupDir, 1);
    return true;
}

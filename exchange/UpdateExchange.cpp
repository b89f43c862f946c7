#include "exchange/UpdateExchange.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "base/ToolPaths.h"
#include "exchange/ExchangeJournal.h"
#include "exchange/ReplaceFiles.h"
#include "filetree/FileTree.h"
#include "log/VLogger.h"

namespace {

constexpr wchar_t kBackupFolderName[] = L"updatetemp";
constexpr wchar_t kStagingFolderName[] = L"reupdate";
// The journal's folder and name below the backup folder. Nothing below the
// product's Update folder is backed up, so no backed-up file lies there. (A
// product file named just "update" would take the folder's name: the journal
// then cannot be written, and the step fails before the product is touched.)
constexpr wchar_t kJournalFolderName[] = L"update";
constexpr wchar_t kJournalFileName[] = L"journal.txt";
// Where product files in use are moved aside, beside the journal.
constexpr wchar_t kAsideFolderName[] = L"inuse";

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

// Drops the entries below folder, a path relative to the list's base; the
// entries are relative and lowercased.
void LeaveOut(FileList& list, const std::wstring& folder) {
    std::wstring prefix = folder + L'\\';
    AsciiLowercase(prefix);
    list.KeepIf([&prefix](const std::wstring& entry) { return entry.compare(0, prefix.size(), prefix) != 0; });
}

// The backup must be a folder of its own, not a link to somewhere else.
bool IsOwnFolder(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(LongPathForm(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

std::wstring JournalFolderOf(const std::wstring& backupDir) { return backupDir + L'\\' + kJournalFolderName; }
std::wstring JournalOf(const std::wstring& backupDir) {
    return JournalFolderOf(backupDir) + L'\\' + kJournalFileName;
}
std::wstring AsideFolderOf(const std::wstring& backupDir) {
    return JournalFolderOf(backupDir) + L'\\' + kAsideFolderName;
}

std::wstring ParentOf(const std::wstring& path) { return path.substr(0, path.rfind(L'\\')); }

// What was moved aside and is still in use (this run's, or an earlier run's
// that is still loaded) is deleted at the next restart, together with the
// folders left holding it up to the backup folder, deepest first; a folder
// goes then only when it is empty. Each such file gets a line. Nothing is
// waited for: a loaded library stays in use until its program ends.
void LeaveInUseForRestart(const std::wstring& backupDir, const std::wstring& asideDir) {
    if (!IsOwnFolder(asideDir)) return;
    _DeleteTree(asideDir, 1);
    FileList left;
    if (_EnumFiles(asideDir, 1, left) != S_OK) return;
    std::vector<std::wstring> folders;
    for (size_t i = 0; i < left.Size(); ++i) {
        const std::wstring& file = left.Spelling(i);
        const bool scheduled = MoveFileExW(LongPathForm(file).c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
        const std::wstring outcome = scheduled ? L"In use, deleted at the next restart: "
                                               : L"In use, left in place (deleting it at the next restart was refused): ";
        LogLine((outcome + file).c_str());
        for (std::wstring folder = ParentOf(file); folder.size() >= backupDir.size(); folder = ParentOf(folder)) {
            if (std::find(folders.begin(), folders.end(), folder) == folders.end()) folders.push_back(folder);
        }
    }
    // A folder's path is longer than its parent's.
    std::stable_sort(folders.begin(), folders.end(),
                     [](const std::wstring& a, const std::wstring& b) { return a.size() > b.size(); });
    for (const std::wstring& folder : folders) {
        MoveFileExW(LongPathForm(folder).c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    }
}

// What the copy wrote or put back goes to the disk before the journal that
// protects it goes. False when the journal is still there.
bool RemoveJournal(const std::wstring& programDir, const std::wstring& backupDir, const VolumeFlush& flushVolume,
                   FilesInUse& inUse) {
    flushVolume(programDir);
    const std::wstring journal = LongPathForm(JournalOf(backupDir));
    const DWORD error = inUse.Retry([&journal]() -> DWORD {
        return DeleteFileW(journal.c_str()) ? ERROR_SUCCESS : GetLastError();
    });
    if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND) return false;
    RemoveDirectoryW(LongPathForm(JournalFolderOf(backupDir)).c_str());
    return true;
}

// Puts the product back from the backup when an earlier run left a journal
// with its end mark: that run was ended while its staged copy ran, or before
// its rollback was done. False when something could not be put back; the
// backup keeps its journal then, so that the next run tries again.
bool FinishInterruptedExchange(const std::wstring& programDir, const std::wstring& backupDir,
                               const VolumeFlush& flushVolume, FilesInUse& inUse, const MakeLink& makeLink) {
    // A backup folder that is a link was never made by the exchange.
    if (!IsOwnFolder(backupDir)) return true;
    const std::wstring journal = JournalOf(backupDir);
    if (GetFileAttributesW(LongPathForm(journal).c_str()) == INVALID_FILE_ATTRIBUTES) return true;
    std::optional<JournaledCopy> copy;
    if (const std::optional<std::wstring> text = ReadJournal(journal)) {
        // A cut journal was being written when the run ended: nothing had been changed yet.
        copy = ParseJournal(*text, programDir);
        if (!copy) return true;
    }
    // One that cannot be read (held without sharing) guards its backup all the same.
    if (!copy || _UndoCopyFileList(copy->backupNames, backupDir, copy->plan, &inUse, makeLink) != S_OK) {
        LogLine(L"Restore rux from rux\\updatetemp Fail");
        return false;
    }
    LogLine(L"Restore rux from rux\\updatetemp after an interrupted update");
    return RemoveJournal(programDir, backupDir, flushVolume, inUse);
}

// The exchange itself; _DoCopyAndDelFile then deals with what it moved aside.
bool ExchangeFiles(const ToolPaths& context, const std::wstring& programDir, const std::wstring& backupDir,
                   const VolumeFlush& flushVolume, FilesInUse& inUse, const MakeLink& makeLink) {
    if (!FinishInterruptedExchange(programDir, backupDir, flushVolume, inUse, makeLink)) return false;
    _DeleteTree(backupDir, 1, &inUse);
    FileList backupList;
    if (!ListUpdateFiles(programDir, context, backupList)) return false;
    // The journal's folder holds no product file: at most what an earlier run
    // moved aside and could not delete yet.
    LeaveOut(backupList, JournalFolderOf(kBackupFolderName));
    // The tool appends to its run log all along and holds it without delete
    // sharing: a second name of it could not be deleted while the tool runs.
    // It is copied, as every file once was.
    std::wstring runLog = kRunLogName;
    AsciiLowercase(runLog);
    FileList copiedList;
    const size_t listed = backupList.Size();
    backupList.RemoveAll(runLog);
    if (backupList.Size() != listed) copiedList.Append(runLog);
    CreateDirectoryW(LongPathForm(backupDir).c_str(), nullptr);
    if (!IsOwnFolder(backupDir)) return false;
    // The backup names the product's own files: it takes no copy and no room,
    // and holds the old versions as long as nothing writes into a product file.
    if (_CopyFileList(backupList, backupDir, programDir, nullptr, Placement::Link, &inUse, makeLink) != S_OK ||
        _CopyFileList(copiedList, backupDir, programDir, nullptr, Placement::Overwrite, &inUse) != S_OK) {
        LogLine(L"Copy file rux to rux\\updatetemp Fail");
        return false;
    }

    const std::wstring stagingDir = programDir + L'\\' + kStagingFolderName;
    FileList updateList;
    if (!ListUpdateFiles(stagingDir, context, updateList)) return false;
    // A staged file below updatetemp\ would be copied into the backup, over
    // the old version of the product file of the same relative path, which a
    // rollback then could not put back.
    LeaveOut(updateList, kBackupFolderName);
    // The backup goes to the disk, then the journal of all that the copy may
    // change, before the copy changes any of it.
    flushVolume(programDir);
    CreateDirectoryW(LongPathForm(JournalFolderOf(backupDir)).c_str(), nullptr);
    const CopyRecord plan = _PlanCopyFileList(updateList, programDir);
    if (!WriteJournal(JournalOf(backupDir), FormatJournal(plan, programDir))) {
        LogLine(L"Write rux\\updatetemp\\update\\journal.txt Fail");
        return false;
    }
    CopyRecord copied;
    if (_ReplaceFileList(updateList, programDir, stagingDir, backupDir, plan, copied, &inUse) != S_OK) {
        LogLine(L"Copy file rux\\reupdate to rux\\ Fail");
        // A half-refreshed product would be backed up as it is by the next
        // run, losing the old files: put it back. The backup stays either
        // way, and keeps its journal while the product is not whole.
        if (_UndoCopyFileList(updateList, backupDir, copied, &inUse, makeLink) != S_OK) {
            LogLine(L"Restore rux from rux\\updatetemp Fail");
            return false;
        }
        RemoveJournal(programDir, backupDir, flushVolume, inUse);
        return false;
    }
    // A journal that cannot be removed keeps the backup: the next run puts
    // the old files back and copies the staged ones again. The product is
    // whole and new now, so the update goes on.
    if (!RemoveJournal(programDir, backupDir, flushVolume, inUse)) return true;
    // The journal's removal reaches the disk before the backup's does.
    flushVolume(programDir);
    _DeleteTree(backupDir, 1, &inUse);
    return true;
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
    return _DoCopyAndDelFile(
        context, [](const std::wstring& folder) { FlushVolumeOf(folder); }, [](DWORD ms) { Sleep(ms); });
}

bool _DoCopyAndDelFile(const ToolPaths& context, const VolumeFlush& flushVolume, const Pause& pause,
                       const MakeLink& makeLink) {
    const std::wstring programDir = context.programDir;
    if (programDir.size() < 4) return false;
    LogLine(L"_DoCopyAndDelFile");

    const std::wstring backupDir = programDir + L'\\' + kBackupFolderName;
    FilesInUse inUse(AsideFolderOf(backupDir), pause);
    const bool exchanged = ExchangeFiles(context, programDir, backupDir, flushVolume, inUse, makeLink);
    LeaveInUseForRestart(backupDir, inUse.AsideDir());
    return exchanged;
}

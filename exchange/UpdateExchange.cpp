#include "exchange/UpdateExchange.h"

#include <algorithm>
#include <map>
#include <optional>
#include <unordered_set>
#include <utility>
#include <vector>

#include "base/ToolPaths.h"
#include "base/Handles.h"
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
constexpr wchar_t kStagedJournalFileName[] = L"staged.txt";
constexpr wchar_t kAttributesFileName[] = L"attributes.txt";
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
std::wstring InJournalFolder(const std::wstring& backupDir, const wchar_t* name) {
    return JournalFolderOf(backupDir) + L'\\' + name;
}
std::wstring AsideFolderOf(const std::wstring& backupDir) { return InJournalFolder(backupDir, kAsideFolderName); }

std::wstring ParentOf(const std::wstring& path) { return path.substr(0, path.rfind(L'\\')); }

// The delete at the restart fails on a read-only file. Clears the bit of
// each listed read-only file whose names are all in the list (what was moved
// aside): a file with a name elsewhere, in the product, keeps its bit.
void ClearReadOnlyOfNamesAsideOnly(const FileList& aside) {
    struct ReadOnlyName {
        const std::wstring* path;
        DWORD attributes;
        DWORD names;
        std::pair<DWORD, ULONGLONG> file;
    };
    std::vector<ReadOnlyName> readOnly;
    std::map<std::pair<DWORD, ULONGLONG>, DWORD> namesAside;
    for (size_t i = 0; i < aside.Size(); ++i) {
        const DWORD attributes = aside.Attributes(i);
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY)) continue;
        const FileHandle opened(CreateFileW(LongPathForm(aside.Spelling(i)).c_str(), FILE_READ_ATTRIBUTES, kShareAll,
                                            nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        BY_HANDLE_FILE_INFORMATION information{};
        if (!opened || !GetFileInformationByHandle(opened.Get(), &information)) continue;
        const std::pair<DWORD, ULONGLONG> file(
            information.dwVolumeSerialNumber,
            (static_cast<ULONGLONG>(information.nFileIndexHigh) << 32) | information.nFileIndexLow);
        readOnly.push_back({&aside.Spelling(i), attributes, information.nNumberOfLinks, file});
        ++namesAside[file];
    }
    for (const ReadOnlyName& name : readOnly) {
        if (name.names <= namesAside[name.file]) {
            SetFileAttributesW(LongPathForm(*name.path).c_str(), WithoutReadOnly(name.attributes));
        }
    }
}

// What was moved aside and is still in use (this run's, or an earlier run's
// that is still loaded) is deleted at the next restart, together with the
// folders left holding it up to the backup folder, deepest first; a folder
// goes then only when it is empty. Each such file gets a line, once a run:
// left holds those already left, and gets the new ones. Nothing is waited
// for: a loaded library stays in use until its program ends.
void LeaveInUseForRestart(const std::wstring& backupDir, const std::wstring& asideDir,
                          std::vector<std::wstring>& left) {
    if (!IsOwnFolder(asideDir)) return;
    _DeleteTree(asideDir, 1);
    FileList inUse;
    if (_EnumFiles(asideDir, 1, inUse) != S_OK) return;
    ClearReadOnlyOfNamesAsideOnly(inUse);
    std::vector<std::wstring> folders;
    bool more = false;
    for (size_t i = 0; i < inUse.Size(); ++i) {
        const std::wstring& file = inUse.Spelling(i);
        if (std::find(left.begin(), left.end(), file) != left.end()) continue;
        more = true;
        left.push_back(file);
        const bool scheduled = MoveFileExW(LongPathForm(file).c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
        const std::wstring outcome = scheduled ? L"In use, deleted at the next restart: "
                                               : L"In use, left in place (deleting it at the next restart was refused): ";
        LogLine((outcome + file).c_str());
    }
    if (!more) return;
    // The folders of every file left, after the files, so that each is empty
    // when its turn comes at the restart.
    for (const std::wstring& file : left) {
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

// Removes a journal (or the attribute record) once what it protects is on
// the disk. False when it is still there.
bool RemoveJournalFile(const std::wstring& journal, FilesInUse& inUse) {
    const std::wstring name = LongPathForm(journal);
    const DWORD error =
        inUse.Retry([&name]() -> DWORD { return DeleteFileW(name.c_str()) ? ERROR_SUCCESS : GetLastError(); });
    return error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// The journal's entries checked against the folders they pass through: the
// path of the first one that is a link or mount point, empty when none is.
std::wstring FirstLinkIn(const CopyRecord& plan, const std::wstring& programDir) {
    std::unordered_set<std::wstring> checked;
    for (const CopyRecord::Target& target : plan.targets) {
        std::wstring link = FirstLinkOnTheWay(programDir, target.path, checked);
        if (!link.empty()) return link;
    }
    for (const std::wstring& folder : plan.folders) {
        std::wstring link = FirstLinkOnTheWay(programDir, folder + L"\\*", checked);
        if (!link.empty()) return link;
    }
    return {};
}

// An interrupted run's journal; its copy is nullopt when there is none, it
// is cut, or it names a path the tool never writes; then it is no journal.
// One that cannot be read (held without sharing) has readable false. One
// through a link or mount point (throughLink) is not followed either.
struct JournalFound {
    bool exists = false;
    bool readable = false;
    bool throughLink = false;
    std::optional<JournaledCopy> copy;
};
JournalFound FindJournal(const std::wstring& journal, const std::wstring& programDir) {
    JournalFound found;
    if (!PathExists(journal)) return found;
    found.exists = true;
    const std::optional<std::wstring> text = ReadJournal(journal);
    if (!text) return found;
    found.readable = true;
    found.copy = ParseJournal(*text, programDir);
    // A path through a link or mount point was never written by the tool:
    // followed, it would change what lies outside the product.
    if (found.copy) {
        const std::wstring link = FirstLinkIn(found.copy->plan, programDir);
        if (!link.empty()) {
            LogLine((L"Journal not followed, it names a path through a link or mount point: " + link).c_str());
            found.throughLink = true;
            found.copy.reset();
        }
    }
    return found;
}

FileIdentity IdentityOf(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(file, &information)) return {};
    return {information.dwVolumeSerialNumber,
            (static_cast<ULONGLONG>(information.nFileIndexHigh) << 32) | information.nFileIndexLow};
}

FileHandle OpenForAttributes(const std::wstring& path) {
    return FileHandle(CreateFileW(LongPathForm(path).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

// Puts the recorded bits back on every path that still names the file they
// were recorded for and has lost them.
void RestoreRecordedAttributes(const std::wstring& programDir, const std::wstring& record) {
    const std::optional<std::wstring> text = ReadJournal(record);
    if (!text) return;
    const std::optional<std::vector<RecordedAttributes>> files = ParseAttributeRecord(*text);
    if (!files) return;
    std::unordered_set<std::wstring> checked;
    for (const RecordedAttributes& file : *files) {
        const std::wstring path = programDir + L'\\' + file.path;
        const DWORD attributes = FileAttributesOf(path);
        // The tool records no path through a link, nor a link: such a record
        // would change a file outside the product.
        if (attributes == INVALID_FILE_ATTRIBUTES ||
            (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ||
            (attributes & file.attributes & kBlockingAttributes) == (file.attributes & kBlockingAttributes) ||
            !FirstLinkOnTheWay(programDir, path, checked).empty()) {
            continue;
        }
        FileIdentity identity;
        {
            const FileHandle opened = OpenForAttributes(path);
            if (!opened) continue;
            identity = IdentityOf(opened.Get());
        }
        if (identity == file.file) SetFileAttributesW(LongPathForm(path).c_str(), file.attributes);
    }
}

}  // namespace

UpdateExchange::UpdateExchange(const ToolPaths& context, VolumeFlush flushVolume, Pause pause, MakeLink makeLink)
    : context_(context),
      programDir_(context.programDir),
      backupDir_(programDir_ + L'\\' + kBackupFolderName),
      stagingDir_(programDir_ + L'\\' + kStagingFolderName),
      flushVolume_(std::move(flushVolume)),
      makeLink_(std::move(makeLink)),
      inUse_(AsideFolderOf(backupDir_), std::move(pause)) {}

bool UpdateExchange::FinishInterruptedStaging() {
    const std::wstring journal = InJournalFolder(backupDir_, kStagedJournalFileName);
    const JournalFound found = FindJournal(journal, programDir_);
    if (!found.exists) return true;
    // Cut, or not to be followed: nothing was staged under its names.
    if (found.readable && !found.copy) return RemoveJournalFile(journal, inUse_);
    if (!found.copy || !RemoveStagedFiles(found.copy->plan, found.copy->plan.targets.size(), &inUse_)) {
        LogLine(L"Restore rux from rux\\updatetemp Fail");
        return false;
    }
    return RemoveJournalFile(journal, inUse_);
}

// Puts the product back from the backup when an earlier run left a journal
// with its end mark: that run was ended during its switch, or before its
// rollback was done. False when something could not be put back; the backup
// keeps its journal then, so that the next run tries again.
bool UpdateExchange::FinishInterruptedSwitch() {
    // A backup folder that is a link was never made by the exchange.
    if (!IsOwnFolder(backupDir_)) return true;
    const std::wstring journal = InJournalFolder(backupDir_, kJournalFileName);
    const JournalFound found = FindJournal(journal, programDir_);
    if (!found.exists) return true;
    // A cut journal was being written when the run ended: nothing had been changed yet.
    if (found.readable && !found.copy && !found.throughLink) return true;
    // One that cannot be read (held without sharing), or that names a path
    // through a folder made a link since, guards its backup all the same: the
    // product may be half new, and the backup holds its old files.
    if (!found.copy ||
        _UndoCopyFileList(found.copy->backupNames, backupDir_, found.copy->plan, &inUse_, makeLink_) != S_OK) {
        LogLine(L"Restore rux from rux\\updatetemp Fail");
        return false;
    }
    LogLine(L"Restore rux from rux\\updatetemp after an interrupted update");
    flushVolume_(programDir_);
    return RemoveJournalFile(journal, inUse_);
}

// The read-only product files, recorded before the old backup's names go
// (deleting a name clears its file's bit for a moment) and before any rename
// clears a target's bit. Where the record cannot be written, nothing can be
// put back after such a moment, but the update goes on.
void UpdateExchange::RecordReadOnlyFiles(const FileList& product) {
    const std::wstring record = InJournalFolder(backupDir_, kAttributesFileName);
    RestoreRecordedAttributes(programDir_, record);
    std::vector<RecordedAttributes> readOnly;
    for (size_t i = 0; i < product.Size(); ++i) {
        const DWORD attributes = product.Attributes(i);
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY)) continue;
        const FileHandle file = OpenForAttributes(programDir_ + L'\\' + product.Spelling(i));
        if (!file) continue;
        readOnly.push_back({product.Spelling(i), attributes, IdentityOf(file.Get())});
    }
    if (readOnly.empty()) {
        DeleteFileW(LongPathForm(record).c_str());
        return;
    }
    CreateDirectoryW(LongPathForm(JournalFolderOf(backupDir_)).c_str(), nullptr);
    WriteJournal(record, FormatAttributeRecord(readOnly));
}

bool UpdateExchange::StageFiles() {
    FileList product;
    // A product folder that cannot be listed ends the update here.
    if (!ListUpdateFiles(programDir_, context_, product)) return false;
    LeaveOut(product, kBackupFolderName);
    CreateDirectoryW(LongPathForm(backupDir_).c_str(), nullptr);
    if (!IsOwnFolder(backupDir_)) return false;
    RecordReadOnlyFiles(product);

    if (!ListUpdateFiles(stagingDir_, context_, updateList_)) return false;
    // A staged file below updatetemp\ would be copied into the backup, over
    // the old version of the product file of the same relative path, which a
    // rollback then could not put back.
    LeaveOut(updateList_, kBackupFolderName);
    plan_ = _PlanCopyFileList(updateList_, programDir_);
    const std::wstring link = FirstLinkIn(plan_, programDir_);
    if (!link.empty()) {
        LogLine((L"Not written through a link or mount point: " + link).c_str());
        LogLine(L"Copy file rux\\reupdate to rux\\ Fail");
        return false;
    }
    // A staged file where the product has a folder could never be renamed there.
    if (std::any_of(plan_.targets.begin(), plan_.targets.end(), [](const CopyRecord::Target& target) {
            return target.existed && target.attributes != INVALID_FILE_ATTRIBUTES &&
                   (target.attributes & FILE_ATTRIBUTE_DIRECTORY);
        })) {
        LogLine(L"Copy file rux\\reupdate to rux\\ Fail");
        return false;
    }
    AssignTemporaryNames(plan_);
    // The journal names every file before it is written.
    CreateDirectoryW(LongPathForm(JournalFolderOf(backupDir_)).c_str(), nullptr);
    const std::wstring journal = InJournalFolder(backupDir_, kStagedJournalFileName);
    if (!WriteJournal(journal, FormatJournal(plan_, programDir_))) {
        LogLine(L"Write rux\\updatetemp\\update\\staged.txt Fail");
        return false;
    }
    journaled_ = true;
    if (_StageFileList(updateList_, programDir_, stagingDir_, plan_, staged_, &inUse_) != S_OK) {
        LogLine(L"Copy file rux\\reupdate to rux\\ Fail");
        Abandon();
        return false;
    }
    readyToSwitch_ = true;
    return true;
}

bool UpdateExchange::Stage() {
    begun_ = true;
    if (!FinishInterruptedStaging()) return false;
    // The product is put back first, and only while it is down.
    if (IsOwnFolder(backupDir_) && PathExists(InJournalFolder(backupDir_, kJournalFileName))) {
        stageFirst_ = true;
        return true;
    }
    return StageFiles();
}

void UpdateExchange::Abandon() {
    if (journaled_ && RemoveStagedFiles(plan_, staged_, &inUse_)) {
        journaled_ = !RemoveJournalFile(InJournalFolder(backupDir_, kStagedJournalFileName), inUse_);
    }
    staged_ = 0;
    readyToSwitch_ = false;
}

bool UpdateExchange::Switch() {
    if (stageFirst_) {
        if (!FinishInterruptedSwitch() || !StageFiles()) return false;
        stageFirst_ = false;
    }
    if (!readyToSwitch_) return false;
    // The product ran while its files were staged: one of its programs may
    // have made or removed a target since. The backup, the renames and a
    // rollback go by what is there now that it is down.
    const bool targetsChanged = TakeTargetsAsTheyAre();
    // The old backup goes, but for its journal's folder: what this run has
    // staged and recorded lies there.
    _DeleteTree(backupDir_, 1, &inUse_, kJournalFolderName);
    // The backup: a second name of each file the switch replaces, under its
    // entry's text, made now that nothing of the product runs, so that it
    // holds each file as the product left it. The tool appends to its run log
    // all along and holds it without delete sharing: a second name of it
    // could not be deleted while the tool runs. It is copied, as every file
    // once was.
    std::wstring runLog = kRunLogName;
    AsciiLowercase(runLog);
    FileList backupList;
    FileList copiedList;
    for (size_t i = 0; i < plan_.targets.size(); ++i) {
        const CopyRecord::Target& target = plan_.targets[i];
        if (!target.existed) continue;
        FileList& list = updateList_.At(i) == runLog ? copiedList : backupList;
        list.Append(updateList_.At(i), target.path.substr(programDir_.size() + 1));
    }
    // The backup names the product's own files: it takes no copy and no room,
    // and holds the old versions as long as nothing writes into a product file.
    if (_CopyFileList(backupList, backupDir_, programDir_, nullptr, Placement::Link, &inUse_, makeLink_) != S_OK ||
        _CopyFileList(copiedList, backupDir_, programDir_, nullptr, Placement::Overwrite, &inUse_) != S_OK) {
        LogLine(L"Copy file rux to rux\\updatetemp Fail");
        Abandon();
        return false;
    }
    // The backup goes to the disk, then the journal of all that the switch
    // may change, before the switch changes any of it.
    flushVolume_(programDir_);
    const std::wstring journal = InJournalFolder(backupDir_, kJournalFileName);
    const std::wstring stagedJournal = InJournalFolder(backupDir_, kStagedJournalFileName);
    // staged.txt becomes the journal; where it no longer tells the targets as
    // they are, the journal is written anew first. A run ended in between
    // leaves both: the next one removes the staged files, and finds the
    // product whole and old.
    const bool journalWritten =
        targetsChanged ? WriteJournal(journal, FormatJournal(plan_, programDir_)) &&
                             RemoveJournalFile(stagedJournal, inUse_)
                       : MoveFileExW(LongPathForm(stagedJournal).c_str(), LongPathForm(journal).c_str(),
                                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
    if (!journalWritten) {
        LogLine(L"Write rux\\updatetemp\\update\\journal.txt Fail");
        Abandon();
        return false;
    }
    readyToSwitch_ = false;
    journaled_ = false;
    CopyRecord switched = plan_;
    const size_t movedBefore = inUse_.Moved().size();
    if (_SwitchFileList(updateList_, backupDir_, plan_, switched.copied, &inUse_) != S_OK) {
        LogLine(L"Copy file rux\\reupdate to rux\\ Fail");
        // A half-refreshed product would be backed up as it is by the next
        // run, losing the old files: put it back. The backup stays either
        // way, and keeps its journal while the product is not whole.
        if (_UndoCopyFileList(updateList_, backupDir_, switched, &inUse_, makeLink_) == S_OK) {
            flushVolume_(programDir_);
            RemoveJournalFile(journal, inUse_);
        } else {
            LogLine(L"Restore rux from rux\\updatetemp Fail");
        }
        LeaveInUseForRestart(backupDir_, inUse_.AsideDir(), leftForRestart_);
        return false;
    }
    // What the switch changed goes to the disk before its journal goes. A
    // journal that cannot be removed keeps the backup: the next run puts the
    // old files back and updates again. The product is whole and new now, so
    // the update goes on.
    flushVolume_(programDir_);
    switched_ = RemoveJournalFile(journal, inUse_);
    if (switched_) MoveAsideBackupNamesInUse(movedBefore);
    LeaveInUseForRestart(backupDir_, inUse_.AsideDir(), leftForRestart_);
    return true;
}

// Takes each target's existence and attributes as they are now. True when
// a target was made or removed since the plan.
bool UpdateExchange::TakeTargetsAsTheyAre() {
    bool changed = false;
    for (CopyRecord::Target& target : plan_.targets) {
        const DWORD attributes = FileAttributesOf(target.path);
        const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
        if (exists != target.existed) changed = true;
        target.existed = exists;
        target.attributes = attributes;
    }
    return changed;
}

// An old file that the switch moved aside is in use (a loaded library, a
// running program): so is the backup's name of it, which could not be
// deleted with the backup. It is moved aside now, so that both names are
// left for the restart at once.
void UpdateExchange::MoveAsideBackupNamesInUse(size_t movedBefore) {
    const std::vector<std::wstring>& moved = inUse_.Moved();
    if (moved.size() == movedBefore) return;
    std::unordered_set<std::wstring> movedTargets;
    for (size_t i = movedBefore; i < moved.size(); ++i) {
        std::wstring path = moved[i];
        AsciiLowercase(path);
        movedTargets.insert(std::move(path));
    }
    for (size_t i = 0; i < plan_.targets.size(); ++i) {
        std::wstring target = plan_.targets[i].path;
        AsciiLowercase(target);
        if (plan_.targets[i].existed && movedTargets.count(target) != 0) {
            inUse_.MoveAside(backupDir_ + L'\\' + updateList_.At(i));
        }
    }
}

void UpdateExchange::Finish() {
    if (!begun_) return;
    const std::wstring journalDir = JournalFolderOf(backupDir_);
    if (switched_) {
        // The journal's removal reaches the disk before the backup's does.
        flushVolume_(programDir_);
        _DeleteTree(backupDir_, 1, &inUse_, kJournalFolderName);
    }
    // What was moved aside is deleted where it can be: a name of a read-only
    // product file's old file among it clears the bit of the file's other
    // names for a moment, so the record stays until then.
    LeaveInUseForRestart(backupDir_, inUse_.AsideDir(), leftForRestart_);
    // The record of read-only files goes once no name of one is deleted any
    // more; one that a rollback left to finish keeps it for the next run.
    if (!PathExists(InJournalFolder(backupDir_, kJournalFileName)) &&
        RemoveJournalFile(InJournalFolder(backupDir_, kAttributesFileName), inUse_) && switched_) {
        // Whatever an earlier tool left beside the journal.
        _DeleteTree(journalDir, 1, &inUse_, kAsideFolderName);
    }
    switched_ = false;
    // Folders left empty.
    RemoveDirectoryW(LongPathForm(journalDir).c_str());
    RemoveDirectoryW(LongPathForm(backupDir_).c_str());
}

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
    if (wcslen(context.programDir) < 4) return false;
    LogLine(L"_DoCopyAndDelFile");
    UpdateExchange exchange(context, flushVolume, pause, makeLink);
    const bool exchanged = exchange.Stage() && exchange.Switch();
    exchange.Finish();
    return exchanged;
}

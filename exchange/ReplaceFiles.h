#pragma once
// The exchange's own passes over the product folder: the staged files put in
// place by renames, and a failed pass put back from the backup.

#include <string>

#include "filetree/FileList.h"
#include "filetree/FileTree.h"
#include "filetree/HeldFiles.h"

// The update's own pass: every listed file of sourceDir reaches destDir as a
// new file, never written into an existing one, which may share its data
// with the backup in backupDir (where each lies under its entry's text). It
// is copied beside its target under TemporaryNameOf(target) and renamed over
// it (MoveFileExW with MOVEFILE_REPLACE_EXISTING), so that the target holds
// the whole old file or the whole new one at every instant. A target's
// read-only bit, which Windows' rename refuses to replace, is cleared just
// before the rename and put back on the backup's name of the old file. A
// target in use that can be renamed (a loaded library) is moved aside with
// inUse first (exchange/FilesInUse.h). The new file keeps the source's
// attributes. plan is the pass's plan (_PlanCopyFileList, made just before,
// nothing changed in destDir since): its targets are taken as they are,
// without looking at each again. record is filled as _CopyFileList fills it.
HRESULT _ReplaceFileList(const FileList& list, const std::wstring& destDir, const std::wstring& sourceDir,
                         const std::wstring& backupDir, const CopyRecord& plan, CopyRecord& record,
                         HeldFiles* inUse = nullptr);
// The name beside target under which _ReplaceFileList and _UndoCopyFileList
// make its new file before renaming it over target.
std::wstring TemporaryNameOf(const std::wstring& target);
// Puts the destination of a failed pass back as it was: each replaced file
// gets the backup's file again (in backupDir under its entry's text), through
// a new name of that file (or, where a link is refused, a copy) made beside
// it and renamed over it, so that the backup stays whole; added files, and
// what a pass left under a temporary name, are removed, and created folders.
// E_FAIL when a changed file could not be put back or an added one removed;
// everything else is undone all the same. Targets past record.copied may
// never have been reached: one that is still the backup's file, or matches
// it, is left as it is (with its backup's read-only, hidden and system bits
// in the second case), a folder too. inUse as for _ReplaceFileList; an added
// file in use is moved aside. makeLink as for _CopyFileList.
HRESULT _UndoCopyFileList(const FileList& list, const std::wstring& backupDir, const CopyRecord& record,
                          HeldFiles* inUse = nullptr, const MakeLink& makeLink = CreateHardLinkOnce);

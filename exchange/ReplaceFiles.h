#pragma once
// The exchange's own passes over the product folder. No product file is ever
// written into, since the backup may share its data: each staged file is
// written beside its target under a temporary name first (_StageFileList),
// while nothing of the product changes, then renamed over the target
// (_SwitchFileList), so that the target holds the whole old file or the
// whole new one at every instant. A failed switch is put back from the
// backup (_UndoCopyFileList).

#include <string>
#include <unordered_set>

#include "filetree/FileList.h"
#include "filetree/FileTree.h"
#include "filetree/HeldFiles.h"

// Temporary names are "zelunst-<n>.new" (or "zelunst-<n>-<k>.new"), n the
// entry's place in the pass: short enough beside a name of 255 characters.
inline constexpr wchar_t kTemporaryNamePrefix[] = L"zelunst-";
inline constexpr wchar_t kTemporaryNameSuffix[] = L".new";

// Gives each target of a plan (_PlanCopyFileList) its temporary name in its
// own folder: one that no file has yet, and that no target of the plan has
// and no folder the plan makes.
void AssignTemporaryNames(CopyRecord& plan);

// The first folder on the way from baseDir (excluded) to path's own folder
// that is a reparse point (a junction, a symbolic link, a mount point);
// empty when there is none. Folders found plain are added to checked, which
// a caller keeps over many paths so that each folder is looked at once.
std::wstring FirstLinkOnTheWay(const std::wstring& baseDir, const std::wstring& path,
                               std::unordered_set<std::wstring>& checked);

// Writes each listed file of sourceDir to its target's temporary name in
// destDir (plan as made by _PlanCopyFileList and AssignTemporaryNames, with
// nothing changed since), making the plan's missing folders; an existing file
// is never written into. Files held for a moment are waited for with inUse.
// staged: how many entries, from the first on, may have left a file under
// their temporary name (the failing one included when it made one).
HRESULT _StageFileList(const FileList& list, const std::wstring& destDir, const std::wstring& sourceDir,
                       const CopyRecord& plan, size_t& staged, HeldFiles* inUse = nullptr);
// Renames each staged file over its target (MoveFileExW, over an existing
// target with MOVEFILE_REPLACE_EXISTING). A target's read-only bit, which
// Windows' rename refuses to replace, is cleared just before the rename and
// put back on the backup's name of the old file (in backupDir under its
// entry's text). A target in use that can be renamed (a loaded library) is
// moved aside with inUse first; while the staged file itself is held, the
// rename waits. switched: how many entries, from the first on, were renamed.
HRESULT _SwitchFileList(const FileList& list, const std::wstring& backupDir, const CopyRecord& plan,
                        size_t& switched, HeldFiles* inUse = nullptr);
// Removes what the first count entries left under their temporary names, and
// the plan's folders that are empty then. False when a file could not be
// removed.
bool RemoveStagedFiles(const CopyRecord& plan, size_t count, HeldFiles* inUse = nullptr);

// Puts the destination of a failed switch back as it was: each replaced file
// gets the backup's file again (in backupDir under its entry's text), through
// a new name of that file (or, where a link is refused, a copy) made under
// its temporary name and renamed over it, so that the backup stays whole;
// added files, what was left under a temporary name, and the folders the
// pass created go. E_FAIL when a changed file could not be put back or an
// added one removed; everything else is undone all the same. Targets past
// record.copied may never have been reached: one that is still the backup's
// file, or matches it, is left as it is (with its backup's read-only, hidden
// and system bits in the second case), a folder too. inUse as for
// _SwitchFileList; an added file in use is moved aside. makeLink as for
// _CopyFileList.
HRESULT _UndoCopyFileList(const FileList& list, const std::wstring& backupDir, const CopyRecord& record,
                          HeldFiles* inUse = nullptr, const MakeLink& makeLink = CreateHardLinkOnce);

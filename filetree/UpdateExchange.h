#pragma once
// Replaces the product's files in place with the staged ones in "reupdate",
// keeping a backup in "updatetemp" while it works. When a staged file cannot
// be copied, the product folder is put back as it was and the backup kept.
// Staged files below reupdate\updatetemp\ are not copied: they would land in
// the backup.

#include <string>

#include "filetree/FileList.h"

struct ToolPaths;

bool _DoCopyAndDelFile(const ToolPaths& context);
// Drops (and lowercases) the entries under the fixed exclusions for baseDir.
bool _FilterUpdateFiles(FileList& list, const ToolPaths& context, const std::wstring& baseDir);

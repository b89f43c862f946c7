#pragma once
// Replaces the product's files in place with the staged ones in "reupdate",
// keeping a backup in "updatetemp" while it works. When a staged file cannot
// be copied, the product folder is put back as it was and the backup kept.
// Staged files below reupdate\updatetemp\ are not copied: they would land in
// the backup.
//
// While the staged copy runs, a journal beside the backup names what it may
// change (filetree/ExchangeJournal.h). A run that was ended in the middle
// (killed, crashed, a power cut) leaves it behind, and the next exchange
// first puts the product back from that backup; only then is the backup
// deleted. A backup that has a journal is never deleted.

#include <functional>
#include <string>

#include "filetree/FileList.h"

struct ToolPaths;

bool _DoCopyAndDelFile(const ToolPaths& context);
// The same with the volume flush handed in (FlushVolumeOf for the real one),
// so that a test can see what is on the disk each time it is asked for. Its
// result is not looked at: where it is refused the exchange goes on.
using VolumeFlush = std::function<void(const std::wstring& folder)>;
bool _DoCopyAndDelFile(const ToolPaths& context, const VolumeFlush& flushVolume);
// Drops (and lowercases) the entries under the fixed exclusions for baseDir.
bool _FilterUpdateFiles(FileList& list, const ToolPaths& context, const std::wstring& baseDir);

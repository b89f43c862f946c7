#pragma once
// Replaces the product's files in place with the staged ones in "reupdate",
// keeping a backup in "updatetemp" while it works: a second name (hard link)
// of every product file, or a copy where the volume refuses links. No
// product file is ever written into while the backup may share its data:
// each staged file is renamed over its target (exchange/ReplaceFiles.h,
// _ReplaceFileList). When a staged file cannot be placed, the product folder
// is put back as it was, by new names of the backup's files, and the backup
// kept.
// Staged files below reupdate\updatetemp\ are not copied: they would land in
// the backup.
//
// While the staged copy runs, a journal beside the backup names what it may
// change (exchange/ExchangeJournal.h). A run that was ended in the middle
// (killed, crashed, a power cut) leaves it behind, and the next exchange
// first puts the product back from that backup; only then is the backup
// deleted. A backup that has a journal is never deleted.
//
// A file that another program holds for a moment is waited for; a product
// file in use that can be renamed (a loaded library) is moved aside into
// updatetemp\update\inuse\ and the new one put under its name
// (exchange/FilesInUse.h). What was moved aside and is still in use when the
// exchange ends is left for the next restart (MOVEFILE_DELAY_UNTIL_REBOOT),
// with the folders holding it, and each such file gets a line in the log.

#include <functional>
#include <string>

#include "exchange/FilesInUse.h"
#include "filetree/FileList.h"
#include "filetree/FileTree.h"

struct ToolPaths;

bool _DoCopyAndDelFile(const ToolPaths& context);
// The same with the volume flush (FlushVolumeOf for the real one), the pause
// for files in use (Sleep) and the making of links (CreateHardLinkOnce)
// handed in, so that a test can see what is on the disk each time a flush is
// asked for, every pause, and a backup where links are refused. The flush's
// result is not looked at: where it is refused the exchange goes on.
using VolumeFlush = std::function<void(const std::wstring& folder)>;
bool _DoCopyAndDelFile(const ToolPaths& context, const VolumeFlush& flushVolume, const Pause& pause,
                       const MakeLink& makeLink = CreateHardLinkOnce);
// Drops (and lowercases) the entries under the fixed exclusions for baseDir.
bool _FilterUpdateFiles(FileList& list, const ToolPaths& context, const std::wstring& baseDir);

#pragma once
// The journal of the update's staged copy: what the copy may change in the
// product folder. It is written beside the backup once the backup is whole,
// before the copy changes anything, and removed once the copy is complete or
// undone. A run that finds one left behind knows that the product may be half
// old, half new, and puts it back from the backup.
//
// Plain text for an administrator to read (UTF-16 with a byte-order mark, so
// that any file name comes through; CR LF lines), one entry a line, paths
// relative to the product folder:
//
//   zelunst update journal
//   replace Main.dll      a file that existed; its old copy is the backup's main.dll
//   add data\new.dat      a file the copy may add
//   folder data           a folder the copy may create
//   end 3                 the end mark, with the number of entries
//
// A journal without its end mark was cut while it was written, before the
// copy had changed anything: it is no journal.

#include <optional>
#include <string>

#include "filetree/FileList.h"
#include "filetree/FileTree.h"

// A staged copy as its journal tells it.
struct JournaledCopy {
    CopyRecord plan;       // targets and folders as full paths below the product folder; copied 0
    FileList backupNames;  // per target, the name its old file has in the backup
};

// The journal's text for the plan of a copy into destDir (every path of the
// plan lies below destDir).
std::wstring FormatJournal(const CopyRecord& plan, const std::wstring& destDir);
// The copy a journal's text tells, its paths put below destDir; nullopt for a
// text that is cut, or holds a line or a path the tool never writes (one that
// would reach outside destDir among them).
std::optional<JournaledCopy> ParseJournal(const std::wstring& text, const std::wstring& destDir);

// Writes the journal write-through and flushes it to the disk. False when any
// of that fails; no journal is left then.
bool WriteJournal(const std::wstring& path, const std::wstring& text);
// The journal's text; nullopt when there is none or it cannot be read.
std::optional<std::wstring> ReadJournal(const std::wstring& path);

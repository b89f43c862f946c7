#pragma once
// The journal of the update's exchange: what it may change in the product
// folder. It is written as staged.txt before the staged files are written
// beside their targets; renamed journal.txt once the backup is whole, before
// the switch changes anything; removed once the switch is complete or undone.
// A run that finds staged.txt left behind removes the files it names under
// temporary names; one that finds journal.txt knows that the product may be
// half old, half new, and puts it back from the backup.
//
// Plain text for an administrator to read (UTF-16 with a byte-order mark, so
// that any file name comes through; CR LF lines), one entry a line, paths
// relative to the product folder, each file's temporary name after a tab:
//
//   zelunst update journal
//   replace Main.dll<TAB>zelunst-0.new   a file that existed; its old version is the backup's main.dll
//   add data\new.dat<TAB>zelunst-1.new   a file the switch may add
//   folder data                         a folder the staged files may need
//   end 3                               the end mark, with the number of entries
//
// A journal without its end mark was cut while it was written, before
// anything had been changed: it is no journal. An entry without a temporary
// name was written by the tool before it chose free names: its file used the
// target's name with ".zelunst-new" appended.

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "filetree/FileList.h"
#include "filetree/FileTree.h"

// A staged copy as its journal tells it.
struct JournaledCopy {
    // Targets, their temporary names and folders as full paths below the
    // product folder; copied 0.
    CopyRecord plan;
    FileList backupNames;  // per target, the name its old file has in the backup
};

// The journal's text for the plan of a copy into destDir (every path of the
// plan lies below destDir).
std::wstring FormatJournal(const CopyRecord& plan, const std::wstring& destDir);
// The copy a journal's text tells, its paths put below destDir; nullopt for a
// text that is cut, or holds a line or a path the tool never writes (one that
// would reach outside destDir among them).
std::optional<JournaledCopy> ParseJournal(const std::wstring& text, const std::wstring& destDir);

// The read-only product files, each with its attributes and the identity of
// its file, recorded before any step may clear a bit: deleting a read-only
// name clears the bit of the file, so of its other names too, for a moment,
// and a run ended in that moment would leave them writable. The next run puts
// each bit back on the path that still names the same file, unless that path
// is a link or passes through one.
//
//   zelunst update attributes
//   00000001 1234abcd 0000000000001f2e Data\Ro.dat   attributes, volume serial, file index, path
//   end 1
struct FileIdentity {
    DWORD volumeSerial = 0;
    ULONGLONG fileIndex = 0;
    bool operator==(const FileIdentity& other) const {
        return volumeSerial == other.volumeSerial && fileIndex == other.fileIndex;
    }
};
struct RecordedAttributes {
    std::wstring path;  // relative to the product folder
    DWORD attributes;
    FileIdentity file;
};
std::wstring FormatAttributeRecord(const std::vector<RecordedAttributes>& files);
// nullopt for a text that is cut or holds what the tool never writes.
std::optional<std::vector<RecordedAttributes>> ParseAttributeRecord(const std::wstring& text);

// Writes the journal write-through and flushes it to the disk. False when any
// of that fails; no journal is left then.
bool WriteJournal(const std::wstring& path, const std::wstring& text);
// The journal's text; nullopt when there is none or it cannot be read.
std::optional<std::wstring> ReadJournal(const std::wstring& path);

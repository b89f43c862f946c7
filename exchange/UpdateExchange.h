#pragma once
// Replaces the product's files in place with the staged ones in "reupdate",
// keeping a backup in "updatetemp" while it works: a second name (hard link)
// of each product file the update replaces, or a copy where the volume
// refuses links; the files it does not replace are left alone. No
// product file is ever written into while the backup may share its data
// (exchange/ReplaceFiles.h). Staged files below reupdate\updatetemp\ are not
// copied: they would land in the backup.
//
// Three steps, so that the product need be down only for the middle one:
// - Stage: each staged file is written beside its target under a temporary
//   name that no file has, while nothing of the product changes. A failure
//   here leaves nothing of what was written.
// - Switch: the backup's names are made, and each staged file is renamed
//   over its target. When a rename fails, the product folder is put back as
//   it was, by new names of the backup's files, and the backup kept.
// - Finish: the backup is deleted.
//
// A journal beside the backup names what the steps may change
// (exchange/ExchangeJournal.h), written before they change it. A run that was
// ended in the middle (killed, crashed, a power cut) leaves it behind, and
// the next exchange first removes what that run staged, or puts the product
// back from its backup; only then is the backup deleted. A backup that has a
// journal is never deleted. The read-only product files are recorded before
// anything may clear a bit, and the next run puts back what a run ended in
// that moment left cleared.
//
// Nothing is written below a folder of the product that is a link or a mount
// point: an update whose staged files would land there fails in its Stage,
// and an interrupted run's journal that names such a path is not followed
// (one of the switch keeps its backup, and the switch fails).
//
// A file that another program holds for a moment is waited for; a product
// file, or a backup's name of one, that is in use and can be renamed (a
// loaded library, a running program) is moved aside into
// updatetemp\update\inuse\ (exchange/FilesInUse.h). What was moved aside and
// is still in use when the exchange ends is left for the next restart
// (MOVEFILE_DELAY_UNTIL_REBOOT), with the folders holding it, and each such
// file gets a line in the log.

#include <functional>
#include <string>
#include <vector>

#include "exchange/FilesInUse.h"
#include "filetree/FileList.h"
#include "filetree/FileTree.h"

struct ToolPaths;

// Has the volume of a folder written out; FlushVolumeOf for the real one.
// Its result is not looked at: where it is refused the exchange goes on.
using VolumeFlush = std::function<void(const std::wstring& folder)>;

class UpdateExchange {
public:
    // flushVolume, pause (for files in use) and makeLink are handed in, so
    // that a test can see what is on the disk each time a flush is asked for,
    // every pause, and a backup where links are refused.
    UpdateExchange(const ToolPaths& context, VolumeFlush flushVolume, Pause pause,
                   MakeLink makeLink = CreateHardLinkOnce);
    UpdateExchange(const UpdateExchange&) = delete;
    UpdateExchange& operator=(const UpdateExchange&) = delete;

    // Writes the staged files beside their targets. True when they are
    // written, or when an interrupted run's switch must be put back first
    // (the switch then stages too). False, with its lines logged, when a file
    // cannot be written or a target lies below a link; nothing is left then.
    bool Stage();
    // Makes the backup and puts the staged files in place. False, with its
    // lines logged, when the backup cannot be made (nothing changed) or a
    // staged file cannot be put in place (the product put back).
    bool Switch();
    // Deletes the backup of a successful switch, and leaves what is still in
    // use for the next restart. After a failure only the latter; nothing
    // before Stage.
    void Finish();
    // Removes the staged files, and their journal, of a run that ends before
    // its switch.
    void Abandon();

private:
    bool FinishInterruptedStaging();
    bool FinishInterruptedSwitch();
    bool StageFiles();
    void RecordReadOnlyFiles(const FileList& product);
    bool TakeTargetsAsTheyAre();
    void MoveAsideBackupNamesInUse(size_t movedBefore);

    const ToolPaths& context_;
    const std::wstring programDir_;
    const std::wstring backupDir_;
    const std::wstring stagingDir_;
    const VolumeFlush flushVolume_;
    const MakeLink makeLink_;
    FilesInUse inUse_;
    FileList updateList_;
    CopyRecord plan_;
    size_t staged_ = 0;        // entries that may have a file under their temporary name
    bool begun_ = false;       // Stage has run
    bool journaled_ = false;   // this run wrote staged.txt
    bool stageFirst_ = false;  // an interrupted switch is put back before staging
    bool readyToSwitch_ = false;
    bool switched_ = false;
    std::vector<std::wstring> leftForRestart_;  // files logged as left for the restart
};

// The whole exchange at once: the line "_DoCopyAndDelFile", Stage, Switch and
// Finish. Its flush is FlushVolumeOf, its pause Sleep.
bool _DoCopyAndDelFile(const ToolPaths& context);
bool _DoCopyAndDelFile(const ToolPaths& context, const VolumeFlush& flushVolume, const Pause& pause,
                       const MakeLink& makeLink = CreateHardLinkOnce);
// Drops (and lowercases) the entries under the fixed exclusions for baseDir.
bool _FilterUpdateFiles(FileList& list, const ToolPaths& context, const std::wstring& baseDir);

#pragma once
// Files that other programs hold while the update works on them. A virus
// scanner, a search indexer or a backup agent opens a freshly written file
// for a moment; a program outside the product keeps one of the product's
// libraries loaded (as the desktop shell keeps a shell extension).
//
// - An operation whose file is in use (ERROR_SHARING_VIOLATION,
//   ERROR_LOCK_VIOLATION, ERROR_ACCESS_DENIED) is tried again after a growing
//   pause: 50 ms, doubling up to 1 s, for at most 10 s per file and 30 s per
//   run in all.
// - A file that cannot be written or deleted but can be renamed (a loaded
//   library) is moved out of the way, into a numbered folder of its own below
//   the aside folder, and is then only something to delete. Nothing waits for
//   it: it is in use until the program that loaded it ends.

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "filetree/HeldFiles.h"

// The pauses of one run, whatever the files.
class HeldFileWaits {
public:
    static constexpr DWORD kFirstPauseMs = 50;
    static constexpr DWORD kLongestPauseMs = 1000;
    static constexpr DWORD kPerFileMs = 10000;
    static constexpr DWORD kPerRunMs = 30000;

    explicit HeldFileWaits(Pause pause) : pause_(std::move(pause)) {}

    // Calls attempt, which returns ERROR_SUCCESS or a Win32 error, until it
    // succeeds, fails otherwise than with a file in use, or the pauses for
    // this file or this run are spent. Its last result.
    DWORD Retry(const std::function<DWORD()>& attempt);
    // The pauses taken so far in this run.
    DWORD SpentMs() const { return spentMs_; }

private:
    Pause pause_;
    DWORD spentMs_ = 0;
};

// How one run's file operations meet files in use: its pauses, and the folder
// that files in use are moved aside into.
class FilesInUse final : public HeldFiles {
public:
    FilesInUse(std::wstring asideDir, Pause pause)
        : waits_(std::move(pause)), asideDir_(std::move(asideDir)) {}

    DWORD Retry(const std::function<DWORD()>& attempt) override { return waits_.Retry(attempt); }
    // Moves the file at path to <aside folder>\<n>\<its name>, n the first
    // number whose folder does not exist yet (the aside folder is made when
    // missing). ERROR_SUCCESS, or the error of the rename: a folder, or a file
    // held without delete sharing, stays where it is.
    DWORD MoveAside(const std::wstring& path) override;
    // Whether path lies below the aside folder (compared without regard to
    // case): a file there was moved aside because it is in use and is not
    // waited for.
    bool IsAside(const std::wstring& path) const override;
    const std::wstring& AsideDir() const { return asideDir_; }
    // The paths moved aside so far, as they were named before.
    const std::vector<std::wstring>& Moved() const { return moved_; }

private:
    HeldFileWaits waits_;
    std::wstring asideDir_;
    std::vector<std::wstring> moved_;
    unsigned nextSlot_ = 1;
};

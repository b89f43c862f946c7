#include "exchange/FilesInUse.h"

#include <algorithm>

#include "base/Paths.h"

namespace {

// More numbered folders than any run leaves: past it something is wrong.
constexpr unsigned kMostAsideSlots = 100000;

}  // namespace

DWORD HeldFileWaits::Retry(const std::function<DWORD()>& attempt) {
    for (DWORD waitedMs = 0;;) {
        const DWORD error = attempt();
        if (error == ERROR_SUCCESS || !IsInUseError(error)) return error;
        // Each pause as long as the first and all before it together: 50,
        // 100, 200, 400, 800 ms, then 1 s each, until the file's or the run's
        // time is spent.
        const DWORD pause = std::min({waitedMs + kFirstPauseMs, kLongestPauseMs, kPerFileMs - waitedMs,
                                      kPerRunMs - spentMs_});
        if (pause == 0) return error;
        pause_(pause);
        waitedMs += pause;
        spentMs_ += pause;
    }
}

DWORD FilesInUse::MoveAside(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(LongPathForm(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return GetLastError();
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return ERROR_DIRECTORY;
    if (!CreateDirectoryChain(asideDir_)) return GetLastError();
    const std::wstring name = path.substr(path.rfind(L'\\') + 1);
    for (; nextSlot_ <= kMostAsideSlots; ++nextSlot_) {
        // A folder of its own: an earlier run may have left a file of the
        // same name aside that is still in use.
        const std::wstring slot = asideDir_ + L'\\' + std::to_wstring(nextSlot_);
        if (!CreateDirectoryW(LongPathForm(slot).c_str(), nullptr)) {
            const DWORD error = GetLastError();
            if (error != ERROR_ALREADY_EXISTS) return error;
            // One left empty (by a run ended in the middle of a move) is
            // taken; one that holds a file is not.
            const std::wstring folder = LongPathForm(slot);
            if (!RemoveDirectoryW(folder.c_str()) || !CreateDirectoryW(folder.c_str(), nullptr)) continue;
        }
        if (MoveFileExW(LongPathForm(path).c_str(), LongPathForm(slot + L'\\' + name).c_str(), 0)) {
            ++nextSlot_;
            moved_.push_back(path);
            return ERROR_SUCCESS;
        }
        const DWORD error = GetLastError();
        RemoveDirectoryW(LongPathForm(slot).c_str());
        return error;
    }
    return ERROR_CANNOT_MAKE;
}

bool FilesInUse::IsAside(const std::wstring& path) const {
    const size_t length = asideDir_.size();
    return path.size() > length && path[length] == L'\\' &&
           CompareStringOrdinal(path.c_str(), static_cast<int>(length), asideDir_.c_str(), static_cast<int>(length),
                                TRUE) == CSTR_EQUAL;
}

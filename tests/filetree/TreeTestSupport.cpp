#include "tests/filetree/TreeTestSupport.h"

#include <algorithm>
#include <cwchar>

#include "exchange/UpdateExchange.h"
#include "filetree/FileTree.h"
#include "tests/support/TestSupport.h"

namespace treetest {

namespace {

// C:\zt\x -> $WINEPREFIX/drive_c/zt/x
std::wstring UnixPathOnDriveC(const std::wstring& path) {
    wchar_t prefix[1024] = {};
    GetEnvironmentVariableW(L"WINEPREFIX", prefix, 1024);
    std::wstring unixPath = std::wstring(prefix) + L"/drive_c/" + path.substr(3);
    for (wchar_t& unit : unixPath) {
        if (unit == L'\\') unit = L'/';
    }
    return unixPath;
}

// folders, when given, gets every folder met.
void SnapshotInto(const std::wstring& folder, const std::wstring& relative, Files& files, Paths* folders) {
    WIN32_FIND_DATAW entry;
    FindHandle find(FindFirstFileW((folder + L"\\*").c_str(), &entry));
    if (!find) return;
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring path = relative.empty() ? name : relative + L"\\" + name;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
                if (folders != nullptr) folders->push_back(path);
                SnapshotInto(folder + L"\\" + name, path, files, folders);
            }
        } else if (folders == nullptr) {
            files[path] = zeltest::ReadBytes(folder + L"\\" + name);
        }
    } while (FindNextFileW(find.Get(), &entry));
}

}  // namespace

namespace {

// Runs a Unix program with its arguments as they stand (paths already in
// Unix form) and waits until done() holds: start.exe hands the program over
// and returns before it has run. False when it could not be started, or
// done() still fails after 10 s.
bool RunUnixUntil(const std::wstring& programAndArguments, const std::function<bool()>& done) {
    const zeltest::ProcessResult result = zeltest::RunCommand(L"start.exe /unix " + programAndArguments);
    if (!result.started || result.exitCode != 0) return false;
    for (int attempt = 0; attempt < 200; ++attempt) {
        if (done()) return true;
        Sleep(50);
    }
    return false;
}

}  // namespace

bool MakeUnixLink(const std::wstring& target, const std::wstring& linkPath) {
    return RunUnixUntil(L"/bin/ln -s \"" + UnixPathOnDriveC(target) + L"\" \"" + UnixPathOnDriveC(linkPath) + L"\"",
                        [&linkPath] { return GetFileAttributesW(linkPath.c_str()) != INVALID_FILE_ATTRIBUTES; });
}

TmpfsMount::TmpfsMount(const std::wstring& folder, ULONGLONG bytes) : folder_(folder) {
    CreateDirectoryChain(folder);
    mounted_ = RunUnixUntil(L"/bin/mount -t tmpfs -o size=" + std::to_wstring(bytes) + L" tmpfs \"" +
                                UnixPathOnDriveC(folder) + L"\"",
                            [&] { return FreeBytes(folder) == bytes; });
}

TmpfsMount::~TmpfsMount() {
    if (!mounted_) return;
    const ULONGLONG bytes = FreeBytes(folder_);
    RunUnixUntil(L"/bin/umount \"" + UnixPathOnDriveC(folder_) + L"\"", [&] { return FreeBytes(folder_) != bytes; });
}

ULONGLONG FreeBytes(const std::wstring& folder) {
    ULARGE_INTEGER free{};
    return GetDiskFreeSpaceExW((folder + L"\\").c_str(), &free, nullptr, nullptr) ? free.QuadPart : 0;
}

Paths Entries(const FileList& list) { return {list.begin(), list.end()}; }

FileList ListOf(const Paths& entries) {
    FileList list;
    for (const std::wstring& entry : entries) list.Append(entry);
    return list;
}

Files Snapshot(const std::wstring& folder) {
    Files files;
    SnapshotInto(folder, L"", files, nullptr);
    return files;
}

Paths Folders(const std::wstring& folder) {
    Files unused;
    Paths folders;
    SnapshotInto(folder, L"", unused, &folders);
    std::sort(folders.begin(), folders.end());
    return folders;
}

void WriteFiles(const std::wstring& dir, const Files& files) {
    for (const auto& [path, content] : files) zeltest::WriteText(dir + L"\\" + path, content);
}

ToolPaths PathsFor(const std::wstring& programDir, const wchar_t* programFile) {
    ToolPaths paths;
    wcscpy_s(paths.programDir, programDir.c_str());
    wcscpy_s(paths.programFile, programFile);
    return paths;
}

Paths StagedCopyOrder(const std::wstring& productDir) {
    const std::wstring staging = productDir + L"\\reupdate";
    FileList list;
    if (_EnumFiles(staging, 1, list) != S_OK) return {};
    _FilterUpdateFiles(list, PathsFor(productDir), staging);
    if (_MakeRelative(staging, list) != S_OK) return {};
    return Entries(list);
}

Tree TreeOf(const std::wstring& dir, const std::function<bool(const std::wstring&)>& leftOut) {
    Tree tree;
    for (auto& [path, content] : Snapshot(dir)) {
        if (!leftOut(path)) tree.files.emplace(path, content);
    }
    for (const std::wstring& folder : Folders(dir)) {
        if (!leftOut(folder)) tree.folders.push_back(folder);
    }
    return tree;
}

void PrintTo(const Tree& tree, std::ostream* out) {
    for (const auto& [path, content] : tree.files) *out << "\n  " << ToUtf8(path) << " = " << content;
    for (const std::wstring& folder : tree.folders) *out << "\n  " << ToUtf8(folder) << "\\";
}

std::wstring StoredName(const std::wstring& path) {
    WIN32_FIND_DATAW entry;
    FindHandle find(FindFirstFileW(path.c_str(), &entry));
    return find ? std::wstring(entry.cFileName) : std::wstring();
}

FileHandle Hold(const std::wstring& path, DWORD access, DWORD share) {
    return FileHandle(CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr));
}

}  // namespace treetest

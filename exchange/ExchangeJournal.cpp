#include "exchange/ExchangeJournal.h"

#include <windows.h>

#include <cstring>

#include "base/Files.h"
#include "base/Handles.h"
#include "base/Paths.h"
#include "base/Text.h"

namespace {

constexpr wchar_t kHeader[] = L"zelunst update journal";
constexpr wchar_t kReplace[] = L"replace ";
constexpr wchar_t kAdd[] = L"add ";
constexpr wchar_t kFolder[] = L"folder ";
constexpr wchar_t kEnd[] = L"end ";
constexpr wchar_t kByteOrderMark = 0xFEFF;

bool StartsWith(const std::wstring& line, const wchar_t* prefix) {
    return line.compare(0, std::wcslen(prefix), prefix) == 0;
}

// A path the journal may name: relative, below the product folder, with no
// empty, "." or ".." step and nothing a file name cannot hold.
bool IsPlainRelativePath(const std::wstring& path) {
    if (path.empty() || path.front() == L'\\' || path.back() == L'\\') return false;
    size_t stepStart = 0;
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != L'\\') {
            if (path[i] < L' ' || path[i] == L'/' || path[i] == L':') return false;
            continue;
        }
        const std::wstring_view step(path.data() + stepStart, i - stepStart);
        if (step.empty() || step == L"." || step == L"..") return false;
        stepStart = i + 1;
    }
    return true;
}

// The path below destDir that a plan holds, relative to it.
std::wstring RelativeTo(const std::wstring& destDir, const std::wstring& path) {
    return path.substr(destDir.size() + 1);
}

}  // namespace

std::wstring FormatJournal(const CopyRecord& plan, const std::wstring& destDir) {
    std::wstring text;
    text += kByteOrderMark;
    text += kHeader;
    text += L"\r\n";
    for (const CopyRecord::Target& target : plan.targets) {
        text += target.existed ? kReplace : kAdd;
        text += RelativeTo(destDir, target.path);
        text += L"\r\n";
    }
    for (const std::wstring& folder : plan.folders) {
        text += kFolder;
        text += RelativeTo(destDir, folder);
        text += L"\r\n";
    }
    text += kEnd;
    text += std::to_wstring(plan.targets.size() + plan.folders.size());
    text += L"\r\n";
    return text;
}

std::optional<JournaledCopy> ParseJournal(const std::wstring& text, const std::wstring& destDir) {
    JournaledCopy copy;
    const std::wstring base = destDir + L'\\';
    size_t lineStart = text.empty() || text.front() != kByteOrderMark ? 0 : 1;
    bool headerSeen = false;
    while (lineStart < text.size()) {
        const size_t lineEnd = text.find(L"\r\n", lineStart);
        // The last line is cut when it has no line end.
        if (lineEnd == std::wstring::npos) return std::nullopt;
        const std::wstring line = text.substr(lineStart, lineEnd - lineStart);
        lineStart = lineEnd + 2;
        if (!headerSeen) {
            if (line != kHeader) return std::nullopt;
            headerSeen = true;
            continue;
        }
        if (StartsWith(line, kEnd)) {
            const std::wstring count = std::to_wstring(copy.plan.targets.size() + copy.plan.folders.size());
            if (line.substr(std::wcslen(kEnd)) != count || lineStart != text.size()) return std::nullopt;
            return copy;
        }
        const bool replace = StartsWith(line, kReplace);
        const bool add = StartsWith(line, kAdd);
        const bool folder = StartsWith(line, kFolder);
        if (!replace && !add && !folder) return std::nullopt;
        const std::wstring path = line.substr(line.find(L' ') + 1);
        if (!IsPlainRelativePath(path)) return std::nullopt;
        if (folder) {
            copy.plan.folders.push_back(base + path);
            continue;
        }
        copy.plan.targets.push_back({base + path, replace});
        std::wstring backupName = path;
        AsciiLowercase(backupName);
        copy.backupNames.Append(std::move(backupName));
    }
    return std::nullopt;
}

bool WriteJournal(const std::wstring& path, const std::wstring& text) {
    const std::wstring file = LongPathForm(path);
    bool written = false;
    {
        const FileHandle journal(CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr));
        if (!journal) return false;
        const DWORD size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
        DWORD done = 0;
        written = WriteFile(journal.Get(), text.data(), size, &done, nullptr) && done == size &&
                  FlushFileBuffers(journal.Get());
    }
    if (!written) DeleteFileW(file.c_str());
    return written;
}

std::optional<std::wstring> ReadJournal(const std::wstring& path) {
    const std::optional<std::string> bytes = ReadWholeFile(path);
    if (!bytes) return std::nullopt;
    // A journal cut in the middle of a unit loses that unit.
    std::wstring text(bytes->size() / sizeof(wchar_t), L'\0');
    std::memcpy(text.data(), bytes->data(), text.size() * sizeof(wchar_t));
    return text;
}

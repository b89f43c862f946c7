#include "exchange/ExchangeJournal.h"

#include <windows.h>

#include <cstring>

#include "base/Files.h"
#include "base/Handles.h"
#include "base/Paths.h"
#include "base/Text.h"

namespace {

constexpr wchar_t kHeader[] = L"zelunst update journal";
constexpr wchar_t kAttributesHeader[] = L"zelunst update attributes";
constexpr wchar_t kReplace[] = L"replace ";
constexpr wchar_t kAdd[] = L"add ";
constexpr wchar_t kFolder[] = L"folder ";
constexpr wchar_t kEnd[] = L"end ";
constexpr wchar_t kByteOrderMark = 0xFEFF;
// What the tool wrote before it chose free temporary names.
constexpr wchar_t kEarlierTemporarySuffix[] = L".zelunst-new";

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

// A file name alone: no folder, nothing a file name cannot hold.
bool IsPlainName(const std::wstring& name) {
    return !name.empty() && name.find(L'\\') == std::wstring::npos && IsPlainRelativePath(name);
}

// The lines of a text with a header and an end mark that counts them: each
// entry line is handed to take, which returns false for one the tool never
// writes. False for a text that is cut or holds such a line.
template <typename Take>
bool ReadEntries(const std::wstring& text, const wchar_t* header, Take take) {
    size_t lineStart = text.empty() || text.front() != kByteOrderMark ? 0 : 1;
    bool headerSeen = false;
    size_t entries = 0;
    while (lineStart < text.size()) {
        const size_t lineEnd = text.find(L"\r\n", lineStart);
        // The last line is cut when it has no line end.
        if (lineEnd == std::wstring::npos) return false;
        const std::wstring line = text.substr(lineStart, lineEnd - lineStart);
        lineStart = lineEnd + 2;
        if (!headerSeen) {
            if (line != header) return false;
            headerSeen = true;
            continue;
        }
        if (StartsWith(line, kEnd)) {
            return line.substr(std::wcslen(kEnd)) == std::to_wstring(entries) && lineStart == text.size();
        }
        if (!take(line)) return false;
        ++entries;
    }
    return false;
}

// Appends value as digits lowercase hexadecimal digits and a space.
void AppendHex(std::wstring& text, ULONGLONG value, int digits) {
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) text += L"0123456789abcdef"[(value >> shift) & 0xF];
    text += L' ';
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
        text += L'\t';
        text += target.temporary.substr(target.temporary.rfind(L'\\') + 1);
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
    const bool read = ReadEntries(text, kHeader, [&](const std::wstring& line) {
        const bool replace = StartsWith(line, kReplace);
        const bool add = StartsWith(line, kAdd);
        const bool folder = StartsWith(line, kFolder);
        if (!replace && !add && !folder) return false;
        const std::wstring entry = line.substr(line.find(L' ') + 1);
        const size_t tab = entry.find(L'\t');
        const std::wstring path = entry.substr(0, tab);
        if (!IsPlainRelativePath(path)) return false;
        if (folder) {
            if (tab != std::wstring::npos) return false;
            copy.plan.folders.push_back(base + path);
            return true;
        }
        CopyRecord::Target target{base + path, replace, INVALID_FILE_ATTRIBUTES, {}};
        if (tab == std::wstring::npos) {
            target.temporary = target.path + kEarlierTemporarySuffix;
        } else {
            const std::wstring name = entry.substr(tab + 1);
            if (!IsPlainName(name)) return false;
            target.temporary = target.path.substr(0, target.path.rfind(L'\\') + 1) + name;
        }
        copy.plan.targets.push_back(std::move(target));
        std::wstring backupName = path;
        AsciiLowercase(backupName);
        copy.backupNames.Append(std::move(backupName));
        return true;
    });
    if (!read) return std::nullopt;
    return copy;
}

std::wstring FormatAttributeRecord(const std::vector<RecordedAttributes>& files) {
    std::wstring text;
    text += kByteOrderMark;
    text += kAttributesHeader;
    text += L"\r\n";
    for (const RecordedAttributes& file : files) {
        AppendHex(text, file.attributes, 8);
        AppendHex(text, file.file.volumeSerial, 8);
        AppendHex(text, file.file.fileIndex, 16);
        text += file.path;
        text += L"\r\n";
    }
    text += kEnd;
    text += std::to_wstring(files.size());
    text += L"\r\n";
    return text;
}

std::optional<std::vector<RecordedAttributes>> ParseAttributeRecord(const std::wstring& text) {
    std::vector<RecordedAttributes> files;
    const bool read = ReadEntries(text, kAttributesHeader, [&](const std::wstring& line) {
        // Three fixed-width hexadecimal numbers, each followed by a space.
        constexpr size_t kPathStart = 8 + 1 + 8 + 1 + 16 + 1;
        if (line.size() <= kPathStart || line[8] != L' ' || line[17] != L' ' || line[34] != L' ') return false;
        const auto hex = [&line](size_t start, size_t length, ULONGLONG& value) {
            value = 0;
            for (size_t i = start; i < start + length; ++i) {
                const wchar_t c = line[i];
                const int digit = c >= L'0' && c <= L'9' ? c - L'0' : c >= L'a' && c <= L'f' ? c - L'a' + 10 : -1;
                if (digit < 0) return false;
                value = value * 16 + static_cast<ULONGLONG>(digit);
            }
            return true;
        };
        ULONGLONG attributes = 0;
        ULONGLONG serial = 0;
        RecordedAttributes file;
        if (!hex(0, 8, attributes) || !hex(9, 8, serial) || !hex(18, 16, file.file.fileIndex)) return false;
        file.attributes = static_cast<DWORD>(attributes);
        file.file.volumeSerial = static_cast<DWORD>(serial);
        file.path = line.substr(kPathStart);
        if (!IsPlainRelativePath(file.path)) return false;
        files.push_back(std::move(file));
        return true;
    });
    if (!read) return std::nullopt;
    return files;
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

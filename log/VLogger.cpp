#include "log/VLogger.h"

#include <direct.h>
#include <time.h>

#include <cwchar>

#include "base/Paths.h"
#include "base/Text.h"

namespace {

// "2026-12-07 09:05:02 | ", the local time of now; empty when it cannot be
// read. The C runtime's clock, which needs no heap once it has read the time
// zone (the first line of a run does that).
FixedText TimeStamp() {
    FixedText stamp;
    __time64_t now = _time64(nullptr);
    tm local{};
    if (_localtime64_s(&local, &now) != 0) return stamp;
    stamp << static_cast<unsigned long>(local.tm_year + 1900) << L"-";
    stamp.Decimal(static_cast<unsigned long>(local.tm_mon + 1), 2) << L"-";
    stamp.Decimal(static_cast<unsigned long>(local.tm_mday), 2) << L" ";
    stamp.Decimal(static_cast<unsigned long>(local.tm_hour), 2) << L":";
    stamp.Decimal(static_cast<unsigned long>(local.tm_min), 2) << L":";
    stamp.Decimal(static_cast<unsigned long>(local.tm_sec), 2) << L" | ";
    return stamp;
}

// One byte per character: Latin-1 as itself, anything above as '?'.
char LogByte(wchar_t unit) { return unit <= 0xFF ? static_cast<char>(unit) : '?'; }

}  // namespace

LogFile::~LogFile() { Flush(); }

void LogFile::Open(const wchar_t* path, ULONGLONG truncateAtBytes) {
    {
        // Opened for writing without sharing writes: refused while another
        // process has the file open for writing.
        const FileHandle alone(
            CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        sharedWithAnotherWriter_ = !alone && GetLastError() == ERROR_SHARING_VIOLATION;
        LARGE_INTEGER size{};
        if (alone && GetFileSizeEx(alone.Get(), &size) && static_cast<ULONGLONG>(size.QuadPart) >= truncateAtBytes) {
            SetEndOfFile(alone.Get());  // at offset 0, where the file was opened
        }
    }
    // FILE_APPEND_DATA without FILE_WRITE_DATA makes every write go to the
    // end of the file as it is then, in one piece.
    file_.Reset(CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    failed_ = !file_;
}

void LogFile::Close() {
    Flush();
    file_.Reset();
    failed_ = true;
}

void LogFile::Put(const wchar_t* text, size_t count) {
    if (failed_) return;
    for (size_t i = 0; i < count; ++i) {
        if (text[i] == L'\n') {
            pending_ += "\r\n";
        } else {
            pending_ += LogByte(text[i]);
        }
    }
}

void LogFile::Flush() {
    if (failed_ || pending_.empty()) return;
    WriteNow(pending_.data(), pending_.size());
    pending_.clear();
}

void LogFile::WriteNow(const char* bytes, size_t count) {
    while (!failed_ && count > 0) {
        DWORD written = 0;
        if (!WriteFile(file_.Get(), bytes, static_cast<DWORD>(count), &written, nullptr) || written == 0) {
            failed_ = true;
            break;
        }
        bytes += written;
        count -= written;
    }
}

VLogger::VLogger(LogStart start) {
    _ChangeToProgramDir();
    if (start == LogStart::Open) Open(kRunLogName);
}

VLogger::VLogger(const wchar_t* logPath) { Open(logPath); }

void VLogger::Open(const wchar_t* path) {
    stream.Open(path, kTruncateAtBytes);
    if (stream.SharedWithAnotherWriter()) MarkLinesOf(GetCurrentProcessId());
}

void VLogger::ReopenAs(DWORD markedProcessId) {
    stream.Open(kRunLogName, MAXULONGLONG);
    MarkLinesOf(markedProcessId);
}

void VLogger::MarkLinesOf(DWORD processId) {
    markedProcess = processId;
    runMark = processId == 0 ? std::wstring() : L"process " + std::to_wstring(processId) + L": ";
}

VLogger::~VLogger() { stream.Flush(); }

void VLogger::DropUnfinishedLine() {
    stream.Discard();
    noTimestamp = false;
}

void VLogger::_ChangeToProgramDir() {
    std::wstring path = ModulePath();
    const size_t lastBackslash = path.rfind(L'\\');
    if (lastBackslash == std::wstring::npos) return;
    path.resize(lastBackslash);
    // A drive root needs its backslash: "C:" alone names the drive's current folder.
    if (path.size() == 2 && path[1] == L':') path += L'\\';
    _wchdir(path.c_str());
}

void VLogger::WriteTime() {
    if (stream.Failed()) return;
    const FixedText stamp = TimeStamp();
    stream.Put(stamp.Text(), stamp.Length());
}

void VLogger::WriteLineNow(const wchar_t* text) {
    if (stream.Failed()) return;
    FixedText line = TimeStamp();
    line << runMark.c_str() << text;
    char bytes[FixedText::kRoom + 2];
    size_t count = 0;
    for (; count < line.Length(); ++count) bytes[count] = LogByte(line.Text()[count]);
    bytes[count++] = '\r';
    bytes[count++] = '\n';
    stream.WriteNow(bytes, count);
}

void VLogger::Insert(const wchar_t* text, size_t count) {
    const bool lineStart = stream.AtLineStart();
    if (!noTimestamp) WriteTime();
    if (lineStart) stream.Put(runMark.data(), runMark.size());
    stream.Put(text, count);
    noTimestamp = false;
}

VLogger& VLogger::operator<<(VLogManip code) {
    switch (code) {
    case NoTime:
        noTimestamp = true;
        break;
    case LastError: {
        const std::wstring text = L"[" + std::to_wstring(GetLastError()) + L"]";
        stream.Put(text.data(), text.size());
        break;
    }
    case EndLine:
        noTimestamp = false;
        stream.Put(L"\n", 1);
        stream.Flush();
        break;
    default:
        break;
    }
    return *this;
}

VLogger& VLogger::operator<<(long value) { return *this << std::to_wstring(value); }
VLogger& VLogger::operator<<(unsigned long value) { return *this << std::to_wstring(value); }
VLogger& VLogger::operator<<(int value) { return *this << std::to_wstring(value); }
VLogger& VLogger::operator<<(unsigned int value) { return *this << std::to_wstring(value); }

VLogger& VLogger::operator<<(wchar_t ch) {
    Insert(&ch, 1);
    return *this;
}

VLogger& VLogger::operator<<(const std::wstring& text) {
    Insert(text.data(), text.size());
    return *this;
}

VLogger& VLogger::operator<<(const wchar_t* text) {
    if (text == nullptr) text = L"";
    Insert(text, wcslen(text));
    return *this;
}

void LogLine(const wchar_t* text) { runLog << text << EndLine; }

void LogLineNow(const wchar_t* text) { runLog.WriteLineNow(text); }

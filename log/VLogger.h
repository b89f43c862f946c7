#pragma once
// The run log: a line logger that stamps every insertion with the local time
// and writes ZelUnst.log in the program directory, one byte per character.

#include <windows.h>

#include <string>

#include "base/Handles.h"

// The run log's file name, in the tool's folder.
constexpr wchar_t kRunLogName[] = L"ZelUnst.log";

enum VLogManip : int {
    NoTime = 0,     // next insertion goes without the timestamp prefix
    LastError = 1,  // writes "[<GetLastError()>]" without a prefix
    EndLine = 2,    // ends the line and hands it to the operating system
};

// The log file: stores each UTF-16 unit as one ISO-8859-1 byte (a unit above
// U+00FF as '?') and every line feed as CR LF. Text is held until Flush hands
// it to the file. Once a write fails (or the file could not be opened) it
// stays failed and writes nothing more.
class LogFile {
public:
    LogFile() = default;
    ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Opens the file shared for reading and writing, for appending only, so
    // that every flush lands whole at the end, whoever else appends. A file
    // of truncateAtBytes or more is emptied first, unless another process
    // (another run of the tool) has it open for writing: its lines stay.
    void Open(const wchar_t* path, ULONGLONG truncateAtBytes);
    void Put(const wchar_t* text, size_t count);
    // Hands the text put since the last flush to the file: one write for a
    // line, which the system takes whole (a write that takes only part of it
    // is followed by one for the rest, which another writer may precede).
    void Flush();
    // Forgets the text not yet flushed, and gives its memory back.
    void Discard() { std::string().swap(pending_); }
    // Writes bytes at once, past what was put and not yet flushed (which
    // stays): no heap, no lock of the process's own.
    void WriteNow(const char* bytes, size_t count);
    bool Failed() const { return failed_; }
    // Nothing put since the last flush.
    bool AtLineStart() const { return pending_.empty(); }
    // Another process had the file open for writing when it was opened.
    bool SharedWithAnotherWriter() const { return sharedWithAnotherWriter_; }
    // Flushes and closes the file; nothing is written until it is opened again.
    void Close();

private:
    FileHandle file_;
    std::string pending_;
    bool failed_ = true;
    bool sharedWithAnotherWriter_ = false;
};

// Whether the process-wide log opens its file as the process starts.
enum class LogStart {
    Open,
    // A record keeper's: opened only for the line it writes (ReopenAs), so
    // that a run starting meanwhile does not take it for a second writer.
    LeaveClosed,
};

class VLogger {
public:
    // The process-wide log: makes the executable's folder the current
    // directory, then opens "ZelUnst.log" there unless told to leave it closed.
    explicit VLogger(LogStart start);
    // A log on an explicit file, without touching the current directory.
    explicit VLogger(const wchar_t* logPath);
    virtual ~VLogger();
    VLogger(const VLogger&) = delete;
    VLogger& operator=(const VLogger&) = delete;

    virtual VLogger& operator<<(VLogManip code);
    virtual VLogger& operator<<(long value);
    virtual VLogger& operator<<(unsigned long value);
    virtual VLogger& operator<<(int value);
    virtual VLogger& operator<<(unsigned int value);
    virtual VLogger& operator<<(wchar_t ch);
    virtual VLogger& operator<<(const std::wstring& text);
    virtual VLogger& operator<<(const wchar_t* text);

    bool Failed() const { return stream.Failed(); }
    // The process whose id this run's lines carry (see runMark); 0 when they
    // carry none.
    DWORD MarkedProcess() const { return markedProcess; }
    // Closes the log; nothing is written until ReopenAs.
    void Close() { stream.Close(); }
    // Opens ZelUnst.log in the current folder again, for another run's lines:
    // they carry that run's mark (markedProcess as MarkedProcess gave it), and
    // the file is never emptied, whatever its size.
    void ReopenAs(DWORD markedProcess);
    // Drops what was inserted since the last EndLine, so that a step cut
    // short leaves no half line behind; the next insertion starts a new line.
    void DropUnfinishedLine();
    // Writes a whole line at once, as EndLine would, without the heap and
    // without any lock of the process's own: for the report of a run whose
    // failing code may hold the heap's lock. What was inserted since the last
    // EndLine is not written. A text longer than FixedText::kRoom is cut.
    void WriteLineNow(const wchar_t* text);

    static constexpr ULONGLONG kTruncateAtBytes = 0x10000;

private:
    static void _ChangeToProgramDir();
    void WriteTime();
    void Insert(const wchar_t* text, size_t count);

    void Open(const wchar_t* path);
    void MarkLinesOf(DWORD processId);

    LogFile stream;
    bool noTimestamp = false;
    // "process <id>: " when another run had the log open for writing as this
    // one opened it (the smooth update, whose engine install is a second run
    // of the tool): every line of this run carries it after its time, so that
    // a reader can tell the two runs' lines apart. Empty otherwise.
    std::wstring runMark;
    DWORD markedProcess = 0;
};

// The one run log of the process, constructed during static initialisation.
extern VLogger runLog;

// Logs one finished line: the timestamp prefix, the text, CR LF.
void LogLine(const wchar_t* text);
// The same through VLogger::WriteLineNow: without the heap.
void LogLineNow(const wchar_t* text);

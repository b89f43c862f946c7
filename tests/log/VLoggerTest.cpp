// VLogger on an explicit file: the bytes it leaves on disk.
#include <gtest/gtest.h>

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>

#include "base/Handles.h"
#include "log/VLogger.h"
#include "tests/support/TestSupport.h"

using namespace zeltest;

namespace {

std::string Marked(const std::wstring& path) { return MarkStamps(ReadBytes(path)); }

std::wstring LogIn(const std::wstring& name) { return FreshDir(name) + L"\\ZelUnst.log"; }

// "YYYY-MM-DD HH:MM:SS" of the local time, for comparing prefixes.
std::string LocalStamp() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    char text[32];
    std::snprintf(text, sizeof(text), "%04u-%02u-%02u %02u:%02u:%02u", now.wYear, now.wMonth, now.wDay, now.wHour,
                  now.wMinute, now.wSecond);
    return text;
}

// Makes the C runtime's local time run at the given wall-clock moment (as
// seconds since 1970 read as local time) by a TZ offset, for one scope.
class LocalTimeAt {
public:
    explicit LocalTimeAt(__time64_t target) {
        const long long offset = _time64(nullptr) - target;  // seconds west of UTC
        const long long magnitude = offset < 0 ? -offset : offset;
        const std::string tz = "TZ=UTC" + std::string(offset < 0 ? "-" : "+") + std::to_string(magnitude / 3600) +
                               ":" + std::to_string(magnitude / 60 % 60) + ":" + std::to_string(magnitude % 60);
        _putenv(tz.c_str());
        _tzset();
    }
    ~LocalTimeAt() {
        _putenv("TZ=");
        _tzset();
    }
    LocalTimeAt(const LocalTimeAt&) = delete;
    LocalTimeAt& operator=(const LocalTimeAt&) = delete;
};

}  // namespace

TEST(VLoggerFormat, LinesPrefixesAndLineEnds) {
    const std::wstring path = LogIn(L"lines");
    VLogger log(path.c_str());
    ASSERT_FALSE(log.Failed());

    const std::string before = LocalStamp();
    log << L"Now, RunHandle" << EndLine;
    const std::string after = LocalStamp();
    const std::string first = ReadBytes(path);
    // The line is on disk as soon as EndLine returns, stamped with the local time.
    ASSERT_TRUE(std::regex_match(first, std::regex(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} \| Now, RunHandle\r\n)")))
        << first;
    const std::string stamp = first.substr(0, 19);
    EXPECT_TRUE(before <= stamp && stamp <= after) << before << " " << stamp << " " << after;

    log << L"first\nsecond" << EndLine;             // a line feed inside a text
    log << L"_DoCreateProcess : " << L"cmd" << EndLine;  // two insertions, two prefixes
    log << L"" << EndLine;                           // empty text: the prefix alone
    log << EndLine;                                  // nothing inserted: CR LF alone
    log << std::wstring(L"object") << L'!' << EndLine;
    log << -42L << 4294967295UL << -7 << 7u << EndLine;
    EXPECT_EQ(Marked(path),
              "<P>Now, RunHandle\r\n"
              "<P>first\r\nsecond\r\n"
              "<P>_DoCreateProcess : <P>cmd\r\n"
              "<P>\r\n"
              "\r\n"
              "<P>object<P>!\r\n"
              "<P>-42<P>4294967295<P>-7<P>7\r\n");
}

TEST(VLoggerFormat, SingleDigitFieldsAreZeroPaddedAndTheYearIsNot) {
    const std::wstring path = LogIn(L"padding");
    VLogger log(path.c_str());
    tm moment{1, 4, 3, 2, 0, 2025 - 1900, 0, 0, 0};  // 2025-01-02 03:04:01
    {
        LocalTimeAt clock(_mkgmtime64(&moment));
        log << L"padded" << EndLine;
    }
    // The second field may have moved on by a few seconds; it stays a single digit.
    const std::string bytes = ReadBytes(path);
    EXPECT_TRUE(std::regex_match(bytes, std::regex(R"(2025-01-02 03:04:0[1-9] \| padded\r\n)"))) << bytes;
}

TEST(VLoggerControls, NoTimeLastErrorAndUnknownCodes) {
    const std::wstring path = LogIn(L"controls");
    VLogger log(path.c_str());

    log << NoTime << L"bare" << L"stamped" << EndLine;     // NoTime holds for one insertion
    log << NoTime << EndLine << L"again" << EndLine;       // EndLine clears it
    SetLastError(5);
    log << L"open" << LastError << EndLine;                // right after the text, no prefix
    SetLastError(5);
    log << LastError << EndLine;                           // no prefix even at the start of a line
    SetLastError(ERROR_ACCESS_DENIED);
    log << NoTime << LastError << L"kept" << EndLine;      // LastError leaves NoTime set
    SetLastError(0xE0000001);
    log << LastError << EndLine;                           // unsigned decimal
    log << static_cast<VLogManip>(3) << static_cast<VLogManip>(-1) << L"unknown" << EndLine;
    log << NoTime << static_cast<VLogManip>(3) << static_cast<VLogManip>(-1) << L"still bare" << EndLine;
    EXPECT_EQ(Marked(path),
              "bare<P>stamped\r\n"
              "\r\n<P>again\r\n"
              "<P>open[5]\r\n"
              "[5]\r\n"
              "[5]kept\r\n"
              "[3758096385]\r\n"
              "<P>unknown\r\n"
              "still bare\r\n");
}

TEST(VLoggerFile, SizeRuleAtStart) {
    // No file: created; up to 65,535 bytes: appended to; 65,536 and more: emptied first.
    for (const long size : {-1L, 65535L, 65536L, 200000L}) {
        const std::wstring path = LogIn(L"size" + std::to_wstring(size));
        const std::string old(size < 0 ? 0 : static_cast<size_t>(size), 'x');
        if (size >= 0) WriteBytes(path, old);
        {
            VLogger log(path.c_str());
            log << L"line" << EndLine;
        }
        EXPECT_EQ(Marked(path), (size < 65536 ? old : "") + "<P>line\r\n") << size;
    }
}

TEST(VLoggerFile, SharedWhileOpenAndAppendsAfterOthers) {
    const std::wstring path = LogIn(L"shared");
    VLogger log(path.c_str());
    log << L"one" << EndLine;
    // Another process may read and write the file while the log holds it.
    {
        FileHandle other(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                     OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(other.Valid()) << GetLastError();
        DWORD written = 0;
        WriteFile(other.Get(), "other\r\n", 7, &written, nullptr);
    }
    log << L"two" << EndLine;
    EXPECT_EQ(Marked(path), "<P>one\r\nother\r\n<P>two\r\n");
}

// The smooth update's engine install is a second run on the same log: neither
// run may empty, overwrite or cut the other's lines, whether the first run
// emptied a full log or filled it past the limit itself.
TEST(VLoggerFile, TwoRunsOnOneLogKeepEachOthersLinesAndTheSecondMarksItsOwn) {
    const std::string mark = "process " + std::to_string(GetCurrentProcessId()) + ": ";
    for (const size_t size : {size_t{70000}, size_t{65000}}) {
        const std::wstring path = LogIn(L"tworuns" + std::to_wstring(size));
        const std::string old(size, 'x');
        WriteBytes(path, old);
        VLogger update(path.c_str());
        update << L"update before" << EndLine << std::wstring(1000, L'u') << EndLine;
        {
            VLogger install(path.c_str());
            install << L"install" << EndLine;
            // A report's line, written at once without the heap, past a line left unfinished.
            install << L"half";
            install.WriteLineNow(L"now");
            install.DropUnfinishedLine();
        }
        update << L"update after" << EndLine;
        EXPECT_EQ(Marked(path), (size < 65536 ? old : "") + "<P>update before\r\n<P>" + std::string(1000, 'u') +
                                    "\r\n<P>" + mark + "install\r\n<P>" + mark + "now\r\n<P>update after\r\n")
            << size;
    }
}

TEST(VLoggerFile, CharacterAboveLatin1IsAQuestionMarkAndLoggingGoesOn) {
    const std::wstring path = LogIn(L"latin1");
    VLogger log(path.c_str());
    log << L"C:\\Caf\u00e9\\\u4e2d\u6587\\x" << EndLine;
    log << L"next \u00ff\u0100" << EndLine;
    EXPECT_FALSE(log.Failed());
    EXPECT_EQ(Marked(path), "<P>C:\\Caf\xe9\\??\\x\r\n<P>next \xff?\r\n");
}

TEST(VLoggerFile, FileThatCannotBeOpenedGetsNothing) {
    // A folder that does not exist.
    const std::wstring dir = FreshDir(L"failed");
    {
        VLogger log((dir + L"\\missing\\ZelUnst.log").c_str());
        EXPECT_TRUE(log.Failed());
        log << L"lost" << 5 << L'x' << LastError << EndLine;
        EXPECT_TRUE(log.Failed());
    }
    EXPECT_FALSE(DirExists(dir + L"\\missing"));

    // A file another process holds without sharing: nothing reaches it for the
    // whole life of the log, also after the other handle is gone.
    const std::wstring path = dir + L"\\ZelUnst.log";
    WriteBytes(path, "before\r\n");
    FileHandle lock(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(lock.Valid());
    VLogger log(path.c_str());
    EXPECT_TRUE(log.Failed());
    lock.Reset();
    log << L"lost" << EndLine;
    EXPECT_TRUE(log.Failed());
    EXPECT_EQ(ReadBytes(path), "before\r\n");
}

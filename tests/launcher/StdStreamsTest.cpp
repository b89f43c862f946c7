// The tool's stream rebinding, seen from a console parent that hands it pipes
// (an installer that captures the output, `zelunst -? > file` in a console):
// stdio_probe.exe borrows this program's console as the tool does and writes
// through every way of reaching its standard handles; each line must arrive.
#include <gtest/gtest.h>

#include "base/Handles.h"
#include "tests/support/TestSupport.h"

using namespace zeltest;

namespace {

struct ProbeRun {
    bool started = false;
    DWORD exitCode = STILL_ACTIVE;
    std::string output;
    std::string error;
};

// What the pipe holds once every writer is done (never blocks).
std::string Drain(HANDLE readEnd) {
    std::string bytes;
    DWORD available = 0;
    while (PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
        std::string chunk(available, '\0');
        DWORD got = 0;
        if (!ReadFile(readEnd, chunk.data(), available, &got, nullptr) || got == 0) break;
        bytes.append(chunk, 0, got);
    }
    return bytes;
}

// One pipe whose `childEnd` the probe inherits.
struct Pipe {
    KernelHandle read;
    KernelHandle write;
    explicit Pipe(bool childReads) {
        SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
        CreatePipe(read.Put(), write.Put(), &inheritable, 65536);
        SetHandleInformation(childReads ? write.Get() : read.Get(), HANDLE_FLAG_INHERIT, 0);
    }
    HANDLE ChildEnd(bool childReads) const { return childReads ? read.Get() : write.Get(); }
};

// Starts the probe in a fresh folder (the tool's code keeps its run log beside
// the exe) and waits. With `pipes` it gets three pipes as standard handles,
// else none. DETACHED_PROCESS: a GUI child under Wine would otherwise share
// this console already and AttachConsole would refuse, where on Windows a GUI
// child starts without one.
ProbeRun RunProbe(const std::wstring& mode, bool pipes = true) {
    const std::wstring dir = FreshDir(L"stdio_" + (mode.empty() ? std::wstring(L"plain") : mode));
    CopyFromBin(L"stdio_probe.exe", dir + L"\\stdio_probe.exe");
    Pipe input(true), output(false), error(false);
    const std::string text = "first\r\nsecond\r\n";
    DWORD written = 0;
    WriteFile(input.write.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    input.write.Reset();

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    if (pipes) {
        startup.hStdInput = input.ChildEnd(true);
        startup.hStdOutput = output.ChildEnd(false);
        startup.hStdError = error.ChildEnd(false);
    }
    std::wstring commandLine = L"\"" + dir + L"\\stdio_probe.exe\" " + mode;
    PROCESS_INFORMATION info{};
    ProbeRun run;
    run.started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, DETACHED_PROCESS, nullptr,
                                 nullptr, &startup, &info) != 0;
    if (!run.started) return run;
    ProcessHandles probe(info);
    output.write.Reset();
    error.write.Reset();
    if (WaitForSingleObject(probe.process.Get(), 60000) != WAIT_OBJECT_0) TerminateProcess(probe.process.Get(), 1);
    GetExitCodeProcess(probe.process.Get(), &run.exitCode);
    run.output = Drain(output.read.Get());
    run.error = Drain(error.read.Get());
    return run;
}

// The text of the console's screen buffer, its rows joined, trailing blanks cut.
std::string ConsoleText(HANDLE screen) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(screen, &info)) return {};
    std::string text;
    std::string row(static_cast<size_t>(info.dwSize.X), ' ');
    for (SHORT y = 0; y < info.dwSize.Y; ++y) {
        DWORD got = 0;
        if (!ReadConsoleOutputCharacterA(screen, row.data(), info.dwSize.X, COORD{0, y}, &got) || got == 0) continue;
        const size_t end = row.find_last_not_of(' ', got - 1);
        if (end != std::string::npos) text += row.substr(0, end + 1) + "\n";
    }
    return text;
}

class StandardHandles : public testing::Test {
protected:
    // A console of this program's own for the probe to attach to. The
    // standard handles that report to CTest stay as they were.
    static void SetUpTestSuite() {
        const HANDLE saved[] = {GetStdHandle(STD_INPUT_HANDLE), GetStdHandle(STD_OUTPUT_HANDLE),
                                GetStdHandle(STD_ERROR_HANDLE)};
        FreeConsole();
        AllocConsole();
        SetStdHandle(STD_INPUT_HANDLE, saved[0]);
        SetStdHandle(STD_OUTPUT_HANDLE, saved[1]);
        SetStdHandle(STD_ERROR_HANDLE, saved[2]);
    }
};

}  // namespace

TEST_F(StandardHandles, ParentsPipesStayUsableAfterRebinding) {
    const ProbeRun run = RunProbe(L"");
    ASSERT_TRUE(run.started);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.output,
              "printf\r\nwprintf\r\nown-output\r\nread first\r\n"
              "std-output\r\nstartup-output\r\n"
              "child-output\r\nchild-read second\r\n");
    EXPECT_EQ(run.error, "fprintf\r\nstd-error\r\nstartup-error\r\nchild-error\r\n");
}

TEST_F(StandardHandles, StartupHandlesOutliveAStandardHandleMovedAway) {
    // Standard output now names the error pipe: the streams follow it, and the
    // output pipe the process was started with stays open for the child.
    const ProbeRun run = RunProbe(L"moved");
    ASSERT_TRUE(run.started);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.output, "startup-output\r\nchild-output\r\nchild-read second\r\n");
    EXPECT_EQ(run.error,
              "printf\r\nwprintf\r\nown-output\r\nfprintf\r\nread first\r\n"
              "std-output\r\nstd-error\r\nstartup-error\r\nchild-error\r\n");
}

TEST_F(StandardHandles, WithoutRedirectionPrintfReachesTheConsole) {
    FileHandle screen(CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(screen.Valid());
    ASSERT_TRUE(SetConsoleScreenBufferSize(screen.Get(), COORD{100, 50}));
    const ProbeRun run = RunProbe(L"console", false);
    ASSERT_TRUE(run.started);
    EXPECT_EQ(run.exitCode, 0u);
    CONSOLE_SCREEN_BUFFER_INFO info{};
    ASSERT_TRUE(GetConsoleScreenBufferInfo(screen.Get(), &info));
    EXPECT_EQ(info.dwSize.X, 80);
    EXPECT_EQ(info.dwSize.Y, 300);
    EXPECT_NE(ConsoleText(screen.Get()).find("printf\nwprintf\nown-output\n"), std::string::npos)
        << ConsoleText(screen.Get());
}

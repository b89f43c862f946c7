// "-install" and "-uninstall" run as the whole exe, in a folder of its own
// with the stand-in solution library at subsystem\zelde\zeldecs.dll. What the
// library received is read back from its record file.
#include <gtest/gtest.h>

#include "tests/support/TestSupport.h"

using namespace zeltest;

namespace {

constexpr DWORD kExitFailure = 0xFFFFFFFF;

const char kClassObjectCall[] =
    "DllGetClassObject {7E558EEF-4314-4A60-BDF6-FDBBC17DDC83} {BBC8E0A6-8D9E-4E57-880B-AFCE2BE2803B}";
const char kNoInterfaceMessage[] = "\r\nGetClassObject  IZelSolution  interface failed \r\n";

using Lines = std::vector<std::string>;

struct Sandbox {
    std::wstring dir;
    std::wstring SolutionDir() const { return dir + L"\\subsystem\\zelde"; }
    std::wstring SolutionPath() const { return SolutionDir() + L"\\zeldecs.dll"; }
};

// zelunst.exe in C:\zt\<name>, with the given build output installed as its
// solution library (none when library is empty) and the given settings.
Sandbox MakeSandbox(const std::wstring& name, const std::wstring& library = L"zeldecs.dll",
                    const std::string& settings = "") {
    Sandbox box{FreshDir(name)};
    CopyFromBin(L"zelunst.exe", box.dir + L"\\zelunst.exe");
    if (!library.empty()) CopyFromBin(library, box.SolutionPath());
    if (!settings.empty()) WriteText(box.SolutionDir() + L"\\zeldecs.settings", settings);
    return box;
}

ProcessResult RunTool(const Sandbox& box, const std::wstring& option) {
    return RunCommand(L"\"" + box.dir + L"\\zelunst.exe\" " + option);
}

// The calls the stand-in library recorded, in order.
Lines Recorded(const Sandbox& box) {
    const std::string bytes = ReadBytes(box.SolutionDir() + L"\\zeldecs.record");
    Lines lines;
    for (size_t start = 0; start < bytes.size();) {
        const size_t end = bytes.find("\r\n", start);
        if (end == std::string::npos) break;
        lines.push_back(bytes.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

// One run that obtained the interface: loaded, asked, driven, released, freed.
Lines DrivenRun(const Lines& operation) {
    Lines lines{"DLL_PROCESS_ATTACH", kClassObjectCall};
    lines.insert(lines.end(), operation.begin(), operation.end());
    lines.push_back("Release -> 0");
    lines.push_back("DLL_PROCESS_DETACH FreeLibrary");
    return lines;
}

}  // namespace

TEST(LoaderFailureTable, MissingLibraryPrintsItsFullPath) {
    for (const wchar_t* option : {L"-install", L"-uninstall"}) {
        SCOPED_TRACE(Narrow(option));
        const Sandbox box = MakeSandbox(L"missing", L"");
        const ProcessResult result = RunTool(box, option);
        ASSERT_TRUE(result.started);
        EXPECT_EQ(result.exitCode, kExitFailure);
        EXPECT_EQ(result.output, "\r\nC:\\zt\\missing\\subsystem\\zelde\\zeldecs.dll file do not exists \r\n");
        EXPECT_EQ(LogLines(box.dir), Lines{"Now, RunHandle"});
    }
}

TEST(LoaderFailureTable, LibraryThatDoesNotLoadIsReported) {
    for (const wchar_t* option : {L"-install", L"-uninstall"}) {
        SCOPED_TRACE(Narrow(option));
        const Sandbox box = MakeSandbox(L"notadll", L"");
        WriteText(box.SolutionPath(), "this text is no Windows library\r\n");
        const ProcessResult result = RunTool(box, option);
        ASSERT_TRUE(result.started);
        EXPECT_EQ(result.exitCode, kExitFailure);
        EXPECT_EQ(result.output, "\r\nLoad  C:\\zt\\notadll\\subsystem\\zelde\\zeldecs.dll file failed \r\n");
        EXPECT_EQ(LogLines(box.dir), Lines{"Now, RunHandle"});
    }
}

TEST(LoaderFailureTable, NoInterfaceIsReportedAndTheLibraryStaysLoaded) {
    for (const wchar_t* option : {L"-install", L"-uninstall"}) {
        SCOPED_TRACE(Narrow(option));
        // A library without the export.
        Sandbox box = MakeSandbox(L"noexport", L"zeldecs_noexport.dll");
        ProcessResult result = RunTool(box, option);
        ASSERT_TRUE(result.started);
        EXPECT_EQ(result.exitCode, kExitFailure);
        EXPECT_EQ(result.output, kNoInterfaceMessage);
        EXPECT_EQ(Recorded(box), (Lines{"DLL_PROCESS_ATTACH", "DLL_PROCESS_DETACH ProcessExit"}));
        EXPECT_EQ(LogLines(box.dir), Lines{"Now, RunHandle"});

        // An export that answers S_OK but hands back nothing: the pointer decides.
        box = MakeSandbox(L"nointerface", L"zeldecs.dll", "Interface=none\r\n");
        result = RunTool(box, option);
        EXPECT_EQ(result.exitCode, kExitFailure);
        EXPECT_EQ(result.output, kNoInterfaceMessage);
        EXPECT_EQ(Recorded(box), (Lines{"DLL_PROCESS_ATTACH", kClassObjectCall, "DLL_PROCESS_DETACH ProcessExit"}));
        EXPECT_EQ(LogLines(box.dir), Lines{"Now, RunHandle"});

        // The same with a failing HRESULT.
        box = MakeSandbox(L"nointerface2", L"zeldecs.dll", "Interface=none\r\nDllGetClassObject=0x80004002\r\n");
        result = RunTool(box, option);
        EXPECT_EQ(result.exitCode, kExitFailure);
        EXPECT_EQ(result.output, kNoInterfaceMessage);
    }
}

TEST(LoaderFailureTable, FailedInitializeCallsNothingElse) {
    const Sandbox install = MakeSandbox(L"initinstall", L"zeldecs.dll", "Initialize=0x80004005\r\n");
    ProcessResult result = RunTool(install, L"-install");
    EXPECT_EQ(result.exitCode, kExitFailure);
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(Recorded(install), DrivenRun({"Initialize 0"}));
    EXPECT_EQ(LogLines(install.dir), Lines{"Now, RunHandle"});

    const Sandbox uninstall = MakeSandbox(L"inituninstall", L"zeldecs.dll", "Initialize=0x8007000E\r\n");
    result = RunTool(uninstall, L"-uninstall");
    EXPECT_EQ(result.exitCode, kExitFailure);
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(Recorded(uninstall), DrivenRun({"Initialize 0"}));
    EXPECT_EQ(LogLines(uninstall.dir), (Lines{"Now, RunHandle", "Now, _DoUnInstall"}));
}

TEST(LoaderFailureTable, FailedOperationExitsWithFailureAfterUninitialize) {
    const Sandbox install = MakeSandbox(L"failinstall", L"zeldecs.dll", "Install=0x80070005\r\n");
    ProcessResult result = RunTool(install, L"-install");
    EXPECT_EQ(result.exitCode, kExitFailure);
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(Recorded(install), DrivenRun({"Initialize 0", "Install 0", "Uninitialize"}));

    const Sandbox uninstall = MakeSandbox(L"failuninstall", L"zeldecs.dll", "Uninstall=0x80004005\r\n");
    result = RunTool(uninstall, L"-uninstall");
    EXPECT_EQ(result.exitCode, kExitFailure);
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(Recorded(uninstall), DrivenRun({"Initialize 0", "Uninstall", "Uninitialize"}));
    EXPECT_EQ(LogLines(uninstall.dir), (Lines{"Now, RunHandle", "Now, _DoUnInstall"}));
}

TEST(LoaderCallOrder, InstallAndUninstallDriveTheInterfaceAndFreeIt) {
    const Sandbox install = MakeSandbox(L"install");
    ProcessResult result = RunTool(install, L"-install");
    ASSERT_TRUE(result.started);
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(Recorded(install), DrivenRun({"Initialize 0", "Install 0", "Uninitialize"}));
    EXPECT_EQ(LogLines(install.dir), Lines{"Now, RunHandle"});

    const Sandbox uninstall = MakeSandbox(L"uninstall");
    result = RunTool(uninstall, L"-uninstall");
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(Recorded(uninstall), DrivenRun({"Initialize 0", "Uninstall", "Uninitialize"}));
    EXPECT_EQ(LogLines(uninstall.dir), (Lines{"Now, RunHandle", "Now, _DoUnInstall"}));
}

TEST(LoaderCallOrder, NonNegativeResultsSucceedAndUninitializeIsIgnored) {
    // S_FALSE is a success; a failing Uninitialize does not turn the run into a failure.
    const Sandbox install = MakeSandbox(L"sfalse", L"zeldecs.dll", "Install=1\r\nUninitialize=0x80004005\r\n");
    ProcessResult result = RunTool(install, L"-install");
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(Recorded(install), DrivenRun({"Initialize 0", "Install 0", "Uninitialize"}));

    const Sandbox uninstall =
        MakeSandbox(L"sfalse2", L"zeldecs.dll", "Initialize=1\r\nUninstall=1\r\nUninitialize=0x80004005\r\n");
    result = RunTool(uninstall, L"-uninstall");
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(Recorded(uninstall), DrivenRun({"Initialize 0", "Uninstall", "Uninitialize"}));
}

// "-install" and "-uninstall" run as the whole exe, in a folder of its own
// with the stand-in solution library at subsystem\zelde\zeldecs.dll. What the
// library received is read back from its record file.
#include <gtest/gtest.h>

#include "tests/support/TestSupport.h"

using namespace zeltest;

namespace {

using Lines = std::vector<std::string>;

constexpr DWORD kExitFailure = 0xFFFFFFFF;
const wchar_t kSolutionDir[] = L"\\subsystem\\zelde";
const char kClassObjectCall[] =
    "DllGetClassObject {7E558EEF-4314-4A60-BDF6-FDBBC17DDC83} {BBC8E0A6-8D9E-4E57-880B-AFCE2BE2803B}";
const char kNoInterfaceMessage[] = "\r\nGetClassObject  IZelSolution  interface failed \r\n";
const Lines kStartOnly{"Now, RunHandle"};
const Lines kUninstallLog{"Now, RunHandle", "Now, _DoUnInstall"};

// zelunst.exe in C:\zt\<name>, with the given build output installed as its
// solution library (none when library is empty) and the given settings.
std::wstring MakeSandbox(const std::wstring& name, const std::wstring& library = L"zeldecs.dll",
                         const std::string& settings = "") {
    const std::wstring dir = FreshDir(name);
    PlaceTool(dir, library);
    if (!settings.empty()) WriteText(dir + kSolutionDir + L"\\zeldecs.settings", settings);
    return dir;
}

struct Expected {
    DWORD exitCode;
    std::string output;
    Lines recorded;  // the calls the stand-in library recorded, in order
    Lines log;
};

void ExpectRun(const std::wstring& dir, const std::wstring& option, const Expected& expected) {
    SCOPED_TRACE(ToUtf8(dir + L" " + option));
    const ProcessResult result = RunToolIn(dir, option);
    ASSERT_TRUE(result.started);
    EXPECT_EQ(result.exitCode, expected.exitCode);
    // The record keeper, when there is one, has ended with the run.
    EXPECT_FALSE(result.outlivedByAToolRun);
    EXPECT_EQ(result.output, expected.output);
    EXPECT_EQ(FileLines(dir + kSolutionDir + L"\\zeldecs.record"), expected.recorded);
    EXPECT_EQ(LogLines(dir), expected.log);
}

// One run that obtained the interface: loaded, asked, driven, released, freed.
Lines DrivenRun(const Lines& operation) {
    Lines lines{"DLL_PROCESS_ATTACH", kClassObjectCall};
    lines.insert(lines.end(), operation.begin(), operation.end());
    lines.push_back("Release -> 0");
    lines.push_back("DLL_PROCESS_DETACH FreeLibrary");
    return lines;
}

const Lines kInstallCalls = DrivenRun({"Initialize 0", "Install 0", "Uninitialize"});
const Lines kUninstallCalls = DrivenRun({"Initialize 0", "Uninstall", "Uninitialize"});

}  // namespace

TEST(LoaderFailureTable, MissingLibraryPrintsItsFullPath) {
    const std::string message = "\r\nC:\\zt\\missing\\subsystem\\zelde\\zeldecs.dll file do not exists \r\n";
    for (const wchar_t* option : {L"-install", L"-uninstall"}) {
        ExpectRun(MakeSandbox(L"missing", L""), option, {kExitFailure, message, {}, kStartOnly});
    }
    // As an agent keeps the message: a batch file's redirect, where cmd waits for a GUI program.
    const std::wstring dir = MakeSandbox(L"missing", L"");
    WriteText(dir + L"\\keep.cmd", "@\"%~dp0zelunst.exe\" -install > \"%~dp0output.txt\" 2>&1\r\n@exit /b %ERRORLEVEL%\r\n");
    const ProcessResult result = RunCommand(L"cmd.exe /d /c \"" + dir + L"\\keep.cmd\"");
    EXPECT_EQ(result.exitCode, kExitFailure);
    EXPECT_EQ(ReadBytes(dir + L"\\output.txt"), message);
    EXPECT_EQ(LogLines(dir), kStartOnly);
}

TEST(LoaderFailureTable, LibraryThatDoesNotLoadIsReported) {
    for (const wchar_t* option : {L"-install", L"-uninstall"}) {
        const std::wstring dir = MakeSandbox(L"notadll", L"");
        WriteText(dir + kSolutionDir + L"\\zeldecs.dll", "this text is no Windows library\r\n");
        ExpectRun(dir, option,
                  {kExitFailure, "\r\nLoad  C:\\zt\\notadll\\subsystem\\zelde\\zeldecs.dll file failed \r\n", {},
                   kStartOnly});
    }
}

// On an Xvfb desktop, where a "cannot find DLL" box would wait for someone to
// close it: the run must end on its own (RunToolIn's time-out ends it otherwise).
TEST(LoaderFailureTable, LibraryThatNeedsAMissingLibraryFailsWithoutABox) {
    for (const wchar_t* option : {L"-install", L"-uninstall"}) {
        ExpectRun(MakeSandbox(L"missingdep", L"zeldecs_missingdep.dll"), option,
                  {kExitFailure, "\r\nLoad  C:\\zt\\missingdep\\subsystem\\zelde\\zeldecs.dll file failed \r\n", {},
                   kStartOnly});
    }
}

TEST(LoaderFailureTable, NoInterfaceIsReportedAndTheLibraryStaysLoaded) {
    // Still loaded when the run ends itself, which runs no library's detach code.
    const Lines loadedAtExit{"DLL_PROCESS_ATTACH", kClassObjectCall};
    for (const wchar_t* option : {L"-install", L"-uninstall"}) {
        // A library without the export.
        ExpectRun(MakeSandbox(L"noexport", L"zeldecs_noexport.dll"), option,
                  {kExitFailure, kNoInterfaceMessage, {"DLL_PROCESS_ATTACH"}, kStartOnly});
        // An export that hands back no interface, with S_OK or a failure: the pointer decides.
        ExpectRun(MakeSandbox(L"nointerface", L"zeldecs.dll", "Interface=none\r\n"), option,
                  {kExitFailure, kNoInterfaceMessage, loadedAtExit, kStartOnly});
        ExpectRun(MakeSandbox(L"nointerface2", L"zeldecs.dll", "Interface=none\r\nDllGetClassObject=0x80004002\r\n"),
                  option, {kExitFailure, kNoInterfaceMessage, loadedAtExit, kStartOnly});
    }
}

TEST(LoaderFailureTable, FailedInitializeCallsNothingElse) {
    ExpectRun(MakeSandbox(L"initinstall", L"zeldecs.dll", "Initialize=0x80004005\r\n"), L"-install",
              {kExitFailure, "", DrivenRun({"Initialize 0"}), kStartOnly});
    ExpectRun(MakeSandbox(L"inituninstall", L"zeldecs.dll", "Initialize=0x8007000E\r\n"), L"-uninstall",
              {kExitFailure, "", DrivenRun({"Initialize 0"}), kUninstallLog});
}

TEST(LoaderFailureTable, FailedOperationExitsWithFailureAfterUninitialize) {
    ExpectRun(MakeSandbox(L"failinstall", L"zeldecs.dll", "Install=0x80070005\r\n"), L"-install",
              {kExitFailure, "", kInstallCalls, kStartOnly});
    ExpectRun(MakeSandbox(L"failuninstall", L"zeldecs.dll", "Uninstall=0x80004005\r\n"), L"-uninstall",
              {kExitFailure, "", kUninstallCalls, kUninstallLog});
}

TEST(LoaderCallOrder, InstallAndUninstallDriveTheInterfaceAndFreeIt) {
    ExpectRun(MakeSandbox(L"install"), L"-install", {0, "", kInstallCalls, kStartOnly});
    ExpectRun(MakeSandbox(L"uninstall"), L"-uninstall", {0, "", kUninstallCalls, kUninstallLog});
    // S_FALSE is a success; a failing Uninitialize does not turn the run into a failure.
    ExpectRun(MakeSandbox(L"sfalse", L"zeldecs.dll", "Install=1\r\nUninitialize=0x80004005\r\n"), L"-install",
              {0, "", kInstallCalls, kStartOnly});
    ExpectRun(MakeSandbox(L"sfalse2", L"zeldecs.dll", "Initialize=1\r\nUninstall=1\r\nUninitialize=0x80004005\r\n"),
              L"-uninstall", {0, "", kUninstallCalls, kUninstallLog});
    // The record keeper, told to end, ends by itself; none of its handles on the
    // run is left for a child of the library to inherit.
    const std::wstring dir = MakeSandbox(L"keeper", L"zeldecs.dll", "ReportInheritable=1\r\n");
    const ProcessResult result = RunToolTreatingItsKeeper(dir, L"-install", 60000, {});
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.keeperExitCode, 0u);
    EXPECT_EQ(FileLines(dir + kSolutionDir + L"\\zeldecs.record"),
              DrivenRun({"Initialize 0", "Inheritable handles on this process: 0", "Install 0", "Uninitialize"}));
}

// The solution library's dependency (zeldecs_missingdep.dll needs zelabsent.dll)
// comes from the library's own folder, and never from a PATH folder; what it
// loads by bare name later never comes from PATH or the current folder.
TEST(LibrarySearch, DependencyComesFromBesideTheLibraryNeverFromPath) {
    const std::wstring pathDir = FreshDir(L"onpath");
    CopyFromBin(L"zelplanted.dll", pathDir + L"\\zelabsent.dll");
    wchar_t oldPath[4096] = {};
    GetEnvironmentVariableW(L"PATH", oldPath, 4096);
    SetEnvironmentVariableW(L"PATH", (pathDir + L";" + oldPath).c_str());

    ExpectRun(MakeSandbox(L"pathdep", L"zeldecs_missingdep.dll"), L"-install",
              {kExitFailure, "\r\nLoad  C:\\zt\\pathdep\\subsystem\\zelde\\zeldecs.dll file failed \r\n", {},
               kStartOnly});
    EXPECT_FALSE(FileExists(pathDir + L"\\zelabsent.record"));

    const std::wstring dir = MakeSandbox(L"besidedep", L"zeldecs_missingdep.dll");
    CopyFromBin(L"zelplanted.dll", dir + kSolutionDir + L"\\zelabsent.dll");
    ExpectRun(dir, L"-install", {0, "", kInstallCalls, kStartOnly});
    EXPECT_EQ(FileLines(dir + kSolutionDir + L"\\zelabsent.record"),
              Lines{"attached C:\\zt\\besidedep\\subsystem\\zelde\\zelabsent.dll"});

    // A library the solution library loads by bare name at run time, from its own folder made the current
    // one, comes neither from the current folder nor (with no copy there) from the PATH folder.
    for (const bool inCurrentFolder : {true, false}) {
        const std::wstring runtime = MakeSandbox(inCurrentFolder ? L"cwdload" : L"pathload", L"zeldecs.dll",
                                                 "LoadByName=zelabsent.dll\r\n");
        if (inCurrentFolder) CopyFromBin(L"zelplanted.dll", runtime + kSolutionDir + L"\\zelabsent.dll");
        ExpectRun(runtime, L"-install",
                  {0, "", DrivenRun({"Initialize 0", "LoadLibrary zelabsent.dll error 126", "Install 0", "Uninitialize"}),
                   kStartOnly});
        EXPECT_FALSE(FileExists(runtime + kSolutionDir + L"\\zelabsent.record"));
    }
    EXPECT_FALSE(FileExists(pathDir + L"\\zelabsent.record"));
    SetEnvironmentVariableW(L"PATH", oldPath);
}

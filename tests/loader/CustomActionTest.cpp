// The tool as a Windows Installer custom action: a package runs
// "zelunst.exe -install" deferred, with "zelunst.exe -uninstall" as its
// rollback. A library that hangs fails the package at the limit, which rolls
// back, and the installer is free again: the package tried once more, with a
// library that returns, installs.
#include <gtest/gtest.h>

#include <wtypes.h>
#include <msi.h>
#include <msidefs.h>
#include <msiquery.h>

#include "tests/support/TestSupport.h"

using namespace zeltest;

namespace {

// The package at path, made with the installer's own database calls (which
// take one row at a time). No value may hold a single quote.
UINT BuildPackage(const std::wstring& path, const std::wstring& folder) {
    const std::wstring tool = L"\"" + folder + L"zelunst.exe\"";
    std::vector<std::wstring> statements = {
        L"CREATE TABLE `Property` (`Property` CHAR(72) NOT NULL, `Value` LONGCHAR NOT NULL PRIMARY KEY `Property`)",
        L"CREATE TABLE `Directory` (`Directory` CHAR(72) NOT NULL, `Directory_Parent` CHAR(72), `DefaultDir` "
        L"CHAR(255) NOT NULL PRIMARY KEY `Directory`)",
        L"CREATE TABLE `CustomAction` (`Action` CHAR(72) NOT NULL, `Type` SHORT NOT NULL, `Source` CHAR(72), "
        L"`Target` CHAR(255) PRIMARY KEY `Action`)",
        L"CREATE TABLE `InstallExecuteSequence` (`Action` CHAR(72) NOT NULL, `Condition` CHAR(255), `Sequence` "
        L"SHORT PRIMARY KEY `Action`)",
        L"INSERT INTO `Property` (`Property`,`Value`) VALUES ('ProductCode','{0E3C9E55-3B1D-4C59-9C5A-2C61F1E0A7B4}')",
        L"INSERT INTO `Property` (`Property`,`Value`) VALUES ('TARGETDIR','" + folder + L"')",
        L"INSERT INTO `Directory` (`Directory`,`DefaultDir`) VALUES ('TARGETDIR','SourceDir')",
        // Deferred (0x400) programs run in a folder (34), the second on rollback only (0x100).
        L"INSERT INTO `CustomAction` (`Action`,`Type`,`Source`,`Target`) VALUES ('Install',1058,'TARGETDIR','" +
            tool + L" -install')",
        L"INSERT INTO `CustomAction` (`Action`,`Type`,`Source`,`Target`) VALUES ('Undo',1314,'TARGETDIR','" + tool +
            L" -uninstall')",
    };
    int sequence = 0;
    for (const wchar_t* action :
         {L"CostInitialize", L"CostFinalize", L"InstallInitialize", L"Undo", L"Install", L"InstallFinalize"}) {
        statements.push_back(L"INSERT INTO `InstallExecuteSequence` (`Action`,`Sequence`) VALUES ('" +
                             std::wstring(action) + L"'," + std::to_wstring(++sequence * 100) + L")");
    }
    DeleteFileW(path.c_str());
    PMSIHANDLE database, summary;
    UINT result = MsiOpenDatabaseW(path.c_str(), MSIDBOPEN_CREATE, &database);
    for (const std::wstring& statement : statements) {
        PMSIHANDLE view;
        if (result == ERROR_SUCCESS) result = MsiDatabaseOpenViewW(database, statement.c_str(), &view);
        if (result == ERROR_SUCCESS) result = MsiViewExecute(view, 0);
    }
    // Without a package code of its own the installer refuses the package.
    if (result == ERROR_SUCCESS) result = MsiGetSummaryInformationW(database, nullptr, 1, &summary);
    if (result == ERROR_SUCCESS) {
        result = MsiSummaryInfoSetPropertyW(summary, PID_REVNUMBER, VT_LPSTR, 0, nullptr,
                                            L"{5B8F1A47-6C2E-4D0B-A3F9-8E7D16C4B250}");
    }
    if (result == ERROR_SUCCESS) result = MsiSummaryInfoPersist(summary);
    return result == ERROR_SUCCESS ? MsiDatabaseCommit(database) : result;
}

}  // namespace

TEST(CustomAction, HungEngineFailsThePackageAtTheLimitAndTheNextOneInstalls) {
    SetEngineCallTimeoutPolicy(3);
    const std::string limit = "The engine library is given at most 3 s (policy EngineCallTimeout)";
    const std::wstring dir = FreshDir(L"customaction");
    PlaceTool(dir, L"zeldecs.dll");
    MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
    const struct {
        const char* settings;
        bool installs;
        std::vector<std::string> log;  // a rollback runs -uninstall
    } packages[] = {
        {"Fault=hang\r\n", false,
         {"Now, RunHandle", limit, "The engine library has not returned from Install within 3 s", "Now, RunHandle",
          limit, "Now, _DoUnInstall"}},
        {"", true, {"Now, RunHandle", limit}},
    };
    for (const auto& package : packages) {
        SCOPED_TRACE(package.settings);
        WriteText(dir + L"\\subsystem\\zelde\\zeldecs.settings", package.settings);
        DeleteFileW(RunLogPath(dir).c_str());
        const std::wstring path = dir + L"\\engine.msi";
        ASSERT_EQ(BuildPackage(path, dir + L"\\"), UINT{ERROR_SUCCESS});
        // A failed custom action: ERROR_INSTALL_FAILURE on Windows, ERROR_FUNCTION_FAILED under Wine.
        const UINT result = MsiInstallProductW(path.c_str(), nullptr);
        EXPECT_EQ(result == ERROR_SUCCESS, package.installs) << result;
        EXPECT_EQ(LogLines(dir), package.log);
    }
}

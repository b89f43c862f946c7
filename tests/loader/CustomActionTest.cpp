// The tool as a Windows Installer custom action, as an installer runs it: a
// package writes a registry value, then runs "zelunst.exe -install" deferred,
// with "zelunst.exe -uninstall" as its rollback. A library that hangs fails the
// package at the limit, which then rolls back, and the next package installs:
// the one installation the machine runs at a time is held no longer.
#include <gtest/gtest.h>

#include <objbase.h>
#include <msi.h>
#include <msidefs.h>
#include <msiquery.h>

#include "tests/support/TestSupport.h"

using namespace zeltest;

namespace {

const std::wstring kValueKey = L"Software\\zelunst-custom-action";

std::wstring NewGuid() {
    GUID guid{};
    CoCreateGuid(&guid);
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

// The package at path, through the installer's own database calls. The values
// go into SQL literals: none may hold a single quote.
UINT BuildPackage(const std::wstring& path, const std::wstring& productCode, const std::wstring& folder) {
    const std::wstring tool = L"\"" + folder + L"zelunst.exe\"";
    std::vector<std::wstring> statements = {
        L"CREATE TABLE `Property` (`Property` CHAR(72) NOT NULL, `Value` LONGCHAR NOT NULL PRIMARY KEY `Property`)",
        L"CREATE TABLE `Directory` (`Directory` CHAR(72) NOT NULL, `Directory_Parent` CHAR(72), `DefaultDir` "
        L"CHAR(255) NOT NULL PRIMARY KEY `Directory`)",
        L"CREATE TABLE `Component` (`Component` CHAR(72) NOT NULL, `ComponentId` CHAR(38), `Directory_` CHAR(72) NOT "
        L"NULL, `Attributes` SHORT NOT NULL, `Condition` CHAR(255), `KeyPath` CHAR(72) PRIMARY KEY `Component`)",
        L"CREATE TABLE `Feature` (`Feature` CHAR(38) NOT NULL, `Feature_Parent` CHAR(38), `Title` CHAR(64), "
        L"`Description` CHAR(255), `Display` SHORT, `Level` SHORT NOT NULL, `Directory_` CHAR(72), `Attributes` SHORT "
        L"NOT NULL PRIMARY KEY `Feature`)",
        L"CREATE TABLE `FeatureComponents` (`Feature_` CHAR(38) NOT NULL, `Component_` CHAR(72) NOT NULL PRIMARY KEY "
        L"`Feature_`,`Component_`)",
        L"CREATE TABLE `Registry` (`Registry` CHAR(72) NOT NULL, `Root` SHORT NOT NULL, `Key` CHAR(255) NOT NULL, "
        L"`Name` CHAR(255), `Value` LONGCHAR, `Component_` CHAR(72) NOT NULL PRIMARY KEY `Registry`)",
        L"CREATE TABLE `CustomAction` (`Action` CHAR(72) NOT NULL, `Type` SHORT NOT NULL, `Source` CHAR(72), `Target` "
        L"CHAR(255) PRIMARY KEY `Action`)",
        L"CREATE TABLE `InstallExecuteSequence` (`Action` CHAR(72) NOT NULL, `Condition` CHAR(255), `Sequence` SHORT "
        L"PRIMARY KEY `Action`)",
    };
    // The installer's SQL inserts one row at a time.
    const auto insert = [&statements](const wchar_t* into, std::initializer_list<std::wstring> rows) {
        for (const std::wstring& row : rows) {
            statements.push_back(L"INSERT INTO " + std::wstring(into) + L" VALUES (" + row + L")");
        }
    };
    insert(L"`Property` (`Property`,`Value`)",
           {L"'ProductCode','" + productCode + L"'", L"'ProductName','zelunst custom action'",
            L"'ProductVersion','1.0.0'", L"'Manufacturer','zelunst tests'", L"'ProductLanguage','1033'",
            L"'TARGETDIR','" + folder + L"'"});
    insert(L"`Directory` (`Directory`,`DefaultDir`)", {L"'TARGETDIR','SourceDir'"});
    insert(L"`Component` (`Component`,`ComponentId`,`Directory_`,`Attributes`,`KeyPath`)",
           {L"'Value','" + NewGuid() + L"','TARGETDIR',4,'Value'"});
    insert(L"`Feature` (`Feature`,`Level`,`Attributes`)", {L"'Engine',1,0"});
    insert(L"`FeatureComponents` (`Feature_`,`Component_`)", {L"'Engine','Value'"});
    insert(L"`Registry` (`Registry`,`Root`,`Key`,`Name`,`Value`,`Component_`)",
           {L"'Value',2,'" + kValueKey + L"','[ProductCode]','installed','Value'"});
    // Deferred (0x400) programs run in a folder (34), the second on rollback only (0x100).
    insert(L"`CustomAction` (`Action`,`Type`,`Source`,`Target`)",
           {L"'InstallEngine',1058,'TARGETDIR','" + tool + L" -install'",
            L"'UninstallEngine',1314,'TARGETDIR','" + tool + L" -uninstall'"});
    insert(L"`InstallExecuteSequence` (`Action`,`Sequence`)",
           {L"'CostInitialize',800", L"'CostFinalize',1000", L"'InstallValidate',1400", L"'InstallInitialize',1500",
            L"'ProcessComponents',1600", L"'WriteRegistryValues',4000", L"'UninstallEngine',5000",
            L"'InstallEngine',5001", L"'RegisterProduct',6100", L"'PublishFeatures',6300", L"'PublishProduct',6400",
            L"'InstallFinalize',6600"});
    DeleteFileW(path.c_str());
    PMSIHANDLE database, summary;
    UINT result = MsiOpenDatabaseW(path.c_str(), MSIDBOPEN_CREATE, &database);
    for (const std::wstring& statement : statements) {
        PMSIHANDLE view;
        if (result == ERROR_SUCCESS) result = MsiDatabaseOpenViewW(database, statement.c_str(), &view);
        if (result == ERROR_SUCCESS) result = MsiViewExecute(view, 0);
    }
    // A package code of its own, the 32-bit platform and the schema (200) the tables follow.
    const std::wstring packageCode = NewGuid();
    const auto set = [&result, &summary](UINT property, UINT type, INT number, const wchar_t* text) {
        if (result == ERROR_SUCCESS) result = MsiSummaryInfoSetPropertyW(summary, property, type, number, nullptr, text);
    };
    if (result == ERROR_SUCCESS) result = MsiGetSummaryInformationW(database, nullptr, 3, &summary);
    set(PID_REVNUMBER, VT_LPSTR, 0, packageCode.c_str());
    set(PID_TEMPLATE, VT_LPSTR, 0, L"Intel;1033");
    set(PID_PAGECOUNT, VT_I4, 200, nullptr);
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
        std::vector<std::string> log;  // the rolled back package's second run is its -uninstall
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
        const std::wstring productCode = NewGuid();
        const std::wstring path = dir + L"\\engine.msi";
        ASSERT_EQ(BuildPackage(path, productCode, dir + L"\\"), UINT{ERROR_SUCCESS});
        // Windows gives ERROR_INSTALL_FAILURE for a failed custom action, Wine ERROR_FUNCTION_FAILED.
        const UINT result = MsiInstallProductW(path.c_str(), L"ALLUSERS=1");
        EXPECT_EQ(result == ERROR_SUCCESS, package.installs) << result;
        EXPECT_EQ(MsiQueryProductStateW(productCode.c_str()),
                  package.installs ? INSTALLSTATE_DEFAULT : INSTALLSTATE_UNKNOWN);
        EXPECT_EQ(RegValueExists(HKEY_LOCAL_MACHINE, kValueKey, productCode), package.installs);
        EXPECT_EQ(LogLines(dir), package.log);
    }
}

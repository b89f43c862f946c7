// The engine directory from the engine service's "ImagePath", through the
// real registry of the test's own prefix; the option table and exit codes;
// Init's paths.
#include <gtest/gtest.h>

#include <algorithm>
#include <cwchar>
#include <string>
#include <vector>

#include "base/Handles.h"
#include "launcher/Launcher.h"
#include "tests/support/TestSupport.h"

using namespace zeltest;

namespace {

const wchar_t kServiceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\zelserv";

struct EngineDir {
    HRESULT result;
    std::wstring dir;
    bool operator==(const EngineDir& other) const { return result == other.result && dir == other.dir; }
};
void PrintTo(const EngineDir& read, std::ostream* out) { *out << std::hex << read.result << " " << ToUtf8(read.dir); }
const EngineDir kNone{E_FAIL, L""};

EngineDir Read() {
    wchar_t buffer[MAX_PATH + 1];
    std::fill(std::begin(buffer), std::end(buffer), L'#');  // no terminator left over from before
    const HRESULT result = _ReadEngineDir(buffer);
    const std::wstring dir(buffer, wcsnlen(buffer, MAX_PATH + 1));
    EXPECT_LT(dir.size(), size_t{MAX_PATH}) << "unterminated engine directory";
    return {result, dir};
}

EngineDir ReadImagePath(const std::wstring& value, DWORD type = REG_SZ) {
    SetRegString(HKEY_LOCAL_MACHINE, kServiceKey, L"ImagePath", value, type);
    return Read();
}

// Stores the characters without a terminating NUL.
void SetUnterminated(const std::wstring& value) {
    RegKey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kServiceKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.Put(),
                              nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key.Get(), L"ImagePath", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.data()),
                             static_cast<DWORD>(value.size() * sizeof(wchar_t))),
              ERROR_SUCCESS);
}

std::wstring Environment(const wchar_t* name) {
    wchar_t value[MAX_PATH] = {};
    GetEnvironmentVariableW(name, value, MAX_PATH);
    return value;
}

}  // namespace

TEST(ReadEngineDir, FromTheServiceImagePath) {
    DeleteRegTree(HKEY_LOCAL_MACHINE, kServiceKey);
    EXPECT_EQ(Read(), kNone) << "missing key";
    SetRegDword(HKEY_LOCAL_MACHINE, kServiceKey, L"Start", 3);
    EXPECT_EQ(Read(), kNone) << "missing value";
    EXPECT_EQ(_ReadEngineDir(nullptr), E_FAIL);

    const std::wstring systemRoot = Environment(L"SystemRoot");
    ASSERT_NE(systemRoot, L"");
    const struct {
        const wchar_t* imagePath;
        DWORD type;
        EngineDir expected;
    } cases[] = {
        {L"C:\\Engine\\zelserv.exe", REG_SZ, {S_OK, L"C:\\Engine"}},
        {L"\"C:\\Program Files\\Engine\\zelserv.exe\" -service -k \"C:\\x y\\z\"", REG_SZ,
         {S_OK, L"C:\\Program Files\\Engine"}},
        {L"\"C:\\Program Files\\Engine\\zelserv.exe\"", REG_SZ, {S_OK, L"C:\\Program Files\\Engine"}},
        {L"\"C:\\Unclosed Quote\\zelserv.exe", REG_SZ, {S_OK, L"C:\\Unclosed Quote"}},
        {L"%SystemRoot%\\Engine\\zelserv.exe", REG_EXPAND_SZ, {S_OK, systemRoot + L"\\Engine"}},
        {L"\"%ProgramFiles%\\Engine\\zelserv.exe\" -k", REG_EXPAND_SZ, {S_OK, Environment(L"ProgramFiles") + L"\\Engine"}},
        // A plain string keeps its references as written.
        {L"%SystemRoot%\\Engine\\zelserv.exe", REG_SZ, {S_OK, L"%SystemRoot%\\Engine"}},
        {L"", REG_SZ, {E_FAIL, L""}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ReadImagePath(c.imagePath, c.type), c.expected) << ToUtf8(c.imagePath);
    }
}

TEST(ReadEngineDir, LengthLimits) {
    const std::wstring folder = L"C:\\" + std::wstring(2 * MAX_PATH, L'd');
    // 259 characters fit with their terminator.
    const std::wstring fits = folder.substr(0, 259 - wcslen(L"\\zelserv.exe")) + L"\\zelserv.exe";
    ASSERT_EQ(fits.size(), 259u);
    EXPECT_EQ(ReadImagePath(fits), (EngineDir{S_OK, fits.substr(0, fits.size() - wcslen(L"\\zelserv.exe"))}));

    for (const size_t size : {size_t{260}, size_t{261}, size_t{400}}) {
        SCOPED_TRACE(size);
        const std::wstring tooLong = folder.substr(0, size - wcslen(L"\\zelserv.exe")) + L"\\zelserv.exe";
        ASSERT_EQ(tooLong.size(), size);
        EXPECT_EQ(ReadImagePath(tooLong), kNone);
    }

    // 260 characters stored without a terminator fill the whole buffer.
    SetUnterminated(folder.substr(0, 260 - wcslen(L"\\zelserv.exe")) + L"\\zelserv.exe");
    EXPECT_EQ(Read(), kNone);

    // Short stored text that grows past the limit when expanded.
    SetEnvironmentVariableW(L"ZEL_LONG", folder.c_str());
    EXPECT_EQ(ReadImagePath(L"%ZEL_LONG%\\zelserv.exe", REG_EXPAND_SZ), kNone);
    SetEnvironmentVariableW(L"ZEL_LONG", nullptr);
}

TEST(OptionTable, ChoiceAndExitCodes) {
    const auto choose = [](std::initializer_list<const wchar_t*> arguments) {
        std::vector<const wchar_t*> argv{L"zelunst.exe"};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return ChooseOperation(static_cast<int>(argv.size()), argv.data());
    };
    EXPECT_EQ(choose({}), Operation::RemoveProduct);
    EXPECT_EQ(choose({L"-uninstall"}), Operation::UnInstall);
    EXPECT_EQ(choose({L"-UNINSTALL", L"x"}), Operation::UnInstall);
    EXPECT_EQ(choose({L"-Install"}), Operation::Install);
    EXPECT_EQ(choose({L"-smoothUPDATE"}), Operation::SmoothUpdate);
    EXPECT_EQ(choose({L"-?", L"-install"}), Operation::ShowUsage);
    EXPECT_EQ(choose({L""}), Operation::Unknown);
    EXPECT_EQ(choose({L"-installx"}), Operation::Unknown);

    for (const Operation operation : {Operation::RemoveProduct, Operation::UnInstall, Operation::Install}) {
        EXPECT_EQ(ExitCodeFor(operation, 1), 0);
        EXPECT_EQ(ExitCodeFor(operation, 0), -1);
        EXPECT_EQ(ExitCodeFor(operation, 2), -1);
    }
    EXPECT_EQ(ExitCodeFor(Operation::SmoothUpdate, 1), 1);
    EXPECT_EQ(ExitCodeFor(Operation::SmoothUpdate, 0), 0);
    EXPECT_EQ(ExitCodeFor(Operation::ShowUsage, 0), 0);
    EXPECT_EQ(ExitCodeFor(Operation::Unknown, 0), -1);
    EXPECT_EQ(ExitCodeFor(Operation::Unknown, 1), -1);
}

TEST(Init, FillsThePathsAndSurvivesAMissingEngine) {
    const std::wstring exePath = ModulePath();
    const size_t slash = exePath.rfind(L'\\');

    DeleteRegTree(HKEY_LOCAL_MACHINE, kServiceKey);
    CUnstallContext context;
    ASSERT_EQ(Init(context), 1);
    EXPECT_EQ(context.initialised, 1);
    EXPECT_EQ(std::wstring(context.programDir), exePath.substr(0, slash));
    EXPECT_EQ(std::wstring(context.programFile), exePath.substr(slash + 1));
    EXPECT_EQ(std::wstring(context.solutionPath), exePath.substr(0, slash) + L"\\subsystem\\zelde\\zeldecs.dll");
    EXPECT_EQ(std::wstring(context.engineDir), L"");
    EXPECT_EQ(Uninit(context), 1);
    EXPECT_EQ(context.initialised, 0);

    SetRegString(HKEY_LOCAL_MACHINE, kServiceKey, L"ImagePath", L"\"C:\\Engine Dir\\zelserv.exe\" -k");
    CUnstallContext withEngine;
    ASSERT_EQ(Init(withEngine), 1);
    EXPECT_EQ(std::wstring(withEngine.engineDir), L"C:\\Engine Dir");
    DeleteRegTree(HKEY_LOCAL_MACHINE, kServiceKey);
}

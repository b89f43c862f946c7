// Registry values and the common files folder, through the real Wine registry
// and shell.
#include <gtest/gtest.h>
#include <shlobj.h>

#include "system/Products.h"
#include "system/Registry.h"
#include "system/ShellFolders.h"
#include "tests/support/TestSupport.h"

using namespace zeltest;

namespace {

const std::wstring kServicesKey = L"SYSTEM\\CurrentControlSet\\Services\\";

std::wstring ModuleFolder(HMODULE module) {
    const std::wstring path = ModulePath(module);
    return path.substr(0, path.rfind(L'\\'));
}

}  // namespace

TEST(ServiceDemandStart, WritesStartThreeOnlyIntoAnExistingServiceKey) {
    // A key with another start type, and one without the value.
    const std::wstring key = kServicesKey + L"zt_demand";
    const std::wstring bare = kServicesKey + L"zt_demand_bare";
    SetRegDword(HKEY_LOCAL_MACHINE, key, L"Start", SERVICE_AUTO_START);
    SetRegString(HKEY_LOCAL_MACHINE, bare, L"ImagePath", L"C:\\P\\y.exe");
    for (const std::wstring& path : {key, bare}) {
        EXPECT_EQ(_SetServiceDemandStart(path.c_str()), 1);
        EXPECT_EQ(RegDword(HKEY_LOCAL_MACHINE, path, L"Start"), DWORD{SERVICE_DEMAND_START});
        DeleteRegTree(HKEY_LOCAL_MACHINE, path);
    }

    // A missing key, the product's own included, is not created.
    for (const std::wstring& missing : {kServicesKey + L"zt_missing_service", std::wstring(products::kKernelServiceKey)}) {
        DeleteRegTree(HKEY_LOCAL_MACHINE, missing);
        EXPECT_EQ(_SetServiceDemandStart(missing.c_str()), 0);
        EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, missing));
    }
    // No key path never writes into the machine root.
    EXPECT_EQ(_SetServiceDemandStart(L""), 0);
    EXPECT_EQ(_SetServiceDemandStart(nullptr), 0);
    EXPECT_FALSE(RegValueExists(HKEY_LOCAL_MACHINE, L"", L"Start"));
}

// "RUXMain" is deleted from an existing Run key only; the smooth update's
// "ruxmain" creates the key on the way. Either takes only its own value.
TEST(RunValue, EachDeletionTakesOnlyItsOwnValue) {
    const struct {
        LSTATUS (*deleteValue)();
        const wchar_t* value;
        bool createsKey;
    } deletions[] = {{_DeleteRunValue, L"RUXMain", false}, {DeleteLowercaseRunValue, L"ruxmain", true}};
    for (const auto& deletion : deletions) {
        SCOPED_TRACE(ToUtf8(deletion.value));
        SetRegString(HKEY_CURRENT_USER, products::kRunKey, deletion.value, L"C:\\P\\ruxmain.exe");
        SetRegString(HKEY_CURRENT_USER, products::kRunKey, L"OtherProgram", L"C:\\O\\other.exe");
        EXPECT_EQ(deletion.deleteValue(), ERROR_SUCCESS);
        EXPECT_FALSE(RegValueExists(HKEY_CURRENT_USER, products::kRunKey, deletion.value));
        EXPECT_TRUE(RegValueExists(HKEY_CURRENT_USER, products::kRunKey, L"OtherProgram"));
        // Already gone.
        EXPECT_EQ(deletion.deleteValue(), ERROR_FILE_NOT_FOUND);
        EXPECT_TRUE(RegValueExists(HKEY_CURRENT_USER, products::kRunKey, L"OtherProgram"));
        // A missing Run key: the value is not found either way.
        DeleteRegTree(HKEY_CURRENT_USER, products::kRunKey);
        EXPECT_EQ(deletion.deleteValue(), ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(RegKeyExists(HKEY_CURRENT_USER, products::kRunKey), deletion.createsKey);
    }
}

TEST(CommonFiles, GivesTheCommonProgramFilesFolderWithoutTrailingBackslash) {
    wchar_t expected[MAX_PATH] = {};
    ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES_COMMON, nullptr, SHGFP_TYPE_CURRENT, expected), S_OK);

    wchar_t buffer[MAX_PATH];
    wmemset(buffer, L'#', MAX_PATH);
    EXPECT_EQ(_GetCommonFilesDir(buffer), buffer);
    EXPECT_EQ(std::wstring(buffer), std::wstring(expected));
    EXPECT_EQ(std::wstring(buffer), L"C:\\Program Files\\Common Files");
    EXPECT_EQ(_GetCommonFilesDir(nullptr), nullptr);
}

TEST(CommonFiles, PlantedShFolderBesideTheToolIsNeverLoaded) {
    const std::wstring folder = ModuleFolder(nullptr);
    const std::wstring marker = folder + L"\\planted_loaded.txt";
    // Wine prefers its own builtin shfolder even when a file lies beside the
    // program; as on Windows, where the program's folder is searched first,
    // a DLL found there must be the one that loads.
    SetRegString(HKEY_CURRENT_USER, L"Software\\Wine\\DllOverrides", L"shfolder", L"native,builtin");
    ASSERT_TRUE(CopyFileW((BinDir() + L"\\planted_shfolder.dll").c_str(), (folder + L"\\ShFolder.dll").c_str(),
                          FALSE));
    DeleteFileW(marker.c_str());

    wchar_t buffer[MAX_PATH] = {};
    _GetCommonFilesDir(buffer);
    EXPECT_EQ(std::wstring(buffer), L"C:\\Program Files\\Common Files");
    EXPECT_FALSE(FileExists(marker));

    // The plant is real: a search-order load by bare name picks it up.
    const HMODULE planted = LoadLibraryW(L"ShFolder.dll");
    ASSERT_NE(planted, nullptr);
    EXPECT_EQ(ModuleFolder(planted), folder);
    using GetFolderPath = HRESULT(WINAPI*)(HWND, int, HANDLE, DWORD, LPWSTR);
    const auto get = reinterpret_cast<GetFolderPath>(
        reinterpret_cast<void (*)()>(GetProcAddress(planted, "SHGetFolderPathW")));
    ASSERT_NE(get, nullptr);
    wchar_t answer[MAX_PATH] = {};
    get(nullptr, CSIDL_PROGRAM_FILES_COMMON, nullptr, 0, answer);
    EXPECT_EQ(std::wstring(answer), L"C:\\planted");
    EXPECT_TRUE(FileExists(marker));
    FreeLibrary(planted);
    DeleteFileW(marker.c_str());
    DeleteFileW((folder + L"\\ShFolder.dll").c_str());
    RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Software\\Wine\\DllOverrides", L"shfolder");
}

// The exchange ended at each call that clears or puts back a file's
// attributes, before the call and after it, as a kill or a power cut would
// end it there; then the next run. Every product file must have its old
// attributes with its old content, or the staged file's with the new.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "exchange/UpdateExchange.h"
#include "filetree/FileTree.h"
#include "tests/filetree/TreeTestSupport.h"
#include "tests/support/TestSupport.h"

using namespace zeltest;
using namespace treetest;

namespace {

// Thrown out of the exchange where it is ended; it unwinds as the end of
// the process would close its handles.
struct RunEnded {};

struct CallCount {
    int left = 0;       // calls until the run ends; 0 or less: never
    bool after = false;  // the counted call is made before the run ends
};
CallCount callCount;

using SetFileAttributesFunction = BOOL(WINAPI*)(LPCWSTR, DWORD);
using SetFileInformationFunction = BOOL(WINAPI*)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);
SetFileAttributesFunction originalSetFileAttributes = nullptr;
SetFileInformationFunction originalSetFileInformation = nullptr;

// Counts one call; true when the run ends at it.
bool EndsHere() { return callCount.left > 0 && --callCount.left == 0; }

template <typename Call>
BOOL Counted(Call call) {
    const bool ends = EndsHere();
    if (ends && !callCount.after) throw RunEnded();
    const BOOL result = call();
    if (ends) throw RunEnded();
    return result;
}

BOOL WINAPI CountedSetFileAttributes(LPCWSTR path, DWORD attributes) {
    return Counted([&] { return originalSetFileAttributes(path, attributes); });
}

BOOL WINAPI CountedSetFileInformation(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID information, DWORD size) {
    return Counted([&] { return originalSetFileInformation(file, kind, information, size); });
}

// The product: U.txt read-only and not updated, but named by an earlier
// run's backup; A.dll read-only and replaced, its file named B.dll too;
// R.dll read-only and replaced by a read-only file; L.dll read-only, loaded
// and replaced, its file named M.dll too. With rollback, Zz.txt is held, so
// that its rename fails after the others and the switch is put back.
struct Product {
    std::wstring dir;
    Library loaded;
    FileHandle held;
};

void MakeProduct(Product& product, const std::wstring& name, bool rollback) {
    const std::wstring& dir = product.dir = FreshDir(name) + L"\\Rux";
    WriteFiles(dir, {{L"U.txt", "old u"}, {L"A.dll", "old a"}, {L"R.dll", "old r"}, {L"Zz.txt", "old zz"},
                     {L"reupdate\\A.dll", "new a"}, {L"reupdate\\R.dll", "new r"}, {L"reupdate\\L.dll", "new l"},
                     {L"reupdate\\Zz.txt", "new zz"}});
    CopyFromBin(L"shellext.dll", dir + L"\\L.dll");
    CreateHardLinkW((dir + L"\\B.dll").c_str(), (dir + L"\\A.dll").c_str(), nullptr);
    CreateHardLinkW((dir + L"\\M.dll").c_str(), (dir + L"\\L.dll").c_str(), nullptr);
    CreateDirectoryChain(dir + L"\\updatetemp");
    CreateHardLinkW((dir + L"\\updatetemp\\u.txt").c_str(), (dir + L"\\U.txt").c_str(), nullptr);
    for (const wchar_t* readOnly : {L"U.txt", L"A.dll", L"R.dll", L"L.dll", L"reupdate\\R.dll"}) {
        SetFileAttributesW((dir + L"\\" + readOnly).c_str(), FILE_ATTRIBUTE_READONLY);
    }
    product.loaded.Reset(LoadLibraryExW((dir + L"\\L.dll").c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES));
    if (rollback) product.held = Hold(dir + L"\\Zz.txt", GENERIC_READ, FILE_SHARE_READ);
}

bool ReadOnly(const std::wstring& path) { return (GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_READONLY) != 0; }

// Each product file's read-only bit as its content says it must be; empty
// when all are right, else the names of the wrong ones.
std::string WrongAttributes(const std::wstring& dir) {
    // File: its new content, and whether its new file is read-only.
    const std::map<std::wstring, std::pair<std::string, bool>> updated = {
        {L"A.dll", {"new a", false}}, {L"R.dll", {"new r", true}}, {L"L.dll", {"new l", false}}, {L"Zz.txt", {"new zz", false}}};
    const std::map<std::wstring, bool> oldReadOnly = {{L"U.txt", true},  {L"A.dll", true}, {L"B.dll", true},
                                                      {L"R.dll", true},  {L"L.dll", true}, {L"M.dll", true}, {L"Zz.txt", false}};
    std::string wrong;
    for (const auto& [name, readOnly] : oldReadOnly) {
        const auto found = updated.find(name);
        const bool isNew = found != updated.end() && ReadBytes(dir + L"\\" + name) == found->second.first;
        if (ReadOnly(dir + L"\\" + name) != (isNew ? found->second.second : readOnly)) {
            wrong += ToUtf8(name) + (isNew ? " (new) " : " (old) ");
        }
    }
    return wrong;
}

void EndEachRunAtEachAttributeCall(bool rollback) {
    const ImportPatch attributes("KERNEL32.dll", "SetFileAttributesW", reinterpret_cast<void*>(&CountedSetFileAttributes));
    const ImportPatch information("KERNEL32.dll", "SetFileInformationByHandle",
                                  reinterpret_cast<void*>(&CountedSetFileInformation));
    ASSERT_TRUE(attributes.Valid() && information.Valid());
    originalSetFileAttributes = reinterpret_cast<SetFileAttributesFunction>(attributes.Original());
    originalSetFileInformation = reinterpret_cast<SetFileInformationFunction>(information.Original());
    const auto noPause = [](DWORD) {};
    int ended = 0;
    for (const bool after : {false, true}) {
        for (int call = 1;; ++call) {
            SCOPED_TRACE(std::string(after ? "ended after call " : "ended before call ") + std::to_string(call));
            Product product;
            MakeProduct(product, L"interrupted-attributes", rollback);
            callCount = {call, after};
            bool endedHere = false;
            try {
                _DoCopyAndDelFile(PathsFor(product.dir), FlushVolumeOf, noPause);
            } catch (const RunEnded&) {
                endedHere = true;
            }
            callCount = {};
            // The run was never ended: every call has had its turn.
            if (!endedHere) break;
            ++ended;
            product.held = FileHandle();
            EXPECT_TRUE(_DoCopyAndDelFile(PathsFor(product.dir), FlushVolumeOf, noPause));
            EXPECT_EQ(WrongAttributes(product.dir), "");
        }
    }
    // The product's read-only files clear and put back bits a dozen times.
    EXPECT_GT(ended, 20);
    std::printf("%d runs ended at a call that clears or puts back a bit\n", ended);
}

}  // namespace

TEST(InterruptedExchange, EveryFileKeepsItsAttributesWhereverASuccessfulRunEnds) { EndEachRunAtEachAttributeCall(false); }

TEST(InterruptedExchange, EveryFileKeepsItsAttributesWhereverARollbackEnds) { EndEachRunAtEachAttributeCall(true); }

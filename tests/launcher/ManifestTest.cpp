// The application manifest embedded in the built exe: the execution level it
// asks for and the systems it declares. Under Wine the token is always
// elevated, so only reading the manifest itself shows a changed level.
#include <gtest/gtest.h>

#include <windows.h>

#include <regex>
#include <set>
#include <string>

#include "base/Handles.h"
#include "tests/support/TestSupport.h"

using namespace zeltest;

namespace {

// The manifest resource (type 24, id 1) of an executable, as stored.
std::string EmbeddedManifest(const std::wstring& exePath) {
    const Library image(LoadLibraryExW(exePath.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    if (!image) return {};
    const HRSRC found = FindResourceW(image.Get(), MAKEINTRESOURCEW(1), RT_MANIFEST);
    if (found == nullptr) return {};
    const HGLOBAL loaded = LoadResource(image.Get(), found);
    const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (bytes == nullptr) return {};
    return std::string(static_cast<const char*>(bytes), SizeofResource(image.Get(), found));
}

// Every value of the attribute in elements of that name.
std::multiset<std::string> AttributeValues(const std::string& xml, const std::string& element,
                                           const std::string& attribute) {
    const std::regex tag("<" + element + "\\b[^>]*\\b" + attribute + "=\"([^\"]*)\"");
    std::multiset<std::string> values;
    for (auto it = std::sregex_iterator(xml.begin(), xml.end(), tag); it != std::sregex_iterator(); ++it) {
        values.insert((*it)[1].str());
    }
    return values;
}

TEST(Manifest, AsksForTheHighestAvailableLevelWithoutUiAccess) {
    const std::string manifest = EmbeddedManifest(BinDir() + L"\\zelunst.exe");
    ASSERT_FALSE(manifest.empty());
    EXPECT_EQ(AttributeValues(manifest, "requestedExecutionLevel", "level"),
              std::multiset<std::string>{"highestAvailable"});
    EXPECT_EQ(AttributeValues(manifest, "requestedExecutionLevel", "uiAccess"), std::multiset<std::string>{"false"});
}

// Windows 7 and later: the tree listing's large-fetch search and the thread
// error mode are not there on Vista.
TEST(Manifest, DeclaresWindows7AndLaterOnly) {
    const std::string manifest = EmbeddedManifest(BinDir() + L"\\zelunst.exe");
    ASSERT_FALSE(manifest.empty());
    const std::multiset<std::string> expected{
        "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  // 7
        "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  // 8
        "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  // 8.1
        "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  // 10 and 11
    };
    EXPECT_EQ(AttributeValues(manifest, "supportedOS", "Id"), expected);
    EXPECT_NE(manifest.find("<longPathAware"), std::string::npos);
}

}  // namespace

// How long the file operations of one run wait for files other programs hold:
// the pauses alone, without the file system.
#include <gtest/gtest.h>

#include <vector>

#include "filetree/FilesInUse.h"

namespace {

using Pauses = std::vector<DWORD>;

// The pauses of a file held through all its waits, as the first one of a run.
const Pauses kWholeFile = {50, 100, 200, 400, 800, 1000, 1000, 1000, 1000, 1000, 1000, 1000, 1000, 450};

}  // namespace

TEST(HeldFileWaits, GrowPerFileAndEndAtTheLimitOfTheFileAndOfTheRun) {
    // Files one after another in one run: each fails with its error so many
    // times (-1: always), then succeeds.
    struct File {
        DWORD error;
        int failures;
        DWORD result;
        Pauses pauses;
    };
    const File files[] = {
        {ERROR_SHARING_VIOLATION, 3, ERROR_SUCCESS, {50, 100, 200}},
        {ERROR_FILE_NOT_FOUND, -1, ERROR_FILE_NOT_FOUND, {}},
        {ERROR_LOCK_VIOLATION, -1, ERROR_LOCK_VIOLATION, kWholeFile},
        {ERROR_ACCESS_DENIED, -1, ERROR_ACCESS_DENIED, kWholeFile},
        // 20,350 ms spent: 9,650 are left for the run.
        {ERROR_SHARING_VIOLATION, -1, ERROR_SHARING_VIOLATION,
         {50, 100, 200, 400, 800, 1000, 1000, 1000, 1000, 1000, 1000, 1000, 1000, 100}},
        {ERROR_SHARING_VIOLATION, -1, ERROR_SHARING_VIOLATION, {}},
    };
    Pauses pauses;
    HeldFileWaits waits([&pauses](DWORD ms) { pauses.push_back(ms); });
    for (const File& file : files) {
        SCOPED_TRACE("file failing with " + std::to_string(file.error));
        pauses.clear();
        int attempts = 0;
        EXPECT_EQ(waits.Retry([&] { return file.failures < 0 || attempts++ < file.failures ? file.error : 0; }),
                  file.result);
        EXPECT_EQ(pauses, file.pauses);
    }
    EXPECT_EQ(waits.SpentMs(), HeldFileWaits::kPerRunMs);
}

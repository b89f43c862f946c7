// How long the file operations of one run wait for files other programs hold:
// the pauses alone, without the file system.
#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "exchange/FilesInUse.h"

namespace {

using Pauses = std::vector<DWORD>;

// The pauses of a file held through all its waits, as the first one of a run.
const Pauses kWholeFile = {50, 100, 200, 400, 800, 1000, 1000, 1000, 1000, 1000, 1000, 1000, 1000, 450};

}  // namespace

TEST(HeldFileWaits, GrowPerFileAndEndAtTheLimitOfTheFileAndOfTheRun) {
    // Files one after another in one run, each failing with its error so many
    // times (-1: always) before it succeeds, and the pauses each gets.
    const std::tuple<DWORD, int, Pauses> files[] = {
        {ERROR_SHARING_VIOLATION, 3, {50, 100, 200}},
        {ERROR_FILE_NOT_FOUND, -1, {}},
        {ERROR_LOCK_VIOLATION, -1, kWholeFile},
        {ERROR_ACCESS_DENIED, -1, kWholeFile},
        // 20,350 ms spent: 9,650 are left for the run.
        {ERROR_SHARING_VIOLATION, -1, {50, 100, 200, 400, 800, 1000, 1000, 1000, 1000, 1000, 1000, 1000, 1000, 100}},
        {ERROR_SHARING_VIOLATION, -1, {}},
    };
    Pauses pauses;
    HeldFileWaits waits([&pauses](DWORD ms) { pauses.push_back(ms); });
    for (const auto& [error, failures, expected] : files) {
        SCOPED_TRACE("failing with " + std::to_string(error));
        pauses.clear();
        int attempts = 0;
        const auto attempt = [&, error = error, failures = failures] {
            return failures < 0 || attempts++ < failures ? error : ERROR_SUCCESS;
        };
        EXPECT_EQ(waits.Retry(attempt), failures < 0 ? error : ERROR_SUCCESS);
        EXPECT_EQ(pauses, expected);
    }
    EXPECT_EQ(waits.SpentMs(), HeldFileWaits::kPerRunMs);
}

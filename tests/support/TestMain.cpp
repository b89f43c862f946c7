// The main of every test program. A test that drives the solution loader in
// its own process starts the program again as that run's record keeper, as
// the tool does; such a start keeps the record and runs no test.
#include <gtest/gtest.h>

#include "records/RecordKeeper.h"

int main(int argc, char** argv) {
    if (const std::optional<int> keeperExitCode = KeepRecordWhenAsked()) return *keeperExitCode;
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

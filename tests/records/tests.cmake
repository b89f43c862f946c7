# The records of a failure in the test program's own process: the record
# keeper (the program is its own keeper, as the tool is) and the last resort,
# which ends a death test's child 40 s after its limit, 50 s after its last
# call, or 45 s after an unreported failure.
zel_add_gtest(records_unit SOURCES records/RecordKeeperTest.cpp
  SHARDS "RecordKeeper.*" "LastResortDeathTest.*" "LastResortAfterTheCallsDeathTest.*"
         "LastResortWithoutALimitDeathTest.*")
# A last resort that never fires would leave the child waiting for good.
set_tests_properties(records_unit.LastResortDeathTest_ records_unit.LastResortAfterTheCallsDeathTest_
                     records_unit.LastResortWithoutALimitDeathTest_ PROPERTIES TIMEOUT 120)

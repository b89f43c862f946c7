zel_add_gtest(workflow_logic SOURCES workflows/RemovalLogicTest.cpp)

zel_add_gtest(removal_e2e
  SOURCES workflows/RemovalTest.cpp
  SHARDS "Removal.WithoutTheServiceProgramNothingHappens:Removal.StoppedService*:Removal.Deinstaller*:RemovalPathLimit.*"
         "Removal.ServiceThatNeverStops*"
         "Removal.UninstalledService*"
         "Removal.UninstallerIsChosen*")
target_link_libraries(removal_e2e PRIVATE standintestsupport)

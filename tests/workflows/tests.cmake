zel_add_gtest(workflow_logic SOURCES workflows/RemovalLogicTest.cpp workflows/BoundedWaitsTest.cpp)

zel_add_gtest(removal_e2e
  SOURCES workflows/RemovalTest.cpp
  SHARDS "Removal.WithoutTheServiceProgramNothingHappens:Removal.StoppedService*:Removal.Deinstaller*:RemovalPathLimit.*"
         "Removal.ServiceThatNeverStops*" "Removal.StopProgramThatNeverEnds*"
         "Removal.UninstalledService*"
         "Removal.UninstallerIsChosen*")
target_link_libraries(removal_e2e PRIVATE standintestsupport)

zel_add_gtest(message_boxes SOURCES workflows/MessageBoxTest.cpp
  SHARDS "MessageBoxes.Removal*" "MessageBoxes.Update*" DISPLAY)
target_link_libraries(message_boxes PRIVATE standintestsupport)

# The running stand-in product of the whole-update tests.
zel_add_test_library(smoothupdatefixture workflows/SmoothUpdateFixture.cpp)
target_link_libraries(smoothupdatefixture PUBLIC standintestsupport)

zel_add_gtest(smooth_update_e2e
  SOURCES workflows/SmoothUpdateTest.cpp workflows/SmoothUpdateFailureTest.cpp
          workflows/SmoothUpdatePathsTest.cpp workflows/SmoothUpdateRollbackTest.cpp
  SHARDS "*/EngineHang_*" "*/FrameworkSilent_*"
         "SmoothUpdateSuccess.*" "SmoothUpdateMutex.*" "SmoothUpdateEngine.*:*/Engine_*"
         "SmoothUpdateFramework.*:*/Framework_*" "SmoothUpdateLaterSteps.*:*/LaterSteps_*:*/EngineCrash_*" "*/Scan_*"
         "*/SlowChildren_*" "SmoothUpdatePath*" "SmoothUpdateRollback.*" "SmoothUpdateInUse.*:SmoothUpdateRoom.*" "SmoothUpdateInterrupted.*"
  UNPRIVILEGED "SmoothUpdateSuccess.*:SmoothUpdateRollback.*"
  DEPENDS zeldecs)
target_link_libraries(smooth_update_e2e PRIVATE smoothupdatefixture treetestsupport)

# The message boxes on a window station nobody sees, on an Xvfb desktop.
zel_add_gtest(hidden_station SOURCES workflows/HiddenStationTest.cpp
  SHARDS "HiddenStation.*" "HiddenStationUpdate.*" DISPLAY DEPENDS zeldecs)
target_link_libraries(hidden_station PRIVATE smoothupdatefixture)

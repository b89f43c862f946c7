# System operations: the counting rules alone, then the launchers, services,
# registry and processes under Wine.
zel_add_gtest(system_logic SOURCES system/LogicTest.cpp system/UserNoticeTest.cpp)

# A ShFolder.dll to plant beside a test program; named apart so that it never
# lies beside anything in the bin folder under its planted name.
add_library(planted_shfolder SHARED system/PlantedShFolder.cpp)
set_target_properties(planted_shfolder PROPERTIES PREFIX "" OUTPUT_NAME planted_shfolder)
target_link_libraries(planted_shfolder PRIVATE zelbase)
target_link_options(planted_shfolder PRIVATE -Wl,--kill-at)
zel_add_gtest(system_registry SOURCES system/RegistryTest.cpp DEPENDS planted_shfolder)

set(system_standins unins000 ruxmain zelserv ruxserv)
zel_add_gtest(system_launch SOURCES system/LaunchTest.cpp
  SHARDS "RunAndWait.*:DoCreateProcess.*" "LaunchConventions.*:Quoting.*:LaunchHelper.*"
  DEPENDS ${system_standins})
target_link_libraries(system_launch PRIVATE standintestsupport)
zel_add_gtest(system_processes SOURCES system/ProcessTest.cpp system/MiniDumpTest.cpp DEPENDS ${system_standins})
target_link_libraries(system_processes PRIVATE standintestsupport)
zel_add_gtest(system_services SOURCES system/ServiceTest.cpp
  SHARDS "StopServices.*:QueryState.*" "StopServicesSlow.ServiceStoppingLate*"
         "StopServicesSlow.ServiceThatNeverStops*" "StopServicesSlow.ServiceStillStopping*"
  DEPENDS ${system_standins})
target_link_libraries(system_services PRIVATE standintestsupport)

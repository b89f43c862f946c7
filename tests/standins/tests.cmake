# Test-side support for the stand-in products: record reader, settings writer
# and product installer. A test program that uses them links this library,
# which also makes sure the stand-ins and the tool are built first:
#   target_link_libraries(<test> PRIVATE standintestsupport)
zel_add_test_library(standintestsupport support/StandIns.cpp)
target_link_libraries(standintestsupport PUBLIC standincommon)
add_dependencies(standintestsupport zelunst zelserv ruxserv ruxmain deinstall izelreg unins000)

zel_add_gtest(standins_e2e SOURCES standins/StandInsTest.cpp
  SHARDS "StandInFormat.*:StandInPrograms.*" "StandInServices.*" "StandInInstaller.*"
  DEPENDS zelsandbox)
target_link_libraries(standins_e2e PRIVATE standintestsupport)

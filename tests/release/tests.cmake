# scripts/release.sh against this build: its zelunst.exe and zelunst.debug
# must come out the same bytes, so only a release build has these entries.
if(CMAKE_BUILD_TYPE STREQUAL "Release")
  foreach(name reproducible signed)
    add_test(NAME release.${name}
      COMMAND ${CMAKE_CURRENT_LIST_DIR}/${name}.sh ${PROJECT_SOURCE_DIR} ${CMAKE_BINARY_DIR})
    # The heaviest entries on the processor: started among the first.
    set_tests_properties(release.${name} PROPERTIES TIMEOUT 600 COST 40)
  endforeach()
endif()

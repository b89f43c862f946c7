# Notes the error modes in force while the loader attaches it.
add_library(error_mode_probe SHARED loader/ErrorModeProbe.cpp)
set_target_properties(error_mode_probe PROPERTIES PREFIX "" OUTPUT_NAME error_mode_probe)
zel_add_gtest(loader_unit SOURCES loader/ClassObjectTest.cpp loader/QuietLoadTest.cpp
  DEPENDS zeldecs zeldecs_noexport zeldecs_missingdep error_mode_probe)
zel_add_gtest(loader_e2e SOURCES loader/LoaderRunTest.cpp loader/LastChanceTest.cpp loader/CustomActionTest.cpp
  loader/RunEndTest.cpp
  SHARDS "LoaderFailureTable.Missing*:LoaderFailureTable.LibraryThat*"
         "LoaderFailureTable.NoInterface*"
         "LoaderFailureTable.Failed*"
         "LoaderCallOrder.*:LibrarySearch.*"
         "LastChance.*" "EngineHang.HungCall*:CustomAction.*" "EngineHang.RunWhoseKeeper*"
         "EngineHang.OwnDump*" "RunEnd.*" "KeeperGone.*"
  DISPLAY DEPENDS zelunst zeldecs zeldecs_noexport zeldecs_missingdep zeldecs_stripped zelplanted zelhelper)
target_link_libraries(loader_e2e PRIVATE msi)
# Windows Installer waits for a custom action without a bound: a tool that
# does not end at its limit holds the entry until this time-out.
set_tests_properties(loader_e2e.EngineHang_HungCall_CustomAction_ PROPERTIES TIMEOUT 180)

# The dump the crash row leaves is read back with the shipped exe's debug
# file: the tool's function that called into the library must be named.
set_tests_properties(loader_e2e.LastChance_ PROPERTIES FIXTURES_SETUP crash_dump)
add_test(NAME crash_dump_readable
  COMMAND ${PROJECT_SOURCE_DIR}/scripts/read-crash.sh ${CMAKE_BINARY_DIR}/crash-sample.dmp ${CMAKE_BINARY_DIR}/bin)
set_tests_properties(crash_dump_readable PROPERTIES FIXTURES_REQUIRED crash_dump
  PASS_REGULAR_EXPRESSION "stop reason = Exception 0xc0000005 .*zelunst\\.exe`_DoInstall\\(")

# The hang dumps read back as hangs, the tool's function that called into the
# library named below the library's frame: -install's and -uninstall's, a hang
# in the attach code (the loader lock held), one busy in the heap, and one the
# run reported itself because its keeper could not start.
set_tests_properties(loader_e2e.EngineHang_HungCall_CustomAction_ PROPERTIES FIXTURES_SETUP hang_dumps)
foreach(dump_and_caller install:_DoInstall uninstall:_DoUnInstall attach:_LoadSolution busy:_DoInstall
                        inside:_DoInstall)
  string(REPLACE ":" ";" pair ${dump_and_caller})
  list(GET pair 0 name)
  list(GET pair 1 caller)
  add_test(NAME hang_dump_readable.${name}
    COMMAND ${PROJECT_SOURCE_DIR}/scripts/read-crash.sh ${CMAKE_BINARY_DIR}/hang-${name}.dmp ${CMAKE_BINARY_DIR}/bin)
  set_tests_properties(hang_dump_readable.${name} PROPERTIES FIXTURES_REQUIRED hang_dumps
    PASS_REGULAR_EXPRESSION "The run hung, it did not crash: thread #1 .*stop reason = hung: .*zeldecs\\.dll`.*zelunst\\.exe`${caller}\\("
    FAIL_REGULAR_EXPRESSION "crashed|Exception 0x")
endforeach()

# The crash of the library as a vendor ships it (no symbols, no unwind
# information), read with the shipped pair alone, as a developer holds it: the
# tool's frames below the library are found by scanning the stack, and a
# caller frame that names no function (a stack word taken for a return
# address) fails the entry.
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/shipped)
foreach(file zelunst.exe zelunst.debug)
  file(CREATE_LINK ${CMAKE_BINARY_DIR}/bin/${file} ${CMAKE_BINARY_DIR}/shipped/${file} SYMBOLIC)
endforeach()
add_test(NAME crash_dump_scanned
  COMMAND ${PROJECT_SOURCE_DIR}/scripts/read-crash.sh ${CMAKE_BINARY_DIR}/crash-stripped.dmp ${CMAKE_BINARY_DIR}/shipped)
set_tests_properties(crash_dump_scanned PROPERTIES FIXTURES_REQUIRED crash_dump
  PASS_REGULAR_EXPRESSION "stop reason = Exception 0xc0000005 .*frame #1: 0x[0-9a-f]+ zelunst\\.exe`_DoInstall\\(.*~ frame #[0-9]+: 0x[0-9a-f]+ zelunst\\.exe`RunHandle\\(.*~ frame #[0-9]+: 0x[0-9a-f]+ zelunst\\.exe`RunGuarded\\(.*~ frame #[0-9]+: 0x[0-9a-f]+ zelunst\\.exe`wWinMain"
  FAIL_REGULAR_EXPRESSION "frame #[1-9][0-9]*: 0x[0-9a-f]+ [^`\n]*\n")

# The crash and hang tables again, under full processor load (busy loops on
# every core but one while they run, the two tables side by side on that
# one): the races of the run's end and of its reports hid behind timing
# before.
add_test(NAME loader_e2e.under_cpu_load
  COMMAND ${PROJECT_SOURCE_DIR}/scripts/under-cpu-load.sh $<TARGET_FILE:loader_e2e>
          "LastChance.FaultInTheSolutionLibrary*" "EngineHang.HungCall*")
set_tests_properties(loader_e2e.under_cpu_load PROPERTIES
  ENVIRONMENT "ZEL_BUILD_DIR=${CMAKE_BINARY_DIR};ZEL_DISPLAY=1;ZEL_KEEP_NO_DUMPS=1" TIMEOUT 600
  PASS_REGULAR_EXPRESSION "${zel_gtest_passed}" FAIL_REGULAR_EXPRESSION "${zel_gtest_failed}")

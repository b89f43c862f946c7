# Notes the error modes in force while the loader attaches it.
add_library(error_mode_probe SHARED loader/ErrorModeProbe.cpp)
set_target_properties(error_mode_probe PROPERTIES PREFIX "" OUTPUT_NAME error_mode_probe)
zel_add_gtest(loader_unit SOURCES loader/ClassObjectTest.cpp loader/QuietLoadTest.cpp
  DEPENDS zeldecs zeldecs_noexport zeldecs_missingdep error_mode_probe)
zel_add_gtest(loader_e2e SOURCES loader/LoaderRunTest.cpp
  SHARDS "LoaderFailureTable.Missing*:LoaderFailureTable.LibraryThat*"
         "LoaderFailureTable.NoInterface*"
         "LoaderFailureTable.Failed*"
         "LoaderCallOrder.*"
  DISPLAY DEPENDS zelunst zeldecs zeldecs_noexport zeldecs_missingdep)

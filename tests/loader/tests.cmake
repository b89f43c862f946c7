zel_add_gtest(loader_unit SOURCES loader/ClassObjectTest.cpp DEPENDS zeldecs zeldecs_noexport)
zel_add_gtest(loader_e2e SOURCES loader/LoaderRunTest.cpp
  SHARDS "LoaderFailureTable.Missing*:LoaderFailureTable.LibraryThat*"
         "LoaderFailureTable.NoInterface*"
         "LoaderFailureTable.Failed*"
         "LoaderCallOrder.*"
  DEPENDS zelunst zeldecs zeldecs_noexport)

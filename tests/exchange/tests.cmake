zel_add_gtest(exchange_steps SOURCES exchange/ReplaceFilesTest.cpp exchange/FilesInUseTest.cpp)
target_link_libraries(exchange_steps PRIVATE treetestsupport)
zel_add_gtest(exchange_update SOURCES exchange/UpdateExchangeTest.cpp
  UNPRIVILEGED "DoCopyAndDelFile.*")
target_link_libraries(exchange_update PRIVATE treetestsupport)
zel_add_gtest(exchange_interrupted SOURCES exchange/InterruptedExchangeTest.cpp
  SHARDS "*Successful*" "*Rollback*")
target_link_libraries(exchange_interrupted PRIVATE treetestsupport)

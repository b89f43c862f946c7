# The folder-tree helpers the file tree and smooth update tests share.
zel_add_test_library(treetestsupport filetree/TreeTestSupport.cpp)
zel_add_gtest(filetree_tree SOURCES filetree/FileTreeTest.cpp filetree/FilesInUseTest.cpp)
target_link_libraries(filetree_tree PRIVATE treetestsupport)
zel_add_gtest(filetree_exchange SOURCES filetree/UpdateExchangeTest.cpp
  UNPRIVILEGED "DoCopyAndDelFile.*")
target_link_libraries(filetree_exchange PRIVATE treetestsupport)

zel_add_gtest(filetree_tree SOURCES filetree/FileTreeTest.cpp filetree/FilesInUseTest.cpp filetree/TreeTestSupport.cpp)
zel_add_gtest(filetree_exchange SOURCES filetree/UpdateExchangeTest.cpp filetree/TreeTestSupport.cpp
  UNPRIVILEGED "DoCopyAndDelFile.*")

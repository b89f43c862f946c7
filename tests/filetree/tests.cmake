# The folder-tree helpers the file tree, exchange and smooth update tests share.
zel_add_test_library(treetestsupport filetree/TreeTestSupport.cpp)
zel_add_gtest(filetree_tree SOURCES filetree/FileTreeTest.cpp)
target_link_libraries(filetree_tree PRIVATE treetestsupport)

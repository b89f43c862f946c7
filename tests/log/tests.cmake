zel_add_gtest(log_unit SOURCES log/VLoggerTest.cpp)

# System operations: the counting rules alone, then the launchers, services,
# registry and processes under Wine.
zel_add_gtest(system_logic SOURCES system/LogicTest.cpp)

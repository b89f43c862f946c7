zel_add_gtest(launcher_e2e SOURCES launcher/DispatchTest.cpp DEPENDS zelunst)

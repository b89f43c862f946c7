zel_add_gtest(launcher_unit SOURCES launcher/EngineCallLimitTest.cpp launcher/EngineDirTest.cpp launcher/ManifestTest.cpp
  launcher/RunGuardTest.cpp DEPENDS zelunst)
zel_add_gtest(launcher_e2e SOURCES launcher/DispatchTest.cpp
  SHARDS "DispatchOptions.*" "DispatchRemoval.*" "DispatchPlacement.*"
  # A read-only log: Wine lets root write to it, so only the unprivileged user sees it refused.
  UNPRIVILEGED "DispatchUnprivileged.*"
  DEPENDS zelunst zeldecs)
zel_add_gtest(launcher_desktop SOURCES launcher/SafeDesktopTest.cpp DISPLAY
  SHARDS "SafeDesktop.TheTool*" "SafeDesktop.Other*"
  DEPENDS zelunst)

# Built like the tool (GUI subsystem, the tool's code): rebinds its streams and
# reports through them to the test that started it.
add_executable(stdio_probe WIN32 launcher/StdioProbe.cpp)
target_link_libraries(stdio_probe PRIVATE zelcore)
target_link_options(stdio_probe PRIVATE -municode)
# DISPLAY: the console this test lends the probe needs a window to work.
zel_add_gtest(launcher_stdio SOURCES launcher/StdStreamsTest.cpp DISPLAY
  SHARDS "StandardHandles.*"
  DEPENDS stdio_probe)

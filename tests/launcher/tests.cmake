zel_add_gtest(launcher_unit SOURCES launcher/EngineDirTest.cpp launcher/ManifestTest.cpp DEPENDS zelunst)
zel_add_gtest(launcher_e2e SOURCES launcher/DispatchTest.cpp
  SHARDS "DispatchOptions.*" "DispatchRemoval.*" "DispatchPlacement.*"
  DEPENDS zelunst zeldecs)
zel_add_gtest(launcher_desktop SOURCES launcher/SafeDesktopTest.cpp DISPLAY
  SHARDS "SafeDesktop.TheTool*" "SafeDesktop.Other*"
  DEPENDS zelunst)

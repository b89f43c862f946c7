// Linked only into zeldecs_missingdep: an import from "zelabsent.dll", a
// library that is never built or shipped, so the loader cannot resolve it.
extern "C" __declspec(dllimport) int ZelAbsentEntry();

extern "C" int ZelDecsNeedsAbsentLibrary() { return ZelAbsentEntry(); }

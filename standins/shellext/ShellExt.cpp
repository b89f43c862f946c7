// Stand-in for the product's shell extension: a library that programs outside
// the product load and keep loaded, as the desktop shell keeps a shell
// extension. It does nothing; what matters is that it is loaded.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
